/* Socket connection layer of the base library.
 *
 * A program opens numbered handles (1 to 256) to self-healing TCP and UDP
 * connections. From then on the layer connects, accepts, reconnects after
 * errors and closes by itself, driven by the calls made on the handle and by
 * a keeper thread that runs every 100 ms. TCP servers of one port share one
 * listening socket, which listens while at least one of their handles is not
 * stopped: clients that come while every handle is busy with another wait in
 * its queue (up to 128 of them), and the next handle that waits for a client
 * takes the first. In framed mode whole messages travel with an 8-byte
 * header ("S", "i", flags, 0, u32 little-endian payload length).
 *
 * Every function has C linkage and reports with a status code of
 * KestrelStatus.h; none throws. A socket that cannot be bound to its
 * interface says "can't bind to interface <name>" on standard output. Any
 * thread may use any handle: one send and one receive may run on a handle at
 * the same time, a second concurrent send or receive gets KESTREL_BUSY. A
 * handle stays valid while a call uses it: a stopped handle is reclaimed two
 * seconds after the stop, and its memory only once the last call on it has
 * returned.
 *
 * IPv4 addresses given as u32 arguments and in the open record are in network
 * order (as inet_addr makes them); the peer area of a frame descriptor holds
 * port and address as plain numbers (127.0.0.1 is 0x7F000001).
 *
 * Usable from C and C++. */
#ifndef NYSOC_H
#define NYSOC_H

#include <stdint.h>

#include "KestrelStatus.h"

#if defined(__GNUC__)
#define NYSOC_EXPORT __attribute__((visibility("default")))
#else
#define NYSOC_EXPORT
#endif

#define NYSOC_MAX_HANDLES 256
#define NYSOC_MAX_LISTENERS 128

/* Flags of the open record. */
#define NYSOC_KIND_MASK 0x000Fu     /* socket kind: */
#define NYSOC_KIND_TCP 0x0000u      /*   TCP stream */
#define NYSOC_KIND_UDP 0x0001u      /*   UDP datagram (other kinds are refused) */
#define NYSOC_FRAMED 0x0020u        /* framed messages */
#define NYSOC_SERVER 0x0040u        /* listening server (UDP: bound to the port) */
#define NYSOC_GRACEFUL 0x0100u      /* shut both directions down before close, no reset */
#define NYSOC_PRIORITY 0x0200u      /* socket priority 1 */
#define NYSOC_LOCAL_BIND 0x0800u    /* bind to the interface name or local address below */
#define NYSOC_NO_GREETING 0x1000u   /* a framed TCP server sends no greeting frame */
#define NYSOC_REUSE_ADDRESS 0x4000u /* set the address-reuse option */

/* Flags of the frame descriptor. */
#define NYSOC_FRAME_MORE 0x1u          /* more fragments of this message follow */
#define NYSOC_FRAME_WHOLE 0x2u         /* receive until the whole message is in */
#define NYSOC_FRAME_REPORT_SENDER 0x4u /* write a datagram's sender into the peer area */
#define NYSOC_FRAME_PEER 0x8u          /* the peer area holds an address */

#define NYSOC_PEER_IPV4 1

/* Framed messages: header size, the bit of its flag byte, and the largest
 * payload length a peer may announce; a longer one is a bad frame. */
#define NYSOC_FRAME_HEADER_SIZE 8
#define NYSOC_FRAME_FLAG_MORE 0x01u
#define NYSOC_FRAME_MAX_PAYLOAD 0x08000000u

/* Offset of the remote address inside the host-name area of the open record. */
#define NYSOC_REMOTE_ADDRESS_OFFSET 236

#ifdef __cplusplus
extern "C"
{
#endif

    /* What NySocOpen needs to know of a connection: 512 bytes, zero-filled by
     * the caller before the fields are set. */
    typedef struct NySocOpenRecord
    {
        uint32_t uHandle;   /* out: the handle, 0 on failure */
        uint32_t uFlags;    /* NYSOC_* open flags */
        uint32_t uReserved; /* 0 */
        uint16_t usPort;    /* server: port to listen on (0: the kernel picks; out: the
                               port bound); client: remote port */
        uint16_t usReserved;
        union
        {
            /* Remote host name of a client (IPv4 only, the last address of the
             * lookup is used), zero-terminated. */
            char acHostName[256];
            struct
            {
                char acUnused[NYSOC_REMOTE_ADDRESS_OFFSET];
                /* Remote IPv4 address (network order), used when the name is empty. */
                uint32_t uRemoteAddress;
            } tAddress;
        } uRemote;
        char acInterface[44];         /* with NYSOC_LOCAL_BIND: device to bind to
                                         (first 15 characters used) */
        uint32_t uLocalAddress;       /* with NYSOC_LOCAL_BIND: local IPv4 address */
        uint8_t aucLocalAddress6[16]; /* must be all zero */
        uint16_t usLocalPort;         /* client with NYSOC_LOCAL_BIND: local port;
                                         out: the local port of the connection */
        uint8_t aucReserved[174];
    } NySocOpenRecord;

    /* Sender or receiver of a datagram; port and address as plain numbers. */
    typedef struct NySocPeer
    {
        uint8_t ucKind; /* NYSOC_PEER_IPV4 */
        uint8_t ucZero;
        uint16_t usPort;
        uint32_t uAddress;
    } NySocPeer;

    /* The caller's buffer for NySocSend and NySocReceive: a 24-byte head, then
     * the payload. */
    typedef struct NySocFrameDescriptor
    {
        uint32_t uHandle;
        uint32_t uFlags;    /* NYSOC_FRAME_* */
        uint32_t uCapacity; /* bytes of payload room (receive) */
        uint32_t uLength;   /* bytes of payload used */
        NySocPeer tPeer;
        uint8_t aucPayload[];
    } NySocFrameDescriptor;

#define NYSOC_DESCRIPTOR_HEAD_SIZE 24

    /* One listener entry, as NySocListenerSnapshot copies it. */
    typedef struct NySocListenerInfo
    {
        uint32_t uFlags; /* open flags masked with 0xC0F */
        int32_t iSocket; /* listening descriptor, -1 none */
        char acInterface[44];
        uint32_t uLocalAddress;
        uint8_t aucLocalAddress6[16];
        uint16_t usPort;
        uint16_t usReserved;
        int32_t iBacklog; /* backlog currently set */
        int32_t iWaiting; /* handles waiting for a client */
        int32_t iHolders; /* handles sharing the entry */
        int32_t iBusy;    /* accept calls in progress */
        int32_t iState;   /* 1 failed, 2 socket made, 3 listening, 4 accepting */
        int32_t iLastError;
    } NySocListenerInfo;

    typedef struct NySocListenerSnapshotRecord
    {
        uint8_t aucVersion[4]; /* out: 2, 0, 0, 0 */
        uint32_t uTableSize;   /* in: room for entries behind the head; out: 128 */
        uint32_t uInUse;       /* out: entries in use */
        uint32_t uCopied;      /* out: entries copied */
        NySocListenerInfo atEntries[];
    } NySocListenerSnapshotRecord;

    /* Takes a reference on the layer; the first one sets the layer up and starts
     * the keeper thread. 0, or KESTREL_FAILED when the keeper cannot start. */
    NYSOC_EXPORT int NySocStartLayer(void);

    /* Drops a reference; the last one closes everything (NySocCloseForce).
     * 0, or KESTREL_NOT_INITIALISED without a reference. */
    NYSOC_EXPORT int NySocReleaseLayer(void);

    /* Stops every handle, ends the keeper thread (waiting for it), frees the
     * table and closes the listening sockets, whatever the reference count.
     * Memory of a connection that another thread is still using is freed when
     * that call returns. Call it from a thread, never from a signal handler. */
    NYSOC_EXPORT void NySocCloseForce(void);

    /* Opens a handle from the record and starts connecting. A client still
     * connecting or a server waiting for its client counts as success. On
     * success the record gets the handle, a server's bound port and a
     * client's local port. KESTREL_NOT_INITIALISED before NySocStartLayer or
     * when binding fails; KESTREL_NO_MEMORY; KESTREL_TABLE_FULL when no handle
     * or listener entry is free; KESTREL_INVALID_ARGUMENT for a bad record;
     * KESTREL_FAILED for an unsupported kind or a failed device binding. */
    NYSOC_EXPORT int NySocOpen(NySocOpenRecord* record);

    /* TCP server on the port (address reuse; framed when framed != 0); the
     * handle, or 0 on failure. */
    NYSOC_EXPORT uint32_t NySocStartTcpServer(uint16_t port, int framed);

    /* TCP clients to an address (network order) or a host name; the handle, or
     * 0 on failure. They connect in the background: NySocRestart waits. */
    NYSOC_EXPORT uint32_t NySocStartTcpClient(uint32_t address, uint16_t port, int framed);
    NYSOC_EXPORT uint32_t NySocStartTcpClientByName(const char* host, uint16_t port, int framed);

    /* Sends the descriptor once as a datagram to address:port (from the local
     * address when it is not 0) through a handle of its own, then stops that
     * handle. Status of the send. */
    NYSOC_EXPORT int NySocSendDatagram(uint32_t address, uint32_t localAddress, uint16_t port,
                                       int framed, NySocFrameDescriptor* descriptor);

    /* Stops a handle: drops its connection and gives up its listener entry.
     * The handle number stays taken for two seconds. 0, KESTREL_INVALID_HANDLE,
     * KESTREL_NOT_INITIALISED. */
    NYSOC_EXPORT int NySocStopConnection(uint32_t handle);

    /* Stops handles 1 to 256. 0 or KESTREL_NOT_INITIALISED. */
    NYSOC_EXPORT int NySocStopAllConnections(void);

    /* Drives the handle until it is connected or the time (ms, -1 without
     * limit) has passed; a connected handle (a server with its client too)
     * stays as it is and gives 0 at once: NySocDisconnect drops a server's
     * client. 0 connected, KESTREL_NOT_CONNECTED when the time
     * is up, KESTREL_STOPPED, KESTREL_FAILED (the handle cannot work),
     * KESTREL_INVALID_HANDLE, KESTREL_INVALID_ARGUMENT. */
    NYSOC_EXPORT int NySocRestart(uint32_t handle, int32_t timeoutMs);

    /* Drops the current peer. Bit 0 of stop clear: the connection starts again
     * (a server waits for its next client); set: it stays stopped until a
     * NySocDisconnect without it. Result as for the connection drive. */
    NYSOC_EXPORT int NySocDisconnect(uint32_t handle, uint32_t stop);

    /* Sends the descriptor's payload (framed: as one message, with
     * NYSOC_FRAME_MORE when more fragments follow). Timeout in ms: -1 without
     * limit, 0 no wait. What an earlier call could not get out in time is sent
     * first; a length of 0 only does that. Data that do not go out in time stay
     * pending (KESTREL_TIMEOUT); while they cannot be flushed, every call gets
     * KESTREL_BUSY and new data are not taken. UDP with NYSOC_FRAME_PEER sends
     * to the peer area. Socket errors drop the connection
     * (KESTREL_NOT_CONNECTED); it reconnects by itself. */
    NYSOC_EXPORT int NySocSend(NySocFrameDescriptor* descriptor, int32_t timeoutMs);

    /* Receives behind uLength, at most up to uCapacity, and updates uLength.
     * 0 data (framed: a whole message) received, KESTREL_TIMEOUT nothing in
     * time, KESTREL_MORE_FRAGMENTS more of the message follows, KESTREL_BUSY,
     * KESTREL_NOT_CONNECTED (also: a bad frame dropped the connection),
     * KESTREL_INVALID_HANDLE (also: the peer closed), KESTREL_FAILED when the
     * buffer is already full, KESTREL_INVALID_ARGUMENT. */
    NYSOC_EXPORT int NySocReceive(NySocFrameDescriptor* descriptor, int32_t timeoutMs);

    /* Dotted-quad conversions of network-order addresses. AddressToText cuts the
     * text to size - 1 characters: 0, or -1 without room. TextToAddress: 0, or
     * KESTREL_INVALID_ARGUMENT for a text that is no dotted quad. */
    NYSOC_EXPORT int NySocAddressToText(char* buffer, int size, uint32_t address);
    NYSOC_EXPORT int NySocTextToAddress(uint32_t* address, const char* text);

    /* Copies the listener entries in use behind the head, as many as the head's
     * uTableSize allows. Before NySocStartLayer the head is cleared and
     * KESTREL_NOT_INITIALISED returned. */
    NYSOC_EXPORT int NySocListenerSnapshot(NySocListenerSnapshotRecord* record);

#ifdef __cplusplus
}
#endif

#endif /* NYSOC_H */
