// A stand-in for a module driver in tests: a small server on 127.0.0.1:62100 + slot that answers
// AddressTable with the module's address description ("ForDuf", XML or binary, as given) and
// every other request (Ping, Configuration, ...) with the request itself. It records what it
// was sent; Stop (or the destructor) ends it. Built on the fake hub's server.
#ifndef FAKE_MODULE_DRIVER_H
#define FAKE_MODULE_DRIVER_H

#include <cstdint>
#include <string>
#include <vector>

#include "FakeHub.h"

namespace kovetest
{
class CFakeModuleDriver : public CFakeHub
{
public:
    static constexpr int kSlotPortBase = 62100;

    explicit CFakeModuleDriver(int slot) : CFakeHub(kSlotPortBase + slot) {}

    // The answer to AddressTable: the description's bytes as they are.
    void SetAddressTable(const std::string& description) { SetReply("AddressTable", description); }
    int AddressTableRequests() const { return Count("AddressTable"); }
};

// An XML address description with one list of kind 1 (read by one bus master with one
// transfer) and its signals {number, offset in bits, length in bits, type name}.
struct CForDufSignal
{
    int iNumber;
    int iOffset;
    int iLength;
    const char* szType;
};
std::string ForDufXml(const std::string& list, uint32_t baseAddress, uint32_t offsetPerSlot,
                      int moduleEvent, const std::vector<CForDufSignal>& signals,
                      const std::string& direction = "Input");
} // namespace kovetest

#endif
