// Build stamp: a record that every program and the framework library carry in their files, so
// that a tool finds it by its markers:
//
//   "VeZa:" <stamp text> "\0" ":aZeV" "\0"
//
// The stamp text is one line of fields separated by ";": revision, "R", revision of the working
// copy ("M" appended when it held changes), "W", who built it, build date and time as
// YYMMDD-HH:MM, two empty fields, the build directory, two empty fields, and a line end.
//
// The build defines KOVE_BUILD_REVISION, KOVE_BUILD_WC_REVISION, KOVE_BUILD_USER and
// KOVE_BUILD_DIRECTORY as string literals in the generated KoveBuildInfo.h (see
// cmake/KoveBuildInfo.cmake), which a stamp unit includes before this header; missing ones read
// "0", "0", "unknown" and "". The date and time are those of the compilation of the unit that
// makes the record.
//
// The library's record is answered for by GetQTXDLLVersionStr and QTXDLLVersionStr. Every program
// links its own record (framework/programstamp), answered for by GetQTXProgramVersionStr and
// QTXProgramVersionStr: names of their own, since a program's definition of the library's names
// would take the place of the library's.
#ifndef QTX_BUILD_STAMP_H
#define QTX_BUILD_STAMP_H

#include <cstddef>

#ifndef KOVE_BUILD_REVISION
#define KOVE_BUILD_REVISION "0"
#endif
#ifndef KOVE_BUILD_WC_REVISION
#define KOVE_BUILD_WC_REVISION "0"
#endif
#ifndef KOVE_BUILD_USER
#define KOVE_BUILD_USER "unknown"
#endif
#ifndef KOVE_BUILD_DIRECTORY
#define KOVE_BUILD_DIRECTORY ""
#endif

// Bytes of a stamp record; a text that would not fit has its longest fields cut.
constexpr size_t QTX_BUILD_STAMP_SIZE = 256;
// Length of the opening marker "VeZa:", where the stamp text begins.
constexpr size_t QTX_BUILD_STAMP_TEXT_OFFSET = 5;

struct QTXBuildStampRecord
{
    char acBytes[QTX_BUILD_STAMP_SIZE];
};

namespace qtxstamp
{
// Appends text (at most limit characters) to the record at position; returns the position
// after it.
constexpr size_t Append(QTXBuildStampRecord& record, size_t position, const char* text,
                        size_t limit = QTX_BUILD_STAMP_SIZE)
{
    for (size_t i = 0; text[i] != '\0' && i < limit && position < QTX_BUILD_STAMP_SIZE; ++i)
        record.acBytes[position++] = text[i];
    return position;
}

// Two decimal digits of a __DATE__ or __TIME__ field; a leading blank reads as "0".
constexpr char Digit(char c)
{
    return c == ' ' ? '0' : c;
}

// Month number 1..12 of the three letters of __DATE__.
constexpr int Month(const char* date)
{
    const char* names = "JanFebMarAprMayJunJulAugSepOctNovDec";
    for (int m = 0; m < 12; ++m)
        if (names[3 * m] == date[0] && names[3 * m + 1] == date[1] && names[3 * m + 2] == date[2])
            return m + 1;
    return 0;
}
} // namespace qtxstamp

// The record from its fields; date and time in the forms of __DATE__ ("Mmm dd yyyy") and
// __TIME__ ("hh:mm:ss").
constexpr QTXBuildStampRecord QTXMakeBuildStamp(const char* revision, const char* wcRevision,
                                                const char* user, const char* date,
                                                const char* time, const char* directory)
{
    using namespace qtxstamp;
    QTXBuildStampRecord record{};
    const int month = Month(date);
    const char when[] = {Digit(date[9]),
                         Digit(date[10]),
                         static_cast<char>('0' + month / 10),
                         static_cast<char>('0' + month % 10),
                         Digit(date[4]),
                         Digit(date[5]),
                         '-',
                         Digit(time[0]),
                         Digit(time[1]),
                         ':',
                         Digit(time[3]),
                         Digit(time[4]),
                         '\0'};
    // Room is kept for the closing marker: the short fields are limited, the directory takes
    // what is left.
    size_t p = Append(record, 0, "VeZa:");
    p = Append(record, p, revision, 16);
    p = Append(record, p, ";R;");
    p = Append(record, p, wcRevision, 17);
    p = Append(record, p, ";W;");
    p = Append(record, p, user, 32);
    p = Append(record, p, ";");
    p = Append(record, p, when);
    p = Append(record, p, ";;;");
    p = Append(record, p, directory, QTX_BUILD_STAMP_SIZE - p - 11);
    p = Append(record, p, ";;\n");
    record.acBytes[p++] = '\0';
    p = Append(record, p, ":aZeV");
    record.acBytes[p] = '\0';
    return record;
}

// Defines a stamp record of the program (or library) being built, kept in its file.
#define QTX_DEFINE_BUILD_STAMP(name)                                                               \
    __attribute__((used)) const QTXBuildStampRecord name =                                         \
        QTXMakeBuildStamp(KOVE_BUILD_REVISION, KOVE_BUILD_WC_REVISION, KOVE_BUILD_USER, __DATE__,  \
                          __TIME__, KOVE_BUILD_DIRECTORY)

// The stamp text of a record (behind its opening marker).
const char* QTXBuildStampText(const QTXBuildStampRecord& record);
// Copies at most length bytes of the record's stamp text with its terminating zero into buffer,
// the last byte copied made a zero; returns the number of bytes copied (0 for a length below 1
// or a null buffer).
int QTXCopyBuildStampText(const QTXBuildStampRecord& record, char* buffer, int length);

// The framework library's own stamp text.
const char* GetQTXDLLVersionStr();
// Copies the framework library's stamp text as QTXCopyBuildStampText does.
int QTXDLLVersionStr(char* buffer, int length);

// The program's own stamp text and its copy, as above; defined in every program, not in the
// library.
const char* GetQTXProgramVersionStr();
int QTXProgramVersionStr(char* buffer, int length);

#endif
