#include "platform/libusb/diagnostics.h"

#include <cstdlib>

#include "platform/backend.h"
#include "platform/libusb/device_survey.h"

namespace brivant::usb {

namespace {

UnitSign signOf(Match match) {
    switch (match) {
    case Match::MsOs20:
        return UnitSign::MsOs20;
    case Match::MsOs10:
        return UnitSign::MsOs10;
    case Match::UsbIds:
        return UnitSign::UsbIds;
    case Match::Unknown:
        return UnitSign::Unknown;
    case Match::NotAUnit:
        break;
    }
    return UnitSign::NotAUnit;
}

OpenProblem problemOf(int error) {
    switch (error) {
    case LIBUSB_SUCCESS:
        return OpenProblem::None;
    case LIBUSB_ERROR_ACCESS:
        return OpenProblem::PermissionDenied;
    case LIBUSB_ERROR_BUSY:
        return OpenProblem::Busy;
    case LIBUSB_ERROR_NO_DEVICE:
        return OpenProblem::Gone;
    default:
        return OpenProblem::Other;
    }
}

// Opens a unit and claims its interface as the library's open does, then
// lets go; the libusb error of the first step that failed.
int tryToOpen(libusb_device* device, int interfaceNumber) {
    libusb_device_handle* handle = nullptr;
    int result = libusb_open(device, &handle);
    if (result != LIBUSB_SUCCESS) {
        return result;
    }
    result = libusb_claim_interface(handle, interfaceNumber);
    if (result == LIBUSB_SUCCESS) {
        libusb_release_interface(handle, interfaceNumber);
    }
    libusb_close(handle);
    return result;
}

void noteProblem(SurveyedUsbDevice& entry, int error) {
    entry.openProblem = problemOf(error);
    if (error != LIBUSB_SUCCESS) {
        entry.openError = libusb_error_name(error);
    }
}

} // namespace

Survey surveyUsb() {
    Survey survey;
    const char* value = std::getenv(platform::kBackendVariable);
    survey.backendValue = value != nullptr ? value : "";
    switch (platform::backendChoice(value)) {
    case platform::BackendChoice::Usb:
        survey.backend = "usb";
        break;
    case platform::BackendChoice::Sim:
        survey.backend = "sim";
        break;
    case platform::BackendChoice::Unknown:
        survey.backend = "none";
        break;
    }
    UsbIdList ids = usbIdsFromEnvironment();
    survey.rejectedUsbIds = ids.rejected;

    libusb_context* context = nullptr;
    int started = libusb_init(&context);
    if (started != LIBUSB_SUCCESS) {
        survey.usbError = libusb_error_name(started);
        return survey;
    }
    {
        VerdictCache cache;
        DeviceSurvey devices(context, cache, ids);
        if (devices.listError() != LIBUSB_SUCCESS) {
            survey.usbError = libusb_error_name(devices.listError());
        } else {
            survey.usbAvailable = true;
        }
        for (const SurveyedDevice& device : devices.devices()) {
            SurveyedUsbDevice entry;
            entry.bus = libusb_get_bus_number(device.device);
            entry.address = libusb_get_device_address(device.device);
            std::uint8_t ports[8] = {};
            int count =
                libusb_get_port_numbers(device.device, ports, static_cast<int>(sizeof ports));
            for (int i = 0; i < count; ++i) {
                entry.ports += (i > 0 ? "." : "") + std::to_string(ports[i]);
            }
            entry.vendorId = device.id.vendor;
            entry.productId = device.id.product;
            entry.sign = signOf(device.verdict.match);
            entry.reason = device.verdict.reason;
            if (device.verdict.match == Match::Unknown) {
                noteProblem(entry, device.verdict.openError);
            } else if (isUnit(device.verdict.match)) {
                entry.path = device.path;
                entry.interfaceNumber = device.verdict.interfaceNumber;
                noteProblem(entry, tryToOpen(device.device, entry.interfaceNumber));
                ++survey.units;
                survey.unitsOpenable += entry.openProblem == OpenProblem::None;
            }
            survey.devices.push_back(entry);
        }
        survey.devicesConsidered = static_cast<int>(survey.devices.size());
    }
    libusb_exit(context);
    return survey;
}

DeviceJudgement judgeUsbDevice(std::uint8_t bus, std::uint8_t address) {
    DeviceJudgement judgement;
    UsbIdList ids = usbIdsFromEnvironment();
    libusb_context* context = nullptr;
    int started = libusb_init(&context);
    if (started != LIBUSB_SUCCESS) {
        judgement.usbError = libusb_error_name(started);
        return judgement;
    }
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        judgement.usbError = libusb_error_name(static_cast<int>(count));
    }
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) != bus || libusb_get_device_address(list[i]) != address) {
            continue;
        }
        Verdict verdict = judgeDevice(list[i], ids);
        judgement.found = true;
        judgement.sign = signOf(verdict.match);
        judgement.reason = verdict.reason;
        if (verdict.match == Match::Unknown) {
            judgement.reason += std::string(" (") + libusb_error_name(verdict.openError) + ")";
        }
        break;
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    libusb_exit(context);
    return judgement;
}

const char* describe(UnitSign sign) {
    switch (sign) {
    case UnitSign::NotAUnit:
        return "not a unit";
    case UnitSign::Unknown:
        return "not known: it could not be opened to be asked";
    case UnitSign::MsOs20:
        return "a unit, by its MS OS 2.0 descriptors";
    case UnitSign::MsOs10:
        return "a unit, by its MS OS 1.0 descriptors";
    case UnitSign::UsbIds:
        return "a unit, listed in BRIVANT_USB_IDS";
    }
    return "?";
}

const char* describe(OpenProblem problem) {
    switch (problem) {
    case OpenProblem::None:
        return "can be opened";
    case OpenProblem::PermissionDenied:
        return "permission denied: install the udev rule (see the README) or run as a user "
               "with access";
    case OpenProblem::Busy:
        return "busy: its interface is claimed by another process";
    case OpenProblem::Gone:
        return "unplugged while being looked at";
    case OpenProblem::Other:
        return "could not be opened";
    }
    return "?";
}

} // namespace brivant::usb
