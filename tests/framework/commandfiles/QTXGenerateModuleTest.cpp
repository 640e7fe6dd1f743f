// The streaming module description writer: its documents against expected files, long texts
// beyond its buffer, and the second constructor's own head and root.
#include "QTXGenerateModule.h"

#include <gtest/gtest.h>

#include <string>

#include "KoveTestSupport.h"
#include "QTXError.h"
#include "QTXXml.h"
#include "xmlParser.h"

namespace
{
std::string Expected(const char* name)
{
    return kovetest::ReadFile(std::string(KOVE_TEST_FOLDER) + "/expected/" + name);
}
} // namespace

TEST(QTXGenerateModule, DocumentsAsExpected)
{
    kovetest::CTempDir dir;
    const std::string path = dir.Path() + "/Module.xml";
    {
        CQTXGenerateModule writer(path.c_str(), "Mod", "A module", "user", 50);
        writer.Close();
    }
    EXPECT_EQ(Expected("ModuleEmpty.xml"), kovetest::ReadFile(path));

    {
        CQTXGenerateModule writer(path.c_str(), "Mod", "A module", "user", 50);
        writer.AddProperty("Serial", "12"); // before any list: an unnamed one
        writer.AddNamedPropertyList("");    // no name: nothing
        writer.AddNamedPropertyList("Filter");
        writer.AddProperty("Order", "4");
        writer.AddComment("inputs follow");
        writer.AddSignalList("AnalogIn", 2, true);
        writer.AddSignal(1, "U1", "first", VraINT, "V", -10, 10);
        writer.AddProperty("Gain", "2");
        writer.AddSignal(2, "U2", "a < b", VraFLOAT, "V", 0, 1); // a float gets no range
        writer.AddSignalList("DigitalOut", 1, false);
        writer.AddSignal(1, "D", nullptr, VraDigital, nullptr, 0, 1);
        // The destructor closes what is open.
    }
    EXPECT_EQ(Expected("Module.xml"), kovetest::ReadFile(path));
}

TEST(QTXGenerateModule, LongTextsPassThroughTheBufferWhole)
{
    kovetest::CTempDir dir;
    const std::string path = dir.Path() + "/Long.xml";
    const std::string value(40000, 'v');
    const std::string description(20000, 'd');
    {
        CQTXGenerateModule writer(path.c_str(), "<Head>\n", "Head");
        writer.AddProperty("Big", value.c_str());
        writer.AddComment(std::string(17000, 'c').c_str());
        writer.AddSignalList("L", 300, true);
        for (int i = 0; i < 300; ++i)
            writer.AddSignal(i, "u", description.c_str(), VraWORD, "mA", 0, 20);
        writer.Close();
    }
    const std::string text = kovetest::ReadFile(path);
    EXPECT_EQ(0u, text.find("<Head>\n\t<Properties>\n\t\t<Property Name=\"Big\" Value=\"" + value +
                            "\" />\n\t\t<!-- "));
    EXPECT_EQ("</Head>", text.substr(text.size() - 7));
    // The document is whole: it parses, with every signal and its description.
    XMLNode root = XMLNode::parseString(text.c_str(), "Head");
    ASSERT_FALSE(root.isEmpty());
    XMLNode signals = root.getChildNode("Signals");
    ASSERT_EQ(300, signals.nChildNode("Signal"));
    EXPECT_EQ(description,
              signals.getChildNode("Signal", 299).getChildNode("Description").getText());
    EXPECT_STREQ(
        "0", signals.getChildNode("Signal", 0).getChildNode("SignalType").getAttribute("MinValue"));
}

TEST(QTXGenerateModule, FileThatCannotBeWritten)
{
    try
    {
        CQTXGenerateModule writer("/nonexistent-dir/x.xml", "M", "", "", 0);
        ADD_FAILURE();
    }
    catch (const CQTXError& e)
    {
        EXPECT_EQ("CanNotWriteFile", e.ErrorText());
        EXPECT_EQ("Can not write to file /nonexistent-dir/x.xml", e.ErrorParameter());
    }
    // A device without room: the short write is reported when closing.
    CQTXGenerateModule writer("/dev/full", "<A>", "A");
    writer.AddProperty("x", "y");
    EXPECT_THROW(writer.Close(), CQTXError);
}
