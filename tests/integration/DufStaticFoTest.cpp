// The routing driver on a central-module device in static fiber-optic mode, as a process beside
// a fake hub, a fake fiber-optic driver and fake module drivers in slots X2 (16 analog inputs)
// and X3 (16 analog outputs).
#include "DufDriverFixture.h"

#include <cstring>
#include <sys/stat.h>
#include <sys/time.h>

namespace kovetest
{
namespace
{
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

// The fiber-optic driver's own configuration, as it answers Configuration.
std::string OwnFiberOpticConfiguration()
{
    return sXmlStart + "<Module Name=\"FiberOptic\"><Properties>" +
           Property("OutputPeriod", "400") + "</Properties></Module>\n";
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
        m_tHub.SetReply("StoreConfiguration",
                        sXmlStart + "<StoreConfiguration Status=\"Done\"/>\n");
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
    // In static mode the fiber-optic driver gets the fixed frame, not its own configuration.
    EXPECT_EQ(m_tFiberOptic.Count("Configuration"), 0);
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

TEST_F(DufStaticFoDriver, NormalModeStartHasTheFiberOpticDriverApplyItsOwnConfiguration)
{
    m_tHub.SetReply("GetUserConfig", sXmlStart + "<GetUserConfig Value=\";hex=0x1;\"/>\n");
    m_tFiberOptic.SetReply("Configuration", OwnFiberOpticConfiguration());
    auto duf = StartDuf();
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 1)) << Log();
    EXPECT_EQ(m_tFiberOptic.Count("Configuration"), 1);
    // What it answered goes back to it as a new configuration, and nothing else.
    const std::string sent = FiberOpticDocuments().front();
    EXPECT_NE(sent.find(Property("OutputPeriod", "400")), std::string::npos) << sent;
    EXPECT_EQ(sent.find("MasterModeLength"), std::string::npos) << sent;
    EXPECT_NE(ReadFile(m_tDevice.Path(kDufDir + "StartFOCfg.xml")).find("400"), std::string::npos);
    EXPECT_EQ(m_tOutputs.Count("Module"), 0);
    EXPECT_EQ(ShowPaths().find("148000"), std::string::npos);
    EXPECT_TRUE(ReadFile(m_tDevice.Path("/tmp/Update/FoSignalList.txt")).empty());
    EXPECT_EQ(m_tFiberOptic.Count("Module"), 1);
}

// The output module's configuration that an earlier run kept outlives a fetch that fails at
// this start, and goes back to the module when normal mode returns.
TEST_F(DufStaticFoDriver, KeptModuleConfigurationOutlivesAFailedFetchAndGoesBack)
{
    std::string kept = OutputModuleConfiguration();
    kept.replace(kept.find("qorQM16xAO-10V"), strlen("qorQM16xAO-10V"), "Kept");
    Store(kDufDir + "Cfg_62102_Flex.xml", kept);
    m_tOutputs.SetReply("Configuration",
                        sXmlStart + "<Configuration><Errors><Error Type=\"GeneralError\" "
                                    "Name=\"NoXml\" Text=\"x\"/></Errors></Configuration>\n");
    auto duf = StartDuf();
    ASSERT_TRUE(LogHas("StaticFO ERROR: ")) << Log();
    EXPECT_EQ(ReadFile(m_tDevice.Path(kDufDir + "Cfg_62102_Flex.xml")), kept);
    EXPECT_EQ(m_tOutputs.Count("Module"), 0);

    EXPECT_EQ(Send(sXmlStart + "<SetUserConfig Value=\";hex=0x1;\"/>\n").sRoot, "SetUserConfig");
    ASSERT_TRUE(m_tOutputs.WaitForRequests("Module", 1)) << Log();
    const std::string sent = m_tOutputs.Requests("Module").back().sDocument;
    EXPECT_NE(sent.find("<Module Name=\"Kept\">"), std::string::npos) << sent;
}

TEST_F(DufStaticFoDriver, InvalidStoredConfigurationGivesWayToTheFactoryDefault)
{
    Store(kStoredCopy, StaticFoFile("Int48"));
    auto duf = StartDuf();
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 1)) << Log();
    // The factory default the driver writes has the set Int256 (period 200).
    EXPECT_NE(FiberOpticDocuments().front().find(Property("OutputPeriod", "200")),
              std::string::npos);
    const std::string log = Log();
    EXPECT_NE(log.find("StaticFO: Switchong back to factory default as the stored configuration "
                       "is not valid"),
              std::string::npos);
    EXPECT_NE(log.find("StaticFO mode is qorKOVE-Z-TM"), std::string::npos) << log;
    const std::string factory = ReadFile(m_tDevice.Path(kDufDir + "FactoryDefault_StaticFO.xml"));
    ASSERT_NE(factory.find("Int256"), std::string::npos);
    EXPECT_EQ(ReadFile(m_tDevice.Path(kStoredCopy)), factory);
    EXPECT_EQ(ReadFile(m_tDevice.Path(kWorkingCopy)), factory);
    // The stored file's errors stay for the client to see.
    EXPECT_NE(ReadFile(m_tDevice.Path("/tmp/Update/Err_Config_StaticFO.xml")).find("WrongValue"),
              std::string::npos);
}

TEST_F(DufStaticFoDriver, BothConfigurationsInvalidSwitchTheModeOffUntilACorrectedFile)
{
    // The hex switch selects normal mode.
    m_tHub.SetReply("GetUserConfig", sXmlStart + "<GetUserConfig Value=\";hex=0x1;\"/>\n");
    m_tFiberOptic.SetReply("Configuration", OwnFiberOpticConfiguration());
    Store(kStoredCopy, StaticFoFile("Int48"));
    Store(kDufDir + "FactoryDefault_StaticFO.xml", StaticFoFile("Int96"));
    auto duf = StartDuf();
    ASSERT_TRUE(LogHas("StaticFO: Old config and factory default are both invalid, switching off "
                       "StaticFO"))
        << Log();
    EXPECT_TRUE(LogHas("StaticFO mode is Off"));
    // Normal mode: the fiber-optic driver applies its own configuration.
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 1)) << Log();
    EXPECT_EQ(m_tFiberOptic.Count("Configuration"), 1);

    // A corrected file brings the mode back, in the state the switch selects: no fixed frame.
    ASSERT_TRUE(LogHas("[/tmp/Update/Config_StaticFO.xml:")) << Log();
    Upload(StaticFoFile("Int64"));
    ASSERT_TRUE(m_tHub.WaitForRequests("StoreConfiguration", 1, std::chrono::seconds(30))) << Log();
    ASSERT_TRUE(LogHas("StaticFO mode is qorKOVE-Z-TM")) << Log();
    EXPECT_EQ(ReadFile(m_tDevice.Path(kStoredCopy)), StaticFoFile("Int64"));
    EXPECT_EQ(m_tFiberOptic.Count("Module"), 1);
    EXPECT_EQ(m_tOutputs.Count("Module"), 0);

    // The switch at 0: the static mode with the corrected file.
    EXPECT_EQ(Send(sXmlStart + "<SetUserConfig Value=\";hex=0x0;\"/>\n").sRoot, "SetUserConfig");
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 2)) << Log();
    EXPECT_NE(FiberOpticDocuments().back().find(Property("OutputPeriod", "50")), std::string::npos);
    EXPECT_TRUE(m_tOutputs.WaitForRequests("Module", 1));
    EXPECT_NE(ShowPaths().find("148000"), std::string::npos);
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

namespace kovetest
{
namespace
{
// The routing driver on a bus-module device: the central module in X1 and an EtherCAT module
// driver (fake) in X2; a fake fiber-optic driver whose stored output period decides the frame.
class DufBusModuleDriver : public DufDriver
{
protected:
    void SetUp() override
    {
        DufDriver::SetUp();
        m_tHub.SetReply(
            "Identify",
            sXmlStart + "<System><SystemInfo><Name>qorQB-eCAT</Name></SystemInfo><Modules>"
                        "<Module Name=\"DUF\"><Port>62001</Port><Status>Running</Status></Module>"
                        "<Module Name=\"qorQM-eCAT\"><Port>62101</Port><Status>Running</Status>"
                        "</Module></Modules></System>\n");
        m_tHub.SetReply("GetUserConfig", sXmlStart + "<GetUserConfig Value=\";hex=0x0;\"/>\n");
        ASSERT_TRUE(m_tFiberOptic.Start());
        // Output period 150 us: the frame "Real128" (period 200, 512 bytes of analog values,
        // 128 digital signals).
        Store(kDriverDir + "Configuration/Config_62002_FiberOptic_1.xml",
              sXmlStart + "<Module Name=\"FiberOptic\"><Properties>" +
                  Property("OutputPeriod", "150") + "</Properties></Module>\n");
        // The fiber-optic requests to the EtherCAT module: analog values 0, 126, 127, 128 (32 bits
        // each, the last beyond the frame) and digital signals 0, 127, 128.
        Store(kStoredSet0, RoutingDocument({{"AnalogIn", 1, {0, 126, 127, 128}},
                                            {"DigitalIn", 1, {0, 127, 128}}}));
        std::vector<CForDufSignal> analog, digital;
        for (int n : {0, 126, 127, 128})
            analog.push_back({n, 32 * n, 32, "FLOAT"});
        for (int n : {0, 127, 128})
            digital.push_back({n, n, 1, "Digital"});
        std::string description = ForDufXml("AnalogIn", 0x200000, 0x10000, 10, analog);
        const std::string second = ForDufXml("DigitalIn", 0x200000, 0x10000, 10, digital);
        const size_t from = second.find("<Signals");
        description.insert(description.find("</Module>"),
                           second.substr(from, second.find("</Module>") - from));
        ASSERT_TRUE(m_tEcat.Start());
        m_tEcat.SetAddressTable(description);
        // Its configuration names analog values 0 and 127 (one name too long for the list)
        // and lacks 126; its digital list names no signal.
        m_tEcat.SetReply(
            "Configuration",
            sXmlStart +
                "<Module Name=\"qorQM-eCAT\"><Signals Name=\"AnalogIn\"><NumberOfSignals>"
                "<Value>2</Value></NumberOfSignals><Signal Number=\"0\"><UserText>"
                "Pressure</UserText><Properties/></Signal><Signal Number=\"127\">"
                "<UserText>" +
                kLongName +
                "</UserText><Properties/></Signal></Signals><Signals Name=\"DigitalIn\">"
                "<NumberOfSignals><Value>0</Value></NumberOfSignals></Signals></Module>\n");
    }
    std::vector<std::string> FiberOpticDocuments() const
    {
        std::vector<std::string> documents;
        for (const CHubRequest& r : m_tFiberOptic.Requests("Module"))
            documents.push_back(r.sDocument);
        return documents;
    }
    std::string SignalList() const
    {
        return ReadFile(m_tDevice.Path("/tmp/Update/FoSignalList.txt"));
    }
    bool SignalListHas(const std::string& text)
    {
        return WaitFor([&] { return SignalList().find(text) != std::string::npos; },
                       std::chrono::seconds(20));
    }

    static inline const std::string kLongName =
        "Hall 3 / Line 12 / Press 4 / Main cylinder oil temperature";
    CFakeHub m_tFiberOptic{62002};
    CFakeModuleDriver m_tEcat{1};
};

std::string Padded(const std::string& name)
{
    return std::string(39 - name.size(), ' ') + name;
}

TEST_F(DufBusModuleDriver, FrameFromTheStoredPeriodNamesAndBothDirectionsOfTheSwitch)
{
    auto duf = StartDuf();
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 1)) << Log();
    for (const std::string& p : {Property("OutputFrames", "-4"), Property("OutputPeriod", "200"),
                                 Property("Length", "576")})
        EXPECT_NE(FiberOpticDocuments().front().find(p), std::string::npos)
            << p << "\n"
            << FiberOpticDocuments().front();
    // The analog values begin the output window and end with it (value 128 stays behind), the
    // digital signals follow the 512 bytes.
    const std::string paths = ShowPaths();
    EXPECT_NE(paths.find("BuffserStart=0x148000; Length=512;"), std::string::npos) << paths;
    EXPECT_NE(paths.find("BuffserStart=0x148200; Length=16;"), std::string::npos) << paths;

    ASSERT_TRUE(SignalListHas("*** Fiber optic output, list of digital signals")) << Log();
    std::string list = SignalList();
    EXPECT_EQ(list.find("WARNING"), std::string::npos) << list;
    EXPECT_NE(list.find("Mode: 32 Mbit Real 128A + 128D, Period: 200 us\n"), std::string::npos);
    const std::string shortened = "..." + kLongName.substr(kLongName.size() - 36);
    for (const std::string& line :
         {"\n" + Padded("Pressure") + "| 32|  FLOAT|    A0|0 Bytes|       0x40|\n",
          // A value the module's configuration lacks keeps its generated name.
          "\n" + Padded("AI126") + "| 32|  FLOAT|  A126|0 Bytes|      0x238|\n",
          // The last value of the frame ends where the analog area ends: it travels.
          "\n" + Padded(shortened) + "| 32|  FLOAT|  A127|0 Bytes|      0x23C|\n",
          "\n" + Padded("DI000") + "|  1|         D0|  0x240|  0|\n",
          "\n" + Padded("DI127") + "|  1|       D127|  0x24C| 31|\n"})
        EXPECT_NE(list.find(line), std::string::npos) << line << "\n" << list;
    // Signals beyond the frame do not travel.
    EXPECT_EQ(list.find("AI128"), std::string::npos) << list;
    EXPECT_EQ(list.find("DI128"), std::string::npos) << list;
    // Only the fiber-optic output is listed.
    EXPECT_EQ(list.find("Fiber optic input"), std::string::npos) << list;
    EXPECT_NE(ReadFile(m_tDevice.Path(kDufDir + "eCATCfg.xml")).find("Pressure"),
              std::string::npos);

    // Normal mode: the window allocator places the requests again; no list is written.
    std::filesystem::remove(m_tDevice.Path("/tmp/Update/FoSignalList.txt"));
    EXPECT_EQ(Send(sXmlStart + "<SetUserConfig Value=\";hex=0x3;\"/>\n").sRoot, "SetUserConfig");
    const std::string normal = ShowPaths();
    EXPECT_EQ(normal.find("BuffserStart=0x148200"), std::string::npos) << normal;
    EXPECT_NE(normal.find("Length=516;"), std::string::npos) << normal;
    EXPECT_TRUE(SignalList().empty());
    EXPECT_EQ(m_tFiberOptic.Count("Module"), 1);

    // Back to static mode while the EtherCAT module's driver gives no configuration: the list
    // keeps the generated names and says why.
    m_tEcat.SetNoReply("Configuration");
    EXPECT_EQ(Send(sXmlStart + "<SetUserConfig Value=\";hex=0x10;\"/>\n").sRoot, "SetUserConfig");
    ASSERT_TRUE(m_tFiberOptic.WaitForRequests("Module", 2)) << Log();
    EXPECT_NE(FiberOpticDocuments().back().find(Property("OutputPeriod", "200")),
              std::string::npos);
    EXPECT_NE(ShowPaths().find("BuffserStart=0x148000; Length=512;"), std::string::npos);
    ASSERT_TRUE(SignalListHas("*** Fiber optic output, list of digital signals")) << Log();
    list = SignalList();
    EXPECT_EQ(list.find("WARNING: Can not read signal names!\n\n*****"), 0u) << list;
    EXPECT_NE(list.find("\n" + Padded("AI127") + "|"), std::string::npos) << list;
    EXPECT_EQ(list.find("Pressure"), std::string::npos) << list;
}

TEST_F(DufBusModuleDriver, WithoutTheEtherCatModuleTheModeIsOff)
{
    m_tEcat.Stop();
    auto duf = StartDuf();
    EXPECT_TRUE(WaitFor([&] { return Log().find("StaticFO mode is Off") != std::string::npos; }))
        << Log();
    EXPECT_NE(ReadFile(m_tDevice.Path("/tmp/Update/Event.log")).find("eCAT module missing"),
              std::string::npos);
    EXPECT_EQ(m_tFiberOptic.Count("Module"), 0);
    EXPECT_TRUE(SignalList().empty());
}
} // namespace
} // namespace kovetest
