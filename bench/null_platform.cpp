// A platform that does next to nothing, for measuring the library's own cost
// per call: sixteen units, unit n answering K with n, J with fixed counts and
// everything else with one byte, each at once. A USB handle is the unit's
// record; a write notes the command letter, the read answers it. Built only
// into the single-threaded benchmark that measures the library's own cost.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace brivant::platform {

namespace {

constexpr std::uint32_t kUnits = 16;

struct NullUnit {
    std::uint8_t id;
    std::uint8_t pendingLetter;
};
NullUnit units[kUnits] = {{0, 0},  {1, 0},  {2, 0},  {3, 0},  {4, 0},  {5, 0},
                          {6, 0},  {7, 0},  {8, 0},  {9, 0},  {10, 0}, {11, 0},
                          {12, 0}, {13, 0}, {14, 0}, {15, 0}};
int theSet;
int aMutex;
std::uint32_t lastErrorValue;

const std::uint8_t kCountReply[15] = {0, 0, 0x30, 0x39, 0, 0x80, 0, 0, 0, 0, 0, 42, 1, 0, 1};

// The path of unit n is the two characters 'A' + n and a terminator.
constexpr std::uint32_t kDetailSize = kDetailPathOffset + 2 * 2;

std::uint32_t indexOf(const InterfaceData* data) {
    std::uint32_t index = 0;
    std::memcpy(&index, data->raw, sizeof index);
    return index;
}

} // namespace

DevInfoSet getClassDevs() { return &theSet; }

bool enumInterface(DevInfoSet, std::uint32_t index, InterfaceData* data) {
    if (index >= kUnits) {
        lastErrorValue = 259; // no more items
        return false;
    }
    std::memset(data->raw, 0, sizeof data->raw);
    std::memcpy(data->raw, &index, sizeof index);
    return true;
}

bool getInterfaceDetail(DevInfoSet, InterfaceData* data, void* detail, std::uint32_t detailSize,
                        std::uint32_t* requiredSize) {
    if (detail == nullptr || detailSize < kDetailSize) {
        if (requiredSize != nullptr) {
            *requiredSize = kDetailSize;
        }
        lastErrorValue = kErrorInsufficientBuffer;
        return false;
    }
    char16_t path[2] = {static_cast<char16_t>(u'A' + indexOf(data)), 0};
    std::memcpy(static_cast<unsigned char*>(detail) + kDetailPathOffset, path, sizeof path);
    return true;
}

void destroyDevInfo(DevInfoSet) {}

std::uint32_t lastError() { return lastErrorValue; }

void* localAlloc(std::size_t size) { return std::malloc(size); }

void localFree(void* block) { std::free(block); }

Handle createFile(const char16_t* path) {
    std::uint32_t index = static_cast<std::uint32_t>(path[0] - u'A');
    return index < kUnits ? &units[index] : invalidHandle();
}

void closeHandle(Handle) {}

Handle createMutex() { return &aMutex; }

bool usbInitialize(Handle file, UsbHandle* usb) {
    *usb = file;
    return true;
}

void usbFree(UsbHandle) {}

bool writePipe(UsbHandle usb, const std::uint8_t* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
    static_cast<NullUnit*>(usb)->pendingLetter = length >= 2 ? buffer[1] : 0;
    *transferred = length;
    return true;
}

bool readPipe(UsbHandle usb, std::uint8_t* buffer, std::uint32_t length,
              std::uint32_t* transferred) {
    auto* unit = static_cast<NullUnit*>(usb);
    std::uint32_t count = 0;
    if (unit->pendingLetter == 'K') {
        buffer[0] = unit->id;
        count = 1;
    } else if (unit->pendingLetter == 'J') {
        count = length < sizeof kCountReply ? length : sizeof kCountReply;
        std::memcpy(buffer, kCountReply, count);
    } else {
        buffer[0] = 0x06;
        count = 1;
    }
    *transferred = count < length ? count : length;
    return true;
}

} // namespace brivant::platform
