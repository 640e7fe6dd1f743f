// Fuzz target: the static fiber-optic configuration file as the routing driver reads it.
//
// The input is the file. It is placed as the working copy on a simulated device of its own and
// read by the routing driver's reader. An accepted file (other than one that selects "None")
// must leave values the layout can use: a known signal set, a fiber-optic slot and offsets
// inside it, a debounce time of 16 bits. A refused file must leave the values in force as they
// were and tell why in the error file; an accepted one leaves no error file.
#include "FuzzSupport.h"
#include "KovePlatform.h"
#include "QTXDuf.h"

#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

using kovefuzz::Fail;

namespace
{
class CFuzzDuf : public CDuf
{
public:
    explicit CFuzzDuf(const std::string& directory)
    {
        sDirectory = directory;
        sModuleName = sFileName = GetModuleName();
    }
};

// The simulated device in a directory of its own, removed when the run ends.
struct CDevice
{
    std::string sRoot;
    std::unique_ptr<CFuzzDuf> pDuf;

    CDevice()
    {
        char root[] = "/tmp/fuzz_static_fo_XXXXXX";
        if (mkdtemp(root) == nullptr)
            Fail("no directory for the simulated device");
        sRoot = root;
        setenv("KOVE_SIM", root, 1);
        PlatReloadSimulation();
        std::filesystem::create_directories(PlatPath(std::string("/tmp/Update")));
        sQTXRootDirectory = PlatPath(std::string("/Applications/tmp/Driver/"));
        std::filesystem::create_directories(sQTXRootDirectory + "log");
        pDuf = std::make_unique<CFuzzDuf>(sQTXRootDirectory);
    }
    ~CDevice()
    {
        pDuf.reset();
        std::error_code ignored;
        std::filesystem::remove_all(sRoot, ignored);
    }
    static CDevice& Device()
    {
        static CDevice device;
        return device;
    }
};

bool Same(const StaticFoConfig& a, const StaticFoConfig& b)
{
    return a.FoMode == b.FoMode && a.FoSlot == b.FoSlot && a.InAoOffset == b.InAoOffset &&
           a.InDoOffset == b.InDoOffset && a.OutAiOffset == b.OutAiOffset &&
           a.OutDiOffset == b.OutDiOffset && a.DebounceTime == b.DebounceTime &&
           a.UseZtmDi == b.UseZtmDi && a.UseStatusSignals == b.UseStatusSignals &&
           a.UseControlSignals == b.UseControlSignals && a.Compatibility == b.Compatibility;
}

bool Usable(const StaticFoConfig& c)
{
    if (c.FoMode < 1 || c.FoMode >= DUF_FO_SETS)
        return false;
    const int32_t count = FoSet(c.FoMode).iCount;
    const auto inSet = [count](int32_t offset) { return offset >= 0 && offset < count; };
    return (IsSixteenSlotSet(c.FoMode) ? c.FoSlot >= 0 && c.FoSlot <= 15 : c.FoSlot == 0) &&
           inSet(c.InAoOffset) && inSet(c.InDoOffset) && inSet(c.OutAiOffset) &&
           inSet(c.OutDiOffset) && c.DebounceTime >= 0 && c.DebounceTime <= 65535;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CDevice& device = CDevice::Device();
    CFuzzDuf& duf = *device.pDuf;
    const std::string working = PlatPath(std::string(kStaticFoWorkingCopy));
    const std::string errorFile = PlatPath(std::string(kStaticFoErrorFile));
    FILE* f = fopen(working.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        Fail("working copy not written");

    const StaticFoConfig before = duf.StaticFoValues();
    const bool accepted = duf.ReadQWConfig4ZTM(kStaticFoWorkingCopy, true);
    const bool errorWritten = access(errorFile.c_str(), F_OK) == 0;
    if (accepted)
    {
        if (errorWritten)
            Fail("accepted file with an error file");
        if (!duf.StaticFoNone() && !Usable(duf.StaticFoValues()))
            Fail("accepted values the layout cannot use");
    }
    else
    {
        if (!errorWritten)
            Fail("refused file without an error file");
        if (!Same(before, duf.StaticFoValues()))
            Fail("refused file changed the values in force");
    }
    return 0;
}
