// qtx as the technician runs it: exit statuses, conversions, file tools, and the network
// actions against the real hub and against small peers of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sys/socket.h>
#include <thread>

#include "KoveTestSupport.h"
#include "QtxRun.h"
#include "QTXBinConfig.h"
#include "QTXCommunication.h"
#include "QTXFlashRecord.h"

using namespace kovetest;

namespace
{
void Write(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

std::string FlashRecord(const char* tag, const std::string& data)
{
    unsigned char head[QTX_FLASH_RECORD_HEAD_BYTES];
    EncodeFlashRecordHead(tag, static_cast<uint32_t>(data.size()), head);
    return std::string(reinterpret_cast<char*>(head), sizeof head) + data;
}

// A TCP peer on a port of the kernel's choice that answers one connection: it reads `expect`
// bytes and sends `answer`.
class CPeer
{
public:
    CPeer(size_t expect, std::string answer)
    {
        EXPECT_TRUE(tServer.OpenServerSocket(0, true));
        tThread = std::thread(
            [this, expect, answer]
            {
                if (!tServer.WaitForConnection())
                    return;
                std::string got(expect, '\0');
                int n = expect ? tServer.ReceiveBuffer(&got[0], static_cast<int>(expect), true) : 0;
                sReceived = got.substr(0, n > 0 ? static_cast<size_t>(n) : 0);
                tServer.SendBuffer(answer.data(), static_cast<int>(answer.size()));
                // The answer is all there is. Closing with unread bytes would reset the
                // connection and could lose the answer: wait until qtx has closed.
                ::shutdown(tServer.GetSocket(), SHUT_WR);
                char c;
                while (tServer.ReceiveBuffer(&c, 1, true) == 1)
                {
                }
                tServer.Close();
            });
    }
    ~CPeer()
    {
        // A connection of our own ends the wait of a peer that qtx never reached.
        CQTXCommunication wake;
        wake.Open(Target());
        tThread.join();
        tServer.CloseServerSocket();
    }
    std::string Target() const { return "127.0.0.1:" + std::to_string(tServer.GetServerPort()); }
    std::string sReceived;

private:
    CQTXCommunication tServer;
    std::thread tThread;
};

// True once a UDP socket of this network namespace is bound to the port.
bool UdpPortBound(int port)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X ", port);
    return ReadFile("/proc/net/udp").find(hex) != std::string::npos;
}

class QtxFiles : public testing::Test
{
protected:
    std::string Path(const std::string& name) const { return tDir.Path() + "/" + name; }
    CTempDir tDir;
};
} // namespace

TEST(Qtx, UsageAndExitStatuses)
{
    CRun usage = Qtx({});
    EXPECT_EQ(usage.iStatus, 1);
    EXPECT_TRUE(usage.Has("Syntax: ")) << usage.sOut;
    EXPECT_TRUE(usage.Has("*** SW tools ***"));

    // Asked for, the usage is the result.
    for (const char* help : {"--help", "-h"})
    {
        CRun run = Qtx({help});
        EXPECT_EQ(run.iStatus, 0) << help;
        EXPECT_EQ(run.sOut, usage.sOut) << help;
        EXPECT_EQ(run.sErr, "") << help;
    }

    // Every refusal and failure is said on standard error only.
    const struct
    {
        std::vector<std::string> args;
        int status;
        const char* text;
    } cases[] = {
        {{"NoSuchAction"},
         3,
         "ERROR: Wrong action or wrong number of parameter for the selected action\n"},
        {{"MemTest", "0", "4"}, 3, "ERROR: Wrong action"},
        {{"MemTest", "0", "4", "1", "2"}, 3, "ERROR: Wrong action"},
        {{"GenLpFilter", "a", "b", "c", "d", "e", "f"}, 3, "ERROR: Wrong action"},
        {{"FloatToHex"}, 3, "ERROR: Wrong action"},
        // Nobody listens: the channel cannot be opened.
        {{"127.0.0.1:1", "XML", "x.xml"}, 2, "ERROR: Can not open TCP/IP channel to 127.0.0.1:1"},
        {{":0", "ShowProgress"}, 2, "ERROR: Can not allocate UDP socket for port -1"},
        // Failed actions say so, and so does the exit status.
        {{"RecordMemoryUsage", "1", "2", "f"}, 4, "Command responded an ERROR\n"},
        {{"WatchProcess", "1", "2", "p"}, 4, "RecordProcessLoad is currently only available"},
        {{"ExtractFile", "KCFG", "/nonexistent/in", "out"}, 4, "ERROR: can not open file"},
        {{"UdpData", "100", "1:2", "3"}, 4, "Command responded an ERROR"},
    };
    for (const auto& c : cases)
    {
        CRun run = Qtx(c.args);
        EXPECT_EQ(run.iStatus, c.status) << c.args[0] << "\n" << run.All();
        EXPECT_NE(run.sErr.find(c.text), std::string::npos) << run.All();
        EXPECT_EQ(run.sOut.find(c.text), std::string::npos) << run.All();
        EXPECT_EQ(run.sOut.find("ERROR"), std::string::npos) << run.All();
    }
    CRun done = Qtx({"SWTest"});
    EXPECT_EQ(done.iStatus, 0);
    EXPECT_EQ(done.sOut + done.sErr, "");
}

TEST(Qtx, UsageGivesTheValuesOfTheParameters)
{
    const std::string usage = Qtx({"--help"}).sOut;
    for (const char* values : {
             // DebugData sources
             "<Which>: AVR-FLASH (32 kByte of the module controller's flash), AVR-RAM (its RAM);\n"
             "          FPGA, EEPROM and PLV are not available\n",
             // GenLpFilter types
             "<Type>: 0 Butterworth, 1 Chebychev, 2 Inv.-Chebychev, 3 Cauer; <Order>: 2..64, "
             "even\n",
             // WexSim modes
             "<Mode>: 0 sine, 1 square (30000 V, 1000 A), 2 sine with 10 % third harmonic,\n"
             "          3 sine with 80 % amplitude modulation at 0.1 Hz, 4 sine with one period in "
             "ten\n"
             "          of each phase raised to 150 % or lowered to 20 % in turn\n",
         })
        EXPECT_NE(usage.find(values), std::string::npos) << values << "\n" << usage;
}

// A numeric parameter takes its whole text or the call is refused as a usage error, before
// anything is made, opened or written.
TEST_F(QtxFiles, NumbersThatDoNotParseAreRefused)
{
    const struct
    {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"Write", "0x20", "zz"}, "ERROR: <Data> must be a 32-bit whole number, not \"zz\"\n"},
        {{"Write", "0x20", "12abc"}, "<Data> must be a 32-bit whole number, not \"12abc\""},
        {{"Write", "0x2G", "1"}, "<Address> must be a 32-bit whole number, not \"0x2G\""},
        {{"Write", "0x20", "1", "0x"}, "<Data> must be"},
        {{"Write", "0x20", ""}, "<Data> must be"},
        {{"Write", "0x20", "0x100000000"}, "<Data> must be"},
        {{"Write", "0x20", "-2147483649"}, "<Data> must be"},
        {{"Write", "0x20", "1__0"}, "<Data> must be"},
        {{"Write", "0x20", "0b102"}, "<Data> must be"},
        {{"Read", "0x20", "4 4"}, "<NumberOfBytes> must be"},
        {{"MemTest", "0", "4", "1", "0x10", "x"}, "<MarkValue> must be"},
        {{"Temp", "zero"}, "<Module> must be"},
        {{"Eeprom2File", "1", "f.bin", "512b"}, "<Length> must be"},
        {{"SrwCmd", "one", "Help"}, "<Slot> must be"},
        {{"SrwCmd", "1", "RamRead", "0x10", "4z"}, "<Len> must be a 32-bit whole number"},
        {{"SrwCmd", "1", "EepromWrite", "1.5", "*;1"}, "<Addr> must be"},
        {{"UdpData", "100", "1:2", "3:x"},
         "<ListOfRegisters> must be <Address> or <Address>:<NumberOfWords>, not \"3:x\""},
        {{"FloatToHex", "0.1x"}, "ERROR: <value> must be a number, not \"0.1x\"\n"},
        {{"HexToFloat", "3DCCCCCD"},
         "ERROR: <value> must be a 32-bit whole number, not \"3DCCCCCD\"\n"},
        {{"GenLpFilter", "lp", "0", "4", "10kHz", "1000"}, "<Fs> must be a number"},
        {{"GenLpFilter", "lp", "0", "4", "10000", "1000", "-0.1", "x"}, "<StopGain> must be"},
        {{"WexSim", "grid.m", "0", "3", "50", "ten"}, "<Periods> must be"},
        {{"WexFilter", "2x", "out##.m"}, "<Input> must be"},
        {{"SystemCall", "1", "1", "true", "-1s"}, "<Slot> must be"},
    };
    for (const auto& c : cases)
    {
        CRun run = QtxIn(c.args, {}, "", tDir.Path());
        EXPECT_EQ(run.iStatus, 3) << c.args[0] << " " << c.args.back() << "\n" << run.All();
        EXPECT_EQ(run.sOut, "") << c.args[0] << " " << c.args.back();
        EXPECT_NE(run.sErr.find(c.message), std::string::npos) << run.sErr;
        EXPECT_EQ(run.sErr.find("Command responded"), std::string::npos) << run.sErr;
    }
    // Nothing was written.
    for (const char* file : {"f.bin", "lp.xml", "lp_dig.m", "grid.m", "out02.m"})
        EXPECT_NE(::access(Path(file).c_str(), F_OK), 0) << file;
}

TEST(Qtx, FloatToHexAndBack)
{
    const struct
    {
        const char* value;
        const char* shown;
    } cases[] = {
        {"1.5", "1.500000 = 0x3FC00000"}, {"-2", "-2.000000 = 0xC0000000"},
        {"0.1", "0.100000 = 0x3DCCCCCD"}, {" 1e-1 ", "0.100000 = 0x3DCCCCCD"},
        {"0", "0.000000 = 0x00000000"},
    };
    for (const auto& c : cases)
    {
        CRun there = Qtx({"FloatToHex", c.value});
        EXPECT_EQ(there.iStatus, 0);
        EXPECT_EQ(there.sOut, std::string(c.shown) + "\n");
        std::string hex = there.sOut.substr(there.sOut.find("0x"), 10);
        CRun back = Qtx({"HexToFloat", hex});
        EXPECT_EQ(back.iStatus, 0);
        EXPECT_EQ(back.sOut, hex + " = " +
                                 std::string(c.shown).substr(0, std::string(c.shown).find(' ')) +
                                 "\n");
    }
}

TEST(Qtx, HexToFloatTakesTheWholeNumberInEveryFormOfTheCommandLine)
{
    const struct
    {
        const char* value;
        const char* shown; // empty: refused
    } cases[] = {
        {"1065353216", "0x3F800000 = 1.000000"},
        {"0x3DCCCCCD", "0x3DCCCCCD = 0.100000"},
        {"0X3dcc_cccd", "0x3DCCCCCD = 0.100000"},
        {"0b1", "0x00000001 = 0.000000"},
        {"0o7740000000", "0x3F800000 = 1.000000"},
        {" 0d1065353216 ", "0x3F800000 = 1.000000"},
        {"-1073741824", "0xC0000000 = -2.000000"},
        {"4294967295", "0xFFFFFFFF = -nan"},
        // Bare hexadecimal digits, and anything else that is not a whole number throughout.
        {"3DCCCCCD", ""},
        {"3f800000", ""},
        {"0b12", ""},
        {"1.0", ""},
        {"0x", ""},
        {"", ""},
        {"0x100000000", ""},
        {"1065353216x", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string("\"") + c.value + "\"");
        CRun run = Qtx({"HexToFloat", c.value});
        if (*c.shown != '\0')
        {
            EXPECT_EQ(run.iStatus, 0) << run.All();
            EXPECT_EQ(run.sOut, std::string(c.shown) + "\n");
        }
        else
        {
            EXPECT_EQ(run.iStatus, 3) << run.All();
            EXPECT_EQ(run.sOut, "");
            EXPECT_NE(run.sErr.find("<value> must be a 32-bit whole number"), std::string::npos)
                << run.sErr;
        }
    }
}

TEST_F(QtxFiles, FlashRecordIsCutAndMadeAgainByteForByte)
{
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data += static_cast<char>(i * 7);
    const std::string kcfg = FlashRecord("KCFG", data);
    Write(Path("flash.bin"), FlashRecord("COMB", "packed list") + kcfg + std::string(100, '\xFF'));

    CRun cut = Qtx({"ExtractFile", "kcfg", Path("flash.bin"), Path("Config.tar.gz")});
    EXPECT_EQ(cut.iStatus, 0) << cut.sOut;
    EXPECT_TRUE(cut.Has("Found ID \"COMB\"\nFound ID \"KCFG\"\n")) << cut.sOut;
    EXPECT_TRUE(cut.Has("Stored 3000 bytes in file"));
    EXPECT_EQ(ReadFile(Path("Config.tar.gz")), data);

    CRun made = Qtx({"Add12BHeader", "KCFG", Path("Config.tar.gz"), Path("record.bin")});
    EXPECT_EQ(made.iStatus, 0) << made.sOut;
    EXPECT_EQ(ReadFile(Path("record.bin")), kcfg);

    // A short ID is padded with zero bytes.
    CRun ab = Qtx({"Add12BHeader", "AB", Path("Config.tar.gz"), Path("ab.bin")});
    EXPECT_EQ(ab.iStatus, 0);
    EXPECT_EQ(ReadFile(Path("ab.bin")).substr(0, 12),
              Bytes({'A', 'B', 0, 0, 0, 0, 0, 0, 0xB8, 0x0B, 0, 0}));
}

TEST_F(QtxFiles, ExtractFileRefusesWhatIsNoRecordOrReachesBeyondTheFile)
{
    const struct
    {
        std::string image;
        const char* text;
        bool foundAny;
    } cases[] = {
        // Erased flash: no record at all.
        {std::string(64, '\xFF'), "ERROR: Header \"KCFG\" not found!", false},
        {std::string(1, '\0') + FlashRecord("KCFG", "x").substr(1),
         "ERROR: Header \"KCFG\" not found!", false},
        {FlashRecord("COMB", "abc"), "ERROR: Header \"KCFG\" not found!", true},
        // A head cut short, and a length beyond the end of the file.
        {FlashRecord("COMB", "abc") + "KCF", "ERROR: Can not read header!", true},
        {FlashRecord("KCFG", "abc").substr(0, 12) + "ab", "ERROR: Can not read file content", true},
        {"", "ERROR: Header \"KCFG\" not found!", false},
    };
    for (const auto& c : cases)
    {
        Write(Path("image"), c.image);
        std::remove(Path("out").c_str());
        CRun run = Qtx({"ExtractFile", "KCFG", Path("image"), Path("out")});
        EXPECT_EQ(run.iStatus, 4) << run.sOut;
        EXPECT_TRUE(run.Has(c.text)) << run.sOut;
        EXPECT_EQ(run.Has("Found ID"), c.foundAny) << run.sOut;
    }
    Write(Path("empty"), "");
    CRun empty = Qtx({"Add12BHeader", "KCFG", Path("empty"), Path("out")});
    EXPECT_EQ(empty.iStatus, 4);
    EXPECT_TRUE(empty.Has("ERROR: Empty input file or error detecting the file size"));
}

TEST_F(QtxFiles, CheckBinCmdShowsTheGroupsOfAConfiguration)
{
    // Head, configuration with groups 0 (one block), 1 (announced but short), 3 (empty,
    // no type) and 5 (empty with a type), then the blocks.
    std::string file(16 + 328, '\0');
    auto put16 = [&](size_t at, uint16_t v)
    { QtxBinPutU16(reinterpret_cast<unsigned char*>(&file[at]), v); };
    auto put32 = [&](size_t at, uint32_t v)
    { QtxBinPutU32(reinterpret_cast<unsigned char*>(&file[at]), v); };
    std::memcpy(&file[0], "<?bin", 5);
    put16(6, 0x101);
    file[16] = 2;
    file[17] = 1;
    put16(18, 7);
    put32(16 + 272, 0x01020304);
    auto group = [&](int index, uint32_t size, uint16_t type, uint16_t entry, uint16_t count)
    {
        size_t at = 16 + 8 + 12 * index;
        put32(at, size);
        put16(at + 4, type);
        put16(at + 6, entry);
        put16(at + 8, count);
    };
    group(0, 32 + 8, 17, 4, 2);
    group(1, 32 + 4, 18, 4, 2);
    group(5, 0, 9, 4, 3);
    std::string block0 = std::string("GR00Signals") + std::string(21, '\0') + std::string(8, 'x');
    std::string block1 = std::string("GR01Events") + std::string(22, '\0') + std::string(4, 'y');
    file += block0 + block1;
    put32(12, static_cast<uint32_t>(file.size() - 16));
    Write(Path("config.bin"), file);

    CRun run = Qtx({"CheckBinCmd", Path("config.bin")});
    EXPECT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(run.Has("Header: Tag=257(Cmd), Status=0, CmdLen=404, CmdOffset=0x0010\n"))
        << run.sOut;
    EXPECT_TRUE(run.Has(
        "  Configuration: V2.1, Type=7, Flags=0x00000000, FWVersion=0x01020304, Status=0\n"));
    EXPECT_TRUE(run.Has("    Group 00 [GR00/Signals]: Type=17, #=2/len=0x0004/Off=0x00000178, "
                        "processed=0, len OK\n"));
    EXPECT_TRUE(run.Has("    Group 01 [GR01/Events]: Type=18, #=2/len=0x0004/Off=0x000001A0, "
                        "processed=0, Error: Legnth mismatch\n"));
    EXPECT_TRUE(run.Has("    Group 05 [<empty>]: Type=9, #=3/len=0x0004/no Off, processed=0\n"));
    EXPECT_FALSE(run.Has("Group 03"));

    // A file whose length disagrees with its head, and one that is no binary command file.
    Write(Path("cut.bin"), file.substr(0, file.size() - 1));
    CRun cut = Qtx({"CheckBinCmd", Path("cut.bin")});
    EXPECT_EQ(cut.iStatus, 4);
    EXPECT_TRUE(
        cut.Has("File length (419 bytes) does not match length states in header (404 + 16 bytes)"));
    Write(Path("x.xml"), "<?xml version=\"1.0\"?><Ping/>");
    CRun xml = Qtx({"CheckBinCmd", Path("x.xml")});
    EXPECT_EQ(xml.iStatus, 4);
    EXPECT_TRUE(xml.Has("Unknown file identification, expected \"<?bin\""));
}

// ---- Against the real hub

class QtxWithHub : public testing::Test
{
protected:
    void SetUp() override
    {
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver");
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
    }
    std::string Path(const std::string& name) const { return tDir.Path() + "/" + name; }

    CSimDevice tDevice;
    CTempDir tDir;
    std::unique_ptr<CTestProcess> pHub;
};

TEST_F(QtxWithHub, XmlRequestGetsItsReplyFileAndEndMark)
{
    Write(Path("identify.xml"), "<?xml version=\"1.0\"?>\n<Identify/>\n");
    CRun run = Qtx({"XML", Path("identify.xml")});
    EXPECT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(run.Has("Send " + Path("identify.xml") + " (xml)\n"));
    EXPECT_TRUE(run.Has("Send is Ready. Waiting for the answer ..."));
    EXPECT_TRUE(run.Has("  \n*** EndOfFile ***\n"));
    const std::string reply = ReadFile(Path("identify.xml.reply"));
    EXPECT_NE(reply.find("<System"), std::string::npos) << reply;
    EXPECT_NE(run.sOut.find(reply), std::string::npos);
}

TEST_F(QtxWithHub, ReplyWithAnErrorFailsTheCall)
{
    Write(Path("remove.xml"), "<?xml version=\"1.0\"?>\n<RemoveModule/>\n");
    CRun run = Qtx({"127.0.0.1", "XML", Path("remove.xml")});
    EXPECT_EQ(run.iStatus, 4) << run.sOut;
    EXPECT_TRUE(run.Has("*** EndOfFile ***"));
    EXPECT_TRUE(run.Has("Command responded an ERROR"));
    EXPECT_NE(ReadFile(Path("remove.xml.reply")).find("<Error "), std::string::npos);
}

TEST_F(QtxWithHub, UdpDiscoveryIsAnsweredOnTheAnswerPort)
{
    // The discovery port opens beside the request port, a little later.
    ASSERT_TRUE(WaitFor([] { return UdpPortBound(62000); }));
    Write(Path("identify.xml"), "<?xml version=\"1.0\"?>\n<Identify/>\n");
    CRun run = Qtx({"127.0.0.1", "UDP", "61000", Path("identify.xml")});
    EXPECT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(run.Has("sent, listening on port 61000 for reply"));
    EXPECT_TRUE(run.Has("*** EndOfFile ***"));
    EXPECT_NE(ReadFile(Path("identify.xml.reply")).find("<System"), std::string::npos);
}

// ---- Against peers of the test

TEST_F(QtxFiles, StatusTextIsShownAndOnlyTheDocumentStored)
{
    const std::string document = "<?xml version=\"1.0\"?>\n<Identify Done=\"1\"/>";
    CPeer peer(0, "Working on it\nstill\t" + document);
    Write(Path("r.xml"), "<?xml version=\"1.0\"?>\n<Identify/>\n");
    CRun run = Qtx({peer.Target(), "sXML", Path("r.xml")});
    EXPECT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(run.Has("Working on it\nstill\t\n")) << run.sOut;
    EXPECT_EQ(ReadFile(Path("r.xml.reply")), document);
}

TEST_F(QtxFiles, AFileThatCannotBeSentWaitsForNoReply)
{
    for (const std::string& name : {std::string(), Path("missing.xml")})
    {
        CPeer peer(0, "");
        CRun run = Qtx({peer.Target(), "XML", name});
        EXPECT_EQ(run.iStatus, 4);
        EXPECT_TRUE(run.Has("ERROR while trying to send \"" + name + "\"")) << run.sOut;
    }
}

TEST_F(QtxFiles, BinaryCommandFileIsSentAsItIsAndItsReplyDumped)
{
    std::string request =
        std::string("<?bin\0", 6) + Bytes({0x02, 0x01, 0, 0, 0, 0, 4, 0, 0, 0}) + "abcd";
    std::string reply =
        std::string("<?bin\0", 6) + Bytes({0x02, 0x81, 0xFE, 0xFF, 0, 0, 0, 0, 0, 0});
    CPeer peer(request.size(), reply);
    Write(Path("r.bin"), request);
    CRun run = Qtx({peer.Target(), "XML", Path("r.bin")});
    EXPECT_TRUE(run.Has("Send " + Path("r.bin") + " (bin)\n")) << run.sOut;
    EXPECT_TRUE(run.Has("is binary, Tag 258 (complete: 0x80000102)"));
    EXPECT_TRUE(run.Has("Header: Tag=258(Answer), Status=-2, CmdLen=0"));
    // The reply carries an error number.
    EXPECT_EQ(run.iStatus, 4);
    EXPECT_EQ(ReadFile(Path("r.bin.reply")), reply);
}

TEST_F(QtxFiles, DiagnosticFrameIsSentAndItsAnswerStored)
{
    const std::string request = Bytes({0x50, 0x4E, 55, 0, 8, 0, 0, 0});
    const std::string answer = Bytes({0x50, 0x4E, 55, 0, 10, 0, 2, 0, 0xAB, 0xCD});
    Write(Path("diag"), request);
    {
        CPeer peer(request.size(), answer);
        CRun run = Qtx({peer.Target(), "DIAGFile", Path("diag")});
        EXPECT_EQ(run.iStatus, 0) << run.sOut;
        EXPECT_TRUE(run.Has("Writing command to target ... Waiting for the answer ..."));
        EXPECT_EQ(ReadFile(Path("diag_reply")), answer);
        EXPECT_EQ(peer.sReceived, request);
    }

    // Answers whose length field is impossible or that end early are refused, nothing stored.
    const struct
    {
        std::string answer;
        const char* text;
    } bad[] = {
        {Bytes({0x50, 0x4E, 55, 0, 4, 0, 0, 0}), "ERROR: Answer of the target has a wrong length"},
        {Bytes({0x50, 0x4E, 55, 0, 20, 0, 0, 0, 1, 2}), "ERROR: Answer of the target incomplete"},
        {Bytes({0x50, 0x4E, 55}), "ERROR: Answer of the target incomplete"},
    };
    for (const auto& c : bad)
    {
        std::remove(Path("diag_reply").c_str());
        CPeer peer(request.size(), c.answer);
        CRun run = Qtx({peer.Target(), "DIAGFile", Path("diag")});
        EXPECT_EQ(run.iStatus, 4) << run.sOut;
        EXPECT_TRUE(run.Has(c.text)) << run.sOut;
        EXPECT_EQ(ReadFile(Path("diag_reply")), "");
    }

    // A request file whose head states less than a head, or more than it holds.
    for (const std::string& file : {Bytes({0x50, 0x4E, 55, 0, 3, 0, 0, 0}),
                                    Bytes({0x50, 0x4E, 55, 0, 12, 0, 0, 0, 1}), Bytes({1, 2})})
    {
        Write(Path("diag"), file);
        CPeer peer(0, "");
        CRun run = Qtx({peer.Target(), "DIAGFile", Path("diag")});
        EXPECT_EQ(run.iStatus, 4);
        EXPECT_TRUE(run.Has("ERROR: Input file corrupt or too long (more than 64 kByte)"))
            << run.sOut;
    }
}

TEST_F(QtxFiles, VeskReplyWithAnErrorCodeIsStoredAndFails)
{
    const std::string command = Bytes({1, 2, 3, 4, 5, 6, 7, 8, 2, 0, 0, 0, 'h', 'i'});
    Write(Path("vesk"), command);
    const struct
    {
        std::string answer;
        int status;
        const char* text;
        bool stored;
    } cases[] = {
        {Bytes({9, 9, 9, 9, 9, 9, 9, 9, 1, 0, 0, 0, 1, 0, 0, 0, 'k'}), 0, "Waiting for the answer",
         true},
        {Bytes({9, 9, 9, 9, 9, 9, 9, 9, 0, 0, 0, 0, 0, 0, 0, 0}), 4, "Command replied error code 0",
         true},
        {Bytes({9, 9, 9, 9, 9, 9, 9, 9, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}), 4,
         "ERROR: Answer of the target has a wrong length", false},
    };
    for (const auto& c : cases)
    {
        std::remove(Path("vesk_reply").c_str());
        CPeer peer(command.size(), c.answer);
        CRun run = Qtx({peer.Target(), "VeskFile", Path("vesk")});
        EXPECT_EQ(run.iStatus, c.status) << run.sOut;
        EXPECT_TRUE(run.Has(c.text)) << run.sOut;
        EXPECT_EQ(ReadFile(Path("vesk_reply")), c.stored ? c.answer : "");
        EXPECT_EQ(peer.sReceived, command);
    }
}

TEST(QtxDatagrams, ProgressOfTheUpdaterIsShownAsItArrives)
{
    CSimDevice device;
    CQTXCommunication probe;
    ASSERT_TRUE(probe.OpenServerSocket(0, false));
    const int port = probe.GetServerPort();
    probe.CloseServerSocket();
    CTestProcess qtx(device, "qtx", {":" + std::to_string(port), "ShowProgress"});

    CQTXCommunication updater;
    ASSERT_TRUE(updater.Open("127.0.0.1:" + std::to_string(port), false));
    // Until qtx listens, datagrams are lost: the first one goes out until it is shown.
    ASSERT_TRUE(WaitFor(
        [&]
        {
            updater.SendProgressMessage("Unpacking", 1, 3, 0.0, 0);
            return qtx.Output().find("Part 1 of 3,   0.0 %: Unpacking\n") != std::string::npos;
        }));
    // A datagram too short for a record is a dot, not a record.
    updater.SendBuffer("#Pxxxx", 6);
    ASSERT_TRUE(WaitFor([&] { return qtx.Output().find('.') != std::string::npos; }));
    updater.SendProgressMessage("Writing flash", 3, 3, 0.99, 0);
    ASSERT_TRUE(WaitFor(
        [&] {
            return qtx.Output().find("Part 3 of 3,  99.0 %: Writing flash\n") != std::string::npos;
        }))
        << qtx.Output();
    updater.SendProgressMessage("Update finished", 3, 3, 1.0, 0);
    const int status = qtx.WaitExit();
    ASSERT_TRUE(WIFEXITED(status)) << qtx.Output();
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(qtx.Output().find("Part 3 of 3, 100.0 %: Update finished\n"), std::string::npos);
}

TEST(QtxDatagrams, DebugDatagramsAreRecordedLineByLine)
{
    CSimDevice device;
    CTempDir dir;
    CQTXCommunication probe;
    ASSERT_TRUE(probe.OpenServerSocket(0, false));
    const int port = probe.GetServerPort();
    probe.CloseServerSocket();
    const std::string file = dir.Path() + "/debug.txt";
    CTestProcess qtx(device, "qtx", {":" + std::to_string(port), "recorddebug2", file});

    CQTXCommunication driver;
    ASSERT_TRUE(driver.Open("127.0.0.1:" + std::to_string(port), false));
    ASSERT_TRUE(WaitFor(
        [&]
        {
            driver.SendBuffer("first", 5);
            return ReadFile(file).find("first\n") != std::string::npos;
        }));
    driver.SendBuffer("second text", 11);
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(file).find("first\nsecond text\n") != std::string::npos; }))
        << ReadFile(file);
    EXPECT_TRUE(WaitFor([&] { return qtx.Output().find("second text\n") != std::string::npos; }));
}

TEST_F(QtxFiles, SystemCallRunsTheCommandAndReadsTheEepromOfASlot)
{
    CSimDevice device; // modules in slots 1 and 2
    const std::string env = "KOVE_SIM=" + device.Dir();
    const std::string marker = Path("ran");
    const struct
    {
        const char* slot;
        int status;
        const char* eeprom;
        const char* statistic;
    } cases[] = {
        {"-1", 0, nullptr,
         "EEPROM read had 0 errors in 2 loops, system() call had 0 errors in 4 calls"},
        {"1", 0, "\nEEPROM_OK  [0:0] [0:1]\nEEPROM_OK  [1:0] [1:1]", "had 0 errors in 2 loops"},
        {"5", 4, "\nEEPROM_ERROR  [0:0]", "EEPROM read had 2 errors in 2 loops"},
    };
    for (const auto& c : cases)
    {
        std::remove(marker.c_str());
        CRun run = Qtx({"SystemCall", "2", "2", "echo x >> " + marker, c.slot}, {env});
        EXPECT_EQ(run.iStatus, c.status) << run.sOut;
        EXPECT_EQ(ReadFile(marker), "x\nx\nx\nx\n");
        EXPECT_EQ(run.Has("EEPROM_"), c.eeprom != nullptr) << run.sOut;
        if (c.eeprom != nullptr)
        {
            EXPECT_TRUE(run.Has(c.eeprom)) << run.sOut;
        }
        EXPECT_TRUE(run.Has(c.statistic)) << run.sOut;
    }
}

TEST(QtxWithSniffer, DiagnosticRequestsAreAnsweredOnPort999)
{
    CSimDevice device({"--family", "PNA"});
    CTempDir dir;
    CTestProcess hub(device, "systemdriver");
    ASSERT_TRUE(hub.WaitForPort(62000)) << hub.Output();
    CTestProcess sniffer(device, "pndriver");
    ASSERT_TRUE(sniffer.WaitForPort(999)) << sniffer.Output();

    const struct
    {
        int command;
        size_t length;
        int result;
    } cases[] = {
        {55, 8, 2},       // no such command: the head alone
        {50, 8 + 126, 0}, // module information
    };
    for (const auto& c : cases)
    {
        const std::string file = dir.Path() + "/diag" + std::to_string(c.command);
        Write(file, Bytes({0x50, 0x4E, c.command, 0, 8, 0, 0, 0}));
        CRun run = Qtx({"127.0.0.1", "DIAGFile", file});
        EXPECT_EQ(run.iStatus, 0) << run.sOut;
        const std::string reply = ReadFile(file + "_reply");
        ASSERT_EQ(reply.size(), c.length) << run.sOut;
        EXPECT_EQ(reply.substr(0, 6),
                  Bytes({0x50, 0x4E, c.command, 0, static_cast<int>(c.length & 0xFF),
                         static_cast<int>(c.length >> 8)}));
        EXPECT_EQ(static_cast<unsigned char>(reply[6]), c.result);
    }
}
