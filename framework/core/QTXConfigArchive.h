// The configuration archive "Config.tar.gz": the files "*.xml", "*.sh" and "*.cfg" of the
// configuration directory, packed with tar and compressed with gzip. The hub keeps it in flash
// and unpacks it at start; the updater stores it as well.
//
// tar and gzip run from argument vectors: file names are arguments, never shell text. Before an
// archive is unpacked every member is checked: only plain files directly in the directory are
// taken, so no member can leave the directory (no absolute path, no "..", no sub-folder, no link
// or device).
#ifndef QTX_CONFIG_ARCHIVE_H
#define QTX_CONFIG_ARCHIVE_H

#include <cstddef>
#include <string>
#include <vector>

// Names of the archive files in the configuration directory.
extern const char* const QTX_CONFIG_ARCHIVE;     // "Config.tar.gz"
extern const char* const QTX_CONFIG_ARCHIVE_TAR; // "Config.tar"

// The file names of the directory that go into the archive: regular files whose names end in
// ".xml", ".sh" or ".cfg" (not hidden, no control characters, shorter than 100 characters),
// sorted.
std::vector<std::string> ListConfigurationFiles(const std::string& directory);

// Packs the configuration files of the directory (a path of this process ending with "/") into
// directory + "Config.tar.gz", removing older "Config.tar" and "Config.tar.gz" first. True when
// the archive was made; otherwise false with the reason in why and no archive left behind.
bool PackConfigurationArchive(const std::string& directory, std::string& why);

// Sizes of a configuration archive that is stored in flash: 11 to 327663 bytes.
constexpr size_t QTX_CONFIG_ARCHIVE_MIN_STORED = 11;
constexpr size_t QTX_CONFIG_ARCHIVE_MAX_STORED = 327663;

// Packs the configuration directory (as PackConfigurationArchive) and takes the archive into
// data, for storing it in flash; the archive file is removed in every case. False with the
// reason in why when it cannot be made or its size is outside the stored range.
bool TakeConfigurationArchive(const std::string& directory, std::string& data, std::string& why);

// Unpacks directory + "Config.tar.gz" into the directory, after checking every member; the
// archive and its "Config.tar" are removed in every case. True when every file was unpacked;
// otherwise false with the reason in why (nothing is unpacked from a refused archive).
bool UnpackConfigurationArchive(const std::string& directory, std::string& why);

// Checks an uncompressed tar archive in memory: every header's checksum, its size against the
// data present, and its member (a plain file with a plain name). An archive may end with zero
// blocks or without them. True when every member may be unpacked; otherwise false with the
// reason in why.
bool CheckConfigurationTar(const unsigned char* data, size_t size, std::string& why);

#endif
