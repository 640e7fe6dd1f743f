// The application watchdog: programs of the device that serve the driver protocol are pinged at
// the interval a Watchdog request gave for them. One that does not answer within its timeout is
// reported in the event log and the log file, a backup of it is made when the request asked
// for one (the oldest backups are removed first, so that at most NumberOfBackups remain), and
// its start command is run. The watch rests while the status LED blinks fast (an update runs).
//
// The request's texts come over the network, so none of them reaches a shell: the start command
// is split into words and run from an argument vector, the backup script gets the backup's name
// as its one argument, and the rotation removes only the backups the watchdog named itself
// ("Backup_" and the time stamp of the trigger), never other entries of the destination.
//
// The list is guarded by tWatchdogMutex, which is held only to read or change the list and for
// the short steps of a trigger: the pings and the backup script run without it, so a Watchdog
// request is answered at once whatever the watched programs do. Each step of a trigger first
// looks, under the lock, whether its entry is still in the list: an entry that a request removed
// or replaced while its ping waited, or while its backup ran, neither prunes backups nor starts
// its program once that request is answered.
//
// The list holds at most SYSTEM_WATCHDOG_CAPACITY entries, and what one change writes to the log
// is bounded too (texts are cut, and a long list is summed up), whatever the requests carry.
#include "QTXSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "KovePlatform.h"
#include "QTXConvert.h"
#include "QTXShell.h"

namespace
{
constexpr int kRoundMs = 100;
// A round that took more than an hour counts as an hour.
constexpr int32_t kLongestStepMs = 3600000;
// Check intervals and timeouts below this are refused.
constexpr int32_t kShortestMs = 100;

// Seconds as milliseconds, rounded; values beyond the range of int32_t are refused as 0 would be
// for a timeout (so a huge or negative number never wraps into a valid one).
int32_t SecondsToMs(const std::string& text)
{
    const double ms = StringToFloat(text) * 1000.0 + 0.5;
    if (!(ms >= 0.0) || ms > 2147483647.0)
        return -1;
    return static_cast<int32_t>(ms);
}

std::string ChildText(const XMLNode& parent, const char* name, bool& present)
{
    const XMLNode child = parent.getChildNode(name);
    present = !child.isEmpty();
    return present ? CharPointerToString(child.getText()) : std::string();
}

std::string ChildText(const XMLNode& parent, const char* name)
{
    bool present = false;
    return ChildText(parent, name, present);
}

bool TextUsable(const std::string& text)
{
    return !text.empty() && text.size() <= SYSTEM_WATCHDOG_TEXT_LENGTH;
}

std::string Seconds(int32_t milliseconds)
{
    return FloatToString(milliseconds / 1000.0);
}

const char kBackupPrefix[] = "Backup_";

// What one change of the list writes to the log: each text at most this many bytes, and entry
// lines only until the message has this many bytes (the rest are counted).
constexpr size_t kLoggedTextBytes = 128;
constexpr size_t kLoggedListBytes = 8192;

// The text as the log shows it: cut (at a character's start) and marked when it is long.
std::string Logged(const std::string& text)
{
    if (text.size() <= kLoggedTextBytes)
        return text;
    size_t cut = kLoggedTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut) + "...";
}

bool AllDigits(const std::string& text, size_t from, size_t to)
{
    if (from >= to)
        return false;
    for (size_t i = from; i < to; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}
} // namespace

bool IsWatchdogBackupName(const std::string& name)
{
    const size_t prefix = sizeof kBackupPrefix - 1;
    if (name.compare(0, prefix, kBackupPrefix) != 0)
        return false;
    const size_t dot = name.find('.', prefix);
    if (dot == std::string::npos)
        return AllDigits(name, prefix, name.size());
    return AllDigits(name, prefix, dot) && AllDigits(name, dot + 1, name.size());
}

bool PruneBackups(const std::string& directory, int keep, std::vector<std::string>* removed)
{
    namespace fs = std::filesystem;
    std::error_code error;
    struct Backup
    {
        fs::file_time_type tTime;
        std::string sName;
    };
    std::vector<Backup> backups;
    fs::directory_iterator entry(directory, error);
    if (error)
        return false;
    for (; entry != fs::directory_iterator(); entry.increment(error))
    {
        if (error)
            return false;
        const std::string name = entry->path().filename().string();
        // Whatever else lies in the destination is not the watchdog's to remove.
        if (!IsWatchdogBackupName(name))
            continue;
        std::error_code timeError;
        // A link's own time: the link is what lies in the directory.
        const fs::file_time_type time =
            fs::symlink_status(entry->path(), timeError).type() == fs::file_type::symlink
                ? fs::file_time_type::min()
                : entry->last_write_time(timeError);
        backups.push_back({timeError ? fs::file_time_type::min() : time, name});
    }
    std::sort(backups.begin(), backups.end(),
              [](const Backup& a, const Backup& b)
              { return a.tTime != b.tTime ? a.tTime < b.tTime : a.sName < b.sName; });

    const int64_t excess = static_cast<int64_t>(backups.size()) + 1 - keep;
    for (int64_t i = 0; i < excess && i < static_cast<int64_t>(backups.size()); ++i)
    {
        // The name comes from the directory listing: it names an entry of that directory and
        // nothing else. A link is removed, never followed.
        std::error_code removeError;
        fs::remove_all(fs::path(directory) / backups[i].sName, removeError);
        if (removed != nullptr)
            removed->push_back(backups[i].sName);
    }
    return true;
}

// ---- The Watchdog request

void CSystem::ProcessWatchdog()
{
    const XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    WatchdogEntry entry;
    bool valid = true;
    const auto refuse = [&](const char* name, const char* text)
    {
        tXmlCommandFile.SetError(CQTXError(name, text, __FILE__, __LINE__, Error, "GeneralError"));
        valid = false;
    };

    entry.iPort = StringToInt(ChildText(root, "Port"));
    if (entry.iPort == 0)
        refuse("WrongPort", "Port is missing or wrong");
    entry.iCheckIntervalMs = SecondsToMs(ChildText(root, "CheckInterval"));
    if (entry.iCheckIntervalMs != 0 && entry.iCheckIntervalMs < kShortestMs)
        refuse("WrongCheckInterval", "CheckInterval is missing or less than 0.1 seconds");
    entry.iTimeoutMs = SecondsToMs(ChildText(root, "Timeout"));
    if (entry.iTimeoutMs < kShortestMs)
        refuse("WrongTimeout", "Timeout is missing or less than 0.1 seconds");
    entry.sAppName = ChildText(root, "AppName");
    if (!TextUsable(entry.sAppName))
        refuse("AppNameMissing", "AppName is missing, empty or too long");
    entry.sAppStartCmd = ChildText(root, "AppStartCmd");
    if (!TextUsable(entry.sAppStartCmd))
        refuse("AppStartCmdMissing", "AppStartCmd is missing, empty or too long");

    const XMLNode backup = root.getChildNode("Backup");
    if (!backup.isEmpty())
    {
        entry.sBackupScript = ChildText(backup, "BackupScript");
        if (!TextUsable(entry.sBackupScript))
            refuse("BackupScriptMissing",
                   "Backup is used but BackupScript is missing, empty or too long");
        entry.sBackupDestination = ChildText(backup, "BackupDestination");
        if (!TextUsable(entry.sBackupDestination))
            refuse("BackupDestinationMissing",
                   "Backup is used but BackupDestination is missing, empty or too long");
        entry.iNumberOfBackups = StringToInt(ChildText(backup, "NumberOfBackups"));
        if (entry.iNumberOfBackups < 1)
            refuse("NumberOfBackupsMissing",
                   "Backup is used but NumberOfBackups is missing, empty or less than 1");
    }
    if (!valid)
        return;
    // The interval and timeout are at most 2^31 ms each: the sum is formed in 64 bits.
    const int64_t grace = 2 * (static_cast<int64_t>(entry.iCheckIntervalMs) + entry.iTimeoutMs);
    entry.iRemainingMs = static_cast<int32_t>(std::min<int64_t>(grace, INT32_MAX));
    if (!SetWatchdogEntry(entry))
        refuse("TooManyWatchdogs",
               ("The watchdog list is full (" + std::to_string(SYSTEM_WATCHDOG_CAPACITY) +
                " entries): port " + std::to_string(entry.iPort) + " is not watched")
                   .c_str());
}

bool CSystem::SetWatchdogEntry(const WatchdogEntry& entry)
{
    std::string text;
    {
        LockGuard guard(&tWatchdogMutex);
        guard.Lock();
        const auto samePort = [&](const WatchdogEntry& e) { return e.iPort == entry.iPort; };
        // A new port past the bound is refused; a port in the list can always be changed.
        if (entry.iCheckIntervalMs != 0 && vWatchdogEntries.size() >= SYSTEM_WATCHDOG_CAPACITY &&
            std::none_of(vWatchdogEntries.begin(), vWatchdogEntries.end(), samePort))
            return false;
        vWatchdogEntries.erase(
            std::remove_if(vWatchdogEntries.begin(), vWatchdogEntries.end(), samePort),
            vWatchdogEntries.end());
        if (entry.iCheckIntervalMs != 0)
        {
            vWatchdogEntries.push_back(entry);
            vWatchdogEntries.back().uId = uNextWatchdogId++;
        }
        text = "Changed Watchdog for " + Logged(entry.sAppName) + ", port " +
               std::to_string(entry.iPort) + ". Active watchdogs: ";
        size_t number = 0;
        for (const WatchdogEntry& e : vWatchdogEntries)
        {
            if (text.size() >= kLoggedListBytes)
            {
                text += "\n  ... " + std::to_string(vWatchdogEntries.size() - number) + " more";
                break;
            }
            text += "\n  [" + std::to_string(++number) + "] " + Logged(e.sAppName) + ", port " +
                    std::to_string(e.iPort) + ": Checked every " + Seconds(e.iCheckIntervalMs) +
                    "s with timeout of " + Seconds(e.iTimeoutMs) + ", StartCmd=\"" +
                    Logged(e.sAppStartCmd) + "\", BackupScript=\"" + Logged(e.sBackupScript) +
                    "\" to \"" + Logged(e.sBackupDestination) +
                    ", max. backups=" + std::to_string(e.iNumberOfBackups);
        }
        text += "\nEnd of watchdog list, " +
                (vWatchdogEntries.empty() ? std::string("no")
                                          : std::to_string(vWatchdogEntries.size())) +
                " entries found";
    }
    WriteToLogfile(text);
    return true;
}

std::vector<WatchdogEntry> CSystem::GetWatchdogEntries() const
{
    LockGuard guard(&tWatchdogMutex);
    guard.Lock();
    return vWatchdogEntries;
}

// ---- The watchdog thread

void CSystem::RunWatchdogRound(int32_t elapsedMs)
{
    if (bFastBlinking)
        return;
    // The entries that are due, taken under the lock; they are pinged without it.
    std::vector<WatchdogEntry> due;
    {
        LockGuard guard(&tWatchdogMutex);
        guard.Lock();
        for (WatchdogEntry& entry : vWatchdogEntries)
        {
            entry.iRemainingMs = static_cast<int32_t>(
                std::max<int64_t>(static_cast<int64_t>(entry.iRemainingMs) - elapsedMs, INT32_MIN));
            if (entry.iRemainingMs >= 1)
                continue;
            entry.iRemainingMs = entry.iCheckIntervalMs;
            due.push_back(entry);
        }
    }

    const std::string ping = sXmlStart + "<Ping/>\r\n";
    const std::string replyFile = FileNameToAbsolutePath("PingAnsw,xml");
    for (const WatchdogEntry& entry : due)
    {
        if (bFastBlinking)
            return;
        if (SendBufferToDriver(ping.data(), static_cast<int>(ping.size()), entry.iTimeoutMs,
                               entry.iPort, replyFile))
            continue;
        if (bFastBlinking)
            return;
        if (!TriggerWatchdog(entry))
            continue;
        // The restarted program gets time before the next ping; an entry that a request
        // changed meanwhile keeps its own time.
        LockGuard guard(&tWatchdogMutex);
        guard.Lock();
        for (WatchdogEntry& e : vWatchdogEntries)
            if (e.uId == entry.uId)
                e.iRemainingMs = static_cast<int32_t>(std::min<int64_t>(
                    2 * (static_cast<int64_t>(e.iCheckIntervalMs) + e.iTimeoutMs), INT32_MAX));
    }
}

bool CSystem::WatchdogListed(uint64_t id) const
{
    return std::any_of(vWatchdogEntries.begin(), vWatchdogEntries.end(),
                       [id](const WatchdogEntry& e) { return e.uId == id; });
}

bool CSystem::TriggerWatchdog(const WatchdogEntry& entry)
{
    // Runs one step of the trigger while the entry is still listed, holding the lock, so that a
    // request that removes the entry is answered either before the step or after it.
    const auto whileListed = [this, &entry](const auto& step)
    {
        LockGuard guard(&tWatchdogMutex);
        guard.Lock();
        if (!WatchdogListed(entry.uId))
            return false;
        step();
        return true;
    };
    if (!whileListed([] {}))
        return false;

    // The time stamp names the backup too: whole milliseconds, so that two backups never
    // share a name.
    const std::string time = FloatToString(GetSoftwareTime(), "%.3f");
    const std::string message = "Watchdog for port " + std::to_string(entry.iPort) +
                                ", application " + entry.sAppName + " triggered " + time;
    StoreEvent(message, "System.Watchdog");
    WriteToLogfile(message);
    SystemSleepMs(100);

    if (!entry.sBackupScript.empty())
    {
        std::vector<std::string> removed;
        const std::string destination = PlatPath(entry.sBackupDestination);
        bool pruned = false;
        if (!whileListed([&]
                         { pruned = PruneBackups(destination, entry.iNumberOfBackups, &removed); }))
            return true;
        for (const std::string& name : removed)
            WriteToLogfile("Deleting backup directory " + name);
        if (!pruned)
            WriteToLogfile("Can not read the backup directory " + entry.sBackupDestination);
        // The backup may take long: it runs without the lock, once the entry was seen listed.
        else if (whileListed([] {}))
            // The script is one program; the backup's name is its one argument.
            ExecuteProgram({PlatPath(entry.sBackupScript), kBackupPrefix + time}, true);
        else
            return true;
    }
    // The start command came over the network: its words are the program and its arguments.
    // It is started, not waited for.
    whileListed([&] { ExecuteProgram(SplitCommandWords(entry.sAppStartCmd), false); });
    return true;
}

bool MyWatchdogThread(CQTX* driver, void* /*argument*/, int /*intArgument*/)
{
    CSystem* system = static_cast<CSystem*>(driver);
    // The monotonic clock: setting the device's clock neither starves nor floods the checks.
    // A longer pause (a suspended device) counts as an hour at most.
    double last = GetMonotonicTime();
    while (driver->ContinueThread())
    {
        SystemSleepMs(kRoundMs);
        const double now = GetMonotonicTime();
        double elapsed = (now - last) * 1000.0;
        if (elapsed < 0 || elapsed > kLongestStepMs)
            elapsed = kLongestStepMs;
        last = now;
        system->RunWatchdogRound(static_cast<int32_t>(elapsed));
    }
    return true;
}
