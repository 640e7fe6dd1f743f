// Pass-through platform layer (simulation comes in KovePlatformSim.cpp).
#include "KovePlatform.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {

int PlatPath(const char* devicePath, char* out, size_t outSize)
{
    if (devicePath == nullptr || out == nullptr)
        return -1;
    size_t len = strlen(devicePath);
    if (len + 1 > outSize)
        return -1;
    memcpy(out, devicePath, len + 1);
    return 0;
}

int PlatOpen(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & O_CREAT)
    {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return open(path, flags, mode);
}

int PlatClose(int fd) { return close(fd); }
int PlatIoctl(int fd, unsigned long request, void* arg) { return ioctl(fd, request, arg); }
ssize_t PlatRead(int fd, void* buf, size_t count) { return read(fd, buf, count); }
ssize_t PlatWrite(int fd, const void* buf, size_t count) { return write(fd, buf, count); }
off_t PlatLseek(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }
void* PlatMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return mmap(addr, length, prot, flags, fd, offset);
}
int PlatMunmap(void* addr, size_t length) { return munmap(addr, length); }
int PlatSystem(const char* command) { return system(command); }

int PlatRunArgv(const char* const argv[], int wait)
{
    if (argv == nullptr || argv[0] == nullptr)
        return -1;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
    {
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    if (!wait)
        return pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

int PlatKill(pid_t pid, int sig) { return kill(pid, sig); }
}

std::string PlatPath(const std::string& devicePath) { return devicePath; }
