// The device's event log, one file that every program of the device appends to.
//
// Each entry is written under an exclusive flock of the file: the size check, the cut of an
// overlong log and the append form one step, so entries of several processes never mix and an
// entry that another process appends while the log is cut is not lost. The log is cut in place
// (truncated, never replaced), so descriptors that other processes hold stay on the one file.
#include "QTXReport.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KovePlatform.h"

const char* const sQTXEventLogFile = "/tmp/Update/Event.log";

namespace
{
bool WriteAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size())
    {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Cuts a log above the limit to "[...] " and its last bytes. The caller holds the lock.
void CutEventLog(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || status.st_size <= QTX_EVENT_LOG_LIMIT)
        return;

    std::string tail(static_cast<size_t>(QTX_EVENT_LOG_TAIL), '\0');
    size_t length = 0;
    const off_t start = status.st_size - QTX_EVENT_LOG_TAIL;
    while (length < tail.size())
    {
        const ssize_t n =
            pread(fd, &tail[length], tail.size() - length, start + static_cast<off_t>(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += static_cast<size_t>(n);
    }
    tail.resize(length);

    if (ftruncate(fd, 0) == 0)
        WriteAll(fd, "[...] " + tail);
}
} // namespace

bool StoreEvent(const std::string& text, const std::string& source)
{
    const std::string path = PlatPath(std::string(sQTXEventLogFile));
    const int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;

    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR)
    {
    }

    CutEventLog(fd);
    const std::string entry = "[t=" + std::to_string(static_cast<long long>(time(nullptr))) +
                              "s : " + source + "] " + text + "\n";
    WriteAll(fd, entry);

    if (locked == 0)
        flock(fd, LOCK_UN);
    close(fd);
    return true;
}
