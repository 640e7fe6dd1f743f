// NetBIOS name queries: the first-level name encoding, which packets are answered, and the bytes
// of the answer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <vector>

#include "NbnsEasy.h"

namespace
{
// A name query as a PC sends it: transaction id, flags, one question for the name.
std::vector<uint8_t> Query(const char* name, uint8_t suffix = 0, uint16_t flags = 0x0110,
                           uint16_t type = 0x0020)
{
    std::vector<uint8_t> q(50, 0);
    q[0] = 0xBE;
    q[1] = 0xEF;
    q[2] = static_cast<uint8_t>(flags >> 8);
    q[3] = static_cast<uint8_t>(flags);
    q[5] = 1;
    q[12] = 0x20;
    NbnsEncodeName(name, suffix, q.data() + 13);
    q[46] = static_cast<uint8_t>(type >> 8);
    q[47] = static_cast<uint8_t>(type);
    q[49] = 1;
    return q;
}

std::vector<uint8_t> Shortened(std::vector<uint8_t> packet, size_t length)
{
    packet.resize(length);
    return packet;
}

NbnsNames Names(const char* first, const char* second)
{
    NbnsNames names;
    strncpy(names.acName1, first, sizeof names.acName1 - 1);
    strncpy(names.acName2, second, sizeof names.acName2 - 1);
    return names;
}
} // namespace

TEST(Nbns, NameEncodingRoundTrip)
{
    uint8_t encoded[32];
    NbnsEncodeName("dp_1", 0, encoded);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(encoded), 32),
              "EEFAFPDBCACACACACACACACACACACAAA");
    std::vector<uint8_t> q = Query("dp_001234", 0x20);
    char name[NBNS_NAME_CHARS];
    uint8_t suffix = 0;
    ASSERT_TRUE(NbnsParseQuery(q.data(), q.size(), name, &suffix));
    EXPECT_STREQ(name, "DP_001234");
    EXPECT_EQ(suffix, 0x20);
    q[20] = 'Z'; // not a letter of the encoding
    EXPECT_FALSE(NbnsParseQuery(q.data(), q.size(), name, &suffix));
}

TEST(Nbns, OnlyPositiveQueriesForAConfiguredNameWithSuffixZeroAreAnswered)
{
    const NbnsNames names = Names("DP_001234", "DPMS_ABCD");
    // Loopback always has an address.
    std::vector<uint8_t> packet = Query("dp_001234");
    packet.resize(1024);
    ASSERT_EQ(NbnsAnswerQuery(packet.data(), 50, packet.size(), names, "lo"), NBNS_ANSWER_BYTES);
    uint8_t expected[NBNS_ANSWER_BYTES] = {0xBE, 0xEF, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x20};
    NbnsEncodeName("DP_001234", 0, expected + 13);
    const uint8_t tail[] = {0, 0, 0x20, 0, 1, 0, 0, 0, 180, 0, 6, 0, 0, 127, 0, 0, 1};
    memcpy(expected + 45, tail, sizeof tail);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.begin() + NBNS_ANSWER_BYTES),
              std::vector<uint8_t>(expected, expected + NBNS_ANSWER_BYTES));

    packet = Query("dpms_abcd");
    packet.resize(64);
    EXPECT_EQ(NbnsAnswerQuery(packet.data(), 50, packet.size(), names, "lo"), NBNS_ANSWER_BYTES);

    const struct
    {
        const char* what;
        std::vector<uint8_t> packet;
    } silent[] = {
        {"other name", Query("OTHER")},
        {"server suffix", Query("DP_001234", 0x20)},
        {"response", Query("DP_001234", 0, 0x8400)},
        {"registration", Query("DP_001234", 0, 0x2910)},
        {"status query", Query("DP_001234", 0, 0x0110, 0x0021)},
        {"short", Shortened(Query("DP_001234"), 49)},
        {"empty name", Query("")},
    };
    for (const auto& c : silent)
    {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> p = c.packet;
        const size_t length = p.size();
        p.resize(1024);
        EXPECT_EQ(NbnsAnswerQuery(p.data(), length, p.size(), names, "lo"), 0u);
    }
    // Without an address on the interface, or without room for the answer, nothing goes out.
    packet = Query("DP_001234");
    EXPECT_EQ(NbnsAnswerQuery(packet.data(), packet.size(), packet.size(), names, "lo"), 0u);
    packet.resize(64);
    EXPECT_EQ(NbnsAnswerQuery(packet.data(), 50, packet.size(), names, "nosuch0"), 0u);
}

TEST(Nbns, StartRefusesLongInterfaceNamesAndNeedsAName)
{
    EXPECT_EQ(StartEthNbnsEasyThread("a-very-long-name0", "DP_1", ""), 70);
    EXPECT_EQ(StartEthNbnsEasyThread("eth0", "", ""), 0);
    EXPECT_FALSE(NbnsEasyThreadRunning());
}
