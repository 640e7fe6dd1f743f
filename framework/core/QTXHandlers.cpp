// Base versions of the request handlers that a driver may override: diagnostic, debug
// commands, factory test, unknown tags, signal value, unit and description, and the module
// description's file name.
#include "QTX.h"

#include <unistd.h>
#include <vector>

#include "KovePlatform.h"
#include "QTXConvert.h"

namespace
{
// Longest delay text RebootDriver takes (nine digits: well inside 32 bits).
constexpr size_t kMaxDelayDigits = 9;

bool IsLetterOrDigit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A delay in milliseconds as RebootDriver takes it: decimal digits only.
bool IsDecimalDelay(const std::string& text)
{
    if (text.empty() || text.size() > kMaxDelayDigits)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The measuring range in a module name: the letters and digits right after its first "-"
// ("XY-10V" gives "10V").
std::string RangeOfModuleName(const std::string& name)
{
    const size_t dash = name.find('-');
    if (dash == std::string::npos)
        return std::string();
    size_t end = dash + 1;
    while (end < name.size() && IsLetterOrDigit(name[end]))
        ++end;
    return name.substr(dash + 1, end - dash - 1);
}
} // namespace

std::string CQTX::GetSignalDescription(const std::string& group, int channel)
{
    // The range is taken from the module name once and kept.
    if (!bSignalDescriptionRangeKnown)
    {
        sSignalDescriptionRange = RangeOfModuleName(GetModuleName());
        bSignalDescriptionRangeKnown = true;
    }

    static const struct
    {
        const char* group;
        const char* shortName;
    } kGroups[] = {
        {"AnalogIn", "AI"}, {"DigitalIn", "DI"}, {"AnalogOut", "AO"}, {"DigitalOut", "DO"}};
    std::string text = group;
    for (const auto& g : kGroups)
        if (SameString(group, g.group))
            text = g.shortName;
    return text + "_" + sSignalDescriptionRange + "_Ch" + IntToString(channel, 10, 2);
}

// The base diagnosis answers with the versions of the device the driver runs on.
void CQTX::ProcessDiagnostic()
{
    AddDeviceVersionToXml(&tXmlCommandFile, 0);
}

bool CQTX::SelectDebugCommand(const char* name)
{
    // The commands are properties of the root's own property list.
    tXmlCommandFile.SelectSignalListByName("", "", false);
    tXmlCommandFile.SelectSignalByNumber(-1, false);
    return tXmlCommandFile.SelectPropertyByName(name, false);
}

void CQTX::OpenDebugReceiverOfCommand()
{
    SetDebugSocket(tXmlCommandFile.GetStringProperty());
    DebugOutput(std::string("This SW was compiled at ") + __DATE__ + " " + __TIME__);
}

void CQTX::ProcessDebug()
{
    CQTXXml& document = tXmlCommandFile;
    const auto selectCommand = [this](const char* name) { return SelectDebugCommand(name); };

    if (selectCommand("DebugReceiver"))
        OpenDebugReceiverOfCommand();

    if (selectCommand("EndDriver"))
        throw CQTXError("UserBreak", "Driver stopped according to user request", __FILE__, __LINE__,
                        Note, "GeneralError");

    if (selectCommand("RebootDriver"))
    {
        // The delay becomes an argument of the new program, never text for a shell.
        const std::string delay = document.GetStringProperty();
        if (!IsDecimalDelay(delay))
            throw CQTXEParameterError("IllegalArguments",
                                      "RebootDriver takes a delay in ms (decimal digits only)",
                                      __FILE__, __LINE__, Error);
        if (vsRestartArguments.empty() || vsRestartArguments.front().empty())
            throw CQTXECommunicationError("RebootFailed", "No command line to restart the driver",
                                          __FILE__, __LINE__, Error);
        std::vector<std::string> arguments = vsRestartArguments;
        arguments.push_back("-delay=" + delay);
        std::vector<const char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(argument.c_str());
        argv.push_back(nullptr);

        WriteToLogfile("*** RebootDriver ***: " + sRestartCommandLine + " -delay=" + delay);
        usleep(10000);
        // The new program takes over the port: it is freed now, so that the new program can
        // listen on it whatever its delay. The reply still goes out on the client connection.
        tCommandServer.CloseServerSocket();
        if (PlatRunArgv(argv.data(), 0) < 0)
            throw CQTXECommunicationError("RebootFailed", "Driver could not be restarted", __FILE__,
                                          __LINE__, Error);
        throw CQTXError("UserBreak", "Driver stopped to reboot itself", __FILE__, __LINE__, Note,
                        "GeneralError");
    }

    if (selectCommand("SignalValue"))
    {
        // "<name>:<number>" or a number alone.
        const std::string value = document.GetStringProperty();
        const size_t colon = value.find(':');
        const std::string name =
            colon == std::string::npos ? std::string() : value.substr(0, colon);
        const int number =
            StringToInt(colon == std::string::npos ? value : value.substr(colon + 1));
        const double signalValue = GetSignalValue(name, number);
        const std::string unit = GetSignalUnit(name, number);
        const std::string answer =
            "Signal" + std::to_string(number) + " = " + FloatToString(signalValue) + " " + unit;
        // The driver's operations may have moved the selection.
        selectCommand("SignalValue");
        document.SetStringProperty(answer);
    }
}

void CQTX::ProcessKoveFactory()
{
    throw CQTXEXmlError("UnknownXmlFile", "Tag KoveFactory not possible for this module", __FILE__,
                        __LINE__, Error);
}

int CQTX::ProcessUnknownXmlTag(uint32_t /*requestCode*/)
{
    return -256;
}

double CQTX::GetSignalValue(const std::string& /*name*/, int /*number*/)
{
    return 0;
}

std::string CQTX::GetSignalUnit(const std::string& /*name*/, int /*number*/)
{
    return "";
}

std::string CQTX::GetModuleInfoFileName()
{
    // A description that cannot be written leaves the older one, which is sent instead.
    WriteModuleInfoFile();
    return "ModuleInfo.xml";
}

bool CQTX::SpiFlashRead(void* /*buffer*/, int count, int address, int slot, bool /*flag*/,
                        int /*extra*/)
{
    if (address < 0 || count < 1)
        return false;
    if (slot < 0)
        slot = iSlot >= 0 ? iSlot : static_cast<int>(ulPort);
    return (slot >= 0 && slot <= 4) || (slot >= static_cast<int>(QTX_SLOT_PORT_BASE) &&
                                        slot <= static_cast<int>(QTX_SLOT_PORT_BASE) + 4);
}
