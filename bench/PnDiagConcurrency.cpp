// Many clients at once on the PROFINET sniffer's diagnostic port 999 (twelve server threads of
// the socket layer): 1, 8, 32 and 128 clients, each sending module-information and
// controller-state requests, each request on a new connection, to a pndriver started beside the
// hub on a temporary simulated bus-monitor device. Counters: requests per second, the median
// and 99th percentile of the time from connect to the whole reply, and the requests that got no
// reply; a run in which any request went unanswered is reported as an error.
//
// Run it in a network namespace of its own, for example
//   build/bin/kove_netns_run build/bin/bench_PnDiagConcurrency
// It refuses to run when port 62000 or 999 is taken.
#include <benchmark/benchmark.h>

#include "BenchClients.h"

#include <algorithm>
#include <arpa/inet.h>
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
constexpr uint16_t kSnifferPort = 62101;
constexpr uint16_t kDiagPort = 999;
constexpr int kRequestsPerClient = 16;
constexpr int kReplyWaitMs = 30000;
// Module information and controller state.
constexpr uint16_t kCommands[] = {50, 68};
constexpr uint16_t kMagic = 0x4E50;
constexpr size_t kHead = 8;

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Reads count bytes within the time; false on a time-out, an error or the end of the connection.
bool ReadExact(int s, uint8_t* out, size_t count)
{
    size_t at = 0;
    while (at < count)
    {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, kReplyWaitMs) <= 0)
            return false;
        const ssize_t n = recv(s, out + at, count - at, 0);
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// One request on a new connection; true when its whole reply came, for the same command.
bool Exchange(uint16_t command)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(kDiagPort);
    const uint8_t request[kHead] = {static_cast<uint8_t>(kMagic),
                                    kMagic >> 8,
                                    static_cast<uint8_t>(command),
                                    0,
                                    kHead,
                                    0,
                                    0,
                                    0};
    bool answered = false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        send(s, request, sizeof request, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request))
    {
        std::vector<uint8_t> reply(kHead);
        if (ReadExact(s, reply.data(), kHead) && Get16(reply.data()) == kMagic &&
            Get16(reply.data() + 2) == command && Get16(reply.data() + 4) >= kHead)
        {
            reply.resize(Get16(reply.data() + 4));
            answered = ReadExact(s, reply.data() + kHead, reply.size() - kHead);
        }
    }
    close(s);
    return answered;
}

std::string BinDir()
{
    const char* dir = std::getenv("KOVE_BIN_DIR");
    return dir != nullptr ? dir : KOVE_BENCH_BIN_DIR;
}

bool PortListens(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    const bool up = connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return up;
}

// The hub and the sniffer driver on a fresh bus-monitor device, ended with SIGTERM (or by the
// kernel with this process).
class CDevice
{
public:
    CDevice()
    {
        char dir[] = "/tmp/kovebench.XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        m_sDir = dir;
        const pid_t create = Start({"kovesim", "create", m_sDir, "--family", "PNA"});
        int status = 0;
        if (create <= 0 || waitpid(create, &status, 0) != create || status != 0)
            return;
        m_aPids.push_back(Start({"systemdriver"}));
        if (!WaitForPort(kHubPort))
            return;
        m_aPids.push_back(Start({"pndriver"}));
        // The sniffer registers with the hub and serves its ports.
        m_bUp = WaitForPort(kSnifferPort) && WaitForPort(kDiagPort);
    }
    ~CDevice()
    {
        for (auto pid = m_aPids.rbegin(); pid != m_aPids.rend(); ++pid)
        {
            if (*pid <= 0)
                continue;
            kill(*pid, SIGTERM);
            waitpid(*pid, nullptr, 0);
        }
        std::error_code ec;
        if (!m_sDir.empty())
            std::filesystem::remove_all(m_sDir, ec);
    }
    bool Up() const { return m_bUp; }

private:
    pid_t Start(const std::vector<std::string>& argv)
    {
        const std::string program = (std::filesystem::path(BinDir()) / argv[0]).string();
        const pid_t pid = fork();
        if (pid == 0)
        {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            setenv("KOVE_SIM", m_sDir.c_str(), 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(program.c_str(), args.data());
            _exit(127);
        }
        return pid;
    }
    static bool WaitForPort(uint16_t port)
    {
        for (int i = 0; i < 1000; ++i)
        {
            if (PortListens(port))
                return true;
            usleep(20000);
        }
        return false;
    }

    std::string m_sDir;
    std::vector<pid_t> m_aPids;
    bool m_bUp = false;
};

void BM_PnDiagClients(benchmark::State& state)
{
    if (!PortFree(kHubPort) || !PortFree(kDiagPort))
    {
        state.SkipWithError("port 62000 or 999 is taken: run in a network namespace of its own");
        return;
    }
    CDevice device;
    if (!device.Up())
    {
        state.SkipWithError("the hub or the sniffer driver did not start");
        return;
    }
    const kovebench::SClientTotals totals = kovebench::RunConcurrentClients(
        state, kRequestsPerClient, [](int c, int i) { return Exchange(kCommands[(i + c) % 2]); });
    if (totals.iUnanswered > 0)
    {
        const std::string what = std::to_string(totals.iUnanswered) + " of " +
                                 std::to_string(totals.iRequests) + " requests unanswered";
        state.SkipWithError(what.c_str());
    }
}

BENCHMARK(BM_PnDiagClients)->Arg(1)->Arg(8)->Arg(32)->Arg(128)->UseRealTime()->Iterations(3);
} // namespace
