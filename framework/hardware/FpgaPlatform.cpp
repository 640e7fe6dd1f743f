// Set-up of the platform FPGA, the main interrupt controller, the SPI master and the register
// dump; and the bounded busy-wait that every FPGA unit uses.
#include "FpgaPlatform.h"

#include "Dfcm.h"
#include "FpgaRegisters.h"
#include "KestrelStatus.h"
#include "QTXGlobal.h"

extern "C"
{
    uint32_t Fpga = 0;
}

namespace
{
// Bus word that a failed read shows.
constexpr uint32_t kFailedReadWord = 0x45454545;
constexpr uint32_t kSpiBusy = 0x80000000u;
constexpr uint32_t kSpiDeselect = 0x100u;
constexpr uint32_t kRunBit = 0x80000000u;

// Start values of the timer intervals 0 to 2 (counts minus one).
constexpr uint32_t kStartIntervals[DFCM_TIMERS] = {1599, 3199, 63999};

// Register windows of the dump: bus offset, bytes; they follow each other in the buffer.
struct SDumpWindow
{
    uint32_t uOffset;
    uint32_t uBytes;
};
constexpr SDumpWindow kDumpWindows[] = {
    {0x0C0000, 32768}, {0x100000, 4096},  {0x110000, 65536}, {0x140000, 16384}, {0x150000, 65536},
    {0x160000, 65536}, {0x170000, 65536}, {0x180000, 4096},  {0x190000, 65536},
};

void WriteZeros(uint32_t first, uint32_t last)
{
    for (uint32_t offset = first; offset <= last; offset += 4)
        fpgaregs::Write(offset, 0);
}
} // namespace

namespace fpgaregs
{
int WaitWhileBusy(uint32_t offset, uint32_t busyMask, void (*onValue)(uint32_t value))
{
    const double deadline = GetMonotonicTime() + kBusyWaitLimitSeconds;
    for (;;)
    {
        uint32_t value = Read(offset);
        if (onValue)
            onValue(value);
        if ((value & busyMask) == 0)
            return KESTREL_OK;
        if (GetMonotonicTime() > deadline)
            return KESTREL_TIMEOUT;
    }
}
} // namespace fpgaregs

extern "C"
{
    void TesraInit(uint32_t base)
    {
        Fpga = base;
        WriteZeros(DFCM_REG_CONTROL, DFCM_REG_SYSCLOCK_TRIGGER);
        WriteZeros(DFCM_REG_IN_DATA_VALID, DFCM_REG_IN_DATA_VALID + 0x14);
        WriteZeros(DFCM_REG_OUT_DATA_VALID, DFCM_REG_OUT_DATA_VALID + 0x14);
        WriteZeros(DFCM_REG_DIGITAL_IN, DFCM_REG_DIGITAL_IN + 0x1C);
        WriteZeros(DFCM_REG_DEBUG_MUX_8_9, DFCM_REG_DEBUG_MUX_4_5);
        WriteZeros(DFCM_REG_DEBUG_PIN, DFCM_REG_DEBUG_PIN + 4 * (DFCM_DEBUG_PINS - 1));
        WriteZeros(DFCM_REG_SYNC_CONTROL, DFCM_REG_SYNC_CONTROL + 4 * (DFCM_SYNCHRONIZERS - 1));
        fpgaregs::Write(DFCM_REG_TIMER_CONTROL, 0);
        for (uint32_t t = 0; t < DFCM_TIMERS; ++t)
            fpgaregs::Write(DFCM_REG_TIMER_INTERVAL + 4 * t, kStartIntervals[t]);
        DfcmSetTimeStamp(0, 0);
        DfcmSetTimeStampInc(DfcmCalcTimeStampInc());
    }

    void TesrExit(void)
    {
        fpgaregs::SetBits(FPGA_REG_GENERAL_CONTROL, kRunBit, false);
    }

    void MainIntEnable(uint32_t mask, int on)
    {
        fpgaregs::SetBits(FPGA_REG_MAININT_ENABLE, mask, on != 0);
    }
    void MainIntAcknowledge(uint32_t mask)
    {
        fpgaregs::Write(FPGA_REG_MAININT_ACK, mask);
    }
    int MainIntIsActive(void)
    {
        return static_cast<int>(fpgaregs::Read(FPGA_REG_MAININT_ACTIVE) & 1u);
    }
    uint32_t MainIntQuerySource(void)
    {
        return fpgaregs::Read(FPGA_REG_MAININT_SOURCE);
    }

    void SpiCs(int select)
    {
        fpgaregs::SetBits(FPGA_REG_SPI_CONTROL, kSpiDeselect, select == 0);
    }
    void SpiByteCount(uint32_t count)
    {
        fpgaregs::SetField(FPGA_REG_SPI_CONTROL, 7u, count & 7u);
    }
    int SpiTransferWait(uint32_t word, uint32_t* read)
    {
        fpgaregs::Write(FPGA_REG_SPI_DATA, word);
        int status = fpgaregs::WaitWhileBusy(FPGA_REG_SPI_CONTROL, kSpiBusy);
        if (status != KESTREL_OK)
            return status;
        uint32_t value = fpgaregs::Read(FPGA_REG_SPI_DATA);
        if (read)
            *read = value;
        return KESTREL_OK;
    }
    uint32_t SpiTransfer(uint32_t word)
    {
        uint32_t read = kFailedReadWord;
        SpiTransferWait(word, &read);
        return read;
    }

    void DumpFpgaPart(uint32_t source, uint32_t* destination, uint32_t bytes)
    {
        for (uint32_t i = 0; i < bytes / 4; ++i)
            destination[i] = fpgaregs::Read(source + 4 * i);
    }
    void DfcmDumpFPGA(uint32_t* destination)
    {
        uint32_t at = 0;
        for (const SDumpWindow& window : kDumpWindows)
        {
            DumpFpgaPart(window.uOffset, destination + at / 4, window.uBytes);
            at += window.uBytes;
        }
    }
}
