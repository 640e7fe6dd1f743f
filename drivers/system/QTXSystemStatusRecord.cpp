// The status record "FL": 48 bytes that tell the peer at the far end of the fiber-optic link
// who this device is and which modules it holds. While the link is up the record goes by UDP to
// port 62010 of the peer every 4 s, and sooner after a change of the hex switch or of the
// link's device count. A device without hardware sends to itself.
#include "QTXSystem.h"

#include <cerrno>
#include <cstdio>

#include "QTXBinConfig.h"
#include "QTXCommandTags.h"
#include "QTXConvert.h"

namespace
{
constexpr int kRoundMs = 250;
constexpr int kSendIntervalMs = 4000;
// After a change of the device count the next record leaves within this time.
constexpr int kCountChangeMs = 2000;
// The software module gets this long to answer its Ping (connect and reply alike).
constexpr int kPingTimeoutMs = 1000;
// Largest reply to the Ping that is taken.
constexpr int kPingReplyLimit = 65536;

constexpr uint32_t kEmptySlotWord = 0x55AA66BB;

// The bus word that shows the state of the fiber-optic link; false for a family without one.
bool LinkStatusWord(int family, int32_t& address)
{
    if (family == QTX_HW_FAMILY_DAQ)
        return false;
    address = family >= 0 && family <= 2 ? 0x60000 : 0x30000;
    return true;
}
} // namespace

void BuildStatusRecord(const StatusRecordFields& fields, uint8_t record[SYSTEM_STATUS_RECORD_BYTES])
{
    for (size_t i = 0; i < SYSTEM_STATUS_RECORD_BYTES; ++i)
        record[i] = 0;
    record[0] = 'F';
    record[1] = 'L';
    QtxBinPutU16(record + 2, fields.usSequence);
    QtxBinPutU32(record + 4, static_cast<uint32_t>(fields.iOrderingNumber));
    QtxBinPutU32(record + 8, static_cast<uint32_t>(fields.iSerialNumber));
    record[12] = fields.ucHexSwitch;
    record[13] = fields.ucDeviceCount;
    QtxBinPutU16(record + 14, 3);
    record[18] = static_cast<uint8_t>(fields.acVersionHW[0]);
    record[19] = static_cast<uint8_t>(fields.acVersionHW[1]);
    QtxBinPutU32(record + 20, fields.uFirmwareVersion);
    QtxBinPutU32(record + 24, fields.uFpgaVersion);
    QtxBinPutU32(record + 32, fields.uPresentModules);
    QtxBinPutU32(record + 36, fields.uModuleSlotMask);
    QtxBinPutU32(record + 40, fields.bSoftwareModuleAnswers ? 1u : 0u);
    QtxBinPutU32(record + 44, fields.uSoftwareModuleMask);
}

uint16_t NextStatusSequence(uint16_t sequence)
{
    return sequence == 0xFFFF ? 1 : static_cast<uint16_t>(sequence + 1);
}

bool PingSoftwareModule(int timeoutMs)
{
    // Every wait of the exchange is bounded: the connect, each send and the reply.
    CQTXCommunication connection;
    connection.SetTimeout(timeoutMs, 0);
    if (!connection.Open(std::string(acLocalhost) + ":" +
                         std::to_string(SYSTEM_SOFTWARE_PORT_FIRST)))
        return false;
    const std::string ping = sXmlStart + "<Ping/>";
    if (!connection.SendBuffer(ping.data(), static_cast<int>(ping.size())))
        return false;
    const unsigned int code = connection.ReceiveXmlFile("", kPingReplyLimit);
    connection.Close();
    return code == static_cast<unsigned int>(ItemStringToInt(aCommandTags, "Ping", true));
}

uint32_t CSystem::PresentModuleMask(uint32_t slotMask)
{
    uint32_t present = slotMask;
    if (HasSlotModules(GetHWFamily()))
    {
        for (uint32_t slot = 0; slot <= 4; ++slot)
        {
            if ((present & (1u << slot)) == 0)
                continue;
            const uint32_t address = slot == 0 ? 0u : 0x7FEF0000u + slot * 0x20000000u;
            if (BPBReadWord(static_cast<int32_t>(address), false) == kEmptySlotWord)
                present &= ~(1u << slot);
        }
    }
    else if (BPBReadWord(0, false) == kEmptySlotWord)
    {
        present &= ~2u;
    }
    return present;
}

StatusRecordFields CSystem::CollectStatusRecord(uint16_t sequence, uint8_t hexNibble,
                                                uint8_t deviceCount)
{
    StatusRecordFields fields;
    fields.usSequence = sequence;
    {
        LockGuard guard(&tRegistryMutex);
        guard.Lock();
        fields.iOrderingNumber = iOrderingNumber;
        fields.iSerialNumber = iSerialNumber;
        fields.uModuleSlotMask = uModuleSlotMask;
        fields.uSoftwareModuleMask = uSoftwareModuleMask;
    }
    fields.ucHexSwitch = hexNibble;
    fields.ucDeviceCount = deviceCount;
    fields.acVersionHW[0] = acVersionHW[0];
    fields.acVersionHW[1] = acVersionHW[1];
    fields.uFirmwareVersion = uFirmwareVersionNumber;
    fields.uFpgaVersion = BPBReadWord(4, true);
    fields.uPresentModules = PresentModuleMask(fields.uModuleSlotMask);
    fields.bSoftwareModuleAnswers =
        fields.uSoftwareModuleMask != 0 && PingSoftwareModule(kPingTimeoutMs);
    return fields;
}

bool MyFlexThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    CSystem* system = static_cast<CSystem*>(driver);
    const int family = driver->GetHWFamily();
    int32_t statusAddress = 0;
    const bool hasStatus = LinkStatusWord(family, statusAddress);
    char address[32];
    if (hasStatus)
        snprintf(address, sizeof address, "%u.%u.%u.%u:%d", 169u, 254u, 0u, 100u,
                 SYSTEM_STATUS_RECORD_PORT);
    else
        snprintf(address, sizeof address, "127.0.0.1:%d", SYSTEM_STATUS_RECORD_PORT);

    int timerMs = 0;
    int lastCount = -1;
    int32_t lastHex = -1;
    uint16_t sequence = 0;
    while (driver->ContinueThread())
    {
        timerMs -= kRoundMs;
        bool linkUp = false;
        int count = 1;
        if (hasStatus)
        {
            const uint32_t status = driver->BPBReadWord(statusAddress, false);
            linkUp = ((status >> 8) & 0xFu) == 0xB;
            if (linkUp)
            {
                count = (status & 0x80u) != 0 ? static_cast<int>((status >> 1) & 0xFu) + 1 : 1;
                if (count != lastCount && lastCount > 0 && timerMs > kCountChangeMs)
                    timerMs = kCountChangeMs;
                lastCount = count;
            }
        }
        // The hex switch as seen while the link is up: a change sends a record at once.
        if (!hasStatus || linkUp)
        {
            const int32_t inUse = system->iHexSwitchInUse;
            const int32_t hex = inUse == -1 ? -1 : (inUse & 0xF);
            if (hex != lastHex)
            {
                timerMs = 0;
                lastHex = hex;
            }
        }

        if (timerMs < 1)
        {
            const uint8_t hexNibble = lastHex == -1 ? 0xFF : static_cast<uint8_t>(lastHex);
            if (!hasStatus || linkUp)
            {
                const StatusRecordFields fields =
                    system->CollectStatusRecord(sequence, hexNibble, static_cast<uint8_t>(count));
                CQTXCommunication endpoint;
                if (endpoint.Open(address, false))
                {
                    uint8_t record[SYSTEM_STATUS_RECORD_BYTES];
                    BuildStatusRecord(fields, record);
                    endpoint.SendBuffer(record, static_cast<int>(sizeof record));
                    sequence = NextStatusSequence(sequence);
                    endpoint.Close();
                }
            }
            timerMs = kSendIntervalMs;
        }
        SystemSleepMs(kRoundMs);
    }
    return true;
}
