// The fiber-optic driver's tables and rules without a process: protocol rows, the settings in
// force for hex switches and records, the hub-number debounce, the module lock on a document.
#include <gtest/gtest.h>

#include "FoProtocols.h"
#include "QTXFiberOptic.h"
#include "QTXXml.h"

namespace
{
TEST(FoProtocolTable, RowsAndRowsBeyondTheTable)
{
    EXPECT_EQ(FoModeCode(8), 0x70831u);
    EXPECT_EQ(FoPeriod(8), 400);
    EXPECT_EQ(FoPeriod(9), 500);
    EXPECT_EQ(FoModeCode(8), FoModeCode(9));
    EXPECT_NE(FoModeCode(3), FoModeCode(4));
    EXPECT_EQ(FoPayload(3), FoPayload(4));
    for (int row : {23, -1, 1000})
    {
        int32_t speed = 7;
        int32_t frames = 7;
        EXPECT_EQ(FoModeCode(row), 0x40u);
        EXPECT_EQ(FoSpeedClass(row), 0u);
        EXPECT_EQ(FoPeriod(row), 0);
        EXPECT_EQ(FoPayload(row), 0);
        EXPECT_EQ(FoSpeedAndFrames(row, &speed, &frames), -1);
        EXPECT_EQ(speed, 0);
        EXPECT_EQ(frames, 0);
    }
    // The document names each row it can reach by a frames value that leads back to it.
    for (int row : {5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 19, 20, 21, 22})
        EXPECT_EQ(FoProtocolOfFrames(FoDocumentFramesOfRow(row)), row) << row;
}

TEST(FoDebounce, ANewValueCountsAfterSixteenPolls)
{
    FoDebounce record = {1, 2, 0, 0};
    int polls = 0;
    while (!Debounce(record, 15))
        ASSERT_LT(++polls, 100);
    EXPECT_EQ(polls, 15); // the 16th poll reports it
    // A value that flickers back starts again.
    record = {1, 2, 0, 0};
    Debounce(record, 15);
    record.iCurrent = 3;
    EXPECT_FALSE(Debounce(record, 15));
    EXPECT_EQ(record.iCounter, 0);
    record = {1, 2, 0, 0};
    EXPECT_TRUE(Debounce(record, 0));
    record = {2, 2, 0, 5};
    EXPECT_FALSE(Debounce(record, 15));
    EXPECT_EQ(record.iCounter, 0);
}

FoRecords Records()
{
    FoRecords records;
    records.tSlot1to15Settings = FoZeroSettings();
    records.tSlot0Settings = FoZeroSettings();
    records.tDefault1to15Settings = FoBuiltInDefault();
    records.tDefault0Settings = FoBuiltInDefault();
    records.tDefault0Settings.iSlot = 0;
    return records;
}

TEST(FoCurrentSettings, RecordsBySlotAndFamily)
{
    FoRecords records = Records();
    FoSettings out;
    // No switch settings and no switches read: the default for slots 1..15.
    EXPECT_EQ(SelectCurrentSettings(QTX_HW_FAMILY_KV4, {-1, -2, -1, -1}, records, nullptr, &out),
              FO_PROTOCOL_FLEX);
    EXPECT_EQ(out.iSlot, FO_SLOT_ANY_NODE);

    // Settings for slot 5 serve node 5 only; -16 serves every node with its list entry first.
    records.tSlot1to15Settings = FoBuiltInDefault();
    records.tSlot1to15Settings.iValid = 1;
    records.tSlot1to15Settings.iSlot = 5;
    records.tSlot1to15Settings.iLength = 64;
    SelectCurrentSettings(QTX_HW_FAMILY_DAQ, {-1, 5, -1, -1}, records, nullptr, &out);
    EXPECT_EQ(out.iLength, 64);
    SelectCurrentSettings(QTX_HW_FAMILY_DAQ, {-1, 4, -1, -1}, records, nullptr, &out);
    EXPECT_EQ(out.iLength, 0);

    records.tSlot1to15Settings.iSlot = FO_SLOT_ANY_NODE;
    records.tSlot1to15Settings.iInputProtocol = 8; // Flex for the nodes whatever it says
    records.tSlot1to15Settings.aiMasterModeLength[4] = 40;
    records.tSlot1to15Settings.aiMasterModeDeviceClasses[4] = 3;
    EXPECT_EQ(SelectCurrentSettings(QTX_HW_FAMILY_DAQ, {-1, 4, -1, -1}, records, nullptr, &out),
              FO_PROTOCOL_FLEX);
    EXPECT_EQ(out.iInputProtocol, FO_PROTOCOL_FLEX);
    EXPECT_EQ(out.aiMasterModeLength[1], 40);
    EXPECT_EQ(out.aiMasterModeLength[4], 192);
    EXPECT_EQ(out.aiMasterModeDeviceClasses[1], 3);

    // The clock family is always a Flex node in slot 1.
    EXPECT_EQ(SelectCurrentSettings(QTX_HW_FAMILY_CLK, {-1, 0, -1, -1}, records, nullptr, &out),
              FO_PROTOCOL_FLEX);
    EXPECT_EQ(out.aiMasterModeLength[1], 192); // slot 1: nothing moved

    // Slot 0 takes its own record when valid, else its default, with their output row.
    records.tSlot0Settings = FoZeroSettings();
    records.tSlot0Settings.iValid = 1;
    records.tSlot0Settings.iOutputProtocol = 16;
    EXPECT_EQ(SelectCurrentSettings(QTX_HW_FAMILY_DAQ, {-1, 0, -1, -1}, records, nullptr, &out),
              16);

    // A family mode other than Flex decides alone.
    const _FO_MODE_SETTINGS mode = {3, 2, 4, 1};
    EXPECT_EQ(SelectCurrentSettings(QTX_HW_FAMILY_WAG, {0, 0, 0, 0}, records, &mode, &out), 3);
    EXPECT_EQ(out.iLength, 4 * 34);
    EXPECT_EQ(out.iFirstSlot, 2);
    EXPECT_EQ(out.iSlotCount, 4);
    EXPECT_EQ(out.iModeFlags, 1);
    EXPECT_EQ(out.iMasterModePeriod, 1000);
}

// A FiberOptic document of slot 0 with the given properties.
bool LoadDocument(CQTXXml& document, const std::string& properties)
{
    const std::string text = "<?xml version=\"1.0\"?>\n<Module Name=\"FiberOptic\"><Properties>" +
                             properties + "</Properties></Module>\n";
    return document.LoadBuffer(text.data(), text.size(), 0x101);
}

std::string PropertyValue(CQTXXml& document, const char* name)
{
    document.SelectSignalListByName("", "", false);
    document.SelectSignalByNumber(-1, false);
    return document.SelectPropertyByName(name, false) ? document.GetStringProperty() : "<none>";
}

TEST(FoModuleLock, LockedHalvesKeepTheCurrentSettings)
{
    // Current: the ring RingAB in, e05 out.
    FoSettings current = FoZeroSettings();
    current.iValid = 1;
    current.iInputProtocol = 22;
    current.iOutputProtocol = 5;
    current.iOutputPeriod = 100;

    CQTXXml document;
    ASSERT_TRUE(LoadDocument(document, "<Property Name=\"InputSpeed\" Value=\"3.3\"/>"
                                       "<Property Name=\"OutputSpeed\" Value=\"32\"/>"
                                       "<Property Name=\"OutputFrames\" Value=\"16\"/>"
                                       "<Property Name=\"OutputPeriod\" Value=\"2000\"/>"));
    FoSettings settings = FoZeroSettings();
    ASSERT_TRUE(ParseAndCheckConfigIntern(document, settings));
    EXPECT_EQ(settings.iInputProtocol, FO_PROTOCOL_3M);

    // Input locked: the ring stays the ring in the document (so it reads back as the ring).
    EXPECT_EQ(ApplyLockToSettings(document, current, settings, 1), 0);
    EXPECT_EQ(settings.iInputProtocol, 22);
    EXPECT_EQ(settings.iOutputProtocol, 16);
    EXPECT_EQ(PropertyValue(document, "InputSpeed"), "32");
    EXPECT_EQ(PropertyValue(document, "InputFrames"), "-16032");
    FoSettings reread = FoZeroSettings();
    ASSERT_TRUE(ParseAndCheckConfigIntern(document, reread));
    EXPECT_EQ(reread.iInputProtocol, 22);

    // Output locked: the output half and its period come back.
    EXPECT_EQ(ApplyLockToSettings(document, current, settings, 2), 0);
    EXPECT_EQ(settings.iOutputProtocol, 5);
    EXPECT_EQ(settings.iOutputPeriod, 100);
    EXPECT_EQ(PropertyValue(document, "OutputFrames"), "1");
    EXPECT_EQ(PropertyValue(document, "OutputPeriod"), "100");

    // Any other lock refuses; all three are warnings.
    EXPECT_EQ(ApplyLockToSettings(document, current, settings, 3), -1);
    const XMLNode errors = document.GetXMLNodeRoot().getChildNode("Errors");
    ASSERT_EQ(errors.nChildNode(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(errors.getChildNode(i).getName(), "Warning") << i;
    EXPECT_STREQ(errors.getChildNode(2).getAttribute("Text"),
                 "Input and Output Settings for FiberOptic are locked");
}

TEST(FoConfigurationDocument, SpecialValues)
{
    CQTXXml document;
    FoSettings settings = FoZeroSettings();
    // 3.3 Mbit both ways without a period is the KOVE8 protocol; slot -1 is slot 0.
    ASSERT_TRUE(LoadDocument(document, "<Property Name=\"InputSpeed\" Value=\"3.3\"/>"
                                       "<Property Name=\"OutputSpeed\" Value=\"3.3\"/>"
                                       "<Property Name=\"OutputPeriod\" Value=\"0\"/>"
                                       "<Property Name=\"Slot\" Value=\"-1\"/>"));
    ASSERT_TRUE(ParseAndCheckConfigIntern(document, settings));
    EXPECT_EQ(settings.iInputProtocol, FO_PROTOCOL_KOVE8);
    EXPECT_EQ(settings.iOutputProtocol, FO_PROTOCOL_KOVE8);
    EXPECT_EQ(settings.iSlot, 0);
    EXPECT_EQ(PropertyValue(document, "Slot"), "0");

    // Flex without master mode reads no lists; slot -16 is fine for every protocol.
    ASSERT_TRUE(LoadDocument(document, "<Property Name=\"InputSpeed\" Value=\"0\"/>"
                                       "<Property Name=\"OutputSpeed\" Value=\"32\"/>"
                                       "<Property Name=\"OutputFrames\" Value=\"0\"/>"
                                       "<Property Name=\"OutputPeriod\" Value=\"0\"/>"
                                       "<Property Name=\"Length\" Value=\"128\"/>"
                                       "<Property Name=\"MasterModePeriod\" Value=\"0\"/>"
                                       "<Property Name=\"Slot\" Value=\"-16\"/>"));
    settings = FoZeroSettings();
    ASSERT_TRUE(ParseAndCheckConfigIntern(document, settings));
    EXPECT_EQ(settings.iOutputProtocol, FO_PROTOCOL_FLEX);
    EXPECT_EQ(settings.iLength, 128);
    EXPECT_EQ(settings.iSlot, FO_SLOT_ANY_NODE);
    EXPECT_EQ(PropertyValue(document, "MasterModeLength"), "<none>");
}

TEST(FoSoftSwitch, RecordSetsSwitch3)
{
    unsigned char record[1192] = {};
    record[12] = 144;
    const struct
    {
        unsigned char byte;
        int expected;
    } cases[] = {{12, 12}, {171, 10}, {9, 4}, {7, -1}};
    for (const auto& c : cases)
    {
        record[27] = c.byte;
        EXPECT_EQ(SoftHexSwitchFromRecord(record, sizeof record), c.expected);
    }
    record[13] = 1; // another record kind
    EXPECT_EQ(SoftHexSwitchFromRecord(record, sizeof record), -1);
    EXPECT_EQ(SoftHexSwitchFromRecord(record, 20), -1);
}
} // namespace
