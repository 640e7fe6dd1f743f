// The factory-default button thread of the system driver, run in this process against a hub
// stand-in on the system driver's port.
#include "../drivers/system/SystemTestSupport.h"

#include "Cdi.h"
#include "FakeHub.h"

using kovetest::BinPath;
using kovetest::CFakeHub;
using kovetest::LaunchArgv;
using kovetest::RunCommand;
using kovetest::WaitFor;

class SystemFactoryButton : public SystemUnit
{
protected:
    void Button(const char* state)
    {
        if (!m_bMade)
        {
            ASSERT_EQ(RunCommand(LaunchArgv({BinPath("kovesim"), "create", m_tDevice.Path()})), 0);
        }
        m_bMade = true;
        ASSERT_EQ(RunCommand(LaunchArgv({BinPath("kovesim"), "button", m_tDevice.Path(), state})),
                  0);
    }
    void EndThreads()
    {
        System().EndAllThreads();
        EXPECT_TRUE(WaitFor([&] { return System().ThreadCounter(0) == 0; },
                            std::chrono::seconds(20)));
    }
    bool m_bMade = false;
};

TEST_F(SystemFactoryButton, AHeldButtonAsksForFactorySettingsWithTheButtonLedLit)
{
    CFakeHub hub;
    ASSERT_TRUE(hub.Start());
    Button("on");
    ASSERT_EQ(CdiOpen(), 0);
    System().SetBooting(false);
    ASSERT_TRUE(System().StartThread(FactoryButtonThread, nullptr, 0, -1000000).bValid);

    ASSERT_TRUE(hub.WaitForRequests("FactorySettings", 1, std::chrono::seconds(20)));
    EXPECT_EQ(hub.Requests("FactorySettings")[0].Attribute("IncludeNetworkSettings"), "true");
    EXPECT_TRUE(System().bButtonLed);
    Button("off");
    EXPECT_TRUE(WaitFor([&] { return !System().bButtonLed; }, std::chrono::seconds(20)));
    EndThreads();
    CdiClose();
    EXPECT_EQ(hub.Requests("FactorySettings").size(), 1u);
}
