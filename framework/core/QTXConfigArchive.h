// The configuration archive "Config.tar.gz": the files "*.xml", "*.sh" and "*.cfg" of the
// configuration directory, packed with tar and compressed with gzip. The hub keeps it in flash
// and unpacks it at start; the updater stores it as well.
//
// tar and gzip pack it, run from argument vectors: file names are arguments, never shell text.
// A file with more than one name goes in as a plain file under each name.
// Unpacking uncompresses in memory with zlib, stopping at QTX_CONFIG_ARCHIVE_MAX_UNPACKED bytes,
// so a small record never grows into a large file. Before anything is written every member is
// checked: only plain files directly in the directory are taken, so no member can leave the
// directory (no absolute path, no "..", no sub-folder, no link or device, whether the name stands
// in the member's header, in a pax extended header or in a GNU long name before it), and no
// member keeps a set-user-ID, set-group-ID or sticky bit. A hard link to a file earlier in the
// archive, as tar packs a file with two names, comes out as a copy of that file. tar unpacks into a
// folder of its own, as the hub's files (not the owner the archive names); only when all of it came
// out are the files moved into the directory, all or none, otherwise that folder is removed.
#ifndef QTX_CONFIG_ARCHIVE_H
#define QTX_CONFIG_ARCHIVE_H

#include <cstddef>
#include <string>
#include <vector>

// Names of the archive files in the configuration directory.
extern const char* const QTX_CONFIG_ARCHIVE;     // "Config.tar.gz"
extern const char* const QTX_CONFIG_ARCHIVE_TAR; // "Config.tar"

// Longest member name packed and unpacked: the longest file name of the file system. tar keeps
// a name of 100 bytes or more in a GNU long-name header or a pax extended header.
constexpr size_t QTX_CONFIG_ARCHIVE_LONGEST_NAME = 255;

// The file names of the directory that go into the archive: regular files whose names end in
// ".xml", ".sh" or ".cfg" (not hidden, no control characters), sorted.
std::vector<std::string> ListConfigurationFiles(const std::string& directory);

// Packs the configuration files of the directory (a path of this process ending with "/") into
// directory + "Config.tar.gz", removing older "Config.tar" and "Config.tar.gz" first. True when
// the archive was made; otherwise false with the reason in why and no archive left behind. Files
// that take more than QTX_CONFIG_ARCHIVE_MAX_UNPACKED bytes in the archive are not packed, since
// they could not be unpacked again.
bool PackConfigurationArchive(const std::string& directory, std::string& why);

// Sizes of a configuration archive that is stored in flash: 11 to 327663 bytes.
constexpr size_t QTX_CONFIG_ARCHIVE_MIN_STORED = 11;
constexpr size_t QTX_CONFIG_ARCHIVE_MAX_STORED = 327663;
// Largest uncompressed archive packed or unpacked: 16 MiB. The record lives in the 320 KiB
// partition "/dev/mtd_data", and configuration texts compress far less than 50 to 1; the files
// unpack into the configuration directory, which is in RAM.
constexpr size_t QTX_CONFIG_ARCHIVE_MAX_UNPACKED = 16u << 20;

// Packs the configuration directory (as PackConfigurationArchive) and takes the archive into
// data, for storing it in flash; the archive file is removed in every case. False with the
// reason in why when it cannot be made or its size is outside the stored range.
bool TakeConfigurationArchive(const std::string& directory, std::string& data, std::string& why);

// Unpacks directory + "Config.tar.gz" into the directory, after checking every member; the
// archive, its "Config.tar" and the folder tar unpacks into are removed in every case. True when
// every file was unpacked; otherwise false with the reason in why, and the directory as it was
// (also when moving the files into it fails half-way: the files replaced so far come back).
bool UnpackConfigurationArchive(const std::string& directory, std::string& why);

// Moves the files names from the folder fresh into the directory (a path ending with "/"), all
// or none: each file that one of them replaces first gets a second name in the folder kept, so
// that when a move fails the moves before it are undone (a replaced file takes its place again,
// a new one goes) and the directory is as it was. move is the call that moves one file (rename;
// another only in tests). True when every file was moved; otherwise false with the reason in
// why.
bool MoveUnpackedFiles(const std::string& directory, const std::string& fresh,
                       const std::string& kept, const std::vector<std::string>& names,
                       std::string& why, int (*move)(const char*, const char*));

// Uncompresses a gzip archive (one or more gzip members, nothing behind them) into tar. False
// with the reason in why when it is damaged, cut short, followed by other bytes, or would
// uncompress to more than QTX_CONFIG_ARCHIVE_MAX_UNPACKED bytes; tar is then empty.
bool InflateConfigurationArchive(const unsigned char* data, size_t size, std::string& tar,
                                 std::string& why);

// Checks an uncompressed tar archive in memory: every header's checksum, its size against the
// data present, and its member (a plain file with a plain name of at most
// QTX_CONFIG_ARCHIVE_LONGEST_NAME bytes). Archives in ustar, GNU and pax form are read: a pax
// extended header may give the next member's name and size, a GNU long-name header its name
// (both checked as the member's own); one that describes a sparse file, a global one that
// renames or resizes members, and one that no member follows are refused. A hard link is taken
// when its target (in its header, a pax extended header or a GNU long link name) is a member
// before it, and when the copies of linked files keep the archive within
// QTX_CONFIG_ARCHIVE_MAX_UNPACKED bytes; any other link is refused. The archive's own folder
// ("./", as "tar -C dir -cf x ." writes it) is passed over. An archive may end with zero blocks
// or without them. True when every member may be unpacked; otherwise false with the reason in
// why.
bool CheckConfigurationTar(const unsigned char* data, size_t size, std::string& why);

// Checks an uncompressed tar archive as CheckConfigurationTar does and makes it ready to unpack:
// only the members to unpack stay (the folder entry and global headers go), followed by two zero
// blocks; a hard link becomes a plain file with the data of the member it names; and every
// member's mode loses its set-user-ID, set-group-ID and sticky bits (a mode that cannot be read
// becomes 0644), with the header checksum written anew. names gets the member
// names as they come out of the archive (without a leading "./"), each once. False with the reason
// in why when the check refuses the archive.
bool PrepareConfigurationTar(std::string& tar, std::vector<std::string>& names, std::string& why);

#endif
