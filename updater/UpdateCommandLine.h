// The updater's command line: options "-Name" or "-Name=value", names compared in full without
// regard to case. A single digit is skipped (with a message); anything else that is no option
// known here is refused, and the caller shows the usage and stops with "Syntax error".
#ifndef UPDATE_COMMAND_LINE_H
#define UPDATE_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

// Slot mask: bit 0 the file system of the central unit ("HDD", slot -1), bit n + 1 module slot n.
constexpr uint32_t kDefaultSlotMask = 63;

struct SUpdateOptions
{
    bool bProgress = false;
    std::string sProgressTo; // -SendProgressTo=
    std::string sDirectory = "/tmp/Update";
    std::string sFile = "koveztm.qor";
    std::string sResultFile = "/tmp/Update.err";
    bool bSimulate = false;
    bool bNoBackup = false;
    bool bForce = false;
    uint32_t uSlotMask = kDefaultSlotMask;
    bool bProduce = false;
    std::string sProduce;               // the part name of every selected module slot
    std::vector<std::string> vsIgnored; // single digits that were skipped
};

// Reads the arguments (the program name left out). False with the offending argument in bad when
// one is refused; options then keeps what was read before it.
bool ParseUpdateOptions(const std::vector<std::string>& arguments, SUpdateOptions& options,
                        std::string& bad);

// The slot mask of a -Slot= value: comma-separated decimal numbers from -1 on (-1 for HDD); a
// number n sets bit n + 1 when that is below 32. False for an empty item, a text that is no
// number, or a number below -1.
bool ParseSlotList(const std::string& value, uint32_t& mask);

// The usage text, line by line, with the program name and the defaults filled in.
std::string UpdateUsageText(const std::string& program, const SUpdateOptions& defaults);

#endif
