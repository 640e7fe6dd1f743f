// CQTXXml: one XML command file in memory (a received request, the same document turned into
// the reply, or a document a driver builds itself) with the request vocabulary of the system:
//
//   <Command Name="..." KeepConnection="true">
//     <Signals Name="AnalogIn" ModuleSlot="2">
//       <NumberOfSignals><Value>1</Value></NumberOfSignals>
//       <Signal Number="0">
//         <UserText>Pump 1</UserText>
//         <SignalType .../>
//         <Properties>
//           <Property Name="Gain" Value="2"/>           (or <Property Name="Gain"><Value
//           Value="2"/>)
//         </Properties>
//       </Signal>
//     </Signals>
//     <Properties>...global settings...</Properties>
//     <Errors><Error Type=".." Name=".." Text=".." Location=".." ErrorNr=".."/></Errors>
//   </Command>
//
// Element and attribute names are matched without regard to case. Handlers select a signal
// and a property, read the value with a range check, and write a refusal onto that very
// property (Error and ErrorNo attributes), so the client finds it next to the setting.
//
// Selections are handles into the one tree; selecting at a higher level does not reset the
// lower ones. Missing nodes on reading give empty texts, -1 or false; writing without a
// selected node throws CQTXEXmlError "MissingXMLNode".
#ifndef QTX_XML_H
#define QTX_XML_H

#include "QTXCommandFile.h"
#include "QTXConvert.h"
#include "xmlParser.h"

#include <cstdint>
#include <string>

// The XML declaration (version "1.0", encoding "UTF-8") and two line feeds: the start of every
// document that the framework composes as text.
extern const std::string sXmlStart;
// The empty text.
extern const std::string sEmptyString;

class CQTXXml : public CQTXCommandFile
{
public:
    CQTXXml();
    // Deletes the tree, then gives freed heap memory back to the system.
    ~CQTXXml() override;

    // ---- Documents

    // 1 while a document is loaded, else 0.
    int GetType() const override;
    // Parses the file (the encoding guessed from its beginning) and selects the first child of
    // the top node named rootName (without regard to case). False when the file cannot be
    // parsed, the parser reports anything (warnings included), or no such root exists; the
    // object is then empty. The root's Name attribute becomes the root name.
    bool LoadFile(const char* path, const char* rootName);
    // The same with the root name that the command-tag table gives for the tag's low 15 bits.
    // A root under another name of the same tag number (such as "NOP" for "Ping") is taken
    // too. Tag 0 and unknown numbers fail.
    bool LoadFile(const char* path, unsigned short tag) override;
    // The same for `length` bytes of a file already read into memory.
    bool LoadBuffer(const char* data, size_t length, unsigned short tag);
    // What the parser reported on the last document loaded: its error text and position
    // ("Error: Too many elements, attributes and texts at line 1, column 9"); empty when it
    // parsed cleanly (also when its root was then not found).
    const std::string& GetParseError() const { return m_sParseError; }
    // How many elements, attributes, texts and clear sections a document loaded from now on
    // may hold: XML_MAX_ITEMS (what a client may send) unless set otherwise. A file that the
    // device stored itself, or that came with a driver, is loaded with XML_UNBOUNDED_ITEMS:
    // it loads whatever its size, as it always did.
    void SetItemBound(size_t bound) { m_nItemBound = bound; }
    // Writes the tree formatted; false when nothing is loaded or writing fails. The flag is
    // not used.
    bool StoreFile(const char* path, bool reply) override;
    // The document as StoreFile writes it, into memory; false when there is none.
    bool StoreBuffer(std::string& out) const;
    // True when the last StoreFile or StoreBuffer failed because the document would be longer
    // than XML_MAX_WRITTEN bytes (no file was made then).
    bool StoreTooLong() const { return m_bStoreTooLong; }
    // Makes the document its root element alone, with the root's attributes and the error: the
    // reply to a request whose full reply would be too long.
    void CutToError(const CQTXError& error);
    // Frees the tree and empties every handle.
    void Delete() override;
    // A new document: the declaration <?xml version="1.0" encoding="utf-8"?> and the root
    // element rootName with Name = name when name is given. False (and empty) for a null or
    // empty root name.
    bool New(const char* rootName, const char* name);
    // The same with the command-tag table's name for all 16 bits of the tag (the root is then
    // named "***ERROR***" for a number the table lacks; tag 0 fails). The length is not used.
    bool New(unsigned short tag, int length) override;

    // Appends an Info (severities 1 and 2), Warning (3) or Error (others) element to the
    // root's Errors element (created when missing) with Type, Name, Text and Location, and
    // ErrorNr for a negative error number other than -260. Nothing happens without a root.
    void SetError(CQTXError error) override;
    void SetStdError(short number) override;
    bool Cfg_1st_Check(unsigned char maximum) override;

    // The root's Name attribute as kept by LoadFile or New.
    std::string GetRootTagNameAttribute() const { return m_sRootName; }
    void SetAttributeKeepConnection(bool keep);
    bool GetAttributeKeepConnection() const;

    XMLNode GetXMLNodeRoot() const { return m_xRoot; }
    XMLNode GetXMLNodeSignalList() const { return m_xSignalList; }
    XMLNode GetXMLNodeSignal() const { return m_xSignal; }

    // ---- Selection

    // An empty name selects the root itself as the signal list and gives 0. Otherwise the
    // first Signals child whose Name (and ModuleSlot, when moduleSlot is not empty) match is
    // selected and its number of signals returned; -1 when there is none, or with create a
    // new list with the count 0.
    int SelectSignalListByName(const char* moduleSlot, const char* name, bool create);
    // The next Signals child (from the first with restart): its ModuleSlot and Name through
    // the two texts, its number of signals as the result; -1 and empty texts after the last.
    int SelectSignalListByOrder(std::string& moduleSlot, std::string& name, bool restart);
    // A negative number selects the list itself with its first Properties child (created with
    // create). Otherwise the list's Signal whose Number matches, with its first Properties;
    // with create a missing signal is added (and the list's count raised). Throws
    // CQTXEXmlError "MissingSignal" when the node is missing and cannot be created.
    void SelectSignalByNumber(int number, bool create);
    // The next Signal of the list (from the first with restart) with its first Properties; the
    // result is its Number, -1 after the last (the property list is then emptied).
    int SelectSignalByOrder(bool restart);
    // Selects the selected signal's Properties child with that Name; false (selection
    // unchanged) when there is none.
    bool SelectPropertyListByName(const char* name);
    // Selects the Property with that Name in the selected property list (with create, a
    // missing list is added to the signal). True when found; with create a missing property is
    // added and selected, and the result is still false. When nothing is selected in the end,
    // the property selection is empty.
    bool SelectPropertyByName(const char* name, bool create);
    // The next Property of the list (from the first with restart); its Name, or the empty text
    // (and no property selected) after the last.
    std::string SelectPropertyByOrder(bool restart);

    // ---- Value of the selected property

    // The Value attribute of the property's Value child, or of the property itself when it
    // has no such child; the empty text when absent.
    std::string GetStringProperty() const;
    int32_t GetIntProperty() const;
    double GetFloatProperty() const;
    // Values separated by ";" (at most `maximum`); the count read, or -1001 when floats are
    // not allowed and the text holds a ".".
    int GetIntArrayProperty(int32_t* values, int maximum, bool floatsAllowed) const;
    int GetFloatArrayProperty(double* values, int maximum) const;
    int GetBoolArrayProperty(bool* values, int maximum) const;
    // The table value of the text; the table's end value for an unknown text.
    int GetListProperty(const Item_t* table, bool ignoreCase) const;

    void SetStringProperty(const char* value);
    void SetStringProperty(const std::string& value);
    void SetIntProperty(int32_t value);
    void SetIntArrayProperty(const int32_t* values, int count);
    void SetFloatProperty(double value);
    void SetFloatArrayProperty(const double* values, int count);
    // The value's name in the table ("***ERROR***" when the table lacks it).
    void SetListProperty(const Item_t* table, int value);
    // Error = name and ErrorNo = text on the selected property, replacing earlier ones.
    void SetPropertyError(const char* name, const char* text);
    void SetPropertyError(const char* name, const std::string& text);

    // ---- Signals

    // Sets an attribute of the selected signal's SignalType child (created when missing).
    void SetSignalType(const char* attribute, const char* value);
    // The text of the UserText child of the signal's ModuleInfo (of the signal itself without
    // ModuleInfo); without such a text the signal's Name attribute; else the empty text.
    std::string GetName() const;
    // Writes the name as that UserText text, creating the element when missing.
    void SetName(const std::string& name);

    // ---- Reading with error recording
    //
    // Each selects the property by name, creating it when missing; a missing property gets
    // Error "MissingProperty" and the result is false. A refused value is recorded on the
    // property the same way.

    bool ReadBooleanProperty(const char* name, uint32_t* flags, int bit);
    // As ReadBooleanProperty, but a missing property records nothing.
    bool ReadBooleanPropertyNoError(const char* name, uint32_t* flags, int bit);
    bool ReadIntProperty(const char* name, int32_t* values, int count, bool checkRange,
                         int32_t minimum, int32_t maximum, bool floatsAllowed);
    bool ReadFloatProperty(const char* name, double* values, int count, bool checkRange,
                           double minimum, double maximum);
    bool ReadStringProperty(const char* name, std::string* value);
    bool ReadListProperty(const char* name, int* value, const Item_t* table, bool checkRange,
                          int minimum, int maximum, bool ignoreCase);
    // Selects or creates the property and sets its value; always true.
    bool WriteStringProperty(const char* name, const char* value);
    bool WriteStringProperty(const char* name, const std::string& value);

private:
    CQTXXml(const CQTXXml&) = delete;
    CQTXXml& operator=(const CQTXXml&) = delete;

    bool LoadTree(const char* path);
    bool LoadTree(const char* data, size_t length);
    // Keeps the parsed tree when the parser reported nothing; else empties the object.
    bool KeepTree(const XMLResults& results);
    bool SelectRoot(const char* rootName);
    // Selects the root the command-tag table gives for the tag (see LoadFile); empties the
    // object when there is none.
    bool SelectRootByTag(unsigned short tag);
    // The node that carries the selected property's Value attribute.
    XMLNode ValueNode() const;
    void SetValue(const char* value, const char* whatFails);
    // Selects or creates the property; records "MissingProperty" on a new one when asked.
    bool SelectForReading(const char* name, bool recordMissing);
    void RecordError(const char* name, const std::string& text);

    XMLNode m_xTop;
    XMLNode m_xRoot;
    XMLNode m_xSignalList;
    XMLNode m_xSignal;
    XMLNode m_xPropertyList;
    XMLNode m_xProperty;
    int m_iNextSignalList;
    int m_iNextSignal;
    int m_iNextProperty;
    std::string m_sRootName;
    std::string m_sParseError;
    size_t m_nItemBound = static_cast<size_t>(XML_MAX_ITEMS);
    mutable bool m_bStoreTooLong = false;
};

#endif
