#include "platform/imobiledevice/UsbmuxdListener.h"

#include "platform/imobiledevice/UsbmuxdProbe.h"
#include "platform/plist/PlistXml.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace keldo {

namespace {

constexpr std::uint32_t kHeaderSize = 16;
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kPlistMessage = 8;
constexpr std::uint32_t kListenTag = 1;
constexpr int kConnectTimeoutMs = 5000;

void putLittle(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t little(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::string listenPacket() {
    const std::string xml = PlistXml::toXmlString(PlistValue(PlistValue::Dictionary{
        {"MessageType", "Listen"},
        {"ClientVersionString", "keldo"},
        {"ProgName", "keldo-agent"},
        {"kLibUSBMuxVersion", 3},
    }));
    std::string packet;
    putLittle(packet, static_cast<std::uint32_t>(kHeaderSize + xml.size()));
    putLittle(packet, kVersion);
    putLittle(packet, kPlistMessage);
    putLittle(packet, kListenTag);
    return packet + xml;
}

std::optional<std::uint64_t> deviceIdOf(const PlistValue& message) {
    const PlistValue* id = message.find("DeviceID");
    return id ? id->unsignedInteger() : std::nullopt;
}

// The udid as libusbmuxd gives it: a 24-character serial number (newer devices) gets the dash
// after its eighth character that their udids have.
std::string udidOf(const std::string& serial) {
    if (serial.size() == 24 && serial[8] != '-') return serial.substr(0, 8) + "-" + serial.substr(8);
    return serial;
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
    std::string reason;
    for (const auto& candidate : UsbmuxdProbe::candidatesOf(UsbmuxdProbe::address(), reason)) {
        const int fd = ::socket(candidate.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        connections_.fetch_add(1);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&candidate.address), candidate.length) == 0) return fd;
        if (errno == EINPROGRESS) {
            pollfd ready[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            int error = 0;
            socklen_t length = sizeof error;
            if (::poll(ready, 2, kConnectTimeoutMs) > 0 && !(ready[1].revents & POLLIN) && (ready[0].revents & POLLOUT) &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                return fd;
            }
        }
        ::close(fd);
    }
    return -1;
}

bool UsbmuxdListener::readFully(int fd, void* buffer, std::size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    for (std::size_t done = 0; done < size;) {
        pollfd ready[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready[1].revents & POLLIN) return false;
        const ssize_t got = ::recv(fd, bytes + done, size - done, 0);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

void UsbmuxdListener::follow(int fd) {
    const std::string packet = listenPacket();
    for (std::size_t sent = 0; sent < packet.size();) {
        pollfd ready[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(ready, 2, kConnectTimeoutMs) <= 0 || (ready[1].revents & POLLIN)) return;
        const ssize_t n = ::send(fd, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
    bool listening = false;
    std::vector<char> body;
    for (;;) {
        std::uint8_t header[kHeaderSize];
        if (!readFully(fd, header, sizeof header)) return;
        const std::uint32_t length = little(header);
        if (length < kHeaderSize || length - kHeaderSize > kMaxMessage) return;
        body.resize(length - kHeaderSize);
        if (!readFully(fd, body.data(), body.size())) return;
        if (little(header + 8) != kPlistMessage) continue;
        const PlistRef message = PlistXml::fromXml(body.data(), body.size());
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
        const auto id = deviceIdOf(*message);
        if (!id) continue;
        if (*type == "Attached") {
            const PlistValue* properties = message->find("Properties");
            const PlistValue* serial = properties ? properties->find("SerialNumber") : nullptr;
            const PlistValue* connection = properties ? properties->find("ConnectionType") : nullptr;
            if (!serial || !serial->text() || serial->text()->empty() || devices_.count(*id)) continue;
            const int kind = connection && connection->text() && *connection->text() == "Network" ? kNetwork : kUsb;
            auto& device = devices_[*id] = {udidOf(*serial->text()), kind};
            handler_(kAdd, device.first, device.second);
        } else if (*type == "Detached") {
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
