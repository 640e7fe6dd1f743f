// Fuzz target: the byte stream a client sends to the sniffer's diagnostic port 999, cut into
// frames as the server does and handed to the command handler, on a simulated bus-monitor
// device whose controller answers.
//
// The first input byte sets how many devices the controller reports; the rest is the stream.
// Every reply stays inside the reply room, and its length fits the frame's 16-bit field.
#include "FuzzSupport.h"
#include "Cdi.h"
#include "KovePlatform.h"
#include "PnDiag.h"
#include "PnDrv.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using kovefuzz::Fail;

namespace
{
std::string g_sDevice;

void RemoveDevice()
{
    std::error_code error;
    std::filesystem::remove_all(g_sDevice, error);
}

void SetDevices(unsigned count)
{
    const std::string path = g_sDevice + "/dev/pndrv.state";
    std::string text = "present=on\nanswer=0\ndevices=" + std::to_string(count) + "\n";
    FILE* f = fopen(path.c_str(), "wb");
    if (f != nullptr)
    {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/kove-fuzz-pn-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        Fail("no device directory");
    g_sDevice = dir;
    FILE* f = fopen((g_sDevice + "/device.conf").c_str(), "wb");
    if (f == nullptr)
        Fail("no device description");
    fputs("family=PNA\n", f);
    fclose(f);
    setenv("KOVE_SIM", dir, 1);
    PlatReloadSimulation();
    atexit(RemoveDevice);
    if (PNDrvOpen() != 0 || CdiOpen() != 0)
        Fail("the simulated devices do not open");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    SetDevices(data[0]);
    // Truncate the controller's request log now and then.
    FILE* log = fopen((g_sDevice + "/dev/pndrv.log").c_str(), "wb");
    if (log != nullptr)
        fclose(log);

    PnDiagContext context;
    context.activeCounters = [](uint32_t counters[4])
    {
        for (int i = 0; i < 4; ++i)
            counters[i] = 4096;
    };
    context.monitorPortStatus = [] { return static_cast<uint8_t>(1); };
    static std::vector<uint8_t> buffer(PNDIAG_MAX_FRAME);
    const uint8_t* stream = data + 1;
    size_t left = size - 1;
    while (left > 0)
    {
        const size_t take = std::min<size_t>(left, PNDIAG_MAX_FRAME);
        PnDiagHead head;
        const PnDiagFrameState state = PnDiagCheckFrame(stream, take, &head);
        if (state != PNDIAG_COMPLETE)
            break;
        if (head.usLength < PNDIAG_HEAD_SIZE || head.usLength > take)
            Fail("a complete frame outside the bytes received");
        std::memcpy(buffer.data(), stream, head.usLength);
        uint32_t length = 0;
        const uint32_t room = 0xFFFF - PNDIAG_HEAD_SIZE;
        PnDiagHandleCommand(context, head.usCommand, buffer.data() + PNDIAG_HEAD_SIZE,
                            head.usLength - PNDIAG_HEAD_SIZE, room, &length);
        if (length > room)
            Fail("a reply beyond its room");
        stream += head.usLength;
        left -= head.usLength;
    }
    return 0;
}
