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

bool SimLibraryReservation(SSimLibraryContext* context, uint32_t code, const void* in,
                           uint32_t inLength, int* result)
{
    if (code == WIO2USR_RELEASE)
    {
        context->iSlot = -1;
        *result = 1;
        return true;
    }
    if (code != WIO2USR_RESERVE)
        return false;
    *result = 0;
    if (in == nullptr || inLength < 4)
        return true;
    const int slot = static_cast<int>(SimGetLe32(in));
    if (!CSimModuleSlot::Present(slot))
        return true; // an empty slot answers nobody
    context->iSlot = slot;
    *result = 1;
    return true;
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
