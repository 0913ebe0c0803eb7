// The probe of the instrumented library: every call is counted (and recorded
// when recording is on), faults come from the switches of sim.h, and what
// the platform hands out is tallied until it comes back.
#include <algorithm>
#include <thread>

#include "platform/platform.h"
#include "platform/sim/instruments.h"

namespace brivant::sim {

Instruments& instruments() {
    static Instruments instance;
    return instance;
}

const UnitFaults& Instruments::faultsOf(int unit) const {
    static const UnitFaults kNone;
    return unit >= 0 && unit < static_cast<int>(unitFaults.size()) ? unitFaults[unit] : kNone;
}

} // namespace brivant::sim

namespace brivant::sim::probe {

void note(Op op, int unit, std::uint32_t length, bool ok) {
    Instruments& in = instruments();
    ++in.calls;
    if (in.recording) {
        in.record.push_back(Call{op, unit, 0, {}, length, ok});
    }
}

void noteTransfer(Op op, int unit, const std::uint8_t* bytes, std::size_t count,
                  std::uint32_t length, bool ok) {
    Instruments& in = instruments();
    ++in.calls;
    if (in.recording) {
        std::uint8_t pipe = op == Op::WritePipe ? platform::kPipeOut : platform::kPipeIn;
        in.record.push_back(Call{op, unit, pipe, {bytes, bytes + count}, length, ok});
    }
}

bool fails(Op op, int unit) {
    Instruments& in = instruments();
    const Faults& faults = in.faults;
    const UnitFaults& unitFaults = in.faultsOf(unit);
    bool chosen = ++in.failableCalls == faults.failCall; // counted on every failable call
    switch (op) {
    case Op::GetClassDevs: return chosen || faults.invalidClassSet;
    case Op::EnumInterface: return chosen || faults.enumFails;
    case Op::LocalAlloc: return chosen || faults.localAllocFails;
    case Op::CreateFile: return chosen || unitFaults.createFileFails;
    case Op::CreateMutex: return chosen || faults.createMutexFails;
    case Op::UsbInitialize:
        return ++in.usbInitializeCalls == faults.usbInitializeFailsOnCall || chosen;
    case Op::WritePipe: return chosen || unitFaults.writeFails;
    case Op::ReadPipe: return chosen || unitFaults.readFails;
    default: return chosen; // the detail lookup's own faults come later in the call
    }
}

Sizing sizing() { return instruments().faults.sizing; }

std::uint32_t reportedSize(std::uint32_t needed) {
    return instruments().faults.requiredSize.value_or(needed);
}

bool pathCopyFails() { return instruments().faults.detailFails; }

void acquired(Resource kind, const void* object) { instruments().heldOf(kind).insert(object); }

bool holds(Resource kind, const void* object) {
    return instruments().heldOf(kind).count(object) != 0;
}

void released(Resource kind, const void* object) { instruments().heldOf(kind).erase(object); }

void badRelease() { ++instruments().badReleases; }

void interleaved() { ++instruments().interleaved; }

SimClock::time_point now() {
    const Instruments& in = instruments();
    return (in.clockHeld ? in.heldAt : SimClock::now()) + in.clockShift;
}

void delayRead(int unit, std::unique_lock<std::mutex>& busLock) {
    Instruments& in = instruments();
    std::chrono::microseconds delay = in.faultsOf(unit).readDelay;
    if (delay.count() > 0) {
        in.maxReadsInFlight = std::max(in.maxReadsInFlight, ++in.readsInFlight);
        busLock.unlock();
        std::this_thread::sleep_for(delay);
        busLock.lock();
        --in.readsInFlight;
    }
}

std::size_t deliverable(int unit, std::size_t count) {
    const std::optional<std::uint32_t>& atMost = instruments().faultsOf(unit).deliverAtMost;
    return atMost ? std::min<std::size_t>(count, *atMost) : count;
}

} // namespace brivant::sim::probe
