// Handles of POSIX named shared memory.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXSharedMemory.h"

namespace
{
// A name of this process, removed before and after the test.
class SharedMemory : public testing::Test
{
protected:
    void SetUp() override { PlatShmUnlink(sName.c_str()); }
    void TearDown() override { PlatShmUnlink(sName.c_str()); }

    bool ObjectExists() const
    {
        const int fd = shm_open(sName.c_str(), O_RDONLY, 0);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    }
    off_t ObjectSize() const
    {
        const int fd = shm_open(sName.c_str(), O_RDONLY, 0);
        struct stat st = {};
        if (fd >= 0)
        {
            fstat(fd, &st);
            close(fd);
        }
        return fd >= 0 ? st.st_size : -1;
    }

    const std::string sName = "/QTXSharedMemoryTest_" + std::to_string(getpid());
};

TEST_F(SharedMemory, FlagsSelectAccessAndCreation)
{
    constexpr int R = QTX_NSMEMORY_READ, W = QTX_NSMEMORY_WRITE, C = QTX_NSMEMORY_CREATE,
                  X = QTX_NSMEMORY_EXCLUSIVE;
    const struct
    {
        int flags;
        int size;
        bool exists; // before the call
        bool opened;
    } cases[] = {
        {C, 64, false, false},         // no access: nothing is touched
        {R | W | C, 0, false, false},  // no size
        {R | W | X, 64, false, false}, // exclusive without create opens only
        {R | W, 64, false, false},
        {R | W | C, 64, false, true},
        {R | W | C | X, 64, true, false},
        {R | W | C | X, 64, false, true},
        {R, 64, true, true},
        {W, 64, true, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message()
                     << "flags " << c.flags << " size " << c.size << " exists " << c.exists);
        PlatShmUnlink(sName.c_str());
        if (c.exists)
            CloseNSMemory(OpenNSMemory(sName.c_str(), R | W | C, 64));

        QTXNSMemory* handle = OpenNSMemory(sName.c_str(), c.flags, c.size);
        EXPECT_EQ(handle != nullptr, c.opened);
        EXPECT_EQ(ObjectExists(), c.exists || c.opened);
        if (handle == nullptr)
            continue;
        EXPECT_EQ(GetNSMemoryLength(handle), c.size);
        EXPECT_STREQ(GetNSMemoryName(handle), sName.c_str());
        EXPECT_EQ(IsNSMemoryReadAllowed(handle), (c.flags & R) != 0);
        EXPECT_EQ(IsNSMemoryWriteAllowed(handle), (c.flags & W) != 0);
        EXPECT_NE(GetNSMemoryPointer(handle), nullptr);
        CloseNSMemory(handle);
    }
}

TEST_F(SharedMemory, ProcessesShareTheContents)
{
    QTXNSMemory* writer =
        OpenNSMemory(sName.c_str(), QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE, 4096);
    ASSERT_NE(writer, nullptr);
    char* data = static_cast<char*>(GetNSMemoryPointer(writer));
    strcpy(data + 4000, "shared");

    // The mapping outlives the closed handle.
    CloseNSMemory(writer);
    strcpy(data, "still mapped");

    QTXNSMemory* reader = OpenNSMemory(sName.c_str(), QTX_NSMEMORY_READ, 4096);
    ASSERT_NE(reader, nullptr);
    const char* seen = static_cast<const char*>(GetNSMemoryPointer(reader));
    EXPECT_STREQ(seen + 4000, "shared");
    EXPECT_STREQ(seen, "still mapped");
    CloseNSMemory(reader);
}

TEST_F(SharedMemory, ReleaseUnmapsAndRemovesOnlyWhenAsked)
{
    constexpr int RWC = QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE;
    QTXNSMemory* user = OpenNSMemory(sName.c_str(), RWC, 4096);
    ASSERT_NE(user, nullptr);
    ReleaseNSMemory(OpenNSMemory(sName.c_str(), RWC, 4096), false);
    EXPECT_TRUE(ObjectExists());
    ReleaseNSMemory(OpenNSMemory(sName.c_str(), RWC, 4096), true);
    EXPECT_FALSE(ObjectExists());
    // Another user keeps its mapping of the removed object.
    strcpy(static_cast<char*>(GetNSMemoryPointer(user)), "still mapped");
    EXPECT_STREQ(static_cast<const char*>(GetNSMemoryPointer(user)), "still mapped");
    ReleaseNSMemory(user, false);
    ReleaseNSMemory(nullptr, true);
}

TEST_F(SharedMemory, ObjectIsNeverShrunkNorMappedBeyondItsEnd)
{
    QTXNSMemory* big = OpenNSMemory(
        sName.c_str(), QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE, 3 * 4096);
    ASSERT_NE(big, nullptr);
    char* bigData = static_cast<char*>(GetNSMemoryPointer(big));

    // A smaller open leaves the object as it is; the big mapping stays usable to its end
    // (touching a page past a shrunk object would end this process with SIGBUS).
    QTXNSMemory* small = OpenNSMemory(sName.c_str(), QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE, 100);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(ObjectSize(), 3 * 4096);
    bigData[3 * 4096 - 1] = 'z';
    EXPECT_EQ(bigData[3 * 4096 - 1], 'z');

    // A reader cannot enlarge the object and gets no mapping past its end; a writer enlarges.
    EXPECT_EQ(OpenNSMemory(sName.c_str(), QTX_NSMEMORY_READ, 5 * 4096), nullptr);
    QTXNSMemory* bigger = OpenNSMemory(sName.c_str(), QTX_NSMEMORY_WRITE, 5 * 4096);
    ASSERT_NE(bigger, nullptr);
    EXPECT_EQ(ObjectSize(), 5 * 4096);
    static_cast<char*>(GetNSMemoryPointer(bigger))[5 * 4096 - 1] = 'y';

    CloseNSMemory(small);
    CloseNSMemory(big);
    CloseNSMemory(bigger);
}

TEST_F(SharedMemory, NullHandlesAndLongNames)
{
    CloseNSMemory(nullptr);
    EXPECT_EQ(GetNSMemoryPointer(nullptr), nullptr);
    EXPECT_EQ(GetNSMemoryLength(nullptr), 0);
    EXPECT_EQ(GetNSMemoryName(nullptr), nullptr);
    EXPECT_FALSE(IsNSMemoryReadAllowed(nullptr));
    EXPECT_FALSE(IsNSMemoryWriteAllowed(nullptr));
    EXPECT_EQ(OpenNSMemory(nullptr, QTX_NSMEMORY_READ | QTX_NSMEMORY_CREATE, 64), nullptr);

    // The handle keeps the first 63 characters of a longer name.
    const std::string longName = sName + std::string(80, 'n');
    QTXNSMemory* handle =
        OpenNSMemory(longName.c_str(), QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE, 64);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(std::string(GetNSMemoryName(handle)), longName.substr(0, 63));
    CloseNSMemory(handle);
    PlatShmUnlink(longName.c_str());
}
} // namespace
