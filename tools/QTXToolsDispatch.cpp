// The command line of qtx: target, action word and parameters; the channel each action needs,
// opened before it runs; the table that dispatches the word to its action; the usage text and
// the exit statuses.
#include "QTXTools.h"

#include <cstdint>
#include <cstdio>
#include <exception>

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
};

// In dispatch order: the first row whose word and parameter count fit runs.
const CActionRow aActionRows[] = {
    {"XML", P(1), false, SendXmlFile, 0},
    {"sXML", P(1), false, SendXmlFile, 1},
    {"ShowProgress", P(0), false, ShowProgress, 0},
    {"UDP", P(2), false, SendUdpFile, 0},
    {"DIAGFile", P(1), false, SendDiagFile, 0},
    {"VeskFile", P(1), false, SendVeskFile, 0},
    {"UdpTemp", P(1), false, UdpTemp, 0},
    {"UdpData", AtLeast(3), false, UdpData, 0},
    {"RecordDebug", P(1), false, RecordDebug, 0},
    {"RecordDebug1", P(1), false, RecordDebug, 1},
    {"RecordDebug2", P(1), false, RecordDebug, 2},
    {"IOEmb", P(2), true, IOEmb, 0},
    {"DebugData", P(3), true, DebugData, 0},
    {"Write", AtLeast(2), true, BusWrite, 0},
    {"Read", P(2), true, BusRead, 0},
    {"MemTest", P(3) | P(5), true, MemTest, 0},
    {"File2PCI", P(2), true, File2PCI, 0},
    {"PCI2File", P(3), true, PCI2File, 0},
    {"RingBuffer2File", P(6), true, RingBuffer2File, 0},
    {"Temp", P(1), false, Temp, 0},
    {"DPADC", P(1) | P(2) | P(3), true, DPADC, 0},
    {"CANADC", P(1) | P(2) | P(3), true, CANADC, 0},
    {"Counter", P(2), true, Counter, 0},
    {"KoveFactoryRelays", P(2), false, KoveFactoryRelays, 0},
    {"Eeprom2File", P(2) | P(3), false, Eeprom2File, 0},
    {"File2Eeprom", P(2) | P(3), false, File2Eeprom, 0},
    {"CheckEeprom", P(1), false, CheckEeprom, 0},
    {"UpdateEepromFile", P(1), false, UpdateEepromFile, 0},
    {"ConvertNewToOldEepromFile", P(3), false, ConvertNewToOldEepromFile, 0},
    {"SpiFlash2File", P(4), false, SpiFlash2File, 0},
    {"File2SpiFlash", P(3), false, File2SpiFlash, 0},
    {"SrwCmd", P(2) | P(3) | P(4) | P(5), false, SrwCmd, 0},
    {"FloatToHex", P(1), false, FloatToHex, 0},
    {"ExtractFile", P(3), false, ExtractFile, 0},
    {"Add12BHeader", P(3), false, Add12BHeader, 0},
    {"QWCalib", P(1), false, QWCalib, 0},
    {"HexToFloat", P(1), false, HexToFloat, 0},
    {"CalcBiQuad", P(0), false, CalcBiQuad, 0},
    {"GenLpFilter", P(5) | P(7), false, GenLpFilter, 0},
    {"WexFilter", P(2), false, WexFilter, 0},
    {"WexSim", P(5), false, WexSim, 0},
    {"FftTest", P(0), false, FftTest, 0},
    {"SystemCall", P(4), false, SystemCall, 0},
    {"RecordMemoryUsage", P(3), false, RecordMemoryUsage, 0},
    {"RecordSystemLoad", P(3), false, RecordProcessLoad, 0},
    {"ShowThreadLoad", P(3) | P(4), false, RecordProcessLoad, 0},
    {"WatchProcess", P(3), false, RecordProcessLoad, 0},
    {"SWTest", P(0), false, SWTest, 0},
    {"CheckBinCmd", P(1), false, CheckBinCmdAction, 0},
};

const CActionRow* FindAction(const std::string& word, size_t count)
{
    uint32_t bit = count >= 31 ? P(31) : P(static_cast<int>(count));
    for (const CActionRow& row : aActionRows)
        if (SameString(word, row.pWord) && (row.uCounts & bit) != 0)
            return &row;
    return nullptr;
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
        std::printf("ERROR: Can not open TCP/IP channel to %s\n", channel.sTarget.c_str());
        return false;
    case TOOLS_CHANNEL_UDP:
        if (communication.Open(channel.sTarget, false))
            return true;
        std::printf("ERROR: Can not open UDP/IP channel to %s\n", channel.sTarget.c_str());
        return false;
    case TOOLS_CHANNEL_UDP_SENSOR:
        if (communication.Open(channel.sTarget, false))
            return true;
        std::printf("ERROR: Can not open UDP channel to %s\n", channel.sTarget.c_str());
        return false;
    case TOOLS_CHANNEL_UDP_SERVER:
        // Port 0 would let the system choose one that nobody sends to.
        if (channel.iPort > 0 && communication.OpenServerSocket(channel.iPort, false))
            return true;
        std::printf("ERROR: Can not allocate UDP socket for port %d\n", channel.iPort);
        return false;
    }
    return false;
}

// ---- Usage

// One entry per line; "%s" is the program. Hardware and tool entries have six blanks in place
// of the target.
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
    "  %s       WexFilter <Input> <Output>",
    "  %s       WexSim <FileName> <Mode> <Phases> <Frequency> <Periods>",
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

    CToolsChannel needed = FindToolsChannel(line.sAction, line.sTarget);
    if (!OpenChannel(needed, channel))
    {
        std::fflush(stdout);
        return QTX_EXIT_NO_CHANNEL;
    }

    const CActionRow* row = FindAction(line.sAction, line.vsParams.size());
    if (row == nullptr)
    {
        std::printf("ERROR: Wrong action or wrong number of parameter for the selected action\n");
        std::fflush(stdout);
        return QTX_EXIT_WRONG_ACTION;
    }

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
        std::printf("ERROR: %s\n", error.ToString().c_str());
    }
    catch (const std::exception& error)
    {
        std::printf("ERROR: %s\n", error.what());
    }
    channel.Close();
    channel.CloseServerSocket();
    if (!done)
    {
        std::printf("Command responded an ERROR\n");
        std::fflush(stdout);
        // A failed action must not look like a successful one to a script that calls qtx.
        return QTX_EXIT_ACTION_FAILED;
    }
    std::fflush(stdout);
    return QTX_EXIT_DONE;
}
