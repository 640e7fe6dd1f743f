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

// Handles reserve and release: true when code was one of them, with *result the outcome.
// A reservation needs a filled slot; release always succeeds.
bool SimLibraryReservation(SSimLibraryContext* context, uint32_t code, const void* in,
                           uint32_t inLength, int* result);

// Fills the function table with open, close and the library's call.
int SimLibraryFill(WIO2USR_FUNCTIONS* table, WIO2USR_IoctlFunction ioctl);

inline uint32_t SimGetLe32(const void* p)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

inline void SimPutLe32(void* p, uint32_t value)
{
    uint8_t* b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(value >> (8 * i));
}

#endif
