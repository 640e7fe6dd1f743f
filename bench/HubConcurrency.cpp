// Many clients at once on the hub: 1, 8, 32 and 128 clients, each sending Ping and Identify
// requests (answered with the request itself and with the hub's System document), each
// request on a new connection, to a systemdriver started on a temporary simulated device;
// beside a bare accept-and-echo server in this process of the same shape
// (one connection at a time, the same listening queue). Counters: requests per second, the
// median and 99th percentile of the time from connect to the whole reply, and the requests
// that got no whole reply of the request's root element: any such request fails the benchmark.
//
// Run it in a network namespace of its own, for example
//   build/bin/kove_netns_run build/bin/bench_HubConcurrency
// It refuses to run when port 62000 is taken.
#include <benchmark/benchmark.h>

#include "BenchClients.h"
#include "QTXDocumentFramer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using kovebench::Loopback;
using kovebench::PortFree;
using Clock = std::chrono::steady_clock;
constexpr uint16_t kHubPort = 62000;
constexpr int kRequestsPerClient = 16;
const std::string kPing = "<?xml version=\"1.0\"?>\n<Ping/>";
const std::string kIdentify = "<?xml version=\"1.0\"?>\n<Identify/>";

// One request on a new connection; true when a whole reply document with the root element
// `root` came and the server closed after it.
bool Exchange(uint16_t port, const std::string& request, const char* root)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    bool answered = false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        send(s, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()))
    {
        std::string reply;
        char buffer[16384];
        pollfd p{s, POLLIN, 0};
        bool closed = false;
        while (poll(&p, 1, 30000) > 0)
        {
            const ssize_t n = recv(s, buffer, sizeof buffer, 0);
            closed = n == 0;
            if (n <= 0)
                break;
            reply.append(buffer, static_cast<size_t>(n));
        }
        size_t end = 0;
        std::string name;
        uint16_t tag = 0;
        answered =
            closed && QTXFindDocument(reply.data(), reply.size(), end, name, tag) && name == root;
    }
    close(s);
    return answered;
}

// A bare server of the request server's shape: one connection at a time, the same queue;
// it reads until the request's "/>" and sends the bytes back.
class CEchoServer
{
public:
    explicit CEchoServer(uint16_t port)
    {
        m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_iSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in a = Loopback(port);
        if (bind(m_iSocket, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            listen(m_iSocket, 128) != 0)
            return;
        m_tThread = std::thread([this] { Serve(); });
    }
    ~CEchoServer()
    {
        m_bStop = true;
        shutdown(m_iSocket, SHUT_RDWR);
        if (m_tThread.joinable())
            m_tThread.join();
        close(m_iSocket);
    }

private:
    void Serve()
    {
        while (!m_bStop)
        {
            const int c = accept4(m_iSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            std::string request;
            char buffer[4096];
            while (request.find("/>") == std::string::npos)
            {
                const ssize_t n = recv(c, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<size_t>(n));
            }
            send(c, request.data(), request.size(), MSG_NOSIGNAL);
            close(c);
        }
    }

    int m_iSocket = -1;
    std::atomic<bool> m_bStop{false};
    std::thread m_tThread;
};

// The hub on a fresh simulated device, ended with SIGTERM (or by the kernel with this process).
class CHub
{
public:
    CHub()
    {
        char dir[] = "/tmp/kovebench.XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        m_sDir = dir;
        const std::string bin = std::filesystem::path(std::getenv("KOVE_BIN_DIR") != nullptr
                                                          ? std::getenv("KOVE_BIN_DIR")
                                                          : KOVE_BENCH_BIN_DIR) /
                                "systemdriver";
        m_pid = fork();
        if (m_pid == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            setenv("KOVE_SIM", m_sDir.c_str(), 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(bin.c_str(), bin.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && !m_bUp; ++i)
        {
            const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in a = Loopback(kHubPort);
            m_bUp = connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
            close(s);
            if (!m_bUp)
                usleep(20000);
        }
    }
    ~CHub()
    {
        if (m_pid > 0)
        {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        std::error_code ec;
        if (!m_sDir.empty())
            std::filesystem::remove_all(m_sDir, ec);
    }
    bool Up() const { return m_bUp; }

private:
    std::string m_sDir;
    pid_t m_pid = -1;
    bool m_bUp = false;
};

// Each client sends kRequestsPerClient requests (Ping and Identify by turns, or the echo's
// Ping), every one on a new connection; a request without a whole reply fails the benchmark.
void RunClients(benchmark::State& state, uint16_t port, bool identify)
{
    const kovebench::SClientTotals totals = kovebench::RunConcurrentClients(
        state, kRequestsPerClient,
        [&](int c, int i)
        {
            const bool asIdentify = identify && (i + c) % 2 != 0;
            return Exchange(port, asIdentify ? kIdentify : kPing, asIdentify ? "System" : "Ping");
        });
    if (totals.iUnanswered > 0)
        state.SkipWithError(
            (std::to_string(totals.iUnanswered) + " requests got no whole reply").c_str());
}

void BM_HubPingIdentify(benchmark::State& state)
{
    if (!PortFree(kHubPort))
    {
        state.SkipWithError("port 62000 is taken: run in a network namespace of its own");
        return;
    }
    CHub hub;
    if (!hub.Up())
    {
        state.SkipWithError("the hub did not start");
        return;
    }
    RunClients(state, kHubPort, true);
}

void BM_EchoServer(benchmark::State& state)
{
    CEchoServer server(kHubPort + 1);
    RunClients(state, kHubPort + 1, false);
}

BENCHMARK(BM_HubPingIdentify)->Arg(1)->Arg(8)->Arg(32)->Arg(128)->UseRealTime()->Iterations(3);
BENCHMARK(BM_EchoServer)->Arg(1)->Arg(8)->Arg(32)->Arg(128)->UseRealTime()->Iterations(3);
} // namespace
