// Fuzz target: the framer that finds where a request document ends on a connection.
//
// Input: byte 0 chooses where the rest is split in two. The rest is framed at once, in the two
// pieces, and byte by byte: each must give the same result, the same number of bytes taken,
// the same root name or binary tag and the same stored bytes, never more than it took. A
// complete document is complete again in just the bytes it took. The framer gets the rest in a
// buffer of its own size, so that AddressSanitizer sees any read past it.
#include "FuzzSupport.h"
#include "QTXDocumentFramer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

using kovefuzz::Fail;

namespace
{
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
    CQTXDocumentFramer::Result eResult = CQTXDocumentFramer::MoreData;
    size_t uUsed = 0;
    std::string sRoot;
    uint16_t uTag = 0;
    std::string sStored;

    bool operator==(const CFramed& o) const
    {
        return eResult == o.eResult && uUsed == o.uUsed && sRoot == o.sRoot && uTag == o.uTag &&
               sStored == o.sStored;
    }
};

// Feeds `data` in pieces of `piece` bytes (the first one `first` bytes long) until the
// framer stops taking.
CFramed Frame(const uint8_t* data, size_t size, size_t first, size_t piece)
{
    CKept kept;
    // A limit the fuzzer reaches with a binary head.
    CQTXDocumentFramer framer(&kept, 1 << 20);
    CFramed framed;
    size_t at = 0;
    size_t length = first;
    for (;;)
    {
        length = std::min(length, size - at);
        size_t used = 0;
        framed.eResult = framer.Feed(data + at, length, &used);
        if (used > length)
            Fail("the framer took more bytes than it was given");
        at += used;
        if (framed.eResult != CQTXDocumentFramer::MoreData || at == size)
            break;
        if (used != length)
            Fail("the framer wants more but left bytes untaken");
        length = piece;
    }
    framed.uUsed = at;
    framed.sRoot = framer.RootName();
    framed.uTag = framer.BinaryTag();
    framed.sStored = kept.sText;
    if (framed.sStored.size() > framed.uUsed)
        Fail("more bytes stored than taken");
    if (framed.eResult == CQTXDocumentFramer::Complete && framed.sRoot.empty() &&
        framed.sStored.compare(0, 5, "<?xml") == 0)
        Fail("a complete XML document without a root name");
    return framed;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t rest = size - 1;
    const size_t split = rest * data[0] / 255;
    // A copy of exactly the rest's size, so that a read past it is caught.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[rest == 0 ? 1 : rest]);
    if (rest > 0)
        std::memcpy(bytes.get(), data + 1, rest);

    const CFramed whole = Frame(bytes.get(), rest, rest, rest);
    if (!(Frame(bytes.get(), rest, split, rest) == whole))
        Fail("two pieces framed otherwise than the whole");
    if (!(Frame(bytes.get(), rest, 1, 1) == whole))
        Fail("single bytes framed otherwise than the whole");
    if (whole.eResult == CQTXDocumentFramer::Complete)
    {
        size_t end = 0;
        std::string root;
        uint16_t tag = 0;
        if (!QTXFindDocument(bytes.get(), whole.uUsed, end, root, tag) || end != whole.uUsed ||
            root != whole.sRoot || tag != whole.uTag)
            Fail("a document is not complete in just the bytes it took");
    }
    return 0;
}
