#pragma once

#include "platform/imobiledevice/UsbmuxdWire.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

// usbmuxd's list of the devices attached now (its ListDevices request), on a connection of its
// own: the whole set at once, where a Listen connection tells of the devices one message at a
// time and never says that it has told of all.
class UsbmuxdDeviceList {
public:
    // The devices, each once, in usbmuxd's order; none, with `failure` saying why, when usbmuxd
    // can't be reached, does not answer within `timeout`, refuses the request (a daemon too old
    // to know it) or answers what is no list.
    static std::optional<std::vector<UsbmuxdWire::Device>> ask(std::chrono::milliseconds timeout, std::string& failure);
};

} // namespace keldo
