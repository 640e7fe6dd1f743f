// The static fiber-optic mode inside the test process: its configuration file and error file,
// the layout of the module slots in the fiber-optic frame, and the signal list.
#include "DufTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>

#include "KovePlatform.h"

namespace
{
std::string Prop(const std::string& name, const std::string& value)
{
    return "<Property Name=\"" + name + "\" Value=\"" + value + "\"/>";
}

// The properties of one configuration; each entry of `drop` is left out, `extra` is added.
std::string Configuration(const std::string& name, const std::string& signals,
                          const std::vector<std::string>& drop = {}, const std::string& extra = "")
{
    const std::vector<std::pair<std::string, std::string>> all = {
        {"FO_Signals", signals},
        {"FO_IN_AO_Offset", "0"},
        {"FO_IN_DO_Offset", "0"},
        {"FO_OUT_AI_Offset", "0"},
        {"FO_OUT_DI_Offset", "0"},
        {"Use_qorKOVE-Z-TM_DI", "false"},
        {"Use_Output_StatusSignals", "false"},
        {"Use_Output_ControlSignals", "false"},
        {"QW_Compatibility", "false"}};
    std::string text = "<Properties Name=\"" + name + "\">";
    for (const auto& [property, value] : all)
        if (std::find(drop.begin(), drop.end(), property) == drop.end())
            text += Prop(property, value);
    return text + extra + "</Properties>";
}

std::string StaticFoFile(const std::string& body, const std::string& rootName = "StaticFO")
{
    return sXmlStart + "<Module Name=\"" + rootName + "\">" + body + "</Module>\n";
}

class DufStaticFo : public DufUnit
{
protected:
    void SetUp() override
    {
        DufUnit::SetUp();
        std::filesystem::create_directories(PlatPath(std::string("/tmp/Update")));
    }
    // Writes the working copy and reads it.
    bool Read(const std::string& text)
    {
        WriteFile(kStaticFoWorkingCopy, text);
        return Duf().ReadQWConfig4ZTM(kStaticFoWorkingCopy, true);
    }
    static void WriteFile(const std::string& devicePath, const std::string& text)
    {
        FILE* f = fopen(PlatPath(devicePath).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    static std::string ErrorFile()
    {
        return kovetest::ReadFile(PlatPath(std::string(kStaticFoErrorFile)));
    }
};

TEST_F(DufStaticFo, AcceptedFilesFillTheValues)
{
    struct Case
    {
        const char* what;
        std::string file;
        int mode;
        int slot;
        int debounce;
    };
    const std::vector<Case> cases = {
        {"lower-case set and root name", StaticFoFile(Configuration("A", "real64"), "staticfo"), 7,
         0, 0},
        {"slot not read outside the 16-slot sets",
         StaticFoFile(Configuration("A", "Int64", {}, Prop("FO_Slot", "16"))), 1, 0, 0},
        {"slot of a 16-slot set",
         StaticFoFile(Configuration("A", "Int16x64", {}, Prop("FO_Slot", "15"))), 12, 15, 0},
        {"without selection the first element",
         StaticFoFile(Configuration("First", "Int128") + Configuration("Second", "Int256")), 2, 0,
         0},
        {"selection of the second element, name in other case",
         StaticFoFile(
             "<Properties Name=\"Selection\">" + Prop("SelectedConfiguration", "SECOND") +
             "</Properties>" + Configuration("First", "Int128") +
             Configuration("Second", "Int256", {}, Prop("Debounce_Delay_Time_32xDI_16xDIO", "20"))),
         3, 0, 20},
    };
    for (const Case& c : cases)
    {
        ASSERT_TRUE(Read(c.file)) << c.what << "\n" << ErrorFile();
        EXPECT_FALSE(Duf().StaticFoNone()) << c.what;
        EXPECT_EQ(Duf().StaticFoValues().FoMode, c.mode) << c.what;
        EXPECT_EQ(Duf().StaticFoValues().FoSlot, c.slot) << c.what;
        EXPECT_EQ(Duf().StaticFoValues().DebounceTime, c.debounce) << c.what;
        EXPECT_EQ(access(PlatPath(std::string(kStaticFoErrorFile)).c_str(), F_OK), -1) << c.what;
    }

    ASSERT_TRUE(Read(StaticFoFile(Configuration(
        "A", "Int64", {"Use_Output_StatusSignals", "QW_Compatibility"},
        Prop("Use_Output_StatusSignals", "true") + Prop("QW_Compatibility", "TRUE")))));
    EXPECT_TRUE(Duf().StaticFoValues().UseStatusSignals);
    EXPECT_TRUE(Duf().StaticFoValues().Compatibility);
    EXPECT_FALSE(Duf().StaticFoValues().UseControlSignals);
}

TEST_F(DufStaticFo, RefusedFilesWriteTheErrorFileAndKeepTheValues)
{
    ASSERT_TRUE(Read(StaticFoFile(Configuration("A", "Int256"))));
    struct Case
    {
        const char* what;
        std::string file;
        std::vector<std::string> expected; // texts the error file holds
    };
    const std::vector<Case> cases = {
        {"missing properties",
         StaticFoFile(
             Configuration("A", "Int64", {"FO_OUT_DI_Offset", "Use_Output_ControlSignals"})),
         {"<Property Name=\"FO_OUT_DI_Offset\"", "<Property Name=\"Use_Output_ControlSignals\"",
          "MissingProperty"}},
        {"slot beyond 15",
         StaticFoFile(Configuration("A", "Int16x8", {}, Prop("FO_Slot", "16"))),
         {"FO_Slot", "WrongValue"}},
        {"unknown set", StaticFoFile(Configuration("A", "Int48")), {"WrongValue"}},
        {"not a boolean",
         StaticFoFile(
             Configuration("A", "Int64", {"QW_Compatibility"}, Prop("QW_Compatibility", "yes"))),
         {"WrongValue"}},
        // Offsets beyond the set and a negative one would put blocks outside their area.
        {"analog offset beyond the set",
         StaticFoFile(
             Configuration("A", "Int64", {"FO_OUT_AI_Offset"}, Prop("FO_OUT_AI_Offset", "64"))),
         {"FO_OUT_AI_Offset", "WrongValue"}},
        {"negative digital offset",
         StaticFoFile(
             Configuration("A", "Int64", {"FO_IN_DO_Offset"}, Prop("FO_IN_DO_Offset", "-32"))),
         {"WrongValue"}},
        {"debounce beyond 65535",
         StaticFoFile(
             Configuration("A", "Int64", {}, Prop("Debounce_Delay_Time_32xDI_16xDIO", "65536"))),
         {"WrongValue"}},
        {"selected configuration missing",
         StaticFoFile("<Properties Name=\"Selection\">" + Prop("SelectedConfiguration", "B") +
                      "</Properties>" + Configuration("A", "Int64")),
         {"ConfigNotFound"}},
        {"wrong root name",
         StaticFoFile(Configuration("A", "Int64"), "FiberOptic"),
         {"FATAL ERROR in StaticFO configuration: ", "WrongModuleName"}},
        {"no document", "<Module", {"FATAL ERROR in StaticFO configuration: ", "FileMissing"}},
        {"no properties", StaticFoFile(""), {"FATAL ERROR in StaticFO configuration: "}},
    };
    for (const Case& c : cases)
    {
        EXPECT_FALSE(Read(c.file)) << c.what;
        const std::string errors = ErrorFile();
        for (const std::string& text : c.expected)
            EXPECT_NE(errors.find(text), std::string::npos) << c.what << "\n" << errors;
        EXPECT_EQ(Duf().StaticFoValues().FoMode, 3) << c.what;
    }
}

TEST_F(DufStaticFo, SelectionNoneIsAcceptedWithTheModeOff)
{
    EXPECT_TRUE(Read(StaticFoFile("<Properties Name=\"Selection\">" +
                                  Prop("SelectedConfiguration", "none") + "</Properties>" +
                                  Configuration("A", "Int64"))));
    EXPECT_TRUE(Duf().StaticFoNone());
    EXPECT_EQ(access(PlatPath(std::string(kStaticFoErrorFile)).c_str(), F_OK), -1);
}
} // namespace

namespace
{
constexpr int32_t kOut = 0x148000;
constexpr int kAi16 = 11; // 16 analog inputs, 32 bytes
constexpr int kAi4 = 17;  // 4 analog inputs, 8 bytes
constexpr int kAi8 = 16;  // 8 analog inputs, 16 bytes
constexpr int kDi16 = 23; // 16 digital inputs, 4 bytes
constexpr int kDi32 = 25; // 32 digital inputs, 4 bytes
constexpr int kDo32 = 27; // 32 digital outputs

class DufStaticLayout : public DufStaticFo
{
protected:
    // Starting: the layout sends nothing to a fiber-optic driver.
    void SetUp() override
    {
        DufStaticFo::SetUp();
        Duf().SetBooting(true);
    }
    // Reads a configuration of the set with the extra properties replacing the defaults, puts
    // the modules into slots X1..X5 and lays them out in static mode.
    void Layout(const std::string& signals, const std::vector<int>& modules,
                const std::vector<std::pair<std::string, std::string>>& extra = {})
    {
        std::vector<std::string> drop;
        std::string added;
        for (const auto& [name, value] : extra)
        {
            drop.push_back(name);
            added += Prop(name, value);
        }
        ASSERT_TRUE(Read(StaticFoFile(Configuration("A", signals, drop, added)))) << ErrorFile();
        Duf().SetStaticFo(1, 0);
        for (size_t slot = 0; slot < modules.size(); ++slot)
            Duf().SetSlotModule(static_cast<int>(slot), modules[slot]);
        ASSERT_TRUE(Duf().ConfigForZTM());
    }
    DufRequest* Request(int slot, const std::string& name)
    {
        return Duf().Requests().FindFirstDufRequest(62002, static_cast<uint16_t>(62100 + slot),
                                                    name);
    }
    std::vector<int> Numbers(int slot, const std::string& name)
    {
        std::vector<int> numbers;
        if (DufRequest* r = Request(slot, name))
            for (const DufSignal& s : r->Signals)
                numbers.push_back(s.Number);
        return numbers;
    }
};

std::vector<int> Range(int first, int last)
{
    std::vector<int> v;
    for (int i = first; i <= last; ++i)
        v.push_back(i);
    return v;
}

TEST_F(DufStaticLayout, BlocksFollowEachOtherInTheirAreas)
{
    struct Case
    {
        const char* what;
        std::string signals;
        std::vector<int> modules;
        std::vector<std::pair<std::string, std::string>> extra;
        std::vector<std::tuple<int, int, int32_t>> starts; // slot, type, bus address
    };
    const std::vector<Case> cases = {
        {"analog and digital inputs",
         "Int64",
         {0, kAi16, kDi32},
         {},
         {{1, kAnalogIn, kOut}, {2, kDigitalIn, kOut + 128}}},
        {"analog offset in values, digital offset in words of 32",
         "Int64",
         {kDi16, kAi16, 0},
         {{"FO_OUT_AI_Offset", "3"}, {"FO_OUT_DI_Offset", "63"}},
         {{1, kAnalogIn, kOut + 4}, {0, kDigitalIn, kOut + 128 + 4}}},
        {"compatibility layout puts digital blocks after X1 into the analog area",
         "Int64",
         {kDi16, kAi16, kDi16},
         {{"QW_Compatibility", "true"}},
         {{0, kDigitalIn, kOut + 128}, {1, kAnalogIn, kOut}, {2, kDigitalIn, kOut + 32}}},
        {"status signals of a digital output module",
         "Int64",
         {kDo32},
         {{"Use_Output_StatusSignals", "true"}},
         {{0, kDigitalIn, kOut + 128}, {0, kDigitalOut, 0x140020 + 128}}},
        {"16-slot set: this device's block",
         "Int16x64",
         {kAi16},
         {{"FO_Slot", "2"}},
         {{0, kAnalogIn, kOut + 256}}},
        {"real set: offsets count 4-byte values",
         "Real64",
         {0, kAi16},
         {{"FO_OUT_AI_Offset", "5"}},
         {{1, kAnalogIn, kOut + 20}}},
    };
    for (const Case& c : cases)
    {
        Duf().Requests().RemoveDufRequest(0, 0, "");
        Layout(c.signals, c.modules, c.extra);
        for (const auto& [slot, type, start] : c.starts)
        {
            EXPECT_EQ(Duf().FoStartOf(slot, type), start)
                << c.what << " X" << slot + 1 << " " << type;
            const SignalRange& range = Duf().SlotSignals(slot).Range[type];
            EXPECT_EQ(Numbers(slot, g_aSignalListNames[type]),
                      Range(range.FirstSignal, range.LastSignal))
                << c.what;
        }
    }
    Layout("Int64", {kDo32}, {{"Use_Output_StatusSignals", "true"}});
    EXPECT_EQ(Duf().SlotSignals(0).Range[kDigitalIn].LastSignal, 47);
    EXPECT_EQ(Duf().SlotSignals(0).Range[kDigitalIn].ByteLength, 8);
}

TEST_F(DufStaticLayout, BlocksBeyondTheAreaAreLeftOut)
{
    // Four 32-byte blocks fill the 128 bytes of the set exactly; the fifth does not fit.
    Layout("Int64", {kAi16, kAi16, kAi16, kAi16, kAi16});
    EXPECT_EQ(Duf().FoStartOf(3, kAnalogIn), kOut + 96);
    EXPECT_EQ(Duf().FoStartOf(4, kAnalogIn), -1);
    EXPECT_EQ(Duf().SlotSignals(4).Range[kAnalogIn].ByteLength, 0);
    EXPECT_EQ(Request(4, "AnalogIn"), nullptr);
    EXPECT_NE(Duf().LogText().find("Warning: StaticFO for Module X5 signal type AnalogIn is not "
                                   "used because it does not fit into FO signal range"),
              std::string::npos);

    // A 16-slot set's block ends this device's area even behind an offset: 16 bytes per
    // block, 8 of them behind the offset of 4 values.
    Duf().Requests().RemoveDufRequest(0, 0, "");
    Layout("Int16x8", {kAi4, kAi8}, {{"FO_Slot", "1"}, {"FO_OUT_AI_Offset", "4"}});
    EXPECT_EQ(Duf().FoStartOf(0, kAnalogIn), kOut + 16 + 8);
    EXPECT_EQ(Duf().SlotSignals(1).Range[kAnalogIn].ByteLength, 0);
}

TEST_F(DufStaticLayout, ClientSignalsKeepTheirDataAndTheRangeIsFilled)
{
    DufRequest client = MakeRequest(62102, "AnalogIn", {});
    CDufRequestList::AddSignal(&client, 3, 16, 48, "INT");
    CDufRequestList::AddSignal(&client, 7, 16, 112, "INT");
    CDufRequestList::AddSignal(&client, 20, 16, 320, "INT");
    Duf().Requests().AddDufRequest(client);
    Layout("Int64", {0, 0, kAi16});
    std::vector<int> expected = Range(0, 15);
    expected.push_back(20);
    EXPECT_EQ(Numbers(2, "AnalogIn"), expected);
    DufRequest* r = Request(2, "AnalogIn");
    ASSERT_NE(r, nullptr);
    for (const DufSignal& s : r->Signals)
    {
        const bool own = s.Number == 3 || s.Number == 7 || s.Number == 20;
        EXPECT_EQ(s.Type, own ? "INT" : "") << s.Number;
        EXPECT_EQ(s.Offset, own ? s.Number * 16 : 0) << s.Number;
        EXPECT_EQ(s.StaticEnable, 1) << s.Number;
        EXPECT_EQ(s.Enable, 1) << s.Number;
    }

    // Normal mode: the signals the client did not ask for stay disabled.
    Duf().SetStaticFo(1, 5);
    ASSERT_TRUE(Duf().ConfigForZTM());
    for (const DufSignal& s : Request(2, "AnalogIn")->Signals)
        EXPECT_EQ(s.Enable, s.Number == 3 || s.Number == 7 || s.Number == 20) << s.Number;
}

TEST_F(DufStaticLayout, FramePositionsOfTheRequests)
{
    Layout("Int64", {0, kAi16});
    DufRequest placed = *Request(1, "AnalogIn");
    DufRequest unplaced = MakeRequest(62103, "AnalogIn", {1});
    DufRequest unknownName = MakeRequest(62101, "Counter", {1});
    DufRequest other = MakeRequest(62101, "AnalogIn", {1}, 62201);
    for (DufRequest* r : {&placed, &unplaced, &unknownName, &other})
        Duf().UpdateRequest4FoPosition(*r);
    EXPECT_EQ(placed.FoStart, static_cast<uint32_t>(kOut));
    EXPECT_EQ(placed.Valid, 1);
    EXPECT_EQ(unplaced.Valid, 0);
    EXPECT_EQ(unknownName.Valid, 0);
    EXPECT_EQ(other.Valid, 1);
    EXPECT_EQ(other.FoStart, 0u);

    Duf().SetStaticFo(1, 3);
    placed.FoStart = 5;
    Duf().UpdateRequest4FoPosition(placed);
    EXPECT_EQ(placed.FoStart, 0u);
}

TEST_F(DufStaticLayout, SignalListTellsNamesAndPlaces)
{
    Layout("Int64", {kDi16, kAi16, kDi16}, {{"QW_Compatibility", "true"}});
    Request(1, "AnalogIn")->Signals[5].Offset = 80;
    Request(1, "AnalogIn")->Signals[5].Length = 16;
    Request(1, "AnalogIn")->Signals[5].Type = "INT";
    Request(0, "DigitalIn")->Signals[3].Offset = 3;
    for (DufRequest& r : Duf().Requests().Records())
        Duf().UpdateRequest4FoPosition(r);
    const std::string list = PlatPath(std::string(kStaticFoSignalList));
    unlink(list.c_str());
    ASSERT_TRUE(Duf().WriteQwSignalList());
    const std::string text = kovetest::ReadFile(list);
    for (const char* line :
         {"****************************\n*** Fiber optic settings ***\n"
          "****************************\nMode: 32 Mbit Int 64A + 64D, Period: 50 us\n\n\n",
          "\n                                X2_AI05| 16|    INT|    A5|0 Bytes|       0x4A|\n",
          "\n                                X1_DI03|  1|         D3|   0xC0|  3|\n",
          // X3's digital block lies in the analog area, behind X2's 32 bytes.
          "\n                                X3_DI00|  1|       --->|   0x60|  0|\n",
          "*** Fiber optic input, list of analog signals (called AO in the modules) ***\n"
          "                                 Signal|Len|   Type|Fiber optic   |VRA setting|\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    // Written once per layout; not at all in normal mode.
    EXPECT_FALSE(Duf().WriteQwSignalList());
    unlink(list.c_str());
    Duf().SetStaticFo(1, 1);
    EXPECT_FALSE(Duf().WriteQwSignalList());
    EXPECT_EQ(access(list.c_str(), F_OK), -1);

    Duf().SetStaticFo(1, 0);
    Layout("Real16x32", {}, {{"FO_Slot", "1"}});
    ASSERT_TRUE(Duf().WriteQwSignalList());
    EXPECT_NE(kovetest::ReadFile(list).find("Mode: 32 Mbit Real 16x (32A + 32D), Period: 1000 us, "
                                            "slot: 1\n"),
              std::string::npos);
}
} // namespace

namespace
{
TEST_F(DufStaticFo, FixedFiberOpticConfiguration)
{
    struct Case
    {
        std::string signals;
        std::string slot;
        std::vector<std::string> values; // OutputFrames, OutputPeriod, Slot, Length
    };
    // Without a fiber-optic slot a 16-slot set goes out as the plain set of its size.
    const std::vector<Case> cases = {
        {"Int16x64", "0", {"15", "800", "0", "2304"}},
        {"Int16x64", "3", {"16064", "800", "3", "2304"}},
        {"Real16x32", "0", {"16", "1000", "0", "2880"}},
        {"Real64", "", {"-2", "100", "0", "288"}},
    };
    for (const Case& c : cases)
    {
        ASSERT_TRUE(Read(StaticFoFile(
            Configuration("A", c.signals, {}, c.slot.empty() ? "" : Prop("FO_Slot", c.slot)))));
        const std::string document = Duf().FiberOpticDocument();
        const char* names[] = {"OutputFrames", "OutputPeriod", "Slot", "Length"};
        for (size_t i = 0; i < 4; ++i)
            EXPECT_NE(document.find(Prop(names[i], c.values[i])), std::string::npos)
                << c.signals << " " << names[i] << "\n"
                << document;
        EXPECT_NE(document.find(Prop("InputFrames", c.values[0])), std::string::npos);
    }
    CQTXXml parsed;
    const std::string document = Duf().FiberOpticDocument();
    EXPECT_TRUE(parsed.LoadBuffer(document.data(), document.size(), 257)) << document;
}
} // namespace

namespace
{
// Bus-module device: the frame is the first real set whose period covers the fiber-optic
// driver's stored output period, the largest without one.
TEST_F(DufStaticFo, BusModuleFrameFollowsTheStoredOutputPeriod)
{
    const std::string stored = PlatPath(
        std::string("/Applications/tmp/Driver/Configuration/Config_62002_FiberOptic_1.xml"));
    std::filesystem::create_directories(stored.substr(0, stored.rfind('/')));
    const std::vector<std::pair<std::string, int>> cases = {
        {"100", 7}, {"101", 8}, {"400", 9}, {"1000", 10}, {"1001", 10}, {"9", 10}, {"", 10}};
    for (const auto& [period, set] : cases)
    {
        if (period.empty())
            unlink(stored.c_str());
        else
            WriteFile("/Applications/tmp/Driver/Configuration/Config_62002_FiberOptic_1.xml",
                      sXmlStart + "<Module Name=\"FiberOptic\"><Properties>" +
                          Prop("OutputPeriod", period) + "</Properties></Module>\n");
        Duf().SelectBusModuleFrame();
        EXPECT_EQ(Duf().StaticFoValues().FoMode, set) << period;
        EXPECT_EQ(Duf().FoStartOf(1, kAnalogIn), 0x148000) << period;
        EXPECT_EQ(Duf().FoStartOf(1, kDigitalIn), 0x148000 + FoSet(set).iBytes) << period;
    }
}
} // namespace

#include "FakeModuleDriver.h"

namespace
{
// A module configuration with `count` signals in the list.
std::string ModuleConfiguration(const std::string& list, int count)
{
    std::string text = sXmlStart + "<Module Name=\"m\"><Signals Name=\"" + list +
                       "\"><NumberOfSignals><Value>" + std::to_string(count) +
                       "</Value></NumberOfSignals>";
    for (int n = 0; n < count; ++n)
        text += "<Signal Number=\"" + std::to_string(n) + "\"><Properties>" +
                Prop("Enable", "false") + "</Properties></Signal>";
    return text + "</Signals></Module>\n";
}

int Occurrences(const std::string& text, const std::string& what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST_F(DufStaticLayout, ModuleConfigurationsSwitchedAndKept)
{
    kovetest::CFakeModuleDriver outputs(3);
    kovetest::CFakeModuleDriver inputs(4);
    ASSERT_TRUE(outputs.Start());
    ASSERT_TRUE(inputs.Start());
    outputs.SetReply("Configuration", ModuleConfiguration("DigitalOut", 40));
    inputs.SetReply("Configuration", ModuleConfiguration("DigitalIn", 32));
    // The digital inputs are not on the fiber optic (no room), their debounce is set anyway.
    Layout("Int64", {kDi16, kDi16, 0, kDo32, kDi32}, {{"Debounce_Delay_Time_32xDI_16xDIO", "20"}});
    ASSERT_EQ(Duf().SlotSignals(4).Range[kDigitalIn].ByteLength, 0);

    ASSERT_TRUE(Duf().SwitchModuleConfigurations(true)) << Duf().LogText();
    ASSERT_EQ(outputs.Count("Module"), 1);
    const std::string sent = outputs.Requests("Module").front().sDocument;
    EXPECT_EQ(Occurrences(sent, Prop("Enable", "true")), 32) << sent;
    EXPECT_EQ(Occurrences(sent, Prop("AutoResetSupplyError", "true")), 8) << sent;
    ASSERT_EQ(inputs.Count("Module"), 1);
    const std::string debounce = inputs.Requests("Module").front().sDocument;
    EXPECT_EQ(Occurrences(debounce, Prop("Debouncing", "4")), 32) << debounce;
    EXPECT_EQ(Occurrences(debounce, Prop("Duration", "20")), 32) << debounce;

    // Entering again sends nothing; leaving sends the kept configuration back, once.
    EXPECT_TRUE(Duf().SwitchModuleConfigurations(true));
    EXPECT_EQ(outputs.Count("Module") + inputs.Count("Module"), 2);
    EXPECT_TRUE(Duf().SwitchModuleConfigurations(false));
    ASSERT_EQ(outputs.Count("Module"), 2);
    EXPECT_EQ(outputs.Requests("Module").back().sDocument.find("true"), std::string::npos);
    EXPECT_EQ(inputs.Count("Module"), 1);

    // A module whose configuration lacks signals of the range: the switch fails.
    outputs.SetReply("Configuration", ModuleConfiguration("DigitalOut", 20));
    EXPECT_FALSE(Duf().SwitchModuleConfigurations(true));
    EXPECT_EQ(outputs.Count("Module"), 2);
    EXPECT_NE(Duf().LogText().find("StaticFO ERROR: "), std::string::npos);
}
} // namespace

namespace
{
// The module's normal configuration kept by an earlier switch is replaced only by one that the
// module driver sent and that loads as a module's configuration; a failed request of any kind
// leaves it, so that the way back to normal mode still has it.
TEST_F(DufStaticLayout, KeptModuleConfigurationIsReplacedOnlyByAValidOne)
{
    // Not started before the cases that have it answer.
    kovetest::CFakeModuleDriver outputs(3);
    const std::string flex = Duf().Directory() + "Cfg_62103_Flex.xml";
    const std::string kept = ModuleConfiguration("DigitalOut", 40);
    const std::string fresh = ModuleConfiguration("DigitalOut", 48);
    const struct
    {
        const char* what;
        const char* reply; // nullptr: no module driver
        bool replaced;
    } cases[] = {
        {"no module driver", nullptr, false},
        {"not XML", "no configuration\n", false},
        {"malformed", "<Module Name=\"m\"><Signals Name=\"DigitalOut\"></Module>\n", false},
        {"an error",
         "<Configuration><Errors><Error Type=\"GeneralError\" Name=\"NoXml\" Text=\"x\"/>"
         "</Errors></Configuration>\n",
         false},
        {"another document", "<Diagnostic/>\n", false},
        {"the module's configuration", "", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        // A driver that starts anew: its first switch into static mode fetches the module's
        // configuration.
        m_pDuf = std::make_unique<CTestDuf>(m_tDevice.Path() + "/Applications/tmp/Driver");
        Duf().SetUnits(true, true, false);
        Duf().SetBooting(true);
        Layout("Int64", {kDi16, kDi16, 0, kDo32});
        std::ofstream(flex, std::ios::binary) << kept;
        if (c.reply != nullptr)
        {
            ASSERT_TRUE(outputs.Start());
            outputs.SetReply("Configuration", *c.reply == '\0' ? fresh : sXmlStart + c.reply);
        }
        EXPECT_EQ(Duf().SwitchModuleConfigurations(true), c.replaced) << Duf().LogText();
        const std::string now = kovetest::ReadFile(flex);
        if (c.replaced)
        {
            EXPECT_NE(now.find("<Value>48</Value>"), std::string::npos) << now;
        }
        else
        {
            EXPECT_EQ(now, kept);
        }
        // The received file goes in every case.
        for (const auto& entry : std::filesystem::directory_iterator(Duf().Directory()))
            EXPECT_NE(entry.path().filename().string().rfind("..", 0), 0u) << entry.path();
    }
}
} // namespace
