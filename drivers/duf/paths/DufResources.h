// Routing resources of one programming run: what the run counts and hands out (bus-master and
// PCI-master channels, synchronizers, pieces of the fiber-optic and coprocessor windows, the
// events that chain the units), the kind of a port, and the FPGA units the run programs.
//
// A run talks to the units through CDufUnits. The configuration run programs the real units
// (the framework's Bpbm/Dfcm/Pcim drivers); the simulation run uses CDufCountingUnits, which
// writes nothing and only follows the list pointers as the real units would advance them, so
// that both runs count alike and a trial never disturbs the paths that are running.
#ifndef DUF_RESOURCES_H
#define DUF_RESOURCES_H

#include <cstdint>

// Counters of one run; each triple is {data used, list pointer, units used} for the check.
struct RoutingResources
{
    int32_t BpbmData = 0;
    int32_t BpbmListEnd = 0;
    int32_t BpbmChannels = 0; // next free channel; -1: unit absent
    int32_t PcimData = 0;
    int32_t PcimListEnd = 0;
    int32_t PcimChannels = 0; // 0, or -1 when the unit is absent
    int32_t DfcmData = 0;
    int32_t DfcmListEnd = 0;
    int32_t DfcmSynchronizers = 0; // next free synchronizer; -1: unit absent
    int32_t FoOutData = 0;
    int32_t FoInData = 0;
    int32_t CoProcessorData = 0;
    // The unit a path needed that the device does not have ("synchronizer", "bus-master",
    // "PCI-master"); null when none was missing.
    const char* MissingUnit = nullptr;
};

// Windows and limits on the FPGA bus (byte addresses relative to the unit base).
constexpr uint32_t DUF_BPBM_DATA = 0x160C00;
constexpr uint32_t DUF_BPBM_LIST = 0x160100;
constexpr uint32_t DUF_PCIM_DATA = 0x120100;
constexpr uint32_t DUF_DFCM_LIST = 0x100080;
constexpr uint32_t DUF_FO_IN_WINDOW = 0x140020;  // iFoInBufferStart
constexpr uint32_t DUF_FO_OUT_WINDOW = 0x148000; // iFoOutBufferStart
constexpr uint32_t DUF_FO_IN_REGISTER = 0x150008;
constexpr uint32_t DUF_FO_OUT_REGISTER = 0x15000C;
constexpr uint32_t DUF_FO_EVENT_MASK_A = 0x150000;
constexpr uint32_t DUF_FO_EVENT_MASK_B = 0x150010;
constexpr uint32_t DUF_COPROCESSOR_IN = 0x1A0040;
constexpr uint32_t DUF_COPROCESSOR_OUT = 0x19FFFC; // 4 bytes before the unit's data
constexpr int32_t DUF_FO_IN_LIMIT = 3040;
constexpr int32_t DUF_FO_OUT_LIMIT = 4096;
constexpr int32_t DUF_COPROCESSOR_LIMIT = 449;
constexpr int32_t DUF_FIRST_FO_OUT_EVENT = 33;
constexpr int32_t DUF_FO_OUT_EVENT_LIMIT = 64;
constexpr uint32_t DUF_BPBM_UNITS = 16;
constexpr uint32_t DUF_DFCM_UNITS = 32;
// Event numbers: done events of the units.
constexpr uint8_t DUF_BPBM_EVENT = 64;
constexpr uint8_t DUF_PCIM_EVENT = 112;
// System-event selector of a unit without a preceding event.
constexpr uint8_t DUF_NO_EVENT_SELECTOR = 7;

// Path kinds of a port.
enum DufPathKind
{
    kPathModule = 0,
    kPathMemory = 1,
    kPathFiberOptic = 2,
    kPathLocalModule = 3,
    kPathFpga = 4,
    kPathOther = 5
};
constexpr int DUF_PATH_KINDS = 6;

// The kind of the port; as is when the low byte of destination is 1 (the destination of a
// path), else multiplied by 6 (the source).
int GetPathKind(uint32_t port, uint32_t destination);

// {data, list pointer, units}: stores the pointer's low 24 bits as the triple's list end and
// is true when units <= limit units, data <= limit data + 1 and pointer <= limit pointer + 1.
bool CheckResourceUsage(int32_t* triple, const int32_t* limit, uint32_t pointer);

// The FPGA units a programming run uses; each operation as the framework's unit driver of that
// name.
class CDufUnits
{
public:
    virtual ~CDufUnits() = default;
    virtual void DfcmInit(uint32_t value, int flag) = 0;
    virtual void BpbmInit(uint8_t a, uint8_t b, int flag) = 0;
    virtual void PcimInit(uint16_t a, uint8_t b) = 0;
    virtual void BpbmSetConfigPointer(uint32_t pointer) = 0;
    virtual uint32_t BpbmReadConfigPointer() = 0;
    virtual void DfcmSetConfigPointer(uint32_t pointer) = 0;
    virtual uint32_t DfcmReadConfigPointer() = 0;
    virtual void BpbmAllocateChannel(uint32_t channel, uint8_t global, uint8_t module,
                                     uint8_t system, uint16_t count, uint16_t local,
                                     uint16_t second, uint32_t remote, uint32_t reg,
                                     uint8_t direction) = 0;
    virtual void BpbmPrgTransfer(uint32_t local, uint32_t remote, uint32_t length, uint32_t more,
                                 uint8_t flag, uint8_t channelEvent, uint8_t relayEvent) = 0;
    virtual void PcimAllocateChannel(uint32_t channel, uint8_t event, uint8_t selector,
                                     uint32_t count, uint8_t raise, uint16_t local,
                                     uint16_t localLength, uint32_t host, uint32_t hostLength,
                                     uint32_t buffers, uint8_t toHost, uint8_t flag) = 0;
    virtual void DfcmAllocateSynchronizer(uint32_t synchronizer, uint8_t event, uint8_t selector,
                                          uint32_t count) = 0;
    virtual void DfcmPrgTransfer(uint32_t source, uint32_t destination, uint16_t length,
                                 uint32_t sourceRegister, uint32_t destinationRegister,
                                 const uint32_t* copyMask, uint8_t event) = 0;
};

// The real units of the device.
class CDufHardwareUnits : public CDufUnits
{
public:
    void DfcmInit(uint32_t value, int flag) override;
    void BpbmInit(uint8_t a, uint8_t b, int flag) override;
    void PcimInit(uint16_t a, uint8_t b) override;
    void BpbmSetConfigPointer(uint32_t pointer) override;
    uint32_t BpbmReadConfigPointer() override;
    void DfcmSetConfigPointer(uint32_t pointer) override;
    uint32_t DfcmReadConfigPointer() override;
    void BpbmAllocateChannel(uint32_t channel, uint8_t global, uint8_t module, uint8_t system,
                             uint16_t count, uint16_t local, uint16_t second, uint32_t remote,
                             uint32_t reg, uint8_t direction) override;
    void BpbmPrgTransfer(uint32_t local, uint32_t remote, uint32_t length, uint32_t more,
                         uint8_t flag, uint8_t channelEvent, uint8_t relayEvent) override;
    void PcimAllocateChannel(uint32_t channel, uint8_t event, uint8_t selector, uint32_t count,
                             uint8_t raise, uint16_t local, uint16_t localLength, uint32_t host,
                             uint32_t hostLength, uint32_t buffers, uint8_t toHost,
                             uint8_t flag) override;
    void DfcmAllocateSynchronizer(uint32_t synchronizer, uint8_t event, uint8_t selector,
                                  uint32_t count) override;
    void DfcmPrgTransfer(uint32_t source, uint32_t destination, uint16_t length,
                         uint32_t sourceRegister, uint32_t destinationRegister,
                         const uint32_t* copyMask, uint8_t event) override;
};

// A trial: nothing is written; the list pointers move as the units would move them.
class CDufCountingUnits : public CDufUnits
{
public:
    void DfcmInit(uint32_t value, int flag) override;
    void BpbmInit(uint8_t a, uint8_t b, int flag) override;
    void PcimInit(uint16_t, uint8_t) override {}
    void BpbmSetConfigPointer(uint32_t pointer) override { m_uBpbmList = pointer; }
    uint32_t BpbmReadConfigPointer() override { return m_uBpbmList; }
    void DfcmSetConfigPointer(uint32_t pointer) override { m_uDfcmList = pointer; }
    uint32_t DfcmReadConfigPointer() override { return m_uDfcmList; }
    void BpbmAllocateChannel(uint32_t, uint8_t, uint8_t, uint8_t, uint16_t, uint16_t, uint16_t,
                             uint32_t, uint32_t, uint8_t) override
    {
    }
    void BpbmPrgTransfer(uint32_t, uint32_t, uint32_t, uint32_t, uint8_t, uint8_t,
                         uint8_t) override;
    void PcimAllocateChannel(uint32_t, uint8_t, uint8_t, uint32_t, uint8_t, uint16_t, uint16_t,
                             uint32_t, uint32_t, uint32_t, uint8_t, uint8_t) override
    {
    }
    void DfcmAllocateSynchronizer(uint32_t, uint8_t, uint8_t, uint32_t) override {}
    void DfcmPrgTransfer(uint32_t source, uint32_t destination, uint16_t length,
                         uint32_t sourceRegister, uint32_t destinationRegister,
                         const uint32_t* copyMask, uint8_t event) override;

private:
    uint32_t m_uBpbmList = 0;
    uint32_t m_uDfcmList = 0;
};

#endif
