// qtx, the service technician's tool: one action per call, against the drivers of a device (over
// the network), its hardware (through a driver object of its own) or files.
//
//   qtx [<Target>] <Action> <Parameters...>
//
// This header holds the tool's driver class, the call record every action gets, the helpers the
// actions share and the actions themselves. The command line and the dispatch are in
// QTXToolsDispatch.cpp, the file tools in QTXToolsFiles.cpp, the network actions in
// QTXToolsComm.cpp.
#ifndef QTX_TOOLS_H
#define QTX_TOOLS_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "QTX.h"

// Exit statuses of qtx.
constexpr int QTX_EXIT_DONE = 0;
constexpr int QTX_EXIT_USAGE = 1;         // no argument: the usage text was shown
constexpr int QTX_EXIT_NO_CHANNEL = 2;    // the action's channel could not be opened
constexpr int QTX_EXIT_WRONG_ACTION = 3;  // unknown action word, wrong parameter count or a
                                          // numeric parameter that is no number
constexpr int QTX_EXIT_ACTION_FAILED = 4; // the action ran and reported an error
constexpr int QTX_EXIT_NO_DEVICE = -1;    // the driver object could not be made

// The tool's driver object: a driver without a command port, used for bus access only.
class CTools : public CQTX
{
public:
    CTools() = default;
    ~CTools() override = default;
    std::string GetModuleName() override { return ""; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}
    std::string GetConfigurationFileName(int& /*setIndex*/) override { return ""; }
    std::string GetFactorySettingFileName() override { return ""; }
    double GetSignalValue(const std::string& /*name*/, int /*number*/) override { return 0; }
    std::string GetSignalUnit(const std::string& /*name*/, int /*number*/) override { return ""; }

    // The first difference found by the last failed bus comparison.
    uint32_t MismatchAddress() const { return ulBpbCompareAddress; }
    uint32_t MismatchRead() const { return ulBpbCompareRead; }
    uint32_t MismatchWanted() const { return ulBpbCompareWanted; }
};

// The tool directory (root of the driver files + "Tools/"); set at start.
extern std::string sDefaultDirectory;

// What an action is handed: the channel that the dispatcher opened for it (or a closed one),
// its parameters, the completed target and the mode of its table row.
struct CToolsCall
{
    CQTXCommunication& tChannel;
    std::vector<std::string> vsParams;
    std::string sTarget;
    std::string sProgram;
    int iMode = 0;
    // Set by an action that found a parameter of the wrong form (and said so): the call ends
    // as a usage error, not as a failed action.
    bool bUsageError = false;

    const std::string& Param(size_t i) const
    {
        static const std::string empty;
        return i < vsParams.size() ? vsParams[i] : empty;
    }
};

typedef bool (*QTXToolsAction)(CToolsCall& call);

// ---- Dispatcher

// The whole run of qtx: returns the process's exit status.
int RunTools(int argc, char** argv);

// Target, action word and parameters of a command line (argv[0] is the program). The first
// argument is the target when it holds a ':' or a '.'.
struct CToolsCommandLine
{
    std::string sTarget;
    std::string sAction;
    std::vector<std::string> vsParams;
};
// False when no action word is left.
bool SplitToolsCommandLine(int argc, const char* const* argv, CToolsCommandLine& line);

// The channel an action word needs.
enum ToolsChannelKind
{
    TOOLS_CHANNEL_NONE,
    TOOLS_CHANNEL_TCP,        // TCP client to the target
    TOOLS_CHANNEL_UDP,        // UDP socket to the target
    TOOLS_CHANNEL_UDP_SENSOR, // UDP socket to the target; an empty target has its own default
    TOOLS_CHANNEL_UDP_SERVER  // UDP socket bound to the target's port
};
struct CToolsChannel
{
    ToolsChannelKind eKind = TOOLS_CHANNEL_NONE;
    std::string sTarget; // completed: "host:port"
    int iPort = 0;       // the port of the target; -1 when it is not a port number
};
// The channel of the action word for the target: a target without ':' gets the word's
// default port.
CToolsChannel FindToolsChannel(const std::string& action, const std::string& target);
// Number of the port in a completed target ("host:port"): 1..65535, else -1.
int TargetPort(const std::string& target);

// Prints the usage text.
void PrintToolsUsage(const char* program);

// ---- Shared helpers

// An error message: on standard error, after what standard output holds so far.
void ToolError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Numbers of the command line. Each takes the whole text (blanks and tabs around it aside) or
// nothing; value (may be null) is set only when the text is taken.
// A whole number: an optional '-', an optional base prefix 0x, 0b, 0o or 0d (either case), one
// or more digits of that base with single '_' between them. Its magnitude must fit 32 bits
// (-2^31 .. 2^32 - 1); the value is its 32-bit pattern, as StringToInt gives it.
bool ParseToolInt(const std::string& text, int32_t* value);
// A floating-point number in the forms of strtod, as StringToFloat reads it.
bool ParseToolFloat(const std::string& text, double* value);

// The forms of a command-line parameter.
enum ToolParamKind
{
    TOOL_PARAM_TEXT,
    TOOL_PARAM_INT,      // ParseToolInt
    TOOL_PARAM_FLOAT,    // ParseToolFloat
    TOOL_PARAM_REGISTERS // "<Address>" or "<Address>:<NumberOfWords>", both ParseToolInt
};
// True when the text has the form; otherwise says on standard error which parameter (its
// name as the usage text gives it) is wrong.
bool CheckToolParam(ToolParamKind kind, const char* name, const std::string& text);

// The driver object, made on first use. When it cannot be made the error is printed; then the
// process ends with QTX_EXIT_NO_DEVICE when exitOnError is set, otherwise null is returned.
CTools* GetToolsDevice(bool exitOnError);
std::string ToolArgToString(const char* argument);
// A tool file, closed at the end of its scope.
struct CToolFileCloser
{
    void operator()(FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
typedef std::unique_ptr<FILE, CToolFileCloser> ToolFile;
// fopen with a message on success and on failure.
FILE* OpenToolFile(const std::string& path, const char* mode);
// One line of standard input into buffer (leading white space skipped, cut to size - 1
// characters, the rest of the line dropped).
void ReadConsoleLine(char* buffer, int size);
// Characters of standard input up to a newline or the end of input.
std::string ReadConsoleString();
// Waits ms milliseconds (nothing for 0 or less).
void ToolsSleepMs(int ms);

// ---- Actions

bool FloatToHex(CToolsCall& call);
bool HexToFloat(CToolsCall& call);

// File tools
bool ExtractFile(CToolsCall& call);
bool Add12BHeader(CToolsCall& call);
bool QWCalib(CToolsCall& call);
bool CheckBinCmdAction(CToolsCall& call);
bool SystemCall(CToolsCall& call);
bool RecordMemoryUsage(CToolsCall& call);
bool RecordProcessLoad(CToolsCall& call);
bool SWTest(CToolsCall& call);
// Shows the structure of a binary command file; false when it is not one or cannot be read.
bool CheckBinCmd(const std::string& fileName);
// The same for a document in memory (what CheckBinCmd read from the file).
bool DumpBinCommand(const unsigned char* data, size_t length);

// Communication
bool SendXmlFile(CToolsCall& call); // mode 1: the reply starts with status text
bool ShowProgress(CToolsCall& call);
bool SendUdpFile(CToolsCall& call);
bool SendDiagFile(CToolsCall& call);
bool SendVeskFile(CToolsCall& call);
bool RecordDebug(CToolsCall& call); // mode: 0 quiet, 1 a dot per datagram, 2 the datagrams
bool UdpTemp(CToolsCall& call);
bool UdpData(CToolsCall& call);

// Bus and memory access (on the device)
bool BusWrite(CToolsCall& call);
bool BusRead(CToolsCall& call);
bool MemTest(CToolsCall& call);
bool File2PCI(CToolsCall& call);
bool PCI2File(CToolsCall& call);
bool RingBuffer2File(CToolsCall& call);
bool DebugData(CToolsCall& call);

// Signal tools
bool GenLpFilter(CToolsCall& call);
bool CalcBiQuad(CToolsCall& call);
bool WexSim(CToolsCall& call);
bool WexFilter(CToolsCall& call);
bool FftTest(CToolsCall& call);
enum WexQuantity
{
    WEX_VOLTAGE = 0,
    WEX_CURRENT = 1
};
// One sample of the WEX grid simulation: mode 0..4, quantity, phase 0..3 (3: the neutral, 0),
// time t in seconds, grid frequency f in Hz.
double WexSample(int mode, int quantity, int phase, double t, double f);

// EEPROM and SPI flash of the modules
bool Eeprom2File(CToolsCall& call);
bool File2Eeprom(CToolsCall& call);
bool CheckEeprom(CToolsCall& call);
bool UpdateEepromFile(CToolsCall& call);
bool ConvertNewToOldEepromFile(CToolsCall& call);
bool SpiFlash2File(CToolsCall& call);
bool File2SpiFlash(CToolsCall& call);

// The production record of a module EEPROM (and of the CPU's production partition): 512
// bytes, the checksum in the last 4.
constexpr int kEepromRecordSize = 512;
// The flash size of a size code (20 = 1 MByte ... 30 = 1024 MByte) as the record view shows
// it: "4 MByte", or "unknown (0x..)" for any other code.
std::string EepromFlashSizeText(unsigned char code);
// Lines (1) to (9) and the checksum line of the record view.
std::string EepromRecordText(const unsigned char* record, bool checksumOk);
// A date entry of the record editor: "0" (now), or "YYYY-MM-DD hh:mm" with a two-digit year
// meaning 20YY.
enum EepromDateEntry
{
    EEPROM_DATE_NOW,
    EEPROM_DATE_FIELDS,
    EEPROM_DATE_WRONG
};
struct CEepromDate
{
    int iYear = 0;
    int iMonth = 0;
    int iDay = 0;
    int iHour = 0;
    int iMinute = 0;
};
EepromDateEntry ParseEepromDate(const std::string& line, CEepromDate* date);
// Stores the date as the digits DDMMYYYYhhmm at bytes 4 to 15. False (nothing stored) when a
// field is out of its range (year 2001..9999, month 1..12, day 1..31, hour 0..23, minute
// 0..59).
bool StoreEepromDate(unsigned char* record, const CEepromDate& date);
// Twelve hex digits into six bytes, first pair first: 0 when taken, else the 1-based
// position of the first character that is no hex digit (a missing one counts).
int ParseEepromMac(const std::string& text, unsigned char* mac);
// A marker entry: a whole number in base 10 or 16, 0..255.
bool ParseEepromMarker(const std::string& text, int base, int* value);
// The older 512-byte record layout built from a record (its checksum not yet set).
void BuildOldEepromRecord(const unsigned char* record, uint16_t productId,
                          const std::string& fwVersion, unsigned char* old);

// The temperature of the CPU (slot 0) or of a module (1..4) in degrees Celsius; -1000.0 when
// none can be read. keepOpen keeps the sensor (or the module) for the next call.
double GetTemperature(int slot, bool keepOpen);

// Module commands and measurements
bool SrwCmd(CToolsCall& call);
bool Temp(CToolsCall& call);
bool Counter(CToolsCall& call); // runs until the process is stopped
bool KoveFactoryRelays(CToolsCall& call);

// Device tests on the bus-module and link I/O FPGAs
bool DPADC(CToolsCall& call);
bool CANADC(CToolsCall& call);
bool IOEmb(CToolsCall& call); // waits without limit for the module
// The bytes of a write command: "*;1;2;255" lists them (numbers as ParseToolInt takes them,
// the low 8 bits of each), any other text names a file that is read whole. False (nothing in data)
// when the text is empty, a list field is no number, the file cannot be read or is empty, or
// there are more than maxBytes bytes; a null output prints "ERROR: wrong buffer or length!".
bool ReadInputData(const std::string& text, std::vector<unsigned char>* data, size_t* length,
                   size_t maxBytes);
// One dump line of count bytes from buffer + offset: "[0x<offset>]  ", "%02X " per byte, then
// the bytes 0x20..0x7F as characters (others as blanks) in double quotes, and a newline.
// "<ERROR: Can not generate hex dump>" for a null buffer, a negative offset or count, or a
// count above 250.
std::string HexDumpLine(const unsigned char* buffer, int32_t offset, int count);

#endif
