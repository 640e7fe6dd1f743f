// The hub when things go wrong around it: its Diagnostic while other clients wait, a disk
// that is full or read-only at start-up or while it serves, and a registry that clients try to
// fill without end.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "KoveTestSupport.h"
#include "RequestClient.h"

using namespace kovetest;
using Clock = std::chrono::steady_clock;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";
constexpr size_t kSmallBytes = 64 * 1024;

class SystemDriverReliability : public testing::Test
{
protected:
    void StartHub()
    {
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver");
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
    }

    CReply Request(const std::string& request, const std::string& replyName = "reply.xml")
    {
        return SendRequest(62000, kHead + request, tDevice.Dir() + "/" + replyName);
    }

    std::string Identify() { return Request("<Identify/>").sText; }

    // Where the drivers keep their files, and where named shared memories live.
    std::string Applications() const { return tDevice.Path("/Applications"); }
    std::string SharedMemories() const { return tDevice.Path("/dev/shm"); }

    CSimDevice tDevice;
    std::unique_ptr<CTestProcess> pHub;
};

TEST_F(SystemDriverReliability, DiagnosticIsAnsweredWhileAPingWaits)
{
    StartHub();
    const auto start = Clock::now();
    auto diagnostic = std::async(std::launch::async,
                                 [this] { return Request("<Diagnostic/>", "diagnostic.xml"); });
    auto ping = std::async(std::launch::async, [this] { return Request("<Ping/>", "ping.xml"); });
    const CReply diagnosticReply = diagnostic.get();
    const CReply pingReply = ping.get();
    // The hub used to wait for its own answer to an Identify (10 s) with every client behind.
    // Two short requests take far less, on a loaded machine and under an emulator too.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(pingReply.sRoot, "Ping");
    EXPECT_EQ(diagnosticReply.sRoot, "Diagnostic");
    // The hub's Diagnostic is its error report alone: the device's identity and versions are
    // Identify's answer.
    EXPECT_FALSE(diagnosticReply.Has("<DeviceVersion")) << diagnosticReply.sText;
}

TEST_F(SystemDriverReliability, AProgramOnADiskItCannotWriteEndsWithAMessage)
{
    const struct
    {
        const char* name;
        const char* program;
        std::vector<std::string> args;
        bool readOnly;
    } cases[] = {
        // The hub on a nearly full file system: its named shared memory cannot be backed, and
        // no request file can be written.
        {"hub, full", "systemdriver", {}, false},
        {"driver, read-only", "qtxtestdriver", {"-Slot=3"}, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CSimDevice device;
        CSmallFileSystem applications(device.Path("/Applications"), kSmallBytes, c.readOnly);
        if (!applications.Usable())
        {
            GTEST_SKIP() << "no small file system for the test: " << applications.Why();
        }
        CSmallFileSystem shm(device.Path("/dev/shm"), kSmallBytes, c.readOnly);
        ASSERT_TRUE(shm.Usable()) << shm.Why();
        if (!c.readOnly)
        {
            std::filesystem::create_directories(device.Path("/Applications/tmp/Driver/log"));
            ASSERT_TRUE(applications.Fill());
            ASSERT_TRUE(shm.Fill());
        }
        CTestProcess program(device, c.program, c.args);
        const int status = program.WaitExit();
        ASSERT_NE(status, -1) << "still running: " << program.Output();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "status " << status << "\n"
                                                                   << program.Output();
        EXPECT_NE(program.Output().find("Request files cannot be written in "), std::string::npos)
            << program.Output();
        if (!c.readOnly)
        {
            EXPECT_NE(program.Output().find("MEM_DevMsg_SharedMemoryList cannot be set up"),
                      std::string::npos)
                << program.Output();
        }
    }
}

TEST_F(SystemDriverReliability, AFullDiskGivesErrorRepliesAndAppliesNothing)
{
    CSmallFileSystem applications(Applications(), 512 * 1024);
    if (!applications.Usable())
    {
        GTEST_SKIP() << "no small file system for the test: " << applications.Why();
    }
    std::filesystem::create_directories(tDevice.Path("/Applications/tmp/Driver/log"));
    StartHub();
    ASSERT_TRUE(applications.Fill());

    const std::string requests[] = {
        "<RegisterModule Name=\"Full:62105\"/>",
        "<RegisterModule><Modules><Module Name=\"Listed\" Port=\"62106\"/></Modules>"
        "</RegisterModule>",
    };
    for (const std::string& request : requests)
    {
        SCOPED_TRACE(request);
        const CReply reply = Request(request);
        EXPECT_EQ(reply.sRoot, "RegisterModule");
        EXPECT_TRUE(reply.Has("Name=\"CanNotStoreFile\"")) << reply.sText;
    }

    applications.Free();
    const std::string identify = Identify();
    EXPECT_EQ(identify.find("<Port>62105</Port>"), std::string::npos) << identify;
    EXPECT_EQ(identify.find("<Port>62106</Port>"), std::string::npos) << identify;
    // With room again the same request is applied.
    EXPECT_FALSE(Request(requests[0]).Has("<Error")) << pHub->Output();
    EXPECT_NE(Identify().find("<Port>62105</Port>"), std::string::npos);
}

TEST_F(SystemDriverReliability, TheRegistryRefusesPortsBeyondWhatADeviceHas)
{
    StartHub();
    // 64 ports fill it (one list); a further port is refused, a known one is still updated.
    std::string list = "<RegisterModule><Modules>";
    for (int i = 0; i < 64; ++i)
        list += "<Module Name=\"M" + std::to_string(i) + "\" Port=\"" + std::to_string(63000 + i) +
                "\"/>";
    const CReply filled =
        Request(list + "<Module Name=\"Over\" Port=\"64000\"/></Modules></RegisterModule>");
    EXPECT_TRUE(filled.Has("Name=\"TooManyModules\"")) << filled.sText;

    const CReply single = Request("<RegisterModule Name=\"Late:62100\"/>");
    EXPECT_TRUE(single.Has("Name=\"TooManyModules\"")) << single.sText;
    EXPECT_FALSE(Request("<RegisterModule Name=\"Renamed:63005\"/>").Has("<Error"));

    const std::string identify = Identify();
    size_t modules = 0;
    for (size_t at = identify.find("<Module "); at != std::string::npos;
         at = identify.find("<Module ", at + 1))
        ++modules;
    EXPECT_EQ(modules, 64u);
    EXPECT_EQ(identify.find("<Port>64000</Port>"), std::string::npos);
    EXPECT_EQ(identify.find("<Port>62100</Port>"), std::string::npos);
    EXPECT_NE(identify.find("<Module Name=\"Renamed\">"), std::string::npos);
}
} // namespace

TEST_F(SystemDriverReliability, TheHubAnswersWellFormedRequestsWhateverTheirMarkupHolds)
{
    StartHub();
    // Markup that holds what looks like the end of the root: Ping echoes each request whole.
    const std::string requests[] = {
        "<Ping Error=\"a > b\" Text='x/>'/>",
        "<Ping><!-- </Ping> --><![CDATA[</Ping>]]></Ping>",
        "<Ping><Ping>x</Ping></Ping>",
        "<!-- <Lock> --><Ping/>",
    };
    for (const auto& request : requests)
    {
        SCOPED_TRACE(request);
        const CReply reply = Request(request);
        EXPECT_EQ(reply.sRoot, "Ping");
        EXPECT_EQ(reply.sText, kHead + request);
    }
}
