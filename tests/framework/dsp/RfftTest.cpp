// The real FFT against a direct DFT.
#include "QTXRfft.h"

#include <gtest/gtest.h>

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
