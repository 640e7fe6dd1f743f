// qtxtestdriver: a driver with the simplest bodies for the operations the framework leaves to
// every driver. It runs the framework's main loop like any simple driver.
//
// -Startup= takes a list of words separated by ",":
//   thread          serves requests in the framework's communication thread instead, while the
//                   main thread only waits; the driver then ends on SIGTERM alone.
//   timeout=<ms>    receive timeout of the request server (the framework's default otherwise),
//                   so that tests of stalled clients need not wait the full default.
//   messages        after the start, reports a module error to the system driver, clears it
//                   and fetches the user configuration (printed as "UserConfig=<text>"), then
//                   serves as with thread.
//   bus             at the start, prints the hardware family and the bus word at 0x1000
//                   ("HWFamily=<n> Bus[0x1000]=0x<word>") and writes 0x5A5A0001 to 0x1004.
//   devmsg=<port>   before the start, runs the device-message service on the port as the
//                   system driver does (8160 trace bytes, 8 threads); prints "DevMsg failed"
//                   when it does not start.
//
// A configuration is applied by printing "Applied <text of its Setting element>"; one whose
// Setting is "refuse" is refused.
#include <cstdio>
#include <unistd.h>

#include "QTX.h"
#include "QTXConvert.h"

namespace
{
// Value of a word "<name>=<value>" in the -Startup= list; empty when the word is missing.
std::string StartupValue(const std::string& startup, const std::string& name)
{
    const int count = GetNumberOfArguments(startup, ',');
    for (int i = 0; i < count; ++i)
    {
        const std::string word = GetArgument(startup, ',', i);
        if (SameString(word, name + "=", true) && word.size() > name.size() + 1)
            return word.substr(name.size() + 1);
    }
    return "";
}

bool StartupHasWord(const std::string& startup, const std::string& name)
{
    const int count = GetNumberOfArguments(startup, ',');
    for (int i = 0; i < count; ++i)
        if (SameString(GetArgument(startup, ',', i), name))
            return true;
    return false;
}

class CQTXTestDriver : public CQTX
{
public:
    std::string GetModuleName() override { return "TestDriver"; }
    void InitCQTX() override
    {
        const std::string timeout = StartupValue(sStartupText, "timeout");
        if (!timeout.empty())
            GetCommunicationClass().SetTimeout(StringToInt(timeout), 10);
        if (StartupHasWord(sStartupText, "binary"))
            AllowBinConfiguration(2, 0, true);
    }
    void BootHardware() override
    {
        if (StartupHasWord(sStartupText, "bus"))
            ReportBus();
    }
    // A configuration's <Setting> text is applied by printing "Applied <text>"; the text
    // "refuse" is refused.
    bool ParseAndCheckConfiguration(int& setIndex) override
    {
        if (pCurrentCommandFile == &tBinCommandFile)
            return CheckBinaryConfiguration(setIndex);
        const char* setting = tXmlCommandFile.GetXMLNodeRoot().getChildNode("Setting").getText();
        sSetting = setting != nullptr ? setting : "";
        return sSetting != "refuse";
    }
    void SetHardwareConfiguration() override
    {
        printf("Applied %s\n", sSetting.c_str());
        fflush(stdout);
    }

    // Prints the hardware family and the bus word at 0x1000, then writes 0x5A5A0001 to the bus
    // word at 0x1004.
    void ReportBus()
    {
        const int family = GetHWFamily();
        printf("HWFamily=%d Bus[0x1000]=0x%08X\n", family, BPBReadWord(0x1000, true));
        fflush(stdout);
        BPBWriteWord(0x1004, 0x5A5A0001, true);
    }

    std::string sSetting;

    // A binary configuration is accepted when every entry of its group 2 (4-byte entries) is at
    // most 1000; each larger entry is marked as an entry error.
    bool CheckBinaryConfiguration(int& setIndex)
    {
        setIndex = -1;
        sSetting = "binary";
        unsigned char* entries = nullptr;
        unsigned int index = 0;
        _QTXBIN_GROUP group{};
        if (QtxBinCfgGetAndCheckGroup(tBinCommandFile.GetConfiguration(), 2, &entries, &index, 4,
                                      &group) != 0)
            return false;
        bool accepted = true;
        for (unsigned int i = 0; entries != nullptr && i < group.count; ++i)
            if (QtxBinGetU32(entries + i * group.entrySize) > 1000)
            {
                tBinCommandFile.Cfg_AddEntryError(-1, static_cast<unsigned char>(index),
                                                  static_cast<unsigned short>(i));
                accepted = false;
            }
        return accepted;
    }

    void ExchangeMessages()
    {
        SetModuleError(CQTXError("TestFault", "Pump <1> & \"valve\"", __FILE__, __LINE__, Warning));
        ClearModuleError();
        printf("UserConfig=%s\n", GetUserConfig().c_str());
        fflush(stdout);
    }
};

// The -Startup= text of the command line, before the driver parses it.
std::string StartupText(int argc, char** argv)
{
    std::string text;
    for (int i = 1; i < argc; ++i)
        if (SameString(argv[i], "-Startup=", true) && std::string(argv[i]).size() > 9)
            text = argv[i] + 9;
    return text;
}
} // namespace

int main(int argc, char** argv)
{
    CQTXTestDriver driver;
    const std::string devMsgPort = StartupValue(StartupText(argc, argv), "devmsg");
    if (!devMsgPort.empty() &&
        !driver.InitDevMsgDebug(static_cast<uint16_t>(StringToInt(devMsgPort)), 8160, 8))
        fputs("DevMsg failed\n", stderr);
    const bool messages = StartupHasWord(StartupText(argc, argv), "messages");
    if (!StartupHasWord(StartupText(argc, argv), "thread") && !messages)
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
    if (messages)
        driver.ExchangeMessages();
    if (!driver.DoCommunication(true, true).bValid)
        return 1;
    for (;;)
        pause();
}
