// Finds where one request document ends in a byte stream that carries no length prefix: an
// XML document ends with the end tag of its root element (or the "/>" of an empty root), a
// binary command file after the payload length given in its 16-byte head. Bytes before the
// label "<?xml" or "<?bin" (any letter case) are skipped; bytes after the end are not taken.
//
// The end of an XML document is found as an XML reader finds it: quoted attribute values of
// the root's start tag, comments, CDATA sections, processing instructions and document type
// declarations are passed over whatever they hold, and elements inside the root that bear the
// root's name are counted, so that only the root's own end tag ends the document. Besides, the
// framer is lenient where requests have always been taken so: the root's name is its letters
// and digits, end tags of the root's name are compared without regard to case and blanks, a
// "<?xml" or binary head inside the root starts a new document (what came before it is
// dropped), and the declaration after the label is passed over up to the next "<".
//
// Bytes may arrive in pieces of any size: the framing does not depend on how they are split.
#ifndef QTX_DOCUMENT_FRAMER_H
#define QTX_DOCUMENT_FRAMER_H

#include <cstddef>
#include <cstdint>
#include <string>

// Where the framer puts the bytes of the document (the label on, without what came before).
class CQTXDocumentOutput
{
public:
    virtual ~CQTXDocumentOutput() = default;
    virtual void Write(const void* data, size_t length) = 0;
    // A new document starts: what was written is dropped. False when that fails.
    virtual bool Restart() = 0;
    // True when nothing keeps the document any more (a write failed).
    virtual bool Lost() const = 0;
};

class CQTXDocumentFramer
{
public:
    enum Result
    {
        MoreData,
        Complete,
        TooLong,    // a binary head announces more than the limit
        WriteFailed // the output lost the document
    };

    // Without an output the document is only recognised. `limit` bounds what a binary head may
    // announce (head included).
    explicit CQTXDocumentFramer(CQTXDocumentOutput* output = nullptr, uint64_t limit = UINT64_MAX);

    // Takes bytes up to the end of the document; *used (when given) tells how many it took.
    Result Feed(const uint8_t* data, size_t length, size_t* used = nullptr);

    bool Done() const { return m_eState == StDone; }
    // Letters and digits of the XML root element's name ("" for binary).
    const std::string& RootName() const { return m_sRootName; }
    // Tag of a binary head (0 for XML).
    uint16_t BinaryTag() const { return m_uBinaryTag; }

private:
    enum State
    {
        StSearch,
        StXmlHead,
        StXmlBody,
        StBinary,
        StDone
    };
    // Markup passed over inside the prolog or the root.
    enum Skip
    {
        SkNone,
        SkBang,        // after "<!": a comment, a CDATA section or a declaration
        SkComment,     // up to "-->"
        SkCData,       // up to "]]>"
        SkPI,          // up to "?>"
        SkDeclaration, // up to its ">", quotes and brackets respected
        SkPITarget     // after "<?" inside the root: a processing instruction or a new label
    };
    enum Step
    {
        StepOn,
        StepNewXml,   // "<?xml" inside the root: the byte is fed again to the new document
        StepNewBinary // a binary head inside the root: the byte is the head's sixth
    };
    enum TagByteResult
    {
        TagGoesOn,
        TagEnd,
        TagEmptyEnd
    };

    void SearchByte(uint8_t c);
    Step XmlByte(uint8_t c);
    void HeadByte(uint8_t c);
    Step BodyByte(uint8_t c);
    // A byte of markup being passed over; false once the markup ended with it.
    bool SkipByte(uint8_t c);
    void StartSkip(Skip skip, Skip after = SkNone);
    // The markup in hand ended: back to what it was nested in; false when that is no markup.
    bool EndSkip();
    bool PITargetByte(uint8_t c, Step& step);
    TagByteResult TagByte(uint8_t c);
    void StartTag();
    Result BinaryBytes(const uint8_t* data, size_t length, size_t& used);
    void Write(const void* data, size_t length);
    bool Restart();

    CQTXDocumentOutput* m_pOutput;
    uint64_t m_uLimit;
    State m_eState = StSearch;
    int m_iSub = 0;
    // Position in the root's name while a tag's name is compared with it.
    size_t m_uPos = 0;
    char m_cLabel = 0; // 'x' or 'b' once the third character of a label is seen
    std::string m_sRootName;
    // Open elements of the root's name (the root counted).
    uint64_t m_uDepth = 0;
    // A start tag in hand: the quote of an open attribute value, "=" seen, "/" seen.
    char m_cQuote = 0;
    bool m_bEquals = false;
    bool m_bSlash = false;
    // Markup in hand, and what a nested comment or instruction returns to.
    Skip m_eSkip = SkNone;
    Skip m_eSkipAfter = SkNone;
    std::string m_sBang; // bytes after "<!" until the kind of markup is known
    int m_iRun = 0;      // "-", "]" or "?" seen last, in a row; label characters matched
    int m_iBracket = 0;  // open "[" of a declaration
    int m_iDeclLess = 0; // "<", "<!", "<!-" seen inside a declaration's brackets
    uint16_t m_uBinaryTag = 0;
    uint8_t m_aHead[16] = {};
    size_t m_uHeadBytes = 0;
    uint64_t m_uPayloadLeft = 0;
};

// The first complete document in `data`: true with the position just behind it, the root
// element's name (XML) or the binary tag; false while it is incomplete.
bool QTXFindDocument(const void* data, size_t length, size_t& end, std::string& rootName,
                     uint16_t& binaryTag);

#endif
