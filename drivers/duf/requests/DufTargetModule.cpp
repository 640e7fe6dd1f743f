// The target module of a module-to-module request: the module that receives the data. Its
// driver is asked for its own address description ("<AddressTable/>", answered into
// "DufOf<port>.xml"); the list that receives the data (TargetSignals) gives the module's base
// address, offset register, destination address and event. The requester's records are laid one
// after another into the module's destination memory.
#include <cstdio>

#include "DufListProperties.h"
#include "QTXDuf.h"
#include "QTXMessages.h"
#include "QTXReadForDuf.h"

namespace
{
constexpr int kAddressTableTimeoutMs = 1000;
constexpr uint16_t kModuleTag = 257;

CQTXError CheckError(const std::string& text, const std::string& parameter, int line)
{
    return CQTXError(text, parameter, "QTXDuf", line, Error, "GeneralError");
}

// What the target module gives for the receiving list.
struct STargetData
{
    uint32_t uBase = 0;
    uint32_t uOffsetPerSlot = 0;
    uint32_t uOffsetRegister = 0;
    uint32_t uDestination = 0;
    int32_t iEvent = 0;
};
} // namespace

bool CDuf::ReadTargetModule(CQTXXml& document, uint16_t requester, const std::string& targetSignals)
{
    const std::string port = std::to_string(requester);
    try
    {
        const std::string path = FileNameToAbsolutePath("DufOf" + port + ".xml");
        remove(path.c_str());
        if (!SendStringToDriver(sXmlStart + "<AddressTable/>\n", kAddressTableTimeoutMs, requester,
                                path))
            throw CheckError("UnknownModule", "Can not read data of module " + port, __LINE__);
        std::string content;
        if (!CQTXCommandFile::ReadWholeFile(path.c_str(), content) || content.size() < 5)
            throw CheckError("UnknownFileFormat", "File format of module data is unknown",
                             __LINE__);

        STargetData target;
        if (SameString(content.substr(0, 5), "<?xml"))
        {
            CQTXXml description;
            if (!description.LoadBuffer(content.data(), content.size(), QTX_TAG_MODULE) ||
                targetSignals.empty() ||
                description.SelectSignalListByName("", targetSignals.c_str(), false) < 0)
                throw CheckError("UnknownSignals",
                                 "Can not find signals " + targetSignals + " on module port " +
                                     port,
                                 __LINE__);
            CDufListProperties list(description, targetSignals);
            const CQTXError wrong = CheckError(
                "WrongModuleData", "Duf data of module on slot " + port + " is incorrect", __LINE__);
            int32_t blocks = 0, transfers = 0, source = -1, base = 0, perSlot = 0, reg = 0,
                    destination = 0, event = 0;
            if (!list.Read("NumberOfBpbm", blocks) || blocks != 1 ||
                !list.Read("Bpbm0NumberOfTransfers", transfers) || transfers != 1 ||
                !list.Read("BaseAddress", base) || !list.Read("OffsetPerSlot", perSlot) ||
                !list.Read("Bpbm0OffsetRegister", reg) ||
                !list.Read("Bpbm0t0SourceAddress", source) || source != 0 ||
                !list.Read("Bpbm0t0DestinationAddress", destination) ||
                !list.Read("ModuleEvent", event))
                throw wrong;
            target = {static_cast<uint32_t>(base), static_cast<uint32_t>(perSlot),
                      static_cast<uint32_t>(reg), static_cast<uint32_t>(destination), event};
        }
        else
        {
            const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
            const bool moduleHead = QTXForDufIsBinaryHead(bytes, content.size()) &&
                                    content.size() >= QTX_FORDUF_HEAD_BYTES &&
                                    (bytes[6] | bytes[7] << 8) == kModuleTag;
            if (!moduleHead)
                throw CheckError("UnknownFileFormat", "File format with module data is unknown",
                                 __LINE__);
            QTXForDufList list;
            if (QTXForDufFindList(bytes, content.size(), targetSignals, list) != QTX_FORDUF_OK ||
                list.uKind != 1 || !list.bAddressPart || list.vBusMasters.size() != 1 ||
                list.vBusMasters[0].vTransfers.size() != 1 ||
                list.vBusMasters[0].vTransfers[0].uSource != 0)
                throw CheckError("WrongModuleData", "Binary ForDuf data of one module is currupt",
                                 __LINE__);
            target = {list.uBaseAddress, list.uOffsetPerSlot,
                      list.vBusMasters[0].uOffsetRegister,
                      list.vBusMasters[0].vTransfers[0].uDestination, list.uModuleEvent};
        }

        const uint32_t n = requester - DUF_TARGET_MODULE_FIRST;
        const uint32_t base = target.uOffsetPerSlot * n + target.uBase;
        uint8_t event = 0;
        if (target.iEvent == 10)
            event = static_cast<uint8_t>(4 * n);
        else if (target.iEvent >= 20 && target.iEvent <= 23)
        {
            event = static_cast<uint8_t>(4 * n + static_cast<uint32_t>(target.iEvent - 20));
            ModuleEventSlotMask |= 1u << n;
        }
        uint32_t destination = target.uDestination;
        for (DufRequest& r : tRequests.Records())
        {
            if (r.Requester != requester)
                continue;
            r.M2MBase = base + destination;
            r.M2MRegister = base + target.uOffsetRegister;
            r.M2MEvent = event;
            destination += static_cast<uint32_t>(r.Opponent.front().Transfers.front().Len);
        }
        return true;
    }
    catch (CQTXError& error)
    {
        document.SetError(error);
        return false;
    }
}
