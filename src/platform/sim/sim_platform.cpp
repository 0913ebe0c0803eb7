// The simulated platform: the platform layer's operations acting on the units
// of the simulated bus, as the backend table sim::kBackend. Each call tells
// the probe what it does and asks it whether a fault makes it fail
// (probe.h); the units' replies come from their unit model.
#include <algorithm>
#include <cstring>

#include "platform/backend.h"
#include "platform/sim/bus.h"
#include "platform/sim/probe.h"

namespace brivant::sim {

Bus& bus() {
    static Bus instance{{}, demoUnits(), {}};
    return instance;
}

namespace {

std::u16string defaultPath(int number) {
    std::u16string path = u"\\\\?\\usb#vid_1234&pid_0001#unit";
    path += static_cast<char16_t>(u'0' + number / 10 % 10);
    path += static_cast<char16_t>(u'0' + number % 10);
    path += u"#{85b54c78-94cc-4866-a4bd-464e49dfc5e4}";
    return path;
}

} // namespace

std::u16string unitPath(const Bus& bus, int number) {
    const std::u16string& path = bus.units[number].path;
    return path.empty() ? defaultPath(number) : path;
}

namespace {

using namespace platform;
using probe::Resource;

constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorInvalidUserBuffer = 1784;

// Every handle handed out starts with what it is and the unit it leads to.
struct Object {
    Resource kind;
    int unit;
};
struct SetObject : Object {
    std::vector<int> members; // unit numbers present when the set was made
};

thread_local std::uint32_t threadLastError = 0;

// The object behind `handle` when it is a `kind` still held; null otherwise.
Object* heldObject(void* handle, Resource kind) {
    if (handle == nullptr || handle == invalidHandle() || !probe::holds(kind, handle)) {
        return nullptr;
    }
    auto* object = static_cast<Object*>(handle);
    return object->kind == kind ? object : nullptr;
}

int unitOf(void* handle, Resource kind) {
    Object* object = heldObject(handle, kind);
    return object != nullptr ? object->unit : -1;
}

bool unitUsable(const Bus& bus, int unit) {
    return unit >= 0 && unit < static_cast<int>(bus.units.size()) && bus.units[unit].present;
}

// Interface data carries the member's position in its set.
void storeIndex(InterfaceData* data, std::uint32_t index) {
    std::memset(data->raw, 0, sizeof data->raw);
    std::memcpy(data->raw, &index, sizeof index);
}
std::uint32_t loadIndex(const InterfaceData* data) {
    std::uint32_t index = 0;
    std::memcpy(&index, data->raw, sizeof index);
    return index;
}

DevInfoSet getClassDevs() {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bool fail = probe::fails(Op::GetClassDevs, -1);
    probe::note(Op::GetClassDevs, -1, 0, !fail);
    if (fail) {
        return invalidHandle();
    }
    auto* set = new SetObject{{Resource::Set, -1}, {}};
    std::vector<int> order;
    auto listOnce = [&order](int i) {
        if (std::find(order.begin(), order.end(), i) == order.end()) {
            order.push_back(i);
        }
    };
    for (int i : bus.enumerationOrder) {
        if (i >= 0 && i < static_cast<int>(bus.units.size())) {
            listOnce(i);
        }
    }
    for (int i = 0; i < static_cast<int>(bus.units.size()); ++i) {
        listOnce(i);
    }
    for (int i : order) {
        if (bus.units[i].present) {
            set->members.push_back(i);
        }
    }
    probe::acquired(Resource::Set, set);
    return set;
}

bool enumInterface(DevInfoSet set, std::uint32_t index, InterfaceData* data) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bool fail = probe::fails(Op::EnumInterface, -1);
    auto* object = static_cast<SetObject*>(heldObject(set, Resource::Set));
    int unit = -1;
    if (!fail && object != nullptr && index < object->members.size()) {
        unit = object->members[index];
        storeIndex(data, index);
    } else {
        fail = true;
    }
    threadLastError = fail ? kErrorNoMoreItems : 0;
    probe::note(Op::EnumInterface, unit, index, !fail);
    return !fail;
}

bool getInterfaceDetail(DevInfoSet set, InterfaceData* data, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bool fail = probe::fails(Op::GetInterfaceDetail, -1);
    int unit = -1;
    auto* object = static_cast<SetObject*>(heldObject(set, Resource::Set));
    if (!fail && object != nullptr) {
        std::uint32_t index = loadIndex(data);
        if (index < object->members.size()) {
            unit = object->members[index];
        }
    }
    auto finish = [&](bool ok, std::uint32_t error) {
        threadLastError = error;
        probe::note(Op::GetInterfaceDetail, unit, detailSize, ok);
        return ok;
    };
    if (fail || unit < 0) {
        return finish(false, kErrorInvalidParameter);
    }
    std::u16string path = unitPath(bus, unit);
    auto needed = static_cast<std::uint32_t>(kDetailPathOffset + 2 * (path.size() + 1));
    if (detail == nullptr) {
        probe::Sizing sizing = probe::sizing();
        if (sizing == probe::Sizing::Succeeds) {
            return finish(true, 0);
        }
        if (sizing == probe::Sizing::OtherError) {
            return finish(false, kErrorInvalidParameter);
        }
        if (requiredSize != nullptr) {
            *requiredSize = probe::reportedSize(needed);
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
    if (probe::pathCopyFails()) {
        return finish(false, kErrorInvalidParameter);
    }
    auto* text = static_cast<unsigned char*>(detail) + kDetailPathOffset;
    std::memcpy(text, path.c_str(), 2 * (path.size() + 1));
    return finish(true, 0);
}

void destroyDevInfo(DevInfoSet set) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    probe::note(Op::DestroyDevInfo, -1, 0, true);
    if (Object* object = heldObject(set, Resource::Set)) {
        probe::released(Resource::Set, object);
        delete static_cast<SetObject*>(object);
    } else {
        probe::badRelease();
    }
}

std::uint32_t lastError() {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    probe::note(Op::LastError, -1, 0, true);
    return threadLastError;
}

void* localAlloc(std::size_t size) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bool fail = probe::fails(Op::LocalAlloc, -1);
    probe::note(Op::LocalAlloc, -1, static_cast<std::uint32_t>(size), !fail);
    if (fail) {
        return nullptr;
    }
    void* block = ::operator new(size == 0 ? 1 : size);
    probe::acquired(Resource::Block, block);
    return block;
}

void localFree(void* block) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    probe::note(Op::LocalFree, -1, 0, true);
    if (block != nullptr && probe::holds(Resource::Block, block)) {
        probe::released(Resource::Block, block);
        ::operator delete(block);
    } else {
        probe::badRelease();
    }
}

Handle createFile(const char16_t* path) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    int unit = -1;
    for (int i = 0; i < static_cast<int>(bus.units.size()); ++i) {
        if (bus.units[i].present && unitPath(bus, i) == path) {
            unit = i;
            break;
        }
    }
    bool fail = probe::fails(Op::CreateFile, unit) || unit < 0;
    probe::note(Op::CreateFile, unit, 0, !fail);
    if (fail) {
        return invalidHandle();
    }
    auto* file = new Object{Resource::File, unit};
    probe::acquired(Resource::File, file);
    return file;
}

void closeHandle(Handle handle) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    if (Object* file = heldObject(handle, Resource::File)) {
        probe::note(Op::CloseHandle, file->unit, 0, true);
        probe::released(Resource::File, file);
        delete file;
    } else if (Object* mutex = heldObject(handle, Resource::Mutex)) {
        probe::note(Op::CloseHandle, -1, 0, true);
        probe::released(Resource::Mutex, mutex);
        delete mutex;
    } else {
        probe::note(Op::CloseHandle, -1, 0, false);
        probe::badRelease();
    }
}

Handle createMutex() {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    bool fail = probe::fails(Op::CreateMutex, -1);
    probe::note(Op::CreateMutex, -1, 0, !fail);
    if (fail) {
        return nullptr;
    }
    auto* mutex = new Object{Resource::Mutex, -1};
    probe::acquired(Resource::Mutex, mutex);
    return mutex;
}

bool usbInitialize(Handle file, UsbHandle* usb) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    int unit = unitOf(file, Resource::File);
    bool fail = probe::fails(Op::UsbInitialize, unit) || !unitUsable(bus, unit);
    probe::note(Op::UsbInitialize, unit, 0, !fail);
    if (fail) {
        return false;
    }
    auto* object = new Object{Resource::UsbHandle, unit};
    probe::acquired(Resource::UsbHandle, object);
    *usb = object;
    return true;
}

void usbFree(UsbHandle usb) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    Object* object = heldObject(usb, Resource::UsbHandle);
    probe::note(Op::UsbFree, object != nullptr ? object->unit : -1, 0, true);
    if (object != nullptr) {
        probe::released(Resource::UsbHandle, object);
        delete object;
    } else {
        probe::badRelease();
    }
}

bool writePipe(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
    Bus& bus = sim::bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    int unit = unitOf(usb, Resource::UsbHandle);
    bool fail = probe::fails(Op::WritePipe, unit) || !unitUsable(bus, unit);
    probe::noteTransfer(Op::WritePipe, unit, buffer, length, length, !fail);
    *transferred = 0;
    if (fail) {
        return false;
    }
    BusUnit& target = bus.units[unit];
    if (target.replyPending) {
        probe::interleaved();
    }
    target.replyPending = true;
    target.reply = target.model.answer(buffer, length, probe::now());
    *transferred = length;
    return true;
}

bool readPipe(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t* transferred) {
    Bus& bus = sim::bus();
    std::unique_lock<std::mutex> guard(bus.lock);
    *transferred = 0;
    int unit = unitOf(usb, Resource::UsbHandle);
    bool fail = probe::fails(Op::ReadPipe, unit) || !unitUsable(bus, unit);
    if (!fail) {
        probe::delayRead(unit, guard);
        fail = !unitUsable(bus, unit); // unplugged while the read waited
    }
    if (fail) {
        if (unit >= 0 && unit < static_cast<int>(bus.units.size())) {
            bus.units[unit].replyPending = false; // an unplugged unit forgets it too
        }
        probe::noteTransfer(Op::ReadPipe, unit, buffer, 0, length, false);
        return false;
    }
    BusUnit& target = bus.units[unit];
    if (!target.replyPending) {
        probe::interleaved(); // a read with no request of its own
    }
    std::size_t count = probe::deliverable(unit, std::min<std::size_t>(length, target.reply.size));
    std::memcpy(buffer, target.reply.bytes.data(), count);
    target.replyPending = false;
    *transferred = static_cast<std::uint32_t>(count);
    probe::noteTransfer(Op::ReadPipe, unit, buffer, count, length, true);
    return true;
}

} // namespace

const platform::Backend kBackend = {
    "sim",         getClassDevs, enumInterface, getInterfaceDetail, destroyDevInfo,
    lastError,     localAlloc,   localFree,     createFile,         closeHandle,
    createMutex,   usbInitialize, usbFree,      writePipe,          readPipe,
};

} // namespace brivant::sim
