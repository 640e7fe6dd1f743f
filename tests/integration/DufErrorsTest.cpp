// The routing driver with its partners on one simulated device: the real hub (and, in static
// fiber-optic mode, the real fiber-optic driver) and fake module drivers in the slots. What a
// target module's own description must hold in either format, the paths to the local module
// and the FPGA unit's offered list, and module drivers that fail while the static mode switches
// their configurations.
#include "DufDriverFixture.h"

#include <map>

namespace kovetest
{
namespace
{
constexpr int kHubPort = 62000;
constexpr int kFoPort = 62002;

// A device of family 2 in normal mode with the real hub; fake module drivers are registered
// with it under a module name.
class DufWithHub : public testing::Test
{
protected:
    explicit DufWithHub(const std::string& hex = "1,1,0,0")
        : m_tDevice({"--family", "0x880000", "--hex", hex})
    {
    }
    void SetUp() override
    {
        m_pHub = std::make_unique<CTestProcess>(m_tDevice, "systemdriver");
        ASSERT_TRUE(m_pHub->WaitForPort(kHubPort)) << m_pHub->Output();
    }
    // A fake module driver in the slot, registered with the hub.
    CFakeModuleDriver& Module(int slot, const std::string& name, const std::string& description)
    {
        m_vModules.push_back(std::make_unique<CFakeModuleDriver>(slot));
        CFakeModuleDriver& module = *m_vModules.back();
        EXPECT_TRUE(module.Start());
        module.SetAddressTable(description);
        EXPECT_EQ(Send(kHubPort, sXmlStart + "<RegisterModule Name=\"" + name + ":" +
                                     std::to_string(62100 + slot) + "\"/>")
                      .sRoot,
                  "RegisterModule");
        return module;
    }
    void StartDuf()
    {
        m_pDuf = std::make_unique<CTestProcess>(m_tDevice, "dufdriver");
        ASSERT_TRUE(m_pDuf->WaitForPort(kDufPort)) << m_pDuf->Output();
    }
    CReply Send(int port, const std::string& request)
    {
        return SendRequest(port, request, m_tDevice.Path("/reply.xml"));
    }
    CReply Send(const std::string& request) { return Send(kDufPort, request); }
    std::string ShowPaths() { return Send(Debug(Property("ShowPaths", ""))).sText; }
    std::string Log() const
    {
        return ReadFile(m_tDevice.Path(kDriverDir + "log/Slot62001_log.txt"));
    }
    int LogCount(const std::string& text) const { return static_cast<int>(CountOf(Log(), text)); }
    uint32_t Peek(uint32_t address) const
    {
        return static_cast<uint32_t>(
            std::stoul(m_tDevice.Tool("peek", {std::to_string(address)}), nullptr, 16));
    }

    CSimDevice m_tDevice;
    std::unique_ptr<CTestProcess> m_pHub;
    std::vector<std::unique_ptr<CFakeModuleDriver>> m_vModules;
    std::unique_ptr<CTestProcess> m_pDuf;
};

// ---- The target module's own description

// The list a target module receives into, in XML: the properties as given ("" leaves one out).
std::string ReceiveXml(const std::map<std::string, std::string>& changes = {},
                       const std::string& label = "<?xml")
{
    std::map<std::string, std::string> p = {{"NumberOfBpbm", "1"},
                                            {"Bpbm0NumberOfTransfers", "1"},
                                            {"BaseAddress", "2097152"},
                                            {"OffsetPerSlot", "65536"},
                                            {"Bpbm0OffsetRegister", "128"},
                                            {"Bpbm0t0SourceAddress", "0"},
                                            {"Bpbm0t0DestinationAddress", "8192"},
                                            {"ModuleEvent", "22"}};
    for (const auto& c : changes)
        p[c.first] = c.second;
    std::string text = label + " version=\"1.0\"?>\n<Module Name=\"Fake_4Duf\"><Signals " +
                       "Name=\"Receive\"><NumberOfSignals><Value>0</Value></NumberOfSignals>" +
                       "<Properties>";
    for (const auto& property : p)
        if (!property.second.empty())
            text += Property(property.first, property.second);
    return text + "</Properties></Signals></Module>\n";
}

using Bytes = std::string;

void Put(Bytes& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
}

// One binary list record: kind, name, `signals` signal records behind it, and the address part
// of kind 1 with its bus masters {offset register, transfers {source, destination, length}}.
struct SBinaryList
{
    uint8_t kind = 1;
    std::string name = "Receive";
    int signals = 0;
    uint8_t moduleEvent = 22;
    std::vector<std::pair<uint32_t, std::vector<std::vector<uint32_t>>>> busMasters = {
        {0x80, {{0, 0x2000, 16}}}};
};

Bytes BinaryList(const SBinaryList& l)
{
    Bytes part;
    Put(part, 3, 1);
    Put(part, 2, 1);
    Put(part, l.moduleEvent, 1);
    Put(part, static_cast<uint32_t>(l.busMasters.size()), 1);
    Put(part, 0x200000, 4);
    Put(part, 0x10000, 4);
    for (const auto& b : l.busMasters)
    {
        Put(part, b.first, 4);
        Put(part, static_cast<uint32_t>(b.second.size()), 4);
        for (const auto& t : b.second)
            for (uint32_t v : t)
                Put(part, v, 4);
    }
    Bytes record;
    Put(record, static_cast<uint32_t>(24 + part.size()), 4);
    Put(record, l.kind, 1);
    Put(record, 0, 1);
    Put(record, static_cast<uint32_t>(l.signals), 2);
    Bytes name = l.name;
    name.resize(16, '\0');
    record += name + part;
    for (int n = 0; n < l.signals; ++n)
    {
        Put(record, static_cast<uint32_t>(n), 2);
        Put(record, 16, 2);
        Put(record, static_cast<uint32_t>(16 * n), 4);
        Put(record, 3, 4);
    }
    return record;
}

// A binary command file: the 16-byte head (label, tag, payload length) and the lists; `cut`
// bytes of the last list are left out (the head announces what is sent).
Bytes BinaryDescription(const std::vector<SBinaryList>& lists, uint16_t tag = 0x101, size_t cut = 0)
{
    Bytes payload;
    for (const SBinaryList& l : lists)
        payload += BinaryList(l);
    payload.resize(payload.size() - cut);
    Bytes head("<?bin", 6);
    Put(head, tag, 2);
    Put(head, 0, 4);
    Put(head, static_cast<uint32_t>(payload.size()), 4);
    return head + payload;
}

struct STargetRow
{
    const char* name;
    Bytes description;
    const char* code; // nullptr: accepted
    const char* text;
};

void PrintTo(const STargetRow& row, std::ostream* out)
{
    *out << row.name;
}

class DufTargetModule : public DufWithHub, public testing::WithParamInterface<STargetRow>
{
};

// The module in slot 1 sends AnalogIn to the module in slot 2, which receives into Receive.
TEST_P(DufTargetModule, DescriptionOfTheReceivingList)
{
    const STargetRow& row = GetParam();
    Module(1, "qorQM16xAI-10V", TwoListDescription());
    CFakeModuleDriver& target = Module(2, "qorQM16xAO-10V", row.description);
    StartDuf();

    const std::string document = RoutingDocument(
        {{"AnalogIn", 1, {1, 2}}}, Property("Target", "Module") + Property("TargetSlot", "62102") +
                                       Property("TargetSignals", "Receive"));
    const int asked = target.AddressTableRequests();
    const CReply reply = Send(document);
    EXPECT_EQ(target.AddressTableRequests(), asked + 1);
    const std::string paths = ShowPaths();
    if (row.code == nullptr)
    {
        EXPECT_FALSE(reply.Has("<Error")) << reply.sText;
        EXPECT_NE(paths.find("Request 62102 from 62101[AnalogIn]:"), std::string::npos) << paths;
        // The writing channel 1 puts the data at 0x200000 + 1 x 0x10000 + 0x2000 with the
        // register at 0x80 and raises event 4 x 1 + 2; slot 2 relays module events.
        EXPECT_EQ(Peek(0x160014), 0x212000u);
        EXPECT_EQ(Peek(0x160018), 0x210080u);
        EXPECT_EQ(Peek(0x160108), 0x160F000Cu) << std::hex << Peek(0x160108);
        return;
    }
    EXPECT_TRUE(reply.Has(row.code)) << reply.sText;
    EXPECT_TRUE(reply.Has(row.text)) << reply.sText;
    EXPECT_TRUE(reply.Has("WrongParameter")) << reply.sText;
    EXPECT_EQ(paths.find("Request 62102"), std::string::npos) << paths;
}

const char* const kXmlWrong = "Duf data of module on slot 62102 is incorrect";
const char* const kBinaryWrong = "Binary ForDuf data of one module is currupt";
const char* const kUnknownFormat = "File format with module data is unknown";

INSTANTIATE_TEST_SUITE_P(
    Formats, DufTargetModule,
    testing::Values(
        STargetRow{"Xml", ReceiveXml(), nullptr, nullptr},
        STargetRow{"XmlInCapitals", ReceiveXml({}, "<?XML"), nullptr, nullptr},
        STargetRow{"XmlTwoBusMasters", ReceiveXml({{"NumberOfBpbm", "2"}}), "WrongModuleData",
                   kXmlWrong},
        STargetRow{"XmlTwoTransfers", ReceiveXml({{"Bpbm0NumberOfTransfers", "2"}}),
                   "WrongModuleData", kXmlWrong},
        STargetRow{"XmlSourceNotZero", ReceiveXml({{"Bpbm0t0SourceAddress", "4"}}),
                   "WrongModuleData", kXmlWrong},
        STargetRow{"XmlWithoutModuleEvent", ReceiveXml({{"ModuleEvent", ""}}), "WrongModuleData",
                   kXmlWrong},
        STargetRow{"XmlWithoutDestination", ReceiveXml({{"Bpbm0t0DestinationAddress", ""}}),
                   "WrongModuleData", kXmlWrong},
        STargetRow{"Binary", BinaryDescription({SBinaryList{}}), nullptr, nullptr},
        // The lists before it are passed over by their sizes and signal counts.
        STargetRow{"BinaryAfterOtherLists",
                   BinaryDescription({SBinaryList{2, "Other", 3, 0, {}},
                                      SBinaryList{1, "Inputs", 5, 10, {{0x40, {{0, 0, 8}}}}},
                                      SBinaryList{}}),
                   nullptr, nullptr},
        STargetRow{"BinaryOfAnotherTag", BinaryDescription({SBinaryList{}}, 0x102),
                   "UnknownFileFormat", kUnknownFormat},
        STargetRow{"BinaryWithoutTheList",
                   BinaryDescription({SBinaryList{1, "Elsewhere", 0, 22, {{0x80, {{0, 0, 16}}}}}}),
                   "WrongModuleData", kBinaryWrong},
        STargetRow{"BinaryTwoBusMasters",
                   BinaryDescription({SBinaryList{
                       1, "Receive", 0, 22, {{0x80, {{0, 0, 16}}}, {0x90, {{0, 0, 16}}}}}}),
                   "WrongModuleData", kBinaryWrong},
        STargetRow{"BinaryTwoTransfers",
                   BinaryDescription({SBinaryList{
                       1, "Receive", 0, 22, {{0x80, {{0, 0, 16}, {16, 16, 16}}}}}}),
                   "WrongModuleData", kBinaryWrong},
        STargetRow{"BinarySourceNotZero",
                   BinaryDescription({SBinaryList{1, "Receive", 0, 22, {{0x80, {{4, 0, 16}}}}}}),
                   "WrongModuleData", kBinaryWrong},
        STargetRow{"BinaryOfTheLocalModulesKind",
                   BinaryDescription({SBinaryList{2, "Receive", 0, 22, {}}}), "WrongModuleData",
                   kBinaryWrong},
        STargetRow{"BinaryCutShort", BinaryDescription({SBinaryList{}}, 0x101, 6),
                   "WrongModuleData", kBinaryWrong}),
    [](const testing::TestParamInfo<STargetRow>& info) { return std::string(info.param.name); });

// ---- Paths to the local module and from the FPGA unit

TEST_F(DufWithHub, TheLocalModuleAndTheFpgaUnitsOfferedList)
{
    // The local module (slot 0) takes 32 bits from the fiber-optic input at 0x300000.
    Module(0, "qorQM-Local",
           ForDufXml("Outputs", 0x300000, 0x100, 10, {{1, 0, 32, "DINT"}}, "Output"));
    StartDuf();
    const CReply local = Send(RoutingDocument({{"Outputs", 0, {1}}}));
    EXPECT_FALSE(local.Has("<Error")) << local.sText;
    std::string paths = ShowPaths();
    EXPECT_NE(paths.find("Request 62002 to 62100[Outputs]:"), std::string::npos) << paths;
    EXPECT_NE(paths.find("FO: BuffserStart=0x140020; Length=4;"), std::string::npos) << paths;
    // Synchronizer 0, without a start event, copies 4 bytes from the input window to the local
    // module and raises its own done event.
    EXPECT_EQ(Peek(0x110280), 0x87000000u);
    EXPECT_EQ(Peek(0x100080), 0x04010004u);
    EXPECT_EQ(Peek(0x100084), 0x140020u);
    EXPECT_EQ(Peek(0x100088), 0x300000u);
    EXPECT_EQ(Peek(0x10008C), 0x150008u);

    // The FPGA unit offers a list (no partner): accepted, nothing to program for it.
    const std::string offer =
        sXmlStart + "<Module Name=\"DUF\"><Properties>" + Property("Target", "FPGA") +
        "</Properties><Signals Name=\"Result\" " +
        "ModuleSlot=\"65535\"><NumberOfSignals><Value>1</Value>" +
        "</NumberOfSignals><Signal Number=\"7\"><Properties>" + Property("Offset", "32") +
        Property("Length", "32") + "</Properties></Signal></Signals></Module>\n";
    const CReply offered = Send(offer);
    EXPECT_FALSE(offered.Has("<Error")) << offered.sText;
    paths = ShowPaths();
    EXPECT_NE(paths.find("Request 62301 to 65535[Result]:"), std::string::npos) << paths;
    EXPECT_NE(paths.substr(paths.find("[Result]")).find("Dfcm: ChannelMask=0b0&#10;"),
              std::string::npos)
        << paths;

    // The fiber-optic driver takes it (slot 62201 names the FPGA unit): the offered list is
    // used up, and synchronizer 1 copies the unit's output to the fiber-optic output window.
    const CReply taken = Send(RoutingDocument({{"Outputs", 0, {1}}, {"Result", 62201, {7}}}));
    EXPECT_FALSE(taken.Has("<Error")) << taken.sText;
    paths = ShowPaths();
    EXPECT_NE(paths.find("Request 62301 to 65535[Result] is invalid"), std::string::npos) << paths;
    EXPECT_NE(paths.find("Request 62002 from 62301[Result]:"), std::string::npos) << paths;
    EXPECT_EQ(Peek(0x100094), 0x1A0000u);
    EXPECT_EQ(Peek(0x100098), 0x148000u);
    EXPECT_EQ(Peek(0x10009C), 0x15000Cu);
    EXPECT_EQ(Peek(0x150000), 2u);
}

// ---- Module configurations in static fiber-optic mode

// An output module's configuration with the AnalogOut signals given, Enable false.
std::string OutputConfiguration(const std::vector<int>& numbers)
{
    std::string text = sXmlStart + "<Module Name=\"qorQM16xAO-10V\"><Signals Name=\"AnalogOut\">" +
                       "<NumberOfSignals><Value>" + std::to_string(numbers.size()) +
                       "</Value></NumberOfSignals>";
    for (int n : numbers)
        text += "<Signal Number=\"" + std::to_string(n) + "\"><Properties>" +
                Property("Enable", "false") + "</Properties></Signal>";
    return text + "</Signals></Module>\n";
}

std::vector<int> Range(int first, int last)
{
    std::vector<int> numbers;
    for (int n = first; n <= last; ++n)
        numbers.push_back(n);
    return numbers;
}

struct SSwitchRow
{
    const char* name;
    // What the module driver in X3 answers: its configuration (empty: no answer) and its answer
    // to the configuration it is sent (empty: the document itself).
    std::string configuration;
    std::string answer;
    std::vector<std::string> logged;
};

void PrintTo(const SSwitchRow& row, std::ostream* out)
{
    *out << row.name;
}

// A central-module device whose hex switch selects the static mode, with the real fiber-optic
// driver; analog inputs in X2, analog outputs in X3 and X4.
class DufModuleSwitching : public DufWithHub, public testing::WithParamInterface<SSwitchRow>
{
protected:
    DufModuleSwitching() : DufWithHub("1,0,0,0") {}
};

TEST_P(DufModuleSwitching, AFailingModuleDriverStopsTheSwitchUntilTheNextOne)
{
    const SSwitchRow& row = GetParam();
    ASSERT_TRUE(StoreDeviceFile(m_tDevice, kStoredCopy, StaticFoFile("Int64")));
    Module(1, "qorQM16xAI-10V", ForDufXml("AnalogIn", 0x200000, 0x10000, 10, Sixteen(16, "INT")));
    const std::string outputs =
        ForDufXml("AnalogOut", 0x200000, 0x10000, 10, Sixteen(16, "INT"), "Output");
    CFakeModuleDriver& x3 = Module(2, "qorQM16xAO-10V", outputs);
    CFakeModuleDriver& x4 = Module(3, "qorQM16xAO-10V", outputs);
    x4.SetReply("Configuration", OutputConfiguration(Range(0, 15)));
    if (row.configuration.empty())
        x3.SetNoReply("Configuration");
    else
        x3.SetReply("Configuration", row.configuration);
    if (!row.answer.empty())
        x3.SetReply("Module", row.answer);
    CTestProcess fiberOptic(m_tDevice, "fodriver");
    ASSERT_TRUE(fiberOptic.WaitForPort(kFoPort)) << fiberOptic.Output();
    StartDuf();

    ASSERT_TRUE(WaitFor([&] { return Log().find("StaticFO ERROR: ") != std::string::npos; },
                        std::chrono::seconds(30)))
        << Log();
    const std::string log = Log();
    for (const std::string& text : row.logged)
        EXPECT_NE(log.find(text, log.find("StaticFO ERROR: ")), std::string::npos) << text << "\n"
                                                                                   << log;
    // The module in X4 is left as it is.
    EXPECT_EQ(x4.Count("Configuration"), 0);
    EXPECT_EQ(x4.Count("Module"), 0);
    // The fiber-optic driver runs the static frame all the same.
    const std::string foStored = kDriverDir + "Configuration/Config_62002_FiberOptic.xml";
    EXPECT_TRUE(WaitFor(
        [&] {
            return ReadFile(m_tDevice.Path(foStored)).find(Property("Length", "144")) !=
                   std::string::npos;
        },
        std::chrono::seconds(30)))
        << Log();

    // Mended, the module driver in X3 is switched at the next entry into the static mode, and
    // so is the one in X4.
    x3.SetReply("Configuration", OutputConfiguration(Range(0, 15)));
    x3.SetReply("Module", sXmlStart + "<Module Name=\"qorQM16xAO-10V\"/>\n");
    const int sent = x3.Count("Module");
    // Configurations sent to X3 (whatever their root), apart from the pushed user settings.
    const auto configurations = [&]
    {
        int n = 0;
        for (const CHubRequest& r : x3.Requests())
            n += r.sRoot != "SetUserConfig" && r.sRoot != "AddressTable" && r.sRoot != "Ping";
        return n;
    };
    const int before = configurations();
    m_tDevice.Tool("hex", {"1,1,0,0"});
    ASSERT_TRUE(WaitFor([&] { return LogCount("Ending SwitchModuleConfigurations()") == 2; },
                        std::chrono::seconds(30)))
        << Log();
    // Back in normal mode X3 gets its own configuration again, where one came; what came
    // instead of one is never sent to it as its configuration.
    if (row.logged.front() == "WrongConfigFromDriver")
        EXPECT_EQ(configurations(), before);
    else
        EXPECT_GT(x3.Count("Module"), sent);
    m_tDevice.Tool("hex", {"1,0,0,0"});
    ASSERT_TRUE(x4.WaitForRequests("Module", 1, std::chrono::seconds(30))) << Log();
    EXPECT_NE(x4.Requests("Module").back().sDocument.find("\"PowerOn\" Value=\"true\""),
              std::string::npos);
    const std::vector<CHubRequest> x3Sent = x3.Requests("Module");
    ASSERT_GT(x3Sent.size(), static_cast<size_t>(sent));
    EXPECT_NE(x3Sent.back().sDocument.find("\"PowerOn\" Value=\"true\""), std::string::npos)
        << x3Sent.back().sDocument;
}

const std::string kErrorAnswer =
    sXmlStart + "<Module Name=\"qorQM16xAO-10V\"><Errors><Error Type=\"Error\" " +
    "Name=\"WrongValue\" Text=\"Enable is locked\"/></Errors></Module>\n";

INSTANTIATE_TEST_SUITE_P(
    Failures, DufModuleSwitching,
    testing::Values(
        SSwitchRow{"NoConfiguration",
                   "",
                   "",
                   {"WrongConfigFromDriver", "No or wrong config sent from driver"}},
        SSwitchRow{"NoModuleDocument",
                   sXmlStart + "<Configuration/>\n",
                   "",
                   {"WrongConfigFromDriver", "No or wrong config sent from driver"}},
        SSwitchRow{"FewerSignalsThanTheRange",
                   OutputConfiguration(Range(0, 3)),
                   "",
                   {"SignalConfigError", "Error while changing signal configuration"}},
        SSwitchRow{
            "ASignalOfTheRangeMissing", OutputConfiguration(Range(1, 16)), "", {"MissingSignal"}},
        SSwitchRow{
            "ErrorsInTheAnswer",
            OutputConfiguration(Range(0, 15)),
            kErrorAnswer,
            {"ErrorInAnswer", "Driver reported an error in answer to our configuration request"}}),
    [](const testing::TestParamInfo<SSwitchRow>& info) { return std::string(info.param.name); });
} // namespace
} // namespace kovetest
