// The simulated PROFINET controller behind "/dev/pndrv": its state file, its request log and
// the node's operations.
#include "KoveSimPn.h"

#include "KovePlatNodes.h"
#include "KoveSimDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/file.h>
#include <unistd.h>

namespace
{
constexpr unsigned long kRequestBase = 0xC0046900ul;
constexpr size_t kMaxText = 256;
constexpr size_t kSnifferImageSize = 0x22000;
constexpr size_t kCopyImageSize = 49152;

// Keys of the state, in the order the file lists them, with their start values.
const std::pair<const char*, const char*> kStateKeys[] = {
    {"present", "on"},
    {"answer", "0"},
    {"fail", ""},
    {"version", "V1.0.0"},
    {"sniffer", "off"},
    {"configuration", "closed"},
    {"factory-mode", "off"},
    {"production-mode", "off"},
    {"factory-defaults", "off"},
    {"resets", "0"},
    {"last-reset", "0"},
    {"devices", "0"},
    {"subslots", "0"},
};

std::string StatePath(const std::string& dir)
{
    return dir + "/dev/pndrv.state";
}

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int Fail(int error)
{
    errno = error;
    return -1;
}

// The state file held under an exclusive lock for the life of the object; the state is read at
// the start and written back by Save.
class CPnState
{
public:
    explicit CPnState(const std::string& dir)
    {
        m_iFd = open(StatePath(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_iFd < 0)
            return;
        while (flock(m_iFd, LOCK_EX) != 0)
            if (errno != EINTR)
            {
                close(m_iFd);
                m_iFd = -1;
                return;
            }
        for (const auto& key : kStateKeys)
            m_mValues[key.first] = key.second;
        std::string text;
        char buffer[1024];
        ssize_t n;
        while ((n = pread(m_iFd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
            text.append(buffer, static_cast<size_t>(n));
        size_t pos = 0;
        while (pos < text.size())
        {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = text.substr(pos, end - pos);
            const size_t equals = line.find('=');
            if (equals != std::string::npos && m_mValues.count(line.substr(0, equals)))
                m_mValues[line.substr(0, equals)] = line.substr(equals + 1);
            pos = end + 1;
        }
    }
    ~CPnState()
    {
        if (m_iFd >= 0)
            close(m_iFd); // drops the lock
    }
    CPnState(const CPnState&) = delete;
    CPnState& operator=(const CPnState&) = delete;

    bool Ok() const { return m_iFd >= 0; }
    const std::string& Get(const char* key) { return m_mValues[key]; }
    void Set(const char* key, const std::string& value) { m_mValues[key] = value; }
    std::string Format() const
    {
        std::string text;
        for (const auto& key : kStateKeys)
            text += std::string(key.first) + "=" + m_mValues.at(key.first) + "\n";
        return text;
    }
    bool Save()
    {
        const std::string text = Format();
        return ftruncate(m_iFd, 0) == 0 &&
               pwrite(m_iFd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
    }

private:
    int m_iFd = -1;
    std::map<std::string, std::string> m_mValues;
};

void AppendLine(const std::string& path, const std::string& line)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string text = line + "\n";
    ssize_t written = write(fd, text.data(), text.size());
    (void)written; // the log is a record for tests; the request goes on without it
    close(fd);
}

bool ParseHexByteList(const std::string& text, std::set<unsigned>* values)
{
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        if (item.compare(0, 2, "0x") == 0 || item.compare(0, 2, "0X") == 0)
            item = item.substr(2);
        char* end = nullptr;
        unsigned long value = strtoul(item.c_str(), &end, 16);
        if (item.empty() || *end != '\0')
            return false;
        if (values)
            values->insert(static_cast<unsigned>(value & 0xFF));
        pos = comma + 1;
    }
    return true;
}

// Keeps a record the controller was handed in a file of the device directory.
int Record(const std::string& dir, const char* name, const uint8_t* rec, size_t size)
{
    return SimWriteFileAtomic(dir + "/dev/" + name,
                              std::string(reinterpret_cast<const char*>(rec), size)) == 0
               ? 0
               : -1;
}

uint32_t StateNumber(CPnState& state, const char* key)
{
    return static_cast<uint32_t>(strtoul(state.Get(key).c_str(), nullptr, 0));
}

// What a request does to the state and its record. Returns 0, or -1 with errno.
int Serve(CPnState& state, const std::string& dir, unsigned nn, uint8_t* rec)
{
    const uint16_t answer = static_cast<uint16_t>(strtoul(state.Get("answer").c_str(), nullptr, 0));
    switch (nn)
    {
    case 0x01:
        Put32(rec + 8, 0); // no debug data
        return 0;
    case 0x03:
        Put16(rec, 0);
        return 0;
    case 0x26: // sniffer reset
    {
        const uint32_t code = Get32(rec);
        if (code == 35)
            state.Set("sniffer", "default");
        else if (code == 36)
            state.Set("sniffer", "reset");
        state.Set("last-reset", std::to_string(code));
        state.Set("resets", std::to_string(strtoul(state.Get("resets").c_str(), nullptr, 10) + 1));
        return state.Save() ? 0 : -1;
    }
    case 0x29:
        state.Set("factory-mode", std::to_string(Get32(rec)));
        return state.Save() ? 0 : -1;
    case 0x2F:
        state.Set("sniffer", "configured");
        if (Record(dir, "pndrv.image", rec, kSnifferImageSize) != 0)
            return -1;
        return state.Save() ? 0 : -1;
    case 0x33:
        return Record(dir, "pndrv.last-image", rec, kSnifferImageSize);
    case 0x22:
        // The copy-machine image half of a port (u32 port at byte 4).
        return Record(dir, Get32(rec + 4) == 1 ? "pndrv.copy-image1" : "pndrv.copy-image0", rec,
                      kCopyImageSize);
    case 0x31:
    case 0x32:
        state.Set("configuration", nn == 0x31 ? "open" : "closed");
        return state.Save() ? 0 : -1;
    case 0x24:
    case 0x25:
        Put32(rec + 16, 0);
        return 0;
    case 0x2B:
    {
        // "subslots" entries are reported; as many as the caller has room for are filled in.
        const uint32_t count = StateNumber(state, "subslots");
        const uint32_t room = static_cast<uint32_t>(rec[4] | rec[5] << 8);
        for (uint32_t i = 0; i < count && i < room; ++i)
            for (uint32_t b = 0; b < 16; ++b)
                rec[16 + 16 * i + b] = static_cast<uint8_t>(i + b);
        Put16(rec + 6, static_cast<uint16_t>(count > 0xFFFF ? 0xFFFF : count));
        return 0;
    }
    case 0x2E:
    case 0x30:
        Put32(rec, 0);
        return 0;
    case 0x35:
        memset(rec, 0, 24);
        return 0;
    case 0x37:
    {
        // The caller gives the room for the text in the first u16.
        const size_t room = static_cast<size_t>(rec[0] | rec[1] << 8);
        std::string text = state.Get("version");
        if (text.size() > room)
            text.resize(room);
        memcpy(rec + 8, text.data(), text.size());
        Put16(rec, static_cast<uint16_t>(text.size()));
        return 0;
    }
    case 0x49:
    {
        // "devices" devices are seen; the list takes as many as the caller asked for (u16 at 6),
        // and says so (6) when more exist.
        const uint32_t devices = StateNumber(state, "devices");
        const uint32_t room = static_cast<uint32_t>(rec[6] | rec[7] << 8);
        const uint32_t listed = devices < room ? devices : room;
        for (uint32_t i = 0; i < listed; ++i)
        {
            memset(rec + 32 + 48 * i, 0, 48);
            Put16(rec + 32 + 48 * i, static_cast<uint16_t>(i + 1));
        }
        Put16(rec + 16, static_cast<uint16_t>(listed));
        Put16(rec + 2, devices > room ? 6 : answer);
        return 0;
    }
    case 0x4A:
    case 0x4D:
        Put16(rec + 2, answer);
        Put16(rec + 6, 0); // no entries
        return 0;
    case 0x4B:
    case 0x4C:
    case 0x50:
    case 0x51:
        Put16(rec + 2, answer);
        return 0;
    default:
        // The other requests are taken as they come; the records keep what the caller wrote.
        return 0;
    }
}

// Requests the controller knows: those with a record and those without one.
bool IsKnownRequest(unsigned nn, bool* hasRecord)
{
    static const std::set<unsigned> kNoRecord = {0x31, 0x32, 0x39, 0x6B};
    static const std::set<unsigned> kWithRecord = {
        0x01, 0x03, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C,
        0x2D, 0x2E, 0x2F, 0x30, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x3A, 0x49, 0x4A,
        0x4B, 0x4C, 0x4D, 0x4F, 0x50, 0x51, 0x63, 0x64, 0x65, 0x68, 0x69, 0x6A, 0x6C};
    *hasRecord = kWithRecord.count(nn) != 0;
    return *hasRecord || kNoRecord.count(nn) != 0;
}

struct SPnOpen
{
    std::string sDir;
};

int PnOpen(const std::string& simDir, const char*, int, void** priv)
{
    {
        CPnState state(simDir);
        if (!state.Ok())
            return -1;
        if (state.Get("present") != "on")
            return Fail(ENOENT);
    }
    int fd = open(StatePath(simDir).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    *priv = new SPnOpen{simDir};
    return fd;
}

void PnRelease(void* priv)
{
    delete static_cast<SPnOpen*>(priv);
}

int PnIoctl(int, void* priv, unsigned long request, void* arg)
{
    const std::string& dir = static_cast<SPnOpen*>(priv)->sDir;
    if ((request & ~0xFFul) != kRequestBase)
        return Fail(EINVAL);
    const unsigned nn = static_cast<unsigned>(request & 0xFF);
    bool hasRecord = false;
    if (!IsKnownRequest(nn, &hasRecord))
        return Fail(EINVAL);
    auto* rec = static_cast<uint8_t*>(arg);
    if (hasRecord && rec == nullptr)
        return Fail(EFAULT);

    CPnState state(dir);
    if (!state.Ok())
        return -1;
    char line[64];
    // The requests that pass one u32 show it in the record.
    const bool wordIn = nn == 0x23 || nn == 0x26 || nn == 0x29 || nn == 0x36;
    if (wordIn)
        snprintf(line, sizeof line, "0x%08lX %u", request, Get32(rec));
    else
        snprintf(line, sizeof line, "0x%08lX", request);
    AppendLine(dir + "/dev/pndrv.log", line);

    std::set<unsigned> failing;
    ParseHexByteList(state.Get("fail"), &failing);
    if (failing.count(nn))
        return Fail(EIO);
    return Serve(state, dir, nn, rec);
}

// A text written to the node: "prodmodeon", "prodmodeoff" and "factorydefall" are understood;
// every text is kept.
ssize_t PnWrite(int, void* priv, const void* buf, size_t count)
{
    const std::string& dir = static_cast<SPnOpen*>(priv)->sDir;
    if (buf == nullptr)
        return Fail(EFAULT);
    const char* bytes = static_cast<const char*>(buf);
    std::string text(bytes, strnlen(bytes, count < kMaxText ? count : kMaxText));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            c = '?';
    CPnState state(dir);
    if (!state.Ok())
        return -1;
    AppendLine(dir + "/dev/pndrv.log", "write " + text);
    AppendLine(dir + "/dev/pndrv.texts", text);
    if (text == "prodmodeon" || text == "prodmodeoff")
        state.Set("production-mode", text == "prodmodeon" ? "on" : "off");
    else if (text == "factorydefall")
        state.Set("factory-defaults", "on");
    if (!state.Save())
        return -1;
    return static_cast<ssize_t>(count);
}
} // namespace

const SPlatNodeOps g_tSimPnDrvOps = {PnOpen,          PlatNodeCloseFd, PnRelease,
                                     PnIoctl,         PlatNodeNoRead,  PnWrite,
                                     PlatNodeNoLseek, PlatNodeNoMmap};

bool SimPnDrvShow(const std::string& dir, std::string* text, std::string* err)
{
    CPnState state(dir);
    if (!state.Ok())
    {
        if (err)
            *err = "cannot read " + StatePath(dir) + ": " + strerror(errno);
        return false;
    }
    *text = state.Format();
    return true;
}

bool SimPnDrvSet(const std::string& dir, const std::string& key, const std::string& value,
                 std::string* err)
{
    bool known = false;
    for (const auto& k : kStateKeys)
        known = known || key == k.first;
    if (!known)
    {
        *err = "unknown controller state '" + key + "'";
        return false;
    }
    if (value.find('\n') != std::string::npos)
    {
        *err = "a controller state is one line";
        return false;
    }
    if (key == "present" && value != "on" && value != "off")
    {
        *err = "present is on or off";
        return false;
    }
    if (key == "answer")
    {
        char* end = nullptr;
        unsigned long answer = strtoul(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || answer > 0xFFFF)
        {
            *err = "answer '" + value + "' is not a 16-bit number";
            return false;
        }
    }
    if (key == "fail" && !ParseHexByteList(value, nullptr))
    {
        *err = "fail takes request numbers in hexadecimal, separated by commas";
        return false;
    }
    CPnState state(dir);
    if (!state.Ok())
    {
        *err = "cannot open " + StatePath(dir) + ": " + strerror(errno);
        return false;
    }
    state.Set(key.c_str(), value);
    if (!state.Save())
    {
        *err = "cannot write " + StatePath(dir) + ": " + strerror(errno);
        return false;
    }
    return true;
}

int SimPnResetState(const std::string& dir)
{
    std::string text;
    for (const auto& key : kStateKeys)
        text += std::string(key.first) + "=" + key.second + "\n";
    if (SimWriteFileAtomic(StatePath(dir), text) != 0 ||
        SimWriteFileAtomic(dir + "/dev/pndrv.log", "") != 0 ||
        SimWriteFileAtomic(dir + "/dev/pndrv.texts", "") != 0)
        return -1;
    return 0;
}
