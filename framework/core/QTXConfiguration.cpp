// Stored configurations (ten numbered sets per driver), the copy of the factory defaults over
// them, the user configuration from the system driver and the module's identity stamp.
//
// Every file that a restart needs is replaced as a whole: the new content is written beside
// the old file and then renamed over it, so a failed write never leaves a cut file behind.
#include "QTX.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "QTXMessages.h"
#include "QTXProduct.h"
#include "QTXStringFile.h"

std::string sEepromFileName = "EEProm.bin";

namespace
{
constexpr size_t kCopyBlockBytes = 4096;
// Number of configuration sets of a driver.
constexpr int kConfigurationSets = 10;

// Identity stamp in the module's EEPROM image.
constexpr size_t kStampImageBytes = 512;
constexpr size_t kStampSerialNumber = 16;
constexpr size_t kStampProductName = 32;
constexpr size_t kStampOrderNumber = 64;
constexpr size_t kStampHwVersion = 128;
constexpr size_t kStampSwVersion = 130;
// Module drivers in slots 0 to 4 carry a stamp.
constexpr uint32_t kStampFirstPort = 62100;
constexpr uint32_t kStampLastPort = 62104;

constexpr int kSystemTimeoutMs = 1000;
constexpr unsigned short kGetUserConfigTag = 27;

bool EndsWith(const std::string& text, const std::string& ending)
{
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes a file's data and its directory entry through to the storage, so that a rename that
// follows publishes complete content.
void SyncFile(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        fsync(fd);
        close(fd);
    }
}

// The text from `offset` up to its terminating zero, never beyond the end of the image.
std::string StampText(const unsigned char* image, size_t offset, size_t length)
{
    const char* text = reinterpret_cast<const char*>(image + offset);
    return std::string(text, strnlen(text, length));
}
} // namespace

bool CQTX::ReplaceFile(const std::string& path,
                       const std::function<bool(const std::string&)>& write)
{
    // The fresh file is "..Store.<name>.XXXXXX" beside the file: a name with "..", which no
    // stored or user file has, so the start of a driver can tell what a cut store left behind
    // (see RemoveInterruptedStores), and a hidden one, which the configuration archive never
    // packs. A long name is shortened to fit the file system's bound for a name.
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t longest = NAME_MAX - strlen(QTX_STORE_TEMPORARY) - strlen(".XXXXXX");
    if (name.size() > longest)
        name.resize(longest);
    std::string temporary = directory + QTX_STORE_TEMPORARY + name + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0)
        return false;
    // The new file gets the mode of the one it replaces.
    struct stat old;
    fchmod(fd, stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    close(fd);

    if (!write(temporary))
    {
        unlink(temporary.c_str());
        return false;
    }
    SyncFile(temporary);
    if (rename(temporary.c_str(), path.c_str()) != 0)
    {
        unlink(temporary.c_str());
        return false;
    }
    SyncFile(DirectoryOf(path));
    return true;
}

void CQTX::RemoveInterruptedStores()
{
    if (ulPort == 0)
        return;
    // Only the fresh files of this driver's own configurations: another driver may be storing
    // its own at this moment. Files that end like the fresh files of earlier versions ("." and
    // six letters or digits behind the name) stay: a user's file can have such a name too.
    const std::string prefix =
        std::string(QTX_STORE_TEMPORARY) + "Config_" + std::to_string(ulPort) + "_";
    DIR* dir = opendir(sConfigurationDirectory.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        struct stat st;
        if (lstat((sConfigurationDirectory + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            stale.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : stale)
        if (unlink((sConfigurationDirectory + name).c_str()) == 0)
            WriteToLogfile("Removed " + name + ", left by an interrupted store");
}

std::string CQTX::StripSetNumber(const std::string& name) const
{
    // A set number is "_<digit>" right before a four-character extension.
    const size_t n = name.size();
    if (n < 6 || name[n - 6] != '_' || !isdigit(static_cast<unsigned char>(name[n - 5])))
        return name;
    const std::string stripped = name.substr(0, n - 6) + name.substr(n - 4);
    if (!sFileName.empty())
    {
        // The framework names set n "Config_<port>_<file name>_<n>.xml": the number is its own
        // when the name without it still ends with the file name; a name that ends with the
        // file name as it is belongs to a module whose name ends in "_<digit>".
        const std::string moduleEnding = "_" + sFileName + name.substr(n - 4);
        if (EndsWith(stripped, moduleEnding))
            return stripped;
        if (EndsWith(name, moduleEnding))
            return name;
    }
    return stripped;
}

std::string CQTX::GetConfigurationFileName(int& setIndex)
{
    return AddFileNumber(sConfigurationDirectory + "Config_" + std::to_string(ulPort) + "_" +
                             sFileName + ".xml",
                         setIndex);
}

std::string CQTX::GetFactorySettingFileName()
{
    return "FactoryDefault.xml";
}

std::string CQTX::GetDUFConfigurationFileName()
{
    return "ForDUF.xml";
}

bool CQTX::StoreConfiguration(const std::string& name, int setIndex)
{
    if (name.empty())
        return true;

    // The module-description sections of the document travel with the stored configuration.
    UpdateConfigurationFileXml("", false);

    const std::string path = FileNameToAbsolutePath(AddFileNumber(StripSetNumber(name), setIndex));
    CQTXCommandFile* document = pCurrentCommandFile;
    const bool stored =
        document != nullptr && ReplaceFile(path, [document](const std::string& file)
                                           { return document->StoreFile(file.c_str(), false); });
    if (!stored)
        SendErrorMessage(StoreConfigurationError(), false);
    return stored;
}

CQTXError CQTX::StoreConfigurationError()
{
    return CQTXError("ErrorWritingConfiguration", "Error while writeing the configuration file",
                     __FILE__, __LINE__, Error, "GeneralError");
}

void CQTX::CopyFactoryDefault(const std::string& factoryName, const std::string& configName)
{
    const std::string factory = FileNameToAbsolutePath(factoryName);
    const std::string config = FileNameToAbsolutePath(StripSetNumber(configName));
    for (int set = 0; set < kConfigurationSets; ++set)
    {
        const std::string copied = AddFileNumber(config, set);
        // A set without a factory file keeps its configuration.
        if (CopyFile(copied, AddFileNumber(factory, set)))
            UpdateConfigurationFileXml(copied, false);
    }
}

bool CQTX::CopyFile(const std::string& destination, const std::string& source)
{
    const std::string from = FileNameToAbsolutePath(source);
    const std::string to = FileNameToAbsolutePath(destination);

    FILE* in = fopen(from.c_str(), "rb");
    if (in == nullptr)
        return false;
    const bool copied = ReplaceFile(to,
                                    [in](const std::string& file)
                                    {
                                        FILE* out = fopen(file.c_str(), "wb");
                                        if (out == nullptr)
                                            return false;
                                        char block[kCopyBlockBytes];
                                        bool ok = true;
                                        size_t got;
                                        while (ok && (got = fread(block, 1, sizeof block, in)) > 0)
                                            ok = fwrite(block, 1, got, out) == got;
                                        ok = ok && !ferror(in);
                                        return (fclose(out) == 0) && ok;
                                    });
    fclose(in);
    return copied;
}

std::string CQTX::GetUserConfig()
{
    const std::string replyFile = FileNameToAbsolutePath("UsrCfg.xml");
    if (!SendStringToDriver(sXmlStart + "<GetUserConfig/>\n", kSystemTimeoutMs,
                            static_cast<int>(QTX_SYSTEM_PORT), replyFile))
        return "";

    CQTXXml reply;
    if (!reply.LoadFile(replyFile.c_str(), kGetUserConfigTag))
    {
        WriteToLogfile("GetUserConfig() failed");
        return "";
    }
    const char* value = reply.GetXMLNodeRoot().getAttribute("Value");
    return value != nullptr ? value : "";
}

void CQTX::ProcessStampData()
{
    if (ulPort < kStampFirstPort || ulPort > kStampLastPort)
        return;

    // One byte more than the image, so that every text in it ends within the buffer.
    unsigned char image[kStampImageBytes + 1] = {};
    size_t got = 0;
    FILE* file = fopen(FileNameToAbsolutePath(sEepromFileName).c_str(), "rb");
    if (file != nullptr)
    {
        got = fread(image, 1, kStampImageBytes, file);
        fclose(file);
    }

    if (got == kStampImageBytes &&
        SameString(StampText(image, kStampProductName, kStampImageBytes - kStampProductName),
                   sModuleName))
    {
        sOrderNumber = StampText(image, kStampOrderNumber, kStampImageBytes - kStampOrderNumber);
        sSerialNumber = StampText(image, kStampSerialNumber, kStampImageBytes - kStampSerialNumber);
        sHwVersion = StampText(image, kStampHwVersion, 2);
        sSwVersion = StampText(image, kStampSwVersion, 2);
        return;
    }

    const int id = GetModuleFromProductName(sModuleName.c_str());
    if (id == 0)
        return;
    sOrderNumber = GetModuleOrderNumber(id);
    sSerialNumber = "0";
    sHwVersion = "--";
    sSwVersion = "--";
}
