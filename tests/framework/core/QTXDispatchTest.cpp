// Request dispatch within one process: requests go through the request server's receive and
// ProcessXMLFile over a socket pair, to a driver that records which of its operations the
// framework calls.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "QTX.h"

namespace
{
const std::string kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string kTrailer = "\r\n\r\n\r\n";

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class CDispatchDriver : public CQTX
{
public:
    std::string sCalls;
    bool bParseResult = true;
    int iSetIndex = 0;
    int iUnknownResult = -256;
    bool bThrowInModuleInfo = false;

    std::string GetModuleName() override { return "Disp-1"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& setIndex) override
    {
        Record("Parse");
        setIndex = iSetIndex;
        return bParseResult;
    }
    void SetHardwareConfiguration() override { Record("Set"); }
    bool ProcessLockedConfiguration(const char* file, _QTXCommandFileType type) override
    {
        Record("Locked");
        return CQTX::ProcessLockedConfiguration(file, type);
    }
    void ProcessDiagnostic() override { Record("Diagnostic"); }
    void ConfigurationDone() override { Record("Done"); }
    int ProcessUnknownXmlTag(uint32_t requestCode) override
    {
        Record("Unknown(" + std::to_string(requestCode) + ")");
        return iUnknownResult;
    }
    void ProcessUserConfig(const std::string& value) override { Record("User(" + value + ")"); }
    std::string GetConfigurationFileName(int& setIndex) override
    {
        Record("ConfigName(" + std::to_string(setIndex) + ")");
        return CQTX::GetConfigurationFileName(setIndex);
    }
    std::string GetDUFConfigurationFileName() override
    {
        Record("Duf");
        return "ForDUF.xml";
    }
    std::string GetModuleInfoFileName() override
    {
        Record("Info");
        if (bThrowInModuleInfo)
            throw CQTXError("Broken", "info", __FILE__, __LINE__);
        return "Info.xml";
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
    // Only the text rewrites, which the answers to Configuration and under a lock ask for.
    bool UpdateConfigurationFileXml(const std::string& /*fileName*/, bool textOnly) override
    {
        if (textOnly)
            Record("Update");
        return true;
    }

    void Connect(int socket) { tCommandServer.Open(socket, true); }
    void SetPort(uint32_t port) { ulPort = port; }
    bool ClosesConnection() const { return bCloseConnection; }
    pthread_mutex_t* ConfigMutex() { return &tConfigMutex; }

private:
    // The factory-default phase is marked with "*".
    void Record(const std::string& call)
    {
        sCalls += (sCalls.empty() ? "" : ",") + call + (IsFactoryDefault() ? "*" : "");
    }
};

// What serving one request gave.
struct CServed
{
    std::string sReply;  // bytes sent to the client
    std::string sThrown; // text of the error thrown afterwards
    std::string sThrownParameter;
    std::string sCalls;
};

class QTXDispatch : public testing::Test
{
protected:
    void SetUp() override
    {
        sSavedRoot = sQTXRootDirectory;
        sQTXRootDirectory = tRoot.Path() + "/";
        mkdir((sQTXRootDirectory + "log").c_str(), 0755);
        mkdir((sQTXRootDirectory + "Configuration").c_str(), 0755);
        mkdir(Directory().c_str(), 0755);
    }
    void TearDown() override { sQTXRootDirectory = sSavedRoot; }

    std::string Directory() const { return tRoot.Path() + "/Disp/"; }
    std::string StoredConfiguration(int set = 0) const
    {
        return sQTXRootDirectory + "Configuration/Config_1234_Disp_1" +
               (set == 0 ? "" : "_" + std::to_string(set)) + ".xml";
    }

    // A started driver (simulating or not) with a client connection through a socket pair.
    std::unique_ptr<CDispatchDriver> Start(bool hardware = false)
    {
        auto driver = std::make_unique<CDispatchDriver>();
        driver->Init(Directory(), -1, "", hardware);
        driver->SetPort(1234); // names the ring files; no socket is opened for it
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        driver->Connect(pair[0]);
        iClient = pair[1];
        driver->sCalls.clear();
        return driver;
    }
    void TearDownClient()
    {
        if (iClient >= 0)
            close(iClient);
        iClient = -1;
    }
    ~QTXDispatch() override { TearDownClient(); }

    // Sends the request, serves it and collects the answer.
    CServed Serve(CDispatchDriver& driver, const std::string& request)
    {
        CServed served;
        EXPECT_EQ(send(iClient, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        driver.sCalls.clear();
        try
        {
            driver.SocketConnectorThread();
        }
        catch (CQTXError& error)
        {
            served.sThrown = error.ErrorText();
            served.sThrownParameter = error.ErrorParameter();
        }
        char buffer[65536];
        ssize_t n;
        while ((n = recv(iClient, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            served.sReply.append(buffer, static_cast<size_t>(n));
        served.sCalls = driver.sCalls;
        return served;
    }

    kovetest::CTempDir tRoot;
    std::string sSavedRoot;
    int iClient = -1;
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A binary command file: "<?bin", a zero byte, u16 tag, i16 error, two zero bytes, u32 payload
// length, all little-endian, then the payload.
std::string BinaryFile(uint16_t tag, int16_t error, const std::string& payload)
{
    std::string file("<?bin", 6);
    const uint16_t number = static_cast<uint16_t>(error);
    const uint32_t length = static_cast<uint32_t>(payload.size());
    for (uint32_t v :
         {uint32_t(tag & 0xFF), uint32_t(tag >> 8), uint32_t(number & 0xFF), uint32_t(number >> 8),
          0u, 0u, length & 0xFF, (length >> 8) & 0xFF, (length >> 16) & 0xFF, length >> 24})
        file += static_cast<char>(v);
    return file + payload;
}

TEST_F(QTXDispatch, EveryTagGoesToItsHandler)
{
    const std::string stored = kXmlHead + "<Module Name=\"Disp-1\"/>\n";
    WriteFile(StoredConfiguration(), stored);
    WriteFile(Directory() + "ForDUF.xml", kXmlHead + "<ForDuf/>");
    WriteFile(Directory() + "Info.xml", kXmlHead + "<Module Name=\"Info\"/>");
    const struct
    {
        std::string request;
        int unknownResult;
        const char* calls;
        std::string reply; // exact answer, or (with a leading "~") a part of it
        const char* thrown;
        bool clean; // the answer carries no errors
    } cases[] = {
        {kXmlHead + "<Ping/>", 0, "Lock,Unlock", kXmlHead + "<Ping/>" + kTrailer, "", true},
        {kXmlHead + "<NOP N=\"1\"/>", 0, "Lock,Unlock", kXmlHead + "<NOP N=\"1\"/>" + kTrailer, "",
         true},
        {kXmlHead + "<AddressTable/>", 0, "Lock,Duf,Unlock", kXmlHead + "<ForDuf/>" + kTrailer, "",
         true},
        {kXmlHead + "<Identify/>", 0, "Lock,Info,Unlock",
         kXmlHead + "<Module Name=\"Info\"/>" + kTrailer, "", true},
        {kXmlHead + "<Configuration/>", 0, "Lock,ConfigName(0),Update,Unlock", stored + kTrailer,
         "", true},
        {kXmlHead + "<Diagnostic/>", 0, "Lock,Diagnostic,Unlock", "~<Diagnostic", "", true},
        {kXmlHead + "<SetUserConfig Value=\";hex=3;\"/>", 0, "Lock,User(;hex=3;),Unlock",
         "~<SetUserConfig", "", true},
        {kXmlHead + "<SetUserConfig/>", 0, "Lock,User(),Unlock", "~<SetUserConfig", "", true},
        {kXmlHead + "<KoveFactory/>", 0, "Lock,Unlock", "~Name=\"UnknownXmlFile\"",
         "UnknownXmlFile", false},
        {kXmlHead + "<Device/>", -256, "Lock,Unknown(768),Unlock", "~ErrorNr=\"-256\"", "", false},
        {kXmlHead + "<SetNetName/>", -259, "Lock,Unknown(515),Unlock", "~Name=\"LengthShort\"", "",
         false},
        {kXmlHead + "<Reconfigure/>", 0, "Lock,Unknown(70),Unlock", "~<Reconfigure", "", true},
    };
    auto driver = Start();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.request);
        driver->iUnknownResult = c.unknownResult;
        const CServed served = Serve(*driver, c.request);
        EXPECT_EQ(served.sCalls, c.calls);
        if (c.reply[0] == '~')
        {
            EXPECT_TRUE(Contains(served.sReply, c.reply.substr(1))) << served.sReply;
        }
        else
        {
            EXPECT_EQ(served.sReply, c.reply);
        }
        EXPECT_EQ(served.sThrown, c.thrown);
        if (c.clean)
        {
            EXPECT_FALSE(Contains(served.sReply, "<Errors")) << served.sReply;
        }
    }
}

TEST_F(QTXDispatch, AConfigurationRequestWithoutAStoredConfigurationIsRefused)
{
    auto driver = Start();
    const CServed served = Serve(*driver, kXmlHead + "<Configuration/>");
    EXPECT_EQ(served.sCalls, "Lock,ConfigName(0),Unlock");
    EXPECT_TRUE(Contains(served.sReply, "Name=\"NoXml\"")) << served.sReply;
    EXPECT_TRUE(Contains(served.sReply, "ErrorNr=\"-256\"")) << served.sReply;
}

TEST_F(QTXDispatch, FailuresOutsideTheHandlersLeaveWithoutReply)
{
    auto driver = Start();
    // A request that does not load is not answered, and its connection is to be closed.
    CServed served = Serve(*driver, kXmlHead + "<Ping KeepConnection=\"true\"><a></Ping>");
    EXPECT_EQ(served.sThrown, "NoCommandFile");
    EXPECT_EQ(served.sThrownParameter, "No command file, error = -75");
    EXPECT_EQ(served.sCalls, "Lock,Unlock");
    EXPECT_EQ(served.sReply, "");
    EXPECT_TRUE(driver->ClosesConnection());

    // An error where no handler runs under the catch leaves at once: no unlock hook, but the
    // configuration mutex is free again.
    driver->bThrowInModuleInfo = true;
    served = Serve(*driver, kXmlHead + "<Identify/>");
    EXPECT_EQ(served.sThrown, "Broken");
    EXPECT_EQ(served.sCalls, "Lock,Info");
    EXPECT_EQ(served.sReply, "");
    ASSERT_EQ(pthread_mutex_trylock(driver->ConfigMutex()), 0);
    pthread_mutex_unlock(driver->ConfigMutex());
}

TEST_F(QTXDispatch, KeepConnectionDecidesWhetherTheConnectionStays)
{
    const struct
    {
        const char* attribute;
        bool closes;
    } cases[] = {
        {"", true},
        {" KeepConnection=\"true\"", false},
        {" KeepConnection=\"TRUE\"", false},
        {" KeepConnection=\"false\"", true},
        {" KeepConnection=\"yes\"", true},
    };
    auto driver = Start();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.attribute);
        Serve(*driver, kXmlHead + "<Ping" + c.attribute + "/>");
        EXPECT_EQ(driver->ClosesConnection(), c.closes);
    }
}

TEST_F(QTXDispatch, ModuleRequestIsCheckedAppliedAndStored)
{
    // Long enough for the answer under a client lock.
    const std::string stored =
        kXmlHead + "<Module Name=\"Disp-1\">\n<!--" + std::string(1000, '-') + "-->\n</Module>\n";
    const std::string module = kXmlHead + "<Module Name=\"Disp-1\"></Module>";
    const struct
    {
        const char* name;
        bool hardware;
        int lock; // taken by a Lock request first when not 0
        bool xmlAllowed;
        std::string request;
        bool parse;
        int setIndex;
        const char* calls;
        const char* replyPart;
        const char* thrown;
        int storedSet; // set the request is stored as, or -1
    } cases[] = {
        {"applied and stored", false, 0, true, module, true, 0,
         "Lock,Parse,Set,ConfigName(0),Done,Unlock", "<Module", "", 0},
        {"stored as set 3", false, 0, true, module, true, 3,
         "Lock,Parse,Set,ConfigName(3),Done,Unlock", "<Module", "", 3},
        {"set 10 is applied only", false, 0, true, module, true, 10, "Lock,Parse,Set,Unlock",
         "<Module", "", -1},
        {"set -1 is applied only", false, 0, true, module, true, -1, "Lock,Parse,Set,Unlock",
         "<Module", "", -1},
        {"refused by the driver", false, 0, true, module, false, 0, "Lock,Parse,Unlock", "<Module",
         "", -1},
        {"name in other letters", false, 0, true, kXmlHead + "<Module Name=\"DISP-1\"></Module>",
         true, 0, "Lock,Parse,Set,ConfigName(0),Done,Unlock", "<Module", "", 0},
        {"another module's", false, 0, true, kXmlHead + "<Module Name=\"Disp-2\"></Module>", true,
         0, "Lock,Unlock", "Name=\"WrongModule\"", "WrongModule", -1},
        {"firmware lock on hardware", true, -2, true, module, true, 0, "Lock,Unlock",
         "Name=\"ModuleNeedsUpdate\"", "ModuleNeedsUpdate", -1},
        {"firmware lock while simulating", false, -2, true, module, true, 0,
         "Lock,Parse,Set,ConfigName(0),Done,Unlock", "<Module", "", 0},
        {"client lock", false, 5, true, module, true, 0, "Lock,ConfigName(0),Locked,Update,Unlock",
         "Name=\"ConfigurationLocked\"", "", -1},
        {"XML configurations not allowed", false, 0, false, module, true, 0, "Lock,Unlock",
         "ErrorNr=\"-256\"", "", -1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        WriteFile(StoredConfiguration(), stored);
        unlink(StoredConfiguration(3).c_str());
        auto driver = Start(c.hardware);
        if (c.lock != 0)
            Serve(*driver, kXmlHead + "<Lock Name=\"Disp-1\" Value=\"" + std::to_string(c.lock) +
                               "\" Signature=\"Client\"/>");
        ASSERT_EQ(driver->GetModuleLock(), c.lock);
        if (!c.xmlAllowed)
            driver->AllowBinConfiguration(1, 1, false);
        driver->bParseResult = c.parse;
        driver->iSetIndex = c.setIndex;

        const CServed served = Serve(*driver, c.request);
        EXPECT_EQ(served.sCalls, c.calls);
        EXPECT_TRUE(Contains(served.sReply, c.replyPart)) << served.sReply;
        EXPECT_EQ(served.sThrown, c.thrown);
        EXPECT_EQ(kovetest::ReadFile(StoredConfiguration()) != stored, c.storedSet == 0);
        EXPECT_EQ(access(StoredConfiguration(3).c_str(), F_OK) == 0, c.storedSet == 3);
        TearDownClient();
    }
}

TEST_F(QTXDispatch, FactorySettingsApplyTheDefaultsUnderTheFactoryFlag)
{
    WriteFile(Directory() + "FactoryDefault.xml",
              kXmlHead + "<Module Name=\"Disp-1\" Factory=\"yes\"></Module>\n");
    auto driver = Start();
    // The configuration's name is the framework's own, not the driver's (no ConfigName).
    CServed served = Serve(*driver, kXmlHead + "<FactorySettings/>");
    EXPECT_EQ(served.sCalls, "Lock,Parse*,Set*,Unlock");
    EXPECT_TRUE(Contains(served.sReply, "Factory=\"yes\"")) << served.sReply;
    EXPECT_EQ(served.sThrown, "");
    EXPECT_FALSE(driver->IsFactoryDefault());

    // With no configuration to load there is nothing to answer with.
    unlink((Directory() + "FactoryDefault.xml").c_str());
    unlink(StoredConfiguration().c_str());
    served = Serve(*driver, kXmlHead + "<FactorySettings/>");
    EXPECT_EQ(served.sThrown, "CanNotStoreFile");
    EXPECT_EQ(served.sReply, "");
    EXPECT_FALSE(driver->IsFactoryDefault());
}
} // namespace

namespace
{
TEST_F(QTXDispatch, BinaryRequestsKeepTheConnectionAndAreRefusedWhereOnlyXmlIsServed)
{
    auto driver = Start();
    // Tags the framework serves in XML only: the standard error -256 in a binary reply.
    for (uint16_t tag : {1, 2, 3, 6, 512, 513, 514})
    {
        SCOPED_TRACE(tag);
        const CServed served = Serve(*driver, BinaryFile(tag, 0, ""));
        EXPECT_EQ(served.sCalls, "Lock,Unlock");
        EXPECT_EQ(served.sReply.substr(0, 16),
                  BinaryFile(static_cast<uint16_t>(tag | 0x8000), -256, ""));
        EXPECT_EQ(served.sThrown, "");
        EXPECT_FALSE(driver->ClosesConnection());
    }

    // The driver's own tags get the full request code, bit 31 marking the binary form.
    CServed served = Serve(*driver, BinaryFile(768, 0, "abc"));
    EXPECT_EQ(served.sCalls, "Lock,Unknown(2147484416),Unlock");
    EXPECT_EQ(served.sReply.substr(8, 2), std::string("\x00\xFF", 2));

    // A binary configuration: refused until the driver allows it; then a payload too short for
    // its first check is answered with that finding and not applied.
    served = Serve(*driver, BinaryFile(257, 0, std::string(10, '\0')));
    EXPECT_EQ(served.sCalls, "Lock,Unlock");
    EXPECT_EQ(served.sReply.substr(8, 2), std::string("\x00\xFF", 2));
    driver->AllowBinConfiguration(4, 4, true);
    served = Serve(*driver, BinaryFile(257, 0, std::string(10, '\0')));
    EXPECT_EQ(served.sCalls, "Lock,Unlock");
    EXPECT_EQ(served.sReply.substr(8, 2), std::string("\xFD\xFE", 2)); // -259 LengthShort
}

TEST_F(QTXDispatch, BinaryConfigurationRequestGetsTheStoredBinaryConfiguration)
{
    const std::string payload(400, '\x5A');
    const struct
    {
        const char* name;
        std::string stored;
        std::string reply; // the first bytes of the answer
    } cases[] = {
        {"stored binary configuration, sent as a configuration reply", BinaryFile(257, 0, payload),
         BinaryFile(0x8100, 0, payload)},
        {"stored XML configuration", kXmlHead + "<Module Name=\"Disp-1\"/>",
         BinaryFile(0x8100, -256, "")},
        {"stored binary configuration without data", BinaryFile(257, 0, ""),
         BinaryFile(0x8100, -258, "")},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        WriteFile(StoredConfiguration(), c.stored);
        auto driver = Start();
        const CServed served = Serve(*driver, BinaryFile(256, 0, ""));
        EXPECT_EQ(served.sCalls, "Lock,ConfigName(0),Unlock");
        EXPECT_EQ(served.sReply.substr(0, c.reply.size()), c.reply);
        TearDownClient();
    }
}
} // namespace
