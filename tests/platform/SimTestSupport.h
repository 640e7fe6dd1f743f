// Helpers of the platform tests: a fresh simulated device for this process,
// and the FPGA requests as the tests send them.
#ifndef SIM_TEST_SUPPORT_H
#define SIM_TEST_SUPPORT_H

#include "KovePlatform.h"
#include "KoveTestSupport.h"

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace simtest
{
inline unsigned long Request(unsigned nn)
{
    return 0xC0046900ul + nn;
}

inline void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A raw access block of words data words.
struct SRaw
{
    std::vector<uint8_t> bytes;
    SRaw(uint32_t address, uint32_t byteCount, uint32_t status = 0xDEAD)
        : bytes(12 + ((byteCount + 3) & ~3u), 0)
    {
        Put32(&bytes[0], status);
        Put32(&bytes[4], address);
        Put32(&bytes[8], byteCount);
    }
    uint32_t Status() const { return Get32(&bytes[0]); }
    uint32_t Word(size_t i) const { return Get32(&bytes[12 + 4 * i]); }
    void SetWord(size_t i, uint32_t v) { Put32(&bytes[12 + 4 * i], v); }
    uint8_t* Data() { return bytes.data(); }
};

// Points the platform layer of this process at a device directory.
inline void UseDevice(const std::string& dir)
{
    setenv("KOVE_SIM", dir.c_str(), 1);
    PlatReloadSimulation();
}

inline void UseRealDevice()
{
    unsetenv("KOVE_SIM");
    PlatReloadSimulation();
}

// A fresh device made by kovesim, used by the layer of this process.
class CSimFixture : public ::testing::Test
{
protected:
    explicit CSimFixture(const std::vector<std::string>& createArgs = {}) : m_tDevice(createArgs)
    {
        UseDevice(m_tDevice.Dir());
    }
    ~CSimFixture() override { UseRealDevice(); }

    const std::string& Dir() const { return m_tDevice.Dir(); }
    std::string Kovesim(const std::vector<std::string>& args, int* status = nullptr) const
    {
        std::vector<std::string> argv{kovetest::BinPath("kovesim")};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        int r = kovetest::RunCommand(argv, &out);
        if (status)
            *status = r;
        return out;
    }

    // Reads one bus word through "/dev/ryxfpga"; the status word goes to status.
    static uint32_t ReadWord(int fd, uint32_t address, uint32_t* status = nullptr)
    {
        SRaw raw(address, 4);
        EXPECT_EQ(0, PlatIoctl(fd, Request(0x48), raw.Data()));
        if (status)
            *status = raw.Status();
        return raw.Word(0);
    }
    static uint32_t WriteWord(int fd, uint32_t address, uint32_t value)
    {
        SRaw raw(address, 4, 0);
        raw.SetWord(0, value);
        EXPECT_EQ(0, PlatIoctl(fd, Request(0x49), raw.Data()));
        return raw.Status();
    }

    kovetest::CSimDevice m_tDevice;
};
} // namespace simtest

#endif
