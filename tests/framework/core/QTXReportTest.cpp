// Reporting of a driver on a simulated device: the log file with its rotation, the debug
// receiver, the error document for the client, the shared event log (also written by several
// processes at once) and the Starting/Ending lines of driver operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTX.h"

namespace
{
class CReportDriver : public CQTX
{
public:
    std::string GetModuleName() override { return sModuleName; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}

    // Port 62000 and below: the release does not unregister.
    void Name(uint32_t port, const std::string& name)
    {
        ulPort = port;
        sModuleName = name;
        sFileName = name;
    }
    CQTXCommunication& CommandServer() { return tCommandServer; }
    const std::string& DebugAddress() const { return sDebugAddress; }
};

// A UDP socket on a kernel-chosen port standing for the debug receiver.
class CDatagrams
{
public:
    CDatagrams()
    {
        EXPECT_TRUE(tSocket.OpenServerSocket(0, false));
        tSocket.SetTimeout(5000, 0);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(tSocket.GetServerPort()); }
    // The next datagram; "<none>" when none came within the timeout.
    std::string Next()
    {
        char buffer[4096];
        const int n = tSocket.ReceiveBuffer(buffer, sizeof buffer, true);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "<none>";
    }
    // True when a datagram is waiting (one short look).
    bool Pending()
    {
        char buffer[4096];
        return tSocket.ReceiveBuffer(buffer, sizeof buffer, false) > 0;
    }

private:
    CQTXCommunication tSocket;
};

void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// Bytes that show where they stood in a file: every line tells its own number.
std::string NumberedBytes(size_t size)
{
    std::string data;
    for (int i = 0; data.size() < size; ++i)
        data += "line " + std::to_string(i) + "\n";
    data.resize(size);
    return data;
}

// The text as a regular expression that matches just it.
std::string Quoted(const std::string& text)
{
    return std::regex_replace(text, std::regex("[\\[\\]().*+?^$|{}\\\\]"), "\\$&");
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class Report : public testing::Test
{
protected:
    void SetUp() override
    {
        setenv("KOVE_SIM", (tTemp.Path() + "/device").c_str(), 1);
        PlatReloadSimulation();
        sSavedRoot = sQTXRootDirectory;
        sQTXRootDirectory = PlatPath(std::string("/Applications/tmp/Driver/"));
        iSavedLimit = g_iQTXMaxLogFileLength;
        sEventLog = PlatPath(std::string(sQTXEventLogFile));
    }
    void TearDown() override
    {
        g_iQTXMaxLogFileLength = iSavedLimit;
        sQTXRootDirectory = sSavedRoot;
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }

    std::string LogDirectory() const { return sQTXRootDirectory + "log/"; }

    kovetest::CTempDir tTemp;
    std::string sSavedRoot;
    int iSavedLimit = 0;
    std::string sEventLog;
};

TEST_F(Report, LogFileIsNamedOnceAndTakesTimeStampedLines)
{
    const struct
    {
        uint32_t port;
        const char* name;
        const char* file; // null: no log at all
    } cases[] = {
        {62000, "System", "Slot62000_log.txt"},
        {0, "Tools", "Tools_log.txt"},
        {0, "../Escape", ".._Escape_log.txt"}, // stays in the log directory
        {0, "", nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CDatagrams receiver;
        {
            CReportDriver driver;
            driver.Name(c.port, c.name);
            driver.SetDebugSocket(receiver.Address());
            EXPECT_NE(receiver.Next().find("Debug output is enabled."), std::string::npos);

            driver.WriteToLogfile("first line");
            if (c.file == nullptr)
            {
                EXPECT_FALSE(Exists(LogDirectory())) << "nothing to name a log after";
                EXPECT_FALSE(receiver.Pending());
                continue;
            }
            // Another port or name later does not move the log.
            driver.Name(c.port == 0 ? 0 : c.port - 1, std::string(c.name) + "X");
            driver.WriteToLogfile("second line");
            EXPECT_EQ(receiver.Next(), "first line");
            EXPECT_EQ(receiver.Next(), "second line");
        }
        // The log directory was missing and has been made.
        const std::string log = kovetest::ReadFile(LogDirectory() + c.file);
        EXPECT_TRUE(std::regex_match(
            log, std::regex("\\[[0-9]+\\.[0-9]{6}\\] first line\n\\[[0-9]+\\.[0-9]{6}\\] "
                            "second line\n")))
            << log;
        std::system(("rm -rf '" + LogDirectory() + "'").c_str());
    }
}

TEST_F(Report, LogFileAboveTheLimitStartsAgainWithItsTail)
{
    const struct
    {
        int limit;
        size_t size;
        bool rotates;
    } cases[] = {
        {32768, 32768, false},
        {32768, 32769, true},
        {100, 101, true}, // shorter than the tail: all of it is kept
    };
    CReportDriver driver;
    driver.Name(62000, "System");
    mkdir(LogDirectory().c_str(), 0755);
    const std::string log = LogDirectory() + "Slot62000_log.txt";
    const std::string old = LogDirectory() + "Slot62000_log.old";
    const std::regex newLine("\\[[0-9]+\\.[0-9]{6}\\] new\n");
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.size);
        g_iQTXMaxLogFileLength = c.limit;
        const std::string before = NumberedBytes(c.size);
        WriteFile(log, before);
        WriteFile(old, "an earlier old log");

        driver.WriteToLogfile("new");

        const std::string after = kovetest::ReadFile(log);
        std::smatch m;
        if (!c.rotates)
        {
            EXPECT_EQ(after.substr(0, before.size()), before);
            EXPECT_TRUE(std::regex_match(after.substr(before.size()), newLine));
            EXPECT_EQ(kovetest::ReadFile(old), "an earlier old log");
            continue;
        }
        const std::string tail = before.substr(before.size() > 1024 ? before.size() - 1024 : 0);
        EXPECT_EQ(after.substr(0, 6 + tail.size()), "[...] " + tail);
        EXPECT_TRUE(std::regex_match(after.substr(6 + tail.size()), newLine)) << after;
        EXPECT_EQ(kovetest::ReadFile(old), before);
    }
}

TEST_F(Report, EachSeverityReachesItsOutputs)
{
    const struct
    {
        ErrorSeverity severity;
        bool logged;
        bool stored;
    } cases[] = {
        {DebugOutput, false, false}, {Note, false, false},     {Warning, true, false},
        {Error, true, true},         {FatalError, true, true},
    };
    CDatagrams receiver;
    CReportDriver driver;
    driver.Name(62000, "System");
    driver.SetDebugSocket(receiver.Address());
    receiver.Next(); // "Debug output is enabled."
    const std::string log = LogDirectory() + "Slot62000_log.txt";

    for (const auto& c : cases)
    {
        const std::string line = std::string(ErrorSeverityToText(c.severity)) +
                                 "[HardwareError]: Broken: bus @ (file f.cpp, line 7)";
        SCOPED_TRACE(line);
        unlink(log.c_str());
        unlink(sEventLog.c_str());

        testing::internal::CaptureStdout();
        driver.SendErrorMessage(CQTXEHardwareError("Broken", "bus", "f.cpp", 7, c.severity), false);
        const std::string out = testing::internal::GetCapturedStdout();

        const std::string datagram = receiver.Next();
        if (c.logged)
        {
            EXPECT_NE(kovetest::ReadFile(log).find("] System reports " + line + "\n"),
                      std::string::npos);
            EXPECT_EQ(datagram, "System reports " + line);
        }
        else
        {
            EXPECT_FALSE(Exists(log));
        }
        const std::string report = c.logged ? receiver.Next() : datagram;
        EXPECT_TRUE(std::regex_match(
            report, std::regex(" \\[[0-9.e+]+ s\\] 62000:System -> " + Quoted(line))))
            << report;
        EXPECT_EQ(out, report + "\n\n");

        const std::string events = kovetest::ReadFile(sEventLog);
        if (c.stored)
            EXPECT_TRUE(std::regex_match(
                events, std::regex("\\[t=[0-9]+s : System\\] ERROR: " + Quoted(line) + "\n")))
                << events;
        else
            EXPECT_EQ(events, "");
    }
}

TEST_F(Report, DebugReceiverAndClientDocument)
{
    CReportDriver driver;
    driver.Name(62000, "Sys<&>");

    // An address without a port goes to the default port; "OFF" closes the receiver.
    driver.SetDebugSocket("127.0.0.1");
    EXPECT_EQ(driver.DebugAddress(), "127.0.0.1:13131");
    try
    {
        driver.SetDebugSocket("no.such.host:1");
        ADD_FAILURE() << "no exception";
    }
    catch (CQTXError& error)
    {
        EXPECT_EQ(error.ErrorText(), "NoDebugSocket");
        EXPECT_EQ(error.ErrorType(), "CommunicationError");
    }

    CDatagrams receiver;
    driver.SetDebugSocket(receiver.Address());
    const auto debugDatagram = [](const std::string& number, const std::string& text)
    {
        return std::regex(" \\[[0-9.e+]+ s\\] 62000:Sys<&> -> DebugOutput\\[Debug\\]: Debug\\(" +
                          number + "\\): " + text);
    };
    const std::string enabled = receiver.Next();
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(enabled, m, debugDatagram("([0-9]+)", Quoted("Debug output is enabled."))))
        << enabled;
    driver.DebugOutput("next");
    EXPECT_TRUE(std::regex_match(receiver.Next(),
                                 debugDatagram(std::to_string(std::stoi(m[1]) + 1), "next")));

    // The client of the request in hand gets the error as a document, escaped; debug output
    // never goes to the client.
    CQTXCommunication server;
    CQTXCommunication client;
    ASSERT_TRUE(server.OpenServerSocket(0, true));
    ASSERT_TRUE(client.Open("127.0.0.1:" + std::to_string(server.GetServerPort()), true));
    ASSERT_TRUE(server.WaitForConnection());
    server.MoveConnectionTo(driver.CommandServer());

    driver.DebugOutput("not for the client");
    driver.SendErrorMessage(CQTXError("Bad\"Name", "a<b", nullptr, 0, Warning), false);
    driver.SendErrorMessage(CQTXError("Bad\"Name", "a<b", nullptr, 0, Warning), true);
    const std::string expected = sXmlStart +
                                 "<Error Module=\"Sys&lt;&amp;&gt;\" Name=\"Bad&quot;Name\" "
                                 "Details=\"Warning[GeneralError]: Bad&quot;Name: a&lt;b\" "
                                 "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" />\n";
    std::string received(expected.size(), '\0');
    client.SetTimeout(5000, 0);
    EXPECT_EQ(client.ReceiveBuffer(&received[0], static_cast<int>(received.size()), true),
              static_cast<int>(expected.size()));
    EXPECT_EQ(received, expected);
    char more;
    EXPECT_EQ(client.ReceiveBuffer(&more, 1, false), 0);

    driver.SetDebugSocket("OFF");
    while (receiver.Pending())
    {
    }
    driver.WriteToLogfile("after off");
    driver.DebugOutput("after off");
    EXPECT_FALSE(receiver.Pending());
}

TEST_F(Report, EventLogEntryAndCut)
{
    const std::regex entry("\\[t=[0-9]+s : Source\\] text\n");
    for (size_t size : {size_t(0), size_t(100000), size_t(100001)})
    {
        SCOPED_TRACE(size);
        const std::string before = NumberedBytes(size);
        WriteFile(sEventLog, before);
        ASSERT_TRUE(StoreEvent("text", "Source"));
        const std::string after = kovetest::ReadFile(sEventLog);
        const std::string kept = size > 100000 ? "[...] " + before.substr(size - 1024) : before;
        EXPECT_EQ(after.substr(0, kept.size()), kept);
        EXPECT_TRUE(std::regex_match(after.substr(kept.size()), entry)) << after.substr(0, 80);
    }

    std::system(("rm -rf '" + PlatPath(std::string("/tmp/Update")) + "'").c_str());
    EXPECT_FALSE(StoreEvent("text", "Source"));
}

// Child processes that wait for the go, append entries, and end; returns when all ended.
void AppendFromProcesses(int processes, int entries, const std::string& text)
{
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p)
    {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            close(go[1]);
            char byte;
            while (read(go[0], &byte, 1) < 0)
            {
            }
            bool ok = true;
            for (int e = 0; e < entries; ++e)
                ok = StoreEvent(text + " " + std::to_string(p) + "/" + std::to_string(e),
                                "P" + std::to_string(p)) &&
                     ok;
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(go[0]);
    close(go[1]); // all children start at once
    for (pid_t pid : children)
    {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST_F(Report, EventLogOfSeveralProcessesKeepsEveryEntryWhole)
{
    // Entries of several processes never mix within a line.
    const std::string text(200, 'x');
    unlink(sEventLog.c_str());
    AppendFromProcesses(4, 100, text);
    std::istringstream lines(kovetest::ReadFile(sEventLog));
    const std::regex entry("\\[t=[0-9]+s : P([0-9])\\] " + text + " ([0-9])/([0-9]+)");
    std::set<std::string> seen;
    std::string line;
    while (std::getline(lines, line))
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, entry)) << line.substr(0, 80);
        EXPECT_EQ(m[1], m[2]);
        seen.insert(std::string(m[2]) + "/" + std::string(m[3]));
    }
    EXPECT_EQ(seen.size(), 400u);

    // Processes that find the log above its limit at the same time: one cuts it, and no entry
    // appended meanwhile is lost to the cut.
    const std::string before = NumberedBytes(100001);
    WriteFile(sEventLog, before);
    AppendFromProcesses(8, 1, "after cut");
    const std::string after = kovetest::ReadFile(sEventLog);
    const std::string kept = "[...] " + before.substr(before.size() - 1024);
    ASSERT_EQ(after.substr(0, kept.size()), kept);
    for (int p = 0; p < 8; ++p)
        EXPECT_NE(after.find("] after cut " + std::to_string(p) + "/0\n"), std::string::npos) << p;
    EXPECT_EQ(std::count(after.begin() + static_cast<long>(kept.size()), after.end(), '\n'), 8);
}

TEST_F(Report, OperationsAreBracketedWithTheirDepth)
{
    CReportDriver driver;
    driver.Name(62000, "System");
    const int base = QTXFunctionLogDepth();
    const std::string d1 = std::to_string(base + 1);
    const std::string d2 = std::to_string(base + 2);
    {
        CQTXFunctionLog outer(driver, "Outer");
        try
        {
            CQTXFunctionLog inner(driver, "Inner");
            EXPECT_EQ(QTXFunctionLogDepth(), base + 2);
            throw CQTXError("Failed", "", nullptr, 0);
        }
        catch (CQTXError&)
        {
        }
        CQTXFunctionLog again(driver, "Again");
    }
    EXPECT_EQ(QTXFunctionLogDepth(), base);

    std::string text;
    std::istringstream lines(kovetest::ReadFile(LogDirectory() + "Slot62000_log.txt"));
    std::string line;
    while (std::getline(lines, line))
        text += line.substr(line.find("] ") + 2) + "\n";
    EXPECT_EQ(text, "[" + d1 + "] Starting Outer()\n[" + d2 + "] Starting Inner()\n[" + d2 +
                        "] Ending Inner()\n[" + d2 + "] Starting Again()\n[" + d2 +
                        "] Ending Again()\n[" + d1 + "] Ending Outer()\n");
}
} // namespace
