#include "QTXCommandFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{
// Bytes looked at by the two class-level peeks.
constexpr size_t kPeekSize = 1024;
// Read size of ReadWholeFile.
constexpr size_t kReadChunk = 65536;

int OpenForReading(const char* path)
{
    if (path == nullptr)
        return -1;
    int fd;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads up to `length` bytes, fewer only at the end of the file or on a read error.
size_t ReadFully(int fd, char* buffer, size_t length, bool* failed)
{
    size_t got = 0;
    *failed = false;
    while (got < length)
    {
        const ssize_t r = read(fd, buffer + got, length - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
        {
            *failed = true;
            break;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

// Reads at most kPeekSize bytes of the file; false when it cannot be opened.
bool PeekFile(const char* path, char* buffer, size_t* length)
{
    *length = 0;
    const int fd = OpenForReading(path);
    if (fd < 0)
        return false;
    bool failed;
    *length = ReadFully(fd, buffer, kPeekSize, &failed);
    close(fd);
    return true;
}

bool IsTagCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
} // namespace

bool CQTXCommandFile::ReadWholeFile(const char* path, std::string& content, bool* complete)
{
    content.clear();
    if (complete != nullptr)
        *complete = false;
    const int fd = OpenForReading(path);
    if (fd < 0)
        return false;
    // Not zero-filled: only what was read is copied.
    const std::unique_ptr<char[]> chunk(new char[kReadChunk]);
    bool failed = false;
    for (;;)
    {
        const size_t n = ReadFully(fd, chunk.get(), kReadChunk, &failed);
        content.append(chunk.get(), n);
        if (n < kReadChunk)
            break;
    }
    close(fd);
    if (complete != nullptr)
        *complete = !failed;
    return true;
}

int CQTXCommandFile::GetFileType(const char* path)
{
    char buffer[kPeekSize];
    size_t n;
    if (!PeekFile(path, buffer, &n))
        return QTX_FILE_TYPE_NONE;
    return GetContentType(buffer, n);
}

int CQTXCommandFile::GetContentType(const char* buffer, size_t length)
{
    const size_t n = length < kPeekSize ? length : kPeekSize;
    for (size_t i = 0; i + 5 < n; ++i)
    {
        if (buffer[i] != '<' || buffer[i + 1] != '?')
            continue;
        if (memcmp(buffer + i + 2, "xml", 3) == 0)
            return QTX_FILE_TYPE_XML;
        if (memcmp(buffer + i + 2, "bin", 3) == 0)
            return QTX_FILE_TYPE_BINARY;
    }
    return QTX_FILE_TYPE_NONE;
}

std::string CQTXCommandFile::GetFileTag(const char* path)
{
    char buffer[kPeekSize + 1];
    size_t n;
    if (!PeekFile(path, buffer, &n))
        return std::string();
    buffer[n] = '\0';
    for (size_t i = 0; i + 5 < n; ++i)
    {
        if (buffer[i] != '<' || buffer[i + 1] != '?')
            continue;
        if (memcmp(buffer + i + 2, "xml", 3) == 0)
        {
            const char* open = static_cast<const char*>(memchr(buffer + i + 5, '<', n - (i + 5)));
            if (open == nullptr)
                continue;
            const char* end = open + 1;
            while (end < buffer + n && IsTagCharacter(*end))
                ++end;
            return std::string(open + 1, end);
        }
        if (memcmp(buffer + i + 2, "bin", 3) == 0)
        {
            // The head's tag bytes at offsets 6 and 7 as text; buffer[n] is zero, so the
            // reading stops inside the buffer.
            std::string tag;
            for (size_t k = i + 6; k <= i + 7 && k <= n && buffer[k] != '\0'; ++k)
                tag += buffer[k];
            return tag;
        }
    }
    return std::string();
}
