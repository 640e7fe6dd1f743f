// Module address data of a request: the partner's description (XML or binary, from the module
// or the cache), the request's window and its completion per partner kind, and descriptions
// that do not hold what they announce.
#include "DufTestSupport.h"

#include "FakeHub.h"
#include "FakeModuleDriver.h"
#include "QTXBinConfig.h"
#include "QTXGenerateForDuf.h"

using kovetest::CFakeModuleDriver;
using kovetest::ForDufXml;

namespace
{
using Bytes = std::vector<unsigned char>;

void PutU32(Bytes& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A list record of kind 1 (one bus master, one transfer) or kind 2, as the writer takes it.
Bytes ListRecord(uint8_t kind, uint8_t direction, uint16_t count, const char* name,
                 uint32_t base = 0x200000, uint32_t perSlot = 0x10000, uint8_t moduleEvent = 21)
{
    Bytes part = {3, 2, moduleEvent, static_cast<unsigned char>(kind == 1 ? 1 : 0)};
    PutU32(part, base);
    PutU32(part, perSlot);
    if (kind == 1)
    {
        for (uint32_t v : {0x40u, 1u, 0x1000u, 0u, 256u})
            PutU32(part, v);
    }
    Bytes record;
    PutU32(record, static_cast<uint32_t>(24 + part.size()));
    record.push_back(kind);
    record.push_back(direction);
    record.push_back(static_cast<unsigned char>(count));
    record.push_back(static_cast<unsigned char>(count >> 8));
    char field[16] = {};
    snprintf(field, sizeof field, "%s", name);
    record.insert(record.end(), field, field + 16);
    record.insert(record.end(), part.begin(), part.end());
    return record;
}

std::string ReadAll(const std::string& path)
{
    return kovetest::ReadFile(path);
}

// A binary description written by the framework's writer.
std::string BinaryDescription(const std::string& directory, const Bytes& record,
                              const std::vector<kovetest::CForDufSignal>& signals)
{
    const std::string path = directory + "written.bin";
    {
        CQTXGenerateForDuf writer(path.c_str(), "Fake", false);
        writer.AddSignalList(record.data());
        for (const auto& s : signals)
            writer.AddSignal(s.iNumber, s.iOffset, s.iLength,
                             static_cast<_VraType>(ItemStringToInt(aVraTypeItems, s.szType)));
    }
    return ReadAll(path);
}

const std::vector<kovetest::CForDufSignal> kSignals = {{1, 40, 8, "BYTE"}, {2, 100, 16, "INT"}};

TEST_F(DufUnit, WindowAndCopyDataOfAnExternalModuleInBothFormats)
{
    for (const bool binary : {false, true})
    {
        SCOPED_TRACE(binary ? "binary" : "XML");
        const std::string description =
            binary ? BinaryDescription(Duf().Directory(), ListRecord(1, 0, 2, "AnalogIn"), kSignals)
                   : ForDufXml("AnalogIn", 0x200000, 0x10000, 21, kSignals);
        CacheDescription(62103, description);
        DufRequest r = MakeRequest(62103, "analogIN", {1, 2});
        r.Direction = 0;
        ASSERT_EQ(Duf().ReadError(r), "");

        EXPECT_EQ(r.Direction, 1); // the module's list is an input
        EXPECT_EQ(r.Signals[0].Offset, 8);
        EXPECT_EQ(r.Signals[1].Offset, 68);
        EXPECT_EQ(r.Signals[1].Type, "INT");
        EXPECT_EQ(r.DfcmLenIn, 12);
        EXPECT_EQ(r.PcimBufferLength, 12);
        // Slot 3: the third slot's base; offset register 0x40 from it.
        ASSERT_EQ(r.Opponent.size(), 1u);
        EXPECT_EQ(r.Opponent[0].Addr, 0x220000u);
        EXPECT_EQ(r.Opponent[0].Register, 0x220040u);
        EXPECT_EQ(r.Opponent[0].Transfers[0].OffsetOther, 0x1004u);
        EXPECT_EQ(r.Opponent[0].Transfers[0].Len, 12);
        EXPECT_EQ(r.StartGlobal, 3);
        EXPECT_EQ(r.StartSystem, 2);
        EXPECT_EQ(r.StartModule, 9);
        EXPECT_EQ(Duf().GetModuleEventSlotMask(), 4u);
    }
}

TEST_F(DufUnit, ModuleEventsDirectionAndMissingUnit)
{
    struct Case
    {
        int event;
        const char* direction;
        uint8_t startModule;
        uint8_t wantedDirection;
        uint32_t offsetOther;
    } cases[] = {{10, "Input", 4, 1, 0x1000}, {15, "Input", 0, 1, 0x1000}, {20, "Output", 4, 0, 0}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.event);
        CacheDescription(62102,
                         ForDufXml("A", 0, 0x100, c.event, {{1, 0, 32, "DINT"}}, c.direction));
        DufRequest r = MakeRequest(62102, "A", {1});
        ASSERT_EQ(Duf().ReadError(r), "");
        EXPECT_EQ(r.StartModule, c.startModule);
        EXPECT_EQ(r.Direction, c.wantedDirection);
        EXPECT_EQ(r.Opponent[0].Transfers[0].OffsetOther, c.offsetOther);
    }

    // Without the bus-master unit the window starts at 0 and no copy data are kept.
    Duf().SetUnits(true, false, false);
    CacheDescription(62101, ForDufXml("A", 0x200000, 0x100, 10, kSignals));
    DufRequest r = MakeRequest(62101, "A", {1, 2});
    ASSERT_EQ(Duf().ReadError(r), "");
    EXPECT_EQ(r.Signals[0].Offset, 40);
    EXPECT_EQ(r.DfcmLenIn, 16);
    EXPECT_EQ(r.Opponent[0].Addr, 0u);
}

TEST_F(DufUnit, DescriptionsThatDoNotHoldWhatTheyAnnounce)
{
    const Bytes head = {'<', '?', 'b', 'i', 'n', 0, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
    const auto with = [&head](const Bytes& rest)
    {
        Bytes all = head;
        all.insert(all.end(), rest.begin(), rest.end());
        return std::string(all.begin(), all.end());
    };
    Bytes sizeZero = ListRecord(1, 0, 0, "Other");
    sizeZero[0] = sizeZero[1] = 0;
    Bytes manySignals = ListRecord(1, 0, 60000, "A");
    Bytes hugeSkip = ListRecord(1, 0, 0, "Other");
    hugeSkip[3] = 0x7F;
    Bytes cutTransfers = ListRecord(1, 0, 0, "A");
    cutTransfers[36 + 4] = 0xFF; // transfer count far beyond the record
    Bytes shortRecord = ListRecord(1, 0, 0, "A");
    shortRecord[0] = 100; // size beyond the data
    std::string wrongTag = with({});
    wrongTag[6] = 0x02;

    const std::string notForDuf = "WrongModuleData|Module 62101 binary data is not ForDuf format";
    const struct
    {
        const char* what;
        std::string bytes;
        std::string error;
    } cases[] = {
        {"another tag", wrongTag, notForDuf},
        {"a list head cut short", with({1, 2, 3}), notForDuf},
        {"a size below the list head", with(sizeZero), notForDuf},
        {"more signals than bytes", with(manySignals), notForDuf},
        {"a size far beyond the data", with(hugeSkip), notForDuf},
        {"a size beyond the data", with(shortRecord), notForDuf},
        {"transfers beyond the record", with(cutTransfers),
         "InternalError|Wrong binary ForDuf content"},
        {"a range list for an external module", with(ListRecord(2, 0, 0, "A")),
         "InternalError|Wrong binary ForDuf content"},
        {"no such list", with(ListRecord(1, 0, 0, "B")),
         "WrongModuleDataOrRequest|Module 62101 has no signal list A"},
        {"five bytes", "<?xml",
         "WrongModuleData|Module 62101 did not answer with correct DUF data"},
        {"neither XML nor binary", "<Module Name=\"x\"/>          ",
         "WrongModuleData|Module 62101 did not answer with correct DUF data"},
        {"XML without the list", ForDufXml("B", 0, 0, 0, {}),
         "SignalsMissing|Signal list A is missing"},
        {"upper-case XML declaration", "<?XML " + ForDufXml("A", 0, 0, 0, {}).substr(6), ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        CacheDescription(62101, c.bytes);
        DufRequest r = MakeRequest(62101, "A", {});
        EXPECT_EQ(Duf().ReadError(r), c.error);
    }
}

TEST_F(DufUnit, SignalsAreLookedUpBeforeAllDisabledMarksTheRequestInvalid)
{
    CacheDescription(62101, ForDufXml("A", 0, 0, 0, {{1, 0, 8, "BYTE"}}));
    DufRequest missing = MakeRequest(62101, "A", {1, 2});
    missing.Signals[0].Enable = 0;
    missing.Signals[1].Enable = 0;
    EXPECT_EQ(Duf().ReadError(missing), "MissingSignal|A:2");

    DufRequest disabled = MakeRequest(62101, "A", {1});
    disabled.Signals[0].Enable = 0;
    EXPECT_EQ(Duf().ReadError(disabled), "");
    EXPECT_EQ(disabled.Valid, 0);

    CacheDescription(62102, BinaryDescription(Duf().Directory(), ListRecord(1, 0, 1, "A"),
                                              {{0x10005, 0, 8, "BYTE"}}));
    DufRequest low16 = MakeRequest(62102, "A", {5});
    EXPECT_EQ(Duf().ReadError(low16), "");
    DufRequest absent = MakeRequest(62102, "A", {6});
    EXPECT_EQ(Duf().ReadError(absent), "SignalNotFound|DUF: Can not find signal #6 on slot 62102");
}

TEST_F(DufUnit, PartnersWithoutDescription)
{
    DufRequest wrong = MakeRequest(62002, "A", {1}, 62101);
    EXPECT_EQ(Duf().ReadError(wrong), "WrongRequest|Illegal transfer source or destination");

    // A local application on the fiber-optic input and output; each is held by one.
    DufRequest in = MakeRequest(62002, "In", {}, 62201);
    CDufRequestList::AddSignal(&in, 1, 16, 40, "INT");
    EXPECT_EQ(Duf().ReadError(in), "");
    EXPECT_EQ(in.DfcmLenIn, 8);
    EXPECT_EQ(in.StartSystem, 7);
    DufRequest in2 = MakeRequest(62002, "In", {1}, 62202);
    EXPECT_EQ(Duf().ReadError(in2),
              "ReservedResource|Fiber optic input is reserved by another application");
    DufRequest out2 = MakeRequest(62002, "Out", {1}, 62202);
    out2.Direction = 0;
    EXPECT_EQ(Duf().ReadError(out2), "");

    // The FPGA unit's offered list serves one consumer; an offered list turns its direction.
    DufRequest offered = MakeRequest(65535, "Fpga", {}, 62301);
    CDufRequestList::AddSignal(&offered, 3, 32, 64, "DINT");
    ASSERT_EQ(Duf().ReadError(offered), "");
    EXPECT_EQ(offered.Direction, 0);
    Duf().Requests().AddDufRequest(offered);
    DufRequest first = MakeRequest(62301, "fpga", {3});
    EXPECT_EQ(Duf().ReadError(first), "");
    EXPECT_EQ(first.Signals[0].Offset, 0);
    EXPECT_EQ(first.DfcmLenIn, 4);
    EXPECT_EQ(first.Valid, 1);
    EXPECT_EQ(Duf().Requests().FindFirstDufRequest(62301, 65535, "Fpga")->Valid, 0);
    DufRequest second = MakeRequest(62301, "Fpga", {3});
    EXPECT_EQ(Duf().ReadError(second),
              "WrongRequest|Software module signal list is used by more than one requester");
    DufRequest none = MakeRequest(62301, "Other", {3});
    EXPECT_EQ(Duf().ReadError(none),
              "WrongRequest |Signal list of the wanted software module is not available");
}

TEST_F(DufUnit, AModuleIsAskedOnceAndItsAnswerCached)
{
    CFakeModuleDriver module(1);
    ASSERT_TRUE(module.Start());
    module.SetAddressTable(ForDufXml("A", 0x200000, 0x10000, 10, kSignals));

    DufRequest first = MakeRequest(62101, "A", {1});
    ASSERT_EQ(Duf().ReadError(first), "");
    EXPECT_EQ(module.AddressTableRequests(), 1);
    module.Stop();

    DufRequest second = MakeRequest(62101, "A", {2});
    ASSERT_EQ(Duf().ReadError(second), "");
    EXPECT_EQ(second.Signals[0].Length, 16);
    EXPECT_EQ(module.AddressTableRequests(), 1);

    // Nobody answers on slot 2: the empty cache file refuses this and every later request.
    for (int i = 0; i < 2; ++i)
    {
        DufRequest r = MakeRequest(62102, "A", {1});
        EXPECT_EQ(Duf().ReadError(r),
                  "WrongModuleData|Module 62102 did not answer with correct DUF data");
    }
    EXPECT_EQ(ReadAll(Duf().Directory() + "DufFor62102.xml"), "");
}

TEST_F(DufUnit, ModulesTheSystemDriverDoesNotList)
{
    kovetest::CFakeHub hub;
    ASSERT_TRUE(hub.Start());
    hub.SetReply("Identify", sXmlStart + "<System><SystemInfo Name=\"x\"/><Modules>"
                                         "<Module Name=\"a\"><Port>62000</Port></Module>"
                                         "<Module Name=\"b\"><Port>62101</Port></Module>"
                                         "<Module Name=\"c\"><Port>62102</Port></Module>"
                                         "<Module Name=\"d\"><Port>62201</Port></Module>"
                                         "</Modules></System>\n");
    EXPECT_EQ(Duf().UnavailableModules(10), 8u);
    EXPECT_EQ(Duf().UnavailableModules(0x21), 0x21u);
    EXPECT_EQ(Duf().UnavailableModules(0), 0u);
    EXPECT_EQ(hub.Count("Identify"), 3);
    EXPECT_NE(Duf().LogText().find("Waiting for drivers, miss-mask=8\n"), std::string::npos);

    // An answer that is no document is this step's failure: the modules count as missing.
    hub.SetReply("Identify", "<System><Modules><Module><Port>62101</Port></Modul></Modules>"
                             "</System>\n");
    EXPECT_EQ(Duf().UnavailableModules(2), 2u);
    hub.Stop();
    EXPECT_EQ(Duf().UnavailableModules(6), 6u);
}

TEST_F(DufUnit, ShowPathsOfAnEmptyAndOfAFilledList)
{
    EXPECT_EQ(Duf().ShowPathsText(), "\n\nFoReadyMask=0b" + std::string(32, '0'));
    DufRequest valid = MakeRequest(62101, "AnalogIn", {1});
    valid.DfcmLenOut = 12;
    valid.BpbmChannelMask = 6;
    valid.BpbmStart = 0x1A0;
    Duf().Requests().AddDufRequest(valid);
    DufRequest invalid = MakeRequest(62102, "DigitalIn", {1});
    invalid.Valid = 0;
    Duf().Requests().AddDufRequest(invalid);
    const std::string text = Duf().ShowPathsText();
    EXPECT_NE(text.find("\n\nRequest 62002 from 62101[AnalogIn]:\n\tRequestDataOffset=0; "
                        "Length=12\n\tBPBM: ChannelMask=0b110; Bufferstart=0x1A0; Length=0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n\tStartEvent: System=0; Global=0; Module=0"), std::string::npos);
    EXPECT_NE(text.find("\n\nRequest 62002 from 62102[DigitalIn] is invalid\n\nFoReadyMask="),
              std::string::npos)
        << text;
}
} // namespace
