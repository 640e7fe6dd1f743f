// The filter object: its arrays, direct settings of sections and taps, filtering of sample
// blocks in software and the complex frequency response.
#include "QTXDigitalFilter.h"

#include <cmath>
#include <cstring>
#include <new>

namespace
{

const double kPi = 3.1415926535898;
// Outputs at or above this magnitude no longer fit a float: the filter has run away.
const double kOutputLimit = 1e38;

std::unique_ptr<double[]> NewArray(int count)
{
    return std::unique_ptr<double[]>(new (std::nothrow) double[count > 0 ? count : 1]());
}

bool OutputInRange(double v)
{
    return std::fabs(v) < kOutputLimit; // false for a value that is not a number
}

} // namespace

CQTXDigitalFilter::CQTXDigitalFilter(int maximumOrder, int hwId, int structure)
    : m_iMaxOrder(maximumOrder), m_iRingPosition(0), m_iHwId(hwId), m_iStructure(structure),
      m_iCoefficientCount(0), m_dPassBanddB(0), m_dStopBanddB(0), m_dEdgeRatio(0),
      m_dSamplingFrequency(0), m_dCornerFrequency(0), m_dGain(0), m_iPreDivider(0), m_iStateSize(0)
{
    bool ok = maximumOrder >= 0;
    if (ok && IsBiquad())
    {
        for (std::unique_ptr<double[]>* p : {&m_pB0, &m_pB1, &m_pB2, &m_pA0, &m_pA1, &m_pA2})
        {
            *p = NewArray(maximumOrder);
            ok = ok && *p != nullptr;
        }
    }
    else if (ok)
    {
        m_pFIR = NewArray(maximumOrder);
        ok = m_pFIR != nullptr;
    }
    if (ok)
        ClearFilter();
    else
        FreeMemory();
}

CQTXDigitalFilter::~CQTXDigitalFilter()
{
    FreeMemory();
}

void CQTXDigitalFilter::FreeMemory()
{
    for (std::unique_ptr<double[]>* p :
         {&m_pB0, &m_pB1, &m_pB2, &m_pA0, &m_pA1, &m_pA2, &m_pFIR, &m_pState})
        p->reset();
    m_iStateSize = 0;
    m_iMaxOrder = -1;
}

void CQTXDigitalFilter::ClearFilter()
{
    m_iRingPosition = 0;
    m_iCoefficientCount = 0;
    m_dPassBanddB = m_dStopBanddB = m_dEdgeRatio = 0;
    m_dSamplingFrequency = m_dCornerFrequency = m_dGain = 0;
    m_iPreDivider = 0;
    if (m_iMaxOrder < 1)
        return;
    for (std::unique_ptr<double[]>* p : {&m_pB0, &m_pB1, &m_pB2, &m_pA0, &m_pA1, &m_pA2, &m_pFIR})
        if (*p)
            std::memset(p->get(), 0, sizeof(double) * m_iMaxOrder);
}

int CQTXDigitalFilter::GetNumberOfBiquads() const
{
    return IsBiquad() ? (m_iCoefficientCount + 1) / 2 : 0;
}

bool CQTXDigitalFilter::SetFilter(int count, int preDivider, double gain)
{
    if (m_iMaxOrder < 0)
        return false;
    if (IsBiquad())
    {
        if (count < 0 || count > m_iMaxOrder / 2 || preDivider < 0 || preDivider > 16 ||
            !(gain >= -16.0 && gain <= 16.0))
            return false;
        m_iCoefficientCount = 2 * count;
    }
    else
    {
        if (count < 0 || count > m_iMaxOrder)
            return false;
        m_iCoefficientCount = count;
    }
    m_iPreDivider = preDivider;
    m_dGain = gain;
    return true;
}

bool CQTXDigitalFilter::SetBiquadCoeff(int i, double b0, double b1, double b2, double a0, double a1,
                                       double a2)
{
    if (m_iMaxOrder < 1 || !IsBiquad() || i < 0 || i >= GetNumberOfBiquads())
        return false;
    m_pB0[i] = b0;
    m_pB1[i] = b1;
    m_pB2[i] = b2;
    m_pA0[i] = a0;
    m_pA1[i] = a1;
    m_pA2[i] = a2;
    return true;
}

bool CQTXDigitalFilter::SetBiquadZP(int i, double zero1, double zero2, double pole1, double pole2,
                                    int zeroType, int poleType)
{
    if (m_iMaxOrder < 1 || !IsBiquad() || i < 0 || i >= GetNumberOfBiquads())
        return false;
    double b1, b2, a1, a2;
    switch (zeroType)
    {
    case DF_ComplexPair:
        b1 = -2.0 * zero1;
        b2 = zero1 * zero1 + zero2 * zero2;
        break;
    case DF_SingleReal:
        if (zero2 != 0.0)
            return false;
        b1 = -zero1;
        b2 = 0.0;
        break;
    case DF_TwoReal:
        b1 = -(zero1 + zero2);
        b2 = zero1 * zero2;
        break;
    default:
        return false;
    }
    switch (poleType)
    {
    case DF_ComplexPair:
        a1 = 2.0 * pole1;
        a2 = -(pole1 * pole1 + pole2 * pole2);
        break;
    case DF_SingleReal:
        if (pole2 != 0.0)
            return false;
        a1 = pole1;
        a2 = 0.0;
        break;
    case DF_TwoReal:
        a1 = pole1 + pole2;
        a2 = -(pole1 * pole2);
        break;
    default:
        return false;
    }
    return SetBiquadCoeff(i, 1.0, b1, b2, 1.0, a1, a2);
}

bool CQTXDigitalFilter::SetFIRCoeff(int count, const double* values)
{
    if (m_iMaxOrder < 1 || IsBiquad() || count < 1 || count > m_iMaxOrder || values == nullptr)
        return false;
    std::memcpy(m_pFIR.get(), values, sizeof(double) * count);
    m_iCoefficientCount = count;
    return true;
}

double CQTXDigitalFilter::GetParameter(int i, int property) const
{
    if (m_iMaxOrder < 1 || i < 0 || i >= m_iMaxOrder)
        return 0.0;
    const std::unique_ptr<double[]>* arrays[] = {&m_pB0, &m_pB1, &m_pB2, &m_pA0, &m_pA1, &m_pA2};
    switch (property)
    {
    case DF_PropCoefficientCount:
        return m_iCoefficientCount;
    case DF_PropGain:
        return m_dGain;
    case DF_PropPreDivider:
        return m_iPreDivider;
    case DF_PropFIRCoefficient:
        return m_pFIR ? m_pFIR[i] : 0.0;
    default:
        if (property >= DF_PropB0 && property <= DF_PropA2 && *arrays[property - DF_PropB0])
            return (*arrays[property - DF_PropB0])[i];
        return 0.0;
    }
}

// ---- Processing

bool CQTXDigitalFilter::ProcessFilter(int n, const void* in, void* out, double* stateCopy,
                                      bool* flags, bool reset)
{
    if (m_iMaxOrder < 1 || m_iCoefficientCount < 1 || n < 0 || (n > 0 && (!in || !out)))
        return false;
    if (IsBiquad())
        return ProcessBiquads(n, in, out, stateCopy, flags, reset);
    if (m_iHwId != DF_HwSoftDouble)
        return false;
    return ProcessFIR(n, static_cast<const double*>(in), static_cast<double*>(out), stateCopy,
                      flags, reset);
}

bool CQTXDigitalFilter::ProcessBiquads(int n, const void* in, void* out, double* stateCopy,
                                       bool* flags, bool reset)
{
    if (m_iHwId != DF_HwSoftFloat && m_iHwId != DF_HwSoftDouble)
        return false;
    const int sections = GetNumberOfBiquads();
    // The state (w1, w2 per section) follows the filter's size; a new size starts from rest.
    if (!m_pState || m_iStateSize != 2 * sections)
    {
        m_pState = NewArray(2 * sections);
        if (!m_pState)
        {
            m_iStateSize = 0;
            return false;
        }
        m_iStateSize = 2 * sections;
    }
    else if (reset)
        std::memset(m_pState.get(), 0, sizeof(double) * m_iStateSize);

    // The FPGA divides by 2^pre-divider in every section; the simulation does the same in one.
    const double scale = m_dGain / std::ldexp(1.0, m_iPreDivider * sections);
    double* w = m_pState.get();
    bool inRange = true;
    for (int s = 0; s < n; ++s)
    {
        double v = m_iHwId == DF_HwSoftFloat ? static_cast<const float*>(in)[s]
                                             : static_cast<const double*>(in)[s];
        v *= scale;
        for (int i = 0; i < sections; ++i)
        {
            double& w1 = w[2 * i];
            double& w2 = w[2 * i + 1];
            const double w0 = v + m_pA1[i] * w1 + m_pA2[i] * w2;
            // b0 and a0 are 1, as in the FPGA, which does not hold them.
            v = w0 + m_pB1[i] * w1 + m_pB2[i] * w2;
            w2 = w1;
            w1 = w0;
        }
        if (m_iHwId == DF_HwSoftFloat)
            static_cast<float*>(out)[s] = static_cast<float>(v);
        else
            static_cast<double*>(out)[s] = v;
        const bool ok = OutputInRange(v);
        inRange = inRange && ok;
        if (flags)
            flags[s] = ok;
        if (stateCopy)
            std::memcpy(stateCopy + static_cast<size_t>(s) * 2 * sections, w,
                        sizeof(double) * 2 * sections);
    }
    return inRange;
}

bool CQTXDigitalFilter::ProcessFIR(int n, const double* in, double* out, double* stateCopy,
                                   bool* flags, bool reset)
{
    const int taps = m_iCoefficientCount;
    if (!m_pState || m_iStateSize != taps)
    {
        m_pState = NewArray(taps);
        if (!m_pState)
        {
            m_iStateSize = 0;
            return false;
        }
        m_iStateSize = taps;
        m_iRingPosition = 0;
    }
    else if (reset)
    {
        std::memset(m_pState.get(), 0, sizeof(double) * taps);
        m_iRingPosition = 0;
    }
    if (m_iRingPosition < 0 || m_iRingPosition >= taps)
        m_iRingPosition = 0;

    double* ring = m_pState.get();
    const double* h = m_pFIR.get();
    bool inRange = true;
    for (int s = 0; s < n; ++s)
    {
        // The newest sample sits at the ring position, older ones above it (wrapping).
        const int pos = m_iRingPosition;
        ring[pos] = in[s];
        double y = 0.0;
        for (int k = 0; k < taps - pos; ++k)
            y += h[k] * ring[pos + k];
        for (int k = taps - pos; k < taps; ++k)
            y += h[k] * ring[pos + k - taps];
        m_iRingPosition = pos == 0 ? taps - 1 : pos - 1;
        out[s] = y;
        const bool ok = OutputInRange(y);
        inRange = inRange && ok;
        if (flags)
            flags[s] = ok;
    }
    if (stateCopy)
        std::memcpy(stateCopy, ring, sizeof(double) * taps);
    return inRange;
}

// ---- Frequency response

std::complex<double> CQTXDigitalFilter::CalcFrequencyResponse(double f, double fs) const
{
    if (!IsBiquad())
        return {-1.0, 0.0};
    if (m_iMaxOrder < 1 || m_iCoefficientCount < 1 || !(fs >= 1e-6))
        return {0.0, 0.0};
    const int sections = GetNumberOfBiquads();
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / fs);
    const std::complex<double> z2 = z1 * z1;
    std::complex<double> h = m_dGain / std::ldexp(1.0, sections * m_iPreDivider);
    for (int i = 0; i < sections; ++i)
        h *=
            (m_pB0[i] + m_pB1[i] * z1 + m_pB2[i] * z2) / (m_pA0[i] - m_pA1[i] * z1 - m_pA2[i] * z2);
    return h;
}

double CQTXDigitalFilter::GetFrequencyResponseGain(double f, double fs) const
{
    if (!IsBiquad())
        return -1.0;
    return std::abs(CalcFrequencyResponse(f, fs));
}

double CQTXDigitalFilter::GetFrequencyResponseGainIndB(double f, double fs) const
{
    if (!IsBiquad())
        return -1.0;
    const double gain = std::abs(CalcFrequencyResponse(f, fs));
    return gain > 0.0 ? 20.0 * std::log10(gain) : -HUGE_VAL;
}

double CQTXDigitalFilter::GetFrequencyResponsePhase(double f, double fs) const
{
    if (!IsBiquad())
        return -1.0;
    const std::complex<double> h = CalcFrequencyResponse(f, fs);
    return std::abs(h) > 0.0 ? std::arg(h) : 0.0;
}
