// The hub's hardware start on each hardware family, with the family given to the object: family 1
// has no identification word of its own, so only a driver object can be put on it (the real
// program on the families that a simulated FPGA can show is tested in tests/integration).
#include "SystemTestSupport.h"

#include "QTXGlobal.h"

namespace
{
// Bus words the start may write: the bus master's control word (which is the reset word of a
// device without hardware), the timer control and the first timer interval, and the LED word.
constexpr int32_t kBusMasterControl = 0x170004;
constexpr int32_t kTimerControl = 0x1100B0;
constexpr int32_t kFirstTimerInterval = 0x1100B4;
constexpr int32_t kLedWord = 12;
// What those words hold before the start; a word the start leaves alone keeps it.
constexpr uint32_t kBefore = 0x5A5A0F01u;

TEST_F(SystemUnit, BootHardwareStartsWhatTheFamilyHas)
{
    const struct
    {
        int family;
        uint32_t busMasterControl;
        uint32_t timerControl;
        uint32_t firstTimerInterval;
    } cases[] = {
        // Bus master enabled; timers 0 to 3 enabled and running; the timers' start intervals.
        {1, 0xC0000000u, 0x00000F0Fu, 1599},
        {QTX_HW_FAMILY_880, 0xC0000000u, 0x00000F0Fu, 1599},
        // Without hardware only the reset word is cleared.
        {QTX_HW_FAMILY_DAQ, 0, kBefore, kBefore},
        {QTX_HW_FAMILY_KV8, kBefore, kBefore, kBefore},
    };
    CTestSystem& system = System();
    SetGlobalQTX(&system);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.family);
        for (int32_t word : {kBusMasterControl, kTimerControl, kFirstTimerInterval, kLedWord})
            system.BPBWriteWord(word, kBefore, true);
        system.SetHWFamily(c.family);
        system.BootHardware();
        EXPECT_EQ(system.BPBReadWord(kBusMasterControl, true), c.busMasterControl);
        EXPECT_EQ(system.BPBReadWord(kTimerControl, true), c.timerControl);
        EXPECT_EQ(system.BPBReadWord(kFirstTimerInterval, true), c.firstTimerInterval);
        // Every family clears bits 8 to 11 of the LED word and keeps the others.
        EXPECT_EQ(system.BPBReadWord(kLedWord, true), kBefore & ~0x00000F00u);
    }
    ClearGlobalQTX(&system);
}
} // namespace
