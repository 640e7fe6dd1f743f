// The control document of an update part, "Version_<part>.xml" in the part's directory of the
// archive: root element "Version" with "Files" groups in document order, each naming its type
// (HDD, Flash, Module, Execute, AVR), version, archive and destination directories, and its
// "File" children.
#ifndef UPDATE_CONTROL_H
#define UPDATE_CONTROL_H

#include <cstddef>
#include <string>
#include <vector>

class XMLNode;

struct SUpdateFileItem
{
    std::string sName; // the File element's text
    std::string sDestinationDir;
    bool bVerify = true;    // Verify="false" clears it
    bool bOverwrite = true; // Overwrite="false" clears it
    std::string sPlvType;   // "FPGA" or "File"
    std::string sImageName; // attribute Name
    std::string sVersion;
    std::string sFlash; // "AVR" for the module's AVR flash
    bool bSkipArgumentQuotes = false;
    std::vector<std::string> vsArguments; // Argument0, Argument1, ... up to the first missing
};

struct SUpdateGroup
{
    std::string sVersion;
    std::string sName;
    std::string sType;
    std::string sArchiveDir;
    std::string sDestinationDir;
    std::vector<SUpdateFileItem> vFiles;
};

// The groups of a loaded control document (its root element).
std::vector<SUpdateGroup> ReadControlDocument(const XMLNode& root);

// Parses a control document held in memory. False with the reason in why when it is not
// well-formed XML or has no root element "Version".
bool ParseControlDocument(const char* data, size_t length, std::vector<SUpdateGroup>& groups,
                          std::string& why);

// "<device>:<block size>" of a Flash group: false when there is no ":" followed by a decimal
// block size from 10 to 71680.
bool SplitFlashDestination(const std::string& destination, std::string& device, size_t& block);

#endif
