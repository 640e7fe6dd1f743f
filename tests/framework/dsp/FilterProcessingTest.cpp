// Filtering sample blocks and the frequency response, against textbook responses and filters
// small enough to work out by hand.
#include "QTXDigitalFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace
{

std::vector<double> Sine(int n, double f, double fs)
{
    std::vector<double> s(n);
    for (int i = 0; i < n; ++i)
        s[i] = std::sin(2 * M_PI * f * i / fs);
    return s;
}

double PeakOfTail(const std::vector<double>& y, int from)
{
    double peak = 0;
    for (size_t i = from; i < y.size(); ++i)
        peak = std::max(peak, std::fabs(y[i]));
    return peak;
}

} // namespace

TEST(FilterProcessing, SineComesOutWithTheTextbookGain)
{
    const double fs = 10000, fc = 500;
    CQTXDigitalFilter filter(16, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(filter.GenerateLowpassFilter(DF_Butterworth, 4, fs, fc, 0.1, 80, true));
    for (double f : {100.0, 500.0, 1000.0, 2000.0})
    {
        const double w = std::tan(M_PI * f / fs) / (M_PI * fc / fs);
        const double expected = 1 / std::sqrt(1 + std::pow(w, 8));
        const std::vector<double> x = Sine(20000, f, fs);
        std::vector<double> y(x.size());
        ASSERT_TRUE(
            filter.ProcessFilter(int(x.size()), x.data(), y.data(), nullptr, nullptr, true));
        // The sampled peak misses the true one by at most the phase step.
        EXPECT_NEAR(PeakOfTail(y, 10000), expected, expected * (1 - std::cos(M_PI * f / fs)) + 1e-9)
            << f;
    }
}

TEST(FilterProcessing, PreDividerScalesTheOutput)
{
    // Two sections with zeros at -1 and poles at 0.5 and 0.25: DC gain 4/0.5 * 4/0.75.
    for (int hw : {DF_HwSoftDouble, DF_HwSoftFloat})
    {
        CQTXDigitalFilter filter(8, hw, QTX_FilterBiquads);
        ASSERT_TRUE(filter.SetFilter(2, 3, 0.5));
        ASSERT_TRUE(filter.SetBiquadZP(0, -1, -1, 0.5, 0, DF_TwoReal, DF_SingleReal));
        ASSERT_TRUE(filter.SetBiquadZP(1, -1, -1, 0.25, 0, DF_TwoReal, DF_SingleReal));
        const double dc = 0.5 / 64 * (4 / 0.5) * (4 / 0.75);
        EXPECT_NEAR(filter.GetFrequencyResponseGain(0, 1000), dc, 1e-15);
        const int n = 200;
        std::vector<double> ones(n, 1.0), y(n);
        std::vector<float> onesF(n, 1.0f), yF(n);
        const void* in =
            hw == DF_HwSoftFloat ? static_cast<const void*>(onesF.data()) : ones.data();
        void* out = hw == DF_HwSoftFloat ? static_cast<void*>(yF.data()) : y.data();
        ASSERT_TRUE(filter.ProcessFilter(n, in, out, nullptr, nullptr, true));
        const double last = hw == DF_HwSoftFloat ? yF[n - 1] : y[n - 1];
        EXPECT_NEAR(last, dc, 1e-6) << hw;
    }
}

TEST(FilterProcessing, BlocksContinueWhereTheLastOneEnded)
{
    std::vector<double> x(301);
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = std::sin(0.3 * i) + (i % 7 == 0 ? 1.0 : 0.0);

    CQTXDigitalFilter iir(16, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(iir.GenerateLowpassFilter(DF_Elliptic, 6, 1000, 100, 0.5, 60, true));
    const double taps[5] = {0.1, -0.2, 0.4, 0.3, 0.05};
    CQTXDigitalFilter fir(8, DF_HwSoftDouble, QTX_FilterFIR);
    ASSERT_TRUE(fir.SetFIRCoeff(5, taps));

    for (CQTXDigitalFilter* filter : {&iir, &fir})
    {
        std::vector<double> whole(x.size()), parts(x.size());
        ASSERT_TRUE(
            filter->ProcessFilter(int(x.size()), x.data(), whole.data(), nullptr, nullptr, true));
        ASSERT_TRUE(filter->ProcessFilter(100, x.data(), parts.data(), nullptr, nullptr, true));
        ASSERT_TRUE(filter->ProcessFilter(201, x.data() + 100, parts.data() + 100, nullptr, nullptr,
                                          false));
        EXPECT_EQ(whole, parts);
    }

    // The biquad state after every sample: w1 of section 0 is the last w0.
    std::vector<double> y(3), states(3 * 6);
    bool flags[3] = {false, false, false};
    ASSERT_TRUE(iir.ProcessFilter(3, x.data(), y.data(), states.data(), flags, true));
    EXPECT_TRUE(flags[0] && flags[1] && flags[2]);
    EXPECT_EQ(states[0], x[0] * iir.GetGain()); // the first w0 of section 0
    EXPECT_EQ(states[1], 0.0);
    EXPECT_EQ(states[6 + 1], states[0]); // w2 after the second sample is the first w1
}

TEST(FilterProcessing, FirConvolvesWithItsTaps)
{
    const double taps[4] = {0.5, 0.25, -0.125, 2.0};
    CQTXDigitalFilter fir(8, DF_HwSoftDouble, QTX_FilterFIR);
    ASSERT_TRUE(fir.SetFIRCoeff(4, taps));
    const std::vector<double> x = {1, 0, 0, 0, 0, 3, 0, 0, 0};
    std::vector<double> y(x.size());
    std::vector<double> ring(4);
    bool flags[9];
    ASSERT_TRUE(fir.ProcessFilter(int(x.size()), x.data(), y.data(), ring.data(), flags, true));
    const std::vector<double> expected = {0.5, 0.25, -0.125, 2.0, 0, 1.5, 0.75, -0.375, 6.0};
    EXPECT_EQ(y, expected);
    EXPECT_EQ(ring, (std::vector<double>{0, 0, 0, 3})); // the last four samples, newest first
    EXPECT_TRUE(flags[8]);

    // Only double samples are filtered; an FIR filter has no response of its own.
    CQTXDigitalFilter firFloat(8, DF_HwSoftFloat, QTX_FilterFIR);
    ASSERT_TRUE(firFloat.SetFIRCoeff(4, taps));
    float xf[2] = {1, 2}, yf[2];
    EXPECT_FALSE(firFloat.ProcessFilter(2, xf, yf, nullptr, nullptr, true));
    EXPECT_EQ(fir.CalcFrequencyResponse(10, 100), std::complex<double>(-1, 0));
    EXPECT_EQ(fir.GetFrequencyResponseGain(10, 100), -1);
    EXPECT_EQ(fir.GetFrequencyResponseGainIndB(10, 100), -1);
    EXPECT_EQ(fir.GetFrequencyResponsePhase(10, 100), -1);
}

TEST(FilterProcessing, FiltersThatDoNotRun)
{
    double x[4] = {1, 2, 3, 4}, y[4];
    CQTXDigitalFilter empty(8, DF_HwSoftDouble, QTX_FilterBiquads);
    EXPECT_FALSE(empty.ProcessFilter(4, x, y, nullptr, nullptr, true));
    CQTXDigitalFilter fpga(8, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(fpga.SetFilter(1, 0, 1.0));
    EXPECT_FALSE(fpga.ProcessFilter(4, x, y, nullptr, nullptr, true));
    CQTXDigitalFilter failed(-5, DF_HwSoftDouble, QTX_FilterBiquads);
    EXPECT_EQ(failed.GetMaximumOrder(), -1);
    EXPECT_FALSE(failed.SetFilter(0, 0, 1.0));
    EXPECT_FALSE(failed.ProcessFilter(4, x, y, nullptr, nullptr, true));

    // A filter that runs away: flags and result tell from where on.
    CQTXDigitalFilter unstable(8, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(unstable.SetFilter(1, 0, 1.0));
    ASSERT_TRUE(unstable.SetBiquadZP(0, 0, 0, 1e20, 0, DF_SingleReal, DF_SingleReal));
    bool flags[4];
    EXPECT_FALSE(unstable.ProcessFilter(4, x, y, nullptr, flags, true));
    EXPECT_TRUE(flags[0]);
    EXPECT_TRUE(flags[1]);
    EXPECT_FALSE(flags[2]);
}

TEST(FilterProcessing, ResponseOfAHandWorkedSection)
{
    // Zeros at -1, no poles: H(z) = gain (1 + 2 z^-1 + z^-2).
    CQTXDigitalFilter filter(4, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(filter.SetFilter(1, 1, 0.5));
    ASSERT_TRUE(filter.SetBiquadCoeff(0, 1, 2, 1, 1, 0, 0));
    const double fs = 1000;
    const double g = 0.5 / 2; // the pre-divider halves it
    const std::complex<double> quarter = filter.CalcFrequencyResponse(fs / 4, fs);
    EXPECT_NEAR(quarter.real(), 0, 1e-12);
    EXPECT_NEAR(quarter.imag(), -2 * g, 1e-12);
    EXPECT_NEAR(filter.GetFrequencyResponseGain(0, fs), 4 * g, 1e-15);
    EXPECT_NEAR(filter.GetFrequencyResponseGainIndB(0, fs), 0.0, 1e-12);
    EXPECT_NEAR(filter.GetFrequencyResponseGainIndB(fs / 4, fs), 20 * std::log10(0.5), 1e-12);
    EXPECT_NEAR(filter.GetFrequencyResponsePhase(fs / 4, fs), -M_PI / 2, 1e-12);

    // A sampling frequency of 0 and an empty filter answer 0.
    EXPECT_EQ(filter.CalcFrequencyResponse(10, 0), std::complex<double>(0, 0));
    EXPECT_EQ(filter.GetFrequencyResponsePhase(10, 0), 0.0);
    filter.ClearFilter();
    EXPECT_EQ(filter.GetFrequencyResponseGain(10, fs), 0.0);
    EXPECT_EQ(filter.GetFrequencyResponseGainIndB(10, fs), -HUGE_VAL);
}

TEST(FilterProcessing, SectionsFromZerosAndPoles)
{
    CQTXDigitalFilter filter(8, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(filter.SetFilter(1, 0, 1.0));
    const struct
    {
        double z1, z2, p1, p2;
        int zt, pt;
        bool ok;
        double b1, b2, a1, a2;
    } cases[] = {
        {0.5, 0.5, 0.9, 0.1, DF_ComplexPair, DF_ComplexPair, true, -1.0, 0.5, 1.8, -0.82},
        {-1, 0, 0.5, 0, DF_SingleReal, DF_SingleReal, true, 1.0, 0.0, 0.5, 0.0},
        {-1, -1, 0.5, 0.25, DF_TwoReal, DF_TwoReal, true, 2.0, 1.0, 0.75, -0.125},
        {-1, 0.1, 0.5, 0, DF_SingleReal, DF_SingleReal, false, 0, 0, 0, 0},
        {-1, 0, 0.5, 0.1, DF_SingleReal, DF_SingleReal, false, 0, 0, 0, 0},
        {-1, 0, 0.5, 0, 3, DF_SingleReal, false, 0, 0, 0, 0},
    };
    for (const auto& c : cases)
    {
        ASSERT_EQ(filter.SetBiquadZP(0, c.z1, c.z2, c.p1, c.p2, c.zt, c.pt), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(filter.GetParameter(0, DF_PropB0), 1.0);
        EXPECT_EQ(filter.GetParameter(0, DF_PropA0), 1.0);
        EXPECT_DOUBLE_EQ(filter.GetParameter(0, DF_PropB1), c.b1);
        EXPECT_DOUBLE_EQ(filter.GetParameter(0, DF_PropB2), c.b2);
        EXPECT_DOUBLE_EQ(filter.GetParameter(0, DF_PropA1), c.a1);
        EXPECT_DOUBLE_EQ(filter.GetParameter(0, DF_PropA2), c.a2);
    }
    EXPECT_FALSE(filter.SetBiquadZP(1, 0, 0, 0, 0, DF_TwoReal, DF_TwoReal)); // one section only
    EXPECT_FALSE(filter.SetFilter(5, 0, 1.0));                               // 8 / 2 sections
    EXPECT_FALSE(filter.SetFilter(1, 17, 1.0));
    EXPECT_FALSE(filter.SetFilter(1, 0, -16.5));
    EXPECT_EQ(filter.GetParameter(0, 10), 0.0);
    EXPECT_EQ(filter.GetParameter(8, DF_PropGain), 0.0);
}
