// SHA-3 and Keccak: the Keccak-p[1600] permutation, the sponge construction on top of it and
// the hash instance with a fixed output length (SHA3-224/256/384/512, SHAKE when squeezed).
// Lengths that count bits are 64-bit so that inputs of 512 MiB and more stay exact on 32-bit
// targets.
#ifndef KECCAK_HASH_H
#define KECCAK_HASH_H

#include <cstddef>
#include <cstdint>

// Results of the hash-instance functions.
enum
{
    KECCAK_SUCCESS = 0,
    KECCAK_FAIL = 1,        // bad rate/capacity, or absorbing/closing after the instance was closed
    KECCAK_BAD_LENGTH = 70, // suffix 0, or a squeeze length that is not a whole number of bytes
};

// The permutation state: 25 lanes of 64 bits. Byte i of the 200-byte state is byte i % 8
// (little-endian) of lane i / 8 on every target.
struct KeccakP1600_state
{
    uint64_t A[25];
};

extern const unsigned int KeccakP1600_RotationConstants[25];
extern const unsigned int KeccakP1600_PiLane[25];
extern const unsigned int KeccakP1600_Mod5[10];

void KeccakP1600_Initialize(KeccakP1600_state* state);
void KeccakP1600_AddByte(KeccakP1600_state* state, unsigned char byte, unsigned int offset);
void KeccakP1600_AddBytes(KeccakP1600_state* state, const unsigned char* data, unsigned int offset,
                          unsigned int length);
void KeccakP1600_AddBytesInLane(KeccakP1600_state* state, unsigned int lane,
                                const unsigned char* data, unsigned int offset,
                                unsigned int length);
void KeccakP1600_AddLanes(KeccakP1600_state* state, const unsigned char* data,
                          unsigned int laneCount);
void KeccakP1600_ExtractBytes(const KeccakP1600_state* state, unsigned char* data,
                              unsigned int offset, unsigned int length);
void KeccakP1600_ExtractBytesInLane(const KeccakP1600_state* state, unsigned int lane,
                                    unsigned char* data, unsigned int offset, unsigned int length);
void KeccakP1600_ExtractLanes(const KeccakP1600_state* state, unsigned char* data,
                              unsigned int laneCount);
void KeccakP1600_Permute_Nrounds(KeccakP1600_state* state, unsigned int rounds);
void KeccakP1600_Permute_12rounds(KeccakP1600_state* state);
void KeccakP1600_Permute_24rounds(KeccakP1600_state* state);

struct KeccakWidth1600_SpongeInstance
{
    KeccakP1600_state state;
    unsigned int rate;        // bits
    unsigned int byteIOIndex; // position within the current block
    int squeezing;
};

int KeccakWidth1600_SpongeInitialize(KeccakWidth1600_SpongeInstance* instance, unsigned int rate,
                                     unsigned int capacity);
int KeccakWidth1600_SpongeAbsorb(KeccakWidth1600_SpongeInstance* instance,
                                 const unsigned char* data, size_t dataByteLen);
int KeccakWidth1600_SpongeAbsorbLastFewBits(KeccakWidth1600_SpongeInstance* instance,
                                            unsigned char delimitedData);
int KeccakWidth1600_SpongeSqueeze(KeccakWidth1600_SpongeInstance* instance, unsigned char* data,
                                  size_t dataByteLen);
int KeccakWidth1600_Sponge(unsigned int rate, unsigned int capacity, const unsigned char* input,
                           size_t inputByteLen, unsigned char suffix, unsigned char* output,
                           size_t outputByteLen);

struct Keccak_HashInstance
{
    KeccakWidth1600_SpongeInstance sponge;
    unsigned int fixedOutputLength; // bits
    unsigned char delimitedSuffix;
};

int Keccak_HashInitialize(Keccak_HashInstance* instance, unsigned int rate, unsigned int capacity,
                          unsigned int hashbitlen, unsigned char delimitedSuffix);
// dataBitLen may end in a partial byte: its low bits are merged into the suffix.
int Keccak_HashUpdate(Keccak_HashInstance* instance, const unsigned char* data,
                      uint64_t dataBitLen);
int Keccak_HashFinal(Keccak_HashInstance* instance, unsigned char* hashval);
int Keccak_HashSqueeze(Keccak_HashInstance* instance, unsigned char* data, uint64_t dataBitLen);

// The library's hash interface. SHA3-256: SHA3Open(&h, 1088, 512, 256, 0x06).
int SHA3Open(Keccak_HashInstance* instance, unsigned int rate, unsigned int capacity,
             unsigned int hashbitlen, unsigned char delimitedSuffix);
int SHA3Digest(Keccak_HashInstance* instance, const unsigned char* data, size_t byteLength);
int SHA3Close(Keccak_HashInstance* instance, unsigned char* hashval);

#endif
