// kove_fuzz_seeds <dir>: writes the seed corpora of the fuzz targets and the XML dictionary.
//
//   <dir>/fuzz_bin_command_file/seeds/   binary requests built with the configuration builder
//   <dir>/fuzz_xml_parser/seeds/         option byte + XML text
//   <dir>/fuzz_xml_command_file/seeds/   XML request files
//   <dir>/fuzz_config_tar/seeds/         tar archives of configuration files
//   <dir>/fuzz_nbns_query/seeds/         NetBIOS name queries
//   <dir>/fuzz_fo_configuration/seeds/   FiberOptic configuration documents
//   <dir>/xml.dict                       tokens of the XML grammar and the request vocabulary
#include "QTXBin.h"
#include "../../drivers/system/NbnsEasy.h"
#include "../support/TarImage.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

using Bytes = std::vector<unsigned char>;

bool g_bFailed = false;

void MakeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
    {
        std::perror(path.c_str());
        g_bFailed = true;
    }
}

void WriteSeed(const std::string& path, const void* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
    {
        std::perror(path.c_str());
        g_bFailed = true;
    }
}

bool Collect(void* context, const unsigned char* data, unsigned int /*offset*/, unsigned int length,
             unsigned int /*total*/)
{
    Bytes* out = static_cast<Bytes*>(context);
    out->insert(out->end(), data, data + length);
    return true;
}

// A configuration request with groups of {type, entry size, count}.
Bytes Configuration(std::initializer_list<std::vector<unsigned short>> groups, uint8_t count)
{
    QTXBinConfigPW image;
    _QTXBIN_CONFIGURATION* config = image.New(QTXBIN_TAG_CONFIGURATION);
    config->count = count;
    config->type = 0x0102;
    unsigned int index = 0;
    for (const auto& g : groups)
    {
        image.CreateGroup(index, g[0], g[1], g[2], "Seed");
        unsigned char* entries = image.GetGroupMem(index);
        for (uint32_t i = 0; entries != nullptr && i < image.GetGroupMemSize(index); ++i)
            entries[i] = static_cast<unsigned char>(i * 7 + index);
        index += 2;
    }
    Bytes out;
    image.Generate(Collect, &out);
    return out;
}

Bytes BareHead(unsigned short tag, short error, const std::string& payload)
{
    Bytes out(QTXBIN_FIRST_HEAD_SIZE);
    QtxBinSetInit_FIRST_HEAD(out.data(), tag, static_cast<unsigned int>(payload.size()));
    QtxBinPutI16(out.data() + 8, error);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Property lists of FiberOptic configurations: p2p, 3.3 Mbit, ring, Flex with master mode.
const char* const aFiberOpticSeeds[] = {
    "<Property Name=\"InputSpeed\" Value=\"32\"/><Property Name=\"InputFrames\" Value=\"8\"/>"
    "<Property Name=\"OutputSpeed\" Value=\"32\"/><Property Name=\"OutputFrames\" Value=\"16\"/>"
    "<Property Name=\"OutputPeriod\" Value=\"1000\"/><Property Name=\"Slot\" Value=\"0\"/>",
    "<Property Name=\"InputSpeed\" Value=\"3.3\"/><Property Name=\"OutputSpeed\" Value=\"3.3\"/>"
    "<Property Name=\"OutputPeriod\" Value=\"0\"/><Property Name=\"Slot\" Value=\"-1\"/>",
    "<Property Name=\"InputSpeed\" Value=\"32\"/><Property Name=\"InputFrames\" Value=\"-16032\"/>"
    "<Property Name=\"OutputSpeed\" Value=\"32\"/><Property Name=\"OutputFrames\" Value=\"1608\"/>"
    "<Property Name=\"OutputPeriod\" Value=\"0\"/><Property Name=\"Slot\" Value=\"5\"/>",
    "<Property Name=\"InputSpeed\" Value=\"0\"/><Property Name=\"OutputSpeed\" Value=\"32\"/>"
    "<Property Name=\"OutputFrames\" Value=\"0\"/><Property Name=\"OutputPeriod\" Value=\"0\"/>"
    "<Property Name=\"Slot\" Value=\"-16\"/><Property Name=\"Length\" Value=\"128\"/>"
    "<Property Name=\"MasterModePeriod\" Value=\"1000\"/>"
    "<Property Name=\"MasterModeLength\" Value=\"214;192;192\"/>"
    "<Property Name=\"MasterModeClassTimes\" Value=\"1;1\"/>"
    "<Property Name=\"MasterModeDeviceClasses\" Value=\"0;1;2;3\"/>",
    "",
};

const char* const aXmlSeeds[] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<Ping/>\n",
    ("<?xml version=\"1.0\"?>\n<Module Name=\"TestDriver\" KeepConnection=\"true\">\n"
     "  <Signals Name=\"AnalogIn\" ModuleSlot=\"2\">\n"
     "    <NumberOfSignals><Value>2</Value></NumberOfSignals>\n"
     "    <Properties><Property Name=\"Rate\" Value=\"100\"/></Properties>\n"
     "    <Signal Number=\"0\"><UserText>Pump 1</UserText><SignalType Type=\"INT16\"/>\n"
     "      <Properties><Property Name=\"Gain\" Value=\"2;3\"/>"
     "<Property Name=\"Enable\"><Value Value=\"true\"/></Property></Properties>\n"
     "    </Signal>\n"
     "    <Signal Number=\"1\"><Properties><Property Name=\"Gain\" Value=\"1.5\"/>"
     "</Properties></Signal>\n"
     "  </Signals>\n"
     "  <Errors><Error Type=\"GeneralError\" Name=\"x\" Text=\"y\" Location=\"\" ErrorNr=\"-5\"/>"
     "</Errors>\n"
     "</Module>\n"),
    ("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!DOCTYPE Module [<!ENTITY e \"x\">]>\n"
     "<!-- comment --><?pi data?>\n<Module Name=\"a&amp;b&lt;&gt;&quot;&apos;&#65;&#x42;\">"
     "<![CDATA[<raw> & text]]>text\xe4\xf6<Empty/></Module>\n"),
    ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Module "
     "Name=\"\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80\">"
     "<Signals Name=\"DigitalOut\"><Signal Number=\"3\"/></Signals></module >\n"),
    ("<?xml version=\"1.0\" encoding=\"Shift-JIS\"?>\n<Module Name=\"\x82\xa0\x81\x5c\">"
     "<PRE>keep  this</PRE></Module>"),
    "<Debug Command=\"EndDriver\"/><Lock Value=\"5\" Signature=\"me\"/>",
    "<a><b><c><d></c></b></a>",
};

const char* const aDictionary[] = {
    "<?xml",
    "?>",
    "<!--",
    "-->",
    "<![CDATA[",
    "]]>",
    "<!DOCTYPE",
    "<!ENTITY",
    "<PRE>",
    "</PRE>",
    "</",
    "/>",
    "=\"",
    "&amp;",
    "&lt;",
    "&gt;",
    "&quot;",
    "&apos;",
    "&#",
    "&#x",
    "encoding=",
    "InputSpeed",
    "OutputFrames",
    "MasterModePeriod",
    "MasterModeLength",
    "\"-16\"",
    "\"3.3\"",
    "\"UTF-8\"",
    "\"ISO-8859-1\"",
    "\"Shift-JIS\"",
    "\"GB2312\"",
    "\"Big5\"",
    "\"GBK\"",
    "Module",
    "Ping",
    "Signals",
    "Signal",
    "Number=",
    "Name=",
    "Properties",
    "Property",
    "Value",
    "NumberOfSignals",
    "UserText",
    "ModuleSlot=",
    "KeepConnection=",
    "Errors",
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    MakeDirectory(dir);

    const std::string bin = dir + "/fuzz_bin_command_file";
    MakeDirectory(bin);
    MakeDirectory(bin + "/seeds");
    const std::vector<Bytes> binSeeds = {
        Configuration({}, 1),
        Configuration({{2, 4, 3}, {5, 1, 9}}, 2),
        Configuration({{3, 8, 2}, {4, 2, 0}, {0x8002, 2, 5}}, 4),
        BareHead(3, 0, ""),
        BareHead(0x8101, -260, std::string("<Error Type=\"GeneralError\" />") + '\0'),
        BareHead(0x14, 0, "payload"),
    };
    for (size_t i = 0; i < binSeeds.size(); ++i)
        WriteSeed(bin + "/seeds/seed" + std::to_string(i), binSeeds[i].data(), binSeeds[i].size());

    const std::string tar = dir + "/fuzz_config_tar";
    MakeDirectory(tar);
    MakeDirectory(tar + "/seeds");
    const std::vector<std::string> tarSeeds = {
        kovetest::TarImage({}),
        kovetest::TarImage({{"Config_62000_System.xml", "<Module Name=\"System\"/>\n"},
                            {"start.sh", "echo\n"}}),
        kovetest::TarImage({{"inner.xml", std::string(700, 'x'), '0', "prefix"}}, false),
        kovetest::TarImage({{"../up.xml", "x"}, {"link", "", '2'}}),
    };
    for (size_t i = 0; i < tarSeeds.size(); ++i)
        WriteSeed(tar + "/seeds/seed" + std::to_string(i), tarSeeds[i].data(), tarSeeds[i].size());

    const std::string nbns = dir + "/fuzz_nbns_query";
    MakeDirectory(nbns);
    MakeDirectory(nbns + "/seeds");
    int nbnsSeed = 0;
    for (const char* name : {"DP_001234", "dpms_abcd", "OTHER", ""})
        for (uint8_t suffix : {0x00, 0x20})
        {
            Bytes q(50, 0);
            q[0] = 0x12;
            q[1] = static_cast<unsigned char>(nbnsSeed);
            q[2] = 0x01;
            q[3] = 0x10;
            q[5] = 1;
            q[12] = 0x20;
            NbnsEncodeName(name, suffix, q.data() + 13);
            q[47] = 0x20;
            q[49] = 1;
            WriteSeed(nbns + "/seeds/seed" + std::to_string(nbnsSeed++), q.data(), q.size());
        }

    const std::string parser = dir + "/fuzz_xml_parser";
    const std::string command = dir + "/fuzz_xml_command_file";
    for (const std::string& d : {parser, command})
    {
        MakeDirectory(d);
        MakeDirectory(d + "/seeds");
    }
    unsigned char option = 0;
    int n = 0;
    for (const char* seed : aXmlSeeds)
    {
        const std::string text(seed);
        WriteSeed(command + "/seeds/seed" + std::to_string(n), text.data(), text.size());
        // UTF-8 with white space dropped, and the legacy encoding as it stands.
        for (unsigned char o : {static_cast<unsigned char>(0x10), option})
        {
            const std::string withOption = std::string(1, static_cast<char>(o)) + text;
            WriteSeed(parser + "/seeds/seed" + std::to_string(n) + "_" + std::to_string(o),
                      withOption.data(), withOption.size());
        }
        option = static_cast<unsigned char>(option + 1);
        ++n;
    }

    const std::string fiberOptic = dir + "/fuzz_fo_configuration";
    MakeDirectory(fiberOptic);
    MakeDirectory(fiberOptic + "/seeds");
    n = 0;
    for (const char* seed : aFiberOpticSeeds)
    {
        const std::string text = std::string("<?xml version=\"1.0\"?>\n<Module Name=\"FiberOptic\">"
                                             "<Properties>") +
                                 seed + "</Properties></Module>\n";
        WriteSeed(fiberOptic + "/seeds/seed" + std::to_string(n++), text.data(), text.size());
    }

    std::string dictionary;
    for (const char* token : aDictionary)
    {
        dictionary += '"';
        for (const char* c = token; *c != '\0'; ++c)
        {
            if (*c == '"' || *c == '\\')
                dictionary += '\\';
            dictionary += *c;
        }
        dictionary += "\"\n";
    }
    WriteSeed(dir + "/xml.dict", dictionary.data(), dictionary.size());
    return g_bFailed ? 1 : 0;
}
