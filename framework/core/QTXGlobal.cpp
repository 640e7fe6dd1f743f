#include "QTXGlobal.h"

#include <cstdlib>
#include <malloc.h>
#include <sys/time.h>
#include <time.h>

CQTX* ptGlobalQTX = nullptr;

std::string sQTXRootDirectory = "/Applications/tmp/Driver/";
std::string sQTXDirectorySeperator = "/";

void heap_minimize()
{
#ifndef KOVE_FOREIGN_ALLOCATOR
    // Giving memory back costs page faults when it is needed again: trim only when a fair
    // amount lies free, not after every small request (bench_HeapMinimize: a trim before every
    // wait makes a request with a 40 KB document well over a hundred times dearer). (Under a
    // sanitizer the allocator is not glibc's, and there is nothing of glibc's to trim.)
    const size_t kTrimThreshold = 1024 * 1024;
    if (mallinfo2().fordblks < kTrimThreshold)
        return;
    malloc_trim(0);
    // A small allocation afterwards makes the allocator settle its free lists again.
    void* volatile probe = malloc(4);
    free(probe);
#endif
}

double GetSoftwareTime()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
}

double GetMonotonicTime()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1000000000.0;
}

int NyMutexCreatePrivate(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_PRIVATE);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    int result = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return result;
}
