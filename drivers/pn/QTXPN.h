// CPN: the PROFINET sniffer driver, the module driver of the bus-monitor variant in slot 1 (TCP
// 62101). It checks its FPGA, writes its factory defaults, follows the address hex switch,
// starts its threads (the twelve diagnostic servers of port 999, the remanent-data thread and
// the monitor-port thread), takes binary sniffer configurations, answers the factory tests
// (bus test, factory mode) and stops its threads before it frees what they use.
//
// The class is split over files by concern:
//   QTXPN.cpp          process, start-up, hardware boot, user settings, the orderly stop
//   QTXPNFactory.cpp   factory-default files and the factory-test request
//   QTXPNConfig.cpp    the binary sniffer configuration, the diagnostic servers and the
//                      remanent-data thread
//   PnSnifferConfig.cpp  parse, accept and apply of a configuration; the remap areas
//   PnSnifferImage.cpp   the controller's sniffer configuration image
//   PnCopyMachine.cpp    the FPGA copy-machine tables
//   PnDiag.cpp         the diagnostic server on port 999
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

#include "PnDiag.h"
#include "PnSnifferConfig.h"
#include "QTX.h"

// Slot, name and debug service of the driver.
constexpr int PN_SLOT = 1;
constexpr uint16_t PN_DEBUG_PORT = 63101;
constexpr uint32_t PN_DEBUG_TRACE_BYTES = 8160;
constexpr uint32_t PN_DEBUG_THREADS = 2;
extern const char* const PN_MODULE_NAME; // "qorQB-PN"

// Diagnostic servers on port 999.
constexpr int PN_DIAG_SERVERS = 12;

// Factory-default configuration: the binary head and a configuration header of type 1 (the
// PROFINET configuration).
constexpr uint32_t PN_FACTORY_CONFIG_LENGTH = 328;
constexpr uint32_t PN_FACTORY_FILE_LENGTH = 16 + PN_FACTORY_CONFIG_LENGTH;
constexpr uint8_t PN_CONFIG_TYPE_PROFINET = 1;

// Hardware families the driver runs on: the bus-monitor variants.
bool PnIsBusMonitorFamily(int family);

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

    // ---- Sniffer configuration (QTXPNConfig.cpp)

    // The configuration's state: images, copy-machine tables, remap areas.
    CPnSnifferConfig& SnifferConfig() { return tSniffer; }
    // Parses a loaded configuration with the description written to the temporary file, and
    // accepts it; 0 or the error code. The description replaces the signal-routing
    // description only when the configuration was accepted.
    int ParseAndAccept(CQTXBin& bin, bool stored, bool describe, int* subslotGroup);
    // Programs FPGA and controller with the active configuration.
    void ApplySnifferConfiguration();
    // Bodies of the diagnostic servers and the remanent-data thread.
    static bool TcpDiagThread(CQTX* driver, void* argument, int intArgument);
    static bool RemanentDataThread(CQTX* driver, void* argument, int intArgument);

private:
    // Loads and takes the stored sets 0 and 1 (at start and after factory defaults).
    void LoadStoredConfigurations();

    CPnSnifferConfig tSniffer;
    PnDiagContext tDiagContext;
    bool bFirstCall = true;
    // 1 valid, 0 invalid.
    std::atomic<int> iHexSwitchValid{1};
    // Run words of the diagnostic servers and the remanent-data thread: 1 run, 2 stop.
    std::atomic<int> iDiagServerRun{2};
    std::atomic<int> iRemanentRun{2};
    // FPGA version word, read at start-up.
    uint32_t ulFpgaVersion = 0;
    // The signal-routing description file and its temporary name.
    std::string sDufFile;
    std::string sDufTempFile;
    bool bDevicesOpen = false;
};

#endif
