// Binary trace buffer: one process-wide buffer of compact records that any
// thread may append to without waiting for another thread.
//
// A writer claims the bytes of its record with one compare-and-swap on the
// state word (size, start and used bytes of the data area), writes the record
// into them and then marks it complete by storing its length in a side table
// at the record's first byte. Claims are made in order, so the records lie in
// the order of their claims, and the drop rule is applied to the state seen by
// the claim. The control operations (fetch, reset, set-up, tear-down) are
// serialised among themselves by a priority-inheritance mutex; they wait for
// the records already claimed to be marked complete before they read or give
// up those bytes. No writer ever waits, so no thread tracing can be held up by
// a lower-priority one.
//
// While a fetch copies the records it found, later writers go on claiming the
// bytes behind them: the data area is used as a ring whose used part starts at
// `start`, and a fetch gives up only the bytes it took. When the used part
// becomes empty the next record starts at offset 0 again, so with one thread
// (or no fetch racing with writers) the area holds the records from its first
// byte, as a caller's buffer always has.

#include "nyDebug.h"

#include "KestrelLock.h"
#include "KestrelStatus.h"

#include <atomic>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

extern "C"
{
    NYDEBUG_EXPORT uint32_t nyDebugInterfaceGlobalFlags = 0x00FFFFFF;
}

namespace
{

constexpr uint32_t kDefaultSize = 4000;
constexpr uint8_t kDropMark = 0x20;
constexpr uint8_t kMaxStringLength = 254;
constexpr int32_t kMaxValues = 8;
constexpr uint32_t kMaxRecordBytes = 256; // odd string of 253: 0, type, length, 253 bytes

// State word: bits 0-15 size of the data area (0: no buffer, every record is
// dropped), bits 16-31 offset of the oldest byte in use, bits 32-47 bytes in
// use. Size and offsets stay below 65536. One 64-bit word so that a claim
// checks the size and the used bytes in one step (lock-free on x86-64 and on
// ARMv7 alike).
struct TraceState
{
    uint32_t size;
    uint32_t start;
    uint32_t used;
};

inline uint64_t PackState(const TraceState& s)
{
    return static_cast<uint64_t>(s.size) | static_cast<uint64_t>(s.start) << 16 |
           static_cast<uint64_t>(s.used) << 32;
}

inline TraceState UnpackState(uint64_t word)
{
    return {static_cast<uint32_t>(word & 0xFFFFu), static_cast<uint32_t>((word >> 16) & 0xFFFFu),
            static_cast<uint32_t>((word >> 32) & 0xFFFFu)};
}

// Before set-up (and after nyDebugExit) the size is 0, so every record is
// dropped without touching the data area.
uint8_t nyDebugBuiltinArea[4];

std::atomic<uint64_t> nyDebugState{0};
// Data area and completion table: each claimed record (or drop mark) stores
// its length at the table entry of its first byte once its bytes are written;
// 0 means not yet complete. Changed only by a control operation while no
// record is claimed; read by a writer after its claim succeeded.
std::atomic<uint8_t*> nyDebugData{nyDebugBuiltinArea};
std::atomic<std::atomic<uint16_t>*> nyDebugDone{nullptr};
bool nyDebugOwned = false; // the data area was allocated here; under the control mutex

// The control mutex is created on first use and lives as long as the process,
// so that control calls before nyDebugInit or racing with nyDebugExit stay safe.
pthread_mutex_t nyDebugControlMutex;
pthread_once_t nyDebugControlOnce = PTHREAD_ONCE_INIT;
bool nyDebugControlReady = false;

void CreateControlMutex()
{
    nyDebugControlReady = kestrel::CreateMutex(&nyDebugControlMutex) == 0;
}

class ControlLock
{
public:
    ControlLock()
    {
        pthread_once(&nyDebugControlOnce, CreateControlMutex);
        m_locked = nyDebugControlReady && pthread_mutex_lock(&nyDebugControlMutex) == 0;
    }
    ~ControlLock()
    {
        if (m_locked)
        {
            pthread_mutex_unlock(&nyDebugControlMutex);
        }
    }
    ControlLock(const ControlLock&) = delete;
    ControlLock& operator=(const ControlLock&) = delete;

    bool Locked() const { return m_locked; }

private:
    bool m_locked;
};

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

// Outcome of claiming one record: its bytes were claimed, a space byte marks
// its drop, or nothing was claimed (the area is full or absent).
enum class Claim : uint8_t
{
    Record,
    Mark,
    None
};

// Applies the drop rule to `used` for a record of the given length. Lengths
// and the size are at most 65536 and 257, so the sum cannot wrap.
inline Claim ClaimOne(uint32_t size, uint32_t& used, uint32_t length)
{
    if (used + length <= size)
    {
        used += length;
        return Claim::Record;
    }
    if (used < size)
    {
        used += 1;
        return Claim::Mark;
    }
    return Claim::None;
}

// The bytes one claim took: `length` bytes at `offset` of the data area
// (wrapping at `size`); length 0 when nothing was claimed.
struct Span
{
    uint8_t* data;
    std::atomic<uint16_t>* done;
    uint32_t size;
    uint32_t offset;
    uint32_t length;
};

// Claims room for one or two records (a second length of 0: none) behind the
// records already claimed, in one step, so that the two lie side by side.
Span ClaimRecords(uint32_t firstLength, uint32_t secondLength, Claim& first, Claim& second)
{
    uint64_t word = nyDebugState.load(std::memory_order_relaxed);
    for (;;)
    {
        const TraceState s = UnpackState(word);
        uint32_t used = s.used;
        first = ClaimOne(s.size, used, firstLength);
        second = secondLength == 0 ? Claim::None : ClaimOne(s.size, used, secondLength);
        if (used == s.used)
        {
            return {nullptr, nullptr, 0, 0, 0};
        }
        const uint64_t next = PackState({s.size, s.start, used});
        if (nyDebugState.compare_exchange_weak(word, next, std::memory_order_acquire,
                                               std::memory_order_relaxed))
        {
            uint32_t offset = s.start + s.used;
            if (offset >= s.size)
            {
                offset -= s.size;
            }
            return {nyDebugData.load(std::memory_order_relaxed),
                    nyDebugDone.load(std::memory_order_relaxed), s.size, offset, used - s.used};
        }
    }
}

// Copies the claimed bytes into the data area, wrapping at its end, and marks
// them complete.
void CompleteSpan(const Span& span, const uint8_t* bytes)
{
    const uint32_t room = span.size - span.offset;
    if (span.length <= room)
    {
        memcpy(span.data + span.offset, bytes, span.length);
    }
    else
    {
        memcpy(span.data + span.offset, bytes, room);
        memcpy(span.data, bytes + room, span.length - room);
    }
    span.done[span.offset].store(static_cast<uint16_t>(span.length), std::memory_order_release);
}

// Appends one record of the given bytes, or its drop mark.
void AppendRecord(const uint8_t* bytes, uint32_t length)
{
    Claim first;
    Claim second;
    const Span span = ClaimRecords(length, 0, first, second);
    if (span.length == 0)
    {
        return;
    }
    CompleteSpan(span, first == Claim::Record ? bytes : &kDropMark);
}

// Appends two records side by side; each is written or marked as dropped by
// itself.
void AppendTwoRecords(const uint8_t* firstBytes, uint32_t firstLength, const uint8_t* secondBytes,
                      uint32_t secondLength)
{
    Claim first;
    Claim second;
    const Span span = ClaimRecords(firstLength, secondLength, first, second);
    if (span.length == 0)
    {
        return;
    }
    uint8_t joined[2 * kMaxRecordBytes];
    uint32_t n = 0;
    const Claim claims[2] = {first, second};
    const uint8_t* const bytes[2] = {firstBytes, secondBytes};
    const uint32_t lengths[2] = {firstLength, secondLength};
    for (int i = 0; i < 2; ++i)
    {
        if (claims[i] == Claim::Record)
        {
            memcpy(joined + n, bytes[i], lengths[i]);
            n += lengths[i];
        }
        else if (claims[i] == Claim::Mark)
        {
            joined[n++] = kDropMark;
        }
    }
    CompleteSpan(span, joined);
}

// Waits until the record claimed at the given entry is complete and returns
// its length. The writer finishes in a few stores once it runs; sleeping (not
// only yielding) lets it run even when it has a lower priority than this
// thread.
uint32_t AwaitRecord(const std::atomic<uint16_t>& entry)
{
    for (uint32_t attempt = 0;; ++attempt)
    {
        const uint32_t length = entry.load(std::memory_order_acquire);
        if (length != 0)
        {
            return length;
        }
        if (attempt < 64)
        {
            sched_yield();
        }
        else
        {
            const struct timespec pause = {0, 20000};
            nanosleep(&pause, nullptr);
        }
    }
}

// Control operations, with the control mutex held: waits until the first
// `amount` bytes of the used part are complete (`amount` is a used count read
// from the state, so it ends between two claims), copies them to the
// destination (unwrapped) when one is given, and clears their completion
// marks. Returns the offset behind them.
uint32_t AwaitUsedPart(const TraceState& s, uint32_t amount, uint8_t* destination)
{
    uint8_t* data = nyDebugData.load(std::memory_order_relaxed);
    std::atomic<uint16_t>* done = nyDebugDone.load(std::memory_order_relaxed);
    uint32_t offset = s.start;
    for (uint32_t taken = 0; taken < amount;)
    {
        const uint32_t length = AwaitRecord(done[offset]);
        done[offset].store(0, std::memory_order_relaxed);
        taken += length;
        offset += length;
        if (offset >= s.size)
        {
            offset -= s.size;
        }
    }
    if (destination != nullptr && amount != 0)
    {
        const uint32_t room = s.size - s.start;
        if (amount <= room)
        {
            memcpy(destination, data + s.start, amount);
        }
        else
        {
            memcpy(destination, data + s.start, room);
            memcpy(destination + room, data, amount - room);
        }
    }
    return offset;
}

// Takes the first `amount` bytes of the used part (see AwaitUsedPart) and
// gives up their room; records claimed meanwhile stay for the next fetch.
void TakeUsedPart(uint32_t amount, uint8_t* destination)
{
    const TraceState s = UnpackState(nyDebugState.load(std::memory_order_acquire));
    if (amount == 0)
    {
        return;
    }
    const uint32_t offset = AwaitUsedPart(s, amount, destination);
    uint64_t current = nyDebugState.load(std::memory_order_relaxed);
    for (;;)
    {
        TraceState next = UnpackState(current);
        next.used -= amount;
        next.start = next.used == 0 ? 0 : offset;
        if (nyDebugState.compare_exchange_weak(current, PackState(next), std::memory_order_release,
                                               std::memory_order_relaxed))
        {
            return;
        }
    }
}

// Replaces the data area, with the control mutex held: closes the old one to
// new records (size 0), waits for the records claimed in it, then installs the
// new one (size 0: none). Hands back the old area when it was allocated here,
// and the old table, for the caller to free.
void ReplaceArea(uint8_t* data, std::atomic<uint16_t>* done, uint32_t size, bool owned,
                 uint8_t*& oldData, std::atomic<uint16_t>*& oldDone)
{
    uint64_t word = nyDebugState.load(std::memory_order_relaxed);
    TraceState s = UnpackState(word);
    while (!nyDebugState.compare_exchange_weak(word, PackState({0, s.start, s.used}),
                                               std::memory_order_acquire,
                                               std::memory_order_relaxed))
    {
        s = UnpackState(word);
    }
    AwaitUsedPart(s, s.used, nullptr);
    oldData = nyDebugOwned ? nyDebugData.load(std::memory_order_relaxed) : nullptr;
    oldDone = nyDebugDone.load(std::memory_order_relaxed);
    nyDebugData.store(data, std::memory_order_relaxed);
    nyDebugDone.store(done, std::memory_order_relaxed);
    nyDebugOwned = owned;
    nyDebugState.store(PackState({size, 0, 0}), std::memory_order_release);
}

inline uint8_t ClampStringLength(uint32_t length)
{
    return static_cast<uint8_t>(length > kMaxStringLength ? kMaxStringLength : length);
}

// Byte string or text record into `record`: [0 when odd], type, length,
// bytes. Returns its length. The length is at most 254.
uint32_t MakeStringRecord(uint8_t* record, uint8_t type, const uint8_t* bytes, uint8_t length)
{
    uint8_t* p = record;
    if ((length & 1u) != 0)
    {
        *p++ = 0;
    }
    *p++ = type;
    *p++ = length;
    if (length != 0)
    {
        memcpy(p, bytes, length);
    }
    return static_cast<uint32_t>(p - record) + length;
}

void AppendStringRecord(uint8_t type, const uint8_t* bytes, uint8_t length)
{
    uint8_t record[kMaxRecordBytes];
    AppendRecord(record, MakeStringRecord(record, type, bytes, length));
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
    AppendStringRecord(TextType(level), reinterpret_cast<const uint8_t*>(text), length);
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
        std::atomic<uint16_t>* done = new (std::nothrow) std::atomic<uint16_t>[size + 1]();
        if (done == nullptr)
        {
            if (owned)
            {
                free(data);
            }
            return KESTREL_NO_MEMORY;
        }

        uint8_t* oldData = nullptr;
        std::atomic<uint16_t>* oldDone = nullptr;
        {
            ControlLock lock;
            if (!lock.Locked())
            {
                if (owned)
                {
                    free(data);
                }
                delete[] done;
                return KESTREL_NOT_INITIALISED;
            }
            ReplaceArea(data, done, size, owned, oldData, oldDone);
        }
        free(oldData);
        delete[] oldDone;
        return KESTREL_OK;
    }

    void nyDebugExit(void)
    {
        uint8_t* oldData = nullptr;
        std::atomic<uint16_t>* oldDone = nullptr;
        {
            ControlLock lock;
            if (!lock.Locked())
            {
                return;
            }
            ReplaceArea(nyDebugBuiltinArea, nullptr, 0, false, oldData, oldDone);
        }
        free(oldData);
        delete[] oldDone;
    }

    void nyDebugSaveOpcode8(uint8_t opcode)
    {
        const uint8_t record[2] = {0, opcode};
        AppendRecord(record, sizeof record);
    }

    void nyDebugSave8(uint8_t type, uint8_t value)
    {
        const uint8_t record[2] = {type, value};
        AppendRecord(record, sizeof record);
    }

    void nyDebugSave16(uint8_t type, uint16_t value)
    {
        uint8_t record[4] = {0, type};
        PutU16(record + 2, value);
        AppendRecord(record, sizeof record);
    }

    void nyDebugSave32(uint8_t type, uint32_t value)
    {
        uint8_t record[6] = {0, type};
        PutU32(record + 2, value);
        AppendRecord(record, sizeof record);
    }

    void nyDebugSave64(uint8_t type, uint64_t value)
    {
        uint8_t record[10] = {0, type};
        PutU32(record + 2, static_cast<uint32_t>(value));
        PutU32(record + 6, static_cast<uint32_t>(value >> 32));
        AppendRecord(record, sizeof record);
    }

    void nyDebugSave2x32(uint32_t first, uint32_t second)
    {
        uint8_t record[8];
        PutU32(record, first);
        PutU32(record + 4, second);
        AppendRecord(record, sizeof record);
    }

    void nyDebugSaveMem(uint8_t type, const char* bytes, uint8_t length)
    {
        // A missing byte string is recorded as an empty one.
        const uint8_t n = bytes == nullptr ? 0 : ClampStringLength(length);
        AppendStringRecord(type, reinterpret_cast<const uint8_t*>(bytes), n);
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
        uint8_t textRecord[kMaxRecordBytes];
        const uint32_t textRecordLength = MakeStringRecord(
            textRecord, TextType(level), reinterpret_cast<const uint8_t*>(text), textBytes);

        const bool withValues =
            (elementSize == 1 || elementSize == 2 || elementSize == 4) && count > 0;
        if (!withValues)
        {
            AppendRecord(textRecord, textRecordLength);
            return;
        }
        if (count > kMaxValues)
        {
            count = kMaxValues;
        }

        // Value list: [0 when odd], level * 32 + 26, (count - 1) * 32 | type,
        // each value in the element size.
        const uint32_t valueBytes = static_cast<uint32_t>(count) * elementSize;
        uint8_t valueRecord[3 + kMaxValues * 4];
        uint8_t* p = valueRecord;
        if ((valueBytes & 1u) != 0)
        {
            *p++ = 0;
        }
        *p++ = static_cast<uint8_t>((level << 5) + NYDEBUG_KIND_VALUES);
        *p++ = static_cast<uint8_t>(((count - 1) << 5) | (valueType & 0x1F));
        va_list args;
        va_start(args, count);
        for (int32_t i = 0; i < count; ++i)
        {
            const uint32_t v = va_arg(args, uint32_t);
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
            p += elementSize;
        }
        va_end(args);

        // Both records are claimed in one step, so that nothing comes between them.
        AppendTwoRecords(textRecord, textRecordLength, valueRecord,
                         static_cast<uint32_t>(p - valueRecord));
    }

    int nyDebugFetch(char* destination, uint32_t capacity)
    {
        ControlLock lock;
        if (!lock.Locked())
        {
            return 0;
        }
        // Records claimed from here on stay for the next fetch, so the used
        // part read here is all that is taken.
        const uint32_t used = UnpackState(nyDebugState.load(std::memory_order_acquire)).used;
        const bool fits = used <= capacity && (used == 0 || destination != nullptr);
        // Every fetch empties the buffer, also one that found too little room,
        // so that a full buffer cannot stay full for good.
        TakeUsedPart(used, fits ? reinterpret_cast<uint8_t*>(destination) : nullptr);
        return fits ? static_cast<int>(used) : -KESTREL_TRACE_TOO_LARGE;
    }

    uint16_t nyDebugGetSize(void)
    {
        return static_cast<uint16_t>(
            UnpackState(nyDebugState.load(std::memory_order_relaxed)).size);
    }

    uint16_t nyDebugGetPosition(void)
    {
        return static_cast<uint16_t>(
            UnpackState(nyDebugState.load(std::memory_order_acquire)).used);
    }

    uint16_t nyDebugReset(void)
    {
        ControlLock lock;
        if (!lock.Locked())
        {
            return 0;
        }
        const uint32_t used = UnpackState(nyDebugState.load(std::memory_order_acquire)).used;
        TakeUsedPart(used, nullptr);
        return static_cast<uint16_t>(used);
    }

} // extern "C"
