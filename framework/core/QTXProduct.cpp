// Hardware family, product table and module states.
#include "QTXProduct.h"

#include "FpgaDependence.h"

_QTXHWFamily HWFamilyFromFpgaId(uint32_t fpgaWord)
{
    switch (fpgaWord & kFpgaIdMask)
    {
    case 0x880000:
    case 0x990000:
        return QTX_HW_FAMILY_880;
    case MakeFpgaId('W', 'A', 'G'):
        return QTX_HW_FAMILY_WAG;
    case MakeFpgaId('K', 'V', '4'):
        return QTX_HW_FAMILY_KV4;
    case MakeFpgaId('P', 'D', 'P'):
        return QTX_HW_FAMILY_PDP;
    case MakeFpgaId('V', 'M', 'E'):
        return QTX_HW_FAMILY_VME;
    case MakeFpgaId('L', 'I', 'O'):
        return QTX_HW_FAMILY_LIO;
    case MakeFpgaId('K', 'V', '8'):
        return QTX_HW_FAMILY_KV8;
    case MakeFpgaId('C', 'L', 'K'):
        return QTX_HW_FAMILY_CLK;
    case MakeFpgaId('P', 'N', 'A'):
        return QTX_HW_FAMILY_PNA;
    case MakeFpgaId('D', 'A', 'Q'):
        return QTX_HW_FAMILY_DAQ;
    case MakeFpgaId('E', 'I', 'P'):
        return QTX_HW_FAMILY_EIP;
    default:
        return QTX_HW_FAMILY_UNKNOWN;
    }
}

_QTXHWFamily SelectHWFamily(uint32_t fpgaWord, bool simulating)
{
    if (simulating)
        return QTX_HW_FAMILY_DAQ;
    SetFpgaDependence(fpgaWord);
    return HWFamilyFromFpgaId(fpgaWord);
}

int GetHwFamilyHexSwitchType(_QTXHWFamily family)
{
    switch (family)
    {
    case QTX_HW_FAMILY_WAG:
    case QTX_HW_FAMILY_PDP:
    case QTX_HW_FAMILY_KV8:
        return 3;
    case QTX_HW_FAMILY_VME:
        return 15;
    case QTX_HW_FAMILY_LIO:
        return 6;
    case QTX_HW_FAMILY_CLK:
        return 0;
    default:
        return 2;
    }
}

// The three product tables share one row order (not id order): a lookup by text returns the
// first match, which decides nick names and ordering numbers that several ids share.
const Item_t aModuleNameList[] = {
    {"qorKOVE-S-QX-16", 1},    {"qorKOVE-Z-TM", 2},
    {"qorCMU-S", 3},           {"Drevik CMU", 4},
    {"qorKOVE-S-QX-2x16", 5},  {"qorPMC", 6},
    {"qorWEX-S", 7},           {"qorWEX", 8},
    {"qorDAQ-S", 9},           {"qorDAQ", 10},
    {"qorQM16xAI-10V", 11},    {"qorQM16xAI-10V-HI", 12},
    {"qorQM16xAI-24V", 13},    {"qorQM16xAI-24V-HI", 14},
    {"qorQM16xAI-20mA", 15},   {"qorQM8xAI-110VAC", 16},
    {"qorQM4xAI-380VAC", 17},  {"qorQM3xAI-1A/100A", 18},
    {"qorQM3xAI-5A", 19},      {"qorQM3xAI-1A", 20},
    {"qorQM16xAO-10V", 21},    {"qorQM16xAO-20mA", 22},
    {"qorQM16xDI-24V", 23},    {"qorQM16xDI-220V", 24},
    {"qorQM32xDI-24V", 25},    {"qorQM16xDO-2A", 26},
    {"qorQM32xDO-24V", 27},    {"qorQM32xDO-TTL", 28},
    {"qorQM8xICP", 29},        {"qorQM8xIEPE", 30},
    {"qorQM4xUCO", 31},        {"qorQM16xDIO-24V", 32},
    {"qorQM16xDIO-TTL", 33},   {"qorQM4xADIO", 34},
    {"qorQM-eCAT", 35},        {"qorQM-DDCS", 36},
    {"qorQM-SiLink", 37},      {"qornet750-QB-D", 38},
    {"qorKOVE-4-AI-U", 39},    {"qorQB-DP", 40},
    {"qorQB-DP64", 41},        {"qorLink-VME", 42},
    {"qorLink-VME-16bit", 46}, {"qorRida-va-zarozova", 43},
    {"qorW-750", 47},          {"qorKOVE-8AI-U", 49},
    {"qorKOVE-8AI-I", 50},     {"qorKOVE-8AO-U", 51},
    {"qorKOVE-D-8AI-U", 52},   {"qorKOVE-D-8AI-I", 53},
    {"qorKOVE-D-8AO-U", 54},   {"qorKOVE-D-8ICP", 55},
    {"qorClock", 44},          {"qorQB-PN", 45},
    {"qorQB-ENetIP", 48},      {nullptr, 0},
};

const Item_t aModuleNickNameList[] = {
    {"Tesra", 1},       {"Omvel", 2},        {"Tesra", 3},       {"Tesra", 4},
    {"Tesra", 5},       {"Tesra", 6},        {"Tesra", 7},       {"Tesra", 8},
    {"Pirel", 9},       {"Pirel", 10},       {"AI16-10V", 11},   {"AI16-10V-HI", 12},
    {"AI16-24V", 13},   {"AI16-24V", 14},    {"AI16-20mA", 15},  {"AI8-110V", 16},
    {"AI4-380V", 17},   {"AI3-1A-100A", 18}, {"AI3-5A", 19},     {"AI3-1A", 20},
    {"AO16-10V", 21},   {"AO16-20mA", 22},   {"DI16-24V", 23},   {"DI16-220V", 24},
    {"DI32-24V", 25},   {"DO16-2A", 26},     {"DO32_DIO16", 27}, {"DO32_DIO16", 28},
    {"ICP8", 29},       {"IEPE8", 30},       {"UCO4", 31},       {"DO32_DIO16", 32},
    {"DO32_DIO16", 33}, {"ADIO4", 34},       {"eCAT", 35},       {"DDCS", 36},
    {"SiLink", 37},     {"Halmor", 38},      {"KOVE4", 39},      {"DP", 40},
    {"DP", 41},         {"Vornex", 42},      {"Vornex", 46},     {"IOEmbedded", 43},
    {"W750", 47},       {"KOVE8", 49},       {"KOVE8", 50},      {"KOVE8", 51},
    {"KOVE8", 52},      {"KOVE8", 53},       {"KOVE8", 54},      {"KOVE8", 55},
    {"Clock", 44},      {"PN", 45},          {"ENIP", 48},       {nullptr, 0},
};

const Item_t aModuleOrderingNumberList[] = {
    {"52.374012", 1},  {"52.374030", 2},  {"52.375010", 3},  {"52.375020", 4},  {"52.374021", 5},
    {"52.374025", 6},  {"52.640000", 7},  {"52.640001", 8},  {"52.810000", 9},  {"52.810001", 10},
    {"52.374100", 11}, {"52.374101", 12}, {"52.374102", 13}, {"52.374103", 14}, {"52.374110", 15},
    {"52.374500", 16}, {"52.374521", 17}, {"52.374620", 18}, {"52.374610", 19}, {"52.374600", 20},
    {"52.374150", 21}, {"52.374160", 22}, {"52.374201", 23}, {"52.374200", 24}, {"52.374210", 25},
    {"52.374250", 26}, {"52.374260", 27}, {"00.000000", 28}, {"52.374300", 29}, {"52.374302", 30},
    {"52.374310", 31}, {"52.374220", 32}, {"00.000000", 33}, {"52.374120", 34}, {"52.374700", 35},
    {"52.374710", 36}, {"52.374720", 37}, {"59.580010", 38}, {"52.251000", 39}, {"57.311001", 40},
    {"57.311011", 41}, {"58.462000", 42}, {"58.462001", 46}, {"58.462400", 43}, {"59.580020", 47},
    {"52.230000", 49}, {"52.230010", 50}, {"52.230020", 51}, {"52.230100", 52}, {"52.230110", 53},
    {"52.230120", 54}, {"52.230130", 55}, {"52.760000", 44}, {"57.310000", 45}, {"57.310010", 48},
    {nullptr, 0},
};

const char* GetProductName(int id)
{
    return ItemIntToString(aModuleNameList, id);
}

const char* GetModuleNic(int id)
{
    return ItemIntToString(aModuleNickNameList, id);
}

const char* GetModuleOrderNumber(int id)
{
    return ItemIntToString(aModuleOrderingNumberList, id);
}

int GetModuleFromProductName(const char* name)
{
    return ItemStringToInt(aModuleNameList, name, true);
}

int GetModuleFromNic(const char* nic)
{
    return ItemStringToInt(aModuleNickNameList, nic, true);
}

int GetModuleFromOrderNumber(const char* orderNumber)
{
    return ItemStringToInt(aModuleOrderingNumberList, orderNumber, true);
}

const Item_t aQTXModuleStateItemList[] = {
    {"Unknown", QTX_MODULE_UNKNOWN},       {"Booting", QTX_MODULE_BOOTING},
    {"Running", QTX_MODULE_RUNNING},       {"Error", QTX_MODULE_ERROR},
    {"FatalError", QTX_MODULE_FATALERROR}, {"UnknownModule", QTX_MODULE_UNKNOWNMODULE},
    {nullptr, QTX_MODULE_UNKNOWN},
};

const char* QTXModuleState2String(_QTXMODULE_STATE state)
{
    return ItemIntToString(aQTXModuleStateItemList, state);
}

_QTXMODULE_STATE String2QTXModuleState(const char* text)
{
    return static_cast<_QTXMODULE_STATE>(ItemStringToInt(aQTXModuleStateItemList, text, true));
}

bool StateAllowsCommunication(_QTXMODULE_STATE state)
{
    return state == QTX_MODULE_RUNNING || state == QTX_MODULE_ERROR;
}

namespace
{

bool IsModuleState(int value)
{
    return value >= QTX_MODULE_UNKNOWN && value <= QTX_MODULE_UNKNOWNMODULE;
}

} // namespace

_QTXMODULE_STATE ModuleState2GlobalState(_QTXMODULE_STATE global, _QTXMODULE_STATE module)
{
    constexpr _QTXMODULE_STATE U = QTX_MODULE_UNKNOWN;
    constexpr _QTXMODULE_STATE B = QTX_MODULE_BOOTING;
    constexpr _QTXMODULE_STATE R = QTX_MODULE_RUNNING;
    constexpr _QTXMODULE_STATE E = QTX_MODULE_ERROR;
    constexpr _QTXMODULE_STATE F = QTX_MODULE_FATALERROR;
    constexpr _QTXMODULE_STATE M = QTX_MODULE_UNKNOWNMODULE;
    // Row: global state, column: module state.
    static constexpr _QTXMODULE_STATE aMerge[6][6] = {
        /* Unknown       */ {U, B, R, E, F, M},
        /* Booting       */ {B, B, B, E, F, M},
        /* Running       */ {R, B, R, E, F, M},
        /* Error         */ {E, E, E, E, F, M},
        /* FatalError    */ {F, F, F, F, F, F},
        /* UnknownModule */ {M, M, M, M, F, M},
    };

    if (!IsModuleState(module))
        return QTX_MODULE_UNKNOWN;
    if (!IsModuleState(global))
        global = QTX_MODULE_UNKNOWN;
    return aMerge[global][module];
}
