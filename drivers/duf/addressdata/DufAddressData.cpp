// Module address data: where a request's signals lie in its partner's data. A module partner's
// address description ("ForDuf", XML or binary) is fetched once per configuration request with
// an AddressTable request and cached as "DufFor<port>.xml" in the driver directory; the
// request's signals take their offsets, lengths and types from it, the request gets the byte
// window of the partner's data it needs, and the completion step of the partner's kind fills
// in the copy-machine data.
#include "QTXDuf.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "QTXConvert.h"
#include "QTXMessages.h"

namespace
{
constexpr int kAddressTableTimeoutMs = 100;
// A description larger than this is not a module's answer.
constexpr size_t kMaxDescriptionBytes = 16u << 20;
constexpr int64_t kNoSignalStart = 2000000000;

CQTXError DufError(const std::string& text, const std::string& parameter, int line)
{
    return CQTXError(text, parameter, "QTXDuf", line, Error, "GeneralError");
}

// Reads the whole file; false when it cannot be opened or read, or is larger than a description
// can be.
bool ReadDescription(const std::string& path, std::string& content)
{
    bool complete = false;
    return CQTXCommandFile::ReadWholeFile(path.c_str(), content, &complete) && complete &&
           content.size() <= kMaxDescriptionBytes;
}

bool BeginsWithXml(const std::string& content)
{
    return content.size() >= 16 && SameString(content.substr(0, 6), "<?xml ");
}
} // namespace

CQTXXml* CDuf::ParsedDescription(const std::string& path, const std::string& content)
{
    // All requests of a configuration request for one partner read the same answer: it is
    // parsed once.
    SParsedDescription& cached = m_tDescriptions[path];
    if (cached.pDocument != nullptr && cached.sContent == content)
        return cached.pDocument.get();
    cached.sContent.clear();
    cached.pDocument = std::make_unique<CQTXXml>();
    if (!cached.pDocument->LoadBuffer(content.data(), content.size(), QTX_TAG_MODULE))
    {
        cached.pDocument.reset();
        return nullptr;
    }
    cached.sContent = content;
    return cached.pDocument.get();
}

void CDuf::ReadModuleDufData(DufRequest& r)
{
    QTX_FUNCTION_LOG();
    uint32_t start = 0;
    int32_t length = 0;

    if (IsApplicationPort(r.Requester) && r.Partner == DUF_FO_PORT)
    {
        // A local application takes the fiber-optic input or output directly.
        if (r.Direction == 0)
        {
            if (FoOutReservedBy != 0)
                throw DufError("ReservedResource",
                               "Fiber optic output is reserved by another application", __LINE__);
            FoOutReservedBy = r.Requester;
        }
        else
        {
            if (FoInReservedBy != 0)
                throw DufError("ReservedResource",
                               "Fiber optic input is reserved by another application", __LINE__);
            FoInReservedBy = r.Requester;
        }
        UpdateRequestForTargetFoAndDummy(r, start, length);
    }
    else if (r.Partner < DUF_MODULE_PORT_FIRST ||
             (r.Partner > DUF_COPROCESSOR_PORT && r.Partner != DUF_NO_PARTNER))
    {
        throw DufError("WrongRequest", "Illegal transfer source or destination", __LINE__);
    }
    else if (r.Partner >= DUF_SOFTWARE_FIRST && r.Partner <= DUF_SOFTWARE_LAST)
    {
        UpdateRequestForSoftwareModule(r, start, length);
    }
    else if (r.Partner == DUF_COPROCESSOR_PORT)
    {
        UpdateRequestForCoProcessor(r, start, length);
    }
    else if (r.Partner == DUF_DUMMY_PORT || r.Partner == DUF_NO_PARTNER)
    {
        UpdateRequestForTargetFoAndDummy(r, start, length);
    }
    else
    {
        const std::string port = std::to_string(r.Partner);
        const std::string path = FileNameToAbsolutePath("DufFor" + port + ".xml");
        if (access(path.c_str(), R_OK) != 0)
        {
            if (!SendStringToDriver(sXmlStart + "<AddressTable/>\n", kAddressTableTimeoutMs,
                                    r.Partner, path))
            {
                // An empty file shows the failure to the later requests of this configuration
                // request as a wrong answer, without asking the module again.
                const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd >= 0)
                    close(fd);
            }
        }
        std::string content;
        if (!ReadDescription(path, content))
            throw DufError("InternalError", "Can not generate any more files", __LINE__);

        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(content.data());
        const bool xml = BeginsWithXml(content);
        const bool binary = !xml && content.size() >= QTX_FORDUF_HEAD_BYTES &&
                            QTXForDufIsBinaryHead(bytes, content.size());
        if (!xml && !binary)
            throw DufError("WrongModuleData",
                           "Module " + port + " did not answer with correct DUF data", __LINE__);

        QTXForDufList list;
        CQTXXml* parsed = nullptr;
        if (binary)
        {
            switch (QTXForDufFindList(bytes, content.size(), r.Name, list))
            {
            case QTX_FORDUF_OK:
                break;
            case QTX_FORDUF_NO_LIST:
                throw DufError("WrongModuleDataOrRequest",
                               "Module " + port + " has no signal list " + r.Name, __LINE__);
            default:
                throw DufError("WrongModuleData",
                               "Module " + port + " binary data is not ForDuf format", __LINE__);
            }
        }
        else if ((parsed = ParsedDescription(path, content)) == nullptr ||
                 parsed->SelectSignalListByName("", r.Name.c_str(), false) < 0 || r.Name.empty())
        {
            throw CQTXECommunicationError("SignalsMissing", "Signal list " + r.Name + " is missing",
                                          "QTXDuf", __LINE__, Error);
        }
        CQTXXml& document = parsed != nullptr ? *parsed : m_tNoDescription;

        int64_t minimumStart = kNoSignalStart;
        int64_t maximumEnd = 0;
        for (DufSignal& s : r.Signals)
        {
            if (binary)
            {
                const auto found =
                    std::find_if(list.vSignals.begin(), list.vSignals.end(),
                                 [&s](const QTXForDufSignal& record)
                                 { return record.uNumber == static_cast<uint16_t>(s.Number); });
                if (found == list.vSignals.end())
                    throw DufError("SignalNotFound",
                                   "DUF: Can not find signal #" + std::to_string(s.Number) +
                                       " on slot " + port,
                                   __LINE__);
                s.Offset = static_cast<int32_t>(found->uOffset);
                s.Length = found->uLength;
                s.Type = ItemIntToString(aVraTypeItems, found->uType);
            }
            else
            {
                document.SelectSignalByNumber(s.Number, false);
                if (!document.SelectPropertyByName("Offset", false))
                    throw CQTXECommunicationError("WrongModuleAnswer", "Can not read signal Offset",
                                                  "QTXDuf", __LINE__, Error);
                s.Offset = document.GetIntProperty();
                if (!document.SelectPropertyByName("Length", false))
                    throw CQTXECommunicationError("WrongModuleAnswer", "Can not read signal Length",
                                                  "QTXDuf", __LINE__, Error);
                s.Length = document.GetIntProperty();
                s.Type = document.SelectPropertyByName("VraType", false)
                             ? document.GetStringProperty()
                             : std::string();
            }
        }
        // The bus-module device's static frame takes the signals that fit into it.
        ApplyBusModuleEnables(r);
        for (const DufSignal& s : r.Signals)
            if (s.Enable)
            {
                minimumStart = std::min<int64_t>(minimumStart, s.Offset);
                maximumEnd = std::max<int64_t>(maximumEnd, int64_t{s.Offset} + s.Length);
            }

        // Bit positions outside 0..2^31 - 1 are no data of a module.
        if (minimumStart < 0 || maximumEnd > INT32_MAX)
            throw DufError("WrongModuleData",
                           "Module " + port + " did not answer with correct DUF data", __LINE__);
        if (minimumStart <= 1000000000)
        {
            start = static_cast<uint32_t>((minimumStart / 32) * 4);
            length = static_cast<int32_t>(((maximumEnd + 31) / 32) * 4 - start);
        }
        else
        {
            // No signal of the request is enabled: it takes no part in the programming.
            r.Valid = 0;
        }
        CQTXXml* xmlDescription = binary ? nullptr : &document;
        const QTXForDufList* binaryDescription = binary ? &list : nullptr;
        if (r.Partner == DUF_MODULE_PORT_FIRST)
            UpdateRequestForInternalModule(r, start, length, xmlDescription, binaryDescription);
        else
            UpdateRequestForExternalModule(r, start, length, xmlDescription, binaryDescription);
    }

    // The signal offsets count from the window's first bit.
    for (DufSignal& s : r.Signals)
        s.Offset -= static_cast<int32_t>(start * 8);
    if (r.Partner != DUF_NO_PARTNER)
        r.PcimBufferLength = length;
    r.DfcmLenIn = length;
    r.DfcmLenOut = length;
}
