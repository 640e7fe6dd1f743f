// The switch inputs of the device: the unit number, the second hex switch, the extra switch
// words and the factory-default button. Their wiring differs by hardware family: bus words of
// the FPGA, GPIO lines 80-88 of "/dev/gpio" (a line that reads 0 is active), or the hex-switch
// record and the factory-default input of the CDI device.
#include "QTXSystem.h"

#include <cstdint>

#include "Cdi.h"
#include "KovePlatform.h"
#include "QTXMessages.h"

namespace
{
constexpr int32_t kBusWordSwitches2 = 0x110008; // families 1 and 2
constexpr int32_t kBusWordSwitches = 8;         // families 6 and 8: unit number, nibble 3
constexpr int32_t kBusWordSwitchWord4 = 8200;   // family 6

constexpr uint32_t kLineUnitFirst = 80;
constexpr uint32_t kLineSecondFirst = 84;
constexpr uint32_t kLineButton = 88;

// The factory-default button thread: its look period, the time its request may take, and how
// long it lights the button LED.
constexpr int kButtonLookMs = 250;
constexpr int kButtonRequestTimeoutMs = 10000;
constexpr int kButtonLedMs = 2000;

// Family 8 wires the second switch's four lines in its own order: the value read -> the switch.
const uint32_t kFamily8SecondSwitch[16] = {0, 4, 1, 5, 8, 12, 9, 13, 2, 6, 3, 7, 10, 14, 11, 15};

uint32_t Nibble(uint32_t word, int shift)
{
    return (word >> shift) & 0xFu;
}

// GPIO lines a-b as a value; -1 (all bits) without the GPIO device.
uint32_t Gpio(const CSystem* system, uint32_t first, uint32_t count)
{
    if (system->iGPIOFile < 0)
        return static_cast<uint32_t>(-1);
    return GpioReadBits(system->iGPIOFile, first, count);
}
} // namespace

uint32_t GpioReadBits(int gpio, uint32_t firstLine, uint32_t count)
{
    uint32_t value = 0;
    for (uint32_t i = 0; i < count && i < 32; ++i)
        if (PlatIoctl(gpio, 0, reinterpret_cast<void*>(static_cast<uintptr_t>(firstLine + i))) == 0)
            value |= 1u << i;
    return value;
}

bool HasSlotModules(int family)
{
    return family == 1 || family == 2 || family == 11 || family == 12;
}

bool IsFamily13(int family)
{
    return family == 13;
}

uint32_t ReadUnitNumber(CSystem* system)
{
    switch (system->GetHWFamily())
    {
    case 1:
    case 2:
        return Nibble(system->BPBReadWord(kBusWordSwitches2, true), 24);
    case 3:
    case 4:
    case 5:
    case 7:
        return Gpio(system, kLineUnitFirst, 4);
    case 6:
    case 8:
        return Nibble(system->BPBReadWord(kBusWordSwitches, true), 20);
    case 10:
    case 14:
    {
        uint8_t record[16] = {};
        CdiGetHexSwitches(record);
        return record[1];
    }
    default:
        return 0;
    }
}

uint32_t ReadSecondHexSwitch(CSystem* system)
{
    switch (system->GetHWFamily())
    {
    case 1:
    case 2:
        return Nibble(system->BPBReadWord(kBusWordSwitches2, true), 28);
    case 3:
    case 5:
    case 6:
        return Gpio(system, kLineSecondFirst, 4);
    case 8:
    {
        const uint32_t value = Gpio(system, kLineSecondFirst, 4);
        return value <= 15 ? kFamily8SecondSwitch[value] : value;
    }
    default:
        return 0;
    }
}

uint32_t ReadSwitchNibble3(CSystem* system)
{
    const int family = system->GetHWFamily();
    if (family == 6 || family == 7)
        return Nibble(system->BPBReadWord(kBusWordSwitches, true), 24);
    return 0;
}

uint32_t ReadSwitchWord4(CSystem* system)
{
    if (system->GetHWFamily() == 6)
        return system->BPBReadWord(kBusWordSwitchWord4, true) & 0xFFFFu;
    return 0;
}

uint32_t ReadFactoryButton(CSystem* system)
{
    switch (system->GetHWFamily())
    {
    case 1:
        return system->BPBReadWord(kBusWordSwitches2, false) & 1u;
    case 5:
        // Without the GPIO device the button is not pressed: a missing device must not ask
        // for factory defaults.
        return system->iGPIOFile >= 0 ? Gpio(system, kLineButton, 1) & 1u : 0u;
    default:
        return CdiGetFactoryDefCurrent() != 0 ? 1u : 0u;
    }
}

bool FactoryButtonThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    CSystem* system = dynamic_cast<CSystem*>(driver);
    if (system == nullptr)
        return false;
    const std::string request =
        sXmlStart + "<FactorySettings IncludeNetworkSettings=\"true\" />";
    bool handled = false;
    while (system->ContinueThread())
    {
        SystemSleepMs(kButtonLookMs);
        if (CdiGetFactoryDefCurrent() == 0 || system->IsBooting())
            continue;
        SystemSleepMs(kButtonLookMs);
        if (CdiGetFactoryDefCurrent() != 0 && !handled && system->ContinueThread())
        {
            system->bButtonLed = true;
            SendStringToDriver(request, kButtonRequestTimeoutMs,
                               static_cast<int>(QTX_SYSTEM_PORT),
                               system->FileNameToAbsolutePath("Reply.xml"));
            SystemSleepMs(kButtonLedMs);
            system->bButtonLed = false;
            handled = true;
        }
        else
        {
            // Released, or already acted on: a button still held acts again the round after.
            handled = false;
        }
    }
    return true;
}
