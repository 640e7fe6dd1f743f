// The inter-process driver interface against the simulated "/dev/interproc": transfer-buffer
// queues, events, module status and the memory pool, shared by the processes of one device.
#include "InterProc.h"

#include "KovePlatform.h"
#include "KoveTestSupport.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// A transfer-buffer record: head for channel and data length, then the data.
std::vector<uint8_t> TransferRecord(uint8_t channel, const std::string& data, uint32_t room = 0)
{
    const uint32_t length = room ? room : static_cast<uint32_t>(data.size());
    std::vector<uint8_t> rec(24 + length, 0);
    rec[0] = channel;
    Put32(rec.data() + 8, length);
    if (!room)
        Put32(rec.data() + 12, length);
    memcpy(rec.data() + 24, data.data(), data.size());
    return rec;
}

int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        ++count;
    if (dir)
        closedir(dir);
    return count;
}

class InterProc : public ::testing::Test
{
protected:
    InterProc()
    {
        setenv("KOVE_SIM", m_tDevice.Dir().c_str(), 1);
        PlatReloadSimulation();
    }
    ~InterProc() override
    {
        InterProcMemoryRelease();
        while (HInterProc != -1)
            InterProcClose();
        strcpy(InterProcName, "/dev/interproc");
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }

    // Runs body in a child process of the same device; true when it returned true.
    static bool InChild(bool (*body)())
    {
        pid_t pid = fork();
        if (pid == 0)
            _exit(body() ? 0 : 1);
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

    kovetest::CSimDevice m_tDevice;
};
} // namespace

TEST_F(InterProc, QueuesEventsStatusAndPoolAreSharedBetweenProcesses)
{
    ASSERT_EQ(0, InterProcOpen());
    ASSERT_TRUE(InChild(
        []
        {
            // A second process of the device: its own open and its own mapping of the pool.
            while (HInterProc != -1)
                InterProcClose();
            if (InterProcOpen() != 0 || InterProcMemoryInit(5) != 0)
                return false;
            std::vector<uint8_t> message = TransferRecord(1, "switch data");
            if (InterProcWriteTransBuff(message.data()) != 0)
                return false;
            uint8_t events[4 + 3 * 48] = {3, 0};
            for (int i = 0; i < 3; ++i)
                events[4 + 48 * i] = static_cast<uint8_t>(0xE0 + i);
            auto* block = static_cast<uint8_t*>(InterProcMemoryAlloc(100));
            if (InterProcWriteEvents(events) != 0 || InterProcSetModuleBoot(3) != 0 ||
                InterProcUpdateStarted(9) != 0 || block == nullptr)
                return false;
            memcpy(block, "pool text", 10);
            InterProcMemoryChown(block, 7);
            std::vector<uint8_t> where =
                TransferRecord(3, std::to_string(InterProcMemoryPtrToOffset(block)));
            return InterProcWriteTransBuff(where.data()) == 0;
        }));

    std::vector<uint8_t> rec = TransferRecord(1, "", 1192);
    EXPECT_EQ(0, InterProcReadTransBuff(rec.data()));
    EXPECT_EQ(11u, Get32(rec.data() + 12));
    EXPECT_EQ("switch data", std::string(reinterpret_cast<char*>(rec.data() + 24), 11));
    EXPECT_EQ(1, InterProcReadTransBuff(rec.data())); // the queue is empty now
    std::vector<uint8_t> other = TransferRecord(2, "", 100);
    EXPECT_EQ(1, InterProcReadTransBuff(other.data())); // other channels hold nothing

    uint32_t held = 0, dropped = 9;
    EXPECT_EQ(0, InterProcGetEventBookStatus(&held, &dropped));
    EXPECT_EQ(3u, held);
    EXPECT_EQ(0u, dropped);
    uint8_t events[24 + 8 * 48] = {};
    events[16] = 8;
    EXPECT_EQ(0, InterProcReadEvents(events));
    EXPECT_EQ(3, Get16(events + 16));
    EXPECT_EQ(0xE0, events[24]);
    EXPECT_EQ(0xE2, events[24 + 2 * 48]);

    uint8_t status[124] = {};
    EXPECT_EQ(0, InterProcReadStatus(status));
    EXPECT_EQ(1, status[3]);    // slot 3 booting
    EXPECT_EQ(0xFF, status[4]); // slot 4 never reported
    EXPECT_EQ(9, status[32]);   // update of 9 started, the third byte sent as 0
    EXPECT_EQ(1, status[33]);
    EXPECT_EQ(0, status[34]);
    EXPECT_EQ(0, InterProcSetModuleOK(3));
    EXPECT_EQ(0, InterProcReadStatus(status));
    EXPECT_EQ(0, status[3]);

    // The block the other process wrote, at the offset it sent.
    std::vector<uint8_t> where = TransferRecord(3, "", 32);
    ASSERT_EQ(0, InterProcReadTransBuff(where.data()));
    const int offset = atoi(
        std::string(reinterpret_cast<char*>(where.data() + 24), Get32(where.data() + 12)).c_str());
    ASSERT_EQ(0, InterProcMemoryInit(7));
    auto* block = static_cast<char*>(InterProcMemoryOffsetToPtr(offset));
    ASSERT_NE(nullptr, block);
    EXPECT_STREQ("pool text", block);
    uint8_t statistic[24] = {};
    InterProcMemoryFree(block); // owned by 7 now
    EXPECT_EQ(0, InterProcMemoryGetStatistic(statistic));
    EXPECT_EQ(1u, Get32(statistic + 4));
}

TEST_F(InterProc, TransferQueueLimits)
{
    std::vector<uint8_t> rec = TransferRecord(2, std::string(1400, 'x'));
    EXPECT_EQ(-1, InterProcWriteTransBuff(rec.data())); // closed
    ASSERT_EQ(0, InterProcOpen());
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(0, InterProcWriteTransBuff(rec.data())) << i;
    EXPECT_EQ(2, InterProcWriteTransBuff(rec.data())); // full

    std::vector<uint8_t> small = TransferRecord(2, "", 1000);
    EXPECT_EQ(4, InterProcReadTransBuff(small.data())); // too small: the message stays
    std::vector<uint8_t> room = TransferRecord(2, "", 1400);
    EXPECT_EQ(0, InterProcReadTransBuff(room.data()));
    EXPECT_EQ(1400u, Get32(room.data() + 12));

    std::vector<uint8_t> huge = TransferRecord(2, std::string(5000, 'y'));
    EXPECT_EQ(3, InterProcWriteTransBuff(huge.data()));
    std::vector<uint8_t> channel9 = TransferRecord(9, "z");
    EXPECT_EQ(-1, InterProcWriteTransBuff(channel9.data()));
}

TEST_F(InterProc, PoolAddressesAreCheckedAndReleaseForgetsTheMapping)
{
    EXPECT_EQ(-1, InterProcMemoryInit(1)); // closed: no properties
    ASSERT_EQ(0, InterProcOpen());
    EXPECT_EQ(nullptr, InterProcMemoryAlloc(16)); // nothing mapped yet

    // A node that cannot be mapped: the init fails and keeps no descriptor. (The FPGA node's
    // shared state stays mapped per process once opened: it is opened before counting.)
    PlatClose(PlatOpen("/dev/ryxfpga", O_RDWR));
    const int before = OpenDescriptors();
    strcpy(InterProcName, "/dev/ryxfpga");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, InterProcMemoryInit(1));
    EXPECT_EQ("mmap failed!\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(before, OpenDescriptors());
    strcpy(InterProcName, "/dev/interproc");

    ASSERT_EQ(0, InterProcMemoryInit(4));
    EXPECT_EQ(4, InterProcMemoryGetOwnerID());
    const uint32_t size = Get32(InterProcMemProp + 4);
    ASSERT_GT(size, 0u);
    auto* base = static_cast<uint8_t*>(InterProcMemPtr);
    EXPECT_EQ(nullptr, InterProcMemoryOffsetToPtr(static_cast<int32_t>(size)));
    EXPECT_EQ(base + size - 1, InterProcMemoryOffsetToPtr(static_cast<int32_t>(size - 1)));
    EXPECT_EQ(nullptr, InterProcMemoryOffsetToPtr(-1));

    // 65536 + 16 would be asked for as 16 bytes.
    EXPECT_EQ(nullptr, InterProcMemoryAlloc(65536 + 16));
    auto* a = static_cast<uint8_t*>(InterProcMemoryAlloc(40));
    auto* b = static_cast<uint8_t*>(InterProcMemoryAlloc(40));
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_GE(b - a, 40);
    EXPECT_EQ(a - base, InterProcMemoryPtrToOffset(a));
    uint8_t outside[4];
    EXPECT_EQ(-1, InterProcMemoryPtrToOffset(outside));
    EXPECT_EQ(-1, InterProcMemoryPtrToOffset(base + size));

    uint8_t statistic[24] = {};
    InterProcMemoryFree(outside); // sends nothing
    InterProcMemoryGetStatistic(statistic);
    EXPECT_EQ(0u, Get32(statistic + 4));
    InterProcMemoryFree(a);
    InterProcMemoryGetStatistic(statistic);
    EXPECT_EQ(1u, Get32(statistic + 4));
    EXPECT_EQ(a, InterProcMemoryAlloc(40)); // the freed block is found again

    EXPECT_EQ(0, InterProcMemoryRelease());
    EXPECT_EQ(nullptr, InterProcMemPtr);
    EXPECT_EQ(nullptr, InterProcMemoryAlloc(16));
    EXPECT_EQ(nullptr, InterProcMemoryOffsetToPtr(0));
    EXPECT_EQ(-1, InterProcMemoryRelease());
}

TEST_F(InterProc, RecordChecksAndPageTouching)
{
    ASSERT_EQ(0, InterProcOpen());
    EXPECT_EQ(INTERPROC_NULL_RECORD, InterProc_SetModuleError(nullptr));
    EXPECT_EQ(INTERPROC_NULL_RECORD, InterProcZavoReadEvents(nullptr));
    uint8_t conn[40] = {};
    EXPECT_EQ(-1, InterProcCloseConnTransBuff(conn)); // no connection: nothing sent
    EXPECT_EQ(-1, InterProcKillConnections(conn));
    conn[5] = 2;
    const int id = InterProcCreateConnsTransBuff(conn);
    EXPECT_GT(id, 0);
    EXPECT_EQ(id, InterProcCloseConnTransBuff(conn));
    EXPECT_EQ(0, Get16(conn));
    conn[0] = 1;
    EXPECT_EQ(reinterpret_cast<intptr_t>(conn), InterProcKillConnections(conn));
    EXPECT_EQ(0, Get16(conn));

    std::vector<uint8_t> area(10000, 0xAA);
    WriteEachPage(area.data(), static_cast<unsigned>(area.size()));
    EXPECT_EQ(0, area[0]);
    EXPECT_EQ(8, area[4096]);
    EXPECT_EQ(16, area[8192]);
    EXPECT_EQ(0xAA, area[1]);

    uint8_t time[8] = {0, 0, 0, 0, 0x5A, 0x5B, 0, 0};
    qorM_LogBook_SetTime(time);
    EXPECT_EQ(0x5A, time[4]); // left alone
    EXPECT_EQ(0x5B, time[5]);
}
