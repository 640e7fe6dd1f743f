// The module description "ModuleInfo.xml" and the module sections of configuration documents.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "KoveTestSupport.h"
#include "QTX.h"

namespace
{
const char kHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

class CInfoDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "XY-10V"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}
    std::string GetSignalDescription(const std::string& group, int channel) override
    {
        return group + "#" + std::to_string(channel);
    }

    void Prepare(const std::string& directory)
    {
        sDirectory = directory;
        sModuleName = "XY-10V";
    }
    void Lock(const std::string& holder) { sLockSignature = holder; }
    void SetStamp(const std::string& order, const std::string& serial)
    {
        sOrderNumber = order;
        sSerialNumber = serial;
        sHwVersion = "0A";
    }
    void SetAbilities(double clock, double adc, double biquad, double power,
                      const AbilityItem_t* table)
    {
        dMinSysClockPeriod = clock;
        dAdcConvertionDelay = adc;
        dFilterDelayPerBiquad = biquad;
        dPowerFrequencyMeasurementDelay = power;
        pAbilityTable = table;
    }
};

class QTXModuleInfo : public testing::Test
{
protected:
    void SetUp() override { tDriver.Prepare(sDir); }
    std::string Write(const std::string& text)
    {
        const std::string path = sDir + "Config.xml";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // The element `path` (names separated by "/") under the root of a stored document.
    XMLNode Node(const std::string& file, const std::string& path)
    {
        tTree = XMLNode::parseFile(file.c_str());
        XMLNode node = tTree.getChildNode("Module");
        size_t start = 0;
        while (start < path.size())
        {
            size_t end = path.find('/', start);
            if (end == std::string::npos)
                end = path.size();
            node = node.getChildNode(path.substr(start, end - start).c_str());
            start = end + 1;
        }
        return node;
    }

    kovetest::CTempDir tDir;
    std::string sDir = tDir.Path() + "/";
    CInfoDriver tDriver;
    XMLNode tTree;
};

TEST_F(QTXModuleInfo, TheTextRewriteSetsTheLockHolderAndDropsTheErrors)
{
    const struct
    {
        const char* what;
        const char* holder;
        std::string before;
        std::string after;
    } cases[] = {
        {"unlocked", "",
         "<Module><ModuleInfo><A/></ModuleInfo><Errors><Error Name=\"x\"/></Errors></Module>",
         "<Module><ModuleInfo><A/><LockedBy></LockedBy></ModuleInfo></Module>"},
        {"empty element", "PC1", "<Module><ModuleInfo><LockedBy/><A/></ModuleInfo></Module>",
         "<Module><ModuleInfo><LockedBy>PC1</LockedBy><A/></ModuleInfo></Module>"},
        {"old holder", "PC2",
         "<Module><ModuleInfo><LockedBy>PC1</LockedBy></ModuleInfo><Errors /></Module>",
         "<Module><ModuleInfo><LockedBy>PC2</LockedBy></ModuleInfo></Module>"},
        {"outside ModuleInfo", "PC1",
         "<Module><LockedBy>x</LockedBy><ModuleInfo></ModuleInfo></Module>",
         "<Module><LockedBy>x</LockedBy><ModuleInfo><LockedBy>PC1</LockedBy></ModuleInfo></"
         "Module>"},
        {"no ModuleInfo", "PC1", "<Module><Errors>\n<Error/>\n</Errors><B/></Module>",
         "<Module><B/></Module>"},
        {"errors first", "PC1", "<Module><Errors/><ModuleInfo><LockedBy/></ModuleInfo></Module>",
         "<Module><ModuleInfo><LockedBy>PC1</LockedBy></ModuleInfo></Module>"},
        {"errors inside LockedBy", "PC1",
         "<Module><ModuleInfo><LockedBy><Errors/></LockedBy></ModuleInfo></Module>",
         "<Module><ModuleInfo><LockedBy>PC1</LockedBy></ModuleInfo></Module>"},
        {"unclosed errors", "", "<Module><Errors><B/></Module>", "<Module><Errors><B/></Module>"},
        {"escaped holder", "A&B <\"x\">", "<Module><ModuleInfo></ModuleInfo></Module>",
         "<Module><ModuleInfo><LockedBy>A&amp;B &lt;&quot;x&quot;&gt;</LockedBy></ModuleInfo>"
         "</Module>"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        tDriver.Lock(c.holder);
        const std::string file = Write(kHead + c.before);
        EXPECT_TRUE(tDriver.UpdateConfigurationFileXml(file, true));
        EXPECT_EQ(kHead + c.after, kovetest::ReadFile(file));
    }
}

TEST_F(QTXModuleInfo, DocumentsThatAreNotXmlConfigurationsAreLeftAlone)
{
    const std::string binary = std::string("<?bin\0\x01\x01\0\0\0\0\0\0\0\0", 16);
    for (bool textOnly : {true, false})
    {
        const std::string file = Write(binary);
        EXPECT_TRUE(tDriver.UpdateConfigurationFileXml(file, textOnly));
        EXPECT_EQ(binary, kovetest::ReadFile(file));
    }
    // Nothing in hand: the in-memory update has nothing to do.
    EXPECT_TRUE(tDriver.UpdateConfigurationFileXml("", false));
    // An XML document of another kind cannot be loaded as a configuration.
    const std::string other = std::string(kHead) + "<Ping/>\n";
    const std::string file = Write(other);
    EXPECT_FALSE(tDriver.UpdateConfigurationFileXml(file, false));
    EXPECT_EQ(other, kovetest::ReadFile(file));
}

TEST_F(QTXModuleInfo, TheDocumentUpdateWritesAbilitiesAndSignalDescriptions)
{
    static const AbilityItem_t table[] = {
        {"Channels", "16", nullptr},
        {"Range", "10", "V"},
        {"", "ignored", nullptr},
        {"After", "end", nullptr},
    };
    tDriver.SetAbilities(12.5, 5, 0, 7, table); // no filter abilities without a biquad delay
    const std::string file =
        Write(std::string(kHead) +
              "<Module Name=\"XY-10V\"><ModuleInfo><Abilities><Ability Name=\"Old\"/>"
              "</Abilities><LockedBy/></ModuleInfo>"
              "<Signals Name=\"AI\"><Signal Number=\"0\"/><Signal Number=\"3\">"
              "<Description>stale</Description></Signal></Signals>"
              "<Signals Name=\"DO\"><Signal Number=\"1\"/></Signals></Module>");
    ASSERT_TRUE(tDriver.UpdateConfigurationFileXml(file, false));

    XMLNode abilities = Node(file, "ModuleInfo/Abilities");
    ASSERT_EQ(5, abilities.nChildNode("Ability"));
    const char* expected[][3] = {
        {"MinSysClockPeriod", "12.5", "us"},
        {"PowerFrequencyAvailable", "true", nullptr},
        {"PowerFrequencyMeasurementDelay", "7", "us"},
        {"Channels", "16", nullptr},
        {"Range", "10", "V"},
    };
    for (int i = 0; i < 5; ++i)
    {
        XMLNode ability = abilities.getChildNode("Ability", i);
        EXPECT_STREQ(expected[i][0], ability.getAttribute("Name"));
        EXPECT_STREQ(expected[i][1], ability.getAttribute("Value"));
        if (expected[i][2] == nullptr)
            EXPECT_FALSE(ability.isAttributeSet("Unit")) << i;
        else
            EXPECT_STREQ(expected[i][2], ability.getAttribute("Unit"));
    }
    // The new Abilities element follows the other children of ModuleInfo.
    EXPECT_STREQ("Abilities", Node(file, "ModuleInfo").getChildNode(1).getName());

    XMLNode ai = Node(file, "Signals");
    EXPECT_STREQ("AI#0", ai.getChildNode("Signal", 0).getChildNode("Description").getText());
    EXPECT_STREQ("AI#3", ai.getChildNode("Signal", 1).getChildNode("Description").getText());
    EXPECT_EQ(1, ai.getChildNode("Signal", 1).nChildNode("Description"));
    XMLNode doList = tTree.getChildNode("Module").getChildNode("Signals", 1);
    EXPECT_STREQ("DO#1", doList.getChildNode("Signal").getChildNode("Description").getText());
}

TEST_F(QTXModuleInfo, FilterAbilitiesNeedBothDelaysAndADocumentWithoutModuleInfoGetsNone)
{
    tDriver.SetAbilities(0, 5, 0.5, 0, nullptr);
    std::string file = Write(std::string(kHead) + "<Module Name=\"XY-10V\"><ModuleInfo/></Module>");
    ASSERT_TRUE(tDriver.UpdateConfigurationFileXml(file, false));
    XMLNode abilities = Node(file, "ModuleInfo/Abilities");
    ASSERT_EQ(3, abilities.nChildNode("Ability"));
    EXPECT_STREQ("UserFilterAvailable", abilities.getChildNode(0).getAttribute("Name"));
    EXPECT_STREQ("0.5", abilities.getChildNode(2).getAttribute("Value"));

    file = Write(std::string(kHead) +
                 "<Module Name=\"XY-10V\"><Signals Name=\"AI\"><Signal Number=\"0\"/></Signals>"
                 "</Module>");
    ASSERT_TRUE(tDriver.UpdateConfigurationFileXml(file, false));
    EXPECT_TRUE(Node(file, "ModuleInfo").isEmpty());
    EXPECT_TRUE(Node(file, "Signals/Signal/Description").isEmpty());
    EXPECT_FALSE(Node(file, "Signals/Signal").isEmpty());
}

TEST_F(QTXModuleInfo, TheModuleDescriptionNamesTheModuleAndItsStamp)
{
    tDriver.SetStamp("52.374100", "<42>");
    ASSERT_TRUE(tDriver.WriteModuleInfoFile());
    const std::string file = sDir + "ModuleInfo.xml";
    XMLNode root = XMLNode::parseFile(file.c_str()).getChildNode("Module");
    EXPECT_STREQ("XY-10V", root.getAttribute("Name"));
    XMLNode stamp = root.getChildNode("Stamp");
    const char* names[] = {"ProductName", "ProductNumber", "ProductionDate", "ProducerName",
                           "HwVersion",   "SwVersion",     "SerialNumber",   "ModuleId"};
    const char* texts[] = {"XY-10V", "52.374100", nullptr, nullptr, "0A", "--", "<42>", nullptr};
    ASSERT_EQ(8, stamp.nChildNode());
    for (int i = 0; i < 8; ++i)
    {
        EXPECT_STREQ(names[i], stamp.getChildNode(i).getName());
        EXPECT_STREQ(texts[i], stamp.getChildNode(i).getText()) << names[i];
    }
}

TEST(QTXModuleInfoPath, NamesWithoutALeadingSlashLieInTheDriverDirectory)
{
    class CPathDriver : public CQTX
    {
    public:
        std::string GetModuleName() override { return "P"; }
        void InitCQTX() override {}
        void BootHardware() override {}
        bool ParseAndCheckConfiguration(int&) override { return true; }
        void SetHardwareConfiguration() override {}
        void SetDirectory(const std::string& d) { sDirectory = d; }
    } driver;
    driver.SetDirectory("/drv/");
    EXPECT_EQ("/abs/x.xml", driver.FileNameToAbsolutePath("/abs/x.xml"));
    EXPECT_EQ("/drv/x.xml", driver.FileNameToAbsolutePath("x.xml"));
    EXPECT_EQ("/drv/sub/x.xml", driver.FileNameToAbsolutePath("sub/x.xml"));
    EXPECT_EQ("/drv/", driver.FileNameToAbsolutePath(""));
}
} // namespace
