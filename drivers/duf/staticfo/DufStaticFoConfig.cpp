// The static fiber-optic configuration file: root Module named "StaticFO", Properties elements
// with the configurations, an optional "Selection" naming the one in force ("None": no static
// mode). The reader checks every property, attaches each error to its property and writes the
// refused document as the error file, so the client sees what to mend.
#include <cstdio>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXDuf.h"
#include "QTXReport.h"

const char* const g_aSignalListNames[DUF_SIGNAL_TYPES] = {"", "DigitalIn", "AnalogIn", "DigitalOut",
                                                          "AnalogOut"};
const char* const g_aSignalListShortNames[DUF_SIGNAL_TYPES] = {"", "DI", "AI", "DO", "AO"};

const char* const kStaticFoWorkingCopy = "/tmp/Update/Config_StaticFO.xml";
const char* const kStaticFoErrorFile = "/tmp/Update/Err_Config_StaticFO.xml";
const char* const kStaticFoSignalList = "/tmp/Update/FoSignalList.txt";
const char* const kStaticFoStoredName = "Config_StaticFO.xml";
const char* const kStaticFoFactoryName = "FactoryDefault_StaticFO.xml";

const FoSignalSet aFoSignalSets[DUF_FO_SETS] = {
    {"", "Off or unknown", 0, 0, 0, 0, false},
    {"Int64", "Int 64A + 64D", 50, 1, 128, 64, false},
    {"Int128", "Int 128A + 128D", 100, 2, 256, 128, false},
    {"Int256", "Int 256A + 256D", 200, 4, 512, 256, false},
    {"Int512", "Int 512A + 512D", 400, 8, 1024, 512, false},
    {"Int1024", "Int 1024A + 1024D", 800, 15, 2048, 1024, false},
    {"Real32", "Real 32A + 32D", 50, -1, 128, 32, true},
    {"Real64", "Real 64A + 64D", 100, -2, 256, 64, true},
    {"Real128", "Real 128A + 128D", 200, -4, 512, 128, true},
    {"Real256", "Real 256A + 256D", 400, -8, 1024, 256, true},
    {"Real512", "Real 512A + 512D", 1000, 16, 2048, 512, true},
    {"Int16x8", "Int 16x (8A + 8D)", 100, 1608, 128, 8, false},
    {"Int16x64", "Int 16x (64A + 64D)", 800, 16064, 2048, 64, false},
    {"Real16x32", "Real 16x (32A + 32D)", 1000, -16032, 2048, 32, true},
};

namespace
{
const char kUnit[] = "Duf4Marlott";

const Item_t aFoSignalItems[] = {
    {"Int64", 1},    {"Int128", 2},    {"Int256", 3},     {"Int512", 4},  {"Int1024", 5},
    {"Real32", 6},   {"Real64", 7},    {"Real128", 8},    {"Real256", 9}, {"Real512", 10},
    {"Int16x8", 11}, {"Int16x64", 12}, {"Real16x32", 13}, {nullptr, -1}};

bool WriteText(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && written;
}
} // namespace

bool CDuf::ReadQWConfig4ZTM(const std::string& file, bool clearErrorFile)
{
    QTX_FUNCTION_LOG();
    const std::string errorFile = PlatPath(std::string(kStaticFoErrorFile));
    if (clearErrorFile)
        unlink(errorFile.c_str());
    m_bStaticFoNone = false;

    CQTXXml document;
    try
    {
        if (!document.LoadFile(PlatPath(file).c_str(), "Module"))
            throw CQTXEXmlError("FileMissing", "StaticFO configuration file is missing", kUnit,
                                __LINE__, Error);
        if (!SameString(document.GetRootTagNameAttribute(), "StaticFO"))
            throw CQTXEXmlError("WrongModuleName", "Wrong module name, must be StaticFO", kUnit,
                                __LINE__, Error);
        document.SelectSignalListByName("", "", false);
        document.SelectSignalByNumber(-1, false);

        bool ok = true;
        bool readValues = true;
        if (document.SelectPropertyListByName("Selection") &&
            document.SelectPropertyByName("SelectedConfiguration", false))
        {
            const std::string selected = document.GetStringProperty();
            if (SameString(selected, "None"))
            {
                // No static mode: the file is good, the mode is off.
                WriteToLogfile("Configuration = None --> StaticFO disabled");
                m_bStaticFoNone = true;
                return true;
            }
            if (!document.SelectPropertyListByName(selected.c_str()))
            {
                WriteToLogfile("Configuration not found: " + selected);
                document.SetPropertyError("ConfigNotFound",
                                          "Found no <Properties Name=.../> with the selected name");
                ok = readValues = false;
            }
        }
        else
            document.SelectSignalByNumber(-1, false);

        StaticFoConfig values;
        if (readValues)
        {
            ok = document.ReadListProperty("FO_Signals", &values.FoMode, aFoSignalItems, true, 1,
                                           DUF_FO_SETS - 1, true);
            if (IsSixteenSlotSet(values.FoMode))
                ok = document.ReadIntProperty("FO_Slot", &values.FoSlot, 1, true, 0, 15, false) &&
                     ok;
            // The offsets must lie inside the set; an unknown set has no limits to check.
            const bool known = values.FoMode >= 1 && values.FoMode < DUF_FO_SETS;
            const int32_t last = FoSet(values.FoMode).iCount - 1;
            for (auto [name, value] :
                 {std::pair<const char*, int32_t*>{"FO_IN_AO_Offset", &values.InAoOffset},
                  {"FO_IN_DO_Offset", &values.InDoOffset},
                  {"FO_OUT_AI_Offset", &values.OutAiOffset},
                  {"FO_OUT_DI_Offset", &values.OutDiOffset}})
                ok = document.ReadIntProperty(name, value, 1, known, 0, last, false) && ok;
            if (document.SelectPropertyByName("Debounce_Delay_Time_32xDI_16xDIO", false))
                ok = document.ReadIntProperty("Debounce_Delay_Time_32xDI_16xDIO",
                                              &values.DebounceTime, 1, true, 0, 65535, false) &&
                     ok;
            uint32_t flags = 0;
            ok = document.ReadBooleanProperty("Use_qorKOVE-Z-TM_DI", &flags, 0) && ok;
            ok = document.ReadBooleanProperty("Use_Output_StatusSignals", &flags, 1) && ok;
            ok = document.ReadBooleanProperty("Use_Output_ControlSignals", &flags, 2) && ok;
            ok = document.ReadBooleanProperty("QW_Compatibility", &flags, 3) && ok;
            values.UseZtmDi = (flags & 1u) != 0;
            values.UseStatusSignals = (flags & 2u) != 0;
            values.UseControlSignals = (flags & 4u) != 0;
            values.Compatibility = (flags & 8u) != 0;
        }
        if (ok)
        {
            m_tStaticFo = values;
            return true;
        }
        if (!document.StoreFile(errorFile.c_str(), false))
            WriteToLogfile("The error file " + errorFile + " cannot be written");
        return false;
    }
    catch (CQTXError& error)
    {
        WriteToLogfile(
            "ERROR while reading StaticFO configuration file (resetting to factory default): " +
            error.ToString());
        WriteText(errorFile, "FATAL ERROR in StaticFO configuration: " + error.ToString());
        return false;
    }
}
