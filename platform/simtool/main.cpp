// kovesim: creates and inspects simulated device directories.
#include "KoveSimDescription.h"
#include "KoveSimDevice.h"
#include "KoveSimPn.h"
#include "KoveSimSensor.h"
#include "KoveSimState.h"
#include "SimModuleStore.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
const char kUsageLine[] = "usage: kovesim <command> DIR [arguments]   (kovesim --help)\n";

const char kHelp[] =
    "usage: kovesim <command> DIR [arguments]\n"
    "\n"
    "Creates and inspects simulated devices. A program started with KOVE_SIM=DIR\n"
    "simulates the device in DIR; an empty or missing DIR becomes the default\n"
    "device on first use.\n"
    "\n"
    "Commands:\n"
    "  create DIR [--family NAME|0xWORD] [--hex A,B,C,D] [--serial N]\n"
    "             [--order NN.NNNNNN] [--slots 1,2,5] [--factory-button on|off]\n"
    "             [--name TEXT]\n"
    "                            write the description (defaults for what is not\n"
    "                            given) and reset the device: FPGA state, production\n"
    "                            data and memory start afresh\n"
    "  hex DIR A,B,C,D           set the hex switches\n"
    "  button DIR on|off         hold or release the factory button\n"
    "  switch DIR LINE on|off|auto\n"
    "                            hold GPIO line LINE (80-88) active or inactive, or\n"
    "                            let it follow the switches and the button again\n"
    "                            (80-83 unit number, 84-87 hex switch 1, 88 button)\n"
    "  flash DIR NAME fail|ok    make writes to /dev/mtd_NAME fail (EIO), or work again\n"
    "  leds DIR                  show the LED word, whether the LED test runs and\n"
    "                            the last words shown\n"
    "  peek DIR ADDR             print the bus word at ADDR (hexadecimal)\n"
    "  poke DIR ADDR VALUE       write a bus word\n"
    "  refuse DIR ADDR [off]     mark a bus address refused (or clear the mark)\n"
    "  pndrv DIR [KEY=VALUE...]  show the PROFINET controller's state, or set keys of it:\n"
    "                            present=on|off, answer=N, fail=26,29 (request numbers\n"
    "                            in hex that fail), version=TEXT, devices=N and\n"
    "                            subslots=N (what its lists report), and the states the\n"
    "                            requests change (sniffer, configuration, factory-mode,\n"
    "                            production-mode, factory-defaults, resets, last-reset);\n"
    "                            DIR/dev/pndrv.log lists the requests it got, pndrv.image\n"
    "                            the last sniffer image it was handed\n"
    "  mii DIR eth0|eth1 PHY REG [VALUE]\n"
    "                            print (or set) a PHY register of an Ethernet port\n"
    "  temp DIR SLOT [CELSIUS]   print (or set) a temperature: slot 0 the CPU's sensor\n"
    "                            \"/dev/LM75\" (1/256 degree), a module slot the word at\n"
    "                            RAM address 0xAE of its controller (1/100 degree)\n"
    "  ram DIR SLOT ADDR [VALUE] print (or set) the 32-bit word at ADDR of the RAM of\n"
    "                            the module controller in SLOT (2304 bytes;\n"
    "                            the relays of a factory test card at 0x1F0)\n"
    "  --help                    show this text\n"
    "\n"
    "Numbers are decimal or 0x-prefixed hexadecimal; bus addresses are multiples\n"
    "of 4. Exit status: 0 success, 1 failure, 2 bad arguments.\n"
    "\n"
    "The description DIR/device.conf, one key=value per line ('#' starts a\n"
    "comment line; a missing key keeps its default, shown here):\n"
    "  family=KV8           FPGA identification word at bus address 0: three\n"
    "                       letters (KV8, WAG, PNA, ...) or 0xWORD (0x00880000)\n"
    "  hex=0,0,0,0          hex switches 1 to 4 in the order of the hex-switch\n"
    "                       record (0-15,0-15,0-15,0-255); switch 2 is the unit\n"
    "                       number; the hex-switch word is switch 2\n"
    "                       + 16 x switch 1 + 256 x switch 3 + 4096 x switch 4\n"
    "  serial=12345         serial number\n"
    "  order=10.000001      ordering number NN.NNNNNN\n"
    "  name=                product name (at most 31 characters)\n"
    "  slots=1,2            filled module slots (0-15)\n"
    "  factory-button=off   the factory-default button (on|off)\n"
    "\n"
    "Change it with kovesim: programs take the description into the device's\n"
    "state only when the device has no state yet.\n"
    "\n"
    "The simulated FPGA shows it as: the identification word at bus address 0\n"
    "(read-only); the hex switches in the hex-switch records and, on the families\n"
    "that read them from the bus, in those bus words (KV8: unit number in bits\n"
    "20-23 of word 8); 0x55AA66BB at the module word of an empty slot 1 to 4\n"
    "(0x7FEF0000 + slot x 0x20000000); the factory button as held now, and as held\n"
    "when the device was created. Stand-ins of FPGA units: on \"PDP\" the ADC data\n"
    "words 0x2010/0x2014 latch samples for the counter written to their low 16\n"
    "bits (idle after bit 15: a new sample on every read); on \"LIO\" the link I/O\n"
    "window: command word 0x2014 ((value << 16) | 0x4000 | address writes a\n"
    "window byte, 0x2000 | address reads one into the data word 0x2018); window\n"
    "bytes 0xFF0-0xFF7 show the configuration bytes received and their sum.\n";

int Usage(const std::string& why)
{
    std::fprintf(stderr, "kovesim: %s\n%s", why.c_str(), kUsageLine);
    return 2;
}

int Failure(const std::string& why)
{
    std::fprintf(stderr, "kovesim: %s\n", why.c_str());
    return 1;
}

bool ParseAddress(const std::string& text, uint32_t* address, std::string* why)
{
    if (!SimParseU32(text, address))
    {
        *why = "bus address '" + text + "' is not a 32-bit number";
        return false;
    }
    if (*address % 4 != 0)
    {
        *why = "bus address '" + text + "' is not a multiple of 4";
        return false;
    }
    return true;
}

// The state of the device in dir, set up first where it is not a device yet.
std::shared_ptr<CSimState> OpenDevice(const std::string& dir, std::string* why)
{
    if (SimEnsureDevice(dir) != 0)
    {
        *why = SimSetupError(dir, errno);
        return nullptr;
    }
    std::shared_ptr<CSimState> state = CSimState::Open(dir);
    if (!state)
        *why = "cannot open the device state in " + dir + ": " + strerror(errno);
    return state;
}

int Create(const std::string& dir, const std::vector<std::string>& args)
{
    SSimDescription desc;
    for (size_t i = 0; i < args.size(); i += 2)
    {
        const std::string& option = args[i];
        if (i + 1 >= args.size())
            return Usage("option " + option + " needs a value");
        const std::string& value = args[i + 1];
        std::string why;
        bool ok;
        if (option == "--family")
            ok = SimParseFamily(value, &desc.uIdWord, &why);
        else if (option == "--hex")
            ok = SimParseHexSwitches(value, desc.aHex, &why);
        else if (option == "--serial")
            ok = SimParseSerial(value, &desc.uSerial, &why);
        else if (option == "--order")
            ok = SimParseOrder(value, &desc.sOrder, &why);
        else if (option == "--slots")
            ok = SimParseSlots(value, &desc.uSlotMask, &why);
        else if (option == "--factory-button")
            ok = SimParseOnOff(value, &desc.bFactoryButton, &why);
        else if (option == "--name")
            ok = SimParseName(value, &desc.sName, &why);
        else
            return Usage("unknown option '" + option + "'");
        if (!ok)
            return Usage(why);
    }
    if (SimCreateDevice(dir, desc) != 0)
        return Failure("cannot create the device in " + dir + ": " + strerror(errno));
    return 0;
}

// The module in slot of the device in dir (a filled slot), set up first where dir is no device
// yet.
bool ModuleSlot(const std::string& dir, const std::string& slotText, uint32_t* slot,
                std::string* why)
{
    if (!SimParseU32(slotText, slot) || *slot > 15)
    {
        *why = "slot '" + slotText + "' is not 0-15";
        return false;
    }
    if (SimEnsureDevice(dir) != 0)
    {
        *why = SimSetupError(dir, errno);
        return false;
    }
    if (!CSimModuleSlot::Present(dir, static_cast<int>(*slot)))
    {
        *why = "slot " + slotText + " holds no module";
        return false;
    }
    return true;
}

int Temperature(const std::string& dir, const std::vector<std::string>& rest)
{
    std::string why;
    uint32_t slot = 0;
    if (rest.empty() || rest.size() > 2 || !SimParseU32(rest[0], &slot) || slot > 15)
        return Usage("temp needs SLOT (0-15) [CELSIUS]");
    // The sensor counts 1/256 degree, a module 1/100 degree, both in 16 signed bits.
    const double scale = slot == 0 ? 256.0 : 100.0;
    long units = 0;
    if (rest.size() == 2)
    {
        char* end = nullptr;
        const double celsius = std::strtod(rest[1].c_str(), &end);
        if (rest[1].empty() || *end != '\0' || !(std::fabs(celsius * scale) < 32767.5))
            return Usage("temperature '" + rest[1] + "' is not a number the sensor can show");
        units = std::lround(celsius * scale);
    }
    uint8_t word[2] = {static_cast<uint8_t>(units), static_cast<uint8_t>(units >> 8)};
    if (slot == 0)
    {
        if (SimEnsureDevice(dir) != 0)
            return Failure(SimSetupError(dir, errno));
        if (rest.size() == 2)
            return SimSensorSet(dir, static_cast<uint16_t>(units), &why) == 0 ? 0 : Failure(why);
        uint32_t sensor = 0;
        if (SimSensorRead(dir, &sensor) != 0)
            return Failure("cannot read the sensor: " + std::string(strerror(errno)));
        std::printf("%.2f\n", static_cast<int16_t>(sensor & 0xFFFF) / scale);
        return 0;
    }
    if (!ModuleSlot(dir, rest[0], &slot, &why))
        return Failure(why);
    CSimModuleSlot module(dir, static_cast<int>(slot));
    if (rest.size() == 2)
        return module.WriteRam(kSimRamTemperature, word, 2)
                   ? 0
                   : Failure("cannot write the RAM of slot " + rest[0]);
    if (!module.ReadRam(kSimRamTemperature, word, 2))
        return Failure("cannot read the RAM of slot " + rest[0]);
    std::printf("%.2f\n", static_cast<int16_t>(word[0] | word[1] << 8) / scale);
    return 0;
}

int ModuleRam(const std::string& dir, const std::vector<std::string>& rest)
{
    std::string why;
    uint32_t slot = 0, address = 0, value = 0;
    if (rest.size() != 2 && rest.size() != 3)
        return Usage("ram needs SLOT ADDR [VALUE]");
    if (!SimParseU32(rest[1], &address) || address > kSimRamBytes - 4)
        return Usage("RAM address '" + rest[1] + "' is not 0-" + std::to_string(kSimRamBytes - 4));
    if (rest.size() == 3 && !SimParseU32(rest[2], &value))
        return Usage("value '" + rest[2] + "' is not a 32-bit number");
    if (!ModuleSlot(dir, rest[0], &slot, &why))
        return Failure(why);
    CSimModuleSlot module(dir, static_cast<int>(slot));
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    if (rest.size() == 3)
        return module.WriteRam(address, bytes, 4)
                   ? 0
                   : Failure("cannot write the RAM of slot " + rest[0]);
    if (!module.ReadRam(address, bytes, 4))
        return Failure("cannot read the RAM of slot " + rest[0]);
    std::printf("0x%08X\n", static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                                static_cast<uint32_t>(bytes[2]) << 16 |
                                static_cast<uint32_t>(bytes[3]) << 24);
    return 0;
}

int Run(const std::vector<std::string>& args)
{
    if (args.empty())
        return Usage("no command");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help")
    {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (args.size() < 2 || args[1].empty())
        return Usage("no device directory");
    const std::string& dir = args[1];
    std::vector<std::string> rest(args.begin() + 2, args.end());
    std::string why;

    if (command == "create")
        return Create(dir, rest);

    if (command == "hex")
    {
        uint8_t hex[4];
        if (rest.size() != 1)
            return Usage("hex needs A,B,C,D");
        if (!SimParseHexSwitches(rest[0], hex, &why))
            return Usage(why);
        return SimSetHexSwitches(dir, hex, &why) == 0 ? 0 : Failure(why);
    }
    if (command == "button")
    {
        bool on = false;
        if (rest.size() != 1)
            return Usage("button needs on or off");
        if (!SimParseOnOff(rest[0], &on, &why))
            return Usage(why);
        return SimSetFactoryButton(dir, on, &why) == 0 ? 0 : Failure(why);
    }
    if (command == "switch")
    {
        uint32_t line = 0;
        if (rest.size() != 2 || !SimParseU32(rest[0], &line) || line < 80 || line > 88)
            return Usage("switch needs LINE (80-88) and on, off or auto");
        if (rest[1] != "on" && rest[1] != "off" && rest[1] != "auto")
            return Usage("switch needs on, off or auto");
        return SimSetGpioLine(dir, static_cast<int>(line), rest[1] != "auto", rest[1] == "on",
                              &why) == 0
                   ? 0
                   : Failure(why);
    }
    if (command == "flash")
    {
        if (rest.size() != 2 || (rest[1] != "fail" && rest[1] != "ok"))
            return Usage("flash needs NAME and fail or ok");
        return SimSetFlashWriteFault(dir, rest[0], rest[1] == "fail", &why) == 0 ? 0 : Failure(why);
    }
    if (command == "leds")
    {
        if (!rest.empty())
            return Usage("leds takes no arguments");
        std::shared_ptr<CSimState> state = OpenDevice(dir, &why);
        SSimRegisters regs;
        if (!state)
            return Failure(why);
        if (state->Registers(&regs) != 0)
            return Failure("cannot read the device state: " + std::string(strerror(errno)));
        std::printf("leds=0x%08X test=%s shown=", regs.uLedWord, regs.uLedTest ? "on" : "off");
        for (uint32_t i = 0; i < regs.uLedShownCount && i < 8; ++i)
            std::printf("%s0x%08X", i ? "," : "", regs.aLedShown[i]);
        std::printf("\n");
        return 0;
    }
    if (command == "peek" || command == "poke")
    {
        uint32_t address = 0;
        uint32_t value = 0;
        bool poke = command == "poke";
        if (rest.size() != (poke ? 2u : 1u))
            return Usage(poke ? "poke needs ADDR VALUE" : "peek needs ADDR");
        if (!ParseAddress(rest[0], &address, &why))
            return Usage(why);
        if (poke && !SimParseU32(rest[1], &value))
            return Usage("value '" + rest[1] + "' is not a 32-bit number");
        std::shared_ptr<CSimState> state = OpenDevice(dir, &why);
        if (!state)
            return Failure(why);
        uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        int64_t status =
            poke ? state->BusWrite(address, bytes, 4) : state->BusRead(address, bytes, 4);
        if (status < 0)
            return Failure("cannot access the device state: " + std::string(strerror(errno)));
        if (status == kSimBusRefused)
            return Failure("bus address " + rest[0] + " is refused");
        if (status != kSimBusOk)
            return Failure("no room for another bus word");
        if (!poke)
            std::printf("0x%08X\n", static_cast<uint32_t>(bytes[0]) |
                                        static_cast<uint32_t>(bytes[1]) << 8 |
                                        static_cast<uint32_t>(bytes[2]) << 16 |
                                        static_cast<uint32_t>(bytes[3]) << 24);
        return 0;
    }
    if (command == "refuse")
    {
        uint32_t address = 0;
        if (rest.empty() || rest.size() > 2 || (rest.size() == 2 && rest[1] != "off"))
            return Usage("refuse needs ADDR [off]");
        if (!ParseAddress(rest[0], &address, &why))
            return Usage(why);
        std::shared_ptr<CSimState> state = OpenDevice(dir, &why);
        if (!state)
            return Failure(why);
        if (state->SetRefused(address, rest.size() == 1) != 0)
            return Failure("cannot mark bus address " + rest[0] + ": " + strerror(errno));
        return 0;
    }
    if (command == "pndrv")
    {
        if (SimEnsureDevice(dir) != 0)
            return Failure(SimSetupError(dir, errno));
        if (rest.empty())
        {
            std::string text;
            if (!SimPnDrvShow(dir, &text, &why))
                return Failure(why);
            std::fputs(text.c_str(), stdout);
            return 0;
        }
        for (const std::string& assignment : rest)
        {
            const size_t equals = assignment.find('=');
            if (equals == std::string::npos)
                return Usage("pndrv takes KEY=VALUE, not '" + assignment + "'");
            if (!SimPnDrvSet(dir, assignment.substr(0, equals), assignment.substr(equals + 1),
                             &why))
                return Usage(why);
        }
        return 0;
    }
    if (command == "mii")
    {
        uint32_t phy = 0, reg = 0, value = 0;
        if (rest.size() != 3 && rest.size() != 4)
            return Usage("mii needs eth0|eth1 PHY REG [VALUE]");
        if (rest[0] != "eth0" && rest[0] != "eth1")
            return Usage("port '" + rest[0] + "' is neither eth0 nor eth1");
        if (!SimParseU32(rest[1], &phy) || phy > 255)
            return Usage("PHY address '" + rest[1] + "' is not 0-255");
        if (!SimParseU32(rest[2], &reg) || reg > 31)
            return Usage("register '" + rest[2] + "' is not 0-31");
        if (rest.size() == 4 && (!SimParseU32(rest[3], &value) || value > 0xFFFF))
            return Usage("value '" + rest[3] + "' is not a 16-bit number");
        if (SimEnsureDevice(dir) != 0)
            return Failure(SimSetupError(dir, errno));
        const int port = rest[0] == "eth0" ? 0 : 1;
        if (rest.size() == 4)
            return SimMiiWrite(dir, port, static_cast<int>(phy), static_cast<int>(reg),
                               static_cast<uint16_t>(value)) == 0
                       ? 0
                       : Failure("cannot write the PHY register: " + std::string(strerror(errno)));
        uint16_t read = 0;
        if (SimMiiRead(dir, port, static_cast<int>(phy), static_cast<int>(reg), &read) != 0)
            return Failure("cannot read the PHY register: " + std::string(strerror(errno)));
        std::printf("0x%04X\n", read);
        return 0;
    }
    if (command == "temp")
        return Temperature(dir, rest);
    if (command == "ram")
        return ModuleRam(dir, rest);
    return Usage("unknown command '" + command + "'");
}
} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return Run(args);
}
