// Bounded copies into fixed-size character buffers, and helpers for file names and directory
// trees. The character-buffer functions never write past `size` bytes and always terminate
// what they write; none of the functions keeps state or throws.
#ifndef QTX_STRING_FILE_H
#define QTX_STRING_FILE_H

#include <string>

// Result of DeleteDirectory when the tree could not be removed completely.
constexpr int QTX_DELETE_DIRECTORY_FAILED = 93;

// Copies source into destination: at most size - 1 characters, and at most `count` when that
// is not negative; a zero byte follows them. Returns the number of characters copied; 0 and
// nothing written for a null destination or source or a size below 1.
int nStrNCpy_s(char* destination, int size, const char* source, int count);
// nStrNCpy_s with no count limit: truncates silently to size - 1 characters.
int nStrCpy_s(char* destination, int size, const char* source);
// Appends source to the text in destination, within size bytes in all. Returns the number of
// characters appended (0 when the text already fills the buffer).
int nStrCat_s(char* destination, int size, const char* source);

// Removes the directory `path` with everything in it. Symbolic links are removed, never
// followed, and a `path` that is itself a symbolic link is refused. Returns 0 when the
// directory is gone, QTX_DELETE_DIRECTORY_FAILED otherwise (what was removed before the
// failure stays removed).
int DeleteDirectory(const char* path);

// Builds "<directory>/<subdirectory>/<fileName>" in buffer. With keepDirectory 0 the buffer
// starts empty, otherwise its current text is the directory. A file name that begins with "/"
// or "\" replaces the whole path. Every "\" becomes "/". A path too long for the buffer is
// cut, never overrun; nothing happens for a null buffer or a size below 10.
void Filename2Path(char* buffer, int size, const char* subdirectory, const char* fileName,
                   int keepDirectory);

// text inserted before the file name's extension ("Config.xml", "_3" gives "Config_3.xml");
// a name without extension (no "." after its last "/" or "\") gets "_" and the text appended
// ("Config", "_out" gives "Config__out").
std::string AddFilePreExtension(const std::string& fileName, const char* text);
// fileName unchanged for number 0, else AddFilePreExtension(fileName, "_<number>")
// ("Config.xml", 3 gives "Config_3.xml"; "Config", 3 gives "Config__3").
std::string AddFileNumber(const std::string& fileName, int number);

#endif
