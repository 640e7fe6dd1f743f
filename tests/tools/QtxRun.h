// qtx run as a process by the tool tests: its exit status and what it printed, its results
// (standard output) and its error messages (standard error) apart.
#ifndef QTX_RUN_H
#define QTX_RUN_H

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "KoveTestSupport.h"

struct CRun
{
    int iStatus;
    std::string sOut; // standard output
    std::string sErr; // standard error
    // The text on either stream.
    bool Has(const std::string& part) const
    {
        return sOut.find(part) != std::string::npos || sErr.find(part) != std::string::npos;
    }
    // Both streams, for the message of a failed expectation.
    std::string All() const { return sOut + "\n[stderr]\n" + sErr; }
};

// qtx run in the directory dir (the current one when empty) with input as its standard input
// (which then ends).
inline CRun QtxIn(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& input, const std::string& dir)
{
    std::vector<std::string> words{kovetest::BinPath("qtx")};
    words.insert(words.end(), args.begin(), args.end());
    const std::vector<std::string> launch = kovetest::LaunchArgv(words);
    std::vector<char*> argv;
    for (const std::string& word : launch)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    CRun run{-1, "", ""};
    int pipes[3][2]; // standard input, output, error
    int made = 0;
    for (; made < 3; ++made)
        if (pipe2(pipes[made], O_CLOEXEC) != 0)
            break;
    if (made < 3)
    {
        for (int i = 0; i < made; ++i)
        {
            close(pipes[i][0]);
            close(pipes[i][1]);
        }
        return run;
    }
    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2(pipes[0][0], STDIN_FILENO);
        dup2(pipes[1][1], STDOUT_FILENO);
        dup2(pipes[2][1], STDERR_FILENO);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        if (dir.empty() || chdir(dir.c_str()) == 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipes[0][0]);
    close(pipes[1][1]);
    close(pipes[2][1]);
    if (pid > 0)
    {
        // The inputs of the tests fit into the pipe; a qtx that ended early is no signal.
        std::signal(SIGPIPE, SIG_IGN);
        size_t at = 0;
        while (at < input.size())
        {
            const ssize_t n = write(pipes[0][1], input.data() + at, input.size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
    }
    close(pipes[0][1]);
    // Both streams are read as they come: a full pipe would stop qtx.
    pollfd fds[2] = {{pipes[1][0], POLLIN, 0}, {pipes[2][0], POLLIN, 0}};
    std::string* into[2] = {&run.sOut, &run.sErr};
    int open = 2;
    while (open > 0)
    {
        if (poll(fds, 2, -1) < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i)
        {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                into[i]->append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
            {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int status = 0;
    if (pid > 0)
    {
        while (waitpid(pid, &status, 0) < 0)
            if (errno != EINTR)
                return run;
        run.iStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return run;
}

inline CRun Qtx(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    return QtxIn(args, env, "", "");
}

#endif
