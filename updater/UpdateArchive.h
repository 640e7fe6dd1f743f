// The update archive: a zip file that the PC tool copies into "/tmp/Update/". The updater takes
// single members out of it when it needs them, checks every member against its CRC before it
// changes anything, removes the flash images once they are written (so the archive it keeps in
// flash is smaller), and packs the compatibility list into a zip of its own.
//
// The archive is read with minizip (zlib's zip reader and writer, linked statically): members
// are found by their exact names, no program runs, and a member's name never becomes a path
// or a command line by itself. Names that could lead out of the update directory ("..", an
// absolute path, a back slash, control characters) are refused, and so are members stored with
// encryption or a compression method other than deflate. The sizes of zip64 archives are read
// from their extra fields; the CRC of every member is computed here as it is read.
//
// What a member may unpack to is bounded before and while it is unpacked: the update directory
// lies in RAM, and a few compressed bytes can stand for a very large member.
#ifndef UPDATE_ARCHIVE_H
#define UPDATE_ARCHIVE_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Largest member unpacked: 32 MiB, twice the largest flash of a module (16 MiB) and far more
// than a boot image, an FPGA image or a program of the device; the update partitions that keep
// the archive hold 2 MiB each.
constexpr uint64_t UPDATE_MAX_MEMBER_BYTES = 32u << 20;
// Largest document that the updater or the hub reads whole (the target description, a part's
// control document, the compatibility list): 1 MiB.
constexpr uint64_t UPDATE_MAX_DOCUMENT_BYTES = 1u << 20;

// A name that can be unpacked below a directory: not empty, relative, no ".." or "."
// component, no empty component, no back slash, no control character.
bool IsSafeMemberName(const std::string& name);

struct SArchiveMember
{
    std::string sName;
    uint64_t uSize = 0;
    uint64_t uCompressedSize = 0;
    uint32_t uCrc = 0;
    int iMethod = 0; // 0 stored, 8 deflated; the updater reads no other method
    bool bEncrypted = false;
};

// Why the updater cannot unpack the member, whatever its data: "is encrypted", "is compressed
// with bzip2, which the updater cannot unpack", ...; empty when it can.
std::string UnreadableReason(const SArchiveMember& member);

class CUpdateArchive
{
public:
    CUpdateArchive() = default;
    ~CUpdateArchive();
    CUpdateArchive(const CUpdateArchive&) = delete;
    CUpdateArchive& operator=(const CUpdateArchive&) = delete;

    // Opens the archive and reads its directory; false (with the reason in Why()) when it is no
    // zip archive that can be read.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_pZip != nullptr; }
    const std::string& Why() const { return m_sWhy; }
    const std::vector<SArchiveMember>& Members() const { return m_vMembers; }

    // True when the archive holds a member of exactly this name.
    bool Has(const std::string& name) const;
    // Unpacks the member into the file at path (its folders are made). False, with nothing
    // left at path and the reason in Why(), when the member is missing, its name is not safe,
    // it is larger than maxBytes, its data is damaged (the CRC or the size does not match) or
    // the file cannot be written. No more than maxBytes are ever written.
    bool Extract(const std::string& name, const std::string& path,
                 uint64_t maxBytes = UPDATE_MAX_MEMBER_BYTES);
    // Reads every member through and compares it with its CRC; false with the first damaged,
    // unsafe, unreadable (encrypted, another compression method) or too large (above
    // UPDATE_MAX_MEMBER_BYTES) member's name in bad and what is wrong with it in Why() ("does
    // not match its CRC", "leads out of the update directory", "is encrypted", ...). Why() after
    // a failed Extract also says what is wrong with the member ("is larger than 1048576 bytes",
    // ...).
    bool CheckAll(std::string& bad);

    // Writes the archive at path again without the named members (the rest is copied as it is
    // stored) and reopens it. False, with the archive unchanged, when that fails.
    static bool RemoveMembers(const std::string& path, const std::set<std::string>& names,
                              std::string& why);
    // Makes a zip archive at zipPath that holds the file at filePath as memberName.
    static bool PackFile(const std::string& zipPath, const std::string& filePath,
                         const std::string& memberName);

private:
    bool Locate(const std::string& name);

    void* m_pZip = nullptr;
    std::string m_sWhy;
    std::vector<SArchiveMember> m_vMembers;
    std::set<std::string> m_tNames;
};

#endif
