// Vocabularies that all drivers share: the hardware family of the device, the product table
// (module id to product name, nick name and ordering number) and the module states that the
// system driver keeps per registered module and merges into one global state.
#ifndef QTX_PRODUCT_H
#define QTX_PRODUCT_H

#include <cstdint>

#include "QTXConvert.h"

// Hardware family of the device, derived from the FPGA identification (three ASCII letters in
// the low 24 bits of the word at bus address 0, first letter in the lowest byte). Codes 1, 12
// and 13 are never derived; callers may still compare against them.
enum _QTXHWFamily : int
{
    QTX_HW_FAMILY_UNKNOWN = 0,
    QTX_HW_FAMILY_880 = 2, // identification 0x880000 or 0x990000
    QTX_HW_FAMILY_WAG = 3,
    QTX_HW_FAMILY_KV4 = 4,
    QTX_HW_FAMILY_PDP = 5,
    QTX_HW_FAMILY_VME = 6,
    QTX_HW_FAMILY_LIO = 7,
    QTX_HW_FAMILY_KV8 = 8,
    QTX_HW_FAMILY_CLK = 9,
    QTX_HW_FAMILY_PNA = 10, // the bus-monitor variant
    QTX_HW_FAMILY_DAQ = 11, // also every driver that runs in simulation
    QTX_HW_FAMILY_EIP = 14
};

// Family of an FPGA identification word; only its low 24 bits count. QTX_HW_FAMILY_UNKNOWN for
// an identification that names no family.
_QTXHWFamily HWFamilyFromFpgaId(uint32_t fpgaWord);

// Determines the family from the word read at absolute bus address 0. A simulating driver is
// always QTX_HW_FAMILY_DAQ and leaves the variant table alone; otherwise the hardware-variant row
// of the identification is selected (SetFpgaDependence) and the family is mapped from the word.
// Caching is the caller's: an unknown family is to be determined again on the next request.
_QTXHWFamily SelectHWFamily(uint32_t fpgaWord, bool simulating);

// Mask of the hex switches that count on a family (bit 0 switch 1 .. bit 3 switch 4).
int GetHwFamilyHexSwitchType(_QTXHWFamily family);

// Product table: three tables over the module ids 1 to 55 in the same row order, each ended by
// a row with a null name and the value 0. A lookup by text takes the first matching row.
extern const Item_t aModuleNameList[];
extern const Item_t aModuleNickNameList[];
extern const Item_t aModuleOrderingNumberList[];

// Text of a module id; "***ERROR***" for an unknown id.
const char* GetProductName(int id);
const char* GetModuleNic(int id);
const char* GetModuleOrderNumber(int id);

// Module id of a whole text compared without regard to case; 0 when not found.
int GetModuleFromProductName(const char* name);
int GetModuleFromNic(const char* nic);
int GetModuleFromOrderNumber(const char* orderNumber);

// State of a module as the system driver keeps it.
enum _QTXMODULE_STATE : int
{
    QTX_MODULE_UNKNOWN = 0,
    QTX_MODULE_BOOTING = 1,
    QTX_MODULE_RUNNING = 2,
    QTX_MODULE_ERROR = 3,
    QTX_MODULE_FATALERROR = 4,
    QTX_MODULE_UNKNOWNMODULE = 5
};

// "Unknown", "Booting", "Running", "Error", "FatalError", "UnknownModule"; ended by a null name
// with the value 0 (Unknown).
extern const Item_t aQTXModuleStateItemList[];

// Name of a state; "***ERROR***" for a value outside the table.
const char* QTXModuleState2String(_QTXMODULE_STATE state);
// State of a name compared without regard to case; QTX_MODULE_UNKNOWN when it names no state.
_QTXMODULE_STATE String2QTXModuleState(const char* text);

// True for Running and Error: a driver in these states answers requests.
bool StateAllowsCommunication(_QTXMODULE_STATE state);

// Merges one module's state into the global state of the device. The global state starts as
// Unknown and takes every module in turn: Unknown leaves it, Booting and Error win while it is
// below Error, Running wins only over Unknown, FatalError always wins and UnknownModule wins
// over everything but FatalError. A module state outside the table gives Unknown; a global
// state outside the table counts as Unknown.
_QTXMODULE_STATE ModuleState2GlobalState(_QTXMODULE_STATE global, _QTXMODULE_STATE module);

#endif
