// The simulated FPGA kernel driver behind "/dev/ryxfpga" and "/dev/cdi".
//
// Requests are ioctl(fd, 0xC0046900 + nn, pointer); records are read and
// written byte by byte, little-endian. Both nodes serve the same device (one
// bus, one set of registers) and the same requests, except 0x65, which is the
// 16-byte hex-switch record on "/dev/cdi" and the 520-byte bus-state record
// on "/dev/ryxfpga".
//
//   0x01 debug record        byte count (word 2) set to 0: no debug data
//   0x03 debug size          u16 0
//   0x48 / 0x49 raw read / write   {status, address, byte count, data}: the
//                            status word comes back 0, or nonzero when a word
//                            of the access is refused (nothing is written)
//   0x4A, 0x4E, 0x53, 0x57   waits (records, interrupts, configuration
//                            transfer, dual-port RAM command): fail after
//                            100 ms with ETIMEDOUT, at once with ECANCELED
//                            when 0x4F, 0x55 or 0x58 comes on the same
//                            descriptor during the wait
//   0x4B / 0x4C              interrupt watch start / stop: accepted
//   0x4D                     36-byte interrupt record: zeros (none pending)
//   0x50                     hex-switch record published by the system driver
//   0x51 (and 0x65 on cdi)   16-byte hex-switch record: switches 1 to 4 of the
//                            device in bytes 0 to 3, then 12 zero bytes
//   0x52                     configuration transfer start: accepted
//   0x56                     multi-access: {status, 0, byte count, entries of
//                            {address, value}}; address bit 0 set reads
//   0x5D LED word; 0x5E / 0x5F LED test on / off
//   0x60 update status (u32); 0x61 update error (u32)
//   0x62 u32: 1 when the factory button was held at the device's start
//   0x63 u32: 1 while the factory button is held
//   0x64 u64 time stamp: microseconds of the monotonic clock
//   others (0x54, 0x5C included): -1 with EINVAL
//
// A null record pointer gives -1 with EFAULT.
#ifndef KOVE_SIM_FPGA_H
#define KOVE_SIM_FPGA_H

#include <cstdint>

constexpr unsigned long kSimFpgaRequestBase = 0xC0046900ul;
// Time after which a request that waits for the hardware gives up.
constexpr int kSimFpgaWaitLimitMs = 100;
// Largest byte count of a raw access.
constexpr uint32_t kSimFpgaMaxRawBytes = 16u << 20;

#endif
