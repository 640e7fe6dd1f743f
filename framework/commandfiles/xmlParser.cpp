#include "xmlParser.h"

#include "QTXError.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Node data

namespace
{
// An owned byte string that may be null. It lives in its own allocation, so moving it (when a
// vector of them grows) keeps the address of its bytes: views handed out stay valid until the
// item itself is changed or removed.
typedef std::unique_ptr<char[]> XStr;

XStr MakeStr(const char* text, size_t length)
{
    XStr s(new char[length + 1]);
    if (length > 0)
        memcpy(s.get(), text, length);
    s[length] = '\0';
    return s;
}

XStr MakeStr(const char* text)
{
    if (text == nullptr)
        return XStr();
    return MakeStr(text, strlen(text));
}

XStr MakeStr(const std::string& text)
{
    return MakeStr(text.data(), text.size());
}

struct XMLAttrData
{
    XStr name;
    XStr value;
};

struct XMLClearData
{
    XStr value;
    XStr openTag;
    XStr closeTag;
};

// Case-blind comparison of two names; a null name matches nothing.
bool SameName(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return false;
    for (;; ++a, ++b)
    {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'a' && ca <= 'z')
            ca = static_cast<unsigned char>(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z')
            cb = static_cast<unsigned char>(cb - 'a' + 'A');
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
}
} // namespace

// The content of a node is kept in one list per kind; `order` records the sequence of the
// children, texts and clear sections as index * 4 + kind. Each child in `children` holds one
// reference on its data.
struct XMLNodeData
{
    XStr name; // null for the nameless top node
    char isDeclaration = 0;
    XMLNodeData* pParent = nullptr;
    std::vector<XMLNodeData*> children;
    std::vector<XMLAttrData> attributes;
    std::vector<XStr> texts;
    std::vector<XMLClearData> clears;
    std::vector<int> order;
    int refCount = 0;

    bool HasContent() const { return !order.empty(); }
};

namespace
{
// Drops one reference; data that nobody holds any more is freed together with the children
// that only it held. The walk uses a work list, so a deep tree cannot exhaust the stack.
void ReleaseData(XMLNodeData* data)
{
    if (data == nullptr || --data->refCount > 0)
        return;
    std::vector<XMLNodeData*> pending(1, data);
    while (!pending.empty())
    {
        XMLNodeData* n = pending.back();
        pending.pop_back();
        for (XMLNodeData* child : n->children)
        {
            child->pParent = nullptr;
            if (--child->refCount == 0)
                pending.push_back(child);
        }
        delete n;
    }
}

size_t CountOfKind(const XMLNodeData* n, int kind)
{
    switch (kind)
    {
    case eNodeChild:
        return n->children.size();
    case eNodeText:
        return n->texts.size();
    default:
        return n->clears.size();
    }
}

// Makes room for an item of `kind` at content position `position` (-1 or beyond the end
// appends) and returns the index it gets in its own list. The caller inserts it there.
size_t InsertOrder(XMLNodeData* n, int kind, int position)
{
    if (position < 0 || static_cast<size_t>(position) >= n->order.size())
    {
        size_t index = CountOfKind(n, kind);
        n->order.push_back(static_cast<int>(index * 4 + kind));
        return index;
    }
    size_t index = 0;
    for (int i = 0; i < position; ++i)
        if ((n->order[i] & 3) == kind)
            ++index;
    for (int& entry : n->order)
        if ((entry & 3) == kind && static_cast<size_t>(entry >> 2) >= index)
            entry += 4;
    n->order.insert(n->order.begin() + position, static_cast<int>(index * 4 + kind));
    return index;
}

// Removes the order entry of item `index` of `kind` and renumbers the later ones. The caller
// removes the item from its list.
void RemoveOrder(XMLNodeData* n, int kind, size_t index)
{
    const int entry = static_cast<int>(index * 4 + kind);
    for (size_t i = 0; i < n->order.size(); ++i)
    {
        if (n->order[i] == entry)
        {
            n->order.erase(n->order.begin() + static_cast<long>(i));
            break;
        }
    }
    for (int& e : n->order)
        if ((e & 3) == kind && static_cast<size_t>(e >> 2) > index)
            e -= 4;
}

XMLNodeData* NewChild(XMLNodeData* parent, const char* name, char isDeclaration, int position)
{
    XMLNodeData* child = new XMLNodeData;
    child->name = MakeStr(name);
    child->isDeclaration = isDeclaration ? 1 : 0;
    child->pParent = parent;
    child->refCount = 1; // the parent's reference
    size_t index = InsertOrder(parent, eNodeChild, position);
    parent->children.insert(parent->children.begin() + static_cast<long>(index), child);
    return child;
}

const char* AddTextData(XMLNodeData* n, XStr text, int position)
{
    size_t index = InsertOrder(n, eNodeText, position);
    n->texts.insert(n->texts.begin() + static_cast<long>(index), std::move(text));
    return n->texts[index].get();
}

XMLClear ClearView(const XMLClearData& c)
{
    XMLClear view = {c.value.get(), c.openTag.get(), c.closeTag.get()};
    return view;
}

XMLClear AddClearData(XMLNodeData* n, XMLClearData clear, int position)
{
    size_t index = InsertOrder(n, eNodeClear, position);
    n->clears.insert(n->clears.begin() + static_cast<long>(index), std::move(clear));
    return ClearView(n->clears[index]);
}

XMLAttribute AttributeView(const XMLAttrData& a)
{
    XMLAttribute view = {a.name.get(), a.value.get()};
    return view;
}

const XMLAttribute kNoAttribute = {nullptr, nullptr};
const XMLClear kNoClear = {nullptr, nullptr, nullptr};

// ---------------------------------------------------------------------------------------------
// Options of the calling thread

struct XMLOptions
{
    XMLNode::XMLCharEncoding encoding = XMLNode::char_encoding_UTF8;
    char guessWideChars = 1;
    char dropWhiteSpace = 1;
    char removeCommentsInMiddleOfText = 1;
};

thread_local XMLOptions tOptions;

// Length of the character that starts with byte c in the given encoding, as the lead byte
// tells. Trail bytes are checked separately (see CharLength).
int LeadLength(XMLNode::XMLCharEncoding encoding, unsigned char c)
{
    switch (encoding)
    {
    case XMLNode::char_encoding_UTF8:
        if (c >= 0xC2 && c <= 0xDF)
            return 2;
        if (c >= 0xE0 && c <= 0xEF)
            return 3;
        if (c >= 0xF0 && c <= 0xF4)
            return 4;
        return 1;
    case XMLNode::char_encoding_ShiftJIS:
        return ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
    case XMLNode::char_encoding_GB2312:
        return (c >= 0xA1 && c <= 0xF7) ? 2 : 1;
    case XMLNode::char_encoding_Big5:
    case XMLNode::char_encoding_GBK:
        return (c >= 0x81 && c <= 0xFE) ? 2 : 1;
    default:
        return 1;
    }
}

// Bytes of the character at text[i] (i < end). Only bytes that can be trail bytes of the
// encoding are taken in, and never past `end`: markup characters, which are all below 0x40,
// therefore always stand as characters of their own, even in broken input.
size_t CharLength(XMLNode::XMLCharEncoding encoding, const char* text, size_t i, size_t end)
{
    const int lead = LeadLength(encoding, static_cast<unsigned char>(text[i]));
    size_t length = 1;
    while (length < static_cast<size_t>(lead) && i + length < end)
    {
        const unsigned char t = static_cast<unsigned char>(text[i + length]);
        const bool trail =
            encoding == XMLNode::char_encoding_UTF8 ? (t >= 0x80 && t <= 0xBF) : (t >= 0x40);
        if (!trail)
            break;
        ++length;
    }
    return length;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Bytes that end a tag or attribute name.
bool EndsName(char c)
{
    return IsBlank(c) || c == '<' || c == '>' || c == '/' || c == '=' || c == '?' || c == '!' ||
           c == '"' || c == '\'' || c == '&' || c == '\0';
}

bool StartsWithNoCase(const char* text, size_t available, const char* prefix)
{
    const size_t n = strlen(prefix);
    if (available < n)
        return false;
    for (size_t i = 0; i < n; ++i)
    {
        char a = text[i];
        char b = prefix[i];
        if (a >= 'a' && a <= 'z')
            a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z')
            b = static_cast<char>(b - 'a' + 'A');
        if (a != b)
            return false;
    }
    return true;
}

// Clear sections that the parser keeps as they stand; tags are recognised without regard to
// case and written back in this spelling.
struct ClearTag
{
    const char* open;
    const char* close;
};
const ClearTag kClearTags[] = {
    {"<![CDATA[", "]]>"}, {"<!DOCTYPE", ">"}, {"<!--", "-->"}, {"<PRE>", "</PRE>"}};
const char* const kCommentOpen = "<!--";

} // namespace

// ---------------------------------------------------------------------------------------------
// Parser

// Parses one buffer into a tree without recursion: the open elements are kept on a stack
// whose height is bounded by XML_MAX_NESTING_DEPTH.
class XMLParserImpl
{
public:
    XMLParserImpl(const char* text, size_t length)
        : m_pText(text), m_nLength(length), m_nPos(0), m_eEncoding(tOptions.encoding),
          m_bDropWhiteSpace(tOptions.dropWhiteSpace != 0),
          m_bMergeComments(tOptions.removeCommentsInMiddleOfText != 0)
    {
    }

    XMLNode Parse(const char* tag, XMLResults* results);

private:
    struct OpenElement
    {
        XMLNodeData* node;
        size_t tagPos;
    };

    bool Fail(XMLError error, size_t pos)
    {
        m_eError = error;
        m_nErrorPos = pos;
        return false;
    }
    void Warn(XMLError warning, size_t pos)
    {
        if (m_eWarning == eXMLErrorNone)
        {
            m_eWarning = warning;
            m_nWarningPos = pos;
        }
    }

    size_t Next(size_t i) const { return i + CharLength(m_eEncoding, m_pText, i, m_nLength); }
    size_t SkipBlanks(size_t i) const
    {
        while (i < m_nLength && IsBlank(m_pText[i]))
            ++i;
        return i;
    }
    size_t NameEnd(size_t i) const
    {
        while (i < m_nLength && !EndsName(m_pText[i]))
            i = Next(i);
        return i;
    }
    // Position of `what` at or after i, compared without case when noCase is set; npos when
    // absent. Steps character by character, so a trail byte never starts a match.
    size_t Find(size_t i, const char* what, bool noCase) const
    {
        const size_t n = strlen(what);
        while (i < m_nLength)
        {
            if (m_nLength - i >= n && (noCase ? StartsWithNoCase(m_pText + i, m_nLength - i, what)
                                              : memcmp(m_pText + i, what, n) == 0))
                return i;
            i = Next(i);
        }
        return std::string::npos;
    }
    void Position(size_t pos, int* line, int* column) const;

    bool Decode(size_t from, size_t to, std::string& out);
    bool ParseText();
    bool ParseClear(const ClearTag& tag);
    bool ParseDeclaration();
    bool ParseStartTag();
    bool ParseEndTag();
    // Attributes up to the end of a tag; *closing receives '>' for an open element, '/' for
    // an empty one ("/>" or, in a declaration, "?>").
    bool ParseAttributes(XMLNodeData* node, bool declaration, size_t tagPos, char* closing);

    // Texts and comments are held back briefly, so that a comment between two texts can be
    // dropped and the texts joined without copying the first text again and again.
    void OnText(std::string&& text);
    void OnComment(std::string&& text);
    void Flush();

    XMLNodeData* Current() const { return m_vOpen.back().node; }

    const char* m_pText;
    size_t m_nLength;
    size_t m_nPos;
    size_t m_nStart = 0; // behind a byte-order mark
    XMLNode::XMLCharEncoding m_eEncoding;
    bool m_bDropWhiteSpace;
    bool m_bMergeComments;

    std::vector<OpenElement> m_vOpen;
    size_t m_nElements = 0;

    XMLError m_eError = eXMLErrorNone;
    size_t m_nErrorPos = 0;
    XMLError m_eWarning = eXMLErrorNone;
    size_t m_nWarningPos = 0;

    XMLNodeData* m_pPendingNode = nullptr;
    bool m_bPendingText = false;
    bool m_bPendingComment = false;
    std::string m_sPendingText;
    std::string m_sPendingComment;
};

void XMLParserImpl::Position(size_t pos, int* line, int* column) const
{
    int l = 1;
    size_t lineStart = m_nStart;
    for (size_t i = m_nStart; i < pos && i < m_nLength; ++i)
    {
        if (m_pText[i] == '\n')
        {
            ++l;
            lineStart = i + 1;
        }
    }
    *line = l;
    *column = static_cast<int>(pos - lineStart + 1);
}

bool XMLParserImpl::Decode(size_t from, size_t to, std::string& out)
{
    static const struct
    {
        const char* name;
        char c;
    } entities[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};

    out.clear();
    out.reserve(to - from);
    size_t i = from;
    while (i < to)
    {
        if (m_pText[i] != '&')
        {
            const size_t n = CharLength(m_eEncoding, m_pText, i, to);
            out.append(m_pText + i, n);
            i += n;
            continue;
        }
        // The longest reference is "&#x" and a few digits; look for its ';' close by only.
        size_t semi = i + 1;
        while (semi < to && semi < i + 12 && m_pText[semi] != ';')
            ++semi;
        if (semi >= to || m_pText[semi] != ';')
            return Fail(eXMLErrorUnknownCharacterEntity, i);
        const char* name = m_pText + i + 1;
        const size_t nameLength = semi - i - 1;
        bool known = false;
        for (const auto& e : entities)
        {
            if (strlen(e.name) == nameLength && memcmp(e.name, name, nameLength) == 0)
            {
                out += e.c;
                known = true;
                break;
            }
        }
        if (!known)
        {
            if (nameLength < 2 || name[0] != '#')
                return Fail(eXMLErrorUnknownCharacterEntity, i);
            const bool hex = name[1] == 'x' || name[1] == 'X';
            size_t k = hex ? 2 : 1;
            if (k >= nameLength)
                return Fail(eXMLErrorUnknownCharacterEntity, i);
            unsigned long value = 0; // at most 9 digits fit between '&' and ';'
            for (; k < nameLength; ++k)
            {
                const char c = name[k];
                int digit;
                if (c >= '0' && c <= '9')
                    digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    digit = c - 'A' + 10;
                else
                    return Fail(eXMLErrorUnknownCharacterEntity, i);
                value = value * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
            }
            if (value == 0) // a zero byte would cut the text short
                return Fail(eXMLErrorUnknownCharacterEntity, i);
            if (value > 255)
                return Fail(eXMLErrorCharacterCodeAbove255, i);
            if (value >= 0x80 && m_eEncoding == XMLNode::char_encoding_UTF8)
            {
                // A single byte above 0x7F is no UTF-8 character: write the code as UTF-8.
                out += static_cast<char>(0xC0 | (value >> 6));
                out += static_cast<char>(0x80 | (value & 0x3F));
            }
            else
            {
                out += static_cast<char>(value);
            }
        }
        i = semi + 1;
    }
    return true;
}

void XMLParserImpl::Flush()
{
    if (m_bPendingText)
        AddTextData(m_pPendingNode, MakeStr(m_sPendingText), -1);
    if (m_bPendingComment)
    {
        XMLClearData clear;
        clear.value = MakeStr(m_sPendingComment);
        clear.openTag = MakeStr(kCommentOpen);
        clear.closeTag = MakeStr("-->");
        AddClearData(m_pPendingNode, std::move(clear), -1);
    }
    m_pPendingNode = nullptr;
    m_bPendingText = m_bPendingComment = false;
    m_sPendingText.clear();
    m_sPendingComment.clear();
}

void XMLParserImpl::OnText(std::string&& text)
{
    if (m_bMergeComments && m_bPendingText && m_bPendingComment && m_pPendingNode == Current())
    {
        // text, comment, text: the comment goes, the second text joins the first
        m_sPendingText += text;
        m_bPendingComment = false;
        m_sPendingComment.clear();
        return;
    }
    Flush();
    m_pPendingNode = Current();
    m_sPendingText = std::move(text);
    m_bPendingText = true;
}

void XMLParserImpl::OnComment(std::string&& text)
{
    if (m_bMergeComments && m_bPendingText && !m_bPendingComment && m_pPendingNode == Current())
    {
        m_sPendingComment = std::move(text);
        m_bPendingComment = true;
        return;
    }
    Flush();
    m_pPendingNode = Current();
    m_sPendingComment = std::move(text);
    m_bPendingComment = true;
    Flush();
}

bool XMLParserImpl::ParseText()
{
    size_t end = m_nPos;
    while (end < m_nLength && m_pText[end] != '<')
        end = Next(end);
    size_t from = m_nPos;
    size_t to = end;
    m_nPos = end;
    if (m_bDropWhiteSpace)
    {
        while (from < to && IsBlank(m_pText[from]))
            ++from;
        while (to > from && IsBlank(m_pText[to - 1]))
            --to;
        if (from == to)
            return true;
    }
    std::string text;
    if (!Decode(from, to, text))
        return false;
    OnText(std::move(text));
    return true;
}

bool XMLParserImpl::ParseClear(const ClearTag& tag)
{
    const size_t open = m_nPos;
    const size_t contentStart = open + strlen(tag.open);
    const size_t close = Find(contentStart, tag.close, true);
    if (close == std::string::npos)
        return Fail(eXMLErrorUnmatchedEndClearTag, open);
    std::string content(m_pText + contentStart, close - contentStart);
    m_nPos = close + strlen(tag.close);
    if (strcmp(tag.open, kCommentOpen) == 0)
    {
        OnComment(std::move(content));
        return true;
    }
    Flush();
    XMLClearData clear;
    clear.value = MakeStr(content);
    clear.openTag = MakeStr(tag.open);
    clear.closeTag = MakeStr(tag.close);
    AddClearData(Current(), std::move(clear), -1);
    return true;
}

bool XMLParserImpl::ParseAttributes(XMLNodeData* node, bool declaration, size_t tagPos,
                                    char* closing)
{
    for (;;)
    {
        m_nPos = SkipBlanks(m_nPos);
        if (m_nPos >= m_nLength)
            return Fail(eXMLErrorUnexpectedToken, tagPos); // the tag is cut off
        const char c = m_pText[m_nPos];
        const char next = m_nPos + 1 < m_nLength ? m_pText[m_nPos + 1] : '\0';
        if (!declaration && c == '>')
        {
            ++m_nPos;
            *closing = '>';
            return true;
        }
        if ((!declaration && c == '/' && next == '>') || (declaration && c == '?' && next == '>'))
        {
            m_nPos += 2;
            *closing = '/';
            return true;
        }
        const size_t nameStart = m_nPos;
        const size_t nameEnd = NameEnd(nameStart);
        if (nameEnd == nameStart)
            return Fail(eXMLErrorUnexpectedToken, m_nPos);
        XMLAttrData attribute;
        attribute.name = MakeStr(m_pText + nameStart, nameEnd - nameStart);
        m_nPos = SkipBlanks(nameEnd);
        if (m_nPos < m_nLength && m_pText[m_nPos] == '=')
        {
            m_nPos = SkipBlanks(m_nPos + 1);
            if (m_nPos >= m_nLength)
                return Fail(eXMLErrorUnexpectedToken, tagPos);
            const char quote = m_pText[m_nPos];
            if (quote != '"' && quote != '\'')
                return Fail(eXMLErrorUnexpectedToken, m_nPos);
            const size_t valueStart = m_nPos + 1;
            size_t valueEnd = valueStart;
            while (valueEnd < m_nLength && m_pText[valueEnd] != quote)
                valueEnd = Next(valueEnd);
            if (valueEnd >= m_nLength)
                return Fail(eXMLErrorUnexpectedToken, m_nPos); // value never closed
            std::string value;
            if (!Decode(valueStart, valueEnd, value))
                return false;
            attribute.value = MakeStr(value);
            m_nPos = valueEnd + 1;
        }
        node->attributes.push_back(std::move(attribute));
    }
}

bool XMLParserImpl::ParseDeclaration()
{
    const size_t tagPos = m_nPos;
    const size_t nameStart = m_nPos + 2;
    const size_t nameEnd = NameEnd(nameStart);
    if (nameEnd == nameStart)
        return Fail(eXMLErrorMissingTagName, tagPos);
    Flush();
    const std::string name(m_pText + nameStart, nameEnd - nameStart);
    XMLNodeData* node = NewChild(Current(), name.c_str(), 1, -1);
    m_nPos = nameEnd;
    char closing;
    return ParseAttributes(node, true, tagPos, &closing);
}

bool XMLParserImpl::ParseStartTag()
{
    const size_t tagPos = m_nPos;
    const size_t nameStart = m_nPos + 1;
    const size_t nameEnd = NameEnd(nameStart);
    if (nameEnd == nameStart)
        return Fail(eXMLErrorMissingTagName, tagPos);
    if (m_vOpen.size() > static_cast<size_t>(XML_MAX_NESTING_DEPTH))
        return Fail(eXMLErrorNestingTooDeep, tagPos);
    Flush();
    const std::string name(m_pText + nameStart, nameEnd - nameStart);
    XMLNodeData* node = NewChild(Current(), name.c_str(), 0, -1);
    ++m_nElements;
    m_nPos = nameEnd;
    char closing;
    if (!ParseAttributes(node, false, tagPos, &closing))
        return false;
    if (closing == '>')
        m_vOpen.push_back(OpenElement{node, tagPos});
    return true;
}

bool XMLParserImpl::ParseEndTag()
{
    const size_t tagPos = m_nPos;
    const size_t nameStart = m_nPos + 2;
    const size_t nameEnd = NameEnd(nameStart);
    if (nameEnd == nameStart)
        return Fail(eXMLErrorMissingEndTagName, tagPos);
    m_nPos = SkipBlanks(nameEnd);
    if (m_nPos >= m_nLength || m_pText[m_nPos] != '>')
        return Fail(eXMLErrorUnexpectedToken, m_nPos < m_nLength ? m_nPos : tagPos);
    ++m_nPos;
    Flush();
    const std::string name(m_pText + nameStart, nameEnd - nameStart);
    // Look for the element it closes, innermost first (the top node cannot be closed).
    size_t match = m_vOpen.size();
    for (size_t k = m_vOpen.size(); k-- > 1;)
    {
        if (SameName(m_vOpen[k].node->name.get(), name.c_str()))
        {
            match = k;
            break;
        }
    }
    if (match == m_vOpen.size())
        return Fail(eXMLErrorUnmatchedEndTag, tagPos);
    if (match != m_vOpen.size() - 1)
        Warn(eXMLWarningUnmatchedEndTag, tagPos); // closes elements that had no end tag
    m_vOpen.resize(match);
    return true;
}

XMLNode XMLParserImpl::Parse(const char* tag, XMLResults* results)
{
    XMLNodeData* topData = new XMLNodeData;
    topData->refCount = 1;
    XMLNode top(topData);
    m_vOpen.push_back(OpenElement{topData, 0});

    if (m_nLength >= 3 && memcmp(m_pText, "\xEF\xBB\xBF", 3) == 0)
        m_nStart = m_nPos = 3;

    // A zero byte has no place in a document (only a file can hold one): refuse it up front,
    // so that no stored text is cut short by it.
    const void* zero = memchr(m_pText + m_nPos, '\0', m_nLength - m_nPos);
    bool ok =
        zero == nullptr || Fail(eXMLErrorUnexpectedToken,
                                static_cast<size_t>(static_cast<const char*>(zero) - m_pText));
    while (ok && m_nPos < m_nLength)
    {
        const char* here = m_pText + m_nPos;
        const size_t left = m_nLength - m_nPos;
        if (*here != '<')
        {
            ok = ParseText();
            continue;
        }
        const char next = left > 1 ? here[1] : '\0';
        if (next == '/')
        {
            ok = ParseEndTag();
            continue;
        }
        const ClearTag* clear = nullptr;
        for (const ClearTag& t : kClearTags)
            if (StartsWithNoCase(here, left, t.open))
                clear = &t;
        if (clear != nullptr)
            ok = ParseClear(*clear);
        else if (next == '?')
            ok = ParseDeclaration();
        else if (next == '!')
            ok = Fail(eXMLErrorUnexpectedToken, m_nPos);
        else
            ok = ParseStartTag();
    }
    if (ok)
    {
        Flush();
        if (m_vOpen.size() > 1)
            Warn(eXMLWarningUnmatchedEndTag, m_vOpen.back().tagPos); // never closed
        if (m_nElements == 0)
        {
            size_t i = m_nStart;
            while (i < m_nLength && IsBlank(m_pText[i]))
                ++i;
            ok = Fail(i == m_nLength ? eXMLErrorEmpty : eXMLErrorNoElements, m_nLength);
        }
    }

    XMLResults r = {eXMLErrorNone, 0, 0};
    XMLNode result;
    if (!ok)
    {
        r.error = m_eError;
        Position(m_nErrorPos, &r.nLine, &r.nColumn);
    }
    else
    {
        if (m_eWarning != eXMLErrorNone)
        {
            r.error = m_eWarning;
            Position(m_nWarningPos, &r.nLine, &r.nColumn);
        }
        result = top;
        if (tag != nullptr && *tag != '\0')
        {
            // The first element of that name among the top node's children; a declaration's
            // own children are searched where it stands.
            XMLNodeData* found = nullptr;
            std::vector<std::pair<XMLNodeData*, size_t>> walk(1, std::make_pair(topData, 0));
            while (found == nullptr && !walk.empty())
            {
                auto& w = walk.back();
                if (w.second >= w.first->children.size())
                {
                    walk.pop_back();
                    continue;
                }
                XMLNodeData* child = w.first->children[w.second++];
                if (SameName(child->name.get(), tag))
                    found = child;
                else if (child->isDeclaration && !child->children.empty())
                    walk.push_back(std::make_pair(child, 0));
            }
            if (found != nullptr)
            {
                ++found->refCount;
                result = XMLNode(found);
            }
            else
            {
                result = XMLNode();
                if (r.error == eXMLErrorNone)
                    r.error = eXMLErrorFirstTagNotFound;
            }
        }
    }
    if (results != nullptr)
        *results = r;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Writer

namespace
{
// Writes a tree without recursion. Layout of formatted output (every writer of the system
// keeps to it):
//  - each element starts on a line of its own, indented by one tab per depth; the children of
//    the nameless top node stand at depth 0;
//  - an element without content is one tag closed by "/>" with no blank before it:
//    <Value Value="1"/>
//  - an element whose content has no child elements (texts and clear sections only) stands
//    on one line with its content: <UserText>Pump 1</UserText>
//  - in an element with child elements, each child, text and clear section stands on a line
//    of its own, one tab deeper than the element, and the end tag on a line of its own;
//  - a declaration is written <?name attributes?> (for example
//    <?xml version="1.0" encoding="utf-8"?>) on a line of its own;
//  - attributes are name="value" separated by one blank; an attribute without a value is
//    written as its name alone.
// Texts and attribute values are always escaped; clear sections are written as they stand.
// Unformatted output adds nothing between the parts.
class XMLWriter
{
public:
    XMLWriter(bool format, XMLNode::XMLCharEncoding encoding)
        : m_bFormat(format), m_eEncoding(encoding)
    {
    }
    void Write(const XMLNodeData* root);
    std::string& Text() { return m_sOut; }

private:
    struct Frame
    {
        const XMLNodeData* node;
        size_t next;
        int depth; // depth of the content items
    };

    void Indent(int depth)
    {
        if (m_bFormat && depth > 0)
            m_sOut.append(static_cast<size_t>(depth), '\t');
    }
    void LineEnd()
    {
        if (m_bFormat)
            m_sOut += '\n';
    }
    void Escape(const char* text);
    void StartTag(const XMLNodeData* n);
    void Element(const XMLNodeData* n, int depth);
    void InlineItem(const XMLNodeData* n, int entry);

    bool m_bFormat;
    XMLNode::XMLCharEncoding m_eEncoding;
    std::string m_sOut;
    std::vector<Frame> m_vFrames;
};

void XMLWriter::Escape(const char* text)
{
    if (text == nullptr)
        return;
    const size_t n = strlen(text);
    size_t i = 0;
    while (i < n)
    {
        switch (text[i])
        {
        case '&':
            m_sOut += "&amp;";
            break;
        case '<':
            m_sOut += "&lt;";
            break;
        case '>':
            m_sOut += "&gt;";
            break;
        case '"':
            m_sOut += "&quot;";
            break;
        case '\'':
            m_sOut += "&apos;";
            break;
        default:
        {
            const size_t l = CharLength(m_eEncoding, text, i, n);
            m_sOut.append(text + i, l);
            i += l;
            continue;
        }
        }
        ++i;
    }
}

void XMLWriter::StartTag(const XMLNodeData* n)
{
    m_sOut += n->isDeclaration ? "<?" : "<";
    m_sOut += n->name.get();
    for (const XMLAttrData& a : n->attributes)
    {
        m_sOut += ' ';
        m_sOut += a.name.get() != nullptr ? a.name.get() : "";
        if (a.value != nullptr)
        {
            m_sOut += "=\"";
            Escape(a.value.get());
            m_sOut += '"';
        }
    }
}

void XMLWriter::InlineItem(const XMLNodeData* n, int entry)
{
    const size_t index = static_cast<size_t>(entry >> 2);
    if ((entry & 3) == eNodeText)
    {
        Escape(n->texts[index].get());
    }
    else if ((entry & 3) == eNodeClear)
    {
        const XMLClearData& c = n->clears[index];
        m_sOut += c.openTag.get() != nullptr ? c.openTag.get() : "";
        m_sOut += c.value.get() != nullptr ? c.value.get() : "";
        m_sOut += c.closeTag.get() != nullptr ? c.closeTag.get() : "";
    }
}

void XMLWriter::Element(const XMLNodeData* n, int depth)
{
    Indent(depth);
    StartTag(n);
    if (n->isDeclaration)
    {
        m_sOut += "?>";
        LineEnd();
        if (n->HasContent()) // content of a declaration follows it at the same depth
            m_vFrames.push_back(Frame{n, 0, depth});
        return;
    }
    if (!n->HasContent())
    {
        m_sOut += "/>";
        LineEnd();
        return;
    }
    m_sOut += '>';
    if (n->children.empty())
    {
        for (int entry : n->order)
            InlineItem(n, entry);
        m_sOut += "</";
        m_sOut += n->name.get();
        m_sOut += '>';
        LineEnd();
        return;
    }
    LineEnd();
    m_vFrames.push_back(Frame{n, 0, depth + 1});
}

void XMLWriter::Write(const XMLNodeData* root)
{
    if (root->name != nullptr)
        Element(root, 0);
    else
        m_vFrames.push_back(Frame{root, 0, 0});
    while (!m_vFrames.empty())
    {
        Frame& f = m_vFrames.back();
        const XMLNodeData* n = f.node;
        const int depth = f.depth;
        if (f.next >= n->order.size())
        {
            m_vFrames.pop_back();
            if (n->name != nullptr && !n->isDeclaration)
            {
                Indent(depth - 1);
                m_sOut += "</";
                m_sOut += n->name.get();
                m_sOut += '>';
                LineEnd();
            }
            continue;
        }
        const int entry = n->order[f.next++];
        if ((entry & 3) == eNodeChild)
        {
            Element(n->children[static_cast<size_t>(entry >> 2)], depth); // may grow m_vFrames
        }
        else
        {
            Indent(depth);
            InlineItem(n, entry);
            LineEnd();
        }
    }
}
} // namespace

// ---------------------------------------------------------------------------------------------
// XMLNode

const XMLNode emptyXMLNode;

XMLNode::XMLNode() : d(nullptr) {}

XMLNode::XMLNode(XMLNodeData* data) : d(data) {}

XMLNode::XMLNode(const XMLNode& other) : d(other.d)
{
    if (d != nullptr)
        ++d->refCount;
}

XMLNode& XMLNode::operator=(const XMLNode& other)
{
    if (other.d != nullptr)
        ++other.d->refCount;
    XMLNodeData* old = d;
    d = other.d;
    ReleaseData(old);
    return *this;
}

XMLNode::~XMLNode()
{
    ReleaseData(d);
}

XMLNodeContents::XMLNodeContents() : etype(eNodeNULL), attrib(kNoAttribute), text(nullptr)
{
    clear = kNoClear;
}

XMLNodeContents::~XMLNodeContents() {}

XMLNode XMLNode::parseString(XMLCSTR text, XMLCSTR tag, XMLResults* results)
{
    if (text == nullptr)
    {
        if (results != nullptr)
            *results = XMLResults{eXMLErrorEmpty, 0, 0};
        return XMLNode();
    }
    XMLParserImpl parser(text, strlen(text));
    return parser.Parse(tag, results);
}

namespace
{
bool ReadWholeFile(const char* path, std::string& content)
{
    if (path == nullptr)
        return false;
    FILE* f = fopen(path, "rb");
    if (f == nullptr)
        return false;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        content.append(buffer, n);
    const bool ok = ferror(f) == 0;
    fclose(f);
    return ok;
}
} // namespace

XMLNode XMLNode::parseFile(XMLCSTR path, XMLCSTR tag, XMLResults* results)
{
    std::string content;
    if (!ReadWholeFile(path, content))
    {
        if (results != nullptr)
            *results = XMLResults{eXMLErrorFileNotFound, 0, 0};
        return XMLNode();
    }
    XMLParserImpl parser(content.data(), content.size());
    return parser.Parse(tag, results);
}

XMLNode::XMLCharEncoding XMLNode::guessCharEncoding(const void* buffer, int length,
                                                    char useXMLEncodingAttribute)
{
    const unsigned char* b = static_cast<const unsigned char*>(buffer);
    if (b == nullptr || length < 25)
        return tOptions.encoding;
    const size_t l = static_cast<size_t>(length);
    if (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        return char_encoding_UTF8;

    // Valid UTF-8 sequences throughout (a sequence cut off by the end of the sample counts)?
    bool utf8 = true;
    for (size_t i = 0; i < l && utf8;)
    {
        const unsigned char c = b[i];
        size_t n = 1;
        if (c >= 0x80)
        {
            if (c >= 0xC2 && c <= 0xDF)
                n = 2;
            else if (c >= 0xE0 && c <= 0xEF)
                n = 3;
            else if (c >= 0xF0 && c <= 0xF4)
                n = 4;
            else
                utf8 = false;
            for (size_t k = 1; utf8 && k < n && i + k < l; ++k)
                if (b[i + k] < 0x80 || b[i + k] > 0xBF)
                    utf8 = false;
        }
        i += n;
    }
    XMLCharEncoding guess = utf8 ? char_encoding_UTF8 : char_encoding_legacy;
    if (!useXMLEncodingAttribute)
        return guess;

    const char* text = static_cast<const char*>(buffer);
    static const char word[] = "encoding";
    const size_t wordLength = sizeof word - 1;
    for (size_t i = 0; i + wordLength <= l; ++i)
    {
        if (memcmp(text + i, word, wordLength) != 0)
            continue;
        size_t k = i + wordLength;
        while (k < l && IsBlank(text[k]))
            ++k;
        if (k >= l || text[k] != '=')
            continue;
        ++k;
        while (k < l && IsBlank(text[k]))
            ++k;
        if (k >= l || (text[k] != '"' && text[k] != '\''))
            continue;
        const char quote = text[k++];
        size_t end = k;
        while (end < l && text[end] != quote)
            ++end;
        if (end >= l)
            break; // the value runs past the sample: keep the guess
        const std::string value(text + k, end - k);
        const char* v = value.c_str();
        if (SameName(v, "utf-8") || SameName(v, "utf8"))
            return char_encoding_UTF8;
        if (SameName(v, "shiftjis") || SameName(v, "shift-jis") || SameName(v, "sjis"))
            return char_encoding_ShiftJIS;
        if (SameName(v, "GB2312"))
            return char_encoding_GB2312;
        if (SameName(v, "Big5"))
            return char_encoding_Big5;
        if (SameName(v, "GBK"))
            return char_encoding_GBK;
        return char_encoding_legacy;
    }
    return guess;
}

XMLNode XMLNode::openFileHelper(XMLCSTR path, XMLCSTR tag, XMLResults* results)
{
    if (path != nullptr)
    {
        FILE* f = fopen(path, "rb");
        if (f != nullptr)
        {
            char sample[200];
            const size_t n = fread(sample, 1, sizeof sample, f);
            fclose(f);
            setGlobalOptions(guessCharEncoding(sample, static_cast<int>(n)),
                             tOptions.guessWideChars, tOptions.dropWhiteSpace,
                             tOptions.removeCommentsInMiddleOfText);
        }
    }
    return parseFile(path, tag, results);
}

XMLNode XMLNode::openFileHelper(XMLCSTR path, XMLCSTR tag)
{
    XMLResults results;
    XMLNode node = openFileHelper(path, tag, &results);
    if (results.error != eXMLErrorNone)
    {
        std::string message = "XML Parsing error inside file '";
        message += path != nullptr ? path : "";
        message += "'.\n";
        message += getError(results.error);
        message += "\nAt line " + std::to_string(results.nLine) + ", column " +
                   std::to_string(results.nColumn) + ".\n";
        if (results.error == eXMLErrorFirstTagNotFound)
        {
            message += "First Tag should be '";
            message += tag != nullptr ? tag : "";
            message += "'.\n";
        }
        throw CQTXEXmlError("XmlParserError", message, "./xmlParser", 464, Error);
    }
    return node;
}

XMLCSTR XMLNode::getError(XMLError error)
{
    switch (error)
    {
    case eXMLErrorNone:
        return "No error";
    case eXMLWarningUnmatchedEndTag:
        return "Warning: Unmatched end tag";
    case eXMLWarningNoXMLTagFound:
        return "Warning: No XML tag found";
    case eXMLErrorEmpty:
        return "Error: No XML data";
    case eXMLErrorMissingTagName:
        return "Error: Missing start tag name";
    case eXMLErrorMissingEndTagName:
        return "Error: Missing end tag name";
    case eXMLErrorUnmatchedEndTag:
        return "Error: Unmatched end tag";
    case eXMLErrorUnmatchedEndClearTag:
        return "Error: Unmatched clear tag end";
    case eXMLErrorUnexpectedToken:
        return "Error: Unexpected token found";
    case eXMLErrorNoElements:
        return "Error: No elements found";
    case eXMLErrorFileNotFound:
        return "Error: File not found";
    case eXMLErrorFirstTagNotFound:
        return "Error: First Tag not found";
    case eXMLErrorUnknownCharacterEntity:
        return "Error: Unknown character entity";
    case eXMLErrorCharacterCodeAbove255:
        return "Error: Character code above 255 is forbidden in MultiByte char mode.";
    case eXMLErrorCharConversionError:
        return "Error: unable to convert between WideChar and MultiByte chars";
    case eXMLErrorCannotOpenWriteFile:
        return "Error: unable to open file for writing";
    case eXMLErrorCannotWriteFile:
        return "Error: cannot write into file";
    case eXMLErrorBase64DataSizeIsNotMultipleOf4:
        return "Warning: Base64-string length is not a multiple of 4";
    case eXMLErrorBase64DecodeIllegalCharacter:
        return "Error: Base64-string contains an illegal character";
    case eXMLErrorBase64DecodeTruncatedData:
        return "Warning: Base64-string is truncated";
    case eXMLErrorBase64DecodeBufferTooSmall:
        return "Error: Base64 decode output buffer is too small";
    case eXMLErrorNestingTooDeep:
        return "Error: Elements nested too deeply";
    }
    return "Unknown";
}

XMLCSTR XMLNode::getVersion()
{
    return "1.0";
}

char XMLNode::setGlobalOptions(XMLCharEncoding characterEncoding, char guessWideChars,
                               char dropWhiteSpace, char removeCommentsInMiddleOfText)
{
    // The three flags take effect even when the encoding is refused. guessWideChars is kept
    // for callers that read it back; this byte-oriented parser has no wide-character mode.
    tOptions.guessWideChars = guessWideChars;
    tOptions.dropWhiteSpace = dropWhiteSpace;
    tOptions.removeCommentsInMiddleOfText = removeCommentsInMiddleOfText;
    if (characterEncoding < char_encoding_UTF8 || characterEncoding > char_encoding_GBK)
        return 1;
    tOptions.encoding = characterEncoding;
    return 0;
}

XMLNode::XMLCharEncoding XMLNode::getCharEncoding()
{
    return tOptions.encoding;
}
char XMLNode::getGuessWideChars()
{
    return tOptions.guessWideChars;
}
char XMLNode::getDropWhiteSpace()
{
    return tOptions.dropWhiteSpace;
}
char XMLNode::getRemoveCommentsInMiddleOfText()
{
    return tOptions.removeCommentsInMiddleOfText;
}

XMLNode XMLNode::createXMLTopNode(XMLCSTR name, char isDeclaration)
{
    XMLNodeData* data = new XMLNodeData;
    data->name = MakeStr(name);
    data->isDeclaration = (isDeclaration && name != nullptr) ? 1 : 0;
    data->refCount = 1;
    return XMLNode(data);
}

XMLNode XMLNode::addChild(XMLCSTR name, char isDeclaration, int position)
{
    if (d == nullptr || name == nullptr)
        return XMLNode();
    XMLNodeData* child = NewChild(d, name, isDeclaration, position);
    ++child->refCount;
    return XMLNode(child);
}

XMLAttribute XMLNode::addAttribute(XMLCSTR name, XMLCSTR value)
{
    if (d == nullptr || name == nullptr)
        return kNoAttribute;
    XMLAttrData a;
    a.name = MakeStr(name);
    a.value = MakeStr(value);
    d->attributes.push_back(std::move(a));
    return AttributeView(d->attributes.back());
}

XMLCSTR XMLNode::addText(XMLCSTR text, int position)
{
    if (d == nullptr || text == nullptr)
        return nullptr;
    return AddTextData(d, MakeStr(text), position);
}

XMLClear XMLNode::addClear(XMLCSTR value, XMLCSTR openTag, XMLCSTR closeTag, int position)
{
    if (d == nullptr || value == nullptr)
        return kNoClear;
    XMLClearData c;
    c.value = MakeStr(value);
    c.openTag = MakeStr(openTag != nullptr ? openTag : "<![CDATA[");
    c.closeTag = MakeStr(closeTag != nullptr ? closeTag : "]]>");
    return AddClearData(d, std::move(c), position);
}

XMLAttribute XMLNode::updateAttribute(XMLCSTR newValue, XMLCSTR newName, XMLCSTR oldName)
{
    if (d == nullptr)
        return kNoAttribute;
    for (XMLAttrData& a : d->attributes)
    {
        if (SameName(a.name.get(), oldName))
        {
            // new copies first: the arguments may point into this very attribute
            XStr value = MakeStr(newValue);
            if (newName != nullptr)
                a.name = MakeStr(newName);
            a.value = std::move(value);
            return AttributeView(a);
        }
    }
    return addAttribute(newName != nullptr ? newName : oldName, newValue);
}

XMLAttribute XMLNode::updateAttribute(XMLCSTR newValue, XMLCSTR newName, int i)
{
    if (d == nullptr)
        return kNoAttribute;
    if (i >= 0 && static_cast<size_t>(i) < d->attributes.size())
    {
        XMLAttrData& a = d->attributes[static_cast<size_t>(i)];
        XStr value = MakeStr(newValue);
        if (newName != nullptr)
            a.name = MakeStr(newName);
        a.value = std::move(value);
        return AttributeView(a);
    }
    if (newName == nullptr)
        return kNoAttribute;
    return addAttribute(newName, newValue);
}

XMLCSTR XMLNode::updateText(XMLCSTR newText, int i)
{
    if (d == nullptr || newText == nullptr)
        return nullptr;
    if (i >= 0 && static_cast<size_t>(i) < d->texts.size())
    {
        d->texts[static_cast<size_t>(i)] = MakeStr(newText);
        return d->texts[static_cast<size_t>(i)].get();
    }
    return addText(newText);
}

XMLCSTR XMLNode::updateName(XMLCSTR newName)
{
    if (d == nullptr || newName == nullptr)
        return nullptr;
    d->name = MakeStr(newName);
    return d->name.get();
}

void XMLNode::deleteAttribute(XMLCSTR name)
{
    if (d == nullptr)
        return;
    for (size_t i = 0; i < d->attributes.size(); ++i)
    {
        if (SameName(d->attributes[i].name.get(), name))
        {
            d->attributes.erase(d->attributes.begin() + static_cast<long>(i));
            return;
        }
    }
}

void XMLNode::deleteAttribute(int i)
{
    if (d != nullptr && i >= 0 && static_cast<size_t>(i) < d->attributes.size())
        d->attributes.erase(d->attributes.begin() + i);
}

void XMLNode::deleteText(int i)
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->texts.size())
        return;
    RemoveOrder(d, eNodeText, static_cast<size_t>(i));
    d->texts.erase(d->texts.begin() + i);
}

void XMLNode::deleteClear(int i)
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->clears.size())
        return;
    RemoveOrder(d, eNodeClear, static_cast<size_t>(i));
    d->clears.erase(d->clears.begin() + i);
}

void XMLNode::deleteNodeContent()
{
    if (d == nullptr)
        return;
    XMLNodeData* n = d;
    XMLNodeData* parent = n->pParent;
    if (parent != nullptr)
    {
        for (size_t i = 0; i < parent->children.size(); ++i)
        {
            if (parent->children[i] == n)
            {
                RemoveOrder(parent, eNodeChild, i);
                parent->children.erase(parent->children.begin() + static_cast<long>(i));
                break;
            }
        }
        n->pParent = nullptr;
        --n->refCount; // the parent's reference; this handle still holds one
    }
    std::vector<XMLNodeData*> children;
    children.swap(n->children);
    for (XMLNodeData* child : children)
    {
        child->pParent = nullptr;
        ReleaseData(child);
    }
    n->attributes.clear();
    n->texts.clear();
    n->clears.clear();
    n->order.clear();
    d = nullptr;
    ReleaseData(n);
}

XMLCSTR XMLNode::getName() const
{
    return d != nullptr ? d->name.get() : nullptr;
}

XMLNode XMLNode::getParentNode() const
{
    if (d == nullptr || d->pParent == nullptr)
        return XMLNode();
    ++d->pParent->refCount;
    return XMLNode(d->pParent);
}

char XMLNode::isDeclaration() const
{
    return d != nullptr ? d->isDeclaration : 0;
}

int XMLNode::nChildNode() const
{
    return d != nullptr ? static_cast<int>(d->children.size()) : 0;
}

int XMLNode::nChildNode(XMLCSTR name) const
{
    int count = 0;
    if (d != nullptr)
        for (const XMLNodeData* c : d->children)
            if (SameName(c->name.get(), name))
                ++count;
    return count;
}

int XMLNode::nAttribute() const
{
    return d != nullptr ? static_cast<int>(d->attributes.size()) : 0;
}

int XMLNode::nText() const
{
    return d != nullptr ? static_cast<int>(d->texts.size()) : 0;
}

int XMLNode::nClear() const
{
    return d != nullptr ? static_cast<int>(d->clears.size()) : 0;
}

int XMLNode::nElement() const
{
    return d != nullptr ? static_cast<int>(d->attributes.size() + d->order.size()) : 0;
}

XMLNode XMLNode::getChildNode(int i) const
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->children.size())
        return XMLNode();
    XMLNodeData* c = d->children[static_cast<size_t>(i)];
    ++c->refCount;
    return XMLNode(c);
}

XMLNode XMLNode::getChildNode(XMLCSTR name, int i) const
{
    if (d == nullptr || i < 0)
        return XMLNode();
    for (XMLNodeData* c : d->children)
    {
        if (SameName(c->name.get(), name) && i-- == 0)
        {
            ++c->refCount;
            return XMLNode(c);
        }
    }
    return XMLNode();
}

XMLNode XMLNode::getChildNode(XMLCSTR name, int* i) const
{
    if (d == nullptr)
        return XMLNode();
    size_t k = (i != nullptr && *i > 0) ? static_cast<size_t>(*i) : 0;
    for (; k < d->children.size(); ++k)
    {
        XMLNodeData* c = d->children[k];
        if (SameName(c->name.get(), name))
        {
            if (i != nullptr)
                *i = static_cast<int>(k + 1);
            ++c->refCount;
            return XMLNode(c);
        }
    }
    return XMLNode();
}

XMLNode XMLNode::getChildNodeWithAttribute(XMLCSTR name, XMLCSTR attributeName,
                                           XMLCSTR attributeValue, int* i) const
{
    int k = (i != nullptr && *i > 0) ? *i : 0;
    for (;;)
    {
        XMLNode child = getChildNode(name, &k);
        if (child.isEmpty())
            return child;
        for (const XMLAttrData& a : child.d->attributes)
        {
            if (!SameName(a.name.get(), attributeName))
                continue;
            if (attributeValue == nullptr ||
                (a.value != nullptr && strcmp(a.value.get(), attributeValue) == 0))
            {
                if (i != nullptr)
                    *i = k;
                return child;
            }
        }
    }
}

XMLCSTR XMLNode::getAttribute(XMLCSTR name, int i) const
{
    if (d == nullptr || i < 0)
        return nullptr;
    for (const XMLAttrData& a : d->attributes)
        if (SameName(a.name.get(), name) && i-- == 0)
            return a.value.get();
    return nullptr;
}

XMLCSTR XMLNode::getAttribute(XMLCSTR name, int* j) const
{
    if (d == nullptr)
        return nullptr;
    size_t k = (j != nullptr && *j > 0) ? static_cast<size_t>(*j) : 0;
    for (; k < d->attributes.size(); ++k)
    {
        if (SameName(d->attributes[k].name.get(), name))
        {
            if (j != nullptr)
                *j = static_cast<int>(k + 1);
            return d->attributes[k].value.get();
        }
    }
    return nullptr;
}

bool XMLNode::isAttributeSet(XMLCSTR name) const
{
    if (d != nullptr)
        for (const XMLAttrData& a : d->attributes)
            if (SameName(a.name.get(), name))
                return true;
    return false;
}

XMLAttribute XMLNode::getAttribute(int i) const
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->attributes.size())
        return kNoAttribute;
    return AttributeView(d->attributes[static_cast<size_t>(i)]);
}

XMLCSTR XMLNode::getAttributeName(int i) const
{
    return getAttribute(i).lpszName;
}

XMLCSTR XMLNode::getAttributeValue(int i) const
{
    return getAttribute(i).lpszValue;
}

XMLCSTR XMLNode::getText(int i) const
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->texts.size())
        return nullptr;
    return d->texts[static_cast<size_t>(i)].get();
}

XMLClear XMLNode::getClear(int i) const
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->clears.size())
        return kNoClear;
    return ClearView(d->clears[static_cast<size_t>(i)]);
}

XMLNodeContents XMLNode::enumContents(int i) const
{
    XMLNodeContents c;
    if (d == nullptr || i < 0)
        return c;
    size_t k = static_cast<size_t>(i);
    if (k < d->attributes.size())
    {
        c.etype = eNodeAttribute;
        c.attrib = AttributeView(d->attributes[k]);
        return c;
    }
    k -= d->attributes.size();
    if (k >= d->order.size())
        return c;
    const int entry = d->order[k];
    const size_t index = static_cast<size_t>(entry >> 2);
    switch (entry & 3)
    {
    case eNodeChild:
        c.etype = eNodeChild;
        c.child = getChildNode(static_cast<int>(index));
        break;
    case eNodeText:
        c.etype = eNodeText;
        c.text = d->texts[index].get();
        break;
    default:
        c.etype = eNodeClear;
        c.clear = ClearView(d->clears[index]);
        break;
    }
    return c;
}

XMLSTR XMLNode::createXMLString(int nFormat, int* size) const
{
    if (d == nullptr)
    {
        if (size != nullptr)
            *size = 0;
        return nullptr;
    }
    // Without dropping white space the texts are kept as they stand, so no layout is added.
    XMLWriter writer(nFormat != 0 && tOptions.dropWhiteSpace != 0, tOptions.encoding);
    writer.Write(d);
    const std::string& text = writer.Text();
    XMLSTR result = static_cast<XMLSTR>(malloc(text.size() + 1));
    if (result == nullptr)
    {
        if (size != nullptr)
            *size = 0;
        return nullptr;
    }
    memcpy(result, text.data(), text.size());
    result[text.size()] = '\0';
    if (size != nullptr)
        *size = static_cast<int>(text.size());
    return result;
}

void XMLNode::freeXMLString(XMLSTR text)
{
    free(text);
}

XMLError XMLNode::writeToFile(XMLCSTR path, XMLCSTR encoding, char nFormat) const
{
    if (d == nullptr)
        return eXMLErrorNone;
    const XMLCharEncoding mode = tOptions.encoding;
    std::string head;
    if (mode == char_encoding_UTF8)
        head = "\xEF\xBB\xBF";
    const bool ownDeclaration = d->isDeclaration || (d->name == nullptr && !d->children.empty() &&
                                                     d->children.front()->isDeclaration);
    if (!ownDeclaration)
    {
        const char* name = mode == char_encoding_UTF8       ? "utf-8"
                           : mode == char_encoding_ShiftJIS ? "SHIFT-JIS"
                           : encoding != nullptr            ? encoding
                                                            : "ISO-8859-1";
        head += "<?xml version=\"1.0\" encoding=\"";
        head += name;
        head += "\"?>\n";
    }
    XMLWriter writer(nFormat != 0 && tOptions.dropWhiteSpace != 0, mode);
    writer.Write(d);

    FILE* f = path != nullptr ? fopen(path, "wb") : nullptr;
    if (f == nullptr)
        return eXMLErrorCannotOpenWriteFile;
    const std::string& text = writer.Text();
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
    ok = ok && fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (fclose(f) == 0) && ok;
    return ok ? eXMLErrorNone : eXMLErrorCannotWriteFile;
}
