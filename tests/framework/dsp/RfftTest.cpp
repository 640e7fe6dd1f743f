// The real FFT against a direct DFT.
#include "QTXRfft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

TEST(Rfft, PreparesOnlySupportedLengths)
{
    EXPECT_EQ(InitRfft(32), 0);
    EXPECT_EQ(GetRfftBits(), 0);
    EXPECT_EQ(InitRfft(1048576), 0);
    EXPECT_EQ(InitRfft(100), 0);
    EXPECT_EQ(InitRfft(64), 1);
    EXPECT_EQ(GetRfftBits(), 5);
    EXPECT_EQ(getBitsFromSize(524288), 18);
    EXPECT_EQ(getBitsFromSize(128 + 1), 0);

    CleanupRfft();
    std::vector<double> s(64, 1.0), mag(32);
    std::vector<complexStruct> out(32);
    EXPECT_EQ(rfft(s.data(), out.data()), 0);
    EXPECT_EQ(AbsArray(out.data(), mag.data()), 0);
    EXPECT_EQ(AbsSquareArray(out.data(), mag.data()), 0);
}

TEST(Rfft, MatchesDirectDftOfRandomSignals)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (int N : {64, 128, 1024})
    {
        ASSERT_EQ(InitRfft(N), 1);
        std::vector<double> s(N);
        for (double& v : s)
            v = dist(rng);
        const std::vector<double> input = s;
        std::vector<complexStruct> out(N / 2);
        ASSERT_EQ(rfft(s.data(), out.data()), 1);
        for (int k = 0; k < N / 2; ++k)
        {
            double re = 0, im = 0;
            for (int n = 0; n < N; ++n)
            {
                const double a = -2.0 * M_PI * double(n) * k / N;
                re += input[n] * std::cos(a);
                im += input[n] * std::sin(a);
            }
            ASSERT_NEAR(out[k].re, re, 1e-9) << N << " bin " << k;
            ASSERT_NEAR(out[k].im, im, 1e-9) << N << " bin " << k;
        }
    }
    CleanupRfft();
}

TEST(Rfft, ComplexTransformInNaturalOrder)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (int bits = 0; bits <= 7; ++bits)
    {
        const int M = 1 << bits;
        // The twiddle table as InitRfft makes it for this size.
        std::vector<complexStruct> twiddles(M);
        for (int i = 1; i < M / 2; ++i)
            twiddles[i - 1] = {std::cos(2 * M_PI * i / M), -std::sin(2 * M_PI * i / M)};
        std::vector<complexStruct> x(M);
        for (complexStruct& v : x)
            v = {dist(rng), dist(rng)};
        const std::vector<complexStruct> input = x;
        fft(x.data(), bits, twiddles.data());
        for (int k = 0; k < M; ++k)
        {
            double re = 0, im = 0;
            for (int n = 0; n < M; ++n)
            {
                const double a = -2.0 * M_PI * double(n) * k / M;
                re += input[n].re * std::cos(a) - input[n].im * std::sin(a);
                im += input[n].re * std::sin(a) + input[n].im * std::cos(a);
            }
            ASSERT_NEAR(x[k].re, re, 1e-12) << M << " bin " << k;
            ASSERT_NEAR(x[k].im, im, 1e-12) << M << " bin " << k;
        }
    }
}

// The largest lengths, where the twiddles made by repeated multiplication have drifted most:
// tones of known amplitude and phase on their bins, nothing elsewhere.
TEST(Rfft, TonesOnTheLargestLengths)
{
    for (int N : {65536, 131072, 524288})
    {
        ASSERT_EQ(InitRfft(N), 1);
        const int M = N / 2;
        const struct
        {
            int bin;
            double amplitude, phase;
        } tones[] = {{1, 0.5, 0.3}, {777, 1.0, -1.0}, {M - 1, 0.25, 2.0}};
        std::vector<double> s(N, 0.125);
        for (const auto& t : tones)
            for (int n = 0; n < N; ++n)
                s[n] += t.amplitude * std::cos(2 * M_PI * double(t.bin) * n / N + t.phase);
        std::vector<complexStruct> out(M);
        ASSERT_EQ(rfft(s.data(), out.data()), 1);
        const double tolerance = 1e-10 * N; // the values reach N / 2
        std::vector<double> expected(M, 0.0);
        expected[0] = 0.125 * N;
        for (const auto& t : tones)
        {
            EXPECT_NEAR(out[t.bin].re, t.amplitude * N / 2 * std::cos(t.phase), tolerance) << N;
            EXPECT_NEAR(out[t.bin].im, t.amplitude * N / 2 * std::sin(t.phase), tolerance) << N;
            expected[t.bin] = t.amplitude * N / 2;
        }
        double worst = 0;
        for (int k = 0; k < M; ++k)
            worst = std::max(worst, std::fabs(std::hypot(out[k].re, out[k].im) - expected[k]));
        EXPECT_LT(worst, tolerance) << N;
    }
    CleanupRfft();
}

TEST(Rfft, MagnitudesOfConstantAndCosine)
{
    const int N = 256, M = N / 2;
    ASSERT_EQ(InitRfft(N), 1);
    std::vector<double> s(N, 1.0), mag(M), sq(M);
    std::vector<complexStruct> out(M);
    ASSERT_EQ(rfft(s.data(), out.data()), 1);
    ASSERT_EQ(AbsArray(out.data(), mag.data()), 1);
    ASSERT_EQ(AbsSquareArray(out.data(), sq.data()), 1);
    EXPECT_NEAR(out[0].re, N, 1e-9);
    EXPECT_NEAR(mag[0], 2.0, 1e-12);
    EXPECT_NEAR(sq[0], double(N) * N, 1e-6);
    for (int k = 1; k < M; ++k)
        EXPECT_NEAR(mag[k], 0.0, 1e-12);

    for (int n = 0; n < N; ++n)
        s[n] = std::cos(2.0 * M_PI * 3 * n / N);
    ASSERT_EQ(rfft(s.data(), out.data()), 1);
    ASSERT_EQ(AbsArray(out.data(), mag.data()), 1);
    EXPECT_NEAR(mag[3], 1.0, 1e-12);
    EXPECT_NEAR(mag[4], 0.0, 1e-12);
    CleanupRfft();
}
