// Flash records: the head, and whole reads and writes through the platform layer.
#include "QTXFlashRecord.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "KovePlatform.h"

void EncodeFlashRecordHead(const char* tag, uint32_t length,
                           unsigned char head[QTX_FLASH_RECORD_HEAD_BYTES])
{
    memset(head, 0, QTX_FLASH_RECORD_HEAD_BYTES);
    for (int i = 0; i < 4 && tag != nullptr && tag[i] != 0; ++i)
        head[i] = static_cast<unsigned char>(tag[i]);
    for (int i = 0; i < 4; ++i)
        head[8 + i] = static_cast<unsigned char>(length >> (8 * i));
}

QTXFlashRecordHead DecodeFlashRecordHead(const unsigned char head[QTX_FLASH_RECORD_HEAD_BYTES])
{
    QTXFlashRecordHead record;
    memcpy(record.acTag, head, 4);
    record.acTag[4] = 0;
    for (int i = 0; i < 4; ++i)
    {
        record.uZero |= static_cast<uint32_t>(head[4 + i]) << (8 * i);
        record.uLength |= static_cast<uint32_t>(head[8 + i]) << (8 * i);
    }
    return record;
}

bool IsFlashRecord(const QTXFlashRecordHead& head, const char* tag)
{
    return tag != nullptr && strlen(tag) == 4 && memcmp(head.acTag, tag, 4) == 0 && head.uZero == 0;
}

size_t FlashReadFully(int fd, void* data, size_t count)
{
    size_t done = 0;
    while (done < count)
    {
        const ssize_t n = PlatRead(fd, static_cast<char*>(data) + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t FlashWriteFully(int fd, const void* data, size_t count)
{
    size_t done = 0;
    while (done < count)
    {
        const ssize_t n = PlatWrite(fd, static_cast<const char*>(data) + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (n == 0)
                errno = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

int WriteFlashRecord(int fd, const char* tag, const std::string& data)
{
    if (data.size() > UINT32_MAX)
        return EINVAL;
    std::vector<unsigned char> record(QTX_FLASH_RECORD_HEAD_BYTES + data.size());
    EncodeFlashRecordHead(tag, static_cast<uint32_t>(data.size()), record.data());
    if (!data.empty())
        memcpy(record.data() + QTX_FLASH_RECORD_HEAD_BYTES, data.data(), data.size());
    if (PlatLseek(fd, 0, SEEK_SET) != 0)
        return errno ? errno : EIO;
    errno = 0;
    if (FlashWriteFully(fd, record.data(), record.size()) != record.size())
        return errno ? errno : EIO;
    return 0;
}

uint64_t FlashRecordPaddedBytes(uint64_t length)
{
    const uint64_t bytes = QTX_FLASH_RECORD_HEAD_BYTES + length;
    const uint64_t last = bytes % QTX_FLASH_BLOCK_BYTES;
    const uint64_t padding =
        last == 0 ? 0 : (QTX_FLASH_PAGE_BYTES - last % QTX_FLASH_PAGE_BYTES) % QTX_FLASH_PAGE_BYTES;
    return bytes + padding;
}

bool WriteFlashRecordBlocks(int partition, int source, uint32_t length, const char* tag,
                            uint64_t room, const std::function<void(uint64_t)>& progress)
{
    if (QTX_FLASH_RECORD_HEAD_BYTES + static_cast<uint64_t>(length) > room)
        return false;
    std::vector<unsigned char> block;
    try
    {
        block.resize(QTX_FLASH_BLOCK_BYTES);
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    EncodeFlashRecordHead(tag, length, block.data());
    size_t filled = QTX_FLASH_RECORD_HEAD_BYTES;
    uint64_t done = 0;
    uint64_t written = 0;
    for (;;)
    {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(QTX_FLASH_BLOCK_BYTES - filled, length - done));
        if (want > 0)
        {
            if (FlashReadFully(source, block.data() + filled, want) != want)
                return false;
            filled += want;
            done += want;
        }
        const bool last = done == length;
        if (filled < QTX_FLASH_BLOCK_BYTES && !last)
            continue;
        size_t count = filled;
        if (filled < QTX_FLASH_BLOCK_BYTES)
        {
            // Padding to a whole page, never past the partition's end.
            const size_t page =
                (filled + QTX_FLASH_PAGE_BYTES - 1) / QTX_FLASH_PAGE_BYTES * QTX_FLASH_PAGE_BYTES;
            count = static_cast<size_t>(std::min<uint64_t>(page, room - written));
            memset(block.data() + filled, 0xFF, count - filled);
        }
        if (count > 0 && FlashWriteFully(partition, block.data(), count) != count)
            return false;
        written += count;
        if (count == QTX_FLASH_BLOCK_BYTES)
            fsync(partition);
        if (progress)
            progress(done);
        filled = 0;
        if (last)
            return true;
    }
}
