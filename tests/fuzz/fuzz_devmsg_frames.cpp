// Fuzz target: the reader of framed device-message streams, as a debug or remote-access client
// sends them ("Si", flag byte, 0, u32 little-endian payload length, payload).
//
// Input: byte 0 chooses the receive buffer's size, byte 1 whether a receive waits for whole
// messages; the rest is the stream, written into a socket pair whose sending side is then shut.
// The reader is called again and again, as the service's frame loop calls it, and its
// deliveries are checked against a plain model of the framing: the payload bytes that come out
// are exactly those of the frames in the stream, in order, up to the first frame that is not
// ours or ends early; a message counts as whole only at the end of a frame without the "more"
// flag; nothing is written beyond the buffer.
#include "FuzzSupport.h"
#include "NySocInternal.h"

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <sys/socket.h>
#include <vector>

using kovefuzz::Fail;

namespace
{
uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// What the stream holds: the payload of every frame in order, and the positions in it where a
// message ends. Empty frames (greetings) carry nothing and end nothing.
struct Model
{
    std::vector<uint8_t> payload;
    std::set<size_t> messageEnds;
};

Model Frames(const uint8_t* data, size_t size)
{
    Model model;
    size_t at = 0;
    while (size - at >= NYSOC_FRAME_HEADER_SIZE)
    {
        const uint8_t* head = data + at;
        const uint32_t length = Le32(head + 4);
        if (head[0] != 'S' || head[1] != 'i' || length > NYSOC_FRAME_MAX_PAYLOAD)
            break;
        at += NYSOC_FRAME_HEADER_SIZE;
        const size_t take = length < size - at ? length : size - at;
        model.payload.insert(model.payload.end(), data + at, data + at + take);
        at += take;
        if (take < length)
            break;
        if (length != 0 && !(head[2] & NYSOC_FRAME_FLAG_MORE))
            model.messageEnds.insert(model.payload.size());
    }
    return model;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint32_t capacity = 1 + (static_cast<uint32_t>(data[0]) * 97u) % 9000u;
    const bool whole = (data[1] & 1) != 0;
    data += 2;
    size -= 2;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        Fail("socketpair");
    int room = 1 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    // What the socket takes is the stream; the rest of the input is cut off.
    size_t written = 0;
    while (written < size)
    {
        const ssize_t n = send(pair[0], data + written, size - written, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    shutdown(pair[0], SHUT_WR);
    const Model model = Frames(data, written);

    std::vector<uint8_t> block(NYSOC_DESCRIPTOR_HEAD_SIZE + capacity + 1, 0xA5);
    auto* d = reinterpret_cast<NySocFrameDescriptor*>(block.data());
    nysoc::Reassembly state{};
    std::vector<uint8_t> delivered;
    for (int call = 0; call < 100000; ++call)
    {
        d->uHandle = 1;
        d->uFlags = whole ? NYSOC_FRAME_WHOLE : 0;
        d->uCapacity = capacity;
        d->uLength = 0;
        const nysoc::Outcome outcome = nysoc::ReceiveFrames(pair[1], d, &state, 0, nullptr, 0);
        if (d->uLength > capacity)
            Fail("the reader said it filled more than the buffer");
        if (block.back() != 0xA5)
            Fail("the reader wrote beyond the buffer");
        delivered.insert(delivered.end(), d->aucPayload, d->aucPayload + d->uLength);
        if (delivered.size() > model.payload.size() ||
            !std::equal(delivered.begin(), delivered.end(), model.payload.begin()))
            Fail("delivered bytes are not the frames' payload");
        if (outcome.iStatus == 0 && model.messageEnds.count(delivered.size()) == 0)
            Fail("a message was reported whole where none ends");
        if (outcome.bDrop)
            break;
    }
    if (delivered.size() != model.payload.size())
        Fail("payload of the stream was lost");
    close(pair[0]);
    close(pair[1]);
    return 0;
}
