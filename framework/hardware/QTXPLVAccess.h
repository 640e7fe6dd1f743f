// Access to the small file system a plug-in module keeps in its flash (FPGA images,
// calibration files): the directory with name, date, version and flash address of each file,
// and delete, read, write, defragment and format. One object works on one module (slot 0..4
// and its module id) through the back end of PlvBackend.h. In simulate mode it answers with
// canned entries and pauses instead, so that its callers can run without a module.
//
// The methods report false or empty text and never throw; failures are printed to standard
// output.
#ifndef QTX_PLV_ACCESS_H
#define QTX_PLV_ACCESS_H

#include <stdint.h>
#include <string>

struct tagQTXPLV_ENTRY
{
    std::string name;
    char date[20];   // "2001-01-31 07:30:01"
    char version[3]; // two characters
    uint32_t address;
};

class CQTXPLVAccess
{
public:
    // Valid for slot 0..4 and moduleId > 0; otherwise every operation fails.
    CQTXPLVAccess(int slot, int moduleId, bool simulate);
    ~CQTXPLVAccess();
    CQTXPLVAccess(const CQTXPLVAccess&) = delete;
    CQTXPLVAccess& operator=(const CQTXPLVAccess&) = delete;

    // Number of files (the directory is read when it is not at hand); -1 on failure.
    int GetDirLength();
    // Fields of file i; empty when the directory cannot be read or i is out of range.
    std::string GetDirEntryName(int i);
    std::string GetDirEntryDate(int i);
    std::string GetDirEntryVersion(int i);

    bool Delete(std::string name);
    bool Defrag();
    bool Format(bool full);
    // Copies the module's file remoteName into localPath.
    bool Read(std::string remoteName, std::string localPath);
    // Stores localPath in the module under its file name.
    bool Write(std::string localPath);
    // Reads the directory afresh.
    bool ReadDirectory();

private:
    void FreeEntries();
    const tagQTXPLV_ENTRY* Entry(int i);

    bool m_bSimulate;
    int m_iSlot;
    int m_iModuleId;
    int m_iEntries = 0; // 0 or less: not read yet
    tagQTXPLV_ENTRY* m_ptEntries = nullptr;
};

#endif
