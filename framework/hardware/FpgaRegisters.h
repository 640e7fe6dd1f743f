// Register access shared by the FPGA unit drivers (platform set-up, synchronizer unit, bus-master
// and PCI-master channel units). Every access goes through the bus bridge of the process's
// driver object (store_u32 / read_u32), so the same code runs on the bus of the device or on the
// driver's simulation buffer. Internal to libQTX.
#ifndef FPGA_REGISTERS_H
#define FPGA_REGISTERS_H

#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "FpgaPlatform.h"
#include "QTXBus.h"
#include "QTXGlobal.h"

namespace fpgaregs
{
// The bridge takes the bus address in a pointer-typed parameter; it is never dereferenced.
inline uint32_t* BusAddress(uint32_t address)
{
    return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

// Accesses at an absolute bus address. A read without a driver object gives 0.
inline void WriteAbs(uint32_t address, uint32_t value)
{
    store_u32(BusAddress(address), value);
}
inline uint32_t ReadAbs(uint32_t address)
{
    uint32_t value = 0;
    read_u32(BusAddress(address), &value);
    return value;
}

// Accesses at an offset from the register base Fpga.
inline void Write(uint32_t offset, uint32_t value)
{
    WriteAbs(Fpga + offset, value);
}
inline uint32_t Read(uint32_t offset)
{
    return ReadAbs(Fpga + offset);
}
// Read-modify-write: sets (on) or clears the bits of mask.
inline void SetBits(uint32_t offset, uint32_t mask, bool on)
{
    uint32_t value = Read(offset);
    Write(offset, on ? (value | mask) : (value & ~mask));
}
// Read-modify-write: replaces the bits of mask with value (already shifted into place).
inline void SetField(uint32_t offset, uint32_t mask, uint32_t value)
{
    Write(offset, (Read(offset) & ~mask) | (value & mask));
}

// Longest wait for a busy bit of the hardware to clear.
constexpr double kBusyWaitLimitSeconds = 0.1;

// Reads the register until the bits of busyMask are clear; each value read is handed to
// onValue first (when given). 0, or KESTREL_TIMEOUT when they are still set after the limit.
int WaitWhileBusy(uint32_t offset, uint32_t busyMask, void (*onValue)(uint32_t value) = nullptr);

// Channels or synchronizers of a unit that are in use: bit n for unit number n. Numbers at or
// beyond the unit's count are never reserved and cannot be reserved.
class CReservations
{
public:
    explicit CReservations(unsigned count) : m_uCount(count) {}
    bool IsReserved(uint32_t n) const { return n < m_uCount && ((m_uMask >> n) & 1u) != 0; }
    // True when n was free and is reserved now.
    bool Reserve(uint32_t n)
    {
        if (n >= m_uCount || IsReserved(n))
            return false;
        m_uMask |= 1u << n;
        return true;
    }
    void Release(uint32_t n)
    {
        if (n < m_uCount)
            m_uMask &= ~(1u << n);
    }
    void Clear() { m_uMask = 0; }
    uint32_t Mask() const { return m_uMask; }

private:
    unsigned m_uCount;
    uint32_t m_uMask = 0;
};

// The lock of one unit's state (reservations, list pointer): several threads of a driver may
// program the same unit.
class CUnitMutex
{
public:
    CUnitMutex() { NyMutexCreatePrivate(&m_tMutex); }
    ~CUnitMutex() { pthread_mutex_destroy(&m_tMutex); }
    CUnitMutex(const CUnitMutex&) = delete;
    CUnitMutex& operator=(const CUnitMutex&) = delete;
    void lock() { pthread_mutex_lock(&m_tMutex); }
    void unlock() { pthread_mutex_unlock(&m_tMutex); }

private:
    pthread_mutex_t m_tMutex;
};

// The state of a unit with numbered channels (or synchronizers): the lock, the reservations
// and, for units that run lists in FPGA memory, the list pointer (a bus address; 0 while
// unset, when the channel and list operations do nothing).
class CChannelUnit
{
public:
    CChannelUnit(unsigned count, bool hasList) : m_tReserved(count), m_bHasList(hasList) {}

    CUnitMutex tMutex;

    // Called with tMutex held.
    bool HasNoList() const { return m_bHasList && m_uListPointer == 0; }
    bool Reserve(uint32_t n) { return !HasNoList() && m_tReserved.Reserve(n); }
    void Release(uint32_t n) { m_tReserved.Release(n); }
    void Clear() { m_tReserved.Clear(); }
    uint32_t ListPointer() const { return m_uListPointer; }
    void SetListPointer(uint32_t pointer) { m_uListPointer = pointer; }

    // Runs action on a reserved channel: 0 (nothing done) while the list pointer is unset, 1
    // when n is not reserved, else 0 after the action. Takes the lock.
    template <typename Action> int OnReserved(uint32_t n, Action action)
    {
        std::lock_guard<CUnitMutex> guard(tMutex);
        if (HasNoList())
            return 0;
        if (!m_tReserved.IsReserved(n))
            return 1;
        action();
        return 0;
    }

    // Writes the words at the list pointer and advances it: the new pointer, or 0 (nothing
    // written) while it is unset. Called with tMutex held.
    uint32_t Append(const uint32_t* words, uint32_t count)
    {
        if (m_uListPointer == 0)
            return 0;
        for (uint32_t i = 0; i < count; ++i)
        {
            WriteAbs(m_uListPointer, words[i]);
            m_uListPointer += 4;
        }
        return m_uListPointer;
    }

private:
    CReservations m_tReserved;
    bool m_bHasList;
    uint32_t m_uListPointer = 0;
};
} // namespace fpgaregs

#endif
