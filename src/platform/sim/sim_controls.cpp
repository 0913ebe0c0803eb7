// The controls of sim.h, over the simulated bus and the instruments. Each
// takes the bus lock, so a control never lands in the middle of a platform
// call.
#include "platform/sim/bus.h"
#include "platform/sim/instruments.h"
#include "platform/sim/sim.h"

namespace brivant::sim {

namespace {

// Runs `body` on the bus and the instruments with the bus lock held.
template <typename Body>
auto withInstruments(Body&& body) {
    return locked([&](Bus& bus) { return body(bus, instruments()); });
}

void setFaultsOf(Instruments& in, int number, const UnitFaults& faults) {
    if (in.unitFaults.size() <= static_cast<std::size_t>(number)) {
        in.unitFaults.resize(static_cast<std::size_t>(number) + 1);
    }
    in.unitFaults[static_cast<std::size_t>(number)] = faults;
}

void place(BusUnit& target, const Unit& unit) {
    target.path = unit.path;
    target.present = unit.present;
    target.model.setAnswers(unit);
}

} // namespace

const char* opName(Op op) {
    static const char* const kNames[] = {
        "GetClassDevs", "EnumInterface", "GetInterfaceDetail", "DestroyDevInfo", "LastError",
        "LocalAlloc", "LocalFree", "CreateFile", "CloseHandle", "CreateMutex",
        "UsbInitialize", "UsbFree", "WritePipe", "ReadPipe"};
    return kNames[static_cast<int>(op)];
}

void holdClock() {
    withInstruments([&](Bus&, Instruments& in) {
        if (!in.clockHeld) {
            in.heldAt = SimClock::now();
            in.clockHeld = true;
        }
    });
}

void advanceClock(std::chrono::microseconds step) {
    withInstruments([&](Bus&, Instruments& in) { in.clockShift += step; });
}

void reset() {
    withInstruments([&](Bus& bus, Instruments& in) {
        bus.units.clear();
        bus.enumerationOrder.clear();
        in.unitFaults.clear();
        in.clockHeld = false;
        in.clockShift = {};
        in.faults = Faults{};
        in.record.clear();
        in.calls = 0;
        in.failableCalls = 0;
        in.usbInitializeCalls = 0;
        in.badReleases = 0;
        in.interleaved = 0;
        in.maxReadsInFlight = in.readsInFlight;
    });
}

int addUnit(Unit unit) {
    return withInstruments([&](Bus& bus, Instruments& in) {
        int number = static_cast<int>(bus.units.size());
        bus.units.emplace_back();
        place(bus.units.back(), unit);
        setFaultsOf(in, number, unit);
        return number;
    });
}

Unit getUnit(int number) {
    return withInstruments([&](Bus& bus, Instruments& in) {
        const BusUnit& found = bus.units.at(static_cast<std::size_t>(number));
        Unit unit;
        static_cast<UnitAnswers&>(unit) = found.model.answers();
        static_cast<UnitFaults&>(unit) = in.faultsOf(number);
        unit.path = found.path;
        unit.present = found.present;
        return unit;
    });
}

void setUnit(int number, const Unit& unit) {
    withInstruments([&](Bus& bus, Instruments& in) {
        place(bus.units.at(static_cast<std::size_t>(number)), unit);
        setFaultsOf(in, number, unit);
    });
}

int unitCount() {
    return locked([&](Bus& bus) { return static_cast<int>(bus.units.size()); });
}

std::u16string pathOf(int number) {
    return locked([&](Bus& bus) { return unitPath(bus, number); });
}

void setEnumerationOrder(std::vector<int> numbers) {
    locked([&](Bus& bus) { bus.enumerationOrder = std::move(numbers); });
}

void setFaults(const Faults& faults) {
    withInstruments([&](Bus&, Instruments& in) {
        in.faults = faults;
        in.failableCalls = 0;
        in.usbInitializeCalls = 0;
    });
}

Faults getFaults() {
    return withInstruments([&](Bus&, Instruments& in) { return in.faults; });
}

void setRecording(bool on) {
    withInstruments([&](Bus&, Instruments& in) { in.recording = on; });
}

std::vector<Call> calls() {
    return withInstruments([&](Bus&, Instruments& in) { return in.record; });
}

std::vector<Call> transfers() {
    std::vector<Call> result;
    for (Call& call : calls()) {
        if (call.op == Op::WritePipe || call.op == Op::ReadPipe) {
            result.push_back(std::move(call));
        }
    }
    return result;
}

void clearCalls() {
    withInstruments([&](Bus&, Instruments& in) {
        in.record.clear();
        in.calls = 0;
    });
}

std::uint64_t callCount() {
    return withInstruments([&](Bus&, Instruments& in) { return in.calls; });
}

Held held() {
    return withInstruments([&](Bus&, Instruments& in) {
        auto count = [&](probe::Resource kind) { return static_cast<int>(in.heldOf(kind).size()); };
        return Held{count(probe::Resource::Set), count(probe::Resource::Block),
                    count(probe::Resource::File), count(probe::Resource::UsbHandle),
                    count(probe::Resource::Mutex)};
    });
}

int badReleases() {
    return withInstruments([&](Bus&, Instruments& in) { return in.badReleases; });
}

int interleavedExchanges() {
    return withInstruments([&](Bus&, Instruments& in) { return in.interleaved; });
}

int maxReadsInFlight() {
    return withInstruments([&](Bus&, Instruments& in) { return in.maxReadsInFlight; });
}

} // namespace brivant::sim
