// The hub's network configuration: the product network table (default settings, interface and
// name prefixes per ordering number), host name and alias, the NetBIOS name file, and the three
// configuration operations that read the network settings of a configuration document, apply
// them and store the configuration in flash.
#include "QTXSystem.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

#include "KovePlatform.h"
#include "QTXConvert.h"

namespace
{
struct ProductNetwork
{
    int32_t iOrderingNumber;
    int32_t iMode;
    const char* szHostPrefix;
    const char* szAliasPrefix;
    const char* szAddress;
    const char* szMask;
    const char* szInterface;
};

const ProductNetwork kProductNetworks[] = {
    {57311001, 1, "DP_", "DPMS_", nullptr, nullptr, "eth0"},
    {57311011, 1, "DP64_", "DPMS_", nullptr, nullptr, "eth0"},
    {52760000, 1, "qorClock_", nullptr, nullptr, nullptr, "eth0"},
    {57310000, 1, "PN_", nullptr, nullptr, nullptr, "eth0"},
    {52230000, 0, nullptr, nullptr, "192.168.1.1", "255.255.255.0", "eth0"},
    {52230010, 0, nullptr, nullptr, "192.168.1.1", "255.255.255.0", "eth0"},
    {52230020, 0, nullptr, nullptr, "192.168.1.1", "255.255.255.0", "eth0"},
    {52230100, 0, nullptr, nullptr, "192.168.1.1", "255.255.255.0", "eth0"},
    {52230110, 0, nullptr, nullptr, "192.168.1.1", "255.255.255.0", "eth0"},
    {52230120, 0, nullptr, nullptr, "192.168.1.1", "255.255.255.0", "eth0"},
    {52230130, 0, nullptr, nullptr, "192.168.1.1", "255.255.255.0", "eth0"},
    {59580020, 1, "qorW-", nullptr, nullptr, nullptr, "br0"},
    {53400000, 1, "FO2Eth_", nullptr, nullptr, nullptr, "hipe0"},
    {57310010, 1, "ENIP_", nullptr, nullptr, nullptr, "eth0"},
    {52880000, 1, "ZQBQ_", nullptr, nullptr, nullptr, "hipe0"},
};

const ProductNetwork* FindProduct(int32_t orderingNumber)
{
    for (const ProductNetwork& row : kProductNetworks)
        if (row.iOrderingNumber == orderingNumber)
            return &row;
    return nullptr;
}

// How an address text of a configuration reads.
struct AddressReading
{
    // The word in network order as inet_addr reads the text: short forms ("10.1"), hexadecimal
    // and octal parts ("0x0A", "010"); a text that is no address at all gives 0xFFFFFFFF.
    uint32_t uAddress = 0;
    // The text is four decimal parts a.b.c.d of 0 to 255, each with any number of digits.
    bool bDottedQuad = false;
    // ... and reads otherwise in decimal than inet_addr reads it: a part with a leading zero
    // is octal to inet_addr ("010" is 8, "08" no number at all).
    bool bAmbiguous = false;
    std::string sDecimal; // the decimal reading of a dotted quad
};

AddressReading ReadAddress(const std::string& text)
{
    AddressReading reading;
    reading.uAddress = inet_addr(text.c_str());
    unsigned parts[4] = {};
    size_t part = 0;
    bool digits = false;
    for (const char c : text)
    {
        if (c >= '0' && c <= '9' && parts[part] * 10 + static_cast<unsigned>(c - '0') <= 255)
        {
            parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
            digits = true;
        }
        else if (c == '.' && digits && part < 3)
        {
            ++part;
            digits = false;
        }
        else
            return reading;
    }
    if (part != 3 || !digits)
        return reading;
    reading.bDottedQuad = true;
    reading.sDecimal = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
                       std::to_string(parts[2]) + "." + std::to_string(parts[3]);
    reading.bAmbiguous = inet_addr(reading.sDecimal.c_str()) != reading.uAddress;
    return reading;
}

// The refusal of a dotted quad whose parts with leading zeros inet_addr reads as octal.
std::string AmbiguousAddressText(const char* property, const std::string& text,
                                 const AddressReading& reading)
{
    in_addr octal;
    char shown[INET_ADDRSTRLEN] = "";
    const bool address = inet_aton(text.c_str(), &octal) != 0 &&
                         inet_ntop(AF_INET, &octal, shown, sizeof shown) != nullptr;
    return std::string(property) + " \"" + text + "\" is ambiguous: with its leading zeros read " +
           "as octal it is " + (address ? std::string(shown) : "no address") + ", in decimal " +
           reading.sDecimal + "; write it without leading zeros";
}

const char kSystemSource[] = "./QTXSystem";
} // namespace

void LookupProductNetwork(NetworkSettings* settings, char* interfaceName, size_t interfaceSize,
                          int32_t orderingNumber)
{
    if (interfaceName != nullptr && interfaceSize > 0)
        interfaceName[0] = 0;
    const ProductNetwork* row = FindProduct(orderingNumber);
    if (row == nullptr || settings == nullptr)
        return;
    *settings = NetworkSettings();
    settings->iMode = row->iMode;
    if (row->szAddress != nullptr)
        settings->uAddress = inet_addr(row->szAddress);
    if (row->szMask != nullptr)
        settings->uMask = inet_addr(row->szMask);
    if (interfaceName != nullptr && interfaceSize > 0)
        snprintf(interfaceName, interfaceSize, "%s", row->szInterface);
}

int MakeHostNames(std::string& hostName, std::string& alias, int32_t orderingNumber,
                  int32_t serialNumber, const uint8_t* mac)
{
    hostName.clear();
    alias.clear();
    const ProductNetwork* row = FindProduct(orderingNumber);
    if (row == nullptr)
        return -1;
    char text[136];
    if (row->szHostPrefix != nullptr && serialNumber != 0)
    {
        snprintf(text, sizeof text, "%s%06d", row->szHostPrefix, serialNumber);
        hostName = text;
    }
    if (row->szAliasPrefix != nullptr && mac != nullptr)
    {
        snprintf(text, sizeof text, "%s%02X%02X", row->szAliasPrefix, mac[4], mac[5]);
        alias = text;
    }
    return 0;
}

int WriteNbnsConf(const std::string& path, const std::string& hostName, const std::string& alias)
{
    std::string text;
    const std::string& name = hostName.empty() ? alias : hostName;
    if (!name.empty())
        text = " netbios name = " + name + "\n";
    if (!hostName.empty() && !alias.empty())
        text += " netbios aliases = " + alias + "\n";
    if (text.size() > 1023)
        return -1;
    FILE* file = fopen(PlatPath(path).c_str(), "w");
    bool written = file != nullptr && fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr && fclose(file) != 0)
        written = false;
    if (!written)
    {
        puts("Write to file failed!");
        fflush(stdout);
        return -1;
    }
    return 0;
}

bool CSystem::ParseAndCheckConfiguration(int& /*setIndex*/)
{
    bool ok = true;
    CQTXXml& document = tXmlCommandFile;
    NetworkSettings requested = tNetworkRequested;
    if (document.SelectSignalListByName("", "", false) >= 0)
    {
        document.SelectSignalByNumber(-1, false);
        if (!bNetworkFixed && document.SelectPropertyByName("EthernetDhcp", false))
        {
            const int dhcp = document.GetListProperty(aBoolItems, true);
            if (dhcp != 0 && dhcp != 1)
            {
                document.SetPropertyError("WrongValue", "Only true and false are allowed here");
                ok = false;
            }
            else
            {
                requested.iMode = dhcp;
                if (dhcp == 0)
                {
                    std::string ip, mask, gateway, dns;
                    // Every property is read, so that each missing one gets its error.
                    bool read = document.ReadStringProperty("EthernetFixedIp", &ip);
                    read = document.ReadStringProperty("EthernetFixedNetworkMask", &mask) && read;
                    read = document.ReadStringProperty("EthernetFixedGateway", &gateway) && read;
                    read = document.ReadStringProperty("EthernetFixedDnsServer", &dns) && read;
                    ok = ok && read;
                    // Addresses are read as inet_addr reads them: that is how every stored
                    // configuration has always been read, and a stored file loads at start as
                    // it did before (a device keeps its address). The gateway and the DNS
                    // server take any text (one that is no address is 0xFFFFFFFF). A request
                    // is refused what would make the device unreachable at an address nobody
                    // meant: its own address or mask given as a text that is not a dotted
                    // quad, and any address whose leading zeros make it octal to inet_addr
                    // ("010" is 8): a client that writes 010 most likely means 10.
                    const struct
                    {
                        const char* name;
                        const std::string& text;
                        uint32_t* word;
                        bool dottedOnly;
                    } fields[] = {{"EthernetFixedIp", ip, &requested.uAddress, true},
                                  {"EthernetFixedNetworkMask", mask, &requested.uMask, true},
                                  {"EthernetFixedGateway", gateway, &requested.uGateway, false},
                                  {"EthernetFixedDnsServer", dns, &requested.uDnsServer, false}};
                    for (const auto& field : fields)
                    {
                        if (!read)
                            break;
                        const AddressReading reading = ReadAddress(field.text);
                        *field.word = reading.uAddress;
                        if (IsBooting())
                            continue;
                        std::string refusal;
                        if (field.dottedOnly && !reading.bDottedQuad)
                            refusal = std::string(field.name) + " is not an IPv4 address a.b.c.d";
                        else if (reading.bAmbiguous)
                            refusal = AmbiguousAddressText(field.name, field.text, reading);
                        if (!refusal.empty())
                        {
                            document.SelectPropertyByName(field.name, false);
                            document.SetPropertyError("WrongValue", refusal);
                            ok = false;
                        }
                    }
                    if (ok && (requested.uAddress == 0 || requested.uMask == 0))
                    {
                        document.SelectPropertyByName("EthernetFixedIp", false);
                        document.SetPropertyError("WrongValue",
                                                  "EthernetFixedIp and/or EthernetFixedNetworkMask "
                                                  "are 0 and EthernetDhcp is set to false");
                        ok = false;
                    }
                }
            }
        }
    }
    if (!ok)
    {
        document.SetError(CQTXESeeXmlError("PropertyError",
                                           "One or more properties are wrong, see XML file for "
                                           "details",
                                           kSystemSource, 909, Error));
        return false;
    }
    tNetworkRequested = requested;
    return true;
}

void CSystem::SetHardwareConfiguration()
{
    if (IsStartupMode())
        return;
    if (SetNetCardConfigurationEx(&tNetworkActive, &tNetworkRequested, "", acInterfaceName) == 0)
        tNetworkActive = tNetworkRequested;
}

void CSystem::ConfigurationDone()
{
    StoreConfigurationToFlash(this);
}

void CSystem::InitNetwork()
{
    tNetworkActive = NetworkSettings();
    tNetworkRequested = NetworkSettings();
    LookupProductNetwork(&tNetworkRequested, acInterfaceName, sizeof acInterfaceName,
                         bMacAddressUsable ? iOrderingNumber : 0);
    bNetworkFixed = !bMacAddressUsable;
    acHostName[0] = 0;
    acAliasName[0] = 0;
    if (!bMacAddressUsable)
        return;
    std::string host, alias;
    if (MakeHostNames(host, alias, iOrderingNumber, iSerialNumber, aucMacAddress) != 0)
        return;
    snprintf(acHostName, sizeof acHostName, "%s", host.c_str());
    snprintf(acAliasName, sizeof acAliasName, "%s", alias.c_str());
    printf("Host Name: [%s] and [%s]\n", acHostName, acAliasName);
    fflush(stdout);
    if (IsStartupMode())
    {
        if (WriteNbnsConf("/tmp/nbns.conf", host, alias) != 0)
        {
            puts("CreateNBNSconf failed");
            fflush(stdout);
        }
    }
    else
    {
        StartEthNbnsEasyThread(acInterfaceName, acHostName, acAliasName);
    }
}
