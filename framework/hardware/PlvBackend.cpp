// Back end of the module flash file system over "libPLV.so". The reserved module of the
// Plv_* functions is one process-wide session, kept under a lock.
#include "PlvBackend.h"

#include "KovePlatform.h"
#include "ModuleLibrary.h"
#include "QTXError.h"
#include "QTXGlobal.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
// A local file larger than the module's flash can be is not read in.
constexpr uint64_t kLargestFile = 64u << 20;
const char kDefaultVersion[] = "A0";

bool Reserve(WIO2USR_HANDLE* handle, int slot, int moduleId, int count)
{
    uint8_t record[12];
    Wio2UsrPutLe32(record, static_cast<uint32_t>(slot));
    Wio2UsrPutLe32(record + 4, static_cast<uint32_t>(moduleId));
    Wio2UsrPutLe32(record + 8, static_cast<uint32_t>(count));
    uint32_t returned = 0;
    return WIO2USR_Call(handle, WIO2USR_RESERVE, record, sizeof record, nullptr, 0, &returned);
}

void Release(WIO2USR_HANDLE* handle)
{
    uint32_t returned = 0;
    WIO2USR_Call(handle, WIO2USR_RELEASE, nullptr, 0, nullptr, 0, &returned);
    WIO2USR_CloseHandle(handle);
}

WIO2USR_HANDLE* g_pSession = nullptr; // under SessionMutex()

pthread_mutex_t* SessionMutex()
{
    static pthread_mutex_t tMutex;
    static const int iCreated = NyMutexCreatePrivate(&tMutex);
    (void)iCreated;
    return &tMutex;
}

class CSessionLock
{
public:
    CSessionLock() : m_tGuard(SessionMutex()) { m_tGuard.Lock(); }

private:
    LockGuard m_tGuard;
};

// One file operation on a module: the library loaded and the module reserved for the
// object's lifetime.
class CPlvTool
{
public:
    CPlvTool(int slot, int moduleId)
    {
        m_pHandle = WIO2USR_OpenDll(WIO2USR_PLV_LIBRARY);
        m_iStatus = m_pHandle == nullptr                    ? PLV_NOT_SUPPORTED
                    : Reserve(m_pHandle, slot, moduleId, 0) ? PLV_OK
                                                            : PLV_FAILED;
    }
    ~CPlvTool()
    {
        if (m_pHandle != nullptr)
            Release(m_pHandle);
    }
    CPlvTool(const CPlvTool&) = delete;
    CPlvTool& operator=(const CPlvTool&) = delete;

    int Status() const { return m_iStatus; }
    // One call; PLV_OK when the library did it.
    int Call(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
             uint32_t* returned = nullptr)
    {
        if (m_iStatus != PLV_OK)
            return m_iStatus;
        uint32_t ignored = 0;
        return WIO2USR_Call(m_pHandle, code, const_cast<void*>(in), inLength, out, outLength,
                            returned != nullptr ? returned : &ignored)
                   ? PLV_OK
                   : PLV_FAILED;
    }

private:
    WIO2USR_HANDLE* m_pHandle = nullptr;
    int m_iStatus = PLV_FAILED;
};

// A name as the library takes it: NUL-terminated, within the name room of a header.
bool NameBytes(const std::string& name, std::vector<uint8_t>* out)
{
    if (name.empty() || name.size() >= PLV_FS_NAME_MAX || name.find('\0') != std::string::npos)
        return false;
    out->assign(name.begin(), name.end());
    out->push_back(0);
    return true;
}

bool ReadLocalFile(const std::string& path, std::vector<uint8_t>* data)
{
    const int fd = open(PlatPath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= kLargestFile;
    data->clear();
    uint8_t buffer[65536];
    while (ok)
    {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        ok = n > 0 && data->size() + static_cast<uint64_t>(n) <= kLargestFile;
        if (ok)
            data->insert(data->end(), buffer, buffer + n);
    }
    close(fd);
    return ok;
}

// Written beside its name and renamed into place, so a failed copy leaves no half file. The
// fresh file is "..Copy.<name>.XXXXXX": a hidden name with "..", which no user file has, so one
// that a cut copy left is never taken for a user's file (nor packed with the configuration).
bool WriteLocalFile(const std::string& path, const std::vector<uint8_t>& data)
{
    static const char kFresh[] = "..Copy.";
    const std::string target = PlatPath(path);
    const size_t slash = target.rfind('/');
    std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const size_t longest = NAME_MAX - strlen(kFresh) - strlen(".XXXXXX");
    if (name.size() > longest)
        name.resize(longest);
    std::string temporary =
        (slash == std::string::npos ? "" : target.substr(0, slash + 1)) + kFresh + name + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t at = 0;
    bool ok = true;
    while (ok && at < data.size())
    {
        const ssize_t n = write(fd, data.data() + at, data.size() - at);
        ok = n > 0;
        at += ok ? static_cast<size_t>(n) : 0;
    }
    ok = fchmod(fd, 0644) == 0 && ok;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok)
        unlink(temporary.c_str());
    return ok;
}
} // namespace

int Plv_Initialize()
{
    return 1;
}

int Plv_Deinitialize()
{
    Plv_Module_Release();
    return 1;
}

int Plv_Module_Reserve(const SPlvReservation* reservation)
{
    if (reservation == nullptr)
        return 0;
    CSessionLock lock;
    if (g_pSession != nullptr)
        Release(g_pSession);
    g_pSession = WIO2USR_OpenDll(WIO2USR_PLV_LIBRARY);
    if (g_pSession == nullptr)
        return 0;
    if (!Reserve(g_pSession, reservation->iSlot, reservation->iModuleId, reservation->iCount))
    {
        WIO2USR_CloseHandle(g_pSession);
        g_pSession = nullptr;
        return 0;
    }
    return 1;
}

int Plv_Module_Release()
{
    CSessionLock lock;
    if (g_pSession != nullptr)
        Release(g_pSession);
    g_pSession = nullptr;
    return 1;
}

int Plv_Enumerate(int* count)
{
    if (count == nullptr)
        return 0;
    *count = 0;
    CSessionLock lock;
    uint8_t value[4];
    uint32_t returned = 0;
    if (!WIO2USR_Call(g_pSession, PLV_FS_COUNT, nullptr, 0, value, sizeof value, &returned) ||
        returned != 4 || Wio2UsrGetLe32(value) > 0x7FFFFFFFu)
        return 0;
    *count = static_cast<int>(Wio2UsrGetLe32(value));
    return 1;
}

int Plv_List_Filetable(uint8_t* headers, int count)
{
    if (headers == nullptr || count < 0)
        return 0;
    CSessionLock lock;
    const uint64_t size = static_cast<uint64_t>(count) * PLV_FS_HEADER_SIZE;
    uint32_t returned = 0;
    return size <= UINT32_MAX &&
                   WIO2USR_Call(g_pSession, PLV_FS_HEADERS, nullptr, 0, headers,
                                static_cast<uint32_t>(size), &returned) &&
                   returned == size
               ? 1
               : 0;
}

int Plv_List_Flash_Addr(uint32_t* addresses, int count)
{
    if (addresses == nullptr || count < 0)
        return 0;
    std::vector<uint8_t> raw(static_cast<size_t>(count) * 4);
    uint32_t returned = 0;
    {
        CSessionLock lock;
        if (!WIO2USR_Call(g_pSession, PLV_FS_ADDRESSES, nullptr, 0, raw.data(),
                          static_cast<uint32_t>(raw.size()), &returned) ||
            returned != raw.size())
            return 0;
    }
    for (int i = 0; i < count; ++i)
        addresses[i] = Wio2UsrGetLe32(raw.data() + 4 * i);
    return 1;
}

int PlvTools_Dir(int slot, int moduleId)
{
    CPlvTool tool(slot, moduleId);
    uint8_t value[4];
    return tool.Call(PLV_FS_COUNT, nullptr, 0, value, sizeof value);
}

int PlvTools_Delete(int slot, int moduleId, int /*flags*/, const std::string& name)
{
    std::vector<uint8_t> in;
    if (!NameBytes(name, &in))
        return PLV_FAILED;
    CPlvTool tool(slot, moduleId);
    return tool.Call(PLV_FS_DELETE, in.data(), static_cast<uint32_t>(in.size()), nullptr, 0);
}

int PlvTools_Defrag(int slot, int moduleId)
{
    CPlvTool tool(slot, moduleId);
    return tool.Call(PLV_FS_DEFRAG, nullptr, 0, nullptr, 0);
}

int PlvTools_Format(int slot, int moduleId, bool full)
{
    CPlvTool tool(slot, moduleId);
    uint8_t in[4];
    Wio2UsrPutLe32(in, full ? 1 : 0);
    return tool.Call(PLV_FS_FORMAT, in, sizeof in, nullptr, 0);
}

int PlvTools_Read(int slot, int moduleId, const std::string& remoteName,
                  const std::string& localPath)
{
    std::vector<uint8_t> name;
    if (!NameBytes(remoteName, &name) || localPath.empty())
        return PLV_FAILED;
    CPlvTool tool(slot, moduleId);
    uint8_t value[4];
    uint32_t returned = 0;
    int status = tool.Call(PLV_FS_SIZE, name.data(), static_cast<uint32_t>(name.size()), value,
                           sizeof value, &returned);
    if (status != PLV_OK)
        return status;
    if (returned != 4 || Wio2UsrGetLe32(value) > kLargestFile)
        return PLV_FAILED;
    std::vector<uint8_t> data(Wio2UsrGetLe32(value));
    status = tool.Call(PLV_FS_READ, name.data(), static_cast<uint32_t>(name.size()), data.data(),
                       static_cast<uint32_t>(data.size()), &returned);
    if (status != PLV_OK)
        return status;
    if (returned != data.size() || !WriteLocalFile(localPath, data))
        return PLV_FAILED;
    return PLV_OK;
}

int PlvTools_Write(int slot, int moduleId, const std::string& localPath)
{
    const std::string name = localPath.substr(localPath.rfind('/') + 1);
    std::vector<uint8_t> nameBytes;
    std::vector<uint8_t> data;
    if (!NameBytes(name, &nameBytes) || !ReadLocalFile(localPath, &data))
        return PLV_FAILED;
    std::vector<uint8_t> in(PLV_FS_HEADER_SIZE, 0);
    Wio2UsrPutLe32(in.data() + PLV_FS_SIZE_OFFSET, static_cast<uint32_t>(data.size()));
    memcpy(in.data() + PLV_FS_VERSION_OFFSET, kDefaultVersion, 2);
    memcpy(in.data() + PLV_FS_NAME_OFFSET, nameBytes.data(), nameBytes.size());
    in.insert(in.end(), data.begin(), data.end());
    CPlvTool tool(slot, moduleId);
    return tool.Call(PLV_FS_WRITE, in.data(), static_cast<uint32_t>(in.size()), nullptr, 0);
}
