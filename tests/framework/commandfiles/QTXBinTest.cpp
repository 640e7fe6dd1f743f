#include "QTXBin.h"

#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

using kovetest::CTempDir;
using kovetest::ReadFile;

namespace
{

using Bytes = std::vector<unsigned char>;

// A binary document written by hand: head with any tag and stated length, a payload of the
// bytes really present, and group descriptors where a configuration is wanted.
struct Doc
{
    struct Group
    {
        unsigned int index;
        uint32_t size;
        uint16_t type;
        uint16_t entrySize;
        uint16_t count;
    };

    // A configuration with these groups, its blocks filled with `fill`; the stated length is
    // the real one.
    static Doc Configuration(std::initializer_list<Group> groups, uint8_t count = 1)
    {
        Doc d;
        d.payload.assign(QTXBIN_CONFIGURATION_SIZE, 0);
        d.payload[0] = count;
        d.payload[2] = 0x34; // application word
        d.payload[3] = 0x12;
        for (unsigned int i = 0; i < QTXBIN_CFG_APPLICATION_SIZE; ++i)
            d.payload[QTXBIN_CFG_APPLICATION_OFFSET + i] = static_cast<unsigned char>(i + 1);
        d.payload[QTXBIN_CFG_CHECK_RESULT_OFFSET] = 0x55; // stale, cleared by the check
        uint64_t blocks = 0;
        for (const Group& g : groups)
        {
            _QTXBIN_GROUP descriptor{g.size, g.type, g.entrySize, g.count, 77, 0};
            QtxBinWriteGroup(d.payload.data() + QTXBIN_CFG_GROUPS_OFFSET + g.index * 12,
                             &descriptor);
            blocks += g.size;
        }
        if (blocks < 4096)
            d.payload.resize(d.payload.size() + blocks, 0xA5);
        d.length = static_cast<uint32_t>(d.payload.size());
        return d;
    }

    Bytes Bytes_() const
    {
        Bytes bytes(QTXBIN_FIRST_HEAD_SIZE);
        QtxBinSetInit_FIRST_HEAD(bytes.data(), tag, length);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return bytes;
    }

    uint16_t tag = QTXBIN_TAG_CONFIGURATION;
    uint32_t length = 0;
    Bytes payload;
};

void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes FileBytes(const std::string& path)
{
    const std::string text = ReadFile(path);
    return Bytes(text.begin(), text.end());
}

// Collects what a generator writes and checks the order of the pieces.
struct Sink
{
    Bytes bytes;
    unsigned int total = 0;
    int stopAt = -1; // number of the write that fails
    int writes = 0;

    static bool Write(void* context, const unsigned char* data, unsigned int offset,
                      unsigned int length, unsigned int total)
    {
        Sink* s = static_cast<Sink*>(context);
        if (s->writes++ == s->stopAt)
            return false;
        EXPECT_EQ(offset, s->bytes.size());
        s->total = total;
        s->bytes.insert(s->bytes.end(), data, data + length);
        return true;
    }
};

Bytes Reply(CQTXBin& bin)
{
    Sink sink;
    EXPECT_TRUE(bin.GenerateReply(Sink::Write, &sink));
    EXPECT_EQ(sink.total, sink.bytes.size());
    return sink.bytes;
}

Bytes Head(uint16_t tag, int16_t error, uint32_t length)
{
    Bytes head(QTXBIN_FIRST_HEAD_SIZE);
    QtxBinSetInit_FIRST_HEAD(head.data(), tag, length);
    QtxBinPutI16(head.data() + 8, error);
    return head;
}

class QTXBin : public testing::Test
{
protected:
    std::string Path(const std::string& name) const { return tDir.Path() + "/" + name; }

    // Loads the bytes through a file, as the request server hands them over.
    bool Load(CQTXBin& bin, const Bytes& bytes, unsigned short tag = QTXBIN_TAG_CONFIGURATION)
    {
        WriteBytes(Path("request.bin"), bytes);
        return bin.LoadFile(Path("request.bin").c_str(), tag);
    }

    CTempDir tDir;
};

} // namespace

TEST_F(QTXBin, LoadsRequestsAndStoresThemBack)
{
    CQTXBin bin;
    EXPECT_EQ(bin.GetType(), 0);
    EXPECT_EQ(bin.GetData(), nullptr);
    EXPECT_EQ(bin.GetFullLength(), 0u);
    EXPECT_FALSE(bin.StoreFile(Path("nothing.bin").c_str(), false));

    // A reply file (bit 15) loads for its request's tag; bytes behind the payload are not
    // part of the document.
    Doc reply;
    reply.tag = 0x8014;
    reply.payload = {1, 2, 3, 4, 5};
    reply.length = 4;
    ASSERT_TRUE(Load(bin, reply.Bytes_(), 0x14));
    EXPECT_EQ(bin.GetType(), 2);
    EXPECT_EQ(bin.GetTag(), 0x8014);
    EXPECT_EQ(bin.GetLength(), 4u);
    EXPECT_EQ(bin.GetFullLength(), 20u);
    EXPECT_EQ(Bytes(bin.GetData(), bin.GetData() + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(bin.GetDataWithBinHead() + 16, bin.GetData());

    ASSERT_TRUE(bin.StoreFile(Path("copy.bin").c_str(), false));
    Bytes expected = reply.Bytes_();
    expected.pop_back();
    EXPECT_EQ(FileBytes(Path("copy.bin")), expected);

    // A bare head with no payload.
    Doc empty;
    empty.tag = 3;
    ASSERT_TRUE(Load(bin, empty.Bytes_(), 3));
    EXPECT_NE(bin.GetData(), nullptr);
    EXPECT_EQ(bin.GetLength(), 0u);

    bin.Delete();
    EXPECT_EQ(bin.GetType(), 0);
    EXPECT_EQ(bin.GetTag(), 0);
}

TEST_F(QTXBin, NewStartsZeroFilledAndRefusesNegativeLengths)
{
    CQTXBin bin;
    // Dirty a block of the same size first, so a reused heap block would show.
    ASSERT_TRUE(bin.New(0x14, 4096));
    std::memset(bin.GetData(), 0xEE, 4096);
    ASSERT_TRUE(bin.New(0x15, 4096));
    EXPECT_EQ(Bytes(bin.GetDataWithBinHead(), bin.GetDataWithBinHead() + 16), Head(0x15, 0, 4096));
    EXPECT_EQ(Bytes(bin.GetData(), bin.GetData() + 4096), Bytes(4096, 0));

    EXPECT_FALSE(bin.New(0x15, -1));
    EXPECT_EQ(bin.GetType(), 0);
}

TEST_F(QTXBin, RefusesFilesWhoseHeadDoesNotFitTheData)
{
    const Doc good = Doc::Configuration({{0, 36, 2, 4, 1}});
    auto withHead = [&](uint16_t tag, uint32_t length, size_t cut)
    {
        Doc d = good;
        d.tag = tag;
        d.length = length;
        Bytes bytes = d.Bytes_();
        bytes.resize(bytes.size() - cut);
        return bytes;
    };
    const Bytes goodBytes = good.Bytes_();
    Bytes badLabel = goodBytes;
    badLabel[5] = ' ';

    const struct
    {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"empty file", {}},
        {"ten bytes of a head", Bytes(goodBytes.begin(), goodBytes.begin() + 10)},
        {"head one byte short", Bytes(goodBytes.begin(), goodBytes.begin() + 15)},
        {"label without its zero byte", badLabel},
        {"another tag", withHead(0x102, good.length, 0)},
        {"payload one byte short", withHead(0x101, good.length, 1)},
        {"length past the data", withHead(0x101, good.length + 1, 0)},
        {"largest length", withHead(0x101, 0xFFFFFFFFu, 0)},
        {"largest length that fits a block", withHead(0x101, 0xFFFFFFEFu, 0)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CQTXBin bin;
        ASSERT_TRUE(bin.New(0x101, 10));
        EXPECT_FALSE(Load(bin, c.bytes));
        EXPECT_EQ(bin.GetType(), 0);
        EXPECT_EQ(bin.GetData(), nullptr);
        EXPECT_FALSE(bin.Cfg_1st_Check(255));
        EXPECT_EQ(Reply(bin), Head(0x8000, -91, 0));
    }
    CQTXBin bin;
    EXPECT_FALSE(bin.LoadFile(Path("missing.bin").c_str(), 0x101));
    EXPECT_FALSE(bin.LoadFile(tDir.Path().c_str(), 0x101)); // a directory
    EXPECT_FALSE(bin.LoadFile(nullptr, 0x101));
}

TEST_F(QTXBin, FirstCheckOfHandMadeConfigurations)
{
    struct Case
    {
        const char* what;
        Doc doc;
        unsigned char maximum;
        bool accepted;
        short replyError; // bare reply with this number, or 0 for the full reply
        int16_t checkResult;
        int badIndex; // descriptor marked 129, or -1
    };
    Doc ping;
    ping.tag = 3;
    ping.payload.assign(400, 0);
    ping.length = 400;
    Doc shortConfig = Doc::Configuration({});
    shortConfig.payload.resize(327);
    shortConfig.length = 327;

    const Case cases[] = {
        {"no groups", Doc::Configuration({}), 1, true, 0, 0, -1},
        {"two groups", Doc::Configuration({{0, 44, 2, 4, 3}, {4, 36, 5, 1, 4}}), 1, true, 0, 0, -1},
        {"not a configuration", ping, 1, false, -64, 0, -1},
        {"shorter than a configuration", shortConfig, 1, false, -259, 0, -1},
        {"count above the maximum", Doc::Configuration({}, 3), 2, false, 0, -1105, -1},
        {"huge entry count", Doc::Configuration({{1, 64, 2, 0xFFFF, 0xFFFF}}), 1, false, 0, -1000,
         1},
        {"entries run into the next group",
         Doc::Configuration({{0, 36, 2, 4, 2}, {1, 36, 3, 4, 1}}), 1, false, 0, -1000, 0},
        {"size below a group head", Doc::Configuration({{0, 36, 2, 4, 1}, {2, 20, 3, 1, 1}}), 1,
         false, 0, -1000, 2},
        {"groups past the payload", Doc::Configuration({{0, 0x10000, 2, 4, 1}}), 1, false, 0, -1101,
         -1},
        {"sizes that wrap in 32 bits",
         Doc::Configuration({{0, 0xFFFFFFE0u, 2, 4, 1}, {1, 0x40, 2, 4, 1}}), 1, false, 0, -1101,
         -1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        CQTXBin bin;
        ASSERT_TRUE(Load(bin, c.doc.Bytes_(), c.doc.tag));
        EXPECT_EQ(bin.Cfg_1st_Check(c.maximum), c.accepted);
        const Bytes reply = Reply(bin);
        if (c.replyError != 0)
        {
            EXPECT_EQ(reply, Head(static_cast<uint16_t>(0x8000 | c.doc.tag), c.replyError, 0));
            continue;
        }
        ASSERT_EQ(reply.size(), 16u + 328u);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 16), Head(0x8101, 0, 328));
        const unsigned char* config = reply.data() + 16;
        EXPECT_EQ(QtxBinGetI16(config + QTXBIN_CFG_CHECK_RESULT_OFFSET), c.checkResult);
        EXPECT_EQ(config[0], c.checkResult == -1105 ? c.maximum : 0);
        EXPECT_EQ(QtxBinGetU16(config + 2), 0x1234);
        EXPECT_EQ(std::memcmp(config + 280, c.doc.payload.data() + 280, 48), 0);
        for (unsigned int i = 0; i < 16; ++i)
        {
            _QTXBIN_GROUP request, answer;
            QtxBinReadGroup(c.doc.payload.data() + 8 + i * 12, &request);
            QtxBinReadGroup(config + 8 + i * 12, &answer);
            // The request's descriptors come back without sizes; the stale status bytes of the
            // request were cleared, only the check's marks remain.
            EXPECT_EQ(answer.size, 0u);
            EXPECT_EQ(answer.type, request.type);
            EXPECT_EQ(answer.count, request.count);
            EXPECT_EQ(answer.status, static_cast<int>(i) == c.badIndex ? 129 : 0) << i;
        }
    }

    CQTXBin nothing;
    EXPECT_FALSE(nothing.Cfg_1st_Check(1));
    EXPECT_EQ(Reply(nothing), Head(0x8000, -91, 0));
}

TEST_F(QTXBin, FullReplyCarriesMarksGroupsAndEntryErrors)
{
    // Analog inputs (type 2, 3 entries of 4 bytes) in group 0, digital outputs (type 5, 2
    // entries) in group 3, an unused type in group 7.
    CQTXBin bin;
    ASSERT_TRUE(Load(
        bin, Doc::Configuration({{0, 44, 2, 4, 3}, {3, 36, 5, 2, 2}, {7, 32, 9, 0, 0}}).Bytes_()));
    ASSERT_TRUE(bin.Cfg_1st_Check(1));

    // The driver takes what it knows and refuses entries.
    const QtxBinCfgView config = bin.GetConfiguration();
    unsigned char* entries = nullptr;
    ASSERT_EQ(QtxBinCfgGetAndCheckGroup(config, 2, &entries, nullptr, 4, nullptr), 0);
    EXPECT_EQ(entries, bin.GetData() + 328 + 32);
    EXPECT_EQ(QtxBinCfgGetAndCheckGroup(config, 5, &entries, nullptr, 4, nullptr), -1000);
    bin.Cfg_AddEntryError(7, 0, 1);
    bin.Cfg_AddEntryError(-3, 0, 1); // a negative code outranks a positive one
    bin.Cfg_AddEntryError(-4, 0, 1); // the first negative stays
    bin.Cfg_AddEntryError(-9, 0, 3); // beyond the list: dropped
    bin.Cfg_AddEntryError(-9, 7, 0); // the request group has no entries: no list
    const short codes[] = {11, 12, 13};
    bin.Cfg_AddEntriesErrorList(codes, 3, 3, "MyList"); // more codes than entries
    unsigned char* own =
        static_cast<unsigned char*>(bin.Cfg_ReplyCreateGroupByIdx(9, 0x30, 1, 3, "Own"));
    ASSERT_NE(own, nullptr);
    own[0] = 0x42;

    const Bytes reply = Reply(bin);
    // head, configuration, list of group 0 (32 + 3 * 2 -> 40), list of group 3 (32 + 4),
    // own group 9 (32 + 4).
    const uint32_t payload = 328 + 40 + 36 + 36;
    ASSERT_EQ(reply.size(), 16u + payload);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 16), Head(0x8101, 0, payload));
    const unsigned char* c = reply.data() + 16;
    EXPECT_EQ(QtxBinGetI16(c + 278), 0);

    const struct
    {
        unsigned int index;
        _QTXBIN_GROUP descriptor;
    } descriptors[] = {
        {0, {40, 0x8002, 2, 3, 1, 0}}, {3, {36, 0x8005, 2, 2, 128, 0}}, {7, {0, 9, 0, 0, 0, 0}},
        {9, {36, 0x30, 1, 3, 0, 0}},   {1, {0, 0, 0, 0, 0, 0}},
    };
    for (const auto& d : descriptors)
    {
        SCOPED_TRACE(d.index);
        _QTXBIN_GROUP g;
        QtxBinReadGroup(c + 8 + d.index * 12, &g);
        EXPECT_EQ(g.size, d.descriptor.size);
        EXPECT_EQ(g.type, d.descriptor.type);
        EXPECT_EQ(g.entrySize, d.descriptor.entrySize);
        EXPECT_EQ(g.count, d.descriptor.count);
        EXPECT_EQ(g.status, d.descriptor.status);
    }

    const unsigned char* list0 = c + 328;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(list0), 4), "GR00");
    EXPECT_STREQ(reinterpret_cast<const char*>(list0 + 4), "ANALOG_I_ERR               ");
    EXPECT_EQ(QtxBinGetI16(list0 + 32), 0);
    EXPECT_EQ(QtxBinGetI16(list0 + 34), -3);
    EXPECT_EQ(QtxBinGetI16(list0 + 36), 0);
    EXPECT_EQ(QtxBinGetI16(list0 + 38), 0); // padding, zero-filled
    const unsigned char* list3 = list0 + 40;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(list3), 10), "GR03MyList");
    EXPECT_EQ(QtxBinGetI16(list3 + 32), 11);
    EXPECT_EQ(QtxBinGetI16(list3 + 34), 12);
    const unsigned char* group9 = list3 + 36;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(group9), 7), "GR09Own");
    EXPECT_EQ(Bytes(group9 + 32, group9 + 36), (Bytes{0x42, 0, 0, 0}));

    // The same bytes through a file.
    ASSERT_TRUE(bin.StoreFile(Path("reply.bin").c_str(), true));
    EXPECT_EQ(FileBytes(Path("reply.bin")), reply);
}

TEST_F(QTXBin, BareRepliesCarryTheErrorNumberAndTheErrorLine)
{
    CQTXBin bin;
    ASSERT_TRUE(bin.New(0x14, 8));

    // Below severity Error nothing is recorded.
    bin.SetError(CQTXError("Careful", "just a warning", "x.cpp", 1, Warning));
    EXPECT_EQ(Reply(bin), Head(0x8014, 0, 0));

    bin.SetStdError(-259);
    EXPECT_EQ(Reply(bin),
              (Bytes{'<', '?', 'b', 'i', 'n', 0, 0x14, 0x80, 0xFD, 0xFE, 0, 0, 0, 0, 0, 0}));

    // An error that carries a standard number sends no text.
    CQTXError numbered("NoXml", "not here", nullptr, 0, Error);
    numbered.SetErrorNumber(-256);
    bin.SetError(numbered);
    EXPECT_EQ(Reply(bin), Head(0x8014, -256, 0));

    // Texts are escaped, so the line stays one element whatever the error says.
    bin.SetError(CQTXError("Bad\"Name", "a<b & c>d", "f.cpp", 7, Error, "ParameterError"));
    const std::string line = "<Error Type=\"ParameterError\" Name=\"Bad&quot;Name\" "
                             "Text=\"a&lt;b &amp; c&gt;d\" Location=\"(file f.cpp, line 7)\" />";
    Bytes expected = Head(0x8014, -260, static_cast<uint32_t>(line.size() + 1));
    expected.insert(expected.end(), line.begin(), line.end());
    expected.push_back(0);
    EXPECT_EQ(Reply(bin), expected);
    EXPECT_EQ(bin.GetReplyErrorTextLength(), line.size() + 1);

    // A long line is cut to 1023 characters and its zero byte.
    bin.SetError(CQTXError("Long", std::string(3000, 'x'), nullptr, 0, FatalError));
    const Bytes cut = Reply(bin);
    ASSERT_EQ(cut.size(), 16u + 1024u);
    EXPECT_EQ(QtxBinGetU32(cut.data() + 12), 1024u);
    EXPECT_EQ(cut.back(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(cut.data() + 16)).size(), 1023u);

    // A new request starts without any of it; without a request the tag is bare.
    ASSERT_TRUE(bin.New(0x15, 0));
    EXPECT_EQ(Reply(bin), Head(0x8015, 0, 0));
    bin.Delete();
    bin.SetStdError(-256);
    EXPECT_EQ(Reply(bin), Head(0x8000, -256, 0));
}

TEST_F(QTXBin, ReplyGroupFailuresAndStoppedWritesAreReported)
{
    CQTXBin bin;
    ASSERT_TRUE(Load(bin, Doc::Configuration({{0, 36, 2, 4, 1}}).Bytes_()));
    ASSERT_TRUE(bin.Cfg_1st_Check(1));

    EXPECT_EQ(bin.Cfg_ReplyCreateGroupByIdx(16, 1, 1, 1, "x"), nullptr);
    EXPECT_EQ(bin.Cfg_ReplyCreateGroupByIdx(-1, 1, 1, 1, "x"), nullptr);
    EXPECT_EQ(bin.GetReplyError(), -70);
    EXPECT_EQ(Reply(bin), Head(0x8101, -70, 0));

    // A write callback that stops ends the generation with false, in either form.
    for (int stopAt : {0, 1})
    {
        Sink sink;
        sink.stopAt = stopAt;
        bin.SetError(CQTXError("Stop", "here", nullptr, 0));
        EXPECT_FALSE(bin.GenerateReply(Sink::Write, &sink)) << stopAt;
    }
    EXPECT_FALSE(bin.GenerateReply(nullptr, nullptr));

    // A reply group built for a request that is no configuration still goes out as a reply.
    CQTXBin other;
    ASSERT_TRUE(other.New(0x14, 0));
    ASSERT_NE(other.Cfg_ReplyCreateGroupByIdx(0, 0x30, 2, 1, "x"), nullptr);
    const Bytes reply = Reply(other);
    ASSERT_EQ(reply.size(), 16u + 328u + 36u);
    EXPECT_EQ(QtxBinGetU16(reply.data() + 6), 0x8101);
    EXPECT_FALSE(bin.StoreFile(Path("no/such/dir/reply.bin").c_str(), true));
}

TEST_F(QTXBin, WriteBufferToNewFile)
{
    const unsigned char data[] = {1, 2, 3, 4, 5};
    const std::string file = Path("out.bin");
    WriteBytes(file, Bytes(100, 9)); // replaced, not overwritten in place

    EXPECT_EQ(WriteBufferToNewFile(file.c_str(), data, 5, 0), 5);
    EXPECT_EQ(FileBytes(file), Bytes(data, data + 5));
    EXPECT_EQ(WriteBufferToNewFile(file.c_str(), data, 3, 4), 3);
    EXPECT_EQ(FileBytes(file), (Bytes{0, 0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(WriteBufferToNewFile(file.c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(FileBytes(file), Bytes());

    EXPECT_EQ(WriteBufferToNewFile(file.c_str(), data, -1, 0), -70);
    EXPECT_EQ(WriteBufferToNewFile(nullptr, data, 5, 0), -70);
    EXPECT_EQ(WriteBufferToNewFile(file.c_str(), nullptr, 5, 0), -70);
    EXPECT_EQ(WriteBufferToNewFile(Path("no/such/dir/x").c_str(), data, 5, 0), -86);
    EXPECT_EQ(WriteBufferToNewFile(file.c_str(), data, 5, -8), -80);
}
