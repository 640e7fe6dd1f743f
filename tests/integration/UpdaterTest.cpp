// The updater seen from outside: "update" installs archives made with the system's zip on a
// simulated device, reports its progress by UDP, leaves its result file and the flash records
// that the hub reads at its next start; the hub's Update request runs it from the archive.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";
const std::string kFamily2 = "0x00880000";
const std::string kResult = "/tmp/UpdateResult.txt";

void Write(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
    chmod(path.c_str(), mode);
}

uint32_t Le32(const std::string& data, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(data[at + static_cast<size_t>(i)]);
    return value;
}

std::string Version(const std::string& groups)
{
    return kHead + "<Version>\n" + groups + "</Version>\n";
}

// The records of an update partition behind its status block: tag -> data (every record
// takes whole pages).
std::map<std::string, std::string> UpdateRecords(const std::string& partition)
{
    std::map<std::string, std::string> records;
    for (size_t at = 1056; at + 12 <= partition.size();)
    {
        const std::string tag = partition.substr(at, 4);
        const uint32_t length = Le32(partition, at + 8);
        if (tag == "\xFF\xFF\xFF\xFF" || at + 12 + length > partition.size())
            break;
        records[tag] = partition.substr(at + 12, length);
        at += (12 + length + 1055) / 1056 * 1056;
    }
    return records;
}

// A member of a zip archive given as bytes, as the system's unzip reads it.
std::string ZipMember(const std::string& zip, const std::string& member)
{
    CTempDir work;
    Write(work.Path() + "/a.zip", zip);
    std::string out;
    EXPECT_EQ(RunCommand({"/usr/bin/env", "unzip", "-p", work.Path() + "/a.zip", member}, &out), 0);
    return out;
}

// A part "Files" that replaces a.txt and keeps b.txt, writes an FPGA image into
// "/dev/mtd_fpga" in blocks of 70000 bytes and brings a configuration file.
std::map<std::string, std::string> FullArchive(const std::string& image)
{
    return {
        {"Target.txt", "57.310000 x Other y\n52.374??? x Config y\n"},
        {"Compatibility.xml", "<Compatibility><OverallRelease><Version>01</Version>"
                              "<SubVersion>02</SubVersion><Build>003</Build></OverallRelease>"
                              "</Compatibility>\n"},
        {"Files/Version_Files.xml",
         Version("<Files Version=\"2\" Name=\"data\" Type=\"HDD\" ArchiveDir=\"Files\" "
                 "DestinationDir=\"/Applications/data/\">"
                 "<File>a.txt</File><File Overwrite=\"false\">b.txt</File></Files>\n"
                 "<Files Version=\"07\" Name=\"fpga\" Type=\"Flash\" ArchiveDir=\"img\" "
                 "DestinationDir=\"/dev/mtd_fpga:70000\"><File>fpga.bin</File></Files>\n")},
        {"Files/a.txt", "new a\n"},
        {"Files/b.txt", "new b\n"},
        {"img/fpga.bin", image},
        {"Config/Version_Config.xml",
         Version(
             "<Files Version=\"1\" Type=\"HDD\" ArchiveDir=\"Config\" "
             "DestinationDir=\"/tmp/Driver/Configuration/\"><File>Updated.xml</File></Files>\n")},
        {"Config/Updated.xml", "<Module/>\n"},
    };
}

// A UDP receiver on 127.0.0.1 for the progress records.
class CProgressReceiver
{
public:
    CProgressReceiver() : m_iSocket(kovetest::LoopbackSocket(SOCK_DGRAM, &m_iPort, 20)) {}
    ~CProgressReceiver() { close(m_iSocket); }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_iPort); }

    struct SRecord
    {
        int iCurrent;
        int iTotal;
        float fFraction;
        std::string sText;
    };
    // Every record up to and with "Update finished" (or until none comes for 20 s).
    std::vector<SRecord> Records()
    {
        std::vector<SRecord> records;
        char buffer[2048];
        for (;;)
        {
            const ssize_t n = recv(m_iSocket, buffer, sizeof buffer, 0);
            if (n < 12)
                break;
            const std::string data(buffer, static_cast<size_t>(n));
            EXPECT_EQ(data.substr(0, 2), "#P");
            EXPECT_EQ(data[2] | data[3] << 8, n);
            const uint32_t bits = Le32(data, 8);
            float fraction;
            memcpy(&fraction, &bits, sizeof fraction);
            records.push_back({static_cast<unsigned char>(data[6]) | data[7] << 8,
                               static_cast<unsigned char>(data[4]) | data[5] << 8, fraction,
                               std::string(data.c_str() + 12)});
            if (records.back().sText == "Update finished")
                break;
        }
        return records;
    }

private:
    int m_iPort = 0; // before the socket: the constructor fills it
    int m_iSocket = -1;
};

class Updater : public testing::Test
{
protected:
    explicit Updater(const std::vector<std::string>& createArgs = {"--slots", ""})
        : tDevice(createArgs)
    {
        Write(tDevice.Path("/Applications/data/a.txt"), "old a\n", 0755);
        Write(tDevice.Path("/Applications/data/b.txt"), "old b\n");
    }

    // Packs the files with the system's zip into "/tmp/Update/<name>"; stored uncompressed
    // when asked, so that a test can change a member's bytes; options go to zip as they are. A
    // name may begin with "../": zip keeps it so.
    void MakeArchive(const std::map<std::string, std::string>& files,
                     const std::string& name = "fw.qor", bool store = false,
                     const std::vector<std::string>& options = {})
    {
        CTempDir work;
        const std::string content = work.Path() + "/in";
        std::vector<std::string> command{"/usr/bin/env", "-C", content, "zip", "-q", "-X"};
        if (store)
            command.push_back("-0");
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(tDevice.Path("/tmp/Update/") + name);
        std::filesystem::remove(command.back());
        for (const auto& file : files)
        {
            Write(content + "/" + file.first, file.second,
                  file.first == "update.exec" ? 0755 : 0644);
            command.push_back(file.first);
        }
        ASSERT_EQ(RunCommand(command), 0);
    }

    // Runs the updater to its end; its exit status (-1 when it did not end).
    int Run(const std::vector<std::string>& arguments)
    {
        std::filesystem::remove(tDevice.Path(kResult));
        CTestProcess update(tDevice, "update", arguments);
        const int status = update.WaitExit(std::chrono::seconds(120));
        sOutput = update.Output();
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> Arguments(const std::vector<std::string>& more = {})
    {
        std::vector<std::string> arguments{"-file=fw.qor", "-dir=/tmp/Update/",
                                           "-ResultFile=" + kResult};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }

    std::string Result() const { return ReadFile(tDevice.Path(kResult)); }
    std::string Data(const std::string& name) const
    {
        return ReadFile(tDevice.Path("/Applications/data/" + name));
    }

    CSimDevice tDevice;
    std::string sOutput;
};

class UpdaterFamily2 : public Updater
{
protected:
    UpdaterFamily2() : Updater({"--family", kFamily2, "--slots", ""}) {}

    // An archive for this device with one file for "/Applications/data/".
    void MakeOneFileArchive(const std::string& name, const std::string& data)
    {
        MakeArchive({
            {"Target.txt", "52.374??? x . y\n"},
            {"Compatibility.xml", "<Compatibility/>\n"},
            {"Files/Version_Files.xml",
             Version("<Files Version=\"2\" Type=\"HDD\" ArchiveDir=\"Files\" "
                     "DestinationDir=\"/Applications/data/\"><File>" +
                     name + "</File></Files>\n")},
            {"Files/" + name, data},
        });
    }
};

TEST_F(UpdaterFamily2, InstallsFilesAndFlashAndLeavesTheRecordsTheHubReads)
{
    std::string image(150000, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7 + i / 251);
    MakeArchive(FullArchive(image));
    const std::string archiveWithImage = ReadFile(tDevice.Path("/tmp/Update/fw.qor"));
    CProgressReceiver progress;

    ASSERT_EQ(Run(Arguments({"-SendProgressTo=" + progress.Address()})), 0) << sOutput;
    EXPECT_EQ(Result(), "Update done");
    EXPECT_EQ(Data("a.txt"), "new a\n");
    EXPECT_EQ(Data("a.txt.beforeUpdate"), "old a\n");
    EXPECT_EQ(Data("b.txt"), "old b\n");
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/Applications/data/b.txt.beforeUpdate")));
    // A replaced program stays one.
    EXPECT_EQ(std::filesystem::status(tDevice.Path("/Applications/data/a.txt")).permissions() &
                  std::filesystem::perms::owner_exec,
              std::filesystem::perms::owner_exec);
    EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_fpga")).substr(0, image.size()), image);
    EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_production")).substr(130, 6), std::string("070000"));
    EXPECT_NE(ReadFile(tDevice.Path("/tmp/Update/UpdateLog.txt")).find("Starting new download"),
              std::string::npos);
    // The work files are gone, the archive with them.
    for (const char* gone : {"fw.qor", "Target.txt", "Compatibility.xml", "Compatibility.xml.zip",
                             "Files", "img", "Config"})
        EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/tmp/Update/") + gone)) << gone;

    // Progress: steps in order, each fraction within its step, the last record the end.
    const auto records = progress.Records();
    ASSERT_FALSE(records.empty());
    for (size_t i = 1; i < records.size(); ++i)
    {
        EXPECT_GE(records[i].iCurrent, records[i - 1].iCurrent) << records[i].sText;
        EXPECT_GE(records[i].fFraction, 0.0f);
        EXPECT_LE(records[i].fFraction, 1.0f);
    }
    EXPECT_EQ(records.front().sText, "Preparing update");
    EXPECT_NE(std::find_if(records.begin(), records.end(),
                           [](const auto& r) { return r.sText == "Verify"; }),
              records.end());
    EXPECT_EQ(records.back().sText, "Update finished");
    EXPECT_EQ(records.back().iCurrent, records.back().iTotal);
    EXPECT_EQ(records.back().fFraction, 1.0f);

    // "/dev/mtd_update": the status block, the packed list, the archive without the image.
    const std::string update = ReadFile(tDevice.Path("/dev/mtd_update"));
    ASSERT_EQ(update.substr(0, 8), std::string("FREP\0\0\0\0", 8));
    EXPECT_EQ(Le32(update, 8), update.size());
    EXPECT_EQ(Le32(update, 12), 1056u);
    ASSERT_EQ(update.substr(1056, 4), "COMB");
    const uint32_t listLength = Le32(update, 1064);
    const size_t archiveAt = 1056 + (12 + listLength + 1055) / 1056 * 1056;
    ASSERT_EQ(update.substr(archiveAt, 4), "UPDT");
    const uint32_t archiveLength = Le32(update, archiveAt + 8);
    EXPECT_LT(archiveLength, archiveWithImage.size());
    CTempDir check;
    Write(check.Path() + "/kept.zip", update.substr(archiveAt + 12, archiveLength));
    std::string listing;
    EXPECT_EQ(RunCommand({"/usr/bin/env", "unzip", "-l", check.Path() + "/kept.zip"}, &listing), 0);
    EXPECT_NE(listing.find("Files/a.txt"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("img/fpga.bin"), std::string::npos) << listing;
    // "/dev/mtd_data": the configuration with the new file.
    EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_data")).substr(0, 4), "KCFG");

    // The hub of a fresh start finds the compatibility list and the configuration: the boot's
    // start-up run restores them.
    std::filesystem::remove(tDevice.Path("/Applications/tmp/Driver/Configuration/Updated.xml"));
    std::string startup;
    ASSERT_TRUE(RunHubStartup(tDevice, &startup)) << startup;
    CTestProcess hub(tDevice, "systemdriver");
    ASSERT_TRUE(hub.WaitForPort(62000)) << hub.Output();
    EXPECT_NE(ReadFile(tDevice.Path("/tmp/Compatibility.xml")).find("<Build>003</Build>"),
              std::string::npos);
    EXPECT_EQ(ReadFile(tDevice.Path("/Applications/tmp/Driver/Configuration/Updated.xml")),
              "<Module/>\n");
    const CReply identity = SendRequest(62000, kHead + "<Identify/>", tDevice.Dir() + "/id.xml");
    EXPECT_TRUE(identity.Has("v01.02.003")) << identity.sText;
}

TEST_F(Updater, RefusalsLeaveTheDeviceAsItWas)
{
    const auto archive = FullArchive("image");
    auto noTarget = archive;
    noTarget.erase("Target.txt");
    auto otherDevice = archive;
    otherDevice["Target.txt"] = "57.310000 x A y\n52.37402? x B y\n";
    auto brokenControl = archive;
    brokenControl["Files/Version_Files.xml"] = "<Version><Files></Version>";
    // Members that unpack to more than the updater takes: a few kilobytes in the archive each.
    auto hugeTarget = archive;
    hugeTarget["Target.txt"] += std::string(1 << 20, ' ');
    auto hugeMember = archive;
    hugeMember["Files/a.txt"] = std::string((32u << 20) + 1, '\0');
    auto hugeControl = archive;
    hugeControl["Files/Version_Files.xml"] += std::string(1 << 20, ' ');
    const struct
    {
        const char* what;
        std::map<std::string, std::string> files;
        std::vector<std::string> arguments;
        int status;
        std::string result;
    } cases[] = {
        {"syntax", archive, Arguments({"-Dir"}), 255, "Syntax error"},
        {"below -1", archive, Arguments({"-Slot=-2"}), 255, "Syntax error"},
        {"no target", noTarget, Arguments(), 233,
         "ERROR: Corrupt update file: Target description missing."},
        {"other device", otherDevice, Arguments(), 234,
         "ERROR: This update file can not be used for this hardware. Ordering number of this "
         "device (52.374030) and ordering number of update file (52.37402?) do not match"},
        {"not xml", brokenControl, Arguments(), 236,
         "Error in update file: Files/Version_Files.xml is currupt"},
        {"huge target", hugeTarget, Arguments(), 233,
         "ERROR: Corrupt update file: Target.txt is larger than 1048576 bytes."},
        {"huge member", hugeMember, Arguments(), 233,
         "ERROR: Corrupt update file: Files/a.txt is larger than 33554432 bytes."},
        {"huge control document", hugeControl, Arguments(), 236,
         "Error in update file: Files/Version_Files.xml is missing or corrupt"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        MakeArchive(c.files);
        EXPECT_EQ(Run(c.arguments), c.status) << sOutput;
        EXPECT_EQ(Result(), c.result);
        // Nothing unpacked stays behind: the update directory holds the archive and the logs.
        for (const auto& entry : std::filesystem::directory_iterator(tDevice.Path("/tmp/Update")))
        {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "fw.qor" || name == "UpdateLog.txt" || name == "Event.log") << name;
        }
    }
    EXPECT_NE(ReadFile(tDevice.Path("/tmp/Update/UpdateLog.txt"))
                  .find("ERROR: Can not unpack Target.txt [" + tDevice.Path("/tmp/Update/") +
                        "Target.txt]: the member is larger than 1048576 bytes."),
              std::string::npos);
    // A syntax error shows the usage.
    EXPECT_NE(sOutput.find("Program stopped because of error"), std::string::npos) << sOutput;

    // A member whose bytes do not match its CRC: nothing is written from the archive.
    MakeArchive(archive, "fw.qor", true);
    std::string bytes = ReadFile(tDevice.Path("/tmp/Update/fw.qor"));
    const size_t at = bytes.find("new a");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'N';
    Write(tDevice.Path("/tmp/Update/fw.qor"), bytes);
    EXPECT_EQ(Run(Arguments()), 233) << sOutput;
    EXPECT_EQ(Result(), "ERROR: Corrupt update file: Files/a.txt does not match its CRC.");

    // A simulated run checks everything and changes nothing.
    MakeArchive(archive);
    EXPECT_EQ(Run(Arguments({"-Simulate"})), 0) << sOutput;
    EXPECT_EQ(Result(), "Update done");
    EXPECT_TRUE(std::filesystem::exists(tDevice.Path("/tmp/Update/fw.qor")));

    EXPECT_EQ(Data("a.txt"), "old a\n");
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/Applications/data/a.txt.beforeUpdate")));
    EXPECT_FALSE(std::filesystem::exists(
        tDevice.Path("/Applications/tmp/Driver/Configuration/Updated.xml")));
    for (const char* partition : {"/dev/mtd_update", "/dev/mtd_fpga", "/dev/mtd_data"})
    {
        const std::string data = ReadFile(tDevice.Path(partition));
        EXPECT_EQ(data, std::string(data.size(), static_cast<char>(0xFF))) << partition;
    }
    EXPECT_NE(ReadFile(tDevice.Path("/tmp/Update/Event.log")).find("Update failed!"),
              std::string::npos);
}

// The compatibility list is a document the hub reads whole: one of more than 1 MiB is not
// stored, and the run stops without leaving anything it unpacked.
TEST_F(UpdaterFamily2, HugeCompatibilityListIsNotStored)
{
    auto files = FullArchive("image");
    files["Compatibility.xml"] += std::string(1 << 20, ' ');
    MakeArchive(files);
    EXPECT_EQ(Run(Arguments()), 226) << sOutput;
    EXPECT_EQ(Result(), "Can not store compatibility list");
    EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_update")).substr(0, 4), "\xFF\xFF\xFF\xFF");
    for (const auto& entry : std::filesystem::directory_iterator(tDevice.Path("/tmp/Update")))
    {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "fw.qor" || name == "UpdateLog.txt" || name == "Event.log") << name;
    }
}

// The compatibility list stored in "COMB" is the one in the update directory at the end: the
// archive's own, or one a part of the run put there; never one an earlier run left.
TEST_F(UpdaterFamily2, CompatibilityListOfTheUpdateDirectoryIsStored)
{
    const std::string own = "<Compatibility><Build>own</Build></Compatibility>\n";
    const std::string part = "<Compatibility><Build>part</Build></Compatibility>\n";
    auto delivering = FullArchive("image");
    delivering["Files/Version_Files.xml"] =
        Version("<Files Version=\"2\" Name=\"data\" Type=\"HDD\" ArchiveDir=\"Files\" "
                "DestinationDir=\"/Applications/data/\"><File>a.txt</File></Files>\n"
                "<Files Version=\"1\" Name=\"list\" Type=\"HDD\" ArchiveDir=\"Files\" "
                "DestinationDir=\"/tmp/Update/\"><File>Compatibility.xml</File></Files>\n");
    delivering["Files/Compatibility.xml"] = part;
    auto both = delivering;
    both["Compatibility.xml"] = own;
    delivering.erase("Compatibility.xml");
    auto neither = FullArchive("image");
    neither.erase("Compatibility.xml");
    const struct
    {
        const char* what;
        std::map<std::string, std::string> files;
        std::string leftOver; // in the update directory before the run
        int status;
        std::string list;
    } cases[] = {
        {"delivered by a part", delivering, "", 0, part},
        {"a part's before the archive's", both, "", 0, part},
        {"left by an earlier run", neither, own, 226, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        MakeArchive(c.files);
        Write(tDevice.Path("/dev/mtd_update"), std::string(2u << 20, '\xFF'));
        if (!c.leftOver.empty())
            Write(tDevice.Path("/tmp/Update/Compatibility.xml"), c.leftOver);
        EXPECT_EQ(Run(Arguments()), c.status) << sOutput;
        const std::string update = ReadFile(tDevice.Path("/dev/mtd_update"));
        if (c.status != 0)
        {
            EXPECT_EQ(Result(), "Can not store compatibility list");
            EXPECT_EQ(update.substr(0, 4), "\xFF\xFF\xFF\xFF");
            continue;
        }
        EXPECT_EQ(Result(), "Update done");
        ASSERT_EQ(update.substr(0, 4), "FREP");
        const auto records = UpdateRecords(update);
        ASSERT_EQ(records.count("COMB"), 1u);
        EXPECT_EQ(ZipMember(records.at("COMB"), "Compatibility.xml"), c.list);
        EXPECT_EQ(records.count("UPDT"), 1u);
        EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/tmp/Update/Compatibility.xml")));
    }
}

// Bytes that do not compress, the same for the same seed.
std::string Noise(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    for (char& c : bytes)
    {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// An archive larger than what is left of "/dev/mtd_update" goes into two records, "UPD0" there
// and "UPD1" at the start of "/dev/mtd_update2", that together are the archive.
TEST_F(UpdaterFamily2, ArchiveLargerThanThePartitionIsSplitInTwoRecords)
{
    const std::string big = Noise(2300000, 12345);
    MakeOneFileArchive("big.bin", big);
    const std::string archive = ReadFile(tDevice.Path("/tmp/Update/fw.qor"));
    ASSERT_EQ(Run(Arguments()), 0) << sOutput;
    EXPECT_EQ(Result(), "Update done");
    EXPECT_EQ(Data("big.bin"), big);

    const std::string update = ReadFile(tDevice.Path("/dev/mtd_update"));
    ASSERT_EQ(update.substr(0, 4), "FREP");
    const auto records = UpdateRecords(update);
    ASSERT_EQ(records.count("UPD0"), 1u);
    EXPECT_EQ(records.count("UPDT"), 0u);
    // "UPD0" takes the partition up to its last byte.
    const size_t upd0At = update.find("UPD0", 1056);
    EXPECT_EQ(upd0At + 12 + records.at("UPD0").size(), update.size());
    const std::string second = ReadFile(tDevice.Path("/dev/mtd_update2"));
    ASSERT_EQ(second.substr(0, 8), std::string("UPD1\0\0\0\0", 8));
    const std::string upd1 = second.substr(12, Le32(second, 8));
    EXPECT_EQ(records.at("UPD0") + upd1, archive);
}

// The archive goes whole into "UPDT" only when it leaves room behind it; one that fills the
// rest of "/dev/mtd_update" exactly is "UPD0" with all its bytes and an empty "UPD1".
TEST_F(UpdaterFamily2, ArchiveThatFillsThePartitionExactlyIsSplit)
{
    MakeOneFileArchive("data.bin", Noise(1100000, 777));
    const std::string archive = ReadFile(tDevice.Path("/tmp/Update/fw.qor"));
    // Where the archive's record begins: behind the status block and the compatibility list.
    Write(tDevice.Path("/dev/mtd_update"), std::string(2u << 20, '\xFF'));
    ASSERT_EQ(Run(Arguments()), 0) << sOutput;
    const std::string first = ReadFile(tDevice.Path("/dev/mtd_update"));
    const size_t at = first.find("UPDT", 1056);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(Le32(first, at + 8), archive.size());

    const struct
    {
        const char* what;
        long long spare; // partition bytes beyond the archive's record
        std::string tag;
        size_t second; // bytes in "UPD1"
    } cases[] = {
        {"one byte short", -1, "UPD0", 1},
        {"exact", 0, "UPD0", 0},
        {"one byte spare", 1, "UPDT", 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const size_t size =
            static_cast<size_t>(static_cast<long long>(at + 12 + archive.size()) + c.spare);
        Write(tDevice.Path("/dev/mtd_update"), std::string(size, '\xFF'));
        Write(tDevice.Path("/dev/mtd_update2"), std::string(1u << 20, '\xFF'));
        Write(tDevice.Path("/tmp/Update/fw.qor"), archive);
        ASSERT_EQ(Run(Arguments()), 0) << sOutput;
        const std::string update = ReadFile(tDevice.Path("/dev/mtd_update"));
        ASSERT_EQ(update.size(), size);
        ASSERT_EQ(update.substr(0, 4), "FREP");
        ASSERT_EQ(update.substr(at, 4), c.tag);
        const uint32_t length = Le32(update, at + 8);
        EXPECT_EQ(length, archive.size() - c.second);
        const std::string second = ReadFile(tDevice.Path("/dev/mtd_update2"));
        if (c.tag == "UPDT")
        {
            EXPECT_EQ(update.substr(at + 12, length), archive);
            EXPECT_EQ(second.substr(0, 4), "\xFF\xFF\xFF\xFF");
            continue;
        }
        ASSERT_EQ(second.substr(0, 8), std::string("UPD1\0\0\0\0", 8));
        ASSERT_EQ(Le32(second, 8), c.second);
        EXPECT_EQ(update.substr(at + 12, length) + second.substr(12, c.second), archive);
    }
}

// The working directory of the programs this test starts, for the time of the test.
class CWorkingDirectory
{
public:
    explicit CWorkingDirectory(const std::string& directory)
        : m_sBefore(std::filesystem::current_path().string())
    {
        std::filesystem::current_path(directory);
    }
    ~CWorkingDirectory() { std::filesystem::current_path(m_sBefore); }

private:
    std::string m_sBefore;
};

// A flash image goes into its partition only when it fits; where the boot or FPGA partition has
// no node, the image goes to its block device "dev/mtdblock0" or "dev/mtdblock4" below the
// directory the updater was started in, and is verified there.
TEST_F(UpdaterFamily2, FlashImageFitsItsPartitionOrGoesToItsBlockDevice)
{
    const CWorkingDirectory start(tDevice.Dir());
    const std::string erased(256u << 10, '\xFF');
    const struct
    {
        const char* what;
        std::string partition; // "/dev/mtd_<name>"
        size_t image;
        bool node;               // the partition's node is there
        std::string blockDevice; // made (erased) below the working directory, when not empty
        int status;
        std::string result;
    } cases[] = {
        {"larger than its partition", "/dev/mtd_fpga", (2u << 20), true, "", 236,
         "Error while writing image.bin"},
        {"boot on its block device", "/dev/mtd_boot", 70000, false, "dev/mtdblock0", 0,
         "Update done"},
        {"FPGA on its block device", "/dev/mtd_fpga", 70000, false, "dev/mtdblock4", 0,
         "Update done"},
        {"neither", "/dev/mtd_boot", 70000, false, "", 236, "Error while writing image.bin"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string node = tDevice.Path(c.partition);
        std::filesystem::remove(tDevice.Dir() + "/dev/mtdblock0");
        std::filesystem::remove(tDevice.Dir() + "/dev/mtdblock4");
        Write(node,
              std::string(c.partition == "/dev/mtd_fpga" ? (1u << 20) : (256u << 10), '\xFF'));
        if (!c.node)
            std::filesystem::remove(node);
        if (!c.blockDevice.empty())
            Write(tDevice.Dir() + "/" + c.blockDevice, erased);
        const std::string image = Noise(c.image, 99);
        MakeArchive({
            {"Target.txt", "52.374??? x . y\n"},
            {"Compatibility.xml", "<Compatibility/>\n"},
            {"Files/Version_Files.xml",
             Version("<Files Version=\"07\" Name=\"img\" Type=\"Flash\" ArchiveDir=\"img\" "
                     "DestinationDir=\"" +
                     c.partition + ":4096\"><File>image.bin</File></Files>\n")},
            {"img/image.bin", image},
        });
        EXPECT_EQ(Run(Arguments()), c.status) << sOutput;
        EXPECT_EQ(Result(), c.result);
        if (c.node)
        {
            const std::string data = ReadFile(node);
            EXPECT_EQ(data, std::string(data.size(), '\xFF'));
        }
        if (!c.blockDevice.empty())
        {
            EXPECT_EQ(ReadFile(tDevice.Dir() + "/" + c.blockDevice).substr(0, image.size()), image);
        }
    }
}

// A part's program runs from its argument vector: every argument arrives as it is written,
// blanks, quotes and shell characters included; only a "*" line is a command line.
TEST_F(UpdaterFamily2, ExecuteGroupRunsItsProgramFromItsArguments)
{
    Write(tDevice.Path("/Applications/data/show.sh"),
          "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done >> "
          "\"$(dirname \"$0\")/args.txt\"\n",
          0755);
    auto files = FullArchive("image");
    files["Target.txt"] = "52.374??? x Run y\n";
    files["Run/Version_Run.xml"] = Version(
        "<Files Version=\"1\" Type=\"Execute\" DestinationDir=\"/Applications/data\">"
        "<File Argument0=\"two words\" Argument1=\"$(touch gotcha)\" "
        "Argument2=\"a&quot;b;c&amp;\">show.sh</File>"
        "<File SkipArgumentQuotes=\"true\" Argument0=\"plain\" Argument2=\"unread\">show.sh</File>"
        "<File>*reboot</File></Files>\n");
    MakeArchive(files);
    ASSERT_EQ(Run(Arguments()), 0) << sOutput;
    EXPECT_EQ(Result(), "Update done");
    EXPECT_EQ(Data("args.txt"), "[two words]\n[$(touch gotcha)]\n[a\"b;c&]\n[plain]\n");
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/Applications/data/gotcha")));
    EXPECT_NE(ReadFile(tDevice.Dir() + "/commands.log").find("reboot"), std::string::npos);

    // A program that is not there ends the part.
    files["Run/Version_Run.xml"] =
        Version("<Files Version=\"1\" Type=\"Execute\" DestinationDir=\"/Applications/data\">"
                "<File>missing.sh</File></Files>\n");
    MakeArchive(files);
    EXPECT_EQ(Run(Arguments()), 236) << sOutput;
    EXPECT_EQ(Result(), "Error: File missing.sh is missing or corrupt");
}

// An AVR group cannot be written: the archive is refused with the group's error before any part
// changes anything.
TEST_F(UpdaterFamily2, ArchiveWithAnAvrPartIsRefusedBeforeAnythingChanges)
{
    const std::string avr = "<Files Version=\"1\" Name=\"avr\" Type=\"AVR\">"
                            "<File Name=\"avr/controller.hex\"/></Files>\n";
    auto inFiles = FullArchive("image");
    inFiles["Files/Version_Files.xml"] =
        Version("<Files Version=\"2\" Name=\"data\" Type=\"HDD\" ArchiveDir=\"Files\" "
                "DestinationDir=\"/Applications/data/\"><File>a.txt</File></Files>\n" +
                avr);
    inFiles["Files/avr/controller.hex"] = "hex";
    auto ownPart = FullArchive("image");
    ownPart["Target.txt"] = "52.374??? x Config;AVR1 y\n";
    ownPart["AVR1/Version_AVR1.xml"] = Version(avr);
    ownPart["AVR1/avr/controller.hex"] = "hex";
    auto unnamed = ownPart;
    unnamed["AVR1/Version_AVR1.xml"] =
        Version("<Files Version=\"1\" Type=\"AVR\"><File>x</File></Files>\n");
    const struct
    {
        const char* what;
        std::map<std::string, std::string> files;
        std::string result;
    } cases[] = {
        {"group of the Files part", inFiles, "Error while updating AVR in module X1"},
        {"part of its own, run last", ownPart, "Error while updating AVR in module X1"},
        {"without an image name", unnamed,
         "Eror in file AVR1/Version_AVR1.xml: Name of the first FILE entry missing"},
    };
    const std::string production = ReadFile(tDevice.Path("/dev/mtd_production"));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        MakeArchive(c.files);
        EXPECT_EQ(Run(Arguments()), 236) << sOutput;
        EXPECT_EQ(Result(), c.result);
        EXPECT_EQ(Data("a.txt"), "old a\n");
        EXPECT_FALSE(
            std::filesystem::exists(tDevice.Path("/Applications/data/a.txt.beforeUpdate")));
        EXPECT_FALSE(std::filesystem::exists(
            tDevice.Path("/Applications/tmp/Driver/Configuration/Updated.xml")));
        EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_production")), production);
        for (const char* partition : {"/dev/mtd_update", "/dev/mtd_fpga", "/dev/mtd_data"})
        {
            const std::string data = ReadFile(tDevice.Path(partition));
            EXPECT_EQ(data, std::string(data.size(), static_cast<char>(0xFF))) << partition;
        }
        for (const auto& entry : std::filesystem::directory_iterator(tDevice.Path("/tmp/Update")))
        {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "fw.qor" || name == "UpdateLog.txt" || name == "Event.log") << name;
        }
    }
}

// Zip forms: zip64 sizes are read; members the updater cannot unpack (another compression
// method, encryption) or that would leave the update directory are named with the reason, and
// nothing is changed.
TEST_F(UpdaterFamily2, ZipFormsAreReadOrRefusedWithTheReason)
{
    auto archive = FullArchive("image");
    archive["Files/a.txt"] = "new a\n" + std::string(20000, 'a');
    auto outside = archive;
    outside["../evil.txt"] = "evil";
    const struct
    {
        const char* what;
        std::map<std::string, std::string> files;
        std::vector<std::string> options;
        int status;
        std::string result; // the whole result, or the part after the member's name
    } cases[] = {
        {"bzip2",
         archive,
         {"-Z", "bzip2"},
         233,
         " is compressed with bzip2, which the updater cannot unpack."},
        {"password",
         archive,
         {"-P", "secret"},
         233,
         "ERROR: Corrupt update file: Target.txt is encrypted."},
        {"member outside",
         outside,
         {},
         233,
         "ERROR: Corrupt update file: ../evil.txt leads out of the update directory."},
        {"zip64", archive, {"-fz"}, 0, "Update done"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        MakeArchive(c.files, "fw.qor", false, c.options);
        EXPECT_EQ(Run(Arguments()), c.status) << sOutput;
        const std::string result = Result();
        if (c.result[0] == ' ')
        {
            EXPECT_EQ(result.rfind("ERROR: Corrupt update file: ", 0), 0u) << result;
            ASSERT_GE(result.size(), c.result.size());
            EXPECT_EQ(result.substr(result.size() - c.result.size()), c.result);
        }
        else
            EXPECT_EQ(result, c.result);
        if (c.status != 0)
        {
            EXPECT_EQ(Data("a.txt"), "old a\n");
            continue;
        }
        EXPECT_EQ(Data("a.txt"), archive.at("Files/a.txt"));
        EXPECT_EQ(ReadFile(tDevice.Path("/dev/mtd_fpga")).substr(0, 5), "image");
        // The archive kept in flash, without the image, is whole.
        const auto records = UpdateRecords(ReadFile(tDevice.Path("/dev/mtd_update")));
        ASSERT_EQ(records.count("UPDT"), 1u);
        CTempDir check;
        Write(check.Path() + "/kept.zip", records.at("UPDT"));
        std::string listing;
        EXPECT_EQ(RunCommand({"/usr/bin/env", "unzip", "-t", check.Path() + "/kept.zip"}, &listing),
                  0)
            << listing;
        EXPECT_EQ(listing.find("img/fpga.bin"), std::string::npos) << listing;
    }
}

TEST_F(UpdaterFamily2, HubRequestRunsTheUpdaterFromTheArchive)
{
    if (!ProgramsStartProgramsOfTheBuild())
        GTEST_SKIP() << "the hub cannot start a program of this build by itself here";
    auto files = FullArchive("image");
    // No records in flash: a stand-alone set of parts.
    files["Target.txt"] = "52.374030 x Files;Config;<NoHwModuleUpdate> y\n";
    files["update.exec"] = ReadFile(BinPath("update"));
    MakeArchive(files, "fw.zip");
    CTestProcess hub(tDevice, "systemdriver", {}, {"NORESET_AFTER_UPDATE=YES"});
    ASSERT_TRUE(hub.WaitForPort(62000)) << hub.Output();
    CProgressReceiver progress;
    const CReply reply = SendRequest(
        62000, kHead + "<Update File=\"fw.zip\" SendProgressTo=\"" + progress.Address() + "\"/>",
        tDevice.Dir() + "/reply.xml");
    EXPECT_TRUE(reply.Has("Status=\"UserResetNeeded\"")) << reply.sText << hub.Output();
    EXPECT_EQ(Result(), "Update done");
    EXPECT_EQ(Data("a.txt"), "new a\n");
    EXPECT_EQ(ReadFile(tDevice.Path("/Applications/tmp/Driver/Configuration/Updated.xml")),
              "<Module/>\n");
    EXPECT_EQ(progress.Records().back().sText, "Update finished");
    EXPECT_NE(
        ReadFile(tDevice.Path("/Applications/tmp/Driver/log/Update_params.txt")).find("\"-Force\""),
        std::string::npos);
}
} // namespace

namespace
{
class UpdaterModule : public Updater
{
protected:
    UpdaterModule() : Updater({"--slots", "1"}) {}
};

// A module whose flash file system holds its golden FPGA image (entry 0), the user image (entry
// 1) and a program: the update replaces the user image and the program goes.
TEST_F(UpdaterModule, FpgaImageGoesToTheModuleFlashAndTheVersionToItsEeprom)
{
    const std::string plv = tDevice.Path("/dev/module1/plvfs/");
    Write(plv + "table", "0\t0\t6\tG1\t2001-01-31\t07:30:01\tGolden_Fpga.bin\n"
                         "1\t65536\t3\tU1\t2001-01-31\t07:30:02\tUser_Fpga\n"
                         "2\t131072\t3\t01\t2010-02-01\t17:05:05\tmodule.exe\n");
    Write(plv + "0.bin", "golden");
    Write(plv + "1.bin", "old");
    Write(plv + "2.bin", "exe");
    MakeArchive({
        {"Target.txt", "52.374030 x . y\n"},
        {"Compatibility.xml", "<Compatibility/>\n"},
        {"Files/Version_Files.xml", Version("")},
        {"SimModule1/Version_SimModule1.xml",
         Version("<Files Version=\"02\" Name=\"fpga\" Type=\"Module\"><File PLVType=\"FPGA\" "
                 "Name=\"fpga/User_Fpga.bin\" Version=\"02\"/></Files>\n")},
        {"SimModule1/fpga/User_Fpga.bin", "new user image"},
    });
    ASSERT_EQ(Run(Arguments()), 0) << sOutput;
    EXPECT_EQ(Result(), "Update done");
    const std::string table = ReadFile(plv + "table");
    EXPECT_EQ(table.find("module.exe"), std::string::npos) << table;
    const size_t golden = table.find("Golden_Fpga.bin\n");
    const size_t user = table.find("\tUser_Fpga\n");
    ASSERT_NE(golden, std::string::npos) << table;
    ASSERT_NE(user, std::string::npos) << table;
    EXPECT_LT(golden, user);
    const std::string id =
        table.substr(table.rfind('\n', user) + 1,
                     table.find('\t', table.rfind('\n', user) + 1) - table.rfind('\n', user) - 1);
    EXPECT_EQ(ReadFile(plv + id + ".bin"), "new user image");
    EXPECT_EQ(ReadFile(tDevice.Path("/dev/module1/eeprom.bin")).substr(130, 6), "020000");
}

// Production: the part goes onto the selected module without a target check and without its
// production record (a new module has none yet); the module tells its flash size itself.
TEST_F(UpdaterModule, ProductionProgramsAModuleWithoutItsProductionRecord)
{
    const std::string plv = tDevice.Path("/dev/module1/plvfs/");
    Write(plv + "table", "0\t0\t6\tG1\t2001-01-31\t07:30:01\tGolden_Fpga.bin\n"
                         "1\t65536\t3\tU1\t2001-01-31\t07:30:02\tUser_Fpga\n");
    Write(plv + "0.bin", "golden");
    Write(plv + "1.bin", "old");
    // Neither a target description nor a compatibility list: production needs neither.
    MakeArchive({
        {"Bench/Version_Bench.xml",
         Version("<Files Version=\"03\" Name=\"fpga\" Type=\"Module\"><File PLVType=\"FPGA\" "
                 "Name=\"fpga/User_Fpga.bin\" Version=\"03\"/></Files>\n")},
        {"Bench/fpga/User_Fpga.bin", "produced image"},
    });
    // An erased EEPROM.
    const std::string eeprom = tDevice.Path("/dev/module1/eeprom.bin");
    Write(eeprom, std::string(1024, '\xFF'));

    const struct
    {
        const char* what;
        std::vector<std::string> arguments;
        int status;
        std::string result;
    } cases[] = {
        {"empty slot",
         {"-Produce=Bench", "-Slot=2"},
         236,
         "Error: can not read module file system"},
        {"module", {"-Produce=Bench", "-Slot=1"}, 0, "Update done"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Run(Arguments(c.arguments)), c.status) << sOutput;
        EXPECT_EQ(Result(), c.result);
    }
    EXPECT_NE(sOutput.find("Found "), std::string::npos);
    const std::string table = ReadFile(plv + "table");
    const size_t user = table.find("\tUser_Fpga\n");
    ASSERT_NE(user, std::string::npos) << table;
    const size_t line = table.rfind('\n', user) + 1;
    EXPECT_EQ(ReadFile(plv + table.substr(line, table.find('\t', line) - line) + ".bin"),
              "produced image");
    EXPECT_EQ(ReadFile(eeprom).substr(130, 6), "030000");
    // Nothing went into the records of the central unit.
    const std::string update = ReadFile(tDevice.Path("/dev/mtd_update"));
    EXPECT_EQ(update, std::string(update.size(), static_cast<char>(0xFF)));
}
} // namespace

namespace
{
// An ordering number for the device, where the updater reads it: the system driver's copy of
// the production data.
void SetOrderingNumber(const CSimDevice& device, const std::string& number)
{
    std::string production(96, '\0');
    production.replace(64, number.size(), number);
    Write(device.Path("/tmp/Driver/System/EEProm.bin"), production);
}

// Every check that can refuse an archive comes before the first change: an archive refused for
// a member that does not match its CRC, or for a part that runs last but cannot be taken (its
// control document, a block size, a member, a group type, a module slot), leaves the slot 1
// module without the production record the archive brings for it, the clock register of a
// clock device unwritten and the drivers' old request files and routing configurations in
// place; an archive that passes the checks changes all of them.
TEST_F(UpdaterModule, RefusedArchiveLeavesSlot1EepromClockRegisterAndConfigurationAsTheyWere)
{
    std::string record(512, '\0');
    record.replace(32, 9, "NewModule");
    record.replace(64, 9, "30.000002");
    const std::string later = "Later/Version_Later.xml";
    auto archive = [&record, &later](const std::string& order, const std::string& control)
    {
        std::map<std::string, std::string> files{
            {"Target.txt", order + " x Later y\n"},
            {"Compatibility.xml", "<Compatibility/>\n"},
            {"Files/Version_Files.xml",
             Version("<Files Version=\"2\" Type=\"HDD\" ArchiveDir=\"Files\" "
                     "DestinationDir=\"/Applications/data/\"><File>a.txt</File></Files>\n")},
            {"Files/a.txt", "new a, checked by its CRC\n"},
            {"EEProm1.bin", record},
            {"NewModule/Version_NewModule.xml", Version("")},
            {"Later/l.bin", "later"},
        };
        if (!control.empty())
            files[later] = control;
        return files;
    };
    const std::string flash = "<Files Version=\"1\" Type=\"Flash\" ArchiveDir=\"Later\" "
                              "DestinationDir=\"/dev/mtd_fpga";
    const std::string hdd = "<Files Version=\"1\" Type=\"HDD\" ArchiveDir=\"Later\" "
                            "DestinationDir=\"/Applications/data/\"><File>";
    const struct
    {
        const char* what;
        std::string control; // of the part "Later", none when empty
        bool crc;            // a member does not match its CRC
        int status;
        std::string result;
    } kinds[] = {
        {"CRC", Version(""), true, 233,
         "ERROR: Corrupt update file: Files/a.txt does not match its CRC."},
        {"no control document", "", false, 236,
         "Error in update file: " + later + " is missing or corrupt"},
        {"control document not XML", "<Version><Files></Version>", false, 236,
         "Error in update file: " + later + " is currupt"},
        {"no block size", Version(flash + "\"><File>l.bin</File></Files>\n"), false, 236,
         "Error: block size missing in destination directory"},
        {"block size too small", Version(flash + ":5\"><File>l.bin</File></Files>\n"), false, 236,
         "Error in control file: DestinationDir or BlochSize are either missing or corrupt"},
        {"member missing", Version(hdd + "gone.txt</File></Files>\n"), false, 236,
         "Failed to copy file"},
        {"flash image missing", Version(flash + ":4096\"><File>gone.bin</File></Files>\n"), false,
         236, "Error while writing gone.bin"},
        {"unknown group type",
         Version("<Files Version=\"1\" Type=\"Tape\"><File>l.bin</File></Files>\n"), false, 236,
         "Error: The update file is currupt: unknown type of part Later on slot 0"},
        {"module slot without flash",
         Version("<Files Version=\"1\" Type=\"Module\"><File PLVType=\"FPGA\" "
                 "Name=\"l.bin\"/></Files>\n"),
         false, 236, "Error: can not read module file system"},
        {"AVR group", Version("<Files Version=\"1\" Type=\"AVR\"><File Name=\"l.bin\"/></Files>\n"),
         false, 236, "Error while updating AVR in module X1"},
        {"accepted", Version(hdd + "l.bin</File></Files>\n"), false, 0, "Update done"},
    };
    const std::string eeprom = tDevice.Path("/dev/module1/eeprom.bin");
    const std::string erased(1024, '\xFF');
    const std::string routing = tDevice.Path("/tmp/Driver/Configuration/Old_DUF.xml");
    const std::string request = tDevice.Path("/tmp/Driver/System/TmpRequest.xml");
    // A device whose module in slot 1 gets its production record, and a clock device.
    for (const std::string order : {"57.317000", "52.760000"})
        for (const auto& c : kinds)
        {
            SCOPED_TRACE(order + ", " + c.what);
            SetOrderingNumber(tDevice, order);
            Write(eeprom, erased);
            tDevice.Tool("poke", {"0x2000", "0"});
            Write(routing, "<Routing/>");
            Write(request, "<Request/>");
            MakeArchive(archive(order, c.control), "fw.qor", c.crc);
            if (c.crc)
            {
                std::string bytes = ReadFile(tDevice.Path("/tmp/Update/fw.qor"));
                const size_t at = bytes.find("checked by its CRC");
                ASSERT_NE(at, std::string::npos);
                bytes[at] = 'C';
                Write(tDevice.Path("/tmp/Update/fw.qor"), bytes);
            }
            EXPECT_EQ(Run(Arguments()), c.status) << sOutput;
            EXPECT_EQ(Result(), c.result);
            const bool written = c.status == 0;
            const bool module = order[1] == '7';
            EXPECT_EQ(Data("a.txt"), written ? "new a, checked by its CRC\n" : "old a\n");
            if (module && written)
                EXPECT_EQ(ReadFile(eeprom).substr(32, 10), std::string("NewModule\0", 10));
            else
                EXPECT_EQ(ReadFile(eeprom), erased);
            EXPECT_EQ(tDevice.Tool("peek", {"0x2000"}),
                      !module && written ? "0x00800000\n" : "0x00000000\n");
            EXPECT_EQ(std::filesystem::exists(routing), !written);
            EXPECT_EQ(std::filesystem::exists(request), !written);
            Write(tDevice.Path("/Applications/data/a.txt"), "old a\n");
            std::filesystem::remove(tDevice.Path("/Applications/data/a.txt.beforeUpdate"));
            std::filesystem::remove(tDevice.Path("/Applications/data/l.bin"));
        }
}

// Production needs its slots named only where the kind of system leaves all of them selected
// (an S-QX based system); a Z-TM based system has slot 0 taken off already and runs the other
// slots (here refused before any change for slot 2, which holds no module), a stand-alone device
// runs only its own parts.
TEST_F(UpdaterModule, ProductionWithoutSlotsIsRefusedWhereEverySlotStaysSelected)
{
    const std::string table = tDevice.Path("/dev/module1/plvfs/table");
    Write(table, "0\t0\t6\tG1\t2001-01-31\t07:30:01\tGolden_Fpga.bin\n"
                 "1\t65536\t3\tU1\t2001-01-31\t07:30:02\tUser_Fpga\n");
    MakeArchive({
        {"Files/Version_Files.xml",
         Version("<Files Version=\"1\" Type=\"HDD\" ArchiveDir=\"Files\" "
                 "DestinationDir=\"/Applications/data/\"><File>a.txt</File></Files>\n")},
        {"Files/a.txt", "new a\n"},
        {"Bench/Version_Bench.xml",
         Version("<Files Version=\"03\" Name=\"fpga\" Type=\"Module\"><File PLVType=\"FPGA\" "
                 "Name=\"fpga/User_Fpga.bin\" Version=\"03\"/></Files>\n")},
        {"Bench/fpga/User_Fpga.bin", "produced image"},
    });
    const std::string before = ReadFile(table);
    const struct
    {
        const char* what;
        std::string order;
        int status;
        std::string result;
    } cases[] = {
        {"S-QX based", "52.374012", 255, "Syntax error"},
        {"Z-TM based", "52.374030", 236, "Error: can not read module file system"},
        {"stand-alone", "52.760000", 0, "Update done"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        SetOrderingNumber(tDevice, c.order);
        Write(tDevice.Path("/Applications/data/a.txt"), "old a\n");
        EXPECT_EQ(Run(Arguments({"-Produce=Bench"})), c.status) << sOutput;
        EXPECT_EQ(Result(), c.result);
        EXPECT_EQ(sOutput.find("ERROR: -slot is mandatory for production") != std::string::npos,
                  c.status == 255)
            << sOutput;
        EXPECT_EQ(Data("a.txt"), c.status == 0 ? "new a\n" : "old a\n");
        EXPECT_EQ(ReadFile(table), before);
    }
}

// A group that brings the version the module has already is skipped, unless -Force asks for
// every group.
TEST_F(UpdaterModule, GroupOfTheInstalledVersionIsSkipped)
{
    // The module in slot 1 has the version "01".
    const std::string group = "<Files Version=\"%\" Type=\"HDD\" ArchiveDir=\"SimModule1\" "
                              "DestinationDir=\"/Applications/data/\"><File>#</File></Files>\n";
    auto make = [&group](const std::string& version, const std::string& file)
    {
        std::string text = group;
        text.replace(text.find('%'), 1, version);
        text.replace(text.find('#'), 1, file);
        return text;
    };
    const struct
    {
        const char* what;
        std::vector<std::string> arguments;
        std::string a;
    } cases[] = {
        {"installed version", {}, "old a\n"},
        {"forced", {"-Force"}, "new a\n"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        Write(tDevice.Path("/Applications/data/a.txt"), "old a\n");
        Write(tDevice.Path("/Applications/data/b.txt"), "old b\n");
        MakeArchive({
            {"Target.txt", "52.374030 x . y\n"},
            {"Compatibility.xml", "<Compatibility/>\n"},
            {"Files/Version_Files.xml", Version("")},
            {"SimModule1/Version_SimModule1.xml",
             Version(make("01", "a.txt") + make("02", "b.txt"))},
            {"SimModule1/a.txt", "new a\n"},
            {"SimModule1/b.txt", "new b\n"},
        });
        ASSERT_EQ(Run(Arguments(c.arguments)), 0) << sOutput;
        EXPECT_EQ(Result(), "Update done");
        EXPECT_EQ(Data("a.txt"), c.a);
        EXPECT_EQ(Data("b.txt"), "new b\n");
    }
}

class UpdaterNewModules : public Updater
{
protected:
    UpdaterNewModules() : Updater({"--slots", "1,2"}) {}
};

// The modules of a device just made hold only what they left the factory with: a module update
// (slot 1) and a production run (slot 2) put the new FPGA image where the updater verifies it,
// entry 1 behind the golden image, and the version into the EEPROM.
TEST_F(UpdaterNewModules, ModuleUpdateAndProductionRunOnANewDevice)
{
    const std::string fpga = "<Files Version=\"02\" Name=\"fpga\" Type=\"Module\"><File "
                             "PLVType=\"FPGA\" Name=\"fpga/User_Fpga.bin\" Version=\"02\"/>"
                             "</Files>\n";
    const struct
    {
        const char* what;
        int slot;
        std::map<std::string, std::string> files;
        std::vector<std::string> arguments;
        std::string image;
    } cases[] = {
        {"module update",
         1,
         {{"Target.txt", "52.374030 x . y\n"},
          {"Compatibility.xml", "<Compatibility/>\n"},
          {"Files/Version_Files.xml", Version("")},
          {"SimModule1/Version_SimModule1.xml", Version(fpga)},
          {"SimModule1/fpga/User_Fpga.bin", "image of the update"}},
         {"-Slot=-1,1"},
         "image of the update"},
        {"production",
         2,
         {{"Bench/Version_Bench.xml", Version(fpga)},
          {"Bench/fpga/User_Fpga.bin", "image of the production"}},
         {"-Produce=Bench", "-Slot=2"},
         "image of the production"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string module = tDevice.Path("/dev/module" + std::to_string(c.slot));
        ASSERT_FALSE(std::filesystem::exists(module)) << "the module was touched before";
        MakeArchive(c.files);
        ASSERT_EQ(Run(Arguments(c.arguments)), 0) << sOutput;
        EXPECT_EQ(Result(), "Update done");
        // Table lines: id, address, size, version, date, time, name.
        std::vector<std::vector<std::string>> entries;
        std::istringstream lines(ReadFile(module + "/plvfs/table"));
        for (std::string line; std::getline(lines, line);)
        {
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');)
                fields.push_back(field);
            ASSERT_EQ(fields.size(), 7u) << line;
            entries.push_back(fields);
        }
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0][6], "Golden_Fpga.bin");
        EXPECT_EQ(entries[1][6], "User_Fpga");
        EXPECT_EQ(ReadFile(module + "/plvfs/" + entries[1][0] + ".bin"), c.image);
        EXPECT_EQ(ReadFile(module + "/eeprom.bin").substr(130, 6), "020000");
    }
}
} // namespace
