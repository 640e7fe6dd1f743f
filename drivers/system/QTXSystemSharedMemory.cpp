// Resources that outlive a request: named shared memories that the hub creates and holds for
// other programs (so they survive their users), published in the directory memory
// "MEM_DevMsg_SharedMemoryList", and the reboot control (Reboot, AllowReboot, ForbidReboot).
//
// The held memories live in RAM, so they are bounded in number, in size and in all: a memory
// that is freed is unmapped and its name removed, so freeing gives back what allocating took,
// and a hub that ends gives back all it holds. The names held are kept in a record of the hub's
// own as well, so that a hub that was killed leaves nothing that the next one does not remove.
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
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
// short.
constexpr size_t kRecordBytes = SYSTEM_SHM_MAX_HELD * SYSTEM_SHM_HELD_SLOT_BYTES;

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

bool IsSharedMemoryNameAllowed(const std::string& name)
{
    return IsPlainName(name, static_cast<size_t>(QTX_NSMEMORY_NAME_LENGTH));
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
        answer(memory != nullptr, nullptr);
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
    std::string temporary = folder + SYSTEM_SHM_STORE_TEMPORARY + "XXXXXX";
    const int fd = QTXMakeDirectories(folder) ? mkstemp(&temporary[0]) : -1;
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
    const size_t length = static_cast<size_t>(GetNSMemoryLength(*held));
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
    // Another hub that runs holds its lock shared: then what the record names is that hub's.
    if (flock(pHeldRecord->iDescriptor, LOCK_EX | LOCK_NB) != 0)
    {
        WriteToLogfile("Note: Another system driver holds named shared memories");
        flock(pHeldRecord->iDescriptor, LOCK_SH);
        return;
    }
    unsigned char* record = static_cast<unsigned char*>(GetNSMemoryPointer(pHeldRecord));
    for (const std::string& name : ReadHeldRecord(record))
        if (IsSharedMemoryNameAllowed(name) && PlatShmUnlink(name.c_str()) == 0)
            WriteToLogfile("Removed named shared memory " + name + " of the previous run");
    memset(record, 0, kRecordBytes);

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
