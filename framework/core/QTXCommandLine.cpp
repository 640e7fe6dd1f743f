// The driver command line: options, the driver directory derived from the program's file name,
// the command line for a restart, and the help text.
#include "QTX.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "QTXConvert.h"

namespace
{
bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// True when text ends with ending, compared without regard to case.
bool EndsWithNoCase(const std::string& text, const char* ending)
{
    size_t length = strlen(ending);
    return text.size() >= length && SameString(text.substr(text.size() - length), ending);
}

void SleepMilliseconds(int32_t milliseconds)
{
    if (milliseconds <= 0)
        return;
    struct timespec rest;
    rest.tv_sec = milliseconds / 1000;
    rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
    {
    }
}
} // namespace

void CQTX::Init(int argc, char** argv, int defaultSlot)
{
    QTXCommandLine commandLine;
    ParseCommandLine(argc, argv, defaultSlot, commandLine);
    sStartupText = commandLine.sStartupText;
    sRestartCommandLine = commandLine.sRestartCommandLine;
    vsRestartArguments = commandLine.vsRestartArguments;
    Init(commandLine.sDirectory, commandLine.iSlot, commandLine.sDebugAddress,
         commandLine.bHardware);
}

void CQTX::ParseCommandLine(int argc, char** argv, int defaultSlot, QTXCommandLine& result)
{
    result = QTXCommandLine();
    result.iSlot = defaultSlot;

    const std::string program = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
    result.sRestartCommandLine = "\"" + program + "\" ";
    result.vsRestartArguments.push_back(program);

    bool directoryGiven = false;
    for (int i = 1; i < argc; ++i)
    {
        // The first character is dropped whatever it is, so "-Slot=3" and "/Slot=3" are the
        // same option; an empty argument or a lone "-" is an empty option.
        const char* argument = argv[i] != nullptr ? argv[i] : "";
        const std::string option = argument[0] != '\0' ? std::string(argument + 1) : std::string();

        // A restart repeats every argument except the delay.
        if (!SameString(option, "Delay=", true))
        {
            result.sRestartCommandLine += "\"-" + option + "\" ";
            result.vsRestartArguments.push_back("-" + option);
        }

        size_t separator = option.find('=');
        if (separator == std::string::npos)
            separator = option.find(':');
        const bool hasValue = separator != std::string::npos;
        const std::string name = option.substr(0, separator);
        const std::string value = hasValue ? option.substr(separator + 1) : std::string();

        if (SameString(name, "DEBUG"))
        {
            result.sDebugAddress = hasValue ? value : ":62099";
        }
        else if ((SameString(name, "DIR") || SameString(name, "Directory")) && hasValue)
        {
            result.sDirectory = value;
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                result.sDirectory = value.substr(1, value.size() - 2);
            directoryGiven = true;
        }
        else if (SameString(name, "SLOT") && hasValue)
        {
            // "x<n>" names the module position n counted from 1.
            if (!value.empty() && (value[0] == 'x' || value[0] == 'X'))
                result.iSlot = StringToInt(value.substr(1)) - 1;
            else
                result.iSlot = StringToInt(value);
        }
        else if (SameString(name, "DELAY") && hasValue)
        {
            SleepMilliseconds(StringToInt(value));
        }
        else if (SameString(name, "SIMULATE") && !hasValue)
        {
            result.bHardware = false;
        }
        else if (SameString(name, "Startup") && hasValue)
        {
            result.sStartupText = value;
        }
        else if (SameString(name, "?") || SameString(name, "Help"))
        {
            PrintHelpText(program.c_str());
            throw CQTXError("HelpText", "Stopping after help text displayed", nullptr, 0, Error,
                            "GeneralError");
        }
        else
        {
            throw CQTXError("IllegalArguments", "Unknown argument " + name, nullptr, 0, Error,
                            "GeneralError");
        }
    }

    if (!directoryGiven)
        result.sDirectory = sQTXRootDirectory + DriverNameFromProgram(program);
}

std::string CQTX::DriverNameFromProgram(const std::string& programPath)
{
    std::string name = programPath;
    size_t lastSeparator =
        sQTXDirectorySeperator.empty() ? std::string::npos : name.rfind(sQTXDirectorySeperator);
    if (lastSeparator != std::string::npos)
        name.erase(0, lastSeparator + sQTXDirectorySeperator.size());

    // A start-order prefix such as "10_" or "100_".
    if (name.size() >= 3 && IsDigit(name[0]) && IsDigit(name[1]) && name[2] == '_')
        name.erase(0, 3);
    else if (name.size() >= 4 && IsDigit(name[0]) && IsDigit(name[1]) && IsDigit(name[2]) &&
             name[3] == '_')
        name.erase(0, 4);

    size_t dot = name.find('.');
    if (dot != std::string::npos)
        name.resize(dot);

    // Platform endings of the program name.
    if (name.size() >= 4 &&
        (EndsWithNoCase(name, "_CE") || EndsWithNoCase(name, "_XP") || EndsWithNoCase(name, "_Lx")))
    {
        name.resize(name.size() - 3);
    }
    else if (name.size() >= 5 && (EndsWithNoCase(name, "_CE7") || EndsWithNoCase(name, "_W32")))
    {
        name.resize(name.size() - 4);
    }
    else if (name.size() > 10 && name.compare(name.size() - 6, 6, "-LINUX") == 0)
    {
        // "<name>-<version>-LINUX"
        name.resize(name.size() - 6);
        size_t dash = name.rfind('-');
        if (dash != std::string::npos)
            name.resize(dash);
    }
    return name;
}

uint32_t CQTX::PortFromSlot(int slot, int& slotMember)
{
    if (slot < 0)
    {
        slotMember = -1;
        return 0;
    }
    if (slot < QTX_NUMBER_OF_SLOTS)
    {
        slotMember = slot;
        return QTX_SLOT_PORT_BASE + static_cast<uint32_t>(slot);
    }
    slotMember = -1;
    return static_cast<uint32_t>(slot);
}

void CQTX::PrintHelpText(const char* programPath)
{
    printf("Syntax: %s -Debug=<IP-Address> -Dir=<Directory> -Slot=<Number> -Delay=<ms> -Simulate "
           "-Help\n",
           programPath);
    puts("  -Debug: Select UCP server for the debug outputs. Default is no debug outputs");
    printf("  -Dir: Select directory, default is %s<Name>\n",
           (sQTXRootDirectory + sQTXDirectorySeperator).c_str());
    puts("  -Slot: Set hardware slot number. Default depends on the driver");
    puts("  -Delay: Wait the given number of milliseconds before starting to work");
    puts("  -Simulate: Simulate (without any hardware access");
    puts("  -Startup=<text>: Additional driver specific argument");
    puts("  -Help: Print this help text");
    puts("All arguments are optional.");
    puts("");
    puts("Options may start with any character instead of '-' and take ':' instead of '='.");
    fflush(stdout);
}
