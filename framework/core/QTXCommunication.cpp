#include "QTXCommunication.h"
#include "QTXProgressRecord.h"

#include "QTXCommandFile.h"
#include "QTXCommandTags.h"
#include "QTXConvert.h"
#include "QTXDocumentFramer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

const char* const sQTXFileTooLong = "***ERROR: File too long***";

std::atomic<int> iNumberOfOpenedSockets{0};
std::atomic<int> CommunicationDebugPrintf{0};

namespace
{
const char* const kLocalhost = "127.0.0.1";
// Longest address text taken by Open.
constexpr size_t kMaxAddressLength = 99;
// Slice of every wait for data or send room.
constexpr int kWaitSliceMs = 40;
// Piece size of receives and file sends.
constexpr int kPieceSize = 3000;
// An XML piece up to this size is the last one and gets the CR LF trailer.
constexpr int kLastXmlPieceMax = 2993;
const char kXmlTrailer[] = "\r\n\r\n\r\n";
constexpr int kSocketBufferSize = 16384;
// Connections the kernel queues for a listening socket while the server is busy with one
// client: every driver of a device registering with the hub at once (up to 16) and a few PC
// clients, with room to spare. The kernel caps it at its own limit (net.core.somaxconn).
constexpr int kListenBacklog = 128;
// A whole document must arrive, and a whole buffer or document must be sent, within the
// timeout plus one second for every this many bytes it carries. The silence between bytes is
// bounded by the timeout alone; this bounds a peer that trickles its bytes in, or takes a reply
// a few bytes at a time, and would otherwise hold a one-client server for as long as it likes.
// Any real link of the device carries far more (8 MiB, the largest document, may take 128 s
// beyond the timeout).
constexpr uint64_t kMinBytesPerSecond = 64 * 1024;

// Monotonic time of the last progress record of the process; 0 before the first one.
std::atomic<uint64_t> g_uLastProgressStamp{0};

bool TimedOut(uint64_t mark, int timeoutMs)
{
    return static_cast<int64_t>(DiffClockMs(GetClockStamp(), mark)) >= timeoutMs;
}

// True when a document that began to be received (or sent) at `start` and has brought (or
// taken) `bytes` so far has taken longer than the timeout plus the time its bytes may take at the
// lowest rate.
bool DocumentTimeUp(uint64_t start, uint64_t bytes, int timeoutMs)
{
    const uint64_t allowedMs =
        static_cast<uint64_t>(timeoutMs > 0 ? timeoutMs : 0) + bytes * 1000 / kMinBytesPerSecond;
    return (GetClockStamp() - start) / 1000000ull >= allowedMs;
}

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// The file a document is received into. Without a name nothing is stored, but the document
// is still recognised. Any failed write is remembered and makes the reception fail, unless a
// copy in memory is kept: the document then goes on into the copy alone. A file created ahead
// (empty, open for writing) may be handed in; it is written for the first Create and left open
// for the one who handed it in.
class CDocumentFile : public CQTXDocumentOutput
{
public:
    explicit CDocumentFile(const std::string& name, std::string* copy = nullptr, int prepared = -1)
        : m_sName(name), m_pCopy(copy), m_iPrepared(prepared)
    {
    }
    ~CDocumentFile() override { Close(); }
    CDocumentFile(const CDocumentFile&) = delete;
    CDocumentFile& operator=(const CDocumentFile&) = delete;

    // Creates the file anew (empty); false when the document cannot be kept anywhere.
    bool Create()
    {
        Close();
        m_bFailed = false;
        if (m_pCopy != nullptr)
        {
            m_pCopy->clear();
        }
        if (m_iPrepared >= 0)
        {
            m_iFile = m_iPrepared;
            m_bBorrowed = true;
            m_iPrepared = -1;
            return true;
        }
        if (m_sName.empty())
        {
            return true;
        }
        m_iFile = ::open(m_sName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        m_bFailed = m_iFile < 0;
        return !Lost();
    }

    void Write(const void* data, size_t length) override
    {
        if (length == 0)
        {
            return;
        }
        if (m_pCopy != nullptr)
        {
            m_pCopy->append(static_cast<const char*>(data), length);
        }
        if (m_iFile < 0)
        {
            return;
        }
        if (m_uBuffered + length > sizeof m_aBuffer && !Flush())
        {
            GiveUpFile();
            return;
        }
        if (length <= sizeof m_aBuffer)
        {
            std::memcpy(m_aBuffer + m_uBuffered, data, length);
            m_uBuffered += length;
        }
        else if (!WriteAll(data, length))
        {
            GiveUpFile();
        }
    }

    // Closes the file; false when anything could not be written.
    bool Close()
    {
        if (m_iFile >= 0)
        {
            if (!Flush())
            {
                m_bFailed = true;
            }
            if (!m_bBorrowed && ::close(m_iFile) != 0)
            {
                m_bFailed = true;
            }
            m_iFile = -1;
            m_bBorrowed = false;
        }
        m_uBuffered = 0;
        return !m_bFailed;
    }

    // Replaces whatever was stored with `text`.
    void Replace(const char* text)
    {
        if (Create())
        {
            Write(text, std::strlen(text));
        }
        Close();
    }

    bool Restart() override { return Create(); }

    // The file could not take everything (or could not be made).
    bool Failed() const { return m_bFailed; }
    // Nothing keeps the whole document: the file failed and there is no copy.
    bool Lost() const override { return m_bFailed && m_pCopy == nullptr; }

private:
    bool WriteAll(const void* data, size_t length)
    {
        const char* bytes = static_cast<const char*>(data);
        while (length > 0)
        {
            const ssize_t n = ::write(m_iFile, bytes, length);
            if (n < 0 && errno == EINTR)
            {
                continue;
            }
            if (n <= 0)
            {
                return false;
            }
            bytes += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    bool Flush()
    {
        const size_t length = m_uBuffered;
        m_uBuffered = 0;
        return WriteAll(m_aBuffer, length);
    }

    // A write failed: remembered; with a copy the document goes on into the copy alone.
    void GiveUpFile()
    {
        m_bFailed = true;
        m_uBuffered = 0;
        if (m_pCopy != nullptr)
        {
            if (!m_bBorrowed)
            {
                ::close(m_iFile);
            }
            m_iFile = -1;
            m_bBorrowed = false;
        }
    }

    std::string m_sName;
    std::string* m_pCopy;
    int m_iPrepared;
    int m_iFile = -1;
    // m_iFile is the file handed in, closed by the one who handed it in.
    bool m_bBorrowed = false;
    bool m_bFailed = false;
    size_t m_uBuffered = 0;
    char m_aBuffer[8192];
};

// The longest document a reception takes: maxLength when it is given and below the limit of
// every reception.
uint64_t ReceiveLimit(int maxLength)
{
    if (maxLength > 0 && maxLength < QTX_MAX_RECEIVE_LENGTH)
    {
        return static_cast<uint64_t>(maxLength);
    }
    return QTX_MAX_RECEIVE_LENGTH;
}

// Request code of a received document: the command-tag number of an XML root name, or the
// binary head's tag with bit 31 set.
unsigned int RequestCode(const std::string& rootName, uint16_t binaryTag)
{
    if (binaryTag != 0)
    {
        return (binaryTag & 0x7FFFu) | 0x80000000u;
    }
    return static_cast<unsigned int>(ItemStringToInt(aCommandTags, rootName, true));
}

void SleepMs(int ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR)
    {
    }
}
// Feeds one received piece to the framer; bytes behind the end of the document go to pending.
bool FeedPiece(CQTXDocumentFramer& framer, CDocumentFile& out, const uint8_t* piece, size_t length,
               uint64_t limit, uint64_t& total, std::string& pending)
{
    size_t used = 0;
    CQTXDocumentFramer::Result r = framer.Feed(piece, length, &used);
    total += used;
    if (total > limit || r == CQTXDocumentFramer::TooLong)
    {
        out.Replace(sQTXFileTooLong);
        return false;
    }
    if (r == CQTXDocumentFramer::WriteFailed)
    {
        return false;
    }
    if (r == CQTXDocumentFramer::Complete && used < length)
    {
        pending.append(reinterpret_cast<const char*>(piece) + used, length - used);
    }
    return true;
}

} // namespace

// ---- Plain functions

uint64_t GetClockStamp()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

uint32_t DiffClockMs(uint64_t later, uint64_t earlier)
{
    return static_cast<uint32_t>((later - earlier + 500000ull) / 1000000ull);
}

int GetSocketLastError()
{
    return errno;
}

void TCPSocket_SetStdOption(int socket)
{
    int on = 1;
    int size = kSocketBufferSize;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

namespace
{
// True when both sockets have the options TCPSocket_SetStdOption sets, alike.
bool SameStdOptions(int a, int b)
{
    const auto get = [](int s, int level, int name)
    {
        int value = -1;
        socklen_t length = sizeof value;
        return getsockopt(s, level, name, &value, &length) == 0 ? value : -1;
    };
    return get(a, IPPROTO_TCP, TCP_NODELAY) > 0 &&
           get(a, IPPROTO_TCP, TCP_NODELAY) == get(b, IPPROTO_TCP, TCP_NODELAY) &&
           get(a, SOL_SOCKET, SO_SNDBUF) == get(b, SOL_SOCKET, SO_SNDBUF) &&
           get(a, SOL_SOCKET, SO_RCVBUF) == get(b, SOL_SOCKET, SO_RCVBUF);
}
} // namespace

int SocketSelect(int socket, int timeoutMs, int mode)
{
    // poll rather than select: it has no limit on the descriptor's number.
    pollfd p{};
    p.fd = socket;
    if (mode & QTX_SELECT_WRITE)
    {
        p.events |= POLLOUT;
    }
    if (mode & QTX_SELECT_READ)
    {
        p.events |= POLLIN;
    }
    if (p.events == 0)
    {
        return 0;
    }
    int r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (r < 0)
    {
        return -errno;
    }
    if (r == 0)
    {
        return 0;
    }
    if (p.revents & POLLNVAL)
    {
        return -EBADF;
    }
    int result = 0;
    bool broken = (p.revents & (POLLERR | POLLHUP)) != 0;
    if ((p.revents & POLLOUT) || (broken && (mode & QTX_SELECT_WRITE)))
    {
        result |= QTX_SELECT_WRITE;
    }
    if ((p.revents & POLLIN) || (broken && (mode & QTX_SELECT_READ)))
    {
        result |= QTX_SELECT_READ;
    }
    return result;
}

// ---- CQTXCommunication

CQTXCommunication::CQTXCommunication()
    : m_iServerSocket(-1), m_iConnectionSocket(-1), m_tPeerAddress(), m_iTimeout(10000),
      m_iSecondTimeout(10), m_bTCP(true), m_bDefaultTCP(true), m_tSenderAddress(),
      m_iSenderAddressLength(sizeof(sockaddr_in))
{
    ++iNumberOfOpenedSockets;
}

CQTXCommunication::~CQTXCommunication()
{
    CloseSocket(m_iConnectionSocket);
    CloseSocket(m_iServerSocket);
    --iNumberOfOpenedSockets;
}

void CQTXCommunication::CloseSocket(int& socket)
{
    if (socket >= 0)
    {
        ::close(socket);
        socket = -1;
    }
}

bool CQTXCommunication::Open(const char* address, bool tcp)
{
    CloseSocket(m_iConnectionSocket);
    m_bTCP = tcp;
    if (address == nullptr)
    {
        Close();
        return false;
    }
    std::string text(address, strnlen(address, kMaxAddressLength));
    size_t colon = text.find(':');
    if (colon == std::string::npos)
    {
        Close();
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.empty() || SameString(host, "localhost"))
    {
        host = kLocalhost;
    }
    int32_t port = StringToInt(text.substr(colon + 1));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    if (port < 1 || port > 65535 || inet_pton(AF_INET, host.c_str(), &peer.sin_addr) != 1)
    {
        Close();
        return false;
    }
    peer.sin_port = htons(static_cast<uint16_t>(port));
    m_tPeerAddress = peer;
    return OpenPeerSocket(true);
}

bool CQTXCommunication::Open(const std::string& address, bool tcp)
{
    return Open(address.c_str(), tcp);
}

bool CQTXCommunication::Open(int socket, bool tcp)
{
    m_bTCP = tcp;
    if (socket != m_iConnectionSocket)
    {
        CloseSocket(m_iConnectionSocket);
    }
    if (socket < 0)
    {
        return false;
    }
    m_iConnectionSocket = socket;
    m_sPending.clear();
    fcntl(socket, F_SETFD, fcntl(socket, F_GETFD) | FD_CLOEXEC);
    if (tcp)
    {
        int on = 1;
        ioctl(socket, FIONBIO, &on);
    }
    else
    {
        int on = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return true;
}

bool CQTXCommunication::OpenForReply(int port, bool tcp)
{
    CloseSocket(m_iConnectionSocket);
    m_bTCP = tcp;
    // Without a sender there is nobody to reply to.
    if (m_tSenderAddress.sin_family != AF_INET || port < 0 || port > 65535)
    {
        Close();
        return false;
    }
    m_tPeerAddress = m_tSenderAddress;
    if (port != 0)
    {
        m_tPeerAddress.sin_port = htons(static_cast<uint16_t>(port));
    }
    return OpenPeerSocket(false);
}

// Creates the connection socket to the peer address: TCP connects within the timeout, UDP
// only creates the socket (sends carry the address).
bool CQTXCommunication::OpenPeerSocket(bool linger)
{
    int type = (m_bTCP ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK;
    int fd = ::socket(AF_INET, type, 0);
    if (fd < 0)
    {
        Close();
        return false;
    }
    m_iConnectionSocket = fd;
    m_sPending.clear();
    if (!m_bTCP)
    {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        return true;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&m_tPeerAddress), sizeof m_tPeerAddress) !=
        0)
    {
        int error = errno;
        if (error != EINPROGRESS ||
            SocketSelect(fd, m_iTimeout > 0 ? m_iTimeout : -1, QTX_SELECT_WRITE) <= 0)
        {
            Close();
            return false;
        }
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        {
            Close();
            return false;
        }
    }
    if (linger)
    {
        // A close resets the connection at once instead of keeping it in TIME_WAIT.
        struct linger l
        {
            1, 0
        };
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    TCPSocket_SetStdOption(fd);
    return true;
}

bool CQTXCommunication::OpenServerSocket(int port, bool tcp)
{
    CloseServerSocket();
    m_bTCP = tcp;
    m_bDefaultTCP = tcp;
    if (port < 0 || port > 65535)
    {
        return false;
    }
    // The listening socket blocks (accept waits); a UDP socket never does.
    int type = tcp ? (SOCK_STREAM | SOCK_CLOEXEC) : (SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK);
    int fd = ::socket(AF_INET, type, 0);
    if (fd < 0)
    {
        return false;
    }
    m_eAcceptedOptions = OptionsPerConnection;
    if (tcp)
    {
        // A restarted driver gets its port back at once.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Accepted connections take the options over from the listening socket (see
        // WaitForConnection).
        TCPSocket_SetStdOption(fd);
        m_eAcceptedOptions = OptionsUnknown;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (tcp && ::listen(fd, kListenBacklog) != 0))
    {
        ::close(fd);
        return false;
    }
    m_iServerSocket = fd;
    return true;
}

void CQTXCommunication::CloseServerSocket()
{
    CloseSocket(m_iServerSocket);
}

int CQTXCommunication::GetServerPort() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (m_iServerSocket < 0 ||
        getsockname(m_iServerSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        return -1;
    }
    return ntohs(address.sin_port);
}

bool CQTXCommunication::WaitForConnection()
{
    Close();
    if (m_iServerSocket < 0)
    {
        return false;
    }
    sockaddr_in client{};
    socklen_t length = sizeof client;
    int fd = ::accept4(m_iServerSocket, reinterpret_cast<sockaddr*>(&client), &length,
                       SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
    {
        return false;
    }
    m_tSenderAddress = client;
    m_iSenderAddressLength = length;
    if (m_eAcceptedOptions == OptionsUnknown)
    {
        // Looked at once: the connection has what the listening socket has, or else each
        // connection gets the options of its own.
        m_eAcceptedOptions =
            SameStdOptions(fd, m_iServerSocket) ? OptionsInherited : OptionsPerConnection;
    }
    if (m_eAcceptedOptions != OptionsInherited)
    {
        TCPSocket_SetStdOption(fd);
    }
    m_iConnectionSocket = fd;
    m_sPending.clear();
    return true;
}

void CQTXCommunication::Close()
{
    m_sPending.clear();
    CloseSocket(m_iConnectionSocket);
    m_bTCP = m_bDefaultTCP;
}

void CQTXCommunication::MoveConnectionTo(CQTXCommunication& other)
{
    if (&other == this)
    {
        return;
    }
    other.CloseSocket(other.m_iConnectionSocket);
    other.m_iConnectionSocket = m_iConnectionSocket;
    other.m_tPeerAddress = m_tPeerAddress;
    other.m_iTimeout = m_iTimeout;
    other.m_iSecondTimeout = m_iSecondTimeout;
    other.m_bTCP = m_bTCP;
    other.m_tSenderAddress = m_tSenderAddress;
    other.m_iSenderAddressLength = m_iSenderAddressLength;
    other.m_sPending.swap(m_sPending);
    m_sPending.clear();
    m_iConnectionSocket = -1;
}

bool CQTXCommunication::SendBuffer(const void* data, int length)
{
    return SendBytes(data, length, GetClockStamp(), 0);
}

bool CQTXCommunication::SendBytes(const void* data, int length, uint64_t start, uint64_t before)
{
    if (m_iConnectionSocket < 0 || length < 0 || (data == nullptr && length > 0))
    {
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    uint64_t mark = GetClockStamp();
    while (sent < length)
    {
        ssize_t r;
        int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
        if (m_bTCP)
        {
            bool trace = CommunicationDebugPrintf.load() != 0;
            if (trace)
            {
                std::printf("Call send( %d, 0x%X, %d - %d, 0 );\n", m_iConnectionSocket,
                            static_cast<unsigned>(reinterpret_cast<uintptr_t>(bytes + sent)),
                            length, sent);
            }
            r = ::send(m_iConnectionSocket, bytes + sent, static_cast<size_t>(length - sent),
                       flags);
            if (trace)
            {
                std::printf("send returned %d\n", static_cast<int>(r));
            }
        }
        else
        {
            r = ::sendto(m_iConnectionSocket, bytes + sent, static_cast<size_t>(length - sent),
                         flags, reinterpret_cast<const sockaddr*>(&m_tPeerAddress),
                         sizeof m_tPeerAddress);
        }
        if (r < 0)
        {
            int error = errno;
            if (error == EINTR)
            {
                continue;
            }
            if (!WouldBlock(error))
            {
                return false;
            }
            if (TimedOut(mark, m_iTimeout) ||
                DocumentTimeUp(start, before + static_cast<uint64_t>(sent), m_iTimeout))
            {
                // The peer takes too little: what it got of the stream is cut off, and the
                // connection is of no further use.
                if (m_bTCP)
                {
                    Close();
                }
                return false;
            }
            SocketSelect(m_iConnectionSocket, kWaitSliceMs, QTX_SELECT_WRITE);
            continue;
        }
        if (r == 0)
        {
            Close();
            return false;
        }
        sent += static_cast<int>(r);
        mark = GetClockStamp();
    }
    return true;
}

bool CQTXCommunication::SendFile(const std::string& file, bool xml)
{
    if (file.empty())
    {
        return true;
    }
    // Read once; a read error sends what came before it and fails.
    std::string content;
    bool complete = false;
    if (!CQTXCommandFile::ReadWholeFile(file.c_str(), content, &complete))
    {
        return false;
    }
    return SendDocument(content.data(), content.size(), xml) && complete;
}

bool CQTXCommunication::SendDocument(const char* data, size_t length, bool xml)
{
    size_t offset = 0;
    if (xml)
    {
        // Start at the first "<"; a document without one sends nothing.
        const void* less = length > 0 ? std::memchr(data, '<', length) : nullptr;
        if (less == nullptr)
        {
            return true;
        }
        offset = static_cast<size_t>(static_cast<const char*>(less) - data);
    }
    char buffer[kPieceSize + sizeof kXmlTrailer];
    // The document is one send, bounded as a whole.
    const uint64_t start = GetClockStamp();
    uint64_t sent = 0;
    for (;;)
    {
        const size_t n = std::min(length - offset, static_cast<size_t>(kPieceSize));
        if (n == 0)
        {
            return true;
        }
        std::memcpy(buffer, data + offset, n);
        size_t send = n;
        if (xml && n <= static_cast<size_t>(kLastXmlPieceMax))
        {
            std::memcpy(buffer + n, kXmlTrailer, sizeof kXmlTrailer - 1);
            send += sizeof kXmlTrailer - 1;
        }
        if (!SendBytes(buffer, static_cast<int>(send), start, sent))
        {
            return false;
        }
        sent += send;
        if (n < static_cast<size_t>(kPieceSize))
        {
            return true;
        }
        offset += n;
    }
}

int CQTXCommunication::ReceiveBuffer(void* buffer, int length, bool wait)
{
    // UDP datagrams come in on the bound server socket; a UDP client hears on its own socket.
    int socket = m_iConnectionSocket;
    if (!m_bTCP && m_iServerSocket >= 0)
    {
        socket = m_iServerSocket;
    }
    if (socket < 0 || length < 0 || (buffer == nullptr && length > 0))
    {
        return RECEIVE_NO_SOCKET;
    }
    if (length == 0)
    {
        return 0;
    }
    char* bytes = static_cast<char*>(buffer);
    int got = 0;
    uint64_t mark = GetClockStamp();
    for (;;)
    {
        ssize_t r;
        int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
        if (m_bTCP)
        {
            r = ::recv(socket, bytes + got, static_cast<size_t>(length - got), flags);
        }
        else
        {
            sockaddr_in sender{};
            socklen_t senderLength = sizeof sender;
            r = ::recvfrom(socket, bytes, static_cast<size_t>(length), flags,
                           reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (r >= 0)
            {
                // One datagram is one receive, also when it is shorter than the buffer:
                // the next one would overwrite it.
                m_tSenderAddress = sender;
                m_iSenderAddressLength = senderLength;
                return static_cast<int>(r);
            }
        }
        if (r < -1)
        {
            return RECEIVE_BAD_RESULT;
        }
        if (r == -1)
        {
            int error = errno;
            if (error == EINTR)
            {
                continue;
            }
            if (!WouldBlock(error))
            {
                return RECEIVE_FAILED;
            }
            if (TimedOut(mark, m_iTimeout))
            {
                return RECEIVE_TIMEOUT;
            }
            SocketSelect(socket, kWaitSliceMs, QTX_SELECT_READ);
        }
        else if (r == 0)
        {
            Close();
            return got > 0 ? got : RECEIVE_PEER_CLOSED;
        }
        else
        {
            got += static_cast<int>(r);
            mark = GetClockStamp();
        }
        if (!wait || got >= length)
        {
            return got;
        }
    }
}

bool CQTXCommunication::ReceiveDocument(const std::string& file, int maxLength,
                                        std::string& rootName, uint16_t& binaryTag)
{
    bool stored = false;
    return ReceiveDocument(file, maxLength, rootName, binaryTag, nullptr, stored, -1);
}

unsigned int CQTXCommunication::ReceiveRequest(const std::string& file, int maxLength,
                                               std::string& content, bool& stored, int prepared)
{
    std::string rootName;
    uint16_t binaryTag = 0;
    if (!ReceiveDocument(file, maxLength, rootName, binaryTag, &content, stored, prepared))
    {
        content.clear();
        return 0;
    }
    return RequestCode(rootName, binaryTag);
}

bool CQTXCommunication::ReceiveDocument(const std::string& file, int maxLength,
                                        std::string& rootName, uint16_t& binaryTag,
                                        std::string* copy, bool& stored, int prepared)
{
    rootName.clear();
    binaryTag = 0;
    stored = false;
    const uint64_t limit = ReceiveLimit(maxLength);
    CDocumentFile out(file, copy, prepared);
    if (!out.Create())
    {
        return false;
    }
    CQTXDocumentFramer framer(&out, limit);
    uint8_t piece[kPieceSize];
    uint64_t total = 0;
    const uint64_t start = GetClockStamp();
    uint64_t lastData = start;
    // A peer may send its next document right behind the last one on a kept connection:
    // what came after the end of the last document starts this one.
    std::string pending;
    pending.swap(m_sPending);
    size_t pendingUsed = 0;
    while (!framer.Done())
    {
        if (pendingUsed < pending.size())
        {
            const size_t n = std::min(pending.size() - pendingUsed, sizeof piece);
            std::memcpy(piece, pending.data() + pendingUsed, n);
            pendingUsed += n;
            if (!FeedPiece(framer, out, piece, n, limit, total, m_sPending))
            {
                return false;
            }
            continue;
        }
        // A document that takes too long as a whole gives the sender up, as does silence
        // longer than the timeout (below).
        if (DocumentTimeUp(start, total, m_iTimeout))
        {
            break;
        }
        int n = ReceiveBuffer(piece, sizeof piece, false);
        if (n < 0)
        {
            break;
        }
        if (n == 0)
        {
            if (TimedOut(lastData, m_iTimeout))
            {
                break;
            }
            continue;
        }
        lastData = GetClockStamp();
        if (!FeedPiece(framer, out, piece, static_cast<size_t>(n), limit, total, m_sPending))
        {
            return false;
        }
    }
    if (pendingUsed < pending.size())
    {
        m_sPending.insert(0, pending, pendingUsed, std::string::npos);
    }
    stored = out.Close();
    if ((!stored && copy == nullptr) || !framer.Done())
    {
        return false;
    }
    rootName = framer.RootName();
    binaryTag = framer.BinaryTag();
    return true;
}

unsigned int CQTXCommunication::ReceiveXmlFile(const std::string& file, int maxLength)
{
    std::string rootName;
    uint16_t binaryTag = 0;
    if (!ReceiveDocument(file, maxLength, rootName, binaryTag))
    {
        return 0;
    }
    return RequestCode(rootName, binaryTag);
}

unsigned int ReceiveXmlBuffer(const void* data, size_t length, const std::string& file,
                              int maxLength)
{
    const uint64_t limit = ReceiveLimit(maxLength);
    CDocumentFile out(file);
    if (!out.Create() || (data == nullptr && length > 0))
    {
        return 0;
    }
    if (length > limit)
    {
        out.Replace(sQTXFileTooLong);
        return 0;
    }
    CQTXDocumentFramer framer(&out, limit);
    const CQTXDocumentFramer::Result r = framer.Feed(static_cast<const uint8_t*>(data), length);
    if (r == CQTXDocumentFramer::TooLong)
    {
        out.Replace(sQTXFileTooLong);
        return 0;
    }
    if (!out.Close() || r != CQTXDocumentFramer::Complete)
    {
        return 0;
    }
    return RequestCode(framer.RootName(), framer.BinaryTag());
}

void CQTXCommunication::SetTimeout(int timeoutMs, int second)
{
    m_iTimeout = timeoutMs;
    m_iSecondTimeout = second;
}

void CQTXCommunication::SendProgressMessage(const std::string& text, int current, int total,
                                            double fraction, double minInterval)
{
    uint64_t now = GetClockStamp();
    uint64_t last = g_uLastProgressStamp.load();
    bool due = total < current || fraction <= 0 || fraction >= 1 || last == 0 ||
               static_cast<double>(now - last) / 1e9 >= minInterval;
    if (!due)
    {
        return;
    }
    std::vector<uint8_t> record = EncodeProgressRecord(text, current, total, fraction);
    SendBuffer(record.data(), static_cast<int>(record.size()));
    SleepMs(1);
    g_uLastProgressStamp.store(now);
}

std::string CQTXCommunication::GetAddress() const
{
    if (m_iConnectionSocket < 0)
    {
        return "";
    }
    uint32_t a = ntohl(m_tSenderAddress.sin_addr.s_addr);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", (a >> 24) & 0xFF, (a >> 16) & 0xFF,
                  (a >> 8) & 0xFF, a & 0xFF,
                  static_cast<unsigned>(ntohs(m_tSenderAddress.sin_port)));
    return text;
}
