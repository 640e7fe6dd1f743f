// CSystem: the system driver, the hub of the device on port 62000. Every other driver registers
// here and reports its errors here; the hub answers Identify and UDP discovery, keeps the
// configuration in flash, sets up the network, drives the front panel and watches applications.
//
// The program runs in one of two modes: with "-Startup=<file>" it performs its start-up steps
// once (restore the configuration, write the device name into the file, set the MAC addresses)
// and exits with 0; without it it is the resident hub, which starts its polling threads and
// serves requests until an EndDriver request or SIGTERM ends it.
//
// The class is split over several files by concern:
//   QTXSystem.cpp          process, start-up, hardware start, the serving loop
//   QTXSystemCommands.cpp  dispatch of the system commands and the simple commands
//   QTXSystemRegistry.cpp  module registry, presence masks and module errors
//   QTXSystemFrontPanel.cpp  LEDs, LED test and the hex switches with their distribution
//   QTXSystemStatusRecord.cpp  the status record "FL" to the fiber-optic peer
//   QTXSystemWatchdog.cpp  the application watchdog and its Watchdog request
//   QTXSystemSharedMemory.cpp  named shared memories for other programs, reboot control
//   QTXSystemDiagnostics.cpp  Diagnostic, Debug, the factory default at run time, factory test
//   QTXSystemIdentify.cpp  the identity document Identify.xml
//   QTXSystemDiscovery.cpp UDP discovery
//   QTXSystemFlash.cpp     the configuration store in flash and its restore
//   QTXSystemCompatibility.cpp  compatibility list, firmware version from the boot image
//   QTXSystemSwitches.cpp  unit number, switches and factory button per hardware family
//   QTXSystemUpdate.cpp    the Update request
//   QTXSystemNetwork.cpp   network settings of the configuration, host names
//   SystemNetSetup.cpp     applying network settings with the host tools (C level)
//   NbnsEasy.cpp           the NetBIOS name responder (C level)
//
// Threads: the main thread serves requests; the polling threads read the state below. The
// registry, the presence masks, the error texts, the identity and the incompatible-module lock
// are shared between them and are read and changed only while tRegistryMutex is held (a
// recursive mutex with priority inheritance, so an operation that holds it may call the
// accessors below). The single words that one side writes and the other reads are atomics.
// The watchdog list has a mutex of its own, tWatchdogMutex; nobody takes tRegistryMutex while
// holding it, and neither is held while a thread waits for another program (a ping, a backup
// script), so a Watchdog request never waits for a round of pings.
#ifndef QTX_SYSTEM_H
#define QTX_SYSTEM_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>
#include <vector>

#include "NbnsEasy.h"
#include "QTX.h"
#include "QTXProduct.h"
#include "QTXSharedMemory.h"
#include "SystemNetSetup.h"

// ---- Ports and error slots

constexpr int32_t SYSTEM_PORT = 62000;
constexpr int32_t SYSTEM_DUF_PORT = 62001;
constexpr int32_t SYSTEM_FO_PORT = 62002;
// Module drivers: 62100 + slot; bit (port - 62100) of the module slot mask for 62100..62130.
constexpr int32_t SYSTEM_MODULE_PORT_FIRST = 62100;
constexpr int32_t SYSTEM_MODULE_PORT_LAST = 62130;
// Software modules: bit (port - 62201) of the software module mask for 62201..62231.
constexpr int32_t SYSTEM_SOFTWARE_PORT_FIRST = 62201;
constexpr int32_t SYSTEM_SOFTWARE_PORT_LAST = 62231;
// Debug port of the system driver's device-message service.
constexpr uint16_t SYSTEM_DEBUG_PORT = 63100;

// One error text is kept per error slot; the port of a driver selects the slot.
constexpr int SYSTEM_ERROR_SLOTS = 10;
// Names of the error slots: "System", "Duf", "FiberOptic", "Module X1" .. "Module X5",
// "Software module", "Unknown".
extern const char* const aModuleType[SYSTEM_ERROR_SLOTS];
// 62000 slot 0, 62001 slot 1, 62002 slot 2, 62100..62104 slots 3..7, 62201..62204 slot 8, any
// other port slot 9.
int PortToErrorSlot(int32_t port);

// ---- Module registry

// The registry holds at most one entry per port, and at most as many ports as a device has
// drivers for: the routing and fiber-optic drivers, 31 module ports and 31 software-module
// ports. A registration of a further port is refused ("TooManyModules"); one of a port
// already registered always updates it.
constexpr int32_t SYSTEM_REGISTRY_CAPACITY = 64;

// One registered driver or module; the registry holds at most one entry per port.
struct RegisteredModule
{
    int32_t iPort = 0;
    std::string sName;
    // NN of the ordering number NN.NNNNNN; 0 for drivers and software modules.
    int32_t iOrderingGroup = 0;
    // The six digits after the dot.
    int32_t iOrderingNumber = 0;
    int32_t iSerialNumber = 0;
    // FPGA version word of a hardware module, or build number of a software module (0: a
    // release).
    uint32_t uFpgaBuild = 0;
    std::string sHardwareVersion;
    std::string sSoftwareVersion;
    _QTXMODULE_STATE eState = QTX_MODULE_UNKNOWN;
};

// Reads the registration text of a RegisterModule request:
//   name:port*group.number#serial+hardware version,software version!FPGA word
// The text is cut to 99 characters first. Without "*" the text ends with the port and all
// other values are 0 or empty; each later separator that is missing makes the rest of the text
// the value in hand. The state is Running. Throws CQTXEXmlError "MissingPort" without ":" and
// "WrongNumber" without "." after the port.
RegisteredModule ParseRegistrationText(const std::string& text);

// The hub keeps at most this many bytes of a module error text (SetModuleError): the ten texts
// go into every Diagnostic reply and stay in memory, so a client cannot make them grow without
// bound. The texts that drivers report ("error: parameter") are far shorter.
constexpr size_t SYSTEM_MODULE_ERROR_TEXT_BYTES = 1023;
// The text cut to SYSTEM_MODULE_ERROR_TEXT_BYTES, at the start of a UTF-8 character.
std::string CutModuleErrorText(const std::string& text);

// ---- Identity from the EEPROM image

// Bytes of the EEPROM image at the start of the EEPROM file, and of the SystemInfo text that
// may follow it.
constexpr size_t SYSTEM_EEPROM_IMAGE_BYTES = 512;
constexpr size_t SYSTEM_EEPROM_TEXT_BYTES = 510;

// What the EEPROM file tells about the device.
struct SystemEepromIdentity
{
    // All 512 bytes of the image were there.
    bool bImageComplete = false;
    // The image carries a plausible stamp (digits of serial and ordering number, a name).
    bool bImageValid = false;
    // Bytes followed the image.
    bool bTextRead = false;
    // The SystemInfo text after the image, up to its first 0xFF byte; empty when it is not
    // kept.
    std::string sText;
    // "unknown", "unknown" and "000000000000000" for an invalid image.
    std::string sName;
    std::string sOrderingNumber;
    std::string sSerialNumber;
    std::string sHardwareVersion;
    // The MAC address is usable only from a valid image, when it is a unicast address and
    // neither six zero bytes nor six blanks.
    bool bMacUsable = false;
    uint8_t aucMac[6] = {};
    // The five bytes the validity check looks at (64, 65, 66, 32, 16), for the message about an
    // invalid image.
    uint8_t aucCheckedBytes[5] = {};
};

// Decodes the contents of the EEPROM file (at most 512 + 510 bytes are looked at). The text
// after the image is kept only when keepText is set. Every field is read within its own bytes of
// the image.
SystemEepromIdentity DecodeSystemEeprom(const unsigned char* data, size_t count, bool keepText);

// The SystemInfo block of the identity document: the EEPROM's own text when it holds "<Name>";
// otherwise, when text bytes followed the image and the name does not begin with "qorKOVE-S",
// a block made of the image's fields; otherwise the block of the central-module variant.
std::string BuildSystemInfoBlock(const SystemEepromIdentity& identity);

// Adds the VersionSW line (Status "OK", or "missing" without a version) in front of
// "</SystemInfo>", and a VersionHW line of "--" when the block has none before it. The
// hardware version is the two characters after "<VersionHW>", or empty when that line was
// added. A block without "</SystemInfo>" (or with it at its very start) comes back unchanged,
// with the hardware version left alone.
std::string AddVersionsToSystemInfo(const std::string& block, const std::string& firmwareVersion,
                                    std::string& hardwareVersion);

// The text between "<tag>" and the next "</tag>" of the block; false when either is missing.
bool GetSystemInfoValue(const std::string& block, const char* tag, std::string& value);

// Replaces the text of the first "<tag>" element of the block, up to the next "</tag>", by the
// value escaped for XML (QTXSystemIdentify.cpp). False, and the block unchanged, when either is
// missing.
bool SetSystemInfoValue(std::string& block, const char* tag, const std::string& value);

// An ordering number text "NN.NNNNNN" as NN * 1000000 + NNNNNN; 0 when the third character
// is not ".".
int32_t OrderingNumberFromText(const std::string& text);

// Sleeps the whole time, also when a signal interrupts the sleep.
void SystemSleepMs(int milliseconds);

// ---- Functions of other parts of the system driver that the hub calls

class CSystem;

// Packs the configuration directory and writes it to flash; true when the record was written.
bool StoreConfigurationToFlash(CSystem* system);
// Unpacks the configuration stored in flash; true when everything tried succeeded.
bool RestoreConfigurationFromFlash(CSystem* system);
// ---- Compatibility list and versions (QTXSystemCompatibility.cpp)

// One entry of the compatibility list: the overall entry has the empty name.
struct CompatibilityEntry
{
    std::string sName;
    std::string sVersion;
};

// Loads the compatibility list from the file (a device path). Without a readable list the
// flag stays false and, when the list is still empty, the firmware version comes from the boot
// image's version stamp.
void LoadCompatibilityList(CSystem* system, const std::string& path);
// "vMM.mm.rrr" (with "-RC<n>" when a release candidate follows) from the first 15 bytes of a
// version stamp "MMmmrrr[-nnn]"; empty when fewer bytes were read or the first 7 are not digits.
std::string FirmwareVersionFromStamp(const char* stamp, size_t length);
// The version stamp at the end of "/dev/mtd_boot", else "/dev/mtd_bootimg", else
// "/qorBin/qorImageVersion.bin", as a firmware version.
std::string ReadBootImageVersion();
// The version that the compatibility list gives for the name; with the empty name the
// installed firmware version. Empty when unknown.
std::string GetCompatibilityVersion(CSystem* system, const std::string& name);
// True when the compatibility list accepts the module's software version (also while no list
// is loaded).
bool IsCompatible(CSystem* system, const std::string& name, const std::string& version);

// ---- Switch inputs per hardware family (QTXSystemSwitches.cpp)

// Reads `count` GPIO lines from firstLine on: a line that reads 0 sets its bit (bit 0 for the
// first line).
uint32_t GpioReadBits(int gpio, uint32_t firstLine, uint32_t count);
// The unit number, the second hex switch, the third switch nibble, the fourth switch word and
// the factory-default button as the device's family wires them; a GPIO read without the GPIO
// device gives 0xFFFFFFFF (the button then reads 0).
uint32_t ReadUnitNumber(CSystem* system);
uint32_t ReadSecondHexSwitch(CSystem* system);
uint32_t ReadSwitchNibble3(CSystem* system);
uint32_t ReadSwitchWord4(CSystem* system);
uint32_t ReadFactoryButton(CSystem* system);
// Families with module slots on the backplane (1, 2, 11, 12), and family 13.
bool HasSlotModules(int family);
bool IsFamily13(int family);

// ---- Update (QTXSystemUpdate.cpp)

// The progress address as the update program must use it: an address of the fiber-optic
// network 172.16.x.y is moved to the network of the interface "ils0" (its first two octets),
// when that interface has an address.
std::string TranslateProgressAddress(CQTX* driver, const std::string& address);
// The argument vector of the update program of the family for the archive (a file of
// "/tmp/Update/"), the progress address (may be empty) and with or without "-Force".
std::vector<std::string> BuildUpdateCommand(int family, const std::string& file,
                                            const std::string& progress, bool force);

// ---- Network configuration (QTXSystemNetwork.cpp)

// The product's network defaults: for a row of the ordering number the settings are cleared and
// take the row's mode, address and mask, and the interface its name (cut to size - 1); without a
// row the settings stay and the interface is empty.
void LookupProductNetwork(NetworkSettings* settings, char* interfaceName, size_t interfaceSize,
                          int32_t orderingNumber);
// Host name (prefix and the serial number in six digits, when the row has a prefix and the
// serial number is not 0) and alias (prefix and the last two MAC bytes in hex, when the row has
// one and a MAC is given); -1 (both empty) when the ordering number has no row.
int MakeHostNames(std::string& hostName, std::string& alias, int32_t orderingNumber,
                  int32_t serialNumber, const uint8_t* mac);
// Writes the NetBIOS name file (a device path): 0, or -1 when it cannot be written.
int WriteNbnsConf(const std::string& path, const std::string& hostName, const std::string& alias);

// ---- Threads of the system driver (bodies for CQTX::StartThread)

// UDP discovery on port 62000 (QTXSystemDiscovery.cpp).
bool MyUDPThread(CQTX* driver, void* argument, int intArgument);
// The request code of one discovery datagram, which must hold a whole request document (of at
// most 16000 bytes); the document is stored into requestFile. 0 for anything else. Nothing of
// one datagram carries over to the next.
unsigned int DiscoveryRequestCode(const void* datagram, size_t length,
                                  const std::string& requestFile);
// Sends the identity file to 255.255.255.255:61000 every `seconds`; nothing starts it.
bool IdentifyBroadcastThread(CQTX* driver, void* argument, int seconds);
// Front-panel LEDs and the LED test.
bool MyLedThread(CQTX* driver, void* argument, int intArgument);
// Hex switches and the distribution of the user settings.
bool MyHexSwitchThread(CQTX* driver, void* argument, int intArgument);
// Status record to the fiber-optic peer.
bool MyFlexThread(CQTX* driver, void* argument, int intArgument);
// Application watchdog.
bool MyWatchdogThread(CQTX* driver, void* argument, int intArgument);
// Factory-default button of the CDI device: a press held over two looks 250 ms apart asks the
// system driver for the factory settings, network settings included; nothing starts it.
bool FactoryButtonThread(CQTX* driver, void* argument, int intArgument);

// Sends `text` to 127.0.0.1:port in a thread of its own once the request in hand has been
// answered (the command connection is free), waiting at most 10 s for that. Nothing happens
// for an empty text or port 0 (the handle is then invalid); a timeout of 0 means 1000 ms.
QTXThreadHandle StartDetachedSend(CQTX* driver, const std::string& text, int timeoutMs,
                                  uint16_t port);
// Body of that thread; the record is the one StartDetachedSend allocated, freed here.
bool SendMessageDetachedThread(CQTX* driver, void* record, int intArgument);

// ---- Front panel (QTXSystemFrontPanel.cpp)

// The SetUserConfig request that hands the hex-switch setting and the sampling period to a
// registered driver: ";hex=<setting in hex>;SamplingPeriodInUs=<period>;".
std::string HexSwitchUserConfigRequest(int32_t setting, double samplingPeriodInUs);
// The 16-byte record of the CDI device's hex-switch request: bits 4-7, 0-3, 8-11 and 12-19 of
// the setting (each 255 for the setting -1), then zero bytes.
void HexSwitchRecord(int32_t setting, uint8_t record[16]);

// ---- Status record "FL" (QTXSystemStatusRecord.cpp)

constexpr size_t SYSTEM_STATUS_RECORD_BYTES = 48;
// UDP port of the fiber-optic peer that takes the status record.
constexpr int SYSTEM_STATUS_RECORD_PORT = 62010;

// What one status record tells the peer.
struct StatusRecordFields
{
    uint16_t usSequence = 0;
    int32_t iOrderingNumber = 0;
    int32_t iSerialNumber = 0;
    // The low nibble of the hex-switch setting, or 0xFF while it is unknown.
    uint8_t ucHexSwitch = 0xFF;
    uint8_t ucDeviceCount = 1;
    char acVersionHW[2] = {0, 0};
    uint32_t uFirmwareVersion = 0;
    uint32_t uFpgaVersion = 0;
    uint32_t uPresentModules = 0;
    uint32_t uModuleSlotMask = 0;
    bool bSoftwareModuleAnswers = false;
    uint32_t uSoftwareModuleMask = 0;
};
// The 48 bytes of the record, little-endian, field by field.
void BuildStatusRecord(const StatusRecordFields& fields,
                       uint8_t record[SYSTEM_STATUS_RECORD_BYTES]);
// The sequence number that follows `sequence` (0 is used only for the first record).
uint16_t NextStatusSequence(uint16_t sequence);
// True when the driver on the first software-module port answers a Ping within timeoutMs.
bool PingSoftwareModule(int timeoutMs);

// ---- Application watchdog (QTXSystemWatchdog.cpp)

// One watched application.
struct WatchdogEntry
{
    int32_t iPort = 0;
    int32_t iCheckIntervalMs = 0;
    int32_t iTimeoutMs = 0;
    std::string sAppName;
    std::string sAppStartCmd;
    std::string sBackupScript;
    std::string sBackupDestination;
    int32_t iNumberOfBackups = 0;
    // Time left until the next ping.
    int32_t iRemainingMs = 0;
    // Tells this entry from a later one of the same port.
    uint64_t uId = 0;
};
// Texts of a Watchdog request are at most this long.
constexpr size_t SYSTEM_WATCHDOG_TEXT_LENGTH = 1023;
// At most this many applications are watched; a request for a further port is refused
// ("TooManyWatchdogs"), one for a port in the list always changes or removes it.
constexpr size_t SYSTEM_WATCHDOG_CAPACITY = 64;
// True for the name the watchdog gives a backup: "Backup_" and a time stamp (digits, at most one
// dot with digits after it).
bool IsWatchdogBackupName(const std::string& name);
// Makes room for one more backup in the directory: removes the oldest of the watchdog's own
// backups there (by time of change, the oldest first) until at most keep - 1 of them are left.
// The names removed go to `removed` in that order. Entries of other names, and anything outside
// the directory, are never touched. False when the directory cannot be read.
bool PruneBackups(const std::string& directory, int keep, std::vector<std::string>* removed);

// ---- Named shared memory (QTXSystemSharedMemory.cpp)

// The directory of named shared memories that the hub publishes, and its layout.
constexpr char SYSTEM_SHM_DIRECTORY_NAME[] = "MEM_DevMsg_SharedMemoryList";
constexpr size_t SYSTEM_SHM_DIRECTORY_BYTES = 4360;
constexpr size_t SYSTEM_SHM_DIRECTORY_ENTRIES = 64;
// Most memories the hub holds for other programs (besides the directory). Only the first
// SYSTEM_SHM_DIRECTORY_ENTRIES are listed; an Allocate of a new name past this is refused.
constexpr size_t SYSTEM_SHM_MAX_HELD = 128;
// Largest memory the hub allocates, and most bytes all held memories take together. They live
// in the device's RAM for as long as the hub runs and are mapped into its 32-bit address space:
// 64 MiB is more than any driver's buffer, and two such memories are as much as the central
// unit gives up for them.
constexpr int32_t SYSTEM_SHM_MAX_BYTES = 64 << 20;
constexpr int64_t SYSTEM_SHM_MAX_TOTAL_BYTES = 128 << 20;
// The hub's record of the names it holds, a memory of its own: a slot of
// SYSTEM_SHM_HELD_SLOT_BYTES per held memory (a name and its terminating zero, empty when the
// first byte is zero). A hub that ended without giving its memories back (killed) leaves the
// record, and the next hub removes the memories it names. Every running hub holds a shared
// lock on the record; a hub that can lock it exclusively, and finds the hub that the record
// names as its owner ended, knows that no other hub runs.
constexpr char SYSTEM_SHM_HELD_RECORD_NAME[] = "QTXSystem_HeldSharedMemories";
constexpr size_t SYSTEM_SHM_HELD_SLOT_BYTES = 64;
// After the slots: the owner, its process number (u32) and its start time in clock ticks after
// boot (u64), little-endian, then 4 bytes of zero.
constexpr size_t SYSTEM_SHM_HELD_OWNER_BYTES = 16;
struct SHeldRecordOwner
{
    int32_t iPid = 0;
    uint64_t uStartTicks = 0;
};
// The state letter and the start time (clock ticks after boot) of a running or ended but not
// yet reaped process, from /proc; false when there is no such process.
bool ReadProcessStart(int32_t pid, char& state, uint64_t& startTicks);
// Whether the owner still runs: a process of that number and start time that is no zombie.
bool IsRecordOwnerRunning(const SHeldRecordOwner& owner);
// Where Store writes: a folder of the hub's own in its driver directory, which takes plain file
// names only. A Store writes into a fresh file that starts with SYSTEM_SHM_STORE_TEMPORARY (a
// name with "..", which no Filename may have) and then takes the place of the file, so the
// fresh files that a Store cut short left behind are known at the next start.
constexpr char SYSTEM_SHM_STORE_FOLDER[] = "SharedMemory";
constexpr char SYSTEM_SHM_STORE_TEMPORARY[] = "..Store.";
// A Store leaves at least this much of its folder's file system free:
// SYSTEM_SHM_STORE_RESERVE_BYTES and a SYSTEM_SHM_STORE_RESERVE_PART-th of the file system's size,
// whichever is more. The folder lies in RAM beside the configuration, whose store needs room for
// its archive, and the other drivers' files; 16 MiB is many times what those take, and a quarter of
// the RAM folder keeps the device's memory from being filled by copies of memories.
constexpr uint64_t SYSTEM_SHM_STORE_RESERVE_BYTES = 16u << 20;
constexpr uint64_t SYSTEM_SHM_STORE_RESERVE_PART = 4;
// The bytes a Store must leave free on a file system of `total` bytes.
uint64_t StoreReserveBytes(uint64_t total);
// Why a Store of `length` bytes is refused on a file system of `total` bytes that has
// `available` bytes free (the file it replaces is still there while it is written); empty when
// it leaves the reserve free.
std::string StoreRoomRefusal(uint64_t length, uint64_t total, uint64_t available);
// A name that a held memory may have: 1 to 63 characters, not ".", no "/" and no "..".
bool IsSharedMemoryNameAllowed(const std::string& name);
// The names in the record of held memories (SYSTEM_SHM_HELD_RECORD_NAME), in slot order; a
// slot that is being written reads as empty.
std::vector<std::string> ReadHeldRecord(const unsigned char* record);
// Rewrites the directory (SYSTEM_SHM_DIRECTORY_BYTES) from the memories in order, leaving out
// `self`: the change counter is 0 while the entries are written and takes its next value
// (1 after 1000000000) last, so a reader sees either a whole directory or the counter 0.
void WriteSharedMemoryDirectory(unsigned char* directory, const std::vector<QTXNSMemory*>& memories,
                                const QTXNSMemory* self);

// ---- Diagnostics and factory test (QTXSystemDiagnostics.cpp)

// A SwitchTest of the factory test: {type, address, mask, value, hold time ms, timeout ms}.
struct SwitchTestValues
{
    int32_t iType = 0;
    int32_t iAddress = 0;
    uint32_t uMask = 0;
    uint32_t uValue = 0;
    int32_t iHoldMs = 0;
    int32_t iTimeoutMs = 0;
};
// The longest hold time of a SwitchTest: the serving thread waits it out.
constexpr int32_t SYSTEM_SWITCH_TEST_MAX_HOLD_MS = 60000;
constexpr int32_t SYSTEM_SWITCH_TEST_MAX_TIMEOUT_MS = 3600000;

class CSystem : public CQTX
{
public:
    CSystem();
    ~CSystem() override;

    // ---- Virtual operations of the driver

    std::string GetModuleName() override;
    void InitCQTX() override;
    void BootHardware() override;
    bool ParseAndCheckConfiguration(int& setIndex) override;
    void SetHardwareConfiguration() override;
    // A new configuration was applied and stored: the configuration directory goes to flash.
    void ConfigurationDone() override;
    // Entry of every system command (RegisterModule, SetModuleError, StoreConfiguration, ...):
    // 0 for a handled command, -256 for a binary request or a command the hub does not serve.
    int ProcessUnknownXmlTag(uint32_t requestCode) override;
    // The system driver writes no signal-routing description: an empty name.
    std::string GetDUFConfigurationFileName() override;
    // Diagnostic: the error texts of the error slots (QTXSystemDiagnostics.cpp).
    void ProcessDiagnostic() override;
    // Debug: DebugReceiver, EndDriver and TestHexSwitches.
    void ProcessDebug() override;
    // KoveFactory: the LED test and the switch test.
    void ProcessKoveFactory() override;
    // FactorySettings at run time resets the whole device (see StartFactoryDefault).
    std::string GetFactorySettingFileName() override;

    // Identity document (QTXSystemIdentify.cpp): writes "Identify.xml" when something changed
    // and returns its name.
    std::string GetModuleInfoFileName() override;
    double GetSignalValue(const std::string& name, int number) override;
    std::string GetSignalUnit(const std::string& name, int number) override;
    // The identity file's name made absolute in the driver directory (QTXSystemDiscovery.cpp).
    std::string GetIdentifyFilePath();
    // Lock and unlock a guard (QTXSystemIdentify.cpp).
    void LockThreadGuard(LockGuard& guard);
    void UnlockThreadGuard(LockGuard& guard);

    // ---- Process

    // The whole life of the program after the object is made: opens the devices, starts the
    // driver and the device-message service, then either ends (start-up mode) or starts the
    // threads and serves requests until a "UserBreak". 0 after an ordered end, 1 after an error.
    int RunSystemDriver(int argc, char** argv);
    // Opens and closes the FPGA, CDI and inter-process devices; results are not checked.
    void OpenDevices();
    void CloseDevices();
    // True when the program was started with "-Startup=".
    bool IsStartupMode() const { return !sStartupText.empty(); }
    // Starts the five polling threads; throws CQTXError "StarupError" when one cannot start.
    void StartSystemThreads();
    // Tells the threads to end and waits up to timeoutMs for them; false when some still run.
    bool StopSystemThreads(int timeoutMs);
    // One round of the serving loop: one request, then a pending reboot and a pending lock.
    void ServeOneRequest();
    // Reboots the device when a reboot is pending: after every served request for as long as
    // the device stays up, unless the reboot command of an earlier pass still runs.
    void ProcessPendingReboot();
    // Sends the incompatible module its lock request when one is pending.
    void SendPendingLock();
    // Writes bytes to the PROFINET controller's device "/dev/pndrv"; false when it cannot.
    bool WritePnDriver(const void* data, size_t length);

    // ---- Module registry and module errors (QTXSystemRegistry.cpp)

    // Registers a new entry or updates the entry of the port: a later registration replaces
    // texts only by non-empty ones and numbers only by non-zero ones. Throws
    // CQTXEParameterError "TooManyModules" for a new port when the registry is full.
    void AddOrUpdateModule(const std::string& name, int32_t port, int32_t group, int32_t number,
                           int32_t serialNumber, const std::string& hardwareVersion,
                           const std::string& softwareVersion, uint32_t fpgaBuild,
                           _QTXMODULE_STATE state);
    // Clears the presence bit of the port and removes the entry with the port and exactly that
    // name. False when there was no such entry (the bit is cleared all the same).
    bool UnregisterModule(const std::string& name, int32_t port);
    // Writes the registry to the log file under the title.
    void LogModuleList(const std::string& title);
    // True when no error slot holds a text.
    bool AllErrorSlotsEmpty() const;
    // Copies up to capacity ports of the registry, lowest first; returns how many.
    int GetRegisteredPorts(int32_t* ports, int capacity) const;
    // A copy of the registry, sorted by port.
    std::vector<RegisteredModule> GetRegisteredModules() const;
    // The error text of a slot; empty for a slot outside 0..9.
    std::string GetModuleErrorText(int slot) const;
    // Sets the error text of the port's slot (empty: cleared).
    void SetModuleErrorText(int32_t port, const std::string& text);
    uint32_t GetModuleSlotMask() const;
    uint32_t GetSoftwareModuleMask() const;

    // ---- System commands (QTXSystemCommands.cpp); each reads and answers the request in hand

    void ProcessRegisterModule();
    void ProcessRemoveModule();
    void ProcessSetModuleError();
    void ProcessClearModuleError();
    void ProcessStoreConfiguration();
    void ProcessForbidConfigSave();
    void ProcessGetUserConfig();
    void ProcessSetSamplingPeriodInUs();
    void ProcessLedTest();
    void ProcessSetL1Rate();
    // Update (QTXSystemUpdate.cpp): runs the update program and answers with its result.
    void ProcessUpdate();
    // Watchdog (QTXSystemWatchdog.cpp), Reboot and NamedSharedMemory
    // (QTXSystemSharedMemory.cpp).
    void ProcessWatchdog();
    void ProcessReboot();
    void ProcessNamedSharedMemory();
    // Start: removes the memories that a hub which ended without giving them back (killed)
    // still held, and the fresh files of its Stores, unless another hub runs.
    void RemoveLeftSharedMemories();
    // Gives back every held memory (unmapped, its name removed), leaving an empty directory:
    // when the hub ends. Requests after it allocate nothing.
    void ReleaseSharedMemories();
    // The hub ends on SIGTERM: its held memories go first.
    void Terminate() override;
    // The user-configuration string ";hex=<setting>;SamplingPeriodInUs=<period>;".
    std::string GetUserConfigValue() const;
    void SetFastBlinking(bool on) { bFastBlinking = on; }

    // ---- Front panel (QTXSystemFrontPanel.cpp)

    // LED 1, 2 or 4 on or off through the CDI device; other numbers do nothing.
    void SetLed(int led, bool on);
    // One step of the LED test: with run false the test pattern of bus word 12 only, else the
    // next step of the family's LED test sequence.
    void LedTestStep(bool run);
    // One round (0..11) of the normal display: heartbeat, module-error LED, button LED.
    void ShowDeviceState(int round);
    // The hex switches as one word: unit number in bits 0-3, the second switch in 4-7, the
    // third in 8-11, the fourth from bit 12; -1 when the first or second cannot be read.
    int32_t ReadHexSwitchWord();
    // Tells the CDI device the setting.
    void PublishHexSwitches(int32_t setting);
    // Sends the SetUserConfig request to every registered driver (at most 15), each given
    // timeoutMs to answer; returns how many answered.
    int DistributeUserConfig(int32_t setting, int timeoutMs);

    // ---- Status record (QTXSystemStatusRecord.cpp)

    // The module slots that hold a module: the bits of slotMask whose module answers on the
    // bus.
    uint32_t PresentModuleMask(uint32_t slotMask);
    // The record as it would be sent now (sequence number and hex nibble from the caller).
    StatusRecordFields CollectStatusRecord(uint16_t sequence, uint8_t hexNibble,
                                           uint8_t deviceCount);

    // ---- Application watchdog (QTXSystemWatchdog.cpp)

    // Replaces the entry of the port (check interval 0: removes it); logs the list. False,
    // changing nothing, for a new port when the list is full.
    bool SetWatchdogEntry(const WatchdogEntry& entry);
    std::vector<WatchdogEntry> GetWatchdogEntries() const;
    // One round: counts the elapsed time down, pings the entries that are due and triggers
    // the silent ones. Nothing while the LED blinks fast.
    void RunWatchdogRound(int32_t elapsedMs);
    // Reports the silent application, prunes and makes its backups, starts it again; every
    // step only while the entry is still listed. False when it was gone before the first.
    bool TriggerWatchdog(const WatchdogEntry& entry);
    // Whether the entry of that id is in the list; tWatchdogMutex is held by the caller.
    bool WatchdogListed(uint64_t id) const;

    // ---- Factory default at run time (QTXSystemDiagnostics.cpp)

    // After the request's own configuration is in place (called by the serving loop): sends
    // FactorySettings to every registered driver, stores the configuration in flash and
    // answers the client, in a thread of its own. A failed reset of the hub's own
    // configuration puts the previous configuration directory back and answers the failure.
    void FinishFactoryDefault(bool failed, const std::string& why);
    // True while a factory default is being carried out.
    bool FactoryDefaultActive() const { return bFactoryDefaultActive; }
    // Runs the switch test of a KoveFactory request; the error text, or empty on success.
    std::string RunSwitchTest(const SwitchTestValues& test, CQTXError& error);
    // The value a switch test reads; false for an unknown type or address (error set).
    bool ReadSwitchTestValue(const SwitchTestValues& test, uint32_t& value, CQTXError& error);

    // ---- State shared by the parts of the system driver

    // Guards everything marked [R] below.
    mutable pthread_mutex_t tRegistryMutex;
    // Held by every store of the configuration in flash and by the restore
    // (QTXSystemFlash.cpp).
    pthread_mutex_t tFlashStoreMutex;

    // [R] Registered drivers, sorted by ascending port.
    std::vector<RegisteredModule> vRegistry;
    // [R] Presence masks of the status record.
    uint32_t uModuleSlotMask = 0;
    uint32_t uSoftwareModuleMask = 0;
    // [R] Error text per error slot.
    std::string asModuleError[SYSTEM_ERROR_SLOTS];
    // [R] Identify.xml must be written again.
    bool bIdentifyChanged = true;
    // [R] Host name that the last written Identify.xml carries.
    std::string sIdentifyHostName;
    // [R] Device ordering number (52230010 for 52.230010), 0 while not known, and serial number.
    int32_t iOrderingNumber = 0;
    int32_t iSerialNumber = 0;
    // [R] The first two characters of the VersionHW value, or empty.
    std::string sHardwareVersion;
    // [R] The SystemInfo block of the identity document.
    std::string sSystemInfo;
    // [R] Port (0: none) and name of a module driver that is to be locked as incompatible.
    int32_t iLockPort = 0;
    std::string sLockName;

    // The Name value of the SystemInfo block ("unknown" when absent); set at start-up only.
    std::string sDeviceName = "unknown";
    // The compatibility list (loaded at start only) and whether a list file was read.
    std::vector<CompatibilityEntry> vCompatibilityList;
    bool bCompatibilityListLoaded = false;
    // Installed firmware version text and its number form.
    std::string sFirmwareVersion;
    uint32_t uFirmwareVersionNumber = 0;
    // The two characters of sHardwareVersion at start-up (0 when absent), for the status record.
    char acVersionHW[2] = {0, 0};
    // MAC address from the EEPROM image, when usable.
    bool bMacAddressUsable = false;
    uint8_t aucMacAddress[6] = {};
    // Network interface of the product ("eth0", "br0", "hipe0").
    char acInterfaceName[32] = {};
    // NetBIOS host name and alias; empty when none.
    char acHostName[136] = {};
    char acAliasName[136] = {};
    // Network settings of requests are ignored (no usable MAC address).
    bool bNetworkFixed = false;
    // Network settings in force and requested (QTXSystemNetwork.cpp).
    NetworkSettings tNetworkActive;
    NetworkSettings tNetworkRequested;
    // Fills the requested settings, the interface and the host names from the product table at
    // start; writes the NetBIOS name file (start-up mode) or starts the NetBIOS responder.
    void InitNetwork();

    // Set by the Reboot command and a successful update; the serving loop then reboots.
    std::atomic<bool> bRebootPending{false};
    // Debounced hex-switch setting, -1 before the first reading.
    std::atomic<int32_t> iHexSwitchInUse{-1};
    // Sampling periods in microseconds: the effective one sent with the user settings, and the
    // two that SetSamplingPeriodInUs sets.
    std::atomic<double> dSamplingPeriodInUs{-1.0};
    std::atomic<double> dCpuSamplingPeriodInUs{-10.0};
    std::atomic<double> dFiberOpticSamplingPeriodInUs{0.0};
    // After ForbidConfigSave StoreConfiguration stores nothing (and still answers "Done").
    std::atomic<bool> bConfigSaveForbidden{false};
    // LED test mode: 0 none, 0x81 the family's LED test sequence, others the kernel's LED test.
    std::atomic<int32_t> iLedTestMode{0};
    // LED 1 blinks fast; also suspends the application watchdog.
    std::atomic<bool> bFastBlinking{false};
    // LED 4 requested.
    std::atomic<bool> bButtonLed{false};
    // The device name begins with "qorKOVE-8".
    bool bIsKove8 = false;
    // Descriptor of "/dev/gpio", -1 when it is not open.
    int iGPIOFile = -1;
    // Client connection of a factory-default request, from the request until the serving
    // loop hands it to the thread that answers it (only the serving thread touches it).
    std::unique_ptr<CQTXCommunication> pFactoryDefaultConnection;
    // Transfer-buffer record of 1424 bytes, allocated in start-up mode only.
    std::unique_ptr<unsigned char[]> pTransferBuffer;
    // The directory of named shared memories "MEM_DevMsg_SharedMemoryList", and the memories
    // held for other programs.
    QTXNSMemory* pSharedMemoryList = nullptr;
    std::vector<QTXNSMemory*> vpNamedSharedMemories;
    // The record of held names (null when it could not be set up), guarded with the memories
    // and the directory by tSharedMemoryMutex: requests change them on the serving thread, the
    // end of the hub on the thread that handles SIGTERM.
    QTXNSMemory* pHeldRecord = nullptr;
    mutable pthread_mutex_t tSharedMemoryMutex;
    bool bSharedMemoriesReleased = false;
    // LED test sequence: its number of steps (0 until known) and the current step (the LED
    // thread's own).
    int iLedTestSteps = 0;
    int iLedTestStep = 0;
    // The last raw hex-switch word, -1 before the first reading (written by the hex-switch
    // thread, read by the LED thread).
    std::atomic<int32_t> iHexSwitchSetting{-1};
    // LED 4 is lit (the LED thread's own).
    bool bButtonLedShown = false;

    // The watchdog list, in the order of the requests, guarded by tWatchdogMutex.
    mutable pthread_mutex_t tWatchdogMutex;
    std::vector<WatchdogEntry> vWatchdogEntries;
    uint64_t uNextWatchdogId = 1;

    // Reboot requests are refused (Reboot Config="ForbidReboot").
    std::atomic<bool> bRebootForbidden{false};
    // The command that reboots the device, and how long the serving loop waits for it to end.
    std::vector<std::string> vRebootCommand{"reboot"};
    int iRebootWaitMs = 10000;

    // A factory default at run time: active from the request until the client is answered.
    std::atomic<bool> bFactoryDefaultActive{false};
    // Set by the request, taken by the serving loop once the request's own reset is done.
    bool bFactoryDefaultPending = false;
    // The configuration directory as it was before the reset, until the reset succeeded.
    std::string sFactoryDefaultBackup;
    // Ports of the registered drivers when the reset began.
    std::vector<int32_t> vFactoryDefaultPorts;

private:
    // OpenDevices ran and CloseDevices has not yet.
    bool bDevicesOpen = false;
    // True while the reboot command started by ProcessPendingReboot runs, after waiting up to
    // waitMs for it to end; reaps it (and logs a failure) once it has ended.
    bool RebootCommandRunning(int waitMs);
    // Reboots tried since the start, and the process of the reboot command, -1 when none runs.
    int iRebootAttempts = 0;
    int iRebootPid = -1;
};

#endif
