// The system commands of the hub: every request whose root tag the framework does not handle
// itself arrives here, and the simple commands are answered here (storing the configuration in
// flash, the user-configuration string, the sampling period, the LED test and the fast
// blinking of the status LED). Each reads the attributes of the request's root element and
// writes its answer into the same document, which the framework sends back.
#include "QTXSystem.h"

#include <cerrno>

#include "QTXConvert.h"
#include "QTXMessages.h"

namespace
{
// Request codes of the system commands (their command-tag numbers).
constexpr uint32_t kTagRegisterModule = 20;
constexpr uint32_t kTagRemoveModule = 21;
constexpr uint32_t kTagUpdate = 22;
constexpr uint32_t kTagStoreConfiguration = 23;
constexpr uint32_t kTagForbidConfigSave = 24;
constexpr uint32_t kTagSetModuleError = 25;
constexpr uint32_t kTagClearModuleError = 26;
constexpr uint32_t kTagGetUserConfig = 27;
constexpr uint32_t kTagSetSamplingPeriodInUs = 28;
constexpr uint32_t kTagLEDTest = 29;
constexpr uint32_t kTagSetL1Rate = 30;
constexpr uint32_t kTagWatchdog = 33;
constexpr uint32_t kTagReboot = 34;
constexpr uint32_t kTagNamedSharedMemory = 35;

// Result for a request the hub does not serve ("NoXml").
constexpr int kNotHandled = -256;

// Texts of the removal request, and each text of a listed registration, are cut to this many
// characters (as the registration text of the single form is).
constexpr size_t kRemovalTextLength = 99;
constexpr size_t kListedTextLength = 99;

// A message that a detached thread sends once the command connection is free.
struct DetachedMessage
{
    uint16_t usPort;
    int iTimeoutMs;
    std::string sText;
};

std::string Attribute(const XMLNode& node, const char* name)
{
    return CharPointerToString(node.getAttribute(name));
}

std::string ListedText(const XMLNode& node, const char* name)
{
    return Attribute(node, name).substr(0, kListedTextLength);
}
} // namespace

int CSystem::ProcessUnknownXmlTag(uint32_t requestCode)
{
    // Binary requests carry bit 31; the system commands are XML only.
    if (static_cast<int32_t>(requestCode) < 0)
        return kNotHandled;

    switch (requestCode & 0xFFFFu)
    {
    case kTagRegisterModule:
        ProcessRegisterModule();
        return 0;
    case kTagRemoveModule:
        ProcessRemoveModule();
        return 0;
    case kTagUpdate:
        ProcessUpdate();
        return 0;
    case kTagStoreConfiguration:
        ProcessStoreConfiguration();
        return 0;
    case kTagForbidConfigSave:
        ProcessForbidConfigSave();
        return 0;
    case kTagSetModuleError:
        ProcessSetModuleError();
        return 0;
    case kTagClearModuleError:
        ProcessClearModuleError();
        return 0;
    case kTagGetUserConfig:
        ProcessGetUserConfig();
        return 0;
    case kTagSetSamplingPeriodInUs:
        ProcessSetSamplingPeriodInUs();
        return 0;
    case kTagLEDTest:
        ProcessLedTest();
        return 0;
    case kTagSetL1Rate:
        ProcessSetL1Rate();
        return 0;
    case kTagWatchdog:
        ProcessWatchdog();
        return 0;
    case kTagReboot:
        ProcessReboot();
        return 0;
    case kTagNamedSharedMemory:
        ProcessNamedSharedMemory();
        return 0;
    default:
        // System, CompatibilityList and every other tag are not served.
        return kNotHandled;
    }
}

// ---- Registry and module errors

void CSystem::ProcessRegisterModule()
{
    const XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    const XMLNode modules = root.getChildNode("Modules");
    if (modules.isEmpty())
    {
        const RegisteredModule module = ParseRegistrationText(Attribute(root, "Name"));
        AddOrUpdateModule(module.sName, module.iPort, module.iOrderingGroup, module.iOrderingNumber,
                          module.iSerialNumber, module.sHardwareVersion, module.sSoftwareVersion,
                          module.uFpgaBuild, module.eState);
        return;
    }

    // The list form: one registration per Module element. Those before a faulty one stay.
    int next = 0;
    for (XMLNode entry = modules.getChildNode("Module", &next); !entry.isEmpty();
         entry = modules.getChildNode("Module", &next))
    {
        const std::string name = ListedText(entry, "Name");
        const int32_t port = StringToInt(entry.getAttribute("Port"));
        if (name.empty() || port == 0)
            throw CQTXEXmlError("WrongFormat", "Attribute Name= or Port= is missing or empty",
                                __FILE__, __LINE__, Error);

        const std::string orderingNumber = Attribute(entry, "ON");
        int32_t group = 0;
        int32_t number = 0;
        if (orderingNumber.size() == 9 && orderingNumber[2] == '.')
        {
            group = StringToInt(orderingNumber.substr(0, 2));
            number = StringToInt(orderingNumber.substr(3));
        }
        AddOrUpdateModule(name, port, group, number, StringToInt(entry.getAttribute("SN")),
                          ListedText(entry, "VersionHW"), ListedText(entry, "VersionSW"),
                          static_cast<uint32_t>(StringToInt(entry.getAttribute("VersionFpga"))),
                          String2QTXModuleState(entry.getAttribute("Status")));
    }
}

void CSystem::ProcessRemoveModule()
{
    const std::string text =
        Attribute(tXmlCommandFile.GetXMLNodeRoot(), "Name").substr(0, kRemovalTextLength);
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw CQTXEXmlError("WrongName", "Port number is missing", __FILE__, __LINE__, Error);
    UnregisterModule(text.substr(0, colon), StringToInt(text.substr(colon + 1)));
}

void CSystem::ProcessSetModuleError()
{
    const XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    SetModuleErrorText(StringToInt(root.getAttribute("Slot")), Attribute(root, "Error"));
}

void CSystem::ProcessClearModuleError()
{
    SetModuleErrorText(StringToInt(tXmlCommandFile.GetXMLNodeRoot().getAttribute("Slot")), "");
}

// ---- Simple commands

void CSystem::ProcessStoreConfiguration()
{
    XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    // After ForbidConfigSave nothing is stored, and the answer is "Done" all the same.
    if (bConfigSaveForbidden || StoreConfigurationToFlash(this))
    {
        root.updateAttribute("Done", nullptr, "Status");
        return;
    }
    root.updateAttribute("ERROR", nullptr, "Status");
    tXmlCommandFile.SetError(CQTXError("CanNotStoreConfiguration",
                                       "Error while trying to store configuration on disk",
                                       __FILE__, __LINE__, Error, "GeneralError"));
}

void CSystem::ProcessForbidConfigSave()
{
    bConfigSaveForbidden = true;
}

std::string CSystem::GetUserConfigValue() const
{
    return ";hex=" + IntToString(iHexSwitchInUse, 16) +
           ";SamplingPeriodInUs=" + FloatToString(dSamplingPeriodInUs) + ";";
}

void CSystem::ProcessGetUserConfig()
{
    tXmlCommandFile.GetXMLNodeRoot().updateAttribute(GetUserConfigValue().c_str(), nullptr,
                                                     "Value");
}

void CSystem::ProcessSetSamplingPeriodInUs()
{
    const XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    // The fiber-optic driver's period comes first; CPU is read only without it.
    if (root.isAttributeSet("FiberOptic"))
        dFiberOpticSamplingPeriodInUs = StringToFloat(root.getAttribute("FiberOptic"));
    else if (root.isAttributeSet("CPU"))
        dCpuSamplingPeriodInUs = StringToFloat(root.getAttribute("CPU"));

    if (dCpuSamplingPeriodInUs > 0)
        dSamplingPeriodInUs = dCpuSamplingPeriodInUs.load();
    else if (dFiberOpticSamplingPeriodInUs > 0)
        dSamplingPeriodInUs = dFiberOpticSamplingPeriodInUs.load();
}

void CSystem::ProcessLedTest()
{
    XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    const int32_t mode = StringToInt(root.getAttribute("Mode"));
    if (mode >= 0 && mode <= 0xFF)
        iLedTestMode = mode;
    else if (mode != -1)
        throw CQTXEXmlError("UnknownMode", "Unknown mode value, allowed range: [0;0xFF]", __FILE__,
                            __LINE__, Error);
    root.updateAttribute(IntToString(iLedTestMode, 16, 2).c_str(), nullptr, "ActualValue");
}

void CSystem::ProcessSetL1Rate()
{
    const int fast = ItemStringToInt(
        aBoolItems, tXmlCommandFile.GetXMLNodeRoot().getAttribute("FastBlinking"), true);
    SetFastBlinking(fast == 1);
}

// ---- Sending after the answer

QTXThreadHandle StartDetachedSend(CQTX* driver, const std::string& text, int timeoutMs,
                                  uint16_t port)
{
    QTXThreadHandle handle{};
    handle.bValid = false;
    if (driver == nullptr || text.empty() || port == 0)
        return handle;
    DetachedMessage* message = new DetachedMessage{port, timeoutMs == 0 ? 1000 : timeoutMs, text};
    try
    {
        handle = driver->StartThread(SendMessageDetachedThread, message, 1, -1000000);
    }
    catch (...)
    {
        delete message;
        throw;
    }
    if (!handle.bValid)
        delete message;
    return handle;
}

bool SendMessageDetachedThread(CQTX* driver, void* record, int /*intArgument*/)
{
    DetachedMessage* message = static_cast<DetachedMessage*>(record);
    if (message == nullptr)
        return false;
    // The request in hand is answered once its connection is closed.
    bool free = false;
    for (int check = 0; check < 100 && !free; ++check)
    {
        free = !driver->GetCommunicationClass().Available();
        if (!free)
            SystemSleepMs(100);
    }
    if (free)
        SendStringToDriver(message->sText, message->iTimeoutMs, message->usPort, "");
    delete message;
    return true;
}
