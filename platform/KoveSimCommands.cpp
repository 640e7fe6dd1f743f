#include "KoveSimCommands.h"

#include "KoveSimDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

extern char** environ;

namespace
{
bool IsSeparator(char c)
{
    return strchr(" \t\r\n;&|()<>`$\"'{}!\\", c) != nullptr;
}

bool NeedsQuotes(const std::string& word)
{
    if (word.empty())
        return true;
    for (char c : word)
        if (!(isalnum(static_cast<unsigned char>(c)) || strchr("_@%+=:,./-", c)))
            return true;
    return false;
}

const char kStub[] = "#!/bin/sh\n"
                     "# Stand-in of the simulated device for a tool that would change the host:\n"
                     "# the call is recorded in the device's commands.log instead of run.\n"
                     "if [ $# -gt 0 ]; then line=\"${0##*/} $*\"; else line=\"${0##*/}\"; fi\n"
                     "printf '%s\\n' \"$line\" >> \"${0%/*}/../../commands.log\"\n"
                     "exit 0\n";
} // namespace

const std::vector<std::string>& SimHostTools()
{
    static const std::vector<std::string> tools{
        "arp",      "ethtool", "halt",     "hostname", "ifconfig", "ifdown",
        "ifup",     "ip",      "iptables", "kill",     "killall",  "pkill",
        "poweroff", "reboot",  "route",    "shutdown", "udhcpc"};
    return tools;
}

bool SimLineHasHostTool(const std::string& line)
{
    const std::vector<std::string>& tools = SimHostTools();
    size_t i = 0;
    while (i < line.size())
    {
        while (i < line.size() && IsSeparator(line[i]))
            ++i;
        size_t start = i;
        while (i < line.size() && !IsSeparator(line[i]))
            ++i;
        if (i == start)
            continue;
        std::string word = line.substr(start, i - start);
        size_t slash = word.rfind('/');
        if (slash != std::string::npos)
            word = word.substr(slash + 1);
        if (std::find(tools.begin(), tools.end(), word) != tools.end())
            return true;
    }
    return false;
}

std::string SimJoinArgv(const char* const argv[])
{
    std::string line;
    for (size_t i = 0; argv && argv[i]; ++i)
    {
        std::string word = argv[i];
        if (i > 0)
            line += ' ';
        if (!NeedsQuotes(word))
        {
            line += word;
            continue;
        }
        line += '\'';
        for (char c : word)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

int SimRecordCommand(const std::string& dir, const std::string& line)
{
    std::string text;
    text.reserve(line.size() + 1);
    for (char c : line)
        text += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    text += '\n';
    int fd = open((dir + "/commands.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    // One write of the whole line: appends of other processes go before or after it.
    ssize_t n;
    do
        n = write(fd, text.data(), text.size());
    while (n < 0 && errno == EINTR);
    int e = errno;
    close(fd);
    if (n != static_cast<ssize_t>(text.size()))
    {
        errno = n < 0 ? e : EIO;
        return -1;
    }
    return 0;
}

std::string SimStubDir(const std::string& dir)
{
    return dir + "/.kovesim/bin";
}

int SimEnsureStubs(const std::string& dir)
{
    std::string stubDir = SimStubDir(dir);
    if (SimMakeDirs(stubDir) != 0)
        return -1;
    for (const std::string& tool : SimHostTools())
    {
        std::string path = stubDir + "/" + tool;
        if (access(path.c_str(), X_OK) == 0)
            continue;
        if (SimWriteFileAtomic(path, kStub, 0755) != 0)
            return -1;
    }
    return 0;
}

std::vector<std::string> SimChildEnvironment(const std::string& dir)
{
    std::vector<std::string> env;
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (char** e = environ; e && *e; ++e)
    {
        if (strncmp(*e, "PATH=", 5) == 0)
            path = *e + 5;
        else if (strncmp(*e, "KOVE_SIM=", 9) != 0)
            env.emplace_back(*e);
    }
    // A directory with ':' cannot stand in PATH; its commands run without the stand-ins.
    if (dir.find(':') == std::string::npos)
        path = SimStubDir(dir) + ":" + path;
    env.push_back("PATH=" + path);
    env.push_back("KOVE_SIM=" + dir);
    return env;
}
