// What the plug-in modules of a simulated device keep: per slot an EEPROM, an SPI flash and
// the flash file system on it, all in files of the device directory, shared by every
// process of the device:
//
//   dev/module<slot>/eeprom.bin       EEPROM (SimEepromBytes); a new one holds a valid
//                                     production record of the module
//   dev/module<slot>/spiflash.bin     SPI flash (SimSpiFlashBytes); bytes beyond the end
//                                     of the file read as erased (0xFF)
//   dev/module<slot>/ram.bin          the module controller's RAM (SimRamBytes); a new
//                                     one is zero but for the temperature word
//   dev/module<slot>/plvfs/table      the flash file system's table of entries, one a line:
//                                     id, flash address, size, version, date, time, name;
//                                     or "free" for an entry whose file was deleted (the
//                                     directory lists the files in the table's order). A
//                                     new module holds its golden FPGA image
//                                     "Golden_Fpga.bin" (entry 0) and a user image
//                                     "User_Fpga.bin" (entry 1)
//   dev/module<slot>/plvfs/<id>.bin   the bytes of each file
//   dev/module<slot>/resets.log       one line per reset command the module got: the bytes of
//                                     its record in hexadecimal ("FF 00")
//   dev/module<slot>/blockwrites.log  one line per block record the flash library got: the
//                                     head's address and length and the length of the
//                                     record's data, in hexadecimal ("10000 100 10000")
//   dev/module<slot>/.lock            held while a process works on the slot
//
// A slot is filled when device.conf lists it (slots=); an empty slot has none of this and
// refuses every request. Used by the stand-ins of the module libraries.
#ifndef SIM_MODULE_STORE_H
#define SIM_MODULE_STORE_H

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kSimEepromBytes = 1024;
constexpr uint32_t kSimSpiFlashBytes = 16u << 20;
// The part of the SPI flash that the controller's own commands reach.
constexpr uint32_t kSimControllerFlashBytes = 4u << 20;
constexpr uint32_t kSimRamBytes = 2304;
// The controller keeps the module's temperature in 1/100 degree Celsius (signed 16 bits,
// little-endian) at this RAM address; a new module reads 35.00 degrees.
constexpr uint32_t kSimRamTemperature = 0xAE;
constexpr int16_t kSimRamDefaultTemperature = 3500;

// One file of a module's flash file system.
struct SSimPlvFile
{
    uint32_t uId = 0;
    uint32_t uAddress = 0;
    uint32_t uSize = 0;
    std::string sVersion; // 2 characters
    std::string sDate;    // "YYYY-MM-DD"
    std::string sTime;    // "hh:mm:ss"
    std::string sName;
    bool bFree = false; // an entry of the table whose file was deleted
};

// One slot of the simulated device, with its files locked for the object's lifetime.
class CSimModuleSlot
{
public:
    // The slot of this process's simulated device, or of the device in dir.
    explicit CSimModuleSlot(int slot);
    CSimModuleSlot(const std::string& dir, int slot);
    ~CSimModuleSlot();
    CSimModuleSlot(const CSimModuleSlot&) = delete;
    CSimModuleSlot& operator=(const CSimModuleSlot&) = delete;

    // True when the device is simulated, the slot holds a module and its files can be used.
    bool Usable() const { return m_iLockFd >= 0; }

    bool ReadEeprom(uint32_t address, uint8_t* out, uint32_t length);
    bool WriteEeprom(uint32_t address, const uint8_t* data, uint32_t length);

    bool ReadFlash(uint32_t address, uint8_t* out, uint32_t length);
    // Erases every 64 KiB block the range touches, then programs the data.
    bool WriteFlash(uint32_t address, const uint8_t* data, uint32_t length);

    // The controller's commands on the first kSimControllerFlashBytes of the flash: erase
    // sets exactly the range to 0xFF, program writes the bytes as they are.
    bool EraseFlashRange(uint32_t address, uint32_t length);
    bool ProgramFlash(uint32_t address, const uint8_t* data, uint32_t length);

    bool ReadRam(uint32_t address, uint8_t* out, uint32_t length);
    bool WriteRam(uint32_t address, const uint8_t* data, uint32_t length);

    // A reset command of the controller: the module restarts, which leaves nothing of the
    // files behind; the record is noted, so that tests can see who reset the module and how.
    bool Reset(const uint8_t* record, uint32_t length);
    // Notes a block record of the flash library: its head's address and length, and how many
    // bytes of data it carried.
    bool NoteBlockRecord(uint32_t address, uint32_t length, uint32_t dataLength);

    bool ListFiles(std::vector<SSimPlvFile>* files);
    bool ReadFile(const std::string& name, std::vector<uint8_t>* data);
    // Stores the file in the entry of a file of the same name (which it replaces), else in
    // the first free entry, else in a new entry at the end: a deleted file leaves its place in
    // the directory to the next file written, as the user FPGA image of entry 1 does when an
    // update replaces it. The bytes go behind the last file in the flash.
    bool WriteFile(const std::string& name, const std::string& version, const uint8_t* data,
                   uint32_t length);
    // Deletes the file; its entry stays free for the next file written.
    bool DeleteFile(const std::string& name);
    // Moves the files together from address 0, in their order; free entries stay.
    bool Defragment();
    bool Format();

    // Whether slot is one of the filled slots of the simulated device (of this process, or
    // the one in dir).
    static bool Present(int slot);
    static bool Present(const std::string& dir, int slot);

private:
    void Open(const std::string& dir, int slot);
    // The table with its free entries.
    bool LoadTable(std::vector<SSimPlvFile>* entries);
    bool SaveTable(std::vector<SSimPlvFile> entries);
    // Replaces length bytes of the flash at address with data (0xFF when data is null).
    bool PatchFlash(uint32_t address, const uint8_t* data, uint32_t length);
    bool Ram(std::string* image);
    // Appends a line to one of the slot's logs.
    bool AppendLine(const char* log, const std::string& line);

    std::string m_sDir;
    int m_iLockFd = -1;
};

#endif
