#include "tools/devsim/LinkModel.h"

#include <algorithm>
#include <charconv>
#include <string>

namespace keldo {

namespace {

using std::chrono::microseconds;

// USB 2.0 signals at 480 Mbit/s, but bulk transfers reach about 35 MB/s in practice, in each
// direction in turn; a request and its reply cross usbmuxd and the USB stack on both ends.
constexpr LinkModel::Direction kUsb2{microseconds(250), 35e6};
// 802.11n with two streams signals at 300 Mbit/s; TCP over it carries about half that, and a
// round trip to a phone on a quiet network takes a few milliseconds.
constexpr LinkModel::Direction kWifi{microseconds(2000), 18e6};

std::optional<double> number(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= 0) || value > 1e15) return std::nullopt;
    return value;
}

std::chrono::nanoseconds carrying(const LinkModel::Direction& direction, std::size_t bytes) {
    if (direction.bytesPerSecond <= 0) return std::chrono::nanoseconds(0);
    return std::chrono::round<std::chrono::nanoseconds>(
        std::chrono::duration<double>(static_cast<double>(bytes) / direction.bytesPerSecond));
}

} // namespace

std::optional<LinkModel::Figures> LinkModel::named(std::string_view name) {
    if (name == "usb2") return Figures{kUsb2, kUsb2};
    if (name == "wifi") return Figures{kWifi, kWifi};
    const auto slash = name.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto latency = number(name.substr(0, slash));
    const auto rate = number(name.substr(slash + 1));
    // Below a byte a second, the time of a piece would not fit the clock.
    if (!latency || !rate || *latency > 60e6 || (*rate > 0 && *rate < 1)) return std::nullopt;
    const Direction both{std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double, std::micro>(*latency)), *rate};
    return Figures{both, both};
}

LinkModel::Time LinkModel::Lane::arrival(std::mutex& mutex, Time sent, std::size_t bytes) {
    std::lock_guard lock(mutex);
    // The first byte is across one latency after it was sent, unless the bytes before it (of any
    // connection) still fill the link; the rest follow at the link's rate.
    const Time start = std::max(sent + figures.latency, busyUntil);
    busyUntil = start + carrying(figures, bytes);
    return busyUntil;
}

LinkModel::Time LinkModel::Lane::room(std::mutex& mutex) const {
    std::lock_guard lock(mutex);
    // Bytes sent at this time start one latency later, when no more than kQueued are left ahead.
    return busyUntil - figures.latency - carrying(figures, kQueued);
}

} // namespace keldo
