#include "platform/imobiledevice/UsbmuxdWire.h"

#include "platform/imobiledevice/UsbmuxdProbe.h"
#include "platform/plist/PlistXml.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace keldo {

namespace {

constexpr std::uint32_t kHeaderSize = 16;
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kPlistMessage = 8;

using Clock = std::chrono::steady_clock;

void putLittle(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t little(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Waits until `fd` is ready for `events`; false on the deadline, the stop or a failure.
bool ready(int fd, short events, Clock::time_point deadline, int stop) {
    for (;;) {
        int wait = -1;
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            wait = static_cast<int>(std::min<long long>(left, 60000));
        }
        pollfd fds[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
        const int n = ::poll(fds, stop >= 0 ? 2 : 1, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (stop >= 0 && (fds[1].revents & POLLIN)) return false;
        if (fds[0].revents) return true;
    }
}

// The udid as libusbmuxd gives it: a 24-character serial number (newer devices) gets the dash
// after its eighth character that their udids have.
std::string udidOf(const std::string& serial) {
    if (serial.size() == 24 && serial[8] != '-') return serial.substr(0, 8) + "-" + serial.substr(8);
    return serial;
}

} // namespace

int UsbmuxdWire::connect(std::chrono::milliseconds timeout, int stop) {
    const auto deadline = Clock::now() + timeout;
    std::string reason;
    for (const auto& candidate : UsbmuxdProbe::candidatesOf(UsbmuxdProbe::address(), reason)) {
        const int fd = ::socket(candidate.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&candidate.address), candidate.length) == 0) return fd;
        int error = 0;
        socklen_t length = sizeof error;
        if (errno == EINPROGRESS && ready(fd, POLLOUT, deadline, stop) &&
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
            return fd;
        }
        ::close(fd);
    }
    return -1;
}

bool UsbmuxdWire::sendAll(int fd, const std::string& bytes, std::chrono::milliseconds timeout, int stop) {
    const auto deadline = Clock::now() + timeout;
    for (std::size_t sent = 0; sent < bytes.size();) {
        if (!ready(fd, POLLOUT, deadline, stop)) return false;
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool UsbmuxdWire::readFully(int fd, void* buffer, std::size_t size, Clock::time_point deadline, int stop) {
    auto* bytes = static_cast<char*>(buffer);
    for (std::size_t done = 0; done < size;) {
        if (!ready(fd, POLLIN, deadline, stop)) return false;
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

std::optional<PlistRef> UsbmuxdWire::readMessage(int fd, Clock::time_point deadline, int stop, std::uint32_t* tag) {
    std::uint8_t header[kHeaderSize];
    if (!readFully(fd, header, sizeof header, deadline, stop)) return std::nullopt;
    const std::uint32_t length = little(header);
    if (length < kHeaderSize || length - kHeaderSize > kMaxMessage) return std::nullopt;
    std::vector<char> body(length - kHeaderSize);
    if (!readFully(fd, body.data(), body.size(), deadline, stop)) return std::nullopt;
    if (tag) *tag = little(header + 12);
    if (little(header + 8) != kPlistMessage) return PlistRef();
    return PlistXml::fromXml(body.data(), body.size());
}

std::string UsbmuxdWire::packet(const PlistValue::Dictionary& message, std::uint32_t tag) {
    const std::string xml = PlistXml::toXmlString(PlistValue(message));
    std::string packet;
    putLittle(packet, static_cast<std::uint32_t>(kHeaderSize + xml.size()));
    putLittle(packet, kVersion);
    putLittle(packet, kPlistMessage);
    putLittle(packet, tag);
    return packet + xml;
}

std::optional<UsbmuxdWire::Device> UsbmuxdWire::deviceOf(const PlistValue& message) {
    const PlistValue* idValue = message.find("DeviceID");
    const auto id = idValue ? idValue->unsignedInteger() : std::nullopt;
    const PlistValue* properties = message.find("Properties");
    const PlistValue* serial = properties ? properties->find("SerialNumber") : nullptr;
    const PlistValue* connection = properties ? properties->find("ConnectionType") : nullptr;
    if (!id || !serial || !serial->text() || serial->text()->empty()) return std::nullopt;
    const int kind = connection && connection->text() && *connection->text() == "Network" ? kNetwork : kUsb;
    return Device{*id, udidOf(*serial->text()), kind};
}

} // namespace keldo
