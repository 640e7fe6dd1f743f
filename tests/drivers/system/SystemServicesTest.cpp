// The hub's services for the device: the user-settings push of the hex switches, the status
// record, the application watchdog, named shared memories, reboot control, Diagnostic, Debug
// and the factory test.
#include "SystemTestSupport.h"

#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <thread>
#include <sys/stat.h>
#include <utime.h>

#include "Cdi.h"
#include "KoveSimDevice.h"

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

TEST(SystemFrontPanel, UserSettingsAndHexSwitchRecord)
{
    EXPECT_EQ(HexSwitchUserConfigRequest(5, 10),
              sXmlStart + "<SetUserConfig Value=\";hex=0x5;SamplingPeriodInUs=10;\" />");
    EXPECT_EQ(HexSwitchUserConfigRequest(-1, 12.5),
              sXmlStart + "<SetUserConfig Value=\";hex=0xFFFFFFFF;SamplingPeriodInUs=12.5;\" />");

    const struct
    {
        int32_t setting;
        uint8_t head[4];
    } cases[] = {{0x12345, {0x4, 0x5, 0x3, 0x12}}, {-1, {255, 255, 255, 255}}, {0, {0, 0, 0, 0}}};
    for (const auto& c : cases)
    {
        uint8_t record[16];
        memset(record, 0xAA, sizeof record);
        HexSwitchRecord(c.setting, record);
        EXPECT_EQ(0, memcmp(record, c.head, 4)) << c.setting;
        for (int i = 4; i < 16; ++i)
            EXPECT_EQ(record[i], 0) << i;
    }
}

TEST(SystemStatusRecord, BytesAreLaidOutFieldByField)
{
    StatusRecordFields fields;
    fields.usSequence = 0x1234;
    fields.iOrderingNumber = 52230010;
    fields.iSerialNumber = -2;
    fields.ucHexSwitch = 0x7;
    fields.ucDeviceCount = 3;
    fields.acVersionHW[0] = 'A';
    fields.acVersionHW[1] = '2';
    fields.uFirmwareVersion = 0x01020304;
    fields.uFpgaVersion = 0xA1B2C3D4;
    fields.uPresentModules = 0x5;
    fields.uModuleSlotMask = 0x7;
    fields.bSoftwareModuleAnswers = true;
    fields.uSoftwareModuleMask = 0x80000001;
    uint8_t record[SYSTEM_STATUS_RECORD_BYTES];
    memset(record, 0xEE, sizeof record);
    BuildStatusRecord(fields, record);
    const uint8_t expected[SYSTEM_STATUS_RECORD_BYTES] = {
        'F',  'L',  0x34, 0x12, 0x7A, 0xF7, 0x1C, 0x03, 0xFE, 0xFF, 0xFF, 0xFF,
        0x07, 0x03, 0x03, 0x00, 0x00, 0x00, 'A',  '2',  0x04, 0x03, 0x02, 0x01,
        0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
        0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x80};
    EXPECT_EQ(0, memcmp(record, expected, sizeof record));

    // 0 belongs to the first record only.
    EXPECT_EQ(NextStatusSequence(0), 1);
    EXPECT_EQ(NextStatusSequence(41), 42);
    EXPECT_EQ(NextStatusSequence(0xFFFF), 1);
}

// ---- Application watchdog

std::string WatchdogRequest(const std::string& children)
{
    return kHead + "<Watchdog>" + children + "</Watchdog>";
}

const std::string kWatched = "<Port>62250</Port><CheckInterval>1</CheckInterval>"
                             "<Timeout>0.5</Timeout><AppName>Logger</AppName>"
                             "<AppStartCmd>start logger</AppStartCmd>";

TEST_F(SystemUnit, WatchdogRequestsCheckEveryValueAndReplaceTheEntryOfThePort)
{
    CTestSystem& system = System();
    const struct
    {
        std::string children;
        std::vector<const char*> errors;
    } refused[] = {
        {"<CheckInterval>1</CheckInterval><Timeout>1</Timeout><AppStartCmd>x</AppStartCmd>",
         {"WrongPort", "AppNameMissing"}},
        {"<Port>1</Port><CheckInterval>0.05</CheckInterval><Timeout>1</Timeout>"
         "<AppName>a</AppName><AppStartCmd>x</AppStartCmd>",
         {"WrongCheckInterval"}},
        {"<Port>1</Port><CheckInterval>1</CheckInterval><Timeout>-4</Timeout>"
         "<AppName>a</AppName><AppStartCmd>" +
             std::string(1024, 'x') + "</AppStartCmd>",
         {"WrongTimeout", "AppStartCmdMissing"}},
        {kWatched + "<Backup><BackupScript>b</BackupScript><NumberOfBackups>0</NumberOfBackups>"
                    "</Backup>",
         {"BackupDestinationMissing", "NumberOfBackupsMissing"}},
    };
    for (const auto& c : refused)
    {
        SCOPED_TRACE(c.children.substr(0, 80));
        EXPECT_EQ(system.Request(WatchdogRequest(c.children)), 0);
        const std::string reply = system.ReplyText();
        for (const char* error : c.errors)
            EXPECT_NE(reply.find(std::string("Name=\"") + error + "\""), std::string::npos)
                << error << "\n"
                << reply;
        EXPECT_TRUE(system.GetWatchdogEntries().empty());
    }

    system.Request(WatchdogRequest(kWatched));
    system.Request(WatchdogRequest("<Port>62251</Port><CheckInterval>0.2</CheckInterval>"
                                   "<Timeout>0.1</Timeout><AppName>B</AppName>"
                                   "<AppStartCmd>b</AppStartCmd>"));
    std::vector<WatchdogEntry> entries = system.GetWatchdogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].iCheckIntervalMs, 1000);
    EXPECT_EQ(entries[0].iTimeoutMs, 500);
    EXPECT_EQ(entries[0].iRemainingMs, 3000);
    EXPECT_NE(system.LogText().find("  [2] B, port 62251: Checked every 0.2s with timeout of "
                                    "0.1, StartCmd=\"b\", BackupScript=\"\" to \", max. "
                                    "backups=0\nEnd of watchdog list, 2 entries found"),
              std::string::npos)
        << system.LogText();

    // The same port again replaces its entry (at the end); interval 0 removes it.
    system.Request(
        WatchdogRequest("<Port>62250</Port><CheckInterval>2</CheckInterval><Timeout>0.5</Timeout>"
                        "<AppName>Logger2</AppName><AppStartCmd>x</AppStartCmd>"));
    entries = system.GetWatchdogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].sAppName, "Logger2");
    system.Request(WatchdogRequest("<Port>62250</Port><CheckInterval>0</CheckInterval>"
                                   "<Timeout>1</Timeout><AppName>a</AppName>"
                                   "<AppStartCmd>x</AppStartCmd>"));
    entries = system.GetWatchdogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].iPort, 62251);
}

TEST_F(SystemUnit, ASilentApplicationIsReportedBackedUpAndStartedAgain)
{
    CTestSystem& system = System();
    const std::string backups = DevicePath("/backups");
    std::filesystem::create_directories(backups);
    // Five backups of the watchdog, oldest first by their time of change, a link of their name
    // that leads out of the directory (removing it must not touch what it points to), and
    // entries of other names, older than all, which are not the watchdog's to remove.
    const std::string outside = DevicePath("/outside");
    std::filesystem::create_directories(outside + "/keep");
    const char* names[] = {"Backup_5",   "Backup_3.000", "Backup_1.5",       "Backup_4.25",
                           "Backup_2.0", "data",         "Backup_notes.txt", "Backup_1.2.3",
                           "Backup_",    "Backup_7."};
    for (int i = 0; i < 10; ++i)
    {
        const std::string path = backups + "/" + names[i];
        std::filesystem::create_directories(path + "/inner");
        const time_t time = i < 5 ? 1000000 + i * 10 : 1000;
        utimbuf times{time, time};
        utime(path.c_str(), &times);
    }
    std::filesystem::create_directory_symlink(outside, backups + "/Backup_9");

    const std::string script = DevicePath("/backup.sh");
    std::ofstream(script) << "#!/bin/sh\nmkdir \"" << backups << "/$1\"\n";
    chmod(script.c_str(), 0755);
    const std::string started = DevicePath("/started");
    system.Request(
        WatchdogRequest("<Port>9</Port><CheckInterval>1</CheckInterval><Timeout>0.1</Timeout>"
                        "<AppName>Logger</AppName><AppStartCmd>touch " +
                        started + "</AppStartCmd><Backup><BackupScript>" + script +
                        "</BackupScript><BackupDestination>" + backups +
                        "</BackupDestination><NumberOfBackups>3</NumberOfBackups></Backup>"));

    // Fast blinking: nothing is counted down.
    system.SetFastBlinking(true);
    system.RunWatchdogRound(5000);
    EXPECT_EQ(system.GetWatchdogEntries()[0].iRemainingMs, 2200);
    system.SetFastBlinking(false);

    system.RunWatchdogRound(2000);
    EXPECT_EQ(system.GetWatchdogEntries()[0].iRemainingMs, 200);
    system.RunWatchdogRound(200);
    // Nothing answers on port 9: triggered, and the next ping waits twice interval and timeout.
    EXPECT_EQ(system.GetWatchdogEntries()[0].iRemainingMs, 2200);
    const std::string events = kovetest::ReadFile(DevicePath("/tmp/Update/Event.log"));
    EXPECT_NE(events.find("System.Watchdog] Watchdog for port 9, application Logger triggered "),
              std::string::npos)
        << events;
    EXPECT_TRUE(kovetest::WaitFor([&] { return access(started.c_str(), F_OK) == 0; }));

    // The link and the three oldest backups went; the outside and the other names stayed; the
    // new backup is there.
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(backups))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    ASSERT_EQ(left.size(), 8u) << ::testing::PrintToString(left);
    EXPECT_TRUE(IsWatchdogBackupName(left[2])) << left[2];
    EXPECT_EQ(std::vector<std::string>(left.begin(), left.begin() + 2),
              (std::vector<std::string>{"Backup_", "Backup_1.2.3"}));
    EXPECT_EQ(std::vector<std::string>(left.begin() + 3, left.end()),
              (std::vector<std::string>{"Backup_2.0", "Backup_4.25", "Backup_7.",
                                        "Backup_notes.txt", "data"}));
    EXPECT_TRUE(std::filesystem::exists(outside + "/keep"));
    const std::string log = system.LogText();
    EXPECT_LT(log.find("Deleting backup directory Backup_9"),
              log.find("Deleting backup directory Backup_5"));
    EXPECT_LT(log.find("Deleting backup directory Backup_5"),
              log.find("Deleting backup directory Backup_3.000"));

    EXPECT_FALSE(PruneBackups(DevicePath("/missing"), 3, nullptr));
}

// ---- Named shared memory

class SharedMemoryUnit : public SystemUnit
{
protected:
    void SetUp() override
    {
        SystemUnit::SetUp();
        System().pSharedMemoryList =
            OpenNSMemory("MEM_DevMsg_SharedMemoryList", 7, SYSTEM_SHM_DIRECTORY_BYTES);
        ASSERT_NE(System().pSharedMemoryList, nullptr);
        memset(Directory(), 0, SYSTEM_SHM_DIRECTORY_BYTES);
        Directory()[0] = 1;
    }

    unsigned char* Directory()
    {
        return static_cast<unsigned char*>(GetNSMemoryPointer(System().pSharedMemoryList));
    }
    uint32_t Word(size_t offset)
    {
        const unsigned char* at = Directory() + offset;
        return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
    }
    std::string Listed(int i) { return reinterpret_cast<const char*>(Directory() + 8 + 68 * i); }
    uint32_t ListedLength(int i) { return Word(72 + 68 * i); }

    std::string Memory(const std::string& name, const std::string& action,
                       const std::string& more = "")
    {
        System().Request(kHead + "<NamedSharedMemory Name=\"" + name + "\" Action=\"" + action +
                         "\" " + more + "/>");
        return System().ReplyAttribute("Result") + "|" + System().ReplyAttribute("Error");
    }
};

TEST_F(SharedMemoryUnit, HeldMemoriesAreListedSortedAndChangesCountUp)
{
    EXPECT_EQ(Memory("b", "Allocate", "Size=\"100\""), "Done|<none>");
    EXPECT_EQ(Memory("a", "allocate", "Size=\"50\""), "Done|<none>");
    EXPECT_EQ(Word(0), 3u);
    EXPECT_EQ(Word(4), 2u);
    EXPECT_EQ(Listed(0), "a");
    EXPECT_EQ(ListedLength(0), 50u);
    EXPECT_EQ(Listed(1), "b");
    EXPECT_EQ(ListedLength(1), 100u);

    // A new size replaces the memory; the counter goes up by one.
    EXPECT_EQ(Memory("b", "Allocate", "Size=\"200\""), "Done|<none>");
    EXPECT_EQ(Word(0), 4u);
    EXPECT_EQ(Word(4), 2u);
    EXPECT_EQ(ListedLength(1), 200u);

    const struct
    {
        std::string request[3];
        const char* answer;
    } cases[] = {
        {{"a", "Allocate", "Size=\"0\""}, "ERROR|size is either missing, negative or zero"},
        {{"zz", "Free", ""}, "ERROR|No named shared memory found with this name"},
        {{"a", "Store", ""}, "ERROR|Filename is either missing or empty"},
        {{"a", "Resize", ""}, "<none>|Name or Action missing or Action undefined"},
        {{"../escape", "Allocate", "Size=\"8\""},
         "ERROR|Name is empty, longer than 63 characters or holds \"/\" or \"..\""},
        {{"dir/x", "Store", "Filename=\"x\""},
         "ERROR|Name is empty, longer than 63 characters or holds \"/\" or \"..\""},
        {{std::string(64, 'n'), "Allocate", "Size=\"8\""},
         "ERROR|Name is empty, longer than 63 characters or holds \"/\" or \"..\""},
        {{".", "Allocate", "Size=\"8\""}, "ERROR|Name must name a memory, not the folder \".\""},
        {{"taken", "Allocate", "Size=\"8\""},
         "ERROR|Can not make the named shared memory: Is a directory"},
    };
    std::filesystem::create_directories(DevicePath("/dev/shm/taken"));
    for (const auto& c : cases)
        EXPECT_EQ(Memory(c.request[0], c.request[1], c.request[2]), c.answer) << c.request[0];
    EXPECT_EQ(Word(0), 4u);
    EXPECT_FALSE(std::filesystem::exists(DevicePath("/dev/escape")));

    // Store writes the memory's bytes into the hub's own folder; the framework's request names
    // the attribute FileName.
    memset(GetNSMemoryPointer(System().vpNamedSharedMemories[0]), 'x', 50);
    const std::string file = DevicePath("/Applications/tmp/Driver/SharedMemory/a.bin");
    for (const char* attribute : {"Filename", "FileName"})
    {
        std::remove(file.c_str());
        EXPECT_EQ(Memory("a", "Store", std::string(attribute) + "=\"a.bin\""), "Done|<none>");
        EXPECT_EQ(kovetest::ReadFile(file), std::string(50, 'x'));
    }

    // A folder that cannot be made: a file stands in its place.
    std::filesystem::remove_all(DevicePath("/Applications/tmp/Driver/SharedMemory"));
    std::ofstream(DevicePath("/Applications/tmp/Driver/SharedMemory")) << "a file";
    EXPECT_EQ(Memory("a", "Store", "Filename=\"a.bin\""), "ERROR|Can not open selected file");

    EXPECT_EQ(Memory("a", "Free"), "Done|<none>");
    EXPECT_EQ(Word(0), 5u);
    EXPECT_EQ(Word(4), 1u);
    EXPECT_EQ(Listed(0), "b");
}

TEST(SystemSharedMemoryDirectory, ListsAtMost64AndWrapsItsCounter)
{
    std::vector<QTXNSMemory> memories(66);
    std::vector<QTXNSMemory*> held;
    for (size_t i = 0; i < memories.size(); ++i)
    {
        memset(&memories[i], 0, sizeof memories[i]);
        snprintf(memories[i].acName, sizeof memories[i].acName, "m%03zu", i);
        memories[i].iLength = static_cast<int>(i + 1);
        memories[i].pAddress = &memories[i];
        held.push_back(&memories[i]);
    }
    std::vector<unsigned char> directory(SYSTEM_SHM_DIRECTORY_BYTES, 0xCC);
    // 1000000000 is the largest counter: the next is 1. The directory itself is not listed.
    directory[0] = 0x00;
    directory[1] = 0xCA;
    directory[2] = 0x9A;
    directory[3] = 0x3B;
    WriteSharedMemoryDirectory(directory.data(), held, held[0]);
    EXPECT_EQ(directory[0], 1);
    EXPECT_EQ(directory[1] | directory[2] | directory[3], 0);
    EXPECT_EQ(directory[4], 64);
    EXPECT_STREQ(reinterpret_cast<const char*>(&directory[8]), "m001");
    EXPECT_STREQ(reinterpret_cast<const char*>(&directory[8 + 68 * 63]), "m064");
    EXPECT_EQ(directory[72 + 68 * 63], 65);

    EXPECT_TRUE(IsSharedMemoryNameAllowed(std::string(63, 'a')));
    for (const std::string& name : {std::string(), std::string(64, 'a'), std::string("a/b"),
                                    std::string("."), std::string(".."), std::string("x..y")})
        EXPECT_FALSE(IsSharedMemoryNameAllowed(name)) << name;
}

// A Store leaves 16 MiB or a quarter of its file system free, whichever is more, counting the
// whole file as new (the file it replaces stays until it is written).
TEST(SystemSharedMemoryStore, LeavesTheReserveFree)
{
    constexpr uint64_t MiB = 1u << 20;
    const struct
    {
        uint64_t length;
        uint64_t total;
        uint64_t available;
        bool refused;
    } cases[] = {
        {4 * MiB, 24 * MiB, 20 * MiB, false},    {4 * MiB, 24 * MiB, 20 * MiB - 1, true},
        {0, 24 * MiB, 16 * MiB, false},          {0, 24 * MiB, 16 * MiB - 1, true},
        {64 * MiB, 512 * MiB, 192 * MiB, false}, {64 * MiB, 512 * MiB, 192 * MiB - 1, true},
        {65 * MiB, 1024 * MiB, 64 * MiB, true},  {UINT64_MAX, UINT64_MAX, UINT64_MAX - 1, true},
    };
    for (const auto& c : cases)
    {
        const std::string why = StoreRoomRefusal(c.length, c.total, c.available);
        EXPECT_EQ(!why.empty(), c.refused) << c.length << " " << c.total << " " << c.available;
    }
    EXPECT_EQ(StoreRoomRefusal(3, 32 * MiB, 16 * MiB),
              "Not enough room for the file: a Store of 3 bytes must leave 16777216 bytes free, "
              "and 16777216 bytes are free");
}

TEST_F(SystemUnit, RebootIsPendingOnlyWhileAllowed)
{
    CTestSystem& system = System();
    const struct
    {
        const char* config;
        const char* status;
        bool pending;
    } steps[] = {
        {"ForbidReboot", "Suppressing reboot commands", false},
        {nullptr, "<none>", false},
        {"allowreboot", "Allowing reboot commands", false},
        {"Maybe", "<none>", false},
        {nullptr, "<none>", true},
        // Forbidding leaves a pending reboot; the next request clears it.
        {"FORBIDREBOOT", "Suppressing reboot commands", true},
        {nullptr, "<none>", false},
    };
    for (const auto& step : steps)
    {
        SCOPED_TRACE(step.config != nullptr ? step.config : "Reboot");
        system.Request(kHead + "<Reboot" +
                       (step.config != nullptr ? std::string(" Config=\"") + step.config + "\""
                                               : std::string()) +
                       "/>");
        EXPECT_EQ(system.ReplyAttribute("Status"), step.status);
        EXPECT_EQ(system.bRebootPending, step.pending);
    }
}

// ---- Diagnostic, Debug, KoveFactory

class DiagnosticsUnit : public SystemUnit
{
protected:
    // Loads the request as the document in hand and runs the hook; the error it throws.
    std::string Run(const std::string& document, void (CSystem::*hook)())
    {
        System().Load(document);
        try
        {
            (System().*hook)();
        }
        catch (CQTXError& error)
        {
            return error.ErrorText() + ": " + error.ErrorParameter();
        }
        return "";
    }
};

TEST_F(DiagnosticsUnit, DiagnosticListsTheErrorSlotsInOrder)
{
    CTestSystem& system = System();
    EXPECT_EQ(Run(kHead + "<Diagnostic/>", &CSystem::ProcessDiagnostic), "");
    EXPECT_EQ(system.ReplyText().find("<Errors"), std::string::npos);
    // The reply carries the error report and nothing else.
    EXPECT_EQ(system.ReplyText().find("<DeviceVersion"), std::string::npos) << system.ReplyText();
    system.SetModuleErrorText(62100, "Overload");
    system.SetModuleErrorText(62001, "No paths & more");
    EXPECT_EQ(Run(kHead + "<Diagnostic/>", &CSystem::ProcessDiagnostic), "");
    const std::string reply = system.ReplyText();
    const size_t duf =
        reply.find("<Error Name=\"Duf\" Text=\"No paths &amp; more\" Location=\"Duf\"");
    const size_t module =
        reply.find("<Error Name=\"Module X1\" Text=\"Overload\" Location=\"Module X1\"");
    ASSERT_NE(duf, std::string::npos) << reply;
    EXPECT_LT(duf, module) << reply;
}

TEST_F(DiagnosticsUnit, DebugTestsTheHexSwitchesAndEnds)
{
    CTestSystem& system = System();
    std::string why;
    const uint8_t hex[4] = {2, 5, 0, 0};
    ASSERT_EQ(SimSetHexSwitches(DevicePath(""), hex, &why), 0) << why;
    system.iGPIOFile = PlatOpen("/dev/gpio", O_RDWR);
    ASSERT_GE(system.iGPIOFile, 0);
    // The KV8's unit number is 5 and its second switch reads 2.
    ASSERT_EQ(system.ReadHexSwitchWord(), 0x25);

    const auto test = [&](const std::string& properties)
    {
        return Run(kHead + "<Debug><Signals Name=\"TestHexSwitches\"><Properties>" + properties +
                       "</Properties></Signals></Debug>",
                   &CSystem::ProcessDebug);
    };
    EXPECT_EQ(test("<Property Name=\"Mask\" Value=\"0xF\"/><Property Name=\"Value\" Value=\"5\"/>"),
              "");
    EXPECT_NE(system.ReplyText().find("<Property Name=\"Status\" Value=\"OK\""), std::string::npos)
        << system.ReplyText();
    EXPECT_EQ(test("<Property Name=\"Mask\" Value=\"0xF0\"/><Property Name=\"Value\" "
                   "Value=\"0x30\"/>"),
              "TestFailed: Test of hex switch failed: read 0x00000020, but expected 0x00000030");
    EXPECT_EQ(test("<Property Name=\"Value\" Value=\"5\"/>"),
              "MissingParameters: Either Mask or Value is missing!");
    EXPECT_EQ(Run(kHead + "<Debug><Properties><Property Name=\"EndDriver\" Value=\"\"/>"
                          "</Properties></Debug>",
                  &CSystem::ProcessDebug),
              "UserBreak: Driver stopped due to user request");
    PlatClose(system.iGPIOFile);
    system.iGPIOFile = -1;
}

TEST_F(DiagnosticsUnit, SwitchTestChecksItsValuesAndWantsAMatchToHold)
{
    CTestSystem& system = System();
    system.BPBWriteWord(0x2000, 0x34000000, true);
    const struct
    {
        const char* values;
        const char* error; // empty: Result="Done"
    } cases[] = {
        {"0;0x2000;0xF0000000;0x30000000;100", "Wrong number of values in SwitchTest="},
        {"0;0x2000;0xF0000000;0x30000000;100;3600001",
         "Wrong 5th value in SwitchTest=&quot;0;0x2000;0xF0000000;0x30000000;100;"
         "3600001&quot;: only 0..3600000 allowed"},
        {"0;0x2000;0xF0000000;0x30000000;-5;100", "Wrong hold time in SwitchTest="},
        {"0;0x2000;0xF0000000;0x30000000;60001;100", "Wrong hold time in SwitchTest="},
        {"7;0;1;1;0;100", "Wrong type number in SwitchTest=&quot;7;0;1;1;0;100&quot;"},
        {"2;5;1;1;0;100", "Unknown address for Type=2 in SwitchTest=&quot;2;5;1;1;0;100&quot;"},
        {"0;0x2000;0xF0000000;0x20000000;10;30", "Register value did not match"},
        {"0;0x2000;0xF0000000;0x30000000;100;0", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.values);
        EXPECT_EQ(Run(kHead + "<KoveFactory SwitchTest=\"" + c.values + "\"/>",
                      &CSystem::ProcessKoveFactory),
                  "");
        const std::string reply = system.ReplyText();
        if (*c.error == '\0')
        {
            EXPECT_EQ(system.ReplyAttribute("Result"), "Done") << reply;
            EXPECT_EQ(reply.find("<Errors"), std::string::npos) << reply;
        }
        else
        {
            EXPECT_NE(reply.find(c.error), std::string::npos) << reply;
        }
    }

    // LEDTest takes the mode as it is.
    Run(kHead + "<KoveFactory LEDTest=\"0x81\"/>", &CSystem::ProcessKoveFactory);
    EXPECT_EQ(system.iLedTestMode, 0x81);
}

TEST_F(DiagnosticsUnit, ASecondFactoryDefaultIsRefusedWhileTheFirstRuns)
{
    CTestSystem& system = System();
    system.bFactoryDefaultActive = true;
    EXPECT_THROW(
        {
            try
            {
                system.GetFactorySettingFileName();
            }
            catch (CQTXError& error)
            {
                EXPECT_EQ(error.ErrorText(), "StillActive");
                throw;
            }
        },
        CQTXError);
    system.bFactoryDefaultActive = false;
}
} // namespace
