// Tar archives made in memory, for tests and fuzz seeds of the configuration archive check.
#ifndef KOVE_TAR_IMAGE_H
#define KOVE_TAR_IMAGE_H

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kovetest
{
struct CTarMember
{
    CTarMember(std::string name, std::string data, char type = '0', std::string prefix = "",
               unsigned mode = 0644, std::string link = "")
        : sName(std::move(name)), sData(std::move(data)), cType(type), sPrefix(std::move(prefix)),
          uMode(mode), sLink(std::move(link))
    {
    }
    std::string sName;
    std::string sData;
    char cType;
    std::string sPrefix; // POSIX name prefix; the header is POSIX ("ustar" and a zero byte)
    unsigned uMode;
    std::string sLink; // link target (types '1' and '2')
};

// The records of a pax extended header ("<length> <keyword>=<value>\n"), the data of a member
// of type 'x' (for the next member) or 'g' (for all that follow).
inline std::string PaxRecords(const std::vector<std::pair<std::string, std::string>>& records)
{
    std::string data;
    for (const auto& record : records)
    {
        const std::string body = " " + record.first + "=" + record.second + "\n";
        // The length counts its own digits.
        size_t length = body.size() + 1;
        while (std::to_string(length).size() + body.size() != length)
            ++length;
        data += std::to_string(length) + body;
    }
    return data;
}

// Headers with valid checksums, the data padded to whole blocks, and two zero blocks at the end.
inline std::string TarImage(const std::vector<CTarMember>& members, bool endBlocks = true)
{
    std::string image;
    for (const CTarMember& m : members)
    {
        char header[512] = {};
        strncpy(header, m.sName.c_str(), 100);
        snprintf(header + 100, 8, "%07o", m.uMode);
        snprintf(header + 108, 8, "%07o", 0);
        snprintf(header + 116, 8, "%07o", 0);
        snprintf(header + 124, 12, "%011lo", static_cast<unsigned long>(m.sData.size()));
        snprintf(header + 136, 12, "%011o", 0);
        header[156] = m.cType;
        strncpy(header + 157, m.sLink.c_str(), 100);
        memcpy(header + 257, "ustar", 6);
        memcpy(header + 263, "00", 2);
        strncpy(header + 345, m.sPrefix.c_str(), 155);
        memset(header + 148, ' ', 8);
        unsigned long sum = 0;
        for (unsigned char c : header)
            sum += c;
        snprintf(header + 148, 8, "%06lo", sum);
        image.append(header, sizeof header);
        image += m.sData;
        image.append((512 - m.sData.size() % 512) % 512, '\0');
    }
    if (endBlocks)
        image.append(1024, '\0');
    return image;
}
} // namespace kovetest

#endif
