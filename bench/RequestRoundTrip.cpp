// Round trip of a Ping request over loopback: a qtxtestdriver started on a temporary simulated
// device (every request goes through its request-file ring: the request is written to a file,
// the previous slot checked, the next one prepared, the document parsed and the file sent
// back), next to a bare TCP server in this process that answers the same bytes with nothing in
// between. Both with a new connection per request and on one kept connection.
//
// The driver serves slot 14 (port 62114); the benchmark refuses to run when that port or the
// system driver's port 62000 is taken (it answers the driver's registration itself, and must
// not talk to a hub that is not its own). The driver it starts is always ended: by SIGTERM at
// the end, and by the kernel if this process dies first.
#include <benchmark/benchmark.h>

#include "BenchClients.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using kovebench::Loopback;
constexpr int kDriverSlot = 14;
constexpr uint16_t kDriverPort = 62100 + kDriverSlot;
constexpr uint16_t kHubPort = 62000;

const std::string kRequest = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ping/>";
const std::string kKeepRequest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ping KeepConnection=\"true\"/>";
// The driver answers a Ping with the request and three CR LF pairs.
const std::string kTrailer = "\r\n\r\n\r\n";

// A listening socket on the port (any address when `any`), with address reuse as the driver
// uses it; -1 when the port is taken.
int Listen(uint16_t port, bool any)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback(port);
    if (any)
        a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 16) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

int Connect(uint16_t port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        close(s);
        return -1;
    }
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return s;
}

bool SendAll(int s, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size())
    {
        ssize_t n = send(s, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads `count` bytes, or until the peer closes when count is 0; false on error or short data.
bool Receive(int s, size_t count, std::string& into)
{
    into.clear();
    char buffer[4096];
    while (count == 0 || into.size() < count)
    {
        ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return count == 0 && n == 0;
        into.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// Serves connections one after the other from a thread: each request (known by its length) is
// answered with `reply`; the connection is closed after it unless the request asked to keep it.
class CBareServer
{
public:
    CBareServer(uint16_t port, std::vector<std::pair<std::string, std::string>> answers)
        : m_vAnswers(std::move(answers))
    {
        m_iListener = Listen(port, false);
        if (m_iListener >= 0)
            m_tThread = std::thread([this] { Serve(); });
    }
    ~CBareServer()
    {
        m_bStop = true;
        if (m_iListener >= 0)
        {
            shutdown(m_iListener, SHUT_RDWR);
            m_tThread.join();
            close(m_iListener);
        }
    }
    bool Running() const { return m_iListener >= 0; }
    uint16_t Port() const
    {
        sockaddr_in a{};
        socklen_t length = sizeof a;
        getsockname(m_iListener, reinterpret_cast<sockaddr*>(&a), &length);
        return ntohs(a.sin_port);
    }

private:
    void Serve()
    {
        while (!m_bStop)
        {
            int c = accept4(m_iListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
            {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            int on = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            std::string pending;
            char buffer[4096];
            bool open = true;
            while (open)
            {
                const std::pair<std::string, std::string>* answer = Complete(pending);
                if (answer != nullptr)
                {
                    pending.erase(0, answer->first.size());
                    open = SendAll(c, answer->second) &&
                           answer->first.find("KeepConnection") != std::string::npos;
                    continue;
                }
                ssize_t n = recv(c, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                pending.append(buffer, static_cast<size_t>(n));
            }
            close(c);
        }
    }

    const std::pair<std::string, std::string>* Complete(const std::string& pending) const
    {
        for (const auto& a : m_vAnswers)
            if (pending.size() >= a.first.size() &&
                pending.compare(0, a.first.size(), a.first) == 0)
                return &a;
        return nullptr;
    }

    std::vector<std::pair<std::string, std::string>> m_vAnswers;
    int m_iListener = -1;
    std::thread m_tThread;
    std::atomic<bool> m_bStop{false};
};

// The qtxtestdriver of the benchmark, its simulated device and the hub that takes its
// registration.
class CDriverUnderTest
{
public:
    bool Start(std::string& why)
    {
        int probe = Listen(kDriverPort, true);
        if (probe < 0)
        {
            why = "port " + std::to_string(kDriverPort) + " is taken; not starting a driver on it";
            return false;
        }
        close(probe);
        // The hub answers the driver's registration and removal.
        m_iHub = Listen(kHubPort, false);
        if (m_iHub < 0)
        {
            why = "port " + std::to_string(kHubPort) +
                  " is taken; the driver would register with a hub that is not the benchmark's";
            return false;
        }
        m_tHub = std::thread([this] { ServeHub(); });

        // The device keeps its driver folders ("/Applications/tmp/", "/tmp/") on RAM file
        // systems, so the simulated device goes to /dev/shm where there is one; TMPDIR chooses
        // another place (on a disk file system each request file costs far more).
        const char* base = getenv("TMPDIR");
        struct stat shm;
        const char* fallback =
            stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && access("/dev/shm", W_OK) == 0
                ? "/dev/shm"
                : "/tmp";
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : fallback) + "/kovebench.XXXXXX";
        std::vector<char> directory(pattern.begin(), pattern.end());
        directory.push_back('\0');
        if (mkdtemp(directory.data()) == nullptr)
        {
            why = "no temporary directory in " + pattern;
            return false;
        }
        m_sDevice = directory.data();
        std::filesystem::create_directories(m_sDevice + "/Applications/tmp/Driver/log");

        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0)
        {
            why = "cannot find the program's directory";
            return false;
        }
        self[length] = '\0';
        const std::string program =
            std::filesystem::path(self).parent_path().string() + "/qtxtestdriver";
        const std::string slot = "-Slot=" + std::to_string(kDriverSlot);
        const std::string sim = "KOVE_SIM=" + m_sDevice;
        const std::string output = m_sDevice + "/driver.out";

        const pid_t parent = getpid();
        m_iPid = fork();
        if (m_iPid == 0)
        {
            // The driver ends when the benchmark does, however it ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(127);
            int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0)
            {
                dup2(fd, STDOUT_FILENO);
                dup2(fd, STDERR_FILENO);
            }
            putenv(const_cast<char*>(sim.c_str()));
            execl(program.c_str(), program.c_str(), slot.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (m_iPid < 0)
        {
            why = "fork failed";
            return false;
        }
        for (int i = 0; i < 2000; ++i)
        {
            int status;
            if (waitpid(m_iPid, &status, WNOHANG) == m_iPid)
            {
                m_iPid = -1;
                why = "qtxtestdriver ended at its start (see " + output + ")";
                return false;
            }
            int s = Connect(kDriverPort);
            if (s >= 0)
            {
                close(s);
                return true;
            }
            usleep(10000);
        }
        why = "qtxtestdriver did not open its port";
        return false;
    }

    ~CDriverUnderTest()
    {
        if (m_iPid > 0)
        {
            kill(m_iPid, SIGTERM);
            int status;
            bool ended = false;
            for (int i = 0; i < 500 && !ended; ++i)
            {
                ended = waitpid(m_iPid, &status, WNOHANG) == m_iPid;
                if (!ended)
                    usleep(10000);
            }
            if (!ended)
            {
                kill(m_iPid, SIGKILL);
                waitpid(m_iPid, &status, 0);
            }
        }
        if (m_iHub >= 0)
        {
            m_bStopHub = true;
            shutdown(m_iHub, SHUT_RDWR);
            m_tHub.join();
            close(m_iHub);
        }
        if (!m_sDevice.empty())
        {
            std::error_code ignored;
            std::filesystem::remove_all(m_sDevice, ignored);
        }
    }

private:
    void ServeHub()
    {
        const std::string reply = "<?xml version=\"1.0\"?>\n<Ping/>\r\n\r\n\r\n";
        while (!m_bStopHub)
        {
            int c = accept4(m_iHub, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
            {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            // The driver's messages are one element each, ended by "/>".
            std::string request;
            char buffer[1024];
            pollfd p{c, POLLIN, 0};
            while (request.find("/>") == std::string::npos && poll(&p, 1, 2000) > 0)
            {
                ssize_t n = recv(c, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<size_t>(n));
            }
            SendAll(c, reply);
            close(c);
        }
    }

    int m_iHub = -1;
    std::thread m_tHub;
    std::atomic<bool> m_bStopHub{false};
    std::string m_sDevice;
    pid_t m_iPid = -1;
};

uint16_t g_uBarePort = 0;

void RoundTripsNewConnection(benchmark::State& state, uint16_t port)
{
    std::string reply;
    for (auto _ : state)
    {
        int s = Connect(port);
        if (s < 0 || !SendAll(s, kRequest) || !Receive(s, 0, reply) || reply != kRequest + kTrailer)
        {
            if (s >= 0)
                close(s);
            state.SkipWithError("no answer");
            break;
        }
        close(s);
    }
    state.SetItemsProcessed(state.iterations());
}

void RoundTripsKeptConnection(benchmark::State& state, uint16_t port)
{
    int s = Connect(port);
    if (s < 0)
    {
        state.SkipWithError("no connection");
        return;
    }
    const std::string expected = kKeepRequest + kTrailer;
    std::string reply;
    for (auto _ : state)
    {
        if (!SendAll(s, kKeepRequest) || !Receive(s, expected.size(), reply) || reply != expected)
        {
            state.SkipWithError("no answer");
            break;
        }
    }
    close(s);
    state.SetItemsProcessed(state.iterations());
}

void BM_BareTcp_NewConnection(benchmark::State& state)
{
    RoundTripsNewConnection(state, g_uBarePort);
}
void BM_DriverPing_NewConnection(benchmark::State& state)
{
    RoundTripsNewConnection(state, kDriverPort);
}
void BM_BareTcp_KeepConnection(benchmark::State& state)
{
    RoundTripsKeptConnection(state, g_uBarePort);
}
void BM_DriverPing_KeepConnection(benchmark::State& state)
{
    RoundTripsKeptConnection(state, kDriverPort);
}

// The bare exchange and the driver's in turn within each iteration, so that both see the same
// state of the machine (on a shared host its speed changes from second to second): the ratio
// of the summed times, the driver's over the bare one's, is the figure to look at.
void SideBySide(benchmark::State& state, bool keep)
{
    using Clock = std::chrono::steady_clock;
    int bare = -1;
    int driver = -1;
    if (keep && ((bare = Connect(g_uBarePort)) < 0 || (driver = Connect(kDriverPort)) < 0))
    {
        if (bare >= 0)
            close(bare);
        state.SkipWithError("no connection");
        return;
    }
    const std::string& request = keep ? kKeepRequest : kRequest;
    const std::string expected = request + kTrailer;
    // One request on the kept socket, or on a new connection to the port.
    const auto exchange = [&](int kept, uint16_t port)
    {
        std::string reply;
        if (keep)
            return SendAll(kept, request) && Receive(kept, expected.size(), reply) &&
                   reply == expected;
        const int s = Connect(port);
        const bool ok = s >= 0 && SendAll(s, request) && Receive(s, 0, reply) && reply == expected;
        if (s >= 0)
            close(s);
        return ok;
    };
    Clock::duration bareTime{};
    Clock::duration driverTime{};
    for (auto _ : state)
    {
        const Clock::time_point start = Clock::now();
        const bool bareAnswered = exchange(bare, g_uBarePort);
        const Clock::time_point between = Clock::now();
        const bool driverAnswered = exchange(driver, kDriverPort);
        const Clock::time_point end = Clock::now();
        if (!bareAnswered || !driverAnswered)
        {
            state.SkipWithError("no answer");
            break;
        }
        bareTime += between - start;
        driverTime += end - between;
    }
    if (bare >= 0)
        close(bare);
    if (driver >= 0)
        close(driver);
    const double n = static_cast<double>(state.iterations());
    if (n > 0 && bareTime.count() > 0)
    {
        state.counters["bare_us"] = std::chrono::duration<double, std::micro>(bareTime).count() / n;
        state.counters["driver_us"] =
            std::chrono::duration<double, std::micro>(driverTime).count() / n;
        state.counters["ratio"] = static_cast<double>(driverTime.count()) / bareTime.count();
    }
}
void BM_SideBySide_NewConnection(benchmark::State& state)
{
    SideBySide(state, false);
}
void BM_SideBySide_KeepConnection(benchmark::State& state)
{
    SideBySide(state, true);
}

BENCHMARK(BM_BareTcp_NewConnection)->UseRealTime();
BENCHMARK(BM_DriverPing_NewConnection)->UseRealTime();
BENCHMARK(BM_BareTcp_KeepConnection)->UseRealTime();
BENCHMARK(BM_DriverPing_KeepConnection)->UseRealTime();
BENCHMARK(BM_SideBySide_NewConnection)->UseRealTime();
BENCHMARK(BM_SideBySide_KeepConnection)->UseRealTime();
} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    CBareServer bare(0, {{kRequest, kRequest + kTrailer}, {kKeepRequest, kKeepRequest + kTrailer}});
    if (!bare.Running())
    {
        fprintf(stderr, "RequestRoundTrip: no port for the bare server\n");
        return 1;
    }
    g_uBarePort = bare.Port();

    CDriverUnderTest driver;
    std::string why;
    if (!driver.Start(why))
    {
        fprintf(stderr, "RequestRoundTrip: %s\n", why.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
