// Device nodes behind the platform layer. Every node is served through one
// table of operations: the OS itself for the real device, a simulated kernel
// driver for each node of a simulated device. The table is chosen when the
// node is opened and kept with the descriptor; nothing after the open asks
// which one it is.
//
// A simulated node's descriptor is a real descriptor of a file of the
// device directory (its state file), so every descriptor is distinct and can
// be closed, duplicated into a child or polled like any other. The driver's
// own data for the descriptor is priv.
//
// To add a simulated node, write its operations and add a row to the table in
// KoveSimNodes.cpp.
#ifndef KOVE_PLAT_NODES_H
#define KOVE_PLAT_NODES_H

#include <string>
#include <sys/types.h>

struct SPlatNodeOps
{
    // Opens the node (path is the device path, "/dev/..."); returns the
    // descriptor and sets *priv, or -1 with errno.
    int (*open)(const std::string& simDir, const char* path, int flags, void** priv);
    // Closes the descriptor. priv stays until release.
    int (*close)(int fd, void* priv);
    // Frees priv once no call uses it any more.
    void (*release)(void* priv);
    int (*ioctl)(int fd, void* priv, unsigned long request, void* arg);
    ssize_t (*read)(int fd, void* priv, void* buf, size_t count);
    ssize_t (*write)(int fd, void* priv, const void* buf, size_t count);
    off_t (*lseek)(int fd, void* priv, off_t offset, int whence);
    void* (*mmap)(int fd, void* priv, void* addr, size_t length, int prot, int flags, off_t offset);
};

struct SPlatNodeEntry
{
    const char* szName; // device path; with bPrefix, the start of the paths it serves
    bool bPrefix;
    const SPlatNodeOps* pOps;
};

// The simulated driver of a device path, or null when the simulation has no
// such node.
const SPlatNodeOps* PlatFindSimNode(const char* path);

// Building blocks for simulated nodes: the plain file operations on the
// descriptor, and refusals for what a node does not do.
int PlatNodeCloseFd(int fd, void* priv);
void PlatNodeReleaseNothing(void* priv);
ssize_t PlatNodeReadFd(int fd, void* priv, void* buf, size_t count);
ssize_t PlatNodeWriteFd(int fd, void* priv, const void* buf, size_t count);
off_t PlatNodeLseekFd(int fd, void* priv, off_t offset, int whence);
int PlatNodeNoIoctl(int fd, void* priv, unsigned long request, void* arg);
ssize_t PlatNodeNoRead(int fd, void* priv, void* buf, size_t count);
ssize_t PlatNodeNoWrite(int fd, void* priv, const void* buf, size_t count);
off_t PlatNodeNoLseek(int fd, void* priv, off_t offset, int whence);
void* PlatNodeNoMmap(int fd, void* priv, void* addr, size_t length, int prot, int flags,
                     off_t offset);

// The simulated FPGA nodes (KoveSimFpga.cpp).
extern const SPlatNodeOps g_tSimFpgaOps; // "/dev/ryxfpga"
extern const SPlatNodeOps g_tSimCdiOps;  // "/dev/cdi"
// The simulated inter-process driver (KoveSimInterProc.cpp).
extern const SPlatNodeOps g_tSimInterProcOps; // "/dev/interproc"
// The simulated GPIO node (KoveSimGpio.cpp).
extern const SPlatNodeOps g_tSimGpioOps; // "/dev/gpio"
// The simulated PROFINET controller (KoveSimPnDrv.cpp).
extern const SPlatNodeOps g_tSimPnDrvOps; // "/dev/pndrv"
// The simulated CPU temperature sensor (KoveSimSensor.cpp).
extern const SPlatNodeOps g_tSimSensorOps; // "/dev/LM75"

#endif
