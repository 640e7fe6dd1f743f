// A signal-routing driver object inside the test process, on a simulated device of its own: it
// is not started (no Init, no port); its operations are called directly. Its files lie in the
// device's driver directory.
#ifndef DUF_TEST_SUPPORT_H
#define DUF_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTXDuf.h"

// The units of a run as calls in text, one line each (numbers in hexadecimal); the list
// pointers move as on the device, nothing is written.
class CRecordingUnits : public CDufCountingUnits
{
public:
    explicit CRecordingUnits(std::vector<std::string>& calls) : m_rCalls(calls) {}
    void DfcmInit(uint32_t value, int flag) override
    {
        Note("DI");
        CDufCountingUnits::DfcmInit(value, flag);
    }
    void BpbmInit(uint8_t a, uint8_t b, int flag) override
    {
        Note("BI", {b});
        CDufCountingUnits::BpbmInit(a, b, flag);
    }
    void PcimInit(uint16_t, uint8_t) override { Note("PI"); }
    void BpbmAllocateChannel(uint32_t channel, uint8_t global, uint8_t module, uint8_t system,
                             uint16_t, uint16_t local, uint16_t, uint32_t remote, uint32_t reg,
                             uint8_t direction) override
    {
        Note("BA", {channel, global, module, system, local, remote, reg, direction});
    }
    void BpbmPrgTransfer(uint32_t local, uint32_t remote, uint32_t length, uint32_t more,
                         uint8_t flag, uint8_t channelEvent, uint8_t relayEvent) override
    {
        Note("BT", {local, remote, length, more, channelEvent, relayEvent});
        CDufCountingUnits::BpbmPrgTransfer(local, remote, length, more, flag, channelEvent,
                                           relayEvent);
    }
    void PcimAllocateChannel(uint32_t channel, uint8_t event, uint8_t selector, uint32_t,
                             uint8_t raise, uint16_t local, uint16_t localLength, uint32_t host,
                             uint32_t hostLength, uint32_t buffers, uint8_t toHost,
                             uint8_t) override
    {
        Note("PA", {channel, event, selector, raise, local, localLength, host, hostLength, buffers,
                    toHost});
    }
    void DfcmAllocateSynchronizer(uint32_t synchronizer, uint8_t event, uint8_t selector,
                                  uint32_t) override
    {
        Note("DA", {synchronizer, event, selector});
    }
    void DfcmPrgTransfer(uint32_t source, uint32_t destination, uint16_t length,
                         uint32_t sourceRegister, uint32_t destinationRegister,
                         const uint32_t* copyMask, uint8_t event) override
    {
        Note("DT", {source, destination, length, sourceRegister, destinationRegister, event});
        CDufCountingUnits::DfcmPrgTransfer(source, destination, length, sourceRegister,
                                           destinationRegister, copyMask, event);
    }

private:
    void Note(const char* name, std::initializer_list<uint32_t> values = {})
    {
        std::string line = name;
        char number[16];
        for (uint32_t v : values)
        {
            snprintf(number, sizeof number, " %x", v);
            line += number;
        }
        m_rCalls.push_back(line);
    }
    std::vector<std::string>& m_rCalls;
};

class CTestDuf : public CDuf
{
public:
    using CDuf::AllocatePcimBuffers;
    using CDuf::CheckRoutingDocument;
    using CDuf::iNextFoOutEvent;
    using CDuf::SelectBusModuleFrame;
    // Every run records its unit calls here instead of programming the device.
    std::vector<std::string> vUnitCalls;
    std::unique_ptr<CDufUnits> MakeUnits(bool) override
    {
        return std::make_unique<CRecordingUnits>(vUnitCalls);
    }

    explicit CTestDuf(const std::string& directory)
    {
        sDirectory = directory + "/";
        // Names the log file as Init would; no port, so nothing is registered or removed.
        sModuleName = sFileName = GetModuleName();
        // Serving, not starting: no module counts as missing.
        bBooting = false;
    }

    void SetUnits(bool dfcm, bool bpbm, bool pcim)
    {
        DfcmPresent = dfcm;
        BpbmPresent = bpbm;
        PcimPresent = pcim;
    }
    std::string Directory() const { return sDirectory; }
    // The static fiber-optic mode's state.
    void SetStaticFo(int32_t hwMode, int32_t hexSwitch)
    {
        QwHwMode = hwMode;
        QwHexSwitch = hexSwitch;
    }
    void SetSlotModule(int slot, int32_t id) { aModuleSignals[slot].ModuleId = id; }
    void SetBooting(bool booting) { bBooting = booting; }
    // The error text and parameter ReadModuleDufData throws, "" when it throws none.
    std::string ReadError(DufRequest& request)
    {
        try
        {
            ReadModuleDufData(request);
        }
        catch (CQTXError& error)
        {
            return error.ErrorText() + "|" + error.ErrorParameter();
        }
        return "";
    }
    // Everything the driver logged.
    std::string LogText() const
    {
        std::string text;
        const std::string dir = sQTXRootDirectory + "log/";
        if (DIR* d = opendir(dir.c_str()))
        {
            while (dirent* entry = readdir(d))
                if (entry->d_name[0] != '.')
                    text += kovetest::ReadFile(dir + entry->d_name);
            closedir(d);
        }
        return text;
    }
};

// A record of requester 62002 for the partner with the given signal numbers, enabled.
inline DufRequest MakeRequest(uint16_t partner, const std::string& name,
                              const std::vector<int>& numbers, uint16_t requester = 62002)
{
    DufRequest r;
    r.Valid = 1;
    r.Requester = requester;
    r.Partner = partner;
    r.Direction = 1;
    r.Name = name;
    for (int n : numbers)
        CDufRequestList::AddSignal(&r, n, 0, 0, "");
    return r;
}

// A request with complete copy-machine data: partner block at 0x210000 with its register, one
// transfer of 12 bytes from 0x1008, start events 3/5/2, PCI-master channel 2 with 4 buffers of
// 12 bytes at 0x1000.
inline DufRequest CopyMachinePath(uint16_t requester, uint16_t partner, uint8_t direction,
                                  const std::string& name)
{
    DufRequest r = MakeRequest(partner, name, {1}, requester);
    r.Direction = direction;
    r.StartGlobal = 3;
    r.StartModule = 5;
    r.StartSystem = 2;
    r.Opponent.front().Addr = 0x210000;
    r.Opponent.front().Register = 0x210040;
    r.Opponent.front().Transfers.front() = {0x1008, 0, 12};
    r.DfcmLenIn = r.DfcmLenOut = 12;
    r.PcimChannel = 2;
    r.PcimBufferCount = 4;
    r.PcimBufferLength = 12;
    r.PcimLogicalAddress = 0x1000;
    return r;
}

// Each test gets a fresh simulated device and a routing driver object on it.
class DufUnit : public testing::Test
{
protected:
    void SetUp() override
    {
        m_sSavedRoot = sQTXRootDirectory;
        setenv("KOVE_SIM", m_tDevice.Path().c_str(), 1);
        PlatReloadSimulation();
        sQTXRootDirectory = "/Applications/tmp/Driver/";
        m_pDuf = std::make_unique<CTestDuf>(m_tDevice.Path() + "/Applications/tmp/Driver");
        RunCommand({"mkdir", "-p", m_pDuf->Directory()});
        m_pDuf->SetUnits(true, true, false);
    }
    void TearDown() override
    {
        m_pDuf.reset();
        sQTXRootDirectory = m_sSavedRoot;
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }
    static void RunCommand(const std::vector<std::string>& argv) { kovetest::RunCommand(argv); }

    CTestDuf& Duf() { return *m_pDuf; }
    // Puts a description into the driver's cache for the port.
    void CacheDescription(int port, const std::string& bytes)
    {
        FILE* f =
            fopen((Duf().Directory() + "DufFor" + std::to_string(port) + ".xml").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }

    kovetest::CTempDir m_tDevice;
    std::unique_ptr<CTestDuf> m_pDuf;
    std::string m_sSavedRoot;
};

#endif
