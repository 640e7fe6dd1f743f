// The sniffer configuration image: entries of devices, controllers and raw relations, sniffer
// signal records, and the completion that turns the signal records into I/O records, slot
// scripts, device-number, FPGA slot-index and relation-usage records.
#include "PnSnifferImage.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <set>

#include "PnCopyMachine.h"
#include "PnDrv.h"
#include "QTXBinConfig.h"

namespace
{
constexpr uint32_t kDeviceSize = 256;
constexpr uint32_t kRawSize = 16;
constexpr uint32_t kIoSize = 32;
constexpr uint32_t kDevNumSize = 128;
constexpr uint32_t kSlotIndexSize = 32;
constexpr uint32_t kMaxUsages = 128;
constexpr uint32_t kMaxRelations = 6;
constexpr uint32_t kScriptWords = 4096;
constexpr uint32_t kMaxSlotIndexRecords =
    (PN_IMAGE_SIZE - PN_IMAGE_SLOT_INDEX_OFFSET) / kSlotIndexSize;
constexpr uint8_t kDiagnosisFlag = 0x80;
constexpr uint8_t kStatusDevice = 64;

// Sniffer values: identifier, class, flag, width, bit offset.
struct SnifferValue
{
    uint8_t ucClass;
    bool bFlag;
    uint8_t ucWidth;
    uint16_t usOffset;
};

bool FindSnifferValueRow(uint16_t id, SnifferValue* row)
{
    if ((id >= 0x3000 && id <= 0x3005) || id == 0x3010 || id == 0x3011)
    {
        const uint16_t index = id <= 0x3005 ? id - 0x3000 : 6 + (id - 0x3010);
        *row = {1, false, 8, static_cast<uint16_t>(8 * index)};
    }
    else if (id >= 0x3006 && id <= 0x300F)
        *row = {1, false, 32, static_cast<uint16_t>(0x40 + 0x20 * (id - 0x3006))};
    else if (id == 0x3012 || id == 0x3013)
        *row = {5, false, 32, static_cast<uint16_t>(0x20 * (id - 0x3012))};
    else if (id == 0x3050 || id == 0x3051)
        *row = {2, false, 32, static_cast<uint16_t>(0x20 * (id - 0x3050))};
    else if ((id >= 0x30A0 && id <= 0x30A7) || (id >= 0x30AA && id <= 0x30AD))
    {
        static const uint16_t kPairs[] = {0, 0x20, 0x40, 0x60, 0, 0xA0, 0x80};
        const uint32_t pair = (id - 0x30A0u) / 2;
        *row = {3, (id & 1) != 0, static_cast<uint8_t>(id >= 0x30AC ? 8 : 32), kPairs[pair]};
    }
    else if (id == 0x34A0)
        *row = {4, false, 1, 0};
    else
        return false;
    return true;
}

uint64_t Key64(const uint8_t* record)
{
    uint64_t key = 0;
    for (int i = 7; i >= 0; --i)
        key = key << 8 | record[i];
    return key;
}
} // namespace

PnSnifferSignalRemap::PnSnifferSignalRemap()
{
    m_pImage.reset(new (std::nothrow) uint8_t[PN_IMAGE_SIZE]());
    if (!m_pImage)
        m_iStatus = -74;
    else
        Reset();
}

PnSnifferSignalRemap::~PnSnifferSignalRemap() = default;

uint16_t PnSnifferSignalRemap::Get16(uint32_t offset) const
{
    return QtxBinGetU16(m_pImage.get() + offset);
}

void PnSnifferSignalRemap::Put16(uint32_t offset, uint16_t value)
{
    QtxBinPutU16(m_pImage.get() + offset, value);
}

void PnSnifferSignalRemap::Reset()
{
    if (!m_pImage)
        return;
    std::memset(m_pImage.get(), 0, 62);
    m_pImage[1] = 32;
    m_pImage[2] = 2;
    Put16(52, 0xFFFF);
    m_uDiagIterator = 0;
    m_uSearch = 0;
    m_vErrors.clear();
}

int PnSnifferSignalRemap::AddDevices(const uint8_t* entries, uint32_t count, bool checkByController)
{
    if (count > PN_IMAGE_MAX_DEVICES)
        return PN_ERR_TOO_MANY_DEVICES;
    m_vErrors.assign(count, 0);
    bool failed = false;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint8_t* d = m_pImage.get() + PN_IMAGE_DEVICE_OFFSET + kDeviceSize * i;
        std::memcpy(d, entries + kDeviceSize * i, kDeviceSize);
        d[252] = 0;
        int16_t code = 0;
        switch (d[6] & 3)
        {
        case 1:
        {
            const size_t length = strnlen(reinterpret_cast<const char*>(d + 8), 240);
            for (size_t c = 0; c < length; ++c)
                d[8 + c] = static_cast<uint8_t>(std::tolower(d[8 + c]));
            d[7] = static_cast<uint8_t>(length);
            if (length == 0)
                code = PN_ERR_EMPTY_NAME;
            break;
        }
        case 2:
        {
            static const uint8_t kZero[6] = {0, 0, 0, 0, 0, 0};
            if ((d[0] & 1) != 0 || std::memcmp(d, kZero, 6) == 0)
                code = PN_ERR_MAC_ADDRESS;
            break;
        }
        default:
            code = PN_ERR_DEVICE_IDENT;
            break;
        }
        m_vErrors[i] = code;
        failed = failed || code < 0;
    }
    m_pImage[22] = static_cast<uint8_t>(count);
    if (!failed && checkByController && count > 0 && PNDrvSCheckDevices(m_pImage.get()) == 0)
    {
        for (uint32_t i = 0; i < count; ++i)
        {
            const uint8_t verdict = m_pImage[PN_IMAGE_DEVICE_OFFSET + kDeviceSize * i + 252];
            if (verdict != 0)
            {
                m_vErrors[i] =
                    static_cast<int16_t>(((verdict - 1) & 127) + PN_ERR_CONTROLLER_VERDICT);
                failed = true;
            }
        }
    }
    return failed ? PN_ERR_ENTRIES : 0;
}

int PnSnifferSignalRemap::AddControllers(const uint8_t* entries, uint32_t count)
{
    if (count > PN_IMAGE_MAX_CONTROLLERS)
        return PN_ERR_TOO_MANY_CONTROLLERS;
    m_vErrors.assign(count, 0);
    bool failed = false;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint8_t* c = m_pImage.get() + PN_IMAGE_CONTROLLER_OFFSET + kDeviceSize * i;
        std::memcpy(c, entries + kDeviceSize * i, kDeviceSize);
        c[7] = static_cast<uint8_t>(i + 1);
        const uint32_t ident = c[6] & 3;
        if (ident == 1 && c[8] == 0)
            m_vErrors[i] = 1; // a warning only
        else if (ident != 1 && ident != 2)
        {
            m_vErrors[i] = PN_ERR_CONTROLLER_IDENT;
            failed = true;
        }
    }
    m_pImage[23] = static_cast<uint8_t>(count);
    return failed ? PN_ERR_ENTRIES : 0;
}

int PnSnifferSignalRemap::AddRawRelations(const uint8_t* entries, uint32_t count)
{
    if (count > PN_IMAGE_MAX_RAW_RELATIONS)
        return PN_ERR_TOO_MANY_RAW_RELATIONS;
    std::memcpy(m_pImage.get() + PN_IMAGE_RAW_OFFSET, entries, kRawSize * count);
    m_pImage[30] = static_cast<uint8_t>(count);
    return 0;
}

int PnSnifferSignalRemap::AddSnifferSignal(const uint8_t* entry, uint32_t number,
                                           uint32_t widthBits)
{
    const uint16_t count = Get16(16);
    if (count >= PN_IMAGE_MAX_SIGNALS)
        return PN_ERR_RECORDS_FULL;
    uint8_t r[16] = {};
    QtxBinPutU16(r + 12, static_cast<uint16_t>(number));
    r[9] = static_cast<uint8_t>(widthBits & 0x7F);
    const uint16_t single = widthBits == 1 ? 0x4000 : 0;
    const uint32_t devices = m_pImage[22];
    const uint32_t controllers = m_pImage[23];
    const uint32_t offset = QtxBinGetU16(entry + 6);
    switch ((entry[3] >> 4) & 3)
    {
    case 0:
        if (entry[8] >= devices)
            return PN_ERR_DEVICE_INDEX;
        if (entry[9] > controllers)
            return PN_ERR_CONTROLLER_NUMBER;
        if (offset + widthBits > 11520)
            return PN_ERR_BIT_OFFSET;
        QtxBinPutU16(r, static_cast<uint16_t>(offset | single));
        r[2] = static_cast<uint8_t>(0x10 | ((entry[3] & 4) != 0 ? 0x40 : 0x20));
        if (entry[9] != 0)
            r[2] |= static_cast<uint8_t>(0x80 | ((entry[9] - 1) & 0xF));
        QtxBinPutU16(r + 4, QtxBinGetU16(entry + 10));
        QtxBinPutU16(r + 6, QtxBinGetU16(entry + 4));
        r[8] = entry[8];
        Put16(48, static_cast<uint16_t>(Get16(48) + 1));
        break;
    case 2:
    {
        SnifferValue row;
        if (!FindSnifferValueRow(static_cast<uint16_t>(offset), &row))
            return PN_ERR_UNKNOWN_SPECIAL;
        if (row.ucClass == 2 && entry[8] >= devices)
            return PN_ERR_DEVICE_INDEX;
        if ((row.ucClass == 3 || row.ucClass == 4) &&
            (entry[8] >= devices || entry[9] > controllers))
            return PN_ERR_CONTROLLER_NUMBER;
        if (widthBits != row.ucWidth)
            return PN_ERR_WIDTH;
        const bool global = row.ucClass == 1 || row.ucClass == 5;
        QtxBinPutU16(r, static_cast<uint16_t>(row.usOffset | single));
        r[2] = row.bFlag ? 1 : 0;
        r[4] = (row.ucClass == 3 || row.ucClass == 4) ? entry[9] : 0;
        r[5] = row.ucClass;
        QtxBinPutU16(r + 6, QtxBinGetU16(entry + 4));
        r[8] = global ? 0 : entry[8];
        r[9] |= kDiagnosisFlag;
        break;
    }
    case 3:
    {
        const uint32_t relation = entry[8];
        if (relation >= m_pImage[30])
            return PN_ERR_RAW_RELATION;
        if (offset + widthBits > 12399)
            return PN_ERR_MEMORY_RANGE;
        const uint32_t stored = offset >= 256 ? offset - 64 : offset;
        QtxBinPutU16(r, static_cast<uint16_t>(stored | single));
        r[2] = static_cast<uint8_t>(0x10 | ((entry[3] & 4) != 0 ? 0x40 : 0x20));
        r[6] = static_cast<uint8_t>(relation);
        r[7] = m_pImage[PN_IMAGE_RAW_OFFSET + kRawSize * relation + 14] & 7;
        r[8] = kStatusDevice;
        QtxBinPutU16(r + 14, static_cast<uint16_t>(stored));
        Put16(50, static_cast<uint16_t>(Get16(50) + 1));
        break;
    }
    default:
        return PN_ERR_SOURCE_KIND;
    }
    std::memcpy(Signal(count), r, sizeof r);
    Put16(16, static_cast<uint16_t>(count + 1));
    return 0;
}

int64_t PnSnifferSignalRemap::FindSnifferValue(uint32_t number, bool digital)
{
    const uint32_t count = Get16(16);
    for (uint32_t n = 0; n < count; ++n)
    {
        const uint32_t i = (m_uSearch + n) % count;
        const uint8_t* r = Signal(i);
        if (QtxBinGetU16(r + 12) != number || ((r[9] & 0x7F) == 1) != digital)
            continue;
        m_uSearch = i;
        if (r[8] >= kStatusDevice)
            return 0x80000000LL + QtxBinGetU16(r + 14);
        return (QtxBinGetU16(r + 10) & 0x7FFF) | static_cast<int64_t>(QtxBinGetU16(r + 14) & 0x3FF)
                                                     << 16;
    }
    return -1;
}

void PnSnifferSignalRemap::MarkDiagnosisValue(uint32_t number, bool digital, uint32_t remapIndex)
{
    const uint32_t count = Get16(16);
    for (uint32_t i = 0; i < count; ++i)
    {
        uint8_t* r = Signal(i);
        if ((r[9] & kDiagnosisFlag) != 0 && QtxBinGetU16(r + 12) == number &&
            ((r[9] & 0x7F) == 1) == digital)
        {
            QtxBinPutU16(r + 10, static_cast<uint16_t>(remapIndex));
            return;
        }
    }
}

bool PnSnifferSignalRemap::NextDiagnosisValue(uint32_t* remapIndex, int32_t* address,
                                              uint32_t* widthBits)
{
    const uint32_t count = Get16(16);
    for (; m_uDiagIterator < count; ++m_uDiagIterator)
    {
        const uint8_t* r = Signal(m_uDiagIterator);
        if ((r[9] & kDiagnosisFlag) == 0)
            continue;
        ++m_uDiagIterator;
        const uint32_t offset = QtxBinGetU16(r) & 0x3FFF;
        *remapIndex = QtxBinGetU16(r + 10);
        *widthBits = r[9] & 0x7F;
        uint32_t value;
        switch (r[5])
        {
        case 1:
            value = 0x80104000u + offset;
            break;
        case 2:
        {
            uint32_t station = r[8];
            if (station > 1023)
                station = 0;
            value = (0x1002C000u + 8 * station) * 8 + offset;
            break;
        }
        case 3:
            value = (0x0FD04000u + 24u * QtxBinGetU16(r + 14)) * 8 + offset;
            break;
        case 4:
            value = 0x80104400u + QtxBinGetU16(r + 14);
            *widthBits = 1;
            break;
        default:
            value = 0x80104700u + offset;
            break;
        }
        *address = static_cast<int32_t>(value);
        return true;
    }
    return false;
}

int PnSnifferSignalRemap::Fail(uint16_t stage, uint32_t index, uint32_t detail, int code)
{
    Put16(52, stage);
    Put16(54, static_cast<uint16_t>(index));
    Put16(56, static_cast<uint16_t>(detail));
    QtxBinPutI16(m_pImage.get() + 58, static_cast<int16_t>(code));
    return code;
}

void PnSnifferSignalRemap::Stamp(uint32_t offset)
{
    QtxBinPutU32(m_pImage.get() + offset, static_cast<uint32_t>(time(nullptr)));
    m_pImage[0] = 0;
    m_pImage[1] = 32;
    m_pImage[2] = 2;
    m_pImage[3] = 0;
}

// I/O records: one per run of records with the same device, slot and flags; status values by
// their relation. Diagnosis values are counted here and get their relation-usage records last.
int PnSnifferSignalRemap::BuildIoRecords(uint32_t signals)
{
    uint32_t io = 0;
    uint32_t inputs = 0;
    uint64_t lastKey = ~0ull;
    bool firstDiagnosis = true;
    for (uint32_t i = 0; i < signals; ++i)
    {
        uint8_t* r = Signal(i);
        if ((r[9] & kDiagnosisFlag) != 0)
        {
            if (firstDiagnosis)
            {
                Put16(60, static_cast<uint16_t>(i));
                Put16(20, static_cast<uint16_t>(i + 1));
                firstDiagnosis = false;
            }
            continue;
        }
        const bool status = r[8] >= kStatusDevice;
        const uint64_t key = status ? (1ull << 40 | r[6])
                                    : (static_cast<uint64_t>(r[8]) << 32 |
                                       static_cast<uint64_t>(QtxBinGetU16(r + 6)) << 8 | r[2]);
        if (key != lastKey)
        {
            if (io >= PN_IMAGE_MAX_IO_RECORDS)
                return Fail(status ? 3 : 2, i, PN_IMAGE_MAX_IO_RECORDS, PN_ERR_TOO_MANY_IO_RECORDS);
            uint8_t* rec = m_pImage.get() + PN_IMAGE_IO_OFFSET + kIoSize * io;
            std::memset(rec, 0, kIoSize);
            rec[0] = r[8];
            rec[1] = r[2];
            QtxBinPutU16(rec + 2, status ? r[6] : QtxBinGetU16(r + 6));
            QtxBinPutU16(rec + 4, static_cast<uint16_t>(i));
            rec[16] = status ? 1 : 0;
            if ((r[2] & 0x40) == 0)
                ++inputs;
            ++io;
            lastKey = key;
        }
        uint8_t* rec = m_pImage.get() + PN_IMAGE_IO_OFFSET + kIoSize * (io - 1);
        QtxBinPutU16(rec + 6, static_cast<uint16_t>(QtxBinGetU16(rec + 6) + 1));
        if (!status)
            QtxBinPutU16(r + 14, static_cast<uint16_t>(io - 1));
    }
    Put16(18, static_cast<uint16_t>(io));
    m_pImage[21] = static_cast<uint8_t>(std::min<uint32_t>(inputs, 255));
    return 0;
}

// Relation-usage records of the diagnosis values of a relation (device and controller): the
// input figures (class 3 without the flag), the output figures (class 3 with the flag) and the
// connection state (class 4). A relation's connection state goes with its input record, else
// with its output record; a relation with nothing but its connection state gets a pure
// connection record. The records are numbered inputs first, then outputs, then pure connection
// records, each group in the order of the signal records; every value takes its record's number.
int PnSnifferSignalRemap::NumberRelationUsages(uint32_t signals)
{
    enum Use : uint8_t
    {
        kInput = 0,
        kOutput = 1,
        kConnection = 2
    };
    const auto isUsage = [](const uint8_t* r)
    { return (r[9] & kDiagnosisFlag) != 0 && (r[5] == 3 || r[5] == 4); };
    const auto useOf = [](const uint8_t* r) {
        return r[5] == 4 ? kConnection : (r[2] & 1) != 0 ? kOutput : kInput;
    };
    const auto relationOf = [](const uint8_t* r)
    { return static_cast<uint32_t>(r[8]) << 8 | r[4]; };

    // The relations of each use, in the order of their first value.
    std::vector<uint32_t> byUse[3];
    std::set<uint32_t> seen[3];
    for (uint32_t i = 0; i < signals; ++i)
    {
        const uint8_t* r = Signal(i);
        if (isUsage(r) && seen[useOf(r)].insert(relationOf(r)).second)
            byUse[useOf(r)].push_back(relationOf(r));
    }
    // The records in the order of their numbers: relation and use.
    std::vector<std::pair<uint32_t, Use>> records;
    for (Use use : {kInput, kOutput})
        for (uint32_t relation : byUse[use])
            records.emplace_back(relation, use);
    for (uint32_t relation : byUse[kConnection])
        if (seen[kInput].count(relation) == 0 && seen[kOutput].count(relation) == 0)
            records.emplace_back(relation, kConnection);
    std::map<uint32_t, uint32_t> number[3];
    for (uint32_t n = 0; n < records.size(); ++n)
        number[records[n].second][records[n].first] = n;
    for (uint32_t relation : byUse[kConnection])
        if (number[kConnection].count(relation) == 0)
            number[kConnection][relation] =
                number[seen[kInput].count(relation) != 0 ? kInput : kOutput][relation];

    std::memset(m_pImage.get() + PN_IMAGE_USAGE_OFFSET, 0, 4 * kMaxUsages);
    for (uint32_t n = 0; n < records.size() && n < kMaxUsages; ++n)
    {
        uint8_t* u = m_pImage.get() + PN_IMAGE_USAGE_OFFSET + 4 * n;
        u[0] = static_cast<uint8_t>(records[n].first >> 8);
        u[1] = static_cast<uint8_t>(records[n].first);
        u[2] = records[n].second;
        u[3] = static_cast<uint8_t>(n);
    }
    for (uint32_t i = 0; i < signals; ++i)
    {
        uint8_t* r = Signal(i);
        if (!isUsage(r))
            continue;
        const uint32_t n = number[useOf(r)][relationOf(r)];
        if (n >= kMaxUsages)
            return Fail(7, i, kMaxUsages, PN_ERR_TOO_MANY_USAGES);
        QtxBinPutU16(r + 14, static_cast<uint16_t>(n));
    }
    m_pImage[44] = static_cast<uint8_t>(records.size());
    return 0;
}

// A script per I/O record: its head, then one word per value (byte offset, size or bit), the
// last word marked. Every value takes its bytes in the slot's extracted data.
int PnSnifferSignalRemap::BuildScripts(uint32_t ioRecords)
{
    uint32_t words = 0;
    uint32_t dataBytes = 0;
    const auto put = [&](uint16_t word)
    {
        if (words >= kScriptWords - 1)
            return false;
        Put16(PN_IMAGE_SCRIPT_OFFSET + 2 * words++, word);
        return true;
    };
    for (uint32_t n = 0; n < ioRecords; ++n)
    {
        uint8_t* rec = m_pImage.get() + PN_IMAGE_IO_OFFSET + kIoSize * n;
        const bool status = rec[16] != 0;
        QtxBinPutU16(rec + 8, static_cast<uint16_t>(words));
        QtxBinPutU16(rec + 12, static_cast<uint16_t>(dataBytes));
        bool ok =
            (rec[1] & 0x40) == 0 ? put(0x8000) : (put(0x6000) && put(status ? 0x2800 : 0x3000));
        const uint32_t first = QtxBinGetU16(rec + 4);
        const uint32_t count = QtxBinGetU16(rec + 6);
        for (uint32_t s = first; ok && s < first + count; ++s)
        {
            uint8_t* r = Signal(s);
            const uint32_t position = QtxBinGetU16(r) & 0x3FFF;
            const uint32_t width = r[9] & 0x7F;
            const uint32_t bytes = width == 1 ? 1 : (width + 7) / 8;
            uint16_t word = static_cast<uint16_t>((position / 8) & 0x7FF);
            if (width == 1)
                word |= static_cast<uint16_t>((position % 8) << 11 | 0x4000);
            else
                word |= static_cast<uint16_t>(((bytes - 1) & 7) << 11);
            if (s + 1 == first + count)
                word |= 0x8000;
            ok = put(word);
            if (!status)
                QtxBinPutU16(r + 10, static_cast<uint16_t>(dataBytes * 8));
            dataBytes += bytes;
            if (dataBytes * 8 > 32768)
                return Fail(5, n, dataBytes, PN_ERR_SLOT_DATA_SIZE);
        }
        if (!ok)
            return Fail(5, n, words, PN_ERR_RECORDS_FULL);
        QtxBinPutU16(rec + 10, static_cast<uint16_t>(dataBytes - QtxBinGetU16(rec + 12)));
    }
    Put16(24, static_cast<uint16_t>(words));
    Put16(26, static_cast<uint16_t>(dataBytes));
    for (uint32_t w = words; w < kScriptWords; ++w)
        Put16(PN_IMAGE_SCRIPT_OFFSET + 2 * w, 0x87FF);
    return 0;
}

// Device-number records (one per device of the I/O records, with its controllers) and FPGA
// slot-index records (one per device and slot, the I/O record in the place of its kind).
// A device-number record: byte 0 the device index, 1 its I/O records, u16 2 the first of them,
// byte 4 its relations; from byte 8 four bytes per relation: the relation (0 no controller, else
// the controller number), the kinds of I/O records it carries (bit per kind), u16 its slot.
// The header counts the relation slots per kind (u16 32, 34, 36, 38) and their sum (u16 46).
int PnSnifferSignalRemap::BuildDeviceRecords(uint32_t ioRecords)
{
    std::memset(m_pImage.get() + PN_IMAGE_DEVNUM_OFFSET, 0, 8192);
    uint32_t devices = 0;
    uint32_t slotIndexes = 0;
    uint32_t relationSlots[4] = {0, 0, 0, 0};
    std::map<uint32_t, uint32_t> deviceRecord;
    std::map<uint32_t, uint32_t> slotRecord;
    for (uint32_t n = 0; n < ioRecords; ++n)
    {
        const uint8_t* io = m_pImage.get() + PN_IMAGE_IO_OFFSET + kIoSize * n;
        if (io[16] != 0)
            continue;
        auto found = deviceRecord.find(io[0]);
        if (found == deviceRecord.end())
        {
            if (devices >= PN_IMAGE_MAX_DEVICES - 1)
                return Fail(1, n, devices, PN_ERR_TOO_MANY_DEVICES);
            uint8_t* d = m_pImage.get() + PN_IMAGE_DEVNUM_OFFSET + kDevNumSize * devices;
            d[0] = io[0];
            QtxBinPutU16(d + 2, static_cast<uint16_t>(n));
            found = deviceRecord.emplace(io[0], devices++).first;
        }
        uint8_t* d = m_pImage.get() + PN_IMAGE_DEVNUM_OFFSET + kDevNumSize * found->second;
        ++d[1];
        const uint8_t relation = (io[1] & 0x80) != 0 ? static_cast<uint8_t>((io[1] & 0xF) + 1) : 0;
        const uint16_t slotNumber = QtxBinGetU16(io + 2);
        uint32_t entry = 0;
        while (entry < d[4] && d[8 + 4 * entry] != relation)
            ++entry;
        if (entry == d[4])
        {
            if (d[4] >= kMaxRelations)
                return Fail(4, n, relation, PN_ERR_TOO_MANY_RELATIONS);
            d[8 + 4 * entry] = relation;
            QtxBinPutU16(d + 10 + 4 * entry, slotNumber);
            ++d[4];
        }
        else if (QtxBinGetU16(d + 10 + 4 * entry) != slotNumber)
        {
            // A relation carries the data of one slot of its device: a second slot would make
            // the controller extract the first one's data for both.
            return Fail(4, n, relation, PN_ERR_RELATION_SLOT);
        }
        // The relation slot is used once per kind of I/O record.
        const uint32_t kind = (io[1] >> 4) & 3;
        if ((d[9 + 4 * entry] & (1u << kind)) == 0)
        {
            d[9 + 4 * entry] = static_cast<uint8_t>(d[9 + 4 * entry] | 1u << kind);
            ++relationSlots[kind];
        }

        const uint32_t key = static_cast<uint32_t>(io[0]) << 16 | slotNumber;
        auto slot = slotRecord.find(key);
        if (slot == slotRecord.end())
        {
            if (slotIndexes >= kMaxSlotIndexRecords)
                return Fail(5, n, slotIndexes, PN_ERR_RECORDS_FULL);
            uint8_t* s = m_pImage.get() + PN_IMAGE_SLOT_INDEX_OFFSET + kSlotIndexSize * slotIndexes;
            std::memset(s, 0, kSlotIndexSize);
            s[0] = io[0];
            QtxBinPutU16(s + 2, slotNumber);
            slot = slotRecord.emplace(key, slotIndexes++).first;
        }
        uint8_t* s = m_pImage.get() + PN_IMAGE_SLOT_INDEX_OFFSET + kSlotIndexSize * slot->second;
        if (QtxBinGetU16(s + 4 + 2 * kind) != 0)
            return Fail(5, n, kind, PN_ERR_SLOT_INDEX_KIND);
        QtxBinPutU16(s + 4 + 2 * kind, static_cast<uint16_t>(0x8000 | n));
    }
    Put16(28, static_cast<uint16_t>(devices));
    uint32_t relationSum = 0;
    for (uint32_t kind = 0; kind < 4; ++kind)
    {
        Put16(32 + 2 * kind, static_cast<uint16_t>(relationSlots[kind]));
        relationSum += relationSlots[kind];
    }
    Put16(46, static_cast<uint16_t>(relationSum));
    if (relationSum > 128)
        return Fail(1, 0, 128, PN_ERR_RELATION_SUM);
    Put16(40, static_cast<uint16_t>(slotIndexes));
    return 0;
}

int PnSnifferSignalRemap::Complete()
{
    if (!m_pImage)
        return -74;
    for (uint32_t offset : {18u, 20u, 24u, 26u, 28u, 32u, 34u, 36u, 38u, 40u, 46u, 60u})
        Put16(offset, 0);
    m_pImage[21] = 0;
    m_pImage[44] = 0;
    std::memset(m_pImage.get() + 24448, 0, 128);

    const uint32_t signals = Get16(16);
    std::vector<std::array<uint8_t, 16>> records(signals);
    for (uint32_t i = 0; i < signals; ++i)
        std::memcpy(records[i].data(), Signal(i), 16);
    std::stable_sort(records.begin(), records.end(),
                     [](const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b)
                     {
                         const bool da = (a[9] & kDiagnosisFlag) != 0;
                         const bool db = (b[9] & kDiagnosisFlag) != 0;
                         if (da != db)
                             return !da;
                         if (a[8] != b[8])
                             return a[8] < b[8];
                         return Key64(a.data()) < Key64(b.data());
                     });
    for (uint32_t i = 0; i < signals; ++i)
        std::memcpy(Signal(i), records[i].data(), 16);

    int result = BuildIoRecords(signals);
    const uint32_t io = Get16(18);
    if (result == 0)
        result = BuildScripts(io);
    if (result == 0)
        result = BuildDeviceRecords(io);
    if (result == 0)
        result = NumberRelationUsages(signals);
    if (result != 0)
        return result;
    Stamp(4);
    Put16(52, 0);
    return 0;
}

int PnSnifferSignalRemap::StartAndFinish()
{
    if (!m_pImage)
        return -74;
    Stamp(8);
    const uint16_t stage = Get16(52);
    if (stage != 0)
        return stage;
    uint8_t usages[512];
    std::memcpy(usages, m_pImage.get() + PN_IMAGE_USAGE_OFFSET, sizeof usages);
    const int result = PNDrvSStartConfig(m_pImage.get());
    std::memcpy(m_pImage.get() + PN_IMAGE_USAGE_OFFSET, usages, sizeof usages);
    return result;
}

int PnSnifferSignalRemap::WriteLastConfiguration()
{
    if (!m_pImage)
        return -74;
    Stamp(8);
    return PNDrvSWriteLastConfig(m_pImage.get());
}
