// The base requests of every driver seen from a client: qtxtestdriver on a simulated device,
// port 62103, a fake hub on 62000. The module lock, the debug commands that end or restart the
// driver, and the answers of the base class.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/wait.h>

#include "FakeHub.h"
#include "KoveTestSupport.h"
#include "RequestClient.h"
#include "QTXCommunication.h"

using namespace kovetest;

namespace
{
const std::string kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string DebugRequest(const std::string& properties)
{
    return kXmlHead + "<Debug><Properties>" + properties + "</Properties></Debug>";
}

std::string Property(const std::string& name, const std::string& value)
{
    return "<Property Name=\"" + name + "\" Value=\"" + value + "\"/>";
}

class RequestDispatch : public testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(tDevice.Path("/Applications/tmp/Driver/log"));
        std::filesystem::create_directories(tDevice.Path("/Applications/tmp/Driver/Configuration"));
        ASSERT_TRUE(tHub.Start());
    }

    void StartDriver()
    {
        pDriver = std::make_unique<CTestProcess>(tDevice, "qtxtestdriver",
                                                 std::vector<std::string>{"-Slot=3"});
        ASSERT_TRUE(pDriver->WaitForPort(62103)) << pDriver->Output();
    }

    // One request on a new connection, received with the framework's own endpoint.
    CReply Request(const std::string& request)
    {
        return SendRequest(62103, request, tDevice.Dir() + "/reply.xml");
    }

    std::string LogText() const
    {
        return ReadFile(tDevice.Path("/Applications/tmp/Driver/log/Slot62103_log.txt"));
    }

    CSimDevice tDevice;
    CFakeHub tHub;
    std::unique_ptr<CTestProcess> pDriver;
};

TEST_F(RequestDispatch, LockHoldsOffConfigurationsUntilItsHolderReleasesIt)
{
    // A stored configuration long enough for the locked answer.
    std::string stored = kXmlHead + "<Module Name=\"TestDriver\">\n\t<ModuleInfo>\n";
    for (int i = 0; i < 20; ++i)
        stored += "\t\t<Ability Name=\"A" + std::to_string(i) + "\" Value=\"" +
                  std::string(40, 'v') + "\"/>\n";
    stored += "\t</ModuleInfo>\n</Module>\n";
    const std::string storedFile =
        tDevice.Path("/Applications/tmp/Driver/Configuration/Config_62103_TestDriver.xml");
    std::filesystem::create_directories(tDevice.Path("/Applications/tmp/Driver/Configuration"));
    {
        std::ofstream(storedFile, std::ios::binary) << stored;
    }
    StartDriver();
    const std::string module = kXmlHead + "<Module Name=\"TestDriver\"></Module>";
    const auto lock = [](const std::string& value, const std::string& signature)
    {
        return kXmlHead + "<Lock Name=\"TestDriver\" Value=\"" + value + "\" Signature=\"" +
               signature + "\"/>";
    };

    CReply reply = Request(lock("1", "Bench &amp; &lt;Co&gt;"));
    EXPECT_EQ(reply.sRoot, "Lock");
    EXPECT_FALSE(reply.Has("<Errors")) << reply.sText;

    // Locked: the answer is the stored configuration with the lock warning; the stored file
    // itself stays as it was.
    reply = Request(module);
    EXPECT_EQ(reply.sRoot, "Module");
    EXPECT_TRUE(reply.Has("<Warning Type=\"ParameterError\" Name=\"ConfigurationLocked\" "
                          "Text=\"Configuration not changed due to lock\""))
        << reply.sText;
    EXPECT_TRUE(reply.Has("<Ability Name=\"A19\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("<LockedBy>Bench &amp; &lt;Co&gt;</LockedBy>")) << reply.sText;
    EXPECT_EQ(ReadFile(storedFile), stored);

    // Another client can neither take nor release the lock; the holder names itself in any
    // letter case.
    reply = Request(lock("0", "Other"));
    EXPECT_TRUE(reply.Has("Name=\"ModuleLocked\" Text=\"Module already locked by Bench &amp; "
                          "&lt;Co&gt;\""))
        << reply.sText;
    reply = Request(lock("0", "BENCH &amp; &lt;co&gt;"));
    EXPECT_FALSE(reply.Has("<Errors")) << reply.sText;

    reply = Request(module);
    EXPECT_EQ(reply.sRoot, "Module");
    EXPECT_FALSE(reply.Has("ConfigurationLocked")) << reply.sText;
}

TEST_F(RequestDispatch, EndDriverAnswersAndEndsTheDriverInOrder)
{
    StartDriver();
    const CReply reply = Request(DebugRequest(Property("EndDriver", "")));
    EXPECT_TRUE(reply.Has("<Info Type=\"GeneralError\" Name=\"UserBreak\" Text=\"Driver stopped "
                          "according to user request\""))
        << reply.sText;
    const int status = pDriver->WaitExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << pDriver->Output();
    // Told once, although both the run loop's end and the release of the driver tell it.
    EXPECT_EQ(tHub.Requests("RemoveModule").size(), 1u);
}

TEST_F(RequestDispatch, RebootDriverStartsTheDriverAgainOnItsPort)
{
    if (!ProgramsStartProgramsOfTheBuild())
        GTEST_SKIP() << "a driver cannot start a program of this cross build here: the kernel "
                        "has no binfmt_misc registration for its emulator";
    StartDriver();
    ASSERT_TRUE(tHub.WaitForRequests("RegisterModule", 1));
    const CReply reply = Request(DebugRequest(Property("RebootDriver", "0")));
    EXPECT_TRUE(reply.Has("Name=\"UserBreak\" Text=\"Driver stopped to reboot itself\""))
        << reply.sText;
    const int status = pDriver->WaitExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << pDriver->Output();

    // The new process registers and answers on the same port.
    EXPECT_TRUE(tHub.WaitForRequests("RegisterModule", 2)) << pDriver->Output();
    const std::string ping = kXmlHead + "<Ping/>";
    EXPECT_TRUE(WaitFor([&] { return Request(ping).sRoot == "Ping"; })) << pDriver->Output();
    EXPECT_NE(LogText().find("*** RebootDriver ***: \"" + BinPath("qtxtestdriver") +
                             "\" \"-Slot=3\"  -delay=0"),
              std::string::npos)
        << LogText();
}

TEST_F(RequestDispatch, RebootDriverTakesOnlyADecimalDelay)
{
    StartDriver();
    const std::string injected = tDevice.Dir() + "/injected";
    const std::string values[] = {
        "1; touch " + injected, "$(touch " + injected + ")", "-5", "", "12a", "0x10", "1234567890"};
    for (const auto& value : values)
    {
        SCOPED_TRACE(value);
        const CReply reply = Request(DebugRequest(Property("RebootDriver", value)));
        EXPECT_TRUE(reply.Has("<Error Type=\"ParameterError\" Name=\"IllegalArguments\""))
            << reply.sText;
    }
    EXPECT_EQ(Request(kXmlHead + "<Ping/>").sRoot, "Ping");
    EXPECT_EQ(pDriver->WaitExit(std::chrono::milliseconds(0)), -1) << "the driver ended";
    EXPECT_FALSE(std::filesystem::exists(injected));
    EXPECT_EQ(LogText().find("*** RebootDriver ***"), std::string::npos);
}

TEST_F(RequestDispatch, BaseAnswersIdentifyAndRefusesTheDriversOwnTags)
{
    StartDriver();
    CReply reply = Request(kXmlHead + "<Identify/>");
    EXPECT_EQ(reply.sRoot, "Module");
    EXPECT_TRUE(reply.Has("Name=\"TestDriver\"")) << reply.sText;

    // The base diagnosis answers with the versions of the device.
    reply = Request(kXmlHead + "<Diagnostic/>");
    EXPECT_EQ(reply.sRoot, "Diagnostic");
    EXPECT_TRUE(reply.Has("<DeviceVersion")) << reply.sText;

    for (const char* tag : {"Device", "RegisterModule", "Version", "Reconfigure"})
    {
        SCOPED_TRACE(tag);
        reply = Request(kXmlHead + "<" + tag + "/>");
        EXPECT_EQ(reply.sRoot, tag);
        EXPECT_TRUE(reply.Has("Name=\"NoXml\"") && reply.Has("ErrorNr=\"-256\"")) << reply.sText;
    }
}
} // namespace
