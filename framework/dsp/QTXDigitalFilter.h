// CQTXDigitalFilter: one digital low-pass filter, either a cascade of biquad sections (for the
// FPGA's filter unit or for filtering in software) or an FIR filter.
//
// A biquad section computes y = b0 w0 + b1 w1 + b2 w2 with w0 = x + a1 w1 + a2 w2: a1 and a2
// are kept with the sign that is added (feedback-add form), so its transfer function is
// (b0 + b1 z^-1 + b2 z^-2) / (a0 - a1 z^-1 - a2 z^-2). The whole filter is
// gain / 2^(pre-divider * sections) times the product of its sections.
//
// The object designs IIR low-pass filters of four characteristics (QTXFilterDesign.cpp), turns
// them into the FPGA's fixed-point register image and into configuration properties and reads
// them back (QTXFilterRegisters.cpp), runs them over samples and reports their frequency
// response (QTXDigitalFilter.cpp), and chooses the subsampling chain of an input with its
// anti-aliasing filters (QTXSubsampling.cpp).
#ifndef QTX_DIGITAL_FILTER_H
#define QTX_DIGITAL_FILTER_H

#include <complex>
#include <cstdint>
#include <memory>
#include <string>

class CQTXXml;

enum _DFDigFilterCharacteristic
{
    DF_Butterworth = 0,
    DF_Chebyshev = 1,
    DF_InverseChebyshev = 2,
    DF_Elliptic = 3,
};

// Where a filter runs.
enum _DFHwId
{
    DF_HwFpga = 0,       // the FPGA's filter unit (register image)
    DF_HwSoftFloat = 1,  // software filtering of float samples
    DF_HwSoftDouble = 2, // software filtering of double samples
};

enum _QTXFilterStructure
{
    QTX_FilterBiquads = 0,
    QTX_FilterFIR = 1,
};

// How the two values of a zero or pole pair of SetBiquadZP are meant.
enum _DFTypeOfZero
{
    DF_ComplexPair = 0, // real part, imaginary part: re +- j im
    DF_SingleReal = 1,  // one real value; the second value must be 0
    DF_TwoReal = 2,     // two real values
};

enum _DFProperty
{
    DF_PropCoefficientCount = 0,
    DF_PropGain = 1,
    DF_PropPreDivider = 2,
    DF_PropB0 = 3,
    DF_PropB1 = 4,
    DF_PropB2 = 5,
    DF_PropA0 = 6,
    DF_PropA1 = 7,
    DF_PropA2 = 8,
    DF_PropFIRCoefficient = 9,
};

class CQTXDigitalFilter
{
public:
    // Biquads allocate six arrays of maximumOrder values, FIR one. When an allocation fails
    // (or the maximum order is negative) nothing is kept and the maximum order becomes -1:
    // every operation then refuses.
    CQTXDigitalFilter(int maximumOrder, int hwId, int structure);
    ~CQTXDigitalFilter();
    void FreeMemory();

    // Ring position, coefficient count, levels, frequencies, gain and pre-divider 0, the
    // coefficient arrays zeroed.
    void ClearFilter();
    // Biquads: 0 <= count <= maximum order / 2 sections, pre-divider 0..16, gain in [-16, 16];
    // the coefficient count becomes 2 * count. FIR: 0 <= count <= maximum order taps.
    bool SetFilter(int count, int preDivider, double gain);
    bool SetBiquadCoeff(int i, double b0, double b1, double b2, double a0, double a1, double a2);
    // Section i from its zeros and poles (types of _DFTypeOfZero); b0 = a0 = 1.
    bool SetBiquadZP(int i, double zero1, double zero2, double pole1, double pole2, int zeroType,
                     int poleType);
    // FIR only: copies 1 .. maximum order taps; the coefficient count becomes count.
    bool SetFIRCoeff(int count, const double* values);
    // The value of a property (index i for the per-section and per-tap ones); 0 for an index
    // or property out of range.
    double GetParameter(int i, int property) const;

    // Designs the biquad cascade of a low-pass filter of the given characteristic; an odd order
    // is rounded up. False, with the filter cleared, when the design fails.
    bool GenerateLowpassFilter(int characteristic, int order, double samplingFrequency,
                               double cornerFrequency, double passBanddB, double stopBanddB,
                               bool unityDcGain);

    // ---- Register image and properties

    // The FPGA's register image (4 + 8 * sections words); its length, 0 for an empty filter,
    // -1 when the filter has no image or the area is too small.
    int FillRegisterArea(uint32_t* area, int areaWords) const;
    // Writes the filter into the selected property list of the document.
    bool XMLExport(CQTXXml* xml) const;
    // Reads the filter from the selected property list; errors are recorded on the
    // properties. A document without "EnableDigitalFilter" clears the filter, or with
    // exportWhenMissing gets the current filter written into it.
    bool XMLImport(CQTXXml* xml, bool exportWhenMissing);

    // ---- Processing and frequency response

    // Filters n samples (float for hardware id 1, double for 2). The state is kept between
    // calls; reset zeroes it first. stateCopy (optional) gets the biquad state (2 * sections
    // doubles) after each sample, or the FIR ring after the block; flags (optional) tell per
    // sample whether the output stayed below 1e38 in magnitude. False when the filter cannot
    // run or an output did not stay below 1e38.
    bool ProcessFilter(int n, const void* in, void* out, double* stateCopy, bool* flags,
                       bool reset);
    std::complex<double> CalcFrequencyResponse(double f, double fs) const;
    double GetFrequencyResponseGain(double f, double fs) const;
    // 20 log10 of the gain; minus infinity where the response is 0.
    double GetFrequencyResponseGainIndB(double f, double fs) const;
    double GetFrequencyResponsePhase(double f, double fs) const;

    // ---- Subsampling

    // Chooses the ADC clock divider and up to maxStages subsampling stages for an output rate
    // and fills the register words (at most 5: divider, total subsampling - 1, stage factors)
    // and two frequencies per stage (input rate, filter corner). The number of stages used; 0
    // when nothing fits or an argument is out of range; -1 for the FIR structure. Writes a
    // report into the debug file when one is named.
    int PrepareAntiAliasingFilter(double minAdcRate, double maxAdcRate, double outputRate,
                                  int maxStages, int maxFactor, double lastStageCorner,
                                  double cornerFraction, double clock, int fractionBits,
                                  int32_t* words, double* frequencies);

    // ---- Settings

    // Base name of the design scripts and of the subsampling report; empty: none written.
    void SetDebugFileName(const std::string& name) { m_sDebugFileName = name; }
    const std::string& GetDebugFileName() const { return m_sDebugFileName; }
    int GetMaximumOrder() const { return m_iMaxOrder; }
    int GetHwId() const { return m_iHwId; }
    int GetStructure() const { return m_iStructure; }
    int GetCoefficientCount() const { return m_iCoefficientCount; }
    int GetNumberOfBiquads() const;
    double GetGain() const { return m_dGain; }
    int GetPreDivider() const { return m_iPreDivider; }
    double GetPassBandLevel() const { return m_dPassBanddB; }
    double GetStopBandLevel() const { return m_dStopBanddB; }
    // Stop-band to pass-band edge ratio of the last elliptic design (0 for the others).
    double GetEdgeRatio() const { return m_dEdgeRatio; }
    double GetSamplingFrequency() const { return m_dSamplingFrequency; }
    double GetCornerFrequency() const { return m_dCornerFrequency; }

private:
    CQTXDigitalFilter(const CQTXDigitalFilter&) = delete;
    CQTXDigitalFilter& operator=(const CQTXDigitalFilter&) = delete;

    bool IsBiquad() const { return m_iStructure == QTX_FilterBiquads; }
    bool Calc_DigIIR_Coefs(int characteristic, bool unityDcGain);
    bool SetAnalogPrototype(int characteristic);
    bool SetEllipticPrototype(int order);
    void SetAnalogSection(int k, double sigma, double omega, double zero);
    void Unnorm_LP_Coefs();
    void Bilinear_Transform();
    void DebugOutput(const std::string& path, const std::string& header, bool digital) const;
    bool ProcessBiquads(int n, const void* in, void* out, double* stateCopy, bool* flags,
                        bool reset);
    bool ProcessFIR(int n, const double* in, double* out, double* stateCopy, bool* flags,
                    bool reset);

    std::string m_sDebugFileName;
    int m_iMaxOrder;
    int m_iRingPosition;
    int m_iHwId;
    int m_iStructure;
    int m_iCoefficientCount;
    double m_dPassBanddB;
    double m_dStopBanddB;
    double m_dEdgeRatio;
    double m_dSamplingFrequency;
    double m_dCornerFrequency;
    double m_dGain;
    int m_iPreDivider;
    std::unique_ptr<double[]> m_pB0, m_pB1, m_pB2, m_pA0, m_pA1, m_pA2;
    std::unique_ptr<double[]> m_pFIR;
    std::unique_ptr<double[]> m_pState;
    int m_iStateSize; // doubles in m_pState
};

// The fixed-point form of a coefficient in the FPGA's register image: 35-bit two's complement
// with 30 fraction bits; out[0] bits 0..17, out[1] bits 18..34. Values outside the range
// [-16, 16 - 2^-30] are held at its ends (so +16 stays positive), a value that is not a
// number gives 0.
void ConvertDoubleToFilterFactor(double value, uint32_t out[2]);

// Searches the ADC clock divider (fractionBits fraction bits) and n stage factors 1..M whose
// rate clock / divisor lies in [minimumRate, maximumRate] and whose total subsampling best
// matches clock / targetRate. True when a combination was found.
bool FindOptimumSubsampling(double clock, double minimumRate, double maximumRate, double targetRate,
                            double lastStageLimit, int n, int M, int fractionBits, int* factors,
                            double* divisor, int* error);

// Elliptic-design helpers: the complete elliptic integral of the first kind K(k), the Jacobi
// functions sn, cn, dn of u with modulus k, the inverse of sc(., m), and asinh.
double Ellip_Integral(double k);
void Ellip_Funcs(double u, double k, double* sn, double* cn, double* dn);
double arcsc(double u, double m);
double _asinh(double x);

#endif
