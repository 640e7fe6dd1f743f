// The control document of an update part.
#include "UpdateControl.h"

#include "QTXConvert.h"
#include "QTXXml.h"
#include "UpdateFiles.h"

namespace
{
// Request code of the root element "Version" in the command-tag table.
constexpr unsigned short kVersionTag = 50;

std::string Attribute(const XMLNode& node, const char* name)
{
    return CharPointerToString(node.getAttribute(name));
}
} // namespace

std::vector<SUpdateGroup> ReadControlDocument(const XMLNode& root)
{
    std::vector<SUpdateGroup> groups;
    const int count = root.nChildNode("Files");
    for (int g = 0; g < count; ++g)
    {
        const XMLNode files = root.getChildNode("Files", g);
        SUpdateGroup group;
        group.sVersion = Attribute(files, "Version");
        group.sName = Attribute(files, "Name");
        group.sType = Attribute(files, "Type");
        group.sArchiveDir = Attribute(files, "ArchiveDir");
        group.sDestinationDir = Attribute(files, "DestinationDir");
        const int fileCount = files.nChildNode("File");
        for (int f = 0; f < fileCount; ++f)
        {
            const XMLNode file = files.getChildNode("File", f);
            SUpdateFileItem item;
            item.sName = CharPointerToString(file.getText());
            item.sDestinationDir = Attribute(file, "DestinationDir");
            item.bVerify = !SameString(Attribute(file, "Verify"), "false");
            item.bOverwrite = !SameString(Attribute(file, "Overwrite"), "false");
            item.sPlvType = Attribute(file, "PLVType");
            item.sImageName = Attribute(file, "Name");
            item.sVersion = Attribute(file, "Version");
            item.sFlash = Attribute(file, "Flash");
            item.bSkipArgumentQuotes = SameString(Attribute(file, "SkipArgumentQuotes"), "true");
            for (int a = 0;; ++a)
            {
                const char* argument = file.getAttribute(("Argument" + std::to_string(a)).c_str());
                if (argument == nullptr)
                    break;
                item.vsArguments.emplace_back(argument);
            }
            group.vFiles.push_back(item);
        }
        groups.push_back(group);
    }
    return groups;
}

bool ParseControlDocument(const char* data, size_t length, std::vector<SUpdateGroup>& groups,
                          std::string& why)
{
    groups.clear();
    CQTXXml document;
    if (!document.LoadBuffer(data, length, kVersionTag))
    {
        why = "not a well-formed document with the root element Version";
        return false;
    }
    groups = ReadControlDocument(document.GetXMLNodeRoot());
    return true;
}

bool SplitFlashDestination(const std::string& destination, std::string& device, size_t& block)
{
    const size_t colon = destination.rfind(':');
    if (colon == std::string::npos || colon + 1 >= destination.size() ||
        colon + 7 < destination.size())
        return false;
    size_t value = 0;
    for (size_t i = colon + 1; i < destination.size(); ++i)
    {
        if (destination[i] < '0' || destination[i] > '9')
            return false;
        value = value * 10 + static_cast<size_t>(destination[i] - '0');
    }
    if (value < 10 || value > MaxFlashBlockSize)
        return false;
    device = destination.substr(0, colon);
    block = value;
    return true;
}
