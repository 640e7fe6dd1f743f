#include "FakeModuleDriver.h"

namespace kovetest
{
namespace
{
std::string Property(const std::string& name, const std::string& value)
{
    return "      <Property Name=\"" + name + "\" Value=\"" + value + "\"/>\n";
}
} // namespace

std::string ForDufXml(const std::string& list, uint32_t baseAddress, uint32_t offsetPerSlot,
                      int moduleEvent, const std::vector<CForDufSignal>& signals,
                      const std::string& direction)
{
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<Module Name=\"Fake_4Duf\">\n";
    text += "  <Signals Name=\"" + list + "\">\n    <NumberOfSignals><Value>" +
            std::to_string(signals.size()) + "</Value></NumberOfSignals>\n    <Properties>\n";
    text +=
        Property("Direction", direction) + Property("BaseAddress", std::to_string(baseAddress)) +
        Property("OffsetPerSlot", std::to_string(offsetPerSlot)) + Property("GlobalEvent", "3") +
        Property("SystemEvent", "2") + Property("ModuleEvent", std::to_string(moduleEvent)) +
        Property("NumberOfBpbm", "1") + Property("Bpbm0OffsetRegister", "64") +
        Property("Bpbm0NumberOfTransfers", "1") + Property("Bpbm0t0SourceAddress", "4096") +
        Property("Bpbm0t0DestinationAddress", "0") + Property("Bpbm0t0Length", "256");
    text += "    </Properties>\n";
    for (const CForDufSignal& s : signals)
    {
        text += "    <Signal Number=\"" + std::to_string(s.iNumber) + "\">\n      <Properties>\n";
        text += Property("Offset", std::to_string(s.iOffset)) +
                Property("Length", std::to_string(s.iLength)) + Property("VraType", s.szType);
        text += "      </Properties>\n    </Signal>\n";
    }
    text += "  </Signals>\n</Module>\n";
    return text;
}
} // namespace kovetest
