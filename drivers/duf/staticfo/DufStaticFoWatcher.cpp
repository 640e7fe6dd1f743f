// A new static fiber-optic configuration while the driver runs: a client places the file at the
// working copy, the watcher thread notices its new modification time and asks the driver, on
// its own port, to reconfigure. The Reconfigure request checks the file, stores it through the
// system driver (or takes the stored one back), lays out the frame and programs all paths.
//
// The driver writes the working copy itself when it puts a refused file back and on a factory
// reset. The watcher knows such a file by its stamp (modification time and size), noted when it
// was written, so that an upload that comes before the watcher's next pass is still applied.
#include <chrono>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXDuf.h"
#include "QTXGlobal.h"
#include "QTXMessages.h"
#include "QTXReport.h"

namespace
{
const char kUnit[] = "Duf4Marlott";
constexpr int kReconfigureTag = 70;
constexpr int kPassSeconds = 5;
constexpr int kStoreTimeoutMs = 2000;

// The stamp of the driver's own last write of the working copy. The watcher may still run while
// the driver object goes, so the mutex lives as long as the process.
pthread_once_t g_tOwnWriteOnce = PTHREAD_ONCE_INIT;
pthread_mutex_t g_tOwnWriteMutex;
StaticFoFileStamp g_tOwnWrite;

pthread_mutex_t* OwnWriteMutex()
{
    pthread_once(&g_tOwnWriteOnce, [] { NyMutexCreatePrivate(&g_tOwnWriteMutex); });
    return &g_tOwnWriteMutex;
}

// The name of the first error in the answer to a Reconfigure request; empty when it carries
// none.
std::string ReconfigureFailure(const std::string& replyFile)
{
    CQTXXml reply;
    if (!reply.LoadFile(replyFile.c_str(), "Reconfigure"))
        return "";
    XMLNode errors = reply.GetXMLNodeRoot().getChildNode("Errors");
    if (errors.isEmpty())
        return "";
    const XMLNode error = errors.getChildNode("Error");
    if (error.isEmpty())
        return "";
    const std::string name = CharPointerToString(error.getAttribute("Name"));
    return name.empty() ? "Error" : name;
}

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
        StaticFoFileStamp stamp;
        if (!ReadStaticFoFileStamp(file, stamp))
            continue;
        const bool own = IsOwnStaticFoWrite(stamp);
        driver->WriteToLogfile(std::string("[") + kStaticFoWorkingCopy + ":" +
                               std::to_string(stamp.Time / 1000000000) +
                               "] Ignore=" + (own ? "true" : "false"));
        if (remembered == -1)
            remembered = stamp.Time;
        else if (stamp.Time != remembered)
        {
            if (own)
            {
                ForgetOwnStaticFoWrite();
                remembered = stamp.Time;
            }
            else if (duf->NewStaticFOConfig())
                remembered = stamp.Time;
        }
    }
    return true;
}
} // namespace

bool ReadStaticFoFileStamp(const std::string& path, StaticFoFileStamp& stamp)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return false;
    stamp.Time = int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
    stamp.Size = static_cast<int64_t>(status.st_size);
    return true;
}

void NoteOwnStaticFoWrite(const StaticFoFileStamp& stamp)
{
    LockGuard guard(OwnWriteMutex());
    guard.Lock();
    g_tOwnWrite = stamp;
}

bool IsOwnStaticFoWrite(const StaticFoFileStamp& stamp)
{
    LockGuard guard(OwnWriteMutex());
    guard.Lock();
    return g_tOwnWrite.Time == stamp.Time && g_tOwnWrite.Size == stamp.Size;
}

void ForgetOwnStaticFoWrite()
{
    NoteOwnStaticFoWrite(StaticFoFileStamp());
}

void CDuf::StartStaticFoWatcher()
{
    StartThread(StaticFOConfigThread, nullptr, 0, 0);
}

bool CDuf::NewStaticFOConfig()
{
    // A client may still be writing the file.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const std::string reply = FileNameToAbsolutePath("ReconfigureReply.xml");
    unlink(reply.c_str());
    if (!SendStringToDriver(sXmlStart + "<Reconfigure/>", 2000, DUF_PORT, reply))
    {
        WriteToLogfile("ERROR: Update of StaticFO configuration failed!");
        return false;
    }
    const std::string failure = ReconfigureFailure(reply);
    if (failure.empty())
    {
        WriteToLogfile("Update of StaticFO configuration done");
        return true;
    }
    WriteToLogfile("ERROR: Update of StaticFO configuration failed!");
    // A file the hub could not store is tried again on the next pass, so that it is in flash
    // once the hub can write again. A file that was stored but could not be applied would fail
    // the same way again: the next upload is the next try.
    return failure != StoreConfigurationError().ErrorText();
}

bool CDuf::WriteOwnWorkingCopy(const std::string& source)
{
    // The stamp is noted before the file takes its place, so that the watcher never sees it
    // unknown; the rename keeps the time and size of what was written.
    return ReplaceFile(PlatPath(std::string(kStaticFoWorkingCopy)),
                       [this, &source](const std::string& file)
                       {
                           StaticFoFileStamp stamp;
                           if (!CopyFile(file, source) || !ReadStaticFoFileStamp(file, stamp))
                               return false;
                           NoteOwnStaticFoWrite(stamp);
                           return true;
                       });
}

void CDuf::TakeStaticFoFactoryDefault()
{
    WriteToLogfile("[" + std::to_string(QTXFunctionLogDepth()) +
                   "] Function ParseAndCheckConfiguration(), step StaticFO: FactoryDefault");
    const std::string stored = GetConfigurationPath() + kStaticFoStoredName;
    if (!CopyFile(stored, FileNameToAbsolutePath(kStaticFoFactoryName)) ||
        !WriteOwnWorkingCopy(stored))
        WriteToLogfile("ERROR: the StaticFO factory default cannot be copied");
}

bool CDuf::StoreConfigurationThroughHub()
{
    // The hub answers "Done" once the configuration directory is in flash.
    return StoreConfigurationAtSystem(kStoreTimeoutMs, FileNameToAbsolutePath("StoreCfgReply.xml"));
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
        if (!CopyFile(stored, working) || !StoreConfigurationThroughHub())
        {
            // The new values are in force, but the next start takes the stored ones: the client
            // is told.
            WriteToLogfile("ERROR: Storing of the StaticFO configuration failed!");
            throw StoreConfigurationError();
        }
    }
    else
    {
        WriteToLogfile("[" + std::to_string(QTXFunctionLogDepth()) +
                       "] Function ProcessUnknownXmlTag(), step StaticFO: Error");
        // The stored copy is read, not the working copy: a client may upload again meanwhile,
        // and that upload is the watcher's to take.
        if (!WriteOwnWorkingCopy(stored) || !ReadQWConfig4ZTM(stored, false))
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
