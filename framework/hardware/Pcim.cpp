// The PCI-master unit: channels, detectors, polling and the unit's interrupt registers.
#include "Pcim.h"

#include <mutex>

#include "FpgaRegisters.h"

namespace
{
using fpgaregs::Read;
using fpgaregs::SetBits;
using fpgaregs::Write;

constexpr uint32_t kEnable = 0x80000000u;
constexpr uint32_t kPolling = 0x40000000u;
constexpr uint32_t kResetChannel = 0xC0000000u;
constexpr uint32_t kStatusInit = 0x08000000u;

fpgaregs::CChannelUnit g_tUnit(PCIM_CHANNELS, false);

using CGuard = std::lock_guard<fpgaregs::CUnitMutex>;

uint32_t ChannelWord(uint32_t ch, uint32_t word)
{
    return PCIM_REG_CHANNEL + 16 * ch + 4 * word;
}
uint32_t TransferWord(uint32_t ch)
{
    return PCIM_REG_DESCRIPTOR + 32 * ch;
}
uint32_t ControlWord(uint32_t ch)
{
    return PCIM_REG_DESCRIPTOR + 32 * ch + 4;
}
uint32_t ResetWord(uint32_t ch)
{
    return PCIM_REG_DESCRIPTOR + 32 * ch + 8;
}
} // namespace

extern "C"
{
    void PcimInit(uint16_t a, uint8_t b)
    {
        CGuard guard(g_tUnit.tMutex);
        g_tUnit.Clear();
        const uint32_t control = b | static_cast<uint32_t>(a) << 8;
        Write(PCIM_REG_CONTROL, control);
        for (uint32_t ch = 0; ch < PCIM_CHANNELS; ++ch)
        {
            Write(ControlWord(ch), 0);
            Write(TransferWord(ch), 0);
            Write(ResetWord(ch), kResetChannel);
        }
        Write(PCIM_REG_STATUS, kStatusInit);
        Write(PCIM_REG_CONTROL, control | kEnable);
    }

    void PcimExit(void)
    {
        SetBits(PCIM_REG_CONTROL, kEnable, false);
    }
    void PcimReadStatus(uint32_t* destination)
    {
        if (destination)
            *destination = Read(PCIM_REG_STATUS);
    }
    uint32_t PcimReadIdleTime(void)
    {
        return Read(PCIM_REG_IDLE_TIME);
    }

    int PcimAllocateChannel(uint32_t ch, uint8_t a, uint8_t b, uint32_t count, uint8_t f1,
                            uint16_t port1, uint16_t port2, uint32_t pcLow, uint32_t pcHigh,
                            uint32_t len10, uint8_t f2, uint8_t f3)
    {
        CGuard guard(g_tUnit.tMutex);
        if (!g_tUnit.Reserve(ch))
            return 1;
        Write(ChannelWord(ch, 0), pcLow);
        Write(ChannelWord(ch, 1), pcHigh);
        Write(ChannelWord(ch, 2), (port1 & 0x7FFFu) | static_cast<uint32_t>(port2 & 0x7FFFu) << 16);
        Write(ControlWord(ch), ((count - 1u) & 0xFFFFu) | static_cast<uint32_t>(a & 127u) << 16 |
                                   static_cast<uint32_t>(b & 7u) << 24);
        Write(TransferWord(ch), ((len10 - 1u) & 0x3FFu) | static_cast<uint32_t>(f3 & 1u) << 29 |
                                    static_cast<uint32_t>(f1 & 1u) << 30 |
                                    static_cast<uint32_t>(f2 & 1u) << 31);
        return 0;
    }

    int PcimEnableChannel(uint32_t ch, int on)
    {
        return g_tUnit.OnReserved(ch, [&] { SetBits(ControlWord(ch), kEnable, on != 0); });
    }

    int PcimResetChannel(uint32_t ch)
    {
        return g_tUnit.OnReserved(ch, [&] { Write(ResetWord(ch), kResetChannel); });
    }

    int PcimFreeChannel(uint32_t ch)
    {
        return g_tUnit.OnReserved(ch,
                                  [&]
                                  {
                                      SetBits(ControlWord(ch), kEnable, false);
                                      g_tUnit.Release(ch);
                                      Write(ResetWord(ch), kResetChannel);
                                  });
    }

    uint32_t PcimReadPcAddress(uint32_t ch)
    {
        return ch < PCIM_CHANNELS ? Read(ChannelWord(ch, 0)) : 0;
    }

    void PcimSetPolling(int on)
    {
        SetBits(PCIM_REG_GENERAL_CONTROL, kPolling, on != 0);
    }
    void PcimProgramDetector(uint32_t d, uint8_t a, uint8_t b)
    {
        Write(PCIM_REG_DETECTOR + 4 * (d & 7u),
              static_cast<uint32_t>(a & 127u) << 16 | static_cast<uint32_t>(b & 7u) << 24);
    }

    void PcimIntEnable(uint32_t mask, int on)
    {
        SetBits(PCIM_REG_INT_ENABLE, mask, on != 0);
    }
    void PcimIntAcknowledge(uint32_t mask)
    {
        Write(PCIM_REG_INT_ACK, mask);
    }
    int PcimIntIsActive(void)
    {
        return static_cast<int>(Read(PCIM_REG_INT_ACTIVE) & 1u);
    }
    uint32_t PcimIntQuerySource(void)
    {
        return Read(PCIM_REG_INT_SOURCE);
    }
}
