// The network actions of qtx: a command file sent to a driver and its reply stored and shown,
// progress and debug datagrams received, diagnostic frames sent to the PROFINET sniffer's port
// 999, command frames sent to a VESK target, and temperature datagrams sent to the acquisition
// software. The dispatcher opened the channel each action uses and closes it afterwards.
#include "QTXTools.h"

#include <cstring>
#include <ctime>

#include "QTXConvert.h"
#include "QTXProgressRecord.h"
#include "ToolsFrames.h"

namespace
{
// Longest wait for the reply of a command file: a driver may work for a while on a request.
constexpr int kReplyTimeoutMs = 120000;
constexpr int kProgressDatagramBytes = 256;
constexpr int kDebugDatagramBytes = 10000;
constexpr size_t kPrintPiece = 2048;

// Copies a file to standard output; false when it cannot be opened.
bool PrintFile(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char piece[kPrintPiece];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, file)) > 0)
        std::fwrite(piece, 1, n, stdout);
    std::fclose(file);
    std::printf("  \n*** EndOfFile ***\n\n");
    std::fflush(stdout);
    return true;
}

// True when an XML reply reports an error: an Error entry in the Errors element of its root.
// Warnings and notes are no errors; a reply that cannot be read tells nothing.
bool XmlReplyHasError(const std::string& path, const std::string& rootName)
{
    CQTXXml reply;
    if (!reply.LoadFile(path.c_str(), rootName.c_str()))
        return false;
    XMLNode errors = reply.GetXMLNodeRoot().getChildNode("Errors");
    return !errors.isEmpty() && errors.nChildNode("Error") > 0;
}

// Reads from the channel for the frame reader: as many of count bytes as arrive in time.
size_t ReceiveForFrame(CQTXCommunication& channel, unsigned char* buffer, size_t count)
{
    size_t got = 0;
    while (got < count)
    {
        int n = channel.ReceiveBuffer(buffer + got, static_cast<int>(count - got), true);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool WriteReplyFile(const std::string& path, const std::vector<unsigned char>& frame)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
    {
        ToolError("Can't write to file \"%s\"\n", path.c_str());
        return false;
    }
    bool written = std::fwrite(frame.data(), 1, frame.size(), file) == frame.size();
    if (std::fclose(file) != 0 || !written)
    {
        ToolError("Can't write to file \"%s\"\n", path.c_str());
        return false;
    }
    return true;
}

// One framed exchange: the request frame read from the file, sent, and the answer received.
// The answer's head is checked before its payload is read.
bool ExchangeFrame(CToolsCall& call, const CToolsFrameFormat& requestFormat,
                   const CToolsFrameFormat& replyFormat, std::vector<unsigned char>& reply)
{
    FILE* input = OpenToolFile(call.Param(0), "rb");
    if (input == nullptr)
        return false;
    std::printf("Writing command to target ... ");
    std::vector<unsigned char> request;
    ToolsFrameResult read = ReadFrame(
        requestFormat,
        [input](unsigned char* buffer, size_t count)
        { return std::fread(buffer, 1, count, input); },
        request);
    std::fclose(input);
    if (read != TOOLS_FRAME_OK)
    {
        ToolError("ERROR: Input file corrupt or too long (more than 64 kByte)\n");
        return false;
    }
    if (!call.tChannel.SendBuffer(request.data(), static_cast<int>(request.size())))
    {
        ToolError("ERROR: Can not send file to target!\n");
        return false;
    }
    std::printf("Waiting for the answer ...\n");
    std::fflush(stdout);
    read = ReadFrame(
        replyFormat,
        [&call](unsigned char* buffer, size_t count)
        { return ReceiveForFrame(call.tChannel, buffer, count); },
        reply);
    if (read == TOOLS_FRAME_BAD_LENGTH)
    {
        ToolError("ERROR: Answer of the target has a wrong length\n");
        return false;
    }
    if (read != TOOLS_FRAME_OK)
    {
        ToolError("ERROR: Answer of the target incomplete (%d bytes)\n",
                  static_cast<int>(reply.size()));
        return false;
    }
    return true;
}
} // namespace

bool SendXmlFile(CToolsCall& call)
{
    const std::string& file = call.Param(0);
    const bool binary = CQTXCommandFile::GetFileType(file.c_str()) == QTX_FILE_TYPE_BINARY;
    const bool statusText = call.iMode == 1 && !binary;
    std::printf("Send %s (%s)\n", file.c_str(), binary ? "bin" : "xml");
    std::fflush(stdout);
    // An empty name would send nothing and wait for a reply that never comes.
    if (file.empty() || !call.tChannel.SendFile(file, !binary))
    {
        ToolError("ERROR while trying to send \"%s\"\n", file.c_str());
        return false;
    }
    if (statusText)
    {
        // The status text ends with a tab; the document follows it.
        char c;
        while (call.tChannel.ReceiveBuffer(&c, 1, true) == 1)
        {
            std::putchar(c);
            if (c == '\n')
                std::fflush(stdout);
            if (c == '\t')
                break;
        }
        std::printf("\n");
    }
    std::printf("Send is Ready. Waiting for the answer ...\n");
    std::fflush(stdout);
    call.tChannel.SetTimeout(kReplyTimeoutMs, 50);
    const std::string replyFile = file + ".reply";
    std::string rootName;
    uint16_t binaryTag = 0;
    if (!call.tChannel.ReceiveDocument(replyFile, 0, rootName, binaryTag))
    {
        ToolError("ERROR while receiving reply\n");
        return false;
    }
    if (binaryTag != 0 || CQTXCommandFile::GetFileType(replyFile.c_str()) == QTX_FILE_TYPE_BINARY)
    {
        const uint32_t code = (binaryTag & 0x7FFFu) | 0x80000000u;
        std::printf("\nReceive File: [%s] is binary, Tag %d (complete: 0x%04X)\n\n",
                    replyFile.c_str(), static_cast<int>(code & 0x7FFF), code);
        if (!CheckBinCmd(replyFile))
            return false;
        std::string content;
        CQTXCommandFile::ReadWholeFile(replyFile.c_str(), content);
        const int16_t status =
            content.size() >= 10
                ? QtxBinGetI16(reinterpret_cast<const unsigned char*>(content.data()) + 8)
                : 0;
        if (status < 0)
        {
            ToolError("ERROR: The reply carries the error %d\n", status);
            return false;
        }
        return true;
    }
    if (!PrintFile(replyFile))
    {
        ToolError("ERROR while receiving reply\n");
        return false;
    }
    if (XmlReplyHasError(replyFile, rootName))
    {
        ToolError("ERROR: The reply carries an error\n");
        return false;
    }
    return true;
}

bool ShowProgress(CToolsCall& call)
{
    unsigned char datagram[kProgressDatagramBytes];
    for (;;)
    {
        int n = call.tChannel.ReceiveBuffer(datagram, sizeof datagram, true);
        QTXProgressRecord record;
        // A datagram too short for the head of a record is no record.
        if (n <= 0 || !DecodeProgressRecord(datagram, static_cast<size_t>(n), record))
        {
            std::putchar('.');
            std::fflush(stdout);
            continue;
        }
        std::printf("Part %d of %d, %5.1lf %%: %s\n", record.uCurrent, record.uTotal,
                    static_cast<double>(record.fFraction) * 100.0, record.sText.c_str());
        std::fflush(stdout);
        if (record.uCurrent == record.uTotal && record.fFraction >= 1.0f)
            return true;
    }
}

bool SendUdpFile(CToolsCall& call)
{
    const int32_t answerPort = StringToInt(call.Param(0));
    const std::string& file = call.Param(1);
    CQTXCommunication answer;
    if (answerPort < 1 || answerPort > 65535 || !answer.OpenServerSocket(answerPort, true))
    {
        ToolError("ERROR: Can not setup server socket for answer\n");
        return false;
    }
    if (file.empty() || !call.tChannel.SendFile(file, false))
    {
        ToolError("ERROR while trying to send \"%s\"\n", file.c_str());
        return false;
    }
    std::printf("File \"%s\" sent, listening on port %d for reply\n", file.c_str(), answerPort);
    std::fflush(stdout);
    const std::string replyFile = file + ".reply";
    std::string rootName;
    uint16_t binaryTag = 0;
    // The peer gets the socket's timeout to connect; a peer that never does is no reason to
    // wait for ever.
    bool received =
        SocketSelect(answer.GetServerSocket(), answer.GetTimeout(), QTX_SELECT_READ) > 0 &&
        answer.WaitForConnection() && answer.ReceiveDocument(replyFile, 0, rootName, binaryTag);
    answer.Close();
    answer.CloseServerSocket();
    if (!received || !PrintFile(replyFile))
    {
        ToolError("ERROR while receiving reply\n");
        return false;
    }
    return true;
}

bool SendDiagFile(CToolsCall& call)
{
    std::vector<unsigned char> reply;
    if (!ExchangeFrame(call, tDiagFrame, tDiagFrame, reply))
        return false;
    bool written = WriteReplyFile(call.Param(0) + "_reply", reply);
    call.tChannel.Close();
    return written;
}

bool SendVeskFile(CToolsCall& call)
{
    std::vector<unsigned char> reply;
    if (!ExchangeFrame(call, tVeskCommandFrame, tVeskReplyFrame, reply))
        return false;
    const int32_t result = FrameI32(reply, TOOLS_VESK_RESULT_OFFSET);
    bool ok = true;
    if (result < 1)
    {
        ToolError("Command replied error code %d\n", result);
        ok = false;
    }
    if (!WriteReplyFile(call.Param(0) + "_reply", reply))
        ok = false;
    call.tChannel.Close();
    return ok;
}

bool RecordDebug(CToolsCall& call)
{
    FILE* file = OpenToolFile(call.Param(0), "w");
    if (file == nullptr)
        return false;
    std::fflush(stdout);
    std::vector<char> datagram(kDebugDatagramBytes + 1);
    for (;;)
    {
        int n = call.tChannel.ReceiveBuffer(datagram.data(), kDebugDatagramBytes, true);
        if (n <= 0)
            continue;
        datagram[n] = '\n';
        std::fwrite(datagram.data(), 1, static_cast<size_t>(n) + 1, file);
        std::fflush(file);
        if (call.iMode == 1)
            std::putchar('.');
        else if (call.iMode == 2)
            std::fwrite(datagram.data(), 1, static_cast<size_t>(n) + 1, stdout);
        std::fflush(stdout);
    }
}

bool UdpTemp(CToolsCall& call)
{
    constexpr int kSources = 5;
    const int interval = StringToInt(call.Param(0));
    int16_t values[kSources];
    bool valid[kSources];
    bool any = false;
    for (int source = 0; source < kSources; ++source)
    {
        values[source] = -32768;
        valid[source] = GetTemperature(source, false) > -274.0;
        any = any || valid[source];
    }
    if (!any)
    {
        ToolError("No valid temperature sources found\n");
        return false;
    }
    std::printf("Recording temperature via UDP each %d ms):\n", interval);
    for (int source = 0; source < kSources; ++source)
        if (valid[source])
            std::printf("  Offset 0x%02X = module %d \n", 2 * source, source);
    std::printf("Transmission started ...\n");
    std::fflush(stdout);
    for (;;)
    {
        unsigned char datagram[2 * kSources];
        for (int source = 0; source < kSources; ++source)
        {
            if (valid[source])
            {
                double tenths = GetTemperature(source, true) * 10.0;
                if (tenths < -32768.0)
                    tenths = -32768.0;
                if (tenths > 32767.0)
                    tenths = 32767.0;
                values[source] = static_cast<int16_t>(tenths);
            }
            QtxBinPutI16(datagram + 2 * source, values[source]);
        }
        call.tChannel.SendBuffer(datagram, sizeof datagram);
        ToolsSleepMs(interval);
    }
}

bool UdpData(CToolsCall& call)
{
    // Each register item is "<address>:<number of words>"; sending them is not offered.
    for (size_t i = 1; i < call.vsParams.size(); ++i)
    {
        const std::string& item = call.vsParams[i];
        size_t colon = item.find(':');
        int32_t address = StringToInt(item.substr(0, colon));
        int32_t length = colon == std::string::npos ? 1 : StringToInt(item.substr(colon + 1));
        if (length < 0)
            length = 0;
        std::printf("  Register 0x%08X: %d words\n", static_cast<uint32_t>(address), length);
    }
    ToolError("ERROR: UdpData can not send the registers on this platform\n");
    return false;
}
