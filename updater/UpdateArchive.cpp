// The update archive read and written with minizip.
#include "UpdateArchive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include "QTXFlashRecord.h"
#include "QTXGlobal.h"

namespace
{
// Names longer than this are refused; no member of an update archive comes near it.
constexpr size_t kMaxNameBytes = 1024;
constexpr size_t kCopyBytes = 65536;

unzFile Zip(void* handle)
{
    return static_cast<unzFile>(handle);
}

// minizip 1.1 takes a size of the directory from the zip64 extra field only where unsigned long
// has 32 bits: on a 64-bit host the size stays 0xFFFFFFFF, the mark that the extra field holds
// it. The sizes are read from that field here (uncompressed size first, then the compressed
// one, each present only when its field is so marked), so that every host reads the same.
constexpr uint64_t kZip64Marked = 0xFFFFFFFFu;
constexpr unsigned kZip64ExtraId = 0x0001;

uint64_t Le(const unsigned char* bytes, int count)
{
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

bool TakeZip64Sizes(unzFile zip, unz_file_info64& facts)
{
    if (facts.uncompressed_size != kZip64Marked && facts.compressed_size != kZip64Marked)
        return true;
    std::string field(facts.size_file_extra, '\0');
    if (field.empty() ||
        unzGetCurrentFileInfo64(zip, nullptr, nullptr, 0, &field[0],
                                static_cast<uLong>(field.size()), nullptr, 0) != UNZ_OK)
        return false;
    const unsigned char* extra = reinterpret_cast<const unsigned char*>(field.data());
    size_t at = 0;
    while (field.size() - at >= 4)
    {
        const unsigned id = static_cast<unsigned>(Le(&extra[at], 2));
        const size_t length = static_cast<size_t>(Le(&extra[at + 2], 2));
        at += 4;
        if (length > field.size() - at)
            return false;
        if (id == kZip64ExtraId)
        {
            size_t next = at;
            for (ZPOS64_T* size : {&facts.uncompressed_size, &facts.compressed_size})
                if (*size == kZip64Marked)
                {
                    if (next + 8 > at + length)
                        return false;
                    *size = Le(&extra[next], 8);
                    next += 8;
                }
            return true;
        }
        at += length;
    }
    return false;
}

// The name and facts of the member at the archive's current position; false when they cannot
// be read or the name is not a plain text of at most kMaxNameBytes.
bool CurrentMember(unzFile zip, SArchiveMember& member, unz_file_info64* info = nullptr)
{
    unz_file_info64 local;
    unz_file_info64& facts = info != nullptr ? *info : local;
    char name[kMaxNameBytes + 1] = {};
    if (unzGetCurrentFileInfo64(zip, &facts, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
        facts.size_filename > kMaxNameBytes || strlen(name) != facts.size_filename ||
        !TakeZip64Sizes(zip, facts))
        return false;
    member.sName = name;
    member.uSize = facts.uncompressed_size;
    member.uCompressedSize = facts.compressed_size;
    member.uCrc = static_cast<uint32_t>(facts.crc);
    member.iMethod = static_cast<int>(facts.compression_method);
    member.bEncrypted = (facts.flag & 1) != 0;
    return true;
}

// Reads the current member to its end into the descriptor (or nowhere when fd < 0). False when
// it cannot be opened, its data is damaged (its CRC, computed here, or its size differs from
// the directory) or it goes on beyond maxBytes. minizip compares the CRC itself only when the
// size it took from the directory was right, so the check here does not rely on it; a stored
// member ends with its size, whatever minizip took for the size of its stored bytes.
bool ReadCurrent(unzFile zip, const SArchiveMember& member, int fd,
                 uint64_t maxBytes = UPDATE_MAX_MEMBER_BYTES)
{
    if (!UnreadableReason(member).empty() || unzOpenCurrentFile(zip) != UNZ_OK)
        return false;
    std::vector<char> buffer(kCopyBytes);
    uint64_t done = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool ok = true;
    while (!(member.iMethod == 0 && done == member.uSize))
    {
        const uint64_t want = member.iMethod == 0
                                  ? std::min<uint64_t>(buffer.size(), member.uSize - done)
                                  : buffer.size();
        const int n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(want));
        if (n < 0)
        {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        done += static_cast<uint64_t>(n);
        if (done > maxBytes || done > member.uSize)
        {
            ok = false;
            break;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n));
        if (fd >= 0 &&
            FlashWriteFully(fd, buffer.data(), static_cast<size_t>(n)) != static_cast<size_t>(n))
        {
            ok = false;
            break;
        }
    }
    const int closed = unzCloseCurrentFile(zip);
    return ok && closed == UNZ_OK && done == member.uSize && crc == member.uCrc;
}

bool MakeParentDirectories(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 || QTXMakeDirectories(path.substr(0, slash));
}
} // namespace

std::string UnreadableReason(const SArchiveMember& member)
{
    // Method 99 is the encryption of other zip programs, in place of the compression method.
    if (member.bEncrypted || member.iMethod == 99)
        return "is encrypted";
    if (member.iMethod == 0 || member.iMethod == Z_DEFLATED)
        return "";
    std::string method;
    switch (member.iMethod)
    {
    case 1:
        method = "shrink";
        break;
    case 6:
        method = "implode";
        break;
    case 9:
        method = "deflate64";
        break;
    case 12:
        method = "bzip2";
        break;
    case 14:
        method = "LZMA";
        break;
    case 93:
        method = "zstd";
        break;
    case 95:
        method = "xz";
        break;
    case 98:
        method = "PPMd";
        break;
    default:
        method = "method " + std::to_string(member.iMethod);
        break;
    }
    return "is compressed with " + method + ", which the updater cannot unpack";
}

bool IsSafeMemberName(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name.size() > kMaxNameBytes)
        return false;
    size_t start = 0;
    while (start <= name.size())
    {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        const std::string part = name.substr(start, end - start);
        // A trailing "/" names a folder, never a file to unpack.
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\')
            return false;
    return true;
}

CUpdateArchive::~CUpdateArchive()
{
    Close();
}

void CUpdateArchive::Close()
{
    if (m_pZip != nullptr)
        unzClose(Zip(m_pZip));
    m_pZip = nullptr;
    m_vMembers.clear();
    m_tNames.clear();
}

bool CUpdateArchive::Open(const std::string& path)
{
    Close();
    m_sWhy.clear();
    unzFile zip = unzOpen64(path.c_str());
    if (zip == nullptr)
    {
        m_sWhy = "not a zip archive, or it cannot be read";
        return false;
    }
    m_pZip = zip;
    int r = unzGoToFirstFile(zip);
    while (r == UNZ_OK)
    {
        SArchiveMember member;
        if (!CurrentMember(zip, member))
        {
            m_sWhy = "the directory of the archive is damaged";
            Close();
            return false;
        }
        m_tNames.insert(member.sName);
        m_vMembers.push_back(member);
        r = unzGoToNextFile(zip);
    }
    if (r != UNZ_END_OF_LIST_OF_FILE)
    {
        m_sWhy = "the directory of the archive is damaged";
        Close();
        return false;
    }
    return true;
}

bool CUpdateArchive::Has(const std::string& name) const
{
    return m_tNames.count(name) != 0;
}

bool CUpdateArchive::Locate(const std::string& name)
{
    return m_pZip != nullptr && Has(name) && unzLocateFile(Zip(m_pZip), name.c_str(), 1) == UNZ_OK;
}

bool CUpdateArchive::Extract(const std::string& name, const std::string& path, uint64_t maxBytes)
{
    m_sWhy.clear();
    if (!IsSafeMemberName(name))
        m_sWhy = "leads out of the update directory";
    else if (!Locate(name))
        m_sWhy = "is not in the archive";
    SArchiveMember member;
    if (m_sWhy.empty() && !CurrentMember(Zip(m_pZip), member))
        m_sWhy = "has a damaged directory entry";
    else if (m_sWhy.empty())
        m_sWhy = UnreadableReason(member);
    if (m_sWhy.empty() && member.uSize > maxBytes)
        m_sWhy = "is larger than " + std::to_string(maxBytes) + " bytes";
    if (!m_sWhy.empty())
        return false;
    if (!MakeParentDirectories(path))
    {
        m_sWhy = "cannot be unpacked: its folder cannot be made";
        return false;
    }
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        m_sWhy = std::string("cannot be unpacked: ") + strerror(errno);
        return false;
    }
    const bool read = ReadCurrent(Zip(m_pZip), member, fd, maxBytes);
    const bool closed = close(fd) == 0;
    if (!read || !closed)
    {
        m_sWhy = read ? "cannot be unpacked: writing failed" : "is damaged, or writing it failed";
        unlink(path.c_str());
        return false;
    }
    return true;
}

bool CUpdateArchive::CheckAll(std::string& bad)
{
    m_sWhy.clear();
    if (m_pZip == nullptr)
    {
        bad = "the archive";
        m_sWhy = "cannot be read";
        return false;
    }
    int r = unzGoToFirstFile(Zip(m_pZip));
    while (r == UNZ_OK)
    {
        SArchiveMember member;
        if (!CurrentMember(Zip(m_pZip), member))
        {
            bad = "the archive's directory";
            m_sWhy = "is damaged";
            return false;
        }
        // Folders are stored as names ending in "/" and hold no data.
        const bool folder = !member.sName.empty() && member.sName.back() == '/';
        const std::string plain =
            folder ? member.sName.substr(0, member.sName.size() - 1) : member.sName;
        if (!IsSafeMemberName(plain))
            m_sWhy = "leads out of the update directory";
        else if (!UnreadableReason(member).empty())
            m_sWhy = UnreadableReason(member);
        else if (member.uSize > UPDATE_MAX_MEMBER_BYTES)
            m_sWhy = "is larger than " + std::to_string(UPDATE_MAX_MEMBER_BYTES) + " bytes";
        else if (!ReadCurrent(Zip(m_pZip), member, -1))
            m_sWhy = "does not match its CRC";
        if (!m_sWhy.empty())
        {
            bad = member.sName.empty() ? "a member without a name" : member.sName;
            return false;
        }
        r = unzGoToNextFile(Zip(m_pZip));
    }
    if (r != UNZ_END_OF_LIST_OF_FILE)
    {
        bad = "the archive's directory";
        m_sWhy = "is damaged";
        return false;
    }
    return true;
}

bool CUpdateArchive::RemoveMembers(const std::string& path, const std::set<std::string>& names,
                                   std::string& why)
{
    unzFile in = unzOpen64(path.c_str());
    if (in == nullptr)
    {
        why = "the archive cannot be read";
        return false;
    }
    const std::string temporary = path + ".new";
    zipFile out = zipOpen64(temporary.c_str(), APPEND_STATUS_CREATE);
    bool ok = out != nullptr;
    if (!ok)
        why = "the new archive cannot be made";
    std::vector<char> buffer(kCopyBytes);
    int r = ok ? unzGoToFirstFile(in) : UNZ_OK;
    while (ok && r == UNZ_OK)
    {
        SArchiveMember member;
        unz_file_info64 info;
        ok = CurrentMember(in, member, &info);
        if (ok && names.count(member.sName) == 0)
        {
            // The member's stored bytes are copied as they are, without unpacking them.
            int method = 0;
            int level = 0;
            zip_fileinfo facts{};
            facts.dosDate = info.dosDate;
            facts.internal_fa = info.internal_fa;
            facts.external_fa = info.external_fa;
            ok = unzOpenCurrentFile2(in, &method, &level, 1) == UNZ_OK;
            if (ok)
            {
                ok = zipOpenNewFileInZip2_64(out, member.sName.c_str(), &facts, nullptr, 0, nullptr,
                                             0, nullptr, method, level, 1,
                                             member.uSize >= 0xFFFFFFFFull ? 1 : 0) == ZIP_OK;
                // Exactly the member's stored bytes: its compressed size as the directory says.
                uint64_t copied = 0;
                while (ok && copied < member.uCompressedSize)
                {
                    const uint64_t left = member.uCompressedSize - copied;
                    const int n = unzReadCurrentFile(
                        in, buffer.data(),
                        static_cast<unsigned>(std::min<uint64_t>(left, buffer.size())));
                    ok = n > 0 && zipWriteInFileInZip(out, buffer.data(),
                                                      static_cast<unsigned>(n)) == ZIP_OK;
                    copied += n > 0 ? static_cast<uint64_t>(n) : 0;
                }
                ok = zipCloseFileInZipRaw64(out, member.uSize, member.uCrc) == ZIP_OK && ok;
                ok = unzCloseCurrentFile(in) == UNZ_OK && ok;
            }
            if (!ok)
                why = "member " + member.sName + " cannot be copied";
        }
        else if (!ok)
            why = "the directory of the archive is damaged";
        if (ok)
            r = unzGoToNextFile(in);
    }
    if (ok && r != UNZ_END_OF_LIST_OF_FILE)
    {
        ok = false;
        why = "the directory of the archive is damaged";
    }
    if (out != nullptr && zipClose(out, nullptr) != ZIP_OK && ok)
    {
        ok = false;
        why = "the new archive cannot be written";
    }
    unzClose(in);
    if (ok && rename(temporary.c_str(), path.c_str()) != 0)
    {
        ok = false;
        why = std::string("the new archive cannot take the old one's place: ") + strerror(errno);
    }
    if (!ok)
        unlink(temporary.c_str());
    return ok;
}

bool CUpdateArchive::PackFile(const std::string& zipPath, const std::string& filePath,
                              const std::string& memberName)
{
    const int fd = open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unlink(zipPath.c_str());
    zipFile out = zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE);
    bool ok = out != nullptr;
    zip_fileinfo facts{};
    ok = ok && zipOpenNewFileInZip64(out, memberName.c_str(), &facts, nullptr, 0, nullptr, 0,
                                     nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0) == ZIP_OK;
    std::vector<char> buffer(kCopyBytes);
    ssize_t n = 0;
    while (ok && (n = read(fd, buffer.data(), buffer.size())) > 0)
        ok = zipWriteInFileInZip(out, buffer.data(), static_cast<unsigned>(n)) == ZIP_OK;
    ok = ok && n == 0;
    if (out != nullptr)
    {
        ok = zipCloseFileInZip(out) == ZIP_OK && ok;
        ok = zipClose(out, nullptr) == ZIP_OK && ok;
    }
    close(fd);
    if (!ok)
        unlink(zipPath.c_str());
    return ok;
}
