// Module memories through the module libraries, against the stand-ins of a simulated device
// with modules in slots 1 and 2: EEPROM with its checksum, module commands that change
// slot, SPI flash blocks, the module flash file system, the calibration archive of a flash
// partition, and libraries that are let go on every failure.
#include "ModuleMemory.h"
#include "PlvBackend.h"
#include "QTXPLVAccess.h"

#include "KovePlatform.h"
#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

void UseDevice(const std::string& dir)
{
    if (dir.empty())
        unsetenv("KOVE_SIM");
    else
        setenv("KOVE_SIM", dir.c_str(), 1);
    PlatReloadSimulation();
}

Bytes Pattern(size_t size, uint8_t seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(i * 13 + seed);
    return b;
}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Whether a module library is mapped into this process.
bool Loaded(const std::string& library)
{
    return kovetest::ReadFile("/proc/self/maps").find("/" + library) != std::string::npos;
}

void WriteBytes(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

Bytes ReadBytes(const std::string& path)
{
    const std::string text = kovetest::ReadFile(path);
    return Bytes(text.begin(), text.end());
}

class ModuleMemory : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pDevice =
            std::make_unique<kovetest::CSimDevice>(std::vector<std::string>{"--slots", "1,2"});
        UseDevice(m_pDevice->Dir());
    }
    void TearDown() override
    {
        EepromReleaseLock();
        Plv_Deinitialize();
        UseDevice("");
    }

    // A file of the device's update folder: the path the device uses, and where it lies.
    std::string Local(const std::string& name) const { return "/tmp/Update/" + name; }
    std::string Real(const std::string& devicePath) const { return m_pDevice->Path(devicePath); }

    std::unique_ptr<kovetest::CSimDevice> m_pDevice;
};

TEST_F(ModuleMemory, EepromChecksumRule)
{
    Bytes zeros(512, 0);
    EXPECT_FALSE(EepromCheck(zeros.data(), 512, true));
    EXPECT_EQ(Le32(zeros.data() + 508), 508u * 0x65u); // 51,308
    EXPECT_TRUE(EepromCheck(zeros.data(), 512, false));
    Bytes tiny(3, 0);
    EXPECT_FALSE(EepromCheck(tiny.data(), 3, true));
    EXPECT_EQ(tiny, Bytes(3, 0));
}

TEST_F(ModuleMemory, EepromWrittenAndReadBackPerSlot)
{
    Bytes image = Pattern(512, 1);
    ASSERT_TRUE(EepromWrite(image.data(), 512, 0, 1, 0, true));
    EXPECT_TRUE(EepromCheck(image.data(), 512, false)); // the checksum went in before writing

    // Still reserved for slot 1: a command for slot 2 must reach slot 2.
    Bytes other(512);
    ASSERT_TRUE(EepromRead(other.data(), 512, 0, 2, 0, true));
    EXPECT_NE(other, image);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(other.data()) + 32), "SimModule2");

    // A slot driver's port names its slot.
    Bytes back(512);
    ASSERT_TRUE(EepromRead(back.data(), 512, 0, 62101, 0, false));
    EXPECT_EQ(back, image);
    EXPECT_FALSE(Loaded("libSRW.so")); // released and unloaded
}

TEST_F(ModuleMemory, TheChecksumClosesTheProductionRecordOnlyWhenTheWriteCoversIt)
{
    // A whole EEPROM: the record's checksum lands at byte 508, the caller's last bytes stay.
    Bytes whole = Pattern(1024, 5);
    const Bytes given = whole;
    ASSERT_TRUE(EepromWrite(whole.data(), 1024, 0, 1, 0, false));
    EXPECT_TRUE(EepromCheck(whole.data(), 512, false));
    EXPECT_TRUE(std::equal(given.begin() + 512, given.end(), whole.begin() + 512));
    Bytes back(1024);
    ASSERT_TRUE(EepromRead(back.data(), 1024, 0, 1, 0, false));
    EXPECT_EQ(back, whole);

    // A short write behind the production record is written as given, and the record at 0
    // keeps its own checksum.
    Bytes part = Pattern(16, 9);
    const Bytes partGiven = part;
    ASSERT_TRUE(EepromWrite(part.data(), 16, 0x200, 2, 0, false));
    EXPECT_EQ(part, partGiven);
    Bytes partBack(16);
    ASSERT_TRUE(EepromRead(partBack.data(), 16, 0x200, 2, 0, false));
    EXPECT_EQ(partBack, partGiven);
    Bytes record(512);
    ASSERT_TRUE(EepromRead(record.data(), 512, 0, 2, 0, false));
    EXPECT_TRUE(EepromCheck(record.data(), 512, false));
}

TEST_F(ModuleMemory, RefusedArgumentsAndEmptySlots)
{
    Bytes buffer(512);
    struct
    {
        int address, length, slot;
    } refused[] = {{-1, 512, 1}, {0, 0, 1}, {0, 512, 5}, {0, 512, 62105}, {0, 512, -1}};
    for (const auto& c : refused)
    {
        EXPECT_FALSE(EepromRead(buffer.data(), c.length, c.address, c.slot, 0, false));
        EXPECT_FALSE(Loaded("libSRW.so"));
    }
    EXPECT_TRUE(SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, 0)); // nothing loaded: nothing to do

    // A write takes the slot as it is: a slot driver's port or a slot without a module finds
    // no module to reserve, and slot 1 keeps its record.
    Bytes record(512);
    ASSERT_TRUE(EepromRead(record.data(), 512, 0, 1, 0, false));
    for (int slot : {62101, 5, 3, -1})
    {
        Bytes image = Pattern(512, 7);
        EXPECT_FALSE(EepromWrite(image.data(), 512, 0, slot, 0, false)) << slot;
        EXPECT_FALSE(Loaded("libSRW.so"));
    }
    ASSERT_TRUE(EepromRead(buffer.data(), 512, 0, 1, 0, false));
    EXPECT_EQ(buffer, record);

    // Slot 3 holds no module: the reservation is tried for the whole budget, then the library
    // is let go, so the next command starts afresh.
    EXPECT_FALSE(EepromRead(buffer.data(), 512, 0, 3, 250, true));
    EXPECT_FALSE(Loaded("libSRW.so"));
    EXPECT_TRUE(EepromRead(buffer.data(), 512, 0, 1, 0, false));

    EXPECT_FALSE(SpiFlashRead(buffer.data(), 512, 0, 3, 0));
    EXPECT_FALSE(Loaded("libPLV.so"));
}

// A command succeeds when the library says so: the bytes it reports returned do not count
// (not every module library reports them), and neither does the count the caller names.
TEST_F(ModuleMemory, TheLibrarysResultDecidesACommand)
{
    // Command 16: a 16-byte answer, its last word for the flash calls of the slot.
    uint8_t answer[16] = {0};
    ASSERT_TRUE(SrwCommand(SRW_SPI_FLASH_PARAMETERS, nullptr, 0, answer, 16, 17, 0, 2));
    EXPECT_EQ(Wio2UsrGetLe32(answer), 16u << 20);
    EXPECT_EQ(Wio2UsrGetLe32(answer + 4), PLV_FLASH_BLOCK);
    EXPECT_EQ(Wio2UsrGetLe32(answer + 12), 0x504C5602u);
    // The library refuses a buffer too short for its answer, and input it takes none of.
    EXPECT_FALSE(SrwCommand(SRW_SPI_FLASH_PARAMETERS, nullptr, 0, answer, 8, 0, 0, 2));
    uint8_t in[4] = {0};
    EXPECT_FALSE(SrwCommand(SRW_SPI_FLASH_PARAMETERS, in, 4, answer, 16, 16, 0, 2));
    EXPECT_FALSE(SrwCommand(SRW_SPI_FLASH_PARAMETERS, nullptr, -1, answer, 16, 16, 0, 2));

    // An erase and an EEPROM write report no bytes: they succeed all the same.
    uint8_t address[4] = {0}, length[4] = {1, 0, 0, 0};
    EXPECT_TRUE(SrwCommand(SRW_FLASH_ERASE, address, 4, length, 4, 4, 0, 2));
    Bytes image = Pattern(512, 3);
    EXPECT_TRUE(EepromWrite(image.data(), 512, 0, 2, 0, false));
    EXPECT_TRUE(SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, 2));
}

TEST_F(ModuleMemory, SpiFlashBlocksKeepTheirSurroundings)
{
    // Two whole blocks first (one record), then parts across the block boundary.
    const Bytes base = Pattern(0x20000, 3);
    ASSERT_TRUE(SpiFlashWrite(base.data(), 0x20000, 0x10000, 1, 0));
    Bytes expect = base;
    struct
    {
        uint32_t address, length;
    } parts[] = {{0x12340, 0x100}, {0x1FF80, 0x100}, {0x10000, 0x10}};
    uint8_t seed = 40;
    for (const auto& p : parts)
    {
        const Bytes data = Pattern(p.length, seed++);
        ASSERT_TRUE(SpiFlashWrite(data.data(), static_cast<int>(p.length),
                                  static_cast<int>(p.address), 1, 0));
        std::copy(data.begin(), data.end(), expect.begin() + (p.address - 0x10000));
    }
    Bytes back(0x20000);
    ASSERT_TRUE(SpiFlashRead(back.data(), 0x20000, 0x10000, 1, 0));
    EXPECT_TRUE(back == expect);
    // Slot 2 has a flash of its own, still erased.
    Bytes erased(16);
    ASSERT_TRUE(SpiFlashRead(erased.data(), 16, 0x10000, 2, 0));
    EXPECT_EQ(erased, Bytes(16, 0xFF));
    EXPECT_FALSE(Loaded("libPLV.so"));
}

// The records the flash library gets: whole blocks go in one record; otherwise one record per
// block, carrying the whole block at the block's address with the head counting the chunk of
// that block. The flash holds every write with what lay around it.
TEST_F(ModuleMemory, SpiFlashWriteSendsItsRecords)
{
    const std::string log = m_pDevice->Dir() + "/dev/module1/blockwrites.log";
    struct
    {
        uint32_t address, length;
        std::string records; // address, head length, data carried
    } cases[] = {
        {0, 0x50000, "0 50000 50000\n"},
        {0x10000, 0x10000, "10000 10000 10000\n"},
        {0x12340, 0x100, "10000 100 10000\n"},
        {0x1FF80, 0x100, "10000 80 10000\n20000 80 10000\n"},
        {0x30000, 0x18000, "30000 10000 10000\n40000 8000 10000\n"},
        {0x1FFF8, 0x10010, "10000 8 10000\n20000 10000 10000\n30000 8 10000\n"},
    };
    Bytes expect(0x50000);
    uint8_t seed = 60;
    for (const auto& c : cases)
    {
        std::filesystem::remove(log);
        const Bytes data = Pattern(c.length, seed++);
        ASSERT_TRUE(SpiFlashWrite(data.data(), static_cast<int>(c.length),
                                  static_cast<int>(c.address), 1, 0))
            << std::hex << c.address;
        EXPECT_EQ(kovetest::ReadFile(log), c.records) << std::hex << c.address;
        std::copy(data.begin(), data.end(), expect.begin() + c.address);
        Bytes back(expect.size());
        ASSERT_TRUE(SpiFlashRead(back.data(), static_cast<int>(back.size()), 0, 1, 0));
        EXPECT_TRUE(back == expect) << std::hex << c.address;
    }
}

TEST_F(ModuleMemory, FlashFileSystemListsWritesReadsAndDefragments)
{
    const std::string first = Local("Golden_Fpga.bin");
    const std::string second = Local("calibration.bin");
    WriteBytes(Real(first), Pattern(5000, 1));
    WriteBytes(Real(second), Pattern(300, 2));

    CQTXPLVAccess plv(1, 7, false);
    // A new module holds its golden FPGA image and a user image.
    ASSERT_EQ(plv.GetDirLength(), 2);
    EXPECT_EQ(plv.GetDirEntryName(0), "Golden_Fpga.bin");
    EXPECT_EQ(plv.GetDirEntryName(1), "User_Fpga.bin");
    ASSERT_TRUE(plv.Format(false));
    EXPECT_EQ(plv.GetDirLength(), -1); // an empty file system lists nothing
    ASSERT_TRUE(plv.Write(first));
    ASSERT_TRUE(plv.Write(second));
    ASSERT_EQ(plv.GetDirLength(), 2);
    EXPECT_EQ(plv.GetDirEntryName(0), "Golden_Fpga.bin");
    EXPECT_EQ(plv.GetDirEntryName(1), "calibration.bin");
    EXPECT_EQ(plv.GetDirEntryVersion(1), "A0");
    EXPECT_EQ(plv.GetDirEntryDate(1).size(), 19u);
    EXPECT_EQ(plv.GetDirEntryDate(1)[10], ' ');
    EXPECT_EQ(plv.GetDirEntryName(2), "");

    const std::string copy = Local("copy.bin");
    ASSERT_TRUE(plv.Read("calibration.bin", copy));
    EXPECT_EQ(ReadBytes(Real(copy)), Pattern(300, 2));
    EXPECT_FALSE(plv.Read("missing.bin", copy));

    // Deleting the first file leaves a gap that defragmenting closes.
    ASSERT_TRUE(plv.Delete("Golden_Fpga.bin"));
    ASSERT_EQ(plv.GetDirLength(), 1);
    ASSERT_TRUE(plv.Defrag());
    ASSERT_EQ(plv.GetDirLength(), 1);
    EXPECT_EQ(plv.GetDirEntryName(0), "calibration.bin");
    ASSERT_TRUE(plv.Read("calibration.bin", copy));
    EXPECT_EQ(ReadBytes(Real(copy)), Pattern(300, 2));

    ASSERT_TRUE(plv.Format(false));
    EXPECT_EQ(plv.GetDirLength(), -1);

    // An empty slot has no file system.
    CQTXPLVAccess empty(3, 7, false);
    EXPECT_FALSE(empty.Write(first));
    EXPECT_EQ(empty.GetDirLength(), -1);
    EXPECT_FALSE(Loaded("libPLV.so"));
}

// A deleted file leaves its entry to the next file written: a user image replaced by an update
// stays entry 1, before the files behind it, whatever its size. Defragmenting moves the files
// together in the flash and keeps their entries.
TEST_F(ModuleMemory, FlashFileSystemReusesFreedEntriesAndClosesGapsOnDefragment)
{
    const std::string cal = Local("calibration.bin");
    const std::string user = Local("User_Fpga.bin");
    WriteBytes(Real(cal), Pattern(100, 1));
    ASSERT_EQ(PlvTools_Write(2, 7, cal), PLV_OK);

    using Listing = std::vector<std::pair<std::string, uint32_t>>;
    auto listing = []
    {
        CQTXPLVAccess plv(2, 7, false);
        Listing entries;
        const SPlvReservation reservation = {2, 7, 0};
        EXPECT_EQ(Plv_Module_Reserve(&reservation), 1);
        int count = 0;
        EXPECT_EQ(Plv_Enumerate(&count), 1);
        std::vector<uint32_t> addresses(static_cast<size_t>(count));
        EXPECT_EQ(Plv_List_Flash_Addr(addresses.data(), count), 1);
        Plv_Module_Release();
        for (int i = 0; i < count; ++i)
            entries.emplace_back(plv.GetDirEntryName(i), addresses[static_cast<size_t>(i)]);
        return entries;
    };
    // The new module's images, the file behind them.
    EXPECT_EQ(listing(), (Listing{{"Golden_Fpga.bin", 0},
                                  {"User_Fpga.bin", 0x80000},
                                  {"calibration.bin", 0x81000}}));

    WriteBytes(Real(user), Pattern(0x10001, 5));
    ASSERT_EQ(PlvTools_Delete(2, 7, 0, "User_Fpga.bin"), PLV_OK);
    EXPECT_EQ(listing(), (Listing{{"Golden_Fpga.bin", 0}, {"calibration.bin", 0x81000}}));
    ASSERT_EQ(PlvTools_Write(2, 7, user), PLV_OK);
    EXPECT_EQ(listing(), (Listing{{"Golden_Fpga.bin", 0},
                                  {"User_Fpga.bin", 0x82000},
                                  {"calibration.bin", 0x81000}}));

    ASSERT_EQ(PlvTools_Defrag(2, 7), PLV_OK);
    EXPECT_EQ(
        listing(),
        (Listing{{"Golden_Fpga.bin", 0}, {"User_Fpga.bin", 0x1000}, {"calibration.bin", 0x12000}}));
    const std::string copy = Local("copy.bin");
    ASSERT_EQ(PlvTools_Read(2, 7, "User_Fpga.bin", copy), PLV_OK);
    EXPECT_EQ(ReadBytes(Real(copy)), Pattern(0x10001, 5));
    ASSERT_EQ(PlvTools_Read(2, 7, "calibration.bin", copy), PLV_OK);
    EXPECT_EQ(ReadBytes(Real(copy)), Pattern(100, 1));
}

TEST_F(ModuleMemory, FlashFileSystemWithoutModuleLibraryIsNotSupported)
{
    UseDevice(""); // the host has no module library
    EXPECT_EQ(PlvTools_Defrag(1, 7), PLV_NOT_SUPPORTED);
    EXPECT_EQ(PlvTools_Dir(1, 7), PLV_NOT_SUPPORTED);
    CQTXPLVAccess plv(1, 7, false);
    EXPECT_FALSE(plv.Defrag());
    EXPECT_FALSE(plv.Write("/etc/hostname"));
    EXPECT_EQ(plv.GetDirLength(), -1);
}

TEST_F(ModuleMemory, FlashFileSystemSimulateModeAndInvalidObjects)
{
    CQTXPLVAccess two(2, 1, true), four(3, 1, true);
    EXPECT_EQ(two.GetDirLength(), 2);
    EXPECT_EQ(four.GetDirLength(), 4);
    EXPECT_EQ(four.GetDirEntryName(2), "calibration.xml_cal");
    EXPECT_EQ(four.GetDirEntryDate(3), "2010-02-01 17:05:05");
    EXPECT_EQ(four.GetDirEntryDate(4), "");
    const std::string dummy = Local("dummy");
    ASSERT_TRUE(two.Read("User_Fpga.bin", dummy));
    EXPECT_EQ(kovetest::ReadFile(Real(dummy)),
              "This is only a dummy file to demonstratge the PLV read");

    for (auto args : {std::pair<int, int>{5, 1}, {0, 0}, {-1, 3}})
    {
        CQTXPLVAccess invalid(args.first, args.second, false);
        EXPECT_EQ(invalid.GetDirLength(), -1);
        EXPECT_FALSE(invalid.Delete("x"));
        EXPECT_FALSE(invalid.Defrag());
        EXPECT_EQ(invalid.GetDirEntryName(0), "");
    }
}

TEST_F(ModuleMemory, CalibrationArchiveFromAFlashPartition)
{
    // The archive's folder has a name that a shell would split and run.
    const std::string folder = Local("cal dir;touch injected");
    std::filesystem::create_directories(Real(folder));
    const std::string source = Real(Local("offsets.xml"));
    WriteBytes(source, Pattern(200, 5));
    const std::string zip = Real(Local("c.zip"));
    ASSERT_EQ(kovetest::RunCommand({"/usr/bin/zip", "-q", "-j", zip, source}), 0);
    const Bytes archive = ReadBytes(zip);

    auto partition = [&](uint32_t length, const Bytes& payload)
    {
        Bytes image = {'C', 'A', 'L', 'I', 0, 0, 0, 0};
        for (int i = 0; i < 4; ++i)
            image.push_back(static_cast<uint8_t>(length >> (8 * i)));
        image.insert(image.end(), payload.begin(), payload.end());
        WriteBytes(m_pDevice->Dir() + "/dev/mtd_calib", image);
    };
    for (uint32_t bad : {1u, 0x50000u, static_cast<uint32_t>(archive.size() + 1)})
    {
        partition(bad, archive);
        EXPECT_FALSE(GetCalibrationFromFlash("/dev/mtd_calib", folder + "/"));
        EXPECT_EQ(kovetest::ReadFile(Real(folder) + "/calibration.zip"), "");
    }
    partition(static_cast<uint32_t>(archive.size()), archive);
    ASSERT_TRUE(GetCalibrationFromFlash("/dev/mtd_calib", folder + "/"));
    EXPECT_EQ(ReadBytes(Real(folder) + "/offsets.xml"), Pattern(200, 5));
    EXPECT_EQ(kovetest::ReadFile(Real(folder) + "/calibration.zip"), "");
    EXPECT_NE(access(Real(Local("injected")).c_str(), F_OK), 0);
    EXPECT_NE(access("injected", F_OK), 0);
}
} // namespace
