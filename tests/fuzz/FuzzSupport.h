// Helpers shared by the fuzz targets.
#ifndef KOVE_FUZZ_SUPPORT_H
#define KOVE_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace kovefuzz
{
// A file in memory that the loaders open by path like any request file; no disk is touched
// between runs.
class CMemoryFile
{
public:
    explicit CMemoryFile(const char* name)
    {
        m_iFd = memfd_create(name, MFD_CLOEXEC);
        if (m_iFd < 0)
        {
            std::perror("memfd_create");
            std::abort();
        }
        m_sPath = "/proc/self/fd/" + std::to_string(m_iFd);
    }
    ~CMemoryFile() { close(m_iFd); }

    // Replaces the contents.
    void Set(const uint8_t* data, size_t size)
    {
        if (ftruncate(m_iFd, 0) != 0 ||
            (size != 0 && pwrite(m_iFd, data, size, 0) != static_cast<ssize_t>(size)))
        {
            std::perror("memory file");
            std::abort();
        }
    }
    const char* Path() const { return m_sPath.c_str(); }

private:
    int m_iFd;
    std::string m_sPath;
};

// Stops the run with a message: libFuzzer reports it as a crash and keeps the input.
[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}
} // namespace kovefuzz

#endif
