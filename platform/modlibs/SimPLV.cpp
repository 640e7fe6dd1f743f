// Stand-in of the module flash library "libPLV.so" for the simulated device: reserve and
// release a slot, read and write blocks of its SPI flash, and the module's flash file system
// (list, read, write, delete, defragment, format). Every other code is refused.
#include "SimModuleLibrary.h"
#include "SimModuleStore.h"

#include <cstring>
#include <vector>

namespace
{
// A name of a request: NUL-terminated within its bytes and within the name room.
bool TakeName(const void* in, uint32_t inLength, std::string* name)
{
    if (in == nullptr)
        return false;
    const char* text = static_cast<const char*>(in);
    const uint32_t room = inLength < PLV_FS_NAME_MAX ? inLength : PLV_FS_NAME_MAX;
    const size_t length = strnlen(text, room);
    if (length == 0 || length == room)
        return false;
    name->assign(text, length);
    return true;
}

void PutText(uint8_t* header, size_t at, const std::string& text, size_t room)
{
    memcpy(header + at, text.data(), text.size() < room ? text.size() : room);
}

int FileSystemCall(CSimModuleSlot& slot, uint32_t code, const void* in, uint32_t inLength,
                   void* out, uint32_t outLength, uint32_t* bytesReturned)
{
    std::vector<SSimPlvFile> files;
    uint8_t* bytes = static_cast<uint8_t*>(out);
    std::string name;
    switch (code)
    {
    case PLV_FS_COUNT:
        if (outLength < 4 || out == nullptr || !slot.ListFiles(&files))
            return 0;
        Wio2UsrPutLe32(out, static_cast<uint32_t>(files.size()));
        *bytesReturned = 4;
        return 1;
    case PLV_FS_HEADERS:
    case PLV_FS_ADDRESSES:
    {
        if (out == nullptr || !slot.ListFiles(&files))
            return 0;
        const uint64_t each = code == PLV_FS_HEADERS ? PLV_FS_HEADER_SIZE : 4;
        if (each * files.size() > outLength)
            return 0;
        memset(out, 0, static_cast<size_t>(each * files.size()));
        for (size_t i = 0; i < files.size(); ++i)
        {
            uint8_t* at = bytes + each * i;
            if (code == PLV_FS_ADDRESSES)
            {
                Wio2UsrPutLe32(at, files[i].uAddress);
                continue;
            }
            Wio2UsrPutLe32(at + PLV_FS_SIZE_OFFSET, files[i].uSize);
            PutText(at, PLV_FS_VERSION_OFFSET, files[i].sVersion, 2);
            PutText(at, PLV_FS_DATE_OFFSET, files[i].sDate, 10);
            PutText(at, PLV_FS_TIME_OFFSET, files[i].sTime, 8);
            PutText(at, PLV_FS_NAME_OFFSET, files[i].sName, PLV_FS_NAME_MAX - 1);
        }
        *bytesReturned = static_cast<uint32_t>(each * files.size());
        return 1;
    }
    case PLV_FS_SIZE:
    case PLV_FS_READ:
    {
        std::vector<uint8_t> data;
        if (!TakeName(in, inLength, &name) || !slot.ReadFile(name, &data))
            return 0;
        if (code == PLV_FS_SIZE)
        {
            if (out == nullptr || outLength < 4)
                return 0;
            Wio2UsrPutLe32(out, static_cast<uint32_t>(data.size()));
            *bytesReturned = 4;
            return 1;
        }
        if (data.size() > outLength || (out == nullptr && !data.empty()))
            return 0;
        if (!data.empty())
            memcpy(out, data.data(), data.size());
        *bytesReturned = static_cast<uint32_t>(data.size());
        return 1;
    }
    case PLV_FS_WRITE:
    {
        if (in == nullptr || inLength < PLV_FS_HEADER_SIZE)
            return 0;
        const uint8_t* header = static_cast<const uint8_t*>(in);
        if (!TakeName(header + PLV_FS_NAME_OFFSET, PLV_FS_NAME_MAX, &name))
            return 0;
        const std::string version(reinterpret_cast<const char*>(header + PLV_FS_VERSION_OFFSET), 2);
        return slot.WriteFile(name, version, header + PLV_FS_HEADER_SIZE,
                              inLength - PLV_FS_HEADER_SIZE)
                   ? 1
                   : 0;
    }
    case PLV_FS_DELETE:
        return TakeName(in, inLength, &name) && slot.DeleteFile(name) ? 1 : 0;
    case PLV_FS_DEFRAG:
        return slot.Defragment() ? 1 : 0;
    case PLV_FS_FORMAT:
        return slot.Format() ? 1 : 0;
    default:
        return 0;
    }
}

int PlvIoctl(void* context, uint32_t code, void* in, uint32_t inLength, void* out,
             uint32_t outLength, uint32_t* bytesReturned)
{
    uint32_t returned = 0;
    if (bytesReturned == nullptr)
        bytesReturned = &returned;
    int result = 0;
    int reserved = -1;
    if (SimLibraryAnswered(context, code, in, inLength, bytesReturned, &result, &reserved))
        return result;
    CSimModuleSlot slot(reserved);
    switch (code)
    {
    case PLV_READ_BLOCK:
    {
        // out: {buffer address, u32 length}
        void* buffer = nullptr;
        if (in == nullptr || inLength < 4 || out == nullptr || outLength < sizeof buffer + 4)
            return 0;
        memcpy(&buffer, out, sizeof buffer);
        const uint32_t length = Wio2UsrGetLe32(static_cast<uint8_t*>(out) + sizeof buffer);
        if ((buffer == nullptr && length > 0) ||
            !slot.ReadFlash(Wio2UsrGetLe32(in), static_cast<uint8_t*>(buffer), length))
            return 0;
        *bytesReturned = length;
        return 1;
    }
    case PLV_WRITE_BLOCK:
    {
        if (in == nullptr || inLength < PLV_BLOCK_HEAD_SIZE || out == nullptr || outLength < 4)
            return 0;
        const uint8_t* record = static_cast<const uint8_t*>(in);
        const uint32_t address = Wio2UsrGetLe32(record + 4);
        const uint32_t length = Wio2UsrGetLe32(record + 8);
        const uint32_t carried = inLength - PLV_BLOCK_HEAD_SIZE;
        slot.NoteBlockRecord(address, length, carried);
        // A record of one whole block at a block's address holds the block as it is to stand:
        // a part of a block comes laid into the block as it was read, with the head counting
        // the part, so the whole block is written. Any other record writes the head's length.
        const bool wholeBlock =
            carried == PLV_FLASH_BLOCK && (address & (PLV_FLASH_BLOCK - 1)) == 0;
        const bool written =
            length <= carried &&
            slot.WriteFlash(address, record + PLV_BLOCK_HEAD_SIZE, wholeBlock ? carried : length);
        Wio2UsrPutLe32(out, written ? 0 : 1);
        *bytesReturned = 4;
        return 1;
    }
    default:
        return FileSystemCall(slot, code, in, inLength, out, outLength, bytesReturned);
    }
}
} // namespace

extern "C" __attribute__((visibility("default"))) int WIO2USR_GetFunctions(WIO2USR_FUNCTIONS* table)
{
    return SimLibraryFill(table, PlvIoctl);
}
