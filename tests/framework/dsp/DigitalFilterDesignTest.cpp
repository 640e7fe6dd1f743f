// Filter designs against the textbook magnitude responses of their characteristics. The design
// maps the analog corner pi * fc / fs through the bilinear transform, so a digital frequency f
// stands for the analog frequency tan(pi * f / fs) of the prototype.
#include "QTXDigitalFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{

// Chebyshev polynomial T_n(x), x >= 0.
double Chebyshev(int n, double x)
{
    return x <= 1.0 ? std::cos(n * std::acos(x)) : std::cosh(n * std::acosh(x));
}

double RippleFactor(double dB)
{
    return std::sqrt(std::pow(10.0, std::fabs(dB) / 10.0) - 1.0);
}

// Analog frequency of f relative to the prototype's corner.
double Relative(double f, double fs, double fc)
{
    return std::tan(M_PI * f / fs) / (M_PI * fc / fs);
}

struct Design
{
    int characteristic;
    int order; // as asked; odd orders are designed one higher
    double fs, fc;
    int hwId;
};

std::string Describe(const Design& d)
{
    std::ostringstream s;
    s << "characteristic " << d.characteristic << " order " << d.order << " fs " << d.fs << " fc "
      << d.fc << " hw " << d.hwId;
    return s.str();
}

} // namespace

TEST(DigitalFilterDesign, MagnitudesFollowTheCharacteristics)
{
    const double pass = 0.5, stop = 60.0;
    const Design designs[] = {
        {DF_Butterworth, 2, 10000, 1000, DF_HwSoftDouble},
        {DF_Butterworth, 3, 48000, 3000, DF_HwFpga},
        {DF_Butterworth, 8, 10240, 50, DF_HwFpga},
        {DF_Chebyshev, 4, 10000, 1000, DF_HwSoftDouble},
        {DF_Chebyshev, 6, 100000, 400, DF_HwFpga},
        {DF_InverseChebyshev, 4, 10000, 1500, DF_HwSoftDouble},
        {DF_InverseChebyshev, 8, 48000, 2000, DF_HwFpga},
    };
    for (const Design& d : designs)
    {
        SCOPED_TRACE(Describe(d));
        CQTXDigitalFilter filter(64, d.hwId, QTX_FilterBiquads);
        // Without unity DC gain, the designs' own gains are the textbook ones.
        ASSERT_TRUE(
            filter.GenerateLowpassFilter(d.characteristic, d.order, d.fs, d.fc, pass, stop, false));
        const int n = (d.order + 1) / 2 * 2;
        EXPECT_EQ(filter.GetCoefficientCount(), n);
        const double eps = RippleFactor(pass), epsStop = 1.0 / RippleFactor(stop);
        for (int i = 0; i < 200; ++i)
        {
            const double f = d.fs / 2 * i / 200.0;
            const double w = Relative(f, d.fs, d.fc);
            double expected = 0; // squared magnitude
            switch (d.characteristic)
            {
            case DF_Butterworth:
                expected = 1.0 / (1.0 + std::pow(w, 2 * n));
                break;
            case DF_Chebyshev:
                expected = 1.0 / (1.0 + eps * eps * std::pow(Chebyshev(n, w), 2));
                break;
            default:
            {
                const double t = f == 0 ? HUGE_VAL : epsStop * Chebyshev(n, 1.0 / w);
                expected = f == 0 ? 1.0 : t * t / (1.0 + t * t);
            }
            }
            const double gain = filter.GetFrequencyResponseGain(f, d.fs);
            ASSERT_NEAR(gain, std::sqrt(expected), 1e-7 + 1e-6 * std::sqrt(expected)) << "f " << f;
        }
    }
}

TEST(DigitalFilterDesign, CornerDcGainAndRipple)
{
    const double fs = 10000, fc = 1000;
    const double corner = fs / M_PI * std::atan(M_PI * fc / fs); // where the analog corner lands
    for (int hw : {DF_HwFpga, DF_HwSoftDouble})
    {
        SCOPED_TRACE(hw);
        CQTXDigitalFilter butterworth(16, hw, QTX_FilterBiquads);
        ASSERT_TRUE(butterworth.GenerateLowpassFilter(DF_Butterworth, 6, fs, fc, 0.1, 80, true));
        EXPECT_NEAR(butterworth.GetFrequencyResponseGain(corner, fs), 1 / std::sqrt(2.0), 1e-9);
        EXPECT_NEAR(butterworth.GetFrequencyResponseGainIndB(corner, fs), -3.0103, 1e-4);

        // Unity DC gain for every characteristic; the pass band stays within its level, and the
        // stop band of the elliptic design beyond its edge ratio within its level.
        for (int c : {DF_Butterworth, DF_Chebyshev, DF_InverseChebyshev, DF_Elliptic})
        {
            SCOPED_TRACE(c);
            const double pass = 1.0, stop = 50.0;
            CQTXDigitalFilter filter(16, hw, QTX_FilterBiquads);
            ASSERT_TRUE(filter.GenerateLowpassFilter(c, 6, fs, fc, pass, stop, true));
            EXPECT_NEAR(filter.GetFrequencyResponseGain(0, fs), 1.0, 1e-12);
            EXPECT_NEAR(filter.GetFrequencyResponseGainIndB(0, fs), 0.0, 1e-10);
            if (c == DF_Chebyshev || c == DF_Elliptic)
            {
                // Equiripple: the pass band swings over exactly the pass-band level (lifted
                // by the unity DC gain, as an even order starts at a ripple minimum).
                double high = -HUGE_VAL, low = HUGE_VAL;
                for (double f = 0; f <= corner; f += corner / 2000)
                {
                    const double dB = filter.GetFrequencyResponseGainIndB(f, fs);
                    high = std::max(high, dB);
                    low = std::min(low, dB);
                }
                EXPECT_NEAR(low, 0.0, 1e-9);
                EXPECT_NEAR(high - low, pass, 1e-5);
            }
            if (c == DF_Elliptic)
            {
                ASSERT_GT(filter.GetEdgeRatio(), 1.0);
                const double edge = fs / M_PI * std::atan(filter.GetEdgeRatio() * M_PI * fc / fs);
                for (double f = edge; f < fs / 2; f += (fs / 2 - edge) / 100)
                    ASSERT_LE(filter.GetFrequencyResponseGainIndB(f, fs), -stop + 1e-6) << f;
            }
        }
    }
}

TEST(DigitalFilterDesign, FpgaDesignsUseThePreDividerAndSortTheSections)
{
    CQTXDigitalFilter filter(16, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(filter.GenerateLowpassFilter(DF_Butterworth, 8, 10240, 50, 0.1, 80, true));
    // A narrow filter has a tiny gain: the pre-divider brings it up into [0.25 / 2^S, 0.25).
    const int sections = filter.GetNumberOfBiquads();
    EXPECT_GT(filter.GetPreDivider(), 0);
    EXPECT_LT(filter.GetGain(), 0.25);
    EXPECT_GE(filter.GetGain(), 0.25 / std::ldexp(1.0, sections));
    double previous = 0;
    for (int i = 0; i < sections; ++i)
    {
        EXPECT_EQ(filter.GetParameter(i, DF_PropB0), 1.0);
        EXPECT_EQ(filter.GetParameter(i, DF_PropA0), 1.0);
        const double key = std::fabs(filter.GetParameter(i, DF_PropA1)) +
                           std::fabs(filter.GetParameter(i, DF_PropA2));
        EXPECT_GE(key, previous);
        previous = key;
    }

    // Software filters keep the pre-divider at 0.
    CQTXDigitalFilter soft(16, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(soft.GenerateLowpassFilter(DF_Butterworth, 8, 10240, 50, 0.1, 80, true));
    EXPECT_EQ(soft.GetPreDivider(), 0);
}

TEST(DigitalFilterDesign, RefusedDesignsLeaveTheFilterCleared)
{
    struct Case
    {
        int maxOrder, hw, structure, characteristic, order;
        double fs, fc, pass, stop;
    };
    const Case cases[] = {
        // one section too narrow for 16 doublings of its gain
        {16, DF_HwFpga, QTX_FilterBiquads, DF_Butterworth, 2, 1e6, 100, 0.1, 80},
        {16, DF_HwSoftDouble, QTX_FilterBiquads, DF_Butterworth, 1, 1e4, 100, 0.1, 80},
        {16, DF_HwSoftDouble, QTX_FilterBiquads, DF_Butterworth, 18, 1e4, 100, 0.1, 80},
        {16, DF_HwSoftDouble, QTX_FilterBiquads, 4, 4, 1e4, 100, 0.1, 80},
        {16, DF_HwSoftDouble, QTX_FilterFIR, DF_Butterworth, 4, 1e4, 100, 0.1, 80},
        {16, DF_HwSoftDouble, QTX_FilterBiquads, DF_Butterworth, 4, 0, 100, 0.1, 80},
        {16, DF_HwSoftDouble, QTX_FilterBiquads, DF_Butterworth, 4, 1e4, -5, 0.1, 80},
        {16, DF_HwSoftDouble, QTX_FilterBiquads, DF_Chebyshev, 4, 1e4, 100, 0, 80},
        // stop and pass levels too close for an elliptic design
        {16, DF_HwSoftDouble, QTX_FilterBiquads, DF_Elliptic, 4, 1e4, 100, 1, 1},
    };
    for (const Case& c : cases)
    {
        CQTXDigitalFilter filter(c.maxOrder, c.hw, c.structure);
        filter.SetFilter(1, 1, 2.0);
        EXPECT_FALSE(filter.GenerateLowpassFilter(c.characteristic, c.order, c.fs, c.fc, c.pass,
                                                  c.stop, true))
            << c.characteristic << " order " << c.order << " fs " << c.fs << " fc " << c.fc;
        if (c.structure == QTX_FilterBiquads && c.order >= 2 && c.order <= c.maxOrder)
        {
            EXPECT_EQ(filter.GetCoefficientCount(), 0);
            EXPECT_EQ(filter.GetGain(), 0.0);
        }
    }
}

TEST(DigitalFilterDesign, DebugScriptsBeforeAndAfterTheBilinearMapping)
{
    char dir[] = "/tmp/filterdesignXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = std::string(dir) + "/low";
    CQTXDigitalFilter filter(8, DF_HwFpga, QTX_FilterBiquads);
    filter.SetDebugFileName(base + ".m");
    ASSERT_TRUE(filter.GenerateLowpassFilter(DF_Elliptic, 4, 10000, 1000, 0.1, 60, true));
    for (const char* suffix : {"_ana", "_dig"})
    {
        std::ifstream in(base + suffix + ".m");
        ASSERT_TRUE(in) << suffix;
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_NE(text.str().find("Cauer"), std::string::npos);
        EXPECT_NE(text.str().find("# Octave(Matlab file for digital filter\nNumberOfBiQuads = 2\n"),
                  std::string::npos);
        EXPECT_NE(text.str().find("BQ_b = ["), std::string::npos);
        std::remove((base + suffix + ".m").c_str());
    }
    rmdir(dir);
}
