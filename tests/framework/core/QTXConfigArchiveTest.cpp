// The configuration archive: the member check, packing and unpacking with tar and gzip, and the
// head of the flash records it is stored in.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

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
        {{"bad\nname.xml", "x"}, "leave"},
        {{"link.xml", "", '2'}, "plain file"},
        {{"hard.xml", "", '1'}, "plain file"},
        {{"dir", "", '5'}, "plain file"},
        {{"././@LongLink", "long", 'L'}, "plain file"},
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
    mkdir((source + "folder.xml").c_str(), 0755);
    EXPECT_EQ(ListConfigurationFiles(source),
              (std::vector<std::string>{"-dash.xml", "Config_62000_System.xml", "fo.cfg",
                                        "start.sh"}));

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
    Write(target + "Config.tar",
          TarImage({{"fine.xml", "fine"}, {"../outside.xml", "escaped"}}));
    ASSERT_EQ(RunCommand({"/usr/bin/env", "gzip", "-f", target + "Config.tar"}), 0);
    std::string why;
    EXPECT_FALSE(UnpackConfigurationArchive(target, why));
    EXPECT_NE(why.find("../outside.xml"), std::string::npos) << why;
    EXPECT_TRUE(ReadFile(dir.Path() + "/outside.xml").empty());
    EXPECT_TRUE(ReadFile(target + "fine.xml").empty());

    Write(target + "Config.tar.gz", "not gzip at all");
    EXPECT_FALSE(UnpackConfigurationArchive(target, why));
    EXPECT_NE(why.find("gzip"), std::string::npos) << why;
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
