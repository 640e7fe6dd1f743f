// One request document sent to a driver on a new connection, and its reply, as the PC
// software sees them. For process-level tests.
#ifndef KOVE_REQUEST_CLIENT_H
#define KOVE_REQUEST_CLIENT_H

#include <cstdint>
#include <string>

#include "KoveTestSupport.h"
#include "QTXCommunication.h"

namespace kovetest
{
struct CReply
{
    std::string sRoot; // empty when no reply came
    std::string sText;
    bool Has(const std::string& part) const { return sText.find(part) != std::string::npos; }
};

// Sends the request to 127.0.0.1:port and receives the reply into replyFile.
inline CReply SendRequest(int port, const std::string& request, const std::string& replyFile)
{
    CQTXCommunication client;
    CReply reply;
    if (!client.Open("127.0.0.1:" + std::to_string(port)) ||
        !client.SendBuffer(request.data(), static_cast<int>(request.size())))
        return reply;
    uint16_t binaryTag = 0;
    if (client.ReceiveDocument(replyFile, 0, reply.sRoot, binaryTag))
        reply.sText = ReadFile(replyFile);
    return reply;
}
} // namespace kovetest

#endif
