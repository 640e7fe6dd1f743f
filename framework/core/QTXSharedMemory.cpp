// Named shared memory: the handle of one mapped POSIX shared-memory object, and the requests to
// the system driver, which keeps the device's directory of named memories.
#include "QTXSharedMemory.h"

#include "KovePlatform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "QTX.h"
#include "QTXMessages.h"
#include "QTXReport.h"
#include "QTXXml.h"

namespace
{
constexpr int SYSTEM_DRIVER_PORT = 62000;
constexpr int REQUEST_TIMEOUT_MS = 1000;
// Largest part of a reply that is searched for the result.
constexpr size_t REPLY_READ_LIMIT = 65536;

// Size of the object behind the descriptor; -1 when it cannot be read.
off_t ObjectSize(int fd)
{
    struct stat status;
    return fstat(fd, &status) == 0 ? status.st_size : -1;
}

// A reply file of this process and call: two processes, or two threads of one, never share
// one, so none of them reads an answer meant for another.
std::string ReplyFileName(const char* base)
{
    static std::atomic<unsigned> counter{0};
    return GetLogDirectory() + base + "_" + std::to_string(getpid()) + "_" +
           std::to_string(counter++) + ".xml";
}

// True when the reply file holds Result="Done". The file is removed afterwards.
bool ReplySaysDone(const std::string& replyFile)
{
    std::string reply;
    FILE* file = fopen(replyFile.c_str(), "rb");
    if (file != nullptr)
    {
        reply.resize(REPLY_READ_LIMIT);
        reply.resize(fread(&reply[0], 1, reply.size(), file));
        fclose(file);
    }
    remove(replyFile.c_str());
    return reply.find("Result=\"Done\"") != std::string::npos;
}

// Sends a request to the system driver and tells whether it answered Result="Done".
bool RequestDone(const std::string& request, const char* replyBase)
{
    const std::string replyFile = ReplyFileName(replyBase);
    if (!SendStringToDriver(request, REQUEST_TIMEOUT_MS, SYSTEM_DRIVER_PORT, replyFile))
    {
        remove(replyFile.c_str());
        return false;
    }
    return ReplySaysDone(replyFile);
}

std::string RequestHead(const char* name, const char* action)
{
    return sXmlStart + "<NamedSharedMemory Name=\"" + EscapeXmlValue(name) + "\" Action=\"" +
           action + "\"";
}

// Gives back a handle whose open failed, leaving the reason in errno.
void FailNSMemory(QTXNSMemory* handle, int error)
{
    CloseNSMemory(handle);
    errno = error;
}
} // namespace

QTXNSMemory* OpenNSMemory(const char* name, int flags, int size)
{
    if (name == nullptr)
        return nullptr;
    const int access = flags & (QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE);
    if (access == 0 || size < 1)
        return nullptr;

    // A mapping needs a descriptor that reads, and a shared writable mapping one that also
    // writes: a handle for writing alone opens the object for both and maps it for writing.
    const int openFlags = (access == QTX_NSMEMORY_READ) ? O_RDONLY : O_RDWR;
    const int protection = (access == QTX_NSMEMORY_READ)    ? PROT_READ
                           : (access == QTX_NSMEMORY_WRITE) ? PROT_WRITE
                                                            : PROT_READ | PROT_WRITE;
    int createFlags = 0;
    if (flags & QTX_NSMEMORY_CREATE)
        createFlags = (flags & QTX_NSMEMORY_EXCLUSIVE) ? O_CREAT | O_EXCL : O_CREAT;

    QTXNSMemory* handle = static_cast<QTXNSMemory*>(calloc(1, sizeof(QTXNSMemory)));
    if (handle == nullptr)
        return nullptr;
    handle->iLength = size;
    handle->iFlags = flags;
    CopyStringToCharArray(handle->acName, name, sizeof handle->acName);

    handle->iDescriptor = PlatShmOpen(name, openFlags | createFlags, 0644);
    if (handle->iDescriptor < 0)
    {
        FailNSMemory(handle, errno);
        return nullptr;
    }

    // Never shrink: another process may have mapped more of the object than this one asks for.
    if (ObjectSize(handle->iDescriptor) < size && (access & QTX_NSMEMORY_WRITE) &&
        ftruncate(handle->iDescriptor, size) != 0)
    {
        FailNSMemory(handle, errno);
        return nullptr;
    }
    // Touching a mapping beyond the end of the object kills the process with SIGBUS.
    if (ObjectSize(handle->iDescriptor) < size)
    {
        FailNSMemory(handle, EINVAL);
        return nullptr;
    }
    // So does writing to a page that the file system has no room for: a size alone reserves
    // nothing. Every page a writer may touch is backed now, or the open fails.
    if (access & QTX_NSMEMORY_WRITE)
    {
        const int error = posix_fallocate(handle->iDescriptor, 0, size);
        if (error != 0)
        {
            FailNSMemory(handle, error);
            return nullptr;
        }
    }

    void* address =
        mmap(nullptr, static_cast<size_t>(size), protection, MAP_SHARED, handle->iDescriptor, 0);
    if (address == MAP_FAILED)
    {
        FailNSMemory(handle, errno);
        return nullptr;
    }
    handle->pAddress = address;
    return handle;
}

void CloseNSMemory(QTXNSMemory* handle)
{
    if (handle == nullptr)
        return;
    if (handle->iDescriptor >= 0)
        close(handle->iDescriptor);
    handle->iDescriptor = -1;
    free(handle);
}

void ReleaseNSMemory(QTXNSMemory* handle, bool removeObject)
{
    if (handle == nullptr)
        return;
    if (handle->pAddress != nullptr)
        munmap(handle->pAddress, static_cast<size_t>(handle->iLength));
    if (removeObject)
        PlatShmUnlink(handle->acName);
    CloseNSMemory(handle);
}

void* GetNSMemoryPointer(const QTXNSMemory* handle)
{
    return handle != nullptr ? handle->pAddress : nullptr;
}

int GetNSMemoryLength(const QTXNSMemory* handle)
{
    return handle != nullptr ? handle->iLength : 0;
}

const char* GetNSMemoryName(const QTXNSMemory* handle)
{
    return handle != nullptr ? handle->acName : nullptr;
}

bool IsNSMemoryReadAllowed(const QTXNSMemory* handle)
{
    return handle != nullptr && (handle->iFlags & QTX_NSMEMORY_READ) != 0;
}

bool IsNSMemoryWriteAllowed(const QTXNSMemory* handle)
{
    return handle != nullptr && (handle->iFlags & QTX_NSMEMORY_WRITE) != 0;
}

bool AllocateQTXNamedSharedMemory(const char* name, int size)
{
    if (name == nullptr || size < 1)
        return false;
    return RequestDone(RequestHead(name, "Allocate") + " Size=\"" + std::to_string(size) + "\" />",
                       "SharedMemoryRequest_reply");
}

void FreeQTXNamedSharedMemory(const char* name)
{
    if (name == nullptr)
        return;
    SendStringToDriver(RequestHead(name, "Free") + " />", REQUEST_TIMEOUT_MS, SYSTEM_DRIVER_PORT,
                       "");
}

bool StoreQTXNamedSharedMemoryToFile(const char* name, const char* fileName)
{
    if (name == nullptr || fileName == nullptr)
        return false;
    return RequestDone(RequestHead(name, "Store") + " FileName=\"" + EscapeXmlValue(fileName) +
                           "\" />",
                       "SharedMemoryStoreRequest_reply");
}
