// Stand-in of the module-command library "libSRW.so" for the simulated device: reserve and
// release a slot; erase, read and write the first 4 MiB of its SPI flash; read and write its
// controller's RAM and EEPROM; answer the SPI flash parameters; reset the module (noted in the
// slot's reset log). Every other code is refused, and so is a range beyond the memory or a
// buffer shorter than its record.
#include "SimModuleLibrary.h"
#include "SimModuleStore.h"

namespace
{
constexpr uint32_t kSimSpiFlashAnswerBytes = 16;
constexpr uint32_t kSimSpiFlashWord = 0x504C5600;

// A read: in the 4-byte address, out the bytes.
bool ReadRecord(const void* in, uint32_t inLength, const void* out, uint32_t outLength)
{
    return in != nullptr && inLength >= 4 && (out != nullptr || outLength == 0);
}

// A write: in the bytes, out the 4-byte address.
bool WriteRecord(const void* in, uint32_t inLength, const void* out, uint32_t outLength)
{
    return out != nullptr && outLength >= 4 && (in != nullptr || inLength == 0);
}

int Answered(bool done, uint32_t* bytesReturned, uint32_t count)
{
    if (done && bytesReturned != nullptr)
        *bytesReturned = count;
    return done ? 1 : 0;
}

int SrwIoctl(void* context, uint32_t code, void* in, uint32_t inLength, void* out,
             uint32_t outLength, uint32_t* bytesReturned)
{
    int result = 0;
    int reserved = -1;
    if (SimLibraryAnswered(context, code, in, inLength, bytesReturned, &result, &reserved))
        return result;
    CSimModuleSlot slot(reserved);
    uint8_t* const bytesOut = static_cast<uint8_t*>(out);
    const uint8_t* const bytesIn = static_cast<const uint8_t*>(in);
    switch (code)
    {
    case SRW_FLASH_ERASE: // in the address, out the length
        return Answered(ReadRecord(in, inLength, out, outLength) && outLength >= 4 &&
                            slot.EraseFlashRange(Wio2UsrGetLe32(in), Wio2UsrGetLe32(out)),
                        bytesReturned, 0);
    case SRW_FLASH_READ:
        return Answered(ReadRecord(in, inLength, out, outLength) &&
                            static_cast<uint64_t>(Wio2UsrGetLe32(in)) + outLength <=
                                kSimControllerFlashBytes &&
                            slot.ReadFlash(Wio2UsrGetLe32(in), bytesOut, outLength),
                        bytesReturned, outLength);
    case SRW_FLASH_WRITE:
        return Answered(WriteRecord(in, inLength, out, outLength) &&
                            slot.ProgramFlash(Wio2UsrGetLe32(out), bytesIn, inLength),
                        bytesReturned, 0);
    case SRW_RAM_READ:
        return Answered(ReadRecord(in, inLength, out, outLength) &&
                            slot.ReadRam(Wio2UsrGetLe32(in), bytesOut, outLength),
                        bytesReturned, outLength);
    case SRW_RAM_WRITE:
        return Answered(WriteRecord(in, inLength, out, outLength) &&
                            slot.WriteRam(Wio2UsrGetLe32(out), bytesIn, inLength),
                        bytesReturned, 0);
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
    case SRW_SPI_FLASH_PARAMETERS:
        // No input, a 16-byte answer: flash size, block size, 0 and the word the flash calls
        // are handed ("PLV" and the slot).
        if (inLength != 0 || out == nullptr || outLength < kSimSpiFlashAnswerBytes ||
            !slot.Usable())
            return 0;
        Wio2UsrPutLe32(bytesOut, kSimSpiFlashBytes);
        Wio2UsrPutLe32(bytesOut + 4, PLV_FLASH_BLOCK);
        Wio2UsrPutLe32(bytesOut + 8, 0);
        Wio2UsrPutLe32(bytesOut + 12, kSimSpiFlashWord | static_cast<uint32_t>(reserved));
        return Answered(true, bytesReturned, kSimSpiFlashAnswerBytes);
    case SRW_MODULE_RESET:
        return in != nullptr && inLength >= 2 && slot.Reset(bytesIn, inLength) ? 1 : 0;
    default:
        return 0;
    }
}
} // namespace

extern "C" __attribute__((visibility("default"))) int WIO2USR_GetFunctions(WIO2USR_FUNCTIONS* table)
{
    return SimLibraryFill(table, SrwIoctl);
}
