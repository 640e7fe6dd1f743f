// Driver threads: started through one trampoline that keeps the count of running threads,
// which the release of the driver waits for.
//
// Interim state: thread start and end are not yet recorded in the trace buffer.
#include "QTX.h"

#include <cstdlib>
#include <sched.h>
#include <unistd.h>

namespace
{
struct QTXThreadStartBlock
{
    CQTX* driver;
    QTXThreadFunction function;
    void* argument;
    int intArgument;
};

void* QTXThreadStart(void* parameter)
{
    QTXThreadStartBlock* block = static_cast<QTXThreadStartBlock*>(parameter);
    if (block == nullptr)
        return reinterpret_cast<void*>(2);
    CQTX* driver = block->driver;
    bool result = block->function(driver, block->argument, block->intArgument);
    free(block);
    driver->ThreadCounter(-1);
    return reinterpret_cast<void*>(result ? 0 : 1);
}
} // namespace

QTXThreadHandle CQTX::StartThread(QTXThreadFunction function, void* argument, int intArgument,
                                  int priorityDelta)
{
    QTXThreadHandle handle{};
    handle.bValid = false;

    QTXThreadStartBlock* block =
        static_cast<QTXThreadStartBlock*>(malloc(sizeof(QTXThreadStartBlock)));
    if (block == nullptr)
        throw CQTXECommunicationError("ThreadFailed", "Can not start thread due to missing memory",
                                      __FILE__, __LINE__, Error);
    block->driver = this;
    block->function = function;
    block->argument = argument;
    block->intArgument = intArgument;
    bContinueThreads = true;

    // Counted before it exists, so that a release right after the start waits for it too.
    ThreadCounter(1);
    if (pthread_create(&handle.tThread, nullptr, QTXThreadStart, block) != 0)
    {
        ThreadCounter(-1);
        free(block);
        return handle;
    }
    handle.bValid = true;

    if (priorityDelta >= -99)
    {
        int policy = 0;
        struct sched_param parameter = {};
        if (pthread_getschedparam(handle.tThread, &policy, &parameter) == 0)
        {
            int priority = parameter.sched_priority + priorityDelta;
            parameter.sched_priority = priority < 1 ? 1 : (priority > 99 ? 99 : priority);
            pthread_setschedparam(handle.tThread, SCHED_RR, &parameter);
        }
    }
    usleep(10000);
    return handle;
}

int CQTX::ThreadCounter(int delta)
{
    LockGuard guard(&tThreadCountMutex);
    guard.Lock();
    iThreadCount += delta;
    return iThreadCount;
}
