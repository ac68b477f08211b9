#include "platform/imobiledevice/UsbmuxdListener.h"

#include "platform/imobiledevice/UsbmuxdWire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace keldo {

namespace {

constexpr std::uint32_t kListenTag = 1;
constexpr std::chrono::milliseconds kConnectTimeout{5000};

std::optional<std::uint64_t> deviceIdOf(const PlistValue& message) {
    const PlistValue* id = message.find("DeviceID");
    return id ? id->unsignedInteger() : std::nullopt;
}

} // namespace

UsbmuxdListener::UsbmuxdListener(Handler handler, std::chrono::milliseconds retry)
    : handler_(std::move(handler)), retry_(retry) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { run(); });
}

UsbmuxdListener::~UsbmuxdListener() {
    if (wake_[1] >= 0) {
        const char stop = 1;
        (void)!::write(wake_[1], &stop, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : wake_) {
        if (fd >= 0) ::close(fd);
    }
}

unsigned UsbmuxdListener::connections() const { return connections_.load(); }

void UsbmuxdListener::run() {
    // Without a way to be stopped, it would hold its owner's destruction up for ever.
    if (wake_[0] < 0) return;
    do {
        const int fd = connectDaemon();
        if (fd >= 0) {
            follow(fd);
            ::close(fd);
            removeAll();
        }
    } while (!stopWithin(retry_));
}

bool UsbmuxdListener::stopWithin(std::chrono::milliseconds timeout) {
    pollfd wake{wake_[0], POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&wake, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

int UsbmuxdListener::connectDaemon() {
    connections_.fetch_add(1);
    return UsbmuxdWire::connect(kConnectTimeout, wake_[0]);
}

void UsbmuxdListener::follow(int fd) {
    const std::string packet = UsbmuxdWire::packet({
        {"MessageType", "Listen"},
        {"ClientVersionString", "keldo"},
        {"ProgName", "keldo-agent"},
        {"kLibUSBMuxVersion", 3},
    }, kListenTag);
    if (!UsbmuxdWire::sendAll(fd, packet, kConnectTimeout, wake_[0])) return;
    bool listening = false;
    for (;;) {
        const auto read = UsbmuxdWire::readMessage(fd, std::chrono::steady_clock::time_point::max(), wake_[0]);
        if (!read) return;
        const PlistRef& message = *read;
        const PlistValue* typeValue = message ? message->find("MessageType") : nullptr;
        if (!typeValue || !typeValue->text()) continue;
        const std::string* type = typeValue->text();
        if (*type == "Result") {
            const PlistValue* number = message->find("Number");
            const auto result = number ? number->signedInteger() : std::nullopt;
            if (!listening && (!result || *result != 0)) return;  // refused: try again later
            listening = true;
            continue;
        }
        if (!listening) continue;
        if (*type == "Attached") {
            const auto attached = UsbmuxdWire::deviceOf(*message);
            if (!attached || devices_.count(attached->id)) continue;
            auto& device = devices_[attached->id] = {attached->udid, attached->connectionType};
            handler_(kAdd, device.first, device.second);
            continue;
        }
        const auto id = deviceIdOf(*message);
        if (!id) continue;
        if (*type == "Detached") {
            auto it = devices_.find(*id);
            if (it == devices_.end()) continue;
            const auto device = std::move(it->second);
            devices_.erase(it);
            handler_(kRemove, device.first, device.second);
        } else if (*type == "Paired") {
            // As libusbmuxd does: only for a device it has told of.
            auto it = devices_.find(*id);
            if (it != devices_.end()) handler_(kPaired, it->second.first, it->second.second);
        }
    }
}

void UsbmuxdListener::removeAll() {
    auto devices = std::move(devices_);
    devices_.clear();
    for (auto& [id, device] : devices) handler_(kRemove, device.first, device.second);
}

} // namespace keldo
