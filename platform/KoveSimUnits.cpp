#include "KoveSimUnits.h"

#include "KoveSimDescription.h"
#include "KoveSimState.h"

#include <atomic>
#include <cstring>

namespace
{
constexpr int kFamilyPdp = 5;
constexpr int kFamilyLio = 7;

constexpr uint32_t kWordAdc0 = 0x2010 >> 2;
constexpr uint32_t kWordAdc1 = 0x2014 >> 2;
constexpr uint32_t kAdcIdle = 0x8000; // counter bit: the ADC runs freely

constexpr uint32_t kWordLioReset = 0x2010 >> 2;
constexpr uint32_t kWordLioCommand = 0x2014 >> 2;
constexpr uint32_t kWordLioData = 0x2018 >> 2;
constexpr uint32_t kLioReset = 0x80000000u;
constexpr uint32_t kLioWrite = 0x4000;
constexpr uint32_t kLioRead = 0x2000;
constexpr uint32_t kLioAddressMask = 0x1FFF;
constexpr uint32_t kLioControlBase = 0xFE0;
constexpr uint32_t kLioStatus = 0xFE0;
constexpr uint32_t kLioLengthLow = 0xFE4;
constexpr uint32_t kLioLengthHigh = 0xFE5;
constexpr uint32_t kLioTransfer = 0xFE6;
constexpr uint32_t kLioReceived = 0xFF0;
constexpr uint32_t kLioReceivedSum = 0xFF4;
constexpr uint32_t kLioConfigBase = 0x1000;
constexpr uint32_t kLioBlockMax = 4096;
constexpr uint8_t kLioLastBlock = 0x80;
constexpr uint8_t kLioBusy = 0x10;
constexpr uint8_t kLioReady = 1;
constexpr uint8_t kLioConfigured = 3;
constexpr uint8_t kLioFailed = 5;

// Counter of the freely running ADC in this process.
std::atomic<uint32_t> g_uAdcFreeCounter{0};
thread_local uint32_t t_uAdcLastCounter = 0;

uint32_t Samples(uint32_t channel, uint32_t n)
{
    int first;
    int second;
    if (channel == 0)
    {
        first = static_cast<int>(n & 0x3F) - 32;
        second = static_cast<int>(n & 0x0F) + 16;
    }
    else
    {
        first = 10 - static_cast<int>(n & 0x3F);
        second = static_cast<int>(n & 0x03) + 100;
    }
    return static_cast<uint32_t>(static_cast<uint8_t>(first)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(second)) << 24;
}

uint8_t& ControlByte(SSimLioWindow& w, uint32_t address)
{
    return w.aControl[address - kLioControlBase];
}

uint8_t ReadWindow(SSimLioWindow& w, uint32_t address)
{
    if (address == kLioStatus)
    {
        ++w.uStatusReads;
        if (ControlByte(w, kLioStatus) == 0 && w.uStatusReads >= 2)
            ControlByte(w, kLioStatus) = kLioReady;
    }
    else if (address == kLioTransfer && (ControlByte(w, kLioTransfer) & kLioBusy))
    {
        if (w.uBusyReads > 0)
            --w.uBusyReads;
        else
            ControlByte(w, kLioTransfer) &= static_cast<uint8_t>(~kLioBusy);
    }
    if (address >= kLioReceived && address < kLioReceived + 8)
    {
        const uint32_t value = address < kLioReceivedSum ? w.uBytes : w.uSum;
        return static_cast<uint8_t>(value >> (8 * (address & 3)));
    }
    if (address >= kLioControlBase && address < kLioConfigBase)
        return ControlByte(w, address);
    return 0;
}

void TransferBlock(SSimLioWindow& w)
{
    const uint32_t length = ControlByte(w, kLioLengthLow) |
                            static_cast<uint32_t>(ControlByte(w, kLioLengthHigh) & 0x7F) << 8;
    if (length > 0 && length <= kLioBlockMax && w.uFill == length)
    {
        w.uBytes += length;
        w.uSum += w.uFillSum;
    }
    else
    {
        w.uFault = 1;
    }
    w.uFill = 0;
    w.uFillSum = 0;
    ControlByte(w, kLioTransfer) |= kLioBusy;
    w.uBusyReads = 1;
    if (ControlByte(w, kLioLengthHigh) & kLioLastBlock)
        ControlByte(w, kLioStatus) = w.uFault ? kLioFailed : kLioConfigured;
}

void WriteWindow(SSimLioWindow& w, uint32_t address, uint8_t value)
{
    if (address >= kLioConfigBase)
    {
        if (address - kLioConfigBase == w.uFill && w.uFill < kLioBlockMax)
        {
            ++w.uFill;
            w.uFillSum += value;
        }
        else
        {
            w.uFault = 1;
        }
        return;
    }
    if (address < kLioControlBase)
        return;
    if (address == kLioTransfer)
    {
        if (value & kLioBusy)
            TransferBlock(w);
        return;
    }
    if (address == kLioStatus || (address >= kLioReceived && address < kLioReceived + 8))
        return; // read-only
    ControlByte(w, address) = value;
}

void LioCommand(SSimLioWindow& w, uint32_t command)
{
    const uint32_t address = command & kLioAddressMask;
    if (command & kLioWrite)
        WriteWindow(w, address, static_cast<uint8_t>(command >> 16));
    else if (command & kLioRead)
        w.uData = ReadWindow(w, address);
}
} // namespace

uint32_t SimUnitStore(SSimRegisters& regs, uint32_t index, uint32_t value)
{
    switch (SimFamilyCode(regs.uIdWord))
    {
    case kFamilyPdp:
        if (index == kWordAdc0 || index == kWordAdc1)
        {
            const uint32_t counter = value & 0xFFFF;
            if (counter & kAdcIdle)
                return counter;
            return counter | Samples(index - kWordAdc0, counter);
        }
        break;
    case kFamilyLio:
        if (index == kWordLioReset && (value & kLioReset))
            memset(&regs.tLio, 0, sizeof regs.tLio);
        else if (index == kWordLioCommand)
            LioCommand(regs.tLio, value);
        break;
    default:
        break;
    }
    return value;
}

uint32_t SimUnitLoad(const SSimRegisters& regs, uint32_t index, uint32_t stored)
{
    switch (SimFamilyCode(regs.uIdWord))
    {
    case kFamilyPdp:
        if ((index == kWordAdc0 || index == kWordAdc1) && (stored == 0 || (stored & kAdcIdle)))
        {
            if (index == kWordAdc0)
                t_uAdcLastCounter = (++g_uAdcFreeCounter) & 0x7FFF;
            return (stored & 0xFFFF) | Samples(index - kWordAdc0, t_uAdcLastCounter);
        }
        break;
    case kFamilyLio:
        if (index == kWordLioData)
            return regs.tLio.uData;
        break;
    default:
        break;
    }
    return stored;
}
