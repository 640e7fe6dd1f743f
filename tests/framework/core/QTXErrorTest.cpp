#include "QTXError.h"

#include <gtest/gtest.h>

TEST(QTXError, NumberAndLocationFollowSeverityAndFile)
{
    CQTXError warning("Busy", "later", "QTX.cpp", 42, Warning);
    EXPECT_EQ(warning.GetErrorNumber(), 0);
    EXPECT_EQ(warning.ErrorLocation(), "(file QTX.cpp, line 42)");
    EXPECT_EQ(warning.ToString(), "Warning: GeneralError / Busy / later occured in (file QTX.cpp, line 42)");

    CQTXError error("WrongModule", "", nullptr, 7);
    EXPECT_EQ(error.GetErrorNumber(), -260);
    EXPECT_EQ(error.ErrorLocation(), "");
    EXPECT_EQ(error.ToString(), "Error: GeneralError / WrongModule /  occured in ");

    CQTXError def;
    EXPECT_EQ(def.ErrorType(), "GeneralError");
    EXPECT_EQ(def.ErrorSeverity(), Error);
    EXPECT_EQ(def.GetErrorNumber(), -260);
    EXPECT_TRUE(def.isEmpty());
    def.SetErrorNumber(-256);
    EXPECT_EQ(def.GetErrorNumber(), -256);
}

TEST(QTXError, ASourcePathIsNamedByItsUnitNeverByTheBuildMachinesDirectories)
{
    const struct
    {
        const char* file;
        const char* location;
    } cases[] = {
        {"/home/build/src/drivers/system/QTXSystem.cpp", "(file ./QTXSystem, line 3)"},
        {"../../framework/core/QTX.cpp", "(file ./QTX, line 3)"},
        {"./xmlParser", "(file ./xmlParser, line 3)"},
        {"QTX.cpp", "(file QTX.cpp, line 3)"},
        {"dir/.hidden", "(file ./.hidden, line 3)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CQTXError("x", "", c.file, 3).ErrorLocation(), c.location) << c.file;
    EXPECT_EQ(CQTXError("x", "", __FILE__, 9).ErrorLocation(), "(file ./QTXErrorTest, line 9)");
}

TEST(QTXError, SubclassesSetOnlyTheirType)
{
    const struct
    {
        CQTXError error;
        const char* type;
    } cases[] = {
        {CQTXECommunicationError("NoNetwork", "p", "f", 1), "CommunicationError"},
        {CQTXEParameterError("x", "p", "f", 1), "ParameterError"},
        {CQTXEXmlError("x", "p", "f", 1), "XmlError"},
        {CQTXESeeXmlError("x", "p", "f", 1), "SeeXmlError"},
        {CQTXEHardwareError("x", "p", "f", 1, Note), "HardwareError"},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.error.ErrorType(), c.type);
        EXPECT_EQ(c.error.ErrorParameter(), "p");
    }
    EXPECT_EQ(cases[4].error.GetErrorNumber(), 0);
}

TEST(QTXError, SeverityTexts)
{
    const char* texts[] = {"UndefinedError", "DebugOutput", "Note", "Warning", "Error", "FatalError"};
    for (int s = 0; s <= 5; ++s)
        EXPECT_STREQ(ErrorSeverityToText(s), texts[s]);
    EXPECT_STREQ(ErrorSeverityToText(9), "UnknownErrorSeverity");
    EXPECT_EQ(CQTXError("a", "b", nullptr, 0, static_cast<ErrorSeverity>(9)).ErrorSeverityText(),
              "UnknownErrorSeverity");
    EXPECT_FALSE(CQTXError("", "only parameter", nullptr, 0).isEmpty());
}

TEST(LockGuard, UnlocksOnlyWhatItHolds)
{
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    {
        LockGuard g(&m);
        g.Lock();
    }
    EXPECT_EQ(pthread_mutex_trylock(&m), 0) << "destructor must unlock a held mutex";
    pthread_mutex_unlock(&m);

    pthread_mutex_lock(&m); // held by this test, not by the guard
    {
        LockGuard g(&m);
    }
    EXPECT_NE(pthread_mutex_trylock(&m), 0) << "a guard that never locked must not unlock";
    pthread_mutex_unlock(&m);
    {
        LockGuard g(&m);
        g.Lock();
        g.Unlock();
        pthread_mutex_lock(&m);
    }
    EXPECT_NE(pthread_mutex_trylock(&m), 0) << "a guard after Unlock must not unlock again";
    pthread_mutex_unlock(&m);
}
