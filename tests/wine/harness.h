// What the Wine suite's groups share: the check tally, BRIVANT.dll and the
// winusb.dll double as loaded by name, the simulated units registered in
// Wine's registry, and expectations on the double's record of calls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "brivant.h"
#include "stress_mix.h"
#include "winusb_double.h"

namespace suite {

extern int passed;
extern int failed;
extern const char* currentGroup;

// Counts a check; prints it when it fails.
void check(bool condition, const std::string& what);

// ---- the library, loaded by name as an application would -------------------

// The 13 functions as GetProcAddress gives them.
struct Library : brivant::stress::Api {
    HMODULE module = nullptr;
};

template <typename Fn>
inline void resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct Double {
    DoubleResetFn reset = nullptr;
    DoubleSetUnitFn setUnit = nullptr;
    DoubleFailInitializeFn failInitialize = nullptr;
    DoubleCallCountFn callCount = nullptr;
    DoubleGetCallFn getCall = nullptr;
    DoubleGetStateFn getState = nullptr;
    DoubleSetPluggedFn setPlugged = nullptr;

    std::vector<double_usb::Call> calls() const {
        std::vector<double_usb::Call> all(static_cast<size_t>(callCount()));
        for (size_t i = 0; i < all.size(); ++i) {
            getCall(static_cast<int>(i), &all[i]);
        }
        return all;
    }
    double_usb::State state() const {
        double_usb::State s;
        getState(&s);
        return s;
    }
};

extern Library lib;
extern Double usb;

constexpr int kRegisteredUnits = 17; // unit00..unit16

// Loads BRIVANT.dll and the double, resolves their functions and registers
// the simulated units; false when any of it failed.
bool loadAll();
// Looks the 13 functions up by name in the loaded BRIVANT.dll.
void resolveLibrary();

// Closes every id, makes exactly the units 0..ids.size()-1 present and
// plugged in, each answering K with ids[NN] and the double's defaults
// otherwise, and forgets the double's record.
void scenario(const std::vector<int>& ids);
void configure(int unit, const double_usb::Unit& settings);

// Plugs a unit in or pulls it out: its interface shows in the enumeration
// or not, and the double serves or fails its WinUSB calls.
void plug(int unit, bool present);

// Settings of a unit that answers K with `id` and carries `id` in the count of
// channel 0, so that a read tells which unit answered.
double_usb::Unit markedUnit(int id);

// Waits until a read from `unit` is in flight; false after `ms`.
bool waitForReadInFlight(int unit, DWORD ms = 5000);

// Opens a unit's path from this program, as another user of the unit would.
HANDLE openElsewhere(int unit, DWORD sharing);
// True when nothing holds the unit's file: an exclusive open succeeds.
bool fileReleased(int unit);

// The record holds exactly one exchange on `unit`: `frame` written to pipe
// 0x01, then a read of `replyLength` from pipe 0x82, both without an
// OVERLAPPED. Forgets the record.
void expectExchange(const std::string& what, int unit, const std::vector<std::uint8_t>& frame,
                    unsigned replyLength);
// The record is empty. Forgets the record.
void expectNothingSent(const std::string& what);

} // namespace suite
