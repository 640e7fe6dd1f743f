// Reporting helpers beside the driver's own reporting members (CQTX::WriteToLogfile,
// CQTX::SendErrorMessage, ...): the device's shared event log, the reporting hook of shell
// commands, and the "Starting"/"Ending" lines that bracket every driver operation in the log.
#ifndef QTX_REPORT_H
#define QTX_REPORT_H

#include <string>

class CQTX;
class CQTXCommunication;

// Receives a report text (the calls of shell commands and their results).
typedef void (*QTXReportFunction)(const std::string& text);

// Size in bytes above which the event log is cut before the next entry.
constexpr long QTX_EVENT_LOG_LIMIT = 100000;
// Bytes of the old event log that its cut keeps, behind "[...] ".
constexpr long QTX_EVENT_LOG_TAIL = 1024;

// The device's event log as the device names it; callers reach it through PlatPath.
extern const char* const sQTXEventLogFile; // "/tmp/Update/Event.log"

// The "log" directory under the root directory, ending with the separator; it and the
// directories above it are made when missing. Log files and the reply files of the framework's
// own requests lie there.
std::string GetLogDirectory();

// Appends "[t=<seconds since the epoch>s : <source>] <text>" and a line end to the device's
// event log, which every program of the device shares. A log above QTX_EVENT_LOG_LIMIT bytes is
// first rewritten as "[...] " and its last QTX_EVENT_LOG_TAIL bytes. The whole step holds an
// exclusive lock on the file, so that entries of several processes never mix within a line and
// no entry is lost to another process's cut. False when the log cannot be opened for
// appending.
bool StoreEvent(const std::string& text, const std::string& source);

// Makes every directory of the path up to its last separator ("a/b/" makes a and a/b); true
// when they exist afterwards.
bool MakeDirectoriesOf(const std::string& path);

// Passes the text to report when one is given; the connection is not used.
void SysCallDebug3(const std::string& text, QTXReportFunction report,
                   CQTXCommunication* connection = nullptr);

// Writes "[<depth>] Starting <name>()" to the driver's log file when made and
// "[<depth>] Ending <name>()" when it ends (also when the operation is left by an exception).
// The depth is one counter of the process, raised for the life of each object; both lines of
// one operation show the same depth.
class CQTXFunctionLog
{
public:
    CQTXFunctionLog(CQTX& driver, const char* name);
    ~CQTXFunctionLog();

    // Nesting depth of the operation (the number in its lines).
    int Depth() const { return m_iDepth; }

private:
    CQTXFunctionLog(const CQTXFunctionLog&) = delete;
    CQTXFunctionLog& operator=(const CQTXFunctionLog&) = delete;

    CQTX& m_rDriver;
    const char* m_pName;
    int m_iDepth;
};

// Current nesting depth of the process's logged operations (0 outside of all).
int QTXFunctionLogDepth();

// Brackets the rest of the enclosing member function of a driver with its Starting and Ending
// lines, under the function's own name.
#define QTX_FUNCTION_LOG() CQTXFunctionLog tQTXFunctionLog_(*this, __func__)

#endif
