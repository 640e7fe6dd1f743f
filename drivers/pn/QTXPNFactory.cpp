// The sniffer's factory defaults and its factory tests: the default configuration files of
// both configuration sets, and the KoveFactory request with its bus test and factory mode.
#include "QTXPN.h"

#include <cstdio>
#include <cstring>

#include "PnBusTest.h"
#include "PnPort.h"
#include "QTXBinConfig.h"
#include "QTXConvert.h"
#include "nyDebug.h"

namespace
{
constexpr unsigned short kConfigurationTag = 257;

// "FactoryDefault.xml" for set 0, "FactoryDefault_<n>.xml" for the others.
std::string FactoryDefaultName(int set)
{
    return set == 0 ? "FactoryDefault.xml" : "FactoryDefault_" + std::to_string(set) + ".xml";
}

// True when the root attribute holds a true value of the boolean table.
bool IsTrue(const XMLNode& root, const char* name)
{
    const char* value = root.getAttribute(name);
    return value != nullptr && ItemStringToInt(aBoolItems, value) == 1;
}
} // namespace

bool CPN::WriteFactoryDefaultFiles()
{
    unsigned char image[PN_FACTORY_FILE_LENGTH] = {};
    QtxBinSetInit_FIRST_HEAD(image, kConfigurationTag, PN_FACTORY_CONFIG_LENGTH);
    image[16 + 2] = PN_CONFIG_TYPE_PROFINET;
    image[16 + 3] = 0;
    bool written = true;
    for (int set = 0; set <= 1; ++set)
    {
        const std::string path = FileNameToAbsolutePath(FactoryDefaultName(set));
        const bool ok = ReplaceFile(path,
                                    [&image](const std::string& file)
                                    {
                                        FILE* out = fopen(file.c_str(), "wb");
                                        if (out == nullptr)
                                            return false;
                                        const bool all =
                                            fwrite(image, 1, sizeof image, out) == sizeof image;
                                        return fclose(out) == 0 && all;
                                    });
        if (!ok)
        {
            nyDebugSavePrintf(NYDEBUG_LEVEL_ERROR, "Can not write %s", path.c_str());
            written = false;
        }
    }
    return written;
}

void CPN::ProcessKoveFactory()
{
    QTX_FUNCTION_LOG();
    XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    const struct
    {
        const char* attribute;
        int (*run)(char* message);
    } tests[] = {{"BusTest", PNBusTest}, {"FactoryMode", SetToFactoryMode}};
    for (const auto& test : tests)
    {
        if (!IsTrue(root, test.attribute))
            continue;
        char message[PN_MESSAGE_SIZE] = {};
        // The factory mode stops the monitor-port thread: the log tells when that happened.
        const bool monitorRan = MonitorPortThreadRunning();
        const int result = test.run(message);
        if (monitorRan && !MonitorPortThreadRunning())
            WriteToLogfile("Monitor-port thread stopped");
        if (result == 0)
        {
            root.updateAttribute("Done", nullptr, test.attribute);
        }
        else
        {
            message[PN_MESSAGE_SIZE - 1] = '\0';
            tXmlCommandFile.SetError(CQTXError("Failed", std::string("Error: ") + message, __FILE__,
                                               __LINE__, Error, "GeneralError"));
        }
    }
}
