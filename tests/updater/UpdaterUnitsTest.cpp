// The updater's units: command line, target description, control document, CRC, paths,
// version texts, the zip archive and the records of the update partitions.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "QTXFlashRecord.h"
#include "QTXUpdate.h"
#include "UpdateArchive.h"
#include "UpdateCommandLine.h"
#include "UpdateControl.h"
#include "UpdateFiles.h"
#include "UpdateTarget.h"

using namespace kovetest;

namespace
{
void Write(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// Makes a zip archive with the system's zip in the directory: name -> contents.
std::string MakeZip(const CTempDir& dir,
                    const std::vector<std::pair<std::string, std::string>>& files)
{
    const std::string content = dir.Path() + "/content";
    std::vector<std::string> command{"/usr/bin/env",       "-C", content, "zip", "-q", "-X",
                                     dir.Path() + "/a.zip"};
    for (const auto& file : files)
    {
        const std::string path = content + "/" + file.first;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        Write(path, file.second);
        command.push_back(file.first);
    }
    EXPECT_EQ(RunCommand(command), 0);
    return dir.Path() + "/a.zip";
}
} // namespace

TEST(UpdateCommandLine, OptionsAndRefusals)
{
    const struct
    {
        std::vector<std::string> arguments;
        bool accepted;
        uint32_t mask;
    } cases[] = {
        {{"-sLoT=-1,2"}, true, 9},
        {{"-Slot=40"}, true, 0},
        {{"-Slot=30,31,99999999999999999999"}, true, 1u << 31},
        {{"-Slot=-2"}, false, 0},
        {{"-Slot=1,,2"}, false, 0},
        {{"-Slot=1x"}, false, 0},
        {{"-Slot="}, false, 0},
        {{"-NoHDD"}, true, 62},
        {{"7", "-force"}, true, 63},
        {{"-Simulate=1"}, false, 0},
        {{"-Dir"}, false, 0},
        {{"-Unknown"}, false, 0},
        {{"File=x"}, false, 0},
        {{"12"}, false, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.arguments[0]);
        SUpdateOptions options;
        std::string bad;
        EXPECT_EQ(ParseUpdateOptions(c.arguments, options, bad), c.accepted) << bad;
        if (c.accepted)
        {
            EXPECT_EQ(options.uSlotMask, c.mask);
        }
        else
        {
            EXPECT_FALSE(bad.empty());
        }
    }

    SUpdateOptions options;
    std::string bad;
    ASSERT_TRUE(ParseUpdateOptions({"-file=fw.zip", "-DIR=/tmp/Update/", "3",
                                    "-SendProgressTo=10.0.0.7:62098", "-ResultFile=/r.txt",
                                    "-Simulate", "-Force", "-NoBackup", "-Produce=X", "-Slot=0"},
                                   options, bad));
    EXPECT_EQ(options.sFile, "fw.zip");
    EXPECT_EQ(options.sDirectory, "/tmp/Update/");
    EXPECT_EQ(options.sProgressTo, "10.0.0.7:62098");
    EXPECT_EQ(options.sResultFile, "/r.txt");
    EXPECT_TRUE(options.bSimulate && options.bForce && options.bNoBackup && options.bProduce);
    EXPECT_EQ(options.sProduce, "X");
    EXPECT_EQ(options.uSlotMask, 2u);
    EXPECT_EQ(options.vsIgnored, std::vector<std::string>{"3"});
}

TEST(UpdateTarget, FirstMatchingLineWithWildcards)
{
    const std::string text = "\n"
                             "57.31???? x  Z;<NoHwModuleUpdate> y\n"
                             "52.374??? x  A;<B;>C;;AVR1 y\n"
                             "52.374030 x  Exact y\n";
    STargetMatch match = MatchTarget(text, "52.374031");
    ASSERT_TRUE(match.bMatched);
    EXPECT_EQ(match.sParts, "A;<B;>C;;AVR1");
    bool noHw = true;
    EXPECT_EQ(SplitPartList(match.sParts, noHw),
              (std::vector<std::string>{"A", "<B", ">C", "AVR1"}));
    EXPECT_FALSE(noHw);

    // The "?" of one line do not carry over to the next: "57.31????" turns no position of the
    // number into "?" for the lines after it.
    match = MatchTarget("52.3740?? x A y\n52.37403? x B y\n", "52.374012");
    ASSERT_TRUE(match.bMatched);
    EXPECT_EQ(match.sParts, "A");
    match = MatchTarget("5?.?????? x A y\n52.374030 x B y\n", "52.374012");
    EXPECT_EQ(match.sParts, "A");
    // A wildcard line that does not match leaves the device's own number for the next line.
    match = MatchTarget("57.31???? x Z y\n52.374030 x Own y\n", "52.374030");
    ASSERT_TRUE(match.bMatched);
    EXPECT_EQ(match.sParts, "Own");
    match = MatchTarget("52.37403? x B y\n", "52.374012");
    EXPECT_FALSE(match.bMatched);
    EXPECT_EQ(match.sPattern, "52.37403?");

    match = MatchTarget(text, "57.310000");
    EXPECT_EQ(SplitPartList(match.sParts, noHw), std::vector<std::string>{"Z"});
    EXPECT_TRUE(noHw);
    EXPECT_TRUE(SplitPartList(".", noHw).empty());
    EXPECT_FALSE(MatchTarget("", "52.374030").bMatched);
    EXPECT_FALSE(MatchTarget(std::string("\0\0\n", 3), "52.374030").bMatched);
}

TEST(UpdateControl, GroupsAndFlashDestinations)
{
    const std::string document =
        "<?xml version=\"1.0\"?>\n<Version>"
        "<Files Version=\"02\" Name=\"fpga\" Type=\"Flash\" ArchiveDir=\"img\" "
        "DestinationDir=\"/dev/mtd_fpga:70000\"><File>fpga.bin</File></Files>"
        "<Files Type=\"Execute\" DestinationDir=\"/bin\"><File SkipArgumentQuotes=\"true\" "
        "Argument0=\"a b\" Argument1=\"c\" Argument3=\"never\">run</File></Files>"
        "<files type=\"HDD\"><file Verify=\"false\" Overwrite=\"false\" "
        "DestinationDir=\"/x\">y.txt</file></files>"
        "</Version>";
    std::vector<SUpdateGroup> groups;
    std::string why;
    ASSERT_TRUE(ParseControlDocument(document.data(), document.size(), groups, why)) << why;
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].sVersion, "02");
    EXPECT_EQ(groups[0].vFiles[0].sName, "fpga.bin");
    EXPECT_EQ(groups[1].vFiles[0].vsArguments, (std::vector<std::string>{"a b", "c"}));
    EXPECT_TRUE(groups[1].vFiles[0].bSkipArgumentQuotes);
    EXPECT_FALSE(groups[2].vFiles[0].bVerify || groups[2].vFiles[0].bOverwrite);
    EXPECT_EQ(groups[2].vFiles[0].sDestinationDir, "/x");

    for (const char* broken : {"", "<Version><Files></Version>", "<Other/>", "\xFF\xFE<"})
        EXPECT_FALSE(ParseControlDocument(broken, strlen(broken), groups, why)) << broken;

    const struct
    {
        const char* destination;
        bool ok;
        size_t block;
    } flash[] = {{"/dev/mtd_fpga:70000", true, 70000},
                 {"/dev/mtd_boot:10", true, 10},
                 {"/dev/mtd_fpga:71680", true, 71680},
                 {"/dev/mtd_fpga:71681", false, 0},
                 {"/dev/mtd_fpga:5", false, 0},
                 {"/dev/mtd_fpga", false, 0},
                 {"/dev/mtd_fpga:", false, 0},
                 {"/dev/mtd_fpga:1e4", false, 0},
                 {"/dev/mtd_fpga:99999999999999999999", false, 0}};
    for (const auto& c : flash)
    {
        std::string device;
        size_t block = 0;
        EXPECT_EQ(SplitFlashDestination(c.destination, device, block), c.ok) << c.destination;
        EXPECT_EQ(block, c.block) << c.destination;
    }
}

TEST(UpdateTexts, CrcPathsVersions)
{
    EXPECT_EQ(UpdateCrcFinish(UpdateCrc32(kUpdateCrcStart, "123456789", 9)), 0x1898913Fu);
    // Blocks of any size give the same CRC as the whole.
    EXPECT_EQ(UpdateCrcFinish(UpdateCrc32(UpdateCrc32(kUpdateCrcStart, "1234", 4), "56789", 5)),
              0x1898913Fu);

    const char* joins[][3] = {{"/tmp/Update/", "a.txt", "/tmp/Update/a.txt"},
                              {"/tmp/Update//", "/a.txt", "/tmp/Update/a.txt"},
                              {"", "a\\b.txt", "a/b.txt"},
                              {"dir\\sub", "f", "dir/sub/f"}};
    for (const auto& j : joins)
        EXPECT_EQ(JoinPath(j[0], j[1]), j[2]);

    const char* versions[][2] = {{"03", "03.0000"},      {"3.1", "XX.xxxx"},      {"01.2", "01.2"},
                                 {"01.2345", "01.2345"}, {"01.23456", "XX.xxxx"}, {"", "XX.xxxx"}};
    for (const auto& v : versions)
        EXPECT_EQ(NormaliseModuleVersion(v[0]), v[1]);

    EXPECT_EQ(VersionTextToNumber("v01.02.003x"), 102003u);
    EXPECT_EQ(VersionTextToNumber("fw_v12.34.567"), 1234567u);
    EXPECT_EQ(VersionTextToNumber("v01.02.003"), 102003u);
    EXPECT_EQ(VersionTextToNumber("v1.02.003"), 0u);
    EXPECT_EQ(VersionTextToNumber("x01.02.0030"), 0u);
    EXPECT_EQ(VersionNumberToText(102003), "v01.02.003");
    EXPECT_EQ(UpdateTypeText(4 | 0x80), "Module X1");
    EXPECT_EQ(UpdateTypeText(16), "AVR X5");
    EXPECT_EQ(UpdateTypeText(3), "");
}

TEST(UpdateArchive, MembersAreTakenByExactSafeNamesAndChecked)
{
    const struct
    {
        const char* name;
        bool safe;
    } names[] = {{"Files/a.txt", true}, {"Target.txt", true},   {"../x", false},
                 {"a/../../x", false},  {"/etc/passwd", false}, {"a//b", false},
                 {"a/./b", false},      {"a\\b", false},        {"bad\nname", false},
                 {"", false},           {"dir/", false}};
    for (const auto& n : names)
        EXPECT_EQ(IsSafeMemberName(n.name), n.safe) << n.name;

    CTempDir dir;
    const std::string zip = MakeZip(dir, {{"Target.txt", "52.374030 x Files y\n"},
                                          {"Files/a.txt", std::string(200000, 'a')},
                                          {"img/fpga.bin", "image"},
                                          {"[ab]*.txt", "wildcards are plain characters"}});
    CUpdateArchive archive;
    ASSERT_TRUE(archive.Open(zip)) << archive.Why();
    EXPECT_TRUE(archive.Has("Files/a.txt"));
    EXPECT_FALSE(archive.Has("files/a.txt"));
    std::string bad;
    EXPECT_TRUE(archive.CheckAll(bad)) << bad;
    const std::string out = dir.Path() + "/out";
    EXPECT_TRUE(archive.Extract("Files/a.txt", out + "/Files/a.txt"));
    EXPECT_EQ(ReadFile(out + "/Files/a.txt"), std::string(200000, 'a'));
    EXPECT_TRUE(archive.Extract("[ab]*.txt", out + "/w.txt"));
    EXPECT_FALSE(archive.Extract("Files/missing.txt", out + "/m.txt"));
    EXPECT_FALSE(std::filesystem::exists(out + "/m.txt"));
    // A member larger than the bound is not unpacked at all.
    EXPECT_FALSE(archive.Extract("Files/a.txt", out + "/big.txt", 199999));
    EXPECT_EQ(archive.Why(), "is larger than 199999 bytes");
    EXPECT_FALSE(std::filesystem::exists(out + "/big.txt"));
    EXPECT_TRUE(archive.Extract("Files/a.txt", out + "/big.txt", 200000)) << archive.Why();

    // The flash images leave the archive; the rest stays as it was.
    archive.Close();
    std::string why;
    ASSERT_TRUE(CUpdateArchive::RemoveMembers(zip, {"img/fpga.bin"}, why)) << why;
    ASSERT_TRUE(archive.Open(zip));
    EXPECT_FALSE(archive.Has("img/fpga.bin"));
    EXPECT_TRUE(archive.CheckAll(bad)) << bad;
    std::string listing;
    EXPECT_EQ(RunCommand({"/usr/bin/env", "unzip", "-t", "-qq", zip}, &listing), 0) << listing;

    ASSERT_TRUE(
        CUpdateArchive::PackFile(dir.Path() + "/c.zip", out + "/w.txt", "Compatibility.xml"));
    ASSERT_TRUE(archive.Open(dir.Path() + "/c.zip"));
    EXPECT_EQ(archive.Members().size(), 1u);
    EXPECT_TRUE(archive.Extract("Compatibility.xml", out + "/c.xml"));
    EXPECT_EQ(ReadFile(out + "/c.xml"), "wildcards are plain characters");

    // A member whose data does not match its CRC is refused, and nothing of it stays.
    std::string bytes = ReadFile(zip);
    const size_t at = bytes.find("52.374030");
    ASSERT_NE(at, std::string::npos) << "stored uncompressed by zip";
    bytes[at] = '6';
    Write(zip, bytes);
    ASSERT_TRUE(archive.Open(zip));
    EXPECT_FALSE(archive.CheckAll(bad));
    EXPECT_EQ(bad, "Target.txt");
    EXPECT_EQ(archive.Why(), "does not match its CRC");
    EXPECT_FALSE(archive.Extract("Target.txt", out + "/t.txt"));
    EXPECT_FALSE(std::filesystem::exists(out + "/t.txt"));

    Write(dir.Path() + "/no.zip", "PK\x03\x04 not a zip");
    EXPECT_FALSE(archive.Open(dir.Path() + "/no.zip"));
    EXPECT_FALSE(archive.Open(dir.Path() + "/missing.zip"));
}

TEST(UpdateFlashRecords, BlocksArePaddedToPagesWithinThePartition)
{
    EXPECT_EQ(FlashRecordPaddedBytes(1044), 1056u);
    EXPECT_EQ(FlashRecordPaddedBytes(1045), 2112u);
    EXPECT_EQ(FlashRecordPaddedBytes(67572), 67584u);
    EXPECT_EQ(FlashRecordPaddedBytes(67573), 67584u + 1056u);

    CTempDir dir;
    const struct
    {
        uint32_t length;
        uint64_t room;
        bool ok;
        uint64_t written;
    } cases[] = {
        {1044, 4096, true, 1056},
        {1045, 4096, true, 2112},
        {100000, 200000, true, 67584 + 31 * 1056},
        // The last page is cut at the end of the partition, never written past it.
        {1045, 1057, true, 1057},
        {1046, 1057, false, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.length);
        Write(dir.Path() + "/src", std::string(c.length, 'd'));
        Write(dir.Path() + "/part", "");
        const int source = open((dir.Path() + "/src").c_str(), O_RDONLY);
        const int partition = open((dir.Path() + "/part").c_str(), O_RDWR);
        uint64_t lastProgress = 0;
        EXPECT_EQ(WriteFlashRecordBlocks(partition, source, c.length, "UPDT", c.room,
                                         [&](uint64_t done) { lastProgress = done; }),
                  c.ok);
        close(source);
        close(partition);
        if (!c.ok)
            continue;
        EXPECT_EQ(lastProgress, c.length);
        const std::string written = ReadFile(dir.Path() + "/part");
        ASSERT_EQ(written.size(), c.written);
        const QTXFlashRecordHead head =
            DecodeFlashRecordHead(reinterpret_cast<const unsigned char*>(written.data()));
        EXPECT_TRUE(IsFlashRecord(head, "UPDT"));
        EXPECT_EQ(head.uLength, c.length);
        EXPECT_EQ(written.substr(12, c.length), std::string(c.length, 'd'));
        EXPECT_EQ(written.substr(12 + c.length),
                  std::string(c.written - 12 - c.length, static_cast<char>(0xFF)));
    }
}

TEST(UpdateFiles, WritesWithBackupAndAVerifyRetryKeepsTheRealBackup)
{
    CTempDir dir;
    const std::string zip = MakeZip(dir, {{"Files/a.txt", "new a"}, {"Files/b.txt", "new b"}});
    const std::string target = dir.Path() + "/target/";
    std::filesystem::create_directories(target);
    Write(target + "a.txt", "old a");
    Write(target + "b.txt", "old b");
    CUpdateFiles files(dir.Path() + "/work/", zip, false, nullptr);
    std::string why;
    ASSERT_TRUE(files.OpenArchive(why)) << why;

    ASSERT_TRUE(files.Add(target + "a.txt", "Files", "a.txt", kPartFile));
    EXPECT_FALSE(files.WriteCurrent(false, 0));
    EXPECT_FALSE(files.WriteCurrent(false, MaxFlashBlockSize + 1));
    ASSERT_TRUE(files.WriteCurrent(false, 3));
    EXPECT_EQ(ReadFile(target + "a.txt"), "new a");
    EXPECT_EQ(ReadFile(target + "a.txt.beforeUpdate"), "old a");
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/work/Files/a.txt"));

    // An existing file that is to be kept is skipped and not verified.
    ASSERT_TRUE(files.Add(target + "b.txt", "Files", "b.txt", kPartFile));
    ASSERT_TRUE(files.WriteCurrent(true, 65536));
    EXPECT_EQ(files.Entries().back().iState, kEntrySkipped);

    // The target changed after it was written: the verify writes it once more, and the first
    // version stays the backup.
    Write(target + "a.txt", "damaged");
    EXPECT_TRUE(files.VerifyAll());
    EXPECT_EQ(ReadFile(target + "a.txt"), "new a");
    EXPECT_EQ(ReadFile(target + "a.txt.beforeUpdate"), "old a");
    EXPECT_EQ(ReadFile(target + "b.txt"), "old b");
    EXPECT_EQ(files.State(), kEntryVerified);
    // -NoBackup: the previous versions go once everything was verified.
    bDeleteBackupFiles = true;
    files.Close();
    bDeleteBackupFiles = false;
    EXPECT_FALSE(std::filesystem::exists(target + "a.txt.beforeUpdate"));

    // Names that would leave the update directory are refused before anything is unpacked.
    for (const char* name : {"../x", "/../x", "a/../../x"})
        EXPECT_FALSE(files.Add(target + "x", "Files", name, kPartFile)) << name;
    EXPECT_FALSE(files.Add(target + "x", "..", "x", kPartFile));
}

// A file whose new version cannot be written whole (here the file size limit stands for a full
// file system) stays as it was, with the backup an earlier update left, and nothing is left
// beside it.
TEST(UpdateFiles, AWriteThatCannotBeCompletedLeavesTheTargetAsItWas)
{
    CTempDir dir;
    const std::string zip = MakeZip(dir, {{"Files/a.txt", std::string(200000, 'n')}});
    const std::string target = dir.Path() + "/target/";
    const struct
    {
        const char* what;
        std::map<std::string, std::string> before; // the target directory
    } cases[] = {
        {"replacing", {{"a.txt", "old a"}, {"a.txt.beforeUpdate", "older a"}}},
        {"new file", {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(target);
        std::filesystem::create_directories(target);
        for (const auto& file : c.before)
            Write(target + file.first, file.second);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
        {
            CUpdateFiles files(dir.Path() + "/work/", zip, false, nullptr);
            std::string why;
            if (!files.OpenArchive(why) ||
                !files.Add(target + "a.txt", "Files", "a.txt", kPartFile) ||
                !files.Unpack("Files/a.txt"))
                _exit(2);
            signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {65536, 65536};
            setrlimit(RLIMIT_FSIZE, &limit);
            _exit(files.WriteCurrent(false, 65536) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        std::map<std::string, std::string> after;
        for (const auto& entry : std::filesystem::directory_iterator(target))
            after[entry.path().filename().string()] = ReadFile(entry.path().string());
        EXPECT_EQ(after, c.before);
    }
}
