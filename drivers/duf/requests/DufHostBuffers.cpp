// Host buffers of local applications: each list of an application's document gets its buffers
// (NumberOfBuffers times the window length) and a PCI-master channel of its own. The buffers come
// from the device's inter-process memory pool, which the applications map as well: the handle
// and the logical address answered to the application are the buffers' offset in the pool. A
// record's buffers and channel go back when the record is replaced or removed.
#include <cstdint>

#include "InterProc.h"
#include "Pcim.h"
#include "QTXDuf.h"

namespace
{
// The largest block the pool hands out.
constexpr uint64_t kMaxPoolBlock = 65535;

CQTXError CheckError(const std::string& text, const std::string& parameter, int line)
{
    return CQTXError(text, parameter, "QTXDuf", line, Error, "GeneralError");
}
} // namespace

int32_t CDuf::AllocatePcimBuffers(uint32_t bytes, uint32_t& logicalAddress)
{
    if (bytes == 0 || bytes > kMaxPoolBlock)
        return -1;
    if (!m_bPoolMapped && InterProcOpen() == 0)
    {
        m_bPoolMapped = InterProcMemoryInit(static_cast<uint16_t>(ulPort)) == 0;
        if (!m_bPoolMapped)
            InterProcClose();
    }
    if (!m_bPoolMapped)
        return -1;
    void* block = InterProcMemoryAlloc(bytes);
    const int32_t offset = InterProcMemoryPtrToOffset(block);
    if (offset < 0)
        return -1;
    logicalAddress = static_cast<uint32_t>(offset);
    return offset;
}

void CDuf::ReleasePcimBuffers(int32_t handle)
{
    if (handle < 0 || !m_bPoolMapped)
        return;
    void* block = InterProcMemoryOffsetToPtr(handle);
    if (block != nullptr)
        InterProcMemoryFree(block);
}

bool CDuf::AllocateHostBuffers(CQTXXml& document, uint16_t requester)
{
    std::string moduleSlot;
    std::string name;
    for (int count = document.SelectSignalListByOrder(moduleSlot, name, true); count >= 0;
         count = document.SelectSignalListByOrder(moduleSlot, name, false))
    {
        const int32_t slot = StringToInt(moduleSlot);
        const uint16_t partner = slot >= 0 && slot < 100
                                     ? static_cast<uint16_t>(DUF_MODULE_PORT_FIRST + slot)
                                     : (slot > 0 && slot <= 0xFFFF ? static_cast<uint16_t>(slot) : 0);
        DufRequest* record = tRequests.FindFirstDufRequest(requester, partner, name);
        if (record == nullptr || record->Name.empty() != name.empty())
        {
            document.SetError(
                CheckError("InternalError", "Can not find internal data to XML request", __LINE__));
            return false;
        }
        const uint64_t bytes = static_cast<uint64_t>(record->PcimBufferCount) *
                               static_cast<uint64_t>(record->PcimBufferLength < 0 ? 0 : record->PcimBufferLength);
        uint32_t logical = 0;
        const int32_t handle =
            bytes > UINT32_MAX ? -1 : AllocatePcimBuffers(static_cast<uint32_t>(bytes), logical);
        if (handle < 0)
        {
            document.SetError(CheckError("OutOfMemory",
                                         "Can not allocate memory for the PCI master buffers",
                                         __LINE__));
            return false;
        }
        record->PcimHandle = handle;
        record->PcimOwnHandle = handle;
        record->PcimLogicalAddress = logical;
        int channel = 0;
        while (channel < DUF_PCIM_CHANNELS && tRequests.aPcimChannelAllocatedBy[channel] != nullptr)
            ++channel;
        if (channel == DUF_PCIM_CHANNELS)
        {
            document.SetError(
                CheckError("OutOfHardware", "Can not allocate DMA channel", __LINE__));
            return false;
        }
        tRequests.aPcimChannelAllocatedBy[channel] = record;
        record->PcimChannel = channel;
    }

    // Other requesters' paths to or from this application read its offered lists again.
    for (DufRequest& r : tRequests.Records())
    {
        if (r.Partner != requester)
            continue;
        r.Valid = 1;
        try
        {
            ReadModuleDufData(r);
        }
        catch (CQTXError& error)
        {
            r.Valid = 0;
            WriteToLogfile("Request " + r.Name + " of " + std::to_string(r.Requester) +
                           " left out: " + error.ErrorText() + ": " + error.ErrorParameter());
        }
    }
    return true;
}
