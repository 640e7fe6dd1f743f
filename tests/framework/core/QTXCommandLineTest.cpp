// The driver command line: options, the slot and port rule, the directory derived from the
// program name and the restart command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QTX.h"

namespace
{
// Parses an argument list given as strings (argv[0] first).
QTXCommandLine Parse(std::vector<std::string> arguments, int defaultSlot = 7)
{
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QTXCommandLine result;
    CQTX::ParseCommandLine(static_cast<int>(arguments.size()), argv.data(), defaultSlot, result);
    return result;
}

struct OptionCase
{
    std::vector<std::string> arguments;
    int slot;
    uint32_t port;
    std::string debugAddress;
    bool hardware;
    std::string startup;
};

TEST(QTXCommandLine, OptionsSelectSlotPortDebugAndSimulation)
{
    const OptionCase cases[] = {
        {{"drv"}, 7, 62107, "", true, ""},
        {{"drv", "-Slot=3"}, 3, 62103, "", true, ""},
        {{"drv", "-slot:4"}, 4, 62104, "", true, ""},
        {{"drv", "/SLOT=5"}, 5, 62105, "", true, ""}, // any leading character
        {{"drv", "-Slot=x1"}, 0, 62100, "", true, ""},
        {{"drv", "-Slot=X16"}, 15, 62115, "", true, ""},
        {{"drv", "-Slot=62001"}, -1, 62001, "", true, ""},
        {{"drv", "-Slot=-1"}, -1, 0, "", true, ""},
        {{"drv", "-Debug"}, 7, 62107, ":62099", true, ""},
        {{"drv", "-debug=10.0.0.5"}, 7, 62107, "10.0.0.5", true, ""},
        {{"drv", "-Simulate", "-Startup=a=b:c"}, 7, 62107, "", false, "a=b:c"},
        {{"drv", "-Slot=2", "-Slot=9"}, 9, 62109, "", true, ""}, // the last one counts
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        QTXCommandLine result = Parse(c.arguments);
        int slotMember = 99;
        EXPECT_EQ(CQTX::PortFromSlot(result.iSlot, slotMember), c.port);
        EXPECT_EQ(slotMember, c.slot);
        EXPECT_EQ(result.sDebugAddress, c.debugAddress);
        EXPECT_EQ(result.bHardware, c.hardware);
        EXPECT_EQ(result.sStartupText, c.startup);
    }
}

TEST(QTXCommandLine, PortRuleAtTheSlotBoundaries)
{
    const struct
    {
        int slot;
        uint32_t port;
        int slotMember;
    } cases[] = {{-5, 0, -1},     {-1, 0, -1},  {0, 62100, 0},
                 {15, 62115, 15}, {16, 16, -1}, {62000, 62000, -1}};
    for (const auto& c : cases)
    {
        int slotMember = 99;
        EXPECT_EQ(CQTX::PortFromSlot(c.slot, slotMember), c.port) << c.slot;
        EXPECT_EQ(slotMember, c.slotMember) << c.slot;
    }
}

TEST(QTXCommandLine, UnknownOrMalformedArgumentsAreRefused)
{
    const struct
    {
        std::string argument;
        std::string parameter;
    } cases[] = {
        {"-Slot", "Unknown argument Slot"},           // value required
        {"-Simulate=1", "Unknown argument Simulate"}, // value not allowed
        {"-Dir", "Unknown argument Dir"},
        {"-Bogus=1", "Unknown argument Bogus"},
        {"", "Unknown argument "},
        {"-", "Unknown argument "},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.argument);
        try
        {
            Parse({"drv", "-Slot=1", c.argument});
            ADD_FAILURE() << "accepted";
        }
        catch (CQTXError& error)
        {
            EXPECT_EQ(error.ErrorText(), "IllegalArguments");
            EXPECT_EQ(error.ErrorParameter(), c.parameter);
            EXPECT_EQ(error.ErrorType(), "GeneralError");
            EXPECT_EQ(error.ErrorSeverity(), Error);
        }
    }
}

TEST(QTXCommandLine, HelpStopsWithHelpText)
{
    for (const char* option : {"-Help", "-?", "-help=me"})
    {
        testing::internal::CaptureStdout();
        try
        {
            Parse({"/bin/drv", option, "-Bogus"});
            ADD_FAILURE() << option << " accepted";
        }
        catch (CQTXError& error)
        {
            EXPECT_EQ(error.ErrorText(), "HelpText") << option;
            EXPECT_EQ(error.ErrorParameter(), "Stopping after help text displayed");
        }
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(output.rfind("Syntax: /bin/drv -Debug=<IP-Address> -Dir=<Directory> "
                               "-Slot=<Number> -Delay=<ms> -Simulate -Help\n",
                               0),
                  0u)
            << output;
        EXPECT_NE(output.find("\nAll arguments are optional.\n\n"), std::string::npos);
    }
}

TEST(QTXCommandLine, DirectoryComesFromTheOptionOrTheProgramName)
{
    EXPECT_EQ(Parse({"/opt/drivers/10_System.exe"}).sDirectory, sQTXRootDirectory + "System");
    EXPECT_EQ(Parse({"drv", "-Dir=/data/x"}).sDirectory, "/data/x");
    EXPECT_EQ(Parse({"drv", "-Directory=\"/data/y z\""}).sDirectory, "/data/y z");
    EXPECT_EQ(Parse({"drv", "-dir:\""}).sDirectory, "\""); // a lone quote is kept

    const struct
    {
        const char* program;
        const char* name;
    } cases[] = {
        {"/usr/bin/10_System.exe", "System"},
        {"123_Duf", "Duf"},
        {"1_Duf", "1_Duf"},
        {"Driver_W32", "Driver"},
        {"Driver_ce7.exe", "Driver"},
        {"Fo_lx", "Fo"},
        {"x_XP", "x"},
        {"_XP", "_XP"}, // too short to lose its ending
        {"PNDriver-V21-LINUX", "PNDriver"},
        {"Drv-2.1-LINUX", "Drv-2"}, // cut at the first "." before the ending rules
        {"Drv-LINUX", "Drv-LINUX"},
        {"DriverNoDash-LINUX", "DriverNoDash"},
        {"Driver-V21-linux", "Driver-V21-linux"}, // the -LINUX ending is case-sensitive
        {"/a.b/drv", "drv"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CQTX::DriverNameFromProgram(c.program), c.name) << c.program;
}

TEST(QTXCommandLine, RestartRepeatsEveryArgumentButTheDelay)
{
    QTXCommandLine result = Parse(
        {"/bin/drv", "-Slot=3", "-Delay=0", "/Dir=/d", "-Startup=a b", "-DELAY=1", "-Simulate"});
    EXPECT_EQ(result.sRestartCommandLine,
              "\"/bin/drv\" \"-Slot=3\" \"-Dir=/d\" \"-Startup=a b\" \"-Simulate\" ");
    EXPECT_EQ(result.vsRestartArguments, (std::vector<std::string>{"/bin/drv", "-Slot=3", "-Dir=/d",
                                                                   "-Startup=a b", "-Simulate"}));

    EXPECT_EQ(Parse({"drv"}).sRestartCommandLine, "\"drv\" ");
}
} // namespace
