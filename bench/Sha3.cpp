// SHA3-256 of the framework beside OpenSSL's on a block of 1 MiB: one digest per iteration,
// from opening the instance to the closing squeeze.

#include "KeccakHash.h"

#include <benchmark/benchmark.h>

#ifdef KOVE_BENCH_OPENSSL
#include <openssl/evp.h>
#endif

#include <vector>

namespace
{

const size_t kLength = size_t(1) << 20;

std::vector<unsigned char> Block()
{
    std::vector<unsigned char> data(kLength);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 131 + (i >> 8));
    return data;
}

void BM_Sha3_256(benchmark::State& state)
{
    const std::vector<unsigned char> data = Block();
    unsigned char digest[32];
    for (auto _ : state)
    {
        Keccak_HashInstance h;
        SHA3Open(&h, 1088, 512, 256, 0x06);
        SHA3Digest(&h, data.data(), data.size());
        SHA3Close(&h, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * kLength);
}
BENCHMARK(BM_Sha3_256);

#ifdef KOVE_BENCH_OPENSSL
void BM_OpenSslSha3_256(benchmark::State& state)
{
    const std::vector<unsigned char> data = Block();
    unsigned char digest[32];
    unsigned int length = 0;
    const EVP_MD* md = EVP_sha3_256();
    for (auto _ : state)
    {
        EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * kLength);
}
BENCHMARK(BM_OpenSslSha3_256);
#endif

} // namespace
