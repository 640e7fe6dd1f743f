// The simulated FPGA behind "/dev/ryxfpga" and "/dev/cdi".
#include "SimTestSupport.h"

#include "KoveSimState.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace simtest;

namespace
{
class SimFpga : public CSimFixture
{
protected:
    void SetUp() override
    {
        m_iFd = PlatOpen("/dev/ryxfpga", O_RDWR);
        ASSERT_GE(m_iFd, 0);
    }
    void TearDown() override { PlatClose(m_iFd); }

    uint32_t WordRequest(unsigned nn, int fd = -1)
    {
        uint8_t word[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(0, PlatIoctl(fd < 0 ? m_iFd : fd, Request(nn), word)) << nn;
        return Get32(word);
    }

    int m_iFd = -1;
};

// Waits for a child with a deadline; kills it when the deadline passes.
// True when it exited with 0 in time.
bool ChildSucceeded(pid_t pid, std::chrono::seconds deadline = std::chrono::seconds(20))
{
    int status = 0;
    bool done = kovetest::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline);
    if (!done)
    {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
} // namespace

TEST_F(SimFpga, RawAccessesReadBackWhatWasWritten)
{
    SRaw write(0x2000, 12, 0xDEAD);
    write.SetWord(0, 0x11111111);
    write.SetWord(1, 0x22222222);
    write.SetWord(2, 0x33333333);
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x49), write.Data()));
    EXPECT_EQ(0u, write.Status());

    // Unwritten words read 0; the two low address bits are ignored; a byte
    // count that ends inside a word writes and reads only its low bytes.
    SRaw part(0x2006, 2, 0);
    part.bytes[12] = 0xAA;
    part.bytes[13] = 0xBB;
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x49), part.Data()));
    SRaw read(0x1FFC, 20);
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x48), read.Data()));
    EXPECT_EQ(0u, read.Status());
    EXPECT_EQ(0u, read.Word(0));
    EXPECT_EQ(0x11111111u, read.Word(1));
    EXPECT_EQ(0x2222BBAAu, read.Word(2));
    EXPECT_EQ(0x33333333u, read.Word(3));
    EXPECT_EQ(0u, read.Word(4));

    // The identification word is the FPGA's, not writable.
    EXPECT_EQ(0u, WriteWord(m_iFd, 0, 0x12345678));
    EXPECT_EQ(0x0038564Bu, ReadWord(m_iFd, 0));
    // An empty read is fine.
    SRaw none(0x100, 0);
    EXPECT_EQ(0, PlatIoctl(m_iFd, Request(0x48), none.Data()));
    EXPECT_EQ(0u, none.Status());
}

TEST_F(SimFpga, RefusedAddressFailsTheWholeAccessAndWritesNothing)
{
    ASSERT_EQ(0u, WriteWord(m_iFd, 0x3000, 0xA0));
    Kovesim({"refuse", Dir(), "0x3004"});

    SRaw write(0x3000, 12, 0);
    write.SetWord(0, 1);
    write.SetWord(1, 2);
    write.SetWord(2, 3);
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x49), write.Data())); // the request itself succeeds
    EXPECT_NE(0u, write.Status());

    SRaw read(0x3000, 12);
    read.SetWord(0, 0x5A5A5A5A);
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x48), read.Data()));
    EXPECT_NE(0u, read.Status());
    EXPECT_EQ(0x5A5A5A5Au, read.Word(0)); // left as it was

    uint32_t status = 0;
    EXPECT_EQ(0xA0u, ReadWord(m_iFd, 0x3000, &status)); // not overwritten
    EXPECT_EQ(0u, status);
    ReadWord(m_iFd, 0x3004, &status);
    EXPECT_NE(0u, status);

    Kovesim({"refuse", Dir(), "0x3004", "off"});
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x49), write.Data()));
    EXPECT_EQ(0u, write.Status());
    EXPECT_EQ(2u, ReadWord(m_iFd, 0x3004));
}

TEST_F(SimFpga, MultiAccessReadsAndWritesSeveralWords)
{
    SRaw multi(0, 24, 0xDEAD);
    multi.SetWord(0, 0x4000); // write 7
    multi.SetWord(1, 7);
    multi.SetWord(2, 0x4000 | 1); // read it back
    multi.SetWord(3, 0);
    multi.SetWord(4, 0 | 1); // read the identification word
    multi.SetWord(5, 0);
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x56), multi.Data()));
    EXPECT_EQ(0u, multi.Status());
    EXPECT_EQ(7u, multi.Word(3));
    EXPECT_EQ(0x0038564Bu, multi.Word(5));
    SRaw odd(0, 12);
    errno = 0;
    EXPECT_EQ(-1, PlatIoctl(m_iFd, Request(0x56), odd.Data()));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(SimFpga, BadPointersAndUnknownRequestsFailCleanly)
{
    for (unsigned nn : {0x01u, 0x03u, 0x48u, 0x49u, 0x4Au, 0x4Du, 0x50u, 0x51u, 0x56u, 0x57u, 0x5Du,
                        0x60u, 0x62u, 0x63u, 0x64u, 0x65u})
    {
        errno = 0;
        EXPECT_EQ(-1, PlatIoctl(m_iFd, Request(nn), nullptr)) << std::hex << nn;
        EXPECT_EQ(EFAULT, errno) << std::hex << nn;
    }
    uint8_t record[600] = {};
    std::vector<unsigned long> badRequests{Request(0x02), Request(0x47), Request(0x54),
                                           Request(0x59), Request(0x5C), Request(0x66),
                                           0xC0046A48ul,  0x48ul};
#if ULONG_MAX > 0xFFFFFFFFul
    badRequests.push_back(0x1C0046948ul); // a known request with a bit set above its 32
#endif
    for (unsigned long request : badRequests)
    {
        errno = 0;
        EXPECT_EQ(-1, PlatIoctl(m_iFd, request, record)) << std::hex << request;
        EXPECT_EQ(EINVAL, errno) << std::hex << request;
    }
    SRaw huge(0, 0);
    Put32(&huge.bytes[8], 0xFFFFFFF0u); // a count no caller has room for
    errno = 0;
    EXPECT_EQ(-1, PlatIoctl(m_iFd, Request(0x48), huge.Data()));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(SimFpga, HexSwitchRecordsAndRequest65DependOnTheNode)
{
    Kovesim({"hex", Dir(), "3,5,7,200"});
    const uint8_t expected[16] = {3, 5, 7, 200};
    uint8_t record[16];
    memset(record, 0xEE, sizeof record);
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x51), record));
    EXPECT_EQ(0, memcmp(expected, record, 16));

    // The system driver publishes its setting; the switches stay as they are.
    const uint8_t published[16] = {1, 1, 1, 1};
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x50), const_cast<uint8_t*>(published)));
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x51), record));
    EXPECT_EQ(0, memcmp(expected, record, 16));

    // On "/dev/cdi" 0x65 is the hex-switch record (byte 1: the unit number) ...
    int cdi = PlatOpen("/dev/cdi", O_RDWR);
    ASSERT_GE(cdi, 0);
    memset(record, 0xEE, sizeof record);
    ASSERT_EQ(0, PlatIoctl(cdi, Request(0x65), record));
    EXPECT_EQ(0, memcmp(expected, record, 16));
    PlatClose(cdi);
    // ... on "/dev/ryxfpga" the 520-byte bus state, byte 0 kept.
    std::vector<uint8_t> busState(520, 0xEE);
    busState[0] = 2;
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x65), busState.data()));
    EXPECT_EQ(2, busState[0]);
    EXPECT_EQ(0, busState[1]);
    EXPECT_EQ(0, busState[519]);

    // KV8 wires the unit number (switch 2) into bits 20-23 of bus word 8.
    EXPECT_EQ(0x00500000u, ReadWord(m_iFd, 8) & 0x00F00000u);
}

TEST_F(SimFpga, RegistersKeepWhatTheRequestsSet)
{
    uint8_t word[4];
    Put32(word, 0x3000);
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x5D), word));
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x5E), nullptr));
    EXPECT_EQ("leds=0x00003000 test=on shown=0x00003000\n", Kovesim({"leds", Dir()}));
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x5F), nullptr));
    EXPECT_EQ("leds=0x00003000 test=off shown=0x00003000\n", Kovesim({"leds", Dir()}));

    Put32(word, 0x55);
    EXPECT_EQ(0, PlatIoctl(m_iFd, Request(0x61), word));
    EXPECT_EQ(0u, WordRequest(0x60));
    EXPECT_EQ(0u, WordRequest(0x03) & 0xFFFF);

    struct timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    uint8_t stamp[8];
    ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x64), stamp));
    clock_gettime(CLOCK_MONOTONIC, &after);
    uint64_t us = 0;
    for (int i = 7; i >= 0; --i)
        us = us << 8 | stamp[i];
    auto micro = [](const timespec& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000u +
               static_cast<uint64_t>(t.tv_nsec) / 1000u;
    };
    EXPECT_LE(micro(before), us);
    EXPECT_GE(micro(after), us);
}

TEST_F(SimFpga, FactoryButtonNowAndAtStart)
{
    EXPECT_EQ(0u, WordRequest(0x62));
    EXPECT_EQ(0u, WordRequest(0x63));
    Kovesim({"button", Dir(), "on"});
    EXPECT_EQ(0u, WordRequest(0x62)); // was not held when the device started
    EXPECT_EQ(1u, WordRequest(0x63));

    Kovesim({"create", Dir(), "--factory-button", "on"});
    EXPECT_EQ(1u, WordRequest(0x62));
    Kovesim({"button", Dir(), "off"});
    EXPECT_EQ(1u, WordRequest(0x62));
    EXPECT_EQ(0u, WordRequest(0x63));
}

TEST_F(SimFpga, EmptySlotsShowTheBusFillWord)
{
    // Slots 1 and 2 are filled; 3 and 4 are not.
    EXPECT_EQ(0u, ReadWord(m_iFd, 0x9FEF0000));
    EXPECT_EQ(0u, ReadWord(m_iFd, 0xBFEF0000));
    EXPECT_EQ(0x55AA66BBu, ReadWord(m_iFd, 0xDFEF0000));
    EXPECT_EQ(0x55AA66BBu, ReadWord(m_iFd, 0xFFEF0000));
}

TEST_F(SimFpga, WaitsEndWithoutHardware)
{
    // Nothing comes from the simulated hardware: each wait gives up.
    uint8_t record[64] = {};
    for (unsigned nn : {0x4Au, 0x4Eu, 0x53u, 0x57u})
    {
        errno = 0;
        EXPECT_EQ(-1, PlatIoctl(m_iFd, Request(nn), record)) << std::hex << nn;
        EXPECT_EQ(ETIMEDOUT, errno) << std::hex << nn;
    }
    // The wake-up and cancel requests end a running wait at once.
    const struct
    {
        unsigned wait;
        unsigned cancel;
    } pairs[] = {{0x4E, 0x4F}, {0x53, 0x55}, {0x57, 0x58}};
    for (const auto& p : pairs)
    {
        std::atomic<bool> done{false};
        int waitErrno = 0;
        std::thread waiter(
            [&]
            {
                uint8_t r[64] = {};
                PlatIoctl(m_iFd, Request(p.wait), r);
                waitErrno = errno;
                done = true;
            });
        uint8_t which[4] = {1, 0, 0, 0};
        while (!done)
        {
            PlatIoctl(m_iFd, Request(p.cancel), which);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        waiter.join();
        EXPECT_EQ(ECANCELED, waitErrno) << std::hex << p.wait;
    }
}

TEST_F(SimFpga, TwoProcessesShareOneBus)
{
    const uint32_t kWords = 1500;
    std::vector<pid_t> pids;
    for (uint32_t p = 0; p < 2; ++p)
    {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            // A process of its own: it maps the device itself.
            UseDevice(Dir());
            int fd = PlatOpen("/dev/ryxfpga", O_RDWR);
            bool ok = fd >= 0;
            for (uint32_t i = 0; ok && i < kWords; ++i)
            {
                SRaw raw(0x100000 * (p + 1) + 4 * i, 4, 0);
                raw.SetWord(0, i + 1);
                ok = PlatIoctl(fd, Request(0x49), raw.Data()) == 0 && raw.Status() == 0;
            }
            _exit(ok ? 0 : 1);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids)
        EXPECT_TRUE(ChildSucceeded(pid));
    for (uint32_t p = 0; p < 2; ++p)
    {
        SRaw raw(0x100000 * (p + 1), 4 * kWords);
        ASSERT_EQ(0, PlatIoctl(m_iFd, Request(0x48), raw.Data()));
        uint32_t wrong = 0;
        for (uint32_t i = 0; i < kWords; ++i)
            wrong += raw.Word(i) != i + 1;
        EXPECT_EQ(0u, wrong) << "process " << p;
    }
    EXPECT_EQ("0x000005DC\n", Kovesim({"peek", Dir(), "0x20176C"}));
}

TEST_F(SimFpga, OwnerThatDiesHoldingTheLockDoesNotWedgeTheDevice)
{
    // The kernel frees a dead owner's robust mutexes from the list each thread registers;
    // a user-mode emulator (qemu-user) keeps no such list.
    void* head = nullptr;
    size_t length = 0;
    if (syscall(SYS_get_robust_list, 0, &head, &length) != 0 && errno == ENOSYS)
        GTEST_SKIP() << "no robust mutexes here (get_robust_list: ENOSYS), as under qemu-user";
    pid_t owner = fork();
    ASSERT_GE(owner, 0);
    if (owner == 0)
    {
        std::shared_ptr<CSimState> state = CSimState::Open(Dir());
        if (!state)
            _exit(1);
        new CSimState::CLock(*state); // held, never released
        _exit(0);
    }
    ASSERT_TRUE(ChildSucceeded(owner));
    // In a child of its own, so that a wedged device fails the test instead of hanging it.
    pid_t user = fork();
    ASSERT_GE(user, 0);
    if (user == 0)
    {
        SRaw raw(0x500, 4, 0);
        raw.SetWord(0, 9);
        bool ok = PlatIoctl(m_iFd, Request(0x49), raw.Data()) == 0 && raw.Status() == 0;
        _exit(ok ? 0 : 1);
    }
    EXPECT_TRUE(ChildSucceeded(user, std::chrono::seconds(10)));
    EXPECT_EQ(9u, ReadWord(m_iFd, 0x500));
}
