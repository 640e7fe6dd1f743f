#include "QTXRfft.h"

#include <cmath>
#include <mutex>
#include <vector>

namespace
{

// The prepared length is shared by the whole process; the lock keeps a transform from
// running on tables that another thread is replacing.
std::mutex gLock;
int numOfBits = 0;
std::vector<complexStruct> gw1; // twiddles of the inner complex transform
std::vector<complexStruct> gw2; // (cos(k pi / M), sin(k pi / M)) of the split step

void CleanupLocked()
{
    std::vector<complexStruct>().swap(gw1);
    std::vector<complexStruct>().swap(gw2);
    numOfBits = 0;
}

} // namespace

int getBitsFromSize(int N)
{
    for (int k = 6; k <= 19; ++k)
        if (N == (1 << k))
            return k - 1;
    return 0;
}

int GetRfftBits()
{
    std::lock_guard<std::mutex> lock(gLock);
    return numOfBits;
}

void CleanupRfft()
{
    std::lock_guard<std::mutex> lock(gLock);
    CleanupLocked();
}

int InitRfft(int N)
{
    std::lock_guard<std::mutex> lock(gLock);
    CleanupLocked();
    const int bits = getBitsFromSize(N);
    if (bits == 0)
        return 0;
    const int M = N / 2;
    gw1.assign(N, complexStruct{0.0, 0.0});
    gw2.assign(N, complexStruct{0.0, 0.0});
    const double step = 2.0 * M_PI / M;
    const complexStruct w{std::cos(step), -std::sin(step)};
    complexStruct v = w;
    for (int i = 1; i <= M / 2 - 1; ++i)
    {
        gw1[i - 1] = v;
        v = complexStruct{v.re * w.re - v.im * w.im, v.re * w.im + v.im * w.re};
    }
    for (int k = 1; k <= M - 1; ++k)
        gw2[k - 1] = complexStruct{std::cos(k * M_PI / M), std::sin(k * M_PI / M)};
    numOfBits = bits;
    return 1;
}

// Decimation in frequency. Two radix-2 stages at a time are done as one radix-4 stage, group
// by group, so that each pass walks the block in order: with W the twiddle of the first of the
// two stages (W^(span/4) = -i), the four values k, k + q, k + 2q, k + 3q of a group of span 4q
// become the results the two radix-2 stages give (twiddles W^2k, W^k and W^3k). An odd stage
// count ends with one radix-2 stage of half 1. A bit-reversal reorder then gives natural order.
void fft(complexStruct* x, int bits, const complexStruct* twiddles)
{
    const int M = 1 << bits;
    int span = M;
    int stride = 1; // W_span^k = twiddles[k * stride - 1]
    int stages = bits;
    for (; stages >= 2; stages -= 2, span /= 4, stride *= 4)
    {
        const int q = span / 4;
        for (int j = 0; j < M; j += span)
        {
            complexStruct* x0 = x + j;
            complexStruct* x1 = x0 + q;
            complexStruct* x2 = x1 + q;
            complexStruct* x3 = x2 + q;
            for (int k = 0; k < q; ++k)
            {
                const double t0r = x0[k].re + x2[k].re, t0i = x0[k].im + x2[k].im;
                const double t1r = x0[k].re - x2[k].re, t1i = x0[k].im - x2[k].im;
                const double t2r = x1[k].re + x3[k].re, t2i = x1[k].im + x3[k].im;
                const double t3r = x1[k].re - x3[k].re, t3i = x1[k].im - x3[k].im;
                // t1 - i t3 and t1 + i t3
                const double ur = t1r + t3i, ui = t1i - t3r;
                const double vr = t1r - t3i, vi = t1i + t3r;
                x0[k] = complexStruct{t0r + t2r, t0i + t2i};
                if (k == 0)
                {
                    x1[k] = complexStruct{t0r - t2r, t0i - t2i};
                    x2[k] = complexStruct{ur, ui};
                    x3[k] = complexStruct{vr, vi};
                    continue;
                }
                const complexStruct w1 = twiddles[k * stride - 1];
                const complexStruct w2 = twiddles[2 * k * stride - 1];
                const complexStruct w3{w1.re * w2.re - w1.im * w2.im,
                                       w1.re * w2.im + w1.im * w2.re};
                const double sr = t0r - t2r, si = t0i - t2i;
                x1[k] = complexStruct{sr * w2.re - si * w2.im, sr * w2.im + si * w2.re};
                x2[k] = complexStruct{ur * w1.re - ui * w1.im, ur * w1.im + ui * w1.re};
                x3[k] = complexStruct{vr * w3.re - vi * w3.im, vr * w3.im + vi * w3.re};
            }
        }
    }
    if (stages == 1)
    {
        for (int j = 0; j < M; j += 2)
        {
            const complexStruct a = x[j], b = x[j + 1];
            x[j] = complexStruct{a.re + b.re, a.im + b.im};
            x[j + 1] = complexStruct{a.re - b.re, a.im - b.im};
        }
    }
    int j = 0;
    for (int i = 1; i <= M - 2; ++i)
    {
        int m = M / 2;
        while (m <= j)
        {
            j -= m;
            m /= 2;
        }
        j += m;
        if (i < j)
        {
            const complexStruct t = x[i];
            x[i] = x[j];
            x[j] = t;
        }
    }
}

int rfft(double* samples, complexStruct* out)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (numOfBits == 0)
        return 0;
    const int M = 1 << numOfBits;
    // The samples, read as M complex values (s[2n], s[2n + 1]), are transformed in place.
    complexStruct* z = reinterpret_cast<complexStruct*>(samples);
    fft(z, numOfBits, gw1.data());
    out[0] = complexStruct{z[0].re + z[0].im, 0.0};
    for (int k = 1; k < M; ++k)
    {
        const complexStruct a = z[k], b = z[M - k];
        const double c = gw2[k - 1].re, s = gw2[k - 1].im;
        const double p = (a.re + b.re) / 2, q = (a.im + b.im) / 2;
        const double r = (a.re - b.re) / 2, t = (a.im - b.im) / 2;
        out[k] = complexStruct{p + c * q - s * r, t - s * q - c * r};
    }
    return 1;
}

int AbsArray(const complexStruct* spectrum, double* out)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (numOfBits == 0 || spectrum == nullptr || out == nullptr)
        return 0;
    const int M = 1 << numOfBits;
    for (int k = 0; k < M; ++k)
        out[k] = std::hypot(spectrum[k].re, spectrum[k].im) / M;
    return 1;
}

int AbsSquareArray(const complexStruct* spectrum, double* out)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (numOfBits == 0 || spectrum == nullptr || out == nullptr)
        return 0;
    const int M = 1 << numOfBits;
    for (int k = 0; k < M; ++k)
        out[k] = spectrum[k].re * spectrum[k].re + spectrum[k].im * spectrum[k].im;
    return 1;
}
