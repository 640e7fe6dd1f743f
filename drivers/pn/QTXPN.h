// CPN: the PROFINET sniffer driver, the module driver of the bus-monitor variant in slot 1 (TCP
// 62101). It checks its FPGA, writes its factory defaults, follows the address hex switch,
// starts its threads (the monitor-port thread; the diagnostic servers and the remanent-data
// thread join them with the sniffer configuration), answers the factory tests (bus test,
// factory mode) and stops its threads before it frees what they use.
//
// The class is split over files by concern:
//   QTXPN.cpp          process, start-up, hardware boot, user settings, the orderly stop
//   QTXPNFactory.cpp   factory-default files and the factory-test request
//   PnDrv.cpp          the PROFINET controller device "/dev/pndrv"
//   PnPort.cpp         PHY and port management, the monitor-port thread
//   PnBusTest.cpp      the Ethernet bus test and the factory mode
#ifndef QTX_PN_H
#define QTX_PN_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>

#include "QTX.h"

// Slot, name and debug service of the driver.
constexpr int PN_SLOT = 1;
constexpr uint16_t PN_DEBUG_PORT = 63101;
constexpr uint32_t PN_DEBUG_TRACE_BYTES = 8160;
constexpr uint32_t PN_DEBUG_THREADS = 2;
extern const char* const PN_MODULE_NAME; // "qorQB-PN"

// Sizes of the driver's buffers: the remap areas (six of 16384 bytes), the copy-machine tables,
// the controller's subslot list and the two controller image halves of the copy machines.
constexpr uint32_t PN_REMAP_BUFFER_SIZE = 98304;
constexpr uint32_t PN_REMAP_AREA_SIZE = 16384;
constexpr int PN_REMAP_AREAS = 6;
constexpr uint32_t PN_COPY_TABLE_SIZE = 78880;
constexpr uint32_t PN_SUBSLOT_LIST_SIZE = 17424;
constexpr uint32_t PN_IMAGE_BUFFER_SIZE = 98304;

// Factory-default configuration: the binary head and a configuration header of type 1 (the
// PROFINET configuration).
constexpr uint32_t PN_FACTORY_CONFIG_LENGTH = 328;
constexpr uint32_t PN_FACTORY_FILE_LENGTH = 16 + PN_FACTORY_CONFIG_LENGTH;
constexpr uint8_t PN_CONFIG_TYPE_PROFINET = 1;

// Hardware families the driver runs on: the bus-monitor variants.
bool PnIsBusMonitorFamily(int family);

// One remap area: buffer, entry count and three further words.
struct PnRemapArea
{
    uint8_t* pBuffer = nullptr;
    uint32_t ulCount = 0;
    uint32_t aulWords[3] = {0, 0, 0};
};

class CPN : public CQTX
{
public:
    CPN();
    ~CPN() override;

    // ---- Virtual operations of the driver

    void Terminate() override;
    std::string GetModuleName() override;
    void InitCQTX() override;
    void BootHardware() override;
    bool ParseAndCheckConfiguration(int& setIndex) override;
    void SetHardwareConfiguration() override;
    void ProcessDiagnostic() override;
    void ProcessKoveFactory() override;
    void ProcessUserConfig(const std::string& value) override;
    std::string GetConfigurationFileName(int& setIndex) override;
    std::string GetFactorySettingFileName() override;

    // ---- Process

    // The whole life after the object is made: opens the devices, starts the device-message
    // service, runs the driver until EndDriver, stops the threads. 0 after an orderly end, 1
    // when the start failed.
    int RunPnDriver(int argc, char** argv);
    // Tells every thread of the driver to end and waits for them (bounded); false when some
    // still run. Harmless when called again.
    bool StopPnThreads();
    // Stops the monitor-port thread and says so in the log when it ran.
    void StopMonitorPort();

    // ---- Address hex switch

    // Follows a new address-switch value: 1 when the state (valid = not 0) changed, else 0.
    // The change to invalid raises the module error at the system driver, the change to valid
    // clears it.
    int UpdateHexs(int addressSwitch);
    // 1 while the address switch is valid, else 0; it selects the stored configuration set.
    int GetHexSwitchState() const { return iHexSwitchValid.load(); }

    // ---- Factory defaults (QTXPNFactory.cpp)

    // Writes the factory-default files of sets 0 and 1 into the driver directory; false when
    // one could not be written (only traced).
    bool WriteFactoryDefaultFiles();

private:
    // Allocates the buffers; false without memory.
    bool AllocateBuffers();

    // Guards the remap areas.
    pthread_mutex_t tDriverMutex;
    bool bFirstCall = true;
    // 1 valid, 0 invalid.
    std::atomic<int> iHexSwitchValid{1};
    // Run words of the diagnostic servers and the remanent-data thread: 1 run, 2 stop.
    std::atomic<int> iDiagServerRun{2};
    std::atomic<int> iRemanentRun{2};
    // FPGA version word, read at start-up.
    uint32_t ulFpgaVersion = 0;
    std::unique_ptr<uint8_t[]> pRemapBuffer;
    std::unique_ptr<uint8_t[]> pCopyTables;
    std::unique_ptr<uint8_t[]> pSubslotList;
    std::unique_ptr<uint8_t[]> pImageBuffer;
    PnRemapArea atRemapAreas[PN_REMAP_AREAS];
    // The signal-routing description file and its temporary name.
    std::string sDufFile;
    std::string sDufTempFile;
    bool bDevicesOpen = false;
};

#endif
