// Running commands through the platform layer, with the reporting hook of the callers.
#include "QTXShell.h"

#include <cerrno>
#include <sys/wait.h>
#include <system_error>
#include <thread>

#include "KovePlatform.h"

namespace
{
// Waits for a program started in the background, so that it leaves no zombie behind.
void ReapInBackground(int pid)
{
    try
    {
        std::thread(
            [pid]()
            {
                int status = 0;
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
                {
                }
            })
            .detach();
    }
    catch (const std::system_error&)
    {
        // Without a thread the child is reaped by nobody until the process ends.
    }
}
} // namespace

int ExecuteShellCommand(const std::string& command, bool wait, QTXReportFunction report)
{
    const std::string line = wait ? command : command + " &";
    SysCallDebug3("System call \"" + line + "\"", report);
    const int result = PlatSystem(line.c_str());
    SysCallDebug3(" ... returned " + std::to_string(result), report);
    return result;
}

namespace
{
// Runs the program through the platform layer (wait as PlatRunArgv takes it) and reports the
// call; the result is PlatRunArgv's. A started child is reaped in the background when reap is
// set.
int RunProgram(const std::vector<std::string>& arguments, bool wait, bool reap,
               QTXReportFunction report)
{
    if (arguments.empty())
        return -1;
    std::string line;
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
    {
        line += (line.empty() ? "" : " ") + argument;
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    SysCallDebug3("System call \"" + line + "\"", report);
    int result = PlatRunArgv(argv.data(), wait ? 1 : 0);
    if (!wait && reap && result > 0)
    {
        ReapInBackground(result);
        result = 0;
    }
    SysCallDebug3(" ... returned " + std::to_string(result), report);
    return result;
}
} // namespace

int ExecuteProgram(const std::vector<std::string>& arguments, bool wait, QTXReportFunction report)
{
    return RunProgram(arguments, wait, true, report);
}

int StartProgram(const std::vector<std::string>& arguments, QTXReportFunction report)
{
    return RunProgram(arguments, false, false, report);
}

std::vector<std::string> SplitCommandWords(const std::string& command)
{
    static const char kSeparators[] = " \t\r\n";
    std::vector<std::string> words;
    size_t start = command.find_first_not_of(kSeparators);
    while (start != std::string::npos)
    {
        const size_t end = command.find_first_of(kSeparators, start);
        words.push_back(command.substr(start, end - start));
        start = end == std::string::npos ? end : command.find_first_not_of(kSeparators, end);
    }
    return words;
}

bool IsShellSafeWord(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
    {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!plain && std::string("_-.,:/+=@%").find(c) == std::string::npos)
            return false;
    }
    return true;
}
