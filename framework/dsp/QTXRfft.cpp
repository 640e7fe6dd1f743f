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

void fft(complexStruct* x, int bits, const complexStruct* twiddles)
{
    const int M = 1 << bits;
    int half = M;
    int stride = 1;
    for (int stage = 0; stage < bits; ++stage)
    {
        half /= 2;
        const int span = 2 * half;
        for (int j = 0; j < M; j += span)
        {
            const complexStruct a = x[j], b = x[j + half];
            x[j] = complexStruct{a.re + b.re, a.im + b.im};
            x[j + half] = complexStruct{a.re - b.re, a.im - b.im};
        }
        for (int k = 1; k < half; ++k)
        {
            const complexStruct w = twiddles[k * stride - 1];
            for (int j = k; j < M; j += span)
            {
                const complexStruct a = x[j], b = x[j + half];
                const double dr = a.re - b.re, di = a.im - b.im;
                x[j] = complexStruct{a.re + b.re, a.im + b.im};
                x[j + half] = complexStruct{dr * w.re - di * w.im, dr * w.im + di * w.re};
            }
        }
        stride *= 2;
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
