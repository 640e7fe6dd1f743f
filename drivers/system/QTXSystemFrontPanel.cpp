// The front panel of the device: the status LEDs (heartbeat, module-error LED, button LED),
// the LED test, and the hex switches, whose debounced setting goes to the CDI device and, with
// the sampling period, to every registered driver.
#include "QTXSystem.h"

#include <cerrno>
#include <cmath>

#include "Cdi.h"
#include "FpgaDependence.h"
#include "QTXConvert.h"

namespace
{
// One round of the LED thread.
constexpr int kLedRoundMs = 133;
// Rounds of the LED test cycle (a test step at rounds 0 and 2) and of the normal cycle.
constexpr int kLedTestRounds = 4;
constexpr int kLedNormalRounds = 12;
// One round of the hex-switch thread; a new setting counts after this many quiet rounds.
constexpr int kHexRoundMs = 250;
constexpr int kHexDebounceRounds = 6;
// At most this many registered drivers get the user settings.
constexpr int kUserConfigPorts = 15;
// A driver gets this long to answer them; one that does not is tried again at the next change.
constexpr int kUserConfigTimeoutMs = 1000;
// A change of the sampling period smaller than this is no change.
constexpr double kPeriodTolerance = 0.0009;

// LED test mode that steps through the family's test sequence.
constexpr int32_t kLedTestSequenceMode = 0x81;
// The LED test sequence: at most this many words, rows separated by kLedTestSeparator, ended
// by a 0 word.
constexpr int kLedTestMaxWords = 100;
constexpr uint32_t kLedTestSeparator = 0x50000000;

// Bus words of the front panel (relative addresses).
constexpr int32_t kBusWordLeds = 12;
// Bit 7: the fiber-optic link of a KV8 is up.
constexpr int32_t kBusWordLinkStatus = 0x30000;
constexpr int32_t kBusWordLeds2 = 28;
constexpr int32_t kBusWordLeds3 = 0x4FE1F0;

bool IsPnFamily(int family)
{
    return family == QTX_HW_FAMILY_PNA || family == QTX_HW_FAMILY_EIP;
}

uint8_t SwitchByte(int32_t setting, int shift, uint32_t mask)
{
    return setting == -1 ? 0xFF
                         : static_cast<uint8_t>((static_cast<uint32_t>(setting) >> shift) & mask);
}
} // namespace

std::string HexSwitchUserConfigRequest(int32_t setting, double samplingPeriodInUs)
{
    return sXmlStart + "<SetUserConfig Value=\";hex=" + IntToString(setting, 16) +
           ";SamplingPeriodInUs=" + FloatToString(samplingPeriodInUs) + ";\" />";
}

void HexSwitchRecord(int32_t setting, uint8_t record[16])
{
    for (int i = 0; i < 16; ++i)
        record[i] = 0;
    record[0] = SwitchByte(setting, 4, 0xF);
    record[1] = SwitchByte(setting, 0, 0xF);
    record[2] = SwitchByte(setting, 8, 0xF);
    record[3] = SwitchByte(setting, 12, 0xFF);
}

void CSystem::SetLed(int led, bool on)
{
    switch (led)
    {
    case 1:
        CdiLedControl(on ? 3u : 1u);
        break;
    case 2:
        CdiLedControl(on ? 0x3000u : 0x1000u);
        break;
    case 4:
        CdiLedControl(on ? 0x50000000u : 0x60000000u);
        break;
    default:
        break;
    }
}

void CSystem::LedTestStep(bool run)
{
    if (!run)
    {
        BPBWriteWord(kBusWordLeds, 0x80000000u, false);
        return;
    }
    const uint32_t* sequence = GetLedTestSequence();
    if (sequence == nullptr)
        return;

    // The number of steps is the longest row of the sequence.
    if (iLedTestSteps == 0)
    {
        int row = 0;
        for (int i = 0; i < kLedTestMaxWords; ++i)
        {
            const uint32_t word = sequence[i];
            if (word == 0 || word == kLedTestSeparator)
            {
                if (row > iLedTestSteps)
                    iLedTestSteps = row;
                row = 0;
                if (word == 0)
                    break;
            }
            else
            {
                ++row;
            }
        }
        if (iLedTestSteps == 0)
            return;
    }
    if (iLedTestStep >= iLedTestSteps)
        iLedTestStep = 0;

    uint32_t leds = 0;     // bus word 12
    uint32_t leds2 = 0;    // bus word 28
    uint32_t leds3 = 0;    // bus word 0x4FE1F0
    uint32_t separate = 0; // LEDs 1 and 2
    bool busEntry = false;
    int count = 0;
    for (int i = 0; i < kLedTestMaxWords && count < kLedTestMaxWords; ++i)
    {
        const uint32_t word = sequence[i];
        if (word == 0)
            break;
        if (word == kLedTestSeparator)
            continue;
        const bool current = count % iLedTestSteps == iLedTestStep;
        ++count;
        if ((word & 0xC0000000u) == 0x80000000u)
        {
            busEntry = true;
            if (current)
                leds |= word & 0x3FFFFFFFu;
        }
        else if ((word & 0xF0000000u) == 0x60000000u)
        {
            busEntry = true;
            if (current)
                leds2 |= word & 0x0FFFFFFFu;
        }
        else if ((word & 0xF0000000u) == 0x70000000u)
        {
            leds3 |= 0x70000000u;
            if (current)
                leds3 |= word & 0x0FFFFFFFu;
        }
        else if (word == 0x40000001u || word == 0x40000002u)
        {
            separate |= 0x40000000u;
            if (current)
                separate |= word & 0x3u;
        }
    }

    if (separate & 0x40000000u)
    {
        SetLed(1, (separate & 1u) != 0);
        SetLed(2, (separate & 2u) != 0);
    }
    const int family = GetHWFamily();
    if (busEntry)
    {
        if (IsPnFamily(family))
        {
            leds2 = leds;
            leds |= 0x30000000u;
        }
        BPBWriteWord(kBusWordLeds, leds + 0x40000000u, false);
        BPBWriteWord(kBusWordLeds2, leds2, false);
    }
    if ((leds3 & 0x70000000u) != 0 && IsPnFamily(family))
        BPBWriteWord(kBusWordLeds3, leds3 & 0x0FFFFFFFu, false);

    if (++iLedTestStep >= iLedTestSteps)
        iLedTestStep = 0;
}

void CSystem::ShowDeviceState(int round)
{
    // LED 1: the heartbeat, 0.8 s on and 0.8 s off; fast blinking toggles it every round.
    SetLed(1, bFastBlinking ? (round & 1) != 0 : round < 6);
    if (round != 0 && round != 6)
        return;

    if (bIsKove8)
    {
        // The link LED of a KV8 with a unit number of 1 to 8 follows its fiber-optic link.
        const int32_t setting = iHexSwitchSetting;
        const int32_t unit = setting & 0xF;
        const bool lit = setting != -1 && unit >= 1 && unit <= 8 &&
                         ((BPBReadWord(kBusWordLinkStatus, false) & 0x80u) != 0 || round == 0);
        BPBWriteWord(kBusWordLeds, lit ? 0x70010000u : 0x70000000u, false);
    }

    // LED 2 blinks with the heartbeat while any module error is set.
    SetLed(2, !AllErrorSlotsEmpty() && round == 0);

    if (bButtonLed)
    {
        SetLed(4, true);
        bButtonLedShown = true;
    }
    else if (bButtonLedShown)
    {
        SetLed(4, false);
        bButtonLedShown = false;
    }
}

int32_t CSystem::ReadHexSwitchWord()
{
    const uint32_t first = ReadUnitNumber(this);
    const uint32_t second = ReadSecondHexSwitch(this);
    if (first == 0xFFFFFFFFu || second == 0xFFFFFFFFu)
        return -1;
    const uint32_t word = (first & 0xFu) | (second & 0xFu) << 4 |
                          (ReadSwitchNibble3(this) & 0xFu) << 8 | ReadSwitchWord4(this) << 12;
    // A word that reads as -1 would stand for "unknown".
    return word == 0xFFFFFFFFu ? -1 : static_cast<int32_t>(word);
}

void CSystem::PublishHexSwitches(int32_t setting)
{
    uint8_t record[16];
    HexSwitchRecord(setting, record);
    CdiSetHexSwitches(record);
}

int CSystem::DistributeUserConfig(int32_t setting, int timeoutMs)
{
    const std::string request = HexSwitchUserConfigRequest(setting, dSamplingPeriodInUs);
    int32_t ports[kUserConfigPorts];
    const int count = GetRegisteredPorts(ports, kUserConfigPorts);
    int answered = 0;
    for (int i = 0; i < count && ContinueThread(); ++i)
        answered += SendStringToDriver(request, timeoutMs, ports[i], "") ? 1 : 0;
    return answered;
}

bool MyLedThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    CSystem* system = static_cast<CSystem*>(driver);
    int round = 0;
    bool testRunning = false;
    while (driver->ContinueThread())
    {
        const int family = driver->GetHWFamily();
        const int32_t mode = system->iLedTestMode;
        if (mode == 0)
        {
            if (testRunning)
            {
                system->LedTestStep(false);
                testRunning = false;
                CdiLedTestStop();
                if (IsPnFamily(family))
                    system->WritePnDriver("prodmodeoff", 12);
            }
        }
        else
        {
            if (!testRunning)
            {
                CdiLedTestStart();
                if (IsPnFamily(family))
                    system->WritePnDriver("prodmodeon", 11);
                testRunning = true;
            }
            if (round == 0 || round == 2)
                system->LedTestStep(mode == kLedTestSequenceMode);
            if (++round >= kLedTestRounds)
                round = 0;
        }

        if (!testRunning)
        {
            system->ShowDeviceState(round);
            if (++round >= kLedNormalRounds)
                round = 0;
        }
        SystemSleepMs(kLedRoundMs);
    }
    return true;
}

bool MyHexSwitchThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    CSystem* system = static_cast<CSystem*>(driver);
    const bool noHardware = driver->GetHWFamily() == QTX_HW_FAMILY_DAQ;
    int countdown = 0;
    const int32_t first = system->ReadHexSwitchWord();
    system->iHexSwitchSetting = first;
    system->iHexSwitchInUse = first;
    system->PublishHexSwitches(first);

    // Nothing is sent before the signal-routing driver has registered.
    for (;;)
    {
        if (!driver->ContinueThread())
            return true;
        int32_t ports[kUserConfigPorts];
        const int count = system->GetRegisteredPorts(ports, kUserConfigPorts);
        bool routing = false;
        for (int i = 0; i < count; ++i)
            routing = routing || ports[i] == SYSTEM_DUF_PORT;
        if (routing)
            break;
        SystemSleepMs(kHexRoundMs);
    }

    double lastPeriod = system->dSamplingPeriodInUs;
    while (driver->ContinueThread())
    {
        const double period = system->dSamplingPeriodInUs;
        bool changed = std::fabs(period - lastPeriod) > kPeriodTolerance;
        if (changed)
            lastPeriod = period;

        const int32_t value = noHardware ? 1 : system->ReadHexSwitchWord();
        if (value != system->iHexSwitchSetting)
        {
            system->iHexSwitchSetting = value;
            countdown = kHexDebounceRounds;
        }
        else if (countdown > 0 && --countdown == 0)
        {
            system->iHexSwitchInUse = value;
            if (value != -1)
            {
                changed = true;
                system->PublishHexSwitches(value);
            }
        }

        if (changed)
            system->DistributeUserConfig(system->iHexSwitchSetting, kUserConfigTimeoutMs);
        SystemSleepMs(kHexRoundMs);
    }
    return true;
}
