// The "ForDuf" module description: where a module's data lie on the bus, written by a module
// driver for the signal-routing driver (which asks for it with AddressTable). One writer gives
// either an XML document or a binary document with the "<?bin" head (tag 0x101), from the same
// calls: construct, then per signal list AddSignalList followed by its AddSignal calls, then
// destroy the writer to finish the file.
//
// A signal list is described by the caller's _GFDSignalListProperties record, little-endian:
//
//   0   u32 size          bytes of the whole record (24 for kind 0)
//   4   u8 kind           0 plain list, 1 read by bus-master transfers, 2 address range
//   5   u8 direction      0 input, 1 output
//   6   u16 signal count
//   8   char name[16]     NUL-terminated
//   24  kind 1: u8 global event, u8 system event, u8 module event, u8 bus masters n,
//               u32 base address, u32 offset per slot, then n blocks
//               {u32 offset register, u32 transfers t, t x {u32 source, u32 destination,
//               u32 length}}
//       kind 2: u8 global event, u8 system event, 2 bytes, u32 base address, u32 length
//
// The binary form copies each record as given, followed by one 12-byte record per signal
// {u16 number, u16 length, u32 offset, u8 type, 3 zero bytes}.
#ifndef QTX_GENERATE_FOR_DUF_H
#define QTX_GENERATE_FOR_DUF_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "QTXBinConfig.h"
#include "QTXConvert.h"

// The fixed head of a signal-list record; kinds 1 and 2 continue behind it in the caller's
// memory (the record is size bytes long).
struct _GFDSignalListProperties
{
    unsigned char head[24];
};

constexpr uint32_t kGFDHeadBytes = 24;
constexpr uint32_t kGFDKindPlain = 0;
constexpr uint32_t kGFDKindBusMaster = 1;
constexpr uint32_t kGFDKindRange = 2;

// One transfer length written into the document, so that it can be changed later.
struct _GFDILengthPos
{
    int bpbmIndex;
    int transferIndex;
    int width;    // digits in XML (at least 7), 4 bytes in binary
    int position; // file position of the value
};

class CQTXGenerateForDuf
{
public:
    // Opens path for writing (replacing it). Throws "CanNotWriteFile" or "NoRam" (FatalError).
    CQTXGenerateForDuf(const char* path, const char* moduleName, bool xml);
    ~CQTXGenerateForDuf();
    CQTXGenerateForDuf(const CQTXGenerateForDuf&) = delete;
    CQTXGenerateForDuf& operator=(const CQTXGenerateForDuf&) = delete;

    // Appends a list; it is the open list afterwards. Throws "IllegalArguments" for a record
    // whose size does not hold what its kind and counts describe (nothing is written then).
    void AddSignalList(const _GFDSignalListProperties* list);
    void AddSignalList(const unsigned char* record);
    // Appends a signal to the open list; throws "InternalError" when no list was added.
    void AddSignal(int number, int offset, int length, _VraType type);
    // Rewrites a transfer length of the open list in place. False when there is no such
    // transfer, or the value does not fit the width written, or the file write fails.
    bool ChangeCopyLength(int newLength, int bpbmIndex, int transferIndex);
    // Writes the buffer to the file and empties it; the count of items written (1, or 0).
    int FlushToFile();

private:
    void Append(const void* data, size_t bytes);
    void Append(const std::string& text) { Append(text.data(), text.size()); }
    void FlushIfHalfFull();
    void CheckUsable() const;
    void CloseList();
    void WriteListXml(const unsigned char* record);
    void WriteProperty(int tabs, const std::string& name, const std::string& value);
    void Finish();
    int64_t Position() const { return m_iWritten + static_cast<int64_t>(m_uUsed); }

    bool m_bXml;
    FILE* m_pFile = nullptr;
    char* m_pBuffer = nullptr;
    size_t m_uUsed = 0;
    int64_t m_iWritten = 0;
    bool m_bListOpen = false;
    std::vector<_GFDILengthPos> m_vLengths;
};

// Prepares a plain list record from a group of a binary configuration: size 24, kind 0, the
// group's entry count, and for group types 2 to 5 the name "AnalogIn", "AnalogOut",
// "DigitalIn" or "DigitalOut" with its direction. False for any other group type (the name
// stays empty).
bool InitGFDSignalListProperties(_GFDSignalListProperties* list, const _QTXBIN_GROUP* group);

// The acquisition software's type of a signal type code of a binary configuration (the low 6
// bits count; codes without a type give VraNone).
_VraType VraOrigType2ForDufVraType(unsigned char code);

#endif
