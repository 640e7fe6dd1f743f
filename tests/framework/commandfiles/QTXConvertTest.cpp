#include "QTXConvert.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace
{

TEST(ItemTable, LooksUpBothWays)
{
    EXPECT_EQ(ItemStringToInt(aBoolItems, "TRUE", false), -1);
    EXPECT_EQ(ItemStringToInt(aBoolItems, "TRUE", true), 1);
    EXPECT_EQ(ItemStringToInt(aBoolItems, "0", false), 0);
    EXPECT_EQ(ItemStringToInt(aBoolItems, "tru", true), -1); // no prefix match
    EXPECT_EQ(ItemStringToInt(aBoolItems, static_cast<const char*>(nullptr), true), -1);
    EXPECT_EQ(ItemStringToInt(aVraTypeItems, std::string("double"), true), VraDOUBLE);
    // The empty name is a real row, not the end of the table.
    EXPECT_EQ(ItemStringToInt(aVraTypeItems, "", false), VraNone);
    EXPECT_STREQ(ItemIntToString(aVraTypeItems, VraNone), "");

    // First row with the value wins; the end row is never a match.
    EXPECT_STREQ(ItemIntToString(aBoolItems, 1), "true");
    EXPECT_STREQ(ItemIntToString(aBoolItems, -1), "***ERROR***");
    EXPECT_STREQ(ItemIntToString(aTypeItems, VraDOUBLE), "***ERROR***");
    EXPECT_STREQ(ItemIntToString(aLengthItems, VraDOUBLE), "***ERROR***");
    EXPECT_STREQ(ItemIntToString(aVraTypeItems, VraDOUBLE), "DOUBLE");
    EXPECT_STREQ(ItemIntToString(aTypeItems, VraWORD), "UnsignedInteger");
    EXPECT_STREQ(ItemIntToString(aLengthItems, VraINT), "16");
    EXPECT_EQ(ItemStringToInt(aTypeItems, "Integer", false), VraSINT);
}

TEST(SameString, ComparesWithoutCaseAndOptionalPrefix)
{
    struct Case
    {
        const char* a;
        const char* b;
        bool prefix;
        bool expected;
    };
    const Case cases[] = {
        {"abc", "ABC", false, true},    {"abc", "ABCD", false, false}, {"abc", "ABCD", true, true},
        {"ABCD", "abc", true, true},    {"abd", "ABCD", true, false},  {"", "anything", true, true},
        {"", "anything", false, false}, {"", "", false, true},         {nullptr, "", true, false},
        {"", nullptr, true, false},     {"a[", "A{", false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.a ? c.a : "(null)") + " / " + (c.b ? c.b : "(null)"));
        EXPECT_EQ(SameString(c.a, c.b, c.prefix), c.expected);
        if (c.a != nullptr && c.b != nullptr)
        {
            std::string a(c.a), b(c.b);
            EXPECT_EQ(SameString(a, c.b, c.prefix), c.expected);
            EXPECT_EQ(SameString(c.a, b, c.prefix), c.expected);
            EXPECT_EQ(SameString(a, b, c.prefix), c.expected);
        }
    }
}

TEST(IntToString, FormatsBasesPrefixesAndPadding)
{
    struct Case
    {
        int32_t value;
        int base;
        int digits;
        const char* expected;
    };
    const Case cases[] = {
        {255, 16, 4, "0x00FF"},
        {-5, 10, 3, "-05"},
        {5, 10, 3, "005"},
        {5, 2, 0, "0b101"},
        {8, 8, 0, "0o10"},
        {0, 16, 0, "0x0"},
        {0, 10, 1, "0"},
        {0, 10, 3, "000"},
        {-1, 16, 0, "0xFFFFFFFF"},
        {INT32_MIN, 10, 0, "-2147483648"},
        {INT32_MIN, 16, 0, "0x80000000"},
        {0xABCDEF, 16, 2, "0xABCDEF"},
        {1, 3, 0, "<error>"},
        {1, 10, 97, "<error>"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(IntToString(c.value, c.base, c.digits), c.expected)
            << c.value << " base " << c.base << " digits " << c.digits;
    }
    EXPECT_EQ(IntToString(-1, 2, 0), "0b" + std::string(32, '1'));
    EXPECT_EQ(IntToString(1, 16, 96), "0x" + std::string(95, '0') + "1");
}

TEST(StringToInt, ReadsPrefixesSignsAndStopsAtOtherCharacters)
{
    struct Case
    {
        const char* text;
        int32_t expected;
    };
    const Case cases[] = {
        {"0x1F", 31},       {"0XfF", 255},     {"-0b101", -5},
        {"0d12", 12},       {"0o17", 15},      {" 42abc", 42},
        {"\t-7", -7},       {"1_000", 1000},   {"0x_ff_ff", 0xFFFF},
        {"12a", 12},        {"+5", 0},         {"0b102", 2},
        {"0x", 0},          {"", 0},           {"-", 0},
        {"4294967295", -1}, {"4294967296", 0}, {"-2147483648", INT32_MIN},
        {"0xFFFFFFFF", -1}, {"0", 0},          {"012", 12},
        {"- 5", 0},         {"1;2", 1},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(StringToInt(c.text), c.expected) << '"' << c.text << '"';
        EXPECT_EQ(StringToInt(std::string(c.text)), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(StringToInt(static_cast<const char*>(nullptr)), 0);
}

TEST(StringToInt, ReadsBackWhatIntToStringWrites)
{
    const int32_t values[] = {0, 1, -1, 42, -42, 0x7FFFFFFF, INT32_MIN, 0x12345678};
    for (int base : {2, 8, 10, 16})
    {
        for (int32_t value : values)
        {
            EXPECT_EQ(StringToInt(IntToString(value, base, 5)), value) << value << " base " << base;
        }
    }
}

TEST(StringToIntArray, SplitsFieldsSkipsAndKeepsTheRestQuirk)
{
    struct Case
    {
        const char* text;
        int maximum;
        int skip;
        std::vector<int32_t> expected;
    };
    const Case cases[] = {
        {"", 5, 0, {0}},
        {"1;2;", 5, 0, {1, 2, 0}},
        {"1;;2", 5, 0, {1, 0}},
        {"5;6;7", 2, 1, {6, 7}},
        {"1;2;3", 2, 0, {1, 2}},
        {"0x10;-3;0b11", 5, 0, {16, -3, 3}},
        {"1;2", 5, 5, {}},
        {"1;2", 5, 2, {}}, // the rest is only read when nothing remains to
                           // be skipped
        {"1;2;3", 5, 2, {3}},
        {"1;2", 0, 0, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.text) + " max " + std::to_string(c.maximum) + " skip " +
                     std::to_string(c.skip));
        std::vector<int32_t> buffer(8, 0x5A5A);
        int n = StringToIntArray(c.text, buffer.data(), c.maximum, c.skip);
        ASSERT_EQ(n, static_cast<int>(c.expected.size()));
        EXPECT_EQ(std::vector<int32_t>(buffer.begin(), buffer.begin() + n), c.expected);
        for (size_t i = static_cast<size_t>(n); i < buffer.size(); ++i)
        {
            EXPECT_EQ(buffer[i], 0x5A5A) << "written past the values read at " << i;
        }
    }
    int32_t v[2];
    EXPECT_EQ(StringToIntArray(static_cast<const char*>(nullptr), v, 2, 0), 0);
    EXPECT_EQ(StringToIntArray(std::string("7;8"), v, 2), 2);
    EXPECT_EQ(v[1], 8);
}

TEST(StringToFloatAndBoolArray, ConvertEachFieldOnItsOwn)
{
    double d[4] = {};
    ASSERT_EQ(StringToFloatArray("1.5;-2e3;x", d, 4), 3);
    EXPECT_DOUBLE_EQ(d[0], 1.5);
    EXPECT_DOUBLE_EQ(d[1], -2000.0);
    EXPECT_DOUBLE_EQ(d[2], 0.0);

    // A field must read "true" exactly, not merely begin with it.
    bool b[5] = {};
    ASSERT_EQ(StringToBoolArray(std::string("true;false;TRUE;1;true"), b, 5), 5);
    EXPECT_TRUE(b[0]);
    EXPECT_FALSE(b[1]);
    EXPECT_FALSE(b[2]);
    EXPECT_FALSE(b[3]);
    EXPECT_TRUE(b[4]);
    ASSERT_EQ(StringToBoolArray("true;", b, 5), 2);
    EXPECT_TRUE(b[0]);
    EXPECT_FALSE(b[1]);
}

TEST(ScalarConversions, FloatAndBool)
{
    EXPECT_DOUBLE_EQ(StringToFloat("3.25"), 3.25);
    EXPECT_DOUBLE_EQ(StringToFloat(" -1e2x"), -100.0);
    EXPECT_DOUBLE_EQ(StringToFloat("abc"), 0.0);
    EXPECT_DOUBLE_EQ(StringToFloat(static_cast<const char*>(nullptr)), 0.0);
    EXPECT_TRUE(StringToBool("true"));
    EXPECT_FALSE(StringToBool("True"));
    EXPECT_FALSE(StringToBool("1"));
    EXPECT_FALSE(StringToBool(static_cast<const char*>(nullptr)));

    EXPECT_EQ(FloatToString(1.0 / 3.0), "0.333333");
    EXPECT_EQ(FloatToString(10.0), "10");
    EXPECT_EQ(FloatToString(2.5, "%.2f"), "2.50");
    EXPECT_EQ(FloatToString(1.0, "100%% at %5.1lf s"), "100% at   1.0 s");
    // Formats that would read something other than one double are refused.
    for (const char* format : {"%s", "%d", "%lg %lg", "no conversion", "%Lf", "%*g", "%"})
    {
        EXPECT_EQ(FloatToString(1.0, format), "<error>") << format;
    }
    EXPECT_EQ(FloatToString(1e300, "%.50f").size(), 99u);
}

TEST(ArrayToString, JoinsWithSemicolons)
{
    const int32_t ints[] = {1, -2, 255};
    EXPECT_EQ(IntArrayToString(ints, 3, 16), "0x1;0xFFFFFFFE;0xFF");
    EXPECT_EQ(IntArrayToString(ints, 3), "1;-2;255");
    EXPECT_EQ(IntArrayToString(ints, 0, 10), "");
    EXPECT_EQ(IntArrayToString(ints, -1, 10), "");

    const double doubles[] = {0.5, -3.0, 1e10};
    EXPECT_EQ(FloatArrayToString(doubles, 3, true), "0.5;-3;1e+10");
    const float floats[] = {0.25f, 2.0f};
    EXPECT_EQ(FloatArrayToString(floats, 2, false), "0.25;2");

    const bool bools[] = {true, false, true};
    EXPECT_EQ(BoolArrayToString(bools, 3), "true;false;true");
    EXPECT_EQ(BoolArrayToString(bools, 0), "");
}

TEST(Fields, CountAndPick)
{
    const std::string abc = "a;b;c";
    EXPECT_EQ(GetNumberOfArguments(abc, ';'), 3);
    EXPECT_EQ(GetNumberOfArguments("", ';'), 1);
    EXPECT_EQ(GetNumberOfArguments(";;", ';'), 3);

    struct Case
    {
        std::string text;
        int index;
        const char* expected;
    };
    const Case cases[] = {
        {abc, -1, "a"},        {abc, 0, "a"},    {abc, 1, "b"},  {abc, 2, "c"},   {abc, 3, ""},
        {"plain", 0, "plain"}, {"plain", 1, ""}, {";x;", 0, ""}, {";x;", 1, "x"}, {";x;", 2, ""},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(GetArgument(c.text, ';', c.index), c.expected) << c.text << " #" << c.index;
    }
}

TEST(Texts, CharPointersAndBoundedCopy)
{
    EXPECT_EQ(CharPointerToString(nullptr), "");
    EXPECT_EQ(TCHARPointerToString("x"), "x");

    char buffer[8];
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(CopyStringToCharArray(buffer, "abcdefghij", 5), buffer);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(buffer[5], 'X'); // nothing past size

    std::memset(buffer, 'X', sizeof(buffer));
    CopyStringToCharArray(buffer, "ab", 6);
    EXPECT_EQ(std::string(buffer, 7), std::string("ab\0\0\0\0X", 7));

    std::memset(buffer, 'X', sizeof(buffer));
    CopyStringToCharArray(buffer, "ab", 0);
    EXPECT_EQ(buffer[0], 'X');
    CopyStringToCharArray(buffer, "ab", 1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'X');
}

TEST(BufferDebugOutput, DumpsLinesOfSixteenAndNotesTheCut)
{
    unsigned char bytes[18];
    for (int i = 0; i < 18; ++i)
    {
        bytes[i] = static_cast<unsigned char>(0xF0 + i);
    }
    std::string line0 = "[0x0000] ";
    for (int i = 0; i < 16; ++i)
    {
        line0 += IntToString(0xF0 + i, 16, 2) + " ";
    }
    EXPECT_EQ(BufferDebugOutput(bytes, 18, -1, '\n'), " " + line0 + "\n[0x0010] 0x00 0x01 ");
    EXPECT_EQ(BufferDebugOutput(bytes, 18, 100, 0), " " + line0 + " [0x0010] 0x00 0x01 ");
    EXPECT_EQ(BufferDebugOutput(bytes, 5, 2, 0), " [0x0000] 0xF0 0xF1  .... (total size = 5)");
    EXPECT_EQ(BufferDebugOutput(bytes, 5, 0, '|'), " |.... (total size = 5)");
    EXPECT_EQ(BufferDebugOutput(bytes, 0, -1, 0), " ");
    EXPECT_EQ(BufferDebugOutput(nullptr, 3, -1, 0), "  .... (total size = 3)");
}

} // namespace
