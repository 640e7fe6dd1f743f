#include "KeccakHash.h"

#include <cstring>

const unsigned int KeccakP1600_RotationConstants[25] = {
    0, 1, 62, 28, 27, 36, 44, 6, 55, 20, 3, 10, 43, 25, 39, 41, 45, 15, 21, 8, 18, 2, 61, 56, 14};

// Lane x + 5y moves to lane y + 5((2x + 3y) mod 5).
const unsigned int KeccakP1600_PiLane[25] = {0,  10, 20, 5, 15, 16, 1,  11, 21, 6, 7,  17, 2,
                                             12, 22, 23, 8, 18, 3,  13, 14, 24, 9, 19, 4};

const unsigned int KeccakP1600_Mod5[10] = {0, 1, 2, 3, 4, 0, 1, 2, 3, 4};

namespace
{

struct RoundConstants
{
    uint64_t rc[24];

    // rc(t): bit 0 of the LFSR x^8 + x^6 + x^5 + x^4 + 1 after t steps from 1.
    static bool LfsrBit(unsigned int t)
    {
        unsigned int r = 0x01;
        for (unsigned int i = 0; i < t % 255; ++i)
            r = (r & 0x80) ? ((r << 1) ^ 0x71) & 0xFF : (r << 1) & 0xFF;
        return (r & 0x01) != 0;
    }

    RoundConstants()
    {
        for (unsigned int ir = 0; ir < 24; ++ir)
        {
            uint64_t c = 0;
            for (unsigned int j = 0; j <= 6; ++j)
                if (LfsrBit(j + 7 * ir))
                    c |= uint64_t(1) << ((1u << j) - 1);
            rc[ir] = c;
        }
    }
};

const RoundConstants& Constants()
{
    static const RoundConstants constants;
    return constants;
}

inline uint64_t Rol(uint64_t v, unsigned int n)
{
    return n == 0 ? v : (v << n) | (v >> (64 - n));
}

inline uint64_t LoadLane(const unsigned char* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

inline void StoreLane(unsigned char* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void Round(uint64_t* A, uint64_t rc)
{
    uint64_t C[5], D[5], B[25];
    for (unsigned int x = 0; x < 5; ++x)
        C[x] = A[x] ^ A[x + 5] ^ A[x + 10] ^ A[x + 15] ^ A[x + 20];
    for (unsigned int x = 0; x < 5; ++x)
        D[x] = C[KeccakP1600_Mod5[x + 4]] ^ Rol(C[KeccakP1600_Mod5[x + 1]], 1);
    for (unsigned int i = 0; i < 25; ++i)
        B[KeccakP1600_PiLane[i]] = Rol(A[i] ^ D[i % 5], KeccakP1600_RotationConstants[i]);
    for (unsigned int y = 0; y < 25; y += 5)
        for (unsigned int x = 0; x < 5; ++x)
            A[y + x] =
                B[y + x] ^ (~B[y + KeccakP1600_Mod5[x + 1]] & B[y + KeccakP1600_Mod5[x + 2]]);
    A[0] ^= rc;
}

} // namespace

void KeccakP1600_Initialize(KeccakP1600_state* state)
{
    std::memset(state->A, 0, sizeof state->A);
}

void KeccakP1600_AddByte(KeccakP1600_state* state, unsigned char byte, unsigned int offset)
{
    state->A[offset / 8] ^= uint64_t(byte) << (8 * (offset % 8));
}

void KeccakP1600_AddBytesInLane(KeccakP1600_state* state, unsigned int lane,
                                const unsigned char* data, unsigned int offset, unsigned int length)
{
    for (unsigned int i = 0; i < length; ++i)
        state->A[lane] ^= uint64_t(data[i]) << (8 * (offset + i));
}

void KeccakP1600_AddLanes(KeccakP1600_state* state, const unsigned char* data,
                          unsigned int laneCount)
{
    for (unsigned int i = 0; i < laneCount; ++i)
        state->A[i] ^= LoadLane(data + 8 * i);
}

void KeccakP1600_AddBytes(KeccakP1600_state* state, const unsigned char* data, unsigned int offset,
                          unsigned int length)
{
    for (unsigned int i = 0; i < length; ++i)
        KeccakP1600_AddByte(state, data[i], offset + i);
}

void KeccakP1600_ExtractBytesInLane(const KeccakP1600_state* state, unsigned int lane,
                                    unsigned char* data, unsigned int offset, unsigned int length)
{
    for (unsigned int i = 0; i < length; ++i)
        data[i] = static_cast<unsigned char>(state->A[lane] >> (8 * (offset + i)));
}

void KeccakP1600_ExtractLanes(const KeccakP1600_state* state, unsigned char* data,
                              unsigned int laneCount)
{
    for (unsigned int i = 0; i < laneCount; ++i)
        StoreLane(data + 8 * i, state->A[i]);
}

void KeccakP1600_ExtractBytes(const KeccakP1600_state* state, unsigned char* data,
                              unsigned int offset, unsigned int length)
{
    for (unsigned int i = 0; i < length; ++i)
        data[i] =
            static_cast<unsigned char>(state->A[(offset + i) / 8] >> (8 * ((offset + i) % 8)));
}

// The last `rounds` of the 24 rounds (Keccak-p[1600, nr]).
void KeccakP1600_Permute_Nrounds(KeccakP1600_state* state, unsigned int rounds)
{
    if (rounds > 24)
        rounds = 24;
    const RoundConstants& c = Constants();
    for (unsigned int ir = 24 - rounds; ir < 24; ++ir)
        Round(state->A, c.rc[ir]);
}

void KeccakP1600_Permute_12rounds(KeccakP1600_state* state)
{
    KeccakP1600_Permute_Nrounds(state, 12);
}

void KeccakP1600_Permute_24rounds(KeccakP1600_state* state)
{
    KeccakP1600_Permute_Nrounds(state, 24);
}

int KeccakWidth1600_SpongeInitialize(KeccakWidth1600_SpongeInstance* instance, unsigned int rate,
                                     unsigned int capacity)
{
    if (rate + capacity != 1600 || rate == 0 || rate > 1600 || rate % 8 != 0)
        return KECCAK_FAIL;
    KeccakP1600_Initialize(&instance->state);
    instance->rate = rate;
    instance->byteIOIndex = 0;
    instance->squeezing = 0;
    return KECCAK_SUCCESS;
}

int KeccakWidth1600_SpongeAbsorb(KeccakWidth1600_SpongeInstance* instance,
                                 const unsigned char* data, size_t dataByteLen)
{
    if (instance->squeezing)
        return KECCAK_FAIL;
    const unsigned int blockSize = instance->rate / 8;
    size_t i = 0;
    while (i < dataByteLen)
    {
        if (instance->byteIOIndex == 0 && dataByteLen - i >= blockSize)
        {
            // Whole blocks go straight into the state.
            for (; dataByteLen - i >= blockSize; i += blockSize)
            {
                KeccakP1600_AddLanes(&instance->state, data + i, blockSize / 8);
                if (blockSize % 8)
                    KeccakP1600_AddBytesInLane(&instance->state, blockSize / 8,
                                               data + i + blockSize / 8 * 8, 0, blockSize % 8);
                KeccakP1600_Permute_24rounds(&instance->state);
            }
            continue;
        }
        unsigned int part = blockSize - instance->byteIOIndex;
        if (dataByteLen - i < part)
            part = static_cast<unsigned int>(dataByteLen - i);
        KeccakP1600_AddBytes(&instance->state, data + i, instance->byteIOIndex, part);
        i += part;
        instance->byteIOIndex += part;
        if (instance->byteIOIndex == blockSize)
        {
            KeccakP1600_Permute_24rounds(&instance->state);
            instance->byteIOIndex = 0;
        }
    }
    return KECCAK_SUCCESS;
}

int KeccakWidth1600_SpongeAbsorbLastFewBits(KeccakWidth1600_SpongeInstance* instance,
                                            unsigned char delimitedData)
{
    if (delimitedData == 0 || instance->squeezing)
        return KECCAK_FAIL;
    const unsigned int blockSize = instance->rate / 8;
    KeccakP1600_AddByte(&instance->state, delimitedData, instance->byteIOIndex);
    // The suffix's last bit may fall on the block's last bit: then the closing 1 of the
    // padding goes into a block of its own.
    if ((delimitedData & 0x80) != 0 && instance->byteIOIndex == blockSize - 1)
        KeccakP1600_Permute_24rounds(&instance->state);
    KeccakP1600_AddByte(&instance->state, 0x80, blockSize - 1);
    KeccakP1600_Permute_24rounds(&instance->state);
    instance->byteIOIndex = 0;
    instance->squeezing = 1;
    return KECCAK_SUCCESS;
}

int KeccakWidth1600_SpongeSqueeze(KeccakWidth1600_SpongeInstance* instance, unsigned char* data,
                                  size_t dataByteLen)
{
    if (!instance->squeezing)
        KeccakWidth1600_SpongeAbsorbLastFewBits(instance, 0x01);
    const unsigned int blockSize = instance->rate / 8;
    size_t i = 0;
    while (i < dataByteLen)
    {
        if (instance->byteIOIndex == blockSize)
        {
            KeccakP1600_Permute_24rounds(&instance->state);
            instance->byteIOIndex = 0;
        }
        unsigned int part = blockSize - instance->byteIOIndex;
        if (dataByteLen - i < part)
            part = static_cast<unsigned int>(dataByteLen - i);
        KeccakP1600_ExtractBytes(&instance->state, data + i, instance->byteIOIndex, part);
        i += part;
        instance->byteIOIndex += part;
    }
    return KECCAK_SUCCESS;
}

int KeccakWidth1600_Sponge(unsigned int rate, unsigned int capacity, const unsigned char* input,
                           size_t inputByteLen, unsigned char suffix, unsigned char* output,
                           size_t outputByteLen)
{
    KeccakWidth1600_SpongeInstance instance;
    if (KeccakWidth1600_SpongeInitialize(&instance, rate, capacity) != KECCAK_SUCCESS)
        return KECCAK_FAIL;
    KeccakWidth1600_SpongeAbsorb(&instance, input, inputByteLen);
    if (KeccakWidth1600_SpongeAbsorbLastFewBits(&instance, suffix) != KECCAK_SUCCESS)
        return KECCAK_FAIL;
    return KeccakWidth1600_SpongeSqueeze(&instance, output, outputByteLen);
}

int Keccak_HashInitialize(Keccak_HashInstance* instance, unsigned int rate, unsigned int capacity,
                          unsigned int hashbitlen, unsigned char delimitedSuffix)
{
    if (delimitedSuffix == 0)
        return KECCAK_BAD_LENGTH;
    if (KeccakWidth1600_SpongeInitialize(&instance->sponge, rate, capacity) != KECCAK_SUCCESS)
        return KECCAK_FAIL;
    instance->fixedOutputLength = hashbitlen;
    instance->delimitedSuffix = delimitedSuffix;
    return KECCAK_SUCCESS;
}

int Keccak_HashUpdate(Keccak_HashInstance* instance, const unsigned char* data, uint64_t dataBitLen)
{
    if (instance->sponge.squeezing)
        return KECCAK_FAIL;
    const uint64_t bytes = dataBitLen / 8;
    if (KeccakWidth1600_SpongeAbsorb(&instance->sponge, data, static_cast<size_t>(bytes)) !=
        KECCAK_SUCCESS)
        return KECCAK_FAIL;
    const unsigned int bits = static_cast<unsigned int>(dataBitLen % 8);
    if (bits == 0)
        return KECCAK_SUCCESS;
    // A trailing partial byte comes first, then the suffix; at most 8 bits stay for the
    // suffix byte, the rest goes into the state now.
    unsigned short delimited = static_cast<unsigned short>(data[bytes] & ((1u << bits) - 1));
    delimited |= static_cast<unsigned short>(instance->delimitedSuffix) << bits;
    if (delimited & 0xFF00)
    {
        const unsigned char low = static_cast<unsigned char>(delimited & 0xFF);
        if (KeccakWidth1600_SpongeAbsorb(&instance->sponge, &low, 1) != KECCAK_SUCCESS)
            return KECCAK_FAIL;
        delimited >>= 8;
    }
    instance->delimitedSuffix = static_cast<unsigned char>(delimited);
    return KECCAK_SUCCESS;
}

int Keccak_HashFinal(Keccak_HashInstance* instance, unsigned char* hashval)
{
    if (KeccakWidth1600_SpongeAbsorbLastFewBits(&instance->sponge, instance->delimitedSuffix) !=
        KECCAK_SUCCESS)
        return KECCAK_FAIL;
    return KeccakWidth1600_SpongeSqueeze(&instance->sponge, hashval,
                                         instance->fixedOutputLength / 8);
}

int Keccak_HashSqueeze(Keccak_HashInstance* instance, unsigned char* data, uint64_t dataBitLen)
{
    if (dataBitLen % 8 != 0)
        return KECCAK_BAD_LENGTH;
    if (!instance->sponge.squeezing &&
        KeccakWidth1600_SpongeAbsorbLastFewBits(&instance->sponge, instance->delimitedSuffix) !=
            KECCAK_SUCCESS)
        return KECCAK_FAIL;
    return KeccakWidth1600_SpongeSqueeze(&instance->sponge, data,
                                         static_cast<size_t>(dataBitLen / 8));
}

int SHA3Open(Keccak_HashInstance* instance, unsigned int rate, unsigned int capacity,
             unsigned int hashbitlen, unsigned char delimitedSuffix)
{
    return Keccak_HashInitialize(instance, rate, capacity, hashbitlen, delimitedSuffix);
}

int SHA3Digest(Keccak_HashInstance* instance, const unsigned char* data, size_t byteLength)
{
    return Keccak_HashUpdate(instance, data, static_cast<uint64_t>(byteLength) * 8);
}

int SHA3Close(Keccak_HashInstance* instance, unsigned char* hashval)
{
    return Keccak_HashFinal(instance, hashval);
}
