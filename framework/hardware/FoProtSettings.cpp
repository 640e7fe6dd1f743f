// The hex-switch tables of the hardware families that choose their fiber-optic protocol with the
// front switches, and the lookup per family.
#include "FoProtSettings.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "KovePlatform.h"

namespace
{
constexpr int32_t kAny = -1;

// The switch positions 1..8 and 10..15 of one Wago group; p3 is 0 or 1.
#define WAGO_GROUP(s0, p3)                                                                         \
    {{s0, 1, kAny, kAny}, {3, -1, 1, p3}}, {{s0, 2, kAny, kAny}, {3, -1, 1, p3}},                  \
        {{s0, 3, kAny, kAny}, {3, -1, 1, p3}}, {{s0, 4, kAny, kAny}, {3, -1, 1, p3}},              \
        {{s0, 5, kAny, kAny}, {3, -1, 1, p3}}, {{s0, 6, kAny, kAny}, {3, -1, 1, p3}},              \
        {{s0, 7, kAny, kAny}, {3, -1, 1, p3}}, {{s0, 8, kAny, kAny}, {3, -1, 1, p3}},              \
        {{s0, 10, kAny, kAny}, {3, 1, 4, p3}}, {{s0, 11, kAny, kAny}, {3, 5, 4, p3}},              \
        {{s0, 12, kAny, kAny}, {3, 1, 2, p3}}, {{s0, 13, kAny, kAny}, {3, 3, 2, p3}},              \
        {{s0, 14, kAny, kAny}, {3, 5, 2, p3}},                                                     \
    {                                                                                              \
        {s0, 15, kAny, kAny},                                                                      \
        {                                                                                          \
            3, 7, 2, p3                                                                            \
        }                                                                                          \
    }

// The failure value of Wago and Vornex: the mode Off with switches 2 and 3.
_FO_MODE_SETTINGS FailWithTwoSwitches(const _HEXSWITCH_SET& s)
{
    return {0, s.iSwitch2, s.iSwitch3, 0};
}

// The failure value of DP and IoEmbedded: the mode Off with switch 2.
_FO_MODE_SETTINGS FailWithSwitch2(const _HEXSWITCH_SET& s)
{
    return {0, s.iSwitch2, 0, 0};
}

// Searches the rows; -1 with the failure value in out when none fits.
int Lookup(const _FO_MODE_HEXSWITCH* rows, int count, const _HEXSWITCH_SET& search,
           const _FO_MODE_SETTINGS& failure, _FO_MODE_SETTINGS* out)
{
    const int row = SearchProtSettingsForHexs(rows, count, &search);
    if (row < 0)
    {
        *out = failure;
        return -1;
    }
    *out = rows[row].tSettings;
    return 0;
}

bool Fits(int32_t pattern, int32_t value)
{
    return pattern == value || pattern < 0 || value < 0;
}

// Product name answer of the KOVE-8 lookup: -1 until the file was read, then 1 or 0.
std::atomic<int> g_iKove8Product{-1};
} // namespace

const _FO_MODE_HEXSWITCH WagoFoProtHex[] = {
    WAGO_GROUP(0, 0),
    WAGO_GROUP(2, 0),
    {{4, 3, kAny, kAny}, {8, -1, -1, 0}},
    {{4, 4, kAny, kAny}, {10, -1, -1, 0}},
    {{4, 5, kAny, kAny}, {9, -1, -1, 0}},
    WAGO_GROUP(8, 1),
    WAGO_GROUP(10, 1),
    {{15, kAny, kAny, kAny}, {19, -1, -1, 0}},
};
const int iWagoFoProtHexRows = sizeof WagoFoProtHex / sizeof WagoFoProtHex[0];

#undef WAGO_GROUP

const _FO_MODE_HEXSWITCH VornexFoProtHex[] = {
    {{0, kAny, kAny, kAny}, {3, -1, -1, 0}},  {{1, kAny, kAny, kAny}, {3, -1, -1, 0}},
    {{8, kAny, kAny, kAny}, {3, 1, 8, 3}},    {{9, kAny, kAny, kAny}, {3, 1, 8, 3}},
    {{4, kAny, 0, kAny}, {5, -1, -1, 2}},     {{4, kAny, 1, kAny}, {6, -1, -1, 2}},
    {{4, kAny, 2, kAny}, {7, -1, -1, 2}},     {{4, kAny, 3, kAny}, {8, -1, -1, 2}},
    {{4, kAny, 4, kAny}, {10, -1, -1, 2}},    {{4, kAny, 6, kAny}, {11, -1, -1, 2}},
    {{4, kAny, 7, kAny}, {12, -1, -1, 2}},    {{4, kAny, 8, kAny}, {13, -1, -1, 2}},
    {{4, kAny, 9, kAny}, {14, -1, -1, 2}},    {{4, kAny, 10, kAny}, {16, -1, -1, 2}},
    {{4, kAny, 12, kAny}, {17, -1, -1, 2}},   {{4, kAny, 13, kAny}, {18, -1, -1, 2}},
    {{15, kAny, kAny, kAny}, {19, -1, 0, 0}},
};
const int iVornexFoProtHexRows = sizeof VornexFoProtHex / sizeof VornexFoProtHex[0];

const _FO_MODE_HEXSWITCH DPFoProtHex[] = {
    {{0, kAny, kAny, kAny}, {1, 0, 8, 1}},     {{1, 0, kAny, kAny}, {16, -1, -1, 1}},
    {{1, kAny, kAny, kAny}, {19, -1, -16, 0}}, {{4, kAny, 4, kAny}, {10, -1, -1, 0}},
    {{4, kAny, 10, kAny}, {16, -1, -1, 0}},    {{4, kAny, 12, kAny}, {17, -1, -1, 0}},
    {{5, 0, kAny, kAny}, {16, -1, 0, 0}},      {{5, kAny, kAny, kAny}, {19, -1, 0, 0}},
    {{6, 0, kAny, kAny}, {16, -1, -1, 1}},     {{6, kAny, kAny, kAny}, {19, -1, -16, 0}},
    {{7, 0, kAny, kAny}, {0, -1, -1, 0}},      {{7, kAny, kAny, kAny}, {19, -1, -16, 0}},
};
const int iDPFoProtHexRows = sizeof DPFoProtHex / sizeof DPFoProtHex[0];

const _FO_MODE_HEXSWITCH IoEmbeddedFoProtHex[] = {
    {{kAny, kAny, 0, kAny}, {5, -1, -1, 0}},  {{kAny, kAny, 1, kAny}, {6, -1, -1, 0}},
    {{kAny, kAny, 2, kAny}, {7, -1, -1, 0}},  {{kAny, kAny, 3, kAny}, {8, -1, -1, 0}},
    {{kAny, kAny, 4, kAny}, {10, -1, -1, 0}}, {{kAny, kAny, 5, kAny}, {17, -1, -1, 0}},
    {{kAny, kAny, 6, kAny}, {18, -1, -1, 0}}, {{kAny, kAny, 8, kAny}, {20, -1, -1, 0}},
    {{kAny, kAny, 9, kAny}, {21, -1, -1, 0}}, {{kAny, kAny, 10, kAny}, {22, -1, -1, 0}},
    {{kAny, kAny, 15, kAny}, {19, -1, 0, 0}},
};
const int iIoEmbeddedFoProtHexRows = sizeof IoEmbeddedFoProtHex / sizeof IoEmbeddedFoProtHex[0];

int SearchProtSettingsForHexs(const _FO_MODE_HEXSWITCH* rows, int count,
                              const _HEXSWITCH_SET* switches)
{
    if (rows == nullptr || switches == nullptr)
        return -1;
    const int32_t values[4] = {switches->iSwitch1, switches->iSwitch2, switches->iSwitch3,
                               switches->iRest};
    for (int row = 0; row < count; ++row)
    {
        bool fits = true;
        for (int i = 0; i < 4 && fits; ++i)
            fits = Fits(rows[row].aiPattern[i], values[i]);
        if (fits)
            return row;
    }
    return -1;
}

int Wago_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches)
{
    if (out == nullptr || switches == nullptr)
        return -1;
    const _HEXSWITCH_SET s = *switches;
    const _HEXSWITCH_SET search = {s.iSwitch1, s.iSwitch2, -1, -1};
    if (Lookup(WagoFoProtHex, iWagoFoProtHexRows, search, FailWithTwoSwitches(s), out) != 0)
        return -1;
    if (out->iMode == 19 && s.iSwitch2 == 0)
    {
        *out = FailWithTwoSwitches(s);
        return -1;
    }
    if (out->iParam1 == -1)
        out->iParam1 = s.iSwitch2;
    return 0;
}

int Vornex_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches)
{
    if (out == nullptr || switches == nullptr)
        return -1;
    const _HEXSWITCH_SET s = *switches;
    const _HEXSWITCH_SET search = {s.iSwitch1, s.iSwitch2, s.iSwitch3, -1};
    if (Lookup(VornexFoProtHex, iVornexFoProtHexRows, search, FailWithTwoSwitches(s), out) != 0)
        return -1;
    if (out->iParam2 == -1)
        out->iParam2 = s.iSwitch3;
    if (out->iParam1 == -1)
        out->iParam1 = s.iSwitch2;
    // Bit 2 of the fourth switch turns mode 3 into 4; an unknown switch (-1) has every bit set.
    if (out->iMode == 3 && (s.iRest & 4) != 0)
        out->iMode = 4;

    bool refused = false;
    if (out->iMode == 1 || out->iMode == 3 || out->iMode == 4)
    {
        const int32_t p1 = out->iParam1;
        const int32_t p2 = out->iParam2;
        refused = p1 == 0 || p2 == 0 || p1 >= 9 || p2 >= 9 || p1 + p2 > 9;
    }
    else if (out->iMode == 19)
    {
        refused = s.iSwitch2 == 0;
    }
    if (refused)
    {
        *out = FailWithTwoSwitches(s);
        return -1;
    }
    return 0;
}

int DP_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches)
{
    if (out == nullptr || switches == nullptr)
        return -1;
    return Lookup(DPFoProtHex, iDPFoProtHexRows, *switches, FailWithSwitch2(*switches), out);
}

int DP64_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* /*switches*/)
{
    const _HEXSWITCH_SET zero = {0, 0, 0, 0};
    return DP_GetFoProtSettings(out, &zero);
}

int IoEmbedded_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches)
{
    if (out == nullptr || switches == nullptr)
        return -1;
    const _HEXSWITCH_SET s = *switches;
    if (Lookup(IoEmbeddedFoProtHex, iIoEmbeddedFoProtHexRows, s, FailWithSwitch2(s), out) != 0)
        return -1;
    if (out->iMode == 19 && s.iSwitch2 == 0)
    {
        *out = FailWithSwitch2(s);
        return -1;
    }
    return 0;
}

bool FoIsKove8ProductName(const std::string& firstLine)
{
    static const char kName[] = "qorKOVE-8";
    const size_t length = sizeof kName - 1;
    return firstLine.size() >= length && strncasecmp(firstLine.c_str(), kName, length) == 0;
}

int Kove8_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches)
{
    if (out == nullptr)
        return -1;
    const int32_t s1 = switches != nullptr ? switches->iSwitch2 : -1;
    *out = {0, s1, 0, 0};

    int product = g_iKove8Product.load();
    if (product < 0)
    {
        // The first line, at most 89 characters; a missing file counts as another product.
        product = 0;
        if (FILE* file = fopen(PlatPath(std::string("/tmp/qorProdName.txt")).c_str(), "r"))
        {
            char line[90] = {};
            if (fgets(line, sizeof line, file) != nullptr)
            {
                line[strcspn(line, "\r\n")] = 0;
                product = FoIsKove8ProductName(line) ? 1 : 0;
            }
            fclose(file);
        }
        g_iKove8Product.store(product);
    }

    if (product == 1)
    {
        out->iMode = 2;
        out->iParam2 = (s1 >= 1 && s1 <= 8) ? 1 : 0;
    }
    else
    {
        out->iMode = 19;
    }
    return 0;
}
