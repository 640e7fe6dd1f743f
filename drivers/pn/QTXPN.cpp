// The PROFINET sniffer driver's process: the object, its start-up and hardware boot, the
// address hex switch, and the orderly stop of its threads.
#include "QTXPN.h"

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <new>
#include <unistd.h>

#include "Cdi.h"
#include "NySoc.h"
#include "PnDrv.h"
#include "PnPort.h"
#include "QTXBinConfig.h"
#include "QTXConvert.h"
#include "QTXMessages.h"
#include "QTXProduct.h"
#include "QTXReport.h"
#include "QTXVersion.h"
#include "nyDebug.h"

const char* const PN_MODULE_NAME = "qorQB-PN";

namespace
{
constexpr int32_t kBusIdentification = 0;
constexpr int32_t kBusFpgaVersion = 4;
constexpr int32_t kBusTimeLow = 0x10;
constexpr int32_t kBusTimeHigh = 0x14;
constexpr int32_t kBusStart = 0x2000;
// The threads notice the stop within a period (500 ms) or a receive time; this is the bound.
constexpr int kThreadStopTimeoutMs = 20000;

} // namespace

bool PnIsBusMonitorFamily(int family)
{
    return family == QTX_HW_FAMILY_PNA || family == QTX_HW_FAMILY_EIP;
}

CPN::CPN() = default;

CPN::~CPN()
{
    // A SIGTERM from here on must not reach the object being destroyed.
    ClearGlobalQTX(this);
    // The threads use the buffers and the mutex below: they end before anything is freed.
    if (!StopPnThreads())
    {
        WriteToLogfile("~CPN: some threads are still running");
        fflush(nullptr);
        _exit(1);
    }
    if (bDevicesOpen)
    {
        PNDrvClose();
        CdiClose();
        bDevicesOpen = false;
    }
}

std::string CPN::GetModuleName()
{
    return PN_MODULE_NAME;
}

int CPN::RunPnDriver(int argc, char** argv)
{
    // Failures to open are not fatal here: every later call on a closed device fails on its own.
    CdiOpen();
    PNDrvOpen();
    bDevicesOpen = true;
    InitDevMsgDebug(PN_DEBUG_PORT, PN_DEBUG_TRACE_BYTES, PN_DEBUG_THREADS);
    puts("call RunQTXDriver...");
    fflush(stdout);
    const int status = RunQTXDriver(argc, argv, PN_SLOT);
    StopPnThreads();
    return status;
}

bool CPN::StopPnThreads()
{
    iDiagServerRun = 2;
    iRemanentRun = 2;
    EndAllThreads();
    StopMonitorPort();
    const double deadline = GetMonotonicTime() + kThreadStopTimeoutMs / 1000.0;
    while (ThreadCounter(0) > 0)
    {
        if (GetMonotonicTime() >= deadline)
            return false;
        PnSleepMs(10);
    }
    return true;
}

void CPN::StopMonitorPort()
{
    const bool running = MonitorPortThreadRunning();
    StopMonitorPortThread();
    if (running)
        WriteToLogfile("Monitor-port thread stopped");
}

void CPN::Terminate()
{
    iDiagServerRun = 2;
    iRemanentRun = 2;
    StopMonitorPort();
    NySocStopAllConnections();
    PnSleepMs(50);
    CQTX::Terminate();
    PnSleepMs(50);
}

void CPN::InitCQTX()
{
    QTX_FUNCTION_LOG();
    // Only binary configurations are taken.
    AllowBinConfiguration(0, 0, false);
    // The driver's register addresses are the FPGA's own.
    ulBpbBaseAddress = 0;

    if (BPBRealHardwareAvailable() && !PnIsBusMonitorFamily(GetHWFamily()))
    {
        char text[64];
        snprintf(text, sizeof text, "FPGA not found: Read 0x%06X",
                 BPBReadWord(kBusIdentification, true) & 0xFFFFFFu);
        StoreEvent(text, PN_MODULE_NAME);
        throw CQTXEHardwareError("HardwareError", std::string(PN_MODULE_NAME) + " " + text,
                                 __FILE__, __LINE__, FatalError);
    }

    WriteFactoryDefaultFiles();

    _QTXVersionInfo version;
    GetVersionInfo(&version);
    ulFpgaVersion = version.ulFpgaVersion;
    tSniffer.SetFpgaVersion(ulFpgaVersion);

    if (!tSniffer.Allocate())
    {
        const char text[] = "Can not allocate buffer for DP RemapTable and S7-Request";
        StoreEvent(text, PN_MODULE_NAME);
        throw CQTXError("OutOfMemory", text, __FILE__, __LINE__, FatalError, "GeneralError");
    }
}

void CPN::BootHardware()
{
    QTX_FUNCTION_LOG();
    BPBWriteWord(kBusStart, 4, true);
    const uint32_t low = BPBReadWord(kBusTimeLow, true);
    const uint32_t high = BPBReadWord(kBusTimeHigh, true);
    nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "FPGA time 0x%08X%08X", high, low);

    puts("call GetUserConfig");
    const std::string userConfig = GetUserConfig();
    printf("call UserConfig2HexSwitchFull %s\n", userConfig.c_str());
    _HEXSWITCH_SET hex;
    if (UserConfig2HexSwitchFull(userConfig, &hex) < 0)
    {
        WriteToLogfile("UserConfig2HexSwitchFull returns error");
        UpdateHexs(0);
    }
    else
    {
        UpdateHexs(hex.iSwitch2);
    }
    puts("UserConfig2HexSwitchFull ready ");
    fflush(stdout);

    _QTXVersionInfo version;
    GetVersionInfo(&version);
    std::memcpy(tDiagContext.aucIdentity, version.aucEepromId, 6);
    std::memcpy(tDiagContext.aucIdentity + 6, version.acHwVersion, 2);
    QtxBinPutU32(tDiagContext.aucIdentity + 8, version.ulSwVersion);
    QtxBinPutU32(tDiagContext.aucIdentity + 12, version.ulFpgaVersion);
    tDiagContext.activeCounters = [this](uint32_t counters[4])
    { tSniffer.ActiveCounters(counters); };
    tDiagContext.monitorPortStatus = [] { return GetMonitorPortStatus(); };
    iDiagServerRun = 1;
    for (int i = 0; i < PN_DIAG_SERVERS; ++i)
        if (!StartThread(TcpDiagThread, nullptr, i, -100).bValid)
            WriteToLogfile("Can not start a diagnostic server");
    iRemanentRun = 1;
    if (!StartThread(RemanentDataThread, nullptr, 0, -100).bValid)
        WriteToLogfile("Can not start the remanent-data thread");
    if (!StartMonitorPortThread())
        WriteToLogfile("Can not start the monitor-port thread");

    sDufFile = FileNameToAbsolutePath(GetDUFConfigurationFileName());
    sDufTempFile = sDufFile + ".tmp";
}

void CPN::ProcessUserConfig(const std::string& value)
{
    QTX_FUNCTION_LOG();
    _HEXSWITCH_SET hex;
    if (UserConfig2HexSwitchFull(value, &hex) < 0)
    {
        nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "ProcessUserConfig: no hex value in '%s'",
                          value.empty() ? "(empty)" : value.c_str());
        return;
    }
    UpdateHexs(hex.iSwitch2);
}

int CPN::UpdateHexs(int addressSwitch)
{
    const int valid = addressSwitch != 0 ? 1 : 0;
    if (iHexSwitchValid.exchange(valid) == valid)
        return 0;
    if (valid == 0)
        SetModuleError(CQTXError("Addr Hex Switches Setting is invalid",
                                 " Addr:" + std::to_string(addressSwitch), "QTXPN", __LINE__, Error,
                                 "GeneralError"));
    else
        ClearModuleError();
    return 1;
}

std::string CPN::GetConfigurationFileName(int& setIndex)
{
    setIndex = iHexSwitchValid.load();
    return CQTX::GetConfigurationFileName(setIndex);
}

std::string CPN::GetFactorySettingFileName()
{
    if (!IsBooting() && PNDrvSReset(PNDRV_RESET_TO_DEFAULTS) != 0)
        WriteToLogfile("Can not reset the sniffer to its defaults");
    return "FactoryDefault.xml";
}

void CPN::ProcessDiagnostic()
{
    AddDeviceVersionToXml(&tXmlCommandFile, BPBReadWord(kBusFpgaVersion, true));
}

void CPN::SetHardwareConfiguration() {}
