// A module description document written as text straight into a file through a bounded
// buffer, without a document tree: root element Module with its ModuleInfo section, named
// property lists, comments and signal lists. A tool or driver that must describe a module with
// many signals produces the file with bounded memory; drivers read it back with CQTXXml.
//
// Indentation follows the nesting: property lists, properties and comments stand at one tab
// outside signal lists, two inside a signal list and three inside a signal. Names and texts are
// escaped for XML (&, <, >, ").
#ifndef QTX_GENERATE_MODULE_H
#define QTX_GENERATE_MODULE_H

#include <cstdio>
#include <string>

#include "QTXConvert.h"

class CQTXGenerateModule
{
public:
    // Opens path and writes the head and the ModuleInfo section. Throws "CanNotWriteFile" or
    // "NoRam" (FatalError).
    CQTXGenerateModule(const char* path, const char* moduleName, const char* description,
                       const char* userText, int minSysClockPeriod);
    // Opens path and starts it with headText as it is; the document ends with "</" rootName ">".
    CQTXGenerateModule(const char* path, const char* headText, const char* rootName);
    // Closes the document when that was not done (errors are not reported from here).
    ~CQTXGenerateModule();
    CQTXGenerateModule(const CQTXGenerateModule&) = delete;
    CQTXGenerateModule& operator=(const CQTXGenerateModule&) = delete;

    // Nothing for a null or empty name; otherwise closes an open property list and opens one
    // with this name.
    void AddNamedPropertyList(const char* name);
    // Writes a property, in an unnamed property list when none is open.
    void AddProperty(const char* name, const char* value);
    void AddComment(const char* text);
    // Closes the open signal, property list and signal list, then starts a list of count
    // signals; input gives the direction of its signals.
    void AddSignalList(const char* name, int count, bool input);
    // Closes the open signal and property list and starts a signal; its description is written
    // when it is closed. Unit only for a non-null unit; MinValue and MaxValue only with a unit,
    // a type other than VraFLOAT and min below max.
    void AddSignal(int number, const char* userText, const char* description, _VraType type,
                   const char* unit, double min, double max);
    // Closes everything, ends the root, writes the buffer out and closes the file. Throws
    // "FileError" when the file could not take everything.
    void Close();

    // Appends length characters of text to the buffer (the whole text for a negative length).
    void CStringAddToBuffer(const char* text, int length);
    // Writes the closing texts asked for, then writes the buffer out when more than half of it
    // is used or the root was closed.
    void FlushBufferIfNeeded(bool closeSignal, bool closeList, bool closeRoot);

private:
    void Open(const char* path);
    void CheckUsable() const;
    void Add(const std::string& text)
    {
        CStringAddToBuffer(text.data(), static_cast<int>(text.size()));
    }
    void WriteOut();
    void ClosePropertyList();
    int Depth() const;

    FILE* m_pFile = nullptr;
    char* m_pBuffer = nullptr;
    size_t m_uUsed = 0;
    long long m_llWritten = 0;
    bool m_bWriteFailed = false;
    bool m_bSignalListOpen = false;
    bool m_bSignalOpen = false;
    bool m_bPropertyListOpen = false;
    int m_iPropertyListDepth = 1;
    std::string m_sSignalDescription;
    bool m_bInput = true;
    std::string m_sRootName = "Module";
};

#endif
