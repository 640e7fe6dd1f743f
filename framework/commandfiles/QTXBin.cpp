// The binary command file: loading and storing requests, the first check of a configuration
// and the generation of the reply.
#include "QTXBin.h"

#include "QTXMessages.h"
#include "nyDebug.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

void TraceError(const char* text, int first, int second)
{
    if (nyDebugInterfaceGlobalFlags & NYDEBUG_FLAG_ERROR)
    {
        nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, "CQTXBin: %s %d %d", text, first, second);
    }
}

// Reads exactly `length` bytes; false on a short read.
bool ReadExactly(FILE* file, unsigned char* buffer, size_t length)
{
    return length == 0 || std::fread(buffer, 1, length, file) == length;
}

} // namespace

int WriteBufferToNewFile(const char* path, const unsigned char* buffer, int length, int offset)
{
    if (path == nullptr || length < 0 || (buffer == nullptr && length != 0))
    {
        return -70;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
    {
        return -86;
    }
    if (offset != 0 && lseek(fd, offset, SEEK_SET) == static_cast<off_t>(-1))
    {
        close(fd);
        return -80;
    }
    int written = 0;
    while (written < length)
    {
        const ssize_t n = write(fd, buffer + written, static_cast<size_t>(length - written));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            break;
        }
        written += static_cast<int>(n);
    }
    if (close(fd) != 0 && written == length)
    {
        // The data did not reach the file after all.
        written = 0;
    }
    return written;
}

CQTXBin::CQTXBin() : m_uLength(0), m_uErrorTextLength(0), m_nReplyError(0) {}

CQTXBin::~CQTXBin()
{
    // Not through the virtual slot: a derived part is already gone here.
    CQTXBin::Delete();
}

int CQTXBin::GetType() const
{
    return m_pBuffer ? QTX_FILE_TYPE_BINARY : QTX_FILE_TYPE_NONE;
}

bool CQTXBin::Allocate(unsigned short tag, uint32_t length)
{
    Delete();
    const uint64_t full = static_cast<uint64_t>(length) + QTXBIN_FIRST_HEAD_SIZE;
    // The whole block must stay describable by GetFullLength (32 bits).
    unsigned char* block = nullptr;
    if (length <= QTXBIN_MAX_PAYLOAD && full <= SIZE_MAX)
    {
        // Zero-filled: payload bytes that the caller does not write must not carry old heap
        // contents into a file or a reply.
        block = static_cast<unsigned char*>(std::calloc(static_cast<size_t>(full), 1));
    }
    if (block == nullptr)
    {
        std::printf("CQTXBin::New: NoMem!!\n");
        return false;
    }
    QtxBinSetInit_FIRST_HEAD(block, tag, length);
    m_pBuffer.reset(block);
    m_uLength = length;
    return true;
}

bool CQTXBin::New(unsigned short tag, int length)
{
    if (length < 0)
    {
        Delete();
        return false;
    }
    return Allocate(tag, static_cast<uint32_t>(length));
}

bool CQTXBin::LoadFile(const char* path, unsigned short tag)
{
    Delete();
    bool loaded = false;
    bool headRead = false;
    _QTXBIN_FIRST_HEAD head{};
    FILE* file = path != nullptr ? std::fopen(path, "rbe") : nullptr;
    if (file != nullptr)
    {
        unsigned char bytes[QTXBIN_FIRST_HEAD_SIZE];
        struct stat status;
        if (ReadExactly(file, bytes, sizeof(bytes)) && fstat(fileno(file), &status) == 0 &&
            S_ISREG(status.st_mode) && status.st_size >= static_cast<off_t>(sizeof(bytes)))
        {
            headRead = true;
            QtxBinReadFirstHead(bytes, &head);
            // The payload length comes from the file: it is only believed when the file
            // really holds that many bytes behind the head.
            const uint64_t present = static_cast<uint64_t>(status.st_size) - sizeof(bytes);
            if (QtxBinCheckLabel(bytes) == 0 && (head.tag & 0x7FFF) == (tag & 0x7FFF) &&
                head.length <= present && Allocate(head.tag, head.length))
            {
                loaded = ReadExactly(file, GetData(), head.length);
            }
        }
        std::fclose(file);
    }
    if (!loaded)
    {
        Delete();
        std::printf("CQTXBin::LoadFile[%s] returns %s\n", path != nullptr ? path : "(null)",
                    "ERROR!!");
        const unsigned int headTag = headRead ? head.tag : 65535u;
        std::printf("tag: %d (0x%08X), tHeader.Tag: %d (0x%08X)\n", tag, tag, headTag, headTag);
    }
    return loaded;
}

bool CQTXBin::StoreBuffer(std::string& out, bool reply)
{
    out.clear();
    if (reply)
        return GenerateReply(
            [](void* context, const unsigned char* data, unsigned int /*offset*/,
               unsigned int length, unsigned int /*total*/)
            {
                static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data),
                                                           length);
                return true;
            },
            &out);
    if (!m_pBuffer)
        return false;
    out.assign(reinterpret_cast<const char*>(m_pBuffer.get()), GetFullLength());
    return true;
}

bool CQTXBin::StoreFile(const char* path, bool reply)
{
    if (path == nullptr)
    {
        return false;
    }
    if (reply)
    {
        FILE* file = std::fopen(path, "wbe");
        if (file == nullptr)
        {
            return false;
        }
        const bool generated = GenerateReply(ToFile, file);
        // A failed close means buffered bytes never reached the file.
        const bool closed = std::fclose(file) == 0;
        return generated && closed;
    }
    if (!m_pBuffer || GetFullLength() > static_cast<unsigned int>(INT_MAX))
    {
        return false;
    }
    const int length = static_cast<int>(GetFullLength());
    return WriteBufferToNewFile(path, m_pBuffer.get(), length, 0) == length;
}

void CQTXBin::Delete()
{
    m_pBuffer.reset();
    m_uLength = 0;
    DeleteReply();
}

void CQTXBin::DeleteReply()
{
    m_tReply.Delete();
    m_nReplyError = 0;
    m_pErrorText.reset();
    m_uErrorTextLength = 0;
}

void CQTXBin::SetError(CQTXError error)
{
    const short number = error.GetErrorNumber();
    if (number == 0)
    {
        return;
    }
    m_nReplyError = number;
    if (number != QTXBIN_REPLY_ERROR_TEXT)
    {
        return;
    }
    m_pErrorText.reset();
    m_uErrorTextLength = 0;
    char* text = static_cast<char*>(std::calloc(QTXBIN_ERROR_TEXT_SIZE, 1));
    if (text == nullptr)
    {
        m_nReplyError = QTXBIN_ERR_NO_MEMORY;
        return;
    }
    std::snprintf(text, QTXBIN_ERROR_TEXT_SIZE,
                  "<Error Type=\"%s\" Name=\"%s\" Text=\"%s\" Location=\"%s\" />",
                  EscapeXmlValue(error.ErrorType()).c_str(),
                  EscapeXmlValue(error.ErrorText()).c_str(),
                  EscapeXmlValue(error.ErrorParameter()).c_str(),
                  EscapeXmlValue(error.ErrorLocation()).c_str());
    m_pErrorText.reset(text);
    m_uErrorTextLength = static_cast<unsigned int>(std::strlen(text)) + 1;
}

void CQTXBin::SetStdError(short number)
{
    m_nReplyError = number;
}

bool CQTXBin::Cfg_1st_Check(unsigned char maximum)
{
    if (!m_pBuffer)
    {
        SetStdError(QTXBIN_REPLY_NO_REQUEST);
        return false;
    }
    if (QtxBinCheckConfigurationTag(GetTag()) != 0)
    {
        SetStdError(QTXBIN_REPLY_NOT_CONFIGURATION);
        return false;
    }
    const QtxBinCfgView config = GetConfiguration();
    if (config.data == nullptr)
    {
        SetStdError(QTXBIN_ERR_SHORT);
        return false;
    }
    QtxBinCfgClearResults(config);
    _QTXBIN_CONFIGURATION* reply = m_tReply.ReplyCreate(config);
    if (reply == nullptr)
    {
        SetStdError(QTXBIN_ERR_NO_MEMORY);
        return false;
    }
    if (config.data[0] > maximum)
    {
        reply->count = maximum;
        reply->checkResult = QTXBIN_CHECK_COUNT;
        return false;
    }
    const int result = QtxBinCfgPlausibleCheck(config);
    reply->checkResult = static_cast<int16_t>(result);
    return result == QTXBIN_CHECK_OK;
}

unsigned char* CQTXBin::GetData()
{
    return m_pBuffer ? m_pBuffer.get() + QTXBIN_FIRST_HEAD_SIZE : nullptr;
}

unsigned int CQTXBin::GetLength() const
{
    return m_pBuffer ? m_uLength : 0;
}

unsigned char* CQTXBin::GetDataWithBinHead()
{
    return m_pBuffer.get();
}

unsigned int CQTXBin::GetFullLength() const
{
    // Allocate keeps the payload length at most QTXBIN_MAX_PAYLOAD, so this cannot wrap.
    return m_pBuffer ? m_uLength + QTXBIN_FIRST_HEAD_SIZE : 0;
}

unsigned short CQTXBin::GetTag() const
{
    return m_pBuffer ? QtxBinGetU16(m_pBuffer.get() + 6) : 0;
}

QtxBinCfgView CQTXBin::GetConfiguration()
{
    if (!m_pBuffer)
    {
        return QtxBinCfgView{};
    }
    return QtxBinGetConfiguration(m_pBuffer.get(), GetFullLength());
}

void* CQTXBin::Cfg_ReplyCreateGroupByIdx(int index, unsigned short type, unsigned short entrySize,
                                         unsigned short count, const char* name)
{
    // A negative index becomes a large one, which CreateGroup refuses.
    const unsigned int group = static_cast<unsigned int>(index);
    const short result = m_tReply.CreateGroup(group, type, entrySize, count, name);
    if (result != 0)
    {
        SetStdError(result);
        return nullptr;
    }
    return m_tReply.GetGroupMem(group);
}

void CQTXBin::Cfg_AddEntryError(short code, unsigned char group, unsigned short entry)
{
    const short result = m_tReply.AddEntryError(code, group, entry);
    if (result != 0)
    {
        TraceError("Cfg_AddEntryError", group, result);
    }
}

void CQTXBin::Cfg_AddEntriesErrorList(const short* codes, unsigned short count, unsigned char group,
                                      const char* name)
{
    const short result = m_tReply.AddEntriesErrorList(codes, count, group, name);
    if (result != 0)
    {
        TraceError("Cfg_AddEntriesErrorList", group, result);
    }
}

bool CQTXBin::GenerateReply(QtxBinWriteCallback write, void* context)
{
    if (write == nullptr)
    {
        return false;
    }
    const unsigned short replyTag =
        static_cast<unsigned short>(QTXBIN_TAG_REPLY | (GetTag() & 0x7FFF));
    _QTXBIN_CONFIGURATION* reply = m_tReply.GetConfig();
    if (m_nReplyError == 0 && reply != nullptr)
    {
        const QtxBinCfgView request = GetConfiguration();
        if (request.data != nullptr)
        {
            // The driver marked the request's groups while reading them; the client sees the
            // marks in the reply.
            for (unsigned int i = 0; i < QTXBIN_GROUP_COUNT; ++i)
            {
                _QTXBIN_GROUP group;
                QtxBinCfgGetGroup(request, i, &group);
                reply->group[i].status = group.status;
            }
            m_tReply.GetFirstHead()->tag = replyTag;
        }
        else
        {
            // An image a driver built without a configuration request: whatever its tag, it
            // goes out as a reply.
            TraceError("GenerateReply: no configuration loaded", GetTag(), 0);
            m_tReply.GetFirstHead()->tag |= QTXBIN_TAG_REPLY;
        }
        return m_tReply.Generate(write, context);
    }

    const unsigned int payload =
        m_nReplyError == QTXBIN_REPLY_ERROR_TEXT && m_pErrorText ? m_uErrorTextLength : 0;
    const unsigned int total = QTXBIN_FIRST_HEAD_SIZE + payload;
    unsigned char head[QTXBIN_FIRST_HEAD_SIZE];
    QtxBinSetInit_FIRST_HEAD(head, m_pBuffer ? replyTag : QTXBIN_TAG_REPLY, payload);
    QtxBinPutI16(head + 8, m_nReplyError);
    if (!write(context, head, 0, QTXBIN_FIRST_HEAD_SIZE, total))
    {
        return false;
    }
    if (payload != 0)
    {
        return write(context, reinterpret_cast<const unsigned char*>(m_pErrorText.get()),
                     QTXBIN_FIRST_HEAD_SIZE, payload, total);
    }
    return true;
}

bool CQTXBin::ToFile(void* context, const unsigned char* data, unsigned int /*offset*/,
                     unsigned int length, unsigned int /*total*/)
{
    if (length == 0)
    {
        return true;
    }
    FILE* file = static_cast<FILE*>(context);
    return file != nullptr && data != nullptr && std::fwrite(data, 1, length, file) == length;
}
