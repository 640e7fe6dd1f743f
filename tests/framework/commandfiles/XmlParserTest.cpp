#include "xmlParser.h"

#include "KoveTestSupport.h"
#include "QTXError.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>

namespace
{
std::string Text(const XMLNode& node, int format = 1)
{
    int size = -1;
    XMLSTR s = node.createXMLString(format, &size);
    std::string out = s != nullptr ? std::string(s, static_cast<size_t>(size)) : "<null>";
    XMLNode::freeXMLString(s);
    return out;
}

XMLError ParseCode(const std::string& text, XMLResults* results = nullptr)
{
    XMLResults r;
    XMLNode::parseString(text.c_str(), nullptr, &r);
    if (results != nullptr)
        *results = r;
    return r.error;
}

void WriteFile(const std::string& path, const std::string& content)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

// Every test starts from the default options of its thread.
class XmlParser : public ::testing::Test
{
protected:
    void SetUp() override { XMLNode::setGlobalOptions(); }
    void TearDown() override { XMLNode::setGlobalOptions(); }
    kovetest::CTempDir m_tDir;
};
} // namespace

TEST_F(XmlParser, NavigatesWithoutRegardToCase)
{
    XMLResults r;
    XMLNode top = XMLNode::parseString("<?xml version=\"1.0\"?>\n"
                                       "<Root Name=\"a\" flag name=\"b\">\n"
                                       "  <Signal Number=\"1\"/> text one <signal Number=\"2\"/>\n"
                                       "  <Other/><SIGNAL Number=\"3\">inner</SIGNAL>\n"
                                       "</Root>",
                                       nullptr, &r);
    ASSERT_EQ(r.error, eXMLErrorNone);
    EXPECT_EQ(top.getName(), nullptr);
    ASSERT_EQ(top.nChildNode(), 2);
    EXPECT_TRUE(top.getChildNode(0).isDeclaration());
    EXPECT_STREQ(top.getChildNode(0).getAttribute("version"), "1.0");

    XMLNode root = top.getChildNode("root");
    ASSERT_FALSE(root.isEmpty());
    EXPECT_EQ(root.nChildNode("signal"), 3);

    int i = 0;
    std::string numbers;
    for (XMLNode s = root.getChildNode("signal", &i); !s.isEmpty();
         s = root.getChildNode("signal", &i))
        numbers += s.getAttribute("number");
    EXPECT_EQ(numbers, "123");
    EXPECT_EQ(i, 4); // behind the third signal, the fourth child
    EXPECT_TRUE(root.getChildNode("signal", &i).isEmpty());
    EXPECT_STREQ(root.getChildNode("Signal", 2).getText(), "inner");

    int j = 0;
    EXPECT_STREQ(root.getAttribute("NAME", &j), "a");
    EXPECT_EQ(j, 1);
    EXPECT_STREQ(root.getAttribute("NAME", &j), "b");
    EXPECT_EQ(root.getAttribute("NAME", &j), nullptr);
    EXPECT_EQ(root.getAttribute("flag"), nullptr); // no value
    EXPECT_TRUE(root.isAttributeSet("FLAG"));
    EXPECT_FALSE(root.isAttributeSet("missing"));

    EXPECT_STREQ(root.getText(0), "text one");
    EXPECT_EQ(root.getText(1), nullptr);
    EXPECT_TRUE(root.getChildNode("none").isEmpty());
    EXPECT_TRUE(emptyXMLNode.getChildNode("x").isEmpty());
    EXPECT_EQ(emptyXMLNode.getAttribute("x"), nullptr);
}

TEST_F(XmlParser, DecodesEntitiesAndCharacterReferences)
{
    const struct
    {
        const char* text;
        const char* decoded;
        XMLError error;
    } cases[] = {
        {"a &amp; b &lt;c&gt; &quot;d&quot; &apos;e&apos;", "a & b <c> \"d\" 'e'", eXMLErrorNone},
        {"&#65;&#x42;&#X43;", "ABC", eXMLErrorNone},
        {"&#233;", "\xC3\xA9", eXMLErrorNone}, // UTF-8 mode writes the code as UTF-8
        {"&#255;", "\xC3\xBF", eXMLErrorNone},
        {"&#256;", nullptr, eXMLErrorCharacterCodeAbove255},
        {"&#x20AC;", nullptr, eXMLErrorCharacterCodeAbove255},
        {"&nbsp;", nullptr, eXMLErrorUnknownCharacterEntity},
        {"&AMP;", nullptr, eXMLErrorUnknownCharacterEntity},
        {"a & b", nullptr, eXMLErrorUnknownCharacterEntity},
        {"&#;", nullptr, eXMLErrorUnknownCharacterEntity},
        {"&#x;", nullptr, eXMLErrorUnknownCharacterEntity},
        {"&#12a;", nullptr, eXMLErrorUnknownCharacterEntity},
        {"&#0;", nullptr, eXMLErrorUnknownCharacterEntity},
        {"&amp", nullptr, eXMLErrorUnknownCharacterEntity},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        for (bool inAttribute : {false, true})
        {
            const std::string doc = inAttribute ? std::string("<a v=\"") + c.text + "\"/>"
                                                : std::string("<a>") + c.text + "</a>";
            XMLResults r;
            XMLNode a = XMLNode::parseString(doc.c_str(), "a", &r);
            ASSERT_EQ(r.error, c.error);
            if (c.decoded != nullptr)
                EXPECT_STREQ(inAttribute ? a.getAttribute("v") : a.getText(), c.decoded);
            else
                EXPECT_TRUE(a.isEmpty());
        }
    }

    // The tree is UTF-8 also when the text is read in the single-byte encoding.
    XMLNode::setGlobalOptions(XMLNode::char_encoding_legacy);
    EXPECT_STREQ(XMLNode::parseString("<a>&#233;\xE9</a>", "a").getText(), "\xC3\xA9\xC3\xA9");
}

TEST_F(XmlParser, ManyAttributesAndDecodedItemsKeepTheirBytes)
{
    // Tags of up to 60 attributes, one after the other: their lists fill the parse's memory
    // blocks and run past their ends. Values with references shrink where they stand; a name
    // without a value may end right at the tag's end.
    const auto value = [](int e, int k)
    {
        switch ((e + k) % 4)
        {
        case 0:
            return std::to_string(e * 100 + k);
        case 1:
            return "x &amp; " + std::to_string(k) + "&lt;&#65;&#233;";
        case 2:
            return std::string();
        default:
            return std::string(static_cast<size_t>(k % 23), 'v');
        }
    };
    const auto decoded = [&value](int e, int k)
    {
        if ((e + k) % 4 == 1)
            return "x & " + std::to_string(k) + "<A\xC3\xA9";
        return value(e, k);
    };
    const int elements = 600;
    std::string doc = "<Root>";
    for (int e = 0; e < elements; ++e)
    {
        doc += "<E" + std::to_string(e);
        for (int k = 0; k < e % 61; ++k)
            doc += (k % 2 ? " Attribute" : "\ta") + std::to_string(k) + (k % 3 ? "=\"" : " = '") +
                   value(e, k) + (k % 3 ? "\"" : "'");
        doc += e % 3 == 0   ? " flag/>"
               : e % 3 == 1 ? " flag>t&gt;" + std::to_string(e) + "</E" + std::to_string(e) + ">"
                            : "/>";
    }
    doc += "</Root>";
    XMLResults r;
    XMLNode root = XMLNode::parseString(doc.c_str(), "Root", &r);
    ASSERT_EQ(r.error, eXMLErrorNone);
    ASSERT_EQ(root.nChildNode(), elements);
    for (int e = 0; e < elements; ++e)
    {
        SCOPED_TRACE(e);
        XMLNode element = root.getChildNode(e);
        EXPECT_EQ(element.getName(), "E" + std::to_string(e));
        const int count = e % 61;
        ASSERT_EQ(element.nAttribute(), count + (e % 3 != 2 ? 1 : 0));
        for (int k = 0; k < count; ++k)
        {
            XMLAttribute a = element.getAttribute(k);
            EXPECT_EQ(a.lpszName, (k % 2 ? "Attribute" : "a") + std::to_string(k));
            EXPECT_EQ(a.lpszValue, decoded(e, k));
        }
        if (e % 3 != 2)
        {
            EXPECT_STREQ(element.getAttributeName(count), "flag");
            EXPECT_EQ(element.getAttributeValue(count), nullptr);
        }
        if (e % 3 == 1)
        {
            EXPECT_EQ(element.getText(), "t>" + std::to_string(e));
        }
    }

    // A decoded text joins the one behind a dropped comment.
    XMLNode a = XMLNode::parseString("<a>x&amp;y <!-- c --> &lt;z&#65;</a>", "a");
    ASSERT_EQ(a.nText(), 1);
    EXPECT_STREQ(a.getText(), "x&y<zA");
}

TEST_F(XmlParser, KeepsClearSectionsAsTheyStand)
{
    const char* doc = "<!DOCTYPE note SYSTEM \"x.dtd\"><a><![CDATA[<b>&amp;</b>]]>"
                      "<PRE> keep  <this> </PRE><!-- note & --></a>";
    XMLResults r;
    XMLNode top = XMLNode::parseString(doc, nullptr, &r);
    ASSERT_EQ(r.error, eXMLErrorNone);
    ASSERT_EQ(top.nClear(), 1);
    EXPECT_STREQ(top.getClear(0).lpszValue, " note SYSTEM \"x.dtd\"");
    XMLNode a = top.getChildNode("a");
    ASSERT_EQ(a.nClear(), 3);
    EXPECT_STREQ(a.getClear(0).lpszValue, "<b>&amp;</b>");
    EXPECT_STREQ(a.getClear(0).lpszOpenTag, "<![CDATA[");
    EXPECT_STREQ(a.getClear(1).lpszValue, " keep  <this> ");
    EXPECT_STREQ(a.getClear(2).lpszCloseTag, "-->");
    EXPECT_EQ(Text(top, 0), doc);
}

TEST_F(XmlParser, WhiteSpaceAndCommentsFollowTheOptions)
{
    const char* doc = "<a>\n\t first <!-- c --> second \r\n<b/>  </a>";
    XMLNode a = XMLNode::parseString(doc, "a");
    ASSERT_EQ(a.nText(), 1);
    EXPECT_STREQ(a.getText(0), "firstsecond");
    EXPECT_EQ(a.nClear(), 0);

    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 1, 1, 0);
    a = XMLNode::parseString(doc, "a");
    ASSERT_EQ(a.nText(), 2);
    EXPECT_STREQ(a.getText(1), "second");
    EXPECT_EQ(a.nClear(), 1);

    // Without dropping white space, texts stay whole and the writer adds no layout.
    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 1, 0, 0);
    a = XMLNode::parseString(doc, "a");
    ASSERT_EQ(a.nText(), 3);
    EXPECT_STREQ(a.getText(0), "\n\t first ");
    EXPECT_STREQ(a.getText(2), "  ");
    // a carriage return comes as a reference (a reader folds a raw one into a line feed)
    EXPECT_EQ(Text(a, 1), "<a>\n\t first <!-- c --> second &#13;\n<b/>  </a>");
    EXPECT_STREQ(XMLNode::parseString(Text(a, 1).c_str(), "a").getText(1), " second \r\n");
}

TEST_F(XmlParser, WritesTheAgreedLayoutAndEscapes)
{
    XMLNode top = XMLNode::createXMLTopNode(nullptr);
    XMLNode decl = top.addChild("xml", 1);
    decl.addAttribute("version", "1.0");
    decl.addAttribute("encoding", "utf-8");
    XMLNode root = top.addChild("Root");
    root.addAttribute("Name", "a<b>&\"c'");
    root.addAttribute("flag", nullptr);
    root.addChild("Empty");
    root.addChild("UserText").addText("x < y & z");
    root.addText("loose");
    XMLNode list = root.addChild("List");
    list.addChild("Item").addAttribute("Value", "1");
    list.addClear("raw <&>");

    EXPECT_EQ(Text(top, 1), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                            "<Root Name=\"a&lt;b&gt;&amp;&quot;c&apos;\" flag>\n"
                            "\t<Empty/>\n"
                            "\t<UserText>x &lt; y &amp; z</UserText>\n"
                            "\tloose\n"
                            "\t<List>\n"
                            "\t\t<Item Value=\"1\"/>\n"
                            "\t\t<![CDATA[raw <&>]]>\n"
                            "\t</List>\n"
                            "</Root>\n");
    EXPECT_EQ(Text(top, 0), "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                            "<Root Name=\"a&lt;b&gt;&amp;&quot;c&apos;\" flag><Empty/>"
                            "<UserText>x &lt; y &amp; z</UserText>loose"
                            "<List><Item Value=\"1\"/><![CDATA[raw <&>]]></List></Root>");

    // Both forms read back to the same tree.
    for (int format : {0, 1})
    {
        XMLResults r;
        XMLNode again = XMLNode::parseString(Text(top, format).c_str(), nullptr, &r);
        ASSERT_EQ(r.error, eXMLErrorNone);
        EXPECT_EQ(Text(again, 1), Text(top, 1));
        EXPECT_STREQ(again.getChildNode("root").getAttribute("name"), "a<b>&\"c'");
    }

    // Tabs and line ends in attribute values come as references (a reader makes blanks of raw
    // ones); in texts a carriage return does (a reader folds a raw one, alone or before a line
    // feed, into a line feed), tabs and line feeds stand as they are. Every reader gets the
    // text back as it was; values written raw before still read the same.
    XMLNode plain = XMLNode::createXMLTopNode("P");
    plain.addAttribute("V", "a\tb\r\nc\n");
    plain.addText("x\ty\r\nz\rw\nv");
    EXPECT_EQ(Text(plain, 0), "<P V=\"a&#9;b&#13;&#10;c&#10;\">x\ty&#13;\nz&#13;w\nv</P>");
    for (int format : {0, 1})
    {
        XMLNode back = XMLNode::parseString(Text(plain, format).c_str(), "P");
        EXPECT_STREQ(back.getAttribute("V"), "a\tb\r\nc\n");
        EXPECT_STREQ(back.getText(), "x\ty\r\nz\rw\nv");
    }
    EXPECT_STREQ(XMLNode::parseString("<P V=\"a\tb\r\nc\"/>", "P").getAttribute("V"), "a\tb\r\nc");

    int size = 5;
    EXPECT_EQ(emptyXMLNode.createXMLString(1, &size), nullptr);
    EXPECT_EQ(size, 0);
}

TEST_F(XmlParser, WriteToFileAddsMarkAndDeclarationOnce)
{
    const std::string path = m_tDir.Path() + "/out.xml";
    auto read = [&]() { return kovetest::ReadFile(path); };

    XMLNode plain = XMLNode::parseString("<a>&lt;</a>");
    ASSERT_EQ(plain.writeToFile(path.c_str()), eXMLErrorNone);
    EXPECT_EQ(read(), "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a>&lt;</a>\n");

    XMLNode own = XMLNode::parseString("<?xml version=\"1.0\"?><a/>");
    ASSERT_EQ(own.writeToFile(path.c_str(), "ignored", 0), eXMLErrorNone);
    EXPECT_EQ(read(), "\xEF\xBB\xBF<?xml version=\"1.0\"?><a/>");
    // and it reads back without a second declaration or a stray text
    XMLNode back = XMLNode::parseFile(path.c_str());
    EXPECT_EQ(back.nChildNode(), 2);
    EXPECT_EQ(back.nText(), 0);

    XMLNode::setGlobalOptions(XMLNode::char_encoding_legacy);
    ASSERT_EQ(plain.writeToFile(path.c_str(), nullptr, 0), eXMLErrorNone);
    EXPECT_EQ(read(), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<a>&lt;</a>");
    ASSERT_EQ(plain.writeToFile(path.c_str(), "windows-1252", 0), eXMLErrorNone);
    EXPECT_EQ(read(), "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<a>&lt;</a>");
    XMLNode::setGlobalOptions(XMLNode::char_encoding_ShiftJIS);
    ASSERT_EQ(plain.writeToFile(path.c_str(), "x", 0), eXMLErrorNone);
    EXPECT_EQ(read(), "<?xml version=\"1.0\" encoding=\"SHIFT-JIS\"?>\n<a>&lt;</a>");

    const std::string missingDir = m_tDir.Path() + "/none/out.xml";
    EXPECT_EQ(plain.writeToFile(missingDir.c_str()), eXMLErrorCannotOpenWriteFile);
    EXPECT_EQ(emptyXMLNode.writeToFile(missingDir.c_str()), eXMLErrorNone);
    if (FILE* full = fopen("/dev/full", "wb"))
    {
        fclose(full);
        EXPECT_EQ(plain.writeToFile("/dev/full"), eXMLErrorCannotWriteFile);
    }
}

TEST_F(XmlParser, EveryCodeHasItsText)
{
    const char* texts[] = {"No error",
                           "Warning: Unmatched end tag",
                           "Warning: No XML tag found",
                           "Error: No XML data",
                           "Error: Missing start tag name",
                           "Error: Missing end tag name",
                           "Error: Unmatched end tag",
                           "Error: Unmatched clear tag end",
                           "Error: Unexpected token found",
                           "Error: No elements found",
                           "Error: File not found",
                           "Error: First Tag not found",
                           "Error: Unknown character entity",
                           "Error: Character code above 255 is forbidden in MultiByte char mode.",
                           "Error: unable to convert between WideChar and MultiByte chars",
                           "Error: unable to open file for writing",
                           "Error: cannot write into file",
                           "Warning: Base64-string length is not a multiple of 4",
                           "Error: Base64-string contains an illegal character",
                           "Warning: Base64-string is truncated",
                           "Error: Base64 decode output buffer is too small",
                           "Error: Elements nested too deeply",
                           "Error: Too many elements, attributes and texts",
                           "Error: Byte sequence not valid in UTF-8",
                           "Error: Character encoding not convertible to UTF-8",
                           "Error: Document too long to write"};
    for (int code = 0; code < 26; ++code)
        EXPECT_STREQ(XMLNode::getError(static_cast<XMLError>(code)), texts[code]) << code;
    EXPECT_STREQ(XMLNode::getError(static_cast<XMLError>(26)), "Unknown");
    EXPECT_STREQ(XMLNode::getError(static_cast<XMLError>(-1)), "Unknown");
}

TEST_F(XmlParser, MalformedDocumentsGiveTheirCode)
{
    const struct
    {
        std::string text;
        XMLError error;
        int line;
        int column;
    } cases[] = {
        {"", eXMLErrorEmpty, 1, 1},
        {" \r\n\t ", eXMLErrorEmpty, 2, 3},
        {"\xEF\xBB\xBF", eXMLErrorEmpty, 1, 1},
        {"just text", eXMLErrorNoElements, 1, 10},
        {"<?xml version=\"1.0\"?><!-- only -->", eXMLErrorNoElements, 1, 35},
        {"<a>\n  <b></a>", eXMLWarningUnmatchedEndTag, 2, 6},
        {"<a><b>", eXMLWarningUnmatchedEndTag, 1, 4},
        {"<a></b>", eXMLErrorUnmatchedEndTag, 1, 4},
        {"</a>", eXMLErrorUnmatchedEndTag, 1, 1},
        {"<a/></a>", eXMLErrorUnmatchedEndTag, 1, 5},
        {"<a>< b/></a>", eXMLErrorMissingTagName, 1, 4},
        {"<", eXMLErrorMissingTagName, 1, 1},
        {"<?>", eXMLErrorMissingTagName, 1, 1},
        {"<a></ >", eXMLErrorMissingEndTagName, 1, 4},
        {"<a><!-- open", eXMLErrorUnmatchedEndClearTag, 1, 4},
        {"<a><![CDATA[x]]</a>", eXMLErrorUnmatchedEndClearTag, 1, 4},
        {"<a b=c/>", eXMLErrorUnexpectedToken, 1, 6},
        {"<a b=\"1/>", eXMLErrorUnexpectedToken, 1, 6},
        {"<a b", eXMLErrorUnexpectedToken, 1, 1},
        {"<a></a", eXMLErrorUnexpectedToken, 1, 4},
        {"<a><!ENTITY x></a>", eXMLErrorUnexpectedToken, 1, 4},
        {"<?xml version=\"1.0\"><a/>", eXMLErrorUnexpectedToken, 1, 20},
        {std::string("<a>x\0y</a>", 10), eXMLErrorUnexpectedToken, 1, 5},
        {"<a>\n&bogus;</a>", eXMLErrorUnknownCharacterEntity, 2, 1},
    };
    const std::string path = m_tDir.Path() + "/bad.xml";
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        // Files carry every byte; a text ends at its first zero byte.
        WriteFile(path, c.text);
        XMLResults r;
        XMLNode node = XMLNode::parseFile(path.c_str(), nullptr, &r);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.nLine, c.line);
        EXPECT_EQ(r.nColumn, c.column);
        EXPECT_EQ(node.isEmpty(), c.error >= eXMLErrorEmpty);
    }
}

TEST_F(XmlParser, UnmatchedEndTagClosesTheOpenElements)
{
    XMLResults r;
    XMLNode top = XMLNode::parseString("<a><b><c></b><d/></a>", nullptr, &r);
    EXPECT_EQ(r.error, eXMLWarningUnmatchedEndTag);
    XMLNode a = top.getChildNode("a");
    EXPECT_EQ(a.getChildNode("b").getChildNode("c").nChildNode(), 0);
    EXPECT_FALSE(a.getChildNode("d").isEmpty());
}

TEST_F(XmlParser, HostileInputEndsInAnError)
{
    // Every cut of a valid document parses or fails cleanly; a buffer is read up to its length
    // only, whatever stands behind it (here the rest of the document).
    const std::string doc = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE x>"
                            "<Root Name=\"a&amp;b\"><![CDATA[c]]><!-- d --><S N='1'>"
                            "t&#65;</S><PRE>p</PRE></Root>";
    for (size_t n = 0; n <= doc.size(); ++n)
    {
        XMLResults r;
        XMLNode::parseString(doc.substr(0, n).c_str(), nullptr, &r);
        if (n == doc.size())
            EXPECT_EQ(r.error, eXMLErrorNone);
        else
            EXPECT_NE(r.error, eXMLErrorNone) << n;
        XMLResults fromBuffer;
        XMLNode::openBufferHelper(doc.data(), n, nullptr, &fromBuffer);
        EXPECT_EQ(fromBuffer.error, r.error) << n;
        EXPECT_EQ(fromBuffer.nColumn, r.nColumn) << n;
    }

    // Random bytes, with and without markup characters mixed in.
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round)
    {
        std::string garbage(1 + random() % 400, '\0');
        for (char& c : garbage)
            c = round % 2 ? "<>/=?!&;\"' ax#"[random() % 14] : static_cast<char>(random() % 256);
        XMLResults r;
        XMLNode node = XMLNode::parseString(garbage.c_str(), "x", &r);
        for (int e = XMLNode::char_encoding_UTF8; e <= XMLNode::char_encoding_GBK; ++e)
        {
            XMLNode::setGlobalOptions(static_cast<XMLNode::XMLCharEncoding>(e));
            XMLNode top = XMLNode::parseString(garbage.c_str(), nullptr, &r);
            XMLNode::freeXMLString(top.createXMLString(1));
        }
    }
    XMLNode::setGlobalOptions();

    // Nesting: the limit is accepted, one more and far more are refused.
    auto nested = [](int depth)
    {
        std::string s;
        for (int i = 0; i < depth; ++i)
            s += "<e>";
        for (int i = 0; i < depth; ++i)
            s += "</e>";
        return s;
    };
    XMLResults r;
    EXPECT_EQ(ParseCode(nested(XML_MAX_NESTING_DEPTH)), eXMLErrorNone);
    EXPECT_EQ(ParseCode(nested(XML_MAX_NESTING_DEPTH + 1), &r), eXMLErrorNestingTooDeep);
    EXPECT_EQ(r.nColumn, 3 * XML_MAX_NESTING_DEPTH + 1);
    EXPECT_EQ(ParseCode(nested(100000)), eXMLErrorNestingTooDeep);

    // A 10 MiB attribute value is data like any other; an unclosed one is an error.
    const std::string big(10 << 20, 'v');
    XMLNode a = XMLNode::parseString(("<a v=\"" + big + "\"/>").c_str(), "a", &r);
    ASSERT_EQ(r.error, eXMLErrorNone);
    EXPECT_EQ(strlen(a.getAttribute("v")), big.size());
    EXPECT_EQ(ParseCode("<a v=\"" + big), eXMLErrorUnexpectedToken);
}

TEST_F(XmlParser, DeepTreesAreWrittenAndFreedWithoutRecursion)
{
    XMLNode top = XMLNode::createXMLTopNode("r");
    XMLNode n = top;
    for (int i = 0; i < 200000; ++i)
        n = n.addChild("e");
    n.addText("leaf");
    int size = 0;
    XMLSTR s = top.createXMLString(0, &size);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(size, 3 + 200000 * 7 + 4 + 4);
    XMLNode::freeXMLString(s);
    top = XMLNode();
    // The last element outlives its tree while a handle holds it.
    EXPECT_STREQ(n.getText(), "leaf");
    EXPECT_TRUE(n.getParentNode().isEmpty());
}

TEST_F(XmlParser, HandlesShareAndOutliveTheirTree)
{
    XMLNode child;
    {
        XMLNode top = XMLNode::parseString("<a><b x=\"1\"><c/></b><d/></a>");
        child = top.getChildNode("a").getChildNode("b");
        XMLNode copy = child;
        EXPECT_TRUE(copy == child);
        EXPECT_STREQ(child.getParentNode().getName(), "a");
    }
    EXPECT_STREQ(child.getAttribute("x"), "1");
    EXPECT_EQ(child.nChildNode(), 1);
    EXPECT_TRUE(child.getParentNode().isEmpty());

    // With a tag, the found element is the result.
    XMLResults r;
    XMLNode d = XMLNode::parseString("<?xml version=\"1.0\"?><a><d/></a><D k=\"v\"/>", "d", &r);
    EXPECT_EQ(r.error, eXMLErrorNone);
    EXPECT_STREQ(d.getAttribute("k"), "v");
    EXPECT_TRUE(XMLNode::parseString("<a><d/></a>", "d", &r).isEmpty());
    EXPECT_EQ(r.error, eXMLErrorFirstTagNotFound);

    // Deleting a node detaches it; handles on its former children stay usable.
    XMLNode top = XMLNode::parseString("<a><b><c>t</c></b><d/></a>");
    XMLNode b = top.getChildNode("a").getChildNode("b");
    XMLNode c = b.getChildNode("c");
    XMLNode alias = b;
    b.deleteNodeContent();
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(alias.nChildNode(), 0);
    EXPECT_EQ(Text(top, 0), "<a><d/></a>");
    EXPECT_STREQ(c.getText(), "t");
    top.getChildNode("a").emptyNode();
    EXPECT_EQ(Text(top, 0), "");

    // What editing adds to a parsed tree goes with it, or lives on while a handle holds it.
    XMLNode added;
    {
        XMLNode parsed = XMLNode::parseString("<a x=\"1\"><b/></a>");
        XMLNode a = parsed.getChildNode("a");
        a.updateAttribute("2", nullptr, "x");
        a.getChildNode("b").addText("kept");
        added = a.addChild("e");
        added.addText("t");
        EXPECT_EQ(Text(parsed, 0), "<a x=\"2\"><b>kept</b><e>t</e></a>");
    }
    EXPECT_STREQ(added.getText(), "t");
    EXPECT_TRUE(added.getParentNode().isEmpty());
}

TEST_F(XmlParser, EditingKeepsDocumentOrder)
{
    XMLNode a = XMLNode::createXMLTopNode("a");
    a.addChild("last");
    a.addChild("first", 0, 0);
    a.addText("middle", 1);
    a.addAttribute("k", "1");
    EXPECT_EQ(Text(a, 0), "<a k=\"1\"><first/>middle<last/></a>");
    ASSERT_EQ(a.nElement(), 4);
    EXPECT_EQ(a.enumContents(0).etype, eNodeAttribute);
    EXPECT_STREQ(a.enumContents(1).child.getName(), "first");
    EXPECT_STREQ(a.enumContents(2).text, "middle");
    EXPECT_EQ(a.enumContents(4).etype, eNodeNULL);

    // Views stay valid while other attributes are added.
    const char* k = a.getAttribute("k");
    for (int i = 0; i < 50; ++i)
        a.addAttribute("x", "y");
    EXPECT_STREQ(k, "1");

    a.updateAttribute("2", nullptr, "K");
    a.updateAttribute("3", "renamed", "k");
    a.updateAttribute("4", nullptr, "new");
    EXPECT_STREQ(a.getAttribute("renamed"), "3");
    EXPECT_STREQ(a.getAttributeName(0), "renamed");
    EXPECT_STREQ(a.getAttribute("new"), "4");
    a.updateAttribute("5", "byIndex", 0);
    EXPECT_STREQ(a.getAttribute("byIndex"), "5");
    const int count = a.nAttribute();
    a.updateAttribute("6", nullptr, 999);
    EXPECT_EQ(a.nAttribute(), count);
    a.updateAttribute("6", "added", 999);
    EXPECT_STREQ(a.getAttribute("added"), "6");
    a.updateText("changed", 0);
    a.updateText("appended", 7);
    EXPECT_STREQ(a.getText(0), "changed");
    EXPECT_STREQ(a.getText(1), "appended");
    a.deleteText(0);
    EXPECT_STREQ(a.getText(0), "appended");
    EXPECT_EQ(Text(a.getChildNode("last"), 0), "<last/>");
}

// Parsed names, values and texts stay in the document's memory while edits bring strings of
// their own: each must be freed exactly once, whether it is replaced, removed or outlives the
// document in a handle (the sanitizer build reports a leak or a double free).
TEST_F(XmlParser, EditsMixOwnStringsWithTheParsedOnes)
{
    XMLNode kept;
    {
        XMLNode top =
            XMLNode::parseString("<a n=\"1\" m=\"2\"><b>t<![CDATA[c]]>u</b><c v=\"x\"/></a>");
        XMLNode a = top.getChildNode("a");
        a.updateName("A");
        a.updateName(a.getName());                        // renamed to its own current name
        a.updateAttribute("10", nullptr, "n");            // value replaced, name parsed
        a.updateAttribute(a.getAttribute("m"), "M", "m"); // both from the attribute itself
        a.updateAttribute("30", "N", 0);
        a.deleteAttribute("M");
        XMLNode b = a.getChildNode("b");
        b.addText("s", 0);
        b.addClear("raw", nullptr, nullptr, 2);
        b.updateText("T", 1);
        b.deleteClear(0); // the added one
        EXPECT_EQ(Text(top, 0), "<A N=\"30\"><b>sT<![CDATA[c]]>u</b><c v=\"x\"/></A>");
        kept = a.getChildNode("c");
        kept.updateName("k");
        kept.updateAttribute("y", nullptr, "v");
        kept.addText("z");
    }
    EXPECT_EQ(Text(kept, 0), "<k v=\"y\">z</k>");
    kept.deleteText(0);
    EXPECT_EQ(kept.nText(), 0);
}

TEST_F(XmlParser, OptionsBelongToTheThreadThatSetsThem)
{
    EXPECT_EQ(XMLNode::setGlobalOptions(static_cast<XMLNode::XMLCharEncoding>(9), 0, 0, 0), 1);
    EXPECT_EQ(XMLNode::getCharEncoding(), XMLNode::char_encoding_UTF8);
    EXPECT_EQ(XMLNode::getDropWhiteSpace(), 0);
    EXPECT_EQ(XMLNode::getGuessWideChars(), 0);
    EXPECT_EQ(XMLNode::setGlobalOptions(XMLNode::char_encoding_legacy), 0);

    std::string other;
    std::thread worker(
        [&other]
        {
            // a new thread starts from the defaults and its own setting stays its own
            other = XMLNode::parseString("<a>&#233;</a>", "a").getText();
            XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8);
        });
    worker.join();
    EXPECT_EQ(other, "\xC3\xA9");
    EXPECT_EQ(XMLNode::getCharEncoding(), XMLNode::char_encoding_legacy);
    // read as ISO-8859-1 here, as UTF-8 there
    EXPECT_STREQ(XMLNode::parseString("<a>\xC3\xA9</a>", "a").getText(), "\xC3\x83\xC2\xA9");
}

TEST_F(XmlParser, GuessesTheEncodingOfAFile)
{
    const std::string pad(30, ' ');
    const struct
    {
        std::string start;
        XMLNode::XMLCharEncoding expected;
    } cases[] = {
        {"<?xml version=\"1.0\"?><a>\xC3\xA9</a>" + pad, XMLNode::char_encoding_UTF8},
        {"<?xml version=\"1.0\"?><a>\xE9t\xE9</a>" + pad, XMLNode::char_encoding_legacy},
        {"\xEF\xBB\xBF<?xml encoding=\"ISO-8859-1\"?><a>\xE9</a>" + pad,
         XMLNode::char_encoding_UTF8},
        {"<?xml version=\"1.0\" encoding=\"UTF8\"?><a>\xE9</a>" + pad, XMLNode::char_encoding_UTF8},
        {"<?xml version=\"1.0\" encoding='Shift-JIS'?><a/>" + pad, XMLNode::char_encoding_ShiftJIS},
        {"<?xml version=\"1.0\" encoding = \"sjis\"?><a/>" + pad, XMLNode::char_encoding_ShiftJIS},
        {"<?xml version=\"1.0\" encoding=\"gb2312\"?><a/>" + pad, XMLNode::char_encoding_GB2312},
        {"<?xml version=\"1.0\" encoding=\"BIG5\"?><a/>" + pad, XMLNode::char_encoding_Big5},
        {"<?xml version=\"1.0\" encoding=\"gbk\"?><a/>" + pad, XMLNode::char_encoding_GBK},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>" + pad,
         XMLNode::char_encoding_legacy},
        {"<a>\xE9</a>", XMLNode::char_encoding_Big5}, // too short: unchanged
    };
    const std::string path = m_tDir.Path() + "/enc.xml";
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.start);
        XMLNode::setGlobalOptions(XMLNode::char_encoding_Big5, 1, 1, 1);
        EXPECT_EQ(XMLNode::guessCharEncoding(c.start.data(), static_cast<int>(c.start.size())),
                  c.expected);
        // The tree is UTF-8 whatever the file was in, and so is what this thread writes next.
        WriteFile(path, c.start);
        XMLResults r;
        XMLNode::openFileHelper(path.c_str(), nullptr, &r);
        EXPECT_EQ(XMLNode::getCharEncoding(), XMLNode::char_encoding_UTF8);
    }
}

TEST_F(XmlParser, TreesAreUTF8WhateverTheDocumentIsIn)
{
    const std::string head = "<?xml version=\"1.0\" encoding=\"";
    // 200 bytes of UTF-8 before the first byte that is none.
    const std::string late =
        "<?xml version=\"1.0\"?><r><a V=\"\xC3\xA4\"/>" + std::string(200, ' ');
    const struct
    {
        std::string document;
        const char* value;    // of the attribute V of the element a (or b)
        const char* encoding; // in the declaration afterwards
    } cases[] = {
        // converted exactly from the charset the declaration names; it then names UTF-8
        {head + "ISO-8859-1\"?><a V=\"M\xE4x &#228;\"/>", "M\xC3\xA4x \xC3\xA4", "UTF-8"},
        {head + "Shift_JIS\"?><a V=\"\x93\xFA\x96\x7B\"/>", "\xE6\x97\xA5\xE6\x9C\xAC", "UTF-8"},
        {head + "Shift-JIS\"?><a V=\"C:\\x~\x82\xA0\"/>", "C:\\x~\xE3\x81\x82", "UTF-8"},
        {head + "windows-1251\"?><a V=\"\xCF\xF0\x80\"/>", "\xD0\x9F\xD1\x80\xD0\x82", "UTF-8"},
        {head + "ISO-8859-2\"?><a V=\"\xB1\"/>", "\xC4\x85", "UTF-8"},
        {head + "GB2312\"?><a V=\"\xD6\xD0\"/>", "\xE4\xB8\xAD", "UTF-8"},
        {head + "Shift-JIS\"?><a V=\"x\"/>", "x", "UTF-8"},
        // UTF-8 stays as it is, its declaration too
        {head + "utf-8\"?><a V=\"\xC3\xA4\xF0\x9F\x98\x80\"/>", "\xC3\xA4\xF0\x9F\x98\x80",
         "utf-8"},
        // a byte that is no character of the declared charset is read as ISO-8859-1
        {head + "UTF-8\"?><a V=\"M\xFCller \xC3\xA4\"/>", "M\xC3\xBCller \xC3\xA4", "UTF-8"},
        {head + "UTF-8\"?><a V=\"\xC0\xAF\xED\xA0\x80\"/>",
         "\xC3\x80\xC2\xAF\xC3\xAD\xC2\xA0\xC2\x80", "UTF-8"},        // overlong, surrogate
        {head + "Shift_JIS\"?><a V=\"\x81\"/>", "\xC2\x81", "UTF-8"}, // a lead byte cut off
        // without a charset a document is read as UTF-8 is: each UTF-8 character as such, each
        // other byte as ISO-8859-1, also when the two are mixed
        {"<?xml version=\"1.0\"?><a V=\"\xE4\"/>", "\xC3\xA4", nullptr},
        {"<?xml version=\"1.0\"?><a V=\"\xC3\xA4\"/>", "\xC3\xA4", nullptr},
        {late + "<b V=\"\xE4\"/></r>", "\xC3\xA4", nullptr},
        {"<?xml version=\"1.0\"?><a V=\"\xE6\x97\xA5\xE6\x9C\xAC \xFC\"/>",
         "\xE6\x97\xA5\xE6\x9C\xAC \xC3\xBC", nullptr},
        {"<a V=\"\xFC\xE6\x97\xA5\xE6\x9C\xAC\"/>", "\xC3\xBC\xE6\x97\xA5\xE6\x9C\xAC", nullptr},
        // a 16-bit charset cannot be what a document read byte by byte is in
        {head + "UTF-16\"?><a V=\"\xE4\"/>", "\xC3\xA4", "UTF-8"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.document);
        XMLResults r;
        XMLNode top = XMLNode::openBufferHelper(c.document.data(), c.document.size(), nullptr, &r);
        EXPECT_EQ(XMLNode::getCharEncoding(), XMLNode::char_encoding_UTF8);
        ASSERT_EQ(r.error, eXMLErrorNone);
        XMLNode element = top.getChildNode("a");
        if (element.isEmpty())
            element = top.getChildNode("r").getChildNode("b");
        EXPECT_STREQ(element.getAttribute("V"), c.value);
        EXPECT_STREQ(top.getChildNode("xml").getAttribute("encoding"), c.encoding);
        // What is written of the tree is UTF-8 under a declaration that says so, and reads the
        // same again.
        std::string written;
        ASSERT_EQ(top.writeToString(written), eXMLErrorNone);
        EXPECT_EQ(written.rfind("\xEF\xBB\xBF<?xml version=\"1.0\"", 0), 0u) << written;
        XMLNode again = XMLNode::openBufferHelper(written.data(), written.size(), nullptr, &r);
        ASSERT_EQ(r.error, eXMLErrorNone) << written;
        element = again.getChildNode("a");
        if (element.isEmpty())
            element = again.getChildNode("r").getChildNode("b");
        EXPECT_STREQ(element.getAttribute("V"), c.value);
    }
}

TEST_F(XmlParser, ACharsetTheLibraryDoesNotKnowKeepsItsBytes)
{
    // Nothing can be converted truthfully: the bytes stay under their own declaration, and
    // the document is written back in them, without a UTF-8 byte-order mark.
    const std::string document =
        "<?xml version=\"1.0\" encoding=\"x-own-charset\"?>\n<a V=\"\xE4\x81\">\xFE</a>\n";
    XMLResults r;
    XMLNode top = XMLNode::openBufferHelper(document.data(), document.size(), nullptr, &r);
    ASSERT_EQ(r.error, eXMLErrorNone);
    EXPECT_STREQ(top.getChildNode("a").getAttribute("V"), "\xE4\x81");
    std::string written;
    ASSERT_EQ(top.writeToString(written), eXMLErrorNone);
    EXPECT_EQ(written, document);
    // A tree of the next document is UTF-8 again.
    top = XMLNode::openBufferHelper("<a V=\"\xE4\"/>", 10, nullptr, &r);
    ASSERT_EQ(top.writeToString(written), eXMLErrorNone);
    EXPECT_EQ(written,
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a V=\"\xC3\xA4\"/>\n");
}

TEST_F(XmlParser, WrittenDocumentsHoldOnlyWhatXmlAllows)
{
    // Control characters (raw or from references) and U+FFFE, U+FFFF are left out of texts,
    // attribute values and clear sections; in names every control character (C0, DEL, C1)
    // stands as '_' (a name must not end up empty); a byte that is no UTF-8 (put in by an edit) is
    // written as the ISO-8859-1 character of its value.
    XMLResults r;
    XMLNode top = XMLNode::parseString("<R A=\"a&#1;b\x01"
                                       "c&#27;d\xEF\xBF\xBE"
                                       "e\xEF\xBF\xBF"
                                       "f\">t&#8;\x1Fu<!--c\x02-->"
                                       "<N\x01m/><\x02\t\x03=\"v\"/>"
                                       "<D\x7F\xC2\x85\xC2\x9F x\xC2\x80=\"\x7F\xC2\x85\"/></R>",
                                       nullptr, &r);
    ASSERT_EQ(r.error, eXMLErrorNone);
    XMLNode root = top.getChildNode("R");
    EXPECT_STREQ(root.getAttribute("A"), "a\x01"
                                         "b\x01"
                                         "c\x1B"
                                         "d\xEF\xBF\xBE"
                                         "e\xEF\xBF\xBF"
                                         "f");
    root.addAttribute("L", "M\xFCller\xC3");
    std::string written;
    ASSERT_EQ(top.writeToString(written, nullptr, 0), eXMLErrorNone);
    EXPECT_EQ(written, "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                       "<R A=\"abcdef\" L=\"M\xC3\xBCller\xC3\x83\">tu<!--c--><N_m/><_ _=\"v\"/>"
                       "<D___ x_=\"\x7F\xC2\x85\"/></R>");
}

TEST_F(XmlParser, ACharacterLeftOutOfAClearSectionNeverEndsItEarly)
{
    // Left out, the control character would join its neighbours into the section's end, and
    // the rest of the section would be read back as markup: there it stands as a blank.
    const struct
    {
        const char* document;
        const char* kept; // the clear section's content as written and read back
    } cases[] = {
        {"<R><![CDATA[]]\x03><E/>]]></R>", "]] ><E/>"},
        {"<R><![CDATA[]\x03]><E/>]]></R>", "] ]><E/>"},
        {"<R><!---\x02-><E/>--></R>", "- -><E/>"},
        {"<R><PRE></pr\x01" "e><E/></PRE></R>", "</pr e><E/>"},
        {"<R><![CDATA[a\x03" "b]]></R>", "ab"}, // nothing to join: left out as before
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.document);
        XMLResults r;
        XMLNode top = XMLNode::parseString(c.document, nullptr, &r);
        ASSERT_EQ(r.error, eXMLErrorNone);
        std::string written;
        ASSERT_EQ(top.writeToString(written, nullptr, 0), eXMLErrorNone);
        XMLNode again = XMLNode::parseString(written.c_str(), nullptr, &r);
        ASSERT_EQ(r.error, eXMLErrorNone) << written;
        XMLNode root = again.getChildNode("R");
        EXPECT_EQ(root.nChildNode(), 0) << written;
        EXPECT_EQ(root.nText(), 0) << written;
        ASSERT_EQ(root.nClear(), 1) << written;
        EXPECT_STREQ(root.getClear(0).lpszValue, c.kept);
    }
}

TEST_F(XmlParser, ADocumentHoldsAtMostTheItemLimit)
{
    // Elements (a declaration and the root among them), attributes, texts and clear sections
    // all count; up to the limit the document parses, one more is refused.
    const size_t limit = static_cast<size_t>(XML_MAX_ITEMS);
    auto elements = [](size_t n)
    {
        std::string s = "<?xml version=\"1.0\"?><R>";
        for (size_t i = 0; i < n; ++i)
            s += "<a/>";
        return s + "</R>";
    };
    auto attributes = [](size_t n)
    {
        std::string s = "<R";
        for (size_t i = 0; i < n; ++i)
            s += " a";
        return s + "/>";
    };
    auto texts = [](size_t n)
    {
        std::string s = "<R>";
        for (size_t i = 0; i < n; ++i)
            s += i % 2 ? "<!---->" : "t";
        return s + "</R>";
    };
    const struct
    {
        std::string document;
        XMLError error;
    } cases[] = {
        {elements(limit - 3), eXMLErrorNone}, // with the declaration, its attribute and R
        {elements(limit - 2), eXMLErrorTooManyItems},
        {elements(4 << 20), eXMLErrorTooManyItems},
        {attributes(limit - 1), eXMLErrorNone},
        {attributes(limit), eXMLErrorTooManyItems},
        {texts(limit - 1), eXMLErrorNone},
        {texts(limit), eXMLErrorTooManyItems},
    };
    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 1, 1, 0); // comments kept apart
    for (const auto& c : cases)
        EXPECT_EQ(ParseCode(c.document), c.error) << c.document.size();
    XMLNode::setGlobalOptions();

    // A document read without the bound (one the device stored itself) holds any number.
    const std::string many = elements(limit + 1000);
    XMLResults r;
    XMLNode top = XMLNode::openBufferHelper(many.data(), many.size(), "R", &r, XML_UNBOUNDED_ITEMS);
    EXPECT_EQ(r.error, eXMLErrorNone);
    EXPECT_EQ(top.nChildNode("a"), static_cast<int>(limit + 1000));
    XMLNode::openBufferHelper(many.data(), many.size(), "R", &r);
    EXPECT_EQ(r.error, eXMLErrorTooManyItems);
}

TEST_F(XmlParser, OpenFileHelperThrowsForEveryProblem)
{
    const std::string path = m_tDir.Path() + "/doc.xml";
    auto message = [&](const char* tag) -> std::string
    {
        try
        {
            XMLNode::openFileHelper(path.c_str(), tag);
        }
        catch (const CQTXError& e)
        {
            EXPECT_EQ(e.ErrorType(), "XmlError");
            EXPECT_EQ(e.ErrorText(), "XmlParserError");
            EXPECT_EQ(e.ErrorLocation(), "(file ./xmlParser, line 464)");
            EXPECT_EQ(e.ErrorSeverity(), Error);
            return e.ErrorParameter();
        }
        return "no throw";
    };

    WriteFile(path, "<?xml version=\"1.0\"?>\n<System/>\n");
    EXPECT_EQ(message("Module"), "XML Parsing error inside file '" + path +
                                     "'.\nError: First Tag not found\nAt line 0, column 0.\n"
                                     "First Tag should be 'Module'.\n");
    EXPECT_STREQ(XMLNode::openFileHelper(path.c_str(), "system").getName(), "System");

    WriteFile(path, "<a>\n<b></a>");
    EXPECT_EQ(message("a"), "XML Parsing error inside file '" + path +
                                "'.\nWarning: Unmatched end tag\nAt line 2, column 4.\n");

    const std::string missing = m_tDir.Path() + "/missing.xml";
    XMLResults r;
    EXPECT_TRUE(XMLNode::openFileHelper(missing.c_str(), nullptr, &r).isEmpty());
    EXPECT_EQ(r.error, eXMLErrorFileNotFound);
    EXPECT_THROW(XMLNode::openFileHelper(missing.c_str()), CQTXEXmlError);
}
