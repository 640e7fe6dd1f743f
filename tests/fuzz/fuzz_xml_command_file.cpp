// Fuzz target: an XML request file as the request server hands it to the driver.
//
// The input is the file. Its kind and root tag are peeked at as the dispatch does
// (CQTXCommandFile::GetFileType, GetFileTag), it is loaded with CQTXXml::LoadFile by that root
// name and by the Module tag, and a loaded document is read the way drivers read requests:
// every signal list, signal and property with the value readers, then answered with errors
// and stored.
#include "FuzzSupport.h"
#include "QTXXml.h"

#include <string>

using kovefuzz::Fail;

namespace
{

const Item_t aFuzzItems[] = {{"Input", 0}, {"Output", 1}, {"true", 2}, {nullptr, -1}};

// Reads every property of the selected property list.
void ReadProperties(CQTXXml& xml)
{
    for (std::string name = xml.SelectPropertyByOrder(true); !name.empty();
         name = xml.SelectPropertyByOrder(false))
    {
        int32_t ints[8];
        double floats[8];
        bool bools[8];
        xml.GetStringProperty();
        xml.GetIntProperty();
        xml.GetFloatProperty();
        if (xml.GetIntArrayProperty(ints, 8, true) > 8 ||
            xml.GetFloatArrayProperty(floats, 8) > 8 || xml.GetBoolArrayProperty(bools, 8) > 8)
            Fail("array reader wrote past its maximum");
        xml.GetListProperty(aFuzzItems, true);
    }
}

void ReadLikeADriver(CQTXXml& xml)
{
    xml.GetRootTagNameAttribute();
    xml.GetAttributeKeepConnection();
    std::string slot, list;
    int lists = 0;
    for (int count = xml.SelectSignalListByOrder(slot, list, true); count != -1 && lists < 64;
         count = xml.SelectSignalListByOrder(slot, list, false), ++lists)
    {
        try
        {
            xml.SelectSignalByNumber(-1, false);
            ReadProperties(xml);
        }
        catch (CQTXError&)
        {
            // A list without global properties.
        }
        int signals = 0;
        for (int number = xml.SelectSignalByOrder(true); number != -1 && signals < 256;
             number = xml.SelectSignalByOrder(false), ++signals)
        {
            xml.GetName();
            ReadProperties(xml);
            int32_t gain[2];
            xml.ReadIntProperty("Gain", gain, 2, true, -10, 10, false);
            uint32_t flags = 0;
            xml.ReadBooleanProperty("Enable", &flags, 3);
            xml.SetPropertyError("FuzzError", "refused <&\">");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static kovefuzz::CMemoryFile file("xml_request");
    static kovefuzz::CMemoryFile reply("xml_reply");
    file.Set(data, size);

    const int type = CQTXCommandFile::GetFileType(file.Path());
    const std::string root = CQTXCommandFile::GetFileTag(file.Path());
    if (type < QTX_FILE_TYPE_NONE || type > QTX_FILE_TYPE_BINARY)
        Fail("unknown file type");

    CQTXXml xml;
    const bool byName = !root.empty() && xml.LoadFile(file.Path(), root.c_str());
    if (!byName && !xml.LoadFile(file.Path(), static_cast<unsigned short>(257)))
    {
        if (xml.GetType() != QTX_FILE_TYPE_NONE)
            Fail("failed load left a document behind");
        return 0;
    }
    if (xml.GetType() != QTX_FILE_TYPE_XML)
        Fail("loaded document has no type");
    try
    {
        ReadLikeADriver(xml);
    }
    catch (CQTXError&)
    {
        // Writers throw when nothing is selected; that is their way to refuse.
    }
    xml.SetError(CQTXError("Fuzz", "text with <markup> & \"quotes\"", __FILE__, __LINE__));
    xml.SetStdError(-259);
    if (!xml.StoreFile(reply.Path(), true))
        Fail("loaded document could not be stored");

    // What the framework stores, it loads again.
    CQTXXml again;
    if (!again.LoadFile(reply.Path(), root.empty() || !byName ? "Module" : root.c_str()))
        Fail("stored reply does not load");
    return 0;
}
