// The fiber-optic driver's process: the object, its start-up (unit base by hardware family,
// start-up arguments, user settings, first programming, polling thread), the stored
// configuration with its four settings records, and the serving loop with the delayed
// programming some families need.
#include "QTXFiberOptic.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "InterProc.h"
#include "QTXConvert.h"
#include "QTXGlobal.h"
#include "QTXMessages.h"
#include "QTXStringFile.h"

namespace
{
// Families 4 and 8 hold the mode register for this long after start-up.
constexpr double kModeReleaseDelay = 2.0;

class CSettingsLock
{
public:
    explicit CSettingsLock(pthread_mutex_t* mutex) : m_pMutex(mutex) { pthread_mutex_lock(mutex); }
    ~CSettingsLock() { pthread_mutex_unlock(m_pMutex); }
    CSettingsLock(const CSettingsLock&) = delete;
    CSettingsLock& operator=(const CSettingsLock&) = delete;

private:
    pthread_mutex_t* m_pMutex;
};
} // namespace

void FoSleepMs(long milliseconds)
{
    timespec rest{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
    {
    }
}

CFiberOptic::CFiberOptic()
{
    NyMutexCreatePrivate(&tSettingsMutex);
    NyMutexCreatePrivate(&tWakeMutex);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&tWake, &attributes);
    pthread_condattr_destroy(&attributes);
    tRecords.tSlot1to15Settings = FoZeroSettings();
    tRecords.tSlot0Settings = FoZeroSettings();
    tRecords.tDefault1to15Settings = FoBuiltInDefault();
    tRecords.tDefault0Settings = FoBuiltInDefault();
    tRecords.tDefault0Settings.iSlot = 0;
    // The soft hex switch is read from the inter-process device; without it the switch stays
    // unknown.
    InterProcOpen();
}

CFiberOptic::~CFiberOptic()
{
    // The thread uses the mutexes: it has ended before they go.
    StopHexThread();
    InterProcClose();
    pthread_cond_destroy(&tWake);
    pthread_mutex_destroy(&tWakeMutex);
    pthread_mutex_destroy(&tSettingsMutex);
}

void CFiberOptic::Terminate()
{
    StopHexThread();
    CQTX::Terminate();
}

std::string CFiberOptic::GetModuleName()
{
    return "FiberOptic";
}

void CFiberOptic::InitCQTX()
{
    QTX_FUNCTION_LOG();
    fModeReleaseTime = 0;
    const int family = GetHWFamily();
    const char* line = nullptr;
    switch (family)
    {
    case QTX_HW_FAMILY_WAG:
        line = "FO detects Wago iModuleBase=0x%08X\n";
        break;
    case QTX_HW_FAMILY_KV4:
    case QTX_HW_FAMILY_KV8:
        line = "FO detects KOVE4/8/D iModuleBase=0x%08X\n";
        fModeReleaseTime = GetMonotonicTime() + kModeReleaseDelay;
        break;
    case QTX_HW_FAMILY_PDP:
        line = "FO detects QB-DP iModuleBase=0x%08X\n";
        break;
    case QTX_HW_FAMILY_VME:
        line = "FO detects Vornex iModuleBase=0x%08X\n";
        break;
    case QTX_HW_FAMILY_LIO:
        line = "FO detects Rida-va-zarozova iModuleBase=0x%08X\n";
        break;
    case QTX_HW_FAMILY_CLK:
        line = "FO detects qorClock iModuleBase=0x%08X\n";
        break;
    case QTX_HW_FAMILY_PNA:
        line = "FO detects QB-PN iModuleBase=0x%08X\n";
        break;
    case QTX_HW_FAMILY_EIP:
        line = "FO detects QB-ENetIP iModuleBase=0x%08X\n";
        break;
    default:
        break;
    }
    ulBpbBaseAddress = line != nullptr ? 0x10000u : 0x40000u;
    printf(line != nullptr ? line : "FO default iModuleBase=0x%08X\n", ulBpbBaseAddress);
    fflush(stdout);

    CSettingsLock lock(&tSettingsMutex);
    iHexSwitchType = GetHwFamilyHexSwitchType(static_cast<_QTXHWFamily>(family));
    iIpOverFiberAddress = FO_IP_NONE;
    tRecords.tSlot1to15Settings = FoZeroSettings();
    tRecords.tSlot0Settings = FoZeroSettings();
    tRecords.tDefault1to15Settings = FoBuiltInDefault();
    tRecords.tDefault0Settings = FoBuiltInDefault();
    tRecords.tDefault0Settings.iSlot = 0;
    tHexSwitches = {-1, -2, -1, -1};
    iHub = -2;
    dSamplingPeriodUs = 1000.0;
    dDefaultSamplingPeriodUs = 1000.0;
    bIpTxWatchdog = false;
    sPostConfigExe.clear();

    // Start-up arguments: fields separated by commas; none of them can make the start fail.
    size_t start = 0;
    while (!sStartupText.empty() && start <= sStartupText.size())
    {
        size_t end = sStartupText.find(',', start);
        if (end == std::string::npos)
            end = sStartupText.size();
        const std::string field = sStartupText.substr(start, end - start);
        start = end + 1;
        static const char kPostConfig[] = "PostConfigExe=";
        if (SameString(field, "EnableWatchdog"))
        {
            bIpTxWatchdog = true;
            WriteToLogfile("IpTxWatchdog enabled");
        }
        else if (SameString(field, "DisableWatchdog"))
        {
            bIpTxWatchdog = false;
            WriteToLogfile("IpTxWatchdog disabled");
        }
        else if (field.size() >= sizeof kPostConfig - 1 &&
                 SameString(field.substr(0, sizeof kPostConfig - 1), kPostConfig))
        {
            sPostConfigExe = "\"" + field.substr(sizeof kPostConfig - 1) + "\"";
            WriteToLogfile("PostConfigExe = " + sPostConfigExe);
        }
        else
        {
            WriteToLogfile("Error: unknown startup argument \"" + field + "\"");
        }
    }
}

void CFiberOptic::BootHardware()
{
    QTX_FUNCTION_LOG();
    _HEXSWITCH_SET switches;
    ReadUserConfig(GetUserConfig(), switches);
    // The stored settings of both sets drive the first programming already; the start-up
    // configuration of the framework only loads set 0.
    ReloadSettingsFiles();
    OnHex(&switches, ReadHubNumber(), 1);

    pthread_mutex_lock(&tWakeMutex);
    bHexThreadRun = 1;
    pthread_mutex_unlock(&tWakeMutex);
    bHexThreadValid = pthread_create(&tHexThread, nullptr, HexSwitchThreadMain, this) == 0;
    if (!bHexThreadValid)
    {
        pthread_mutex_lock(&tWakeMutex);
        bHexThreadRun = 0;
        pthread_mutex_unlock(&tWakeMutex);
        SendErrorMessage(CQTXECommunicationError("ThreadFailed",
                                                 "The hex-switch thread could not be started",
                                                 __FILE__, __LINE__, Error),
                         false);
    }
}

void CFiberOptic::StopHexThread()
{
    pthread_mutex_lock(&tWakeMutex);
    bHexThreadRun = 0;
    pthread_cond_broadcast(&tWake);
    pthread_mutex_unlock(&tWakeMutex);
    if (bHexThreadValid && !pthread_equal(tHexThread, pthread_self()))
    {
        pthread_join(tHexThread, nullptr);
        bHexThreadValid = false;
    }
}

void* CFiberOptic::HexSwitchThreadMain(void* argument)
{
    CFiberOptic* driver = static_cast<CFiberOptic*>(argument);
    FoDebounce hub = {0, 0, 0, 0};
    int watchdogCount = 160;
    uint32_t version = 0;
    bool versionRead = false;

    pthread_mutex_lock(&driver->tWakeMutex);
    while (driver->bHexThreadRun)
    {
        pthread_mutex_unlock(&driver->tWakeMutex);
        try
        {
            if (!versionRead)
            {
                version = driver->ReadRegister(0);
                versionRead = true;
            }
            driver->HexSwitchPoll(hub, version, watchdogCount);
        }
        catch (CQTXError& error)
        {
            driver->SendErrorMessage(error, false);
        }
        pthread_mutex_lock(&driver->tWakeMutex);
        if (!driver->bHexThreadRun)
            break;
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 100000000L;
        if (deadline.tv_nsec >= 1000000000L)
        {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (driver->bHexThreadRun &&
               pthread_cond_timedwait(&driver->tWake, &driver->tWakeMutex, &deadline) == 0)
        {
        }
    }
    pthread_mutex_unlock(&driver->tWakeMutex);
    return nullptr;
}

// ---- Stored configuration

bool CFiberOptic::ParseAndCheckConfiguration(int& setIndex)
{
    FoSettings settings = FoZeroSettings();
    bool taken = false;
    if (ParseAndCheckConfigIntern(tXmlCommandFile, settings))
    {
        // Rings always run as slot 0; a slot other than 0 (also -16) is meant for nodes 1..15.
        const bool slot0 = FoIsRing(settings.iOutputProtocol) || settings.iSlot == 0;
        printf("CFiberOptic:new XmlSettings for Slot %s\n", slot0 ? "0" : "1..15");
        fflush(stdout);
        if (!slot0)
        {
            CSettingsLock lock(&tSettingsMutex);
            tRecords.tSlot1to15Settings = settings;
            setIndex = 1;
            taken = true;
        }
        else
        {
            FoSettings current;
            {
                CSettingsLock lock(&tSettingsMutex);
                current = tRecords.tSlot0Settings;
            }
            if (current.iValid == 0 ||
                ApplyLockToSettings(tXmlCommandFile, current, settings, GetModuleLock()) == 0)
            {
                CSettingsLock lock(&tSettingsMutex);
                tRecords.tSlot0Settings = settings;
                setIndex = 0;
                taken = true;
            }
        }
    }
    ReloadSettingsFiles();
    return taken;
}

bool CFiberOptic::ChecksConfigurationUnderLock(int /*lock*/)
{
    // Every client lock is judged by the lock rules of the slot-0 settings.
    return true;
}

void CFiberOptic::ReloadSettingsFiles()
{
    int set0 = 0;
    const std::string configuration = CQTX::GetConfigurationFileName(set0);
    const std::string factory = GetFactorySettingFileName();
    LoadSettingsFile(tRecords.tSlot1to15Settings, AddFileNumber(configuration, 1));
    LoadSettingsFile(tRecords.tSlot0Settings, configuration);
    LoadSettingsFile(tRecords.tDefault1to15Settings, AddFileNumber(factory, 1));
    LoadSettingsFile(tRecords.tDefault0Settings, factory);
}

void CFiberOptic::LoadSettingsFile(FoSettings& record, const std::string& path)
{
    {
        CSettingsLock lock(&tSettingsMutex);
        if (record.iValid != 0)
            return;
    }
    CQTXXml document;
    document.SetItemBound(XML_UNBOUNDED_ITEMS); // a file the driver stored
    if (!document.LoadFile(FileNameToAbsolutePath(path).c_str(), QTX_TAG_MODULE))
        return;
    FoSettings settings = FoZeroSettings();
    if (!ParseAndCheckConfigIntern(document, settings))
        return;
    CSettingsLock lock(&tSettingsMutex);
    if (record.iValid == 0)
        record = settings;
}

void CFiberOptic::SetHardwareConfiguration()
{
    CSettingsLock lock(&tSettingsMutex);
    iHub = ReadHubNumber();
    SetHwCfg(true);
}

void CFiberOptic::ConfigurationDone()
{
    // The device keeps its configuration in flash: the hub stores it.
    const bool stored =
        StoreConfigurationAtSystem(1000, FileNameToAbsolutePath("StoreCfgReply.xml"));
    // The new settings are in force either way, so the command that follows them runs.
    if (!sPostConfigExe.empty())
    {
        WriteToLogfile("Executing post-config-command " + sPostConfigExe);
        ExecuteShellCommand(sPostConfigExe, true);
    }
    // A configuration the hub did not store is lost at the next start: the requester is told.
    if (!stored)
        throw StoreConfigurationError();
}

void CFiberOptic::ProcessUserConfig(const std::string& value)
{
    _HEXSWITCH_SET switches;
    ReadUserConfig(value, switches);
    if (switches.iSwitch2 == -2)
        return;
    OnHex(&switches, -2, 0);
}

std::string CFiberOptic::GetConfigurationFileName(int& /*setIndex*/)
{
    int set0 = 0;
    const std::string name = CQTX::GetConfigurationFileName(set0);
    if (IsBooting())
        return name;
    int switch2 = 0;
    GetHexState(&switch2, nullptr, nullptr);
    return switch2 != 0 ? AddFileNumber(name, 1) : name;
}

std::string CFiberOptic::GetFactorySettingFileName()
{
    return "FactoryDefault.xml";
}

double CFiberOptic::GetSignalValue(const std::string& /*name*/, int /*number*/)
{
    return 0;
}

std::string CFiberOptic::GetSignalUnit(const std::string& /*name*/, int /*number*/)
{
    return "";
}

// ---- Process

int CFiberOptic::RunFiberOpticDriver(int argc, char** argv)
{
    InitDevMsgDebug(FO_DEBUG_PORT, 8160, 2);
    try
    {
        Init(argc, argv, FO_PORT);
    }
    catch (CQTXError& error)
    {
        if (!SameString(error.ErrorText(), "UserBreak"))
            SetModuleError(error);
        StopHexThread();
        return 1;
    }

    if (fModeReleaseTime > 0)
    {
        // The unit is programmed once more when the mode register is free.
        const double wait = fModeReleaseTime - GetMonotonicTime();
        FoSleepMs((wait > 0 ? static_cast<long>(wait * 1000.0) : 0) + 10);
        SetHardwareConfiguration();
    }

    const int status = ServeUntilUserBreak();
    StopHexThread();
    return status;
}
