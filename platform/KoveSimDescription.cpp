#include "KoveSimDescription.h"

#include <cctype>
#include <cstdio>
#include <set>
#include <vector>

const char* const g_szSimDescriptionFile = "device.conf";

namespace
{
std::string Trim(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

std::vector<std::string> SplitCommas(const std::string& s)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;)
    {
        size_t comma = s.find(',', start);
        parts.push_back(
            Trim(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

bool Fail(std::string* err, const std::string& text)
{
    if (err)
        *err = text;
    return false;
}
} // namespace

bool SimParseU32(const std::string& text, uint32_t* value)
{
    uint64_t v = 0;
    size_t i = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return false;
    for (; i < text.size(); ++i)
    {
        int c = static_cast<unsigned char>(text[i]);
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (v > 0xFFFFFFFFull)
            return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

bool SimParseFamily(const std::string& text, uint32_t* idWord, std::string* err)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        if (!SimParseU32(text, idWord))
            return Fail(err, "family '" + text + "' is not a 32-bit word");
        return true;
    }
    if (text.size() != 3)
        return Fail(err, "family '" + text + "' is neither three letters nor 0xWORD");
    uint32_t word = 0;
    for (size_t i = 0; i < 3; ++i)
    {
        int c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c))
            return Fail(err, "family '" + text + "' is neither three letters nor 0xWORD");
        word |= static_cast<uint32_t>(std::toupper(c)) << (8 * i);
    }
    *idWord = word;
    return true;
}

bool SimParseHexSwitches(const std::string& text, uint8_t hex[4], std::string* err)
{
    std::vector<std::string> parts = SplitCommas(text);
    if (parts.size() != 4)
        return Fail(err, "hex switches '" + text + "' are not four values A,B,C,D");
    uint8_t values[4];
    for (size_t i = 0; i < 4; ++i)
    {
        uint32_t v = 0;
        uint32_t limit = i < 3 ? 15 : 255;
        if (!SimParseU32(parts[i], &v) || v > limit)
            return Fail(err, "hex switch " + std::to_string(i + 1) + " '" + parts[i] +
                                 "' is not a number from 0 to " + std::to_string(limit));
        values[i] = static_cast<uint8_t>(v);
    }
    for (size_t i = 0; i < 4; ++i)
        hex[i] = values[i];
    return true;
}

bool SimParseSerial(const std::string& text, uint32_t* serial, std::string* err)
{
    for (char c : text)
        if (c < '0' || c > '9')
            return Fail(err, "serial number '" + text + "' is not a decimal number");
    if (!SimParseU32(text, serial))
        return Fail(err, "serial number '" + text + "' is not a 32-bit decimal number");
    return true;
}

bool SimParseOrder(const std::string& text, std::string* order, std::string* err)
{
    bool ok = text.size() == 9 && text[2] == '.';
    for (size_t i = 0; ok && i < text.size(); ++i)
        if (i != 2 && (text[i] < '0' || text[i] > '9'))
            ok = false;
    if (!ok)
        return Fail(err, "ordering number '" + text + "' is not of the form NN.NNNNNN");
    *order = text;
    return true;
}

bool SimParseName(const std::string& text, std::string* name, std::string* err)
{
    if (text.size() > 31)
        return Fail(err, "product name is longer than 31 characters");
    for (char c : text)
        if (c < 0x20 || c > 0x7E)
            return Fail(err, "product name holds a character that is not printable ASCII");
    *name = text;
    return true;
}

bool SimParseSlots(const std::string& text, uint32_t* slotMask, std::string* err)
{
    uint32_t mask = 0;
    if (!text.empty() && text != "none")
    {
        for (const std::string& part : SplitCommas(text))
        {
            uint32_t slot = 0;
            if (!SimParseU32(part, &slot) || slot > 15)
                return Fail(err, "slot '" + part + "' is not a number from 0 to 15");
            mask |= 1u << slot;
        }
    }
    *slotMask = mask;
    return true;
}

bool SimParseOnOff(const std::string& text, bool* on, std::string* err)
{
    if (text == "on")
        *on = true;
    else if (text == "off")
        *on = false;
    else
        return Fail(err, "'" + text + "' is neither on nor off");
    return true;
}

bool SimParseDescription(const std::string& text, SSimDescription* desc, std::string* err)
{
    if (text.size() > 65536)
        return Fail(err, "the description is larger than 64 KiB");
    SSimDescription d;
    std::set<std::string> seen;
    size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size())
    {
        size_t nl = text.find('\n', pos);
        std::string line =
            Trim(text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos));
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#')
            continue;
        std::string where = "line " + std::to_string(lineNo) + ": ";
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return Fail(err, where + "no key=value");
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (!seen.insert(key).second)
            return Fail(err, where + "key '" + key + "' given twice");
        std::string why;
        bool ok;
        if (key == "family")
            ok = SimParseFamily(value, &d.uIdWord, &why);
        else if (key == "hex")
            ok = SimParseHexSwitches(value, d.aHex, &why);
        else if (key == "serial")
            ok = SimParseSerial(value, &d.uSerial, &why);
        else if (key == "order")
            ok = SimParseOrder(value, &d.sOrder, &why);
        else if (key == "name")
            ok = SimParseName(value, &d.sName, &why);
        else if (key == "slots")
            ok = SimParseSlots(value, &d.uSlotMask, &why);
        else if (key == "factory-button")
            ok = SimParseOnOff(value, &d.bFactoryButton, &why);
        else
            return Fail(err, where + "unknown key '" + key + "'");
        if (!ok)
            return Fail(err, where + why);
    }
    *desc = d;
    return true;
}

std::string SimFormatDescription(const SSimDescription& d)
{
    std::string slots;
    for (int slot = 0; slot < 16; ++slot)
        if (d.uSlotMask & (1u << slot))
            slots += (slots.empty() ? "" : ",") + std::to_string(slot);
    std::string text =
        "# Simulated KOVE device (see kovesim --help). One key=value per line.\n"
        "# family: FPGA identification word (three letters or 0xWORD); hex: switches 1-4\n"
        "# as in the hex-switch record; slots: filled module slots.\n";
    text += "family=" + SimFamilyName(d.uIdWord) + "\n";
    text += "hex=" + std::to_string(d.aHex[0]) + "," + std::to_string(d.aHex[1]) + "," +
            std::to_string(d.aHex[2]) + "," + std::to_string(d.aHex[3]) + "\n";
    text += "serial=" + std::to_string(d.uSerial) + "\n";
    text += "order=" + d.sOrder + "\n";
    text += "name=" + d.sName + "\n";
    text += "slots=" + slots + "\n";
    text += std::string("factory-button=") + (d.bFactoryButton ? "on" : "off") + "\n";
    return text;
}

std::string SimFamilyName(uint32_t idWord)
{
    bool letters = (idWord >> 24) == 0;
    for (int i = 0; letters && i < 3; ++i)
    {
        int c = static_cast<int>((idWord >> (8 * i)) & 0xFF);
        letters = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    }
    if (letters)
        return std::string{static_cast<char>(idWord & 0xFF),
                           static_cast<char>((idWord >> 8) & 0xFF),
                           static_cast<char>((idWord >> 16) & 0xFF)};
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", idWord);
    return buf;
}

int SimFamilyCode(uint32_t idWord)
{
    static const struct
    {
        const char* letters;
        int code;
    } kFamilies[] = {{"WAG", 3}, {"KV4", 4}, {"PDP", 5},  {"VME", 6},  {"LIO", 7},
                     {"KV8", 8}, {"CLK", 9}, {"PNA", 10}, {"DAQ", 11}, {"EIP", 14}};
    uint32_t id = idWord & 0xFFFFFF;
    if (id == 0x880000 || id == 0x990000)
        return 2;
    for (const auto& f : kFamilies)
    {
        uint32_t w = static_cast<uint32_t>(static_cast<unsigned char>(f.letters[0])) |
                     static_cast<uint32_t>(static_cast<unsigned char>(f.letters[1])) << 8 |
                     static_cast<uint32_t>(static_cast<unsigned char>(f.letters[2])) << 16;
        if (w == id)
            return f.code;
    }
    return 0;
}
