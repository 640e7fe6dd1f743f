/* Plain socket functions of the base library: thin helpers on socket
 * descriptors (not handles), for programs that want a descriptor: bound UDP
 * and TCP sockets, accepting and connecting, waiting with a time limit,
 * sending raw Ethernet frames and checking dotted-quad addresses.
 *
 * All sockets are IPv4 and close-on-exec; sends never raise SIGPIPE. Ports are
 * plain numbers; u32 addresses are in network order (as inet_addr makes them).
 * Times are milliseconds, -1 for ever. Every function reports by return value
 * (system error codes as positive numbers where said); none throws, logs or
 * prints. Usable from C and C++. */
#ifndef SOC_PLAIN_H
#define SOC_PLAIN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define SOC_EXPORT __attribute__((visibility("default")))
#else
#define SOC_EXPORT
#endif

#ifdef __cplusplus
extern "C"
{
#endif

    /* UDP socket bound to the port on any address; the descriptor, or -1 with
     * the system error code in *error (0 on success; error may be null). The
     * second argument is not used. */
    SOC_EXPORT int soc_socket_udpserver(uint16_t port, int unused, int* error);
    /* TCP socket bound to address:port, listening with a backlog of 1. */
    SOC_EXPORT int soc_socket_tcpserver(uint16_t port, uint32_t address, int* error);
    /* Accepts one connection; the peer's port and address in network order. */
    SOC_EXPORT int soc_accept(int fd, int* error, uint16_t* peerPort, uint32_t* peerAddress);
    /* Connects; 0 or the system error code. */
    SOC_EXPORT int soc_connect(int fd, uint16_t port, uint32_t address);
    /* New TCP socket connected to address:port; descriptor or -1. */
    SOC_EXPORT int soc_socket_tcpclient(uint16_t port, uint32_t address, int* error);
    /* Sends the frame unchanged on the named interface (packet socket, all
     * protocols): 0; 70 when the name has 64 characters or more; 73 when the
     * packet socket cannot be made; 84 when sending fails. */
    SOC_EXPORT int soc_send_raw(const void* frame, size_t length, const char* interfaceName,
                                size_t nameLength);
    /* Waits for the descriptor: mode bit 0 writable, bit 1 readable. The ready
     * bits (1 writable, 2 readable), 0 on timeout or for mode 0, minus the
     * error code on error. */
    SOC_EXPORT int soc_select_timeout(int fd, int timeoutMs, int mode);
    /* Waits for a client, then accepts: -1 with 110 in *error on timeout, or
     * with the negative wait result on error; else the accept result. */
    SOC_EXPORT int soc_accept_timeout(int fd, void* address, unsigned* addressLength,
                                      int timeoutMs, int* error);
    /* Waits for data, then one receive: the byte count, -110 on timeout, the
     * negative wait result on error. */
    SOC_EXPORT int soc_recv_timeout(int fd, void* buffer, size_t size, int timeoutMs);
    /* Sends the whole buffer within the time: the count sent, or minus the
     * error code. */
    SOC_EXPORT int soc_send_timeout(int fd, const void* buffer, size_t length, int timeoutMs);
    /* Checks a dotted-quad address and writes it normalised ("%u.%u.%u.%u",
     * leading zeros dropped) into out (at least 16 bytes): the written length,
     * or a negative code: -(i + 1) when part i (0-2) lacks its dot; for a bad
     * octet in part i (0-2) -(i + 1) * 10 plus its code, in the last part its
     * code minus 40 (octet codes: -1 non-digit, -2 above 255, -3 more than 3
     * characters, -4 empty). */
    SOC_EXPORT int soc_ipaddr_check_cpy(char* out, const char* text);

#ifdef __cplusplus
}
#endif

#endif
