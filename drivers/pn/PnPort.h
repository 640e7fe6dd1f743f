// The two Ethernet ports of the bus-monitor variant: the service port "eth0" (the device's own
// network connection) and the monitor port "eth1" (the port on the PROFINET bus). A switch in
// the FPGA forwards frames between them.
//
// This unit reads and writes the PHY registers over MII, runs the monitor-port thread (every
// 500 ms: forwarding on while the monitor link is up and its PHY ready, off while the link is
// down; the MAC addresses are prepared and the PHY initialised on the first down state), keeps
// the monitor-port status byte, sets the hardware addresses of both ports (the monitor port's
// is derived from the service port's) and holds the one-word FPGA register helpers.
//
// Everything it has to say goes to the binary trace only; failures are traced and otherwise
// ignored. Process-wide state: one MII request record and socket, used by the monitor-port
// thread and, once that thread has been stopped, by the factory mode.
#ifndef PN_PORT_H
#define PN_PORT_H

#include <cstdint>
#include <net/if.h>

// Interface names of the two ports.
extern const char* const PN_SERVICE_PORT;
extern const char* const PN_MONITOR_PORT;

// FPGA registers (one 32-bit word through the CDI device).
constexpr uint32_t PN_FPGA_ID = 0;
constexpr uint32_t PN_FPGA_VERSION = 4;
constexpr uint32_t PN_FPGA_FORWARDING = 0x2004;
constexpr uint32_t PN_FORWARDING_ON = 0x8000;
constexpr uint32_t PN_FORWARDING_OFF = 0x4000;

// Status byte bits of the monitor port.
constexpr uint8_t PN_MONITOR_LINK = 0x01;  // the link is not reported down
constexpr uint8_t PN_MONITOR_READY = 0x02; // its PHY reports ready

// Waits the milliseconds (going on after a signal).
void PnSleepMs(int milliseconds);
// An interface request for the interface name, all else zero (the name cut to fit).
struct ifreq PnInterfaceRequest(const char* name);

// Register helpers: a failed access reads 0 (and is traced).
uint32_t ReadCdiWord(uint32_t address);
void WriteCdiWord(uint32_t address, uint32_t value);

// MII on a datagram socket, through the interface named in the MII request record: the value
// read, or -1.
int MiiRead(int socket, int phy, int reg);
void MiiWrite(int socket, int phy, int reg, int value);

// PHY operations.
void InitPhy(int socket);
void SetServicePort100Mbit();
bool MonitorPhyReady(int socket);
// Link of the monitor port: 1 up, 0 down, -1 when it cannot be asked.
int detect_link_ethtool(int socket);

// Forwarding between the ports.
bool ForwardingEnabled();
void EnableForwarding();
void DisableForwarding();

// Interface helpers; -1 when the interface cannot be asked.
int GetInterfaceMac(uint8_t mac[6], const char* name);
int GetInterfaceFlags(uint16_t* flags, const char* name);
int InterfaceIsUp(const char* name);
int InterfaceIsRunning(const char* name);
// 1 when up and running, 0 when not, -1 when it cannot be asked.
int InterfaceReady(const char* name);
// Waits until the interface has been ready in two consecutive checks, 250 ms apart (at most
// five checks): 0 when it was, -1 when it was not or cannot be asked.
int WaitInterfaceStable(const char* name);
// "ifconfig <name> up": 0, or 77 when the command would not fit its buffer.
int InterfaceUp(const char* name);
// Sets the hardware address of an interface (down, address, up): 0, or 77.
int SetMacAddress(const uint8_t mac[6], const char* name);
// The monitor port's address: bytes 2-5 of the service port's address as one big-endian
// number plus the increment of the FPGA (7 for the identification 0x414E50, else 1).
void ComputeMonitorMac(uint8_t monitor[6], const uint8_t service[6]);
// The same with the FPGA identification given.
void ComputeMonitorMacForId(uint8_t monitor[6], const uint8_t service[6], uint32_t fpgaId);
// Reads both addresses, brings the service port up when it is not, and gives the monitor port
// its derived address (when it has another). Returns the result of SetMacAddress (0 when it
// was not needed).
int PrepareMacs(uint8_t service[6], uint8_t monitor[6]);

// The monitor-port thread.
// Starts it; false when it could not be started.
bool StartMonitorPortThread();
// Tells it to stop and waits until it has ended; harmless when it is not running and when
// called again.
void StopMonitorPortThread();
// True while the thread runs.
bool MonitorPortThreadRunning();
// The status byte (0 until the thread has published one).
uint8_t GetMonitorPortStatus();
void SetMonitorPortStatus(uint32_t value);

#endif
