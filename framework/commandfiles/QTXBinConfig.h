// Binary configuration documents of the module drivers.
//
// A binary document starts with the 16-byte head (_QTXBIN_FIRST_HEAD). A configuration
// (tag 0x101, replies 0x8101 or 0x8100) carries behind it the 328-byte _QTXBIN_CONFIGURATION
// with sixteen group descriptors, then the blocks of the groups that are present, in index
// order. A block is a 32-byte group head ("GR" and the two-digit index, then a 28-byte name)
// followed by the group's fixed-size entries, padded to a multiple of 4 bytes.
//
// The structures below are the in-memory form. The bytes on the wire are little-endian and are
// only ever read and written field by field through the QtxBinRead*/QtxBinWrite* functions
// (the same code runs on 32-bit ARM and on 64-bit hosts, so no structure is laid over a buffer).
//
// Three ways to work with a configuration:
// - a received one is read and marked in place through a QtxBinCfgView, which knows how many
//   bytes are really there; every size, count and offset taken from the document is checked
//   against that, in 64-bit arithmetic, before anything behind it is touched;
// - QTXBinConfigPW builds an image (head, configuration, one block per group) and streams it
//   out through a write callback; QTXBinConfigReplyPW builds the reply to a request with its
//   per-entry error lists;
// - QtxBinCreateGroup writes groups in place into one buffer of known capacity.
//
// The QtxBin* functions return status codes and never throw, log or print.
#ifndef QTX_BIN_CONFIG_H
#define QTX_BIN_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// ---- Byte layout

constexpr uint32_t QTXBIN_FIRST_HEAD_SIZE = 16;
constexpr uint32_t QTXBIN_CONFIGURATION_SIZE = 328;
constexpr uint32_t QTXBIN_GROUP_SIZE = 12;      // one group descriptor
constexpr uint32_t QTXBIN_GROUP_HEAD_SIZE = 32; // label and name in front of a group's entries
constexpr uint32_t QTXBIN_GROUP_NAME_SIZE = 28; // name field, its last byte always zero
constexpr unsigned int QTXBIN_GROUP_COUNT = 16;
// Head and configuration together, the first piece of every generated image.
constexpr uint32_t QTXBIN_IMAGE_HEAD_SIZE = QTXBIN_FIRST_HEAD_SIZE + QTXBIN_CONFIGURATION_SIZE;
// Largest payload length the 32-bit length field of the head can state for a whole document.
constexpr uint64_t QTXBIN_MAX_PAYLOAD = UINT32_MAX - QTXBIN_FIRST_HEAD_SIZE;

// Offsets inside the configuration.
constexpr uint32_t QTXBIN_CFG_GROUPS_OFFSET = 8;
constexpr uint32_t QTXBIN_CFG_VERSION_OFFSET = 272;
constexpr uint32_t QTXBIN_CFG_CHECK_RESULT_OFFSET = 278;
constexpr uint32_t QTXBIN_CFG_APPLICATION_OFFSET = 280;
constexpr uint32_t QTXBIN_CFG_APPLICATION_SIZE = 48;

// Tags of the head. Bit 15 marks a reply.
constexpr uint16_t QTXBIN_TAG_REPLY = 0x8000;
constexpr uint16_t QTXBIN_TAG_CONFIGURATION = 0x101;
constexpr uint16_t QTXBIN_TAG_CONFIGURATION_REPLY = 0x8101;

// Reply groups that list one error code per entry of a request group have this type bit
// (with the request group's type in the low 12 bits) and 2-byte entries.
constexpr uint16_t QTXBIN_TYPE_ENTRY_ERRORS = 0x8000;

// Status byte of a group descriptor.
constexpr uint8_t QTXBIN_STATUS_NONE = 0;          // not looked at
constexpr uint8_t QTXBIN_STATUS_TAKEN = 1;         // taken by the driver
constexpr uint8_t QTXBIN_STATUS_ENTRY_SHORT = 128; // entries shorter than the driver needs
constexpr uint8_t QTXBIN_STATUS_IMPLAUSIBLE = 129; // sizes do not fit

// Check results (configuration offset 278) and results of the group functions.
constexpr int16_t QTXBIN_CHECK_OK = 0;
constexpr int16_t QTXBIN_CHECK_GROUP_SIZE = -1000;  // a group's size or entry size is wrong
constexpr int16_t QTXBIN_CHECK_BEYOND_DATA = -1101; // the groups reach beyond the payload
constexpr int16_t QTXBIN_CHECK_COUNT = -1105;       // the count byte exceeds the maximum
constexpr int16_t QTXBIN_ERR_BAD_INDEX = -70;       // group index above 15, or a bad descriptor
constexpr int16_t QTXBIN_ERR_NO_MEMORY = -258;      // no memory for an image or a group
constexpr int16_t QTXBIN_ERR_SHORT = -259;          // fewer than 328 configuration bytes
// Positive results of the reply's error-list functions.
constexpr short QTXBIN_LIST_BAD_INDEX = 70; // group index above 15
constexpr short QTXBIN_LIST_NO_REPLY = 91;  // no reply image exists

// ---- In-memory types

// The 16-byte head of every binary document.
struct _QTXBIN_FIRST_HEAD
{
    char label[6]; // "<?bin" and a zero byte
    uint16_t tag;  // command tag in bits 0..14, bit 15 in replies
    int16_t error; // the reply's error number; 0 in requests
    uint16_t reserved;
    uint32_t length; // payload bytes behind the head
};

// One group descriptor (12 bytes).
struct _QTXBIN_GROUP
{
    uint32_t size;      // block bytes: 32 + count * entrySize rounded up to 4; 0 when unused
    uint16_t type;      // kind of group; 0x8000 | type for entry error lists in replies
    uint16_t entrySize; // bytes per entry
    uint16_t count;     // number of entries
    uint8_t status;     // QTXBIN_STATUS_*
    uint8_t reserved;
};

// The configuration behind the head (328 bytes).
struct _QTXBIN_CONFIGURATION
{
    uint8_t count;     // checked against the driver's maximum; the maximum in a refused reply
    uint8_t reserved1; // for the application (minor version); 0 in replies
    uint16_t type;     // application word (configuration type), copied into replies
    uint32_t flags;    // for the application; 0 in replies
    _QTXBIN_GROUP group[QTXBIN_GROUP_COUNT];
    uint8_t reserved200[72]; // for the application; 0 in replies
    uint32_t version; // for the application (software version in replies); 0 after ReplyCreate
    uint16_t reserved276;
    int16_t checkResult; // QTXBIN_CHECK_*; cleared in a request by the first check
    uint8_t application[QTXBIN_CFG_APPLICATION_SIZE]; // copied unchanged into replies
};

// ---- Little-endian fields

inline uint16_t QtxBinGetU16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t QtxBinGetI16(const unsigned char* p)
{
    return static_cast<int16_t>(QtxBinGetU16(p));
}
inline uint32_t QtxBinGetU32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void QtxBinPutU16(unsigned char* p, uint16_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}
inline void QtxBinPutI16(unsigned char* p, int16_t value)
{
    QtxBinPutU16(p, static_cast<uint16_t>(value));
}
inline void QtxBinPutU32(unsigned char* p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

// Conversions between the in-memory types and their bytes. The caller provides the full
// record (16, 12 or 328 bytes).
void QtxBinReadFirstHead(const unsigned char* bytes, _QTXBIN_FIRST_HEAD* head);
void QtxBinWriteFirstHead(unsigned char* bytes, const _QTXBIN_FIRST_HEAD* head);
void QtxBinReadGroup(const unsigned char* bytes, _QTXBIN_GROUP* group);
void QtxBinWriteGroup(unsigned char* bytes, const _QTXBIN_GROUP* group);
void QtxBinReadConfiguration(const unsigned char* bytes, _QTXBIN_CONFIGURATION* config);
void QtxBinWriteConfiguration(unsigned char* bytes, const _QTXBIN_CONFIGURATION* config);

// Block size of a group of `count` entries of `entrySize` bytes: 32 + entries, rounded up to 4.
uint32_t QtxBinGroupBlockSize(unsigned short entrySize, unsigned short count);

// ---- Head

// Label "<?bin"+0, the tag, zero error and reserved bytes, the payload length.
void QtxBinSetInit_FIRST_HEAD(_QTXBIN_FIRST_HEAD* head, unsigned short tag, unsigned int length);
// The same written straight into 16 bytes.
void QtxBinSetInit_FIRST_HEAD(unsigned char* bytes, unsigned short tag, unsigned int length);
// 0 when the label is "<?bin" and a zero byte, -1 otherwise (also for null).
int QtxBinCheckLabel(const _QTXBIN_FIRST_HEAD* head);
int QtxBinCheckLabel(const unsigned char* bytes); // the first 6 bytes of a document

// 0 for a configuration tag (low 15 bits 0x101, or 0x8100), -1 otherwise.
int QtxBinCheckConfigurationTag(unsigned short tag);

// Standard name of the entry error list for a request group type: "ANALOG_I_ERR" (2),
// "ANALOG_O_ERR" (3), "DIGITAL_I_ERR" (4), "DIGITAL_O_ERR" (5), "ERRList" otherwise
// (the low 12 bits of the type count).
const char* QtxBinEntryErrorListName(unsigned short type);

// ---- A received configuration, in place

// The configuration bytes of a document (payload offset 0) and how many payload bytes are
// really there. Functions that mark the configuration (status bytes, check result) write
// through `data`. A view with a null `data` or fewer than 328 bytes holds no configuration.
struct QtxBinCfgView
{
    unsigned char* data = nullptr;
    uint32_t length = 0;
};

// The configuration of a document of `documentLength` bytes (head first). Empty view unless
// the label is right, the tag is a configuration tag, the head's payload length is at least
// 328 and no more than the bytes present. The view's length is the head's payload length.
QtxBinCfgView QtxBinGetConfiguration(unsigned char* document, size_t documentLength);

// Plausibility of the group sizes against the payload: descriptors 0..15 in order, a running
// total from 328. A size of 0 passes. A size below 32, or a size whose entries
// (count * entry size) do not fit behind the 32-byte group head, sets status 129 and gives
// -1000; a total beyond the view's length gives -1101. 0 when everything fits; -259 for a
// view without a configuration.
int QtxBinCfgPlausibleCheck(QtxBinCfgView config);

// Sum of the 16 block sizes (64 bits: the sum of 32-bit sizes can exceed 32 bits).
uint64_t QtxBinCfgCalcGroupsMemSize(const _QTXBIN_CONFIGURATION* config);
uint64_t QtxBinCfgCalcGroupsMemSize(QtxBinCfgView config); // 0 for an empty view

// Descriptor `index` decoded into *group; false for an index above 15 or an empty view.
bool QtxBinCfgGetGroup(QtxBinCfgView config, unsigned int index, _QTXBIN_GROUP* group);
// Writes descriptor `index`'s status byte; false for an index above 15 or an empty view.
bool QtxBinCfgSetGroupStatus(QtxBinCfgView config, unsigned int index, uint8_t status);
// Check result at offset 278 (0 for an empty view) and its writer.
int16_t QtxBinCfgGetCheckResult(QtxBinCfgView config);
bool QtxBinCfgSetCheckResult(QtxBinCfgView config, int16_t result);
// Clears the check result and the 16 status bytes, as the first check of a request does.
void QtxBinCfgClearResults(QtxBinCfgView config);

// The first descriptor (lowest index) of this type (all 16 bits) with a size above 31.
// Found and fitting: true, *entries = its first entry, *index = its index, *group = the
// descriptor. A group whose block or entries reach beyond the view counts as not found.
// Not found: false, *entries null, *index 0xFFFFFFFF, *group zeroed. Outputs may be null.
bool QtxBinCfgSearchGroup(QtxBinCfgView config, unsigned short type, unsigned char** entries,
                          unsigned int* index, _QTXBIN_GROUP* group = nullptr);

// -1000 and status 128 (in *group) when the entry size is below `minimum`, else 0.
int QtxBinGrpCheckEntrySize(_QTXBIN_GROUP* group, unsigned short minimum);

// Takes the group of this type for a driver that needs entries of at least `minimum` bytes.
// - not found: 0;
// - its block or entries do not fit in the view: status 129 in the document, -1000;
// - entries shorter than `minimum`: status 128 in the document, -1000;
// - otherwise status 1 (taken) in the document, result 0; the group is handed out when it has
//   entries: *entries points to the first, *group holds the descriptor.
// When no group is handed out, *entries is null and *group is zeroed (count 0); *index is
// the group's index when one was found, 0xFFFFFFFF otherwise. Outputs may be null.
int QtxBinCfgGetAndCheckGroup(QtxBinCfgView config, unsigned short type, unsigned char** entries,
                              unsigned int* index, unsigned short minimum, _QTXBIN_GROUP* group);

// First entry of the group whose descriptor equals *group in every field; null when none does
// or its block does not fit in the view.
unsigned char* QtxBinGetFirstSignal(QtxBinCfgView config, const _QTXBIN_GROUP* group);
// entry + the group's entry size; null when either is null. The caller counts the entries.
unsigned char* QtxBinGetNextSignal(const _QTXBIN_GROUP* group, unsigned char* entry);

// Copies `count` entries between arrays of different entry sizes: each entry takes the
// smaller size's bytes and the rest of the destination entry is zeroed.
void QtxBinCopyEntriesToArray(void* destination, unsigned short destinationSize, const void* source,
                              unsigned short sourceSize, unsigned int count);

// Writes group `index` in place into a configuration being built in one buffer; the view's
// length is the buffer's capacity from the configuration on. Copies the descriptor to its
// place, writes the block at 328 + the sizes of descriptors 0..index-1: label "GRnn", the name
// ("no_name" when null) zero-padded with the field's last byte zero, the entries zeroed.
// Returns the first entry, or null when the index is above 15, the view or descriptor is
// missing, the size is below 32 or too small for the entries, the block does not fit in the
// capacity, or the group would change its size under a later group that is already written.
unsigned char* QtxBinCreateGroup(unsigned int index, QtxBinCfgView config,
                                 const _QTXBIN_GROUP* descriptor, const char* name);

// ---- Signal types

struct QtxBinSignalType
{
    unsigned char bits;
    const char* name;
};
// Width and name of the signal type codes 0..27; codes above are unknown (0 bits, "-").
constexpr unsigned int QTXBIN_SIGNAL_TYPE_COUNT = 28;
extern const QtxBinSignalType SizeOfType_Bits[QTXBIN_SIGNAL_TYPE_COUNT];

int QtxBinGetSizeOfType_Bits(unsigned char code);
int QtxBinGetSizeOfType_Bytes(unsigned char code); // bits / 8; 0 below 8 bits
const char* QtxBinGetSignalTypeName(unsigned char code);

// One flag per signal type code 0..63: set when a driver accepts that type.
struct QtxBinSignalTypesAvailable
{
    // All flags clear for a null list or a count of 0, otherwise Init(codes, count).
    explicit QtxBinSignalTypesAvailable(const unsigned char* codes = nullptr,
                                        unsigned int count = 0);
    // Clears all flags and sets those of the listed codes below 64 (others are ignored).
    void Init(const unsigned char* codes, unsigned int count);
    bool IsAvailable(unsigned int code) const { return code < 64 && flags[code] != 0; }

    unsigned char flags[64];
};

// ---- Image builder

// Receives `length` bytes that belong at byte `offset` of an output of `total` bytes; pieces
// come in increasing order of offset. Returns false to stop the generation.
typedef bool (*QtxBinWriteCallback)(void* context, const unsigned char* data, unsigned int offset,
                                    unsigned int length, unsigned int total);

// A configuration image: head and configuration in memory, one zero-filled block per group.
// Nothing exists until the first New or CreateGroup.
class QTXBinConfigPW
{
public:
    QTXBinConfigPW();
    virtual ~QTXBinConfigPW();

    // Delete(), then a zeroed head and configuration; the head keeps `tag` (label and length
    // are set by Generate). Null without memory.
    _QTXBIN_CONFIGURATION* New(unsigned short tag = QTXBIN_TAG_CONFIGURATION);
    // Frees every group block and the image.
    void Delete();

    // Sets group `index` to the descriptor and gives it a new zero-filled block of the
    // descriptor's size with the label and the name (blank-padded, field's last byte zero);
    // an earlier block of that index is freed. A size of 0 leaves the group without a block.
    // Creates the image (tag 0x101) when there is none.
    // 0; -70 for an index above 15, a null descriptor, a size of 1..31 or a size too small for
    // the entries; -258 without memory or when the image would outgrow the 32-bit length
    // (the descriptor's size is then 0).
    short CreateGroup(unsigned int index, const _QTXBIN_GROUP* descriptor, const char* name);
    // The same with the descriptor {QtxBinGroupBlockSize(entrySize, count), type, entrySize,
    // count, status 0}.
    short CreateGroup(unsigned int index, unsigned short type, unsigned short entrySize,
                      unsigned short count, const char* name);

    // The group's entries (block + 32); null for an index above 15, no image or no block.
    unsigned char* GetGroupMem(unsigned int index);
    // Bytes available from GetGroupMem(index) on (0 when it is null).
    uint32_t GetGroupMemSize(unsigned int index) const;
    // Descriptor `index`; null for an index above 15 or no image.
    _QTXBIN_GROUP* GetGroup(unsigned int index);
    // Null while there is no image.
    _QTXBIN_FIRST_HEAD* GetFirstHead();
    _QTXBIN_CONFIGURATION* GetConfig();

    // Streams the image: completes the head (label, payload length 328 + the block sizes),
    // writes head and configuration as one piece of 344 bytes at offset 0, then each block in
    // index order. Blocks that exist are written at their descriptor's size (zero-padded when
    // a caller enlarged the descriptor). When descriptors state sizes without blocks, up to 408
    // missing bytes are written as zeros at the end; more give false. False also without an
    // image, for a null callback, an image beyond the 32-bit length, or when the callback stops.
    bool Generate(QtxBinWriteCallback write, void* context);

protected:
    // Frees group `index`'s block, leaving its descriptor as it is.
    void FreeGroupBlock(unsigned int index);

private:
    QTXBinConfigPW(const QTXBinConfigPW&) = delete;
    QTXBinConfigPW& operator=(const QTXBinConfigPW&) = delete;

    struct Image
    {
        _QTXBIN_FIRST_HEAD head;
        _QTXBIN_CONFIGURATION config;
    };
    struct FreeDeleter
    {
        void operator()(unsigned char* p) const { std::free(p); }
    };

    std::unique_ptr<Image> m_pImage;
    std::unique_ptr<unsigned char, FreeDeleter> m_apBlock[QTXBIN_GROUP_COUNT];
    uint32_t m_auBlockSize[QTXBIN_GROUP_COUNT]; // allocated bytes of each block
};

// The reply to a configuration request: the request's descriptors (sizes cleared), its
// application word and block, and entry error lists created on first use.
class QTXBinConfigReplyPW : public QTXBinConfigPW
{
public:
    QTXBinConfigReplyPW();

    // New(0x8101); copies the 16 descriptors, noting which groups were present, then clears
    // their sizes and reserved bytes (type, entry size, count and status stay); copies the
    // application word (offset 2) and block (offset 280). Null for a null request or an empty
    // view, or without memory.
    _QTXBIN_CONFIGURATION* ReplyCreate(const _QTXBIN_CONFIGURATION* request);
    _QTXBIN_CONFIGURATION* ReplyCreate(QtxBinCfgView request);

    // The entry error list of group `index`, created (all codes 0) on first use when the
    // request had that group with entries: type 0x8000 | (type & 0x0FFF), entry size 2, the
    // request group's count, named `name` or the standard name. *list receives its bytes
    // (*count little-endian 16-bit codes), or null with *count 0 when the request had no such
    // group or the index holds another reply group. 0; 70 for an index above 15; 91 without a
    // reply image; the CreateGroup error when the list cannot be created.
    short GroupToEntryErrorList(unsigned char index, unsigned char** list, unsigned short* count,
                                const char* name);

    // Records `code` for entry `entry` of request group `group`: stored when the slot holds 0,
    // or holds a positive code and `code` is negative (the first code of each sign stays).
    // Entries beyond the list are ignored. Result as GroupToEntryErrorList (0 when the request
    // had no such group).
    short AddEntryError(short code, unsigned char group, unsigned short entry);
    // Copies `count` codes into the group's list, as many as it holds (the rest is dropped).
    // Result as GroupToEntryErrorList; 70 for null codes with a count above 0.
    short AddEntriesErrorList(const short* codes, unsigned short count, unsigned char group,
                              const char* name);

    // Bit i set when the request's group i was present (size above 31).
    uint32_t GetRequestGroups() const { return m_uRequestGroups; }

private:
    uint32_t m_uRequestGroups;
};

#endif
