// Properties that differ between the hardware variants of the platform, keyed by the FPGA
// identification: interrupt number, offset of the fiber-optic area, front-LED test sequence,
// LED description and a word of variant flags.
//
// The identification is the low 24 bits of the word at bus address 0: three ASCII letters with
// the first letter in the lowest byte, so "WAG" is 0x474157.
//
// The table is constant. The current row is chosen with SetFpgaDependence (normally once, when
// the driver determines its hardware family) and read through the accessors below, which may be
// called from any thread.
#ifndef FPGA_DEPENDENCE_H
#define FPGA_DEPENDENCE_H

#include <cstdint>

// Identification word of three letters, first letter in the lowest byte.
constexpr uint32_t MakeFpgaId(char first, char second, char third)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(first)) |
           (static_cast<uint32_t>(static_cast<unsigned char>(second)) << 8) |
           (static_cast<uint32_t>(static_cast<unsigned char>(third)) << 16);
}

// Only the low 24 bits of the bus word carry the identification.
constexpr uint32_t kFpgaIdMask = 0x00FFFFFF;
// Id of the row that ends the table.
constexpr uint32_t kFpgaDependenceEndId = 0xFFFFFFFF;
// Id that the row for an unknown identification carries.
constexpr uint32_t kFpgaDependenceUnknownId = 0x00FFFFFF;
// Rows of the table, the end row included.
constexpr int kFpgaDependenceRows = 15;

// One hardware variant.
struct FpgaDependence_t
{
    uint32_t uFpgaId;   // 24-bit identification; kFpgaDependenceEndId ends the table
    uint32_t uIrq;      // interrupt number of the FPGA
    uint32_t uFOoffset; // offset of the fiber-optic area
    // LED test steps ended by a 0 word, or null. 0x50000000 separates groups of steps; a step
    // with bits 31-30 = 10 lights the LEDs of mask bits 0-29; top nibble 6 and 7 are masks
    // (bits 0-27) of the second and third LED word; 0x40000001 and 0x40000002 switch the first
    // and second separately switched LED.
    const uint32_t* pLedTestSequence;
    const uint32_t* pLedsSpecification; // three words, or null
    uint32_t uFlags;                    // variant flags, passed on to the consumers
};

// The variant table, searched in order and ended by the row with id kFpgaDependenceEndId.
extern const FpgaDependence_t FpgaDependence[kFpgaDependenceRows];

// Row whose id equals the low 24 bits of `id`. For an identification that is not in the table
// the row for unknown variants: the values of the PNA row with the id kFpgaDependenceUnknownId.
// Never null.
const FpgaDependence_t* SearchFpgaDependence(uint32_t id);

// Makes the row of `id` (SearchFpgaDependence) the current one. 0 when the identification is in
// the table, -1 when the row for unknown variants was taken.
int SetFpgaDependence(uint32_t id);

// The current row; null before any selection.
const FpgaDependence_t* GetFpgaDependence();

// Fields of the current row; 0 before any selection.
uint32_t GetFpgaDependenceFpgaId();
uint32_t GetFpgaDependenceIrq();
uint32_t GetFpgaDependenceFOoffset();
uint32_t GetFpgaDependenceFlags();

// LED test sequence of the current row; null before any selection or for a row without one.
const uint32_t* GetLedTestSequence();

// Copies the three LED description words of the current row through the pointers that are
// not null and returns 0; -1 (nothing copied) before any selection or for a row without one.
int GetLedsSpecification(uint32_t* first, uint32_t* second, uint32_t* third);

#endif
