// The sniffer configuration of the PROFINET sniffer driver as units: the copy-machine tables,
// the sniffer image, the parse of whole configurations into remap areas and description, and
// the commands of the diagnostic port on a simulated bus-monitor device.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Cdi.h"
#include "KovePlatform.h"
#include "KoveTestSupport.h"
#include "PnConfigBuilder.h"
#include "PnCopyMachine.h"
#include "PnDiag.h"
#include "PnDrv.h"
#include "PnSnifferConfig.h"
#include "PnSnifferImage.h"
#include "QTXBin.h"
#include "QTXGenerateForDuf.h"
#include "QTXReadForDuf.h"

using namespace kovetest;

namespace
{
std::vector<uint32_t> Program(const uint8_t* table)
{
    std::vector<uint32_t> words;
    for (uint32_t i = 0; i < CpmWordCount(table); ++i)
        words.push_back(CpmWord(table, i));
    return words;
}

std::vector<uint8_t> Entry(uint8_t access, uint8_t kind, uint32_t slotOrAddress, uint16_t offset)
{
    std::vector<uint8_t> e(12, 0);
    e[2] = 0x80;
    e[3] = static_cast<uint8_t>(access | kind << 4);
    QtxBinPutU32(e.data() + 4, slotOrAddress);
    if (kind != 1)
        QtxBinPutU16(e.data() + 6, offset);
    return e;
}

TEST(PnCopyMachine, SlotBlocksComeInSlotOrderWithTheirConstantsAndCopies)
{
    std::vector<uint8_t> table(PN_CPM_TABLE_SIZE, 0);
    CpmReset(table.data(), 0);
    // Slot 12 uses bytes 3 to 20, slot 7 one byte; registered 12 first.
    ASSERT_EQ(CpmRegisterSlotRange(table.data(), 12, 3, 10), 0);
    ASSERT_EQ(CpmRegisterSlotRange(table.data(), 12, 15, 6), 0);
    ASSERT_EQ(CpmRegisterSlotRange(table.data(), 7, 0, 1), 0);
    CpmSort(table.data());
    ASSERT_EQ(CpmGenerateSlotBlocks(table.data()), 0);
    const uint32_t record7 = 0x10040 + 2048 * 6;
    const uint32_t record12 = 0x10040 + 2048 * 11;
    const std::vector<uint32_t> expected = {0x10000053,
                                            0x10000030,
                                            0x10000037,
                                            0x10000001,
                                            0x43000000 | record7,
                                            0x23000000 | record7,
                                            0x30000000,
                                            0x10000053,
                                            0x10000031,
                                            0x10000032,
                                            0x10000012,
                                            0x43000000 | record12,
                                            0x23000000 | record12,
                                            0x37000003,
                                            0x3700000B,
                                            0x31000013};
    EXPECT_EQ(Program(table.data()), expected);
    // Block of slot 7: 8 + 1 bytes; slot 12's data begin 8 bytes into its block.
    EXPECT_EQ(CpmDestination(table.data()), 9 + 8 + 18);
    int32_t position = 0;
    ASSERT_EQ(CpmPlaceValue(table.data(), Entry(0, 0, 12, 5 * 8 + 2).data(), 1, &position), 0);
    EXPECT_EQ(position, (9 + 8 + 2) * 8 + 2);
    EXPECT_EQ(CpmPlaceValue(table.data(), Entry(0, 0, 12, 20 * 8).data(), 16, &position),
              PN_ERR_OUTSIDE_SLOT_RANGE);
    EXPECT_EQ(CpmPlaceValue(table.data(), Entry(0, 0, 9, 0).data(), 8, &position),
              PN_ERR_NO_SLOT_ENTRY);

    // The slot length table holds highest offset + 1 per slot.
    std::vector<uint8_t> half(49152, 0);
    CpmWriteSlotLengths(table.data(), half.data());
    EXPECT_EQ(QtxBinGetU32(half.data() + 4 * (64 + 12)), 21u);
    EXPECT_EQ(QtxBinGetU32(half.data() + 4 * (64 + 7)), 1u);
}

TEST(PnCopyMachine, MemoryAndSpecialValuesTakeTheirWholeSize)
{
    std::vector<uint8_t> table(PN_CPM_TABLE_SIZE, 0);
    CpmReset(table.data(), 1);
    int32_t position = -1;
    // A 64-bit memory value moves the destination by 8 bytes, the next value lies behind it.
    ASSERT_EQ(CpmPlaceValue(table.data(), Entry(0, 1, 0x123458 * 8, 0).data(), 64, &position), 0);
    EXPECT_EQ(position, 0);
    ASSERT_EQ(CpmPlaceValue(table.data(), Entry(0, 1, 0x40 * 8, 0).data(), 32, &position), 0);
    EXPECT_EQ(position, 64);
    EXPECT_EQ(Program(table.data()), (std::vector<uint32_t>{0x27123458, 0x23000040}));

    const struct
    {
        uint16_t id;
        uint32_t width;
        int result;
        int32_t position;
    } cases[] = {
        {0x1002, 32, 0, 12 * 8},            // from the special source
        {0x1001, 32, 0, PN_CPM_END_MARKER}, // the end position, filled in later
        {0x1000, 64, 0, 16 * 8},            // from memory
        {0x0400, 8, PN_ERR_WIDTH, -1},      // single bits only
        {0x1234, 8, PN_ERR_UNKNOWN_SPECIAL, -1},
        {0x1007, 32, PN_ERR_SLOT_NUMBER, -1}, // listed in a slot block: needs a slot
    };
    for (const auto& c : cases)
    {
        position = -1;
        EXPECT_EQ(CpmPlaceValue(table.data(), Entry(1, 2, 0, c.id).data(), c.width, &position),
                  c.result)
            << std::hex << c.id;
        if (c.result == 0)
        {
            EXPECT_EQ(position, c.position) << std::hex << c.id;
        }
    }
    int32_t end = 0;
    ASSERT_EQ(CpmClose(table.data(), &end), 0);
    EXPECT_EQ(end, 24 * 8);
    EXPECT_EQ(CpmWord(table.data(), CpmWordCount(table.data()) - 1), 0x53000008u);
    EXPECT_EQ(CpmWord(table.data(), CpmWordCount(table.data())), 0u);
}

TEST(PnSnifferImage, EntryChecksOfDevicesControllersAndSnifferValues)
{
    PnSnifferSignalRemap image;
    ASSERT_EQ(image.Status(), 0);
    std::vector<uint8_t> devices;
    for (const auto& d :
         {CPnConfig::DeviceByName("Press-LINE-7"), CPnConfig::DeviceByMac({0x01, 0, 0, 0, 0, 0}),
          CPnConfig::DeviceByMac({0, 0, 0, 0, 0, 0}),
          CPnConfig::DeviceByMac({0x00, 0x0E, 0xCF, 1, 2, 3}), CPnConfig::DeviceByName("")})
        devices.insert(devices.end(), d.begin(), d.end());
    devices[4 * 256 + 6] = 3; // unknown identification
    EXPECT_EQ(image.AddDevices(devices.data(), 5, false), PN_ERR_ENTRIES);
    EXPECT_EQ(image.Errors(), (std::vector<int16_t>{0, PN_ERR_MAC_ADDRESS, PN_ERR_MAC_ADDRESS, 0,
                                                    PN_ERR_DEVICE_IDENT}));
    // The name is kept in lower case with its length.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.Image()) + 256 + 8, 12),
              "press-line-7");
    EXPECT_EQ(image.Get8(256 + 7), 12);

    std::vector<uint8_t> controllers(16 * 256, 0);
    EXPECT_EQ(image.AddControllers(controllers.data(), 16), PN_ERR_TOO_MANY_CONTROLLERS);
    for (int i = 0; i < 2; ++i)
        controllers[256 * i + 6] = 2;
    EXPECT_EQ(image.AddControllers(controllers.data(), 2), 0);
    EXPECT_EQ(image.Get8(16640 + 256 + 7), 2);

    const struct
    {
        uint16_t id;
        uint32_t width;
        uint8_t device;
        uint8_t controller;
        int result;
    } values[] = {{0x3006, 16, 0, 0, PN_ERR_WIDTH},
                  {0x3006, 32, 0, 0, 0},
                  {0x3050, 32, 5, 0, PN_ERR_DEVICE_INDEX},
                  {0x30A1, 32, 1, 3, PN_ERR_CONTROLLER_NUMBER},
                  {0x30AC, 8, 1, 2, 0},
                  {0x3100, 8, 0, 0, PN_ERR_UNKNOWN_SPECIAL}};
    for (const auto& v : values)
    {
        std::vector<uint8_t> e = Entry(2, 2, 0, v.id);
        e[8] = v.device;
        e[9] = v.controller;
        EXPECT_EQ(image.AddSnifferSignal(e.data(), 1, v.width), v.result) << std::hex << v.id;
    }
    EXPECT_EQ(image.Get16(16), 2);
}

// Parses configurations the way the driver takes a stored one (no controller check).
class PnParse : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(tConfig.Allocate()); }

    int Parse(const CPnConfig& config, bool describe = false)
    {
        const std::string path = tDir.Path() + "/config.bin";
        FILE* f = fopen(path.c_str(), "wb");
        const std::string bytes = config.Build();
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        if (!tBin.LoadFile(path.c_str(), QTXBIN_TAG_CONFIGURATION) || !tBin.Cfg_1st_Check(0))
            return 1;
        int subslots = 0;
        std::unique_ptr<CQTXGenerateForDuf> writer;
        if (describe)
            writer = std::make_unique<CQTXGenerateForDuf>(Description().c_str(), "qorQB-PN", false);
        const int result = tConfig.Parse(tBin, true, writer.get(), &subslots);
        if (result == 0)
            tConfig.Accept();
        return result;
    }
    std::string Description() const { return tDir.Path() + "/ForDUF.xml"; }
    std::vector<uint32_t> Area(int i) const
    {
        const PnRemapArea& a = tConfig.ActiveArea(i);
        return std::vector<uint32_t>(a.pWords, a.pWords + a.ulCount);
    }
    // The codes of the reply's entry error list of group `index`.
    std::vector<int16_t> EntryErrors(unsigned index)
    {
        std::vector<int16_t> codes;
        const unsigned char* list = tBin.GetReply().GetGroupMem(index);
        _QTXBIN_GROUP* group = tBin.GetReply().GetGroup(index);
        for (unsigned i = 0; list != nullptr && group != nullptr && i < group->count; ++i)
            codes.push_back(QtxBinGetI16(list + 2 * i));
        return codes;
    }

    CTempDir tDir;
    CQTXBin tBin;
    CPnSnifferConfig tConfig;
};

TEST_F(PnParse, InputAreaTakesAtMost4095Entries)
{
    CPnConfig config;
    // Memory values from the controller's window: no copy-machine instruction each.
    config.analogIn.assign(4095, SPnSignal{kPnType32, 2, 1, 0x80001000u * 1, 0});
    ASSERT_EQ(Parse(config), 0);
    EXPECT_EQ(tConfig.ActiveArea(0).ulCount, 4095u);
    EXPECT_EQ(tConfig.ActiveArea(0).pWords[4095], 0u);
    EXPECT_EQ(tConfig.ActiveArea(0).pWords[0], 0xC3000200u);

    config.analogIn.push_back(config.analogIn.back());
    EXPECT_EQ(Parse(config), PN_ERR_TOO_MANY_REMAP);
    EXPECT_EQ(EntryErrors(0)[4095], PN_ERR_TOO_MANY_REMAP);
    // The accepted configuration stays active.
    EXPECT_EQ(tConfig.ActiveArea(0).ulCount, 4095u);
}

TEST_F(PnParse, InputWordsAndTheirDescription)
{
    CPnConfig config;
    // Slot 1 of port 0: 16 bits at 0, 32 bits at 16, 8 bits at 48; a digital value at bit 56.
    config.analogIn = {{kPnType16, 0, 0, 1, 0},
                       {kPnType32, 0, 0, 1, 16},
                       {kPnType8, 0, 0, 1, 48},
                       {25, 3, 3, 0, 0, 0, 0, false}}; // not in use, though invalid
    config.digitalIn = {{0, 0, 0, 1, 56}};
    ASSERT_EQ(Parse(config, true), 0);
    // Slot 1's data begin at byte 8 of the destination.
    EXPECT_EQ(Area(0), (std::vector<uint32_t>{0x21000008, 0x2300000A, 0x2000000E, 0x2800000F}));

    const std::string description = ReadFile(Description());
    const auto* bytes = reinterpret_cast<const unsigned char*>(description.data());
    QTXForDufList list;
    ASSERT_EQ(QTXForDufFindList(bytes, description.size(), "AnalogIn", list), QTX_FORDUF_OK);
    ASSERT_EQ(list.vSignals.size(), 3u);
    EXPECT_EQ(list.vSignals[1].uOffset, 16u);
    EXPECT_EQ(list.vSignals[1].uLength, 32u);
    EXPECT_EQ(list.vSignals[2].uOffset, 48u);
    // The digital value lies behind the 2 + 4 + 1 analog bytes.
    ASSERT_EQ(QTXForDufFindList(bytes, description.size(), "DigitalIn", list), QTX_FORDUF_OK);
    ASSERT_EQ(list.vSignals.size(), 1u);
    EXPECT_EQ(list.vSignals[0].uOffset, 56u);
    EXPECT_EQ(list.vSignals[0].uLength, 1u);
    // No outputs configured: no output list.
    EXPECT_EQ(QTXForDufFindList(bytes, description.size(), "AnalogOut", list), QTX_FORDUF_NO_LIST);

    // A memory value of 32 bits, and the slot-diagnosis value of port 1 (slot 64, byte 1),
    // which takes the port's end position.
    config.analogIn = {{kPnType32, 2, 1, 0x100 * 8, 0}, {kPnType32, 1, 0, 64, 8}};
    config.digitalIn.clear();
    ASSERT_EQ(Parse(config), 0);
    EXPECT_EQ(Area(0), (std::vector<uint32_t>{0xB0000100, 0x23004000}));
}

TEST_F(PnParse, OutputAreasOpenAndCloseTheirSlots)
{
    CPnConfig config;
    SPnSignal out{kPnType16, 0, 0, 2, 8};
    SPnSignal second{kPnType8, 0, 0, 2, 32};
    SPnSignal port1{kPnType32, 1, 1, 0, 0}; // slot field 0
    port1.byte8 = 12;                       // carries 12 digital bits
    config.analogOut = {out, second, port1};
    ASSERT_EQ(Parse(config), 0);
    const uint32_t open2 = 0x43000000 | (0x10000 + 2048 + 0x44);
    const uint32_t close2 = 0x53000000 | (0x10000 + 2048 + 0x48);
    EXPECT_EQ(Area(1),
              (std::vector<uint32_t>{0, 0x10000020, open2, 0x31000001, 0x30000004, close2, 0}));
    // Slot 0: no slot words; its position follows the 3 bytes of port 0.
    EXPECT_EQ(Area(2), (std::vector<uint32_t>{0, 0x10000023, 0x33000000, 0}));
    EXPECT_EQ(tConfig.ActiveArea(1).ulCounterA, 2u);
    EXPECT_EQ(tConfig.ActiveArea(2).ulCounterB, 12u);
}

TEST_F(PnParse, EntryErrorsRefuseTheGroupAndKeepTheActiveConfiguration)
{
    CPnConfig good;
    good.analogIn = {{kPnType32, 2, 1, 0x100 * 8, 0}};
    ASSERT_EQ(Parse(good), 0);

    const struct
    {
        SPnSignal signal;
        int16_t code;
    } cases[] = {
        {{25, 2, 1, 0x100 * 8, 0}, PN_ERR_TYPE},           // type outside the driver's set
        {{7, 2, 1, 0x100 * 8, 0}, PN_ERR_NO_ROUTING_TYPE}, // no routing data type
        {{kPnType16, 2, 1, 0x100 * 8, 0}, PN_ERR_TYPE},    // memory of 16 bits
        {{kPnType32, 3, 0, 1, 0}, PN_ERR_ACCESS},
        {{kPnType32, 0, 0, 65, 0}, PN_ERR_SLOT_NUMBER},
        {{kPnType32, 0, 0, 1, 2001}, PN_ERR_BIT_OFFSET},
        {{kPnType32, 0, 3, 1, 0}, PN_ERR_SOURCE_KIND},
        {{kPnType32, 2, 1, 0x80200000u - 8, 0}, PN_ERR_MEMORY_RANGE},
        {{kPnType32, 2, 0, 1, 0}, PN_ERR_DEVICE_INDEX}, // no devices configured
    };
    for (const auto& c : cases)
    {
        CPnConfig bad;
        bad.analogIn = {c.signal};
        EXPECT_EQ(Parse(bad), PN_ERR_ENTRIES) << c.code;
        EXPECT_EQ(EntryErrors(0), std::vector<int16_t>{c.code});
        EXPECT_EQ(Area(0), (std::vector<uint32_t>{0xB0000100}));
    }

    // Outputs take slot data only.
    CPnConfig output;
    output.analogOut = {{kPnType32, 2, 1, 0x100 * 8, 0}};
    EXPECT_EQ(Parse(output), PN_ERR_ENTRIES);
    EXPECT_EQ(EntryErrors(0), std::vector<int16_t>{PN_ERR_ACCESS});

    // A configuration of type 2 is taken like one of type 1.
    good.configType = 2;
    EXPECT_EQ(Parse(good), 0);
}

TEST_F(PnParse, SnifferSignalsBecomeSlotScriptsAndRemapWords)
{
    CPnConfig config;
    config.devices = {CPnConfig::DeviceByName("dev")};
    config.controllers = {CPnConfig::Controller()};
    SPnSignal first{kPnType16, 2, 0, 3, 16};     // device 0, slot 3, bits 16..31
    SPnSignal bit{0, 2, 0, 3, 5};                // bit 5 of the same slot
    SPnSignal value{kPnType32, 2, 2, 0, 0x3006}; // a sniffer value: from the controller's memory
    config.analogIn = {first, value};
    config.digitalIn = {bit};
    ASSERT_EQ(Parse(config), 0);
    PnSnifferSignalRemap& image = tConfig.ActiveImage();
    EXPECT_EQ(image.Get16(16), 3); // signal records
    EXPECT_EQ(image.Get16(18), 1); // one I/O record for the slot
    EXPECT_EQ(image.Get16(52), 0); // complete
    // Script: input head, the 2-byte value at byte 2, bit 5 of byte 0 (the last word marked).
    EXPECT_EQ(image.Get16(PN_IMAGE_SCRIPT_OFFSET), 0x8000);
    EXPECT_EQ(image.Get16(PN_IMAGE_SCRIPT_OFFSET + 2), 1 << 11 | 2);
    EXPECT_EQ(image.Get16(PN_IMAGE_SCRIPT_OFFSET + 4), 0x8000 | 0x4000 | 5 << 11);
    EXPECT_EQ(image.Get16(PN_IMAGE_SCRIPT_OFFSET + 6), 0x87FF);
    // Remap words: the sniffer places of the extracted slot data, and the sniffer value as a
    // special value (its memory word is set when the image is applied).
    EXPECT_EQ(Area(0), (std::vector<uint32_t>{0x21C00000, 0xB0000000, 0x28C00002}));
}
} // namespace

namespace
{
TEST(PnDiagFrame, HeadsAreCheckedBeforeTheFrameIsTaken)
{
    const struct
    {
        uint16_t magic;
        uint16_t length;
        size_t received;
        PnDiagFrameState state;
    } cases[] = {
        {PNDIAG_MAGIC, 8, 7, PNDIAG_NEED_HEAD},
        {PNDIAG_MAGIC, 8, 8, PNDIAG_COMPLETE},
        {0x504E, 8, 8, PNDIAG_BAD_HEAD},
        {PNDIAG_MAGIC, 4, 8, PNDIAG_BAD_HEAD},
        {PNDIAG_MAGIC, 0, 8, PNDIAG_BAD_HEAD},
        {PNDIAG_MAGIC, 100, 50, PNDIAG_NEED_MORE},
        {PNDIAG_MAGIC, 0xFFFF, 0xFFFF, PNDIAG_COMPLETE},
    };
    for (const auto& c : cases)
    {
        std::vector<uint8_t> bytes(std::max<size_t>(c.received, 8), 0);
        PnDiagHead head;
        head.usMagic = c.magic;
        head.usCommand = 50;
        head.usLength = c.length;
        PnDiagWriteHead(bytes.data(), head);
        PnDiagHead read;
        EXPECT_EQ(PnDiagCheckFrame(bytes.data(), c.received, &read), c.state)
            << c.magic << " " << c.length << " " << c.received;
    }
}

// The command handler on a simulated bus-monitor device whose controller answers.
class PnDiagCommands : public testing::Test
{
protected:
    void SetUp() override
    {
        pDevice = std::make_unique<CSimDevice>(std::vector<std::string>{"--family", "PNA"});
        setenv("KOVE_SIM", pDevice->Dir().c_str(), 1);
        PlatReloadSimulation();
        ASSERT_EQ(PNDrvOpen(), 0);
        ASSERT_EQ(CdiOpen(), 0);
    }
    void TearDown() override
    {
        PNDrvClose();
        CdiClose();
        unsetenv("KOVE_SIM");
        PlatReloadSimulation();
    }
    uint16_t Handle(uint16_t command, uint32_t payload, uint32_t room, uint32_t* length)
    {
        return PnDiagHandleCommand(tContext, command, tBuffer.data(), payload, room, length);
    }

    std::unique_ptr<CSimDevice> pDevice;
    PnDiagContext tContext;
    std::vector<uint8_t> tBuffer = std::vector<uint8_t>(65536, 0);
};

TEST_F(PnDiagCommands, OverviewSendsNoStaleBytes)
{
    // Slots 1 and 2 of port 1: 80-byte records of 76 bytes with relations 3 and 2.
    uint8_t record[80] = {};
    record[4] = 76;
    record[5] = 0x23;
    std::memset(record + 6, 0x11, 10);
    uint32_t status = 0;
    for (uint32_t slot = 0; slot < 2; ++slot)
        ASSERT_EQ(
            CdiCtrlWrite((0x10000 + 2048 * slot) | CDI_CTRL_PORT1, record, sizeof record, &status),
            0);
    uint32_t length = 0;
    EXPECT_EQ(Handle(52, 0, 2559, &length), PNDIAG_NO_ROOM);
    // The request buffer's old bytes must not go back out.
    std::fill(tBuffer.begin(), tBuffer.end(), 0xAA);
    ASSERT_EQ(Handle(52, 0, 65536, &length), PNDIAG_OK);
    ASSERT_EQ(length, 512u + 2 * 64u);
    EXPECT_EQ(tBuffer[511], 2);
    const uint8_t* entry = tBuffer.data() + 512;
    EXPECT_EQ(entry[4], 1);
    EXPECT_EQ(entry[5], 3);
    EXPECT_EQ(entry[22], 2);
    EXPECT_EQ(entry[24], 76);
    for (uint32_t i = 0; i < length; ++i)
        ASSERT_NE(tBuffer[i], 0xAA) << "byte " << i;
}

TEST_F(PnDiagCommands, ListsAreBoundedByTheReplyRoom)
{
    pDevice->Tool("pndrv", {"devices=30"});
    uint32_t length = 0;
    // Room for 10 entries, no count asked for: 10 listed, the list cut short.
    ASSERT_EQ(Handle(61, 16, 32 + 48 * 10 + 47, &length), PNDIAG_CUT_SHORT);
    EXPECT_EQ(QtxBinGetU16(tBuffer.data() + 6), 10);
    EXPECT_EQ(length, 32u + 48u * 10u);
    EXPECT_EQ(QtxBinGetU16(tBuffer.data() + 2), 0);
    // All 30 fit.
    std::fill(tBuffer.begin(), tBuffer.begin() + 32, 0);
    ASSERT_EQ(Handle(61, 16, 65536, &length), PNDIAG_OK);
    EXPECT_EQ(length, 32u + 48u * 30u);

    // Counts the controller leaves in its records cannot reach past the room.
    QtxBinPutU16(tBuffer.data() + 86, 0xFFFF);
    ASSERT_EQ(Handle(64, 20, 4096, &length), PNDIAG_OK);
    EXPECT_LE(length, 4096u);
    QtxBinPutU16(tBuffer.data() + 44, 0xFFFF);
    QtxBinPutU16(tBuffer.data() + 46, 0xFFFF);
    ASSERT_EQ(Handle(69, 20, 8192, &length), PNDIAG_OK);
    EXPECT_LE(length, 8192u);
    EXPECT_EQ(Handle(55, 0, 65536, &length), PNDIAG_UNKNOWN_COMMAND);
    EXPECT_EQ(length, 0u);
}
} // namespace
