// The streaming writer of module description documents.
#include "QTXGenerateModule.h"

#include <cstdlib>
#include <cstring>

#include "QTXError.h"
#include "QTXMessages.h"
#include "QTXXml.h"

namespace
{
constexpr size_t kBufferBytes = 16000;
constexpr size_t kFlushAbove = kBufferBytes / 2;
constexpr const char* kSchemaInstance = "http://www.w3.org/2001/XMLSchema-instance";

std::string Tabs(int count)
{
    return std::string(static_cast<size_t>(count), '\t');
}

std::string Text(const char* text)
{
    return EscapeXmlValue(text ? text : "");
}

std::string Element(int tabs, const char* tag, const std::string& content)
{
    return Tabs(tabs) + "<" + tag + ">" + content + "</" + tag + ">\n";
}
} // namespace

CQTXGenerateModule::CQTXGenerateModule(const char* path, const char* moduleName,
                                       const char* description, const char* userText,
                                       int minSysClockPeriod)
{
    Open(path);
    Add(sXmlStart + "\n");
    Add("<Module Name=\"" + Text(moduleName) + "\" Version=\"1.0\" xmlns:xsi=\"" + kSchemaInstance +
        "\">\n");
    Add("\t<ModuleInfo>\n" + Element(2, "Description", Text(description)) +
        Element(2, "UserText", Text(userText)) + "\t\t<LockedBy/>\n" +
        Element(2, "MinSysClockPeriod", std::to_string(minSysClockPeriod)) + "\t</ModuleInfo>\n");
}

CQTXGenerateModule::CQTXGenerateModule(const char* path, const char* headText, const char* rootName)
    : m_sRootName(rootName ? rootName : "")
{
    Open(path);
    CStringAddToBuffer(headText, -1);
}

void CQTXGenerateModule::Open(const char* path)
{
    m_pFile = path ? fopen(path, "w") : nullptr;
    if (m_pFile == nullptr)
        throw CQTXError("CanNotWriteFile",
                        std::string("Can not write to file ") + (path ? path : ""), __FILE__,
                        __LINE__, FatalError);
    m_pBuffer = static_cast<char*>(calloc(kBufferBytes, 1));
    if (m_pBuffer == nullptr)
    {
        fclose(m_pFile);
        m_pFile = nullptr;
        throw CQTXError("NoRam", "No memory available", __FILE__, __LINE__, FatalError);
    }
}

CQTXGenerateModule::~CQTXGenerateModule()
{
    if (m_pFile != nullptr)
    {
        try
        {
            Close();
        }
        catch (const CQTXError&)
        {
            // A destructor cannot report; Close() called by the owner does.
        }
    }
    free(m_pBuffer);
}

void CQTXGenerateModule::CheckUsable() const
{
    if (m_pBuffer == nullptr || m_pFile == nullptr)
        throw CQTXError("InternalError", "Can not work due to previous fatal error", __FILE__,
                        __LINE__, FatalError);
}

// Property lists, properties and comments stand one level deeper per open container.
int CQTXGenerateModule::Depth() const
{
    return m_bSignalOpen ? 3 : m_bSignalListOpen ? 2 : 1;
}

void CQTXGenerateModule::WriteOut()
{
    if (m_uUsed == 0)
        return;
    if (fwrite(m_pBuffer, 1, m_uUsed, m_pFile) != m_uUsed)
        m_bWriteFailed = true;
    m_llWritten += static_cast<long long>(m_uUsed);
    m_uUsed = 0;
}

// Into the buffer in pieces of what is free (less 10 bytes), with a write-out after each piece,
// so that no text of any length goes past the buffer.
void CQTXGenerateModule::CStringAddToBuffer(const char* text, int length)
{
    CheckUsable();
    if (text == nullptr)
        return;
    size_t left = length < 0 ? strlen(text) : static_cast<size_t>(length);
    while (left > 0)
    {
        size_t room = kBufferBytes - m_uUsed;
        if (left <= room)
        {
            memcpy(m_pBuffer + m_uUsed, text, left);
            m_uUsed += left;
            return;
        }
        size_t piece = room > 10 ? room - 10 : 0;
        memcpy(m_pBuffer + m_uUsed, text, piece);
        m_uUsed += piece;
        text += piece;
        left -= piece;
        WriteOut();
    }
}

void CQTXGenerateModule::ClosePropertyList()
{
    if (m_bPropertyListOpen)
        Add(Tabs(m_iPropertyListDepth) + "</Properties>\n");
    m_bPropertyListOpen = false;
}

void CQTXGenerateModule::FlushBufferIfNeeded(bool closeSignal, bool closeList, bool closeRoot)
{
    CheckUsable();
    if (closeSignal || closeList || closeRoot)
        ClosePropertyList();
    if ((closeSignal || closeList || closeRoot) && m_bSignalOpen)
    {
        Add(Element(3, "Description", Text(m_sSignalDescription.c_str())) + "\t\t</Signal>\n");
        m_bSignalOpen = false;
        m_sSignalDescription.clear();
    }
    if ((closeList || closeRoot) && m_bSignalListOpen)
    {
        Add("\t</Signals>\n");
        m_bSignalListOpen = false;
    }
    if (closeRoot)
        Add("</" + m_sRootName + ">");
    if (m_uUsed > kFlushAbove || closeRoot)
        WriteOut();
}

void CQTXGenerateModule::AddNamedPropertyList(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return;
    FlushBufferIfNeeded(false, false, false);
    ClosePropertyList();
    m_iPropertyListDepth = Depth();
    Add(Tabs(m_iPropertyListDepth) + "<Properties Name=\"" + Text(name) + "\">\n");
    m_bPropertyListOpen = true;
}

void CQTXGenerateModule::AddProperty(const char* name, const char* value)
{
    FlushBufferIfNeeded(false, false, false);
    if (!m_bPropertyListOpen)
    {
        m_iPropertyListDepth = Depth();
        Add(Tabs(m_iPropertyListDepth) + "<Properties>\n");
        m_bPropertyListOpen = true;
    }
    Add(Tabs(m_iPropertyListDepth + 1) + "<Property Name=\"" + Text(name) + "\" Value=\"");
    Add(Text(value));
    Add("\" />\n");
}

void CQTXGenerateModule::AddComment(const char* text)
{
    FlushBufferIfNeeded(false, false, false);
    Add(Tabs(Depth() + 1) + "<!-- ");
    CStringAddToBuffer(text, -1);
    Add(" -->\n");
}

void CQTXGenerateModule::AddSignalList(const char* name, int count, bool input)
{
    FlushBufferIfNeeded(true, true, false);
    const std::string n = std::to_string(count);
    Add("\t<Signals Name=\"" + Text(name) + "\">\n\t\t<NumberOfSignals>\n" + Element(3, "Min", n) +
        Element(3, "Max", n) + Element(3, "Default", n) + Element(3, "Value", n) +
        "\t\t</NumberOfSignals>\n");
    m_bSignalListOpen = true;
    m_bInput = input;
}

void CQTXGenerateModule::AddSignal(int number, const char* userText, const char* description,
                                   _VraType type, const char* unit, double min, double max)
{
    FlushBufferIfNeeded(true, false, false);
    std::string text = "\t\t<Signal Number=\"" + std::to_string(number) + "\">\n" +
                       Element(3, "UserText", Text(userText)) + "\t\t\t<SignalType Type=\"" +
                       ItemIntToString(aTypeItems, type) + "\" NoOfBits=\"" +
                       ItemIntToString(aLengthItems, type) + "\"";
    if (unit != nullptr)
    {
        text += " Unit=\"" + Text(unit) + "\"";
        if (type != VraFLOAT && min < max)
            text +=
                " MinValue=\"" + FloatToString(min) + "\" MaxValue=\"" + FloatToString(max) + "\"";
    }
    text += std::string(" Direction=\"") + (m_bInput ? "Input" : "Output") + "\" />\n";
    Add(text);
    m_bSignalOpen = true;
    m_sSignalDescription = description ? description : "";
}

void CQTXGenerateModule::Close()
{
    if (m_pFile == nullptr)
        return;
    FlushBufferIfNeeded(true, true, true);
    const bool closeFailed = fclose(m_pFile) != 0;
    m_pFile = nullptr;
    if (m_bWriteFailed || closeFailed)
        throw CQTXError("FileError", "Can not write XML file", __FILE__, __LINE__, FatalError);
}
