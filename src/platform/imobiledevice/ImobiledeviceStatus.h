#pragma once

#include <cstdint>

namespace keldo {

// The statuses of libimobiledevice, its lockdownd and service clients, AFC and libusbmuxd, in one
// 32-bit space, so that a status alone says where it came from:
// - 0 is success, whatever the source.
// - The device's own AFC codes (1 to 29) stay as they are: callers know some of them (4 answers
//   the opening of a path that is no directory as a directory).
// - Everything else is 0xE8000000 | source << 12 | magnitude of the library's code (at most 0xFFF),
//   a negative number that no other source and no AFC code can give.
class ImobiledeviceStatus {
public:
    enum class Source : std::uint32_t { Device = 1, Lockdown = 2, Service = 3, AfcClient = 4, Usbmuxd = 5, Backend = 6 };

    static std::int32_t fromIdevice(int code) { return make(Source::Device, code); }
    static std::int32_t fromLockdown(int code) { return make(Source::Lockdown, code); }
    static std::int32_t fromService(int code) { return make(Source::Service, code); }
    static std::int32_t fromUsbmuxd(int code) { return make(Source::Usbmuxd, code); }
    static std::int32_t fromAfc(int code);
    static std::int32_t make(Source source, int code);

    // The backend's own refusals.
    static constexpr int kNoSuchDevice = 1;
    static constexpr int kNotConnected = 2;
    static constexpr int kNoSession = 3;
    static constexpr int kInvalidArgument = 4;
    static constexpr int kNotPaired = 5;
    static constexpr int kNoSuchObject = 6;
    static constexpr int kNotProcessed = 7;
    static constexpr int kTimedOut = 8;  // the device did not answer in time; its connection was cut
    static constexpr int kNotEncrypted = 9;  // the device would run its session in plain text
    static constexpr int kNoAnswer = 10;  // usbmuxd can't be reached, or did not answer in time
    static std::int32_t backend(int code) { return make(Source::Backend, code); }

    static constexpr int kLastDeviceAfcCode = 29;
};

} // namespace keldo
