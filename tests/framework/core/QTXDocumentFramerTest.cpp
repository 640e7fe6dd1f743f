// The request framer on its own: where a document ends, whatever it holds and however its
// bytes are split.
#include "QTXDocumentFramer.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
// Output that keeps what the framer writes.
class CKept : public CQTXDocumentOutput
{
public:
    void Write(const void* data, size_t length) override
    {
        sText.append(static_cast<const char*>(data), length);
    }
    bool Restart() override
    {
        sText.clear();
        return true;
    }
    bool Lost() const override { return false; }
    std::string sText;
};

struct CFramed
{
    bool bComplete = false;
    size_t uUsed = 0;
    std::string sRoot;
    std::string sStored;
};

// `data` fed in two pieces split at `split`.
CFramed Frame(const std::string& data, size_t split)
{
    CKept kept;
    CQTXDocumentFramer framer(&kept);
    CFramed framed;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    size_t used = 0;
    CQTXDocumentFramer::Result r = framer.Feed(bytes, split, &used);
    framed.uUsed = used;
    if (r == CQTXDocumentFramer::MoreData)
    {
        r = framer.Feed(bytes + split, data.size() - split, &used);
        framed.uUsed += used;
    }
    framed.bComplete = r == CQTXDocumentFramer::Complete;
    framed.sRoot = framer.RootName();
    framed.sStored = kept.sText;
    return framed;
}
} // namespace

TEST(QTXDocumentFramer, WellFormedDocumentsEndAtTheRootsOwnEndTagAtEverySplit)
{
    const std::string head = "<?xml version=\"1.0\"?>\n";
    const std::string after = "<?xml?><Ping/>";
    const struct
    {
        const char* name;
        std::string document; // followed by `after`, which must not be taken
        std::string root;
    } cases[] = {
        {"'>' and '/>' in attribute values", head + "<Ping Error=\"a > b\" T='x/>'/>", "Ping"},
        {"'>' in a value of a root with content",
         head + "<Lock Error=\"a > b\"><Signal A=\"/>\"/></Lock>", "Lock"},
        {"the root's end tag in a comment", head + "<Ping><!-- </Ping> --></Ping>", "Ping"},
        {"the root's end tag in CDATA", head + "<Ping><![CDATA[</Ping>]]]></Ping>", "Ping"},
        {"instructions inside the root", head + "<Ping><?pi </Ping> ?><?xml-s a?></Ping>", "Ping"},
        {"children with the root's name",
         head + "<Module><Module/><module a=\">\">x<Module>y</Module></module></Module>", "Module"},
        {"a comment before the root", head + "<!-- <Lock> 1<2 --><Ping/>", "Ping"},
        {"a document type with an internal subset",
         head + "<!DOCTYPE Ping [ <!ELEMENT Ping ANY> <!-- ]> --> <?p ]>?>"
                "<!ENTITY e \"]>\"> ]><Ping/>",
         "Ping"},
        {"an instruction before the root", head + "<?style <Lock>?><Ping></Ping >", "Ping"},
        // As before: leniencies that clients rely on.
        {"label in any case, blanks in the tags", "<?XML?>< Ping / >", "Ping"},
        {"end tag in another case with blanks", head + "<Module><Signal/></Mod></module\t>",
         "Module"},
        {"a slash in an unquoted place", "<?xml?><Module Name=\"a/b\" / x></Module>", "Module"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string data = "\r\n\r\n" + c.document + after;
        for (size_t split = 0; split <= data.size(); ++split)
        {
            SCOPED_TRACE(split);
            const CFramed framed = Frame(data, split);
            ASSERT_TRUE(framed.bComplete);
            EXPECT_EQ(framed.uUsed, data.size() - after.size());
            EXPECT_EQ(framed.sRoot, c.root);
            EXPECT_EQ(framed.sStored, "<?xml" + c.document.substr(5));
        }
    }
}

TEST(QTXDocumentFramer, ALabelInsideTheRootStartsANewDocument)
{
    const std::string bin("<?bin\0\x03\0\0\0\0\0\x02\0\0\0ab", 18);
    const struct
    {
        const char* name;
        std::string data;
        std::string stored;
        std::string root;
    } cases[] = {
        {"xml declaration", "<?xml?><Lock><?XML?><Ping/>", "<?xml?><Ping/>", "Ping"},
        {"binary head", "<?xml?><Lock>text" + bin + "after", bin, ""},
        {"an instruction named bin is no head", "<?xml?><Lock><?bin x?></Lock>",
         "<?xml?><Lock><?bin x?></Lock>", "Lock"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (size_t split = 0; split <= c.data.size(); ++split)
        {
            const CFramed framed = Frame(c.data, split);
            ASSERT_TRUE(framed.bComplete) << split;
            EXPECT_EQ(framed.sStored, c.stored) << split;
            EXPECT_EQ(framed.sRoot, c.root) << split;
        }
    }
}

TEST(QTXDocumentFramer, UnfinishedMarkupKeepsTheDocumentOpen)
{
    const std::string cases[] = {
        "<?xml?><Ping><!-- </Ping> -- ></Ping>",
        "<?xml?><Ping><![CDATA[ ]]</Ping>",
        "<?xml?><Ping A=\"/></Ping>",
        "<?xml?><Ping><Ping></Ping>",
        "<?xml?><!DOCTYPE Ping [ <Ping/>",
        "<Ping/>", // no label
    };
    for (const auto& data : cases)
    {
        SCOPED_TRACE(data);
        size_t end = 0;
        std::string root;
        uint16_t tag = 0;
        EXPECT_FALSE(QTXFindDocument(data.data(), data.size(), end, root, tag));
    }
}
