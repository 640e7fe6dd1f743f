// Tests of the binary trace buffer: record bytes, the full buffer, fetch and
// reset, set-up and tear-down, and writers on several threads.

#include "nyDebug.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Bytes = std::vector<uint8_t>;

// What the trace functions do before anything has set up the buffer. This runs
// during static initialisation, before any test calls nyDebugInit.
struct BeforeInit
{
    uint32_t flags = 0;
    uint16_t size = 0xFFFF;
    uint16_t position = 0xFFFF;
    int fetched = -1;
};

BeforeInit RecordBeforeInit()
{
    BeforeInit seen;
    seen.flags = nyDebugInterfaceGlobalFlags;
    nyDebugSave32(0x29, 1);
    nyDebugSaveMem(0x84, "abc", 3);
    nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "before %d", 1);
    nyDebugSaveMulti(NYDEBUG_LEVEL_INFO, "x", 1, 9, 4, 1, 7u);
    seen.size = nyDebugGetSize();
    seen.position = nyDebugGetPosition();
    char out[16];
    seen.fetched = nyDebugFetch(out, sizeof out);
    return seen;
}

const BeforeInit gBeforeInit = RecordBeforeInit();

Bytes FetchAll()
{
    Bytes out(65536);
    const int n = nyDebugFetch(reinterpret_cast<char*>(out.data()), out.size());
    EXPECT_GE(n, 0);
    out.resize(n < 0 ? 0 : n);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

class TraceBufferTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(nyDebugInit(0, 1024, nullptr), 0); }
    void TearDown() override { nyDebugExit(); }
};

TEST(TraceBufferLifecycle, RecordsBeforeInitAreDroppedAndFlagsStartAllOn)
{
    EXPECT_EQ(gBeforeInit.flags, 0x00FFFFFFu);
    EXPECT_EQ(gBeforeInit.size, 0);
    EXPECT_EQ(gBeforeInit.position, 0);
    EXPECT_EQ(gBeforeInit.fetched, 0);
}

TEST_F(TraceBufferTest, EachRecordKindHasItsExactBytes)
{
    const std::string s300(300, 'p');
    Bytes mem255(255);
    for (size_t i = 0; i < mem255.size(); ++i)
    {
        mem255[i] = static_cast<uint8_t>(i);
    }
    const uint16_t wide[] = {'H', 0x1234, 0x00FF};

    struct Case
    {
        const char* name;
        std::function<void()> record;
        Bytes expected;
    };
    const Case cases[] = {
        {"opcode", [] { nyDebugSaveOpcode8(0xAB); }, {0x00, 0xAB}},
        {"8 bit", [] { nyDebugSave8(0xE1, 0x7F); }, {0xE1, 0x7F}},
        {"16 bit", [] { nyDebugSave16(0xC6, 0x1234); }, {0x00, 0xC6, 0x34, 0x12}},
        {"32 bit", [] { nyDebugSave32(0xC9, 0x12345678); }, {0x00, 0xC9, 0x78, 0x56, 0x34, 0x12}},
        {"64 bit",
         [] { nyDebugSave64(0xCE, 0x0102030405060708ull); },
         {0x00, 0xCE, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {"two words",
         [] { nyDebugSave2x32(0x11223344, 0xAABBCCDD); },
         {0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA}},
        {"odd byte string padded in front",
         [] { nyDebugSaveMem(0x84, "abc", 3); },
         {0x00, 0x84, 3, 'a', 'b', 'c'}},
        {"even byte string",
         [] { nyDebugSaveMem(0x84, "abcd", 4); },
         {0x84, 4, 'a', 'b', 'c', 'd'}},
        {"empty byte string", [] { nyDebugSaveMem(0x84, "", 0); }, {0x84, 0}},
        {"byte string of 255 keeps 254",
         [&] { nyDebugSaveMem(0x84, reinterpret_cast<const char*>(mem255.data()), 255); },
         Concat({{0x84, 254}, Bytes(mem255.begin(), mem255.begin() + 254)})},
        {"16-bit text keeps low bytes",
         [&] { nyDebugSaveText16(5, wide, 3); },
         {0x00, 0xA5, 3, 'H', 0x34, 0xFF}},
        {"printf", [] { nyDebugSavePrintf(5, "x=%d", 42); }, {0xA5, 4, 'x', '=', '4', '2'}},
        {"long printf keeps 254 characters", [&] { nyDebugSavePrintf(7, "%s", s300.c_str()); },
         Concat({{0xE5, 254}, Text(std::string(254, 'p'))})},
        {"value list of words",
         [] { nyDebugSaveMulti(5, "ab", 2, 9, 4, 2, 0x11223344u, 0x55667788u); },
         {0xA5, 2, 'a', 'b', 0xBA, (1 << 5) | 9, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}},
        {"odd value list of bytes padded in front, type masked",
         [] { nyDebugSaveMulti(7, "e", 1, 0xE1, 1, 3, 0x1FFu, 2u, 3u); },
         {0x00, 0xE5, 1, 'e', 0x00, 0xFA, (2 << 5) | 1, 0xFF, 0x02, 0x03}},
        {"value list of halves",
         [] { nyDebugSaveMulti(5, "ab", 2, 6, 2, 1, 0xABCD1234u); },
         {0xA5, 2, 'a', 'b', 0xBA, 6, 0x34, 0x12}},
        {"value list cut to 8",
         [] { nyDebugSaveMulti(5, "ab", 2, 1, 1, 9, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u); },
         {0xA5, 2, 'a', 'b', 0xBA, (7 << 5) | 1, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"element size 3 gives the text alone",
         [] { nyDebugSaveMulti(5, "ab", 2, 1, 3, 2, 1u, 2u); },
         {0xA5, 2, 'a', 'b'}},
        {"count 0 gives the text alone",
         [] { nyDebugSaveMulti(5, "ab", 2, 1, 4, 0); },
         {0xA5, 2, 'a', 'b'}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        nyDebugReset();
        c.record();
        EXPECT_EQ(nyDebugGetPosition(), c.expected.size());
        EXPECT_EQ(FetchAll(), c.expected);
    }
}

TEST_F(TraceBufferTest, MaskedPrintfWritesOnlyWhenNoMaskBitIsSet)
{
    const uint32_t saved = nyDebugInterfaceGlobalFlags;
    nyDebugSavePrintfMasked(NYDEBUG_FLAG_ERROR, 5, "a"); // bit set: nothing
    nyDebugSavePrintfMasked(0x01000000u, 5, "b");        // bit not set: written
    nyDebugInterfaceGlobalFlags = saved & ~NYDEBUG_FLAG_ERROR;
    nyDebugSavePrintfMasked(NYDEBUG_FLAG_ERROR | 0x02, 5, "c"); // one bit still set: nothing
    nyDebugSavePrintfMasked(NYDEBUG_FLAG_ERROR, 5, "d");        // now clear: written
    nyDebugInterfaceGlobalFlags = saved;
    EXPECT_EQ(FetchAll(), (Bytes{0x00, 0xA5, 1, 'b', 0x00, 0xA5, 1, 'd'}));
}

// A record that does not fit is dropped; each drop leaves one space byte while
// room remains, and the position never passes the size.
TEST(TraceBufferFull, DroppedRecordsLeaveSpaceBytesAndNothingPastTheEnd)
{
    std::vector<char> area(16 + 8, '\x5A');
    ASSERT_EQ(nyDebugInit(0, 16, area.data()), 0);
    nyDebugSave64(0xCE, 0);   // 10 bytes
    nyDebugSaveOpcode8(1);    // 12
    nyDebugSave32(0xC9, 1);   // 6 bytes do not fit: space, 13
    nyDebugSave32(0xC9, 2);   // space, 14: two bytes free
    nyDebugSave8(0xE1, 0x42); // fits: 16
    nyDebugSave8(0xE1, 0x43); // full: nothing at all
    EXPECT_EQ(nyDebugGetPosition(), 16);
    const Bytes expected = {0x00, 0xCE, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 1, 0x20, 0x20, 0xE1, 0x42};
    EXPECT_EQ(FetchAll(), expected);
    EXPECT_EQ(std::string(area.begin() + 16, area.end()), std::string(8, '\x5A'));
    nyDebugExit();
}

// With a data area above 65278 bytes a 16-bit end position wraps; the buffer
// must still stop at its end. The own-buffer run lets the sanitizers see an
// overrun; the caller's-buffer run checks guard bytes behind the area.
TEST(TraceBufferFull, LargeBufferNeverWritesPastItsEnd)
{
    constexpr uint32_t kSize = 65532;
    const std::string big(254, 'm');
    for (bool own : {true, false})
    {
        SCOPED_TRACE(own ? "own buffer" : "caller's buffer");
        std::vector<char> area(kSize + 512, '\x5A');
        ASSERT_EQ(nyDebugInit(0, kSize, own ? nullptr : area.data()), 0);
        ASSERT_EQ(nyDebugGetSize(), kSize);
        for (int i = 0; i < 300; ++i) // 256-byte records, well past the size
        {
            nyDebugSaveMem(0x84, big.data(), 254);
            nyDebugSave64(0xCE, i);
        }
        EXPECT_EQ(nyDebugGetPosition(), kSize);
        const Bytes all = FetchAll();
        ASSERT_EQ(all.size(), kSize);
        EXPECT_EQ(all.back(), 0x20);
        if (!own)
        {
            EXPECT_EQ(std::string(area.begin() + kSize, area.end()), std::string(512, '\x5A'));
        }
        nyDebugExit();
    }
}

TEST_F(TraceBufferTest, FetchEmptiesEvenWhenTooSmallThenResetAndEmptyFetch)
{
    nyDebugSave32(0xC9, 0xDEADBEEF);
    nyDebugSave8(0xE1, 7);
    char small[7];
    EXPECT_EQ(nyDebugFetch(small, sizeof small), -82);
    EXPECT_EQ(nyDebugGetPosition(), 0);

    nyDebugSave8(0xE1, 7);
    char exact[2];
    EXPECT_EQ(nyDebugFetch(exact, sizeof exact), 2);
    EXPECT_EQ(Bytes(exact, exact + 2), (Bytes{0xE1, 7}));

    nyDebugSave16(0xC6, 1);
    nyDebugSaveOpcode8(3);
    EXPECT_EQ(nyDebugReset(), 6);
    EXPECT_EQ(nyDebugGetPosition(), 0);
    EXPECT_EQ(nyDebugFetch(exact, sizeof exact), 0);
    EXPECT_EQ(nyDebugFetch(nullptr, 0), 0);
}

TEST(TraceBufferLifecycle, InitSizes)
{
    struct Case
    {
        uint32_t requested;
        bool callerBuffer;
        uint16_t size;
    };
    const Case cases[] = {
        {0, false, 4000},    {3, false, 4000},       {8161, false, 8160}, {65535, false, 65532},
        {0x10008, false, 8}, {0x10000, false, 4000}, {8161, true, 8160},  {3, true, 0},
    };
    std::vector<char> area(65536);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.requested);
        SCOPED_TRACE(c.callerBuffer);
        std::fill(area.begin(), area.end(), '\x5A');
        ASSERT_EQ(nyDebugInit(5, c.requested, c.callerBuffer ? area.data() : nullptr), 0);
        EXPECT_EQ(nyDebugGetSize(), c.size);
        EXPECT_EQ(nyDebugGetPosition(), 0);
        nyDebugSave8(0xE1, 1);
        EXPECT_EQ(nyDebugGetPosition(), c.size == 0 ? 0 : 2);
        // A caller's buffer is written in place; one of size 0 not at all.
        EXPECT_EQ(area[0], c.callerBuffer && c.size != 0 ? '\xE1' : '\x5A');
    }
    nyDebugExit();
}

// Re-initialising replaces the buffer (the sanitizer run reports a leak of the
// first one) and exit leaves the state of before set-up; records then drop.
TEST(TraceBufferLifecycle, SecondInitReplacesAndExitDropsLaterRecords)
{
    ASSERT_EQ(nyDebugInit(0, 1000, nullptr), 0);
    nyDebugSave32(0xC9, 1);
    ASSERT_EQ(nyDebugInit(0, 2000, nullptr), 0);
    EXPECT_EQ(nyDebugGetSize(), 2000);
    EXPECT_EQ(nyDebugGetPosition(), 0);
    nyDebugSave8(0xE1, 1);
    EXPECT_EQ(FetchAll(), (Bytes{0xE1, 1}));

    nyDebugExit();
    nyDebugExit();
    nyDebugSave64(0xCE, 1);
    nyDebugSaveMulti(5, "ab", 2, 1, 4, 1, 1u);
    EXPECT_EQ(nyDebugGetSize(), 0);
    EXPECT_EQ(nyDebugGetPosition(), 0);
    EXPECT_EQ(nyDebugReset(), 0);
    EXPECT_EQ(FetchAll(), Bytes{});
}

// Writers keep tracing while the buffer is set up and torn down again: every
// record lands in a live buffer or is dropped (the sanitizers see any use
// after free).
TEST(TraceBufferLifecycle, RecordsRacingWithInitAndExitAreSafe)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
    {
        writers.emplace_back(
            [&stop]
            {
                while (!stop.load())
                {
                    nyDebugSaveMem(0x84, "0123456789", 10);
                    nyDebugSave32(0xC9, 5);
                }
            });
    }
    std::vector<char> area(768);
    for (int i = 0; i < 2000; ++i)
    {
        ASSERT_EQ(nyDebugInit(0, 256 + (i % 3) * 256, i % 2 ? area.data() : nullptr), 0);
        FetchAll();
        nyDebugExit();
    }
    stop = true;
    for (std::thread& w : writers)
    {
        w.join();
    }
}

// Several threads write records while another fetches: every record comes out
// whole, a value list right behind its text, and each thread's records in order.
TEST(TraceBufferConcurrency, WritersNeverInterleaveOrTear)
{
    constexpr int kThreads = 4;
    constexpr uint32_t kPerThread = 800; // 20 bytes a round: all of it fits even unfetched
    ASSERT_EQ(nyDebugInit(0, 65532, nullptr), 0);

    std::atomic<bool> go{false};
    std::atomic<int> running{kThreads};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
    {
        writers.emplace_back(
            [t, &go, &running]
            {
                while (!go.load())
                {
                    std::this_thread::yield();
                }
                const char tag[2] = {'T', static_cast<char>('0' + t)};
                for (uint32_t seq = 1; seq <= kPerThread; ++seq)
                {
                    nyDebugSave32(static_cast<uint8_t>(0xC0 + t), seq);
                    nyDebugSaveMulti(5, tag, 2, static_cast<uint8_t>(t), 4, 2, seq, ~seq);
                }
                running.fetch_sub(1);
            });
    }
    go = true;
    Bytes stream;
    for (;;)
    {
        const bool last = running.load() == 0;
        const Bytes part = FetchAll();
        stream.insert(stream.end(), part.begin(), part.end());
        if (last)
        {
            break;
        }
        std::this_thread::yield();
    }
    for (std::thread& w : writers)
    {
        w.join();
    }
    nyDebugExit();

    // Records: 32-bit value (0, 0xC0 + t, seq) or text "T<t>" followed by its
    // value list (seq, ~seq).
    uint32_t last32[kThreads] = {};
    uint32_t lastMulti[kThreads] = {};
    size_t records = 0;
    auto u32 = [&stream](size_t at)
    {
        return stream[at] | stream[at + 1] << 8 | stream[at + 2] << 16 |
               static_cast<uint32_t>(stream[at + 3]) << 24;
    };
    size_t i = 0;
    while (i < stream.size())
    {
        if (stream[i] == 0x00)
        {
            ASSERT_LE(i + 6, stream.size());
            const int t = stream[i + 1] - 0xC0;
            ASSERT_TRUE(t >= 0 && t < kThreads) << "at " << i;
            const uint32_t seq = u32(i + 2);
            ASSERT_EQ(seq, last32[t] + 1) << "at " << i;
            last32[t] = seq;
            ++records;
            i += 6;
        }
        else
        {
            ASSERT_LE(i + 14, stream.size());
            ASSERT_EQ(stream[i], 0xA5) << "at " << i;
            ASSERT_EQ(stream[i + 1], 2);
            ASSERT_EQ(stream[i + 2], 'T');
            const int t = stream[i + 3] - '0';
            ASSERT_TRUE(t >= 0 && t < kThreads) << "at " << i;
            ASSERT_EQ(stream[i + 4], 0xBA) << "at " << i;
            ASSERT_EQ(stream[i + 5], (1 << 5) | t);
            const uint32_t seq = u32(i + 6);
            ASSERT_EQ(u32(i + 10), ~seq);
            ASSERT_EQ(seq, lastMulti[t] + 1) << "at " << i;
            lastMulti[t] = seq;
            ++records;
            i += 14;
        }
    }
    EXPECT_EQ(records, 2u * kThreads * kPerThread);
}

// Writers on several threads trace 32-bit records (0, 0xC0 + thread, sequence)
// while another thread fetches and resets. Parses a fetched part: every record
// whole, each thread's sequence rising across all parts; space bytes are
// counted as drop marks.
struct SequenceCheck
{
    static constexpr int kThreads = 4;
    uint32_t last[kThreads] = {};
    size_t records = 0;
    size_t marks = 0;

    void Parse(const Bytes& part)
    {
        size_t i = 0;
        while (i < part.size())
        {
            if (part[i] == 0x20)
            {
                ++marks;
                ++i;
                continue;
            }
            ASSERT_LE(i + 6, part.size()) << "torn record at " << i;
            ASSERT_EQ(part[i], 0x00) << "at " << i;
            const int t = part[i + 1] - 0xC0;
            ASSERT_TRUE(t >= 0 && t < kThreads) << "at " << i;
            const uint32_t seq = part[i + 2] | part[i + 3] << 8 | part[i + 4] << 16 |
                                 static_cast<uint32_t>(part[i + 5]) << 24;
            ASSERT_GT(seq, last[t]) << "at " << i;
            last[t] = seq;
            ++records;
            i += 6;
        }
    }
};

void RunWriters(uint32_t perThread, const std::function<void()>& whileRunning,
                std::atomic<int>& running)
{
    running = SequenceCheck::kThreads;
    std::vector<std::thread> writers;
    for (int t = 0; t < SequenceCheck::kThreads; ++t)
    {
        writers.emplace_back(
            [t, perThread, &running]
            {
                for (uint32_t seq = 1; seq <= perThread; ++seq)
                {
                    nyDebugSave32(static_cast<uint8_t>(0xC0 + t), seq);
                }
                running.fetch_sub(1);
            });
    }
    whileRunning();
    for (std::thread& w : writers)
    {
        w.join();
    }
}

// All records fit even unfetched, so none may be dropped: the bytes fetched and
// reset add up to every record written, and every fetched record is whole.
TEST(TraceBufferConcurrency, FetchAndResetRacingWithWritersLoseNothing)
{
    constexpr uint32_t kPerThread = 2500; // 4 * 2500 * 6 = 60000 bytes
    ASSERT_EQ(nyDebugInit(0, 65532, nullptr), 0);
    SequenceCheck check;
    size_t resetBytes = 0;
    std::atomic<int> running{0};
    RunWriters(
        kPerThread,
        [&]
        {
            for (unsigned round = 0;; ++round)
            {
                const bool last = running.load() == 0;
                if (round % 3 == 2 && !last)
                {
                    resetBytes += nyDebugReset();
                }
                else
                {
                    check.Parse(FetchAll());
                }
                if (last || ::testing::Test::HasFatalFailure())
                {
                    break;
                }
            }
        },
        running);
    nyDebugExit();
    EXPECT_EQ(check.marks, 0u);
    EXPECT_EQ(resetBytes % 6, 0u);
    EXPECT_EQ(check.records + resetBytes / 6, SequenceCheck::kThreads * kPerThread);
}

// A small buffer that keeps filling while it is fetched: records straddle its
// end as the used part wraps, and drops leave only space bytes, never a torn
// record.
TEST(TraceBufferConcurrency, FullBufferWrapsAndDropsWholeRecords)
{
    constexpr uint32_t kPerThread = 20000;
    ASSERT_EQ(nyDebugInit(0, 64, nullptr), 0);
    SequenceCheck check;
    std::atomic<int> running{0};
    RunWriters(
        kPerThread,
        [&]
        {
            for (;;)
            {
                const bool last = running.load() == 0;
                check.Parse(FetchAll());
                if (last || ::testing::Test::HasFatalFailure())
                {
                    break;
                }
            }
        },
        running);
    nyDebugExit();
    EXPECT_GT(check.records, 0u);
    EXPECT_LE(check.records + check.marks, SequenceCheck::kThreads * kPerThread);
}

} // namespace
