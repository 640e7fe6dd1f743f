// Which software versions belong together. The updater leaves the compatibility list in
// "/tmp/Compatibility.xml" (restored from flash at start on hardware family 2); from it the hub
// takes the installed firmware version, and against it the hub checks the software version
// that each module driver reports. Without a list every module counts as compatible, and the
// firmware version comes from the version stamp at the end of the boot image.
#include "QTXSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXFlashRecord.h"
#include "xmlParser.h"

namespace
{
// Sources of the boot image's version stamp, in the order they are tried; the stamp is the
// last 128 bytes, of which the first 15 are read.
const char* const kStampSources[] = {"/dev/mtd_boot", "/dev/mtd_bootimg",
                                     "/qorBin/qorImageVersion.bin"};
constexpr off_t kStampBytes = 128;
constexpr size_t kStampTextBytes = 15;

// A module whose firmware goes with every version.
const char kAlwaysCompatible[] = "qorKOVE-Z-TM";

std::string Text(const XMLNode& node)
{
    return CharPointerToString(node.getText());
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The root element of the list: the first element of the file that is not its declaration.
XMLNode ListRoot(const XMLNode& top)
{
    if (!top.getChildNode("OverallRelease").isEmpty() || !top.getChildNode("Modules").isEmpty())
        return top;
    for (int i = 0; i < top.nChildNode(); ++i)
    {
        XMLNode child = top.getChildNode(i);
        if (!child.isDeclaration())
            return child;
    }
    return XMLNode();
}
} // namespace

std::string FirmwareVersionFromStamp(const char* stamp, size_t length)
{
    if (stamp == nullptr || length < kStampTextBytes)
        return "";
    for (size_t i = 0; i < 7; ++i)
        if (!IsDigit(stamp[i]))
            return "";
    std::string version = std::string("v") + stamp[0] + stamp[1] + "." + stamp[2] + stamp[3] + "." +
                          stamp[4] + stamp[5] + stamp[6];
    if (stamp[7] == '-' && IsDigit(stamp[8]) && IsDigit(stamp[9]) && IsDigit(stamp[10]))
    {
        // The release-candidate number without leading zeros; its last digit always.
        size_t first = 8;
        while (first < 10 && stamp[first] == '0')
            ++first;
        version += "-RC" + std::string(stamp + first, 11 - first);
    }
    return version;
}

std::string ReadBootImageVersion()
{
    for (const char* source : kStampSources)
    {
        const bool device = std::string(source).compare(0, 5, "/dev/") == 0;
        const std::string path = device ? std::string(source) : PlatPath(std::string(source));
        const int fd = PlatOpen(path.c_str(), O_RDONLY);
        if (fd < 0)
            continue;
        char stamp[kStampTextBytes] = {};
        const off_t end = PlatLseek(fd, 0, SEEK_END);
        size_t read = 0;
        if (end >= kStampBytes && PlatLseek(fd, end - kStampBytes, SEEK_SET) == end - kStampBytes)
            read = FlashReadFully(fd, stamp, sizeof stamp);
        PlatClose(fd);
        return FirmwareVersionFromStamp(stamp, read);
    }
    return "";
}

void LoadCompatibilityList(CSystem* system, const std::string& path)
{
    system->bCompatibilityListLoaded = false;
    XMLResults results;
    const XMLNode top = XMLNode::openFileHelper(PlatPath(path).c_str(), nullptr, &results);
    const XMLNode root =
        results.error == eXMLErrorNone && !top.isEmpty() ? ListRoot(top) : XMLNode();
    if (root.isEmpty())
    {
        // No list: only when nothing is known yet, the firmware version comes from the boot
        // image.
        if (system->vCompatibilityList.empty())
            system->vCompatibilityList.push_back({"", ReadBootImageVersion()});
        return;
    }

    std::vector<CompatibilityEntry> list;
    const XMLNode overall = root.getChildNode("OverallRelease");
    std::string version;
    if (!overall.isEmpty())
        version = "v" + Text(overall.getChildNode("Version")) + "." +
                  Text(overall.getChildNode("SubVersion")) + "." +
                  Text(overall.getChildNode("Build"));
    list.push_back({"", version});
    const XMLNode modules = root.getChildNode("Modules");
    int nextModule = 0;
    for (XMLNode module = modules.getChildNode("Module", &nextModule); !module.isEmpty();
         module = modules.getChildNode("Module", &nextModule))
    {
        const std::string name = Text(module.getChildNode("Name"));
        int nextVersion = 0;
        for (XMLNode entry = module.getChildNode("Version", &nextVersion); !entry.isEmpty();
             entry = module.getChildNode("Version", &nextVersion))
            list.push_back({name, Text(entry)});
    }
    system->vCompatibilityList = list;
    system->bCompatibilityListLoaded = true;
}

std::string GetCompatibilityVersion(CSystem* system, const std::string& name)
{
    for (const CompatibilityEntry& entry : system->vCompatibilityList)
        if (SameString(entry.sName, name))
            return entry.sVersion;
    return "";
}

bool IsCompatible(CSystem* system, const std::string& name, const std::string& version)
{
    if (!system->bCompatibilityListLoaded || SameString(name, kAlwaysCompatible))
        return true;
    for (const CompatibilityEntry& entry : system->vCompatibilityList)
        if (SameString(entry.sName, name) && SameString(entry.sVersion, version))
            return true;
    return false;
}
