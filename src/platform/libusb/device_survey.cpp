#include "platform/libusb/device_survey.h"

#include <tuple>

namespace brivant::usb {

bool VerdictCache::Key::operator<(const Key& other) const {
    return std::tie(bus, address, ports, vendor, product) <
           std::tie(other.bus, other.address, other.ports, other.vendor, other.product);
}

Verdict VerdictCache::judge(libusb_device* device, const UsbIdList& ids) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    Key key;
    key.bus = libusb_get_bus_number(device);
    key.address = libusb_get_device_address(device);
    libusb_get_port_numbers(device, key.ports.data(), static_cast<int>(key.ports.size()));
    key.vendor = descriptor.idVendor;
    key.product = descriptor.idProduct;

    // A listed device needs no asking, and the list may have changed.
    if (ids.lists(UsbId{key.vendor, key.product})) {
        return judgeDevice(device, ids);
    }
    auto known = entries_.find(key);
    if (known != entries_.end()) {
        known->second.seen = true;
        return known->second.verdict;
    }
    Verdict verdict = judgeDevice(device, ids);
    if (verdict.match != Match::Unknown && verdict.settled) {
        entries_[key] = Entry{verdict, true};
    }
    return verdict;
}

void VerdictCache::forgetAbsent() {
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (entry->second.seen) {
            entry->second.seen = false;
            ++entry;
        } else {
            entry = entries_.erase(entry);
        }
    }
}

std::string unitPath(libusb_device* device, int configuration, int interfaceNumber) {
    std::uint8_t ports[8] = {};
    int count = libusb_get_port_numbers(device, ports, static_cast<int>(sizeof ports));
    std::string path = "usb:" + std::to_string(libusb_get_bus_number(device)) + "-";
    if (count <= 0) {
        path += "0"; // a root hub
    }
    for (int i = 0; i < count; ++i) {
        path += (i > 0 ? "." : "") + std::to_string(ports[i]);
    }
    return path + ":" + std::to_string(configuration) + "." + std::to_string(interfaceNumber);
}

DeviceSurvey::DeviceSurvey(libusb_context* context, VerdictCache& cache, const UsbIdList& ids) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        listError_ = static_cast<int>(count);
        return;
    }
    list_.reset(list);
    for (ssize_t i = 0; i < count; ++i) {
        SurveyedDevice surveyed;
        surveyed.device = list[i];
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(list[i], &descriptor);
        surveyed.id = UsbId{descriptor.idVendor, descriptor.idProduct};
        surveyed.verdict = cache.judge(list[i], ids);
        if (isUnit(surveyed.verdict.match)) {
            surveyed.path = unitPath(list[i], surveyed.verdict.configuration,
                                     surveyed.verdict.interfaceNumber);
        }
        devices_.push_back(surveyed);
    }
    cache.forgetAbsent();
}

} // namespace brivant::usb
