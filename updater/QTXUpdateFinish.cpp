// The end of a successful run: the records the system driver needs after the next start. The
// update partition "/dev/mtd_update" gets a status block "FREP" (written last, so that its
// presence marks a complete set), the packed compatibility list "COMB" and the update archive
// ("UPDT", or "UPD0" here and "UPD1" at the start of "/dev/mtd_update2" when it does not fit);
// "/dev/mtd_data" gets the configuration archive "KCFG" when a part changed the configuration.
#include "QTXUpdate.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConfigArchive.h"
#include "QTXFlashRecord.h"
#include "UpdateFiles.h"

namespace
{
const char kUpdatePartition[] = "/dev/mtd_update";
const char kUpdatePartition2[] = "/dev/mtd_update2";
const char kDataPartition[] = "/dev/mtd_data";
const char kConfigurationDirectory[] = "/tmp/Driver/Configuration/";
const char kProgressText[] = "Finishing update";
const char kCompatibilityList[] = "Compatibility.xml";
constexpr uint64_t kMinRecordSource = 10;

// The status block: "FREP", 4 zero bytes, the partition's size, the distance to the next record
// (one page), 12 zero bytes, the rest of the page erased.
std::vector<unsigned char> StatusBlock(uint32_t partitionBytes)
{
    std::vector<unsigned char> block(QTX_FLASH_PAGE_BYTES, 0xFF);
    EncodeFlashRecordHead("FREP", partitionBytes, block.data());
    const uint32_t distance = QTX_FLASH_PAGE_BYTES;
    for (int i = 0; i < 4; ++i)
        block[12 + i] = static_cast<unsigned char>(distance >> (8 * i));
    memset(block.data() + 16, 0, 12);
    return block;
}

off_t FileSize(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -1;
}

bool WriteRecord(int partition, int source, uint32_t length, const char* tag, uint64_t room,
                 int total, double from, double to)
{
    ReportProgress(total, total, kProgressText, from);
    const bool ok = WriteFlashRecordBlocks(
        partition, source, length, tag, room,
        [&](uint64_t done)
        {
            const double share = length > 0 ? static_cast<double>(done) / length : 1.0;
            ReportProgress(total, total, kProgressText, from + (to - from) * share);
        });
    ReportProgress(total, total, kProgressText, to);
    return ok;
}

// The records of a system-based device; false after the failure was logged.
bool WriteUpdateRecords(int partition, int total)
{
    const off_t size = PlatLseek(partition, 0, SEEK_END);
    if (size <= kMinUpdatePartitionBytes)
    {
        UpdateLog("End.Error 1b");
        return false;
    }
    const std::vector<unsigned char> erased(QTX_FLASH_PAGE_BYTES, 0xFF);
    const bool cleared = PlatLseek(partition, 0, SEEK_SET) == 0 &&
                         FlashWriteFully(partition, erased.data(), erased.size()) == erased.size();
    fsync(partition);
    ReportProgress(total, total, kProgressText, 0.05);

    // The compatibility list of the update directory, packed as the system driver unpacks it:
    // the one a part of this run put there, else the archive's own.
    const std::string directory = LocalPath(sUpdateRootDir);
    const std::string zipPath = directory + "Compatibility.xml.zip";
    const std::string listPath = directory + kCompatibilityList;
    struct stat st;
    const bool delivered = lstat(listPath.c_str(), &st) == 0;
    const bool present =
        delivered
            ? S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= UPDATE_MAX_DOCUMENT_BYTES
            : g_pUpdateFilesClass != nullptr &&
                  g_pUpdateFilesClass->Unpack(kCompatibilityList, UPDATE_MAX_DOCUMENT_BYTES);
    if (delivered && !present)
        UpdateLog("ERROR: " + sUpdateRootDir + kCompatibilityList + " is no file of at most " +
                  std::to_string(UPDATE_MAX_DOCUMENT_BYTES) + " bytes");
    if (!present || !CUpdateArchive::PackFile(zipPath, listPath, kCompatibilityList) || !cleared)
    {
        unlink(zipPath.c_str());
        UpdateLog("End.Error 1a");
        return false;
    }
    const int list = open(zipPath.c_str(), O_RDONLY | O_CLOEXEC);
    const off_t listSize = list >= 0 ? FileSize(list) : -1;
    bool ok = list >= 0 && listSize > static_cast<off_t>(kMinRecordSource) &&
              listSize <= UINT32_MAX &&
              WriteRecord(partition, list, static_cast<uint32_t>(listSize), "COMB",
                          static_cast<uint64_t>(size) - QTX_FLASH_PAGE_BYTES, total, 0.05, 0.1);
    if (list >= 0)
        close(list);
    unlink(zipPath.c_str());
    if (!ok)
    {
        UpdateLog("End.Error 2");
        return false;
    }

    // The archive itself, cut in two when the rest of the partition cannot hold it with room to
    // spare: one that fills the rest exactly goes whole into "UPD0", behind it an empty "UPD1".
    const int archive = open(LocalPath(sUpdateArchive).c_str(), O_RDONLY | O_CLOEXEC);
    if (archive < 0)
    {
        UpdateLog("End.Error 3");
        return false;
    }
    const uint64_t archiveSize = static_cast<uint64_t>(std::max<off_t>(FileSize(archive), 0));
    const off_t at = PlatLseek(partition, 0, SEEK_CUR);
    const uint64_t room = at > 0 ? static_cast<uint64_t>(size - at) : 0;
    ok = archiveSize > kMinRecordSource && at > static_cast<off_t>(kMinRecordSource) &&
         archiveSize <= UINT32_MAX && room > QTX_FLASH_RECORD_HEAD_BYTES;
    if (ok && archiveSize + QTX_FLASH_RECORD_HEAD_BYTES < room)
        ok = WriteRecord(partition, archive, static_cast<uint32_t>(archiveSize), "UPDT", room,
                         total, 0.1, 0.9);
    else if (ok)
    {
        const uint64_t first = room - QTX_FLASH_RECORD_HEAD_BYTES;
        ok = WriteRecord(partition, archive, static_cast<uint32_t>(first), "UPD0", room, total, 0.1,
                         0.7);
        const int second = ok ? PlatOpen(kUpdatePartition2, O_RDWR) : -1;
        ok = second >= 0;
        if (ok)
        {
            const off_t secondSize = PlatLseek(second, 0, SEEK_END);
            ok = secondSize > 0 && PlatLseek(second, 0, SEEK_SET) == 0 &&
                 WriteRecord(second, archive, static_cast<uint32_t>(archiveSize - first), "UPD1",
                             static_cast<uint64_t>(secondSize), total, 0.7, 0.9);
            ok = PlatClose(second) == 0 && ok;
        }
    }
    close(archive);
    if (!ok)
    {
        UpdateLog("End.Error 4");
        return false;
    }

    // The status block last: the set is complete.
    const std::vector<unsigned char> status = StatusBlock(static_cast<uint32_t>(size));
    ok = PlatLseek(partition, 0, SEEK_SET) == 0 &&
         FlashWriteFully(partition, status.data(), status.size()) == status.size();
    fsync(partition);
    ReportProgress(total, total, kProgressText, 0.95);
    return ok;
}

// Removes the work files of the run from the update directory; a simulated run keeps the
// archive, so that the real run can follow.
void RemoveWorkFiles()
{
    const std::string directory = LocalPath(sUpdateRootDir);
    std::vector<const char*> patterns = {"plv*", "Target.txt", "Compatibility.xml*", "zip"};
    if (!bSimulateUpdate)
        patterns.push_back("*.qor");
    RemoveMatchingFiles(directory, patterns);
}
} // namespace

bool FinishUpdate(bool flashWanted, int total, bool systemBased)
{
    ReportProgress(total, total, kProgressText, 0);
    // Closing removes the flash images from the archive; the list stays for unpacking the
    // compatibility list.
    if (g_pUpdateFilesClass != nullptr)
        g_pUpdateFilesClass->Close();

    bool result = true;
    const int partition = flashWanted && !bSimulateUpdate ? PlatOpen(kUpdatePartition, O_RDWR) : -1;
    if (partition >= 0)
    {
        if (!systemBased)
        {
            // A stand-alone device keeps no records: the first head reads as erased.
            const std::vector<unsigned char> erased(QTX_FLASH_RECORD_HEAD_BYTES, 0xFF);
            result = PlatLseek(partition, 0, SEEK_SET) == 0 &&
                     FlashWriteFully(partition, erased.data(), erased.size()) == erased.size();
        }
        else
            result = WriteUpdateRecords(partition, total);
        result = PlatClose(partition) == 0 && result;
    }

    delete g_pUpdateFilesClass;
    g_pUpdateFilesClass = nullptr;
    if (result)
        RemoveWorkFiles();
    // A simulated run wrote no configuration file, and stores nothing in flash.
    if (bStoreConfiguration && !bSimulateUpdate)
        StoreConfigurationArchive();
    ReportProgress(total, total, kProgressText, 1.0);
    delete pUpdateHw;
    pUpdateHw = nullptr;
    return result;
}

bool StoreConfigurationArchive()
{
    std::string data;
    std::string why;
    bool ok = TakeConfigurationArchive(LocalPath(kConfigurationDirectory), data, why);
    if (!ok)
        UpdateLog("ERROR: " + why);
    if (ok)
    {
        const int partition = PlatOpen(kDataPartition, O_RDWR);
        ok = partition >= 0 && WriteFlashRecord(partition, "KCFG", data) == 0;
        if (partition >= 0)
            ok = PlatClose(partition) == 0 && ok;
    }
    UpdateLog(ok ? "Storing configuration done" : "Storing configuration failed");
    return ok;
}
