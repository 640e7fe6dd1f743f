// The module lock: a client takes it with a Lock request (Value non-zero and its signature) to
// keep others from changing the module's configuration; only the holder (same signature, in
// any letter case) may change or release it. The system driver takes it with -2 when the
// module's firmware does not fit the CPU module's. While a client holds it, a configuration
// request is answered with the stored configuration and a warning, unless the driver checks
// new configurations under that lock value by rules of its own.
#include "QTX.h"

#include <cstdio>
#include <string>
#include <unistd.h>

#include "QTXConvert.h"
#include "QTXStringFile.h"

namespace
{
// The lock value and signature are read by any thread of the driver; one process has one
// driver, so one mutex serves.
pthread_once_t g_tLockStateOnce = PTHREAD_ONCE_INIT;
pthread_mutex_t g_tLockStateMutex;

pthread_mutex_t* LockStateMutex()
{
    pthread_once(&g_tLockStateOnce, [] { NyMutexCreatePrivate(&g_tLockStateMutex); });
    return &g_tLockStateMutex;
}

// Bytes at the end of the stored configuration in which the errors section (or the end of
// the document) is looked for.
constexpr long kLockedTailBytes = 1000;

const char kLockedWarning[] =
    "\t<Errors>\r\n"
    "\t\t<Warning Type=\"ParameterError\" Name=\"ConfigurationLocked\" "
    "Text=\"Configuration not changed due to lock\" File=\"./QTX\" Line=\"0\"/>\r\n"
    "\t</Errors>\r\n"
    "</Module>\r\n";

CQTXEParameterError ConfigurationLocked(int line)
{
    return CQTXEParameterError("ConfigurationLocked", "Configuration is locked and not be changed",
                               __FILE__, line, Error);
}

} // namespace

int CQTX::GetModuleLock() const
{
    LockGuard guard(LockStateMutex());
    guard.Lock();
    return iModuleLock;
}

std::string CQTX::GetModuleLockSignature() const
{
    LockGuard guard(LockStateMutex());
    guard.Lock();
    return sLockSignature;
}

void CQTX::ProcessLockRequest()
{
    const XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    if (!SameString(tXmlCommandFile.GetRootTagNameAttribute(), sModuleName))
        throw CQTXError("WrongModule", "Wrong module name in lock request", __FILE__, __LINE__,
                        Error, "GeneralError");
    const std::string signature = CharPointerToString(root.getAttribute("Signature"));
    const int32_t value = StringToInt(root.getAttribute("Value"));

    LockGuard guard(LockStateMutex());
    guard.Lock();
    if (iModuleLock != 0 && !SameString(signature, sLockSignature))
        throw CQTXError("ModuleLocked", "Module already locked by " + sLockSignature, __FILE__,
                        __LINE__, Error, "GeneralError");
    iModuleLock = value;
    sLockSignature = value != 0 ? signature : std::string();
}

bool CQTX::ChecksConfigurationUnderLock(int /*lock*/)
{
    return false;
}

bool CQTX::ProcessLockedConfiguration(const char* file, _QTXCommandFileType type)
{
    if (type == QTX_FILE_TYPE_BINARY)
    {
        if (file == nullptr || !SendStoredBinaryConfiguration(file))
            SendStdError(0xFEFE);
        return false;
    }

    // The stored configuration stays as it is: the answer is built in the reply file.
    const std::string reply = AddFilePreExtension(sCurrentRequestFile, "_out");
    if (file == nullptr || !CopyFile(reply, file))
        throw ConfigurationLocked(__LINE__);
    UpdateConfigurationFileXml(reply, true);

    FILE* answer = fopen(reply.c_str(), "r+be");
    if (answer == nullptr)
        throw ConfigurationLocked(__LINE__);
    long size = fseek(answer, 0, SEEK_END) == 0 ? ftell(answer) : -1;
    std::string tail(kLockedTailBytes, '\0');
    if (size < kLockedTailBytes || fseek(answer, size - kLockedTailBytes, SEEK_SET) != 0 ||
        fread(&tail[0], 1, tail.size(), answer) != tail.size())
    {
        fclose(answer);
        throw ConfigurationLocked(__LINE__);
    }

    // The warning replaces the errors section, or else the end of the document.
    size_t at = tail.find("<Errors");
    if (at == std::string::npos)
        at = tail.find("</Module>");
    bool written = true;
    if (at != std::string::npos)
    {
        const long position = size - kLockedTailBytes + static_cast<long>(at);
        written =
            fseek(answer, position, SEEK_SET) == 0 &&
            fwrite(kLockedWarning, 1, sizeof kLockedWarning - 1, answer) ==
                sizeof kLockedWarning - 1 &&
            fflush(answer) == 0 &&
            ftruncate(fileno(answer), position + static_cast<long>(sizeof kLockedWarning) - 1) == 0;
    }
    if (fclose(answer) != 0 || !written)
        throw ConfigurationLocked(__LINE__);

    tCommandServer.SendFile(reply, true);
    sCurrentRequestFile = reply;
    return false;
}
