// Open, close and reservation of the stand-in module libraries.
#include "SimModuleLibrary.h"

#include "KoveSimConfig.h"
#include "SimModuleStore.h"

#include <new>

void* SimLibraryOpen()
{
    return new (std::nothrow) SSimLibraryContext();
}

void SimLibraryClose(void* context)
{
    delete static_cast<SSimLibraryContext*>(context);
}

bool SimLibraryAnswered(void* context, uint32_t code, const void* in, uint32_t inLength,
                        uint32_t* bytesReturned, int* result, int* slot)
{
    if (bytesReturned != nullptr)
        *bytesReturned = 0;
    *result = 0;
    SSimLibraryContext* ctx = static_cast<SSimLibraryContext*>(context);
    if (ctx == nullptr)
        return true;
    if (code == WIO2USR_RELEASE)
    {
        ctx->iSlot = -1;
        *result = 1;
        return true;
    }
    if (code == WIO2USR_RESERVE)
    {
        // An empty slot answers nobody.
        const int wanted =
            in != nullptr && inLength >= 4 ? static_cast<int>(Wio2UsrGetLe32(in)) : -1;
        if (CSimModuleSlot::Present(wanted))
        {
            ctx->iSlot = wanted;
            *result = 1;
        }
        return true;
    }
    *slot = ctx->iSlot;
    return ctx->iSlot < 0;
}

int SimLibraryFill(WIO2USR_FUNCTIONS* table, WIO2USR_IoctlFunction ioctl)
{
    // Only a simulated device has modules of this kind.
    if (table == nullptr || !SimConfig())
        return -1;
    table->pfnOpen = SimLibraryOpen;
    table->pfnClose = SimLibraryClose;
    table->pfnDeviceIoControl = ioctl;
    table->pfnUnused3 = nullptr;
    table->pfnUnused4 = nullptr;
    return 0;
}
