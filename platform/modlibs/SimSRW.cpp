// Stand-in of the module-command library "libSRW.so" for the simulated device: reserve and
// release a slot, read and write its EEPROM, reset the module. Every other code is refused.
#include "SimModuleLibrary.h"
#include "SimModuleStore.h"

namespace
{
int SrwIoctl(void* context, uint32_t code, void* in, uint32_t inLength, void* out,
             uint32_t outLength, uint32_t* bytesReturned)
{
    int result = 0;
    int reserved = -1;
    if (SimLibraryAnswered(context, code, in, inLength, bytesReturned, &result, &reserved))
        return result;
    CSimModuleSlot slot(reserved);
    switch (code)
    {
    case SRW_EEPROM_READ:
        if (in == nullptr || inLength < 4 || (out == nullptr && outLength > 0) ||
            !slot.ReadEeprom(Wio2UsrGetLe32(in), static_cast<uint8_t*>(out), outLength))
            return 0;
        if (bytesReturned != nullptr)
            *bytesReturned = outLength;
        return 1;
    case SRW_EEPROM_WRITE:
        if (out == nullptr || outLength < 4 || (in == nullptr && inLength > 0) ||
            !slot.WriteEeprom(Wio2UsrGetLe32(out), static_cast<const uint8_t*>(in), inLength))
            return 0;
        return 1;
    case SRW_MODULE_RESET:
        return slot.Usable() && inLength >= 2 ? 1 : 0;
    default:
        return 0;
    }
}
} // namespace

extern "C" __attribute__((visibility("default"))) int WIO2USR_GetFunctions(WIO2USR_FUNCTIONS* table)
{
    return SimLibraryFill(table, SrwIoctl);
}
