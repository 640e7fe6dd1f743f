// Version texts "vAA.BB.CCC" and the version stamp of firmware files, as numbers AABBCCC.
#include "QTXUpdate.h"

#include <cctype>
#include <cstdio>

uint32_t VersionTextToNumber(const std::string& text)
{
    if (text.size() <= 9)
        return 0;
    std::string version;
    const size_t underscore = text.find('_');
    if (underscore != std::string::npos)
        version = underscore + 2 <= text.size() ? text.substr(underscore + 2) : "";
    else if (text[0] == 'v')
        version = text.substr(1);
    else
        return 0;
    if (version.size() < 9)
        return 0;
    for (size_t i : {0, 1, 3, 4, 6, 7, 8})
        if (!isdigit(static_cast<unsigned char>(version[i])))
            return 0;
    const auto digits = [&](size_t at, size_t count)
    {
        uint32_t value = 0;
        for (size_t i = 0; i < count; ++i)
            value = value * 10 + static_cast<uint32_t>(version[at + i] - '0');
        return value;
    };
    return digits(0, 2) * 100000 + digits(3, 2) * 1000 + digits(6, 3);
}

std::string VersionNumberToText(uint32_t number)
{
    char digits[16];
    snprintf(digits, sizeof digits, "%07u", number);
    const std::string text = digits;
    return "v" + text.substr(0, 2) + "." + text.substr(2, 2) + "." + text.substr(4, 3);
}

uint32_t ReadFWVersionBin(const std::string& path)
{
    if (path.empty())
    {
        UpdateLog("Filename error!");
        return 0;
    }
    FILE* file = fopen(LocalPath(path).c_str(), "rb");
    if (file == nullptr)
    {
        UpdateLog("ReadFWVersionBin open error! " + path);
        return 0;
    }
    char stamp[15] = {};
    const bool read =
        fseek(file, -128, SEEK_END) == 0 && fread(stamp, 1, sizeof stamp, file) == sizeof stamp;
    fclose(file);
    uint32_t number = 0;
    for (int i = 0; read && i < 7; ++i)
    {
        if (!isdigit(static_cast<unsigned char>(stamp[i])))
        {
            UpdateLog("ReadFWVersionBin read error! " + path);
            return 0;
        }
        number = number * 10 + static_cast<uint32_t>(stamp[i] - '0');
    }
    if (!read)
        UpdateLog("ReadFWVersionBin read error! " + path);
    return number;
}
