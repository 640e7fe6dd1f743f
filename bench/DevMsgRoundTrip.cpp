// Round trip of one framed request and its reply through the device-message service in this
// process, next to a bare loopback exchange of the same bytes (a plain TCP server thread that
// reads the request and writes the prepared reply, nothing in between). Both on one kept
// connection, with TCP_NODELAY on the client.
//
// The argument is the request's data size: 0 is the built-in trace-size command (3), larger
// sizes go to an echo handler whose reply carries the data back. The service and the bare
// server listen on ports the kernel picks; each run starts them and stops them again.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "DevMsg.h"
#include "nyDebug.h"

namespace
{
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kEchoCommand = 300;

uint32_t Echo(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record)
{
    if (command != kEchoCommand)
        return DEVMSG_NOT_HANDLED;
    uint32_t length = 0;
    const uint8_t* request = DevMsgGetRequest(record, &length);
    // Request and reply data share their place in the block: the echo is already there.
    uint8_t* reply = DevMsgReserveReply(record, length, 0);
    if (reply == nullptr)
        return KESTREL_NO_MEMORY;
    if (reply != request)
        memmove(reply, request, length);
    return 0;
}

void PutFrameHead(Bytes& out, size_t length)
{
    out.insert(out.end(), {'S', 'i', 0, 0});
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(length >> (8 * i)));
}

// The request frame and the reply frame the service gives for it.
void MakeExchange(size_t dataSize, Bytes& request, Bytes& reply)
{
    const uint16_t command = dataSize == 0 ? DEVMSG_CMD_TRACE_SIZE : kEchoCommand;
    Bytes data(dataSize);
    for (size_t i = 0; i < dataSize; ++i)
        data[i] = static_cast<uint8_t>(i);
    request.clear();
    PutFrameHead(request, 4 + dataSize);
    const uint8_t head[4] = {static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8), 0,
                             0};
    request.insert(request.end(), head, head + 4);
    request.insert(request.end(), data.begin(), data.end());
    reply.clear();
    if (dataSize == 0)
    {
        PutFrameHead(reply, 6);
        const uint16_t size = nyDebugGetSize();
        reply.insert(reply.end(), head, head + 4);
        reply.insert(reply.end(), {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)});
    }
    else
    {
        PutFrameHead(reply, 4 + dataSize);
        reply.insert(reply.end(), head, head + 4);
        reply.insert(reply.end(), data.begin(), data.end());
    }
}

bool WriteAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0)
    {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size)
{
    while (size > 0)
    {
        const ssize_t n = recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void NoDelay(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int ConnectLoopback(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        close(fd);
        return -1;
    }
    NoDelay(fd);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// Sends the request and reads the whole reply, iteration by iteration.
void RunExchanges(benchmark::State& state, int fd, const Bytes& request, const Bytes& reply)
{
    Bytes got(reply.size());
    for (auto _ : state)
    {
        if (!WriteAll(fd, request.data(), request.size()) || !ReadAll(fd, got.data(), got.size()))
        {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    if (got != reply)
        state.SkipWithError("unexpected reply");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(request.size() + reply.size()));
}

void BM_DevMsgService(benchmark::State& state)
{
    nyDebugInit(0, 8160, nullptr);
    Bytes request;
    Bytes reply;
    MakeExchange(static_cast<size_t>(state.range(0)), request, reply);

    DevMsgServiceDescriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    descriptor.usThreads = 1;
    descriptor.uFlags = DEVMSG_FLAG_HANDLERS;
    descriptor.pfnHandler = Echo;
    if (DevMsgServiceStart(&descriptor) != 0)
    {
        state.SkipWithError("the service does not start");
        DevMsgServiceStop();
        return;
    }
    const int fd = ConnectLoopback(descriptor.usPort);
    uint8_t greeting[8];
    if (fd < 0 || !ReadAll(fd, greeting, sizeof greeting))
        state.SkipWithError("no greeting");
    else
        RunExchanges(state, fd, request, reply);
    if (fd >= 0)
        close(fd);
    DevMsgServiceStop();
}

void BM_BareLoopback(benchmark::State& state)
{
    Bytes request;
    Bytes reply;
    nyDebugInit(0, 8160, nullptr);
    MakeExchange(static_cast<size_t>(state.range(0)), request, reply);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    {
        close(listener);
        state.SkipWithError("no listening socket");
        return;
    }
    // The server answers every request with the reply until the client closes.
    std::thread server(
        [&]
        {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            NoDelay(fd);
            Bytes got(request.size());
            while (ReadAll(fd, got.data(), got.size()) && WriteAll(fd, reply.data(), reply.size()))
            {
            }
            close(fd);
        });
    const int fd = ConnectLoopback(ntohs(a.sin_port));
    if (fd < 0)
        state.SkipWithError("no connection");
    else
        RunExchanges(state, fd, request, reply);
    if (fd >= 0)
        close(fd);
    shutdown(listener, SHUT_RDWR); // wakes an accept that never got its client
    server.join();
    close(listener);
}

BENCHMARK(BM_DevMsgService)->Arg(0)->Arg(64)->Arg(1024)->Arg(4096)->UseRealTime();
BENCHMARK(BM_BareLoopback)->Arg(0)->Arg(64)->Arg(1024)->Arg(4096)->UseRealTime();
} // namespace
