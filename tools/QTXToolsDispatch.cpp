// The command line of qtx: target, action word and parameters; the channel each action needs,
// opened before it runs; the table that dispatches the word to its action; the usage text and
// the exit statuses.
#include "QTXTools.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "KovePlatform.h"
#include "QTXConvert.h"

namespace
{
// ---- Channels

struct CChannelRow
{
    const char* pWord;
    ToolsChannelKind eKind;
    int iDefaultPort;
    bool bPrefix; // either word may be a prefix of the other ("RecordDebug1")
};

const CChannelRow aChannelRows[] = {
    {"XML", TOOLS_CHANNEL_TCP, 62000, false},
    {"sXML", TOOLS_CHANNEL_TCP, 62000, false},
    {"ShowProgress", TOOLS_CHANNEL_UDP_SERVER, 62098, true},
    {"UDP", TOOLS_CHANNEL_UDP, 62000, false},
    {"DIAGFile", TOOLS_CHANNEL_TCP, 999, false},
    {"DIAGData", TOOLS_CHANNEL_TCP, 999, false},
    {"VeskFile", TOOLS_CHANNEL_TCP, 22012, false},
    {"UdpTemp", TOOLS_CHANNEL_UDP_SENSOR, 5010, false},
    {"UdpData", TOOLS_CHANNEL_UDP_SENSOR, 5010, false},
    {"RecordDebug", TOOLS_CHANNEL_UDP_SERVER, 62099, true},
};

// Where the temperature datagrams go when no target is given.
const char* const kSensorDefaultTarget = "172.16.0.100:5010";

// ---- Actions

// Allowed parameter counts: bit n for n parameters; bit 31 stands for 31 and more.
constexpr uint32_t P(int n)
{
    return 1u << n;
}
constexpr uint32_t AtLeast(int n)
{
    return ~0u << n;
}

struct CActionRow
{
    const char* pWord;
    uint32_t uCounts;
    bool bDevice;           // needs the driver object
    QTXToolsAction pAction;
    int iMode;
    // The parameters as the usage text names them, separated by blanks; the form of each is
    // marked by its first character: '#' a whole number, '~' a floating-point number, ':' a
    // register range, none a text. "..." after the last one: it stands for all further
    // parameters.
    const char* pParams;
};

// In dispatch order: the first row whose word and parameter count fit runs.
const CActionRow aActionRows[] = {
    {"XML", P(1), false, SendXmlFile, 0, "FileName"},
    {"sXML", P(1), false, SendXmlFile, 1, "FileName"},
    {"ShowProgress", P(0), false, ShowProgress, 0, ""},
    {"UDP", P(2), false, SendUdpFile, 0, "#AnswerPort FileName"},
    {"DIAGFile", P(1), false, SendDiagFile, 0, "FileName"},
    {"VeskFile", P(1), false, SendVeskFile, 0, "FileName"},
    {"UdpTemp", P(1), false, UdpTemp, 0, "#Time"},
    {"UdpData", AtLeast(3), false, UdpData, 0, "#Time :ListOfRegisters..."},
    {"RecordDebug", P(1), false, RecordDebug, 0, "FileName"},
    {"RecordDebug1", P(1), false, RecordDebug, 1, "FileName"},
    {"RecordDebug2", P(1), false, RecordDebug, 2, "FileName"},
    {"IOEmb", P(2), true, IOEmb, 0, "FileName #FO-Mode"},
    {"DebugData", P(3), true, DebugData, 0, "Which #ModuleNo FileName"},
    {"Write", AtLeast(2), true, BusWrite, 0, "#Address #Data..."},
    {"Read", P(2), true, BusRead, 0, "#Address #NumberOfBytes"},
    {"MemTest", P(3) | P(5), true, MemTest, 0, "#Address #Length #Loops #MarkAddress #MarkValue"},
    {"File2PCI", P(2), true, File2PCI, 0, "#Address FileName"},
    {"PCI2File", P(3), true, PCI2File, 0, "#Address #NumberOfBytes FileName"},
    {"RingBuffer2File", P(6), true, RingBuffer2File, 0,
     "#StartAddress #BlockLength #BlockOffset #NoOfBlocks #PointerRegister FileName"},
    {"Temp", P(1), false, Temp, 0, "#Module"},
    {"DPADC", P(1) | P(2) | P(3), true, DPADC, 0, "FileName CalibFile #Mode"},
    {"CANADC", P(1) | P(2) | P(3), true, CANADC, 0, "FileName CalibFile #Mode"},
    {"Counter", P(2), true, Counter, 0, "#FPGA-Address #DelayInMs"},
    {"KoveFactoryRelays", P(2), false, KoveFactoryRelays, 0, "#Slot #RelayMask"},
    {"Eeprom2File", P(2) | P(3), false, Eeprom2File, 0, "#ModuleSlot FileName #Length"},
    {"File2Eeprom", P(2) | P(3), false, File2Eeprom, 0, "#ModuleSlot FileName #Length"},
    {"CheckEeprom", P(1), false, CheckEeprom, 0, "#ModuleSlot"},
    {"UpdateEepromFile", P(1), false, UpdateEepromFile, 0, "FileName"},
    {"ConvertNewToOldEepromFile", P(3), false, ConvertNewToOldEepromFile, 0,
     "FileName #ProductId FWVersion"},
    {"SpiFlash2File", P(4), false, SpiFlash2File, 0, "#ModuleSlot #StartAddress #Length FileName"},
    {"File2SpiFlash", P(3), false, File2SpiFlash, 0, "#ModuleSlot #StartAddress FileName"},
    // The forms of the command's arguments depend on the command: SrwCmd checks them.
    {"SrwCmd", P(2) | P(3) | P(4) | P(5), false, SrwCmd, 0, "#Slot Command Argument..."},
    {"FloatToHex", P(1), false, FloatToHex, 0, "~value"},
    {"ExtractFile", P(3), false, ExtractFile, 0, "ID Input Output"},
    {"Add12BHeader", P(3), false, Add12BHeader, 0, "ID Input Output"},
    {"QWCalib", P(1), false, QWCalib, 0, "File"},
    {"HexToFloat", P(1), false, HexToFloat, 0, "#value"},
    {"CalcBiQuad", P(0), false, CalcBiQuad, 0, ""},
    {"GenLpFilter", P(5) | P(7), false, GenLpFilter, 0,
     "Name #Type #Order ~Fs ~Fc ~PassGain ~StopGain"},
    {"WexFilter", P(2), false, WexFilter, 0, "#Input Output"},
    {"WexSim", P(5), false, WexSim, 0, "FileName #Mode #Phases ~Frequency #Periods"},
    {"FftTest", P(0), false, FftTest, 0, ""},
    {"SystemCall", P(4), false, SystemCall, 0, "#OuterLoop #InnerLoop Command #Slot"},
    {"RecordMemoryUsage", P(3), false, RecordMemoryUsage, 0, "#Interval #Duration File"},
    {"RecordSystemLoad", P(3), false, RecordProcessLoad, 0, "#Interval #Duration File"},
    {"ShowThreadLoad", P(3) | P(4), false, RecordProcessLoad, 0,
     "#Interval #Duration ProcessName #Prio"},
    {"WatchProcess", P(3), false, RecordProcessLoad, 0, "#Interval #Duration ProcessName"},
    {"SWTest", P(0), false, SWTest, 0, ""},
    {"CheckBinCmd", P(1), false, CheckBinCmdAction, 0, "FileName"},
};

const CActionRow* FindAction(const std::string& word, size_t count)
{
    uint32_t bit = count >= 31 ? P(31) : P(static_cast<int>(count));
    for (const CActionRow& row : aActionRows)
        if (SameString(word, row.pWord) && (row.uCounts & bit) != 0)
            return &row;
    return nullptr;
}

// The name of parameter i in a row's list ("" when the list has none for it), with its mark.
std::string ParamName(const char* params, size_t i)
{
    std::vector<std::string> names;
    for (const char* at = params; *at != '\0';)
    {
        const size_t length = std::strcspn(at, " ");
        if (length > 0)
            names.emplace_back(at, length);
        at += length;
        at += *at == ' ' ? 1 : 0;
    }
    if (i < names.size())
        return names[i];
    const std::string repeat = "...";
    const std::string last = names.empty() ? "" : names.back();
    if (last.size() > repeat.size() && last.rfind(repeat) == last.size() - repeat.size())
        return last;
    return "";
}

// True when every parameter has the form its row gives it; the first that has not is named on
// standard error.
bool CheckParams(const CActionRow& row, const std::vector<std::string>& params)
{
    for (size_t i = 0; i < params.size(); ++i)
    {
        std::string name = ParamName(row.pParams, i);
        if (name.size() > 3 && name.rfind("...") == name.size() - 3)
            name.resize(name.size() - 3);
        const char mark = name.empty() ? ' ' : name[0];
        const ToolParamKind kind = mark == '#'   ? TOOL_PARAM_INT
                                   : mark == '~' ? TOOL_PARAM_FLOAT
                                   : mark == ':' ? TOOL_PARAM_REGISTERS
                                                 : TOOL_PARAM_TEXT;
        if (!CheckToolParam(kind, name.c_str() + (kind == TOOL_PARAM_TEXT ? 0 : 1), params[i]))
            return false;
    }
    return true;
}

bool OpenChannel(const CToolsChannel& channel, CQTXCommunication& communication)
{
    switch (channel.eKind)
    {
    case TOOLS_CHANNEL_NONE:
        return true;
    case TOOLS_CHANNEL_TCP:
        if (communication.Open(channel.sTarget, true))
            return true;
        ToolError("ERROR: Can not open TCP/IP channel to %s\n", channel.sTarget.c_str());
        return false;
    case TOOLS_CHANNEL_UDP:
        if (communication.Open(channel.sTarget, false))
            return true;
        ToolError("ERROR: Can not open UDP/IP channel to %s\n", channel.sTarget.c_str());
        return false;
    case TOOLS_CHANNEL_UDP_SENSOR:
        if (communication.Open(channel.sTarget, false))
            return true;
        ToolError("ERROR: Can not open UDP channel to %s\n", channel.sTarget.c_str());
        return false;
    case TOOLS_CHANNEL_UDP_SERVER:
        // Port 0 would let the system choose one that nobody sends to.
        if (channel.iPort > 0 && communication.OpenServerSocket(channel.iPort, false))
            return true;
        ToolError("ERROR: Can not allocate UDP socket for port %d\n", channel.iPort);
        return false;
    }
    return false;
}

// ---- Usage

// One entry per line, each a printf format: "%s" is the program, "%%" a percent sign. Hardware
// and tool entries have six blanks in place of the target.
const char* const aUsageLines[] = {
    "*** Communication ***",
    "  %s <Target> XML <FileName> sends the command file (XML or binary) and shows the reply",
    "          The reply is stored as <FileName>.reply; default port 62000",
    "  %s <Target> sXML <FileName> as XML, for replies that start with a line of status text",
    "  %s <Target> ShowProgress shows the progress reports of an update (default UDP port 62098)",
    "  %s <Target> UDP <AnswerPort> <FileName> sends the file by UDP and waits for the reply by "
    "TCP",
    "          on <AnswerPort>; with 61000 it is the device discovery (default port 62000)",
    "  %s <Target> DiagFile <FileName> sends one diagnostic frame to the PROFINET sniffer",
    "          (default port 999); the answer is stored as <FileName>_reply",
    "  %s <Target> VeskFile <FileName> sends one command frame to a VESK target",
    "          (default port 22012); the answer is stored as <FileName>_reply",
    "  %s <Target> UdpTemp <Time> sends the temperatures of CPU and modules every <Time> ms",
    "          as 10-byte datagrams (default target 172.16.0.100:5010)",
    "  %s <Target> UdpData <Time> <ListOfRegisters> sends FPGA registers every <Time> ms",
    "          <ListOfRegisters>: <Address>:<NumberOfWords> ...",
    "  %s <Target> RecordDebug <FileName> records the debug datagrams of the drivers into the file",
    "          (default UDP port 62099); RecordDebug1 shows a dot per datagram, RecordDebug2 shows "
    "them",
    "  %s       IOEmb <FileName> <FO-Mode> loads the embedded link I/O device with the file",
    "*** Hardware access ***",
    "  %s       DebugData <Which> <ModuleNo> <FileName> stores debug data of a module",
    "          <Which>: AVR-FLASH (32 kByte of the module controller's flash), AVR-RAM (its RAM);",
    "          FPGA, EEPROM and PLV are not available",
    "  %s       Write <Address> <Data> ... writes bus words",
    "  %s       Read <Address> <NumberOfBytes> reads bus words",
    "  %s       MemTest <Address> <Length> <Loops> [<MarkAddress> <MarkValue>] tests memory",
    "  %s       File2PCI <Address> <FileName> writes the file to the bus",
    "  %s       PCI2File <Address> <NumberOfBytes> <FileName> reads the bus into the file",
    "  %s       RingBuffer2File <StartAddress> <BlockLength> <BlockOffset> <NoOfBlocks>",
    "          <PointerRegister> <FileName> stores a ring buffer",
    "  %s       Temp <Module> shows the temperature of the CPU (0) or a module (1..4)",
    "  %s       DPADC <FileName> [<CalibFile> [<Mode>]] records the ADC values of a DP module",
    "  %s       CANADC <FileName> [<CalibFile> [<Mode>]] records the ADC values of a CAN module",
    "          <Mode>: bit 0 decimal commas, bit 1 clear the low bits of the second values,",
    "          bit 2 wait for a trigger on channel 0, bit 3 on channel 1",
    "  %s       COUNTER <FPGA-Address> <DelayInMs> writes a counter and the CPU temperature",
    "  %s       KoveFactoryRelays <Slot> <RelayMask> sets the relays of a factory test card",
    "          power relay card: Bits 0..6 for USB0..6, bit 7 of QM",
    "          signal relay card: Bits 0..15: signal, Bits 16..18 for VAC, VDC and I, Bits 19..20 "
    "for 1kOhm load to signals 0..7 resp. 8..15",
    "*** EEPROM and Flash ***",
    "  %s       EEPROM2File <ModuleSlot> <FileName> [<Length>] reads the module EEPROM (default "
    "512)",
    "          Add 10 to <ModuleSlot> to read via RS232, otherwise it will be read via backplane "
    "bus.",
    "  %s       File2EEPROM <ModuleSlot> <FileName> [<Length>] writes the module EEPROM (default "
    "512)",
    "  %s       CheckEeprom <ModuleSlot> shows the production record of the module EEPROM",
    "          (copied to Eeprom_tmp.bin); 0 shows the CPU's production partition",
    "  %s       UpdateEepromFile <FileName> shows and edits the production record in the file",
    "  %s       ConvertNewToOldEepromFile <FileName> <ProductId> <FWVersion> rewrites the record",
    "          in the older layout",
    "  %s       SpiFlash2File <ModuleSlot> <StartAddress> <Length> <FileName> reads SPI flash",
    "  %s       File2SpiFlash <ModuleSlot> <StartAddress> <FileName> writes SPI flash",
    "          Add 10 to <ModuleSlot> to read via RS232, otherwise it will be read via backplane "
    "bus.",
    "  %s       SrwCmd <Slot> <Command> [<Arg1> [<Arg2> [<Arg3>]]] sends a module command",
    "          <Command>: Help, FlashErase, FlashRead, FlashWrite, RamRead, RamWrite, EepromRead,",
    "          EepromWrite, Reset (\"qtx SrwCmd 0 Help\" shows their arguments)",
    "  %s       ExtractFile <ID> <Input> <Output> cuts the record <ID> out of a flash image",
    "  %s       Add12BHeader <ID> <Input> <Output> puts a flash record head in front of a file",
    "  %s       QWCalib <File> converts calibration.xml_cal into the old calibration image",
    "*** SW tools ***",
    "  %s       FloatToHex <value> shows the IEEE 754 bit pattern of a value",
    "  %s       HexToFloat <value> shows the value of an IEEE 754 bit pattern",
    "  %s       CalcBiQuad",
    "  %s       GenLpFilter <Name> <Type> <Order> <Fs> <Fc> [<PassGain> <StopGain>]",
    "          designs a digital low pass filter: <Name>.xml, <Name>_ana.m, <Name>_dig.m",
    "          <Type>: 0 Butterworth, 1 Chebychev, 2 Inv.-Chebychev, 3 Cauer; <Order>: 2..64, even",
    "          <Fs>, <Fc> in Hz, <Fc> at most <Fs>/2; gains in dB (default -0.1 and -80)",
    "  %s       WexFilter <Input> <Output> runs the test filter; \"##\" in <Output> is the input",
    "          <Input>: 0 all of them, 1 noise, 2 sine 50 Hz, 3 square, 4 sine with steps,",
    "          5 as 4 at 60 Hz",
    "  %s       WexSim <FileName> <Mode> <Phases> <Frequency> <Periods> grid simulation file",
    "          <FileName>: *.m (text) or *.bin; <Phases>: 1, 3 or 4; <Frequency>: 10..75 Hz",
    "          <Mode>: 0 sine, 1 square (30000 V, 1000 A), 2 sine with 10 %% third harmonic,",
    "          3 sine with 80 %% amplitude modulation at 0.1 Hz, 4 sine with one period in ten",
    "          of each phase raised to 150 %% or lowered to 20 %% in turn",
    "  %s       FftTest",
    "  %s       SystemCall <OuterLoop> <InnerLoop> <Command> <Slot> stress test of the shell call",
    "  %s       RecordMemoryUsage <Interval> <Duration> <File>",
    "  %s       RecordSystemLoad <Interval> <Duration> <File>",
    "  %s       ShowThreadLoad <Interval> <Duration> <ProcessName> [<Prio>]",
    "  %s       WatchProcess <Interval> <Duration> <ProcessName>",
    "  %s       SWTest",
    "  %s       CheckBinCmd <FileName> shows the structure of a binary command file",
};
} // namespace

bool SplitToolsCommandLine(int argc, const char* const* argv, CToolsCommandLine& line)
{
    line = CToolsCommandLine();
    int first = 1;
    if (argc > 1)
    {
        std::string argument = ToolArgToString(argv[1]);
        if (argument.find_first_of(":.") != std::string::npos)
        {
            line.sTarget = argument;
            first = 2;
        }
    }
    if (argc <= first)
        return false;
    line.sAction = ToolArgToString(argv[first]);
    for (int i = first + 1; i < argc; ++i)
        line.vsParams.push_back(ToolArgToString(argv[i]));
    return true;
}

int TargetPort(const std::string& target)
{
    size_t colon = target.rfind(':');
    std::string port = colon == std::string::npos ? "" : target.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int number = std::stoi(port);
    return number >= 1 && number <= 65535 ? number : -1;
}

CToolsChannel FindToolsChannel(const std::string& action, const std::string& target)
{
    CToolsChannel channel;
    // An empty word is no prefix of anything here: it opens nothing and is refused.
    if (action.empty())
        return channel;
    for (const CChannelRow& row : aChannelRows)
    {
        if (!SameString(action, row.pWord, row.bPrefix))
            continue;
        channel.eKind = row.eKind;
        if (row.eKind == TOOLS_CHANNEL_UDP_SENSOR && target.empty())
            channel.sTarget = kSensorDefaultTarget;
        else if (target.find(':') == std::string::npos)
            channel.sTarget = target + ":" + std::to_string(row.iDefaultPort);
        else
            channel.sTarget = target;
        channel.iPort = TargetPort(channel.sTarget);
        break;
    }
    return channel;
}

void PrintToolsUsage(const char* program)
{
    std::printf("Syntax: %s <Target> <Action> <Parameters>.\n", program);
    std::printf(
        "        <Target>: IP-address and port (seperated by \":\"), e.g. 127.0.0.1:62000\n");
    std::printf("        <Action>: see below\n");
    std::printf("        <Parameters>: depend on the selected action (see below).\n");
    std::printf("Detailed list of the parameter per <Action>:\n");
    for (const char* line : aUsageLines)
    {
        std::printf(line, program);
        std::printf("\n");
    }
}

int RunTools(int argc, char** argv)
{
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "qtx";
    sDefaultDirectory = PlatPath(sQTXRootDirectory) + "Tools" + sQTXDirectorySeperator;
    CQTXCommunication channel;

    if (argc < 2)
    {
        PrintToolsUsage(program);
        return QTX_EXIT_USAGE;
    }
    CToolsCommandLine line;
    SplitToolsCommandLine(argc, argv, line);
    if (line.sAction == "--help" || line.sAction == "-h")
    {
        PrintToolsUsage(program);
        return QTX_EXIT_DONE;
    }

    CToolsChannel needed = FindToolsChannel(line.sAction, line.sTarget);
    if (!OpenChannel(needed, channel))
        return QTX_EXIT_NO_CHANNEL;

    const CActionRow* row = FindAction(line.sAction, line.vsParams.size());
    if (row == nullptr)
    {
        ToolError("ERROR: Wrong action or wrong number of parameter for the selected action\n");
        return QTX_EXIT_WRONG_ACTION;
    }
    // A parameter of the wrong form ends the call before anything is made or touched.
    if (!CheckParams(*row, line.vsParams))
        return QTX_EXIT_WRONG_ACTION;

    bool done = false;
    if (row->bDevice)
        GetToolsDevice(true);
    CToolsCall call{channel, line.vsParams, needed.sTarget, program, row->iMode};
    // An error value that an action does not catch ends the action, not the tool.
    try
    {
        done = row->pAction(call);
    }
    catch (const CQTXError& error)
    {
        ToolError("ERROR: %s\n", error.ToString().c_str());
    }
    catch (const std::exception& error)
    {
        ToolError("ERROR: %s\n", error.what());
    }
    channel.Close();
    channel.CloseServerSocket();
    std::fflush(stdout);
    if (call.bUsageError)
        return QTX_EXIT_WRONG_ACTION;
    if (!done)
    {
        // A failed action must not look like a successful one to a script that calls qtx.
        ToolError("Command responded an ERROR\n");
        return QTX_EXIT_ACTION_FAILED;
    }
    return QTX_EXIT_DONE;
}
