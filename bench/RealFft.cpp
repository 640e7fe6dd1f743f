// The real FFT of the framework beside FFTW on the same random blocks of 1,024 to 65,536
// samples. rfft uses its sample block as work space, so every iteration of both copies the
// block first; FFTW runs a plan made with FFTW_MEASURE (its fastest), out of place.

#include "QTXRfft.h"

#include <benchmark/benchmark.h>

#ifdef KOVE_BENCH_FFTW
#include <fftw3.h>
#endif

#include <cstring>
#include <random>
#include <vector>

namespace
{

std::vector<double> RandomBlock(int n)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> s(n);
    for (double& v : s)
        v = dist(rng);
    return s;
}

void BM_Rfft(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    if (InitRfft(n) != 1)
    {
        state.SkipWithError("InitRfft failed");
        return;
    }
    const std::vector<double> input = RandomBlock(n);
    std::vector<double> work(n);
    std::vector<complexStruct> out(n / 2);
    for (auto _ : state)
    {
        std::memcpy(work.data(), input.data(), sizeof(double) * n);
        rfft(work.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    CleanupRfft();
}
BENCHMARK(BM_Rfft)->RangeMultiplier(2)->Range(1024, 65536);

#ifdef KOVE_BENCH_FFTW
void BM_Fftw(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    double* work = fftw_alloc_real(n);
    fftw_complex* out = fftw_alloc_complex(n / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, work, out, FFTW_MEASURE);
    const std::vector<double> input = RandomBlock(n);
    for (auto _ : state)
    {
        std::memcpy(work, input.data(), sizeof(double) * n);
        fftw_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
    fftw_destroy_plan(plan);
    fftw_free(out);
    fftw_free(work);
}
BENCHMARK(BM_Fftw)->RangeMultiplier(2)->Range(1024, 65536);
#endif

} // namespace
