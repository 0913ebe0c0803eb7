#include "discovery/discovery.h"

#include <cstring>

#include "transport/frame.h"

namespace brivant::discovery {

namespace {

// Copies the zero-terminated path that starts at `text` and may run for at
// most `available` characters (the end of the detail block). True when the
// whole path and its terminator fitted both the block and `path`.
bool copyPath(const unsigned char* text, std::size_t available, Path& path) {
    for (std::size_t i = 0; i <= kMaxPath; ++i) {
        if (i == available) { // the block ends without a terminator
            path[i < kMaxPath ? i : kMaxPath] = 0;
            return false;
        }
        char16_t c;
        std::memcpy(&c, text + 2 * i, sizeof c); // the block gives no alignment promise
        if (i == kMaxPath) {
            path[kMaxPath] = 0;
            return c == 0;
        }
        path[i] = c;
        if (c == 0) {
            return true;
        }
    }
    return false; // not reached
}

// The path lookup once a device information set is in hand.
bool lookUpPath(platform::DevInfoSet set, std::uint32_t index, Path& path) {
    platform::InterfaceData data{};
    if (!platform::enumInterface(set, index, &data)) {
        return false;
    }
    std::uint32_t required = 0;
    if (platform::getInterfaceDetail(set, &data, nullptr, 0, &required) ||
        platform::lastError() != platform::kErrorInsufficientBuffer) {
        return false;
    }
    // A size that cannot even hold the size field and an empty path would
    // make the record below overrun its block.
    if (required < platform::kDetailFixedSize) {
        return false;
    }
    auto* block = static_cast<unsigned char*>(platform::localAlloc(required));
    if (block == nullptr) {
        return false;
    }
    std::memset(block, 0, required);
    std::memcpy(block, &platform::kDetailFixedSize, sizeof platform::kDetailFixedSize);
    bool found = platform::getInterfaceDetail(set, &data, block, required, nullptr) &&
                 copyPath(block + platform::kDetailPathOffset,
                          (required - platform::kDetailPathOffset) / 2, path);
    platform::localFree(block);
    return found;
}

} // namespace

std::uint32_t countInterfaces() {
    platform::DevInfoSet set = platform::getClassDevs();
    if (set == platform::invalidHandle()) {
        return 0;
    }
    std::uint32_t count = 0;
    platform::InterfaceData data{};
    while (count < kMaxCounted && platform::enumInterface(set, count, &data)) {
        ++count;
    }
    platform::destroyDevInfo(set);
    return count;
}

bool getInterfacePath(std::uint32_t index, Path& path) {
    platform::DevInfoSet set = platform::getClassDevs();
    if (set == platform::invalidHandle()) {
        return false;
    }
    bool found = lookUpPath(set, index, path);
    platform::destroyDevInfo(set);
    return found;
}

unsigned queryUnitId(const Path& path) {
    platform::Handle file = platform::createFile(path);
    if (file == platform::invalidHandle()) {
        return kNoUnitId;
    }
    platform::UsbHandle usb = nullptr;
    if (!platform::usbInitialize(file, &usb)) {
        platform::closeHandle(file);
        return kNoUnitId;
    }
    std::uint8_t buffer[transport::kMaxFrame] = {};
    transport::Frame frame('K');
    std::size_t length = frame.finish();
    std::uint32_t received = 0;
    std::int16_t rc = transport::exchange(usb, frame.data(), length, buffer,
                                          transport::kIdReplyLength, &received);
    platform::usbFree(usb);
    platform::closeHandle(file);
    // A read that succeeded but delivered no byte carries no ID.
    if (rc != 0 || received < transport::kIdReplyLength) {
        return kNoUnitId;
    }
    return buffer[0];
}

} // namespace brivant::discovery
