// Process-wide data and helpers of the driver framework: the one driver object of the process,
// the root of all driver files, the software clock, priority-inheritance mutexes and the
// SIGTERM path.
#ifndef QTX_GLOBAL_H
#define QTX_GLOBAL_H

#include <pthread.h>
#include <string>

class CQTX;

// The process's one driver object; null until CQTX::Init sets it. Read by the SIGTERM path and
// by the C-level bus functions.
extern CQTX* ptGlobalQTX;

// Root of all driver files ("/Applications/tmp/Driver/" on the device; on a simulated device
// the same path inside the simulation directory, set when the first driver object is made) and
// the directory separator. Both may be changed by a program before it starts its driver.
extern std::string sQTXRootDirectory;
extern std::string sQTXDirectorySeperator;

// Gives freed heap memory back to the system (called before each wait for a request).
void heap_minimize();

// Wall-clock time in seconds with microseconds: the time stamp of log lines and reports. It
// jumps when the device's clock is set, so it never measures a wait.
double GetSoftwareTime();

// Seconds on the monotonic clock (an arbitrary origin, never set back): the time base of every
// deadline and time-out.
double GetMonotonicTime();

// Creates a directory and its missing parents; true when it exists afterwards.
bool QTXMakeDirectories(const std::string& path);

// Initialises a process-private mutex with the priority-inheritance protocol; returns the
// result of pthread_mutex_init. Every mutex of the framework is made with it.
int NyMutexCreatePrivate(pthread_mutex_t* mutex);

// Installs the SIGTERM handler. The handler itself only wakes a terminator thread (started on
// the first call), which runs ptGlobalQTX->Terminate(), closes the base library's sockets and
// ends the process with the status 255. Safe to call more than once.
void SetSignalTerm();

// The SIGTERM handler: async-signal-safe, it only writes one byte to the terminator's pipe.
void TermSignalFunc(int signal);

// Set and clear ptGlobalQTX under the lock that the terminator thread holds while it runs
// Terminate, so that a driver object is never terminated while it is being destroyed.
// ClearGlobalQTX clears only when ptGlobalQTX is that driver.
void SetGlobalQTX(CQTX* driver);
void ClearGlobalQTX(CQTX* driver);

// The process's driver object for the time of one use by a C-level unit (a bus word of a
// hardware unit): while the use lasts the object is neither set, cleared nor destroyed, since
// setting and clearing ptGlobalQTX wait for it. Driver() is null without a driver object.
class CGlobalQTXUse
{
public:
    CGlobalQTXUse();
    ~CGlobalQTXUse();
    CGlobalQTXUse(const CGlobalQTXUse&) = delete;
    CGlobalQTXUse& operator=(const CGlobalQTXUse&) = delete;
    CQTX* Driver() const { return m_pDriver; }

private:
    CQTX* m_pDriver;
};

#endif
