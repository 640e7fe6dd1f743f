#include "xmlParser.h"

#include "QTXCommandFile.h"
#include "QTXError.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <iconv.h>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Node data

namespace
{
// Memory of one parsed document: its nodes, their strings and their content lists are carved
// from a few large blocks, so that parsing and freeing a document costs a handful of
// allocations instead of several per element. Every node carved from an arena holds one count
// on it; the blocks go with the last of those nodes (a node that a handle keeps alive keeps
// its whole document's memory). Content lists of such nodes that grow later by editing take
// their room from the arena too; strings set by editing have allocations of their own, so that
// a document edited over and over does not grow.
class XMLArena
{
public:
    explicit XMLArena(size_t expected)
    {
        m_nBlockSize = kMinBlock;
        while (m_nBlockSize < expected && m_nBlockSize < kMaxBlock)
            m_nBlockSize *= 2;
    }
    XMLArena(const XMLArena&) = delete;
    XMLArena& operator=(const XMLArena&) = delete;
    ~XMLArena()
    {
        while (m_pBlocks != nullptr)
        {
            Block* prev = m_pBlocks->prev;
            ::operator delete(m_pBlocks);
            m_pBlocks = prev;
        }
    }

    void* Allocate(size_t size, size_t align)
    {
        const uintptr_t next = (m_nNext + align - 1) & ~static_cast<uintptr_t>(align - 1);
        if (m_nNext != 0 && next <= m_nEnd && size <= m_nEnd - next)
        {
            m_nNext = next + size;
            return reinterpret_cast<void*>(next);
        }
        if (size > m_nBlockSize / 4)
        {
            // A large item gets a block of its own; the current block stays in use.
            if (size > SIZE_MAX - align)
                throw std::bad_alloc();
            return Align(NewBlock(size + align), align);
        }
        const uintptr_t start = reinterpret_cast<uintptr_t>(NewBlock(m_nBlockSize));
        m_nEnd = start + m_nBlockSize;
        if (m_nBlockSize < kMaxBlock)
            m_nBlockSize *= 2;
        m_nNext = reinterpret_cast<uintptr_t>(Align(reinterpret_cast<void*>(start), align)) + size;
        return reinterpret_cast<void*>(m_nNext - size);
    }

    // A zero-terminated copy of `length` bytes.
    char* Copy(const char* text, size_t length)
    {
        char* s;
        if (length < m_nEnd - m_nNext) // m_nNext <= m_nEnd always
        {
            s = reinterpret_cast<char*>(m_nNext);
            m_nNext += length + 1;
        }
        else
        {
            s = static_cast<char*>(Allocate(length + 1, 1));
        }
        if (length > 0)
            memcpy(s, text, length);
        s[length] = '\0';
        return s;
    }

    // The free room at the end of the current block, aligned, and its size: items can be built
    // there before they are taken with Take (as long as nothing else is allocated meanwhile).
    void* FreeRoom(size_t align, size_t* room) const
    {
        const uintptr_t next = (m_nNext + align - 1) & ~static_cast<uintptr_t>(align - 1);
        *room = m_nNext != 0 && next <= m_nEnd ? m_nEnd - next : 0;
        return reinterpret_cast<void*>(next);
    }
    // Takes the first `size` bytes of the room FreeRoom gave at p.
    void Take(void* p, size_t size) { m_nNext = reinterpret_cast<uintptr_t>(p) + size; }

    void Hold() { ++m_nNodes; }
    static void Release(XMLArena* arena)
    {
        if (--arena->m_nNodes == 0)
            delete arena;
    }

    // Handles (XMLNode) on the arena's nodes. Apart from its parent's, every reference on a
    // node is a handle's, so once the last handle goes no node of the arena is left alive: the
    // arena goes as a whole, without a walk through the tree, unless the editing calls put
    // something of their own into it (a string or a child node), which the walk frees.
    void AddHandle() { ++m_nHandles; }
    // True when the arena is to be deleted as a whole now.
    bool DropHandle() { return --m_nHandles == 0 && !m_bEdited; }
    void MarkEdited() { m_bEdited = true; }

private:
    // Blocks stay below the size at which the C library maps memory of its own for them, so
    // that parsing one document after the other reuses the same heap memory.
    static constexpr size_t kMinBlock = 1024;
    static constexpr size_t kMaxBlock = 64 * 1024;

    struct Block
    {
        Block* prev;
    };
    static constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(Block)
                                          ? alignof(std::max_align_t)
                                          : sizeof(Block);

    static void* Align(void* p, size_t align)
    {
        const uintptr_t a =
            (reinterpret_cast<uintptr_t>(p) + align - 1) & ~static_cast<uintptr_t>(align - 1);
        return reinterpret_cast<void*>(a);
    }
    void* NewBlock(size_t size)
    {
        if (size > SIZE_MAX - kHeader)
            throw std::bad_alloc();
        Block* b = static_cast<Block*>(::operator new(kHeader + size));
        b->prev = m_pBlocks;
        m_pBlocks = b;
        return reinterpret_cast<char*>(b) + kHeader;
    }

    Block* m_pBlocks = nullptr;
    uintptr_t m_nNext = 0;
    uintptr_t m_nEnd = 0;
    size_t m_nBlockSize;
    size_t m_nNodes = 0;
    size_t m_nHandles = 0;
    bool m_bEdited = false;
};

// A list of content items of a node. Its room comes from the node's arena when the node has
// one, else from the heap: the calls that may need room are handed the node's arena (null for
// the heap), and the node gives the room back with Free. Kept small (a pointer and two 32-bit
// counts), since every node carries five of them.
template <typename T> class XList
{
public:
    XList() = default;
    XList(const XList&) = delete;
    XList& operator=(const XList&) = delete;

    size_t size() const { return m_nSize; }
    bool empty() const { return m_nSize == 0; }
    T& operator[](size_t i) { return m_p[i]; }
    const T& operator[](size_t i) const { return m_p[i]; }
    T* begin() { return m_p; }
    T* end() { return m_p + m_nSize; }
    const T* begin() const { return m_p; }
    const T* end() const { return m_p + m_nSize; }
    const T& front() const { return m_p[0]; }
    T& back() { return m_p[m_nSize - 1]; }

    void reserve(XMLArena* arena, size_t n)
    {
        if (n > m_nCapacity)
            Grow(arena, n);
    }
    void push_back(XMLArena* arena, T item) { insert(arena, m_nSize, std::move(item)); }
    // Appends n items of a type without constructors of its own (pointers) in one step.
    void append(XMLArena* arena, const T* items, size_t n)
    {
        static_assert(std::is_trivially_copyable<T>::value, "items are copied as bytes");
        if (n > m_nCapacity - m_nSize)
            Grow(arena, static_cast<size_t>(m_nSize) + n);
        memcpy(m_p + m_nSize, items, n * sizeof(T));
        m_nSize += static_cast<uint32_t>(n);
    }
    // Takes over n items built in the arena at p (the list is empty and of an arena).
    void Adopt(T* p, size_t n)
    {
        m_p = p;
        m_nSize = m_nCapacity = static_cast<uint32_t>(n);
    }
    // Appends a default item and returns it.
    T& emplace_back(XMLArena* arena)
    {
        if (m_nSize == m_nCapacity)
            Grow(arena, m_nCapacity == 0 ? 1 : 2 * static_cast<size_t>(m_nCapacity));
        return *new (m_p + m_nSize++) T();
    }
    // Inserts before item `index` (index <= size()).
    void insert(XMLArena* arena, size_t index, T item)
    {
        if (m_nSize == m_nCapacity)
            Grow(arena, m_nCapacity == 0 ? 1 : 2 * static_cast<size_t>(m_nCapacity));
        if (index == m_nSize)
        {
            new (m_p + m_nSize) T(std::move(item));
        }
        else
        {
            new (m_p + m_nSize) T(std::move(m_p[m_nSize - 1]));
            for (size_t k = m_nSize - 1; k > index; --k)
                m_p[k] = std::move(m_p[k - 1]);
            m_p[index] = std::move(item);
        }
        ++m_nSize;
    }
    void erase(size_t index)
    {
        for (size_t k = index; k + 1 < m_nSize; ++k)
            m_p[k] = std::move(m_p[k + 1]);
        m_p[--m_nSize].~T();
    }
    // Drops the items; the room is kept.
    void clear()
    {
        for (size_t k = 0; k < m_nSize; ++k)
            m_p[k].~T();
        m_nSize = 0;
    }
    void Free(XMLArena* arena)
    {
        clear();
        if (arena == nullptr)
            ::operator delete(m_p);
        m_p = nullptr;
        m_nCapacity = 0;
    }

private:
    void Grow(XMLArena* arena, size_t capacity)
    {
        if (capacity > UINT32_MAX || capacity > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        const size_t bytes = capacity * sizeof(T);
        T* p = static_cast<T*>(arena != nullptr ? arena->Allocate(bytes, alignof(T))
                                                : ::operator new(bytes));
        for (size_t k = 0; k < m_nSize; ++k)
        {
            new (p + k) T(std::move(m_p[k]));
            m_p[k].~T();
        }
        if (arena == nullptr)
            ::operator delete(m_p);
        m_p = p;
        m_nCapacity = static_cast<uint32_t>(capacity);
    }

    T* m_p = nullptr;
    uint32_t m_nSize = 0;
    uint32_t m_nCapacity = 0;
};

// A byte string that may be null: either carved from a document's arena (it goes with the
// arena) or in an allocation of its own (freed with the string). Either way its bytes never
// move, also not when a list of them grows: views handed out stay valid until the item itself
// is changed or removed.
class XStr
{
public:
    XStr() = default;
    XStr(const XStr&) = delete;
    XStr& operator=(const XStr&) = delete;
    XStr(XStr&& other) noexcept : m_p(other.m_p), m_bOwned(other.m_bOwned)
    {
        other.m_p = nullptr;
        other.m_bOwned = false;
    }
    XStr& operator=(XStr&& other) noexcept
    {
        if (this != &other)
        {
            Free();
            m_p = other.m_p;
            m_bOwned = other.m_bOwned;
            other.m_p = nullptr;
            other.m_bOwned = false;
        }
        return *this;
    }
    ~XStr() { Free(); }

    static XStr Own(char* p)
    {
        XStr s;
        s.m_p = p;
        s.m_bOwned = true;
        return s;
    }
    static XStr Borrow(char* p)
    {
        XStr s;
        s.m_p = p;
        return s;
    }
    // Makes a string that holds nothing of its own (a new one, say) borrow p.
    void BorrowInEmpty(char* p)
    {
        m_p = p;
        m_bOwned = false;
    }

    char* get() const { return m_p; }
    // Hands the bytes over to the caller, who frees them when *owned is set; this string
    // becomes null.
    char* Release(bool* owned)
    {
        char* p = m_p;
        *owned = m_bOwned;
        m_p = nullptr;
        m_bOwned = false;
        return p;
    }
    bool operator==(std::nullptr_t) const { return m_p == nullptr; }
    bool operator!=(std::nullptr_t) const { return m_p != nullptr; }

private:
    void Free()
    {
        if (m_bOwned)
            delete[] m_p;
    }

    char* m_p = nullptr;
    bool m_bOwned = false;
};

// One attribute: its name and value are each borrowed (of the arena) or owned, like XStr,
// but the two marks of ownership share one byte: attributes are many, and so an attribute
// takes three words rather than four.
class XMLAttrData
{
public:
    XMLAttrData() = default;
    XMLAttrData(const XMLAttrData&) = delete;
    XMLAttrData& operator=(const XMLAttrData&) = delete;
    XMLAttrData(XMLAttrData&& other) noexcept
        : m_pName(other.m_pName), m_pValue(other.m_pValue), m_nOwned(other.m_nOwned)
    {
        other.m_pName = other.m_pValue = nullptr;
        other.m_nOwned = 0;
    }
    XMLAttrData& operator=(XMLAttrData&& other) noexcept
    {
        if (this != &other)
        {
            Free();
            m_pName = other.m_pName;
            m_pValue = other.m_pValue;
            m_nOwned = other.m_nOwned;
            other.m_pName = other.m_pValue = nullptr;
            other.m_nOwned = 0;
        }
        return *this;
    }
    ~XMLAttrData() { Free(); }

    char* Name() const { return m_pName; }
    char* Value() const { return m_pValue; } // null for an attribute without a value
    void SetName(XStr name) { Set(m_pName, kName, std::move(name)); }
    void SetValue(XStr value) { Set(m_pValue, kValue, std::move(value)); }
    // A new attribute borrows its name and value from the arena.
    void BorrowNameInEmpty(char* p) { m_pName = p; }
    void BorrowValueInEmpty(char* p) { m_pValue = p; }

private:
    static constexpr uint8_t kName = 1;
    static constexpr uint8_t kValue = 2;

    void Set(char*& slot, uint8_t mark, XStr text)
    {
        if ((m_nOwned & mark) != 0)
            delete[] slot;
        bool owned = false;
        slot = text.Release(&owned);
        m_nOwned = static_cast<uint8_t>(owned ? (m_nOwned | mark) : (m_nOwned & ~mark));
    }
    void Free()
    {
        if ((m_nOwned & kName) != 0)
            delete[] m_pName;
        if ((m_nOwned & kValue) != 0)
            delete[] m_pValue;
    }

    char* m_pName = nullptr;
    char* m_pValue = nullptr;
    uint8_t m_nOwned = 0;
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
// children, texts and clear sections as index * 4 + kind. While the content is children alone
// (most elements of a document) `order` stays empty and the sequence is that of `children`;
// it is filled in when the first text or clear section arrives and kept from then on. Each
// child in `children` holds one reference on its data. A node of a parsed document lives in
// that document's arena.
//
// Texts, clear sections and `order` are rare next to children and attributes, so they live in
// a part of their own that a node gets with its first text or clear section; that keeps the
// node small, and a parse writes less memory.
struct XMLNodeExtra
{
    XList<int> order;
    XList<XStr> texts;
    XList<XMLClearData> clears;

    void Free(XMLArena* arena)
    {
        order.Free(arena);
        texts.Free(arena);
        clears.Free(arena);
    }
};

namespace
{
const XMLNodeExtra kNoExtra{};
}

struct XMLNodeData
{
    explicit XMLNodeData(XMLArena* a) : arena(a) {}
    XMLNodeData(const XMLNodeData&) = delete;
    XMLNodeData& operator=(const XMLNodeData&) = delete;
    ~XMLNodeData()
    {
        if (nameOwned)
            delete[] name;
        children.Free(arena);
        attributes.Free(arena);
        if (extra != nullptr)
        {
            extra->Free(arena);
            if (arena == nullptr)
                delete extra;
        }
    }

    // What freeing a tree reads of each node comes first.
    int refCount = 0;
    char isDeclaration = 0;
    // Set once a string of its own (not of the arena) is stored in the node: only then has
    // freeing a node of an arena anything to give back besides the arena's count.
    bool ownsStrings = false;
    bool nameOwned = false; // the name is an allocation of its own (else of the arena)
    // Set on the top node of a document whose bytes are kept in a charset of its own (see
    // XMLParserImpl::KeepBytes): it is written back in it, without a UTF-8 byte-order mark.
    bool keptEncoding = false;
    XMLNodeData* pParent = nullptr;
    XMLArena* arena; // null for a node made by the editing calls
    XList<XMLNodeData*> children;
    char* name = nullptr; // null for the nameless top node
    XList<XMLAttrData> attributes;
    XMLNodeExtra* extra = nullptr; // texts, clear sections and order; null while there are none

    // The texts, clear sections and order for reading (empty lists when there are none).
    const XMLNodeExtra& Extra() const { return extra != nullptr ? *extra : kNoExtra; }
    // The same for changing them; made when missing (in the node's arena when it has one).
    XMLNodeExtra& MakeExtra()
    {
        if (extra == nullptr)
            extra = arena != nullptr
                        ? new (arena->Allocate(sizeof(XMLNodeExtra), alignof(XMLNodeExtra)))
                              XMLNodeExtra()
                        : new XMLNodeExtra();
        return *extra;
    }
    char* Name() const { return name; }
    void SetName(XStr text)
    {
        if (nameOwned)
            delete[] name;
        name = text.Release(&nameOwned);
    }

    bool OrderEmpty() const { return extra == nullptr || extra->order.empty(); }

    // Number of children, texts and clear sections, and the order entry of item k of them.
    size_t ContentSize() const { return OrderEmpty() ? children.size() : extra->order.size(); }
    int ContentAt(size_t k) const
    {
        return OrderEmpty() ? static_cast<int>(k * 4 + eNodeChild) : extra->order[k];
    }
    bool HasContent() const { return ContentSize() != 0; }
};

namespace
{
// A copy of text (null stays null) in an allocation of its own, to be stored in node n. Every
// such string reaches a node through here.
XStr NodeStr(XMLNodeData* n, const char* text)
{
    if (text == nullptr)
        return XStr();
    n->ownsStrings = true;
    if (n->arena != nullptr)
        n->arena->MarkEdited();
    const size_t length = strlen(text);
    char* s = new char[length + 1];
    memcpy(s, text, length + 1);
    return XStr::Own(s);
}

XMLNodeData* NewNodeData(XMLArena* arena)
{
    if (arena == nullptr)
        return new XMLNodeData(nullptr);
    XMLNodeData* n =
        new (arena->Allocate(sizeof(XMLNodeData), alignof(XMLNodeData))) XMLNodeData(arena);
    arena->Hold();
    return n;
}

void FreeNodeData(XMLNodeData* n)
{
    XMLArena* arena = n->arena;
    if (arena == nullptr)
    {
        delete n;
        return;
    }
    // The lists of the node are in the arena; only strings of its own need freeing.
    if (n->ownsStrings)
        n->~XMLNodeData();
    XMLArena::Release(arena);
}

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
        FreeNodeData(n);
    }
}

size_t CountOfKind(const XMLNodeData* n, int kind)
{
    switch (kind)
    {
    case eNodeChild:
        return n->children.size();
    case eNodeText:
        return n->Extra().texts.size();
    default:
        return n->Extra().clears.size();
    }
}

// Makes room for an item of `kind` at content position `position` (-1 or beyond the end
// appends) and returns the index it gets in its own list. The caller inserts it there.
size_t InsertOrder(XMLNodeData* n, int kind, int position)
{
    if (n->OrderEmpty())
    {
        if (kind == eNodeChild)
        {
            // children alone: the position is the child's index
            const size_t count = n->children.size();
            return (position < 0 || static_cast<size_t>(position) >= count)
                       ? count
                       : static_cast<size_t>(position);
        }
        XList<int>& order = n->MakeExtra().order;
        order.reserve(n->arena, n->children.size() + 1);
        for (size_t i = 0; i < n->children.size(); ++i)
            order.push_back(n->arena, static_cast<int>(i * 4 + eNodeChild));
    }
    XList<int>& order = n->extra->order;
    if (position < 0 || static_cast<size_t>(position) >= order.size())
    {
        size_t index = CountOfKind(n, kind);
        order.push_back(n->arena, static_cast<int>(index * 4 + kind));
        return index;
    }
    size_t index = 0;
    for (int i = 0; i < position; ++i)
        if ((order[i] & 3) == kind)
            ++index;
    for (int& entry : order)
        if ((entry & 3) == kind && static_cast<size_t>(entry >> 2) >= index)
            entry += 4;
    order.insert(n->arena, static_cast<size_t>(position), static_cast<int>(index * 4 + kind));
    return index;
}

// Removes the order entry of item `index` of `kind` and renumbers the later ones. The caller
// removes the item from its list.
void RemoveOrder(XMLNodeData* n, int kind, size_t index)
{
    if (n->extra == nullptr)
        return;
    XList<int>& order = n->extra->order;
    const int entry = static_cast<int>(index * 4 + kind);
    for (size_t i = 0; i < order.size(); ++i)
    {
        if (order[i] == entry)
        {
            order.erase(i);
            break;
        }
    }
    for (int& e : order)
        if ((e & 3) == kind && static_cast<size_t>(e >> 2) > index)
            e -= 4;
}

// Makes `child` (new, without references) a child of `parent` at content position `position`.
XMLNodeData* AttachChild(XMLNodeData* parent, XMLNodeData* child, char isDeclaration, int position)
{
    child->isDeclaration = isDeclaration ? 1 : 0;
    child->pParent = parent;
    child->refCount = 1; // the parent's reference
    if (position < 0 && parent->OrderEmpty())
    {
        // appended to children alone (the parser's case): nothing to record in `order`
        parent->children.push_back(parent->arena, child);
        return child;
    }
    size_t index = InsertOrder(parent, eNodeChild, position);
    parent->children.insert(parent->arena, index, child);
    return child;
}

XMLNodeData* NewChild(XMLNodeData* parent, const char* name, char isDeclaration, int position)
{
    XMLNodeData* child = NewNodeData(nullptr);
    child->SetName(NodeStr(child, name));
    if (parent->arena != nullptr)
        parent->arena->MarkEdited();
    return AttachChild(parent, child, isDeclaration, position);
}

const char* AddTextData(XMLNodeData* n, XStr text, int position)
{
    size_t index = InsertOrder(n, eNodeText, position);
    XList<XStr>& texts = n->extra->texts;
    texts.insert(n->arena, index, std::move(text));
    return texts[index].get();
}

XMLClear ClearView(const XMLClearData& c)
{
    XMLClear view = {c.value.get(), c.openTag.get(), c.closeTag.get()};
    return view;
}

XMLClear AddClearData(XMLNodeData* n, XMLClearData clear, int position)
{
    size_t index = InsertOrder(n, eNodeClear, position);
    XList<XMLClearData>& clears = n->extra->clears;
    clears.insert(n->arena, index, std::move(clear));
    return ClearView(clears[index]);
}

XMLAttribute AttributeView(const XMLAttrData& a)
{
    XMLAttribute view = {a.Name(), a.Value()};
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

// Classes of the bytes the scanner stops at; all are below 0x40, so none of them is ever part
// of a multibyte character (see StandsAlone) and the scanner can go byte by byte.
enum : unsigned char
{
    kEndsName = 1,   // ends a tag or attribute name
    kStopsValue = 2, // ends or interrupts an attribute value: a quote, '&', the final zero
    kBlank = 4,      // white space: blank, tab, carriage return, line feed
};
// Built at compile time, so that parsing works from the first moment, also in static
// initialisers of other units.
struct ByteClasses
{
    unsigned char of[256];
    constexpr ByteClasses() : of{}
    {
        for (const char* c = " \t\r\n<>/=?!\"'&"; *c != '\0'; ++c)
            of[static_cast<unsigned char>(*c)] |= kEndsName;
        for (const char* c = "\"'&"; *c != '\0'; ++c)
            of[static_cast<unsigned char>(*c)] |= kStopsValue;
        for (const char* c = " \t\r\n"; *c != '\0'; ++c)
            of[static_cast<unsigned char>(*c)] |= kBlank;
        of[0] = kEndsName | kStopsValue;
    }
};
constexpr ByteClasses kBytes;

bool IsBlank(char c)
{
    return (kBytes.of[static_cast<unsigned char>(c)] & kBlank) != 0;
}

bool EndsName(char c)
{
    return (kBytes.of[static_cast<unsigned char>(c)] & kEndsName) != 0;
}

// True when byte c is never a trail byte of a multibyte character in the encoding, so that
// looking for it byte by byte finds exactly the places that stepping from character to
// character finds: bytes below 0x40 are no trail byte in any encoding, bytes below 0x80 none
// in UTF-8, and the single-byte encoding has no trail bytes at all.
bool StandsAlone(XMLNode::XMLCharEncoding encoding, unsigned char c)
{
    return c < 0x40 || (c < 0x80 && encoding == XMLNode::char_encoding_UTF8) ||
           encoding == XMLNode::char_encoding_legacy;
}

// Case-blind comparison of a name with the n bytes at b; a null name matches nothing.
bool SameName(const char* a, const char* b, size_t n)
{
    if (a == nullptr)
        return false;
    for (size_t i = 0; i < n; ++i)
    {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'a' && ca <= 'z')
            ca = static_cast<unsigned char>(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z')
            cb = static_cast<unsigned char>(cb - 'a' + 'A');
        if (ca != cb || ca == 0)
            return false;
    }
    return a[n] == '\0';
}

// Comparison of n bytes; names are short, too short for a call to pay. From four bytes on
// they are compared in words, the last word overlapping the one before; only the n bytes at
// a and at b are read.
bool SameBytes(const char* a, const char* b, size_t n)
{
    if (n >= 8)
    {
        uint64_t x;
        uint64_t y;
        for (size_t i = 0; i + 8 < n; i += 8)
        {
            memcpy(&x, a + i, 8);
            memcpy(&y, b + i, 8);
            if (x != y)
                return false;
        }
        memcpy(&x, a + n - 8, 8);
        memcpy(&y, b + n - 8, 8);
        return x == y;
    }
    if (n >= 4)
    {
        uint32_t x;
        uint32_t y;
        uint32_t u;
        uint32_t v;
        memcpy(&x, a, 4);
        memcpy(&y, b, 4);
        memcpy(&u, a + n - 4, 4);
        memcpy(&v, b + n - 4, 4);
        return x == y && u == v;
    }
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
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

// Word-wise scanning. The document's copy of the text has kScanPadding zero bytes behind its
// final zero, so that a word read at any position up to that zero stays inside the copy.
constexpr size_t kScanPadding = 8;
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;

uint64_t Word(const char* p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

// Offset of the first byte in memory order whose high bit is set in `flags` (not zero). The
// masks used with it flag the first byte of interest exactly; later flags may be spurious.
size_t FirstFlagged(uint64_t flags)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<size_t>(__builtin_clzll(flags)) / 8;
#else
    return static_cast<size_t>(__builtin_ctzll(flags)) / 8;
#endif
}

// Bytes of the well-formed UTF-8 character at s[i] (i < n); 0 when the bytes there are none
// (a stray trail byte, an overlong form, a surrogate, a code above U+10FFFF, a cut sequence).
size_t UTF8CharAt(const unsigned char* s, size_t i, size_t n)
{
    const unsigned char c = s[i];
    if (c < 0x80)
        return 1;
    const size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || n - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((s[i + k] & 0xC0) != 0x80)
            return 0;
    const unsigned char second = s[i + 1];
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

} // namespace

// Position of the first byte that does not start a well-formed UTF-8 character (overlong forms,
// surrogates and codes above U+10FFFF included); npos when all n bytes are UTF-8.
size_t FirstInvalidUTF8(const char* text, size_t n)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < n)
    {
        if (n - i >= 8)
        {
            uint64_t w;
            memcpy(&w, s + i, 8);
            if ((w & kHighBits) == 0)
            {
                i += 8;
                continue;
            }
        }
        const size_t length = UTF8CharAt(s, i, n);
        if (length == 0)
            return i;
        i += length;
    }
    return std::string::npos;
}

int XMLAllowedUTF8At(const char* text, size_t i, size_t n)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    const size_t length = UTF8CharAt(s, i, n);
    if (length == 3 && s[i] == 0xEF && s[i + 1] == 0xBF && (s[i + 2] == 0xBE || s[i + 2] == 0xBF))
        return -3;
    return static_cast<int>(length);
}

namespace
{

// Appends the UTF-8 form of the ISO-8859-1 character c.
void PutLatin1(std::string& out, unsigned char c)
{
    if (c < 0x80)
    {
        out.push_back(static_cast<char>(c));
        return;
    }
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
}

// The n bytes of a text read as UTF-8, into `out` when any byte of them is no part of a
// well-formed UTF-8 character: such a byte is taken as the ISO-8859-1 character of its value
// (a Latin-1 letter in a document that says it is UTF-8 is the common case). False, and `out`
// untouched, when the text is UTF-8 throughout.
bool RepairUTF8(const char* text, size_t n, std::string& out)
{
    const size_t bad = FirstInvalidUTF8(text, n);
    if (bad == std::string::npos)
        return false;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    out.clear();
    out.reserve(n + (n - bad) / 4 + 16);
    out.assign(text, bad);
    for (size_t i = bad; i < n;)
    {
        const size_t length = UTF8CharAt(s, i, n);
        if (length == 0)
        {
            PutLatin1(out, s[i]);
            ++i;
        }
        else
        {
            out.append(text + i, length);
            i += length;
        }
    }
    return true;
}

// The n bytes of a text in `charset` converted to UTF-8 by the C library's converter. A byte
// that does not start a character of the charset is taken as the ISO-8859-1 character of its
// value, as in a document read as UTF-8. False when the C library does not know the charset.
bool ConvertCharset(const char* charset, const char* text, size_t n, std::string& out)
{
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    // The room grows by doubling only, and is never filled anew: what a byte costs does not
    // depend on how much of the text lies behind it.
    out.clear();
    out.resize(n + n / 2 + 64);
    size_t written = 0;
    char* in = const_cast<char*>(text);
    size_t inLeft = n;
    for (bool done = false; !done;)
    {
        char* to = &out[written];
        size_t toLeft = out.size() - written;
        // With the input used up, the converter writes what its state still holds.
        const bool flush = inLeft == 0;
        const size_t result = flush ? iconv(cd, nullptr, nullptr, &to, &toLeft)
                                    : iconv(cd, &in, &inLeft, &to, &toLeft);
        const int error = errno;
        written = out.size() - toLeft;
        if (result != static_cast<size_t>(-1))
            done = flush;
        else if (error == E2BIG)
            out.resize(out.size() * 2 + 64);
        else if (flush)
            done = true;
        else
        {
            // EILSEQ, or EINVAL for a character cut off by the end of the text: one byte as
            // ISO-8859-1 (two bytes of UTF-8 at most), and the converter starts afresh
            // behind it.
            if (out.size() - written < 2)
                out.resize(out.size() * 2 + 64);
            const unsigned char c = static_cast<unsigned char>(*in);
            if (c < 0x80)
                out[written++] = static_cast<char>(c);
            else
            {
                out[written++] = static_cast<char>(0xC0 | (c >> 6));
                out[written++] = static_cast<char>(0x80 | (c & 0x3F));
            }
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    out.resize(written);
    return true;
}

// True when the C library knows the charset and it writes ASCII as ASCII, as every charset
// does that a document read byte by byte can be in. A document whose beginning is read as
// ASCII ("<?xml") and that names UTF-16, UTF-32 or an EBCDIC code page names one its bytes
// cannot be in.
bool ASCIICompatible(const char* charset)
{
    static const char probe[] = "<?xml version=\"1.0\" encoding='x'?><a b=\"c\">&amp;\t</a>\r\n";
    std::string out;
    return ConvertCharset(charset, probe, sizeof probe - 1, out) && out == probe;
}

// The C library's name of the charset of a multibyte encoding; null for UTF-8 and the
// single-byte encoding. Shift-JIS is read as Windows writes it (code page 932): ASCII stays
// ASCII (a backslash is no yen sign) and the NEC and IBM extensions are known.
const char* CharsetOf(XMLNode::XMLCharEncoding encoding)
{
    switch (encoding)
    {
    case XMLNode::char_encoding_ShiftJIS:
        return "CP932";
    case XMLNode::char_encoding_GB2312:
        return "GB2312";
    case XMLNode::char_encoding_Big5:
        return "BIG5";
    case XMLNode::char_encoding_GBK:
        return "GBK";
    default:
        return nullptr;
    }
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Parser

// Parses one buffer into a tree without recursion: the open elements are kept on a stack
// whose height is bounded by XML_MAX_NESTING_DEPTH.
class XMLParserImpl
{
public:
    // The text need not be followed by a zero byte: the parser reads a copy of its own.
    // zeroFree tells that the text holds no zero byte (its length was measured by one).
    XMLParserImpl(const char* text, size_t length, bool zeroFree = false)
        : m_pSource(text), m_nLength(length), m_nPos(0), m_bZeroFree(zeroFree),
          m_eEncoding(tOptions.encoding), m_bDropWhiteSpace(tOptions.dropWhiteSpace != 0),
          m_bMergeComments(tOptions.removeCommentsInMiddleOfText != 0)
    {
    }

    XMLNode Parse(const char* tag, XMLResults* results);

    // The document is in `charset` (a name the C library's converter knows) rather than in the
    // thread's encoding.
    void SetCharset(const std::string& charset) { m_sCharset = charset; }
    // The document's bytes are kept as they stand under its own declaration: its charset is
    // one the C library does not know, so nothing can be converted truthfully.
    void KeepBytes() { m_bKeepBytes = true; }
    void SetEncoding(XMLNode::XMLCharEncoding encoding) { m_eEncoding = encoding; }
    // How many items the document may hold (XML_MAX_ITEMS unless set).
    void SetItemBound(size_t bound) { m_nMaxItems = bound; }

private:
    struct OpenElement
    {
        XMLNodeData* node;
        size_t tagPos;
        size_t nameLength;
        size_t firstChild; // its children not yet attached start here in m_vChildren
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
    // The zero byte behind the text is no blank and ends the run at the latest.
    size_t SkipBlanks(size_t i) const
    {
        if (i >= m_nLength)
            return i;
        const char* p = m_pText + i;
        while (IsBlank(*p))
            ++p;
        return static_cast<size_t>(p - m_pText);
    }
    // The same for the longer runs between the tags of a formatted document.
    size_t SkipBlankRun(size_t i) const
    {
        const char* p = m_pText + i;
        while (IsBlank(p[0]) && IsBlank(p[1]) && IsBlank(p[2]) && IsBlank(p[3]))
            p += 4;
        while (IsBlank(*p))
            ++p;
        return static_cast<size_t>(p - m_pText);
    }
    // The bytes that end a name are never part of a multibyte character, so a name is
    // scanned byte by byte; the zero byte behind the text ends it at the latest. Eight bytes
    // are looked at a step: only a byte below 0x40 (all markup and blanks) or from 0x80 up
    // can end a name, and the first such byte of a word is found without a loop.
    size_t NameEnd(size_t i) const
    {
        if (i >= m_nLength)
            return i;
        const char* p = m_pText + i;
        for (;;)
        {
            const uint64_t w = Word(p);
            const uint64_t candidates = ((w - kOnes * 0x40) | w) & kHighBits;
            if (candidates == 0)
            {
                p += 8;
                continue;
            }
            p += FirstFlagged(candidates);
            if (EndsName(*p))
                return static_cast<size_t>(p - m_pText);
            ++p;
        }
    }
    // Position of the quote that ends an attribute value starting at i (npos when there is
    // none); *entity is set when a '&' comes before it. The bytes that stop the scan (quotes,
    // '&', the final zero) are all below 0x28: a word without such a byte is passed at once.
    size_t ValueEnd(size_t i, char quote, bool* entity) const
    {
        *entity = false;
        if (i >= m_nLength)
            return std::string::npos;
        const char* p = m_pText + i;
        for (;;)
        {
            const uint64_t w = Word(p);
            const uint64_t candidates = (w - kOnes * 0x28) & ~w & kHighBits;
            if (candidates == 0)
            {
                p += 8;
                continue;
            }
            p += FirstFlagged(candidates);
            if (*p == quote)
                return static_cast<size_t>(p - m_pText);
            if (*p == '&')
                *entity = true;
            else if (*p == '\0') // the end of the text: zero bytes within were refused
                return std::string::npos;
            ++p;
        }
    }
    // Position of the byte c at or after i (npos when absent); c must stand alone in the
    // encoding (see StandsAlone), which all markup characters do.
    size_t FindByte(size_t i, char c) const { return FindByte(i, m_nLength, c); }
    // The same before `end`. Most values and texts are short: the first bytes are looked at
    // here, the rest by memchr.
    size_t FindByte(size_t i, size_t end, char c) const
    {
        if (i >= end)
            return std::string::npos;
        const size_t near = end - i < 16 ? end : i + 16;
        for (; i < near; ++i)
            if (m_pText[i] == c)
                return i;
        if (i >= end)
            return std::string::npos;
        const void* p = memchr(m_pText + i, c, end - i);
        return p != nullptr ? static_cast<size_t>(static_cast<const char*>(p) - m_pText)
                            : std::string::npos;
    }
    // Position of `what` at or after i, compared without case when noCase is set; npos when
    // absent. A match never starts on a trail byte.
    size_t Find(size_t i, const char* what, bool noCase) const
    {
        const size_t n = strlen(what);
        const unsigned char first = static_cast<unsigned char>(what[0]);
        const bool letter = (first | 0x20) >= 'a' && (first | 0x20) <= 'z';
        if (!(noCase && letter) && StandsAlone(m_eEncoding, first))
        {
            // Only where the first byte stands can a match start.
            for (i = FindByte(i, what[0]); i != std::string::npos; i = FindByte(i + 1, what[0]))
                if (m_nLength - i >= n &&
                    (noCase ? StartsWithNoCase(m_pText + i, m_nLength - i, what)
                            : memcmp(m_pText + i, what, n) == 0))
                    return i;
            return std::string::npos;
        }
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

    XStr ArenaStr(const char* text, size_t length)
    {
        return XStr::Borrow(m_pArena->Copy(text, length));
    }
    XStr ArenaStr(const std::string& text) { return ArenaStr(text.data(), text.size()); }
    // The bytes of the document's copy of the text from `from` up to the byte at `to`, which is
    // made its end. That byte (a blank, a quote or markup) belongs to no other string, but the
    // scanner may still have to look at it: it is ended only once the scanner has gone past.
    XStr EndInPlace(size_t from, size_t to)
    {
        m_pText[to] = '\0';
        return XStr::Borrow(m_pText + from);
    }

    // Replaces the references in the bytes from..to of the copy by the characters they stand
    // for, in place (a reference is never shorter than what it decodes to); *end receives the
    // end of the decoded bytes.
    bool Decode(size_t from, size_t to, size_t* end);
    bool ParseText();
    bool ParseClear(const ClearTag& tag);
    bool ParseDeclaration();
    bool ParseStartTag();
    bool ParseEndTag();
    XMLNodeData* NewElement(size_t nameStart, char isDeclaration);
    // False (with the error set) when one more item would pass the bound.
    bool RoomForItem(size_t pos)
    {
        return m_nItems < m_nMaxItems ? (++m_nItems, true) : Fail(eXMLErrorTooManyItems, pos);
    }
    // Replaces the source by its UTF-8 form when it holds bytes from 0x80 on (ISO-8859-1).
    void ConvertFromLatin1();
    // Replaces the source by its UTF-8 form (see SetCharset, ConvertCharset and RepairUTF8);
    // false when its charset is unknown to the C library.
    bool ConvertToUTF8(XMLNode::XMLCharEncoding source);
    // Names UTF-8 in the document's XML declaration, when it names another encoding.
    void DeclareUTF8(XMLNodeData* top);
    // Attributes up to the end of a tag; *closing receives '>' for an open element, '/' for
    // an empty one ("/>" or, in a declaration, "?>").
    // Made once for each kind of tag, so that the test for its end is a constant one.
    template <bool declaration>
    bool ParseAttributes(XMLNodeData* node, size_t tagPos, char* closing);
    // Room for more attributes than the `count` in `list` hold, with the list moved there.
    XMLAttrData* MoreAttributeRoom(XMLAttrData* list, size_t count, size_t* capacity,
                                   bool* inFreeRoom);

    // Texts and comments are held back briefly, so that a comment between two texts can be
    // dropped and the texts joined without copying the first text again and again.
    // A text of the copy, from..to, that needs no decoding; or a decoded one.
    void OnText(size_t from, size_t to);
    void OnText(const char* text, size_t length);
    void OnComment(const char* text, size_t length);
    void Flush()
    {
        if (m_bPendingText || m_bPendingComment)
            FlushPending();
    }
    void FlushPending();

    XMLNodeData* Current() const { return m_vOpen.back().node; }
    // Attaches the children gathered for the innermost open element, in their order. Children
    // are gathered while their parent is open and attached in one step, so that its list gets
    // its size once; a text or clear section between them attaches those before it first.
    void AttachGatheredChildren();
    void Open(XMLNodeData* node, size_t tagPos, size_t nameLength)
    {
        // Filled in where it stands (see ParseAttributes).
        OpenElement& open = m_vOpen.emplace_back();
        open.node = node;
        open.tagPos = tagPos;
        open.nameLength = nameLength;
        open.firstChild = m_vChildren.size();
    }
    void CloseInnermost()
    {
        AttachGatheredChildren();
        m_vOpen.pop_back();
    }

    const char* m_pSource; // the caller's text, as it stands
    // The document's copy of the text, with a zero byte behind it: the scanner reads it, and
    // names, values and texts are ended in place in it (see EndInPlace).
    char* m_pText = nullptr;
    size_t m_nLength;
    size_t m_nPos;
    size_t m_nStart = 0; // behind a byte-order mark
    bool m_bZeroFree;
    XMLNode::XMLCharEncoding m_eEncoding;
    bool m_bDropWhiteSpace;
    bool m_bMergeComments;
    XMLArena* m_pArena = nullptr; // of the document being built; its nodes keep it

    std::vector<OpenElement> m_vOpen;
    std::vector<XMLNodeData*> m_vChildren; // gathered children of the open elements
    size_t m_nElements = 0;
    // Elements, declarations, attributes, texts and clear sections so far (see XML_MAX_ITEMS).
    size_t m_nItems = 0;
    size_t m_nMaxItems = static_cast<size_t>(XML_MAX_ITEMS);
    // The UTF-8 form of a document in another encoding (m_pSource then points here).
    std::string m_sConverted;
    std::string m_sCharset; // see SetCharset
    bool m_bKeepBytes = false;

    XMLError m_eError = eXMLErrorNone;
    size_t m_nErrorPos = 0;
    XMLError m_eWarning = eXMLErrorNone;
    size_t m_nWarningPos = 0;

    XMLNodeData* m_pPendingNode = nullptr;
    bool m_bPendingText = false;
    bool m_bPendingComment = false;
    // A pending text that is a stretch of the copy (npos: it is in m_sPendingText).
    size_t m_nPendingFrom = std::string::npos;
    size_t m_nPendingTo = 0;
    std::string m_sPendingText;
    std::string m_sPendingComment;
};

void XMLParserImpl::Position(size_t pos, int* line, int* column) const
{
    int l = 1;
    size_t lineStart = m_nStart;
    for (size_t i = m_nStart; i < pos && i < m_nLength; ++i)
    {
        if (m_pSource[i] == '\n')
        {
            ++l;
            lineStart = i + 1;
        }
    }
    *line = l;
    *column = static_cast<int>(pos - lineStart + 1);
}

bool XMLParserImpl::Decode(size_t from, size_t to, size_t* end)
{
    static const struct
    {
        const char* name;
        char c;
    } entities[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};

    // Decoded bytes are written at `out`, which never passes the reading position i.
    char* const text = m_pText;
    size_t out = from;
    size_t i = from;
    while (i < to)
    {
        // '&' is never part of a multibyte character: the bytes up to it are moved as they
        // stand.
        size_t run = FindByte(i, to, '&');
        if (run == std::string::npos)
            run = to;
        if (out != i)
            memmove(text + out, text + i, run - i);
        out += run - i;
        i = run;
        if (i >= to)
            break;
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
                text[out++] = e.c;
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
                // from 0x80 on a reference has at least six bytes
                text[out++] = static_cast<char>(0xC0 | (value >> 6));
                text[out++] = static_cast<char>(0x80 | (value & 0x3F));
            }
            else
            {
                text[out++] = static_cast<char>(value);
            }
        }
        i = semi + 1;
    }
    *end = out;
    return true;
}

void XMLParserImpl::FlushPending()
{
    // What is pending belongs to the innermost open element, behind its gathered children.
    if (m_pPendingNode == Current())
        AttachGatheredChildren();
    // Counted here, checked at the next tag (texts come between tags only).
    m_nItems += (m_bPendingText ? 1 : 0) + (m_bPendingComment ? 1 : 0);
    if (m_bPendingText)
        AddTextData(m_pPendingNode,
                    m_nPendingFrom != std::string::npos ? EndInPlace(m_nPendingFrom, m_nPendingTo)
                                                        : ArenaStr(m_sPendingText),
                    -1);
    if (m_bPendingComment)
    {
        XMLClearData clear;
        clear.value = ArenaStr(m_sPendingComment);
        clear.openTag = ArenaStr(kCommentOpen, strlen(kCommentOpen));
        clear.closeTag = ArenaStr("-->", 3);
        AddClearData(m_pPendingNode, std::move(clear), -1);
    }
    m_pPendingNode = nullptr;
    m_bPendingText = m_bPendingComment = false;
    m_nPendingFrom = std::string::npos;
    m_sPendingText.clear();
    m_sPendingComment.clear();
}

void XMLParserImpl::OnText(size_t from, size_t to)
{
    if (m_bMergeComments && m_bPendingText && m_bPendingComment && m_pPendingNode == Current())
    {
        OnText(m_pText + from, to - from);
        return;
    }
    // Mostly the text stands alone: it stays where it is in the copy until it is flushed.
    Flush();
    m_pPendingNode = Current();
    m_nPendingFrom = from;
    m_nPendingTo = to;
    m_bPendingText = true;
}

void XMLParserImpl::OnText(const char* text, size_t length)
{
    if (m_bMergeComments && m_bPendingText && m_bPendingComment && m_pPendingNode == Current())
    {
        // text, comment, text: the comment goes, the second text joins the first
        if (m_nPendingFrom != std::string::npos)
        {
            m_sPendingText.assign(m_pText + m_nPendingFrom, m_nPendingTo - m_nPendingFrom);
            m_nPendingFrom = std::string::npos;
        }
        m_sPendingText.append(text, length);
        m_bPendingComment = false;
        m_sPendingComment.clear();
        return;
    }
    Flush();
    m_pPendingNode = Current();
    m_sPendingText.assign(text, length);
    m_bPendingText = true;
}

void XMLParserImpl::OnComment(const char* text, size_t length)
{
    if (m_bMergeComments && m_bPendingText && !m_bPendingComment && m_pPendingNode == Current())
    {
        m_sPendingComment.assign(text, length);
        m_bPendingComment = true;
        return;
    }
    Flush();
    m_pPendingNode = Current();
    m_sPendingComment.assign(text, length);
    m_bPendingComment = true;
    Flush();
}

bool XMLParserImpl::ParseText()
{
    if (m_bDropWhiteSpace)
    {
        // Between the tags of a formatted document there is only white space.
        const size_t i = SkipBlanks(m_nPos);
        if (i >= m_nLength || m_pText[i] == '<')
        {
            m_nPos = i;
            return true;
        }
    }
    size_t end = FindByte(m_nPos, '<');
    if (end == std::string::npos)
        end = m_nLength;
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
    if (FindByte(from, to, '&') == std::string::npos)
    {
        OnText(from, to);
        return true;
    }
    size_t decodedEnd;
    if (!Decode(from, to, &decodedEnd))
        return false;
    OnText(from, decodedEnd);
    return true;
}

bool XMLParserImpl::ParseClear(const ClearTag& tag)
{
    const size_t open = m_nPos;
    const size_t contentStart = open + strlen(tag.open);
    if (m_nItems >= m_nMaxItems)
        return Fail(eXMLErrorTooManyItems, open);
    const size_t close = Find(contentStart, tag.close, true);
    if (close == std::string::npos)
        return Fail(eXMLErrorUnmatchedEndClearTag, open);
    m_nPos = close + strlen(tag.close);
    if (strcmp(tag.open, kCommentOpen) == 0)
    {
        OnComment(m_pText + contentStart, close - contentStart);
        return true;
    }
    Flush();
    AttachGatheredChildren();
    ++m_nItems;
    XMLClearData clear;
    clear.value = ArenaStr(m_pText + contentStart, close - contentStart);
    clear.openTag = ArenaStr(tag.open, strlen(tag.open));
    clear.closeTag = ArenaStr(tag.close, strlen(tag.close));
    AddClearData(Current(), std::move(clear), -1);
    return true;
}

// Inlined where it is used: a tag is mostly short, and the call would cost a good part of it.
template <bool declaration>
__attribute__((always_inline)) inline bool
XMLParserImpl::ParseAttributes(XMLNodeData* node, size_t tagPos, char* closing)
{
    // The text and the position in locals: no call in between makes them be read again.
    char* const text = m_pText;
    const size_t length = m_nLength;
    // The copy's zero byte behind the text is no blank and ends every run at the latest.
    // Blanks are passed by a loop whose branches the processor foretells: the position then
    // does not wait for the bytes to be read and classified, which a computed step would
    // make it do (the attributes of a tag are parsed along one chain of positions).
    const auto skipBlanks = [text](size_t i)
    {
        while (IsBlank(text[i]))
            ++i;
        return i;
    };
    // The attributes are built where their list stays: in the free room of the arena, taken
    // once the tag is complete (nothing else is allocated from the arena meanwhile), or, when
    // that room runs out, in a list allocated for them.
    XMLAttrData* list = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    bool inFreeRoom = false;
    // A name whose end byte the scanner looks at again: it is ended once the tag is complete.
    size_t unended = std::string::npos;
    size_t pos = m_nPos;
    for (;;)
    {
        pos = skipBlanks(pos);
        m_nPos = pos;
        if (pos >= length)
            return Fail(eXMLErrorUnexpectedToken, tagPos); // the tag is cut off
        const char c = text[pos];
        const char next = text[pos + 1];
        if ((!declaration && c == '>') || (c == (declaration ? '?' : '/') && next == '>'))
        {
            m_nPos = pos + (c == '>' ? 1 : 2);
            *closing = c == '>' ? '>' : '/';
            if (unended != std::string::npos)
                text[unended] = '\0';
            m_nItems += count;
            if (m_nItems > m_nMaxItems)
                return Fail(eXMLErrorTooManyItems, tagPos);
            if (count != 0)
            {
                if (inFreeRoom)
                    m_pArena->Take(list, count * sizeof(XMLAttrData));
                node->attributes.Adopt(list, count);
            }
            return true;
        }
        const size_t nameStart = pos;
        const size_t nameEnd = NameEnd(nameStart);
        if (nameEnd == nameStart)
            return Fail(eXMLErrorUnexpectedToken, pos);
        if (count == capacity)
        {
            if (count == 0)
            {
                size_t room;
                list = static_cast<XMLAttrData*>(m_pArena->FreeRoom(alignof(XMLAttrData), &room));
                capacity = room / sizeof(XMLAttrData);
                inFreeRoom = true;
            }
            if (count == capacity)
            {
                if (m_nItems + count >= m_nMaxItems)
                    return Fail(eXMLErrorTooManyItems, tagPos);
                list = MoreAttributeRoom(list, count, &capacity, &inFreeRoom);
            }
        }
        XMLAttrData& attribute = *new (list + count) XMLAttrData();
        ++count;
        attribute.BorrowNameInEmpty(text + nameStart);
        pos = skipBlanks(nameEnd);
        if (text[pos] != '=')
        {
            // no value; the byte behind the name is looked at again unless it is a blank
            if (pos > nameEnd)
                text[nameEnd] = '\0';
            else
                unended = nameEnd;
            continue;
        }
        text[nameEnd] = '\0';
        pos = skipBlanks(pos + 1);
        m_nPos = pos;
        if (pos >= length)
            return Fail(eXMLErrorUnexpectedToken, tagPos);
        const char quote = text[pos];
        if (quote != '"' && quote != '\'')
            return Fail(eXMLErrorUnexpectedToken, pos);
        const size_t valueStart = pos + 1;
        bool entity;
        const size_t valueEnd = ValueEnd(valueStart, quote, &entity);
        if (valueEnd == std::string::npos)
            return Fail(eXMLErrorUnexpectedToken, pos); // value never closed
        size_t decodedEnd = valueEnd;
        if (entity && !Decode(valueStart, valueEnd, &decodedEnd))
            return false;
        text[decodedEnd] = '\0';
        attribute.BorrowValueInEmpty(text + valueStart);
        pos = valueEnd + 1;
    }
}

XMLAttrData* XMLParserImpl::MoreAttributeRoom(XMLAttrData* list, size_t count, size_t* capacity,
                                              bool* inFreeRoom)
{
    // The list moves into an allocation of its own. The room it leaves (free room of a block
    // the arena has given up, or a list of before) is not used again while it is read here.
    const size_t more = count < 4 ? 8 : 2 * count;
    if (more > SIZE_MAX / sizeof(XMLAttrData) || more > UINT32_MAX)
        throw std::bad_alloc();
    XMLAttrData* moved = static_cast<XMLAttrData*>(
        m_pArena->Allocate(more * sizeof(XMLAttrData), alignof(XMLAttrData)));
    for (size_t k = 0; k < count; ++k)
        new (moved + k) XMLAttrData(std::move(list[k]));
    *capacity = more;
    *inFreeRoom = false;
    return moved;
}

XMLNodeData* XMLParserImpl::NewElement(size_t nameStart, char isDeclaration)
{
    // The name is ended in place once the scanner is past its tag. The node is carved here
    // rather than by NewNodeData, so that the common case of the arena stays inline.
    XMLNodeData* node =
        new (m_pArena->Allocate(sizeof(XMLNodeData), alignof(XMLNodeData))) XMLNodeData(m_pArena);
    m_pArena->Hold();
    node->name = m_pText + nameStart;
    node->isDeclaration = isDeclaration ? 1 : 0;
    node->pParent = Current();
    node->refCount = 1; // the parent's reference
    m_vChildren.push_back(node);
    return node;
}

void XMLParserImpl::AttachGatheredChildren()
{
    const size_t first = m_vOpen.back().firstChild;
    if (first == m_vChildren.size())
        return;
    XMLNodeData* parent = Current();
    if (parent->OrderEmpty())
    {
        // children alone so far: the list grows once
        parent->children.append(parent->arena, m_vChildren.data() + first,
                                m_vChildren.size() - first);
    }
    else
    {
        for (size_t k = first; k < m_vChildren.size(); ++k)
            AttachChild(parent, m_vChildren[k], m_vChildren[k]->isDeclaration, -1);
    }
    m_vChildren.resize(first);
}

bool XMLParserImpl::ParseDeclaration()
{
    const size_t tagPos = m_nPos;
    const size_t nameStart = m_nPos + 2;
    const size_t nameEnd = NameEnd(nameStart);
    if (nameEnd == nameStart)
        return Fail(eXMLErrorMissingTagName, tagPos);
    Flush();
    if (!RoomForItem(tagPos))
        return false;
    XMLNodeData* node = NewElement(nameStart, 1);
    m_nPos = nameEnd;
    char closing;
    if (!ParseAttributes<true>(node, tagPos, &closing))
        return false;
    EndInPlace(nameStart, nameEnd);
    return true;
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
    if (!RoomForItem(tagPos))
        return false;
    XMLNodeData* node = NewElement(nameStart, 0);
    ++m_nElements;
    m_nPos = nameEnd;
    char closing;
    if (!ParseAttributes<false>(node, tagPos, &closing))
        return false;
    EndInPlace(nameStart, nameEnd);
    if (closing == '>')
        Open(node, tagPos, nameEnd - nameStart);
    return true;
}

bool XMLParserImpl::ParseEndTag()
{
    const size_t tagPos = m_nPos;
    const size_t nameStart = m_nPos + 2;
    // Mostly the tag closes the innermost element and spells its name as the start tag did:
    // then the name is known without a scan.
    const OpenElement& innermost = m_vOpen.back();
    const bool closesInnermost =
        m_vOpen.size() > 1 && innermost.nameLength <= m_nLength - nameStart &&
        SameBytes(innermost.node->Name(), m_pText + nameStart, innermost.nameLength) &&
        EndsName(m_pText[nameStart + innermost.nameLength]);
    const size_t nameEnd = closesInnermost ? nameStart + innermost.nameLength : NameEnd(nameStart);
    if (nameEnd == nameStart)
        return Fail(eXMLErrorMissingEndTagName, tagPos);
    m_nPos = SkipBlanks(nameEnd);
    if (m_nPos >= m_nLength || m_pText[m_nPos] != '>')
        return Fail(eXMLErrorUnexpectedToken, m_nPos < m_nLength ? m_nPos : tagPos);
    ++m_nPos;
    Flush();
    const char* name = m_pText + nameStart;
    const size_t nameLength = nameEnd - nameStart;
    // Else look for the element it closes, innermost first (the top node cannot be closed).
    size_t match = closesInnermost ? m_vOpen.size() - 1 : m_vOpen.size();
    for (size_t k = m_vOpen.size(); !closesInnermost && k-- > 1;)
    {
        const OpenElement& open = m_vOpen[k];
        if (open.nameLength == nameLength && (SameBytes(open.node->Name(), name, nameLength) ||
                                              SameName(open.node->Name(), name, nameLength)))
        {
            match = k;
            break;
        }
    }
    if (match == m_vOpen.size())
        return Fail(eXMLErrorUnmatchedEndTag, tagPos);
    if (match != m_vOpen.size() - 1)
        Warn(eXMLWarningUnmatchedEndTag, tagPos); // closes elements that had no end tag
    while (m_vOpen.size() > match)
        CloseInnermost();
    return true;
}

void XMLParserImpl::ConvertFromLatin1()
{
    size_t high = 0;
    for (size_t i = 0; i < m_nLength; ++i)
        high += static_cast<unsigned char>(m_pSource[i]) >> 7;
    if (high == 0)
        return;
    m_sConverted.resize(m_nLength + high);
    char* out = &m_sConverted[0];
    for (size_t i = 0; i < m_nLength; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(m_pSource[i]);
        if (c < 0x80)
        {
            *out++ = static_cast<char>(c);
            continue;
        }
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    m_pSource = m_sConverted.data();
    m_nLength = m_sConverted.size();
}

bool XMLParserImpl::ConvertToUTF8(XMLNode::XMLCharEncoding source)
{
    const char* charset = !m_sCharset.empty() ? m_sCharset.c_str() : CharsetOf(source);
    if (charset != nullptr)
    {
        if (!ConvertCharset(charset, m_pSource, m_nLength, m_sConverted))
            return false;
    }
    else if (source == XMLNode::char_encoding_legacy)
    {
        ConvertFromLatin1();
        return true;
    }
    else if (!RepairUTF8(m_pSource, m_nLength, m_sConverted))
    {
        return true; // UTF-8 as it stands
    }
    m_pSource = m_sConverted.data();
    m_nLength = m_sConverted.size();
    return true;
}

void XMLParserImpl::DeclareUTF8(XMLNodeData* top)
{
    for (XMLNodeData* child : top->children)
    {
        if (!child->isDeclaration || !SameName(child->Name(), "xml"))
            continue;
        ++child->refCount;
        XMLNode declaration(child);
        const char* named = declaration.getAttribute("encoding");
        if (declaration.isAttributeSet("encoding") && !SameName(named, "utf-8") &&
            !SameName(named, "utf8"))
            declaration.updateAttribute("UTF-8", nullptr, "encoding");
        return;
    }
}

XMLNode XMLParserImpl::Parse(const char* tag, XMLResults* results)
{
    // The tree is UTF-8 whatever the document is in: the document is parsed as its UTF-8 form
    // (converted exactly from its charset; see ConvertToUTF8), and its declaration then names
    // UTF-8. Only a document in a charset that the C library does not know keeps its bytes,
    // and its declaration with them; each byte is then a character of its own to the parser.
    const XMLNode::XMLCharEncoding source = m_eEncoding;
    if (!m_bKeepBytes && !ConvertToUTF8(source))
        m_bKeepBytes = true;
    m_eEncoding = m_bKeepBytes ? XMLNode::char_encoding_legacy : XMLNode::char_encoding_UTF8;

    // The arena goes with the last node carved from it; until the top node holds it, it is
    // owned here.
    std::unique_ptr<XMLArena> arena(
        new XMLArena(m_nLength < SIZE_MAX / 2 ? m_nLength * 2 : m_nLength));
    XMLNodeData* topData = NewNodeData(arena.get());
    m_pArena = arena.release();
    topData->refCount = 1;
    XMLNode top(topData);
    Open(topData, 0, 0);
    // The document's copy of the text, ended by a zero byte whatever stands behind the
    // caller's text.
    if (m_nLength > SIZE_MAX - 1 - kScanPadding)
        throw std::bad_alloc();
    m_pText = static_cast<char*>(m_pArena->Allocate(m_nLength + 1 + kScanPadding, 1));
    if (m_nLength > 0)
        memcpy(m_pText, m_pSource, m_nLength);
    memset(m_pText + m_nLength, 0, 1 + kScanPadding);

    if (m_nLength >= 3 && memcmp(m_pText, "\xEF\xBB\xBF", 3) == 0)
        m_nStart = m_nPos = 3;

    // A zero byte has no place in a document (only a file can hold one): refuse it up front,
    // so that no stored text is cut short by it.
    const void* zero = m_bZeroFree ? nullptr : memchr(m_pText + m_nPos, '\0', m_nLength - m_nPos);
    bool ok =
        zero == nullptr || Fail(eXMLErrorUnexpectedToken,
                                static_cast<size_t>(static_cast<const char*>(zero) - m_pText));
    while (ok && m_nPos < m_nLength)
    {
        const char* here = m_pText + m_nPos;
        if (*here != '<')
        {
            // Between the tags of a formatted document there is only white space: skipped
            // here without a call.
            if (m_bDropWhiteSpace && IsBlank(*here))
            {
                const size_t i = SkipBlankRun(m_nPos);
                if (i >= m_nLength || m_pText[i] == '<')
                {
                    m_nPos = i;
                    continue;
                }
            }
            ok = ParseText();
            continue;
        }
        const size_t left = m_nLength - m_nPos;
        const char next = here[1]; // the zero byte behind the text at the latest
        if (next == '/')
        {
            ok = ParseEndTag();
            continue;
        }
        // Every clear tag starts with "<!" or "<P"; most tags are told apart by that already.
        const ClearTag* clear = nullptr;
        if (next == '!' || ((next == 'P' || next == 'p') && left >= 5 && (here[2] | 0x20) == 'r' &&
                            (here[3] | 0x20) == 'e' && here[4] == '>'))
            for (const ClearTag& t : kClearTags)
                if (t.open[1] == (next == '!' ? '!' : 'P') && StartsWithNoCase(here, left, t.open))
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
        if (m_nItems > m_nMaxItems) // a text behind the last tag
            ok = Fail(eXMLErrorTooManyItems, m_nLength);
    }
    if (ok)
    {
        if (m_vOpen.size() > 1)
            Warn(eXMLWarningUnmatchedEndTag, m_vOpen.back().tagPos); // never closed
    }
    // Every element made is attached, also after a failure: the tree is freed as a whole.
    while (!m_vOpen.empty())
        CloseInnermost();
    if (ok && m_nElements == 0)
    {
        size_t i = m_nStart;
        while (i < m_nLength && IsBlank(m_pSource[i]))
            ++i;
        ok = Fail(i == m_nLength ? eXMLErrorEmpty : eXMLErrorNoElements, m_nLength);
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
        if (m_bKeepBytes)
            topData->keptEncoding = true;
        else
            DeclareUTF8(topData);
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
                if (SameName(child->Name(), tag))
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
// Thrown by the output when the text would grow beyond its limit.
struct XMLOutputTooLong
{
};

// The text being written: one growing allocation of the C library, so that createXMLString can
// hand it over as it stands.
class XMLOutput
{
public:
    XMLOutput() = default;
    XMLOutput(const XMLOutput&) = delete;
    XMLOutput& operator=(const XMLOutput&) = delete;
    ~XMLOutput() { free(m_p); }

    void Put(char c)
    {
        if (m_nSize + 1 >= m_nCapacity)
            Reserve(1);
        m_p[m_nSize++] = c;
    }
    void Put(const char* s, size_t n)
    {
        if (n >= m_nCapacity - m_nSize)
            Reserve(n);
        memcpy(m_p + m_nSize, s, n);
        m_nSize += n;
    }
    void Put(const char* s)
    {
        if (s != nullptr)
            Put(s, strlen(s));
    }
    void Repeat(char c, size_t n)
    {
        if (n >= m_nCapacity - m_nSize)
            Reserve(n);
        memset(m_p + m_nSize, c, n);
        m_nSize += n;
    }
    const char* Data() const { return m_p != nullptr ? m_p : ""; }
    // Drops what was written from `size` on.
    void Truncate(size_t size)
    {
        if (size < m_nSize)
            m_nSize = size;
    }
    size_t Size() const { return m_nSize; }
    // Hands the text over, zero-terminated, to be freed with free(); null when no memory is
    // left for it.
    char* Release()
    {
        if (m_p == nullptr)
            return static_cast<char*>(calloc(1, 1));
        m_p[m_nSize] = '\0'; // room for it is always kept
        char* p = m_p;
        m_p = nullptr;
        m_nSize = m_nCapacity = 0;
        return p;
    }

private:
    // Makes room for `more` bytes and the final zero.
    void Reserve(size_t more)
    {
        if (more > m_nLimit - m_nSize)
            throw XMLOutputTooLong();
        size_t capacity = m_nCapacity < 4096 ? 4096 : m_nCapacity;
        while (capacity <= m_nSize + more)
            capacity *= 2;
        if (capacity > m_nLimit + 1)
            capacity = m_nLimit + 1;
        char* p = static_cast<char*>(realloc(m_p, capacity));
        if (p == nullptr)
            throw std::bad_alloc();
        m_p = p;
        m_nCapacity = capacity;
    }

    char* m_p = nullptr;
    size_t m_nSize = 0;
    size_t m_nCapacity = 0;
    size_t m_nLimit = static_cast<size_t>(XML_MAX_WRITTEN);
};

// True when the end tag of a clear section (compared as the parser finds it, regardless of
// case) would be found before the end of `content` followed by that tag.
bool EndsEarly(const char* content, size_t n, const char* closeTag)
{
    const size_t tagLength = closeTag != nullptr ? strlen(closeTag) : 0;
    if (tagLength == 0)
        return false;
    for (size_t i = 0; i < n; ++i)
    {
        size_t k = 0;
        while (k < tagLength)
        {
            const char c = i + k < n ? content[i + k] : closeTag[i + k - n];
            if (tolower(static_cast<unsigned char>(c)) !=
                tolower(static_cast<unsigned char>(closeTag[k])))
                break;
            ++k;
        }
        if (k == tagLength)
            return true;
    }
    return false;
}

// What the writer does with each byte of a text, an attribute value, a name or a clear section.
// Every byte it treats is below 0x40 or from 0x80 on; bytes below 0x40 are never part of a
// multibyte character, so escaping goes byte by byte in every encoding.
enum : unsigned char
{
    kPass = 0,      // written as it stands
    kEntity = 1,    // spelled as an entity or character reference
    kLeaveOut = 2,  // a control character that XML 1.0 does not allow: left out
    kCheckUTF8 = 3, // the start of a UTF-8 character, checked before it is written
};
struct WrittenBytes
{
    unsigned char kind[256];
    // In a name a character left out would be a name the less, or none at all: there it
    // stands as '_'. No control character (C0, DEL or C1) is a character of a name.
    bool name;
    // What stands for a character left out (in names '_'); none when zero.
    char standIn;
    // Texts and attribute values spell the five markup characters as entities. A reader folds
    // a carriage return (and a CR LF pair) into a line feed, and in an attribute value it turns
    // a tab, a line feed and a carriage return into a blank: these are written as character
    // references, which every reader gives back as they were sent (a carriage return in texts;
    // all three in attribute values). Clear sections are written as they stand. In UTF-8
    // output every byte from 0x80 on is checked.
    constexpr WrittenBytes(bool escaped, bool attribute, bool utf8, bool isName = false,
                           char blank = '\0')
        : kind{}, name(isName), standIn(isName ? '_' : blank)
    {
        for (int c = 1; c < 0x20; ++c)
            kind[c] = kLeaveOut;
        if (!isName)
        {
            kind[static_cast<unsigned char>('\t')] = attribute ? kEntity : kPass;
            kind[static_cast<unsigned char>('\n')] = attribute ? kEntity : kPass;
            kind[static_cast<unsigned char>('\r')] = escaped ? kEntity : kPass;
        }
        else
        {
            // DEL is never a trail byte of a multibyte character in any encoding.
            kind[0x7F] = kLeaveOut;
        }
        if (escaped)
            for (const char* c = "&<>\"'"; *c != '\0'; ++c)
                kind[static_cast<unsigned char>(*c)] = kEntity;
        if (utf8)
            for (int c = 0x80; c < 0x100; ++c)
                kind[c] = kCheckUTF8;
    }
};
constexpr WrittenBytes kTextUTF8(true, false, true);
constexpr WrittenBytes kAttributeUTF8(true, true, true);
constexpr WrittenBytes kRawUTF8(false, false, true);
constexpr WrittenBytes kTextBytes(true, false, false);
constexpr WrittenBytes kAttributeBytes(true, true, false);
constexpr WrittenBytes kRawBytes(false, false, false);
// Clear sections whose content, with its characters left out, would hold the section's end.
constexpr WrittenBytes kRawBlankUTF8(false, false, true, false, ' ');
constexpr WrittenBytes kRawBlankBytes(false, false, false, false, ' ');
constexpr WrittenBytes kNameUTF8(false, false, true, true);
constexpr WrittenBytes kNameBytes(false, false, false, true);

// How deep the formatted layout indents: deeper elements stand at this depth. Documents of the
// system nest some six deep; the bound keeps the layout of a deeply nested document from costing
// more than a few bytes per element.
constexpr int kMaxIndent = 16;

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
    // utf8: the text is written as UTF-8 (see WritesUTF8).
    XMLWriter(bool format, bool utf8)
        : m_bFormat(format), m_rText(utf8 ? kTextUTF8 : kTextBytes),
          m_rAttribute(utf8 ? kAttributeUTF8 : kAttributeBytes),
          m_rRaw(utf8 ? kRawUTF8 : kRawBytes), m_rRawBlank(utf8 ? kRawBlankUTF8 : kRawBlankBytes),
          m_rName(utf8 ? kNameUTF8 : kNameBytes)
    {
    }
    void Write(const XMLNodeData* root);
    XMLOutput& Output() { return m_out; }

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
            m_out.Repeat('\t', static_cast<size_t>(depth < kMaxIndent ? depth : kMaxIndent));
    }
    void LineEnd()
    {
        if (m_bFormat)
            m_out.Put('\n');
    }
    void Escape(const char* text, const WrittenBytes& table);
    // A name: printable ASCII, as nearly every name is, goes out in one piece.
    void Name(const char* name)
    {
        if (name == nullptr)
            return;
        const char* end = name;
        while (static_cast<unsigned char>(*end - 0x20) < 0x5F)
            ++end;
        if (*end == '\0')
            m_out.Put(name, static_cast<size_t>(end - name));
        else
            Escape(name, m_rName);
    }
    void StartTag(const XMLNodeData* n);
    void EndTag(const XMLNodeData* n);
    void Element(const XMLNodeData* n, int depth);
    void InlineItem(const XMLNodeData* n, int entry);

    bool m_bFormat;
    const WrittenBytes& m_rText;
    const WrittenBytes& m_rAttribute;
    const WrittenBytes& m_rRaw;
    const WrittenBytes& m_rRawBlank;
    const WrittenBytes& m_rName;
    XMLOutput m_out;
    std::vector<Frame> m_vFrames;
};

void XMLWriter::Escape(const char* text, const WrittenBytes& table)
{
    if (text == nullptr)
        return;
    for (;;)
    {
        const char* run = text;
        while (table.kind[static_cast<unsigned char>(*text)] == kPass && *text != '\0')
            ++text;
        m_out.Put(run, static_cast<size_t>(text - run));
        const unsigned char c = static_cast<unsigned char>(*text);
        if (c == 0)
            return;
        if (table.kind[c] == kLeaveOut)
        {
            if (table.standIn != '\0')
                m_out.Put(table.standIn);
            ++text;
            continue;
        }
        if (table.kind[c] == kCheckUTF8)
        {
            // The text is zero-terminated and a zero byte is never a trail byte, so nothing
            // past its end is read.
            int length = XMLAllowedUTF8At(text, 0, 4);
            // U+0080 to U+009F, the C1 controls, have no place in a name.
            if (table.name && length == 2 && c == 0xC2 &&
                static_cast<unsigned char>(text[1]) < 0xA0)
                length = -2;
            if (length > 0)
            {
                m_out.Put(text, static_cast<size_t>(length));
                text += length;
            }
            else if (length < 0)
            {
                text -= length; // a character that XML does not allow: left out
                if (table.standIn != '\0')
                    m_out.Put(table.standIn);
            }
            else
            {
                // No UTF-8: the byte is taken as the ISO-8859-1 character of its value.
                m_out.Put(static_cast<char>(0xC0 | (c >> 6)));
                m_out.Put(static_cast<char>(0x80 | (c & 0x3F)));
                ++text;
            }
            continue;
        }
        switch (c)
        {
        case '&':
            m_out.Put("&amp;", 5);
            break;
        case '<':
            m_out.Put("&lt;", 4);
            break;
        case '>':
            m_out.Put("&gt;", 4);
            break;
        case '"':
            m_out.Put("&quot;", 6);
            break;
        case '\'':
            m_out.Put("&apos;", 6);
            break;
        case '\t':
            m_out.Put("&#9;", 4);
            break;
        case '\n':
            m_out.Put("&#10;", 5);
            break;
        default: // '\r'
            m_out.Put("&#13;", 5);
            break;
        }
        ++text;
    }
}

void XMLWriter::StartTag(const XMLNodeData* n)
{
    if (n->isDeclaration)
        m_out.Put("<?", 2);
    else
        m_out.Put('<');
    Name(n->Name());
    for (const XMLAttrData& a : n->attributes)
    {
        m_out.Put(' ');
        Name(a.Name());
        if (a.Value() != nullptr)
        {
            m_out.Put("=\"", 2);
            Escape(a.Value(), m_rAttribute);
            m_out.Put('"');
        }
    }
}

void XMLWriter::EndTag(const XMLNodeData* n)
{
    m_out.Put("</", 2);
    Name(n->Name());
    m_out.Put('>');
    LineEnd();
}

void XMLWriter::InlineItem(const XMLNodeData* n, int entry)
{
    const size_t index = static_cast<size_t>(entry >> 2);
    if ((entry & 3) == eNodeText)
    {
        Escape(n->extra->texts[index].get(), m_rText);
    }
    else if ((entry & 3) == eNodeClear)
    {
        const XMLClearData& c = n->extra->clears[index];
        m_out.Put(c.openTag.get());
        const size_t start = m_out.Size();
        Escape(c.value.get(), m_rRaw);
        // Characters left out can join what stood around them into the section's end
        // ("]]\x03>" in a CDATA section), and what followed would be read as markup: such a
        // content is written again with a blank for each character left out. No end of a
        // clear section holds a blank or a character that is left out.
        if (EndsEarly(m_out.Data() + start, m_out.Size() - start, c.closeTag.get()))
        {
            m_out.Truncate(start);
            Escape(c.value.get(), m_rRawBlank);
        }
        m_out.Put(c.closeTag.get());
    }
}

void XMLWriter::Element(const XMLNodeData* n, int depth)
{
    Indent(depth);
    StartTag(n);
    if (n->isDeclaration)
    {
        m_out.Put("?>", 2);
        LineEnd();
        if (n->HasContent()) // content of a declaration follows it at the same depth
            m_vFrames.push_back(Frame{n, 0, depth});
        return;
    }
    if (!n->HasContent())
    {
        m_out.Put("/>", 2);
        LineEnd();
        return;
    }
    m_out.Put('>');
    if (n->children.empty())
    {
        for (size_t k = 0; k < n->ContentSize(); ++k)
            InlineItem(n, n->ContentAt(k));
        EndTag(n);
        return;
    }
    LineEnd();
    m_vFrames.push_back(Frame{n, 0, depth + 1});
}

void XMLWriter::Write(const XMLNodeData* root)
{
    if (root->Name() != nullptr)
        Element(root, 0);
    else
        m_vFrames.push_back(Frame{root, 0, 0});
    while (!m_vFrames.empty())
    {
        Frame& f = m_vFrames.back();
        const XMLNodeData* n = f.node;
        const int depth = f.depth;
        if (f.next >= n->ContentSize())
        {
            m_vFrames.pop_back();
            if (n->Name() != nullptr && !n->isDeclaration)
            {
                Indent(depth - 1);
                EndTag(n);
            }
            continue;
        }
        const int entry = n->ContentAt(f.next++);
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

namespace
{
// A handle takes its reference on n, or drops it (see XMLArena::DropHandle).
void TakeHandle(XMLNodeData* n)
{
    if (n != nullptr && n->arena != nullptr)
        n->arena->AddHandle();
}

void DropHandle(XMLNodeData* n)
{
    if (n == nullptr)
        return;
    if (n->arena != nullptr && n->arena->DropHandle())
        delete n->arena;
    else
        ReleaseData(n);
}
} // namespace

XMLNode::XMLNode(XMLNodeData* data) : d(data)
{
    TakeHandle(d);
}

XMLNode::XMLNode(const XMLNode& other) : d(other.d)
{
    if (d != nullptr)
        ++d->refCount;
    TakeHandle(d);
}

XMLNode& XMLNode::operator=(const XMLNode& other)
{
    if (other.d != nullptr)
        ++other.d->refCount;
    TakeHandle(other.d);
    XMLNodeData* old = d;
    d = other.d;
    DropHandle(old);
    return *this;
}

XMLNode::~XMLNode()
{
    DropHandle(d);
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
    XMLParserImpl parser(text, strlen(text), true);
    return parser.Parse(tag, results);
}

XMLNode XMLNode::parseFile(XMLCSTR path, XMLCSTR tag, XMLResults* results)
{
    std::string content;
    bool complete = false;
    if (!CQTXCommandFile::ReadWholeFile(path, content, &complete) || !complete)
    {
        if (results != nullptr)
            *results = XMLResults{eXMLErrorFileNotFound, 0, 0};
        return XMLNode();
    }
    XMLParserImpl parser(content.data(), content.size());
    return parser.Parse(tag, results);
}

namespace
{
// The quoted value after the word "encoding" and "=" in the l bytes of a document's beginning
// into *name; false when there is none (or it runs past the end of the bytes).
bool DeclaredEncoding(const char* text, size_t l, std::string* name)
{
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
            return false;
        name->assign(text + k, end - k);
        return true;
    }
    return false;
}

bool NamedAmong(const std::string& name, std::initializer_list<const char*> names)
{
    for (const char* n : names)
        if (SameName(name.c_str(), n))
            return true;
    return false;
}

// A name as XML writes encoding names: a letter, then letters, digits, '.', '_' and '-'.
bool IsEncodingName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || !isalpha(static_cast<unsigned char>(name[0])))
        return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            return false;
    return true;
}

// Sets up the parser for the charset of a document: the one its declaration names, or, when
// it names none (or names one that its bytes cannot be in), UTF-8, where a byte that is no
// part of a UTF-8 character is read as its ISO-8859-1 character (see RepairUTF8): so a
// document that is UTF-8 but for one stray byte keeps its UTF-8 text, and one in ISO-8859-1
// its letters. Gives the encoding the parser starts from.
XMLNode::XMLCharEncoding ChooseCharset(const char* data, size_t length, XMLParserImpl& parser)
{
    const size_t sample = length < 200 ? length : 200;
    std::string name;
    const bool bom = length >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0;
    if (!bom && DeclaredEncoding(data, sample, &name))
    {
        if (NamedAmong(name, {"utf-8", "utf8"}))
            return XMLNode::char_encoding_UTF8;
        if (NamedAmong(name, {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "l1", "cp819",
                              "ibm819", "iso-ir-100", "csisolatin1", "us-ascii", "ascii"}))
            return XMLNode::char_encoding_legacy;
        if (NamedAmong(name, {"shiftjis", "shift-jis", "sjis", "shift_jis", "ms_kanji",
                              "csshiftjis", "windows-31j", "cp932", "x-sjis"}))
            return XMLNode::char_encoding_ShiftJIS;
        if (NamedAmong(name, {"gb2312"}))
            return XMLNode::char_encoding_GB2312;
        if (NamedAmong(name, {"big5"}))
            return XMLNode::char_encoding_Big5;
        if (NamedAmong(name, {"gbk"}))
            return XMLNode::char_encoding_GBK;
        iconv_t cd = IsEncodingName(name) ? iconv_open("UTF-8", name.c_str())
                                          : reinterpret_cast<iconv_t>(-1);
        if (cd == reinterpret_cast<iconv_t>(-1))
        {
            parser.KeepBytes();
            return XMLNode::char_encoding_legacy;
        }
        iconv_close(cd);
        if (ASCIICompatible(name.c_str()))
        {
            parser.SetCharset(name);
            return XMLNode::char_encoding_legacy;
        }
    }
    return XMLNode::char_encoding_UTF8;
}
} // namespace

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

    std::string value;
    if (!DeclaredEncoding(static_cast<const char*>(buffer), l, &value))
        return guess;
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

XMLNode XMLNode::openFileHelper(XMLCSTR path, XMLCSTR tag, XMLResults* results, size_t maxItems)
{
    // The file is read once; its beginning gives the encoding, the whole the document.
    std::string content;
    bool complete = false;
    if (!CQTXCommandFile::ReadWholeFile(path, content, &complete))
    {
        if (results != nullptr)
            *results = XMLResults{eXMLErrorFileNotFound, 0, 0};
        return XMLNode();
    }
    if (!complete)
    {
        if (results != nullptr)
            *results = XMLResults{eXMLErrorFileNotFound, 0, 0};
        return XMLNode();
    }
    return openBufferHelper(content.data(), content.size(), tag, results, maxItems);
}

XMLNode XMLNode::openBufferHelper(const char* data, size_t length, XMLCSTR tag, XMLResults* results,
                                  size_t maxItems)
{
    // The tree is UTF-8 whatever the document was in, and so is what is written of it on this
    // thread afterwards (the reply made of a request, for one).
    XMLParserImpl parser(data, length);
    const XMLCharEncoding encoding = ChooseCharset(data, length, parser);
    setGlobalOptions(encoding, tOptions.guessWideChars, tOptions.dropWhiteSpace,
                     tOptions.removeCommentsInMiddleOfText);
    parser.SetEncoding(encoding);
    parser.SetItemBound(maxItems);
    XMLNode top = parser.Parse(tag, results);
    tOptions.encoding = char_encoding_UTF8;
    return top;
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
    case eXMLErrorTooManyItems:
        return "Error: Too many elements, attributes and texts";
    case eXMLErrorInvalidUTF8:
        return "Error: Byte sequence not valid in UTF-8";
    case eXMLErrorUnconvertibleEncoding:
        return "Error: Character encoding not convertible to UTF-8";
    case eXMLErrorTooLong:
        return "Error: Document too long to write";
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
    XMLNodeData* data = NewNodeData(nullptr);
    data->SetName(NodeStr(data, name));
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
    a.SetName(NodeStr(d, name));
    a.SetValue(NodeStr(d, value));
    d->attributes.push_back(d->arena, std::move(a));
    return AttributeView(d->attributes.back());
}

XMLCSTR XMLNode::addText(XMLCSTR text, int position)
{
    if (d == nullptr || text == nullptr)
        return nullptr;
    return AddTextData(d, NodeStr(d, text), position);
}

XMLClear XMLNode::addClear(XMLCSTR value, XMLCSTR openTag, XMLCSTR closeTag, int position)
{
    if (d == nullptr || value == nullptr)
        return kNoClear;
    XMLClearData c;
    c.value = NodeStr(d, value);
    c.openTag = NodeStr(d, openTag != nullptr ? openTag : "<![CDATA[");
    c.closeTag = NodeStr(d, closeTag != nullptr ? closeTag : "]]>");
    return AddClearData(d, std::move(c), position);
}

XMLAttribute XMLNode::updateAttribute(XMLCSTR newValue, XMLCSTR newName, XMLCSTR oldName)
{
    if (d == nullptr)
        return kNoAttribute;
    for (XMLAttrData& a : d->attributes)
    {
        if (SameName(a.Name(), oldName))
        {
            // new copies first: the arguments may point into this very attribute
            XStr value = NodeStr(d, newValue);
            if (newName != nullptr)
                a.SetName(NodeStr(d, newName));
            a.SetValue(std::move(value));
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
        XStr value = NodeStr(d, newValue);
        if (newName != nullptr)
            a.SetName(NodeStr(d, newName));
        a.SetValue(std::move(value));
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
    if (i >= 0 && static_cast<size_t>(i) < d->Extra().texts.size())
    {
        XStr& text = d->extra->texts[static_cast<size_t>(i)];
        text = NodeStr(d, newText);
        return text.get();
    }
    return addText(newText);
}

XMLCSTR XMLNode::updateName(XMLCSTR newName)
{
    if (d == nullptr || newName == nullptr)
        return nullptr;
    d->SetName(NodeStr(d, newName));
    return d->Name();
}

void XMLNode::deleteAttribute(XMLCSTR name)
{
    if (d == nullptr)
        return;
    for (size_t i = 0; i < d->attributes.size(); ++i)
    {
        if (SameName(d->attributes[i].Name(), name))
        {
            d->attributes.erase(i);
            return;
        }
    }
}

void XMLNode::deleteAttribute(int i)
{
    if (d != nullptr && i >= 0 && static_cast<size_t>(i) < d->attributes.size())
        d->attributes.erase(static_cast<size_t>(i));
}

void XMLNode::deleteText(int i)
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->Extra().texts.size())
        return;
    RemoveOrder(d, eNodeText, static_cast<size_t>(i));
    d->extra->texts.erase(static_cast<size_t>(i));
}

void XMLNode::deleteClear(int i)
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->Extra().clears.size())
        return;
    RemoveOrder(d, eNodeClear, static_cast<size_t>(i));
    d->extra->clears.erase(static_cast<size_t>(i));
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
                parent->children.erase(i);
                break;
            }
        }
        n->pParent = nullptr;
        --n->refCount; // the parent's reference; this handle still holds one
    }
    const std::vector<XMLNodeData*> children(n->children.begin(), n->children.end());
    n->children.clear();
    for (XMLNodeData* child : children)
    {
        child->pParent = nullptr;
        ReleaseData(child);
    }
    n->attributes.clear();
    if (n->extra != nullptr)
    {
        n->extra->texts.clear();
        n->extra->clears.clear();
        n->extra->order.clear();
    }
    d = nullptr;
    DropHandle(n);
}

XMLCSTR XMLNode::getName() const
{
    return d != nullptr ? d->Name() : nullptr;
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
            if (SameName(c->Name(), name))
                ++count;
    return count;
}

int XMLNode::nAttribute() const
{
    return d != nullptr ? static_cast<int>(d->attributes.size()) : 0;
}

int XMLNode::nText() const
{
    return d != nullptr ? static_cast<int>(d->Extra().texts.size()) : 0;
}

int XMLNode::nClear() const
{
    return d != nullptr ? static_cast<int>(d->Extra().clears.size()) : 0;
}

int XMLNode::nElement() const
{
    return d != nullptr ? static_cast<int>(d->attributes.size() + d->ContentSize()) : 0;
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
        if (SameName(c->Name(), name) && i-- == 0)
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
        if (SameName(c->Name(), name))
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
            if (!SameName(a.Name(), attributeName))
                continue;
            if (attributeValue == nullptr ||
                (a.Value() != nullptr && strcmp(a.Value(), attributeValue) == 0))
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
        if (SameName(a.Name(), name) && i-- == 0)
            return a.Value();
    return nullptr;
}

XMLCSTR XMLNode::getAttribute(XMLCSTR name, int* j) const
{
    if (d == nullptr)
        return nullptr;
    size_t k = (j != nullptr && *j > 0) ? static_cast<size_t>(*j) : 0;
    for (; k < d->attributes.size(); ++k)
    {
        if (SameName(d->attributes[k].Name(), name))
        {
            if (j != nullptr)
                *j = static_cast<int>(k + 1);
            return d->attributes[k].Value();
        }
    }
    return nullptr;
}

bool XMLNode::isAttributeSet(XMLCSTR name) const
{
    if (d != nullptr)
        for (const XMLAttrData& a : d->attributes)
            if (SameName(a.Name(), name))
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
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->Extra().texts.size())
        return nullptr;
    return d->extra->texts[static_cast<size_t>(i)].get();
}

XMLClear XMLNode::getClear(int i) const
{
    if (d == nullptr || i < 0 || static_cast<size_t>(i) >= d->Extra().clears.size())
        return kNoClear;
    return ClearView(d->extra->clears[static_cast<size_t>(i)]);
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
    if (k >= d->ContentSize())
        return c;
    const int entry = d->ContentAt(k);
    const size_t index = static_cast<size_t>(entry >> 2);
    switch (entry & 3)
    {
    case eNodeChild:
        c.etype = eNodeChild;
        c.child = getChildNode(static_cast<int>(index));
        break;
    case eNodeText:
        c.etype = eNodeText;
        c.text = d->extra->texts[index].get();
        break;
    default:
        c.etype = eNodeClear;
        c.clear = ClearView(d->extra->clears[index]);
        break;
    }
    return c;
}

namespace
{
// True when the tree of n is written as UTF-8: in this thread's UTF-8 mode (the mode after
// every parse), unless its document keeps the bytes of a charset of its own.
bool WritesUTF8(const XMLNodeData* n)
{
    while (n->pParent != nullptr)
        n = n->pParent;
    return tOptions.encoding == XMLNode::char_encoding_UTF8 && !n->keptEncoding;
}
} // namespace

XMLSTR XMLNode::createXMLString(int nFormat, int* size) const
{
    if (size != nullptr)
        *size = 0;
    if (d == nullptr)
        return nullptr;
    // Without dropping white space the texts are kept as they stand, so no layout is added.
    XMLWriter writer(nFormat != 0 && tOptions.dropWhiteSpace != 0, WritesUTF8(d));
    try
    {
        writer.Write(d);
    }
    catch (const XMLOutputTooLong&)
    {
        return nullptr;
    }
    const size_t length = writer.Output().Size();
    XMLSTR result = writer.Output().Release();
    if (size != nullptr)
        *size = result != nullptr ? static_cast<int>(length) : 0;
    return result;
}

void XMLNode::freeXMLString(XMLSTR text)
{
    free(text);
}

XMLError XMLNode::writeToString(std::string& out, XMLCSTR encoding, char nFormat) const
{
    out.clear();
    if (d == nullptr)
        return eXMLErrorNone;
    XMLWriter writer(nFormat != 0 && tOptions.dropWhiteSpace != 0, WritesUTF8(d));
    try
    {
        writer.Write(d);
    }
    catch (const XMLOutputTooLong&)
    {
        return eXMLErrorTooLong;
    }
    out = documentHead(encoding);
    const XMLOutput& text = writer.Output();
    out.append(text.Data(), text.Size());
    return eXMLErrorNone;
}

std::string XMLNode::documentHead(XMLCSTR encoding) const
{
    const XMLCharEncoding mode = tOptions.encoding;
    std::string head;
    if (WritesUTF8(d))
        head = "\xEF\xBB\xBF";
    const bool ownDeclaration = d->isDeclaration || (d->Name() == nullptr && !d->children.empty() &&
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
    return head;
}

XMLError XMLNode::writeToFile(XMLCSTR path, XMLCSTR encoding, char nFormat) const
{
    if (d == nullptr)
        return eXMLErrorNone;
    // The whole text is made before the file is opened: a document too long to write leaves
    // no file behind.
    XMLWriter writer(nFormat != 0 && tOptions.dropWhiteSpace != 0, WritesUTF8(d));
    try
    {
        writer.Write(d);
    }
    catch (const XMLOutputTooLong&)
    {
        return eXMLErrorTooLong;
    }
    const std::string head = documentHead(encoding);

    FILE* f = path != nullptr ? fopen(path, "wb") : nullptr;
    if (f == nullptr)
        return eXMLErrorCannotOpenWriteFile;
    const XMLOutput& text = writer.Output();
    bool ok = fwrite(head.data(), 1, head.size(), f) == head.size();
    ok = ok && fwrite(text.Data(), 1, text.Size(), f) == text.Size();
    ok = (fclose(f) == 0) && ok;
    return ok ? eXMLErrorNone : eXMLErrorCannotWriteFile;
}
