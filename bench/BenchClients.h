// What the load benchmarks share: loopback addresses, a look whether a port is free, and
// clients that send requests at once from threads of their own, timed one by one.
#ifndef KOVE_BENCH_CLIENTS_H
#define KOVE_BENCH_CLIENTS_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kovebench
{
inline sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// True when a server could bind the port; connections of an earlier run waiting out their
// time do not count (the drivers bind with SO_REUSEADDR too).
inline bool PortFree(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = Loopback(port);
    const bool free = bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return free;
}

// Requests sent and requests that went unanswered over all iterations.
struct SClientTotals
{
    int64_t iRequests = 0;
    int64_t iUnanswered = 0;
};

// state.range(0) client threads per iteration, each making `perClient` requests one after
// another through `exchange(client, request)` (true when answered). Sets the counters
// requests/s, p50_ms, p99_ms (connect to whole reply) and unanswered.
inline SClientTotals RunConcurrentClients(benchmark::State& state, int perClient,
                                          const std::function<bool(int, int)>& exchange)
{
    using Clock = std::chrono::steady_clock;
    const int clients = static_cast<int>(state.range(0));
    std::vector<double> latencies;
    SClientTotals totals;
    for (auto _ : state)
    {
        std::mutex mutex;
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back(
                [&, c]
                {
                    std::vector<double> mine;
                    int missed = 0;
                    for (int i = 0; i < perClient; ++i)
                    {
                        const auto start = Clock::now();
                        if (!exchange(c, i))
                            ++missed;
                        mine.push_back(
                            std::chrono::duration<double, std::milli>(Clock::now() - start)
                                .count());
                    }
                    std::lock_guard<std::mutex> lock(mutex);
                    latencies.insert(latencies.end(), mine.begin(), mine.end());
                    totals.iUnanswered += missed;
                });
        for (std::thread& t : threads)
            t.join();
        totals.iRequests += static_cast<int64_t>(clients) * perClient;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&](double p) {
        return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * (latencies.size() - 1))];
    };
    state.counters["requests/s"] =
        benchmark::Counter(static_cast<double>(totals.iRequests), benchmark::Counter::kIsRate);
    state.counters["p50_ms"] = percentile(0.50);
    state.counters["p99_ms"] = percentile(0.99);
    state.counters["unanswered"] = static_cast<double>(totals.iUnanswered);
    return totals;
}
} // namespace kovebench

#endif
