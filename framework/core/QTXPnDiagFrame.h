// Frames of the PROFINET sniffer's diagnostic protocol on TCP port 999, shared by the driver
// (the server) and the service tool (the client). Every message in both directions is one
// frame, little-endian:
//   0 u16 magic 0x4E50 ("PN")   2 u16 command (50 to 69; a reply carries the request's)
//   4 u16 frame length, the 8-byte head included   6 u16 result (0 in a request)
//   8 payload
// A frame shorter than its head or longer than the server's buffer is refused: the server
// drops the connection.
#ifndef QTX_PN_DIAG_FRAME_H
#define QTX_PN_DIAG_FRAME_H

#include <cstddef>
#include <cstdint>

constexpr uint16_t PNDIAG_PORT = 999;
constexpr uint16_t PNDIAG_MAGIC = 0x4E50;
constexpr uint32_t PNDIAG_HEAD_SIZE = 8;
// Largest frame the server's buffer holds, and the room a reply payload may use.
constexpr uint32_t PNDIAG_MAX_FRAME = 65544;
constexpr uint32_t PNDIAG_REPLY_ROOM = 65536;

// Commands.
constexpr uint16_t PNDIAG_CMD_MODULE_INFO = 50;
constexpr uint16_t PNDIAG_CMD_OVERVIEW_PORT0 = 51;
constexpr uint16_t PNDIAG_CMD_OVERVIEW_PORT1 = 52;
constexpr uint16_t PNDIAG_CMD_CONTROLLER_COMMAND = 53;
constexpr uint16_t PNDIAG_CMD_CONTROLLER_REQUEST = 54;
constexpr uint16_t PNDIAG_CMD_DEVICE_LIST = 61;
constexpr uint16_t PNDIAG_CMD_DEVICE = 63;
constexpr uint16_t PNDIAG_CMD_RELATION = 64;
constexpr uint16_t PNDIAG_CMD_STATE = 68;
constexpr uint16_t PNDIAG_CMD_RELATION_DATA = 69;

// Results.
constexpr uint16_t PNDIAG_OK = 0;
constexpr uint16_t PNDIAG_UNKNOWN_COMMAND = 2;
constexpr uint16_t PNDIAG_REFUSED_PENDING = 3;
constexpr uint16_t PNDIAG_SHORT_PAYLOAD = 4;
constexpr uint16_t PNDIAG_NO_ROOM = 11;
constexpr uint16_t PNDIAG_STATE_4 = 20;
constexpr uint16_t PNDIAG_NOT_AVAILABLE = 21;
constexpr uint16_t PNDIAG_CUT_SHORT = 22;
constexpr uint16_t PNDIAG_REQUEST_REFUSED = 23;
constexpr uint16_t PNDIAG_FAILED = 100;

struct PnDiagHead
{
    uint16_t usMagic = PNDIAG_MAGIC;
    uint16_t usCommand = 0;
    uint16_t usLength = PNDIAG_HEAD_SIZE;
    uint16_t usResult = 0;
};

void PnDiagReadHead(const uint8_t* bytes, PnDiagHead* head);
void PnDiagWriteHead(uint8_t* bytes, const PnDiagHead& head);

// What the bytes received so far make of a frame.
enum PnDiagFrameState
{
    PNDIAG_NEED_HEAD, // fewer than 8 bytes
    PNDIAG_BAD_HEAD,  // wrong magic, or a length shorter than the head or beyond the buffer
    PNDIAG_NEED_MORE, // a good head; the frame is not complete yet
    PNDIAG_COMPLETE   // a whole frame of head->usLength bytes
};
PnDiagFrameState PnDiagCheckFrame(const uint8_t* bytes, size_t received, PnDiagHead* head);

#endif
