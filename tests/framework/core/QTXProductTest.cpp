#include "QTXProduct.h"

#include "FpgaDependence.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>

namespace
{

int CountRows(const Item_t* table)
{
    int rows = 0;
    while (table[rows].name != nullptr)
        ++rows;
    return rows;
}

} // namespace

TEST(HWFamilyTest, IdentificationWordGivesFamily)
{
    struct Case
    {
        uint32_t word;
        int family;
    };
    const Case cases[] = {
        {0x00474157, 3}, // "WAG"
        {0x12474157, 3}, // the top byte of the bus word is not part of the identification
        {MakeFpgaId('K', 'V', '4'), 4},
        {MakeFpgaId('P', 'D', 'P'), 5},
        {MakeFpgaId('V', 'M', 'E'), 6},
        {MakeFpgaId('L', 'I', 'O'), 7},
        {MakeFpgaId('K', 'V', '8'), 8},
        {MakeFpgaId('C', 'L', 'K'), 9},
        {MakeFpgaId('P', 'N', 'A'), 10},
        {MakeFpgaId('D', 'A', 'Q'), 11},
        {MakeFpgaId('E', 'I', 'P'), 14},
        {0x880000, 2},
        {0xFF990000, 2},
        {0xADCAFE, 0},
        {0, 0},
        {0x880001, 0},
        {MakeFpgaId('G', 'A', 'W'), 0}, // letters in the wrong byte order
        {MakeFpgaId('Z', 'Q', 'A'), 0}, // a hardware variant without a family of its own
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << "word 0x" << c.word);
        EXPECT_EQ(c.family, HWFamilyFromFpgaId(c.word));
        EXPECT_EQ(c.family, SelectHWFamily(c.word, false));
    }
}

TEST(HWFamilyTest, SelectionChoosesTheVariantRowOnlyOnRealHardware)
{
    EXPECT_EQ(QTX_HW_FAMILY_WAG, SelectHWFamily(0x01474157, false));
    EXPECT_EQ(MakeFpgaId('W', 'A', 'G'), GetFpgaDependenceFpgaId());

    // Simulation is the data-acquisition family whatever the word, and keeps the variant row.
    for (uint32_t word : {0u, 0x45454545u, MakeFpgaId('K', 'V', '4'), 0xADCAFEu})
        EXPECT_EQ(QTX_HW_FAMILY_DAQ, SelectHWFamily(word, true));
    EXPECT_EQ(MakeFpgaId('W', 'A', 'G'), GetFpgaDependenceFpgaId());

    // An unknown identification selects the unknown-variant row every time it is determined.
    EXPECT_EQ(QTX_HW_FAMILY_UNKNOWN, SelectHWFamily(0xADCAFE, false));
    EXPECT_EQ(kFpgaDependenceUnknownId, GetFpgaDependenceFpgaId());
    SetFpgaDependence(MakeFpgaId('K', 'V', '8'));
    EXPECT_EQ(QTX_HW_FAMILY_UNKNOWN, SelectHWFamily(0xADCAFE, false));
    EXPECT_EQ(kFpgaDependenceUnknownId, GetFpgaDependenceFpgaId());
}

TEST(HWFamilyTest, HexSwitchTypeOfEachFamily)
{
    const int expected[16] = {2, 2, 2, 3, 2, 3, 15, 6, 3, 0, 2, 2, 2, 2, 2, 2};
    for (int family = 0; family < 16; ++family)
        EXPECT_EQ(expected[family], GetHwFamilyHexSwitchType(static_cast<_QTXHWFamily>(family)))
            << "family " << family;
}

TEST(ProductTableTest, TablesCoverEachModuleIdOnceInTheSameOrder)
{
    const Item_t* tables[] = {aModuleNameList, aModuleNickNameList, aModuleOrderingNumberList};
    for (const Item_t* table : tables)
    {
        ASSERT_EQ(55, CountRows(table));
        EXPECT_EQ(0, table[55].value);
        std::set<int> ids;
        for (int row = 0; row < 55; ++row)
        {
            EXPECT_EQ(aModuleNameList[row].value, table[row].value) << "row " << row;
            ids.insert(table[row].value);
        }
        EXPECT_EQ(55u, ids.size());
        EXPECT_EQ(1, *ids.begin());
        EXPECT_EQ(55, *ids.rbegin());
    }

    for (int row = 0; row < 55; ++row)
    {
        const char* number = aModuleOrderingNumberList[row].name;
        ASSERT_EQ(9u, std::strlen(number)) << number;
        for (int i = 0; i < 9; ++i)
            EXPECT_TRUE(i == 2 ? number[i] == '.' : std::isdigit((unsigned char)number[i]))
                << number;
    }
}

TEST(ProductTableTest, LookupsByModuleId)
{
    struct Case
    {
        int id;
        const char* name;
        const char* nic;
        const char* orderNumber;
    };
    const Case cases[] = {
        {1, "qorKOVE-S-QX-16", "Tesra", "52.374012"},
        {4, "Drevik CMU", "Tesra", "52.375020"},
        {18, "qorQM3xAI-1A/100A", "AI3-1A-100A", "52.374620"},
        {28, "qorQM32xDO-TTL", "DO32_DIO16", "00.000000"},
        {43, "qorRida-va-zarozova", "IOEmbedded", "58.462400"},
        {46, "qorLink-VME-16bit", "Vornex", "58.462001"},
        {48, "qorQB-ENetIP", "ENIP", "57.310010"},
        {55, "qorKOVE-D-8ICP", "KOVE8", "52.230130"},
        {0, "***ERROR***", "***ERROR***", "***ERROR***"},
        {56, "***ERROR***", "***ERROR***", "***ERROR***"},
        {-1, "***ERROR***", "***ERROR***", "***ERROR***"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        EXPECT_STREQ(c.name, GetProductName(c.id));
        EXPECT_STREQ(c.nic, GetModuleNic(c.id));
        EXPECT_STREQ(c.orderNumber, GetModuleOrderNumber(c.id));
    }
}

TEST(ProductTableTest, LookupsByTextTakeTheFirstRowInTableOrder)
{
    // Product names are unique, so every id comes back from its own name.
    for (int id = 1; id <= 55; ++id)
        EXPECT_EQ(id, GetModuleFromProductName(GetProductName(id))) << id;

    struct Case
    {
        int (*lookup)(const char*);
        const char* text;
        int id;
    };
    const Case cases[] = {
        {GetModuleFromNic, "KOVE8", 49},
        {GetModuleFromNic, "kove8", 49},
        {GetModuleFromNic, "Tesra", 1},
        {GetModuleFromNic, "DO32_DIO16", 27},
        {GetModuleFromNic, "Vornex", 42}, // 42 stands before 46
        {GetModuleFromNic, "PN", 45},
        {GetModuleFromNic, "P", 0}, // whole texts only
        {GetModuleFromOrderNumber, "00.000000", 28},
        {GetModuleFromOrderNumber, "57.310000", 45},
        {GetModuleFromOrderNumber, "57.310001", 0},
        {GetModuleFromOrderNumber, "", 0},
        {GetModuleFromProductName, "QORKOVE-8AI-U", 49},
        {GetModuleFromProductName, "qorKOVE", 0},
        {GetModuleFromProductName, "qorKOVE-8AI-U ", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.id, c.lookup(c.text)) << c.text;

    EXPECT_EQ(0, GetModuleFromProductName(nullptr));
    EXPECT_EQ(0, GetModuleFromNic(nullptr));
    EXPECT_EQ(0, GetModuleFromOrderNumber(nullptr));
}

TEST(ModuleStateTest, NamesBothWays)
{
    const char* names[] = {"Unknown", "Booting", "Running", "Error", "FatalError", "UnknownModule"};
    for (int state = 0; state < 6; ++state)
    {
        const auto s = static_cast<_QTXMODULE_STATE>(state);
        EXPECT_STREQ(names[state], QTXModuleState2String(s));
        EXPECT_EQ(s, String2QTXModuleState(names[state]));
        std::string lower = names[state];
        for (char& ch : lower)
            ch = static_cast<char>(std::tolower((unsigned char)ch));
        EXPECT_EQ(s, String2QTXModuleState(lower.c_str())) << lower;
    }
    EXPECT_STREQ("***ERROR***", QTXModuleState2String(static_cast<_QTXMODULE_STATE>(6)));
    EXPECT_STREQ("***ERROR***", QTXModuleState2String(static_cast<_QTXMODULE_STATE>(-1)));
    for (const char* text : {"Run", "Runnings", "", "Fatal Error"})
        EXPECT_EQ(QTX_MODULE_UNKNOWN, String2QTXModuleState(text)) << text;
    EXPECT_EQ(QTX_MODULE_UNKNOWN, String2QTXModuleState(nullptr));
}

TEST(ModuleStateTest, OnlyRunningAndErrorAllowCommunication)
{
    for (int state = -1; state <= 6; ++state)
        EXPECT_EQ(state == QTX_MODULE_RUNNING || state == QTX_MODULE_ERROR,
                  StateAllowsCommunication(static_cast<_QTXMODULE_STATE>(state)))
            << state;
}

TEST(ModuleStateTest, MergeIntoGlobalState)
{
    const _QTXMODULE_STATE U = QTX_MODULE_UNKNOWN, B = QTX_MODULE_BOOTING, R = QTX_MODULE_RUNNING,
                           E = QTX_MODULE_ERROR, F = QTX_MODULE_FATALERROR,
                           M = QTX_MODULE_UNKNOWNMODULE;
    struct Case
    {
        _QTXMODULE_STATE global;
        _QTXMODULE_STATE module;
        _QTXMODULE_STATE merged;
    };
    const Case cases[] = {
        // An Unknown module leaves the global state.
        {U, R, R},
        {R, U, R},
        {E, U, E},
        // Booting and Error win below Error; Running wins only over Unknown.
        {R, B, B},
        {B, R, B},
        {U, B, B},
        {R, E, E},
        {B, E, E},
        {E, B, E},
        {E, R, E},
        // FatalError always wins.
        {F, E, F},
        {F, M, F},
        {M, F, F},
        {U, F, F},
        // UnknownModule wins over everything but FatalError.
        {E, M, M},
        {M, E, M},
        {M, R, M},
        // A module state outside the table gives Unknown; a global one counts as Unknown.
        {F, static_cast<_QTXMODULE_STATE>(6), U},
        {F, static_cast<_QTXMODULE_STATE>(-1), U},
        {static_cast<_QTXMODULE_STATE>(9), R, R},
        {static_cast<_QTXMODULE_STATE>(-7), E, E},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.merged, ModuleState2GlobalState(c.global, c.module))
            << "global " << c.global << " module " << c.module;

    // Merging a whole registry, as the system driver does, starting from Unknown.
    auto mergeAll = [](std::initializer_list<_QTXMODULE_STATE> states)
    {
        _QTXMODULE_STATE global = QTX_MODULE_UNKNOWN;
        for (_QTXMODULE_STATE s : states)
            global = ModuleState2GlobalState(global, s);
        return global;
    };
    EXPECT_EQ(R, mergeAll({R, U, R}));
    EXPECT_EQ(B, mergeAll({R, B, R}));
    EXPECT_EQ(E, mergeAll({B, E, R, B}));
    EXPECT_EQ(F, mergeAll({F, M, E, R}));
    EXPECT_EQ(U, mergeAll({}));
}
