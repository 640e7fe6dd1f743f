// The framework's socket endpoint: an IPv4 TCP client, a TCP server with one client connection
// at a time, or a UDP socket. It sends buffers, files and progress records and receives
// buffers and whole request documents (XML or binary command files) into files.
//
// Every socket is close-on-exec; connections are non-blocking and waits are done in slices of
// 40 ms, bounded by the object's timeout (measured on the monotonic clock from the last
// progress). A whole document received with ReceiveXmlFile must also arrive, and a whole
// buffer or document sent must be taken, within the timeout plus one second per 64 KiB, so
// that a client trickling its bytes in or reading a reply slowly cannot hold a server that
// serves one client at a time. Nothing here throws:
// every operation reports by its result. An object is used by one thread at a time.
#ifndef QTX_COMMUNICATION_H
#define QTX_COMMUNICATION_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>

// Largest document ReceiveXmlFile takes, whatever limit the caller passes (0 or less: this one).
// A longer document, or a binary head announcing one, is refused without being stored.
constexpr int QTX_MAX_RECEIVE_LENGTH = 8 * 1024 * 1024;

// What ReceiveXmlFile leaves in its file when a document is longer than the limit.
extern const char* const sQTXFileTooLong; // "***ERROR: File too long***"

// Number of CQTXCommunication objects that exist.
extern std::atomic<int> iNumberOfOpenedSockets;
// When non-zero, every TCP send is traced to standard output.
extern std::atomic<int> CommunicationDebugPrintf;

// CLOCK_MONOTONIC time in nanoseconds.
uint64_t GetClockStamp();
// later - earlier in milliseconds, rounded to nearest.
uint32_t DiffClockMs(uint64_t later, uint64_t earlier);
// errno of the last failed socket call.
int GetSocketLastError();
// TCP_NODELAY on, send and receive buffers of 16384 bytes.
void TCPSocket_SetStdOption(int socket);

// Modes of SocketSelect.
constexpr int QTX_SELECT_WRITE = 1;
constexpr int QTX_SELECT_READ = 2;
// Waits until the socket is writable (mode bit 0) and/or readable (bit 1), at most timeoutMs
// (-1: without limit). Returns 0 on timeout or for a mode with neither bit, the negated errno
// on failure, otherwise QTX_SELECT_WRITE and/or QTX_SELECT_READ for what the socket is ready
// for. A socket in error or hung up counts as ready, so that the next call sees the error.
int SocketSelect(int socket, int timeoutMs, int mode);

// Recognises one request document held whole in a buffer (a datagram, say) as ReceiveXmlFile
// does on a connection, stores it into `file` and returns its request code; 0 when the buffer
// holds no complete document of a known kind, is longer than maxLength, or the file cannot be
// written. Nothing carries over from one call to the next.
unsigned int ReceiveXmlBuffer(const void* data, size_t length, const std::string& file,
                              int maxLength);

class CQTXCommunication
{
public:
    // Results of ReceiveBuffer besides the byte count.
    static constexpr int RECEIVE_NO_SOCKET = -1;
    static constexpr int RECEIVE_TIMEOUT = -2;
    static constexpr int RECEIVE_FAILED = -3;
    static constexpr int RECEIVE_BAD_RESULT = -4;
    static constexpr int RECEIVE_PEER_CLOSED = -5;

    CQTXCommunication();
    ~CQTXCommunication();
    CQTXCommunication(const CQTXCommunication&) = delete;
    CQTXCommunication& operator=(const CQTXCommunication&) = delete;

    // Client socket to "host:port". The host is a dotted IPv4 address; empty or "localhost"
    // means 127.0.0.1; no name lookup. TCP connects (waiting at most the timeout), then resets
    // the connection on close instead of lingering. UDP sends every buffer to the address.
    // An open connection is closed first; on failure the object has no connection.
    bool Open(const char* address, bool tcp = true);
    bool Open(const std::string& address, bool tcp = true);
    // Adopts an existing socket as the connection (the object closes it later); false for -1.
    bool Open(int socket, bool tcp = true);
    // Socket to the sender of the accepted connection or of the last UDP datagram; port 0
    // keeps the sender's port.
    bool OpenForReply(int port, bool tcp);

    // Listening TCP socket (a backlog of 128 waiting clients, address reuse) or bound UDP socket on
    // any address. Port 0 lets the kernel choose (GetServerPort tells which).
    bool OpenServerSocket(int port, bool tcp = true);
    void CloseServerSocket();
    bool ServerStarted() const { return m_iServerSocket >= 0; }
    int GetServerSocket() const { return m_iServerSocket; }
    // Port the server socket is bound to; -1 without a server socket.
    int GetServerPort() const;

    // Accepts one client (blocking); a connection still open is closed first.
    bool WaitForConnection();
    // Closes the connection; the protocol returns to that of the server socket.
    void Close();
    // Hands the connection (with its addresses, timeouts and protocol) to `other`, which closes
    // its own connection first. This object keeps its server socket.
    void MoveConnectionTo(CQTXCommunication& other);

    // Sends all `length` bytes. False without a connection, on a send error, and when the
    // peer takes nothing within the timeout or not all within the timeout plus one second per
    // 64 KiB (a TCP connection is then closed); a peer that closed also closes the connection.
    bool SendBuffer(const void* data, int length);
    // Sends a file in pieces of 3000 bytes, bounded as one send. For XML everything before the
    // first "<" is skipped and a last piece of at most 2993 bytes gets three CR LF pairs appended.
    // An empty name sends nothing and succeeds.
    bool SendFile(const std::string& file, bool xml);
    // The same for `length` bytes of a document in memory, such as a file read before.
    bool SendDocument(const char* data, size_t length, bool xml);

    // Receives up to `length` bytes: from the connection for TCP, one datagram from the server
    // socket (or else the connection socket) for UDP, keeping the sender's address. Without
    // `wait` it returns after one attempt of at most 40 ms (0 when nothing came); with `wait`
    // a TCP receive goes on until `length` bytes are in. Results: the byte count, or
    // RECEIVE_NO_SOCKET, RECEIVE_TIMEOUT, RECEIVE_FAILED, RECEIVE_BAD_RESULT, and
    // RECEIVE_PEER_CLOSED when the peer closed before anything came (the connection is then
    // closed).
    int ReceiveBuffer(void* buffer, int length, bool wait);

    // Receives one document into `file` (created anew; an empty name stores nothing) and
    // returns its request code: for XML the command-tag number of its root element's name,
    // for a binary command file its head's tag AND 0x7FFF with bit 31 set; 0 when no complete
    // document came within the timeout (of silence between bytes, or for the whole document:
    // the timeout plus one second per 64 KiB), the peer closed, the root name is not a command tag,
    // the file cannot be written, or the document is longer than maxLength (0 or less: no
    // limit of its own) or QTX_MAX_RECEIVE_LENGTH; a document that is too long leaves only
    // sQTXFileTooLong in the file.
    unsigned int ReceiveXmlFile(const std::string& file, int maxLength);
    // The same reception, reporting what was recognised instead of looking it up: the root
    // element's name of an XML document, or the full 16-bit tag of a binary one (0 for XML).
    // True when a complete document was received and stored.
    bool ReceiveDocument(const std::string& file, int maxLength, std::string& rootName,
                         uint16_t& binaryTag);
    // The request server's reception: as ReceiveXmlFile, and the document's bytes as they are
    // stored are also kept in `content`. A document that the file cannot take (a full or
    // read-only disk) is still received whole into `content`, with `stored` false, so that it
    // can be answered. `prepared` is the file already created empty and open for writing (or
    // -1 to create it here); it is written and left open, for the caller to close.
    unsigned int ReceiveRequest(const std::string& file, int maxLength, std::string& content,
                                bool& stored, int prepared = -1);

    // Longest wait for data or send room, in ms; `second` is kept and handed on with the
    // connection.
    void SetTimeout(int timeoutMs, int second);
    int GetTimeout() const { return m_iTimeout; }
    bool Available() const { return m_iConnectionSocket >= 0; }
    int GetSocket() const { return m_iConnectionSocket; }

    // Sends a progress record "#P" (little-endian: u16 length, u16 total, u16 current, f32
    // fraction, text of at most 239 characters with a zero byte and filler). While
    // current <= total and 0 < fraction < 1, a record is skipped when the last one of the
    // process went out less than minInterval seconds before.
    void SendProgressMessage(const std::string& text, int current, int total, double fraction,
                             double minInterval);

    // "a.b.c.d:port" of the sender (accepted client or last datagram); "" without a
    // connection.
    std::string GetAddress() const;

private:
    bool OpenPeerSocket(bool linger);
    // SendBuffer for a part of a send that began at `start` and has sent `before` bytes.
    bool SendBytes(const void* data, int length, uint64_t start, uint64_t before);
    bool ReceiveDocument(const std::string& file, int maxLength, std::string& rootName,
                         uint16_t& binaryTag, std::string* copy, bool& stored,
                         int prepared);
    void CloseSocket(int& socket);

    int m_iServerSocket;
    int m_iConnectionSocket;
    sockaddr_in m_tPeerAddress;
    int m_iTimeout;
    int m_iSecondTimeout;
    bool m_bTCP;
    bool m_bDefaultTCP;
    sockaddr_in m_tSenderAddress;
    socklen_t m_iSenderAddressLength;
    // Bytes received behind the end of the last document on this connection.
    std::string m_sPending;
    // The listening socket carries the standard options, and the first accepted connection
    // showed that connections take them over from it: they need not be set on each.
    enum
    {
        OptionsUnknown,
        OptionsInherited,
        OptionsPerConnection
    } m_eAcceptedOptions = OptionsUnknown;
};

#endif
