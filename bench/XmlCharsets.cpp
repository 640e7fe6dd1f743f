// Reading a request declared in a multibyte charset whose text is full of bytes that the
// charset does not hold, side by side with the same request declared ISO-8859-1 (where every
// byte is a character).
//
// The request is one Module element whose Setting text is the byte 0xFF over and over: no
// character of Shift_JIS, EUC-JP or GBK, so each of them is read as the ISO-8859-1 character
// of its value. Each iteration reads the whole request into a fresh tree the way a received
// request is read (the charset taken from its declaration) and frees it again. Bytes per second
// are counted on the size of the request; a reading whose time grows faster than the size shows
// as a falling rate over the sizes.

#include "xmlParser.h"

#include <benchmark/benchmark.h>

#include <string>

namespace
{

std::string Request(const char* charset, size_t size)
{
    std::string text = std::string("<?xml version=\"1.0\" encoding=\"") + charset +
                       "\"?>\n<Module Name=\"Charsets\"><Setting>";
    const std::string end = "</Setting></Module>\n";
    text.append(size > text.size() + end.size() ? size - text.size() - end.size() : 0, '\xFF');
    return text + end;
}

void ReadRequest(benchmark::State& state, const char* charset)
{
    const std::string text = Request(charset, static_cast<size_t>(state.range(0)));
    for (auto _ : state)
    {
        XMLResults results;
        XMLNode top = XMLNode::openBufferHelper(text.data(), text.size(), nullptr, &results);
        if (results.error != eXMLErrorNone)
        {
            state.SkipWithError(XMLNode::getError(results.error));
            break;
        }
        benchmark::DoNotOptimize(top.getChildNode("Module").getChildNode("Setting").getText());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}

void BM_ShiftJIS(benchmark::State& state)
{
    ReadRequest(state, "Shift_JIS");
}
void BM_EUCJP(benchmark::State& state)
{
    ReadRequest(state, "EUC-JP");
}
void BM_GBK(benchmark::State& state)
{
    ReadRequest(state, "GBK");
}
void BM_ISO88591(benchmark::State& state)
{
    ReadRequest(state, "ISO-8859-1");
}

} // namespace

BENCHMARK(BM_ShiftJIS)->RangeMultiplier(2)->Range(64 << 10, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EUCJP)->RangeMultiplier(2)->Range(64 << 10, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GBK)->RangeMultiplier(2)->Range(64 << 10, 1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ISO88591)->RangeMultiplier(2)->Range(64 << 10, 1 << 20)->Unit(benchmark::kMillisecond);
