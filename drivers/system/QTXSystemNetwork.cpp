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
#include "SocPlain.h"

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

// An address text as a word in network order. A dotted quad is read in decimal (leading zeros
// dropped); any other text as inet_addr reads it (short and hexadecimal forms; a text that is
// no address at all gives 0xFFFFFFFF). Returns whether the text was a dotted quad.
bool ConvertAddress(const std::string& text, uint32_t& address)
{
    char normalised[16];
    in_addr a;
    if (soc_ipaddr_check_cpy(normalised, text.c_str()) >= 0 &&
        inet_pton(AF_INET, normalised, &a) == 1)
    {
        address = a.s_addr;
        return true;
    }
    address = inet_addr(text.c_str());
    return false;
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
                    // The gateway and the DNS server take any text (one that is no address
                    // is 0xFFFFFFFF). The device's own address and mask given as a text that
                    // is not a dotted quad would make the device unreachable at an address
                    // nobody meant: a request with one is refused. A stored configuration
                    // loads as it was accepted when it was stored.
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
                        if (!ConvertAddress(field.text, *field.word) && field.dottedOnly &&
                            !IsBooting())
                        {
                            document.SelectPropertyByName(field.name, false);
                            document.SetPropertyError("WrongValue",
                                                      std::string(field.name) +
                                                          " is not an IPv4 address a.b.c.d");
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
