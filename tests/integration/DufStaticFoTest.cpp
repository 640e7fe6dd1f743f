// The routing driver on a central-module device in static fiber-optic mode, as a process beside
// a fake hub, a fake fiber-optic driver and fake module drivers in slots X2 (16 analog inputs)
// and X3 (16 analog outputs).
#include "DufDriverFixture.h"

#include <sys/stat.h>
#include <sys/time.h>

namespace kovetest
{
namespace
{
const std::string kWorkingCopy = "/tmp/Update/Config_StaticFO.xml";
const std::string kStoredCopy = kDriverDir + "Configuration/Config_StaticFO.xml";

std::string StaticFoFile(const std::string& signals, const std::string& extra = "")
{
    std::string text = sXmlStart + "<Module Name=\"StaticFO\"><Properties Name=\"A\">" +
                       Property("FO_Signals", signals);
    for (const char* name :
         {"FO_IN_AO_Offset", "FO_IN_DO_Offset", "FO_OUT_AI_Offset", "FO_OUT_DI_Offset"})
        text += Property(name, "0");
    for (const char* name : {"Use_qorKOVE-Z-TM_DI", "Use_Output_StatusSignals",
                             "Use_Output_ControlSignals", "QW_Compatibility"})
        text += Property(name, "false");
    return text + extra + "</Properties></Module>\n";
}

std::vector<CForDufSignal> Sixteen(int length, const char* type)
{
    std::vector<CForDufSignal> signals;
    for (int n = 0; n < 16; ++n)
        signals.push_back({n, n * length, length, type});
    return signals;
}

// The analog output module's own configuration: 16 signals with Enable false.
std::string OutputModuleConfiguration()
{
    std::string text = sXmlStart + "<Module Name=\"qorQM16xAO-10V\"><Signals Name=\"AnalogOut\">"
                                   "<NumberOfSignals><Value>16</Value></NumberOfSignals>";
    for (int n = 0; n < 16; ++n)
        text += "<Signal Number=\"" + std::to_string(n) + "\"><Properties>" +
                Property("Enable", "false") + "</Properties></Signal>";
    return text + "</Signals></Module>\n";
}

class DufStaticFoDriver : public DufDriver
{
protected:
    void SetUp() override
    {
        DufDriver::SetUp();
        m_tHub.SetReply(
            "Identify",
            sXmlStart + "<System><SystemInfo><Name>qorKOVE-Z-TM</Name></SystemInfo><Modules>"
                        "<Module Name=\"DUF\"><Port>62001</Port><Status>Running</Status></Module>"
                        "<Module Name=\"qorQM16xAI-10V\"><Port>62101</Port><Status>Running</Status>"
                        "</Module><Module Name=\"qorQM16xAO-10V\"><Port>62102</Port><Status>"
                        "Running</Status></Module></Modules></System>\n");
        m_tHub.SetReply("GetUserConfig", sXmlStart + "<GetUserConfig Value=\";hex=0x0;\"/>\n");
        m_tHub.SetReply("StoreConfiguration", sXmlStart + "<StoreConfiguration/>\n");
        ASSERT_TRUE(m_tFiberOptic.Start());
        ASSERT_TRUE(m_tInputs.Start());
        ASSERT_TRUE(m_tOutputs.Start());
        m_tInputs.SetAddressTable(ForDufXml("AnalogIn", 0x200000, 0x10000, 10, Sixteen(16, "INT")));
        m_tOutputs.SetAddressTable(
            ForDufXml("AnalogOut", 0x200000, 0x10000, 10, Sixteen(16, "INT"), "Output"));
        m_tOutputs.SetReply("Configuration", OutputModuleConfiguration());
        Store(kStoredCopy, StaticFoFile("Int64"));
    }
    // The FiberOptic documents the fiber-optic driver was sent.
    std::vector<std::string> FiberOpticDocuments() const
    {
        std::vector<std::string> documents;
        for (const CHubRequest& r : m_tFiberOptic.Requests("Module"))
            documents.push_back(r.sDocument);
        return documents;
    }
    // Rewrites the working copy with a modification time the watcher has not seen yet.
    void Upload(const std::string& text)
    {
        Store(kWorkingCopy, text);
        static int shift = 0;
        shift += 10;
        struct timeval times[2];
        gettimeofday(&times[0], nullptr);
        times[0].tv_sec += shift;
        times[1] = times[0];
        ASSERT_EQ(utimes(m_tDevice.Path(kWorkingCopy).c_str(), times), 0);
    }
    bool LogHas(const std::string& text, int count = 1)
    {
        return WaitFor(
            [&]
            {
                const std::string log = Log();
                int found = 0;
                for (size_t at = log.find(text); at != std::string::npos;
                     at = log.find(text, at + 1))
                    ++found;
                return found >= count;
            },
            std::chrono::seconds(30));
    }

    CFakeHub m_tFiberOptic{62002};
    CFakeModuleDriver m_tInputs{1};
    CFakeModuleDriver m_tOutputs{2};
};

TEST_F(DufStaticFoDriver, StaticFrameSignalListAndModuleConfigurations)
{
    auto duf = StartDuf();
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 1)) << duf->Output();
    const std::string fo = FiberOpticDocuments().front();
    for (const std::string& p :
         {Property("OutputFrames", "1"), Property("OutputPeriod", "50"), Property("Slot", "0"),
          Property("Length", "144"), Property("MasterModeClassTimes", "10;0")})
        EXPECT_NE(fo.find(p), std::string::npos) << p << "\n" << fo;

    // The output module was switched to drive the fiber-optic signals.
    ASSERT_TRUE(m_tOutputs.WaitForRequests("Module", 1));
    const std::string sent = m_tOutputs.Requests("Module").front().sDocument;
    EXPECT_NE(sent.find("\"PowerOn\" Value=\"true\""), std::string::npos) << sent;
    EXPECT_EQ(sent.find("\"Enable\" Value=\"false\""), std::string::npos) << sent;

    ASSERT_TRUE(
        WaitFor([&] { return !ReadFile(m_tDevice.Path("/tmp/Update/FoSignalList.txt")).empty(); }))
        << Log();
    const std::string list = ReadFile(m_tDevice.Path("/tmp/Update/FoSignalList.txt"));
    for (const char* line :
         {"Mode: 32 Mbit Int 64A + 64D, Period: 50 us\n",
          "\n                                X2_AI00| 16|    INT|    A0|0 Bytes|       0x40|\n",
          "\n                                X2_AI15| 16|    INT|   A15|0 Bytes|       0x5E|\n",
          "\n                                X3_AO15| 16|    INT|   A15|0 Bytes|       0x5E|\n"})
        EXPECT_NE(list.find(line), std::string::npos) << line << "\n" << list;
    // The analog inputs of X2 lie at the start of the fiber-optic output window.
    EXPECT_NE(ShowPaths().find("148000"), std::string::npos) << ShowPaths();

    // The hub pushes another hex switch: normal mode, the module's own configuration returns.
    EXPECT_EQ(Send(sXmlStart + "<SetUserConfig Value=\";hex=0x1;\"/>\n").sRoot, "SetUserConfig");
    ASSERT_TRUE(m_tOutputs.WaitForRequests("Module", 2)) << Log();
    const std::string normal = m_tOutputs.Requests("Module").back().sDocument;
    EXPECT_NE(normal.find("\"Enable\" Value=\"false\""), std::string::npos) << normal;
    EXPECT_EQ(normal.find("PowerOn"), std::string::npos) << normal;
    // The same low four bits again switch nothing.
    EXPECT_EQ(Send(sXmlStart + "<SetUserConfig Value=\";hex=0x11;\"/>\n").sRoot, "SetUserConfig");
    EXPECT_EQ(m_tOutputs.Count("Module"), 2);
}

TEST_F(DufStaticFoDriver, ChangedFileIsCheckedStoredAndApplied)
{
    auto duf = StartDuf();
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 1)) << duf->Output();
    // The watcher has seen the working copy made at start-up, and takes it for no change.
    ASSERT_TRUE(LogHas("[/tmp/Update/Config_StaticFO.xml:")) << Log();
    EXPECT_EQ(m_tHub.Count("StoreConfiguration"), 0);

    // A wrong file: refused in the error file, the stored one comes back, nothing applied.
    Upload(StaticFoFile("Int48"));
    ASSERT_TRUE(WaitFor(
        [&] { return !ReadFile(m_tDevice.Path("/tmp/Update/Err_Config_StaticFO.xml")).empty(); },
        std::chrono::seconds(30)))
        << Log();
    EXPECT_NE(ReadFile(m_tDevice.Path("/tmp/Update/Err_Config_StaticFO.xml")).find("WrongValue"),
              std::string::npos);
    ASSERT_TRUE(LogHas("StaticFO mode is qorKOVE-Z-TM", 2)) << Log();
    EXPECT_EQ(ReadFile(m_tDevice.Path(kWorkingCopy)), StaticFoFile("Int64"));
    EXPECT_EQ(m_tHub.Count("StoreConfiguration"), 0);
    EXPECT_NE(FiberOpticDocuments().back().find(Property("OutputPeriod", "50")), std::string::npos);
    // The watcher takes the restored working copy for the driver's own change.
    ASSERT_TRUE(LogHas("] Ignore=true")) << Log();

    // A good file: stored through the hub, sent to the fiber-optic driver, paths programmed.
    Upload(StaticFoFile("Int128"));
    ASSERT_TRUE(m_tHub.WaitForRequests("StoreConfiguration", 1, std::chrono::seconds(30))) << Log();
    EXPECT_EQ(ReadFile(m_tDevice.Path(kStoredCopy)), StaticFoFile("Int128"));
    EXPECT_TRUE(WaitFor(
        [&]
        {
            return FiberOpticDocuments().back().find(Property("OutputPeriod", "100")) !=
                   std::string::npos;
        }));
    ASSERT_TRUE(WaitFor(
        [&]
        {
            return ReadFile(m_tDevice.Path("/tmp/Update/FoSignalList.txt")).find("Int 128A") !=
                   std::string::npos;
        }))
        << Log();
    // One reconfiguration for the refused file, one for the accepted one, none for the restore.
    EXPECT_TRUE(LogHas("Update of StaticFO configuration done", 2));
    const std::string log = Log();
    EXPECT_EQ(log.find("Update of StaticFO configuration done",
                       log.rfind("Update of StaticFO configuration done") - 1),
              log.rfind("Update of StaticFO configuration done"));
    EXPECT_EQ(log.find("Update of StaticFO configuration done"),
              log.rfind("Update of StaticFO configuration done",
                        log.rfind("Update of StaticFO configuration done") - 1));
}

TEST_F(DufStaticFoDriver, SelectionNoneRunsWithoutStaticMode)
{
    const std::string none = StaticFoFile("Int64").replace(
        StaticFoFile("Int64").find("<Properties"), 0,
        "<Properties Name=\"Selection\">" + Property("SelectedConfiguration", "None") +
            "</Properties>");
    Store(kStoredCopy, none);
    auto duf = StartDuf();
    ASSERT_TRUE(LogHas("StaticFO mode is Off")) << Log();
    EXPECT_EQ(ReadFile(m_tDevice.Path(kStoredCopy)), none);
    EXPECT_EQ(m_tFiberOptic.Count("Module"), 0);
    EXPECT_EQ(m_tOutputs.Count("Module"), 0);
    EXPECT_EQ(ShowPaths().find("148000"), std::string::npos);
}

TEST_F(DufStaticFoDriver, UnknownRootTagIsRefused)
{
    auto duf = StartDuf();
    EXPECT_NE(Send(sXmlStart + "<Watchdog/>\n").sText.find("UnknownXmlFile"), std::string::npos);
}
} // namespace
} // namespace kovetest

namespace kovetest
{
namespace
{
// With the real hub: the hex switch of the simulated device selects the mode, and the hub
// pushes its changes to the routing driver.
TEST(DufStaticFoWithHub, TheHexSwitchLeavesAndEntersStaticMode)
{
    // Switch 2 (the low four bits of "hex") at 0: static mode.
    CSimDevice device({"--family", "0x880000", "--hex", "1,0,0,0"});
    CFakeHub fiberOptic(62002);
    CFakeModuleDriver inputs(1);
    CFakeModuleDriver outputs(2);
    ASSERT_TRUE(fiberOptic.Start() && inputs.Start() && outputs.Start());
    inputs.SetAddressTable(ForDufXml("AnalogIn", 0x200000, 0x10000, 10, Sixteen(16, "INT")));
    outputs.SetAddressTable(
        ForDufXml("AnalogOut", 0x200000, 0x10000, 10, Sixteen(16, "INT"), "Output"));
    outputs.SetReply("Configuration", OutputModuleConfiguration());
    CTestProcess hub(device, "systemdriver");
    ASSERT_TRUE(hub.WaitForPort(62000)) << hub.Output();
    for (const char* module : {"qorQM16xAI-10V:62101", "qorQM16xAO-10V:62102"})
        EXPECT_EQ(SendRequest(62000, sXmlStart + "<RegisterModule Name=\"" + module + "\"/>",
                              device.Path("/reply.xml"))
                      .sRoot,
                  "RegisterModule");

    CTestProcess duf(device, "dufdriver");
    ASSERT_TRUE(duf.WaitForPort(kDufPort)) << duf.Output();
    ASSERT_TRUE(outputs.WaitForRequests("Module", 1)) << duf.Output();
    EXPECT_NE(outputs.Requests("Module").front().sDocument.find("PowerOn"), std::string::npos);

    // Switch 2 at 1: normal mode, the module's own configuration goes back.
    device.Tool("hex", {"1,1,0,0"});
    ASSERT_TRUE(outputs.WaitForRequests("Module", 2, std::chrono::seconds(30)));
    EXPECT_EQ(outputs.Requests("Module").back().sDocument.find("PowerOn"), std::string::npos);
    // And back to static mode.
    device.Tool("hex", {"1,0,0,0"});
    ASSERT_TRUE(outputs.WaitForRequests("Module", 3, std::chrono::seconds(30)));
    EXPECT_NE(outputs.Requests("Module").back().sDocument.find("PowerOn"), std::string::npos);
}
} // namespace
} // namespace kovetest
