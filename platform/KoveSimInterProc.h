// The simulated inter-process kernel driver behind "/dev/interproc".
//
// Its state is one file, <dir>/dev/interproc.state, made on first use and
// mapped by every process that opens the node, guarded by a process-shared
// robust mutex in the file; a descriptor of the node is a descriptor of that
// file. Requests are ioctl(fd, 0xC0046900 + nn, record); records are read and
// written byte by byte, little-endian. A null record gives -1 with EFAULT.
//
//   0x01, 0x21               debug records: byte count (word 2) set to 0
//   0x03, 0x22               debug sizes: u16 0
//   0x23                     web-debug text: accepted
//   0x24 / 0x38              write a transfer buffer: the message (data length
//                            at 8, data from 24) joins the queue of its
//                            channel (byte 0, 0..7); 0x37 / 0x25 read the
//                            oldest message of the channel into the room (data
//                            length at 8), its length to bytes 12-15.
//                            Result (u16 at 16; 0x37 / 0x38 also u32 at 20):
//                            0 done, 1 queue empty, 2 queue full (16
//                            messages), 3 message longer than 4092 bytes,
//                            4 room too small (the message stays queued)
//   0x26 / 0x27 / 0x28       event ring of 256 events of 48 bytes: write one;
//                            write {u16 count, 2 bytes, events}; read {u16
//                            room at 16, events from 24}: the oldest events,
//                            their count to 16. A full ring drops its oldest.
//   0x29                     {events held, events dropped}
//   0x2A / 0x2B / 0x2C       memory pool of 256 KiB: allocate {u16 owner, u16
//                            size, i32 offset (answer, -1 refused)}; free and
//                            change owner {u16 owner, 2 bytes, u32 offset}
//                            (free: -1 with EPERM for another owner's block,
//                            EINVAL for an offset that is no block)
//   0x2D                     pool properties: u32 0, u32 pool size, u32
//                            granule 16, u32 blocks at most, rest 0
//   0x2E                     diagnosis: pool size, bytes in use, bytes free,
//                            blocks in use, rest 0
//   0x2F                     statistics: allocations, frees, refused
//                            allocations, owner changes, 0, 0
//   0x30, 0x31               pool trace: zeros
//   0x32                     module status record (slot + 16 at byte 10)
//   0x33                     update state {x, started, 0}
//   0x34                     status (124 bytes): per slot 0..15 its state word
//                            (u16 at 8 of its status record) cut to a byte,
//                            0xFF for none; bytes 16..31 1 for a module error;
//                            bytes 32..34 the update state
//   0x35 / 0x36 / 0x39       connections: a new id (u16 at 0) / close / kill
//   0x3A / 0x3B / 0x3C       module error of the slot at byte 10 (slot + 16)
//                            set / cleared; all cleared
//   0x3E / 0x3F / 0x40       the same event ring requests for 80-byte events
//   0x41 / 0x42              update progress: 112-byte records kept 32 deep;
//                            the read gives them oldest first, zero-filled
//   0x43                     error message record: zeros
//   others                   -1 with EINVAL
//
// mmap of the node maps the pool (offset and length within it).
#ifndef KOVE_SIM_INTERPROC_H
#define KOVE_SIM_INTERPROC_H

#include <cstdint>

constexpr uint32_t kSimInterProcChannels = 8;
constexpr uint32_t kSimInterProcQueueDepth = 16;
constexpr uint32_t kSimInterProcMessageBytes = 4092;
constexpr uint32_t kSimInterProcPoolBytes = 256u << 10;

#endif
