// The system driver's process: the object and its start-up (identity from the EEPROM image,
// named shared memory, front-panel GPIO), the hardware start, and the serving loop with the
// steps that run between requests (a pending reboot, a pending lock of an incompatible module).
#include "QTXSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Bpbm.h"
#include "Cdi.h"
#include "Dfcm.h"
#include "FpgaPlatform.h"
#include "InterProc.h"
#include "ModuleMemory.h"
#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXMessages.h"
#include "QTXShell.h"
#include "QTXVersion.h"
#include "RyxFpga.h"
#include "nyDebug.h"

namespace
{
// Layout of the EEPROM image: serial number, product name and ordering number texts, the
// hardware version text and the MAC address. Each text ends at its first zero byte or at the
// end of its field.
constexpr size_t kEepromSerialOffset = 16;
constexpr size_t kEepromSerialLength = 15;
constexpr size_t kEepromNameOffset = 32;
constexpr size_t kEepromNameLength = 31;
constexpr size_t kEepromOrderOffset = 64;
constexpr size_t kEepromOrderLength = 31;
constexpr size_t kEepromHardwareOffset = 128;
// The hardware version field ends where the MAC address begins.
constexpr size_t kEepromHardwareLength = 16;
constexpr size_t kEepromMacOffset = 144;

// Bus words of the system driver.
constexpr int32_t kBusWordLeds = 12;
constexpr int32_t kBusWordReset = 0x170004;

// The serving loop waits this long for the polling threads at the end; the discovery thread
// notices the end only after its receive time of 16 s.
constexpr int kThreadStopTimeoutMs = 20000;

// Pins of "/dev/gpio" that the hardware start requests, in this order.
const int kBootGpioPins[] = {38, 38, 40, 40, 41, 41, 80, 81, 82, 83, 84, 85, 86, 87};

bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

bool IsLetterOrDigit(unsigned char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The text of a field of the image: from offset up to its first zero byte, at most `length`
// bytes.
std::string ImageText(const unsigned char* image, size_t offset, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length && offset + i < SYSTEM_EEPROM_IMAGE_BYTES; ++i)
    {
        if (image[offset + i] == 0)
            break;
        text += static_cast<char>(image[offset + i]);
    }
    return text;
}

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    const size_t length = strlen(prefix);
    return text.size() >= length && SameString(text.substr(0, length), prefix);
}
} // namespace

void SystemSleepMs(int milliseconds)
{
    timespec rest{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
    {
    }
}

// ---- Identity from the EEPROM image

SystemEepromIdentity DecodeSystemEeprom(const unsigned char* data, size_t count, bool keepText)
{
    SystemEepromIdentity identity;
    unsigned char image[SYSTEM_EEPROM_IMAGE_BYTES] = {};
    if (data == nullptr)
        count = 0;
    if (count > 0)
        memcpy(image, data, count < sizeof image ? count : sizeof image);

    identity.bImageComplete = count >= SYSTEM_EEPROM_IMAGE_BYTES;
    identity.aucCheckedBytes[0] = image[kEepromOrderOffset];
    identity.aucCheckedBytes[1] = image[kEepromOrderOffset + 1];
    identity.aucCheckedBytes[2] = image[kEepromOrderOffset + 2];
    identity.aucCheckedBytes[3] = image[kEepromNameOffset];
    identity.aucCheckedBytes[4] = image[kEepromSerialOffset];
    identity.bImageValid =
        identity.bImageComplete && IsDigit(image[kEepromOrderOffset]) &&
        IsDigit(image[kEepromOrderOffset + 1]) && image[kEepromOrderOffset + 2] == '.' &&
        IsLetterOrDigit(image[kEepromNameOffset]) && IsDigit(image[kEepromSerialOffset]);

    if (count > SYSTEM_EEPROM_IMAGE_BYTES)
    {
        identity.bTextRead = true;
        if (keepText)
        {
            // The text ends where the erased part of the EEPROM (0xFF) begins. A zero byte
            // ends it too: it could not stand in the XML document the text goes into.
            const size_t available = count - SYSTEM_EEPROM_IMAGE_BYTES;
            const size_t length =
                available < SYSTEM_EEPROM_TEXT_BYTES ? available : SYSTEM_EEPROM_TEXT_BYTES;
            const unsigned char* text = data + SYSTEM_EEPROM_IMAGE_BYTES;
            for (size_t i = 0; i < length && text[i] != 0xFF && text[i] != 0; ++i)
                identity.sText += static_cast<char>(text[i]);
        }
    }

    if (!identity.bImageValid)
    {
        identity.sName = "unknown";
        identity.sOrderingNumber = "unknown";
        identity.sSerialNumber = "000000000000000";
        return identity;
    }

    identity.sSerialNumber = ImageText(image, kEepromSerialOffset, kEepromSerialLength);
    identity.sName = ImageText(image, kEepromNameOffset, kEepromNameLength);
    identity.sOrderingNumber = ImageText(image, kEepromOrderOffset, kEepromOrderLength);
    identity.sHardwareVersion = ImageText(image, kEepromHardwareOffset, kEepromHardwareLength);

    memcpy(identity.aucMac, image + kEepromMacOffset, sizeof identity.aucMac);
    bool allZero = true;
    bool allBlank = true;
    for (uint8_t byte : identity.aucMac)
    {
        allZero = allZero && byte == 0;
        allBlank = allBlank && byte == ' ';
    }
    identity.bMacUsable = (identity.aucMac[0] & 0x01) == 0 && !allZero && !allBlank;
    return identity;
}

std::string BuildSystemInfoBlock(const SystemEepromIdentity& identity)
{
    if (!identity.sText.empty() && identity.sText.find("<Name>") != std::string::npos)
        return identity.sText;

    if (identity.bTextRead && !StartsWithNoCase(identity.sName, "qorKOVE-S"))
    {
        return "\n\t<SystemInfo>\n"
               "\t\t<Name>" +
               EscapeXmlValue(identity.sName) +
               "</Name>\n"
               "\t\t<OrderingNumber>" +
               EscapeXmlValue(identity.sOrderingNumber) +
               "</OrderingNumber>\n"
               "\t\t<SerialNumber>" +
               EscapeXmlValue(identity.sSerialNumber) +
               "</SerialNumber>\n"
               "\t\t<VersionHW>" +
               EscapeXmlValue(identity.sHardwareVersion.substr(0, 2)) +
               "</VersionHW>\n"
               "\t\t<NumberOfModuleSlots>1</NumberOfModuleSlots>\n"
               "\t</SystemInfo>\n";
    }

    return "\n\t<SystemInfo>\n"
           "\t\t<Name>qorKOVE-Z-TM</Name>\n"
           "\t\t<OrderingNumber>(see modules)</OrderingNumber>\n"
           "\t\t<SerialNumber>(see modules)</SerialNumber>\n"
           "\t\t<VersionHW>--</VersionHW>\n"
           "\t\t<NumberOfModuleSlots>4</NumberOfModuleSlots> <!-- CPU does not count here-->\n"
           "\t</SystemInfo>\n";
}

std::string AddVersionsToSystemInfo(const std::string& block, const std::string& firmwareVersion,
                                    std::string& hardwareVersion)
{
    const size_t end = block.find("</SystemInfo>");
    if (end == std::string::npos || end == 0)
        return block;

    std::string result = block;
    const std::string versionSW = "\t<VersionSW Status=\"" +
                                  std::string(firmwareVersion.empty() ? "missing" : "OK") + "\">" +
                                  EscapeXmlValue(firmwareVersion) + "</VersionSW>\n\t";
    result.insert(end, versionSW);

    const size_t versionHW = block.find("<VersionHW>");
    if (versionHW == std::string::npos || versionHW > end)
    {
        result.insert(end + versionSW.size(), "\t<VersionHW>--</VersionHW>\n\t");
        hardwareVersion.clear();
    }
    else
    {
        // Two characters, fewer when the value is shorter.
        const size_t value = versionHW + strlen("<VersionHW>");
        hardwareVersion.clear();
        for (size_t i = value; i < block.size() && i < value + 2 && block[i] != '<'; ++i)
            hardwareVersion += block[i];
    }
    return result;
}

bool GetSystemInfoValue(const std::string& block, const char* tag, std::string& value)
{
    const std::string open = std::string("<") + tag + ">";
    const std::string close = std::string("</") + tag + ">";
    const size_t start = block.find(open);
    if (start == std::string::npos)
        return false;
    const size_t end = block.find(close, start + open.size());
    if (end == std::string::npos)
        return false;
    value = block.substr(start + open.size(), end - start - open.size());
    return true;
}

int32_t OrderingNumberFromText(const std::string& text)
{
    if (text.size() < 3 || text[2] != '.')
        return 0;
    return StringToInt(text.substr(0, 2)) * 1000000 + StringToInt(text.substr(3, 6));
}

// ---- The driver object

CSystem::CSystem()
{
    // Recursive, so that an operation holding it may use the accessors that take it.
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&tRegistryMutex, &attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_NORMAL);
    pthread_mutex_init(&tFlashStoreMutex, &attributes);
    // The watchdog list's lock exists before any thread or request can use it.
    pthread_mutex_init(&tWatchdogMutex, &attributes);
    pthread_mutex_init(&tSharedMemoryMutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

CSystem::~CSystem()
{
    // A SIGTERM from here on must not reach the object being destroyed.
    ClearGlobalQTX(this);
    StopNbnsEasyThread();
    // The threads read the members below: they end before anything is freed.
    if (!StopSystemThreads(kThreadStopTimeoutMs))
        WriteToLogfile("~CSystem: some threads are still running");
    if (iGPIOFile >= 0)
        PlatClose(iGPIOFile);
    iGPIOFile = -1;
    ReleaseSharedMemories();
    CloseNSMemory(pSharedMemoryList);
    pSharedMemoryList = nullptr;
    CloseNSMemory(pHeldRecord);
    pHeldRecord = nullptr;
    if (bDevicesOpen)
        CloseDevices();
    pthread_mutex_destroy(&tRegistryMutex);
    pthread_mutex_destroy(&tFlashStoreMutex);
    pthread_mutex_destroy(&tWatchdogMutex);
    pthread_mutex_destroy(&tSharedMemoryMutex);
}

std::string CSystem::GetModuleName()
{
    return "System";
}

std::string CSystem::GetDUFConfigurationFileName()
{
    return "";
}

void CSystem::OpenDevices()
{
    RyxFpgaOpen();
    CdiOpen();
    InterProcOpen();
    bDevicesOpen = true;
}

void CSystem::CloseDevices()
{
    if (!bDevicesOpen)
        return;
    RyxFpgaClose();
    CdiClose();
    InterProcClose();
    bDevicesOpen = false;
}

bool CSystem::WritePnDriver(const void* data, size_t length)
{
    const int device = PlatOpen("/dev/pndrv", O_RDWR);
    if (device < 0)
        return false;
    const bool written = PlatWrite(device, data, length) == static_cast<ssize_t>(length);
    PlatClose(device);
    return written;
}

// ---- Start-up

void CSystem::InitCQTX()
{
    QTX_FUNCTION_LOG();
    if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS)
        nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "CSystem::InitCQTX start");

    // The hub serves port 62000 whatever the command line says, and reaches the bus with
    // relative and absolute addresses alike.
    ulPort = static_cast<uint32_t>(SYSTEM_PORT);
    ulBpbBaseAddress = 0;

    LockGuard registryLock(&tRegistryMutex);
    registryLock.Lock();
    for (std::string& error : asModuleError)
        error.clear();
    vRegistry.clear();
    uModuleSlotMask = 0;
    uSoftwareModuleMask = 0;
    bIdentifyChanged = true;
    iOrderingNumber = 0;
    iSerialNumber = 0;
    iLockPort = 0;
    sLockName.clear();
    acHostName[0] = 0;
    acAliasName[0] = 0;
    dCpuSamplingPeriodInUs = -10.0;
    dFiberOpticSamplingPeriodInUs = 0.0;
    dSamplingPeriodInUs = -1.0;
    bRebootPending = false;
    bConfigSaveForbidden = false;
    bFastBlinking = false;
    bButtonLed = false;
    iLedTestMode = 0;
    iHexSwitchInUse = -1;
    registryLock.Unlock();

    // What a killed hub still held goes; the directory of named shared memories starts empty,
    // with its change counter at 1.
    RemoveLeftSharedMemories();
    pSharedMemoryList = OpenNSMemory(SYSTEM_SHM_DIRECTORY_NAME,
                                     QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE,
                                     static_cast<int>(SYSTEM_SHM_DIRECTORY_BYTES));
    if (pSharedMemoryList == nullptr)
    {
        // The hub runs on without the directory; drivers asking for named memories are told.
        const int error = errno;
        WriteToLogfile("Note: No shared memory available");
        SendErrorMessage(CQTXError("NoSharedMemory",
                                   std::string("Named shared memory ") + SYSTEM_SHM_DIRECTORY_NAME +
                                       " cannot be set up: " + strerror(error),
                                   __FILE__, __LINE__, Warning, "GeneralError"),
                         false);
    }
    else
    {
        unsigned char* directory =
            static_cast<unsigned char*>(GetNSMemoryPointer(pSharedMemoryList));
        memset(directory, 0, SYSTEM_SHM_DIRECTORY_BYTES);
        directory[0] = 1;
    }

    if (IsStartupMode())
    {
        pTransferBuffer.reset(new unsigned char[1424]());
        if (CdiIsSetToFactoryDef() != 0)
        {
            // The hardware asks for factory defaults: the marker over the start of the data
            // partition makes the restore below find no stored configuration.
            unsigned char marker[32];
            memset(marker, 0xFF, 16);
            memcpy(marker + 16, "Factory-Default", 16);
            int written = -1;
            const int partition = PlatOpen("/dev/mtd_data", O_RDWR);
            if (partition >= 0)
            {
                written = static_cast<int>(PlatWrite(partition, marker, sizeof marker));
                PlatClose(partition);
            }
            printf("\n****Set Factory Default: Write %d*****\n", written);
            fflush(stdout);
            if (GetHWFamily() == QTX_HW_FAMILY_PNA)
                WritePnDriver("factorydefall", 14);
        }
        // The boot's start-up run fills the configuration directory from flash; the resident
        // hub that follows it works with the files it finds.
        RestoreConfigurationFromFlash(this);
    }

    // Identity from the EEPROM file: the image and the SystemInfo text behind it.
    unsigned char eeprom[SYSTEM_EEPROM_IMAGE_BYTES + SYSTEM_EEPROM_TEXT_BYTES];
    size_t eepromBytes = 0;
    if (FILE* file = fopen(FileNameToAbsolutePath(sEepromFileName).c_str(), "rb"))
    {
        eepromBytes = fread(eeprom, 1, sizeof eeprom, file);
        fclose(file);
    }
    const SystemEepromIdentity identity =
        DecodeSystemEeprom(eeprom, eepromBytes, GetHWFamily() != QTX_HW_FAMILY_WAG);
    if (identity.bImageComplete && !identity.bImageValid)
        printf("EEPROM - not valid: OrderNum: 0x%02X 0x%02X 0x%02X; Name: 0x%02X; SerialNum: "
               "0x%02X\n",
               identity.aucCheckedBytes[0], identity.aucCheckedBytes[1],
               identity.aucCheckedBytes[2], identity.aucCheckedBytes[3],
               identity.aucCheckedBytes[4]);
    if (!identity.bImageValid)
        puts("EEPROM not valid!");
    fflush(stdout);
    bMacAddressUsable = identity.bMacUsable;
    memcpy(aucMacAddress, identity.aucMac, sizeof aucMacAddress);

    std::string systemInfo = BuildSystemInfoBlock(identity);

    vCompatibilityList.clear();
    LoadCompatibilityList(this, "/tmp/Compatibility.xml");

    if (!IsStartupMode())
    {
        sFirmwareVersion = GetCompatibilityVersion(this, "");
        StoreEvent(identity.sName, "Device name      ");
        StoreEvent(identity.sSerialNumber, "Serial number    ");
        StoreEvent(identity.sHardwareVersion, "Hardware version ");
        StoreEvent(sFirmwareVersion, "Firmware version ");
    }

    std::string hardwareVersion;
    const size_t end = systemInfo.find("</SystemInfo>");
    if (end != std::string::npos && end > 0)
    {
        sFirmwareVersion = GetCompatibilityVersion(this, "");
        systemInfo = AddVersionsToSystemInfo(systemInfo, sFirmwareVersion, hardwareVersion);
    }

    std::string deviceName;
    if (!GetSystemInfoValue(systemInfo, "Name", deviceName))
        deviceName = "unknown";
    std::string text;
    const int32_t orderingNumber =
        GetSystemInfoValue(systemInfo, "OrderingNumber", text) ? OrderingNumberFromText(text) : 0;
    const int32_t serialNumber =
        GetSystemInfoValue(systemInfo, "SerialNumber", text) ? StringToInt(text) : 0;

    registryLock.Lock();
    sSystemInfo = systemInfo;
    sDeviceName = deviceName;
    sHardwareVersion = hardwareVersion;
    iOrderingNumber = orderingNumber;
    iSerialNumber = serialNumber;
    registryLock.Unlock();

    uFirmwareVersionNumber = FirmwareVersionToUINT32(sFirmwareVersion.c_str());
    acVersionHW[0] = hardwareVersion.size() > 0 ? hardwareVersion[0] : 0;
    acVersionHW[1] = hardwareVersion.size() > 1 ? hardwareVersion[1] : 0;

    iGPIOFile = PlatOpen("/dev/gpio", O_RDWR);

    if (StartsWithNoCase(sDeviceName, "qorKOVE-8"))
        bIsKove8 = true;
    else if (StartsWithNoCase(sDeviceName, "qorKOVE-D"))
        BPBWriteWord(kBusWordLeds, 0x80000000u, false);

    // The product's network settings, interface and host names; without a usable MAC address
    // requests cannot change them.
    InitNetwork();

    if (IsStartupMode())
    {
        // The boot script reads the device name from this file.
        const std::string nameFile = PlatPath(FileNameToAbsolutePath(sStartupText));
        if (FILE* file = fopen(nameFile.c_str(), "w"))
        {
            fputs((sDeviceName + "\n").c_str(), file);
            fclose(file);
        }
        else
        {
            WriteToLogfile("Can not write the device name to " + nameFile);
        }
        // The interface gets the MAC address of the EEPROM; the fiber-optic converter also
        // gives "eth0" one made from its serial number.
        if (bMacAddressUsable)
        {
            SetMacAddress(aucMacAddress, acInterfaceName);
            if (iOrderingNumber == 53400000)
            {
                const uint8_t mac[6] = {0x02,
                                        0x10,
                                        0xC4,
                                        0xFF,
                                        static_cast<uint8_t>(0xC0 + ((iSerialNumber >> 8) & 0x0F)),
                                        static_cast<uint8_t>(iSerialNumber & 0xFF)};
                SetMacAddress(mac, "eth0");
            }
        }
    }
}

void CSystem::BootHardware()
{
    QTX_FUNCTION_LOG();
    const int family = GetHWFamily();
    // Families 1 and 2 start their FPGA units, the bus master and the timers.
    if (family == 1 || family == QTX_HW_FAMILY_880)
    {
        TesraInit(0);
        BpbmInit(0, 0, 1);
        DfcmControlTimer(15, 15);
    }
    else if (family == QTX_HW_FAMILY_DAQ)
        BPBWriteWord(kBusWordReset, 0, false);

    if (iGPIOFile >= 0)
        for (int pin : kBootGpioPins)
            PlatIoctl(iGPIOFile, 0, reinterpret_cast<void*>(static_cast<uintptr_t>(pin)));

    const uint32_t leds = BPBReadWord(kBusWordLeds, true);
    BPBWriteWord(kBusWordLeds, leds & ~0x00000F00u, true);

    printf("End Of BootHardware, iGPIOFile %d\n", iGPIOFile);
    fflush(stdout);
}

// ---- Process

int CSystem::RunSystemDriver(int argc, char** argv)
{
    OpenDevices();
    int status = 0;
    try
    {
        Init(argc, argv, SYSTEM_PORT);
        InitDevMsgDebug(SYSTEM_DEBUG_PORT, 8160, 8);
        if (IsStartupMode())
        {
            CloseDevices();
            return 0;
        }
        StartSystemThreads();
        while (ContinueThread())
            ServeOneRequest();
    }
    catch (CQTXError& error)
    {
        SendErrorMessage(error, false);
        puts("System:catch");
        fflush(stdout);
        status = 1;
    }

    if (!StopSystemThreads(kThreadStopTimeoutMs))
    {
        // A thread that did not end may still use the object: end without freeing it.
        WriteToLogfile("System: threads still running at the end");
        fflush(nullptr);
        _exit(status);
    }
    CloseDevices();
    return status;
}

void CSystem::StartSystemThreads()
{
    const QTXThreadFunction threads[] = {MyUDPThread, MyLedThread, MyHexSwitchThread, MyFlexThread,
                                         MyWatchdogThread};
    for (QTXThreadFunction thread : threads)
        if (!StartThread(thread, nullptr, 0, -1000000).bValid)
            throw CQTXError("StarupError", "Can not start threads", "./10_System", 692, Error,
                            "GeneralError");
}

bool CSystem::StopSystemThreads(int timeoutMs)
{
    EndAllThreads();
    const double deadline = GetMonotonicTime() + timeoutMs / 1000.0;
    while (ThreadCounter(0) > 0)
    {
        if (GetMonotonicTime() >= deadline)
            return false;
        SystemSleepMs(10);
    }
    return true;
}

void CSystem::ServeOneRequest()
{
    std::string failure;
    try
    {
        DoCommunication(false, false);
    }
    catch (CQTXError& error)
    {
        // A factory default of a hub without factory defaults of its own: the framework has
        // no configuration to load, store and answer with and ends the request with
        // "CanNotStoreFile". Missing factory files are skipped; the reset of the device goes
        // on and its thread answers the client.
        const bool noDefaultsOfItsOwn =
            bFactoryDefaultPending && SameString(error.ErrorText(), "CanNotStoreFile") &&
            access(FileNameToAbsolutePath(CQTX::GetFactorySettingFileName()).c_str(), F_OK) != 0;
        if (!noDefaultsOfItsOwn)
        {
            WriteToLogfile("System Communication ERROR");
            if (SameString(error.ErrorText(), "UserBreak"))
                EndAllThreads();
            else
                SendErrorMessage(error, false);
            failure = error.ErrorText() + ": " + error.ErrorParameter();
        }
    }
    if (bFactoryDefaultPending)
    {
        // The hub's factory defaults, when it has them, must be in place now.
        int setIndex = 0;
        const std::string factory = FileNameToAbsolutePath(CQTX::GetFactorySettingFileName());
        const std::string configuration =
            FileNameToAbsolutePath(CQTX::GetConfigurationFileName(setIndex));
        if (failure.empty() && access(factory.c_str(), F_OK) == 0 &&
            access(configuration.c_str(), F_OK) != 0)
            failure = "The factory defaults of the system driver could not be put in place";
        FinishFactoryDefault(!failure.empty(), failure);
    }
    ProcessPendingReboot();
    SendPendingLock();
}

void CSystem::ProcessPendingReboot()
{
    // The flag stays set: a device that is still up after the reboot command is tried again
    // after the next served request. A reboot command that still runs from an earlier pass is
    // not started a second time.
    if (!bRebootPending || RebootCommandRunning(0))
        return;
    ++iRebootAttempts;
    WriteToLogfile(iRebootAttempts == 1
                       ? std::string("Rebooting the device")
                       : "Rebooting the device, attempt " + std::to_string(iRebootAttempts));
    SystemSleepMs(1000);
    BPBWriteWord(kBusWordReset, 1, false);
    // On family 2 the modules in slots 4 to 1 are reset and released.
    if (GetHWFamily() == QTX_HW_FAMILY_880)
        for (int slot = 4; slot >= 1; --slot)
        {
            unsigned char reset[2] = {0xFF, 0x00};
            SrwCommand(23, reset, 2, nullptr, 0, 0, 0, slot);
            SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot);
        }
    SystemSleepMs(1000);
    iRebootPid = StartProgram(vRebootCommand);
    if (iRebootPid <= 0)
        WriteToLogfile("The reboot command could not be started");
    // The command normally returns at once and the system goes down; one that hangs must not
    // hold the hub, which goes on serving while it runs.
    else if (RebootCommandRunning(iRebootWaitMs))
        WriteToLogfile("The reboot command has not ended within " + std::to_string(iRebootWaitMs) +
                       " ms");
}

bool CSystem::RebootCommandRunning(int waitMs)
{
    if (iRebootPid <= 0)
        return false;
    constexpr int kPollMs = 20;
    for (int waited = 0;; waited += kPollMs)
    {
        int status = 0;
        const pid_t done = waitpid(iRebootPid, &status, WNOHANG);
        if (done < 0 && errno == EINTR)
            continue;
        if (done != 0)
        {
            if (done == iRebootPid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
                WriteToLogfile("The reboot command failed (status " + std::to_string(status) + ")");
            iRebootPid = -1;
            return false;
        }
        if (waited >= waitMs)
            return true;
        SystemSleepMs(kPollMs);
    }
}

void CSystem::SendPendingLock()
{
    int32_t port = 0;
    std::string name;
    {
        LockGuard guard(&tRegistryMutex);
        guard.Lock();
        port = iLockPort;
        name = sLockName;
        iLockPort = 0;
    }
    if (port == 0)
        return;
    const std::string request = sXmlStart + "<Lock Name=\"" + EscapeXmlValue(name) +
                                "\" Value=\"-2\" Signature=\"ZRMonitor\" />\n";
    SendStringToDriver(request, 200, port, "");
}
