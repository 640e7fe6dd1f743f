// The module description "ModuleInfo.xml" and the module sections of configuration documents:
// the abilities and signal descriptions (kept by a document update) and the holder of the
// module lock (kept by a text rewrite, which also drops the errors of an earlier reply).
#include "QTX.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "QTXMessages.h"

namespace
{
const char kModuleInfoFile[] = "ModuleInfo.xml";

// Reads a whole file; false when it cannot be read or is empty.
bool ReadWholeFile(const std::string& path, std::string& text)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    bool ok = fseek(file, 0, SEEK_END) == 0;
    const long length = ok ? ftell(file) : -1;
    ok = ok && length >= 1 && fseek(file, 0, SEEK_SET) == 0;
    if (ok)
    {
        text.resize(static_cast<size_t>(length));
        ok = fread(&text[0], 1, text.size(), file) == text.size();
    }
    fclose(file);
    return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& text)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return (fclose(file) == 0) && written;
}

// A stretch of the text [begin, end) to be replaced by `with`.
struct STextEdit
{
    size_t begin;
    size_t end;
    std::string with;
};

// The Errors section of a reply: "<Errors .../>" or "<Errors ...>...</Errors>".
bool FindErrorsSection(const std::string& text, STextEdit& edit)
{
    const size_t start = text.find("<Errors");
    if (start == std::string::npos)
        return false;
    size_t p = start + 7;
    while (p < text.size() && isspace(static_cast<unsigned char>(text[p])))
        ++p;
    size_t end;
    if (p < text.size() && text[p] == '/')
    {
        end = text.find('>', p);
        if (end == std::string::npos)
            return false;
        end += 1;
    }
    else
    {
        end = text.find("</Errors>");
        if (end == std::string::npos)
            return false;
        end += 9;
    }
    edit = {start, end, ""};
    return true;
}

// Where the LockedBy element goes inside the ModuleInfo section, and what it replaces.
bool FindLockedByPlace(const std::string& text, const std::string& element, STextEdit& edit)
{
    const size_t infoStart = text.find("<ModuleInfo>");
    const size_t infoEnd = text.find("</ModuleInfo>");
    if (infoStart == std::string::npos || infoEnd == std::string::npos || infoEnd < infoStart)
        return false;
    const size_t locked = text.find("<LockedBy");
    const size_t lockedEnd = text.find("</LockedBy>");
    if (locked == std::string::npos || locked <= infoStart || locked >= infoEnd)
        edit = {infoEnd, infoEnd, element};
    else if (lockedEnd == std::string::npos || lockedEnd <= locked)
        edit = {locked, text.find('>', locked) + 1, element};
    else
        edit = {locked, lockedEnd + 11, element};
    return true;
}
} // namespace

std::string CQTX::FileNameToAbsolutePath(const std::string& name) const
{
    if (!name.empty() && name[0] == '/')
        return name;
    return sDirectory + name;
}

bool CQTX::WriteModuleInfoFile()
{
    CQTXXml document;
    if (!document.New("Module", sModuleName.c_str()))
        return false;
    XMLNode stamp = document.GetXMLNodeRoot().addChild("Stamp");
    const std::pair<const char*, const std::string*> fields[] = {
        {"ProductName", &sModuleName},    {"ProductNumber", &sOrderNumber},
        {"ProductionDate", nullptr},      {"ProducerName", nullptr},
        {"HwVersion", &sHwVersion},       {"SwVersion", &sSwVersion},
        {"SerialNumber", &sSerialNumber}, {"ModuleId", nullptr},
    };
    for (const auto& field : fields)
    {
        XMLNode element = stamp.addChild(field.first);
        if (field.second != nullptr && !field.second->empty())
            element.addText(field.second->c_str());
    }
    return ReplaceFile(FileNameToAbsolutePath(kModuleInfoFile), [&document](const std::string& f)
                       { return document.StoreFile(f.c_str(), false); });
}

bool CQTX::UpdateConfigurationFileXml(const std::string& name, bool textOnly)
{
    const std::string fileName = name.empty() ? name : FileNameToAbsolutePath(name);
    if (fileName.empty())
    {
        if (pCurrentCommandFile == nullptr || !pCurrentCommandFile->IsXml())
            return true;
    }
    else if (CQTXCommandFile::GetFileType(fileName.c_str()) != QTX_FILE_TYPE_XML)
    {
        return true;
    }

    if (textOnly)
    {
        // The text rewrite works on a file; the document in hand has none of its own.
        if (fileName.empty())
            return true;
        std::string text;
        if (!ReadWholeFile(fileName, text))
            return false;

        std::vector<STextEdit> edits;
        STextEdit edit;
        if (FindLockedByPlace(text, "<LockedBy>" + EscapeXmlValue(sLockSignature) + "</LockedBy>",
                              edit))
            edits.push_back(edit);
        // An Errors section that overlaps the LockedBy place (a document with its errors
        // inside the module information) is left where it is rather than cut twice.
        if (FindErrorsSection(text, edit) &&
            (edits.empty() || edit.end <= edits[0].begin || edit.begin >= edits[0].end))
            edits.push_back(edit);
        if (edits.empty())
            return true;
        std::sort(edits.begin(), edits.end(),
                  [](const STextEdit& a, const STextEdit& b) { return a.begin > b.begin; });
        for (const STextEdit& e : edits)
            text.replace(e.begin, e.end - e.begin, e.with);

        return ReplaceFile(fileName,
                           [&text](const std::string& f) { return WriteWholeFile(f, text); });
    }

    CQTXXml loaded;
    CQTXXml* document = &tXmlCommandFile;
    if (!fileName.empty())
    {
        loaded.SetItemBound(XML_UNBOUNDED_ITEMS); // a file of the driver's own
        if (!loaded.LoadFile(fileName.c_str(), QTX_TAG_MODULE))
            return false;
        document = &loaded;
    }
    else if (pCurrentCommandFile != &tXmlCommandFile)
    {
        return true;
    }

    XMLNode root = document->GetXMLNodeRoot();
    XMLNode moduleInfo = root.getChildNode("ModuleInfo");
    if (!moduleInfo.isEmpty())
    {
        XMLNode old = moduleInfo.getChildNode("Abilities");
        if (!old.isEmpty())
            old.deleteNodeContent();
        XMLNode abilities = moduleInfo.addChild("Abilities");

        auto add = [&abilities](const char* name, const std::string& value, const char* unit)
        {
            XMLNode ability = abilities.addChild("Ability");
            ability.addAttribute("Name", name);
            ability.addAttribute("Value", value.c_str());
            if (unit != nullptr)
                ability.addAttribute("Unit", unit);
        };
        if (dMinSysClockPeriod > 0)
            add("MinSysClockPeriod", FloatToString(dMinSysClockPeriod), "us");
        if (dAdcConvertionDelay > 0 && dFilterDelayPerBiquad > 0)
        {
            add("UserFilterAvailable", "true", nullptr);
            add("AdcConvertionDelay", FloatToString(dAdcConvertionDelay), "us");
            add("FilterDelayPerBiquad", FloatToString(dFilterDelayPerBiquad), "us");
        }
        if (dPowerFrequencyMeasurementDelay > 0)
        {
            add("PowerFrequencyAvailable", "true", nullptr);
            add("PowerFrequencyMeasurementDelay", FloatToString(dPowerFrequencyMeasurementDelay),
                "us");
        }
        for (const AbilityItem_t* row = pAbilityTable;
             row != nullptr && row->name != nullptr && row->name[0] != '\0'; ++row)
            add(row->name, row->value != nullptr ? row->value : "", row->unit);

        // Every signal of every list carries the driver's description of it.
        const int lists = root.nChildNode("Signals");
        for (int l = 0; l < lists; ++l)
        {
            XMLNode list = root.getChildNode("Signals", l);
            const std::string listName = CharPointerToString(list.getAttribute("Name"));
            const int signals = list.nChildNode("Signal");
            for (int s = 0; s < signals; ++s)
            {
                XMLNode signal = list.getChildNode("Signal", s);
                XMLNode description = signal.getChildNode("Description");
                if (description.isEmpty())
                    description = signal.addChild("Description");
                if (description.isEmpty())
                    return false;
                const std::string text =
                    GetSignalDescription(listName, StringToInt(signal.getAttribute("Number")));
                if (description.nText() > 0)
                    description.updateText(text.c_str(), 0);
                else
                    description.addText(text.c_str());
            }
        }
    }

    if (fileName.empty())
        return true;
    return ReplaceFile(fileName, [&loaded](const std::string& f)
                       { return loaded.StoreFile(f.c_str(), false); });
}
