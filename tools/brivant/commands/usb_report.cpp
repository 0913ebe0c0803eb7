#include "usb_report.h"

#include <cstdio>

namespace brivant::tool {

namespace {

std::string where(const usb::SurveyedUsbDevice& device) {
    char text[64];
    std::snprintf(text, sizeof text, "%04x:%04x on bus %u port %s", device.vendorId,
                  device.productId, device.bus, device.ports.empty() ? "-" : device.ports.c_str());
    return text;
}

// Why a device cannot be opened, and what to do about it.
std::string problem(const usb::SurveyedUsbDevice& device) {
    std::string text = usb::describe(device.openProblem);
    if (device.openProblem == usb::OpenProblem::Other) {
        text += " (" + device.openError + ")";
    }
    return text;
}

bool isUnit(const usb::SurveyedUsbDevice& device) {
    return device.sign != usb::UnitSign::NotAUnit && device.sign != usb::UnitSign::Unknown;
}

} // namespace

std::string usbReport(const usb::Survey& survey, bool nothingFound) {
    std::string text;
    // A BRIVANT_BACKEND that names no backend is told once by the tool at
    // start, whatever the command.
    if (survey.backend != "usb") {
        return "";
    }
    if (!survey.usbAvailable) {
        return "brivant: USB cannot be searched: " + survey.usbError + '\n';
    }
    for (const std::string& entry : survey.rejectedUsbIds) {
        text += "brivant: BRIVANT_USB_IDS entry '" + entry + "' is not VVVV:PPPP; it is ignored\n";
    }
    if (nothingFound) {
        text += "brivant: " + std::to_string(survey.devicesConsidered) + " USB device" +
                (survey.devicesConsidered == 1 ? "" : "s") + " considered, " +
                std::to_string(survey.units) + (survey.units == 1 ? " a unit" : " of them units") +
                '\n';
    }
    for (const usb::SurveyedUsbDevice& device : survey.devices) {
        bool unit = isUnit(device);
        bool blocked = device.openProblem != usb::OpenProblem::None;
        std::string line = "  " + where(device) + ": " + usb::describe(device.sign);
        if (unit && blocked) {
            text += line + "; " + problem(device) + '\n';
        } else if (unit && nothingFound) {
            text += line + ", at " + device.path + "; it opens, but gave no ID from 0 to 15\n";
        } else if (blocked && nothingFound) {
            text += line + "; " + problem(device) + '\n';
        }
    }
    if (nothingFound && survey.units == 0) {
        text += "  no device declares the unit's interface GUID in MS OS descriptors; list a "
                "unit's VID:PID in BRIVANT_USB_IDS to take it as one\n";
    }
    return text;
}

} // namespace brivant::tool
