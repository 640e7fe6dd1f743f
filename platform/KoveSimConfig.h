// The simulation settings of this process: KOVE_SIM, read at first use, and
// the placement of the device's fixed paths under it.
#ifndef KOVE_SIM_CONFIG_H
#define KOVE_SIM_CONFIG_H

#include <memory>
#include <string>

struct SSimConfig
{
    std::string sDir;     // the device directory, absolute, without "." and ".." parts
    std::string sRealDir; // the same with symbolic links resolved
    int iSetupError;      // 0 when the device is ready, else the errno of setting it up
};

// The simulation of this process, or null when the device is real. The first
// call reads KOVE_SIM and sets the device up (an empty or missing directory
// becomes the default device).
std::shared_ptr<const SSimConfig> SimConfig();

// Forgets what was read, so that the next use reads KOVE_SIM again.
void SimConfigReload();

// An absolute path without "." and ".." parts and repeated slashes ("/../x"
// gives "/x"); a trailing slash stays.
std::string SimNormalizePath(const std::string& absolutePath);

// Where the device path lies in the simulation: relative paths unchanged,
// paths inside the device directory unchanged, every other absolute path
// placed under the directory.
std::string SimMapPath(const SSimConfig& cfg, const std::string& devicePath);

#endif
