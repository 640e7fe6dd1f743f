// Requests from one driver to another (against a fake hub on a port of its own) and the
// user-configuration string.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>

#include "FakeHub.h"
#include "KoveTestSupport.h"
#include "QTX.h"

using kovetest::CFakeHub;

namespace
{
std::string Document(const std::string& element)
{
    return sXmlStart + element + "\n";
}

// The document as the hub records it: up to the end of its root element.
std::string Trimmed(const std::string& document)
{
    return document.substr(0, document.find_last_of('>') + 1);
}

class DriverMessages : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(tHub.Start()); }

    CFakeHub tHub{0};
    kovetest::CTempDir tDir;
    const std::string sRequest = Document("<Ping Value=\"1\" />");
};

TEST_F(DriverMessages, EachSendDeliversTheDocumentAndKeepsTheReply)
{
    tHub.SetReply("Ping", Document("<Ping Answer=\"yes\" />"));
    const std::string requestFile = tDir.Path() + "/request.xml";
    std::ofstream(requestFile) << sRequest;
    const int port = tHub.Port();

    const struct
    {
        const char* name;
        std::function<bool(const std::string& reply)> send;
    } cases[] = {
        {"buffer",
         [&](const std::string& reply)
         {
             return SendBufferToDriver(sRequest.data(), static_cast<int>(sRequest.size()), 1000,
                                       port, reply);
         }},
        {"string",
         [&](const std::string& reply) { return SendStringToDriver(sRequest, 1000, port, reply); }},
        {"file", [&](const std::string& reply)
         { return SendFileToDriver(requestFile, 1000, port, reply); }},
    };
    int sent = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string replyFile = tDir.Path() + "/" + c.name + "_out.xml";
        ASSERT_TRUE(c.send(replyFile));
        ASSERT_EQ(tHub.Count("Ping"), ++sent);
        EXPECT_EQ(tHub.Requests().back().sDocument, Trimmed(sRequest));
        EXPECT_NE(kovetest::ReadFile(replyFile).find("<Ping Answer=\"yes\" />"), std::string::npos);

        // Without a reply file the reply is taken and dropped.
        EXPECT_TRUE(c.send(""));
        ++sent;
    }
}

TEST_F(DriverMessages, UnusableAnswersAreRetriedUntilTheDeadline)
{
    const struct
    {
        const char* name;
        std::function<void(CFakeHub&)> script;
    } cases[] = {
        {"reply with a root that is no command tag",
         [](CFakeHub& hub) { hub.SetReply("Ping", Document("<Pong />")); }},
        {"connection closed without a reply", [](CFakeHub& hub) { hub.SetNoReply("Ping"); }},
        {"connection reset", [](CFakeHub& hub) { hub.SetDown(true); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFakeHub hub(0);
        ASSERT_TRUE(hub.Start());
        c.script(hub);
        // Attempts the hub saw: answered or not, and reset while down.
        auto attempts = [&] { return hub.Count("Ping") + hub.Refused(); };

        // A time-out of 0 still makes one attempt, and only one.
        EXPECT_FALSE(SendStringToDriver(sRequest, 0, hub.Port(), ""));
        ASSERT_TRUE(kovetest::WaitFor([&] { return attempts() >= 1; }));
        EXPECT_EQ(attempts(), 1);

        EXPECT_FALSE(SendStringToDriver(sRequest, 350, hub.Port(), ""));
        EXPECT_TRUE(kovetest::WaitFor([&] { return attempts() >= 3; })) << attempts();
    }
}

TEST_F(DriverMessages, SendRetriesUntilTheHubComesUp)
{
    tHub.SetDown(true);
    auto sent = std::async(std::launch::async,
                           [&] { return SendStringToDriver(sRequest, 20000, tHub.Port(), ""); });
    ASSERT_TRUE(tHub.WaitForRefused(1));
    tHub.SetDown(false);
    EXPECT_TRUE(sent.get());
    EXPECT_EQ(tHub.Count("Ping"), 1);
}

TEST_F(DriverMessages, SendWithoutAListenerGivesUpAtTheDeadline)
{
    const int port = tHub.Port();
    tHub.Stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SendStringToDriver(sRequest, 300, port, ""));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(UserConfig, ValuesAreFoundByKeyInClosedItems)
{
    const struct
    {
        const char* config;
        const char* key;
        const char* value;
    } cases[] = {
        {"1;hex=0x123;SamplingPeriodInUs=100;", "HEX", "0x123"},
        {"1;hex=0x123;SamplingPeriodInUs=100;", "SamplingPeriodInUs", "100"},
        {";hex=0x5;SamplingPeriodInUs=10;", "hex", "0x5"},
        {"1;hex=0x123", "hex", ""},    // the last item lacks its closing ";"
        {"hex=1;other=2;", "hex", ""}, // the first item is no key
        {"1;he=1;x=2;", "hex", ""},    // no partial names
        {"1;flag;hex=7;", "hex", "7"}, // an item without "=" is passed over
        {"1;hex=;", "hex", ""},        // present but empty
        {"1;a=b=c;", "a", "b=c"},      // the value runs to the ";"
        {"", "hex", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.config) + " / " + c.key);
        EXPECT_EQ(UserConfigValue(c.config, c.key), c.value);
    }
}

TEST(UserConfig, HexSwitchesComeFromTheNibblesOfTheHexValue)
{
    const struct
    {
        const char* config;
        _HEXSWITCH_SET expected;
    } cases[] = {
        {"1;hex=0x4321;", {2, 1, 3, 4}},
        {";hex=0x5;SamplingPeriodInUs=10;", {0, 5, 0, 0}},
        {"1;hex=0xABCDEF12;", {1, 2, 0xF, 0xBCDE}},
        {"1;hex=-1;", {-1, -1, -1, -1}},
        {"1;SamplingPeriodInUs=10;", {-1, -1, -1, -1}},
        {"1;hex=0x4321", {-1, -1, -1, -1}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.config);
        _HEXSWITCH_SET set{7, 7, 7, 7};
        EXPECT_EQ(UserConfig2HexSwitchFull(c.config, &set), c.expected.iSwitch1);
        EXPECT_EQ(set.iSwitch1, c.expected.iSwitch1);
        EXPECT_EQ(set.iSwitch2, c.expected.iSwitch2);
        EXPECT_EQ(set.iSwitch3, c.expected.iSwitch3);
        EXPECT_EQ(set.iRest, c.expected.iRest);
        EXPECT_EQ(UserConfig2HexSwitch(c.config), c.expected.iSwitch1);
    }
}

TEST(XmlValues, MarkupCharactersAreEscapedAndOthersKept)
{
    const struct
    {
        const char* value;
        const char* escaped;
    } cases[] = {
        {"TestDriver:62103", "TestDriver:62103"},
        {"", ""},
        {"a&b", "a&amp;b"},
        {"<x>", "&lt;x&gt;"},
        {"say \"hi\"", "say &quot;hi&quot;"},
        {"it's &amp;", "it's &amp;amp;"},
        {"a\tb\r\nc", "a&#9;b&#13;&#10;c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EscapeXmlValue(c.value), c.escaped) << c.value;
}
} // namespace
