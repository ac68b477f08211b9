#include "platform/imobiledevice/UsbmuxdDeviceList.h"

#include <unistd.h>

#include <algorithm>

namespace keldo {

namespace {

constexpr std::uint32_t kListTag = 1;

} // namespace

std::optional<std::vector<UsbmuxdWire::Device>> UsbmuxdDeviceList::ask(std::chrono::milliseconds timeout,
                                                                       std::string& failure) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int fd = UsbmuxdWire::connect(timeout);
    if (fd < 0) {
        failure = "usbmuxd can't be reached";
        return std::nullopt;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const std::string request = UsbmuxdWire::packet({
        {"MessageType", "ListDevices"},
        {"ClientVersionString", "keldo"},
        {"ProgName", "keldo-device"},
        {"kLibUSBMuxVersion", 3},
    }, kListTag);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!UsbmuxdWire::sendAll(fd, request, std::max(left, std::chrono::milliseconds(1)))) {
        failure = "usbmuxd took no request";
        return std::nullopt;
    }
    for (;;) {
        std::uint32_t tag = 0;
        const auto reply = UsbmuxdWire::readMessage(fd, deadline, -1, &tag);
        if (!reply) {
            failure = "usbmuxd gave no device list in time";
            return std::nullopt;
        }
        if (tag != kListTag || !*reply) continue;
        const PlistValue* list = (*reply)->find("DeviceList");
        if (!list || !list->array()) {
            failure = (*reply)->find("MessageType") ? "usbmuxd refused to list its devices"
                                                    : "usbmuxd answered the device list with no list";
            return std::nullopt;
        }
        std::vector<UsbmuxdWire::Device> devices;
        for (const auto& entry : *list->array()) {
            auto device = UsbmuxdWire::deviceOf(entry);
            if (!device) continue;
            const bool told = std::any_of(devices.begin(), devices.end(), [&](const auto& d) { return d.id == device->id; });
            if (!told) devices.push_back(std::move(*device));
        }
        return devices;
    }
}

} // namespace keldo
