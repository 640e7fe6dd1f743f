// A new static fiber-optic configuration while the driver runs: a client places the file at the
// working copy, the watcher thread notices its new modification time and asks the driver, on
// its own port, to reconfigure. The Reconfigure request checks the file, stores it through the
// system driver (or takes the stored one back), lays out the frame and programs all paths.
#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXDuf.h"
#include "QTXMessages.h"
#include "QTXReport.h"

std::atomic<bool> g_bIgnoreNextStaticFOCfgChange{false};

namespace
{
const char kUnit[] = "Duf4Marlott";
constexpr int kReconfigureTag = 70;
constexpr int kPassSeconds = 5;

bool StaticFOConfigThread(CQTX* driver, void* /*argument*/, int /*value*/)
{
    CDuf* duf = static_cast<CDuf*>(driver);
    const std::string file = PlatPath(std::string(kStaticFoWorkingCopy));
    int64_t remembered = -1;
    while (driver->ContinueThread())
    {
        // One pass every few seconds; the end of the driver is noticed at once.
        for (int i = 0; i < kPassSeconds * 10 && driver->ContinueThread(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!driver->ContinueThread())
            break;
        struct stat status;
        if (stat(file.c_str(), &status) != 0)
            continue;
        const int64_t time = status.st_mtime;
        const bool ignore = g_bIgnoreNextStaticFOCfgChange;
        driver->WriteToLogfile(std::string("[") + kStaticFoWorkingCopy + ":" +
                               std::to_string(time) + "] Ignore=" + (ignore ? "true" : "false"));
        if (remembered == -1)
            remembered = time;
        else if (time != remembered)
        {
            if (ignore)
            {
                g_bIgnoreNextStaticFOCfgChange = false;
                remembered = time;
            }
            else if (duf->NewStaticFOConfig())
                remembered = time;
        }
    }
    return true;
}
} // namespace

void CDuf::StartStaticFoWatcher()
{
    StartThread(StaticFOConfigThread, nullptr, 0, 0);
}

bool CDuf::NewStaticFOConfig()
{
    // A client may still be writing the file.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (SendStringToDriver(sXmlStart + "<Reconfigure/>", 2000, DUF_PORT, ""))
    {
        WriteToLogfile("Update of StaticFO configuration done");
        return true;
    }
    WriteToLogfile("ERROR: Update of StaticFO configuration failed!");
    return false;
}

int CDuf::ProcessUnknownXmlTag(uint32_t requestCode)
{
    QTX_FUNCTION_LOG();
    if (requestCode != kReconfigureTag)
        throw CQTXEXmlError("UnknownXmlFile", "XML had unknown root tag", kUnit, __LINE__, Error);
    if (!StaticFoCapable)
        return 0;

    unlink(PlatPath(std::string(kStaticFoSignalList)).c_str());
    const int32_t previousMode = QwHwMode;
    QwHwMode = 1;
    const std::string working = PlatPath(std::string(kStaticFoWorkingCopy));
    const std::string stored = GetConfigurationPath() + kStaticFoStoredName;
    if (ReadQWConfig4ZTM(kStaticFoWorkingCopy, true))
    {
        if (!CopyFile(stored, working) ||
            !SendStringToDriver(sXmlStart + "<StoreConfiguration/>\n", 2000,
                                static_cast<int>(QTX_SYSTEM_PORT), ""))
        {
            WriteToLogfile("ERROR: Storing of the StaticFO configuration failed!");
            return 0;
        }
    }
    else
    {
        WriteToLogfile("[" + std::to_string(QTXFunctionLogDepth()) +
                       "] Function ProcessUnknownXmlTag(), step StaticFO: Error");
        g_bIgnoreNextStaticFOCfgChange = true;
        if (!CopyFile(working, stored) || !ReadQWConfig4ZTM(kStaticFoWorkingCopy, false))
        {
            WriteToLogfile("ERROR while switching back to factory default for StaticFO");
            QwHwMode = 0;
            return 0;
        }
    }

    if (m_bStaticFoNone)
    {
        // The configuration in force selects no static mode: the modules get their normal
        // configurations back and the paths run as the clients asked.
        QwHwMode = 0;
        if (previousMode != 0)
        {
            if (QwHexSwitch == 0)
                SwitchModuleConfigurations(false);
            if (ReloadRoutingConfiguration())
                SetHardwareConfiguration();
        }
        WriteToLogfile(std::string("StaticFO mode is ") + QwModeName());
        return 0;
    }

    if (ConfigForZTM() && QwHexSwitch == 0)
    {
        if (ReloadRoutingConfiguration())
        {
            SetHardwareConfiguration();
            // Back from a configuration without static mode the modules take the static state.
            SwitchModuleConfigurations(true);
            StoreEvent("StaticFO configuration is changed", "Copy machines");
        }
        else
        {
            QwHwMode = 0;
            StoreEvent("Error while setting up new StaticFO configuration", "Copy machines");
            throw CQTXError("ExecutionError", "Error while executing configuration", "", 0, Error,
                            "GeneralError");
        }
    }
    WriteToLogfile(std::string("StaticFO mode is ") + QwModeName());
    return 0;
}
