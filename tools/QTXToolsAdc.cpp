// The device test actions of qtx on the bus-module FPGA and the link I/O FPGA: recording the
// four ADC values of a DP or CAN bus module into a CSV file (DPADC, CANADC), and loading the
// embedded link I/O module with its configuration over the register window (IOEmb).
//
// Both check the FPGA identification first. The ADC registers exist on the bus-module FPGA
// only: elsewhere the recording runs without touching them (the same addresses are the link
// I/O window on another FPGA) and the file holds zero samples.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "QTXConvert.h"
#include "QTXTools.h"
#include "QTXXml.h"

namespace
{
constexpr uint32_t kIdentMask = 0xFFFFFF;
constexpr uint32_t kIdentPdp = 0x504450; // "PDP"
constexpr uint32_t kIdentLio = 0x4F494C; // "LIO"

// ---- ADC recording

constexpr int32_t kAdcData = 0x2010; // channel 0, then channel 1 at 0x2014
constexpr int32_t kAdcCalibration = 0x2020;
constexpr int kAdcColumns = 4;
constexpr int kAdcSamples = 16384;
constexpr uint32_t kAdcCounterMask = 0x3FFF;
constexpr uint32_t kAdcIdle = 0x8000;
constexpr int kAdcDotEvery = 1024;

constexpr int kModeCommas = 1;
constexpr int kModeClearLowBits = 2;
constexpr int kModeTrigger0 = 4;
constexpr int kModeTrigger1 = 8;

const char kDebugTarget[] = "127.0.0.1:62099";

// Column c: value c % 2 of channel c / 2.
struct CAdcKind
{
    const char* pVolt[2];
    const char* pRaw[2];
    double aFactor[kAdcColumns];
    double aOffset[kAdcColumns];
    int iThreshold;
    bool bCan;
};

const CAdcKind kDpKind = {
    {"V_Diff", "V_Sum"}, {"Diff", "Sum"}, {0.05, 0.1, 0.05, 0.1}, {0, 1.25, 0, 1.25}, 0, false};
const CAdcKind kCanKind = {{"V_DM", "V_DP"},     {"DM", "DP"}, {0.05, 0.05, 0.05, 0.05},
                           {2.5, 2.5, 2.5, 2.5}, -20,          true};

struct CCalibration
{
    double dOffset;
    double dPositive;
    double dNegative;
};

// The calibration of the four columns from a "CalibrationData" document (signal list
// "Default", signals 0 to 3). False when anything is missing.
bool LoadAdcCalibration(const std::string& name, CCalibration table[kAdcColumns])
{
    if (name.empty())
        return false;
    CQTXXml xml;
    if (!xml.LoadFile(name.c_str(), "CalibrationData") ||
        xml.SelectSignalListByName("", "Default", false) < 0)
        return false;
    for (int c = 0; c < kAdcColumns; ++c)
    {
        try
        {
            xml.SelectSignalByNumber(c, false);
        }
        catch (const CQTXError&)
        {
            return false;
        }
        if (!xml.ReadFloatProperty("Offset", &table[c].dOffset, 1, false, 0, 0) ||
            !xml.ReadFloatProperty("FactorPositive", &table[c].dPositive, 1, false, 0, 0) ||
            !xml.ReadFloatProperty("FactorNegative", &table[c].dNegative, 1, false, 0, 0))
            return false;
    }
    return true;
}

// trunc(value) as a 32-bit number; false when it has none.
bool Truncated(double value, int32_t* out)
{
    if (!std::isfinite(value) || value <= -2147483649.0 || value >= 2147483648.0)
        return false;
    *out = static_cast<int32_t>(std::trunc(value));
    return true;
}

// The calibration word of a column: gain in the high half, offset (1/256, low 6 bits clear)
// in the low half. False when the values give none (a zero gain among them).
bool CalibrationWord(const CAdcKind& kind, int column, const CCalibration& calibration,
                     uint32_t* word)
{
    const double gain = (calibration.dPositive + calibration.dNegative) / 2.0;
    if (!std::isfinite(gain) || gain == 0.0)
        return false;
    double offset = calibration.dOffset;
    if (kind.bCan)
        offset -= 50.0 / gain;
    else if (column % 2 == 0)
        offset -= 12.5 / gain;
    int32_t gainWord = 0;
    int32_t offsetWord = 0;
    if (!Truncated(gain * 16384.0, &gainWord) || !Truncated(offset * 256.0, &offsetWord))
        return false;
    *word = static_cast<uint32_t>(gainWord) << 16 | (static_cast<uint32_t>(offsetWord) & 0xFFC0);
    return true;
}

// The registers hold the columns in the order 1, 0, 3, 2.
int32_t CalibrationRegister(int column)
{
    return kAdcCalibration + 4 * ((column & ~1) + 1 - column % 2);
}

// The four samples of the two data words.
void Columns(const uint32_t words[2], int mode, int values[kAdcColumns])
{
    for (int c = 0; c < kAdcColumns; ++c)
    {
        values[c] = static_cast<int8_t>(static_cast<uint8_t>(words[c / 2] >> (16 + 8 * (c % 2))));
        if ((mode & kModeClearLowBits) && c % 2 == 1)
            values[c] &= ~3;
    }
}

// Waits until the first value of each channel asked for fell below the threshold after it
// had been at or above it.
void WaitForTrigger(CTools* device, int mode, int threshold)
{
    bool waiting[2] = {(mode & kModeTrigger0) != 0, (mode & kModeTrigger1) != 0};
    bool armed[2] = {false, false};
    while (waiting[0] || waiting[1])
    {
        uint32_t words[2];
        device->BPBReadBuffer(kAdcData, words, 2, false);
        for (int channel = 0; channel < 2; ++channel)
        {
            if (!waiting[channel])
                continue;
            const int value = static_cast<int8_t>(static_cast<uint8_t>(words[channel] >> 16));
            if (value < threshold && armed[channel])
                waiting[channel] = false;
            else if (value >= threshold)
                armed[channel] = true;
        }
    }
}

std::string WithCommas(std::string line, bool commas)
{
    if (commas)
        for (char& c : line)
            if (c == '.')
                c = ',';
    return line;
}

bool RecordAdc(const CAdcKind& kind, CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    const std::string& fileName = call.Param(0);
    const std::string& calibrationFile = call.Param(1);
    const int mode = call.vsParams.size() > 2 ? StringToInt(call.Param(2)) : 0;
    const bool commas = (mode & kModeCommas) != 0;

    // Without the ADC of the bus-module FPGA no register is touched: the same addresses mean
    // something else on other FPGAs.
    const bool hardware = (device->BPBReadWord(0, false) & kIdentMask) == kIdentPdp;
    if (!hardware)
    {
        ToolError("WARNING: Wrong hardware (no qorQB-DP nor qorQB-CAN). Running in simulation "
                  "mode\n");
        ToolError("NOTE: No ADC register is read or written; the file holds zero samples\n");
        device->AllowHWAccessDebug(false);
        device->SetDebugSocket(kDebugTarget);
    }

    double factor[kAdcColumns];
    double offset[kAdcColumns];
    for (int c = 0; c < kAdcColumns; ++c)
    {
        factor[c] = kind.aFactor[c];
        offset[c] = kind.aOffset[c];
    }
    CCalibration table[kAdcColumns];
    if (LoadAdcCalibration(calibrationFile, table))
    {
        uint32_t words[kAdcColumns];
        int refused = -1;
        for (int c = 0; c < kAdcColumns && refused < 0; ++c)
            if (!CalibrationWord(kind, c, table[c], &words[c]))
                refused = c;
        if (refused >= 0)
        {
            ToolError("WARNING: Calibration data of column %d in \"%s\" can not be used (gain "
                      "%g, offset %g); no calibration\n",
                      refused, calibrationFile.c_str(),
                      (table[refused].dPositive + table[refused].dNegative) / 2.0,
                      table[refused].dOffset);
        }
        else
        {
            if (hardware)
                for (int c = 0; c < kAdcColumns; ++c)
                    device->BPBWriteWord(CalibrationRegister(c), words[c], false);
            for (double& o : offset)
                o = 0;
            std::printf("NOTE: Calibration data used\n");
        }
    }
    else if (!calibrationFile.empty())
    {
        ToolError("WARNING: No calibration data in \"%s\"\n", calibrationFile.c_str());
    }

    ToolFile file(OpenToolFile(fileName, "w"));
    if (!file)
        return false;
    std::fprintf(file.get(),
                 "%11s%c%8s_0%c%8s_0%c%8s_1%c%8s_1%c%6s_0%c%6s_0%c%6s_1%c%6s_1%c%11s%c%11s\n",
                 "Time", ';', kind.pVolt[0], ';', kind.pVolt[1], ';', kind.pVolt[0], ';',
                 kind.pVolt[1], ';', kind.pRaw[0], ';', kind.pRaw[1], ';', kind.pRaw[0], ';',
                 kind.pRaw[1], ';', "raw_0", ';', "raw_1");

    if (hardware && (mode & (kModeTrigger0 | kModeTrigger1)))
    {
        WaitForTrigger(device, mode, kind.iThreshold);
        uint32_t words[2];
        device->BPBReadBuffer(kAdcData, words, 2, false);
        const uint32_t zeros[2] = {0, 0};
        device->BPBWriteBuffer(kAdcData, zeros, 2, false);
    }
    device->SetDebugSocket("off");

    double sum[kAdcColumns] = {0, 0, 0, 0};
    double squares[kAdcColumns] = {0, 0, 0, 0};
    char line[256];
    for (int i = 1; i <= kAdcSamples; ++i)
    {
        if (i % kAdcDotEvery == 0)
        {
            std::printf(".");
            std::fflush(stdout);
        }
        uint32_t words[2] = {0, 0};
        if (hardware)
        {
            const uint32_t counter = static_cast<uint32_t>(i) & kAdcCounterMask;
            const uint32_t written[2] = {counter, counter};
            device->BPBWriteBuffer(kAdcData, written, 2, false);
            device->BPBReadBuffer(kAdcData, words, 2, false);
        }
        int raw[kAdcColumns];
        Columns(words, mode, raw);
        std::snprintf(line, sizeof line,
                      "%6d.0e-8%c%10.3lf%c%10.3lf%c%10.3lf%c%10.3lf%c%8d%c%8d%c%8d%c%8d%c "
                      "0x%08lX%c 0x%08lX\n",
                      i, ';', raw[0] * factor[0] + offset[0], ';', raw[1] * factor[1] + offset[1],
                      ';', raw[2] * factor[2] + offset[2], ';', raw[3] * factor[3] + offset[3], ';',
                      raw[0], ';', raw[1], ';', raw[2], ';', raw[3], ';',
                      static_cast<unsigned long>(words[0]), ';',
                      static_cast<unsigned long>(words[1]));
        std::fputs(WithCommas(line, commas).c_str(), file.get());
        for (int c = 0; c < kAdcColumns; ++c)
        {
            sum[c] += raw[c];
            squares[c] += static_cast<double>(raw[c]) * raw[c];
        }
    }

    double average[kAdcColumns];
    double rms[kAdcColumns];
    for (int c = 0; c < kAdcColumns; ++c)
    {
        average[c] = sum[c] / kAdcSamples;
        rms[c] = std::sqrt(squares[c] / kAdcSamples);
    }
    const struct
    {
        const char* name;
        const double* values;
    } summaries[] = {{"Average", average}, {"RMS", rms}};
    for (const auto& s : summaries)
    {
        const double* v = s.values;
        std::snprintf(line, sizeof line,
                      "\n%11s%c%10.3lf%c%10.3lf%c%10.3lf%c%10.3lf%c%8.3lf%c%8.3lf%c%8.3lf%c%8."
                      "3lf\n",
                      s.name, ';', v[0] * factor[0] + offset[0], ';', v[1] * factor[1] + offset[1],
                      ';', v[2] * factor[2] + offset[2], ';', v[3] * factor[3] + offset[3], ';',
                      v[0], ';', v[1], ';', v[2], ';', v[3]);
        std::fputs(WithCommas(line, commas).c_str(), file.get());
    }
    const bool written = std::ferror(file.get()) == 0 && std::fclose(file.release()) == 0;

    if (hardware)
    {
        const uint32_t idle[2] = {kAdcIdle, kAdcIdle};
        device->BPBWriteBuffer(kAdcData, idle, 2, false);
    }
    std::printf(" done.\n");
    std::printf("Average values:\n");
    for (int c = 0; c < kAdcColumns; ++c)
        std::printf("   %8s_%d=%7.3lf V; %6s_%d=%6.2lf; RMS=%7.3lfLSB=%6.3lfV;   Factor=%7.5lf; "
                    "Offset=%5.2lf\n",
                    kind.pVolt[c % 2], c / 2, average[c] * factor[c] + offset[c], kind.pRaw[c % 2],
                    c / 2, average[c], rms[c], rms[c] * factor[c] + offset[c], factor[c],
                    offset[c]);
    if (!written)
    {
        ToolError("ERROR while writing to file \"%s\"\n", fileName.c_str());
        return false;
    }
    return true;
}

// ---- Link I/O window

constexpr int32_t kLioReset = 0x2010;
constexpr int32_t kLioCommand = 0x2014;
constexpr int32_t kLioData = 0x2018;
constexpr uint32_t kLioWrite = 0x4000;
constexpr uint32_t kLioRead = 0x2000;
constexpr uint32_t kLioAddressMask = 0x1FFF;
constexpr uint32_t kLioStatus = 0xFE0;
constexpr uint32_t kLioLengthLow = 0xFE4;
constexpr uint32_t kLioLengthHigh = 0xFE5;
constexpr uint32_t kLioTransfer = 0xFE6;
constexpr uint32_t kLioFiberMode = 0xFEA;
constexpr uint32_t kLioConfig = 0x1000;
constexpr size_t kLioBlock = 4096;
constexpr uint8_t kLioBusy = 0x10;
constexpr uint8_t kLioLastBlock = 0x80;
constexpr uint8_t kLioReady = 1;
constexpr uint8_t kLioConfigured = 3;
constexpr int kLioPollMs = 1000;

void WindowWrite(CTools* device, uint32_t address, uint8_t value)
{
    device->BPBWriteWord(
        kLioCommand, static_cast<uint32_t>(value) << 16 | kLioWrite | (address & kLioAddressMask),
        false);
}

uint8_t WindowRead(CTools* device, uint32_t address)
{
    device->BPBWriteWord(kLioCommand, (address & kLioAddressMask) | kLioRead, false);
    return static_cast<uint8_t>(device->BPBReadWord(kLioData, false));
}

// Polls the status once a second until the module is ready, showing a mark per wait.
uint8_t WaitReady(CTools* device, char mark)
{
    uint8_t status;
    while (!((status = WindowRead(device, kLioStatus)) & kLioReady))
    {
        std::printf("%c", mark);
        std::fflush(stdout);
        ToolsSleepMs(kLioPollMs);
    }
    return status;
}
} // namespace

bool DPADC(CToolsCall& call)
{
    return RecordAdc(kDpKind, call);
}

bool CANADC(CToolsCall& call)
{
    return RecordAdc(kCanKind, call);
}

bool IOEmb(CToolsCall& call)
{
    CTools* device = GetToolsDevice(true);
    if ((device->BPBReadWord(0, false) & kIdentMask) != kIdentLio)
    {
        ToolError("ERROR: This mode runs only on qorRida-va-zarozova\n");
        return false;
    }
    device->BPBWriteWord(kLioReset, 0x80000000u, false);
    ToolFile file(OpenToolFile(call.Param(0), "rb"));
    if (!file)
        return false;
    WindowWrite(device, kLioFiberMode, static_cast<uint8_t>(StringToInt(call.Param(1))));

    std::printf("Waiting for module ready ");
    std::fflush(stdout);
    WaitReady(device, '.');

    std::printf(" done\nSending configuration ");
    std::fflush(stdout);
    unsigned char block[kLioBlock];
    for (;;)
    {
        const size_t length = std::fread(block, 1, sizeof block, file.get());
        if (std::ferror(file.get()))
        {
            ToolError("\nERROR while reading file \"%s\"\n", call.Param(0).c_str());
            return false;
        }
        if (length == 0)
            break;
        // The last block is the one after which the file has nothing more.
        bool last = length < sizeof block;
        if (!last)
        {
            const int next = std::fgetc(file.get());
            last = next == EOF;
            if (!last)
                std::ungetc(next, file.get());
        }
        std::printf(".");
        std::fflush(stdout);
        for (size_t i = 0; i < length; ++i)
            WindowWrite(device, kLioConfig + static_cast<uint32_t>(i), block[i]);
        WindowWrite(device, kLioLengthLow, static_cast<uint8_t>(length));
        WindowWrite(device, kLioLengthHigh,
                    static_cast<uint8_t>((length >> 8) | (last ? kLioLastBlock : 0)));
        WindowWrite(device, kLioTransfer, kLioBusy);
        while (WindowRead(device, kLioTransfer) & kLioBusy)
        {
        }
        if (last)
            break;
    }

    const uint8_t status = WaitReady(device, ':');
    std::printf(" done\nConfiguration result = %d\n", status);
    std::printf("Fiber optic register value = 0x%02X\n", WindowRead(device, kLioFiberMode));
    return status == kLioConfigured;
}
