// The state of a simulated device's FPGA, shared by every process of the
// device: a file <dir>/dev/fpga.state that each process maps, guarded by a
// process-shared robust mutex in the file itself (a process that dies holding
// it does not wedge the device: the next locker makes the state consistent
// again and goes on).
//
// It holds the registers the kernel driver keeps (LED word, LED test, update
// status and error, the hex-switch record last published), the inputs that
// come from the description (identification word, hex switches, filled slots,
// factory button) and the backplane bus: a sparse space of 32-bit words in a
// hash table (unwritten words read 0), where single words can be marked
// refused. A refused word fails every access that touches it; nothing of that
// access is done.
#ifndef KOVE_SIM_STATE_H
#define KOVE_SIM_STATE_H

#include "KoveSimDescription.h"
#include "KoveSimUnits.h"

#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>

// Status words of a bus access: 0 is success.
constexpr uint32_t kSimBusOk = 0;
constexpr uint32_t kSimBusRefused = 0x0000DEAD; // the access touches a refused word
constexpr uint32_t kSimBusFull = 0x0000DEAF;    // no room for another written word
// Value of the module word of an empty slot (and of every other bus word that
// has nothing behind it on the device).
constexpr uint32_t kSimEmptySlotWord = 0x55AA66BB;

struct SSimRegisters
{
    uint32_t uIdWord;
    uint8_t aHex[4];
    uint32_t uSlotMask;
    uint32_t uFactoryButton;  // current state of the factory-default input
    uint32_t uFactoryAtStart; // the input as it was when the device was (re)started
    uint32_t uLedWord;
    uint32_t uLedTest;
    // The last LED words shown, oldest first: a pattern shown for a moment is
    // still there to see after it changed.
    uint32_t aLedShown[8];
    uint32_t uLedShownCount;
    uint32_t uUpdateStatus;
    uint32_t uUpdateError;
    uint8_t aPublishedHex[16];
    // GPIO lines 80-88 held by hand (kovesim switch): bit (line - 80) of the
    // mask holds the line, the same bit of the level says active (1) or not.
    uint32_t uGpioHeldMask;
    uint32_t uGpioHeldLevel;
    // The link I/O window of the "LIO" family (KoveSimUnits.h).
    SSimLioWindow tLio;
};

struct SSimStateFile;

class CSimState
{
public:
    // The state of the device in dir, mapped once per process. Null (with
    // errno) when the device has no valid state file.
    static std::shared_ptr<CSimState> Open(const std::string& dir);
    // Writes a fresh state file from the description, or resets the existing
    // one in place (processes that have it mapped see the reset). The caller
    // holds the directory lock.
    static int Reset(const std::string& dir, const SSimDescription& desc);
    // True when dir holds a state file of this layout.
    static bool IsValid(const std::string& dir);
    static std::string FilePath(const std::string& dir);

    ~CSimState();
    CSimState(const CSimState&) = delete;
    CSimState& operator=(const CSimState&) = delete;

    // Holds the device mutex for its lifetime.
    class CLock
    {
    public:
        explicit CLock(CSimState& state);
        ~CLock();
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;
        bool Locked() const { return m_bLocked; }

    private:
        pthread_mutex_t* m_pMutex;
        bool m_bLocked;
    };

    // Bus accesses of count bytes from the word at address (its two low bits
    // are ignored); a count that is not a multiple of 4 ends in part of a word
    // (the low bytes, little-endian). They return a status word (kSimBus...),
    // or -1 with errno when the device cannot be locked.
    int64_t BusRead(uint32_t address, uint8_t* data, uint32_t count);
    int64_t BusWrite(uint32_t address, const uint8_t* data, uint32_t count);
    // Several single-word accesses at once: count bytes of 8-byte entries
    // {u32 address, u32 value}; an address with bit 0 set is a read into
    // value, else a write. All are done, or none when one of them is refused.
    int64_t BusMulti(uint8_t* entries, uint32_t count);
    // Marks a word refused or clears the mark. 0, or -1 with errno.
    int SetRefused(uint32_t address, bool refused);

    // Registers: a consistent copy, and the changes the requests make.
    // Each returns 0, or -1 with errno when the device cannot be locked.
    int Registers(SSimRegisters* regs);
    int SetLedWord(uint32_t value);
    int SetLedTest(bool on);
    int SetUpdateError(uint32_t value);
    int SetPublishedHex(const uint8_t record[16]);
    int SetHexSwitches(const uint8_t hex[4]);
    int SetFactoryButton(bool on);
    // Holds a GPIO line (80-88) active or inactive, or (held false) lets it
    // follow the switches and the button again.
    int SetGpioLine(int line, bool held, bool active);

private:
    CSimState(int fd, SSimStateFile* file, size_t size);

    template <typename Change> int WithRegisters(Change change);
    uint32_t ReadWordLocked(uint32_t index) const;
    uint32_t StoredWordLocked(uint32_t index) const;
    int64_t FindLocked(uint32_t index) const;
    int64_t InsertLocked(uint32_t index);
    bool StoreLocked(uint32_t index, uint32_t value);

    int m_iFd;
    SSimStateFile* m_pFile;
    size_t m_uSize;
};

#endif
