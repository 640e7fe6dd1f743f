// XMLNode: the in-memory XML tree on which every XML request, reply, configuration and
// description file of the framework is read and written.
//
// A node is a handle (one pointer) on shared, reference-counted node data. Copying a handle
// shares the data; the last handle of a node frees it together with every descendant that no
// other handle holds. A descendant that is still held when its tree goes away lives on as a
// detached node of its own. The empty handle (no data) is what failed lookups return.
//
// Element and attribute names are looked up without regard to case. Texts, attribute values
// and names of a parsed tree are UTF-8: a document in another charset is converted exactly
// while it is parsed (ISO-8859-1 by the parser, every other charset by the C library's
// converter), and its declaration then names UTF-8. A byte that is no character of the
// document's charset (a Latin-1 letter in a document that says it is UTF-8, say) is read as the
// ISO-8859-1 character of its value. A document that names no charset is read as one that
// names UTF-8: each UTF-8 character as such, each other byte as its ISO-8859-1 character. Only
// a document in a charset that the C library does not know keeps its bytes and its
// declaration, and is written back in them.
//
// What is written is well-formed XML 1.0 in the encoding the document declares: control
// characters that XML does not allow (and U+FFFE, U+FFFF) are left out, in names every control
// character (C0, DEL, C1) stands as '_', and in UTF-8 a byte that is no UTF-8 character is
// written as the ISO-8859-1 character of its value. What a reader would not give back as it
// stands is written as a character reference: a carriage return in texts, and a tab, line feed
// or carriage return in attribute values.
//
// Parse and write failures are reported as XMLError codes; only openFileHelper(path, tag)
// throws (a CQTXEXmlError). Lookups never fail: they give the empty node or null.
//
// The encoding and parse options are kept per thread: each thread parses and writes with the
// options it set itself (the defaults until it sets any).
//
// A tree belongs to one thread at a time; reference counts are plain integers.
#ifndef QTX_XML_PARSER_H
#define QTX_XML_PARSER_H

#include <cstddef>
#include <string>

typedef const char* XMLCSTR;
typedef char* XMLSTR;

enum XMLError : int
{
    eXMLErrorNone = 0,
    eXMLWarningUnmatchedEndTag = 1, // an end tag closed more than its element, or one is missing
    eXMLWarningNoXMLTagFound = 2,
    eXMLErrorEmpty = 3,
    eXMLErrorMissingTagName = 4,
    eXMLErrorMissingEndTagName = 5,
    eXMLErrorUnmatchedEndTag = 6,
    eXMLErrorUnmatchedEndClearTag = 7,
    eXMLErrorUnexpectedToken = 8,
    eXMLErrorNoElements = 9,
    eXMLErrorFileNotFound = 10,
    eXMLErrorFirstTagNotFound = 11,
    eXMLErrorUnknownCharacterEntity = 12,
    eXMLErrorCharacterCodeAbove255 = 13,
    eXMLErrorCharConversionError = 14,
    eXMLErrorCannotOpenWriteFile = 15,
    eXMLErrorCannotWriteFile = 16,
    eXMLErrorBase64DataSizeIsNotMultipleOf4 = 17,
    eXMLErrorBase64DecodeIllegalCharacter = 18,
    eXMLErrorBase64DecodeTruncatedData = 19,
    eXMLErrorBase64DecodeBufferTooSmall = 20,
    // Elements nest deeper than XML_MAX_NESTING_DEPTH. Request documents come from outside,
    // so the depth is bounded rather than trusted.
    eXMLErrorNestingTooDeep = 21,
    // The document holds more than XML_MAX_ITEMS elements, attributes, texts and clear
    // sections: what one document may cost in memory is bounded.
    eXMLErrorTooManyItems = 22,
    eXMLErrorInvalidUTF8 = 23,
    // No longer given: a document's charset is converted (or its bytes kept), and a byte that
    // is no character of it is read as ISO-8859-1. The codes keep their texts.
    eXMLErrorUnconvertibleEncoding = 24,
    // The written text would be longer than XML_MAX_WRITTEN bytes: nothing is written.
    eXMLErrorTooLong = 25
};

// How deep elements may nest in a parsed document (the nameless top node not counted).
constexpr int XML_MAX_NESTING_DEPTH = 1000;

// How many elements, attributes, texts and clear sections a parsed document may hold. A
// request may be 8 MiB long; made of empty elements it would take a tree of some 90 bytes per
// element of 4 bytes (on a 64-bit machine; some 60 on the device). A formatted configuration
// holds one item in about 18 bytes, so that one of the full 8 MiB holds some 460,000; routing
// documents and module descriptions hold far fewer.
constexpr int XML_MAX_ITEMS = 1 << 19;
// No bound on items: for documents the device stored itself or that came with a driver, which
// load whatever their size, as they always did.
constexpr size_t XML_UNBOUNDED_ITEMS = static_cast<size_t>(-1);

// How long a written document may be, in bytes. A request is at most 8 MiB (with at most
// XML_MAX_ITEMS items); its reply holds the same items with their layout, which is bounded too
// (an element is indented by at most 16 tabs), and what the handler adds. Twice the request's
// bound leaves room for all of that, and bounds what one reply costs in memory and on disk.
constexpr int XML_MAX_WRITTEN = 16 * 1024 * 1024;

enum XMLElementType : int
{
    eNodeChild = 0,
    eNodeAttribute = 1,
    eNodeText = 2,
    eNodeClear = 3,
    eNodeNULL = 4
};

// Outcome of a parse: the code and where in the text the problem lies (line and column from 1,
// columns counted in bytes; 0 and 0 when the parse succeeded).
struct XMLResults
{
    enum XMLError error;
    int nLine;
    int nColumn;
};

// View of one attribute. lpszValue is null for an attribute written without a value.
// The pointers stay valid until that attribute is changed or removed.
struct XMLAttribute
{
    XMLCSTR lpszName;
    XMLCSTR lpszValue;
};

// View of one clear section (a comment, CDATA, DOCTYPE or PRE block kept as it stands).
struct XMLClear
{
    XMLCSTR lpszValue;
    XMLCSTR lpszOpenTag;
    XMLCSTR lpszCloseTag;
};

struct XMLNodeData;
struct XMLNodeContents;

class XMLNode
{
public:
    // Character encodings; each selects the byte table that tells how long a character is,
    // so that the tokenizer and the escaping never split a multibyte character.
    enum XMLCharEncoding : int
    {
        char_encoding_UTF8 = 1,
        char_encoding_legacy = 2,
        char_encoding_ShiftJIS = 3,
        char_encoding_GB2312 = 4,
        char_encoding_Big5 = 5,
        char_encoding_GBK = 6
    };

    XMLNode();
    XMLNode(const XMLNode& other);
    XMLNode& operator=(const XMLNode& other);
    ~XMLNode();

    // ---- Parsing

    // Parses a zero-terminated text. The result is the nameless top node holding the
    // declarations and elements; with a non-empty tag, the first element of that name
    // (looked for among the top node's children, descending into declarations). On an
    // error (code 3 and above) the result is the empty node; on a warning the tree is kept.
    static XMLNode parseString(XMLCSTR text, XMLCSTR tag = nullptr, XMLResults* results = nullptr);
    // The same for the contents of a file; a file that cannot be read gives code 10.
    static XMLNode parseFile(XMLCSTR path, XMLCSTR tag = nullptr, XMLResults* results = nullptr);
    // Takes the charset that the file's declaration names (found in its first 200 bytes, as
    // guessCharEncoding finds it), or UTF-8 when it names none, then parses the file in it;
    // the tree is UTF-8 (see above), and so this thread's encoding is UTF-8 afterwards. Any
    // code other than 0, warnings included, throws a CQTXEXmlError "XmlParserError" that
    // names the file, the problem and its position.
    static XMLNode openFileHelper(XMLCSTR path, XMLCSTR tag = nullptr);
    // The same without throwing: the results are filled (when given). A document with more
    // than maxItems elements, attributes, texts and clear sections gives eXMLErrorTooManyItems.
    static XMLNode openFileHelper(XMLCSTR path, XMLCSTR tag, XMLResults* results,
                                  size_t maxItems = static_cast<size_t>(XML_MAX_ITEMS));
    // The same for `length` bytes of a document already in memory (a file read before).
    static XMLNode openBufferHelper(const char* data, size_t length, XMLCSTR tag,
                                    XMLResults* results,
                                    size_t maxItems = static_cast<size_t>(XML_MAX_ITEMS));

    // Encoding of a file's beginning: unchanged (the current one) below 25 bytes; UTF-8 after
    // a UTF-8 byte-order mark; else UTF-8 when the bytes are valid UTF-8 and legacy otherwise,
    // overridden by a quoted value after the word "encoding" and "=" when
    // useXMLEncodingAttribute is set.
    static XMLCharEncoding guessCharEncoding(const void* buffer, int length,
                                             char useXMLEncodingAttribute = 1);

    // Text of an error code ("Unknown" for codes outside the table).
    static XMLCSTR getError(XMLError error);
    static XMLCSTR getVersion();

    // Sets this thread's options. An encoding outside 1..6 leaves the encoding unchanged and
    // gives 1 (the three flags are set all the same); else 0.
    static char setGlobalOptions(XMLCharEncoding characterEncoding = char_encoding_UTF8,
                                 char guessWideChars = 1, char dropWhiteSpace = 1,
                                 char removeCommentsInMiddleOfText = 1);
    static XMLCharEncoding getCharEncoding();
    static char getGuessWideChars();
    static char getDropWhiteSpace();
    static char getRemoveCommentsInMiddleOfText();

    // ---- Building

    // A new tree of one node; a null name makes a nameless top node.
    static XMLNode createXMLTopNode(XMLCSTR name, char isDeclaration = 0);
    // Adds a child element at `position` in the node's content (children, texts and clear
    // sections in document order; -1 or beyond the end appends) and returns it. The name is
    // copied. On the empty node nothing happens and the empty node is returned.
    XMLNode addChild(XMLCSTR name, char isDeclaration = 0, int position = -1);
    XMLAttribute addAttribute(XMLCSTR name, XMLCSTR value);
    XMLCSTR addText(XMLCSTR text, int position = -1);
    XMLClear addClear(XMLCSTR value, XMLCSTR openTag = nullptr, XMLCSTR closeTag = nullptr,
                      int position = -1);

    // Replaces the value (and the name when newName is not null) of the first attribute named
    // oldName; when there is none, adds one named newName, or oldName when newName is null.
    XMLAttribute updateAttribute(XMLCSTR newValue, XMLCSTR newName, XMLCSTR oldName);
    // The same for the attribute at index i; beyond the last index the attribute is added only
    // when newName is given (else the view is all null).
    XMLAttribute updateAttribute(XMLCSTR newValue, XMLCSTR newName, int i);
    // Replaces text i; beyond the last text the text is added.
    XMLCSTR updateText(XMLCSTR newText, int i = 0);
    // Renames the element.
    XMLCSTR updateName(XMLCSTR newName);

    void deleteAttribute(XMLCSTR name);
    void deleteAttribute(int i);
    void deleteText(int i);
    void deleteClear(int i);

    // Drops the node's content (children, attributes, texts, clear sections), detaches it from
    // its parent and frees what no other handle holds any more. This handle becomes empty.
    void deleteNodeContent();
    void emptyNode() { deleteNodeContent(); }

    // ---- Navigation

    XMLCSTR getName() const; // null for the nameless top node and the empty node
    XMLNode getParentNode() const;
    bool isEmpty() const { return d == nullptr; }
    char isDeclaration() const;

    int nChildNode() const;
    int nChildNode(XMLCSTR name) const;
    int nAttribute() const;
    int nText() const;
    int nClear() const;
    // Number of items: attributes, children, texts and clear sections.
    int nElement() const;

    // Child element i (the empty node beyond the last).
    XMLNode getChildNode(int i = 0) const;
    // The i-th child element with that name.
    XMLNode getChildNode(XMLCSTR name, int i = 0) const;
    // The first child element with that name at or after index *i (from 0 when i is null);
    // *i is then set behind it. The empty node (and *i unchanged) when there is none.
    XMLNode getChildNode(XMLCSTR name, int* i) const;
    // The first child element with that name whose attribute attributeName has the value
    // attributeValue (any value when attributeValue is null; values compared exactly).
    XMLNode getChildNodeWithAttribute(XMLCSTR name, XMLCSTR attributeName,
                                      XMLCSTR attributeValue = nullptr, int* i = nullptr) const;

    // Value of the i-th attribute with that name; null when none (or when it has no value).
    XMLCSTR getAttribute(XMLCSTR name, int i = 0) const;
    // Value of the first attribute with that name at or after index *j (from 0 when j is
    // null); *j is set behind it. Null (and *j unchanged) when there is none.
    XMLCSTR getAttribute(XMLCSTR name, int* j) const;
    // True when an attribute of that name exists (with or without a value).
    bool isAttributeSet(XMLCSTR name) const;
    XMLAttribute getAttribute(int i) const; // all null beyond the last
    XMLCSTR getAttributeName(int i) const;
    XMLCSTR getAttributeValue(int i) const;

    XMLCSTR getText(int i = 0) const; // null beyond the last
    XMLClear getClear(int i = 0) const;

    // Item i in document order: the attributes first, then children, texts and clear sections
    // as they occur.
    XMLNodeContents enumContents(int i) const;

    // ---- Writing

    // The tree as a newly allocated text (free it with freeXMLString), with line ends and tab
    // indentation when nFormat is nonzero and dropping white space is on. Null (and size 0) for
    // the empty node and for a text that would pass XML_MAX_WRITTEN bytes. size, when given,
    // receives the length without the terminating zero.
    XMLSTR createXMLString(int nFormat = 1, int* size = nullptr) const;
    static void freeXMLString(XMLSTR text);
    // Writes the tree to a file: a UTF-8 byte-order mark in UTF-8 mode, the XML declaration
    // unless the tree brings its own, then the text. 0 and nothing written for the empty node;
    // 15 when the file cannot be created; 16 when writing fails;
    // 25, and no file made, when the text would pass XML_MAX_WRITTEN bytes.
    XMLError writeToFile(XMLCSTR path, XMLCSTR encoding = nullptr, char nFormat = 1) const;
    // The same document as text in memory (empty for the empty node).
    XMLError writeToString(std::string& out, XMLCSTR encoding = nullptr, char nFormat = 1) const;

    // Identity of the node data (two handles on the same node compare equal).
    bool operator==(const XMLNode& other) const { return d == other.d; }
    bool operator!=(const XMLNode& other) const { return d != other.d; }

private:
    explicit XMLNode(XMLNodeData* data); // takes over one reference
    // Byte-order mark and declaration that the written document starts with.
    std::string documentHead(XMLCSTR encoding) const;
    XMLNodeData* d;

    friend struct XMLNodeData;
    friend class XMLParserImpl;
};

// One item of a node's content, as enumContents gives it.
struct XMLNodeContents
{
    enum XMLElementType etype;
    XMLNode child;
    XMLAttribute attrib;
    XMLCSTR text;
    XMLClear clear;

    XMLNodeContents();
    ~XMLNodeContents();
};

// The shared empty handle that failed lookups return.
extern const XMLNode emptyXMLNode;

// Bytes of the UTF-8 character at text[i] (i < n) when it is one that XML 1.0 allows; 0 when the
// bytes there are no well-formed UTF-8 character (a stray trail byte, an overlong form, a
// surrogate, a code above U+10FFFF, a cut sequence); -3 for U+FFFE and U+FFFF, which XML does
// not allow. Text that composes documents uses it as the writer does.
int XMLAllowedUTF8At(const char* text, size_t i, size_t n);

#endif
