// The file tools of qtx: a record cut out of a flash image and a record head put in front of a
// file (the flash-record format of QTXFlashRecord.h), calibration data converted to the old
// binary image, the structure of a binary command file shown, a stress test of the shell call,
// and the places of the monitoring actions this platform does not offer.
#include "QTXTools.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "ModuleMemory.h"
#include "QTXBinConfig.h"
#include "QTXConvert.h"
#include "QTXFlashRecord.h"
#include "QTXShell.h"
#include "QTXXml.h"

namespace
{
// Size of an open file; -1 when it cannot be told.
int64_t FileSize(FILE* file)
{
    off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0)
        return -1;
    off_t size = ftello(file);
    if (fseeko(file, here, SEEK_SET) != 0)
        return -1;
    return size;
}

struct CFileCloser
{
    FILE* pFile;
    ~CFileCloser()
    {
        if (pFile != nullptr)
            std::fclose(pFile);
    }
};
} // namespace

// ---- Flash records

bool ExtractFile(CToolsCall& call)
{
    const std::string& id = call.Param(0);
    FILE* input = OpenToolFile(call.Param(1), "rb");
    if (input == nullptr)
        return false;
    CFileCloser closeInput{input};
    const int64_t size = FileSize(input);
    if (size < 0)
    {
        ToolError("ERROR: Can not read header!\n");
        return false;
    }

    bool found = false;
    QTXFlashRecordHead head;
    int64_t position = 0;
    while (position < size)
    {
        unsigned char bytes[QTX_FLASH_RECORD_HEAD_BYTES];
        if (std::fread(bytes, 1, sizeof bytes, input) != sizeof bytes)
        {
            ToolError("ERROR: Can not read header!\n");
            return false;
        }
        position += sizeof bytes;
        // An erased or foreign area ends the records.
        if (bytes[0] < 0x20 || bytes[0] > 0x7E || bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0)
            break;
        head = DecodeFlashRecordHead(bytes);
        std::printf("Found ID \"%s\"\n", head.acTag);
        if (SameString(head.acTag, id))
        {
            found = true;
            break;
        }
        position += head.uLength;
        if (position < size && fseeko(input, static_cast<off_t>(position), SEEK_SET) != 0)
            break;
    }
    if (!found)
    {
        ToolError("ERROR: Header \"%s\" not found!\n", id.c_str());
        return false;
    }
    // The head's length is taken only as far as the file holds data.
    if (static_cast<int64_t>(head.uLength) > size - position)
    {
        ToolError("ERROR: Can not read file content\n");
        return false;
    }
    std::vector<unsigned char> data;
    try
    {
        data.resize(head.uLength);
    }
    catch (const std::bad_alloc&)
    {
        ToolError("ERROR: Can not allocate buffer\n");
        return false;
    }
    FILE* output = OpenToolFile(call.Param(2), "wb");
    if (output == nullptr)
        return false;
    CFileCloser closeOutput{output};
    if (std::fread(data.data(), 1, data.size(), input) != data.size())
    {
        ToolError("ERROR: Can not read file content\n");
        return false;
    }
    if (std::fwrite(data.data(), 1, data.size(), output) != data.size() || std::fflush(output) != 0)
    {
        ToolError("ERROR: Can not store file\n");
        return false;
    }
    std::printf("Stored %d bytes in file %s\n", static_cast<int>(data.size()),
                call.Param(2).c_str());
    return true;
}

bool Add12BHeader(CToolsCall& call)
{
    FILE* input = OpenToolFile(call.Param(1), "rb");
    if (input == nullptr)
        return false;
    CFileCloser closeInput{input};
    const int64_t size = FileSize(input);
    // The head's length field has 32 bits.
    if (size <= 0 || size > static_cast<int64_t>(UINT32_MAX))
    {
        ToolError("ERROR: Empty input file or error detecting the file size\n");
        return false;
    }
    unsigned char head[QTX_FLASH_RECORD_HEAD_BYTES];
    EncodeFlashRecordHead(call.Param(0).c_str(), static_cast<uint32_t>(size), head);
    std::vector<unsigned char> data;
    try
    {
        data.resize(static_cast<size_t>(size));
    }
    catch (const std::bad_alloc&)
    {
        ToolError("ERROR: Can not allocate buffer\n");
        return false;
    }
    // The whole input is read before the output is opened, so the two may be one file.
    bool copied = std::fread(data.data(), 1, data.size(), input) == data.size();
    if (copied)
    {
        FILE* output = OpenToolFile(call.Param(2), "wb");
        if (output == nullptr)
            return false;
        copied = std::fwrite(head, 1, sizeof head, output) == sizeof head &&
                 std::fwrite(data.data(), 1, data.size(), output) == data.size();
        copied = std::fclose(output) == 0 && copied;
    }
    if (!copied)
        ToolError("Error during copy from input to output file\n");
    return copied;
}

// ---- Calibration data

namespace
{
constexpr int kCalibrationChannels = 16;
constexpr int kCalibrationCopies = 8;
constexpr int kCalibrationWords = 512;

// value truncated toward zero into 32 bits; values beyond the range take its ends.
int32_t ToCalibrationWord(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483647.0)
        return INT32_MAX;
    if (value <= -2147483648.0)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool ReadCalibrationValue(CQTXXml& xml, const char* name, double& value)
{
    if (!xml.SelectPropertyByName(name, false))
        return false;
    std::string text = xml.GetStringProperty();
    if (text.empty())
        return false;
    value = StringToFloat(text);
    return true;
}
} // namespace

bool QWCalib(CToolsCall& call)
{
    CQTXXml xml;
    if (!xml.LoadFile("calibration.xml_cal", "CalibrationData") ||
        xml.SelectSignalListByName("", "NoFilter", false) < 0)
    {
        ToolError("ERROR: Can not read \"calibration.xml_cal\"\n");
        return false;
    }
    std::vector<int32_t> words(kCalibrationWords, -1);
    for (int s = 0; s < kCalibrationChannels; ++s)
    {
        double offset = 0, positive = 0, negative = 0;
        try
        {
            xml.SelectSignalByNumber(s, false);
        }
        catch (const CQTXError&)
        {
            ToolError("ERROR: Signal %d missing in \"calibration.xml_cal\"\n", s);
            return false;
        }
        if (!ReadCalibrationValue(xml, "Offset", offset) ||
            !ReadCalibrationValue(xml, "FactorPositive", positive) ||
            !ReadCalibrationValue(xml, "FactorNegative", negative))
        {
            ToolError("ERROR: Calibration of signal %d incomplete in \"calibration.xml_cal\"\n", s);
            return false;
        }
        for (int k = 0; k < kCalibrationCopies; ++k)
        {
            words[16 * k + s] = ToCalibrationWord(offset);
            words[256 + 16 * k + s] = ToCalibrationWord(positive * 1048576.0);
            words[384 + 16 * k + s] = ToCalibrationWord(negative * 1048576.0);
        }
    }
    std::vector<unsigned char> image(kCalibrationWords * 4);
    for (int i = 0; i < kCalibrationWords; ++i)
        QtxBinPutU32(&image[4 * i], static_cast<uint32_t>(words[i]));
    FILE* output = OpenToolFile(call.Param(0), "wb");
    if (output == nullptr)
        return false;
    bool written = std::fwrite(image.data(), 1, image.size(), output) == image.size();
    written = std::fclose(output) == 0 && written;
    if (!written)
        ToolError("ERROR while writing data\n");
    return written;
}

// ---- Binary command files

namespace
{
char Shown(unsigned char c)
{
    return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
}
} // namespace

bool DumpBinCommand(const unsigned char* data, size_t length)
{
    if (length < QTXBIN_FIRST_HEAD_SIZE)
    {
        ToolError("File too short \n");
        return false;
    }
    if (std::memcmp(data, "<?bin", 5) != 0)
    {
        ToolError("Unknown file identification, expected \"<?bin\"\n");
        return false;
    }
    const uint16_t tag = QtxBinGetU16(data + 6);
    const int16_t status = QtxBinGetI16(data + 8);
    const uint32_t payload = QtxBinGetU32(data + 12);
    if (static_cast<uint64_t>(payload) + QTXBIN_FIRST_HEAD_SIZE != length)
    {
        ToolError("File length (%d bytes) does not match length states in header (%d + %d bytes)\n",
                  static_cast<int>(length), static_cast<int>(payload),
                  static_cast<int>(QTXBIN_FIRST_HEAD_SIZE));
        return false;
    }
    std::printf("Header: Tag=%d(%s), Status=%d, CmdLen=%d, CmdOffset=0x%04X\n", tag & 0x7FFF,
                (tag & 0x8000) ? "Answer" : "Cmd", status, static_cast<int>(payload),
                static_cast<unsigned>(QTXBIN_FIRST_HEAD_SIZE));

    bool result = true;
    if ((tag & 0x7FFF) == QTXBIN_TAG_CONFIGURATION)
    {
        if (length < QTXBIN_IMAGE_HEAD_SIZE)
        {
            ToolError("Can not read configuration header\n");
            result = false;
        }
        else
        {
            const unsigned char* config = data + QTXBIN_FIRST_HEAD_SIZE;
            std::printf("  Configuration: V%d.%d, Type=%d, Flags=0x%08X, FWVersion=0x%08X, "
                        "Status=%d\n",
                        config[0], config[1], QtxBinGetU16(config + 2), QtxBinGetU32(config + 4),
                        QtxBinGetU32(config + QTXBIN_CFG_VERSION_OFFSET),
                        QtxBinGetI16(config + QTXBIN_CFG_CHECK_RESULT_OFFSET));
            uint64_t offset = QTXBIN_IMAGE_HEAD_SIZE;
            for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
            {
                _QTXBIN_GROUP group;
                QtxBinReadGroup(config + QTXBIN_CFG_GROUPS_OFFSET + QTXBIN_GROUP_SIZE * i, &group);
                if (group.size == 0)
                {
                    if (group.type != 0)
                        std::printf("    Group %02u [<empty>]: Type=%d, #=%d/len=0x%04X/no Off, "
                                    "processed=%d\n",
                                    i, group.type, group.count, group.entrySize, group.status);
                    continue;
                }
                char label[5] = {'E', 'R', 'R', ' ', 0};
                std::string name = "FileError";
                if (offset + QTXBIN_GROUP_HEAD_SIZE <= length)
                {
                    const unsigned char* groupHead = data + offset;
                    for (int c = 0; c < 4; ++c)
                        label[c] = Shown(groupHead[c]);
                    name.clear();
                    for (uint32_t c = 4; c < QTXBIN_GROUP_HEAD_SIZE && groupHead[c] != 0; ++c)
                        name += Shown(groupHead[c]);
                }
                const bool fits =
                    static_cast<uint64_t>(group.size) >=
                    static_cast<uint64_t>(group.entrySize) * group.count + QTXBIN_GROUP_HEAD_SIZE;
                std::printf("    Group %02u [%c%c%c%c/%s]: Type=%d, #=%d/len=0x%04X/Off=0x%08X, "
                            "processed=%d, %s\n",
                            i, label[0], label[1], label[2], label[3], name.c_str(), group.type,
                            group.count, group.entrySize,
                            static_cast<unsigned>(offset + QTXBIN_GROUP_HEAD_SIZE), group.status,
                            fits ? "len OK" : "Error: Legnth mismatch");
                offset += group.size;
            }
        }
    }
    std::printf("\n ");
    return result;
}

bool CheckBinCmd(const std::string& fileName)
{
    FILE* file = OpenToolFile(fileName, "rb");
    if (file == nullptr)
        return false;
    std::fclose(file);
    std::string content;
    bool complete = false;
    if (!CQTXCommandFile::ReadWholeFile(fileName.c_str(), content, &complete) || !complete)
    {
        ToolError("File too short \n");
        return false;
    }
    return DumpBinCommand(reinterpret_cast<const unsigned char*>(content.data()), content.size());
}

bool CheckBinCmdAction(CToolsCall& call)
{
    return CheckBinCmd(call.Param(0));
}

// ---- Process tests

bool SystemCall(CToolsCall& call)
{
    const int outer = StringToInt(call.Param(0));
    const int inner = StringToInt(call.Param(1));
    const std::string& command = call.Param(2);
    const int slot = StringToInt(call.Param(3));
    int eepromErrors = 0;
    int commandErrors = 0;
    for (int i = 0; i < outer; ++i)
    {
        if (slot >= 0)
        {
            unsigned char eeprom[512];
            if (EepromRead(eeprom, sizeof eeprom, 0, slot, 1000, false))
                std::printf("\nEEPROM_OK ");
            else
            {
                std::printf("\nEEPROM_ERROR ");
                ++eepromErrors;
            }
        }
        for (int j = 0; j < inner; ++j)
        {
            std::printf(" [%d:%d]", i, j);
            std::fflush(stdout);
            // The technician's own command line, run as given.
            if (ExecuteShellCommand(command, true, nullptr) < 0)
            {
                std::printf("CommandErrorReported! ");
                ++commandErrors;
            }
        }
    }
    std::printf("Error statistic: EEPROM read had %d errors in %d loops, system() call had %d "
                "errors in %d calls\n",
                eepromErrors, outer, commandErrors, outer * inner);
    return eepromErrors == 0 && commandErrors == 0;
}

bool RecordMemoryUsage(CToolsCall& /*call*/)
{
    ToolError("ERROR: RecordMemoryUsage is currently only available for windows CE\n");
    return false;
}

bool RecordProcessLoad(CToolsCall& /*call*/)
{
    ToolError("ERROR: RecordProcessLoad is currently only available for windows CE\n");
    return false;
}

bool SWTest(CToolsCall& /*call*/)
{
    return true;
}
