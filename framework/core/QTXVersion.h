// Version information of the device: the version record a driver gathers from the system
// driver and the EEPROM image, and the two text forms of versions that the system shares:
// ordering numbers "NN.NNNNNN" and firmware versions "vA.B.C" with an optional "-xxN" part.
#ifndef QTX_VERSION_H
#define QTX_VERSION_H

#include <cstddef>
#include <cstdint>
#include <string>

// The driver's version record (CQTX::GetVersionInfo), 72 bytes, all zero until it is filled.
struct _QTXVersionInfo
{
    char acName[32];           // module name, NUL-terminated
    uint32_t ulOrderingNumber; // "A.B" read as A * 1000000 + B; 0 when unreadable
    uint32_t ulSerialNumber;
    uint32_t ulSwVersion; // FirmwareVersionToUINT32 form; 0 when unknown
    char acHwVersion[2];  // two characters, no terminator
    uint8_t ucHwVariant;  // EEPROM image byte 0x88, or 0
    uint8_t aucReserved1[3];
    uint8_t aucEepromId[6]; // EEPROM image bytes 0x90 to 0x95
    uint32_t ulFpgaVersion; // FPGA version word read from the bus
    uint8_t aucReserved2[4];
    uint8_t aucEepromInfo[8]; // EEPROM image bytes 0x98 to 0x9F
};

static_assert(sizeof(_QTXVersionInfo) == 72, "version record layout");
static_assert(offsetof(_QTXVersionInfo, ulOrderingNumber) == 32, "version record layout");
static_assert(offsetof(_QTXVersionInfo, acHwVersion) == 44, "version record layout");
static_assert(offsetof(_QTXVersionInfo, aucEepromId) == 50, "version record layout");
static_assert(offsetof(_QTXVersionInfo, ulFpgaVersion) == 56, "version record layout");
static_assert(offsetof(_QTXVersionInfo, aucEepromInfo) == 64, "version record layout");

// Number of a firmware version "vA.B.C" or "vA.B.C-xxN" (xx any two characters, for example
// "rc"): ((100000 * A + 1000 * B + C) << 8) + N, with N = 0 without the suffix and N limited
// to 0..255. 0 for a text that does not begin with "v" and three numbers separated by points,
// for a suffix that is only partly there, and for null.
uint32_t FirmwareVersionToUINT32(const char* text);

// Integer form of an ordering number of exactly nine characters "NN.NNNNNN": the eight digits
// read as one decimal number. Anything else prints "ERROR: corrupt order number" to standard
// output and gives 0.
uint32_t GetOrderingNumber(const unsigned char* text);

// "vAA.BB.CCC" of a firmware version number, with "-rcN" appended when N is not 0.
std::string FirmwareVersionToString(uint32_t version);

#endif
