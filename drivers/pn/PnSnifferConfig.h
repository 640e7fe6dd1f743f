// The sniffer configuration of the driver: the two configuration images, the copy-machine
// tables of both ports (two halves each), the six remap areas and the buffers the controller
// gets, with the steps that fill them from a binary sniffer configuration (parse), make the
// new halves active (accept) and program the FPGA and the controller with them (apply).
//
// Parsing fills only the halves under construction; the active ones keep serving until the
// configuration is accepted. The driver mutex guards the swap of the remap areas and the
// readers of their counters (the diagnostic servers).
#ifndef PN_SNIFFER_CONFIG_H
#define PN_SNIFFER_CONFIG_H

#include <cstdint>
#include <functional>
#include <memory>
#include <pthread.h>
#include <string>

#include "PnSnifferImage.h"
#include "QTXBinConfig.h"

class CQTXBin;
class CQTXGenerateForDuf;

constexpr uint32_t PN_REMAP_WORDS = 4096;
constexpr int PN_REMAP_AREAS = 6;
constexpr uint32_t PN_COPY_TABLES_SIZE = 78880;
constexpr uint32_t PN_SUBSLOT_LIST_SIZE = 17424;
constexpr uint32_t PN_COPY_IMAGES_SIZE = 98304;
constexpr uint16_t PN_GROUP_DEVICES = 0x112;
constexpr uint16_t PN_GROUP_CONTROLLERS = 0x113;
constexpr uint16_t PN_GROUP_RAW_RELATIONS = 0x114;
constexpr uint16_t PN_GROUP_SUBSLOT_MARKER = 0x111;
constexpr uint16_t PN_GROUP_SUBSLOT_REPLY = 0x2111;
constexpr uint16_t PN_GROUP_ANALOG_IN = 2;
constexpr uint16_t PN_GROUP_ANALOG_OUT = 3;
constexpr uint16_t PN_GROUP_DIGITAL_IN = 4;
constexpr uint32_t PN_SIGNAL_ENTRY_SIZE = 12;
// FPGA versions from this one on carry the port flag of input words in bit 22, older in bit 14.
constexpr uint32_t PN_FPGA_NEW_PORT_FLAG = 0x01040000;

// Error codes of the configuration itself.
constexpr int PN_ERR_NO_DATA = -64;
constexpr int PN_ERR_TOO_MANY_REMAP = -1106;
constexpr int PN_ERR_TYPE = -17000;
constexpr int PN_ERR_NO_ROUTING_TYPE = -17001;
constexpr int PN_ERR_ACCESS = -18100;
constexpr int PN_ERR_NO_PLACE = -18116;
constexpr int PN_ERR_STATUS_ANALOG = -18117;

// One remap area: its words, the word count, the byte count of analog input data (or output
// data) and two counters (inputs: analog and digital values; outputs: outputs without digital
// bits and digital bits).
struct PnRemapArea
{
    uint32_t* pWords = nullptr;
    uint32_t ulCount = 0;
    uint32_t ulBytes = 0;
    uint32_t ulCounterA = 0;
    uint32_t ulCounterB = 0;
};

// Bus access of the apply step.
struct PnBusAccess
{
    std::function<void(int32_t address, uint32_t value)> writeWord;
    std::function<void(int32_t address, const uint32_t* words, uint32_t count)> writeBuffer;
};

class CPnSnifferConfig
{
public:
    CPnSnifferConfig();
    ~CPnSnifferConfig();
    CPnSnifferConfig(const CPnSnifferConfig&) = delete;
    CPnSnifferConfig& operator=(const CPnSnifferConfig&) = delete;

    // Allocates the buffers and resets the copy-machine tables; false without memory.
    bool Allocate();
    void SetFpgaVersion(uint32_t version) { m_ulFpgaVersion = version; }

    // Parses a loaded configuration (`stored`: read from the stored file, so the controller's
    // device check is left out) into the halves under construction and describes its signals
    // to the writer (when there is one). 0 or the first error code; entry errors go into the
    // reply's error lists. *subslotGroup receives the subslot marker's group number + 1 (0 none).
    int Parse(CQTXBin& bin, bool stored, CQTXGenerateForDuf* writer, int* subslotGroup);
    // Makes the halves just built active.
    void Accept();
    // Programs the FPGA and the controller with the active halves.
    void Apply(const PnBusAccess& bus, bool factoryDefault);
    // Reads the controller's subslot list into the reply group "PN_SUBSLOTS_REPLY" at
    // subslotGroup - 1: the number of entries, or -1 when the controller does not answer.
    int ReplySubslots(CQTXBin& bin, int subslotGroup);

    // The counters of the active areas, read under the driver mutex: input analog and digital
    // values, outputs without digital bits and digital bits of both ports.
    void ActiveCounters(uint32_t counters[4]);
    // The active areas: 0 input, 1 output port 0, 2 output port 1.
    const PnRemapArea& ActiveArea(int i) const { return m_atAreas[i]; }
    const uint8_t* ActiveCopyTable(int port) const;
    PnSnifferSignalRemap& ActiveImage() { return *m_apImages[(m_ulImageSelector & 1) ^ 1]; }

private:
    struct Group
    {
        uint8_t* pEntries = nullptr;
        _QTXBIN_GROUP tGroup{};
        unsigned int uIndex = 0;
        bool bUse = false;
    };

    uint8_t* BuildingCopyTable(int port);
    PnSnifferSignalRemap& BuildingImage() { return *m_apImages[m_ulImageSelector & 1]; }
    int TakeImageGroups(CQTXBin& bin, bool stored);
    int CheckGroup(CQTXBin& bin, Group& g, bool analog, bool output);
    int CheckEntry(uint8_t* entry, uint32_t number, bool analog, bool output);
    int FillInputs(CQTXBin& bin, Group& g, bool analog, CQTXGenerateForDuf* writer);
    int FillOutputs(CQTXBin& bin, Group& g, CQTXGenerateForDuf* writer);
    int InputWord(const uint8_t* entry, uint32_t number, bool analog, uint32_t remapIndex,
                  uint32_t* word, uint32_t* bytes, uint32_t* widthBits, uint8_t* type);
    uint32_t PortFlag() const;

    std::unique_ptr<PnSnifferSignalRemap> m_apImages[2];
    uint32_t m_ulImageSelector = 1;
    uint32_t m_aulCopySelector[2] = {1, 1};
    std::unique_ptr<uint8_t[]> m_pCopyTables;
    std::unique_ptr<uint32_t[]> m_pRemapWords;
    std::unique_ptr<uint8_t[]> m_pSubslotList;
    std::unique_ptr<uint8_t[]> m_pCopyImages;
    PnRemapArea m_atAreas[PN_REMAP_AREAS];
    int32_t m_alEndPosition[2] = {0, 0};
    uint32_t m_ulFpgaVersion = 0;
    pthread_mutex_t m_tMutex;
};

#endif
