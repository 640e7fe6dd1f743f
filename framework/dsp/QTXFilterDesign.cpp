// Design of IIR low-pass filters as biquad cascades: an analog prototype of the chosen
// characteristic with its corner at 1 rad/s, scaled to the corner frequency, mapped to the
// z-plane by the bilinear transform s = (1 - z^-1) / (1 + z^-1), given the FPGA's pre-divider
// and written in feedback-add form. The analog corner is pi * fc / fs (no pre-warping), so the
// digital corner lies at fs / pi * atan(pi * fc / fs).
#include "QTXDigitalFilter.h"
#include "QTXStringFile.h"

#include <cmath>
#include <cstdio>

namespace
{

const double kPi = 3.1415926535898;
const double kTolerance = 1e-15;

const char* CharacteristicName(int characteristic)
{
    static const char* const names[] = {"Butterworth", "Chebychev", "Inverse Chebychev", "Cauer"};
    return characteristic >= 0 && characteristic < 4 ? names[characteristic] : "Unknown";
}

// 10^(|dB| / 10) - 1: the squared ripple factor of a level.
double SquaredRipple(double dB)
{
    return std::pow(10.0, std::fabs(dB) / 10.0) - 1.0;
}

} // namespace

// ---- Helpers of the elliptic design

double _asinh(double x)
{
    return std::log(std::sqrt(x * x + 1.0) + x);
}

// K(k) by the arithmetic-geometric mean of 1 and sqrt(1 - k^2).
double Ellip_Integral(double k)
{
    double a = 1.0, b = std::sqrt(1.0 - k * k);
    for (int i = 0; i < 100 && (a - b) / 2.0 >= kTolerance; ++i)
    {
        const double an = (a + b) / 2.0;
        b = std::sqrt(a * b);
        a = an;
    }
    return kPi / (2.0 * a);
}

// sn, cn, dn of u with modulus k by the descending Landen (AGM) scheme.
void Ellip_Funcs(double u, double k, double* sn, double* cn, double* dn)
{
    const int kSteps = 99;
    double a[kSteps + 1], c[kSteps + 1];
    double b = std::sqrt(1.0 - k * k);
    a[0] = 1.0;
    c[0] = k;
    int n = 0;
    while (n < kSteps && std::fabs(c[n]) >= kTolerance)
    {
        a[n + 1] = (a[n] + b) / 2.0;
        c[n + 1] = (a[n] - b) / 2.0;
        b = std::sqrt(a[n] * b);
        ++n;
    }
    double phi = std::ldexp(1.0, n) * a[n] * u;
    for (int i = n; i > 0; --i)
        phi = (std::asin(c[i] * std::sin(phi) / a[i]) + phi) / 2.0;
    *sn = std::sin(phi);
    *cn = std::cos(phi);
    *dn = std::sqrt(1.0 - k * k * *sn * *sn);
}

// The inverse of sc(., k) where m = sqrt(1 - k^2), by Landen's transformation.
double arcsc(double u, double m)
{
    double a = 1.0, b = m, y = 1.0 / u;
    double counter = 0.0;
    for (int i = 0; i < 100; ++i)
    {
        const double p = a * b;
        a = a + b;
        b = 2.0 * std::sqrt(p);
        y = y - p / y;
        if (y == 0.0)
            y = std::sqrt(p) * kTolerance;
        if (std::fabs(a - b) < a * kTolerance)
            break;
        counter *= 2.0;
        if (y < 0.0)
            counter += 1.0;
    }
    if (y < 0.0)
        counter += 1.0;
    return (std::atan(a / y) + counter * kPi) / a;
}

// ---- Design

bool CQTXDigitalFilter::GenerateLowpassFilter(int characteristic, int order,
                                              double samplingFrequency, double cornerFrequency,
                                              double passBanddB, double stopBanddB,
                                              bool unityDcGain)
{
    if (m_iMaxOrder < 1 || !IsBiquad() || order < 2 || order > m_iMaxOrder)
        return false;
    ClearFilter();
    // Frequencies and levels that leave no filter to design are refused before any
    // arithmetic turns them into coefficients that are not numbers.
    if (!(samplingFrequency > 0.0 && std::isfinite(samplingFrequency) && cornerFrequency > 0.0 &&
          std::isfinite(cornerFrequency) && std::isfinite(passBanddB) && std::isfinite(stopBanddB)))
        return false;
    m_iCoefficientCount = (order + 1) / 2 * 2;
    m_dSamplingFrequency = samplingFrequency;
    m_dCornerFrequency = cornerFrequency;
    m_dPassBanddB = -std::fabs(passBanddB);
    m_dStopBanddB = -std::fabs(stopBanddB);
    if (!Calc_DigIIR_Coefs(characteristic, unityDcGain))
    {
        ClearFilter();
        return false;
    }
    // Sections by ascending |a1| + |a2|; on equal keys the earlier one stays first.
    const int sections = GetNumberOfBiquads();
    for (int i = 0; i < sections; ++i)
    {
        int best = i;
        for (int j = i + 1; j < sections; ++j)
            if (std::fabs(m_pA1[j]) + std::fabs(m_pA2[j]) <
                std::fabs(m_pA1[best]) + std::fabs(m_pA2[best]))
                best = j;
        if (best != i)
            for (std::unique_ptr<double[]>* p : {&m_pB0, &m_pB1, &m_pB2, &m_pA0, &m_pA1, &m_pA2})
                std::swap((*p)[i], (*p)[best]);
    }
    return true;
}

bool CQTXDigitalFilter::Calc_DigIIR_Coefs(int characteristic, bool unityDcGain)
{
    m_dEdgeRatio = 0.0;
    if (!SetAnalogPrototype(characteristic))
        return false;
    Unnorm_LP_Coefs();

    const int sections = GetNumberOfBiquads();
    char frequencies[160];
    std::snprintf(frequencies, sizeof frequencies, "%s, order %d, fs = %lg Hz, fc = %lg Hz\n",
                  CharacteristicName(characteristic), m_iCoefficientCount, m_dSamplingFrequency,
                  m_dCornerFrequency);
    if (!m_sDebugFileName.empty())
        DebugOutput(AddFilePreExtension(m_sDebugFileName, "_ana"),
                    std::string("# Analog filter, low pass, ") + frequencies, false);

    Bilinear_Transform();

    // The FPGA scales by 2^-pre-divider in every section: the largest pre-divider that keeps
    // the gain below 0.25 is taken.
    m_iPreDivider = 0;
    if (m_iHwId == DF_HwFpga)
    {
        int p = 0;
        while (p < 16 && m_dGain < 0.25)
        {
            ++p;
            m_dGain *= std::ldexp(1.0, sections);
        }
        if (p == 16)
            return false;
        if (p > 0)
        {
            --p;
            m_dGain /= std::ldexp(1.0, sections);
        }
        m_iPreDivider = p;
    }

    for (int i = 0; i < sections; ++i)
    {
        m_pA1[i] = -m_pA1[i];
        m_pA2[i] = -m_pA2[i];
    }

    if (unityDcGain)
    {
        double g = m_dGain / std::ldexp(1.0, m_iPreDivider * sections);
        for (int i = 0; i < sections; ++i)
            g *= std::fabs(m_pB0[i] + m_pB1[i] + m_pB2[i]) /
                 std::fabs(m_pA0[i] - m_pA1[i] - m_pA2[i]);
        if (!(g > 0.0 && std::isfinite(g)))
            return false;
        m_dGain /= g;
    }

    // A design that ran out of the numbers (a level of 0 dB, an extreme corner) is refused.
    bool finite = std::isfinite(m_dGain);
    for (int i = 0; i < sections; ++i)
        for (const std::unique_ptr<double[]>* p : {&m_pB0, &m_pB1, &m_pB2, &m_pA0, &m_pA1, &m_pA2})
            finite = finite && std::isfinite((*p)[i]);
    if (!finite)
        return false;

    if (!m_sDebugFileName.empty())
        DebugOutput(AddFilePreExtension(m_sDebugFileName, "_dig"),
                    std::string("# Digital filter, low pass, ") + frequencies, true);
    return true;
}

// Sections of the normalised analog prototype: (b0 + b1 s + b2 s^2) / (a0 + a1 s + a2 s^2),
// and its gain.
bool CQTXDigitalFilter::SetAnalogPrototype(int characteristic)
{
    const int n = m_iCoefficientCount;
    const int sections = n / 2;
    switch (characteristic)
    {
    case DF_Butterworth:
        m_dGain = 1.0;
        for (int k = 0; k < sections; ++k)
        {
            const double theta = (2 * k + n + 1) * kPi / (2 * n);
            SetAnalogSection(k, std::cos(theta), std::sin(theta), 0.0);
        }
        return true;
    case DF_Chebyshev:
    {
        const double v = _asinh(1.0 / std::sqrt(SquaredRipple(m_dPassBanddB))) / n;
        m_dGain = std::pow(10.0, -std::fabs(m_dPassBanddB) / 20.0);
        for (int k = 0; k < sections; ++k)
        {
            const double theta = (2 * k + 1) * kPi / (2 * n);
            SetAnalogSection(k, -std::sinh(v) * std::sin(theta), std::cosh(v) * std::cos(theta),
                             0.0);
        }
        return true;
    }
    case DF_InverseChebyshev:
    {
        const double v = _asinh(std::sqrt(SquaredRipple(m_dStopBanddB))) / n;
        m_dGain = 1.0;
        for (int k = 0; k < sections; ++k)
        {
            const double theta = (2 * k + 1) * kPi / (2 * n);
            const double sigma0 = -std::sinh(v) * std::sin(theta);
            const double omega0 = std::cosh(v) * std::cos(theta);
            const double d = sigma0 * sigma0 + omega0 * omega0;
            SetAnalogSection(k, sigma0 / d, -omega0 / d, 1.0 / std::cos(theta));
        }
        return true;
    }
    case DF_Elliptic:
        return SetEllipticPrototype(n);
    default:
        return false;
    }
}

// Section k of the prototype: the pole pair sigma +- j omega, and the zero pair +- j zero (none
// when zero is 0), at unit gain for s = 0.
void CQTXDigitalFilter::SetAnalogSection(int k, double sigma, double omega, double zero)
{
    m_pA0[k] = sigma * sigma + omega * omega;
    m_pA1[k] = -2.0 * sigma;
    m_pA2[k] = 1.0;
    m_pB1[k] = 0.0;
    if (zero == 0.0)
    {
        m_pB0[k] = m_pA0[k];
        m_pB2[k] = 0.0;
        return;
    }
    m_pB0[k] = zero * zero;
    m_pB2[k] = 1.0;
    m_dGain *= m_pA0[k] / m_pB0[k];
}

bool CQTXDigitalFilter::SetEllipticPrototype(int n)
{
    const double passRipple = SquaredRipple(m_dPassBanddB);
    const double k1 = 1.0 / std::sqrt(SquaredRipple(m_dStopBanddB) / passRipple);
    if (!(k1 >= 2e-8) || !(k1 < 1.0))
        return false;
    const double k1Complement = std::sqrt(1.0 - k1 * k1);
    // The widest transition band that the order still achieves: the stop-band edge ratio
    // comes down from 30 until the order these levels need approaches the given one.
    double k = 0.5;
    if (m_dEdgeRatio < 1.0)
    {
        double ratio = 30.0;
        for (int i = 0; i < 1000; ++i)
        {
            ratio = std::pow(ratio, 0.7);
            k = 1.0 / ratio;
            const double needed = Ellip_Integral(k) * Ellip_Integral(k1Complement) /
                                  (Ellip_Integral(std::sqrt(1.0 - k * k)) * Ellip_Integral(k1));
            if (n - needed <= 0.9)
                break;
        }
        m_dEdgeRatio = ratio;
    }
    const double K = Ellip_Integral(k);
    const double kComplement = std::sqrt(1.0 - k * k);
    const double u0 = K / (n * Ellip_Integral(k1)) * arcsc(1.0 / std::sqrt(passRipple), k1);
    double sn0, cn0, dn0;
    Ellip_Funcs(u0, kComplement, &sn0, &cn0, &dn0);
    m_dGain = std::pow(10.0, -std::fabs(m_dPassBanddB) / 20.0);
    for (int s = 0; s < n / 2; ++s)
    {
        double sn, cn, dn;
        Ellip_Funcs((2 * s + 1) * K / n, k, &sn, &cn, &dn);
        const double q = 1.0 - dn * dn * sn0 * sn0;
        SetAnalogSection(s, -cn * dn * sn0 * cn0 / q, sn * dn0 / q, 1.0 / (k * sn));
    }
    return true;
}

// Moves the prototype's corner from 1 rad/s to pi * fc / fs.
void CQTXDigitalFilter::Unnorm_LP_Coefs()
{
    const double w = m_dCornerFrequency * 6.2831853071796 / (2.0 * m_dSamplingFrequency);
    for (int i = 0; i < GetNumberOfBiquads(); ++i)
    {
        m_pB1[i] *= w;
        m_pA1[i] *= w;
        m_pB0[i] *= w * w;
        m_pA0[i] *= w * w;
    }
}

void CQTXDigitalFilter::Bilinear_Transform()
{
    for (int i = 0; i < GetNumberOfBiquads(); ++i)
    {
        const double b0 = m_pB0[i], b1 = m_pB1[i], b2 = m_pB2[i];
        const double a0 = m_pA0[i], a1 = m_pA1[i], a2 = m_pA2[i];
        const double N = b0 + b1 + b2, D = a0 + a1 + a2;
        m_pB0[i] = 1.0;
        m_pB1[i] = (2.0 * b0 - 2.0 * b2) / N;
        m_pB2[i] = (b0 - b1 + b2) / N;
        m_pA0[i] = 1.0;
        m_pA1[i] = (2.0 * a0 - 2.0 * a2) / D;
        m_pA2[i] = (a0 - a1 + a2) / D;
        m_dGain *= N / D;
    }
}

// An Octave/Matlab script with the sections that multiplies them out and plots the response.
void CQTXDigitalFilter::DebugOutput(const std::string& path, const std::string& header,
                                    bool digital) const
{
    if (!IsBiquad())
        return;
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return;
    const int sections = GetNumberOfBiquads();
    std::fputs(header.c_str(), f);
    std::fputs("# Octave(Matlab file for digital filter\n", f);
    std::fprintf(f, "NumberOfBiQuads = %d\n", sections);
    if (sections > 0)
    {
        std::fprintf(f, "FilterGain = %.17lg\nPreShift = %d\n", m_dGain, m_iPreDivider);
        const std::unique_ptr<double[]>* rows[2][3] = {{&m_pA0, &m_pA1, &m_pA2},
                                                       {&m_pB0, &m_pB1, &m_pB2}};
        const char* names[2] = {"BQ_a", "BQ_b"};
        for (int m = 0; m < 2; ++m)
        {
            std::fprintf(f, "%s = [", names[m]);
            for (int r = 0; r < 3; ++r)
            {
                for (int i = 0; i < sections; ++i)
                    std::fprintf(f, " %.17lg", (*rows[m][r])[i]);
                std::fputs(r < 2 ? ";" : " ];\n", f);
            }
        }
        std::fprintf(f, "fs = %.17lg;\n", m_dSamplingFrequency);
        std::fputs("num = 1;\nden = 1;\nfor i = 1:NumberOfBiQuads\n", f);
        if (digital)
        {
            // Feedback-add form: the denominator is a0 - a1 z^-1 - a2 z^-2.
            std::fputs("  num = conv(num, BQ_b(:, i)');\n"
                       "  den = conv(den, [BQ_a(1, i), -BQ_a(2, i), -BQ_a(3, i)]);\n"
                       "end\n"
                       "num = num * FilterGain / 2^(PreShift * NumberOfBiQuads);\n"
                       "y = filter(num, den, [1, zeros(1, 1023)]);\n"
                       "[h, w] = freqz(num, den, 1024, fs);\n"
                       "plot(w, 20 * log10(abs(h)));\n",
                       f);
        }
        else
        {
            // Coefficients by ascending powers of s; polynomials want them descending. The
            // analog frequency is normalised to 2 fs (the corner lies at pi fc / fs).
            std::fputs("  num = conv(num, fliplr(BQ_b(:, i)'));\n"
                       "  den = conv(den, fliplr(BQ_a(:, i)'));\n"
                       "end\n"
                       "num = num * FilterGain;\n"
                       "w = logspace(-4, log10(pi), 1024);\n"
                       "h = freqs(num, den, w);\n"
                       "semilogx(w * fs / pi, 20 * log10(abs(h)));\n",
                       f);
        }
        std::fputs("grid on;\n", f);
    }
    std::fclose(f);
}
