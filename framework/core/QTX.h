// CQTX: the base class of every driver of the device. A driver program owns exactly one object
// of a class derived from it; the base class runs the driver's life: command line, start-up,
// stored configuration, request server, reporting, threads and the orderly stop.
//
// A driver fills the five operations without a base version (GetModuleName, InitCQTX,
// BootHardware, ParseAndCheckConfiguration, SetHardwareConfiguration) and overrides whichever
// others it needs. Its main() constructs the object, optionally starts the device-message
// service (InitDevMsgDebug) and calls RunQTXDriver, or runs Init, its own threads and
// DoCommunication itself.
#ifndef QTX_H
#define QTX_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <pthread.h>
#include <string>
#include <vector>

#include "QTXBin.h"
#include "QTXCommandFile.h"
#include "QTXCommandTags.h"
#include "QTXCommunication.h"
#include "QTXError.h"
#include "QTXGlobal.h"
#include "QTXMessages.h"
#include "QTXReport.h"
#include "QTXSharedMemory.h"
#include "QTXShell.h"
#include "QTXThread.h"
#include "QTXXml.h"

class CQTX;
struct _QTXVersionInfo;
struct tagDEVMSG_HANDLE_STRUCT;

// One ability of the module for the module description: name, value and unit (the unit may be
// null). A table of them ends at the first row whose name is null or empty.
struct AbilityItem_t
{
    const char* name;
    const char* value;
    const char* unit;
};

// A driver thread: the pthread handle is meaningful only while bValid is set.
struct QTXThreadHandle
{
    pthread_t tThread;
    bool bValid;
};

// Body of a driver thread started with CQTX::StartThread: (driver, argument, int argument);
// the result becomes the thread's exit value (0 for true, 1 for false).
typedef bool (*QTXThreadFunction)(CQTX* driver, void* argument, int intArgument);

// Handlers a driver may give to its device-message service.
typedef uint32_t (*QTXDevMsgCommandHandler)(uint16_t command, tagDEVMSG_HANDLE_STRUCT* handle);
typedef void (*QTXDevMsgReleaseHandler)(tagDEVMSG_HANDLE_STRUCT* handle);

// What the driver command line selects (see CQTX::ParseCommandLine).
struct QTXCommandLine
{
    std::string sDirectory; // empty: the root directory
    int iSlot = -1;         // slot 0..15, a port (16 or more), or -1
    std::string sDebugAddress;
    bool bHardware = true;    // false with -Simulate
    std::string sStartupText; // value of -Startup=
    // The same program with every argument but the delay, each in double quotes.
    std::string sRestartCommandLine;
    // The same as an argument vector (program path first), for starting it without a shell.
    std::vector<std::string> vsRestartArguments;
};

// Size in bytes above which the log file is started anew (the old one is kept as "*.old").
// A program may change it before it logs.
extern int g_iQTXMaxLogFileLength;

// File name of the module's EEPROM image in the driver directory ("EEProm.bin").
extern std::string sEepromFileName;

// The command-tag table aCommandTags is declared in QTXCommandTags.h.

// Port base of the module drivers: a driver in slot n serves port 62100 + n.
constexpr uint32_t QTX_SLOT_PORT_BASE = 62100;
// Port of the system driver; drivers above it register there.
constexpr uint32_t QTX_SYSTEM_PORT = 62000;
// Number of module slots.
constexpr int QTX_NUMBER_OF_SLOTS = 16;
// Request code of a stored configuration (root element "Module").
constexpr unsigned short QTX_TAG_MODULE = 0x101;
// Start of the name of the fresh file that CQTX::ReplaceFile writes before it takes the place
// of the file it replaces. A name that starts with ".." is no name a stored or user file has:
// the configuration archive never packs one, and a driver's start removes those of its own
// configurations that a cut store left behind.
constexpr char QTX_STORE_TEMPORARY[] = "..Store.";

class CQTX
{
public:
    CQTX();

    // ---- Virtual operations, in this order (the destructor takes the first two entries)

    // Releases the OS resources (ReleaseOsResource); a driver's own version may add its own.
    virtual ~CQTX();
    // Called by the SIGTERM path (from the terminator thread) and by the driver itself.
    virtual void Terminate();
    // The name the driver gives itself.
    virtual std::string GetModuleName() = 0;
    // "<group>_<range>_Ch<nn>" for a signal of the module description.
    virtual std::string GetSignalDescription(const std::string& group, int channel);
    // Driver start-up, before the hardware is initialised.
    virtual void InitCQTX() = 0;
    // Hardware initialisation.
    virtual void BootHardware() = 0;
    // Reads and checks the loaded configuration document; false means refused (the findings
    // are written into the document). The set index says where an accepted one is stored.
    virtual bool ParseAndCheckConfiguration(int& setIndex) = 0;
    // Applies the checked configuration.
    virtual void SetHardwareConfiguration() = 0;
    // Answers a configuration request while a client holds the module lock.
    virtual bool ProcessLockedConfiguration(const char* file, _QTXCommandFileType type);
    virtual void ProcessDiagnostic();
    virtual void ProcessDebug();
    virtual void ProcessKoveFactory();
    // Called after an accepted configuration was applied and stored.
    virtual void ConfigurationDone();
    // Every request whose tag the framework does not handle itself; a non-zero result is
    // written into the reply as a standard error.
    virtual int ProcessUnknownXmlTag(uint32_t requestCode);
    // New user settings pushed by the system driver.
    virtual void ProcessUserConfig(const std::string& value);
    // Stored configuration file of a set; the index is only read.
    virtual std::string GetConfigurationFileName(int& setIndex);
    virtual std::string GetFactorySettingFileName();
    virtual std::string GetDUFConfigurationFileName();
    virtual double GetSignalValue(const std::string& name, int number);
    virtual std::string GetSignalUnit(const std::string& name, int number);
    // Writes the module description and returns its file name.
    virtual std::string GetModuleInfoFileName();
    // Offered the configuration mutex around every configuration change; a driver that shares
    // its configuration with its own threads locks the guard here and unlocks it below.
    virtual void ConfigThreadLock(LockGuard& guard);
    virtual void ConfigThreadUnlock(LockGuard& guard);
    // Brings the module-description sections of a configuration document up to date.
    virtual bool UpdateConfigurationFileXml(const std::string& fileName, bool textOnly);
    // True when the driver checks a new configuration under this client lock value by rules of
    // its own (ParseAndCheckConfiguration asks GetModuleLock); the base answers false, and the
    // request is answered by ProcessLockedConfiguration.
    virtual bool ChecksConfigurationUnderLock(int lock);

    // ---- Life cycle

    // Parses the command line and starts the driver (the second Init). defaultSlot is the
    // program's own default: its port, or a slot number. Throws CQTXError "HelpText" after
    // printing the help text and "IllegalArguments" for an argument it does not know.
    void Init(int argc, char** argv, int defaultSlot);
    // Starts the driver: directory (empty: the root directory), slot or port, debug receiver
    // address (empty: none), hardware (false: simulation). Throws whatever a step throws.
    void Init(const std::string& directory, int slot, const std::string& debugAddress,
              bool hardware);
    // The whole life of a simple driver: Init, then serve requests until a "UserBreak".
    // 0 after an orderly stop, 1 when the start failed.
    int RunQTXDriver(int argc, char** argv, int defaultSlot);
    // The serving loop of a started driver: serves requests until a "UserBreak" (other errors
    // are reported and the loop goes on), then unregisters from the system driver. Returns 0.
    int ServeUntilUserBreak();
    // Serves one request (loop false) or requests until a "UserBreak" (loop true): inline, or
    // in a communication thread whose handle is returned (invalid when it could not start, and
    // always in inline mode).
    QTXThreadHandle DoCommunication(bool loop, bool asThread);
    // Forgets the communication thread (it is not waited for) and closes the command server's
    // listening socket and client connection.
    void StopCommunication();
    CQTXCommunication& GetCommunicationClass() { return tCommandServer; }
    uint32_t GetCommunicationPort() const { return ulPort; }
    // Ends the driver's threads, unregisters, closes the connections and the debug receiver,
    // stops the device-message service and waits up to 2 s for the threads to end. May run
    // more than once; never throws (a failed unregistration is reported).
    void ReleaseOsResource();
    // Starts the trace buffer (traceBytes) and the base library's device-message service on
    // the port with threadCount service threads (0: the service's default), once per driver
    // object. Without a command handler the service answers its built-in commands only; a
    // handler may offer file access and forwarding with the functions of DevMsgFile.h. True
    // when the service runs (also when this object started it before); only then does the
    // release stop it.
    bool InitDevMsgDebug(uint16_t port, uint32_t traceBytes, uint32_t threadCount,
                         QTXDevMsgCommandHandler commandHandler = nullptr,
                         QTXDevMsgReleaseHandler releaseHandler = nullptr);
    bool IsBooting() const { return bBooting; }
    bool IsFactoryDefault() const { return bFactoryDefault; }
    // Allows binary configuration requests, sets whether XML ones stay allowed, and keeps the
    // two bytes for the first check of a binary configuration.
    void AllowBinConfiguration(uint8_t first, uint8_t second, bool xmlAllowed);
    // Hook for logging the memory use under a caption; the base does nothing.
    void LogMemoryInfo(const char* caption);
    // Memory that stands for the bus while simulating; it stays the caller's.
    void SetBPBSimulationBuffer(unsigned char* buffer, uint32_t length);

    // ---- Command line

    // Parses a driver command line (argv[0] is the program path) without starting anything:
    // sleeps for -Delay= where it stands, prints the help text for -Help, and throws as Init.
    static void ParseCommandLine(int argc, char** argv, int defaultSlot, QTXCommandLine& result);
    // Driver name derived from a program path ("/x/10_System.exe" gives "System").
    static std::string DriverNameFromProgram(const std::string& programPath);
    // Port of a slot argument: 62100 + slot for 0..15, the number itself from 16 on, 0 (no
    // request server) below 0. slotMember receives the slot, or -1 when it is no slot.
    static uint32_t PortFromSlot(int slot, int& slotMember);
    // Prints the help text to standard output.
    static void PrintHelpText(const char* programPath);
    // The command line a restart of the driver uses.
    const std::string& GetRestartCommandLine() const { return sRestartCommandLine; }
    const std::vector<std::string>& GetRestartArguments() const { return vsRestartArguments; }

    // ---- Reporting and the log file

    // Appends one line "[<seconds>] <text>" to the driver's log file and sends the text to the
    // debug receiver.
    void WriteToLogfile(const std::string& text);
    // Reports an error by its severity: log file, debug receiver, event log, standard output.
    void SendErrorMessage(CQTXError error, bool toClient);
    // Reports the error and tells the system driver about it.
    void SetModuleError(CQTXError error);
    // Tells the system driver that the module's error is gone: up to 50 tries, 100 ms apart,
    // until it answers; nothing is reported when it never does.
    void ClearModuleError();
    // Opens the debug receiver at "host:port" (no port: 13131); empty or "off" closes it.
    void SetDebugSocket(const std::string& address);
    // Sends a numbered debug message to the debug receiver, when one is open.
    void DebugOutput(const std::string& text);
    // Switches the reporting of bus accesses to the debug receiver; returns the old setting.
    bool AllowHWAccessDebug(bool allow);

    // ---- Registration with the system driver

    void RegisterDevice();
    void UnregisterDevice();

    // ---- Threads

    // Starts a counted driver thread running function(this, argument, intArgument). A
    // priority delta of -99 or more sets the round-robin priority to the current one plus the
    // delta (1..99); a smaller delta leaves it. The thread is detached (nobody joins it; the
    // count tells when it has ended). The handle is invalid when the thread could not be
    // created; no memory for its start record throws CQTXECommunicationError "ThreadFailed".
    QTXThreadHandle StartThread(QTXThreadFunction function, void* argument, int intArgument,
                                int priorityDelta);
    // Adds delta to the number of running driver threads and returns the new number.
    int ThreadCounter(int delta);
    // Tells the driver's threads to end.
    void EndAllThreads() { bContinueThreads = false; }
    // True while the driver's threads are to keep running.
    bool ContinueThread() const { return bContinueThreads; }

    // ---- Request server and the document in hand

    // One step of the request server: opens the listening socket when it is not open, and
    // with serve set waits for and serves one request.
    void ServerSocketThread(bool serve);
    // Throws CQTXError "CanNotStoreFile" (fatal) when no request file can be written in the
    // driver directory (missing, read-only or full).
    void CheckRequestFilesWritable();
    // Receives one request on the client connection and dispatches it.
    void SocketConnectorThread();
    // The descriptor the ring's file names are relative to: the driver directory, opened
    // (again) when it is not open for the current directory; AT_FDCWD with the directory
    // name in front of each file name where it cannot be opened.
    int RingDirectory(std::string& prefix);
    // Closes the ring's directory and the file held for the next request.
    void CloseRequestRing();
    // Makes the ring ready for the next request: the files of ring slot `trim` are cut when
    // they grew large, the next request's file is created empty and held open, and that
    // slot's old reply is removed.
    void PrepareRequestRing(int trim);
    // Answers a request that could not be stored in its ring file with the error
    // "CanNotStoreFile" and applies nothing of it; then throws that error for the serving loop
    // to report.
    void RefuseUnstoredRequest(uint32_t requestCode, const std::string& content);
    // Stores the document in hand as the reply file of the request and sends it. When the
    // file cannot be written the reply is sent from memory, bReplyNotStored is set and the
    // result is false. A reply that would pass XML_MAX_WRITTEN bytes is cut to its root
    // element with the error "ReplyTooLong" (bReplyCut is set), and that goes out instead.
    bool StoreAndSendReply();
    // Loads a command file that the driver keeps (a stored configuration, its factory
    // defaults) as the document in hand; 0 when loaded, -256 when the file is neither XML nor
    // binary, -75 when the document object cannot load it. Such a file loads whatever the
    // number of its items: the bound on items is for what a client sends.
    int LoadCommandFile(const char* path, unsigned short tag);
    // The same, reading the file once; when it loads, its bytes are left in `content` (else
    // `content` is empty). An XML document may hold at most `itemBound` items (see
    // CQTXXml::SetItemBound); a received request is loaded with XML_MAX_ITEMS.
    int LoadCommandFile(const char* path, unsigned short tag, std::string& content,
                        size_t itemBound);
    // The same for the file's bytes already in `content` (all of them when `complete`, else
    // the document object loads the file itself).
    int LoadCommandBytes(const char* path, unsigned short tag, std::string& content, bool complete,
                         size_t itemBound);
    // Empties the documents; no document in hand afterwards.
    void FreeCommandFileMemory();
    // Stores the document in hand; false without one or when it cannot be written.
    bool StoreCommandFile(const char* path, bool reply);
    // Writes the error into the document in hand; nothing without one.
    void SetErrorInCommandFile(CQTXError error);
    // Loads the current request file: 0, the error of LoadCommandFile, or 64 when the loaded
    // document is not of the expected type. With `received` not empty, those are the file's
    // bytes as they were just stored: they are taken over instead of reading the file back.
    int XmlLoadActualFile(unsigned short tag, _QTXCommandFileType type,
                          std::string* received = nullptr);
    // Stores the document in hand as the reply: the current request file becomes its "_out"
    // file. Throws CQTXError "CanNotStoreFile" when it cannot be stored.
    void XmlStoreActualFile();
    // Name of ring file `index` (0..9) of the request server, absolute in the driver
    // directory; its reply is the same name with "_out" before the extension.
    std::string GetRequestFileName(int index) const;
    // Number of request files in the ring.
    static constexpr int kRequestRingSize = 10;

    // ---- Request dispatch

    // Handles one received request (request code of CQTXCommunication::ReceiveXmlFile):
    // loads it, hands it to its handler between the configuration-lock hooks, stores and sends
    // the reply. A handler's error goes into the reply and is thrown on afterwards.
    // `received`: see XmlLoadActualFile.
    void ProcessXMLFile(uint32_t requestCode, std::string* received = nullptr);
    // Answers the request in hand with a standard short error (-256 as 0xFF00 ...): written
    // into the document, stored as the reply and sent. Nothing without a document in hand.
    void SendStdError(uint16_t number);
    // The same with an error value.
    void SendError(CQTXError& error);

    // ---- Module lock and base handlers

    // 0 free, -2 module firmware incompatible, any other value held by a client.
    int GetModuleLock() const;
    // Signature of the lock's holder; empty while the module is not locked.
    std::string GetModuleLockSignature() const;
    // Handles the Lock request in hand; throws "WrongModule" or "ModuleLocked".
    void ProcessLockRequest();
    // Checks the arguments of a module SPI flash read (the flash itself is read through the
    // module libraries): false for a negative address, a count below 1 or a slot other than
    // 0..4 or 62100..62104; a negative slot means the driver's own.
    bool SpiFlashRead(void* buffer, int count, int address, int slot, bool flag, int extra);

    // ---- Stored configuration and identity

    // Where the stored configurations live.
    std::string GetConfigurationPath() const { return sConfigurationDirectory; }
    // Stores the document in hand as set setIndex of the configuration name. A failure is
    // reported (log, event log) and returned as false.
    bool StoreConfiguration(const std::string& name, int setIndex);
    // The error of a configuration that could not be stored.
    static CQTXError StoreConfigurationError();
    // Copies the factory-default files over the configuration files.
    void CopyFactoryDefault(const std::string& factoryName, const std::string& configName);
    // Reads the module's identity stamp at start-up.
    void ProcessStampData();
    // A name beginning with "/" as it is; any other in the driver directory.
    std::string FileNameToAbsolutePath(const std::string& name) const;
    // Copies one file (relative names in the driver directory). The destination is replaced
    // as a whole or not at all; false when the source cannot be read or the copy not written.
    bool CopyFile(const std::string& destination, const std::string& source);
    // The user configuration string from the system driver; empty when it cannot be had.
    std::string GetUserConfig();
    // Writes the module description "ModuleInfo.xml" into the driver directory; false when it
    // cannot be written (an older description then stays as it was).
    bool WriteModuleInfoFile();

    // ---- Version information

    // Copies the driver's version record (filled on first use) to `out` when it is not null.
    void GetVersionInfo(_QTXVersionInfo* out);
    // Loads the system driver's identity document (its answer to Identify); the system driver
    // itself takes its own. False when there is none.
    bool LoadSystemIdentity(CQTXXml& identity);
    // Replaces the root's DeviceVersion element of the document; false when it cannot be added.
    bool AddDeviceVersionToXml(CQTXXml* document, uint32_t unused);

    // ---- Backplane bus
    //
    // A relative address (absolute false) is added to ulBpbBaseAddress; the effective address
    // is rounded down to a multiple of 4. A failed read shows as the fill word 0x45454545.
    // While simulating, the accesses go to the simulation buffer instead.

    uint32_t BPBReadWord(int32_t address, bool absolute);
    void BPBReadBuffer(int32_t address, uint32_t* buffer, uint32_t words, bool absolute);
    void BPBWriteWord(int32_t address, uint32_t value, bool absolute);
    void BPBWriteBuffer(int32_t address, const uint32_t* buffer, uint32_t words, bool absolute);
    // True when (word AND mask) equals wanted; a failure is kept in the last-comparison record.
    bool BPBCompareWord(int32_t address, uint32_t wanted, uint32_t mask, bool absolute);
    // True when the words on the bus equal the buffer; stops at the first difference.
    bool BPBCompareBuffer(int32_t address, const uint32_t* buffer, uint32_t words, bool absolute);
    bool BPBRealHardwareAvailable() const { return !bSimulate; }
    // The driver's time base in seconds: the bus clock on families 0 and 2, otherwise (and
    // while simulating) the software clock.
    double GetHardwareTime();
    // Hardware family from the FPGA identification; cached once it is known.
    int GetHWFamily();

protected:
    // Selects the command `name` of a Debug request in hand (a property of the root's own
    // property list) without creating it; false when the request does not carry it.
    bool SelectDebugCommand(const char* name);
    // The DebugReceiver command just selected: opens the receiver it names and sends it the
    // build time.
    void OpenDebugReceiverOfCommand();
    // Start-up step: loads the stored configuration, or the factory defaults in its place.
    void LoadStartupConfiguration(int setIndex);
    // Release step: stops the device-message service when InitDevMsgDebug started it.
    void StopDevMsgService();
    // Sends a stored binary configuration as a configuration reply (head tag 0x8100); false
    // when it cannot be loaded or holds no data (the caller answers -258 then).
    bool SendStoredBinaryConfiguration(const std::string& file);
    // Replaces the file at path as a whole: write(name) writes the new content into a fresh
    // file beside it (named QTX_STORE_TEMPORARY + the file's name + "." and six letters or
    // digits), which then takes the place of path. When writing fails the file at path stays
    // as it was. True when the new file is in place.
    static bool ReplaceFile(const std::string& path,
                            const std::function<bool(const std::string&)>& write);
    // Removes the fresh files that stores of this driver's configurations ("Config_<port>_
    // ... .xml") left in the configuration directory when they were cut short: the names that
    // start with QTX_STORE_TEMPORARY + "Config_<port>_". Called at start, before the driver
    // stores anything itself.
    void RemoveInterruptedStores();
    // The configuration name without a set number that the framework added to it ("_3" in
    // ".._<file name>_3.xml"); a module name that itself ends in "_<digit>" stays whole.
    std::string StripSetNumber(const std::string& name) const;

    // Last failed bus comparison: absolute address, value read, value expected.
    uint32_t ulBpbCompareAddress = 0;
    uint32_t ulBpbCompareRead = 0;
    uint32_t ulBpbCompareWanted = 0;
    // Value of -Startup=, for the driver to read.
    std::string sStartupText;
    // The driver's directory, ending with the separator once Init has run.
    std::string sDirectory;
    // Slot 0..15, or -1 when the driver has no slot.
    int iSlot = -1;
    // Bus base address added to relative bus addresses; bit 31 set means the upper bus range.
    uint32_t ulBpbBaseAddress = 0;
    // TCP command port; 0 means no request server.
    uint32_t ulPort = 0;
    std::string sModuleName;
    // The module name with every character but letters and digits replaced by "_".
    std::string sFileName;
    CQTXXml tXmlCommandFile;
    // The binary request in hand and its reply.
    CQTXBin tBinCommandFile;
    // The document of the request in hand, or null.
    CQTXCommandFile* pCurrentCommandFile = nullptr;
    bool bSimulate = false;
    // Identity stamp of the module.
    std::string sOrderNumber;
    std::string sSerialNumber;
    std::string sHwVersion = "--";
    std::string sSwVersion = "--";
    // Old request files of the ring larger than this are cut.
    int iRequestFileTrimSize = 2048;
    // Abilities of the module for its description; set by a driver that has them.
    const AbilityItem_t* pAbilityTable = nullptr;
    double dMinSysClockPeriod = 0;
    double dAdcConvertionDelay = 0;
    double dFilterDelayPerBiquad = 0;
    double dPowerFrequencyMeasurementDelay = 0;
    // CalibrationInfo of the device version: who calibrated, and the calibration.
    std::string sCalibrator;
    std::string sCalibration;
    // Number of running driver threads, guarded by tThreadCountMutex.
    int iThreadCount = 0;
    pthread_mutex_t tThreadCountMutex;
    // Handed to the configuration-lock hooks.
    pthread_mutex_t tConfigMutex;
    unsigned char* pBpbSimulationBuffer = nullptr;
    uint32_t ulBpbSimulationSize = 0;
    // Next file of the request-file ring.
    int iRequestRingIndex = 0;
    // The ring's directory, open for the file operations of each request (-1 while it is not
    // open), and the directory name it was opened for.
    int iRingDirectory = -1;
    std::string sRingDirectory;
    // The ring file after the newest request, created empty ahead and held open for the next
    // request to be received into (-1 when none is held), and its index.
    int iPreparedRequestFile = -1;
    int iPreparedRequestIndex = -1;
    // The newest request's file, still open after its reception (-1 when none is), closed once
    // the client has its reply.
    int iReceivedRequestFile = -1;
    // Bytes of each ring slot's request file as the driver wrote it (-1 when not known): a
    // file known to be small is not looked at when it is the slot to be cut.
    long long aRequestFileBytes[kRequestRingSize] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    // File of the document in hand (at start-up the stored configuration file).
    std::string sCurrentRequestFile;
    // Bytes of the request file as loaded by XmlLoadActualFile (empty when they are not at
    // hand); a Ping is answered from them instead of reading the file again.
    std::string sCurrentRequestContent;
    CQTXCommunication tDebugReceiver;
    CQTXCommunication tCommandServer;
    pthread_t tCommunicationThread{};
    bool bCommunicationThreadValid = false;
    // True while the driver's threads are to keep running.
    std::atomic<bool> bContinueThreads{false};
    std::atomic<bool> bHWAccessDebug{true};
    std::string sDebugAddress;
    std::atomic<bool> bBooting{true};
    std::string sConfigurationDirectory;
    // Module lock: 0 free, -2 firmware incompatible, other values held by sLockSignature.
    int iModuleLock = 0;
    std::string sLockSignature;
    // Measuring range for the signal descriptions, taken from the module name on first use.
    std::string sSignalDescriptionRange;
    bool bSignalDescriptionRangeKnown = false;
    // When set, the request server accepts a new client before the next request and closes
    // the connection after it.
    bool bCloseConnection = true;
    // Set when the reply of the request in hand went out without its reply file.
    bool bReplyNotStored = false;
    // Set when the reply of the request in hand was cut to its root and the error.
    bool bReplyCut = false;
    int iHWFamily = 0;
    std::atomic<bool> bFactoryDefault{false};
    // Set once the system driver has been told of the driver's end: it is told only once.
    std::atomic<bool> bUnregistered{false};
    // Version record, allocated with calloc on first use and freed by the destructor.
    _QTXVersionInfo* ptVersionInfo = nullptr;
    // Set once the version record holds the system driver's answer; until then each request
    // for it asks again (the system driver may not have been up at the first request).
    bool bVersionInfoComplete = false;
    bool bXmlConfigAllowed = true;
    bool bBinConfigAllowed = false;
    uint8_t ucBinCheckFirst = 0;
    uint8_t ucBinCheckSecond = 0;
    // Set by InitDevMsgDebug once the service runs; the release stops it then.
    int iDevMsgServiceStarted = 0;
    pthread_mutex_t tLogFileMutex;
    // Log file, named by the first WriteToLogfile that finds a name and kept from then on.
    std::string sLogFileName;
    std::string sRestartCommandLine;
    std::vector<std::string> vsRestartArguments;

private:
    CQTX(const CQTX&) = delete;
    CQTX& operator=(const CQTX&) = delete;
};

// Body of the communication thread: serves requests until a "UserBreak" or the end of the
// driver's threads (loop set), or once.
bool QTXCommunicationThread(CQTX* driver, void* argument, int loop);

#endif
