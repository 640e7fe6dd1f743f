// The module registry of the hub: one entry per registered driver, sorted by port, with the
// presence masks of the status record, the device's own identity taken from the module in
// slot 0, and one error text per error slot.
#include "QTXSystem.h"

#include <algorithm>

#include "QTXConvert.h"

extern const char* const aModuleType[SYSTEM_ERROR_SLOTS] = {
    "System",    "Duf",       "FiberOptic", "Module X1",       "Module X2",
    "Module X3", "Module X4", "Module X5",  "Software module", "Unknown"};

namespace
{
// Registration and removal texts are cut to this many characters.
constexpr size_t kRegistrationTextLength = 99;
// Ports of the module drivers whose firmware is checked against the compatibility list.
constexpr int32_t kCheckedModulePortLast = 62104;
// Ports of the software modules with an error slot of their own.
constexpr int32_t kSoftwareErrorPortLast = 62204;

// Bit of the module slot mask or the software module mask for a port; 0 for other ports.
uint32_t ModuleSlotBit(int32_t port)
{
    if (port >= SYSTEM_MODULE_PORT_FIRST && port <= SYSTEM_MODULE_PORT_LAST)
        return 1u << (port - SYSTEM_MODULE_PORT_FIRST);
    return 0;
}

uint32_t SoftwareModuleBit(int32_t port)
{
    if (port >= SYSTEM_SOFTWARE_PORT_FIRST && port <= SYSTEM_SOFTWARE_PORT_LAST)
        return 1u << (port - SYSTEM_SOFTWARE_PORT_FIRST);
    return 0;
}

// Takes the text up to the separator out of `rest`. Without the separator the whole rest is
// the piece and false is returned.
bool TakePiece(std::string& rest, char separator, std::string& piece)
{
    const size_t position = rest.find(separator);
    if (position == std::string::npos)
    {
        piece = rest;
        rest.clear();
        return false;
    }
    piece = rest.substr(0, position);
    rest.erase(0, position + 1);
    return true;
}

// group * 1000000 + number, wrapped to 32 bits as the device computes it.
int32_t CombineOrderingNumber(int32_t group, int32_t number)
{
    return static_cast<int32_t>(static_cast<uint32_t>(group) * 1000000u +
                                static_cast<uint32_t>(number));
}
} // namespace

int PortToErrorSlot(int32_t port)
{
    if (port >= SYSTEM_PORT && port <= SYSTEM_FO_PORT)
        return port - SYSTEM_PORT;
    if (port >= SYSTEM_MODULE_PORT_FIRST && port <= SYSTEM_MODULE_PORT_FIRST + 4)
        return 3 + (port - SYSTEM_MODULE_PORT_FIRST);
    if (port >= SYSTEM_SOFTWARE_PORT_FIRST && port <= kSoftwareErrorPortLast)
        return 8;
    return 9;
}

RegisteredModule ParseRegistrationText(const std::string& text)
{
    RegisteredModule module;
    module.eState = QTX_MODULE_RUNNING;
    std::string rest = text.substr(0, kRegistrationTextLength);
    std::string piece;

    if (!TakePiece(rest, ':', piece))
        throw CQTXEXmlError("MissingPort", "Port number is missing", __FILE__, __LINE__, Error);
    module.sName = piece;

    const bool stamped = TakePiece(rest, '*', piece);
    module.iPort = StringToInt(piece);
    if (!stamped)
        return module;

    if (!TakePiece(rest, '.', piece))
        throw CQTXEXmlError("WrongNumber", "Dot is missing in device number", __FILE__, __LINE__,
                            Error);
    module.iOrderingGroup = StringToInt(piece);

    bool more = TakePiece(rest, '#', piece);
    module.iOrderingNumber = StringToInt(piece);
    if (!more)
        return module;
    more = TakePiece(rest, '+', piece);
    module.iSerialNumber = StringToInt(piece);
    if (!more)
        return module;
    more = TakePiece(rest, ',', piece);
    module.sHardwareVersion = piece;
    if (!more)
        return module;
    more = TakePiece(rest, '!', piece);
    module.sSoftwareVersion = piece;
    if (!more)
        return module;
    module.uFpgaBuild = static_cast<uint32_t>(StringToInt(rest));
    return module;
}

void CSystem::AddOrUpdateModule(const std::string& name, int32_t port, int32_t group,
                                int32_t number, int32_t serialNumber,
                                const std::string& hardwareVersion,
                                const std::string& softwareVersion, uint32_t fpgaBuild,
                                _QTXMODULE_STATE state)
{
    {
        LockGuard guard(&tRegistryMutex);
        guard.Lock();
        auto entry = std::lower_bound(vRegistry.begin(), vRegistry.end(), port,
                                      [](const RegisteredModule& module, int32_t wanted)
                                      { return module.iPort < wanted; });
        const bool known = entry != vRegistry.end() && entry->iPort == port;
        if (!known && vRegistry.size() >= static_cast<size_t>(SYSTEM_REGISTRY_CAPACITY))
            throw CQTXEParameterError(
                "TooManyModules",
                "The module list is full (" + std::to_string(SYSTEM_REGISTRY_CAPACITY) +
                    " ports): port " + std::to_string(port) + " is not registered",
                __FILE__, __LINE__, Error);
        bIdentifyChanged = true;

        if (known)
        {
            // A later registration without stamp keeps what an earlier one told, and the
            // state Unknown never replaces a known state.
            if (!name.empty())
                entry->sName = name;
            if (!hardwareVersion.empty())
                entry->sHardwareVersion = hardwareVersion;
            if (!softwareVersion.empty())
                entry->sSoftwareVersion = softwareVersion;
            if (group != 0)
                entry->iOrderingGroup = group;
            if (number != 0)
                entry->iOrderingNumber = number;
            if (serialNumber != 0)
                entry->iSerialNumber = serialNumber;
            if (fpgaBuild != 0)
                entry->uFpgaBuild = fpgaBuild;
            if (state != QTX_MODULE_UNKNOWN)
                entry->eState = state;
        }
        else
        {
            RegisteredModule module;
            module.iPort = port;
            module.sName = name;
            module.iOrderingGroup = group;
            module.iOrderingNumber = number;
            module.iSerialNumber = serialNumber;
            module.uFpgaBuild = fpgaBuild;
            module.sHardwareVersion = hardwareVersion;
            module.sSoftwareVersion = softwareVersion;
            module.eState = state;
            vRegistry.insert(entry, module);
        }

        uModuleSlotMask |= ModuleSlotBit(port);
        uSoftwareModuleMask |= SoftwareModuleBit(port);

        if (port >= SYSTEM_MODULE_PORT_FIRST && port <= kCheckedModulePortLast &&
            !IsCompatible(this, name, softwareVersion))
        {
            iLockPort = port;
            sLockName = name;
        }

        // The module in slot 0 tells the device's own identity.
        if (port == SYSTEM_MODULE_PORT_FIRST)
        {
            if (iOrderingNumber == 0)
            {
                iOrderingNumber = CombineOrderingNumber(group, number);
                iSerialNumber = serialNumber;
            }
            if (sHardwareVersion.empty() && hardwareVersion.size() >= 2)
            {
                sHardwareVersion = hardwareVersion;
                // The element's whole text is replaced: overwriting characters in place
                // would cut into the end tag of a shorter value.
                SetSystemInfoValue(sSystemInfo, "VersionHW", hardwareVersion.substr(0, 2));
            }
        }
    }
    WriteToLogfile("Registered module " + name + " on port " + std::to_string(port));
    LogModuleList("Module list after adding/changing entry of port " + std::to_string(port));
}

bool CSystem::UnregisterModule(const std::string& name, int32_t port)
{
    bool removed = false;
    {
        LockGuard guard(&tRegistryMutex);
        guard.Lock();
        bIdentifyChanged = true;
        // The driver on the port has ended, whatever name it gives: its presence bit goes even
        // when the entry stays because another registration of the port (a module list of
        // another program) renamed it.
        uModuleSlotMask &= ~ModuleSlotBit(port);
        uSoftwareModuleMask &= ~SoftwareModuleBit(port);
        auto entry = std::find_if(vRegistry.begin(), vRegistry.end(),
                                  [&](const RegisteredModule& module)
                                  { return module.iPort == port && module.sName == name; });
        if (entry != vRegistry.end())
        {
            vRegistry.erase(entry);
            removed = true;
        }
    }
    if (removed)
        LogModuleList("Module list after removing entry of port " + std::to_string(port));
    else
        LogModuleList("Error: Can't remove port " + std::to_string(port) +
                      ": No entry found in module list!");
    return removed;
}

void CSystem::LogModuleList(const std::string& title)
{
    std::string text = title;
    size_t count = 0;
    {
        LockGuard guard(&tRegistryMutex);
        guard.Lock();
        for (const RegisteredModule& module : vRegistry)
        {
            text += "\n   Port=" + std::to_string(module.iPort) + ", Name=" + module.sName +
                    ", O/N=" + IntToString(module.iOrderingGroup, 10, 2) + "." +
                    IntToString(module.iOrderingNumber, 10, 6) +
                    ", S/N=" + IntToString(module.iSerialNumber, 10, 6) + ", Version=HW(" +
                    module.sHardwareVersion + ")/SW(" + module.sSoftwareVersion + ")/FPGA(" +
                    IntToString(static_cast<int32_t>(module.uFpgaBuild), 16, 8) + ")" +
                    ", State=" + QTXModuleState2String(module.eState);
        }
        count = vRegistry.size();
    }
    text += "\n End of list (" + std::to_string(count) + " entries)";
    WriteToLogfile(text);
}

bool CSystem::AllErrorSlotsEmpty() const
{
    LockGuard guard(&tRegistryMutex);
    guard.Lock();
    for (const std::string& error : asModuleError)
        if (!error.empty())
            return false;
    return true;
}

int CSystem::GetRegisteredPorts(int32_t* ports, int capacity) const
{
    if (ports == nullptr || capacity <= 0)
        return 0;
    LockGuard guard(&tRegistryMutex);
    guard.Lock();
    int count = 0;
    for (const RegisteredModule& module : vRegistry)
    {
        if (count >= capacity)
            break;
        ports[count++] = module.iPort;
    }
    return count;
}

std::vector<RegisteredModule> CSystem::GetRegisteredModules() const
{
    LockGuard guard(&tRegistryMutex);
    guard.Lock();
    return vRegistry;
}

std::string CSystem::GetModuleErrorText(int slot) const
{
    if (slot < 0 || slot >= SYSTEM_ERROR_SLOTS)
        return "";
    LockGuard guard(&tRegistryMutex);
    guard.Lock();
    return asModuleError[slot];
}

std::string CutModuleErrorText(const std::string& text)
{
    if (text.size() <= SYSTEM_MODULE_ERROR_TEXT_BYTES)
        return text;
    // Back to the start of the character that the bound cuts through; a UTF-8 character has
    // at most three bytes after its first, so bytes that belong to none cost no more than that.
    size_t cut = SYSTEM_MODULE_ERROR_TEXT_BYTES;
    for (int back = 0;
         back < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back)
        --cut;
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        cut = SYSTEM_MODULE_ERROR_TEXT_BYTES;
    return text.substr(0, cut);
}

void CSystem::SetModuleErrorText(int32_t port, const std::string& text)
{
    const int slot = PortToErrorSlot(port);
    const std::string kept = CutModuleErrorText(text);
    {
        LockGuard guard(&tRegistryMutex);
        guard.Lock();
        asModuleError[slot] = kept;
    }
    WriteToLogfile(
        std::string("Module error of ") + aModuleType[slot] + " (port " + std::to_string(port) +
        ")" + (kept.empty() ? " cleared" : ": " + kept) +
        (kept.size() < text.size() ? " (cut from " + std::to_string(text.size()) + " bytes)" : ""));
}

uint32_t CSystem::GetModuleSlotMask() const
{
    LockGuard guard(&tRegistryMutex);
    guard.Lock();
    return uModuleSlotMask;
}

uint32_t CSystem::GetSoftwareModuleMask() const
{
    LockGuard guard(&tRegistryMutex);
    guard.Lock();
    return uSoftwareModuleMask;
}
