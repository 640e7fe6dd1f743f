// The subsampling chain of an input whose ADC is clocked from the FPGA clock through a
// fractional divider and whose samples leave on the fiber-optic link at a lower rate: the
// divider, up to four subsampling stages, and the anti-aliasing filter frequencies per stage.
#include "QTXDigitalFilter.h"

#include <climits>
#include <cmath>
#include <cstdio>

namespace
{

double DistanceToInteger(double v)
{
    return std::fabs(v - std::round(v));
}

struct ReportFile
{
    FILE* f = nullptr;
    explicit ReportFile(const std::string& name)
    {
        if (!name.empty())
            f = std::fopen(name.c_str(), "w");
    }
    ~ReportFile()
    {
        if (f)
            std::fclose(f);
    }
    template <typename... Args> void Print(const char* format, Args... args)
    {
        if (f)
            std::fprintf(f, format, args...);
    }
};

} // namespace

bool FindOptimumSubsampling(double clock, double minimumRate, double maximumRate, double targetRate,
                            double lastStageLimit, int n, int M, int fractionBits, int* factors,
                            double* divisor, int* error)
{
    // The clock as a whole number of Hz is the error that no combination reaches.
    const double clockLimit = std::trunc(clock);
    if (!(clockLimit >= 1.0 && clockLimit <= INT_MAX) || error == nullptr)
        return false;
    *error = static_cast<int>(clockLimit);
    if (n < 1 || n > 4 || fractionBits < 0 || fractionBits > 29 || M < 1 || factors == nullptr ||
        divisor == nullptr || !(targetRate > 0.0) || !std::isfinite(targetRate))
        return false;

    const double scale = std::ldexp(1.0, fractionBits);
    const double wanted = std::round(clock / targetRate);
    long long bestError = static_cast<long long>(clockLimit);
    double bestDivisor = 0.0;
    int f[4] = {1, 1, 1, 1};
    f[n - 1] = M;
    for (;;)
    {
        double product = 1.0;
        for (int i = 0; i < n; ++i)
            product *= f[i];
        const double d = std::round(clock / (product * targetRate) * scale) / scale;
        const double rate = clock / d;
        const bool lastStageFits =
            lastStageLimit < 1.0 || f[n - 1] * targetRate / (3.0 * M) < lastStageLimit;
        if (d > 0.0 && rate >= minimumRate && rate <= maximumRate && lastStageFits)
        {
            const double e = std::fabs(wanted - product * std::trunc(d));
            if (e < static_cast<double>(LLONG_MAX))
            {
                const long long candidate = static_cast<long long>(e);
                const bool better = candidate < bestError ||
                                    (candidate == bestError && bestDivisor > d) ||
                                    (candidate == bestError && std::fabs(bestDivisor - d) < 0.001 &&
                                     DistanceToInteger(bestDivisor) > 1.01 * DistanceToInteger(d));
                if (better)
                {
                    for (int i = 0; i < n; ++i)
                        factors[i] = f[i];
                    bestDivisor = d;
                    bestError = candidate;
                }
            }
        }
        // Next tuple: the last factor counts down from M to 1, the ones before it count up
        // like an odometer whenever it wraps.
        if (--f[n - 1] >= 1)
            continue;
        f[n - 1] = M;
        int i = n - 2;
        while (i >= 0 && ++f[i] > M)
        {
            f[i] = 1;
            --i;
        }
        if (i < 0)
            break;
    }
    *divisor = bestDivisor;
    *error = static_cast<int>(bestError);
    return bestError < static_cast<long long>(clockLimit);
}

int CQTXDigitalFilter::PrepareAntiAliasingFilter(double minAdcRate, double maxAdcRate,
                                                 double outputRate, int maxStages, int maxFactor,
                                                 double lastStageCorner, double cornerFraction,
                                                 double clock, int fractionBits, int32_t* words,
                                                 double* frequencies)
{
    if (!IsBiquad())
        return -1;
    ReportFile report(m_sDebugFileName);
    if (maxStages < 1 || maxStages > 4 || fractionBits < 0 || fractionBits > 31)
    {
        report.Print("ERROR: MaxStages (got %d, allowed 1..4) or FractionBits (got %d, allowed 0 "
                     ".. 31) are out of range!\n",
                     maxStages, fractionBits);
        return 0;
    }
    const char* const notFound =
        "ERROR: Can not find a valid combination for filter and subsampling!\n";
    if (words == nullptr || frequencies == nullptr || !(outputRate > 0.0) || !(minAdcRate > 0.0) ||
        !(maxAdcRate >= minAdcRate) || maxFactor < 1 || !std::isfinite(outputRate) ||
        !std::isfinite(maxAdcRate))
    {
        report.Print("%s", notFound);
        return 0;
    }

    // An output slower than the stages can reach is made by an extra factor m on top.
    double target = outputRate;
    double m = 1.0;
    if (outputRate > maxAdcRate)
        target = maxAdcRate;
    else
    {
        const double slowest = minAdcRate / std::pow(static_cast<double>(maxFactor), maxStages);
        if (slowest > outputRate)
        {
            m = std::trunc(slowest / outputRate + 0.99999);
            target = outputRate * m;
        }
    }

    int factors[4] = {1, 1, 1, 1};
    double divisor = 0.0;
    int error = 0;
    if (!FindOptimumSubsampling(clock, minAdcRate, maxAdcRate, target, lastStageCorner, maxStages,
                                maxFactor, fractionBits, factors, &divisor, &error))
    {
        report.Print("%s", notFound);
        return 0;
    }
    // Leading stages that do not subsample are left out; the last one always stays.
    int first = 0;
    while (first < maxStages - 1 && factors[first] == 1)
        ++first;
    const int used = maxStages - first;
    double total = m;
    for (int i = first; i < maxStages; ++i)
        total *= factors[i];
    if (total > INT_MAX)
    {
        report.Print("%s", notFound);
        return 0;
    }

    words[0] = static_cast<int32_t>(std::lround((divisor - 1.0) * 65536.0));
    words[1] = static_cast<int32_t>(total) - 1;
    words[2] = 0;
    for (int i = 0; i < used - 1; ++i)
        words[2 + i] = (factors[first + i] - 1) * 256;

    double rate = clock / divisor;
    for (int i = 0; i < used; ++i)
    {
        const int factor = factors[first + i];
        frequencies[2 * i] = rate;
        frequencies[2 * i + 1] = rate / factor * cornerFraction;
        if (i == used - 1 && lastStageCorner >= 1.0)
            frequencies[2 * i + 1] = lastStageCorner;
        rate /= factor;
    }
    // No stage filters below a later one.
    for (int i = used - 2; i >= 0; --i)
        if (frequencies[2 * i + 1] < frequencies[2 * i + 3])
            frequencies[2 * i + 1] = frequencies[2 * i + 3];

    const double adcRate = clock / divisor;
    report.Print("Fiber Optic: fs=%lg kHz, T=%lf us\n", outputRate / 1000.0, 1e6 / outputRate);
    report.Print("ADC:         fs=%lg kHz, T=%.3lf/%.1lfMHz=%.3lf us. %d*T=%lf us (differing by "
                 "%d FPGA clocks to the FO period)\n",
                 adcRate / 1000.0, divisor, clock / 1e6, 1e6 / adcRate, static_cast<int>(total),
                 total * 1e6 / adcRate, error);
    report.Print("Subsampling: %d stages: ", used);
    for (int i = 0; i < used; ++i)
        report.Print(" Stage%d=%d, ", i + 1, factors[first + i]);
    report.Print("Total subsampling=%d\n", static_cast<int>(total));
    for (int i = 0; i < used; ++i)
    {
        const int factor = factors[first + i];
        report.Print("Stage %d: fs_input=%lg kHz, Subsampling=%d, fs_output=%lg kHz, Filter: "
                     "fs=%lg kHz, fc=%lg kHz\n",
                     i + 1, frequencies[2 * i] / 1000.0, factor,
                     frequencies[2 * i] / factor / 1000.0, frequencies[2 * i] / 1000.0,
                     frequencies[2 * i + 1] / 1000.0);
    }
    return used;
}
