#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

namespace keldo {

// The time a link between host and device takes to carry bytes, one model per connection: each
// direction has its latency (until the first byte is across) and its bandwidth (bytes in a second
// once they flow), and carries its bytes in the order handed to it, one after the other. The model
// only answers when bytes arrive; who holds them until then (LinkPump) keeps the rest: in
// particular a reply can't start before its request has arrived, since the device sees a request
// only at its arrival.
class LinkModel {
public:
    using Time = std::chrono::steady_clock::time_point;
    struct Direction {
        std::chrono::nanoseconds latency{0};
        double bytesPerSecond = 0;  // 0: no limit
    };
    struct Figures {
        Direction toDevice;
        Direction toHost;
    };

    // "usb2" or "wifi" (docs/link-model.md tells where their figures come from), or
    // "<microseconds>/<bytes per second>" for both directions alike; none for anything else.
    static std::optional<Figures> named(std::string_view name);

    explicit LinkModel(Figures figures) : figures_(figures) {}

    // When the last of `bytes` handed to the link at `sent` has reached the device, or the host.
    Time toDevice(Time sent, std::size_t bytes) { return arrival(figures_.toDevice, deviceBusyUntil_, sent, bytes); }
    Time toHost(Time sent, std::size_t bytes) { return arrival(figures_.toHost, hostBusyUntil_, sent, bytes); }

    const Figures& figures() const { return figures_; }

private:
    static Time arrival(const Direction& direction, Time& busyUntil, Time sent, std::size_t bytes);

    Figures figures_;
    Time deviceBusyUntil_{};  // when the last byte handed over so far reaches the device
    Time hostBusyUntil_{};
};

} // namespace keldo
