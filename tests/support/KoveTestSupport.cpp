#include "KoveTestSupport.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kovetest
{
namespace
{
using Clock = std::chrono::steady_clock;

std::vector<char*> ToArgv(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}
} // namespace

std::string BinPath(const std::string& program) { return std::string(KOVE_BIN_DIR) + "/" + program; }

namespace
{
// The emulator's command line: KOVE_TEST_EMULATOR from the environment where it is set (empty
// to run the programs directly, as on the device), else the one the build was configured with.
const char* Emulator()
{
    if (const char* emulator = getenv("KOVE_TEST_EMULATOR"))
        return emulator;
#ifdef KOVE_TEST_EMULATOR
    return KOVE_TEST_EMULATOR;
#else
    return nullptr;
#endif
}
} // namespace

std::vector<std::string> LaunchArgv(const std::vector<std::string>& argv)
{
    const std::string binDir = std::string(KOVE_BIN_DIR) + "/";
    if (!RunsUnderEmulator() || argv.empty() || argv[0].compare(0, binDir.size(), binDir) != 0)
        return argv;
    std::vector<std::string> words;
    std::istringstream in(Emulator());
    for (std::string word; in >> word;)
        words.push_back(word);
    words.insert(words.end(), argv.begin(), argv.end());
    return words;
}

bool RunsUnderEmulator()
{
    const char* emulator = Emulator();
    return emulator != nullptr && *emulator != '\0';
}

bool ProgramsStartProgramsOfTheBuild()
{
    if (!RunsUnderEmulator())
        return true;
    // Whether the kernel hands the build's programs to the emulator by itself
    // (binfmt_misc): start one directly and see whether exec refuses it.
    static const bool canStart = [] {
        const std::string program = BinPath("kovesim");
        pid_t pid = fork();
        if (pid == 0)
        {
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(errno == ENOEXEC ? 126 : 127);
        }
        int status = 0;
        while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR)
        {
        }
        return pid > 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 126);
    }();
    return canStart;
}

CTempDir::CTempDir()
{
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kovetest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
    m_sPath = buf.data();
}

CTempDir::~CTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_sPath, ec);
}

int RunCommand(const std::vector<std::string>& args, std::string* out,
               const std::vector<std::string>& env)
{
    const std::vector<std::string> launch = LaunchArgv(args);
    auto argv = ToArgv(launch);
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0)
    {
        dup2(pipefd[1], STDOUT_FILENO);
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0 && out)
            out->append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CSimDevice::CSimDevice(const std::vector<std::string>& createArgs)
{
    std::vector<std::string> args{BinPath("kovesim"), "create", Dir()};
    args.insert(args.end(), createArgs.begin(), createArgs.end());
    std::string out;
    if (RunCommand(args, &out) != 0)
        throw std::runtime_error("kovesim create failed: " + out);
}

std::string CSimDevice::Tool(const std::string& command, const std::vector<std::string>& args) const
{
    std::vector<std::string> argv{BinPath("kovesim"), command, Dir()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    if (RunCommand(argv, &out) != 0)
        throw std::runtime_error("kovesim " + command + " failed: " + out);
    return out;
}

CTestProcess::CTestProcess(const CSimDevice& device, const std::string& program,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& env)
{
    static int counter = 0;
    m_sOutputFile = device.Dir() + "/" + program + "." + std::to_string(getpid()) + "." +
                    std::to_string(++counter) + ".out";
    std::vector<std::string> argv{BinPath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> launch = LaunchArgv(argv);
    auto cargv = ToArgv(launch);
    std::string sim = "KOVE_SIM=" + device.Dir();
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0)
    {
        setpgid(0, 0);
        int fd = open(m_sOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0)
        {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        putenv(const_cast<char*>(sim.c_str()));
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    setpgid(m_pid, m_pid);
}

CTestProcess::~CTestProcess()
{
    if (m_pid > 0)
    {
        if (!m_bExited)
        {
            kill(-m_pid, SIGKILL);
            kill(m_pid, SIGKILL);
            int status;
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR)
            {
            }
        }
        else
        {
            kill(-m_pid, SIGKILL); // whatever it left running in its group
        }
    }
}

bool CTestProcess::WaitForPort(int port, std::chrono::milliseconds timeout)
{
    return WaitFor(
        [&] {
            if (m_bExited || waitpid(m_pid, &m_iStatus, WNOHANG) == m_pid)
            {
                m_bExited = true;
                return true;
            }
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            close(s);
            return ok;
        },
        timeout) &&
           !m_bExited;
}

void CTestProcess::Signal(int sig)
{
    if (m_pid > 0 && !m_bExited)
        kill(m_pid, sig);
}

int CTestProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (m_bExited)
        return m_iStatus;
    bool done = WaitFor(
        [&] {
            if (waitpid(m_pid, &m_iStatus, WNOHANG) == m_pid)
                m_bExited = true;
            return m_bExited;
        },
        timeout);
    return done ? m_iStatus : -1;
}

std::string CTestProcess::Output() const { return ReadFile(m_sOutputFile); }

bool RunHubStartup(const CSimDevice& device, std::string* output)
{
    CTestProcess startup(device, "systemdriver", {"-Startup=/tmp/DeviceName"});
    const int status = startup.WaitExit();
    if (output != nullptr)
        *output = startup.Output();
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t CountOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    for (;;)
    {
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

namespace
{
// Takes the process into a mount namespace of its own whose mounts do not reach the host; once.
bool EnterMountNamespace(std::string& why)
{
    static bool entered = false;
    static std::string reason;
    static bool tried = false;
    if (!tried)
    {
        tried = true;
        if (unshare(CLONE_NEWNS) != 0)
            reason = std::string("unshare -m: ") + strerror(errno);
        else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            reason = std::string("making the mounts private: ") + strerror(errno);
        else
            entered = true;
    }
    why = reason;
    return entered;
}

std::string FillerName(const std::string& directory)
{
    return directory + "/.filler";
}
} // namespace

CSmallFileSystem::CSmallFileSystem(const std::string& directory, size_t bytes, bool readOnly)
    : m_sDirectory(directory)
{
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (!EnterMountNamespace(m_sWhy))
        return;
    const std::string options = "size=" + std::to_string(bytes);
    if (mount("kovetest", directory.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) !=
        0)
    {
        m_sWhy = "mount tmpfs on " + directory + ": " + strerror(errno);
        return;
    }
    m_bMounted = true;
}

CSmallFileSystem::~CSmallFileSystem()
{
    if (m_bMounted)
        umount2(m_sDirectory.c_str(), MNT_DETACH);
}

bool CSmallFileSystem::Fill()
{
    const int fd =
        open(FillerName(m_sDirectory).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::string block(4096, 'f');
    bool full = false;
    for (;;)
    {
        const ssize_t n = write(fd, block.data(), block.size());
        if (n < 0)
        {
            full = errno == ENOSPC;
            break;
        }
    }
    close(fd);
    return full;
}

void CSmallFileSystem::Free()
{
    unlink(FillerName(m_sDirectory).c_str());
}
int LoopbackSocket(int type, int* port, int receiveTimeoutSeconds)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(*port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    timeval timeout{receiveTimeoutSeconds, 0};
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        (receiveTimeoutSeconds > 0 &&
         setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0))
    {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

namespace
{
bool AllowedInXml(unsigned long c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}
} // namespace

std::string FiberOpticFrameProperties(int frames)
{
    const std::string code = std::to_string(frames);
    std::string properties;
    for (const auto& p : {std::pair<const char*, std::string>{"InputSpeed", "32"},
                          {"InputFrames", code},
                          {"OutputSpeed", "32"},
                          {"OutputFrames", code},
                          {"OutputPeriod", "1000"},
                          {"Slot", "0"}})
        properties +=
            std::string("<Property Name=\"") + p.first + "\" Value=\"" + p.second + "\"/>";
    return properties;
}

std::string XmlCharacterProblem(const std::string& document)
{
    const auto* s = reinterpret_cast<const unsigned char*>(document.data());
    const size_t n = document.size();
    size_t i = n >= 3 && memcmp(s, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    if (document.compare(i, 5, "<?xml") == 0)
    {
        const size_t end = document.find("?>", i);
        const size_t encoding = document.find("encoding=", i);
        if (encoding != std::string::npos && encoding < end)
        {
            std::string name = document.substr(encoding + 10, 5);
            for (char& c : name)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            if (name != "utf-8")
                return "declared " + document.substr(encoding, end - encoding);
        }
    }
    for (; i < n;)
    {
        const unsigned char c = s[i];
        unsigned long code = c;
        size_t length = 1;
        if (c >= 0x80)
        {
            length = c >= 0xC2 && c <= 0xDF   ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
            if (length == 0 || n - i < length)
                return "no UTF-8 at byte " + std::to_string(i);
            code = c & (0x7F >> length);
            for (size_t k = 1; k < length; ++k)
            {
                if ((s[i + k] & 0xC0) != 0x80)
                    return "no UTF-8 at byte " + std::to_string(i);
                code = (code << 6) | (s[i + k] & 0x3F);
            }
            static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
            if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF))
                return "no UTF-8 at byte " + std::to_string(i);
        }
        else if (c == '&' && i + 2 < n && s[i + 1] == '#')
        {
            const bool hex = s[i + 2] == 'x';
            code = strtoul(document.c_str() + i + (hex ? 3 : 2), nullptr, hex ? 16 : 10);
        }
        if (!AllowedInXml(code))
            return "character " + std::to_string(code) + " at byte " + std::to_string(i);
        i += length;
    }
    return std::string();
}
} // namespace kovetest
