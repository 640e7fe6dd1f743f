// Binary requests to a running driver: qtxtestdriver on a simulated device, spoken to over
// loopback like a client of the device. The driver is started with -Startup=binary, where it
// takes binary configurations (at most 2 in the count byte) and refuses every AnalogIn entry
// (group type 2, entries of 4 bytes) whose value is above 1000 with the entry error -1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "FakeHub.h"
#include "KoveTestSupport.h"

using namespace kovetest;

namespace
{

using Bytes = std::vector<unsigned char>;

constexpr int kPort = 62103;

void PutU16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void PutU32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t GetU32(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// A binary document: the 16-byte head (label, tag, error number, payload length) and payload.
Bytes Document(uint16_t tag, int16_t error, const Bytes& payload)
{
    Bytes d(16 + payload.size(), 0);
    std::memcpy(d.data(), "<?bin", 6);
    PutU16(d, 6, tag);
    PutU16(d, 8, static_cast<uint16_t>(error));
    PutU32(d, 12, static_cast<uint32_t>(payload.size()));
    for (size_t i = 0; i < payload.size(); ++i)
        d[16 + i] = payload[i];
    return d;
}

// One client connection to the driver.
class CClient
{
public:
    explicit CClient(int port)
    {
        m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected =
            m_iSocket >= 0 && connect(m_iSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~CClient()
    {
        if (m_iSocket >= 0)
            close(m_iSocket);
    }
    bool Connected() const { return m_bConnected; }

    bool Send(const Bytes& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size())
        {
            ssize_t n = send(m_iSocket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // The next binary document of the stream: the line ends that may trail a previous reply
    // are stepped over; anything else before the label is a fault. Empty when the connection
    // ends or nothing whole comes within the deadline.
    Bytes ReadDocument(std::chrono::milliseconds timeout = std::chrono::seconds(15))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;)
        {
            while (!m_vPending.empty() && (m_vPending[0] == '\r' || m_vPending[0] == '\n'))
                m_vPending.erase(m_vPending.begin());
            if (!m_vPending.empty() && m_vPending[0] != '<')
            {
                ADD_FAILURE() << "unexpected byte " << int(m_vPending[0]) << " before a reply";
                return {};
            }
            if (m_vPending.size() >= 16)
            {
                const uint64_t whole = 16 + uint64_t{GetU32(m_vPending, 12)};
                if (m_vPending.size() >= whole)
                {
                    Bytes document(m_vPending.begin(), m_vPending.begin() + whole);
                    m_vPending.erase(m_vPending.begin(), m_vPending.begin() + whole);
                    return document;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return {};
            pollfd p{m_iSocket, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return {};
            unsigned char buffer[4096];
            ssize_t n = recv(m_iSocket, buffer, sizeof buffer, 0);
            if (n <= 0)
                return {};
            m_vPending.insert(m_vPending.end(), buffer, buffer + n);
        }
    }

private:
    int m_iSocket = -1;
    bool m_bConnected = false;
    Bytes m_vPending;
};

class BinaryRequest : public testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(tDevice.Path("/Applications/tmp/Driver/log"));
        // The driver registers with the system driver before it serves.
        ASSERT_TRUE(tHub.Start());
        pDriver = std::make_unique<CTestProcess>(
            tDevice, "qtxtestdriver",
            std::vector<std::string>{"-Dir=" + tDevice.Dir() + "/drv", "-Slot=3",
                                     "-Startup=binary"});
        ASSERT_TRUE(pDriver->WaitForPort(kPort)) << pDriver->Output();
    }

    CSimDevice tDevice;
    CFakeHub tHub;
    std::unique_ptr<CTestProcess> pDriver;
};

// A configuration request: count 1, application word 0x0102, AnalogIn values 5, 2000, 7 in
// group 0 and two DigitalIn bytes in group 1, an application block of 1..48.
Bytes ConfigurationRequest()
{
    Bytes c(328, 0);
    c[0] = 1;
    PutU16(c, 2, 0x0102);
    auto descriptor =
        [&](int index, uint32_t size, uint16_t type, uint16_t entrySize, uint16_t count)
    {
        PutU32(c, 8 + index * 12, size);
        PutU16(c, 8 + index * 12 + 4, type);
        PutU16(c, 8 + index * 12 + 6, entrySize);
        PutU16(c, 8 + index * 12 + 8, count);
    };
    descriptor(0, 44, 2, 4, 3);
    descriptor(1, 36, 4, 1, 2);
    for (int i = 0; i < 48; ++i)
        c[280 + i] = static_cast<unsigned char>(i + 1);
    auto block = [&](const char* label, const Bytes& entries, size_t size)
    {
        Bytes b(size, 0);
        std::memcpy(b.data(), label, 4);
        std::memcpy(b.data() + 4, "Inputs", 6);
        std::copy(entries.begin(), entries.end(), b.begin() + 32);
        c.insert(c.end(), b.begin(), b.end());
    };
    block("GR00", {5, 0, 0, 0, 0xD0, 0x07, 0, 0, 7, 0, 0, 0}, 44);
    block("GR01", {1, 0}, 36);
    return Document(0x101, 0, c);
}

// The full reply to that request: the request's descriptors without sizes, the application
// word and block, then what the driver found. Accepted by the first check, the driver took
// the AnalogIn group (status 1) and refused its second entry: check result 0 and the entry
// error list {0, -1, 0} in group 0. Refused for its count, the count byte is the maximum, the
// check result -1105 and there is no list.
Bytes ConfigurationReply(bool countRefused)
{
    Bytes c(328, 0);
    PutU16(c, 2, 0x0102);
    if (countRefused)
    {
        c[0] = 2;
        PutU16(c, 8 + 4, 2);
        PutU16(c, 8 + 6, 4);
        PutU16(c, 8 + 8, 3);
        PutU16(c, 278, static_cast<uint16_t>(-1105));
    }
    else
    {
        PutU32(c, 8, 40);
        PutU16(c, 8 + 4, 0x8002);
        PutU16(c, 8 + 6, 2);
        PutU16(c, 8 + 8, 3);
        c[8 + 10] = 1;
    }
    PutU16(c, 20 + 4, 4);
    PutU16(c, 20 + 6, 1);
    PutU16(c, 20 + 8, 2);
    for (int i = 0; i < 48; ++i)
        c[280 + i] = static_cast<unsigned char>(i + 1);
    if (!countRefused)
    {
        Bytes list(40, 0);
        std::memcpy(list.data(), "GR00ANALOG_I_ERR               ", 31);
        PutU16(list, 34, 0xFFFF);
        c.insert(c.end(), list.begin(), list.end());
    }
    return Document(0x8101, 0, c);
}

TEST_F(BinaryRequest, RepliesOnOneKeptConnection)
{
    CClient client(kPort);
    ASSERT_TRUE(client.Connected());

    // Requests the framework does not serve in binary form, and a tag that goes to the
    // driver's own handler, get the bare reply with -256; the connection stays open.
    const struct
    {
        const char* what;
        uint16_t tag;
        Bytes payload;
    } refused[] = {
        {"Ping", 3, {}},
        {"Lock with a payload", 512, {1, 2, 3, 4, 5}},
        {"RegisterModule", 20, {}},
    };
    for (const auto& r : refused)
    {
        SCOPED_TRACE(r.what);
        ASSERT_TRUE(client.Send(Document(r.tag, 0, r.payload)));
        ASSERT_EQ(client.ReadDocument(), Document(static_cast<uint16_t>(0x8000 | r.tag), -256, {}))
            << pDriver->Output();
    }
}

TEST_F(BinaryRequest, ConfigurationsGetTheFullReplyWithTheirFindings)
{
    CClient client(kPort);
    ASSERT_TRUE(client.Connected());

    // A configuration with a refused entry gets the full reply with its entry error list.
    ASSERT_TRUE(client.Send(ConfigurationRequest()));
    const Bytes reply = client.ReadDocument();
    ASSERT_NE(reply, Document(0x8101, -256, {}))
        << "qtxtestdriver does not take binary configurations (-Startup=binary)";
    EXPECT_EQ(reply, ConfigurationReply(false)) << pDriver->Output();

    // One whose count byte exceeds the driver's maximum is answered without reading a group,
    // on the same connection.
    Bytes request = ConfigurationRequest();
    request[16] = 3;
    ASSERT_TRUE(client.Send(request));
    EXPECT_EQ(client.ReadDocument(), ConfigurationReply(true)) << pDriver->Output();
}

} // namespace
