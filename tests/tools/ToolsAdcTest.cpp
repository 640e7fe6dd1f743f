// qtx's device tests on the simulated FPGAs: the ADC recording of DP and CAN bus modules (its
// CSV file, its averages, the calibration words it writes) and the loading of the embedded link
// I/O module over its register window. Other FPGAs keep their registers untouched.
//
// The simulated ADC latches samples for the counter written: channel 0 (n & 0x3F) - 32 and
// (n & 0x0F) + 16, channel 1 10 - (n & 0x3F) and (n & 0x03) + 100.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "KoveTestSupport.h"
#include "QtxRun.h"

using namespace kovetest;

namespace
{
class QtxDevice : public testing::Test
{
protected:
    CRun Qtx(const CSimDevice& device, const std::vector<std::string>& args) const
    {
        return ::Qtx(args, {"KOVE_SIM=" + device.Dir()});
    }
    std::string Path(const std::string& name) const { return tFiles.Path() + "/" + name; }

    CTempDir tFiles;
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

size_t FilledLines(const std::vector<std::string>& lines)
{
    size_t n = 0;
    for (const std::string& line : lines)
        n += line.empty() ? 0 : 1;
    return n;
}

const char kCanHeader[] = "       Time;    V_DM_0;    V_DP_0;    V_DM_1;    V_DP_1;    DM_0;    "
                          "DP_0;    DM_1;    DP_1;      raw_0;      raw_1";
const char kDpHeader[] = "       Time;  V_Diff_0;   V_Sum_0;  V_Diff_1;   V_Sum_1;  Diff_0;   "
                         "Sum_0;  Diff_1;   Sum_1;      raw_0;      raw_1";
// Header, one line per sample, two summary lines.
constexpr size_t kFilledLines = 1 + 16384 + 2;

// A calibration document with the signal list "Default": {Offset, FactorPositive,
// FactorNegative} per column.
std::string CalibrationXml(const std::vector<std::vector<std::string>>& columns)
{
    std::string xml = "<?xml version=\"1.0\"?>\n<CalibrationData><Signals Name=\"Default\">";
    for (size_t s = 0; s < columns.size(); ++s)
        xml += "<Signal Number=\"" + std::to_string(s) + "\"><Properties>" +
               "<Property Name=\"Offset\" Value=\"" + columns[s][0] + "\"/>" +
               "<Property Name=\"FactorPositive\" Value=\"" + columns[s][1] + "\"/>" +
               "<Property Name=\"FactorNegative\" Value=\"" + columns[s][2] +
               "\"/></Properties></Signal>";
    return xml + "</Signals></CalibrationData>\n";
}

const std::vector<std::vector<std::string>> kDpCalibration = {
    {"13.0", "1.0", "1.0"},           // gain 1, offset 13 - 12.5
    {"0.25", "-1.00005", "-1.00005"}, // gain -16384.8 / 16384: truncated toward zero
    {"0", "2", "2"},                  // offset -12.5 / 2
    {"-1.0", "0.75", "0.75"},
};
} // namespace

TEST_F(QtxDevice, CanAdcRecordsTheSamplesAndTheirAverages)
{
    CSimDevice device({"--family", "PDP"});
    CRun run = Qtx(device, {"CANADC", Path("can.csv")});
    ASSERT_EQ(run.iStatus, 0) << run.sOut;
    const std::vector<std::string> lines = Lines(ReadFile(Path("can.csv")));
    ASSERT_EQ(FilledLines(lines), kFilledLines);
    EXPECT_EQ(lines[0], kCanHeader);
    EXPECT_EQ(lines[1], "     1.0e-8;     0.950;     3.350;     2.950;     7.550;     -31;      "
                        "17;       9;     101; 0x11E10001; 0x65090001");
    // The counter runs 1..16383, then 0.
    EXPECT_EQ(lines[16384], " 16384.0e-8;     0.900;     3.300;     3.000;     7.500;     -32;   "
                            "   16;      10;     100; 0x10E00000; 0x640A0000");
    EXPECT_EQ(lines[16385], "");
    EXPECT_EQ(lines[16386], "    Average;     2.475;     3.675;     1.425;     7.575;  -0.500;  "
                            "23.500; -21.500; 101.500");
    EXPECT_EQ(lines[16388], "        RMS;     3.424;     3.697;     3.917;     7.575;  18.480;  "
                            "23.948;  28.346; 101.506");
    EXPECT_TRUE(run.Has("................ done.\nAverage values:\n"
                        "       V_DM_0=  2.475 V;     DM_0= -0.50; RMS= 18.480LSB= 3.424V;   "
                        "Factor=0.05000; Offset= 2.50\n"))
        << run.sOut;
    EXPECT_TRUE(run.Has("       V_DP_1=  7.575 V;     DP_1=101.50; RMS=101.506LSB= 7.575V;   "
                        "Factor=0.05000; Offset= 2.50\n"))
        << run.sOut;
    EXPECT_FALSE(run.Has("WARNING")) << run.sOut;
    // The ADC is left idle.
    EXPECT_EQ(std::strtoul(device.Tool("peek", {"0x2014"}).c_str(), nullptr, 16) & 0xFFFF, 0x8000u);
}

TEST_F(QtxDevice, DpAdcModes)
{
    CSimDevice device({"--family", "PDP"});
    const struct
    {
        const char* mode;
        const char* first;
        const char* average;
    } cases[] = {
        // Decimal commas in every number of the data and summary lines.
        {"1",
         "     1,0e-8;    -1,550;     2,950;     0,450;    11,350;     -31;      17;       9;     "
         "101; 0x11E10001; 0x65090001",
         "    Average;    -0,025;     3,600;    -1,075;    11,400;  -0,500;  23,500; -21,500; "
         "101,500"},
        // The second values without their two lowest bits; the raw words as read.
        {"2",
         "     1.0e-8;    -1.550;     2.850;     0.450;    11.250;     -31;      16;       9;     "
         "100; 0x11E10001; 0x65090001",
         "    Average;    -0.025;     3.450;    -1.075;    11.250;  -0.500;  22.000; -21.500; "
         "100.000"},
        // Waiting for the triggers of both channels first.
        {"12",
         "     1.0e-8;    -1.550;     2.950;     0.450;    11.350;     -31;      17;       9;     "
         "101; 0x11E10001; 0x65090001",
         "    Average;    -0.025;     3.600;    -1.075;    11.400;  -0.500;  23.500; -21.500; "
         "101.500"},
    };
    for (const auto& c : cases)
    {
        CRun run = Qtx(device, {"DPADC", Path("dp.csv"), "", c.mode});
        ASSERT_EQ(run.iStatus, 0) << c.mode << run.sOut;
        const std::vector<std::string> lines = Lines(ReadFile(Path("dp.csv")));
        ASSERT_EQ(FilledLines(lines), kFilledLines) << c.mode;
        EXPECT_EQ(lines[0], kDpHeader) << c.mode;
        EXPECT_EQ(lines[1], c.first) << c.mode;
        EXPECT_EQ(lines[16386], c.average) << c.mode;
        if (std::string(c.mode) == "1")
        {
            for (size_t i = 1; i < lines.size(); ++i)
                ASSERT_EQ(lines[i].find('.'), std::string::npos) << i << ": " << lines[i];
        }
    }
    EXPECT_TRUE(Qtx(device, {"CANADC", Path("can.csv"), "", "12"}).Has(" done."));
}

TEST_F(QtxDevice, CalibrationWordsFromTheCalibrationFile)
{
    const struct
    {
        const char* action;
        std::string xml;
        bool used;
        std::vector<std::string> words; // 0x2020, 0x2024, 0x2028, 0x202C
    } cases[] = {
        {"DPADC",
         CalibrationXml(kDpCalibration),
         true,
         {"0xC0000040", "0x40000080", "0x3000FF00", "0x8000F9C0"}},
        // Offset - 50 / gain on every column.
        {"CANADC",
         CalibrationXml({{"0", "2", "2"}, {"0", "2", "2"}, {"1.5", "1", "1"}, {"0", "2", "2"}}),
         true,
         {"0x8000E700", "0x8000E700", "0x8000E700", "0x4000CF80"}},
        // A zero gain gives no calibration at all.
        {"CANADC",
         CalibrationXml({{"0", "2", "2"}, {"0", "2", "2"}, {"0", "1", "-1"}, {"0", "2", "2"}}),
         false,
         {"0x00000000", "0x00000000", "0x00000000", "0x00000000"}},
        {"DPADC",
         CalibrationXml({{"0", "1", "1"}, {"0", "1", "1"}, {"0", "1", "1"}}),
         false,
         {"0x00000000", "0x00000000", "0x00000000", "0x00000000"}},
        {"DPADC", "<CalibrationData><Signals", false, {"0x00000000"}},
    };
    for (const auto& c : cases)
    {
        CSimDevice device({"--family", "PDP"});
        std::ofstream(Path("calibration.xml")) << c.xml;
        CRun run = Qtx(device, {c.action, Path("adc.csv"), Path("calibration.xml")});
        ASSERT_EQ(run.iStatus, 0) << run.sOut;
        EXPECT_EQ(run.Has("NOTE: Calibration data used\n"), c.used) << run.sOut;
        EXPECT_NE(run.Has("WARNING"), c.used) << run.sOut;
        // Calibrated values have no offset of their own.
        EXPECT_NE(run.Has("Offset= 1.25\n") || run.Has("Offset= 2.50\n"), c.used) << run.sOut;
        for (size_t i = 0; i < c.words.size(); ++i)
        {
            char address[8];
            std::snprintf(address, sizeof address, "0x%04zX", 0x2020 + 4 * i);
            EXPECT_EQ(device.Tool("peek", {address}), c.words[i] + "\n") << c.action << address;
        }
    }
}

// Elsewhere the ADC addresses are other registers (the link I/O window on "LIO"): nothing is
// written, the file holds zeros and the recording still ends.
TEST_F(QtxDevice, AdcOnAnotherFpgaLeavesTheRegistersAlone)
{
    std::ofstream(Path("calibration.xml")) << CalibrationXml(kDpCalibration);
    for (const char* family : {"KV8", "LIO"})
    {
        CSimDevice device({"--family", family});
        const std::vector<std::string> words = {"0x2010", "0x2014", "0x2020", "0x2024"};
        for (size_t i = 0; i < words.size(); ++i)
            device.Tool("poke", {words[i], std::to_string((i + 1) << 16)});
        CRun run = Qtx(device, {"DPADC", Path("dp.csv"), Path("calibration.xml"), "12"});
        ASSERT_EQ(run.iStatus, 0) << family << run.sOut;
        EXPECT_TRUE(run.Has("WARNING: Wrong hardware (no qorQB-DP nor qorQB-CAN). Running in "
                            "simulation mode\n"))
            << run.sOut;
        EXPECT_TRUE(run.Has("NOTE: No ADC register is read or written")) << run.sOut;
        for (size_t i = 0; i < words.size(); ++i)
        {
            char value[16];
            std::snprintf(value, sizeof value, "0x%08zX\n", (i + 1) << 16);
            EXPECT_EQ(device.Tool("peek", {words[i]}), value) << family << " " << words[i];
        }
        const std::vector<std::string> lines = Lines(ReadFile(Path("dp.csv")));
        ASSERT_EQ(FilledLines(lines), kFilledLines) << family;
        EXPECT_EQ(lines[1], "     1.0e-8;     0.000;     0.000;     0.000;     0.000;       0;   "
                            "    0;       0;       0; 0x00000000; 0x00000000");
    }
}

namespace
{
// A byte of the link I/O window, read the way the tool reads it.
unsigned WindowByte(const CSimDevice& device, unsigned address)
{
    device.Tool("poke", {"0x2014", std::to_string(0x2000 | address)});
    return static_cast<unsigned>(
        std::strtoul(device.Tool("peek", {"0x2018"}).c_str(), nullptr, 16));
}

unsigned WindowWord(const CSimDevice& device, unsigned address)
{
    unsigned word = 0;
    for (unsigned i = 0; i < 4; ++i)
        word |= WindowByte(device, address + i) << (8 * i);
    return word;
}
} // namespace

// What makes the loading tests above mean something: the module configures only when every
// block arrived whole.
TEST(LinkIoWindow, BlockThatDidNotArriveWholeFailsTheConfiguration)
{
    CSimDevice device({"--family", "LIO"});
    auto write = [&](unsigned address, unsigned value) {
        device.Tool("poke", {"0x2014", std::to_string(value << 16 | 0x4000 | address)});
    };
    device.Tool("poke", {"0x2010", "0x80000000"});
    write(0x1000, 0x11);
    write(0xFE4, 2); // two bytes announced, one sent
    write(0xFE5, 0x80);
    write(0xFE6, 0x10);
    EXPECT_EQ(WindowByte(device, 0xFE6), 0x10u);
    EXPECT_EQ(WindowByte(device, 0xFE6), 0u);
    EXPECT_EQ(WindowByte(device, 0xFE0), 5u);
    EXPECT_EQ(WindowWord(device, 0xFF0), 0u);
}

TEST_F(QtxDevice, IoEmbSendsTheFileInBlocks)
{
    const struct
    {
        size_t size;
        const char* dots;
    } cases[] = {{10000, "..."}, {8192, ".."}, {1, "."}};
    for (const auto& c : cases)
    {
        CSimDevice device({"--family", "LIO"});
        std::string data;
        unsigned sum = 0;
        for (size_t i = 0; i < c.size; ++i)
        {
            data += static_cast<char>((i * 7 + 3) & 0xFF);
            sum += (i * 7 + 3) & 0xFF;
        }
        std::ofstream(Path("config.bin"), std::ios::binary) << data;
        CRun run = Qtx(device, {"IOEmb", Path("config.bin"), "5"});
        EXPECT_EQ(run.iStatus, 0) << c.size << run.sOut;
        EXPECT_TRUE(run.Has("Waiting for module ready . done\nSending configuration " +
                            std::string(c.dots) +
                            " done\nConfiguration result = 3\nFiber optic register value = "
                            "0x05\n"))
            << run.sOut;
        EXPECT_EQ(WindowWord(device, 0xFF0), c.size);
        EXPECT_EQ(WindowWord(device, 0xFF4), sum);
    }

    // Nothing to send: the module stays unconfigured.
    CSimDevice device({"--family", "LIO"});
    std::ofstream(Path("empty.bin")).close();
    CRun empty = Qtx(device, {"IOEmb", Path("empty.bin"), "0"});
    EXPECT_EQ(empty.iStatus, 4);
    EXPECT_TRUE(empty.Has("Sending configuration  done\nConfiguration result = 1\n")) << empty.sOut;
    CRun missing = Qtx(device, {"IOEmb", Path("missing.bin"), "0"});
    EXPECT_EQ(missing.iStatus, 4);
    EXPECT_TRUE(missing.Has("ERROR: can not open file")) << missing.sOut;
}

TEST_F(QtxDevice, IoEmbRunsOnlyOnTheLinkIoFpga)
{
    std::ofstream(Path("config.bin"), std::ios::binary) << "abc";
    for (const char* family : {"KV8", "PDP"})
    {
        CSimDevice device({"--family", family});
        device.Tool("poke", {"0x2010", "0x123"});
        device.Tool("poke", {"0x2014", "0x456"});
        const std::string before =
            device.Tool("peek", {"0x2010"}) + device.Tool("peek", {"0x2014"});
        CRun run = Qtx(device, {"IOEmb", Path("config.bin"), "1"});
        EXPECT_EQ(run.iStatus, 4);
        EXPECT_EQ(run.sOut, "");
        EXPECT_EQ(
            run.sErr,
            "ERROR: This mode runs only on qorRida-va-zarozova\nCommand responded an ERROR\n");
        EXPECT_EQ(device.Tool("peek", {"0x2010"}) + device.Tool("peek", {"0x2014"}), before)
            << family;
    }
}
