// What this process writes to its standard output while the capture lives, for tests of the
// lines that library code prints: file descriptor 1 is a pipe that the test reads.
#ifndef KOVE_STDOUT_CAPTURE_H
#define KOVE_STDOUT_CAPTURE_H

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace kovetest
{
class CStdoutCapture
{
public:
    CStdoutCapture()
    {
        std::fflush(stdout);
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        m_iRead = ends[0];
        m_iSaved = dup(STDOUT_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
    }
    ~CStdoutCapture()
    {
        std::fflush(stdout);
        if (m_iSaved >= 0)
        {
            dup2(m_iSaved, STDOUT_FILENO);
            close(m_iSaved);
        }
        if (m_iRead >= 0)
            close(m_iRead);
    }
    CStdoutCapture(const CStdoutCapture&) = delete;
    CStdoutCapture& operator=(const CStdoutCapture&) = delete;

    // Everything written so far.
    const std::string& Text()
    {
        Drain(0);
        return m_sText;
    }

    // Reads until the text has been written count times, or ms have passed; true when it has.
    bool WaitFor(const std::string& text, int count = 1, int ms = 5000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;)
        {
            if (Count(text) >= count)
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Drain(static_cast<int>(left.count())))
                return Count(text) >= count;
        }
    }

    // How often the text stands in what was written so far.
    int Count(const std::string& text) const
    {
        int n = 0;
        for (size_t at = m_sText.find(text); at != std::string::npos;
             at = m_sText.find(text, at + text.size()))
            ++n;
        return n;
    }

private:
    // Waits up to ms for output and takes what there is; false when nothing came.
    bool Drain(int ms)
    {
        if (m_iRead < 0)
            return false;
        pollfd p = {m_iRead, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        char buffer[4096];
        ssize_t n;
        bool got = false;
        while ((n = read(m_iRead, buffer, sizeof buffer)) > 0)
        {
            m_sText.append(buffer, static_cast<size_t>(n));
            got = true;
        }
        return got;
    }

    int m_iRead = -1;
    int m_iSaved = -1;
    std::string m_sText;
};
} // namespace kovetest

#endif
