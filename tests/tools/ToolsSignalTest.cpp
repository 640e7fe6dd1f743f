// qtx's off-line signal tools: filter design and export, the biquad calculator, the grid
// simulation files, the fixed test filter and the FFT timing file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>

#include "KoveTestSupport.h"
#include "QtxRun.h"
#include "QTXDigitalFilter.h"
#include "QTXXml.h"

using namespace kovetest;

namespace
{
// The words of a text separated by blanks.
std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// qtx run in the directory dir (the tools write files named without a path there); input:
// words given to it on standard input, one a line.
CRun QtxIn(const std::string& dir, const std::string& args, const std::string& input = "")
{
    std::string lines;
    for (const std::string& word : Words(input))
        lines += word + "\n";
    return ::QtxIn(Words(args), {}, lines, dir);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

class QtxSignals : public testing::Test
{
protected:
    std::string Path(const std::string& name) const { return tDir.Path() + "/" + name; }
    CRun Qtx(const std::string& args, const std::string& input = "") const
    {
        return QtxIn(tDir.Path(), args, input);
    }
    CTempDir tDir;
};
} // namespace

TEST_F(QtxSignals, DesignedFilterIsExportedAsTheLibraryDesignsIt)
{
    ASSERT_EQ(::mkdir(Path("out").c_str(), 0755), 0);
    CRun run = Qtx("GenLpFilter out/lp 1 6 10000 5000 -0.5 -60");
    ASSERT_EQ(run.iStatus, 0) << run.sOut;
    for (const char* file : {"out/lp.xml", "out/lp_ana.m", "out/lp_dig.m"})
        EXPECT_TRUE(Exists(Path(file))) << file;

    // The exported coefficients are those of the library's own design.
    CQTXDigitalFilter mine(64, DF_HwFpga, QTX_FilterBiquads);
    ASSERT_TRUE(mine.GenerateLowpassFilter(1, 6, 10000, 5000, -0.5, -60, true));
    CQTXXml xml;
    ASSERT_TRUE(xml.LoadFile(Path("out/lp.xml").c_str(), "Module"));
    EXPECT_EQ(xml.GetRootTagNameAttribute(), "FilterDesign");
    ASSERT_EQ(xml.SelectSignalListByName("", "AnalogIn", false), 1);
    xml.SelectSignalByNumber(0, false);
    CQTXDigitalFilter read(64, DF_HwSoftDouble, QTX_FilterBiquads);
    ASSERT_TRUE(read.XMLImport(&xml, false));
    EXPECT_EQ(read.GetNumberOfBiquads(), 3);
    for (double f : {0.0, 1000.0, 2500.0, 4000.0})
        EXPECT_NEAR(read.GetFrequencyResponseGainIndB(f, 10000),
                    mine.GetFrequencyResponseGainIndB(f, 10000), 1e-9)
            << f;
    // The digital script gives the gain as exactly as its coefficients.
    const std::string script = ReadFile(Path("out/lp_dig.m"));
    const size_t gain = script.find("\nFilterGain = ");
    ASSERT_NE(gain, std::string::npos) << script;
    EXPECT_EQ(std::strtod(script.c_str() + gain + 14, nullptr), read.GetGain())
        << script.substr(gain, 40);

    // The summary names the files without their directory.
    std::string summary = ReadFile(Path("out/lp_Summary.txt"));
    EXPECT_NE(summary.find("Digital low pass filter, type Chebychev, order 6\n"
                           "Sampling frequency: 10.000000 kHz, Corner frequency: 5.000000 kHz\n"
                           "Gain: pass band = -0.500000 dB, stop band = -60.000000 dB\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("  - lp.xml: Filter configuration file"), std::string::npos);
    EXPECT_NE(summary.find("command line \"source lp_dig.m\""), std::string::npos);
    EXPECT_EQ(summary.find("out/"), std::string::npos);
}

TEST_F(QtxSignals, RefusedOrFailedDesignWritesNoFile)
{
    const struct
    {
        const char* args;
        const char* message;
    } cases[] = {
        {"f 0 3 10000 1000", "ERROR: filter order must be between 2 and 64 and a multible of 2"},
        {"f 0 66 10000 1000", "ERROR: filter order must be between 2 and 64 and a multible of 2"},
        {"f 4 4 10000 1000", "ERROR: filter type must be between 0 and 3"},
        {"f 0 4 10000 5001", "ERROR: The corner frequency must be less than half"},
        // Passes the checks, but no filter can be designed for it.
        {"f 0 4 10000 0", "EWRROR while calculating filter"},
    };
    for (const auto& c : cases)
    {
        CRun run = Qtx(std::string("GenLpFilter ") + c.args);
        EXPECT_EQ(run.iStatus, 4) << c.args;
        EXPECT_TRUE(run.Has(c.message)) << c.args << "\n" << run.sOut;
        for (const char* file : {"f.xml", "f_Summary.txt", "f_ana.m", "f_dig.m"})
            EXPECT_FALSE(Exists(Path(file))) << c.args << " " << file;
    }
    EXPECT_EQ(Qtx("GenLpFilter f 0 4 10000 1000 -0.1").iStatus, 3);
}

TEST_F(QtxSignals, BiquadFromZerosAndPoles)
{
    // A real zero pair at -1 and a complex pole pair.
    CRun run = Qtx("CalcBiQuad", "-1 0 -1 0.5 0.25");
    EXPECT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(run.Has("    zero0 = -1.000000 + j 0.000000\n"
                        "    zero1 = -1.000000 + j 0.000000\n"
                        "    pole0 = 0.500000 + j 0.250000\n"
                        "    pole1 = 0.500000 - j 0.250000\n"))
        << run.sOut;
    EXPECT_TRUE(run.Has("BiQuadX=\"2.000000; 1.000000; 1.000000; -0.312500\""));
}

TEST_F(QtxSignals, GridSimulationFiles)
{
    // 50 Hz: 10240 samples per second, three times oversampled; 10 periods are 6144 samples.
    CRun bin = Qtx("WexSim grid.BIN 0 3 50 10");
    ASSERT_EQ(bin.iStatus, 0) << bin.sOut;
    EXPECT_TRUE(bin.Has("Generating simulation file [1 dot = 10or12 periods] . done."));
    std::string data = ReadFile(Path("grid.BIN"));
    ASSERT_EQ(data.size(), 4u * (1 + 6144 * 7));
    auto at = [&data](size_t i)
    {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(data.data()) + 4 * i;
        uint32_t bits = b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24;
        float v;
        std::memcpy(&v, &bits, 4);
        return double(v);
    };
    EXPECT_EQ(at(0), 10303.0);
    // Sample 100: t = 100 / 30720 s; phase 1 of the voltage leads by 120 degrees, current of
    // phase 2 lags by 120 degrees.
    const double t = 100.0 / 30720, w = 2 * M_PI * 50 * t;
    const size_t s = 1 + 100 * 7;
    EXPECT_NEAR(at(s), t, 1e-7);
    EXPECT_NEAR(at(s + 1), 325.2691193458119 * std::sin(w), 1e-3);
    EXPECT_NEAR(at(s + 2), 325.2691193458119 * std::sin(w + 2 * M_PI / 3), 1e-3);
    EXPECT_NEAR(at(s + 6), 22.627417 * std::sin(w - 2 * M_PI / 3), 1e-4);

    // 60 Hz and a text file: 2048 / 12 samples per period group, times 3; the neutral is 0.
    CRun text = Qtx("WexSim grid.m 1 4 60 1");
    ASSERT_EQ(text.iStatus, 0) << text.sOut;
    std::string m = ReadFile(Path("grid.m"));
    EXPECT_EQ(m.rfind("%! 0=Time 0 0 \n%! 1=U 1 0 \n%! 2=U 1 1 \n", 0), 0u) << m.substr(0, 80);
    EXPECT_NE(m.find("%! 8=I 2 3 \nData=[\n"), std::string::npos);
    size_t lines = 0;
    for (size_t p = m.find("Data=[\n") + 7; (p = m.find('\n', p)) != std::string::npos; ++p)
        ++lines;
    EXPECT_EQ(lines, 170u * 3);
    // Mode 1 is a square wave of 30000 V; every line ends with the neutral's current and ';'.
    EXPECT_NE(m.find("Data=[\n             0,        30000,        30000,       -30000,            "
                     "0,         1000,"),
              std::string::npos)
        << m.substr(m.find("Data"), 200);
    EXPECT_NE(m.find("           0; \n"), std::string::npos);
    EXPECT_EQ(m.substr(m.size() - 2), "];");

    // No signal columns with 0 phases.
    ASSERT_EQ(Qtx("WexSim none.bin 0 0 50 1").iStatus, 0);
    EXPECT_EQ(ReadFile(Path("none.bin")).size(), 4u * (1 + 204 * 3));

    const struct
    {
        const char* args;
        const char* message;
    } refused[] = {
        {"w.m 5 3 50 1", "ERROR: Mode must be between 0 and 4"},
        {"w.m 0 2 50 1", "ERROR: GridPhases must be 1, 3 or 4!"},
        {"w.m 0 5 50 1", "ERROR: GridPhases must be 1, 3 or 4!"},
        {"w.m 0 -1 50 1", "ERROR: GridPhases must be 1, 3 or 4!"},
        {"w.m 0 3 76 1", "ERROR: Grid frequency must be between 10 and 75 [Hz]"},
        {"w.m 0 3 50 0", "ERROR: Periods must be 1 or higher"},
        {"w.txt 0 3 50 1", "ERROR: file name must end with .m or .bin"},
    };
    for (const auto& c : refused)
    {
        CRun run = Qtx(std::string("WexSim ") + c.args);
        EXPECT_EQ(run.iStatus, 4) << c.args;
        EXPECT_TRUE(run.Has(c.message)) << c.args << "\n" << run.sOut;
    }
    EXPECT_FALSE(Exists(Path("w.m")));
}

TEST_F(QtxSignals, TestFilterPassesTheGridAndWritesOneFilePerKind)
{
    CRun run = Qtx("WexFilter 3 out##.m");
    ASSERT_EQ(run.iStatus, 0) << run.sOut;
    std::string m = ReadFile(Path("out03.m"));
    EXPECT_EQ(m.rfind("bOK = 1\nInput = [ 325.269;\n\t325.269;\n\t", 0), 0u) << m.substr(0, 40);
    EXPECT_NE(m.find("f = [ 0;\n\t1;\n\t"), std::string::npos);
    EXPECT_NE(m.find("\t10239 ];\n"), std::string::npos);

    // Kind 0 runs all five kinds.
    ASSERT_EQ(Qtx("WexFilter 0 all##.m").iStatus, 0);
    for (const char* file : {"all01.m", "all02.m", "all03.m", "all04.m", "all05.m"})
        EXPECT_TRUE(Exists(Path(file))) << file;
}

TEST_F(QtxSignals, FftTestWritesTheSpectrumOfItsSquareWave)
{
    CRun run = Qtx("FftTest");
    ASSERT_EQ(run.iStatus, 0) << run.sOut;
    EXPECT_TRUE(Exists(Path("FftTest4096.m")));
    std::string m = ReadFile(Path("FftTest2048.m"));
    size_t values = m.find("AbsoluteValues = [ ");
    ASSERT_NE(values, std::string::npos);
    // The square wave of period 16 has its fundamental in bin 2048 / 16 = 128.
    std::vector<double> spectrum;
    const char* p = m.c_str() + values + 19;
    char* end;
    for (double v = std::strtod(p, &end); end != p; v = std::strtod(p, &end))
    {
        spectrum.push_back(v);
        p = end + 1; // the comma
    }
    ASSERT_EQ(spectrum.size(), 1024u);
    EXPECT_NEAR(spectrum[128], 2 * 4 / M_PI / 2, 0.05) << spectrum[128];
    EXPECT_NEAR(spectrum[100], 0.0, 1e-6);
    EXPECT_NE(m.find("];\nplot(AbsoluteValues);\n"), std::string::npos);
}
