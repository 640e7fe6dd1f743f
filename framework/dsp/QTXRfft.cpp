#include "QTXRfft.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace
{

// The prepared length is shared by the whole process; the lock keeps a transform from
// running on tables that another thread is replacing.
std::mutex gLock;
int numOfBits = 0;
std::vector<complexStruct> gw1; // twiddles of the inner complex transform
std::vector<complexStruct> gw2; // (cos(k pi / M), sin(k pi / M)) of the split step
// Derived from gw1 for the prepared length: the twiddles of each radix-4 pass in the order the
// pass uses them, and where the bit-reversal puts each value.
std::vector<complexStruct> gPassTwiddles;
std::vector<uint32_t> gReverse;

void CleanupLocked()
{
    std::vector<complexStruct>().swap(gw1);
    std::vector<complexStruct>().swap(gw2);
    std::vector<complexStruct>().swap(gPassTwiddles);
    std::vector<uint32_t>().swap(gReverse);
    numOfBits = 0;
}

complexStruct Multiply(complexStruct a, complexStruct b)
{
    return complexStruct{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// A complex value as a vector of two doubles (SIMD where the target has it, plain doubles
// elsewhere).
typedef double V2 __attribute__((vector_size(16)));

inline V2 Load(const complexStruct* p)
{
    V2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void Store(complexStruct* p, V2 v)
{
    std::memcpy(p, &v, sizeof v);
}

// a * w with w given as (w.re, w.im) and (-w.im, w.re).
inline V2 MultiplyBy(V2 a, const complexStruct* w)
{
    const V2 re = {a[0], a[0]}, im = {a[1], a[1]};
    return re * Load(w) + im * Load(w + 1);
}

// The radix-4 butterfly of values k, k + q, k + 2q, k + 3q of a group; without twiddles
// (k = 0) when w is null, else w holds W^k, W^2k and W^3k, each in the form of MultiplyBy.
inline void Butterfly4(complexStruct* x0, complexStruct* x1, complexStruct* x2, complexStruct* x3,
                       const complexStruct* w)
{
    const V2 a0 = Load(x0), a1 = Load(x1), a2 = Load(x2), a3 = Load(x3);
    const V2 t0 = a0 + a2, t1 = a0 - a2, t2 = a1 + a3, t3 = a1 - a3;
    const V2 t3i = {t3[1], -t3[0]}; // -i t3
    const V2 s = t0 - t2, u = t1 + t3i, v = t1 - t3i;
    Store(x0, t0 + t2);
    if (w == nullptr)
    {
        Store(x1, s);
        Store(x2, u);
        Store(x3, v);
        return;
    }
    Store(x1, MultiplyBy(s, w + 2));
    Store(x2, MultiplyBy(u, w));
    Store(x3, MultiplyBy(v, w + 4));
}

// Decimation in frequency, two radix-2 stages at a time as one radix-4 pass, group by group,
// so that each pass walks the block in order. With W the twiddle of the first of the two
// stages in a group of span 4q (W^q = -i), the values k, k + q, k + 2q, k + 3q become what the
// two radix-2 stages give: twiddles W^2k, W^k and W^3k. For every pass with q > 1 the table
// holds W^k, W^2k, W^3k (as MultiplyBy takes them) for k = 1 .. q - 1, pass after pass. An odd
// stage count ends with a radix-2 stage of half 1. The results are left in bit-reversed order.
void Radix4Passes(complexStruct* x, int bits, const complexStruct* passTwiddles)
{
    const int M = 1 << bits;
    int stages = bits;
    for (int span = M; stages >= 2; stages -= 2, span /= 4)
    {
        const int q = span / 4;
        for (int j = 0; j < M; j += span)
        {
            complexStruct* x0 = x + j;
            Butterfly4(x0, x0 + q, x0 + 2 * q, x0 + 3 * q, nullptr);
            for (int k = 1; k < q; ++k)
                Butterfly4(x0 + k, x0 + q + k, x0 + 2 * q + k, x0 + 3 * q + k,
                           passTwiddles + 6 * (k - 1));
        }
        if (q > 1)
            passTwiddles += 6 * (q - 1);
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
}

// The pass table of Radix4Passes from a table of the gw1 form: twiddles[i - 1] =
// e^(-i 2 pi i / M).
std::vector<complexStruct> PassTwiddles(int bits, const complexStruct* twiddles)
{
    const int M = 1 << bits;
    std::vector<complexStruct> table;
    int stride = 1; // W^k = twiddles[k * stride - 1] in a pass of span M / stride
    for (int span = M; span >= 4; span /= 4, stride *= 4)
        for (int k = 1; k < span / 4; ++k)
        {
            const complexStruct w1 = twiddles[k * stride - 1];
            const complexStruct w2 = twiddles[2 * k * stride - 1];
            for (const complexStruct w : {w1, w2, Multiply(w1, w2)})
            {
                table.push_back(w);
                table.push_back(complexStruct{-w.im, w.re});
            }
        }
    return table;
}

// Calls exchange(i, j) for every pair of the bit-reversal reorder of M values.
template <typename Exchange> void ForEachBitReversalPair(int M, Exchange exchange)
{
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
            exchange(i, j);
    }
}

void Exchange(complexStruct* x, int i, int j)
{
    const complexStruct t = x[i];
    x[i] = x[j];
    x[j] = t;
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
        v = Multiply(v, w);
    }
    for (int k = 1; k <= M - 1; ++k)
        gw2[k - 1] = complexStruct{std::cos(k * M_PI / M), std::sin(k * M_PI / M)};
    gPassTwiddles = PassTwiddles(bits, gw1.data());
    gReverse.resize(M);
    for (int i = 0; i < M; ++i)
        gReverse[i] = uint32_t(i);
    ForEachBitReversalPair(M, [](int i, int j) { std::swap(gReverse[i], gReverse[j]); });
    numOfBits = bits;
    return 1;
}

void fft(complexStruct* x, int bits, const complexStruct* twiddles)
{
    if (bits < 0)
        return;
    Radix4Passes(x, bits, PassTwiddles(bits, twiddles).data());
    ForEachBitReversalPair(1 << bits, [x](int i, int j) { Exchange(x, i, j); });
}

int rfft(double* samples, complexStruct* out)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (numOfBits == 0)
        return 0;
    const int M = 1 << numOfBits;
    // The samples, read as M complex values (s[2n], s[2n + 1]), are transformed in place; the
    // split step below reads Z[k] from its bit-reversed place, so the work space keeps that
    // order.
    complexStruct* y = reinterpret_cast<complexStruct*>(samples);
    Radix4Passes(y, numOfBits, gPassTwiddles.data());
    const uint32_t* reverse = gReverse.data();
    out[0] = complexStruct{y[0].re + y[0].im, 0.0};
    // X[k] and X[M - k] from the same pair a = Z[k], b = Z[M - k]; the split twiddle of M - k
    // is (-c, s).
    for (int k = 1; k <= M / 2; ++k)
    {
        const complexStruct a = y[reverse[k]], b = y[reverse[M - k]];
        const double c = gw2[k - 1].re, s = gw2[k - 1].im;
        const double p = (a.re + b.re) / 2, q = (a.im + b.im) / 2;
        const double r = (a.re - b.re) / 2, t = (a.im - b.im) / 2;
        out[k] = complexStruct{p + c * q - s * r, t - s * q - c * r};
        out[M - k] = complexStruct{p - c * q + s * r, -t - s * q - c * r};
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
