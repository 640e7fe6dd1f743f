// The target description "Target.txt".
#include "UpdateTarget.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

STargetMatch MatchTarget(const std::string& text, const std::string& orderingNumber)
{
    STargetMatch result;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        char pattern[12] = {};
        char second[32] = {};
        char parts[256] = {};
        char fourth[16] = {};
        if (sscanf(line.c_str(), "%11s %31s %255s %15s", pattern, second, parts, fourth) < 1)
            continue; // a blank line
        result.sPattern = pattern;
        // The "?" of this line's pattern stand for any character; the next line starts again
        // from the device's own number.
        std::string number = orderingNumber;
        for (size_t i = 0; i < number.size() && i < result.sPattern.size(); ++i)
            if (result.sPattern[i] == '?')
                number[i] = '?';
        if (strcasecmp(result.sPattern.c_str(), number.c_str()) == 0)
        {
            result.bMatched = true;
            result.sParts = parts;
            return result;
        }
    }
    return result;
}

std::vector<std::string> SplitPartList(const std::string& parts, bool& noHwModuleUpdate)
{
    noHwModuleUpdate = false;
    std::vector<std::string> entries;
    if (parts.empty() || parts == ".")
        return entries;
    size_t start = 0;
    while (start <= parts.size())
    {
        size_t semicolon = parts.find(';', start);
        if (semicolon == std::string::npos)
            semicolon = parts.size();
        const std::string entry = parts.substr(start, semicolon - start);
        start = semicolon + 1;
        if (entry.empty())
            continue;
        if (strcasecmp(entry.c_str(), "<NoHwModuleUpdate>") == 0)
            noHwModuleUpdate = true;
        else
            entries.push_back(entry);
    }
    return entries;
}
