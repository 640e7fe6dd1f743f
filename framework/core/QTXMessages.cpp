// Requests from one driver to another, and the user-configuration string.
#include "QTXMessages.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unistd.h>

#include "QTX.h"
#include "QTXCommunication.h"
#include "QTXConvert.h"
#include "QTXXml.h"

extern const char acLocalhost[] = "127.0.0.1";
extern const char acSystemAddress[] = "127.0.0.1:62000";
extern const char acDufAddress[] = "127.0.0.1:62001";
extern const char acFOAddress[] = "127.0.0.1:62002";
extern const char acSystemFOEvent[] = "127.0.0.1:62011";

namespace
{
constexpr int RETRY_PAUSE_MS = 100;

// Pauses RETRY_PAUSE_MS, or less when the time left (in ns) is shorter.
void PauseBeforeRetry(uint64_t leftNs)
{
    const uint64_t ns = std::min<uint64_t>(leftNs, RETRY_PAUSE_MS * 1000000ull);
    timespec pause{0, static_cast<long>(ns)};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}

// One request per attempt: connect, send with `send`, receive the reply. Attempts go on, with a
// pause between them, until one gets a reply or the time-out has passed; the last pause ends at
// the time-out, and none follows the last attempt (a time-out of 0 makes exactly one attempt).
template <typename SendFunction>
bool SendToDriver(SendFunction send, int timeoutMs, int port, const std::string& replyFile)
{
    const std::string address = std::string(acLocalhost) + ":" + std::to_string(port);
    const uint64_t start = GetClockStamp();
    const uint64_t budget = timeoutMs > 0 ? static_cast<uint64_t>(timeoutMs) * 1000000ull : 0;
    for (;;)
    {
        bool replied = false;
        {
            CQTXCommunication connection;
            if (connection.Open(address, true) && send(connection))
                replied = connection.ReceiveXmlFile(replyFile, 0) != 0;
        }
        if (replied)
            return true;
        const uint64_t elapsed = GetClockStamp() - start;
        if (elapsed >= budget)
            return false;
        PauseBeforeRetry(budget - elapsed);
    }
}
} // namespace

bool SendBufferToDriver(const void* buffer, int length, int timeoutMs, int port,
                        const std::string& replyFile)
{
    return SendToDriver([&](CQTXCommunication& connection)
                        { return connection.SendBuffer(buffer, length); },
                        timeoutMs, port, replyFile);
}

bool SendStringToDriver(const std::string& text, int timeoutMs, int port,
                        const std::string& replyFile)
{
    return SendBufferToDriver(text.data(), static_cast<int>(text.size()), timeoutMs, port,
                              replyFile);
}

bool StoreConfigurationAtSystem(int timeoutMs, const std::string& replyFile)
{
    // A reply left by an earlier store must not count as this one's.
    unlink(replyFile.c_str());
    CQTXXml answer;
    return SendStringToDriver(sXmlStart + "<StoreConfiguration/>\n", timeoutMs,
                              static_cast<int>(QTX_SYSTEM_PORT), replyFile) &&
           answer.LoadFile(replyFile.c_str(), "StoreConfiguration") &&
           SameString(CharPointerToString(answer.GetXMLNodeRoot().getAttribute("Status")), "Done");
}

bool SendFileToDriver(const std::string& file, int timeoutMs, int port,
                      const std::string& replyFile)
{
    return SendToDriver([&](CQTXCommunication& connection)
                        { return connection.SendFile(file, false); },
                        timeoutMs, port, replyFile);
}

void SendModuleErrorToSystem(uint32_t port, const CQTXError& error)
{
    const std::string document =
        sXmlStart + "<SetModuleError Slot=\"" + std::to_string(port) + "\" Error=\"" +
        EscapeXmlValue(error.ErrorText() + ": " + error.ErrorParameter()) + "\" />\n";
    SendStringToDriver(document, 1000, static_cast<int>(QTX_SYSTEM_PORT), "");
}

std::string UserConfigValue(const std::string& config, const char* key)
{
    if (key == nullptr)
        return "";
    size_t item = config.find(';');
    while (item != std::string::npos)
    {
        size_t next = config.find(';', item + 1);
        if (next == std::string::npos)
            break; // an item without its closing ";" does not count
        size_t equals = config.find('=', item + 1);
        if (equals != std::string::npos && equals < next &&
            SameString(config.substr(item + 1, equals - item - 1), key))
            return config.substr(equals + 1, next - equals - 1);
        item = next;
    }
    return "";
}

int UserConfig2HexSwitchFull(const std::string& config, _HEXSWITCH_SET* set)
{
    const std::string value = UserConfigValue(config, "hex");
    const int32_t number = value.empty() ? -1 : StringToInt(value);
    _HEXSWITCH_SET switches{-1, -1, -1, -1};
    if (number != -1)
    {
        switches.iSwitch1 = (number >> 4) & 0xF;
        switches.iSwitch2 = number & 0xF;
        switches.iSwitch3 = (number >> 8) & 0xF;
        switches.iRest = (number >> 12) & 0xFFFF;
    }
    if (set != nullptr)
        *set = switches;
    return switches.iSwitch1;
}

int UserConfig2HexSwitch(const std::string& config)
{
    return UserConfig2HexSwitchFull(config, nullptr);
}

std::string EscapeXmlValue(const std::string& value)
{
    bool plain = true;
    for (char c : value)
    {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x80 || c == '&' || c == '<' || c == '>' || c == '"')
        {
            plain = false;
            break;
        }
    }
    if (plain)
        return value;
    std::string escaped;
    escaped.reserve(value.size() + 16);
    for (size_t i = 0; i < value.size();)
    {
        const char c = value[i];
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80)
        {
            // The documents are UTF-8: a character that XML does not allow is left out, a byte
            // that is no UTF-8 is taken as the ISO-8859-1 character of its value.
            const int length = XMLAllowedUTF8At(value.data(), i, value.size());
            if (length > 0)
                escaped.append(value, i, static_cast<size_t>(length));
            if (length == 0)
            {
                escaped += static_cast<char>(0xC0 | (u >> 6));
                escaped += static_cast<char>(0x80 | (u & 0x3F));
            }
            i += static_cast<size_t>(length > 0 ? length : length < 0 ? -length : 1);
            continue;
        }
        ++i;
        switch (c)
        {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        // A reader turns these into blanks (a carriage return into a line feed) unless they
        // come as references.
        case '\t':
            escaped += "&#9;";
            break;
        case '\n':
            escaped += "&#10;";
            break;
        case '\r':
            escaped += "&#13;";
            break;
        default:
            // Other control characters have no place in an XML 1.0 document: left out.
            if (u >= 0x20)
                escaped += c;
        }
    }
    return escaped;
}
