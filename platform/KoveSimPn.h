// The simulated hardware of the bus-monitor variant beyond its FPGA: the PROFINET controller
// behind "/dev/pndrv", the MII registers of the PHYs of the two Ethernet ports, and the FPGA's
// frame capture into physical memory.
//
// The PROFINET controller ("/dev/pndrv") keeps its state in <dir>/dev/pndrv.state, one
// key=value a line, guarded by a file lock, shared by every process of the device:
//
//   present=on            off: the node cannot be opened (a device without the controller)
//   answer=0              answer of the list and detail requests (u16 at byte 2 of their
//                         records): 0 done, 6 more data than fitted, 10 not available
//   fail=                 request numbers (low byte in hexadecimal, "26,29") that fail with EIO
//   version=V1.0.0        firmware version text of the version request
//   sniffer=off           what the requests made of the sniffer: off, default (reset to its
//                         defaults), reset (reset after factory defaults), configured
//   configuration=closed  open between configuration begin and end
//   factory-mode=off      the value of the last factory-mode request
//   production-mode=off   on and off by the texts "prodmodeon" and "prodmodeoff"
//   factory-defaults=off  on by the text "factorydefall"
//   resets=0              number of sniffer resets; last-reset: the last reset code
//   devices=0             devices the controller has seen (the device list reports them)
//   subslots=0            subslots the subslot list reports (it fills those it has room for)
//
// The records the controller is handed are kept: the sniffer image of the last start of a
// configuration in <dir>/dev/pndrv.image, of the last "write last configuration" in
// <dir>/dev/pndrv.last-image, and the copy-machine image halves in pndrv.copy-image0 and 1.
//
// Every request is recorded as one line of <dir>/dev/pndrv.log ("0xC0046926 35": the request
// and, for the requests that pass one u32, its value; "write <text>" for a text written to the
// node); the texts themselves are kept in <dir>/dev/pndrv.texts, one a line.
//
// MII: the PHYs of "eth0" and "eth1" answer SIOCGMIIPHY, SIOCGMIIREG and SIOCSMIIREG on any
// socket of the device (the platform layer serves them; the link query SIOCETHTOOL goes to the
// real interface). Registers are 16 bits, 32 per PHY address 0-255, kept in <dir>/dev/mii; all
// read 0 at first except register 10 of PHY 2, which reports the PHY ready (bit 13). Setting the
// reset bit (bit 15 of register 0) takes effect at once and reads back cleared. The own PHY of a
// port (SIOCGMIIPHY) is 1 on "eth0" and 2 on "eth1".
//
// Frame capture: a frame sent on a packet socket of the device (PlatSendTo) passes the FPGA,
// which captures it while bit 0 of its ring control word (bus 0x3020) is set and its ethertype
// is the one in the upper half of bus word 0x3100: the frame goes, behind two zero bytes, to the
// data buffer (bus words 0x3000 base, 0x3004 size) at a 64-byte aligned position (at most 2048
// bytes with the two in front), a 32-byte header to the header buffer
// (0x3010 base, 0x3014 size) at the frame counter: u16 length, u32 data position at 4, u32
// sequence (the counter) at 28. The counter (bus word 0x3024) advances by 32 per frame; bit 30
// of the control word (flush) sets it back to 0 with the next frame. A frame that does not fit
// into the buffers is not captured. A new bus-monitor device has its buffers at 0x30000000
// (1 MiB data) and 0x30100000 (64 KiB headers) and the FPGA version 0x01060064 at bus word 4.
#ifndef KOVE_SIM_PN_H
#define KOVE_SIM_PN_H

#include "KoveSimDescription.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Sets the bus-monitor hardware of a device to its start: a fresh controller state and request
// log, fresh MII registers and, for the bus-monitor families, the FPGA's version and capture
// words. 0 or -1 with errno.
int SimPnResetDevice(const std::string& dir, const SSimDescription& desc);

// The controller's state as its file holds it; false with a sentence in err.
bool SimPnDrvShow(const std::string& dir, std::string* text, std::string* err);
// Sets one key of the controller's state; false with a sentence in err for an unknown key or a
// bad value.
bool SimPnDrvSet(const std::string& dir, const std::string& key, const std::string& value,
                 std::string* err);

// True for the MII requests that the simulated PHYs answer.
bool SimIsMiiRequest(unsigned long request);
// Serves one MII request (arg is the struct ifreq); as ioctl(2).
int SimMiiIoctl(const std::string& dir, unsigned long request, void* arg);
// A register of a port's PHY for kovesim: port 0 "eth0", 1 "eth1". 0 or -1 with errno.
int SimMiiRead(const std::string& dir, int port, int phy, int reg, uint16_t* value);
int SimMiiWrite(const std::string& dir, int port, int phy, int reg, uint16_t value);

// Hands a frame that was sent on a port to the FPGA's frame capture.
void SimCaptureFrame(const std::string& dir, const void* frame, size_t length);

#endif
