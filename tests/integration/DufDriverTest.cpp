// The signal-routing driver as a process on a simulated device, beside a fake hub and fake
// module drivers: start-up, registration, its debug commands, routing documents completed with
// the modules' address data, module drivers missing at start-up, and both ways to end it.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

#include "DufDriverFixture.h"

using namespace kovetest;

namespace
{
TEST_F(DufDriver, StartsRegistersSetsUpItsUnitsAndEndsOnRequest)
{
    auto duf = StartDuf();
    EXPECT_NE(m_tHub.Requests("RegisterModule")[0].Attribute("Name").find("62001"),
              std::string::npos);
    // Family 2 carries the synchronizer and bus-master units: both are running.
    EXPECT_NE(m_tDevice.Tool("peek", {"0x110080"}).find("C0000000"), std::string::npos);

    EXPECT_NE(ShowPaths().find(kEmptyMask), std::string::npos);

    const CReply end = Send(Debug(Property("EndDriver", "") + Property("ShowPaths", "")));
    EXPECT_FALSE(end.Has("FoReadyMask")) << end.sText;
    const int status = duf->WaitExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << duf->Output();
    EXPECT_GE(m_tHub.Count("RemoveModule"), 1);
}

TEST_F(DufDriver, EndsOnSigterm)
{
    auto duf = StartDuf();
    duf->Signal(SIGTERM);
    const int status = duf->WaitExit();
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
    EXPECT_GE(m_tHub.Count("RemoveModule"), 1);
}

TEST_F(DufDriver, RoutingDocumentTakesTheModulesAddressDataOnce)
{
    CFakeModuleDriver module(1);
    ASSERT_TRUE(module.Start());
    module.SetAddressTable(TwoListDescription());
    auto duf = StartDuf();

    const CReply reply = Send(RoutingDocument({{"AnalogIn", 1, {1, 2}}, {"DigitalIn", 1, {5}}}));
    ASSERT_EQ(reply.sRoot, "Module") << duf->Output();
    EXPECT_FALSE(reply.Has("<Error ")) << reply.sText;
    // Signal 2 lies at bit 100 of the module's data; the window starts at byte 4.
    EXPECT_TRUE(reply.Has("Name=\"Offset\" Value=\"68\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Name=\"VraType\" Value=\"INT\"")) << reply.sText;
    EXPECT_EQ(module.AddressTableRequests(), 1);
    EXPECT_FALSE(ReadFile(m_tDevice.Path(kStoredSet0)).empty());

    const std::string paths = ShowPaths();
    EXPECT_NE(paths.find("Request 62002 from 62101[AnalogIn]:"), std::string::npos) << paths;
    EXPECT_NE(paths.find("Request 62002 from 62101[DigitalIn]:"), std::string::npos) << paths;

    // A document whose module does not answer is refused and leaves the requester no records.
    const CReply refused = Send(RoutingDocument({{"AnalogIn", 1, {1}}, {"AnalogIn", 3, {1}}}));
    EXPECT_TRUE(refused.Has("Module 62103 did not answer with correct DUF data")) << refused.sText;
    EXPECT_TRUE(refused.Has("WrongParameter")) << refused.sText;
    EXPECT_EQ(ShowPaths().find("Request 62002"), std::string::npos);
    EXPECT_EQ(module.AddressTableRequests(), 2);
}

TEST_F(DufDriver, AModuleTheHubDoesNotListIsMissingAtStartUp)
{
    CFakeModuleDriver module1(1);
    CFakeModuleDriver module2(2);
    ASSERT_TRUE(module1.Start());
    ASSERT_TRUE(module2.Start());
    module1.SetAddressTable(TwoListDescription());
    module2.SetAddressTable(TwoListDescription());
    m_tHub.SetReply("Identify", IdentifyListing({62000, 62002, 62101}));
    Store(kStoredSet0, RoutingDocument({{"AnalogIn", 1, {1}}, {"AnalogIn", 2, {2}}}));

    auto duf = StartDuf();
    const std::string paths = ShowPaths();
    EXPECT_NE(paths.find("Request 62002 from 62101[AnalogIn]:"), std::string::npos) << paths;
    EXPECT_NE(paths.find("Request 62002 from 62102[AnalogIn] is invalid"), std::string::npos)
        << paths;
    EXPECT_EQ(module2.AddressTableRequests(), 0);
    EXPECT_NE(Log().find("Waiting for drivers, miss-mask=4"), std::string::npos) << Log();
}

TEST_F(DufDriver, AMalformedHubAnswerAtStartUpKeepsTheStoredSets)
{
    const std::string stored = RoutingDocument({{"AnalogIn", 1, {1}}});
    Store(kStoredSet0, stored);
    Store(kDriverDir + "FactoryDefault.xml", RoutingDocument({}));
    m_tHub.SetReply("Identify", "<System><Modules><Module><Port>62101</Port></Modul></Modules>"
                                "</System>\n");

    auto duf = StartDuf();
    EXPECT_NE(ShowPaths().find("Request 62002 from 62101[AnalogIn] is invalid"), std::string::npos);
    EXPECT_EQ(ReadFile(m_tDevice.Path(kStoredSet0)), stored);
    EXPECT_EQ(Log().find("InitError"), std::string::npos) << Log();
}
} // namespace
