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
// The routing resources, path functions and the programming of all paths get a folder of their
// own (paths/), as does the static fiber-optic mode (staticfo/).
//
// Threads: the framework's serving thread and start-up use everything here; nothing is shared
// with another thread yet.
#ifndef QTX_DUF_H
#define QTX_DUF_H

#include <cstdint>
#include <string>

#include "DufRequest.h"
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

    // ---- Request list
    CDufRequestList& Requests() { return tRequests; }

    // ---- Module address data
    // Completes the request with its partner's address data; throws CQTXError on failure.
    void ReadModuleDufData(DufRequest& request);
    // The bits of the needed module ports (bit n: port 62100 + n, n = 0..4) whose drivers the
    // system driver does not list; other bits pass unchanged.
    uint32_t UnavailableModules(uint32_t missMask);

    // The text of the "ShowPaths" debug command.
    std::string ShowPathsText() const;

    // Presence of the FPGA units, from the hardware family.
    bool IsDfcmPresent() const { return DfcmPresent; }
    bool IsBpbmPresent() const { return BpbmPresent; }
    bool IsPcimPresent() const { return PcimPresent; }
    uint32_t GetModuleEventSlotMask() const { return ModuleEventSlotMask; }

protected:
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

    // ---- Routing document (the request check)
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
    // Fiber-optic output events of the last programming (bit n: event n in use).
    uint32_t iFoOutEventMask = 0;
};

#endif
