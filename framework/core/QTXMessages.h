// Requests from one driver to another over 127.0.0.1, the user-configuration string that the
// system driver hands to module drivers, and the hex-switch set read from it.
//
// A request is one document sent on a fresh TCP connection to the driver's port; the answer
// is the reply document on the same connection. The send functions retry a failed attempt
// every 100 ms until their time-out, counted on the monotonic clock from the first try, has
// passed; they never throw and may be called from any thread.
#ifndef QTX_MESSAGES_H
#define QTX_MESSAGES_H

#include <cstdint>
#include <string>

class CQTXError;

// Addresses of the drivers of the device.
extern const char acLocalhost[];     // "127.0.0.1", host of every driver-to-driver connection
extern const char acSystemAddress[]; // "127.0.0.1:62000", the system driver
extern const char acDufAddress[];    // "127.0.0.1:62001", the signal-routing driver
extern const char acFOAddress[];     // "127.0.0.1:62002", the fiber-optic driver
extern const char acSystemFOEvent[]; // "127.0.0.1:62011"

// The hex switches of the device as the user configuration gives them; -1 means unknown.
struct _HEXSWITCH_SET
{
    int iSwitch1;
    int iSwitch2;
    int iSwitch3;
    int iRest; // everything above the third switch
};

// Sends `length` bytes as one request to 127.0.0.1:port and receives the reply document into
// replyFile (an empty name receives and drops it). True when a reply came whose root element
// is a known command tag. At least one attempt is made, also with a time-out of 0.
bool SendBufferToDriver(const void* buffer, int length, int timeoutMs, int port,
                        const std::string& replyFile);
// The same with the characters of a text.
bool SendStringToDriver(const std::string& text, int timeoutMs, int port,
                        const std::string& replyFile);
// The same with the contents of a file, sent as they are.
bool SendFileToDriver(const std::string& file, int timeoutMs, int port,
                      const std::string& replyFile);

// Asks the system driver to store the configuration directory in flash, receiving its answer
// into replyFile. True only when the answer's Status is "Done": a refused store ("ERROR") and
// no answer within the time-out are false.
bool StoreConfigurationAtSystem(int timeoutMs, const std::string& replyFile);

// Tells the system driver that the driver on `port` has the error (text ": " parameter); one
// second of retries, the result is not reported.
void SendModuleErrorToSystem(uint32_t port, const CQTXError& error);

// The value of `key` (compared without regard to case) in a user-configuration string
// "<first item>;key=value;key=value;". Every item must be closed by ";"; the first item is not
// a key. The empty text when the key is missing.
std::string UserConfigValue(const std::string& config, const char* key);
// Reads the value of "hex": switch 1 from bits 4-7, switch 2 from bits 0-3, switch 3 from
// bits 8-11, the rest from bits 12-27. Fills `set` when it is not null (all -1 when there is no
// usable value) and returns switch 1, or -1.
int UserConfig2HexSwitchFull(const std::string& config, _HEXSWITCH_SET* set);
int UserConfig2HexSwitch(const std::string& config);

// The text with &, <, > and " replaced by their XML references, and tab, line feed and carriage
// return by character references (so that they survive in attribute values), for values that
// go into a document composed as text (in UTF-8). Characters that XML 1.0 does not allow
// (other control characters, U+FFFE, U+FFFF) are left out; a byte that is no UTF-8 is written
// as the ISO-8859-1 character of its value. A printable ASCII text without markup characters
// comes back unchanged.
std::string EscapeXmlValue(const std::string& value);

#endif
