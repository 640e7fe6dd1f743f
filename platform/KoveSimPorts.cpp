// The two Ethernet ports of a simulated bus-monitor device: the MII registers of their PHYs,
// the FPGA's frame capture, and the start values of both.
#include "KoveSimPn.h"

#include "KoveSimDevice.h"
#include "KoveSimState.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string>
#include <unistd.h>

int SimPnResetState(const std::string& dir); // KoveSimPnDrv.cpp

namespace
{
constexpr int kPorts = 2;
constexpr int kPhys = 256;
constexpr int kRegisters = 32;
constexpr size_t kMiiBytes = static_cast<size_t>(kPorts) * kPhys * kRegisters * 2;
// Register 10 of PHY 2: bit 13 reports the PHY ready.
constexpr int kReadyPhy = 2;
constexpr int kReadyRegister = 10;
constexpr uint16_t kReadyBit = 0x2000;

// FPGA words of the bus-monitor variant.
constexpr uint32_t kBusFpgaVersion = 4;
constexpr uint32_t kBusDataBase = 0x3000;
constexpr uint32_t kBusDataSize = 0x3004;
constexpr uint32_t kBusHeaderBase = 0x3010;
constexpr uint32_t kBusHeaderSize = 0x3014;
constexpr uint32_t kBusRingControl = 0x3020;
constexpr uint32_t kBusFrameCounter = 0x3024;
constexpr uint32_t kBusFilter = 0x3100;
constexpr uint32_t kCaptureOn = 0x1;
constexpr uint32_t kFlush = 0x40000000;
constexpr uint32_t kHeaderBytes = 32;
constexpr uint32_t kFrameSlotBytes = 2048;
constexpr uint32_t kFramePadBytes = 2;

std::string MiiPath(const std::string& dir)
{
    return dir + "/dev/mii";
}

off_t MiiOffset(int port, int phy, int reg)
{
    return static_cast<off_t>(((port * kPhys + phy) * kRegisters + reg) * 2);
}

std::string MiiImage()
{
    std::string image(kMiiBytes, '\0');
    for (int port = 0; port < kPorts; ++port)
    {
        const off_t at = MiiOffset(port, kReadyPhy, kReadyRegister);
        image[static_cast<size_t>(at)] = static_cast<char>(kReadyBit & 0xFF);
        image[static_cast<size_t>(at) + 1] = static_cast<char>(kReadyBit >> 8);
    }
    return image;
}

int OpenMii(const std::string& dir)
{
    int fd = open(MiiPath(dir).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
    {
        // A device made before its ports were simulated gets them now.
        if (SimWriteFileAtomic(MiiPath(dir), MiiImage()) != 0)
            return -1;
        fd = open(MiiPath(dir).c_str(), O_RDWR | O_CLOEXEC);
    }
    return fd;
}

bool ValidRegister(int port, int phy, int reg)
{
    return port >= 0 && port < kPorts && phy >= 0 && phy < kPhys && reg >= 0 && reg < kRegisters;
}

int PortOfInterface(const char* name)
{
    if (strncmp(name, "eth0", IFNAMSIZ) == 0)
        return 0;
    if (strncmp(name, "eth1", IFNAMSIZ) == 0)
        return 1;
    return -1;
}

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

bool ReadWord(CSimState& state, uint32_t address, uint32_t* value)
{
    uint8_t bytes[4];
    if (state.BusRead(address, bytes, 4) != kSimBusOk)
        return false;
    *value = Get32(bytes);
    return true;
}

bool WriteWord(CSimState& state, uint32_t address, uint32_t value)
{
    uint8_t bytes[4];
    Put32(bytes, value);
    return state.BusWrite(address, bytes, 4) == kSimBusOk;
}

bool WriteMemory(int fd, uint64_t address, const void* data, size_t length)
{
    return pwrite(fd, data, length, static_cast<off_t>(address)) == static_cast<ssize_t>(length);
}
} // namespace

int SimMiiRead(const std::string& dir, int port, int phy, int reg, uint16_t* value)
{
    if (!ValidRegister(port, phy, reg) || value == nullptr)
    {
        errno = EINVAL;
        return -1;
    }
    int fd = OpenMii(dir);
    if (fd < 0)
        return -1;
    uint8_t bytes[2] = {0, 0};
    const bool ok = pread(fd, bytes, 2, MiiOffset(port, phy, reg)) == 2;
    close(fd);
    if (!ok)
    {
        errno = EIO;
        return -1;
    }
    *value = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return 0;
}

int SimMiiWrite(const std::string& dir, int port, int phy, int reg, uint16_t value)
{
    if (!ValidRegister(port, phy, reg))
    {
        errno = EINVAL;
        return -1;
    }
    // The reset of the PHY is done at once: its bit reads back cleared.
    if (reg == MII_BMCR)
        value = static_cast<uint16_t>(value & ~BMCR_RESET);
    int fd = OpenMii(dir);
    if (fd < 0)
        return -1;
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    const bool ok = pwrite(fd, bytes, 2, MiiOffset(port, phy, reg)) == 2;
    close(fd);
    if (!ok)
    {
        errno = EIO;
        return -1;
    }
    return 0;
}

bool SimIsMiiRequest(unsigned long request)
{
    return request == SIOCGMIIPHY || request == SIOCGMIIREG || request == SIOCSMIIREG;
}

int SimMiiIoctl(const std::string& dir, unsigned long request, void* arg)
{
    if (arg == nullptr)
    {
        errno = EFAULT;
        return -1;
    }
    auto* ifr = static_cast<struct ifreq*>(arg);
    char name[IFNAMSIZ + 1] = {};
    memcpy(name, ifr->ifr_name, IFNAMSIZ);
    const int port = PortOfInterface(name);
    if (port < 0)
    {
        errno = ENODEV;
        return -1;
    }
    auto* mii = reinterpret_cast<struct mii_ioctl_data*>(&ifr->ifr_ifru);
    if (request == SIOCGMIIPHY)
        mii->phy_id = static_cast<uint16_t>(port == 0 ? 1 : kReadyPhy);
    if (mii->phy_id >= kPhys || mii->reg_num >= kRegisters)
    {
        errno = EINVAL;
        return -1;
    }
    if (request == SIOCSMIIREG)
        return SimMiiWrite(dir, port, mii->phy_id, mii->reg_num, mii->val_in);
    return SimMiiRead(dir, port, mii->phy_id, mii->reg_num, &mii->val_out);
}

void SimCaptureFrame(const std::string& dir, const void* frame, size_t length)
{
    if (frame == nullptr || length < 14)
        return;
    std::shared_ptr<CSimState> state = CSimState::Open(dir);
    if (!state)
        return;
    uint32_t control = 0, filter = 0, dataBase = 0, dataSize = 0, headerBase = 0, headerSize = 0,
             counter = 0;
    if (!ReadWord(*state, kBusRingControl, &control) || (control & kCaptureOn) == 0 ||
        !ReadWord(*state, kBusFilter, &filter) || !ReadWord(*state, kBusDataBase, &dataBase) ||
        !ReadWord(*state, kBusDataSize, &dataSize) ||
        !ReadWord(*state, kBusHeaderBase, &headerBase) ||
        !ReadWord(*state, kBusHeaderSize, &headerSize) ||
        !ReadWord(*state, kBusFrameCounter, &counter))
        return;
    const uint8_t* bytes = static_cast<const uint8_t*>(frame);
    const uint32_t etherType = static_cast<uint32_t>(bytes[12]) << 8 | bytes[13];
    if ((filter >> 16) != 0 && etherType != (filter >> 16))
        return;
    if (control & kFlush)
    {
        counter = 0;
        WriteWord(*state, kBusRingControl, control & ~kFlush);
    }
    // The FPGA puts two bytes in front of a frame (the frame's payload then lies 4-byte
    // aligned); a slot holds the frame up to its size.
    const uint32_t captured = length + kFramePadBytes < kFrameSlotBytes
                                  ? static_cast<uint32_t>(length) + kFramePadBytes
                                  : kFrameSlotBytes;
    const uint32_t headerAt = counter & 0xFFFFFF;
    const uint32_t dataAt = ((counter / kHeaderBytes) * kFrameSlotBytes) & 0x1FFFFFC0;
    if (uint64_t{headerAt} + kHeaderBytes > headerSize || uint64_t{dataAt} + captured > dataSize ||
        uint64_t{headerBase} + headerSize > kSimMemBytes ||
        uint64_t{dataBase} + dataSize > kSimMemBytes)
        return; // the ring is full, or lies outside the memory
    int fd = open((dir + "/dev/mem").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    uint8_t header[kHeaderBytes] = {};
    header[0] = static_cast<uint8_t>(captured);
    header[1] = static_cast<uint8_t>(captured >> 8);
    Put32(header + 4, dataAt);
    Put32(header + 28, counter);
    // The header goes last: a reader that finds it finds the frame behind it.
    const uint8_t pad[kFramePadBytes] = {0, 0};
    const bool ok = WriteMemory(fd, uint64_t{dataBase} + dataAt, pad, kFramePadBytes) &&
                    WriteMemory(fd, uint64_t{dataBase} + dataAt + kFramePadBytes, bytes,
                                captured - kFramePadBytes) &&
                    WriteMemory(fd, uint64_t{headerBase} + headerAt, header, sizeof header);
    close(fd);
    if (ok)
        WriteWord(*state, kBusFrameCounter, (counter + kHeaderBytes) & 0x1FFFFFE0);
}

int SimPnResetDevice(const std::string& dir, const SSimDescription& desc)
{
    if (SimPnResetState(dir) != 0 || SimWriteFileAtomic(MiiPath(dir), MiiImage()) != 0)
        return -1;
    const int family = SimFamilyCode(desc.uIdWord);
    if (family != 10 && family != 14)
        return 0;
    std::shared_ptr<CSimState> state = CSimState::Open(dir);
    if (!state)
        return -1;
    const struct
    {
        uint32_t address;
        uint32_t value;
    } words[] = {
        {kBusFpgaVersion, 0x01060064}, {kBusDataBase, 0x30000000},   {kBusDataSize, 0x00100000},
        {kBusHeaderBase, 0x30100000},  {kBusHeaderSize, 0x00010000},
    };
    for (const auto& word : words)
        if (!WriteWord(*state, word.address, word.value))
        {
            errno = EIO;
            return -1;
        }
    return 0;
}
