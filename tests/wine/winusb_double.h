// The test double of winusb.dll used by the Wine suite: simulated units
// behind WinUsb_Initialize / WinUsb_Free / WinUsb_WritePipe / WinUsb_ReadPipe,
// and a record of every call. A unit's reply to each frame comes from the
// same unit model as the Linux build's simulated units. The suite reaches the extra Double_* exports
// through GetProcAddress on the same module BRIVANT.dll imports.
//
// An unplugged unit fails every WinUSB call made on it, including a read
// already waiting for its reply; the suite also hides its interface from
// the enumeration. The double is thread-safe: one lock guards its state, and
// a read's delay is slept outside it.
//
// A unit is known by its number NN: the file behind its device path holds the
// two digits NN, which WinUsb_Initialize reads from the handle it is given.
#pragma once

#include <cstdint>

namespace double_usb {

constexpr int kUnits = 20;

enum Op : int { OpInitialize = 1, OpFree, OpWritePipe, OpReadPipe };

// What a simulated unit answers (handed to the unit model of
// src/platform/sim/unit_model.h, which makes up the replies) and which of its
// calls fail.
struct Unit {
    int idReply = 0;                   // byte answered to K; -1 answers with no byte
    std::uint8_t countReply[15] = {};  // answer to J
    std::uint8_t ackReply = 0x06;      // answer to A..I
    int writeFails = 0;
    int readFails = 0;
    int deliverAtMost = -1;            // a short read: at most this many bytes
    unsigned readDelayMs = 0;          // a read takes this long
};

// One call as the library made it.
struct Call {
    int op = 0;
    int unit = -1;                // -1 when the handle was not one of ours
    unsigned pipe = 0;
    unsigned length = 0;          // bytes asked to write or read
    unsigned transferred = 0;     // bytes written or delivered
    int overlappedGiven = 0;      // a non-null OVERLAPPED pointer was passed
    int ok = 0;                   // what the call returned
    std::uint32_t fileAccess = 0; // Initialize: access granted on the file handle
    int fileOverlapped = 0;       // Initialize: the file handle was opened for overlapped use
    std::uint8_t bytes[32] = {};  // bytes written, or bytes delivered
};

// Counters of the double's own state.
struct State {
    int handlesHeld = 0;      // interface handles initialised and not yet freed
    int badFrees = 0;         // WinUsb_Free on a handle that was not live
    int interleavings = 0;    // a write to a unit whose previous read had not ended
    int readsInFlight = 0;    // WinUsb_ReadPipe calls entered and not yet returned
    int maxReadsInFlight = 0; // the most at once since the last Double_Reset
    int unitReadsInFlight[kUnits] = {}; // readsInFlight by unit
};

} // namespace double_usb

extern "C" {
using DoubleResetFn = void (*)();
using DoubleSetUnitFn = void (*)(int unit, const double_usb::Unit* settings);
using DoubleFailInitializeFn = void (*)(int nthFromNow);
using DoubleCallCountFn = int (*)();
using DoubleGetCallFn = int (*)(int index, double_usb::Call* call);
using DoubleGetStateFn = void (*)(double_usb::State* state);
using DoubleSetPluggedFn = void (*)(int unit, int plugged);
}
