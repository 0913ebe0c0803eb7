// The simulated platform: the platform layer's functions acting on simulated
// units, and the controls of sim.h.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "platform/sim/unit_model.h"

namespace brivant::sim {

namespace {

constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorInvalidUserBuffer = 1784;

struct SetObject {
    std::vector<int> members; // unit numbers present when the set was made
};
struct FileObject {
    int unit;
};
struct UsbObject {
    int unit;
};
struct MutexObject {};

struct UnitState {
    Unit unit;
    bool replyPending = false;
    Reply reply; // fixed storage, so a transfer allocates nothing
    UnitModel model;
};

struct State {
    std::mutex lock;
    std::vector<UnitState> units;
    std::vector<int> enumerationOrder;
    Faults faults;
    std::vector<Call> record;
    bool recording = true;
    std::uint64_t calls = 0;
    std::uint64_t failableCalls = 0;
    int usbInitializeCalls = 0;
    std::set<void*> sets, blocks, files, usbHandles, mutexes;
    int badReleases = 0;
    int interleaved = 0;
    int readsInFlight = 0;
    int maxReadsInFlight = 0;
    bool clockHeld = false;
    SimClock::time_point heldAt{};
    SimClock::duration clockShift{};

    State() {
        // A few units for programs run against the simulation without set-up.
        for (int id : {0, 1, 5}) {
            Unit unit;
            unit.idReply = id;
            unit.countReply = {0, 0, 0x30, 0x39, 0, 0, 0, 42, 0xFF, 0xFF, 0xFF, 0xFE, 1, 0, 1};
            unit.live = true;
            units.push_back(UnitState{unit, false, {}, {}});
        }
    }
};

State& state() {
    static State instance;
    return instance;
}

// Runs `body` on the state with its lock held.
template <typename Body>
auto locked(Body&& body) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return body(s);
}

thread_local std::uint32_t threadLastError = 0;

void note(State& s, Call call) {
    ++s.calls;
    if (s.recording) {
        s.record.push_back(std::move(call));
    }
}

// As note(), but builds the record only when it is kept: with recording off
// a transfer allocates nothing.
void noteTransfer(State& s, Op op, int unit, const std::uint8_t* bytes, std::size_t count,
                  std::uint32_t length, bool ok) {
    ++s.calls;
    if (s.recording) {
        std::uint8_t pipe = op == Op::WritePipe ? platform::kPipeOut : platform::kPipeIn;
        s.record.push_back(Call{op, unit, pipe, {bytes, bytes + count}, length, ok});
    }
}

// True when this failable call is the one the faults say must fail.
bool failThisCall(State& s) {
    return ++s.failableCalls == s.faults.failCall;
}

bool unitUsable(State& s, int unit) {
    return unit >= 0 && unit < static_cast<int>(s.units.size()) && s.units[unit].unit.present;
}

std::u16string defaultPath(int number) {
    std::u16string path = u"\\\\?\\usb#vid_1234&pid_0001#unit";
    path += static_cast<char16_t>(u'0' + number / 10 % 10);
    path += static_cast<char16_t>(u'0' + number % 10);
    path += u"#{85b54c78-94cc-4866-a4bd-464e49dfc5e4}";
    return path;
}

std::u16string pathOfLocked(State& s, int number) {
    const std::u16string& path = s.units[number].unit.path;
    return path.empty() ? defaultPath(number) : path;
}

SimClock::time_point simNow(const State& s) {
    return (s.clockHeld ? s.heldAt : SimClock::now()) + s.clockShift;
}

// What the unit answers to a frame, from its model.
Reply replyTo(UnitState& target, const std::uint8_t* frame, std::uint32_t length,
              SimClock::time_point now) {
    const Unit& unit = target.unit;
    target.model.setAnswers(UnitAnswers{unit.idReply, unit.countReply, unit.ackReply, unit.live});
    return target.model.answer(frame, length, now);
}

bool release(State& s, std::set<void*>& held, void* object) {
    if (held.erase(object) == 0) {
        ++s.badReleases;
        return false;
    }
    return true;
}

// Interface data carries the member's position in its set.
void storeIndex(platform::InterfaceData* data, std::uint32_t index) {
    std::memset(data->raw, 0, sizeof data->raw);
    std::memcpy(data->raw, &index, sizeof index);
}
std::uint32_t loadIndex(const platform::InterfaceData* data) {
    std::uint32_t index = 0;
    std::memcpy(&index, data->raw, sizeof index);
    return index;
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
    locked([&](State& s) {
        if (!s.clockHeld) {
            s.heldAt = SimClock::now();
            s.clockHeld = true;
        }
    });
}

void advanceClock(std::chrono::microseconds step) {
    locked([&](State& s) { s.clockShift += step; });
}

void reset() {
    locked([&](State& s) {
        s.units.clear();
        s.clockHeld = false;
        s.clockShift = {};
        s.enumerationOrder.clear();
        s.faults = Faults{};
        s.record.clear();
        s.recording = true;
        s.calls = 0;
        s.failableCalls = 0;
        s.usbInitializeCalls = 0;
        s.badReleases = 0;
        s.interleaved = 0;
        s.maxReadsInFlight = s.readsInFlight;
    });
}

int addUnit(Unit unit) {
    return locked([&](State& s) {
        s.units.push_back(UnitState{std::move(unit), false, {}, {}});
        return static_cast<int>(s.units.size()) - 1;
    });
}

Unit getUnit(int number) {
    return locked([&](State& s) { return s.units.at(number).unit; });
}

void setUnit(int number, const Unit& unit) {
    locked([&](State& s) { s.units.at(number).unit = unit; });
}

int unitCount() {
    return locked([&](State& s) { return static_cast<int>(s.units.size()); });
}

std::u16string pathOf(int number) {
    return locked([&](State& s) { return pathOfLocked(s, number); });
}

void setEnumerationOrder(std::vector<int> numbers) {
    locked([&](State& s) { s.enumerationOrder = std::move(numbers); });
}

void setFaults(const Faults& faults) {
    locked([&](State& s) {
        s.faults = faults;
        s.failableCalls = 0;
        s.usbInitializeCalls = 0;
    });
}

Faults getFaults() {
    return locked([&](State& s) { return s.faults; });
}

void setRecording(bool on) {
    locked([&](State& s) { s.recording = on; });
}

std::vector<Call> calls() {
    return locked([&](State& s) { return s.record; });
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
    locked([&](State& s) {
        s.record.clear();
        s.calls = 0;
    });
}

std::uint64_t callCount() {
    return locked([&](State& s) { return s.calls; });
}

Held held() {
    return locked([&](State& s) {
        return Held{static_cast<int>(s.sets.size()), static_cast<int>(s.blocks.size()),
                    static_cast<int>(s.files.size()), static_cast<int>(s.usbHandles.size()),
                    static_cast<int>(s.mutexes.size())};
    });
}

int badReleases() {
    return locked([&](State& s) { return s.badReleases; });
}

int interleavedExchanges() {
    return locked([&](State& s) { return s.interleaved; });
}

int maxReadsInFlight() {
    return locked([&](State& s) { return s.maxReadsInFlight; });
}

} // namespace brivant::sim

// ---------------------------------------------------------------------------
// The platform layer, simulated.

namespace brivant::platform {

using namespace brivant::sim;

DevInfoSet getClassDevs() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    bool fail = failThisCall(s) || s.faults.invalidClassSet;
    note(s, Call{Op::GetClassDevs, -1, 0, {}, 0, !fail});
    if (fail) {
        return invalidHandle();
    }
    auto* set = new SetObject;
    std::vector<int> order;
    auto listOnce = [&order](int i) {
        if (std::find(order.begin(), order.end(), i) == order.end()) {
            order.push_back(i);
        }
    };
    for (int i : s.enumerationOrder) {
        if (i >= 0 && i < static_cast<int>(s.units.size())) {
            listOnce(i);
        }
    }
    for (int i = 0; i < static_cast<int>(s.units.size()); ++i) {
        listOnce(i);
    }
    for (int i : order) {
        if (s.units[i].unit.present) {
            set->members.push_back(i);
        }
    }
    s.sets.insert(set);
    return set;
}

bool enumInterface(DevInfoSet set, std::uint32_t index, InterfaceData* data) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    bool fail = failThisCall(s) || s.faults.enumFails || s.sets.count(set) == 0;
    auto* object = static_cast<SetObject*>(set);
    int unit = -1;
    if (!fail && index < object->members.size()) {
        unit = object->members[index];
        storeIndex(data, index);
    } else {
        fail = true;
    }
    threadLastError = fail ? kErrorNoMoreItems : 0;
    note(s, Call{Op::EnumInterface, unit, 0, {}, index, !fail});
    return !fail;
}

bool getInterfaceDetail(DevInfoSet set, InterfaceData* data, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    bool fail = failThisCall(s);
    int unit = -1;
    if (!fail && s.sets.count(set) != 0) {
        auto* object = static_cast<SetObject*>(set);
        std::uint32_t index = loadIndex(data);
        if (index < object->members.size()) {
            unit = object->members[index];
        }
    }
    auto finish = [&](bool ok, std::uint32_t error) {
        threadLastError = error;
        note(s, Call{Op::GetInterfaceDetail, unit, 0, {}, detailSize, ok});
        return ok;
    };
    if (fail || unit < 0) {
        return finish(false, kErrorInvalidParameter);
    }
    std::u16string path = pathOfLocked(s, unit);
    auto needed = static_cast<std::uint32_t>(kDetailPathOffset + 2 * (path.size() + 1));
    if (detail == nullptr) {
        if (s.faults.sizing == Faults::Sizing::Succeeds) {
            return finish(true, 0);
        }
        if (s.faults.sizing == Faults::Sizing::OtherError) {
            return finish(false, kErrorInvalidParameter);
        }
        if (requiredSize != nullptr) {
            *requiredSize = s.faults.requiredSize.value_or(needed);
        }
        return finish(false, kErrorInsufficientBuffer);
    }
    std::uint32_t sizeField = 0;
    if (detailSize >= sizeof sizeField) {
        std::memcpy(&sizeField, detail, sizeof sizeField);
    }
    if (sizeField != kDetailFixedSize) {
        return finish(false, kErrorInvalidUserBuffer);
    }
    if (detailSize < needed) {
        if (requiredSize != nullptr) {
            *requiredSize = needed;
        }
        return finish(false, kErrorInsufficientBuffer);
    }
    if (s.faults.detailFails) {
        return finish(false, kErrorInvalidParameter);
    }
    auto* text = static_cast<unsigned char*>(detail) + kDetailPathOffset;
    std::memcpy(text, path.c_str(), 2 * (path.size() + 1));
    return finish(true, 0);
}

void destroyDevInfo(DevInfoSet set) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    note(s, Call{Op::DestroyDevInfo, -1, 0, {}, 0, true});
    if (release(s, s.sets, set)) {
        delete static_cast<SetObject*>(set);
    }
}

std::uint32_t lastError() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    note(s, Call{Op::LastError, -1, 0, {}, 0, true});
    return threadLastError;
}

void* localAlloc(std::size_t size) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    bool fail = failThisCall(s) || s.faults.localAllocFails;
    note(s, Call{Op::LocalAlloc, -1, 0, {}, static_cast<std::uint32_t>(size), !fail});
    if (fail) {
        return nullptr;
    }
    void* block = ::operator new(size == 0 ? 1 : size);
    s.blocks.insert(block);
    return block;
}

void localFree(void* block) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    note(s, Call{Op::LocalFree, -1, 0, {}, 0, true});
    if (release(s, s.blocks, block)) {
        ::operator delete(block);
    }
}

Handle createFile(const char16_t* path) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    int unit = -1;
    for (int i = 0; i < static_cast<int>(s.units.size()); ++i) {
        if (s.units[i].unit.present && pathOfLocked(s, i) == path) {
            unit = i;
            break;
        }
    }
    bool fail = failThisCall(s) || unit < 0 || s.units[unit].unit.createFileFails;
    note(s, Call{Op::CreateFile, unit, 0, {}, 0, !fail});
    if (fail) {
        return invalidHandle();
    }
    auto* file = new FileObject{unit};
    s.files.insert(file);
    return file;
}

void closeHandle(Handle handle) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.files.count(handle) != 0) {
        auto* file = static_cast<FileObject*>(handle);
        note(s, Call{Op::CloseHandle, file->unit, 0, {}, 0, true});
        s.files.erase(handle);
        delete file;
    } else if (s.mutexes.count(handle) != 0) {
        note(s, Call{Op::CloseHandle, -1, 0, {}, 0, true});
        s.mutexes.erase(handle);
        delete static_cast<MutexObject*>(handle);
    } else {
        note(s, Call{Op::CloseHandle, -1, 0, {}, 0, false});
        ++s.badReleases;
    }
}

Handle createMutex() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    bool fail = failThisCall(s) || s.faults.createMutexFails;
    note(s, Call{Op::CreateMutex, -1, 0, {}, 0, !fail});
    if (fail) {
        return nullptr;
    }
    auto* mutex = new MutexObject;
    s.mutexes.insert(mutex);
    return mutex;
}

bool usbInitialize(Handle file, UsbHandle* usb) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    ++s.usbInitializeCalls;
    int unit = s.files.count(file) != 0 ? static_cast<FileObject*>(file)->unit : -1;
    bool fail = failThisCall(s) || s.usbInitializeCalls == s.faults.usbInitializeFailsOnCall ||
                !unitUsable(s, unit);
    note(s, Call{Op::UsbInitialize, unit, 0, {}, 0, !fail});
    if (fail) {
        return false;
    }
    auto* object = new UsbObject{unit};
    s.usbHandles.insert(object);
    *usb = object;
    return true;
}

void usbFree(UsbHandle usb) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    int unit = s.usbHandles.count(usb) != 0 ? static_cast<UsbObject*>(usb)->unit : -1;
    note(s, Call{Op::UsbFree, unit, 0, {}, 0, true});
    if (release(s, s.usbHandles, usb)) {
        delete static_cast<UsbObject*>(usb);
    }
}

bool writePipe(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    int unit = s.usbHandles.count(usb) != 0 ? static_cast<UsbObject*>(usb)->unit : -1;
    bool fail = failThisCall(s) || !unitUsable(s, unit) || s.units[unit].unit.writeFails;
    noteTransfer(s, Op::WritePipe, unit, buffer, length, length, !fail);
    *transferred = 0;
    if (fail) {
        return false;
    }
    UnitState& target = s.units[unit];
    if (target.replyPending) {
        ++s.interleaved;
    }
    target.replyPending = true;
    target.reply = replyTo(target, buffer, length, simNow(s));
    *transferred = length;
    return true;
}

bool readPipe(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t* transferred) {
    State& s = state();
    std::unique_lock<std::mutex> guard(s.lock);
    *transferred = 0;
    int unit = s.usbHandles.count(usb) != 0 ? static_cast<UsbObject*>(usb)->unit : -1;
    bool fail = failThisCall(s) || !unitUsable(s, unit) || s.units[unit].unit.readFails;
    if (!fail) {
        std::chrono::microseconds delay = s.units[unit].unit.readDelay;
        if (delay.count() > 0) {
            // Other units' calls go on while this one waits for its unit.
            s.maxReadsInFlight = std::max(s.maxReadsInFlight, ++s.readsInFlight);
            guard.unlock();
            std::this_thread::sleep_for(delay);
            guard.lock();
            --s.readsInFlight;
        }
        fail = !unitUsable(s, unit); // unplugged while the read waited
    }
    if (fail) {
        if (unit >= 0 && unit < static_cast<int>(s.units.size())) {
            s.units[unit].replyPending = false; // an unplugged unit forgets it too
        }
        noteTransfer(s, Op::ReadPipe, unit, buffer, 0, length, false);
        return false;
    }
    UnitState& target = s.units[unit];
    if (!target.replyPending) {
        ++s.interleaved; // a read with no request of its own
    }
    std::size_t count = std::min<std::size_t>(length, target.reply.size);
    if (target.unit.deliverAtMost) {
        count = std::min<std::size_t>(count, *target.unit.deliverAtMost);
    }
    std::memcpy(buffer, target.reply.bytes.data(), count);
    target.replyPending = false;
    *transferred = static_cast<std::uint32_t>(count);
    noteTransfer(s, Op::ReadPipe, unit, buffer, count, length, true);
    return true;
}

} // namespace brivant::platform
