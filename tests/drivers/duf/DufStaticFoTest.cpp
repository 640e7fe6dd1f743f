// The static fiber-optic mode inside the test process: its configuration file and error file,
// the layout of the module slots in the fiber-optic frame, and the signal list.
#include "DufTestSupport.h"

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
                          const std::vector<std::string>& drop = {},
                          const std::string& extra = "")
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
        RunCommand({"mkdir", "-p", PlatPath(std::string("/tmp/Update"))});
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
    static std::string ErrorFile() { return kovetest::ReadFile(PlatPath(std::string(kStaticFoErrorFile))); }
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
         StaticFoFile("<Properties Name=\"Selection\">" + Prop("SelectedConfiguration", "SECOND") +
                      "</Properties>" + Configuration("First", "Int128") +
                      Configuration("Second", "Int256", {},
                                    Prop("Debounce_Delay_Time_32xDI_16xDIO", "20"))),
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
         StaticFoFile(Configuration("A", "Int64", {"FO_OUT_DI_Offset", "Use_Output_ControlSignals"})),
         {"<Property Name=\"FO_OUT_DI_Offset\"", "<Property Name=\"Use_Output_ControlSignals\"",
          "MissingProperty"}},
        {"slot beyond 15", StaticFoFile(Configuration("A", "Int16x8", {}, Prop("FO_Slot", "16"))),
         {"FO_Slot", "WrongValue"}},
        {"unknown set", StaticFoFile(Configuration("A", "Int48")), {"WrongValue"}},
        {"not a boolean",
         StaticFoFile(Configuration("A", "Int64", {"QW_Compatibility"},
                                    Prop("QW_Compatibility", "yes"))),
         {"WrongValue"}},
        // Offsets beyond the set and a negative one would put blocks outside their area.
        {"analog offset beyond the set",
         StaticFoFile(Configuration("A", "Int64", {"FO_OUT_AI_Offset"},
                                    Prop("FO_OUT_AI_Offset", "64"))),
         {"FO_OUT_AI_Offset", "WrongValue"}},
        {"negative digital offset",
         StaticFoFile(Configuration("A", "Int64", {"FO_IN_DO_Offset"},
                                    Prop("FO_IN_DO_Offset", "-32"))),
         {"WrongValue"}},
        {"debounce beyond 65535",
         StaticFoFile(Configuration("A", "Int64", {},
                                    Prop("Debounce_Delay_Time_32xDI_16xDIO", "65536"))),
         {"WrongValue"}},
        {"selected configuration missing",
         StaticFoFile("<Properties Name=\"Selection\">" + Prop("SelectedConfiguration", "B") +
                      "</Properties>" + Configuration("A", "Int64")),
         {"ConfigNotFound"}},
        {"wrong root name", StaticFoFile(Configuration("A", "Int64"), "FiberOptic"),
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
