// The platform operations over libusb, for real units on Linux.
//
// The setup API's set of present interfaces becomes a survey of the USB
// devices present (device_survey.h) that keeps the units' device paths. Open
// by path opens the device (CreateFileW), binding claims the unit's
// interface (WinUsb_Initialize): usbfs lets one process claim an interface
// at a time, as WinUSB lets one handle bind a device, so a unit claimed
// elsewhere cannot be opened. The pipe calls are synchronous bulk transfers
// on endpoints 0x01 and 0x82 with no time-out: they return when libusb
// completes or fails the transfer, and a unit unplugged fails them. The
// slot's mutex is never waited on, so it needs no object behind it.
//
// libusb starts once per process, at the first platform call, in a context
// of the library's own; it then keeps a thread of its own for hot-plug
// events. It is never shut down: the library does not close units left
// open, and libusb must outlive them.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/backend.h"
#include "platform/libusb/device_survey.h"

namespace brivant::usb {

namespace {

using namespace platform;

struct State {
    std::once_flag started;
    libusb_context* context = nullptr; // null when libusb could not start
    std::mutex lock;                   // guards the cache
    VerdictCache cache;
};

// Never destroyed: units may still be open, and calls may still come, while
// the process exits.
State& state() {
    static State* instance = new State;
    return *instance;
}

libusb_context* context() {
    State& s = state();
    std::call_once(s.started, [&s] {
        if (libusb_init(&s.context) != LIBUSB_SUCCESS) {
            s.context = nullptr;
        }
    });
    return s.context;
}

struct UnitSet {
    std::vector<std::u16string> paths; // the units present, in enumeration order
};

struct OpenedUnit {
    libusb_device_handle* handle;
    int interfaceNumber;
};

char slotMutex; // what createMutex hands out

thread_local std::uint32_t lastErrorValue = 0;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorInvalidUserBuffer = 1784;

std::u16string widened(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Runs a survey with the cache locked; `body` sees the devices.
template <typename Body>
auto surveyed(Body&& body) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    DeviceSurvey survey(s.context, s.cache, usbIdsFromEnvironment());
    return body(survey);
}

DevInfoSet getClassDevs() {
    if (context() == nullptr) {
        return invalidHandle();
    }
    try {
        auto set = std::make_unique<UnitSet>();
        surveyed([&set](const DeviceSurvey& survey) {
            for (const SurveyedDevice& device : survey.devices()) {
                if (isUnit(device.verdict.match)) {
                    set->paths.push_back(widened(device.path));
                }
            }
        });
        return set.release();
    } catch (const std::exception&) {
        return invalidHandle();
    }
}

bool enumInterface(DevInfoSet set, std::uint32_t index, InterfaceData* data) {
    auto* units = static_cast<UnitSet*>(set);
    if (units == nullptr || set == invalidHandle() || index >= units->paths.size()) {
        lastErrorValue = kErrorNoMoreItems;
        return false;
    }
    std::memset(data->raw, 0, sizeof data->raw);
    std::memcpy(data->raw, &index, sizeof index);
    lastErrorValue = 0;
    return true;
}

bool getInterfaceDetail(DevInfoSet set, InterfaceData* data, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
    auto* units = static_cast<UnitSet*>(set);
    std::uint32_t index = 0;
    std::memcpy(&index, data->raw, sizeof index);
    if (units == nullptr || set == invalidHandle() || index >= units->paths.size()) {
        lastErrorValue = kErrorInvalidParameter;
        return false;
    }
    const std::u16string& path = units->paths[index];
    auto needed = static_cast<std::uint32_t>(kDetailPathOffset + 2 * (path.size() + 1));
    if (detail == nullptr || detailSize < needed) {
        if (requiredSize != nullptr) {
            *requiredSize = needed;
        }
        lastErrorValue = kErrorInsufficientBuffer;
        return false;
    }
    std::uint32_t sizeField = 0;
    std::memcpy(&sizeField, detail, sizeof sizeField);
    if (sizeField != kDetailFixedSize) {
        lastErrorValue = kErrorInvalidUserBuffer;
        return false;
    }
    std::memcpy(static_cast<unsigned char*>(detail) + kDetailPathOffset, path.c_str(),
                2 * (path.size() + 1));
    lastErrorValue = 0;
    return true;
}

void destroyDevInfo(DevInfoSet set) {
    if (set != invalidHandle()) {
        delete static_cast<UnitSet*>(set);
    }
}

std::uint32_t lastError() { return lastErrorValue; }

void* localAlloc(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void localFree(void* block) { std::free(block); }

Handle createFile(const char16_t* path) {
    if (context() == nullptr || path == nullptr) {
        return invalidHandle();
    }
    std::u16string wanted(path);
    try {
        return surveyed([&wanted](const DeviceSurvey& survey) -> Handle {
            for (const SurveyedDevice& device : survey.devices()) {
                if (!device.path.empty() && widened(device.path) == wanted) {
                    libusb_device_handle* handle = nullptr;
                    if (libusb_open(device.device, &handle) != LIBUSB_SUCCESS) {
                        return invalidHandle();
                    }
                    auto* unit =
                        new (std::nothrow) OpenedUnit{handle, device.verdict.interfaceNumber};
                    if (unit == nullptr) {
                        libusb_close(handle);
                        return invalidHandle();
                    }
                    return unit;
                }
            }
            return invalidHandle();
        });
    } catch (const std::exception&) {
        return invalidHandle();
    }
}

void closeHandle(Handle handle) {
    if (handle == &slotMutex || handle == nullptr || handle == invalidHandle()) {
        return;
    }
    auto* unit = static_cast<OpenedUnit*>(handle);
    libusb_close(unit->handle);
    delete unit;
}

Handle createMutex() { return &slotMutex; }

bool usbInitialize(Handle file, UsbHandle* usb) {
    auto* unit = static_cast<OpenedUnit*>(file);
    if (unit == nullptr || file == invalidHandle() ||
        libusb_claim_interface(unit->handle, unit->interfaceNumber) != LIBUSB_SUCCESS) {
        return false;
    }
    *usb = unit;
    return true;
}

void usbFree(UsbHandle usb) {
    auto* unit = static_cast<OpenedUnit*>(usb);
    // Fails harmlessly once the unit is unplugged.
    libusb_release_interface(unit->handle, unit->interfaceNumber);
}

bool writePipe(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
    int done = 0;
    int result = libusb_bulk_transfer(static_cast<OpenedUnit*>(usb)->handle, kPipeOut,
                                      const_cast<std::uint8_t*>(buffer), static_cast<int>(length),
                                      &done, 0);
    *transferred = static_cast<std::uint32_t>(done);
    return result == LIBUSB_SUCCESS;
}

bool readPipe(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t* transferred) {
    int done = 0;
    int result = libusb_bulk_transfer(static_cast<OpenedUnit*>(usb)->handle, kPipeIn, buffer,
                                      static_cast<int>(length), &done, 0);
    *transferred = static_cast<std::uint32_t>(done);
    return result == LIBUSB_SUCCESS;
}

} // namespace

const platform::Backend kBackend = {
    "usb",         getClassDevs,  enumInterface, getInterfaceDetail, destroyDevInfo,
    lastError,     localAlloc,    localFree,     createFile,         closeHandle,
    createMutex,   usbInitialize, usbFree,       writePipe,          readPipe,
};

} // namespace brivant::usb
