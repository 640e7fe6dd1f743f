// The identity document Identify.xml of the system driver: its exact layout, the merged state,
// the update-file prefix per hardware family, escaping, and when the file is (re)written.
#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "QTXProduct.h"
#include "QTXSystem.h"
#include "xmlParser.h"

namespace
{
const char kSystemInfo[] = "\n\t<SystemInfo>\n"
                           "\t\t<Name>qorKOVE-Z-TM</Name>\n"
                           "\t\t<VersionHW>--</VersionHW>\n"
                           "\t<VersionSW Status=\"OK\">v1.0.0</VersionSW>\n"
                           "\t</SystemInfo>\n";

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string HostName()
{
    char name[1000] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

std::vector<std::string> DirectoryEntries(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str()))
    {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

RegisteredModule Driver(int32_t port, const std::string& name, _QTXMODULE_STATE state,
                        const std::string& softwareVersion = "", uint32_t build = 0)
{
    RegisteredModule entry;
    entry.iPort = port;
    entry.sName = name;
    entry.eState = state;
    entry.sSoftwareVersion = softwareVersion;
    entry.uFpgaBuild = build;
    return entry;
}

RegisteredModule HardwareModule(int32_t port, const std::string& name, _QTXMODULE_STATE state)
{
    RegisteredModule entry = Driver(port, name, state, "v2.0.0", 0x1A2B);
    entry.iOrderingGroup = 12;
    entry.iOrderingNumber = 345678;
    entry.iSerialNumber = 42;
    entry.sHardwareVersion = "01";
    return entry;
}

// A system driver that is not started: its files go to a directory of the test, and its
// hardware family is set by the test.
class CIdentifySystem : public CSystem
{
public:
    explicit CIdentifySystem(const std::string& directory)
    {
        sDirectory = directory + "/";
        iHWFamily = QTX_HW_FAMILY_DAQ;
        sSystemInfo = kSystemInfo;
        sDeviceName = "qorKOVE-Z-TM";
    }
    void SetFamily(int family) { iHWFamily = family; }
    std::string Path() const { return sDirectory + "Identify.xml"; }
    // Writes the document as after a registry change and returns it.
    std::string Write()
    {
        bIdentifyChanged = true;
        EXPECT_EQ(GetModuleInfoFileName(), "Identify.xml");
        return ReadText(Path());
    }
};

class SystemIdentify : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/identify.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_sDir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_sDir); }

    // The root of the written document, parsed.
    XMLNode Parse(const std::string& text)
    {
        XMLResults results{};
        XMLNode root = XMLNode::parseString(text.c_str(), "System", &results);
        EXPECT_EQ(results.error, eXMLErrorNone) << text;
        return root;
    }

    std::string m_sDir;
};

TEST_F(SystemIdentify, DocumentListsEveryRegisteredDriverInPortOrder)
{
    CIdentifySystem system(m_sDir);
    system.vRegistry = {Driver(62001, "Duf", QTX_MODULE_RUNNING, "v1.2.3"),
                        Driver(62002, "FiberOptic", QTX_MODULE_RUNNING, "v1.2.3", 17),
                        HardwareModule(62103, "AI-8", QTX_MODULE_RUNNING),
                        Driver(62201, "Logger", QTX_MODULE_RUNNING)};

    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n"
        "<System Name=\"" +
        HostName() +
        "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
        "\t<UnitNumber>-1</UnitNumber>\n"
        "\t<Update>\n"
        "\t\t<Directory></Directory>\n"
        "\t\t<NameFilter>daqs_</NameFilter>\n"
        "\t</Update>\n\n"
        "\n\t<SystemInfo>\n"
        "\t\t<Name>qorKOVE-Z-TM</Name>\n"
        "\t\t<VersionHW>--</VersionHW>\n"
        "\t<VersionSW Status=\"OK\">v1.0.0</VersionSW>\n"
        "\t\t<Status>Running</Status>\n"
        "\t</SystemInfo>\n"
        "\t<Modules>\n"
        "\t\t<Module Name=\"Duf\">\n"
        "\t\t\t<Port>62001</Port>\n"
        "\t\t\t<VersionSW Status=\"OK\" Build=\"Release\">v1.2.3</VersionSW>\n"
        "\t\t\t<Status>Running</Status>\n"
        "\t\t</Module>\n"
        "\t\t<Module Name=\"FiberOptic\">\n"
        "\t\t\t<Port>62002</Port>\n"
        "\t\t\t<VersionSW Status=\"OK\" Build=\"17\">v1.2.3</VersionSW>\n"
        "\t\t\t<Status>Running</Status>\n"
        "\t\t</Module>\n"
        "\t\t<Module Name=\"AI-8\">\n"
        "\t\t\t<Port>62103</Port>\n"
        "\t\t\t<Slot>3</Slot>\n"
        "\t\t\t<OrderingNumber>12.345678</OrderingNumber>\n"
        "\t\t\t<SerialNumber>000042</SerialNumber>\n"
        "\t\t\t<VersionHW>01</VersionHW>\n"
        "\t\t\t<VersionSW Status=\"OK\">v2.0.0</VersionSW>\n"
        "\t\t\t<VersionFPGA>0x00001A2B</VersionFPGA>\n"
        "\t\t\t<Status>Running</Status>\n"
        "\t\t</Module>\n"
        "\t\t<Module Name=\"Logger\">\n"
        "\t\t\t<Port>62201</Port>\n"
        "\t\t\t<Status>Running</Status>\n"
        "\t\t</Module>\n"
        "\t</Modules>\n"
        "</System>\n";
    EXPECT_EQ(system.Write(), expected);
}

TEST_F(SystemIdentify, MergedStateCountsOnlyWithRoutingDriverAndTwoMore)
{
    const auto run = QTX_MODULE_RUNNING;
    const struct
    {
        std::vector<RegisteredModule> registry;
        const char* state;
    } cases[] = {
        {{}, "Booting"},
        {{Driver(62001, "Duf", run), Driver(62002, "FO", run)}, "Booting"},
        // Without the routing driver the states of the others do not count.
        {{Driver(62002, "FO", run), Driver(62100, "M", QTX_MODULE_ERROR), Driver(62101, "N", run)},
         "Booting"},
        {{Driver(62001, "Duf", run), Driver(62002, "FO", run), Driver(62100, "M", run)}, "Running"},
        {{Driver(62001, "Duf", run), Driver(62002, "FO", QTX_MODULE_BOOTING),
          Driver(62100, "M", run)},
         "Booting"},
        {{Driver(62001, "Duf", run), Driver(62002, "FO", QTX_MODULE_FATALERROR),
          Driver(62100, "M", QTX_MODULE_UNKNOWNMODULE)},
         "FatalError"},
        {{Driver(62001, "Duf", run), Driver(62100, "M", QTX_MODULE_ERROR),
          Driver(62101, "N", QTX_MODULE_BOOTING)},
         "Error"},
        {{Driver(62001, "Duf", QTX_MODULE_UNKNOWN), Driver(62002, "FO", QTX_MODULE_UNKNOWN),
          Driver(62100, "M", QTX_MODULE_UNKNOWN)},
         "Booting"},
    };
    CIdentifySystem system(m_sDir);
    for (const auto& c : cases)
    {
        system.vRegistry = c.registry;
        XMLNode root = Parse(system.Write());
        const char* state = root.getChildNode("SystemInfo").getChildNode("Status").getText();
        EXPECT_STREQ(state, c.state) << "registry of " << c.registry.size();
    }
}

TEST_F(SystemIdentify, UpdateFilterAndUnitNumberFollowTheHardwareFamily)
{
    const struct
    {
        int family;
        std::string deviceName;
        int32_t orderingNumber;
        std::string filter;
        const char* unitNumber;
    } cases[] = {
        {1, "x", 52375010, "cmus_", "-1"},
        {1, "x", 52374021, "kovesqx2x16_", "-1"},
        {1, "x", 52640000, "wex_", "-1"},
        {1, "x", 12345678, "kovesqx", "-1"},
        {2, "QORkove-z-tm", 0, "koveztm", "-1"},
        {2, "qorQB-DP", 0, "qbdp", "-1"},
        // A name no longer than its family prefix leaves nothing to append.
        {2, "qor", 0, "qb", "-1"},
        {2, "", 0, "qb", "-1"},
        {3, "x", 0, "net750d", "-1"},
        {8, GetProductName(53), 0, "koved8aii", "-1"},
        {8, GetProductName(49), 0, "kove8aiu", "-1"},
        {8, "qorKOVE-8", 0, "kove", "-1"},
        {10, "x", 0, "qbpn", "-1"},
        {13, "x", 0, "w750_", "0"},
        {14, "x", 0, "qbenetip", "-1"},
        {12, "x", 0, "", "-1"},
    };
    CIdentifySystem system(m_sDir);
    for (const auto& c : cases)
    {
        system.SetFamily(c.family);
        system.sDeviceName = c.deviceName;
        system.iOrderingNumber = c.orderingNumber;
        XMLNode root = Parse(system.Write());
        const char* filter = root.getChildNode("Update").getChildNode("NameFilter").getText();
        EXPECT_EQ(filter != nullptr ? filter : "", c.filter) << "family " << c.family;
        EXPECT_STREQ(root.getChildNode("UnitNumber").getText(), c.unitNumber);
    }
}

TEST_F(SystemIdentify, NamesAndVersionsAreEscaped)
{
    CIdentifySystem system(m_sDir);
    RegisteredModule module = HardwareModule(62100, "A&B <\"x\">", QTX_MODULE_RUNNING);
    module.sHardwareVersion = "<1>";
    module.sSoftwareVersion = "v1&2";
    system.vRegistry = {module, Driver(62201, "Soft\"ware", QTX_MODULE_RUNNING, "</x>")};

    XMLNode modules = Parse(system.Write()).getChildNode("Modules");
    ASSERT_EQ(modules.nChildNode("Module"), 2);
    EXPECT_STREQ(modules.getChildNode("Module", 0).getAttribute("Name"), "A&B <\"x\">");
    EXPECT_STREQ(modules.getChildNode("Module", 0).getChildNode("VersionHW").getText(), "<1>");
    EXPECT_STREQ(modules.getChildNode("Module", 0).getChildNode("VersionSW").getText(), "v1&2");
    EXPECT_STREQ(modules.getChildNode("Module", 1).getAttribute("Name"), "Soft\"ware");
    EXPECT_STREQ(modules.getChildNode("Module", 1).getChildNode("VersionSW").getText(), "</x>");
}

TEST_F(SystemIdentify, WrittenOnlyAfterAChangeAndReplacedAsAWhole)
{
    CIdentifySystem system(m_sDir);
    system.vRegistry = {Driver(62001, "Duf", QTX_MODULE_RUNNING)};
    const std::string first = system.Write();
    // The Status line of SystemInfo is replaced, not added, on every write.
    system.Write();
    EXPECT_EQ(system.sSystemInfo.find("<Status>"), system.sSystemInfo.rfind("<Status>"));

    // Nothing changed: the file on disk is sent as it is.
    std::ofstream(system.Path()) << "old";
    EXPECT_EQ(system.GetModuleInfoFileName(), "Identify.xml");
    EXPECT_EQ(ReadText(system.Path()), "old");

    // Another host name than the one of the last write makes a new document.
    system.sIdentifyHostName = "another-host";
    system.GetModuleInfoFileName();
    EXPECT_EQ(ReadText(system.Path()), first);

    // A registry change does, too; no temporary file stays behind.
    system.vRegistry.push_back(Driver(62002, "FiberOptic", QTX_MODULE_RUNNING));
    system.bIdentifyChanged = true;
    system.GetModuleInfoFileName();
    EXPECT_NE(ReadText(system.Path()).find("<Port>62002</Port>"), std::string::npos);
    EXPECT_EQ(DirectoryEntries(m_sDir), std::vector<std::string>{"Identify.xml"});
}

TEST_F(SystemIdentify, FileThatCannotBeWrittenIsReportedAndTriedAgain)
{
    const std::string directory = m_sDir + "/later";
    CIdentifySystem system(directory);
    try
    {
        system.GetModuleInfoFileName();
        FAIL() << "no error for a directory that does not exist";
    }
    catch (CQTXError& error)
    {
        EXPECT_EQ(error.ErrorText(), "CanNotGenerateFile");
        EXPECT_EQ(error.ErrorParameter(), "Can not generate identification file");
        EXPECT_EQ(error.ErrorSeverity(), FatalError);
    }
    // The change is still pending: once the file can be written, the next Identify writes it.
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    system.GetModuleInfoFileName();
    EXPECT_NE(ReadText(system.Path()).find("</System>"), std::string::npos);
}

TEST(SystemInfoValue, ReplacesTheWholeTextOfTheElement)
{
    const struct
    {
        std::string block;
        std::string value;
        bool replaced;
        std::string result;
    } cases[] = {
        {"<a><VersionHW>--</VersionHW></a>", "AB", true, "<a><VersionHW>AB</VersionHW></a>"},
        // An empty or longer value is replaced whole; the end tag is never touched.
        {"<VersionHW></VersionHW>", "AB", true, "<VersionHW>AB</VersionHW>"},
        {"<VersionHW>1</VersionHW>", "AB", true, "<VersionHW>AB</VersionHW>"},
        {"<VersionHW>ABCDEF</VersionHW>x", "01", true, "<VersionHW>01</VersionHW>x"},
        {"<VersionHW>--</VersionHW>", "<&", true, "<VersionHW>&lt;&amp;</VersionHW>"},
        {"<VersionHW>--", "AB", false, "<VersionHW>--"},
        {"<Name>x</Name>", "AB", false, "<Name>x</Name>"},
    };
    for (const auto& c : cases)
    {
        std::string block = c.block;
        EXPECT_EQ(SetSystemInfoValue(block, "VersionHW", c.value), c.replaced) << c.block;
        EXPECT_EQ(block, c.result);
    }
}
} // namespace
