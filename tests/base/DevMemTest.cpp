// Tests of physical memory: mappings of "/dev/mem" on a simulated device, the
// copy record and the fixed identification words.

#include "DevMem.h"
#include "KovePlatform.h"
#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

// Each test runs on a fresh simulated device whose physical memory is the
// sparse file dev/mem (physical address = file offset).
class DevMemTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("KOVE_SIM", m_tDir.Path().c_str(), 1);
        PlatReloadSimulation();
        char probe[PATH_MAX];
        ASSERT_EQ(PlatPath("/", probe, sizeof probe), 0); // sets the device up
        ASSERT_TRUE(std::filesystem::exists(MemFile()));
    }

    std::string MemFile() const { return m_tDir.Path() + "/dev/mem"; }

    void PokeFile(uint64_t address, const std::vector<uint8_t>& bytes) const
    {
        const int fd = open(MemFile().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(address)),
                  static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    std::vector<uint8_t> PeekFile(uint64_t address, size_t count) const
    {
        std::vector<uint8_t> bytes(count);
        const int fd = open(MemFile().c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(pread(fd, bytes.data(), count, static_cast<off_t>(address)),
                  static_cast<ssize_t>(count));
        close(fd);
        return bytes;
    }

    kovetest::CTempDir m_tDir;
};

size_t OpenDescriptors()
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        (void)entry;
        ++n;
    }
    return n;
}

std::vector<uint8_t> Record(uint32_t status, uint32_t address, uint32_t length,
                            const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> record(DEVMEM_COPY_HEAD_SIZE);
    for (int i = 0; i < 4; ++i)
    {
        record[i] = static_cast<uint8_t>(status >> (8 * i));
        record[4 + i] = static_cast<uint8_t>(address >> (8 * i));
        record[8 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

uint32_t RecordStatus(const std::vector<uint8_t>& record)
{
    return record[0] | record[1] << 8 | record[2] << 16 | static_cast<uint32_t>(record[3]) << 24;
}

TEST_F(DevMemTest, MapsWholePagesFromThePageOfTheAddress)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    struct Case
    {
        uint32_t address;
        uint32_t length;
        size_t pages;
    };
    const Case cases[] = {
        {0x1004, 8, 1},
        {0x1FFC, 8, 2}, // crosses into the next page
        {0x2000, static_cast<uint32_t>(page), 1},
        {0x3001, static_cast<uint32_t>(page), 2},
        {0xFFFFF000u, 4, 1}, // the last page of the 32-bit space
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << "address 0x" << c.address);
        void* pointer = nullptr;
        DevMemMapping mapping;
        ASSERT_EQ(DevMemMap32(c.address, c.length, &pointer, &mapping, 1), KESTREL_OK);
        EXPECT_GE(mapping.iFd, 0);
        EXPECT_EQ(mapping.uLength, c.pages * page);
        EXPECT_EQ(pointer, static_cast<uint8_t*>(mapping.pBase) + c.address % page);

        // The pointer reaches exactly the physical address.
        const uint8_t mark[4] = {0x44, 0x33, 0x22, static_cast<uint8_t>(c.address)};
        memcpy(pointer, mark, sizeof mark);
        DevMemUnmap(&mapping);
        EXPECT_EQ(PeekFile(c.address, 4), std::vector<uint8_t>(mark, mark + 4));

        EXPECT_EQ(mapping.iFd, -1);
        EXPECT_EQ(mapping.pBase, nullptr);
        EXPECT_EQ(mapping.uLength, 0u);
        DevMemUnmap(&mapping); // a reset record is left alone
    }
    DevMemUnmap(nullptr);
}

TEST_F(DevMemTest, ReadOnlyMappingSeesMemory)
{
    PokeFile(0x5008, {1, 2, 3, 4});
    void* pointer = nullptr;
    DevMemMapping mapping;
    ASSERT_EQ(DevMemMap32(0x5008, 4, &pointer, &mapping, 0), KESTREL_OK);
    EXPECT_EQ(memcmp(pointer, "\x01\x02\x03\x04", 4), 0);
    DevMemUnmap(&mapping);
}

// A failed mapping clears both outputs and leaves no descriptor open.
TEST_F(DevMemTest, FailuresClearOutputsAndCloseMemory)
{
    const size_t before = OpenDescriptors();
    void* pointer = reinterpret_cast<void*>(0x1);
    DevMemMapping mapping{7, reinterpret_cast<void*>(0x2), 3};

    // The OS refuses a mapping of no bytes.
    EXPECT_EQ(DevMemMap32(0x4000, 0, &pointer, &mapping, 1), KESTREL_FAILED);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(mapping.iFd, -1);
    EXPECT_EQ(mapping.pBase, nullptr);
    EXPECT_EQ(mapping.uLength, 0u);
    EXPECT_EQ(OpenDescriptors(), before);

    EXPECT_EQ(DevMemMap32(0x4000, 4, nullptr, &mapping, 0), KESTREL_INVALID_ARGUMENT);
    EXPECT_EQ(DevMemMap32(0x4000, 4, &pointer, nullptr, 0), KESTREL_INVALID_ARGUMENT);

    std::filesystem::remove(MemFile());
    pointer = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(DevMemMap32(0x4000, 4, &pointer, &mapping, 0), KESTREL_NOT_INITIALISED);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(mapping.iFd, -1);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(DevMemTest, CopyRecordRoundTrip)
{
    const std::vector<uint8_t> data = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    std::vector<uint8_t> out = Record(0xFFFFFFFFu, 0x6FFA, 10, data); // crosses a page
    ASSERT_EQ(DevMemCopy(out.data(), static_cast<uint32_t>(out.size()), 1), KESTREL_OK);
    EXPECT_EQ(RecordStatus(out), 0u);
    EXPECT_EQ(PeekFile(0x6FFA, 10), data);

    std::vector<uint8_t> in = Record(0xFFFFFFFFu, 0x6FFA, 10, std::vector<uint8_t>(10, 0xEE));
    ASSERT_EQ(DevMemCopy(in.data(), static_cast<uint32_t>(in.size()), 0), KESTREL_OK);
    EXPECT_EQ(RecordStatus(in), 0u);
    EXPECT_EQ(std::vector<uint8_t>(in.begin() + DEVMEM_COPY_HEAD_SIZE, in.end()), data);
}

TEST_F(DevMemTest, CopyRecordRefusesLengthBeyondItsData)
{
    // The record says 64 bytes but holds 8: nothing is copied either way.
    std::vector<uint8_t> record = Record(0, 0x7000, 64, std::vector<uint8_t>(8, 0xAB));
    record.resize(record.size() + 8, 0xCD); // room past the record's end that must stay
    const uint32_t recordSize = DEVMEM_COPY_HEAD_SIZE + 8;
    for (int toMemory : {0, 1})
    {
        EXPECT_EQ(DevMemCopy(record.data(), recordSize, toMemory), KESTREL_INVALID_ARGUMENT);
        EXPECT_EQ(RecordStatus(record), static_cast<uint32_t>(KESTREL_INVALID_ARGUMENT));
    }
    EXPECT_EQ(PeekFile(0x7000, 64), std::vector<uint8_t>(64, 0));
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + recordSize, record.end()),
              std::vector<uint8_t>(8, 0xCD));

    EXPECT_EQ(DevMemCopy(record.data(), DEVMEM_COPY_HEAD_SIZE - 1, 0), KESTREL_INVALID_ARGUMENT);
    EXPECT_EQ(DevMemCopy(nullptr, 64, 0), KESTREL_INVALID_ARGUMENT);

    std::filesystem::remove(MemFile());
    std::vector<uint8_t> unmapped = Record(0, 0x7000, 4, {1, 2, 3, 4});
    EXPECT_EQ(DevMemCopy(unmapped.data(), static_cast<uint32_t>(unmapped.size()), 1),
              KESTREL_NOT_INITIALISED);
    EXPECT_EQ(RecordStatus(unmapped), static_cast<uint32_t>(KESTREL_NOT_INITIALISED));
}

TEST_F(DevMemTest, IdentificationWords)
{
    PokeFile(DEVMEM_CHIP_ID_ADDRESS, {0x01, 0x02, 0x77, 0x00});
    PokeFile(DEVMEM_HARDWARE_WORDS_ADDRESS, {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A});
    EXPECT_EQ(DevReadChipIdWord(), 0x00770201u);
    EXPECT_EQ(DevChipFamily(DevReadChipIdWord()), 2);
    uint32_t second = 0;
    EXPECT_EQ(DevReadHardwareWords(&second), 0x12345678u);
    EXPECT_EQ(second, 0x9ABCDEF0u);
    EXPECT_EQ(DevReadHardwareWords(nullptr), 0x12345678u);

    // Without physical memory: the documented fill values.
    std::filesystem::remove(MemFile());
    EXPECT_EQ(DevReadChipIdWord(), 0u);
    second = 1;
    EXPECT_EQ(DevReadHardwareWords(&second), DEVMEM_HARDWARE_WORD_UNREADABLE);
    EXPECT_EQ(second, 0u);
}

TEST(DevChipFamily, FromBits16To23)
{
    const std::pair<uint32_t, int> cases[] = {
        {0x00380000, 6}, {0x00430000, 5}, {0x00500000, 4}, {0x00640000, 3}, {0x006B0000, 1},
        {0xFF77FFFF, 2}, {0x00000077, 0}, {0x77000000, 0}, {0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DevChipFamily(c.first), c.second) << std::hex << c.first;
}

} // namespace
