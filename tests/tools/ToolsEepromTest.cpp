// qtx's EEPROM and SPI flash actions on the simulated modules: EEPROM images to and from
// files, the production record viewer and editor (driven through standard input), the
// conversion into the older layout, and SPI flash blocks to and from files.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "KoveTestSupport.h"
#include "ModuleMemory.h"
#include "QTXTools.h"
#include "QtxRun.h"

using namespace kovetest;

TEST(ToolsEepromRecord, FlashSizeOfEveryCode)
{
    const std::map<int, std::string> cases = {
        {0, "unknown (0x00)"},  {19, "unknown (0x13)"}, {20, "1 MByte"},
        {22, "4 MByte"},        {24, "16 MByte"},       {30, "1024 MByte"},
        {31, "unknown (0x1F)"}, {63, "unknown (0x3F)"}, {0xFF, "unknown (0xFF)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EepromFlashSizeText(static_cast<unsigned char>(c.first)), c.second) << c.first;
}

namespace
{
// Bytes written as hex digits.
std::string Hex(const char* digits)
{
    std::string bytes;
    for (const char* at = digits; at[0] != '\0' && at[1] != '\0'; at += 2)
        bytes += static_cast<char>(std::stoi(std::string(at, 2), nullptr, 16));
    return bytes;
}

class QtxEeprom : public testing::Test
{
protected:
    CRun Qtx(const std::vector<std::string>& args, const std::string& input = "") const
    {
        return QtxIn(args, {"KOVE_SIM=" + tDevice.Dir()}, input, tFiles.Path());
    }
    std::string Path(const std::string& name) const { return tFiles.Path() + "/" + name; }
    std::string Eeprom(int slot) const
    {
        return ReadFile(tDevice.Path("/dev/module" + std::to_string(slot) + "/eeprom.bin"));
    }
    void Write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    static std::string WithChecksum(std::string record)
    {
        EepromCheck(&record[0], kEepromRecordSize, true);
        return record;
    }

    CSimDevice tDevice{{"--slots", "1,2,3"}};
    CTempDir tFiles;
};
} // namespace

TEST_F(QtxEeprom, ImagesGoToAndFromTheModuleEeprom)
{
    CRun read = Qtx({"Eeprom2File", "1", "module1.bin"});
    ASSERT_EQ(read.iStatus, 0) << read.sOut;
    const std::string image = ReadFile(Path("module1.bin"));
    ASSERT_EQ(image.size(), 512u);
    EXPECT_EQ(image, Eeprom(1).substr(0, 512));
    EXPECT_STREQ(image.c_str() + 32, "SimModule1");

    // The image goes to another module with its checksum made right; a length writes less.
    std::string changed = image;
    changed.replace(32, 11, std::string("Changed\0\0\0\0", 11));
    Write("changed.bin", changed);
    CRun write = Qtx({"File2Eeprom", "2", "changed.bin"});
    ASSERT_EQ(write.iStatus, 0) << write.sOut;
    EXPECT_EQ(Eeprom(2).substr(0, 512), WithChecksum(changed));
    ASSERT_EQ(Qtx({"Eeprom2File", "2", "all.bin", "0x400"}).iStatus, 0);
    EXPECT_EQ(ReadFile(Path("all.bin")), Eeprom(2));
    ASSERT_EQ(Qtx({"Eeprom2File", "2", "part.bin", "40"}).iStatus, 0);
    EXPECT_EQ(ReadFile(Path("part.bin")), Eeprom(2).substr(0, 40));

    Write("short.bin", std::string(511, '\0'));
    const struct
    {
        std::vector<std::string> args;
        std::string shown;
    } refused[] = {
        {{"Eeprom2File", "0", "x.bin"}, "Wrong slot number, must be between 1 and 4\n"},
        {{"Eeprom2File", "5", "x.bin"}, "Wrong slot number, must be between 1 and 4\n"},
        {{"Eeprom2File", "1", "x.bin", "0"}, "Wrong buffer length, must be positive (>= 1)\n"},
        {{"Eeprom2File", "1", "x.bin", "1025"}, "Wrong buffer length, the EEPROM holds 1024"},
        {{"Eeprom2File", "4", "x.bin"}, "Hardware error while reading Eeprom\n"},
        {{"Eeprom2File", "1", "no/such/dir.bin"}, "Can not open file \"no/such/dir.bin\"\n"},
        {{"File2Eeprom", "5", "short.bin"}, "Wrong slot number, must be between 1 and 4\n"},
        {{"File2Eeprom", "1", "short.bin"}, "Can not read file \"short.bin\"\n"},
        {{"File2Eeprom", "1", "missing.bin"}, "Can not read file \"missing.bin\"\n"},
        {{"File2Eeprom", "1", "short.bin", "-1"}, "Wrong buffer length, must be positive"},
        {{"File2Eeprom", "4", "changed.bin"}, "Hardware error while writing Eeprom\n"},
    };
    const std::string before = Eeprom(1);
    for (const auto& c : refused)
    {
        CRun run = Qtx(c.args);
        EXPECT_EQ(run.iStatus, 4) << c.args[0] << " " << c.args[1] << run.sOut;
        EXPECT_TRUE(run.Has(c.shown)) << run.sOut;
        EXPECT_TRUE(run.Has("Command responded an ERROR")) << run.sOut;
    }
    EXPECT_EQ(Eeprom(1), before);
    EXPECT_FALSE(ReadFile(Path("x.bin")).size() > 0);
}

TEST_F(QtxEeprom, CheckShowsTheRecordOfAModuleOrOfTheProductionPartition)
{
    CRun module = Qtx({"CheckEeprom", "13"});
    ASSERT_EQ(module.iStatus, 0) << module.sOut;
    EXPECT_EQ(ReadFile(Path("Eeprom_tmp.bin")), Eeprom(3).substr(0, 512));
    EXPECT_TRUE(module.Has("\n (1) Change production date: ?\?\?\?-?\?-?\? ?\?:?\?\n"
                           " (2) Change serial number  : 100003\n"
                           " (3) Change name           : SimModule3\n"
                           " (4) Change ordering number: 30.000001\n"
                           " (5) Change production-ID  : \n"
                           " (6) Change version        : HW=01, FW=01.0000\n"
                           " (7) Change Markers        : HW=0, Update=0, FPGAFamily=0\n"
                           " (8) Change MAC address    : 000000000000\n"
                           " (9) Change Flash size     : unknown (0x00)\n"
                           " --- Flash Checksum is       OK\n"))
        << module.sOut;
    EXPECT_FALSE(module.Has("(w)")) << module.sOut;

    for (const char* slot : {"0", "10"})
    {
        CRun cpu = Qtx({"CheckEeprom", slot});
        ASSERT_EQ(cpu.iStatus, 0) << cpu.sOut;
        EXPECT_TRUE(cpu.Has(" (2) Change serial number  : 12345\n")) << cpu.sOut;
        EXPECT_TRUE(cpu.Has(" (4) Change ordering number: 10.000001\n")) << cpu.sOut;
        EXPECT_TRUE(cpu.Has(" --- Flash Checksum is       CORRUPT\n")) << cpu.sOut;
    }

    // A damaged record: texts without their end, no digits in the date, no known flash size.
    std::string damaged(512, 'x');
    damaged[507] = '\xFF';
    Write("damaged.bin", damaged);
    ASSERT_EQ(Qtx({"File2Eeprom", "2", "damaged.bin"}).iStatus, 0);
    CRun shown = Qtx({"CheckEeprom", "2"});
    ASSERT_EQ(shown.iStatus, 0) << shown.sOut;
    EXPECT_TRUE(shown.Has(" (1) Change production date: ?\?\?\?-?\?-?\? ?\?:?\?\n"
                          " (2) Change serial number  : " +
                          std::string(15, 'x') +
                          "\n (3) Change name           : " + std::string(31, 'x') + "\n"))
        << shown.sOut;
    EXPECT_TRUE(shown.Has(" (5) Change production-ID  : " + std::string(31, 'x') + "\n"));
    EXPECT_TRUE(shown.Has(" (9) Change Flash size     : unknown (0xFF)\n")) << shown.sOut;

    CRun empty = Qtx({"CheckEeprom", "4"});
    EXPECT_EQ(empty.iStatus, 4) << empty.sOut;
    EXPECT_TRUE(empty.Has("Hardware error while reading Eeprom")) << empty.sOut;
    CRun negative = Qtx({"CheckEeprom", "-10"});
    EXPECT_EQ(negative.iStatus, 4) << negative.sOut;
    EXPECT_TRUE(negative.Has("Wrong slot number, must be between 1 and 4\n")) << negative.sOut;
}

TEST_F(QtxEeprom, EditorEntriesChangeTheFileOnlyWhenWritten)
{
    std::string original(512, '\0');
    original.replace(4, 12, "010120231200");
    original.replace(32, 7, "OldName");
    original.replace(160, 256, std::string(256, '\xAA'));
    original[136] = 7;
    original[507] = 22;
    original = WithChecksum(original);

    const struct
    {
        std::string input;
        std::map<size_t, std::string> patches; // offset -> bytes of the written file
        std::string shown;
    } cases[] = {
        {"1\n2024-5-7 9:3\nw\n", {{4, "070520240903"}}, ": 2024-05-07 09:03\n"},
        {"1\n24-05-07 09:03\nw\n", {{4, "070520240903"}}, ""},
        {"1\n2000-01-01 00:00\nw\n", {}, ": 2023-01-01 12:00\n"},
        {"1\n2024-13-07 09:03\nw\n", {}, "Wrong format - date and time are unchanged."},
        {"1\n2024-05-07\nw\n", {}, "Wrong format - date and time are unchanged."},
        {"1\n2024-05-07 09:03 x\nw\n", {}, "Wrong format - date and time are unchanged."},
        {"1\n12345-05-07 09:03\nw\n", {}, "Wrong format - date and time are unchanged."},
        {"1\n5\nw\n", {}, "Wrong format - date and time are unchanged."},
        {"2\n12345678901234567890\nw\n", {{16, std::string("123456789012345\0", 16)}}, ""},
        {"3\nNewName\nw\n", {{32, "NewName"}}, " (3) Change name           : NewName\n"},
        {"4\n30.123456\n5\nP-7\nw\n", {{64, "30.123456"}, {96, "P-7"}}, ""},
        {"6\n1\n02\n0003\nw\n",
         {{128, std::string("1\0"
                            "020003",
                            8)}},
         "HW=1 , FW=02.0003\n (7) Change Markers        : HW=7,"},
        {"7\n1\n2\nfF\nw\n", {{136, "\x01\x02\xFF"}}, "HW=1, Update=2, FPGAFamily=255\n"},
        {"7\n1\n256\nw\n", {{136, "\x01"}}, "Wrong input, please try abain with a number"},
        {"7\n-1\nw\n", {}, "Wrong input, please try abain with a number between 0 and 255"},
        {"8\n0a1B2c3D4e5F\nw\n", {{144, "\x0A\x1B\x2C\x3D\x4E\x5F"}}, ": 0A1B2C3D4E5F\n"},
        {"8\n00:11:22\nw\n", {}, "Error in digit 3 - input is ignored. Please try again\n"},
        {"8\n0011223344\nw\n", {}, "Error in digit 11 - input is ignored."},
        {"9\n3\nw\n", {}, "Illegal number, size is not changed."},
        {"9\n16\nw\n", {{507, "\x18"}}, ": 16 MByte\n"},
        {"9\n1\nw\n", {{507, "\x14"}}, ": 1 MByte\n"},
        {"0\nw\n",
         {{160, std::string(256, '\0')},
          {416, Hex("0356202003562020035620200356202003562020"
                    "0000000000000000"
                    "82B043209411B80BCA083804803E00000000F4017C15A510BE0A2805007F0000"
                    "0000581B8C19A510C60CC60C8CA800000000F0FF7017640000"
                    "00FF00000000")}},
         ""},
        {"q\n3\nNew\nX\n", {}, "Unknown input: \"q\". Please try again\n"},
        {"3\nNew\n", {}, " (3) Change name           : New\n"},
        {"\x01 \xFF W", {}, " --- Flash Checksum is       OK\n"},
    };
    for (const auto& c : cases)
    {
        Write("record.bin", original + "tail");
        CRun run = Qtx({"UpdateEepromFile", "record.bin"}, c.input);
        EXPECT_EQ(run.iStatus, 0) << c.input << run.sOut;
        EXPECT_TRUE(run.Has(c.shown)) << c.input << run.sOut;
        EXPECT_TRUE(run.Has(" (x) Exit without saving the changes\nWhat do you want to do? "));
        std::string wanted = original;
        for (const auto& patch : c.patches)
            wanted.replace(patch.first, patch.second.size(), patch.second);
        EXPECT_EQ(ReadFile(Path("record.bin")), WithChecksum(wanted) + "tail") << c.input;
    }

    // The date of now is taken as digits.
    Write("record.bin", original);
    ASSERT_EQ(Qtx({"UpdateEepromFile", "record.bin"}, "1\n0\nw\n").iStatus, 0);
    const std::string now = ReadFile(Path("record.bin")).substr(4, 12);
    EXPECT_EQ(now.find_first_not_of("0123456789"), std::string::npos) << now;
    EXPECT_NE(now, "010120231200");

    Write("short.bin", original.substr(0, 511));
    const struct
    {
        const char* file;
        const char* shown;
    } refused[] = {{"short.bin", "Can not read file \"short.bin\"\n"},
                   {"missing.bin", "Can not read file \"missing.bin\"\n"},
                   {"", "Wrong parameter\n"}};
    for (const auto& c : refused)
    {
        CRun run = Qtx({"UpdateEepromFile", c.file}, "3\nNew\nw\n");
        EXPECT_EQ(run.iStatus, 4) << run.sOut;
        EXPECT_TRUE(run.Has(c.shown)) << run.sOut;
    }
    EXPECT_EQ(ReadFile(Path("short.bin")), original.substr(0, 511));
}

TEST_F(QtxEeprom, ConversionWritesTheOlderLayout)
{
    std::string record(512, '\0');
    record.replace(4, 12, "070520240903");
    record.replace(16, 6, "123456");
    record.replace(32, 30, "ModuleNameThatIsLongerThan24Ch");
    record.replace(96, 4, "PID9");
    record.replace(128, 2, "03");
    for (int i = 256; i < 512; ++i)
        record[static_cast<size_t>(i)] = static_cast<char>(i);
    Write("record.bin", record + "tail");
    CRun run = Qtx({"ConvertNewToOldEepromFile", "record.bin", "0x1234", "07xx"});
    ASSERT_EQ(run.iStatus, 0) << run.sOut;

    std::string old(512, '\0');
    old.replace(4, 12, "070520240903");
    old.replace(16, 4, "0707");
    old.replace(20, 2, "03");
    old.replace(24, 16, record.substr(16, 16));
    old.replace(40, 32, "ProductNameProductNameProductNam");
    old.replace(72, 32, record.substr(32, 32));
    old.replace(104, 32, "CpuNameCpuNameCpuNameCpuNameCpuN");
    old.replace(136, 32, record.substr(96, 32));
    old.replace(168, 8, "Product:");
    old.replace(176, 24, "ModuleNameThatIsLongerTh");
    old.replace(200, 2, "\x34\x12");
    old.replace(206, 4, "A0A0");
    old.replace(256, 256, record.substr(256));
    old[507] = 20;
    EXPECT_EQ(ReadFile(Path("record.bin")), WithChecksum(old) + "tail");

    Write("short.bin", record.substr(0, 100));
    EXPECT_EQ(Qtx({"ConvertNewToOldEepromFile", "short.bin", "1", "07"}).iStatus, 4);
    EXPECT_EQ(ReadFile(Path("short.bin")), record.substr(0, 100));
    CRun wide = Qtx({"ConvertNewToOldEepromFile", "record.bin", "0x10000", "07"});
    EXPECT_EQ(wide.iStatus, 4);
    EXPECT_TRUE(wide.Has("ERROR: <ProductId> must be between 0 and 65535")) << wide.sOut;
}

TEST_F(QtxEeprom, SpiFlashBlocksGoToAndFromFiles)
{
    // A byte just before the written range must stay.
    ASSERT_EQ(Qtx({"SrwCmd", "1", "FlashWrite", "0x1EFFF", "*;0x5A"}).iStatus, 0);
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 256);
    Write("data.bin", data);
    // Blocks of 4096, 65536 and 30368 bytes: up to the 64 KiB boundary, then whole ones.
    CRun write = Qtx({"File2SpiFlash", "1", "0x1F000", "data.bin"});
    ASSERT_EQ(write.iStatus, 0) << write.sOut;
    EXPECT_TRUE(write.Has("\n... Done.\n")) << write.sOut;

    CRun read = Qtx({"SpiFlash2File", "1", "0x1EFFF", "100001", "back.bin"});
    ASSERT_EQ(read.iStatus, 0) << read.sOut;
    EXPECT_TRUE(read.Has("\n.. Done.\n")) << read.sOut;
    EXPECT_EQ(ReadFile(Path("back.bin")), "\x5A" + data);
    ASSERT_EQ(Qtx({"SrwCmd", "1", "FlashRead", "0x1F000", "100000", "srw.bin"}).iStatus, 0);
    EXPECT_EQ(ReadFile(Path("srw.bin")), data);
    // Another slot has a flash of its own.
    ASSERT_EQ(Qtx({"SpiFlash2File", "2", "0x1F000", "16", "other.bin"}).iStatus, 0);
    EXPECT_EQ(ReadFile(Path("other.bin")), std::string(16, '\xFF'));
    ASSERT_EQ(Qtx({"SpiFlash2File", "1", "0", "0", "none.bin"}).iStatus, 0);
    EXPECT_EQ(ReadFile(Path("none.bin")), "");

    const struct
    {
        std::vector<std::string> args;
        std::string shown;
        std::string progress = ""; // on standard output before the message
    } failed[] = {
        {{"SpiFlash2File", "11", "0", "16", "x.bin"}, "ERROR: Reading via RS232 not yet supported"},
        {{"File2SpiFlash", "12", "0", "data.bin"}, "ERROR: Writing via RS232 not yet supported"},
        {{"SpiFlash2File", "5", "0", "16", "x.bin"}, "Wrong slot number, must be between 0 and 4"},
        {{"SpiFlash2File", "4", "0", "16", "x.bin"}, "ERROR: Module command 16 failed on slot 4"},
        {{"File2SpiFlash", "4", "0", "data.bin"}, "ERROR: Module command 16 failed on slot 4"},
        {{"SpiFlash2File", "1", "-1", "16", "x.bin"}, "ERROR: wrong start address or length"},
        {{"SpiFlash2File", "1", "0", "-16", "x.bin"}, "ERROR: wrong start address or length"},
        {{"SpiFlash2File", "1", "0x7FFFFFF0", "0x20", "x.bin"}, "wrong start address or length"},
        {{"SpiFlash2File", "1", "0xFF0000", "0x20000", "x.bin"}, " Stopped after error\n", "\n.E"},
        {{"File2SpiFlash", "1", "0xFF0000", "data.bin"}, " Stopped after error\n", "\n.E"},
        {{"File2SpiFlash", "1", "0", "missing.bin"}, "ERROR: can not open file \"missing.bin\""},
    };
    for (const auto& c : failed)
    {
        CRun run = Qtx(c.args);
        EXPECT_EQ(run.iStatus, 4) << c.args[0] << " " << c.args[1] << " " << run.sOut;
        EXPECT_TRUE(run.Has(c.shown)) << run.All();
        EXPECT_NE(run.sOut.find(c.progress), std::string::npos) << run.sOut;
    }
    // What stood in the flash is still there.
    ASSERT_EQ(Qtx({"SpiFlash2File", "1", "0x1F000", "100000", "again.bin"}).iStatus, 0);
    EXPECT_EQ(ReadFile(Path("again.bin")), data);
}
