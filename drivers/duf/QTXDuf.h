// CDuf: the signal-routing driver on port 62001. It owns every data path between the modules,
// the fiber-optic link, local applications and the FPGA processing unit: requesters send their
// paths as routing documents, the driver completes each path with its partner's address data
// and programs the FPGA's synchronizer, bus-master and PCI-master units.
//
// The class is split over sub-folders by concern:
//   QTXDuf.cpp                         process, start-up, unit set-up, applying the paths
//   QTXDufDebug.cpp                    debug commands (DebugReceiver, EndDriver, ShowPaths)
//   requests/DufRequest.*              the request list and its records
//   requests/DufRequestCheck.cpp       the routing document: records of a requester, answers
//   addressdata/DufAddressData.cpp     a partner's address description, the request's window
//   addressdata/DufCompletion.cpp      completion of a request per partner kind
//   addressdata/DufMissingModules.cpp  module drivers not registered yet at start-up
//   requests/DufTargetModule.cpp       the target module of a module-to-module request
//   requests/DufHostBuffers.cpp        host buffers and PCI-master channels of applications
//   paths/DufResources.h, DufUnits.cpp resources of a run, the units it programs
//   paths/DufAllocators.cpp            channels, synchronizers and windows of a run
//   paths/DufPathFunctions.cpp         the chain of units per pair of path kinds
//   paths/DufSetupAllPaths.cpp         programming all paths: trial and configuration runs
//   staticfo/DufStaticFo.h             the static fiber-optic mode: signal sets, module ranges
//   staticfo/DufStaticFoConfig.cpp     its configuration file and the error file
//   staticfo/DufStaticFoLayout.cpp     the frame layout of the module slots, the signal list
//   staticfo/DufStaticFoMode.cpp       start-up detection, hex-switch selection, the fixed
//                                      fiber-optic configuration, module configurations
//   staticfo/DufStaticFoWatcher.cpp    the configuration file's watcher, Reconfigure
//
// Threads: the framework's serving thread and start-up use everything here. The static mode's
// watcher thread touches only the file and the stamp of the driver's own last write of it
// (NoteOwnStaticFoWrite): it asks for a reconfiguration through the driver's own port.
#ifndef QTX_DUF_H
#define QTX_DUF_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "DufRequest.h"
#include "DufResources.h"
#include "DufStaticFo.h"
#include "QTX.h"
#include "QTXReadForDuf.h"

constexpr int DUF_PORT = 62001;

class CDuf : public CQTX
{
public:
    CDuf();
    ~CDuf() override;

    // ---- Framework operations
    std::string GetModuleName() override;
    void InitCQTX() override;
    void BootHardware() override;
    bool ParseAndCheckConfiguration(int& setIndex) override;
    void SetHardwareConfiguration() override;
    void ProcessDebug() override;
    std::string GetDUFConfigurationFileName() override;
    double GetSignalValue(const std::string& name, int number) override;
    std::string GetSignalUnit(const std::string& name, int number) override;
    // The hex switch ("hex", low four bits; 0: static fiber-optic mode) of the user settings.
    void ProcessUserConfig(const std::string& config) override;
    // Reconfigure: takes over a new static fiber-optic configuration file; other unknown root
    // tags are refused.
    int ProcessUnknownXmlTag(uint32_t requestCode) override;

    // ---- Request list
    CDufRequestList& Requests() { return tRequests; }

    // ---- Module address data
    // Completes the request with its partner's address data; throws CQTXError on failure.
    void ReadModuleDufData(DufRequest& request);
    // The bits of the needed module ports (bit n: port 62100 + n, n = 0..4) whose drivers the
    // system driver does not list; other bits pass unchanged.
    uint32_t UnavailableModules(uint32_t missMask);

    // ---- Programming all paths
    // Programs every valid request: a trial (configurationRun false) only counts and writes
    // nothing, a configuration run programs and enables the units. False when a path cannot be
    // built or the run needs more than the units have.
    bool SetupAllPaths(bool configurationRun);
    // Chains output requests of one requester to one partner (names ending in "Out"); true.
    bool ConnectRequests();
    // The run's counters of the last SetupAllPaths.
    const RoutingResources& LastResources() const { return m_tLastResources; }
    uint32_t GetFoOutEventMask() const { return iFoOutEventMask; }

    // ---- Static fiber-optic mode
    // Reads and checks a static fiber-optic configuration file (device path); true when it is
    // accepted, its values then in force. A refused file leaves the values as they were and
    // writes the error file (the document with its errors, or one line after a fatal error).
    // A file that selects "None" is accepted with the mode switched off (StaticFoNone).
    bool ReadQWConfig4ZTM(const std::string& file, bool clearErrorFile);
    bool StaticFoNone() const { return m_bStaticFoNone; }
    const StaticFoConfig& StaticFoValues() const { return m_tStaticFo; }
    // Places the blocks of the module slots in the fiber-optic frame and makes a static request
    // (requester 62002) hold every signal of each block; false when a request cannot be added.
    bool ConfigForZTM();
    // The fixed frame position of a static request in static mode, else 0 (the window allocator
    // hands out space); a static request without a placed block becomes invalid.
    void UpdateRequest4FoPosition(DufRequest& request);
    // Writes the frame as a text list for the acquisition software (once per layout); false
    // when there is none to write.
    bool WriteQwSignalList();
    // Start-up detection of the device variant; false when the system driver (or the
    // EtherCAT module of the bus-module device) did not answer.
    bool InitQWMode();
    // Enters (on) or leaves the static mode.
    bool SwitchQWMode(bool on);
    // The fixed fiber-optic configuration document, and sending it to the fiber-optic driver.
    std::string FiberOpticDocument() const;
    bool SetAndEnableFiberOptic();
    // Switches the module drivers' configurations to the static state (on) or back to the
    // normal one kept at the last entry; false when a module driver failed.
    bool SwitchModuleConfigurations(bool on);
    // Asks the driver itself (its port) to reconfigure from the working copy.
    bool NewStaticFOConfig();
    // Replaces the working copy by a copy of the file and notes it as the driver's own write,
    // which the watcher does not take for a new configuration.
    bool WriteOwnWorkingCopy(const std::string& source);
    // A factory reset: the factory default replaces the stored and the working copy.
    void TakeStaticFoFactoryDefault();
    // Has the hub store the configuration directory in flash; true when it answered "Done".
    bool StoreConfigurationThroughHub();
    const char* QwModeName() const;
    int32_t GetQwHwMode() const { return QwHwMode; }
    const ModuleSignals& SlotSignals(int slot) const { return aModuleSignals[slot]; }
    int32_t FoStartOf(int slot, int type) const { return FoStartTable[slot][type]; }

    // The text of the "ShowPaths" debug command.
    std::string ShowPathsText() const;

    // Presence of the FPGA units, from the hardware family.
    bool IsDfcmPresent() const { return DfcmPresent; }
    bool IsBpbmPresent() const { return BpbmPresent; }
    bool IsPcimPresent() const { return PcimPresent; }
    uint32_t GetModuleEventSlotMask() const { return ModuleEventSlotMask; }

protected:
    // The parsed XML description of an answer (the file's path and content), or null when it
    // is no XML module document; kept until the next configuration request.
    CQTXXml* ParsedDescription(const std::string& path, const std::string& content);

    // ---- Completion per partner kind; start and length of the window in bytes.
    void UpdateRequestForExternalModule(DufRequest& request, uint32_t& start, int32_t& length,
                                        CQTXXml* xml, const QTXForDufList* binary);
    void UpdateRequestForInternalModule(DufRequest& request, uint32_t& start, int32_t& length,
                                        CQTXXml* xml, const QTXForDufList* binary);
    void UpdateRequestForSoftwareModule(DufRequest& request, uint32_t& start, int32_t& length);
    void UpdateRequestForCoProcessor(DufRequest& request, uint32_t& start, int32_t& length);
    void UpdateRequestForTargetFoAndDummy(DufRequest& request, uint32_t& start, int32_t& length);
    // The offered-list steps of the two above.
    DufRequest& TakeOfferedList(const DufRequest& request, uint16_t offerer);

    // ---- Allocators of a run (on the run's units)
    bool AllocateBpbmChannels(DufRequest& r, RoutingResources& res, uint32_t& address,
                              uint8_t& event, bool wantEvent, bool toModule, uint8_t global,
                              uint8_t module, uint8_t system);
    bool AllocatePcimChannel(DufRequest& r, RoutingResources& res, uint32_t& address,
                             uint8_t& event, bool raiseEvent, bool toHost, uint8_t eventSource,
                             uint8_t selector);
    bool AllocateDfcmSynchronizer(DufRequest& r, RoutingResources& res, uint32_t source,
                                  uint32_t sourceRegister, uint8_t eventSource, uint8_t selector,
                                  uint32_t destination, uint32_t destinationRegister,
                                  uint8_t& event, bool chained);
    bool AllocateFoWindow(DufRequest& r, RoutingResources& res, bool output, int32_t length,
                          uint32_t& address);

    // ---- Path functions, one per pair of source and destination kind
    using PathFunction = bool (CDuf::*)(DufRequest&, RoutingResources&);
    static PathFunction SetupPathFunction(int index);
    bool SetupModuleToModule(DufRequest& r, RoutingResources& res);
    bool SetupModuleToMemory(DufRequest& r, RoutingResources& res);
    bool SetupModuleToFiberOptic(DufRequest& r, RoutingResources& res);
    bool SetupModuleToFpga(DufRequest& r, RoutingResources& res);
    bool SetupMemoryToModule(DufRequest& r, RoutingResources& res);
    bool SetupMemoryToFiberOptic(DufRequest& r, RoutingResources& res);
    bool SetupMemoryToLocalModule(DufRequest& r, RoutingResources& res);
    bool SetupMemoryToOther(DufRequest& r, RoutingResources& res);
    bool SetupFiberOpticToModule(DufRequest& r, RoutingResources& res);
    bool SetupFiberOpticToMemory(DufRequest& r, RoutingResources& res);
    bool SetupFiberOpticToLocalModule(DufRequest& r, RoutingResources& res);
    bool SetupLocalModuleToMemory(DufRequest& r, RoutingResources& res);
    bool SetupLocalModuleToFiberOptic(DufRequest& r, RoutingResources& res);
    bool SetupFpgaToFiberOptic(DufRequest& r, RoutingResources& res);
    bool SetupFpgaToOther(DufRequest& r, RoutingResources& res);
    bool SetupOtherToMemory(DufRequest& r, RoutingResources& res);

    // ---- Routing document (the request check)
    // The check on one document; the framework's request and the reload of the stored sets.
    bool CheckRoutingDocument(CQTXXml& document, int& setIndex);
    // The target module's own address data (module-to-module requests); false with the error
    // in the document.
    bool ReadTargetModule(CQTXXml& document, uint16_t requester, const std::string& targetSignals);
    // Host buffers and PCI-master channels of a local application's lists; false with the
    // error in the document.
    bool AllocateHostBuffers(CQTXXml& document, uint16_t requester);
    // Host buffers of local applications, from the inter-process memory pool: the handle (the
    // pool offset) and the logical address, or -1; released by handle.
    virtual int32_t AllocatePcimBuffers(uint32_t bytes, uint32_t& logicalAddress);
    virtual void ReleasePcimBuffers(int32_t handle);
    // The units a run programs: the device's units for a configuration run, the counting
    // stand-in for a trial.
    virtual std::unique_ptr<CDufUnits> MakeUnits(bool configurationRun);
    // Fiber-optic requests lose the link a local application holds; false when the document's
    // own request needs it (the error in the document).
    bool CheckFoReservations(CQTXXml& document, uint16_t requester);
    // Requester port of the document's Target, 0 when it is refused (errors in the document).
    uint16_t ReadRequester(CQTXXml& document, std::string& targetSignals);
    // Replaces the requester's records by the document's signal lists; false on a read error.
    bool ReadRecords(CQTXXml& document, uint16_t requester);
    // Completes the requester's records with their partners' address data; false when one
    // failed (the error is in the document).
    bool CompleteRecords(CQTXXml& document, uint16_t requester, uint32_t missMask);
    // Writes the signals' lengths, offsets and types into the document.
    bool WriteAnswers(CQTXXml& document, uint16_t requester);
    // Partner port of a list's "ModuleSlot".
    static uint16_t PartnerFromModuleSlot(int32_t moduleSlot);
    // Set number under which a requester's document is stored (-1: not stored).
    static int SetIndexOfRequester(uint16_t requester);

    CDufRequestList tRequests;
    // Bit n: the target module on port 62101 + n relays a module event.
    uint32_t ModuleEventSlotMask = 0;
    // Local application that takes the fiber-optic input / output directly; 0 none.
    int32_t FoInReservedBy = 0;
    int32_t FoOutReservedBy = 0;
    bool DfcmPresent = false;
    bool BpbmPresent = false;
    bool PcimPresent = false;
    // Static fiber-optic mode: the low four bits of the user setting "hex" (0: static mode in
    // force), whether the device can run it, and its variant (0 off).
    int32_t QwHexSwitch = 1;
    bool StaticFoCapable = false;
    int32_t QwHwMode = 0;
    // The static mode's configuration values, the modules of slots X1..X5 with their signal
    // ranges, and the bus address of each slot's block per signal type (-1: none).
    StaticFoConfig m_tStaticFo;
    bool m_bStaticFoNone = false;
    bool m_bFirstModuleSwitch = true;
    bool m_bLastModuleSwitch = false;
    // Copies the stored (or factory-default) file to the working copy, reads it and lays out
    // the frame; false when the mode cannot run.
    bool PrepareStaticFoConfiguration();
    // Bus-module device: the frame from the fiber-optic driver's stored output period, with the
    // positions of the EtherCAT module's inputs in it.
    void SelectBusModuleFrame();
    // Bus-module device: which signals of a fiber-optic request to the EtherCAT module travel;
    // in static mode those that fit into the frame (by their offsets in the module's data), in
    // normal mode those the requester asked for. Other requests stay as they are.
    void ApplyBusModuleEnables(DufRequest& request);
    // Loads the stored routing configuration and checks it again.
    bool ReloadRoutingConfiguration();
    void StartStaticFoWatcher();
    // Writes a factory-default file of the driver directory when it is missing.
    void WriteFactoryDefault(const std::string& name, const std::string& text);
    ModuleSignals aModuleSignals[DUF_STATIC_SLOTS];
    int32_t FoStartTable[DUF_STATIC_SLOTS][DUF_SIGNAL_TYPES];
    // Fiber-optic output events of the last programming (bit n: event n in use).
    uint32_t iFoOutEventMask = 0;
    // Next fiber-optic output event of the run in progress.
    int32_t iNextFoOutEvent = DUF_FIRST_FO_OUT_EVENT;
    // The units the run in progress programs (real ones, or the counting stand-in of a trial).
    CDufUnits* m_pUnits = nullptr;
    RoutingResources m_tLastResources;
    // Parsed module descriptions of the configuration request in hand, by file.
    struct SParsedDescription
    {
        std::string sContent;
        std::unique_ptr<CQTXXml> pDocument;
    };
    std::map<std::string, SParsedDescription> m_tDescriptions;
    CQTXXml m_tNoDescription; // stands for the document of a binary description
    // The inter-process memory pool is mapped on first use.
    bool m_bPoolMapped = false;
};

#endif
