// qtx's module actions: the byte lists and dump lines of SrwCmd, its commands on the simulated
// modules (ranges refused before anything is sent, resets reported as they went), the
// temperatures of the CPU sensor and the modules, the counter word and the factory relays.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTXTools.h"
#include "QtxRun.h"

using namespace kovetest;

TEST(ToolsModuleInput, HexDumpLines)
{
    const unsigned char bytes[300] = {'A', 'B', 0x01, 0x7F, 0x80, ' '};
    const struct
    {
        const unsigned char* buffer;
        int32_t offset;
        int count;
        const char* line;
    } cases[] = {
        {bytes, 0, 6, "[0x00000000]  41 42 01 7F 80 20   \"AB \x7F  \"\n"},
        {bytes, 1, 1, "[0x00000001]  42   \"B\"\n"},
        {bytes, 16, 0, "[0x00000010]    \"\"\n"},
        {nullptr, 0, 1, "<ERROR: Can not generate hex dump>"},
        {bytes, -1, 1, "<ERROR: Can not generate hex dump>"},
        {bytes, 0, -1, "<ERROR: Can not generate hex dump>"},
        {bytes, 0, 251, "<ERROR: Can not generate hex dump>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HexDumpLine(c.buffer, c.offset, c.count), c.line) << c.offset << " " << c.count;
    // 250 bytes are the most one line shows.
    EXPECT_EQ(HexDumpLine(bytes, 0, 250).size(), 14 + 3 * 250 + 2 + 252 + 1);
}

TEST(ToolsModuleInput, ByteListsAndFiles)
{
    CTempDir dir;
    const std::string three = dir.Path() + "/three.bin";
    const std::string empty = dir.Path() + "/empty.bin";
    std::ofstream(three, std::ios::binary) << std::string("\x00\xFF\x10", 3);
    std::ofstream(empty, std::ios::binary).close();
    const struct
    {
        std::string text;
        size_t maxBytes;
        bool ok;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"*;1;2;255", 8, true, {1, 2, 255}},
        {"*; 0x10;-1;256;0b11; 0d9_9 ", 8, true, {0x10, 0xFF, 0x00, 3, 99}},
        {"*;", 8, false, {}},
        {"*;1;;2", 8, false, {}},
        {"*;1;2;", 8, false, {}},
        {"*;1;x", 8, false, {}},
        {"*;0x", 8, false, {}},
        {"*;1;2;3", 2, false, {}},
        {"", 8, false, {}},
        {three, 3, true, {0x00, 0xFF, 0x10}},
        {three, 2, false, {}},
        {empty, 8, false, {}},
        {dir.Path() + "/missing.bin", 8, false, {}},
    };
    for (const auto& c : cases)
    {
        std::vector<unsigned char> data{9};
        size_t length = 99;
        EXPECT_EQ(ReadInputData(c.text, &data, &length, c.maxBytes), c.ok) << c.text;
        EXPECT_EQ(data, c.bytes) << c.text;
        EXPECT_EQ(length, c.bytes.size()) << c.text;
    }
    size_t length = 0;
    std::vector<unsigned char> data;
    EXPECT_FALSE(ReadInputData("*;1", nullptr, &length, 8));
    EXPECT_FALSE(ReadInputData("*;1", &data, nullptr, 8));
}

TEST(ToolsModuleInput, TemperaturesOfSensorAndModules)
{
    CSimDevice device;
    device.Tool("temp", {"0", "26.5"});
    device.Tool("temp", {"1", "-5.12"});
    EXPECT_EQ(device.Tool("temp", {"0"}), "26.50\n");
    EXPECT_EQ(device.Tool("ram", {"1", "0xAC"}), "0xFE000000\n"); // -512 at 0xAE
    setenv("KOVE_SIM", device.Dir().c_str(), 1);
    PlatReloadSimulation();
    EXPECT_DOUBLE_EQ(GetTemperature(0, false), 26.5);
    EXPECT_DOUBLE_EQ(GetTemperature(1, true), -5.12);
    EXPECT_DOUBLE_EQ(GetTemperature(1, false), -5.12);
    EXPECT_DOUBLE_EQ(GetTemperature(2, false), 35.0);    // a new module
    EXPECT_DOUBLE_EQ(GetTemperature(3, false), -1000.0); // empty slot
    EXPECT_DOUBLE_EQ(GetTemperature(5, false), -1000.0);
    unsetenv("KOVE_SIM");
    PlatReloadSimulation();
}

namespace
{
class QtxModule : public testing::Test
{
protected:
    CRun Qtx(const std::vector<std::string>& args) const
    {
        return ::Qtx(args, {"KOVE_SIM=" + tDevice.Dir()});
    }
    std::string Path(const std::string& name) const { return tFiles.Path() + "/" + name; }

    CSimDevice tDevice; // modules in slots 1 and 2
    CTempDir tFiles;
};

const char kAddressRefused[] = "ERROR: wrong address. Allowed values are between 0 and 0x400000\n";
const char kNotSent[] = "ERRORwhile executing Srw command!";
} // namespace

TEST_F(QtxModule, RangesAreCheckedBeforeAnythingIsSent)
{
    const struct
    {
        std::vector<std::string> args;
        int status;
        std::string shown;
    } cases[] = {
        {{"SrwCmd", "1", "RamRead", "0x8FF", "1"}, 0, "[0x00000000]  00   \" \"\n\n"},
        {{"SrwCmd", "1", "RamRead", "0x900", "1"}, 4, kAddressRefused},
        {{"SrwCmd", "1", "RamRead", "-1", "1"}, 4, kAddressRefused},
        {{"SrwCmd", "1", "RamRead", "0x8FF", "2"},
         4,
         "ERROR: wrong length. Allowed values are between 1 and 0x900 (including the start "
         "address)\n"},
        {{"SrwCmd", "1", "EepromRead", "0", "0"}, 4, "ERROR: wrong length."},
        {{"SrwCmd", "1", "FlashErase", "0x3FFFFF", "2"},
         4,
         "ERROR: wrong length. Allowed values are between 1 and 0x400000 (including the start "
         "address)\n"},
        {{"SrwCmd", "1", "FlashErase", "0x3FFFFF", "1"}, 0, ""},
        {{"SrwCmd", "1", "FlashRead", "0x400000", "1"}, 4, kAddressRefused},
        {{"SrwCmd", "1", "EepromWrite", "0x3FE", "*;1;2;3"}, 4, "ERROR: Can not read inut data\n"},
        {{"SrwCmd", "1", "EepromWrite", "0", "*;"}, 4, "ERROR: Can not read inut data\n"},
        {{"SrwCmd", "5", "RamRead", "0", "1"}, 4, "ERROR: <ModuleSlot> must be between 0 and 4!\n"},
        {{"SrwCmd", "1", "RamRead", "0"},
         4,
         "ERROR: wrong number of parameters! Use \"qtx SrwCmd Help\" for more information.\n"},
        {{"SrwCmd", "1", "Reset", "1"}, 4, "ERROR: wrong number of parameters!"},
        {{"SrwCmd", "1", "Erase", "0", "1"}, 4, "ERROR: unknown command \"Erase\""},
        {{"SrwCmd", "1", "help"}, 0, "<Commands> for SrwCmd:\n  Help to show this text\n"},
    };
    for (const auto& c : cases)
    {
        CRun run = Qtx(c.args);
        EXPECT_EQ(run.iStatus, c.status) << c.args[2] << " " << run.sOut;
        EXPECT_TRUE(run.Has(c.shown)) << c.args[2] << " " << run.sOut;
        if (c.status != 0)
        {
            EXPECT_FALSE(run.Has(kNotSent)) << c.args[2] << " " << run.sOut;
        }
    }
}

TEST_F(QtxModule, BytesWrittenAreReadBackAndDumped)
{
    CRun list = Qtx({"SrwCmd", "2", "EepromWrite", "0x10", "*;1;2;255"});
    ASSERT_EQ(list.iStatus, 0) << list.sOut;
    CRun back = Qtx({"SrwCmd", "2", "EepromRead", "0x10", "3", Path("eeprom.bin")});
    ASSERT_EQ(back.iStatus, 0) << back.sOut;
    EXPECT_EQ(ReadFile(Path("eeprom.bin")), "\x01\x02\xFF");

    std::string forty;
    for (int i = 0; i < 40; ++i)
        forty += static_cast<char>('0' + i);
    std::ofstream(Path("forty.bin"), std::ios::binary) << forty;
    ASSERT_EQ(Qtx({"SrwCmd", "1", "FlashWrite", "0x3FFFD8", Path("forty.bin")}).iStatus, 0);
    CRun dump = Qtx({"SrwCmd", "1", "FlashRead", "0x3FFFD8", "40"});
    ASSERT_EQ(dump.iStatus, 0) << dump.sOut;
    EXPECT_EQ(dump.sOut, "[0x00000000]  30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F   "
                         "\"0123456789:;<=>?\"\n\n"
                         "[0x00000010]  40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F   "
                         "\"@ABCDEFGHIJKLMNO\"\n\n"
                         "[0x00000020]  50 51 52 53 54 55 56 57   \"PQRSTUVW\"\n\n");

    // An erase clears exactly its range; a file too long for the memory is not sent.
    ASSERT_EQ(Qtx({"SrwCmd", "1", "FlashErase", "0x3FFFD9", "2"}).iStatus, 0);
    ASSERT_EQ(Qtx({"SrwCmd", "1", "FlashRead", "0x3FFFD8", "4", Path("flash.bin")}).iStatus, 0);
    EXPECT_EQ(ReadFile(Path("flash.bin")), "0\xFF\xFF\x33");
    CRun tooLong = Qtx({"SrwCmd", "1", "RamWrite", "0x8E0", Path("forty.bin")});
    EXPECT_EQ(tooLong.iStatus, 4);
    EXPECT_FALSE(tooLong.Has(kNotSent)) << tooLong.sOut;
}

TEST_F(QtxModule, ResetsAndCommandsOfAnEmptySlotReportHowTheyWent)
{
    CRun reset = Qtx({"SrwCmd", "1", "Reset"});
    EXPECT_EQ(reset.iStatus, 0) << reset.sOut;
    for (const auto& args : {std::vector<std::string>{"SrwCmd", "3", "Reset"},
                             std::vector<std::string>{"SrwCmd", "3", "RamRead", "0", "1"},
                             std::vector<std::string>{"SrwCmd", "3", "RamWrite", "0", "*;1"},
                             std::vector<std::string>{"SrwCmd", "3", "FlashErase", "0", "1"}})
    {
        CRun failed = Qtx(args);
        EXPECT_EQ(failed.iStatus, 4) << failed.sOut;
        EXPECT_TRUE(failed.Has("ERROR while executing ravelin command!\n")) << failed.sOut;
        EXPECT_TRUE(failed.Has(kNotSent)) << failed.sOut;
    }
}

TEST_F(QtxModule, TemperaturesAreShownInDegrees)
{
    tDevice.Tool("temp", {"0", "26.5"});
    tDevice.Tool("temp", {"1", "-5.12"});
    CRun cpu = Qtx({"Temp", "0"});
    EXPECT_EQ(cpu.iStatus, 0) << cpu.sOut;
    // The degree sign in UTF-8.
    EXPECT_EQ(cpu.sOut, "Temperature on slot 0 is 26.5 \xC2\xB0"
                        "C\n");
    EXPECT_EQ(Qtx({"Temp", "1"}).sOut, "Temperature on slot 1 is -5.1 \xC2\xB0"
                                       "C\n");
    for (const char* slot : {"3", "5"})
    {
        CRun none = Qtx({"Temp", slot});
        EXPECT_EQ(none.iStatus, 4) << slot;
        EXPECT_EQ(none.sOut, "") << slot;
        EXPECT_EQ(none.sErr, "ERROR: Can not read temperature!\nCommand responded an ERROR\n");
    }
}

TEST_F(QtxModule, FactoryRelaysAreSetInTheModuleRam)
{
    tDevice.Tool("ram", {"2", "0x1F4", "0xFFFFFFFF"});
    CRun run = Qtx({"KoveFactoryRelays", "2", "0x80000"});
    ASSERT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_EQ(tDevice.Tool("ram", {"2", "0x1F0"}), "0x00080000\n");
    EXPECT_EQ(tDevice.Tool("ram", {"2", "0x1F4"}), "0x00000000\n");
    EXPECT_EQ(Qtx({"KoveFactoryRelays", "3", "1"}).iStatus, 4); // empty slot
}

TEST_F(QtxModule, CounterRunsUntilStopped)
{
    tDevice.Tool("temp", {"0", "26.5"});
    CTestProcess counter(tDevice, "qtx", {"Counter", "0x2000", "5"});
    // Counter in the high half, the temperature in tenths of a degree in the low half.
    uint32_t word = 0;
    EXPECT_TRUE(WaitFor(
        [&]
        {
            word = static_cast<uint32_t>(
                std::strtoul(tDevice.Tool("peek", {"0x2000"}).c_str(), nullptr, 16));
            return word >> 16 >= 3;
        }))
        << counter.Output();
    EXPECT_EQ(word & 0xFFFF, 265u);
}

TEST_F(QtxModule, UdpTempSendsTheSourcesThatHaveATemperature)
{
    tDevice.Tool("temp", {"0", "26.5"});
    tDevice.Tool("temp", {"2", "-5.12"});
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(5010);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{20, 0};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    CTestProcess sender(tDevice, "qtx", {"127.0.0.1", "UdpTemp", "10"});
    unsigned char datagram[16];
    const ssize_t n = recv(receiver, datagram, sizeof datagram, 0);
    close(receiver);
    ASSERT_EQ(n, 10) << sender.Output();
    auto value = [&](int source)
    { return static_cast<int16_t>(datagram[2 * source] | datagram[2 * source + 1] << 8); };
    EXPECT_EQ(value(0), 265);
    EXPECT_EQ(value(1), 350); // a new module
    EXPECT_EQ(value(2), -51);
    EXPECT_EQ(value(3), -32768);
    EXPECT_EQ(value(4), -32768);
}
