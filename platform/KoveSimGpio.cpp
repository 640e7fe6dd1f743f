// The simulated GPIO kernel driver behind "/dev/gpio".
//
// ioctl(fd, 0, line) reads one input line: 0 while the line is active (the
// contact of a switch bit or the button is closed, pulling it low), 1 while it
// is not. The device wires:
//   lines 80-83  the unit-number switch (hex switch 2), bit 0 on line 80
//   lines 84-87  hex switch 1, bit 0 on line 84; the KV8 family wires the
//                four lines in another order, which its drivers translate back
//   line 88      the factory-default button
// Every other line reads inactive. A line held by hand (kovesim switch) reads
// as it is held. Other requests fail with EINVAL.
#include "KovePlatNodes.h"
#include "KoveSimState.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace
{
struct SGpioOpen
{
    std::shared_ptr<CSimState> pState;
};

// Lines 84-87 of the KV8 family: the switch value v shows as the line value
// kKv8Lines[v] (the drivers' table read backwards).
const uint8_t kKv8Lines[16] = {0, 2, 8, 10, 1, 3, 9, 11, 4, 6, 12, 14, 5, 7, 13, 15};

// Bits of lines 80-88 (bit 0 line 80) that are active.
uint32_t ActiveLines(const SSimRegisters& r)
{
    uint32_t switch1 = r.aHex[0] & 0xFu;
    if (SimFamilyCode(r.uIdWord) == 8)
        switch1 = kKv8Lines[switch1];
    uint32_t lines = (r.aHex[1] & 0xFu) | switch1 << 4 | (r.uFactoryButton ? 1u << 8 : 0u);
    return (lines & ~r.uGpioHeldMask) | (r.uGpioHeldLevel & r.uGpioHeldMask);
}

int GpioOpen(const std::string& simDir, const char*, int, void** priv)
{
    std::shared_ptr<CSimState> state = CSimState::Open(simDir);
    if (!state)
    {
        errno = errno ? errno : EIO;
        return -1;
    }
    const int fd = open(CSimState::FilePath(simDir).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    *priv = new SGpioOpen{state};
    return fd;
}

void GpioRelease(void* priv)
{
    delete static_cast<SGpioOpen*>(priv);
}

int GpioIoctl(int, void* priv, unsigned long request, void* arg)
{
    if (request != 0)
    {
        errno = EINVAL;
        return -1;
    }
    const uintptr_t line = reinterpret_cast<uintptr_t>(arg);
    SSimRegisters regs;
    if (static_cast<SGpioOpen*>(priv)->pState->Registers(&regs) != 0)
        return -1;
    if (line < 80 || line > 88)
        return 1;
    return (ActiveLines(regs) >> (line - 80)) & 1u ? 0 : 1;
}
} // namespace

const SPlatNodeOps g_tSimGpioOps = {GpioOpen,        PlatNodeCloseFd, GpioRelease,
                                    GpioIoctl,       PlatNodeNoRead,  PlatNodeNoWrite,
                                    PlatNodeNoLseek, PlatNodeNoMmap};
