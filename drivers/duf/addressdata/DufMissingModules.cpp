// Module drivers that have not registered yet. While the device starts, the stored routing
// configuration is applied before every module driver is up; the system driver's identity
// document lists the registered drivers, and a needed module port that it does not list is
// missing: its requests are refused for this configuration request instead of asking it.
#include "QTXDuf.h"

#include "QTXConvert.h"
#include "QTXMessages.h"

namespace
{
constexpr int kIdentifyTimeoutMs = 1000;
constexpr int kMissBits = 5; // ports 62100..62104
} // namespace

uint32_t CDuf::UnavailableModules(uint32_t missMask)
{
    QTX_FUNCTION_LOG();
    const std::string replyFile = FileNameToAbsolutePath("SystemInfo.xml");
    if (SendStringToDriver(sXmlStart + "<Identify/>", kIdentifyTimeoutMs,
                           static_cast<int>(QTX_SYSTEM_PORT), replyFile))
    {
        CQTXXml identity;
        if (!identity.LoadFile(replyFile.c_str(), "System"))
        {
            // An answer that cannot be read tells nothing: every needed module counts as
            // missing, as without an answer, and the configuration request goes on.
            WriteToLogfile("UnavailableModules(): the system driver's answer in " + replyFile +
                           " is no identity document");
        }
        else
        {
            XMLNode modules = identity.GetXMLNodeRoot().getChildNode("Modules");
            int index = 0;
            for (XMLNode module = modules.isEmpty() ? XMLNode()
                                                    : modules.getChildNode("Module", &index);
                 !module.isEmpty(); module = modules.getChildNode("Module", &index))
            {
                XMLNode port = module.getChildNode("Port");
                if (port.isEmpty())
                    break;
                const int32_t number = StringToInt(CharPointerToString(port.getText()));
                if (number >= DUF_MODULE_PORT_FIRST && number < DUF_MODULE_PORT_FIRST + kMissBits)
                    missMask &= ~(1u << (number - DUF_MODULE_PORT_FIRST));
            }
        }
    }
    if (missMask != 0)
        WriteToLogfile("Waiting for drivers, miss-mask=" + std::to_string(missMask));
    return missMask;
}
