#include "FpgaDependence.h"
#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace
{

// Number of steps before the terminating 0, or -1 when there is no 0 within `limit` words.
int CountSteps(const uint32_t* sequence, int limit)
{
    for (int i = 0; i < limit; ++i)
        if (sequence[i] == 0)
            return i;
    return -1;
}

} // namespace

// Runs in a fresh process so that no other test has chosen a row yet: a new start of the test
// program, or, where only an emulator can start it, the fork of a run of this test alone.
TEST(FpgaDependenceDeathTest, NothingSelectedAtStart)
{
    if (kovetest::ProgramsStartProgramsOfTheBuild())
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    else if (testing::UnitTest::GetInstance()->test_to_run_count() == 1)
        GTEST_FLAG_SET(death_test_style, "fast");
    else
        GTEST_SKIP() << "the test program cannot start afresh under its emulator: run this "
                        "test alone";
    EXPECT_EXIT(
        {
            uint32_t word = 0x12345678;
            const bool ok = GetFpgaDependence() == nullptr && GetFpgaDependenceFpgaId() == 0 &&
                            GetFpgaDependenceIrq() == 0 && GetFpgaDependenceFOoffset() == 0 &&
                            GetFpgaDependenceFlags() == 0 && GetLedTestSequence() == nullptr &&
                            GetLedsSpecification(&word, &word, &word) == -1 && word == 0x12345678;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FpgaDependenceTest, KnownVariantsGiveTheirRow)
{
    struct Case
    {
        uint32_t id;
        uint32_t irq;
        uint32_t foOffset;
        uint32_t flags;
        uint32_t ledSpecFirst; // 0: no LED description
        uint32_t ledSpecThird;
        int steps; // -1: no test sequence
        uint32_t firstStep;
    };
    const Case cases[] = {
        {MakeFpgaId('L', 'I', 'O'), 31, 0x10000, 0, 0x40000028, 0x40000026, 4, 0x40000001},
        {MakeFpgaId('P', 'D', 'P'), 31, 0x10000, 0x32, 0x40000028, 0x40000026, 10, 0x40000001},
        {MakeFpgaId('W', 'A', 'G'), 109, 0x10000, 0, 0x40000028, 0x40000026, 6, 0x40000001},
        {MakeFpgaId('K', 'V', '4'), 109, 0x10000, 0x20, 0x40000028, 0x40000026, 12, 0x40000001},
        {MakeFpgaId('K', 'V', '8'), 31, 0x10000, 0x20, 0x40000028, 0x40000026, 45, 0x40000001},
        {MakeFpgaId('V', 'M', 'E'), 109, 0x10000, 0, 0x40000028, 0x40000026, 8, 0x40000001},
        {MakeFpgaId('C', 'L', 'K'), 31, 0x10000, 0, 0x40000028, 0x40000026, 4, 0x40000001},
        {0x880000, 31, 0x40000, 0x11, 0x60000029, 0x80000040, 4, 0x40000001},
        {MakeFpgaId('P', 'N', 'A'), 61, 0x10000, 0, 0x40000093, 0x40000095, 4, 0x40000001},
        {MakeFpgaId('E', 'I', 'P'), 61, 0x10000, 0, 0x40000093, 0x40000095, 4, 0x40000001},
        {MakeFpgaId('Z', 'Q', 'A'), 61, 0x10000, 0, 0x80000001, 0x80000008, 18, 0x80010000},
        {MakeFpgaId('Z', 'Q', 'B'), 61, 0x10000, 0, 0x80000001, 0x80000008, 18, 0x80010000},
        {MakeFpgaId('Z', 'Q', 'C'), 61, 0x10000, 0, 0x80000001, 0x80000008, 18, 0x80010000},
        {MakeFpgaId('Z', 'Q', 'D'), 61, 0x10000, 0, 0, 0, -1, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << "id 0x" << c.id);
        // Only the low 24 bits identify the FPGA: the top byte of the bus word is ignored.
        ASSERT_EQ(0, SetFpgaDependence(c.id | 0x5A000000));
        EXPECT_EQ(SearchFpgaDependence(c.id), GetFpgaDependence());
        EXPECT_EQ(c.id, GetFpgaDependenceFpgaId());
        EXPECT_EQ(c.irq, GetFpgaDependenceIrq());
        EXPECT_EQ(c.foOffset, GetFpgaDependenceFOoffset());
        EXPECT_EQ(c.flags, GetFpgaDependenceFlags());

        uint32_t leds[3] = {1, 1, 1};
        if (c.ledSpecFirst == 0)
        {
            EXPECT_EQ(-1, GetLedsSpecification(&leds[0], &leds[1], &leds[2]));
            EXPECT_EQ(1u, leds[0]);
        }
        else
        {
            EXPECT_EQ(0, GetLedsSpecification(&leds[0], &leds[1], &leds[2]));
            EXPECT_EQ(c.ledSpecFirst, leds[0]);
            EXPECT_EQ(0u, leds[1]);
            EXPECT_EQ(c.ledSpecThird, leds[2]);
        }

        const uint32_t* sequence = GetLedTestSequence();
        if (c.steps < 0)
        {
            EXPECT_EQ(nullptr, sequence);
        }
        else
        {
            ASSERT_NE(nullptr, sequence);
            // The LED thread reads at most 100 words, so the end mark must come before that.
            EXPECT_EQ(c.steps, CountSteps(sequence, 100));
            EXPECT_EQ(c.firstStep, sequence[0]);
        }
    }
}

TEST(FpgaDependenceTest, UnknownIdentificationTakesThePnaValuesUnderItsOwnId)
{
    const FpgaDependence_t* pna = SearchFpgaDependence(MakeFpgaId('P', 'N', 'A'));
    // 0x990000 is a known family but has no row of its own; 0xFFFFFFFF must not hit the end row.
    for (uint32_t id : {0u, 0x990000u, 0xADCAFEu, MakeFpgaId('D', 'A', 'Q'), 0xFFFFFFFFu})
    {
        SCOPED_TRACE(testing::Message() << std::hex << "id 0x" << id);
        EXPECT_EQ(-1, SetFpgaDependence(id));
        const FpgaDependence_t* row = GetFpgaDependence();
        ASSERT_NE(nullptr, row);
        EXPECT_NE(pna, row);
        EXPECT_EQ(kFpgaDependenceUnknownId, GetFpgaDependenceFpgaId());
        EXPECT_EQ(61u, GetFpgaDependenceIrq());
        EXPECT_EQ(0x10000u, GetFpgaDependenceFOoffset());
        EXPECT_EQ(pna->uFlags, GetFpgaDependenceFlags());
        EXPECT_EQ(pna->pLedTestSequence, GetLedTestSequence());
        uint32_t third = 0;
        EXPECT_EQ(0, GetLedsSpecification(nullptr, nullptr, &third));
        EXPECT_EQ(0x40000095u, third);
    }

    // A known identification afterwards replaces the unknown row again.
    EXPECT_EQ(0, SetFpgaDependence(MakeFpgaId('W', 'A', 'G')));
    EXPECT_EQ(109u, GetFpgaDependenceIrq());
}

TEST(FpgaDependenceTest, TableEndsWithTheEndRow)
{
    EXPECT_EQ(kFpgaDependenceEndId, FpgaDependence[kFpgaDependenceRows - 1].uFpgaId);
    for (int i = 0; i < kFpgaDependenceRows - 1; ++i)
    {
        // Every row but the end row is reachable by its own id.
        EXPECT_EQ(&FpgaDependence[i], SearchFpgaDependence(FpgaDependence[i].uFpgaId)) << i;
    }
}
