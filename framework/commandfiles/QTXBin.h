// CQTXBin: one binary command file, a request that arrived with the 16-byte "<?bin" head, and
// the reply the driver sends back for it.
//
// The loaded request is one block: the head followed by its payload. A binary configuration
// (tag 0x101) is checked by Cfg_1st_Check, which also builds the reply image; the driver then
// adds reply groups and per-entry error codes, and the reply is streamed out through a write
// callback (GenerateReply), to a file (StoreFile) or elsewhere.
//
// Two reply forms:
// - the full reply: the configuration reply image (tag 0x8000 | request tag, the request's
//   descriptors with their status bytes, check result, entry error lists), sent when no reply
//   error number is set and the image exists;
// - the bare reply: a 16-byte head carrying the reply error number, and for -260 the error
//   line "<Error Type=.. Name=.. Text=.. Location=.. />" (with its terminating zero byte) as
//   the payload.
//
// Nothing read from a file is trusted: the head's payload length is checked against the bytes
// the file really holds before anything is allocated, and every block handed out or sent is
// zero-filled where it was not written.
#ifndef QTX_BIN_H
#define QTX_BIN_H

#include "QTXBinConfig.h"
#include "QTXCommandFile.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// Reply error numbers that binary replies carry besides the standard short errors.
constexpr short QTXBIN_REPLY_NO_REQUEST = -91;        // no request loaded for the check
constexpr short QTXBIN_REPLY_NOT_CONFIGURATION = -64; // the tag is not a configuration tag
constexpr short QTXBIN_REPLY_BAD_INDEX = -70;         // reply group index outside 0..15
constexpr short QTXBIN_REPLY_ERROR_TEXT = -260;       // the error line is the payload
// Size of the block that holds the error line of a -260 reply (the line and its zero byte).
constexpr unsigned int QTXBIN_ERROR_TEXT_SIZE = 1024;

// Creates (or truncates) the file, seeks to `offset` when it is not 0 and writes `length`
// bytes. Returns the number of bytes written; -70 for a negative length, a null path, or a
// null buffer with a non-zero length; -86 when the file cannot be created; -80 when the seek
// fails.
int WriteBufferToNewFile(const char* path, const unsigned char* buffer, int length, int offset);

class CQTXBin : public CQTXCommandFile
{
public:
    CQTXBin();
    ~CQTXBin() override;

    // 2 while a request is loaded (LoadFile or New), else 0.
    int GetType() const override;
    // Delete(), then reads the head and its payload. False (and nothing loaded) when the file
    // cannot be opened, is shorter than the head, has no "<?bin" label, carries another tag
    // (the low 15 bits are compared, so a reply loads for its request's tag), or holds fewer
    // payload bytes than its head states. Bytes behind the payload are not read.
    bool LoadFile(const char* path, unsigned short tag) override;
    // `reply` set: writes the generated reply (GenerateReply) into a new file. Otherwise
    // writes the loaded head and payload. False when nothing could be written completely.
    bool StoreFile(const char* path, bool reply) override;
    // What StoreFile writes, into memory.
    bool StoreBuffer(std::string& out, bool reply);
    // Frees the loaded request, then DeleteReply().
    void Delete() override;
    // Empties the reply image, sets the reply error number to 0 and frees the error text.
    void DeleteReply();
    // Errors with the number 0 (below severity Error) are not recorded. Otherwise the number
    // becomes the reply error number; for -260 the error line with the type, text, parameter
    // and location (escaped, cut to 1023 characters) becomes the reply's payload. Without
    // memory for the line the number becomes -258.
    void SetError(CQTXError error) override;
    // The reply error number, nothing else.
    void SetStdError(short number) override;
    // Delete(), then a zero-filled request of `length` payload bytes behind a head with `tag`
    // and that length. False for a negative length or without memory ("CQTXBin::New: NoMem!!"
    // on standard output).
    bool New(unsigned short tag, int length) override;
    // First check of a received configuration, before the driver reads any group:
    // -91 without a request, -64 for a tag that is not a configuration tag, -259 for a
    // payload shorter than 328 bytes (each as the reply error number, result false). Then the
    // request's check result and status bytes are cleared and the reply image created
    // (-258 without memory). A count byte above `maximum` gives the check result -1105 (and
    // the count `maximum`) in the reply and false; otherwise the plausibility check's result
    // goes into the reply and the result is true when it is 0.
    bool Cfg_1st_Check(unsigned char maximum) override;

    // The payload (null when nothing is loaded) and the head's payload length (0 then).
    unsigned char* GetData();
    unsigned int GetLength() const;
    // The whole block, head first, and its length (payload length + 16; 0 when empty).
    unsigned char* GetDataWithBinHead();
    unsigned int GetFullLength() const;
    // Tag of the loaded request's head (0 when nothing is loaded).
    unsigned short GetTag() const;
    // The loaded configuration for the in-place QtxBin functions; an empty view when nothing
    // is loaded or the request is no configuration of at least 328 bytes.
    QtxBinCfgView GetConfiguration();

    // Creates reply group `index` and returns its zero-filled entries; null (and the reply
    // error number set to CreateGroup's result) when it cannot be created.
    void* Cfg_ReplyCreateGroupByIdx(int index, unsigned short type, unsigned short entrySize,
                                    unsigned short count, const char* name);
    // Record per-entry error codes of request group `group` in the reply (see
    // QTXBinConfigReplyPW); failures are only traced.
    void Cfg_AddEntryError(short code, unsigned char group, unsigned short entry);
    void Cfg_AddEntriesErrorList(const short* codes, unsigned short count, unsigned char group,
                                 const char* name);

    // Streams the reply: the full reply image when the reply error number is 0 and the image
    // exists, else the bare reply. False when the callback stops the generation.
    bool GenerateReply(QtxBinWriteCallback write, void* context);
    // Write callback for files: `context` is an open FILE*; the bytes are written at the
    // current position. True when `length` is 0 or every byte was written.
    static bool ToFile(void* context, const unsigned char* data, unsigned int offset,
                       unsigned int length, unsigned int total);

    short GetReplyError() const { return m_nReplyError; }
    // The error line of a -260 reply (null when there is none) and its length with the zero.
    const char* GetReplyErrorText() const { return m_pErrorText.get(); }
    unsigned int GetReplyErrorTextLength() const { return m_uErrorTextLength; }
    QTXBinConfigReplyPW& GetReply() { return m_tReply; }

private:
    CQTXBin(const CQTXBin&) = delete;
    CQTXBin& operator=(const CQTXBin&) = delete;

    // Delete(), then a zero-filled block for the head and `length` payload bytes.
    bool Allocate(unsigned short tag, uint32_t length);

    struct FreeDeleter
    {
        void operator()(void* p) const { std::free(p); }
    };

    std::unique_ptr<unsigned char, FreeDeleter> m_pBuffer; // head and payload
    uint32_t m_uLength;                                    // payload bytes behind the head
    QTXBinConfigReplyPW m_tReply;
    std::unique_ptr<char, FreeDeleter> m_pErrorText; // QTXBIN_ERROR_TEXT_SIZE bytes, or null
    unsigned int m_uErrorTextLength;                 // bytes of the line with its zero byte
    short m_nReplyError;
};

#endif
