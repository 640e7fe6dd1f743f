// The command-file interface: every request a driver receives and every reply it sends is
// either an XML document (CQTXXml) or a binary document with a 16-byte "<?bin" head (CQTXBin).
// The request dispatch handles both through this one interface.
#ifndef QTX_COMMAND_FILE_H
#define QTX_COMMAND_FILE_H

#include "QTXError.h"

#include <cstddef>
#include <string>

// Kind of a command file.
enum _QTXCommandFileType
{
    QTX_FILE_TYPE_NONE = 0, // nothing loaded, or not recognised
    QTX_FILE_TYPE_XML = 1,
    QTX_FILE_TYPE_BINARY = 2
};

class CQTXCommandFile
{
public:
    virtual ~CQTXCommandFile() {}

    // Kind of the document now loaded; 0 when nothing is loaded.
    virtual int GetType() const { return QTX_FILE_TYPE_NONE; }
    // Loads a request file and checks that it carries the expected tag.
    virtual bool LoadFile(const char* path, unsigned short tag) = 0;
    // Writes the document. The binary kind writes its reply when `reply` is set, the request
    // bytes otherwise; the XML kind writes its tree either way.
    virtual bool StoreFile(const char* path, bool reply) = 0;
    // Drops the loaded document and everything derived from it.
    virtual void Delete() = 0;
    // Records an error in the reply.
    virtual void SetError(CQTXError error) = 0;
    // Records one of the standard short errors (-256 "NoXml", -257 "RootTagUnknown",
    // -258 "NoMemory", -259 "LengthShort", other negatives "InternalError") in the reply;
    // 0 and positive numbers record nothing.
    virtual void SetStdError(short number) = 0;
    // Starts an empty document for a tag; the binary kind also makes room for `length`
    // payload bytes.
    virtual bool New(unsigned short tag, int length) = 0;
    // First check of a received binary configuration against the largest count the driver
    // accepts; always true for XML.
    virtual bool Cfg_1st_Check(unsigned char maximum) = 0;

    bool IsXml() const { return GetType() == QTX_FILE_TYPE_XML; }
    bool IsBinary() const { return GetType() == QTX_FILE_TYPE_BINARY; }

    // Kind of a file on disk from its first 1024 bytes: the first "<?" followed by "xml" gives
    // 1, followed by "bin" gives 2 (other processing instructions are stepped over); 0 when
    // neither occurs or the file cannot be read.
    static int GetFileType(const char* path);
    // The same for a document in memory, looking at its first 1024 bytes.
    static int GetContentType(const char* data, size_t length);
    // Root tag of a file on disk from its first 1024 bytes: behind "<?xml", the run of
    // letters, digits and "_" behind the next "<" (empty when other markup comes first);
    // behind "<?bin", the head's two tag bytes as text (low byte first, up to the first zero
    // byte). The empty text when nothing is found or the file cannot be read.
    static std::string GetFileTag(const char* path);
    // Reads the whole file into `content` (replacing it) with plain reads. False when the file
    // cannot be opened; `complete` (when given) tells whether it was read to its end without a
    // read error, `content` then holding what was read before the error.
    static bool ReadWholeFile(const char* path, std::string& content, bool* complete = nullptr);
};

#endif
