// Encoding and decoding of the progress record "#P" (see QTXProgressRecord.h).
#include "QTXProgressRecord.h"
#include "QTXBinConfig.h"

#include <algorithm>
#include <cstring>

std::vector<uint8_t> EncodeProgressRecord(const std::string& text, int current, int total,
                                          double fraction)
{
    size_t textLength = std::min(text.size(), QTX_PROGRESS_MAX_TEXT);
    std::vector<uint8_t> record(textLength + QTX_PROGRESS_OVERHEAD, 0);
    record[0] = '#';
    record[1] = 'P';
    QtxBinPutU16(&record[2], static_cast<uint16_t>(record.size()));
    QtxBinPutU16(&record[4], static_cast<uint16_t>(total));
    QtxBinPutU16(&record[6], static_cast<uint16_t>(current));
    float f = static_cast<float>(fraction);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    QtxBinPutU32(&record[8], bits);
    std::memcpy(&record[QTX_PROGRESS_HEAD_BYTES], text.data(), textLength);
    return record;
}

bool DecodeProgressRecord(const void* data, size_t length, QTXProgressRecord& record)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (p == nullptr || length < QTX_PROGRESS_HEAD_BYTES || p[0] != '#' || p[1] != 'P')
        return false;
    record.uLength = QtxBinGetU16(p + 2);
    record.uTotal = QtxBinGetU16(p + 4);
    record.uCurrent = QtxBinGetU16(p + 6);
    uint32_t bits = QtxBinGetU32(p + 8);
    std::memcpy(&record.fFraction, &bits, sizeof bits);
    const char* text = reinterpret_cast<const char*>(p + QTX_PROGRESS_HEAD_BYTES);
    size_t room = std::min(length - QTX_PROGRESS_HEAD_BYTES, QTX_PROGRESS_MAX_TEXT);
    const void* end = std::memchr(text, 0, room);
    record.sText.assign(text, end ? static_cast<const char*>(end) - text : room);
    return true;
}
