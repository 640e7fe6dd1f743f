// The signal-routing driver as a process on a simulated device, beside a fake hub and fake
// module drivers: start-up, registration, its debug commands, routing documents completed with
// the modules' address data, module drivers missing at start-up, and both ways to end it.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

#include "FakeHub.h"
#include "FakeModuleDriver.h"
#include "KoveTestSupport.h"
#include "QTXXml.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
constexpr int kDufPort = 62001;
const std::string kEmptyMask = "FoReadyMask=0b" + std::string(32, '0');
const std::string kDriverDir = "/Applications/tmp/Driver/";
const std::string kStoredSet0 = kDriverDir + "Configuration/Config_62001_DUF.xml";

std::string Debug(const std::string& properties)
{
    return sXmlStart + "<Debug><Properties>" + properties + "</Properties></Debug>\n";
}

std::string Property(const std::string& name, const std::string& value)
{
    return "<Property Name=\"" + name + "\" Value=\"" + value + "\"/>";
}

// A fiber-optic routing document: per list its name, module slot and signal numbers.
struct SList
{
    std::string name;
    int slot;
    std::vector<int> numbers;
};
std::string RoutingDocument(const std::vector<SList>& lists)
{
    std::string text = sXmlStart + "<Module Name=\"DUF\"><Properties>" +
                       Property("Target", "FiberOptic") + "</Properties>";
    for (const SList& list : lists)
    {
        text += "<Signals Name=\"" + list.name + "\" ModuleSlot=\"" + std::to_string(list.slot) +
                "\"><NumberOfSignals><Value>" + std::to_string(list.numbers.size()) +
                "</Value></NumberOfSignals>";
        for (int n : list.numbers)
            text += "<Signal Number=\"" + std::to_string(n) + "\"><Properties/></Signal>";
        text += "</Signals>";
    }
    return text + "</Module>\n";
}

// A module description with the lists AnalogIn (signals 1 and 2) and DigitalIn (signal 5).
std::string TwoListDescription()
{
    const std::string analog =
        ForDufXml("AnalogIn", 0x200000, 0x10000, 10, {{1, 40, 8, "BYTE"}, {2, 100, 16, "INT"}});
    const std::string digital =
        ForDufXml("DigitalIn", 0x200000, 0x10000, 10, {{5, 3, 1, "Digital"}});
    const size_t from = digital.find("<Signals");
    const size_t to = digital.find("</Module>");
    std::string both = analog;
    both.insert(both.find("</Module>"), digital.substr(from, to - from));
    return both;
}

std::string IdentifyListing(const std::vector<int>& ports)
{
    std::string text = sXmlStart + "<System><SystemInfo Name=\"qorKOVE\"/><Modules>";
    for (int port : ports)
        text += "<Module Name=\"m\"><Port>" + std::to_string(port) +
                "</Port><Status>Running</Status></Module>";
    return text + "</Modules></System>\n";
}

class DufDriver : public testing::Test
{
protected:
    DufDriver() : m_tDevice({"--family", "0x880000"}) {}
    void SetUp() override
    {
        ASSERT_TRUE(m_tHub.Start());
        m_tHub.SetReply("Identify", IdentifyListing({62001, 62101, 62102}));
    }
    std::unique_ptr<CTestProcess> StartDuf()
    {
        auto duf = std::make_unique<CTestProcess>(m_tDevice, "dufdriver");
        EXPECT_TRUE(duf->WaitForPort(kDufPort)) << duf->Output();
        EXPECT_TRUE(m_tHub.WaitForRequests("RegisterModule", 1)) << duf->Output();
        return duf;
    }
    CReply Send(const std::string& request)
    {
        return SendRequest(kDufPort, request, m_tDevice.Path("/reply.xml"));
    }
    std::string ShowPaths() { return Send(Debug(Property("ShowPaths", ""))).sText; }
    std::string Log() const
    {
        return ReadFile(m_tDevice.Path(kDriverDir + "log/Slot62001_log.txt"));
    }
    void Store(const std::string& path, const std::string& text)
    {
        RunCommand({"mkdir", "-p", m_tDevice.Path(path.substr(0, path.rfind('/')))});
        FILE* f = fopen(m_tDevice.Path(path).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }

    CFakeHub m_tHub;
    CSimDevice m_tDevice;
};

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
