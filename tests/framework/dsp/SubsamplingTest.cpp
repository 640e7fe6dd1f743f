// The subsampling chain for an output rate, worked out by hand: a 100 MHz clock, an ADC that
// runs at 100 to 200 kHz, stage factors up to 4.
#include "QTXDigitalFilter.h"

#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace
{

struct Chain
{
    int stages;
    std::vector<int32_t> words;
    std::vector<double> frequencies;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(Subsampling, ChainsWorkedOutByHand)
{
    const struct
    {
        double outputRate;
        int maxStages;
        double lastCorner;
        Chain expected;
    } cases[] = {
        // 160 kHz (divisor 625) / 4 / 4 = 10 kHz exactly; factor 3 * 4 with divisor 833 misses
        // the period by 4 clocks.
        {10000, 2, 0, {2, {624 * 65536, 15, 3 * 256}, {160000, 16000, 40000, 4000}}},
        // a leading stage of factor 1 is left out
        {10000, 3, 0, {2, {624 * 65536, 15, 3 * 256}, {160000, 16000, 40000, 4000}}},
        // the last stage's own corner; the first stage does not filter below it
        {10000, 2, 20000, {2, {624 * 65536, 15, 3 * 256}, {160000, 20000, 40000, 20000}}},
        // 1 kHz is below 100 kHz / 4^2: an extra factor 7 on top (target 7 kHz, divisor 893)
        {1000,
         2,
         0,
         {2,
          {892 * 65536, 111, 3 * 256},
          {1e8 / 893, 1e8 / 893 / 4 * 0.4, 1e8 / 893 / 4, 1e8 / 893 / 16 * 0.4}}},
        // faster than the ADC: the ADC's own rate, one stage of factor 1
        {400000, 1, 0, {1, {499 * 65536, 0, 0}, {200000, 80000}}},
    };
    kovetest::CTempDir dir;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.outputRate);
        CQTXDigitalFilter filter(16, DF_HwFpga, QTX_FilterBiquads);
        filter.SetDebugFileName(dir.Path() + "/report.txt");
        int32_t words[5] = {-1, -1, -1, -1, -1};
        double frequencies[8] = {0};
        ASSERT_EQ(filter.PrepareAntiAliasingFilter(1e5, 2e5, c.outputRate, c.maxStages, 4,
                                                   c.lastCorner, 0.4, 1e8, 0, words, frequencies),
                  c.expected.stages);
        for (size_t i = 0; i < c.expected.words.size(); ++i)
            EXPECT_EQ(words[i], c.expected.words[i]) << "word " << i;
        for (size_t i = 0; i < c.expected.frequencies.size(); ++i)
            EXPECT_NEAR(frequencies[i], c.expected.frequencies[i], 1e-6) << "frequency " << i;
    }
    // The report of the last chain.
    const std::string report = ReadAll(dir.Path() + "/report.txt");
    EXPECT_NE(report.find("Fiber Optic: fs=400 kHz, T=2.500000 us\n"), std::string::npos) << report;
    EXPECT_NE(report.find("ADC:         fs=200 kHz, T=500.000/100.0MHz=5.000 us. 1*T=5.000000 us "
                          "(differing by 0 FPGA clocks to the FO period)\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Subsampling: 1 stages:  Stage1=1, Total subsampling=1\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Stage 1: fs_input=200 kHz, Subsampling=1, fs_output=200 kHz, Filter: "
                          "fs=200 kHz, fc=80 kHz\n"),
              std::string::npos)
        << report;
}

TEST(Subsampling, NothingFits)
{
    const struct
    {
        int maxStages, fractionBits;
        double minAdc, maxAdc;
        const char* line;
    } cases[] = {
        // no whole divisor of 100 MHz lands between 150.0 and 150.1 kHz
        {1, 0, 150000, 150100,
         "ERROR: Can not find a valid combination for filter and subsampling!\n"},
        // 30 fraction bits pass the check here but not the search
        {2, 30, 1e5, 2e5, "ERROR: Can not find a valid combination for filter and subsampling!\n"},
        {2, 32, 1e5, 2e5,
         "ERROR: MaxStages (got 2, allowed 1..4) or FractionBits (got 32, allowed 0 "
         ".. 31) are out of range!\n"},
        {5, 0, 1e5, 2e5,
         "ERROR: MaxStages (got 5, allowed 1..4) or FractionBits (got 0, allowed 0 .. "
         "31) are out of range!\n"},
        {2, 0, -1, 2e5, "ERROR: Can not find a valid combination for filter and subsampling!\n"},
    };
    kovetest::CTempDir dir;
    for (const auto& c : cases)
    {
        CQTXDigitalFilter filter(16, DF_HwFpga, QTX_FilterBiquads);
        filter.SetDebugFileName(dir.Path() + "/report.txt");
        int32_t words[5];
        double frequencies[8];
        EXPECT_EQ(filter.PrepareAntiAliasingFilter(c.minAdc, c.maxAdc, 10000, c.maxStages, 4, 0,
                                                   0.4, 1e8, c.fractionBits, words, frequencies),
                  0);
        EXPECT_EQ(ReadAll(dir.Path() + "/report.txt"), c.line);
    }
    CQTXDigitalFilter fir(16, DF_HwFpga, QTX_FilterFIR);
    int32_t words[5];
    double frequencies[8];
    EXPECT_EQ(
        fir.PrepareAntiAliasingFilter(1e5, 2e5, 10000, 2, 4, 0, 0.4, 1e8, 0, words, frequencies),
        -1);
}

TEST(Subsampling, SearchOrderAndFractionalDivisors)
{
    int factors[4] = {0, 0, 0, 0};
    double divisor = 0;
    int error = 0;
    // With fraction bits the divider meets the 7 kHz target more closely.
    ASSERT_TRUE(FindOptimumSubsampling(1e8, 1e5, 2e5, 7000, 0, 2, 4, 4, factors, &divisor, &error));
    EXPECT_EQ(factors[0], 4);
    EXPECT_EQ(factors[1], 4);
    EXPECT_DOUBLE_EQ(divisor, 892.875); // 892.857 to sixteenths
    EXPECT_EQ(error, 14286 - 16 * 892);
    // Equal errors: 2 * 4 (divisor 1786) comes first, 4 * 4 (divisor 893) takes over as the
    // smaller divisor, 4 * 2 does not.
    ASSERT_TRUE(FindOptimumSubsampling(1e8, 5e4, 2e5, 7000, 0, 2, 4, 0, factors, &divisor, &error));
    EXPECT_EQ(factors[0], 4);
    EXPECT_EQ(factors[1], 4);
    EXPECT_EQ(divisor, 893);
    EXPECT_EQ(error, 2);
    // The last-stage limit keeps the last factor below 4 (4 * 7000 / 12 = 2333).
    ASSERT_TRUE(
        FindOptimumSubsampling(1e8, 5e4, 2e5, 7000, 2000, 2, 4, 0, factors, &divisor, &error));
    EXPECT_EQ(factors[0], 4);
    EXPECT_EQ(factors[1], 2);
    EXPECT_EQ(divisor, 1786);
    EXPECT_EQ(error, 2);
    EXPECT_FALSE(
        FindOptimumSubsampling(1e8, 1e5, 2e5, 7000, 0, 5, 4, 0, factors, &divisor, &error));
    EXPECT_EQ(error, 100000000);
}
