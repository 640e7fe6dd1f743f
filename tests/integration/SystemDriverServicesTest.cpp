// The hub's services seen from outside, on a simulated device: the front-panel LEDs, hex-switch
// changes pushed to the registered drivers (fake module drivers and the real fiber-optic
// driver), the status record, the application watchdog, named shared memories and the factory
// default at run time.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/inotify.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "FakeHub.h"
#include "FakeModuleDriver.h"
#include "KoveTestSupport.h"
#include "QTX.h"
#include "QTXBinConfig.h"
#include "QTXSystem.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

class SystemDriverServices : public testing::Test
{
protected:
    explicit SystemDriverServices(const std::vector<std::string>& device = {}) : tDevice(device) {}

    void StartHub()
    {
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver");
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
    }

    CReply Request(const std::string& request)
    {
        return SendRequest(62000, request, tDevice.Dir() + "/reply.xml");
    }

    void Register(const std::string& text)
    {
        EXPECT_EQ(Request(kHead + "<RegisterModule Name=\"" + text + "\"/>").sRoot,
                  "RegisterModule");
    }

    bool Registered(int port)
    {
        return Request(kHead + "<Identify/>").Has("<Port>" + std::to_string(port) + "</Port>");
    }

    // The LED words the device showed last, oldest first, as "0x...,0x...".
    std::string Shown() const
    {
        const std::string leds = tDevice.Tool("leds");
        const size_t at = leds.find("shown=");
        return at == std::string::npos ? "" : leds.substr(at + 6);
    }

    std::string Driver(const std::string& name) const
    {
        return tDevice.Path("/Applications/tmp/Driver/" + name + "/");
    }
    std::string Configuration() const
    {
        return tDevice.Path("/Applications/tmp/Driver/Configuration/");
    }

    CSimDevice tDevice;
    std::unique_ptr<CTestProcess> pHub;
};

// LED 1 (3 on, 1 off), LED 2 (0x3000 on, 0x1000 off) as the device showed them in a row.
std::string Words(const std::vector<uint32_t>& words)
{
    std::string text;
    char word[16];
    for (uint32_t value : words)
    {
        snprintf(word, sizeof word, "0x%08X", value);
        text += (text.empty() ? "" : ",") + std::string(word);
    }
    return text;
}

TEST_F(SystemDriverServices, LedsShowARunningAnErroneousAndARestartingDevice)
{
    StartHub();
    const auto shows = [&](const std::vector<uint32_t>& words)
    {
        return WaitFor([&] { return Shown().find(Words(words)) != std::string::npos; },
                       std::chrono::seconds(30));
    };

    // Running: the heartbeat of LED 1 with LED 2 off.
    EXPECT_TRUE(shows({3, 0x1000, 3, 1, 0x1000, 1})) << Shown();

    // A module error: LED 2 blinks with the heartbeat.
    Request(kHead + "<SetModuleError Slot=\"62001\" Error=\"No paths\"/>");
    EXPECT_TRUE(shows({3, 0x3000, 3, 1, 0x1000, 1})) << Shown();

    // An update that ends in a restart: LED 1 blinks fast (the heartbeat never shows 1, 3, 1).
    Request(kHead + "<ClearModuleError Slot=\"62001\"/>");
    Request(kHead + "<SetL1Rate FastBlinking=\"true\"/>");
    EXPECT_TRUE(shows({3, 1, 3, 1})) << Shown();
    Request(kHead + "<SetL1Rate FastBlinking=\"false\"/>");
    EXPECT_TRUE(shows({3, 0x1000, 3, 1, 0x1000, 1})) << Shown();
}

class SystemDriverBusMonitor : public SystemDriverServices
{
protected:
    SystemDriverBusMonitor() : SystemDriverServices({"--family", "PNA"}) {}
};

TEST_F(SystemDriverBusMonitor, TheLedTestSwitchesTheControllersProductionMode)
{
    StartHub();
    const std::string texts = tDevice.Path("/dev/pndrv.texts");
    Request(kHead + "<LEDTest Mode=\"1\"/>");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(texts) == "prodmodeon\n"; })) << ReadFile(texts);
    Request(kHead + "<LEDTest Mode=\"0\"/>");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(texts) == "prodmodeon\nprodmodeoff\n"; }))
        << ReadFile(texts);
    EXPECT_NE(tDevice.Tool("pndrv").find("production-mode=off"), std::string::npos);
}

TEST_F(SystemDriverServices, AHexSwitchChangeReachesEveryRegisteredDriver)
{
    // The routing driver, two module drivers, and the real fiber-optic driver.
    CFakeHub routing(62001);
    CFakeModuleDriver first(1);
    CFakeModuleDriver second(2);
    ASSERT_TRUE(routing.Start() && first.Start() && second.Start());
    StartHub();
    Register("Duf:62001");
    Register("AI:62101");
    Register("AO:62102");
    CTestProcess fiberOptic(tDevice, "fodriver");
    ASSERT_TRUE(fiberOptic.WaitForPort(62002)) << fiberOptic.Output();
    ASSERT_TRUE(WaitFor([&] { return Registered(62002); }, std::chrono::seconds(20)));

    // Unit number 4, switch 1 at 3.
    tDevice.Tool("hex", {"3,4,0,0"});
    const std::string pushed = ";hex=0x34;";
    const auto received = [&](const CFakeHub& driver)
    {
        return WaitFor(
            [&]
            {
                for (const CHubRequest& request : driver.Requests("SetUserConfig"))
                    if (request.Attribute("Value").rfind(pushed, 0) == 0)
                        return true;
                return false;
            },
            std::chrono::seconds(20));
    };
    EXPECT_TRUE(received(first));
    EXPECT_TRUE(received(second));
    EXPECT_TRUE(received(routing));
    // The fiber-optic driver keeps every request it served in its ring of request files.
    EXPECT_TRUE(WaitFor(
        [&]
        {
            for (const auto& entry : std::filesystem::directory_iterator(Driver("fodriver")))
                if (entry.path().filename().string().rfind("Tmp_Slot62002_No", 0) == 0 &&
                    ReadFile(entry.path().string()).find("<SetUserConfig Value=\"" + pushed) !=
                        std::string::npos)
                    return true;
            return false;
        },
        std::chrono::seconds(20)));
    // A change of the sampling period (the fiber-optic driver reports its own) pushes the
    // switches as they are read, before their debounce has ended; the hub takes them into
    // use only after it: six rounds of 250 ms, each of which may first push the setting to
    // every driver, each given 1 s.
    EXPECT_TRUE(WaitFor([&]
                        { return Request(kHead + "<GetUserConfig/>").Has("Value=\"" + pushed); },
                        std::chrono::seconds(20)));
}

class SystemDriverStatusRecord : public SystemDriverServices
{
protected:
    // A device without hardware: the record goes to the device itself.
    SystemDriverStatusRecord() : SystemDriverServices({"--family", "DAQ"}) {}
};

TEST_F(SystemDriverStatusRecord, RecordsTellIdentityModulesAndTheSoftwareModule)
{
    const int peer = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(peer, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(62010);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto receive = [&](std::vector<uint8_t>& record)
    {
        pollfd wait{peer, POLLIN, 0};
        record.assign(64, 0);
        if (poll(&wait, 1, 20000) != 1)
            return false;
        const ssize_t got = recv(peer, record.data(), record.size(), 0);
        record.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return true;
    };
    const auto word = [](const std::vector<uint8_t>& r, size_t at)
    { return r[at] | r[at + 1] << 8 | r[at + 2] << 16 | static_cast<uint32_t>(r[at + 3]) << 24; };

    CFakeHub softwareModule(62201);
    ASSERT_TRUE(softwareModule.Start());
    StartHub();
    std::vector<uint8_t> record;
    ASSERT_TRUE(receive(record));
    ASSERT_EQ(record.size(), 48u);
    EXPECT_EQ(record[0], 'F');
    EXPECT_EQ(record[1], 'L');
    EXPECT_EQ(record[2] | record[3] << 8, 0);

    Register("CPU:62100*52.230010#4711+A1,v1.0.0!0");
    Register("Soft:62201");
    int previous = 0;
    do
    {
        ASSERT_TRUE(receive(record));
        ASSERT_EQ(record.size(), 48u);
        const int sequence = record[2] | record[3] << 8;
        EXPECT_EQ(sequence, previous + 1);
        previous = sequence;
    } while (word(record, 44) == 0 && previous < 10);

    EXPECT_EQ(word(record, 4), 52230010u);
    EXPECT_EQ(word(record, 8), 4711u);
    EXPECT_EQ(record[12], 0);
    EXPECT_EQ(record[13], 1);
    EXPECT_EQ(record[14] | record[15] << 8, 3);
    EXPECT_EQ(word(record, 36), 1u);
    // The software module answered its Ping.
    EXPECT_EQ(word(record, 40), 1u);
    EXPECT_EQ(word(record, 44), 1u);
    EXPECT_GE(softwareModule.Count("Ping"), 1);

    // Drivers that end under other names than their entries carry: the entries stay, but the
    // ports no longer count as present and the software module is no longer pinged.
    for (const char* name : {"Other:62100", "Other:62201"})
        EXPECT_FALSE(Request(kHead + "<RemoveModule Name=\"" + name + "\"/>").Has("<Errors"));
    int records = 0;
    do
        ASSERT_TRUE(receive(record));
    while ((word(record, 36) != 0 || word(record, 44) != 0) && ++records < 5);
    EXPECT_EQ(word(record, 36), 0u);
    EXPECT_EQ(word(record, 40), 0u);
    EXPECT_EQ(word(record, 44), 0u);
    EXPECT_TRUE(Registered(62100));
    EXPECT_TRUE(Registered(62201));
    close(peer);
}

// The start command and the backup destination come over the network: the command runs as its
// words, without a shell, and the rotation removes only the backups the watchdog named itself.
TEST_F(SystemDriverServices, ASilentApplicationIsBackedUpRestartedAndReported)
{
    if (!ProgramsStartProgramsOfTheBuild())
        GTEST_SKIP() << "the hub cannot start a program of this build here (emulated build)";
    StartHub();
    auto application = std::make_unique<CTestProcess>(tDevice, "qtxtestdriver",
                                                      std::vector<std::string>{"-Slot=62240"});
    ASSERT_TRUE(application->WaitForPort(62240)) << application->Output();

    // The start command records its arguments and becomes the application again.
    const std::string started = tDevice.Path("/started.log");
    const std::string start = tDevice.Path("/start.sh");
    std::ofstream(start) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" << started
                         << "'; done\necho -- >> '" << started << "'\nexec '"
                         << BinPath("qtxtestdriver") << "' -Slot=62240 >/dev/null 2>&1\n";
    // The destination holds one earlier backup of the watchdog among files of its owner.
    const std::string destination = tDevice.Path("/victim");
    for (const char* directory : {"/Backup_1000.000", "/Backup_notes", "/sub"})
        std::filesystem::create_directories(destination + directory);
    for (const char* file : {"/precious.txt", "/Backup_notes/a.txt", "/sub/inner.txt"})
        std::ofstream(destination + file) << "keep";
    std::ofstream(tDevice.Path("/backup.sh"))
        << "#!/bin/sh\nmkdir '" << destination << "/'\"$1\"\n";
    for (const char* script : {"/start.sh", "/backup.sh"})
        std::filesystem::permissions(tDevice.Path(script), std::filesystem::perms::owner_all);

    const std::string made = tDevice.Path("/made");
    const CReply reply = Request(kHead +
                                 "<Watchdog><Port>62240</Port><CheckInterval>0.2</CheckInterval>"
                                 "<Timeout>2</Timeout><AppName>TestApp</AppName><AppStartCmd>" +
                                 start + " ran-$((6*7)) &gt; " + made + "; id &gt;&gt; " + made +
                                 "</AppStartCmd><Backup><BackupScript>/backup.sh</BackupScript>"
                                 "<BackupDestination>/victim</BackupDestination>"
                                 "<NumberOfBackups>1</NumberOfBackups></Backup></Watchdog>");
    ASSERT_EQ(reply.sRoot, "Watchdog");
    EXPECT_FALSE(reply.Has("<Errors")) << reply.sText;

    application->Signal(SIGTERM);
    application->WaitExit();
    application.reset();
    const std::string eventLog = tDevice.Path("/tmp/Update/Event.log");
    EXPECT_TRUE(WaitFor(
        [&]
        {
            return ReadFile(eventLog).find(
                       "System.Watchdog] Watchdog for port 62240, application TestApp triggered") !=
                   std::string::npos;
        },
        std::chrono::seconds(30)))
        << ReadFile(eventLog);
    // The start command brought the application back.
    EXPECT_TRUE(WaitFor(
        [&] {
            return SendRequest(62240, kHead + "<Ping/>", tDevice.Dir() + "/ping.xml").sRoot ==
                   "Ping";
        },
        std::chrono::seconds(30)));

    // Its words reached it as they stand: nothing expanded, redirected or run besides.
    EXPECT_EQ(ReadFile(started).substr(0, ReadFile(started).find("--\n") + 3),
              "ran-$((6*7))\n>\n" + made + ";\nid\n>>\n" + made + "\n--\n");
    EXPECT_FALSE(std::filesystem::exists(made));

    // The earlier backup made room for the new one; the owner's files stayed.
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(destination))
        left.push_back(entry.path().string().substr(destination.size()));
    std::sort(left.begin(), left.end());
    ASSERT_EQ(left.size(), 6u) << ::testing::PrintToString(left);
    EXPECT_TRUE(std::regex_match(left[0], std::regex("/Backup_[0-9]+\\.[0-9]{3}"))) << left[0];
    EXPECT_NE(left[0], "/Backup_1000.000");
    EXPECT_EQ(std::vector<std::string>(left.begin() + 1, left.end()),
              (std::vector<std::string>{"/Backup_notes", "/Backup_notes/a.txt", "/precious.txt",
                                        "/sub", "/sub/inner.txt"}));
}

// A listening socket of the test on a loopback port, which takes the hub's pings and answers
// none of them.
class CSilentApplication
{
public:
    explicit CSilentApplication(int port)
    {
        m_iListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_iListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bListening = bind(m_iListener, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
                       listen(m_iListener, 16) == 0;
    }
    ~CSilentApplication()
    {
        if (m_iPing >= 0)
            close(m_iPing);
        close(m_iListener);
    }
    bool Listening() const { return m_bListening; }

    // Takes the next ping's connection; false when none comes in time.
    bool AcceptPing(int timeoutMs)
    {
        pollfd p{m_iListener, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        m_iPing = accept4(m_iListener, nullptr, nullptr, SOCK_CLOEXEC);
        return m_iPing >= 0;
    }
    // Waits until the hub gave the ping up and closed its connection.
    bool WaitPingClosed(int timeoutMs)
    {
        char buffer[512];
        pollfd p{m_iPing, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) > 0)
            if (recv(m_iPing, buffer, sizeof buffer, 0) <= 0)
                return true;
        return false;
    }

private:
    int m_iListener = -1;
    int m_iPing = -1;
    bool m_bListening = false;
};

std::string WatchdogRequest(int port, const std::string& interval, const std::string& timeout,
                            const std::string& name, const std::string& start,
                            const std::string& backup = "")
{
    return kHead + "<Watchdog><Port>" + std::to_string(port) + "</Port><CheckInterval>" + interval +
           "</CheckInterval><Timeout>" + timeout + "</Timeout><AppName>" + name +
           "</AppName><AppStartCmd>" + start + "</AppStartCmd>" + backup + "</Watchdog>";
}

TEST_F(SystemDriverServices, AWatchdogRemovedWhileItsPingWaitsNeverTriggers)
{
    StartHub();
    CSilentApplication removed(62241);
    ASSERT_TRUE(removed.Listening());

    // The watched application keeps backups; one is there already.
    const std::string destination = tDevice.Path("/backups");
    std::filesystem::create_directories(destination + "/Backup_1000.000");
    std::ofstream(tDevice.Path("/backup.sh"))
        << "#!/bin/sh\nmkdir '" << destination << "/'\"$1\"\n";
    std::filesystem::permissions(tDevice.Path("/backup.sh"), std::filesystem::perms::owner_all);
    const std::string startedRemoved = tDevice.Path("/started-removed");
    const std::string startedWitness = tDevice.Path("/started-witness");
    CReply reply = Request(
        WatchdogRequest(62241, "0.1", "1", "Removed", "touch " + startedRemoved,
                        "<Backup><BackupScript>/backup.sh</BackupScript><BackupDestination>/backups"
                        "</BackupDestination><NumberOfBackups>1</NumberOfBackups></Backup>"));
    ASSERT_FALSE(reply.Has("<Errors")) << reply.sText;

    // Its ping waits for an answer that never comes; meanwhile the entry is removed.
    ASSERT_TRUE(removed.AcceptPing(30000));
    reply = Request(WatchdogRequest(62241, "0", "1", "Removed", "touch " + startedRemoved));
    ASSERT_EQ(reply.sRoot, "Watchdog");
    ASSERT_FALSE(reply.Has("<Errors")) << reply.sText;
    // A second application (nothing serves its port), watched from now on, is pinged only after
    // the removed entry's turn is over: its trigger shows that the turn has passed.
    reply = Request(WatchdogRequest(62242, "0.1", "0.2", "Witness", "touch " + startedWitness));
    ASSERT_FALSE(reply.Has("<Errors")) << reply.sText;
    EXPECT_TRUE(removed.WaitPingClosed(30000));
    ASSERT_TRUE(
        WaitFor([&] { return std::filesystem::exists(startedWitness); }, std::chrono::seconds(30)))
        << ReadFile(tDevice.Path("/tmp/Update/Event.log"));

    EXPECT_FALSE(std::filesystem::exists(startedRemoved));
    std::vector<std::string> backups;
    for (const auto& entry : std::filesystem::directory_iterator(destination))
        backups.push_back(entry.path().filename().string());
    EXPECT_EQ(backups, std::vector<std::string>{"Backup_1000.000"});
    const std::string events = ReadFile(tDevice.Path("/tmp/Update/Event.log"));
    EXPECT_EQ(events.find("Watchdog for port 62241"), std::string::npos) << events;
    EXPECT_NE(events.find("Watchdog for port 62242"), std::string::npos) << events;
}

TEST_F(SystemDriverServices, TheWatchdogListIsBoundedAndSoIsWhatAChangeLogs)
{
    StartHub();
    // Texts of the longest length taken; the applications are not pinged within the test.
    const auto watch = [&](int port)
    {
        return Request(WatchdogRequest(port, "3600", "1", "App" + std::string(1020, 'x'),
                                       "/bin/" + std::string(1018, 'x')));
    };
    int port = 63000;
    for (; port < 63064; ++port)
    {
        const CReply reply = watch(port);
        ASSERT_EQ(reply.sRoot, "Watchdog");
        ASSERT_FALSE(reply.Has("<Errors")) << port << "\n" << reply.sText;
    }
    CReply reply = watch(port);
    EXPECT_TRUE(reply.Has("Name=\"TooManyWatchdogs\"")) << reply.sText;

    // A watched port can still be changed and removed, which makes room for another one.
    std::string log;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tDevice.Dir()))
        if (entry.path().filename() == "Slot62000_log.txt")
            log = entry.path().string();
    ASSERT_FALSE(log.empty());
    const auto before = std::filesystem::file_size(log);
    reply = watch(63000);
    EXPECT_FALSE(reply.Has("<Errors")) << reply.sText;
    // The whole list holds more than 256 KB of texts; one change logs a few KB of it.
    EXPECT_LT(std::filesystem::file_size(log) - before, 16384u);
    reply = Request(WatchdogRequest(63001, "0", "1", "App", "/bin/app"));
    EXPECT_FALSE(reply.Has("<Errors")) << reply.sText;
    reply = watch(port);
    EXPECT_FALSE(reply.Has("<Errors")) << reply.sText;
}

TEST_F(SystemDriverServices, NamedSharedMemoriesAreListedForOtherPrograms)
{
    StartHub();
    const auto memory = [&](const std::string& attributes)
    { return Request(kHead + "<NamedSharedMemory " + attributes + "/>"); };
    EXPECT_TRUE(memory("Name=\"b\" Action=\"Allocate\" Size=\"100\"").Has("Result=\"Done\""));
    EXPECT_TRUE(memory("Name=\"a\" Action=\"Allocate\" Size=\"50\"").Has("Result=\"Done\""));
    const CReply unknown = memory("Name=\"c\" Action=\"Free\"");
    EXPECT_TRUE(unknown.Has("Error=\"No named shared memory found with this name\""))
        << unknown.sText;
    EXPECT_TRUE(unknown.Has("Result=\"ERROR\""));

    const std::string directory = ReadFile(tDevice.Path("/dev/shm/MEM_DevMsg_SharedMemoryList"));
    ASSERT_EQ(directory.size(), 4360u);
    EXPECT_EQ(directory[0], 3);
    EXPECT_EQ(directory[4], 2);
    EXPECT_STREQ(directory.c_str() + 8, "a");
    EXPECT_EQ(directory[72], 50);
    EXPECT_STREQ(directory.c_str() + 76, "b");
    EXPECT_EQ(directory[140], 100);
    EXPECT_TRUE(std::filesystem::exists(tDevice.Path("/dev/shm/a")));
}

// The mappings of a process whose file path starts with `path` (removed files too), and the
// bytes of address space they take.
struct SMapped
{
    size_t count = 0;
    unsigned long long bytes = 0;
};
SMapped Mapped(pid_t pid, const std::string& path)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    SMapped mapped;
    for (std::string line; std::getline(maps, line);)
    {
        unsigned long long start = 0;
        unsigned long long end = 0;
        if (line.find(" " + path) == std::string::npos ||
            sscanf(line.c_str(), "%llx-%llx", &start, &end) != 2)
            continue;
        ++mapped.count;
        mapped.bytes += end - start;
    }
    return mapped;
}

TEST_F(SystemDriverServices, AFreedMemoryIsUnmappedAndRemoved)
{
    StartHub();
    const std::string big = tDevice.Path("/dev/shm/big");
    const auto memory = [&](const std::string& action, const std::string& more = "")
    {
        return Request(kHead + "<NamedSharedMemory Name=\"big\" Action=\"" + action + "\" " + more +
                       "/>");
    };
    // Only the directory and the hub's record of held names are mapped at first.
    const std::string objects = tDevice.Path("/dev/shm/");
    ASSERT_EQ(Mapped(pHub->Pid(), objects).count, 2u);
    for (int round = 0; round < 10; ++round)
    {
        ASSERT_TRUE(memory("Allocate", "Size=\"67108864\"").Has("Result=\"Done\"")) << round;
        ASSERT_EQ(Mapped(pHub->Pid(), big).bytes, 67108864u) << round;
        ASSERT_TRUE(memory("Free").Has("Result=\"Done\"")) << round;
        ASSERT_EQ(Mapped(pHub->Pid(), big).count, 0u) << round;
        ASSERT_FALSE(std::filesystem::exists(big)) << round;
    }
    EXPECT_EQ(Mapped(pHub->Pid(), objects).count, 2u);

    // A new Allocate of a held name replaces the hub's mapping; the object and what other
    // programs wrote into it stay.
    ASSERT_TRUE(memory("Allocate", "Size=\"4096\"").Has("Result=\"Done\""));
    {
        std::fstream object(big, std::ios::in | std::ios::out | std::ios::binary);
        object << "kept";
    }
    for (int round = 0; round < 10; ++round)
        ASSERT_TRUE(memory("Allocate", "Size=\"8192\"").Has("Result=\"Done\"")) << round;
    EXPECT_EQ(Mapped(pHub->Pid(), big).count, 1u);
    EXPECT_EQ(Mapped(pHub->Pid(), big).bytes, 8192u);
    EXPECT_EQ(ReadFile(big).substr(0, 4), "kept");
}

TEST_F(SystemDriverServices, TheDirectoryNeverListsItselfAndHeldMemoriesAreBounded)
{
    StartHub();
    const auto memory = [&](const std::string& name, const std::string& action)
    {
        return Request(kHead + "<NamedSharedMemory Name=\"" + name + "\" Action=\"" + action +
                       "\" Size=\"1048576\"/>");
    };
    const std::string list = tDevice.Path("/dev/shm/MEM_DevMsg_SharedMemoryList");
    const CReply own = memory("MEM_DevMsg_SharedMemoryList", "Allocate");
    EXPECT_TRUE(own.Has("Result=\"ERROR\"")) << own.sText;
    EXPECT_TRUE(own.Has("Error=\"Name is reserved for the directory of named shared memories\""))
        << own.sText;
    EXPECT_TRUE(memory("MEM_DevMsg_SharedMemoryList", "Free")
                    .Has("Error=\"No named shared memory found with this name\""));
    EXPECT_TRUE(
        memory("QTXSystem_HeldSharedMemories", "Allocate")
            .Has("Error=\"Name is reserved for the record of held named shared memories\""));
    ASSERT_EQ(ReadFile(list).size(), 4360u);
    EXPECT_EQ(ReadFile(list)[4], 0);

    // 128 memories are held (the first 64 listed); a further name is refused, a held one can
    // still be replaced, and a Free makes room again.
    char name[8];
    for (int i = 0; i < 128; ++i)
    {
        snprintf(name, sizeof name, "m%03d", i);
        ASSERT_TRUE(memory(name, "Allocate").Has("Result=\"Done\"")) << name;
    }
    const CReply past = memory("m128", "Allocate");
    EXPECT_TRUE(past.Has("Result=\"ERROR\"")) << past.sText;
    EXPECT_TRUE(past.Has("Error=\"Too many named shared memories, at most 128 are held\""))
        << past.sText;
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/dev/shm/m128")));
    EXPECT_TRUE(memory("m127", "Allocate").Has("Result=\"Done\""));
    EXPECT_TRUE(memory("m000", "Free").Has("Result=\"Done\""));
    EXPECT_TRUE(memory("m128", "Allocate").Has("Result=\"Done\""));
    const std::string directory = ReadFile(list);
    ASSERT_EQ(directory.size(), 4360u);
    EXPECT_EQ(directory[4], 64);
    EXPECT_STREQ(directory.c_str() + 8, "m001");
}

// Held memories take RAM: each is bounded, and so are all together (a new Allocate of a held
// name takes the place of the old one).
TEST_F(SystemDriverServices, MemoriesAreBoundedInSizeAndInAll)
{
    StartHub();
    const std::string tooLarge =
        "Error=\"Size is larger than 67108864 bytes, the most a named shared memory may take\"";
    const std::string tooMuch =
        "Error=\"Named shared memories would take more than 134217728 bytes together\"";
    const struct
    {
        const char* name;
        const char* action;
        const char* size;
        std::string answer;
    } steps[] = {
        {"a", "Allocate", "67108864", "Result=\"Done\""},
        {"b", "Allocate", "67108865", tooLarge},
        {"b", "Allocate", "1073741824", tooLarge},
        {"b", "Allocate", "67108864", "Result=\"Done\""},
        {"c", "Allocate", "1", tooMuch},
        {"a", "Allocate", "67108864", "Result=\"Done\""},
        {"a", "Free", "", "Result=\"Done\""},
        {"c", "Allocate", "1", "Result=\"Done\""},
    };
    for (const auto& step : steps)
    {
        const CReply reply =
            Request(kHead + "<NamedSharedMemory Name=\"" + step.name + "\" Action=\"" +
                    step.action + "\" Size=\"" + step.size + "\"/>");
        EXPECT_TRUE(reply.Has(step.answer)) << step.name << " " << step.size << "\n" << reply.sText;
        if (step.answer != "Result=\"Done\"")
        {
            EXPECT_TRUE(reply.Has("Result=\"ERROR\"")) << reply.sText;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/dev/shm/a")));
    EXPECT_EQ(std::filesystem::file_size(tDevice.Path("/dev/shm/b")), 67108864u);
    EXPECT_EQ(std::filesystem::file_size(tDevice.Path("/dev/shm/c")), 1u);
}

// Held memories live as long as the hub: one that ends gives them back, and one that starts
// removes what a killed one still held, but never a memory of another program.
TEST_F(SystemDriverServices, HeldMemoriesEndWithTheHub)
{
    const std::string shm = tDevice.Path("/dev/shm/");
    const auto allocate = [&](const std::string& name)
    {
        return Request(kHead + "<NamedSharedMemory Name=\"" + name +
                       "\" Action=\"Allocate\" Size=\"4096\"/>")
            .Has("Result=\"Done\"");
    };
    const auto listed = [&]
    { return static_cast<int>(ReadFile(shm + "MEM_DevMsg_SharedMemoryList").at(4)); };

    StartHub();
    ASSERT_TRUE(allocate("ended1"));
    ASSERT_TRUE(allocate("ended2"));
    pHub->Signal(SIGTERM);
    pHub->WaitExit();
    EXPECT_FALSE(std::filesystem::exists(shm + "ended1"));
    EXPECT_FALSE(std::filesystem::exists(shm + "ended2"));
    EXPECT_EQ(listed(), 0);

    StartHub();
    ASSERT_TRUE(allocate("killed1"));
    ASSERT_TRUE(allocate("killed2"));
    ASSERT_TRUE(allocate("freed"));
    ASSERT_TRUE(Request(kHead + "<NamedSharedMemory Name=\"freed\" Action=\"Free\"/>")
                    .Has("Result=\"Done\""));
    pHub->Signal(SIGKILL);
    pHub->WaitExit();
    ASSERT_TRUE(std::filesystem::exists(shm + "killed1"));
    EXPECT_EQ(listed(), 2);
    // Memories of other programs, one of them of a name the killed hub had freed.
    std::ofstream(shm + "foreign") << "another program's";
    std::ofstream(shm + "freed") << "made again by its program";

    StartHub();
    EXPECT_FALSE(std::filesystem::exists(shm + "killed1"));
    EXPECT_FALSE(std::filesystem::exists(shm + "killed2"));
    EXPECT_EQ(ReadFile(shm + "foreign"), "another program's");
    EXPECT_EQ(ReadFile(shm + "freed"), "made again by its program");
    EXPECT_EQ(listed(), 0);
    // What the new hub holds is its own, and goes when it is killed in turn.
    ASSERT_TRUE(allocate("killed1"));
    pHub->Signal(SIGKILL);
    pHub->WaitExit();
    StartHub();
    EXPECT_FALSE(std::filesystem::exists(shm + "killed1"));
    EXPECT_EQ(ReadFile(shm + "foreign"), "another program's");
}

// The record of held names says which hub owns it. A starting hub removes what the record names
// whenever that hub has ended, even while the ended hub's lock on the record is still held, and
// never while it runs.
TEST_F(SystemDriverServices, AStartingHubCleansWhatAnEndedHubHeldAndNothingOfARunningOne)
{
    const std::string shm = tDevice.Path("/dev/shm/");
    const std::string log = tDevice.Path("/Applications/tmp/Driver/log/Slot62000_log.txt");
    std::filesystem::create_directories(shm);
    SHeldRecordOwner self;
    char state = 0;
    self.iPid = static_cast<int32_t>(getpid());
    ASSERT_TRUE(ReadProcessStart(self.iPid, state, self.uStartTicks));
    // A process that has ended but is not reaped yet.
    const pid_t zombie = fork();
    ASSERT_GE(zombie, 0);
    if (zombie == 0)
        _exit(0);
    SHeldRecordOwner ended;
    ended.iPid = static_cast<int32_t>(zombie);
    ASSERT_TRUE(WaitFor(
        [&] { return ReadProcessStart(ended.iPid, state, ended.uStartTicks) && state == 'Z'; }));
    SHeldRecordOwner reused = self;
    reused.uStartTicks += 1;

    const struct
    {
        const char* what;
        SHeldRecordOwner owner;
        bool lockOutlastsOwner;
        bool removed;
    } cases[] = {
        {"owner runs", self, false, false},
        {"owner's number taken by another process", reused, false, true},
        {"owner is a zombie", ended, false, true},
        {"owner is a zombie whose lock is still held", ended, true, true},
        {"no owner, as an earlier hub left the record", SHeldRecordOwner(), false, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::string record(
            SYSTEM_SHM_MAX_HELD * SYSTEM_SHM_HELD_SLOT_BYTES + SYSTEM_SHM_HELD_OWNER_BYTES, '\0');
        record.replace(SYSTEM_SHM_HELD_SLOT_BYTES, 4, "left");
        unsigned char* owner = reinterpret_cast<unsigned char*>(
            &record[SYSTEM_SHM_MAX_HELD * SYSTEM_SHM_HELD_SLOT_BYTES]);
        QtxBinPutU32(owner, static_cast<uint32_t>(c.owner.iPid));
        QtxBinPutU32(owner + 4, static_cast<uint32_t>(c.owner.uStartTicks));
        QtxBinPutU32(owner + 8, static_cast<uint32_t>(c.owner.uStartTicks >> 32));
        std::ofstream(shm + SYSTEM_SHM_HELD_RECORD_NAME, std::ios::binary) << record;
        std::ofstream(shm + "left") << "the hub's";
        std::ofstream(shm + "foreign") << "another program's";

        const int lock = open((shm + SYSTEM_SHM_HELD_RECORD_NAME).c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(lock, 0);
        if (c.lockOutlastsOwner)
        {
            ASSERT_EQ(flock(lock, LOCK_SH), 0);
        }
        const size_t logged = ReadFile(log).size();
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver");
        if (c.lockOutlastsOwner)
        {
            EXPECT_TRUE(WaitFor(
                [&] {
                    return ReadFile(log).find("waiting for its lock", logged) != std::string::npos;
                }))
                << ReadFile(log);
        }
        close(lock);
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
        EXPECT_EQ(std::filesystem::exists(shm + "left"), !c.removed);
        EXPECT_EQ(ReadFile(shm + "foreign"), "another program's");
        pHub->Signal(SIGKILL);
        pHub->WaitExit();
    }
    waitpid(zombie, nullptr, 0);
}

// A Store cut short by the end of the hub leaves its fresh file, which the next start removes;
// the files that Stores completed stay.
TEST_F(SystemDriverServices, AStoreCutShortLeavesNothingAfterARestart)
{
    const std::string folder = Driver("systemdriver") + "SharedMemory/";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "kept.bin") << "stored before";
    std::ofstream(folder + "kept.bin.Ab12Cd") << "a file of that name";
    StartHub();
    ASSERT_TRUE(Request(kHead + "<NamedSharedMemory Name=\"big\" Action=\"Allocate\" "
                                "Size=\"67108864\"/>")
                    .Has("Result=\"Done\""));

    // The hub is killed as soon as the Store has made its fresh file.
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, folder.c_str(), IN_CREATE), 0);
    auto store = std::async(std::launch::async,
                            [this]
                            {
                                return Request(kHead + "<NamedSharedMemory Name=\"big\" "
                                                       "Action=\"Store\" Filename=\"big.bin\"/>");
                            });
    std::string fresh;
    alignas(inotify_event) char events[4096];
    pollfd ready{watch, POLLIN, 0};
    while (fresh.empty() && poll(&ready, 1, 20000) == 1)
    {
        const ssize_t length = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < length;)
        {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len > 0)
                fresh = event->name;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    close(watch);
    pHub->Signal(SIGKILL);
    pHub->WaitExit();
    store.get();
    ASSERT_EQ(fresh.compare(0, 8, "..Store."), 0) << fresh;
    // A Store that was quicker than the signal left no fresh file; the test puts back what it
    // would have left.
    if (!std::filesystem::exists(folder + fresh))
        std::ofstream(folder + fresh) << "cut short";

    StartHub();
    EXPECT_FALSE(std::filesystem::exists(folder + fresh));
    EXPECT_EQ(ReadFile(folder + "kept.bin"), "stored before");
    EXPECT_EQ(ReadFile(folder + "kept.bin.Ab12Cd"), "a file of that name");
}

TEST_F(SystemDriverServices, StoreWritesOnlyPlainNamesIntoItsOwnFolder)
{
    // Files of another driver and of the configuration that Store must never reach.
    const std::string foreign = Driver("fodriver") + "Tmp_Slot62002_No3.xml";
    const std::string outside = tDevice.Path("/outside");
    std::filesystem::create_directories(Driver("fodriver"));
    std::filesystem::create_directories(Driver("systemdriver") + "SharedMemory");
    std::ofstream(foreign) << "fodriver's";
    std::ofstream(outside) << "outside";
    // A link planted in the folder is replaced, not written through.
    std::filesystem::create_symlink(outside, Driver("systemdriver") + "SharedMemory/link.bin");
    StartHub();
    ASSERT_TRUE(Request(kHead + "<NamedSharedMemory Name=\"m\" Action=\"Allocate\" Size=\"16\"/>")
                    .Has("Result=\"Done\""));
    {
        std::fstream object(tDevice.Path("/dev/shm/m"),
                            std::ios::in | std::ios::out | std::ios::binary);
        object << "0123456789abcdef";
    }

    const std::string refused =
        "Error=\"Filename must be a plain file name without &quot;/&quot; or &quot;..&quot;\"";
    const struct
    {
        std::string file;
        std::string answer;
    } cases[] = {
        {"/Applications/tmp/Driver/fodriver/Tmp_Slot62002_No3.xml", refused},
        {"../Configuration/Config.xml.evil", refused},
        {"../../../outside", refused},
        {"..", refused},
        {"sub/dump.bin", refused},
        {".", "Error=\"Filename must name a file, not the folder &quot;.&quot;\""},
        {std::string(256, 'f'), "Error=\"Filename is longer than 255 bytes\""},
        {"dump.bin", "Result=\"Done\""},
        {"link.bin", "Result=\"Done\""},
        // Names up to the longest a file may have.
        {std::string(249, 'f'), "Result=\"Done\""},
        {std::string(255, 'f'), "Result=\"Done\""},
    };
    for (const auto& c : cases)
    {
        const CReply reply = Request(kHead + "<NamedSharedMemory Name=\"m\" Action=\"Store\" " +
                                     "Filename=\"" + c.file + "\"/>");
        EXPECT_TRUE(reply.Has(c.answer)) << c.file << "\n" << reply.sText;
        if (c.answer != "Result=\"Done\"")
        {
            EXPECT_TRUE(reply.Has("Result=\"ERROR\"")) << c.file;
        }
    }
    EXPECT_EQ(ReadFile(Driver("systemdriver") + "SharedMemory/" + std::string(255, 'f')),
              "0123456789abcdef");
    EXPECT_EQ(ReadFile(foreign), "fodriver's");
    EXPECT_EQ(ReadFile(outside), "outside");
    EXPECT_FALSE(std::filesystem::exists(Configuration() + "Config.xml.evil"));
    EXPECT_FALSE(std::filesystem::exists(Driver("systemdriver") + "SharedMemory/sub"));
    EXPECT_EQ(ReadFile(Driver("systemdriver") + "SharedMemory/dump.bin"), "0123456789abcdef");
    EXPECT_FALSE(std::filesystem::is_symlink(Driver("systemdriver") + "SharedMemory/link.bin"));
    EXPECT_EQ(ReadFile(Driver("systemdriver") + "SharedMemory/link.bin"), "0123456789abcdef");
}

// A Store is refused while it would leave the file system of its folder short of room (here a
// small one of 24 MiB, which keeps 16 MiB free), and says why; what fits is stored.
TEST_F(SystemDriverServices, AStoreThatWouldFillItsFolderIsRefused)
{
    const std::string folder = Driver("systemdriver") + "SharedMemory/";
    CSmallFileSystem small(folder, 24u << 20);
    if (!small.Usable())
        GTEST_SKIP() << small.Why();
    StartHub();
    ASSERT_TRUE(Request(kHead + "<NamedSharedMemory Name=\"m\" Action=\"Allocate\" "
                                "Size=\"3145728\"/>")
                    .Has("Result=\"Done\""));
    const auto store = [&](const std::string& file)
    {
        return Request(kHead + "<NamedSharedMemory Name=\"m\" Action=\"Store\" Filename=\"" + file +
                       "\"/>");
    };
    EXPECT_TRUE(store("1.bin").Has("Result=\"Done\""));
    EXPECT_TRUE(store("2.bin").Has("Result=\"Done\""));
    const CReply refused = store("3.bin");
    EXPECT_TRUE(refused.Has("Result=\"ERROR\"")) << refused.sText;
    EXPECT_TRUE(std::regex_search(refused.sText,
                                  std::regex("Error=\"Not enough room for the file: a Store of "
                                             "3145728 bytes must leave 16777216 bytes free, and "
                                             "[0-9]+ bytes are free\"")))
        << refused.sText;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"1.bin", "2.bin"}));
    EXPECT_EQ(std::filesystem::file_size(folder + "2.bin"), 3145728u);
}

// Every refusal of a held memory names its reason, also where the memory cannot be made.
TEST_F(SystemDriverServices, ARefusedMemoryNamesItsReason)
{
    std::filesystem::create_directories(tDevice.Path("/dev/shm/taken"));
    StartHub();
    const struct
    {
        const char* name;
        const char* answer;
    } cases[] = {
        {".", "Error=\"Name must name a memory, not the folder &quot;.&quot;\""},
        {"taken", "Error=\"Can not make the named shared memory: Is a directory\""},
    };
    for (const auto& c : cases)
    {
        const CReply reply = Request(kHead + "<NamedSharedMemory Name=\"" + c.name +
                                     "\" Action=\"Allocate\" Size=\"4096\"/>");
        EXPECT_TRUE(reply.Has(c.answer)) << c.name << "\n" << reply.sText;
        EXPECT_TRUE(reply.Has("Result=\"ERROR\"")) << c.name;
    }
    EXPECT_TRUE(std::filesystem::is_directory(tDevice.Path("/dev/shm/taken")));
    EXPECT_EQ(ReadFile(tDevice.Path("/dev/shm/MEM_DevMsg_SharedMemoryList")).at(4), 0);
}

// A module error text is kept up to a bound, cut at a character's start, so that the
// Diagnostic reply of all ten error slots stays small enough for every client.
TEST_F(SystemDriverServices, LongModuleErrorsAreCutAndDiagnosticStillAnswers)
{
    StartHub();
    // The bound falls on the second byte of a three-byte character.
    const std::string kept(SYSTEM_MODULE_ERROR_TEXT_BYTES - 1, 'e');
    const std::string text = kept + "\xE6\x97\xA5" + std::string(64u << 10, 'x');
    const int ports[] = {62000, 62001, 62002, 62100, 62101, 62102, 62103, 62104, 62201, 62300};
    for (int port : ports)
        ASSERT_EQ(Request(kHead + "<SetModuleError Slot=\"" + std::to_string(port) + "\" Error=\"" +
                          text + "\"/>")
                      .sRoot,
                  "SetModuleError")
            << port;
    const CReply diagnostic = Request(kHead + "<Diagnostic/>");
    EXPECT_FALSE(diagnostic.Has("ReplyTooLong")) << diagnostic.sText.substr(0, 1000);
    EXPECT_EQ(CountOf(diagnostic.sText, "Text=\"" + kept + "\""), 10u);
    EXPECT_TRUE(
        diagnostic.Has("<Error Name=\"Unknown\" Text=\"" + kept + "\" Location=\"Unknown\""));
    EXPECT_LT(diagnostic.sText.size(), 20000u);
}

// What a driver asks through the framework, answered by the real hub.
TEST_F(SystemDriverServices, TheFrameworksMemoryRequestsAreAnsweredByTheHub)
{
    StartHub();
    kovetest::CTempDir root;
    const std::string savedRoot = sQTXRootDirectory;
    sQTXRootDirectory = root.Path() + "/";
    EXPECT_TRUE(AllocateQTXNamedSharedMemory("client", 64));
    EXPECT_FALSE(StoreQTXNamedSharedMemoryToFile("client", Configuration().c_str()));
    EXPECT_FALSE(StoreQTXNamedSharedMemoryToFile("client", "../client.bin"));
    EXPECT_TRUE(StoreQTXNamedSharedMemoryToFile("client", "client.bin"));
    FreeQTXNamedSharedMemory("client");
    sQTXRootDirectory = savedRoot;
    EXPECT_EQ(ReadFile(Driver("systemdriver") + "SharedMemory/client.bin"), std::string(64, '\0'));
    EXPECT_FALSE(std::filesystem::exists(Driver("systemdriver") + "client.bin"));
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/dev/shm/client")));
}

class SystemDriverFactoryDefault : public SystemDriverServices
{
protected:
    static std::string Document(const std::string& marker)
    {
        return kHead + "<Module Name=\"System\"><Properties><Property Name=\"Marker\" Value=\"" +
               marker + "\"/></Properties></Module>\n";
    }

    // Configurations of the hub and of a module driver; the hub's factory defaults unless
    // `factoryDefaults` is null.
    void Prepare(const char* factoryDefaults)
    {
        std::filesystem::create_directories(Configuration());
        std::filesystem::create_directories(Driver("systemdriver"));
        std::ofstream(Configuration() + "Config_62000_System.xml") << Document("old");
        std::ofstream(Configuration() + "Config_62101_AI.xml") << "old AI";
        if (factoryDefaults != nullptr)
            std::ofstream(Driver("systemdriver") + "FactoryDefault.xml") << factoryDefaults;
    }
};

TEST_F(SystemDriverFactoryDefault, TheAnswerComesOnceTheDefaultsAreInPlace)
{
    // With factory defaults of the hub, and without (as on every device the project sets up):
    // missing factory files are skipped, the rest of the device is reset all the same.
    const std::string factory = Document("factory");
    for (const char* defaults : {factory.c_str(), static_cast<const char*>(nullptr)})
    {
        SCOPED_TRACE(defaults == nullptr ? "no factory defaults" : "factory defaults");
        Prepare(defaults);
        if (defaults == nullptr)
            std::filesystem::remove(Driver("systemdriver") + "FactoryDefault.xml");
        {
            // The data partition erased again where the record starts.
            std::fstream flash(tDevice.Path("/dev/mtd_data"),
                               std::ios::in | std::ios::out | std::ios::binary);
            flash << "\xFF\xFF\xFF\xFF";
        }
        CFakeModuleDriver module(1);
        ASSERT_TRUE(module.Start());
        StartHub();
        Register("AI:62101");

        const CReply reply = Request(kHead + "<FactorySettings/>");
        EXPECT_EQ(reply.sRoot, "FactorySettings");
        EXPECT_FALSE(reply.Has("<Errors")) << reply.sText;
        // Everything is done when the answer comes: the hub's defaults, the other drivers
        // told, the other configurations gone, the directory in flash.
        const std::string hub = ReadFile(Configuration() + "Config_62000_System.xml");
        if (defaults != nullptr)
            EXPECT_NE(hub.find("Value=\"factory\""), std::string::npos) << hub;
        else
            EXPECT_FALSE(std::filesystem::exists(Configuration() + "Config_62000_System.xml"));
        EXPECT_FALSE(std::filesystem::exists(Configuration() + "Config_62101_AI.xml"));
        EXPECT_EQ(module.Count("FactorySettings"), 1);
        EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_data")).substr(0, 4), "KCFG");
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(Configuration() + ".."))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(std::count(left.begin(), left.end(), "Configuration.before-factory-default"), 0);
        EXPECT_TRUE(Registered(62101));
        pHub.reset();
    }
}

TEST_F(SystemDriverFactoryDefault, AResetThatCannotBeDoneLeavesTheConfigurationAlone)
{
    Prepare("not a configuration");
    CFakeModuleDriver module(1);
    ASSERT_TRUE(module.Start());
    StartHub();
    Register("AI:62101");

    const CReply reply = Request(kHead + "<FactorySettings/>");
    EXPECT_TRUE(reply.Has("Name=\"WrongFactoryDefault\"")) << reply.sText;
    // The error names its source by the unit, not by where the program was built.
    EXPECT_TRUE(reply.Has("Location=\"(file ./QTXSystemDiagnostics, line ")) << reply.sText;
    EXPECT_NE(ReadFile(Configuration() + "Config_62000_System.xml").find("Value=\"old\""),
              std::string::npos);
    EXPECT_EQ(ReadFile(Configuration() + "Config_62101_AI.xml"), "old AI");
    EXPECT_EQ(module.Count("FactorySettings"), 0);
}
} // namespace
