// Base versions of the request handlers that a driver may override.
//
// Interim state: the debug commands, the diagnostic answer, the answer under a module lock and
// the signal description are not served yet; the module description is not written.
#include "QTX.h"

std::string CQTX::GetSignalDescription(const std::string& /*group*/, int /*channel*/)
{
    return "";
}

bool CQTX::ProcessLockedConfiguration(const char* /*file*/, _QTXCommandFileType /*type*/)
{
    return false;
}

void CQTX::ProcessDiagnostic() {}

void CQTX::ProcessDebug() {}

void CQTX::ProcessKoveFactory()
{
    throw CQTXEXmlError("UnknownXmlFile", "Tag KoveFactory not possible for this module", __FILE__,
                        __LINE__, Error);
}

int CQTX::ProcessUnknownXmlTag(uint32_t /*requestCode*/)
{
    return -256;
}

double CQTX::GetSignalValue(const std::string& /*name*/, int /*number*/)
{
    return 0;
}

std::string CQTX::GetSignalUnit(const std::string& /*name*/, int /*number*/)
{
    return "";
}

std::string CQTX::GetModuleInfoFileName()
{
    return "ModuleInfo.xml";
}
