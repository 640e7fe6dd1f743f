// The hub's module registry and module errors: the registration texts, registration in both
// forms, removal, the presence masks, the device identity from slot 0 and the error slots.
#include "SystemTestSupport.h"

#include <vector>

namespace
{
const std::string kHead = "<?xml version=\"1.0\"?>\n";

std::vector<int32_t> Ports(const CSystem& system)
{
    std::vector<int32_t> ports;
    for (const RegisteredModule& module : system.GetRegisteredModules())
        ports.push_back(module.iPort);
    return ports;
}

const RegisteredModule* Entry(const std::vector<RegisteredModule>& registry, int32_t port)
{
    for (const RegisteredModule& module : registry)
        if (module.iPort == port)
            return &module;
    return nullptr;
}

TEST(SystemRegistrationText, PiecesAndMissingSeparators)
{
    const struct
    {
        const char* text;
        RegisteredModule expected;
    } cases[] = {
        {"Sys:62201", {62201, "Sys", 0, 0, 0, 0, "", "", QTX_MODULE_RUNNING}},
        {"AI:62100*52.230010#4711+01,v1.2.3!0x00AB12CD",
         {62100, "AI", 52, 230010, 4711, 0x00AB12CD, "01", "v1.2.3", QTX_MODULE_RUNNING}},
        // Each missing separator makes the rest the value in hand.
        {"AI:62101*12.345678", {62101, "AI", 12, 345678, 0, 0, "", "", QTX_MODULE_RUNNING}},
        {"AI:62102*12.3#7+HW-A", {62102, "AI", 12, 3, 7, 0, "HW-A", "", QTX_MODULE_RUNNING}},
        {"AI:62103*12.3#7+01,v2.0.0",
         {62103, "AI", 12, 3, 7, 0, "01", "v2.0.0", QTX_MODULE_RUNNING}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        const RegisteredModule module = ParseRegistrationText(c.text);
        EXPECT_EQ(module.sName, c.expected.sName);
        EXPECT_EQ(module.iPort, c.expected.iPort);
        EXPECT_EQ(module.iOrderingGroup, c.expected.iOrderingGroup);
        EXPECT_EQ(module.iOrderingNumber, c.expected.iOrderingNumber);
        EXPECT_EQ(module.iSerialNumber, c.expected.iSerialNumber);
        EXPECT_EQ(module.uFpgaBuild, c.expected.uFpgaBuild);
        EXPECT_EQ(module.sHardwareVersion, c.expected.sHardwareVersion);
        EXPECT_EQ(module.sSoftwareVersion, c.expected.sSoftwareVersion);
        EXPECT_EQ(module.eState, c.expected.eState);
    }

    const struct
    {
        std::string text;
        const char* error;
    } errors[] = {
        {"NoPort", "MissingPort"},
        {"", "MissingPort"},
        // The ":" beyond the 99th character is cut away with the rest.
        {std::string(99, 'n') + ":62100", "MissingPort"},
        {"AI:62100*1234#5", "WrongNumber"},
    };
    for (const auto& e : errors)
    {
        SCOPED_TRACE(e.text);
        try
        {
            ParseRegistrationText(e.text);
            ADD_FAILURE() << "no error";
        }
        catch (CQTXError& error)
        {
            EXPECT_EQ(error.ErrorText(), e.error);
            EXPECT_EQ(error.ErrorType(), "XmlError");
            EXPECT_EQ(error.ErrorSeverity(), Error);
        }
    }
}

TEST_F(SystemUnit, RegistrySortsByPortAndAnUpdateKeepsWhatItDoesNotTell)
{
    CTestSystem& system = System();
    for (const char* name :
         {"Sw:62201", "Fo:62002", "AI:62103*12.345678#42+01,v1.0.0!0x1A2B", "Duf:62001", "X:62230"})
        EXPECT_EQ(system.Request(kHead + "<RegisterModule Name=\"" + name + "\"/>"), 0);
    EXPECT_EQ(Ports(system), (std::vector<int32_t>{62001, 62002, 62103, 62201, 62230}));
    EXPECT_EQ(system.GetModuleSlotMask(), 1u << 3);
    EXPECT_EQ(system.GetSoftwareModuleMask(), (1u << 0) | (1u << 29));

    // The same port with name and port only: the stamp of the first registration stays.
    system.bIdentifyChanged = false;
    system.Request(kHead + "<RegisterModule Name=\"AI2:62103\"/>");
    EXPECT_TRUE(system.bIdentifyChanged);
    const std::vector<RegisteredModule> registry = system.GetRegisteredModules();
    ASSERT_EQ(registry.size(), 5u);
    const RegisteredModule* module = Entry(registry, 62103);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->sName, "AI2");
    EXPECT_EQ(module->iOrderingGroup, 12);
    EXPECT_EQ(module->iOrderingNumber, 345678);
    EXPECT_EQ(module->iSerialNumber, 42);
    EXPECT_EQ(module->sHardwareVersion, "01");
    EXPECT_EQ(module->sSoftwareVersion, "v1.0.0");
    EXPECT_EQ(module->uFpgaBuild, 0x1A2Bu);

    int32_t ports[3] = {};
    EXPECT_EQ(system.GetRegisteredPorts(ports, 3), 3);
    EXPECT_EQ(std::vector<int32_t>(ports, ports + 3), (std::vector<int32_t>{62001, 62002, 62103}));

    EXPECT_NE(system.LogText().find("Module list after adding/changing entry of port 62103\n"
                                    "   Port=62001, Name=Duf, O/N=00.000000, S/N=000000, "
                                    "Version=HW()/SW()/FPGA(0x00000000), State=Running\n"
                                    "   Port=62002"),
              std::string::npos)
        << system.LogText();
    EXPECT_NE(system.LogText().find("   Port=62103, Name=AI2, O/N=12.345678, S/N=000042, "
                                    "Version=HW(01)/SW(v1.0.0)/FPGA(0x00001A2B), State=Running"),
              std::string::npos);
    EXPECT_NE(system.LogText().find("\n End of list (5 entries)"), std::string::npos);
}

TEST_F(SystemUnit, ListFormRegistersUntilAFaultyModule)
{
    CTestSystem& system = System();
    const std::string request =
        kHead + "<RegisterModule Name=\"ignored:1\"><Modules>"
                "<Module Name=\"AI\" Port=\"62101\" ON=\"12.345678\" SN=\"77\" VersionHW=\"02\" "
                "VersionSW=\"v3.1.0\" VersionFpga=\"0x10\" Status=\"error\"/>"
                "<Module Name=\"DO\" Port=\"62102\" ON=\"12345678\"/>"
                "<Module Name=\"\" Port=\"62104\"/>"
                "<Module Name=\"Late\" Port=\"62105\"/>"
                "</Modules></RegisterModule>";
    EXPECT_EQ(system.RequestError(request), "WrongFormat");
    EXPECT_EQ(Ports(system), (std::vector<int32_t>{62101, 62102}));
    const std::vector<RegisteredModule> registry = system.GetRegisteredModules();
    EXPECT_EQ(registry[0].iOrderingGroup, 12);
    EXPECT_EQ(registry[0].iOrderingNumber, 345678);
    EXPECT_EQ(registry[0].iSerialNumber, 77);
    EXPECT_EQ(registry[0].uFpgaBuild, 0x10u);
    EXPECT_EQ(registry[0].sSoftwareVersion, "v3.1.0");
    EXPECT_EQ(registry[0].eState, QTX_MODULE_ERROR);
    // An ordering number without its dot gives nothing; a missing Status is Unknown.
    EXPECT_EQ(registry[1].iOrderingGroup, 0);
    EXPECT_EQ(registry[1].iOrderingNumber, 0);
    EXPECT_EQ(registry[1].eState, QTX_MODULE_UNKNOWN);

    EXPECT_EQ(system.RequestError(kHead + "<RegisterModule><Modules><Module Name=\"Z\"/>"
                                          "</Modules></RegisterModule>"),
              "WrongFormat");
}

TEST_F(SystemUnit, RemovalNeedsPortAndNameButTheDriverOfThePortIsGone)
{
    CTestSystem& system = System();
    system.Request(kHead + "<RegisterModule Name=\"AI:62103\"/>");
    system.Request(kHead + "<RegisterModule Name=\"Sw:62201\"/>");
    system.Request(kHead + "<RegisterModule Name=\"Other:62104\"/>");

    // Another name on the port: the entry stays, the port's presence bit goes.
    system.Request(kHead + "<RemoveModule Name=\"ai:62103\"/>");
    system.Request(kHead + "<RemoveModule Name=\"Other:62201\"/>");
    EXPECT_EQ(Ports(system), (std::vector<int32_t>{62103, 62104, 62201}));
    EXPECT_EQ(system.GetModuleSlotMask(), 1u << 4);
    EXPECT_EQ(system.GetSoftwareModuleMask(), 0u);
    EXPECT_NE(
        system.LogText().find("Error: Can't remove port 62103: No entry found in module list!"),
        std::string::npos);

    system.Request(kHead + "<RemoveModule Name=\"AI:62103\"/>");
    system.Request(kHead + "<RemoveModule Name=\"Other:62104\"/>");
    system.Request(kHead + "<RemoveModule Name=\"Sw:62201\"/>");
    EXPECT_TRUE(Ports(system).empty());
    EXPECT_EQ(system.GetModuleSlotMask(), 0u);
    EXPECT_EQ(system.GetSoftwareModuleMask(), 0u);
    EXPECT_NE(system.LogText().find("Module list after removing entry of port 62201\n"
                                    " End of list (0 entries)"),
              std::string::npos);

    EXPECT_EQ(system.RequestError(kHead + "<RemoveModule Name=\"AI62103\"/>"), "WrongName");
}

TEST_F(SystemUnit, TheModuleInSlotZeroGivesTheDeviceItsIdentityOnce)
{
    CTestSystem& system = System();
    system.sSystemInfo = "\n\t<SystemInfo>\n\t\t<VersionHW>--</VersionHW>\n\t</SystemInfo>\n";
    system.Request(kHead + "<RegisterModule Name=\"CPU:62100*52.230010#4711+<3,v1.0.0!0x1\"/>");
    EXPECT_EQ(system.iOrderingNumber, 52230010);
    EXPECT_EQ(system.iSerialNumber, 4711);
    EXPECT_EQ(system.sHardwareVersion, "<3");
    // The two characters go into the block escaped, so that it stays well-formed.
    EXPECT_EQ(system.sSystemInfo,
              "\n\t<SystemInfo>\n\t\t<VersionHW>&lt;3</VersionHW>\n\t</SystemInfo>\n");

    system.Request(kHead + "<RegisterModule Name=\"CPU:62100*53.400000#1+05,v1.0.0!0x1\"/>");
    EXPECT_EQ(system.iOrderingNumber, 52230010);
    EXPECT_EQ(system.iSerialNumber, 4711);
    EXPECT_EQ(system.sHardwareVersion, "<3");
}

// A module error text is kept up to SYSTEM_MODULE_ERROR_TEXT_BYTES, cut at the start of a UTF-8
// character; bytes that start no character cost at most three more.
TEST(SystemModuleError, TextsAreCutAtACharactersStart)
{
    const size_t bound = SYSTEM_MODULE_ERROR_TEXT_BYTES;
    const std::string a(bound, 'a');
    const struct
    {
        std::string text;
        std::string kept;
    } cases[] = {
        {a, a},
        {a + "b", a},
        {a.substr(1) + "\xC3\xA9", a.substr(1)},
        {a.substr(3) + "\xF0\x9F\x98\x80" + "z", a.substr(3)},
        {a.substr(2) + "\xF0\x9F\x98\x80", a.substr(2)},
        {a.substr(4) + "\xF0\x9F\x98\x80" + "z", a.substr(4) + "\xF0\x9F\x98\x80"},
        {a.substr(8) + std::string(16, '\x80'), a.substr(8) + std::string(8, '\x80')},
        {"", ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(CutModuleErrorText(cases[i].text), cases[i].kept) << i;
}

TEST_F(SystemUnit, ModuleErrorsGoToTheSlotOfThePort)
{
    const struct
    {
        int32_t port;
        int slot;
    } cases[] = {
        {62000, 0}, {62001, 1}, {62002, 2}, {62100, 3}, {62104, 7}, {62105, 9},
        {62200, 9}, {62201, 8}, {62204, 8}, {62205, 9}, {62300, 9}, {0, 9},
    };
    CTestSystem& system = System();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.port);
        EXPECT_EQ(PortToErrorSlot(c.port), c.slot);
        const std::string port = std::to_string(c.port);
        system.Request(kHead + "<SetModuleError Slot=\"" + port + "\" Error=\"Fault &lt;" + port +
                       "&gt;\"/>");
        for (int slot = 0; slot < SYSTEM_ERROR_SLOTS; ++slot)
            EXPECT_EQ(system.GetModuleErrorText(slot), slot == c.slot ? "Fault <" + port + ">" : "")
                << "slot " << slot;
        EXPECT_FALSE(system.AllErrorSlotsEmpty());
        system.Request(kHead + "<ClearModuleError Slot=\"" + port + "\"/>");
        EXPECT_TRUE(system.AllErrorSlotsEmpty());
    }

    // A missing Error attribute leaves an empty text; the slot names appear in the log.
    system.Request(kHead + "<SetModuleError Slot=\"62002\"/>");
    EXPECT_TRUE(system.AllErrorSlotsEmpty());
    EXPECT_NE(system.LogText().find("Module error of Software module (port 62204): Fault <62204>"),
              std::string::npos)
        << system.LogText();
    EXPECT_NE(system.LogText().find("Module error of Unknown (port 62300) cleared"),
              std::string::npos);
}
} // namespace
