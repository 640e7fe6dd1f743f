#include "KoveSimFpga.h"

#include "KovePlatNodes.h"
#include "KoveSimState.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace
{
struct SFpgaOpen
{
    std::shared_ptr<CSimState> pState;
    bool bCdi = false;
    // Counters of the wake-up and cancel requests; a wait ends when its counter moves.
    std::atomic<uint32_t> uInterruptWake{0};
    std::atomic<uint32_t> uCfgTransCancel{0};
    std::atomic<uint32_t> uDpRamCancel{0};
};

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int Fail(int error)
{
    errno = error;
    return -1;
}

// A request that waits for the hardware: nothing comes in the simulation, so
// it ends after the limit, or when the matching cancel request comes.
int WaitBounded(const std::atomic<uint32_t>* cancel)
{
    uint32_t start = cancel ? cancel->load() : 0;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSimFpgaWaitLimitMs);
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (cancel && cancel->load() != start)
            return Fail(ECANCELED);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Fail(ETIMEDOUT);
}

uint64_t MonotonicMicroseconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int RawAccess(CSimState& state, uint8_t* rec, bool write)
{
    uint32_t address = Get32(rec + 4);
    uint32_t count = Get32(rec + 8);
    if (count > kSimFpgaMaxRawBytes)
        return Fail(EINVAL);
    int64_t status =
        write ? state.BusWrite(address, rec + 12, count) : state.BusRead(address, rec + 12, count);
    if (status < 0)
        return -1;
    Put32(rec, static_cast<uint32_t>(status));
    return 0;
}

int MultiAccess(CSimState& state, uint8_t* rec)
{
    uint32_t count = Get32(rec + 8);
    if (count > kSimFpgaMaxRawBytes || count % 8 != 0)
        return Fail(EINVAL);
    int64_t status = state.BusMulti(rec + 12, count);
    if (status < 0)
        return -1;
    Put32(rec, static_cast<uint32_t>(status));
    return 0;
}

int HexRecord(CSimState& state, uint8_t* rec)
{
    SSimRegisters r;
    if (state.Registers(&r) != 0)
        return -1;
    memset(rec, 0, 16);
    memcpy(rec, r.aHex, sizeof r.aHex);
    return 0;
}

int WordRegister(CSimState& state, uint8_t* rec, uint32_t SSimRegisters::*field)
{
    SSimRegisters r;
    if (state.Registers(&r) != 0)
        return -1;
    Put32(rec, r.*field);
    return 0;
}

int FpgaIoctl(int, void* priv, unsigned long request, void* arg)
{
    auto* o = static_cast<SFpgaOpen*>(priv);
    CSimState& state = *o->pState;
    if ((request & ~0xFFul) != kSimFpgaRequestBase)
        return Fail(EINVAL);
    unsigned nn = static_cast<unsigned>(request & 0xFF);
    auto* rec = static_cast<uint8_t*>(arg);

    // Requests without a record.
    switch (nn)
    {
    case 0x4F:
        ++o->uInterruptWake;
        return 0;
    case 0x55:
        ++o->uCfgTransCancel;
        return 0;
    case 0x5E:
    case 0x5F:
        return state.SetLedTest(nn == 0x5E);
    case 0x4A:
    case 0x4E:
    case 0x53:
    case 0x57:
    case 0x01:
    case 0x03:
    case 0x48:
    case 0x49:
    case 0x4B:
    case 0x4C:
    case 0x4D:
    case 0x50:
    case 0x51:
    case 0x52:
    case 0x56:
    case 0x58:
    case 0x5D:
    case 0x60:
    case 0x61:
    case 0x62:
    case 0x63:
    case 0x64:
    case 0x65:
        if (rec == nullptr)
            return Fail(EFAULT);
        break;
    default:
        return Fail(EINVAL);
    }

    switch (nn)
    {
    case 0x01:
        Put32(rec + 8, 0);
        return 0;
    case 0x03:
        rec[0] = 0;
        rec[1] = 0;
        return 0;
    case 0x48:
    case 0x49:
        return RawAccess(state, rec, nn == 0x49);
    case 0x4A:
        return WaitBounded(nullptr);
    case 0x4E:
        return WaitBounded(&o->uInterruptWake);
    case 0x53:
        return WaitBounded(&o->uCfgTransCancel);
    case 0x57:
        return WaitBounded(&o->uDpRamCancel);
    case 0x58:
        ++o->uDpRamCancel;
        return 0;
    case 0x4B:
    case 0x4C:
    case 0x52:
        return 0;
    case 0x4D:
        memset(rec, 0, 36);
        return 0;
    case 0x50:
        return state.SetPublishedHex(rec);
    case 0x51:
        return HexRecord(state, rec);
    case 0x56:
        return MultiAccess(state, rec);
    case 0x5D:
        return state.SetLedWord(Get32(rec));
    case 0x60:
        return WordRegister(state, rec, &SSimRegisters::uUpdateStatus);
    case 0x61:
        return state.SetUpdateError(Get32(rec));
    case 0x62:
        return WordRegister(state, rec, &SSimRegisters::uFactoryAtStart);
    case 0x63:
        return WordRegister(state, rec, &SSimRegisters::uFactoryButton);
    case 0x64:
        Put64(rec, MonotonicMicroseconds());
        return 0;
    case 0x65:
        if (o->bCdi)
            return HexRecord(state, rec);
        // Bus state of the dual-port RAM: byte 0 names which one; nothing to report.
        memset(rec + 1, 0, 519);
        return 0;
    default:
        return Fail(EINVAL);
    }
}

int OpenNode(const std::string& simDir, bool cdi, void** priv)
{
    std::shared_ptr<CSimState> state = CSimState::Open(simDir);
    if (!state)
        return Fail(errno ? errno : EIO);
    int fd = open(CSimState::FilePath(simDir).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    auto* o = new SFpgaOpen;
    o->pState = state;
    o->bCdi = cdi;
    *priv = o;
    return fd;
}

int FpgaOpen(const std::string& simDir, const char*, int, void** priv)
{
    return OpenNode(simDir, false, priv);
}

int CdiOpen(const std::string& simDir, const char*, int, void** priv)
{
    return OpenNode(simDir, true, priv);
}

void FpgaRelease(void* priv)
{
    delete static_cast<SFpgaOpen*>(priv);
}
} // namespace

const SPlatNodeOps g_tSimFpgaOps = {FpgaOpen,        PlatNodeCloseFd, FpgaRelease,
                                    FpgaIoctl,       PlatNodeNoRead,  PlatNodeNoWrite,
                                    PlatNodeNoLseek, PlatNodeNoMmap};

const SPlatNodeOps g_tSimCdiOps = {CdiOpen,         PlatNodeCloseFd, FpgaRelease,
                                   FpgaIoctl,       PlatNodeNoRead,  PlatNodeNoWrite,
                                   PlatNodeNoLseek, PlatNodeNoMmap};
