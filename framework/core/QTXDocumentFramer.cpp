// The framer of request documents: one state machine fed byte by byte (body text in runs up to
// the next "<"), keeping all it needs between pieces, so that any split of the same bytes
// frames the same document.
#include "QTXDocumentFramer.h"

#include <algorithm>
#include <cstring>

namespace
{
// Binary command head: "<?bin", a zero byte, u16 tag at 6, u32 payload length at 12.
constexpr size_t kBinHeadSize = 16;
constexpr size_t kBinTagOffset = 6;
constexpr size_t kBinLengthOffset = 12;

// Sub-states of the root's content.
enum
{
    kBodyCopy,      // text up to the next "<"
    kBodyAfterLess, // the byte after "<"
    kBodyEndName,   // in an end tag's name, compared with the root's
    kBodyStartName, // in a start tag's name, compared with the root's
    kBodyTag        // in a start tag of the root's name
};

bool IsWhiteSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsLetterOrDigit(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A byte that may stand in an XML name (any byte of a multi-byte UTF-8 character counts).
bool IsNameChar(unsigned char c)
{
    return IsLetterOrDigit(c) || c == '-' || c == '_' || c == '.' || c == ':' || c >= 0x80;
}

unsigned char ToLower(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

uint16_t GetU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

const char kCData[] = "[CDATA[";
} // namespace

CQTXDocumentFramer::CQTXDocumentFramer(CQTXDocumentOutput* output, uint64_t limit)
    : m_pOutput(output), m_uLimit(limit)
{
}

void CQTXDocumentFramer::Write(const void* data, size_t length)
{
    if (m_pOutput != nullptr && length > 0)
    {
        m_pOutput->Write(data, length);
    }
}

bool CQTXDocumentFramer::Restart()
{
    return m_pOutput == nullptr || m_pOutput->Restart();
}

CQTXDocumentFramer::Result CQTXDocumentFramer::Feed(const uint8_t* data, size_t length,
                                                    size_t* used)
{
    size_t i = 0;
    Result result = MoreData;
    while (i < length && m_eState != StDone && result == MoreData)
    {
        switch (m_eState)
        {
        case StSearch:
            SearchByte(data[i++]);
            break;
        case StXmlHead:
        case StXmlBody:
        {
            // Every byte from the label on is stored, in runs.
            size_t run = i;
            while (i < length && (m_eState == StXmlHead || m_eState == StXmlBody))
            {
                if (m_eState == StXmlBody && m_eSkip == SkNone && m_iSub == kBodyCopy)
                {
                    // Text up to the next "<" in one go.
                    const void* less = std::memchr(data + i, '<', length - i);
                    if (less == nullptr)
                    {
                        i = length;
                        break;
                    }
                    i = static_cast<size_t>(static_cast<const uint8_t*>(less) - data) + 1;
                    m_iSub = kBodyAfterLess;
                    continue;
                }
                const uint8_t c = data[i++];
                const Step step = XmlByte(c);
                if (step == StepOn)
                {
                    continue;
                }
                // A new document inside the root: what came so far is dropped.
                m_sRootName.clear();
                m_uDepth = 0;
                if (!Restart())
                {
                    result = WriteFailed;
                    break;
                }
                if (step == StepNewXml)
                {
                    Write("<?xml", 5);
                    m_eState = StXmlHead;
                    m_iSub = 0;
                    --i; // the byte after the label is the new document's
                }
                else
                {
                    std::memcpy(m_aHead, "<?bin", 5);
                    m_aHead[5] = c;
                    m_uHeadBytes = 6;
                    m_eState = StBinary;
                }
                run = i;
            }
            if (result == MoreData)
            {
                Write(data + run, i - run);
            }
            break;
        }
        case StBinary:
        {
            size_t taken = 0;
            result = BinaryBytes(data + i, length - i, taken);
            i += taken;
            break;
        }
        case StDone:
            break;
        }
        if (result == MoreData && m_pOutput != nullptr && m_pOutput->Lost())
        {
            result = WriteFailed;
        }
    }
    if (used != nullptr)
    {
        *used = i;
    }
    if (result != MoreData)
    {
        return result;
    }
    return m_eState == StDone ? Complete : MoreData;
}

void CQTXDocumentFramer::SearchByte(uint8_t byte)
{
    static const char kXml[] = "<?xml";
    static const char kBin[] = "<?bin";
    unsigned char c = ToLower(byte);
    int k = m_iSub;
    bool match;
    if (k < 2)
    {
        match = c == static_cast<unsigned char>(kXml[k]);
    }
    else if (k == 2)
    {
        match = c == 'x' || c == 'b';
        m_cLabel = static_cast<char>(c);
    }
    else
    {
        match = c == static_cast<unsigned char>((m_cLabel == 'x' ? kXml : kBin)[k]);
    }
    m_iSub = match ? k + 1 : (c == '<' ? 1 : 0);
    if (m_iSub < 5)
    {
        return;
    }
    if (m_cLabel == 'x')
    {
        Write(kXml, 5);
        m_eState = StXmlHead;
        m_iSub = 0;
    }
    else
    {
        std::memcpy(m_aHead, kBin, 5);
        m_uHeadBytes = 5;
        m_eState = StBinary;
    }
}

CQTXDocumentFramer::Step CQTXDocumentFramer::XmlByte(uint8_t c)
{
    if (m_eSkip == SkPITarget)
    {
        Step step = StepOn;
        PITargetByte(c, step);
        return step;
    }
    if (m_eSkip != SkNone)
    {
        SkipByte(c);
        return StepOn;
    }
    if (m_eState == StXmlHead)
    {
        HeadByte(c);
        return StepOn;
    }
    return BodyByte(c);
}

// The prolog: the declaration after the label up to the next "<", comments, instructions and
// a document type declaration, then the root's start tag. "< Ping / >" is taken as "<Ping/>".
void CQTXDocumentFramer::HeadByte(uint8_t c)
{
    switch (m_iSub)
    {
    case 0: // before a "<"
        if (c == '<')
        {
            m_iSub = 1;
        }
        break;
    case 1: // after "<": a name starts the root
        if (IsLetterOrDigit(c))
        {
            m_sRootName.assign(1, static_cast<char>(c));
            m_iSub = 2;
        }
        else if (c == '?' || c == '!')
        {
            StartSkip(c == '?' ? SkPI : SkBang);
            m_iSub = 0;
        }
        else if (!IsWhiteSpace(c))
        {
            m_iSub = c == '<' ? 1 : 0;
        }
        break;
    case 2: // in the root name
        if (IsLetterOrDigit(c))
        {
            m_sRootName.push_back(static_cast<char>(c));
            break;
        }
        m_iSub = 3;
        StartTag();
        [[fallthrough]];
    case 3: // in the root's start tag
        switch (TagByte(c))
        {
        case TagEnd:
            m_eState = StXmlBody;
            m_iSub = kBodyCopy;
            m_uDepth = 1;
            break;
        case TagEmptyEnd:
            m_eState = StDone;
            break;
        case TagGoesOn:
            break;
        }
        break;
    }
}

// The root's content: counts the elements of the root's name until the root's own end tag.
CQTXDocumentFramer::Step CQTXDocumentFramer::BodyByte(uint8_t c)
{
    switch (m_iSub)
    {
    case kBodyCopy:
        if (c == '<')
        {
            m_iSub = kBodyAfterLess;
        }
        break;
    case kBodyAfterLess:
        if (c == '/')
        {
            m_iSub = kBodyEndName;
            m_uPos = 0;
        }
        else if (c == '?' || c == '!')
        {
            StartSkip(c == '?' ? SkPITarget : SkBang);
            m_iSub = kBodyCopy;
        }
        else if (IsLetterOrDigit(c))
        {
            m_iSub = kBodyStartName;
            m_uPos = 0;
            return BodyByte(c);
        }
        else if (!IsWhiteSpace(c))
        {
            m_iSub = kBodyCopy;
        }
        break;
    case kBodyEndName: // blanks anywhere in the name are passed over; any letter case
        if (IsWhiteSpace(c))
        {
            break;
        }
        if (c == '>')
        {
            if (m_uPos == m_sRootName.size() && --m_uDepth == 0)
            {
                m_eState = StDone;
            }
            m_iSub = kBodyCopy;
        }
        else if (m_uPos < m_sRootName.size() &&
                 ToLower(c) == ToLower(static_cast<unsigned char>(m_sRootName[m_uPos])))
        {
            ++m_uPos;
        }
        else
        {
            m_iSub = kBodyCopy;
        }
        break;
    case kBodyStartName:
        if (m_uPos < m_sRootName.size() && IsLetterOrDigit(c) &&
            ToLower(c) == ToLower(static_cast<unsigned char>(m_sRootName[m_uPos])))
        {
            ++m_uPos;
            break;
        }
        if (m_uPos != m_sRootName.size() || !(IsWhiteSpace(c) || c == '/' || c == '>'))
        {
            m_iSub = kBodyCopy; // another element: nothing in its start tag can hold a "<"
            break;
        }
        m_iSub = kBodyTag;
        StartTag();
        [[fallthrough]];
    case kBodyTag: // a start tag of the root's name: nested unless it is empty
        switch (TagByte(c))
        {
        case TagEnd:
            ++m_uDepth;
            m_iSub = kBodyCopy;
            break;
        case TagEmptyEnd:
            m_iSub = kBodyCopy;
            break;
        case TagGoesOn:
            break;
        }
        break;
    }
    return StepOn;
}

void CQTXDocumentFramer::StartTag()
{
    m_cQuote = 0;
    m_bEquals = false;
    m_bSlash = false;
}

// A byte of a start tag after its name: a quote after "=" opens an attribute value, which
// ends at the same quote whatever it holds; "/" and ">" outside values end the tag.
CQTXDocumentFramer::TagByteResult CQTXDocumentFramer::TagByte(uint8_t c)
{
    if (m_cQuote != 0)
    {
        if (c == static_cast<uint8_t>(m_cQuote))
        {
            m_cQuote = 0;
        }
        return TagGoesOn;
    }
    if (m_bSlash)
    {
        // "/" then blanks then ">" ends an empty element; any other byte does not.
        if (c == '>')
        {
            return TagEmptyEnd;
        }
        if (!IsWhiteSpace(c))
        {
            m_bSlash = false;
        }
        return TagGoesOn;
    }
    if (c == '>')
    {
        return TagEnd;
    }
    if (c == '/')
    {
        m_bSlash = true;
        m_bEquals = false;
    }
    else if (c == '=')
    {
        m_bEquals = true;
    }
    else if ((c == '"' || c == '\'') && m_bEquals)
    {
        m_cQuote = static_cast<char>(c);
        m_bEquals = false;
    }
    else if (!IsWhiteSpace(c))
    {
        m_bEquals = false;
    }
    return TagGoesOn;
}

void CQTXDocumentFramer::StartSkip(Skip skip, Skip after)
{
    m_eSkip = skip;
    m_eSkipAfter = after;
    m_iRun = 0;
    if (skip == SkBang)
    {
        m_sBang.clear();
    }
    else if (skip == SkDeclaration)
    {
        m_cQuote = 0;
        m_iBracket = 0;
        m_iDeclLess = 0;
    }
}

bool CQTXDocumentFramer::EndSkip()
{
    m_eSkip = m_eSkipAfter;
    m_eSkipAfter = SkNone;
    m_iRun = 0;
    return m_eSkip != SkNone;
}

// "<?" inside the root: "<?xml" not followed by a name character starts a new XML document
// (that target is reserved for the declaration), "<?bin" followed by a byte that cannot go on
// an instruction's target starts a binary head; anything else is a processing instruction.
bool CQTXDocumentFramer::PITargetByte(uint8_t c, Step& step)
{
    static const char kXml[] = "xml";
    static const char kBin[] = "bin";
    const unsigned char lower = ToLower(c);
    if (m_iRun == 0 && (lower == 'x' || lower == 'b'))
    {
        m_cLabel = static_cast<char>(lower);
        m_iRun = 1;
        return true;
    }
    if (m_iRun > 0 && m_iRun < 3 &&
        lower == static_cast<unsigned char>((m_cLabel == 'x' ? kXml : kBin)[m_iRun]))
    {
        ++m_iRun;
        return true;
    }
    if (m_iRun == 3)
    {
        const bool label =
            m_cLabel == 'x' ? !IsNameChar(c) : !(IsNameChar(c) || IsWhiteSpace(c) || c == '?');
        if (label)
        {
            m_eSkip = SkNone;
            m_iRun = 0;
            step = m_cLabel == 'x' ? StepNewXml : StepNewBinary;
            return false;
        }
    }
    StartSkip(SkPI);
    return SkipByte(c);
}

bool CQTXDocumentFramer::SkipByte(uint8_t c)
{
    switch (m_eSkip)
    {
    case SkNone:
    case SkPITarget:
        return false;
    case SkBang:
    {
        m_sBang.push_back(static_cast<char>(c));
        if (m_sBang == "--")
        {
            StartSkip(SkComment);
            return true;
        }
        if (m_sBang == "-" || std::strncmp(kCData, m_sBang.c_str(), m_sBang.size()) == 0)
        {
            if (m_sBang.size() == sizeof kCData - 1)
            {
                StartSkip(SkCData);
            }
            return true;
        }
        // A declaration ("<!DOCTYPE ...>"): the bytes so far are its first. Only the last of
        // them can end it: the ones before it are a beginning of "--" or "[CDATA[".
        std::string bytes;
        bytes.swap(m_sBang);
        StartSkip(SkDeclaration);
        bool inside = true;
        for (char b : bytes)
        {
            inside = SkipByte(static_cast<uint8_t>(b));
        }
        return inside;
    }
    case SkComment:
    case SkCData:
    {
        const uint8_t closer = m_eSkip == SkComment ? '-' : ']';
        if (c == closer)
        {
            m_iRun = std::min(m_iRun + 1, 2);
            return true;
        }
        if (c == '>' && m_iRun == 2)
        {
            return EndSkip();
        }
        m_iRun = 0;
        return true;
    }
    case SkPI:
        if (c == '>' && m_iRun != 0)
        {
            return EndSkip();
        }
        m_iRun = c == '?' ? 1 : 0;
        return true;
    case SkDeclaration:
        if (m_cQuote != 0)
        {
            if (c == static_cast<uint8_t>(m_cQuote))
            {
                m_cQuote = 0;
            }
            return true;
        }
        if (m_iBracket > 0)
        {
            // Comments and instructions inside the brackets may hold quotes and brackets.
            if (m_iDeclLess == 1 && c == '?')
            {
                m_iDeclLess = 0;
                StartSkip(SkPI, SkDeclaration);
                return true;
            }
            if ((m_iDeclLess == 1 && c == '!') || (m_iDeclLess == 2 && c == '-'))
            {
                ++m_iDeclLess;
                return true;
            }
            if (m_iDeclLess == 3 && c == '-')
            {
                m_iDeclLess = 0;
                StartSkip(SkComment, SkDeclaration);
                return true;
            }
            m_iDeclLess = c == '<' ? 1 : 0;
        }
        if (c == '"' || c == '\'')
        {
            m_cQuote = static_cast<char>(c);
        }
        else if (c == '[')
        {
            ++m_iBracket;
        }
        else if (c == ']' && m_iBracket > 0)
        {
            --m_iBracket;
        }
        else if (c == '>' && m_iBracket == 0)
        {
            return EndSkip();
        }
        return true;
    }
    return false;
}

CQTXDocumentFramer::Result CQTXDocumentFramer::BinaryBytes(const uint8_t* data, size_t length,
                                                           size_t& used)
{
    used = 0;
    if (m_uHeadBytes < kBinHeadSize)
    {
        size_t take = std::min(kBinHeadSize - m_uHeadBytes, length);
        std::memcpy(m_aHead + m_uHeadBytes, data, take);
        m_uHeadBytes += take;
        used = take;
        if (m_uHeadBytes < kBinHeadSize)
        {
            return MoreData;
        }
        m_uBinaryTag = GetU16(m_aHead + kBinTagOffset);
        m_uPayloadLeft = GetU32(m_aHead + kBinLengthOffset);
        if (kBinHeadSize + m_uPayloadLeft > m_uLimit)
        {
            return TooLong;
        }
        Write(m_aHead, kBinHeadSize);
    }
    size_t take = static_cast<size_t>(std::min<uint64_t>(m_uPayloadLeft, length - used));
    Write(data + used, take);
    used += take;
    m_uPayloadLeft -= take;
    if (m_uPayloadLeft == 0)
    {
        m_eState = StDone;
    }
    return MoreData;
}

bool QTXFindDocument(const void* data, size_t length, size_t& end, std::string& rootName,
                     uint16_t& binaryTag)
{
    CQTXDocumentFramer framer;
    size_t used = 0;
    if (framer.Feed(static_cast<const uint8_t*>(data), length, &used) !=
        CQTXDocumentFramer::Complete)
    {
        return false;
    }
    end = used;
    rootName = framer.RootName();
    binaryTag = framer.BinaryTag();
    return true;
}
