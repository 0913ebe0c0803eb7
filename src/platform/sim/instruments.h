// What the instrumented library keeps about the simulated platform: the
// faults switched on, the call record, the held tally, the clock. The probe
// (probe_instrumented.cpp) fills it in as the platform runs; the controls of
// sim.h (sim_controls.cpp) read and set it. Guarded by the bus lock.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "platform/sim/probe.h"
#include "platform/sim/sim.h"

namespace brivant::sim {

struct Instruments {
    Faults faults;
    std::vector<UnitFaults> unitFaults; // by unit number; a unit past the end has none
    std::vector<Call> record;
    bool recording = false;
    std::uint64_t calls = 0;
    std::uint64_t failableCalls = 0;
    int usbInitializeCalls = 0;
    std::array<std::set<const void*>, 5> held; // by probe::Resource
    int badReleases = 0;
    int interleaved = 0;
    int readsInFlight = 0;
    int maxReadsInFlight = 0;
    bool clockHeld = false;
    SimClock::time_point heldAt{};
    SimClock::duration clockShift{};

    const UnitFaults& faultsOf(int unit) const;
    std::set<const void*>& heldOf(probe::Resource kind) {
        return held[static_cast<std::size_t>(kind)];
    }
};

Instruments& instruments();

} // namespace brivant::sim
