// The updater "update" ("update.exec" inside an update archive): installs one update archive on
// the device. It checks that the archive fits the device (Target.txt), updates the parts the
// archive describes (files, flash partitions, module flash, programs to run), verifies what it
// wrote, leaves the compatibility list, the archive and the configuration archive in flash,
// reports progress to a UDP receiver and writes a one-line result file.
//
// It has no command port: the driver object CUpdate serves only for the log file, bus access
// and the messages to the system driver. One run is one thread; its state lives in the
// process-wide values below.
#ifndef QTX_UPDATE_H
#define QTX_UPDATE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QTX.h"

class CUpdateFiles;

class CUpdate : public CQTX
{
public:
    std::string GetModuleName() override { return "Update"; }
    void InitCQTX() override;
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int&) override { return true; }
    void SetHardwareConfiguration() override {}
    double GetSignalValue(const std::string&, int) override { return 0; }
    std::string GetSignalUnit(const std::string&, int) override { return ""; }
    std::string GetConfigurationFileName(int&) override { return ""; }
    std::string GetFactorySettingFileName() override { return ""; }
};

// ---- Process-wide values of one run

extern std::string sUpdateDirectory; // -Dir=, default "/tmp/Update"
extern std::string sUpdateFile;      // -File=, default "koveztm.qor"
extern std::string sResultFile;      // -ResultFile=, default "/tmp/Update.err"
extern std::string sUpdateRootDir;   // the directory with exactly one trailing "/"
extern std::string sUpdateArchive;   // sUpdateRootDir + sUpdateFile
extern bool bSimulateUpdate;
extern bool bDeleteBackupFiles;
extern CQTXCommunication* pProgressChannel;
extern CUpdate* pUpdateHw;
extern CUpdateFiles* g_pUpdateFilesClass;
// Module flash size value per slot 0..4: 1 << EEPROM byte 507 (0 when that byte is 32 or more).
extern int32_t sfSizes[10];
// Set when a part wrote files into the configuration directory.
extern bool bStoreConfiguration;

// "/dev/mtd_update" of a system-based device must be larger than this to take the records.
constexpr long long kMinUpdatePartitionBytes = 1000000;

// Installed version that makes a part update unconditionally.
extern const char* const kVersionNeverUsed; // "This value is never used :-)"

// ---- Common routines

// The whole run; returns 0 after "Update done". Every error leaves through StopUpdate.
int UpdateMain(int argc, char** argv);
// Writes the result file, logs, stores the event, shows the error LEDs, tells the system driver
// and ends the process with minus the code.
[[noreturn]] void StopUpdate(const std::string& text, int code);
// A configured command line through the shell (not run in a simulated run, unless it is an
// unzip); true when it ran and exited with 0, or was only simulated.
bool ShellCommand(const std::string& command);
void ReportProgress(int step, int total, const std::string& text, double fraction);
// Writes the text to the updater's log and, with alsoUser, to the user log "UpdateLog.txt".
void UpdateLog(const std::string& text, bool alsoUser = false);
// The result file, written whole: the text without a line end.
bool WriteResultFile(const std::string& text);
// The part name with every character but letters, digits, "_" and "-" replaced by "_".
std::string SanitisePartName(const std::string& name);
// Removes the files (not folders) of a directory whose names match one of the patterns: no
// shell, no sub-folders.
void RemoveMatchingFiles(const std::string& directory, const std::vector<const char*>& patterns);
// The device path of a path of the device (mapped on a simulated device).
std::string LocalPath(const std::string& devicePath);

// ---- Version texts

// "vAA.BB.CCC" (after the first "_" or a leading "v", text longer than 9 characters) as
// AA * 100000 + BB * 1000 + CCC; 0 for any other text.
uint32_t VersionTextToNumber(const std::string& text);
std::string VersionNumberToText(uint32_t number);
// The number AABBCCC of the 7 digits 128 bytes before the end of a version file; 0 when the
// file cannot be read or holds no digits there.
uint32_t ReadFWVersionBin(const std::string& path);

// ---- Parts

// Updates one part by its control document; the error text, empty on success.
std::string UpdatePart(const std::string& partName, int slot, int step, int total,
                       const std::string& installedVersion);
// The error text the part would end in that its control document and the archive alone show
// (a control document that is missing or unreadable, a group of unknown type, a bad block size,
// a member the archive does not hold, an AVR group, ...), so that such an archive is refused
// before anything is changed; empty when they show none.
std::string CheckPart(const std::string& partName, int slot, const std::string& installedVersion);
// Stores the version in the production data (slot -1) or the module's EEPROM (0 to 4).
bool UpdateModuleVersion(int slot, const std::string& version);
// "AA" -> "AA.0000"; "AA.x" to "AA.xxxx" stay; anything else becomes "XX.xxxx".
std::string NormaliseModuleVersion(const std::string& version);

// ---- End of the run

// Closes the file list and leaves the compatibility list, the archive and the result record in
// "/dev/mtd_update" (when flash is wanted, the run is real and the partition exists); stores
// the configuration archive when a part changed the configuration.
bool FinishUpdate(bool flashWanted, int total, bool systemBased);
bool StoreConfigurationArchive();

#endif
