// Item tables and the text conversions that every document, user setting and log line of the
// framework goes through. All functions are free of state and never throw.
//
// 32-bit quantities are int32_t/uint32_t so that a value behaves the same here as on the
// 32-bit target (StringToInt wraps in 32 bits, IntToString shows the unsigned 32-bit view).
#ifndef QTX_CONVERT_H
#define QTX_CONVERT_H

#include <cstdint>
#include <string>

// One row of a name table. A table ends with a row whose name is null; that row's value is
// what a lookup by name gives for an unknown name. Names may repeat: a lookup by value takes
// the first row that has it.
struct Item_t
{
    const char* name;
    int value;
};

// Signal data type of the acquisition software; aVraTypeItems holds the names.
enum _VraType
{
    VraDigital = 0,
    VraSINT = 1,
    VraBYTE = 2,
    VraINT = 3,
    VraWORD = 4,
    VraDINT = 5,
    VraDWORD = 6,
    VraFLOAT = 7,
    VraNone = 8, // no type; its name is the empty text
    VraDOUBLE = 9
};

// "false" 0, "true" 1, "0" 0, "1" 1; unknown names give -1.
extern const Item_t aBoolItems[];
// Names of _VraType: "Digital" .. "FLOAT", "DOUBLE", and "" for VraNone; unknown names give -1.
extern const Item_t aVraTypeItems[];
// Value kind of a _VraType ("Bool", "Integer", "UnsignedInteger", "Float"; "" for VraNone);
// no row for VraDOUBLE.
extern const Item_t aTypeItems[];
// Bit width of a _VraType as text ("1", "8", "16", "32"; "" for VraNone); no row for VraDOUBLE.
extern const Item_t aLengthItems[];

// Text that ItemIntToString gives for a value that no row has.
extern const char* const sItemNotFound; // "***ERROR***"

// ---- Item tables

// Name of the first row with this value; "***ERROR***" when no row has it (never null).
const char* ItemIntToString(const Item_t* table, int value);
// Value of the first row whose name equals text: compared exactly, or without regard to case
// when ignoreCase is set. The end row's value when no row matches (also for a null text).
int ItemStringToInt(const Item_t* table, const char* text, bool ignoreCase = false);
int ItemStringToInt(const Item_t* table, const std::string& text, bool ignoreCase = false);

// ---- Comparison

// True when both texts are equal without regard to case. With prefix also true when one text
// is a prefix of the other (so the empty text matches every text). A null text gives false.
bool SameString(const char* a, const char* b, bool prefix = false);
bool SameString(const std::string& a, const char* b, bool prefix = false);
bool SameString(const char* a, const std::string& b, bool prefix = false);
bool SameString(const std::string& a, const std::string& b, bool prefix = false);

// ---- Integers

// value in base 2, 8, 10 or 16 with the prefix "0b", "0o", "-" (negative decimal) or "0x",
// upper-case digits, zero-padded to at least `digits` digits. Negative values in bases 2, 8
// and 16 show the unsigned 32-bit view (two's complement). "<error>" for another base or more than
// 96 digits. Examples: (255, 16, 4) "0x00FF"; (-5, 10, 3) "-05"; (5, 2) "0b101"; (0, 16) "0x0".
std::string IntToString(int32_t value, int base = 10, int digits = 0);
// The values by IntToString(value, base, 0) joined with ";"; "" for a count of 0 or less.
std::string IntArrayToString(const int32_t* values, int count, int base = 10);

// Leading white space, one optional "-", then an optional base prefix "0b", "0o", "0d", "0x"
// (either case), then digits of that base, "_" skipped between them; the first other
// character ends the number. Accumulates in 32 bits (wrapping). 0 for null or no digits.
int32_t StringToInt(const char* text);
int32_t StringToInt(const std::string& text);

// Values separated by ";" into values[0 .. maximum-1], after passing over `skip` fields.
// The scan ends at an empty field; the rest of the text then reads as one more value while
// fewer than `maximum` are stored and nothing remains to be skipped. So "" gives one 0,
// "1;2;" gives 1, 2, 0 and "1;;2" gives 1, 0. Returns the number of values stored (0 for a
// null text or buffer).
int StringToIntArray(const char* text, int32_t* values, int maximum, int skip = 0);
int StringToIntArray(const std::string& text, int32_t* values, int maximum, int skip = 0);

// ---- Floating point and booleans

// The value printed with a printf format taking one double ("%lg" when format is null); at
// most 99 characters. "<error>" for a format that does not take exactly one double.
std::string FloatToString(double value, const char* format = nullptr);
// The values printed with "%lg" and joined with ";". values points to doubles when isDouble is
// set, to 4-byte floats otherwise.
std::string FloatArrayToString(const void* values, int count, bool isDouble = true);

// The first number read with "%lf"; 0 for null or when no number can be read.
double StringToFloat(const char* text);
double StringToFloat(const std::string& text);
// As StringToIntArray, each field read with StringToFloat.
int StringToFloatArray(const char* text, double* values, int maximum, int skip = 0);
int StringToFloatArray(const std::string& text, double* values, int maximum, int skip = 0);

// True only for the exact text "true".
bool StringToBool(const char* text);
bool StringToBool(const std::string& text);
// As StringToIntArray, each field read with StringToBool.
int StringToBoolArray(const char* text, bool* values, int maximum, int skip = 0);
int StringToBoolArray(const std::string& text, bool* values, int maximum, int skip = 0);
// "true" or "false" per value, joined with ";".
std::string BoolArrayToString(const bool* values, int count);

// ---- Texts

// The text, or "" for null. Texts are single-byte, so both are the same.
std::string CharPointerToString(const char* text);
std::string TCHARPointerToString(const char* text);

// Copies at most size - 1 characters of text, zero-fills up to that many and always writes a
// zero byte at destination[size - 1]. Nothing is written for a null destination or a size
// below 1. Returns destination.
char* CopyStringToCharArray(char* destination, const std::string& text, int size);

// Number of fields: separators + 1 (1 for the empty text).
int GetNumberOfArguments(const std::string& text, char separator);
// Field `index` (0-based; 0 or less is the first); "" when there are fewer fields.
std::string GetArgument(const std::string& text, char separator, int index);

// Hex dump of a buffer for debug output: " [0x0000] 0x41 0x42 ...", a new line head every 16
// bytes, separated by a blank or by `separator` when that is not zero. At most `maximum`
// bytes are shown when it is not negative; a shorter dump ends with
// ".... (total size = <length>)".
std::string BufferDebugOutput(const void* buffer, int length, int maximum = -1, char separator = 0);

#endif
