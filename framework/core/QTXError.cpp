#include "QTXError.h"

const char* ErrorSeverityToText(int severity)
{
    switch (severity)
    {
    case UndefinedError:
        return "UndefinedError";
    case DebugOutput:
        return "DebugOutput";
    case Note:
        return "Note";
    case Warning:
        return "Warning";
    case Error:
        return "Error";
    case FatalError:
        return "FatalError";
    default:
        return "UnknownErrorSeverity";
    }
}

CQTXError::CQTXError() : m_sType("GeneralError"), m_eSeverity(Error), m_nErrorNumber(-260) {}

CQTXError::CQTXError(const std::string& text, const std::string& parameter, const char* file,
                     int line, enum ErrorSeverity severity, const std::string& type)
    : m_sType(type), m_sText(text), m_sParameter(parameter), m_eSeverity(severity),
      m_nErrorNumber(severity < Error ? 0 : -260)
{
    if (file != nullptr)
        m_sLocation = "(file " + UnitName(file) + ", line " + std::to_string(line) + ")";
}

std::string CQTXError::UnitName(const char* file)
{
    // A source path (what __FILE__ gives: the build machine's directories) names its unit by
    // the file's short name, "./QTXSystem" for ".../drivers/system/QTXSystem.cpp"; a name
    // without directories is the unit's name as it stands.
    const std::string name(file);
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos)
        return name;
    std::string stem = name.substr(slash + 1);
    const size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0)
        stem.erase(dot);
    return "./" + stem;
}

std::string CQTXError::ToString() const
{
    return ErrorSeverityText() + ": " + m_sType + " / " + m_sText + " / " + m_sParameter +
           " occured in " + m_sLocation;
}

#define QTX_DEFINE_ERROR_CLASS(name, typeText)                                                     \
    name::name(const std::string& text, const std::string& parameter, const char* file, int line, \
               enum ErrorSeverity severity)                                                        \
        : CQTXError(text, parameter, file, line, severity, typeText)                               \
    {                                                                                              \
    }

QTX_DEFINE_ERROR_CLASS(CQTXECommunicationError, "CommunicationError")
QTX_DEFINE_ERROR_CLASS(CQTXEParameterError, "ParameterError")
QTX_DEFINE_ERROR_CLASS(CQTXEXmlError, "XmlError")
QTX_DEFINE_ERROR_CLASS(CQTXESeeXmlError, "SeeXmlError")
QTX_DEFINE_ERROR_CLASS(CQTXEHardwareError, "HardwareError")

LockGuard::~LockGuard()
{
    if (m_iLocked)
        pthread_mutex_unlock(m_pMutex);
}

void LockGuard::Lock()
{
    pthread_mutex_lock(m_pMutex);
    m_iLocked = 1;
}

void LockGuard::Unlock()
{
    m_iLocked = 0;
    pthread_mutex_unlock(m_pMutex);
}
