// UDP discovery: PC tools find the device by sending an Identify request to UDP port 62000.
// Every such request is answered with the identity document twice: by UDP to the sender's
// address and port, and over TCP to port 61000 of the sender. Each datagram is one whole
// request, handled on its own.
//
// A datagram's sender address is whatever the datagram says, and a connect to an address where
// nobody answers takes the whole connect timeout. So the TCP answers are connected without
// waiting: the thread keeps the connects in flight beside its UDP socket and waits for all of
// them at once, and reading the next datagram never waits for an answer's connect. At most
// kMaxAnswersInFlight connects are kept; a further answer gives up the oldest connect, which
// is the one least likely to be a tool that listens (a listening tool answers a connect at
// once), so a flood of forged senders cannot keep a real tool from its answer.
#include "QTXSystem.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "QTXCommunication.h"

namespace
{
constexpr int kDiscoveryPort = 62000;
constexpr int kTcpAnswerPort = 61000;
const char kRequestFile[] = "UDPRequest.xml";
const char kBroadcastAddress[] = "255.255.255.255:61000";

// Request code of an Identify document.
constexpr unsigned int kTagIdentify = 514;
// Longest request document; a datagram can carry at most this many bytes.
constexpr int kMaxRequestBytes = 16000;
constexpr size_t kMaxDatagramBytes = 65536;
// Longest wait for a reply connection or send room; the sender is a tool on the same network.
constexpr int kReplyTimeoutMs = 3000;
// TCP answers whose connect is still under way at one time.
constexpr size_t kMaxAnswersInFlight = 32;
// While no request comes, the thread looks this often whether it is to end.
constexpr int kIdleSliceMs = 200;
// Pause after the socket failed, so that a lasting failure does not spin. A datagram that is
// not answered gets none: the next one (perhaps a tool's Identify) is read at once.
constexpr int kFailurePauseMs = 100;

// The identity document, read from its file (written first when it is out of date); empty
// when it cannot be had (the error is reported, and there is nothing to answer with).
std::shared_ptr<const std::string> ReadIdentifyDocument(CSystem* system)
{
    std::string file;
    try
    {
        file = system->GetIdentifyFilePath();
    }
    catch (CQTXError& error)
    {
        system->SendErrorMessage(error, false);
        return nullptr;
    }
    std::ifstream in(file, std::ios::binary);
    auto document = std::make_shared<std::string>(std::istreambuf_iterator<char>(in),
                                                  std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        return nullptr;
    return document->empty() ? nullptr : document;
}

// A TCP answer whose connect is under way.
struct PendingAnswer
{
    int iSocket;
    uint64_t uDeadline; // monotonic, ns
    std::shared_ptr<const std::string> pDocument;
};

class CTcpAnswers
{
public:
    CTcpAnswers() = default;
    CTcpAnswers(const CTcpAnswers&) = delete;
    CTcpAnswers& operator=(const CTcpAnswers&) = delete;
    ~CTcpAnswers()
    {
        for (const PendingAnswer& answer : m_dAnswers)
            close(answer.iSocket);
    }

    // Starts the connect to port 61000 of the sender ("a.b.c.d:port"); the document is sent
    // once it is connected.
    void Start(const std::string& sender, std::shared_ptr<const std::string> document)
    {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(kTcpAnswerPort);
        if (inet_pton(AF_INET, sender.substr(0, sender.find(':')).c_str(), &peer.sin_addr) != 1)
            return;
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
            errno != EINPROGRESS)
        {
            close(fd);
            return;
        }
        if (m_dAnswers.size() >= kMaxAnswersInFlight)
        {
            close(m_dAnswers.front().iSocket);
            m_dAnswers.pop_front();
        }
        m_dAnswers.push_back({fd,
                              GetClockStamp() + static_cast<uint64_t>(kReplyTimeoutMs) * 1000000u,
                              std::move(document)});
    }

    // The poll entries of the connects, behind those already in the list.
    void AddPollEntries(std::vector<pollfd>& entries) const
    {
        for (const PendingAnswer& answer : m_dAnswers)
            entries.push_back({answer.iSocket, POLLOUT, 0});
    }

    // How long the poll may wait: at most `longest` ms, and not past the next deadline.
    int WaitMs(int longest) const
    {
        const uint64_t now = GetClockStamp();
        for (const PendingAnswer& answer : m_dAnswers)
        {
            const uint64_t left = answer.uDeadline > now ? answer.uDeadline - now : 0;
            longest = static_cast<int>(
                std::min<uint64_t>(static_cast<uint64_t>(longest), (left + 999999u) / 1000000u));
        }
        return longest;
    }

    // Sends the document on every connect that completed (from entries[first] on, in the order
    // of AddPollEntries) and gives up those that failed or ran out of time.
    void Serve(const std::vector<pollfd>& entries, size_t first)
    {
        const uint64_t now = GetClockStamp();
        std::deque<PendingAnswer> waiting;
        for (size_t i = 0; i < m_dAnswers.size(); ++i)
        {
            PendingAnswer& answer = m_dAnswers[i];
            const short events = first + i < entries.size() ? entries[first + i].revents : 0;
            if (events == 0)
            {
                if (now < answer.uDeadline)
                    waiting.push_back(std::move(answer));
                else
                    close(answer.iSocket);
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(answer.iSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
                error != 0)
            {
                close(answer.iSocket);
                continue;
            }
            // The endpoint takes the socket over and closes it; the document is small, so its
            // send does not wait for a tool that reads it.
            CQTXCommunication connection;
            connection.Open(answer.iSocket, true);
            TCPSocket_SetStdOption(answer.iSocket);
            connection.SetTimeout(kReplyTimeoutMs, 10);
            connection.SendDocument(answer.pDocument->data(), answer.pDocument->size(), true);
            connection.Close();
        }
        m_dAnswers.swap(waiting);
    }

private:
    // Oldest first.
    std::deque<PendingAnswer> m_dAnswers;
};

// Answers the sender of the last datagram by UDP at once, and starts the TCP answer.
void AnswerIdentify(CQTXCommunication& endpoint, CTcpAnswers& answers,
                    const std::shared_ptr<const std::string>& document)
{
    endpoint.SetTimeout(kReplyTimeoutMs, 10);
    // The sender's address is known to the endpoint while it has a reply socket.
    std::string sender;
    if (endpoint.OpenForReply(0, false))
    {
        sender = endpoint.GetAddress();
        endpoint.SendDocument(document->data(), document->size(), true);
    }
    endpoint.Close();
    if (!sender.empty())
        answers.Start(sender, document);
}
} // namespace

unsigned int DiscoveryRequestCode(const void* datagram, size_t length,
                                  const std::string& requestFile)
{
    return ReceiveXmlBuffer(datagram, length, requestFile, kMaxRequestBytes);
}

std::string CSystem::GetIdentifyFilePath()
{
    return FileNameToAbsolutePath(GetModuleInfoFileName());
}

bool MyUDPThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    CSystem* system = dynamic_cast<CSystem*>(driver);
    if (system == nullptr)
        return false;
    CQTXCommunication endpoint;
    if (!endpoint.OpenServerSocket(kDiscoveryPort, false))
        return false;
    const std::string requestFile = system->FileNameToAbsolutePath(kRequestFile);
    std::vector<char> datagram(kMaxDatagramBytes);
    CTcpAnswers answers;
    std::vector<pollfd> entries;

    while (system->ContinueThread())
    {
        // Wait for a datagram or a connect in short slices, so that the end of the driver's
        // threads is noticed at once.
        entries.assign(1, pollfd{endpoint.GetServerSocket(), POLLIN, 0});
        answers.AddPollEntries(entries);
        const int ready = poll(entries.data(), entries.size(), answers.WaitMs(kIdleSliceMs));
        if (ready < 0 && errno != EINTR)
            SystemSleepMs(kFailurePauseMs);
        answers.Serve(entries, 1);
        if (ready <= 0 || entries[0].revents == 0)
            continue;

        // Every datagram is a request of its own: a broken one leaves nothing behind that
        // the next one would be read with.
        const int length =
            endpoint.ReceiveBuffer(datagram.data(), static_cast<int>(datagram.size()), false);
        if (length < 0)
        {
            SystemSleepMs(kFailurePauseMs);
            continue;
        }
        if (length == 0 || DiscoveryRequestCode(datagram.data(), static_cast<size_t>(length),
                                                requestFile) != kTagIdentify)
            continue;
        const std::shared_ptr<const std::string> document = ReadIdentifyDocument(system);
        if (document)
            AnswerIdentify(endpoint, answers, document);
    }
    return true;
}

bool IdentifyBroadcastThread(CQTX* driver, void* /*argument*/, int seconds)
{
    CSystem* system = dynamic_cast<CSystem*>(driver);
    if (system == nullptr)
        return false;
    CQTXCommunication endpoint;
    if (!endpoint.Open(kBroadcastAddress, false))
        return false;
    int on = 1;
    setsockopt(endpoint.GetSocket(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);

    const int64_t periodMs = static_cast<int64_t>(seconds < 1 ? 1 : seconds) * 1000;
    while (system->ContinueThread())
    {
        for (int64_t waited = 0; waited < periodMs && system->ContinueThread();
             waited += kIdleSliceMs)
            SystemSleepMs(kIdleSliceMs);
        if (!system->ContinueThread())
            break;
        const std::shared_ptr<const std::string> document = ReadIdentifyDocument(system);
        if (document)
            endpoint.SendDocument(document->data(), document->size(), true);
    }
    endpoint.Close();
    return true;
}
