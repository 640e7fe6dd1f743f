// A biquad filter as the FPGA's block of fixed-point register words, and as the properties of
// a configuration document (written and read back).
#include "QTXDigitalFilter.h"
#include "QTXXml.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

// The fixed-point format holds [-16, 16 - 2^-30].
const double kFactorLimit = 16.0;
const int64_t kFactorMax = (int64_t(1) << 34) - 1;
// The import takes values up to this (what the FPGA's tools accept), not 16.
const double kImportLimit = 15.999;

bool Representable(double v)
{
    return v >= -kFactorLimit && v <= kFactorLimit;
}

// A value in the shortest "%lg"-style form that reads back as the same double, so that a
// filter survives the trip through a document unchanged.
std::string ExactText(double v)
{
    char text[40];
    for (int digits = 6; digits <= 17; ++digits)
    {
        std::snprintf(text, sizeof text, "%.*lg", digits, v);
        if (std::strtod(text, nullptr) == v)
            break;
    }
    return text;
}

} // namespace

void ConvertDoubleToFilterFactor(double value, uint32_t out[2])
{
    // 30 fraction bits, truncated toward zero; the ends of the range are held, so that +16
    // never wraps to -16.
    int64_t n = 0;
    if (value >= kFactorLimit)
        n = kFactorMax;
    else if (value <= -kFactorLimit)
        n = -kFactorMax - 1;
    else if (value == value)
        n = static_cast<int64_t>(std::ldexp(value, 30));
    const uint64_t bits = static_cast<uint64_t>(n);
    out[0] = static_cast<uint32_t>(bits & 0x3FFFF);
    out[1] = static_cast<uint32_t>((bits >> 18) & 0x1FFFF);
}

int CQTXDigitalFilter::FillRegisterArea(uint32_t* area, int areaWords) const
{
    if (!IsBiquad() || m_iMaxOrder < 1 || m_iCoefficientCount < 0 || m_iHwId != DF_HwFpga ||
        area == nullptr || areaWords < (m_iCoefficientCount + 1) * 4)
        return -1;
    if (m_iCoefficientCount == 0)
        return 0;
    const int sections = GetNumberOfBiquads();
    // A coefficient beyond the format's range would reach the FPGA as another number.
    bool representable = Representable(m_dGain);
    for (int i = 0; i < sections; ++i)
        for (const std::unique_ptr<double[]>* p : {&m_pA1, &m_pA2, &m_pB1, &m_pB2})
            representable = representable && Representable((*p)[i]);
    if (!representable)
        return -1;

    area[0] = static_cast<uint32_t>(m_iCoefficientCount - 1);
    area[1] = static_cast<uint32_t>(m_iPreDivider);
    ConvertDoubleToFilterFactor(m_dGain, area + 2);
    for (int i = 0; i < sections; ++i)
    {
        uint32_t* words = area + 4 + 8 * i;
        ConvertDoubleToFilterFactor(m_pA1[i], words);
        ConvertDoubleToFilterFactor(m_pA2[i], words + 2);
        ConvertDoubleToFilterFactor(m_pB1[i], words + 4);
        ConvertDoubleToFilterFactor(m_pB2[i], words + 6);
    }
    return (m_iCoefficientCount + 1) * 4;
}

bool CQTXDigitalFilter::XMLExport(CQTXXml* xml) const
{
    if (!IsBiquad() || m_iMaxOrder < 1 || xml == nullptr)
        return false;
    bool ok = xml->WriteStringProperty("EnableDigitalFilter",
                                       ItemIntToString(aBoolItems, m_iCoefficientCount > 0));
    if (m_iCoefficientCount <= 0)
        return ok;
    const int sections = GetNumberOfBiquads();
    ok = xml->WriteStringProperty("NumberOfBiQuads", std::to_string(sections)) && ok;
    for (int i = 0; i < sections; ++i)
    {
        const std::string values = ExactText(m_pB1[i]) + ";" + ExactText(m_pB2[i]) + ";" +
                                   ExactText(m_pA1[i]) + ";" + ExactText(m_pA2[i]);
        ok = xml->WriteStringProperty(("BiQuad" + std::to_string(i)).c_str(), values) && ok;
    }
    ok = xml->WriteStringProperty("FilterGain", ExactText(m_dGain)) && ok;
    ok = xml->WriteStringProperty("FilterPreDivider", std::to_string(m_iPreDivider)) && ok;
    return ok;
}

bool CQTXDigitalFilter::XMLImport(CQTXXml* xml, bool exportWhenMissing)
{
    if (!IsBiquad() || m_iMaxOrder < 1 || xml == nullptr)
        return false;
    if (!xml->SelectPropertyByName("EnableDigitalFilter", false))
    {
        if (exportWhenMissing)
            return XMLExport(xml);
        ClearFilter();
        return true;
    }
    if (ItemStringToInt(aBoolItems, xml->GetStringProperty(), true) != 1)
    {
        ClearFilter();
        return true;
    }

    // Every property is read even after an earlier one failed, so each bad one gets its
    // error; values that were read are kept.
    bool ok = true;
    int32_t sections = 0;
    if (xml->ReadIntProperty("NumberOfBiQuads", &sections, 1, true, 1, m_iMaxOrder, false))
    {
        m_iCoefficientCount = 2 * sections;
        for (int i = 0; i < sections; ++i)
        {
            double v[4] = {m_pB1[i], m_pB2[i], m_pA1[i], m_pA2[i]};
            ok = xml->ReadFloatProperty(("BiQuad" + std::to_string(i)).c_str(), v, 4, true, -16.0,
                                        kImportLimit) &&
                 ok;
            m_pB0[i] = m_pA0[i] = 1.0;
            m_pB1[i] = v[0];
            m_pB2[i] = v[1];
            m_pA1[i] = v[2];
            m_pA2[i] = v[3];
        }
    }
    else
    {
        // Without a usable count the sections cannot be read.
        ok = false;
        m_iCoefficientCount = 0;
    }
    double gain = m_dGain;
    ok = xml->ReadFloatProperty("FilterGain", &gain, 1, true, -16.0, kImportLimit) && ok;
    m_dGain = gain;
    int32_t preDivider = m_iPreDivider;
    ok = xml->ReadIntProperty("FilterPreDivider", &preDivider, 1, true, 0, 15, false) && ok;
    if (preDivider >= 0 && preDivider <= 16)
        m_iPreDivider = preDivider;
    return ok;
}
