// qtx's bus actions on the simulated device: what qtx writes is what the simulator holds, and
// what the simulator holds is what qtx reads and copies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include "KoveTestSupport.h"
#include "QtxRun.h"

using namespace kovetest;

namespace
{
class QtxBus : public testing::Test
{
protected:
    CRun Qtx(const std::vector<std::string>& args) const
    {
        return ::Qtx(args, {"KOVE_SIM=" + tDevice.Dir()});
    }
    std::string Peek(const std::string& address) const { return tDevice.Tool("peek", {address}); }
    std::string Path(const std::string& name) const { return tFiles.Path() + "/" + name; }

    CSimDevice tDevice;
    CTempDir tFiles;
};
} // namespace

TEST_F(QtxBus, WordsWrittenAreOnTheBusAndReadBack)
{
    CRun write = Qtx({"Write", "0x2000", "0x41424344", "-1073741824", "0x3FC00000"});
    ASSERT_EQ(write.iStatus, 0) << write.sOut;
    EXPECT_EQ(Peek("0x2000"), "0x41424344\n");
    EXPECT_EQ(Peek("0x2004"), "0xC0000000\n");
    EXPECT_EQ(Peek("0x2008"), "0x3FC00000\n");

    // 5 bytes are two words; the bytes from the lowest, unprintable ones as blanks.
    CRun read = Qtx({"Read", "0x2004", "5"});
    ASSERT_EQ(read.iStatus, 0) << read.sOut;
    EXPECT_EQ(
        read.sOut,
        "[0x00002004] = 0xC0000000 =  -1073741824 = {  0   0   0 192} = \"    \" = -2.000000\n"
        "[0x00002008] = 0x3FC00000 =   1069547520 = {  0   0 192  63} = \"   ?\" = 1.500000\n");
    CRun none = Qtx({"Read", "0x2000", "0"});
    EXPECT_EQ(none.iStatus, 0);
    EXPECT_EQ(none.sOut, "");
    EXPECT_TRUE(Qtx({"Read", "0x2000", "4"}).Has("\"DCBA\""));
}

TEST_F(QtxBus, NumbersAreTakenWholeInEveryForm)
{
    CRun forms = Qtx({"Write", "0x30", "0b1010", "0o17", "0d99", "1_000", "-1", " 7\t", "0XfF",
                      "4294967295", "-2147483648"});
    ASSERT_EQ(forms.iStatus, 0) << forms.All();
    const char* words[] = {"0x0000000A", "0x0000000F", "0x00000063", "0x000003E8", "0xFFFFFFFF",
                           "0x00000007", "0x000000FF", "0xFFFFFFFF", "0x80000000"};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(Peek(std::to_string(0x30 + 4 * i)), std::string(words[i]) + "\n") << i;

    // A number that does not parse is no 0 and no prefix of itself: the word stays.
    ASSERT_EQ(Qtx({"Write", "0x20", "0x55"}).iStatus, 0);
    for (const char* data : {"zz", "12abc"})
    {
        CRun run = Qtx({"Write", "0x20", "1", data});
        EXPECT_EQ(run.iStatus, 3) << data;
        EXPECT_EQ(run.sErr, std::string("ERROR: <Data> must be a 32-bit whole number, not \"") +
                                data + "\"\n");
    }
    EXPECT_EQ(Peek("0x20"), "0x00000055\n");
    EXPECT_EQ(Peek("0x24"), "0x00000000\n");
}

TEST_F(QtxBus, FileCopiedToTheBusAndBack)
{
    std::ofstream(Path("six.bin"), std::ios::binary) << std::string("\x01\x02\x03\x04\x05\x06", 6);
    CRun in = Qtx({"File2PCI", "0x3000", Path("six.bin")});
    ASSERT_EQ(in.iStatus, 0) << in.sOut;
    EXPECT_EQ(Peek("0x3000"), "0x04030201\n");
    EXPECT_EQ(Peek("0x3004"), "0x00000605\n");

    CRun out = Qtx({"PCI2File", "0x3000", "6", Path("back.bin")});
    ASSERT_EQ(out.iStatus, 0) << out.sOut;
    EXPECT_EQ(ReadFile(Path("back.bin")), std::string("\x01\x02\x03\x04\x05\x06", 6));

    EXPECT_EQ(Qtx({"File2PCI", "0x3000", Path("missing.bin")}).iStatus, 4);
    CRun negative = Qtx({"PCI2File", "0x3000", "-4", Path("neg.bin")});
    EXPECT_EQ(negative.iStatus, 4);
    EXPECT_TRUE(negative.Has("ERROR: Can not allocate buffer for -4 bytes"));
}

TEST_F(QtxBus, RingBufferBlocksAreStoredWithThePointer)
{
    ASSERT_EQ(Qtx({"Write", "0x4000", "0x11111111", "0x22222222", "0x33333333", "0x44444444",
                   "0x55555555"})
                  .iStatus,
              0);
    ASSERT_EQ(Qtx({"Write", "0x5000", "0x1234"}).iStatus, 0);
    // Blocks of 5 bytes take 8; the blocks start 12 bytes apart.
    CRun run = Qtx({"RingBuffer2File", "0x4000", "5", "12", "2", "0x5000", Path("ring.bin")});
    ASSERT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(run.Has("Wrote 2 blocks of 8 bytes each to file " + Path("ring.bin") +
                        ".\nPointer before reading the first block: 0x00001234, after reading "
                        "the last block: 0x00001234\n"))
        << run.sOut;
    EXPECT_EQ(ReadFile(Path("ring.bin")), std::string("\x11\x11\x11\x11\x22\x22\x22\x22"
                                                      "\x44\x44\x44\x44\x55\x55\x55\x55",
                                                      16));
    CRun empty = Qtx({"RingBuffer2File", "0x4000", "0", "12", "2", "0", Path("none.bin")});
    EXPECT_EQ(empty.iStatus, 4);
    EXPECT_TRUE(empty.Has("ERROR: <BlockLength> and <NumberOfBlogks> must be greater than 0"));
}

TEST_F(QtxBus, MemoryTestWritesItsPatternAndReportsARefusedWord)
{
    // 1001 words: chunks of 499, 499 and 3 words; word 1000 holds pattern[2] XOR 4000.
    CRun run = Qtx({"MemTest", "0x10000", "4004", "2"});
    ASSERT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(run.Has("..\n\nStatistics: Total loops: 2, loops with errors: 0\n\nTest passed.\n"))
        << run.sOut;
    std::srand(1); // the tool's rand is not seeded
    std::rand();
    std::rand();
    const uint32_t third = ((static_cast<uint32_t>(std::rand()) & 0xFFFF) << 16) | 0xFFFF;
    char expected[16];
    std::snprintf(expected, sizeof expected, "0x%08X\n", third ^ 4000u);
    EXPECT_EQ(Peek("0x10FA0"), expected);

    // A refused word fails every loop (the range still holds the pattern: only the refused word
    // differs); the analyser's mark is written and the error logged.
    for (const char* dir : {"/Applications", "/Applications/tmp", "/Applications/tmp/Driver",
                            "/Applications/tmp/Driver/Tools"})
        ::mkdir(tDevice.Path(dir).c_str(), 0755);
    tDevice.Tool("refuse", {"0x10008"});
    CRun bad = Qtx({"MemTest", "0x10000", "64", "3", "0x6000", "0xABCD"});
    EXPECT_EQ(bad.iStatus, 4);
    EXPECT_NE(bad.sOut.find("EEE\n\nStatistics: Total loops: 3, loops with errors: 3\n"),
              std::string::npos)
        << bad.sOut;
    EXPECT_EQ(bad.sErr, "\nERROR: Test failed!\nCommand responded an ERROR\n");
    EXPECT_EQ(Peek("0x6000"), "0x0000ABCD\n");
    std::string log = ReadFile(tDevice.Path("/Applications/tmp/Driver/Tools/MemTestErrors.txt"));
    EXPECT_NE(log.find("] Verify error: Address=0x00010008, read="), std::string::npos) << log;

    EXPECT_EQ(Qtx({"MemTest", "0x10000", "64"}).iStatus, 3);
    EXPECT_EQ(Qtx({"MemTest", "0x10000", "64", "1", "0"}).iStatus, 3);
}

TEST_F(QtxBus, DebugDataSources)
{
    const struct
    {
        const char* source;
        const char* message;
    } cases[] = {
        {"fpga", "Error: HW Family "},
        {"EEPROM", "Error: Source EEPROM is not yet implemented"},
        {"PLV", "Error: Source PLV is not yet implemented"},
        {"CPU", "Error: Unknown source: CPU"},
    };
    for (const auto& c : cases)
    {
        CRun run = Qtx({"DebugData", c.source, "1", Path("debug.bin")});
        EXPECT_EQ(run.iStatus, 4) << c.source;
        EXPECT_TRUE(run.Has(c.message)) << c.source << "\n" << run.sOut;
    }
    struct stat st;
    EXPECT_NE(::stat(Path("debug.bin").c_str(), &st), 0);
}
