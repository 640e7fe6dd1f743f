// The signal-routing driver as a process on a simulated device of family 2 (synchronizer and
// bus-master units), beside a fake hub: the fixture and the documents its tests send.
#ifndef DUF_DRIVER_FIXTURE_H
#define DUF_DRIVER_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FakeHub.h"
#include "FakeModuleDriver.h"
#include "KoveTestSupport.h"
#include "QTXXml.h"
#include "RequestClient.h"

namespace kovetest
{
inline constexpr int kDufPort = 62001;
inline const std::string kEmptyMask = "FoReadyMask=0b" + std::string(32, '0');
inline const std::string kDriverDir = "/Applications/tmp/Driver/";
inline const std::string kStoredSet0 = kDriverDir + "Configuration/Config_62001_DUF.xml";

inline std::string Debug(const std::string& properties)
{
    return sXmlStart + "<Debug><Properties>" + properties + "</Properties></Debug>\n";
}

inline std::string Property(const std::string& name, const std::string& value)
{
    return "<Property Name=\"" + name + "\" Value=\"" + value + "\"/>";
}

// A fiber-optic routing document: per list its name, module slot and signal numbers.
struct SList
{
    std::string name;
    int slot;
    std::vector<int> numbers;
};
// The document-level properties name the requester: the fiber-optic driver unless given.
inline std::string RoutingDocument(const std::vector<SList>& lists,
                                   const std::string& target = Property("Target", "FiberOptic"))
{
    std::string text = sXmlStart + "<Module Name=\"DUF\"><Properties>" + target + "</Properties>";
    for (const SList& list : lists)
    {
        text += "<Signals Name=\"" + list.name + "\" ModuleSlot=\"" + std::to_string(list.slot) +
                "\"><NumberOfSignals><Value>" + std::to_string(list.numbers.size()) +
                "</Value></NumberOfSignals>";
        for (int n : list.numbers)
            text += "<Signal Number=\"" + std::to_string(n) + "\"><Properties/></Signal>";
        text += "</Signals>";
    }
    return text + "</Module>\n";
}

// A module description with the lists AnalogIn (signals 1 and 2) and DigitalIn (signal 5).
inline std::string TwoListDescription()
{
    const std::string analog =
        ForDufXml("AnalogIn", 0x200000, 0x10000, 10, {{1, 40, 8, "BYTE"}, {2, 100, 16, "INT"}});
    const std::string digital =
        ForDufXml("DigitalIn", 0x200000, 0x10000, 10, {{5, 3, 1, "Digital"}});
    const size_t from = digital.find("<Signals");
    const size_t to = digital.find("</Module>");
    std::string both = analog;
    both.insert(both.find("</Module>"), digital.substr(from, to - from));
    return both;
}

// The places of the static fiber-optic configuration and the routing driver's own directory.
inline const std::string kWorkingCopy = "/tmp/Update/Config_StaticFO.xml";
inline const std::string kStoredCopy = kDriverDir + "Configuration/Config_StaticFO.xml";
inline const std::string kDufDir = kDriverDir + "dufdriver/";

// A static fiber-optic configuration file with the signal set and every offset 0.
inline std::string StaticFoFile(const std::string& signals, const std::string& extra = "")
{
    std::string text = sXmlStart + "<Module Name=\"StaticFO\"><Properties Name=\"A\">" +
                       Property("FO_Signals", signals);
    for (const char* name :
         {"FO_IN_AO_Offset", "FO_IN_DO_Offset", "FO_OUT_AI_Offset", "FO_OUT_DI_Offset"})
        text += Property(name, "0");
    for (const char* name : {"Use_qorKOVE-Z-TM_DI", "Use_Output_StatusSignals",
                             "Use_Output_ControlSignals", "QW_Compatibility"})
        text += Property(name, "false");
    return text + extra + "</Properties></Module>\n";
}

// Sixteen signals 0..15 of the length, one after the other.
inline std::vector<CForDufSignal> Sixteen(int length, const char* type)
{
    std::vector<CForDufSignal> signals;
    for (int n = 0; n < 16; ++n)
        signals.push_back({n, n * length, length, type});
    return signals;
}

inline std::string IdentifyListing(const std::vector<int>& ports)
{
    std::string text = sXmlStart + "<System><SystemInfo Name=\"qorKOVE\"/><Modules>";
    for (int port : ports)
        text += "<Module Name=\"m\"><Port>" + std::to_string(port) +
                "</Port><Status>Running</Status></Module>";
    return text + "</Modules></System>\n";
}

// Writes a file of the device (its directories made as needed).
inline bool StoreDeviceFile(const CSimDevice& device, const std::string& path,
                            const std::string& text)
{
    std::filesystem::create_directories(device.Path(path.substr(0, path.rfind('/'))));
    FILE* f = fopen(device.Path(path).c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && written;
}

class DufDriver : public testing::Test
{
protected:
    explicit DufDriver(const std::vector<std::string>& device = {"--family", "0x880000"})
        : m_tDevice(device)
    {
    }
    void SetUp() override
    {
        ASSERT_TRUE(m_tHub.Start());
        m_tHub.SetReply("Identify", IdentifyListing({62001, 62101, 62102}));
    }
    std::unique_ptr<CTestProcess> StartDuf()
    {
        auto duf = std::make_unique<CTestProcess>(m_tDevice, "dufdriver");
        EXPECT_TRUE(duf->WaitForPort(kDufPort)) << duf->Output();
        EXPECT_TRUE(m_tHub.WaitForRequests("RegisterModule", 1)) << duf->Output();
        return duf;
    }
    uint32_t Peek(uint32_t address) const
    {
        return static_cast<uint32_t>(
            std::stoul(m_tDevice.Tool("peek", {std::to_string(address)}), nullptr, 16));
    }
    CReply Send(const std::string& request)
    {
        return SendRequest(kDufPort, request, m_tDevice.Path("/reply.xml"));
    }
    std::string ShowPaths() { return Send(Debug(Property("ShowPaths", ""))).sText; }
    std::string Log() const
    {
        return ReadFile(m_tDevice.Path(kDriverDir + "log/Slot62001_log.txt"));
    }
    void Store(const std::string& path, const std::string& text)
    {
        ASSERT_TRUE(StoreDeviceFile(m_tDevice, path, text)) << path;
    }

    CFakeHub m_tHub;
    CSimDevice m_tDevice;
};

} // namespace kovetest

#endif
