// The Update request: a PC tool has copied an update archive into "/tmp/Update/" and names it.
// The hub starts the update program with the archive and the options it needs, waits until it
// ends, reads its result file "/tmp/UpdateResult.txt" and answers; after a successful update it
// leaves a reboot pending, which the serving loop carries out. On hardware family 2 the update
// program is "update.exec" from the archive itself; the other families have an installed one,
// which takes the updater's options as one argument.
//
// The request's values never reach a shell: the archive must be a plain file name of the update
// directory and the progress address a.b.c.d:port, and every program runs from an argument
// vector. The "update.exec" that runs is a regular file unpacked from the archive into the update
// directory: one left from before is removed first, and a link (which could lead anywhere) is
// refused and neither made executable nor run.
#include "QTXSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXShell.h"
#include "SocPlain.h"
#include "SystemNetSetup.h"

namespace
{
const char kUpdateDirectory[] = "/tmp/Update/";
const char kResultFile[] = "/tmp/UpdateResult.txt";
const char kUpdater[] = "update.exec";
const char kInstalledUpdater[] = "/Applications/Halvane.exec";
const char kInstalledUpdaterFamily13[] = "/tmp/qor/Halvane.exec";
// The fiber-optic network whose addresses the device translates to its own side.
const char kNatPrefix[] = "172.16.";
const char kNatInterface[] = "ils0";
constexpr size_t kResultBytes = 995;

std::string Attribute(const XMLNode& node, const char* name)
{
    return CharPointerToString(node.getAttribute(name));
}

bool StartsWithWord(const std::string& text, const char* word)
{
    const std::string keyword = word;
    return text.size() >= keyword.size() && SameString(text.substr(0, keyword.size()), keyword);
}

// A file name directly in the update directory.
bool IsPlainFileName(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name[0] == '-')
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/')
            return false;
    return true;
}

// a.b.c.d:port with a port from 1 to 65535; the address comes back normalised.
bool ParseProgressAddress(const std::string& text, std::string& normalised)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon > 6)
        return false;
    const std::string port = text.substr(colon + 1);
    for (char c : port)
        if (c < '0' || c > '9')
            return false;
    const long number = strtol(port.c_str(), nullptr, 10);
    char address[16];
    if (number < 1 || number > 65535 ||
        soc_ipaddr_check_cpy(address, text.substr(0, colon).c_str()) < 0)
        return false;
    normalised = std::string(address) + ":" + std::to_string(number);
    return true;
}

// Makes the unpacked updater executable, when it is a regular file; a link is not followed.
// False when it is there but not a regular file.
bool MakeUpdaterExecutable(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT; // not unpacked: the run fails and the missing result says so
    struct stat status;
    const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (regular)
        fchmod(fd, 0555);
    close(fd);
    return regular;
}

// The result text, or false when the file cannot be read.
bool ReadResult(std::string& text)
{
    FILE* file = fopen(PlatPath(kResultFile).c_str(), "r");
    if (file == nullptr)
        return false;
    char buffer[kResultBytes];
    const size_t count = fread(buffer, 1, sizeof buffer, file);
    const bool ok = !ferror(file);
    fclose(file);
    // The text ends at a zero byte, as the program's C string does.
    text.assign(buffer, strnlen(buffer, count));
    return ok;
}
} // namespace

std::string TranslateProgressAddress(CQTX* driver, const std::string& address)
{
    if (address.compare(0, strlen(kNatPrefix), kNatPrefix) != 0)
        return address;
    uint32_t own = 0;
    if (IFInfoGetIPandMASK(kNatInterface, &own, nullptr) != 0)
    {
        driver->WriteToLogfile("NAT: can not get IP address");
        return address;
    }
    const size_t first = address.find('.');
    const size_t second = first == std::string::npos ? first : address.find('.', first + 1);
    if (second == std::string::npos)
    {
        driver->WriteToLogfile("NAT: didn't find 2nd dot in " + address);
        return address;
    }
    // The address is in network order: its first byte is the first octet.
    const unsigned char* octets = reinterpret_cast<const unsigned char*>(&own);
    const std::string translated =
        std::to_string(octets[0]) + "." + std::to_string(octets[1]) + address.substr(second);
    driver->WriteToLogfile("NAT translated progress address to " + translated);
    return translated;
}

std::vector<std::string> BuildUpdateCommand(int family, const std::string& file,
                                            const std::string& progress, bool force)
{
    std::vector<std::string> command;
    const std::string resultOption = std::string("-ResultFile=") + kResultFile;
    if (family == QTX_HW_FAMILY_880)
    {
        command = {PlatPath(std::string(kUpdateDirectory) + kUpdater), "-file=" + file,
                   std::string("-dir=") + kUpdateDirectory};
        if (!progress.empty())
            command.push_back("-SendProgressTo=" + progress);
        command.push_back(resultOption);
        if (force)
            command.push_back("-Force");
        return command;
    }
    // The installed program takes the updater's options as one argument.
    std::string options = "-p= ";
    if (!progress.empty())
        options += "-SendProgressTo=" + progress + " ";
    options += resultOption + " " + (force ? "-Force" : "");
    return {PlatPath(family == 13 ? kInstalledUpdaterFamily13 : kInstalledUpdater), "-e", options,
            std::string(kUpdateDirectory) + file};
}

void CSystem::ProcessUpdate()
{
    XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    const std::string file = Attribute(root, "File");
    if (file.empty())
        throw CQTXEXmlError("MissingFileName", "Attribute File is missing or empty", __FILE__,
                            __LINE__, Error);
    if (!IsPlainFileName(file))
        throw CQTXEXmlError("WrongFileName",
                            "Attribute File must name a file in the directory /tmp/Update/",
                            __FILE__, __LINE__, Error);
    std::string progress = Attribute(root, "SendProgressTo");
    if (!progress.empty() && !ParseProgressAddress(progress, progress))
        throw CQTXEXmlError("WrongAddress",
                            "Attribute SendProgressTo must be an address a.b.c.d:port", __FILE__,
                            __LINE__, Error);

    bFastBlinking = true;
    WriteToLogfile("Starting system update >>>");
    const int family = GetHWFamily();
    const std::string directory = PlatPath(std::string(kUpdateDirectory));
    if (family == QTX_HW_FAMILY_880)
    {
        // The updater travels in the archive; a failure shows in the result file.
        const std::string updater = directory + kUpdater;
        unlink(updater.c_str());
        ExecuteProgram({"unzip", "-o", "-qq", directory + file, kUpdater, "-d", directory}, true);
        if (!MakeUpdaterExecutable(updater))
        {
            unlink(updater.c_str());
            bFastBlinking = false;
            WriteToLogfile("<<< system update refused: update.exec is not a regular file");
            throw CQTXError("UpdateFailed", "update.exec in the archive is not a regular file",
                            __FILE__, __LINE__, Error, "GeneralError");
        }
    }
    progress = TranslateProgressAddress(this, progress);
    unlink(PlatPath(kResultFile).c_str());

    ExecuteProgram(BuildUpdateCommand(family, file, progress, true), true);
    WriteToLogfile("<<< system update finished");
    std::string result;
    bool read = ReadResult(result);
    if (read && StartsWithWord(result, "Syntax error"))
    {
        // The program refused its arguments: once more without forcing.
        ExecuteProgram(BuildUpdateCommand(family, file, progress, false), true);
        read = ReadResult(result);
    }
    if (!read)
    {
        bFastBlinking = false;
        throw CQTXError("UpdateFailed", "Update process failed", __FILE__, __LINE__, Error,
                        "GeneralError");
    }
    if (!StartsWithWord(result, "Update done"))
    {
        bFastBlinking = false;
        throw CQTXError("UpdateFailed", result.empty() ? "Unknown error" : result, __FILE__,
                        __LINE__, Error, "GeneralError");
    }

    const char* noReset = getenv("NORESET_AFTER_UPDATE");
    if (noReset != nullptr && SameString(noReset, "YES"))
    {
        root.updateAttribute("UserResetNeeded", nullptr, "Status");
        bFastBlinking = false;
        return;
    }
    root.updateAttribute("Done", nullptr, "Status");
    WriteToLogfile("Reboot after update pending");
    bRebootPending = true;
}
