// The stored configuration across restarts of the test driver, its factory defaults, and what a
// driver asks the system driver for: its user configuration and its version information.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FakeHub.h"
#include "KoveTestSupport.h"
#include "QTX.h"
#include "QTXVersion.h"

using namespace kovetest;

namespace
{
std::string ModuleDocument(const std::string& setting)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Module Name=\"TestDriver\">"
           "<Setting>" +
           setting + "</Setting></Module>\n";
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Sends one request to the port and returns everything received until the driver closes.
std::string Request(int port, const std::string& document)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    {
        send(s, document.data(), document.size(), MSG_NOSIGNAL);
        timeval timeout{20, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[4096];
        ssize_t n;
        while ((n = recv(s, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, static_cast<size_t>(n));
    }
    close(s);
    return reply;
}

// The test driver in slot 3 of a simulated device, with its files in "drv" and a fake system
// driver to register with.
class StoredConfiguration : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tHub.Start());
        std::filesystem::create_directories(Root() + "log");
        std::filesystem::create_directories(Root() + "Configuration");
        std::filesystem::create_directories(Root() + "drv");
        WriteFile(Root() + "drv/FactoryDefault.xml", ModuleDocument("factory"));
    }

    std::string Root() const { return tDevice.Path("/Applications/tmp/Driver/"); }
    std::string Stored() const { return Root() + "Configuration/Config_62103_TestDriver.xml"; }

    // Starts the driver and waits until it serves its port.
    std::unique_ptr<CTestProcess> Start()
    {
        auto driver = std::make_unique<CTestProcess>(
            tDevice, "qtxtestdriver",
            std::vector<std::string>{"-Slot=3", "-Dir=" + Root() + "drv"});
        EXPECT_TRUE(driver->WaitForPort(62103)) << driver->Output();
        return driver;
    }
    static void Stop(std::unique_ptr<CTestProcess>& driver)
    {
        driver->Signal(SIGTERM);
        driver->WaitExit();
        driver.reset();
    }

    CFakeHub tHub;
    CSimDevice tDevice;
};

TEST_F(StoredConfiguration, AnAcceptedConfigurationIsAppliedAgainAfterARestart)
{
    // Nothing stored yet: the factory defaults are applied and stored.
    auto driver = Start();
    EXPECT_NE(driver->Output().find("Applied factory\n"), std::string::npos) << driver->Output();
    EXPECT_NE(ReadFile(Stored()).find("factory"), std::string::npos) << ReadFile(Stored());

    const std::string reply = Request(62103, ModuleDocument("request"));
    EXPECT_NE(reply.find("<Module"), std::string::npos) << reply;
    EXPECT_TRUE(WaitFor([&] { return ReadFile(Stored()).find("request") != std::string::npos; }))
        << ReadFile(Stored());
    Stop(driver);

    driver = Start();
    EXPECT_NE(driver->Output().find("Applied request\n"), std::string::npos) << driver->Output();
    EXPECT_EQ(driver->Output().find("Applied factory"), std::string::npos) << driver->Output();
    EXPECT_NE(ReadFile(Stored()).find("request"), std::string::npos);
    Stop(driver);
}

TEST_F(StoredConfiguration, AConfigurationThatCannotBeAppliedGivesWayToTheFactoryDefaults)
{
    const struct
    {
        const char* what;
        std::string stored;
    } cases[] = {
        {"refused", ModuleDocument("refuse")},
        {"cut", ModuleDocument("cut").substr(0, 60)},
        {"other document", "<?xml version=\"1.0\"?>\n<Ping/>\n"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        WriteFile(Stored(), c.stored);
        auto driver = Start();
        EXPECT_NE(driver->Output().find("Applied factory\n"), std::string::npos)
            << driver->Output();
        EXPECT_NE(ReadFile(Stored()).find("<Setting>factory</Setting>"), std::string::npos)
            << ReadFile(Stored());
        Stop(driver);
    }
}

namespace
{
std::string DeclaredModule(const std::string& encoding, const std::string& setting)
{
    return "<?xml version=\"1.0\" encoding=\"" + encoding +
           "\"?>\n<Module Name=\"TestDriver\"><Setting>" + setting + "</Setting></Module>\n";
}
} // namespace

TEST_F(StoredConfiguration, AStoredFileInAnyEncodingIsReadAsItWasStored)
{
    // Files that earlier versions stored, in the encodings the device has always read: each is
    // applied at the start with its text as it was meant, and left as it is (never replaced
    // by the factory defaults).
    const struct
    {
        const char* what;
        std::string stored;
        std::string applied; // UTF-8
    } cases[] = {
        {"Shift-JIS with Japanese text", DeclaredModule("Shift-JIS", "\x93\xFA\x96\x7B"),
         "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"UTF-8 with a Latin-1 letter", DeclaredModule("UTF-8", "M\xFCller"), "M\xC3\xBCller"},
        {"ISO-8859-1", DeclaredModule("ISO-8859-1", "\xC4rger"), "\xC3\x84rger"},
        {"windows-1251", DeclaredModule("windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2"),
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        // bytes read one by one cannot be UTF-16: they are judged as undeclared ones are
        {"declared UTF-16", DeclaredModule("UTF-16", "\xE4"), "\xC3\xA4"},
        {"undeclared, UTF-8 with a stray Latin-1 byte",
         "<?xml version=\"1.0\"?>\n<Module Name=\"TestDriver\"><Setting>\xE6\x97\xA5\xE6\x9C\xAC "
         "\xFC</Setting></Module>\n",
         "\xE6\x97\xA5\xE6\x9C\xAC \xC3\xBC"},
        {"undeclared, the first Latin-1 letter late",
         "<?xml version=\"1.0\"?>\n<!--" + std::string(300, ' ') +
             "--><Module Name=\"TestDriver\"><Setting>\xE9t\xE9</Setting></Module>\n",
         "\xC3\xA9t\xC3\xA9"},
        // a charset the C library does not know: the bytes are applied as they stand
        {"unknown charset", DeclaredModule("x-own-charset", "a\xE4"), "a\xE4"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        WriteFile(Stored(), c.stored);
        auto driver = Start();
        EXPECT_NE(driver->Output().find("Applied " + c.applied + "\n"), std::string::npos)
            << driver->Output();
        EXPECT_EQ(driver->Output().find("Applied factory"), std::string::npos) << driver->Output();
        Stop(driver);
        EXPECT_EQ(ReadFile(Stored()), c.stored);
    }
}

TEST_F(StoredConfiguration, FilesOfEarlierFormsKeepTheirTextWhenStoredAgain)
{
    // Factory defaults in the forms earlier versions stored: copied over the configuration,
    // read and stored again at the start (in UTF-8), applied with their text, and applied
    // with the same text from the stored file at the next start.
    const struct
    {
        const char* what;
        std::string factory;
        std::string text; // UTF-8
    } cases[] = {
        {"Shift-JIS", DeclaredModule("Shift-JIS", "\x93\xFA\x96\x7B \x83\x7D"),
         "\xE6\x97\xA5\xE6\x9C\xAC \xE3\x83\x9E"},
        {"UTF-8 with a stray Latin-1 byte",
         DeclaredModule("UTF-8", "\xE6\x97\xA5\xE6\x9C\xAC \xFC"),
         "\xE6\x97\xA5\xE6\x9C\xAC \xC3\xBC"},
        {"undeclared UTF-8 with a stray Latin-1 byte",
         "<?xml version=\"1.0\"?>\n<Module Name=\"TestDriver\"><Setting>\xE6\x97\xA5\xE6\x9C\xAC "
         "\xFC</Setting></Module>\n",
         "\xE6\x97\xA5\xE6\x9C\xAC \xC3\xBC"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(Stored());
        WriteFile(Root() + "drv/FactoryDefault.xml", c.factory);
        auto driver = Start();
        EXPECT_NE(driver->Output().find("Applied " + c.text + "\n"), std::string::npos)
            << driver->Output();
        Stop(driver);
        const std::string stored = ReadFile(Stored());
        EXPECT_NE(stored.find("<Setting>" + c.text + "</Setting>"), std::string::npos) << stored;
        EXPECT_EQ(XmlCharacterProblem(stored), "") << stored;
        EXPECT_EQ(stored.find("Shift-JIS"), std::string::npos) << stored;

        driver = Start();
        EXPECT_NE(driver->Output().find("Applied " + c.text + "\n"), std::string::npos)
            << driver->Output();
        EXPECT_EQ(driver->Output().find("Applied factory"), std::string::npos) << driver->Output();
        Stop(driver);
        EXPECT_EQ(ReadFile(Stored()), stored);
    }
}

TEST_F(StoredConfiguration, AStoredConfigurationOverTheRequestBoundLoadsAtTheStart)
{
    // More items than a request may hold: the stored file is applied and kept, while the same
    // document sent as a request is refused.
    std::string big = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Module Name=\"TestDriver\">"
                      "<Setting>big</Setting><Items>";
    big.reserve(big.size() + 4 * static_cast<size_t>(XML_MAX_ITEMS) + 64);
    for (int i = 0; i < XML_MAX_ITEMS; ++i)
        big += "<a/>";
    big += "</Items></Module>\n";
    WriteFile(Stored(), big);

    auto driver = Start();
    EXPECT_NE(driver->Output().find("Applied big\n"), std::string::npos) << driver->Output();
    EXPECT_EQ(driver->Output().find("Applied factory"), std::string::npos) << driver->Output();

    EXPECT_EQ(Request(62103, big), "");
    EXPECT_NE(Request(62103, "<?xml version=\"1.0\"?>\n<Ping/>\n").find("<Ping"),
              std::string::npos);
    Stop(driver);
    EXPECT_TRUE(ReadFile(Stored()) == big);
}

TEST_F(StoredConfiguration, ARequestInAnotherCharsetIsAnsweredAndStoredAsUTF8)
{
    // A Module request in Shift_JIS (the standard spelling) and an undeclared one whose first
    // Latin-1 letter lies far behind its beginning: both are applied, answered and stored in
    // UTF-8, under a declaration that says so.
    const struct
    {
        const char* what;
        std::string request;
        std::string text; // UTF-8
    } cases[] = {
        {"Shift_JIS", DeclaredModule("Shift_JIS", "\x93\xFA\x96\x7B"), "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"undeclared, Latin-1 from byte 300 on",
         "<?xml version=\"1.0\"?>\n<Module Name=\"TestDriver\">" + std::string(300, ' ') +
             "<Setting>gr\xFC\xDF</Setting></Module>\n",
         "gr\xC3\xBC\xC3\x9F"},
    };
    auto driver = Start();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string reply = Request(62103, c.request);
        EXPECT_EQ(XmlCharacterProblem(reply), "") << reply;
        EXPECT_NE(reply.find("<Setting>" + c.text + "</Setting>"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("<Error"), std::string::npos) << reply;
        EXPECT_TRUE(WaitFor([&] { return ReadFile(Stored()).find(c.text) != std::string::npos; }))
            << ReadFile(Stored());
        EXPECT_EQ(XmlCharacterProblem(ReadFile(Stored())), "") << ReadFile(Stored());
        EXPECT_TRUE(WaitFor(
            [&] { return driver->Output().find("Applied " + c.text + "\n") != std::string::npos; }))
            << driver->Output();
    }
    Stop(driver);
}

TEST_F(StoredConfiguration, WhatAReaderWouldChangeGoesOutAsReferences)
{
    // A carriage return in a text, and a tab, line feed or carriage return in an attribute
    // value, come back and are stored as references, so that every reader gets them as sent;
    // control characters in names (C0, DEL, C1) stand as '_', so the reply and the stored file
    // are well-formed XML.
    const std::string request =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Module Name=\"TestDriver\">"
        "<Setting>a&#13;b&#13;\nc</Setting><Note Text=\"x&#9;y&#10;z&#13;\"/>"
        "<D\x7F\xC2\x85 x\xC2\x9F=\"1\"/></Module>\n";
    auto driver = Start();
    const std::string reply = Request(62103, request);
    EXPECT_TRUE(WaitFor(
        [&] { return driver->Output().find("Applied a\rb\r\nc\n") != std::string::npos; }))
        << driver->Output();
    EXPECT_TRUE(WaitFor([&] { return ReadFile(Stored()).find("a&#13;b") != std::string::npos; }))
        << ReadFile(Stored());
    Stop(driver);
    for (const std::string& written : {reply, ReadFile(Stored())})
    {
        EXPECT_NE(written.find("<Setting>a&#13;b&#13;\nc</Setting>"), std::string::npos)
            << written;
        EXPECT_NE(written.find("<Note Text=\"x&#9;y&#10;z&#13;\"/>"), std::string::npos)
            << written;
        EXPECT_NE(written.find("<D__ x_=\"1\"/>"), std::string::npos) << written;
        const std::string document = written.substr(0, written.find("</Module>"));
        EXPECT_EQ(document.find('\r'), std::string::npos) << written;
        EXPECT_EQ(document.find('\x7F'), std::string::npos) << written;
    }
}

// A driver object of this process, not started, with its files in a directory of its own.
class CAskingDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "qorQM8xICP"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}

    explicit CAskingDriver(const std::string& directory)
    {
        sDirectory = directory;
        sModuleName = GetModuleName();
        sFileName = sModuleName;
        bSimulate = true; // the FPGA version word reads 0xDEADCAFE
    }
    void SetModuleLock(int value) { iModuleLock = value; }
};

class AskingTheSystem : public testing::Test
{
protected:
    void SetUp() override
    {
        sSavedRoot = sQTXRootDirectory;
        sQTXRootDirectory = tDir.Path() + "/";
        std::filesystem::create_directories(tDir.Path() + "/log");
        ASSERT_TRUE(tHub.Start());
    }
    void TearDown() override { sQTXRootDirectory = sSavedRoot; }

    std::string Directory() const { return tDir.Path() + "/"; }

    CTempDir tDir;
    std::string sSavedRoot;
    CFakeHub tHub;
};

TEST_F(AskingTheSystem, TheUserConfigurationIsTheValueOfTheReply)
{
    const struct
    {
        const char* what;
        std::string reply; // empty: the hub is down
        const char* value;
        bool logged;
    } cases[] = {
        {"value", sXmlStart + "<GetUserConfig Value=\";hex=0x12;\"/>\n", ";hex=0x12;", false},
        {"no value", sXmlStart + "<GetUserConfig/>\n", "", false},
        {"other reply", sXmlStart + "<Ping/>\n", "", true},
        {"no system driver", "", "", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        tHub.SetDown(c.reply.empty());
        tHub.SetReply("GetUserConfig", c.reply);
        CAskingDriver driver(Directory());
        EXPECT_EQ(c.value, driver.GetUserConfig());
        const bool logged =
            ReadFile(Directory() + "log/qorQM8xICP_log.txt").find("GetUserConfig() failed") !=
            std::string::npos;
        EXPECT_EQ(c.logged, logged);
        std::filesystem::remove(Directory() + "log/qorQM8xICP_log.txt");
    }
    EXPECT_EQ(3, tHub.Count("GetUserConfig"));
}

// A System reply with the given SystemInfo content.
std::string SystemReply(const std::string& info)
{
    return sXmlStart + "<System><SystemInfo>" + info + "</SystemInfo></System>\n";
}

// A 256-byte EEPROM image with recognisable fields.
std::string EepromImage()
{
    std::string image(256, '\0');
    image.replace(0x10, 6, "654321");
    image.replace(0x40, 9, "52.111222");
    image.replace(0x80, 2, "0C");
    image[0x88] = 0x5A;
    for (int i = 0; i < 6; ++i)
        image[0x90 + i] = static_cast<char>(1 + i);
    for (int i = 0; i < 8; ++i)
        image[0x98 + i] = static_cast<char>(0x11 + i);
    return image;
}

TEST_F(AskingTheSystem, TheVersionRecordTakesTheSystemDataOrTheEepromImage)
{
    const std::string full = "<Name>qorKOVE-Z-TM</Name><SerialNumber>123456</SerialNumber>"
                             "<VersionSW>v1.2.3-rc4</VersionSW><VersionHW>0B7</VersionHW>"
                             "<OrderingNumber>52.374030</OrderingNumber>";
    const std::string ownImage = "<SerialNumber>(none)</SerialNumber><VersionSW>v1.2.3-rc4"
                                 "</VersionSW><Name>ignored</Name>";
    const struct
    {
        const char* what;
        std::string info;
        bool image;
        int lock;
        const char* name;
        uint32_t serial;
        uint32_t software;
        const char* hardware; // two characters
        uint32_t order;
        uint8_t variant;
    } cases[] = {
        {"system data", full, true, 0, "qorKOVE-Z-TM", 123456, 26112772, "0B", 52374030, 0},
        {"incompatible firmware", full, true, -2, "qorKOVE-Z-TM", 123456, 0, "0B", 52374030, 0},
        {"own image", ownImage, true, 0, "qorQM8xICP", 654321, 26112772, "0C", 52111222, 0x5A},
        {"no image", ownImage, false, 0, "qorQM8xICP", 0, 26112772, "xx", 0, 0},
        {"sparse system data", "<SerialNumber/>", true, 0, "UNKNOWN", 0, 0, "--", 0, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CTempDir dir;
        if (c.image)
            WriteFile(dir.Path() + "/EEProm.bin", EepromImage());
        tHub.SetReply("Identify", SystemReply(c.info));
        CAskingDriver driver(dir.Path() + "/");
        driver.SetModuleLock(c.lock);
        _QTXVersionInfo info;
        driver.GetVersionInfo(&info);
        EXPECT_STREQ(c.name, info.acName);
        EXPECT_EQ(c.serial, info.ulSerialNumber);
        EXPECT_EQ(c.software, info.ulSwVersion);
        EXPECT_EQ(std::string(c.hardware), std::string(info.acHwVersion, 2));
        EXPECT_EQ(c.order, info.ulOrderingNumber);
        EXPECT_EQ(c.variant, info.ucHwVariant);
        EXPECT_EQ(0xDEADCAFEu, info.ulFpgaVersion);
        const uint8_t id[6] = {1, 2, 3, 4, 5, 6};
        EXPECT_EQ(c.image, memcmp(id, info.aucEepromId, 6) == 0);
        EXPECT_EQ(c.image ? 0x18 : 0, info.aucEepromInfo[7]);
    }
}

TEST_F(AskingTheSystem, VersionsAreAskedForAgainUntilTheSystemDriverHasAnswered)
{
    tHub.SetReply("Identify",
                  SystemReply("<SerialNumber>42</SerialNumber>"
                              "<VersionSW>v2.0.1</VersionSW><VersionHW>A1</VersionHW>"));
    tHub.SetDown(true);
    CAskingDriver driver(Directory());
    CQTXXml reply;
    ASSERT_TRUE(reply.New("Diagnostic", nullptr));
    ASSERT_TRUE(driver.AddDeviceVersionToXml(&reply, 0));
    XMLNode version = reply.GetXMLNodeRoot().getChildNode("DeviceVersion");
    EXPECT_STREQ("v00.00.000", version.getChildNode("VersionSW").getText());

    tHub.SetDown(false);
    ASSERT_TRUE(driver.AddDeviceVersionToXml(&reply, 0));
    version = reply.GetXMLNodeRoot().getChildNode("DeviceVersion");
    EXPECT_STREQ("v02.00.001", version.getChildNode("VersionSW").getText());
    EXPECT_STREQ("A1", version.getChildNode("VersionHW").getText());
    EXPECT_STREQ("0xDEADCAFE", version.getChildNode("VersionFPGA").getText());
    EXPECT_STREQ("000042", version.getChildNode("SerialNumber").getText());

    // Once answered, the record stays as it is.
    tHub.SetReply("Identify", SystemReply("<VersionSW>v9.9.9</VersionSW>"));
    _QTXVersionInfo info;
    driver.GetVersionInfo(&info);
    EXPECT_EQ(FirmwareVersionToUINT32("v2.0.1"), info.ulSwVersion);
    EXPECT_EQ(1, tHub.Count("Identify"));
}
} // namespace
