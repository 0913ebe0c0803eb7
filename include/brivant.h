/*
 * brivant.h - the public interface of BRIVANT, the library that opens,
 * configures and reads a USB counter unit (three counting channels, a unit
 * ID from 0 to 15, up to 16 units open per process).
 *
 * Call order: Brivant_Device_Open(id), then any counter function with the
 * same id, then Brivant_Device_Close(id).
 *
 * Every function but the close returns one of the RC_* codes below. Arguments
 * are checked in a fixed order: an id whose unit is not open gives
 * RC_NOT_OPEN first, then a channel, setting or pointer argument out of
 * bounds gives RC_BAD_PARAMETER (nothing is sent), then the USB exchange
 * runs and a failed transfer gives RC_COMM_FAILED. Output arguments are
 * written only when the result is RC_OK.
 *
 * Each counter function is exactly one exchange with the unit: one command
 * frame written to bulk pipe 0x01, one reply read from bulk pipe 0x82.
 * Frames are STX (0x02), a command letter, ASCII argument characters, ETX
 * (0x03). Calls on one unit are serialised by the library; calls on
 * different units run side by side.
 *
 * This header compiles as C (C99 or later) and as C++.
 */
#ifndef BRIVANT_H
#define BRIVANT_H

#include <stdint.h>

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

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. Code 2 is never returned. */
#define RC_OK             0 /* success */
#define RC_BAD_ID         1 /* open: unit ID outside 0 to 15 */
#define RC_ALREADY_OPEN   3 /* open: this ID is already open */
#define RC_TOO_MANY_UNITS 4 /* open: more than 16 units are present */
#define RC_OPEN_FAILED    5 /* open: unit found, but its mutex, file or USB handle could not be had */
#define RC_ID_NOT_FOUND   6 /* open: no present unit reported this ID */
#define RC_NOT_OPEN       7 /* counter function: this ID is not open (or is outside 0 to 15) */
#define RC_BAD_PARAMETER  8 /* counter function: channel or setting above its bound, or a null pointer */
#define RC_COMM_FAILED    9 /* counter function: the USB write or read failed, or a reply came short */

/*
 * Finds the present unit that answers command K (02 4B 03) with this ID and
 * opens it for good. Units already open in this process are not asked.
 * Returns RC_OK, RC_BAD_ID (id outside 0..15), RC_ALREADY_OPEN,
 * RC_TOO_MANY_UNITS (17 or more units present), RC_OPEN_FAILED or
 * RC_ID_NOT_FOUND.
 */
BRIVANT_API int16_t Brivant_Device_Open(int16_t id);

/*
 * Releases the unit's handles; sends nothing, so the unit keeps its settings
 * and counts. Does nothing for an ID that is not open or out of range. Waits
 * for an exchange in flight on the same unit.
 */
BRIVANT_API void Brivant_Device_Close(int16_t id);

/*
 * Input inversion: sends A, channel, s1, s2, s3 (02 41 ch s1 s2 s3 03).
 * Bounds: channel 0..2, s1..s3 0..1. Returns RC_OK, RC_NOT_OPEN,
 * RC_BAD_PARAMETER or RC_COMM_FAILED.
 */
BRIVANT_API int16_t Brivant_InputInverter(int16_t id, uint8_t channel, uint8_t s1, uint8_t s2,
                                          uint8_t s3);

/* Output inversion: sends B (02 42 ch s1 s2 03). Bounds: channel 0..2, s1, s2 0..1. */
BRIVANT_API int16_t Brivant_OutputInverter(int16_t id, uint8_t channel, uint8_t s1, uint8_t s2);

/* Output mode: sends C (02 43 ch s1 s2 03). Bounds: channel 0..2, s1, s2 0..1. */
BRIVANT_API int16_t Brivant_OutputMode(int16_t id, uint8_t channel, uint8_t s1, uint8_t s2);

/* Clear event selection: sends D (02 44 ch sel 03). Bounds: channel 0..2, sel 0..2. */
BRIVANT_API int16_t Brivant_SelClearEvent(int16_t id, uint8_t channel, uint8_t selection);

/* Multiplier selection: sends E (02 45 ch sel 03). Bounds: channel 0..2, sel 0..2. */
BRIVANT_API int16_t Brivant_SelMultiplier(int16_t id, uint8_t channel, uint8_t selection);

/* Limiter: sends F (02 46 ch s1 s2 03). Bounds: channel 0..2, s1, s2 0..1. */
BRIVANT_API int16_t Brivant_SetLimitter(int16_t id, uint8_t channel, uint8_t s1, uint8_t s2);

/* Forced clear: sends H (02 48 ch 03). Bound: channel 0..2. */
BRIVANT_API int16_t Brivant_ForcedClear(int16_t id, uint8_t channel);

/* Run (1) or stop (0): sends I (02 49 ch run 03). Bounds: channel 0..2, run 0..1. */
BRIVANT_API int16_t Brivant_RunStop(int16_t id, uint8_t channel, uint8_t run);

/*
 * Writes the two preset words data[0] and data[1] of a channel: sends G, the
 * channel digit and each word as eight upper-case hex digits (20 bytes).
 * Returns RC_OK, RC_NOT_OPEN, RC_BAD_PARAMETER (channel above 2 or data
 * null) or RC_COMM_FAILED.
 */
BRIVANT_API int16_t Brivant_WritePresetData(int16_t id, uint8_t channel, const uint32_t *data);

/*
 * Reads the counts and status bytes of all three channels: sends J
 * (02 4A 03) and reads a 15-byte reply. counts[k] and status[k] receive
 * channel k. Counts of channels 1 and 2 are 24-bit signed values extended to
 * 32 bits; channel 0 is a plain 32-bit value. Returns RC_OK, RC_NOT_OPEN,
 * RC_BAD_PARAMETER (a null pointer) or RC_COMM_FAILED (transfer failed or
 * the reply came short).
 */
BRIVANT_API int16_t Brivant_ReadCount(int16_t id, int32_t *counts, uint8_t *status);

/*
 * Reads the count and status byte of one channel with the same single J
 * exchange. A channel above 2 gives RC_BAD_PARAMETER before anything else;
 * otherwise as Brivant_ReadCount.
 */
BRIVANT_API int16_t Brivant_ReadCountCh(int16_t id, uint8_t channel, int32_t *count,
                                        uint8_t *status);

#ifdef __cplusplus
}
#endif

#endif /* BRIVANT_H */
