#include "platform/libusb/unit_judge.h"

#include <vector>

#include "platform/libusb/ms_os_descriptors.h"
#include "platform/platform.h"

namespace brivant::usb {

namespace {

constexpr std::uint16_t kBosMinimumUsbVersion = 0x0201;
// bmRequestType of the MS OS requests: device to host, vendor, to the
// device (the 2.0 set) or to an interface (the 1.0 extended properties).
constexpr std::uint8_t kVendorFromDevice = 0xC0;
constexpr std::uint8_t kVendorFromInterface = 0xC1;
constexpr std::size_t kMaxDescriptor = 4096; // more than any MS OS set a unit sends

// Interfaces (alternate setting 0) with a bulk out endpoint 0x01 and a bulk
// in endpoint 0x82, in configuration order.
std::vector<int> bulkInterfaces(const libusb_config_descriptor& config) {
    std::vector<int> found;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface& interface = config.interface[i];
        if (interface.num_altsetting < 1) {
            continue;
        }
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        bool out = false;
        bool in = false;
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            bool bulk = (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) ==
                        LIBUSB_TRANSFER_TYPE_BULK;
            out = out || (bulk && endpoint.bEndpointAddress == platform::kPipeOut);
            in = in || (bulk && endpoint.bEndpointAddress == platform::kPipeIn);
        }
        if (out && in) {
            found.push_back(setting.bInterfaceNumber);
        }
    }
    return found;
}

bool contains(const std::vector<int>& numbers, int number) {
    for (int n : numbers) {
        if (n == number) {
            return true;
        }
    }
    return false;
}

// The control requests put to one opened device, noting whether any failed
// otherwise than by a stall.
class Asker {
public:
    explicit Asker(libusb_device_handle* handle) : handle_(handle) {}

    bool unsure() const { return unsure_; }

    // The byte count received, or a libusb error.
    int control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, std::uint8_t* data, std::uint16_t length) {
        int got = libusb_control_transfer(handle_, requestType, request, value, index, data, length,
                                          kDescriptorTimeoutMs);
        if (got < 0 && got != LIBUSB_ERROR_PIPE) {
            unsure_ = true;
        }
        return got;
    }

    // A descriptor fetched in two steps: the header, whose length field
    // tells the whole length, then the whole. Empty when the device refuses
    // or answers short.
    std::vector<std::uint8_t> fetchWhole(std::uint8_t requestType, std::uint8_t request,
                                         std::uint16_t value, std::uint16_t index,
                                         std::size_t headerLength,
                                         std::size_t (*totalOf)(const std::uint8_t*)) {
        std::vector<std::uint8_t> bytes(headerLength);
        int got = control(requestType, request, value, index, bytes.data(),
                          static_cast<std::uint16_t>(bytes.size()));
        if (got < static_cast<int>(headerLength)) {
            return {};
        }
        std::size_t total = totalOf(bytes.data());
        if (total <= headerLength || total > kMaxDescriptor) {
            return total == headerLength ? bytes : std::vector<std::uint8_t>{};
        }
        bytes.assign(total, 0);
        got = control(requestType, request, value, index, bytes.data(),
                      static_cast<std::uint16_t>(total));
        if (got <= 0) {
            return {};
        }
        bytes.resize(static_cast<std::size_t>(got));
        return bytes;
    }

private:
    libusb_device_handle* handle_;
    bool unsure_ = false;
};

std::size_t bosTotal(const std::uint8_t* header) {
    return static_cast<std::size_t>(header[2] | header[3] << 8);
}
std::size_t propertiesTotal(const std::uint8_t* header) {
    return static_cast<std::size_t>(header[0] | header[1] << 8 | header[2] << 16) |
           static_cast<std::size_t>(header[3]) << 24;
}

Verdict unit(Match match, int interfaceNumber, const char* reason) {
    Verdict verdict;
    verdict.match = match;
    verdict.interfaceNumber = interfaceNumber;
    verdict.reason = reason;
    return verdict;
}

Verdict notAUnit(const char* reason) {
    Verdict verdict;
    verdict.reason = reason;
    return verdict;
}

// What a device's descriptors made of it, in words.
constexpr const char* kByMsOs20 = "MS OS 2.0 descriptors declare the unit GUID";
constexpr const char* kByMsOs10 = "MS OS 1.0 extended properties declare the unit GUID";
constexpr const char* kSetUnreadable = "its MS OS 2.0 descriptor set could not be read";
constexpr const char* kMsOs20OtherGuid =
    "its MS OS 2.0 descriptor set declares another interface GUID or none";
constexpr const char* kMsOs20WrongInterface =
    "the interface its MS OS 2.0 descriptors name lacks the bulk endpoints 0x01 and 0x82";
constexpr const char* kNoMsOs =
    "it has no MS OS descriptors and is not listed in BRIVANT_USB_IDS";
constexpr const char* kMsOs10OtherGuid =
    "its MS OS 1.0 descriptors declare another interface GUID or none";

// Asks an opened device for its MS OS descriptors, as Windows does: the
// MS OS 2.0 set when the BOS descriptor offers one, and only otherwise the
// MS OS 1.0 string and extended properties.
Verdict askDevice(Asker& asker, const libusb_device_descriptor& device,
                  const std::vector<int>& candidates) {
    if (device.bcdUSB >= kBosMinimumUsbVersion) {
        std::vector<std::uint8_t> bos = asker.fetchWhole(
            LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_BOS << 8, 0, 5, bosTotal);
        if (std::optional<MsOs20SetInfo> info = findMsOs20Set(bos.data(), bos.size())) {
            std::vector<std::uint8_t> set(info->totalLength);
            int got = asker.control(kVendorFromDevice, info->vendorCode, 0, kMsOs20SetIndex,
                                    set.data(), info->totalLength);
            if (got <= 0) {
                return notAUnit(kSetUnreadable);
            }
            std::optional<GuidDeclaration> declared =
                msOs20DeclaresUnit(set.data(), static_cast<std::size_t>(got));
            if (!declared) {
                return notAUnit(kMsOs20OtherGuid);
            }
            if (declared->interfaceNumber == GuidDeclaration::kWholeDevice) {
                return unit(Match::MsOs20, candidates.front(), kByMsOs20);
            }
            if (!contains(candidates, declared->interfaceNumber)) {
                return notAUnit(kMsOs20WrongInterface);
            }
            return unit(Match::MsOs20, declared->interfaceNumber, kByMsOs20);
        }
    }
    std::uint8_t string[18] = {};
    int got = asker.control(LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                            LIBUSB_DT_STRING << 8 | kMsOs10StringIndex, 0, string, sizeof string);
    std::optional<std::uint8_t> vendorCode =
        got > 0 ? msOs10VendorCode(string, static_cast<std::size_t>(got)) : std::nullopt;
    if (!vendorCode) {
        return notAUnit(kNoMsOs);
    }
    for (int number : candidates) {
        std::vector<std::uint8_t> properties =
            asker.fetchWhole(kVendorFromInterface, *vendorCode,
                             static_cast<std::uint16_t>(number << 8), kMsOs10PropertiesIndex, 10,
                             propertiesTotal);
        if (msOs10DeclaresUnit(properties.data(), properties.size())) {
            return unit(Match::MsOs10, number, kByMsOs10);
        }
    }
    return notAUnit(kMsOs10OtherGuid);
}

} // namespace

Verdict judgeDevice(libusb_device* device, const UsbIdList& ids) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return notAUnit("its device descriptor could not be read");
    }
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
        return notAUnit("it is not configured");
    }
    std::vector<int> candidates = bulkInterfaces(*config);
    int configuration = config->bConfigurationValue;
    libusb_free_config_descriptor(config);

    Verdict verdict;
    if (ids.lists(UsbId{descriptor.idVendor, descriptor.idProduct})) {
        verdict = candidates.empty() ? notAUnit("it is listed in BRIVANT_USB_IDS but has no "
                                                "interface with the bulk endpoints 0x01 and 0x82")
                                      : unit(Match::UsbIds, candidates.front(),
                                             "listed in BRIVANT_USB_IDS");
    } else if (candidates.empty()) {
        verdict = notAUnit("it has no interface with the bulk endpoints 0x01 and 0x82");
    } else {
        libusb_device_handle* handle = nullptr;
        int opened = libusb_open(device, &handle);
        if (opened != LIBUSB_SUCCESS) {
            verdict.match = Match::Unknown;
            verdict.openError = opened;
            verdict.reason = "it could not be opened to read its MS OS descriptors";
        } else {
            Asker asker(handle);
            verdict = askDevice(asker, descriptor, candidates);
            verdict.settled = isUnit(verdict.match) || !asker.unsure();
            libusb_close(handle);
        }
    }
    verdict.configuration = configuration;
    return verdict;
}

} // namespace brivant::usb
