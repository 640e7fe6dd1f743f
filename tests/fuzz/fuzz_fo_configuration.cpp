// Fuzz target: a FiberOptic configuration document as the fiber-optic driver reads it.
//
// The input is the document. It is loaded as a Module request and checked into a settings
// record. Accepted settings must name rows of the protocol table and a slot the driver can
// program; the module-lock rules applied to it must leave a document that reads back with the
// protocols the lock kept.
#include "FoProtocols.h"
#include "FuzzSupport.h"
#include "QTXXml.h"

#include <string>

using kovefuzz::Fail;

namespace
{
bool Plausible(const FoSettings& s)
{
    return s.iInputProtocol >= 0 && s.iInputProtocol < FO_PROTOCOL_ROWS && s.iOutputProtocol >= 0 &&
           s.iOutputProtocol < FO_PROTOCOL_ROWS &&
           ((s.iSlot >= 0 && s.iSlot <= 15) || s.iSlot == FO_SLOT_ANY_NODE);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The loader reads a text with its zero byte behind it, as a whole-file read leaves it.
    const std::string text(reinterpret_cast<const char*>(data), size);
    CQTXXml document;
    if (!document.LoadBuffer(text.data(), text.size(), 0x101))
        return 0;
    FoSettings settings = FoZeroSettings();
    const bool accepted = ParseAndCheckConfigIntern(document, settings);
    if (accepted != (settings.iValid == 1))
        Fail("validity flag disagrees with the result");
    if (!accepted)
        return 0;
    if (!Plausible(settings))
        Fail("accepted settings outside the table");

    // The current settings of a driver come from such a document too: any row a document can
    // name. An input lock writes it into the document, which must read back with it (3.3 Mbit
    // both ways without a period reads as KOVE8, and back).
    static const int kNamedRows[] = {0, 1, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 19, 20, 21, 22};
    FoSettings current = settings;
    current.iInputProtocol = kNamedRows[size % (sizeof kNamedRows / sizeof kNamedRows[0])];
    FoSettings locked = settings;
    if (ApplyLockToSettings(document, current, locked, 1) != 0)
        Fail("input lock refused");
    FoSettings reread = FoZeroSettings();
    if (!ParseAndCheckConfigIntern(document, reread))
        Fail("locked document no longer accepted");
    const int a = reread.iInputProtocol == 2 ? 1 : reread.iInputProtocol;
    const int b = locked.iInputProtocol == 2 ? 1 : locked.iInputProtocol;
    if (a != b)
        Fail("locked input does not read back");
    return 0;
}
