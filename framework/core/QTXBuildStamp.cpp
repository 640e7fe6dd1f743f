// The framework library's build stamp and the accessors of stamp records.
// The build's facts (generated at build time) come before the header that falls back on defaults.
#include "KoveBuildInfo.h"

#include "QTXBuildStamp.h"

#include <cstring>

namespace
{
QTX_DEFINE_BUILD_STAMP(tQTXLibraryStamp);
} // namespace

const char* QTXBuildStampText(const QTXBuildStampRecord& record)
{
    return record.acBytes + QTX_BUILD_STAMP_TEXT_OFFSET;
}

int QTXCopyBuildStampText(const QTXBuildStampRecord& record, char* buffer, int length)
{
    if (buffer == nullptr || length < 1)
        return 0;
    const char* text = QTXBuildStampText(record);
    const size_t available = strlen(text) + 1;
    const size_t count =
        available < static_cast<size_t>(length) ? available : static_cast<size_t>(length);
    memcpy(buffer, text, count);
    buffer[count - 1] = '\0';
    return static_cast<int>(count);
}

const char* GetQTXDLLVersionStr()
{
    return QTXBuildStampText(tQTXLibraryStamp);
}

int QTXDLLVersionStr(char* buffer, int length)
{
    return QTXCopyBuildStampText(tQTXLibraryStamp, buffer, length);
}
