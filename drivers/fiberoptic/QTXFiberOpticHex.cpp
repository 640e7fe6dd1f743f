// Which settings are in force: on most device families the hex switches (taken from the user
// settings of the hub) choose the protocol through the hardware layer's tables; Flex and the
// families without switch settings take one of the four records by the node's slot (switch 2).
// The polling thread watches the hub number and the soft hex switch and reprograms the unit.
#include "QTXFiberOptic.h"

#include <cmath>
#include <cstring>

#include "InterProc.h"
#include "QTXConvert.h"
#include "QTXMessages.h"
#include "QTXVersion.h"

namespace
{
// The device whose ordering number selects the 64-node table on family 5.
constexpr int32_t kDP64OrderingNumber = 57311011;
// Data bytes of the transfer-buffer record that carries the soft hex switch.
constexpr unsigned kSoftSwitchBytes = 1192;
// Polls of 100 ms before the IpTx watchdog acts.
constexpr int kWatchdogPolls = 160;

bool SameSwitches(const _HEXSWITCH_SET& a, const _HEXSWITCH_SET& b, int mask)
{
    return ((mask & 1) == 0 || a.iSwitch1 == b.iSwitch1) &&
           ((mask & 2) == 0 || a.iSwitch2 == b.iSwitch2) &&
           ((mask & 4) == 0 || a.iSwitch3 == b.iSwitch3) && ((mask & 8) == 0 || a.iRest == b.iRest);
}
} // namespace

bool Debounce(FoDebounce& record, int n)
{
    if (record.iApplied == record.iCurrent)
    {
        record.iCounter = 0;
        return false;
    }
    if (record.iCounter > 0)
    {
        if (record.iCurrent == record.iCandidate)
            return --record.iCounter == 0;
        record.iCounter = 0;
        return false;
    }
    if (n == 0)
        return true;
    record.iCounter = n;
    record.iCandidate = record.iCurrent;
    return false;
}

int32_t SettingsFromMode(FoSettings& out, const _FO_MODE_SETTINGS& mode)
{
    out = FoZeroSettings();
    const int m = mode.iMode;
    out.iValid = 1;
    out.iInputProtocol = m;
    out.iOutputProtocol = m;
    out.iOutputPeriod = FoPeriod(m);
    out.iLength = FoPayload(m);
    if (FoSpeedClass(m) == 256)
    {
        // 3.3 Mbit: a variable payload is 34 bytes per slot.
        if (out.iLength == -1)
            out.iLength = mode.iParam2 >= 1 ? mode.iParam2 * 34 : 0;
        out.iFirstSlot = mode.iParam1;
        out.iSlotCount = mode.iParam2;
    }
    else if (FoIsRing(m))
    {
        out.iFirstSlot = mode.iParam1;
    }
    out.iModeFlags = mode.iParam3;
    out.iSlot = 0;
    out.iMasterModePeriod = out.iOutputPeriod;
    return out.iLength;
}

int SelectCurrentSettings(int family, const _HEXSWITCH_SET& switches, const FoRecords& records,
                          const _FO_MODE_SETTINGS* modeLookup, FoSettings* out)
{
    FoSettings settings = FoZeroSettings();
    int switch2 = switches.iSwitch2;
    if (family == QTX_HW_FAMILY_CLK)
        switch2 = 1;
    else if (modeLookup != nullptr && modeLookup->iMode != FO_PROTOCOL_FLEX)
    {
        SettingsFromMode(settings, *modeLookup);
        if (out != nullptr)
            *out = settings;
        return modeLookup->iMode;
    }

    int row = FO_PROTOCOL_FLEX;
    if (switch2 == 0)
    {
        settings =
            records.tSlot0Settings.iValid != 0 ? records.tSlot0Settings : records.tDefault0Settings;
        row = settings.iOutputProtocol;
    }
    else if (switch2 < 0)
    {
        settings = records.tDefault1to15Settings;
    }
    else
    {
        settings = records.tDefault1to15Settings;
        const FoSettings& node = records.tSlot1to15Settings;
        if (node.iValid != 0 && (node.iSlot == FO_SLOT_ANY_NODE || node.iSlot == switch2))
            settings = node;
        settings.iInputProtocol = FO_PROTOCOL_FLEX;
        settings.iOutputProtocol = FO_PROTOCOL_FLEX;
        if (settings.iSlot == FO_SLOT_ANY_NODE && settings.iLength != 0)
        {
            // Every node takes its own entry of the master-mode lists as entry 1.
            const int n = switch2 > 15 ? 15 : switch2;
            std::swap(settings.aiMasterModeLength[n], settings.aiMasterModeLength[1]);
            std::swap(settings.aiMasterModeDeviceClasses[n], settings.aiMasterModeDeviceClasses[1]);
        }
    }
    if (out != nullptr)
        *out = settings;
    return row;
}

int CFiberOptic::OrderingNumber()
{
    if (iOrderingNumberCache == 0)
    {
        _QTXVersionInfo info;
        memset(&info, 0, sizeof info);
        GetVersionInfo(&info);
        iOrderingNumberCache = static_cast<int>(info.ulOrderingNumber);
    }
    return iOrderingNumberCache;
}

int CFiberOptic::GetCurrentSettings(const _HEXSWITCH_SET& switches, FoSettings* out)
{
    const int family = GetHWFamily();
    // Defined settings also when the family's table has no row for the switches.
    _FO_MODE_SETTINGS mode = {0, 0, 0, 0};
    int result = 1;
    switch (family)
    {
    case QTX_HW_FAMILY_WAG:
        result = Wago_GetFoProtSettings(&mode, &switches);
        break;
    case QTX_HW_FAMILY_PDP:
        result = OrderingNumber() == kDP64OrderingNumber ? DP64_GetFoProtSettings(&mode, &switches)
                                                         : DP_GetFoProtSettings(&mode, &switches);
        break;
    case QTX_HW_FAMILY_VME:
        result = Vornex_GetFoProtSettings(&mode, &switches);
        break;
    case QTX_HW_FAMILY_LIO:
        result = IoEmbedded_GetFoProtSettings(&mode, &switches);
        break;
    case QTX_HW_FAMILY_KV8:
        result = Kove8_GetFoProtSettings(&mode, &switches);
        break;
    default:
        break;
    }
    (void)result; // a refused switch set comes with the Off mode of its family
    const bool hasTable = family == QTX_HW_FAMILY_WAG || family == QTX_HW_FAMILY_PDP ||
                          family == QTX_HW_FAMILY_VME || family == QTX_HW_FAMILY_LIO ||
                          family == QTX_HW_FAMILY_KV8;
    return SelectCurrentSettings(family, switches, tRecords, hasTable ? &mode : nullptr, out);
}

int CFiberOptic::GetCurrentSettingsLocked(FoSettings* out)
{
    pthread_mutex_lock(&tSettingsMutex);
    const int row = GetCurrentSettings(tHexSwitches, out);
    pthread_mutex_unlock(&tSettingsMutex);
    return row;
}

int CFiberOptic::ReadUserConfig(const std::string& config, _HEXSWITCH_SET& out)
{
    double period = StringToFloat(UserConfigValue(config, "SamplingPeriodInUs"));
    pthread_mutex_lock(&tSettingsMutex);
    if (period < 10.0)
        period = dDefaultSamplingPeriodUs;
    dSamplingPeriodUs = period;
    pthread_mutex_unlock(&tSettingsMutex);

    UserConfig2HexSwitchFull(config, &out);
    const int family = GetHWFamily();
    switch (family)
    {
    case QTX_HW_FAMILY_WAG:
    case QTX_HW_FAMILY_PDP:
    case QTX_HW_FAMILY_VME:
    case QTX_HW_FAMILY_LIO:
    case QTX_HW_FAMILY_KV8:
        break;
    case QTX_HW_FAMILY_CLK:
        out = {-1, 1, -1, -1};
        break;
    default:
        out.iSwitch1 = -1;
        out.iSwitch3 = -1;
        out.iRest = -1;
        break;
    }
    if (out.iSwitch2 == -1)
        out.iSwitch2 = -2;
    return family;
}

void CFiberOptic::OnHex(const _HEXSWITCH_SET* switches, int hub, int flags)
{
    pthread_mutex_lock(&tSettingsMutex);
    const bool periodChanged = std::fabs(dSamplingPeriodUs - dDefaultSamplingPeriodUs) > 0.5;
    bool reprogram = (flags & 1) != 0 || periodChanged;
    if (!reprogram)
    {
        const int row = GetCurrentSettings(tHexSwitches, nullptr);
        const int newRow = switches != nullptr ? GetCurrentSettings(*switches, nullptr) : row;
        if (row != newRow)
            reprogram = true;
        else if (hub != -2 && row == FO_PROTOCOL_FLEX && hub != iHub)
            reprogram = true;
        else if (switches != nullptr && !SameSwitches(tHexSwitches, *switches, iHexSwitchType))
            reprogram = true;
    }
    if (reprogram)
    {
        if (switches != nullptr)
            tHexSwitches = *switches;
        if (hub != -2)
            iHub = hub;
        SetHwCfg(true);
    }
    pthread_mutex_unlock(&tSettingsMutex);
}

void CFiberOptic::GetHexState(int* switch2, int* hub, bool* flex)
{
    pthread_mutex_lock(&tSettingsMutex);
    if (switch2 != nullptr)
        *switch2 = tHexSwitches.iSwitch2;
    if (hub != nullptr)
        *hub = iHub;
    if (flex != nullptr)
        *flex = GetCurrentSettings(tHexSwitches, nullptr) == FO_PROTOCOL_FLEX;
    pthread_mutex_unlock(&tSettingsMutex);
}

int SoftHexSwitchFromRecord(const unsigned char* data, size_t length)
{
    if (data == nullptr || length < 28)
        return -1;
    const uint32_t kind = static_cast<uint32_t>(data[12]) | static_cast<uint32_t>(data[13]) << 8 |
                          static_cast<uint32_t>(data[14]) << 16 |
                          static_cast<uint32_t>(data[15]) << 24;
    if (kind != 144)
        return -1;
    switch (data[27])
    {
    case 12:
        return 12;
    case 171:
        return 10;
    case 9:
        return 4;
    default:
        return -1;
    }
}

void CFiberOptic::ReadSoftHexSwitch(_HEXSWITCH_SET& switches)
{
    if (GetHWFamily() != QTX_HW_FAMILY_PDP || switches.iSwitch1 != 4)
        return;
    switches.iSwitch3 = -1;
    // The soft switch comes in a transfer-buffer record of channel 1: a head of six words
    // {1, 0, 1192, 0, 0, 0} and the data behind it.
    unsigned char record[INTERPROC_TRANSBUFF_HEAD + kSoftSwitchBytes] = {};
    record[0] = 1;
    record[8] = kSoftSwitchBytes & 0xFF;
    record[9] = (kSoftSwitchBytes >> 8) & 0xFF;
    if (InterProcReadTransBuff(record) == 0)
        switches.iSwitch3 =
            SoftHexSwitchFromRecord(record + INTERPROC_TRANSBUFF_HEAD, kSoftSwitchBytes);
}

void CFiberOptic::PollSoftHexSwitches()
{
    pthread_mutex_lock(&tSettingsMutex);
    _HEXSWITCH_SET switches = tHexSwitches;
    ReadSoftHexSwitch(switches);
    if (!SameSwitches(switches, tHexSwitches, 15))
    {
        tHexSwitches = switches;
        SetHwCfg(false);
    }
    pthread_mutex_unlock(&tSettingsMutex);
}

int CFiberOptic::ReadHubNumber()
{
    return 1;
}

void CFiberOptic::HexSwitchPoll(FoDebounce& hub, uint32_t version, int& watchdogCount)
{
    int applied = 0;
    GetHexState(nullptr, &applied, nullptr);
    hub.iApplied = applied;
    hub.iCurrent = ReadHubNumber();
    if (Debounce(hub, 15))
        OnHex(nullptr, hub.iCurrent, 0);
    PollSoftHexSwitches();

    pthread_mutex_lock(&tSettingsMutex);
    const bool watchdog = bIpTxWatchdog;
    pthread_mutex_unlock(&tSettingsMutex);
    if (version >= 0x10000B1u && watchdog)
    {
        if (((ReadRegister(FO_REG_SPEED) >> 8) & 0xF) == 11)
        {
            if (--watchdogCount < 0)
                watchdogCount = kWatchdogPolls; // the watchdog action is a hook; none here
        }
        else
        {
            watchdogCount = kWatchdogPolls;
        }
    }
}
