/* File access and forwarding for the command handlers of the device-message
 * service (DevMsg.h): write a file from one or many request fragments, read a
 * part of a file into the reply, check a relative file name, forward one
 * message to a local port, and relay a connection through a proxy.
 *
 * File header (DEVMSG_FILE_HEADER_SIZE bytes at the start of the request data
 * of a file command; little-endian):
 *   0   u32 flags (DEVMSG_FILE_*)
 *   4   u32 chunk size: bytes per write call (0: all at once)
 *   8   i32 file offset
 *   12  u32 (not interpreted)
 *   16  u32 size: bytes of file data in the whole command, or bytes to read
 *   20  u32 (not interpreted)
 *   24  file name (512 bytes, NUL-terminated), relative to the handler's
 *       directory prefix: it must not be absolute, hold a "." component or a
 *       name part ending in a dot, or climb above the prefix at any point.
 *
 * Read reply (DEVMSG_FILE_READ_HEAD bytes, then the data): u32 flags (the
 * request's DEVMSG_FILE_APPEND bit, plus DEVMSG_FILE_EOF at the end of the
 * file); u32 bytes granted; u32 status; u32 offset read from; u32 bytes read.
 * With DEVMSG_FILE_APPEND a read counts its offset from the end of the file.
 *
 * A file write whose data do not fit one message arrives in fragments: the
 * first (header and the data that came with it) opens the file as its flags
 * say, the later ones carry data only and land behind it, at the offset where
 * the first began plus what was written since; they neither create nor
 * truncate.
 *
 * Every function has C linkage and returns a status of KestrelStatus.h; none
 * throws, logs or prints (trace records aside), and none leaves a file or a
 * proxy connection open behind it. */
#ifndef DEVMSG_FILE_H
#define DEVMSG_FILE_H

#include <stdint.h>

#include "DevMsg.h"

#define DEVMSG_FILE_HEADER_SIZE 536
#define DEVMSG_FILE_NAME_SIZE 512
#define DEVMSG_FILE_READ_HEAD 20
/* Largest part of a request the service takes at once for a file command. */
#define DEVMSG_FILE_MAX_PART 1052672u
/* Largest forwarded message (command head included) and reply room. */
#define DEVMSG_FORWARD_MAX 4000u

/* Flags of the file header. */
#define DEVMSG_FILE_NEW 0x02u            /* the file must not exist yet */
#define DEVMSG_FILE_APPEND 0x04u         /* append (reading: offset from the end) */
#define DEVMSG_FILE_TRUNCATE 0x08u       /* truncate */
#define DEVMSG_FILE_EOF 0x10u            /* read reply: end of file reached */
#define DEVMSG_FILE_CREATE_APPEND 0x100u /* create when missing, then append */

#ifdef __cplusplus
extern "C"
{
#endif

    /* The fields of a file header, as DevMsgParseFileHeader reads them. */
    typedef struct DevMsgFileFields
    {
        uint32_t uFlags;
        uint32_t uChunkSize;
        int32_t iOffset;
        uint32_t uSize;
        char acName[DEVMSG_FILE_NAME_SIZE + 1]; /* always NUL-terminated */
    } DevMsgFileFields;

    /* Reads the header at the start of data: 0, KESTREL_BAD_REQUEST when fewer
     * than DEVMSG_FILE_HEADER_SIZE bytes are there, KESTREL_PATH_REFUSED when
     * the name is not terminated within its 512 bytes. */
    DEVMSG_EXPORT int DevMsgParseFileHeader(const uint8_t* data, uint32_t length,
                                            DevMsgFileFields* fields);

    /* Checks the first count characters (up to a NUL) of a relative file name:
     * 0; KESTREL_PATH_REFUSED for a leading "/", a "." component or a name part
     * ending in a dot before a "/", an empty name; KESTREL_PATH_OUTSIDE when a
     * ".." climbs above the start at any point. */
    DEVMSG_EXPORT int DevMsgCheckPath(const char* name, int count);

    /* The functions below take the header as it stands in a request: header
     * points at DEVMSG_FILE_HEADER_SIZE bytes in the layout above (a handler
     * may pass the request data as they arrived; each function reads the
     * header before it builds a reply). A name that is not terminated within
     * its 512 bytes gives KESTREL_PATH_REFUSED. */

    /* Opens prefix + "/" + the header's name (the "/" only when the prefix
     * lacks it; the prefix at most 512 characters). Reading: read-only.
     * Writing: read-write with permissions 0660, created and appended with
     * DEVMSG_FILE_CREATE_APPEND, else appended with DEVMSG_FILE_APPEND, else
     * created (exclusively with DEVMSG_FILE_NEW, truncated with
     * DEVMSG_FILE_TRUNCATE). Status: 0; the name check's; KESTREL_PATH_OUTSIDE
     * for access denied, KESTREL_FILE_EXISTS, KESTREL_CANNOT_OPEN otherwise;
     * KESTREL_NO_SOCKET (64) for a prefix of more than 512 characters,
     * KESTREL_INVALID_ARGUMENT for a missing header or prefix. Without a
     * descriptor pointer the file is closed again at once. */
    DEVMSG_EXPORT int DevMsgOpenFile(const uint8_t* header, const char* prefix, int forReading,
                                     int* descriptor);

    /* Writes length bytes at the header's offset (appending: at the end), in
     * pieces of the chunk size, each flushed to the storage. KESTREL_FAILED for
     * a negative offset without append, KESTREL_WRITE_ERROR for a failed
     * write, or the open status. */
    DEVMSG_EXPORT int DevMsgWriteFile(const uint8_t* header, const uint8_t* data, uint32_t length,
                                      const char* prefix);

    /* The file write command of a handler, first part or later fragment (see
     * above), on the request data in hand; sets the record's ToDo word when it
     * needs more of the request. used (may be null) gets the header in force:
     * the record's copy (DEVMSG_FILE_HEADER_SIZE bytes, its size counting down
     * and its offset up as fragments are written) for a write in fragments,
     * else null. */
    DEVMSG_EXPORT int DevMsgFileWriteCommand(tagDEVMSG_HANDLE_STRUCT* record, uint16_t command,
                                             const char* prefix, const uint8_t** used);

    /* The file read command: the reply is the read head and the data. A file
     * that cannot be opened gives the head alone with the open status in it
     * (result 0). KESTREL_FAILED for a negative offset without append,
     * KESTREL_NO_SOCKET when no reply room can be had; a header that cannot be
     * read gives its status with an empty reply. */
    DEVMSG_EXPORT int DevMsgFileReadCommand(tagDEVMSG_HANDLE_STRUCT* record, const uint8_t* header,
                                            const char* prefix);

    /* The whole read command of a handler: as DevMsgFileReadCommand on the
     * request data, which must hold the whole header (KESTREL_BAD_REQUEST with
     * an empty reply otherwise). */
    DEVMSG_EXPORT int DevMsgFileReadRequest(tagDEVMSG_HANDLE_STRUCT* record, const char* prefix);

    /* Forwards the message in hand (command head and data, at most
     * DEVMSG_FORWARD_MAX bytes) to 127.0.0.1:port and makes the reply's data
     * this message's reply. The status is the reply's status word, or:
     * KESTREL_NO_SOCKET without a record, a too long message or no reply room;
     * KESTREL_BAD_REQUEST without a message, or for a reply shorter than its
     * 4-byte head; KESTREL_CANNOT_OPEN without a connection; the socket
     * layer's status of a failed send or receive. The connection is stopped on
     * every way out. */
    DEVMSG_EXPORT uint32_t DevMsgSrvForwardMessage(tagDEVMSG_HANDLE_STRUCT* record, uint16_t port);

    /* Opens a framed TCP client to address (network order):port and waits up
     * to 20 times 500 ms for it to connect. The handle is returned in *handle
     * whatever the outcome (0 when none could be opened): the caller stops it. */
    DEVMSG_EXPORT int StartProxyConnection(uint32_t* handle, uint32_t address, uint16_t port);

#ifdef __cplusplus
}
#endif

#endif /* DEVMSG_FILE_H */
