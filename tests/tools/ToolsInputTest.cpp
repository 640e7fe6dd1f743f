// The parsers of qtx's input: the command line with the channel it selects, the framed answers
// of the diagnostic port and of VESK targets, and progress datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "QTXBinConfig.h"
#include "QTXProgressRecord.h"
#include "QTXTools.h"
#include "ToolsFrames.h"

using namespace kovetest;

namespace
{
CToolsChannel ChannelOf(const std::vector<const char*>& args, CToolsCommandLine& line)
{
    std::vector<const char*> argv{"qtx"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(SplitToolsCommandLine(static_cast<int>(argv.size()), argv.data(), line));
    return FindToolsChannel(line.sAction, line.sTarget);
}
} // namespace

TEST(ToolsCommandLine, TargetActionAndChannel)
{
    const struct
    {
        std::vector<const char*> args;
        const char* action;
        size_t params;
        ToolsChannelKind kind;
        const char* target;
        int port;
    } cases[] = {
        {{"XML", "request.xml"}, "XML", 1, TOOLS_CHANNEL_TCP, ":62000", 62000},
        {{"10.0.0.5", "XML", "r.xml"}, "XML", 1, TOOLS_CHANNEL_TCP, "10.0.0.5:62000", 62000},
        {{"10.0.0.5:62001", "xml", "r.xml"}, "xml", 1, TOOLS_CHANNEL_TCP, "10.0.0.5:62001", 62001},
        {{"recorddebug", "f"}, "recorddebug", 1, TOOLS_CHANNEL_UDP_SERVER, ":62099", 62099},
        {{":5000", "RecordDebug2", "f"},
         "RecordDebug2",
         1,
         TOOLS_CHANNEL_UDP_SERVER,
         ":5000",
         5000},
        {{"ShowProgress"}, "ShowProgress", 0, TOOLS_CHANNEL_UDP_SERVER, ":62098", 62098},
        {{"host:99999", "ShowProgress"},
         "ShowProgress",
         0,
         TOOLS_CHANNEL_UDP_SERVER,
         "host:99999",
         -1},
        {{":x", "ShowProgress"}, "ShowProgress", 0, TOOLS_CHANNEL_UDP_SERVER, ":x", -1},
        {{"UdpTemp", "100"}, "UdpTemp", 1, TOOLS_CHANNEL_UDP_SENSOR, "172.16.0.100:5010", 5010},
        {{"10.1.1.1", "UdpTemp", "100"},
         "UdpTemp",
         1,
         TOOLS_CHANNEL_UDP_SENSOR,
         "10.1.1.1:5010",
         5010},
        {{"DIAGData"}, "DIAGData", 0, TOOLS_CHANNEL_TCP, ":999", 999},
        {{"VeskFile", "f"}, "VeskFile", 1, TOOLS_CHANNEL_TCP, ":22012", 22012},
        {{"UDP", "61000", "f"}, "UDP", 2, TOOLS_CHANNEL_UDP, ":62000", 62000},
        {{"FloatToHex", "1.5"}, "FloatToHex", 1, TOOLS_CHANNEL_NONE, "", 0},
        {{"Read", "0", "4"}, "Read", 2, TOOLS_CHANNEL_NONE, "", 0},
        // An empty word opens nothing (it would be a prefix of every word).
        {{""}, "", 0, TOOLS_CHANNEL_NONE, "", 0},
    };
    for (const auto& c : cases)
    {
        CToolsCommandLine line;
        CToolsChannel channel = ChannelOf(c.args, line);
        SCOPED_TRACE(std::string(c.action) + " " + c.target);
        EXPECT_EQ(line.sAction, c.action);
        EXPECT_EQ(line.vsParams.size(), c.params);
        EXPECT_EQ(channel.eKind, c.kind);
        EXPECT_EQ(channel.sTarget, c.target);
        EXPECT_EQ(channel.iPort, c.port);
    }

    CToolsCommandLine line;
    const char* onlyTarget[] = {"qtx", "127.0.0.1:62000"};
    EXPECT_FALSE(SplitToolsCommandLine(2, onlyTarget, line));
}

TEST(ToolsFrames, HeadLengthsAreCheckedBeforeThePayloadIsRead)
{
    auto head = [](size_t bytes, size_t offset, int64_t length, bool wide)
    {
        std::vector<unsigned char> h(bytes, 0xAA);
        for (size_t i = 0; i < (wide ? 4u : 2u); ++i)
            h[offset + i] = static_cast<unsigned char>(static_cast<uint64_t>(length) >> (8 * i));
        return h;
    };
    const struct
    {
        const CToolsFrameFormat* format;
        int64_t length;
        bool valid;
        size_t payload;
    } cases[] = {
        {&tDiagFrame, 8, true, 0},
        {&tDiagFrame, 7, false, 0},
        {&tDiagFrame, 0, false, 0},
        {&tDiagFrame, 65535, true, 65527},
        {&tVeskCommandFrame, 0, true, 0},
        {&tVeskCommandFrame, -1, false, 0},
        {&tVeskCommandFrame, 65524, true, 65524},
        {&tVeskCommandFrame, 65525, false, 0},
        {&tVeskReplyFrame, 65520, true, 65520},
        {&tVeskReplyFrame, 65521, false, 0},
        {&tVeskReplyFrame, INT32_MIN, false, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.length);
        std::vector<unsigned char> h =
            head(c.format->uHeadBytes, c.format->uLengthOffset, c.length, !c.format->bLength16);
        size_t payload = 12345;
        EXPECT_EQ(FramePayloadLength(*c.format, h.data(), payload), c.valid);
        if (c.valid)
        {
            EXPECT_EQ(payload, c.payload);
        }
    }

    // A source that ends early gives a short frame; a bad head stops before its payload.
    std::vector<unsigned char> bytes = head(8, 4, 20, false);
    bytes.resize(15, 1);
    size_t position = 0;
    size_t reads = 0;
    auto source = [&](unsigned char* out, size_t count)
    {
        ++reads;
        size_t n = std::min(count, bytes.size() - position);
        std::memcpy(out, bytes.data() + position, n);
        position += n;
        return n;
    };
    std::vector<unsigned char> frame;
    EXPECT_EQ(ReadFrame(tDiagFrame, source, frame), TOOLS_FRAME_SHORT);
    EXPECT_EQ(frame.size(), 15u);
    bytes = head(8, 4, 4, false);
    bytes.resize(20, 1);
    position = 0;
    reads = 0;
    EXPECT_EQ(ReadFrame(tDiagFrame, source, frame), TOOLS_FRAME_BAD_LENGTH);
    EXPECT_EQ(reads, 1u);
}

TEST(ToolsProgressRecord, DecodesWhatTheSenderEncodesAndSkipsShortDatagrams)
{
    std::vector<uint8_t> record = EncodeProgressRecord("Writing flash", 2, 5, 0.25);
    QTXProgressRecord decoded;
    ASSERT_TRUE(DecodeProgressRecord(record.data(), record.size(), decoded));
    EXPECT_EQ(decoded.uLength, record.size());
    EXPECT_EQ(decoded.uCurrent, 2);
    EXPECT_EQ(decoded.uTotal, 5);
    EXPECT_FLOAT_EQ(decoded.fFraction, 0.25f);
    EXPECT_EQ(decoded.sText, "Writing flash");

    // Short or foreign datagrams are no records; a text without its zero ends with the datagram.
    for (size_t length : {0, 2, 5, 11})
        EXPECT_FALSE(DecodeProgressRecord(record.data(), length, decoded)) << length;
    const uint8_t foreign[12] = {'#', 'Q'};
    EXPECT_FALSE(DecodeProgressRecord(foreign, sizeof foreign, decoded));
    ASSERT_TRUE(DecodeProgressRecord(record.data(), 12 + 7, decoded));
    EXPECT_EQ(decoded.sText, "Writing");
    ASSERT_TRUE(DecodeProgressRecord(record.data(), 12, decoded));
    EXPECT_EQ(decoded.sText, "");
}

TEST(ToolsDevice, IsMadeOnceOnTheDevice)
{
    CSimDevice device;
    setenv("KOVE_SIM", device.Dir().c_str(), 1);
    PlatReloadSimulation();
    sDefaultDirectory = PlatPath(sQTXRootDirectory) + "Tools/";
    CTools* first = GetToolsDevice(false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetToolsDevice(false), first);
    EXPECT_TRUE(first->BPBRealHardwareAvailable());
    unsetenv("KOVE_SIM");
    PlatReloadSimulation();
}

namespace
{
// Runs QWCalib in a directory that holds the given "calibration.xml_cal" for `signals`
// signals; returns the written image (empty when none was written).
std::string Calibrate(const CTempDir& dir, int signals, bool ok)
{
    std::string xml = "<?xml version=\"1.0\"?>\n<CalibrationData><Signals Name=\"NoFilter\">";
    for (int s = 0; s < signals; ++s)
        xml += "<Signal Number=\"" + std::to_string(s) + "\"><Properties>" +
               "<Property Name=\"Offset\" Value=\"" + std::to_string(s - 3) + ".7\"/>" +
               "<Property Name=\"FactorPositive\" Value=\"1.5\"/>" +
               "<Property Name=\"FactorNegative\" Value=\"-0.25\"/></Properties></Signal>";
    xml += "</Signals></CalibrationData>\n";
    FILE* file = std::fopen((dir.Path() + "/calibration.xml_cal").c_str(), "w");
    std::fputs(xml.c_str(), file);
    std::fclose(file);

    char previous[4096];
    EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
    EXPECT_EQ(chdir(dir.Path().c_str()), 0);
    CQTXCommunication channel;
    CToolsCall call{channel, {"old.cal"}, "", "qtx", 0};
    EXPECT_EQ(QWCalib(call), ok);
    EXPECT_EQ(chdir(previous), 0);
    return ReadFile(dir.Path() + "/old.cal");
}
} // namespace

TEST(ToolsCalibration, OldImageHoldsEightCopiesOfEveryChannel)
{
    CTempDir dir;
    const std::string image = Calibrate(dir, 16, true);
    ASSERT_EQ(image.size(), 2048u);
    auto word = [&](int i)
    {
        return static_cast<int32_t>(
            QtxBinGetU32(reinterpret_cast<const unsigned char*>(&image[4 * i])));
    };
    for (int k = 0; k < 8; ++k)
        for (int s = 0; s < 16; ++s)
        {
            // Offsets are cut toward zero: 2.7 gives 2, -3.7 gives -3.
            EXPECT_EQ(word(16 * k + s), s - 3) << k << " " << s;
            EXPECT_EQ(word(256 + 16 * k + s), 1572864);
            EXPECT_EQ(word(384 + 16 * k + s), -262144);
        }
    for (int i = 128; i < 256; ++i)
        EXPECT_EQ(word(i), -1);

    // A channel missing: no image at all.
    CTempDir short15;
    EXPECT_EQ(Calibrate(short15, 15, false), "");
}
