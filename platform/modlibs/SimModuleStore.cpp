// Files of the simulated modules: EEPROM, SPI flash and flash file system per slot. Every
// file that holds state is replaced atomically (written beside its name, then renamed), and
// a process works on a slot only while it holds the slot's lock.
#include "SimModuleStore.h"

#include "KoveSimConfig.h"
#include "KoveSimDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr uint32_t kFlashFileAlign = 0x1000;
constexpr uint32_t kEepromImageBytes = 512;
// A line of the table that marks a free entry.
const char kFreeEntry[] = "free";

bool ReadAll(const std::string& path, std::string* out)
{
    out->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    char buffer[65536];
    for (;;)
    {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        out->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// The production record a new module carries: serial number at 16, name at 32, ordering
// number at 64, hardware version at 128, firmware version at 130, checksum at 508.
std::string NewEeprom(int slot)
{
    std::string image(kSimEepromBytes, '\xFF');
    std::fill(image.begin(), image.begin() + kEepromImageBytes, '\0');
    auto put = [&image](size_t at, const std::string& text)
    { image.replace(at, text.size(), text); };
    char serial[16];
    snprintf(serial, sizeof serial, "%06d", 100000 + slot);
    put(16, serial);
    put(32, "SimModule" + std::to_string(slot));
    put(64, "30.000001");
    put(128, "01");
    put(130, "010000");
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kEepromImageBytes - 4; ++i)
        sum += (static_cast<uint8_t>(image[i]) + 0x65) & 0xFF;
    for (int i = 0; i < 4; ++i)
        image[kEepromImageBytes - 4 + i] = static_cast<char>(sum >> (8 * i));
    return image;
}

// The flash file system a module leaves the factory with: its golden FPGA image (entry 0,
// the one it falls back to) and a first user image (entry 1, the one an update replaces).
struct SFactoryFile
{
    uint32_t uAddress;
    const char* pName;
    const char* pTime;
};
const SFactoryFile kFactoryFiles[] = {{0x00000, "Golden_Fpga.bin", "07:30:01"},
                                      {0x80000, "User_Fpga.bin", "07:30:02"}};

// Lays down the factory files; the table goes last, so that it names only files that are there.
bool SeedFileSystem(const std::string& dir, int slot)
{
    std::string table;
    uint32_t id = 0;
    for (const SFactoryFile& f : kFactoryFiles)
    {
        const std::string data = std::string(f.pName) + " of SimModule" + std::to_string(slot);
        if (SimWriteFileAtomic(dir + "/plvfs/" + std::to_string(id) + ".bin", data) != 0)
            return false;
        table += std::to_string(id) + "\t" + std::to_string(f.uAddress) + "\t" +
                 std::to_string(data.size()) + "\tA0\t2001-01-31\t" + f.pTime + "\t" + f.pName +
                 "\n";
        ++id;
    }
    return SimWriteFileAtomic(dir + "/plvfs/table", table) == 0;
}

bool SafeName(const std::string& name)
{
    if (name.empty() || name.size() >= 166)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}
} // namespace

bool CSimModuleSlot::Present(int slot)
{
    std::shared_ptr<const SSimConfig> cfg = SimConfig();
    return cfg && cfg->iSetupError == 0 && Present(cfg->sDir, slot);
}

bool CSimModuleSlot::Present(const std::string& dir, int slot)
{
    if (slot < 0 || slot > 15)
        return false;
    SSimDescription desc;
    if (SimReadDescription(dir, &desc, nullptr) != 0)
        return false;
    return (desc.uSlotMask >> slot) & 1u;
}

CSimModuleSlot::CSimModuleSlot(int slot)
{
    std::shared_ptr<const SSimConfig> cfg = SimConfig();
    if (cfg && cfg->iSetupError == 0)
        Open(cfg->sDir, slot);
}

CSimModuleSlot::CSimModuleSlot(const std::string& dir, int slot)
{
    Open(dir, slot);
}

void CSimModuleSlot::Open(const std::string& dir, int slot)
{
    if (!Present(dir, slot))
        return;
    m_sDir = dir + "/dev/module" + std::to_string(slot);
    if (SimMakeDirs(m_sDir + "/plvfs") != 0)
        return;
    const int fd = open((m_sDir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
        {
            close(fd);
            return;
        }
    m_iLockFd = fd;
    // A module seen for the first time: the production record and the flash file system it
    // came with.
    struct stat st;
    if ((stat((m_sDir + "/eeprom.bin").c_str(), &st) != 0 &&
         SimWriteFileAtomic(m_sDir + "/eeprom.bin", NewEeprom(slot)) != 0) ||
        (stat((m_sDir + "/plvfs/table").c_str(), &st) != 0 && !SeedFileSystem(m_sDir, slot)))
    {
        close(m_iLockFd);
        m_iLockFd = -1;
    }
}

CSimModuleSlot::~CSimModuleSlot()
{
    if (m_iLockFd >= 0)
        close(m_iLockFd);
}

bool CSimModuleSlot::ReadEeprom(uint32_t address, uint8_t* out, uint32_t length)
{
    std::string image;
    if (!Usable() || static_cast<uint64_t>(address) + length > kSimEepromBytes ||
        !ReadAll(m_sDir + "/eeprom.bin", &image) || image.size() != kSimEepromBytes)
        return false;
    memcpy(out, image.data() + address, length);
    return true;
}

bool CSimModuleSlot::WriteEeprom(uint32_t address, const uint8_t* data, uint32_t length)
{
    std::string image;
    if (!Usable() || static_cast<uint64_t>(address) + length > kSimEepromBytes ||
        !ReadAll(m_sDir + "/eeprom.bin", &image) || image.size() != kSimEepromBytes)
        return false;
    image.replace(address, length, reinterpret_cast<const char*>(data), length);
    return SimWriteFileAtomic(m_sDir + "/eeprom.bin", image) == 0;
}

bool CSimModuleSlot::ReadFlash(uint32_t address, uint8_t* out, uint32_t length)
{
    std::string flash;
    if (!Usable() || static_cast<uint64_t>(address) + length > kSimSpiFlashBytes ||
        !ReadAll(m_sDir + "/spiflash.bin", &flash))
        return false;
    memset(out, 0xFF, length);
    if (address < flash.size())
    {
        const size_t have = flash.size() - address;
        memcpy(out, flash.data() + address, have < length ? have : length);
    }
    return true;
}

bool CSimModuleSlot::WriteFlash(uint32_t address, const uint8_t* data, uint32_t length)
{
    std::string flash;
    const uint64_t end = static_cast<uint64_t>(address) + length;
    if (!Usable() || end > kSimSpiFlashBytes || !ReadAll(m_sDir + "/spiflash.bin", &flash))
        return false;
    if (length == 0)
        return true;
    // Erase whole blocks, as the flash does, then program.
    const uint64_t blockStart = address & ~static_cast<uint64_t>(0xFFFF);
    const uint64_t blockEnd = (end + 0xFFFF) & ~static_cast<uint64_t>(0xFFFF);
    if (flash.size() < blockEnd)
        flash.resize(blockEnd, '\xFF');
    std::fill(flash.begin() + blockStart, flash.begin() + blockEnd, '\xFF');
    flash.replace(address, length, reinterpret_cast<const char*>(data), length);
    return SimWriteFileAtomic(m_sDir + "/spiflash.bin", flash) == 0;
}

bool CSimModuleSlot::PatchFlash(uint32_t address, const uint8_t* data, uint32_t length)
{
    std::string flash;
    const uint64_t end = static_cast<uint64_t>(address) + length;
    if (!Usable() || end > kSimControllerFlashBytes || !ReadAll(m_sDir + "/spiflash.bin", &flash))
        return false;
    if (length == 0)
        return true;
    if (flash.size() < end)
        flash.resize(end, '\xFF');
    if (data == nullptr)
        std::fill(flash.begin() + address, flash.begin() + end, '\xFF');
    else
        flash.replace(address, length, reinterpret_cast<const char*>(data), length);
    return SimWriteFileAtomic(m_sDir + "/spiflash.bin", flash) == 0;
}

bool CSimModuleSlot::EraseFlashRange(uint32_t address, uint32_t length)
{
    return PatchFlash(address, nullptr, length);
}

bool CSimModuleSlot::ProgramFlash(uint32_t address, const uint8_t* data, uint32_t length)
{
    return data != nullptr && PatchFlash(address, data, length);
}

bool CSimModuleSlot::Ram(std::string* image)
{
    if (!Usable() || !ReadAll(m_sDir + "/ram.bin", image))
        return false;
    if (image->empty())
    {
        // A module that was never touched: cleared RAM, and the temperature it measures.
        image->assign(kSimRamBytes, '\0');
        const uint16_t temperature = static_cast<uint16_t>(kSimRamDefaultTemperature);
        (*image)[kSimRamTemperature] = static_cast<char>(temperature & 0xFF);
        (*image)[kSimRamTemperature + 1] = static_cast<char>(temperature >> 8);
    }
    return image->size() == kSimRamBytes;
}

bool CSimModuleSlot::ReadRam(uint32_t address, uint8_t* out, uint32_t length)
{
    std::string image;
    if (static_cast<uint64_t>(address) + length > kSimRamBytes || !Ram(&image))
        return false;
    if (length > 0)
        memcpy(out, image.data() + address, length);
    return true;
}

bool CSimModuleSlot::WriteRam(uint32_t address, const uint8_t* data, uint32_t length)
{
    std::string image;
    if (static_cast<uint64_t>(address) + length > kSimRamBytes || !Ram(&image))
        return false;
    if (length > 0)
        image.replace(address, length, reinterpret_cast<const char*>(data), length);
    return SimWriteFileAtomic(m_sDir + "/ram.bin", image) == 0;
}

bool CSimModuleSlot::Reset(const uint8_t* record, uint32_t length)
{
    if (!Usable() || (record == nullptr && length > 0))
        return false;
    std::string line;
    char byte[4];
    for (uint32_t i = 0; i < length; ++i)
    {
        snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", record[i]);
        line += byte;
    }
    line += '\n';
    return AppendLine("resets.log", line);
}

bool CSimModuleSlot::NoteBlockRecord(uint32_t address, uint32_t length, uint32_t dataLength)
{
    if (!Usable())
        return false;
    char line[40];
    snprintf(line, sizeof line, "%X %X %X\n", address, length, dataLength);
    return AppendLine("blockwrites.log", line);
}

bool CSimModuleSlot::AppendLine(const char* log, const std::string& line)
{
    const int fd =
        open((m_sDir + "/" + log).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    return close(fd) == 0 && written;
}

bool CSimModuleSlot::LoadTable(std::vector<SSimPlvFile>* entries)
{
    entries->clear();
    std::string text;
    if (!Usable() || !ReadAll(m_sDir + "/plvfs/table", &text))
        return false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
    {
        SSimPlvFile file;
        if (line == kFreeEntry)
        {
            file.bFree = true;
            entries->push_back(file);
            continue;
        }
        std::istringstream fields(line);
        std::string id, address, size;
        if (!std::getline(fields, id, '\t') || !std::getline(fields, address, '\t') ||
            !std::getline(fields, size, '\t') || !std::getline(fields, file.sVersion, '\t') ||
            !std::getline(fields, file.sDate, '\t') || !std::getline(fields, file.sTime, '\t') ||
            !std::getline(fields, file.sName))
            return false;
        file.uId = static_cast<uint32_t>(strtoul(id.c_str(), nullptr, 10));
        file.uAddress = static_cast<uint32_t>(strtoul(address.c_str(), nullptr, 10));
        file.uSize = static_cast<uint32_t>(strtoul(size.c_str(), nullptr, 10));
        entries->push_back(file);
    }
    return true;
}

bool CSimModuleSlot::ListFiles(std::vector<SSimPlvFile>* files)
{
    std::vector<SSimPlvFile> entries;
    files->clear();
    if (!LoadTable(&entries))
        return false;
    for (const SSimPlvFile& f : entries)
        if (!f.bFree)
            files->push_back(f);
    return true;
}

bool CSimModuleSlot::SaveTable(std::vector<SSimPlvFile> entries)
{
    // A free entry at the end keeps no place.
    while (!entries.empty() && entries.back().bFree)
        entries.pop_back();
    std::string text;
    for (const SSimPlvFile& f : entries)
        text += f.bFree ? std::string(kFreeEntry) + "\n"
                        : std::to_string(f.uId) + "\t" + std::to_string(f.uAddress) + "\t" +
                              std::to_string(f.uSize) + "\t" + f.sVersion + "\t" + f.sDate + "\t" +
                              f.sTime + "\t" + f.sName + "\n";
    return SimWriteFileAtomic(m_sDir + "/plvfs/table", text) == 0;
}

bool CSimModuleSlot::ReadFile(const std::string& name, std::vector<uint8_t>* data)
{
    std::vector<SSimPlvFile> files;
    if (!ListFiles(&files))
        return false;
    for (const SSimPlvFile& f : files)
    {
        if (f.sName != name)
            continue;
        std::string bytes;
        if (!ReadAll(m_sDir + "/plvfs/" + std::to_string(f.uId) + ".bin", &bytes) ||
            bytes.size() != f.uSize)
            return false;
        data->assign(bytes.begin(), bytes.end());
        return true;
    }
    return false;
}

bool CSimModuleSlot::WriteFile(const std::string& name, const std::string& version,
                               const uint8_t* data, uint32_t length)
{
    std::vector<SSimPlvFile> entries;
    if (!SafeName(name) || !LoadTable(&entries))
        return false;
    // The entry of a file of the same name, else the first free one, else a new one at the end.
    size_t place = entries.size();
    for (size_t i = 0; i < entries.size() && place == entries.size(); ++i)
        if (!entries[i].bFree && entries[i].sName == name)
            place = i;
    for (size_t i = 0; i < entries.size() && place == entries.size(); ++i)
        if (entries[i].bFree)
            place = i;
    if (place < entries.size() && !entries[place].bFree)
    {
        unlink((m_sDir + "/plvfs/" + std::to_string(entries[place].uId) + ".bin").c_str());
        entries[place].bFree = true;
    }
    // The bytes go behind the last file in the flash.
    SSimPlvFile file;
    uint64_t end = 0;
    for (const SSimPlvFile& f : entries)
    {
        if (f.bFree)
            continue;
        file.uId = f.uId >= file.uId ? f.uId + 1 : file.uId;
        const uint64_t fileEnd = static_cast<uint64_t>(f.uAddress) + f.uSize;
        end = fileEnd > end ? fileEnd : end;
    }
    end = (end + kFlashFileAlign - 1) / kFlashFileAlign * kFlashFileAlign;
    if (end + length > kSimSpiFlashBytes)
        return false;
    file.uAddress = static_cast<uint32_t>(end);
    file.uSize = length;
    file.sVersion = version.substr(0, 2);
    file.sVersion.resize(2, ' ');
    for (char& c : file.sVersion)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    const time_t now = time(nullptr);
    struct tm parts;
    gmtime_r(&now, &parts);
    char date[16], clock[16];
    strftime(date, sizeof date, "%Y-%m-%d", &parts);
    strftime(clock, sizeof clock, "%H:%M:%S", &parts);
    file.sDate = date;
    file.sTime = clock;
    file.sName = name;
    if (SimWriteFileAtomic(m_sDir + "/plvfs/" + std::to_string(file.uId) + ".bin",
                           std::string(reinterpret_cast<const char*>(data), length)) != 0)
        return false;
    if (place < entries.size())
        entries[place] = file;
    else
        entries.push_back(file);
    return SaveTable(entries);
}

bool CSimModuleSlot::DeleteFile(const std::string& name)
{
    std::vector<SSimPlvFile> entries;
    if (!LoadTable(&entries))
        return false;
    for (SSimPlvFile& f : entries)
        if (!f.bFree && f.sName == name)
        {
            const uint32_t id = f.uId;
            f = SSimPlvFile();
            f.bFree = true;
            if (!SaveTable(entries))
                return false;
            unlink((m_sDir + "/plvfs/" + std::to_string(id) + ".bin").c_str());
            return true;
        }
    return false;
}

bool CSimModuleSlot::Defragment()
{
    std::vector<SSimPlvFile> entries;
    if (!LoadTable(&entries))
        return false;
    uint32_t address = 0;
    for (SSimPlvFile& f : entries)
    {
        if (f.bFree)
            continue;
        f.uAddress = address;
        address = (address + f.uSize + kFlashFileAlign - 1) / kFlashFileAlign * kFlashFileAlign;
    }
    return SaveTable(entries);
}

bool CSimModuleSlot::Format()
{
    std::vector<SSimPlvFile> files;
    if (!ListFiles(&files) || !SaveTable({}))
        return false;
    for (const SSimPlvFile& f : files)
        unlink((m_sDir + "/plvfs/" + std::to_string(f.uId) + ".bin").c_str());
    return true;
}
