// UDP discovery: PC tools find the device by sending an Identify request to UDP port 62000.
// Every such request is answered with the identity document twice: by UDP to the sender's
// address and port, and over TCP to port 61000 of the sender. Each datagram is one whole
// request, handled on its own.
#include "QTXSystem.h"

#include <cerrno>
#include <cstdint>
#include <sys/socket.h>
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
// While no request comes, the thread looks this often whether it is to end.
constexpr int kIdleSliceMs = 200;
// Pause after the socket failed, so that a lasting failure does not spin. A datagram that is
// not answered gets none: the next one (perhaps a tool's Identify) is read at once.
constexpr int kFailurePauseMs = 100;

// The identity file, written first when it is out of date; empty when it cannot be written
// (the error is reported, and there is nothing to answer with).
std::string IdentifyFileOrReport(CSystem* system)
{
    try
    {
        return system->GetIdentifyFilePath();
    }
    catch (CQTXError& error)
    {
        system->SendErrorMessage(error, false);
        return "";
    }
}

// Answers the sender of the last datagram; a reply that cannot be opened is skipped.
void AnswerIdentify(CQTXCommunication& endpoint, const std::string& file)
{
    endpoint.SetTimeout(kReplyTimeoutMs, 10);
    if (endpoint.OpenForReply(0, false))
        endpoint.SendFile(file, true);
    endpoint.Close();
    if (endpoint.OpenForReply(kTcpAnswerPort, true))
        endpoint.SendFile(file, true);
    endpoint.Close();
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

    while (system->ContinueThread())
    {
        // Wait for a datagram in short slices, so that the end of the driver's threads is
        // noticed at once.
        const int ready = SocketSelect(endpoint.GetServerSocket(), kIdleSliceMs, QTX_SELECT_READ);
        if (ready < 0)
            SystemSleepMs(kFailurePauseMs);
        if (ready <= 0)
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
        const std::string file = IdentifyFileOrReport(system);
        if (!file.empty())
            AnswerIdentify(endpoint, file);
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
        const std::string file = IdentifyFileOrReport(system);
        if (!file.empty())
            endpoint.SendFile(file, true);
    }
    endpoint.Close();
    return true;
}
