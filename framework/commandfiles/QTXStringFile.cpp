// Bounded string functions and file-name and directory helpers.
#include "QTXStringFile.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int nStrNCpy_s(char* destination, int size, const char* source, int count)
{
    if (destination == nullptr || source == nullptr || size < 1)
    {
        return 0;
    }
    int limit = size - 1;
    if (count >= 0 && count < limit)
    {
        limit = count;
    }
    int copied = 0;
    while (copied < limit && source[copied] != '\0')
    {
        destination[copied] = source[copied];
        ++copied;
    }
    destination[copied] = '\0';
    return copied;
}

int nStrCpy_s(char* destination, int size, const char* source)
{
    return nStrNCpy_s(destination, size, source, -1);
}

int nStrCat_s(char* destination, int size, const char* source)
{
    if (destination == nullptr || size < 1)
    {
        return 0;
    }
    // The text is only looked for within the buffer: a destination without a zero byte counts
    // as full and is left as it is.
    int length = static_cast<int>(strnlen(destination, static_cast<size_t>(size)));
    return nStrNCpy_s(destination + length, size - length, source, -1);
}

namespace
{
// Removes everything in the directory open as `dirFd` and closes it. Entries are looked at
// without following symbolic links, and subdirectories are opened relative to their parent
// with O_NOFOLLOW, so a link (or an entry swapped for one meanwhile) is removed itself and
// nothing outside the tree is touched. Stops at the first entry that cannot be removed.
bool EmptyDirectory(int dirFd)
{
    DIR* dir = fdopendir(dirFd);
    if (dir == nullptr)
    {
        close(dirFd);
        return false;
    }
    bool ok = true;
    while (ok)
    {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr)
        {
            ok = errno == 0;
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        {
            continue;
        }
        struct stat info;
        if (fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        {
            ok = false;
        }
        else if (S_ISDIR(info.st_mode))
        {
            int childFd = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = childFd >= 0 && EmptyDirectory(childFd) &&
                 unlinkat(dirfd(dir), name, AT_REMOVEDIR) == 0;
        }
        else
        {
            ok = unlinkat(dirfd(dir), name, 0) == 0;
        }
    }
    closedir(dir);
    return ok;
}
} // namespace

int DeleteDirectory(const char* path)
{
    if (path == nullptr || path[0] == '\0')
    {
        return QTX_DELETE_DIRECTORY_FAILED;
    }
    // Without trailing slashes, so that O_NOFOLLOW applies to the directory's own name.
    std::string name(path);
    while (name.size() > 1 && name.back() == '/')
    {
        name.pop_back();
    }
    int fd = open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
    {
        return QTX_DELETE_DIRECTORY_FAILED;
    }
    if (!EmptyDirectory(fd) || rmdir(name.c_str()) != 0)
    {
        return QTX_DELETE_DIRECTORY_FAILED;
    }
    return 0;
}

namespace
{
bool EndsInSeparator(const char* text)
{
    size_t length = std::strlen(text);
    if (length == 0)
    {
        return false;
    }
    char last = text[length - 1];
    return last == ':' || last == '\\' || last == '/';
}
} // namespace

void Filename2Path(char* buffer, int size, const char* subdirectory, const char* fileName,
                   int keepDirectory)
{
    if (buffer == nullptr || size < 10)
    {
        return;
    }
    if (keepDirectory == 0)
    {
        buffer[0] = '\0';
    }
    else
    {
        // The caller's text must end within the buffer.
        buffer[size - 1] = '\0';
    }
    if (buffer[0] != '\0' && !EndsInSeparator(buffer))
    {
        nStrCat_s(buffer, size, "/");
    }
    if (subdirectory != nullptr && subdirectory[0] != '\0')
    {
        nStrCat_s(buffer, size, subdirectory);
        if (buffer[0] != '\0' && !EndsInSeparator(buffer))
        {
            nStrCat_s(buffer, size, "/");
        }
    }
    if (fileName != nullptr)
    {
        if (fileName[0] == '/' || fileName[0] == '\\')
        {
            nStrCpy_s(buffer, size, fileName);
        }
        else
        {
            nStrCat_s(buffer, size, fileName);
        }
    }
    for (char* p = buffer; *p != '\0'; ++p)
    {
        if (*p == '\\')
        {
            *p = '/';
        }
    }
}

std::string AddFilePreExtension(const std::string& fileName, const char* text)
{
    const std::string insert = text != nullptr ? text : "";
    for (size_t i = fileName.size(); i > 0; --i)
    {
        char c = fileName[i - 1];
        if (c == '.')
        {
            return fileName.substr(0, i - 1) + insert + fileName.substr(i - 1);
        }
        if (c == '/' || c == '\\')
        {
            break;
        }
    }
    return fileName + "_" + insert;
}

std::string AddFileNumber(const std::string& fileName, int number)
{
    if (number == 0)
    {
        return fileName;
    }
    return AddFilePreExtension(fileName, ("_" + std::to_string(number)).c_str());
}
