#include "QTXXml.h"

#include "QTXCommandTags.h"
#include "QTXGlobal.h"

const std::string sXmlStart = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n";
const std::string sEmptyString;

namespace
{
// Location of the errors this unit throws.
const char* const kUnit = "QTXXml";

const char* TagName(unsigned tag)
{
    return ItemIntToString(aCommandTags, static_cast<int>(tag));
}

int32_t NumberOfSignals(const XMLNode& list)
{
    return StringToInt(list.getChildNode("NumberOfSignals").getChildNode("Value").getText());
}
} // namespace

CQTXXml::CQTXXml() : m_iNextSignalList(0), m_iNextSignal(0), m_iNextProperty(0) {}

CQTXXml::~CQTXXml()
{
    Delete();
    heap_minimize();
}

// ---- Documents

int CQTXXml::GetType() const
{
    return m_xTop.isEmpty() ? QTX_FILE_TYPE_NONE : QTX_FILE_TYPE_XML;
}

bool CQTXXml::LoadTree(const char* path)
{
    Delete();
    XMLResults results;
    m_xTop = XMLNode::openFileHelper(path, nullptr, &results, m_nItemBound);
    return KeepTree(results);
}

bool CQTXXml::LoadTree(const char* data, size_t length)
{
    Delete();
    XMLResults results;
    m_xTop = XMLNode::openBufferHelper(data, length, nullptr, &results, m_nItemBound);
    return KeepTree(results);
}

bool CQTXXml::KeepTree(const XMLResults& results)
{
    if (results.error != eXMLErrorNone || m_xTop.isEmpty())
    {
        Delete();
        if (results.error != eXMLErrorNone)
            m_sParseError = std::string(XMLNode::getError(results.error)) + " at line " +
                            std::to_string(results.nLine) + ", column " +
                            std::to_string(results.nColumn);
        return false;
    }
    return true;
}

bool CQTXXml::SelectRoot(const char* rootName)
{
    if (rootName == nullptr || *rootName == '\0')
        return false;
    m_xRoot = m_xTop.getChildNode(rootName);
    if (m_xRoot.isEmpty())
        return false;
    m_sRootName = CharPointerToString(m_xRoot.getAttribute("Name"));
    return true;
}

bool CQTXXml::LoadFile(const char* path, const char* rootName)
{
    if (!LoadTree(path))
        return false;
    if (!SelectRoot(rootName))
    {
        Delete();
        return false;
    }
    return true;
}

bool CQTXXml::LoadFile(const char* path, unsigned short tag)
{
    if ((tag & 0x7FFFu) == 0)
    {
        Delete();
        return false;
    }
    if (!LoadTree(path)) // empty, with the parser's error kept
        return false;
    return SelectRootByTag(tag);
}

bool CQTXXml::LoadBuffer(const char* data, size_t length, unsigned short tag)
{
    if ((tag & 0x7FFFu) == 0)
    {
        Delete();
        return false;
    }
    if (!LoadTree(data, length)) // empty, with the parser's error kept
        return false;
    return SelectRootByTag(tag);
}

bool CQTXXml::SelectRootByTag(unsigned short tag)
{
    const unsigned number = tag & 0x7FFFu;
    if (SelectRoot(TagName(number)))
        return true;
    // A tag may have more than one name (Ping and NOP): take the first element whose name the
    // table maps to this number.
    for (int i = 0; i < m_xTop.nChildNode(); ++i)
    {
        XMLNode child = m_xTop.getChildNode(i);
        if (!child.isDeclaration() &&
            ItemStringToInt(aCommandTags, child.getName(), true) == static_cast<int>(number))
            return SelectRoot(child.getName());
    }
    Delete();
    return false;
}

bool CQTXXml::StoreBuffer(std::string& out) const
{
    m_bStoreTooLong = false;
    if (m_xTop.isEmpty())
        return false;
    const XMLError result = m_xTop.writeToString(out, nullptr, 1);
    m_bStoreTooLong = result == eXMLErrorTooLong;
    return result == eXMLErrorNone;
}

bool CQTXXml::StoreFile(const char* path, bool /*reply*/)
{
    m_bStoreTooLong = false;
    if (m_xTop.isEmpty())
        return false; // nothing would be written
    const XMLError result = m_xTop.writeToFile(path, nullptr, 1);
    m_bStoreTooLong = result == eXMLErrorTooLong;
    return result == eXMLErrorNone;
}

void CQTXXml::CutToError(const CQTXError& error)
{
    if (m_xRoot.isEmpty())
        return;
    // A new tree rather than the old one emptied: dropping the root's content item by item
    // would cost as much as the content is long, once per item.
    XMLNode top = XMLNode::createXMLTopNode(nullptr);
    XMLNode declaration = top.addChild("xml", 1);
    declaration.addAttribute("version", "1.0");
    declaration.addAttribute("encoding", "utf-8");
    XMLNode root = top.addChild(m_xRoot.getName());
    for (int i = 0; i < m_xRoot.nAttribute(); ++i)
    {
        const XMLAttribute attribute = m_xRoot.getAttribute(i);
        root.addAttribute(attribute.lpszName, attribute.lpszValue);
    }
    const std::string rootName = m_sRootName;
    Delete();
    m_xTop = top;
    m_xRoot = root;
    m_sRootName = rootName;
    SetError(error);
}

void CQTXXml::Delete()
{
    m_xProperty = XMLNode();
    m_xPropertyList = XMLNode();
    m_xSignal = XMLNode();
    m_xSignalList = XMLNode();
    m_xRoot = XMLNode();
    m_xTop = XMLNode(); // the last handle on the top node frees the tree
    m_iNextSignalList = m_iNextSignal = m_iNextProperty = 0;
    m_sRootName.clear();
    m_sParseError.clear();
}

bool CQTXXml::New(const char* rootName, const char* name)
{
    Delete();
    if (rootName == nullptr || *rootName == '\0')
        return false;
    m_xTop = XMLNode::createXMLTopNode(nullptr);
    XMLNode declaration = m_xTop.addChild("xml", 1);
    declaration.addAttribute("version", "1.0");
    declaration.addAttribute("encoding", "utf-8");
    m_xRoot = m_xTop.addChild(rootName);
    if (name != nullptr)
    {
        m_xRoot.addAttribute("Name", name);
        m_sRootName = name;
    }
    return true;
}

bool CQTXXml::New(unsigned short tag, int /*length*/)
{
    if (tag == 0)
    {
        Delete();
        return false;
    }
    return New(TagName(tag), nullptr);
}

void CQTXXml::SetError(CQTXError error)
{
    if (m_xRoot.isEmpty())
        return;
    XMLNode errors = m_xRoot.getChildNode("Errors");
    if (errors.isEmpty())
        errors = m_xRoot.addChild("Errors");
    const char* kind;
    switch (error.ErrorSeverity())
    {
    case DebugOutput:
    case Note:
        kind = "Info";
        break;
    case Warning:
        kind = "Warning";
        break;
    default:
        kind = "Error";
        break;
    }
    XMLNode entry = errors.addChild(kind);
    entry.addAttribute("Type", error.ErrorType().c_str());
    entry.addAttribute("Name", error.ErrorText().c_str());
    entry.addAttribute("Text", error.ErrorParameter().c_str());
    entry.addAttribute("Location", error.ErrorLocation().c_str());
    const int number = error.GetErrorNumber();
    if (number < 0 && number != -260)
        entry.addAttribute("ErrorNr", std::to_string(number).c_str());
}

void CQTXXml::SetStdError(short number)
{
    if (number >= 0)
        return;
    const char* text;
    const char* parameter;
    switch (number)
    {
    case -256:
        text = "NoXml";
        parameter = "Device does not support XML format";
        break;
    case -257:
        text = "RootTagUnknown";
        parameter = "RootTag is unknown";
        break;
    case -258:
        text = "NoMemory";
        parameter = "Not enough free memory is currently available on the device";
        break;
    case -259:
        text = "LengthShort";
        parameter = "Protocol error: length too short";
        break;
    default:
        text = "InternalError";
        parameter = "InternalError";
        break;
    }
    CQTXError error(text, parameter, nullptr, 0, Error, "GeneralError");
    error.SetErrorNumber(number);
    SetError(error);
}

bool CQTXXml::Cfg_1st_Check(unsigned char /*maximum*/)
{
    return true;
}

void CQTXXml::SetAttributeKeepConnection(bool keep)
{
    if (!m_xRoot.isEmpty())
        m_xRoot.updateAttribute(keep ? "true" : "false", nullptr, "KeepConnection");
}

bool CQTXXml::GetAttributeKeepConnection() const
{
    return SameString(m_xRoot.getAttribute("KeepConnection"), "true");
}

// ---- Selection

int CQTXXml::SelectSignalListByName(const char* moduleSlot, const char* name, bool create)
{
    if (name == nullptr || *name == '\0')
    {
        m_xSignalList = m_xRoot;
        return 0;
    }
    const bool bySlot = moduleSlot != nullptr && *moduleSlot != '\0';
    m_xSignalList = XMLNode();
    int i = 0;
    for (XMLNode list = m_xRoot.getChildNode("Signals", &i); !list.isEmpty();
         list = m_xRoot.getChildNode("Signals", &i))
    {
        if (!SameString(list.getAttribute("Name"), name))
            continue;
        if (bySlot && !SameString(list.getAttribute("ModuleSlot"), moduleSlot))
            continue;
        m_xSignalList = list;
        return NumberOfSignals(list);
    }
    if (!create || m_xRoot.isEmpty())
        return -1;
    XMLNode list = m_xRoot.addChild("Signals");
    list.addAttribute("Name", name);
    if (bySlot)
        list.addAttribute("ModuleSlot", moduleSlot);
    list.addChild("NumberOfSignals").addChild("Value").addText("0");
    m_xSignalList = list;
    return 0;
}

int CQTXXml::SelectSignalListByOrder(std::string& moduleSlot, std::string& name, bool restart)
{
    if (restart)
        m_iNextSignalList = 0;
    XMLNode list = m_xRoot.getChildNode("Signals", m_iNextSignalList);
    if (list.isEmpty())
    {
        moduleSlot.clear();
        name.clear();
        return -1;
    }
    ++m_iNextSignalList;
    m_xSignalList = list;
    moduleSlot = CharPointerToString(list.getAttribute("ModuleSlot"));
    name = CharPointerToString(list.getAttribute("Name"));
    return NumberOfSignals(list);
}

void CQTXXml::SelectSignalByNumber(int number, bool create)
{
    if (number < 0)
    {
        m_xSignal = m_xSignalList;
        m_xPropertyList = m_xSignalList.getChildNode("Properties");
        if (m_xPropertyList.isEmpty() && create)
            m_xPropertyList = m_xSignalList.addChild("Properties");
        if (m_xPropertyList.isEmpty())
            throw CQTXEXmlError("MissingSignal", "Global or signal properties missing", kUnit,
                                __LINE__, Error);
        return;
    }
    const std::string text = std::to_string(number);
    m_xSignal = XMLNode();
    int i = 0;
    for (XMLNode signal = m_xSignalList.getChildNode("Signal", &i); !signal.isEmpty();
         signal = m_xSignalList.getChildNode("Signal", &i))
    {
        if (SameString(signal.getAttribute("Number"), text.c_str()))
        {
            m_xSignal = signal;
            m_xPropertyList = signal.getChildNode("Properties");
            return;
        }
    }
    if (!create || m_xSignalList.isEmpty())
        throw CQTXEXmlError("MissingSignal",
                            CharPointerToString(m_xSignalList.getAttribute("Name")) + ":" + text,
                            kUnit, __LINE__, Error);
    XMLNode signal = m_xSignalList.addChild("Signal");
    signal.addAttribute("Number", text.c_str());
    signal.addChild("UserText");
    signal.addChild("SignalType");
    m_xPropertyList = signal.addChild("Properties");
    m_xSignal = signal;
    XMLNode count = m_xSignalList.getChildNode("NumberOfSignals").getChildNode("Value");
    if (!count.isEmpty())
        count.updateText(std::to_string(StringToInt(count.getText()) + 1).c_str(), 0);
}

int CQTXXml::SelectSignalByOrder(bool restart)
{
    if (restart)
        m_iNextSignal = 0;
    XMLNode signal = m_xSignalList.getChildNode("Signal", m_iNextSignal);
    if (signal.isEmpty())
    {
        m_xPropertyList = XMLNode();
        return -1;
    }
    ++m_iNextSignal;
    m_xSignal = signal;
    m_xPropertyList = signal.getChildNode("Properties");
    return StringToInt(signal.getAttribute("Number"));
}

bool CQTXXml::SelectPropertyListByName(const char* name)
{
    int i = 0;
    for (XMLNode list = m_xSignal.getChildNode("Properties", &i); !list.isEmpty();
         list = m_xSignal.getChildNode("Properties", &i))
    {
        if (SameString(list.getAttribute("Name"), name))
        {
            m_xPropertyList = list;
            return true;
        }
    }
    return false;
}

bool CQTXXml::SelectPropertyByName(const char* name, bool create)
{
    if (m_xPropertyList.isEmpty() && create)
        m_xPropertyList = m_xSignal.addChild("Properties");
    if (m_xPropertyList.isEmpty())
    {
        m_xProperty = XMLNode();
        return false;
    }
    int i = 0;
    for (XMLNode property = m_xPropertyList.getChildNode("Property", &i); !property.isEmpty();
         property = m_xPropertyList.getChildNode("Property", &i))
    {
        if (SameString(property.getAttribute("Name"), name))
        {
            m_xProperty = property;
            return true;
        }
    }
    // Not found: with create a new property is selected. Without, nothing stays selected, so
    // that a following setter cannot change another property by mistake.
    m_xProperty = XMLNode();
    if (create && name != nullptr)
    {
        m_xProperty = m_xPropertyList.addChild("Property");
        m_xProperty.addAttribute("Name", name);
    }
    return false;
}

std::string CQTXXml::SelectPropertyByOrder(bool restart)
{
    if (restart)
        m_iNextProperty = 0;
    m_xProperty = m_xPropertyList.getChildNode("Property", m_iNextProperty);
    if (m_xProperty.isEmpty())
        return std::string();
    ++m_iNextProperty;
    return CharPointerToString(m_xProperty.getAttribute("Name"));
}

// ---- Values

XMLNode CQTXXml::ValueNode() const
{
    XMLNode value = m_xProperty.getChildNode("Value");
    return value.isEmpty() ? m_xProperty : value;
}

std::string CQTXXml::GetStringProperty() const
{
    return CharPointerToString(ValueNode().getAttribute("Value"));
}

int32_t CQTXXml::GetIntProperty() const
{
    return StringToInt(GetStringProperty());
}

double CQTXXml::GetFloatProperty() const
{
    return StringToFloat(GetStringProperty());
}

int CQTXXml::GetIntArrayProperty(int32_t* values, int maximum, bool floatsAllowed) const
{
    const std::string text = GetStringProperty();
    const int count = StringToIntArray(text, values, maximum, 0);
    if (!floatsAllowed && text.find('.') != std::string::npos)
        return -1001;
    return count;
}

int CQTXXml::GetFloatArrayProperty(double* values, int maximum) const
{
    return StringToFloatArray(GetStringProperty(), values, maximum, 0);
}

int CQTXXml::GetBoolArrayProperty(bool* values, int maximum) const
{
    return StringToBoolArray(GetStringProperty(), values, maximum, 0);
}

int CQTXXml::GetListProperty(const Item_t* table, bool ignoreCase) const
{
    return ItemStringToInt(table, GetStringProperty(), ignoreCase);
}

void CQTXXml::SetValue(const char* value, const char* whatFails)
{
    if (m_xProperty.isEmpty())
        throw CQTXEXmlError("MissingXMLNode", whatFails, kUnit, __LINE__, Error);
    ValueNode().updateAttribute(value != nullptr ? value : "", nullptr, "Value");
}

void CQTXXml::SetStringProperty(const char* value)
{
    SetValue(value, "Can not set string value");
}

void CQTXXml::SetStringProperty(const std::string& value)
{
    SetValue(value.c_str(), "Can not set string value");
}

void CQTXXml::SetIntProperty(int32_t value)
{
    SetValue(IntToString(value, 10, 0).c_str(), "Can not set number value");
}

void CQTXXml::SetIntArrayProperty(const int32_t* values, int count)
{
    if (count < 0)
        throw CQTXEXmlError("MissingXMLNode", "Can not set number values", kUnit, __LINE__, Error);
    SetValue(IntArrayToString(values, count, 10).c_str(), "Can not set number values");
}

void CQTXXml::SetFloatProperty(double value)
{
    SetValue(FloatToString(value, "%lg").c_str(), "Can not set number value");
}

void CQTXXml::SetFloatArrayProperty(const double* values, int count)
{
    if (count < 0)
        throw CQTXEXmlError("MissingXMLNode", "Can not set number values", kUnit, __LINE__, Error);
    SetValue(FloatArrayToString(values, count, true).c_str(), "Can not set number values");
}

void CQTXXml::SetListProperty(const Item_t* table, int value)
{
    SetValue(ItemIntToString(table, value), "Can not set list value");
}

void CQTXXml::SetPropertyError(const char* name, const char* text)
{
    if (m_xProperty.isEmpty())
        throw CQTXEXmlError("MissingXMLNode", "Can not set error code", kUnit, __LINE__, Error);
    m_xProperty.updateAttribute(name != nullptr ? name : "", nullptr, "Error");
    m_xProperty.updateAttribute(text != nullptr ? text : "", nullptr, "ErrorNo");
}

void CQTXXml::SetPropertyError(const char* name, const std::string& text)
{
    SetPropertyError(name, text.c_str());
}

// ---- Signals

void CQTXXml::SetSignalType(const char* attribute, const char* value)
{
    XMLNode type = m_xSignal.getChildNode("SignalType");
    if (type.isEmpty())
        type = m_xSignal.addChild("SignalType");
    if (type.isEmpty())
        throw CQTXEXmlError("MissingXMLNode", "Can not generate <SignalType> node", kUnit, __LINE__,
                            Error);
    type.updateAttribute(value, nullptr, attribute);
}

std::string CQTXXml::GetName() const
{
    XMLNode holder = m_xSignal.getChildNode("ModuleInfo");
    if (holder.isEmpty())
        holder = m_xSignal;
    const char* text = holder.getChildNode("UserText").getText();
    if (text != nullptr)
        return text;
    return CharPointerToString(m_xSignal.getAttribute("Name"));
}

void CQTXXml::SetName(const std::string& name)
{
    XMLNode holder = m_xSignal.getChildNode("ModuleInfo");
    if (holder.isEmpty())
        holder = m_xSignal;
    XMLNode userText = holder.getChildNode("UserText");
    if (userText.isEmpty())
        userText = holder.addChild("UserText");
    userText.updateText(name.c_str(), 0);
}

// ---- Reading with error recording

void CQTXXml::RecordError(const char* name, const std::string& text)
{
    if (!m_xProperty.isEmpty())
        SetPropertyError(name, text);
}

bool CQTXXml::SelectForReading(const char* name, bool recordMissing)
{
    if (SelectPropertyByName(name, true))
        return true;
    if (recordMissing)
        RecordError("MissingProperty",
                    "Signal property " + CharPointerToString(name) + " is missing");
    return false;
}

bool CQTXXml::ReadBooleanProperty(const char* name, uint32_t* flags, int bit)
{
    if (!SelectForReading(name, true))
        return false;
    const int value = GetListProperty(aBoolItems, true);
    if (value != 0 && value != 1)
    {
        RecordError("WrongValue", "Allowed values are true and false");
        return false;
    }
    if (flags != nullptr && bit >= 0 && bit < 32)
    {
        if (value == 1)
            *flags |= (1u << bit);
        else
            *flags &= ~(1u << bit);
    }
    return true;
}

bool CQTXXml::ReadBooleanPropertyNoError(const char* name, uint32_t* flags, int bit)
{
    if (!SelectForReading(name, false))
        return false;
    return ReadBooleanProperty(name, flags, bit);
}

bool CQTXXml::ReadIntProperty(const char* name, int32_t* values, int count, bool checkRange,
                              int32_t minimum, int32_t maximum, bool floatsAllowed)
{
    if (!SelectForReading(name, true))
        return false;
    const int read = GetIntArrayProperty(values, count, floatsAllowed);
    if (read != count)
    {
        if (read == -1001)
            RecordError("FloatValuesNotAllowed",
                        "Found a float value, but only integer is allowed");
        else
            RecordError("WrongNumberOfValues", "Got " + std::to_string(read) +
                                                   " integer values, but expected " +
                                                   std::to_string(count));
        return false;
    }
    if (checkRange)
    {
        for (int i = 0; i < count; ++i)
        {
            if (values[i] < minimum || values[i] > maximum)
            {
                RecordError("WrongValue", "Value " + std::to_string(values[i]) +
                                              " is not in the range [" + std::to_string(minimum) +
                                              ".." + std::to_string(maximum) + "]");
                return false;
            }
        }
    }
    return true;
}

bool CQTXXml::ReadFloatProperty(const char* name, double* values, int count, bool checkRange,
                                double minimum, double maximum)
{
    if (!SelectForReading(name, true))
        return false;
    const int read = GetFloatArrayProperty(values, count);
    if (read != count)
    {
        RecordError("WrongNumberOfValues", "Got " + std::to_string(read) +
                                               " integer values, but expected " +
                                               std::to_string(count));
        return false;
    }
    if (checkRange)
    {
        for (int i = 0; i < count; ++i)
        {
            // written so that a value that is not a number is refused too
            if (!(values[i] >= minimum && values[i] <= maximum))
            {
                RecordError("WrongValue", "Value " + FloatToString(values[i], "%lg") +
                                              " is not in the range [" +
                                              FloatToString(minimum, "%lg") + ".." +
                                              FloatToString(maximum, "%lg") + "]");
                return false;
            }
        }
    }
    return true;
}

bool CQTXXml::ReadStringProperty(const char* name, std::string* value)
{
    if (!SelectForReading(name, true))
        return false;
    if (value != nullptr)
        *value = GetStringProperty();
    return true;
}

bool CQTXXml::ReadListProperty(const char* name, int* value, const Item_t* table, bool checkRange,
                               int minimum, int maximum, bool ignoreCase)
{
    if (!SelectForReading(name, true))
        return false;
    const int v = GetListProperty(table, ignoreCase);
    if (value != nullptr)
        *value = v;
    if (checkRange && (v < minimum || v > maximum))
    {
        RecordError("WrongValue", "This value is not allowed");
        return false;
    }
    return true;
}

bool CQTXXml::WriteStringProperty(const char* name, const char* value)
{
    SelectPropertyByName(name, true);
    SetStringProperty(value);
    return true;
}

bool CQTXXml::WriteStringProperty(const char* name, const std::string& value)
{
    return WriteStringProperty(name, value.c_str());
}
