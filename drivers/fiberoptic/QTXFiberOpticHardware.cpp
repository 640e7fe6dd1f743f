// Programming the fiber-optic unit from the settings in force: the registers of the Flex
// protocol (slots, master mode, class times) or of the point-to-point, ring, 3.3 Mbit and Off
// protocols, the mode register with the holds some families need, the sampling period for the
// hub, and IP over fiber on the interface "ils0".
#include "QTXFiberOptic.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXGlobal.h"
#include "QTXMessages.h"

namespace
{
// Absolute registers of the family-2 FPGA that the mode change needs.
constexpr int32_t kFamily2Status = 0x1100A4;
constexpr int32_t kFamily2Clock = 0x1100B0;
// Mode register value while the mode is held.
constexpr uint32_t kModeHeld = 76;
// Base address of IP over fiber: 169.254.0.100 plus the node.
constexpr uint32_t kIpOverFiberBase = (169u << 24) | (254u << 16) | 100u;

std::string Dotted(uint32_t address)
{
    char text[20];
    snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
             (address >> 8) & 0xFF, address & 0xFF);
    return text;
}
} // namespace

int WriteDeviceFile(const char* path, const void* buffer, int length, long offset)
{
    if (length < 0 || path == nullptr || (buffer == nullptr && length != 0))
        return -70;
    const int file = PlatOpen(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0)
        return -86;
    bool seeked = true;
    if (offset != 0)
        seeked = PlatLseek(file, offset, SEEK_SET) >= 0;
    ssize_t written = 0;
    if (seeked && length != 0)
        written = PlatWrite(file, buffer, static_cast<size_t>(length));
    PlatClose(file);
    if (!seeked)
        return -80;
    return static_cast<int>(written);
}

void CFiberOptic::WriteModeRegister(int inputRow, bool flex, bool held)
{
    if (GetMonotonicTime() < fModeReleaseTime || held)
    {
        WriteRegister(FO_REG_MODE, kModeHeld);
        return;
    }
    uint32_t value = FoModeCode(inputRow);
    const int family = GetHWFamily();
    if (family == QTX_HW_FAMILY_880 && ((BPBReadWord(kFamily2Status, true) >> 8) & 0xF) == 0xC)
    {
        const uint32_t clock = BPBReadWord(kFamily2Clock, true);
        BPBWriteWord(kFamily2Clock, (clock & ~0xF00u) | 0xA00u, true);
        for (int i = 0; i < 3; ++i)
        {
            BPBWriteWord(kFamily2Status, 1, true);
            FoSleepMs(1);
        }
        BPBWriteWord(kFamily2Clock, clock, true);
    }
    if (flex && family == QTX_HW_FAMILY_CLK)
        value = (value & ~0xF0u) | 0x80u;
    WriteRegister(FO_REG_MODE, value | 0x200000u);
}

void CFiberOptic::FillSlotRegisters(uint32_t words[FO_SLOTS])
{
    memset(words, 0, sizeof(uint32_t) * FO_SLOTS);
    const int32_t s1 = tHexSwitches.iSwitch1;
    const int32_t s2 = tHexSwitches.iSwitch2;
    const int32_t s4 = tHexSwitches.iRest;
    switch (GetHWFamily())
    {
    case QTX_HW_FAMILY_VME:
        words[1] = 0x60;
        if ((s4 & 4) != 0)
            words[2] = 8;
        break;
    case QTX_HW_FAMILY_KV8:
    {
        words[1] = 0x81;
        words[6] = 232;
        words[7] = 3;
        const int32_t n = (s2 >= 1 && s2 <= 8) ? s2 : 0;
        words[0] = n > 0 ? 1u << (n - 1) : 0;
        const int orderingNumber = OrderingNumber();
        const uint32_t product = orderingNumber == 52230000   ? 1
                                 : orderingNumber == 52230010 ? 2
                                                              : 0;
        words[3] = ((static_cast<uint32_t>(s1) * 16) & 0xFF) | product;
        words[4] = static_cast<uint32_t>(n) * 16;
        break;
    }
    case QTX_HW_FAMILY_WAG:
    {
        static const uint32_t kNodeBits[16] = {0,    1, 2, 3, 4, 5,    6,    7,
                                               0x80, 0, 2, 4, 8, 0x10, 0x20, 0x40};
        words[1] = 0xA1;
        words[6] = 232;
        words[7] = 3;
        if (s2 >= 0 && s2 <= 15)
            words[0] = kNodeBits[s2];
        words[4] = (static_cast<uint32_t>(s2) * 16) & 0xFF;
        break;
    }
    default:
        break;
    }
}

void CFiberOptic::SetHwCfg(bool readSoftSwitch)
{
    if (readSoftSwitch)
        ReadSoftHexSwitch(tHexSwitches);
    FoSettings s;
    const int row = GetCurrentSettings(tHexSwitches, &s);
    const bool flex = row == FO_PROTOCOL_FLEX;
    const bool ring = FoIsRing(row);
    const int32_t node = tHexSwitches.iSwitch2;
    const int family = GetHWFamily();
    const bool held = IsBooting() && family == QTX_HW_FAMILY_880;

    WriteRegister(FO_REG_CONTROL, 0);
    WriteRegister(FO_REG_SPEED, FoSpeedClass(s.iInputProtocol));
    WriteRegister(FO_REG_FRAME, FoFrameRegister(s.iInputProtocol));

    if (flex)
    {
        const bool master = s.iMasterModePeriod != 0;
        const int32_t payloadSlot = node == 0 ? 16 : node;
        int32_t q = s.iMasterModePeriod;
        q = q < 7 ? 7 : q > 16384 ? 16384 : q;
        WriteRegister(FO_REG_PERIOD, static_cast<uint32_t>(q - 1));
        WriteRegister(FO_REG_FLAGS, 0);
        const int32_t hub = (iHub >= 1 && iHub <= 15) ? iHub : 0;

        WriteRegister(FO_REG_MASTER,
                      master ? (0x8000u | (s.aiMasterModeLength[0] < 2 ? 0x2000u : 0u)) : 0u);
        for (int i = 0; i < FO_SLOTS; ++i)
        {
            WriteRegister(FO_REG_SLOT_ENABLE + 4 * i,
                          (i == 0 || i == payloadSlot) ? 0x80000000u : 0u);
            WriteRegister(FO_REG_SLOT_WINDOW + 8 * i,
                          (i == payloadSlot && s.iLength > 0)
                              ? (static_cast<uint32_t>(s.iLength - 1) | 0x80000000u)
                              : 0u);
            uint32_t word = 0;
            if (master && s.aiMasterModeLength[i] > 0)
            {
                word = 0x80000000u | (static_cast<uint32_t>(s.aiMasterModeLength[i] - 1) & 0xFFFu);
                const int32_t deviceClass = s.aiMasterModeDeviceClasses[i];
                if (deviceClass >= 0 && deviceClass <= 3)
                    word |= static_cast<uint32_t>(deviceClass) << 16;
            }
            WriteRegister(FO_REG_SLOT_WORD + 4 * i, word);
        }
        for (int j = 0; j < 2; ++j)
        {
            const int32_t t = s.aiMasterModeClassTimes[j];
            WriteRegister(FO_REG_CLASS_TIME + 4 * j, t > 0 ? static_cast<uint32_t>(t - 1) : 0u);
        }
        const int64_t timing = static_cast<int64_t>(q) * 64 - (hub > 0 ? 98 + 75 * (hub - 1) : 98);
        WriteRegister(FO_REG_TIMING, timing > 0 ? static_cast<uint32_t>(timing) : 0u);
        WriteRegister(FO_REG_ZERO, 0);
        WriteModeRegister(s.iInputProtocol, true, held);
        WriteRegister(FO_REG_CONTROL, 1);
        // Without a node number (no switches read) there is no address for IP over fiber.
        SetIpOverFiber(node < 0 ? FO_IP_NONE : static_cast<uint32_t>(node == 0 ? 16 : node));
    }
    else
    {
        const int32_t q = s.iOutputPeriod > 9 ? s.iOutputPeriod : 50;
        WriteRegister(FO_REG_PERIOD, static_cast<uint32_t>(q - 1));
        WriteRegister(FO_REG_FLAGS, (s.iOutputPeriod == 0 || ring) ? 8u : 0u);
        WriteRegister(FO_REG_ZERO, 0);
        WriteModeRegister(s.iInputProtocol, false, held);

        int32_t first = 0;
        int32_t count = 0;
        if (ring)
        {
            first = family == QTX_HW_FAMILY_LIO ? node : s.iSlot;
            count = 1;
        }
        else if (s.iFirstSlot > 0 && s.iSlotCount > 0)
        {
            first = s.iFirstSlot - 1;
            count = s.iSlotCount;
        }
        for (int i = 0; i < FO_SLOTS; ++i)
            WriteRegister(FO_REG_SLOT_WINDOW + 8 * i,
                          (count > 0 && i >= first && i - first < count) ? 0x80000000u : 0u);

        uint32_t words[FO_SLOTS];
        FillSlotRegisters(words);
        for (int i = 0; i < FO_SLOTS; ++i)
            WriteRegister(FO_REG_SLOT_WORD + 4 * i, words[i]);

        if (ring)
        {
            WriteRegister(FO_REG_MASTER, 0);
            WriteRegister(FO_REG_TIMING, 0);
        }
        else if (s.iInputProtocol == FO_PROTOCOL_KOVE8)
        {
            WriteRegister(FO_REG_MASTER, 0x8000);
            WriteRegister(FO_REG_TIMING, (s.iFirstSlot >= 0 && s.iFirstSlot <= 8)
                                             ? static_cast<uint32_t>(3838 - 326 * s.iFirstSlot)
                                             : 3512u);
        }
        else
        {
            WriteRegister(FO_REG_MASTER, (s.iModeFlags & 1) != 0 ? 0x9000u : 0x8000u);
            WriteRegister(FO_REG_TIMING, 0);
        }
        WriteRegister(FO_REG_CONTROL, 1);
        SetIpOverFiber(FO_IP_NONE);
    }

    SendSamplingPeriod(s.iOutputPeriod != 0 ? s.iOutputPeriod : FoPeriod(s.iInputProtocol));

    if (GetMonotonicTime() >= fModeReleaseTime)
        WriteRegister(FO_REG_MODE, ReadRegister(FO_REG_MODE) & 0x3FFFFFu);
}

void CFiberOptic::SendSamplingPeriod(int32_t period)
{
    if (period <= 0 || period == iSentSamplingPeriod)
        return;
    const std::string text =
        sXmlStart + "\n<SetSamplingPeriodInUs FiberOptic=\"" + std::to_string(period) + "\"/>\n";
    // Remembered only once the hub has it, so that a failed send is tried again with the next
    // programming.
    if (SendStringToDriver(text, 1000, QTX_SYSTEM_PORT, ""))
        iSentSamplingPeriod = period;
}

int CFiberOptic::SetIpOverFiber(uint32_t node)
{
    const uint32_t address = node == FO_IP_NONE
                                 ? FO_IP_NONE
                                 : (kIpOverFiberBase & 0xFFFFFF00u) | ((100u + node) & 0xFFu);
    if (address == iIpOverFiberAddress)
        return 1;
    iIpOverFiberAddress = address;
    if (address == FO_IP_NONE)
    {
        ExecuteShellCommand("ifconfig ils0 0.0.0.0", true);
        return 0;
    }
    char mac[8];
    snprintf(mac, sizeof mac, "%02X", ((address & 0xFFu) - 100u) & 0xFFu);
    ExecuteShellCommand("ifconfig ils0 " + Dotted(address) +
                            " netmask 255.255.255.0 hw ether 02:10:C4:FF:00:" + mac,
                        true);
    char nat[16];
    const int length =
        snprintf(nat, sizeof nat, "nat %u.%u", address >> 24, (address >> 16) & 0xFF);
    WriteDeviceFile("/dev/ilseth", nat, length + 1, 0);
    ExecuteShellCommand("arp -i ils0 -s " + Dotted(kIpOverFiberBase) + " 02:10:C4:FF:00:00", true);
    return 0;
}
