// The driver's messages to the system driver (127.0.0.1:62000): registration at the start and
// removal at the end, and clearing the module error.
#include "QTX.h"

#include <cerrno>
#include <ctime>

#include "QTXConvert.h"
#include "QTXMessages.h"

namespace
{
constexpr int REGISTRATION_TIMEOUT_MS = 5000;
constexpr int CLEAR_ERROR_TRIES = 50;
constexpr int CLEAR_ERROR_PAUSE_MS = 100;

void PauseMs(int ms)
{
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}
} // namespace

void CQTX::RegisterDevice()
{
    std::string name = sModuleName + ":" + std::to_string(ulPort);
    if (!sOrderNumber.empty())
    {
        // The FPGA version word: on the upper bus range at the top of the driver's segment,
        // otherwise at the relative address 4.
        const uint32_t fpgaVersion =
            (ulBpbBaseAddress & 0x80000000u)
                ? BPBReadWord(static_cast<int32_t>((ulBpbBaseAddress & 0xE0000000u) | 0x1FF00000u),
                              true)
                : BPBReadWord(4, false);
        name += "*" + sOrderNumber + "#" + sSerialNumber + "+" + sHwVersion + "," + sSwVersion +
                "!" + IntToString(static_cast<int32_t>(fpgaVersion), 16, 8);
    }
    const std::string document =
        sXmlStart + "<RegisterModule Name=\"" + EscapeXmlValue(name) + "\" />\n";
    bUnregistered = false;
    if (SendStringToDriver(document, REGISTRATION_TIMEOUT_MS, static_cast<int>(QTX_SYSTEM_PORT),
                           ""))
        return;

    CQTXECommunicationError error("SystemError", "Can not register device", __FILE__, __LINE__,
                                  Error);
    // Without hardware the driver may run on its own; with hardware it must be known to the
    // system driver.
    if (BPBRealHardwareAvailable())
        throw error;
    SendErrorMessage(error, false);
}

void CQTX::UnregisterDevice()
{
    if (bUnregistered)
        return;
    const std::string document = sXmlStart + "<RemoveModule Name=\"" +
                                 EscapeXmlValue(sModuleName + ":" + std::to_string(ulPort)) +
                                 "\" />\n";
    if (SendStringToDriver(document, REGISTRATION_TIMEOUT_MS, static_cast<int>(QTX_SYSTEM_PORT),
                           ""))
    {
        bUnregistered = true;
        return;
    }
    throw CQTXECommunicationError("SystemError", "Can not unregister device", __FILE__, __LINE__,
                                  Error);
}

void CQTX::ClearModuleError()
{
    const std::string document =
        sXmlStart + "<ClearModuleError Slot=\"" + std::to_string(ulPort) + "\" />\n";
    CQTXCommunication connection;
    for (int attempt = 0; attempt < CLEAR_ERROR_TRIES; ++attempt)
    {
        bool replied = false;
        if (connection.Open(acSystemAddress, true) &&
            connection.SendBuffer(document.data(), static_cast<int>(document.size())))
            replied = connection.ReceiveXmlFile("", 0) != 0;
        connection.Close();
        if (replied)
            return;
        PauseMs(CLEAR_ERROR_PAUSE_MS);
    }
}
