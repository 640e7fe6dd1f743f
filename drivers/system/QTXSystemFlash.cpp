// The configuration in flash. The drivers keep their configuration files in the configuration
// directory, which lives in RAM; the hub packs the directory into "Config.tar.gz" and writes it
// as the record "KCFG" at the start of "/dev/mtd_data", so that it survives a power cycle, and
// unpacks it again at start. At start it also restores the compatibility list that the updater
// left in "/dev/mtd_update" as the record "COMB" (first in the partition, or behind the
// updater's result record "FREP").
//
// Stores come from the StoreConfiguration command, from ConfigurationDone and from the
// factory-default thread; they take one lock, so two stores never interleave their archives
// or their writes. A store counts as done only when the whole record was written.
#include "QTXSystem.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConfigArchive.h"
#include "QTXFlashRecord.h"
#include "QTXShell.h"

namespace
{
const char kDataPartition[] = "/dev/mtd_data";
const char kUpdatePartition[] = "/dev/mtd_update";
const char kCompatibilityZip[] = "/tmp/Compatibility.xml.zip";
const char kCompatibilityFile[] = "Compatibility.xml";

// Sizes of the configuration archive restored: from 2 to 327679; the compatibility list from 2
// to 65535 (QTXConfigArchive.h has the sizes that are stored).
constexpr uint32_t kMinRestoredArchive = 2;
constexpr uint32_t kMaxRestoredArchive = 0x4FFFF;
constexpr uint32_t kMinCompatibility = 2;
constexpr uint32_t kMaxCompatibility = 0xFFFF;

// Bus word of the qorClock device whose bit 3 opens its flash for writing.
constexpr int32_t kBusWordFlashWrite = 12288;
constexpr uint32_t kFlashWriteBit = 8;

bool WriteFile(const std::string& path, const unsigned char* data, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = FlashWriteFully(fd, data, size) == size;
    return close(fd) == 0 && written;
}

// Reads a record head at the partition's position.
bool ReadHead(int fd, QTXFlashRecordHead& head)
{
    unsigned char bytes[QTX_FLASH_RECORD_HEAD_BYTES];
    if (FlashReadFully(fd, bytes, sizeof bytes) != sizeof bytes)
        return false;
    head = DecodeFlashRecordHead(bytes);
    return true;
}

// The configuration part of the restore. Returns false when nothing was restored; noRecord
// tells that the partition holds no configuration record.
bool RestoreConfiguration(CSystem* system, bool& noRecord)
{
    noRecord = false;
    const int partition = PlatOpen(kDataPartition, O_RDWR);
    if (partition < 0)
    {
        system->WriteToLogfile("ERROR: Can not restore configuration (#5)");
        return false;
    }
    QTXFlashRecordHead head;
    if (!ReadHead(partition, head) || !IsFlashRecord(head, "KCFG"))
    {
        PlatClose(partition);
        noRecord = true;
        return false;
    }
    std::vector<unsigned char> data;
    const char* failure = nullptr;
    if (head.uLength < kMinRestoredArchive || head.uLength > kMaxRestoredArchive)
        failure = "ERROR: Can not restore configuration (#4)";
    else
    {
        data.resize(head.uLength);
        if (FlashReadFully(partition, data.data(), data.size()) != data.size())
            failure = "ERROR: Can not restore configuration (#2)";
    }
    PlatClose(partition);
    if (failure != nullptr)
    {
        system->WriteToLogfile(failure);
        return false;
    }

    // Each step goes on only when the one before succeeded.
    const std::string directory = system->GetConfigurationPath();
    if (!WriteFile(directory + QTX_CONFIG_ARCHIVE, data.data(), data.size()))
    {
        system->WriteToLogfile("ERROR: Can not restore configuration (#1)");
        unlink((directory + QTX_CONFIG_ARCHIVE).c_str());
        return false;
    }
    std::string why;
    if (!UnpackConfigurationArchive(directory, why))
    {
        system->WriteToLogfile("ERROR: Can not restore configuration (#0): " + why);
        return false;
    }
    system->WriteToLogfile("Configuration restored from flash");
    return true;
}

// The compatibility part of the restore (hardware family 2).
bool RestoreCompatibilityList(CSystem* system)
{
    const int partition = PlatOpen(kUpdatePartition, O_RDONLY);
    if (partition < 0)
    {
        system->WriteToLogfile(std::string("ERROR: can not open ") + kUpdatePartition);
        return false;
    }
    QTXFlashRecordHead head;
    bool ok = ReadHead(partition, head);
    if (ok && IsFlashRecord(head, "FREP"))
    {
        // The first word of the result record's data is the distance to the next record.
        unsigned char next[16];
        ok = FlashReadFully(partition, next, sizeof next) == sizeof next;
        const uint32_t distance =
            static_cast<uint32_t>(next[0]) | static_cast<uint32_t>(next[1]) << 8 |
            static_cast<uint32_t>(next[2]) << 16 | static_cast<uint32_t>(next[3]) << 24;
        ok = ok && distance >= QTX_FLASH_RECORD_HEAD_BYTES &&
             PlatLseek(partition, static_cast<off_t>(distance), SEEK_SET) ==
                 static_cast<off_t>(distance) &&
             ReadHead(partition, head);
    }
    if (!ok)
    {
        system->WriteToLogfile("ERROR: Can not read flash (#1)");
        PlatClose(partition);
        return false;
    }

    const char* failure = nullptr;
    std::vector<unsigned char> data;
    if (!IsFlashRecord(head, "COMB"))
        failure = "ERROR: Can not restore compatibility list (#4)";
    else if (head.uLength < kMinCompatibility || head.uLength > kMaxCompatibility)
        failure = "ERROR: Can not restore compatibility list (#3)";
    else
    {
        data.resize(head.uLength);
        if (FlashReadFully(partition, data.data(), data.size()) != data.size())
            failure = "ERROR: Can not restore compatibility list (#1)";
    }
    PlatClose(partition);

    const std::string zip = PlatPath(kCompatibilityZip);
    if (failure == nullptr && !WriteFile(zip, data.data(), data.size()))
        failure = "ERROR: Can not restore compatibility list (#1)";
    if (failure == nullptr)
    {
        // Only the list itself is taken from the archive, into "/tmp".
        const std::string directory = PlatPath(std::string("/tmp/"));
        if (ExecuteProgram({"unzip", "-o", "-qq", zip, kCompatibilityFile, "-d", directory},
                           true) != 0)
            failure = "ERROR: Can not restore compatibility list (#0)";
    }
    unlink(zip.c_str());
    if (failure != nullptr)
    {
        system->WriteToLogfile(failure);
        return false;
    }
    return true;
}
} // namespace

bool StoreConfigurationToFlash(CSystem* system)
{
    LockGuard guard(&system->tFlashStoreMutex);
    guard.Lock();

    std::string archive;
    std::string why;
    if (!TakeConfigurationArchive(system->GetConfigurationPath(), archive, why))
    {
        system->WriteToLogfile("ERROR: Can not store configuration: " + why);
        return false;
    }

    const int partition = PlatOpen(kDataPartition, O_RDWR);
    if (partition < 0)
    {
        system->WriteToLogfile(std::string("ERROR: Can not store configuration: can not open ") +
                               kDataPartition);
        return false;
    }
    const bool clock = system->sDeviceName == "qorClock";
    if (clock)
        system->BPBWriteWord(kBusWordFlashWrite,
                             system->BPBReadWord(kBusWordFlashWrite, false) | kFlashWriteBit,
                             false);
    const int error = WriteFlashRecord(partition, "KCFG", archive);
    if (clock)
        system->BPBWriteWord(kBusWordFlashWrite,
                             system->BPBReadWord(kBusWordFlashWrite, false) & ~kFlashWriteBit,
                             false);
    const bool closed = PlatClose(partition) == 0;
    if (error != 0 || !closed)
    {
        system->WriteToLogfile(std::string("ERROR: Can not store configuration: writing ") +
                               kDataPartition + " failed: " + strerror(error ? error : errno));
        return false;
    }
    system->WriteToLogfile("Configuration stored in flash (" + std::to_string(archive.size()) +
                           " bytes)");
    return true;
}

bool RestoreConfigurationFromFlash(CSystem* system)
{
    LockGuard guard(&system->tFlashStoreMutex);
    guard.Lock();

    bool noRecord = false;
    const bool configuration = RestoreConfiguration(system, noRecord);
    // A partition without a configuration record (erased, or marked for factory defaults)
    // restores nothing, and nothing more is tried.
    if (noRecord)
        return false;
    bool compatibility = true;
    if (system->GetHWFamily() == QTX_HW_FAMILY_880)
        compatibility = RestoreCompatibilityList(system);
    return configuration && compatibility;
}
