// Device identity: production data, boot version, device information record
// and the product table.
#include "DeviceIdentity.h"

#include "DevMem.h"
#include "KovePlatform.h"
#include "nyDebug.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static_assert(sizeof(OrdFlagInterface) == 32, "interface record is 32 bytes");
static_assert(offsetof(OrdFlagRow, uFlags) == 4, "product row layout");
static_assert(offsetof(OrdFlagRow, uInterfaceCount) == 8, "product row layout");
static_assert(offsetof(OrdFlagRow, aKinds) == 9, "product row layout");
static_assert(offsetof(OrdFlagRow, aInterfaces) == 11, "product row layout");
static_assert(offsetof(OrdFlagRow, uReserved) == 75, "product row layout");
static_assert(sizeof(OrdFlagRow) == 76, "product row is 76 bytes");

extern "C"
{
    const OrdFlagRow OrdFlag[ORDFLAG_ROWS] = {
        {57311001, 1, 1, {0, 0}, {{"eth0"}, {""}}, 0},
        {57310000, 0, 1, {0, 0}, {{"eth0"}, {""}}, 0},
        {52760000, 1, 1, {0, 0}, {{"eth0"}, {""}}, 0},
        {52374012, 1, 1, {0, 0}, {{"eth0"}, {""}}, 0},
        {52374030, 0, 1, {0, 0}, {{"eth0"}, {""}}, 0},
        {52374021, 1, 0, {0, 0}, {{""}, {""}}, 0},
        {52375010, 1, 0, {0, 0}, {{""}, {""}}, 0},
        {52375020, 1, 0, {0, 0}, {{""}, {""}}, 0},
        {52640000, 1, 0, {0, 0}, {{""}, {""}}, 0},
        {52810000, 0, 0, {0, 0}, {{""}, {""}}, 0},
        {52374021, 1, 0, {0, 0}, {{""}, {""}}, 0},
        {52374021, 1, 0, {0, 0}, {{""}, {""}}, 0},
        {59580020, 0, 1, {2, 0}, {{"br0"}, {""}}, 0},
        {53400000, 0, 1, {8, 0}, {{"hipe0"}, {""}}, 0},
        {52880000, 0, 1, {8, 0}, {{"hipe0"}, {""}}, 0},
        {0, 0, 0, {0, 0}, {{""}, {""}}, 0},
    };
}

namespace
{

const char* const kProductionDevice = "/dev/mtd_production";
const char* const kBootVersionFile = "/tmp/BootFlash.version";
const char* const kBootImageDevice = "/dev/mtd_bootimg";
const char* const kBootDevice = "/dev/mtd_boot";

// Trace class of this unit's dumps of the device identity.
constexpr uint32_t kTraceIdentity = 0x02u;
// Kind of the 32-bit value lists in trace records.
constexpr uint8_t kTraceValue32 = 9;
constexpr uint8_t kTraceBytes = 4;

void PutU32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// Device nodes are served by the platform layer as they are named; every
// other absolute path is a fixed path of the device and is placed by it.
int OpenForReading(const char* path)
{
    if (strncmp(path, "/dev/", 5) == 0)
        return PlatOpen(path, O_RDONLY | O_CLOEXEC);
    char placed[PATH_MAX];
    if (PlatPath(path, placed, sizeof placed) != 0)
        return -1;
    return PlatOpen(placed, O_RDONLY | O_CLOEXEC);
}

// Reads until length bytes are in or the file ends. The byte count, or -79.
int ReadFully(int fd, void* buffer, int length)
{
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int total = 0;
    while (total < length)
    {
        const ssize_t n = PlatRead(fd, out + total, static_cast<size_t>(length - total));
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return -KESTREL_READ_ERROR;
        }
        if (n == 0)
            break;
        total += static_cast<int>(n);
    }
    return total;
}

const OrdFlagRow* FindProduct(uint32_t orderingNumber)
{
    for (const OrdFlagRow& row : OrdFlag)
    {
        if (row.uOrderingNumber == 0)
            break;
        if (row.uOrderingNumber == orderingNumber)
            return &row;
    }
    return nullptr;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Replaces a field of the production block (given by its offset in the
// production data) with a text value, cut to the field.
void PutTextField(uint8_t* block, int productionOffset, int size, const char* value, int length)
{
    uint8_t* field = block + productionOffset - DEVID_PRODUCTION_BLOCK_FIRST;
    memset(field, 0, static_cast<size_t>(size));
    memcpy(field, value, static_cast<size_t>(length < size ? length : size));
}

} // namespace

extern "C"
{

    uint32_t OrdFlagGetFlags(uint32_t orderingNumber)
    {
        const OrdFlagRow* row = FindProduct(orderingNumber);
        return row != nullptr ? row->uFlags : 0;
    }

    uint32_t OrdFlagGetInterfaceCount(uint32_t orderingNumber)
    {
        const OrdFlagRow* row = FindProduct(orderingNumber);
        return row != nullptr ? row->uInterfaceCount : 0;
    }

    uint32_t OrdFlagGetInterfaces(uint32_t orderingNumber, OrdFlagInterface* interfaces,
                                  uint32_t room)
    {
        const OrdFlagRow* row = FindProduct(orderingNumber);
        if (row == nullptr || interfaces == nullptr)
            return 0;
        uint32_t count = row->uInterfaceCount;
        if (count > room)
            count = room;
        if (count > ORDFLAG_MAX_INTERFACES)
            count = ORDFLAG_MAX_INTERFACES;
        for (uint32_t i = 0; i < count; ++i)
            interfaces[i] = row->aInterfaces[i];
        return count;
    }

    int OrdFlagGetInterfaceKinds(uint32_t orderingNumber, uint8_t* kinds, uint32_t room)
    {
        if (kinds == nullptr || room == 0)
            return -KESTREL_FAILED;
        const OrdFlagRow* row = FindProduct(orderingNumber);
        if (row == nullptr)
            return 0;
        uint32_t count = row->uInterfaceCount;
        if (count > room)
            count = room;
        if (count > ORDFLAG_MAX_INTERFACES)
            count = ORDFLAG_MAX_INTERFACES;
        memcpy(kinds, row->aKinds, count);
        return static_cast<int>(count);
    }

    int ReadFileBlock(const char* path, void* buffer, int length, int offset)
    {
        if (path == nullptr || buffer == nullptr || length < 0 || offset < 0)
            return -KESTREL_FAILED;
        const int fd = OpenForReading(path);
        if (fd < 0)
            return -KESTREL_CANNOT_OPEN;
        int result = -KESTREL_READ_ERROR;
        if (offset == 0 || PlatLseek(fd, offset, SEEK_SET) == static_cast<off_t>(offset))
            result = ReadFully(fd, buffer, length);
        PlatClose(fd);
        return result;
    }

    int ReadFileTail(const char* path, void* buffer, int length, int distance)
    {
        if (path == nullptr || buffer == nullptr || length < 0 || distance < length)
            return -KESTREL_FAILED;
        const int fd = OpenForReading(path);
        if (fd < 0)
            return -KESTREL_CANNOT_OPEN;
        int result = -KESTREL_READ_ERROR;
        const off_t size = PlatLseek(fd, 0, SEEK_END);
        if (size >= 0 && size < static_cast<off_t>(distance))
            result = -DEVID_FILE_TOO_SHORT;
        else if (size >= 0 && PlatLseek(fd, size - distance, SEEK_SET) == size - distance)
            result = ReadFully(fd, buffer, length);
        PlatClose(fd);
        return result;
    }

    uint32_t DevParseNumberText(const char* text, uint32_t length)
    {
        if (text == nullptr || length == 0)
            return 0;
        if (static_cast<uint8_t>(text[0]) == 0xFF)
            return 0xFFFFFFFFu;
        uint64_t value = 0;
        for (uint32_t i = 0; i < length && text[i] != '\0'; ++i)
        {
            if (text[i] == '.')
                continue;
            if (!IsDigit(text[i]))
                return 0;
            value = value * 10 + static_cast<uint64_t>(text[i] - '0');
            if (value > 0xFFFFFFFFu)
                return 0;
        }
        return static_cast<uint32_t>(value);
    }

    const char* DevFindTagValue(const char* text, const char* name, int* length)
    {
        if (length != nullptr)
            *length = 0;
        if (text == nullptr || name == nullptr || name[0] == '\0')
            return nullptr;
        const size_t nameLength = strlen(name);
        for (const char* open = strchr(text, '<'); open != nullptr; open = strchr(open + 1, '<'))
        {
            if (strncmp(open + 1, name, nameLength) != 0 || open[1 + nameLength] != '>')
                continue;
            const char* value = open + nameLength + 2;
            const char* end = strstr(value, "</");
            if (end == nullptr)
                return nullptr;
            if (length != nullptr)
                *length = static_cast<int>(end - value);
            return value;
        }
        return nullptr;
    }

    int DevReadProductionData(uint8_t block[DEVID_PRODUCTION_BLOCK_SIZE])
    {
        if (block == nullptr)
            return KESTREL_FAILED;
        memset(block, 0, DEVID_PRODUCTION_BLOCK_SIZE);

        // One byte more than is read, so the text behind the binary part always
        // ends within the buffer, whatever the flash holds.
        char data[DEVID_PRODUCTION_READ + 1] = {};
        const int n = ReadFileBlock(kProductionDevice, data, DEVID_PRODUCTION_READ, 0);
        if (n < 0)
            return n;
        if (n < DEVID_PRODUCTION_SIZE)
            return KESTREL_NOT_INITIALISED;
        memcpy(block, data + DEVID_PRODUCTION_BLOCK_FIRST, DEVID_PRODUCTION_BLOCK_SIZE);

        if (n > DEVID_PRODUCTION_SIZE)
        {
            const char* text = data + DEVID_PRODUCTION_SIZE;
            int length = 0;
            const char* value = DevFindTagValue(text, "Name", &length);
            if (value != nullptr && length >= 1)
                PutTextField(block, DEVID_NAME_OFFSET, DEVID_NAME_SIZE, value, length);
            value = DevFindTagValue(text, "OrderingNumber", &length);
            if (value != nullptr && length > 8)
                PutTextField(block, DEVID_ORDER_OFFSET, DEVID_ORDER_SIZE, value, length);
            value = DevFindTagValue(text, "SerialNumber", &length);
            if (value != nullptr && length >= 1)
                PutTextField(block, DEVID_SERIAL_OFFSET, DEVID_SERIAL_SIZE, value, length);
        }
        return KESTREL_OK;
    }

    int DevReadProductionRaw(uint8_t buffer[DEVID_PRODUCTION_SIZE])
    {
        if (buffer == nullptr)
            return KESTREL_FAILED;
        const int n = ReadFileBlock(kProductionDevice, buffer, DEVID_PRODUCTION_SIZE, 0);
        if (n < 0)
            return n;
        return n < DEVID_PRODUCTION_SIZE ? KESTREL_NOT_INITIALISED : KESTREL_OK;
    }

    void DevProductionNumbers(const uint8_t* raw, uint32_t* orderingNumber, uint32_t* serialNumber)
    {
        uint32_t serial = 0;
        uint32_t order = 0;
        if (raw != nullptr)
        {
            const char* text = reinterpret_cast<const char*>(raw);
            serial = DevParseNumberText(text + DEVID_SERIAL_OFFSET, DEVID_SERIAL_SIZE);
            order = DevParseNumberText(text + DEVID_ORDER_OFFSET, DEVID_ORDER_SIZE);
            if (nyDebugInterfaceGlobalFlags & kTraceIdentity)
            {
                nyDebugSavePrintf(NYDEBUG_LEVEL_INFO, "HexDump OrderNo.");
                nyDebugSaveMem(NYDEBUG_TYPE(NYDEBUG_LEVEL_INFO, kTraceBytes),
                               text + DEVID_ORDER_OFFSET, DEVID_ORDER_SIZE);
                nyDebugSaveMulti(NYDEBUG_LEVEL_INFO, "Serial No.", 10, kTraceValue32, 4, 1, serial);
                nyDebugSaveMulti(NYDEBUG_LEVEL_INFO, "Order No.", 9, kTraceValue32, 4, 1, order);
            }
        }
        if (orderingNumber != nullptr)
            *orderingNumber = order;
        if (serialNumber != nullptr)
            *serialNumber = serial;
    }

    int DevReadBootVersion(uint8_t block[DEVID_BOOT_VERSION_SIZE],
                           char shortText[DEVID_BOOT_SHORT_SIZE])
    {
        uint8_t data[DEVID_BOOT_VERSION_SIZE] = {};
        const bool found = ReadFileBlock(kBootVersionFile, data, DEVID_BOOT_VERSION_SIZE, 0) ==
                               DEVID_BOOT_VERSION_SIZE ||
                           ReadFileTail(kBootImageDevice, data, DEVID_BOOT_VERSION_SIZE,
                                        DEVID_BOOT_VERSION_SIZE) == DEVID_BOOT_VERSION_SIZE ||
                           ReadFileBlock(kBootDevice, data, DEVID_BOOT_VERSION_SIZE,
                                         DEVID_BOOT_VERSION_OFFSET) == DEVID_BOOT_VERSION_SIZE;

        if (block != nullptr)
            memset(block, 0, DEVID_BOOT_VERSION_SIZE);
        if (shortText != nullptr)
            memset(shortText, 0, DEVID_BOOT_SHORT_SIZE);
        if (!found || data[0] == 0)
        {
            if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_ERROR)
                nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, " bootver = 0! ");
            return -1;
        }

        data[DEVID_BOOT_VERSION_SIZE - 1] = 0;
        if (block != nullptr)
            memcpy(block, data, DEVID_BOOT_VERSION_SIZE);
        if (shortText != nullptr)
        {
            for (int i = 0; i < DEVID_BOOT_SHORT_SIZE - 1 && data[i] != '\n' && data[i] != 0; ++i)
                shortText[i] = static_cast<char>(data[i]);
        }
        return 0;
    }

    int DevFormatBootVersion(char* text, const char* version)
    {
        if (text == nullptr)
            return 0;
        text[0] = '\0';
        if (version == nullptr)
            return 0;
        const size_t n = strnlen(version, 11);
        if (n < 7)
            return 0;

        char* p = text;
        *p++ = 'v';
        *p++ = version[0];
        *p++ = version[1];
        *p++ = '.';
        *p++ = version[2];
        *p++ = version[3];
        *p++ = '.';
        *p++ = version[4];
        *p++ = version[5];
        *p++ = version[6];
        if (n > 7 && version[7] != ' ')
        {
            memcpy(p, "-rc", 3);
            p += 3;
            for (size_t i = 8; i < n && i <= 10; ++i)
                *p++ = version[i];
        }
        *p = '\0';
        return static_cast<int>(p - text);
    }

    uint32_t DevParseBootVersion(const char* version)
    {
        if (version == nullptr)
            return 0;
        const size_t n = strlen(version);
        if (n < 7)
            return 0;
        for (size_t i = 0; i < 7; ++i)
            if (!IsDigit(version[i]))
                return 0;

        auto digit = [version](size_t i) { return static_cast<uint32_t>(version[i] - '0'); };
        const uint32_t major = digit(0) * 10 + digit(1);
        const uint32_t minor = digit(2) * 10 + digit(3);
        const uint32_t revision = digit(4) * 100 + digit(5) * 10 + digit(6);

        uint32_t candidate = 0;
        const unsigned char separator = static_cast<unsigned char>(version[7]);
        if (n > 10 && (isspace(separator) || separator == '-'))
        {
            bool digits = true;
            for (size_t i = 8; i < n; ++i)
                digits = digits && IsDigit(version[i]);
            if (digits)
                candidate = digit(8) * 100 + digit(9) * 10 + digit(10);
        }

        if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_PROGRESS)
            nyDebugSaveMulti(NYDEBUG_LEVEL_INFO, " Maj Min Rev RC ", 16, kTraceValue32, 4, 4, major,
                             minor, revision, candidate);
        return ((major * 100000u + minor * 1000u + revision) << 8) | (candidate & 0xFFu);
    }

    void DevMsgDeviceInfo(uint8_t* record)
    {
        if (record == nullptr)
            return;
        memset(record, 0, DEVMSG_DEVICE_INFO_SIZE);
        record[0] = DEVMSG_DEVICE_INFO_VERSION;

        // The block stays zero when the production data cannot be read.
        uint8_t block[DEVID_PRODUCTION_BLOCK_SIZE];
        DevReadProductionData(block);
        auto production = [&block](int offset)
        { return block + offset - DEVID_PRODUCTION_BLOCK_FIRST; };
        memcpy(record + 4, production(4), 124);
        memcpy(record + 128, production(128), 2);
        memcpy(record + 130, production(144), 4);
        memcpy(record + 134, production(148), 2);

        uint8_t boot[DEVID_BOOT_VERSION_SIZE];
        char shortText[DEVID_BOOT_SHORT_SIZE];
        DevReadBootVersion(boot, shortText);
        memcpy(record + 140, shortText, DEVID_BOOT_SHORT_SIZE);
        memcpy(record + 156, boot, DEVID_BOOT_VERSION_SIZE);

        uint32_t second = 0;
        const uint32_t first = DevReadHardwareWords(&second);
        PutU32(record + 284, first);
        PutU32(record + 288, second);

        memcpy(record + 292, production(152), 4);
        memcpy(record + 296, production(156), 4);
    }

} // extern "C"
