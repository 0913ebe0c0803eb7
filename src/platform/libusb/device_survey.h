// Every USB device present, judged (unit_judge.h), with the device path of
// each unit: "usb:" then the bus and port numbers, the configuration and the
// interface, as in sysfs ("usb:1-1.4:1.0"). A unit keeps its path while it
// stays plugged into the same port, whatever address it gets when replugged.
#pragma once

#include <libusb.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/libusb/unit_judge.h"
#include "platform/libusb/usb_ids.h"

namespace brivant::usb {

// Verdicts that took asking the device, kept while it stays plugged in (on
// the same port at the same address) so that it is asked once, as Windows
// asks a device once. A device that could not be opened, or whose answers
// were lost to a time-out or a transfer error, is asked again next time.
class VerdictCache {
public:
    Verdict judge(libusb_device* device, const UsbIdList& ids);
    // Forgets the devices not seen by the latest survey.
    void forgetAbsent();

private:
    struct Key {
        std::uint8_t bus = 0;
        std::uint8_t address = 0;
        std::array<std::uint8_t, 8> ports{};
        std::uint16_t vendor = 0;
        std::uint16_t product = 0;
        bool operator<(const Key& other) const;
    };
    struct Entry {
        Verdict verdict;
        bool seen = false;
    };
    std::map<Key, Entry> entries_;
};

struct SurveyedDevice {
    libusb_device* device = nullptr; // valid while the survey lives
    UsbId id;
    Verdict verdict;
    std::string path; // a unit's device path; empty for other devices
};

// Lists and judges the devices present. Not thread-safe with another
// survey over the same cache.
class DeviceSurvey {
public:
    DeviceSurvey(libusb_context* context, VerdictCache& cache, const UsbIdList& ids);

    // LIBUSB_SUCCESS, or why the devices could not be listed.
    int listError() const { return listError_; }
    const std::vector<SurveyedDevice>& devices() const { return devices_; }

private:
    struct ListRelease {
        void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
    };
    std::unique_ptr<libusb_device*, ListRelease> list_;
    int listError_ = LIBUSB_SUCCESS;
    std::vector<SurveyedDevice> devices_;
};

// "usb:BUS-PORT.PORT...:CONFIGURATION.INTERFACE".
std::string unitPath(libusb_device* device, int configuration, int interfaceNumber);

} // namespace brivant::usb
