// Base request handlers within one process: the module lock, the answer under a lock, the debug
// commands, the signal description and the SPI flash argument check. Requests are loaded as the
// document in hand and the handlers are called directly; what they send goes over a socket
// pair.
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

class CHandlerDriver : public CQTX
{
public:
    std::string sName = "AI-10V";
    std::string sCalls;
    bool bBaseSignals = false;

    std::string GetModuleName() override { return sName; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}
    double GetSignalValue(const std::string& name, int number) override
    {
        sCalls += "Value(" + name + "," + std::to_string(number) + ")";
        return bBaseSignals ? CQTX::GetSignalValue(name, number) : 2.5;
    }
    std::string GetSignalUnit(const std::string& name, int number) override
    {
        sCalls += "Unit(" + name + "," + std::to_string(number) + ")";
        return bBaseSignals ? CQTX::GetSignalUnit(name, number) : "V";
    }
    // The module-description sections are someone else's concern here.
    bool UpdateConfigurationFileXml(const std::string& /*fileName*/, bool /*textOnly*/) override
    {
        return true;
    }

    void Connect(int socket) { tCommandServer.Open(socket, true); }
    void SetCurrentRequestFile(const std::string& file) { sCurrentRequestFile = file; }
    CQTXXml& Document() { return tXmlCommandFile; }
};

class QTXHandlers : public testing::Test
{
protected:
    void SetUp() override
    {
        sSavedRoot = sQTXRootDirectory;
        sQTXRootDirectory = tRoot.Path() + "/";
        mkdir((sQTXRootDirectory + "log").c_str(), 0755);
        mkdir((sQTXRootDirectory + "Configuration").c_str(), 0755);
        tDriver.Init(Directory(), -1, "", false);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        tDriver.Connect(pair[0]);
        iClient = pair[1];
    }
    void TearDown() override
    {
        close(iClient);
        sQTXRootDirectory = sSavedRoot;
    }

    std::string Directory() const { return tRoot.Path() + "/"; }

    // Loads a request as the document in hand, as the dispatcher does.
    void Load(const std::string& request, unsigned short tag)
    {
        const std::string file = Directory() + "Tmp_Request.xml";
        WriteFile(file, request);
        tDriver.SetCurrentRequestFile(file);
        ASSERT_EQ(tDriver.LoadCommandFile(file.c_str(), tag), 0) << request;
    }
    // The text of the error a handler throws; empty when it returns.
    template <typename Handler> std::string ErrorOf(Handler handler, CQTXError* error = nullptr)
    {
        try
        {
            handler();
        }
        catch (CQTXError& e)
        {
            if (error != nullptr)
                *error = e;
            return e.ErrorText();
        }
        return "";
    }
    std::string Sent()
    {
        std::string all;
        char buffer[65536];
        ssize_t n;
        while ((n = recv(iClient, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            all.append(buffer, static_cast<size_t>(n));
        return all;
    }

    kovetest::CTempDir tRoot;
    std::string sSavedRoot;
    CHandlerDriver tDriver;
    int iClient = -1;
};

TEST_F(QTXHandlers, AnyClientTakesAFreeLockAndOnlyItsHolderChangesIt)
{
    const struct
    {
        const char* name;
        const char* signature;
        const char* value;
        const char* error;
        int lock;
        const char* holder;
    } steps[] = {
        {"AI-10V", "ClientA", "3", "", 3, "ClientA"},
        {"ai-10v", "clienta", "0", "", 0, ""},          // released by its holder in any case
        {"AI-10V", "ClientB", "0", "", 0, ""},          // releasing a free lock is accepted
        {"AI-10V", "ClientA", "0x7", "", 7, "ClientA"}, // read as a number of the system
        {"AI-10V", "ClientB", "9", "ModuleLocked", 7, "ClientA"},
        {"AI-10V", "ClientB", "0", "ModuleLocked", 7, "ClientA"},
        {"AO-10V", "ClientA", "0", "WrongModule", 7, "ClientA"},
        {"AI-10V", "CLIENTA", "5", "", 5, "CLIENTA"},
        {"AI-10V", "", "0", "ModuleLocked", 5, "CLIENTA"},
    };
    for (const auto& s : steps)
    {
        SCOPED_TRACE(std::string(s.signature) + " " + s.value);
        Load(kXmlHead + "<Lock Name=\"" + s.name + "\" Value=\"" + s.value + "\" Signature=\"" +
                 s.signature + "\"/>",
             512);
        CQTXError error;
        EXPECT_EQ(ErrorOf([&] { tDriver.ProcessLockRequest(); }, &error), s.error);
        if (std::string(s.error) == "ModuleLocked")
        {
            EXPECT_EQ(error.ErrorParameter(), std::string("Module already locked by ") + s.holder);
        }
        EXPECT_EQ(tDriver.GetModuleLock(), s.lock);
        EXPECT_EQ(tDriver.GetModuleLockSignature(), s.holder);
    }
}

TEST_F(QTXHandlers, TheAnswerUnderALockIsBuiltInTheReplyFile)
{
    const std::string body =
        kXmlHead + "<Module Name=\"AI-10V\">\n\t<Pad>" + std::string(1100, 'x') + "</Pad>\n";
    const std::string warning =
        "\t<Errors>\r\n\t\t<Warning Type=\"ParameterError\" Name=\"ConfigurationLocked\" "
        "Text=\"Configuration not changed due to lock\" File=\"./QTX\" Line=\"0\"/>\r\n"
        "\t</Errors>\r\n</Module>\r\n";
    const struct
    {
        const char* name;
        std::string stored; // empty: no stored file
        std::string answer; // empty: refused with ConfigurationLocked
    } cases[] = {
        {"errors section replaced",
         body + "\t<Errors>\n\t\t<Error Name=\"Old\"/>\n\t</Errors>\n</Module>\n",
         body + "\t" + warning}, // from "<Errors" on: the indentation before it stays
        {"end of the document replaced", body + "</Module>\n", body + warning},
        {"neither within the last 1000 bytes: sent as it is",
         body + "</Module>\n<!--" + std::string(1000, '-') + "-->\n",
         body + "</Module>\n<!--" + std::string(1000, '-') + "-->\n"},
        {"shorter than 1000 bytes", kXmlHead + "<Module Name=\"AI-10V\"></Module>\n", ""},
        {"no stored configuration", "", ""},
    };
    const std::string stored = Directory() + "Stored.xml";
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        unlink(stored.c_str());
        if (!c.stored.empty())
            WriteFile(stored, c.stored);
        Load(kXmlHead + "<Module Name=\"AI-10V\"></Module>", 257);
        bool result = true;
        const std::string error = ErrorOf(
            [&]
            { result = tDriver.ProcessLockedConfiguration(stored.c_str(), QTX_FILE_TYPE_XML); });
        if (c.answer.empty())
        {
            EXPECT_EQ(error, "ConfigurationLocked");
            EXPECT_EQ(Sent(), "");
        }
        else
        {
            EXPECT_EQ(error, "");
            EXPECT_FALSE(result) << "the handler answers by itself";
            EXPECT_EQ(Sent(), c.answer + kTrailer);
            EXPECT_EQ(kovetest::ReadFile(Directory() + "Tmp_Request_out.xml"), c.answer);
        }
        EXPECT_EQ(kovetest::ReadFile(stored), c.stored) << "the stored file is left as it was";
    }
}

TEST_F(QTXHandlers, DebugCommands)
{
    const std::string injected = Directory() + "injected";
    const struct
    {
        const char* name;
        std::string properties; // inside the root's Properties
        bool baseSignals;
        const char* error;
        ErrorSeverity severity;
        const char* calls;
        const char* signalValue; // SignalValue's value afterwards (null: not checked)
    } cases[] = {
        {"EndDriver comes before SignalValue",
         "<Property Name=\"SignalValue\" Value=\"1\"/><Property Name=\"EndDriver\" Value=\"\"/>",
         false, "UserBreak", Note, "", nullptr},
        {"signal by name and number", "<Property Name=\"SignalValue\" Value=\"AnalogIn:3\"/>",
         false, "", Error, "Value(AnalogIn,3)Unit(AnalogIn,3)", "Signal3 = 2.5 V"},
        {"signal by number, base values", "<Property Name=\"SignalValue\" Value=\"7\"/>", true, "",
         Error, "Value(,7)Unit(,7)", "Signal7 = 0 "},
        {"signal with the driver's values", "<Property Name=\"signalvalue\" Value=\"0x10\"/>",
         false, "", Error, "Value(,16)Unit(,16)", "Signal16 = 2.5 V"},
        {"reboot with text for a shell",
         "<Property Name=\"RebootDriver\" Value=\"1; touch " + injected + "\"/>", false,
         "IllegalArguments", Error, "", nullptr},
        {"reboot with a negative delay", "<Property Name=\"RebootDriver\" Value=\"-1\"/>", false,
         "IllegalArguments", Error, "", nullptr},
        {"debug receiver switched off", "<Property Name=\"DebugReceiver\" Value=\"off\"/>", false,
         "", Error, "", nullptr},
        {"no command", "", false, "", Error, "", nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        tDriver.bBaseSignals = c.baseSignals;
        tDriver.sCalls.clear();
        Load(kXmlHead + "<Debug><Properties>" + c.properties + "</Properties></Debug>", 1);
        CQTXError error;
        EXPECT_EQ(ErrorOf([&] { tDriver.ProcessDebug(); }, &error), c.error);
        if (*c.error != '\0')
        {
            EXPECT_EQ(error.ErrorSeverity(), c.severity);
        }
        EXPECT_EQ(tDriver.sCalls, c.calls);
        if (c.signalValue != nullptr)
        {
            CQTXXml& document = tDriver.Document();
            document.SelectSignalListByName("", "", false);
            document.SelectSignalByNumber(-1, false);
            ASSERT_TRUE(document.SelectPropertyByName("SignalValue", false));
            EXPECT_EQ(document.GetStringProperty(), c.signalValue);
        }
    }
    EXPECT_NE(access(injected.c_str(), F_OK), 0);

    // Without a property list there is nothing to read the commands from.
    Load(kXmlHead + "<Debug/>", 1);
    EXPECT_EQ(ErrorOf([&] { tDriver.ProcessDebug(); }), "MissingSignal");
}

TEST_F(QTXHandlers, SignalDescriptionNamesGroupRangeAndChannel)
{
    const struct
    {
        const char* group;
        int channel;
        const char* description;
    } cases[] = {
        {"AnalogIn", 3, "AI_10V_Ch03"},     {"digitalout", 12, "DO_10V_Ch12"},
        {"DIGITALIN", 0, "DI_10V_Ch00"},    {"AnalogOut", 100, "AO_10V_Ch100"},
        {"Counter", 1, "Counter_10V_Ch01"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tDriver.GetSignalDescription(c.group, c.channel), c.description);
    // The range is taken from the name once.
    tDriver.sName = "AI-5V";
    EXPECT_EQ(tDriver.GetSignalDescription("AnalogIn", 1), "AI_10V_Ch01");

    const struct
    {
        const char* moduleName;
        const char* description;
    } names[] = {{"Plain", "DO__Ch12"}, {"XY-", "DO__Ch12"}, {"XY-24V/2-x", "DO_24V_Ch12"}};
    for (const auto& n : names)
    {
        CHandlerDriver driver;
        driver.sName = n.moduleName;
        EXPECT_EQ(driver.GetSignalDescription("DigitalOut", 12), n.description) << n.moduleName;
    }
}

TEST_F(QTXHandlers, SpiFlashReadChecksItsArguments)
{
    const struct
    {
        int count;
        int address;
        int slot;
        bool accepted;
    } cases[] = {
        {1, 0, 0, true},   {16, 100, 4, true},   {1, 0, 62100, true}, {1, 0, 62104, true},
        {1, 0, 5, false},  {1, 0, 62105, false}, {1, 0, 15, false},   {0, 0, 0, false},
        {1, -1, 0, false}, {1, 0, 62099, false},
    };
    char buffer[16] = {};
    for (const auto& c : cases)
        EXPECT_EQ(tDriver.SpiFlashRead(buffer, c.count, c.address, c.slot, false, 0), c.accepted)
            << c.count << " " << c.address << " " << c.slot;
}
} // namespace
