// The factory test of the bus-monitor variant's two Ethernet ports and the FPGA's frame
// capture, and the switch into the factory mode.
//
// The bus test sends one raw test frame (ethertype 0x8888) from the monitor port "eth1" to the
// service port "eth0" and one the other way; each must arrive at the other port's packet socket,
// and the FPGA's frame-capture ring in physical memory must hold both. Progress and details go
// to the binary trace; the caller gets a result and a message.
#ifndef PN_BUS_TEST_H
#define PN_BUS_TEST_H

#include <atomic>
#include <cstdint>
#include <pthread.h>

// Size of the message buffer of the two operations.
constexpr int PN_MESSAGE_SIZE = 512;
// Lowest FPGA version with the frame capture the test needs.
constexpr uint32_t PN_BUS_TEST_FPGA_VERSION_MIN = 0x01060064;
// Size of a frame buffer.
constexpr uint32_t PN_FRAME_BUFFER_SIZE = 2048;
// Size of one header record of the capture ring.
constexpr uint32_t PN_FRAME_HEADER_SIZE = 32;

// The ring registers of the FPGA's frame capture.
constexpr uint32_t PN_RING_DATA_BASE = 0x3000;
constexpr uint32_t PN_RING_DATA_SIZE = 0x3004;
constexpr uint32_t PN_RING_HEADER_BASE = 0x3010;
constexpr uint32_t PN_RING_HEADER_SIZE = 0x3014;
constexpr uint32_t PN_RING_CONTROL = 0x3020;
constexpr uint32_t PN_RING_FILTER = 0x3100;

// The receiver of one direction: the test and its receiver thread share it.
struct RawRecvThreadData
{
    int iSocket = -1;
    uint8_t aucMac[6] = {};
    // 0 nothing yet, 1 frame received, -1 the receiver could not be set up.
    std::atomic<int> iReceived{0};
    std::atomic<int> iEnded{0};
    std::atomic<int> iRun{0};
    pthread_t tThread{};
    bool bThreadValid = false;
};

// 0 when both ports and the capture work; -1 with a message in the buffer (PN_MESSAGE_SIZE
// bytes, always terminated).
int PNBusTest(char* message);
// Service port to 100 Mbit, monitor-port thread stopped, the controller in its factory mode,
// forwarding off, addresses prepared. Always 0.
int SetToFactoryMode(char* message);

// Flushes the capture ring and switches it on: 0, or -1 when it stayed busy.
int FlushRingBuffer();
// Sends a test frame with the text on the interface: 0, or -1 when it could not be sent.
int SendRawFrame(const uint8_t destination[6], const uint8_t source[6], const char* name,
                 const char* text);
// Sets up the receiver for frames to the address on the interface and starts its thread;
// iReceived is -1 when it could not be set up.
void StartRecv(RawRecvThreadData* data, const uint8_t mac[6], const char* name);
// Waits for the frame: 0 received, -1 not within the time (or no receiver), -2 for a timeout
// below 10 ms. Ends the receiver either way.
int WaitForRawFrame(RawRecvThreadData* data, int timeoutMs);
// Copies the frame the counter points at from the ring into buffer (PN_FRAME_BUFFER_SIZE bytes)
// and advances the counter: its length, 0 when there is no further frame (or its header or data
// would lie outside the buffers).
uint32_t ReadNextFrame(uint8_t* buffer, uint32_t* counter, const uint8_t* header,
                       uint32_t headerSize, const uint8_t* data, uint32_t dataSize);

#endif
