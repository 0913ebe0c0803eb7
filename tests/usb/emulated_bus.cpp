#include "emulated_bus.h"
#include "ms_os_bytes.h"

// clang-format off
#include <umockdev.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

namespace brivant::test::usb {

namespace {

constexpr int kMaxPorts = 20;
constexpr auto kHangBound = std::chrono::seconds(60);

// The device descriptor and its one configuration, as sysfs' descriptors
// file holds them: one vendor-class interface with two bulk endpoints.
Bytes descriptorsFile(const DeviceSetup& setup) {
    Bytes b = {18, 1};
    put16(b, setup.sign == Sign::MsOs20 ? 0x0201 : 0x0200); // BOS only from USB 2.01 on
    append(b, {0, 0, 0, 64});
    put16(b, setup.vendor);
    put16(b, setup.product);
    put16(b, 0x0100);
    append(b, {0, 0, 0, 1});
    append(b, {9, 2, 32, 0, 1, 1, 0, 0x80, 50});
    append(b, {9, 4, 0, 0, 2, 0xFF, 0, 0, 0});
    std::uint8_t out = setup.unitEndpoints ? 0x01 : 0x03;
    std::uint8_t in = setup.unitEndpoints ? 0x82 : 0x84;
    append(b, {7, 5, out, 2, 64, 0, 0});
    append(b, {7, 5, in, 2, 64, 0, 0});
    return b;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char two[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(two, sizeof two, "%02x", byte);
        text += two;
    }
    return text;
}

std::string describe(const ControlRequest& r) {
    char text[96];
    std::snprintf(text, sizeof text, "control %02x %02x value %04x index %04x length %u",
                  r.requestType, r.request, r.value, r.index, r.length);
    return text;
}

} // namespace

DeviceSetup unitWithId(int id, Sign sign) {
    DeviceSetup setup;
    setup.sign = sign;
    setup.answers.idReply = id;
    setup.answers.countReply = {0, 0, 0, static_cast<std::uint8_t>(id), 0, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0};
    return setup;
}

struct EmulatedBus::State {
    // One plugging-in of a device: its address, node and handler, and the
    // transfers in flight on it. Kept after an unplug, since a handle opened
    // before it still talks to it.
    struct Attachment {
        State* bus = nullptr;
        int device = 0;
        std::string node;     // /dev/bus/usb/001/NNN
        std::string sysfs;    // /sys/devices/usb1/1-P
        UMockdevIoctlBase* handler = nullptr;
        bool unplugged = false;
        // As usbfs keeps them, per open file (per client): URBs to be
        // reaped, each holding a reference, and reads waiting for a reply.
        std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> completed;
        struct WaitingRead {
            UMockdevIoctlClient* client;
            UMockdevIoctlData* urb;
        };
        std::deque<WaitingRead> waitingReads;
        UMockdevIoctlClient* claimedBy = nullptr; // the file holding interface 0
    };

    UMockdevTestbed* testbed = nullptr;
    mutable std::mutex lock;
    std::condition_variable readWaiting;
    struct Device {
        DeviceSetup setup;
        int port = 0;
        sim::UnitModel model;
        bool claimedElsewhere = false;
        int controlsFailed = 0;
        bool held = false;
        bool replyPending = false;
        sim::Reply reply;
        Traffic traffic;
        Attachment* current = nullptr; // null while unplugged
    };
    std::vector<Device> devices;
    std::vector<std::unique_ptr<Attachment>> attachments;
    int nextAddress = 2;

    void attach(int device);
    void deliverReplies(Device& device, Attachment& at);
    gboolean handle(Attachment& at, UMockdevIoctlClient* client);
    void forget(Attachment& at, UMockdevIoctlClient* client);
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* at = static_cast<Attachment*>(data);
        return at->bus->handle(*at, client);
    }
    static void onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        auto* at = static_cast<Attachment*>(data);
        at->bus->forget(*at, client);
    }
    void answerControl(Device& device, usbdevfs_urb* urb, const std::uint8_t* buffer);
};

namespace {

void fail(const char* what, GError* error) {
    std::string message = std::string(what) + ": " + (error != nullptr ? error->message : "?");
    if (error != nullptr) {
        g_error_free(error);
    }
    throw std::runtime_error(message);
}

} // namespace

void EmulatedBus::State::attach(int number) {
    Device& device = devices[static_cast<std::size_t>(number)];
    int address = nextAddress;
    nextAddress = nextAddress == 127 ? 2 : nextAddress + 1; // usbfs addresses run 1 to 127
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", address);
    auto at = std::make_unique<Attachment>();
    at->bus = this;
    at->device = number;
    at->node = node;
    at->sysfs = "/sys/devices/usb1/1-" + std::to_string(device.port);
    at->handler = umockdev_ioctl_base_new();
    g_signal_connect(at->handler, "handle-ioctl", G_CALLBACK(&State::onIoctl), at.get());
    g_signal_connect(at->handler, "client-vanished", G_CALLBACK(&State::onClientVanished),
                     at.get());
    GError* error = nullptr;
    // The handler must be in place before the node appears.
    if (!umockdev_testbed_attach_ioctl(testbed, node, at->handler, &error)) {
        fail("attaching the ioctl handler", error);
    }
    std::string record = "P: /devices/usb1/1-" + std::to_string(device.port) + "\n" +
                         "N: " + (node + 5) + "\n" +
                         "E: SUBSYSTEM=usb\n"
                         "E: DEVTYPE=usb_device\n"
                         "E: DEVNAME=" + node + "\n" +
                         "A: busnum=1\\n\n"
                         "A: devnum=" + std::to_string(address) + "\\n\n" +
                         "A: speed=480\\n\n"
                         "A: bConfigurationValue=1\\n\n"
                         "H: descriptors=" + hex(descriptorsFile(device.setup)) + "\n";
    {
        std::lock_guard<std::mutex> guard(lock);
        device.current = at.get();
        attachments.push_back(std::move(at));
    }
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        fail("adding the device", error);
    }
}

// A file closed: as usbfs does, its URBs go and its claim is released.
void EmulatedBus::State::forget(Attachment& at, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = at.completed.find(client);
    if (found != at.completed.end()) {
        for (UMockdevIoctlData* data : found->second) {
            g_object_unref(data);
        }
        at.completed.erase(found);
    }
    for (auto it = at.waitingReads.begin(); it != at.waitingReads.end();) {
        if (it->client == client) {
            g_object_unref(it->urb);
            it = at.waitingReads.erase(it);
        } else {
            ++it;
        }
    }
    if (at.claimedBy == client) {
        at.claimedBy = nullptr;
    }
}

void EmulatedBus::State::deliverReplies(Device& device, Attachment& at) {
    while (device.replyPending && !device.held && !at.waitingReads.empty()) {
        Attachment::WaitingRead read = at.waitingReads.front();
        at.waitingReads.pop_front();
        UMockdevIoctlData* data = read.urb;
        auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(urb->buffer_length),
                                                  device.reply.size);
        std::memcpy(urb->buffer, device.reply.bytes.data(), count);
        urb->actual_length = static_cast<int>(count);
        urb->status = 0;
        device.replyPending = false;
        at.completed[read.client].push_back(data);
    }
}

void EmulatedBus::State::answerControl(Device& device, usbdevfs_urb* urb,
                                       const std::uint8_t* buffer) {
    ControlRequest r{buffer[0], buffer[1], static_cast<std::uint16_t>(buffer[2] | buffer[3] << 8),
                     static_cast<std::uint16_t>(buffer[4] | buffer[5] << 8),
                     static_cast<std::uint16_t>(buffer[6] | buffer[7] << 8)};
    device.traffic.controls.push_back(r);
    const DeviceSetup& setup = device.setup;
    if (device.controlsFailed < setup.failedControls) {
        ++device.controlsFailed;
        urb->status = -EPROTO; // a transfer error on the bus, not a refusal
        urb->actual_length = 0;
        return;
    }
    Bytes answer;
    bool known = false;
    if (r.requestType == 0x80 && r.request == 6 && r.value == 0x0F00 && r.index == 0) {
        known = true; // BOS: only a device from USB 2.01 on has one
        if (setup.sign == Sign::MsOs20) {
            answer = bosWithMsOs20(msOs20Set(setup.guid).size());
        }
    } else if (r.requestType == 0x80 && r.request == 6 && r.value == 0x03EE && r.index == 0) {
        known = true; // the MS OS 1.0 string; a device without one stalls
        if (setup.sign == Sign::MsOs10) {
            answer = msOs10String();
        }
    } else if (setup.sign == Sign::MsOs20 && r.requestType == 0xC0 &&
               r.request == kMsOs20VendorCode && r.value == 0 && r.index == 7) {
        known = true;
        answer = msOs20Set(setup.guid);
    } else if (setup.sign == Sign::MsOs10 && r.requestType == 0xC1 &&
               r.request == kMsOs10VendorCode && r.value == 0x0000 && r.index == 5) {
        known = true;
        answer = msOs10Properties(setup.guid);
    }
    if (!known) {
        device.traffic.unexpected.push_back(describe(r));
    }
    if (answer.empty()) {
        urb->status = -EPIPE; // a stall
        urb->actual_length = 0;
        return;
    }
    std::size_t room = static_cast<std::size_t>(urb->buffer_length) - 8;
    std::size_t count = std::min({answer.size(), static_cast<std::size_t>(r.length), room});
    std::memcpy(static_cast<std::uint8_t*>(urb->buffer) + 8, answer.data(), count);
    urb->actual_length = static_cast<int>(count);
    urb->status = 0;
}

gboolean EmulatedBus::State::handle(Attachment& at, UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> guard(lock);
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    auto complete = [client](long result, int errnum) {
        umockdev_ioctl_client_complete(client, result, errnum);
        return TRUE;
    };
    // Once unplugged, reaping drains what the unplug failed and everything
    // else is refused.
    std::deque<UMockdevIoctlData*>& completed = at.completed[client];
    if (at.unplugged && !(request == USBDEVFS_REAPURBNDELAY && !completed.empty())) {
        return complete(-1, ENODEV);
    }
    Device& device = devices[static_cast<std::size_t>(at.device)];
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), &error);
        std::uint32_t none = 0;
        std::memcpy(caps->data, &none, sizeof none);
        g_object_unref(caps);
        return complete(0, 0);
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
        unsigned interfaceNumber = 0;
        std::memcpy(&interfaceNumber, number->data, sizeof interfaceNumber);
        g_object_unref(number);
        if (interfaceNumber != 0) {
            device.traffic.unexpected.push_back("claim or release of interface " +
                                                std::to_string(interfaceNumber));
            return complete(-1, EINVAL);
        }
        if (request == USBDEVFS_CLAIMINTERFACE) {
            if (device.claimedElsewhere || (at.claimedBy != nullptr && at.claimedBy != client)) {
                return complete(-1, EBUSY);
            }
            at.claimedBy = client;
            ++device.traffic.claims;
        } else if (at.claimedBy == client) {
            at.claimedBy = nullptr;
        }
        return complete(0, 0);
    }
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
            data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), &error);
        g_object_unref(buffer); // its parent keeps it
        const auto* bytes = static_cast<const std::uint8_t*>(urb->buffer);
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length >= 8) {
            answerControl(device, urb, bytes);
            completed.push_back(data);
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x01) {
            device.traffic.frames.emplace_back(bytes, bytes + urb->buffer_length);
            device.reply = device.model.answer(bytes, static_cast<std::size_t>(urb->buffer_length),
                                               sim::SimClock::now());
            device.replyPending = true;
            urb->actual_length = urb->buffer_length;
            urb->status = 0;
            completed.push_back(data);
            deliverReplies(device, at);
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == 0x82) {
            ++device.traffic.bulkReads;
            at.waitingReads.push_back({client, data});
            deliverReplies(device, at);
            readWaiting.notify_all();
        } else {
            device.traffic.unexpected.push_back("URB of type " + std::to_string(urb->type) +
                                                " on endpoint " + std::to_string(urb->endpoint));
            g_object_unref(data);
            return complete(-1, EINVAL);
        }
        return complete(0, 0);
    }
    case USBDEVFS_REAPURBNDELAY: {
        if (completed.empty()) {
            return complete(-1, EAGAIN);
        }
        UMockdevIoctlData* data = completed.front();
        completed.pop_front();
        // The argument points at the caller's URB pointer; it receives the
        // caller's URB, written back with its status and data.
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        umockdev_ioctl_data_set_ptr(slot, 0, data);
        complete(0, 0);
        // Only now: completing writes both back to the caller.
        g_object_unref(slot);
        g_object_unref(data);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        gulong wanted = 0;
        std::memcpy(&wanted, arg->data, sizeof wanted);
        for (auto it = at.waitingReads.begin(); it != at.waitingReads.end(); ++it) {
            if (it->client == client && it->urb->client_addr == wanted) {
                auto* urb = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
                urb->status = -ENOENT;
                urb->actual_length = 0;
                completed.push_back(it->urb);
                at.waitingReads.erase(it);
                return complete(0, 0);
            }
        }
        return complete(-1, EINVAL);
    }
    default:
        device.traffic.unexpected.push_back("ioctl " + std::to_string(request));
        return complete(-1, ENOTTY);
    }
}

EmulatedBus::EmulatedBus() : state_(std::make_unique<State>()) {
    state_->testbed = umockdev_testbed_new();
    state_->devices.reserve(kMaxPorts);
}

EmulatedBus::~EmulatedBus() {
    unplugAll();
    for (const auto& at : state_->attachments) { // unplugged by now
        umockdev_testbed_detach_ioctl(state_->testbed, at->node.c_str(), nullptr);
        for (auto& client : at->completed) {
            for (UMockdevIoctlData* data : client.second) {
                g_object_unref(data);
            }
        }
        for (const auto& read : at->waitingReads) {
            g_object_unref(read.urb);
        }
        g_object_unref(at->handler);
    }
    g_object_unref(state_->testbed);
}

int EmulatedBus::plug(const DeviceSetup& setup) {
    int number;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->devices.size() >= kMaxPorts) {
            throw std::runtime_error("every port of the emulated bus is taken");
        }
        number = static_cast<int>(state_->devices.size());
        State::Device device;
        device.setup = setup;
        device.port = number + 1;
        device.model.setAnswers(setup.answers);
        state_->devices.push_back(device);
    }
    state_->attach(number);
    return number;
}

void EmulatedBus::unplug(int number) {
    std::string sysfs;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        State::Device& device = state_->devices.at(static_cast<std::size_t>(number));
        State::Attachment* at = device.current;
        if (at == nullptr) {
            return;
        }
        // What the kernel does to transfers in flight on a device that goes.
        at->unplugged = true;
        for (const auto& read : at->waitingReads) {
            auto* urb = reinterpret_cast<usbdevfs_urb*>(read.urb->data);
            urb->status = -ENODEV;
            urb->actual_length = 0;
            at->completed[read.client].push_back(read.urb);
        }
        at->waitingReads.clear();
        device.replyPending = false;
        device.held = false; // a unit plugged back in starts afresh
        device.current = nullptr;
        sysfs = at->sysfs;
    }
    umockdev_testbed_uevent(state_->testbed, sysfs.c_str(), "remove");
    umockdev_testbed_remove_device(state_->testbed, sysfs.c_str());
}

void EmulatedBus::replug(int number) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (state_->devices.at(static_cast<std::size_t>(number)).current != nullptr) {
            return;
        }
    }
    state_->attach(number);
}

void EmulatedBus::unplugAll() {
    int count;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        count = static_cast<int>(state_->devices.size());
    }
    for (int number = 0; number < count; ++number) {
        unplug(number);
    }
}

void EmulatedBus::clear() {
    unplugAll();
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->devices.clear();
}

void EmulatedBus::setClaimedElsewhere(int number, bool claimed) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->devices.at(static_cast<std::size_t>(number)).claimedElsewhere = claimed;
}

void EmulatedBus::holdReplies(int number, bool held) {
    std::lock_guard<std::mutex> guard(state_->lock);
    State::Device& device = state_->devices.at(static_cast<std::size_t>(number));
    device.held = held;
    if (device.current != nullptr) {
        state_->deliverReplies(device, *device.current);
    }
}

bool EmulatedBus::waitForWaitingRead(int number) {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->readWaiting.wait_for(guard, kHangBound, [&] {
        const State::Device& device = state_->devices.at(static_cast<std::size_t>(number));
        return device.current != nullptr && !device.current->waitingReads.empty();
    });
}

Traffic EmulatedBus::traffic(int number) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->devices.at(static_cast<std::size_t>(number)).traffic;
}

std::string EmulatedBus::nodeFile(int number) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    const State::Device& device = state_->devices.at(static_cast<std::size_t>(number));
    gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
    std::string file = std::string(root) + (device.current != nullptr ? device.current->node : "");
    g_free(root);
    return file;
}

int EmulatedBus::address(int number) const {
    const std::string node = [&] {
        std::lock_guard<std::mutex> guard(state_->lock);
        const State::Device& device = state_->devices.at(static_cast<std::size_t>(number));
        return device.current != nullptr ? device.current->node : std::string();
    }();
    return node.empty() ? 0 : std::stoi(node.substr(node.rfind('/') + 1));
}

} // namespace brivant::test::usb
