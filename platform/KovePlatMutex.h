// A process-local mutex with the priority-inheritance protocol, usable with
// std::lock_guard and std::unique_lock. The platform layer guards its own
// tables (open simulated descriptors, the simulation settings) with it.
#ifndef KOVE_PLAT_MUTEX_H
#define KOVE_PLAT_MUTEX_H

#include <cerrno>
#include <pthread.h>

class CPlatMutex
{
public:
    CPlatMutex()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        // Where the protocol is not available the mutex stays a plain one.
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        if (pthread_mutex_init(&m_tMutex, &attr) != 0)
            pthread_mutex_init(&m_tMutex, nullptr);
        pthread_mutexattr_destroy(&attr);
    }
    ~CPlatMutex() { pthread_mutex_destroy(&m_tMutex); }
    CPlatMutex(const CPlatMutex&) = delete;
    CPlatMutex& operator=(const CPlatMutex&) = delete;

    void lock() { pthread_mutex_lock(&m_tMutex); }
    void unlock() { pthread_mutex_unlock(&m_tMutex); }

private:
    pthread_mutex_t m_tMutex;
};

// A mutex inside a file that several processes of a simulated device map:
// process-shared and robust, with priority inheritance where available.
// Returns pthread_mutex_init's result.
inline int PlatInitSharedMutex(pthread_mutex_t* m)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    int r = pthread_mutex_init(m, &attr);
    if (r != 0)
    {
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_NONE);
        r = pthread_mutex_init(m, &attr);
    }
    pthread_mutexattr_destroy(&attr);
    return r;
}

// Locks such a mutex. When its owner died inside a request, the state is taken
// over as it stands (every request leaves it usable at each step). True when
// locked.
inline bool PlatLockSharedMutex(pthread_mutex_t* m)
{
    int r = pthread_mutex_lock(m);
    if (r == EOWNERDEAD)
    {
        pthread_mutex_consistent(m);
        r = 0;
    }
    return r == 0;
}

#endif
