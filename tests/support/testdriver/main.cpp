// qtxtestdriver: a driver with the simplest bodies for the operations the framework leaves to
// every driver. It runs the framework's main loop like any simple driver.
//
// -Startup=thread serves requests in the framework's communication thread instead, while the
// main thread only waits; the driver then ends on SIGTERM alone.
#include <unistd.h>

#include "QTX.h"
#include "QTXConvert.h"

namespace
{
class CQTXTestDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "TestDriver"; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}

    bool ServesInThread() const { return SameString(sStartupText, "thread"); }
};
} // namespace

int main(int argc, char** argv)
{
    CQTXTestDriver driver;
    bool thread = false;
    for (int i = 1; i < argc; ++i)
        thread = thread || SameString(argv[i], "-Startup=thread");
    if (!thread)
        return driver.RunQTXDriver(argc, argv, 0);

    try
    {
        driver.Init(argc, argv, 0);
    }
    catch (CQTXError& error)
    {
        driver.SetModuleError(error);
        return 1;
    }
    if (!driver.DoCommunication(true, true).bValid)
        return 1;
    for (;;)
        pause();
}
