// Runs a test program in a network namespace of its own, with only the
// loopback interface up, so that tests that open the device's fixed ports can
// run side by side and never touch the host's ports.
//
//   kove_netns_run <program> [args...]
//
// As root the namespace comes from unshare(CLONE_NEWNET); otherwise from a
// new user namespace as well. Where neither is possible the test is skipped
// (exit 77) with a message; it is never run in the host's namespace.
// Listing the tests of a GoogleTest program needs no namespace. In a cross
// build the program is started through the emulator (see LaunchArgv).
#include "KoveTestSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int kSkip = 77;

bool WriteFile(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool EnterNamespace(std::string& why)
{
    if (unshare(CLONE_NEWNET) == 0)
        return true;
    why = std::string("unshare -n: ") + strerror(errno);
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
    {
        why += std::string("; unshare -rn: ") + strerror(errno);
        return false;
    }
    WriteFile("/proc/self/setgroups", "deny");
    if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
    {
        why += "; cannot map the user in the new user namespace";
        return false;
    }
    return true;
}

bool BringLoopbackUp(std::string& why)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
    {
        why = std::string("socket: ") + strerror(errno);
        return false;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok)
    {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (!ok)
        why = std::string("bringing lo up: ") + strerror(errno);
    close(s);
    return ok;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: kove_netns_run <program> [args...]\n");
        return 2;
    }
    bool listing = false;
    for (int i = 2; i < argc; ++i)
        listing = listing || strcmp(argv[i], "--gtest_list_tests") == 0;

    if (!listing)
    {
        std::string why;
        if (!EnterNamespace(why) || !BringLoopbackUp(why))
        {
            printf("SKIPPED: no network namespace for this test (%s); it is not run against "
                   "the host's ports\n",
                   why.c_str());
            fflush(stdout);
            return kSkip;
        }
    }
    std::vector<std::string> launch = kovetest::LaunchArgv({argv + 1, argv + argc});
    std::vector<char*> run;
    for (std::string& word : launch)
        run.push_back(&word[0]);
    run.push_back(nullptr);
    execv(run[0], run.data());
    fprintf(stderr, "kove_netns_run: cannot run %s: %s\n", run[0], strerror(errno));
    return 127;
}
