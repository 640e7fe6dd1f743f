// The target description "Target.txt" of an update archive: which devices the archive fits and
// which parts it brings to them. Each line holds an ordering-number pattern, a second field, the
// part list and a fourth field (the second and fourth are not used); fields are separated by
// blanks. A "?" in the pattern matches any character of the device's ordering number; the first
// line whose pattern matches (without regard to case) decides.
#ifndef UPDATE_TARGET_H
#define UPDATE_TARGET_H

#include <string>
#include <vector>

struct STargetMatch
{
    bool bMatched = false;
    std::string sPattern; // of the matching line, else of the last line read
    std::string sParts;   // part list of the matching line
};

STargetMatch MatchTarget(const std::string& text, const std::string& orderingNumber);

// The entries of a part list ("a;b;<c;...", "." or empty for none), empty entries left out.
// noHwModuleUpdate tells whether the marker "<NoHwModuleUpdate>" was among them; it is not an
// entry itself.
std::vector<std::string> SplitPartList(const std::string& parts, bool& noHwModuleUpdate);

#endif
