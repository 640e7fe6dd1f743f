// A system driver object inside the test process, on a simulated device of its own: it is not
// started (no Init, no threads, no ports); requests are handed to its command dispatch
// directly, as the framework does after loading them.
#ifndef SYSTEM_TEST_SUPPORT_H
#define SYSTEM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTXSystem.h"

class CTestSystem : public CSystem
{
public:
    explicit CTestSystem(const std::string& directory) { sDirectory = directory + "/"; }

    // Loads the request as the document in hand and dispatches it by the tag of its root
    // element. Returns the dispatch result; an error the command throws is passed on.
    int Request(const std::string& document)
    {
        return ProcessUnknownXmlTag(static_cast<uint32_t>(Load(document)));
    }

    // Loads the request as the document in hand; returns the tag of its root element.
    int Load(const std::string& document)
    {
        const std::string path = sDirectory + "request.xml";
        std::ofstream(path, std::ios::binary) << document;
        const std::string root = CQTXCommandFile::GetFileTag(path.c_str());
        const int tag = ItemStringToInt(aCommandTags, root.c_str(), true);
        EXPECT_TRUE(tXmlCommandFile.LoadFile(path.c_str(), static_cast<unsigned short>(tag)))
            << document;
        pCurrentCommandFile = &tXmlCommandFile;
        return tag;
    }

    // The text of the error a request throws; empty when it throws none.
    std::string RequestError(const std::string& document)
    {
        try
        {
            Request(document);
        }
        catch (CQTXError& error)
        {
            return error.ErrorText();
        }
        return "";
    }

    // An attribute of the reply's root element; "<none>" when it is missing.
    std::string ReplyAttribute(const char* name) const
    {
        const char* value = tXmlCommandFile.GetXMLNodeRoot().getAttribute(name);
        return value != nullptr ? value : "<none>";
    }

    // The reply document as the framework would store it.
    std::string ReplyText()
    {
        const std::string path = sDirectory + "reply.xml";
        tXmlCommandFile.StoreFile(path.c_str(), true);
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string LogText() const
    {
        std::ifstream in(sQTXRootDirectory + "log/Slot62000_log.txt", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void SetPort(uint32_t port) { ulPort = port; }
    void SetBooting(bool booting) { bBooting = booting; }
    // Puts the object on a hardware family, whatever the FPGA's identification word says.
    void SetHWFamily(int family) { iHWFamily = family; }
};

// Each test gets a fresh simulated device (a KV8 central unit), and a system driver object on it
// whose files lie in the device's driver directory.
class SystemUnit : public testing::Test
{
protected:
    void SetUp() override
    {
        m_sSavedRoot = sQTXRootDirectory;
        setenv("KOVE_SIM", m_tDevice.Path().c_str(), 1);
        PlatReloadSimulation();
        sQTXRootDirectory = "/Applications/tmp/Driver/";
        m_pSystem = std::make_unique<CTestSystem>(DevicePath("/Applications/tmp/Driver"));
        m_pSystem->SetPort(62000);
    }
    void TearDown() override
    {
        m_pSystem.reset();
        sQTXRootDirectory = m_sSavedRoot;
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }

    CTestSystem& System() { return *m_pSystem; }
    // Where a fixed path of the device lies in the simulation.
    std::string DevicePath(const std::string& devicePath) const
    {
        return m_tDevice.Path() + devicePath;
    }

    // An empty directory becomes the default simulated device on first use.
    kovetest::CTempDir m_tDevice;
    std::unique_ptr<CTestSystem> m_pSystem;
    std::string m_sSavedRoot;
};

#endif
