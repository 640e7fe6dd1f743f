// The simulated temperature sensor behind "/dev/LM75".
#include "KoveSimSensor.h"

#include "KovePlatNodes.h"
#include "KoveSimDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr uint32_t kDefaultWord = 40u << 8; // 40.0 degrees

std::string SensorPath(const std::string& dir)
{
    return dir + "/dev/lm75";
}

// The state file, made with the default word when the device has none yet.
int SensorOpen(const std::string& simDir, const char*, int, void** priv)
{
    const std::string path = SensorPath(simDir);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
    {
        std::string err;
        if (SimSensorSet(simDir, kDefaultWord, &err) != 0)
            return -1;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
        return -1;
    *priv = new std::string(simDir);
    return fd;
}

void SensorRelease(void* priv)
{
    delete static_cast<std::string*>(priv);
}

// Request 0 reads the sensor into the 32-bit word at arg; every other request is refused.
int SensorIoctl(int, void* priv, unsigned long request, void* arg)
{
    if (request != 0 || arg == nullptr)
    {
        errno = EINVAL;
        return -1;
    }
    uint32_t word = 0;
    if (SimSensorRead(*static_cast<std::string*>(priv), &word) != 0)
        return -1;
    std::memcpy(arg, &word, sizeof word);
    return 0;
}
} // namespace

int SimSensorRead(const std::string& dir, uint32_t* word)
{
    // The file is replaced whole when it changes: read it by its name every time.
    FILE* file = std::fopen(SensorPath(dir).c_str(), "re");
    if (file == nullptr)
    {
        if (errno != ENOENT)
            return -1;
        *word = kDefaultWord;
        return 0;
    }
    char line[32] = {0};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    char* end = nullptr;
    errno = 0;
    const unsigned long value = read ? std::strtoul(line, &end, 16) : 0;
    if (!read || end == line || errno != 0 || value > 0xFFFFFFFFul)
    {
        errno = EIO;
        return -1;
    }
    *word = static_cast<uint32_t>(value);
    return 0;
}

int SimSensorSet(const std::string& dir, uint32_t word, std::string* err)
{
    char line[32];
    std::snprintf(line, sizeof line, "0x%08X\n", word);
    if (SimMakeDirs(dir + "/dev") == 0 && SimWriteFileAtomic(SensorPath(dir), line) == 0)
        return 0;
    if (err != nullptr)
        *err = "cannot write " + SensorPath(dir) + ": " + std::strerror(errno);
    return -1;
}

const SPlatNodeOps g_tSimSensorOps = {SensorOpen,      PlatNodeCloseFd, SensorRelease,
                                      SensorIoctl,     PlatNodeNoRead,  PlatNodeNoWrite,
                                      PlatNodeNoLseek, PlatNodeNoMmap};
