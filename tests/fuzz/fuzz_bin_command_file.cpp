// Fuzz target: a binary command file as the request server hands it to the driver.
//
// The input is the file. It is loaded with CQTXBin::LoadFile for the tag its own head carries
// (so most inputs get past the tag test), checked with Cfg_1st_Check, read the way a driver
// reads its groups (every entry byte handed out is touched), answered with entry errors and a
// reply group, and the reply is generated. The in-place functions also run straight on the
// input bytes, in a buffer of exactly their size. Invariants of the reply stream are checked.
#include "FuzzSupport.h"
#include "QTXBin.h"

#include <cstring>
#include <vector>

using kovefuzz::Fail;

namespace
{

// Checks that a generator writes one contiguous output of the size it announces.
struct Stream
{
    std::vector<unsigned char> bytes;
    unsigned int total = 0;

    static bool Write(void* context, const unsigned char* data, unsigned int offset,
                      unsigned int length, unsigned int total)
    {
        Stream* s = static_cast<Stream*>(context);
        if (offset != s->bytes.size())
            Fail("reply pieces out of order");
        if (!s->bytes.empty() && total != s->total)
            Fail("reply total changed");
        s->total = total;
        if (static_cast<uint64_t>(offset) + length > total)
            Fail("reply piece beyond the total");
        s->bytes.insert(s->bytes.end(), data, data + length);
        return true;
    }
};

volatile unsigned char g_ucSink;

// Reads every byte of the entries a group hands out, so that the sanitizers see any read
// beyond the document.
void TouchEntries(const unsigned char* entries, const _QTXBIN_GROUP& group)
{
    unsigned char x = 0;
    const unsigned char* entry = entries;
    for (unsigned int i = 0; i < group.count; ++i)
    {
        for (unsigned int b = 0; b < group.entrySize; ++b)
            x ^= entry[b];
        entry = QtxBinGetNextSignal(&group, const_cast<unsigned char*>(entry));
    }
    g_ucSink = x;
}

// What a driver does with a checked configuration: take each group by its type, read it,
// refuse some entries.
void ReadLikeADriver(CQTXBin& bin, QtxBinCfgView config, unsigned char salt)
{
    for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
    {
        _QTXBIN_GROUP descriptor;
        if (!QtxBinCfgGetGroup(config, i, &descriptor))
            return;
        unsigned char* entries = nullptr;
        unsigned int index = 0;
        _QTXBIN_GROUP group{};
        const unsigned short minimum = static_cast<unsigned short>((salt + i) % 9);
        if (QtxBinCfgGetAndCheckGroup(config, descriptor.type, &entries, &index, minimum, &group) !=
                0 ||
            entries == nullptr)
            continue;
        if (index >= QTXBIN_GROUP_COUNT || group.entrySize < minimum)
            Fail("group handed out against its check");
        TouchEntries(entries, group);
        unsigned char* first = QtxBinGetFirstSignal(config, &group);
        if (first != nullptr)
            TouchEntries(first, group);
        bin.Cfg_AddEntryError(static_cast<short>(-1 - salt), static_cast<unsigned char>(index), 0);
        bin.Cfg_AddEntryError(5, static_cast<unsigned char>(index),
                              static_cast<unsigned short>(group.count - 1));
    }
    const short codes[4] = {1, -2, 3, -4};
    bin.Cfg_AddEntriesErrorList(codes, 4, static_cast<unsigned char>(salt % 17), nullptr);
}

void CheckReply(CQTXBin& bin)
{
    // Our callback never stops the generation, and a reply image stays far below the 32-bit
    // length: the reply must always come out whole.
    Stream reply;
    if (!bin.GenerateReply(Stream::Write, &reply))
        Fail("reply generation failed");
    if (reply.bytes.size() < QTXBIN_FIRST_HEAD_SIZE || reply.bytes.size() != reply.total)
        Fail("reply shorter than announced");
    if (QtxBinCheckLabel(reply.bytes.data()) != 0)
        Fail("reply without label");
    if (QtxBinGetU32(reply.bytes.data() + 12) + uint64_t{QTXBIN_FIRST_HEAD_SIZE} !=
        reply.bytes.size())
        Fail("reply length field does not match the stream");
    if ((QtxBinGetU16(reply.bytes.data() + 6) & QTXBIN_TAG_REPLY) == 0)
        Fail("reply tag without the reply bit");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static kovefuzz::CMemoryFile file("bin_request");
    file.Set(data, size);

    const unsigned short tag = size >= 8 ? static_cast<unsigned short>(data[6] | (data[7] << 8))
                                         : QTXBIN_TAG_CONFIGURATION;
    const unsigned char salt = size != 0 ? data[size - 1] : 0;

    CQTXBin bin;
    if (bin.LoadFile(file.Path(), tag))
    {
        // What was loaded is the head (label, tag, length; a request's error bytes start at 0)
        // and exactly the payload it states, taken from the file.
        const unsigned char* loaded = bin.GetDataWithBinHead();
        if (bin.GetType() != QTX_FILE_TYPE_BINARY ||
            bin.GetFullLength() != uint64_t{bin.GetLength()} + QTXBIN_FIRST_HEAD_SIZE ||
            bin.GetFullLength() > size || std::memcmp(loaded, data, 8) != 0 ||
            QtxBinGetU32(loaded + 8) != 0 || std::memcmp(loaded + 12, data + 12, 4) != 0 ||
            std::memcmp(bin.GetData(), data + 16, bin.GetLength()) != 0)
            Fail("loaded request differs from the file");

        const bool accepted = bin.Cfg_1st_Check(salt);
        const QtxBinCfgView config = bin.GetConfiguration();
        if (accepted && config.data == nullptr)
            Fail("accepted a request that is no configuration");
        if (accepted)
            ReadLikeADriver(bin, config, salt);
        if (salt & 1)
        {
            void* own = bin.Cfg_ReplyCreateGroupByIdx(salt % 18, 0x77, salt % 5, salt, "Fuzz");
            if (own != nullptr)
                std::memset(own, 0x5A, static_cast<size_t>(salt % 5) * salt);
        }
        CheckReply(bin);

        // The request bytes written back are the same bytes.
        static kovefuzz::CMemoryFile copy("bin_copy");
        if (!bin.StoreFile(copy.Path(), false))
            Fail("loaded request could not be stored");
    }
    else if (bin.GetType() != QTX_FILE_TYPE_NONE || bin.GetData() != nullptr)
    {
        Fail("failed load left a request behind");
    }
    else
    {
        // The reply to nothing is a bare head.
        CheckReply(bin);
    }

    // The in-place readers on the raw input, in a buffer of exactly its size.
    std::vector<unsigned char> raw(data, data + size);
    const QtxBinCfgView view = QtxBinGetConfiguration(raw.data(), raw.size());
    if (view.data != nullptr)
    {
        QtxBinCfgPlausibleCheck(view);
        for (unsigned short type = 0; type < 8; ++type)
        {
            unsigned char* entries = nullptr;
            _QTXBIN_GROUP group{};
            if (QtxBinCfgSearchGroup(view, type, &entries, nullptr, &group))
                TouchEntries(entries, group);
        }
        QTXBinConfigReplyPW reply;
        reply.ReplyCreate(view);
    }
    return 0;
}
