// The sniffer's binary configuration as the driver takes it: from a request, or at start and
// after factory defaults from the stored sets 0 and 1; the signal-routing description written
// beside it; the apply step; the diagnostic servers and the remanent-data thread.
#include "QTXPN.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

#include "Cdi.h"
#include "PnPort.h"
#include "QTXBin.h"
#include "QTXGenerateForDuf.h"
#include "QTXVersion.h"
#include "nyDebug.h"

namespace
{
constexpr uint32_t kRemanentWord = 0x2102C;
}

int CPN::ParseAndAccept(CQTXBin& bin, bool stored, bool describe, int* subslotGroup)
{
    *subslotGroup = 0;
    std::unique_ptr<CQTXGenerateForDuf> writer;
    if (describe)
        writer = std::make_unique<CQTXGenerateForDuf>(sDufTempFile.c_str(), PN_MODULE_NAME, false);
    int result = QTXBIN_ERR_SHORT;
    try
    {
        if (bin.GetLength() >= QTXBIN_CONFIGURATION_SIZE)
            result = tSniffer.Parse(bin, stored, writer.get(), subslotGroup);
        if (result == 0)
            tSniffer.Accept();
        writer.reset(); // completes the file
    }
    catch (CQTXError&)
    {
        writer.reset();
        unlink(sDufTempFile.c_str());
        throw;
    }
    if (describe)
    {
        if (result == 0)
        {
            unlink(sDufFile.c_str());
            if (rename(sDufTempFile.c_str(), sDufFile.c_str()) != 0)
                WriteToLogfile("Can not rename " + sDufTempFile);
        }
        else
        {
            unlink(sDufTempFile.c_str());
        }
    }
    return result;
}

void CPN::LoadStoredConfigurations()
{
    for (int set = 0; set <= 1; ++set)
    {
        int index = set;
        const std::string name = CQTX::GetConfigurationFileName(index);
        if (name.empty())
            continue;
        const std::string path = FileNameToAbsolutePath(name);
        CQTXBin file;
        if (!file.LoadFile(path.c_str(), QTX_TAG_MODULE))
        {
            nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "NoConfigFile for %s", path.c_str());
            continue;
        }
        if (!file.Cfg_1st_Check(0))
        {
            nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "Cfg_1st_Check!! %s", path.c_str());
            continue;
        }
        int subslots = 0;
        const int result = ParseAndAccept(file, true, set == 1, &subslots);
        WriteToLogfile("Stored configuration " + std::to_string(set) + " parse ended with " +
                       (result == 0 ? "OK" : "ERROR " + std::to_string(result)));
    }
    ApplySnifferConfiguration();
}

bool CPN::ParseAndCheckConfiguration(int& setIndex)
{
    QTX_FUNCTION_LOG();
    setIndex = iHexSwitchValid.load();
    if (bFirstCall || IsFactoryDefault())
    {
        bFirstCall = false;
        LoadStoredConfigurations();
        return true;
    }
    if (pCurrentCommandFile != &tBinCommandFile)
    {
        nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "CfgFileTypeErr");
        throw CQTXEXmlError("NoBinaryConfiguration", "Only binary configurations are taken",
                            __FILE__, __LINE__, Error);
    }
    if (tBinCommandFile.GetLength() < QTXBIN_CONFIGURATION_SIZE)
    {
        nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "BinToShort!!");
        tBinCommandFile.SetStdError(QTXBIN_ERR_SHORT);
        return false;
    }
    int subslotGroup = 0;
    const int result = ParseAndAccept(tBinCommandFile, false, true, &subslotGroup);
    QtxBinCfgSetCheckResult(tBinCommandFile.GetConfiguration(), static_cast<int16_t>(result));
    if (_QTXBIN_CONFIGURATION* reply = tBinCommandFile.GetReply().GetConfig())
    {
        reply->checkResult = static_cast<int16_t>(result);
        _QTXVersionInfo version;
        GetVersionInfo(&version);
        reply->version = version.ulSwVersion;
    }
    if (result != 0)
        nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "parse&chk-CfgErr %d", result);
    WriteToLogfile(std::string("parse ended with ") + (result == 0 ? "OK" : "ERROR"));
    if (result != 0)
        return false;
    ApplySnifferConfiguration();
    if (subslotGroup > 0 && tSniffer.ReplySubslots(tBinCommandFile, subslotGroup) < 0)
        WriteToLogfile("Can not read the controller's subslot list");
    setIndex = 1;
    return true;
}

void CPN::ApplySnifferConfiguration()
{
    PnBusAccess bus;
    bus.writeWord = [this](int32_t address, uint32_t value) { BPBWriteWord(address, value, true); };
    bus.writeBuffer = [this](int32_t address, const uint32_t* words, uint32_t count)
    { BPBWriteBuffer(address, words, count, true); };
    tSniffer.Apply(bus, IsFactoryDefault());
}

bool CPN::TcpDiagThread(CQTX* driver, void*, int)
{
    auto* pn = static_cast<CPN*>(driver);
    PnDiagServe(pn->tDiagContext, pn->iDiagServerRun);
    return true;
}

bool CPN::RemanentDataThread(CQTX* driver, void*, int)
{
    auto* pn = static_cast<CPN*>(driver);
    while (pn->iRemanentRun.load() == 1)
    {
        CdiCtrlWriteValue(kRemanentWord, 1, nullptr);
        CdiCtrlWriteValue(kRemanentWord | CDI_CTRL_PORT1, 1, nullptr);
        // One second, in steps that notice the stop.
        for (int i = 0; i < 20 && pn->iRemanentRun.load() == 1; ++i)
            usleep(50000);
    }
    return true;
}
