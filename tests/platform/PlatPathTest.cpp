// Fixed device paths on the real and on the simulated device.
#include "SimTestSupport.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

using namespace simtest;

namespace
{
std::string Mapped(const std::string& devicePath)
{
    char out[4096];
    EXPECT_EQ(0, PlatPath(devicePath.c_str(), out, sizeof out)) << devicePath;
    return out;
}
} // namespace

TEST(PlatPath, RealDeviceKeepsEveryPath)
{
    UseRealDevice();
    for (const char* p : {"/Applications/tmp/Driver/", "/tmp/../x", "rel/file"})
    {
        EXPECT_EQ(p, Mapped(p));
        EXPECT_EQ(p, PlatPath(std::string(p)));
    }
}

TEST(PlatPath, SimulatedDevicePlacesAbsolutePathsInsideItsDirectory)
{
    kovetest::CTempDir tmp;
    const std::string dir = tmp.Path() + "/device"; // does not exist yet
    UseDevice(dir);
    const struct
    {
        std::string in;
        std::string out;
    } cases[] = {
        {"/Applications/tmp/Driver/", dir + "/Applications/tmp/Driver/"},
        {"/tmp/UpdateResult.txt", dir + "/tmp/UpdateResult.txt"},
        {"relative/file", "relative/file"},
        {dir + "/tmp/Update/Event.log", dir + "/tmp/Update/Event.log"},
        {"/tmp/../../../etc/passwd", dir + "/etc/passwd"},
        {dir + "/../escape", dir + tmp.Path() + "/escape"},
        {"//tmp/./Update/", dir + "/tmp/Update/"},
        {"/", dir + "/"},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.out, Mapped(c.in)) << c.in;
        EXPECT_EQ(c.out, PlatPath(c.in)) << c.in;
    }
    // The first use made the default device, with the device's fixed directories.
    struct stat st;
    EXPECT_EQ(0, stat((dir + "/Applications/tmp/Driver").c_str(), &st));
    EXPECT_EQ(0, stat((dir + "/tmp/Update").c_str(), &st));
    UseRealDevice();
}

TEST(PlatPath, RefusesWhatDoesNotFit)
{
    kovetest::CTempDir tmp;
    UseDevice(tmp.Path());
    std::string want = tmp.Path() + "/tmp/x";
    std::vector<char> out(want.size()); // one byte short of the terminating zero
    errno = 0;
    EXPECT_EQ(-1, PlatPath("/tmp/x", out.data(), out.size()));
    EXPECT_EQ(ERANGE, errno);
    out.resize(want.size() + 1);
    EXPECT_EQ(0, PlatPath("/tmp/x", out.data(), out.size()));
    EXPECT_EQ(want, out.data());
    EXPECT_EQ(-1, PlatPath(nullptr, out.data(), out.size()));
    EXPECT_EQ(-1, PlatPath("/tmp/x", nullptr, 10));
    UseRealDevice();
}
