#include "KoveSimDevice.h"
#include "KoveSimPn.h"

#include "KoveSimCommands.h"
#include "KoveSimState.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Holds dev/.lock of a device directory (released when the process dies, too).
class CDirLock
{
public:
    explicit CDirLock(const std::string& dir)
    {
        m_iFd = open((dir + "/dev/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_iFd < 0)
            return;
        while (flock(m_iFd, LOCK_EX) != 0)
        {
            if (errno != EINTR)
            {
                int e = errno;
                close(m_iFd);
                m_iFd = -1;
                errno = e;
                return;
            }
        }
    }
    ~CDirLock()
    {
        if (m_iFd >= 0)
            close(m_iFd);
    }
    bool Locked() const { return m_iFd >= 0; }

private:
    int m_iFd = -1;
};

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int ReadWholeFile(const std::string& path, std::string* out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    out->clear();
    char buf[4096];
    for (;;)
    {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (n == 0)
            break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > (1u << 20))
        {
            close(fd);
            errno = EFBIG;
            return -1;
        }
    }
    close(fd);
    return 0;
}

int CreateMem(const std::string& dir)
{
    std::string path = dir + "/dev/mem";
    std::string tmpl = path + ".XXXXXX";
    int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    int err = 0;
    if (fchmod(fd, 0644) != 0 || ftruncate(fd, static_cast<off_t>(kSimMemBytes)) != 0)
        err = errno;
    close(fd);
    if (err == 0 && rename(tmpl.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0)
    {
        unlink(tmpl.c_str());
        errno = err;
        return -1;
    }
    return 0;
}

// Clears the physical memory without changing its size, so that processes
// that have it mapped keep valid mappings (they see zeros).
int ResetMem(const std::string& dir)
{
    std::string path = dir + "/dev/mem";
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return CreateMem(dir);
    struct stat st;
    int r = 0;
    if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == kSimMemBytes)
        fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                  static_cast<off_t>(kSimMemBytes));
    else
        r = ftruncate(fd, static_cast<off_t>(kSimMemBytes));
    close(fd);
    return r;
}

int WriteProduction(const std::string& dir, const SSimDescription& desc)
{
    return SimWriteFileAtomic(dir + "/dev/mtd_production", SimProductionImage(desc));
}

// Partitions that are missing are made erased; existing ones keep their contents.
int MakePartitions(const std::string& dir)
{
    for (const SSimPartition& partition : g_atSimPartitions)
    {
        const std::string path = dir + "/dev/mtd_" + partition.szName;
        if (!Exists(path) &&
            SimWriteFileAtomic(path, std::string(partition.uBytes, static_cast<char>(0xFF))) != 0)
            return -1;
    }
    return 0;
}

int MakeStandardDirs(const std::string& dir)
{
    // The folders a device has from its installation on: the drivers' root with its
    // configuration and log folders, and the update work folder.
    for (const char* sub :
         {"/Applications/tmp/Driver/Configuration", "/Applications/tmp/Driver/log", "/tmp/Update"})
        if (SimMakeDirs(dir + sub) != 0)
            return -1;
    // Update archives name the drivers' files as "/tmp/Driver/...": the device links that
    // path to the drivers' root.
    const std::string link = dir + "/tmp/Driver";
    struct stat st;
    if (lstat(link.c_str(), &st) != 0 && symlink("../Applications/tmp/Driver", link.c_str()) != 0)
        return -1;
    return 0;
}

int Check(int r, int* firstErr)
{
    if (r != 0 && *firstErr == 0)
        *firstErr = errno ? errno : EIO;
    return r;
}
} // namespace

// The data partition holds the largest configuration record and no more; the two update
// partitions the updater's result record, the compatibility list and the update archive (cut
// in two when it does not fit the first); the boot partitions end with the version stamp of
// their image; "fpga" holds the FPGA image an update may bring.
const SSimPartition g_atSimPartitions[6] = {{"data", 0x50000},     {"update", 0x200000},
                                            {"update2", 0x200000}, {"boot", 0x40000},
                                            {"bootimg", 0x40000},  {"fpga", 0x100000}};

std::string SimFlashFaultPath(const std::string& dir, const std::string& name)
{
    return dir + "/dev/fail-write.mtd_" + name;
}

int SimSetFlashWriteFault(const std::string& dir, const std::string& name, bool fail,
                          std::string* err)
{
    bool known = false;
    for (const SSimPartition& partition : g_atSimPartitions)
        known = known || name == partition.szName;
    if (!known && name != "production")
    {
        if (err)
            *err = "no flash partition '" + name + "'";
        errno = EINVAL;
        return -1;
    }
    if (SimEnsureDevice(dir) != 0)
    {
        if (err)
            *err = SimSetupError(dir, errno);
        return -1;
    }
    const std::string path = SimFlashFaultPath(dir, name);
    const int r = fail ? SimWriteFileAtomic(path, "") : unlink(path.c_str());
    if (r != 0 && !(errno == ENOENT && !fail))
    {
        if (err)
            *err = "cannot change " + path + ": " + strerror(errno);
        return -1;
    }
    return 0;
}

int SimMakeDirs(const std::string& path)
{
    if (path.empty())
    {
        errno = ENOENT;
        return -1;
    }
    size_t pos = 0;
    while (pos != std::string::npos)
    {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode))
    {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

int SimWriteFileAtomic(const std::string& path, const std::string& data, mode_t mode)
{
    std::string tmpl = path + ".XXXXXX";
    int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    int err = 0;
    if (fchmod(fd, mode) != 0)
        err = errno;
    size_t done = 0;
    while (err == 0 && done < data.size())
    {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            err = n < 0 ? errno : EIO;
        else
            done += static_cast<size_t>(n);
    }
    close(fd);
    if (err == 0 && rename(tmpl.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0)
    {
        unlink(tmpl.c_str());
        errno = err;
        return -1;
    }
    return 0;
}

std::string SimProductionImage(const SSimDescription& desc)
{
    std::string image(kSimProductionBytes, static_cast<char>(0xFF));
    std::fill(image.begin(), image.begin() + 512, '\0');
    std::string serial = std::to_string(desc.uSerial);
    image.replace(16, serial.size(), serial);           // 16 bytes at 16
    image.replace(32, desc.sName.size(), desc.sName);   // 32 bytes at 32 (at most 31 used)
    image.replace(64, desc.sOrder.size(), desc.sOrder); // 32 bytes at 64
    return image;
}

int SimReadDescription(const std::string& dir, SSimDescription* desc, std::string* err)
{
    std::string path = dir + "/" + g_szSimDescriptionFile;
    std::string text;
    if (ReadWholeFile(path, &text) != 0)
    {
        if (err)
            *err = "cannot read " + path + ": " + strerror(errno);
        return -1;
    }
    std::string why;
    if (!SimParseDescription(text, desc, &why))
    {
        if (err)
            *err = path + ": " + why;
        errno = EINVAL;
        return -1;
    }
    return 0;
}

std::string SimSetupError(const std::string& dir, int error)
{
    SSimDescription desc;
    std::string why;
    if (error == EINVAL && SimReadDescription(dir, &desc, &why) != 0)
        return why;
    return "cannot set up the device in " + dir + ": " + strerror(error);
}

int SimEnsureDevice(const std::string& dir)
{
    if (SimMakeDirs(dir + "/dev") != 0)
        return -1;
    CDirLock lock(dir);
    if (!lock.Locked())
        return -1;
    SSimDescription desc;
    std::string descPath = dir + "/" + g_szSimDescriptionFile;
    if (!Exists(descPath))
    {
        if (SimWriteFileAtomic(descPath, SimFormatDescription(desc)) != 0)
            return -1;
    }
    else if (SimReadDescription(dir, &desc, nullptr) != 0)
    {
        return -1;
    }
    int err = 0;
    // The state file marks a device that is set up; it is made last. A device
    // that has it keeps what was taken away on purpose (a partition, a
    // directory), so that tests can make those missing.
    if (!CSimState::IsValid(dir))
    {
        Check(MakeStandardDirs(dir), &err);
        if (!Exists(dir + "/dev/mtd_production"))
            Check(WriteProduction(dir, desc), &err);
        Check(MakePartitions(dir), &err);
        if (!Exists(dir + "/dev/mem"))
            Check(CreateMem(dir), &err);
        if (err == 0)
            Check(CSimState::Reset(dir, desc), &err);
        if (err == 0)
            Check(SimPnResetDevice(dir, desc), &err);
    }
    Check(SimEnsureStubs(dir), &err);
    if (err != 0)
    {
        errno = err;
        return -1;
    }
    return 0;
}

int SimCreateDevice(const std::string& dir, const SSimDescription& desc)
{
    if (SimMakeDirs(dir + "/dev") != 0)
        return -1;
    CDirLock lock(dir);
    if (!lock.Locked())
        return -1;
    int err = 0;
    if (Check(SimWriteFileAtomic(dir + "/" + g_szSimDescriptionFile, SimFormatDescription(desc)),
              &err) == 0)
    {
        Check(MakeStandardDirs(dir), &err);
        Check(CSimState::Reset(dir, desc), &err);
        Check(WriteProduction(dir, desc), &err);
        Check(MakePartitions(dir), &err);
        Check(ResetMem(dir), &err);
        Check(SimPnResetDevice(dir, desc), &err);
        Check(SimEnsureStubs(dir), &err);
    }
    if (err != 0)
    {
        errno = err;
        return -1;
    }
    return 0;
}

namespace
{
template <typename Change, typename Apply>
int ChangeDevice(const std::string& dir, std::string* err, Change change, Apply apply)
{
    if (SimEnsureDevice(dir) != 0)
    {
        if (err)
            *err = SimSetupError(dir, errno);
        return -1;
    }
    CDirLock lock(dir);
    SSimDescription desc;
    if (!lock.Locked() || SimReadDescription(dir, &desc, err) != 0)
        return -1;
    change(desc);
    std::shared_ptr<CSimState> state = CSimState::Open(dir);
    if (SimWriteFileAtomic(dir + "/" + g_szSimDescriptionFile, SimFormatDescription(desc)) != 0 ||
        !state || apply(*state) != 0)
    {
        if (err)
            *err = std::string("cannot change the device: ") + strerror(errno);
        return -1;
    }
    return 0;
}
} // namespace

int SimSetHexSwitches(const std::string& dir, const uint8_t hex[4], std::string* err)
{
    return ChangeDevice(
        dir, err, [&](SSimDescription& d) { memcpy(d.aHex, hex, sizeof d.aHex); },
        [&](CSimState& s) { return s.SetHexSwitches(hex); });
}

int SimSetFactoryButton(const std::string& dir, bool on, std::string* err)
{
    return ChangeDevice(
        dir, err, [&](SSimDescription& d) { d.bFactoryButton = on; },
        [&](CSimState& s) { return s.SetFactoryButton(on); });
}

int SimSetGpioLine(const std::string& dir, int line, bool held, bool active, std::string* err)
{
    if (SimEnsureDevice(dir) != 0)
    {
        if (err)
            *err = SimSetupError(dir, errno);
        return -1;
    }
    std::shared_ptr<CSimState> state = CSimState::Open(dir);
    if (!state || state->SetGpioLine(line, held, active) != 0)
    {
        if (err)
            *err = std::string("cannot change the device: ") + strerror(errno);
        return -1;
    }
    return 0;
}
