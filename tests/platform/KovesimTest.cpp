// The simulated-device tool and the description file it writes.
#include "SimTestSupport.h"

#include "KoveSimDescription.h"

#include <fcntl.h>
#include <unistd.h>

using namespace simtest;

namespace
{
int Kovesim(const std::vector<std::string>& args, std::string* out = nullptr)
{
    std::vector<std::string> argv{kovetest::BinPath("kovesim")};
    argv.insert(argv.end(), args.begin(), args.end());
    return kovetest::RunCommand(argv, out);
}

SSimDescription ReadDescription(const std::string& dir)
{
    SSimDescription desc;
    std::string err;
    EXPECT_TRUE(SimParseDescription(kovetest::ReadFile(dir + "/device.conf"), &desc, &err)) << err;
    return desc;
}
} // namespace

TEST(Kovesim, CreateWritesTheDescriptionAndResetsTheDevice)
{
    kovetest::CTempDir tmp;
    const std::string dir = tmp.Path();
    ASSERT_EQ(0, Kovesim({"create", dir, "--family", "wag", "--hex", "1,2,3,0x14", "--serial",
                          "777", "--order", "52.374030", "--slots", "1,5", "--factory-button", "on",
                          "--name", "qorKOVE-Z-TM"}));
    SSimDescription d = ReadDescription(dir);
    EXPECT_EQ(0x00474157u, d.uIdWord);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 20}),
              (std::vector<int>{d.aHex[0], d.aHex[1], d.aHex[2], d.aHex[3]}));
    EXPECT_EQ(777u, d.uSerial);
    EXPECT_EQ("52.374030", d.sOrder);
    EXPECT_EQ((1u << 1) | (1u << 5), d.uSlotMask);
    EXPECT_TRUE(d.bFactoryButton);
    EXPECT_EQ("qorKOVE-Z-TM", d.sName);

    std::string out;
    ASSERT_EQ(0, Kovesim({"peek", dir, "0"}, &out));
    EXPECT_EQ("0x00474157\n", out);
    ASSERT_EQ(0, Kovesim({"poke", dir, "0x100", "0xCAFE"}));
    out.clear();
    ASSERT_EQ(0, Kovesim({"peek", dir, "256"}, &out));
    EXPECT_EQ("0x0000CAFE\n", out);

    // create again: defaults for what is not given, and a fresh bus.
    ASSERT_EQ(0, Kovesim({"create", dir, "--family", "0x00880000"}));
    d = ReadDescription(dir);
    EXPECT_EQ(0x00880000u, d.uIdWord);
    EXPECT_EQ(12345u, d.uSerial);
    out.clear();
    ASSERT_EQ(0, Kovesim({"peek", dir, "0x100"}, &out));
    EXPECT_EQ("0x00000000\n", out);
}

TEST(Kovesim, InputsAndRefusals)
{
    kovetest::CTempDir tmp;
    const std::string dir = tmp.Path() + "/fresh"; // first use by the tool itself
    std::string out;
    ASSERT_EQ(0, Kovesim({"hex", dir, "9,4,0,0"}));
    ASSERT_EQ(0, Kovesim({"button", dir, "on"}));
    SSimDescription d = ReadDescription(dir);
    EXPECT_EQ(9, d.aHex[0]);
    EXPECT_EQ(4, d.aHex[1]);
    EXPECT_TRUE(d.bFactoryButton);
    ASSERT_EQ(0, Kovesim({"leds", dir}, &out));
    EXPECT_EQ("leds=0x00000000 test=off shown=\n", out);

    ASSERT_EQ(0, Kovesim({"refuse", dir, "0x40"}));
    EXPECT_EQ(1, Kovesim({"peek", dir, "0x40"}));
    EXPECT_EQ(1, Kovesim({"poke", dir, "0x40", "1"}));
    ASSERT_EQ(0, Kovesim({"refuse", dir, "0x40", "off"}));
    EXPECT_EQ(0, Kovesim({"poke", dir, "0x40", "1"}));
}

TEST(Kovesim, BadArgumentsGiveStatus2)
{
    kovetest::CTempDir tmp;
    const std::string dir = tmp.Path();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"create"},
        {"create", ""},
        {"frobnicate", dir},
        {"create", dir, "--family"},
        {"create", dir, "--family", "KOVE"},
        {"create", dir, "--hex", "1,2,3"},
        {"create", dir, "--hex", "16,0,0,0"},
        {"create", dir, "--serial", "-1"},
        {"create", dir, "--order", "1.2"},
        {"create", dir, "--slots", "1,16"},
        {"create", dir, "--factory-button", "yes"},
        {"create", dir, "--name", std::string(32, 'n')},
        {"create", dir, "--colour", "red"},
        {"hex", dir},
        {"hex", dir, "a,b,c,d"},
        {"button", dir, "pressed"},
        {"leds", dir, "extra"},
        {"peek", dir},
        {"peek", dir, "0x1002"},
        {"peek", dir, "0x100000000"},
        {"poke", dir, "4"},
        {"refuse", dir, "4", "on"},
    };
    for (const auto& args : cases)
    {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(2, Kovesim(args)) << joined;
    }
    std::string help;
    EXPECT_EQ(0, Kovesim({"--help"}, &help));
    EXPECT_NE(std::string::npos, help.find("device.conf"));
}

TEST(Kovesim, MalformedDescriptionIsAFailure)
{
    kovetest::CTempDir tmp;
    int fd = open((tmp.Path() + "/device.conf").c_str(), O_WRONLY | O_CREAT, 0644);
    const char text[] = "family=KV8\ncolour=red\n";
    ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), write(fd, text, sizeof text - 1));
    close(fd);
    EXPECT_EQ(1, Kovesim({"peek", tmp.Path(), "0"}));
    EXPECT_EQ(1, Kovesim({"hex", tmp.Path(), "1,1,1,1"}));
    EXPECT_EQ(0, Kovesim({"create", tmp.Path()})); // create writes a new one
    EXPECT_EQ(0, Kovesim({"peek", tmp.Path(), "0"}));
}

TEST(SimDescription, RoundTripAndRefusals)
{
    SSimDescription d;
    d.uIdWord = 0x12345678;
    d.aHex[3] = 255;
    d.uSlotMask = 0;
    d.sName = "A name";
    SSimDescription back;
    ASSERT_TRUE(SimParseDescription(SimFormatDescription(d), &back, nullptr));
    EXPECT_EQ(SimFormatDescription(d), SimFormatDescription(back));

    const struct
    {
        const char* text;
        const char* where;
    } bad[] = {
        {"family=KV8\n# comment\nfamily=WAG\n", "line 3"}, // repeated key
        {"colour=red\n", "line 1"},                        // unknown key
        {"\nfamily\n", "line 2"},                          // no value
        {"serial=12a\n", "line 1"},
        {"order=10.0000001\n", "line 1"},
        {"name=tab\there\n", "line 1"},
        {"hex=1,2,3,4,5\n", "line 1"},
        {"factory-button=1\n", "line 1"},
    };
    for (const auto& b : bad)
    {
        std::string err;
        EXPECT_FALSE(SimParseDescription(b.text, &back, &err)) << b.text;
        EXPECT_NE(std::string::npos, err.find(b.where)) << b.text << " -> " << err;
    }
    // Comments, blank lines, blanks around '=' and Windows line ends are fine.
    ASSERT_TRUE(SimParseDescription("# x\n\n  serial = 42 \r\n", &back, nullptr));
    EXPECT_EQ(42u, back.uSerial);
    EXPECT_EQ(0x0038564Bu, back.uIdWord);
}
