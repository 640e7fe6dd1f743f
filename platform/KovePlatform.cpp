// The platform layer's entry points. Without KOVE_SIM every call goes
// straight to the OS. With it, device paths are served by the simulated nodes
// (KovePlatNodes.h), fixed paths are placed under the simulation directory
// (KoveSimConfig.h) and host-changing commands are recorded (KoveSimCommands.h).
#include "KovePlatform.h"

#include "KovePlatMutex.h"
#include "KovePlatNodes.h"
#include "KoveSimCommands.h"
#include "KoveSimConfig.h"
#include "KoveSimPn.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <climits>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace
{
// One open simulated node: its operations and the driver's data. Calls in
// progress hold a reference, so a close from another thread never frees the
// data under them.
struct SOpenNode
{
    const SPlatNodeOps* pOps;
    void* pPriv;
    ~SOpenNode() { pOps->release(pPriv); }
};

CPlatMutex& OpenMutex()
{
    static CPlatMutex m;
    return m;
}

std::unordered_map<int, std::shared_ptr<SOpenNode>>& OpenNodes()
{
    static std::unordered_map<int, std::shared_ptr<SOpenNode>> nodes;
    return nodes;
}

std::atomic<int> g_iOpenSimNodes{0};

std::shared_ptr<SOpenNode> FindNode(int fd)
{
    if (g_iOpenSimNodes.load(std::memory_order_acquire) == 0)
        return nullptr;
    std::lock_guard<CPlatMutex> guard(OpenMutex());
    auto it = OpenNodes().find(fd);
    return it == OpenNodes().end() ? nullptr : it->second;
}

void AddNode(int fd, const SPlatNodeOps* ops, void* priv)
{
    auto node = std::make_shared<SOpenNode>();
    node->pOps = ops;
    node->pPriv = priv;
    std::lock_guard<CPlatMutex> guard(OpenMutex());
    auto& nodes = OpenNodes();
    if (nodes.erase(fd) == 0)
        ++g_iOpenSimNodes;
    nodes[fd] = node;
}

std::shared_ptr<SOpenNode> TakeNode(int fd)
{
    if (g_iOpenSimNodes.load(std::memory_order_acquire) == 0)
        return nullptr;
    std::lock_guard<CPlatMutex> guard(OpenMutex());
    auto it = OpenNodes().find(fd);
    if (it == OpenNodes().end())
        return nullptr;
    std::shared_ptr<SOpenNode> node = it->second;
    OpenNodes().erase(it);
    --g_iOpenSimNodes;
    return node;
}

// Waits for a child, as system(3) reports it.
int WaitChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

std::vector<char*> CStrings(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

// Where this process finds the stand-ins of the module libraries: beside the layer's own
// library, in the "lib" folder beside the program that holds the layer, or where the program
// that started this one found them (KOVE_SIM_MODLIBS). Empty when none is there.
std::string StandInFolder()
{
    std::vector<std::string> folders;
    Dl_info tInfo;
    if (dladdr(reinterpret_cast<void*>(&PlatDlopen), &tInfo) != 0 && tInfo.dli_fname != nullptr)
    {
        const std::string self = tInfo.dli_fname;
        const size_t slash = self.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : self.substr(0, slash);
        folders = {folder, folder + "/../lib"};
    }
    // A program of the device started by another (the updater unpacked from an archive) lies
    // far from the build: it finds them where its starter did.
    if (const char* inherited = getenv("KOVE_SIM_MODLIBS"))
        folders.emplace_back(inherited);
    for (const std::string& folder : folders)
        if (!folder.empty() && access((folder + "/libSRW.so").c_str(), R_OK) == 0)
            return folder;
    return "";
}

// Runs a program of the simulated device: the stand-ins first on its PATH, and the folder of
// the module libraries' stand-ins in KOVE_SIM_MODLIBS.
pid_t SpawnSimulated(const std::string& dir, const char* program, const char* const argv[])
{
    std::vector<std::string> env = SimChildEnvironment(dir);
    const std::string standIns = StandInFolder();
    if (!standIns.empty())
    {
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [](const std::string& e)
                                 { return e.compare(0, 17, "KOVE_SIM_MODLIBS=") == 0; }),
                  env.end());
        env.push_back("KOVE_SIM_MODLIBS=" + standIns);
    }
    std::string path;
    for (const std::string& e : env)
        if (e.compare(0, 5, "PATH=") == 0)
            path = e.substr(5);
    std::string resolved = program;
    if (strchr(program, '/') == nullptr)
    {
        size_t pos = 0;
        resolved.clear();
        while (pos <= path.size())
        {
            size_t colon = path.find(':', pos);
            if (colon == std::string::npos)
                colon = path.size();
            std::string candidate =
                (colon == pos ? std::string(".") : path.substr(pos, colon - pos)) + "/" + program;
            if (access(candidate.c_str(), X_OK) == 0)
            {
                resolved = candidate;
                break;
            }
            pos = colon + 1;
        }
        if (resolved.empty())
        {
            errno = ENOENT;
            return -1;
        }
    }
    std::vector<char*> envp = CStrings(env);
    pid_t pid = -1;
    int r = posix_spawn(&pid, resolved.c_str(), nullptr, nullptr, const_cast<char* const*>(argv),
                        envp.data());
    if (r != 0)
    {
        errno = r;
        return -1;
    }
    return pid;
}

// A recorded command that the caller does not wait for still gets a child it
// can wait for: one that ends at once with status 0.
pid_t SpawnDone()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    return pid;
}
// Checks a shared-memory object name. On the device path stays empty (the
// name goes to shm_open); simulated it is the object's file in the device
// directory, whose folder is made when missing.
bool SimShmPath(const char* name, std::string& path)
{
    path.clear();
    if (name == nullptr)
    {
        errno = EFAULT;
        return false;
    }
    const char* plain = name[0] == '/' ? name + 1 : name;
    if (*plain == '\0' || strchr(plain, '/') != nullptr || strcmp(plain, ".") == 0 ||
        strcmp(plain, "..") == 0 || strlen(plain) > NAME_MAX)
    {
        errno = EINVAL;
        return false;
    }
    std::shared_ptr<const SSimConfig> cfg = SimConfig();
    if (!cfg)
        return true;
    const std::string dir = cfg->sDir + "/dev/shm";
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    path = dir + "/" + plain;
    return true;
}
} // namespace

extern "C"
{

    int PlatPath(const char* devicePath, char* out, size_t outSize)
    {
        if (devicePath == nullptr || out == nullptr)
        {
            errno = EINVAL;
            return -1;
        }
        std::shared_ptr<const SSimConfig> cfg = SimConfig();
        std::string mapped = cfg ? SimMapPath(*cfg, devicePath) : std::string(devicePath);
        if (mapped.size() + 1 > outSize)
        {
            errno = ERANGE;
            return -1;
        }
        memcpy(out, mapped.c_str(), mapped.size() + 1);
        return 0;
    }

    int PlatReloadSimulation(void)
    {
        SimConfigReload();
        return 0;
    }

    int PlatOpen(const char* path, int flags, ...)
    {
        mode_t mode = 0;
        if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        {
            va_list ap;
            va_start(ap, flags);
            mode = static_cast<mode_t>(va_arg(ap, int));
            va_end(ap);
        }
        if (path == nullptr)
        {
            errno = EFAULT;
            return -1;
        }
        std::shared_ptr<const SSimConfig> cfg =
            strncmp(path, "/dev/", 5) == 0 ? SimConfig() : nullptr;
        if (!cfg)
        {
            int fd = open(path, flags, mode);
            // A descriptor number of a simulated node that was closed past the
            // layer must not lead to the simulated driver any more.
            if (fd >= 0)
                TakeNode(fd);
            return fd;
        }
        const SPlatNodeOps* ops = PlatFindSimNode(path);
        if (ops == nullptr)
        {
            errno = ENOENT;
            return -1;
        }
        if (cfg->iSetupError != 0)
        {
            errno = cfg->iSetupError;
            return -1;
        }
        void* priv = nullptr;
        int fd = ops->open(cfg->sDir, path, flags, &priv);
        if (fd < 0)
            return -1;
        AddNode(fd, ops, priv);
        return fd;
    }

    int PlatShmOpen(const char* name, int flags, mode_t mode)
    {
        std::string path;
        if (!SimShmPath(name, path))
            return -1;
        if (path.empty())
            return shm_open(name, flags, mode);
        return open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
    }

    int PlatShmUnlink(const char* name)
    {
        std::string path;
        if (!SimShmPath(name, path))
            return -1;
        if (path.empty())
            return shm_unlink(name);
        return unlink(path.c_str());
    }

    int PlatClose(int fd)
    {
        std::shared_ptr<SOpenNode> node = TakeNode(fd);
        return node ? node->pOps->close(fd, node->pPriv) : close(fd);
    }

    int PlatIoctl(int fd, unsigned long request, void* arg)
    {
        std::shared_ptr<SOpenNode> node = FindNode(fd);
        if (node)
            return node->pOps->ioctl(fd, node->pPriv, request, arg);
        if (SimIsMiiRequest(request))
        {
            std::shared_ptr<const SSimConfig> cfg = SimConfig();
            if (cfg && cfg->iSetupError == 0)
                return SimMiiIoctl(cfg->sDir, request, arg);
        }
        return ioctl(fd, request, arg);
    }

    ssize_t PlatSendTo(int fd, const void* buf, size_t len, int flags, const struct sockaddr* addr,
                       unsigned int addrlen)
    {
        const ssize_t sent = sendto(fd, buf, len, flags, addr, addrlen);
        if (sent > 0 && addr != nullptr && addr->sa_family == AF_PACKET)
        {
            std::shared_ptr<const SSimConfig> cfg = SimConfig();
            if (cfg && cfg->iSetupError == 0)
                SimCaptureFrame(cfg->sDir, buf, static_cast<size_t>(sent));
        }
        return sent;
    }

    ssize_t PlatRead(int fd, void* buf, size_t count)
    {
        std::shared_ptr<SOpenNode> node = FindNode(fd);
        return node ? node->pOps->read(fd, node->pPriv, buf, count) : read(fd, buf, count);
    }

    ssize_t PlatWrite(int fd, const void* buf, size_t count)
    {
        std::shared_ptr<SOpenNode> node = FindNode(fd);
        return node ? node->pOps->write(fd, node->pPriv, buf, count) : write(fd, buf, count);
    }

    off_t PlatLseek(int fd, off_t offset, int whence)
    {
        std::shared_ptr<SOpenNode> node = FindNode(fd);
        return node ? node->pOps->lseek(fd, node->pPriv, offset, whence)
                    : lseek(fd, offset, whence);
    }

    void* PlatMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
    {
        std::shared_ptr<SOpenNode> node = fd >= 0 ? FindNode(fd) : nullptr;
        return node ? node->pOps->mmap(fd, node->pPriv, addr, length, prot, flags, offset)
                    : mmap(addr, length, prot, flags, fd, offset);
    }

    int PlatMunmap(void* addr, size_t length)
    {
        return munmap(addr, length);
    }

    int PlatSystem(const char* command)
    {
        std::shared_ptr<const SSimConfig> cfg = SimConfig();
        if (!cfg || command == nullptr)
            return system(command);
        if (SimLineHasHostTool(command))
            return SimRecordCommand(cfg->sDir, command) == 0 ? 0 : -1;
        const char* argv[] = {"sh", "-c", command, nullptr};
        pid_t pid = SpawnSimulated(cfg->sDir, "/bin/sh", argv);
        return pid < 0 ? -1 : WaitChild(pid);
    }

    int PlatRunArgv(const char* const argv[], int wait)
    {
        if (argv == nullptr || argv[0] == nullptr)
        {
            errno = EINVAL;
            return -1;
        }
        std::shared_ptr<const SSimConfig> cfg = SimConfig();
        if (cfg)
        {
            std::string line = SimJoinArgv(argv);
            if (SimLineHasHostTool(line))
            {
                if (SimRecordCommand(cfg->sDir, line) != 0)
                    return -1;
                return wait ? 0 : SpawnDone();
            }
            pid_t pid = SpawnSimulated(cfg->sDir, argv[0], argv);
            if (pid < 0)
                return -1;
            return wait ? WaitChild(pid) : pid;
        }
        pid_t pid = fork();
        if (pid < 0)
            return -1;
        if (pid == 0)
        {
            execvp(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        return wait ? WaitChild(pid) : pid;
    }

    int PlatKill(pid_t pid, int sig)
    {
        std::shared_ptr<const SSimConfig> cfg = SimConfig();
        // Signal 0 only asks whether the process exists; it changes nothing.
        if (!cfg || sig == 0)
            return kill(pid, sig);
        return SimRecordCommand(cfg->sDir,
                                "kill -" + std::to_string(sig) + " " + std::to_string(pid));
    }

    void* PlatDlopen(const char* name, int flags)
    {
        if (name == nullptr || name[0] == '\0')
        {
            errno = EINVAL;
            return nullptr;
        }
        if (strchr(name, '/') != nullptr || !SimConfig())
            return dlopen(name, flags);
        // The stand-ins are built beside the layer's library; a program linked with the layer
        // itself finds them in the "lib" folder beside its own.
        const std::string folder = StandInFolder();
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && access(candidate.c_str(), R_OK) == 0)
            return dlopen(candidate.c_str(), flags);
        errno = ENOENT;
        return nullptr;
    }
}

std::string PlatPath(const std::string& devicePath)
{
    std::shared_ptr<const SSimConfig> cfg = SimConfig();
    return cfg ? SimMapPath(*cfg, devicePath) : devicePath;
}
