// Fiber-optic protocol settings from the hex switches of a device.
//
// Several hardware families choose the fiber-optic protocol with the rotary hex switches on the
// front. For each of them a constant table maps switch positions to a protocol mode with up to
// three parameters; one function per family looks the current switch set up and finishes the
// row. The fiber-optic driver picks the function by hardware family and gives the mode numbers
// their meaning (they are rows of its protocol table).
//
// C-level functions: they return 0 or -1 and never throw. On -1 the settings hold the family's
// failure value, so the caller always gets defined settings.
#ifndef FO_PROT_SETTINGS_H
#define FO_PROT_SETTINGS_H

#include <cstdint>
#include <string>

#include "QTXMessages.h"

// A protocol mode with its three parameters.
struct _FO_MODE_SETTINGS
{
    int32_t iMode;
    int32_t iParam1;
    int32_t iParam2;
    int32_t iParam3;
};

// One table row: a switch pattern (-1 = any value) and the settings it selects.
struct _FO_MODE_HEXSWITCH
{
    int32_t aiPattern[4];
    _FO_MODE_SETTINGS tSettings;
};

extern const _FO_MODE_HEXSWITCH WagoFoProtHex[];
extern const int iWagoFoProtHexRows;
extern const _FO_MODE_HEXSWITCH VornexFoProtHex[];
extern const int iVornexFoProtHexRows;
extern const _FO_MODE_HEXSWITCH DPFoProtHex[];
extern const int iDPFoProtHexRows;
extern const _FO_MODE_HEXSWITCH IoEmbeddedFoProtHex[];
extern const int iIoEmbeddedFoProtHexRows;

// Index of the first of `count` rows that fits the switches, -1 when none does. A row fits when
// for each switch the pattern value and the switch value are equal or either is negative.
int SearchProtSettingsForHexs(const _FO_MODE_HEXSWITCH* rows, int count,
                              const _HEXSWITCH_SET* switches);

// The family functions: 0 with out filled from the found row, or -1 with out set to the family's
// failure value when no row fits or the row is refused. A null out or switch set gives -1.
int Wago_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches);
int Vornex_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches);
int DP_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches);
// Always the row of all four switches at 0; the switch set is not read.
int DP64_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches);
int IoEmbedded_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches);
// 3.3 Mbit (mode 2) on a device whose product name file "/tmp/qorProdName.txt" begins with
// "qorKOVE-8", Flex (mode 19) on every other; the file is read once per process. Always 0.
int Kove8_GetFoProtSettings(_FO_MODE_SETTINGS* out, const _HEXSWITCH_SET* switches);

// True when the first line of the product name file names the KOVE-8 product: it begins with
// "qorKOVE-8", compared without regard to case. A shorter line never matches.
bool FoIsKove8ProductName(const std::string& firstLine);

#endif
