// Fuzz target: a file-access request of the device-message service as a command handler gets
// it (DevMsgFile.h).
//
// Input: one option byte (bit 0: read instead of write, bit 1: the client announced more
// fragments, bit 2: hand the data on as a later fragment of a pending write), then the request
// data (file header and file data). The request lies in a frame buffer as the service leaves
// it, and the file commands run below a directory of their own. Invariants: nothing appears
// beside that directory, a name the check lets pass stays below its start when resolved, and
// the reply stays inside the frame buffer.
#include "DevMsg.h"
#include "DevMsgFile.h"
#include "FuzzSupport.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

using kovefuzz::Fail;

namespace
{
constexpr uint16_t kCommand = 1100;

struct SPlace
{
    std::string sParent; // holds only "root"
    std::string sRoot;
};

// Made once and never destroyed, so that the exit handler that removes it can still read it.
const SPlace& Place()
{
    static const SPlace* place = [] {
        char pattern[] = "/tmp/kove_fuzz_devmsg_XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            Fail("mkdtemp");
        SPlace* p = new SPlace{pattern, std::string(pattern) + "/root"};
        mkdir(p->sRoot.c_str(), 0700);
        mkdir((p->sRoot + "/sub").c_str(), 0700);
        // The files the run wrote go with it.
        atexit([] { std::filesystem::remove_all(Place().sParent); });
        return p;
    }();
    return *place;
}

void CheckNothingBeside(const SPlace& place)
{
    DIR* dir = opendir(place.sParent.c_str());
    if (dir == nullptr)
        Fail("parent directory gone");
    while (dirent* entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "root")
            Fail("a file appeared outside the root");
    }
    closedir(dir);
}

// Resolves the name component by component: false when it climbs above its start.
bool StaysBelow(const char* name, size_t length)
{
    std::vector<std::string> stack;
    std::string part;
    for (size_t i = 0; i <= length; ++i)
    {
        if (i < length && name[i] != '/')
        {
            part += name[i];
            continue;
        }
        if (part == "..")
        {
            if (stack.empty())
                return false;
            stack.pop_back();
        }
        else if (!part.empty() && part != ".")
            stack.push_back(part);
        part.clear();
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    const SPlace& place = Place();
    const uint8_t option = data[0];
    const uint8_t* request = data + 1;
    const size_t length = size - 1;

    // The name check alone, on the request bytes as a name.
    const size_t nameLength = strnlen(reinterpret_cast<const char*>(request), length);
    if (nameLength > 0 &&
        DevMsgCheckPath(reinterpret_cast<const char*>(request), static_cast<int>(nameLength)) ==
            0 &&
        !StaysBelow(reinterpret_cast<const char*>(request), nameLength))
        Fail("a name that climbs out passed the check");

    tagDEVMSG_HANDLE_STRUCT record;
    memset(&record, 0, sizeof record);
    if (DevMsgAllocFrameBuff(&record) != 0 ||
        DevMsgGrowRequestBuffer(&record, static_cast<uint32_t>(length)) != 0)
        Fail("frame buffer");
    // Command head at 24, data from 28, as the frame loop leaves a first part.
    record.pucBuffer[DEVMSG_DESCRIPTOR_RESERVE] = static_cast<uint8_t>(kCommand);
    record.pucBuffer[DEVMSG_DESCRIPTOR_RESERVE + 1] = static_cast<uint8_t>(kCommand >> 8);
    if (length > 0)
        memcpy(record.pucBuffer + DEVMSG_HEADER_RESERVE, request, length);
    record.uReceived = static_cast<uint32_t>(length + DEVMSG_COMMAND_HEAD_SIZE);
    record.uRequestOffset = DEVMSG_HEADER_RESERVE;
    record.uFrameLength = static_cast<uint32_t>(length);
    record.iLastReceiveStatus = (option & 2) ? KESTREL_MORE_FRAGMENTS : 0;

    if (option & 1)
    {
        DevMsgFileReadRequest(&record, place.sRoot.c_str());
    }
    else
    {
        DevMsgFileWriteCommand(&record, kCommand, place.sRoot.c_str(), nullptr);
        if ((option & 4) && record.usPendingFileCommand == kCommand)
        {
            // The same bytes once more, as the next fragment of the pending write.
            record.uRequestOffset = DEVMSG_DESCRIPTOR_RESERVE;
            record.uReceived = static_cast<uint32_t>(length);
            if (length > 0)
                memmove(record.pucBuffer + DEVMSG_DESCRIPTOR_RESERVE, request, length);
            DevMsgFileWriteCommand(&record, kCommand, place.sRoot.c_str(), nullptr);
        }
    }
    if (static_cast<uint64_t>(record.uReplyOffset) + record.uReplyLength > record.uCapacity)
        Fail("reply outside the frame buffer");
    DevMsgFreeFrameBuff(&record);
    CheckNothingBeside(place);
    return 0;
}
