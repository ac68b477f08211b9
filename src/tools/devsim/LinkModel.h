#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string_view>

namespace keldo {

// The time a link between host and device takes to carry bytes, one model per device: all
// connections to a device share it, as one cable or radio carries them all. Each direction has
// its latency (until the first byte of a message is across, paid by every message) and its
// bandwidth (bytes in a second once they flow, for all connections together), and carries the
// bytes in the order handed to it, whichever connection they come from, one after the other. The
// model only answers when bytes arrive; who holds them until then (LinkPump) keeps the rest: in
// particular a reply can't start before its request has arrived, since the device sees a request
// only at its arrival. Safe to use from any thread.
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

    explicit LinkModel(Figures figures) : toDevice_{figures.toDevice}, toHost_{figures.toHost} {}
    LinkModel(const LinkModel&) = delete;
    LinkModel& operator=(const LinkModel&) = delete;

    // When the last of `bytes` handed to the link at `sent` has reached the device, or the host.
    Time toDevice(Time sent, std::size_t bytes) { return toDevice_.arrival(mutex_, sent, bytes); }
    Time toHost(Time sent, std::size_t bytes) { return toHost_.arrival(mutex_, sent, bytes); }
    // From when bytes handed to the link towards the device, or the host, wait behind no more
    // than kQueued bytes (besides their latency). A sender hands over no earlier, so that the
    // connections of a device take turns on the link instead of one of them taking it for
    // seconds ahead; the link has work enough to carry at its whole rate all the same.
    Time roomToDevice() const { return toDevice_.room(mutex_); }
    Time roomToHost() const { return toHost_.room(mutex_); }

    // What may wait to be carried in each direction, as a host's and a device's buffers hold it.
    static constexpr std::size_t kQueued = 256 * 1024;

private:
    struct Lane {
        Time arrival(std::mutex& mutex, Time sent, std::size_t bytes);
        Time room(std::mutex& mutex) const;

        Direction figures;
        Time busyUntil{};  // when the last byte handed over so far reaches the other side
    };

    mutable std::mutex mutex_;
    Lane toDevice_;
    Lane toHost_;
};

} // namespace keldo
