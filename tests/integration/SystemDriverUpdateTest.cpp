// The Update request seen from outside: systemdriver on a simulated device starts a stand-in
// update program, which records its arguments and writes the result file the test scripted.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/stat.h>

#include "KoveTestSupport.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

// Records its arguments (one per line, each run ended by "--"), then copies the result that the
// test scripted for this run number to the result file; without one it writes none.
const char kStandIn[] = "#!/bin/sh\n"
                        "u=\"$KOVE_SIM/tmp/Update\"\n"
                        "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$u/args.log\"; done\n"
                        "echo -- >> \"$u/args.log\"\n"
                        "echo run >> \"$u/runs.log\"\n"
                        "n=$(wc -l < \"$u/runs.log\")\n"
                        "if [ -f \"$u/result$n\" ]; then cp \"$u/result$n\" "
                        "\"$KOVE_SIM/tmp/UpdateResult.txt\"; fi\n";

void Write(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << data;
    chmod(path.c_str(), mode);
}

class SystemDriverUpdate : public testing::Test
{
protected:
    explicit SystemDriverUpdate(const std::vector<std::string>& createArgs = {})
        : tDevice(createArgs)
    {
    }

    void StartHub(const std::vector<std::string>& env = {})
    {
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver", std::vector<std::string>{},
                                              env);
        ASSERT_TRUE(pHub->WaitForPort(62000)) << pHub->Output();
    }

    // Runs one update with the scripted results of its runs ("<none>": no result file).
    CReply Update(const std::string& attributes, const std::vector<std::string>& results)
    {
        const std::string update = tDevice.Path("/tmp/Update/");
        for (const char* file : {"args.log", "runs.log"})
            std::filesystem::remove(update + file);
        for (size_t i = 0; i < 3; ++i)
            std::filesystem::remove(update + "result" + std::to_string(i + 1));
        for (size_t i = 0; i < results.size(); ++i)
            if (results[i] != "<none>")
                Write(update + "result" + std::to_string(i + 1), results[i]);
        Write(tDevice.Path("/tmp/UpdateResult.txt"), "stale result of an earlier update");
        return SendRequest(62000, kHead + "<Update " + attributes + "/>",
                           tDevice.Dir() + "/reply.xml");
    }

    std::string Arguments() const { return ReadFile(tDevice.Path("/tmp/Update/args.log")); }
    std::string Log() const
    {
        return ReadFile(tDevice.Path("/Applications/tmp/Driver/log/Slot62000_log.txt"));
    }

    CSimDevice tDevice;
    std::unique_ptr<CTestProcess> pHub;
};

TEST_F(SystemDriverUpdate, ResultFileDecidesTheAnswer)
{
    Write(tDevice.Path("/Applications/Halvane.exec"), kStandIn, 0755);
    StartHub({"NORESET_AFTER_UPDATE=yes"});
    const std::string program = tDevice.Path("/Applications/Halvane.exec");
    const std::string forced = "-e\n-p= -ResultFile=/tmp/UpdateResult.txt -Force\n"
                               "/tmp/Update/fw.zip\n--\n";
    const struct
    {
        std::vector<std::string> results;
        const char* expected; // part of the reply
        std::string arguments;
    } cases[] = {
        {{"update DONE, 12 files\n"}, "Status=\"UserResetNeeded\"", forced},
        {{"Syntax error: -Force unknown", "Update done"},
         "Status=\"UserResetNeeded\"",
         forced + "-e\n-p= -ResultFile=/tmp/UpdateResult.txt \n/tmp/Update/fw.zip\n--\n"},
        {{"Flash write failed at 0x1000"}, "Name=\"UpdateFailed\" Text=\"Flash write failed at 0x1000\"",
         forced},
        {{""}, "Name=\"UpdateFailed\" Text=\"Unknown error\"", forced},
        {{"Update"}, "Name=\"UpdateFailed\" Text=\"Update\"", forced},
        {{"<none>"}, "Name=\"UpdateFailed\" Text=\"Update process failed\"", forced},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.results[0]);
        const CReply reply = Update("File=\"fw.zip\"", c.results);
        EXPECT_TRUE(reply.Has(c.expected)) << reply.sText;
        EXPECT_EQ(Arguments(), c.arguments);
    }

    // The progress address goes with the options; one of the fiber-optic network is kept when
    // the device has no address there.
    CReply reply = Update("File=\"fw.zip\" SendProgressTo=\"172.16.5.9:62098\"", {"Update done"});
    EXPECT_TRUE(reply.Has("Status=\"UserResetNeeded\"")) << reply.sText;
    EXPECT_EQ(Arguments(), "-e\n-p= -SendProgressTo=172.16.5.9:62098 "
                           "-ResultFile=/tmp/UpdateResult.txt -Force\n/tmp/Update/fw.zip\n--\n");
    EXPECT_NE(Log().find("NAT: can not get IP address"), std::string::npos) << Log();
    if (RunCommand({"/usr/bin/env", "ip", "link", "add", "ils0", "type", "veth", "peer", "name",
                    "ils0peer"}) == 0 &&
        RunCommand({"/usr/bin/env", "ip", "addr", "add", "10.20.0.1/16", "dev", "ils0"}) == 0)
    {
        reply = Update("File=\"fw.zip\" SendProgressTo=\"172.16.5.9:62098\"", {"Update done"});
        EXPECT_NE(Arguments().find("-SendProgressTo=10.20.5.9:62098 "), std::string::npos)
            << Arguments();
        EXPECT_NE(Log().find("NAT translated progress address to 10.20.5.9:62098"),
                  std::string::npos);
        // Only addresses that begin with the whole prefix "172.16." are translated.
        Update("File=\"fw.zip\" SendProgressTo=\"172.1.5.9:62098\"", {"Update done"});
        EXPECT_NE(Arguments().find("-SendProgressTo=172.1.5.9:62098 "), std::string::npos)
            << Arguments();
    }

    // Values that cannot be a file of the update directory or an address run nothing.
    const struct
    {
        const char* attributes;
        const char* error;
    } refused[] = {
        {"", "MissingFileName"},
        {"File=\"\"", "MissingFileName"},
        {"File=\"../Applications/fw.zip\"", "WrongFileName"},
        {"File=\"fw.zip; reboot\" SendProgressTo=\"x\"", "WrongAddress"},
        {"File=\"/tmp/fw.zip\"", "WrongFileName"},
        {"File=\"fw.zip\" SendProgressTo=\"1.2.3.4:99 -Force\"", "WrongAddress"},
        {"File=\"fw.zip\" SendProgressTo=\"1.2.3:99\"", "WrongAddress"},
        {"File=\"fw.zip\" SendProgressTo=\"1.2.3.4:70000\"", "WrongAddress"},
    };
    for (const auto& c : refused)
    {
        SCOPED_TRACE(c.attributes);
        reply = Update(c.attributes, {"Update done"});
        EXPECT_TRUE(reply.Has(std::string("Name=\"") + c.error + "\"")) << reply.sText;
        EXPECT_EQ(Arguments(), "");
    }
}

class SystemDriverUpdateFamily2 : public SystemDriverUpdate
{
protected:
    SystemDriverUpdateFamily2() : SystemDriverUpdate({"--family", "0x00880000"}) {}
};

TEST_F(SystemDriverUpdateFamily2, UpdaterComesFromTheArchiveAndARebootFollows)
{
    CTempDir work;
    Write(work.Path() + "/update.exec", kStandIn, 0644);
    Write(work.Path() + "/other.bin", "firmware");
    ASSERT_EQ(RunCommand({"/bin/sh", "-c",
                          "cd '" + work.Path() + "' && zip -q fw.zip update.exec other.bin"}),
              0);
    std::filesystem::copy_file(work.Path() + "/fw.zip", tDevice.Path("/tmp/Update/fw.zip"));
    StartHub();
    const CReply reply = Update("File=\"fw.zip\" SendProgressTo=\"10.0.0.7:62098\"",
                                {"Update done\n"});
    EXPECT_TRUE(reply.Has("Status=\"Done\"")) << reply.sText << pHub->Output();
    EXPECT_EQ(Arguments(), "-file=fw.zip\n-dir=/tmp/Update/\n-SendProgressTo=10.0.0.7:62098\n"
                           "-ResultFile=/tmp/UpdateResult.txt\n-Force\n--\n");
    EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/tmp/Update/other.bin")));
    EXPECT_NE(Log().find("Reboot after update pending"), std::string::npos) << Log();
    // The reboot sequence pauses 2 s before its command; allow for a loaded machine or an
    // emulator.
    EXPECT_TRUE(WaitFor(
        [&] { return ReadFile(tDevice.Path("/commands.log")).find("reboot") != std::string::npos; },
        std::chrono::seconds(30)))
        << ReadFile(tDevice.Path("/commands.log"));
}

// The update program that runs is a regular file the hub unpacked from the archive: a link in the
// archive is refused, and one left in the update directory from before is neither followed nor
// run, nor is a program left there by an earlier update.
TEST_F(SystemDriverUpdateFamily2, OnlyARegularUpdaterUnpackedFromTheArchiveRuns)
{
    CTempDir work;
    const std::string victim = tDevice.Path("/victim.sh");
    Write(victim, "#!/bin/sh\ntouch \"$KOVE_SIM/victim-ran\"\n");
    std::filesystem::create_symlink("../../victim.sh", work.Path() + "/update.exec");
    Write(work.Path() + "/other.bin", "firmware");
    ASSERT_EQ(RunCommand({"/bin/sh", "-c",
                          "cd '" + work.Path() +
                              "' && zip -qy linked.zip update.exec other.bin && zip -q plain.zip "
                              "other.bin"}),
              0);
    for (const char* archive : {"linked.zip", "plain.zip"})
        std::filesystem::copy_file(work.Path() + "/" + archive,
                                   tDevice.Path(std::string("/tmp/Update/") + archive));
    StartHub();

    const std::string updater = tDevice.Path("/tmp/Update/update.exec");
    const struct
    {
        const char* archive;
        const char* left; // what lies in the update directory before: "link", "program" or ""
        const char* error;
    } cases[] = {
        {"linked.zip", "", "Text=\"update.exec in the archive is not a regular file\""},
        {"linked.zip", "program", "Text=\"update.exec in the archive is not a regular file\""},
        {"plain.zip", "link", "Text=\"Update process failed\""},
        {"plain.zip", "program", "Text=\"Update process failed\""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.archive) + " over " + c.left);
        std::filesystem::remove(updater);
        if (std::string(c.left) == "link")
            std::filesystem::create_symlink("../../victim.sh", updater);
        else if (std::string(c.left) == "program")
            Write(updater, kStandIn, 0755);
        const CReply reply = Update(std::string("File=\"") + c.archive + "\"", {"Update done"});
        EXPECT_TRUE(reply.Has("Name=\"UpdateFailed\"")) << reply.sText;
        EXPECT_TRUE(reply.Has(c.error)) << reply.sText;
        EXPECT_EQ(Arguments(), "");
        EXPECT_FALSE(std::filesystem::exists(tDevice.Path("/victim-ran")));
        EXPECT_EQ(std::filesystem::status(victim).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms(0644));
        EXPECT_FALSE(std::filesystem::is_symlink(updater));
    }
    // The device stays up: no reboot follows.
    EXPECT_EQ(ReadFile(tDevice.Path("/commands.log")).find("reboot"), std::string::npos);
}
} // namespace
