// A stand-in for the system driver in tests: a small TCP server on 127.0.0.1 (port 62000 by
// default) that records every request document it receives and answers it.
//
// By default a request is answered with the request itself, so the reply's root element is the
// request's command tag. Replies can be scripted per root tag (compared without regard to
// case), a tag can be left unanswered, and the whole hub can be "down", resetting every
// connection unread. It runs in a thread of the test process; Stop (or the destructor) ends it
// cleanly. Documents are read with plain sockets and a small framer of its own, independent of
// the framework under test.
#ifndef FAKE_HUB_H
#define FAKE_HUB_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kovetest
{
// One request as the hub received it.
struct CHubRequest
{
    std::string sRoot;     // name of the root element
    std::string sDocument; // the document up to the end of its root element
    // Value of an attribute of the root element with the XML references resolved; empty when
    // it is missing.
    std::string Attribute(const std::string& name) const;
    bool HasAttribute(const std::string& name) const;
};

class CFakeHub
{
public:
    // Port 0 lets the kernel choose one (see Port).
    explicit CFakeHub(int port = 62000);
    ~CFakeHub();
    CFakeHub(const CFakeHub&) = delete;
    CFakeHub& operator=(const CFakeHub&) = delete;

    // Listens on 127.0.0.1 and starts serving; false when the port cannot be had.
    bool Start();
    // Ends the serving thread and closes the port; harmless when not running.
    void Stop();
    int Port() const { return m_iPort; }

    // The reply to every later request with this root tag.
    void SetReply(const std::string& rootTag, const std::string& document);
    // Later requests with this root tag are recorded, and their connection closed unanswered.
    void SetNoReply(const std::string& rootTag);
    // While down, every connection is reset at once, without being read or recorded.
    void SetDown(bool down);

    std::vector<CHubRequest> Requests() const;
    // Requests with this root tag (all with an empty tag).
    std::vector<CHubRequest> Requests(const std::string& rootTag) const;
    int Count(const std::string& rootTag) const;
    // Connections reset while the hub was down.
    int Refused() const;

    // Waits until `count` requests with this root tag have come (or `count` connections were
    // refused, for WaitForRefused).
    bool WaitForRequests(const std::string& rootTag, int count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool WaitForRefused(int count, std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    struct CScript
    {
        bool bAnswer = true;
        std::string sDocument;
    };

    void Serve();
    void HandleConnection(int connection);
    std::vector<CHubRequest> RequestsLocked(const std::string& rootTag) const;

    int m_iPort;
    int m_iListener = -1;
    int m_aiWake[2] = {-1, -1};
    std::thread m_tThread;
    mutable std::mutex m_tMutex;
    std::condition_variable m_tChanged;
    std::vector<CHubRequest> m_vRequests;
    std::map<std::string, CScript> m_mScripts; // by lower-case root tag
    bool m_bDown = false;
    int m_iRefused = 0;
};

// The root element's name of a complete XML document, framed as the drivers frame requests
// (from its "<?xml" label on), or false while it is incomplete. `end` receives the position just
// behind the root element.
bool FindCompleteDocument(const std::string& data, std::string& root, size_t& end);
} // namespace kovetest

#endif
