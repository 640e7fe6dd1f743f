// What handing freed heap memory back between requests costs: each iteration does the heap work
// of one request (a configuration document of some 40 KB parsed into a tree and freed, with a
// reply buffer beside it): alone; followed by heap_minimize() as the serving loop calls it before
// each wait (it trims only once a fair amount lies free); and followed by a trim every time.
// The difference to the request alone is the trim plus the page faults of the next request,
// which finds the pages given back gone.
#include "QTXGlobal.h"
#include "xmlParser.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <string>

namespace
{
std::string Document()
{
    std::string text = "<?xml version=\"1.0\"?>\n<Module Name=\"AI\">\n<Signals>\n";
    for (int i = 0; i < 400; ++i)
        text += "  <Signal Name=\"Channel" + std::to_string(i) +
                "\" Unit=\"V\" Range=\"10\" Filter=\"Bessel\" Rate=\"1000\"/>\n";
    return text + "</Signals>\n</Module>\n";
}

void OneRequest(const std::string& document)
{
    auto reply = std::make_unique<char[]>(document.size());
    XMLNode root = XMLNode::parseString(document.c_str());
    std::memcpy(reply.get(), document.data(), document.size());
    benchmark::DoNotOptimize(reply.get());
    benchmark::DoNotOptimize(root.nChildNode());
}

void BM_Request(benchmark::State& state)
{
    const std::string document = Document();
    for (auto _ : state)
        OneRequest(document);
}

void BM_RequestThenHeapMinimize(benchmark::State& state)
{
    const std::string document = Document();
    for (auto _ : state)
    {
        OneRequest(document);
        heap_minimize();
    }
}
#ifndef KOVE_FOREIGN_ALLOCATOR
void BM_RequestThenTrimAlways(benchmark::State& state)
{
    const std::string document = Document();
    for (auto _ : state)
    {
        OneRequest(document);
        malloc_trim(0);
        void* volatile probe = malloc(4);
        free(probe);
    }
}
BENCHMARK(BM_RequestThenTrimAlways);
#endif
} // namespace

BENCHMARK(BM_Request);
BENCHMARK(BM_RequestThenHeapMinimize);
