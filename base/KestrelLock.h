/* Locks of the base library's units: every mutex is made with the
 * priority-inheritance protocol, and a scoped holder locks it for a block.
 * Internal to libKestrel (C++ only). */
#ifndef KESTREL_LOCK_H
#define KESTREL_LOCK_H

#include <pthread.h>

namespace kestrel
{
/* Initialises a mutex with priority inheritance; on a system without it, a
 * plain mutex, rather than none. Returns pthread_mutex_init's result. */
inline int CreateMutex(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t tAttr;
    pthread_mutexattr_init(&tAttr);
    pthread_mutexattr_setprotocol(&tAttr, PTHREAD_PRIO_INHERIT);
    int result = pthread_mutex_init(mutex, &tAttr);
    pthread_mutexattr_destroy(&tAttr);
    if (result != 0)
        result = pthread_mutex_init(mutex, nullptr);
    return result;
}

/* Holds a mutex from construction to the end of the block. */
class CLock
{
public:
    explicit CLock(pthread_mutex_t* mutex) : m_pMutex(mutex) { pthread_mutex_lock(m_pMutex); }
    ~CLock() { pthread_mutex_unlock(m_pMutex); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    pthread_mutex_t* m_pMutex;
};
} // namespace kestrel

#endif /* KESTREL_LOCK_H */
