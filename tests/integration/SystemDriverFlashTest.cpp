// The hub's configuration in flash, seen from outside: systemdriver on a simulated device stores
// the configuration directory as the record "KCFG" of "/dev/mtd_data", and its start-up run at
// the device's boot restores it; on hardware family 2 that run restores the compatibility list
// from "/dev/mtd_update".
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "RequestClient.h"
#include "TarImage.h"

using namespace kovetest;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";
const std::string kConfig = "/Applications/tmp/Driver/Configuration/";

void Write(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// Writes bytes at the start of a partition file, keeping its size.
void WriteAtStart(const std::string& path, const std::string& data)
{
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Record(const char* tag, const std::string& data, uint32_t length)
{
    std::string head(tag, 4);
    head.append(4, '\0');
    for (int i = 0; i < 4; ++i)
        head += static_cast<char>((length >> (8 * i)) & 0xFF);
    return head + data;
}

std::string Record(const char* tag, const std::string& data)
{
    return Record(tag, data, static_cast<uint32_t>(data.size()));
}

// The contents of a file compressed with a tool ("gzip" or "zip").
std::string Packed(const CTempDir& work, const std::string& name, const std::string& data, bool zip)
{
    const std::string path = work.Path() + "/" + name;
    Write(path, data);
    if (zip)
        EXPECT_EQ(
            RunCommand({"/bin/sh", "-c",
                        "cd '" + work.Path() + "' && zip -q '" + name + ".zip' '" + name + "'"}),
            0);
    else
        EXPECT_EQ(RunCommand({"/usr/bin/env", "gzip", "-f", path}), 0);
    return ReadFile(path + (zip ? ".zip" : ".gz"));
}

class SystemDriverFlash : public testing::Test
{
protected:
    explicit SystemDriverFlash(const std::vector<std::string>& createArgs = {})
        : tDevice(createArgs)
    {
    }

    void StartHub()
    {
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver");
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
    }

    // The device's boot: the start-up run, which restores the configuration and ends, then the
    // resident hub.
    void Boot()
    {
        std::string output;
        EXPECT_TRUE(RunHubStartup(tDevice, &output)) << output;
        StartHub();
    }

    void StopHub()
    {
        pHub->Signal(SIGTERM);
        pHub->WaitExit();
        pHub.reset();
    }

    CReply Request(const std::string& request)
    {
        return SendRequest(62000, request, tDevice.Dir() + "/reply.xml");
    }

    std::string Partition() const { return ReadFile(tDevice.Path("/dev/mtd_data")); }
    std::string Log() const
    {
        return ReadFile(tDevice.Path("/Applications/tmp/Driver/log/Slot62000_log.txt"));
    }

    CSimDevice tDevice;
    std::unique_ptr<CTestProcess> pHub;
};

TEST_F(SystemDriverFlash, StoredConfigurationComesBackIntoAnEmptyDirectory)
{
    // An erased partition restores nothing, and the hub starts all the same.
    StartHub();
    const std::string dir = tDevice.Path(kConfig);
    Write(dir + "Config_62001_Duf.xml", "<Module Name=\"Duf\"/>\n");
    Write(dir + "fo.cfg", "speed=2\n");
    Write(dir + "post.sh", "echo done\n");
    Write(dir + "notes.txt", "stays in RAM\n");
    // Names of 100 bytes and more go into the archive as long names, up to the longest a file
    // may have.
    const std::string longNames[] = {std::string(96, 'h') + ".xml", std::string(251, 'l') + ".cfg"};
    for (const std::string& name : longNames)
        Write(dir + name, name.substr(90));

    CReply reply = Request(kHead + "<StoreConfiguration/>");
    EXPECT_TRUE(reply.Has("Status=\"Done\"")) << reply.sText;
    EXPECT_EQ(Partition().substr(0, 8), std::string("KCFG\0\0\0\0", 8));
    EXPECT_FALSE(std::filesystem::exists(dir + "Config.tar.gz"));
    StopHub();

    for (const auto& entry : std::filesystem::directory_iterator(dir))
        std::filesystem::remove(entry.path());
    Boot();
    EXPECT_EQ(ReadFile(dir + "Config_62001_Duf.xml"), "<Module Name=\"Duf\"/>\n");
    EXPECT_EQ(ReadFile(dir + "fo.cfg"), "speed=2\n");
    EXPECT_EQ(ReadFile(dir + "post.sh"), "echo done\n");
    for (const std::string& name : longNames)
        EXPECT_EQ(ReadFile(dir + name), name.substr(90)) << name.size();
    EXPECT_FALSE(std::filesystem::exists(dir + "notes.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir + "Config.tar"));
    EXPECT_NE(Log().find("Configuration restored from flash"), std::string::npos) << Log();
}

// The configuration comes back from flash in the boot's start-up run only. The resident hub
// works with the files it finds, also with none: it never puts stored files back over what was
// removed while the device ran.
TEST_F(SystemDriverFlash, OnlyTheStartupRunRestores)
{
    CTempDir work;
    const std::string dir = tDevice.Path(kConfig);
    WriteAtStart(tDevice.Path("/dev/mtd_data"),
                 Record("KCFG", Packed(work, "Config.tar", TarImage({{"a.xml", "<A/>"}}), false)));
    StartHub();
    StopHub();
    EXPECT_FALSE(std::filesystem::exists(dir + "a.xml"));
    EXPECT_EQ(Log().find("Configuration restored from flash"), std::string::npos) << Log();

    std::string output;
    ASSERT_TRUE(RunHubStartup(tDevice, &output)) << output;
    EXPECT_EQ(ReadFile(dir + "a.xml"), "<A/>");
    EXPECT_NE(Log().find("Configuration restored from flash"), std::string::npos) << Log();
    EXPECT_FALSE(ReadFile(tDevice.Path("/tmp/DeviceName")).empty());
}

TEST_F(SystemDriverFlash, FailedStoresKeepTheOldRecord)
{
    StartHub();
    const std::string dir = tDevice.Path(kConfig);
    Write(dir + "small.xml", "<Small/>\n");
    ASSERT_TRUE(Request(kHead + "<StoreConfiguration/>").Has("Status=\"Done\""));
    const std::string stored = Partition();

    // Data that does not compress makes an archive too large for the record.
    std::mt19937 random(7);
    std::string noise(400000, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    Write(dir + "big.cfg", noise);
    CReply reply = Request(kHead + "<StoreConfiguration/>");
    EXPECT_TRUE(reply.Has("Status=\"ERROR\"")) << reply.sText;
    EXPECT_TRUE(reply.Has("Name=\"CanNotStoreConfiguration\"")) << reply.sText;
    EXPECT_EQ(Partition(), stored);
    EXPECT_FALSE(std::filesystem::exists(dir + "Config.tar.gz"));
    std::filesystem::remove(dir + "big.cfg");

    // A write that fails is a failed store.
    Write(dir + "other.xml", "<Other/>\n");
    tDevice.Tool("flash", {"data", "fail"});
    reply = Request(kHead + "<StoreConfiguration/>");
    EXPECT_TRUE(reply.Has("Status=\"ERROR\"")) << reply.sText;
    EXPECT_EQ(Partition(), stored);
    EXPECT_NE(Log().find("writing /dev/mtd_data failed"), std::string::npos) << Log();
}

TEST_F(SystemDriverFlash, RecordThatLeavesTheDirectoryIsNotRestored)
{
    CTempDir work;
    const std::string archive =
        Packed(work, "Config.tar",
               TarImage({{"fine.xml", "<Fine/>"}, {"../../escape.sh", "echo out"}}), false);
    WriteAtStart(tDevice.Path("/dev/mtd_data"), Record("KCFG", archive));
    Boot();
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path(kConfig) + "fine.xml"));
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/Applications/tmp/escape.sh")));
    EXPECT_NE(Log().find("ERROR: Can not restore configuration (#0)"), std::string::npos) << Log();

    // A length outside the record's bounds restores nothing either.
    StopHub();
    WriteAtStart(tDevice.Path("/dev/mtd_data"), Record("KCFG", archive, 0x50000));
    Boot();
    EXPECT_NE(Log().find("ERROR: Can not restore configuration (#4)"), std::string::npos) << Log();
}

TEST_F(SystemDriverFlash, RestoreIsBoundedAndTakesNoSetIdBits)
{
    CTempDir work;
    const std::string dir = tDevice.Path(kConfig);
    const struct
    {
        const char* what;
        std::vector<CTarMember> members;
        bool restored;
        const char* log;
    } cases[] = {
        // About 17 KB in flash, more than 16 MiB unpacked.
        {"bomb",
         {{"a.xml", "<A/>"}, {"big.xml", std::string((16u << 20) + 1, ' ')}},
         false,
         "ERROR: Can not restore configuration (#0): the configuration archive uncompresses to "
         "more than 16777216 bytes"},
        {"set-ID bits",
         {{"run.sh", "echo run", '0', "", 04755}, {"a.xml", "<A/>", '0', "", 02644}},
         true,
         "Configuration restored from flash"},
        // pax form: the names of the extended headers are the ones tar unpacks to.
        {"pax",
         {{"PaxHeaders/r", PaxRecords({{"path", "run.sh"}, {"mtime", "1.5"}}), 'x'},
          {"header-run.sh", "echo run", '0', "", 04755},
          {"PaxHeaders/a", PaxRecords({{"path", "a.xml"}}), 'x'},
          {"header-a.xml", "<A/>", '0', "", 02644}},
         true,
         "Configuration restored from flash"},
        {"pax leaving the directory",
         {{"a.xml", "<A/>"},
          {"PaxHeaders/e", PaxRecords({{"path", "../../escape.sh"}}), 'x'},
          {"escape.sh", "echo out"}},
         false,
         "member \"../../escape.sh\" would leave the configuration directory"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string archive = Packed(work, "Config.tar", TarImage(c.members), false);
        ASSERT_LE(archive.size(), 0x4FFFFu);
        WriteAtStart(tDevice.Path("/dev/mtd_data"), Record("KCFG", archive));
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            std::filesystem::remove_all(entry.path());
        const size_t logged = Log().size();
        Boot();
        EXPECT_NE(Log().find(c.log, logged), std::string::npos) << Log();
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        StopHub();
        if (!c.restored)
        {
            // Nothing of the archive, and no work file, is left in the directory.
            EXPECT_EQ(names, std::vector<std::string>{});
            continue;
        }
        EXPECT_EQ(names, (std::vector<std::string>{"a.xml", "run.sh"}));
        EXPECT_EQ(std::filesystem::status(dir + "run.sh").permissions(),
                  std::filesystem::perms(0755));
        EXPECT_EQ(std::filesystem::status(dir + "a.xml").permissions(),
                  std::filesystem::perms(0644));
    }
}

// Archives as GNU tar writes them, in every form an earlier store or a person with tar may have
// made: short names in ustar form, long names in GNU and pax form, and the whole directory with
// its own "./" entry. The archives name an owner that is not the hub's: the files come out as
// the hub's own all the same.
TEST_F(SystemDriverFlash, EveryFormOfTarComesBackAsTheHubsFiles)
{
    const std::string dir = tDevice.Path(kConfig);
    const std::vector<std::string> shortNames = {"Config_62001_Duf.xml", "post.sh"};
    std::vector<std::string> longNames = shortNames;
    for (size_t length : {100, 180, 255})
        longNames.push_back(std::string(length - 4, 'n') + ".xml");
    // Two names for each of two files (names of one length are one file), packed as tar packs
    // them unless told otherwise: the second name as a hard link member.
    const std::vector<std::string> linkedNames = {"Config_62001_Duf.xml", "Config_62001_Old.xml",
                                                  std::string(176, 'n') + ".xml",
                                                  std::string(176, 'm') + ".xml"};
    const struct
    {
        const char* what;
        std::vector<std::string> options;
        const std::vector<std::string>& names;
        bool wholeFolder; // "tar -C dir -czf x ."
        bool linked;      // names of one length are one file
    } cases[] = {
        {"ustar", {"--format=ustar"}, shortNames, false, false},
        {"GNU long names", {"--format=gnu"}, longNames, false, false},
        {"pax", {"--format=pax"}, longNames, false, false},
        {"the whole folder", {}, longNames, true, false},
        {"hard links, GNU", {"--format=gnu"}, linkedNames, false, true},
        {"hard links, pax", {"--format=pax"}, linkedNames, false, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CTempDir work;
        const std::string source = work.Path() + "/source";
        std::filesystem::create_directories(source);
        std::map<size_t, std::string> first;
        for (const std::string& name : c.names)
        {
            if (c.linked && first.count(name.size()) != 0)
            {
                ASSERT_EQ(link((source + "/" + first[name.size()]).c_str(),
                               (source + "/" + name).c_str()),
                          0);
            }
            else
                Write(source + "/" + name, "<" + std::to_string(name.size()) + "/>");
            first.emplace(name.size(), name);
        }
        std::vector<std::string> command = {"/usr/bin/env", "tar"};
        command.insert(command.end(), c.options.begin(), c.options.end());
        for (const char* option : {"--owner=4321", "--group=4321", "--numeric-owner", "-C"})
            command.push_back(option);
        command.push_back(source);
        command.push_back("-czf");
        command.push_back(work.Path() + "/Config.tar.gz");
        if (c.wholeFolder)
            command.push_back(".");
        else
            command.insert(command.end(), c.names.begin(), c.names.end());
        ASSERT_EQ(RunCommand(command), 0);
        WriteAtStart(tDevice.Path("/dev/mtd_data"),
                     Record("KCFG", ReadFile(work.Path() + "/Config.tar.gz")));
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            std::filesystem::remove_all(entry.path());

        std::string output;
        EXPECT_TRUE(RunHubStartup(tDevice, &output)) << output;
        std::vector<std::string> restored;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
        {
            restored.push_back(entry.path().filename().string());
            struct stat st;
            ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, geteuid()) << restored.back();
            EXPECT_EQ(ReadFile(entry.path()), "<" + std::to_string(restored.back().size()) + "/>");
        }
        std::sort(restored.begin(), restored.end());
        std::vector<std::string> expected = c.names;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(restored, expected) << Log();
    }
}

// A restore that cannot put every file in place puts none there: a file of the archive whose
// place a folder takes keeps the others from replacing what is there.
TEST_F(SystemDriverFlash, ARestoreThatCannotFinishLeavesTheDirectoryAsItWas)
{
    CTempDir work;
    const std::string dir = tDevice.Path(kConfig);
    const std::string archive =
        Packed(work, "Config.tar",
               TarImage({{"a.xml", "<New/>"}, {"m.xml", "<M/>"}, {"z.xml", "<Z/>"}}), false);
    WriteAtStart(tDevice.Path("/dev/mtd_data"), Record("KCFG", archive));
    std::filesystem::create_directories(dir + "z.xml");
    Write(dir + "a.xml", "<Old/>");
    // A start-up run restores whatever the directory holds, and ends.
    CTestProcess hub(tDevice, "systemdriver", {"-Startup=" + tDevice.Path("/name")});
    const int status = hub.WaitExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << hub.Output();
    EXPECT_EQ(ReadFile(dir + "a.xml"), "<Old/>");
    EXPECT_FALSE(std::filesystem::exists(dir + "m.xml"));
    EXPECT_TRUE(std::filesystem::is_directory(dir + "z.xml"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.xml", "z.xml"}));
    EXPECT_NE(Log().find("ERROR: Can not restore configuration (#0): \"z.xml\" is a folder in the "
                         "configuration directory"),
              std::string::npos)
        << Log();
}

class SystemDriverFlashFamily2 : public SystemDriverFlash
{
protected:
    SystemDriverFlashFamily2() : SystemDriverFlash({"--family", "0x00880000"}) {}
};

TEST_F(SystemDriverFlashFamily2, CompatibilityListFirstOrBehindTheResultRecord)
{
    CTempDir work;
    const std::string list = "<Compatibility><OverallRelease><Version>2</Version>"
                             "</OverallRelease></Compatibility>\n";
    const std::string zip = Packed(work, "Compatibility.xml", list, true);
    const std::string config = Packed(work, "Config.tar", TarImage({{"a.xml", "<A/>"}}), false);
    const std::string comb = Record("COMB", zip);
    std::string frepData(16, '\0');
    frepData[0] = 40; // the next record begins 40 bytes after the start of this one
    const std::string frep = Record("FREP", frepData) + std::string(40 - 28, '\x55');

    for (const std::string& update : {comb, frep + comb})
    {
        SCOPED_TRACE(update.substr(0, 4));
        CSimDevice device({"--family", "0x00880000"});
        WriteAtStart(device.Path("/dev/mtd_data"), Record("KCFG", config));
        WriteAtStart(device.Path("/dev/mtd_update"), update);
        CTestProcess hub(device, "systemdriver", {"-Startup=" + device.Path("/name")});
        const int status = hub.WaitExit();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << hub.Output();
        EXPECT_EQ(ReadFile(device.Path("/tmp/Compatibility.xml")), list) << hub.Output();
        EXPECT_FALSE(std::filesystem::exists(device.Path("/tmp/Compatibility.xml.zip")));
        EXPECT_EQ(ReadFile(device.Path(kConfig + "a.xml")), "<A/>");
    }
}
} // namespace
