// UDP discovery: PC tools find the device by sending an Identify request to UDP port 62000.
// Every such request is answered with the identity document twice: by UDP to the sender's
// address and port, and over TCP to port 61000 of the sender.
#include "QTXSystem.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/socket.h>

#include "QTXCommunication.h"

namespace
{
constexpr int kDiscoveryPort = 62000;
constexpr int kTcpAnswerPort = 61000;
const char kRequestFile[] = "UDPRequest.xml";
const char kBroadcastAddress[] = "255.255.255.255:61000";

// Request code of an Identify document.
constexpr unsigned int kTagIdentify = 514;
// Longest request document and longest wait for the rest of one that has begun.
constexpr int kMaxRequestBytes = 16000;
constexpr int kRequestTimeoutMs = 16000;
// Longest wait for a reply connection or send room; the sender is a tool on the same network.
constexpr int kReplyTimeoutMs = 3000;
// While no request comes, the thread looks this often whether it is to end.
constexpr int kIdleSliceMs = 200;
// Pause after a request that is not answered.
constexpr int kIgnoredRequestPauseMs = 100;

void PauseMs(int ms)
{
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}

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

    while (system->ContinueThread())
    {
        // Wait for the first datagram of a request in short slices, so that the end of the
        // driver's threads is noticed at once and not only after a whole receive time.
        const int ready = SocketSelect(endpoint.GetServerSocket(), kIdleSliceMs, QTX_SELECT_READ);
        if (ready < 0)
            PauseMs(kIgnoredRequestPauseMs);
        if (ready <= 0)
            continue;

        endpoint.SetTimeout(kRequestTimeoutMs, 10);
        if (endpoint.ReceiveXmlFile(requestFile, kMaxRequestBytes) != kTagIdentify)
        {
            PauseMs(kIgnoredRequestPauseMs);
            continue;
        }
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
            PauseMs(kIdleSliceMs);
        if (!system->ContinueThread())
            break;
        const std::string file = IdentifyFileOrReport(system);
        if (!file.empty())
            endpoint.SendFile(file, true);
    }
    endpoint.Close();
    return true;
}
