// The routing document: a requester sends all its paths as one new-configuration document
// (root "Module"). Its signal lists replace the requester's records, each record is completed
// with its partner's address data, and the signals' places are answered in the document. The
// framework stores an accepted document as the requester's configuration set and calls
// SetHardwareConfiguration, which programs the paths.
//
// Then the target module's own address data, the host buffers of local applications and the
// reservations of the fiber-optic link are taken, and a trial of programming all paths tells
// whether the whole set fits the hardware. A refused document leaves the requester without
// records; the paths that run are not touched.
#include "QTXDuf.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

#include "Pcim.h"
#include "QTXConvert.h"
#include "QTXMessages.h"
#include "QTXReport.h"

namespace
{
enum DufTarget
{
    kTargetFiberOptic = 0,
    kTargetMemory = 1,
    kTargetModule = 2,
    kTargetFpga = 3
};

const Item_t aTargetItems[] = {{"FiberOptic", kTargetFiberOptic},
                               {"Memory", kTargetMemory},
                               {"Module", kTargetModule},
                               {"FPGA", kTargetFpga},
                               {nullptr, -1}};

constexpr int kTargetRangeMaximum = 100;
constexpr int32_t kMaxBuffers = 1000000;
constexpr uint32_t kMissBits = 5; // module ports 62100..62104
// Stored module-to-module sets: one per target module 62101..62104.
constexpr int kModuleSets = 4;

const Item_t aDirectionItems[] = {{"Input", 1}, {"Output", 0}, {nullptr, -1}};

CQTXError DocumentError(const std::string& text, const std::string& parameter, int line)
{
    return CQTXError(text, parameter, "QTXDuf", line, Error, "GeneralError");
}

// Selects the root's own property list (made when missing, so that missing properties are
// recorded on it).
void SelectDocumentProperties(CQTXXml& document)
{
    document.SelectSignalListByName("", "", false);
    document.SelectSignalByNumber(-1, true);
}

// Reads a signal property as an integer; 0 when absent.
int32_t IntOrZero(CQTXXml& document, const char* name)
{
    return document.SelectPropertyByName(name, false) ? document.GetIntProperty() : 0;
}
} // namespace

uint16_t CDuf::PartnerFromModuleSlot(int32_t moduleSlot)
{
    if (moduleSlot >= 0 && moduleSlot < 100)
        return static_cast<uint16_t>(DUF_MODULE_PORT_FIRST + moduleSlot);
    if (moduleSlot == DUF_APPLICATION_FIRST)
        return DUF_COPROCESSOR_PORT;
    // A number that is no port at all is no partner the driver knows ("Illegal transfer").
    if (moduleSlot < 0 || moduleSlot > 0xFFFF)
        return 0;
    return static_cast<uint16_t>(moduleSlot);
}

int CDuf::SetIndexOfRequester(uint16_t requester)
{
    if (requester == DUF_FO_PORT)
        return 0;
    if (requester >= DUF_TARGET_MODULE_FIRST && requester <= DUF_TARGET_MODULE_LAST)
        return requester - DUF_MODULE_PORT_FIRST;
    return -1;
}

uint16_t CDuf::ReadRequester(CQTXXml& document, std::string& targetSignals)
{
    SelectDocumentProperties(document);
    int target = -1;
    if (!document.ReadListProperty("Target", &target, aTargetItems, true, 0, kTargetRangeMaximum,
                                   true))
    {
        if (target < 0 && document.SelectPropertyByName("Target", false) &&
            !document.GetStringProperty().empty())
            document.SetPropertyError("UnknownTarget", "Property value for Target is wrong");
        return 0;
    }
    const auto refuse = [&document](const char* text)
    {
        document.SelectPropertyByName("Target", false);
        document.SetPropertyError("NotSupported", text);
        return uint16_t{0};
    };
    int32_t port = 0;
    switch (target)
    {
    case kTargetFiberOptic:
        return DUF_FO_PORT;
    case kTargetMemory:
        if (!PcimPresent)
            return refuse("Target Memory is not supported on this device");
        if (!document.ReadIntProperty("Port", &port, 1, true, DUF_APPLICATION_FIRST,
                                      DUF_APPLICATION_LAST, false))
            return 0;
        return static_cast<uint16_t>(port);
    case kTargetModule:
        if (!BpbmPresent)
            return refuse("Target module is not supported on this device");
        if (!document.ReadIntProperty("TargetSlot", &port, 1, true, DUF_TARGET_MODULE_FIRST,
                                      DUF_TARGET_MODULE_LAST, false) ||
            !document.ReadStringProperty("TargetSignals", &targetSignals))
            return 0;
        return static_cast<uint16_t>(port);
    case kTargetFpga:
        if (!DfcmPresent)
            return refuse("Target FPGA is not supported on this device");
        return DUF_COPROCESSOR_PORT;
    default:
        document.SelectPropertyByName("Target", false);
        document.SetPropertyError("UnknownTarget", "Property value for Target is wrong");
        return 0;
    }
}

bool CDuf::ReadRecords(CQTXXml& document, uint16_t requester)
{
    tRequests.RemoveDufRequest(requester, 0, "");
    // An application's new document replaces its hold on the fiber-optic link too, also when
    // it asks for no paths at all.
    if (IsApplicationPort(requester))
    {
        if (FoInReservedBy == requester)
            FoInReservedBy = 0;
        if (FoOutReservedBy == requester)
            FoOutReservedBy = 0;
    }
    std::string moduleSlot;
    std::string name;
    for (int count = document.SelectSignalListByOrder(moduleSlot, name, true); count >= 0;
         count = document.SelectSignalListByOrder(moduleSlot, name, false))
    {
        if (count == 0)
            continue;
        DufRequest record;
        const int32_t slot = StringToInt(moduleSlot);
        record.Direction = 1;
        if (IsApplicationPort(requester))
        {
            document.SelectSignalByNumber(-1, true);
            if (!document.ReadIntProperty("NumberOfBuffers", &record.PcimBufferCount, 1, true, 1,
                                          kMaxBuffers, false))
                return false;
            if (slot == DUF_NO_PARTNER || slot == DUF_FO_PORT)
            {
                int direction = -1;
                if (!document.ReadListProperty("Direction", &direction, aDirectionItems, true, 0, 1,
                                               true))
                    return false;
                record.Direction = static_cast<uint8_t>(direction);
            }
        }
        record.Valid = 1;
        record.Requester = requester;
        record.Partner = PartnerFromModuleSlot(slot);
        record.Name = name;
        for (int number = document.SelectSignalByOrder(true); number >= 0;
             number = document.SelectSignalByOrder(false))
        {
            const int32_t length = IntOrZero(document, "Length");
            const int32_t offset = IntOrZero(document, "Offset");
            const std::string type = document.SelectPropertyByName("VraType", false)
                                         ? document.GetStringProperty()
                                         : std::string();
            CDufRequestList::AddSignal(&record, number, length, offset, type);
        }
        record.PcimHandle = -1;
        record.PcimChannel = -1;
        tRequests.AddDufRequest(record);
    }
    return true;
}

bool CDuf::CompleteRecords(CQTXXml& document, uint16_t requester, uint32_t missMask)
{
    for (DufRequest& record : tRequests.Records())
        if (record.Partner == DUF_NO_PARTNER)
            record.Valid = 1;

    bool ok = true;
    CDufRequestCursor cursor;
    for (DufRequest* record = tRequests.FindDufRequest(cursor, requester, 0, "", true);
         record != nullptr; record = tRequests.FindDufRequest(cursor, requester, 0, "", false))
    {
        try
        {
            const uint32_t bit = record->Partner - DUF_MODULE_PORT_FIRST;
            if (record->Partner >= DUF_MODULE_PORT_FIRST && bit < kMissBits &&
                (missMask & (1u << bit)) != 0)
                throw DocumentError(
                    "MissingModule",
                    "Module on port " + std::to_string(record->Partner) + " is missing", __LINE__);
            ReadModuleDufData(*record);
        }
        catch (CQTXError& error)
        {
            record->Valid = 0;
            // At start-up the fiber-optic paths outlive modules that are not running yet.
            if (requester == DUF_FO_PORT && IsBooting())
            {
                WriteToLogfile("Request " + record->Name + " to " +
                               std::to_string(record->Partner) + " left out: " + error.ErrorText() +
                               ": " + error.ErrorParameter());
                continue;
            }
            document.SetError(error);
            ok = false;
        }
    }
    return ok;
}

bool CDuf::WriteAnswers(CQTXXml& document, uint16_t requester)
{
    bool ok = true;
    std::string moduleSlot;
    std::string name;
    for (int count = document.SelectSignalListByOrder(moduleSlot, name, true); count >= 0;
         count = document.SelectSignalListByOrder(moduleSlot, name, false))
    {
        DufRequest* record = tRequests.FindFirstDufRequest(
            requester, PartnerFromModuleSlot(StringToInt(moduleSlot)), name);
        if (record == nullptr || record->Name.empty() != name.empty())
            continue;
        for (int number = document.SelectSignalByOrder(true); number >= 0;
             number = document.SelectSignalByOrder(false))
        {
            const DufSignal* signal = CDufRequestList::FindSignal(record, number);
            // A signal the bus-module device's static frame has no room for is not transferred:
            // it gets no place in the answer.
            if (signal == nullptr &&
                std::any_of(record->Signals.begin(), record->Signals.end(),
                            [number](const DufSignal& s) { return s.Number == number; }))
                continue;
            if (signal == nullptr)
            {
                document.SelectPropertyByName("Length", true);
                document.SetPropertyError("InternalError", "Signal caused an internal error");
                ok = false;
                continue;
            }
            document.WriteStringProperty("Length", std::to_string(signal->Length));
            document.WriteStringProperty(
                "Offset", std::to_string(int64_t{signal->Offset} + 8 * int64_t{record->ReqOffset}));
            document.WriteStringProperty("VraType", signal->Type);
        }
        if (IsApplicationPort(requester))
        {
            document.SelectSignalByNumber(-1, true);
            document.WriteStringProperty("MemoryHandle", std::to_string(record->PcimHandle));
            document.WriteStringProperty("LogicalAddress",
                                         std::to_string(record->PcimLogicalAddress));
            document.WriteStringProperty("BufferLength", std::to_string(record->PcimBufferLength));
            document.WriteStringProperty("PcimChannel", std::to_string(record->PcimChannel));
        }
    }
    return ok;
}

bool CDuf::CheckFoReservations(CQTXXml& document, uint16_t requester)
{
    bool ok = true;
    // A fiber-optic request that needs the input (it transmits the input's data) or the output
    // (it receives data for the output) that a local application holds takes no part.
    const auto lose = [&](int32_t reservedBy, uint8_t keptDirection, const char* text)
    {
        if (reservedBy == 0)
            return;
        bool reported = false;
        for (DufRequest& r : tRequests.Records())
        {
            if (r.Requester != DUF_FO_PORT || r.Direction == keptDirection)
                continue;
            r.Valid = 0;
            if (requester == DUF_FO_PORT && !reported)
            {
                document.SetError(DocumentError("ReservedHardware", text, __LINE__));
                reported = true;
                ok = false;
            }
        }
    };
    lose(FoInReservedBy, 1, "Fiber optic input is reserved by a software module");
    lose(FoOutReservedBy, 0, "Fiber optic output is reserved by a software module");
    return ok;
}

bool CDuf::ParseAndCheckConfiguration(int& setIndex)
{
    return CheckRoutingDocument(tXmlCommandFile, setIndex);
}

bool CDuf::CheckRoutingDocument(CQTXXml& document, int& setIndex)
{
    QTX_FUNCTION_LOG();
    const auto step = [this](int number)
    {
        WriteToLogfile("[" + std::to_string(QTXFunctionLogDepth()) +
                       "] Function ParseAndCheckConfiguration(), step " + std::to_string(number));
    };

    // A factory reset puts the static fiber-optic configuration back too. At start-up the
    // framework falls back to the factory routing configuration under the same flag when the
    // stored one is refused: the static configuration has its own fallback then.
    if (StaticFoCapable && IsFactoryDefault() && !IsBooting())
        TakeStaticFoFactoryDefault();

    // A module's address data are asked anew for every configuration request.
    m_tDescriptions.clear();
    for (uint32_t port = DUF_MODULE_PORT_FIRST; port <= DUF_TARGET_MODULE_LAST; ++port)
        remove(FileNameToAbsolutePath("DufFor" + std::to_string(port) + ".xml").c_str());
    for (uint32_t port = DUF_APPLICATION_FIRST; port < DUF_APPLICATION_LAST; ++port)
        remove(FileNameToAbsolutePath("DufFor" + std::to_string(port) + ".xml").c_str());

    std::string targetSignals;
    const uint16_t requester = ReadRequester(document, targetSignals);
    bool ok = requester != 0;
    step(1);

    if (ok && PcimPresent)
    {
        // The applications' channels stop while their buffers are handed out anew.
        for (uint32_t channel = 0; channel + 1 < DUF_PCIM_CHANNELS; ++channel)
            PcimEnableChannel(channel, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ok = ok && ReadRecords(document, requester);
    // The central-module device's static mode adds its own records; a layout that cannot add
    // them switches the mode off.
    if (ok && QwHwMode == 1 && !ConfigForZTM())
        QwHwMode = 0;
    step(2);

    uint32_t missMask = 0;
    if (ok && IsBooting())
    {
        for (const DufRequest& record : tRequests.Records())
            if (record.Requester == requester && record.Partner >= DUF_MODULE_PORT_FIRST &&
                record.Partner < DUF_MODULE_PORT_FIRST + kMissBits)
                missMask |= 1u << (record.Partner - DUF_MODULE_PORT_FIRST);
        if (requester >= DUF_MODULE_PORT_FIRST && requester < DUF_MODULE_PORT_FIRST + kMissBits)
            missMask |= 1u << (requester - DUF_MODULE_PORT_FIRST);
        missMask = UnavailableModules(missMask);
        if (requester >= DUF_MODULE_PORT_FIRST && requester < DUF_MODULE_PORT_FIRST + kMissBits &&
            (missMask & (1u << (requester - DUF_MODULE_PORT_FIRST))) != 0)
        {
            document.SetError(DocumentError(
                "MissingModule", "Module on port " + std::to_string(requester) + " is missing",
                __LINE__));
            ok = false;
        }
    }
    step(3);

    ok = ok && CompleteRecords(document, requester, missMask);
    step(4);

    if (ok && requester >= DUF_TARGET_MODULE_FIRST && requester <= DUF_TARGET_MODULE_LAST)
        ok = ReadTargetModule(document, requester, targetSignals);
    step(5);

    if (ok && IsApplicationPort(requester))
        ok = AllocateHostBuffers(document, requester);
    step(6);

    ok = ok && CheckFoReservations(document, requester);
    step(7);

    if (ok && !SetupAllPaths(false))
    {
        // A path through a unit the device does not have is no matter of size.
        const char* missing = LastResources().MissingUnit;
        document.SetError(DocumentError(
            "OutOfHardware",
            missing != nullptr
                ? std::string("This XML requests a path through the ") + missing +
                      " unit, which this device does not have"
                : std::string("This XML requests more signals than can be handled by the hardware"),
            __LINE__));
        ok = false;
    }
    ok = ok && WriteAnswers(document, requester);
    step(8);

    if (!ok)
    {
        if (requester != 0)
            tRequests.RemoveDufRequest(requester, 0, "");
        document.SetError(DocumentError(
            "WrongParameter",
            "This XML file contains error messages on wrong or missing parameters", __LINE__));
        if (FoInReservedBy == requester)
            FoInReservedBy = 0;
        if (FoOutReservedBy == requester)
            FoOutReservedBy = 0;
        // The requests that stay show what is programmed for them again (the trial changed
        // their links and resources).
        if (requester != 0)
            SetupAllPaths(false);
        if (PcimPresent)
        {
            // The channels of the applications whose paths stay run on.
            for (uint32_t channel = 0; channel < DUF_PCIM_CHANNELS; ++channel)
                if (tRequests.aPcimChannelAllocatedBy[channel] != nullptr)
                    PcimEnableChannel(channel, 1);
        }
        step(9);
        return false;
    }
    setIndex = SetIndexOfRequester(requester);
    if (IsBooting() && setIndex == 0 && BpbmPresent)
    {
        // The module-to-module sets come back with the fiber-optic set; one programming run
        // after this check makes them all active.
        for (int set = 1; set <= kModuleSets; ++set)
        {
            int nameIndex = set;
            const std::string file = FileNameToAbsolutePath(GetConfigurationFileName(nameIndex));
            CQTXXml stored;
            stored.SetItemBound(XML_UNBOUNDED_ITEMS);
            if (access(file.c_str(), R_OK) != 0 || !stored.LoadFile(file.c_str(), QTX_TAG_MODULE))
                continue;
            int storedIndex = set;
            if (!CheckRoutingDocument(stored, storedIndex))
                WriteToLogfile("Stored configuration set " + std::to_string(set) +
                               " is left out: it was refused");
        }
        setIndex = 0;
    }
    step(9);

    if (!(IsBooting() && setIndex != 0))
    {
        const char* what = "unknown target";
        if (requester == DUF_FO_PORT)
            what = "fiber optic";
        else if (requester >= DUF_TARGET_MODULE_FIRST && requester <= DUF_TARGET_MODULE_LAST)
            what = "module to module transfer";
        else if (IsApplicationPort(requester))
            what = "local application";
        else if (requester == DUF_COPROCESSOR_PORT)
            what = "FPGA internal processing unit";
        StoreEvent(std::string("New configuration for ") + what, "signal copy maschine");
    }
    step(10);
    return true;
}
