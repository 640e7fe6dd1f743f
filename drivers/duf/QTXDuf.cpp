// The signal-routing driver's process: start-up, presence and set-up of the FPGA units its
// hardware family carries, and applying the accepted paths.
#include "QTXDuf.h"

#include <cstdio>
#include <unistd.h>

#include "Bpbm.h"
#include "Dfcm.h"
#include "InterProc.h"
#include "Pcim.h"
#include "QTXMessages.h"
#include "QTXProduct.h"

CDuf::CDuf() : tRequests(this)
{
    tRequests.fReleaseBuffers = [this](int32_t handle) { ReleasePcimBuffers(handle); };
    for (auto& slot : FoStartTable)
        for (int32_t& start : slot)
            start = -1;
}

CDuf::~CDuf()
{
    // The records, with their host buffers, go before the base class releases the process's
    // resources.
    tRequests.RemoveDufRequest(0, 0, "");
    if (m_bPoolMapped)
    {
        InterProcMemoryRelease();
        InterProcClose();
    }
}

std::string CDuf::GetModuleName()
{
    return "DUF";
}

void CDuf::InitCQTX()
{
    QTX_FUNCTION_LOG();
    FoInReservedBy = 0;
    FoOutReservedBy = 0;
    ModuleEventSlotMask = 0;

    switch (GetHWFamily())
    {
    case 1:
    case 12:
        DfcmPresent = BpbmPresent = PcimPresent = true;
        break;
    case QTX_HW_FAMILY_880:
        DfcmPresent = BpbmPresent = true;
        PcimPresent = false;
        break;
    case QTX_HW_FAMILY_DAQ:
        DfcmPresent = PcimPresent = false;
        BpbmPresent = true;
        break;
    default:
        DfcmPresent = BpbmPresent = PcimPresent = false;
        break;
    }
    WriteToLogfile(std::string("FPGA units: DFCM ") + (DfcmPresent ? "yes" : "no") + ", BPBM " +
                   (BpbmPresent ? "yes" : "no") + ", PCIM " + (PcimPresent ? "yes" : "no"));

    // The fiber-optic set is the one the start-up loads, and the module-to-module sets come back
    // with it: without a stored fiber-optic set an empty one stands in, so that they still do.
    WriteFactoryDefault(GetFactorySettingFileName(),
                        sXmlStart + "<Module Name=\"DUF\">\n<Properties>\n<Property "
                                    "Name=\"Target\" Value=\"FiberOptic\"/>\n"
                                    "</Properties>\n</Module>\n");
    // The static fiber-optic mode falls back to this configuration.
    WriteFactoryDefault(kStaticFoFactoryName,
                        sXmlStart +
                            "<Module Name=\"StaticFO\">\n<Properties Name=\"Default\">\n"
                            "<Property Name=\"FO_Signals\" Value=\"Int256\"/>\n"
                            "<Property Name=\"FO_IN_AO_Offset\" Value=\"0\"/>\n"
                            "<Property Name=\"FO_IN_DO_Offset\" Value=\"0\"/>\n"
                            "<Property Name=\"FO_OUT_AI_Offset\" Value=\"0\"/>\n"
                            "<Property Name=\"FO_OUT_DI_Offset\" Value=\"0\"/>\n"
                            "<Property Name=\"Debounce_Delay_Time_32xDI_16xDIO\" Value=\"0\"/>\n"
                            "<Property Name=\"Use_qorKOVE-Z-TM_DI\" Value=\"false\"/>\n"
                            "<Property Name=\"Use_Output_StatusSignals\" Value=\"false\"/>\n"
                            "<Property Name=\"Use_Output_ControlSignals\" Value=\"false\"/>\n"
                            "<Property Name=\"QW_Compatibility\" Value=\"false\"/>\n"
                            "</Properties>\n</Module>\n");
}

void CDuf::WriteFactoryDefault(const std::string& name, const std::string& text)
{
    const std::string path = FileNameToAbsolutePath(name);
    if (access(path.c_str(), F_OK) != 0 && !ReplaceFile(path,
                                                        [&text](const std::string& file)
                                                        {
                                                            FILE* out = fopen(file.c_str(), "wb");
                                                            if (out == nullptr)
                                                                return false;
                                                            const bool written =
                                                                fwrite(text.data(), 1, text.size(),
                                                                       out) == text.size();
                                                            return fclose(out) == 0 && written;
                                                        }))
        WriteToLogfile("The factory default " + path + " cannot be written");
}

void CDuf::BootHardware()
{
    QTX_FUNCTION_LOG();
    if (DfcmPresent)
        DfcmInit(0, 1);
    if (BpbmPresent)
        BpbmInit(0, 0, 1);
    if (PcimPresent)
        PcimInit(0, 16);
    InitQWMode();
    // The user settings select the fiber-optic mode; the driver takes them as the system
    // driver would push them.
    ProcessUserConfig(GetUserConfig());
}

void CDuf::SetHardwareConfiguration()
{
    QTX_FUNCTION_LOG();
    // The request check's trial has refused every set of paths that does not fit.
    SetupAllPaths(true);
    if (QwHwMode != 0 && QwHexSwitch == 0)
    {
        if (IsBooting())
        {
            SwitchModuleConfigurations(true);
            SetAndEnableFiberOptic();
        }
        WriteQwSignalList();
    }
    else if (IsBooting() && StaticFoCapable && QwHexSwitch != 0)
    {
        // Normal mode on a device that can run the static mode: the fiber-optic driver applies
        // its own stored configuration again (in place of a fixed one a static run sent it).
        // Asked for it, it gets it back as a new configuration; failures leave it as it is.
        const std::string stored = FileNameToAbsolutePath("StartFOCfg.xml");
        if (SendStringToDriver(sXmlStart + "<Configuration/>\n", 1000, DUF_FO_PORT, stored))
            SendFileToDriver(stored, 1000, DUF_FO_PORT, stored + "_reply");
    }
}

std::string CDuf::GetDUFConfigurationFileName()
{
    // The routing driver has no address data of its own.
    return "";
}

double CDuf::GetSignalValue(const std::string& /*name*/, int /*number*/)
{
    return 0;
}

std::string CDuf::GetSignalUnit(const std::string& /*name*/, int /*number*/)
{
    return "";
}
