// Fuzz target: what qtx's production record editor takes from outside, a record of a file or a
// module EEPROM and the technician's entries.
//
// Input: byte 0 selects the reader, the rest is its input:
//   0  a record (cut or filled with zeros to 512 bytes): its view and its older layout
//   1  a date entry, stored into a record when it is taken
//   2  a MAC address entry
//   3  a marker entry, decimal (even byte 0) or hexadecimal
// The view never holds a zero byte and always ends with the checksum line; a stored date is
// twelve digits; a MAC address is taken only from twelve hex digits, and a refused one names
// the first character that is none; a marker is 0..255.
#include "FuzzSupport.h"
#include "QTXTools.h"

#include <cstring>
#include <string>

using kovefuzz::Fail;

namespace
{
bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    unsigned char record[kEepromRecordSize] = {0};
    std::memcpy(record, text.data(),
                text.size() < sizeof record ? text.size() : static_cast<size_t>(sizeof record));
    switch (data[0] % 4)
    {
    case 0:
    {
        const std::string view = EepromRecordText(record, data[0] & 4);
        if (view.find('\0') != std::string::npos)
            Fail("a zero byte in the record view");
        const std::string end = (data[0] & 4) ? "OK\n" : "CORRUPT\n";
        if (view.compare(0, 30, "\n (1) Change production date: ") != 0 ||
            view.size() < end.size() || view.compare(view.size() - end.size(), end.size(), end))
            Fail("a record view without its first or last line");
        unsigned char old[kEepromRecordSize];
        BuildOldEepromRecord(record, 0x1234, text.substr(0, 2), old);
        if (std::memcmp(old + 168, "Product:", 8) != 0 || old[507] != 20)
            Fail("an old record without its fixed fields");
        break;
    }
    case 1:
    {
        CEepromDate date;
        if (ParseEepromDate(text, &date) == EEPROM_DATE_FIELDS && StoreEepromDate(record, date))
            for (int i = 4; i < 16; ++i)
                if (record[i] < '0' || record[i] > '9')
                    Fail("a stored date that is not twelve digits");
        break;
    }
    case 2:
    {
        unsigned char mac[6];
        const int bad = ParseEepromMac(text, mac);
        const size_t good = bad == 0 ? 12 : static_cast<size_t>(bad - 1);
        if (bad < 0 || bad > 12 || text.size() < good)
            Fail("a MAC address entry judged at a wrong position");
        for (size_t i = 0; i < good; ++i)
            if (!IsHex(text[i]))
                Fail("a MAC address taken with a character that is no hex digit");
        if (bad != 0 && good < text.size() && IsHex(text[good]))
            Fail("a hex digit named as the bad one");
        break;
    }
    default:
    {
        int value = -1;
        if (ParseEepromMarker(text, (data[0] & 4) ? 16 : 10, &value) && (value < 0 || value > 255))
            Fail("a marker out of 0..255 taken");
        break;
    }
    }
    return 0;
}
