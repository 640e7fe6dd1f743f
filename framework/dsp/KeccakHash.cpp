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

// The last `rounds` of the 24 rounds (Keccak-p[1600, nr]). The round is written out lane by
// lane so that the state stays in registers: theta, then rho and pi (lane x + 5y rotated by
// KeccakP1600_RotationConstants into lane KeccakP1600_PiLane), chi along each row and iota.
void KeccakP1600_Permute_Nrounds(KeccakP1600_state* state, unsigned int rounds)
{
    if (rounds > 24)
        rounds = 24;
    const uint64_t* rc = Constants().rc;
    uint64_t a0 = state->A[0];
    uint64_t a1 = state->A[1];
    uint64_t a2 = state->A[2];
    uint64_t a3 = state->A[3];
    uint64_t a4 = state->A[4];
    uint64_t a5 = state->A[5];
    uint64_t a6 = state->A[6];
    uint64_t a7 = state->A[7];
    uint64_t a8 = state->A[8];
    uint64_t a9 = state->A[9];
    uint64_t a10 = state->A[10];
    uint64_t a11 = state->A[11];
    uint64_t a12 = state->A[12];
    uint64_t a13 = state->A[13];
    uint64_t a14 = state->A[14];
    uint64_t a15 = state->A[15];
    uint64_t a16 = state->A[16];
    uint64_t a17 = state->A[17];
    uint64_t a18 = state->A[18];
    uint64_t a19 = state->A[19];
    uint64_t a20 = state->A[20];
    uint64_t a21 = state->A[21];
    uint64_t a22 = state->A[22];
    uint64_t a23 = state->A[23];
    uint64_t a24 = state->A[24];
    for (unsigned int ir = 24 - rounds; ir < 24; ++ir)
    {
        const uint64_t c0 = a0 ^ a5 ^ a10 ^ a15 ^ a20;
        const uint64_t c1 = a1 ^ a6 ^ a11 ^ a16 ^ a21;
        const uint64_t c2 = a2 ^ a7 ^ a12 ^ a17 ^ a22;
        const uint64_t c3 = a3 ^ a8 ^ a13 ^ a18 ^ a23;
        const uint64_t c4 = a4 ^ a9 ^ a14 ^ a19 ^ a24;
        const uint64_t d0 = c4 ^ Rol(c1, 1);
        const uint64_t d1 = c0 ^ Rol(c2, 1);
        const uint64_t d2 = c1 ^ Rol(c3, 1);
        const uint64_t d3 = c2 ^ Rol(c4, 1);
        const uint64_t d4 = c3 ^ Rol(c0, 1);
        const uint64_t b0 = a0 ^ d0;
        const uint64_t b1 = Rol(a6 ^ d1, 44);
        const uint64_t b2 = Rol(a12 ^ d2, 43);
        const uint64_t b3 = Rol(a18 ^ d3, 21);
        const uint64_t b4 = Rol(a24 ^ d4, 14);
        const uint64_t b5 = Rol(a3 ^ d3, 28);
        const uint64_t b6 = Rol(a9 ^ d4, 20);
        const uint64_t b7 = Rol(a10 ^ d0, 3);
        const uint64_t b8 = Rol(a16 ^ d1, 45);
        const uint64_t b9 = Rol(a22 ^ d2, 61);
        const uint64_t b10 = Rol(a1 ^ d1, 1);
        const uint64_t b11 = Rol(a7 ^ d2, 6);
        const uint64_t b12 = Rol(a13 ^ d3, 25);
        const uint64_t b13 = Rol(a19 ^ d4, 8);
        const uint64_t b14 = Rol(a20 ^ d0, 18);
        const uint64_t b15 = Rol(a4 ^ d4, 27);
        const uint64_t b16 = Rol(a5 ^ d0, 36);
        const uint64_t b17 = Rol(a11 ^ d1, 10);
        const uint64_t b18 = Rol(a17 ^ d2, 15);
        const uint64_t b19 = Rol(a23 ^ d3, 56);
        const uint64_t b20 = Rol(a2 ^ d2, 62);
        const uint64_t b21 = Rol(a8 ^ d3, 55);
        const uint64_t b22 = Rol(a14 ^ d4, 39);
        const uint64_t b23 = Rol(a15 ^ d0, 41);
        const uint64_t b24 = Rol(a21 ^ d1, 2);
        a0 = b0 ^ (~b1 & b2);
        a1 = b1 ^ (~b2 & b3);
        a2 = b2 ^ (~b3 & b4);
        a3 = b3 ^ (~b4 & b0);
        a4 = b4 ^ (~b0 & b1);
        a5 = b5 ^ (~b6 & b7);
        a6 = b6 ^ (~b7 & b8);
        a7 = b7 ^ (~b8 & b9);
        a8 = b8 ^ (~b9 & b5);
        a9 = b9 ^ (~b5 & b6);
        a10 = b10 ^ (~b11 & b12);
        a11 = b11 ^ (~b12 & b13);
        a12 = b12 ^ (~b13 & b14);
        a13 = b13 ^ (~b14 & b10);
        a14 = b14 ^ (~b10 & b11);
        a15 = b15 ^ (~b16 & b17);
        a16 = b16 ^ (~b17 & b18);
        a17 = b17 ^ (~b18 & b19);
        a18 = b18 ^ (~b19 & b15);
        a19 = b19 ^ (~b15 & b16);
        a20 = b20 ^ (~b21 & b22);
        a21 = b21 ^ (~b22 & b23);
        a22 = b22 ^ (~b23 & b24);
        a23 = b23 ^ (~b24 & b20);
        a24 = b24 ^ (~b20 & b21);
        a0 ^= rc[ir];
    }
    state->A[0] = a0;
    state->A[1] = a1;
    state->A[2] = a2;
    state->A[3] = a3;
    state->A[4] = a4;
    state->A[5] = a5;
    state->A[6] = a6;
    state->A[7] = a7;
    state->A[8] = a8;
    state->A[9] = a9;
    state->A[10] = a10;
    state->A[11] = a11;
    state->A[12] = a12;
    state->A[13] = a13;
    state->A[14] = a14;
    state->A[15] = a15;
    state->A[16] = a16;
    state->A[17] = a17;
    state->A[18] = a18;
    state->A[19] = a19;
    state->A[20] = a20;
    state->A[21] = a21;
    state->A[22] = a22;
    state->A[23] = a23;
    state->A[24] = a24;
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
