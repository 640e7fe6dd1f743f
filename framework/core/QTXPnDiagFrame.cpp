// Head of the sniffer's diagnostic frames.
#include "QTXPnDiagFrame.h"

#include "QTXBinConfig.h"

void PnDiagReadHead(const uint8_t* bytes, PnDiagHead* head)
{
    head->usMagic = QtxBinGetU16(bytes);
    head->usCommand = QtxBinGetU16(bytes + 2);
    head->usLength = QtxBinGetU16(bytes + 4);
    head->usResult = QtxBinGetU16(bytes + 6);
}

void PnDiagWriteHead(uint8_t* bytes, const PnDiagHead& head)
{
    QtxBinPutU16(bytes, head.usMagic);
    QtxBinPutU16(bytes + 2, head.usCommand);
    QtxBinPutU16(bytes + 4, head.usLength);
    QtxBinPutU16(bytes + 6, head.usResult);
}

PnDiagFrameState PnDiagCheckFrame(const uint8_t* bytes, size_t received, PnDiagHead* head)
{
    if (received < PNDIAG_HEAD_SIZE)
        return PNDIAG_NEED_HEAD;
    PnDiagReadHead(bytes, head);
    // The 16-bit length cannot state more than the server's buffer holds.
    static_assert(0xFFFF <= PNDIAG_MAX_FRAME, "a frame fits the buffer");
    if (head->usMagic != PNDIAG_MAGIC || head->usLength < PNDIAG_HEAD_SIZE)
        return PNDIAG_BAD_HEAD;
    return received < head->usLength ? PNDIAG_NEED_MORE : PNDIAG_COMPLETE;
}
