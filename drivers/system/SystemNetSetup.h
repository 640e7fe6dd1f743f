// Network set-up of the device: the DHCP client, fixed addresses, default routes, the hardware
// address, and the interface's current address, mask and gateway. Host tools (udhcpc, ifconfig,
// route) run from argument vectors through the platform layer; on a simulated device they are
// recorded in commands.log. These are C-level functions: they report by return value and never
// throw; progress goes to standard output and the trace buffer.
#ifndef SYSTEM_NET_SETUP_H
#define SYSTEM_NET_SETUP_H

#include <cstdint>

// The network settings of the device: eleven 32-bit words, compared and copied as a whole.
struct NetworkSettings
{
    int32_t iMode = -1;      // -1 not set, 0 fixed address, 1 DHCP
    uint32_t uAddress = 0;   // network byte order, as inet_addr gives it
    uint32_t uMask = 0;      // network byte order
    uint32_t uGateway = 0;   // network byte order
    uint32_t auReserved1[3] = {};
    uint32_t uDnsServer = 0; // network byte order
    uint32_t auReserved2[3] = {};
};
bool operator==(const NetworkSettings& a, const NetworkSettings& b);
inline bool operator!=(const NetworkSettings& a, const NetworkSettings& b)
{
    return !(a == b);
}

// Applies the requested settings knowing the active ones: 0 when applied (the caller then copies
// the requested over the active ones), -1 when the requested mode is not set. An empty or null
// interface means "eth0".
int SetNetCardConfigurationEx(const NetworkSettings* active, const NetworkSettings* requested,
                              const char* hostName, const char* interfaceName);
// Starts the DHCP client in the background: 0, or -1 when the command would be too long.
int StartDHCP(const char* hostName, const char* interfaceName);
// Ends the running DHCP client of "/tmp/udhcpc.pid" (only a process above 1 that is the DHCP
// client gets the signals).
void StopDHCP();
// Restarts the DHCP client with a new host name while DHCP is active: 70 without settings or
// host name, 0 when DHCP is not active, else the result of StartDHCP.
int SetNewDHCPName(const NetworkSettings* active, const char* hostName, const char* interfaceName);
// "ifconfig <interface> hw ether XX:XX:XX:XX:XX:XX"; nothing without an address.
void SetMacAddress(const uint8_t mac[6], const char* interfaceName);
// The interface's address, mask and hardware address (each only when asked for): 0, 70 without a
// name, 73 without a socket, 64 when a value cannot be read (that value is then 0).
int IFInfoGet(const char* interfaceName, uint32_t* address, uint32_t* mask, uint8_t mac[6]);
int IFInfoGetIPandMASK(const char* interfaceName, uint32_t* address, uint32_t* mask);
// The default gateway of the interface from "/proc/net/route": 0, 70 without an output, 72 when
// the table cannot be opened, 79 without its header line.
int ReadDefaultGateway(const char* interfaceName, uint32_t* gateway);
// The number of default routes of the interface in "/proc/net/route" (0 when unreadable).
int CountDefaultRoutes(const char* interfaceName);
// DHCP client per interface with the pid file "/tmp/udhcpc_<interface>.pid": 0, 72 when the
// device's DHCP script is not executable, 70 when the pid file name is too long, 77 when the
// command would be too long.
int StartDHCPForInterface(const char* interfaceName, const char* hostName);
// Ends it: 0, 70 without an interface, 64 when no DHCP client pid could be read.
int StopDHCPForInterface(const char* interfaceName);
// Runs the DHCP script as the client would, with the values in its environment; 0.
int RunInterfaceScript(const char* interfaceName, uint32_t address, uint32_t mask,
                       const uint32_t* routers, const uint32_t* dnsServers);
// Fills the caller's address list with the IPv4 addresses of the host's own name. The list: u16
// size in bytes at byte 2, u8 count at byte 4, entries of kHostAddressEntrySize bytes from byte 8,
// room for (size - 8) / kHostAddressEntrySize of them. Each entry is cleared, its kind word (u32
// at entry byte 0, little-endian) set to kHostAddressKind and its address word (entry bytes 4-7)
// set to the address in network byte order. Returns 0, 70 when the list has no room for an entry,
// 73 when the host name or its addresses cannot be had.
constexpr int kHostAddressListHead = 8;
constexpr int kHostAddressEntrySize = 808;
constexpr uint32_t kHostAddressKind = 12288;
int GetHostAddresses(uint8_t* list);
// 0 when "/tmp/udhcpc.pid" exists, else 7.
int IsDhcpPidFilePresent();
// The process number in a pid file (up to 15 bytes, decimal), 0 when there is none.
int ReadPidFile(const char* devicePath);

#endif
