// The hardware-variant table and the selection of the current variant.
#include "FpgaDependence.h"

#include <atomic>

namespace
{

// LED specifications, three words each.
constexpr uint32_t aLedSpecA[3] = {0x40000028, 0, 0x40000026};
constexpr uint32_t aLedSpecB[3] = {0x60000029, 0, 0x80000040};
constexpr uint32_t aLedSpecC[3] = {0x40000093, 0, 0x40000095};
constexpr uint32_t aLedSpecD[3] = {0x80000001, 0, 0x80000008};

// LED test sequences, each ended by 0.
constexpr uint32_t aLedTestLIO[] = {0x40000001, 0x80010000, 0x80020000, 0x40000002, 0};

constexpr uint32_t aLedTestPDP[] = {0x40000001, 0x80010000, 0x80020000, 0x40000002,
                                    0x50000000, 0x70000101, 0x70000202, 0x70000404,
                                    0x70000808, 0x50000000, 0};

constexpr uint32_t aLedTestWAG[] = {0x40000001, 0x80010000, 0x80020000, 0x40000002,
                                    0x80040000, 0x80080000, 0};

constexpr uint32_t aLedTestKV4[] = {0x40000001, 0x80010000, 0x80020000, 0x40000002, 0x80200000,
                                    0x80100000, 0x80080000, 0x80040000, 0x80400000, 0x80800000,
                                    0x81000000, 0x82000000, 0};

constexpr uint32_t aLedTestKV8[] = {
    0x40000001, 0x60010000, 0x60020000, 0x40000002, 0x40000001, 0x60010000, 0x60020000, 0x40000002,
    0x50000000, 0x60000001, 0x60000004, 0x60000010, 0x60000040, 0x60000002, 0x60000008, 0x60000020,
    0x60000080, 0x50000000, 0x60000100, 0x60000400, 0x60001000, 0x60004000, 0x60000200, 0x60000800,
    0x60002000, 0x60008000, 0x50000000, 0x60040000, 0x60080000, 0x60100000, 0x60200000, 0x60040000,
    0x60080000, 0x60100000, 0x60200000, 0x50000000, 0x60400000, 0x60800000, 0x61000000, 0x62000000,
    0x60400000, 0x60800000, 0x61000000, 0x62000000, 0x50000000, 0};

constexpr uint32_t aLedTestVME[] = {0x40000001, 0x80080000, 0x80100000, 0x40000002, 0x80040000,
                                    0x80010000, 0x80020000, 0x80200000, 0};

// Shared by the clock and the bus-monitor variants.
constexpr uint32_t aLedTestCLK[] = {0x40000001, 0x80010000, 0x80020000, 0x40000002, 0};
constexpr uint32_t aLedTestPN[] = {0x40000001, 0x80010000, 0x80020000, 0x40000002, 0};

constexpr uint32_t aLedTest880[] = {0x40000001, 0x80010000, 0x80020000, 0x80080000, 0};

constexpr uint32_t aLedTestZQ[] = {0x80010000, 0x80020000, 0x80080000, 0x80200000, 0x80010000,
                                   0x80040000, 0x80100000, 0x80200000, 0x50000000, 0x80400000,
                                   0x80800000, 0x82000000, 0x84000000, 0x80400000, 0x81000000,
                                   0x82000000, 0x88000000, 0x50000000, 0};

constexpr uint32_t kIdPNA = MakeFpgaId('P', 'N', 'A');

} // namespace

// Searched in order; the last row ends the table.
extern constexpr FpgaDependence_t FpgaDependence[kFpgaDependenceRows] = {
    {MakeFpgaId('L', 'I', 'O'), 31, 0x10000, aLedTestLIO, aLedSpecA, 0},
    {MakeFpgaId('P', 'D', 'P'), 31, 0x10000, aLedTestPDP, aLedSpecA, 0x32},
    {MakeFpgaId('W', 'A', 'G'), 109, 0x10000, aLedTestWAG, aLedSpecA, 0},
    {MakeFpgaId('K', 'V', '4'), 109, 0x10000, aLedTestKV4, aLedSpecA, 0x20},
    {MakeFpgaId('K', 'V', '8'), 31, 0x10000, aLedTestKV8, aLedSpecA, 0x20},
    {MakeFpgaId('V', 'M', 'E'), 109, 0x10000, aLedTestVME, aLedSpecA, 0},
    {MakeFpgaId('C', 'L', 'K'), 31, 0x10000, aLedTestCLK, aLedSpecA, 0},
    {0x880000, 31, 0x40000, aLedTest880, aLedSpecB, 0x11},
    {kIdPNA, 61, 0x10000, aLedTestPN, aLedSpecC, 0},
    {MakeFpgaId('E', 'I', 'P'), 61, 0x10000, aLedTestPN, aLedSpecC, 0},
    {MakeFpgaId('Z', 'Q', 'A'), 61, 0x10000, aLedTestZQ, aLedSpecD, 0},
    {MakeFpgaId('Z', 'Q', 'B'), 61, 0x10000, aLedTestZQ, aLedSpecD, 0},
    {MakeFpgaId('Z', 'Q', 'C'), 61, 0x10000, aLedTestZQ, aLedSpecD, 0},
    {MakeFpgaId('Z', 'Q', 'D'), 61, 0x10000, nullptr, nullptr, 0},
    {kFpgaDependenceEndId, 0, 0, nullptr, nullptr, 0},
};

namespace
{

// The row taken for an identification that is not in the table: the PNA row (all zero if the
// table had none) under the id kFpgaDependenceUnknownId. Its contents never change, so it is
// built once at compile time instead of being refilled on every miss; a selection from one
// thread then never rewrites a row that another thread is reading.
constexpr FpgaDependence_t MakeUnknownRow()
{
    FpgaDependence_t row{0, 0, 0, nullptr, nullptr, 0};
    for (int i = 0; i < kFpgaDependenceRows; ++i)
    {
        if (FpgaDependence[i].uFpgaId == kFpgaDependenceEndId)
            break;
        if (FpgaDependence[i].uFpgaId == kIdPNA)
        {
            row = FpgaDependence[i];
            break;
        }
    }
    row.uFpgaId = kFpgaDependenceUnknownId;
    return row;
}

constexpr FpgaDependence_t FpgaDependenceUnknown = MakeUnknownRow();

// The current row. Several threads of a driver read it while the hardware family may be
// determined again (an unknown family is not cached), so it is an atomic pointer to rows that
// never change.
std::atomic<const FpgaDependence_t*> MyHWData{nullptr};

const FpgaDependence_t* CurrentRow()
{
    return MyHWData.load(std::memory_order_acquire);
}

} // namespace

const FpgaDependence_t* SearchFpgaDependence(uint32_t id)
{
    const uint32_t fpgaId = id & kFpgaIdMask;
    for (int i = 0; i < kFpgaDependenceRows; ++i)
    {
        const FpgaDependence_t& row = FpgaDependence[i];
        if (row.uFpgaId == kFpgaDependenceEndId)
            break;
        if (row.uFpgaId == fpgaId)
            return &row;
    }
    return &FpgaDependenceUnknown;
}

int SetFpgaDependence(uint32_t id)
{
    const FpgaDependence_t* row = SearchFpgaDependence(id);
    MyHWData.store(row, std::memory_order_release);
    return row == &FpgaDependenceUnknown ? -1 : 0;
}

const FpgaDependence_t* GetFpgaDependence()
{
    return CurrentRow();
}

uint32_t GetFpgaDependenceFpgaId()
{
    const FpgaDependence_t* row = CurrentRow();
    return row ? row->uFpgaId : 0;
}

uint32_t GetFpgaDependenceIrq()
{
    const FpgaDependence_t* row = CurrentRow();
    return row ? row->uIrq : 0;
}

uint32_t GetFpgaDependenceFOoffset()
{
    const FpgaDependence_t* row = CurrentRow();
    return row ? row->uFOoffset : 0;
}

uint32_t GetFpgaDependenceFlags()
{
    const FpgaDependence_t* row = CurrentRow();
    return row ? row->uFlags : 0;
}

const uint32_t* GetLedTestSequence()
{
    const FpgaDependence_t* row = CurrentRow();
    return row ? row->pLedTestSequence : nullptr;
}

int GetLedsSpecification(uint32_t* first, uint32_t* second, uint32_t* third)
{
    const FpgaDependence_t* row = CurrentRow();
    if (!row || !row->pLedsSpecification)
        return -1;
    if (first)
        *first = row->pLedsSpecification[0];
    if (second)
        *second = row->pLedsSpecification[1];
    if (third)
        *third = row->pLedsSpecification[2];
    return 0;
}
