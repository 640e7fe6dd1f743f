// The bus-master DMA unit: channels, their transfer list and the unit's interrupt registers.
#include "Bpbm.h"

#include <mutex>

#include "FpgaRegisters.h"
#include "KestrelStatus.h"

namespace
{
using fpgaregs::Read;
using fpgaregs::SetBits;
using fpgaregs::Write;
using fpgaregs::WriteAbs;

constexpr uint32_t kEnable = 0x80000000u;
constexpr uint32_t kStatusBusy = 0x80000000u;
constexpr uint32_t kStatusPending = 0x10000000u;
constexpr uint32_t kResetHold = 0x40000000u;
constexpr uint32_t kResetChannel = 0xC0000000u;
constexpr uint32_t kStopped = 0x0C000000u;
constexpr uint32_t kLinkCommand = 0x20000000u;

// State of the unit: the reserved channels and the list pointer (a bus address; 0 while unset).
fpgaregs::CChannelUnit g_tUnit(BPBM_CHANNELS, true);

using CGuard = std::lock_guard<fpgaregs::CUnitMutex>;

uint32_t ChannelWord(uint32_t ch, uint32_t word)
{
    return BPBM_REG_CHANNEL + 16 * ch + 4 * word;
}
uint32_t TransferWord(uint32_t ch)
{
    return BPBM_REG_DESCRIPTOR + 32 * ch;
}
uint32_t ControlWord(uint32_t ch)
{
    return BPBM_REG_DESCRIPTOR + 32 * ch + 4;
}
uint32_t ResetWord(uint32_t ch)
{
    return BPBM_REG_DESCRIPTOR + 32 * ch + 8;
}

// Work still pending in the unit is acknowledged by writing its status back.
void AcknowledgePending(uint32_t status)
{
    if (status & kStatusPending)
        Write(BPBM_REG_STATUS, status);
}
} // namespace

extern "C"
{
    int BpbmInit(uint8_t a, uint8_t b, int flag)
    {
        CGuard guard(g_tUnit.tMutex);
        g_tUnit.Clear();
        g_tUnit.SetListPointer(Fpga + BPBM_REG_LIST);
        for (uint32_t ch = 0; ch < BPBM_CHANNELS; ++ch)
        {
            Write(ControlWord(ch), 0);
            Write(ResetWord(ch), kResetHold);
        }
        const uint32_t control = static_cast<uint32_t>(b & 15u) << 4 |
                                 static_cast<uint32_t>(a) << 8 |
                                 static_cast<uint32_t>(flag & 1) << 30;
        Write(BPBM_REG_CONTROL, control);
        const int status =
            fpgaregs::WaitWhileBusy(BPBM_REG_STATUS, kStatusBusy, AcknowledgePending);
        if (status != KESTREL_OK)
            return status;
        for (uint32_t ch = 0; ch < BPBM_CHANNELS; ++ch)
        {
            Write(ControlWord(ch), 0);
            Write(TransferWord(ch), kStopped);
            Write(ResetWord(ch), kResetChannel);
        }
        Write(BPBM_REG_STATUS, kStopped);
        Write(BPBM_REG_CONTROL, control | kEnable);
        return KESTREL_OK;
    }

    void BpbmExit(void)
    {
        SetBits(BPBM_REG_CONTROL, kEnable, false);
    }
    void BpbmReadStatus(uint32_t* destination)
    {
        if (destination)
            *destination = Read(BPBM_REG_STATUS);
    }
    uint32_t BpbmReadIdleTime(void)
    {
        return Read(BPBM_REG_IDLE_TIME);
    }

    uint32_t BpbmAllocateChannel(uint32_t ch, uint8_t a, uint8_t b, uint8_t c, uint16_t count,
                                 uint16_t len14, uint16_t opt13, uint32_t p1, uint32_t p2,
                                 uint8_t flag)
    {
        CGuard guard(g_tUnit.tMutex);
        if (!g_tUnit.Reserve(ch))
            return 0;
        Write(ChannelWord(ch, 0), g_tUnit.ListPointer());
        Write(ChannelWord(ch, 1), p1);
        Write(ChannelWord(ch, 2), p2);
        Write(ControlWord(ch), ((count - 1u) & 0xFFFFu) | static_cast<uint32_t>(a & 127u) << 16 |
                                   static_cast<uint32_t>(c & 7u) << 24 |
                                   static_cast<uint32_t>(b & 15u) << 27);
        uint32_t transfer = static_cast<uint32_t>(len14 & 0x3FFFu) << 16;
        if (opt13 != 0)
            transfer |= (opt13 & 0x1FFFu) | 0x2000u;
        if (p2 != 0)
            transfer |= 0x40000000u;
        transfer |= static_cast<uint32_t>(flag & 1u) << 31;
        Write(TransferWord(ch), transfer);
        return g_tUnit.ListPointer();
    }

    int BpbmEnableChannel(uint32_t ch, int on)
    {
        return g_tUnit.OnReserved(ch, [&] { SetBits(ControlWord(ch), kEnable, on != 0); });
    }

    int BpbmResetChannel(uint32_t ch)
    {
        return g_tUnit.OnReserved(ch, [&] { Write(ResetWord(ch), kResetChannel); });
    }

    int BpbmFreeChannel(uint32_t ch)
    {
        return g_tUnit.OnReserved(ch,
                                  [&]
                                  {
                                      SetBits(ControlWord(ch), kEnable, false);
                                      g_tUnit.Release(ch);
                                      Write(ChannelWord(ch, 0), 0);
                                      Write(ResetWord(ch), kResetChannel);
                                  });
    }

    int BpbmSetConfigPointer(uint32_t pointer)
    {
        CGuard guard(g_tUnit.tMutex);
        g_tUnit.SetListPointer(pointer);
        return 0;
    }
    uint32_t BpbmReadConfigPointer(void)
    {
        CGuard guard(g_tUnit.tMutex);
        return g_tUnit.ListPointer();
    }

    uint32_t BpbmPrgTransfer(uint32_t addr14, uint32_t addr16, uint32_t len14, uint32_t flag1,
                             uint8_t flag2, uint8_t portA, uint8_t portB)
    {
        CGuard guard(g_tUnit.tMutex);
        const uint32_t words[2] = {(len14 & 0x3FFFu) | static_cast<uint32_t>(portA & 15u) << 16 |
                                       static_cast<uint32_t>(portA != BPBM_NO_PORT) << 20 |
                                       static_cast<uint32_t>(portB & 15u) << 24 |
                                       static_cast<uint32_t>(portB != BPBM_NO_PORT) << 28 |
                                       static_cast<uint32_t>(flag2 & 1u) << 30 | (flag1 & 1u) << 31,
                                   (addr16 & 0xFFFFu) | (addr14 & 0x3FFFu) << 16};
        return g_tUnit.Append(words, 2);
    }

    uint32_t BpbmPrgLink(uint32_t next)
    {
        CGuard guard(g_tUnit.tMutex);
        const uint32_t words[2] = {kLinkCommand, next};
        return g_tUnit.Append(words, 2);
    }

    void BpbmIntEnable(uint32_t mask, int on)
    {
        SetBits(BPBM_REG_INT_ENABLE, mask, on != 0);
    }
    void BpbmIntAcknowledge(uint32_t mask)
    {
        Write(BPBM_REG_INT_ACK, mask);
    }
    int BpbmIntIsActive(void)
    {
        return static_cast<int>(Read(BPBM_REG_INT_ACTIVE) & 1u);
    }
    uint32_t BpbmIntQuerySource(void)
    {
        return Read(BPBM_REG_INT_SOURCE);
    }
}
