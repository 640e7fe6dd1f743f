// Start-up of a driver without a port: the order of the driver's operations, the stored
// configuration and its replacement by the factory defaults, and the release of the driver's
// threads.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "QTX.h"

namespace
{
// A driver that records which of its operations the framework calls, in order.
class CRecordingDriver : public CQTX
{
public:
    std::string sCalls;
    std::deque<bool> qParseResults; // results of ParseAndCheckConfiguration, in turn
    int iSetIndex = 0;              // set index reported by GetConfigurationFileName
    bool bThrowInSetHardware = false;
    bool bBootingSeenInInit = false;

    std::string GetModuleName() override
    {
        Record("Name");
        return "Rec-1";
    }
    void InitCQTX() override
    {
        Record("Init");
        bBootingSeenInInit = IsBooting();
    }
    void BootHardware() override { Record("Boot"); }
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override
    {
        Record("Parse");
        bool result = qParseResults.empty() ? true : qParseResults.front();
        if (!qParseResults.empty())
            qParseResults.pop_front();
        return result;
    }
    void SetHardwareConfiguration() override
    {
        Record("Set");
        if (bThrowInSetHardware)
            throw CQTXEHardwareError("Broken", "bus", __FILE__, __LINE__);
    }
    std::string GetConfigurationFileName(int& setIndex) override
    {
        Record("ConfigName");
        setIndex = iSetIndex;
        return CQTX::GetConfigurationFileName(setIndex);
    }
    std::string GetFactorySettingFileName() override
    {
        Record("FactoryName");
        return CQTX::GetFactorySettingFileName();
    }
    void ConfigThreadLock(LockGuard& guard) override
    {
        Record("Lock");
        guard.Lock();
    }
    void ConfigThreadUnlock(LockGuard& guard) override
    {
        Record("Unlock");
        guard.Unlock();
    }

    const std::string& Directory() const { return sDirectory; }
    uint32_t Port() const { return ulPort; }

private:
    // Factory-default phases are marked with "*".
    void Record(const char* call)
    {
        if (!sCalls.empty())
            sCalls += ",";
        sCalls += call;
        if (IsFactoryDefault())
            sCalls += "*";
    }
};

class QTXLifeCycle : public testing::Test
{
protected:
    void SetUp() override
    {
        sSavedRoot = sQTXRootDirectory;
        sQTXRootDirectory = tRoot.Path() + "/";
        mkdir((sQTXRootDirectory + "log").c_str(), 0755);
        mkdir((sQTXRootDirectory + "Configuration").c_str(), 0755);
    }
    void TearDown() override { sQTXRootDirectory = sSavedRoot; }

    // Stored configuration set 0 of CRecordingDriver without a port.
    std::string StoredConfiguration() const
    {
        return sQTXRootDirectory + "Configuration/Config_0_Rec_1.xml";
    }
    void WriteStoredConfiguration() const
    {
        std::ofstream(StoredConfiguration())
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Module Name=\"Rec-1\">\n</Module>\n";
    }

    kovetest::CTempDir tRoot;
    std::string sSavedRoot;
};

TEST_F(QTXLifeCycle, StartUpCallsTheDriverInOrderAndLoadsTheStoredConfiguration)
{
    struct
    {
        const char* name;
        bool storedFile;
        std::deque<bool> parseResults;
        int setIndex;
        const char* calls;
    } cases[] = {
        {"stored configuration applied",
         true,
         {true},
         0,
         "Name,Init,Boot,ConfigName,Lock,Parse,Set,Unlock"},
        {"refused configuration replaced by the factory defaults",
         true,
         {false, true},
         0,
         "Name,Init,Boot,ConfigName,Lock,Parse,FactoryName,Parse*,Set*,Unlock"},
        {"missing configuration: the factory defaults are missing too",
         false,
         {},
         0,
         "Name,Init,Boot,ConfigName,Lock,FactoryName,Unlock"},
        {"set index outside 0..9 skips the stored configuration",
         true,
         {},
         10,
         "Name,Init,Boot,ConfigName"},
        {"negative set index", true, {}, -1, "Name,Init,Boot,ConfigName"},
    };
    for (auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        unlink(StoredConfiguration().c_str());
        if (c.storedFile)
            WriteStoredConfiguration();
        CRecordingDriver driver;
        driver.qParseResults = c.parseResults;
        driver.iSetIndex = c.setIndex;
        driver.Init("", -1, "", false);
        EXPECT_EQ(driver.sCalls, c.calls);
        EXPECT_TRUE(driver.bBootingSeenInInit);
        EXPECT_FALSE(driver.IsBooting());
        EXPECT_FALSE(driver.IsFactoryDefault());
        EXPECT_EQ(driver.Directory(), sQTXRootDirectory);
        EXPECT_EQ(driver.Port(), 0u);
        EXPECT_FALSE(driver.GetCommunicationClass().ServerStarted());
    }
}

TEST_F(QTXLifeCycle, DirectoryGetsItsSeparator)
{
    CRecordingDriver driver;
    driver.Init(tRoot.Path() + "/Rec", -1, "", true);
    EXPECT_EQ(driver.Directory(), tRoot.Path() + "/Rec/");
    EXPECT_EQ(driver.FileNameToAbsolutePath("a.xml"), tRoot.Path() + "/Rec/a.xml");
    EXPECT_EQ(driver.FileNameToAbsolutePath("/b.xml"), "/b.xml");
}

TEST_F(QTXLifeCycle, ErrorWhileApplyingFactoryDefaultsEndsTheStart)
{
    WriteStoredConfiguration();
    CRecordingDriver driver;
    driver.qParseResults = {false, true};
    driver.bThrowInSetHardware = true;
    try
    {
        driver.Init("", -1, "", false);
        ADD_FAILURE() << "Init succeeded";
    }
    catch (CQTXError& error)
    {
        EXPECT_EQ(error.ErrorText(), "Broken");
    }
    EXPECT_EQ(driver.sCalls, "Name,Init,Boot,ConfigName,Lock,Parse,FactoryName,Parse*,Set*");
    EXPECT_FALSE(driver.IsFactoryDefault());
}

TEST_F(QTXLifeCycle, ErrorOfTheStoredConfigurationDoesNotEndTheStart)
{
    WriteStoredConfiguration();
    CRecordingDriver driver;
    driver.bThrowInSetHardware = true;
    driver.qParseResults = {true, false};
    driver.Init("", -1, "", false);
    EXPECT_EQ(driver.sCalls, "Name,Init,Boot,ConfigName,Lock,Parse,Set,FactoryName,Parse*,Unlock");
}

bool WaitForEnd(CQTX* driver, void* argument, int /*intArgument*/)
{
    while (driver->ContinueThread())
        usleep(1000);
    usleep(50000); // still counted while it winds down
    static_cast<std::atomic<bool>*>(argument)->store(true);
    return true;
}

TEST_F(QTXLifeCycle, ReleaseEndsTheThreadsAndWaitsForThem)
{
    CRecordingDriver driver;
    std::atomic<bool> ended[2] = {false, false};
    for (auto& e : ended)
        ASSERT_TRUE(driver.StartThread(WaitForEnd, &e, 0, -1000000).bValid);
    EXPECT_TRUE(driver.ContinueThread());
    EXPECT_EQ(driver.ThreadCounter(0), 2);

    driver.ReleaseOsResource();
    EXPECT_FALSE(driver.ContinueThread());
    EXPECT_EQ(driver.ThreadCounter(0), 0);
    EXPECT_TRUE(ended[0] && ended[1]);
    driver.ReleaseOsResource(); // a second release finds nothing to do
}
} // namespace
