// The FPGA's fixed-point register image and the filter's configuration properties, each read
// back: the image with the format's own decoding, the properties by a second filter object.
#include "QTXDigitalFilter.h"
#include "QTXXml.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace
{

// value = (high as a signed 17-bit number) / 4096 + low / 2^30
double DecodeFactor(const uint32_t* words)
{
    EXPECT_EQ(words[0] & ~0x3FFFFu, 0u);
    EXPECT_EQ(words[1] & ~0x1FFFFu, 0u);
    const int32_t high = (words[1] & 0x10000) ? int32_t(words[1]) - 0x20000 : int32_t(words[1]);
    return high / 4096.0 + words[0] / 1073741824.0;
}

const double kStep = 1.0 / 1073741824.0; // 2^-30

// A document with signal 0 of the list AnalogIn selected, as a module configuration has it.
struct Document
{
    CQTXXml xml;
    Document()
    {
        EXPECT_TRUE(xml.New("Module", "FilterDesign"));
        Select();
    }
    void Select()
    {
        xml.SelectSignalListByName("", "AnalogIn", true);
        xml.SelectSignalByNumber(0, true);
    }
    std::string Value(const char* property)
    {
        return xml.SelectPropertyByName(property, false) ? xml.GetStringProperty() : "<missing>";
    }
    std::string Error(const char* property)
    {
        XMLNode list = xml.GetXMLNodeSignal().getChildNode("Properties");
        int i = 0;
        for (XMLNode n = list.getChildNode("Property", &i); !n.isEmpty();
             n = list.getChildNode("Property", &i))
            if (SameString(n.getAttribute("Name"), property))
                return CharPointerToString(n.getAttribute("Error"));
        return "<missing>";
    }
};

} // namespace

TEST(FilterRegisters, FixedPointFactors)
{
    const struct
    {
        double value;
        uint32_t low, high;
    } cases[] = {
        {1.0, 0, 4096},
        {-1.0, 0, 0x1F000},
        {0.5, 0, 2048},
        {-0.5, 0, 0x1F800},
        {kStep, 1, 0},
        {-kStep, 0x3FFFF, 0x1FFFF},
        {0.0, 0, 0},
        {-16.0, 0, 0x10000},
        // +16 is beyond the format: it is held at the largest value, never wrapped to -16
        {16.0, 0x3FFFF, 0xFFFF},
        {100.0, 0x3FFFF, 0xFFFF},
        {-100.0, 0, 0x10000},
        {NAN, 0, 0},
        // truncation toward zero
        {1.5 * kStep, 1, 0},
        {-1.5 * kStep, 0x3FFFF, 0x1FFFF},
    };
    for (const auto& c : cases)
    {
        uint32_t words[2] = {0xDEAD, 0xBEEF};
        ConvertDoubleToFilterFactor(c.value, words);
        EXPECT_EQ(words[0], c.low) << c.value;
        EXPECT_EQ(words[1], c.high) << c.value;
    }
}

TEST(FilterRegisters, ImageReadsBackIntoTheCoefficients)
{
    CQTXDigitalFilter filter(16, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(filter.GenerateLowpassFilter(DF_Elliptic, 6, 10240, 400, 0.1, 80, true));
    const int sections = filter.GetNumberOfBiquads();
    ASSERT_EQ(sections, 3);
    std::vector<uint32_t> area(64, 0xFFFFFFFF);
    EXPECT_EQ(filter.FillRegisterArea(area.data(), 27), -1);
    ASSERT_EQ(filter.FillRegisterArea(area.data(), 28), 28);
    EXPECT_EQ(area[28], 0xFFFFFFFFu); // nothing beyond the image
    EXPECT_EQ(area[0], 5u);
    EXPECT_EQ(area[1], uint32_t(filter.GetPreDivider()));
    EXPECT_NEAR(DecodeFactor(&area[2]), filter.GetGain(), kStep);
    for (int i = 0; i < sections; ++i)
    {
        const int order[4] = {DF_PropA1, DF_PropA2, DF_PropB1, DF_PropB2};
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(DecodeFactor(&area[4 + 8 * i + 2 * j]), filter.GetParameter(i, order[j]),
                        kStep)
                << "section " << i << " word " << j;
    }

    // The largest gain the object takes stays positive in the image.
    ASSERT_TRUE(filter.SetFilter(3, 0, 16.0));
    ASSERT_EQ(filter.FillRegisterArea(area.data(), 28), 28);
    EXPECT_NEAR(DecodeFactor(&area[2]), 16.0, kStep);
}

TEST(FilterRegisters, FiltersWithoutAnImage)
{
    uint32_t area[32];
    CQTXDigitalFilter empty(16, DF_HwFpga, QTX_FilterBiquads);
    EXPECT_EQ(empty.FillRegisterArea(area, 32), 0);
    CQTXDigitalFilter soft(16, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(soft.SetFilter(1, 0, 1.0));
    EXPECT_EQ(soft.FillRegisterArea(area, 32), -1);
    CQTXDigitalFilter fir(16, DF_HwFpga, QTX_FilterFIR);
    EXPECT_EQ(fir.FillRegisterArea(area, 32), -1);
    // A coefficient the format cannot hold would reach the FPGA as another number.
    CQTXDigitalFilter wide(16, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(wide.SetFilter(1, 0, 1.0));
    ASSERT_TRUE(wide.SetBiquadZP(0, 5.0, 0.0, 0.5, 0.0, DF_ComplexPair, DF_ComplexPair));
    EXPECT_EQ(wide.GetParameter(0, DF_PropB2), 25.0);
    EXPECT_EQ(wide.FillRegisterArea(area, 32), -1);
}

TEST(FilterRegisters, PropertiesReadBackIntoTheSameFilter)
{
    CQTXDigitalFilter designed(16, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(designed.GenerateLowpassFilter(DF_Chebyshev, 8, 10240, 50, 0.5, 80, true));
    Document doc;
    ASSERT_TRUE(designed.XMLExport(&doc.xml));
    EXPECT_EQ(doc.Value("EnableDigitalFilter"), "true");
    EXPECT_EQ(doc.Value("NumberOfBiQuads"), "4");
    EXPECT_EQ(doc.Value("FilterPreDivider"), std::to_string(designed.GetPreDivider()));

    // Through the document's text into an object that held another filter.
    std::string text;
    ASSERT_TRUE(doc.xml.StoreBuffer(text));
    CQTXXml loaded;
    ASSERT_TRUE(loaded.LoadBuffer(text.data(), text.size(), 257));
    loaded.SelectSignalListByName("", "AnalogIn", false);
    loaded.SelectSignalByNumber(0, false);
    CQTXDigitalFilter imported(16, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(imported.GenerateLowpassFilter(DF_Butterworth, 2, 1000, 100, 0.1, 80, true));
    ASSERT_TRUE(imported.XMLImport(&loaded, false));
    EXPECT_EQ(imported.GetCoefficientCount(), 8);
    EXPECT_EQ(imported.GetGain(), designed.GetGain());
    EXPECT_EQ(imported.GetPreDivider(), designed.GetPreDivider());
    for (int i = 0; i < 4; ++i)
        for (int p = DF_PropB0; p <= DF_PropA2; ++p)
            EXPECT_EQ(imported.GetParameter(i, p), designed.GetParameter(i, p)) << i << " " << p;
    EXPECT_NEAR(imported.GetFrequencyResponseGain(0, 10240), 1.0, 1e-12);
}

TEST(FilterRegisters, PropertiesThatSwitchTheFilterOff)
{
    CQTXDigitalFilter filter(16, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(filter.SetFilter(2, 1, 0.5));

    Document off;
    off.xml.WriteStringProperty("EnableDigitalFilter", "false");
    EXPECT_TRUE(filter.XMLImport(&off.xml, false));
    EXPECT_EQ(filter.GetCoefficientCount(), 0);

    // An empty filter is written as switched off, and nothing else.
    Document empty;
    ASSERT_TRUE(filter.XMLExport(&empty.xml));
    EXPECT_EQ(empty.Value("EnableDigitalFilter"), "false");
    EXPECT_EQ(empty.Value("NumberOfBiQuads"), "<missing>");

    // Missing: cleared, or the current filter is written into the document.
    ASSERT_TRUE(filter.SetFilter(1, 2, 0.75));
    Document missing;
    EXPECT_TRUE(filter.XMLImport(&missing.xml, true));
    EXPECT_EQ(missing.Value("EnableDigitalFilter"), "true");
    EXPECT_EQ(missing.Value("FilterGain"), "0.75");
    EXPECT_EQ(missing.Value("FilterPreDivider"), "2");
    EXPECT_EQ(filter.GetCoefficientCount(), 2);
    Document missing2;
    EXPECT_TRUE(filter.XMLImport(&missing2.xml, false));
    EXPECT_EQ(filter.GetCoefficientCount(), 0);

    CQTXDigitalFilter fir(16, DF_HwFpga, QTX_FilterFIR);
    EXPECT_FALSE(fir.XMLExport(&off.xml));
    EXPECT_FALSE(fir.XMLImport(&off.xml, false));
}

TEST(FilterRegisters, BadPropertiesAreRefusedWithTheirErrors)
{
    const struct
    {
        const char* property;
        const char* value;
        const char* error;
    } cases[] = {
        // a gain of 16 passes SetFilter but not the import's limit of 15.999
        {"FilterGain", "16", "WrongValue"},
        {"FilterPreDivider", "16", "WrongValue"},
        {"FilterPreDivider", "1.5", "FloatValuesNotAllowed"},
        {"NumberOfBiQuads", "0", "WrongValue"},
        {"NumberOfBiQuads", "17", "WrongValue"},
        {"BiQuad1", "0.1;0.2;0.3", "WrongNumberOfValues"},
        {"BiQuad0", "0.1;0.2;16;0.4", "WrongValue"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.property) + "=" + c.value);
        Document doc;
        CQTXDigitalFilter filter(16, DF_HwFpga, QTX_FilterBiquads);
        ASSERT_TRUE(filter.SetFilter(2, 1, 0.5));
        ASSERT_TRUE(filter.SetBiquadCoeff(0, 1, 0.1, 0.2, 1, 0.3, 0.4));
        ASSERT_TRUE(filter.SetBiquadCoeff(1, 1, 0.5, 0.6, 1, 0.7, 0.8));
        ASSERT_TRUE(filter.XMLExport(&doc.xml));
        doc.xml.WriteStringProperty(c.property, c.value);
        CQTXDigitalFilter imported(16, DF_HwFpga, QTX_FilterBiquads);
        EXPECT_FALSE(imported.XMLImport(&doc.xml, false));
        EXPECT_EQ(doc.Error(c.property), c.error);
        // The other properties were read all the same.
        if (std::string(c.property) != "FilterGain")
        {
            EXPECT_EQ(imported.GetGain(), 0.5);
        }
        EXPECT_EQ(imported.GetCoefficientCount() == 0,
                  std::string(c.property) == "NumberOfBiQuads");
    }

    Document doc;
    doc.xml.WriteStringProperty("EnableDigitalFilter", "true");
    CQTXDigitalFilter imported(16, DF_HwFpga, QTX_FilterBiquads);
    EXPECT_FALSE(imported.XMLImport(&doc.xml, false));
    EXPECT_EQ(doc.Error("NumberOfBiQuads"), "MissingProperty");
    EXPECT_EQ(doc.Error("FilterGain"), "MissingProperty");
    EXPECT_EQ(doc.Error("FilterPreDivider"), "MissingProperty");
}
