/* Back end of the module flash file system (QTXPLVAccess.h): plain functions over
 * "libPLV.so" (WIO2USR.h).
 *
 * Plv_* work on one module at a time: Plv_Module_Reserve loads the library and reserves the
 * module, the listing functions read from it, Plv_Module_Release lets it go. They return 1
 * on success and 0 on failure. PlvTools_* each do one whole file operation (load, reserve,
 * act, release, unload) and return PLV_OK, PLV_NOT_SUPPORTED when the module library cannot
 * be had, or PLV_FAILED. Nothing here prints, logs or throws. */
#ifndef PLV_BACKEND_H
#define PLV_BACKEND_H

#include <stdint.h>
#include <string>

#define PLV_OK 0
#define PLV_NOT_SUPPORTED 1
#define PLV_FAILED 2

/* What Plv_Module_Reserve sends: the module and the number of entries expected (0). */
struct SPlvReservation
{
    int32_t iSlot;
    int32_t iModuleId;
    int32_t iCount;
};

int Plv_Initialize();
int Plv_Deinitialize();
int Plv_Module_Reserve(const SPlvReservation* reservation);
int Plv_Module_Release();
/* Number of files of the reserved module. */
int Plv_Enumerate(int* count);
/* count headers of PLV_FS_HEADER_SIZE bytes, and count u32 flash addresses. */
int Plv_List_Filetable(uint8_t* headers, int count);
int Plv_List_Flash_Addr(uint32_t* addresses, int count);

int PlvTools_Dir(int slot, int moduleId);
int PlvTools_Delete(int slot, int moduleId, int flags, const std::string& name);
int PlvTools_Defrag(int slot, int moduleId);
int PlvTools_Format(int slot, int moduleId, bool full);
/* Copies the module's file remoteName into the local file localPath. */
int PlvTools_Read(int slot, int moduleId, const std::string& remoteName,
                  const std::string& localPath);
/* Stores the local file in the module under its file name (the part behind the last "/"). */
int PlvTools_Write(int slot, int moduleId, const std::string& localPath);

#endif
