/* Loading the module libraries ("libSRW.so", "libPLV.so", WIO2USR.h) and calling them through
 * a DeviceIoControl-shaped interface. The library is found through the platform layer.
 *
 * No function prints, logs or throws. */
#ifndef MODULE_LIBRARY_H
#define MODULE_LIBRARY_H

#include <stdint.h>

#include "WIO2USR.h"

#define WIO2USR_HANDLE_MAGIC 0x56456734u
#define WIO2USR_KIND_LIBRARY 1u

/* An open library: its loader handle, the context its open entry returned and its
 * function table. */
typedef struct WIO2USR_HANDLE WIO2USR_HANDLE;

/* Loads the library (RTLD_LAZY), fills its function table through WIO2USR_GetFunctions
 * (which must return 0) and opens it. Null for a null or empty path or any failure; nothing
 * stays loaded then. */
WIO2USR_HANDLE* WIO2USR_OpenDll(const char* path);

/* One call of the library: its result (nonzero is success); -1 for a null handle or a
 * library without the call. */
int WIO2USR_DeviceIoControl(WIO2USR_HANDLE* handle, uint32_t code, void* in, uint32_t inLength,
                            void* out, uint32_t outLength, uint32_t* bytesReturned);

/* Closes the library's context, unloads it and frees the handle; nothing for null. */
void WIO2USR_CloseHandle(WIO2USR_HANDLE* handle);

/* True when the call reached the library and it reported success. */
bool WIO2USR_Call(WIO2USR_HANDLE* handle, uint32_t code, void* in, uint32_t inLength, void* out,
                  uint32_t outLength, uint32_t* bytesReturned);

#endif
