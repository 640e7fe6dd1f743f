#include "KoveSimConfig.h"

#include "KovePlatMutex.h"
#include "KoveSimDevice.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace
{
CPlatMutex& ConfigMutex()
{
    static CPlatMutex m;
    return m;
}

struct SConfigSlot
{
    bool bLoaded = false;
    std::shared_ptr<const SSimConfig> pConfig;
};

SConfigSlot& Slot()
{
    static SConfigSlot slot;
    return slot;
}

std::shared_ptr<const SSimConfig> LoadConfig()
{
    const char* env = getenv("KOVE_SIM");
    if (env == nullptr || *env == '\0')
        return nullptr;
    std::string dir = env;
    if (dir[0] != '/')
    {
        char cwd[PATH_MAX];
        dir = std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + dir;
    }
    dir = SimNormalizePath(dir);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();

    auto cfg = std::make_shared<SSimConfig>();
    cfg->sDir = dir;
    cfg->iSetupError = SimEnsureDevice(dir) == 0 ? 0 : (errno ? errno : EIO);
    char real[PATH_MAX];
    cfg->sRealDir = realpath(dir.c_str(), real) ? std::string(real) : dir;
    return cfg;
}

bool Inside(const std::string& path, const std::string& dir)
{
    return !dir.empty() && path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/' || dir == "/");
}
} // namespace

std::shared_ptr<const SSimConfig> SimConfig()
{
    std::lock_guard<CPlatMutex> guard(ConfigMutex());
    SConfigSlot& slot = Slot();
    if (!slot.bLoaded)
    {
        slot.pConfig = LoadConfig();
        slot.bLoaded = true;
    }
    return slot.pConfig;
}

void SimConfigReload()
{
    std::lock_guard<CPlatMutex> guard(ConfigMutex());
    Slot().bLoaded = false;
    Slot().pConfig.reset();
}

std::string SimNormalizePath(const std::string& path)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size())
    {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        if (part == "..")
        {
            if (!parts.empty())
                parts.pop_back();
        }
        else if (!part.empty() && part != ".")
        {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    if (out.empty())
        return "/";
    bool trailing =
        !path.empty() &&
        (path.back() == '/' || (path.size() >= 2 && path.compare(path.size() - 2, 2, "/.") == 0) ||
         (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0));
    if (trailing)
        out += "/";
    return out;
}

std::string SimMapPath(const SSimConfig& cfg, const std::string& devicePath)
{
    if (devicePath.empty() || devicePath[0] != '/')
        return devicePath;
    std::string path = SimNormalizePath(devicePath);
    if (Inside(path, cfg.sDir) || Inside(path, cfg.sRealDir))
        return path;
    if (path == "/")
        return cfg.sDir + "/";
    return cfg.sDir + path;
}
