// The sniffer driver's work on the largest configuration it takes: 64 devices, 15 controllers,
// 128 raw relations, 4095 input remap entries (slot data of 63 slots on both ports, 2016
// sniffer signals of 63 devices, memory values), 512 outputs. A device's sniffer signals come
// from two slots, each seen through its own relation (none, controller 1): 126 relation slots of
// the 128 the controller takes. Parsing builds the sniffer image
// (with its completion: sort, I/O records, slot scripts, device and slot-index records), the
// copy-machine tables of both ports and the remap areas; the image alone is measured beside it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "PnConfigBuilder.h"
#include "PnSnifferConfig.h"
#include "PnSnifferImage.h"
#include "QTXBin.h"

using namespace kovetest;

namespace
{
CPnConfig Largest()
{
    CPnConfig c;
    for (int d = 0; d < 64; ++d)
        c.devices.push_back(CPnConfig::DeviceByName("device-" + std::to_string(d)));
    for (int i = 0; i < 15; ++i)
        c.controllers.push_back(CPnConfig::Controller());
    c.rawRelations.assign(128, std::vector<uint8_t>(16, 0));
    for (uint8_t port = 0; port < 2; ++port)
        for (uint32_t slot = 1; slot <= 63; ++slot)
            for (uint16_t v = 0; v < 8; ++v)
                c.analogIn.push_back({kPnType16, port, 0, slot, static_cast<uint16_t>(16 * v)});
    for (uint8_t d = 0; d < 63; ++d)
        for (uint16_t v = 0; v < 32; ++v)
        {
            SPnSignal s{kPnType8, 2, 0, static_cast<uint32_t>(1 + v / 16),
                        static_cast<uint16_t>(8 * (v % 16))};
            s.byte8 = d;
            s.byte9 = static_cast<uint8_t>(v / 16);
            c.analogIn.push_back(s);
        }
    while (c.analogIn.size() < 4095)
        c.analogIn.push_back(
            {kPnType32, 2, 1, static_cast<uint32_t>(0x80001000u + 32u * c.analogIn.size()), 0});
    for (uint16_t o = 0; o < 512; ++o)
        c.analogOut.push_back({kPnType8, static_cast<uint8_t>(o % 2), 0,
                               static_cast<uint32_t>(1 + o % 63),
                               static_cast<uint16_t>(8 * (o / 63))});
    return c;
}

// The document in a file, loaded and checked as the driver has it.
class CLoaded
{
public:
    CLoaded()
    {
        char path[] = "/tmp/kove-bench-pn-XXXXXX";
        const int fd = mkstemp(path);
        const std::string bytes = Largest().Build();
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            abort();
        close(fd);
        m_sPath = path;
    }
    ~CLoaded() { unlink(m_sPath.c_str()); }
    bool Load(CQTXBin& bin) const
    {
        return bin.LoadFile(m_sPath.c_str(), QTXBIN_TAG_CONFIGURATION) && bin.Cfg_1st_Check(0);
    }

private:
    std::string m_sPath;
};

void BM_ParseLargestConfiguration(benchmark::State& state)
{
    const CLoaded document;
    CPnSnifferConfig config;
    if (!config.Allocate())
    {
        state.SkipWithError("no memory");
        return;
    }
    CQTXBin bin;
    for (auto _ : state)
    {
        state.PauseTiming();
        if (!document.Load(bin))
        {
            state.SkipWithError("configuration does not load");
            return;
        }
        state.ResumeTiming();
        int subslots = 0;
        const int result = config.Parse(bin, true, nullptr, &subslots);
        if (result != 0)
        {
            state.SkipWithError(("parse failed: " + std::to_string(result)).c_str());
            return;
        }
        config.Accept();
    }
    state.counters["input_words"] = config.ActiveArea(0).ulCount;
    state.counters["image_signals"] = config.ActiveImage().Get16(16);
    state.counters["io_records"] = config.ActiveImage().Get16(18);
}
BENCHMARK(BM_ParseLargestConfiguration)->Unit(benchmark::kMicrosecond);

void BM_CompleteLargestImage(benchmark::State& state)
{
    const CPnConfig c = Largest();
    std::vector<uint8_t> devices;
    for (const auto& d : c.devices)
        devices.insert(devices.end(), d.begin(), d.end());
    std::vector<uint8_t> controllers;
    for (const auto& d : c.controllers)
        controllers.insert(controllers.end(), d.begin(), d.end());
    PnSnifferSignalRemap image;
    for (auto _ : state)
    {
        image.Reset();
        image.AddDevices(devices.data(), 64, false);
        image.AddControllers(controllers.data(), 15);
        for (uint8_t d = 0; d < 63; ++d)
            for (uint16_t v = 0; v < 32; ++v)
            {
                uint8_t e[12] = {0,
                                 0,
                                 0x80 | kPnType8,
                                 0x02,
                                 static_cast<uint8_t>(1 + v / 16),
                                 0,
                                 static_cast<uint8_t>(8 * (v % 16)),
                                 0,
                                 d,
                                 static_cast<uint8_t>(v / 16),
                                 0,
                                 0};
                image.AddSnifferSignal(e, 32u * d + v, 8);
            }
        if (image.Complete() != 0)
        {
            state.SkipWithError("image not complete");
            return;
        }
    }
    state.counters["signals"] = image.Get16(16);
}
BENCHMARK(BM_CompleteLargestImage)->Unit(benchmark::kMicrosecond);
} // namespace
