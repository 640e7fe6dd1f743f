// The synchronizer and transfer unit: synchronizers and their configuration list, trace ring,
// timers, clocks, watchdogs, data-valid lines, digital inputs, debug pins and LEDs.
#include "Dfcm.h"

#include <cmath>
#include <mutex>

#include "FpgaRegisters.h"

namespace
{
using fpgaregs::Read;
using fpgaregs::SetBits;
using fpgaregs::SetField;
using fpgaregs::Write;
using fpgaregs::WriteAbs;

constexpr uint32_t kEnable = 0x80000000u;
constexpr uint32_t kControlFlagShift = 30;
constexpr uint32_t kTraceOn = 0x2u;
constexpr uint32_t kTraceSizeMask = 0xCu;
constexpr uint32_t kSyncReset = 0xC0000000u;
constexpr uint32_t kStatusInit = 0x08000000u;
constexpr uint32_t kTraceMarkerUnwrapped = 0xFFFFFFFFu;
constexpr uint32_t kLinkCommand = 0x20000000u;
// Debug-pin sources that go through a multiplexer byte: 4, 5, 8, 9, 12 and 13.
constexpr uint32_t kMuxDevice = 0x3330u;
// Units of transfer length per data word of a programmed transfer.
constexpr uint32_t kLengthPerDataWord = 64;

// Data words of a programmed transfer: one per started 64 units of length, at least one.
uint32_t DataWords(uint16_t length)
{
    return length == 0 ? 1 : (length + kLengthPerDataWord - 1) / kLengthPerDataWord;
}

// State of the unit: the reserved synchronizers, the configuration-list pointer (a bus
// address; 0 while unset) and the words of the trace ring (0 while tracing is off).
fpgaregs::CChannelUnit g_tUnit(DFCM_SYNCHRONIZERS, true);
uint32_t MaxTraces = 0;

using CGuard = std::lock_guard<fpgaregs::CUnitMutex>;

uint32_t SyncControl(uint32_t n)
{
    return DFCM_REG_SYNC_CONTROL + 4 * n;
}
uint32_t SyncReset(uint32_t n)
{
    return DFCM_REG_SYNC_RESET + 4 * n;
}

// The interval registers of timers 0 to 2 follow the timer control; the word after them is
// the first data-valid input, so timer 3 has no interval register of its own.
uint32_t IntervalRegister(uint32_t timer)
{
    return DFCM_REG_TIMER_INTERVAL + 4 * timer;
}

uint32_t MuxRegister(uint32_t source)
{
    switch (source)
    {
    case 12:
    case 13:
        return DFCM_REG_DEBUG_MUX_12_13;
    case 4:
    case 5:
        return DFCM_REG_DEBUG_MUX_4_5;
    default:
        return DFCM_REG_DEBUG_MUX_8_9;
    }
}
} // namespace

extern "C"
{
    void DfcmInit(uint32_t value, int flag)
    {
        CGuard guard(g_tUnit.tMutex);
        g_tUnit.Clear();
        g_tUnit.SetListPointer(Fpga + DFCM_REG_CONFIG_LIST);
        const uint32_t control = static_cast<uint32_t>(flag != 0) << kControlFlagShift;
        Write(DFCM_REG_CONTROL, control);
        Write(DFCM_REG_INIT_VALUE, value);
        for (uint32_t n = 0; n < DFCM_SYNCHRONIZERS; ++n)
        {
            Write(SyncControl(n), 0);
            Write(SyncReset(n), kSyncReset);
        }
        Write(DFCM_REG_STATUS, kStatusInit);
        Write(DFCM_REG_CONTROL, control | kEnable);
    }

    void DfcmExit(void)
    {
        SetBits(DFCM_REG_CONTROL, kEnable, false);
    }
    void DfcmReadStatus(uint32_t* destination)
    {
        if (destination)
            *destination = Read(DFCM_REG_STATUS);
    }
    uint32_t DfcmReadIdleTime(void)
    {
        return Read(DFCM_REG_IDLE_TIME);
    }

    uint32_t DfcmAllocateSynchronizer(uint32_t n, uint8_t a, uint8_t b, uint32_t count)
    {
        CGuard guard(g_tUnit.tMutex);
        if (!g_tUnit.Reserve(n))
            return 0;
        Write(DFCM_REG_SYNC_LIST_START + 4 * n, g_tUnit.ListPointer());
        Write(SyncControl(n), ((count - 1) & 0xFFFFu) | static_cast<uint32_t>(a & 127u) << 16 |
                                  static_cast<uint32_t>(b & 7u) << 24);
        return g_tUnit.ListPointer();
    }

    int DfcmEnableSynchronizer(uint32_t n, int on)
    {
        return g_tUnit.OnReserved(n, [&] { SetBits(SyncControl(n), kEnable, on != 0); });
    }

    int DfcmResetSynchronizer(uint32_t n)
    {
        return g_tUnit.OnReserved(n, [&] { Write(SyncReset(n), kSyncReset); });
    }

    int DfcmFreeSynchronizer(uint32_t n)
    {
        return g_tUnit.OnReserved(n,
                                  [&]
                                  {
                                      SetBits(SyncControl(n), kEnable, false);
                                      g_tUnit.Release(n);
                                      SetBits(SyncControl(n), kEnable, false);
                                      Write(DFCM_REG_SYNC_LIST_START + 4 * n, 0);
                                      Write(SyncReset(n), kSyncReset);
                                  });
    }

    int DfcmSetConfigPointer(uint32_t pointer)
    {
        CGuard guard(g_tUnit.tMutex);
        g_tUnit.SetListPointer(pointer);
        return 0;
    }
    uint32_t DfcmReadConfigPointer(void)
    {
        CGuard guard(g_tUnit.tMutex);
        return g_tUnit.ListPointer();
    }

    uint32_t DfcmPrgTransfer(uint32_t source, uint32_t destination, uint16_t length, uint32_t opt1,
                             uint32_t opt2, const uint32_t* data, uint8_t f1, uint8_t f2,
                             uint8_t code6)
    {
        CGuard guard(g_tUnit.tMutex);
        if (g_tUnit.ListPointer() == 0)
            return 0;
        uint32_t words[4] = {
            length | static_cast<uint32_t>(code6 & 63u) << 16 |
                static_cast<uint32_t>(opt1 != 0) << 26 | static_cast<uint32_t>(opt2 != 0) << 27 |
                static_cast<uint32_t>(data != nullptr) << 28 |
                static_cast<uint32_t>(f2 & 1u) << 30 | static_cast<uint32_t>(f1 & 1u) << 31,
            source, destination, 0};
        g_tUnit.Append(words, 3);
        if (opt1 != 0)
            g_tUnit.Append(&opt1, 1);
        if (opt2 != 0)
            g_tUnit.Append(&opt2, 1);
        if (data != nullptr)
            g_tUnit.Append(data, DataWords(length));
        return g_tUnit.ListPointer();
    }

    uint32_t DfcmTransferBytes(uint16_t length, uint32_t opt1, uint32_t opt2, int data)
    {
        return 4 * (3 + (opt1 != 0) + (opt2 != 0) + (data != 0 ? DataWords(length) : 0));
    }

    uint32_t DfcmPrgLink(uint32_t next)
    {
        CGuard guard(g_tUnit.tMutex);
        const uint32_t words[3] = {kLinkCommand, next, 0};
        return g_tUnit.Append(words, 3);
    }

    void DfcmEnableTrace(int on, uint32_t size)
    {
        CGuard guard(g_tUnit.tMutex);
        size &= 3;
        uint32_t control = (Read(DFCM_REG_CONTROL) & ~(kTraceOn | kTraceSizeMask)) | size << 2;
        Write(DFCM_REG_CONTROL, control);
        Write(DFCM_REG_TRACE_POINTER, 0);
        Write(DFCM_REG_TRACE_MARKER, kTraceMarkerUnwrapped);
        if (on)
            Write(DFCM_REG_CONTROL, control | kTraceOn);
        MaxTraces = on ? 128u << size : 0;
    }

    uint32_t DfcmReadTracePointer(void)
    {
        return Read(DFCM_REG_TRACE_POINTER);
    }
    int DfcmSetTracePointer(uint32_t pointer)
    {
        Write(DFCM_REG_TRACE_POINTER, pointer);
        return 0;
    }

    // The ring is the last MaxTraces words of the trace window, ending with the marker word;
    // the trace pointer counts the words written into it. While the marker still shows
    // 0xFFFFFFFF the ring has not wrapped and only the words below the pointer are valid.
    uint32_t DfcmCopyTraceData(uint32_t* buffer, uint32_t count)
    {
        CGuard guard(g_tUnit.tMutex);
        if (MaxTraces == 0 || buffer == nullptr)
            return 0;
        const uint32_t ringStart = DFCM_REG_TRACE_MARKER + 4 - 4 * MaxTraces;
        const uint32_t next = Read(DFCM_REG_TRACE_POINTER) % MaxTraces;
        uint32_t available = MaxTraces;
        if (Read(DFCM_REG_TRACE_MARKER) == kTraceMarkerUnwrapped)
            available = next;
        if (count > available)
            count = available;
        uint32_t index = (next + MaxTraces - count) % MaxTraces;
        for (uint32_t i = 0; i < count; ++i)
        {
            buffer[i] = Read(ringStart + 4 * index);
            index = (index + 1) % MaxTraces;
        }
        return count;
    }

    int DfcmSetGlobalEvent(uint32_t event)
    {
        Write(DFCM_REG_GLOBAL_EVENT, event & 255u);
        return 0;
    }

    int DfcmControlTimer(uint32_t mask, uint32_t value)
    {
        uint32_t control = Read(DFCM_REG_TIMER_CONTROL) & ~0x0F0Fu;
        if (mask != 0)
        {
            control |= (mask & 15u) << 8;
            Write(DFCM_REG_TIMER_CONTROL, control);
        }
        Write(DFCM_REG_TIMER_CONTROL, control | (value & 15u));
        return 0;
    }

    int DfcmSetTimerInterval(uint32_t timer, uint32_t interval)
    {
        // Timers are counted from 1 here; timer 3 would land on the first data-valid input.
        if (timer < 1 || timer >= DFCM_TIMERS)
            return 1;
        Write(IntervalRegister(timer), interval - 1);
        return 0;
    }
    uint32_t DfcmReadTimerInterval(uint32_t timer)
    {
        return timer >= DFCM_TIMERS ? 0 : Read(IntervalRegister(timer));
    }

    int DfcmProgramDebugPin(uint32_t pin, int on, uint32_t source, uint32_t index, uint8_t value,
                            uint8_t mode)
    {
        if (pin >= DFCM_DEBUG_PINS)
            return 1;
        uint32_t field = value;
        if (source < 32 && ((kMuxDevice >> source) & 1u) != 0)
        {
            const uint32_t byte = index & 3u;
            SetField(MuxRegister(source), 0xFFu << (8 * byte),
                     static_cast<uint32_t>(value) << (8 * byte));
            field = byte;
        }
        Write(DFCM_REG_DEBUG_PIN + 4 * pin, (field & 127u) | (source & 15u) << 8 |
                                                static_cast<uint32_t>(mode & 7u) << 12 |
                                                static_cast<uint32_t>(on != 0) << 31);
        return 0;
    }

    void DfcmSetUserLed(uint32_t led, uint32_t state)
    {
        if (led >= 16)
            return;
        SetField(DFCM_REG_USER_LEDS, 3u << (2 * led), (state & 3u) << (2 * led));
    }
    void DfcmSetSysLed(uint32_t mask, int on)
    {
        SetBits(DFCM_REG_SYS_LEDS, mask, on != 0);
    }

    uint32_t DfcmInDataValid(uint32_t input, uint8_t a, uint32_t count)
    {
        if (input < 1 || input > 6)
            return input;
        Write(DFCM_REG_IN_DATA_VALID + 4 * (input - 1),
              ((count - 1) & 255u) | static_cast<uint32_t>(a & 127u) << 8 |
                  static_cast<uint32_t>(count != 0) << 31);
        return 0;
    }
    uint32_t DfcmOutDataValid(uint32_t output, uint32_t value)
    {
        if (output < 1 || output > 6)
            return output;
        Write(DFCM_REG_OUT_DATA_VALID + 4 * (output - 1), value);
        return 0;
    }

    uint32_t DfcmSetWatchdog(uint32_t wd, uint32_t time)
    {
        if (wd != 1 && wd != 2)
            return wd;
        Write(wd == 1 ? DFCM_REG_WATCHDOG1 : DFCM_REG_WATCHDOG2,
              ((time - 1) & 0xFFFFu) | static_cast<uint32_t>(time != 0) << 31);
        return 0;
    }
    void DfcmTrigLogWd(int flag)
    {
        Write(DFCM_REG_LOG_WATCHDOG, flag ? 0xAAu : 0x55u);
    }

    void DfcmControlSysClock(uint8_t a, uint8_t b)
    {
        SetField(DFCM_REG_TIMER_CONTROL, 0x00FF0F00u,
                 static_cast<uint32_t>(a & 15u) << 8 | static_cast<uint32_t>(b) << 16);
    }
    uint32_t DfcmCalcSysClockInc(double period)
    {
        const double value = period * 64000000.0 * 256.0 + 0.5;
        // Out of the range of a 64-bit count (or not a number): no increment can be given.
        if (!(value >= 0.0) || value >= 18446744073709551616.0)
            return 0;
        return static_cast<uint32_t>(static_cast<uint64_t>(value));
    }
    void DfcmSetSysClockInc(uint32_t increment)
    {
        Write(DFCM_REG_SYSCLOCK_INC, increment);
    }
    void DfcmTriggerSysClock(void)
    {
        Write(DFCM_REG_SYSCLOCK_TRIGGER, 0);
    }
    void DfcmSetTimeStamp(uint32_t low, uint32_t high)
    {
        Write(DFCM_REG_TIME_STAMP_LOW, low);
        Write(DFCM_REG_TIME_STAMP_HIGH, high);
    }
    uint32_t DfcmCalcTimeStampInc(void)
    {
        // One period of the 64 MHz clock in units of 2^-56 s.
        return static_cast<uint32_t>(std::ldexp(1.0, 56) * 1.5625e-8);
    }
    void DfcmSetTimeStampInc(uint32_t increment)
    {
        Write(DFCM_REG_TIME_STAMP_INC, increment);
    }

    uint32_t DfcmConfigDigIn(uint32_t input, uint8_t mode, uint16_t value)
    {
        if (input > 7)
            return input;
        Write(DFCM_REG_DIGITAL_IN + 4 * input, value | static_cast<uint32_t>(mode & 15u) << 28);
        return 0;
    }
}
