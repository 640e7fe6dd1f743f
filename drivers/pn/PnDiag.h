// The sniffer's diagnostic server on TCP port 999: identity and versions of the sniffer, the
// devices and application relations the PROFINET controller has seen, its state and
// statistics, and a few controller commands. Twelve server threads serve the port, each one
// client at a time.
#ifndef PN_DIAG_H
#define PN_DIAG_H

#include <atomic>
#include <cstdint>
#include <functional>

#include "QTXPnDiagFrame.h"

// What the command handler needs of the driver.
struct PnDiagContext
{
    // Bytes 0-15 of the module information: hardware address, hardware version, software
    // version, FPGA version.
    uint8_t aucIdentity[16] = {};
    // The active remap counters (input analog, input digital, outputs, digital outputs).
    std::function<void(uint32_t counters[4])> activeCounters;
    // The monitor-port status byte.
    std::function<uint8_t()> monitorPortStatus;
};

// Serves one request: `buffer` holds the payload (payloadLength bytes) and has room for
// `room` bytes; the reply payload is written over it and its length left in *replyLength.
// Returns the result code of the reply head.
uint16_t PnDiagHandleCommand(const PnDiagContext& context, uint16_t command, uint8_t* buffer,
                             uint32_t payloadLength, uint32_t room, uint32_t* replyLength);

// One server thread's loop: serves port 999 while `run` is 1. Idle clients are dropped after
// idleMs of silence.
void PnDiagServe(const PnDiagContext& context, const std::atomic<int>& run, int idleMs = 10000);

#endif
