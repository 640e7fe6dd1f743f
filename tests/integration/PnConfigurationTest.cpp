// The PROFINET sniffer driver's binary configuration and diagnostic port seen from outside:
// pndriver on a simulated bus-monitor device with a fake hub. A configuration is accepted,
// answered and applied (the image the stand-in controller received, the copy-machine and remap
// words on the FPGA, the routing description); refused ones keep the applied one; the factory
// defaults; the commands of port 999; the routing driver taking the sniffer's description.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FakeHub.h"
#include "KoveTestSupport.h"
#include "PnConfigBuilder.h"
#include "QTXPnDiagFrame.h"
#include "QTXXml.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
constexpr int kPnPort = 62101;
constexpr int kDufPort = 62001;
const std::string kDriverDir = "/Applications/tmp/Driver/pndriver/";

bool FileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

uint16_t U16(const std::string& b, size_t at)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1])
                                                                   << 8);
}

// A binary reply: the configuration's check result, and the count of the reply group of a
// type (-1 when there is none).
int16_t CheckResult(const std::string& reply)
{
    return reply.size() >= 16 + 280 ? static_cast<int16_t>(U16(reply, 16 + 278)) : -32768;
}
int GroupCount(const std::string& reply, uint16_t type)
{
    for (size_t i = 0; i < 16 && reply.size() >= 16 + 8 + 12 * (i + 1); ++i)
        if (U16(reply, 16 + 8 + 12 * i + 4) == type)
            return U16(reply, 16 + 8 + 12 * i + 8);
    return -1;
}

// The configuration most tests apply: a device, a controller, inputs from slot 3 of port 0,
// from memory and from slot 5 of port 1, an output to slot 2.
CPnConfig GoodConfig()
{
    CPnConfig c;
    c.devices = {CPnConfig::DeviceByName("Press-1")};
    c.controllers = {CPnConfig::Controller()};
    c.analogIn = {{kPnType16, 0, 0, 3, 16}, {kPnType32, 2, 1, 0x100 * 8, 0}};
    c.digitalIn = {{0, 1, 0, 5, 3}};
    c.analogOut = {{kPnType16, 0, 0, 2, 0}};
    return c;
}

// A client of the diagnostic port.
class CDiagClient
{
public:
    CDiagClient()
    {
        m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(PNDIAG_PORT);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected =
            m_iSocket >= 0 && connect(m_iSocket, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~CDiagClient()
    {
        if (m_iSocket >= 0)
            close(m_iSocket);
    }
    bool Connected() const { return m_bConnected; }
    bool Send(const std::string& bytes)
    {
        return send(m_iSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // One reply frame; empty when none came in 5 s or the server closed.
    std::string Receive()
    {
        std::string frame;
        size_t want = PNDIAG_HEAD_SIZE;
        while (frame.size() < want)
        {
            pollfd p{m_iSocket, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                return "";
            char buffer[65536];
            const ssize_t n =
                recv(m_iSocket, buffer, std::min(sizeof buffer, want - frame.size()), 0);
            if (n <= 0)
                return "";
            frame.append(buffer, static_cast<size_t>(n));
            if (frame.size() >= PNDIAG_HEAD_SIZE)
                want = U16(frame, 4);
        }
        return frame;
    }
    // True when the server ends the connection (closed or reset) within the time.
    bool Closed(int timeoutMs = 5000)
    {
        pollfd p{m_iSocket, POLLIN, 0};
        char c;
        return poll(&p, 1, timeoutMs) == 1 && recv(m_iSocket, &c, 1, 0) <= 0;
    }

private:
    int m_iSocket = -1;
    bool m_bConnected = false;
};

std::string Frame(uint16_t command, const std::string& payload = "", uint16_t magic = PNDIAG_MAGIC,
                  int length = -1)
{
    std::string f(PNDIAG_HEAD_SIZE, '\0');
    PnDiagHead head;
    head.usMagic = magic;
    head.usCommand = command;
    head.usLength = static_cast<uint16_t>(length >= 0 ? length : PNDIAG_HEAD_SIZE + payload.size());
    PnDiagWriteHead(reinterpret_cast<uint8_t*>(&f[0]), head);
    return f + payload;
}

class PnConfiguration : public testing::Test
{
protected:
    PnConfiguration() : tDevice({"--family", "PNA"})
    {
        tHub.SetReply("GetUserConfig",
                      sXmlStart + "<GetUserConfig Value=\";hex=0x3;SamplingPeriodInUs=10;\" />\n");
        tHub.SetReply("Identify", sXmlStart +
                                      "<System><SystemInfo Name=\"qorKOVE\"/><Modules><Module "
                                      "Name=\"m\"><Port>62101</Port><Status>Running</Status>"
                                      "</Module></Modules></System>\n");
    }
    void SetUp() override { ASSERT_TRUE(tHub.Start()); }
    void Start()
    {
        pDriver = std::make_unique<CTestProcess>(tDevice, "pndriver");
        ASSERT_TRUE(pDriver->WaitForPort(kPnPort)) << pDriver->Output();
        ASSERT_TRUE(pDriver->WaitForPort(PNDIAG_PORT)) << pDriver->Output();
    }
    std::string Send(const std::string& document)
    {
        return SendRequest(kPnPort, document, tDevice.Dir() + "/reply.bin").sText;
    }
    uint32_t Peek(uint32_t address) const
    {
        char text[16];
        snprintf(text, sizeof text, "0x%X", address);
        return static_cast<uint32_t>(std::stoul(tDevice.Tool("peek", {text}), nullptr, 16));
    }
    std::vector<uint32_t> Words(uint32_t address, int count) const
    {
        std::vector<uint32_t> words;
        for (int i = 0; i < count; ++i)
            words.push_back(Peek(address + 4 * i));
        return words;
    }
    std::string Image() const { return ReadFile(tDevice.Dir() + "/dev/pndrv.image"); }
    std::string Description() const { return ReadFile(tDevice.Path(kDriverDir + "ForDUF.xml")); }

    CSimDevice tDevice;
    CFakeHub tHub;
    std::unique_ptr<CTestProcess> pDriver;
};

TEST_F(PnConfiguration, AcceptedConfigurationIsAnsweredAndApplied)
{
    Start();
    tDevice.Tool("pndrv", {"subslots=3"});
    CPnConfig config = GoodConfig();
    config.subslotMarker = true;
    const std::string reply = Send(config.Build());
    ASSERT_GE(reply.size(), 16u + 328u) << pDriver->Output();
    EXPECT_EQ(U16(reply, 6), 0x8101);
    EXPECT_EQ(CheckResult(reply), 0);
    EXPECT_EQ(GroupCount(reply, 0x2111), 3); // the controller's subslots

    // The image the controller received: the device by its name in lower case.
    const std::string image = Image();
    ASSERT_EQ(image.size(), 0x22000u);
    EXPECT_EQ(image.substr(256 + 8, 7), "press-1");
    EXPECT_EQ(image[22], 1);
    EXPECT_EQ(image[23], 1);
    // Copy machine of port 0: the block of slot 3 (bytes 2 and 3); of port 1: slot 5.
    EXPECT_EQ(Words(0x40000, 9),
              (std::vector<uint32_t>{
                  0x10000053, 0x10000030, 0x10000033, 0x10000002, 0x43000000 | (0x10040 + 2048 * 2),
                  0x23000000 | (0x10040 + 2048 * 2), 0x31000002, 0x53000008, 0}));
    EXPECT_EQ(Peek(0x60000 + 4 * 2), 0x10000035u);
    // Inputs: slot data of port 0, memory, a bit of port 1 (port flag in bit 22), the end.
    EXPECT_EQ(Words(0x8000, 4), (std::vector<uint32_t>{0x21000008, 0xB0000100, 0x2B400008, 0}));
    // Output of port 0 into slot 2.
    EXPECT_EQ(Words(0x48000, 6),
              (std::vector<uint32_t>{0, 0x10000020, 0x43000000 | (0x10000 + 2048 + 0x44),
                                     0x31000000, 0x53000000 | (0x10000 + 2048 + 0x48), 0}));
    EXPECT_EQ(Peek(0x201C), 1u);
    // The routing description, and no temporary file left.
    const std::string description = Description();
    EXPECT_EQ(description.compare(0, 6, std::string("<?bin", 6)), 0);
    EXPECT_NE(description.find("DigitalIn"), std::string::npos);
    EXPECT_FALSE(FileExists(tDevice.Path(kDriverDir + "ForDUF.xml.tmp")));

    // The controller reports more subslots than its list holds: the reply takes what fits.
    tDevice.Tool("pndrv", {"subslots=5000"});
    EXPECT_EQ(GroupCount(Send(config.Build()), 0x2111), 1088);
}

TEST_F(PnConfiguration, RefusedConfigurationsKeepTheAppliedOne)
{
    Start();
    const std::string good = GoodConfig().Build();
    ASSERT_EQ(CheckResult(Send(good)), 0);
    const std::string image = Image();
    const std::string description = Description();
    const std::vector<uint32_t> program = Words(0x40000, 8);

    // Groups that reach beyond the data.
    std::string tooLong = good;
    tooLong[16 + 8] = static_cast<char>(tooLong[16 + 8] + 4);
    EXPECT_EQ(CheckResult(Send(tooLong)), -1101);
    // Fewer bytes than a configuration header.
    std::string cut = good.substr(0, 16 + 327);
    cut[12] = static_cast<char>(327);
    cut[13] = static_cast<char>(1);
    cut[14] = cut[15] = 0;
    const std::string shortReply = Send(cut);
    ASSERT_GE(shortReply.size(), 16u);
    EXPECT_EQ(static_cast<int16_t>(U16(shortReply, 8)), -259);
    // An analog input of a type the driver does not take.
    CPnConfig bad = GoodConfig();
    bad.analogIn[1].type = 25;
    const std::string refused = Send(bad.Build());
    EXPECT_EQ(CheckResult(refused), -1001);
    ASSERT_EQ(GroupCount(refused, 0x8002), 2); // the analog inputs' error list
    EXPECT_NE(refused.find("ANALOG_I_ERR"), std::string::npos);
    const size_t codes = refused.find("ANALOG_I_ERR") - 4 + 32;
    EXPECT_EQ(static_cast<int16_t>(U16(refused, codes + 2)), -17000);

    EXPECT_EQ(Image(), image);
    EXPECT_EQ(Description(), description);
    EXPECT_EQ(Words(0x40000, 8), program);
    EXPECT_FALSE(FileExists(tDevice.Path(kDriverDir + "ForDUF.xml.tmp")));
}

// A value of a sniffed slot: `bits` wide at `offset`, of device `device` seen through
// controller `controller` (0: none).
SPnSignal Sniffed(uint16_t slot, uint8_t device, uint8_t controller = 0, uint8_t type = kPnType8,
                  uint16_t offset = 0)
{
    SPnSignal s{type, 2, 0, slot, offset};
    s.byte8 = device;
    s.byte9 = controller;
    return s;
}

// Images the controller cannot take: the reply carries the code, the controller is told to
// write the last configuration with the failing image (its stage and code in the header), and
// the applied configuration stays.
TEST_F(PnConfiguration, FailedImageBuildIsWrittenAsLastConfiguration)
{
    Start();
    ASSERT_EQ(CheckResult(Send(GoodConfig().Build())), 0);
    const std::string applied = Image();
    const std::vector<uint32_t> inputs = Words(0x8000, 4);

    const auto controllers = [](size_t count)
    { return std::vector<std::vector<uint8_t>>(count, CPnConfig::Controller()); };
    struct SCase
    {
        const char* what;
        CPnConfig config;
        uint16_t stage;
        int16_t code;
    };
    std::vector<SCase> cases;
    {
        CPnConfig c; // 64 devices with values: one more than the records hold
        c.devices = CPnConfig::Devices(64);
        for (uint8_t d = 0; d < 64; ++d)
            c.analogIn.push_back(Sniffed(1, d));
        cases.push_back({"64 devices", c, 1, -3102});
    }
    {
        CPnConfig c; // 1025 slots
        c.devices = CPnConfig::Devices(1);
        for (uint16_t slot = 1; slot <= 1025; ++slot)
            c.analogIn.push_back(Sniffed(slot, 0));
        cases.push_back({"1025 I/O records", c, 2, -3104});
    }
    {
        CPnConfig c; // 513 values of 8 bytes: more than 4096 bytes of slot data
        c.devices = CPnConfig::Devices(1);
        c.analogIn.assign(513, Sniffed(1, 0, 0, kPnType64));
        cases.push_back({"slot data", c, 5, -3105});
    }
    {
        CPnConfig c; // one device seen without and through six controllers: 7 relations
        c.devices = CPnConfig::Devices(1);
        c.controllers = controllers(6);
        for (uint8_t n = 0; n <= 6; ++n)
            c.analogIn.push_back(Sniffed(static_cast<uint16_t>(n + 1), 0, n));
        cases.push_back({"7 relations", c, 4, -3106});
    }
    {
        CPnConfig c; // one relation with values of two slots
        c.devices = CPnConfig::Devices(1);
        c.analogIn = {Sniffed(3, 0), Sniffed(3, 0, 0, kPnType8, 8), Sniffed(4, 0)};
        cases.push_back({"second slot of a relation", c, 4, -3107});
    }
    {
        CPnConfig c; // 43 devices through 3 controllers each: 129 relation slots
        c.devices = CPnConfig::Devices(43);
        c.controllers = controllers(3);
        for (uint8_t d = 0; d < 43; ++d)
            for (uint8_t n = 1; n <= 3; ++n)
                c.analogIn.push_back(Sniffed(n, d, n));
        cases.push_back({"129 relation slots", c, 1, -3108});
    }
    {
        CPnConfig c; // one slot of one device through two controllers
        c.devices = CPnConfig::Devices(1);
        c.controllers = controllers(2);
        c.analogIn = {Sniffed(1, 0, 1), Sniffed(1, 0, 2)};
        cases.push_back({"slot index of a kind twice", c, 5, -3111});
    }
    {
        CPnConfig c; // relation figures of 9 devices x 15 controllers: 135 usage records
        c.devices = CPnConfig::Devices(9);
        c.controllers = controllers(15);
        for (uint8_t d = 0; d < 9; ++d)
            for (uint8_t n = 1; n <= 15; ++n)
            {
                SPnSignal figure{kPnType32, 2, 2, 0, 0x30A0};
                figure.byte8 = d;
                figure.byte9 = n;
                c.analogIn.push_back(figure);
            }
        cases.push_back({"135 relation usages", c, 7, -3113});
    }

    for (const SCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        unlink(tDevice.Path("/dev/pndrv.last-image").c_str());
        EXPECT_EQ(CheckResult(Send(c.config.Build())), c.code) << pDriver->Output();
        const std::string last = ReadFile(tDevice.Dir() + "/dev/pndrv.last-image");
        ASSERT_EQ(last.size(), 0x22000u);
        EXPECT_EQ(U16(last, 52), c.stage);
        EXPECT_EQ(static_cast<int16_t>(U16(last, 58)), c.code);
        EXPECT_EQ(Image(), applied);
        EXPECT_EQ(Words(0x8000, 4), inputs);
    }
    // One write of the last configuration per failed build, none for the accepted one.
    size_t writes = 0;
    for (size_t at = 0; (at = ReadFile(tDevice.Dir() + "/dev/pndrv.log").find("0xC0046933", at)) !=
                        std::string::npos;
         ++at)
        ++writes;
    EXPECT_EQ(writes, cases.size());
}

// The relation slots of the devices, counted by the kind of their I/O records: inputs and
// output values of one slot share a relation; a second device adds its own.
TEST_F(PnConfiguration, ImageCountsRelationSlotsByKind)
{
    Start();
    CPnConfig c;
    c.devices = CPnConfig::Devices(2);
    c.controllers = {CPnConfig::Controller()};
    SPnSignal output = Sniffed(3, 0, 1, kPnType8, 8);
    output.flag = true;
    c.analogIn = {Sniffed(3, 0, 1), output, Sniffed(3, 0, 1, kPnType8, 16), Sniffed(7, 1)};
    ASSERT_EQ(CheckResult(Send(c.Build())), 0) << pDriver->Output();
    const std::string image = Image();
    ASSERT_EQ(image.size(), 0x22000u);
    EXPECT_EQ(U16(image, 28), 2); // device-number records
    EXPECT_EQ(U16(image, 32), 0); // no I/O records of kind 0 or 2
    EXPECT_EQ(U16(image, 34), 1); // output values (bits 4 and 6 of the flags)
    EXPECT_EQ(U16(image, 36), 0);
    EXPECT_EQ(U16(image, 38), 2); // input values of both devices (bits 4 and 5)
    EXPECT_EQ(U16(image, 46), 3);
}

// Relation figures of two devices through three controllers, made in mixed order (the signal
// records go by device, then controller): the relation-usage records are numbered inputs first,
// then outputs, then relations with nothing but their connection state. A connection state goes
// with its relation's input record, else its output record.
TEST_F(PnConfiguration, RelationUsagesAreNumberedInputsOutputsThenConnections)
{
    Start();
    CPnConfig c;
    c.devices = CPnConfig::Devices(2);
    c.controllers = std::vector<std::vector<uint8_t>>(3, CPnConfig::Controller());
    const auto figure = [](uint16_t id, uint8_t device, uint8_t controller)
    {
        SPnSignal s{id == 0x34A0 ? uint8_t{0} : kPnType32, 2, 2, 0, id};
        s.byte8 = device;
        s.byte9 = controller;
        return s;
    };
    // 0x30A0 and 0x30A2 are input figures, 0x30A1 and 0x30A3 output figures, 0x34A0 the state.
    c.analogIn = {figure(0x30A1, 0, 1), figure(0x30A0, 0, 2), figure(0x30A2, 1, 1),
                  figure(0x30A3, 1, 2)};
    c.digitalIn = {figure(0x34A0, 0, 3), figure(0x34A0, 1, 2)};
    ASSERT_EQ(CheckResult(Send(c.Build())), 0) << pDriver->Output();
    const std::string image = Image();
    ASSERT_EQ(image.size(), 0x22000u);

    // The records: device, controller, use (0 input, 1 output, 2 connection only), number.
    ASSERT_EQ(image[44], 5);
    const std::vector<std::vector<int>> records = {
        {0, 2, 0, 0}, {1, 1, 0, 1}, {0, 1, 1, 2}, {1, 2, 1, 3}, {0, 3, 2, 4}};
    for (size_t n = 0; n < records.size(); ++n)
        for (size_t b = 0; b < 4; ++b)
            EXPECT_EQ(static_cast<uint8_t>(image[22528 + 4 * n + b]), records[n][b])
                << "record " << n << " byte " << b;

    // Each figure names its record: by device, controller, class and output flag.
    std::map<std::vector<int>, int> numbers;
    for (size_t i = 0; i < U16(image, 16); ++i)
    {
        const std::string r = image.substr(24576 + 16 * i, 16);
        if ((static_cast<uint8_t>(r[9]) & 0x80) != 0)
            numbers[{r[8], r[4], r[5], r[2]}] = U16(r, 14);
    }
    const std::map<std::vector<int>, int> expected = {{{0, 1, 3, 1}, 2}, {{0, 2, 3, 0}, 0},
                                                      {{0, 3, 4, 0}, 4}, {{1, 1, 3, 0}, 1},
                                                      {{1, 2, 3, 1}, 3}, {{1, 2, 4, 0}, 3}};
    EXPECT_EQ(numbers, expected);
}

TEST_F(PnConfiguration, StoredConfigurationIsTakenAgainAtStart)
{
    Start();
    ASSERT_EQ(CheckResult(Send(GoodConfig().Build())), 0);
    const CReply end = SendRequest(
        kPnPort,
        sXmlStart +
            "<Debug><Properties><Property Name=\"EndDriver\" Value=\"\"/></Properties></Debug>\n",
        tDevice.Dir() + "/end.xml");
    EXPECT_TRUE(end.Has("UserBreak")) << end.sText;
    pDriver->WaitExit();
    // What the controller and the routing driver had is gone; the next start brings it back.
    unlink(tDevice.Path("/dev/pndrv.image").c_str());
    unlink(tDevice.Path(kDriverDir + "ForDUF.xml").c_str());
    tDevice.Tool("poke", {"0x8000", "0"});
    Start();
    EXPECT_EQ(Image().substr(256 + 8, 7), "press-1");
    EXPECT_EQ(Peek(0x8000), 0x21000008u);
    EXPECT_NE(Description().find("AnalogIn"), std::string::npos);
}

TEST_F(PnConfiguration, FactorySettingsTakeTheFactoryDefaultFiles)
{
    Start();
    ASSERT_EQ(CheckResult(Send(GoodConfig().Build())), 0);
    EXPECT_NE(Peek(0x8000), 0u);
    EXPECT_FALSE(Send(sXmlStart + "<FactorySettings />\n").empty());
    // The empty factory configuration is applied: no inputs, the sniffer reset after it.
    EXPECT_EQ(Peek(0x8000), 0u);
    EXPECT_EQ(Image()[22], 0);
    EXPECT_NE(tDevice.Tool("pndrv").find("last-reset=36\n"), std::string::npos);
}

TEST_F(PnConfiguration, DiagnosticPortAnswersItsCommands)
{
    Start();
    ASSERT_EQ(CheckResult(Send(GoodConfig().Build())), 0);
    tDevice.Tool("pndrv", {"devices=30"});
    CDiagClient client;
    ASSERT_TRUE(client.Connected());

    // Unknown command: result 2, no payload.
    ASSERT_TRUE(client.Send(Frame(55)));
    EXPECT_EQ(client.Receive(), Frame(55).substr(0, 6) + std::string("\x02\x00", 2));

    // Module information, sent in two pieces.
    const std::string info = Frame(50);
    ASSERT_TRUE(client.Send(info.substr(0, 3)));
    usleep(100000);
    ASSERT_TRUE(client.Send(info.substr(3)));
    std::string reply = client.Receive();
    ASSERT_EQ(reply.size(), 8u + 126u);
    EXPECT_EQ(U16(reply, 6), 0);
    EXPECT_EQ(U16(reply, 8 + 36), 1);
    EXPECT_EQ(U16(reply, 8 + 38), 1024);
    EXPECT_EQ(U16(reply, 8 + 40), 2); // analog inputs
    EXPECT_EQ(U16(reply, 8 + 44), 1); // digital inputs
    EXPECT_EQ(U16(reply, 8 + 48), 1); // outputs

    // Device list with room asked for 10 of 30 devices: cut short, 10 entries.
    std::string request(16, '\0');
    request[6] = 10;
    ASSERT_TRUE(client.Send(Frame(61, request)));
    reply = client.Receive();
    EXPECT_EQ(U16(reply, 6), 22);
    EXPECT_EQ(reply.size(), 8u + 32u + 480u);

    // Payloads too short; a controller command; a refused controller request.
    for (uint16_t command : {53, 54, 61, 63, 64, 69})
    {
        ASSERT_TRUE(client.Send(Frame(command, "ab")));
        EXPECT_EQ(U16(client.Receive(), 6), 4) << command;
    }
    ASSERT_TRUE(client.Send(Frame(53, std::string("\x23\0\0\0", 4))));
    EXPECT_EQ(U16(client.Receive(), 6), 0);
    EXPECT_NE(tDevice.Tool("pndrv").find("last-reset=35\n"), std::string::npos);
    std::string controllerRequest(1400, '\0');
    controllerRequest[4] = 2;
    controllerRequest[264] = 1;
    ASSERT_TRUE(client.Send(Frame(54, controllerRequest)));
    reply = client.Receive();
    EXPECT_EQ(U16(reply, 6), 23);
    EXPECT_EQ(reply.size(), 8u);

    // Device overview of port 0: the station's hardware address from the controller's memory.
    tDevice.Tool("poke", {"0x2021160", "0x563412AB"});
    ASSERT_TRUE(client.Send(Frame(51)));
    reply = client.Receive();
    EXPECT_EQ(U16(reply, 6), 0);
    ASSERT_EQ(reply.size(), 8u + 512u);
    EXPECT_EQ(reply.substr(8, 4), std::string("\xAB\x12\x34\x56", 4));

    // Overview of port 1, controller state, device and relation details, relation data.
    const struct
    {
        uint16_t command;
        size_t payload;
        size_t reply;
    } details[] = {{52, 0, 512}, {68, 0, 512}, {63, 20, 512}, {64, 20, 640}, {69, 20, 64}};
    for (const auto& d : details)
    {
        ASSERT_TRUE(client.Send(Frame(d.command, std::string(d.payload, '\0'))));
        reply = client.Receive();
        EXPECT_EQ(U16(reply, 6), 0) << d.command;
        EXPECT_EQ(reply.size(), 8u + d.reply) << d.command;
    }
    // A controller that has no such device: "not available".
    tDevice.Tool("pndrv", {"answer=10"});
    ASSERT_TRUE(client.Send(Frame(63, std::string(20, '\0'))));
    EXPECT_EQ(U16(client.Receive(), 6), 21);

    // A bad magic and a frame shorter than its head end the connection; the port serves on.
    ASSERT_TRUE(client.Send(Frame(50, "", 0x1234)));
    EXPECT_TRUE(client.Closed());
    CDiagClient second;
    ASSERT_TRUE(second.Send(Frame(50, "", PNDIAG_MAGIC, 4)));
    EXPECT_TRUE(second.Closed());
    CDiagClient third;
    ASSERT_TRUE(third.Send(Frame(50)));
    EXPECT_EQ(third.Receive().size(), 8u + 126u);
}

TEST_F(PnConfiguration, DiagnosticPortDropsASilentClient)
{
    Start();
    CDiagClient silent;
    ASSERT_TRUE(silent.Connected());
    ASSERT_TRUE(silent.Send(Frame(68)));
    ASSERT_FALSE(silent.Receive().empty());
    // 10 s after its last reply the server lets it go.
    EXPECT_TRUE(silent.Closed(20000));
}

TEST_F(PnConfiguration, RoutingDriverTakesTheSniffersDescription)
{
    Start();
    ASSERT_EQ(CheckResult(Send(GoodConfig().Build())), 0);
    CTestProcess duf(tDevice, "dufdriver");
    ASSERT_TRUE(duf.WaitForPort(kDufPort)) << duf.Output();

    const std::string routing =
        sXmlStart +
        "<Module Name=\"DUF\"><Properties><Property Name=\"Target\" Value=\"FiberOptic\"/>"
        "</Properties><Signals Name=\"AnalogIn\" ModuleSlot=\"1\"><NumberOfSignals><Value>2"
        "</Value></NumberOfSignals><Signal Number=\"0\"><Properties/></Signal><Signal "
        "Number=\"1\"><Properties/></Signal></Signals><Signals Name=\"DigitalIn\" "
        "ModuleSlot=\"1\"><NumberOfSignals><Value>1</Value></NumberOfSignals><Signal "
        "Number=\"0\"><Properties/></Signal></Signals></Module>\n";
    const CReply reply = SendRequest(kDufPort, routing, tDevice.Dir() + "/routing.xml");
    ASSERT_EQ(reply.sRoot, "Module") << duf.Output();
    EXPECT_FALSE(reply.Has("<Error ")) << reply.sText;
    EXPECT_TRUE(reply.Has("Name=\"VraType\" Value=\"INT\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Name=\"VraType\" Value=\"DINT\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Name=\"VraType\" Value=\"Digital\"")) << reply.sText;
    // The digital input lies behind the 2 + 4 analog bytes.
    EXPECT_TRUE(reply.Has("Name=\"Offset\" Value=\"48\"")) << reply.sText;
}
} // namespace
