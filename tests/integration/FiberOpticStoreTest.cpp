// The fiber-optic driver beside the real hub on one simulated device: every accepted
// configuration is stored in flash by the hub, and a store the hub could not make is answered
// as an error, with the new settings in force all the same.
#include <gtest/gtest.h>

#include <memory>

#include "KoveTestSupport.h"
#include "QTXXml.h"
#include "RequestClient.h"

using namespace kovetest;

namespace
{
constexpr int kHubPort = 62000;
constexpr int kFoPort = 62002;
// Unit base of the fiber-optic unit on a device of a family without its own base.
constexpr uint32_t kBase = 0x40000;

// 32 Mbit both ways with the frames code, slot 0.
std::string Frames(int frames)
{
    return sXmlStart + "<Module Name=\"FiberOptic\"><Properties>" +
           FiberOpticFrameProperties(frames) + "</Properties></Module>\n";
}

class FiberOpticStore : public testing::Test
{
protected:
    void SetUp() override
    {
        pHub = std::make_unique<CTestProcess>(tDevice, "systemdriver");
        ASSERT_TRUE(pHub->WaitForPort(kHubPort)) << pHub->Output();
        pDriver = std::make_unique<CTestProcess>(tDevice, "fodriver");
        ASSERT_TRUE(pDriver->WaitForPort(kFoPort)) << pDriver->Output();
    }
    CReply Send(const std::string& request)
    {
        return SendRequest(kFoPort, request, tDevice.Dir() + "/reply.xml");
    }
    std::string Partition() const { return ReadFile(tDevice.Path("/dev/mtd_data")); }
    uint32_t FrameRegister() const
    {
        return static_cast<uint32_t>(
            std::stoul(tDevice.Tool("peek", {std::to_string(kBase + 0x2000C)}), nullptr, 16));
    }
    std::string Stored() const
    {
        return ReadFile(
            tDevice.Path("/Applications/tmp/Driver/Configuration/Config_62002_FiberOptic.xml"));
    }

    CSimDevice tDevice{{"--family", "DAQ"}};
    std::unique_ptr<CTestProcess> pHub;
    std::unique_ptr<CTestProcess> pDriver;
};

TEST_F(FiberOpticStore, AStoreTheHubCannotMakeIsAnsweredAsAnError)
{
    // Stored: the flash record holds the configuration directory.
    const std::string erased = Partition();
    CReply reply = Send(Frames(8));
    ASSERT_EQ(reply.sRoot, "Module") << pDriver->Output();
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    const std::string stored = Partition();
    EXPECT_EQ(stored.substr(0, 4), "KCFG");
    EXPECT_NE(stored, erased);

    // The flash refuses the write: the requester learns that the settings will not survive a
    // restart, though they are applied and in the configuration directory.
    tDevice.Tool("flash", {"data", "fail"});
    reply = Send(Frames(16));
    ASSERT_EQ(reply.sRoot, "Module") << pDriver->Output();
    EXPECT_TRUE(reply.Has("<Error Type=\"GeneralError\" Name=\"ErrorWritingConfiguration\""))
        << reply.sText;
    EXPECT_EQ(FrameRegister(), 0x8FABu);
    EXPECT_NE(Stored().find("Name=\"InputFrames\" Value=\"16\""), std::string::npos);
    EXPECT_EQ(Partition(), stored);

    // Once the flash works again the next configuration is stored, and answered without error.
    tDevice.Tool("flash", {"data", "ok"});
    reply = Send(Frames(16));
    EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
    EXPECT_NE(Partition(), stored);

    // Without a hub to store it, the same.
    pHub.reset();
    reply = Send(Frames(8));
    ASSERT_EQ(reply.sRoot, "Module") << pDriver->Output();
    EXPECT_TRUE(reply.Has("Name=\"ErrorWritingConfiguration\"")) << reply.sText;
    EXPECT_EQ(FrameRegister(), 0x8708u);
}
} // namespace
