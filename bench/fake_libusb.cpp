// A libusb that answers at once, for measuring what the library and its
// libusb backend cost per call without any USB stack under them: one device,
// 1234:0001 (the benchmark lists it in BRIVANT_USB_IDS), with the unit's
// interface and bulk endpoints; a bulk write notes the command letter and
// the read answers it (K with ID 0, J with fixed counts, anything else with
// one byte). Only the functions the backend calls are here.
#include <libusb.h>

#include <cstring>

struct libusb_context {
    int unused;
};
struct libusb_device {
    int unused;
};
struct libusb_device_handle {
    unsigned char pendingLetter;
};

namespace {

libusb_context theContext;
libusb_device theDevice;
libusb_device_handle theHandle;
libusb_device* theList[] = {&theDevice, nullptr};

const libusb_endpoint_descriptor kEndpoints[2] = {
    {7, LIBUSB_DT_ENDPOINT, 0x01, LIBUSB_TRANSFER_TYPE_BULK, 64, 0, 0, 0, nullptr, 0},
    {7, LIBUSB_DT_ENDPOINT, 0x82, LIBUSB_TRANSFER_TYPE_BULK, 64, 0, 0, 0, nullptr, 0},
};
const libusb_interface_descriptor kSetting = {9, LIBUSB_DT_INTERFACE, 0, 0, 2, 0xFF, 0, 0, 0,
                                              kEndpoints, nullptr, 0};
const libusb_interface kInterface = {&kSetting, 1};
libusb_config_descriptor theConfig = {9, LIBUSB_DT_CONFIG, 32, 1, 1, 0, 0x80, 50,
                                      &kInterface, nullptr, 0};

const unsigned char kCountReply[15] = {0, 0, 0x30, 0x39, 0, 0x80, 0, 0, 0, 0, 0, 42, 1, 0, 1};

} // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context) {
    *context = &theContext;
    return LIBUSB_SUCCESS;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    *list = theList;
    return 1;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device**, int) {}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* descriptor) {
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->idVendor = 0x1234;
    descriptor->idProduct = 0x0001;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device*,
                                                    libusb_config_descriptor** config) {
    *config = &theConfig;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor*) {}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 1; }

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device*) { return 2; }

int LIBUSB_CALL libusb_get_port_numbers(libusb_device*, uint8_t* ports, int length) {
    if (length < 1) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    ports[0] = 1;
    return 1;
}

int LIBUSB_CALL libusb_open(libusb_device*, libusb_device_handle** handle) {
    *handle = &theHandle;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle*) {}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }

int LIBUSB_CALL libusb_release_interface(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle*, uint8_t, uint8_t, uint16_t,
                                        uint16_t, unsigned char*, uint16_t, unsigned int) {
    return LIBUSB_ERROR_PIPE; // never asked: the device is listed
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int) {
    if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) {
        handle->pendingLetter = length >= 2 ? data[1] : 0;
        *transferred = length;
        return LIBUSB_SUCCESS;
    }
    int count = 1;
    if (handle->pendingLetter == 'K') {
        data[0] = 0;
    } else if (handle->pendingLetter == 'J') {
        count = length < 15 ? length : 15;
        std::memcpy(data, kCountReply, static_cast<std::size_t>(count));
    } else {
        data[0] = 0x06;
    }
    *transferred = count;
    return LIBUSB_SUCCESS;
}

} // extern "C"
