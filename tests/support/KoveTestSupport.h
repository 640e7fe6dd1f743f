// Helpers for tests that run the real programs on a simulated device.
#ifndef KOVE_TEST_SUPPORT_H
#define KOVE_TEST_SUPPORT_H

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kovetest
{
// Path of a program of the build ("systemdriver", "kovesim", ...).
std::string BinPath(const std::string& program);

// The argument vector that starts a program: in a cross build whose tests run under an
// emulator, the emulator's command line goes before a program of the build. The environment
// variable KOVE_TEST_EMULATOR replaces the one the build was configured with (words separated
// by spaces, "qemu-arm -L /usr/arm-linux-gnueabihf"; empty: none).
std::vector<std::string> LaunchArgv(const std::vector<std::string>& argv);

// True in a cross build whose tests run under a user-mode emulator.
bool RunsUnderEmulator();

// True where a program of the build can start another program of the build by itself
// (false in a cross build run under a user-mode emulator that the kernel does not know).
bool ProgramsStartProgramsOfTheBuild();

// A fresh temporary directory, removed with everything in it at the end.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    const std::string& Path() const { return m_sPath; }

private:
    std::string m_sPath;
};

// A fresh simulated device directory made by kovesim, removed at the end.
// createArgs are passed to "kovesim create <dir>" (family, hex switches, slots...).
class CSimDevice
{
public:
    explicit CSimDevice(const std::vector<std::string>& createArgs = {});
    const std::string& Dir() const { return m_tDir.Path(); }
    // Where a fixed path of the device lies in the simulation.
    std::string Path(const std::string& devicePath) const { return Dir() + devicePath; }
    // Runs "kovesim <command> <dir> args..." and returns its standard output.
    std::string Tool(const std::string& command, const std::vector<std::string>& args = {}) const;

private:
    CTempDir m_tDir;
};

// Runs a command with an argument vector; returns its exit status (or -1)
// and appends its standard output to out when given.
int RunCommand(const std::vector<std::string>& argv, std::string* out = nullptr,
               const std::vector<std::string>& env = {});

// A program started in a process group of its own with KOVE_SIM set to the
// given device. Its standard output and error go to a file. The destructor
// ends it and everything it started.
class CTestProcess
{
public:
    CTestProcess(const CSimDevice& device, const std::string& program,
                 const std::vector<std::string>& args = {},
                 const std::vector<std::string>& env = {});
    ~CTestProcess();

    pid_t Pid() const { return m_pid; }
    // Waits until a TCP connect to 127.0.0.1:port succeeds or the process ends.
    bool WaitForPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Sends a signal to the process.
    void Signal(int sig);
    // Waits for the process to end; returns its wait status, or -1 on timeout.
    int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Everything the process wrote so far.
    std::string Output() const;

private:
    pid_t m_pid = -1;
    bool m_bExited = false;
    int m_iStatus = 0;
    std::string m_sOutputFile;
};

// The hub's run at the device's boot: "systemdriver -Startup=<file>", which restores the stored
// configuration from flash (and on hardware family 2 the compatibility list), writes the device
// name into the file ("/tmp/DeviceName" of the device) and ends. A test that starts the resident
// hub on a device whose flash it means to come back runs this first, as the device does. True
// when it ended with status 0; its output in output when given.
bool RunHubStartup(const CSimDevice& device, std::string* output = nullptr);

// A small RAM file system (tmpfs) of `bytes`, mounted over a directory for this test process
// and the programs it starts alone (the first one takes the process into a mount namespace of
// its own): a full or read-only disk for a test. Where that is not possible Usable() is false
// and Why() says why. The destructor unmounts it.
class CSmallFileSystem
{
public:
    CSmallFileSystem(const std::string& directory, size_t bytes, bool readOnly = false);
    ~CSmallFileSystem();
    CSmallFileSystem(const CSmallFileSystem&) = delete;
    CSmallFileSystem& operator=(const CSmallFileSystem&) = delete;

    bool Usable() const { return m_bMounted; }
    const std::string& Why() const { return m_sWhy; }
    // Takes every free byte with a filler file; true when the file system is full afterwards.
    bool Fill();
    // Gives the filler's bytes back.
    void Free();

private:
    std::string m_sDirectory;
    bool m_bMounted = false;
    std::string m_sWhy;
};

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM) bound to 127.0.0.1:*port (0: any free port),
// listening when it is a stream socket, with a receive time-out when receiveTimeoutSeconds > 0.
// Returns the descriptor with the bound port in *port, or -1.
int LoopbackSocket(int type, int* port, int receiveTimeoutSeconds = 0);

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// How often `what` stands in `text`, overlapping places counted.
size_t CountOf(const std::string& text, const std::string& what);
// What keeps a document from being XML 1.0 in UTF-8 at the level of characters: a declaration
// that names another encoding, a byte sequence that is no UTF-8, a character or a character
// reference that XML does not allow (control characters other than tab and line ends, U+FFFE,
// U+FFFF). Empty when there is nothing. The markup is for a parser to check.
std::string XmlCharacterProblem(const std::string& document);
// The Properties of a fiber-optic configuration: 32 Mbit both ways with the frames code,
// output period 1000, slot 0.
std::string FiberOpticFrameProperties(int frames);
// Waits until pred() is true or the timeout passes; polls every 10 ms.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
} // namespace kovetest

#endif
