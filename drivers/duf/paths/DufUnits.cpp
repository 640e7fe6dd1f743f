// The FPGA units of a programming run: the device's units through the framework's unit drivers,
// or the counting stand-in of a trial run, which writes nothing and moves its list pointers by
// the bytes the real units would append.
#include "Bpbm.h"
#include "Dfcm.h"
#include "DufResources.h"
#include "FpgaPlatform.h"
#include "Pcim.h"

namespace
{
// One transfer descriptor of the bus-master list.
constexpr uint32_t kBpbmTransferBytes = 8;
} // namespace

int GetPathKind(uint32_t port, uint32_t destination)
{
    int kind = kPathOther;
    if (port >= 62101 && port <= 62104)
        kind = kPathModule;
    else if (port >= 62201 && port <= 62204)
        kind = kPathMemory;
    else if (port == 62002)
        kind = kPathFiberOptic;
    else if (port == 62100)
        kind = kPathLocalModule;
    else if (port == 62301)
        kind = kPathFpga;
    return (destination & 0xFF) == 1 ? kind : kind * DUF_PATH_KINDS;
}

bool CheckResourceUsage(int32_t* triple, const int32_t* limit, uint32_t pointer)
{
    triple[1] = static_cast<int32_t>(pointer & 0xFFFFFF);
    return triple[2] <= limit[2] && triple[0] <= limit[0] + 1 && triple[1] <= limit[1] + 1;
}

// ---- The device's units

void CDufHardwareUnits::DfcmInit(uint32_t value, int flag)
{
    ::DfcmInit(value, flag);
}
void CDufHardwareUnits::BpbmInit(uint8_t a, uint8_t b, int flag)
{
    ::BpbmInit(a, b, flag);
}
void CDufHardwareUnits::PcimInit(uint16_t a, uint8_t b)
{
    ::PcimInit(a, b);
}
void CDufHardwareUnits::BpbmSetConfigPointer(uint32_t pointer)
{
    ::BpbmSetConfigPointer(pointer);
}
uint32_t CDufHardwareUnits::BpbmReadConfigPointer()
{
    return ::BpbmReadConfigPointer();
}
void CDufHardwareUnits::DfcmSetConfigPointer(uint32_t pointer)
{
    ::DfcmSetConfigPointer(pointer);
}
uint32_t CDufHardwareUnits::DfcmReadConfigPointer()
{
    return ::DfcmReadConfigPointer();
}
void CDufHardwareUnits::BpbmAllocateChannel(uint32_t channel, uint8_t global, uint8_t module,
                                            uint8_t system, uint16_t count, uint16_t local,
                                            uint16_t second, uint32_t remote, uint32_t reg,
                                            uint8_t direction)
{
    ::BpbmAllocateChannel(channel, global, module, system, count, local, second, remote, reg,
                          direction);
}
void CDufHardwareUnits::BpbmPrgTransfer(uint32_t local, uint32_t remote, uint32_t length,
                                        uint32_t more, uint8_t flag, uint8_t channelEvent,
                                        uint8_t relayEvent)
{
    ::BpbmPrgTransfer(local, remote, length, more, flag, channelEvent, relayEvent);
}
void CDufHardwareUnits::PcimAllocateChannel(uint32_t channel, uint8_t event, uint8_t selector,
                                            uint32_t count, uint8_t raise, uint16_t local,
                                            uint16_t localLength, uint32_t host,
                                            uint32_t hostLength, uint32_t buffers, uint8_t toHost,
                                            uint8_t flag)
{
    ::PcimAllocateChannel(channel, event, selector, count, raise, local, localLength, host,
                          hostLength, buffers, toHost, flag);
}
void CDufHardwareUnits::DfcmAllocateSynchronizer(uint32_t synchronizer, uint8_t event,
                                                 uint8_t selector, uint32_t count)
{
    ::DfcmAllocateSynchronizer(synchronizer, event, selector, count);
}
void CDufHardwareUnits::DfcmPrgTransfer(uint32_t source, uint32_t destination, uint16_t length,
                                        uint32_t sourceRegister, uint32_t destinationRegister,
                                        const uint32_t* copyMask, uint8_t event)
{
    ::DfcmPrgTransfer(source, destination, length, sourceRegister, destinationRegister, copyMask,
                      0, 0, event);
}

// ---- The counting stand-in

void CDufCountingUnits::DfcmInit(uint32_t, int)
{
    m_uDfcmList = Fpga + DFCM_REG_CONFIG_LIST;
}
void CDufCountingUnits::BpbmInit(uint8_t, uint8_t, int)
{
    m_uBpbmList = Fpga + BPBM_REG_LIST;
}
void CDufCountingUnits::BpbmPrgTransfer(uint32_t, uint32_t, uint32_t, uint32_t, uint8_t, uint8_t,
                                        uint8_t)
{
    if (m_uBpbmList != 0)
        m_uBpbmList += kBpbmTransferBytes;
}
void CDufCountingUnits::DfcmPrgTransfer(uint32_t, uint32_t, uint16_t length,
                                        uint32_t sourceRegister, uint32_t destinationRegister,
                                        const uint32_t* copyMask, uint8_t)
{
    if (m_uDfcmList != 0)
        m_uDfcmList +=
            DfcmTransferBytes(length, sourceRegister, destinationRegister, copyMask != nullptr);
}
