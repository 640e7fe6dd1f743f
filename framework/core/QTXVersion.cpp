// Version information: the driver's version record from the system driver's identity and the
// module's EEPROM image, its DeviceVersion element in replies, and the text forms of firmware
// versions and ordering numbers.
#include "QTXVersion.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QTX.h"
#include "QTXConvert.h"
#include "QTXMessages.h"

namespace
{
// The system driver's identity request and where its answer is kept.
constexpr unsigned short kSystemTag = 0x1F;
constexpr int kSystemTimeoutMs = 1000;
const char kSystemReplyFile[] = "FromSystem.xml";

// EEPROM image as far as the version record uses it.
constexpr size_t kImageBytes = 256;
constexpr size_t kImageSerialNumber = 0x10;
constexpr size_t kImageOrderingNumber = 0x40;
constexpr size_t kImageHwVersion = 0x80;
constexpr size_t kImageHwVariant = 0x88;
constexpr size_t kImageEepromId = 0x90;
constexpr size_t kImageEepromInfo = 0x98;

// A module whose firmware the system driver found incompatible.
constexpr int kLockFirmwareIncompatible = -2;

// Guards the version record, which any thread of the driver may ask for.
pthread_mutex_t* VersionInfoMutex()
{
    static pthread_mutex_t mutex;
    static const bool created = (NyMutexCreatePrivate(&mutex), true);
    (void)created;
    return &mutex;
}

// A "%d" as scanf reads it: white space, an optional sign and at least one digit. The value
// is limited to the range of int32_t.
bool ScanInt(const char*& text, int32_t& value)
{
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!isdigit(static_cast<unsigned char>(*p)))
        return false;
    int64_t magnitude = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p)
        magnitude = std::min<int64_t>(magnitude * 10 + (*p - '0'), int64_t(INT32_MAX) + 1);
    int64_t signedValue = negative ? -magnitude : magnitude;
    value = static_cast<int32_t>(
        std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, signedValue)));
    text = p;
    return true;
}

// "A.B" as the integer A * 1000000 + B; 0 when two numbers cannot be read.
uint32_t OrderingNumberOf(const char* text)
{
    int32_t major = 0;
    int32_t minor = 0;
    const char* p = text;
    if (p == nullptr || !ScanInt(p, major) || *p++ != '.' || !ScanInt(p, minor))
        return 0;
    return static_cast<uint32_t>(major) * 1000000u + static_cast<uint32_t>(minor);
}

// Text of an element's child, or null when the child or its text is missing.
const char* ChildText(const XMLNode& node, const char* name)
{
    XMLNode child = node.getChildNode(name);
    return child.isEmpty() ? nullptr : child.getText(0);
}

// The module's EEPROM image with a terminating zero behind it, or the stand-in image when the
// file cannot be opened. Bytes that a short file leaves unfilled are zero.
void ReadEepromImage(const std::string& path, unsigned char (&image)[kImageBytes + 1])
{
    memset(image, 0, sizeof image);
    FILE* file = fopen(path.c_str(), "rb");
    if (file != nullptr)
    {
        size_t got = fread(image, 1, kImageBytes, file);
        (void)got;
        fclose(file);
        return;
    }
    memcpy(image + kImageSerialNumber, "000000", 7);
    memcpy(image + kImageOrderingNumber, "00.000000", 10);
    memcpy(image + kImageHwVersion, "xx", 3);
}
} // namespace

uint32_t FirmwareVersionToUINT32(const char* text)
{
    if (text == nullptr || *text != 'v')
        return 0;
    const char* p = text + 1;
    int32_t a = 0;
    int32_t b = 0;
    int32_t c = 0;
    if (!ScanInt(p, a) || *p++ != '.' || !ScanInt(p, b) || *p++ != '.' || !ScanInt(p, c))
        return 0;
    const uint32_t base = (static_cast<uint32_t>(a) * 100000u + static_cast<uint32_t>(b) * 1000u +
                           static_cast<uint32_t>(c))
                          << 8;

    // Optional "-", two characters of any kind and a build number: all or nothing.
    // As a scan of "-%c%c%d" would count them: a text that ends right after the "-" or does
    // not go on with "-" has three fields; one or two more fields without the build number
    // make an incomplete suffix.
    if (*p != '-' || p[1] == '\0')
        return base;
    if (p[2] == '\0')
        return 0;
    p += 3;
    int32_t build = 0;
    if (!ScanInt(p, build))
        return 0;
    return base + static_cast<uint32_t>(std::max(0, std::min(255, build)));
}

uint32_t GetOrderingNumber(const unsigned char* text)
{
    bool valid = text != nullptr;
    uint32_t number = 0;
    for (int i = 0; valid && i < 9; ++i)
    {
        if (i == 2)
            valid = text[i] == '.';
        else if ((valid = isdigit(text[i]) != 0))
            number = number * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    if (valid && text[9] == '\0')
        return number;
    fputs("ERROR: corrupt order number", stdout);
    fflush(stdout);
    return 0;
}

std::string FirmwareVersionToString(uint32_t version)
{
    const uint32_t v = version >> 8;
    const uint32_t build = version & 0xFF;
    char text[64];
    snprintf(text, sizeof text, "v%02u.%02u.%03u", v / 100000, (v / 1000) % 100, v % 1000);
    std::string result = text;
    if (build != 0)
        result += "-rc" + std::to_string(build);
    return result;
}

bool CQTX::LoadSystemIdentity(CQTXXml& identity)
{
    if (ulPort == QTX_SYSTEM_PORT)
    {
        // The system driver is the one that would be asked, and it is busy with the request in
        // hand: it never sends a request to itself but takes its own identity document.
        try
        {
            const std::string own = FileNameToAbsolutePath(GetModuleInfoFileName());
            return identity.LoadFile(own.c_str(), kSystemTag);
        }
        catch (CQTXError&)
        {
            return false;
        }
    }
    const std::string replyFile = FileNameToAbsolutePath(kSystemReplyFile);
    return SendStringToDriver(sXmlStart + "<Identify/>\n", kSystemTimeoutMs, QTX_SYSTEM_PORT,
                              replyFile) &&
           identity.LoadFile(replyFile.c_str(), kSystemTag);
}

void CQTX::GetVersionInfo(_QTXVersionInfo* out)
{
    LockGuard guard(VersionInfoMutex());
    guard.Lock();

    if (ptVersionInfo == nullptr)
    {
        ptVersionInfo = static_cast<_QTXVersionInfo*>(calloc(1, sizeof(_QTXVersionInfo)));
        if (ptVersionInfo == nullptr)
            throw CQTXError("OutOfMemory", "Not enough memory for version info", __FILE__, __LINE__,
                            FatalError, "GeneralError");
    }

    // Filled until the system driver has answered once; the record then stays as it is.
    if (!bVersionInfoComplete)
    {
        _QTXVersionInfo& info = *ptVersionInfo;
        memset(&info, 0, sizeof info);

        if (static_cast<int32_t>(ulBpbBaseAddress) < 0)
            info.ulFpgaVersion = BPBReadWord(
                static_cast<int32_t>((ulBpbBaseAddress & 0xE0000000u) | 0x1FF00000u), true);
        else
            info.ulFpgaVersion = BPBReadWord(4, false);

        CQTXXml reply;
        XMLNode systemInfo;
        if (LoadSystemIdentity(reply))
            systemInfo = reply.GetXMLNodeRoot().getChildNode("SystemInfo");

        if (!systemInfo.isEmpty())
        {
            XMLNode serialNode = systemInfo.getChildNode("SerialNumber");
            const char* serialText = serialNode.isEmpty() ? nullptr : serialNode.getText(0);
            const bool systemData =
                !serialNode.isEmpty() && (serialText == nullptr || serialText[0] != '(');

            unsigned char image[kImageBytes + 1];
            ReadEepromImage(FileNameToAbsolutePath(sEepromFileName), image);
            const char* imageText = reinterpret_cast<const char*>(image);

            const char* swText = ChildText(systemInfo, "VersionSW");
            info.ulSwVersion = (swText == nullptr || GetModuleLock() == kLockFirmwareIncompatible)
                                   ? 0
                                   : FirmwareVersionToUINT32(swText);

            if (systemData)
            {
                const char* hw = ChildText(systemInfo, "VersionHW");
                if (hw == nullptr || hw[0] == '\0')
                    hw = "--";
                info.acHwVersion[0] = hw[0];
                info.acHwVersion[1] = hw[1];

                info.ulSerialNumber = static_cast<uint32_t>(StringToInt(
                    (serialText == nullptr || serialText[0] == '\0') ? "000000" : serialText));
                info.ulOrderingNumber = OrderingNumberOf(ChildText(systemInfo, "OrderingNumber"));
            }
            else
            {
                memcpy(info.acHwVersion, image + kImageHwVersion, sizeof info.acHwVersion);
                info.ulSerialNumber =
                    static_cast<uint32_t>(StringToInt(imageText + kImageSerialNumber));
                info.ulOrderingNumber = OrderingNumberOf(imageText + kImageOrderingNumber);
            }

            memcpy(info.aucEepromInfo, image + kImageEepromInfo, sizeof info.aucEepromInfo);
            info.ucHwVariant = systemData ? 0 : image[kImageHwVariant];
            memcpy(info.aucEepromId, image + kImageEepromId, sizeof info.aucEepromId);

            std::string name = sModuleName;
            if (systemData)
            {
                const char* systemName = ChildText(systemInfo, "Name");
                name = systemName != nullptr ? systemName : "UNKNOWN";
            }
            CopyStringToCharArray(info.acName, name, sizeof info.acName);

            bVersionInfoComplete = true;
        }
    }

    if (out != nullptr)
        memcpy(out, ptVersionInfo, sizeof(_QTXVersionInfo));
}

bool CQTX::AddDeviceVersionToXml(CQTXXml* document, uint32_t /*unused*/)
{
    _QTXVersionInfo info;
    GetVersionInfo(&info);

    if (document == nullptr)
        return false;
    XMLNode root = document->GetXMLNodeRoot();
    if (root.isEmpty())
        return false;
    XMLNode old = root.getChildNode("DeviceVersion");
    if (!old.isEmpty())
        old.deleteNodeContent();
    XMLNode version = root.addChild("DeviceVersion");
    if (version.isEmpty())
        return false;

    auto add = [&version](const char* name, const std::string& text)
    {
        XMLNode element = version.addChild(name);
        if (!text.empty())
            element.addText(text.c_str());
    };
    add("VersionSW", FirmwareVersionToString(info.ulSwVersion));
    add("VersionHW", std::string(info.acHwVersion, strnlen(info.acHwVersion, 2)));
    add("VersionFPGA", IntToString(static_cast<int32_t>(info.ulFpgaVersion), 16, 8));
    add("SerialNumber", IntToString(static_cast<int32_t>(info.ulSerialNumber), 10, 6));
    if (!sCalibration.empty())
        add("CalibrationInfo",
            sCalibrator.empty() ? sCalibration : sCalibration + " by " + sCalibrator);
    return true;
}
