// Fuzz target: the XML document tree's parser and writer.
//
// The first input byte picks the character encoding and the parse options (each encoding has
// its own table of character lengths, which the tokenizer must never let run past the text);
// the rest is the document. The tree is walked through every accessor, written out, and the
// written text is parsed again as UTF-8: what the writer makes of a clean document must parse
// cleanly, and written as UTF-8 it must be UTF-8 with only the characters XML 1.0 allows.
#include "FuzzSupport.h"
#include "xmlParser.h"

#include <cstring>
#include <memory>
#include <string>

using kovefuzz::Fail;

namespace
{

volatile size_t g_uSink;

size_t Len(XMLCSTR text)
{
    return text != nullptr ? std::strlen(text) : 0;
}

// Visits everything the accessors give for a node and its descendants.
void Walk(const XMLNode& node, int depth)
{
    if (depth > XML_MAX_NESTING_DEPTH + 2)
        Fail("tree deeper than the parser allows");
    size_t n = Len(node.getName());
    for (int i = 0; i < node.nAttribute(); ++i)
    {
        XMLAttribute a = node.getAttribute(i);
        n += Len(a.lpszName) + Len(a.lpszValue);
        if (a.lpszName != nullptr && !node.isAttributeSet(a.lpszName))
            Fail("attribute not found by its own name");
    }
    for (int i = 0; i < node.nText(); ++i)
        n += Len(node.getText(i));
    for (int i = 0; i < node.nClear(); ++i)
    {
        XMLClear c = node.getClear(i);
        n += Len(c.lpszValue) + Len(c.lpszOpenTag) + Len(c.lpszCloseTag);
    }
    const int elements = node.nElement();
    for (int i = 0; i < elements; ++i)
    {
        XMLNodeContents item = node.enumContents(i);
        if (item.etype == eNodeNULL)
            Fail("item inside the count is missing");
    }
    for (int i = 0; i < node.nChildNode(); ++i)
    {
        XMLNode child = node.getChildNode(i);
        if (child.isEmpty() || child.getParentNode() != node)
            Fail("child does not lead back to its parent");
        if (child.getName() != nullptr && node.getChildNode(child.getName()).isEmpty())
            Fail("child not found by its own name");
        Walk(child, depth + 1);
    }
    g_uSink = n;
}

// Fails unless the text is UTF-8 holding only characters that XML 1.0 allows: what the writer
// makes of a tree in UTF-8 mode always is.
void CheckXmlCharacters(const char* text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; s[i] != 0;)
    {
        const unsigned char c = s[i];
        if (c < 0x80)
        {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                Fail("written text holds a control character");
            ++i;
            continue;
        }
        const size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                              : c >= 0xE0 && c <= 0xEF ? 3
                              : c >= 0xF0 && c <= 0xF4 ? 4
                                                       : 0;
        if (length == 0)
            Fail("written text is no UTF-8");
        for (size_t k = 1; k < length; ++k)
            if ((s[i + k] & 0xC0) != 0x80)
                Fail("written text is no UTF-8");
        if ((c == 0xE0 && s[i + 1] < 0xA0) || (c == 0xED && s[i + 1] > 0x9F) ||
            (c == 0xF0 && s[i + 1] < 0x90) || (c == 0xF4 && s[i + 1] > 0x8F))
            Fail("written text is no UTF-8");
        if (c == 0xEF && s[i + 1] == 0xBF && (s[i + 2] == 0xBE || s[i + 2] == 0xBF))
            Fail("written text holds U+FFFE or U+FFFF");
        i += length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t options = data[0];
    const auto encoding = static_cast<XMLNode::XMLCharEncoding>(1 + options % 6);
    XMLNode::setGlobalOptions(encoding, (options >> 3) & 1, (options >> 4) & 1, (options >> 5) & 1);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    XMLNode::guessCharEncoding(text.data(), static_cast<int>(text.size()), (options >> 6) & 1);

    XMLResults results;
    XMLNode top = XMLNode::parseString(text.c_str(), nullptr, &results);
    if (results.error >= eXMLErrorEmpty && !top.isEmpty())
        Fail("error result with a tree");
    if (!top.isEmpty())
    {
        Walk(top, 0);
        for (int format = 0; format < 2; ++format)
        {
            int length = 0;
            XMLSTR written = top.createXMLString(format, &length);
            if (written == nullptr || static_cast<size_t>(length) != std::strlen(written))
                Fail("written text and its length disagree");
            // Every tree parsed in a thread's encoding is UTF-8; written in UTF-8 mode it is
            // well-formed UTF-8 with only the characters XML allows.
            if (encoding == XMLNode::char_encoding_UTF8)
                CheckXmlCharacters(written);
            // A document that parsed cleanly, written back, parses cleanly, and as UTF-8: the
            // tree is UTF-8 whatever encoding the text was read in. (One the parser had to
            // repair, with a warning, may be written as something else.)
            XMLResults again;
            XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, (options >> 3) & 1,
                                      (options >> 4) & 1, (options >> 5) & 1);
            XMLNode reparsed = XMLNode::parseString(written, nullptr, &again);
            XMLNode::setGlobalOptions(encoding, (options >> 3) & 1, (options >> 4) & 1,
                                      (options >> 5) & 1);
            if (results.error == eXMLErrorNone && again.error != eXMLErrorNone)
            {
                std::fprintf(stderr, "written text does not parse (%s):\n%s\n",
                             XMLNode::getError(again.error), written);
                Fail("written text does not parse");
            }
            XMLNode::freeXMLString(written);
        }
        // Changing the tree after parsing.
        XMLNode first = top.getChildNode(0);
        if (!first.isEmpty())
        {
            first.updateAttribute("a\"<&>b", nullptr, "Fuzz");
            first.addText("t<&>");
            first.addChild("Added").addAttribute("Name", "\"x\"");
            XMLSTR written = top.createXMLString(1, nullptr);
            XMLNode::freeXMLString(written);
            first.deleteNodeContent();
        }
    }
    // Looking for a named element walks declarations as well.
    XMLNode module = XMLNode::parseString(text.c_str(), "Module", nullptr);
    if (!module.isEmpty())
        Walk(module, 1);
    // A buffer without a zero byte behind it is read up to its length only (the encoding is
    // guessed from its start).
    {
        std::unique_ptr<char[]> exact(new char[text.size()]);
        if (!text.empty())
            std::memcpy(exact.get(), text.data(), text.size());
        XMLResults fromBuffer;
        XMLNode buffered =
            XMLNode::openBufferHelper(exact.get(), text.size(), nullptr, &fromBuffer);
        if (!buffered.isEmpty())
        {
            Walk(buffered, 0);
            // Converted to UTF-8 (the declaration then names it), unless the charset is one the
            // C library does not know: then the bytes and the declaration are kept.
            std::string written;
            if (buffered.writeToString(written) == eXMLErrorNone &&
                written.compare(0, 3, "\xEF\xBB\xBF") == 0)
                CheckXmlCharacters(written.c_str());
        }
    }
    XMLNode::setGlobalOptions();
    return 0;
}
