// The hub's own answers to the requests every driver knows: Diagnostic lists the module errors
// that drivers have set; Debug takes a debug receiver, ends the driver or tests the hex
// switches; KoveFactory runs the LED test and the switch test of the factory; FactorySettings at
// run time resets the whole device.
//
// A factory default at run time: the request sets the configuration directory aside and gives
// the framework the hub's factory defaults, which it copies, applies and stores in a fresh
// directory. Only then (the serving loop calls FinishFactoryDefault) does a thread of its own
// tell every registered driver to take its factory defaults, store the directory in flash and
// answer the client, whose connection waited for it. When the hub's own reset fails, the
// directory that was set aside comes back and the client gets the error.
#include "QTXSystem.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "KovePlatform.h"
#include "QTXConvert.h"

namespace
{
// A registered driver gets this long to take its factory defaults.
constexpr int kFactoryDriverTimeoutMs = 2000;
// A SwitchTest reads this often while the value does not match.
constexpr int kSwitchPollMs = 10;
// GPIO lines of a SwitchTest of type 1 lie below this.
constexpr int64_t kGpioPinLimit = 0x7FFFFFFF;
// The device's reset script of the web server, when it has one.
const char kResetScript[] = "/tmp/fw2/httpdSetFactoryDefault.sh";

std::string WithoutSeparator(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// What the thread that finishes a factory default needs.
struct FactoryDefaultJob
{
    std::unique_ptr<CQTXCommunication> pConnection;
    std::vector<int32_t> vPorts;
    std::string sBackup;
};

// The answer to a factory default that failed: the request with the error.
std::string FactoryDefaultErrorReply(const CQTXError& error)
{
    CQTXXml reply;
    std::string text;
    if (reply.New("FactorySettings", nullptr))
    {
        reply.SetError(error);
        reply.StoreBuffer(text);
    }
    if (text.empty())
        text = sXmlStart + "<FactorySettings Result=\"ERROR\"/>\n";
    return text;
}

void SendAndClose(CQTXCommunication& connection, const std::string& text)
{
    connection.SendBuffer(text.data(), static_cast<int>(text.size()));
    connection.Close();
}

CQTXError SystemError(const char* name, const std::string& text, int line,
                      ErrorSeverity severity = Error)
{
    return CQTXError(name, text, __FILE__, line, severity, "GeneralError");
}

bool FactoryDefaultThread(CQTX* driver, void* argument, int /*intArgument*/)
{
    std::unique_ptr<FactoryDefaultJob> job(static_cast<FactoryDefaultJob*>(argument));
    CSystem* system = static_cast<CSystem*>(driver);
    const std::string request = sXmlStart + "<FactorySettings/>\n";
    for (int32_t port : job->vPorts)
    {
        if (!driver->ContinueThread())
            break;
        // A driver that does not answer in time is skipped.
        SendStringToDriver(request, kFactoryDriverTimeoutMs, port, "");
    }

    const std::string script = PlatPath(kResetScript);
    if (access(script.c_str(), R_OK | X_OK) == 0)
    {
        printf("call %s\n", kResetScript);
        fflush(stdout);
        ExecuteProgram({script}, true);
    }
    else
    {
        printf("not found: %s\n", kResetScript);
        fflush(stdout);
    }

    std::string answer = request;
    if (!StoreConfigurationToFlash(system))
    {
        // The reset is in force; the flash still holds the configuration of before.
        answer = FactoryDefaultErrorReply(
            SystemError("CanNotStoreConfiguration",
                        "Error while trying to store configuration on disk", __LINE__));
        system->WriteToLogfile("Factory default: the configuration could not be stored in flash");
    }
    std::error_code ignored;
    std::filesystem::remove_all(job->sBackup, ignored);
    SendAndClose(*job->pConnection, answer);
    system->WriteToLogfile("Factory default done");
    job.reset();
    system->bFactoryDefaultActive = false;
    return true;
}
} // namespace

// ---- Diagnostic

void CSystem::ProcessDiagnostic()
{
    // Only the error report: the device's identity and versions are Identify's answer.
    std::string errors[SYSTEM_ERROR_SLOTS];
    bool any = false;
    for (int slot = 0; slot < SYSTEM_ERROR_SLOTS; ++slot)
    {
        errors[slot] = GetModuleErrorText(slot);
        any = any || !errors[slot].empty();
    }
    if (!any)
        return;
    XMLNode list = tXmlCommandFile.GetXMLNodeRoot().addChild("Errors");
    for (int slot = 0; slot < SYSTEM_ERROR_SLOTS; ++slot)
    {
        if (errors[slot].empty())
            continue;
        XMLNode error = list.addChild("Error");
        error.addAttribute("Name", aModuleType[slot]);
        error.addAttribute("Text", errors[slot].c_str());
        error.addAttribute("Location", aModuleType[slot]);
    }
}

// ---- Debug

void CSystem::ProcessDebug()
{
    // The commands are properties of the root's own list, made when the request has none.
    const auto select = [this](const char* name)
    {
        tXmlCommandFile.SelectSignalListByName("", "", true);
        tXmlCommandFile.SelectSignalByNumber(-1, true);
        return tXmlCommandFile.SelectPropertyByName(name, false);
    };
    if (select("DebugReceiver"))
        OpenDebugReceiverOfCommand();

    if (select("EndDriver"))
        throw SystemError("UserBreak", "Driver stopped due to user request", __LINE__, Note);

    tXmlCommandFile.SelectSignalListByName("", "TestHexSwitches", false);
    if (tXmlCommandFile.GetXMLNodeSignalList().isEmpty())
        return;
    tXmlCommandFile.SelectSignalByNumber(-1, true);
    const int32_t word = ReadHexSwitchWord();
    bool present = tXmlCommandFile.SelectPropertyByName("Mask", false);
    const uint32_t mask = static_cast<uint32_t>(tXmlCommandFile.GetIntProperty());
    present = tXmlCommandFile.SelectPropertyByName("Value", false) && present;
    const uint32_t value = static_cast<uint32_t>(tXmlCommandFile.GetIntProperty());
    if (!present)
        throw SystemError("MissingParameters", "Either Mask or Value is missing!", __LINE__);
    const uint32_t read = static_cast<uint32_t>(word);
    if (((value ^ read) & mask) != 0)
        throw SystemError("TestFailed",
                          "Test of hex switch failed: read " +
                              IntToString(static_cast<int32_t>(mask & read), 16, 8) +
                              ", but expected " +
                              IntToString(static_cast<int32_t>(value & mask), 16, 8),
                          __LINE__);
    tXmlCommandFile.WriteStringProperty("Status", "OK");
}

// ---- Factory test

bool CSystem::ReadSwitchTestValue(const SwitchTestValues& test, uint32_t& value, CQTXError& error)
{
    value = 0;
    switch (test.iType)
    {
    case 0:
        value = BPBReadWord(test.iAddress, true);
        return true;
    case 1:
        // Bit b: GPIO line (address + 1) * 32 + b, for the bits of the mask.
        for (int bit = 0; bit < 32; ++bit)
        {
            const int64_t pin = (static_cast<int64_t>(test.iAddress) + 1) * 32 + bit;
            if ((test.uMask & (1u << bit)) == 0 || iGPIOFile < 0 || pin < 0 || pin > kGpioPinLimit)
                continue;
            if (PlatIoctl(iGPIOFile, 0, reinterpret_cast<void*>(static_cast<uintptr_t>(pin))) != 0)
                value |= 1u << bit;
        }
        return true;
    case 2:
        switch (test.iAddress)
        {
        case 0:
            value = ReadUnitNumber(this);
            return true;
        case 1:
            value = ReadSecondHexSwitch(this);
            return true;
        case 2:
            value = ReadSwitchNibble3(this);
            return true;
        case 16:
            value = ReadSwitchWord4(this);
            return true;
        case 32:
            value = ReadFactoryButton(this) & 1u;
            return true;
        default:
            error = SystemError("WrongAddress", "Unknown address for Type=2 in SwitchTest=\"",
                                __LINE__);
            return false;
        }
    default:
        error = SystemError("WrongType", "Wrong type number in SwitchTest=\"", __LINE__);
        return false;
    }
}

std::string CSystem::RunSwitchTest(const SwitchTestValues& test, CQTXError& error)
{
    int64_t remaining = test.iTimeoutMs;
    bool matched = false;
    int delay = kSwitchPollMs;
    while (remaining >= 0 || matched)
    {
        uint32_t read = 0;
        if (!ReadSwitchTestValue(test, read, error))
            return error.ErrorText();
        if ((read & test.uMask) == test.uValue)
        {
            // A match counts when it is still there one hold time later.
            if (matched)
                return "";
            matched = true;
            delay = test.iHoldMs;
        }
        else
        {
            matched = false;
            delay = kSwitchPollMs;
        }
        SystemSleepMs(delay);
        remaining -= delay;
    }
    error = SystemError("Timeout", "Register value did not match within timeout", __LINE__);
    return error.ErrorText();
}

void CSystem::ProcessKoveFactory()
{
    XMLNode root = tXmlCommandFile.GetXMLNodeRoot();
    if (const char* mode = root.getAttribute("LEDTest"))
        iLedTestMode = StringToInt(mode);

    const char* text = root.getAttribute("SwitchTest");
    if (text == nullptr)
        return;
    const std::string quoted = std::string(text) + "\"";
    int32_t values[6] = {};
    CQTXError error("", "", nullptr, 0);
    if (StringToIntArray(text, values, 6) < 6)
    {
        tXmlCommandFile.SetError(SystemError(
            "WrongProperties", "Wrong number of values in SwitchTest=\"" + quoted, __LINE__));
        return;
    }
    SwitchTestValues test;
    test.iType = values[0];
    test.iAddress = values[1];
    test.uMask = static_cast<uint32_t>(values[2]);
    test.uValue = static_cast<uint32_t>(values[3]);
    test.iHoldMs = values[4];
    test.iTimeoutMs = values[5];
    if (test.iTimeoutMs < 0 || test.iTimeoutMs > SYSTEM_SWITCH_TEST_MAX_TIMEOUT_MS)
    {
        tXmlCommandFile.SetError(SystemError(
            "WrongProperties",
            "Wrong 5th value in SwitchTest=\"" + quoted + ": only 0..3600000 allowed", __LINE__));
        return;
    }
    // The serving thread waits out the hold time: it is bounded as the timeout is.
    if (test.iHoldMs < 0 || test.iHoldMs > SYSTEM_SWITCH_TEST_MAX_HOLD_MS)
    {
        tXmlCommandFile.SetError(SystemError(
            "WrongProperties",
            "Wrong hold time in SwitchTest=\"" + quoted + ": only 0..60000 allowed", __LINE__));
        return;
    }
    if (RunSwitchTest(test, error).empty())
    {
        root.updateAttribute("Done", nullptr, "Result");
        return;
    }
    // The type and address errors name the request's value.
    if (error.ErrorText() == "WrongType" || error.ErrorText() == "WrongAddress")
        error = SystemError(error.ErrorText().c_str(), error.ErrorParameter() + quoted, __LINE__);
    tXmlCommandFile.SetError(error);
}

// ---- Factory default at run time

std::string CSystem::GetFactorySettingFileName()
{
    if (bFactoryDefaultActive)
        throw SystemError("StillActive", "Last FactoryDefaultRequest is still running", __LINE__);
    if (IsBooting())
        return CQTX::GetFactorySettingFileName();

    // Everything that can fail before anything is changed. The hub's own factory defaults,
    // when it has them, must be a configuration document.
    const std::string factory = FileNameToAbsolutePath(CQTX::GetFactorySettingFileName());
    if (access(factory.c_str(), F_OK) == 0)
    {
        CQTXXml probe;
        probe.SetItemBound(XML_UNBOUNDED_ITEMS);
        if (!probe.LoadFile(factory.c_str(), QTX_TAG_MODULE))
            throw SystemError("WrongFactoryDefault",
                              "The factory defaults of the system driver can not be read",
                              __LINE__);
    }
    std::vector<int32_t> ports;
    std::unique_ptr<CQTXCommunication> connection;
    try
    {
        ports.resize(SYSTEM_REGISTRY_CAPACITY);
        ports.resize(
            static_cast<size_t>(GetRegisteredPorts(ports.data(), SYSTEM_REGISTRY_CAPACITY)));
        connection.reset(new CQTXCommunication());
    }
    catch (const std::bad_alloc&)
    {
        throw SystemError("OutOfMemory", "Out of memory", __LINE__);
    }

    // The configuration directory is set aside, not deleted: a reset that fails puts it back.
    const std::string directory = WithoutSeparator(GetConfigurationPath());
    const std::string backup = directory + ".before-factory-default";
    std::error_code ignored;
    std::filesystem::remove_all(backup, ignored);
    if (rename(directory.c_str(), backup.c_str()) != 0 && errno != ENOENT)
        throw SystemError("CanNotReset",
                          "Can not set the configuration directory aside: " +
                              std::string(strerror(errno)),
                          __LINE__);
    if (mkdir(directory.c_str(), 0777) != 0)
    {
        const int error = errno;
        rename(backup.c_str(), directory.c_str());
        throw SystemError(
            "CanNotReset",
            "Can not make the configuration directory: " + std::string(strerror(error)), __LINE__);
    }
    WriteToLogfile("Factory default: configuration directory set aside");

    // The client is answered once the whole device is reset.
    GetCommunicationClass().MoveConnectionTo(*connection);
    pFactoryDefaultConnection = std::move(connection);
    vFactoryDefaultPorts = ports;
    sFactoryDefaultBackup = backup;
    bFactoryDefaultActive = true;
    bFactoryDefaultPending = true;
    return CQTX::GetFactorySettingFileName();
}

void CSystem::FinishFactoryDefault(bool failed, const std::string& why)
{
    if (!bFactoryDefaultPending)
        return;
    bFactoryDefaultPending = false;
    std::unique_ptr<FactoryDefaultJob> job(new FactoryDefaultJob);
    job->pConnection = std::move(pFactoryDefaultConnection);
    job->vPorts.swap(vFactoryDefaultPorts);
    job->sBackup = sFactoryDefaultBackup;

    if (!failed)
    {
        FactoryDefaultJob* started = job.release();
        if (StartThread(FactoryDefaultThread, started, 0, -1000000).bValid)
            return;
        job.reset(started);
        failed = true;
    }

    // The hub's own reset failed: the configuration of before comes back.
    const std::string directory = WithoutSeparator(GetConfigurationPath());
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    if (rename(job->sBackup.c_str(), directory.c_str()) != 0)
        mkdir(directory.c_str(), 0777);
    WriteToLogfile("Factory default failed, the configuration is as it was: " + why);
    if (job->pConnection)
        SendAndClose(*job->pConnection,
                     FactoryDefaultErrorReply(SystemError(
                         "FactoryDefaultFailed",
                         why.empty() ? std::string("Factory default failed") : why, __LINE__)));
    bFactoryDefaultActive = false;
}
