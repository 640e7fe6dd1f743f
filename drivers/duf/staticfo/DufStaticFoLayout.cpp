// The frame layout of the static fiber-optic mode: which signals each module type of slots
// X1..X5 contributes, where its blocks lie in the four areas of the fiber-optic windows, the
// static requests that carry them, and the signal list the acquisition software is set up by.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXDuf.h"
#include "QTXMessages.h"
#include "QTXProduct.h"
#include "QTXReport.h"

namespace
{
void Set(SignalRange& range, int first, int last, int bytes)
{
    range = {static_cast<uint8_t>(first), static_cast<uint8_t>(last), static_cast<uint8_t>(bytes)};
}

// One area of a fiber-optic window: the next free bus address and the end.
struct Area
{
    int64_t P = 0;
    int64_t L = 0;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}
// The name of the signal with that number in the selected list of a module configuration,
// shortened to its end when it does not fit the column; `fallback` when the list lacks the
// signal or leaves it unnamed.
std::string ModuleSignalName(CQTXXml& configuration, int32_t number, const std::string& fallback)
{
    std::string name;
    try
    {
        configuration.SelectSignalByNumber(number, false);
        name = configuration.GetName();
    }
    catch (CQTXError&)
    {
        return fallback;
    }
    if (name.empty())
        return fallback;
    if (name.size() >= 40)
        name = "..." + name.substr(name.size() - 36);
    return name;
}
} // namespace

void FillModuleRanges(ModuleSignals& module, const StaticFoConfig& c)
{
    for (SignalRange& range : module.Range)
        range = {};
    SignalRange* r = module.Range;
    switch (module.ModuleId)
    {
    case 2:
        if (c.UseZtmDi)
            Set(r[kDigitalIn], 0, 7, 4);
        break;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
        Set(r[kAnalogIn], 0, 15, 32);
        break;
    case 16:
    case 29:
        Set(r[kAnalogIn], 0, 7, 16);
        break;
    case 17:
        Set(r[kAnalogIn], 0, 3, 8);
        break;
    case 18:
        Set(r[kAnalogIn], 0, 11, 24);
        break;
    case 19:
    case 20:
        Set(r[kAnalogIn], 0, 2, 12);
        break;
    case 21:
    case 22:
        if (c.UseStatusSignals)
            Set(r[kDigitalIn], 0, 19, 4);
        if (c.UseControlSignals)
            Set(r[kDigitalOut], 0, 3, 4);
        Set(r[kAnalogOut], 0, 15, 32);
        break;
    case 23:
    case 24:
        Set(r[kDigitalIn], 0, 15, 4);
        break;
    case 25:
        Set(r[kDigitalIn], 0, 31, 4);
        break;
    case 26:
        if (c.UseStatusSignals)
            Set(r[kDigitalIn], 0, 95, 12);
        Set(r[kDigitalOut], 0, c.UseControlSignals ? 31 : 15, 4);
        break;
    case 27:
    case 28:
        if (c.UseStatusSignals)
            Set(r[kDigitalIn], 0, 47, 8);
        if (c.UseControlSignals)
            Set(r[kDigitalOut], 0, 39, 8);
        else
            Set(r[kDigitalOut], 0, 31, 4);
        break;
    case 30:
        Set(r[kDigitalIn], 0, 23, 4);
        Set(r[kAnalogIn], 0, 7, 32);
        break;
    case 32:
    case 33:
        if (c.UseStatusSignals)
            Set(r[kDigitalIn], 0, 23, 8);
        else
            Set(r[kDigitalIn], 0, 15, 4);
        if (c.UseControlSignals)
            Set(r[kDigitalOut], 0, 19, 8);
        else
            Set(r[kDigitalOut], 0, 15, 4);
        break;
    case 34:
        Set(r[kDigitalIn], 0, c.UseStatusSignals ? 14 : 3, 4);
        Set(r[kAnalogIn], 0, 3, 8);
        Set(r[kDigitalOut], 0, c.UseControlSignals ? 5 : 3, 4);
        Set(r[kAnalogOut], 0, 3, 8);
        break;
    default:
        break;
    }
}

bool CDuf::ConfigForZTM()
{
    QTX_FUNCTION_LOG();
    const bool isStatic = QwHexSwitch == 0;
    const StaticFoConfig& c = m_tStaticFo;
    const FoSignalSet& set = FoSet(c.FoMode);
    const int64_t w = set.bReal ? 4 : 2;
    const int64_t n = set.iCount;
    const int64_t B = set.iBytes;
    const int64_t out = DUF_FO_OUT_WINDOW;
    const int64_t in = DUF_FO_IN_WINDOW;

    Area areas[DUF_SIGNAL_TYPES];
    // A 16-slot set carries one block per fiber-optic slot: this device's block bounds the
    // area, whatever the offset within it.
    const int64_t s = IsSixteenSlotSet(c.FoMode) ? c.FoSlot : 0;
    const auto analog = [&](int64_t window, int32_t offset)
    {
        if (!IsSixteenSlotSet(c.FoMode))
            return Area{window + (offset * w / 4) * 4, window + B};
        const int64_t block = window + w * n * s;
        return Area{block + (offset * w / 4) * 4, block + w * n};
    };
    const auto digital = [&](int64_t window, int32_t offset)
    {
        if (!IsSixteenSlotSet(c.FoMode))
            return Area{window + B + (offset / 32) * 4, window + B + n / 8};
        const int64_t block = window + B + n * s / 8;
        return Area{block + (offset / 32) * 4, block + n / 8};
    };
    areas[kAnalogIn] = analog(out, c.OutAiOffset);
    areas[kDigitalIn] = digital(out, c.OutDiOffset);
    areas[kAnalogOut] = analog(in, c.InAoOffset);
    areas[kDigitalOut] = digital(in, c.InDoOffset);

    for (int slot = 0; slot < DUF_STATIC_SLOTS; ++slot)
    {
        const uint16_t port = static_cast<uint16_t>(DUF_MODULE_PORT_FIRST + slot);
        ModuleSignals& module = aModuleSignals[slot];
        FillModuleRanges(module, c);
        for (int t = kDigitalIn; t <= kAnalogOut; ++t)
        {
            SignalRange& range = module.Range[t];
            if (range.ByteLength == 0)
                continue;
            int areaType = t;
            if (c.Compatibility && slot > 0 && t == kDigitalIn)
                areaType = kAnalogIn;
            if (c.Compatibility && slot > 0 && t == kDigitalOut)
                areaType = kAnalogOut;
            Area& area = areas[areaType];
            if (area.P + range.ByteLength > area.L)
            {
                const std::string warning =
                    "Warning: StaticFO for Module X" + std::to_string(slot + 1) + " signal type " +
                    g_aSignalListNames[t] +
                    " is not used because it does not fit into FO signal range";
                WriteToLogfile(warning);
                StoreEvent(warning, "StaticFO");
                range.ByteLength = 0;
                continue;
            }
            FoStartTable[slot][t] = static_cast<int32_t>(area.P);
            area.P += range.ByteLength;

            DufRequest* request =
                tRequests.FindFirstDufRequest(DUF_FO_PORT, port, g_aSignalListNames[t]);
            if (request == nullptr)
            {
                DufRequest added;
                added.Valid = 1;
                added.Requester = DUF_FO_PORT;
                added.Partner = port;
                added.Direction = (t == kDigitalIn || t == kAnalogIn) ? 1 : 0;
                added.Name = g_aSignalListNames[t];
                added.PcimHandle = -1;
                added.PcimChannel = -1;
                tRequests.AddDufRequest(added);
                request = tRequests.FindFirstDufRequest(DUF_FO_PORT, port, g_aSignalListNames[t]);
                if (request == nullptr)
                {
                    WriteToLogfile("Can not add DUF request");
                    return false;
                }
            }

            // Every number of the range, ascending; a client's own signals keep their data.
            const auto fresh = [isStatic](int32_t number)
            {
                DufSignal signal;
                signal.Number = number;
                signal.StaticEnable = 1;
                signal.Enable = isStatic ? 1 : 0;
                return signal;
            };
            std::vector<DufSignal> signals;
            int32_t next = range.FirstSignal;
            const int32_t last = range.LastSignal;
            for (DufSignal& signal : request->Signals)
            {
                if (next <= last && signal.Number > next)
                {
                    for (int32_t k = next; k <= std::min(signal.Number - 1, last); ++k)
                        signals.push_back(fresh(k));
                    next = std::min(signal.Number, last + 1);
                }
                if (next <= last && signal.Number == next)
                {
                    signal.StaticEnable = 1;
                    signal.Enable = isStatic ? signal.StaticEnable : signal.NormalEnable;
                    ++next;
                }
                signals.push_back(signal);
            }
            for (int32_t k = next; k <= last; ++k)
                signals.push_back(fresh(k));
            request->Signals = std::move(signals);
            request->SignalCursor = 0;
            WriteToLogfile(CDufRequestList::DebugRequestText(*request, "InitQWModeZTM"));
        }
    }
    if (isStatic && QwHwMode == 1 && !IsBooting())
        SetAndEnableFiberOptic();
    return true;
}

void CDuf::UpdateRequest4FoPosition(DufRequest& request)
{
    if (QwHexSwitch == 0 && QwHwMode != 0 && request.Requester == DUF_FO_PORT &&
        request.Partner >= DUF_MODULE_PORT_FIRST &&
        request.Partner < DUF_MODULE_PORT_FIRST + DUF_STATIC_SLOTS)
    {
        int type = 0;
        for (int t = kDigitalIn; t <= kAnalogOut; ++t)
            if (SameString(request.Name, g_aSignalListNames[t]))
                type = t;
        const int32_t start =
            type == 0 ? 0 : FoStartTable[request.Partner - DUF_MODULE_PORT_FIRST][type];
        if (start > 0 && start <= 0x1FFFFF)
        {
            request.FoStart = static_cast<uint32_t>(start);
            return;
        }
        request.Valid = 0;
    }
    request.FoStart = 0;
}

bool CDuf::WriteQwSignalList()
{
    QTX_FUNCTION_LOG();
    if (QwHwMode == 0 || QwHexSwitch != 0)
        return false;
    const std::string path = PlatPath(std::string(kStaticFoSignalList));
    if (QwHwMode == 1 && access(path.c_str(), F_OK) == 0)
        return false;
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;

    // The bus-module device names the EtherCAT module's signals as its configuration does.
    CQTXXml names;
    bool haveNames = false;
    if (QwHwMode == 2)
    {
        const std::string reply = FileNameToAbsolutePath("eCATCfg.xml");
        if (SendStringToDriver(sXmlStart + "<Configuration/>\n", 1000, DUF_MODULE_PORT_FIRST + 1,
                               reply))
            haveNames = names.LoadFile(reply.c_str(), "Module");
        else
            fprintf(f, "WARNING: Can not read signal names!\n\n");
    }

    const StaticFoConfig& c = m_tStaticFo;
    const FoSignalSet& set = FoSet(c.FoMode);
    const int32_t width = set.bReal ? 4 : 2;
    const char stars[] = "****************************";
    fprintf(f, "%s\n*** Fiber optic settings ***\n%s\n", stars, stars);
    fprintf(f, "Mode: 32 Mbit %s, Period: %d us", set.sName, set.iPeriod);
    if (IsSixteenSlotSet(c.FoMode))
        fprintf(f, ", slot: %d", c.FoSlot);
    fprintf(f, "\n\n\n%s\n***     Signal lists     ***\n%s\n", stars, stars);

    static const char* const headings[DUF_SIGNAL_TYPES] = {
        "", "*** Fiber optic output, list of digital signals (called DI in the modules) ***",
        "*** Fiber optic output, list of analog signals (called AI in the modules) ***",
        "*** Fiber optic input, list of digital signals (called DO in the modules) ***",
        "*** Fiber optic input, list of analog signals (called AO in the modules) ***"};
    const int lastType = QwHwMode == 2 ? kAnalogIn : kAnalogOut;
    for (int t = kDigitalIn; t <= lastType; ++t)
    {
        const bool digital = t == kDigitalIn || t == kDigitalOut;
        const int64_t window =
            (t == kDigitalIn || t == kAnalogIn) ? DUF_FO_OUT_WINDOW : DUF_FO_IN_WINDOW;
        fprintf(f, "\n%s\n", headings[t]);
        if (digital)
            fprintf(f,
                    "%33sSignal|Len|Fiber optic|VRA setting|\n%39s|bit|     Signal|Address|bit|\n"
                    "---------------------------------------+---+-----------+-------+---+\n",
                    "", "");
        else
            fprintf(f,
                    "%33sSignal|Len|   Type|Fiber optic   |VRA setting|\n"
                    "%39s|bit|       |Signal|Offset |    Address|\n"
                    "---------------------------------------+---+-------+------+-------+------"
                    "-----+\n",
                    "", "");
        // The module's list of this type, when it names at least one signal.
        const bool listNamed =
            haveNames && names.SelectSignalListByName("", g_aSignalListNames[t], false) > 0;
        for (int slot = 0; slot < DUF_STATIC_SLOTS; ++slot)
        {
            DufRequest* request = tRequests.FindFirstDufRequest(
                DUF_FO_PORT, static_cast<uint16_t>(DUF_MODULE_PORT_FIRST + slot),
                g_aSignalListNames[t]);
            if (request == nullptr)
                continue;
            WriteToLogfile(CDufRequestList::DebugRequestText(*request, "generating signal list"));
            const int64_t R = static_cast<int64_t>(request->FoStart) - window;
            if (R < 0 || R > 4095)
                continue;
            for (const DufSignal& signal : request->Signals)
            {
                if (!signal.Enable)
                    continue;
                std::string name =
                    QwHwMode == 1
                        ? Format("X%d_%s%02d", slot + 1, g_aSignalListShortNames[t], signal.Number)
                        : Format("%s%03d", g_aSignalListShortNames[t], signal.Number);
                if (QwHwMode == 2 && listNamed)
                    name = ModuleSignalName(names, signal.Number, name);
                if (digital)
                {
                    const int64_t b = signal.Offset + 8 * R;
                    const int64_t d = b - 8 * static_cast<int64_t>(set.iBytes);
                    const std::string fo = d < 0 ? "--->" : "D" + std::to_string(d);
                    const std::string address =
                        Format("0x%llX", static_cast<long long>((b / 32 + 16) * 4));
                    fprintf(f, "%39s|  1|%11s|%7s|%3d|\n", name.c_str(), fo.c_str(),
                            address.c_str(), static_cast<int>(b % 32));
                }
                else
                {
                    const int64_t y = signal.Offset / 8 + R;
                    const std::string fo = "A" + std::to_string(y / width);
                    const std::string address = Format("0x%llX", static_cast<long long>(y + 64));
                    fprintf(f, "%39s|%3d|%7s|%6s|%d Bytes|    %7s|\n", name.c_str(), signal.Length,
                            signal.Type.c_str(), fo.c_str(), static_cast<int>(y % width),
                            address.c_str());
                }
            }
        }
    }
    const bool written = fclose(f) == 0;

    std::string log =
        "Debug of QW mode: \nQwHwMode = " + std::to_string(QwHwMode) + "\naModuleSignals = { ";
    for (int slot = 0; slot < DUF_STATIC_SLOTS; ++slot)
    {
        const char* product = GetProductName(aModuleSignals[slot].ModuleId);
        log += "\n  Module" + std::to_string(slot) + " [" + (product ? product : "") + "]: ";
        for (int t = kDigitalIn; t <= kAnalogOut; ++t)
        {
            const SignalRange& r = aModuleSignals[slot].Range[t];
            if (r.ByteLength != 0)
                log +=
                    Format("%s%02d..%s%02d, length=%dBytes; ", g_aSignalListShortNames[t],
                           r.FirstSignal, g_aSignalListShortNames[t], r.LastSignal, r.ByteLength);
        }
    }
    log += "}\nFoMode = " + std::to_string(c.FoMode) + "\nFoStart= { ";
    for (int slot = 0; slot < DUF_STATIC_SLOTS; ++slot)
    {
        log += "\n   { ";
        for (int t = kDigitalIn; t <= kAnalogOut; ++t)
            log += Format("%s0x%06X", t == kDigitalIn ? "" : ", ",
                          static_cast<unsigned>(FoStartTable[slot][t]));
        log += "  }";
    }
    log += "\n   }";
    WriteToLogfile(log);
    return written;
}
