#include "QTXStringFile.h"

#include "KoveTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// A buffer with guard bytes behind the `size` bytes handed to a function.
struct GuardedBuffer
{
    explicit GuardedBuffer(const char* text = "")
    {
        std::memset(bytes, '#', sizeof(bytes));
        std::strcpy(bytes, text);
    }
    bool GuardIntact(int size) const
    {
        for (size_t i = static_cast<size_t>(size); i < sizeof(bytes); ++i)
        {
            if (bytes[i] != '#')
            {
                return false;
            }
        }
        return true;
    }
    char bytes[32];
};

TEST(BoundedCopy, NeverWritesPastSizeAndTerminates)
{
    struct Case
    {
        int size;
        const char* source;
        int count;
        const char* expected;
        int result;
    };
    const Case cases[] = {
        {20, "0123456789", 3, "012", 3},
        {20, "0123456789", -1, "0123456789", 10},
        {20, "0123456789", 15, "0123456789", 10},
        {5, "0123456789", -1, "0123", 4},
        {5, "0123456789", 7, "0123", 4},
        {5, "0123456789", 0, "", 0},
        {1, "0123456789", -1, "", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("size " + std::to_string(c.size) + " count " + std::to_string(c.count));
        GuardedBuffer b;
        EXPECT_EQ(nStrNCpy_s(b.bytes, c.size, c.source, c.count), c.result);
        EXPECT_STREQ(b.bytes, c.expected);
        EXPECT_TRUE(b.GuardIntact(c.size));
    }

    GuardedBuffer b("keep");
    EXPECT_EQ(nStrNCpy_s(b.bytes, 0, "x", -1), 0);
    EXPECT_EQ(nStrNCpy_s(b.bytes, 10, nullptr, -1), 0);
    EXPECT_EQ(nStrNCpy_s(nullptr, 10, "x", -1), 0);
    EXPECT_STREQ(b.bytes, "keep");

    EXPECT_EQ(nStrCpy_s(b.bytes, 6, "abcdefgh"), 5);
    EXPECT_STREQ(b.bytes, "abcde");
    EXPECT_TRUE(b.GuardIntact(6));
}

TEST(BoundedCopy, AppendStaysInsideTheBuffer)
{
    GuardedBuffer b("abc");
    EXPECT_EQ(nStrCat_s(b.bytes, 8, "de"), 2);
    EXPECT_STREQ(b.bytes, "abcde");
    EXPECT_EQ(nStrCat_s(b.bytes, 8, "fghij"), 2);
    EXPECT_STREQ(b.bytes, "abcdefg");
    EXPECT_EQ(nStrCat_s(b.bytes, 8, "x"), 0); // already full
    EXPECT_STREQ(b.bytes, "abcdefg");
    EXPECT_TRUE(b.GuardIntact(8));

    // A destination without a zero byte inside the buffer is not read or written past it.
    GuardedBuffer full;
    std::memset(full.bytes, 'z', 8);
    EXPECT_EQ(nStrCat_s(full.bytes, 8, "x"), 0);
    EXPECT_EQ(std::string(full.bytes, 9), "zzzzzzzz#");
}

class DeleteDirectoryTest : public ::testing::Test
{
protected:
    std::string Path(const std::string& name) const { return tmp.Path() + "/" + name; }
    void MakeDir(const std::string& name) const
    {
        ASSERT_EQ(mkdir(Path(name).c_str(), 0777), 0) << name;
    }
    void MakeFile(const std::string& name) const { std::ofstream(Path(name)) << "data"; }
    bool Exists(const std::string& name) const
    {
        struct stat info;
        return lstat(Path(name).c_str(), &info) == 0;
    }
    kovetest::CTempDir tmp;
};

TEST_F(DeleteDirectoryTest, RemovesTreeButNothingBehindSymbolicLinks)
{
    MakeDir("outside");
    MakeFile("outside/keep.txt");
    MakeDir("tree");
    MakeDir("tree/empty");
    MakeDir("tree/sub");
    MakeDir("tree/sub/deeper");
    MakeFile("tree/file");
    MakeFile("tree/sub/deeper/.hidden");
    ASSERT_EQ(symlink(Path("outside").c_str(), Path("tree/sub/dirlink").c_str()), 0);
    ASSERT_EQ(symlink(Path("outside/keep.txt").c_str(), Path("tree/filelink").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent", Path("tree/dangling").c_str()), 0);

    EXPECT_EQ(DeleteDirectory((Path("tree") + "/").c_str()), 0);
    EXPECT_FALSE(Exists("tree"));
    EXPECT_TRUE(Exists("outside/keep.txt"));
}

TEST_F(DeleteDirectoryTest, RefusesWhatIsNoDirectory)
{
    EXPECT_EQ(DeleteDirectory(Path("missing").c_str()), 93);
    EXPECT_EQ(DeleteDirectory(nullptr), 93);
    EXPECT_EQ(DeleteDirectory(""), 93);

    MakeFile("plain");
    EXPECT_EQ(DeleteDirectory(Path("plain").c_str()), 93);
    EXPECT_TRUE(Exists("plain"));

    // A link to a directory is not emptied through the link.
    MakeDir("target");
    MakeFile("target/keep.txt");
    ASSERT_EQ(symlink(Path("target").c_str(), Path("link").c_str()), 0);
    EXPECT_EQ(DeleteDirectory(Path("link").c_str()), 93);
    EXPECT_TRUE(Exists("target/keep.txt"));

    MakeDir("empty");
    EXPECT_EQ(DeleteDirectory(Path("empty").c_str()), 0);
    EXPECT_FALSE(Exists("empty"));
}

TEST(Filename2Path, JoinsDirectorySubdirectoryAndName)
{
    struct Case
    {
        const char* directory;
        int keep;
        const char* subdirectory;
        const char* fileName;
        int size;
        const char* expected;
    };
    const Case cases[] = {
        {"/a", 1, "b", "c.txt", 32, "/a/b/c.txt"},
        {"/a/", 1, "b/", "c.txt", 32, "/a/b/c.txt"},
        {"/a", 1, "b", "\\x\\y.txt", 32, "/x/y.txt"},
        {"/a", 1, "b", "/abs/name", 32, "/abs/name"},
        {"/a", 0, "b", "c.txt", 32, "b/c.txt"},
        {"/a", 0, "", "c.txt", 32, "c.txt"},
        {"/a", 1, "", "c.txt", 32, "/a/c.txt"},
        {"/a", 1, nullptr, "c.txt", 32, "/a/c.txt"},
        {"C:", 1, "b", "c.txt", 32, "C:b/c.txt"},
        {"d:\\x", 1, "sub\\dir", "f", 32, "d:/x/sub/dir/f"},
        {"/a", 1, "b", nullptr, 32, "/a/b/"},
        {"/a", 1, "b", "long_name.txt", 12, "/a/b/long_n"},
        {"/dir", 1, "b", "c", 9, "/dir"}, // too small: left alone
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.directory) + " + " +
                     (c.subdirectory ? c.subdirectory : "(null)") + " + " +
                     (c.fileName ? c.fileName : "(null)"));
        GuardedBuffer b(c.directory);
        Filename2Path(b.bytes, c.size, c.subdirectory, c.fileName, c.keep);
        EXPECT_STREQ(b.bytes, c.expected);
        EXPECT_TRUE(b.GuardIntact(c.size));
    }

    // A directory text without its zero byte is cut at the end of the buffer.
    GuardedBuffer b;
    std::memset(b.bytes, 'd', 10);
    Filename2Path(b.bytes, 10, "s", "f", 1);
    EXPECT_STREQ(b.bytes, "ddddddddd");
    EXPECT_TRUE(b.GuardIntact(10));
}

TEST(FileNames, PreExtensionAndNumber)
{
    struct Case
    {
        std::string name;
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"Config.xml", "_3", "Config_3.xml"},
        {"Config.xml", "_out", "Config_out.xml"},
        {"Tmp_Slot62101_No3.xml", "_out", "Tmp_Slot62101_No3_out.xml"},
        {"a.b.c", "X", "a.bX.c"},
        {"dir.d/file", "_1", "dir.d/file__1"},
        {"dir.d\\file", "_1", "dir.d\\file__1"},
        {"Config", "_3", "Config__3"},
        {"", "t", "_t"},
        {".hidden", "_1", "_1.hidden"},
        {"x.xml", nullptr, "x.xml"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(AddFilePreExtension(c.name, c.text), c.expected) << c.name;
    }
    EXPECT_EQ(AddFileNumber("/cfg/Config_62002_FiberOptic.xml", 0),
              "/cfg/Config_62002_FiberOptic.xml");
    EXPECT_EQ(AddFileNumber("/cfg/Config_62002_FiberOptic.xml", 1),
              "/cfg/Config_62002_FiberOptic_1.xml");
    EXPECT_EQ(AddFileNumber("Config", 3), "Config__3");
    EXPECT_EQ(AddFileNumber("Config.xml", -2), "Config_-2.xml");
}

} // namespace
