// Fuzz target: NetBIOS name queries. Whatever the datagram, the responder answers with exactly
// 62 bytes for a configured name or not at all, and never reads or writes past the packet.
#include "FuzzSupport.h"
#include "NbnsEasy.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NbnsNames names;
    strcpy(names.acName1, "DP_001234");
    strcpy(names.acName2, "DPMS_ABCD");
    // The packet buffer as the responder has it: the datagram, with room behind it only when
    // the input asks for it (its first byte).
    const size_t room = size > 0 && (data[0] & 1) ? 1024 : size;
    std::vector<uint8_t> packet(data, data + size);
    packet.resize(room > size ? room : size);
    const size_t answer = NbnsAnswerQuery(packet.data(), size, packet.size(), names, "lo");
    if (answer != 0 && answer != NBNS_ANSWER_BYTES)
        kovefuzz::Fail("an answer of another length");
    char name[NBNS_NAME_CHARS];
    uint8_t suffix = 0;
    if (NbnsParseQuery(data, size, name, &suffix) && strlen(name) >= NBNS_NAME_CHARS)
        kovefuzz::Fail("a name longer than its buffer");
    return 0;
}
