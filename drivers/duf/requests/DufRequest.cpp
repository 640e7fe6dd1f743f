// The request list of the signal-routing driver: look-up, adding and removing of records, their
// signals, and the dump of a record for the log file.
#include "DufRequest.h"

#include <cstdint>
#include <memory>

#include "QTX.h"
#include "QTXConvert.h"

namespace
{
// "0x" and eight upper-case hexadecimal digits.
std::string Hex(uint32_t value)
{
    return IntToString(static_cast<int32_t>(value), 16, 8);
}

std::string Hex(const void* pointer)
{
    return Hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)));
}

std::string Bits(uint32_t value, int digits)
{
    return IntToString(static_cast<int32_t>(value), 2, digits);
}

std::string Dec(int64_t value)
{
    return std::to_string(value);
}

char Flag(uint8_t value)
{
    return value != 0 ? '+' : '-';
}

// The Starting/Ending lines of a list operation, when the list has a driver to log to.
std::unique_ptr<CQTXFunctionLog> LogScope(CQTX* driver, const char* name)
{
    if (driver == nullptr)
        return nullptr;
    return std::make_unique<CQTXFunctionLog>(*driver, name);
}
} // namespace

bool CDufRequestList::Matches(const DufRequest& request, uint16_t requester, uint16_t partner,
                              const std::string& name)
{
    return (requester == 0 || request.Requester == requester) &&
           (partner == 0 || request.Partner == partner) &&
           (name.empty() || SameString(request.Name, name));
}

DufRequest* CDufRequestList::FindDufRequest(CDufRequestCursor& cursor, uint16_t requester,
                                            uint16_t partner, const std::string& name, bool first)
{
    if (first || !cursor.bStarted)
    {
        cursor.tNext = m_lRequests.begin();
        cursor.bStarted = true;
    }
    for (; cursor.tNext != m_lRequests.end(); ++cursor.tNext)
    {
        if (Matches(*cursor.tNext, requester, partner, name))
        {
            DufRequest* found = &*cursor.tNext;
            ++cursor.tNext;
            return found;
        }
    }
    return nullptr;
}

DufRequest* CDufRequestList::FindFirstDufRequest(uint16_t requester, uint16_t partner,
                                                 const std::string& name)
{
    CDufRequestCursor cursor;
    return FindDufRequest(cursor, requester, partner, name, true);
}

void CDufRequestList::FreePcimChannel(DufRequest& request)
{
    if (request.PcimChannel < 0 || !IsApplicationPort(request.Requester))
        return;
    // Only the record's own entry is freed: a channel number that another record holds now
    // stays with that record.
    if (request.PcimChannel < DUF_PCIM_CHANNELS &&
        aPcimChannelAllocatedBy[request.PcimChannel] == &request)
        aPcimChannelAllocatedBy[request.PcimChannel] = nullptr;
    request.PcimChannel = -1;
}

void CDufRequestList::ReleaseBuffers(DufRequest& request)
{
    if (request.PcimOwnHandle >= 0 && fReleaseBuffers)
        fReleaseBuffers(request.PcimOwnHandle);
    request.PcimOwnHandle = -1;
}

void CDufRequestList::AddDufRequest(const DufRequest& request)
{
    const auto log = LogScope(m_pLog, "AddDufRequest");
    DufRequest* found = FindFirstDufRequest(request.Requester, request.Partner, request.Name);
    if (found == nullptr)
    {
        m_lRequests.push_back(request);
        // A copy never holds the original's links or channel: those belong to the original.
        DufRequest& added = m_lRequests.back();
        added.Forward = nullptr;
        added.Backward = nullptr;
        added.SignalCursor = 0;
        return;
    }
    found->PcimHandle = -1;
    ReleaseBuffers(*found);
    FreePcimChannel(*found);
    found->Signals = request.Signals;
    found->SignalCursor = 0;
}

int CDufRequestList::RemoveDufRequest(uint16_t requester, uint16_t partner, const std::string& name)
{
    const auto log = LogScope(m_pLog, "RemoveDufRequest");
    int removed = 0;
    for (auto it = m_lRequests.begin(); it != m_lRequests.end();)
    {
        if (!Matches(*it, requester, partner, name))
        {
            ++it;
            continue;
        }
        DufRequest* gone = &*it;
        ReleaseBuffers(*gone);
        FreePcimChannel(*gone);
        // No record keeps a link to the one that goes, and no channel stays held by it.
        for (DufRequest& other : m_lRequests)
        {
            if (other.Forward == gone)
                other.Forward = nullptr;
            if (other.Backward == gone)
                other.Backward = nullptr;
        }
        for (DufRequest*& holder : aPcimChannelAllocatedBy)
            if (holder == gone)
                holder = nullptr;
        it = m_lRequests.erase(it);
        ++removed;
    }
    return removed;
}

void CDufRequestList::AddSignal(DufRequest* request, int32_t number, int32_t length, int32_t offset,
                                const std::string& type)
{
    if (request == nullptr)
        return;
    DufSignal* signal = FindSignal(request, number);
    if (signal == nullptr)
    {
        request->Signals.emplace_back();
        signal = &request->Signals.back();
        signal->Number = number;
    }
    signal->Length = length;
    signal->Offset = offset;
    signal->Type = type;
    signal->Enable = 1;
    signal->NormalEnable = 1;
    signal->StaticEnable = 1;
}

DufSignal* CDufRequestList::FindSignal(DufRequest* request, int32_t number)
{
    if (request == nullptr)
        return nullptr;
    for (DufSignal& signal : request->Signals)
        if (signal.Number == number && signal.Enable != 0)
            return &signal;
    return nullptr;
}

DufSignal* CDufRequestList::NextEnabledSignal(DufRequest* request, bool first)
{
    if (request == nullptr)
        return nullptr;
    if (first)
        request->SignalCursor = 0;
    while (request->SignalCursor < request->Signals.size())
    {
        DufSignal& signal = request->Signals[request->SignalCursor++];
        if (signal.Enable != 0)
            return &signal;
    }
    return nullptr;
}

std::string CDufRequestList::DebugRequestText(const DufRequest& r, const std::string& title)
{
    std::string text = title + ": request " + Hex(&r) + " is " + (r.Valid ? "valid" : "INVALID") +
                       ", Requester is " + Dec(r.Requester) +
                       (r.Direction ? ", receiving from " : ", transmitting to ") + Dec(r.Partner) +
                       "(" + r.Name + ")\n   Signals:";
    for (const DufSignal& s : r.Signals)
        text += " [" + Dec(s.Number) + "] Start=" + Dec(s.Offset) + " Len=" + Dec(s.Length) +
                " Type=" + s.Type + " Enable=" + Flag(s.Enable) + Flag(s.NormalEnable) +
                Flag(s.StaticEnable);
    text += "\n   PCIMasterData: Handle=" + Dec(r.PcimHandle) +
            " Log.Addr.=" + Hex(r.PcimLogicalAddress) + " NoOfBuf=" + Dec(r.PcimBufferCount) +
            " SingleBufLen=" + Dec(r.PcimBufferLength) + " PCIMChannel=" + Dec(r.PcimChannel);
    text += "\n   Module2Module: Base=" + Hex(r.M2MBase) + " Register=" + Hex(r.M2MRegister) +
            " Event=" + Dec(r.M2MEvent);
    const DufOpponent& block = r.Opponent.front();
    const DufTransfer& transfer = block.Transfers.front();
    const void* nextBlock = r.Opponent.size() > 1 ? &r.Opponent[1] : nullptr;
    const void* nextTransfer = block.Transfers.size() > 1 ? &block.Transfers[1] : nullptr;
    text += "\n   CopyMachine: OpponentSettings={Next=" + Hex(nextBlock) +
            " Addr=" + Hex(block.Addr) + " Register=" + Hex(block.Register) +
            " Transfer = [Next=" + Hex(nextTransfer) + " OffsetReq.=" + Hex(transfer.OffsetReq) +
            " OffsetOther=" + Hex(transfer.OffsetOther) + " Len=" + Dec(transfer.Len) +
            "] } Req.Offset=" + Hex(r.ReqOffset) + " Start=[Global=" + Dec(r.StartGlobal) +
            " Module=" + Dec(r.StartModule) + " System=" + Dec(r.StartSystem) +
            "] CopyMaskPtr=" + Hex(r.CopyMask.empty() ? nullptr : r.CopyMask.data()) +
            " DfcmLen=[In=" + Dec(r.DfcmLenIn) + " Out=" + Dec(r.DfcmLenOut) + "]";
    text += "\n   Request chaining: Forward=" + Hex(r.Forward) + " Backward=" + Hex(r.Backward) +
            " ForwardEvent=" + Dec(r.ForwardEvent);
    text += "\n   Debug info: BPBM=[Start=" + Hex(r.BpbmStart) + " Len=" + Dec(r.BpbmLen) +
            " ChannelMask=" + Bits(r.BpbmChannelMask, 16) +
            "] DFCM=[ChannelMask=" + Bits(r.DfcmChannelMask, 32) +
            "] PCIM=[Start=" + Hex(r.PcimStart) + " Len=" + Dec(r.PcimLen) +
            " ChannelMask=" + Bits(r.PcimChannelMask, 16) + "] FO=[Start=" + Hex(r.FoStart) +
            " Len=" + Dec(r.FoLen) + " ChannelMask=" + Dec(r.FoEvent);
    return text;
}
