// The SIGTERM path. The signal handler does nothing but write one byte into a pipe: logging,
// closing sockets or freeing memory are not allowed in a handler, which may interrupt any
// thread in the middle of a malloc or while it holds the log-file mutex. A terminator thread,
// started once per process, waits on that pipe and does the work: it calls the driver's
// Terminate, closes the base library's sockets and ends the process with the status 255.
#include "QTX.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "NySoc.h"

namespace
{
pthread_once_t g_tTerminatorOnce = PTHREAD_ONCE_INIT;
// Held by the terminator while it terminates the driver, and by whoever changes ptGlobalQTX.
pthread_mutex_t g_tGlobalDriverMutex;
std::atomic<bool> g_bTerminatorReady{false};
// [0] is read by the terminator, [1] written by the handler (non-blocking: a handler never
// waits, and one byte in the pipe is enough however many signals come).
int g_aiWakePipe[2] = {-1, -1};

void* TerminatorThread(void*)
{
    char byte;
    for (;;)
    {
        ssize_t n = read(g_aiWakePipe[0], &byte, 1);
        if (n == 1)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        return nullptr; // the pipe is gone: nothing can wake this thread any more
    }

    pthread_mutex_lock(&g_tGlobalDriverMutex);
    if (ptGlobalQTX != nullptr)
    {
        try
        {
            ptGlobalQTX->Terminate();
        }
        catch (...)
        {
            // The process ends below whatever the driver's Terminate threw.
        }
    }
    NySocCloseForce();
    usleep(20000);
    // The other threads keep running until the process is gone, so no static destructors
    // and exit handlers may run under them: flush what was printed and end at once.
    fflush(nullptr);
    _exit(255);
}

// Held while a C-level unit uses the driver object and while ptGlobalQTX changes.
pthread_mutex_t* GlobalDriverUseMutex()
{
    static pthread_mutex_t mutex;
    static const bool created = (NyMutexCreatePrivate(&mutex), true);
    (void)created;
    return &mutex;
}

void StartTerminator()
{
    NyMutexCreatePrivate(&g_tGlobalDriverMutex);
    if (pipe2(g_aiWakePipe, O_CLOEXEC) != 0)
        return;
    fcntl(g_aiWakePipe[1], F_SETFL, fcntl(g_aiWakePipe[1], F_GETFL) | O_NONBLOCK);

    // The terminator takes no signals itself.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    int created = pthread_create(&thread, nullptr, TerminatorThread, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (created != 0)
    {
        close(g_aiWakePipe[0]);
        close(g_aiWakePipe[1]);
        g_aiWakePipe[0] = g_aiWakePipe[1] = -1;
        return;
    }
    pthread_detach(thread);
    g_bTerminatorReady = true;
}
} // namespace

void TermSignalFunc(int /*signal*/)
{
    int savedErrno = errno;
    if (g_aiWakePipe[1] >= 0)
    {
        char byte = 1;
        ssize_t written = write(g_aiWakePipe[1], &byte, 1);
        (void)written; // a full pipe already holds a wake-up
    }
    errno = savedErrno;
}

void SetSignalTerm()
{
    pthread_once(&g_tTerminatorOnce, StartTerminator);
    if (!g_bTerminatorReady)
        return; // without a terminator SIGTERM keeps its default action
    struct sigaction action = {};
    action.sa_handler = TermSignalFunc;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
}

void SetGlobalQTX(CQTX* driver)
{
    pthread_once(&g_tTerminatorOnce, StartTerminator);
    pthread_mutex_lock(&g_tGlobalDriverMutex);
    pthread_mutex_lock(GlobalDriverUseMutex());
    ptGlobalQTX = driver;
    pthread_mutex_unlock(GlobalDriverUseMutex());
    pthread_mutex_unlock(&g_tGlobalDriverMutex);
}

CGlobalQTXUse::CGlobalQTXUse()
{
    pthread_mutex_lock(GlobalDriverUseMutex());
    m_pDriver = ptGlobalQTX;
}

CGlobalQTXUse::~CGlobalQTXUse()
{
    pthread_mutex_unlock(GlobalDriverUseMutex());
}

void ClearGlobalQTX(CQTX* driver)
{
    // Without a terminator nobody reads the pointer under the terminator's lock; a unit that
    // uses the object is waited for either way.
    const bool terminator = g_bTerminatorReady;
    if (terminator)
        pthread_mutex_lock(&g_tGlobalDriverMutex);
    pthread_mutex_lock(GlobalDriverUseMutex());
    if (ptGlobalQTX == driver)
        ptGlobalQTX = nullptr;
    pthread_mutex_unlock(GlobalDriverUseMutex());
    if (terminator)
        pthread_mutex_unlock(&g_tGlobalDriverMutex);
}
