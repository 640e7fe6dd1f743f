// Shell tools and signals of the simulated device: what would change the host
// is recorded in commands.log and never run.
#include "SimTestSupport.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace simtest;

namespace
{
class SimCommands : public CSimFixture
{
protected:
    std::string Log() const { return kovetest::ReadFile(Dir() + "/commands.log"); }
    bool Exists(const std::string& path) const
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    std::vector<std::string> LogLines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(Log());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};
} // namespace

TEST_F(SimCommands, HostChangingLinesAreRecordedWholeAndNotRun)
{
    const std::string mark = Dir() + "/mark";
    const struct
    {
        std::string line;
        bool recorded;
    } cases[] = {
        {"ifconfig eth0 192.168.1.2 netmask 255.255.255.0 up", true},
        {"touch " + mark + " && /sbin/route add default gw 10.0.0.1", true},
        {"touch " + mark + "; udhcpc -i eth0 -q", true},
        {"touch " + mark + " | arp -s 10.0.0.2 00:11:22:33:44:55", true},
        {"echo $(reboot) > " + mark, true},
        {"sh -c 'killall systemdriver'; touch " + mark, true},
        {"touch " + mark, false},
    };
    for (const auto& c : cases)
    {
        unlink(mark.c_str());
        unlink((Dir() + "/commands.log").c_str());
        EXPECT_EQ(0, PlatSystem(c.line.c_str())) << c.line;
        EXPECT_EQ(!c.recorded, Exists(mark)) << c.line;
        EXPECT_EQ(c.recorded ? c.line + "\n" : "", Log()) << c.line;
    }
}

TEST_F(SimCommands, ScriptsCallingHostToolsByNameRecordThem)
{
    const std::string script = Dir() + "/dhcp.sh";
    const std::string mark = Dir() + "/mark";
    int fd = open(script.c_str(), O_WRONLY | O_CREAT, 0755);
    std::string text =
        "ifconfig eth0 10.1.2.3 up\nroute add default gw 10.1.2.1\ntouch " + mark + "\n";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
    EXPECT_EQ(0, PlatSystem(("sh " + script).c_str()));
    EXPECT_TRUE(Exists(mark));
    EXPECT_EQ("ifconfig eth0 10.1.2.3 up\nroute add default gw 10.1.2.1\n", Log());
}

TEST_F(SimCommands, ArgumentVectorsAndSignals)
{
    const char* reboot[] = {"/sbin/reboot", "-f", nullptr};
    EXPECT_EQ(0, PlatRunArgv(reboot, 1));
    pid_t pid = PlatRunArgv(reboot, 0); // a child that can be waited for
    ASSERT_GT(pid, 0);
    int status = -1;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const std::string mark = Dir() + "/it's here";
    const char* touch[] = {"touch", mark.c_str(), nullptr};
    status = PlatRunArgv(touch, 1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(Exists(mark));

    // A signal is recorded, not sent; signal 0 still tells whether a process lives.
    pid_t sleeper = fork();
    ASSERT_GE(sleeper, 0);
    if (sleeper == 0)
    {
        pause();
        _exit(0);
    }
    EXPECT_EQ(0, PlatKill(sleeper, SIGTERM));
    EXPECT_EQ(0, PlatKill(sleeper, 0));
    EXPECT_EQ(0, waitpid(sleeper, &status, WNOHANG));
    kill(sleeper, SIGKILL);
    waitpid(sleeper, &status, 0);
    EXPECT_EQ(-1, PlatKill(sleeper, 0));

    EXPECT_EQ("/sbin/reboot -f\n/sbin/reboot -f\nkill -15 " + std::to_string(sleeper) + "\n",
              Log());
}

TEST_F(SimCommands, LinesOfSeveralProcessesNeverInterleave)
{
    const int kProcesses = 4;
    const int kLines = 200;
    const std::string padding(300, 'p');
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p)
    {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            bool ok = true;
            for (int i = 0; i < kLines; ++i)
                ok &= PlatSystem(("reboot " + std::to_string(p) + " " + padding).c_str()) == 0;
            _exit(ok ? 0 : 1);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids)
    {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<int> count(kProcesses, 0);
    for (const std::string& line : LogLines())
    {
        int p = line.size() > 7 ? line[7] - '0' : -1;
        ASSERT_TRUE(p >= 0 && p < kProcesses &&
                    line == "reboot " + std::to_string(p) + " " + padding)
            << line.substr(0, 40);
        ++count[static_cast<size_t>(p)];
    }
    for (int p = 0; p < kProcesses; ++p)
        EXPECT_EQ(kLines, count[static_cast<size_t>(p)]);
}
