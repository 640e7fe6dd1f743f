// The tool's driver object, the helpers every action shares, the two number conversions and the
// temperature reading.
#include "QTXTools.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>

#include "KovePlatform.h"
#include "ModuleMemory.h"
#include "QTXConvert.h"

std::string sDefaultDirectory;

namespace
{
CTools* pToolsDevice = nullptr;
} // namespace

CTools* GetToolsDevice(bool exitOnError)
{
    if (pToolsDevice != nullptr)
        return pToolsDevice;
    try
    {
        pToolsDevice = new CTools();
        pToolsDevice->Init(sDefaultDirectory, -1, "", true);
    }
    catch (const CQTXError& error)
    {
        if (error.ErrorParameter().empty())
            std::printf("Error initializing device\n");
        else
            std::printf("Error initializing device: %s\n", error.ErrorParameter().c_str());
        std::fflush(stdout);
        if (exitOnError)
            std::exit(QTX_EXIT_NO_DEVICE);
        // The object stays alive: the framework may still point at it.
        pToolsDevice = nullptr;
    }
    return pToolsDevice;
}

std::string ToolArgToString(const char* argument)
{
    return TCHARPointerToString(argument);
}

FILE* OpenToolFile(const std::string& path, const char* mode)
{
    FILE* file = std::fopen(path.c_str(), mode);
    const char* purpose = mode[0] == 'r' ? "reading" : "writing";
    if (file != nullptr)
        std::printf("Opened file \"%s\" for %s\n", path.c_str(), purpose);
    else
        std::printf("ERROR: can not open file \"%s\" for %s!\n", path.c_str(), purpose);
    return file;
}

void ReadConsoleLine(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return;
    int c = std::getchar();
    while (c == ' ' || c == '\t' || c == '\n' || c == '\r')
        c = std::getchar();
    int n = 0;
    while (c != EOF && c != '\n')
    {
        if (n < size - 1)
            buffer[n++] = static_cast<char>(c);
        c = std::getchar();
    }
    buffer[n] = '\0';
}

std::string ReadConsoleString()
{
    std::string text;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        text += static_cast<char>(c);
    return text;
}

void ToolsSleepMs(int ms)
{
    if (ms <= 0)
        return;
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
    {
    }
}

bool FloatToHex(CToolsCall& call)
{
    float value = static_cast<float>(StringToFloat(call.Param(0)));
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::printf("%lf = 0x%08X\n", static_cast<double>(value), bits);
    return true;
}

bool HexToFloat(CToolsCall& call)
{
    uint32_t bits = static_cast<uint32_t>(StringToInt(call.Param(0)));
    float value;
    std::memcpy(&value, &bits, sizeof value);
    std::printf("0x%08lX = %lf\n", static_cast<unsigned long>(bits), static_cast<double>(value));
    return true;
}

namespace
{
bool bTemperatureSlotKnown = false;
int iTemperatureSlot = 0;
int iSensorHandle = -1;

void CloseSensor()
{
    if (iSensorHandle >= 0)
        PlatClose(iSensorHandle);
    iSensorHandle = -1;
}
} // namespace

double GetTemperature(int slot, bool keepOpen)
{
    if (!bTemperatureSlotKnown || slot != iTemperatureSlot)
    {
        if (slot > 0)
            SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot);
        CloseSensor();
        bTemperatureSlotKnown = true;
        iTemperatureSlot = slot;
    }
    if (slot == 0)
    {
        if (iSensorHandle < 0)
            iSensorHandle = PlatOpen("/dev/LM75", O_RDWR);
        if (iSensorHandle < 0)
            return -1000.0;
        uint32_t word = 0;
        int result = PlatIoctl(iSensorHandle, 0, &word);
        if (!keepOpen)
            CloseSensor();
        if (result < 0)
            return -1000.0;
        return static_cast<int16_t>(word & 0xFFFF) / 256.0;
    }
    if (slot >= 1 && slot <= 4)
    {
        unsigned char address[4] = {0xAE, 0, 0, 0};
        unsigned char value[2] = {0, 0};
        bool ok = SrwCommand(SRW_RAM_READ, address, 4, value, 2, 0, 3, slot);
        if (!keepOpen && !SrwCommand(-1, nullptr, 0, nullptr, 0, 0, 0, slot))
            ok = false;
        if (!ok)
            return -1000.0;
        return static_cast<int16_t>(value[0] | (value[1] << 8)) / 100.0;
    }
    return -1000.0;
}
