#pragma once

#include "platform/plist/PlistValue.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace keldo {

// What the backend's own usbmuxd clients share: reaching the daemon at the address libusbmuxd
// would use, the framing of its messages (a 16-byte little-endian header and an XML property
// list), and the device that an Attached message or an entry of the device list tells of, named
// as libimobiledevice names it. No wait is without bound, and each one also ends when a `stop`
// descriptor (-1 for none) becomes readable.
class UsbmuxdWire {
public:
    // A non-blocking connection to the daemon, or -1 when none is made within `timeout` (or on
    // the stop).
    static int connect(std::chrono::milliseconds timeout, int stop = -1);
    // Sends all of `bytes`; false on a failure, the time-out or the stop.
    [[nodiscard]] static bool sendAll(int fd, const std::string& bytes, std::chrono::milliseconds timeout, int stop = -1);
    // True once `size` bytes have come; false at the end of the stream, on a failure, once
    // `deadline` has passed (never, when it is max()) or on the stop.
    [[nodiscard]] static bool readFully(int fd, void* buffer, std::size_t size,
                                        std::chrono::steady_clock::time_point deadline, int stop = -1);
    // One message: its body, when its header says a property list of at most kMaxMessage bytes
    // follows and it came whole. `tag` receives the header's tag.
    static std::optional<PlistRef> readMessage(int fd, std::chrono::steady_clock::time_point deadline, int stop,
                                               std::uint32_t* tag = nullptr);

    // A request: header and XML body.
    static std::string packet(const PlistValue::Dictionary& message, std::uint32_t tag);

    enum ConnectionType { kUsb = 1, kNetwork = 2 };
    struct Device {
        std::uint64_t id = 0;  // usbmuxd's DeviceID
        std::string udid;
        int connectionType = kUsb;
    };
    // The device an Attached message (or an entry of the device list) tells of; none without its
    // DeviceID or a serial number.
    static std::optional<Device> deviceOf(const PlistValue& message);

    // Largest message taken from usbmuxd; a longer one ends the connection.
    static constexpr std::uint32_t kMaxMessage = 4 * 1024 * 1024;
};

} // namespace keldo
