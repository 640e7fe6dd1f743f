/*
 * The platform layer: every access of the system to the device's kernel
 * drivers, flash partitions, physical memory, fixed absolute paths and shell
 * tools goes through these functions.
 *
 * On the device each call passes straight through to the OS. When the
 * environment variable KOVE_SIM names a directory, the device is simulated:
 *  - fixed absolute paths are placed under that directory;
 *  - device nodes the device has and this machine hasn't ("/dev/ryxfpga",
 *    "/dev/cdi", the flash partitions, "/dev/mem", ...) are served by
 *    simulated kernel drivers whose state lives in files under
 *    $KOVE_SIM/dev/, shared by every process of the simulated device;
 *  - tools that would change the host (ifconfig, udhcpc, route, arp, reboot,
 *    a signal to another process) are recorded in $KOVE_SIM/commands.log and
 *    never run.
 * Nothing above this layer asks whether the device is simulated.
 *
 * All functions are C functions that report failure by return value (and
 * errno, as the OS call they stand for); none of them throws, logs or prints.
 */
#ifndef KOVE_PLATFORM_H
#define KOVE_PLATFORM_H

#include <stddef.h>
#include <sys/types.h>

/* File offsets are 64 bits wide on the 32-bit device as well (the build defines
 * _FILE_OFFSET_BITS=64): "/dev/mem" is mapped at physical addresses up to 4 GiB,
 * and directories, files and archives are read whatever their size or the
 * values their file system hands out. */
#ifdef __cplusplus
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits wide: build with _FILE_OFFSET_BITS=64");
#else
_Static_assert(sizeof(off_t) == 8, "off_t must be 64 bits wide: build with _FILE_OFFSET_BITS=64");
#endif

struct sockaddr;

#ifdef __cplusplus
extern "C"
{
#endif

    /* Fixed absolute paths ------------------------------------------------------ */

    /* Writes into out the path under which the process reaches the device path
     * devicePath ("/Applications/tmp/Driver/", "/tmp/Update/Event.log", ...).
     * On the device that is devicePath itself; simulated, it lies under the
     * simulation directory (a path already inside it is left as it is).
     * Relative paths are returned unchanged. Returns 0, or -1 when out is too
     * small or an argument is null. */
    int PlatPath(const char* devicePath, char* out, size_t outSize);

    /* Reads KOVE_SIM again at the next call (for tests that switch between
     * devices within one process). Descriptors already open keep their device.
     * Returns 0. */
    int PlatReloadSimulation(void);

    /* Device nodes and files ---------------------------------------------------- */

    /* Opens a device node or file, as open(2). A device node of the device
     * ("/dev/...") is served by its simulated kernel driver when simulated; a
     * node that the simulation does not have fails with ENOENT. Any other path
     * is opened as given (callers map fixed paths with PlatPath first). */
    int PlatOpen(const char* path, int flags, ...);
    int PlatClose(int fd);
    /* An ioctl on a device node or any other descriptor. Simulated, the MII requests of the
     * PHYs (SIOCGMIIPHY, SIOCGMIIREG, SIOCSMIIREG) on "eth0" and "eth1" are answered by the
     * simulated PHYs whatever the socket. */
    int PlatIoctl(int fd, unsigned long request, void* arg);
    ssize_t PlatRead(int fd, void* buf, size_t count);
    ssize_t PlatWrite(int fd, const void* buf, size_t count);
    off_t PlatLseek(int fd, off_t offset, int whence);
    void* PlatMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int PlatMunmap(void* addr, size_t length);

    /* Sends a frame on a socket, as sendto(2). Simulated, a frame sent to a link-layer address
     * (a packet socket) also passes the simulated FPGA, which captures it as the device's
     * FPGA captures the frames on its ports. */
    ssize_t PlatSendTo(int fd, const void* buf, size_t len, int flags, const struct sockaddr* addr,
                       unsigned int addrlen);

    /* Named shared memory ------------------------------------------------------- */

/* Opens a POSIX shared-memory object, as shm_open(3). Simulated, the objects
 * of a device are files under $KOVE_SIM/dev/shm/, so that two simulated
 * devices on one host never share one, and nothing outlives the device
 * directory. A name may start with one "/" and holds no other "/". */
int PlatShmOpen(const char* name, int flags, mode_t mode);
/* Removes a shared-memory object, as shm_unlink(3). */
int PlatShmUnlink(const char* name);

/* Shell tools and processes ------------------------------------------------- */

    /* Runs a command line through the shell, as system(3). When simulated, a
     * command line in which any word names a tool that changes the host
     * (ifconfig, udhcpc, route, arp, reboot, kill, killall, ...) is not run at
     * all, even where it chains other commands: the whole line is appended to
     * $KOVE_SIM/commands.log and counts as run with status 0. Other command lines
     * run for real, with stand-ins of those tools first on their PATH (a script
     * calling "ifconfig" records the call). Device paths in a command line must
     * be mapped with PlatPath by the caller. */
    int PlatSystem(const char* command);

    /* Runs a program with an argument vector (fork and exec, no shell). With
     * wait nonzero, waits and returns the exit status as waitpid(2) reports it
     * (or -1); with wait 0, returns the child's pid (or -1). Host-changing
     * programs are recorded as for PlatSystem when simulated. */
    int PlatRunArgv(const char* const argv[], int wait);

    /* Loads a shared library of the device, as dlopen(3). On the device the name
     * goes to the dynamic loader as it is. When simulated, a bare name (no "/")
     * is the device's own library that this machine lacks ("libSRW.so",
     * "libPLV.so"): the simulated device's stand-in of that name is loaded from
     * the folder of the platform layer's own library (or the "lib" folder beside
     * the program that holds the layer), never from the host's library path;
     * null with a message for dlerror() or errno ENOENT when there is none. */
    void* PlatDlopen(const char* name, int flags);

    /* Sends a signal to another process, as kill(2); when simulated the signal
     * is only recorded ("kill -<sig> <pid>"); signal 0, which only asks whether
     * the process exists, is passed on. */
    int PlatKill(pid_t pid, int sig);

#ifdef __cplusplus
}

#include <string>

/* C++ convenience: the mapped path, or devicePath itself when it cannot be
 * mapped. */
std::string PlatPath(const std::string& devicePath);
#endif

#endif
