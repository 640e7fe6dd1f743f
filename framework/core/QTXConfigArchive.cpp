// The configuration archive: packing with tar and gzip from argument vectors, uncompressing with
// zlib within a bound, the check of an archive's members before anything of it is unpacked, and
// unpacking with tar into a folder of its own.
#include "QTXConfigArchive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "QTXFlashRecord.h"
#include "QTXShell.h"
#include "QTXStringFile.h"

const char* const QTX_CONFIG_ARCHIVE = "Config.tar.gz";
const char* const QTX_CONFIG_ARCHIVE_TAR = "Config.tar";

namespace
{
constexpr size_t kBlock = 512;
constexpr size_t kInflateChunk = 65536;
// The folder in the configuration directory that tar unpacks into (hidden, so never packed).
const char kStaging[] = ".Restore";

// Fields of a tar header.
constexpr size_t kModeField = 100;
constexpr size_t kChecksumField = 148;

bool EndsWith(const std::string& text, const char* suffix)
{
    const size_t length = strlen(suffix);
    return text.size() > length && text.compare(text.size() - length, length, suffix) == 0;
}

// A name as it may stand in a message: control characters shown as "?", a long one cut.
std::string Shown(const std::string& name)
{
    constexpr size_t kLongest = 64;
    std::string shown = name.substr(0, kLongest);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    if (name.size() > kLongest)
        shown += "...";
    return shown;
}

// Why a member name is not a plain file name of the directory ("" when it is one).
std::string NameProblem(const std::string& name)
{
    if (name.empty())
        return "a member has an empty name";
    if (name.size() > QTX_CONFIG_ARCHIVE_LONGEST_NAME)
        return "member name \"" + Shown(name) + "\" is longer than " +
               std::to_string(QTX_CONFIG_ARCHIVE_LONGEST_NAME) + " bytes";
    if (name == "." || name == ".." || name.find('/') != std::string::npos)
        return "member \"" + Shown(name) + "\" would leave the configuration directory";
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return "member name \"" + Shown(name) + "\" holds a control character";
    return "";
}

bool IsPlainName(const std::string& name)
{
    return NameProblem(name).empty();
}

// An octal number field of a tar header: digits, then blanks or zero bytes.
bool ParseOctal(const unsigned char* field, size_t length, uint64_t& value)
{
    value = 0;
    size_t i = 0;
    while (i < length && field[i] == ' ')
        ++i;
    bool digits = false;
    for (; i < length && field[i] >= '0' && field[i] <= '7'; ++i)
    {
        if (value > (UINT64_MAX >> 3))
            return false;
        value = value * 8 + (field[i] - '0');
        digits = true;
    }
    for (; i < length; ++i)
        if (field[i] != ' ' && field[i] != 0)
            return false;
    return digits;
}

std::string FieldText(const unsigned char* field, size_t length)
{
    size_t n = 0;
    while (n < length && field[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

bool ReadWholeFile(const std::string& path, std::string& data, off_t limit)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && st.st_size <= limit;
    data.clear();
    char buffer[65536];
    while (ok)
    {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            ok = n == 0;
            break;
        }
        data.append(buffer, static_cast<size_t>(n));
        ok = static_cast<off_t>(data.size()) <= limit;
    }
    close(fd);
    return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& data)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = FlashWriteFully(fd, data.data(), data.size()) == data.size();
    return close(fd) == 0 && written;
}

bool Succeeded(int status)
{
    return status == 0;
}
} // namespace

std::vector<std::string> ListConfigurationFiles(const std::string& directory)
{
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name[0] == '.' || !IsPlainName(name) ||
            !(EndsWith(name, ".xml") || EndsWith(name, ".sh") || EndsWith(name, ".cfg")))
            continue;
        struct stat st;
        if (lstat((directory + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool PackConfigurationArchive(const std::string& directory, std::string& why)
{
    const std::string tar = directory + QTX_CONFIG_ARCHIVE_TAR;
    const std::string archive = directory + QTX_CONFIG_ARCHIVE;
    unlink(tar.c_str());
    unlink(archive.c_str());

    const std::vector<std::string> names = ListConfigurationFiles(directory);
    bool packed = false;
    if (names.empty())
    {
        // tar makes no archive of nothing; an empty archive is its two zero blocks, padded to
        // a whole record as tar pads it.
        packed = WriteWholeFile(tar, std::string(20 * kBlock, '\0'));
    }
    else
    {
        // Files with more than one name go in as the files they are: a link member would tie a
        // file to another name of the archive.
        std::vector<std::string> command{"tar",     "c", "--hard-dereference", "-f", tar, "-C",
                                         directory, "--"};
        command.insert(command.end(), names.begin(), names.end());
        packed = Succeeded(ExecuteProgram(command, true));
    }
    struct stat st;
    if (!packed)
        why = "tar could not pack the configuration files";
    else if (stat(tar.c_str(), &st) != 0 ||
             static_cast<uint64_t>(st.st_size) > QTX_CONFIG_ARCHIVE_MAX_UNPACKED)
    {
        // It could not be unpacked again.
        packed = false;
        why = "the configuration files take more than " +
              std::to_string(QTX_CONFIG_ARCHIVE_MAX_UNPACKED) + " bytes";
    }
    else if (!Succeeded(ExecuteProgram({"gzip", "-f", "--", tar}, true)))
    {
        packed = false;
        why = "gzip could not compress the configuration archive";
    }
    unlink(tar.c_str());
    if (!packed)
        unlink(archive.c_str());
    return packed;
}

bool TakeConfigurationArchive(const std::string& directory, std::string& data, std::string& why)
{
    data.clear();
    if (!PackConfigurationArchive(directory, why))
        return false;
    const std::string archive = directory + QTX_CONFIG_ARCHIVE;
    const bool read =
        ReadWholeFile(archive, data, static_cast<off_t>(QTX_CONFIG_ARCHIVE_MAX_STORED));
    unlink(archive.c_str());
    if (!read || data.size() < QTX_CONFIG_ARCHIVE_MIN_STORED)
    {
        data.clear();
        why = "the archive is missing or larger than " +
              std::to_string(QTX_CONFIG_ARCHIVE_MAX_STORED) + " bytes";
        return false;
    }
    return true;
}

namespace
{
struct STarMember
{
    std::string sName;
    size_t uHeader; // offset of the member's own header
    size_t uBegin;  // offset of the first header that belongs to it (an extended one, if any)
    size_t uEnd;    // offset behind its data
    // The file's data: its own, or for a hard link the data of the earlier member it names.
    size_t uData;
    size_t uSize;
    bool bLink;
};

struct SPaxFacts
{
    bool bPath = false;
    std::string sPath;
    bool bSize = false;
    uint64_t uSize = 0;
    bool bLinkPath = false;
    std::string sLinkPath;
};

bool ParseDecimal(const std::string& text, uint64_t& value)
{
    value = 0;
    if (text.empty())
        return false;
    for (char c : text)
    {
        if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10)
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// The records "<length> <keyword>=<value>\n" of a pax extended header. False with the reason
// when a record is malformed or describes a sparse file. A link target is taken for the hard
// link behind the header. Keywords of times, owners and character sets change nothing that is
// checked here.
bool ParsePaxRecords(const unsigned char* data, size_t size, size_t offset, SPaxFacts& facts,
                     std::string& why)
{
    const std::string where = "extended header at byte " + std::to_string(offset);
    size_t at = 0;
    while (at < size)
    {
        // Records may be followed by zero bytes up to the end of the header's data.
        if (data[at] == 0 &&
            std::all_of(data + at, data + size, [](unsigned char c) { return c == 0; }))
            break;
        size_t digits = at;
        uint64_t length = 0;
        while (digits < size && data[digits] >= '0' && data[digits] <= '9' && length <= size)
            length = length * 10 + (data[digits++] - '0');
        if (digits == at || digits >= size || data[digits] != ' ' || length > size - at ||
            length < digits - at + 3 || data[at + length - 1] != '\n')
        {
            why = where + " holds a malformed record";
            return false;
        }
        const std::string record(reinterpret_cast<const char*>(data) + digits + 1,
                                 at + length - 1 - (digits + 1));
        at += length;
        const size_t equals = record.find('=');
        if (equals == std::string::npos || equals == 0)
        {
            why = where + " holds a malformed record";
            return false;
        }
        const std::string keyword = record.substr(0, equals);
        const std::string value = record.substr(equals + 1);
        if (keyword == "path")
        {
            facts.bPath = true;
            facts.sPath = value;
        }
        else if (keyword == "size")
        {
            facts.bSize = true;
            if (!ParseDecimal(value, facts.uSize))
            {
                why = where + " holds a bad size";
                return false;
            }
        }
        else if (keyword == "linkpath")
        {
            facts.bLinkPath = true;
            facts.sLinkPath = value;
        }
        else if (keyword.compare(0, 11, "GNU.sparse.") == 0)
        {
            why = where + " describes a member that is not a plain file";
            return false;
        }
    }
    return true;
}

// What a header's type flag makes of a member that is not a plain file, for the refusal.
std::string KindOf(unsigned char type)
{
    switch (type)
    {
    case '1':
    case '2':
        return "is a link";
    case '5':
        return "is a folder";
    case '3':
    case '4':
    case '6':
        return "is a device or a pipe";
    default:
        break;
    }
    char text[48];
    if (type >= 0x20 && type < 0x7F)
        snprintf(text, sizeof text, "is not a plain file (type '%c')", type);
    else
        snprintf(text, sizeof text, "is not a plain file (type %u)", static_cast<unsigned>(type));
    return text;
}

// The member check; members, when given, gets every member to unpack in archive order. The
// archive's own folder ("./", which "tar -C dir -cf x ." writes first) is passed over. A hard
// link whose target is a file earlier in the archive is taken as a copy of that file (an
// earlier store wrote files with two names that way); any other link is refused.
bool CheckTar(const unsigned char* data, size_t size, std::string& why,
              std::vector<STarMember>* members)
{
    if (data == nullptr && size > 0)
    {
        why = "no archive";
        return false;
    }
    std::vector<STarMember> found;
    // The last member of each name so far: what a hard link behind it names.
    std::map<std::string, size_t> latest;
    // Bytes of the archive made ready to unpack, where copies of linked files make it grow.
    uint64_t prepared = 0;
    size_t at = 0;
    // The extended headers that stand before the next member, if any, and where the first of
    // them begins: a pax extended header ('x') or a GNU long name ('L'), and a GNU long link
    // name ('K'), which GNU tar writes before a hard link together with a long name.
    bool extended = false;
    bool longLink = false;
    size_t extendedAt = 0;
    SPaxFacts pax;
    while (at < size)
    {
        if (size - at < kBlock)
        {
            why = "archive ends inside a header";
            return false;
        }
        const unsigned char* header = data + at;
        if (std::all_of(header, header + kBlock, [](unsigned char c) { return c == 0; }))
            break; // end of the archive; what follows is padding

        uint64_t stored = 0;
        uint64_t sum = 0;
        for (size_t i = 0; i < kBlock; ++i)
            sum += (i >= kChecksumField && i < kChecksumField + 8) ? ' ' : header[i];
        if (!ParseOctal(header + kChecksumField, 8, stored) || stored != sum)
        {
            why = "bad header checksum at byte " + std::to_string(at);
            return false;
        }
        const unsigned char type = header[156];
        uint64_t length = 0;
        if (extended && pax.bSize)
            length = pax.uSize;
        else if (!ParseOctal(header + 124, 12, length))
        {
            why = "bad member size at byte " + std::to_string(at);
            return false;
        }
        const uint64_t blocks = length / kBlock + (length % kBlock != 0 ? 1 : 0);
        const bool cut = blocks > (size - at - kBlock) / kBlock;
        const size_t next = cut ? size : at + kBlock + static_cast<size_t>(blocks) * kBlock;
        // Headers that describe the member behind them: a pax extended header ('x' for the next
        // member, 'g' for all that follow), whose records may rename the member, give its size
        // or its link target, GNU tar's long name ('L'), whose data is the next member's name,
        // and its long link name ('K'), whose data is the next member's link target.
        if (type == 'x' || type == 'g' || type == 'L' || type == 'K')
        {
            const std::string where = std::to_string(at);
            if (cut)
            {
                why = "extended header at byte " + where + " is longer than the archive";
                return false;
            }
            if ((type == 'K' && longLink) || (type != 'K' && extended) || (type == 'g' && longLink))
            {
                why = "two extended headers in a row at byte " + where;
                return false;
            }
            SPaxFacts facts;
            if (type == 'L' || type == 'K')
            {
                std::string& text = type == 'L' ? facts.sPath : facts.sLinkPath;
                text = FieldText(header + kBlock, static_cast<size_t>(length));
                if (text.empty())
                {
                    why = std::string(type == 'L' ? "long name" : "long link name") + " at byte " +
                          where + " is empty";
                    return false;
                }
                (type == 'L' ? facts.bPath : facts.bLinkPath) = true;
            }
            else if (!ParsePaxRecords(header + kBlock, static_cast<size_t>(length), at, facts, why))
                return false;
            if (type == 'g')
            {
                if (facts.bPath || facts.bSize || facts.bLinkPath)
                {
                    why = "global extended header at byte " + where + " renames or resizes members";
                    return false;
                }
                at = next;
                continue;
            }
            if (!extended && !longLink)
                extendedAt = at;
            if (type == 'K')
                longLink = true;
            else
            {
                extended = true;
                pax.bPath = facts.bPath;
                pax.sPath = facts.sPath;
                pax.bSize = facts.bSize;
                pax.uSize = facts.uSize;
            }
            if (facts.bLinkPath)
            {
                pax.bLinkPath = true;
                pax.sLinkPath = facts.sLinkPath;
            }
            at = next;
            continue;
        }
        std::string name = FieldText(header, 100);
        // The name prefix exists in POSIX archives only ("ustar" and a zero byte); GNU
        // archives keep other fields there.
        if (memcmp(header + 257, "ustar", 6) == 0)
        {
            const std::string prefix = FieldText(header + 345, 155);
            if (!prefix.empty())
                name = prefix + "/" + name;
        }
        if (extended && pax.bPath)
            name = pax.sPath;
        const size_t begin = extended || longLink ? extendedAt : at;
        const SPaxFacts facts = pax;
        extended = false;
        longLink = false;
        pax = SPaxFacts();
        if (name.compare(0, 2, "./") == 0)
            name.erase(0, 2);
        if (type == '5' && (name.empty() || name == "." || name == "./"))
        {
            // The folder that was packed: the configuration directory itself.
            if (cut)
            {
                why = "folder entry at byte " + std::to_string(at) + " is longer than the archive";
                return false;
            }
            at = next;
            continue;
        }
        if (type != '0' && type != 0 && type != '1')
        {
            why = "member \"" + Shown(name) + "\" " + KindOf(type);
            return false;
        }
        const std::string problem = NameProblem(name);
        if (!problem.empty())
        {
            why = problem;
            return false;
        }
        if (cut)
        {
            why = "member \"" + Shown(name) + "\" is longer than the archive";
            return false;
        }
        STarMember member{name, at, begin, next, at + kBlock, static_cast<size_t>(length), false};
        if (type == '1')
        {
            std::string target = facts.bLinkPath ? facts.sLinkPath : FieldText(header + 157, 100);
            if (target.compare(0, 2, "./") == 0)
                target.erase(0, 2);
            const auto earlier = latest.find(target);
            if (earlier == latest.end())
            {
                why = "member \"" + Shown(name) + "\" is a link to \"" + Shown(target) +
                      "\", which is no file before it in the archive";
                return false;
            }
            member.bLink = true;
            member.uData = found[earlier->second].uData;
            member.uSize = found[earlier->second].uSize;
            // The copy: a long-name header with the name, the member's header and the data.
            prepared +=
                (name.size() >= 100 ? kBlock + (name.size() + kBlock) / kBlock * kBlock : 0) +
                kBlock + (member.uSize + kBlock - 1) / kBlock * kBlock;
            if (prepared > QTX_CONFIG_ARCHIVE_MAX_UNPACKED)
            {
                why = "the copies of linked files take more than " +
                      std::to_string(QTX_CONFIG_ARCHIVE_MAX_UNPACKED) + " bytes";
                return false;
            }
        }
        else if (facts.bLinkPath)
        {
            why = "member \"" + Shown(name) + "\" is a plain file with a link target";
            return false;
        }
        else
            prepared += next - begin;
        latest[name] = found.size();
        found.push_back(member);
        at = next;
    }
    if (extended || longLink)
    {
        why = "archive ends after an extended header";
        return false;
    }
    if (members != nullptr)
        *members = std::move(found);
    return true;
}

// Writes the mode field (seven octal digits and a zero byte) and the checksum field (six octal
// digits, a zero byte and a blank, as tar writes it) of a header.
void WriteModeAndChecksum(unsigned char* header, uint64_t mode)
{
    char field[9];
    snprintf(field, sizeof field, "%07o", static_cast<unsigned>(mode));
    memcpy(header + kModeField, field, 8);
    uint64_t sum = 0;
    for (size_t i = 0; i < kBlock; ++i)
        sum += (i >= kChecksumField && i < kChecksumField + 8) ? ' ' : header[i];
    snprintf(field, sizeof field, "%06o", static_cast<unsigned>(sum));
    memcpy(header + kChecksumField, field, 7);
    header[kChecksumField + 7] = ' ';
}

// Appends a header of GNU form for a plain file: name (of fewer than 100 bytes), mode, size and
// the modification time field of another header; the checksum made for it.
void AppendHeader(std::string& out, const std::string& name, char type, uint64_t mode,
                  uint64_t size, const unsigned char* mtime)
{
    unsigned char header[kBlock] = {};
    memcpy(header, name.data(), std::min<size_t>(name.size(), 100));
    char field[13];
    memcpy(header + 108, "0000000", 8);
    memcpy(header + 116, "0000000", 8);
    snprintf(field, sizeof field, "%011llo", static_cast<unsigned long long>(size));
    memcpy(header + 124, field, 12);
    uint64_t time = 0;
    if (mtime != nullptr && ParseOctal(mtime, 12, time))
        memcpy(header + 136, mtime, 12);
    else
        memcpy(header + 136, "00000000000", 12);
    header[156] = static_cast<unsigned char>(type);
    memcpy(header + 257, "ustar  ", 8);
    WriteModeAndChecksum(header, mode & 0777);
    out.append(reinterpret_cast<const char*>(header), kBlock);
}

void AppendPadded(std::string& out, const char* data, size_t size)
{
    out.append(data, size);
    out.append((kBlock - size % kBlock) % kBlock, '\0');
}

// A hard link made ready to unpack: a plain file of the link's name and mode with the data of
// the file it names; a name of 100 bytes or more goes before it in a GNU long-name header.
void AppendLinkCopy(std::string& out, const std::string& tar, const STarMember& member)
{
    const unsigned char* header =
        reinterpret_cast<const unsigned char*>(tar.data()) + member.uHeader;
    uint64_t mode = 0;
    if (!ParseOctal(header + kModeField, 8, mode))
        mode = 0644;
    if (member.sName.size() >= 100)
    {
        AppendHeader(out, "././@LongLink", 'L', 0644, member.sName.size() + 1, nullptr);
        AppendPadded(out, member.sName.c_str(), member.sName.size() + 1);
    }
    AppendHeader(out, member.sName, '0', mode, member.uSize, header + 136);
    AppendPadded(out, tar.data() + member.uData, member.uSize);
}

} // namespace

bool InflateConfigurationArchive(const unsigned char* data, size_t size, std::string& tar,
                                 std::string& why)
{
    tar.clear();
    z_stream stream{};
    // 16 + 15: a gzip stream with the largest window.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
    {
        why = "the configuration archive cannot be uncompressed: no memory";
        return false;
    }
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    size_t done = 0;
    bool ok = size > 0;
    int result = Z_OK;
    while (ok)
    {
        // At most one chunk beyond the bound is ever uncompressed.
        tar.resize(done + kInflateChunk);
        stream.next_out = reinterpret_cast<Bytef*>(&tar[done]);
        stream.avail_out = static_cast<uInt>(kInflateChunk);
        result = inflate(&stream, Z_NO_FLUSH);
        done += kInflateChunk - stream.avail_out;
        if (done > QTX_CONFIG_ARCHIVE_MAX_UNPACKED)
        {
            why = "the configuration archive uncompresses to more than " +
                  std::to_string(QTX_CONFIG_ARCHIVE_MAX_UNPACKED) + " bytes";
            ok = false;
            break;
        }
        if (result == Z_STREAM_END)
        {
            // gzip writes one member; more members may follow one another, nothing else.
            if (stream.avail_in == 0)
                break;
            if (stream.avail_in < 2 || stream.next_in[0] != 0x1F || stream.next_in[1] != 0x8B)
            {
                why = "the configuration archive is followed by other data";
                ok = false;
                break;
            }
            inflateReset(&stream);
            continue;
        }
        if (result != Z_OK)
        {
            // Z_BUF_ERROR: the input ended before the stream did.
            why = result == Z_BUF_ERROR ? "the configuration archive is cut short"
                                        : "the configuration archive is damaged";
            ok = false;
        }
    }
    inflateEnd(&stream);
    if (!ok)
    {
        tar.clear();
        tar.shrink_to_fit();
        if (why.empty())
            why = "the configuration archive is empty";
        return false;
    }
    tar.resize(done);
    return true;
}

bool MoveUnpackedFiles(const std::string& directory, const std::string& fresh,
                       const std::string& kept, const std::vector<std::string>& names,
                       std::string& why, int (*move)(const char*, const char*))
{
    std::vector<bool> replaces(names.size(), false);
    for (size_t i = 0; i < names.size(); ++i)
    {
        const std::string& name = names[i];
        struct stat st;
        if (lstat((fresh + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        {
            why = "member \"" + Shown(name) + "\" did not come out of the archive as a file";
            return false;
        }
        const std::string target = directory + name;
        if (lstat(target.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
        {
            why = "\"" + Shown(name) + "\" is a folder in the configuration directory";
            return false;
        }
        if (link(target.c_str(), (kept + "/" + name).c_str()) != 0)
        {
            why = "\"" + Shown(name) + "\" cannot be kept while it is replaced: " + strerror(errno);
            return false;
        }
        replaces[i] = true;
    }
    size_t moved = 0;
    for (; moved < names.size(); ++moved)
    {
        const std::string& name = names[moved];
        if (move((fresh + "/" + name).c_str(), (directory + name).c_str()) != 0)
        {
            why = "member \"" + Shown(name) +
                  "\" cannot be moved into the configuration directory: " + strerror(errno);
            break;
        }
    }
    if (moved == names.size())
        return true;
    // Undone last to first: a replaced file takes its place again, a new one goes.
    while (moved-- > 0)
    {
        const std::string target = directory + names[moved];
        if (replaces[moved])
            rename((kept + "/" + names[moved]).c_str(), target.c_str());
        else
            unlink(target.c_str());
    }
    return false;
}

bool UnpackConfigurationArchive(const std::string& directory, std::string& why)
{
    const std::string tarPath = directory + QTX_CONFIG_ARCHIVE_TAR;
    const std::string archive = directory + QTX_CONFIG_ARCHIVE;
    const std::string staging = directory + kStaging;
    // tar unpacks into "new"; "old" keeps the files that the restore replaces until it is done.
    const std::string fresh = staging + "/new";
    const std::string kept = staging + "/old";
    unlink(tarPath.c_str());
    // What an interrupted restore left behind goes first.
    DeleteDirectory(staging.c_str());

    std::string compressed;
    std::string tar;
    std::vector<std::string> names;
    bool ok = false;
    if (!ReadWholeFile(archive, compressed, static_cast<off_t>(QTX_CONFIG_ARCHIVE_MAX_UNPACKED)))
        why = "the configuration archive cannot be read or is too large";
    else if (InflateConfigurationArchive(reinterpret_cast<const unsigned char*>(compressed.data()),
                                         compressed.size(), tar, why) &&
             PrepareConfigurationTar(tar, names, why))
    {
        if (mkdir(staging.c_str(), 0700) != 0 || mkdir(fresh.c_str(), 0700) != 0 ||
            mkdir(kept.c_str(), 0700) != 0 || !WriteWholeFile(tarPath, tar))
            why =
                std::string("the configuration archive cannot be written out: ") + strerror(errno);
        // The files belong to the hub, whatever owner the archive names.
        else if (!Succeeded(ExecuteProgram(
                     {"tar", "x", "--no-same-owner", "-f", tarPath, "-C", fresh}, true)))
            why = "tar could not unpack the configuration archive";
        else
            ok = true;
    }
    unlink(tarPath.c_str());
    unlink(archive.c_str());
    if (ok)
        ok = MoveUnpackedFiles(directory, fresh, kept, names, why, rename);
    DeleteDirectory(staging.c_str());
    return ok;
}

bool CheckConfigurationTar(const unsigned char* data, size_t size, std::string& why)
{
    return CheckTar(data, size, why, nullptr);
}

bool PrepareConfigurationTar(std::string& tar, std::vector<std::string>& names, std::string& why)
{
    names.clear();
    std::vector<STarMember> members;
    if (!CheckTar(reinterpret_cast<const unsigned char*>(tar.data()), tar.size(), why, &members))
        return false;
    // Only the members to unpack stay, with the two end blocks behind them: the archive's own
    // folder entry and global headers are left out, and a hard link becomes a copy of the file
    // it names.
    std::set<std::string> seen;
    std::string ready;
    ready.reserve(tar.size());
    for (const STarMember& member : members)
    {
        if (member.bLink)
            AppendLinkCopy(ready, tar, member);
        else
        {
            const size_t headerAt = ready.size() + (member.uHeader - member.uBegin);
            ready.append(tar, member.uBegin, member.uEnd - member.uBegin);
            unsigned char* header = reinterpret_cast<unsigned char*>(&ready[headerAt]);
            uint64_t mode = 0;
            const bool readable = ParseOctal(header + kModeField, 8, mode);
            if (!readable || (mode & ~static_cast<uint64_t>(0777)) != 0)
                WriteModeAndChecksum(header, readable ? (mode & 0777) : 0644);
        }
        if (seen.insert(member.sName).second)
            names.push_back(member.sName);
    }
    ready.append(2 * kBlock, '\0');
    tar.swap(ready);
    return true;
}
