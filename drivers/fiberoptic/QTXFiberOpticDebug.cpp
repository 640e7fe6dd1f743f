// Requests of the fiber-optic driver that are not configuration: the Debug commands (debug
// receiver, end of the driver, the flex interrupts of the IP-over-fiber device, the loop test),
// the Diagnostic switch of the IpTx watchdog, and the description of the driver's data lengths
// that the signal-routing driver reads, "Fo2Duf.xml".
#include "QTXFiberOptic.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "QTXConvert.h"

namespace
{
// The fiber-optic loop test walks the loop-test register through values below this.
constexpr int32_t kLoopTestEnd = 256;

const char kFo2DufName[] = "Fo2Duf.xml";
} // namespace

void CFiberOptic::ProcessDebug()
{
    CQTXXml& document = tXmlCommandFile;
    // Tested by presence, in this order.
    const auto selectCommand = [this](const char* name) { return SelectDebugCommand(name); };

    if (selectCommand("DebugReceiver"))
        OpenDebugReceiverOfCommand();
    if (selectCommand("EndDriver"))
        throw CQTXError("UserBreak", "Driver stopped due to user request", __FILE__, __LINE__, Note,
                        "GeneralError");
    if (selectCommand("DisableFlexInterrupts"))
        WriteDeviceFile("/dev/ilseth", "InterruptOFF", 12, 0);
    if (selectCommand("EnableFlexInterrupts"))
        WriteDeviceFile("/dev/ilseth", "InterruptON", 11, 0);
    if (selectCommand("TestFiberOpticLoop"))
    {
        // One integer; a decimal point is allowed.
        const std::string text = document.GetStringProperty();
        char* end = nullptr;
        const double value = strtod(text.c_str(), &end);
        const bool readable = end != text.c_str() && value > -2147483648.0 && value < 2147483648.0;
        const int32_t step = readable ? static_cast<int32_t>(value) : 0;
        if (readable && step < 1)
        {
            // A step below 1 would never reach the end of the test.
            document.SetStringProperty("ERROR");
            throw CQTXEParameterError("WrongValue",
                                      "Fiber optic loop test needs a step of 1 or more", __FILE__,
                                      __LINE__, Error);
        }
        const bool passed = readable && RunLoopTest(step);
        document.SetStringProperty(passed ? "OK" : "ERROR");
        if (!passed)
            throw CQTXError("LoopTestFailed", "Fiber optic loop test failed", __FILE__, __LINE__,
                            Error, "GeneralError");
    }
}

bool CFiberOptic::RunLoopTest(int32_t step)
{
    if (step < 1)
        return false;
    // The unit is not reprogrammed by the polling thread while the test runs.
    pthread_mutex_lock(&tSettingsMutex);
    const uint32_t mode = ReadRegister(FO_REG_MODE);
    switch ((mode >> 4) & 0xF)
    {
    case 8:
    case 11:
        WriteRegister(FO_REG_FRAME, 36779);
        WriteRegister(FO_REG_SPEED, 768);
        WriteRegister(FO_REG_MODE, 1026873);
        break;
    case 9:
    case 15:
        WriteRegister(FO_REG_MODE, mode & ~0xC0u);
        break;
    default:
        break;
    }

    bool passed = true;
    for (int32_t i = 0; i < kLoopTestEnd && passed; i += step)
    {
        const uint32_t value = static_cast<uint32_t>(i);
        WriteRegister(FO_REG_LOOP_TEST, value | 0x8000u);
        FoSleepMs(5);
        const uint32_t expected = (value << 16) | value | 0x80008000u;
        for (int reading = 0; reading < 4 && passed; ++reading)
        {
            if (reading > 0)
                FoSleepMs(1);
            passed = ReadRegister(FO_REG_LOOP_TEST) == expected;
        }
    }
    WriteRegister(FO_REG_LOOP_TEST, 0);
    pthread_mutex_unlock(&tSettingsMutex);
    return passed;
}

void CFiberOptic::ProcessDiagnostic()
{
    XMLNode element = tXmlCommandFile.GetXMLNodeRoot().getChildNode("ActivateWatchdog");
    if (element.isEmpty())
        return;
    const char* text = element.getText(0);
    bool enable = false;
    if (SameString(text != nullptr ? text : "", "true"))
        enable = true;
    else if (!SameString(text != nullptr ? text : "", "false"))
        return;
    pthread_mutex_lock(&tSettingsMutex);
    bIpTxWatchdog = enable;
    pthread_mutex_unlock(&tSettingsMutex);
    WriteToLogfile(enable ? "IpTxWatchdog enabled" : "IpTxWatchdog disabled");
    element.updateAttribute("Done", nullptr, "Result");
}

bool CFiberOptic::WriteFo2DufFile()
{
    FoSettings settings;
    GetCurrentSettingsLocked(&settings);
    const auto length = [&settings](int row)
    {
        const int32_t payload = FoPayload(row);
        return payload < 0 ? settings.iLength : payload;
    };

    CQTXXml document;
    if (!document.New("Module", "Fo2Duf"))
        return false;
    document.SelectSignalListByName("", "", true);
    document.SelectSignalByNumber(-1, true);
    document.WriteStringProperty("InputLength", IntToString(length(settings.iInputProtocol)));
    document.WriteStringProperty("OutputLength", IntToString(length(settings.iOutputProtocol)));
    const std::string path = FileNameToAbsolutePath(kFo2DufName);
    return ReplaceFile(path, [&document](const std::string& file)
                       { return document.StoreFile(file.c_str(), false); });
}

std::string CFiberOptic::GetDUFConfigurationFileName()
{
    if (!WriteFo2DufFile())
        SendErrorMessage(CQTXError("CanNotStoreFile", "Fo2Duf.xml can not be written", __FILE__,
                                   __LINE__, Error, "GeneralError"),
                         false);
    return kFo2DufName;
}
