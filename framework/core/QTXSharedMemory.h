// POSIX named shared memory for the drivers: a handle of one mapped object, and the requests
// that ask the system driver to allocate, free or save such an object.
//
// Every function fails softly: a null handle, 0 or false.
#ifndef QTX_SHARED_MEMORY_H
#define QTX_SHARED_MEMORY_H

// Flags of OpenNSMemory.
constexpr int QTX_NSMEMORY_READ = 0x1;
constexpr int QTX_NSMEMORY_WRITE = 0x2;
// Create the object when it is missing.
constexpr int QTX_NSMEMORY_CREATE = 0x4;
// Together with QTX_NSMEMORY_CREATE: fail when the object exists. Alone it has no effect.
constexpr int QTX_NSMEMORY_EXCLUSIVE = 0x8;

// Longest name a handle keeps (without its terminating zero).
constexpr int QTX_NSMEMORY_NAME_LENGTH = 63;

// One opened object; made by OpenNSMemory, given back with CloseNSMemory.
struct QTXNSMemory
{
    int iDescriptor; // shm_open descriptor, -1 once closed
    void* pAddress;  // the shared mapping
    int iLength;     // mapped bytes
    int iFlags;      // flags it was opened with
    char acName[QTX_NSMEMORY_NAME_LENGTH + 1];
};

// Opens (or with QTX_NSMEMORY_CREATE creates) the object `name` and maps `size` bytes of it,
// for reading, writing or both as the flags say. An object smaller than `size` is enlarged
// when the handle may write; an object that is larger keeps its size, since other processes
// may have mapped all of it. For a handle that may write, every page of the `size` bytes is
// backed by the file system before it is mapped (a page that could not be would kill the
// writer with SIGBUS). Null without an access flag, for a size below 1, a null name, an object
// that cannot be opened, one that stays smaller than `size`, or one without room for its pages
// (a full file system); errno then tells why.
QTXNSMemory* OpenNSMemory(const char* name, int flags, int size);
// Closes the descriptor and frees the handle; a null handle is ignored. The mapping stays until
// the process ends, so pointers taken from the handle remain usable.
void CloseNSMemory(QTXNSMemory* handle);
// Closes the descriptor, unmaps the object from this process and frees the handle; with
// `removeObject` the object's name is removed too, so the next open of the name makes a new one.
// Other processes keep what they mapped. A null handle is ignored. For an owner that gives a
// memory up for good: pointers taken from the handle are invalid afterwards.
void ReleaseNSMemory(QTXNSMemory* handle, bool removeObject);

// Address, length and name of the object; null, 0 and null for a null handle.
void* GetNSMemoryPointer(const QTXNSMemory* handle);
int GetNSMemoryLength(const QTXNSMemory* handle);
const char* GetNSMemoryName(const QTXNSMemory* handle);
// Whether the handle was opened for reading or writing; false for a null handle.
bool IsNSMemoryReadAllowed(const QTXNSMemory* handle);
bool IsNSMemoryWriteAllowed(const QTXNSMemory* handle);

// Asks the system driver to allocate the object with `size` bytes; true when it answered
// Result="Done". False for a null name or a size below 1 (nothing is sent then).
bool AllocateQTXNamedSharedMemory(const char* name, int size);
// Asks the system driver to free the object; nothing tells whether it did.
void FreeQTXNamedSharedMemory(const char* name);
// Asks the system driver to save the object's contents to a file; true when it answered
// Result="Done". False when either name is null.
bool StoreQTXNamedSharedMemoryToFile(const char* name, const char* fileName);

#endif
