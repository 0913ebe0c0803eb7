#include "platform/libusb/usb_ids.h"

#include <algorithm>
#include <cstdlib>

namespace brivant::usb {

namespace {

bool parseHexId(const std::string& text, std::uint16_t& value) {
    if (text.empty() || text.size() > 4) {
        return false;
    }
    unsigned result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * 16 + digit;
    }
    value = static_cast<std::uint16_t>(result);
    return true;
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

} // namespace

bool UsbIdList::lists(UsbId id) const { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

UsbIdList parseUsbIds(const char* text) {
    UsbIdList list;
    if (text == nullptr) {
        return list;
    }
    std::string all(text);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t comma = all.find(',', start);
        std::string entry = trimmed(all.substr(start, comma == std::string::npos ? std::string::npos
                                                                                 : comma - start));
        start = comma == std::string::npos ? all.size() + 1 : comma + 1;
        if (entry.empty()) {
            continue; // "a,,b" or a trailing comma
        }
        std::size_t colon = entry.find(':');
        UsbId id;
        if (colon == std::string::npos || !parseHexId(entry.substr(0, colon), id.vendor) ||
            !parseHexId(entry.substr(colon + 1), id.product)) {
            list.rejected.push_back(entry);
        } else {
            list.ids.push_back(id);
        }
    }
    return list;
}

UsbIdList usbIdsFromEnvironment() { return parseUsbIds(std::getenv(kUsbIdsVariable)); }

} // namespace brivant::usb
