// Resources that outlive a request: named shared memories that the hub creates and holds for
// other programs (so they survive their users), published in the directory memory
// "MEM_DevMsg_SharedMemoryList", and the reboot control (Reboot, AllowReboot, ForbidReboot).
//
// The held memories live in RAM, so they are bounded in number, in size and in all: a memory
// that is freed is unmapped and its name removed, so freeing gives back what allocating took,
// and a hub that ends gives back all it holds. The names held are kept in a record of the hub's
// own as well, so that a hub that was killed leaves nothing that the next one does not remove.
// The record also names the hub that owns it (process number and start time): the lock of a
// killed hub can outlast it for a moment, so a starting hub that finds the owner gone waits for
// the lock a bounded time instead of taking the dead hub for a live one.
// Store writes only into a folder of the hub's own, under plain file names.
//
// Requests change the memories on the serving thread; the end of the hub on SIGTERM releases
// them from another thread, so both take tSharedMemoryMutex.
#include "QTXSystem.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXBinConfig.h"
#include "QTXConvert.h"

namespace
{
// Directory layout: change counter, number of entries, then 64 entries of a 64-byte name and
// a 32-bit length.
constexpr size_t kCounterOffset = 0;
constexpr size_t kCountOffset = 4;
constexpr size_t kEntriesOffset = 8;
constexpr size_t kEntryBytes = 68;
constexpr size_t kEntryNameBytes = 64;
constexpr uint32_t kCounterLimit = 1000000000u;

// Actions of the NamedSharedMemory request.
const Item_t aSharedMemoryActions[] = {{"Allocate", 1}, {"Free", 2}, {"Store", 3}, {nullptr, 0}};
constexpr int kAllocate = 1;
constexpr int kFree = 2;
constexpr int kStore = 3;

// The counter word is what readers watch: it is written as one aligned word, ordered against
// the entries around it.
void StoreCounter(unsigned char* directory, uint32_t value)
{
    unsigned char bytes[4];
    QtxBinPutU32(bytes, value);
    uint32_t word;
    memcpy(&word, bytes, sizeof word);
    __atomic_store_n(reinterpret_cast<uint32_t*>(directory + kCounterOffset), word,
                     __ATOMIC_SEQ_CST);
}

std::vector<QTXNSMemory*>::iterator FindMemory(std::vector<QTXNSMemory*>& memories,
                                               const std::string& name)
{
    return std::find_if(memories.begin(), memories.end(),
                        [&](const QTXNSMemory* memory) { return name == GetNSMemoryName(memory); });
}

// A name of one entry of a folder: it cannot lead out of it.
bool IsPlainName(const std::string& name, size_t longest)
{
    return !name.empty() && name.size() <= longest && name.find('/') == std::string::npos &&
           name.find("..") == std::string::npos && name.find('\0') == std::string::npos;
}

// The record of held names: SYSTEM_SHM_MAX_HELD slots. A slot's first byte is written last
// and cleared first, so a hub killed while it writes one leaves an empty slot, never a name cut
// short. The owner follows the slots (so a record of the slots alone, as an earlier hub made
// it, reads as one without an owner).
constexpr size_t kRecordSlotBytes = SYSTEM_SHM_MAX_HELD * SYSTEM_SHM_HELD_SLOT_BYTES;
constexpr size_t kRecordBytes = kRecordSlotBytes + SYSTEM_SHM_HELD_OWNER_BYTES;
// How long a starting hub waits for the lock of a hub that has ended.
constexpr int64_t kEndedOwnerLockWaitMs = 5000;
constexpr int64_t kLockRetryMs = 5;

unsigned char* RecordSlot(QTXNSMemory* record, size_t slot)
{
    return static_cast<unsigned char*>(GetNSMemoryPointer(record)) +
           slot * SYSTEM_SHM_HELD_SLOT_BYTES;
}

void AddToHeldRecord(QTXNSMemory* record, const std::string& name)
{
    if (record == nullptr || name.empty() || name.size() >= SYSTEM_SHM_HELD_SLOT_BYTES)
        return;
    const std::vector<std::string> held =
        ReadHeldRecord(static_cast<const unsigned char*>(GetNSMemoryPointer(record)));
    if (std::find(held.begin(), held.end(), name) != held.end())
        return;
    for (size_t slot = 0; slot < SYSTEM_SHM_MAX_HELD; ++slot)
    {
        unsigned char* entry = RecordSlot(record, slot);
        if (__atomic_load_n(entry, __ATOMIC_SEQ_CST) != 0)
            continue;
        memset(entry + 1, 0, SYSTEM_SHM_HELD_SLOT_BYTES - 1);
        memcpy(entry + 1, name.data() + 1, name.size() - 1);
        __atomic_store_n(entry, static_cast<unsigned char>(name[0]), __ATOMIC_SEQ_CST);
        return;
    }
}

void RemoveFromHeldRecord(QTXNSMemory* record, const std::string& name)
{
    if (record == nullptr)
        return;
    for (size_t slot = 0; slot < SYSTEM_SHM_MAX_HELD; ++slot)
    {
        unsigned char* entry = RecordSlot(record, slot);
        if (strncmp(reinterpret_cast<const char*>(entry), name.c_str(),
                    SYSTEM_SHM_HELD_SLOT_BYTES) == 0)
            __atomic_store_n(entry, static_cast<unsigned char>(0), __ATOMIC_SEQ_CST);
    }
}

SHeldRecordOwner ReadRecordOwner(QTXNSMemory* record)
{
    const unsigned char* at =
        static_cast<const unsigned char*>(GetNSMemoryPointer(record)) + kRecordSlotBytes;
    SHeldRecordOwner owner;
    owner.iPid = static_cast<int32_t>(QtxBinGetU32(at));
    owner.uStartTicks = QtxBinGetU32(at + 4) | static_cast<uint64_t>(QtxBinGetU32(at + 8)) << 32;
    return owner;
}

void WriteRecordOwner(QTXNSMemory* record, const SHeldRecordOwner& owner)
{
    unsigned char* at = static_cast<unsigned char*>(GetNSMemoryPointer(record)) + kRecordSlotBytes;
    QtxBinPutU32(at, static_cast<uint32_t>(owner.iPid));
    QtxBinPutU32(at + 4, static_cast<uint32_t>(owner.uStartTicks));
    QtxBinPutU32(at + 8, static_cast<uint32_t>(owner.uStartTicks >> 32));
}

int64_t MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Whether a shared memory of that name exists (made by the hub or by anyone else).
bool SharedMemoryExists(const std::string& name)
{
    const int fd = PlatShmOpen(name.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return errno != ENOENT;
    close(fd);
    return true;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// The folder of Store, ending with the separator.
std::string StoreFolder(const CSystem& system)
{
    return PlatPath(system.FileNameToAbsolutePath(SYSTEM_SHM_STORE_FOLDER)) +
           sQTXDirectorySeperator;
}
} // namespace

std::vector<std::string> ReadHeldRecord(const unsigned char* record)
{
    std::vector<std::string> names;
    if (record == nullptr)
        return names;
    for (size_t slot = 0; slot < SYSTEM_SHM_MAX_HELD; ++slot)
    {
        const unsigned char* entry = record + slot * SYSTEM_SHM_HELD_SLOT_BYTES;
        if (__atomic_load_n(entry, __ATOMIC_SEQ_CST) == 0)
            continue;
        size_t length = 0;
        while (length < SYSTEM_SHM_HELD_SLOT_BYTES - 1 && entry[length] != 0)
            ++length;
        names.emplace_back(reinterpret_cast<const char*>(entry), length);
    }
    return names;
}

bool ReadProcessStart(int32_t pid, char& state, uint64_t& startTicks)
{
    if (pid <= 0)
        return false;
    // Opened relative to "/proc": a user-mode emulator answers a process's own
    // "/proc/<pid>/stat" with fields of its own making, and the start time a hub records of
    // itself must be the one every other process reads.
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return false;
    const std::string path = std::to_string(pid) + "/stat";
    const int fd = openat(proc, path.c_str(), O_RDONLY | O_CLOEXEC);
    close(proc);
    if (fd < 0)
        return false;
    char text[1024];
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    // The command name in parentheses may hold spaces and parentheses itself: the fields
    // are counted from the last ")".
    const char* rest = strrchr(text, ')');
    if (rest == nullptr || rest[1] != ' ' || rest[2] == '\0')
        return false;
    state = rest[2];
    // The start time is the 22nd field; the state is the 3rd.
    const char* field = rest + 2;
    for (int skip = 3; skip < 22; ++skip)
    {
        field = strchr(field, ' ');
        if (field == nullptr)
            return false;
        ++field;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long ticks = strtoull(field, &end, 10);
    if (end == field || errno != 0)
        return false;
    startTicks = ticks;
    return true;
}

bool IsRecordOwnerRunning(const SHeldRecordOwner& owner)
{
    char state = 0;
    uint64_t startTicks = 0;
    // A process of another start time took the number of an owner that ended; a zombie has
    // ended already.
    return ReadProcessStart(owner.iPid, state, startTicks) && startTicks == owner.uStartTicks &&
           state != 'Z' && state != 'X' && state != 'x';
}

uint64_t StoreReserveBytes(uint64_t total)
{
    return std::max<uint64_t>(SYSTEM_SHM_STORE_RESERVE_BYTES,
                              total / SYSTEM_SHM_STORE_RESERVE_PART);
}

std::string StoreRoomRefusal(uint64_t length, uint64_t total, uint64_t available)
{
    const uint64_t reserve = StoreReserveBytes(total);
    if (length <= available && available - length >= reserve)
        return "";
    return "Not enough room for the file: a Store of " + std::to_string(length) +
           " bytes must leave " + std::to_string(reserve) + " bytes free, and " +
           std::to_string(available) + " bytes are free";
}

bool IsSharedMemoryNameAllowed(const std::string& name)
{
    return name != "." && IsPlainName(name, static_cast<size_t>(QTX_NSMEMORY_NAME_LENGTH));
}

void WriteSharedMemoryDirectory(unsigned char* directory, const std::vector<QTXNSMemory*>& memories,
                                const QTXNSMemory* self)
{
    if (directory == nullptr)
        return;
    uint32_t counter = QtxBinGetU32(directory + kCounterOffset) + 1;
    if (counter > kCounterLimit)
        counter = 1;
    StoreCounter(directory, 0);
    memset(directory + kCountOffset, 0, SYSTEM_SHM_DIRECTORY_BYTES - kCountOffset);
    uint32_t count = 0;
    for (const QTXNSMemory* memory : memories)
    {
        if (memory == self || count >= SYSTEM_SHM_DIRECTORY_ENTRIES)
            continue;
        unsigned char* entry = directory + kEntriesOffset + kEntryBytes * count;
        const char* name = GetNSMemoryName(memory);
        strncpy(reinterpret_cast<char*>(entry), name, kEntryNameBytes - 1);
        QtxBinPutU32(entry + kEntryNameBytes, static_cast<uint32_t>(GetNSMemoryLength(memory)));
        ++count;
    }
    QtxBinPutU32(directory + kCountOffset, count);
    StoreCounter(directory, counter);
}

void CSystem::ProcessNamedSharedMemory()
{
    XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    const char* nameAttribute = root.getAttribute("Name");
    const int action = ItemStringToInt(aSharedMemoryActions, root.getAttribute("Action"), true);
    if (nameAttribute == nullptr || (action != kAllocate && action != kFree && action != kStore))
    {
        root.updateAttribute("Name or Action missing or Action undefined", nullptr, "Error");
        return;
    }
    const std::string name = nameAttribute;
    const auto answer = [&](bool done, const char* error)
    {
        if (error != nullptr)
            root.updateAttribute(error, nullptr, "Error");
        root.updateAttribute(done ? "Done" : "ERROR", nullptr, "Result");
    };
    // A held memory is a file of the device's shared-memory directory: its name must stay
    // within it, and fit the directory's entries.
    if (name == ".")
    {
        answer(false, "Name must name a memory, not the folder \".\"");
        return;
    }
    if (!IsSharedMemoryNameAllowed(name))
    {
        answer(false, "Name is empty, longer than 63 characters or holds \"/\" or \"..\"");
        return;
    }
    LockGuard guard(&tSharedMemoryMutex);
    guard.Lock();
    unsigned char* directory = static_cast<unsigned char*>(GetNSMemoryPointer(pSharedMemoryList));

    if (action == kAllocate)
    {
        const int32_t size = StringToInt(root.getAttribute("Size"));
        if (size < 1)
        {
            answer(false, "size is either missing, negative or zero");
            return;
        }
        if (size > SYSTEM_SHM_MAX_BYTES)
        {
            answer(false, ("Size is larger than " + std::to_string(SYSTEM_SHM_MAX_BYTES) +
                           " bytes, the most a named shared memory may take")
                              .c_str());
            return;
        }
        // The directory and the record are the hub's own: held as a memory of its own the
        // directory would list itself, and a Free would remove either from under its readers.
        if (name == SYSTEM_SHM_DIRECTORY_NAME)
        {
            answer(false, "Name is reserved for the directory of named shared memories");
            return;
        }
        if (name == SYSTEM_SHM_HELD_RECORD_NAME)
        {
            answer(false, "Name is reserved for the record of held named shared memories");
            return;
        }
        if (bSharedMemoriesReleased)
        {
            answer(false, "The system driver is ending");
            return;
        }
        const auto same = FindMemory(vpNamedSharedMemories, name);
        const QTXNSMemory* replaced = same != vpNamedSharedMemories.end() ? *same : nullptr;
        if (vpNamedSharedMemories.size() >= SYSTEM_SHM_MAX_HELD && replaced == nullptr)
        {
            answer(false, ("Too many named shared memories, at most " +
                           std::to_string(SYSTEM_SHM_MAX_HELD) + " are held")
                              .c_str());
            return;
        }
        // A memory allocated anew takes the place of the one of its name.
        int64_t total = size;
        for (const QTXNSMemory* memory : vpNamedSharedMemories)
            if (memory != replaced)
                total += GetNSMemoryLength(memory);
        if (total > SYSTEM_SHM_MAX_TOTAL_BYTES)
        {
            answer(false, ("Named shared memories would take more than " +
                           std::to_string(SYSTEM_SHM_MAX_TOTAL_BYTES) + " bytes together")
                              .c_str());
            return;
        }
        auto place = vpNamedSharedMemories.begin();
        bool changed = false;
        bool held = false;
        while (place != vpNamedSharedMemories.end())
        {
            const int order = strcmp(GetNSMemoryName(*place), name.c_str());
            if (order == 0)
            {
                // The object stays, for the programs that use it; only the hub's mapping of the
                // old size goes.
                ReleaseNSMemory(*place, false);
                place = vpNamedSharedMemories.erase(place);
                changed = true;
                held = true;
                break;
            }
            if (order > 0)
                break;
            ++place;
        }
        // The name is recorded before the object can exist, so that no memory of the hub's is
        // ever missing from the record.
        const bool existed = held || SharedMemoryExists(name);
        AddToHeldRecord(pHeldRecord, name);
        // The hub creates the memory with its size and keeps it readable and writable.
        QTXNSMemory* memory = OpenNSMemory(
            name.c_str(), QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE, size);
        const std::string why = memory != nullptr ? std::string()
                                                  : "Can not make the named shared memory: " +
                                                        std::string(strerror(errno));
        if (memory != nullptr)
        {
            vpNamedSharedMemories.insert(place, memory);
            changed = true;
        }
        else
        {
            // The hub gives the name up: a memory it held or made goes with it; one that
            // another program made before stays that program's.
            if (held || !existed)
                PlatShmUnlink(name.c_str());
            RemoveFromHeldRecord(pHeldRecord, name);
        }
        // A replaced memory that could not be made again is gone from the directory too.
        if (changed)
            WriteSharedMemoryDirectory(directory, vpNamedSharedMemories, pSharedMemoryList);
        answer(memory != nullptr, memory != nullptr ? nullptr : why.c_str());
        return;
    }

    const auto held = FindMemory(vpNamedSharedMemories, name);
    if (held == vpNamedSharedMemories.end())
    {
        answer(false, "No named shared memory found with this name");
        return;
    }

    if (action == kFree)
    {
        ReleaseNSMemory(*held, true);
        vpNamedSharedMemories.erase(held);
        RemoveFromHeldRecord(pHeldRecord, name);
        WriteSharedMemoryDirectory(directory, vpNamedSharedMemories, pSharedMemoryList);
        answer(true, nullptr);
        return;
    }

    // Store: the attribute is "Filename"; the framework's own request names it "FileName".
    std::string file = CharPointerToString(root.getAttribute("Filename"));
    if (file.empty())
        file = CharPointerToString(root.getAttribute("FileName"));
    if (file.empty())
    {
        answer(false, "Filename is either missing or empty");
        return;
    }
    if (file == ".")
    {
        answer(false, "Filename must name a file, not the folder \".\"");
        return;
    }
    if (file.size() > NAME_MAX)
    {
        answer(false, ("Filename is longer than " + std::to_string(NAME_MAX) + " bytes").c_str());
        return;
    }
    // Any other name could overwrite another driver's files or the stored configuration.
    if (!IsPlainName(file, NAME_MAX))
    {
        answer(false, "Filename must be a plain file name without \"/\" or \"..\"");
        return;
    }
    const void* address = GetNSMemoryPointer(*held);
    if (address == nullptr)
    {
        answer(false, "Error with selected named shared memry");
        return;
    }
    // The contents go into a fresh file that then takes the place of the file as a whole, so
    // the file is never written through a link that stands in its place, and a Store cut short
    // leaves a file that the next start recognises.
    const std::string folder = StoreFolder(*this);
    const std::string target = folder + file;
    const size_t length = static_cast<size_t>(GetNSMemoryLength(*held));
    const bool folderMade = QTXMakeDirectories(folder);
    // The folder lies in RAM beside the configuration and the other drivers' files: a Store
    // that would leave its file system short of room is refused before a byte is written.
    struct statvfs room;
    if (folderMade && statvfs(folder.c_str(), &room) == 0)
    {
        const std::string refusal =
            StoreRoomRefusal(length, static_cast<uint64_t>(room.f_blocks) * room.f_frsize,
                             static_cast<uint64_t>(room.f_bavail) * room.f_frsize);
        if (!refusal.empty())
        {
            answer(false, refusal.c_str());
            return;
        }
    }
    std::string temporary = folder + SYSTEM_SHM_STORE_TEMPORARY + "XXXXXX";
    const int fd = folderMade ? mkstemp(&temporary[0]) : -1;
    FILE* output = nullptr;
    if (fd >= 0)
    {
        struct stat old;
        fchmod(fd, stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 0777)
                                                                           : 0644);
        output = fdopen(fd, "wb");
        if (output == nullptr)
        {
            close(fd);
            unlink(temporary.c_str());
        }
    }
    if (output == nullptr)
    {
        answer(false, "Can not open selected file");
        return;
    }
    const bool written = fwrite(address, 1, length, output) == length;
    const bool closed = fclose(output) == 0;
    if (!written || !closed || rename(temporary.c_str(), target.c_str()) != 0)
    {
        unlink(temporary.c_str());
        answer(false, "Can not write selected file");
        return;
    }
    answer(true, nullptr);
}

void CSystem::RemoveLeftSharedMemories()
{
    LockGuard guard(&tSharedMemoryMutex);
    guard.Lock();
    pHeldRecord = OpenNSMemory(SYSTEM_SHM_HELD_RECORD_NAME,
                               QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE,
                               static_cast<int>(kRecordBytes));
    if (pHeldRecord == nullptr)
    {
        WriteToLogfile(std::string("Note: No record of held shared memories: ") + strerror(errno));
        return;
    }
    // Every running hub holds the lock shared, and the hub that owns the record is named in it.
    // The record is taken over only with the lock held exclusively and its owner gone: the
    // owner lets go of the lock for a moment when it turns its exclusive lock into a shared
    // one, and a killed owner's lock can outlast it for a while, so the lock is waited for, a
    // bounded time, while the owner is gone.
    SHeldRecordOwner self;
    self.iPid = static_cast<int32_t>(getpid());
    char state = 0;
    if (!ReadProcessStart(self.iPid, state, self.uStartTicks))
        self.uStartTicks = 0;
    const int64_t deadline = MonotonicMs() + kEndedOwnerLockWaitMs;
    bool waitLogged = false;
    for (;;)
    {
        const SHeldRecordOwner owner = ReadRecordOwner(pHeldRecord);
        if (IsRecordOwnerRunning(owner))
        {
            WriteToLogfile("Note: Another system driver (process " + std::to_string(owner.iPid) +
                           ") holds named shared memories");
            flock(pHeldRecord->iDescriptor, LOCK_SH);
            return;
        }
        if (flock(pHeldRecord->iDescriptor, LOCK_EX | LOCK_NB) == 0)
        {
            // Whoever wrote the record before the lock was taken has ended or lets go of it.
            if (!IsRecordOwnerRunning(ReadRecordOwner(pHeldRecord)))
                break;
            flock(pHeldRecord->iDescriptor, LOCK_UN);
            continue;
        }
        if (MonotonicMs() >= deadline)
        {
            WriteToLogfile("Note: The record of held named shared memories stays locked by "
                           "another process; nothing of it is removed");
            flock(pHeldRecord->iDescriptor, LOCK_SH);
            return;
        }
        if (!waitLogged)
        {
            WriteToLogfile("Note: The system driver before (process " + std::to_string(owner.iPid) +
                           ") has ended; waiting for its lock on the record of held named "
                           "shared memories");
            waitLogged = true;
        }
        usleep(static_cast<useconds_t>(kLockRetryMs * 1000));
    }
    WriteRecordOwner(pHeldRecord, self);
    unsigned char* record = static_cast<unsigned char*>(GetNSMemoryPointer(pHeldRecord));
    for (const std::string& name : ReadHeldRecord(record))
        if (IsSharedMemoryNameAllowed(name) && PlatShmUnlink(name.c_str()) == 0)
            WriteToLogfile("Removed named shared memory " + name + " of the previous run");
    memset(record, 0, kRecordSlotBytes);

    const std::string folder = StoreFolder(*this);
    if (DIR* dir = opendir(folder.c_str()))
    {
        std::vector<std::string> stale;
        while (const dirent* entry = readdir(dir))
            if (StartsWith(entry->d_name, SYSTEM_SHM_STORE_TEMPORARY))
                stale.push_back(entry->d_name);
        closedir(dir);
        for (const std::string& name : stale)
        {
            struct stat st;
            if (lstat((folder + name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                unlink((folder + name).c_str()) == 0)
                WriteToLogfile("Removed " + name + ", left by a Store of the previous run");
        }
    }
    flock(pHeldRecord->iDescriptor, LOCK_SH);
}

void CSystem::ReleaseSharedMemories()
{
    LockGuard guard(&tSharedMemoryMutex);
    guard.Lock();
    bSharedMemoriesReleased = true;
    for (QTXNSMemory* memory : vpNamedSharedMemories)
    {
        RemoveFromHeldRecord(pHeldRecord, GetNSMemoryName(memory));
        ReleaseNSMemory(memory, true);
    }
    if (!vpNamedSharedMemories.empty())
    {
        vpNamedSharedMemories.clear();
        WriteSharedMemoryDirectory(
            static_cast<unsigned char*>(GetNSMemoryPointer(pSharedMemoryList)),
            vpNamedSharedMemories, pSharedMemoryList);
    }
}

void CSystem::Terminate()
{
    ReleaseSharedMemories();
    CQTX::Terminate();
}

void CSystem::ProcessReboot()
{
    XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    const char* config = root.getAttribute("Config");
    if (config == nullptr)
    {
        bRebootPending = !bRebootForbidden;
        if (bRebootPending)
            WriteToLogfile("Reboot requested by XML command from " +
                           GetCommunicationClass().GetAddress());
        return;
    }
    if (SameString(config, "AllowReboot"))
    {
        bRebootForbidden = false;
        root.updateAttribute("Allowing reboot commands", nullptr, "Status");
    }
    else if (SameString(config, "ForbidReboot"))
    {
        bRebootForbidden = true;
        root.updateAttribute("Suppressing reboot commands", nullptr, "Status");
    }
}
