#include "QTXXml.h"

#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

// Present when the request dispatch is linked into the library.
extern const Item_t aCommandTags[] __attribute__((weak));

namespace
{
void WriteFile(const std::string& path, const std::string& content)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string Text(const XMLNode& node)
{
    XMLSTR s = node.createXMLString(0);
    std::string out = s != nullptr ? s : "";
    XMLNode::freeXMLString(s);
    return out;
}

const char* const kRequest = R"(<?xml version="1.0" encoding="utf-8"?>
<module Name="AI16" KeepConnection="TRUE">
  <Properties>
    <Property Name="SamplingRate" Value="1000"/>
  </Properties>
  <Signals Name="AnalogIn" ModuleSlot="2">
    <NumberOfSignals><Value>2</Value></NumberOfSignals>
    <Signal Number="0">
      <UserText>Pump</UserText>
      <Properties>
        <Property Name="Gain"><Value Value="2;4;8"/></Property>
        <Property Name="Offset" Value="1.5"/>
        <Property Name="Enable" Value="TRUE"/>
        <Property Name="Mode" Value="Digital"/>
        <Property Name="Scale" Value="0.25"/>
      </Properties>
      <Properties Name="Filter"><Property Name="Order" Value="4"/></Properties>
    </Signal>
    <Signal Number="1" Name="Spare"><ModuleInfo><UserText>Valve</UserText></ModuleInfo></Signal>
  </Signals>
  <Signals Name="AnalogIn" ModuleSlot="3"><NumberOfSignals><Value>7</Value></NumberOfSignals></Signals>
</module>
)";

class QTXXml : public ::testing::Test
{
protected:
    void SetUp() override
    {
        XMLNode::setGlobalOptions();
        m_sPath = m_tDir.Path() + "/request.xml";
        WriteFile(m_sPath, kRequest);
        ASSERT_TRUE(m_tXml.LoadFile(m_sPath.c_str(), "Module"));
    }

    // Selects a property of signal 0 of the slot-2 list.
    void SelectSignal0()
    {
        ASSERT_EQ(m_tXml.SelectSignalListByName("2", "analogin", false), 2);
        m_tXml.SelectSignalByNumber(0, false);
    }

    // A Property of the selected signal's first property list, looked up directly.
    XMLNode PropertyNode(const char* property)
    {
        XMLNode p = m_tXml.GetXMLNodeSignal().getChildNode("Properties");
        int i = 0;
        for (XMLNode n = p.getChildNode("Property", &i); !n.isEmpty();
             n = p.getChildNode("Property", &i))
            if (SameString(n.getAttribute("Name"), property))
                return n;
        return XMLNode();
    }
    std::string PropertyAttribute(const char* property, const char* attribute)
    {
        return CharPointerToString(PropertyNode(property).getAttribute(attribute));
    }

    kovetest::CTempDir m_tDir;
    std::string m_sPath;
    CQTXXml m_tXml;
};
} // namespace

TEST(QTXCommandFile, PeeksAtTypeAndTag)
{
    kovetest::CTempDir dir;
    const std::string path = dir.Path() + "/f";
    std::string bin("<?bin\0\x41\x42\0\0\0\0\0\0\0\0", 16);
    std::string binLowOnly("<?bin\0\x41\0\0\0\0\0\0\0\0\0", 16);
    const struct
    {
        std::string content;
        int type;
        const char* tag;
    } cases[] = {
        {"<?xml version=\"1.0\"?>\n<Module Name=\"x\"/>", 1, "Module"},
        {"\xEF\xBB\xBF  \n<?xml version=\"1.0\"?><Set_Net2 a=\"1\"/>", 1, "Set_Net2"},
        {"<?style href=\"a\"?><?xml version=\"1.0\"?><Ping/>", 1, "Ping"},
        {"<?xml-stylesheet href=\"a\"?><?xml version=\"1.0\"?><Ping/>", 1, ""},
        {"<?xml version=\"1.0\"?><!-- first --><Ping/>", 1, ""},
        {"<?xml version=\"1.0\"?>", 1, ""},
        {bin, 2, "AB"},
        {binLowOnly, 2, "A"},
        {"<Module Name=\"no declaration\"/>", 0, ""},
        {std::string(1100, ' ') + "<?xml version=\"1.0\"?><Late/>", 0, ""},
        {"<?xml", 0, ""},
        {"", 0, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.content);
        WriteFile(path, c.content);
        EXPECT_EQ(CQTXCommandFile::GetFileType(path.c_str()), c.type);
        EXPECT_EQ(CQTXCommandFile::GetFileTag(path.c_str()), c.tag);
    }
    const std::string missing = dir.Path() + "/missing";
    EXPECT_EQ(CQTXCommandFile::GetFileType(missing.c_str()), 0);
    EXPECT_EQ(CQTXCommandFile::GetFileTag(missing.c_str()), "");
}

TEST(QTXCommandFile, ReadsWholeFilesAndTellsTheKindOfBytesInMemory)
{
    kovetest::CTempDir dir;
    const std::string path = dir.Path() + "/f";
    // Longer than one read chunk, with zero bytes in it.
    std::string big(150000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 % 251);
    std::string content = "stale";
    bool complete = false;
    for (const std::string& written : {big, std::string()})
    {
        WriteFile(path, written);
        ASSERT_TRUE(CQTXCommandFile::ReadWholeFile(path.c_str(), content, &complete));
        EXPECT_TRUE(complete);
        EXPECT_EQ(content, written);
    }
    content = "stale";
    EXPECT_FALSE(CQTXCommandFile::ReadWholeFile((dir.Path() + "/missing").c_str(), content));
    EXPECT_EQ(content, "");
    EXPECT_FALSE(CQTXCommandFile::ReadWholeFile(nullptr, content));
    // A directory opens but cannot be read.
    EXPECT_TRUE(CQTXCommandFile::ReadWholeFile(dir.Path().c_str(), content, &complete));
    EXPECT_FALSE(complete);

    const std::string late = std::string(1100, ' ') + "<?xml version=\"1.0\"?><Late/>";
    const std::string bin("<?bin\0\x41\x42\0\0\0\0\0\0\0\0", 16);
    EXPECT_EQ(CQTXCommandFile::GetContentType(kRequest, strlen(kRequest)), 1);
    EXPECT_EQ(CQTXCommandFile::GetContentType(bin.data(), bin.size()), 2);
    EXPECT_EQ(CQTXCommandFile::GetContentType(late.data(), late.size()), 0);
    // Only the given bytes count.
    EXPECT_EQ(CQTXCommandFile::GetContentType(kRequest, 5), 0);
    EXPECT_EQ(CQTXCommandFile::GetContentType(kRequest, 6), 1);
    EXPECT_EQ(CQTXCommandFile::GetContentType(nullptr, 0), 0);
}

TEST_F(QTXXml, LoadsFromMemoryAsFromTheFile)
{
    if (aCommandTags == nullptr)
        GTEST_SKIP() << "the command-tag table is not linked into this build";
    const std::string content = kovetest::ReadFile(m_sPath);
    ASSERT_TRUE(m_tXml.LoadFile(m_sPath.c_str(), static_cast<unsigned short>(0x8101)));
    const std::string fromFile = Text(m_tXml.GetXMLNodeRoot());
    ASSERT_TRUE(m_tXml.LoadBuffer(content.data(), content.size(), 0x8101));
    EXPECT_EQ(Text(m_tXml.GetXMLNodeRoot()), fromFile);
    EXPECT_EQ(m_tXml.GetRootTagNameAttribute(), "AI16");

    // The encoding comes from the document's beginning, as for a file.
    const std::string latin =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><NOP Text=\"caf\xE9\"/>";
    ASSERT_TRUE(m_tXml.LoadBuffer(latin.data(), latin.size(), 3));
    const std::string latinFromMemory = Text(m_tXml.GetXMLNodeRoot());
    const std::string latinPath = m_tDir.Path() + "/latin.xml";
    WriteFile(latinPath, latin);
    ASSERT_TRUE(m_tXml.LoadFile(latinPath.c_str(), static_cast<unsigned short>(3)));
    EXPECT_EQ(Text(m_tXml.GetXMLNodeRoot()), latinFromMemory);

    // Only the given bytes are parsed: a cut document and a wrong tag fail and leave nothing.
    EXPECT_FALSE(m_tXml.LoadBuffer(content.data(), content.size() / 2, 0x101));
    EXPECT_EQ(m_tXml.GetType(), 0);
    EXPECT_NE(m_tXml.GetParseError(), "");
    // The parser's reason is kept for the log.
    const std::string unended = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><NOP T=\"\xE4\"/><";
    EXPECT_FALSE(m_tXml.LoadBuffer(unended.data(), unended.size(), 3));
    EXPECT_EQ(m_tXml.GetParseError(), "Error: Missing start tag name at line 1, column 52");
    ASSERT_TRUE(m_tXml.LoadBuffer(latin.data(), latin.size(), 3));
    EXPECT_EQ(m_tXml.GetParseError(), "");
    EXPECT_FALSE(m_tXml.LoadBuffer(content.data(), content.size(), 0));
    EXPECT_FALSE(m_tXml.LoadBuffer(content.data(), content.size(), 31));
    EXPECT_EQ(m_tXml.GetType(), 0);
}

TEST_F(QTXXml, LoadsByRootNameAndRefusesWhatDoesNotFit)
{
    EXPECT_EQ(m_tXml.GetType(), 1);
    EXPECT_TRUE(m_tXml.IsXml());
    EXPECT_FALSE(m_tXml.IsBinary());
    EXPECT_EQ(m_tXml.GetRootTagNameAttribute(), "AI16");
    EXPECT_TRUE(m_tXml.GetAttributeKeepConnection());
    m_tXml.SetAttributeKeepConnection(false);
    EXPECT_FALSE(m_tXml.GetAttributeKeepConnection());
    EXPECT_STREQ(m_tXml.GetXMLNodeRoot().getAttribute("keepconnection"), "false");

    const std::string broken = m_tDir.Path() + "/broken.xml";
    WriteFile(broken, "<?xml version=\"1.0\"?><Module><Signals></Module>");
    const std::string missing = m_tDir.Path() + "/missing.xml";
    const struct
    {
        const std::string* path;
        const char* root;
    } failures[] = {{&m_sPath, "System"},
                    {&m_sPath, ""},
                    {&m_sPath, nullptr},
                    {&broken, "Module"},
                    {&missing, "Module"}};
    for (const auto& f : failures)
    {
        ASSERT_TRUE(m_tXml.LoadFile(m_sPath.c_str(), "Module"));
        EXPECT_FALSE(m_tXml.LoadFile(f.path->c_str(), f.root));
        EXPECT_EQ(m_tXml.GetType(), 0);
        EXPECT_FALSE(m_tXml.IsXml());
        EXPECT_EQ(m_tXml.GetRootTagNameAttribute(), "");
        EXPECT_TRUE(m_tXml.GetXMLNodeRoot().isEmpty());
    }
    CQTXXml fresh;
    EXPECT_FALSE(fresh.IsXml());
    EXPECT_FALSE(fresh.IsBinary());
    EXPECT_FALSE(fresh.GetAttributeKeepConnection());
    EXPECT_FALSE(fresh.StoreFile(broken.c_str(), true)); // nothing to write
}

TEST_F(QTXXml, LoadsAndCreatesByTag)
{
    EXPECT_FALSE(m_tXml.LoadFile(m_sPath.c_str(), static_cast<unsigned short>(0)));
    EXPECT_FALSE(m_tXml.New(static_cast<unsigned short>(0), 0));
    EXPECT_EQ(m_tXml.GetType(), 0);
    if (aCommandTags == nullptr)
        GTEST_SKIP() << "the command-tag table is not linked into this build";

    // 257 is Module; bit 15 (reply) is ignored when loading.
    EXPECT_TRUE(m_tXml.LoadFile(m_sPath.c_str(), static_cast<unsigned short>(0x8101)));
    EXPECT_EQ(m_tXml.GetRootTagNameAttribute(), "AI16");
    EXPECT_FALSE(m_tXml.LoadFile(m_sPath.c_str(), static_cast<unsigned short>(31)));
    EXPECT_FALSE(m_tXml.LoadFile(m_sPath.c_str(), static_cast<unsigned short>(0x7FFF)));

    const std::string nop = m_tDir.Path() + "/nop.xml";
    WriteFile(nop, "<?xml version=\"1.0\"?><NOP/>");
    EXPECT_TRUE(m_tXml.LoadFile(nop.c_str(), static_cast<unsigned short>(3)));

    ASSERT_TRUE(m_tXml.New(static_cast<unsigned short>(257), 99));
    EXPECT_STREQ(m_tXml.GetXMLNodeRoot().getName(), "Module");
    ASSERT_TRUE(m_tXml.New(static_cast<unsigned short>(0x7FFF), 0));
    EXPECT_STREQ(m_tXml.GetXMLNodeRoot().getName(), "***ERROR***");
}

TEST_F(QTXXml, NewDocumentStoresAndLoadsBack)
{
    EXPECT_FALSE(m_tXml.New("", "x"));
    EXPECT_EQ(m_tXml.GetType(), 0);
    ASSERT_TRUE(m_tXml.New("Module", "Dev & <1>"));
    EXPECT_EQ(m_tXml.GetRootTagNameAttribute(), "Dev & <1>");
    EXPECT_EQ(m_tXml.SelectSignalListByName("", "DigitalOut", true), 0);
    m_tXml.SelectSignalByNumber(3, true);
    std::string name = "Lamp \"A\"";
    m_tXml.SetName(name);
    m_tXml.SetSignalType("Type", "Digital");
    m_tXml.WriteStringProperty("Enable", "true");

    const std::string out = m_tDir.Path() + "/out.xml";
    ASSERT_TRUE(m_tXml.StoreFile(out.c_str(), false));
    const std::string written = kovetest::ReadFile(out);
    EXPECT_EQ(written.rfind("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Module", 0),
              0u)
        << written;

    CQTXXml again;
    ASSERT_TRUE(again.LoadFile(out.c_str(), "module"));
    EXPECT_EQ(again.GetRootTagNameAttribute(), "Dev & <1>");
    EXPECT_EQ(again.SelectSignalListByName("", "digitalout", false), 1);
    again.SelectSignalByNumber(3, false);
    EXPECT_EQ(again.GetName(), "Lamp \"A\"");
    EXPECT_STREQ(again.GetXMLNodeSignal().getChildNode("SignalType").getAttribute("Type"),
                 "Digital");
    EXPECT_TRUE(again.SelectPropertyByName("enable", false));
    EXPECT_EQ(again.GetStringProperty(), "true");
    EXPECT_FALSE(again.StoreFile((m_tDir.Path() + "/none/out.xml").c_str(), true));
}

TEST_F(QTXXml, SelectsListsAndSignals)
{
    // Global settings: the root as list, its own Properties as property list.
    EXPECT_EQ(m_tXml.SelectSignalListByName("", "", false), 0);
    EXPECT_TRUE(m_tXml.GetXMLNodeSignalList() == m_tXml.GetXMLNodeRoot());
    m_tXml.SelectSignalByNumber(-1, false);
    EXPECT_TRUE(m_tXml.SelectPropertyByName("samplingrate", false));
    EXPECT_EQ(m_tXml.GetIntProperty(), 1000);

    EXPECT_EQ(m_tXml.SelectSignalListByName("3", "AnalogIn", false), 7);
    EXPECT_EQ(m_tXml.SelectSignalListByName("", "AnalogIn", false), 2); // first of the name
    EXPECT_EQ(m_tXml.SelectSignalListByName("4", "AnalogIn", false), -1);
    EXPECT_TRUE(m_tXml.GetXMLNodeSignalList().isEmpty());

    std::string slot, name;
    EXPECT_EQ(m_tXml.SelectSignalListByOrder(slot, name, true), 2);
    EXPECT_EQ(slot + "/" + name, "2/AnalogIn");
    EXPECT_EQ(m_tXml.SelectSignalListByOrder(slot, name, false), 7);
    EXPECT_EQ(m_tXml.SelectSignalListByOrder(slot, name, false), -1);
    EXPECT_EQ(slot + name, "");

    SelectSignal0();
    EXPECT_EQ(m_tXml.GetName(), "Pump");
    EXPECT_TRUE(m_tXml.SelectPropertyListByName("FILTER"));
    EXPECT_TRUE(m_tXml.SelectPropertyByName("order", false));
    EXPECT_EQ(m_tXml.GetIntProperty(), 4);
    EXPECT_FALSE(m_tXml.SelectPropertyListByName("Other"));
    EXPECT_TRUE(m_tXml.SelectPropertyByName("order", false)); // selection unchanged

    m_tXml.SelectSignalByNumber(1, false);
    EXPECT_EQ(m_tXml.GetName(), "Valve"); // from ModuleInfo
    m_tXml.GetXMLNodeSignal().getChildNode("ModuleInfo").deleteNodeContent();
    EXPECT_EQ(m_tXml.GetName(), "Spare"); // the Name attribute

    EXPECT_EQ(m_tXml.SelectSignalByOrder(true), 0);
    EXPECT_EQ(m_tXml.SelectPropertyByOrder(true), "Gain");
    EXPECT_EQ(m_tXml.SelectPropertyByOrder(false), "Offset");
    EXPECT_EQ(m_tXml.SelectSignalByOrder(false), 1);
    EXPECT_EQ(m_tXml.SelectPropertyByOrder(true), ""); // signal 1 has no properties
    EXPECT_EQ(m_tXml.SelectSignalByOrder(false), -1);

    try
    {
        m_tXml.SelectSignalByNumber(5, false);
        ADD_FAILURE() << "no throw";
    }
    catch (const CQTXEXmlError& e)
    {
        EXPECT_EQ(e.ErrorText(), "MissingSignal");
        EXPECT_EQ(e.ErrorParameter(), "AnalogIn:5");
    }
    m_tXml.SelectSignalListByName("2", "AnalogIn", false);
    try
    {
        m_tXml.SelectSignalByNumber(-1, false);
        ADD_FAILURE() << "no throw";
    }
    catch (const CQTXEXmlError& e)
    {
        EXPECT_EQ(e.ErrorParameter(), "Global or signal properties missing");
    }
}

TEST_F(QTXXml, CreatesWhatIsMissing)
{
    EXPECT_EQ(m_tXml.SelectSignalListByName("9", "DigitalIn", true), 0);
    m_tXml.SelectSignalByNumber(12, true);
    m_tXml.SelectSignalByNumber(13, true);
    EXPECT_EQ(m_tXml.SelectSignalListByName("9", "DigitalIn", false), 2);
    EXPECT_EQ(Text(m_tXml.GetXMLNodeSignalList()),
              "<Signals Name=\"DigitalIn\" ModuleSlot=\"9\"><NumberOfSignals><Value>2</Value>"
              "</NumberOfSignals><Signal Number=\"12\"><UserText/><SignalType/><Properties/>"
              "</Signal><Signal Number=\"13\"><UserText/><SignalType/><Properties/></Signal>"
              "</Signals>");

    m_tXml.SelectSignalByNumber(-1, true); // the list's own Properties are added
    EXPECT_FALSE(m_tXml.SelectPropertyByName("Global", true));
    m_tXml.SetIntProperty(-5);
    EXPECT_EQ(Text(m_tXml.GetXMLNodeSignalList().getChildNode("Properties")),
              "<Properties><Property Name=\"Global\" Value=\"-5\"/></Properties>");

    CQTXXml empty;
    EXPECT_EQ(empty.SelectSignalListByName("", "X", true), -1);
    EXPECT_THROW(empty.SelectSignalByNumber(1, true), CQTXEXmlError);
    EXPECT_FALSE(empty.SelectPropertyByName("X", true));
}

TEST_F(QTXXml, ReadsAndWritesValuesInBothPlaces)
{
    SelectSignal0();
    int32_t values[3] = {0, 0, 0};
    ASSERT_TRUE(m_tXml.SelectPropertyByName("gain", false));
    EXPECT_EQ(m_tXml.GetStringProperty(), "2;4;8");
    EXPECT_EQ(m_tXml.GetIntArrayProperty(values, 3, false), 3);
    EXPECT_EQ(values[2], 8);
    m_tXml.SetIntArrayProperty(values, 2);
    EXPECT_EQ(PropertyAttribute("Gain", "Value"), ""); // the Value child carries it
    EXPECT_STREQ(PropertyNode("Gain").getChildNode("value").getAttribute("Value"), "2;4");

    ASSERT_TRUE(m_tXml.SelectPropertyByName("Offset", false));
    EXPECT_DOUBLE_EQ(m_tXml.GetFloatProperty(), 1.5);
    m_tXml.SetFloatProperty(0.125);
    EXPECT_EQ(PropertyAttribute("Offset", "Value"), "0.125");
    const double floats[] = {1.5, -2};
    m_tXml.SelectPropertyByName("Offset", false);
    m_tXml.SetFloatArrayProperty(floats, 2);
    EXPECT_EQ(PropertyAttribute("Offset", "Value"), "1.5;-2");
    m_tXml.SelectPropertyByName("Offset", false);
    m_tXml.SetListProperty(aBoolItems, 7);
    EXPECT_EQ(PropertyAttribute("Offset", "Value"), "***ERROR***");
    m_tXml.SelectPropertyByName("Offset", false);
    m_tXml.SetStringProperty(std::string("a<b"));
    EXPECT_EQ(m_tXml.GetStringProperty(), "a<b");

    bool flags[2];
    m_tXml.SelectPropertyByName("Enable", false);
    EXPECT_EQ(m_tXml.GetBoolArrayProperty(flags, 2), 1);
    EXPECT_EQ(m_tXml.GetListProperty(aBoolItems, true), 1);
    EXPECT_EQ(m_tXml.GetListProperty(aBoolItems, false), -1);

    // Without a selected property every setter refuses with its own text.
    EXPECT_FALSE(m_tXml.SelectPropertyByName("Absent", false));
    EXPECT_EQ(m_tXml.GetStringProperty(), "");
    const struct
    {
        std::function<void()> set;
        const char* parameter;
    } setters[] = {
        {[&] { m_tXml.SetStringProperty("x"); }, "Can not set string value"},
        {[&] { m_tXml.SetIntProperty(1); }, "Can not set number value"},
        {[&] { m_tXml.SetFloatProperty(1); }, "Can not set number value"},
        {[&] { m_tXml.SetIntArrayProperty(values, 1); }, "Can not set number values"},
        {[&] { m_tXml.SetFloatArrayProperty(floats, 1); }, "Can not set number values"},
        {[&] { m_tXml.SetListProperty(aBoolItems, 1); }, "Can not set list value"},
        {[&] { m_tXml.SetPropertyError("E", "T"); }, "Can not set error code"},
    };
    for (const auto& s : setters)
    {
        try
        {
            s.set();
            ADD_FAILURE() << s.parameter;
        }
        catch (const CQTXEXmlError& e)
        {
            EXPECT_EQ(e.ErrorText(), "MissingXMLNode");
            EXPECT_EQ(e.ErrorParameter(), s.parameter);
            EXPECT_EQ(e.ErrorSeverity(), Error);
            EXPECT_NE(e.ErrorLocation().find("QTXXml"), std::string::npos);
        }
    }
    m_tXml.SelectPropertyByName("Offset", false);
    EXPECT_THROW(m_tXml.SetIntArrayProperty(values, -1), CQTXEXmlError);
}

TEST_F(QTXXml, ReadFamilyRecordsRefusalsOnTheProperty)
{
    SelectSignal0();
    int32_t ints[3];
    double floats[2];
    const struct
    {
        std::function<bool()> read;
        const char* property;
        bool ok;
        const char* error;
        const char* text;
    } cases[] = {
        {[&] { return m_tXml.ReadIntProperty("Gain", ints, 2, true, 0, 10, false); }, "Gain", true,
         "", ""},
        {[&] { return m_tXml.ReadIntProperty("Gain", ints, 3, true, 0, 5, false); }, "Gain", false,
         "WrongValue", "Value 8 is not in the range [0..5]"},
        {[&] { return m_tXml.ReadIntProperty("Order", ints, 2, false, 0, 0, false); }, "Order",
         false, "MissingProperty", "Signal property Order is missing"},
        {[&] { return m_tXml.ReadIntProperty("Offset", ints, 1, false, 0, 0, false); }, "Offset",
         false, "FloatValuesNotAllowed", "Found a float value, but only integer is allowed"},
        {[&] { return m_tXml.ReadIntProperty("Offset", ints, 2, false, 0, 0, true); }, "Offset",
         false, "WrongNumberOfValues", "Got 1 integer values, but expected 2"},
        {[&] { return m_tXml.ReadFloatProperty("Scale", floats, 1, true, 0.5, 1); }, "Scale", false,
         "WrongValue", "Value 0.25 is not in the range [0.5..1]"},
        {[&] { return m_tXml.ReadFloatProperty("Scale", floats, 2, false, 0, 0); }, "Scale", false,
         "WrongNumberOfValues", "Got 1 integer values, but expected 2"},
        {[&]
         {
             int v;
             return m_tXml.ReadListProperty("Mode", &v, aVraTypeItems, true, 1, 9, true);
         },
         "Mode", false, "WrongValue", "This value is not allowed"},
        {[&]
         {
             uint32_t flags = 0;
             return m_tXml.ReadBooleanProperty("Mode", &flags, 3);
         },
         "Mode", false, "WrongValue", "Allowed values are true and false"},
        {[&]
         {
             std::string s;
             return m_tXml.ReadStringProperty("Missing", &s);
         },
         "Missing", false, "MissingProperty", "Signal property Missing is missing"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.read(), c.ok);
        if (!c.ok)
        {
            EXPECT_EQ(PropertyAttribute(c.property, "Error"), c.error);
            EXPECT_EQ(PropertyAttribute(c.property, "ErrorNo"), c.text);
        }
    }
    // Values that pass; reading stops at the count.
    ints[2] = -1;
    EXPECT_TRUE(m_tXml.ReadIntProperty("Gain", ints, 2, true, 2, 4, false));
    EXPECT_EQ(ints[1], 4);
    EXPECT_EQ(ints[2], -1);
    EXPECT_TRUE(m_tXml.ReadIntProperty("Offset", ints, 1, true, 0, 1, true));
    EXPECT_EQ(ints[0], 1);
    EXPECT_TRUE(m_tXml.ReadFloatProperty("Offset", floats, 1, true, 1, 2));
    EXPECT_DOUBLE_EQ(floats[0], 1.5);
    uint32_t flags = 0xF0;
    EXPECT_TRUE(m_tXml.ReadBooleanProperty("Enable", &flags, 0));
    EXPECT_EQ(flags, 0xF1u);
    m_tXml.WriteStringProperty("Enable", std::string("false"));
    EXPECT_TRUE(m_tXml.ReadBooleanProperty("Enable", &flags, 4));
    EXPECT_EQ(flags, 0xE1u);
    int mode = -7;
    EXPECT_TRUE(m_tXml.ReadListProperty("Mode", &mode, aVraTypeItems, true, 0, 9, false));
    EXPECT_EQ(mode, 0);
    std::string text;
    EXPECT_TRUE(m_tXml.ReadStringProperty("Mode", &text));
    EXPECT_EQ(text, "Digital");

    // The quiet variant adds the property but records nothing on it.
    EXPECT_FALSE(m_tXml.ReadBooleanPropertyNoError("Quiet", &flags, 1));
    EXPECT_EQ(PropertyAttribute("Quiet", "Error"), "");
    EXPECT_EQ(PropertyAttribute("Quiet", "Name"), "Quiet");

    // A second refusal replaces the first.
    m_tXml.SelectPropertyByName("Gain", false);
    m_tXml.SetPropertyError("E2", std::string("second"));
    EXPECT_EQ(PropertyAttribute("Gain", "Error"), "E2");
    EXPECT_EQ(PropertyAttribute("Gain", "ErrorNo"), "second");
}

TEST_F(QTXXml, ErrorsGoIntoTheErrorsSection)
{
    m_tXml.SetError(CQTXError("Busy", "later", "QTX.cpp", 12, Note));
    m_tXml.SetError(CQTXEParameterError("Odd", "a \"quoted\" <text>", nullptr, 0, Warning));
    m_tXml.SetError(CQTXError("Strange", "p", nullptr, 0, UndefinedError));
    m_tXml.SetError(CQTXError("Broken", "p", nullptr, 0, FatalError)); // number -260: no ErrorNr
    const struct
    {
        short number;
        const char* name;
        const char* text;
    } standard[] = {
        {-256, "NoXml", "Device does not support XML format"},
        {-257, "RootTagUnknown", "RootTag is unknown"},
        {-258, "NoMemory", "Not enough free memory is currently available on the device"},
        {-259, "LengthShort", "Protocol error: length too short"},
        {-5, "InternalError", "InternalError"},
    };
    for (const auto& s : standard)
        m_tXml.SetStdError(s.number);
    m_tXml.SetStdError(0);
    m_tXml.SetStdError(17);

    std::string expected =
        "<Errors>"
        "<Info Type=\"GeneralError\" Name=\"Busy\" Text=\"later\" "
        "Location=\"(file QTX.cpp, line 12)\"/>"
        "<Warning Type=\"ParameterError\" Name=\"Odd\" "
        "Text=\"a &quot;quoted&quot; &lt;text&gt;\" Location=\"\"/>"
        "<Error Type=\"GeneralError\" Name=\"Strange\" Text=\"p\" Location=\"\"/>"
        "<Error Type=\"GeneralError\" Name=\"Broken\" Text=\"p\" Location=\"\"/>";
    for (const auto& s : standard)
        expected += std::string("<Error Type=\"GeneralError\" Name=\"") + s.name + "\" Text=\"" +
                    s.text + "\" Location=\"\" ErrorNr=\"" + std::to_string(s.number) + "\"/>";
    expected += "</Errors>";
    XMLNode root = m_tXml.GetXMLNodeRoot();
    EXPECT_EQ(root.nChildNode("errors"), 1);
    EXPECT_EQ(Text(root.getChildNode("Errors")), expected);

    CQTXXml empty;
    empty.SetError(CQTXError("x", "y", nullptr, 0)); // nothing loaded: nothing happens
    empty.SetStdError(-256);
    EXPECT_EQ(empty.GetType(), 0);
    EXPECT_TRUE(empty.Cfg_1st_Check(0));
}

TEST(QTXXmlStart, IsTheDeclarationAndTwoLineFeeds)
{
    EXPECT_EQ(sXmlStart, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n");
    EXPECT_EQ(sEmptyString, "");
    XMLResults r;
    XMLNode::parseString((sXmlStart + "<Ping/>").c_str(), "ping", &r);
    EXPECT_EQ(r.error, eXMLErrorNone);
}
