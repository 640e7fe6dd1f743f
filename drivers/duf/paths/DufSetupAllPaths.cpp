// Programming all paths: the one place where the routing driver programs the FPGA. A run
// initialises the units, chains the output requests, builds the path of every valid request in
// list order and checks the counters against the units' limits; a configuration run then
// enables the channels and synchronizers and writes the fiber-optic output event mask.
//
// The request check runs a trial first to learn whether a new set of requests fits. The trial
// runs on CDufCountingUnits: it counts exactly as the configuration run does but writes no
// register, so the paths that are running stay as they are whatever the trial finds.
#include "Bpbm.h"
#include "Dfcm.h"
#include "FpgaPlatform.h"
#include "Pcim.h"
#include "QTXConvert.h"
#include "QTXDuf.h"
#include "QTXProduct.h"

namespace
{
// Limits {data, list pointer, units} of the units' triples.
const int32_t aBpbmLimit[3] = {13311, 0x160BFF, 15};
const int32_t aPcimLimit[3] = {16127, 0, 15};
const int32_t aDfcmLimit[3] = {0, 0x100FFF, 31};

// The fiber-optic output window is cleared in four blocks.
constexpr int kFoOutClearBlocks = 4;
constexpr uint32_t kFoOutClearWords = 1023;
constexpr uint32_t kFoOutClearStride = 0xFFC;

bool EndsInOut(const std::string& name)
{
    return name.size() >= 3 && SameString(name.substr(name.size() - 3), "Out");
}

bool IsChainedOutput(const DufRequest& r)
{
    return r.Valid && r.Direction != 1 && EndsInOut(r.Name);
}
} // namespace

bool CDuf::ConnectRequests()
{
    QTX_FUNCTION_LOG();
    std::list<DufRequest>& records = tRequests.Records();
    // Links of requests that are gone, or no longer chained, never remain.
    for (DufRequest& r : records)
        r.Forward = r.Backward = nullptr;
    for (auto it = records.begin(); it != records.end(); ++it)
    {
        DufRequest& r = *it;
        r.ForwardEvent = 0;
        if (!IsChainedOutput(r))
            continue;
        for (auto next = std::next(it); next != records.end(); ++next)
        {
            if (IsChainedOutput(*next) && next->Partner == r.Partner &&
                next->Requester == r.Requester)
            {
                r.Forward = &*next;
                next->Backward = &r;
                break;
            }
        }
    }
    return true;
}

std::unique_ptr<CDufUnits> CDuf::MakeUnits(bool configurationRun)
{
    if (configurationRun)
        return std::make_unique<CDufHardwareUnits>();
    return std::make_unique<CDufCountingUnits>();
}

bool CDuf::SetupAllPaths(bool configurationRun)
{
    QTX_FUNCTION_LOG();
    RoutingResources res;
    const std::unique_ptr<CDufUnits> runUnits = MakeUnits(configurationRun);
    CDufUnits& units = *runUnits;
    m_pUnits = &units;
    struct CReset
    {
        CDufUnits*& units;
        ~CReset() { units = nullptr; }
    } reset{m_pUnits};

    ConnectRequests();

    if (!DfcmPresent)
    {
        // Without the transfer unit only the data-acquisition family has paths to program.
        if (GetHWFamily() != QTX_HW_FAMILY_DAQ)
            return true;
        // Paths that need the transfer unit fail instead of being taken without it.
        res.DfcmSynchronizers = -1;
    }
    else
        units.DfcmInit(0, 1);
    if (BpbmPresent)
        units.BpbmInit(0, static_cast<uint8_t>(ModuleEventSlotMask & 0xFF), 1);
    else
        res.BpbmChannels = -1;
    if (PcimPresent)
        units.PcimInit(0, 16);
    else
        res.PcimChannels = -1;

    iNextFoOutEvent = DUF_FIRST_FO_OUT_EVENT;
    if (BpbmPresent)
        units.BpbmSetConfigPointer(Fpga + DUF_BPBM_LIST);
    if (DfcmPresent)
        units.DfcmSetConfigPointer(Fpga + DUF_DFCM_LIST);

    const char* before = configurationRun ? " config run before setup" : " simulation run before setup";
    const char* after = configurationRun ? " config run after setup" : " simulation run after setup";
    for (DufRequest& r : tRequests.Records())
    {
        r.DfcmChannelMask = 0;
        r.FoStart = 0;
        r.FoLen = 0;
        r.BpbmChannelMask = 0;
        r.BpbmStart = 0;
        r.BpbmLen = 0;
        r.PcimChannelMask = 0;
        r.PcimStart = 0;
        r.PcimLen = 0;
        r.FoEvent = 0;
        // The static fiber-optic mode fixes the frame positions of its requests.
        UpdateRequest4FoPosition(r);
        WriteToLogfile(CDufRequestList::DebugRequestText(r, before));
        if (r.Valid)
        {
            const int index = GetPathKind(r.Requester, r.Direction) +
                              GetPathKind(r.Partner, r.Direction ^ 1u);
            const PathFunction function = SetupPathFunction(index);
            if (function == nullptr || !(this->*function)(r, res))
            {
                WriteToLogfile("DUF SetupPathFunction[" + std::to_string(index) +
                               "] returned an error");
                m_tLastResources = res;
                return false;
            }
        }
        WriteToLogfile(CDufRequestList::DebugRequestText(r, after));
    }

    int32_t bpbm[3] = {res.BpbmData, res.BpbmListEnd, res.BpbmChannels};
    int32_t pcim[3] = {res.PcimData, res.PcimListEnd, res.PcimChannels};
    int32_t dfcm[3] = {res.DfcmData, res.DfcmListEnd, res.DfcmSynchronizers};
    const bool fits = CheckResourceUsage(bpbm, aBpbmLimit, units.BpbmReadConfigPointer()) &&
                      CheckResourceUsage(pcim, aPcimLimit, 0) &&
                      CheckResourceUsage(dfcm, aDfcmLimit, units.DfcmReadConfigPointer()) &&
                      res.FoInData <= DUF_FO_IN_LIMIT && res.FoOutData <= DUF_FO_OUT_LIMIT &&
                      res.CoProcessorData <= DUF_COPROCESSOR_LIMIT &&
                      iNextFoOutEvent <= DUF_FO_OUT_EVENT_LIMIT;
    res.BpbmListEnd = bpbm[1];
    res.DfcmListEnd = dfcm[1];
    m_tLastResources = res;
    if (!fits)
    {
        const auto d = [](int32_t value) { return std::to_string(value); };
        WriteToLogfile("DUF OutOfHardware: \nBpbm Channels " + d(res.BpbmChannels) + "of 15" +
                       "\n     Data " + d(res.BpbmData) + " of 13311" + "\nPcim Channels " +
                       d(res.PcimChannels) + "of 15" + "\n     Data " + d(res.PcimData) +
                       " of 16127" + "\nDfcm Channels " + d(res.DfcmSynchronizers) + "of 31" +
                       "\nFoOutData " + d(res.FoOutData) + " of 4095" + "\nFoIn Data " +
                       d(res.FoInData) + " of 3039" + "\nCoProcessor Data " +
                       d(res.CoProcessorData) + " of 448" + "\niNextFoOutEvent=" +
                       d(iNextFoOutEvent));
        return false;
    }
    if (!configurationRun)
        return true;

    if (DfcmPresent)
    {
        static const uint32_t aZeros[kFoOutClearWords] = {};
        for (int i = 0; i < kFoOutClearBlocks; ++i)
            BPBWriteBuffer(static_cast<int32_t>(DUF_FO_OUT_WINDOW + i * kFoOutClearStride), aZeros,
                           kFoOutClearWords, false);
    }
    if (BpbmPresent)
        for (int32_t c = 0; c < res.BpbmChannels; ++c)
            BpbmEnableChannel(static_cast<uint32_t>(c), 1);
    if (PcimPresent)
        for (uint32_t c = 0; c < DUF_PCIM_CHANNELS; ++c)
            if (tRequests.aPcimChannelAllocatedBy[c] != nullptr)
                PcimEnableChannel(c, 1);
    if (DfcmPresent)
        for (int32_t s = 0; s < res.DfcmSynchronizers; ++s)
            DfcmEnableSynchronizer(static_cast<uint32_t>(s), 1);
    const int32_t events = iNextFoOutEvent - DUF_FIRST_FO_OUT_EVENT;
    iFoOutEventMask = ((1u << events) - 1u) * 2u;
    BPBWriteWord(static_cast<int32_t>(DUF_FO_EVENT_MASK_A), iFoOutEventMask, false);
    BPBWriteWord(static_cast<int32_t>(DUF_FO_EVENT_MASK_B), iFoOutEventMask, false);
    return true;
}
