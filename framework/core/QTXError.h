// The one error value of the system above the C level, thrown and caught by
// value, and the scoped mutex holder handed to the configuration-lock hooks.
#ifndef QTX_ERROR_H
#define QTX_ERROR_H

#include <cstdint>
#include <pthread.h>
#include <string>

enum ErrorSeverity : int
{
    UndefinedError = 0,
    DebugOutput = 1,
    Note = 2,
    Warning = 3,
    Error = 4,
    FatalError = 5
};

// Text of a severity value; "UnknownErrorSeverity" for values outside the table.
const char* ErrorSeverityToText(int severity);

class CQTXError
{
public:
    CQTXError();
    CQTXError(const std::string& text, const std::string& parameter, const char* file, int line,
              enum ErrorSeverity severity = Error, const std::string& type = "GeneralError");

    std::string ErrorType() const { return m_sType; }
    std::string ErrorText() const { return m_sText; }
    std::string ErrorParameter() const { return m_sParameter; }
    std::string ErrorLocation() const { return m_sLocation; }
    enum ErrorSeverity ErrorSeverity() const { return m_eSeverity; }
    std::string ErrorSeverityText() const { return ErrorSeverityToText(m_eSeverity); }

    int16_t GetErrorNumber() const { return m_nErrorNumber; }
    void SetErrorNumber(int16_t number) { m_nErrorNumber = number; }

    // True when both the text and the parameter are empty.
    bool isEmpty() const { return m_sText.empty() && m_sParameter.empty(); }

    // "<severity>: <type> / <text> / <parameter> occured in <location>"
    std::string ToString() const;

    // The name an error location gives a source file: "./" and the file's name without its
    // directories and extension when it comes with directories, else the name as it stands.
    static std::string UnitName(const char* file);

private:
    std::string m_sType;
    std::string m_sText;
    std::string m_sParameter;
    enum ErrorSeverity m_eSeverity;
    std::string m_sLocation;
    int16_t m_nErrorNumber;
};

#define QTX_DECLARE_ERROR_CLASS(name)                                                              \
    class name : public CQTXError                                                                  \
    {                                                                                              \
    public:                                                                                        \
        name(const std::string& text, const std::string& parameter, const char* file, int line,   \
             enum ErrorSeverity severity = Error);                                                 \
    };

// Socket, thread and driver-to-driver failures.
QTX_DECLARE_ERROR_CLASS(CQTXECommunicationError)
// A wrong or missing value in a request or configuration.
QTX_DECLARE_ERROR_CLASS(CQTXEParameterError)
// A document that does not fit the driver or cannot be written.
QTX_DECLARE_ERROR_CLASS(CQTXEXmlError)
// Thrown after the messages about wrong parameters went into the request document.
QTX_DECLARE_ERROR_CLASS(CQTXESeeXmlError)
// Failed hardware access.
QTX_DECLARE_ERROR_CLASS(CQTXEHardwareError)

#undef QTX_DECLARE_ERROR_CLASS

// Holds one mutex; locking is explicit, the destructor unlocks only what is held.
class LockGuard
{
public:
    explicit LockGuard(pthread_mutex_t* mutex) : m_pMutex(mutex), m_iLocked(0) {}
    virtual ~LockGuard();
    void Lock();
    void Unlock();

private:
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    pthread_mutex_t* m_pMutex;
    int m_iLocked;
};

#endif
