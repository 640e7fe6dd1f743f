// The EEPROM and SPI flash actions of qtx: module EEPROMs copied to and from files, the
// production record shown and edited (of a module, of the CPU's production partition or of a
// file), a record turned into the older layout, and parts of a module's SPI flash copied to and
// from files.
//
// Everything goes through the module libraries (ModuleMemory.h). Lengths and addresses are
// checked before anything is sent, and every failed transfer fails the action.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "KovePlatform.h"
#include "ModuleMemory.h"
#include "QTXConvert.h"
#include "QTXTools.h"

namespace
{
constexpr int kEepromBytes = 0x400; // EEPROM of a module controller
constexpr int kEepromTimeoutMs = 1000;
constexpr int kFirstModuleSlot = 1;
constexpr int kLastModuleSlot = 4;
constexpr int kSerialSlots = 10; // slot + 10: through the serial port
constexpr int kFlashBlock = 65536;
constexpr int kFlashAnswerBytes = 16;

// Where the fields of the production record lie.
constexpr int kDateAt = 4;
constexpr int kSerialAt = 16;
constexpr int kNameAt = 32;
constexpr int kOrderAt = 64;
constexpr int kProductionIdAt = 96;
constexpr int kHwVersionAt = 128;
constexpr int kFwVersionAt = 130;
constexpr int kPatchIdAt = 132;
constexpr int kHwMarkerAt = 136;
constexpr int kUpdateMarkerAt = 137;
constexpr int kFpgaMarkerAt = 138;
constexpr int kMacAt = 144;
constexpr int kUnusedAt = 160;
constexpr int kUnusedBytes = 256;
constexpr int kFixedBlockAt = 416;
constexpr int kFlashSizeAt = 507;
constexpr unsigned char kFlashSizeCode1MB = 20;
constexpr unsigned char kFlashSizeCodeLast = 30;

// What menu entry 0 writes behind the unused area, up to the flash size code (which it keeps).
const unsigned char aFixedBlock[] = {
    0x03, 0x56, 0x20, 0x20, 0x03, 0x56, 0x20, 0x20, 0x03, 0x56, 0x20, 0x20, 0x03, 0x56, 0x20, 0x20,
    0x03, 0x56, 0x20, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x82, 0xB0, 0x43, 0x20,
    0x94, 0x11, 0xB8, 0x0B, 0xCA, 0x08, 0x38, 0x04, 0x80, 0x3E, 0x00, 0x00, 0x00, 0x00, 0xF4, 0x01,
    0x7C, 0x15, 0xA5, 0x10, 0xBE, 0x0A, 0x28, 0x05, 0x00, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x58, 0x1B,
    0x8C, 0x19, 0xA5, 0x10, 0xC6, 0x0C, 0xC6, 0x0C, 0x8C, 0xA8, 0x00, 0x00, 0x00, 0x00, 0xF0, 0xFF,
    0x70, 0x17, 0x64, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00};
static_assert(sizeof aFixedBlock == kFlashSizeAt - kFixedBlockAt, "fixed block of 91 bytes");

// The SPI flash actions move their blocks through this buffer.
unsigned char a64kBuffer[kFlashBlock];

void PutLe(unsigned char* out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A line of standard input of at most size - 1 characters, after the prompt was shown.
std::string ConsoleLine(int size)
{
    std::fflush(stdout);
    std::vector<char> buffer(static_cast<size_t>(size), '\0');
    ReadConsoleLine(buffer.data(), size);
    return buffer.data();
}

// Shows the prompt and reads a line of at most size - 1 characters into a field of the record.
void PromptField(const char* prompt, unsigned char* field, int size)
{
    std::printf("%s", prompt);
    std::fflush(stdout);
    ReadConsoleLine(reinterpret_cast<char*>(field), size);
}

// Whether a text is a whole number of the base (blanks around it allowed); its value in
// *value, which must fit in 32 bits.
bool WholeNumber(const std::string& text, int base, long* value)
{
    const char* start = text.c_str();
    while (*start == ' ' || *start == '\t')
        ++start;
    if (*start == '\0' || *start == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(start, &end, base);
    if (end == start || errno != 0 || number < INT32_MIN || number > INT32_MAX)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r')
        ++end;
    if (*end != '\0')
        return false;
    *value = number;
    return true;
}

char DateDigit(unsigned char c)
{
    return c >= '0' && c <= '9' ? static_cast<char>(c) : '?';
}

// ---- EEPROM transfers

bool EepromArguments(int slot, int length)
{
    if (slot < kFirstModuleSlot || slot > kLastModuleSlot)
    {
        ToolError("Wrong slot number, must be between %d and 4\n", kFirstModuleSlot);
        return false;
    }
    if (length < 1)
    {
        ToolError("Wrong buffer length, must be positive (>= 1)\n");
        return false;
    }
    if (length > kEepromBytes)
    {
        ToolError("Wrong buffer length, the EEPROM holds %d bytes\n", kEepromBytes);
        return false;
    }
    return true;
}

bool CopyEepromToFile(int slot, const std::string& name, int length)
{
    if (!EepromArguments(slot, length))
        return false;
    std::vector<unsigned char> buffer(static_cast<size_t>(length));
    if (!EepromRead(buffer.data(), length, 0, slot, kEepromTimeoutMs, false))
    {
        ToolError("Hardware error while reading Eeprom\n");
        return false;
    }
    ToolFile file(std::fopen(name.c_str(), "wb"));
    if (!file)
    {
        ToolError("Can not open file \"%s\"\n", name.c_str());
        return false;
    }
    if (std::fwrite(buffer.data(), 1, buffer.size(), file.get()) != buffer.size() ||
        std::fclose(file.release()) != 0)
    {
        ToolError("Can not write file \"%s\"\n", name.c_str());
        return false;
    }
    return true;
}

// ---- The record editor

// Reads the record of a source: exactly 512 bytes from its start.
bool ReadRecord(const std::string& path, const std::string& shown, unsigned char* record)
{
    ToolFile file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fread(record, 1, kEepromRecordSize, file.get()) != kEepromRecordSize)
    {
        ToolError("Can not read file \"%s\"\n", shown.c_str());
        return false;
    }
    return true;
}

bool StoreRecord(const std::string& path, const std::string& shown, unsigned char* record)
{
    EepromCheck(record, kEepromRecordSize, true);
    ToolFile file(std::fopen(path.c_str(), "r+b"));
    if (!file || std::fwrite(record, 1, kEepromRecordSize, file.get()) != kEepromRecordSize ||
        std::fclose(file.release()) != 0)
    {
        ToolError("Can not store in file \"%s\"\n", shown.c_str());
        return false;
    }
    return true;
}

void EditDate(unsigned char* record)
{
    std::printf("Enter date and time in the formst YYYY-MM-YY hh:mm or 0 to use current date and "
                "time: ");
    CEepromDate date;
    switch (ParseEepromDate(ConsoleLine(64), &date))
    {
    case EEPROM_DATE_NOW:
    {
        const time_t now = std::time(nullptr);
        struct tm local;
        if (now == static_cast<time_t>(-1) || localtime_r(&now, &local) == nullptr)
        {
            ToolError("Can not get system time - please do it manually!\n");
            return;
        }
        date.iYear = local.tm_year + 1900;
        date.iMonth = local.tm_mon + 1;
        date.iDay = local.tm_mday;
        date.iHour = local.tm_hour;
        date.iMinute = local.tm_min;
        break;
    }
    case EEPROM_DATE_FIELDS:
        break;
    case EEPROM_DATE_WRONG:
        ToolError("Wrong format - date and time are unchanged. Please try again \n");
        return;
    }
    // A year up to 2000 leaves the date as it is.
    if (date.iYear > 2000 && !StoreEepromDate(record, date))
        ToolError("Wrong format - date and time are unchanged. Please try again \n");
}

void EditVersions(unsigned char* record)
{
    // Each entry's terminating zero lands on the next field and is overwritten by its entry;
    // the last one's would land on the hardware marker, which stays as it was.
    const unsigned char marker = record[kHwMarkerAt];
    PromptField("HW-Version: ", record + kHwVersionAt, 3);
    PromptField("FW-Version: ", record + kFwVersionAt, 3);
    PromptField("FW Patch-ID: ", record + kPatchIdAt, 5);
    record[kHwMarkerAt] = marker;
}

void EditMarkers(unsigned char* record)
{
    const struct
    {
        const char* pPrompt;
        int iBase;
        int iAt;
    } markers[] = {{"Enter HW marker: ", 10, kHwMarkerAt},
                   {"Enter Update marker: ", 10, kUpdateMarkerAt},
                   {"Enter FPGA family marker: ", 16, kFpgaMarkerAt}};
    for (const auto& marker : markers)
    {
        std::printf("%s", marker.pPrompt);
        int value = 0;
        if (!ParseEepromMarker(ConsoleLine(32), marker.iBase, &value))
        {
            ToolError("Wrong input, please try abain with a number between 0 and 255\n");
            return;
        }
        record[marker.iAt] = static_cast<unsigned char>(value);
    }
}

void EditMac(unsigned char* record)
{
    std::printf("Enter MAC address as 12 digit hex number: ");
    unsigned char mac[6];
    const int bad = ParseEepromMac(ConsoleLine(13), mac);
    if (bad != 0)
    {
        ToolError("Error in digit %d - input is ignored. Please try again\n", bad);
        return;
    }
    std::memcpy(record + kMacAt, mac, sizeof mac);
}

void EditFlashSize(unsigned char* record)
{
    std::printf("Please enter the Flash size  in MByte (one out of 1, 2, 4, 8, 16): ");
    long size = 0;
    if (WholeNumber(ConsoleLine(32), 10, &size))
        for (int code = 0; code <= 4; ++code)
            if (size == 1L << code)
            {
                record[kFlashSizeAt] = static_cast<unsigned char>(kFlashSizeCode1MB + code);
                return;
            }
    ToolError("Illegal number, size is not changed.\n");
}

// The menu character: blanks, control characters and anything above 'z' are skipped; the
// end of input means x.
int MenuChoice()
{
    std::fflush(stdout);
    int c = std::getchar();
    while (c != EOF && (c <= ' ' || c > 'z'))
        c = std::getchar();
    return c == EOF ? 'x' : c;
}

// Shows (and with edit, edits) the record of a source file; shown is its name in messages.
bool ViewRecord(const std::string& path, const std::string& shown, bool edit)
{
    unsigned char record[kEepromRecordSize];
    if (!ReadRecord(path, shown, record))
        return false;
    // The texts of a damaged record end within their fields.
    for (int at : {kNameAt - 1, kOrderAt - 1, kProductionIdAt - 1, kHwVersionAt - 1})
        record[at] = 0;
    // The checksum line tells about the source as it was read; w makes the checksum right.
    const bool checksumOk = EepromCheck(record, kEepromRecordSize, false);
    for (;;)
    {
        std::printf("%s", EepromRecordText(record, checksumOk).c_str());
        if (!edit)
            return true;
        std::printf(" (0) Overwrite unused areas\n");
        std::printf(" (w) Update checksum, write to file and exit\n");
        std::printf(" (x) Exit without saving the changes\n");
        std::printf("What do you want to do? ");
        const int choice = MenuChoice();
        switch (choice)
        {
        case '0':
            std::memset(record + kUnusedAt, 0, kUnusedBytes);
            std::memcpy(record + kFixedBlockAt, aFixedBlock, sizeof aFixedBlock);
            break;
        case '1':
            EditDate(record);
            break;
        case '2':
            PromptField("Enter serial number (typically 6 digits): ", record + kSerialAt, 16);
            break;
        case '3':
            PromptField("Enter module name: ", record + kNameAt, 32);
            break;
        case '4':
            PromptField("Enter odering number (format xx.yyyyyy): ", record + kOrderAt, 32);
            break;
        case '5':
            PromptField("Enter production ID: ", record + kProductionIdAt, 32);
            break;
        case '6':
            EditVersions(record);
            break;
        case '7':
            EditMarkers(record);
            break;
        case '8':
            EditMac(record);
            break;
        case '9':
            EditFlashSize(record);
            break;
        case 'w':
        case 'W':
            return StoreRecord(path, shown, record);
        case 'x':
        case 'X':
            return true;
        default:
            ToolError("Unknown input: \"%c\". Please try again\n", choice);
            break;
        }
    }
}

// ---- SPI flash

// The slot of an SPI flash action: false (said why) for the serial path and for slots that
// are no module slot.
bool FlashSlot(int slot, const char* serialMessage)
{
    if (slot >= kSerialSlots)
    {
        ToolError("%s\n", serialMessage);
        return false;
    }
    if (slot < 0 || slot > kLastModuleSlot)
    {
        ToolError("Wrong slot number, must be between %d and 4\n", 0);
        return false;
    }
    return true;
}

// Module command 16: the word the flash calls of the slot are handed.
bool FlashWord(int slot, int* word)
{
    unsigned char answer[kFlashAnswerBytes] = {0};
    const bool answered = SrwCommand(SRW_SPI_FLASH_PARAMETERS, nullptr, 0, answer, sizeof answer,
                                     sizeof answer, 0, slot);
    SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot);
    if (!answered)
    {
        ToolError("ERROR: Module command 16 failed on slot %d\n", slot);
        return false;
    }
    *word = static_cast<int>(static_cast<uint32_t>(answer[12]) | answer[13] << 8 |
                             answer[14] << 16 | static_cast<uint32_t>(answer[15]) << 24);
    return true;
}

// A flash range from start: no negative number, and its end within 32 bits.
bool FlashRange(int32_t start, int64_t length)
{
    if (start >= 0 && length >= 0 && start + length <= INT32_MAX)
        return true;
    ToolError("ERROR: wrong start address or length\n");
    return false;
}

void Progress(char c)
{
    std::putchar(c);
    std::fflush(stdout);
}
} // namespace

// ---- Record view and entries

std::string EepromFlashSizeText(unsigned char code)
{
    char text[32];
    if (code >= kFlashSizeCode1MB && code <= kFlashSizeCodeLast)
        std::snprintf(text, sizeof text, "%d MByte", 1 << (code - kFlashSizeCode1MB));
    else
        std::snprintf(text, sizeof text, "unknown (0x%02X)", code);
    return text;
}

std::string EepromRecordText(const unsigned char* record, bool checksumOk)
{
    // The texts are cut at the end of their fields, whatever the record holds.
    auto field = [record](int at, int size)
    {
        const char* text = reinterpret_cast<const char*>(record + at);
        return std::string(text, strnlen(text, static_cast<size_t>(size)));
    };
    const unsigned char* d = record + kDateAt;
    const unsigned char* v = record + kHwVersionAt;
    const unsigned char* mac = record + kMacAt;
    std::string text;
    char line[160];
    text += "\n";
    std::snprintf(line, sizeof line, " (1) Change production date: %c%c%c%c-%c%c-%c%c %c%c:%c%c\n",
                  DateDigit(d[4]), DateDigit(d[5]), DateDigit(d[6]), DateDigit(d[7]),
                  DateDigit(d[2]), DateDigit(d[3]), DateDigit(d[0]), DateDigit(d[1]),
                  DateDigit(d[8]), DateDigit(d[9]), DateDigit(d[10]), DateDigit(d[11]));
    text += line;
    text += " (2) Change serial number  : " + field(kSerialAt, 16) + "\n";
    text += " (3) Change name           : " + field(kNameAt, 32) + "\n";
    text += " (4) Change ordering number: " + field(kOrderAt, 32) + "\n";
    text += " (5) Change production-ID  : " + field(kProductionIdAt, 32) + "\n";
    // Version characters that cannot be shown (the zero behind a short entry) as blanks.
    auto chars = [](const unsigned char* at, int count)
    {
        std::string shown;
        for (int i = 0; i < count; ++i)
            shown += at[i] >= 0x20 && at[i] < 0x7F ? static_cast<char>(at[i]) : ' ';
        return shown;
    };
    text += " (6) Change version        : HW=" + chars(v, 2) + ", FW=" + chars(v + 2, 2) + "." +
            chars(v + 4, 4) + "\n";
    std::snprintf(line, sizeof line,
                  " (7) Change Markers        : HW=%d, Update=%d, FPGAFamily=%d\n",
                  record[kHwMarkerAt], record[kUpdateMarkerAt], record[kFpgaMarkerAt]);
    text += line;
    std::snprintf(line, sizeof line, " (8) Change MAC address    : %02X%02X%02X%02X%02X%02X\n",
                  mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    text += line;
    text += " (9) Change Flash size     : " + EepromFlashSizeText(record[kFlashSizeAt]) + "\n";
    text += std::string(" --- Flash Checksum is       ") + (checksumOk ? "OK" : "CORRUPT") + "\n";
    return text;
}

EepromDateEntry ParseEepromDate(const std::string& line, CEepromDate* date)
{
    // Five numbers of at most 4 digits with their separators, or a single 0.
    int values[5] = {0};
    const char separators[5] = {'-', '-', ' ', ':', '\0'};
    size_t i = 0;
    auto blanks = [&]
    {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
    };
    blanks();
    int count = 0;
    for (; count < 5; ++count)
    {
        size_t digits = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 5)
        {
            values[count] = values[count] * 10 + (line[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 4)
            return EEPROM_DATE_WRONG;
        if (count == 0)
        {
            size_t rest = i;
            while (rest < line.size() &&
                   (line[rest] == ' ' || line[rest] == '\t' || line[rest] == '\r'))
                ++rest;
            if (rest == line.size())
                return values[0] == 0 ? EEPROM_DATE_NOW : EEPROM_DATE_WRONG;
        }
        if (separators[count] == ' ')
        {
            if (i >= line.size() || (line[i] != ' ' && line[i] != '\t'))
                return EEPROM_DATE_WRONG;
            blanks();
        }
        else if (separators[count] != '\0')
        {
            if (i >= line.size() || line[i] != separators[count])
                return EEPROM_DATE_WRONG;
            ++i;
        }
    }
    blanks();
    if (i != line.size())
        return EEPROM_DATE_WRONG;
    date->iYear = values[0] < 100 ? values[0] + 2000 : values[0];
    date->iMonth = values[1];
    date->iDay = values[2];
    date->iHour = values[3];
    date->iMinute = values[4];
    return EEPROM_DATE_FIELDS;
}

bool StoreEepromDate(unsigned char* record, const CEepromDate& date)
{
    if (date.iYear < 2001 || date.iYear > 9999 || date.iMonth < 1 || date.iMonth > 12 ||
        date.iDay < 1 || date.iDay > 31 || date.iHour < 0 || date.iHour > 23 || date.iMinute < 0 ||
        date.iMinute > 59)
        return false;
    char digits[13];
    std::snprintf(digits, sizeof digits, "%02d%02d%04d%02d%02d", date.iDay, date.iMonth, date.iYear,
                  date.iHour, date.iMinute);
    std::memcpy(record + kDateAt, digits, 12);
    return true;
}

int ParseEepromMac(const std::string& text, unsigned char* mac)
{
    unsigned char nibbles[12];
    for (size_t i = 0; i < 12; ++i)
    {
        const char c = i < text.size() ? text[i] : '\0';
        if (c >= '0' && c <= '9')
            nibbles[i] = static_cast<unsigned char>(c - '0');
        else if (c >= 'a' && c <= 'f')
            nibbles[i] = static_cast<unsigned char>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            nibbles[i] = static_cast<unsigned char>(c - 'A' + 10);
        else
            return static_cast<int>(i) + 1;
    }
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<unsigned char>(nibbles[2 * i] << 4 | nibbles[2 * i + 1]);
    return 0;
}

bool ParseEepromMarker(const std::string& text, int base, int* value)
{
    long number = 0;
    if (!WholeNumber(text, base, &number) || number < 0 || number > 255)
        return false;
    *value = static_cast<int>(number);
    return true;
}

void BuildOldEepromRecord(const unsigned char* record, uint16_t productId,
                          const std::string& fwVersion, unsigned char* old)
{
    std::memset(old, 0, kEepromRecordSize);
    auto put = [old](int at, const char* text, size_t size) { std::memcpy(old + at, text, size); };
    std::memcpy(old + 4, record + kDateAt, 12);
    const char version[2] = {fwVersion.size() > 0 ? fwVersion[0] : '\0',
                             fwVersion.size() > 1 ? fwVersion[1] : '\0'};
    put(16, version, 2);
    put(18, version, 2);
    std::memcpy(old + 20, record + kHwVersionAt, 2);
    std::memcpy(old + 24, record + kSerialAt, 16);
    put(40, "ProductNameProductNameProductNam", 32);
    std::memcpy(old + 72, record + kNameAt, 32);
    put(104, "CpuNameCpuNameCpuNameCpuNameCpuN", 32);
    std::memcpy(old + 136, record + kProductionIdAt, 32);
    put(168, "Product:", 8);
    std::memcpy(old + 176, record + kNameAt, 24);
    PutLe(old + 200, productId, 2);
    put(206, "A0", 2);
    put(208, "A0", 2);
    std::memcpy(old + 256, record + 256, 256);
    old[kFlashSizeAt] = kFlashSizeCode1MB;
}

// ---- Actions

bool Eeprom2File(CToolsCall& call)
{
    const int length = call.vsParams.size() > 2 ? StringToInt(call.Param(2)) : kEepromRecordSize;
    return CopyEepromToFile(StringToInt(call.Param(0)), call.Param(1), length);
}

bool File2Eeprom(CToolsCall& call)
{
    const int slot = StringToInt(call.Param(0));
    const std::string& name = call.Param(1);
    const int length = call.vsParams.size() > 2 ? StringToInt(call.Param(2)) : kEepromRecordSize;
    if (!EepromArguments(slot, length))
        return false;
    std::vector<unsigned char> buffer(static_cast<size_t>(length));
    ToolFile file(std::fopen(name.c_str(), "rb"));
    if (!file || std::fread(buffer.data(), 1, buffer.size(), file.get()) != buffer.size())
    {
        ToolError("Can not read file \"%s\"\n", name.c_str());
        return false;
    }
    if (!EepromWrite(buffer.data(), length, 0, slot, kEepromTimeoutMs, false))
    {
        ToolError("Hardware error while writing Eeprom\n");
        return false;
    }
    return true;
}

bool CheckEeprom(CToolsCall& call)
{
    const int slot = StringToInt(call.Param(0));
    if (slot >= 0 && slot % 10 == 0)
    {
        const std::string partition = "/dev/mtd_production";
        return ViewRecord(PlatPath(partition), partition, false);
    }
    const std::string copy = "Eeprom_tmp.bin";
    if (!CopyEepromToFile(slot % 10, copy, kEepromRecordSize))
        return false;
    return ViewRecord(copy, copy, false);
}

bool UpdateEepromFile(CToolsCall& call)
{
    const std::string& name = call.Param(0);
    if (name.empty())
    {
        ToolError("Wrong parameter\n");
        return false;
    }
    return ViewRecord(name, name, true);
}

bool ConvertNewToOldEepromFile(CToolsCall& call)
{
    const std::string& name = call.Param(0);
    const int32_t productId = StringToInt(call.Param(1));
    if (productId < 0 || productId > 0xFFFF)
    {
        ToolError("ERROR: <ProductId> must be between 0 and 65535\n");
        return false;
    }
    unsigned char record[kEepromRecordSize];
    ToolFile file(std::fopen(name.c_str(), "r+b"));
    if (!file || std::fread(record, 1, sizeof record, file.get()) != sizeof record)
    {
        ToolError("Can not read file content\n");
        return false;
    }
    unsigned char old[kEepromRecordSize];
    BuildOldEepromRecord(record, static_cast<uint16_t>(productId), call.Param(2), old);
    EepromCheck(old, sizeof old, true);
    if (std::fseek(file.get(), 0, SEEK_SET) != 0 ||
        std::fwrite(old, 1, sizeof old, file.get()) != sizeof old ||
        std::fclose(file.release()) != 0)
    {
        ToolError("Error when writing the file\n");
        return false;
    }
    return true;
}

bool SpiFlash2File(CToolsCall& call)
{
    const int slot = StringToInt(call.Param(0));
    const int32_t start = StringToInt(call.Param(1));
    const int32_t length = StringToInt(call.Param(2));
    int word = 0;
    if (!FlashSlot(slot, "ERROR: Reading via RS232 not yet supported") ||
        !FlashRange(start, length) || !FlashWord(slot % kSerialSlots, &word))
        return false;
    ToolFile file(OpenToolFile(call.Param(3), "wb"));
    if (!file)
        return false;
    for (int32_t done = 0; done < length;)
    {
        const int size = length - done < kFlashBlock ? length - done : kFlashBlock;
        if (!SpiFlashRead(a64kBuffer, size, start + done, slot, word) ||
            std::fwrite(a64kBuffer, 1, static_cast<size_t>(size), file.get()) !=
                static_cast<size_t>(size))
        {
            Progress('E');
            ToolError(" Stopped after error\n");
            return false;
        }
        Progress('.');
        done += size;
    }
    if (std::fclose(file.release()) != 0)
    {
        ToolError(" Stopped after error\n");
        return false;
    }
    std::printf(" Done.\n");
    return true;
}

bool File2SpiFlash(CToolsCall& call)
{
    const int slot = StringToInt(call.Param(0));
    const int32_t start = StringToInt(call.Param(1));
    int word = 0;
    if (!FlashSlot(slot, "ERROR: Writing via RS232 not yet supported") || !FlashRange(start, 0))
        return false;
    ToolFile file(OpenToolFile(call.Param(2), "rb"));
    if (!file)
        return false;
    long size = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0)
        size = std::ftell(file.get());
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
    {
        ToolError("ERROR: Can not read file length\n");
        return false;
    }
    if (!FlashRange(start, size) || !FlashWord(slot, &word))
        return false;
    // The first block ends at the next 64 KiB boundary of the flash, the others are whole.
    int32_t address = start;
    long left = size;
    int block = kFlashBlock - start % kFlashBlock;
    while (left > 0)
    {
        if (block > left)
            block = static_cast<int>(left);
        if (std::fread(a64kBuffer, 1, static_cast<size_t>(block), file.get()) !=
                static_cast<size_t>(block) ||
            !SpiFlashWrite(a64kBuffer, block, address, slot, word))
        {
            Progress('E');
            ToolError(" Stopped after error\n");
            return false;
        }
        Progress('.');
        address += block;
        left -= block;
        block = kFlashBlock;
    }
    std::printf(" Done.\n");
    return true;
}
