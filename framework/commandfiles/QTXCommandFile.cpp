#include "QTXCommandFile.h"

#include <cstdio>
#include <cstring>

namespace
{
// Bytes looked at by the two class-level peeks.
constexpr size_t kPeekSize = 1024;

// Reads at most kPeekSize bytes of the file; false when it cannot be opened.
bool PeekFile(const char* path, char* buffer, size_t* length)
{
    *length = 0;
    if (path == nullptr)
        return false;
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    *length = fread(buffer, 1, kPeekSize, f);
    fclose(f);
    return true;
}

bool IsTagCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
} // namespace

int CQTXCommandFile::GetFileType(const char* path)
{
    char buffer[kPeekSize];
    size_t n;
    if (!PeekFile(path, buffer, &n))
        return QTX_FILE_TYPE_NONE;
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
