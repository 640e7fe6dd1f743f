// kove_fuzz_seeds <dir>: writes the seed corpora of the fuzz targets and the XML dictionary.
//
//   <dir>/fuzz_bin_command_file/seeds/   binary requests built with the configuration builder
//   <dir>/fuzz_xml_parser/seeds/         option byte + XML text
//   <dir>/fuzz_xml_command_file/seeds/   XML request files
//   <dir>/fuzz_config_tar/seeds/         tar archives of configuration files, bare and gzipped
//   <dir>/fuzz_nbns_query/seeds/         NetBIOS name queries
//   <dir>/fuzz_devmsg_file_request/seeds/ option byte + file header and data
//   <dir>/fuzz_devmsg_frames/seeds/      buffer size, wait flag + framed device-message streams
//   <dir>/fuzz_discovery_datagram/seeds/ split byte + two discovery datagrams
//   <dir>/fuzz_command_words/seeds/      command lines of a watchdog's start command
//   <dir>/fuzz_request_framer/seeds/    split byte + request streams
//   <dir>/fuzz_fo_configuration/seeds/   FiberOptic configuration documents
//   <dir>/fuzz_static_fo_config/seeds/   static fiber-optic configuration files
//   <dir>/fuzz_filter_properties/seeds/  module configurations with digital-filter properties
//   <dir>/fuzz_update_archive/seeds/     zip archives
//   <dir>/fuzz_update_input/seeds/       selector byte + Target.txt, command line or control
//                                        document
//   <dir>/fuzz_pn_configuration/seeds/   binary sniffer configurations
//   <dir>/fuzz_pn_diag_frames/seeds/     device count + diagnostic frames of port 999
//   <dir>/fuzz_qtx_answers/seeds/        reader byte + progress datagram, frame or binary reply
//   <dir>/fuzz_qtx_byte_list/seeds/      most bytes + a byte list of a module write command or
//                                        a number of the command line
//   <dir>/fuzz_qtx_eeprom_record/seeds/  reader byte + production record or editor entry
//   <dir>/xml.dict                       tokens of the XML grammar and the request vocabulary
#include "QTXBin.h"
#include "QTXProgressRecord.h"
#include "QTXShell.h"
#include "../../drivers/system/NbnsEasy.h"
#include "../support/TarImage.h"
#include "UpdateArchive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace
{
// The data as one gzip member (what "gzip" writes), made with zlib.
std::string Gzip(const std::string& data)
{
    z_stream stream{};
    std::string out(compressBound(static_cast<uLong>(data.size())) + 64, '\0');
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return "";
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : "";
}

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

// One device-message frame: "Si", flag byte, 0, u32 little-endian length, payload.
Bytes Frame(const std::string& payload, bool more)
{
    Bytes out = {'S', 'i', static_cast<unsigned char>(more ? 1 : 0), 0};
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(payload.size() >> (8 * i)));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
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

const char* const aFilterSeeds[] = {
    ("<Property Name=\"EnableDigitalFilter\" Value=\"true\"/>"
     "<Property Name=\"NumberOfBiQuads\" Value=\"2\"/>"
     "<Property Name=\"BiQuad0\" Value=\"2;1;1.8953;-0.901\"/>"
     "<Property Name=\"BiQuad1\" Value=\"2;1;1.9459;-0.95706\"/>"
     "<Property Name=\"FilterGain\" Value=\"0.0375\"/>"
     "<Property Name=\"FilterPreDivider\" Value=\"3\"/>"),
    ("<Property Name=\"EnableDigitalFilter\" Value=\"true\"/>"
     "<Property Name=\"NumberOfBiQuads\" Value=\"16\"/>"
     "<Property Name=\"BiQuad15\" Value=\"15.999;-16;1e-300;nan\"/>"
     "<Property Name=\"FilterGain\" Value=\"-16\"/>"
     "<Property Name=\"FilterPreDivider\" Value=\"15\"/>"),
    "<Property Name=\"EnableDigitalFilter\" Value=\"false\"/>",
    ("<Property Name=\"EnableDigitalFilter\" Value=\"1\"/>"
     "<Property Name=\"NumberOfBiQuads\" Value=\"-2147483648\"/>"),
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
    // charsets the C library converts, one it does not know, one that cannot be what bytes
    // read one by one are in, a stray byte in UTF-8, and characters XML does not allow
    ("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<Module Name=\"\x93\xfa\x96\x7b\x81\">"
     "<Setting>\x87\x40\\</Setting></Module>\n"),
    ("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<Module Name=\"\xcf\xf0\x80\"/>\n"),
    ("<?xml version=\"1.0\" encoding=\"ISO-2022-JP\"?>\n<Module Name=\"\x1b$B$\"\x1b(B\"/>\n"),
    ("<?xml version=\"1.0\" encoding=\"x-own-charset\"?>\n<Module Name=\"\xe4\x81\">\xfe</Module>\n"),
    ("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<Module Name=\"\xe4\"/>\n"),
    ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Module Name=\"M\xfcller\xc0\xaf\xed\xa0\x80\"/>\n"),
    ("<?xml version=\"1.0\"?>\n<RegisterModule Name=\"A&#1;B\x01C&#27;D\xef\xbf\xbe:62105\">"
     "t&#8;\x1f<!--c\x02--><N\x01m/><\x02\t\x03=\"v\"/></RegisterModule>\n"),
};

// Static fiber-optic configurations: one without selection, a selected one of two with the
// debounce time, a 16-slot set, and the selection "None".
const char* const aStaticFoSeeds[] = {
    ("<Properties Name=\"A\"><Property Name=\"FO_Signals\" Value=\"Int64\"/>"
     "<Property Name=\"FO_IN_AO_Offset\" Value=\"0\"/><Property Name=\"FO_IN_DO_Offset\" "
     "Value=\"0\"/><Property Name=\"FO_OUT_AI_Offset\" Value=\"3\"/><Property "
     "Name=\"FO_OUT_DI_Offset\" Value=\"63\"/><Property Name=\"Use_qorKOVE-Z-TM_DI\" "
     "Value=\"true\"/><Property Name=\"Use_Output_StatusSignals\" Value=\"false\"/><Property "
     "Name=\"Use_Output_ControlSignals\" Value=\"false\"/><Property Name=\"QW_Compatibility\" "
     "Value=\"false\"/></Properties>"),
    ("<Properties Name=\"Selection\"><Property Name=\"SelectedConfiguration\" Value=\"b\"/>"
     "</Properties><Properties Name=\"A\"><Property Name=\"FO_Signals\" Value=\"Int64\"/>"
     "</Properties><Properties Name=\"B\"><Property Name=\"FO_Signals\" Value=\"real64\"/>"
     "<Property Name=\"FO_IN_AO_Offset\" Value=\"1\"/><Property Name=\"FO_IN_DO_Offset\" "
     "Value=\"2\"/><Property Name=\"FO_OUT_AI_Offset\" Value=\"0\"/><Property "
     "Name=\"FO_OUT_DI_Offset\" Value=\"0\"/><Property Name=\"Debounce_Delay_Time_32xDI_16xDIO\" "
     "Value=\"20\"/><Property Name=\"Use_qorKOVE-Z-TM_DI\" Value=\"false\"/><Property "
     "Name=\"Use_Output_StatusSignals\" Value=\"true\"/><Property "
     "Name=\"Use_Output_ControlSignals\" Value=\"true\"/><Property Name=\"QW_Compatibility\" "
     "Value=\"true\"/></Properties>"),
    ("<Properties Name=\"A\"><Property Name=\"FO_Signals\" Value=\"Int16x64\"/><Property "
     "Name=\"FO_Slot\" Value=\"15\"/><Property Name=\"FO_IN_AO_Offset\" Value=\"63\"/>"
     "<Property Name=\"FO_IN_DO_Offset\" Value=\"-1\"/><Property Name=\"FO_OUT_AI_Offset\" "
     "Value=\"0\"/><Property Name=\"FO_OUT_DI_Offset\" Value=\"0\"/><Property "
     "Name=\"Use_qorKOVE-Z-TM_DI\" Value=\"false\"/><Property Name=\"Use_Output_StatusSignals\" "
     "Value=\"false\"/><Property Name=\"Use_Output_ControlSignals\" Value=\"false\"/>"
     "<Property Name=\"QW_Compatibility\" Value=\"yes\"/></Properties>"),
    ("<Properties Name=\"Selection\"><Property Name=\"SelectedConfiguration\" Value=\"None\"/>"
     "</Properties><Properties Name=\"A\"/>"),
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
    "StaticFO",
    "SelectedConfiguration",
    "FO_Signals",
    "FO_Slot",
    "Int16x8",
    "Real16x32",
    "OutputFrames",
    "MasterModePeriod",
    "MasterModeLength",
    "EnableDigitalFilter",
    "NumberOfBiQuads",
    "BiQuad",
    "FilterGain",
    "FilterPreDivider",
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

// A binary address description: list "AnalogIn" read by one bus master with two transfers and
// two signals, and list "DigitalOut", an address range with one signal.
void PutU32(Bytes& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void PutList(Bytes& out, uint8_t kind, uint8_t direction, uint16_t count, const char* name,
             const Bytes& part)
{
    PutU32(out, static_cast<uint32_t>(24 + part.size()));
    out.push_back(kind);
    out.push_back(direction);
    out.push_back(static_cast<unsigned char>(count));
    out.push_back(static_cast<unsigned char>(count >> 8));
    char field[16] = {};
    std::snprintf(field, sizeof field, "%s", name);
    out.insert(out.end(), field, field + 16);
    out.insert(out.end(), part.begin(), part.end());
}

void PutSignal(Bytes& out, uint16_t number, uint16_t length, uint32_t offset, uint8_t type)
{
    out.push_back(static_cast<unsigned char>(number));
    out.push_back(static_cast<unsigned char>(number >> 8));
    out.push_back(static_cast<unsigned char>(length));
    out.push_back(static_cast<unsigned char>(length >> 8));
    PutU32(out, offset);
    out.push_back(type);
    out.insert(out.end(), 3, 0);
}

Bytes ForDufDescription()
{
    Bytes out = {'<', '?', 'b', 'i', 'n', 0, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes busMaster = {1, 2, 21, 1};
    PutU32(busMaster, 0x200000);
    PutU32(busMaster, 0x10000);
    PutU32(busMaster, 0x40);
    PutU32(busMaster, 2);
    for (uint32_t t = 0; t < 2; ++t)
    {
        PutU32(busMaster, 0x1000 * t);
        PutU32(busMaster, 0x100 * t);
        PutU32(busMaster, 64);
    }
    PutList(out, 1, 0, 2, "AnalogIn", busMaster);
    PutSignal(out, 0, 16, 0, 3);
    PutSignal(out, 1, 32, 32, 7);
    Bytes range = {3, 4, 0, 0};
    PutU32(range, 0x140000);
    PutU32(range, 256);
    PutList(out, 2, 1, 1, "DigitalOut", range);
    PutSignal(out, 7, 1, 5, 0);
    const uint32_t payload = static_cast<uint32_t>(out.size() - 16);
    for (int i = 0; i < 4; ++i)
        out[12 + i] = static_cast<unsigned char>(payload >> (8 * i));
    return out;
}

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
        kovetest::TarImage(
            {{"Config_62000_System.xml", "<Module Name=\"System\"/>\n"}, {"start.sh", "echo\n"}}),
        kovetest::TarImage({{"inner.xml", std::string(700, 'x'), '0', "prefix"}}, false),
        kovetest::TarImage({{"../up.xml", "x"}, {"link", "", '2'}}),
        // pax form: extended headers that rename and size the member behind them.
        kovetest::TarImage(
            {{"PaxHeaders/a", kovetest::PaxRecords({{"path", "a.xml"}, {"mtime", "1.5"}}), 'x'},
             {"header.xml", "<A/>"},
             {"PaxHeaders/b", kovetest::PaxRecords({{"size", "3"}}), 'x'},
             {"b.xml", "<B>"},
             {"Global", kovetest::PaxRecords({{"comment", "c"}}), 'g'}}),
        // GNU form: a long name ('L') before the member it names, and the folder entry that
        // "tar -C dir -cf x ." writes first.
        kovetest::TarImage({{"./", "", '5'},
                            {"././@LongLink", std::string(150, 'n') + ".xml" + '\0', 'L'},
                            {std::string(100, 'n'), "<N/>"},
                            {"./b.cfg", "b=1\n"}}),
        // Hard links to a member before them: in the header, through a pax link target, and
        // through GNU long link and long names.
        kovetest::TarImage({{"a.xml", "<A/>"},
                            {"b.xml", "", '1', "", 0644, "a.xml"},
                            {"PaxHeaders/c", kovetest::PaxRecords({{"linkpath", "./b.xml"}}), 'x'},
                            {"c.xml", "", '1'},
                            {"././@LongLink", std::string("a.xml") + '\0', 'K'},
                            {"././@LongLink", std::string(120, 'd') + ".xml" + '\0', 'L'},
                            {"d", "", '1'}}),
    };
    std::vector<std::string> configSeeds = tarSeeds;
    configSeeds.push_back(kovetest::TarImage(
        {{"run.sh", "echo\n", '0', "", 04755}, {"./a.xml", "<A/>", '0', "", 02644}}));
    // The same archives compressed, as the hub finds them in flash.
    for (const std::string& image : std::vector<std::string>(configSeeds))
        configSeeds.push_back(Gzip(image));
    for (size_t i = 0; i < configSeeds.size(); ++i)
        WriteSeed(tar + "/seeds/seed" + std::to_string(i), configSeeds[i].data(),
                  configSeeds[i].size());

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

    const std::string duf = dir + "/fuzz_duf_address_data";
    MakeDirectory(duf);
    MakeDirectory(duf + "/seeds");
    const Bytes description = ForDufDescription();
    for (unsigned char selector = 0; selector < 4; ++selector)
    {
        Bytes seed(1, selector);
        seed.insert(seed.end(), description.begin(), description.end());
        WriteSeed(duf + "/seeds/seed" + std::to_string(selector), seed.data(), seed.size());
    }

    // File requests: option byte (1 read, 2 more announced, 4 next fragment), header, data.
    const std::string devmsg = dir + "/fuzz_devmsg_file_request";
    MakeDirectory(devmsg);
    MakeDirectory(devmsg + "/seeds");
    const struct
    {
        unsigned char option;
        uint32_t flags, offset, size;
        const char* name;
        size_t data;
    } fileSeeds[] = {
        {0, 0x08, 0, 5, "a.txt", 5},
        {1, 0, 0, 100, "a.txt", 0},
        {1, 0x04, 0xFFFFFFF6u, 10, "a.txt", 0},
        {2, 0x08, 10, 40, "sub/b.bin", 8},
        {6, 0x100, 0, 30, "sub/c.log", 10},
        {0, 0x02, 0, 1, "sub/../d", 1},
    };
    int f = 0;
    for (const auto& seed : fileSeeds)
    {
        Bytes b = {seed.option};
        for (uint32_t v : {seed.flags, 0u, seed.offset, 0u, seed.size, 0u})
            for (int i = 0; i < 4; ++i)
                b.push_back(static_cast<unsigned char>(v >> (8 * i)));
        std::string name(512, '\0');
        name.replace(0, strlen(seed.name), seed.name);
        b.insert(b.end(), name.begin(), name.end());
        b.insert(b.end(), seed.data, 'x');
        WriteSeed(devmsg + "/seeds/seed" + std::to_string(f++), b.data(), b.size());
    }

    const std::string frames = dir + "/fuzz_devmsg_frames";
    MakeDirectory(frames);
    MakeDirectory(frames + "/seeds");
    const std::string command16(std::string("\x01\x00", 2) + "request data");
    const std::vector<Bytes> frameSeeds = {
        Join({{0, 1}, Frame("", false), Frame(command16, false)}),
        Join({{3, 0}, Frame(command16, true), Frame("second part", true), Frame("end", false)}),
        Join({{200, 1}, Frame(std::string(3000, 'x'), false), Frame("\x02", false)}),
        Join({{1, 1}, Frame(command16, false), {'S', 'x', 0, 0, 1, 0, 0, 0, 'z'}}),
        Join({{7, 1}, Frame("cut short", false)}),
    };
    for (size_t i = 0; i < frameSeeds.size(); ++i)
    {
        Bytes seed = frameSeeds[i];
        if (i + 1 == frameSeeds.size())
            seed.resize(seed.size() - 3);
        WriteSeed(frames + "/seeds/seed" + std::to_string(i), seed.data(), seed.size());
    }

    const std::string discovery = dir + "/fuzz_discovery_datagram";
    MakeDirectory(discovery);
    MakeDirectory(discovery + "/seeds");
    const std::string identify = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<Identify/>\n";
    const std::string discoverySeeds[] = {
        identify + identify,
        "<?xml version=\"1.0\"?>\n<Identify" + identify,
        "<?xml version=\"1.0\"?><Ping/>" + identify,
        std::string("<?bin\0\x02\x02\0\0\0\0\0\0\0\0", 16) + identify,
    };
    n = 0;
    for (const std::string& pair : discoverySeeds)
    {
        // The first datagram ends where the second "<?xml" begins.
        const size_t second = pair.rfind("<?xml");
        const std::string seed =
            std::string(1, static_cast<char>(second * 255 / pair.size())) + pair;
        WriteSeed(discovery + "/seeds/seed" + std::to_string(n++), seed.data(), seed.size());
    }

    const std::string words = dir + "/fuzz_command_words";
    MakeDirectory(words);
    MakeDirectory(words + "/seeds");
    const std::string commandLines[] = {
        "/Applications/tmp/Driver/dufdriver -Slot=62001",
        "  prog\t-a   b \r\n",
        "echo ran-$((6*7)) > FILE; id >> FILE",
        "run \"a b\" 'c d' x\\ y",
    };
    n = 0;
    for (const std::string& line : commandLines)
        WriteSeed(words + "/seeds/seed" + std::to_string(n++), line.data(), line.size());

    const std::string framer = dir + "/fuzz_request_framer";
    MakeDirectory(framer);
    MakeDirectory(framer + "/seeds");
    const std::string framerSeeds[] = {
        "\r\n\r\n" + identify + "<?xml?><Ping/>",
        "<?xml?><!DOCTYPE P [<!ENTITY e \"]>\"><!-- ]> --><?p ]>?>]><!-- <L> --><P a=\"/>\">"
        "<![CDATA[</P>]]><?p </P>?><P>x</P><p/></ P >trailing",
        "<?XML?><Lock><?xml?>< Ping / >",
        "<?xml?><Lock>" + std::string("<?bin\0\x03\0\0\0\0\0\x02\0\0\0ab", 18) + "<?xml?>",
        "<?xml?><Module Name=\"a/b\"><Signal/></Mod></module\t>",
    };
    n = 0;
    for (const std::string& stream : framerSeeds)
    {
        const std::string seed = std::string(1, static_cast<char>(n * 40)) + stream;
        WriteSeed(framer + "/seeds/seed" + std::to_string(n++), seed.data(), seed.size());
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

    const std::string staticFo = dir + "/fuzz_static_fo_config";
    MakeDirectory(staticFo);
    MakeDirectory(staticFo + "/seeds");
    n = 0;
    for (const char* seed : aStaticFoSeeds)
    {
        const std::string text =
            std::string("<?xml version=\"1.0\"?>\n<Module Name=\"StaticFO\">") + seed +
            "</Module>\n";
        WriteSeed(staticFo + "/seeds/seed" + std::to_string(n++), text.data(), text.size());
    }

    const std::string filter = dir + "/fuzz_filter_properties";
    MakeDirectory(filter);
    MakeDirectory(filter + "/seeds");
    n = 0;
    for (const char* seed : aFilterSeeds)
    {
        const std::string text = std::string("<?xml version=\"1.0\"?>\n<Module Name=\"AI16\">"
                                             "<Properties>") +
                                 seed + "</Properties></Module>\n";
        WriteSeed(filter + "/seeds/seed" + std::to_string(n++), text.data(), text.size());
    }
    // Zip archives made by the updater's own writer, and the same with a member removed.
    const std::string archive = dir + "/fuzz_update_archive";
    MakeDirectory(archive);
    MakeDirectory(archive + "/seeds");
    const std::string member = archive + "/member.txt";
    const std::string zip = archive + "/seeds/seed0";
    WriteSeed(member, "52.374030 x Files;Config y\n", 27);
    if (!CUpdateArchive::PackFile(zip, member, "Target.txt"))
        g_bFailed = true;
    // zip64 sizes, as "zip -fz" writes them.
    const std::string zip64 = archive + "/zip64.zip";
    if (ExecuteProgram({"zip", "-q", "-j", "-fz", zip64, member}, true) != 0 ||
        rename(zip64.c_str(), (archive + "/seeds/seed1").c_str()) != 0)
        g_bFailed = true;
    unlink(member.c_str());

    const std::string input = dir + "/fuzz_update_input";
    MakeDirectory(input);
    MakeDirectory(input + "/seeds");
    const std::string inputSeeds[] = {
        std::string(1, '\0') +
            "57.310000 x A y\n52.374??? x Files;<B;>C;AVR1;<NoHwModuleUpdate> y\n",
        std::string(1, '\1') +
            "-file=fw.zip\n-dir=/tmp/Update/\n-Slot=-1,2\n-Force\n3\n-SendProgressTo=1.2.3.4:5",
        std::string(1, '\2') +
            "<?xml version=\"1.0\"?>\n<Version><Files Version=\"07\" Name=\"f\" Type=\"Flash\" "
            "ArchiveDir=\"img\" DestinationDir=\"/dev/mtd_fpga:70000\"><File>a.bin</File></Files>"
            "<Files Type=\"Execute\" DestinationDir=\"/bin\"><File Argument0=\"a b\" "
            "SkipArgumentQuotes=\"true\">*reboot</File></Files><Files Type=\"HDD\" "
            "DestinationDir=\"/x/\"><File Verify=\"false\" Overwrite=\"false\">y</File></Files>"
            "</Version>\n",
    };
    n = 0;
    for (const std::string& seed : inputSeeds)
        WriteSeed(input + "/seeds/seed" + std::to_string(n++), seed.data(), seed.size());
    // Sniffer configurations: devices, controllers and signal groups with entries in use.
    const std::string sniffer = dir + "/fuzz_pn_configuration";
    MakeDirectory(sniffer);
    MakeDirectory(sniffer + "/seeds");
    n = 0;
    for (const Bytes& seed : {Configuration({{2, 12, 4}, {4, 12, 3}, {3, 12, 2}}, 0),
                              Configuration({{0x112, 256, 1}, {0x113, 256, 1}, {2, 12, 3}}, 0),
                              Configuration({{0x114, 16, 2}, {4, 12, 6}, {0x111, 4, 1}}, 0)})
        WriteSeed(sniffer + "/seeds/seed" + std::to_string(n++), seed.data(), seed.size());

    // Diagnostic frames: the device count, then one frame of each command.
    const std::string diag = dir + "/fuzz_pn_diag_frames";
    MakeDirectory(diag);
    MakeDirectory(diag + "/seeds");
    const struct
    {
        unsigned short command;
        unsigned short payload;
    } diagFrames[] = {{50, 0},  {51, 0},  {52, 0},  {53, 4},  {54, 1400}, {55, 0},
                  {61, 16}, {63, 20}, {64, 20}, {68, 0},  {69, 20}};
    n = 0;
    for (const auto& f : diagFrames)
    {
        Bytes seed = {static_cast<unsigned char>(n * 7)};
        const unsigned length = 8u + f.payload;
        const unsigned char head[8] = {0x50, 0x4E, static_cast<unsigned char>(f.command), 0,
                                       static_cast<unsigned char>(length),
                                       static_cast<unsigned char>(length >> 8), 0, 0};
        seed.insert(seed.end(), head, head + 8);
        for (unsigned i = 0; i < f.payload; ++i)
            seed.push_back(static_cast<unsigned char>(i == 6 ? 10 : 0));
        WriteSeed(diag + "/seeds/seed" + std::to_string(n++), seed.data(), seed.size());
    }
    const std::string answers = dir + "/fuzz_qtx_answers";
    MakeDirectory(answers);
    MakeDirectory(answers + "/seeds");
    std::vector<Bytes> answerSeeds;
    const std::vector<uint8_t> progress = EncodeProgressRecord("Writing flash", 2, 5, 0.5);
    answerSeeds.push_back(Join({{0}, Bytes(progress.begin(), progress.end())}));
    answerSeeds.push_back({1, 0x50, 0x4E, 55, 0, 10, 0, 2, 0, 0xAB, 0xCD});
    answerSeeds.push_back({2 | 4 | 8, 9, 9, 9, 9, 9, 9, 9, 9, 1, 0, 0, 0, 1, 0, 0, 0, 'k'});
    answerSeeds.push_back({2, 1, 2, 3, 4, 5, 6, 7, 8, 2, 0, 0, 0, 'h', 'i'});
    for (const Bytes& reply : binSeeds)
        answerSeeds.push_back(Join({{3}, reply}));
    for (size_t i = 0; i < answerSeeds.size(); ++i)
        WriteSeed(answers + "/seeds/seed" + std::to_string(i), answerSeeds[i].data(),
                  answerSeeds[i].size());

    const std::string byteList = dir + "/fuzz_qtx_byte_list";
    MakeDirectory(byteList);
    MakeDirectory(byteList + "/seeds");
    const std::string lists[] = {std::string("\x08") + "1;2;255",
                                 std::string("\x02") + "0x10;-1;0b11",
                                 std::string("\x10") + " 0d9_9 ;0o17;;x",
                                 std::string("\x04") + "3DCCCCCD",
                                 std::string("\x04") + "-0x8000_0000",
                                 std::string("\x04") + "12abc",
                                 std::string("\x04") + " 1.5e-3\t",
                                 std::string("\x04") + "0x10:4"};
    for (size_t i = 0; i < sizeof lists / sizeof lists[0]; ++i)
        WriteSeed(byteList + "/seeds/seed" + std::to_string(i), lists[i].data(), lists[i].size());

    const std::string eeprom = dir + "/fuzz_qtx_eeprom_record";
    MakeDirectory(eeprom);
    MakeDirectory(eeprom + "/seeds");
    std::string record(512, '\0');
    record.replace(4, 12, "070520240903");
    record.replace(16, 6, "123456");
    record.replace(32, 9, "SimModule");
    record.replace(128, 8, "01010000");
    record[507] = 22;
    const std::string entries[] = {std::string("\x04") + record,
                                   std::string("\x01") + "2024-5-7 9:3",
                                   std::string("\x01") + "0",
                                   std::string("\x02") + "0a1B2c3D4e5F",
                                   std::string("\x02") + "00:11:22",
                                   std::string("\x03") + " 255 ",
                                   std::string("\x07") + "fF"};
    for (size_t i = 0; i < sizeof entries / sizeof entries[0]; ++i)
        WriteSeed(eeprom + "/seeds/seed" + std::to_string(i), entries[i].data(), entries[i].size());

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
