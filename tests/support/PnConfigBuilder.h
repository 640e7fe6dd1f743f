// Binary sniffer configurations for tests, built with the framework's image builder: signal
// entries, devices, controllers and raw relations in their groups, the whole document as bytes.
#ifndef KOVE_PN_CONFIG_BUILDER_H
#define KOVE_PN_CONFIG_BUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QTXBinConfig.h"

namespace kovetest
{
// One 12-byte signal entry.
struct SPnSignal
{
    uint8_t type = 0;           // signal type code (bits 0-5 of byte 2)
    uint8_t access = 0;         // bits 0-1 of byte 3
    uint8_t kind = 0;           // bits 4-5 of byte 3
    uint32_t slotOrAddress = 0; // u16 at 4, or the u32 memory address in bits at 4
    uint16_t offset = 0;        // u16 at 6
    uint8_t byte8 = 0;
    uint8_t byte9 = 0;
    bool inUse = true;
    bool flag = false; // bit 2 of byte 3 (taken into the sniffer record: an output value)
};

// Signal types of the framework's table used by the tests.
constexpr uint8_t kPnType8 = 4;   // 8 bits (BYTE)
constexpr uint8_t kPnType16 = 1;  // 16 bits (INT16)
constexpr uint8_t kPnType32 = 6;  // 32 bits (INT32)
constexpr uint8_t kPnType64 = 15; // 64 bits (DOUBLE REAL)

class CPnConfig
{
public:
    std::vector<SPnSignal> analogIn, digitalIn, analogOut;
    std::vector<std::vector<uint8_t>> devices, controllers, rawRelations;
    uint16_t configType = 1;
    bool subslotMarker = false;

    static std::vector<uint8_t> DeviceByName(const std::string& name)
    {
        std::vector<uint8_t> d(256, 0);
        d[6] = 1;
        std::memcpy(d.data() + 8, name.data(), name.size());
        return d;
    }
    static std::vector<uint8_t> DeviceByMac(const std::vector<uint8_t>& mac)
    {
        std::vector<uint8_t> d(256, 0);
        d[6] = 2;
        std::memcpy(d.data(), mac.data(), 6);
        return d;
    }
    // `count` devices named "d0", "d1", ...
    static std::vector<std::vector<uint8_t>> Devices(size_t count)
    {
        std::vector<std::vector<uint8_t>> list;
        for (size_t i = 0; i < count; ++i)
            list.push_back(DeviceByName("d" + std::to_string(i)));
        return list;
    }
    static std::vector<uint8_t> Controller()
    {
        std::vector<uint8_t> c(256, 0);
        c[6] = 2;
        return c;
    }

    // The document: head and configuration, groups in the order devices, controllers, raw
    // relations, analog inputs, digital inputs, analog outputs, subslot marker.
    std::string Build() const
    {
        QTXBinConfigPW image;
        image.New(QTXBIN_TAG_CONFIGURATION)->type = configType;
        unsigned int index = 0;
        const auto records = [&](uint16_t type, const std::vector<std::vector<uint8_t>>& list,
                                 uint16_t size, const char* name)
        {
            if (list.empty())
                return;
            image.CreateGroup(index, type, size, static_cast<unsigned short>(list.size()), name);
            unsigned char* p = image.GetGroupMem(index++);
            for (const auto& r : list)
            {
                std::memcpy(p, r.data(), size);
                p += size;
            }
        };
        const auto signals =
            [&](uint16_t type, const std::vector<SPnSignal>& list, const char* name)
        {
            if (list.empty())
                return;
            image.CreateGroup(index, type, 12, static_cast<unsigned short>(list.size()), name);
            unsigned char* p = image.GetGroupMem(index++);
            for (const SPnSignal& s : list)
            {
                p[2] = static_cast<uint8_t>((s.inUse ? 0x80 : 0) | (s.type & 0x3F));
                p[3] = static_cast<uint8_t>((s.access & 3) | (s.flag ? 4 : 0) | (s.kind & 3) << 4);
                QtxBinPutU32(p + 4, s.slotOrAddress);
                if (s.kind != 1 || s.access != 2)
                    QtxBinPutU16(p + 6, s.offset);
                p[8] = s.byte8;
                p[9] = s.byte9;
                p += 12;
            }
        };
        records(0x112, devices, 256, "Devices");
        records(0x113, controllers, 256, "Controllers");
        records(0x114, rawRelations, 16, "RawRelations");
        signals(2, analogIn, "AnalogIn");
        signals(4, digitalIn, "DigitalIn");
        signals(3, analogOut, "AnalogOut");
        if (subslotMarker)
            image.CreateGroup(index++, 0x111, 4, 1, "Subslots");
        std::string out;
        image.Generate(
            [](void* context, const unsigned char* data, unsigned int offset, unsigned int length,
               unsigned int)
            {
                auto* text = static_cast<std::string*>(context);
                text->resize(offset);
                text->append(reinterpret_cast<const char*>(data), length);
                return true;
            },
            &out);
        return out;
    }
};
} // namespace kovetest

#endif
