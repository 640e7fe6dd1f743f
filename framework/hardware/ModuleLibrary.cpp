// Loading and calling the module libraries. Every failure on the way to an open library
// unloads what was loaded and frees the handle.
#include "ModuleLibrary.h"

#include "KovePlatform.h"

#include <dlfcn.h>
#include <new>
#include <string>

struct WIO2USR_HANDLE
{
    uint32_t uMagic = WIO2USR_HANDLE_MAGIC;
    uint32_t uKind = WIO2USR_KIND_LIBRARY;
    void* pLibrary = nullptr;
    void* pContext = nullptr;
    WIO2USR_FUNCTIONS tTable = {};
    std::string sPath;
};

namespace
{
bool Valid(const WIO2USR_HANDLE* handle)
{
    return handle != nullptr && handle->uMagic == WIO2USR_HANDLE_MAGIC;
}
} // namespace

WIO2USR_HANDLE* WIO2USR_OpenDll(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return nullptr;
    WIO2USR_HANDLE* handle = new (std::nothrow) WIO2USR_HANDLE();
    if (handle == nullptr)
        return nullptr;
    handle->sPath = path;
    handle->pLibrary = PlatDlopen(path, RTLD_LAZY);
    WIO2USR_GetFunctionsEntry entry = handle->pLibrary != nullptr
                                          ? reinterpret_cast<WIO2USR_GetFunctionsEntry>(
                                                dlsym(handle->pLibrary, WIO2USR_ENTRY_NAME))
                                          : nullptr;
    if (entry == nullptr || entry(&handle->tTable) != 0)
    {
        // A library without the entry, or one that refuses it, is not kept loaded.
        if (handle->pLibrary != nullptr)
            dlclose(handle->pLibrary);
        delete handle;
        return nullptr;
    }
    if (handle->tTable.pfnOpen != nullptr)
        handle->pContext = handle->tTable.pfnOpen();
    return handle;
}

int WIO2USR_DeviceIoControl(WIO2USR_HANDLE* handle, uint32_t code, void* in, uint32_t inLength,
                            void* out, uint32_t outLength, uint32_t* bytesReturned)
{
    if (!Valid(handle) || handle->tTable.pfnDeviceIoControl == nullptr)
        return -1;
    return handle->tTable.pfnDeviceIoControl(handle->pContext, code, in, inLength, out, outLength,
                                             bytesReturned);
}

bool WIO2USR_Call(WIO2USR_HANDLE* handle, uint32_t code, void* in, uint32_t inLength, void* out,
                  uint32_t outLength, uint32_t* bytesReturned)
{
    if (!Valid(handle) || handle->tTable.pfnDeviceIoControl == nullptr)
        return false;
    return WIO2USR_DeviceIoControl(handle, code, in, inLength, out, outLength, bytesReturned) != 0;
}

void WIO2USR_CloseHandle(WIO2USR_HANDLE* handle)
{
    if (!Valid(handle))
        return;
    if (handle->tTable.pfnOpen != nullptr && handle->tTable.pfnClose != nullptr)
        handle->tTable.pfnClose(handle->pContext);
    if (handle->uKind == WIO2USR_KIND_LIBRARY && handle->pLibrary != nullptr)
        dlclose(handle->pLibrary);
    handle->uMagic = 0;
    delete handle;
}
