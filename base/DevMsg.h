/* Device-message service of the base library.
 *
 * A small binary request/reply server that a program runs on a debug port
 * beside its XML command port. A PC tool connects by TCP and exchanges framed
 * messages of the socket layer (NySoc.h: "S", "i", flags with bit 0 "more
 * fragments follow", 0, u32 little-endian payload length). Every new client
 * first gets the empty greeting frame.
 *
 *   request payload: u16 command, u16 (not interpreted), data
 *   reply payload:   u16 command (echoed), u16 status, data
 *                    (later fragments of a streamed reply carry data only)
 *
 * Up to DEVMSG_MAX_SERVICES services run side by side, each on its own port
 * with its own service threads; every thread serves one client at a time.
 * The service answers the built-in commands itself:
 *   2  fetch (and empty) the trace buffer: a 12-byte head {u8 1 when the
 *      fetched bytes filled the room, else 0; 7 zero bytes; u32 bytes
 *      fetched}, then the bytes
 *   3  trace buffer size: u16
 *   4  device information record of DEVMSG_DEVICE_INFO_SIZE bytes
 *      (DeviceIdentity.h)
 * Every command goes to the program's command handler first, when it has one;
 * a handler result of DEVMSG_NOT_HANDLED passes it on to the built-in
 * commands. Other commands from 0 to 1024 and every larger one are answered
 * with status KESTREL_INVALID_ARGUMENT (72). A request shorter than the
 * 4-byte command head gets status KESTREL_BAD_REQUEST (84) and the connection
 * goes on.
 *
 * Frame buffer: each connection has one block. Its first 24 bytes are room for
 * the socket layer's frame descriptor, the payload follows from byte 24: the
 * command head at 24-27 and the request data from byte 28
 * (DEVMSG_HEADER_RESERVE). The reply is built in the same block, its data
 * from byte 28 as well: a handler takes what it needs of the request before it
 * reserves its reply. Pointers into the block stay valid until the next call
 * that may grow it (reserving, growing).
 *
 * Handler protocol: the handler runs in the service thread. Before it
 * returns it sets uToDo (0 at each call):
 *   DEVMSG_TODO_REPLY       send the reply and wait for the next message
 *   DEVMSG_TODO_STREAM      send this reply part marked "more fragments" and
 *                           call the handler again for the next part
 *   DEVMSG_TODO_NEXT_PART   receive the next fragment of the request into the
 *                           emptied block (data from byte 24) and call again
 *   DEVMSG_TODO_REST        receive the rest of the request behind what is
 *                           there (grow the block first) and call again
 *   DEVMSG_TODO_TUNNEL      relay the connection through its proxy handle
 * A handler that asks for a further fragment the client did not announce gets
 * status 84 sent in its place.
 *
 * Every function has C linkage and reports by return value; none throws. The
 * service threads show their start and end and each connection they take on
 * standard output ("ServiceThread NySocHandle %d", "B4_SendReciveLoop
 * UserRights %x", "DevMsgAllocFrameBuff returns ERROR", "End of
 * ServiceThread"), beside their trace records. The framework library binds
 * DevMsgServiceStart and DevMsgServiceStop through the program. Usable from C
 * and C++. */
#ifndef DEVMSG_H
#define DEVMSG_H

#include <pthread.h>
#include <stdint.h>

#include "KestrelStatus.h"

#if defined(__GNUC__)
#define DEVMSG_EXPORT __attribute__((visibility("default")))
#else
#define DEVMSG_EXPORT
#endif

#define DEVMSG_MAX_SERVICES 8
#define DEVMSG_DEFAULT_THREADS 4

/* Room in front of the request and reply data: the frame descriptor of the
 * socket layer (24 bytes) and the 4-byte command head. */
#define DEVMSG_DESCRIPTOR_RESERVE 24
#define DEVMSG_HEADER_RESERVE 28
#define DEVMSG_COMMAND_HEAD_SIZE 4
/* Payload room of a fresh frame buffer. */
#define DEVMSG_INITIAL_PAYLOAD 8000
/* The frame buffer never grows beyond this many bytes. */
#define DEVMSG_MAX_FRAME_BUFFER (0x08000000u + 0x10000u)

/* Flags of the service descriptor. */
#define DEVMSG_FLAG_HANDLERS 0x1u /* the two handler pointers are valid */

/* Result of a command handler that leaves the command to the service. */
#define DEVMSG_NOT_HANDLED 32000u

/* Built-in commands; commands up to DEVMSG_LAST_BUILTIN are the service's. */
#define DEVMSG_CMD_TRACE_FETCH 2
#define DEVMSG_CMD_TRACE_SIZE 3
#define DEVMSG_CMD_DEVICE_INFO 4
#define DEVMSG_LAST_BUILTIN 1024
#define DEVMSG_TRACE_HEAD_SIZE 12

/* ToDo word of the handle record. */
#define DEVMSG_TODO_REPLY 0u
#define DEVMSG_TODO_STREAM 1u
#define DEVMSG_TODO_NEXT_PART 2u
#define DEVMSG_TODO_REST 3u
#define DEVMSG_TODO_TUNNEL 4u

/* User rights: the service grants read-only standard rights. */
#define DEVMSG_RIGHT_STD_RO 0x0001u
#define DEVMSG_RIGHT_STD 0x0100u
#define DEVMSG_RIGHT_PROD 0x0200u
#define DEVMSG_RIGHT_SYS 0x1000u
#define DEVMSG_RIGHTS_FULL 0xFFFFu

#ifdef __cplusplus
extern "C"
{
#endif

    typedef struct tagDEVMSG_HANDLE_STRUCT tagDEVMSG_HANDLE_STRUCT;

    /* The program's command handler: the status of the reply, or
     * DEVMSG_NOT_HANDLED. */
    typedef uint32_t (*DevMsgCommandHandler)(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record);
    /* Called at the end of each connection. */
    typedef void (*DevMsgReleaseCallback)(tagDEVMSG_HANDLE_STRUCT* record);

    /* What a program gives to start one service. */
    typedef struct DevMsgServiceDescriptor
    {
        uint16_t usPort;    /* TCP port; 0: the kernel picks one (out: the port) */
        uint16_t usThreads; /* service threads; 0 means 4 (out: the number used) */
        uint32_t uFlags;    /* DEVMSG_FLAG_* */
        DevMsgCommandHandler pfnHandler;
        DevMsgReleaseCallback pfnRelease;
        int8_t cPriority; /* -99..99: round-robin real-time priority offset of the
                             threads; 0 leaves the priority alone */
        uint8_t ucRights; /* non-zero: every connection gets full user rights */
        uint8_t aucReserved[6];
    } DevMsgServiceDescriptor;

    /* State of one client connection, owned by its service thread and given to
     * the handler. Offsets count from the start of the frame buffer. */
    struct tagDEVMSG_HANDLE_STRUCT
    {
        uint32_t uHeaderReserve; /* DEVMSG_HEADER_RESERVE */

        /* Frame buffer. */
        uint8_t* pucBuffer;
        uint32_t uCapacity;      /* bytes of the block */
        uint32_t uReceived;      /* payload bytes in the block, from byte 24 */
        uint32_t uRequestOffset; /* where the request data start (28, or 24 for
                                    later fragments) */

        /* Reply cursor: the reply data lie at uReplyOffset, uReplyLength bytes. */
        uint32_t uReplyOffset;
        uint32_t uReplyLength;

        uint16_t usCommand; /* command of the message in hand */
        uint16_t usReserved;
        int32_t iLastReceiveStatus; /* KESTREL_MORE_FRAGMENTS: the client announced more */
        uint32_t uFrameLength;      /* request data bytes of the message in hand */
        uint32_t uUserRights;       /* DEVMSG_RIGHTS_FULL or 0 */
        uint32_t uToDo;             /* DEVMSG_TODO_*, set by the handler */

        /* File commands that span fragments: the pending command and a heap
         * copy of its file header (freed with free() at each new message). */
        uint16_t usPendingFileCommand;
        uint16_t usReserved2;
        uint8_t* pucFileHeader;

        uint32_t uSequence;      /* sequence number of the connection, never 0 */
        pthread_mutex_t* pMutex; /* the service's mutex, for the handler */
        DevMsgCommandHandler pfnHandler;
        DevMsgReleaseCallback pfnRelease;

        /* Proxy connection of forwarding handlers (socket-layer handle, 0 none).
         * It is stopped after four further messages without tunnel, and at the
         * end of the connection. */
        uint32_t uProxyHandle;
        uint16_t usProxyPort;
        uint16_t usReserved3;
        uint32_t uProxyIdle;

        uint32_t uSmallMessages; /* messages since the block last needed > 128 KB */
        uint32_t uLargestFrame;  /* largest request payload noted so far */
        uint32_t uSocketHandle;  /* the service thread's socket-layer handle */
        uint32_t uReplyPart;     /* 0 for the first part of a reply */
        const void* pService;    /* the service entry (inner use) */
    };

    /* Starts service entry 0 from the descriptor; the first start of the
     * process sets the service up. 0; -1 when a service thread could not be
     * started or could not open its port (the others run: DevMsgServiceStop
     * ends them); KESTREL_BUSY when entry 0 already runs;
     * KESTREL_INVALID_ARGUMENT without a descriptor; KESTREL_FAILED when the
     * socket layer cannot start. */
    DEVMSG_EXPORT int DevMsgServiceStart(DevMsgServiceDescriptor* descriptor);

    /* Starts entries 0 to min(count, 8) - 1, stopping at the first failure,
     * whose status is returned; KESTREL_TOO_MANY_SERVICES when more than 8 were
     * given (the first 8 are started). */
    DEVMSG_EXPORT int DevMsgServiceStartMulti(DevMsgServiceDescriptor* descriptors, uint32_t count);

    /* Stops every service: ends the connections, waits until every service
     * thread has ended (a running handler is waited for), then frees the
     * service's locks and drops its reference on the socket layer. Result of
     * the socket layer's release; KESTREL_NOT_INITIALISED when the service
     * was not started; KESTREL_BUSY, doing nothing, when called from a
     * service thread (a command handler cannot wait for its own thread). Call
     * it from a thread, never from a signal handler. */
    DEVMSG_EXPORT int DevMsgServiceStop(void);

    /* Request data of the message in hand (behind the command head) and their
     * length; null and 0 when there are none. */
    DEVMSG_EXPORT uint8_t* DevMsgGetRequest(tagDEVMSG_HANDLE_STRUCT* record, uint32_t* length);

    /* Reply room: makes room for the reply data plus offset plus length, sets
     * the reply length to length and returns the reply data plus offset; null
     * when the block cannot grow. */
    DEVMSG_EXPORT uint8_t* DevMsgReserveReply(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length,
                                              uint32_t offset);
    /* The same, but the reply data start moves on by offset from where it
     * stands (streamed replies that send a block part by part). */
    DEVMSG_EXPORT uint8_t* DevMsgReserveReplyAt(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length,
                                                uint32_t offset);
    /* DevMsgReserveReply with length; when that fails and length is above
     * 4096, the smaller of length and maximum, then a quarter of it after each
     * failure while it is above 4095. The reply length tells what was had. */
    DEVMSG_EXPORT uint8_t* DevMsgReserveReplyFallback(tagDEVMSG_HANDLE_STRUCT* record,
                                                      uint32_t length, uint32_t offset,
                                                      uint32_t maximum);
    /* Reply back to the start of the reply data, length 0. */
    DEVMSG_EXPORT void DevMsgResetReply(tagDEVMSG_HANDLE_STRUCT* record);
    /* Lowers the reply length to at most length. */
    DEVMSG_EXPORT void DevMsgTrimReply(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length);
    /* Makes room for the header reserve plus length: 0, KESTREL_NO_MEMORY. */
    DEVMSG_EXPORT int DevMsgGrowRequestBuffer(tagDEVMSG_HANDLE_STRUCT* record, uint32_t length);

    /* Gives the record its frame buffer (header reserve + 8000 bytes) when it
     * has none: 0, KESTREL_NO_MEMORY, KESTREL_INVALID_ARGUMENT. */
    DEVMSG_EXPORT int DevMsgAllocFrameBuff(tagDEVMSG_HANDLE_STRUCT* record);
    /* Frees the frame buffer and the file-header copy. */
    DEVMSG_EXPORT void DevMsgFreeFrameBuff(tagDEVMSG_HANDLE_STRUCT* record);

    /* Hands a command to the handler, then to the built-in commands: the
     * status of the reply. */
    DEVMSG_EXPORT uint32_t DevMsgDispatchCommand(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record);
    /* The built-in commands 2, 3 and 4; KESTREL_INVALID_ARGUMENT with an empty
     * reply for any other. */
    DEVMSG_EXPORT uint32_t DevMsgBuiltinCommand(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record);
    /* End of a connection: calls the release callback when there is one. */
    DEVMSG_EXPORT void DMS_Destructor(tagDEVMSG_HANDLE_STRUCT* record);

    /* Names of the rights the service grants ("StdRo"), separated by blanks,
     * each only when it fits with the terminator. Returns the text length. */
    DEVMSG_EXPORT int DevMsgRightsText(char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* DEVMSG_H */
