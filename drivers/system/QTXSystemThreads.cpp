// The polling threads of the hub. Each runs from the start of the serving loop until the
// driver's threads are told to end.
//
// The LED thread so far runs the LED test that the LEDTest command switches on; the normal
// front-panel LEDs (heartbeat, module-error and button LEDs) join it with the front panel. The
// hex-switch, status-record and watchdog threads wait idle for their work.
#include "QTXSystem.h"

#include <cerrno>
#include <ctime>

#include "Cdi.h"
#include "FpgaDependence.h"

namespace
{
// One round of the LED thread.
constexpr int kLedRoundMs = 133;
// Rounds of the LED test cycle (a test step at rounds 0 and 2) and of the normal cycle.
constexpr int kLedTestRounds = 4;
constexpr int kLedNormalRounds = 12;
// An idle thread looks this often whether it is to end.
constexpr int kIdleRoundMs = 100;

// LED test mode that steps through the family's test sequence.
constexpr int32_t kLedTestSequenceMode = 0x81;
// The LED test sequence: at most this many words, rows separated by kLedTestSeparator, ended
// by a 0 word.
constexpr int kLedTestMaxWords = 100;
constexpr uint32_t kLedTestSeparator = 0x50000000;

// Bus words of the front panel (relative addresses).
constexpr int32_t kBusWordLeds = 12;
constexpr int32_t kBusWordLeds2 = 28;
constexpr int32_t kBusWordLeds3 = 0x4FE1F0;

void SleepMs(int milliseconds)
{
    timespec rest{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
    {
    }
}

bool IsPnFamily(int family)
{
    return family == QTX_HW_FAMILY_PNA || family == QTX_HW_FAMILY_EIP;
}

// Waits until the driver's threads are to end.
bool IdleUntilEnd(CQTX* driver)
{
    while (driver->ContinueThread())
        SleepMs(kIdleRoundMs);
    return true;
}
} // namespace

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

        if (!testRunning && ++round >= kLedNormalRounds)
            round = 0;
        SleepMs(kLedRoundMs);
    }
    return true;
}

bool MyHexSwitchThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    return IdleUntilEnd(driver);
}

bool MyFlexThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    return IdleUntilEnd(driver);
}

bool MyWatchdogThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    return IdleUntilEnd(driver);
}
