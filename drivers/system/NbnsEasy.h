// The NetBIOS name responder: answers NetBIOS name queries (UDP port 137) for the device's host
// name and alias with the IPv4 address of its Ethernet interface, so that a PC on the same
// network reaches the device by name. Only positive name queries for names of suffix 0 are
// answered. One detached thread per process.
#ifndef NBNS_EASY_H
#define NBNS_EASY_H

#include <cstddef>
#include <cstdint>

constexpr size_t NBNS_NAME_CHARS = 16;   // a configured name holds at most 15 characters
constexpr size_t NBNS_QUERY_MIN = 50;
constexpr size_t NBNS_ANSWER_BYTES = 62;

// The names a query is compared with (empty: none).
struct NbnsNames
{
    char acName1[NBNS_NAME_CHARS] = {};
    char acName2[NBNS_NAME_CHARS] = {};
};

// Reads a query: its name (up to 15 characters, upper-cased, without the padding) and suffix.
// False for anything that is not a positive name query of type NB, class IN.
bool NbnsParseQuery(const uint8_t* packet, size_t length, char name[NBNS_NAME_CHARS],
                    uint8_t* suffix);
// First-level encoding of a name (upper-cased, padded with blanks to 15) and its suffix into
// 32 letters.
void NbnsEncodeName(const char* name, uint8_t suffix, uint8_t out[32]);
// Writes the 62-byte answer for the query's transaction id, the name and the address (network
// order).
void NbnsBuildAnswer(uint16_t transactionId, const char* name, uint32_t address,
                     uint8_t answer[NBNS_ANSWER_BYTES]);
// The answer to a packet written over the packet (which must have room for 62 bytes): its
// length, 0 for no answer (not a query, another name or suffix, or no address on the
// interface).
size_t NbnsAnswerQuery(uint8_t* packet, size_t length, size_t capacity, const NbnsNames& names,
                       const char* interfaceName);

// Starts the responder for the interface ("eth0" when null or empty) and the two names (a name
// of more than 15 characters counts as none). Returns 0 when it runs; 70 when the interface name
// has 16 characters or more; 0 without a thread when both names are empty; 73 when the thread
// cannot start.
int StartEthNbnsEasyThread(const char* interfaceName, const char* name1, const char* name2);
// Stops it and waits (up to 100 ms) for the thread to end.
void StopNbnsEasyThread();
// True while the responder thread runs.
bool NbnsEasyThreadRunning();

#endif
