// The configuration archive: the member check, packing and unpacking with tar and gzip, and the
// head of the flash records it is stored in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "KoveTestSupport.h"
#include "QTXConfigArchive.h"
#include "QTXFlashRecord.h"
#include "TarImage.h"

using namespace kovetest;

namespace
{
bool Check(const std::string& image, std::string* why = nullptr)
{
    std::string reason;
    const bool ok = CheckConfigurationTar(reinterpret_cast<const unsigned char*>(image.data()),
                                          image.size(), reason);
    if (why)
        *why = reason;
    return ok;
}

void Write(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// The data compressed by the system's gzip.
std::string Gzip(const std::string& data)
{
    CTempDir work;
    const std::string path = work.Path() + "/data";
    Write(path, data);
    EXPECT_EQ(RunCommand({"/usr/bin/env", "gzip", "-f", path}), 0);
    return ReadFile(path + ".gz");
}

bool Inflate(const std::string& gz, std::string& tar, std::string& why)
{
    return InflateConfigurationArchive(reinterpret_cast<const unsigned char*>(gz.data()), gz.size(),
                                       tar, why);
}

std::vector<std::string> Entries(const std::string& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
} // namespace

TEST(QTXConfigArchive, MemberCheckTakesOnlyPlainFilesOfTheDirectory)
{
    EXPECT_TRUE(Check(""));
    EXPECT_TRUE(Check(TarImage({})));
    EXPECT_TRUE(Check(TarImage({{"Config_62000_System.xml", "<Module/>"}, {"./run.sh", "x"}})));
    EXPECT_TRUE(Check(TarImage({{"a.cfg", std::string(1000, 'a')}}, false)));

    const struct
    {
        CTarMember member;
        const char* reason;
    } refused[] = {
        {{"/etc/passwd", "x"}, "leave"},
        {{"../escape.xml", "x"}, "leave"},
        {{"..", ""}, "leave"},
        {{"sub/inner.xml", "x"}, "leave"},
        {{"inner.xml", "x", '0', ".."}, "leave"},
        {{"bad\nname.xml", "x"}, "holds a control character"},
        {{"link.xml", "", '2'}, "\"link.xml\" is a link"},
        {{"hard.xml", "", '1'}, "\"hard.xml\" is a link to \"\", which is no file before it"},
        {{"dir", "", '5'}, "\"dir\" is a folder"},
        {{"fifo", "", '6'}, "\"fifo\" is a device or a pipe"},
        {{"volume", "", 'V'}, "\"volume\" is not a plain file (type 'V')"},
        {{"././@LongLink", "long.xml", 'L'}, "ends after an extended header"},
        {{"././@LongLink", "target", 'K'}, "ends after an extended header"},
    };
    for (const auto& c : refused)
    {
        SCOPED_TRACE(c.member.sName);
        std::string why;
        EXPECT_FALSE(Check(TarImage({{"good.xml", "x"}, c.member}), &why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }

    std::string image = TarImage({{"good.xml", std::string(600, 'g')}});
    std::string why;
    EXPECT_FALSE(Check(image.substr(0, 700), &why)); // data cut short
    EXPECT_NE(why.find("longer than the archive"), std::string::npos) << why;
    EXPECT_FALSE(Check(image.substr(0, 300), &why));
    EXPECT_NE(why.find("inside a header"), std::string::npos) << why;
    image[10] = 'X'; // the checksum no longer fits
    EXPECT_FALSE(Check(image, &why));
    EXPECT_NE(why.find("checksum"), std::string::npos) << why;
}

// pax archives: an extended header names and sizes the member behind it, and that name is
// checked like the header's own.
TEST(QTXConfigArchive, PaxExtendedHeadersNameTheNextMember)
{
    const std::string times = PaxRecords({{"mtime", "1796973368.397767823"}, {"atime", "1"}});
    std::string tar = TarImage({{"PaxHeaders/x", PaxRecords({{"path", "renamed.xml"}}), 'x'},
                                {"header-name.xml", "<R/>", '0', "", 04644},
                                {"PaxHeaders/y", times + PaxRecords({{"size", "600"}}), 'x'},
                                {"sized.xml", std::string(600, 's')},
                                {"GlobalHead", PaxRecords({{"comment", "made here"}}), 'g'},
                                {"plain.xml", "<P/>"}});
    // The header of "sized.xml" says 0 bytes: the size comes from the extended header.
    const size_t sized = tar.find("sized.xml");
    ASSERT_NE(sized, std::string::npos);
    std::string rewritten = TarImage({{"sized.xml", ""}}).substr(0, 512);
    tar.replace(sized, 512, rewritten);
    std::vector<std::string> names;
    std::string why;
    ASSERT_TRUE(PrepareConfigurationTar(tar, names, why)) << why;
    EXPECT_EQ(names, (std::vector<std::string>{"renamed.xml", "sized.xml", "plain.xml"}));
    EXPECT_TRUE(Check(tar, &why)) << why;

    const struct
    {
        const char* what;
        std::vector<CTarMember> members;
        const char* reason;
    } refused[] = {
        {"up", {{"h", PaxRecords({{"path", "../escape.xml"}}), 'x'}, {"fine.xml", "x"}}, "leave"},
        {"sub-folder",
         {{"h", PaxRecords({{"path", "sub/in.xml"}}), 'x'}, {"in.xml", "x"}},
         "leave"},
        {"absolute", {{"h", PaxRecords({{"path", "/etc/passwd"}}), 'x'}, {"p.xml", "x"}}, "leave"},
        {"link", {{"h", PaxRecords({{"path", "l.xml"}}), 'x'}, {"l.xml", "", '2'}}, "is a link"},
        {"link target", {{"h", PaxRecords({{"linkpath", "/etc"}}), 'x'}, {"l.xml", ""}}, "plain"},
        {"long link name of a plain file",
         {{"././@LongLink", std::string("good.xml") + '\0', 'K'}, {"l.xml", ""}},
         "plain file with a link target"},
        {"sparse", {{"h", PaxRecords({{"GNU.sparse.size", "9"}}), 'x'}, {"s.xml", ""}}, "plain"},
        {"global name", {{"g", PaxRecords({{"path", "a.xml"}}), 'g'}, {"b.xml", ""}}, "renames"},
        {"two in a row", {{"h", "", 'x'}, {"h", "", 'x'}, {"a.xml", ""}}, "in a row"},
        {"nothing behind", {{"h", PaxRecords({{"path", "a.xml"}}), 'x'}}, "ends after"},
        {"bad length", {{"h", "5 path=a.xml\n", 'x'}, {"a.xml", ""}}, "malformed"},
        {"no keyword", {{"h", "5 =x\n", 'x'}, {"a.xml", ""}}, "malformed"},
        {"bad size", {{"h", PaxRecords({{"size", "1e3"}}), 'x'}, {"a.xml", ""}}, "bad size"},
        {"huge size",
         {{"h", PaxRecords({{"size", "99999999999999999999"}}), 'x'}, {"a.xml", ""}},
         "bad size"},
        {"size beyond the data",
         {{"h", PaxRecords({{"size", "4096"}}), 'x'}, {"a.xml", "x"}},
         "longer than the archive"},
    };
    for (const auto& c : refused)
    {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(Check(TarImage(c.members), &why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }

    // What the system's tar writes in pax form comes back.
    CTempDir from;
    CTempDir to;
    Write(from.Path() + "/a.xml", "<A/>");
    ASSERT_EQ(RunCommand({"/usr/bin/env", "tar", "--format=pax", "-c", "-f",
                          to.Path() + "/Config.tar", "-C", from.Path(), "a.xml"}),
              0);
    ASSERT_EQ(RunCommand({"/usr/bin/env", "gzip", "-f", to.Path() + "/Config.tar"}), 0);
    ASSERT_TRUE(UnpackConfigurationArchive(to.Path() + "/", why)) << why;
    EXPECT_EQ(Entries(to.Path()), std::vector<std::string>{"a.xml"});
    EXPECT_EQ(ReadFile(to.Path() + "/a.xml"), "<A/>");
}

// Names of 100 bytes or more: GNU tar writes them in a long-name header ('L') before the member,
// in pax form as the path of an extended header. Both are checked as the member's own name, up
// to the longest name a file may have. The archive's own folder ("./") is passed over and left
// out of what tar unpacks.
TEST(QTXConfigArchive, LongNamesAndTheArchivesOwnFolder)
{
    const std::string longest = std::string(251, 'n') + ".xml";
    const std::string tooLong = std::string(252, 'n') + ".xml";
    const auto gnu = [](const std::string& name, const std::string& data)
    {
        return std::vector<CTarMember>{{"././@LongLink", name + '\0', 'L'},
                                       {name.substr(0, 100), data}};
    };
    const struct
    {
        const char* what;
        std::vector<CTarMember> members;
        const char* reason; // nullptr: accepted with the single name "long"
    } cases[] = {
        {"GNU, 255 bytes", gnu(longest, "<L/>"), nullptr},
        {"pax, 255 bytes",
         {{"PaxHeaders/l", PaxRecords({{"path", "./" + longest}}), 'x'}, {"cut", "<L/>"}},
         nullptr},
        {"GNU, 256 bytes", gnu(tooLong, "<L/>"), "is longer than 255 bytes"},
        {"pax, 256 bytes",
         {{"PaxHeaders/l", PaxRecords({{"path", tooLong}}), 'x'}, {"cut", "<L/>"}},
         "is longer than 255 bytes"},
        {"GNU, sub-folder", gnu("sub/" + longest.substr(4), "x"), "would leave"},
        {"GNU, empty", gnu("", "x"), "long name at byte 0 is empty"},
        {"GNU, twice",
         {{"././@LongLink", longest + '\0', 'L'},
          {"././@LongLink", longest + '\0', 'L'},
          {"cut", "x"}},
         "two extended headers in a row"},
        {"a folder named otherwise", {{"./sub/", "", '5'}, {"a.xml", "x"}}, "is a folder"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::string tar = TarImage(c.members);
        std::vector<std::string> names;
        std::string why;
        EXPECT_EQ(PrepareConfigurationTar(tar, names, why), c.reason == nullptr);
        if (c.reason == nullptr)
            EXPECT_EQ(names, std::vector<std::string>{longest}) << why;
        else
            EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }

    // "tar -C dir -cf x ." begins with the folder itself; what tar is given no longer has it.
    std::string tar = TarImage(
        {{"./", "", '5', "", 0700}, {"./a.xml", "<A/>"}, {".", "", '5'}, {"b.xml", "<B/>"}});
    std::vector<std::string> names;
    std::string why;
    ASSERT_TRUE(PrepareConfigurationTar(tar, names, why)) << why;
    EXPECT_EQ(names, (std::vector<std::string>{"a.xml", "b.xml"}));
    EXPECT_EQ(tar, TarImage({{"./a.xml", "<A/>"}, {"b.xml", "<B/>"}}));
}

TEST(QTXConfigArchive, PackAndUnpackRoundTrip)
{
    CTempDir from;
    CTempDir to;
    const std::string source = from.Path() + "/";
    const std::string target = to.Path() + "/";
    Write(source + "Config_62000_System.xml", "<Module Name=\"System\"/>\n");
    Write(source + "start.sh", "echo start\n");
    Write(source + "fo.cfg", "speed=1\n");
    Write(source + "notes.txt", "not packed\n");
    Write(source + "-dash.xml", "a name like an option\n");
    // The fresh file of a store in progress is never packed.
    Write(source + "..Store.Config_62000_System.xml.Ab12Cd", "<Module");
    mkdir((source + "folder.xml").c_str(), 0755);
    EXPECT_EQ(
        ListConfigurationFiles(source),
        (std::vector<std::string>{"-dash.xml", "Config_62000_System.xml", "fo.cfg", "start.sh"}));

    std::string why;
    ASSERT_TRUE(PackConfigurationArchive(source, why)) << why;
    const std::string archive = ReadFile(source + "Config.tar.gz");
    ASSERT_GT(archive.size(), 10u);
    EXPECT_TRUE(ReadFile(source + "Config.tar").empty());

    Write(target + "Config.tar.gz", archive);
    ASSERT_TRUE(UnpackConfigurationArchive(target, why)) << why;
    EXPECT_EQ(ReadFile(target + "Config_62000_System.xml"), "<Module Name=\"System\"/>\n");
    EXPECT_EQ(ReadFile(target + "-dash.xml"), "a name like an option\n");
    EXPECT_EQ(ReadFile(target + "fo.cfg"), "speed=1\n");
    EXPECT_TRUE(ReadFile(target + "notes.txt").empty());
    struct stat st;
    EXPECT_NE(stat((target + "Config.tar.gz").c_str(), &st), 0);
    EXPECT_NE(stat((target + "Config.tar").c_str(), &st), 0);

    // An empty directory still makes an archive: a few dozen bytes.
    CTempDir empty;
    ASSERT_TRUE(PackConfigurationArchive(empty.Path() + "/", why)) << why;
    const size_t emptySize = ReadFile(empty.Path() + "/Config.tar.gz").size();
    EXPECT_GT(emptySize, 10u);
    EXPECT_LT(emptySize, 100u);
}

TEST(QTXConfigArchive, UnpackRefusesAnArchiveThatLeavesTheDirectory)
{
    CTempDir dir;
    const std::string target = dir.Path() + "/conf/";
    mkdir(target.c_str(), 0755);
    Write(target + "Config.tar", TarImage({{"fine.xml", "fine"}, {"../outside.xml", "escaped"}}));
    ASSERT_EQ(RunCommand({"/usr/bin/env", "gzip", "-f", target + "Config.tar"}), 0);
    std::string why;
    EXPECT_FALSE(UnpackConfigurationArchive(target, why));
    EXPECT_NE(why.find("../outside.xml"), std::string::npos) << why;
    EXPECT_TRUE(ReadFile(dir.Path() + "/outside.xml").empty());
    EXPECT_TRUE(ReadFile(target + "fine.xml").empty());

    Write(target + "Config.tar.gz", "not gzip at all");
    EXPECT_FALSE(UnpackConfigurationArchive(target, why));
    EXPECT_NE(why.find("damaged"), std::string::npos) << why;
}

TEST(QTXConfigArchive, UncompressingStopsAtTheBound)
{
    const std::string tar = TarImage({{"a.xml", "<A/>"}});
    const std::string gz = Gzip(tar);
    // Just over the bound: a few kilobytes compressed.
    const std::string bomb = Gzip(std::string(QTX_CONFIG_ARCHIVE_MAX_UNPACKED + 1, '\0'));
    const struct
    {
        const char* what;
        std::string data;
        const char* reason; // nullptr: accepted, the tar comes back
    } cases[] = {
        {"one member", gz, nullptr},
        {"two members one after the other", Gzip(tar.substr(0, 512)) + Gzip(tar.substr(512)),
         nullptr},
        {"exactly the bound", Gzip(std::string(QTX_CONFIG_ARCHIVE_MAX_UNPACKED, '\0')), nullptr},
        {"over the bound", bomb, "more than 16777216 bytes"},
        {"cut short", gz.substr(0, gz.size() - 9), "cut short"},
        {"other bytes behind", gz + "junk", "followed by other data"},
        {"not gzip", "not gzip at all", "damaged"},
        {"empty", "", "empty"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::string out = "stale";
        std::string why;
        const bool ok = Inflate(c.data, out, why);
        EXPECT_EQ(ok, c.reason == nullptr) << why;
        if (c.reason != nullptr)
        {
            EXPECT_NE(why.find(c.reason), std::string::npos) << why;
            EXPECT_TRUE(out.empty());
        }
        else
        {
            EXPECT_EQ(out.size(), c.data == gz || c.data.size() < 1000
                                      ? tar.size()
                                      : QTX_CONFIG_ARCHIVE_MAX_UNPACKED);
        }
    }
}

TEST(QTXConfigArchive, RestoredMembersKeepNoSetIdBits)
{
    std::string tar = TarImage({{"./suid.sh", "echo root", '0', "", 04755},
                                {"sgid.cfg", "x", '0', "", 02750},
                                {"sticky.xml", "<S/>", '0', "", 01644},
                                {"plain.xml", "<P/>", '0', "", 0600},
                                {"suid.sh", "echo again", '0', "", 06777}});
    std::vector<std::string> names;
    std::string why;
    ASSERT_TRUE(PrepareConfigurationTar(tar, names, why)) << why;
    EXPECT_EQ(names, (std::vector<std::string>{"suid.sh", "sgid.cfg", "sticky.xml", "plain.xml"}));
    // The headers still check, with the bits gone from their modes.
    EXPECT_TRUE(Check(tar, &why)) << why;
    EXPECT_EQ(tar.substr(100, 8), std::string("0000755\0", 8));
    EXPECT_EQ(tar.substr(3 * 1024 + 100, 8), std::string("0000600\0", 8));

    // Unpacked by the real tar (as root it would keep every bit of the header).
    CTempDir dir;
    const std::string target = dir.Path() + "/";
    Write(target + "plain.xml", "<Old/>");
    Write(target + "Config.tar.gz", Gzip(TarImage({{"suid.sh", "echo root", '0', "", 04755},
                                                   {"sgid.cfg", "x", '0', "", 02750},
                                                   {"plain.xml", "<P/>", '0', "", 0600}})));
    ASSERT_TRUE(UnpackConfigurationArchive(target, why)) << why;
    const struct
    {
        const char* name;
        mode_t mode;
    } modes[] = {{"suid.sh", 0755}, {"sgid.cfg", 0750}, {"plain.xml", 0600}};
    for (const auto& m : modes)
    {
        struct stat st;
        ASSERT_EQ(stat((target + m.name).c_str(), &st), 0) << m.name;
        EXPECT_EQ(st.st_mode & 07777, m.mode) << m.name;
    }
    EXPECT_EQ(ReadFile(target + "plain.xml"), "<P/>");
    EXPECT_EQ(Entries(target), (std::vector<std::string>{"plain.xml", "sgid.cfg", "suid.sh"}));
}

TEST(QTXConfigArchive, RefusedArchiveLeavesTheDirectoryAsItWas)
{
    CTempDir dir;
    const std::string target = dir.Path() + "/";
    Write(target + "keep.xml", "<Keep/>");
    // An interrupted restore left its folder behind.
    std::filesystem::create_directories(target + ".Restore");
    Write(target + ".Restore/old.xml", "<Old/>");
    const struct
    {
        const char* what;
        std::string archive;
        const char* reason;
    } cases[] = {
        {"a bomb", Gzip(TarImage({{"big.xml", std::string(QTX_CONFIG_ARCHIVE_MAX_UNPACKED, 'x')}})),
         "more than"},
        {"a member that leaves", Gzip(TarImage({{"keep.xml", "<New/>"}, {"../out.xml", "x"}})),
         "leave"},
        {"a cut archive", Gzip(TarImage({{"keep.xml", "<New/>"}})).substr(0, 30), "cut short"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        Write(target + "Config.tar.gz", c.archive);
        std::string why;
        EXPECT_FALSE(UnpackConfigurationArchive(target, why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_EQ(Entries(target), std::vector<std::string>{"keep.xml"});
        EXPECT_EQ(ReadFile(target + "keep.xml"), "<Keep/>");
    }

    // Files that could not be unpacked again are not packed either.
    Write(target + "big.cfg", std::string(QTX_CONFIG_ARCHIVE_MAX_UNPACKED, 'x'));
    std::string why;
    EXPECT_FALSE(PackConfigurationArchive(target, why));
    EXPECT_NE(why.find("more than 16777216 bytes"), std::string::npos) << why;
    EXPECT_EQ(Entries(target), (std::vector<std::string>{"big.cfg", "keep.xml"}));
}

TEST(QTXFlashRecord, HeadIsLittleEndianWithAZeroWord)
{
    unsigned char head[QTX_FLASH_RECORD_HEAD_BYTES];
    EncodeFlashRecordHead("KCFG", 0x00012345, head);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 12),
              std::string("KCFG\0\0\0\0\x45\x23\x01\0", 12));
    QTXFlashRecordHead decoded = DecodeFlashRecordHead(head);
    EXPECT_STREQ(decoded.acTag, "KCFG");
    EXPECT_EQ(decoded.uLength, 0x12345u);
    EXPECT_TRUE(IsFlashRecord(decoded, "KCFG"));
    EXPECT_FALSE(IsFlashRecord(decoded, "COMB"));
    head[5] = 1;
    EXPECT_FALSE(IsFlashRecord(DecodeFlashRecordHead(head), "KCFG"));
}

// A file with two names: an archive that an earlier store packed with a hard link member comes
// back with the link taken as a copy of the file it names, when that file stands before it in
// the archive; a link to anything else is refused and leaves nothing behind.
TEST(QTXConfigArchive, HardLinksComeBackAsCopiesOfEarlierMembers)
{
    const std::string longA = std::string(150, 'a') + ".xml";
    const std::string longB = std::string(150, 'b') + ".xml";
    const CTarMember a{"a.xml", "<A/>"};
    const auto Linked = [](const char* name, const std::string& target, char type = '1')
    { return CTarMember{name, "", type, "", 0600, target}; };
    const struct
    {
        const char* what;
        std::vector<CTarMember> members;
        std::vector<std::string> files; // restored, each with the data of a.xml; none: refused
        const char* reason;
    } cases[] = {
        {"target in the header", {a, Linked("b.xml", "a.xml")}, {"a.xml", "b.xml"}, nullptr},
        {"names with ./",
         {{"./a.xml", "<A/>"}, Linked("./b.xml", "./a.xml")},
         {"a.xml", "b.xml"},
         nullptr},
        {"a link to a link",
         {a, Linked("b.xml", "a.xml"), Linked("c.xml", "b.xml")},
         {"a.xml", "b.xml", "c.xml"},
         nullptr},
        {"pax names",
         {a, {"h", PaxRecords({{"path", longB}, {"linkpath", "./a.xml"}}), 'x'}, Linked("cut", "")},
         {"a.xml", longB},
         nullptr},
        // GNU tar: the long link name ('K') and then the long name ('L') before the link.
        {"GNU long names",
         {{"././@LongLink", longA + '\0', 'L'},
          {longA.substr(0, 100), "<A/>"},
          {"././@LongLink", longA + '\0', 'K'},
          {"././@LongLink", longB + '\0', 'L'},
          Linked("cut", "cut")},
         {longA, longB},
         nullptr},
        {"a later member",
         {Linked("b.xml", "a.xml"), a},
         {},
         "is a link to \"a.xml\", which is no"},
        {"a file outside", {a, Linked("b.xml", "/etc/passwd")}, {}, "which is no file before it"},
        {"a file above", {a, Linked("b.xml", "../a.xml")}, {}, "which is no file before it"},
        {"a symbolic link", {a, Linked("b.xml", "a.xml", '2')}, {}, "\"b.xml\" is a link"},
        {"copies beyond the bound",
         {{"a.xml", std::string(9u << 20, 'x')}, Linked("b.xml", "a.xml")},
         {},
         "copies of linked files take more than 16777216 bytes"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CTempDir dir;
        const std::string target = dir.Path() + "/";
        Write(target + "Config.tar.gz", Gzip(TarImage(c.members)));
        std::string why;
        EXPECT_EQ(UnpackConfigurationArchive(target, why), c.reason == nullptr) << why;
        std::vector<std::string> expected = c.files;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Entries(target), expected);
        if (c.reason != nullptr)
        {
            EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        }
        for (const std::string& name : c.files)
        {
            EXPECT_EQ(ReadFile(target + name), "<A/>") << name;
            struct stat st;
            ASSERT_EQ(stat((target + name).c_str(), &st), 0);
            EXPECT_EQ(st.st_nlink, 1u) << name;
        }
        if (!c.files.empty() && c.files[1] == "b.xml")
        {
            EXPECT_EQ(std::filesystem::status(target + "b.xml").permissions(),
                      std::filesystem::perms(0600));
        }
    }

    // The store packs the two names of one file as two plain files, and an archive the
    // system's tar made of them with a link member (as an earlier store did) comes back too.
    CTempDir from;
    Write(from.Path() + "/a.xml", "<Shared/>");
    ASSERT_EQ(link((from.Path() + "/a.xml").c_str(), (from.Path() + "/b.xml").c_str()), 0);
    std::string why;
    ASSERT_TRUE(PackConfigurationArchive(from.Path() + "/", why)) << why;
    std::string tar;
    ASSERT_TRUE(Inflate(ReadFile(from.Path() + "/Config.tar.gz"), tar, why)) << why;
    ASSERT_GT(tar.size(), 2048u);
    EXPECT_EQ(tar[156], '0');
    EXPECT_EQ(tar[1024 + 156], '0');
    EXPECT_EQ(tar.substr(1024 + 512, 9), "<Shared/>");

    ASSERT_EQ(RunCommand({"/usr/bin/env", "tar", "c", "-f", from.Path() + "/Config.tar", "-C",
                          from.Path(), "a.xml", "b.xml"}),
              0);
    ASSERT_EQ(ReadFile(from.Path() + "/Config.tar")[1024 + 156], '1');
    for (const std::string& archive :
         {ReadFile(from.Path() + "/Config.tar.gz"), Gzip(ReadFile(from.Path() + "/Config.tar"))})
    {
        CTempDir to;
        Write(to.Path() + "/Config.tar.gz", archive);
        ASSERT_TRUE(UnpackConfigurationArchive(to.Path() + "/", why)) << why;
        EXPECT_EQ(Entries(to.Path()), (std::vector<std::string>{"a.xml", "b.xml"}));
        for (const char* name : {"/a.xml", "/b.xml"})
        {
            EXPECT_EQ(ReadFile(to.Path() + name), "<Shared/>");
            struct stat st;
            ASSERT_EQ(stat((to.Path() + name).c_str(), &st), 0);
            EXPECT_EQ(st.st_nlink, 1u) << name;
        }
    }
}

namespace
{
// A move that fails at its failAt-th call, as one onto a file that cannot be replaced.
int gMoves = 0;
int gFailAt = 0;
int MoveFailingOnce(const char* from, const char* to)
{
    if (++gMoves == gFailAt)
    {
        errno = EBUSY;
        return -1;
    }
    return rename(from, to);
}
} // namespace

// The files of a restore are moved in one after another; when one move fails, the moves before
// it are undone: replaced files are back under their names as the same files, new ones gone.
TEST(QTXConfigArchive, AMoveThatFailsPartWayUndoesTheMovesBeforeIt)
{
    const std::vector<std::string> names = {"a.xml", "b.xml", "c.sh"};
    for (int failAt : {1, 2, 3, 0})
    {
        SCOPED_TRACE(failAt);
        CTempDir dir;
        const std::string target = dir.Path() + "/conf/";
        const std::string fresh = dir.Path() + "/new";
        const std::string kept = dir.Path() + "/old";
        for (const std::string& folder : {target, fresh, kept})
            std::filesystem::create_directories(folder);
        Write(target + "a.xml", "<OldA/>");
        Write(target + "c.sh", "old c");
        Write(target + "own.xml.backup", "mine");
        chmod((target + "c.sh").c_str(), 0750);
        struct stat before[2];
        ASSERT_EQ(stat((target + "a.xml").c_str(), &before[0]), 0);
        ASSERT_EQ(stat((target + "c.sh").c_str(), &before[1]), 0);
        for (const std::string& name : names)
            Write(fresh + "/" + name, "new " + name);

        gMoves = 0;
        gFailAt = failAt;
        std::string why;
        const bool moved = MoveUnpackedFiles(target, fresh, kept, names, why, MoveFailingOnce);
        EXPECT_EQ(moved, failAt == 0) << why;
        if (failAt == 0)
        {
            EXPECT_EQ(Entries(target),
                      (std::vector<std::string>{"a.xml", "b.xml", "c.sh", "own.xml.backup"}));
            for (const std::string& name : names)
                EXPECT_EQ(ReadFile(target + name), "new " + name);
            continue;
        }
        EXPECT_NE(why.find("member \"" + names[failAt - 1] + "\" cannot be moved"),
                  std::string::npos)
            << why;
        // The caller removes the folder of kept names; no other name of the files is left.
        std::filesystem::remove_all(kept);
        EXPECT_EQ(Entries(target), (std::vector<std::string>{"a.xml", "c.sh", "own.xml.backup"}));
        EXPECT_EQ(ReadFile(target + "a.xml"), "<OldA/>");
        EXPECT_EQ(ReadFile(target + "c.sh"), "old c");
        EXPECT_EQ(ReadFile(target + "own.xml.backup"), "mine");
        struct stat after[2];
        ASSERT_EQ(stat((target + "a.xml").c_str(), &after[0]), 0);
        ASSERT_EQ(stat((target + "c.sh").c_str(), &after[1]), 0);
        for (int i = 0; i < 2; ++i)
        {
            EXPECT_EQ(after[i].st_ino, before[i].st_ino) << i;
            EXPECT_EQ(after[i].st_mode, before[i].st_mode) << i;
            EXPECT_EQ(after[i].st_nlink, 1u) << i;
        }
    }
}
