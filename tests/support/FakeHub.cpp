#include "FakeHub.h"
#include "KoveTestSupport.h"
#include "QTXDocumentFramer.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kovetest
{
namespace
{
using Clock = std::chrono::steady_clock;

// A request that does not complete within this time is dropped unrecorded.
constexpr auto kReceiveTimeout = std::chrono::seconds(10);
constexpr int kPollSliceMs = 100;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '-' ||
           c == '.';
}

// Position of the ">" that ends the tag starting at `from`, quotes respected; npos when absent.
size_t TagEnd(const std::string& data, size_t from)
{
    char quote = 0;
    for (size_t i = from; i < data.size(); ++i)
    {
        char c = data[i];
        if (quote != 0)
        {
            if (c == quote)
                quote = 0;
        }
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == '>')
            return i;
    }
    return std::string::npos;
}

std::string Unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '&')
        {
            out += text[i];
            continue;
        }
        size_t semicolon = text.find(';', i);
        if (semicolon == std::string::npos)
        {
            out += text.substr(i);
            break;
        }
        std::string name = text.substr(i + 1, semicolon - i - 1);
        if (name == "amp")
            out += '&';
        else if (name == "lt")
            out += '<';
        else if (name == "gt")
            out += '>';
        else if (name == "quot")
            out += '"';
        else if (name == "apos")
            out += '\'';
        else if (name.size() > 1 && name[0] == '#')
            out += static_cast<char>(name[1] == 'x' ? strtol(name.c_str() + 2, nullptr, 16)
                                                    : strtol(name.c_str() + 1, nullptr, 10));
        else
            out += "&" + name + ";";
        i = semicolon;
    }
    return out;
}

// Attributes of the root element's start tag: name (lower case) -> raw value.
std::map<std::string, std::string> RootAttributes(const std::string& document,
                                                  const std::string& root)
{
    std::map<std::string, std::string> attributes;
    size_t start = std::string::npos;
    for (size_t at = document.find('<'); at != std::string::npos; at = document.find('<', at + 1))
        if (document.compare(at + 1, root.size(), root) == 0)
        {
            start = at + 1 + root.size();
            break;
        }
    if (start == std::string::npos)
        return attributes;
    size_t end = TagEnd(document, start);
    if (end == std::string::npos)
        return attributes;
    size_t i = start;
    while (i < end)
    {
        while (i < end && !IsNameChar(document[i]))
            ++i;
        size_t nameStart = i;
        while (i < end && IsNameChar(document[i]))
            ++i;
        std::string name = document.substr(nameStart, i - nameStart);
        while (i < end && std::isspace(static_cast<unsigned char>(document[i])))
            ++i;
        if (name.empty() || i >= end || document[i] != '=')
            continue;
        ++i;
        while (i < end && std::isspace(static_cast<unsigned char>(document[i])))
            ++i;
        if (i >= end || (document[i] != '"' && document[i] != '\''))
            continue;
        char quote = document[i++];
        size_t close = document.find(quote, i);
        if (close == std::string::npos || close > end)
            break;
        attributes[Lower(name)] = document.substr(i, close - i);
        i = close + 1;
    }
    return attributes;
}
} // namespace

bool FindCompleteDocument(const std::string& data, std::string& root, size_t& end)
{
    // Framed as the drivers frame what they receive.
    uint16_t binaryTag = 0;
    return QTXFindDocument(data.data(), data.size(), end, root, binaryTag) && binaryTag == 0;
}

std::string CHubRequest::Attribute(const std::string& name) const
{
    auto attributes = RootAttributes(sDocument, sRoot);
    auto found = attributes.find(Lower(name));
    return found == attributes.end() ? "" : Unescape(found->second);
}

bool CHubRequest::HasAttribute(const std::string& name) const
{
    return RootAttributes(sDocument, sRoot).count(Lower(name)) != 0;
}

CFakeHub::CFakeHub(int port) : m_iPort(port) {}

CFakeHub::~CFakeHub()
{
    Stop();
}

bool CFakeHub::Start()
{
    if (m_tThread.joinable())
        return true;
    m_iListener = LoopbackSocket(SOCK_STREAM, &m_iPort);
    if (m_iListener < 0)
        return false;
    if (pipe2(m_aiWake, O_CLOEXEC) != 0)
    {
        close(m_iListener);
        m_iListener = -1;
        return false;
    }
    m_tThread = std::thread(&CFakeHub::Serve, this);
    return true;
}

void CFakeHub::Stop()
{
    if (!m_tThread.joinable())
        return;
    char byte = 1;
    ssize_t written = write(m_aiWake[1], &byte, 1);
    (void)written;
    m_tThread.join();
    close(m_iListener);
    close(m_aiWake[0]);
    close(m_aiWake[1]);
    m_iListener = m_aiWake[0] = m_aiWake[1] = -1;
}

void CFakeHub::SetReply(const std::string& rootTag, const std::string& document)
{
    std::lock_guard<std::mutex> lock(m_tMutex);
    m_mScripts[Lower(rootTag)] = CScript{true, document};
}

void CFakeHub::SetNoReply(const std::string& rootTag)
{
    std::lock_guard<std::mutex> lock(m_tMutex);
    m_mScripts[Lower(rootTag)] = CScript{false, ""};
}

void CFakeHub::SetDown(bool down)
{
    std::lock_guard<std::mutex> lock(m_tMutex);
    m_bDown = down;
}

std::vector<CHubRequest> CFakeHub::RequestsLocked(const std::string& rootTag) const
{
    std::vector<CHubRequest> found;
    for (const auto& request : m_vRequests)
        if (rootTag.empty() || Lower(request.sRoot) == Lower(rootTag))
            found.push_back(request);
    return found;
}

std::vector<CHubRequest> CFakeHub::Requests() const
{
    return Requests("");
}

std::vector<CHubRequest> CFakeHub::Requests(const std::string& rootTag) const
{
    std::lock_guard<std::mutex> lock(m_tMutex);
    return RequestsLocked(rootTag);
}

int CFakeHub::Count(const std::string& rootTag) const
{
    return static_cast<int>(Requests(rootTag).size());
}

int CFakeHub::Refused() const
{
    std::lock_guard<std::mutex> lock(m_tMutex);
    return m_iRefused;
}

bool CFakeHub::WaitForRequests(const std::string& rootTag, int count,
                               std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_tMutex);
    return m_tChanged.wait_for(
        lock, timeout, [&] { return static_cast<int>(RequestsLocked(rootTag).size()) >= count; });
}

bool CFakeHub::WaitForRefused(int count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_tMutex);
    return m_tChanged.wait_for(lock, timeout, [&] { return m_iRefused >= count; });
}

void CFakeHub::Serve()
{
    for (;;)
    {
        pollfd fds[2] = {{m_iListener, POLLIN, 0}, {m_aiWake[0], POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        int connection = accept4(m_iListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        bool down;
        {
            std::lock_guard<std::mutex> lock(m_tMutex);
            down = m_bDown;
        }
        if (down)
        {
            // A reset, as the sender sees it when nobody listens behind the port.
            struct linger reset
            {
                1, 0
            };
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            close(connection);
            std::lock_guard<std::mutex> lock(m_tMutex);
            ++m_iRefused;
            m_tChanged.notify_all();
            continue;
        }
        HandleConnection(connection);
        close(connection);
    }
}

void CFakeHub::HandleConnection(int connection)
{
    std::string data;
    std::string root;
    size_t end = 0;
    auto deadline = Clock::now() + kReceiveTimeout;
    while (!FindCompleteDocument(data, root, end))
    {
        if (Clock::now() >= deadline)
            return;
        pollfd fds[2] = {{connection, POLLIN, 0}, {m_aiWake[0], POLLIN, 0}};
        int ready = poll(fds, 2, kPollSliceMs);
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0)
            return; // stopping; the serving loop sees the wake-up too
        if (ready <= 0 || fds[0].revents == 0)
            continue;
        char piece[4096];
        ssize_t n = recv(connection, piece, sizeof piece, 0);
        if (n <= 0)
            return;
        data.append(piece, static_cast<size_t>(n));
    }

    CHubRequest request{root, data.substr(0, end)};
    std::string reply = request.sDocument + "\n";
    bool answer = true;
    {
        std::lock_guard<std::mutex> lock(m_tMutex);
        auto script = m_mScripts.find(Lower(root));
        if (script != m_mScripts.end())
        {
            answer = script->second.bAnswer;
            reply = script->second.sDocument;
        }
        m_vRequests.push_back(request);
        m_tChanged.notify_all();
    }
    if (!answer)
        return;
    for (size_t sent = 0; sent < reply.size();)
    {
        ssize_t n = send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}
} // namespace kovetest
