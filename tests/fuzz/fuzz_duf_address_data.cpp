// Fuzz target: a module's binary address description ("ForDuf") as the signal-routing driver
// receives it in answer to AddressTable.
//
// The first input byte chooses the list name that is looked for; the rest is the description.
// Whatever the bytes, the reader must stay inside them; a list it hands out must be what the
// bytes hold (its signals and blocks lie within the data, the address part only when the record
// holds it whole).
#include "FuzzSupport.h"
#include "QTXReadForDuf.h"

#include <vector>

using kovefuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const char* const kNames[] = {"AnalogIn", "DigitalOut", "", "analogin"};
    const std::string name = kNames[data[0] % 4];
    // A copy of exactly the description's size, so that any read past it is caught.
    std::vector<unsigned char> description(data + 1, data + size);
    QTXForDufList list;
    const QTXForDufStatus status =
        QTXForDufFindList(description.data(), description.size(), name, list);
    if (status == QTX_FORDUF_OK)
    {
        if (list.vSignals.size() * 12 > description.size())
            Fail("more signals than the data can hold");
        uint64_t transfers = 0;
        for (const QTXForDufBusMaster& block : list.vBusMasters)
            transfers += block.vTransfers.size();
        if (transfers * 12 > description.size())
            Fail("more transfers than the data can hold");
        if (!list.vBusMasters.empty() && !list.bAddressPart)
            Fail("bus-master blocks without an address part");
    }
    else if (!list.vSignals.empty() || list.bAddressPart)
    {
        Fail("a refused description handed out data");
    }
    return 0;
}
