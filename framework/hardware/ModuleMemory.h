/* Memories of the plug-in measurement modules, reached through the module libraries
 * (ModuleLibrary.h): module commands, the EEPROM with its production record, and the SPI
 * flash in blocks.
 *
 * Slots: 0 is the central unit, 1 to 4 the modules; where a function accepts a slot driver's
 * port (62100 to 62104), it means the slot 62100 below it.
 *
 * "libSRW.so" stays loaded, with one module reserved, from the first command until a release
 * (SrwCommand with a negative code); a command for another slot releases the reserved module
 * and reserves the new one. "libPLV.so" is loaded, reserved, used and released within each
 * flash call. No lock is held across calls: callers run one module operation at a time.
 *
 * Nothing here prints, logs or throws; every function reports false or -1. */
#ifndef MODULE_MEMORY_H
#define MODULE_MEMORY_H

#include <stdint.h>
#include <string>

#include "ModuleLibrary.h"

/* Size of the EEPROM production record; its last 4 bytes hold the checksum. */
#define EEPROM_IMAGE_SIZE 512
/* Largest payload of a calibration record in a flash partition. */
#define CALIBRATION_MAX_LENGTH 0x4FFFF

/* One module command. code < 0 releases the reserved module and unloads the library (true
 * in every case). Otherwise the library is loaded when it is not, the module in slot is
 * reserved when it is not (retried every 100 ms while the budget lasts; a failed
 * reservation unloads the library again), and the command is sent. True when the library
 * reported success (nonzero); false at once for a negative length. extra is not used: how
 * many bytes the library says it returned does not decide the result. */
bool SrwCommand(int code, void* in, int inLength, void* out, int outLength, int extra, int budgetMs,
                int slot);

/* Reads length bytes of the EEPROM from address (command 9); releases the module unless
 * keepReserved. False for a null buffer, a negative address, a length below 1 or a slot
 * that is neither 0..4 nor 62100..62104. */
bool EepromRead(void* buffer, int length, int address, int slot, int budgetMs, bool keepReserved);

/* Writes the buffer to the EEPROM at address (command 10), with the checksum of the
 * production record stored in its last 4 bytes first when the write covers the record, then
 * reads it back after 20 ms and compares. The slot goes to the library as given (no port
 * numbers); one reservation try. False for a null buffer, a negative address or length. True
 * when every step succeeded and the bytes match. */
bool EepromWrite(void* buffer, int length, int address, int slot, int budgetMs, bool keepReserved);

/* Releases the reserved module and unloads "libSRW.so". */
bool EepromReleaseLock();

/* Whether the little-endian u32 in the last 4 bytes of the image equals the checksum of the
 * bytes before them: the sum of ((byte + 0x65) & 0xFF). With update the checksum is stored
 * there afterwards. False (nothing stored) for an image shorter than 4 bytes. */
bool EepromCheck(void* image, int length, bool update);

/* The module libraries have no watchdog of their own to trigger: returns 1. */
int TriggerSystemWatchdog();

/* Flash blocks through an open "libPLV.so". Each returns the library call's success. */
bool Reserve_PLV_Module(WIO2USR_HANDLE* handle, int slot, int extra, uint32_t* bytesReturned);
bool Read_PLV_Block(WIO2USR_HANDLE* handle, uint8_t* buffer, uint32_t length, uint32_t address,
                    uint32_t* bytesReturned);
/* record: the 12-byte block head {result, address, length} and the data; result gets the
 * library's answer in the head. */
bool Write_PLV_Block(WIO2USR_HANDLE* handle, uint8_t* record, uint32_t recordLength, int* result,
                     uint32_t* bytesReturned);

/* Reads length bytes of the module's SPI flash from address: true when all of it came. */
bool SpiFlashRead(void* buffer, int length, int address, int slot, int extra);

/* Writes length bytes to the module's SPI flash at address. Whole 64 KiB blocks go in one
 * record; otherwise each block goes in a record of its own: a part of a block is merged into
 * the block as it stands (read first), the record carries the whole block at the block's
 * address, so the bytes around the part are kept, and its head's length is the part's. */
bool SpiFlashWrite(const void* data, int length, int address, int slot, int extra);

/* Takes the calibration archive out of a flash partition: a record "CALI", u32 0, u32 length
 * (2 .. CALIBRATION_MAX_LENGTH), then a ZIP archive of that length; unpacks it into
 * directory (unzip with an argument vector). True when the archive was unpacked. */
bool GetCalibrationFromFlash(const std::string& device, const std::string& directory);

#endif
