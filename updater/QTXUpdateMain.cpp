// The updater's run: command line, the kind of system, the target check against "Target.txt",
// the module scan, the parts in their order, the verify step and the end of the run; and the
// routines every part uses (progress, logs, result file, LEDs, shell commands).
#include "QTXUpdate.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "ModuleMemory.h"
#include "QTXConvert.h"
#include "QTXFlashRecord.h"
#include "QTXProduct.h"
#include "QTXStringFile.h"
#include "RyxFpga.h"
#include "UpdateCommandLine.h"
#include "UpdateFiles.h"
#include "UpdateTarget.h"
#include "nyDebug.h"

std::string sUpdateDirectory = "/tmp/Update";
std::string sUpdateFile = "koveztm.qor";
std::string sResultFile = "/tmp/Update.err";
std::string sUpdateRootDir;
std::string sUpdateArchive;
bool bSimulateUpdate = false;
bool bDeleteBackupFiles = false;
CQTXCommunication* pProgressChannel = nullptr;
CUpdate* pUpdateHw = nullptr;
CUpdateFiles* g_pUpdateFilesClass = nullptr;
int32_t sfSizes[10] = {};
bool bStoreConfiguration = false;
const char* const kVersionNeverUsed = "This value is never used :-)";

namespace
{
const char kUserLog[] = "/tmp/Update/UpdateLog.txt";
constexpr long kUserLogLimit = 999999;
const char kDefaultOrderingNumber[] = "52.374030";
const char kUpdatePartition[] = "/dev/mtd_update";
constexpr int kSystemPort = 62000;
constexpr int kDriverTimeoutMs = 1000;
constexpr uint32_t kLedsRunning = 0x30000000;
constexpr uint32_t kLedsDone = 0x10000000;
constexpr uint32_t kLedsFailed = 0x20000000;

FILE* pUserLogFile = nullptr;
CQTXCommunication tProgressChannel;
bool bProgressGiven = false;
int iLastProgressStep = -1;
bool bLedsOpen = false;

void PauseMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

void SetUpdateLedsStart()
{
    bLedsOpen = RyxFpgaOpen() == 0;
    RyxFpgaLedControl(kLedsRunning);
}

void SetUpdateLedsEnd(bool success)
{
    RyxFpgaLedControl(success ? kLedsDone : kLedsFailed);
    if (bLedsOpen)
        RyxFpgaClose();
    bLedsOpen = false;
}

void SendBlinking(bool fast)
{
    SendStringToDriver(sXmlStart + "<SetL1Rate FastBlinking=\"" + (fast ? "true" : "false") +
                           "\"/>\n",
                       kDriverTimeoutMs, kSystemPort, "");
}

std::string TrimmedText(const unsigned char* data, size_t length)
{
    size_t n = 0;
    while (n < length && data[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(data), n);
}

// Ordering number of the device from the system driver's copy of the production data.
std::string ReadOrderingNumber()
{
    FILE* file = nullptr;
    for (const char* name : {"/tmp/Driver/System/EEProm.bin", "/tmp/Driver/System/EEPROM.bin"})
        if ((file = fopen(LocalPath(name).c_str(), "rb")) != nullptr)
            break;
    if (file == nullptr)
        return kDefaultOrderingNumber;
    std::string number = kDefaultOrderingNumber;
    char text[501] = {};
    size_t got = 0;
    if (fseek(file, 512, SEEK_SET) == 0)
        got = fread(text, 1, 500, file);
    const std::string xml(text, got);
    const size_t open = xml.find("<OrderingNumber>");
    const size_t close = xml.find("</OrderingNumber>");
    if (got > 10 && open != std::string::npos && close != std::string::npos && close > open + 16)
        number = xml.substr(open + 16, close - open - 16);
    else
    {
        unsigned char image[96] = {};
        rewind(file);
        if (fread(image, 1, sizeof image, file) == sizeof image)
        {
            const std::string stamp = TrimmedText(image + 64, 9);
            if (!stamp.empty())
                number = stamp;
        }
    }
    fclose(file);
    return number;
}

enum class SystemKind
{
    Sqx,
    Ztm,
    StandAlone
};

SystemKind DetectSystem(const std::string& orderingNumber)
{
    for (int id : {1, 3, 4, 5, 6, 7, 8, 9, 10})
    {
        const char* number = GetModuleOrderNumber(id);
        if (number != nullptr && SameString(orderingNumber, number))
            return SystemKind::Sqx;
    }
    for (const char* number : {GetModuleOrderNumber(2), "57.317000", "57.310710", "57.317010"})
        if (number != nullptr && SameString(orderingNumber, number))
            return SystemKind::Ztm;
    return SystemKind::StandAlone;
}

std::string MaskText(uint32_t mask)
{
    std::string text;
    for (int bit = 7; bit >= 0; --bit)
        text += (mask >> bit) & 1 ? '1' : '0';
    return text;
}

// Old request files of every driver and the routing configurations go before an update.
void RemoveOldDriverFiles()
{
    const std::string root = LocalPath("/tmp/Driver");
    DIR* dir = opendir(root.c_str());
    if (dir != nullptr)
    {
        while (const dirent* entry = readdir(dir))
        {
            const std::string name = entry->d_name;
            struct stat st;
            if (name != "." && name != ".." && lstat((root + "/" + name).c_str(), &st) == 0 &&
                S_ISDIR(st.st_mode))
                RemoveMatchingFiles(root + "/" + name, {"Tmp*.xml"});
        }
        closedir(dir);
    }
    RemoveMatchingFiles(root + "/Configuration", {"*DUF*", "*VME*"});
}

void OpenUserLog()
{
    const std::string path = LocalPath(kUserLog);
    struct stat st;
    const bool append = stat(path.c_str(), &st) == 0 && st.st_size <= kUserLogLimit;
    MakeDirectoriesOf(path);
    pUserLogFile = fopen(path.c_str(), append ? "a" : "w");
}

void CloseUserLog()
{
    if (pUserLogFile != nullptr)
        fclose(pUserLogFile);
    pUserLogFile = nullptr;
}

// Creates the driver object and the file list, opens the user log.
void PrepareUpdate(const std::string& directory, const std::string& archive, bool simulate,
                   bool noBackup)
{
    bDeleteBackupFiles = noBackup;
    sUpdateRootDir = directory;
    while (sUpdateRootDir.size() > 1 && sUpdateRootDir[sUpdateRootDir.size() - 2] == '/' &&
           sUpdateRootDir.back() == '/')
        sUpdateRootDir.pop_back();
    if (sUpdateRootDir.empty() || sUpdateRootDir.back() != '/')
        sUpdateRootDir += "/";
    sUpdateArchive = sUpdateRootDir + archive;
    bSimulateUpdate = simulate;

    pUpdateHw = new CUpdate();
    pUpdateHw->Init(sQTXRootDirectory + "Update", -1, "", true);

    g_pUpdateFilesClass =
        new CUpdateFiles(LocalPath(sUpdateRootDir), LocalPath(sUpdateArchive), simulate, pUpdateHw);
    ReportProgress(1, 1, "Preparing update", 0);
    std::string why;
    if (!g_pUpdateFilesClass->OpenArchive(why))
        UpdateLog("ERROR: can not read the update archive " + sUpdateArchive + ": " + why);
    // The compatibility list stored at the end is the one of this run (the archive's, or one a
    // part puts into the update directory), never one an earlier run left there.
    unlink(JoinPath(LocalPath(sUpdateRootDir), "Compatibility.xml").c_str());

    OpenUserLog();
    UpdateLog("\n\n************ Starting new download **********\n", true);
}

// The production record that a slot 1 module without a valid one gets, from "EEProm1.bin" of
// the archive; false when the archive has none of 512 bytes. Nothing is written yet.
bool ReadSlot1Eeprom(unsigned char image[EEPROM_IMAGE_SIZE])
{
    UpdateLog("Eeprom on slot1 needs an update ...");
    CUpdateFiles& files = *g_pUpdateFilesClass;
    if (!files.Archive().Has("EEProm1.bin") || !files.Unpack("EEProm1.bin"))
        return false;
    const std::string path = JoinPath(LocalPath(sUpdateRootDir), "EEProm1.bin");
    FILE* file = fopen(path.c_str(), "rb");
    const bool read =
        file != nullptr && fread(image, 1, EEPROM_IMAGE_SIZE, file) == EEPROM_IMAGE_SIZE;
    if (file != nullptr)
        fclose(file);
    files.RemoveUnpacked("EEProm1.bin");
    if (read)
        EepromCheck(image, EEPROM_IMAGE_SIZE, true);
    return read;
}

// Writes that record to the module in slot 1; once it is there, the module's part runs.
void WriteSlot1Eeprom(unsigned char image[EEPROM_IMAGE_SIZE], std::string partNames[6],
                      std::string versions[6], uint32_t& mask)
{
    if (!bSimulateUpdate && EepromWrite(image, EEPROM_IMAGE_SIZE, 0, 1, 1000, false))
    {
        const std::string name = TrimmedText(image + 32, 32);
        UpdateLog("Updated Eeprom on slot 1 for " + name);
        printf("Updated EEPROM on slot 1\n");
        partNames[2] = name;
        versions[2] = "Needs update";
        mask |= 1u << 2;
    }
    else
        UpdateLog("Can not write new EEPROM to slot 1");
}

// The module's flash size as its command 16 answers it (the first word of the answer), for
// production, where no EEPROM is read; 0 when the module does not answer.
int32_t ModuleFlashSize(int slot)
{
    unsigned char answer[16] = {};
    const bool answered = SrwCommand(SRW_SPI_FLASH_PARAMETERS, nullptr, 0, answer, sizeof answer,
                                     sizeof answer, 0, slot);
    EepromReleaseLock();
    const uint32_t size = answered ? Wio2UsrGetLe32(answer) : 0;
    return size <= INT32_MAX ? static_cast<int32_t>(size) : 0;
}

// Reads the EEPROM of every requested module slot: the part name and installed version of each
// module that is present. True when the module of slot 1 needs a new production record.
bool ScanModules(bool standAlone, bool force, const std::string& pattern, std::string partNames[6],
                 std::string versions[6], uint32_t& mask)
{
    const uint32_t requested = mask;
    mask &= 1u;
    const int lastSlot = standAlone ? 0 : 5;
    bool slot1Valid = false;
    for (int n = 0; n < lastSlot; ++n)
    {
        if (!(requested & (1u << (n + 1))))
            continue;
        unsigned char image[EEPROM_IMAGE_SIZE] = {};
        if (!EepromRead(image, EEPROM_IMAGE_SIZE, 0, n, 0, false) || !isdigit(image[64]) ||
            !isdigit(image[65]) || image[66] != '.')
            continue;
        if (n == 1)
            slot1Valid = true;
        sfSizes[n] = image[507] < 32 ? static_cast<int32_t>(1u << image[507]) : 0;
        mask |= 1u << (n + 1);
        std::string name = TrimmedText(image + 32, 32);
        if (name == "qorQM3xAI-1A/100A (2xADC)")
            name = "qorQM3xAI-1A/100A";
        std::string version;
        if (force)
            version = kVersionNeverUsed;
        else
        {
            version = TrimmedText(image + 130, 2);
            const std::string minor = TrimmedText(image + 132, 4);
            if (image[132] != 0 && minor != "0000")
                version += "." + minor;
        }
        // A module of another hardware revision has parts of its own, when the archive has them.
        if (image[136] != 0)
        {
            std::string candidate = name + "_HW" + std::to_string(image[136]);
            candidate = SanitisePartName(candidate);
            if (g_pUpdateFilesClass->Archive().Has(candidate + "/Version_" + candidate + ".xml"))
                name += "_HW" + std::to_string(image[136]);
        }
        partNames[n + 1] = name;
        versions[n + 1] = version;
    }
    return (requested & (1u << 2)) && !slot1Valid && pattern.compare(0, 2, "57") == 0;
}

// A part of the run: its name, its slot (-1 the central unit) and the installed version.
struct SPart
{
    std::string sName;
    int iSlot;
    std::string sVersion;
};

// The parts in their order: those before the verify step, and the kept "AVR" entry after it.
void PlanParts(const std::vector<std::string>& entries, uint32_t slotMask,
               const std::string partNames[6], const std::string versions[6],
               std::vector<SPart>& parts, std::vector<SPart>& afterVerify)
{
    parts.clear();
    afterVerify.clear();
    for (const std::string& entry : entries)
        if (entry[0] == '<' && entry.back() != '>')
            parts.push_back({entry.substr(1), 0, kVersionNeverUsed});
    for (int l = 0; l <= 5; ++l)
        if (slotMask & (1u << l))
            parts.push_back({partNames[l], l - 1, versions[l]});
    if (!((slotMask & 1u) || slotMask == 0))
        return;
    for (const std::string& entry : entries)
    {
        if (entry[0] == '<' && entry.back() != '>')
            continue;
        const std::string name = entry[0] == '>' ? entry.substr(1) : entry;
        if (name.empty())
            continue;
        if (SameString(name.substr(0, 3), "AVR"))
            afterVerify.assign(1, {name, 0, kVersionNeverUsed});
        else
            parts.push_back({name, 0, kVersionNeverUsed});
    }
}
} // namespace

void CUpdate::InitCQTX()
{
    g_iQTXMaxLogFileLength = 1000000;
}

std::string SanitisePartName(const std::string& name)
{
    std::string out = name;
    for (char& c : out)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            c = '_';
    return out;
}

void RemoveMatchingFiles(const std::string& directory, const std::vector<const char*>& patterns)
{
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir))
    {
        const std::string path = directory + "/" + entry->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        for (const char* pattern : patterns)
            if (fnmatch(pattern, entry->d_name, FNM_PERIOD) == 0)
            {
                unlink(path.c_str());
                break;
            }
    }
    closedir(dir);
}

std::string LocalPath(const std::string& devicePath)
{
    return PlatPath(devicePath);
}

bool WriteResultFile(const std::string& text)
{
    FILE* file = fopen(LocalPath(sResultFile).c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

void UpdateLog(const std::string& text, bool alsoUser)
{
    if (pUpdateHw != nullptr)
        pUpdateHw->WriteToLogfile(text);
    if (alsoUser && pUserLogFile != nullptr)
    {
        fputs(text.c_str(), pUserLogFile);
        fputc('\n', pUserLogFile);
        fflush(pUserLogFile);
    }
}

void ReportProgress(int step, int total, const std::string& text, double fraction)
{
    UpdateLog("Progress step " + std::to_string(step) + " of " + std::to_string(total) + ", " +
              FloatToString(fraction * 100) + "% done: " + text);
    if (step != iLastProgressStep)
        UpdateLog("Step " + std::to_string(step) + " of " + std::to_string(total) + ": " + text);
    iLastProgressStep = step;
    if (pProgressChannel != nullptr)
        pProgressChannel->SendProgressMessage(text, step, total, fraction, 0.01);
}

bool ShellCommand(const std::string& command)
{
    if (bSimulateUpdate && !SameString(command.substr(0, 5), "unzip"))
    {
        UpdateLog("Simulating [" + command + "], returned 1001");
        return true;
    }
    const int status = ExecuteShellCommand(command, true);
    UpdateLog("Executing [" + command + "], returned " + std::to_string(status));
    // Only a command that ran and exited with 0 succeeded.
    return status == 0;
}

void StopUpdate(const std::string& text, int code)
{
    // Nothing unpacked from the archive stays behind.
    if (g_pUpdateFilesClass != nullptr)
        g_pUpdateFilesClass->RemoveAllUnpacked();
    WriteResultFile(text);
    UpdateLog("\n\n***ERROR*** Update stopped after error \"" + text + "\", return value " +
                  std::to_string(code),
              true);
    printf("Program stopped because of error %s\n", text.c_str());
    fflush(stdout);
    StoreEvent("Error: " + text + ". Update failed!", "Update");
    SetUpdateLedsEnd(false);
    SendBlinking(false);
    CloseUserLog();
    exit(-(code < 0 ? -code : code));
}

int UpdateMain(int argc, char** argv)
{
    // 1. Trace buffer, event, no stale result.
    nyDebugInit(5, 0, nullptr);
    StoreEvent("Update started", "Update");
    SUpdateOptions options;
    unlink(LocalPath(options.sResultFile).c_str());

    // 2. The arguments, for the service technician.
    const std::string logDirectory = sQTXRootDirectory + "log/";
    QTXMakeDirectories(LocalPath(logDirectory));
    if (FILE* params = fopen((LocalPath(logDirectory) + "Update_params.txt").c_str(), "w"))
    {
        fprintf(params, "argc=%d\n", argc);
        for (int i = 0; i < argc; ++i)
            fprintf(params, "\"%s\" ", argv[i]);
        fclose(params);
    }

    // 3. Options.
    const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "update";
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    std::string bad;
    const SUpdateOptions defaults;
    const bool parsed = ParseUpdateOptions(arguments, options, bad);
    for (const std::string& ignored : options.vsIgnored)
        printf("Ignoring argument \"%s\". Use %s ? for help\n", ignored.c_str(), program.c_str());
    sResultFile = options.sResultFile;
    if (!parsed)
    {
        fputs(UpdateUsageText(program, defaults).c_str(), stdout);
        StopUpdate("Syntax error", 1);
    }
    sUpdateDirectory = options.sDirectory;
    sUpdateFile = options.sFile;
    bProgressGiven = options.bProgress;
    std::string progressTarget = options.bProgress ? options.sProgressTo : ":62098";
    if (!options.bProgress || !tProgressChannel.Open(options.sProgressTo, false))
    {
        tProgressChannel.Open(":62098", false);
        progressTarget = ":62098";
    }
    pProgressChannel = &tProgressChannel;
    bool force = options.bForce;
    uint32_t slotMask = options.uSlotMask;

    // 4.-6. Directory, ordering number, kind of system.
    if (sUpdateDirectory.empty() || sUpdateDirectory.back() != '/')
        sUpdateDirectory += "/";
    std::string orderingNumber = ReadOrderingNumber();
    const SystemKind kind = DetectSystem(orderingNumber);
    bool systemBased = kind != SystemKind::StandAlone;
    const char* kindText = "stand alone device";
    if (kind == SystemKind::Sqx)
        kindText = "SQX based";
    else if (kind == SystemKind::Ztm)
    {
        kindText = "ZTM based";
        slotMask &= ~(1u << 1);
    }
    else
        slotMask = 1;

    // 7.-8. Preparation and the calling parameters.
    PrepareUpdate(sUpdateDirectory, sUpdateFile, options.bSimulate, options.bNoBackup);
    UpdateLog("Calling parameters: Dir=\"" + sUpdateDirectory + "\", File=\"" + sUpdateFile +
              "\", Result=\"" + sResultFile + "\", ProgressTo=" + progressTarget);
    UpdateLog(std::string("\n                Found ") + kindText +
              " system, SlotMask = " + MaskText(slotMask) + "\n");
    printf("Found %s\n", kindText);
    UpdateLog("\n*** Starting Update ***\n", true);

    std::string partNames[6];
    std::string versions[6];
    partNames[0] = "Files";
    versions[0] = kVersionNeverUsed;
    std::vector<std::string> entries;
    CUpdateFiles& files = *g_pUpdateFilesClass;
    // What the target check finds to change; the changes wait until every check has passed.
    bool writeSlot1Eeprom = false;
    unsigned char slot1Eeprom[EEPROM_IMAGE_SIZE] = {};
    bool writeClock = false;

    // 9. Production needs the slots named, unless the kind of system already narrowed them.
    if (options.bProduce && slotMask == kDefaultSlotMask)
    {
        UpdateLog("ERROR: -slot is mandatory for production");
        printf("ERROR: -slot is mandatory for production\n");
        fputs(UpdateUsageText(program, defaults).c_str(), stdout);
        StopUpdate("Syntax error", 1);
    }
    if (options.bProduce)
    {
        // 9. Production: the given part on every selected slot, no target check. A module of
        // the bench may carry no production record yet, so its flash size comes from the module
        // itself.
        for (int slot = 0; slot <= 3; ++slot)
            if (slotMask & (1u << (slot + 1)))
            {
                partNames[slot + 1] = options.sProduce;
                versions[slot + 1] = kVersionNeverUsed;
                sfSizes[slot] = ModuleFlashSize(slot);
                UpdateLog("Flash size of the module on slot " + std::to_string(slot) + ": " +
                          std::to_string(sfSizes[slot]));
            }
    }
    else
    {
        // 10. The archive must fit this device.
        if (!files.Unpack("Target.txt", UPDATE_MAX_DOCUMENT_BYTES))
        {
            // A description that is there but cannot be read is named with the reason.
            if (files.Archive().Has("Target.txt"))
                StopUpdate("ERROR: Corrupt update file: Target.txt " + files.Archive().Why() + ".",
                           23);
            StopUpdate("ERROR: Corrupt update file: Target description missing.", 23);
        }
        const std::string targetPath = JoinPath(LocalPath(sUpdateRootDir), "Target.txt");
        std::string target;
        FILE* file = fopen(targetPath.c_str(), "rb");
        if (file == nullptr)
            StopUpdate("ERROR: Can not read Target.txt", 11);
        char buffer[4096];
        size_t n = 0;
        // The unpacked description holds no more than UPDATE_MAX_DOCUMENT_BYTES.
        while ((n = fread(buffer, 1, sizeof buffer, file)) > 0 &&
               target.size() <= UPDATE_MAX_DOCUMENT_BYTES)
            target.append(buffer, n);
        const bool readError = ferror(file) != 0;
        fclose(file);
        files.RemoveUnpacked("Target.txt");
        if (readError)
            StopUpdate("ERROR: Can not read Target.txt", 11);
        const STargetMatch match = MatchTarget(target, orderingNumber);
        if (!match.bMatched)
            StopUpdate("ERROR: This update file can not be used for this hardware. Ordering "
                       "number of this device (" +
                           orderingNumber + ") and ordering number of update file (" +
                           match.sPattern + ") do not match",
                       22);
        bool noHwModuleUpdate = false;
        entries = SplitPartList(match.sParts, noHwModuleUpdate);
        if (noHwModuleUpdate)
        {
            slotMask = 0;
            systemBased = false;
        }
        slotMask &= ~(1u << 1);

        if (systemBased)
        {
            const int partition = PlatOpen(kUpdatePartition, O_RDWR);
            const off_t size = partition >= 0 ? PlatLseek(partition, 0, SEEK_END) : -1;
            if (partition >= 0)
                PlatClose(partition);
            if (size <= kMinUpdatePartitionBytes)
                StopUpdate("ERROR: Flash too small for this new firmware.", 30);
        }
        if (!noHwModuleUpdate &&
            ScanModules(!systemBased, force, match.sPattern, partNames, versions, slotMask))
            writeSlot1Eeprom = ReadSlot1Eeprom(slot1Eeprom);
        writeClock = match.sPattern == "52.760000";
    }

    // Every check that can refuse the archive comes before the first change of the device.
    // Nothing is changed from a damaged archive.
    std::string damaged;
    if (!files.Archive().CheckAll(damaged))
        StopUpdate("ERROR: Corrupt update file: " + damaged + " " + files.Archive().Why() + ".",
                   23);
    // What the parts' control documents and the archive show would end a part: the archive is
    // refused before any part changes anything. The module of slot 1 counts with the
    // production record it is about to get (a simulated run writes none).
    std::vector<SPart> parts;
    std::vector<SPart> afterVerify;
    {
        std::string names[6];
        std::string installed[6];
        std::copy(partNames, partNames + 6, names);
        std::copy(versions, versions + 6, installed);
        uint32_t mask = slotMask;
        if (writeSlot1Eeprom && !bSimulateUpdate)
        {
            names[2] = TrimmedText(slot1Eeprom + 32, 32);
            installed[2] = "Needs update";
            mask |= 1u << 2;
        }
        PlanParts(entries, mask, names, installed, parts, afterVerify);
        for (const std::vector<SPart>* list : {&parts, &afterVerify})
            for (const SPart& part : *list)
            {
                const std::string error = CheckPart(part.sName, part.iSlot, part.sVersion);
                if (!error.empty())
                    StopUpdate(error, 20);
            }
    }

    // The changes of the target check. A simulated run leaves old request files and routing
    // configurations where they are.
    if (!bSimulateUpdate)
        RemoveOldDriverFiles();
    if (writeSlot1Eeprom)
        WriteSlot1Eeprom(slot1Eeprom, partNames, versions, slotMask);
    if (writeClock)
    {
        UpdateLog("Update qorClock: Write to SysControl Register 800000");
        printf("Update qorClock: Write to SysControl Register 800000\n");
        pUpdateHw->BPBWriteWord(8192, 0x800000, true);
        PauseMs(1000);
    }

    // 11. Steps.
    const bool allParts = (slotMask & 1u) || slotMask == 0;
    int total = systemBased ? 2 : 1;
    if (allParts)
        total = (systemBased ? 1 : 0) + static_cast<int>(entries.size()) + 1;
    for (int bit = 0; bit <= 5; ++bit)
        if (slotMask & (1u << bit))
            ++total;
    if (total < 1)
        total = 1;

    // 13. Parts: those before the verify step in their order, the kept "AVR" entry after it.
    PlanParts(entries, slotMask, partNames, versions, parts, afterVerify);

    // 12. LEDs and the status LED's blinking.
    SetUpdateLedsStart();
    if (!bProgressGiven)
        SendBlinking(true);

    int step = 0;
    auto runPart = [&](const SPart& part)
    {
        const std::string error = UpdatePart(part.sName, part.iSlot, ++step, total, part.sVersion);
        if (!error.empty())
            StopUpdate(error, 20);
    };
    for (const SPart& part : parts)
        runPart(part);
    files.SetProgressWindow(++step, total, "Verify", 0, 1);
    ReportProgress(step, total, "Verify", 0);
    if (!files.VerifyAll())
        StopUpdate("Verify error", 20);
    for (const SPart& part : afterVerify)
        runPart(part);

    // 14. Flash records.
    if (!FinishUpdate(slotMask & 1u, total, systemBased))
        StopUpdate("Can not store compatibility list", 30);

    // 15. Done.
    SetUpdateLedsEnd(true);
    if (!bProgressGiven)
        SendBlinking(false);
    if (pProgressChannel != nullptr)
        pProgressChannel->SendProgressMessage("Update finished", total, total, 1.0, 1.0);
    WriteResultFile("Update done");
    StoreEvent("Update done", "Update");
    UpdateLog("Update done", true);
    CloseUserLog();
    return 0;
}
