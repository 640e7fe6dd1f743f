// One part of an update archive: its control document "Version_<part>.xml" turned into entries
// of the file list (files, a flash partition, a module's FPGA image), programs to run, and the
// version records of the central unit (production data) and of the modules (EEPROM).
#include "QTXUpdate.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "ModuleMemory.h"
#include "QTXConvert.h"
#include "QTXFlashRecord.h"
#include "QTXStringFile.h"
#include "UpdateControl.h"
#include "UpdateFiles.h"

namespace
{
const char kProductionPartition[] = "/dev/mtd_production";
constexpr size_t kFileBlock = 65536;
constexpr size_t kVersionAt = 130;

void PauseMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

bool EndsWith(const std::string& text, const char* suffix)
{
    const size_t length = strlen(suffix);
    return text.size() >= length && SameString(text.substr(text.size() - length), suffix);
}

bool HasProgramEnding(const std::string& name)
{
    for (const char* ending : {".exe", ".exec", ".xml", ".dll", ".ver"})
        if (EndsWith(name, ending))
            return true;
    return false;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The configuration directory of the drivers, as control documents and this device name it.
bool IsConfigurationDirectory(const std::string& directory)
{
    return SameString(directory, "/tmp/Driver/Configuration/") ||
           SameString(directory, "/Applications/tmp/Driver/Configuration/");
}

// Puts the normalised version into bytes 130..135 of a 512-byte record.
void PutVersion(unsigned char* record, const std::string& version)
{
    memset(record + kVersionAt, 0, 6);
    record[kVersionAt] = static_cast<unsigned char>(version[0]);
    record[kVersionAt + 1] = static_cast<unsigned char>(version[1]);
    for (size_t i = 3; i < version.size() && i < 7; ++i)
        record[kVersionAt + 2 + (i - 3)] = static_cast<unsigned char>(version[i]);
}

// The part's progress, its error texts and its unpacked directory.
class CPartRun
{
public:
    CPartRun(const std::string& part, int slot, int step, int total)
        : sPart(part), iSlot(slot), iStep(step), iTotal(total),
          sText(slot < 0 ? "Updating " + part + " on Flash"
                         : "Updating " + part + " on slot " + std::to_string(slot))
    {
    }
    ~CPartRun()
    {
        // The part's unpacked directory goes in every case.
        const std::string directory = JoinPath(LocalPath(sUpdateRootDir), sPart);
        struct stat st;
        if (IsSafeMemberName(sPart) && lstat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            DeleteDirectory(directory.c_str());
    }
    void Report(double fraction, const std::string& more = "")
    {
        ReportProgress(iStep, iTotal, sText + more, fraction);
    }
    double Fraction(int files) const
    {
        // A part without files is done at once.
        return iFiles > 0 ? static_cast<double>(files) / iFiles : 1.0;
    }

    std::string sPart;
    int iSlot;
    int iStep;
    int iTotal;
    std::string sText;
    int iFiles = 0;
};

// The part's control document, unpacked, read and parsed; the error text of the part when it
// is missing or not one.
std::string ReadControlDocument(const std::string& part, std::string& control,
                                std::vector<SUpdateGroup>& groups)
{
    CUpdateFiles& files = *g_pUpdateFilesClass;
    control = JoinPath(part, "Version_" + part + ".xml");
    if (part.empty() || !files.Unpack(control, UPDATE_MAX_DOCUMENT_BYTES))
        return "Error in update file: " + control + " is missing or corrupt";
    std::string document;
    const std::string path = JoinPath(LocalPath(sUpdateRootDir), control);
    FILE* file = fopen(path.c_str(), "rb");
    char buffer[4096];
    size_t n = 0;
    while (file != nullptr && (n = fread(buffer, 1, sizeof buffer, file)) > 0)
        document.append(buffer, n);
    if (file != nullptr)
        fclose(file);
    std::string why;
    if (!ParseControlDocument(document.data(), document.size(), groups, why))
        return "Error in update file: " + control + " is currupt";
    return "";
}

// An AVR group ends the part: the module controller's own flash has no write path here.
std::string AvrGroupError(const std::string& control, const SUpdateGroup& group)
{
    if (group.vFiles.empty() || group.vFiles[0].sImageName.empty())
        return "Eror in file " + control + ": Name of the first FILE entry missing";
    return "Error while updating AVR in module X1";
}

std::string UnknownType(const std::string& part, int slot)
{
    return "Error: The update file is currupt: unknown type of part " + part + " on slot " +
           std::to_string(slot);
}

// The first File of a Module group that holds the FPGA image; none when it has none.
const SUpdateFileItem* FpgaImage(const SUpdateGroup& group)
{
    for (const SUpdateFileItem& file : group.vFiles)
        if (SameString(file.sPlvType, "FPGA"))
            return &file;
    return nullptr;
}

// The name the module keeps its FPGA image under: the image's name without its directory and
// its last 4 characters.
std::string ModuleSideName(const SUpdateFileItem& image)
{
    const std::string name = BaseName(image.sImageName);
    return name.size() > 4 ? name.substr(0, name.size() - 4) : "";
}

// True when the file of the control document is a member of the archive that can be unpacked;
// logs why not.
bool IsArchiveMember(const std::string& archiveDirectory, const std::string& fileName)
{
    const std::string member = UpdateMemberName(archiveDirectory, fileName);
    if (!IsSafeMemberName(member))
    {
        UpdateLog("ERROR: refused the archive name \"" + member + "\"", true);
        return false;
    }
    if (!g_pUpdateFilesClass->Archive().Has(member))
    {
        UpdateLog("ERROR: Can not find " + member + " in update archive.", true);
        return false;
    }
    return true;
}

// What the part's groups would end the part in, found from the control document and the
// archive alone: a group of unknown type, a flash destination without a valid block size, a
// file, image or FPGA image that the archive does not hold or that could not be unpacked, a
// module slot without a flash file system. Groups that the installed version already has are
// not looked at (beyond their block size, as in the run). Empty when none; what only the run
// can find (a directory that cannot be made, a program that is not there, a failed write)
// still ends the part in its turn.
std::string CheckGroups(const std::string& part, int slot, const std::string& control,
                        const std::vector<SUpdateGroup>& groups,
                        const std::string& installedVersion)
{
    for (const SUpdateGroup& group : groups)
    {
        const bool flash = SameString(group.sType, "Flash");
        if (flash && group.sDestinationDir.find(':') == std::string::npos)
            return "Error: block size missing in destination directory";
        if (SameString(group.sVersion, installedVersion))
            continue;
        if (SameString(group.sType, "HDD"))
        {
            for (const SUpdateFileItem& file : group.vFiles)
            {
                const std::string directory =
                    file.sDestinationDir.empty() ? group.sDestinationDir : file.sDestinationDir;
                if (directory.empty())
                    return "Error: File " + file.sName + " has no destination directory";
                if (!IsSafeMemberName(UpdateMemberName(group.sArchiveDir, file.sName)))
                    return "Error in update file with file " +
                           JoinPath(group.sArchiveDir, file.sName);
                if (!IsArchiveMember(group.sArchiveDir, file.sName))
                    return "Failed to copy file";
            }
        }
        else if (flash)
        {
            std::string device;
            size_t block = 0;
            if (!SplitFlashDestination(group.sDestinationDir, device, block) || device.empty())
                return "Error in control file: DestinationDir or BlochSize are either missing or "
                       "corrupt";
            if (!group.vFiles.empty() && !IsArchiveMember(group.sArchiveDir, group.vFiles[0].sName))
                return "Error while writing " + group.vFiles[0].sName;
        }
        else if (SameString(group.sType, "Module") && slot >= 0 && slot <= 4)
        {
            if (sfSizes[slot] < 1)
                return "Error: can not read module file system";
            const SUpdateFileItem* image = FpgaImage(group);
            if (image == nullptr)
                continue;
            const std::string moduleName = ModuleSideName(*image);
            if (!IsSafeMemberName(moduleName) || moduleName.find('/') != std::string::npos ||
                !IsArchiveMember(part, image->sImageName))
                return "Error while updating FPGA in module X" + std::to_string(slot + 1);
        }
        else if (SameString(group.sType, "Execute"))
            continue;
        else if (SameString(group.sType, "AVR"))
            return AvrGroupError(control, group);
        else
            return UnknownType(part, slot);
    }
    return "";
}

std::string UpdateFlashGroup(CPartRun& run, const SUpdateGroup& group, int k, bool& versionDone)
{
    CUpdateFiles& files = *g_pUpdateFilesClass;
    std::string device;
    size_t block = 0;
    if (!SplitFlashDestination(group.sDestinationDir, device, block) || device.empty())
        return "Error in control file: DestinationDir or BlochSize are either missing or corrupt";
    if (group.vFiles.empty())
        return "";
    const std::string& name = group.vFiles[0].sName;
    if (!files.Add(device, group.sArchiveDir, name, kPartFlash))
        return "Error while writing " + name;
    files.SetProgressWindow(run.iStep, run.iTotal, run.sText + ", part " + group.sName,
                            run.Fraction(k), run.Fraction(k + 1));
    if (!files.WriteCurrent(false, block))
        return "Error while writing " + name;
    // The version stands for what the partition holds: it is stored once the image is there.
    if (!versionDone && group.sVersion.size() == 2)
    {
        versionDone = true;
        if (!UpdateModuleVersion(-1, group.sVersion))
            return "Error: can not update version info in module " + run.sPart + " on slot " +
                   std::to_string(run.iSlot);
    }
    return "";
}

std::string UpdateModuleGroup(CPartRun& run, const SUpdateGroup& group)
{
    CUpdateFiles& files = *g_pUpdateFilesClass;
    const int slot = run.iSlot;
    const std::string eepromError = "ERROR while updating EEPROM of module " + std::to_string(slot);
    run.Report(0, ", preparing module update");
    CQTXPLVAccess* module = files.ModuleFileSystem(slot, sfSizes[slot]);
    if (module == nullptr)
        return "Error: can not read module file system";
    if (bSimulateUpdate)
        PauseMs(2000);
    else if (!UpdateModuleVersion(slot, "XX"))
        return eepromError;

    const SUpdateFileItem* image = FpgaImage(group);
    const std::string moduleName = image != nullptr ? ModuleSideName(*image) : "";

    // Programs and descriptions of the module go, and every file the part brings anew.
    bool deleted = false;
    const int count = module->GetDirLength();
    std::vector<std::string> names;
    for (int i = 2; i < count; ++i)
        names.push_back(module->GetDirEntryName(i));
    for (const std::string& name : names)
    {
        bool remove = HasProgramEnding(name);
        for (const SUpdateFileItem& file : group.vFiles)
            if (!remove && SameString(file.sPlvType, "File") && !HasProgramEnding(file.sName) &&
                file.sName == name)
                remove = true;
        if (remove && module->Delete(name))
            deleted = true;
    }
    if (deleted)
        module->Defrag();

    if (image != nullptr)
    {
        run.Report(0.2, ", updating FPGA");
        const std::string failure =
            "Error while updating FPGA in module X" + std::to_string(slot + 1);
        if (!files.Add(moduleName, run.sPart, image->sImageName,
                       (kPartModule + slot) | kPartFpgaBit))
            return failure;
        files.SetProgressWindow(run.iStep, run.iTotal, run.sText + ", updating FPGA", 0.2, 0.8);
        if (!files.WriteCurrent(SameString(image->sFlash, "AVR"), kFileBlock))
            return failure;
    }
    run.Report(0.85, ", updating module version");
    if (bSimulateUpdate)
        PauseMs(2000);
    else if (!UpdateModuleVersion(slot, group.sVersion))
        return eepromError;
    return "";
}

std::string RunExecuteGroup(CPartRun& run, const SUpdateGroup& group, int& k)
{
    for (const SUpdateFileItem& file : group.vFiles)
    {
        ++k;
        run.Report(run.Fraction(k + 1));
        if (!file.sName.empty() && file.sName[0] == '*')
        {
            // A command line written into the control document on purpose.
            ShellCommand(file.sName.substr(1));
            continue;
        }
        const std::string directory =
            file.sDestinationDir.empty() ? group.sDestinationDir : file.sDestinationDir;
        const std::string program = JoinPath(directory, file.sName);
        struct stat st;
        if (file.sName.empty() || stat(LocalPath(program).c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode))
            return "Error: File " + file.sName + " is missing or corrupt";
        // The program and its arguments are an argument vector: nothing reaches a shell.
        std::vector<std::string> command{LocalPath(program)};
        std::string shown = "\"" + program + "\"";
        for (const std::string& argument : file.vsArguments)
        {
            command.push_back(argument);
            const bool quoted =
                argument.find(' ') != std::string::npos || !file.bSkipArgumentQuotes;
            shown += quoted ? " \"" + argument + "\"" : " " + argument;
        }
        if (bSimulateUpdate)
        {
            UpdateLog("Simulating [" + shown + "], returned 1001");
            continue;
        }
        const int status = ExecuteProgram(command, true);
        UpdateLog("Executing [" + shown + "], returned " + std::to_string(status));
    }
    return "";
}
} // namespace

std::string NormaliseModuleVersion(const std::string& version)
{
    if (version.size() == 2)
        return version + ".0000";
    if (version.size() >= 3 && version.size() <= 7 && version[2] == '.')
        return version;
    return "XX.xxxx";
}

bool UpdateModuleVersion(int slot, const std::string& text)
{
    if (slot < -1 || slot > 4)
        return false;
    const std::string version = NormaliseModuleVersion(text);
    unsigned char record[EEPROM_IMAGE_SIZE] = {};
    if (slot == -1)
    {
        // A simulated run reads the production data but changes nothing.
        const int partition = PlatOpen(kProductionPartition, bSimulateUpdate ? O_RDONLY : O_RDWR);
        if (partition < 0)
            return false;
        bool ok = FlashReadFully(partition, record, sizeof record) == sizeof record;
        PutVersion(record, version);
        if (ok && !bSimulateUpdate)
            ok = PlatLseek(partition, 0, SEEK_SET) == 0 &&
                 FlashWriteFully(partition, record, sizeof record) == sizeof record;
        return PlatClose(partition) == 0 && ok;
    }

    bool ok = EepromRead(record, EEPROM_IMAGE_SIZE, 0, slot, 1000, true);
    if (ok)
    {
        PutVersion(record, version);
        if (strncmp(reinterpret_cast<const char*>(record + 32), "qorQM3xAI-1A/100A (2xADC)",
                    EEPROM_IMAGE_SIZE - 32) == 0)
        {
            memset(record + 48, 0, 16);
            memcpy(record + 32, "qorQM3xAI-1A/100A", 17);
        }
        EepromCheck(record, EEPROM_IMAGE_SIZE, true);
        if (!bSimulateUpdate)
        {
            ok = false;
            for (int attempt = 0; attempt < 3 && !ok; ++attempt)
            {
                unsigned char back[EEPROM_IMAGE_SIZE] = {};
                ok = EepromWrite(record, EEPROM_IMAGE_SIZE, 0, slot, 1000, true) &&
                     EepromRead(back, EEPROM_IMAGE_SIZE, 0, slot, 1000, true) &&
                     memcmp(back, record, EEPROM_IMAGE_SIZE) == 0;
            }
        }
    }
    EepromReleaseLock();
    return ok;
}

std::string UpdatePart(const std::string& partName, int slot, int step, int total,
                       const std::string& installedVersion)
{
    const std::string part = SanitisePartName(partName);
    CPartRun run(part, slot, step, total);
    CUpdateFiles& files = *g_pUpdateFilesClass;

    // 1. The control document.
    std::string control;
    std::vector<SUpdateGroup> groups;
    const std::string missing = ReadControlDocument(part, control, groups);
    if (!missing.empty())
        return missing;

    // Nothing of the part is changed when the archive cannot bring all of it.
    const std::string broken = CheckGroups(part, slot, control, groups, installedVersion);
    if (!broken.empty())
        return broken;

    // 2. Files of the part, for the progress.
    for (const SUpdateGroup& group : groups)
        run.iFiles += static_cast<int>(group.vFiles.size());
    run.Report(0);
    UpdateLog("\n\nUpdating module " + part, true);
    int k = -1;
    bool versionDone = false;

    for (const SUpdateGroup& group : groups)
    {
        // 3. Destinations.
        const bool flash = SameString(group.sType, "Flash");
        if (flash && group.sDestinationDir.find(':') == std::string::npos)
            return "Error: block size missing in destination directory";
        if (!flash && !group.sDestinationDir.empty() && !bSimulateUpdate &&
            !QTXMakeDirectories(LocalPath(group.sDestinationDir)))
            return "Error: Can not generate " + group.sDestinationDir;

        // 4. A group that the part already has is skipped.
        if (SameString(group.sVersion, installedVersion))
        {
            k += static_cast<int>(group.vFiles.size());
            run.Report(run.Fraction(k + 1));
            continue;
        }

        // 5. By type.
        std::string error;
        if (SameString(group.sType, "HDD"))
        {
            for (const SUpdateFileItem& file : group.vFiles)
            {
                ++k;
                const bool own = !file.sDestinationDir.empty();
                const std::string directory = own ? file.sDestinationDir : group.sDestinationDir;
                if (directory.empty())
                    return "Error: File " + file.sName + " has no destination directory";
                if (!own && IsConfigurationDirectory(directory))
                    bStoreConfiguration = true;
                if (!files.Add(JoinPath(directory, file.sName), group.sArchiveDir, file.sName,
                               kPartFile))
                    return "Error in update file with file " +
                           JoinPath(group.sArchiveDir, file.sName);
                files.SetProgressWindow(step, total, run.sText + ", part " + group.sName,
                                        run.Fraction(k), run.Fraction(k + 1));
                if (!files.WriteCurrent(!file.bOverwrite, kFileBlock))
                    return "Failed to copy file";
                if (!file.bVerify)
                    files.MarkCurrentNoVerify();
            }
        }
        else if (flash)
        {
            error = UpdateFlashGroup(run, group, k + 1, versionDone);
            k += static_cast<int>(group.vFiles.size());
        }
        else if (SameString(group.sType, "Module") && slot >= 0 && slot <= 4)
        {
            error = UpdateModuleGroup(run, group);
            k += static_cast<int>(group.vFiles.size());
        }
        else if (SameString(group.sType, "Execute"))
            error = RunExecuteGroup(run, group, k);
        else if (SameString(group.sType, "AVR"))
            return AvrGroupError(control, group);
        else
            return UnknownType(part, slot);
        if (!error.empty())
            return error;
    }

    run.Report(1.0);
    return "";
}

std::string CheckPart(const std::string& partName, int slot, const std::string& installedVersion)
{
    const std::string part = SanitisePartName(partName);
    std::string control;
    std::vector<SUpdateGroup> groups;
    std::string error = ReadControlDocument(part, control, groups);
    if (!part.empty())
        g_pUpdateFilesClass->RemoveUnpacked(control);
    if (error.empty())
        error = CheckGroups(part, slot, control, groups, installedVersion);
    return error;
}
