// Register stand-ins of the units some FPGA families carry behind ordinary bus words, as far as
// the service tool drives them. They act inside the bus accesses of the simulated FPGA (with
// the device lock held); every other word stays plain memory.
//
// "PDP" (bus-module FPGA), the ADC unit:
//   0x2010, 0x2014   data words of ADC channel 0 and 1. A write keeps its low 16 bits (the
//                    sample counter) and latches the channel's two samples for that counter
//                    into bits 16..23 (first value) and 24..31 (second value), as signed
//                    bytes. For counter n:
//                      channel 0: first (n & 0x3F) - 32, second (n & 0x0F) + 16
//                      channel 1: first 10 - (n & 0x3F), second (n & 0x03) + 100
//                    While idle (never written, or the last write had bit 15 set) the ADC
//                    runs freely: each read of 0x2010 takes the next counter (per reading
//                    process, from 1), and 0x2014 shows the same counter.
//   0x2020..0x202C   calibration words: plain memory.
//
// "LIO" (embedded link I/O FPGA), the window of the link I/O module:
//   0x2010           a write with bit 31 resets the module (status 0, nothing received)
//   0x2014           command: (value << 16) | 0x4000 | address writes a window byte,
//                    0x2000 | address reads one into the data word
//   0x2018           data word: the byte last read (low 8 bits)
//   window bytes     0xFE0 status: 0 after a reset, 1 (ready) from its second read on,
//                      3 after a last block that came complete, 5 after one that did not
//                    0xFE4 / 0xFE5 block length (0xFE5 bit 7: last block)
//                    0xFE6 control: 0x10 transfers the block; reads as set once, then clear
//                    0xFEA fiber-optic mode: kept
//                    0x1000 + i configuration byte i of the block: taken in order
//                    0xFF0..0xFF3 bytes received in complete blocks, 0xFF4..0xFF7 their sum
//                      (little endian; for checking what arrived)
//                    others: kept as written (the range 0xFE0..0xFFF), 0 elsewhere
#ifndef KOVE_SIM_UNITS_H
#define KOVE_SIM_UNITS_H

#include <cstdint>

struct SSimLioWindow
{
    uint8_t aControl[0x20]; // window bytes 0xFE0..0xFFF
    uint32_t uData;         // what the data word shows
    uint32_t uStatusReads;  // reads of the status since the reset
    uint32_t uBusyReads;    // reads of the control byte for which a transfer still shows
    uint32_t uFill;         // configuration bytes taken in order since the last block
    uint32_t uFillSum;      // their sum
    uint32_t uFault;        // a block came incomplete or out of order since the reset
    uint32_t uBytes;        // bytes of complete blocks
    uint32_t uSum;          // their sum
};

struct SSimRegisters;

// The value stored for a write of value to the word at index (word address / 4), after the
// units of the family acted on it.
uint32_t SimUnitStore(SSimRegisters& regs, uint32_t index, uint32_t value);
// The value a read of the word at index shows, given the stored value.
uint32_t SimUnitLoad(const SSimRegisters& regs, uint32_t index, uint32_t stored);

#endif
