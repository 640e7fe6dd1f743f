// The simulated device directory and its file-backed nodes.
#include "SimTestSupport.h"

#include "KoveSimDescription.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace simtest;

namespace
{
class SimDevice : public CSimFixture
{
};

// Waits for a forked child; true when it exited with 0.
bool ChildSucceeded(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
} // namespace

TEST(SimDeviceFirstUse, EmptyDirectoryBecomesTheDefaultDeviceOnceForAllStarters)
{
    kovetest::CTempDir tmp;
    const std::string dir = tmp.Path() + "/new";
    // Several processes start on the same missing directory at once; each
    // writes its own bus word and must find the one device.
    const int kStarters = 4;
    std::vector<pid_t> pids;
    for (int i = 0; i < kStarters; ++i)
    {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            UseDevice(dir);
            int fd = PlatOpen("/dev/ryxfpga", O_RDWR);
            SRaw raw(0x1000 + 4 * static_cast<uint32_t>(i), 4, 0);
            raw.SetWord(0, 0x100u + static_cast<uint32_t>(i));
            bool ok = fd >= 0 && PlatIoctl(fd, Request(0x49), raw.Data()) == 0 && raw.Status() == 0;
            _exit(ok ? 0 : 1);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids)
        EXPECT_TRUE(ChildSucceeded(pid));

    UseDevice(dir);
    int fd = PlatOpen("/dev/ryxfpga", O_RDWR);
    ASSERT_GE(fd, 0);
    SRaw raw(0, 4);
    ASSERT_EQ(0, PlatIoctl(fd, Request(0x48), raw.Data()));
    EXPECT_EQ(0u, raw.Status());
    EXPECT_EQ(0x0038564Bu, raw.Word(0)); // "KV8"
    SRaw words(0x1000, 4 * kStarters);
    ASSERT_EQ(0, PlatIoctl(fd, Request(0x48), words.Data()));
    for (int i = 0; i < kStarters; ++i)
        EXPECT_EQ(0x100u + static_cast<uint32_t>(i), words.Word(static_cast<size_t>(i)));
    PlatClose(fd);

    SSimDescription desc;
    ASSERT_TRUE(SimParseDescription(kovetest::ReadFile(dir + "/device.conf"), &desc, nullptr));
    EXPECT_EQ(0x0038564Bu, desc.uIdWord);
    EXPECT_EQ(12345u, desc.uSerial);
    EXPECT_EQ("10.000001", desc.sOrder);
    EXPECT_EQ((1u << 1) | (1u << 2), desc.uSlotMask);
    // The identity the base library reads from the production partition.
    std::string production = kovetest::ReadFile(dir + "/dev/mtd_production");
    ASSERT_GE(production.size(), 1024u);
    EXPECT_STREQ("12345", production.c_str() + 16);
    EXPECT_STREQ("10.000001", production.c_str() + 64);
    UseRealDevice();
}

TEST_F(SimDevice, NodesTheSimulationLacksAreMissing)
{
    for (const char* path : {"/dev/interproc1", "/dev/ryxfpga0", "/dev/mtd_missing",
                             "/dev/mtd_../fpga.state", "/dev/mtd_", "/dev/null"})
    {
        errno = 0;
        EXPECT_EQ(-1, PlatOpen(path, O_RDWR)) << path;
        EXPECT_EQ(ENOENT, errno) << path;
    }
}

TEST_F(SimDevice, SimulatedDescriptorsAreRealAndDistinct)
{
    int a = PlatOpen("/dev/ryxfpga", O_RDWR);
    int b = PlatOpen("/dev/ryxfpga", O_RDWR);
    int c = PlatOpen("/dev/cdi", O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_GE(c, 0);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_EQ(FD_CLOEXEC, fcntl(a, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(0x0038564Bu, ReadWord(c, 0));
    EXPECT_EQ(0, PlatClose(a));
    EXPECT_EQ(-1, fcntl(a, F_GETFD));
    // A closed descriptor no longer reaches the simulated driver.
    SRaw raw(0, 4);
    errno = 0;
    EXPECT_EQ(-1, PlatIoctl(a, Request(0x48), raw.Data()));
    // (qemu-user refuses a request it does not know before it looks at the descriptor.)
    EXPECT_EQ(kovetest::RunsUnderEmulator() ? ENOSYS : EBADF, errno);
    EXPECT_EQ(0x0038564Bu, ReadWord(b, 0));
    PlatClose(b);
    PlatClose(c);
}

TEST_F(SimDevice, FlashPartitionIsTheFileBehindIt)
{
    const std::string file = Dir() + "/dev/mtd_data";
    {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(8, write(fd, "ABCDEFGH", 8));
        close(fd);
    }
    // O_TRUNC and O_CREAT do not apply to a partition.
    int fd = PlatOpen("/dev/mtd_data", O_RDWR | O_TRUNC | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    char buf[4] = {};
    EXPECT_EQ(2, PlatLseek(fd, 2, SEEK_SET));
    EXPECT_EQ(3, PlatRead(fd, buf, 3));
    EXPECT_STREQ("CDE", buf);
    EXPECT_EQ(0, PlatLseek(fd, 0, SEEK_SET));
    EXPECT_EQ(2, PlatWrite(fd, "xy", 2));
    EXPECT_EQ(-1, PlatIoctl(fd, 0x4D01, nullptr));
    PlatClose(fd);
    EXPECT_EQ("xyCDEFGH", kovetest::ReadFile(file));
}

TEST_F(SimDevice, PhysicalMemoryIsSharedThroughTheFile)
{
    const off_t kAddress = 0x40000000;
    int fd1 = PlatOpen("/dev/mem", O_RDWR | O_SYNC);
    int fd2 = PlatOpen("/dev/mem", O_RDONLY | O_SYNC);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);
    void* w = PlatMmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd1, kAddress);
    void* r = PlatMmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd2, kAddress);
    ASSERT_NE(MAP_FAILED, w);
    ASSERT_NE(MAP_FAILED, r);
    static_cast<volatile uint32_t*>(w)[1] = 0x12345678;
    EXPECT_EQ(0x12345678u, static_cast<volatile uint32_t*>(r)[1]);
    PlatMunmap(w, 4096);
    PlatMunmap(r, 4096);

    // Nothing maps past the 32-bit physical space.
    errno = 0;
    EXPECT_EQ(MAP_FAILED, PlatMmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd2, 0xFFFFF000));
    EXPECT_EQ(EINVAL, errno);
    PlatClose(fd1);
    PlatClose(fd2);

    // kovesim create starts the memory afresh.
    int status = -1;
    Kovesim({"create", Dir()}, &status);
    EXPECT_EQ(0, status);
    int fd = open((Dir() + "/dev/mem").c_str(), O_RDONLY);
    uint32_t word = 1;
    EXPECT_EQ(4, pread(fd, &word, 4, kAddress + 4));
    EXPECT_EQ(0u, word);
    close(fd);
}

TEST_F(SimDevice, SharedMemoryObjectsBelongToTheDevice)
{
    int fd = PlatShmOpen("/KoveSimShmTest", O_RDWR | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 4096));
    void* w = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(MAP_FAILED, w);
    static_cast<volatile uint32_t*>(w)[0] = 0xCAFE;
    munmap(w, 4096);
    close(fd);

    // The object lives in the device directory, not in the host's shared memory.
    int file = open((Dir() + "/dev/shm/KoveSimShmTest").c_str(), O_RDONLY);
    ASSERT_GE(file, 0);
    uint32_t word = 0;
    EXPECT_EQ(4, pread(file, &word, 4, 0));
    EXPECT_EQ(0xCAFEu, word);
    close(file);
    EXPECT_EQ(-1, access("/dev/shm/KoveSimShmTest", F_OK));

    EXPECT_EQ(0, PlatShmUnlink("KoveSimShmTest"));
    EXPECT_EQ(-1, PlatShmOpen("/KoveSimShmTest", O_RDWR, 0));

    // A name can never lead out of the folder.
    const char* const bads[] = {"", "/", "a/b", "/../x", "..", nullptr};
    for (const char* bad : bads)
    {
        errno = 0;
        EXPECT_EQ(-1, PlatShmOpen(bad, O_RDWR | O_CREAT, 0644)) << (bad ? bad : "null");
        EXPECT_NE(0, errno);
    }
}

TEST(SimDeviceFirstUse, MalformedDescriptionKeepsTheNodesClosed)
{
    kovetest::CTempDir tmp;
    {
        int fd = open((tmp.Path() + "/device.conf").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        const char text[] = "family=KV8\nslots=1,99\n";
        ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), write(fd, text, sizeof text - 1));
        close(fd);
    }
    UseDevice(tmp.Path());
    errno = 0;
    EXPECT_EQ(-1, PlatOpen("/dev/ryxfpga", O_RDWR));
    EXPECT_EQ(EINVAL, errno);
    UseRealDevice();
}

TEST_F(SimDevice, FlashPartitionsStartErasedStayInsideAndCanBeMadeToFail)
{
    for (const char* name : {"data", "update", "boot", "bootimg"})
    {
        const std::string image = kovetest::ReadFile(Dir() + "/dev/mtd_" + name);
        EXPECT_FALSE(image.empty()) << name;
        EXPECT_EQ(std::string::npos, image.find_first_not_of('\xFF')) << name;
    }
    const std::string file = Dir() + "/dev/mtd_data";
    const off_t size = static_cast<off_t>(kovetest::ReadFile(file).size());
    int fd = PlatOpen("/dev/mtd_data", O_RDWR);
    ASSERT_GE(fd, 0);
    // A write that reaches past the end stops there; one at the end has no room.
    ASSERT_EQ(size - 2, PlatLseek(fd, size - 2, SEEK_SET));
    EXPECT_EQ(2, PlatWrite(fd, "abcd", 4));
    errno = 0;
    EXPECT_EQ(-1, PlatWrite(fd, "e", 1));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(size, static_cast<off_t>(kovetest::ReadFile(file).size()));

    int status = -1;
    Kovesim({"flash", Dir(), "data", "fail"}, &status);
    ASSERT_EQ(0, status);
    ASSERT_EQ(0, PlatLseek(fd, 0, SEEK_SET));
    errno = 0;
    EXPECT_EQ(-1, PlatWrite(fd, "KCFG", 4));
    EXPECT_EQ(EIO, errno);
    char head[4] = {};
    EXPECT_EQ(4, PlatRead(fd, head, 4));
    EXPECT_EQ(std::string(4, '\xFF'), std::string(head, 4));
    Kovesim({"flash", Dir(), "data", "ok"}, &status);
    ASSERT_EQ(0, status);
    ASSERT_EQ(0, PlatLseek(fd, 0, SEEK_SET));
    EXPECT_EQ(4, PlatWrite(fd, "KCFG", 4));
    PlatClose(fd);
    EXPECT_EQ("KCFG", kovetest::ReadFile(file).substr(0, 4));
}

TEST_F(SimDevice, GpioLinesShowSwitchesButtonAndHeldLines)
{
    // The ioctl gives 0 for an active line; value of lines first..first+count-1.
    auto lines = [](int fd, int first, int count)
    {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            if (PlatIoctl(fd, 0, reinterpret_cast<void*>(static_cast<uintptr_t>(first + i))) == 0)
                value |= 1u << i;
        return value;
    };
    int status = -1;
    Kovesim({"hex", Dir(), "9,6,0,0"}, &status);
    ASSERT_EQ(0, status);
    Kovesim({"button", Dir(), "on"}, &status);
    ASSERT_EQ(0, status);
    int fd = PlatOpen("/dev/gpio", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(6u, lines(fd, 80, 4));
    // KV8 wires switch 1 in its own order: 9 shows as 6 on lines 84-87.
    EXPECT_EQ(6u, lines(fd, 84, 4));
    EXPECT_EQ(1u, lines(fd, 88, 1));
    EXPECT_EQ(0u, lines(fd, 38, 1));
    EXPECT_EQ(-1, PlatIoctl(fd, 1, nullptr));

    Kovesim({"switch", Dir(), "84", "on"}, &status);
    ASSERT_EQ(0, status);
    Kovesim({"switch", Dir(), "85", "off"}, &status);
    ASSERT_EQ(0, status);
    Kovesim({"switch", Dir(), "88", "off"}, &status);
    ASSERT_EQ(0, status);
    EXPECT_EQ(5u, lines(fd, 84, 4));
    EXPECT_EQ(0u, lines(fd, 88, 1));
    Kovesim({"switch", Dir(), "88", "auto"}, &status);
    ASSERT_EQ(0, status);
    EXPECT_EQ(1u, lines(fd, 88, 1));
    for (const char* bad : {"79", "89", "x"})
    {
        Kovesim({"switch", Dir(), bad, "on"}, &status);
        EXPECT_EQ(2, status) << bad;
    }
    Kovesim({"flash", Dir(), "nosuch", "fail"}, &status);
    EXPECT_EQ(1, status);
    PlatClose(fd);
}

TEST_F(SimDevice, TemperatureSensorReportsWhatKovesimSets)
{
    auto sensor = [](int fd)
    {
        uint32_t word = 0xDEADBEEF;
        EXPECT_EQ(0, PlatIoctl(fd, 0, &word));
        return word;
    };
    int fd = PlatOpen("/dev/LM75", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0x2800u, sensor(fd)); // 40.0 degrees until set
    int status = -1;
    // The same descriptor sees every change; below zero the low 16 bits are negative.
    for (const auto& c : {std::make_pair("-0.5", 0xFF80u), std::make_pair("26.5", 0x1A80u)})
    {
        Kovesim({"temp", Dir(), "0", c.first}, &status);
        ASSERT_EQ(0, status);
        EXPECT_EQ(c.second, sensor(fd)) << c.first;
    }
    EXPECT_EQ("26.50\n", Kovesim({"temp", Dir(), "0"}));
    Kovesim({"temp", Dir(), "0", "128"}, &status);
    EXPECT_EQ(2, status); // beyond what the sensor shows
    Kovesim({"temp", Dir(), "3", "20"}, &status);
    EXPECT_EQ(1, status); // no module in slot 3
    errno = 0;
    EXPECT_EQ(-1, PlatIoctl(fd, 1, nullptr));
    EXPECT_EQ(EINVAL, errno);
    PlatClose(fd);
}
