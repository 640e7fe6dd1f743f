// Request dispatch: a received request is loaded into its document object, handed by its
// command tag to a framework handler or to one of the driver's virtual operations between the
// configuration-lock hooks, and answered with the same document, results and errors written
// into it. The command-tag table gives every request's root element its tag number; binary
// command files carry the same numbers in their head.
#include "QTX.h"

#include <functional>

#include "QTXConvert.h"

extern const Item_t aCommandTags[] = {
    {"Configuration", 256},
    {"FactorySettings", 258},
    {"AddressTable", 4},
    {"Diagnostic", 513},
    {"Identify", 514},
    {"Module", 257},
    {"Device", 768},
    {"Debug", 1},
    {"Lock", 512},
    {"SetUserConfig", 2},
    {"Ping", 3},
    {"NOP", 3},
    {"KoveFactory", 6},
    {"RegisterModule", 20},
    {"RemoveModule", 21},
    {"Update", 22},
    {"StoreConfiguration", 23},
    {"ForbidConfigSave", 24},
    {"SetModuleError", 25},
    {"ClearModuleError", 26},
    {"GetUserConfig", 27},
    {"SetSamplingPeriodInUs", 28},
    {"LEDTest", 29},
    {"SetL1Rate", 30},
    {"System", 31},
    {"CompatibilityList", 32},
    {"Watchdog", 33},
    {"Reboot", 34},
    {"NamedSharedMemory", 35},
    {"WagoConnLed", 36},
    {"ConfigNetName", 37},
    {"Version", 50},
    {"Reconfigure", 70},
    {"SetNetName", 515},
    {nullptr, 0},
};

namespace
{
// Tags the framework handles itself.
constexpr unsigned short kTagDebug = 1;
constexpr unsigned short kTagSetUserConfig = 2;
constexpr unsigned short kTagPing = 3;
constexpr unsigned short kTagAddressTable = 4;
constexpr unsigned short kTagKoveFactory = 6;
constexpr unsigned short kTagConfiguration = 256;
constexpr unsigned short kTagModule = 257;
constexpr unsigned short kTagFactorySettings = 258;
constexpr unsigned short kTagLock = 512;
constexpr unsigned short kTagDiagnostic = 513;
constexpr unsigned short kTagIdentify = 514;

// Standard short errors as they travel in a binary head.
constexpr uint16_t kStdErrorNotPossible = 0xFF00; // -256 "NoXml"
constexpr uint16_t kStdErrorNoMemory = 0xFEFE;    // -258 "NoMemory"

// Keeps the factory-default flag set for the life of a scope, also when it is left by an
// exception.
class CFactoryDefaultScope
{
public:
    explicit CFactoryDefaultScope(std::atomic<bool>& flag) : m_rFlag(flag) { m_rFlag = true; }
    ~CFactoryDefaultScope() { m_rFlag = false; }
    CFactoryDefaultScope(const CFactoryDefaultScope&) = delete;
    CFactoryDefaultScope& operator=(const CFactoryDefaultScope&) = delete;

private:
    std::atomic<bool>& m_rFlag;
};
} // namespace

void CQTX::ProcessXMLFile(uint32_t requestCode, std::string* received)
{
    // An empty text means that no handler failed.
    CQTXError error("", "", nullptr, 0, Error, "GeneralError");
    const bool binary = (requestCode & 0x80000000u) != 0;
    const _QTXCommandFileType type = binary ? QTX_FILE_TYPE_BINARY : QTX_FILE_TYPE_XML;
    const unsigned short tag = static_cast<unsigned short>(requestCode & 0xFFFFu);
    const std::string request = std::to_string(tag) + (binary ? " bin" : " xml");
    LockGuard guard(&tConfigMutex);

    if (tDebugReceiver.Available())
        DebugOutput("Processing Request " + request);
    ConfigThreadLock(guard);

    const int loaded = XmlLoadActualFile(tag, type, received);
    if (loaded != 0)
    {
        // Why the document was refused (too large, not UTF-8, malformed) goes to the log.
        if (!binary && !tXmlCommandFile.GetParseError().empty())
            WriteToLogfile("Request " + request + " refused: " + tXmlCommandFile.GetParseError());
        ConfigThreadUnlock(guard);
        // Nothing is answered; the client is not left waiting on its connection.
        bCloseConnection = true;
        throw CQTXError("NoCommandFile", "No command file, error = " + std::to_string(loaded),
                        __FILE__, __LINE__, Error, "GeneralError");
    }
    bCloseConnection = !binary && !tXmlCommandFile.GetAttributeKeepConnection();

    // A handler's error goes into the reply, and the reply goes out as usual.
    const auto handle = [&](const std::function<void()>& handler)
    {
        try
        {
            handler();
        }
        catch (CQTXError& caught)
        {
            SetErrorInCommandFile(caught);
            error = caught;
        }
    };
    bReplyNotStored = false;
    bReplyCut = false;
    const auto storeAndSend = [this] { StoreAndSendReply(); };
    const auto sendFile = [this](const std::string& name)
    { tCommandServer.SendFile(FileNameToAbsolutePath(name), true); };

    switch (tag)
    {
    case kTagConfiguration:
    {
        int setIndex = 0;
        const std::string file = FileNameToAbsolutePath(GetConfigurationFileName(setIndex));
        if (CQTXCommandFile::GetFileType(file.c_str()) != type)
        {
            SendStdError(kStdErrorNotPossible);
        }
        else if (binary)
        {
            if (!SendStoredBinaryConfiguration(file))
                SendStdError(kStdErrorNoMemory);
        }
        else
        {
            UpdateConfigurationFileXml(file, true);
            sendFile(file);
        }
        break;
    }

    case kTagAddressTable:
        sendFile(GetDUFConfigurationFileName());
        break;

    case kTagPing:
        if (binary)
            SendStdError(kStdErrorNotPossible);
        else if (!sCurrentRequestContent.empty())
            // The request as just loaded: the same bytes as its file.
            tCommandServer.SendDocument(sCurrentRequestContent.data(),
                                        sCurrentRequestContent.size(), true);
        else
            tCommandServer.SendFile(sCurrentRequestFile, true);
        break;

    case kTagIdentify:
        if (binary)
            SendStdError(kStdErrorNotPossible);
        else
            sendFile(GetModuleInfoFileName());
        break;

    case kTagDebug:
    case kTagSetUserConfig:
    case kTagKoveFactory:
    case kTagLock:
    case kTagDiagnostic:
        if (binary)
        {
            SendStdError(kStdErrorNotPossible);
            break;
        }
        handle(
            [&]
            {
                switch (tag)
                {
                case kTagDebug:
                    ProcessDebug();
                    break;
                case kTagSetUserConfig:
                    ProcessUserConfig(CharPointerToString(
                        tXmlCommandFile.GetXMLNodeRoot().getAttribute("Value")));
                    break;
                case kTagKoveFactory:
                    ProcessKoveFactory();
                    break;
                case kTagLock:
                    ProcessLockRequest();
                    break;
                default:
                    ProcessDiagnostic();
                    break;
                }
            });
        storeAndSend();
        break;

    case kTagModule:
    {
        if ((binary && !bBinConfigAllowed) || (!binary && !bXmlConfigAllowed))
        {
            SendStdError(kStdErrorNotPossible);
            break;
        }
        bool reply = true;
        handle(
            [&]
            {
                // A binary configuration that fails its first check carries the findings already.
                if (!pCurrentCommandFile->Cfg_1st_Check(ucBinCheckFirst))
                    return;
                if (!binary && !SameString(tXmlCommandFile.GetRootTagNameAttribute(), sModuleName))
                    throw CQTXEXmlError("WrongModule", "Module name does not fit", __FILE__,
                                        __LINE__, Error);
                const int lock = GetModuleLock();
                if (lock == -2 && !bSimulate)
                    throw CQTXEParameterError(
                        "ModuleNeedsUpdate",
                        "The FW of this module is incompatible with the FW on the CPU module",
                        __FILE__, __LINE__, Error);
                if (lock != 0 && lock != -2 && !ChecksConfigurationUnderLock(lock))
                {
                    // Locked by a client: the driver answers with the stored configuration.
                    int setIndex = 0;
                    const std::string file =
                        FileNameToAbsolutePath(GetConfigurationFileName(setIndex));
                    reply = ProcessLockedConfiguration(file.c_str(), type);
                    return;
                }
                int setIndex = 0;
                if (!ParseAndCheckConfiguration(setIndex))
                    return; // refused: the findings are in the document
                SetHardwareConfiguration();
                if (setIndex >= 0 && setIndex <= 9)
                {
                    int nameIndex = setIndex;
                    // A configuration that is applied but not stored would be lost at the next
                    // start: the requester is told so.
                    if (!StoreConfiguration(GetConfigurationFileName(nameIndex), setIndex))
                        throw StoreConfigurationError();
                    ConfigurationDone();
                }
            });
        if (reply)
            storeAndSend();
        break;
    }

    case kTagFactorySettings:
    {
        std::string factory;
        handle([&] { factory = GetFactorySettingFileName(); });
        if (!error.ErrorText().empty())
        {
            // Refused (a reset that is still running, ...): the request goes back with why.
            storeAndSend();
            break;
        }
        int setIndex = 0;
        const std::string configuration = CQTX::GetConfigurationFileName(setIndex);
        if (factory.empty() || configuration.empty() || setIndex < 0 || setIndex > 9)
        {
            tCommandServer.SendFile(sCurrentRequestFile, true);
            break;
        }
        {
            CFactoryDefaultScope factoryDefault(bFactoryDefault);
            handle(
                [&]
                {
                    CopyFactoryDefault(factory, configuration);
                    const std::string file = FileNameToAbsolutePath(configuration);
                    if (LoadCommandFile(file.c_str(), QTX_TAG_MODULE) == 0 &&
                        ParseAndCheckConfiguration(setIndex))
                    {
                        SetHardwareConfiguration();
                        if (setIndex >= 0 && setIndex <= 9)
                            StoreConfiguration(configuration, setIndex);
                    }
                });
            // The reply is the configuration now loaded, with whatever the check wrote into
            // it. Without one there is nothing to answer with: "CanNotStoreFile".
            StoreAndSendReply();
        }
        break;
    }

    default:
        // Device and every tag from 20 on: the driver's own commands.
        handle(
            [&]
            {
                const int result = ProcessUnknownXmlTag(requestCode);
                if (result != 0 && pCurrentCommandFile != nullptr)
                    pCurrentCommandFile->SetStdError(static_cast<short>(result));
            });
        storeAndSend();
        break;
    }

    ConfigThreadUnlock(guard);
    FreeCommandFileMemory();

    // A reply that went out without its ring file: the disk is full or read-only.
    if (bReplyCut && error.ErrorText().empty())
        error = CQTXError("ReplyTooLong", "The reply was cut to its root and this error", __FILE__,
                          __LINE__, Error, "GeneralError");
    if (bReplyNotStored && error.ErrorText().empty())
        error = CQTXError("CanNotStoreFile", "Can not store file", __FILE__, __LINE__, Error,
                          "GeneralError");
    const bool failed = !error.ErrorText().empty();
    if (tDebugReceiver.Available())
    {
        if (failed)
            DebugOutput("Finished Request " + request + " with ERROR:" + error.ErrorText() +
                        " at " + error.ErrorLocation());
        else
            DebugOutput("Finished Request " + request + " without error");
    }
    if (failed)
        throw error;
}

void CQTX::SendStdError(uint16_t number)
{
    if (pCurrentCommandFile == nullptr)
        return;
    pCurrentCommandFile->SetStdError(static_cast<short>(number));
    StoreAndSendReply();
}

void CQTX::SendError(CQTXError& error)
{
    if (pCurrentCommandFile == nullptr)
        return;
    SetErrorInCommandFile(error);
    StoreAndSendReply();
}

bool CQTX::SendStoredBinaryConfiguration(const std::string& file)
{
    CQTXBin stored;
    if (!stored.LoadFile(file.c_str(), QTX_TAG_MODULE) || stored.GetLength() == 0)
        return false;
    // Sent as a configuration reply: tag 0x8100, no error.
    unsigned char* block = stored.GetDataWithBinHead();
    block[6] = 0x00;
    block[7] = 0x81;
    block[8] = 0x00;
    block[9] = 0x00;
    tCommandServer.SendBuffer(block, static_cast<int>(stored.GetFullLength()));
    return true;
}
