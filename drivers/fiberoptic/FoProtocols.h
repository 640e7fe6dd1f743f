// The fiber-optic protocols, the settings record of the fiber-optic driver and its
// configuration document.
//
// Every setting names its input and its output protocol by a row of one constant table,
// aFoProtocols; the row numbers are fixed (the hex-switch tables of the hardware layer return
// them as mode numbers). A FiberOptic configuration document is read and checked into a
// FoSettings record; the functions here depend only on the framework's document classes, so
// that the parser can be tested and fuzzed on its own.
#ifndef FO_PROTOCOLS_H
#define FO_PROTOCOLS_H

#include <cstdint>

#include "QTXConvert.h"

class CQTXXml;

// One fiber-optic protocol.
struct FoProtocol_t
{
    const char* name;
    uint32_t ulModeCode;      // value of the mode register
    uint32_t ulSpeedClass;    // value of the speed register (256, 768, 1024, 2816)
    uint32_t ulFrameRegister; // value of the frame register, 0 where unused
    int32_t iPeriod;          // cycle period in microseconds
    int32_t iPayload;         // payload in bytes, -1 = taken from the settings
    int32_t iSpeed;           // 0, 3 or 32: the value of the speed properties
    int32_t iFrames;          // the frames column (0 for Flex and rows without one)
};

constexpr int FO_PROTOCOL_ROWS = 23;
constexpr int FO_PROTOCOL_OFF = 0;
constexpr int FO_PROTOCOL_3M = 1;
constexpr int FO_PROTOCOL_KOVE8 = 2;
constexpr int FO_PROTOCOL_FLEX = 19;
constexpr int FO_PROTOCOL_RING_FIRST = 20;
constexpr int FO_PROTOCOL_RING_LAST = 22;
constexpr int FO_SLOTS = 16;
// Slot value of a setting meant for every node 1..15 (the node's slot from its switches).
constexpr int32_t FO_SLOT_ANY_NODE = -16;

extern const FoProtocol_t aFoProtocols[FO_PROTOCOL_ROWS];
// Default per-slot payload lengths of the flex master mode: 214 for slot 0, 192 for the others.
extern const int32_t MasterDefaultFlexFrame[FO_SLOTS];
// "32" = 32, "3.3" = 3, "0" = 0; any other text gives -1.
extern const Item_t aFoSpeedItems[];

// Accessors that take any row number; a negative number counts as above 22. Mode code 0x40 (Off)
// and 0 for the other columns beyond the table.
uint32_t FoModeCode(int row);
uint32_t FoSpeedClass(int row);
uint32_t FoFrameRegister(int row);
int32_t FoPeriod(int row);
int32_t FoPayload(int row);
// Speed and frames through the optional out-parameters; 0, or -1 (both 0) beyond the table.
int FoSpeedAndFrames(int row, int32_t* speed, int32_t* frames);
bool FoIsRing(int row);
bool FoIs3M(int row);

// The 32 Mbit protocol row of a frames value of the document, -1 for a value it does not know.
int FoProtocolOfFrames(int32_t frames);
// The frames value that names the row in a document: the ring codes for the rings, the frames
// column for the other rows.
int32_t FoDocumentFramesOfRow(int row);

// One complete fiber-optic setting, every field a 32-bit signed integer.
struct FoSettings
{
    int32_t iValid; // 1 = passed the checks
    int32_t iInputProtocol;
    int32_t iOutputProtocol;
    int32_t iOutputPeriod;
    int32_t iLength;
    int32_t iSlot;
    int32_t iMasterModePeriod;
    int32_t aiMasterModeLength[FO_SLOTS];
    int32_t aiMasterModeClassTimes[2];
    int32_t aiMasterModeDeviceClasses[FO_SLOTS];
    // Filled only by settings derived from hex switches.
    int32_t iFirstSlot;
    int32_t iSlotCount;
    int32_t iModeFlags;
};

// All fields 0.
FoSettings FoZeroSettings();
// The built-in default: not valid, Flex both ways, slot -16, master mode with a period of 1000,
// the default flex frame and class times 1 and 1.
FoSettings FoBuiltInDefault();

// Reads and checks the properties of a FiberOptic configuration document (the root's own
// property list) into out. Every finding is written onto its property; with any finding the
// document also gets the "WrongParameter" error. True (and out.iValid 1) when nothing was found.
bool ParseAndCheckConfigIntern(CQTXXml& document, FoSettings& out);

// Applies the module lock to new settings for slot 0 while current settings are in force:
// 0 leaves them, 1 keeps the current input, 2 keeps the current output (each rewritten into the
// document, with a warning); any other value refuses the new settings (-1, with an error in the
// document).
int ApplyLockToSettings(CQTXXml& document, const FoSettings& current, FoSettings& settings,
                        int lock);

#endif
