// What the reply to a hostile request costs: a Diagnostic of some 2 MB, 998 elements nested one
// in the other and 500,000 empty elements in the innermost, loaded and stored as its reply the
// way the request server does it (the reply file beside the request; a reply that would pass
// the written-document bound is cut to its root and the error). Counters: the request's and
// the reply's size, the process's peak resident memory during the iterations (its growth over
// the start), and how many bytes of files are left in the directory besides the reply.
//
// The formatted layout indents each element by one tab per depth up to a bound; without that
// bound this request made a reply of some 500 MB.
#include "QTXXml.h"
#include "xmlParser.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string NestedDiagnostic()
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Diagnostic>";
    constexpr int kNested = 998;
    for (int i = 0; i < kNested; ++i)
        text += "<n>";
    for (int i = 0; i < 500000; ++i)
        text += "<e/>";
    for (int i = 0; i < kNested; ++i)
        text += "</n>";
    return text + "</Diagnostic>\n";
}

// A field of /proc/self/status in kB ("VmHWM:", "VmRSS:").
long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, strlen(field), field) == 0)
            return std::strtol(line.c_str() + strlen(field), nullptr, 10);
    return -1;
}

// Lets the kernel count the peak resident memory anew from now on.
void ResetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

long long FileSize(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

void BM_NestedDiagnosticReply(benchmark::State& state)
{
    char pattern[] = "/tmp/kovereply.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
    {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string directory = pattern;
    const std::string reply = directory + "/Tmp_Slot62103_No0_out.xml";
    const std::string request = NestedDiagnostic();
    constexpr unsigned short kTagDiagnostic = 513;

    const long startKb = StatusKb("VmRSS:");
    ResetPeak();
    long long replyBytes = 0;
    bool cut = false;
    for (auto _ : state)
    {
        CQTXXml document;
        if (!document.LoadBuffer(request.data(), request.size(), kTagDiagnostic))
        {
            state.SkipWithError(("request refused: " + document.GetParseError()).c_str());
            break;
        }
        if (!document.StoreFile(reply.c_str(), true))
        {
            cut = document.StoreTooLong();
            document.CutToError(CQTXError("ReplyTooLong", "The reply would be too long", __FILE__,
                                          __LINE__, Error, "GeneralError"));
            if (!document.StoreFile(reply.c_str(), true))
            {
                state.SkipWithError("the cut reply was not stored");
                break;
            }
        }
        replyBytes = FileSize(reply);
    }
    const long peakKb = StatusKb("VmHWM:");

    long long others = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec))
        if (entry.path() != reply)
            others += FileSize(entry.path().string());
    std::filesystem::remove_all(directory, ec);

    state.counters["request_MB"] = static_cast<double>(request.size()) / 1e6;
    state.counters["reply_MB"] = static_cast<double>(replyBytes) / 1e6;
    state.counters["cut"] = cut ? 1 : 0;
    state.counters["peak_MB"] = static_cast<double>(peakKb) / 1e3;
    state.counters["peak_growth_MB"] = static_cast<double>(peakKb - startKb) / 1e3;
    state.counters["other_files_bytes"] = static_cast<double>(others);
}
} // namespace

BENCHMARK(BM_NestedDiagnosticReply)->Unit(benchmark::kMillisecond)->Iterations(3);
