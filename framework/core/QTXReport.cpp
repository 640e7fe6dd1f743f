// Reporting of the driver: its log file, the debug receiver, the client of the request in hand,
// the device's event log (QTXEventLog.cpp) and standard output, each by the error's severity.
#include "QTX.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "QTXConvert.h"
#include "QTXMessages.h"
#include "QTXReport.h"

int g_iQTXMaxLogFileLength = 32768;

namespace
{
// Number of debug messages sent by the process.
std::atomic<int> g_iDebugCounter{0};
// Nesting depth of the logged driver operations of the process.
std::atomic<int> g_iFunctionDepth{0};

constexpr long LOG_TAIL_BYTES = 1024;
constexpr const char* XML_SCHEMA_INSTANCE = "http://www.w3.org/2001/XMLSchema-instance";

} // namespace

bool MakeDirectoriesOf(const std::string& path)
{
    const size_t end = path.find_last_of('/');
    return end == std::string::npos || end == 0 || QTXMakeDirectories(path.substr(0, end));
}

namespace
{
// Creates the log file, and its directory when that is missing.
FILE* CreateLogFile(const std::string& name)
{
    FILE* file = fopen(name.c_str(), "wb");
    if (file == nullptr && errno == ENOENT && MakeDirectoriesOf(name))
        file = fopen(name.c_str(), "wb");
    return file;
}

// Opens the log file for appending. A file above the limit is renamed to the old log, and a new
// one is started with "[...] " and the last bytes of the old one.
FILE* OpenLogFile(const std::string& name)
{
    FILE* file = fopen(name.c_str(), "rb");
    if (file == nullptr)
        return CreateLogFile(name);

    const long size = (fseek(file, 0, SEEK_END) == 0) ? ftell(file) : -1;
    if (size <= g_iQTXMaxLogFileLength)
    {
        fclose(file);
        return fopen(name.c_str(), "ab");
    }

    // With a limit below the tail size the whole file is the tail.
    char tail[LOG_TAIL_BYTES];
    size_t tailLength = 0;
    const long tailStart = size > LOG_TAIL_BYTES ? size - LOG_TAIL_BYTES : 0;
    if (fseek(file, tailStart, SEEK_SET) == 0)
        tailLength = fread(tail, 1, sizeof tail, file);
    fclose(file);

    const std::string oldName = name.substr(0, name.size() - 3) + "old";
    remove(oldName.c_str());
    rename(name.c_str(), oldName.c_str());
    file = CreateLogFile(name);
    if (file != nullptr)
    {
        fputs("[...] ", file);
        if (tailLength > 0)
            fwrite(tail, 1, tailLength, file);
    }
    return file;
}

// The one line that describes an error on every output.
std::string ReportLine(const CQTXError& error)
{
    std::string line = error.ErrorSeverityText() + "[" + error.ErrorType() +
                       "]: " + error.ErrorText() + ": " + error.ErrorParameter();
    if (!error.ErrorLocation().empty())
        line += " @ " + error.ErrorLocation();
    return line;
}

// A module name as part of a file name: it must not lead out of the log directory.
std::string LogFileNamePart(const std::string& moduleName)
{
    std::string part = moduleName;
    for (char& c : part)
        if (c == '/')
            c = '_';
    return part;
}
} // namespace

std::string GetLogDirectory()
{
    const std::string directory = sQTXRootDirectory + "log" + sQTXDirectorySeperator;
    MakeDirectoriesOf(directory);
    return directory;
}

void CQTX::WriteToLogfile(const std::string& text)
{
    LockGuard guard(&tLogFileMutex);
    guard.Lock();

    if (sLogFileName.empty())
    {
        const std::string directory = sQTXRootDirectory + "log" + sQTXDirectorySeperator;
        if (ulPort != 0)
            sLogFileName = directory + "Slot" + std::to_string(ulPort) + "_log.txt";
        else if (!sFileName.empty())
            sLogFileName = directory + LogFileNamePart(sModuleName) + "_log.txt";
        else
            return; // nothing to name the log after yet
    }

    FILE* file = OpenLogFile(sLogFileName);
    if (file != nullptr)
    {
        fprintf(file, "[%.6lf] %s\n", GetSoftwareTime(), text.c_str());
        fclose(file);
    }

    if (tDebugReceiver.Available())
        tDebugReceiver.SendBuffer(text.data(), static_cast<int>(text.size()));
}

void CQTX::SendErrorMessage(CQTXError error, bool toClient)
{
    const std::string line = ReportLine(error);
    if (error.ErrorSeverity() > Note)
        WriteToLogfile(sModuleName + " reports " + line);

    const std::string report = " [" + FloatToString(GetSoftwareTime()) + " s] " +
                               std::to_string(ulPort) + ":" + sModuleName + " -> " + line;
    {
        // The log-file mutex also keeps the debug receiver from being replaced under a send.
        LockGuard guard(&tLogFileMutex);
        guard.Lock();
        if (tDebugReceiver.Available())
            tDebugReceiver.SendBuffer(report.data(), static_cast<int>(report.size()));
    }

    if (toClient && tCommandServer.Available() && error.ErrorSeverity() != ::DebugOutput)
    {
        const std::string document = sXmlStart + "<Error Module=\"" + EscapeXmlValue(sModuleName) +
                                     "\" Name=\"" + EscapeXmlValue(error.ErrorText()) +
                                     "\" Details=\"" + EscapeXmlValue(line) + "\" xmlns:xsi=\"" +
                                     XML_SCHEMA_INSTANCE + "\" />\n";
        tCommandServer.SendBuffer(document.data(), static_cast<int>(document.size()));
    }

    if (error.ErrorSeverity() > Warning)
        StoreEvent("ERROR: " + line, sModuleName);

    puts((report + "\n").c_str());
}

void CQTX::SetModuleError(CQTXError error)
{
    SendErrorMessage(error, false);
    // The system driver sends no request to itself (it would wait for its own answer).
    if (ulPort != QTX_SYSTEM_PORT)
        SendModuleErrorToSystem(ulPort, error);
}

void CQTX::SetDebugSocket(const std::string& address)
{
    LockGuard guard(&tLogFileMutex);
    guard.Lock();
    if (address.empty() || SameString(address, "off"))
    {
        tDebugReceiver.Close();
        return;
    }
    std::string fullAddress = address;
    if (fullAddress.find(':') == std::string::npos)
        fullAddress += ":13131";
    if (!tDebugReceiver.Open(fullAddress, false))
        throw CQTXECommunicationError("NoDebugSocket", "Failed to generate debug socket", __FILE__,
                                      __LINE__, Error);
    sDebugAddress = fullAddress;
    guard.Unlock();
    DebugOutput("Debug output is enabled.");
}

void CQTX::DebugOutput(const std::string& text)
{
    if (!tDebugReceiver.Available())
        return;
    const int number = g_iDebugCounter++;
    SendErrorMessage(CQTXError("Debug(" + std::to_string(number) + ")", text, nullptr, 0,
                               ::DebugOutput, "Debug"),
                     false);
    usleep(1000);
}

bool CQTX::AllowHWAccessDebug(bool allow)
{
    return bHWAccessDebug.exchange(allow);
}

void SysCallDebug3(const std::string& text, QTXReportFunction report,
                   CQTXCommunication* /*connection*/)
{
    if (report != nullptr)
        report(text);
}

CQTXFunctionLog::CQTXFunctionLog(CQTX& driver, const char* name)
    : m_rDriver(driver), m_pName(name != nullptr ? name : ""), m_iDepth(++g_iFunctionDepth)
{
    m_rDriver.WriteToLogfile("[" + std::to_string(m_iDepth) + "] Starting " + m_pName + "()");
}

CQTXFunctionLog::~CQTXFunctionLog()
{
    try
    {
        m_rDriver.WriteToLogfile("[" + std::to_string(m_iDepth) + "] Ending " + m_pName + "()");
    }
    catch (...)
    {
        // A line that cannot be built is lost; the depth is given back all the same.
    }
    --g_iFunctionDepth;
}

int QTXFunctionLogDepth()
{
    return g_iFunctionDepth;
}
