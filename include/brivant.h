/*
 * brivant.h - the public interface of BRIVANT, the library that opens,
 * configures and reads a USB counter unit (three counting channels 0 to 2,
 * a unit ID from 0 to 15, up to 16 units open per process).
 *
 * Using it
 *   Call Brivant_Device_Open(id) first, then any counter function with the
 *   same id, then Brivant_Device_Close(id). A unit is named by the ID it
 *   reports, not by where it is plugged in.
 *
 * Results
 *   Every function but the close returns one of the RC_* codes below, and
 *   nothing else: no exception crosses this interface, nothing is logged and
 *   no last-error value is kept. Output arguments are written only when the
 *   result is RC_OK. A counter function checks its arguments in a fixed
 *   order: an ID that is not open (or lies outside 0 to 15) gives
 *   RC_NOT_OPEN first; then a channel, setting or pointer out of bounds gives
 *   RC_BAD_PARAMETER, and nothing is sent; then the one USB exchange runs,
 *   and a failed transfer gives RC_COMM_FAILED. Brivant_ReadCountCh checks
 *   its channel before anything else.
 *
 * Exchanges block
 *   Each counter function is exactly one exchange with the unit: one command
 *   frame written to bulk pipe 0x01 (STX 0x02, a command letter, ASCII
 *   argument characters, ETX 0x03), then one reply read from bulk pipe 0x82.
 *   Both transfers are synchronous and the library sets no time-out of its
 *   own: a call returns when the USB stack completes or fails the transfer.
 *   A unit that never answers blocks the calling thread for as long as the
 *   USB stack lets the transfer wait, and a Brivant_Device_Close of that unit
 *   waits behind it. Brivant_Device_Open talks to each present unit it asks
 *   (command K) and so can block the same way.
 *
 * Threads
 *   Every function may be called from any thread. Calls on one unit are
 *   serialised by the library: their exchanges never interleave, and a close
 *   waits for an exchange in flight. Calls on different units run side by
 *   side. Opens and closes are serialised against each other. The library
 *   starts no thread of its own and keeps no state beyond the table of open
 *   units; it does not close units left open when it is unloaded.
 *
 * Linux
 *   The Linux library talks to real units over libusb by default, or to
 *   simulated units for working without hardware. BRIVANT_BACKEND, read once
 *   at the library's first open, chooses: "usb" (also when unset or empty)
 *   or "sim"; any other value finds no unit at all (every open gives
 *   RC_ID_NOT_FOUND). A USB device is a unit when its MS OS 2.0 or 1.0
 *   descriptors declare the unit's interface GUID, or when its VID:PID is
 *   listed in BRIVANT_USB_IDS ("VVVV:PPPP,..."). A unit claimed by another
 *   process cannot be opened. libusb keeps one thread of its own for
 *   hot-plug events once the first open has started it.
 *
 * Version
 *   BRIVANT_VERSION_MAJOR, _MINOR, _PATCH and BRIVANT_VERSION_STRING
 *   ("4.1.0") from brivant_version.h, included below, give the version of
 *   these headers. The version of the library file itself is in its file
 *   name on Linux (libbrivant.so.4.1.0) and in the version resource of
 *   BRIVANT.dll on Windows (file and product version 4.1.0.0).
 *
 * This header compiles as C (C99 or later) and as C++.
 */
#ifndef BRIVANT_H
#define BRIVANT_H

#include <stdint.h>

#include "brivant_version.h"

#if defined(_WIN32)
#  if defined(BRIVANT_BUILDING_LIBRARY)
#    define BRIVANT_API __declspec(dllexport)
#  else
#    define BRIVANT_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define BRIVANT_API __attribute__((visibility("default")))
#else
#  define BRIVANT_API
#endif

/*
 * The calling convention of the 13 functions. On 32-bit Windows it is
 * __stdcall, as the Windows API's own: a VBA Declare, .NET's default
 * DllImport and Python's ctypes.WinDLL call a function that way, and the
 * function clears its arguments from the stack itself. The export names stay
 * undecorated (Brivant_Device_Open). Everywhere else there is one convention
 * and the macro is empty. A pointer to one of the functions carries it:
 *   int16_t (BRIVANT_CALL *open_unit)(int16_t) = Brivant_Device_Open;
 */
#if defined(_WIN32) && !defined(_WIN64)
#  define BRIVANT_CALL __stdcall
#else
#  define BRIVANT_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. Code 2 is never returned. */
#define RC_OK             0
#define RC_BAD_ID         1
#define RC_ALREADY_OPEN   3
#define RC_TOO_MANY_UNITS 4
#define RC_OPEN_FAILED    5
#define RC_ID_NOT_FOUND   6
#define RC_NOT_OPEN       7
#define RC_BAD_PARAMETER  8
#define RC_COMM_FAILED    9

/*
 * Every result code with its meaning in one line: BRIVANT_RESULT_CODES(X)
 * expands X(name, meaning) once per code, in the order of their values.
 * This table is the one place the meanings are written; brivant.hpp builds
 * its messages from it, and the copies other languages keep are checked
 * against it.
 */
#define BRIVANT_RESULT_CODES(X)                                                             \
    X(RC_OK, "success")                                                                     \
    X(RC_BAD_ID, "the unit ID is outside 0 to 15")                                          \
    X(RC_ALREADY_OPEN, "this unit ID is already open in this process")                      \
    X(RC_TOO_MANY_UNITS, "more than 16 units are present")                                  \
    X(RC_OPEN_FAILED, "the unit was found but its mutex, file or USB handle could not be had") \
    X(RC_ID_NOT_FOUND, "no present unit reported this ID")                                  \
    X(RC_NOT_OPEN, "the unit is not open")                                                  \
    X(RC_BAD_PARAMETER, "a channel or setting is above its bound, or a pointer is null")    \
    X(RC_COMM_FAILED, "the USB transfer with the unit failed or its reply came short")

/*
 * Finds the present unit that answers command K (02 4B 03) with this ID and
 * opens it for good. Units already open in this process are not asked.
 * Results:
 *   RC_OK             the unit is open under id
 *   RC_BAD_ID         id is outside 0 to 15; nothing is touched
 *   RC_ALREADY_OPEN   id is already open; it stays open
 *   RC_TOO_MANY_UNITS 17 or more units are present
 *   RC_OPEN_FAILED    the unit was found but could not be opened
 *   RC_ID_NOT_FOUND   no present unit reported id (none present, or the one
 *                     that would is held by another process or did not answer)
 */
BRIVANT_API int16_t BRIVANT_CALL Brivant_Device_Open(int16_t id);

/*
 * Releases the unit's handles; sends nothing, so the unit keeps its settings
 * and counts. Does nothing for an ID that is not open or out of range, and
 * can be repeated. Waits for an exchange in flight on the same unit.
 */
BRIVANT_API void BRIVANT_CALL Brivant_Device_Close(int16_t id);

/*
 * The eight channel settings and actions below each send one frame of their
 * command letter with the channel and settings as ASCII digits, and read the
 * unit's one-byte acknowledgement, whose value is not examined. The library
 * gives the settings no meaning of its own: the unit does.
 * Results of each:
 *   RC_OK             the unit took the command
 *   RC_NOT_OPEN       id is not open (checked first)
 *   RC_BAD_PARAMETER  channel above 2, or a setting above its bound; nothing
 *                     is sent
 *   RC_COMM_FAILED    the write or the read failed; the unit stays open and
 *                     may or may not have applied the command
 */

/* Input inversion: sends A (02 41 ch s1 s2 s3 03). Bounds: channel 0..2, s1..s3 0..1. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_InputInverter(int16_t id, uint8_t channel, uint8_t s1,
                                                       uint8_t s2, uint8_t s3);

/* Output inversion: sends B (02 42 ch s1 s2 03). Bounds: channel 0..2, s1, s2 0..1. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_OutputInverter(int16_t id, uint8_t channel, uint8_t s1,
                                                        uint8_t s2);

/* Output mode: sends C (02 43 ch s1 s2 03). Bounds: channel 0..2, s1, s2 0..1. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_OutputMode(int16_t id, uint8_t channel, uint8_t s1,
                                                    uint8_t s2);

/* Clear event selection: sends D (02 44 ch sel 03). Bounds: channel 0..2, sel 0..2. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_SelClearEvent(int16_t id, uint8_t channel,
                                                       uint8_t selection);

/* Multiplier selection: sends E (02 45 ch sel 03). Bounds: channel 0..2, sel 0..2. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_SelMultiplier(int16_t id, uint8_t channel,
                                                       uint8_t selection);

/* Limiter: sends F (02 46 ch s1 s2 03). Bounds: channel 0..2, s1, s2 0..1. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_SetLimitter(int16_t id, uint8_t channel, uint8_t s1,
                                                     uint8_t s2);

/* Forced clear: sends H (02 48 ch 03). Bound: channel 0..2. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_ForcedClear(int16_t id, uint8_t channel);

/* Run (1) or stop (0): sends I (02 49 ch run 03). Bounds: channel 0..2, run 0..1. */
BRIVANT_API int16_t BRIVANT_CALL Brivant_RunStop(int16_t id, uint8_t channel, uint8_t run);

/*
 * Writes the two preset words data[0] and data[1] of a channel: sends G, the
 * channel digit and each word as eight upper-case hex digits (20 bytes); the
 * words' bit patterns are sent as they are.
 * Results: as the settings above; RC_BAD_PARAMETER also when data is null.
 */
BRIVANT_API int16_t BRIVANT_CALL Brivant_WritePresetData(int16_t id, uint8_t channel,
                                                         const uint32_t *data);

/*
 * Reads the counts and status bytes of all three channels: sends J
 * (02 4A 03) and reads a 15-byte reply. counts[k] and status[k] receive
 * channel k. Counts of channels 1 and 2 are 24-bit signed values extended to
 * 32 bits; channel 0 is a plain 32-bit value. Status bytes are passed on as
 * the unit sent them.
 * Results:
 *   RC_OK             counts and status are written
 *   RC_NOT_OPEN       id is not open (checked first)
 *   RC_BAD_PARAMETER  counts or status is null; nothing is sent
 *   RC_COMM_FAILED    the transfer failed or the reply came short; nothing
 *                     is written
 */
BRIVANT_API int16_t BRIVANT_CALL Brivant_ReadCount(int16_t id, int32_t *counts, uint8_t *status);

/*
 * Reads the count and status byte of one channel, with the same single J
 * exchange that fetches all three.
 * Results:
 *   RC_BAD_PARAMETER  channel above 2, checked before anything else, even
 *                     when id is not open; or count or status is null (once
 *                     id is known to be open)
 *   otherwise as Brivant_ReadCount
 */
BRIVANT_API int16_t BRIVANT_CALL Brivant_ReadCountCh(int16_t id, uint8_t channel, int32_t *count,
                                                     uint8_t *status);

#ifdef __cplusplus
}
#endif

#endif /* BRIVANT_H */
