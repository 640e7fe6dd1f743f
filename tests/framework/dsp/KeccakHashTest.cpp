// SHA-3 against the published FIPS 202 example digests.
#include "KeccakHash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/mman.h>
#include <string>
#include <vector>

namespace
{

std::string Hex(const unsigned char* p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i)
    {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string Sha3(unsigned int bits, const std::vector<unsigned char>& msg)
{
    Keccak_HashInstance h;
    EXPECT_EQ(SHA3Open(&h, 1600 - 2 * bits, 2 * bits, bits, 0x06), 0);
    EXPECT_EQ(SHA3Digest(&h, msg.data(), msg.size()), 0);
    unsigned char out[64];
    EXPECT_EQ(SHA3Close(&h, out), 0);
    return Hex(out, bits / 8);
}

struct Vector
{
    unsigned int bits;
    std::string message; // "A3*200": 200 bytes of 0xA3
    const char* digest;
};

std::vector<unsigned char> Message(const std::string& m)
{
    if (m == "A3*200")
        return std::vector<unsigned char>(200, 0xA3);
    if (m == "a*1000000")
        return std::vector<unsigned char>(1000000, 'a');
    return std::vector<unsigned char>(m.begin(), m.end());
}

} // namespace

TEST(KeccakHash, FipsExampleDigests)
{
    const Vector vectors[] = {
        {224, "", "6b4e03423667dbb73b6e15454f0eb1abd4597f9a1b078e3f5b5a6bc7"},
        {256, "", "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
        {384, "",
         "0c63a75b845e4f7d01107d852e4c2485c51a50aaaa94fc61995e71bbee983a2ac3713831264adb47fb6bd1e0"
         "58d5f004"},
        {512, "",
         "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e940"
         "2c3ac558f500199d95b6d3e301758586281dcd26"},
        {224, "abc", "e642824c3f8cf24ad09234ee7d3c766fc9a3a5168d0c94ad73b46fdf"},
        {256, "abc", "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
        {384, "abc",
         "ec01498288516fc926459f58e2c6ad8df9b473cb0fc08c2596da7cf0e49be4b298d88cea927ac7f539f1edf2"
         "28376d25"},
        {512, "abc",
         "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e10e116e9192af3c91a7ec576"
         "47e3934057340b4cf408d5a56592f8274eec53f0"},
        // 200 bytes: more than one block at every rate.
        {224, "A3*200", "9376816aba503f72f96ce7eb65ac095deee3be4bf9bbc2a1cb7e11e0"},
        {256, "A3*200", "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
        {384, "A3*200",
         "1881de2ca7e41ef95dc4732b8f5f002b189cc1e42b74168ed1732649ce1dbcdd76197a31fd55ee989f2d7050"
         "dd473e8f"},
        {512, "A3*200",
         "e76dfad22084a8b1467fcf2ffa58361bec7628edf5f3fdc0e4805dc48caeeca81b7c13c30adf52a3659584739"
         "a2df46be589c51ca1a4a8416df6545a1ce8ba00"},
        // a million times "a": 7353 blocks and a partial one
        {256, "a*1000000", "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1"},
    };
    for (const Vector& v : vectors)
        EXPECT_EQ(Sha3(v.bits, Message(v.message)), v.digest) << v.bits << " " << v.message;
}

TEST(KeccakHash, PiecesGiveTheSameDigestAsOneCall)
{
    std::vector<unsigned char> msg(1000);
    for (size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<unsigned char>(i * 7 + 3);
    const std::string whole = Sha3(256, msg);
    for (size_t piece : {1u, 7u, 135u, 136u, 137u, 500u})
    {
        Keccak_HashInstance h;
        ASSERT_EQ(SHA3Open(&h, 1088, 512, 256, 0x06), 0);
        for (size_t at = 0; at < msg.size(); at += piece)
            ASSERT_EQ(SHA3Digest(&h, msg.data() + at, std::min(piece, msg.size() - at)), 0);
        unsigned char out[32];
        ASSERT_EQ(SHA3Close(&h, out), 0);
        EXPECT_EQ(Hex(out, 32), whole) << piece;
    }
}

// 512 MiB and more in one call: 2^32 bits and beyond, which a 32-bit bit count would wrap to
// a short message. The zeros are the system's zero page, so the test needs no memory.
TEST(KeccakHash, InputsOf512MiBAndMoreInOneCall)
{
    const size_t length = (size_t(512) << 20) + 3;
    void* zeros =
        mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (zeros == MAP_FAILED)
        GTEST_SKIP() << "no address space for 512 MiB";
    Keccak_HashInstance h;
    ASSERT_EQ(SHA3Open(&h, 1088, 512, 256, 0x06), 0);
    ASSERT_EQ(SHA3Digest(&h, static_cast<const unsigned char*>(zeros), length), 0);
    unsigned char out[32];
    ASSERT_EQ(SHA3Close(&h, out), 0);
    munmap(zeros, length);
    EXPECT_EQ(Hex(out, 32), "493f581cbf88623d6ee8768897dd03bf4c35529ed03db32dd860927e0cdbeae3");
}

TEST(KeccakHash, ShakeSqueezesAnyByteLength)
{
    Keccak_HashInstance h;
    ASSERT_EQ(Keccak_HashInitialize(&h, 1344, 256, 0, 0x1F), 0);
    unsigned char out[32];
    EXPECT_EQ(Keccak_HashSqueeze(&h, out, 12), KECCAK_BAD_LENGTH);
    ASSERT_EQ(Keccak_HashSqueeze(&h, out, 16 * 8), 0);
    ASSERT_EQ(Keccak_HashSqueeze(&h, out + 16, 16 * 8), 0);
    EXPECT_EQ(Hex(out, 32), "7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef26");
}

TEST(KeccakHash, RefusesBadParametersAndUseAfterClose)
{
    Keccak_HashInstance h;
    EXPECT_EQ(SHA3Open(&h, 1001, 599, 256, 0x06), 1); // not whole bytes
    EXPECT_EQ(SHA3Open(&h, 1088, 500, 256, 0x06), 1);
    EXPECT_EQ(SHA3Open(&h, 0, 1600, 256, 0x06), 1);
    EXPECT_EQ(SHA3Open(&h, 1088, 512, 256, 0x00), 70);
    ASSERT_EQ(SHA3Open(&h, 1088, 512, 256, 0x06), 0);
    unsigned char out[32];
    ASSERT_EQ(SHA3Close(&h, out), 0);
    EXPECT_EQ(SHA3Digest(&h, out, 1), 1);
    EXPECT_EQ(SHA3Close(&h, out), 1);
}
