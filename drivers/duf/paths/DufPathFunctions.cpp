// Path functions: for each pair of source and destination kind, the chain of FPGA units that
// moves a request's data. Each stage starts on the event of the stage before it, so that one
// start event of the source runs the whole chain. Pairs without a function (fiber optic to
// fiber optic, memory to memory, ...) fail the run.
#include "QTXDuf.h"

namespace
{
constexpr uint32_t kBpbmLengthMask = 0x3FFF; // length field of a bus-master transfer

// The event that starts a request chained behind another: its predecessor's done event, or
// none (selector 7).
void PredecessorEvent(const DufRequest& r, uint8_t& event, uint8_t& selector)
{
    event = r.Backward != nullptr ? r.Backward->ForwardEvent : 0;
    selector = event != 0 ? 0 : DUF_NO_EVENT_SELECTOR;
}
} // namespace

CDuf::PathFunction CDuf::SetupPathFunction(int index)
{
    static const PathFunction aTable[DUF_PATH_KINDS * DUF_PATH_KINDS] = {
        // module ->
        &CDuf::SetupModuleToModule, &CDuf::SetupModuleToMemory, &CDuf::SetupModuleToFiberOptic,
        nullptr, &CDuf::SetupModuleToFpga, nullptr,
        // memory ->
        &CDuf::SetupMemoryToModule, nullptr, &CDuf::SetupMemoryToFiberOptic,
        &CDuf::SetupMemoryToLocalModule, nullptr, &CDuf::SetupMemoryToOther,
        // fiber optic ->
        &CDuf::SetupFiberOpticToModule, &CDuf::SetupFiberOpticToMemory, nullptr,
        &CDuf::SetupFiberOpticToLocalModule, nullptr, nullptr,
        // local module ->
        nullptr, &CDuf::SetupLocalModuleToMemory, &CDuf::SetupLocalModuleToFiberOptic, nullptr,
        nullptr, nullptr,
        // FPGA unit ->
        nullptr, nullptr, &CDuf::SetupFpgaToFiberOptic, nullptr, nullptr, &CDuf::SetupFpgaToOther,
        // other ->
        nullptr, &CDuf::SetupOtherToMemory, nullptr, nullptr, nullptr, nullptr};
    if (index < 0 || index >= DUF_PATH_KINDS * DUF_PATH_KINDS)
        return nullptr;
    return aTable[index];
}

bool CDuf::SetupModuleToModule(DufRequest& r, RoutingResources& res)
{
    // The source module's data go through the bus-master data memory: a reading channel, then a
    // writing channel that starts on the reading one's done event.
    if (res.BpbmChannels == -1)
        return false;
    const uint32_t buffer = DUF_BPBM_DATA + static_cast<uint32_t>(res.BpbmData);
    const int32_t channel = res.BpbmChannels;
    res.BpbmChannels += 2;
    const bool programmed = static_cast<uint32_t>(channel) + 1 < DUF_BPBM_UNITS;
    const DufOpponent& source = r.Opponent.front();
    if (programmed)
        m_pUnits->BpbmAllocateChannel(
            static_cast<uint32_t>(channel), r.StartGlobal, r.StartModule, r.StartSystem, 1,
            static_cast<uint16_t>(buffer & 0x3FFF), 0,
            source.Addr + (source.Transfers.front().OffsetOther & 0xFFFF0000u), source.Register,
            0);
    if (channel >= 0 && channel < 31)
        r.BpbmChannelMask |= 3u << channel;
    r.BpbmStart = buffer;
    r.BpbmLen = 0;
    for (size_t t = 0; t < source.Transfers.size(); ++t)
    {
        const DufTransfer& transfer = source.Transfers[t];
        if (programmed)
            m_pUnits->BpbmPrgTransfer(transfer.OffsetReq & 0xFFFF, transfer.OffsetOther & 0xFFFF,
                                      static_cast<uint32_t>(transfer.Len) & 0xFFFF,
                                      t + 1 < source.Transfers.size() ? 1 : 0, 0,
                                      static_cast<uint8_t>(channel & 15), 255);
        r.BpbmLen += transfer.Len;
        res.BpbmData += transfer.Len;
    }
    // One source block only.
    if (r.Opponent.size() > 1)
        return false;
    // The write to the target is one transfer of the whole length: a length its field cannot
    // hold is refused rather than cut short.
    if (r.BpbmLen < 0 || static_cast<uint32_t>(r.BpbmLen) > kBpbmLengthMask)
        return false;
    if (programmed)
    {
        m_pUnits->BpbmAllocateChannel(static_cast<uint32_t>(channel + 1),
                                      static_cast<uint8_t>(DUF_BPBM_EVENT + channel), 0, 0, 1,
                                      static_cast<uint16_t>(buffer & 0x3FFF), 0, r.M2MBase,
                                      r.M2MRegister, 1);
        m_pUnits->BpbmPrgTransfer(0, 0, static_cast<uint32_t>(r.BpbmLen), 0, 0, 255,
                                  static_cast<uint8_t>(r.M2MEvent & 15));
    }
    return true;
}

bool CDuf::SetupModuleToMemory(DufRequest& r, RoutingResources& res)
{
    const uint32_t host = DUF_PCIM_DATA + static_cast<uint32_t>(res.PcimData);
    uint32_t buffer = 0;
    uint8_t busEvent = 0;
    uint8_t copyEvent = 0;
    uint8_t pcimEvent = 0;
    uint32_t pcimBuffer = 0;
    return AllocateBpbmChannels(r, res, buffer, busEvent, true, false, r.StartGlobal,
                                r.StartModule, r.StartSystem) &&
           AllocateDfcmSynchronizer(r, res, buffer, 0, busEvent, 0, host, 0, copyEvent, true) &&
           AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, false, true, copyEvent, 0);
}

bool CDuf::SetupModuleToFiberOptic(DufRequest& r, RoutingResources& res)
{
    uint32_t window = 0;
    uint32_t buffer = 0;
    uint8_t busEvent = 0;
    uint8_t copyEvent = 0;
    return AllocateFoWindow(r, res, true, r.DfcmLenOut, window) &&
           AllocateBpbmChannels(r, res, buffer, busEvent, true, false, r.StartGlobal,
                                r.StartModule, r.StartSystem) &&
           AllocateDfcmSynchronizer(r, res, buffer, 0, busEvent, 0, window, DUF_FO_OUT_REGISTER,
                                    copyEvent, false);
}

bool CDuf::SetupModuleToFpga(DufRequest& r, RoutingResources& res)
{
    r.ReqOffset = static_cast<uint32_t>(res.CoProcessorData);
    const uint32_t destination = DUF_COPROCESSOR_IN + static_cast<uint32_t>(res.CoProcessorData);
    res.CoProcessorData += r.DfcmLenOut;
    uint32_t buffer = 0;
    uint8_t busEvent = 0;
    uint8_t copyEvent = 0;
    return AllocateBpbmChannels(r, res, buffer, busEvent, true, false, r.StartGlobal,
                                r.StartModule, r.StartSystem) &&
           AllocateDfcmSynchronizer(r, res, buffer, 0, busEvent, 0, destination, 0, copyEvent,
                                    false);
}

bool CDuf::SetupMemoryToModule(DufRequest& r, RoutingResources& res)
{
    const uint32_t bus = DUF_BPBM_DATA + static_cast<uint32_t>(res.BpbmData);
    uint8_t startEvent = 0;
    uint8_t selector = 0;
    PredecessorEvent(r, startEvent, selector);
    uint32_t pcimBuffer = 0;
    uint8_t pcimEvent = 0;
    uint8_t copyEvent = 0;
    uint32_t buffer = 0;
    uint8_t busEvent = 0;
    if (!AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, true, false, startEvent, selector) ||
        !AllocateDfcmSynchronizer(r, res, pcimBuffer, 0, pcimEvent, 0, bus, 0, copyEvent, true) ||
        !AllocateBpbmChannels(r, res, buffer, busEvent, true, true, copyEvent, 0, 0))
        return false;
    r.ForwardEvent = busEvent;
    return true;
}

bool CDuf::SetupMemoryToFiberOptic(DufRequest& r, RoutingResources& res)
{
    uint32_t window = 0;
    uint32_t pcimBuffer = 0;
    uint8_t pcimEvent = 0;
    uint8_t copyEvent = 0;
    return AllocateFoWindow(r, res, true, r.DfcmLenOut, window) &&
           AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, true, false, r.StartGlobal,
                               r.StartSystem) &&
           AllocateDfcmSynchronizer(r, res,
                                    pcimBuffer + r.Opponent.front().Transfers.front().OffsetOther,
                                    0, pcimEvent, 0, window, DUF_FO_OUT_REGISTER, copyEvent,
                                    false);
}

bool CDuf::SetupMemoryToLocalModule(DufRequest& r, RoutingResources& res)
{
    uint32_t pcimBuffer = 0;
    uint8_t pcimEvent = 0;
    uint8_t copyEvent = 0;
    return AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, true, false, 0,
                               DUF_NO_EVENT_SELECTOR) &&
           AllocateDfcmSynchronizer(r, res, pcimBuffer, 0, pcimEvent, 0, r.Opponent.front().Addr,
                                    0, copyEvent, false);
}

bool CDuf::SetupMemoryToOther(DufRequest& r, RoutingResources& res)
{
    if (r.Partner != DUF_NO_PARTNER)
        return false;
    uint32_t pcimBuffer = 0;
    uint8_t pcimEvent = 0;
    return AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, false, false, r.StartGlobal,
                               r.StartSystem);
}

bool CDuf::SetupFiberOpticToModule(DufRequest& r, RoutingResources& res)
{
    const uint32_t bus = DUF_BPBM_DATA + static_cast<uint32_t>(res.BpbmData);
    uint8_t startEvent = 0;
    uint8_t selector = 0;
    PredecessorEvent(r, startEvent, selector);
    uint32_t window = 0;
    uint8_t copyEvent = 0;
    uint32_t buffer = 0;
    uint8_t busEvent = 0;
    if (!AllocateFoWindow(r, res, false, r.DfcmLenIn, window) ||
        !AllocateDfcmSynchronizer(r, res, window, DUF_FO_IN_REGISTER, startEvent, selector, bus, 0,
                                  copyEvent, true) ||
        !AllocateBpbmChannels(r, res, buffer, busEvent, true, true, copyEvent, 0, 0))
        return false;
    r.ForwardEvent = busEvent;
    return true;
}

bool CDuf::SetupFiberOpticToMemory(DufRequest& r, RoutingResources& res)
{
    const uint32_t host = DUF_PCIM_DATA + static_cast<uint32_t>(res.PcimData);
    uint32_t window = 0;
    uint8_t copyEvent = 0;
    uint32_t pcimBuffer = 0;
    uint8_t pcimEvent = 0;
    return AllocateFoWindow(r, res, false, r.DfcmLenIn, window) &&
           AllocateDfcmSynchronizer(r, res, window, DUF_FO_IN_REGISTER, 0, DUF_NO_EVENT_SELECTOR,
                                    host, 0, copyEvent, true) &&
           AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, false, true, copyEvent, 0);
}

bool CDuf::SetupFiberOpticToLocalModule(DufRequest& r, RoutingResources& res)
{
    uint32_t window = 0;
    uint8_t copyEvent = 0;
    return AllocateFoWindow(r, res, false, r.DfcmLenIn, window) &&
           AllocateDfcmSynchronizer(r, res, window, DUF_FO_IN_REGISTER, 0, DUF_NO_EVENT_SELECTOR,
                                    r.Opponent.front().Addr, 0, copyEvent, true);
}

bool CDuf::SetupLocalModuleToMemory(DufRequest& r, RoutingResources& res)
{
    const uint32_t host = DUF_PCIM_DATA + static_cast<uint32_t>(res.PcimData);
    const DufOpponent& local = r.Opponent.front();
    uint8_t copyEvent = 0;
    uint32_t pcimBuffer = 0;
    uint8_t pcimEvent = 0;
    return AllocateDfcmSynchronizer(r, res, local.Addr, local.Register, r.StartGlobal,
                                    r.StartSystem, host, 0, copyEvent, true) &&
           AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, false, true, copyEvent, 0);
}

bool CDuf::SetupLocalModuleToFiberOptic(DufRequest& r, RoutingResources& res)
{
    const DufOpponent& local = r.Opponent.front();
    uint32_t window = 0;
    uint8_t copyEvent = 0;
    return AllocateFoWindow(r, res, true, r.DfcmLenOut, window) &&
           AllocateDfcmSynchronizer(r, res, local.Addr, local.Register, r.StartGlobal,
                                    r.StartSystem, window, DUF_FO_OUT_REGISTER, copyEvent, false);
}

bool CDuf::SetupFpgaToFiberOptic(DufRequest& r, RoutingResources& res)
{
    // The unit's output starts 4 bytes before its data: the copy takes 4 bytes more.
    const uint32_t source = DUF_COPROCESSOR_OUT + r.Opponent.front().Transfers.front().OffsetOther;
    r.DfcmLenIn += 4;
    uint32_t window = 0;
    uint8_t copyEvent = 0;
    const bool ok = AllocateFoWindow(r, res, true, r.DfcmLenOut, window) &&
                    AllocateDfcmSynchronizer(r, res, source, 0, r.StartGlobal, r.StartSystem,
                                             window, DUF_FO_OUT_REGISTER, copyEvent, false);
    r.DfcmLenIn -= 4;
    return ok;
}

bool CDuf::SetupFpgaToOther(DufRequest&, RoutingResources&)
{
    return true;
}

bool CDuf::SetupOtherToMemory(DufRequest& r, RoutingResources& res)
{
    if (r.Partner != DUF_NO_PARTNER)
        return false;
    uint32_t pcimBuffer = 0;
    uint8_t pcimEvent = 0;
    return AllocatePcimChannel(r, res, pcimBuffer, pcimEvent, false, true, r.StartGlobal,
                               r.StartSystem);
}
