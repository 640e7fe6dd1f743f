// Parse and write throughput of XMLNode on a large module configuration, side by side with
// pugixml on the same text.
//
// The document (a little over 1 MiB) is built once with XMLNode and written formatted, the
// way a driver stores its configuration: a configuration root with signal lists, each signal
// with its user text, signal type and a list of properties, some holding their value in a
// Value child, some in their own Value attribute. A few texts and values carry entities.
//
// Each iteration parses the whole text into a fresh tree and frees it again (both libraries),
// or writes the whole tree into a new text with tab indentation. Bytes per second are counted
// on the size of the document text.
//
// BM_ParseMemory measures what one parse costs in memory, in a child process of its own: the
// growth of its peak resident set during the parse, for the configuration document, for the
// longest request (8 MiB) made of empty elements, and for the most empty elements a document
// may hold.

#include "xmlParser.h"

#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr size_t kTargetSize = 1 << 20;
constexpr int kSignalsPerList = 64;

const char* const kPropertyNames[] = {"Gain",     "Offset",    "Filter",     "SampleRate", "Range",
                                      "Coupling", "Threshold", "Hysteresis", "Averaging",  "Scale"};

// Adds one signal list (64 signals, 10 properties each) to the configuration root.
void AddSignalList(XMLNode& root, int list)
{
    XMLNode signals = root.addChild("Signals");
    signals.addAttribute("Name", ("AnalogIn" + std::to_string(list)).c_str());
    signals.addAttribute("ModuleSlot", std::to_string(1 + list % 8).c_str());
    signals.addChild("NumberOfSignals")
        .addChild("Value")
        .addText(std::to_string(kSignalsPerList).c_str());
    for (int s = 0; s < kSignalsPerList; ++s)
    {
        XMLNode signal = signals.addChild("Signal");
        signal.addAttribute("Number", std::to_string(s).c_str());
        signal.addChild("UserText")
            .addText(("Pump " + std::to_string(list) + "." + std::to_string(s) + " inlet & outlet")
                         .c_str());
        XMLNode type = signal.addChild("SignalType");
        type.addAttribute("Type", "Analog");
        type.addAttribute("Direction", "In");
        type.addAttribute("Unit", "mV");
        XMLNode properties = signal.addChild("Properties");
        int p = 0;
        for (const char* name : kPropertyNames)
        {
            XMLNode property = properties.addChild("Property");
            property.addAttribute("Name", name);
            const std::string value = std::to_string((s * 37 + p * 11) % 1000) + "." +
                                      std::to_string(p) + ";" + std::to_string(-s);
            if (p % 2 == 0)
                property.addChild("Value").addAttribute("Value", value.c_str());
            else
                property.addAttribute("Value", value.c_str());
            ++p;
        }
        // a refused setting, as a reply carries it
        if (s % 16 == 0)
        {
            XMLNode refused = properties.addChild("Property");
            refused.addAttribute("Name", "Limit");
            refused.addAttribute("Value", "<none>");
            refused.addAttribute("Error", "WrongValue");
            refused.addAttribute("ErrorNo", "Value 12 is not in the range [0..10]");
        }
    }
}

// The configuration document as text, formatted, a little over kTargetSize bytes.
const std::string& ConfigurationText()
{
    static const std::string text = []
    {
        XMLNode::setGlobalOptions();
        XMLNode top = XMLNode::createXMLTopNode(nullptr);
        XMLNode declaration = top.addChild("xml", 1);
        declaration.addAttribute("version", "1.0");
        declaration.addAttribute("encoding", "utf-8");
        XMLNode root = top.addChild("Configuration");
        root.addAttribute("Name", "Module 3");
        root.addAttribute("KeepConnection", "false");
        XMLNode global = root.addChild("Properties");
        global.addChild("Property").addAttribute("Name", "Trigger");
        std::string out;
        for (int list = 0; out.size() < kTargetSize; ++list)
        {
            AddSignalList(root, list);
            int size = 0;
            XMLSTR s = top.createXMLString(1, &size);
            out.assign(s, static_cast<size_t>(size));
            XMLNode::freeXMLString(s);
        }
        return out;
    }();
    return text;
}

int CountSignals(const XMLNode& root)
{
    int n = 0;
    int i = 0;
    for (XMLNode list = root.getChildNode("Signals", &i); !list.isEmpty();
         list = root.getChildNode("Signals", &i))
        n += list.nChildNode("Signal");
    return n;
}

int CountSignals(const pugi::xml_node& root)
{
    int n = 0;
    for (pugi::xml_node list : root.children("Signals"))
        for (pugi::xml_node signal : list.children("Signal"))
        {
            (void)signal;
            ++n;
        }
    return n;
}

void SetThroughput(benchmark::State& state, size_t bytes)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.counters["doc_bytes"] = static_cast<double>(bytes);
}

// One parse of the text into a fresh tree, freed again; false (the benchmark skipped with the
// reason) when the text does not parse.
bool ParseWithXMLNode(benchmark::State& state, const std::string& text)
{
    XMLResults r;
    XMLNode top = XMLNode::parseString(text.c_str(), nullptr, &r);
    if (r.error != eXMLErrorNone)
    {
        state.SkipWithError(XMLNode::getError(r.error));
        return false;
    }
    benchmark::DoNotOptimize(top);
    return true;
}

bool ParseWithPugixml(benchmark::State& state, const std::string& text)
{
    pugi::xml_document doc;
    const pugi::xml_parse_result r =
        doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!r)
    {
        state.SkipWithError(r.description());
        return false;
    }
    benchmark::DoNotOptimize(doc);
    return true;
}

void BM_Parse_XMLNode(benchmark::State& state)
{
    const std::string& text = ConfigurationText();
    XMLNode::setGlobalOptions();
    for (auto _ : state)
        if (!ParseWithXMLNode(state, text))
            break;
    SetThroughput(state, text.size());
    XMLNode check = XMLNode::parseString(text.c_str(), "Configuration");
    state.counters["signals"] = CountSignals(check);
}

void BM_Parse_pugixml(benchmark::State& state)
{
    const std::string& text = ConfigurationText();
    for (auto _ : state)
        if (!ParseWithPugixml(state, text))
            break;
    SetThroughput(state, text.size());
    pugi::xml_document check;
    check.load_buffer(text.data(), text.size());
    state.counters["signals"] = CountSignals(check.child("Configuration"));
}

// Both parsers in turn within each iteration, so that both see the same state of the machine
// (on a shared host its speed changes from second to second): the ratio of the summed times,
// pugixml's over XMLNode's, is the parse throughput of XMLNode relative to pugixml's.
void BM_Parse_SideBySide(benchmark::State& state)
{
    const std::string& text = ConfigurationText();
    XMLNode::setGlobalOptions();
    using Clock = std::chrono::steady_clock;
    Clock::duration ours{};
    Clock::duration theirs{};
    for (auto _ : state)
    {
        const Clock::time_point start = Clock::now();
        if (!ParseWithXMLNode(state, text))
            break;
        const Clock::time_point between = Clock::now();
        if (!ParseWithPugixml(state, text))
            break;
        const Clock::time_point end = Clock::now();
        ours += between - start;
        theirs += end - between;
    }
    const double n = static_cast<double>(state.iterations());
    if (n > 0 && ours.count() > 0)
    {
        state.counters["XMLNode_ms"] = std::chrono::duration<double, std::milli>(ours).count() / n;
        state.counters["pugixml_ms"] =
            std::chrono::duration<double, std::milli>(theirs).count() / n;
        state.counters["ratio"] = static_cast<double>(theirs.count()) / ours.count();
    }
}

void BM_Write_XMLNode(benchmark::State& state)
{
    const std::string& text = ConfigurationText();
    XMLNode::setGlobalOptions();
    XMLNode top = XMLNode::parseString(text.c_str());
    int size = 0;
    for (auto _ : state)
    {
        XMLSTR s = top.createXMLString(1, &size);
        benchmark::DoNotOptimize(s);
        XMLNode::freeXMLString(s);
    }
    if (static_cast<size_t>(size) != text.size())
        state.SkipWithError("written text differs in size from the parsed one");
    SetThroughput(state, text.size());
}

// Collects pugixml's output in one string, as createXMLString does.
class StringWriter : public pugi::xml_writer
{
public:
    void write(const void* data, size_t size) override
    {
        m_sText.append(static_cast<const char*>(data), size);
    }
    std::string m_sText;
};

void BM_Write_pugixml(benchmark::State& state)
{
    const std::string& text = ConfigurationText();
    pugi::xml_document doc;
    doc.load_buffer(text.data(), text.size());
    size_t size = 0;
    for (auto _ : state)
    {
        StringWriter writer;
        doc.save(writer, "\t", pugi::format_indent, pugi::encoding_utf8);
        size = writer.m_sText.size();
        benchmark::DoNotOptimize(writer.m_sText.data());
    }
    state.counters["out_bytes"] = static_cast<double>(size);
    SetThroughput(state, text.size());
}

// VmHWM of this process in KiB (its peak resident set); -1 when it cannot be read.
long PeakResidentKiB()
{
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "VmHWM:", 6) == 0)
            kib = strtol(line + 6, nullptr, 10);
    fclose(f);
    return kib;
}

// One parse of the text in a child process: the growth of the child's peak resident set
// during it (KiB) and the parse's code; false when the child could not report.
bool ParsePeakInChild(const std::string& text, long* kib, int* code)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const pid_t pid = fork();
    if (pid == 0)
    {
        close(fds[0]);
        // Free heap memory of the parent goes back, so that what the parse takes is counted;
        // the peak starts again from what the child has now (the text included).
        malloc_trim(0);
        FILE* clear = fopen("/proc/self/clear_refs", "w");
        if (clear != nullptr)
        {
            fputs("5", clear);
            fclose(clear);
        }
        const long before = PeakResidentKiB();
        XMLResults r;
        {
            XMLNode top = XMLNode::parseString(text.c_str(), nullptr, &r);
            benchmark::DoNotOptimize(top);
        }
        const long report[2] = {PeakResidentKiB() - before, static_cast<long>(r.error)};
        const bool sent = write(fds[1], report, sizeof report) == sizeof report;
        _exit(sent ? 0 : 1);
    }
    close(fds[1]);
    long report[2] = {-1, -1};
    const bool got = pid > 0 && read(fds[0], report, sizeof report) == sizeof report;
    close(fds[0]);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    *kib = report[0];
    *code = static_cast<int>(report[1]);
    return got;
}

// Elements, attributes, texts and clear sections of a tree (what a document's limit counts).
size_t CountItems(const XMLNode& node)
{
    size_t n = 1 + static_cast<size_t>(node.nAttribute() + node.nText() + node.nClear());
    for (int i = 0; i < node.nChildNode(); ++i)
        n += CountItems(node.getChildNode(i));
    return n;
}

// A request of `count` empty elements in a Ping.
std::string EmptyElements(size_t count)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ping>";
    text.reserve(text.size() + 4 * count + 7);
    for (size_t i = 0; i < count; ++i)
        text += "<a/>";
    return text + "</Ping>";
}

// Arg 0: the configuration document; 1: 8 MiB of empty elements; 2: the most empty elements
// a document may hold.
void BM_ParseMemory(benchmark::State& state)
{
    std::string text;
    size_t elements = 0;
    switch (state.range(0))
    {
    case 0:
        text = ConfigurationText();
        state.counters["items"] =
            static_cast<double>(CountItems(XMLNode::parseString(text.c_str())) - 1);
        break;
    case 1:
        elements = ((8u << 20) - 64) / 4;
        text = EmptyElements(elements);
        break;
    default:
        elements = static_cast<size_t>(XML_MAX_ITEMS) - 4; // with the declaration, its
        text = EmptyElements(elements);                    // attribute and Ping
        break;
    }
    long kib = -1;
    int code = -1;
    for (auto _ : state)
        if (!ParsePeakInChild(text, &kib, &code) || kib < 0)
        {
            state.SkipWithError("the child did not report its peak");
            return;
        }
    state.counters["doc_bytes"] = static_cast<double>(text.size());
    state.counters["error_code"] = code;
    state.counters["peak_MiB"] = static_cast<double>(kib) / 1024.0;
    state.counters["peak_per_doc_byte"] =
        static_cast<double>(kib) * 1024.0 / static_cast<double>(text.size());
    if (state.range(0) != 0)
        state.counters["peak_bytes_per_element"] =
            static_cast<double>(kib) * 1024.0 / static_cast<double>(elements);
}

} // namespace

BENCHMARK(BM_ParseMemory)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse_XMLNode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse_pugixml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse_SideBySide)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write_XMLNode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write_pugixml)->Unit(benchmark::kMillisecond);
