// File access for device-message command handlers: the file header, the name check, opening
// below a directory prefix, writing from one or many fragments and reading into the reply.
#include "DevMsgFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "DevMsgInternal.h"
#include "nyDebug.h"

namespace
{
using devmsg::Trace;

constexpr uint32_t kTraceProgress = 0x01;
constexpr size_t kMaxPrefix = 512;
// The heap copy of a header that spans fragments: the record plus a terminating zero.
constexpr size_t kHeaderCopySize = DEVMSG_FILE_HEADER_SIZE + 1;

uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void TraceError(const char* text, uint32_t value)
{
    Trace(NYDEBUG_FLAG_ERROR, NYDEBUG_LEVEL_ERROR, text, 1, value);
}

// Opens the file a header names below the prefix (see DevMsgOpenFile).
int OpenFile(const DevMsgFileFields* header, const char* prefix, int forReading, int* descriptor)
{
    if (prefix == nullptr)
        return KESTREL_INVALID_ARGUMENT;
    // A longer prefix has no room in the path, as a reply without room has none.
    const size_t prefixLength = strnlen(prefix, kMaxPrefix + 1);
    if (prefixLength > kMaxPrefix)
        return KESTREL_NO_SOCKET;
    const int check = DevMsgCheckPath(header->acName, DEVMSG_FILE_NAME_SIZE);
    if (check != 0)
        return check;
    std::string path(prefix, prefixLength);
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += header->acName;

    int flags = O_CLOEXEC;
    if (forReading)
        flags |= O_RDONLY;
    else if (header->uFlags & DEVMSG_FILE_CREATE_APPEND)
        flags |= O_RDWR | O_CREAT | O_APPEND;
    else if (header->uFlags & DEVMSG_FILE_APPEND)
        flags |= O_RDWR | O_APPEND;
    else
        flags |= O_RDWR | O_CREAT | ((header->uFlags & DEVMSG_FILE_NEW) ? O_EXCL : 0) |
                 ((header->uFlags & DEVMSG_FILE_TRUNCATE) ? O_TRUNC : 0);
    const int fd = open(path.c_str(), flags, 0660);
    if (fd < 0)
    {
        const int error = errno;
        if (nyDebugInterfaceGlobalFlags & devmsg::kTraceCommands)
        {
            const std::string text = "open[" + path + "] ERR=";
            Trace(devmsg::kTraceCommands, NYDEBUG_LEVEL_ERROR, text.c_str(), 1,
                  static_cast<uint32_t>(error));
        }
        return error == EACCES   ? KESTREL_PATH_OUTSIDE
               : error == EEXIST ? KESTREL_FILE_EXISTS
                                 : KESTREL_CANNOT_OPEN;
    }
    if (descriptor != nullptr)
        *descriptor = fd;
    else
        close(fd);
    return 0;
}

// Writes all of length bytes, in pieces of chunk, each flushed to the storage.
int WriteAll(int fd, const uint8_t* data, uint32_t length, uint32_t chunk)
{
    if (chunk == 0)
        chunk = length;
    uint32_t done = 0;
    while (done < length)
    {
        const uint32_t piece = length - done < chunk ? length - done : chunk;
        uint32_t written = 0;
        while (written < piece)
        {
            const ssize_t n = write(fd, data + done + written, piece - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                TraceError("write error ", static_cast<uint32_t>(errno));
                return KESTREL_WRITE_ERROR;
            }
            written += static_cast<uint32_t>(n);
        }
        if (fsync(fd) != 0 && errno != EINVAL)
        {
            TraceError("write error ", static_cast<uint32_t>(errno));
            return KESTREL_WRITE_ERROR;
        }
        done += piece;
    }
    return 0;
}

// Writes the data as the header says; *start gets the file position the data went to.
int WriteAt(const DevMsgFileFields* header, const uint8_t* data, uint32_t length,
            const char* prefix, int64_t* start)
{
    const bool append = (header->uFlags & (DEVMSG_FILE_APPEND | DEVMSG_FILE_CREATE_APPEND)) != 0;
    if (header->iOffset < 0 && !append)
        return KESTREL_FAILED;
    int fd = -1;
    int status = OpenFile(header, prefix, 0, &fd);
    if (status != 0)
        return status;
    const off_t position =
        append ? lseek(fd, 0, SEEK_END) : lseek(fd, static_cast<off_t>(header->iOffset), SEEK_SET);
    if (position < 0)
        status = KESTREL_WRITE_ERROR;
    else
    {
        *start = position;
        status = WriteAll(fd, data, length, header->uChunkSize);
    }
    close(fd);
    return status;
}

void PutHeader(uint8_t* copy, const DevMsgFileFields* header)
{
    memset(copy, 0, kHeaderCopySize);
    devmsg::PutLe32(copy, header->uFlags);
    devmsg::PutLe32(copy + 4, header->uChunkSize);
    devmsg::PutLe32(copy + 8, static_cast<uint32_t>(header->iOffset));
    devmsg::PutLe32(copy + 16, header->uSize);
    memcpy(copy + 24, header->acName, strnlen(header->acName, DEVMSG_FILE_NAME_SIZE));
}

bool MoreAnnounced(const tagDEVMSG_HANDLE_STRUCT* record)
{
    return record->iLastReceiveStatus == KESTREL_MORE_FRAGMENTS;
}

uint32_t SmallerOf(uint64_t a, uint64_t b)
{
    return static_cast<uint32_t>(a < b ? a : b);
}
} // namespace

extern "C"
{
    DEVMSG_EXPORT int DevMsgParseFileHeader(const uint8_t* data, uint32_t length,
                                            DevMsgFileFields* header)
    {
        if (data == nullptr || header == nullptr || length < DEVMSG_FILE_HEADER_SIZE)
            return KESTREL_BAD_REQUEST;
        header->uFlags = GetLe32(data);
        header->uChunkSize = GetLe32(data + 4);
        header->iOffset = static_cast<int32_t>(GetLe32(data + 8));
        header->uSize = GetLe32(data + 16);
        const char* name = reinterpret_cast<const char*>(data + 24);
        const size_t nameLength = strnlen(name, DEVMSG_FILE_NAME_SIZE);
        memcpy(header->acName, name, nameLength);
        header->acName[nameLength] = '\0';
        return nameLength < DEVMSG_FILE_NAME_SIZE ? 0 : KESTREL_PATH_REFUSED;
    }

    DEVMSG_EXPORT int DevMsgCheckPath(const char* name, int count)
    {
        if (name == nullptr || count <= 0)
            return KESTREL_PATH_REFUSED;
        const size_t length = strnlen(name, static_cast<size_t>(count));
        if (length == 0 || name[0] == '/')
            return KESTREL_PATH_REFUSED;
        // Component by component: the depth below the start may never fall under zero.
        int depth = 0;
        size_t begin = 0;
        while (begin <= length)
        {
            size_t end = begin;
            while (end < length && name[end] != '/')
                ++end;
            const size_t size = end - begin;
            const char* part = name + begin;
            const bool slashFollows = end < length;
            if (size == 2 && part[0] == '.' && part[1] == '.')
            {
                if (--depth < 0)
                    return KESTREL_PATH_OUTSIDE;
            }
            else if (size == 1 && part[0] == '.')
            {
                return KESTREL_PATH_REFUSED;
            }
            else if (size > 0)
            {
                // A directory whose name ends in a dot is refused as well.
                if (slashFollows && part[size - 1] == '.')
                    return KESTREL_PATH_REFUSED;
                ++depth;
            }
            begin = end + 1;
        }
        return 0;
    }

    DEVMSG_EXPORT int DevMsgOpenFile(const uint8_t* header, const char* prefix, int forReading,
                                     int* descriptor)
    {
        if (header == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        DevMsgFileFields fields;
        const int parsed = DevMsgParseFileHeader(header, DEVMSG_FILE_HEADER_SIZE, &fields);
        return parsed != 0 ? parsed : OpenFile(&fields, prefix, forReading, descriptor);
    }

    DEVMSG_EXPORT int DevMsgWriteFile(const uint8_t* header, const uint8_t* data, uint32_t length,
                                      const char* prefix)
    {
        if (header == nullptr || (data == nullptr && length > 0))
            return KESTREL_INVALID_ARGUMENT;
        DevMsgFileFields fields;
        const int parsed = DevMsgParseFileHeader(header, DEVMSG_FILE_HEADER_SIZE, &fields);
        if (parsed != 0)
            return parsed;
        int64_t start = 0;
        return WriteAt(&fields, data, length, prefix, &start);
    }

    DEVMSG_EXPORT int DevMsgFileWriteCommand(tagDEVMSG_HANDLE_STRUCT* record, uint16_t command,
                                             const char* prefix, const uint8_t** used)
    {
        DevMsgFileFields tPending;
        if (used != nullptr)
            *used = nullptr;
        if (record == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        uint32_t length = 0;
        const uint8_t* data = DevMsgGetRequest(record, &length);
        if (data == nullptr)
            return KESTREL_BAD_REQUEST;

        if (record->usPendingFileCommand != 0 && command == record->usPendingFileCommand)
        {
            // A later fragment: data only, behind what was written so far.
            if (record->pucFileHeader == nullptr)
                return KESTREL_NO_SOCKET;
            const int parsed =
                DevMsgParseFileHeader(record->pucFileHeader, DEVMSG_FILE_HEADER_SIZE, &tPending);
            if (parsed != 0)
                return parsed;
            if (length > tPending.uSize || (length < tPending.uSize && !MoreAnnounced(record)))
                return KESTREL_BAD_REQUEST;
            int64_t start = 0;
            const int status = WriteAt(&tPending, data, length, prefix, &start);
            if (status != 0)
                return status;
            tPending.uSize -= length;
            tPending.iOffset = static_cast<int32_t>(start + length);
            PutHeader(record->pucFileHeader, &tPending);
            if (used != nullptr)
                *used = record->pucFileHeader;
            if (tPending.uSize > 0)
            {
                record->uToDo = DEVMSG_TODO_NEXT_PART;
                DevMsgGrowRequestBuffer(record, SmallerOf(tPending.uSize, DEVMSG_FILE_MAX_PART));
            }
            DevMsgResetReply(record);
            return 0;
        }

        DevMsgFileFields header;
        const int parsed = DevMsgParseFileHeader(data, length, &header);
        if (parsed != 0)
            return parsed;
        const uint32_t carried = length - DEVMSG_FILE_HEADER_SIZE;
        const uint8_t* fileData = data + DEVMSG_FILE_HEADER_SIZE;
        if (header.uSize <= carried)
        {
            int64_t start = 0;
            const int status = WriteAt(&header, fileData, header.uSize, prefix, &start);
            DevMsgResetReply(record);
            return status;
        }
        if (!MoreAnnounced(record))
            return KESTREL_BAD_REQUEST;
        // The whole request fits a grown block: take the rest behind what is there.
        const uint64_t whole = static_cast<uint64_t>(DEVMSG_FILE_HEADER_SIZE) + header.uSize;
        if (whole + DEVMSG_HEADER_RESERVE <= DEVMSG_FILE_MAX_PART &&
            DevMsgGrowRequestBuffer(record, static_cast<uint32_t>(whole)) == 0)
        {
            record->uToDo = DEVMSG_TODO_REST;
            return 0;
        }
        // Too large for one block: the file is written fragment by fragment.
        uint8_t* copy = static_cast<uint8_t*>(malloc(kHeaderCopySize));
        if (copy == nullptr)
            return KESTREL_NO_MEMORY;
        Trace(kTraceProgress, NYDEBUG_LEVEL_INFO, "mallocCMD ", 1, command);
        int64_t start = 0;
        const int status = WriteAt(&header, fileData, carried, prefix, &start);
        if (status != 0)
        {
            free(copy);
            return status;
        }
        tPending = header;
        // Later fragments neither create nor truncate, and land behind this one.
        tPending.uFlags &= ~(DEVMSG_FILE_NEW | DEVMSG_FILE_APPEND | DEVMSG_FILE_TRUNCATE |
                             DEVMSG_FILE_CREATE_APPEND);
        tPending.uSize -= carried;
        tPending.iOffset = static_cast<int32_t>(start + carried);
        PutHeader(copy, &tPending);
        free(record->pucFileHeader);
        record->pucFileHeader = copy;
        record->usPendingFileCommand = command;
        if (used != nullptr)
            *used = copy;
        record->uToDo = DEVMSG_TODO_NEXT_PART;
        DevMsgGrowRequestBuffer(record, SmallerOf(tPending.uSize, DEVMSG_FILE_MAX_PART));
        DevMsgResetReply(record);
        return 0;
    }

    // The read command on the fields of a header (a copy: the reply is built over the request).
    static int ReadIntoReply(tagDEVMSG_HANDLE_STRUCT* record, const DevMsgFileFields* header,
                             const char* prefix)
    {
        const bool fromEnd = (header->uFlags & DEVMSG_FILE_APPEND) != 0;
        if (header->iOffset < 0 && !fromEnd)
            return KESTREL_FAILED;
        const uint32_t replyFlags = header->uFlags & DEVMSG_FILE_APPEND;
        int fd = -1;
        const int opened = OpenFile(header, prefix, 1, &fd);
        if (opened != 0)
        {
            uint8_t* head = DevMsgReserveReply(record, DEVMSG_FILE_READ_HEAD, 0);
            if (head == nullptr)
                return KESTREL_NO_SOCKET;
            memset(head, 0, DEVMSG_FILE_READ_HEAD);
            devmsg::PutLe32(head, replyFlags);
            devmsg::PutLe32(head + 8, static_cast<uint32_t>(opened));
            return 0;
        }
        off_t position = fromEnd ? lseek(fd, static_cast<off_t>(header->iOffset), SEEK_END)
                                 : lseek(fd, static_cast<off_t>(header->iOffset), SEEK_SET);
        if (position < 0 && fromEnd)
            position = lseek(fd, 0, SEEK_SET); // a tail longer than the file: all of it
        // A reply never asks for more than the largest part, whatever size the request names.
        const uint32_t largest = DEVMSG_FILE_MAX_PART + DEVMSG_FILE_READ_HEAD;
        uint8_t* reply = DevMsgReserveReplyFallback(
            record,
            SmallerOf(static_cast<uint64_t>(header->uSize) + DEVMSG_FILE_READ_HEAD, largest), 0,
            largest);
        if (reply == nullptr || record->uReplyLength < DEVMSG_FILE_READ_HEAD)
        {
            close(fd);
            DevMsgResetReply(record);
            return KESTREL_NO_SOCKET;
        }
        const uint32_t granted =
            SmallerOf(header->uSize, record->uReplyLength - DEVMSG_FILE_READ_HEAD);
        uint32_t status = position < 0 ? KESTREL_READ_ERROR : 0;
        uint32_t got = 0;
        while (status == 0 && got < granted)
        {
            const ssize_t n = read(fd, reply + DEVMSG_FILE_READ_HEAD + got, granted - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
            {
                TraceError("read error ", static_cast<uint32_t>(errno));
                status = KESTREL_READ_ERROR;
            }
            if (n <= 0)
                break;
            got += static_cast<uint32_t>(n);
        }
        uint32_t flags = replyFlags;
        if (status == 0)
        {
            uint8_t probe;
            ssize_t n;
            do
                n = read(fd, &probe, 1);
            while (n < 0 && errno == EINTR);
            if (n == 0)
            {
                flags |= DEVMSG_FILE_EOF;
                Trace(kTraceProgress, NYDEBUG_LEVEL_INFO, "set eof ", 1, got);
            }
        }
        else
        {
            got = 0;
        }
        close(fd);
        devmsg::PutLe32(reply, flags);
        devmsg::PutLe32(reply + 4, granted);
        devmsg::PutLe32(reply + 8, status);
        devmsg::PutLe32(reply + 12, position < 0 ? 0 : static_cast<uint32_t>(position));
        devmsg::PutLe32(reply + 16, got);
        record->uReplyLength = got + DEVMSG_FILE_READ_HEAD;
        return 0;
    }

    DEVMSG_EXPORT int DevMsgFileReadCommand(tagDEVMSG_HANDLE_STRUCT* record, const uint8_t* header,
                                            const char* prefix)
    {
        if (record == nullptr || header == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        // The fields are taken before the reply, which is built over the request, takes their
        // place.
        DevMsgFileFields fields;
        const int parsed = DevMsgParseFileHeader(header, DEVMSG_FILE_HEADER_SIZE, &fields);
        if (parsed != 0)
        {
            DevMsgResetReply(record);
            return parsed;
        }
        return ReadIntoReply(record, &fields, prefix);
    }

    DEVMSG_EXPORT int DevMsgFileReadRequest(tagDEVMSG_HANDLE_STRUCT* record, const char* prefix)
    {
        if (record == nullptr)
            return KESTREL_INVALID_ARGUMENT;
        uint32_t length = 0;
        const uint8_t* data = DevMsgGetRequest(record, &length);
        if (data == nullptr || length < DEVMSG_FILE_HEADER_SIZE)
        {
            DevMsgResetReply(record);
            return KESTREL_BAD_REQUEST;
        }
        return DevMsgFileReadCommand(record, data, prefix);
    }
}
