// The protocol table of the fiber-optic unit and the FiberOptic configuration document: its
// properties, the checks with their error texts, and the module-lock rules.
#include "FoProtocols.h"

#include <cstdlib>
#include <cstring>

#include "QTXError.h"
#include "QTXXml.h"

const FoProtocol_t aFoProtocols[FO_PROTOCOL_ROWS] = {
    {"Off", 0x40, 1024, 0, 0, 0, 0, 0},
    {"3.3", 0x11, 256, 0, 1000, 272, 3, 0},
    {"KOVE8", 0x91, 256, 0, 1000, 34, 3, 0},
    {"3.3INTPass", 0x91, 256, 0, 1000, -1, 3, 0},
    {"3.3RealPass", 0xD1, 256, 0, 1000, -1, 3, 0},
    {"e05", 0x531, 768, 0x8005, 50, 144, 32, 1},
    {"e06", 0x10631, 768, 0x8106, 100, 288, 32, 2},
    {"e07", 0x30731, 768, 0x8307, 200, 576, 32, 4},
    {"e08", 0x70831, 768, 0x8708, 400, 1152, 32, 8},
    {"e08_500us", 0x70831, 768, 0x8708, 500, 1152, 32, 8},
    {"e09", 0xF0931, 768, 0x8F09, 800, 2304, 32, 15},
    {"e14", 0x1431, 768, 0x8014, 50, 144, 32, -1},
    {"e15", 0x11531, 768, 0x8115, 100, 288, 32, -2},
    {"e16", 0x31631, 768, 0x8316, 200, 576, 32, -4},
    {"e17", 0x71731, 768, 0x8717, 400, 1152, 32, -8},
    {"e18", 0xF1831, 768, 0x8F18, 800, 2304, 32, -16},
    {"ABB", 0xFAB31, 768, 0x8FAB, 1000, 2304, 32, 16},
    {"e30", 0x133031, 768, 0x9330, 1000, 2880, 32, 20},
    {"e38", 0x1B3831, 768, 0x9B38, 1400, 4032, 32, 28},
    {"Flex", 0x2000BC, 2816, 0, 10, -1, 32, 0},
    {"Ring06", 0x106F1, 768, 0x8106, 100, 288, 32, 2},
    {"Ring09", 0xF09F1, 768, 0x8F09, 800, 2304, 32, 15},
    {"RingAB", 0xFABF1, 768, 0x8FAB, 1000, 2304, 32, 16},
};

const int32_t MasterDefaultFlexFrame[FO_SLOTS] = {214, 192, 192, 192, 192, 192, 192, 192,
                                                  192, 192, 192, 192, 192, 192, 192, 192};

const Item_t aFoSpeedItems[] = {{"32", 32}, {"3.3", 3}, {"0", 0}, {nullptr, -1}};

namespace
{
// The frames values of the document and the rows they name.
const struct
{
    int32_t iFrames;
    int iRow;
} kFramesTable[] = {
    {1, 5},   {2, 6},   {4, 7},   {8, 8},    {15, 10},   {16, 16},    {0, 19},      {-1, 11},
    {-2, 12}, {-4, 13}, {-8, 14}, {-16, 15}, {1608, 20}, {16064, 21}, {-16032, 22},
};

const FoProtocol_t* Row(int row)
{
    return static_cast<unsigned>(row) < FO_PROTOCOL_ROWS ? &aFoProtocols[row] : nullptr;
}

const char* const kSourceUnit = "QTXFiberOptic";

// Selects the root's own property list (created when missing).
void SelectRootProperties(CQTXXml& document)
{
    document.SelectSignalListByName("", "", true);
    document.SelectSignalByNumber(-1, true);
}

// Selects a property that must be there; a missing one is created with the MissingProperty
// finding. False when it was missing.
bool SelectRequired(CQTXXml& document, const char* name, const std::string& missingText)
{
    if (document.SelectPropertyByName(name, true))
        return true;
    document.SetPropertyError("MissingProperty", missingText);
    return false;
}

// An integer as the framework reads it (StringToInt), refused when the text holds no number at
// all: the values whose texts the checks name exactly.
bool ReadIntegerText(const std::string& text, int32_t& value)
{
    size_t i = text.find_first_not_of(" \t\r\n");
    if (i != std::string::npos && text[i] == '-')
        ++i;
    if (i == std::string::npos || i >= text.size() || text[i] < '0' || text[i] > '9')
        return false;
    value = StringToInt(text);
    return true;
}

// Speed and frames of one direction ("Input" or "Output"); the protocol row, or -1 after a
// finding.
int ReadDirection(CQTXXml& document, const std::string& direction)
{
    const std::string speedName = direction + "Speed";
    const std::string framesName = direction + "Frames";
    if (!SelectRequired(document, speedName.c_str(), speedName + " is missing"))
        return -1;
    switch (document.GetListProperty(aFoSpeedItems, true))
    {
    case 3:
        return FO_PROTOCOL_3M;
    case 0:
        return FO_PROTOCOL_OFF;
    case 32:
    {
        if (!SelectRequired(document, framesName.c_str(), framesName + " is missing"))
            return -1;
        int32_t frames = 0;
        const int row =
            ReadIntegerText(document.GetStringProperty(), frames) ? FoProtocolOfFrames(frames) : -1;
        if (row < 0)
            document.SetPropertyError("WrongValue",
                                      framesName + " value is wrong, only 1, 2, 16 or 0 allowed");
        return row;
    }
    default:
        document.SetPropertyError("WrongValue",
                                  speedName + " value is wrong, only 3.3 and 32 allowed");
        return -1;
    }
}

// Up to `count` integers separated by ";" of a master-mode list into the zeroed array.
bool ReadMasterList(CQTXXml& document, const char* name, int32_t* values, int count)
{
    if (!SelectRequired(document, name, std::string(name) + " is missing"))
        return false;
    memset(values, 0, sizeof(int32_t) * static_cast<size_t>(count));
    StringToIntArray(document.GetStringProperty(), values, count);
    return true;
}

// Rewrites the speed and frames properties of one direction for a row.
void WriteDirection(CQTXXml& document, const std::string& direction, int row)
{
    int32_t speed = 0;
    FoSpeedAndFrames(row, &speed, nullptr);
    document.WriteStringProperty((direction + "Speed").c_str(),
                                 ItemIntToString(aFoSpeedItems, speed));
    document.WriteStringProperty((direction + "Frames").c_str(),
                                 IntToString(FoDocumentFramesOfRow(row)));
}
} // namespace

uint32_t FoModeCode(int row)
{
    const FoProtocol_t* p = Row(row);
    return p != nullptr ? p->ulModeCode : 0x40;
}

uint32_t FoSpeedClass(int row)
{
    const FoProtocol_t* p = Row(row);
    return p != nullptr ? p->ulSpeedClass : 0;
}

uint32_t FoFrameRegister(int row)
{
    const FoProtocol_t* p = Row(row);
    return p != nullptr ? p->ulFrameRegister : 0;
}

int32_t FoPeriod(int row)
{
    const FoProtocol_t* p = Row(row);
    return p != nullptr ? p->iPeriod : 0;
}

int32_t FoPayload(int row)
{
    const FoProtocol_t* p = Row(row);
    return p != nullptr ? p->iPayload : 0;
}

int FoSpeedAndFrames(int row, int32_t* speed, int32_t* frames)
{
    const FoProtocol_t* p = Row(row);
    if (speed != nullptr)
        *speed = p != nullptr ? p->iSpeed : 0;
    if (frames != nullptr)
        *frames = p != nullptr ? p->iFrames : 0;
    return p != nullptr ? 0 : -1;
}

bool FoIsRing(int row)
{
    return row >= FO_PROTOCOL_RING_FIRST && row <= FO_PROTOCOL_RING_LAST;
}

bool FoIs3M(int row)
{
    return row >= 1 && row <= 4;
}

int FoProtocolOfFrames(int32_t frames)
{
    for (const auto& entry : kFramesTable)
        if (entry.iFrames == frames)
            return entry.iRow;
    return -1;
}

int32_t FoDocumentFramesOfRow(int row)
{
    for (const auto& entry : kFramesTable)
        if (entry.iRow == row && (FoIsRing(row) || entry.iFrames == aFoProtocols[row].iFrames))
            return entry.iFrames;
    int32_t frames = 0;
    FoSpeedAndFrames(row, nullptr, &frames);
    return frames;
}

FoSettings FoZeroSettings()
{
    FoSettings settings;
    memset(&settings, 0, sizeof settings);
    return settings;
}

FoSettings FoBuiltInDefault()
{
    FoSettings settings = FoZeroSettings();
    settings.iInputProtocol = FO_PROTOCOL_FLEX;
    settings.iOutputProtocol = FO_PROTOCOL_FLEX;
    settings.iSlot = FO_SLOT_ANY_NODE;
    settings.iMasterModePeriod = 1000;
    memcpy(settings.aiMasterModeLength, MasterDefaultFlexFrame, sizeof MasterDefaultFlexFrame);
    settings.aiMasterModeClassTimes[0] = 1;
    settings.aiMasterModeClassTimes[1] = 1;
    return settings;
}

bool ParseAndCheckConfigIntern(CQTXXml& document, FoSettings& out)
{
    bool wrong = false;
    SelectRootProperties(document);

    // Speeds and frames.
    const int input = ReadDirection(document, "Input");
    const int output = ReadDirection(document, "Output");
    wrong = input < 0 || output < 0;
    out.iInputProtocol = input < 0 ? FO_PROTOCOL_OFF : input;
    out.iOutputProtocol = output < 0 ? FO_PROTOCOL_OFF : output;

    // Output period.
    if (SelectRequired(document, "OutputPeriod", "OutputPeriod is missing"))
    {
        out.iOutputPeriod = document.GetIntProperty();
        if (out.iOutputPeriod > 0 && out.iOutputPeriod < FoPeriod(out.iOutputProtocol))
        {
            document.SetPropertyError("MissingValue", "Output period is too low");
            wrong = true;
        }
        if (out.iInputProtocol == FO_PROTOCOL_3M && out.iOutputProtocol == FO_PROTOCOL_3M &&
            out.iOutputPeriod == 0)
        {
            out.iInputProtocol = FO_PROTOCOL_KOVE8;
            out.iOutputProtocol = FO_PROTOCOL_KOVE8;
        }
    }
    else
    {
        wrong = true;
    }

    // Slot (optional).
    out.iSlot = 0;
    if (document.SelectPropertyByName("Slot", false))
    {
        int32_t slot = 0;
        const bool number = ReadIntegerText(document.GetStringProperty(), slot);
        if (number && slot == -1)
        {
            slot = 0;
            document.SetStringProperty("0");
        }
        if (!number || ((slot < 0 || slot > 15) && slot != FO_SLOT_ANY_NODE))
        {
            document.SetPropertyError("WrongValue", "Slot is wrong, only 0..15 allowed");
            wrong = true;
        }
        else if (FoIs3M(out.iOutputProtocol))
        {
            if (slot > 7)
            {
                document.SetPropertyError("WrongValue",
                                          "Slot must be between 0 and 7 for 3M protocols");
                wrong = true;
            }
        }
        else if (out.iOutputProtocol != FO_PROTOCOL_FLEX && !FoIsRing(out.iOutputProtocol) &&
                 slot > 0)
        {
            document.SetPropertyError("WrongValue", "Slot must be 0 for 32M p2p modes");
            wrong = true;
        }
        out.iSlot = slot;
    }

    // Length of the own channel, needed for Flex.
    if (document.SelectPropertyByName("Length", false))
    {
        out.iLength = document.GetIntProperty();
    }
    else if (out.iOutputProtocol == FO_PROTOCOL_FLEX)
    {
        SelectRequired(document, "Length", "Length is needed for 32M Flex protocol");
        wrong = true;
    }

    // Flex master mode.
    const bool flex = out.iOutputProtocol == FO_PROTOCOL_FLEX;
    bool masterMode = false;
    if (document.SelectPropertyByName("MasterModePeriod", false))
    {
        out.iMasterModePeriod = document.GetIntProperty();
        masterMode = flex && out.iMasterModePeriod != 0;
        if (masterMode && (out.iMasterModePeriod < 7 || out.iMasterModePeriod > 16384))
        {
            document.SetPropertyError(
                "WrongValue", "MasterModePeriod value is wrong, only [7 ... 16384] allowed");
            wrong = true;
        }
    }
    else if (flex)
    {
        masterMode = true;
        SelectRequired(document, "MasterModePeriod", "MasterModePeriod is missing");
        wrong = true;
    }
    if (masterMode)
    {
        wrong = !ReadMasterList(document, "MasterModeLength", out.aiMasterModeLength, FO_SLOTS) ||
                wrong;
        wrong = !ReadMasterList(document, "MasterModeClassTimes", out.aiMasterModeClassTimes, 2) ||
                wrong;
        wrong = !ReadMasterList(document, "MasterModeDeviceClasses", out.aiMasterModeDeviceClasses,
                                FO_SLOTS) ||
                wrong;
    }

    if (wrong)
    {
        document.SetError(
            CQTXESeeXmlError("WrongParameter",
                             "This XMl file contains error messages on wrong or missing parameters",
                             kSourceUnit, __LINE__, Error));
        out.iValid = 0;
        return false;
    }
    out.iValid = 1;
    return true;
}

int ApplyLockToSettings(CQTXXml& document, const FoSettings& current, FoSettings& settings,
                        int lock)
{
    switch (lock)
    {
    case 0:
        return 0;
    case 1:
        settings.iInputProtocol = current.iInputProtocol;
        SelectRootProperties(document);
        WriteDirection(document, "Input", current.iInputProtocol);
        document.SetError(CQTXEParameterError("FiberOptic Input",
                                              "Input Settings for FiberOptic are locked",
                                              kSourceUnit, __LINE__, Warning));
        return 0;
    case 2:
        settings.iOutputProtocol = current.iOutputProtocol;
        settings.iOutputPeriod = current.iOutputPeriod;
        settings.iLength = current.iLength;
        settings.iMasterModePeriod = current.iMasterModePeriod;
        memcpy(settings.aiMasterModeLength, current.aiMasterModeLength,
               sizeof settings.aiMasterModeLength);
        memcpy(settings.aiMasterModeClassTimes, current.aiMasterModeClassTimes,
               sizeof settings.aiMasterModeClassTimes);
        memcpy(settings.aiMasterModeDeviceClasses, current.aiMasterModeDeviceClasses,
               sizeof settings.aiMasterModeDeviceClasses);
        SelectRootProperties(document);
        WriteDirection(document, "Output", current.iOutputProtocol);
        document.WriteStringProperty("OutputPeriod", IntToString(current.iOutputPeriod));
        document.WriteStringProperty("Length", IntToString(current.iLength));
        document.WriteStringProperty("MasterModePeriod", IntToString(current.iMasterModePeriod));
        document.WriteStringProperty("MasterModeLength",
                                     IntArrayToString(current.aiMasterModeLength, FO_SLOTS));
        document.WriteStringProperty("MasterModeClassTimes",
                                     IntArrayToString(current.aiMasterModeClassTimes, 2));
        document.WriteStringProperty("MasterModeDeviceClasses",
                                     IntArrayToString(current.aiMasterModeDeviceClasses, FO_SLOTS));
        document.SetError(CQTXEParameterError("FiberOptic Output",
                                              "Output Settings for FiberOptic are locked",
                                              kSourceUnit, __LINE__, Warning));
        return 0;
    default:
        // Both halves locked: nothing is taken, and the reply says so with a warning like the
        // half locks.
        document.SetError(CQTXEParameterError("FiberOptic Settings",
                                              "Input and Output Settings for FiberOptic are locked",
                                              kSourceUnit, __LINE__, Warning));
        return -1;
    }
}
