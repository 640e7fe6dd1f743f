// Completion of a request per kind of partner: start events, direction, the copy-machine blocks
// with their bus addresses, the host buffers of a local application and the byte window of the
// partner's data. Module partners are described by their address description; local
// applications and the FPGA processing unit by the list they offer themselves (a record of
// theirs with the partner 65535); the fiber-optic link and partners without data get a window
// from 0.
#include "QTXDuf.h"

#include <algorithm>
#include <cstdint>

#include "QTXConvert.h"
#include "DufListProperties.h"
#include "QTXProduct.h"

namespace
{
constexpr uint32_t kNoOffsetRegister = 0xFFFFFFFF;
constexpr uint8_t kKindBusMaster = 1;
constexpr uint8_t kKindRange = 2;
constexpr uint8_t kCoProcessorSystemEvent = 7;

CQTXError Internal(const std::string& parameter, int line)
{
    return CQTXError("InternalError", parameter, "QTXDuf", line, Error, "GeneralError");
}

CQTXError WrongRequest(const std::string& text, const std::string& parameter, int line)
{
    return CQTXError(text, parameter, "QTXDuf", line, Error, "GeneralError");
}

// Moves the window to start at 0, covering what it covered.
void WidenToZero(uint32_t& start, int32_t& length)
{
    length += static_cast<int32_t>(start);
    start = 0;
}

// The window over the signals: from the lowest offset rounded down to 32 bits to the highest
// end rounded up, in bytes.
void SignalWindow(const std::vector<DufSignal>& signals, uint32_t& start, int32_t& length)
{
    if (signals.empty())
    {
        start = 0;
        length = 0;
        return;
    }
    int64_t lowest = 0x20000000;
    int64_t highest = 0;
    for (const DufSignal& s : signals)
    {
        lowest = std::min<int64_t>(lowest, s.Offset);
        highest = std::max<int64_t>(highest, int64_t{s.Offset} + s.Length);
    }
    lowest = std::max<int64_t>(lowest, 0);
    start = static_cast<uint32_t>((lowest / 32) * 4);
    length = static_cast<int32_t>(((highest + 31) / 32) * 4 - start);
}
} // namespace

void CDuf::UpdateRequestForExternalModule(DufRequest& r, uint32_t& start, int32_t& length,
                                          CQTXXml* xml, const QTXForDufList* binary)
{
    QTX_FUNCTION_LOG();
    if (!BpbmPresent)
    {
        WidenToZero(start, length);
        return;
    }
    const uint32_t k = static_cast<uint32_t>(r.Partner) - DUF_TARGET_MODULE_FIRST;

    uint32_t baseAddress = 0;
    uint32_t offsetPerSlot = 0;
    uint8_t globalEvent = 0;
    uint8_t systemEvent = 0;
    uint8_t moduleEvent = 0;
    // Blocks as the module describes them: offset register (0xFFFFFFFF none) and transfers.
    std::vector<QTXForDufBusMaster> blocks;
    if (binary != nullptr)
    {
        if (binary->uKind != kKindBusMaster || !binary->bAddressPart)
            throw Internal("Wrong binary ForDuf content", __LINE__);
        r.Direction = binary->uDirection == 0 ? 1 : 0;
        baseAddress = binary->uBaseAddress;
        offsetPerSlot = binary->uOffsetPerSlot;
        globalEvent = binary->uGlobalEvent;
        systemEvent = binary->uSystemEvent;
        moduleEvent = binary->uModuleEvent;
        blocks = binary->vBusMasters;
    }
    else if (xml != nullptr)
    {
        CDufListProperties list(*xml, r.Name);
        baseAddress = static_cast<uint32_t>(list.Required("BaseAddress", __LINE__));
        offsetPerSlot = static_cast<uint32_t>(list.Required("OffsetPerSlot", __LINE__));
        globalEvent = list.Optional("GlobalEvent");
        systemEvent = list.Optional("SystemEvent");
        moduleEvent = list.Optional("ModuleEvent");
        list.Direction(r.Direction, __LINE__);
        const int32_t count = list.Required("NumberOfBpbm", __LINE__);
        for (int32_t i = 0; i < count; ++i)
        {
            const std::string bpbm = "Bpbm" + std::to_string(i);
            QTXForDufBusMaster block;
            int32_t offsetRegister = 0;
            if (!list.Read(bpbm + "OffsetRegister", offsetRegister))
                throw WrongAnswer("Can not read Bpbm#OffsetRegister", __LINE__);
            block.uOffsetRegister =
                offsetRegister < 0 ? kNoOffsetRegister : static_cast<uint32_t>(offsetRegister);
            int32_t transfers = 0;
            if (!list.Read(bpbm + "NumberOfTransfers", transfers))
                throw WrongAnswer("Can not read Bpbm#NumberOfTransfers", __LINE__);
            for (int32_t j = 0; j < transfers; ++j)
            {
                const std::string transfer = bpbm + "t" + std::to_string(j);
                int32_t source = 0;
                int32_t destination = 0;
                int32_t transferLength = 0;
                if (!list.Read(transfer + "SourceAddress", source))
                    throw WrongAnswer("Can not read Bpbm#T#SourceAddress", __LINE__);
                if (!list.Read(transfer + "DestinationAddress", destination))
                    throw WrongAnswer("Can not read Bpbm#T#DestinationAddress", __LINE__);
                if (!list.Read(transfer + "Length", transferLength))
                    throw WrongAnswer("Can not read Bpbm#T#Length", __LINE__);
                block.vTransfers.push_back({static_cast<uint32_t>(source),
                                            static_cast<uint32_t>(destination),
                                            static_cast<uint32_t>(transferLength)});
            }
            blocks.push_back(block);
        }
    }
    else
    {
        throw Internal("Neither XML nor binary format available", __LINE__);
    }

    const uint32_t slotBase = baseAddress + offsetPerSlot * k;
    r.StartGlobal = globalEvent;
    r.StartSystem = systemEvent;
    if (moduleEvent == 10)
        r.StartModule = static_cast<uint8_t>(k * 4);
    else if (moduleEvent >= 20 && moduleEvent <= 23)
    {
        r.StartModule = static_cast<uint8_t>(k * 4 + (moduleEvent - 20));
        ModuleEventSlotMask |= 1u << (k & 31);
    }
    else
        r.StartModule = 0;

    if (!blocks.empty())
    {
        r.Opponent.clear();
        for (const QTXForDufBusMaster& described : blocks)
        {
            DufOpponent block;
            block.Addr = slotBase;
            block.Register = described.uOffsetRegister == kNoOffsetRegister
                                 ? 0
                                 : described.uOffsetRegister + slotBase;
            if (!described.vTransfers.empty())
                block.Transfers.clear();
            for (const QTXForDufTransfer& t : described.vTransfers)
            {
                DufTransfer transfer;
                transfer.OffsetOther = t.uSource;
                transfer.OffsetReq = t.uDestination;
                transfer.Len = static_cast<int32_t>(t.uLength);
                if (r.Direction != 1)
                    std::swap(transfer.OffsetOther, transfer.OffsetReq);
                block.Transfers.push_back(transfer);
            }
            r.Opponent.push_back(block);
        }
    }

    if (blocks.size() == 1)
    {
        // Only the requested part of the module's data is moved.
        DufTransfer& first = r.Opponent.front().Transfers.front();
        first.OffsetOther += start;
        first.Len = length;
    }
    else
    {
        WidenToZero(start, length);
    }
}

void CDuf::UpdateRequestForInternalModule(DufRequest& r, uint32_t& start, int32_t& length,
                                          CQTXXml* xml, const QTXForDufList* binary)
{
    QTX_FUNCTION_LOG();
    if (!DfcmPresent && GetHWFamily() != QTX_HW_FAMILY_DAQ)
    {
        WidenToZero(start, length);
        return;
    }
    uint32_t baseAddress = 0;
    if (binary != nullptr)
    {
        if (binary->uKind != kKindRange || !binary->bAddressPart)
            throw Internal("Wrong binary ForDuf content", __LINE__);
        baseAddress = binary->uBaseAddress;
        r.StartGlobal = binary->uGlobalEvent;
        r.StartSystem = binary->uSystemEvent;
    }
    else if (xml != nullptr)
    {
        CDufListProperties list(*xml, r.Name);
        baseAddress = static_cast<uint32_t>(list.Required("BaseAddress", __LINE__));
        r.StartGlobal = list.Optional("GlobalEvent");
        r.StartSystem = list.Optional("SystemEvent");
        list.Direction(r.Direction, __LINE__);
    }
    else
    {
        throw Internal("Neither XML nor binary format available", __LINE__);
    }
    r.StartModule = 0;
    r.Opponent.assign(1, DufOpponent());
    DufOpponent& block = r.Opponent.front();
    block.Addr = start + baseAddress;
    block.Register = 0;
    block.Transfers.front().Len = length;
}

DufRequest& CDuf::TakeOfferedList(const DufRequest& r, uint16_t offerer)
{
    // The first list of the offerer without a partner whose name is the request's (an empty
    // name is a name too here, not "any").
    DufRequest* offered = nullptr;
    for (DufRequest& candidate : tRequests.Records())
        if (candidate.Requester == offerer && candidate.Partner == DUF_NO_PARTNER &&
            SameString(candidate.Name, r.Name))
        {
            offered = &candidate;
            break;
        }
    if (offered == nullptr)
        throw WrongRequest("WrongRequest ",
                           "Signal list of the wanted software module is not available", __LINE__);
    if (!offered->Valid)
        throw WrongRequest("WrongRequest",
                           "Software module signal list is used by more than one requester",
                           __LINE__);
    return *offered;
}

// Takes the signals of the offered list into the request and works out the window.
static void TakeOfferedSignals(DufRequest& r, DufRequest& offered, uint32_t& start, int32_t& length)
{
    for (DufSignal& s : r.Signals)
    {
        const auto found = std::find_if(offered.Signals.begin(), offered.Signals.end(),
                                        [&s](const DufSignal& o) { return o.Number == s.Number; });
        if (found == offered.Signals.end())
            throw WrongRequest("WrongRequest",
                               "Signal of the wanted software module is not available", __LINE__);
        s.Length = found->Length;
        s.Offset = found->Offset;
        s.Type = found->Type;
    }
    offered.Valid = 0;
    r.Valid = 1;
    SignalWindow(r.Signals, start, length);
    r.Opponent.front().Transfers.front().OffsetOther = start;
    r.Opponent.front().Transfers.front().Len = length;
}

void CDuf::UpdateRequestForSoftwareModule(DufRequest& r, uint32_t& start, int32_t& length)
{
    QTX_FUNCTION_LOG();
    if (!PcimPresent)
    {
        // Without the PCI-master unit no window was set up for this partner kind.
        start = 0;
        length = 0;
        return;
    }
    DufRequest& offered = TakeOfferedList(r, r.Partner);
    TakeOfferedSignals(r, offered, start, length);
    r.PcimHandle = offered.PcimHandle;
    r.PcimLogicalAddress = offered.PcimLogicalAddress;
    r.PcimBufferCount = offered.PcimBufferCount;
    r.PcimChannel = offered.PcimChannel;
    r.StartGlobal = offered.StartGlobal;
    r.StartSystem = offered.StartSystem;
    r.StartModule = offered.StartModule;
    r.Direction = offered.Direction;
}

void CDuf::UpdateRequestForCoProcessor(DufRequest& r, uint32_t& start, int32_t& length)
{
    QTX_FUNCTION_LOG();
    DufRequest& offered = TakeOfferedList(r, DUF_COPROCESSOR_PORT);
    TakeOfferedSignals(r, offered, start, length);
    r.StartGlobal = 0;
    r.StartSystem = kCoProcessorSystemEvent;
    r.StartModule = 0;
    r.Direction = 1;
}

void CDuf::UpdateRequestForTargetFoAndDummy(DufRequest& r, uint32_t& start, int32_t& length)
{
    QTX_FUNCTION_LOG();
    int64_t end = 0;
    for (const DufSignal& s : r.Signals)
        end = std::max<int64_t>(end, int64_t{s.Offset} + s.Length);
    start = 0;
    length = static_cast<int32_t>(((end + 31) / 32) * 4);
    r.PcimBufferLength = length;
    r.StartSystem = kCoProcessorSystemEvent;
    if (r.Partner == DUF_NO_PARTNER)
        r.Direction = r.Direction ? 0 : 1;
}
