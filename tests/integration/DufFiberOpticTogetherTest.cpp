// The routing driver and the fiber-optic driver together on one simulated device, as the device
// runs them: the real hub, dufdriver and fodriver, fake module drivers in the slots. Fiber-optic
// routing documents whatever frame the fiber-optic driver runs, the static mode that hands the
// fiber-optic driver its frame, factory settings, uploads of the static configuration, and the
// module lock of each driver.
#include "DufDriverFixture.h"

namespace kovetest
{
namespace
{
constexpr int kHubPort = 62000;
constexpr int kFoPort = 62002;
const std::string kFoDir = kDriverDir + "fodriver/";
const std::string kFoStored = kDriverDir + "Configuration/Config_62002_FiberOptic.xml";
const std::string kSignalList = "/tmp/Update/FoSignalList.txt";

// A Flex frame of the fiber-optic driver with the payload length (bytes each way).
std::string FlexFrame(int length)
{
    return sXmlStart + "<Module Name=\"FiberOptic\"><Properties>" + Property("InputSpeed", "32") +
           Property("InputFrames", "0") + Property("OutputSpeed", "32") +
           Property("OutputFrames", "0") + Property("OutputPeriod", "1000") +
           Property("Slot", "0") + Property("Length", std::to_string(length)) +
           Property("MasterModePeriod", "0") + "</Properties></Module>\n";
}

// A 32 Mbit frame both ways with the frames code.
std::string FiberOpticFrames(int input, int output)
{
    return sXmlStart + "<Module Name=\"FiberOptic\"><Properties>" + Property("InputSpeed", "32") +
           Property("InputFrames", std::to_string(input)) + Property("OutputSpeed", "32") +
           Property("OutputFrames", std::to_string(output)) + Property("OutputPeriod", "1000") +
           Property("Slot", "0") + "</Properties></Module>\n";
}

std::string Lock(const std::string& module, int value, const std::string& signature)
{
    return sXmlStart + "<Lock Name=\"" + module + "\" Value=\"" + std::to_string(value) +
           "\" Signature=\"" + signature + "\"/>\n";
}

// A device of family 2 with the hub, the fiber-optic driver and the routing driver; the
// module in X2 (port 62101) has 16 analog inputs of 16 bits (AnalogIn) and a list Big of two
// signals 1204 bytes apart.
class DufWithFiberOptic : public testing::Test
{
protected:
    explicit DufWithFiberOptic(const std::string& hex)
        : m_tDevice({"--family", "0x880000", "--hex", hex})
    {
    }
    void SetUp() override
    {
        ASSERT_TRUE(m_tModule.Start());
        // The module's own inputs, and Big, a list that reaches from bit 0 to bit 9632.
        std::string description = ForDufXml("AnalogIn", 0x200000, 0x10000, 10, Sixteen(16, "INT"));
        const std::string big =
            ForDufXml("Big", 0x200000, 0x10000, 10, {{1, 0, 32, "DINT"}, {2, 9600, 32, "DINT"}});
        const size_t from = big.find("<Signals");
        description.insert(description.find("</Module>"),
                           big.substr(from, big.find("</Module>") - from));
        m_tModule.SetAddressTable(description);
        m_pHub = std::make_unique<CTestProcess>(m_tDevice, "systemdriver");
        ASSERT_TRUE(m_pHub->WaitForPort(kHubPort)) << m_pHub->Output();
        EXPECT_EQ(
            Send(kHubPort, sXmlStart + "<RegisterModule Name=\"qorQM16xAI-10V:62101\"/>").sRoot,
            "RegisterModule");
        m_pFiberOptic = std::make_unique<CTestProcess>(m_tDevice, "fodriver");
        ASSERT_TRUE(m_pFiberOptic->WaitForPort(kFoPort)) << m_pFiberOptic->Output();
    }
    void StartDuf()
    {
        m_pDuf = std::make_unique<CTestProcess>(m_tDevice, "dufdriver");
        ASSERT_TRUE(m_pDuf->WaitForPort(kDufPort)) << m_pDuf->Output();
    }
    void RestartDuf()
    {
        Send(kDufPort, Debug(Property("EndDriver", "")));
        m_pDuf->WaitExit();
        StartDuf();
    }
    CReply Send(int port, const std::string& request)
    {
        return SendRequest(port, request, m_tDevice.Path("/reply.xml"));
    }
    std::string ShowPaths() { return Send(kDufPort, Debug(Property("ShowPaths", ""))).sText; }
    std::string File(const std::string& path) const { return ReadFile(m_tDevice.Path(path)); }
    std::string Log() const { return File(kDriverDir + "log/Slot62001_log.txt"); }
    int LogCount(const std::string& text) const { return static_cast<int>(CountOf(Log(), text)); }
    bool FileHas(const std::string& path, const std::string& text,
                 std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        return WaitFor([&] { return File(path).find(text) != std::string::npos; }, timeout);
    }

    CSimDevice m_tDevice;
    CFakeModuleDriver m_tModule{1};
    std::unique_ptr<CTestProcess> m_pHub;
    std::unique_ptr<CTestProcess> m_pFiberOptic;
    std::unique_ptr<CTestProcess> m_pDuf;
};

// Switch 2 at 1: normal mode.
class DufWithFiberOpticNormal : public DufWithFiberOptic
{
protected:
    DufWithFiberOpticNormal() : DufWithFiberOptic("1,1,0,0") {}
};

// Switch 2 at 0: the static fiber-optic mode.
class DufWithFiberOpticStatic : public DufWithFiberOptic
{
protected:
    DufWithFiberOpticStatic() : DufWithFiberOptic("1,0,0,0") {}
};

TEST_F(DufWithFiberOpticNormal, FiberOpticDocumentsDoNotDependOnTheFrameTheFiberOpticDriverRuns)
{
    StartDuf();
    // The fiber-optic driver runs its default, a Flex frame of no payload.
    const CReply two = Send(kDufPort, RoutingDocument({{"AnalogIn", 1, {1, 2}}}));
    EXPECT_FALSE(two.Has("<Error")) << two.sText;
    EXPECT_TRUE(two.Has("Name=\"Offset\" Value=\"32\"")) << two.sText;
    EXPECT_NE(ShowPaths().find("Request 62002 from 62101[AnalogIn]:"), std::string::npos);
    // Nobody asked the fiber-optic driver for its frame.
    EXPECT_FALSE(std::filesystem::exists(m_tDevice.Path(kFoDir + "Fo2Duf.xml")));

    // Accepted within a Flex frame of 2000 bytes; the frame cut to 144 bytes, the routing
    // driver starts again with the stored set as it was.
    ASSERT_FALSE(Send(kFoPort, FlexFrame(2000)).Has("<Error"));
    const CReply big =
        Send(kDufPort, RoutingDocument({{"AnalogIn", 1, {1, 2}}, {"Big", 1, {1, 2}}}));
    EXPECT_FALSE(big.Has("<Error")) << big.sText;
    const std::string stored = File(kStoredSet0);
    ASSERT_NE(stored.find("\"Big\""), std::string::npos) << stored;
    const std::string before = ShowPaths();
    ASSERT_FALSE(Send(kFoPort, FlexFrame(144)).Has("<Error"));
    const int refused = LogCount("InitError=");
    RestartDuf();
    EXPECT_EQ(ShowPaths(), before);
    EXPECT_EQ(File(kStoredSet0), stored);
    EXPECT_EQ(LogCount("InitError="), refused) << Log();
}

TEST_F(DufWithFiberOpticStatic,
       StaticModeHandsTheFiberOpticDriverItsFrameAndFactorySettingsRestoreIt)
{
    StartDuf();
    // Nothing stored: the factory default, Int256 (period 200, Length 576).
    ASSERT_TRUE(FileHas(kFoStored, Property("Length", "576"))) << Log();
    EXPECT_TRUE(FileHas(kSignalList, "X2_AI15")) << Log();
    EXPECT_NE(ShowPaths().find("148000"), std::string::npos);
    const std::string factory = File(kDufDir + "FactoryDefault_StaticFO.xml");
    ASSERT_NE(factory.find("Int256"), std::string::npos);

    // The user's configuration, taken over by the watcher (once it has seen the working copy
    // made at start-up) and stored through the hub.
    ASSERT_TRUE(WaitFor([&] { return LogCount("[/tmp/Update/Config_StaticFO.xml:") > 0; },
                        std::chrono::seconds(30)));
    ASSERT_TRUE(StoreDeviceFile(m_tDevice, kWorkingCopy, StaticFoFile("Int64")));
    ASSERT_TRUE(FileHas(kFoStored, Property("Length", "144"))) << Log();
    EXPECT_EQ(File(kStoredCopy), StaticFoFile("Int64"));
    ASSERT_TRUE(WaitFor([&] { return LogCount("Update of StaticFO configuration done") == 1; }));

    // Factory settings of the whole device: the factory default is the stored and the working
    // copy, and the watcher takes that change for the driver's own.
    const int ignored = LogCount("] Ignore=true");
    ASSERT_TRUE(StoreDeviceFile(m_tDevice, kDriverDir + "systemdriver/FactoryDefault.xml",
                                sXmlStart + "<Module Name=\"System\"><Properties/></Module>\n"));
    EXPECT_EQ(Send(kHubPort, sXmlStart + "<FactorySettings/>\n").sRoot, "FactorySettings");
    EXPECT_EQ(File(kStoredCopy), factory);
    EXPECT_EQ(File(kWorkingCopy), factory);
    ASSERT_TRUE(
        WaitFor([&] { return LogCount("] Ignore=true") > ignored; }, std::chrono::seconds(30)))
        << Log();
    EXPECT_EQ(LogCount("Update of StaticFO configuration done"), 1);

    // And it is in force after a restart.
    RestartDuf();
    EXPECT_TRUE(FileHas(kFoStored, Property("Length", "576"))) << Log();
    EXPECT_TRUE(FileHas(kSignalList, "Int 256A")) << Log();
    EXPECT_EQ(File(kStoredCopy), factory);
}

TEST_F(DufWithFiberOpticStatic, AnUploadRightAfterARefusedOneIsApplied)
{
    StartDuf();
    ASSERT_TRUE(FileHas(kFoStored, Property("Length", "576"))) << Log();
    // The watcher has seen the working copy made at start-up.
    ASSERT_TRUE(WaitFor([&] { return LogCount("[/tmp/Update/Config_StaticFO.xml:") > 0; },
                        std::chrono::seconds(30)));

    // A refused file: the stored one is put back.
    ASSERT_TRUE(StoreDeviceFile(m_tDevice, kWorkingCopy, StaticFoFile("Int48")));
    ASSERT_TRUE(FileHas("/tmp/Update/Err_Config_StaticFO.xml", "WrongValue")) << Log();
    ASSERT_TRUE(WaitFor([&] { return File(kWorkingCopy) == File(kStoredCopy); })) << Log();
    // At once a good one, before the watcher's next look: it is applied all the same.
    ASSERT_TRUE(StoreDeviceFile(m_tDevice, kWorkingCopy, StaticFoFile("Int128")));
    EXPECT_TRUE(FileHas(kFoStored, Property("Length", "288"))) << Log();
    EXPECT_TRUE(FileHas(kSignalList, "Int 128A")) << Log();
    EXPECT_EQ(File(kStoredCopy), StaticFoFile("Int128"));
}

TEST_F(DufWithFiberOpticStatic, AReconfigurationTheHubCannotStoreIsAnsweredAsAnError)
{
    StartDuf();
    ASSERT_TRUE(FileHas(kFoStored, Property("Length", "576"))) << Log();
    m_tDevice.Tool("flash", {"data", "fail"});
    ASSERT_TRUE(StoreDeviceFile(m_tDevice, kWorkingCopy, StaticFoFile("Int128")));
    const CReply reply = Send(kDufPort, sXmlStart + "<Reconfigure/>\n");
    EXPECT_TRUE(reply.Has("ErrorWritingConfiguration")) << reply.sText;
    EXPECT_NE(Log().find("ERROR: Storing of the StaticFO configuration failed!"),
              std::string::npos);
}

// An upload the hub cannot store is no update: the watcher logs the failure and tries again on
// its next passes, and once the hub can write again the file is stored, applied and "done".
TEST_F(DufWithFiberOpticStatic, TheWatcherReportsAnUploadTheHubCannotStore)
{
    StartDuf();
    ASSERT_TRUE(FileHas(kFoStored, Property("Length", "576"))) << Log();
    ASSERT_TRUE(WaitFor([&] { return LogCount("[/tmp/Update/Config_StaticFO.xml:") > 0; },
                        std::chrono::seconds(30)));
    m_tDevice.Tool("flash", {"data", "fail"});
    ASSERT_TRUE(StoreDeviceFile(m_tDevice, kWorkingCopy, StaticFoFile("Int128")));
    ASSERT_TRUE(
        WaitFor([&] { return LogCount("ERROR: Update of StaticFO configuration failed!") >= 2; },
                std::chrono::seconds(60)))
        << Log();
    EXPECT_EQ(LogCount("Update of StaticFO configuration done"), 0) << Log();
    const std::string flash = File("/dev/mtd_data");

    m_tDevice.Tool("flash", {"data", "ok"});
    ASSERT_TRUE(WaitFor([&] { return LogCount("Update of StaticFO configuration done") == 1; },
                        std::chrono::seconds(30)))
        << Log();
    EXPECT_NE(File("/dev/mtd_data"), flash);
    EXPECT_TRUE(FileHas(kFoStored, Property("Length", "288"))) << Log();
    EXPECT_EQ(File(kStoredCopy), StaticFoFile("Int128"));
}

// Lock value 1 keeps the input half of the fiber-optic settings, 2 the output half; other
// values take nothing. Each says so with a warning (severity 3) in the reply. The routing
// driver answers under any client lock with its stored set.
TEST_F(DufWithFiberOpticNormal, ModuleLocksOfBothDrivers)
{
    StartDuf();
    const struct
    {
        int lock;
        std::vector<std::string> reply;
        std::vector<std::string> stored;
    } cases[] = {
        {1,
         {"<Warning Type=\"ParameterError\" Name=\"FiberOptic Input\" "
          "Text=\"Input Settings for FiberOptic are locked\"",
          Property("InputFrames", "8"), Property("OutputFrames", "16")},
         {Property("InputFrames", "8"), Property("OutputFrames", "16")}},
        {2,
         {"<Warning Type=\"ParameterError\" Name=\"FiberOptic Output\" "
          "Text=\"Output Settings for FiberOptic are locked\"",
          Property("InputFrames", "16"), Property("OutputFrames", "8")},
         {Property("InputFrames", "16"), Property("OutputFrames", "8")}},
        {3,
         {"<Warning Type=\"ParameterError\" Name=\"FiberOptic Settings\" "
          "Text=\"Input and Output Settings for FiberOptic are locked\""},
         {Property("InputFrames", "8"), Property("OutputFrames", "8")}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.lock);
        // e08 both ways in force, then the lock, then ABB both ways.
        ASSERT_FALSE(Send(kFoPort, FiberOpticFrames(8, 8)).Has("<Error"));
        ASSERT_EQ(Send(kFoPort, Lock("FiberOptic", c.lock, "Bench")).sRoot, "Lock");
        const CReply reply = Send(kFoPort, FiberOpticFrames(16, 16));
        for (const std::string& text : c.reply)
            EXPECT_TRUE(reply.Has(text)) << text << "\n" << reply.sText;
        EXPECT_FALSE(reply.Has("<Error ")) << reply.sText;
        const std::string stored = File(kFoStored);
        for (const std::string& text : c.stored)
            EXPECT_NE(stored.find(text), std::string::npos) << text << "\n" << stored;
        ASSERT_EQ(Send(kFoPort, Lock("FiberOptic", 0, "Bench")).sRoot, "Lock");
    }

    ASSERT_FALSE(Send(kDufPort, RoutingDocument({{"AnalogIn", 1, {1, 2}}})).Has("<Error"));
    ASSERT_EQ(Send(kDufPort, Lock("DUF", 1, "Bench")).sRoot, "Lock");
    EXPECT_TRUE(Send(kDufPort, RoutingDocument({{"Big", 1, {1}}})).Has("ConfigurationLocked"));
    EXPECT_EQ(ShowPaths().find("[Big]"), std::string::npos);
}
} // namespace
} // namespace kovetest
