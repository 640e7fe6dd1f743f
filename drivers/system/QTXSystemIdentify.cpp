// The identity document "Identify.xml": which device this is (host name, unit number, the
// prefix of its update files, the SystemInfo block with the merged state of all drivers) and
// one Module element for every registered driver. It answers Identify requests on the command
// port and on the discovery port, so it is written by whichever thread asks first after a
// change, always while the registry mutex is held.
#include "QTXSystem.h"

#include <cctype>
#include <cstdio>
#include <unistd.h>

#include "QTXConvert.h"
#include "QTXMessages.h"
#include "QTXProduct.h"
#include "QTXXml.h"

namespace
{
const char kIdentifyFile[] = "Identify.xml";
const char kSchemaInstanceUri[] = "http://www.w3.org/2001/XMLSchema-instance";

// Hardware family 13 reads its unit number from switches that give 0; it has no hex switches.
constexpr int kFamilyWithUnitNumber = 13;

// A driver is shown as a module in a slot when its port lies in this range.
constexpr int32_t kSlotPortFirst = 62100;
constexpr int32_t kSlotPortLast = 62199;

// The merged state counts only once the routing driver and two more have registered.
constexpr size_t kMinimumEntriesForState = 3;

std::string ToLower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Prefix of the update files that belong to this device.
std::string NameFilter(int family, int32_t orderingNumber, const std::string& deviceName)
{
    switch (family)
    {
    case 1:
        switch (orderingNumber)
        {
        case 52375020:
        case 52375010:
            return "cmus_";
        case 52374021:
            return "kovesqx2x16_";
        case 52374012:
            return "kovesqx_";
        case 52999990:
            return "kovesqx4x19_";
        case 52999991:
            return "wexs2_";
        case 52640000:
            return "wex_";
        default:
            return "kovesqx";
        }
    case 2:
        if (SameString(deviceName, "qorKOVE-Z-TM"))
            return "koveztm";
        // The name after its six-character family prefix ("qorQB-DP" gives "qbdp"); a shorter
        // name has nothing after the prefix.
        return "qb" + ToLower(deviceName.size() > 6 ? deviceName.substr(6) : std::string());
    case 3:
        return "net750d";
    case 4:
        return "kove4";
    case 5:
        return "qbdp";
    case 6:
        return "link-vme";
    case 7:
        return "linkio";
    case 8:
    {
        static const std::pair<int, const char*> products[] = {
            {52, "koved8aiu"}, {53, "koved8aii"}, {50, "kove8aii"}, {49, "kove8aiu"}};
        for (const auto& product : products)
            if (SameString(deviceName, GetProductName(product.first)))
                return product.second;
        return "kove";
    }
    case 9:
        return "clock";
    case 10:
        return "qbpn";
    case 11:
        return "daqs_";
    case 13:
        return "w750_";
    case 14:
        return "qbenetip";
    default:
        return "";
    }
}

// The device's state from its drivers: only meaningful once the routing driver (the lowest
// port) and at least two more are registered; before that, and while nothing is known, the
// device is booting.
_QTXMODULE_STATE GlobalState(const std::vector<RegisteredModule>& registry)
{
    _QTXMODULE_STATE state = QTX_MODULE_UNKNOWN;
    if (registry.size() >= kMinimumEntriesForState && registry.front().iPort == SYSTEM_DUF_PORT)
        for (const RegisteredModule& entry : registry)
            state = ModuleState2GlobalState(state, entry.eState);
    return state == QTX_MODULE_UNKNOWN ? QTX_MODULE_BOOTING : state;
}

std::string ModuleElement(CSystem* system, const RegisteredModule& entry)
{
    std::string text = "\t\t<Module Name=\"" + EscapeXmlValue(entry.sName) + "\">\n";
    text += "\t\t\t<Port>" + std::to_string(entry.iPort) + "</Port>\n";
    if (entry.iPort >= kSlotPortFirst && entry.iPort <= kSlotPortLast)
        text += "\t\t\t<Slot>" + std::to_string(entry.iPort - kSlotPortFirst) + "</Slot>\n";
    if (entry.iOrderingGroup != 0)
    {
        // A hardware module with its stamp.
        text += "\t\t\t<OrderingNumber>" + std::to_string(entry.iOrderingGroup) + "." +
                std::to_string(entry.iOrderingNumber) + "</OrderingNumber>\n";
        text +=
            "\t\t\t<SerialNumber>" + IntToString(entry.iSerialNumber, 10, 6) + "</SerialNumber>\n";
        text += "\t\t\t<VersionHW>" + EscapeXmlValue(entry.sHardwareVersion) + "</VersionHW>\n";
        const bool compatible = IsCompatible(system, entry.sName, entry.sSoftwareVersion);
        text += std::string("\t\t\t<VersionSW Status=\"") + (compatible ? "OK" : "NeedsUpdate") +
                "\">" + EscapeXmlValue(entry.sSoftwareVersion) + "</VersionSW>\n";
        text += "\t\t\t<VersionFPGA>" + IntToString(static_cast<int32_t>(entry.uFpgaBuild), 16, 8) +
                "</VersionFPGA>\n";
    }
    else if (!entry.sSoftwareVersion.empty())
    {
        // A driver or software module: its build number, 0 for a release.
        const std::string build =
            entry.uFpgaBuild == 0 ? std::string("Release") : std::to_string(entry.uFpgaBuild);
        text += "\t\t\t<VersionSW Status=\"OK\" Build=\"" + build + "\">" +
                EscapeXmlValue(entry.sSoftwareVersion) + "</VersionSW>\n";
    }
    text += std::string("\t\t\t<Status>") + QTXModuleState2String(entry.eState) + "</Status>\n";
    text += "\t\t</Module>\n";
    return text;
}

bool WriteText(const std::string& path, const std::string& text)
{
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return (fclose(file) == 0) && written;
}

// The host name of the machine, or the device name when it has none.
std::string CurrentHostName(const std::string& deviceName)
{
    char name[1000] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        return name;
    CopyStringToCharArray(name, deviceName, sizeof name);
    return name;
}
} // namespace

bool SetSystemInfoValue(std::string& block, const char* tag, const std::string& value)
{
    const std::string open = std::string("<") + tag + ">";
    const std::string close = std::string("</") + tag + ">";
    const size_t begin = block.find(open);
    if (begin == std::string::npos)
        return false;
    const size_t textBegin = begin + open.size();
    const size_t end = block.find(close, textBegin);
    if (end == std::string::npos)
        return false;
    block.replace(textBegin, end - textBegin, EscapeXmlValue(value));
    return true;
}

std::string CSystem::GetModuleInfoFileName()
{
    const std::string hostName = CurrentHostName(sDeviceName);

    LockGuard guard(&tRegistryMutex);
    guard.Lock();
    if (!bIdentifyChanged && SameString(hostName, sIdentifyHostName))
        return kIdentifyFile;

    const int family = GetHWFamily();
    std::string text = sXmlStart + "<System Name=\"" + EscapeXmlValue(hostName) +
                       "\" xmlns:xsi=\"" + kSchemaInstanceUri + "\">\n";
    text += "\t<UnitNumber>" + std::string(family == kFamilyWithUnitNumber ? "0" : "-1") +
            "</UnitNumber>\n";
    text += "\t<Update>\n";
    text += "\t\t<Directory></Directory>\n";
    text += "\t\t<NameFilter>" + EscapeXmlValue(NameFilter(family, iOrderingNumber, sDeviceName)) +
            "</NameFilter>\n";
    text += "\t</Update>\n\n";

    // The SystemInfo block keeps one Status line, replaced on every write.
    size_t cut = sSystemInfo.find("\t\t<Status>");
    if (cut == std::string::npos)
        cut = sSystemInfo.find("\t</SystemInfo>");
    if (cut == std::string::npos)
        cut = sSystemInfo.find("</SystemInfo>");
    sSystemInfo = sSystemInfo.substr(0, cut) + "\t\t<Status>" +
                  QTXModuleState2String(GlobalState(vRegistry)) + "</Status>" + "\n\t</SystemInfo>";
    text += sSystemInfo;

    text += "\n\t<Modules>\n";
    for (const RegisteredModule& entry : vRegistry)
        text += ModuleElement(this, entry);
    text += "\t</Modules>\n";
    text += "</System>\n";

    // The file is replaced as a whole: a reader (also the discovery thread's send) sees either
    // the old or the new document, never a part.
    if (!ReplaceFile(FileNameToAbsolutePath(kIdentifyFile),
                     [&text](const std::string& file) { return WriteText(file, text); }))
        // The change stays pending, so the next Identify tries again instead of sending the
        // outdated document.
        throw CQTXError("CanNotGenerateFile", "Can not generate identification file", __FILE__,
                        __LINE__, FatalError, "GeneralError");
    bIdentifyChanged = false;
    sIdentifyHostName = hostName;
    return kIdentifyFile;
}

double CSystem::GetSignalValue(const std::string& /*name*/, int /*number*/)
{
    return 0;
}

std::string CSystem::GetSignalUnit(const std::string& /*name*/, int /*number*/)
{
    return "";
}

void CSystem::LockThreadGuard(LockGuard& guard)
{
    guard.Lock();
}

void CSystem::UnlockThreadGuard(LockGuard& guard)
{
    guard.Unlock();
}
