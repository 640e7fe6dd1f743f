// Debug commands of the signal-routing driver: a debug receiver, the orderly end of the driver
// and the text of every routing request with its programmed resources. The base class's other
// debug commands are not offered here.
#include "QTXDuf.h"

#include "QTXConvert.h"

namespace
{
std::string Dec(int64_t value)
{
    return std::to_string(value);
}

// Masks in base 2 and addresses in base 16, without leading zeros.
std::string Mask(uint32_t value)
{
    return IntToString(static_cast<int32_t>(value), 2, 0);
}

std::string Address(uint32_t value)
{
    return IntToString(static_cast<int32_t>(value), 16, 0);
}
} // namespace

void CDuf::ProcessDebug()
{
    CQTXXml& document = tXmlCommandFile;
    // The commands are properties of the root's own property list; a missing one is not made.
    const auto selectCommand = [&document](const char* name)
    {
        document.SelectSignalListByName("", "", false);
        try
        {
            document.SelectSignalByNumber(-1, false);
        }
        catch (CQTXError&)
        {
            return false;
        }
        return document.SelectPropertyByName(name, false);
    };

    if (selectCommand("DebugReceiver"))
    {
        SetDebugSocket(document.GetStringProperty());
        DebugOutput(std::string("This SW was compiled at ") + __DATE__ + " " + __TIME__);
    }
    if (selectCommand("EndDriver"))
        throw CQTXError("UserBreak", "Driver stopped due to user request", __FILE__, __LINE__, Note,
                        "GeneralError");
    if (selectCommand("ShowPaths"))
        document.SetStringProperty(ShowPathsText());
}

std::string CDuf::ShowPathsText() const
{
    std::string text;
    for (const DufRequest& r : tRequests.Records())
    {
        text += "\n\nRequest " + Dec(r.Requester) + (r.Direction == 0 ? " to " : " from ") +
                Dec(r.Partner) + "[" + r.Name + "]";
        if (!r.Valid)
        {
            text += " is invalid";
            continue;
        }
        text += ":\n\tRequestDataOffset=" + Dec(r.ReqOffset) +
                "; Length=" + Dec(r.Direction == 0 ? r.DfcmLenIn : r.DfcmLenOut);
        text += "\n\tBPBM: ChannelMask=" + Mask(r.BpbmChannelMask) +
                "; Bufferstart=" + Address(r.BpbmStart) + "; Length=" + Dec(r.BpbmLen);
        text += "\n\tPCIM: ChannelMask=" + Mask(r.PcimChannelMask) +
                "; Bufferstart=" + Address(r.PcimStart) + "; Length=" + Dec(r.PcimLen);
        text += "\n\tDfcm: ChannelMask=" + Mask(r.DfcmChannelMask);
        text += "\n\tFO: BuffserStart=" + Address(r.FoStart) + "; Length=" + Dec(r.FoLen) +
                "; ReadyEvent=" + Dec(r.FoEvent);
        if (r.Backward == nullptr)
            text += "\n\tStartEvent: System=" + Dec(r.StartSystem) +
                    "; Global=" + Dec(r.StartGlobal) + "; Module=" + Dec(r.StartModule);
        else
            text += "\n\tStartEvent: chained with Global=" + Dec(r.Backward->ForwardEvent);
    }
    text += "\n\nFoReadyMask=" + IntToString(static_cast<int32_t>(iFoOutEventMask), 2, 32);
    return text;
}
