// The static fiber-optic mode's start-up detection, the hex-switch selection between static and
// normal mode, the fixed configuration sent to the fiber-optic driver, and the module drivers'
// configurations switched on entering and leaving static mode.
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXDuf.h"
#include "QTXMessages.h"
#include "QTXProduct.h"
#include "QTXReport.h"

const char* const aQwModeNames[3] = {"Off", "qorKOVE-Z-TM", "qorQB-eCAT"};

namespace
{
const char kUnit[] = "Duf4Marlott";
constexpr int kDriverTimeoutMs = 1000;
constexpr int kIdentifyWaitSeconds = 60;

CQTXError StaticFoError(const char* text, const char* parameter, int line)
{
    return CQTXError(text, parameter, kUnit, line, Error, "GeneralError");
}

// The debounce and the self-resetting supply-error ranges of some modules.
struct ExtraRanges
{
    int DebounceFirst = -1, DebounceLast = -1;
    int AutoResetFirst = -1, AutoResetLast = -1;
};
ExtraRanges ExtraRangesOf(int32_t id)
{
    switch (id)
    {
    case 25:
        return {0, 31, -1, -1};
    case 27:
        return {-1, -1, 32, 39};
    case 32:
        return {0, 15, 16, 19};
    case 34:
        return {-1, -1, 5, 5};
    default:
        return {};
    }
}

// Calls f(module, port) for each Module of the identity document's Modules.
template <class F> void ForEachModule(const CQTXXml& identity, F f)
{
    XMLNode modules = identity.GetXMLNodeRoot().getChildNode("Modules");
    int index = 0;
    for (XMLNode module = modules.isEmpty() ? XMLNode() : modules.getChildNode("Module", &index);
         !module.isEmpty(); module = modules.getChildNode("Module", &index))
        f(module, StringToInt(CharPointerToString(module.getChildNode("Port").getText())));
}

// Throws ErrorInAnswer when the module driver's reply reports an error.
void CheckReply(const std::string& file)
{
    CQTXXml reply;
    if (!reply.LoadFile(file.c_str(), "Module"))
        return;
    XMLNode errors = reply.GetXMLNodeRoot().getChildNode("Errors");
    if (!errors.isEmpty() && !errors.getChildNode("Error").isEmpty())
        throw StaticFoError("ErrorInAnswer",
                            "Driver reported an error in answer to our configuration request",
                            __LINE__);
}
} // namespace

const char* CDuf::QwModeName() const
{
    return aQwModeNames[QwHwMode >= 0 && QwHwMode <= 2 ? QwHwMode : 0];
}

bool CDuf::InitQWMode()
{
    QTX_FUNCTION_LOG();
    StaticFoCapable = false;
    QwHwMode = 0;
    QwHexSwitch = 0;
    m_tStaticFo = {};
    for (int slot = 0; slot < DUF_STATIC_SLOTS; ++slot)
    {
        aModuleSignals[slot] = {};
        for (int32_t& start : FoStartTable[slot])
            start = -1;
    }

    // The module drivers register one after the other; their names tell the module types.
    const std::string replyFile = FileNameToAbsolutePath("FromSystem.xml");
    CQTXXml identity;
    bool good = false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kIdentifyWaitSeconds);
    for (;;)
    {
        good = SendStringToDriver(sXmlStart + "<Identify/>\n", kDriverTimeoutMs,
                                  static_cast<int>(QTX_SYSTEM_PORT), replyFile) &&
               identity.LoadFile(replyFile.c_str(), "System");
        bool booting = false;
        if (good)
            ForEachModule(
                identity,
                [&booting](XMLNode module, int32_t port)
                {
                    if (port >= DUF_MODULE_PORT_FIRST && port <= DUF_MODULE_PORT_LAST &&
                        SameString(CharPointerToString(module.getChildNode("Status").getText()),
                                   "Booting"))
                        booting = true;
                });
        if (!booting || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }

    const std::string name = good ? CharPointerToString(identity.GetXMLNodeRoot()
                                                            .getChildNode("SystemInfo")
                                                            .getChildNode("Name")
                                                            .getText())
                                  : std::string();
    bool result = good;
    if (SameString(name, "qorKOVE-Z-TM"))
    {
        StaticFoCapable = true;
        if (good)
            ForEachModule(identity,
                          [this](XMLNode module, int32_t port)
                          {
                              const char* moduleName = module.getAttribute("Name");
                              if (moduleName != nullptr && port >= DUF_MODULE_PORT_FIRST &&
                                  port < DUF_MODULE_PORT_FIRST + DUF_STATIC_SLOTS)
                              {
                                  const int id = GetModuleFromProductName(moduleName);
                                  aModuleSignals[port - DUF_MODULE_PORT_FIRST].ModuleId =
                                      id > 0 ? id : 0;
                              }
                          });
        QwHwMode = 1;
        if (!PrepareStaticFoConfiguration())
        {
            if (!m_bStaticFoNone)
                WriteToLogfile("StaticFO: Old config and factory default are both invalid, "
                               "switching off StaticFO");
            QwHwMode = 0;
        }
        StartStaticFoWatcher();
    }
    else if (SameString(name, "qorQB-eCAT"))
    {
        // The bus-module device: the central module in X1, the EtherCAT module in X2.
        QwHwMode = 2;
        aModuleSignals[0].ModuleId = 2;
        aModuleSignals[1].ModuleId = 35;
        if (!SendStringToDriver(sXmlStart + "<Ping/>\n", 10000, DUF_MODULE_PORT_FIRST + 1, ""))
        {
            QwHwMode = 0;
            StoreEvent("eCAT module missing", "copy machines");
            result = false;
        }
        else
        {
            // The switch starts in static mode: the frame is in force until the user settings
            // select the normal mode, and the stored routing configuration is checked with it.
            SelectBusModuleFrame();
        }
    }
    WriteToLogfile(std::string("StaticFO mode is ") + QwModeName());
    unlink(PlatPath(std::string(kStaticFoSignalList)).c_str());
    return result;
}

bool CDuf::PrepareStaticFoConfiguration()
{
    const std::string stored = GetConfigurationPath() + kStaticFoStoredName;
    const std::string factory = FileNameToAbsolutePath(kStaticFoFactoryName);
    const std::string working = PlatPath(std::string(kStaticFoWorkingCopy));
    if (!CopyFile(working, stored))
    {
        CopyFile(stored, factory);
        CopyFile(working, stored);
    }
    bool valid = ReadQWConfig4ZTM(kStaticFoWorkingCopy, true);
    if (!valid)
    {
        WriteToLogfile("StaticFO: Switchong back to factory default as the stored configuration "
                       "is not valid");
        valid = CopyFile(stored, factory) && CopyFile(working, stored) &&
                ReadQWConfig4ZTM(kStaticFoWorkingCopy, false);
    }
    // A configuration that selects "None" switches the mode off.
    if (valid && m_bStaticFoNone)
        return false;
    return valid && ConfigForZTM();
}

void CDuf::ProcessUserConfig(const std::string& config)
{
    QTX_FUNCTION_LOG();
    const std::string hex = UserConfigValue(config, "hex");
    if (hex.empty() || (QwHwMode == 0 && !StaticFoCapable))
        return;
    const int32_t low = StringToInt(hex) & 0xF;
    if (low == QwHexSwitch)
        return;
    QwHexSwitch = low;
    // A central-module device whose configuration is unusable keeps the switch, so that a
    // corrected configuration starts in the mode the switch selects.
    if (QwHwMode == 0)
        return;
    SwitchQWMode(QwHexSwitch == 0);
    if (!IsBooting())
        SetHardwareConfiguration();
}

bool CDuf::ReloadRoutingConfiguration()
{
    int setIndex = 0;
    const std::string file = FileNameToAbsolutePath(GetConfigurationFileName(setIndex));
    setIndex = 0;
    // A document of its own: the request in hand keeps its document for the reply.
    CQTXXml document;
    return document.LoadFile(file.c_str(), "Module") && CheckRoutingDocument(document, setIndex);
}

bool CDuf::SwitchQWMode(bool on)
{
    QTX_FUNCTION_LOG();
    switch (QwHwMode)
    {
    case 1:
    {
        const bool reloaded = IsBooting() || ReloadRoutingConfiguration();
        return reloaded && SwitchModuleConfigurations(on);
    }
    case 2:
        if (on)
        {
            SelectBusModuleFrame();
            SetAndEnableFiberOptic();
        }
        else
            FoStartTable[1][kAnalogIn] = FoStartTable[1][kDigitalIn] = -1;
        for (DufRequest& r : tRequests.Records())
            ApplyBusModuleEnables(r);
        // The transfers to the EtherCAT module are as long as the signals that travel: the
        // stored routing configuration is checked again with them.
        if (!IsBooting())
            ReloadRoutingConfiguration();
        return true;
    default:
        return true;
    }
}

void CDuf::SelectBusModuleFrame()
{
    // The frame follows the output period the fiber-optic driver has stored: the first real set
    // whose period is as long, the largest one without such a set or without a period.
    CQTXXml stored;
    int32_t period = 0;
    bool read = false;
    const std::string file =
        PlatPath(sQTXRootDirectory + "Configuration/Config_62002_FiberOptic_1.xml");
    if (stored.LoadFile(file.c_str(), "Module") &&
        stored.SelectSignalListByName("", "", false) >= 0)
    {
        try
        {
            stored.SelectSignalByNumber(-1, false);
            read = stored.ReadIntProperty("OutputPeriod", &period, 1, false, 0, 0, false);
        }
        catch (CQTXError&)
        {
            read = false;
        }
    }
    m_tStaticFo = {};
    m_tStaticFo.FoMode = 10;
    if (read && period >= 10)
        for (int candidate = 7; candidate <= 10; ++candidate)
            if (aFoSignalSets[candidate].iPeriod >= period)
            {
                m_tStaticFo.FoMode = candidate;
                break;
            }
    // The EtherCAT module's analog inputs begin the output window, its digital inputs follow
    // the analog area.
    FoStartTable[1][kAnalogIn] = static_cast<int32_t>(DUF_FO_OUT_WINDOW);
    FoStartTable[1][kDigitalIn] =
        static_cast<int32_t>(DUF_FO_OUT_WINDOW) + FoSet(m_tStaticFo.FoMode).iBytes;
}

void CDuf::ApplyBusModuleEnables(DufRequest& r)
{
    if (QwHwMode != 2 || r.Requester != DUF_FO_PORT || r.Partner != DUF_MODULE_PORT_FIRST + 1)
        return;
    const FoSignalSet& set = FoSet(m_tStaticFo.FoMode);
    for (DufSignal& s : r.Signals)
    {
        if (QwHexSwitch != 0)
        {
            s.Enable = s.NormalEnable;
            continue;
        }
        // Offsets and lengths in bits; a value that ends where the area ends still fits.
        if (SameString(r.Name, "AnalogIn"))
            s.StaticEnable = s.Offset >= 0 && s.Offset + s.Length <= 8 * set.iBytes;
        else
            s.StaticEnable = s.Offset >= 0 && s.Offset < set.iCount;
        s.Enable = s.StaticEnable;
    }
}

std::string CDuf::FiberOpticDocument() const
{
    int set = m_tStaticFo.FoMode;
    if (m_tStaticFo.FoSlot == 0)
        set = set == 11 ? 2 : set == 12 ? 5 : set == 13 ? 10 : set;
    const FoSignalSet& s = FoSet(set);
    const auto property = [](const char* name, const std::string& value)
    { return "<Property Name=\"" + std::string(name) + "\" Value=\"" + value + "\"/>\n"; };
    return "<?xml version=\"1.0\"?>\n<Module Name=\"FiberOptic\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">\n<ModuleInfo/>\n<Properties>\n" +
           property("OutputSpeed", "32") + property("OutputFrames", std::to_string(s.iFrames)) +
           property("OutputPeriod", std::to_string(s.iPeriod)) + property("InputSpeed", "32") +
           property("InputFrames", std::to_string(s.iFrames)) +
           property("Slot", std::to_string(m_tStaticFo.FoSlot)) +
           property("Length", std::to_string(s.iPeriod * 144 / 50)) +
           property("MasterModePeriod", "100") +
           property("MasterModeLength", "297;1;0;0;0;0;0;0;0;0;0;0;0;0;0;0") +
           property("MasterModeClassTimes", "10;0") +
           property("MasterModeDeviceClasses", "0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0") +
           "</Properties>\n</Module>\n";
}

bool CDuf::SetAndEnableFiberOptic()
{
    QTX_FUNCTION_LOG();
    return SendStringToDriver(FiberOpticDocument(), kDriverTimeoutMs, DUF_FO_PORT, "");
}

bool CDuf::SwitchModuleConfigurations(bool on)
{
    QTX_FUNCTION_LOG();
    if (!m_bFirstModuleSwitch && on == m_bLastModuleSwitch)
        return true;
    m_bFirstModuleSwitch = false;
    m_bLastModuleSwitch = on;

    try
    {
        for (int slot = 0; slot < DUF_STATIC_SLOTS; ++slot)
        {
            const int port = DUF_MODULE_PORT_FIRST + slot;
            const std::string p = std::to_string(port);
            const ModuleSignals& module = aModuleSignals[slot];
            const ExtraRanges extra = ExtraRangesOf(module.ModuleId);
            const std::string flex = FileNameToAbsolutePath("Cfg_" + p + "_Flex.xml");
            const std::string staticFile = FileNameToAbsolutePath("Cfg_" + p + "_StticFO.xml");
            const std::string reply = FileNameToAbsolutePath("Cfg_" + p + "_Reply.xml");
            if (module.Range[kDigitalOut].ByteLength != 0 ||
                module.Range[kAnalogOut].ByteLength != 0)
            {
                if (!on)
                {
                    if (access(flex.c_str(), F_OK) == 0)
                    {
                        if (!SendFileToDriver(flex, kDriverTimeoutMs, port, reply))
                            throw StaticFoError("WrongConfigFromDriver",
                                                "No or wrong config sent from driver", __LINE__);
                        CheckReply(reply);
                    }
                }
                else
                {
                    // The reply is received into a file of its own and takes the place of the
                    // kept configuration only when it loads as the module's configuration: a
                    // request that fails in any way leaves the one kept before, which the way
                    // back to normal mode sends.
                    CQTXXml document;
                    if (!ReplaceFile(flex,
                                     [&document, port](const std::string& received)
                                     {
                                         return SendStringToDriver(sXmlStart + "<Configuration/>\n",
                                                                   kDriverTimeoutMs, port,
                                                                   received) &&
                                                document.LoadFile(received.c_str(), "Module");
                                     }))
                        throw StaticFoError("WrongConfigFromDriver",
                                            "No or wrong config sent from driver", __LINE__);
                    for (int t : {kDigitalOut, kAnalogOut})
                    {
                        const SignalRange& range = module.Range[t];
                        if (range.ByteLength == 0)
                            continue;
                        if (document.SelectSignalListByName("", g_aSignalListNames[t], false) <
                            range.LastSignal)
                            throw StaticFoError("SignalConfigError",
                                                "Error while changing signal configuration",
                                                __LINE__);
                        for (int n = range.FirstSignal; n <= range.LastSignal; ++n)
                        {
                            document.SelectSignalByNumber(n, false);
                            document.WriteStringProperty("Enable", "true");
                            if (t == kAnalogOut)
                                document.WriteStringProperty("PowerOn", "true");
                        }
                    }
                    if (extra.AutoResetFirst >= 0)
                    {
                        document.SelectSignalListByName("", "DigitalOut", false);
                        for (int n = extra.AutoResetFirst; n <= extra.AutoResetLast; ++n)
                        {
                            document.SelectSignalByNumber(n, false);
                            document.WriteStringProperty("AutoResetSupplyError", "true");
                        }
                    }
                    if (!document.StoreFile(staticFile.c_str(), false) ||
                        !SendFileToDriver(staticFile, kDriverTimeoutMs, port, reply))
                        throw StaticFoError("WrongConfigFromDriver",
                                            "No or wrong config sent from driver", __LINE__);
                    CheckReply(reply);
                }
            }
            if (extra.DebounceFirst >= 0 && m_tStaticFo.DebounceTime > 0 && on)
            {
                const std::string debounce = FileNameToAbsolutePath("CfgDeb_" + p + "_StticFO.xml");
                const std::string debounceReply =
                    FileNameToAbsolutePath("CfgDeb_" + p + "_Reply.xml");
                CQTXXml document;
                if (!SendStringToDriver(sXmlStart + "<Configuration/>\n", kDriverTimeoutMs, port,
                                        debounce) ||
                    !document.LoadFile(debounce.c_str(), "Module"))
                    throw StaticFoError("WrongConfigFromDriver",
                                        "No or wrong config sent from driver", __LINE__);
                if (document.SelectSignalListByName("", "DigitalIn", false) < extra.DebounceLast)
                    throw StaticFoError("SignalConfigError",
                                        "Error while changing signal configuration", __LINE__);
                for (int n = extra.DebounceFirst; n <= extra.DebounceLast; ++n)
                {
                    document.SelectSignalByNumber(n, false);
                    document.WriteStringProperty("Debouncing", "4");
                    document.WriteStringProperty("Duration",
                                                 std::to_string(m_tStaticFo.DebounceTime));
                }
                if (!document.StoreFile(debounce.c_str(), false) ||
                    !SendFileToDriver(debounce, kDriverTimeoutMs, port, debounceReply))
                    throw StaticFoError("WrongConfigFromDriver",
                                        "No or wrong config sent from driver", __LINE__);
                CheckReply(debounceReply);
            }
        }
    }
    catch (CQTXError& error)
    {
        WriteToLogfile("StaticFO ERROR: " + error.ToString());
        return false;
    }
    return true;
}
