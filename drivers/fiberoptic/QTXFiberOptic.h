// CFiberOptic: the driver of the fiber-optic unit, TCP port 62002 (module name "FiberOptic").
//
// It keeps four settings records (the last accepted settings for slot 0 and for slots 1..15,
// and the defaults of both), decides from the hex switches and the device family which one is
// in force, programs the unit's registers, reports the sampling period to the hub, runs IP over
// fiber, and keeps one polling thread. Files by concern:
//   QTXFiberOptic.cpp          process, start-up, file names, the stored configuration
//   QTXFiberOpticHex.cpp       settings in force from the hex switches, the polling thread
//   QTXFiberOpticHardware.cpp  register programming, sampling period, IP over fiber
//   QTXFiberOpticDebug.cpp     debug commands, loop test, watchdog switch, "Fo2Duf.xml"
//   FoProtocols.cpp            protocol table and configuration document
#ifndef QTX_FIBER_OPTIC_H
#define QTX_FIBER_OPTIC_H

#include <cstdint>
#include <pthread.h>
#include <string>

#include "FoProtSettings.h"
#include "FoProtocols.h"
#include "QTX.h"
#include "QTXProduct.h"

constexpr int FO_PORT = 62002;
constexpr uint16_t FO_DEBUG_PORT = 63002;
// IP over fiber is off.
constexpr uint32_t FO_IP_NONE = 0xFFFFFFFFu;

// Offsets of the unit's registers from its base.
constexpr int32_t FO_REG_PERIOD = 0x8;
constexpr int32_t FO_REG_FLAGS = 0x10;
constexpr int32_t FO_REG_CONTROL = 0x14;
constexpr int32_t FO_REG_SPEED = 0x20000;
constexpr int32_t FO_REG_FRAME = 0x2000C;
constexpr int32_t FO_REG_MODE = 0x20040;
constexpr int32_t FO_REG_ZERO = 0x20044;
constexpr int32_t FO_REG_MASTER = 0x20070;
constexpr int32_t FO_REG_TIMING = 0x20078;
constexpr int32_t FO_REG_LOOP_TEST = 0x2007C;
constexpr int32_t FO_REG_SLOT_ENABLE = 0x20800;
constexpr int32_t FO_REG_SLOT_WORD = 0x20A00;
constexpr int32_t FO_REG_CLASS_TIME = 0x20A80;
constexpr int32_t FO_REG_SLOT_WINDOW = 0x20B00;

// A value that must be seen several polls in a row before it counts.
struct FoDebounce
{
    int iApplied;
    int iCurrent;
    int iCandidate;
    int iCounter;
};
// True when current has differed from applied for n + 1 polls in a row (at once for n 0).
bool Debounce(FoDebounce& record, int n);

// The settings of a hex-switch mode with its three parameters; the result is the payload.
int32_t SettingsFromMode(FoSettings& out, const _FO_MODE_SETTINGS& mode);

// The four settings records of the driver.
struct FoRecords
{
    FoSettings tSlot1to15Settings;
    FoSettings tSlot0Settings;
    FoSettings tDefault1to15Settings;
    FoSettings tDefault0Settings;
};

// Which settings are in force for the switches on a device family: the output protocol row,
// and the settings through out when it is not null. modeLookup is the family's mode from the
// hardware layer, or null when the family has no switch settings.
int SelectCurrentSettings(int family, const _HEXSWITCH_SET& switches, const FoRecords& records,
                          const _FO_MODE_SETTINGS* modeLookup, FoSettings* out);

// The switch-3 value that the soft hex switch of a transfer-buffer record sets, -1 for none.
int SoftHexSwitchFromRecord(const unsigned char* data, size_t length);

// Sleeps the milliseconds, also when a signal comes in between.
void FoSleepMs(long milliseconds);

// Writes length bytes to a device file at an offset: the count written, -70 for bad arguments,
// -86 when it cannot be opened, -80 when the seek fails.
int WriteDeviceFile(const char* path, const void* buffer, int length, long offset);

class CFiberOptic : public CQTX
{
public:
    CFiberOptic();
    ~CFiberOptic() override;

    // ---- Virtual operations of the driver

    void Terminate() override;
    std::string GetModuleName() override;
    void InitCQTX() override;
    void BootHardware() override;
    bool ParseAndCheckConfiguration(int& setIndex) override;
    // A client lock is judged by the driver: values 1 and 2 lock one half of the slot-0
    // settings (a new document takes the locked half from the settings in force), any other
    // value both halves (a slot-0 document is refused with a warning).
    bool ChecksConfigurationUnderLock(int lock) override;
    void SetHardwareConfiguration() override;
    void ProcessDiagnostic() override;
    void ProcessDebug() override;
    void ConfigurationDone() override;
    void ProcessUserConfig(const std::string& value) override;
    std::string GetConfigurationFileName(int& setIndex) override;
    std::string GetFactorySettingFileName() override;
    std::string GetDUFConfigurationFileName() override;
    double GetSignalValue(const std::string& name, int number) override;
    std::string GetSignalUnit(const std::string& name, int number) override;

    // ---- Process

    // The whole life after the object is made: 0 after an orderly stop, 1 when the start failed.
    int RunFiberOpticDriver(int argc, char** argv);
    // Ends the polling thread and waits for it.
    void StopHexThread();

    // ---- Settings in force and the hex switches (QTXFiberOpticHex.cpp)

    // The output protocol row in force for the switches; the settings through out. The caller
    // holds the settings mutex.
    int GetCurrentSettings(const _HEXSWITCH_SET& switches, FoSettings* out);
    // The same under the settings mutex for the switches in force.
    int GetCurrentSettingsLocked(FoSettings* out);
    // Sampling period and hex switches of a user-configuration string; returns the family.
    int ReadUserConfig(const std::string& config, _HEXSWITCH_SET& out);
    // Re-evaluates new switches (or none), a new hub (or -2) and flags (bit 0: always
    // reprogram), and reprograms the unit when something relevant changed.
    void OnHex(const _HEXSWITCH_SET* switches, int hub, int flags);
    void GetHexState(int* switch2, int* hub, bool* flex);
    void ReadSoftHexSwitch(_HEXSWITCH_SET& switches);
    void PollSoftHexSwitches();
    int ReadHubNumber();
    // One poll of the thread: hub number with debounce, soft switches, IpTx watchdog.
    void HexSwitchPoll(FoDebounce& hub, uint32_t version, int& watchdogCount);

    // ---- Hardware (QTXFiberOpticHardware.cpp); the caller holds the settings mutex

    void SetHwCfg(bool readSoftSwitch);
    // 0 after switching, 1 when the address was already set. FO_IP_NONE switches off.
    int SetIpOverFiber(uint32_t node);
    void FillSlotRegisters(uint32_t words[FO_SLOTS]);

    // ---- Debug (QTXFiberOpticDebug.cpp)

    // Runs the loop test with the step; true when every reading fitted.
    bool RunLoopTest(int32_t step);
    // Writes "Fo2Duf.xml" into the driver directory; false when it cannot be written.
    bool WriteFo2DufFile();

    // ---- State

    // Software-clock time (monotonic seconds) until which the mode register is held at 76; 0
    // for none.
    double fModeReleaseTime = 0;
    FoRecords tRecords;
    // The polling thread runs while set (guarded by tWakeMutex).
    int bHexThreadRun = 0;
    _HEXSWITCH_SET tHexSwitches = {-1, -2, -1, -1};
    int iOrderingNumberCache = 0;
    int iHub = -2;
    // Guards the records, the switches, the hub, the sampling periods and the unit's registers.
    pthread_mutex_t tSettingsMutex;
    uint32_t iIpOverFiberAddress = FO_IP_NONE;
    int iHexSwitchType = 2;
    double dSamplingPeriodUs = 1000.0;
    double dDefaultSamplingPeriodUs = 1000.0;
    bool bIpTxWatchdog = false;
    std::string sPostConfigExe;
    // Last sampling period the hub has received; 0 for none.
    int32_t iSentSamplingPeriod = 0;

private:
    static void* HexSwitchThreadMain(void* driver);
    // The ordering number of the device, asked once it is needed.
    int OrderingNumber();
    void LoadSettingsFile(FoSettings& record, const std::string& path);
    // Loads every record that is not valid from its file.
    void ReloadSettingsFiles();
    void WriteRegister(int32_t offset, uint32_t value) { BPBWriteWord(offset, value, false); }
    uint32_t ReadRegister(int32_t offset) { return BPBReadWord(offset, false); }
    void WriteModeRegister(int inputRow, bool flex, bool held);
    void SendSamplingPeriod(int32_t period);

    pthread_t tHexThread{};
    bool bHexThreadValid = false;
    pthread_mutex_t tWakeMutex;
    pthread_cond_t tWake;
};

#endif
