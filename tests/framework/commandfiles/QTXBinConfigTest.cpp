#include "QTXBinConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// Collects the pieces a generator writes and checks that they arrive in order.
struct Collector
{
    struct Piece
    {
        unsigned int offset;
        unsigned int length;
        unsigned int total;
    };
    std::vector<unsigned char> bytes;
    std::vector<Piece> pieces;
    int failAt = -1; // index of the piece whose write fails

    static bool Write(void* context, const unsigned char* data, unsigned int offset,
                      unsigned int length, unsigned int total)
    {
        Collector* c = static_cast<Collector*>(context);
        if (static_cast<int>(c->pieces.size()) == c->failAt)
        {
            return false;
        }
        c->pieces.push_back({offset, length, total});
        EXPECT_EQ(offset, c->bytes.size());
        c->bytes.insert(c->bytes.end(), data, data + length);
        return true;
    }
};

std::vector<unsigned char> Generated(QTXBinConfigPW& image)
{
    Collector c;
    EXPECT_TRUE(image.Generate(Collector::Write, &c));
    return c.bytes;
}

// A configuration written by hand: descriptors as given, `length` payload bytes in a buffer of
// exactly that size, so that the sanitizers see every read past it.
struct HandMade
{
    struct Descriptor
    {
        unsigned int index;
        uint32_t size;
        uint16_t entrySize;
        uint16_t count;
    };

    HandMade(std::initializer_list<Descriptor> descriptors, uint32_t length) : bytes(length, 0xA5)
    {
        std::memset(bytes.data(), 0, std::min<size_t>(length, QTXBIN_CONFIGURATION_SIZE));
        for (const Descriptor& d : descriptors)
        {
            _QTXBIN_GROUP g{d.size, 7, d.entrySize, d.count, 0, 0};
            QtxBinWriteGroup(bytes.data() + QTXBIN_CFG_GROUPS_OFFSET + d.index * 12, &g);
        }
    }
    QtxBinCfgView View() { return {bytes.data(), static_cast<uint32_t>(bytes.size())}; }
    uint8_t Status(unsigned int index) const { return bytes[8 + index * 12 + 10]; }

    std::vector<unsigned char> bytes;
};

constexpr uint32_t BIG = 0xFFFFFFF0u;

} // namespace

TEST(BinLayout, RecordsAreLittleEndianAtTheirOffsets)
{
    _QTXBIN_CONFIGURATION config{};
    config.count = 3;
    config.reserved1 = 4;
    config.type = 0x0201;
    config.flags = 0x11223344;
    config.group[0] = {0x0A0B0C0D, 0x8002, 0x0102, 0x0304, 129, 5};
    config.group[15] = {44, 0x0113, 256, 1, 1, 0};
    config.reserved200[0] = 0x77;
    config.version = 0x01040000;
    config.checkResult = -1101;
    config.application[47] = 0x99;

    unsigned char bytes[QTXBIN_CONFIGURATION_SIZE];
    QtxBinWriteConfiguration(bytes, &config);
    const std::vector<std::pair<unsigned int, unsigned char>> expected = {
        {0, 3},      {1, 4},      {2, 0x01},   {3, 0x02},   {4, 0x44},   {7, 0x11},   {8, 0x0D},
        {11, 0x0A},  {12, 0x02},  {13, 0x80},  {14, 0x02},  {16, 0x04},  {18, 129},   {19, 5},
        {188, 44},   {192, 0x13}, {193, 0x01}, {195, 0x01}, {198, 1},    {200, 0x77}, {272, 0x00},
        {274, 0x04}, {275, 0x01}, {278, 0xB3}, {279, 0xFB}, {327, 0x99},
    };
    for (const auto& e : expected)
    {
        EXPECT_EQ(bytes[e.first], e.second) << "offset " << e.first;
    }

    _QTXBIN_CONFIGURATION back{};
    QtxBinReadConfiguration(bytes, &back);
    unsigned char again[QTXBIN_CONFIGURATION_SIZE];
    QtxBinWriteConfiguration(again, &back);
    EXPECT_EQ(std::memcmp(bytes, again, sizeof(bytes)), 0);
    EXPECT_EQ(back.checkResult, -1101);
    EXPECT_EQ(back.group[0].size, 0x0A0B0C0Du);

    unsigned char head[QTXBIN_FIRST_HEAD_SIZE];
    QtxBinSetInit_FIRST_HEAD(head, 0x8101, 0x01020304);
    const unsigned char expectedHead[] = {'<', '?', 'b', 'i', 'n', 0, 0x01, 0x81,
                                          0,   0,   0,   0,   4,   3, 2,    1};
    EXPECT_EQ(std::memcmp(head, expectedHead, sizeof(head)), 0);
    EXPECT_EQ(QtxBinCheckLabel(head), 0);
    head[5] = ' ';
    EXPECT_NE(QtxBinCheckLabel(head), 0);
}

TEST(BinConfigView, DocumentIsAConfigurationOnlyWithTagAndEnoughBytes)
{
    struct Case
    {
        uint16_t tag;
        uint32_t headLength;
        size_t present; // payload bytes behind the head
        bool valid;
    };
    const Case cases[] = {
        {0x0101, 328, 328, true},  {0x8101, 400, 400, true},  {0x8100, 328, 328, true},
        {0x0100, 328, 328, false}, {0x0102, 328, 328, false}, {0x0101, 327, 327, false},
        {0x0101, 400, 399, false}, {0x0101, BIG, 400, false}, {0x0101, 328, 500, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("tag " + std::to_string(c.tag) + " length " + std::to_string(c.headLength));
        std::vector<unsigned char> document(QTXBIN_FIRST_HEAD_SIZE + c.present, 0);
        QtxBinSetInit_FIRST_HEAD(document.data(), c.tag, c.headLength);
        const QtxBinCfgView view = QtxBinGetConfiguration(document.data(), document.size());
        EXPECT_EQ(view.data != nullptr, c.valid);
        if (c.valid)
        {
            EXPECT_EQ(view.data, document.data() + 16);
            EXPECT_EQ(view.length, c.headLength);
        }
    }
    unsigned char shortDocument[10] = {'<', '?', 'b', 'i', 'n', 0};
    EXPECT_EQ(QtxBinGetConfiguration(shortDocument, sizeof(shortDocument)).data, nullptr);
    EXPECT_EQ(QtxBinGetConfiguration(nullptr, 1000).data, nullptr);
}

TEST(BinConfigPlausible, HandMadeConfigurationsGetTheirCodesWithoutReadingPastTheData)
{
    struct Case
    {
        const char* what;
        HandMade config;
        int result;
        int badIndex; // descriptor marked 129 by the check, or -1
        int taken;    // result of taking the first group of the type
    };
    Case cases[] = {
        {"no groups", HandMade({}, 328), 0, -1, 0},
        {"empty group of 32 bytes", HandMade({{0, 32, 12, 0}}, 360), 0, -1, 0},
        {"groups fill the payload exactly", HandMade({{0, 44, 12, 1}, {3, 32, 0, 0}}, 404), 0, -1,
         0},
        {"shorter than a configuration", HandMade({}, 327), -259, -1, 0},
        {"size below the group head", HandMade({{0, 20, 1, 0}}, 400), -1000, 0, 0},
        {"entries larger than the block", HandMade({{2, 44, 12, 2}}, 400), -1000, 2, -1000},
        {"entries in a bare group head", HandMade({{0, 32, 12, 5}}, 360), -1000, 0, -1000},
        {"huge count", HandMade({{1, 64, 0xFFFF, 0xFFFF}}, 392), -1000, 1, -1000},
        {"group past the payload", HandMade({{0, 64, 4, 8}}, 360), -1101, -1, -1000},
        {"later group past the payload", HandMade({{0, 32, 0, 0}, {9, 36, 4, 1}}, 392), -1101, -1,
         0},
        {"sizes wrap in 32 bits", HandMade({{0, BIG, 4, 1}, {1, 0x20, 0, 0}}, 400), -1101, -1,
         -1000},
        {"bad group after good ones", HandMade({{0, 36, 4, 1}, {5, 8, 0, 0}}, 400), -1000, 5, 0},
    };
    for (Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        QtxBinCfgView view = c.config.View();
        EXPECT_EQ(QtxBinCfgPlausibleCheck(view), c.result);
        for (unsigned int i = 0; view.length >= 328 && i < 16; ++i)
        {
            EXPECT_EQ(c.config.Status(i), static_cast<int>(i) == c.badIndex ? 129 : 0);
        }

        // The readers never hand out entries outside the data, checked or not.
        unsigned char* entries = nullptr;
        _QTXBIN_GROUP group{};
        EXPECT_EQ(QtxBinCfgGetAndCheckGroup(view, 7, &entries, nullptr, 0, &group), c.taken);
        if (c.taken != 0)
        {
            EXPECT_EQ(entries, nullptr);
            EXPECT_EQ(c.config.Status(c.badIndex < 0 ? 0 : c.badIndex), 129);
        }
        if (entries != nullptr)
        {
            EXPECT_LE(entries + static_cast<size_t>(group.count) * group.entrySize,
                      view.data + view.length);
            EXPECT_EQ(QtxBinGetFirstSignal(view, &group), entries);
        }
        if (QtxBinCfgSearchGroup(view, 7, &entries, nullptr, &group))
        {
            EXPECT_LE(entries + static_cast<size_t>(group.count) * group.entrySize,
                      view.data + view.length);
        }
    }
}

TEST(BinConfigSearch, FindsChecksAndMarksGroupsInPlace)
{
    QTXBinConfigPW image;
    ASSERT_EQ(image.CreateGroup(0, 2, 12, 2, "AI"), 0);
    ASSERT_EQ(image.CreateGroup(1, 5, 8, 0, "DO"), 0);
    ASSERT_EQ(image.CreateGroup(2, 2, 12, 1, "AI again"), 0);
    ASSERT_EQ(image.CreateGroup(3, 4, 4, 3, "DI"), 0);
    image.GetGroupMem(0)[12] = 0x42; // second entry of group 0
    std::vector<unsigned char> document = Generated(image);
    QtxBinCfgView view = QtxBinGetConfiguration(document.data(), document.size());
    ASSERT_NE(view.data, nullptr);
    ASSERT_EQ(QtxBinCfgPlausibleCheck(view), 0);

    // Two groups of one type: the lower index wins.
    unsigned char* entries = nullptr;
    unsigned int index = 99;
    _QTXBIN_GROUP group{};
    ASSERT_TRUE(QtxBinCfgSearchGroup(view, 2, &entries, &index, &group));
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(entries, view.data + 360);

    // Not found, also when only the low bits of the type match.
    for (unsigned short type : {9, 0x8002})
    {
        EXPECT_FALSE(QtxBinCfgSearchGroup(view, type, &entries, &index, &group));
        EXPECT_EQ(entries, nullptr);
        EXPECT_EQ(index, 0xFFFFFFFFu);
        EXPECT_EQ(QtxBinCfgGetAndCheckGroup(view, type, &entries, &index, 0, &group), 0);
    }

    // A group without entries is found and taken, but not handed out.
    ASSERT_TRUE(QtxBinCfgSearchGroup(view, 5, nullptr, &index, nullptr));
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(QtxBinCfgGetAndCheckGroup(view, 5, &entries, &index, 8, &group), 0);
    EXPECT_EQ(entries, nullptr);
    EXPECT_EQ(group.count, 0);
    EXPECT_EQ(view.data[8 + 12 + 10], 1);

    // Entries shorter than needed: refused and marked 128.
    EXPECT_EQ(QtxBinCfgGetAndCheckGroup(view, 4, &entries, &index, 8, &group), -1000);
    EXPECT_EQ(entries, nullptr);
    EXPECT_EQ(index, 3u);
    EXPECT_EQ(view.data[8 + 36 + 10], 128);

    // Taken: marked 1 in the document, handed out, and walkable.
    ASSERT_EQ(QtxBinCfgGetAndCheckGroup(view, 2, &entries, &index, 12, &group), 0);
    EXPECT_EQ(view.data[8 + 10], 1);
    EXPECT_EQ(group.status, 1);
    EXPECT_EQ(group.count, 2);
    EXPECT_EQ(QtxBinGetFirstSignal(view, &group), entries);
    unsigned char* second = QtxBinGetNextSignal(&group, entries);
    EXPECT_EQ(second[0], 0x42);
    EXPECT_EQ(QtxBinGetNextSignal(nullptr, entries), nullptr);

    // The first check of a request clears what the driver marked.
    QtxBinCfgSetCheckResult(view, -1105);
    QtxBinCfgClearResults(view);
    EXPECT_EQ(QtxBinCfgGetCheckResult(view), 0);
    for (unsigned int i = 0; i < 16; ++i)
    {
        EXPECT_EQ(view.data[8 + i * 12 + 10], 0);
    }
}

TEST(BinConfigBuilder, GenerateStreamsHeadThenBlocksInOrder)
{
    QTXBinConfigPW image;
    _QTXBIN_CONFIGURATION* config = image.New();
    ASSERT_NE(config, nullptr);
    config->type = 1;
    ASSERT_EQ(image.CreateGroup(3, 0x112, 3, 3, "a name longer than twenty-seven chars"), 0);
    ASSERT_EQ(image.CreateGroup(0, 2, 12, 1, nullptr), 0);
    EXPECT_EQ(image.GetGroupMemSize(3), 12u);
    std::memset(image.GetGroupMem(3), 0x33, 9); // three entries of three bytes

    Collector c;
    ASSERT_TRUE(image.Generate(Collector::Write, &c));
    const unsigned int total = 344 + 44 + 44;
    ASSERT_EQ(c.pieces.size(), 3u);
    EXPECT_EQ(c.pieces[0].offset, 0u);
    EXPECT_EQ(c.pieces[0].length, 344u);
    EXPECT_EQ(c.pieces[1].offset, 344u);
    EXPECT_EQ(c.pieces[2].offset, 388u);
    for (const Collector::Piece& p : c.pieces)
    {
        EXPECT_EQ(p.total, total);
    }
    ASSERT_EQ(c.bytes.size(), total);

    const unsigned char* d = c.bytes.data();
    EXPECT_EQ(QtxBinCheckLabel(d), 0);
    EXPECT_EQ(QtxBinGetU16(d + 6), 0x101);
    EXPECT_EQ(QtxBinGetU32(d + 12), total - 16);
    EXPECT_EQ(QtxBinGetU16(d + 16 + 2), 1);
    // Group 0: label, blank name, zero entries.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 344), 4), "GR00");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 348), 27), std::string(27, ' '));
    EXPECT_EQ(d[375], 0);
    EXPECT_EQ(std::vector<unsigned char>(d + 376, d + 388), std::vector<unsigned char>(12, 0));
    // Group 3: name cut to 27 characters, entries, zeroed padding.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 388), 4), "GR03");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 392)), "a name longer than twenty-s");
    EXPECT_EQ(d[420 + 8], 0x33);
    EXPECT_EQ(std::vector<unsigned char>(d + 429, d + 432), std::vector<unsigned char>(3, 0));

    // What is generated reads back.
    QtxBinCfgView view = QtxBinGetConfiguration(c.bytes.data(), c.bytes.size());
    ASSERT_NE(view.data, nullptr);
    EXPECT_EQ(QtxBinCfgPlausibleCheck(view), 0);
    unsigned char* entries = nullptr;
    ASSERT_TRUE(QtxBinCfgSearchGroup(view, 0x112, &entries, nullptr));
    EXPECT_EQ(entries, view.data + 328 + 44 + 32);

    // A callback that stops ends the generation.
    for (int failAt : {0, 1, 2})
    {
        Collector stop;
        stop.failAt = failAt;
        EXPECT_FALSE(image.Generate(Collector::Write, &stop));
        EXPECT_EQ(stop.pieces.size(), static_cast<size_t>(failAt));
    }
}

TEST(BinConfigBuilder, RefusesGroupsThatCannotHoldTheirEntries)
{
    QTXBinConfigPW image;
    EXPECT_EQ(image.GetConfig(), nullptr);
    EXPECT_EQ(image.GetGroupMem(0), nullptr);
    Collector c;
    EXPECT_FALSE(image.Generate(Collector::Write, &c));

    struct Case
    {
        unsigned int index;
        _QTXBIN_GROUP descriptor;
        short result;
    };
    const Case cases[] = {
        {16, {32, 2, 0, 0, 0, 0}, -70}, {0, {20, 2, 0, 0, 0, 0}, -70},
        {0, {40, 2, 12, 1, 0, 0}, -70}, {0, {32, 2, 0xFFFF, 0xFFFF, 0, 0}, -70},
        {1, {0, 2, 12, 5, 0, 0}, 0},    {2, {BIG, 2, 1, 1, 0, 0}, -258},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE("index " + std::to_string(k.index) + " size " +
                     std::to_string(k.descriptor.size));
        EXPECT_EQ(image.CreateGroup(k.index, &k.descriptor, "x"), k.result);
        EXPECT_EQ(image.GetGroupMem(k.index), nullptr);
    }
    EXPECT_EQ(image.CreateGroup(0, nullptr, "x"), -70);
    // A failed allocation leaves the group empty, so the image still generates.
    EXPECT_EQ(image.GetGroup(2)->size, 0u);
    EXPECT_EQ(Generated(image).size(), 344u);
}

TEST(BinConfigBuilder, MissingOrEnlargedBlocksAreMadeUpWithZeros)
{
    QTXBinConfigPW image;
    ASSERT_EQ(image.CreateGroup(0, 2, 4, 3, "g"), 0); // 44 bytes
    std::memset(image.GetGroupMem(0), 0x11, 12);
    image.GetGroup(0)->size = 64; // enlarged after the block was made
    image.GetGroup(5)->size = 40; // stated, but no block

    std::vector<unsigned char> bytes = Generated(image);
    ASSERT_EQ(bytes.size(), 344u + 64 + 40);
    EXPECT_EQ(bytes[344 + 32 + 11], 0x11);
    for (size_t i = 344 + 44; i < bytes.size(); ++i)
    {
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }

    // Beyond 408 missing bytes the image is refused.
    image.GetGroup(5)->size = 409;
    Collector c;
    EXPECT_FALSE(image.Generate(Collector::Write, &c));
}

TEST(BinConfigReply, CopiesTheRequestAndClearsWhatBelongsToIt)
{
    QTXBinConfigPW request;
    _QTXBIN_CONFIGURATION* config = request.New();
    config->count = 9;
    config->reserved1 = 1;
    config->type = 0x1234;
    config->flags = 0xFFFFFFFF;
    config->version = 7;
    config->checkResult = -1000;
    for (unsigned int i = 0; i < 48; ++i)
    {
        config->application[i] = static_cast<uint8_t>(i + 1);
    }
    ASSERT_EQ(request.CreateGroup(1, 2, 12, 3, "AI"), 0);
    ASSERT_EQ(request.CreateGroup(4, 0x1005, 8, 0, "DO"), 0);
    request.GetGroup(1)->status = 1;
    request.GetGroup(1)->reserved = 9;
    std::vector<unsigned char> document = Generated(request);

    QTXBinConfigReplyPW reply;
    _QTXBIN_CONFIGURATION* r =
        reply.ReplyCreate(QtxBinGetConfiguration(document.data(), document.size()));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(reply.GetRequestGroups(), (1u << 1) | (1u << 4));
    EXPECT_EQ(reply.GetFirstHead()->tag, 0x8101);
    EXPECT_EQ(r->type, 0x1234);
    EXPECT_EQ(r->application[47], 48);
    EXPECT_EQ(r->count, 0);
    EXPECT_EQ(r->reserved1, 0);
    EXPECT_EQ(r->flags, 0u);
    EXPECT_EQ(r->version, 0u);
    EXPECT_EQ(r->checkResult, 0);
    const _QTXBIN_GROUP& g = r->group[1];
    EXPECT_EQ(g.size, 0u);
    EXPECT_EQ(g.reserved, 0);
    EXPECT_EQ(g.type, 2);
    EXPECT_EQ(g.entrySize, 12);
    EXPECT_EQ(g.count, 3);
    EXPECT_EQ(g.status, 1);

    // Without any list the reply is the bare configuration.
    EXPECT_EQ(Generated(reply).size(), 344u);
    EXPECT_EQ(reply.ReplyCreate(QtxBinCfgView{document.data() + 16, 100}), nullptr);
    EXPECT_EQ(reply.GetConfig(), nullptr);
}

TEST(BinConfigReply, EntryErrorListsFollowTheRequestGroups)
{
    QTXBinConfigPW request;
    ASSERT_EQ(request.CreateGroup(1, 2, 12, 3, "AI"), 0);
    ASSERT_EQ(request.CreateGroup(4, 0x1005, 8, 0, "DO"), 0);
    ASSERT_EQ(request.CreateGroup(6, 0x113, 256, 2, "CTRL"), 0);
    std::vector<unsigned char> document = Generated(request);

    QTXBinConfigReplyPW reply;
    EXPECT_EQ(reply.AddEntryError(-1, 1, 0), 91);
    ASSERT_NE(reply.ReplyCreate(QtxBinGetConfiguration(document.data(), document.size())), nullptr);

    // No list for an absent group, an empty group or a bad index.
    EXPECT_EQ(reply.AddEntryError(-1, 0, 0), 0);
    EXPECT_EQ(reply.AddEntryError(-1, 4, 0), 0);
    EXPECT_EQ(reply.AddEntryError(-1, 16, 0), 70);
    EXPECT_EQ(reply.GetGroupMem(0), nullptr);
    EXPECT_EQ(reply.GetGroupMem(4), nullptr);

    // Entry 0: the first positive code stays until a negative one; then the first negative.
    for (short code : {5, 7, -3, -9, 11})
    {
        EXPECT_EQ(reply.AddEntryError(code, 1, 0), 0);
    }
    EXPECT_EQ(reply.AddEntryError(-4, 1, 2), 0);
    EXPECT_EQ(reply.AddEntryError(-4, 1, 3), 0); // beyond the request's entries
    const _QTXBIN_GROUP* list = reply.GetGroup(1);
    EXPECT_EQ(list->type, 0x8002);
    EXPECT_EQ(list->entrySize, 2);
    EXPECT_EQ(list->count, 3);
    EXPECT_EQ(list->size, 40u);

    // A whole list, cut to the request's entry count, under the caller's name.
    const short codes[] = {-1001, 0, -17000, 1, 2};
    EXPECT_EQ(reply.AddEntriesErrorList(codes, 5, 6, "CONTROLLERs_ERRs"), 0);
    EXPECT_EQ(reply.GetGroup(6)->type, 0x8113);
    EXPECT_EQ(reply.GetGroup(6)->count, 2);
    EXPECT_EQ(reply.AddEntriesErrorList(nullptr, 1, 6, nullptr), 70);

    std::vector<unsigned char> bytes = Generated(reply);
    ASSERT_EQ(bytes.size(), 344u + 40 + 36);
    QtxBinCfgView view = QtxBinGetConfiguration(bytes.data(), bytes.size());
    ASSERT_NE(view.data, nullptr);
    EXPECT_EQ(QtxBinCfgPlausibleCheck(view), 0);
    const unsigned char* b1 = view.data + 328;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b1), 4), "GR01");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b1 + 4)).substr(0, 12), "ANALOG_I_ERR");
    EXPECT_EQ(QtxBinGetI16(b1 + 32), -3);
    EXPECT_EQ(QtxBinGetI16(b1 + 34), 0);
    EXPECT_EQ(QtxBinGetI16(b1 + 36), -4);
    const unsigned char* b6 = b1 + 40;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b6), 4), "GR06");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b6 + 4)).substr(0, 16), "CONTROLLERs_ERRs");
    EXPECT_EQ(QtxBinGetI16(b6 + 32), -1001);
    EXPECT_EQ(QtxBinGetI16(b6 + 34), 0);
}

TEST(BinConfigInPlace, WritesGroupsIntoOneBufferWithinItsCapacity)
{
    std::vector<unsigned char> buffer(328 + 44 + 36, 0xEE);
    std::memset(buffer.data(), 0, 328);
    QtxBinCfgView view{buffer.data(), static_cast<uint32_t>(buffer.size())};

    _QTXBIN_GROUP first{QtxBinGroupBlockSize(12, 1), 2, 12, 1, 0, 0};
    _QTXBIN_GROUP second{QtxBinGroupBlockSize(4, 1), 4, 4, 1, 0, 0};
    _QTXBIN_GROUP tooBig{QtxBinGroupBlockSize(4, 2), 4, 4, 2, 0, 0};
    _QTXBIN_GROUP tooSmall{40, 4, 12, 1, 0, 0};
    EXPECT_EQ(QtxBinCreateGroup(16, view, &first, "x"), nullptr);
    EXPECT_EQ(QtxBinCreateGroup(0, view, &tooSmall, "x"), nullptr);
    EXPECT_EQ(QtxBinCreateGroup(0, view, nullptr, "x"), nullptr);

    unsigned char* e0 = QtxBinCreateGroup(0, view, &first, "Analog");
    ASSERT_EQ(e0, buffer.data() + 360);
    EXPECT_EQ(QtxBinCreateGroup(2, view, &tooBig, nullptr), nullptr); // past the capacity
    unsigned char* e2 = QtxBinCreateGroup(2, view, &second, nullptr);
    ASSERT_EQ(e2, buffer.data() + 328 + 44 + 32);
    // Group 0 cannot grow under group 2 any more; rewriting it at its size is fine.
    _QTXBIN_GROUP grown{QtxBinGroupBlockSize(12, 2), 2, 12, 2, 0, 0};
    EXPECT_EQ(QtxBinCreateGroup(0, view, &grown, "x"), nullptr);
    EXPECT_EQ(QtxBinCreateGroup(0, view, &first, "Analog"), e0);

    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data() + 328)), "GR00Analog");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data() + 372)), "GR02no_name");
    for (size_t i = 328 + 10; i < buffer.size(); ++i)
    {
        if (i < 372 || i >= 372 + 11)
        {
            ASSERT_EQ(buffer[i], 0) << "byte " << i;
        }
    }
    EXPECT_EQ(QtxBinCfgPlausibleCheck(view), 0);
    unsigned int index = 0;
    EXPECT_TRUE(QtxBinCfgSearchGroup(view, 4, nullptr, &index));
    EXPECT_EQ(index, 2u);
}

TEST(BinConfig, CopyEntriesBetweenEntrySizes)
{
    const unsigned char narrow[] = {1, 2, 3, 4, 5, 6};
    unsigned char wide[3 * 4];
    std::memset(wide, 0xFF, sizeof(wide));
    QtxBinCopyEntriesToArray(wide, 4, narrow, 2, 3);
    const unsigned char widened[] = {1, 2, 0, 0, 3, 4, 0, 0, 5, 6, 0, 0};
    EXPECT_EQ(std::memcmp(wide, widened, sizeof(wide)), 0);

    unsigned char back[3] = {};
    QtxBinCopyEntriesToArray(back, 1, wide, 4, 3);
    const unsigned char narrowed[] = {1, 3, 5};
    EXPECT_EQ(std::memcmp(back, narrowed, sizeof(back)), 0);
}

TEST(BinSignalTypes, WidthsNamesAndAvailability)
{
    struct Case
    {
        unsigned char code;
        int bits;
        int bytes;
        const char* name;
    };
    const Case cases[] = {
        {0, 1, 0, "BOOL"},    {1, 16, 2, "INT16"},    {14, 64, 8, "DOUBLE COUNTER "},
        {21, 24, 3, "INT24"}, {22, 32, 4, "S5 REAL"}, {26, 32, 4, "S5 REAL"},
        {27, 8, 1, "SINT8"},  {28, 0, 0, "-"},        {255, 0, 0, "-"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(c.code));
        EXPECT_EQ(QtxBinGetSizeOfType_Bits(c.code), c.bits);
        EXPECT_EQ(QtxBinGetSizeOfType_Bytes(c.code), c.bytes);
        EXPECT_STREQ(QtxBinGetSignalTypeName(c.code), c.name);
    }

    const unsigned char codes[] = {1, 27, 63, 64, 200};
    QtxBinSignalTypesAvailable available(codes, sizeof(codes));
    for (unsigned int code = 0; code < 70; ++code)
    {
        EXPECT_EQ(available.IsAvailable(code), code == 1 || code == 27 || code == 63) << code;
    }
    available.Init(codes, 1);
    EXPECT_FALSE(available.IsAvailable(27));
    EXPECT_TRUE(available.IsAvailable(1));
    QtxBinSignalTypesAvailable none(nullptr, 5);
    for (unsigned char flag : none.flags)
    {
        EXPECT_EQ(flag, 0);
    }
}
