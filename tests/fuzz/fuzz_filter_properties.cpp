// Fuzz target: the digital-filter properties of a module configuration, as a module driver
// reads them into its filter.
//
// The input is the document; the filter is read from the root's own property list. Whatever
// it holds, the filter must stay within its arrays: a coefficient count of whole sections no
// larger than the object holds, a pre-divider the FPGA knows, a register image that fits the
// area it was given. An accepted filter written into a new document must read back unchanged.
#include "FuzzSupport.h"
#include "QTXDigitalFilter.h"
#include "QTXXml.h"

#include <string>

using kovefuzz::Fail;

namespace
{
const int kMaxOrder = 16;

bool SelectRootProperties(CQTXXml& document)
{
    document.SelectSignalListByName("", "", false);
    try
    {
        document.SelectSignalByNumber(-1, false);
    }
    catch (const CQTXError&)
    {
        return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CQTXXml document;
    if (!document.LoadBuffer(text.data(), text.size(), 0x101) || !SelectRootProperties(document))
        return 0;
    CQTXDigitalFilter filter(kMaxOrder, DF_HwFpga, QTX_FilterBiquads);
    const bool accepted = filter.XMLImport(&document, false);
    const int count = filter.GetCoefficientCount();
    if (count < 0 || count > 2 * kMaxOrder || count % 2 != 0)
        Fail("coefficient count outside the object");
    if (filter.GetPreDivider() < 0 || filter.GetPreDivider() > 16)
        Fail("pre-divider outside 0..16");
    uint32_t area[4 + 8 * kMaxOrder + 1];
    area[4 + 8 * kMaxOrder] = 0xA5A5A5A5;
    const int words = filter.FillRegisterArea(area, 4 + 8 * kMaxOrder);
    if (words > 4 + 8 * kMaxOrder || area[4 + 8 * kMaxOrder] != 0xA5A5A5A5)
        Fail("register image beyond its area");
    if (accepted && words != (count == 0 ? 0 : (count + 1) * 4))
        Fail("accepted filter without its image");
    filter.GetFrequencyResponseGainIndB(size % 1000, 1000);

    // The same properties filtered in software.
    CQTXDigitalFilter soft(kMaxOrder, DF_HwSoftDouble, QTX_FilterBiquads);
    soft.XMLImport(&document, false);
    double samples[8] = {1, 0, -1, 0.5, 0, 0, 0, 0}, out[8];
    bool flags[8];
    soft.ProcessFilter(8, samples, out, nullptr, flags, true);

    if (!accepted || count == 0)
        return 0;
    CQTXXml copy;
    if (!copy.New("Module", "FilterDesign"))
        Fail("new document");
    SelectRootProperties(copy);
    if (!filter.XMLExport(&copy))
        Fail("export refused");
    CQTXDigitalFilter reread(kMaxOrder, DF_HwFpga, QTX_FilterBiquads);
    if (!reread.XMLImport(&copy, false))
        Fail("exported filter refused");
    bool same = reread.GetCoefficientCount() == count && reread.GetGain() == filter.GetGain() &&
                reread.GetPreDivider() == filter.GetPreDivider();
    for (int i = 0; i < count / 2; ++i)
        for (int p = DF_PropB0; p <= DF_PropA2; ++p)
            same = same && reread.GetParameter(i, p) == filter.GetParameter(i, p);
    if (!same)
        Fail("exported filter does not read back");
    return 0;
}
