// Allocators of one programming run: bus-master channels that read or write a module, a
// PCI-master channel between host memory and the PCI-master data memory, a synchronizer of the
// transfer unit that copies between the units' buffers, and pieces of the fiber-optic windows.
// Each hands out the next unit of its counter, programs it on the run's units and notes it in
// the request for the debug dump. Nothing is freed one by one: every run starts from zero.
// Numbers beyond a unit's range are counted but not programmed, so the run's check reports
// them as out of hardware.
#include "Dfcm.h"
#include "QTXDuf.h"

namespace
{
constexpr uint32_t kBpbmLocalMask = 0x3FFF;
constexpr uint32_t kPcimLocalMask = 0x7FFF;
// The PCI-master unit keeps the buffer count in 10 bits.
constexpr int32_t kPcimMaxBuffers = 1024;
constexpr uint8_t kNoPort = 255;

void SetBit(uint32_t& mask, int32_t bit)
{
    if (bit >= 0 && bit < 32)
        mask |= 1u << bit;
}
} // namespace

bool CDuf::AllocateBpbmChannels(DufRequest& r, RoutingResources& res, uint32_t& address,
                                uint8_t& event, bool wantEvent, bool toModule, uint8_t global,
                                uint8_t module, uint8_t system)
{
    if (res.BpbmChannels == -1)
    {
        res.MissingUnit = "bus-master";
        return false;
    }
    address = DUF_BPBM_DATA + static_cast<uint32_t>(res.BpbmData);
    uint32_t local = address;
    // The module event that the last transfer relays to the module it writes.
    uint8_t relay = kNoPort;
    if (toModule && r.Forward == nullptr)
        relay = static_cast<uint8_t>((((r.Partner - DUF_TARGET_MODULE_FIRST) * 4) |
                                      (r.StartModule & 3)) &
                                     15);
    int32_t channel = 0;
    for (size_t b = 0; b < r.Opponent.size(); ++b)
    {
        const DufOpponent& block = r.Opponent[b];
        channel = res.BpbmChannels++;
        const bool programmed = static_cast<uint32_t>(channel) < DUF_BPBM_UNITS;
        if (programmed)
            m_pUnits->BpbmAllocateChannel(
                static_cast<uint32_t>(channel), global, module, system, 1,
                static_cast<uint16_t>(local & kBpbmLocalMask), 0,
                block.Addr + (block.Transfers.front().OffsetOther & 0xFFFF0000u), block.Register,
                toModule ? 1 : 0);
        SetBit(r.BpbmChannelMask, channel);
        if (b == 0)
            r.BpbmStart = address;
        for (size_t t = 0; t < block.Transfers.size(); ++t)
        {
            const DufTransfer& transfer = block.Transfers[t];
            const bool moreInBlock = t + 1 < block.Transfers.size();
            const bool last = !moreInBlock && b + 1 == r.Opponent.size();
            const uint8_t channelEvent =
                last && wantEvent ? static_cast<uint8_t>(channel & 15) : kNoPort;
            if (programmed)
                m_pUnits->BpbmPrgTransfer(transfer.OffsetReq & 0xFFFF, transfer.OffsetOther & 0xFFFF,
                                          static_cast<uint32_t>(transfer.Len) & 0xFFFF,
                                          moreInBlock ? 1 : 0, 0, channelEvent,
                                          last ? relay : kNoPort);
            r.BpbmLen += transfer.Len;
            res.BpbmData += transfer.Len;
            local += static_cast<uint32_t>(transfer.Len);
        }
    }
    event = wantEvent ? static_cast<uint8_t>(DUF_BPBM_EVENT + channel) : 0;
    return true;
}

bool CDuf::AllocatePcimChannel(DufRequest& r, RoutingResources& res, uint32_t& address,
                               uint8_t& event, bool raiseEvent, bool toHost, uint8_t eventSource,
                               uint8_t selector)
{
    if (res.PcimChannels == -1)
    {
        res.MissingUnit = "PCI-master";
        return false;
    }
    if (r.PcimChannel < 0 || r.PcimChannel >= DUF_PCIM_CHANNELS)
        return false;
    // More buffers than the unit can count would be cut short without a word.
    if (r.PcimBufferCount < 1 || r.PcimBufferCount > kPcimMaxBuffers)
        return false;
    address = DUF_PCIM_DATA + static_cast<uint32_t>(res.PcimData);
    event = static_cast<uint8_t>(DUF_PCIM_EVENT + r.PcimChannel);
    res.PcimData += r.PcimBufferLength;
    m_pUnits->PcimAllocateChannel(
        static_cast<uint32_t>(r.PcimChannel), eventSource, selector, 1, raiseEvent ? 1 : 0,
        static_cast<uint16_t>(address & kPcimLocalMask),
        static_cast<uint16_t>(r.PcimBufferLength & 0xFFFF), r.PcimLogicalAddress,
        static_cast<uint32_t>(r.PcimBufferLength), static_cast<uint32_t>(r.PcimBufferCount),
        toHost ? 1 : 0, 0);
    SetBit(r.PcimChannelMask, r.PcimChannel);
    r.PcimStart = address;
    r.PcimLen = r.PcimBufferLength;
    return true;
}

bool CDuf::AllocateDfcmSynchronizer(DufRequest& r, RoutingResources& res, uint32_t source,
                                    uint32_t sourceRegister, uint8_t eventSource, uint8_t selector,
                                    uint32_t destination, uint32_t destinationRegister,
                                    uint8_t& event, bool chained)
{
    if (res.DfcmSynchronizers == -1)
    {
        res.MissingUnit = "synchronizer";
        return false;
    }
    // The copy's length has 16 bits; a longer one would be cut short without a word.
    if (r.DfcmLenIn < 0 || r.DfcmLenIn > 0xFFFF)
        return false;
    const uint16_t length = static_cast<uint16_t>(r.DfcmLenIn);
    const uint32_t* mask = nullptr;
    if (!r.CopyMask.empty())
    {
        // The mask must hold every word the unit reads for this length.
        if (r.CopyMask.size() * 4 < DfcmTransferBytes(length, 0, 0, 1) - DfcmTransferBytes(length, 0, 0, 0))
            return false;
        mask = r.CopyMask.data();
    }
    if (chained)
        event = static_cast<uint8_t>(res.DfcmSynchronizers + 1);
    else if (destinationRegister == DUF_FO_OUT_REGISTER)
    {
        event = static_cast<uint8_t>(iNextFoOutEvent++);
        r.FoEvent = event;
    }
    else
        event = 0;
    const int32_t synchronizer = res.DfcmSynchronizers++;
    SetBit(r.DfcmChannelMask, synchronizer);
    if (static_cast<uint32_t>(synchronizer) < DUF_DFCM_UNITS)
    {
        m_pUnits->DfcmAllocateSynchronizer(static_cast<uint32_t>(synchronizer), eventSource,
                                           selector, 1);
        m_pUnits->DfcmPrgTransfer(source, destination, length, sourceRegister,
                                  destinationRegister, mask, event);
    }
    return true;
}

bool CDuf::AllocateFoWindow(DufRequest& r, RoutingResources& res, bool output, int32_t length,
                            uint32_t& address)
{
    int32_t& counter = output ? res.FoOutData : res.FoInData;
    const uint32_t window = output ? DUF_FO_OUT_WINDOW : DUF_FO_IN_WINDOW;
    if (r.FoStart == 0)
    {
        r.ReqOffset = static_cast<uint32_t>(counter);
        r.FoStart = window + r.ReqOffset;
    }
    else
    {
        // A fixed position in the frame.
        r.ReqOffset = r.FoStart - window;
    }
    counter += length;
    r.FoLen = length;
    address = r.FoStart;
    return true;
}
