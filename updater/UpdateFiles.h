// The update file list: the engine that brings single files of the archive to their targets.
// Each entry is unpacked when it is needed, written to a file of the file system, a raw flash
// partition or a module's flash file system, with a CRC-32 of what was written, and verified
// afterwards by reading the target back. A replaced file keeps its previous version beside it
// as "<name>.beforeUpdate". At most one unpacked file lies in the update directory at a time.
#ifndef UPDATE_FILES_H
#define UPDATE_FILES_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "QTXPLVAccess.h"
#include "UpdateArchive.h"

class CUpdate;

// Largest block of a transfer, and the one buffer all transfers go through.
constexpr size_t MaxFlashBlockSize = 71680;

// Part types of the entries (bit 0x80 marks a module's FPGA image).
enum : int
{
    kPartFile = 1,
    kPartFlash = 2,
    kPartModule = 4, // 4 + slot 0..4
    kPartAvr = 12,
    kPartFpgaBit = 0x80,
};

enum UpdateEntryState : int
{
    kEntryNew = 1,
    kEntryWritten = 2,
    kEntrySkipped = 3,
    kEntryVerified = 4,
    kEntryError = 6,
    kEntryVerifyFailed = 7,
};

// CRC-32 of the update: MSB-first over the polynomial 0x04C11DB7 from 0xFFFFFFFF, the result
// bit-reversed and complemented ("123456789" gives 0x1898913F).
uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t length);
constexpr uint32_t kUpdateCrcStart = 0xFFFFFFFFu;
uint32_t UpdateCrcFinish(uint32_t crc);

// Directory and name joined with exactly one "/" (an empty directory yields the name alone);
// every "\" becomes "/".
std::string JoinPath(const std::string& directory, const std::string& name);
// The archive member of a file of a control document: a name beginning with "/" or "\" lies in
// the archive's top directory (without that character), any other in the archive directory.
std::string UpdateMemberName(const std::string& archiveDirectory, const std::string& fileName);
// Text of a part type ("HDD/SSD", "Flash", "Module X1", ...); empty for unknown types.
std::string UpdateTypeText(int type);

struct UpdateFileEntry
{
    std::string sDisplayName;
    std::string sDestination;
    std::string sArchiveName;
    std::string sUnpackedPath;
    uint64_t uWrittenSize = 0;
    uint32_t uCrc = 0;
    int iPartType = 0;
    int iState = kEntryNew;
    size_t uBlockLength = 0;
    bool bFlag = false; // files: keep an existing target; module images: the AVR flash
    bool bNoVerify = false;
    bool bBackedUp = false; // the previous target is already kept as ".beforeUpdate"
};

class CUpdateFiles
{
public:
    // updateDirectory and archivePath are paths of this process (mapped).
    CUpdateFiles(const std::string& updateDirectory, const std::string& archivePath, bool simulate,
                 CUpdate* hardware);
    ~CUpdateFiles();

    // Opens the archive; false with the reason when it cannot be read.
    bool OpenArchive(std::string& why);
    CUpdateArchive& Archive() { return m_tArchive; }

    bool Add(const std::string& displayName, const std::string& archiveDirectory,
             const std::string& fileName, int partType);
    bool WriteCurrent(bool flag, size_t blockLength);
    void MarkCurrentNoVerify();
    bool Find(const std::string& displayName, int partType);
    bool VerifyAll();
    // Unpacks the member into the update directory, unless this run already did; a member
    // larger than maxBytes is refused (see UpdateArchive.h).
    bool Unpack(const std::string& name, uint64_t maxBytes = UPDATE_MAX_MEMBER_BYTES);
    void RemoveUnpacked(const std::string& name);
    // Removes every member this run unpacked and has not removed yet, with the folders that
    // are left empty: a run that stops leaves nothing of the archive behind.
    void RemoveAllUnpacked();
    // The module flash file system of slot 0..4 (size at least 1), kept for the run.
    CQTXPLVAccess* ModuleFileSystem(int slot, int32_t size);
    bool SetProgressWindow(int step, int total, const std::string& text, double from, double to);
    // Removes the written flash images from the archive and empties the list.
    void Close();

    int State() const { return m_iListState; }
    const std::vector<UpdateFileEntry>& Entries() const { return m_vEntries; }

private:
    bool WriteFile(UpdateFileEntry& entry);
    bool WriteFlash(UpdateFileEntry& entry);
    // Opens the entry's partition; "/dev/mtd_boot" and "/dev/mtd_fpga" fall back to their block
    // devices "dev/mtdblock0" and "dev/mtdblock4" (relative to the working directory), which
    // then become the entry's destination. -1 with errno of the first open when neither opens.
    int OpenPartition(UpdateFileEntry& entry, int flags);
    bool WriteModule(UpdateFileEntry& entry);
    // Copies the unpacked file block by block to the target (none: -1, only read), with the
    // CRC and the progress; a partition gets fsync after each block.
    bool CopyBlocks(UpdateFileEntry& entry, int source, int target, bool partition);
    bool VerifyEntry(UpdateFileEntry& entry);
    bool VerifyOnce(UpdateFileEntry& entry);
    bool WriteEntry(UpdateFileEntry& entry);
    void SwitchAvr(int slot, bool avr);
    void SetAmount(double expected, int shift);
    void AddAmount(uint64_t bytes);
    void CloseWindow();

    std::string m_sDirectory;
    std::string m_sArchive;
    bool m_bSimulate;
    CUpdate* m_pHardware;
    CUpdateArchive m_tArchive;
    std::vector<UpdateFileEntry> m_vEntries;
    size_t m_uCurrent = 0; // index of the current entry; size() when there is none
    std::vector<unsigned char> m_vBuffer;
    std::set<std::string> m_tPendingDelete;
    std::set<std::string> m_tUnpacked; // members this run unpacked and has not removed yet
    std::unique_ptr<CQTXPLVAccess> m_apModules[5];
    int m_iListState = 0;
    // Progress window.
    int m_iStep = 0;
    int m_iTotal = 0;
    double m_dFrom = 0;
    double m_dTo = 1;
    std::string m_sText;
    double m_dExpected = 1.0;
    int m_iShift = 0;
    uint64_t m_uDone = 0;
    uint64_t m_uLastReported = 0;
};

#endif
