// Resources that outlive a request: named shared memories that the hub creates and holds for
// other programs (so they survive their users), published in the directory memory
// "MEM_DevMsg_SharedMemoryList", and the reboot control (Reboot, AllowReboot, ForbidReboot).
//
// The held memories and the directory are the serving thread's alone. A memory that is freed
// is unmapped and its name removed, so freeing gives back what allocating took; the number held
// is bounded. Store writes only into a folder of the hub's own, under plain file names.
#include "QTXSystem.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

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
} // namespace

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
    unsigned char* directory = static_cast<unsigned char*>(GetNSMemoryPointer(pSharedMemoryList));

    if (action == kAllocate)
    {
        const int32_t size = StringToInt(root.getAttribute("Size"));
        if (size < 1)
        {
            answer(false, "size is either missing, negative or zero");
            return;
        }
        // The directory is the hub's own: held as a memory of its own it would list itself,
        // and a Free would remove it from under its readers.
        if (name == SYSTEM_SHM_DIRECTORY_NAME)
        {
            answer(false, "Name is reserved for the directory of named shared memories");
            return;
        }
        if (vpNamedSharedMemories.size() >= SYSTEM_SHM_MAX_HELD &&
            FindMemory(vpNamedSharedMemories, name) == vpNamedSharedMemories.end())
        {
            answer(false, ("Too many named shared memories, at most " +
                           std::to_string(SYSTEM_SHM_MAX_HELD) + " are held")
                              .c_str());
            return;
        }
        auto place = vpNamedSharedMemories.begin();
        bool changed = false;
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
                break;
            }
            if (order > 0)
                break;
            ++place;
        }
        // The hub creates the memory with its size and keeps it readable and writable.
        QTXNSMemory* memory = OpenNSMemory(
            name.c_str(), QTX_NSMEMORY_READ | QTX_NSMEMORY_WRITE | QTX_NSMEMORY_CREATE, size);
        if (memory != nullptr)
        {
            vpNamedSharedMemories.insert(place, memory);
            changed = true;
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
    const std::string folder =
        PlatPath(FileNameToAbsolutePath(SYSTEM_SHM_STORE_FOLDER)) + sQTXDirectorySeperator;
    // The file is replaced whole, never written through a link that stands in its place.
    bool opened = false;
    const size_t length = static_cast<size_t>(GetNSMemoryLength(*held));
    const bool stored = QTXMakeDirectories(folder) &&
                        ReplaceFile(folder + file,
                                    [&](const std::string& temporary)
                                    {
                                        FILE* output = fopen(temporary.c_str(), "wb");
                                        if (output == nullptr)
                                            return false;
                                        opened = true;
                                        const bool written =
                                            fwrite(address, 1, length, output) == length;
                                        return fclose(output) == 0 && written;
                                    });
    answer(stored, opened ? nullptr : "Can not open selected file");
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
