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

class CTestDuf : public CDuf
{
public:
    explicit CTestDuf(const std::string& directory)
    {
        sDirectory = directory + "/";
        // Names the log file as Init would; no port, so nothing is registered or removed.
        sModuleName = sFileName = GetModuleName();
    }

    void SetUnits(bool dfcm, bool bpbm, bool pcim)
    {
        DfcmPresent = dfcm;
        BpbmPresent = bpbm;
        PcimPresent = pcim;
    }
    std::string Directory() const { return sDirectory; }
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
