// Running commands through the shell or with an argument vector, and the build stamp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTX.h"
#include "QTXBuildStamp.h"

namespace
{
std::vector<std::string> g_vsReports;

void Collect(const std::string& text)
{
    g_vsReports.push_back(text);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class Shell : public testing::Test
{
protected:
    void SetUp() override
    {
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
        g_vsReports.clear();
    }
    void TearDown() override
    {
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }
    kovetest::CTempDir tDir;
};

TEST_F(Shell, ShellCommandRunsInForegroundOrBackgroundAndIsReported)
{
    const std::string file = tDir.Path() + "/made";
    EXPECT_EQ(ExecuteShellCommand("touch " + file + "; exit 3", true, Collect), 3 << 8);
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ(g_vsReports, (std::vector<std::string>{"System call \"touch " + file + "; exit 3\"",
                                                     " ... returned 768"}));

    // In the background the shell's result comes back at once, before the command ends.
    g_vsReports.clear();
    const std::string late = tDir.Path() + "/late";
    const std::string go = tDir.Path() + "/go";
    // The waiting loop is bounded and lets go of the test's output, so that a failed test
    // never leaves it behind holding the runner's pipe.
    EXPECT_EQ(ExecuteShellCommand("{ exec >/dev/null 2>&1; i=0; while [ ! -e " + go +
                                      " ] && [ $i -lt 2000 ]; do sleep 0.01; i=$((i+1)); done; "
                                      "touch " + late + "; }",
                                  false, Collect),
              0);
    EXPECT_FALSE(Exists(late));
    ASSERT_EQ(g_vsReports.size(), 2u);
    EXPECT_EQ(g_vsReports[0].substr(g_vsReports[0].size() - 3), " &\"");
    EXPECT_EQ(g_vsReports[1], " ... returned 0");
    ExecuteShellCommand("touch " + go, true);
    EXPECT_TRUE(kovetest::WaitFor([&] { return Exists(late); }));

    // Without a report function nothing is reported.
    g_vsReports.clear();
    EXPECT_EQ(ExecuteShellCommand("true", true), 0);
    EXPECT_TRUE(g_vsReports.empty());
}

TEST_F(Shell, ProgramArgumentsAreNeverReadByAShell)
{
    // Every shell metacharacter stays part of the one argument.
    const std::string name = tDir.Path() + "/a;b $(touch x) `y` | z & \"q\"";
    EXPECT_EQ(ExecuteProgram({"touch", name}, true, Collect), 0);
    EXPECT_TRUE(Exists(name));
    EXPECT_FALSE(Exists(tDir.Path() + "/b"));
    EXPECT_EQ(g_vsReports,
              (std::vector<std::string>{"System call \"touch " + name + "\"", " ... returned 0"}));

    EXPECT_EQ(ExecuteProgram({"sh", "-c", "exit 5"}, true), 5 << 8);
    EXPECT_EQ(ExecuteProgram({}, true), -1);

    // Started in the background: 0 at once, the program runs on.
    const std::string late = tDir.Path() + "/late";
    EXPECT_EQ(ExecuteProgram({"sh", "-c", "sleep 0.05; touch \"$0\"", late}, false), 0);
    EXPECT_TRUE(kovetest::WaitFor([&] { return Exists(late); }));
}

TEST_F(Shell, HostToolsOfASimulatedDeviceAreOnlyRecorded)
{
    const std::string device = tDir.Path() + "/device";
    setenv("KOVE_SIM", device.c_str(), 1);
    PlatReloadSimulation();
    EXPECT_EQ(ExecuteShellCommand("ifconfig eth0 10.0.0.2", true), 0);
    EXPECT_EQ(ExecuteProgram({"route", "add", "default", "gw", "10.0.0.1"}, true), 0);
    const std::string log = kovetest::ReadFile(device + "/commands.log");
    EXPECT_NE(log.find("ifconfig eth0 10.0.0.2"), std::string::npos) << log;
    EXPECT_NE(log.find("route add default gw 10.0.0.1"), std::string::npos) << log;
}

TEST(ShellWord, CommandLinesSplitAtBlanksOnly)
{
    using Words = std::vector<std::string>;
    const struct
    {
        const char* line;
        Words words;
    } cases[] = {
        {"prog -a b", {"prog", "-a", "b"}},
        {"  prog\t-a   b \r\n", {"prog", "-a", "b"}},
        {"echo ran-$((6*7)) > f; id >> f", {"echo", "ran-$((6*7))", ">", "f;", "id", ">>", "f"}},
        {"run \"a b\" 'c d' x\\ y", {"run", "\"a", "b\"", "'c", "d'", "x\\", "y"}},
        {"", {}},
        {" \t ", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitCommandWords(c.line), c.words) << c.line;
}

TEST(ShellWord, OnlyPlainWordsAreSafe)
{
    for (const char* word : {"eth0", "192.168.1.9", "/tmp/Update/a-b_c.tar.gz", "key=v,w:x@y%+"})
        EXPECT_TRUE(IsShellSafeWord(word)) << word;
    for (const char* word : {"", "a b", "a;b", "$(x)", "`x`", "a|b", "a&b", "a>b", "'a'", "\"a\"",
                             "a\\b", "a\nb", "*", "~root"})
        EXPECT_FALSE(IsShellSafeWord(word)) << word;
}

TEST(BuildStamp, RecordHasItsMarkersAndFields)
{
    const char* text = GetQTXDLLVersionStr();
    EXPECT_EQ(std::string(text - 5, 5), "VeZa:");
    const size_t length = strlen(text);
    EXPECT_EQ(std::string(text + length, 7), std::string("\0:aZeV\0", 7));
    EXPECT_TRUE(std::regex_match(
        text, std::regex("[^;]*;R;[^;]*;W;[^;]*;[0-9]{6}-[0-9]{2}:[0-9]{2};;;[^;]*;;\n")))
        << text;

    constexpr QTXBuildStampRecord record =
        QTXMakeBuildStamp("12", "13M", "ann", "Jan  5 2024", "09:07:31", "/b");
    EXPECT_STREQ(QTXBuildStampText(record), "12;R;13M;W;ann;240105-09:07;;;/b;;\n");
}

// The fields of a stamp text that the build fills: revision, working-copy revision, builder and
// build directory (the date is that of the unit's compilation and may differ).
std::vector<std::string> BuildFacts(const std::string& text)
{
    std::vector<std::string> fields;
    std::stringstream line(text);
    for (std::string field; std::getline(line, field, ';');)
        fields.push_back(field);
    if (fields.size() < 9)
        return fields;
    return {fields[0], fields[2], fields[4], fields[8]};
}

// The stamp texts of the records in a file, found by their markers.
std::vector<std::string> StampsInFile(const std::string& path)
{
    const std::string file = kovetest::ReadFile(path);
    std::vector<std::string> texts;
    for (size_t at = file.find("VeZa:"); at != std::string::npos; at = file.find("VeZa:", at + 1))
    {
        const size_t end = file.find('\0', at);
        if (end != std::string::npos && file.compare(end, 7, std::string("\0:aZeV\0", 7)) == 0)
            texts.push_back(file.substr(at + 5, end - at - 5));
    }
    return texts;
}

TEST(BuildStamp, LibraryAndEveryProgramCarryTheFactsOfTheBuild)
{
    const std::vector<std::string> facts = BuildFacts(GetQTXDLLVersionStr());
    ASSERT_EQ(facts.size(), 4u) << GetQTXDLLVersionStr();
    // A source with a repository gives the commit count and HEAD's hash; one without says so.
    if (facts[0].empty())
        EXPECT_EQ(facts[1], "exported");
    else
    {
        EXPECT_TRUE(std::regex_match(facts[0], std::regex("[0-9]+"))) << facts[0];
        EXPECT_TRUE(std::regex_match(facts[1], std::regex("[0-9a-f]{12}M?"))) << facts[1];
    }
    EXPECT_FALSE(facts[2].empty());
    EXPECT_EQ(facts[3] + "/bin", KOVE_BIN_DIR);
    EXPECT_EQ(BuildFacts(GetQTXProgramVersionStr()), facts);
    char buffer[16];
    EXPECT_EQ(QTXProgramVersionStr(buffer, sizeof buffer), 16);
    EXPECT_EQ(std::string(buffer), std::string(GetQTXProgramVersionStr()).substr(0, 15));

    // The files carry the records where a tool finds them (a build with debug information has
    // a second copy in it; the updater, linked with the library's objects, has the library's
    // record beside its own).
    for (const char* program :
         {"systemdriver", "dufdriver", "fodriver", "pndriver", "update", "qtx", "qtxtestdriver"})
    {
        const std::vector<std::string> texts =
            StampsInFile(std::string(KOVE_BIN_DIR) + "/" + program);
        EXPECT_FALSE(texts.empty()) << program;
        for (const std::string& text : texts)
            EXPECT_EQ(BuildFacts(text), facts) << program << ": " << text;
    }
    const std::vector<std::string> library =
        StampsInFile(std::string(KOVE_BIN_DIR) + "/../lib/libQTX.so");
    EXPECT_FALSE(library.empty());
    for (const std::string& text : library)
        EXPECT_EQ(text, GetQTXDLLVersionStr());
}

TEST(BuildStamp, CopyIsBoundedAndTerminated)
{
    const std::string text = GetQTXDLLVersionStr();
    char buffer[512];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(QTXDLLVersionStr(buffer, 16), 16);
    EXPECT_EQ(std::string(buffer), text.substr(0, 15));
    EXPECT_EQ(QTXDLLVersionStr(buffer, sizeof buffer), static_cast<int>(text.size() + 1));
    EXPECT_EQ(std::string(buffer), text);
    EXPECT_EQ(QTXDLLVersionStr(buffer, 0), 0);
    EXPECT_EQ(QTXDLLVersionStr(nullptr, 16), 0);
}
} // namespace
