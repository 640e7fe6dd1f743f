// The "ForDuf" description writer: its XML and binary output against expected documents,
// length changes in the buffer and in the file, and refused input.
#include "QTXGenerateForDuf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KoveTestSupport.h"
#include "QTXError.h"

namespace
{
std::string Expected(const char* name)
{
    return kovetest::ReadFile(std::string(KOVE_TEST_FOLDER) + "/expected/" + name);
}

void Put32(std::vector<unsigned char>& r, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        r[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A list record of the given kind (24-byte head, then the kind's part).
std::vector<unsigned char> ListRecord(uint8_t kind, uint8_t direction, uint16_t count,
                                      const char* name, size_t size)
{
    std::vector<unsigned char> r(size, 0);
    Put32(r, 0, static_cast<uint32_t>(size));
    r[4] = kind;
    r[5] = direction;
    r[6] = static_cast<unsigned char>(count);
    r[7] = static_cast<unsigned char>(count >> 8);
    memcpy(r.data() + 8, name, strlen(name));
    return r;
}

// Bus-master list: events 1, 2, 3, base 0x80000000, 0x20000000 per slot, one bus master with
// offset register 0x100 and two transfers.
std::vector<unsigned char> BusMasterList()
{
    std::vector<unsigned char> r = ListRecord(1, 0, 2, "AnalogIn", 36 + 8 + 2 * 12);
    r[24] = 1;
    r[25] = 2;
    r[26] = 3;
    r[27] = 1;
    Put32(r, 28, 0x80000000);
    Put32(r, 32, 0x20000000);
    Put32(r, 36, 0x100);
    Put32(r, 40, 2);
    Put32(r, 44, 0x80000010);
    Put32(r, 48, 0x1000);
    Put32(r, 52, 1234);
    Put32(r, 56, 16);
    Put32(r, 60, 32);
    Put32(r, 64, 8);
    return r;
}

std::vector<unsigned char> RangeList()
{
    std::vector<unsigned char> r = ListRecord(2, 1, 1, "DigitalOut", 36);
    r[24] = 5;
    r[25] = 6;
    Put32(r, 28, 0x400);
    Put32(r, 32, 64);
    return r;
}

void WriteExample(const std::string& path, bool xml)
{
    CQTXGenerateForDuf writer(path.c_str(), "Mod", xml);
    writer.AddSignalList(BusMasterList().data());
    writer.AddSignal(1, 0, 4, VraINT);
    writer.AddSignal(2, 4, 4, VraFLOAT);
    writer.AddSignalList(RangeList().data());
    writer.AddSignal(1, 0, 1, VraDigital);
    EXPECT_FALSE(writer.ChangeCopyLength(99, 0, 1)); // the first list's lengths are gone
    EXPECT_TRUE(writer.ChangeCopyLength(99, 0, 0));
}
} // namespace

TEST(QTXGenerateForDuf, XmlDocumentsAsExpected)
{
    kovetest::CTempDir dir;
    const std::string path = dir.Path() + "/ForDuf.xml";
    {
        CQTXGenerateForDuf writer(path.c_str(), "Empty", true);
    }
    EXPECT_EQ(Expected("ForDufEmpty.xml"), kovetest::ReadFile(path));
    WriteExample(path, true);
    EXPECT_EQ(Expected("ForDuf.xml"), kovetest::ReadFile(path));
}

TEST(QTXGenerateForDuf, BinaryDocumentAsExpected)
{
    kovetest::CTempDir dir;
    const std::string path = dir.Path() + "/ForDuf.bin";
    {
        CQTXGenerateForDuf writer(path.c_str(), "Empty", false);
    }
    const std::string empty = kovetest::ReadFile(path);
    ASSERT_EQ(16u, empty.size());
    EXPECT_EQ(0, memcmp(empty.data(), "<?bin\0\x01\x01\0\0\0\0\0\0\0\0", 16));

    WriteExample(path, false);
    std::vector<unsigned char> expected(16, 0);
    memcpy(expected.data(), "<?bin", 5);
    expected[6] = 0x01;
    expected[7] = 0x01;
    auto append = [&expected](const std::vector<unsigned char>& part)
    { expected.insert(expected.end(), part.begin(), part.end()); };
    append(BusMasterList());
    append({1, 0, 4, 0, 0, 0, 0, 0, VraINT, 0, 0, 0});
    append({2, 0, 4, 0, 4, 0, 0, 0, VraFLOAT, 0, 0, 0});
    std::vector<unsigned char> range = RangeList();
    Put32(range, 32, 99); // changed in place
    append(range);
    append({1, 0, 1, 0, 0, 0, 0, 0, VraDigital, 0, 0, 0});
    Put32(expected, 12, static_cast<uint32_t>(expected.size() - 16));
    EXPECT_EQ(std::string(expected.begin(), expected.end()), kovetest::ReadFile(path));
}

TEST(QTXGenerateForDuf, LengthsAlreadyInTheFileAreChangedThere)
{
    kovetest::CTempDir dir;
    for (bool xml : {true, false})
    {
        const std::string path = dir.Path() + (xml ? "/Long.xml" : "/Long.bin");
        {
            CQTXGenerateForDuf writer(path.c_str(), "Long", xml);
            writer.AddSignalList(BusMasterList().data());
            for (int i = 0; i < 2000; ++i) // far beyond the buffer
                writer.AddSignal(i, 4 * i, 4, VraDWORD);
            EXPECT_TRUE(writer.ChangeCopyLength(4321, 0, 1));
            EXPECT_FALSE(writer.ChangeCopyLength(4321, 1, 0));
            // Eight digits do not fit the seven written.
            EXPECT_EQ(!xml, writer.ChangeCopyLength(12345678, 0, 0));
        }
        const std::string text = kovetest::ReadFile(path);
        if (xml)
        {
            EXPECT_NE(std::string::npos, text.find("\"Bpbm0T1Length\" Value=\"0004321\" />"));
            EXPECT_NE(std::string::npos, text.find("\"Bpbm0T0Length\" Value=\"0001234\" />"));
            EXPECT_EQ(std::string::npos, text.find("\"Bpbm0T1Length\" Value=\"0000008\""));
            EXPECT_NE(std::string::npos, text.find("<Signal Number=\"1999\">"));
            EXPECT_EQ("</Module>\n", text.substr(text.size() - 10));
        }
        else
        {
            ASSERT_EQ(16u + 68 + 2000 * 12, text.size());
            EXPECT_EQ(4321, static_cast<unsigned char>(text[16 + 64]) |
                                static_cast<unsigned char>(text[16 + 65]) << 8);
            EXPECT_EQ(12345678u,
                      static_cast<uint32_t>(static_cast<unsigned char>(text[16 + 52]) |
                                            static_cast<unsigned char>(text[16 + 53]) << 8 |
                                            static_cast<unsigned char>(text[16 + 54]) << 16 |
                                            static_cast<unsigned char>(text[16 + 55]) << 24));
        }
    }
}

TEST(QTXGenerateForDuf, RefusedCallsAndConversions)
{
    kovetest::CTempDir dir;
    const std::string path = dir.Path() + "/ForDuf.xml";
    try
    {
        CQTXGenerateForDuf writer((dir.Path() + "/missing/x.xml").c_str(), "M", true);
        ADD_FAILURE();
    }
    catch (const CQTXError& e)
    {
        EXPECT_EQ("CanNotWriteFile", e.ErrorText());
        EXPECT_EQ(FatalError, e.ErrorSeverity());
    }
    {
        CQTXGenerateForDuf writer(path.c_str(), "Empty", true);
        EXPECT_THROW(writer.AddSignal(1, 0, 4, VraINT), CQTXError);
        // A record whose size does not hold its transfers is refused whole.
        std::vector<unsigned char> bad = BusMasterList();
        Put32(bad, 0, 60);
        EXPECT_THROW(writer.AddSignalList(bad.data()), CQTXError);
        std::vector<unsigned char> kind3 = ListRecord(3, 0, 1, "X", 24);
        EXPECT_THROW(writer.AddSignalList(kind3.data()), CQTXError);
    }
    EXPECT_EQ(Expected("ForDufEmpty.xml"), kovetest::ReadFile(path));

    EXPECT_EQ(VraFLOAT, VraOrigType2ForDufVraType(64 + 2));
    EXPECT_EQ(VraNone, VraOrigType2ForDufVraType(40));
    EXPECT_EQ(VraBYTE, VraOrigType2ForDufVraType(27));
    EXPECT_EQ(VraDOUBLE, VraOrigType2ForDufVraType(15));
    EXPECT_EQ(VraDWORD, VraOrigType2ForDufVraType(23));

    _GFDSignalListProperties list;
    _QTXBIN_GROUP group = {};
    group.type = 3;
    group.count = 7;
    ASSERT_TRUE(InitGFDSignalListProperties(&list, &group));
    EXPECT_STREQ("AnalogOut", reinterpret_cast<const char*>(list.head + 8));
    EXPECT_EQ(1, list.head[5]);
    EXPECT_EQ(7, list.head[6]);
    EXPECT_EQ(24, list.head[0]);
    group.type = 0x8002;
    EXPECT_FALSE(InitGFDSignalListProperties(&list, &group));
    EXPECT_EQ(0, list.head[8]);
}
