// The module flash file system of one module, through the back end or, in simulate mode,
// from canned entries.
#include "QTXPLVAccess.h"

#include "KovePlatform.h"
#include "PlvBackend.h"
#include "WIO2USR.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int kLastSlot = 4;

void SleepMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

struct SCannedEntry
{
    const char* name;
    const char* date;
    uint32_t address;
};

const SCannedEntry kCanned[] = {
    {"Golden_Fpga.bin", "2001-01-31 07:30:01", 0},
    {"User_Fpga.bin", "2001-01-31 07:30:02", 0x80000},
    {"calibration.xml_cal", "2010-02-01 17:05:01", 0x100000},
    {"calibration.bin", "2010-02-01 17:05:05", 0x101300},
};

const char kDummyFile[] = "This is only a dummy file to demonstratge the PLV read";

// Copies text into a fixed field, cut to the field and terminated.
template <size_t N> void CopyField(char (&field)[N], const std::string& text)
{
    const size_t length = text.size() < N - 1 ? text.size() : N - 1;
    memcpy(field, text.data(), length);
    field[length] = '\0';
}

void SetEntry(tagQTXPLV_ENTRY& entry, const std::string& name, const std::string& date,
              const std::string& version, uint32_t address)
{
    entry.name = name;
    CopyField(entry.date, date);
    CopyField(entry.version, version);
    entry.address = address;
}
} // namespace

CQTXPLVAccess::CQTXPLVAccess(int slot, int moduleId, bool simulate)
    : m_bSimulate(simulate), m_iSlot(slot), m_iModuleId(moduleId)
{
    if (slot < 0 || slot > kLastSlot || moduleId <= 0)
    {
        m_iSlot = -1;
        m_iModuleId = 0;
    }
}

CQTXPLVAccess::~CQTXPLVAccess()
{
    m_iSlot = -1;
    FreeEntries();
}

void CQTXPLVAccess::FreeEntries()
{
    delete[] m_ptEntries;
    m_ptEntries = nullptr;
}

bool CQTXPLVAccess::ReadDirectory()
{
    static const char kName[] = "ReadDirectory";
    if (m_iSlot < 0)
        return false;
    FreeEntries();
    m_iEntries = 0;
    if (m_bSimulate)
    {
        const int count = m_iSlot <= 2 ? 2 : 4;
        m_ptEntries = new tagQTXPLV_ENTRY[count];
        for (int i = 0; i < count; ++i)
            SetEntry(m_ptEntries[i], kCanned[i].name, kCanned[i].date, "A0", kCanned[i].address);
        m_iEntries = count;
        return true;
    }
    const SPlvReservation reservation = {m_iSlot, m_iModuleId, 0};
    if (!Plv_Module_Reserve(&reservation))
    {
        printf("%s(): Cannot reserve PLV module\n", kName);
        return false;
    }
    int count = 0;
    if (!Plv_Enumerate(&count))
    {
        printf("%s(): Cannot enumerate PLV entries\n", kName);
        Plv_Module_Release();
        return false;
    }
    if (count <= 0)
    {
        printf("%s(): No entries\n", kName);
        Plv_Module_Release();
        return false;
    }
    uint8_t* headers = new (std::nothrow) uint8_t[static_cast<size_t>(count) * PLV_FS_HEADER_SIZE];
    uint32_t* addresses = new (std::nothrow) uint32_t[static_cast<size_t>(count)];
    tagQTXPLV_ENTRY* entries = new (std::nothrow) tagQTXPLV_ENTRY[static_cast<size_t>(count)];
    if (headers == nullptr || addresses == nullptr || entries == nullptr)
    {
        delete[] headers;
        delete[] addresses;
        delete[] entries;
        printf("%s(): Not enough memory to create buffers for file info\n", kName);
        Plv_Module_Release();
        return false;
    }
    if (!Plv_List_Filetable(headers, count) || !Plv_List_Flash_Addr(addresses, count))
    {
        printf("%s(): Cannot list PLV headers\n", kName);
        delete[] headers;
        delete[] addresses;
        delete[] entries;
        Plv_Module_Release();
        return false;
    }
    Plv_Module_Release();
    for (int i = 0; i < count; ++i)
    {
        const char* header = reinterpret_cast<const char*>(headers + i * PLV_FS_HEADER_SIZE);
        // The name ends at its NUL or at the end of the header, whichever comes first.
        const char* name = header + PLV_FS_NAME_OFFSET;
        const std::string date = std::string(header + PLV_FS_DATE_OFFSET, 10) + " " +
                                 std::string(header + PLV_FS_TIME_OFFSET, 8);
        const std::string version(header + PLV_FS_VERSION_OFFSET, 2);
        SetEntry(entries[i], std::string(name, strnlen(name, PLV_FS_NAME_MAX)), date, version,
                 addresses[i]);
    }
    delete[] headers;
    delete[] addresses;
    m_ptEntries = entries;
    m_iEntries = count;
    return true;
}

int CQTXPLVAccess::GetDirLength()
{
    if (m_iSlot < 0)
        return -1;
    if (m_iEntries >= 1)
        return m_iEntries;
    if (!ReadDirectory())
        return -1;
    return m_iEntries;
}

const tagQTXPLV_ENTRY* CQTXPLVAccess::Entry(int i)
{
    const int count = GetDirLength();
    if (count < 1 || i < 0 || i >= count || m_ptEntries == nullptr)
        return nullptr;
    return &m_ptEntries[i];
}

std::string CQTXPLVAccess::GetDirEntryName(int i)
{
    const tagQTXPLV_ENTRY* entry = Entry(i);
    return entry != nullptr ? entry->name : std::string();
}

std::string CQTXPLVAccess::GetDirEntryDate(int i)
{
    const tagQTXPLV_ENTRY* entry = Entry(i);
    return entry != nullptr ? std::string(entry->date) : std::string();
}

std::string CQTXPLVAccess::GetDirEntryVersion(int i)
{
    const tagQTXPLV_ENTRY* entry = Entry(i);
    return entry != nullptr ? std::string(entry->version) : std::string();
}

bool CQTXPLVAccess::Delete(std::string name)
{
    if (m_iSlot < 0)
        return false;
    if (m_bSimulate)
    {
        SleepMs(100);
        return true;
    }
    m_iEntries = 0;
    return PlvTools_Delete(m_iSlot, m_iModuleId, 0, name) == PLV_OK;
}

bool CQTXPLVAccess::Defrag()
{
    if (m_iSlot < 0)
        return false;
    m_iEntries = 0;
    if (m_bSimulate)
    {
        SleepMs(500);
        return true;
    }
    return PlvTools_Defrag(m_iSlot, m_iModuleId) == PLV_OK;
}

bool CQTXPLVAccess::Format(bool full)
{
    if (m_iSlot < 0)
        return false;
    m_iEntries = -1;
    if (m_bSimulate)
    {
        SleepMs(500);
        return true;
    }
    return PlvTools_Format(m_iSlot, m_iModuleId, full) == PLV_OK;
}

bool CQTXPLVAccess::Read(std::string remoteName, std::string localPath)
{
    if (m_iSlot < 0 || remoteName.empty() || localPath.empty())
        return false;
    if (m_bSimulate)
    {
        const int fd =
            open(PlatPath(localPath).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        const ssize_t written = write(fd, kDummyFile, sizeof kDummyFile - 1);
        return close(fd) == 0 && written == static_cast<ssize_t>(sizeof kDummyFile - 1);
    }
    return PlvTools_Read(m_iSlot, m_iModuleId, remoteName, localPath) == PLV_OK;
}

bool CQTXPLVAccess::Write(std::string localPath)
{
    if (m_iSlot < 0 || localPath.empty())
        return false;
    if (m_bSimulate)
    {
        SleepMs(2000);
        return true;
    }
    m_iEntries = 0;
    return PlvTools_Write(m_iSlot, m_iModuleId, localPath) == PLV_OK;
}
