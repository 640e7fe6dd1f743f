// Item tables and text conversions.
#include "QTXConvert.h"

#include <cstdio>
#include <cstring>

const Item_t aBoolItems[] = {{"false", 0}, {"true", 1}, {"0", 0}, {"1", 1}, {nullptr, -1}};

// DOUBLE was added after the list was first laid down; its row stays before the empty name.
const Item_t aVraTypeItems[] = {{"Digital", VraDigital}, {"SINT", VraSINT},   {"BYTE", VraBYTE},
                                {"INT", VraINT},         {"WORD", VraWORD},   {"DINT", VraDINT},
                                {"DWORD", VraDWORD},     {"FLOAT", VraFLOAT}, {"DOUBLE", VraDOUBLE},
                                {"", VraNone},           {nullptr, -1}};

const Item_t aTypeItems[] = {{"Bool", VraDigital},
                             {"Integer", VraSINT},
                             {"UnsignedInteger", VraBYTE},
                             {"Integer", VraINT},
                             {"UnsignedInteger", VraWORD},
                             {"Integer", VraDINT},
                             {"UnsignedInteger", VraDWORD},
                             {"Float", VraFLOAT},
                             {"", VraNone},
                             {nullptr, -1}};

const Item_t aLengthItems[] = {
    {"1", VraDigital}, {"8", VraSINT},   {"8", VraBYTE},   {"16", VraINT}, {"16", VraWORD},
    {"32", VraDINT},   {"32", VraDWORD}, {"32", VraFLOAT}, {"", VraNone},  {nullptr, -1}};

const char* const sItemNotFound = "***ERROR***";

namespace
{
const char* const sConvertError = "<error>";

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Reads ";"-separated fields of text into values with `convert` applied to each field's text.
// The scan stops at an empty field; what follows the last field scanned, up to the end of
// the text, then reads as one more value. Callers rely on that: "" is one value and a
// trailing ";" adds a value.
template <typename T, typename Convert>
int ReadList(const char* text, T* values, int maximum, int skip, Convert convert)
{
    if (text == nullptr || values == nullptr || maximum < 1)
    {
        return 0;
    }
    int stored = 0;
    const char* field = text;
    while (stored < maximum)
    {
        const char* separator = std::strchr(field, ';');
        if (separator == nullptr || separator == field)
        {
            break;
        }
        if (skip > 0)
        {
            --skip;
        }
        else
        {
            values[stored++] = convert(std::string(field, separator));
        }
        field = separator + 1;
    }
    if (stored < maximum && skip <= 0)
    {
        values[stored++] = convert(std::string(field));
    }
    return stored;
}

// True when format is a printf format with exactly one conversion that takes a double
// ("%%" aside): flags, width and precision as digits, an optional "l", one of "aAeEfFgG".
bool IsDoubleFormat(const char* format)
{
    int conversions = 0;
    for (const char* p = format; *p != '\0'; ++p)
    {
        if (*p != '%')
        {
            continue;
        }
        ++p;
        if (*p == '%')
        {
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr)
        {
            ++p;
        }
        while (*p >= '0' && *p <= '9')
        {
            ++p;
        }
        if (*p == '.')
        {
            ++p;
            while (*p >= '0' && *p <= '9')
            {
                ++p;
            }
        }
        if (*p == 'l')
        {
            ++p;
        }
        if (*p == '\0' || std::strchr("aAeEfFgG", *p) == nullptr)
        {
            return false;
        }
        ++conversions;
    }
    return conversions == 1;
}

std::string FormatDouble(double value, const char* format)
{
    char buffer[100];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(buffer, sizeof(buffer), format, value);
#pragma GCC diagnostic pop
    if (n < 0)
    {
        return sConvertError;
    }
    return buffer;
}
} // namespace

// ---- Item tables

const char* ItemIntToString(const Item_t* table, int value)
{
    if (table == nullptr)
    {
        return sItemNotFound;
    }
    for (const Item_t* row = table; row->name != nullptr; ++row)
    {
        if (row->value == value)
        {
            return row->name;
        }
    }
    return sItemNotFound;
}

int ItemStringToInt(const Item_t* table, const char* text, bool ignoreCase)
{
    if (table == nullptr)
    {
        return -1;
    }
    const Item_t* row = table;
    for (; row->name != nullptr; ++row)
    {
        if (text == nullptr)
        {
            continue;
        }
        if (ignoreCase ? SameString(row->name, text, false) : std::strcmp(row->name, text) == 0)
        {
            return row->value;
        }
    }
    return row->value;
}

int ItemStringToInt(const Item_t* table, const std::string& text, bool ignoreCase)
{
    return ItemStringToInt(table, text.c_str(), ignoreCase);
}

// ---- Comparison

bool SameString(const char* a, const char* b, bool prefix)
{
    if (a == nullptr || b == nullptr)
    {
        return false;
    }
    while (*a != '\0' && *b != '\0' && UpperAscii(*a) == UpperAscii(*b))
    {
        ++a;
        ++b;
    }
    if (prefix)
    {
        return *a == '\0' || *b == '\0';
    }
    return *a == '\0' && *b == '\0';
}

bool SameString(const std::string& a, const char* b, bool prefix)
{
    return SameString(a.c_str(), b, prefix);
}

bool SameString(const char* a, const std::string& b, bool prefix)
{
    return SameString(b.c_str(), a, prefix);
}

bool SameString(const std::string& a, const std::string& b, bool prefix)
{
    return SameString(a.c_str(), b.c_str(), prefix);
}

// ---- Integers

std::string IntToString(int32_t value, int base, int digits)
{
    if (digits > 96 || (base != 2 && base != 8 && base != 10 && base != 16))
    {
        return sConvertError;
    }
    std::string text;
    uint32_t magnitude = static_cast<uint32_t>(value);
    switch (base)
    {
    case 2:
        text = "0b";
        break;
    case 8:
        text = "0o";
        break;
    case 16:
        text = "0x";
        break;
    default:
        if (value < 0)
        {
            text = "-";
            magnitude = 0u - magnitude;
            --digits;
        }
        break;
    }
    if (magnitude == 0)
    {
        text.append(digits < 2 ? 1 : static_cast<size_t>(digits), '0');
        return text;
    }
    char reversed[32];
    int count = 0;
    const uint32_t radix = static_cast<uint32_t>(base);
    while (magnitude != 0)
    {
        reversed[count++] = "0123456789ABCDEF"[magnitude % radix];
        magnitude /= radix;
    }
    if (digits > count)
    {
        text.append(static_cast<size_t>(digits - count), '0');
    }
    while (count > 0)
    {
        text += reversed[--count];
    }
    return text;
}

std::string IntArrayToString(const int32_t* values, int count, int base)
{
    std::string text;
    if (values == nullptr)
    {
        return text;
    }
    for (int i = 0; i < count; ++i)
    {
        if (i > 0)
        {
            text += ';';
        }
        text += IntToString(values[i], base, 0);
    }
    return text;
}

int32_t StringToInt(const char* text)
{
    if (text == nullptr)
    {
        return 0;
    }
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')
    {
        ++p;
    }
    bool negative = false;
    if (*p == '-')
    {
        negative = true;
        ++p;
    }
    uint32_t base = 10;
    if (p[0] == '0' && p[1] != '\0')
    {
        switch (p[1])
        {
        case 'b':
        case 'B':
            base = 2;
            p += 2;
            break;
        case 'o':
        case 'O':
            base = 8;
            p += 2;
            break;
        case 'd':
        case 'D':
            base = 10;
            p += 2;
            break;
        case 'x':
        case 'X':
            base = 16;
            p += 2;
            break;
        default:
            break;
        }
    }
    uint32_t value = 0;
    for (;; ++p)
    {
        uint32_t digit;
        if (*p >= '0' && *p <= '9')
        {
            digit = static_cast<uint32_t>(*p - '0');
        }
        else if (*p >= 'a' && *p <= 'f')
        {
            digit = static_cast<uint32_t>(*p - 'a' + 10);
        }
        else if (*p >= 'A' && *p <= 'F')
        {
            digit = static_cast<uint32_t>(*p - 'A' + 10);
        }
        else if (*p == '_')
        {
            continue;
        }
        else
        {
            break;
        }
        if (digit >= base)
        {
            break;
        }
        value = value * base + digit;
    }
    if (negative)
    {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

int32_t StringToInt(const std::string& text)
{
    return StringToInt(text.c_str());
}

int StringToIntArray(const char* text, int32_t* values, int maximum, int skip)
{
    return ReadList(text, values, maximum, skip,
                    [](const std::string& field) { return StringToInt(field); });
}

int StringToIntArray(const std::string& text, int32_t* values, int maximum, int skip)
{
    return StringToIntArray(text.c_str(), values, maximum, skip);
}

// ---- Floating point and booleans

std::string FloatToString(double value, const char* format)
{
    if (format == nullptr)
    {
        format = "%lg";
    }
    else if (!IsDoubleFormat(format))
    {
        return sConvertError;
    }
    return FormatDouble(value, format);
}

std::string FloatArrayToString(const void* values, int count, bool isDouble)
{
    std::string text;
    if (values == nullptr)
    {
        return text;
    }
    for (int i = 0; i < count; ++i)
    {
        if (i > 0)
        {
            text += ';';
        }
        double value = isDouble ? static_cast<const double*>(values)[i]
                                : static_cast<double>(static_cast<const float*>(values)[i]);
        text += FormatDouble(value, "%lg");
    }
    return text;
}

double StringToFloat(const char* text)
{
    double value = 0.0;
    if (text == nullptr || std::sscanf(text, "%lf", &value) != 1)
    {
        return 0.0;
    }
    return value;
}

double StringToFloat(const std::string& text)
{
    return StringToFloat(text.c_str());
}

int StringToFloatArray(const char* text, double* values, int maximum, int skip)
{
    return ReadList(text, values, maximum, skip,
                    [](const std::string& field) { return StringToFloat(field); });
}

int StringToFloatArray(const std::string& text, double* values, int maximum, int skip)
{
    return StringToFloatArray(text.c_str(), values, maximum, skip);
}

bool StringToBool(const char* text)
{
    return text != nullptr && std::strcmp(text, "true") == 0;
}

bool StringToBool(const std::string& text)
{
    return StringToBool(text.c_str());
}

int StringToBoolArray(const char* text, bool* values, int maximum, int skip)
{
    return ReadList(text, values, maximum, skip,
                    [](const std::string& field) { return StringToBool(field); });
}

int StringToBoolArray(const std::string& text, bool* values, int maximum, int skip)
{
    return StringToBoolArray(text.c_str(), values, maximum, skip);
}

std::string BoolArrayToString(const bool* values, int count)
{
    std::string text;
    if (values == nullptr)
    {
        return text;
    }
    for (int i = 0; i < count; ++i)
    {
        if (i > 0)
        {
            text += ';';
        }
        text += values[i] ? "true" : "false";
    }
    return text;
}

// ---- Texts

std::string CharPointerToString(const char* text)
{
    return text != nullptr ? std::string(text) : std::string();
}

std::string TCHARPointerToString(const char* text)
{
    return CharPointerToString(text);
}

char* CopyStringToCharArray(char* destination, const std::string& text, int size)
{
    if (destination == nullptr || size < 1)
    {
        return destination;
    }
    size_t room = static_cast<size_t>(size) - 1;
    size_t length = std::strlen(text.c_str());
    if (length > room)
    {
        length = room;
    }
    std::memcpy(destination, text.c_str(), length);
    std::memset(destination + length, 0, room - length + 1);
    return destination;
}

int GetNumberOfArguments(const std::string& text, char separator)
{
    int count = 1;
    for (char c : text)
    {
        if (c == separator)
        {
            ++count;
        }
    }
    return count;
}

std::string GetArgument(const std::string& text, char separator, int index)
{
    size_t start = 0;
    for (int i = 0; i < index; ++i)
    {
        size_t found = text.find(separator, start);
        if (found == std::string::npos)
        {
            return std::string();
        }
        start = found + 1;
    }
    size_t end = text.find(separator, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string BufferDebugOutput(const void* buffer, int length, int maximum, char separator)
{
    const char lineBreak = separator != 0 ? separator : ' ';
    int shown = length;
    if (maximum >= 0 && maximum < shown)
    {
        shown = maximum;
    }
    if (buffer == nullptr || shown < 0)
    {
        shown = 0;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    std::string text = " ";
    for (int i = 0; i < shown; ++i)
    {
        if (i % 16 == 0)
        {
            if (i > 0)
            {
                text += lineBreak;
            }
            text += '[';
            text += IntToString(i, 16, 4);
            text += "] ";
        }
        text += IntToString(bytes[i], 16, 2);
        text += ' ';
    }
    if (shown < length)
    {
        text += lineBreak;
        text += ".... (total size = ";
        text += IntToString(length, 10, 0);
        text += ')';
    }
    return text;
}
