#include "FoProtSettings.h"

#include <gtest/gtest.h>

namespace
{
typedef int (*LookupFunction)(_FO_MODE_SETTINGS*, const _HEXSWITCH_SET*);

struct Case
{
    const char* family;
    LookupFunction lookup;
    _HEXSWITCH_SET switches;
    int result;
    _FO_MODE_SETTINGS expected;
};

std::string Show(const _FO_MODE_SETTINGS& s)
{
    return "{" + std::to_string(s.iMode) + ", " + std::to_string(s.iParam1) + ", " +
           std::to_string(s.iParam2) + ", " + std::to_string(s.iParam3) + "}";
}

void Check(const Case& c)
{
    // Garbage in out shows whether every path defines the settings.
    _FO_MODE_SETTINGS out = {77, 77, 77, 77};
    const int result = c.lookup(&out, &c.switches);
    const std::string where = std::string(c.family) + " {" + std::to_string(c.switches.iSwitch1) +
                              ", " + std::to_string(c.switches.iSwitch2) + ", " +
                              std::to_string(c.switches.iSwitch3) + ", " +
                              std::to_string(c.switches.iRest) + "}";
    EXPECT_EQ(result, c.result) << where;
    EXPECT_EQ(Show(out), Show(c.expected)) << where;
}
} // namespace

TEST(FoProtSettings, TablesHaveTheirRows)
{
    EXPECT_EQ(iWagoFoProtHexRows, 60);
    EXPECT_EQ(iVornexFoProtHexRows, 17);
    EXPECT_EQ(iDPFoProtHexRows, 12);
    EXPECT_EQ(iIoEmbeddedFoProtHexRows, 11);
}

TEST(FoProtSettings, LookupPerFamily)
{
    const Case cases[] = {
        {"Wago", Wago_GetFoProtSettings, {0, 5, 3, 7}, 0, {3, 5, 1, 0}},
        {"Wago", Wago_GetFoProtSettings, {2, 12, -1, -1}, 0, {3, 1, 2, 0}},
        {"Wago", Wago_GetFoProtSettings, {0, 9, 0, 0}, -1, {0, 9, 0, 0}},
        {"Wago", Wago_GetFoProtSettings, {15, 0, 4, 0}, -1, {0, 0, 4, 0}},
        {"Wago", Wago_GetFoProtSettings, {15, 3, 4, 0}, 0, {19, 3, -1, 0}},
        {"Wago", Wago_GetFoProtSettings, {-1, -1, 0, 0}, 0, {3, -1, 1, 0}},
        {"Wago", Wago_GetFoProtSettings, {10, 11, 0, 0}, 0, {3, 5, 4, 1}},
        {"Wago", Wago_GetFoProtSettings, {4, 5, 9, 9}, 0, {9, 5, -1, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {0, 4, 5, 0}, 0, {3, 4, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {0, 4, 6, 0}, -1, {0, 4, 6, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {0, 4, 5, 4}, 0, {4, 4, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {4, 0, 5, 0}, -1, {0, 0, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {4, 2, 13, 0}, 0, {18, 2, 13, 2}},
        {"Vornex", Vornex_GetFoProtSettings, {15, 0, 1, 0}, -1, {0, 0, 1, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {15, 3, 1, 0}, 0, {19, 3, 0, 0}},
        {"DP", DP_GetFoProtSettings, {1, 0, 3, 3}, 0, {16, -1, -1, 1}},
        {"DP", DP_GetFoProtSettings, {1, 2, 3, 3}, 0, {19, -1, -16, 0}},
        {"DP", DP_GetFoProtSettings, {9, 2, 3, 3}, -1, {0, 2, 0, 0}},
        {"DP64", DP64_GetFoProtSettings, {7, 0, 3, 3}, 0, {1, 0, 8, 1}},
        {"IoEmbedded", IoEmbedded_GetFoProtSettings, {0, 0, 15, 0}, -1, {0, 0, 0, 0}},
        {"IoEmbedded", IoEmbedded_GetFoProtSettings, {0, 1, 15, 0}, 0, {19, -1, 0, 0}},
        {"IoEmbedded", IoEmbedded_GetFoProtSettings, {3, 4, 9, 0}, 0, {21, -1, -1, 0}},
        {"IoEmbedded", IoEmbedded_GetFoProtSettings, {3, 4, 7, 0}, -1, {0, 4, 0, 0}},
    };
    for (const Case& c : cases)
        Check(c);
}

// Bit 2 of the fourth switch turns mode 3 into 4, whatever the other bits; an unknown fourth
// switch (-1) has it set. Mode 4 is refused as mode 3 is, and other modes stay.
TEST(FoProtSettings, VornexBit2OfTheFourthSwitchMakesMode4)
{
    const Case cases[] = {
        {"Vornex", Vornex_GetFoProtSettings, {0, 4, 5, -1}, 0, {4, 4, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {1, 4, 5, 12}, 0, {4, 4, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {0, 4, 5, 3}, 0, {3, 4, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {0, 4, 5, 8}, 0, {3, 4, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {8, 0, 0, -1}, 0, {4, 1, 8, 3}},
        {"Vornex", Vornex_GetFoProtSettings, {0, 4, 6, -1}, -1, {0, 4, 6, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {0, 0, 5, -1}, -1, {0, 0, 5, 0}},
        {"Vornex", Vornex_GetFoProtSettings, {4, 2, 13, -1}, 0, {18, 2, 13, 2}},
        {"Vornex", Vornex_GetFoProtSettings, {15, 3, 1, -1}, 0, {19, 3, 0, 0}},
    };
    for (const Case& c : cases)
        Check(c);
}

TEST(FoProtSettings, NullArgumentsAreRefused)
{
    _HEXSWITCH_SET s = {0, 0, 0, 0};
    _FO_MODE_SETTINGS out;
    EXPECT_EQ(Wago_GetFoProtSettings(nullptr, &s), -1);
    EXPECT_EQ(Vornex_GetFoProtSettings(&out, nullptr), -1);
    EXPECT_EQ(SearchProtSettingsForHexs(nullptr, 3, &s), -1);
}

TEST(FoProtSettings, Kove8ProductNameComparesTheWholePrefix)
{
    const struct
    {
        const char* line;
        bool kove8;
    } cases[] = {
        {"qorKOVE-8", true}, {"QORkove-8 rev B", true}, {"qorKOVE-8x", true}, {"", false},
        {"qor", false},      {"qorKOVE-", false},       {"qorKOVE-D", false}, {" qorKOVE-8", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FoIsKove8ProductName(c.line), c.kove8) << '"' << c.line << '"';
}
