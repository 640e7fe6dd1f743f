// The build stamp of a program: linked into every program of the device (not into libQTX, which
// has its own), so that each program file carries the record of its build.
#include "KoveBuildInfo.h"

#include "QTXBuildStamp.h"

namespace
{
QTX_DEFINE_BUILD_STAMP(tQTXProgramStamp);
} // namespace

const char* GetQTXProgramVersionStr()
{
    return QTXBuildStampText(tQTXProgramStamp);
}

int QTXProgramVersionStr(char* buffer, int length)
{
    return QTXCopyBuildStampText(tQTXProgramStamp, buffer, length);
}
