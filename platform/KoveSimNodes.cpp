// The table of simulated device nodes, and the file-backed nodes: flash
// partitions and physical memory.
#include "KovePlatNodes.h"

#include "KoveSimDevice.h"

#include <string>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Open flags that a character device takes from the caller; creating,
// truncating and appending do not apply to a node.
int NodeFlags(int flags)
{
    return (flags & (O_ACCMODE | O_SYNC | O_DSYNC | O_NONBLOCK)) | O_CLOEXEC;
}

// "/dev/mtd_<name>": the partition is the file dev/mtd_<name>; it exists when
// the file does. Names are plain (letters, digits, '_', '-', '.'), so that no
// name leads out of the directory.
int MtdOpen(const std::string& simDir, const char* path, int flags, void** priv)
{
    const char* name = path + strlen("/dev/mtd_");
    size_t len = strlen(name);
    bool ok = len > 0 && len <= 64 && name[0] != '.';
    for (size_t i = 0; ok && i < len; ++i)
        ok = isalnum(static_cast<unsigned char>(name[i])) || strchr("_-.", name[i]);
    if (!ok)
    {
        errno = ENOENT;
        return -1;
    }
    const int fd = open((simDir + "/dev/mtd_" + name).c_str(), NodeFlags(flags));
    if (fd < 0)
        return -1;
    *priv = new std::string(SimFlashFaultPath(simDir, name));
    return fd;
}

void MtdRelease(void* priv)
{
    delete static_cast<std::string*>(priv);
}

// A write to a partition stays inside it, as on the device (ENOSPC past its
// end), and fails with EIO while the device marks the partition's writes to
// fail (kovesim flash DIR NAME fail).
ssize_t MtdWrite(int fd, void* priv, const void* buf, size_t count)
{
    struct stat st;
    if (access(static_cast<std::string*>(priv)->c_str(), F_OK) == 0)
    {
        errno = EIO;
        return -1;
    }
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0 || fstat(fd, &st) != 0)
        return -1;
    if (at >= st.st_size && count > 0)
    {
        errno = ENOSPC;
        return -1;
    }
    const uint64_t room = static_cast<uint64_t>(st.st_size - at);
    return write(fd, buf, count < room ? count : static_cast<size_t>(room));
}

int MemOpen(const std::string& simDir, const char*, int flags, void** priv)
{
    *priv = nullptr;
    return open((simDir + "/dev/mem").c_str(), NodeFlags(flags));
}

// Physical memory: a mapping of the sparse file at the physical address.
void* MemMmap(int fd, void*, void* addr, size_t length, int prot, int flags, off_t offset)
{
    if (offset < 0 || length == 0 || static_cast<uint64_t>(offset) > kSimMemBytes ||
        length > kSimMemBytes - static_cast<uint64_t>(offset))
    {
        errno = EINVAL;
        return MAP_FAILED;
    }
    // A file cut short (by hand) would fault on access past its end: it grows
    // back to the whole space; growing never disturbs other mappings.
    struct stat st;
    if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < kSimMemBytes &&
        (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY &&
        ftruncate(fd, static_cast<off_t>(kSimMemBytes)) != 0)
        return MAP_FAILED;
    return mmap(addr, length, prot, flags, fd, offset);
}

// "/dev/ilseth": the IP-over-fiber device. It keeps what it is told: every write becomes one
// line of dev/ilseth (the text up to its first zero byte), so the device's history can be read.
int IlsethOpen(const std::string& simDir, const char*, int, void** priv)
{
    *priv = nullptr;
    return open((simDir + "/dev/ilseth").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

ssize_t IlsethWrite(int fd, void*, const void* buf, size_t count)
{
    const char* text = static_cast<const char*>(buf);
    std::string line(text, strnlen(text, count));
    line += '\n';
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return -1;
    return static_cast<ssize_t>(count);
}

const SPlatNodeOps kIlsethOps = {IlsethOpen,      PlatNodeCloseFd, PlatNodeReleaseNothing,
                                 PlatNodeNoIoctl, PlatNodeNoRead,  IlsethWrite,
                                 PlatNodeLseekFd, PlatNodeNoMmap};

const SPlatNodeOps kMtdOps = {MtdOpen,         PlatNodeCloseFd, MtdRelease,
                              PlatNodeNoIoctl, PlatNodeReadFd,  MtdWrite,
                              PlatNodeLseekFd, PlatNodeNoMmap};

const SPlatNodeOps kMemOps = {MemOpen,         PlatNodeCloseFd, PlatNodeReleaseNothing,
                              PlatNodeNoIoctl, PlatNodeReadFd,  PlatNodeWriteFd,
                              PlatNodeLseekFd, MemMmap};

// clang-format off
const SPlatNodeEntry kSimNodes[] = {
    {"/dev/ryxfpga", false, &g_tSimFpgaOps},
    {"/dev/cdi", false, &g_tSimCdiOps},
    {"/dev/interproc", false, &g_tSimInterProcOps},
    {"/dev/gpio", false, &g_tSimGpioOps},
    {"/dev/mtd_", true, &kMtdOps},
    {"/dev/mem", false, &kMemOps},
    {"/dev/pndrv", false, &g_tSimPnDrvOps},
    {"/dev/ilseth", false, &kIlsethOps},
    {"/dev/LM75", false, &g_tSimSensorOps},
};
// clang-format on
} // namespace

const SPlatNodeOps* PlatFindSimNode(const char* path)
{
    for (const SPlatNodeEntry& node : kSimNodes)
    {
        size_t len = strlen(node.szName);
        if (node.bPrefix ? strncmp(path, node.szName, len) == 0 : strcmp(path, node.szName) == 0)
            return node.pOps;
    }
    return nullptr;
}

int PlatNodeCloseFd(int fd, void*)
{
    return close(fd);
}
void PlatNodeReleaseNothing(void*) {}
ssize_t PlatNodeReadFd(int fd, void*, void* buf, size_t count)
{
    return read(fd, buf, count);
}
ssize_t PlatNodeWriteFd(int fd, void*, const void* buf, size_t count)
{
    return write(fd, buf, count);
}
off_t PlatNodeLseekFd(int fd, void*, off_t offset, int whence)
{
    return lseek(fd, offset, whence);
}

int PlatNodeNoIoctl(int, void*, unsigned long, void*)
{
    errno = EINVAL;
    return -1;
}
ssize_t PlatNodeNoRead(int, void*, void*, size_t)
{
    errno = EINVAL;
    return -1;
}
ssize_t PlatNodeNoWrite(int, void*, const void*, size_t)
{
    errno = EINVAL;
    return -1;
}
off_t PlatNodeNoLseek(int, void*, off_t, int)
{
    errno = ESPIPE;
    return -1;
}
void* PlatNodeNoMmap(int, void*, void*, size_t, int, int, off_t)
{
    errno = ENODEV;
    return MAP_FAILED;
}
