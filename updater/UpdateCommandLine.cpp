// The updater's command line.
#include "UpdateCommandLine.h"

#include <cerrno>
#include <cstdlib>

#include "QTXConvert.h"

namespace
{
enum class Value
{
    None,
    Required
};

struct SOption
{
    const char* name;
    Value value;
};

const SOption kOptions[] = {
    {"SendProgressTo", Value::Required},
    {"Dir", Value::Required},
    {"File", Value::Required},
    {"ResultFile", Value::Required},
    {"Simulate", Value::None},
    {"NoBackup", Value::None},
    {"NoHDD", Value::None},
    {"Slot", Value::Required},
    {"Produce", Value::Required},
    {"Force", Value::None},
};
} // namespace

bool ParseSlotList(const std::string& value, uint32_t& mask)
{
    mask = 0;
    size_t start = 0;
    while (start <= value.size())
    {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos)
            comma = value.size();
        const std::string item = value.substr(start, comma - start);
        size_t digits = item.size() > 0 && item[0] == '-' ? 1 : 0;
        if (digits == item.size())
            return false;
        for (size_t i = digits; i < item.size(); ++i)
            if (item[i] < '0' || item[i] > '9')
                return false;
        errno = 0;
        const long long number = strtoll(item.c_str(), nullptr, 10);
        if (number < -1 && errno == 0)
            return false;
        if (errno == ERANGE && item[0] == '-')
            return false;
        // Numbers from 31 on name no slot of the mask; they set nothing.
        if (errno == 0 && number + 1 < 32)
            mask |= 1u << (number + 1);
        start = comma + 1;
    }
    return true;
}

bool ParseUpdateOptions(const std::vector<std::string>& arguments, SUpdateOptions& options,
                        std::string& bad)
{
    for (const std::string& argument : arguments)
    {
        if (argument.size() == 1 && argument[0] >= '0' && argument[0] <= '9')
        {
            options.vsIgnored.push_back(argument);
            continue;
        }
        bad = argument.empty() ? "\"\"" : argument;
        if (argument.empty() || argument[0] != '-')
            return false;
        const size_t equals = argument.find('=');
        const std::string name =
            argument.substr(1, equals == std::string::npos ? std::string::npos : equals - 1);
        const bool hasValue = equals != std::string::npos;
        const std::string value = hasValue ? argument.substr(equals + 1) : "";
        const SOption* option = nullptr;
        for (const SOption& candidate : kOptions)
            if (SameString(name, candidate.name))
                option = &candidate;
        if (option == nullptr || (option->value == Value::None && hasValue) ||
            (option->value == Value::Required && value.empty()))
            return false;

        if (SameString(name, "SendProgressTo"))
        {
            options.bProgress = true;
            options.sProgressTo = value;
        }
        else if (SameString(name, "Dir"))
            options.sDirectory = value;
        else if (SameString(name, "File"))
            options.sFile = value;
        else if (SameString(name, "ResultFile"))
            options.sResultFile = value;
        else if (SameString(name, "Simulate"))
            options.bSimulate = true;
        else if (SameString(name, "NoBackup"))
            options.bNoBackup = true;
        else if (SameString(name, "NoHDD"))
            options.uSlotMask &= ~1u;
        else if (SameString(name, "Slot"))
        {
            if (!ParseSlotList(value, options.uSlotMask))
                return false;
        }
        else if (SameString(name, "Produce"))
        {
            options.bProduce = true;
            options.sProduce = value;
        }
        else if (SameString(name, "Force"))
            options.bForce = true;
    }
    bad.clear();
    return true;
}

std::string UpdateUsageText(const std::string& program, const SUpdateOptions& defaults)
{
    std::string text;
    text += "Syntax: " + program + " [options]\n";
    text += "Starts an update on this system. By default, everything is updated.\n";
    text += "The following [options] can be used:\n";
    text += "  -SendProgressTo=<UDP port> to send progress reports to the given UDP port\n";
    text += "                       Default is not to send any progress report\n";
    text += "  -simulate to simulate the update, but without changeing any file\n";
    text += "            Default is to run in real mode\n";
    text += "  -dir=<Directory> to change the directory.\n";
    text += "                   Default is " + defaults.sDirectory + "\n";
    text += "  -file=<UpdateFile> for the name of the update file\n";
    text += "                     Default is " + defaults.sFile + "\n";
    text += "  -NoBackup to delete \"*.beforeUpdate\"-files generated during update\n";
    text += "  -ResultFile=<FileName> to write the result in the selected file\n";
    text += "                         Default is " + defaults.sResultFile + "\n";
    text += "  -Slot=<SlotList> to update only the slots contained in the slot list.\n";
    text += "                   The slot list conains the slot numbers (or -1 for HDD), seperated "
            "with commas\n";
    text += "  -Force to update, even if the version fits\n";
    return text;
}
