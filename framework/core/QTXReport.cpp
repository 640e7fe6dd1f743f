// Reporting of the driver: its log file, the debug receiver and standard output.
//
// Interim state: errors are not yet written to the device's event log, not sent to the client
// of the request in hand, and SetModuleError does not yet tell the system driver.
#include "QTX.h"

#include <cstdio>
#include <unistd.h>

#include "QTXConvert.h"

int g_iQTXMaxLogFileLength = 32768;

namespace
{
// Fixed by the first WriteToLogfile that finds a name, then kept for the life of the process.
std::string g_sLogFileName;
// Number of debug messages sent by the process.
int g_iDebugCounter = 0;

constexpr long LOG_TAIL_BYTES = 1024;

// Opens the log file for appending; a file above the limit is first renamed to the old log
// and a new one is started with its last bytes.
FILE* OpenLogFile(const std::string& name)
{
    FILE* file = fopen(name.c_str(), "rb");
    if (file == nullptr)
        return fopen(name.c_str(), "wb");

    long size = (fseek(file, 0, SEEK_END) == 0) ? ftell(file) : -1;
    if (size <= g_iQTXMaxLogFileLength)
    {
        fclose(file);
        return fopen(name.c_str(), "ab");
    }

    char tail[LOG_TAIL_BYTES];
    size_t tailLength = 0;
    if (fseek(file, size - LOG_TAIL_BYTES, SEEK_SET) == 0)
        tailLength = fread(tail, 1, sizeof tail, file);
    fclose(file);

    std::string oldName = name.substr(0, name.size() - 3) + "old";
    remove(oldName.c_str());
    rename(name.c_str(), oldName.c_str());
    file = fopen(name.c_str(), "wb");
    if (file != nullptr)
    {
        fputs("[...] ", file);
        if (tailLength > 0)
            fwrite(tail, 1, tailLength, file);
    }
    return file;
}

std::string ReportLine(const CQTXError& error)
{
    std::string line = error.ErrorSeverityText() + "[" + error.ErrorType() +
                       "]: " + error.ErrorText() + ": " + error.ErrorParameter();
    if (!error.ErrorLocation().empty())
        line += " @ " + error.ErrorLocation();
    return line;
}
} // namespace

void CQTX::WriteToLogfile(const std::string& text)
{
    LockGuard guard(&tLogFileMutex);
    guard.Lock();

    if (g_sLogFileName.empty())
    {
        const std::string directory = sQTXRootDirectory + "log" + sQTXDirectorySeperator;
        if (ulPort != 0)
            g_sLogFileName = directory + "Slot" + std::to_string(ulPort) + "_log.txt";
        else if (!sFileName.empty())
            g_sLogFileName = directory + sModuleName + "_log.txt";
        else
            return; // nothing to name the log after yet
    }

    FILE* file = OpenLogFile(g_sLogFileName);
    if (file != nullptr)
    {
        fprintf(file, "[%.6lf] %s\n", GetSoftwareTime(), text.c_str());
        fclose(file);
    }

    if (tDebugReceiver.Available())
        tDebugReceiver.SendBuffer(text.data(), static_cast<int>(text.size()));
}

void CQTX::SendErrorMessage(CQTXError error, bool /*toClient*/)
{
    const std::string line = ReportLine(error);
    if (error.ErrorSeverity() > Note)
        WriteToLogfile(sModuleName + " reports " + line);

    const std::string report = " [" + FloatToString(GetSoftwareTime()) + " s] " +
                               std::to_string(ulPort) + ":" + sModuleName + " -> " + line;
    if (tDebugReceiver.Available())
        tDebugReceiver.SendBuffer(report.data(), static_cast<int>(report.size()));

    puts((report + "\n").c_str());
}

void CQTX::SetModuleError(CQTXError error)
{
    SendErrorMessage(error, false);
}

void CQTX::SetDebugSocket(const std::string& address)
{
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
    DebugOutput("Debug output is enabled.");
}

void CQTX::DebugOutput(const std::string& text)
{
    if (!tDebugReceiver.Available())
        return;
    int number = g_iDebugCounter++;
    SendErrorMessage(CQTXError("Debug(" + std::to_string(number) + ")", text, nullptr, 0,
                               ::DebugOutput, "Debug"),
                     false);
    usleep(1000);
}

bool CQTX::AllowHWAccessDebug(bool allow)
{
    return bHWAccessDebug.exchange(allow);
}
