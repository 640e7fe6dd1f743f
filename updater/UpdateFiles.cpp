// The update file list: unpack, write, verify, and the progress in bytes of each transfer.
#include "UpdateFiles.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXFlashRecord.h"
#include "QTXGlobal.h"
#include "QTXUpdate.h"

namespace
{
constexpr int kVerifyAttempts = 3;

const uint32_t* CrcTable()
{
    static const std::array<uint32_t, 256> table = []
    {
        std::array<uint32_t, 256> values{};
        for (uint32_t i = 0; i < 256; ++i)
        {
            uint32_t value = i << 24;
            for (int bit = 0; bit < 8; ++bit)
                value = (value & 0x80000000u) ? (value << 1) ^ 0x04C11DB7u : value << 1;
            values[i] = value;
        }
        return values;
    }();
    return table.data();
}

void PauseMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

bool IsFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads up to count bytes; fewer only at the end or on an error (then -1).
ssize_t ReadBlock(int fd, unsigned char* buffer, size_t count)
{
    errno = 0;
    const size_t got = FlashReadFully(fd, buffer, count);
    return got < count && errno != 0 ? -1 : static_cast<ssize_t>(got);
}

// A fresh file beside path for mkostemp: "..Update.<name>.XXXXXX", a name with "..", which no
// file of a user or of an archive has (archive names with ".." are refused), and a hidden one.
std::string UpdateTemporaryPath(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t longest = NAME_MAX - strlen("..Update.") - strlen(".XXXXXX.before");
    if (name.size() > longest)
        name.resize(longest);
    return directory + "..Update." + name + ".XXXXXX";
}

const char* StateText(int state)
{
    switch (state)
    {
    case kEntrySkipped:
        return "skipped";
    case kEntryError:
        return "ERROR !!!";
    case kEntryWritten:
        return "OK";
    default:
        return "internal ERROR !!!";
    }
}
} // namespace

uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t length)
{
    const uint32_t* table = CrcTable();
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i)
        crc = (crc << 8) ^ table[(crc >> 24) ^ bytes[i]];
    return crc;
}

uint32_t UpdateCrcFinish(uint32_t crc)
{
    uint32_t reversed = 0;
    for (int bit = 0; bit < 32; ++bit)
        if (crc & (1u << bit))
            reversed |= 1u << (31 - bit);
    return ~reversed;
}

std::string JoinPath(const std::string& directory, const std::string& name)
{
    std::string dir = directory;
    std::string file = name;
    for (char& c : dir)
        if (c == '\\')
            c = '/';
    for (char& c : file)
        if (c == '\\')
            c = '/';
    if (dir.empty())
        return file;
    while (!dir.empty() && dir.back() == '/')
        dir.pop_back();
    size_t start = 0;
    while (start < file.size() && file[start] == '/')
        ++start;
    return dir + "/" + file.substr(start);
}

std::string UpdateMemberName(const std::string& archiveDirectory, const std::string& fileName)
{
    if (!fileName.empty() && (fileName[0] == '/' || fileName[0] == '\\'))
        return JoinPath("", fileName.substr(1));
    return JoinPath(archiveDirectory, fileName);
}

std::string UpdateTypeText(int type)
{
    const int index = type & ~kPartFpgaBit;
    switch (index)
    {
    case 0:
        return "Undefined";
    case kPartFile:
        return "HDD/SSD";
    case kPartFlash:
        return "Flash";
    case 20:
        return "???";
    case 21:
        return "WatIsDat?";
    default:
        break;
    }
    if (index >= 4 && index <= 8)
        return "Module X" + std::to_string(index - 3);
    if (index >= 12 && index <= 16)
        return "AVR X" + std::to_string(index - 11);
    return "";
}

CUpdateFiles::CUpdateFiles(const std::string& updateDirectory, const std::string& archivePath,
                           bool simulate, CUpdate* hardware)
    : m_sDirectory(updateDirectory), m_sArchive(archivePath), m_bSimulate(simulate),
      m_pHardware(hardware), m_vBuffer(MaxFlashBlockSize)
{
}

CUpdateFiles::~CUpdateFiles()
{
    RemoveAllUnpacked();
}

bool CUpdateFiles::OpenArchive(std::string& why)
{
    if (m_tArchive.Open(m_sArchive))
        return true;
    why = m_tArchive.Why();
    return false;
}

bool CUpdateFiles::Unpack(const std::string& name, uint64_t maxBytes)
{
    const std::string path = JoinPath(m_sDirectory, name);
    // A file left by an earlier run is never taken for this archive's member.
    if (m_tUnpacked.count(name) != 0 && IsFile(path))
        return true;
    if (!m_tArchive.IsOpen())
    {
        std::string why;
        OpenArchive(why);
    }
    if (m_tArchive.Extract(name, path, maxBytes))
    {
        m_tUnpacked.insert(name);
        UpdateLog("Unpacked " + name + " from the update archive");
        return true;
    }
    if (m_tArchive.IsOpen() && m_tArchive.Has(name))
        UpdateLog("ERROR: Can not unpack " + name + " [" + path + "]: the member " +
                      m_tArchive.Why() + ".",
                  true);
    else
        UpdateLog("ERROR: Can not find " + name + " [" + path + "] in update archive.", true);
    return false;
}

void CUpdateFiles::RemoveAllUnpacked()
{
    const std::set<std::string> unpacked = m_tUnpacked;
    for (const std::string& name : unpacked)
        RemoveUnpacked(name);
}

void CUpdateFiles::RemoveUnpacked(const std::string& name)
{
    if (!IsSafeMemberName(name))
        return;
    m_tUnpacked.erase(name);
    unlink(JoinPath(m_sDirectory, name).c_str());
    // Folders of the member that are empty now go too.
    std::string folder = name;
    for (size_t slash = folder.rfind('/'); slash != std::string::npos; slash = folder.rfind('/'))
    {
        folder.erase(slash);
        if (rmdir(JoinPath(m_sDirectory, folder).c_str()) != 0)
            break;
    }
}

bool CUpdateFiles::Add(const std::string& displayName, const std::string& archiveDirectory,
                       const std::string& fileName, int partType)
{
    UpdateFileEntry entry;
    entry.sDisplayName = displayName;
    entry.sDestination = displayName;
    entry.sArchiveName = UpdateMemberName(archiveDirectory, fileName);
    // Nothing is unpacked outside the update directory.
    if (!IsSafeMemberName(entry.sArchiveName))
    {
        UpdateLog("ERROR: refused the archive name \"" + entry.sArchiveName + "\"", true);
        return false;
    }
    entry.sUnpackedPath = JoinPath(m_sDirectory, entry.sArchiveName);
    entry.iPartType = partType;
    if ((partType & ~kPartFpgaBit) == kPartFlash)
        m_tPendingDelete.insert(entry.sArchiveName);
    m_vEntries.push_back(entry);
    m_uCurrent = m_vEntries.size() - 1;
    return true;
}

void CUpdateFiles::MarkCurrentNoVerify()
{
    if (m_uCurrent < m_vEntries.size())
        m_vEntries[m_uCurrent].bNoVerify = true;
}

bool CUpdateFiles::Find(const std::string& displayName, int partType)
{
    if (m_uCurrent < m_vEntries.size() && m_vEntries[m_uCurrent].sDisplayName == displayName &&
        m_vEntries[m_uCurrent].iPartType == partType)
        return true;
    for (size_t i = 0; i < m_vEntries.size(); ++i)
        if (m_vEntries[i].sDisplayName == displayName && m_vEntries[i].iPartType == partType)
        {
            m_uCurrent = i;
            return true;
        }
    return false;
}

bool CUpdateFiles::WriteCurrent(bool flag, size_t blockLength)
{
    if (m_uCurrent >= m_vEntries.size() || blockLength < 1 || blockLength > MaxFlashBlockSize)
        return false;
    UpdateFileEntry& entry = m_vEntries[m_uCurrent];
    entry.bFlag = flag;
    entry.uBlockLength = blockLength;
    return WriteEntry(entry);
}

bool CUpdateFiles::WriteEntry(UpdateFileEntry& entry)
{
    if (!Unpack(entry.sArchiveName))
    {
        entry.iState = kEntryError;
        if (m_iListState <= 4)
            m_iListState = kEntryError;
        return false;
    }
    entry.iState = kEntryWritten;
    UpdateLog("\nUpdating file " + entry.sDisplayName + ": ", true);
    bool ok = false;
    const int type = entry.iPartType & ~kPartFpgaBit;
    if (type == kPartFile)
        ok = WriteFile(entry);
    else if (type == kPartFlash)
        ok = WriteFlash(entry);
    else if (type >= kPartModule && type <= kPartModule + 4)
        ok = WriteModule(entry);
    if (!ok)
        entry.iState = kEntryError;
    UpdateLog(StateText(entry.iState), true);
    if (m_iListState <= 4)
        m_iListState = entry.iState == kEntryError ? kEntryError : kEntryWritten;
    RemoveUnpacked(entry.sArchiveName);
    return ok;
}

bool CUpdateFiles::WriteFile(UpdateFileEntry& entry)
{
    const int source = open(entry.sUnpackedPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
        return false;
    struct stat st;
    fstat(source, &st);
    SetAmount(static_cast<double>(st.st_size), 20);
    if (m_bSimulate)
    {
        const bool ok = CopyBlocks(entry, source, -1, false);
        close(source);
        return ok;
    }

    const std::string destination = LocalPath(entry.sDestination);
    struct stat old;
    const bool exists = lstat(destination.c_str(), &old) == 0;
    if (exists && entry.bFlag)
    {
        close(source);
        entry.iState = kEntrySkipped;
        CloseWindow();
        return true;
    }
    // The target keeps the permissions of the file it replaces (a program stays one).
    const mode_t mode = exists ? (old.st_mode & 07777) : 0644;
    const size_t slash = destination.rfind('/');
    if (slash != std::string::npos && slash > 0)
        QTXMakeDirectories(destination.substr(0, slash));

    // The new version is written whole beside the target first; the target is replaced only
    // by a complete successor, so a write that fails (a full file system) leaves it as it was.
    std::string temporary = UpdateTemporaryPath(destination);
    const int target = mkostemp(&temporary[0], O_CLOEXEC);
    if (target < 0)
    {
        UpdateLog("ERROR: can not write beside " + entry.sDestination + ": " + strerror(errno));
        close(source);
        return false;
    }
    fchmod(target, mode);
    bool ok = CopyBlocks(entry, source, target, false);
    int error = ok ? 0 : errno;
    close(source);
    if (ok && fsync(target) != 0)
    {
        ok = false;
        error = errno;
    }
    if (close(target) != 0 && ok)
    {
        ok = false;
        error = errno;
    }
    if (!ok)
    {
        UpdateLog("ERROR: can not write " + entry.sDestination + ": " + strerror(error) +
                  "; the file stays as it was");
        unlink(temporary.c_str());
        return false;
    }

    // The previous version is kept as ".beforeUpdate"; a second write of the same entry (after
    // a failed verify) must not take the place of the real previous version.
    const std::string backup = destination + ".beforeUpdate";
    bool moved = false; // the previous version left its name (no hard link possible)
    if (exists && !entry.bBackedUp)
    {
        // A second name for the previous version, which then takes the place of an older
        // backup in one step; where the file system has no hard links, the previous version
        // is renamed and the new one follows at once.
        const std::string linked = temporary + ".before";
        unlink(linked.c_str());
        bool kept = false;
        if (link(destination.c_str(), linked.c_str()) == 0)
        {
            kept = rename(linked.c_str(), backup.c_str()) == 0;
            if (!kept)
                unlink(linked.c_str());
        }
        else
        {
            unlink(backup.c_str());
            moved = kept = rename(destination.c_str(), backup.c_str()) == 0;
        }
        if (!kept)
        {
            UpdateLog("ERROR: can not keep " + entry.sDestination + " as " + entry.sDestination +
                      ".beforeUpdate: " + strerror(errno));
            unlink(temporary.c_str());
            return false;
        }
        entry.bBackedUp = true;
    }
    if (rename(temporary.c_str(), destination.c_str()) != 0)
    {
        UpdateLog("ERROR: can not replace " + entry.sDestination + ": " + strerror(errno));
        unlink(temporary.c_str());
        if (moved)
            rename(backup.c_str(), destination.c_str());
        return false;
    }
    return true;
}

int CUpdateFiles::OpenPartition(UpdateFileEntry& entry, int flags)
{
    int device = PlatOpen(entry.sDestination.c_str(), flags);
    if (device >= 0)
        return device;
    const int error = errno;
    // Where the boot and FPGA partitions have no node of their own, their block devices take
    // the image; the entry keeps the one that opened, for the verify.
    const char* fallback = nullptr;
    if (entry.sDestination == "/dev/mtd_boot")
        fallback = "dev/mtdblock0";
    else if (entry.sDestination == "/dev/mtd_fpga")
        fallback = "dev/mtdblock4";
    if (fallback != nullptr && (device = PlatOpen(fallback, flags)) >= 0)
    {
        UpdateLog("Can not open " + entry.sDestination + " (" + strerror(error) + "), using " +
                  fallback);
        entry.sDestination = fallback;
        return device;
    }
    errno = error;
    return -1;
}

bool CUpdateFiles::WriteFlash(UpdateFileEntry& entry)
{
    const int source = open(entry.sUnpackedPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
        return false;
    struct stat st;
    fstat(source, &st);
    SetAmount(static_cast<double>(st.st_size), 16);
    // A simulated run changes no partition; it only looks at its size, where it can.
    const int device = OpenPartition(entry, m_bSimulate ? O_RDONLY : O_RDWR);
    if (device < 0 && !m_bSimulate)
    {
        UpdateLog("ERROR: can not open " + entry.sDestination + ": " + strerror(errno));
        close(source);
        return false;
    }
    // An image larger than its partition is refused before its first byte is written.
    bool ok = true;
    if (device >= 0)
    {
        const off_t room = PlatLseek(device, 0, SEEK_END);
        if (room > 0 && st.st_size > room)
        {
            UpdateLog("ERROR: the image " + entry.sArchiveName + " (" + std::to_string(st.st_size) +
                      " bytes) does not fit into " + entry.sDestination + " (" +
                      std::to_string(room) + " bytes)");
            ok = false;
        }
        else if (room >= 0 && PlatLseek(device, 0, SEEK_SET) != 0)
        {
            UpdateLog("ERROR: can not write " + entry.sDestination +
                      " from its start: " + strerror(errno));
            ok = false;
        }
    }
    if (ok)
    {
        ok = CopyBlocks(entry, source, m_bSimulate ? -1 : device, true);
        if (!ok && device >= 0 && !m_bSimulate)
            UpdateLog("ERROR: writing " + entry.sDestination + " failed: " + strerror(errno));
    }
    else
        CloseWindow();
    close(source);
    if (device >= 0 && PlatClose(device) != 0 && !m_bSimulate)
        ok = false;
    return ok;
}

bool CUpdateFiles::CopyBlocks(UpdateFileEntry& entry, int source, int target, bool partition)
{
    uint32_t crc = kUpdateCrcStart;
    uint64_t size = 0;
    bool ok = true;
    for (;;)
    {
        const ssize_t n = ReadBlock(source, m_vBuffer.data(), entry.uBlockLength);
        if (n <= 0)
        {
            ok = n == 0;
            break;
        }
        if (target >= 0 && FlashWriteFully(target, m_vBuffer.data(), static_cast<size_t>(n)) !=
                               static_cast<size_t>(n))
        {
            ok = false;
            break;
        }
        // Each block of a partition is on the flash before the next; a simulated run takes
        // its time per block.
        if (partition && target >= 0)
            fsync(target);
        else if (partition)
            PauseMs(1);
        crc = UpdateCrc32(crc, m_vBuffer.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
        AddAmount(static_cast<uint64_t>(n));
    }
    entry.uCrc = UpdateCrcFinish(crc);
    entry.uWrittenSize = size;
    CloseWindow();
    return ok;
}

void CUpdateFiles::SwitchAvr(int slot, bool avr)
{
    UpdateLog(avr ? "Switching to AVR flash" : "Switching to PLV flash");
    const uint32_t address = static_cast<uint32_t>(slot) * 0x20000000u + 0x7FF00008u;
    if (m_pHardware != nullptr)
        m_pHardware->BPBWriteWord(static_cast<int32_t>(address), avr ? 0xCAFE0000u : 0xCAFE0001u,
                                  true);
}

bool CUpdateFiles::WriteModule(UpdateFileEntry& entry)
{
    const int slot = (entry.iPartType & ~kPartFpgaBit) - kPartModule;
    SetAmount(10, 0);
    CQTXPLVAccess* module = ModuleFileSystem(slot, sfSizes[slot]);
    if (module == nullptr)
        return false;
    const bool avr = entry.bFlag;
    if (avr)
    {
        SwitchAvr(slot, true);
        module->ReadDirectory();
    }
    if (entry.iPartType & kPartFpgaBit)
    {
        const std::string old = module->GetDirEntryName(1);
        if (!old.empty())
            module->Delete(old);
    }
    // The module keeps the file under the name the control document gives it (an FPGA image
    // without its ending): the unpacked file is written under that name.
    bool ok = false;
    const std::string staging = m_sDirectory + ".module";
    const std::string staged = staging + "/" + entry.sDisplayName;
    if (IsSafeMemberName(entry.sDisplayName) && entry.sDisplayName.find('/') == std::string::npos &&
        QTXMakeDirectories(staging))
    {
        unlink(staged.c_str());
        if (link(entry.sUnpackedPath.c_str(), staged.c_str()) == 0)
            ok = module->Write(staged);
        unlink(staged.c_str());
        rmdir(staging.c_str());
    }
    if (avr)
    {
        SwitchAvr(slot, false);
        module->ReadDirectory();
    }
    AddAmount(10);
    CloseWindow();
    return ok;
}

CQTXPLVAccess* CUpdateFiles::ModuleFileSystem(int slot, int32_t size)
{
    if (slot < 0 || slot > 4 || size < 0)
        return nullptr;
    if (!m_apModules[slot] && size >= 1)
        m_apModules[slot].reset(new CQTXPLVAccess(slot, size, m_bSimulate));
    return m_apModules[slot].get();
}

bool CUpdateFiles::VerifyAll()
{
    bool all = true;
    int previousType = -1;
    const size_t count = m_vEntries.size();
    const int step = m_iStep;
    const int total = m_iTotal;
    const std::string text = m_sText;
    const double from = m_dFrom;
    const double to = m_dTo;
    for (size_t i = 0; i < count; ++i)
    {
        UpdateFileEntry& entry = m_vEntries[i];
        if (entry.iPartType != previousType)
            UpdateLog("\n\nVerifying slot " + UpdateTypeText(entry.iPartType));
        previousType = entry.iPartType;
        const double width = (to - from) / static_cast<double>(count);
        if (step > 0 && total > 0)
            SetProgressWindow(step, total, text, from + width * static_cast<double>(i),
                              from + width * static_cast<double>(i + 1));
        if (!VerifyEntry(entry))
            all = false;
    }
    m_iListState = all ? kEntryVerified : kEntryVerifyFailed;
    return all;
}

bool CUpdateFiles::VerifyEntry(UpdateFileEntry& entry)
{
    if (entry.iState != kEntryWritten || entry.bNoVerify)
        return true;
    for (int attempt = 1; attempt <= kVerifyAttempts; ++attempt)
    {
        UpdateLog("\nVerifying file " + entry.sDisplayName + ": ", true);
        const int type = entry.iPartType & ~kPartFpgaBit;
        const bool known = type == kPartFile || type == kPartFlash || type == kPartAvr ||
                           (type >= kPartModule && type <= kPartModule + 4);
        if (!known)
            break;
        if (VerifyOnce(entry))
        {
            entry.iState = kEntryVerified;
            UpdateLog("OK", true);
            return true;
        }
        if (attempt < kVerifyAttempts)
        {
            UpdateLog("Error: trying to program once more", true);
            WriteEntry(entry);
            entry.iState = kEntryWritten;
        }
    }
    UpdateLog("ERROR: verify failed", true);
    entry.iState = kEntryVerifyFailed;
    return false;
}

bool CUpdateFiles::VerifyOnce(UpdateFileEntry& entry)
{
    const int type = entry.iPartType & ~kPartFpgaBit;
    if (type == kPartAvr)
        return true;
    if (type == kPartFile || type == kPartFlash)
    {
        int fd = -1;
        bool unpacked = false;
        if (type == kPartFile)
        {
            if (m_bSimulate)
            {
                unpacked = Unpack(entry.sArchiveName);
                fd = open(entry.sUnpackedPath.c_str(), O_RDONLY | O_CLOEXEC);
            }
            else
                fd = open(LocalPath(entry.sDestination).c_str(), O_RDONLY | O_CLOEXEC);
        }
        else if (m_bSimulate)
        {
            for (uint64_t done = 0; done < entry.uWrittenSize; done += entry.uBlockLength)
                PauseMs(1);
            return true;
        }
        else
            fd = PlatOpen(entry.sDestination.c_str(), O_RDONLY);
        if (fd < 0)
            return false;
        SetAmount(static_cast<double>(entry.uWrittenSize), type == kPartFile ? 20 : 16);
        const size_t block = type == kPartFile ? MaxFlashBlockSize : entry.uBlockLength;
        uint32_t crc = kUpdateCrcStart;
        uint64_t size = 0;
        bool ok = true;
        while (ok)
        {
            // A partition is read back as far as it was written.
            size_t want = block;
            if (type == kPartFlash)
            {
                if (size >= entry.uWrittenSize)
                    break;
                want = static_cast<size_t>(std::min<uint64_t>(block, entry.uWrittenSize - size));
            }
            const ssize_t n = ReadBlock(fd, m_vBuffer.data(), want);
            if (n <= 0)
            {
                ok = n == 0;
                break;
            }
            crc = UpdateCrc32(crc, m_vBuffer.data(), static_cast<size_t>(n));
            size += static_cast<uint64_t>(n);
            AddAmount(static_cast<uint64_t>(n));
        }
        if (type == kPartFile)
            close(fd);
        else
            PlatClose(fd);
        if (unpacked)
            RemoveUnpacked(entry.sArchiveName);
        CloseWindow();
        if (!ok || size != entry.uWrittenSize)
            return false;
        return (type == kPartFile && m_bSimulate) || UpdateCrcFinish(crc) == entry.uCrc;
    }

    // A module file: its name in the module's directory.
    SetAmount(1, 8);
    if (m_bSimulate)
    {
        PauseMs(200);
        return true;
    }
    const int slot = type - kPartModule;
    CQTXPLVAccess* module = ModuleFileSystem(slot, sfSizes[slot]);
    if (module == nullptr)
        return false;
    bool found = false;
    if (entry.iPartType & kPartFpgaBit)
    {
        if (entry.bFlag)
        {
            SwitchAvr(slot, true);
            module->ReadDirectory();
        }
        else
            module->ReadDirectory();
        const std::string name = module->GetDirLength() > 1 ? module->GetDirEntryName(1) : "";
        found = name == entry.sDisplayName;
        if (!found)
            UpdateLog("ERROR during module verfy of PLV User-FPGA: found " + name +
                      ", but expected " + entry.sDisplayName);
        if (entry.bFlag)
        {
            SwitchAvr(slot, false);
            module->ReadDirectory();
        }
    }
    else
    {
        module->ReadDirectory();
        for (int i = 2; i < module->GetDirLength() && !found; ++i)
            found = module->GetDirEntryName(i) == entry.sDisplayName;
    }
    AddAmount(1);
    CloseWindow();
    return found;
}

bool CUpdateFiles::SetProgressWindow(int step, int total, const std::string& text, double from,
                                     double to)
{
    if (step <= 0 || total <= 0 || !(from >= 0) || !(from <= to) || !(to <= 1))
        return false;
    m_iStep = step;
    m_iTotal = total;
    m_sText = text;
    m_dFrom = from;
    m_dTo = to;
    m_dExpected = 1.0;
    m_iShift = 0;
    m_uDone = 0;
    m_uLastReported = 0;
    return true;
}

void CUpdateFiles::SetAmount(double expected, int shift)
{
    m_dExpected = expected > 0 ? expected : 1.0;
    m_iShift = shift;
    m_uDone = 0;
    m_uLastReported = 0;
}

void CUpdateFiles::AddAmount(uint64_t bytes)
{
    m_uDone += bytes;
    const uint64_t now = m_uDone >> m_iShift;
    if (now == m_uLastReported || m_iStep <= 0)
        return;
    m_uLastReported = now;
    double fraction = static_cast<double>(m_uDone) / m_dExpected;
    if (fraction > 1)
        fraction = 1;
    ReportProgress(m_iStep, m_iTotal, m_sText, m_dFrom + (m_dTo - m_dFrom) * fraction);
}

void CUpdateFiles::CloseWindow()
{
    if (m_iStep > 0)
        ReportProgress(m_iStep, m_iTotal, m_sText, m_dTo);
}

void CUpdateFiles::Close()
{
    if (!m_bSimulate && !m_tPendingDelete.empty())
    {
        // The flash images are in their partitions now; the archive kept in flash goes without
        // them.
        m_tArchive.Close();
        std::string why;
        if (CUpdateArchive::RemoveMembers(m_sArchive, m_tPendingDelete, why))
            UpdateLog("Removed the flash images from the update archive");
        else
            UpdateLog("ERROR: can not remove the flash images from the update archive: " + why);
    }
    m_tPendingDelete.clear();
    // -NoBackup: once everything was verified, the previous versions kept by this run go.
    if (bDeleteBackupFiles && !m_bSimulate && m_iListState == kEntryVerified)
        for (const UpdateFileEntry& entry : m_vEntries)
            if (entry.bBackedUp)
                unlink((LocalPath(entry.sDestination) + ".beforeUpdate").c_str());
    m_vEntries.clear();
    m_uCurrent = 0;
}
