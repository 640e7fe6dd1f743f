// A process-local mutex with the priority-inheritance protocol, usable with
// std::lock_guard and std::unique_lock. The platform layer guards its own
// tables (open simulated descriptors, the simulation settings) with it.
#ifndef KOVE_PLAT_MUTEX_H
#define KOVE_PLAT_MUTEX_H

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

#endif
