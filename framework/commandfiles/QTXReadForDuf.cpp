// Reader of the binary "ForDuf" module description: each step checks the bytes it reads against
// the data at hand, in 64-bit arithmetic, before reading them.
#include "QTXReadForDuf.h"

#include <cstring>

#include "QTXBinConfig.h"
#include "QTXConvert.h"

namespace
{
constexpr uint64_t kListHeadBytes = 24;
constexpr uint64_t kAddressPartBytes = 12;
constexpr uint64_t kBusMasterHeadBytes = 8;
constexpr uint64_t kTransferBytes = 12;
constexpr uint64_t kSignalBytes = 12;
constexpr uint64_t kNameBytes = 16;
constexpr uint8_t kKindBusMaster = 1;
constexpr uint8_t kKindRange = 2;

std::string ListName(const unsigned char* head)
{
    const char* name = reinterpret_cast<const char*>(head + 8);
    return std::string(name, strnlen(name, kNameBytes));
}

// Reads the address part of a consistent record of kind 1 or 2.
void ReadAddressPart(const unsigned char* record, QTXForDufList& list)
{
    const unsigned char* part = record + kListHeadBytes;
    list.uGlobalEvent = part[0];
    list.uSystemEvent = part[1];
    list.uBaseAddress = QtxBinGetU32(part + 4);
    list.uOffsetPerSlot = QtxBinGetU32(part + 8);
    if (list.uKind != kKindBusMaster)
        return;
    list.uModuleEvent = part[2];
    uint64_t at = kListHeadBytes + kAddressPartBytes;
    for (uint32_t i = 0; i < part[3]; ++i)
    {
        QTXForDufBusMaster block;
        block.uOffsetRegister = QtxBinGetU32(record + at);
        const uint32_t transfers = QtxBinGetU32(record + at + 4);
        at += kBusMasterHeadBytes;
        for (uint32_t j = 0; j < transfers; ++j, at += kTransferBytes)
        {
            QTXForDufTransfer transfer;
            transfer.uSource = QtxBinGetU32(record + at);
            transfer.uDestination = QtxBinGetU32(record + at + 4);
            transfer.uLength = QtxBinGetU32(record + at + 8);
            block.vTransfers.push_back(transfer);
        }
        list.vBusMasters.push_back(block);
    }
    list.bAddressPart = true;
}
} // namespace

bool QTXForDufIsBinaryHead(const unsigned char* data, size_t length)
{
    static const unsigned char kHead[6] = {'<', '?', 'b', 'i', 'n', 0};
    return data != nullptr && length >= sizeof kHead && memcmp(data, kHead, sizeof kHead) == 0;
}

bool QTXForDufRecordConsistent(const unsigned char* record, size_t available)
{
    if (available < kListHeadBytes)
        return false;
    const uint64_t size = QtxBinGetU32(record);
    const uint8_t kind = record[4];
    if (size < kListHeadBytes || size > available || kind > kKindRange)
        return false;
    if (kind == 0)
        return true;
    if (size < kListHeadBytes + kAddressPartBytes)
        return false;
    if (kind == kKindRange)
        return true;
    uint64_t at = kListHeadBytes + kAddressPartBytes;
    for (uint32_t i = 0; i < record[kListHeadBytes + 3]; ++i)
    {
        if (at + kBusMasterHeadBytes > size)
            return false;
        const uint64_t transfers = QtxBinGetU32(record + at + 4);
        at += kBusMasterHeadBytes;
        if (transfers > (size - at) / kTransferBytes)
            return false;
        at += transfers * kTransferBytes;
    }
    return true;
}

QTXForDufStatus QTXForDufFindList(const unsigned char* data, size_t length, const std::string& name,
                                  QTXForDufList& list)
{
    list = QTXForDufList();
    if (length < QTX_FORDUF_HEAD_BYTES || !QTXForDufIsBinaryHead(data, length))
        return QTX_FORDUF_NOT_BINARY;
    if (QtxBinGetU16(data + 6) != QTX_FORDUF_TAG)
        return QTX_FORDUF_WRONG_TAG;

    uint64_t at = QTX_FORDUF_HEAD_BYTES;
    const uint64_t end = length;
    while (at != end)
    {
        if (at > end || end - at < kListHeadBytes)
            return QTX_FORDUF_CORRUPT;
        const unsigned char* head = data + at;
        const uint64_t size = QtxBinGetU32(head);
        const uint64_t count = QtxBinGetU16(head + 6);
        // A size below the head would lead the walk backwards or in place.
        if (size < kListHeadBytes)
            return QTX_FORDUF_CORRUPT;
        if (!SameString(ListName(head), name))
        {
            at += size + count * kSignalBytes;
            continue;
        }

        list.uSize = static_cast<uint32_t>(size);
        list.uKind = head[4];
        list.uDirection = head[5];
        list.sName = ListName(head);
        if (size > end - at || count * kSignalBytes > end - at - size)
            return QTX_FORDUF_CORRUPT;
        const unsigned char* signal = head + size;
        for (uint64_t i = 0; i < count; ++i, signal += kSignalBytes)
        {
            QTXForDufSignal record;
            record.uNumber = QtxBinGetU16(signal);
            record.uLength = QtxBinGetU16(signal + 2);
            record.uOffset = QtxBinGetU32(signal + 4);
            record.uType = signal[8];
            list.vSignals.push_back(record);
        }
        if ((list.uKind == kKindBusMaster || list.uKind == kKindRange) &&
            QTXForDufRecordConsistent(head, static_cast<size_t>(size)))
            ReadAddressPart(head, list);
        return QTX_FORDUF_OK;
    }
    return QTX_FORDUF_NO_LIST;
}
