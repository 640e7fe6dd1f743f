// The signal-routing driver's store of accepted routing requests. One DufRequest stands for one
// signal list of one request document: who asks (the requester), with whom it exchanges data
// (the partner), in which direction, which signals, and what the later steps attach to it (host
// buffers and channel, module-to-module target, copy-machine blocks, chaining, fiber-optic
// window, the masks shown by the debug commands).
//
// CDufRequestList keeps the records in insertion order. Records live in a std::list, so a
// reference to one stays good until that record is removed; removing a record also clears every
// Forward/Backward link and PCI-master channel entry that pointed at it. Look-ups that walk the
// list carry their own cursor (CDufRequestCursor), so two walks may be nested.
//
// Used only by the thread that serves requests (and by start-up before serving begins).
#ifndef DUF_REQUEST_H
#define DUF_REQUEST_H

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <vector>

class CQTX;

// Ports of the requesters and partners.
constexpr uint16_t DUF_FO_PORT = 62002;
constexpr uint16_t DUF_MODULE_PORT_FIRST = 62100; // the local module
constexpr uint16_t DUF_MODULE_PORT_LAST = 62199;
constexpr uint16_t DUF_TARGET_MODULE_FIRST = 62101;
constexpr uint16_t DUF_TARGET_MODULE_LAST = 62104;
constexpr uint16_t DUF_APPLICATION_FIRST = 62201;
constexpr uint16_t DUF_APPLICATION_LAST = 62204;
constexpr uint16_t DUF_SOFTWARE_FIRST = 62200;
constexpr uint16_t DUF_SOFTWARE_LAST = 62299;
constexpr uint16_t DUF_DUMMY_PORT = 62300;
constexpr uint16_t DUF_COPROCESSOR_PORT = 62301;
constexpr uint16_t DUF_NO_PARTNER = 65535;
// PCI-master channels.
constexpr int DUF_PCIM_CHANNELS = 16;

struct DufSignal
{
    int32_t Number = 0;
    int32_t Offset = 0; // bits
    int32_t Length = 0; // bits
    std::string Type;   // name in aVraTypeItems; empty: none
    uint8_t Enable = 0;
    uint8_t NormalEnable = 0;
    uint8_t StaticEnable = 0;
};

// One transfer of a copy-machine block: offsets in the partner's and in the requester's data.
struct DufTransfer
{
    uint32_t OffsetOther = 0;
    uint32_t OffsetReq = 0;
    int32_t Len = 0;
};

// One copy-machine block of a module partner: its bus address, its offset register (0: none)
// and its transfers. A record always holds at least one block with one transfer.
struct DufOpponent
{
    uint32_t Addr = 0;
    uint32_t Register = 0;
    std::vector<DufTransfer> Transfers = std::vector<DufTransfer>(1);
};

struct DufRequest
{
    uint8_t Valid = 0;
    uint16_t Requester = 0;
    uint16_t Partner = 0;
    uint8_t Direction = 0; // 1: the requester receives from the partner; 0: it transmits
    std::string Name;
    std::vector<DufSignal> Signals;
    size_t SignalCursor = 0; // next position of NextEnabledSignal
    int32_t PcimHandle = -1;
    uint32_t PcimLogicalAddress = 0;
    int32_t PcimBufferCount = 0;
    int32_t PcimBufferLength = 0;
    int32_t PcimChannel = -1;
    // The host buffers this record holds itself (given back when it is replaced or removed);
    // PcimHandle may be a copy of another record's.
    int32_t PcimOwnHandle = -1;
    uint32_t M2MBase = 0;
    uint32_t M2MRegister = 0;
    uint8_t M2MEvent = 0;
    std::vector<DufOpponent> Opponent = std::vector<DufOpponent>(1);
    uint32_t ReqOffset = 0; // bytes, in the fiber-optic or coprocessor window
    uint8_t StartGlobal = 0;
    uint8_t StartModule = 0;
    uint8_t StartSystem = 0;
    std::vector<uint32_t> CopyMask; // empty: none
    int32_t DfcmLenIn = 0;
    int32_t DfcmLenOut = 0;
    DufRequest* Forward = nullptr;
    DufRequest* Backward = nullptr;
    uint8_t ForwardEvent = 0;
    uint32_t BpbmChannelMask = 0;
    uint32_t PcimChannelMask = 0;
    uint32_t DfcmChannelMask = 0;
    uint32_t BpbmStart = 0;
    uint32_t PcimStart = 0;
    uint32_t FoStart = 0;
    int32_t BpbmLen = 0;
    int32_t PcimLen = 0;
    int32_t FoLen = 0;
    uint8_t FoEvent = 0;
};

// Position of one walk over the list; each walk has its own.
struct CDufRequestCursor
{
    std::list<DufRequest>::iterator tNext;
    bool bStarted = false;
};

class CDufRequestList
{
public:
    // Where the Starting/Ending lines of the list operations go; may be null (no log).
    explicit CDufRequestList(CQTX* log = nullptr) : m_pLog(log) {}

    // Requester and partner 0 match any port, an empty name any name (else compared without
    // regard to case, whole text). With first the walk starts at the head, else after the
    // record this cursor returned last.
    DufRequest* FindDufRequest(CDufRequestCursor& cursor, uint16_t requester, uint16_t partner,
                               const std::string& name, bool first);
    // The first matching record, or null.
    DufRequest* FindFirstDufRequest(uint16_t requester, uint16_t partner, const std::string& name);
    // Appends a copy of the request, or, when a record with the same requester, partner and name
    // exists, gives that record the request's signals (and frees its host buffer and channel).
    void AddDufRequest(const DufRequest& request);
    // Removes every matching record; the number removed.
    int RemoveDufRequest(uint16_t requester, uint16_t partner, const std::string& name);

    // Overwrites the enabled signal of that number, or appends a new one; enabled either way.
    static void AddSignal(DufRequest* request, int32_t number, int32_t length, int32_t offset,
                          const std::string& type);
    // The first enabled signal of that number, or null.
    static DufSignal* FindSignal(DufRequest* request, int32_t number);
    // The first (first set) or next enabled signal, or null at the end.
    static DufSignal* NextEnabledSignal(DufRequest* request, bool first);
    // The dump of one record for the log file.
    static std::string DebugRequestText(const DufRequest& request, const std::string& title);

    std::list<DufRequest>& Records() { return m_lRequests; }
    const std::list<DufRequest>& Records() const { return m_lRequests; }
    // The record holding each PCI-master channel, or null.
    DufRequest* aPcimChannelAllocatedBy[DUF_PCIM_CHANNELS] = {};
    // Gives back the host buffers of a handle; called for a record's own buffers when it is
    // replaced or removed.
    std::function<void(int32_t)> fReleaseBuffers;

private:
    static bool Matches(const DufRequest& request, uint16_t requester, uint16_t partner,
                        const std::string& name);
    void FreePcimChannel(DufRequest& request);
    void ReleaseBuffers(DufRequest& request);

    CQTX* m_pLog;
    std::list<DufRequest> m_lRequests;
};

// Ports of a local application.
inline bool IsApplicationPort(uint32_t port)
{
    return port >= DUF_APPLICATION_FIRST && port <= DUF_APPLICATION_LAST;
}

#endif
