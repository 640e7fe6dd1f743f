// Fuzz target: the updater's text inputs. The first byte selects the parser: the target
// description "Target.txt", the command line (one argument a line) or the control document of a
// part; the rest is its input. Whatever the bytes, each answers without a crash or an overrun.
#include "FuzzSupport.h"
#include "UpdateCommandLine.h"
#include "UpdateControl.h"
#include "UpdateFiles.h"
#include "UpdateTarget.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3)
    {
    case 0:
    {
        const STargetMatch match = MatchTarget(text, "52.374030");
        if (match.sPattern.size() > 11 || match.sParts.size() > 255)
            kovefuzz::Fail("a target field longer than its width");
        bool noHw = false;
        for (const std::string& entry : SplitPartList(match.sParts, noHw))
            if (entry.empty() || entry.find(';') != std::string::npos)
                kovefuzz::Fail("an empty or joined part entry");
        break;
    }
    case 1:
    {
        std::vector<std::string> arguments;
        size_t start = 0;
        while (start <= text.size())
        {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            arguments.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        SUpdateOptions options;
        std::string bad;
        if (!ParseUpdateOptions(arguments, options, bad) && bad.empty())
            kovefuzz::Fail("a refused command line without the argument");
        break;
    }
    default:
    {
        std::vector<SUpdateGroup> groups;
        std::string why;
        if (!ParseControlDocument(text.data(), text.size(), groups, why))
            break;
        for (const SUpdateGroup& group : groups)
        {
            std::string device;
            size_t block = 0;
            if (SplitFlashDestination(group.sDestinationDir, device, block) &&
                (block < 10 || block > MaxFlashBlockSize))
                kovefuzz::Fail("a block size out of range was taken");
            for (const SUpdateFileItem& file : group.vFiles)
                JoinPath(group.sArchiveDir, file.sName);
        }
        break;
    }
    }
    return 0;
}
