// Backplane-bus access for the C-level hardware units, which have no driver object: three
// entry points that act on the process's driver object (ptGlobalQTX), and the readings of the
// last GetHardwareTime. Each C entry point is the C face of a C++ function of the same
// meaning (store_u32 of CppStoreU32, read_u32 of CppReadU32, check_u32 of CppCheckU32), which
// C++ code of the framework may call directly.
//
// The address parameter has a pointer type but carries the absolute bus address itself; it is
// never dereferenced.
#ifndef QTX_BUS_H
#define QTX_BUS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

    // Writes one word at the absolute bus address: 0, or -1 when there is no driver object.
    int store_u32(uint32_t* address, uint32_t value);
    // Reads one word at the absolute bus address into *value: 0, or -1 when there is no driver
    // object (then *value is left alone).
    int read_u32(uint32_t* address, uint32_t* value);
    // 1 when the word at the absolute bus address equals wanted; 0 when it differs or there is
    // no driver object.
    int check_u32(uint32_t* address, uint32_t wanted);

    // The two readings of the bus clock taken by the last GetHardwareTime on families 0 and 2:
    // seconds and fraction of the first reading, then of the second.
    extern uint32_t tHWTime[4];

#ifdef __cplusplus
}

// The work of the C entry points above, with the same parameters and results.
int CppStoreU32(uint32_t* address, uint32_t value);
int CppReadU32(uint32_t* address, uint32_t* value);
int CppCheckU32(uint32_t* address, uint32_t wanted);
#endif

#endif
