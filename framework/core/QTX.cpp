// Life cycle of the driver base class: construction, start-up, the main loop of a simple
// driver, the communication thread and the release of the process's resources.
#include "QTX.h"

#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "RyxFpga.h"

namespace
{
bool IsUserBreak(const CQTXError& error)
{
    return SameString(error.ErrorText(), "UserBreak");
}

bool IsAsciiLetterOrDigit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool EndsWith(const std::string& text, const std::string& ending)
{
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// Sets a flag for the life of a scope, also when the scope is left by an exception.
class CFlagScope
{
public:
    explicit CFlagScope(std::atomic<bool>& flag) : m_rFlag(flag) { m_rFlag = true; }
    ~CFlagScope() { m_rFlag = false; }

private:
    std::atomic<bool>& m_rFlag;
};
} // namespace

CQTX::CQTX()
{
    // The root directory is a fixed path of the device; on a simulated device it lies inside
    // the simulation directory. Mapping a path that is already mapped leaves it as it is.
    sQTXRootDirectory = PlatPath(sQTXRootDirectory);
    sConfigurationDirectory = sQTXRootDirectory + "Configuration" + sQTXDirectorySeperator;
    RyxFpgaOpen();
    NyMutexCreatePrivate(&tThreadCountMutex);
    NyMutexCreatePrivate(&tConfigMutex);
    NyMutexCreatePrivate(&tLogFileMutex);
}

CQTX::~CQTX()
{
    // From here on a SIGTERM must not reach this half-destroyed object.
    ClearGlobalQTX(this);
    ReleaseOsResource();
    CloseRequestRing();
    RyxFpgaClose();
    free(ptVersionInfo);
    pthread_mutex_destroy(&tThreadCountMutex);
    pthread_mutex_destroy(&tConfigMutex);
    pthread_mutex_destroy(&tLogFileMutex);
}

void CQTX::Init(const std::string& directory, int slot, const std::string& debugAddress,
                bool hardware)
{
    SetGlobalQTX(this);
    SetSignalTerm();

    sDebugAddress = debugAddress;
    bSimulate = !hardware;

    sDirectory = directory.empty() ? sQTXRootDirectory : directory;
    if (!EndsWith(sDirectory, sQTXDirectorySeperator))
        sDirectory += sQTXDirectorySeperator;
    // A driver started on a fresh device makes its directory: the replies of its start-up
    // requests (user configuration, the hub's identity, other drivers' answers) are kept there.
    MakeDirectoriesOf(sDirectory);

    ulPort = PortFromSlot(slot, iSlot);

    WriteToLogfile("--->Driver started on slot " + std::to_string(slot) + "<---");
    bBooting = true;

    sModuleName = GetModuleName();
    sFileName = sModuleName;
    for (char& c : sFileName)
        if (!IsAsciiLetterOrDigit(c))
            c = '_';

    if (!debugAddress.empty())
        SetDebugSocket(debugAddress);

    // A store cut short by the end of the previous run left its fresh file; no thread of this
    // run stores anything yet.
    RemoveInterruptedStores();
    InitCQTX();
    BootHardware();
    ProcessStampData();

    int setIndex = 0;
    sCurrentRequestFile = GetConfigurationFileName(setIndex);
    if (!sCurrentRequestFile.empty() && setIndex >= 0 && setIndex <= 9)
        LoadStartupConfiguration(setIndex);

    if (ulPort != 0)
        ServerSocketThread(false);
    bBooting = false;

    if (ulPort > QTX_SYSTEM_PORT)
        RegisterDevice();

    WriteToLogfile("--->Driver " + sModuleName + " started on slot " + std::to_string(slot) +
                   " without errors<---");
}

void CQTX::LoadStartupConfiguration(int setIndex)
{
    const std::string configurationFile = sCurrentRequestFile;
    LockGuard guard(&tConfigMutex);
    ConfigThreadLock(guard);
    try
    {
        if (LoadCommandFile(configurationFile.c_str(), QTX_TAG_MODULE) == 0 &&
            ParseAndCheckConfiguration(setIndex))
        {
            SetHardwareConfiguration();
        }
        else
        {
            // Why the file did not load, when the parser said so.
            if (!tXmlCommandFile.GetParseError().empty())
                WriteToLogfile("Stored configuration " + configurationFile +
                               " not loaded: " + tXmlCommandFile.GetParseError());
            WriteToLogfile("Error thrown, invalid or not existing config file!");
            throw CQTXError("", "", nullptr, 0, Error, "GeneralError");
        }
    }
    catch (CQTXError& error)
    {
        WriteToLogfile("InitError=" + error.ErrorText() + ":" + error.ErrorParameter() +
                       " File=" + error.ErrorLocation());
        // The stored configuration is missing or unusable: start with the factory defaults,
        // which also replace the stored files.
        const std::string factoryFile = GetFactorySettingFileName();
        if (!factoryFile.empty())
        {
            CFlagScope factoryDefault(bFactoryDefault);
            CopyFactoryDefault(factoryFile, configurationFile);
            if (LoadCommandFile(configurationFile.c_str(), QTX_TAG_MODULE) == 0 &&
                ParseAndCheckConfiguration(setIndex))
            {
                SetHardwareConfiguration();
                if (setIndex >= 0 && setIndex <= 9)
                    StoreConfiguration(configurationFile, setIndex);
            }
        }
    }
    ConfigThreadUnlock(guard);
    FreeCommandFileMemory();
}

int CQTX::RunQTXDriver(int argc, char** argv, int defaultSlot)
{
    try
    {
        Init(argc, argv, defaultSlot);
    }
    catch (CQTXError& error)
    {
        if (!IsUserBreak(error))
            SetModuleError(error);
        return 1;
    }

    if (ulPort == 0)
    {
        // Without a port there is no request to serve: rather than failing to open a server
        // socket over and over, the driver waits here until SIGTERM ends it.
        WriteToLogfile("RunQTXDriver() has no port to serve: waiting to be stopped");
        for (;;)
            pause();
    }
    return ServeUntilUserBreak();
}

int CQTX::ServeUntilUserBreak()
{
    bool run = true;
    while (run)
    {
        try
        {
            heap_minimize();
            LogMemoryInfo("Memory usage while waiting for communication");
            DoCommunication(false, false);
        }
        catch (CQTXError& error)
        {
            WriteToLogfile("RunQTXDriver() got error " + error.ErrorText());
            if (IsUserBreak(error))
                run = false;
            else
                SendErrorMessage(error, false);
        }
    }

    // The stop was orderly; a hub that cannot be told about it does not change that.
    try
    {
        UnregisterDevice();
    }
    catch (CQTXError& error)
    {
        SendErrorMessage(error, false);
    }
    DebugOutput("Driver " + sModuleName + " finished.\n");
    return 0;
}

QTXThreadHandle CQTX::DoCommunication(bool loop, bool asThread)
{
    QTXThreadHandle handle{};
    handle.bValid = false;
    if (!asThread)
    {
        do
        {
            ServerSocketThread(true);
        } while (loop);
        return handle;
    }
    // A delta below -99 leaves the thread's scheduling as inherited.
    handle = StartThread(QTXCommunicationThread, nullptr, loop ? 1 : 0, -1000000);
    tCommunicationThread = handle.tThread;
    bCommunicationThreadValid = handle.bValid;
    return handle;
}

bool QTXCommunicationThread(CQTX* driver, void* /*argument*/, int loop)
{
    do
    {
        try
        {
            driver->DoCommunication(false, false);
        }
        catch (CQTXError& error)
        {
            if (IsUserBreak(error))
                loop = 0;
            else
                driver->SendErrorMessage(error, false);
        }
    } while (loop && driver->ContinueThread());
    return true;
}

void CQTX::StopCommunication()
{
    bCommunicationThreadValid = false;
    // A thread blocked in accept or receive on these sockets is woken by the shutdown; a close
    // alone would leave it blocked on the old socket.
    if (tCommandServer.ServerStarted())
        shutdown(tCommandServer.GetServerSocket(), SHUT_RDWR);
    if (tCommandServer.Available())
        shutdown(tCommandServer.GetSocket(), SHUT_RDWR);
    tCommandServer.CloseServerSocket();
    tCommandServer.Close();
}

void CQTX::ReleaseOsResource()
{
    EndAllThreads();
    if (ulPort > QTX_SYSTEM_PORT)
    {
        // The release also runs from the destructor and the SIGTERM path, where an error has
        // nowhere to go: report it and finish the release.
        try
        {
            UnregisterDevice();
        }
        catch (CQTXError& error)
        {
            SendErrorMessage(error, false);
        }
    }
    StopCommunication();
    tDebugReceiver.Close();
    StopDevMsgService();

    for (int i = 0; i < 20 && ThreadCounter(0) > 0; ++i)
        usleep(100000);
    if (ThreadCounter(0) != 0)
        WriteToLogfile(
            "~CQTX Error: Some threads are still active after the QTX class destructor ended");
}

void CQTX::Terminate()
{
    ReleaseOsResource();
}

void CQTX::ConfigurationDone() {}

void CQTX::ProcessUserConfig(const std::string& /*value*/) {}

void CQTX::ConfigThreadLock(LockGuard& /*guard*/) {}

void CQTX::ConfigThreadUnlock(LockGuard& /*guard*/) {}

void CQTX::AllowBinConfiguration(uint8_t first, uint8_t second, bool xmlAllowed)
{
    bBinConfigAllowed = true;
    bXmlConfigAllowed = xmlAllowed;
    ucBinCheckFirst = first;
    ucBinCheckSecond = second;
}

void CQTX::LogMemoryInfo(const char* /*caption*/) {}

void CQTX::SetBPBSimulationBuffer(unsigned char* buffer, uint32_t length)
{
    pBpbSimulationBuffer = buffer;
    ulBpbSimulationSize = length;
}
