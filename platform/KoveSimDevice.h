// A simulated device directory and how it comes to be. Its contents:
//
//   device.conf              the description (KoveSimDescription.h)
//   commands.log             command lines that would have changed the host
//   dev/fpga.state           FPGA registers and backplane bus (KoveSimState.h)
//   dev/interproc.state      the inter-process driver, made on its first open
//                            (KoveSimInterProc.h)
//   dev/mtd_<name>           flash partitions as plain files; dev/mtd_production
//                            holds the production data made from the description,
//                            the others start erased (0xFF)
//   dev/fail-write.mtd_<name>  while it exists, writes to that partition fail
//   dev/mem                  physical memory: a sparse file of 4 GiB
//   dev/ilseth               what was written to the IP-over-fiber device, a line
//                            per write
//   dev/.lock                held while the directory is set up or changed
//   .kovesim/bin/            stand-ins for host-changing tools, first on the
//                            PATH of every command the device runs
//   Applications/tmp/Driver/, tmp/Update/   fixed directories of the device
//
// Several processes may set up the same directory at once: the work is done
// under dev/.lock, and every file appears complete (written beside its final
// name, then renamed).
#ifndef KOVE_SIM_DEVICE_H
#define KOVE_SIM_DEVICE_H

#include "KoveSimDescription.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

// Size of the simulated physical memory (the 32-bit physical space).
constexpr uint64_t kSimMemBytes = 1ull << 32;
// Size of the simulated production-data partition.
constexpr size_t kSimProductionBytes = 65536;

// Makes dir a device when it is not one yet: an empty or missing directory
// becomes the default device, a directory with only a description becomes
// that device. A device that is set up (it has its state file) is left as it
// is, whatever was removed from it. Returns 0, or -1 with errno (EINVAL when
// device.conf is malformed).
int SimEnsureDevice(const std::string& dir);

// A sentence for a failed SimEnsureDevice (error is its errno).
std::string SimSetupError(const std::string& dir, int error);

// Writes the description and resets the device: FPGA state, production data
// and physical memory start afresh; other flash partitions, files and
// commands.log stay. Returns 0 or -1 with errno.
int SimCreateDevice(const std::string& dir, const SSimDescription& desc);

// Reads device.conf. Returns 0, or -1 with a sentence in err.
int SimReadDescription(const std::string& dir, SSimDescription* desc, std::string* err);

// Changes an input of a running device, in its description and its state.
int SimSetHexSwitches(const std::string& dir, const uint8_t hex[4], std::string* err);
int SimSetFactoryButton(const std::string& dir, bool on, std::string* err);

// The production-data partition image for a description: binary head of 512
// bytes (serial number text at 16, product name at 32, ordering number at
// 64), the rest erased (0xFF).
std::string SimProductionImage(const SSimDescription& desc);

// The flash partitions of a device beside the production data, with their
// sizes; a new device has them erased (0xFF).
struct SSimPartition
{
    const char* szName; // "data" for "/dev/mtd_data"
    size_t uBytes;
};
extern const SSimPartition g_atSimPartitions[6];

// The file whose presence makes writes to the partition "/dev/mtd_<name>" fail
// with EIO, and setting or clearing it. 0, or -1 with a sentence in err.
std::string SimFlashFaultPath(const std::string& dir, const std::string& name);
int SimSetFlashWriteFault(const std::string& dir, const std::string& name, bool fail,
                          std::string* err);

// Holds a GPIO line (80-88) active or inactive, or lets it follow the switches
// and the button again (held false). 0, or -1 with a sentence in err.
int SimSetGpioLine(const std::string& dir, int line, bool held, bool active, std::string* err);

// mkdir -p. 0 or -1 with errno.
int SimMakeDirs(const std::string& path);
// Writes a file completely beside its name, then renames it into place.
int SimWriteFileAtomic(const std::string& path, const std::string& data, mode_t mode = 0644);

#endif
