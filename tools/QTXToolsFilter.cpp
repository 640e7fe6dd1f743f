// The off-line signal tools of qtx: a low-pass filter designed and exported for a module
// configuration, one biquad computed from its zeros and poles, power-grid simulation files for
// the WEX products, a fixed filter run over test signals, and the real FFT timed.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QTXConvert.h"
#include "QTXDigitalFilter.h"
#include "QTXGlobal.h"
#include "QTXRfft.h"
#include "QTXStringFile.h"
#include "QTXTools.h"
#include "QTXXml.h"

namespace
{
const char* const aFilterTypeNames[] = {"Butterworth", "Chebychev", "Inv.-Chebychev", "Cauer"};

std::string WithoutDirectory(const std::string& path)
{
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// ---- WEX simulation signals

const double kWexVoltage = 325.2691193458119; // 230 V * sqrt(2)
const double kWexCurrent = 22.627417;         // 16 A * sqrt(2)
const int kWexModes = 5;

double WexAmplitude(int mode, int quantity, int phase)
{
    if (phase < 0 || phase > 2 || mode < 0 || mode >= kWexModes)
        return 0.0;
    if (mode == 1)
        return quantity == WEX_VOLTAGE ? 30000.0 : 1000.0;
    return quantity == WEX_VOLTAGE ? kWexVoltage : kWexCurrent;
}

double WexPhaseAngle(int phase)
{
    switch (phase)
    {
    case 1:
        return 2.0 * M_PI / 3.0;
    case 2:
        return -2.0 * M_PI / 3.0;
    default:
        return 0.0;
    }
}

bool EndsWith(const std::string& name, const char* end)
{
    const std::string e(end);
    return name.size() >= e.size() && SameString(name.substr(name.size() - e.size()), end);
}

// Floats of the binary simulation file, little-endian on every host.
bool PutFloat(FILE* f, double value)
{
    const float v = static_cast<float>(value);
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const unsigned char b[4] = {
        static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
        static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
    return std::fwrite(b, 1, 4, f) == 4;
}

// ---- The fixed test filter of WexFilter

const int kTestSamples = 10240;
const double kTestAmplitude = 325.2691193458119;

bool SetUpTestFilter(CQTXDigitalFilter& filter)
{
    static const double poles[5][2] = {{0.99078, 0.041763},
                                       {0.9758, 0.03487},
                                       {0.96464, 0.023033},
                                       {0.9587, 0.0080383},
                                       {0.98698, 0.012848}};
    uint64_t gainBits = 0x3D268F6C1647E1A2ull; // 4.0075042e-14
    double gain;
    std::memcpy(&gain, &gainBits, sizeof gain);
    bool ok = filter.SetFilter(5, 0, gain);
    for (int i = 0; i < 5 && ok; ++i)
        ok = filter.SetBiquadZP(i, i < 4 ? -1.0 : 1.0, 0.0, poles[i][0], poles[i][1],
                                DF_ComplexPair, DF_ComplexPair);
    return ok;
}

void MakeTestSignal(int kind, std::vector<double>& in)
{
    double amplitude = kTestAmplitude;
    const double frequency = kind == 5 ? 60.0 : 50.0;
    for (int i = 0; i < kTestSamples; ++i)
    {
        const double t = i / 10240.0;
        if ((kind == 4 || kind == 5) && i != 0 && i % 2048 == 0)
            amplitude = (i & 0x800) == 0 ? amplitude * 10.0 : amplitude / 10.0;
        switch (kind)
        {
        case 1:
            in[i] = amplitude * (2.0 * std::rand() / 2147483647.0 - 1.0);
            break;
        case 2:
        case 4:
        case 5:
            in[i] = amplitude * std::sin(2.0 * M_PI * frequency * t);
            break;
        case 3:
            in[i] = std::fmod(t * 50.0, 1.0) < 0.5 ? amplitude : -0.9 * amplitude;
            break;
        default:
            in[i] = 0.0;
            break;
        }
    }
}

void WriteList(FILE* f, const char* head, const std::vector<double>& values, bool integers)
{
    std::fprintf(f, "%s", head);
    for (size_t i = 0; i < values.size(); ++i)
    {
        if (integers)
            std::fprintf(f, "%d", static_cast<int>(values[i]));
        else
            std::fprintf(f, "%lg", values[i]);
        std::fprintf(f, i + 1 < values.size() ? ";\n\t" : " ];\n");
    }
}

bool RunTestFilter(int kind, const std::string& output)
{
    std::vector<double> in(kTestSamples), out(kTestSamples);
    MakeTestSignal(kind, in);
    CQTXDigitalFilter filter(20, DF_HwSoftDouble, QTX_FilterBiquads);
    if (!SetUpTestFilter(filter))
    {
        ToolError("ERROR while setting up filter\n");
        return false;
    }
    if (!filter.ProcessFilter(kTestSamples, in.data(), out.data(), nullptr, nullptr, true))
    {
        ToolError("ERROR while procesing filter\n");
        return false;
    }
    std::string name = output;
    size_t mark = name.find("##");
    if (mark != std::string::npos)
    {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%02d", kind);
        name.replace(mark, 2, digits);
    }
    ToolFile f(OpenToolFile(name, "w"));
    if (!f)
        return false;
    std::vector<double> t(kTestSamples), index(kTestSamples);
    for (int i = 0; i < kTestSamples; ++i)
    {
        t[i] = i / 10240.0;
        index[i] = i;
    }
    std::fprintf(f.get(), "bOK = %d\n", 1);
    WriteList(f.get(), "Input = [ ", in, false);
    WriteList(f.get(), "Output = [ ", out, false);
    WriteList(f.get(), "t = [ ", t, false);
    WriteList(f.get(), "f = [ ", index, true);
    return std::ferror(f.get()) == 0;
}

bool RunFftTest(int n)
{
    std::vector<double> input(n), work(n), magnitudes(n / 2);
    std::vector<complexStruct> spectrum(n / 2);
    for (int i = 0; i < n; ++i)
        input[i] = (i & 8) == 0 ? -1.0 : 1.0;
    const int loops = 80;
    double start = GetSoftwareTime();
    bool ok = InitRfft(n) != 0;
    const double timeInit = GetSoftwareTime() - start;
    start = GetSoftwareTime();
    for (int i = 0; i < loops && ok; ++i)
    {
        work = input;
        ok = rfft(work.data(), spectrum.data()) != 0;
    }
    const double timeCalc = GetSoftwareTime() - start;
    start = GetSoftwareTime();
    for (int i = 0; i < loops && ok; ++i)
        ok = AbsArray(spectrum.data(), magnitudes.data()) != 0;
    const double timeAbs = GetSoftwareTime() - start;

    ToolFile f(OpenToolFile("FftTest" + std::to_string(n) + ".m", "w"));
    if (!f)
        return false;
    std::fprintf(f.get(), "# result of FFT calculation\n");
    std::fprintf(f.get(), "Time_Init = %lf s\n", timeInit);
    std::fprintf(f.get(), "Time_Calculation = %lf s # for %d loops\nTime_CalcPerLoop = %lf s\n",
                 timeCalc, loops, timeCalc / loops);
    std::fprintf(f.get(),
                 "Time_AbsCalculation = %lf s # for %d loops\nTime_AbsCalcPerLoop = %lf s\n",
                 timeAbs, loops, timeAbs / loops);
    std::fprintf(f.get(), "AbsoluteValues = [ ");
    for (int i = 0; i < n / 2; ++i)
    {
        std::fprintf(f.get(), "%lf", magnitudes[i]);
        std::fprintf(f.get(), i + 1 < n / 2 ? "," : " ");
        std::fprintf(f.get(), (i + 1) % 16 == 0 ? "\n" : " ");
    }
    std::fprintf(f.get(), "];\nplot(AbsoluteValues);\n");
    return ok && std::ferror(f.get()) == 0;
}

double ReadConsoleDouble(const char* prompt)
{
    std::printf("%s", prompt);
    std::fflush(stdout);
    double value = 0.0;
    if (std::scanf("%lf", &value) != 1)
        return 0.0;
    return value;
}

void ShowRoot(const char* name, double re, double im)
{
    std::printf("    %s = %lf %c j %lf\n", name, re, im < 0 ? '-' : '+', std::fabs(im));
}
} // namespace

double WexSample(int mode, int quantity, int phase, double t, double f)
{
    const double a = WexAmplitude(mode, quantity, phase);
    double theta = 2.0 * M_PI * f * t + WexPhaseAngle(phase);
    const double q = theta / (2.0 * M_PI);
    theta = std::fmod(theta, 2.0 * M_PI);
    if (theta < 0)
        theta += 2.0 * M_PI;
    switch (mode)
    {
    case 0:
        return a * std::sin(theta);
    case 1:
        return theta < M_PI ? a : -a;
    case 2:
        return a * std::sin(theta) + 0.1 * a * std::sin(3.0 * theta);
    case 3:
    {
        const double cycles = q / (10.0 * f);
        const double fraction = cycles - std::floor(cycles);
        return a * std::sin(theta) * (fraction >= 0.5 ? 0.2 : 1.0);
    }
    case 4:
    {
        const long long n = static_cast<long long>(q);
        double v = a * std::sin(theta);
        if (n % 10 == phase + 2)
            v *= n % 20 < 10 ? 1.5 : 0.2;
        return v;
    }
    default:
        return 0.0;
    }
}

bool GenLpFilter(CToolsCall& call)
{
    const std::string name = call.Param(0);
    const int type = static_cast<int>(StringToInt(call.Param(1)));
    const int order = static_cast<int>(StringToInt(call.Param(2)));
    const double fs = StringToFloat(call.Param(3));
    const double fc = StringToFloat(call.Param(4));
    const double passGain = call.vsParams.size() > 5 ? StringToFloat(call.Param(5)) : -0.1;
    const double stopGain = call.vsParams.size() > 6 ? StringToFloat(call.Param(6)) : -80.0;

    CQTXDigitalFilter filter(64, DF_HwFpga, QTX_FilterBiquads);
    if (filter.GetMaximumOrder() < 1)
    {
        ToolError("ERROR: internal error\n");
        return false;
    }
    if (order < 2 || order > 64 || order % 2 != 0)
    {
        ToolError("ERROR: filter order must be between 2 and 64 and a multible of 2\n");
        return false;
    }
    if (type < 0 || type > 3)
    {
        ToolError("ERROR: filter type must be between 0 and 3\n");
        return false;
    }
    if (!(fc <= fs / 2))
    {
        ToolError("ERROR: The corner frequency must be less than half of the sampling "
                  "frequency\n");
        return false;
    }
    filter.SetDebugFileName(name + ".m");
    // A failed design has no coefficients worth exporting: no configuration file is written
    // from it.
    if (!filter.GenerateLowpassFilter(type, order, fs, fc, passGain, stopGain, true))
    {
        ToolError("EWRROR while calculating filter\n");
        return false;
    }

    CQTXXml xml;
    bool ok = xml.New("Module", "FilterDesign");
    if (ok)
    {
        xml.SelectSignalListByName("", "AnalogIn", true);
        xml.SelectSignalByNumber(0, true);
        ok = filter.XMLExport(&xml) && xml.StoreFile((name + ".xml").c_str(), false);
    }
    if (!ok)
    {
        ToolError("ERROR: can not write \"%s.xml\"\n", name.c_str());
        return false;
    }

    ToolFile f(OpenToolFile(name + "_Summary.txt", "w"));
    if (f)
    {
        const std::string shown = WithoutDirectory(name);
        const char* s = shown.c_str();
        std::fprintf(f.get(), "Filter design Summary\n\n");
        std::fprintf(f.get(), "Digital low pass filter, type %s, order %d\n",
                     aFilterTypeNames[type], order);
        std::fprintf(f.get(), "Sampling frequency: %lf kHz, Corner frequency: %lf kHz\n", fs / 1000,
                     fc / 1000);
        std::fprintf(f.get(), "Gain: pass band = %lf dB, stop band = %lf dB\n\n", passGain,
                     stopGain);
        std::fprintf(f.get(), "Generated files:\n");
        std::fprintf(f.get(), "  - %s_Summary.txt: this file\n", s);
        std::fprintf(f.get(),
                     "  - %s.xml: Filter configuration file, to be partly copied into the "
                     "Module configuration file\n",
                     s);
        std::fprintf(f.get(),
                     "  - %s_ana.m: Designed analog filter (before bilinear convertion).\n    To "
                     "be used in matlab or octave with command line \"source %s_ana.m\"\n",
                     s, s);
        std::fprintf(f.get(),
                     "  - %s_dig.m: Designed digital filter (after bilinear convertion).\n    To "
                     "be used in matlab or octave with command line \"source %s_dig.m\"\n",
                     s, s);
    }
    return true;
}

bool CalcBiQuad(CToolsCall& /*call*/)
{
    double zr0 = ReadConsoleDouble("Real part of first zero: ");
    double zi = ReadConsoleDouble("Imaginary part of first zero: ");
    double zr1 = zr0, zi1 = -zi;
    if (std::fabs(zi) <= 1e-20)
    {
        zr1 = ReadConsoleDouble("Real part of second zero: ");
        zi1 = 0.0;
    }
    double pr0 = ReadConsoleDouble("\nReal part of first pole: ");
    double pi = ReadConsoleDouble("Imaginary part of first pole: ");
    double pr1 = pr0, pi1 = -pi;
    if (std::fabs(pi) <= 1e-20)
    {
        pr1 = ReadConsoleDouble("Real part of second pole: ");
        pi1 = 0.0;
    }
    std::printf("Entered numbers:\n");
    ShowRoot("zero0", zr0, zi);
    ShowRoot("zero1", zr1, zi1);
    ShowRoot("pole0", pr0, pi);
    ShowRoot("pole1", pr1, pi1);
    const double a1 = -(zr0 + zr1), a2 = zr0 * zr1 + zi * zi;
    const double b1 = pr0 + pr1, b2 = -(pr0 * pr1 + pi * pi);
    std::printf("\nCalculated parameters for this biquad (a1; a2; b1; b2): "
                "BiQuadX=\"%lf; %lf; %lf; %lf\"\n\n",
                a1, a2, b1, b2);
    return true;
}

bool WexSim(CToolsCall& call)
{
    const std::string name = call.Param(0);
    const int mode = static_cast<int>(StringToInt(call.Param(1)));
    const int phases = static_cast<int>(StringToInt(call.Param(2)));
    const double f = StringToFloat(call.Param(3));
    const int64_t periods = StringToInt(call.Param(4));
    if (mode < 0 || mode >= kWexModes)
    {
        ToolError("ERROR: Mode must be between 0 and %d\n", kWexModes - 1);
        return false;
    }
    if (phases < 0 || phases == 2 || phases > 4)
    {
        ToolError("ERROR: GridPhases must be 1, 3 or 4!\n");
        return false;
    }
    if (!(f >= 10 && f <= 75))
    {
        ToolError("ERROR: Grid frequency must be between 10 and 75 [Hz]\n");
        return false;
    }
    if (periods < 1)
    {
        ToolError("ERROR: Periods must be 1 or higher\n");
        return false;
    }
    const bool text = EndsWith(name, ".m");
    if (!text && !EndsWith(name, ".bin"))
    {
        ToolError("ERROR: file name must end with .m or .bin\n");
        return false;
    }

    double rate;
    int64_t count;
    if (f < 51)
    {
        rate = 2048.0 * 5 * f / 50;
        count = periods * 2048 / 10;
    }
    else
    {
        rate = 2048.0 * 5 * f / 60;
        count = periods * 2048 / 12;
    }
    int factor = 1;
    for (int k = 1; k < 100; ++k)
        if (k * rate > 40000)
        {
            factor = k - 1;
            break;
        }
    rate *= factor;
    count *= factor;

    ToolFile file(OpenToolFile(name, text ? "w" : "wb"));
    if (!file)
        return false;
    FILE* out = file.get();
    if (text)
    {
        std::fprintf(out, "%%! 0=Time 0 0 \n");
        for (int p = 0; p < phases; ++p)
            std::fprintf(out, "%%! %d=U 1 %d \n", p + 1, p);
        for (int p = 0; p < phases; ++p)
            std::fprintf(out, "%%! %d=I 2 %d \n", p + 1 + phases, p);
        std::fprintf(out, "Data=[\n");
    }
    else
        PutFloat(out, 10000.0 + 101.0 * phases);

    std::printf("Generating simulation file [1 dot = 10or12 periods] ");
    const int64_t dotEvery = static_cast<int64_t>(factor) * 2048;
    for (int64_t i = 0; i < count; ++i)
    {
        if (i % dotEvery == 0)
        {
            std::printf(".");
            std::fflush(stdout);
        }
        const double t = i / rate;
        if (text)
        {
            std::fprintf(out, "  %12lg, ", t);
            for (int q = WEX_VOLTAGE; q <= WEX_CURRENT; ++q)
                for (int p = 0; p < phases; ++p)
                    std::fprintf(out, "%12lg%c ", WexSample(mode, q, p, t, f),
                                 q == WEX_CURRENT && p == phases - 1 ? ';' : ',');
            std::fprintf(out, "\n");
        }
        else
        {
            PutFloat(out, t);
            for (int q = WEX_VOLTAGE; q <= WEX_CURRENT; ++q)
                for (int p = 0; p < phases; ++p)
                    PutFloat(out, WexSample(mode, q, p, t, f));
        }
    }
    if (text)
        std::fprintf(out, "];");
    std::printf(" done.\n");
    return true;
}

bool WexFilter(CToolsCall& call)
{
    const int kind = static_cast<int>(StringToInt(call.Param(0)));
    const std::string output = call.Param(1);
    bool ok = true;
    if (kind == 0)
        for (int k = 1; k <= 5; ++k)
            ok = RunTestFilter(k, output) && ok;
    else
        ok = RunTestFilter(kind, output);
    return ok;
}

bool FftTest(CToolsCall& /*call*/)
{
    RunFftTest(4096);
    const bool ok = RunFftTest(2048);
    CleanupRfft();
    return ok;
}
