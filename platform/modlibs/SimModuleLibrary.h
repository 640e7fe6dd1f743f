// What the two stand-in module libraries share: the context of an open library (the slot
// it has reserved) and the little-endian field access of their records.
#ifndef SIM_MODULE_LIBRARY_H
#define SIM_MODULE_LIBRARY_H

#include "WIO2USR.h"

#include <cstdint>

struct SSimLibraryContext
{
    int iSlot = -1; // reserved slot, -1 none
};

void* SimLibraryOpen();
void SimLibraryClose(void* context);

// The common start of a call: clears the bytes returned, answers reserve (a filled slot
// only) and release, and refuses every other code while no slot is reserved. True when that
// answered the call (its result in *result); false when the library goes on with the
// reserved slot in *slot.
bool SimLibraryAnswered(void* context, uint32_t code, const void* in, uint32_t inLength,
                        uint32_t* bytesReturned, int* result, int* slot);

// Fills the function table with open, close and the library's call.
int SimLibraryFill(WIO2USR_FUNCTIONS* table, WIO2USR_IoctlFunction ioctl);

#endif
