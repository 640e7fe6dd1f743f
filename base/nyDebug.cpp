// Binary trace buffer: one process-wide buffer of compact records, guarded by
// one mutex with the priority-inheritance protocol.

#include "nyDebug.h"

#include "KestrelStatus.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C"
{
    NYDEBUG_EXPORT uint32_t nyDebugInterfaceGlobalFlags = 0x00FFFFFF;
}

namespace
{

// Control record: u8 0, u8 3, u16 size of the data area, u16 write position,
// two zero bytes. Kept apart from the data area.
constexpr size_t kControlBytes = 8;
constexpr size_t kControlSizeOffset = 2;
constexpr size_t kControlPositionOffset = 4;
constexpr uint8_t kControlVersion = 3;

constexpr uint32_t kDefaultSize = 4000;
constexpr uint8_t kDropMark = 0x20;
constexpr uint8_t kMaxStringLength = 254;
constexpr int32_t kMaxValues = 8;

struct NyDebugTraceBuffer
{
    uint8_t control[kControlBytes];
    uint8_t* data;
    bool owned; // data was allocated here and is freed here
};

// Before set-up (and after nyDebugExit) the control record is all zero, so the
// size is 0 and every record is dropped without touching this area.
uint8_t nyDebugBuiltinArea[4];
NyDebugTraceBuffer nyDebugTraceBuffer = {{0}, nyDebugBuiltinArea, false};

// The mutex is created on first use and lives as long as the process, so that
// records made before nyDebugInit or racing with nyDebugExit stay safe.
pthread_mutex_t nyDebugMutex;
pthread_once_t nyDebugMutexOnce = PTHREAD_ONCE_INIT;
bool nyDebugMutexReady = false;
int nyDebugSpinTries = 0; // attempts before blocking; 0 on a single core

void CreateTraceMutex()
{
    nyDebugSpinTries = sysconf(_SC_NPROCESSORS_ONLN) > 1 ? 500 : 0;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) == 0)
    {
        bool made = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0 &&
                    pthread_mutex_init(&nyDebugMutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
        if (made)
        {
            nyDebugMutexReady = true;
            return;
        }
    }
    // A system without priority inheritance still gets a working lock.
    nyDebugMutexReady = pthread_mutex_init(&nyDebugMutex, nullptr) == 0;
}

class TraceLock
{
public:
    TraceLock()
    {
        pthread_once(&nyDebugMutexOnce, CreateTraceMutex);
        m_locked = nyDebugMutexReady && Acquire();
    }
    ~TraceLock()
    {
        if (m_locked)
        {
            pthread_mutex_unlock(&nyDebugMutex);
        }
    }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;

    bool Locked() const { return m_locked; }

private:
    // The lock is held for a few byte stores only, so on a multi-core system a
    // short run of attempts usually gets it without a trip into the kernel; a
    // blocked wait still goes through the priority-inheritance protocol.
    static bool Acquire()
    {
        for (int i = 0; i < nyDebugSpinTries; ++i)
        {
            if (pthread_mutex_trylock(&nyDebugMutex) == 0)
            {
                return true;
            }
        }
        return pthread_mutex_lock(&nyDebugMutex) == 0;
    }

    bool m_locked;
};

inline uint32_t GetU16(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

inline void PutU16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t TraceSize()
{
    return GetU16(nyDebugTraceBuffer.control + kControlSizeOffset);
}

inline uint32_t TracePosition()
{
    return GetU16(nyDebugTraceBuffer.control + kControlPositionOffset);
}

inline void SetTracePosition(uint32_t position)
{
    PutU16(nyDebugTraceBuffer.control + kControlPositionOffset, position);
}

// Claims room for a record of the given length at the write position. The end
// is computed in 32 bits: positions and sizes go up to 65532 and a record up to
// 256 bytes, so a 16-bit sum could wrap to a small value, pass the test and let
// the record run past the end of the buffer. A record that does not fit is dropped; while room
// remains, a space byte marks the drop. Call with the trace mutex held.
uint8_t* ReserveRecord(uint32_t length)
{
    const uint32_t size = TraceSize();
    const uint32_t position = TracePosition();
    const uint32_t end = position + length;
    if (end <= size)
    {
        SetTracePosition(end);
        return nyDebugTraceBuffer.data + position;
    }
    if (position < size)
    {
        nyDebugTraceBuffer.data[position] = kDropMark;
        SetTracePosition(position + 1);
    }
    return nullptr;
}

inline uint8_t ClampStringLength(uint32_t length)
{
    return static_cast<uint8_t>(length > kMaxStringLength ? kMaxStringLength : length);
}

// Byte string or text record: [0 when odd], type, length, bytes.
// Call with the trace mutex held; the length is at most 254.
void WriteStringRecord(uint8_t type, const uint8_t* bytes, uint8_t length)
{
    const uint32_t pad = length & 1u;
    uint8_t* p = ReserveRecord(pad + 2u + length);
    if (p == nullptr)
    {
        return;
    }
    if (pad != 0)
    {
        *p++ = 0;
    }
    *p++ = type;
    *p++ = length;
    if (length != 0)
    {
        memcpy(p, bytes, length);
    }
}

inline uint8_t TextType(uint8_t level)
{
    return static_cast<uint8_t>((level << 5) + NYDEBUG_KIND_TEXT);
}

// Formats into a 255-byte area; returns the number of characters kept.
uint8_t FormatText(char (&text)[kMaxStringLength + 1], const char* format, va_list args)
{
    if (format == nullptr)
    {
        return 0;
    }
    const int n = vsnprintf(text, sizeof text, format, args);
    return n < 0 ? 0 : ClampStringLength(static_cast<uint32_t>(n));
}

void SaveText(uint8_t level, const char* text, uint8_t length)
{
    TraceLock lock;
    if (lock.Locked())
    {
        WriteStringRecord(TextType(level), reinterpret_cast<const uint8_t*>(text), length);
    }
}

} // namespace

extern "C"
{

    int nyDebugInit(uint32_t /*ignored*/, uint32_t size, char* buffer)
    {
        size = (size & 0xFFFFu) & ~3u;
        uint8_t* data = reinterpret_cast<uint8_t*>(buffer);
        const bool owned = data == nullptr;
        if (owned)
        {
            if (size < 4)
            {
                size = kDefaultSize;
            }
            data = static_cast<uint8_t*>(malloc(size));
            if (data == nullptr)
            {
                return KESTREL_NO_MEMORY;
            }
        }

        uint8_t* previous = nullptr;
        {
            TraceLock lock;
            if (!lock.Locked())
            {
                if (owned)
                {
                    free(data);
                }
                return KESTREL_NOT_INITIALISED;
            }
            if (nyDebugTraceBuffer.owned)
            {
                previous = nyDebugTraceBuffer.data;
            }
            memset(nyDebugTraceBuffer.control, 0, kControlBytes);
            nyDebugTraceBuffer.control[1] = kControlVersion;
            PutU16(nyDebugTraceBuffer.control + kControlSizeOffset, size);
            nyDebugTraceBuffer.data = data;
            nyDebugTraceBuffer.owned = owned;
        }
        free(previous);
        return KESTREL_OK;
    }

    void nyDebugExit(void)
    {
        uint8_t* previous = nullptr;
        {
            TraceLock lock;
            if (!lock.Locked())
            {
                return;
            }
            if (nyDebugTraceBuffer.owned)
            {
                previous = nyDebugTraceBuffer.data;
            }
            memset(nyDebugTraceBuffer.control, 0, kControlBytes);
            nyDebugTraceBuffer.data = nyDebugBuiltinArea;
            nyDebugTraceBuffer.owned = false;
        }
        free(previous);
    }

    void nyDebugSaveOpcode8(uint8_t opcode)
    {
        TraceLock lock;
        uint8_t* p = lock.Locked() ? ReserveRecord(2) : nullptr;
        if (p != nullptr)
        {
            p[0] = 0;
            p[1] = opcode;
        }
    }

    void nyDebugSave8(uint8_t type, uint8_t value)
    {
        TraceLock lock;
        uint8_t* p = lock.Locked() ? ReserveRecord(2) : nullptr;
        if (p != nullptr)
        {
            p[0] = type;
            p[1] = value;
        }
    }

    void nyDebugSave16(uint8_t type, uint16_t value)
    {
        TraceLock lock;
        uint8_t* p = lock.Locked() ? ReserveRecord(4) : nullptr;
        if (p != nullptr)
        {
            p[0] = 0;
            p[1] = type;
            PutU16(p + 2, value);
        }
    }

    void nyDebugSave32(uint8_t type, uint32_t value)
    {
        TraceLock lock;
        uint8_t* p = lock.Locked() ? ReserveRecord(6) : nullptr;
        if (p != nullptr)
        {
            p[0] = 0;
            p[1] = type;
            PutU32(p + 2, value);
        }
    }

    void nyDebugSave64(uint8_t type, uint64_t value)
    {
        TraceLock lock;
        uint8_t* p = lock.Locked() ? ReserveRecord(10) : nullptr;
        if (p != nullptr)
        {
            p[0] = 0;
            p[1] = type;
            PutU32(p + 2, static_cast<uint32_t>(value));
            PutU32(p + 6, static_cast<uint32_t>(value >> 32));
        }
    }

    void nyDebugSave2x32(uint32_t first, uint32_t second)
    {
        TraceLock lock;
        uint8_t* p = lock.Locked() ? ReserveRecord(8) : nullptr;
        if (p != nullptr)
        {
            PutU32(p, first);
            PutU32(p + 4, second);
        }
    }

    void nyDebugSaveMem(uint8_t type, const char* bytes, uint8_t length)
    {
        // A missing byte string is recorded as an empty one.
        const uint8_t n = bytes == nullptr ? 0 : ClampStringLength(length);
        TraceLock lock;
        if (lock.Locked())
        {
            WriteStringRecord(type, reinterpret_cast<const uint8_t*>(bytes), n);
        }
    }

    void nyDebugSaveText16(uint8_t level, const uint16_t* characters, uint8_t count)
    {
        const uint8_t n = characters == nullptr ? 0 : ClampStringLength(count);
        char text[kMaxStringLength];
        for (uint8_t i = 0; i < n; ++i)
        {
            text[i] = static_cast<char>(characters[i] & 0xFF);
        }
        SaveText(level, text, n);
    }

    void nyDebugSavePrintf(uint8_t level, const char* format, ...)
    {
        char text[kMaxStringLength + 1];
        va_list args;
        va_start(args, format);
        const uint8_t n = FormatText(text, format, args);
        va_end(args);
        SaveText(level, text, n);
    }

    void nyDebugSavePrintfMasked(uint32_t mask, uint8_t level, const char* format, ...)
    {
        if ((nyDebugInterfaceGlobalFlags & mask) != 0)
        {
            return;
        }
        char text[kMaxStringLength + 1];
        va_list args;
        va_start(args, format);
        const uint8_t n = FormatText(text, format, args);
        va_end(args);
        SaveText(level, text, n);
    }

    void nyDebugSaveMulti(uint8_t level, const char* text, uint8_t textLength, uint8_t valueType,
                          uint8_t elementSize, int32_t count, ...)
    {
        const uint8_t textBytes = text == nullptr ? 0 : ClampStringLength(textLength);

        // Values are gathered before locking; each is stored in the element size.
        uint8_t values[kMaxValues * 4];
        uint32_t valueBytes = 0;
        const bool withValues =
            (elementSize == 1 || elementSize == 2 || elementSize == 4) && count > 0;
        if (withValues)
        {
            if (count > kMaxValues)
            {
                count = kMaxValues;
            }
            va_list args;
            va_start(args, count);
            for (int32_t i = 0; i < count; ++i)
            {
                const uint32_t v = va_arg(args, uint32_t);
                uint8_t* p = values + valueBytes;
                p[0] = static_cast<uint8_t>(v);
                if (elementSize >= 2)
                {
                    p[1] = static_cast<uint8_t>(v >> 8);
                }
                if (elementSize == 4)
                {
                    p[2] = static_cast<uint8_t>(v >> 16);
                    p[3] = static_cast<uint8_t>(v >> 24);
                }
                valueBytes += elementSize;
            }
            va_end(args);
        }

        TraceLock lock;
        if (!lock.Locked())
        {
            return;
        }
        WriteStringRecord(TextType(level), reinterpret_cast<const uint8_t*>(text), textBytes);
        if (!withValues)
        {
            return;
        }
        const uint32_t pad = valueBytes & 1u;
        uint8_t* p = ReserveRecord(pad + 2u + valueBytes);
        if (p == nullptr)
        {
            return;
        }
        if (pad != 0)
        {
            *p++ = 0;
        }
        *p++ = static_cast<uint8_t>((level << 5) + NYDEBUG_KIND_VALUES);
        *p++ = static_cast<uint8_t>(((count - 1) << 5) | (valueType & 0x1F));
        memcpy(p, values, valueBytes);
    }

    int nyDebugFetch(char* destination, uint32_t capacity)
    {
        TraceLock lock;
        if (!lock.Locked())
        {
            return 0;
        }
        const uint32_t used = TracePosition();
        int result = static_cast<int>(used);
        if (used > capacity || (used != 0 && destination == nullptr))
        {
            result = -KESTREL_TRACE_TOO_LARGE;
        }
        else if (used != 0)
        {
            memcpy(destination, nyDebugTraceBuffer.data, used);
        }
        // Every fetch empties the buffer, also one that found too little room,
        // so that a full buffer cannot stay full for good.
        SetTracePosition(0);
        return result;
    }

    uint16_t nyDebugGetSize(void)
    {
        TraceLock lock;
        return lock.Locked() ? static_cast<uint16_t>(TraceSize()) : 0;
    }

    uint16_t nyDebugGetPosition(void)
    {
        TraceLock lock;
        return lock.Locked() ? static_cast<uint16_t>(TracePosition()) : 0;
    }

    uint16_t nyDebugReset(void)
    {
        TraceLock lock;
        if (!lock.Locked())
        {
            return 0;
        }
        const uint32_t used = TracePosition();
        SetTracePosition(0);
        return static_cast<uint16_t>(used);
    }

} // extern "C"
