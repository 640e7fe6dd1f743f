// The static fiber-optic mode: on the central-module device the routing driver sets up a fixed
// fiber-optic frame by itself. The module signals of slots X1..X5 are laid into the frame's
// output, the frame's input onto the modules' outputs, at places that follow from the
// configuration file "Config_StaticFO.xml" and the module types.
#ifndef DUF_STATIC_FO_H
#define DUF_STATIC_FO_H

#include <cstdint>
#include <string>

// Module slots X1..X5 (ports 62100..62104) and signal types 1..4 (index 0 unused).
constexpr int DUF_STATIC_SLOTS = 5;
constexpr int DUF_SIGNAL_TYPES = 5;
enum DufSignalType
{
    kDigitalIn = 1,
    kAnalogIn = 2,
    kDigitalOut = 3,
    kAnalogOut = 4
};
extern const char* const g_aSignalListNames[DUF_SIGNAL_TYPES];
extern const char* const g_aSignalListShortNames[DUF_SIGNAL_TYPES];

// Device paths of the configuration file's places, the error file and the signal list.
extern const char* const kStaticFoWorkingCopy; // "/tmp/Update/Config_StaticFO.xml"
extern const char* const kStaticFoErrorFile;   // "/tmp/Update/Err_Config_StaticFO.xml"
extern const char* const kStaticFoSignalList;  // "/tmp/Update/FoSignalList.txt"
extern const char* const kStaticFoStoredName;  // in the configuration directory
extern const char* const kStaticFoFactoryName; // in the driver directory

// A file as the watcher tells versions of it apart: modification time in nanoseconds and size.
struct StaticFoFileStamp
{
    int64_t Time = -1;
    int64_t Size = -1;
};
// The stamp of a file; false when it does not exist.
bool ReadStaticFoFileStamp(const std::string& path, StaticFoFileStamp& stamp);
// The working copy as the driver itself last wrote it (a refused file put back, the factory
// default): the watcher takes a file with exactly this stamp for the driver's own change and
// any other for a new upload. Shared by the request thread, which notes it, and the watcher.
void NoteOwnStaticFoWrite(const StaticFoFileStamp& stamp);
bool IsOwnStaticFoWrite(const StaticFoFileStamp& stamp);
// Forgets the noted write once the watcher has seen it.
void ForgetOwnStaticFoWrite();

// One fiber-optic signal set: `count` analog values (2 bytes, 4 in the real sets) in an area of
// `bytes`, followed by `count` digital signals; the 16-slot sets carry one such block per
// fiber-optic slot.
struct FoSignalSet
{
    const char* sSignals; // the value of FO_Signals
    const char* sName;
    int32_t iPeriod; // microseconds
    int32_t iFrames; // OutputFrames / InputFrames code
    int32_t iBytes;
    int32_t iCount;
    bool bReal;
};
constexpr int DUF_FO_SETS = 14; // index 0: off or unknown
extern const FoSignalSet aFoSignalSets[DUF_FO_SETS];
inline bool IsSixteenSlotSet(int set)
{
    return set >= 11 && set <= 13;
}
inline const FoSignalSet& FoSet(int set)
{
    return aFoSignalSets[set >= 0 && set < DUF_FO_SETS ? set : 0];
}

// The values of the configuration in force.
struct StaticFoConfig
{
    int32_t FoMode = 0; // signal set 1..13
    int32_t FoSlot = 0;
    int32_t InAoOffset = 0;  // analog values
    int32_t InDoOffset = 0;  // digital signals
    int32_t OutAiOffset = 0; // analog values
    int32_t OutDiOffset = 0; // digital signals
    int32_t DebounceTime = 0;
    bool UseZtmDi = false;
    bool UseStatusSignals = false;
    bool UseControlSignals = false;
    bool Compatibility = false;
};

// Signal numbers FirstSignal..LastSignal of one type, ByteLength 0: the type is not used.
struct SignalRange
{
    uint8_t FirstSignal = 0;
    uint8_t LastSignal = 0;
    uint8_t ByteLength = 0;
};

struct ModuleSignals
{
    int32_t ModuleId = 0; // product-table id, 0: none
    SignalRange Range[DUF_SIGNAL_TYPES];
};

// The ranges a module of that product id contributes under the configuration's switches.
void FillModuleRanges(ModuleSignals& module, const StaticFoConfig& config);

#endif
