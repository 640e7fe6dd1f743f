// The description of a simulated device: what hardware the directory stands
// for. It lives in <dir>/device.conf as plain text, one key=value per line:
//
//   family=KV8               FPGA identification word at bus address 0: three
//                            letters (KV8, WAG, PNA, ...) or 0xWORD (0x00880000)
//   hex=0,0,0,0              hex switches 1 to 4 in the order of the hex-switch
//                            record (0-15, 0-15, 0-15, 0-255); the hex-switch
//                            word is switch 2 | switch 1 << 4 | switch 3 << 8 |
//                            switch 4 << 12 (switch 2 is the unit number)
//   serial=12345             serial number (decimal)
//   order=10.000001          ordering number NN.NNNNNN
//   name=                    product name (at most 31 characters, may be empty)
//   slots=1,2                filled module slots (0-15, comma-separated, may be empty)
//   factory-button=off       the factory-default button, on or off
//
// Empty lines and lines starting with '#' are ignored; a missing key keeps its
// default (the values shown). Unknown keys, repeated keys and bad values are
// refused with the line number.
#ifndef KOVE_SIM_DESCRIPTION_H
#define KOVE_SIM_DESCRIPTION_H

#include <cstdint>
#include <string>

struct SSimDescription
{
    uint32_t uIdWord = 0x0038564B; // "KV8"
    uint8_t aHex[4] = {0, 0, 0, 0};
    uint32_t uSerial = 12345;
    std::string sOrder = "10.000001";
    std::string sName;
    uint32_t uSlotMask = (1u << 1) | (1u << 2);
    bool bFactoryButton = false;
};

// Name of the description file inside a device directory.
extern const char* const g_szSimDescriptionFile;

// Parsers of single values, as written in the file and on kovesim's command
// line. Each returns false with a sentence in err for a malformed value.
bool SimParseU32(const std::string& text, uint32_t* value);
bool SimParseFamily(const std::string& text, uint32_t* idWord, std::string* err);
bool SimParseHexSwitches(const std::string& text, uint8_t hex[4], std::string* err);
bool SimParseSerial(const std::string& text, uint32_t* serial, std::string* err);
bool SimParseOrder(const std::string& text, std::string* order, std::string* err);
bool SimParseName(const std::string& text, std::string* name, std::string* err);
bool SimParseSlots(const std::string& text, uint32_t* slotMask, std::string* err);
bool SimParseOnOff(const std::string& text, bool* on, std::string* err);

// Whole file text <-> description.
bool SimParseDescription(const std::string& text, SSimDescription* desc, std::string* err);
std::string SimFormatDescription(const SSimDescription& desc);

// "KV8" for an identification word of three letters or digits, else "0x%08X".
std::string SimFamilyName(uint32_t idWord);
// The hardware family code the drivers derive from the identification word
// (0 when it names no known family).
int SimFamilyCode(uint32_t idWord);

#endif
