// The list-level properties of one signal list of an XML module description: the address data
// a module gives the routing driver for that list. Used by the completion of a request and by
// the target module of a module-to-module request.
#ifndef DUF_LIST_PROPERTIES_H
#define DUF_LIST_PROPERTIES_H

#include <cstdint>
#include <string>

#include "QTXConvert.h"
#include "QTXError.h"
#include "QTXXml.h"

// The error of a property the description lacks.
inline CQTXECommunicationError WrongAnswer(const std::string& parameter, int line)
{
    return CQTXECommunicationError("WrongModuleAnswer", parameter, "QTXDuf", line, Error);
}

// The list-level properties of the named list; every read fails when the list is absent.
class CDufListProperties
{
public:
    CDufListProperties(CQTXXml& document, const std::string& list) : m_rDocument(document)
    {
        m_rDocument.SelectSignalListByName("", list.c_str(), false);
        try
        {
            m_rDocument.SelectSignalByNumber(-1, false);
            m_bPresent = true;
        }
        catch (CQTXError&)
        {
            m_bPresent = false;
        }
    }
    // True and the value when the property is there.
    bool Read(const std::string& name, int32_t& value)
    {
        if (!m_bPresent || !m_rDocument.SelectPropertyByName(name.c_str(), false))
            return false;
        value = m_rDocument.GetIntProperty();
        return true;
    }
    int32_t Required(const std::string& name, int line)
    {
        int32_t value = 0;
        if (!Read(name, value))
            throw WrongAnswer("Can not read " + name, line);
        return value;
    }
    // False when the list was not found.
    bool Present() const { return m_bPresent; }
    uint8_t Optional(const std::string& name)
    {
        int32_t value = 0;
        return Read(name, value) ? static_cast<uint8_t>(value) : 0;
    }
    // "Direction" when present: 1 for "Input", 0 for "Output".
    void Direction(uint8_t& direction, int line)
    {
        if (!m_bPresent || !m_rDocument.SelectPropertyByName("Direction", false))
            return;
        const std::string value = m_rDocument.GetStringProperty();
        if (SameString(value, "Input"))
            direction = 1;
        else if (SameString(value, "Output"))
            direction = 0;
        else
            throw WrongAnswer("Direction has undefined value", line);
    }

private:
    CQTXXml& m_rDocument;
    bool m_bPresent = false;
};

#endif
