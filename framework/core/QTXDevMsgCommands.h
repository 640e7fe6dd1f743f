// Commands that every driver's device-message service answers beside the base library's own:
// file access below the device's driver root ("/Applications/tmp/Driver/"), and forwarding to
// local services on 127.0.0.1.
//
//   QTX_DEVMSG_FILE_WRITE  request: file header and data (DevMsgFile.h), in one message or in
//                          fragments; reply: empty, status of the write
//   QTX_DEVMSG_FILE_READ   request: file header; reply: the read head and the data
//   QTX_DEVMSG_FORWARD     request: u16 port, u16 0, then a whole message (u16 command, u16,
//                          data; at most 4000 bytes); reply: the local service's reply data,
//                          with its status
//   QTX_DEVMSG_TUNNEL      request as for QTX_DEVMSG_FORWARD; the message goes to the local
//                          service and from then on the connection relays every message to
//                          it and every reply back, until either side ends
// A driver that installs its own command handler can pass these commands on to
// QTXDevMsgCommand.
#ifndef QTX_DEVMSG_COMMANDS_H
#define QTX_DEVMSG_COMMANDS_H

#include <stdint.h>

#include "DevMsg.h"

#define QTX_DEVMSG_FILE_WRITE 1100
#define QTX_DEVMSG_FILE_READ 1101
#define QTX_DEVMSG_FORWARD 1102
#define QTX_DEVMSG_TUNNEL 1103
// Bytes in front of the message of a forwarding request: u16 port, u16 0.
#define QTX_DEVMSG_FORWARD_HEAD 4

// The framework's command handler: the commands above, DEVMSG_NOT_HANDLED for any other.
uint32_t QTXDevMsgCommand(uint16_t command, tagDEVMSG_HANDLE_STRUCT* record);

#endif
