// The writer of the "ForDuf" module description, in its XML and binary forms.
#include "QTXGenerateForDuf.h"

#include <cstdlib>
#include <cstring>

#include "QTXError.h"
#include "QTXMessages.h"
#include "QTXReadForDuf.h"
#include "QTXXml.h"

namespace
{
constexpr size_t kBufferBytes = 16000;
constexpr size_t kFlushAbove = kBufferBytes / 2;
constexpr uint16_t kForDufTag = 0x101;
constexpr uint32_t kHeadBytes = 16;
constexpr uint32_t kLengthOffsetInHead = 12;
constexpr int kLengthDigits = 7;
constexpr uint32_t kSignalRecordBytes = 12;
constexpr uint32_t kKindPartBytes = 12; // events and base address, then offset per slot or length
constexpr uint32_t kBusMasterHeadBytes = 8;
constexpr uint32_t kTransferBytes = 12;
constexpr const char* kSchemaInstance = "http://www.w3.org/2001/XMLSchema-instance";

// The type of each signal type code 0..27 of a binary configuration.
const _VraType DufTypes[28] = {
    VraDigital, VraINT,    VraFLOAT, VraDWORD, VraBYTE,  VraWORD,  VraDINT,
    VraNone,    VraINT,    VraWORD,  VraDINT,  VraDWORD, VraFLOAT, VraDWORD,
    VraNone,    VraDOUBLE, VraINT,   VraNone,  VraNone,  VraNone,  VraNone,
    VraNone,    VraNone,   VraDWORD, VraNone,  VraNone,  VraNone,  VraBYTE,
};

std::string Decimal(uint32_t value)
{
    return std::to_string(value);
}
std::string Hex(uint32_t value)
{
    return IntToString(static_cast<int32_t>(value), 16, 8);
}
std::string Tabs(int count)
{
    return std::string(static_cast<size_t>(count), '\t');
}

std::string ListName(const unsigned char* record)
{
    const char* name = reinterpret_cast<const char*>(record + 8);
    return std::string(name, strnlen(name, 16));
}

// True when the record's size holds everything its kind and counts describe.
bool RecordConsistent(const unsigned char* record)
{
    return QTXForDufRecordConsistent(record, QtxBinGetU32(record));
}

CQTXError FatalUse()
{
    return CQTXError("InternalError", "Can not work due to previous fatal error", __FILE__,
                     __LINE__, FatalError);
}
} // namespace

CQTXGenerateForDuf::CQTXGenerateForDuf(const char* path, const char* moduleName, bool xml)
    : m_bXml(xml)
{
    m_pFile = path ? fopen(path, "wb") : nullptr;
    if (m_pFile == nullptr)
        throw CQTXError("CanNotWriteFile",
                        std::string("Can not write to file ") + (path ? path : ""), __FILE__,
                        __LINE__, FatalError);
    m_pBuffer = static_cast<char*>(malloc(kBufferBytes));
    if (m_pBuffer == nullptr)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
        throw CQTXError("NoRam", "No memory available", __FILE__, __LINE__, FatalError);
    }
    if (m_bXml)
    {
        Append(sXmlStart + "\n");
        Append("<Module Name=\"" +
               EscapeXmlValue(std::string(moduleName ? moduleName : "") + "_4Duf") +
               "\" Version=\"\" xmlns:xsi=\"" + kSchemaInstance + "\">\n");
    }
    else
    {
        unsigned char head[kHeadBytes];
        QtxBinSetInit_FIRST_HEAD(head, kForDufTag, 0);
        Append(head, sizeof head);
    }
}

CQTXGenerateForDuf::~CQTXGenerateForDuf()
{
    if (m_pBuffer != nullptr)
        Finish();
    free(m_pBuffer);
    if (m_pFile != nullptr)
        fclose(m_pFile);
}

void CQTXGenerateForDuf::Finish()
{
    if (m_bXml)
    {
        CloseList();
        Append("</Module>\n");
        FlushToFile();
        return;
    }
    FlushToFile();
    unsigned char length[4];
    QtxBinPutU32(length, static_cast<uint32_t>(m_iWritten - kHeadBytes));
    if (fseek(m_pFile, kLengthOffsetInHead, SEEK_SET) == 0)
        fwrite(length, sizeof length, 1, m_pFile);
    fseek(m_pFile, 0, SEEK_END);
}

void CQTXGenerateForDuf::CheckUsable() const
{
    if (m_pBuffer == nullptr || m_pFile == nullptr)
        throw FatalUse();
}

int CQTXGenerateForDuf::FlushToFile()
{
    if (m_pFile == nullptr || m_pBuffer == nullptr || m_uUsed == 0)
        return 0;
    const int items = static_cast<int>(fwrite(m_pBuffer, m_uUsed, 1, m_pFile));
    m_iWritten += static_cast<int64_t>(m_uUsed);
    m_uUsed = 0;
    return items;
}

// Into the buffer; what does not fit even into an empty buffer goes straight to the file.
void CQTXGenerateForDuf::Append(const void* data, size_t bytes)
{
    if (bytes > kBufferBytes - m_uUsed)
        FlushToFile();
    if (bytes > kBufferBytes - m_uUsed)
    {
        fwrite(data, bytes, 1, m_pFile);
        m_iWritten += static_cast<int64_t>(bytes);
        return;
    }
    memcpy(m_pBuffer + m_uUsed, data, bytes);
    m_uUsed += bytes;
}

void CQTXGenerateForDuf::FlushIfHalfFull()
{
    if (m_uUsed > kFlushAbove)
        FlushToFile();
}

void CQTXGenerateForDuf::CloseList()
{
    if (m_bXml && m_bListOpen)
        Append("\t</Signals>\n");
    m_bListOpen = false;
}

void CQTXGenerateForDuf::WriteProperty(int tabs, const std::string& name, const std::string& value)
{
    Append(Tabs(tabs) + "<Property Name=\"" + name + "\" Value=\"" + value + "\" />\n");
}

void CQTXGenerateForDuf::AddSignalList(const _GFDSignalListProperties* list)
{
    AddSignalList(list ? list->head : nullptr);
}

void CQTXGenerateForDuf::AddSignalList(const unsigned char* record)
{
    CheckUsable();
    if (record == nullptr || !RecordConsistent(record))
        throw CQTXEParameterError("IllegalArguments",
                                  "Signal list description does not hold what it describes",
                                  __FILE__, __LINE__);
    FlushIfHalfFull();
    CloseList();
    m_vLengths.clear();
    m_bListOpen = true;
    if (m_bXml)
    {
        WriteListXml(record);
        return;
    }
    const int64_t start = Position();
    const uint32_t size = QtxBinGetU32(record);
    if (record[4] == kGFDKindRange)
        m_vLengths.push_back({0, 0, 4, static_cast<int>(start + 32)});
    else if (record[4] == kGFDKindBusMaster)
    {
        uint32_t at = kGFDHeadBytes + kKindPartBytes;
        for (int i = 0; i < record[27]; ++i)
        {
            const uint32_t transfers = QtxBinGetU32(record + at + 4);
            at += kBusMasterHeadBytes;
            for (uint32_t j = 0; j < transfers; ++j, at += kTransferBytes)
                m_vLengths.push_back({i, static_cast<int>(j), 4, static_cast<int>(start + at + 8)});
        }
    }
    Append(record, size);
}

void CQTXGenerateForDuf::WriteListXml(const unsigned char* record)
{
    const std::string count = Decimal(QtxBinGetU16(record + 6));
    std::string text = "\t<Signals Name=\"" + EscapeXmlValue(ListName(record)) + "\">\n" +
                       "\t\t<NumberOfSignals>\n";
    for (const char* tag : {"Min", "Max", "Default", "Value"})
        text += std::string("\t\t\t<") + tag + ">" + count + "</" + tag + ">\n";
    text += "\t\t</NumberOfSignals>\n\t\t<Properties>\n";
    Append(text);
    WriteProperty(3, "Direction", record[5] ? "Output" : "Input");

    // A length value: its digits' position is kept for ChangeCopyLength.
    auto writeLength = [this](const std::string& name, uint32_t length, int i, int j)
    {
        const std::string digits = IntToString(static_cast<int32_t>(length), 10, kLengthDigits);
        const std::string before = "\t\t\t<Property Name=\"" + name + "\" Value=\"";
        m_vLengths.push_back({i, j, static_cast<int>(digits.size()),
                              static_cast<int>(Position() + static_cast<int64_t>(before.size()))});
        Append(before + digits + "\" />\n");
    };

    if (record[4] == kGFDKindBusMaster)
    {
        WriteProperty(3, "BaseAddress", Hex(QtxBinGetU32(record + 28)));
        WriteProperty(3, "OffsetPerSlot", Hex(QtxBinGetU32(record + 32)));
        WriteProperty(3, "GlobalEvent", Decimal(record[24]));
        WriteProperty(3, "SystemEvent", Decimal(record[25]));
        WriteProperty(3, "ModuleEvent", Decimal(record[26]));
        WriteProperty(3, "NumberOfBpbm", Decimal(record[27]));
        uint32_t at = kGFDHeadBytes + kKindPartBytes;
        for (int i = 0; i < record[27]; ++i)
        {
            const std::string bpbm = "Bpbm" + std::to_string(i);
            const uint32_t transfers = QtxBinGetU32(record + at + 4);
            WriteProperty(3, bpbm + "OffsetRegister", Hex(QtxBinGetU32(record + at)));
            WriteProperty(3, bpbm + "NumberOfTransfers", Decimal(transfers));
            at += kBusMasterHeadBytes;
            for (uint32_t j = 0; j < transfers; ++j, at += kTransferBytes)
            {
                const std::string t = bpbm + "T" + std::to_string(j);
                WriteProperty(3, t + "SourceAddress", Decimal(QtxBinGetU32(record + at)));
                WriteProperty(3, t + "DestinationAddress", Decimal(QtxBinGetU32(record + at + 4)));
                writeLength(t + "Length", QtxBinGetU32(record + at + 8), i, static_cast<int>(j));
            }
        }
    }
    else if (record[4] == kGFDKindRange)
    {
        WriteProperty(3, "BaseAddress", Hex(QtxBinGetU32(record + 28)));
        WriteProperty(3, "GlobalEvent", Decimal(record[24]));
        WriteProperty(3, "SystemEvent", Decimal(record[25]));
        writeLength("Length", QtxBinGetU32(record + 32), 0, 0);
    }
    Append("\t\t</Properties>\n");
}

void CQTXGenerateForDuf::AddSignal(int number, int offset, int length, _VraType type)
{
    CheckUsable();
    if (!m_bListOpen)
        throw CQTXError("InternalError",
                        "No signal list defined while signal should be added to ForDuf", __FILE__,
                        __LINE__, Error);
    FlushIfHalfFull();
    if (m_bXml)
    {
        Append("\t\t<Signal Number=\"" + std::to_string(number) + "\">\n\t\t\t<Properties>\n");
        WriteProperty(4, "Length", std::to_string(length));
        WriteProperty(4, "Offset", std::to_string(offset));
        WriteProperty(4, "VraType", ItemIntToString(aVraTypeItems, type));
        Append("\t\t\t</Properties>\n\t\t</Signal>\n");
        return;
    }
    unsigned char rec[kSignalRecordBytes] = {};
    QtxBinPutU16(rec, static_cast<uint16_t>(number));
    QtxBinPutU16(rec + 2, static_cast<uint16_t>(length));
    QtxBinPutU32(rec + 4, static_cast<uint32_t>(offset));
    rec[8] = static_cast<unsigned char>(type);
    Append(rec, sizeof rec);
}

bool CQTXGenerateForDuf::ChangeCopyLength(int newLength, int bpbmIndex, int transferIndex)
{
    if (m_pFile == nullptr || m_pBuffer == nullptr)
        return false;
    const _GFDILengthPos* entry = nullptr;
    for (const _GFDILengthPos& pos : m_vLengths)
        if (pos.bpbmIndex == bpbmIndex && pos.transferIndex == transferIndex)
        {
            entry = &pos;
            break;
        }
    if (entry == nullptr || entry->position < 1)
        return false;

    std::string value;
    if (m_bXml)
    {
        // Only a value of the digits written fits in place.
        value = IntToString(newLength, 10, entry->width);
        if (newLength < 0 || static_cast<int>(value.size()) != entry->width)
            return false;
    }
    else
    {
        unsigned char word[4];
        QtxBinPutU32(word, static_cast<uint32_t>(newLength));
        value.assign(reinterpret_cast<char*>(word), sizeof word);
    }

    if (entry->position >= m_iWritten)
    {
        memcpy(m_pBuffer + (entry->position - m_iWritten), value.data(), value.size());
        return true;
    }
    bool ok = fseek(m_pFile, entry->position, SEEK_SET) == 0 &&
              fwrite(value.data(), value.size(), 1, m_pFile) == 1;
    ok = fseek(m_pFile, 0, SEEK_END) == 0 && ok;
    return ok;
}

bool InitGFDSignalListProperties(_GFDSignalListProperties* list, const _QTXBIN_GROUP* group)
{
    if (list == nullptr || group == nullptr)
        return false;
    unsigned char* r = list->head;
    memset(r, 0, kGFDHeadBytes);
    QtxBinPutU32(r, kGFDHeadBytes);
    r[4] = kGFDKindPlain;
    QtxBinPutU16(r + 6, group->count);
    const char* name = nullptr;
    unsigned char direction = 0;
    switch (group->type)
    {
    case 2:
        name = "AnalogIn";
        break;
    case 3:
        name = "AnalogOut";
        direction = 1;
        break;
    case 4:
        name = "DigitalIn";
        break;
    case 5:
        name = "DigitalOut";
        direction = 1;
        break;
    default:
        return false;
    }
    r[5] = direction;
    memcpy(r + 8, name, strlen(name));
    return true;
}

_VraType VraOrigType2ForDufVraType(unsigned char code)
{
    const unsigned index = code & 63u;
    return index < sizeof DufTypes / sizeof DufTypes[0] ? DufTypes[index] : VraNone;
}
