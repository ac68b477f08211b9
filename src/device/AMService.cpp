#include "device/AMService.h"

#include "device/AMDevice.h"
#include "platform/plist/PlistXml.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

namespace keldo {

std::shared_ptr<AMService> AMService::initWithNameOnDevice(const std::string& name,
                                                           const std::shared_ptr<AMDevice>& device) {
    std::shared_ptr<AMService> service(new AMService());
    if (!service->initWithNameOnDeviceSteps(name, device)) return nullptr;
    return service;
}

std::shared_ptr<AMService> AMService::serviceWithNameOnDevice(const std::string& name,
                                                              const std::shared_ptr<AMDevice>& device) {
    return initWithNameOnDevice(name, device);
}

// The object is the service's only owner (the device handle keeps no service handles), so
// nothing can use the connection after it; left open, it would last until the device goes.
AMService::~AMService() { closeService(); }

void AMService::close() { closeService(); }

void AMService::closeService() {
    if (_service == 0) return;
    // A failure says that the platform has closed it already (its device went): nothing to undo.
    (void)AMDServiceConnectionInvalidate(_service);
    forgetService();
}

void AMService::forgetService() {
    _service = 0;
    _context = nullptr;
}

AMService::Channel::~Channel() {
    if (socket >= 0) ::close(socket);
}

std::optional<AMService::Channel> AMService::openChannel() {
    if (_service != 0) {
        const int socket = AMDServiceConnectionGetSocket(_service);
        if (socket >= 0) {
            const int own = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
            if (own < 0) {
                setLastError(fmt::format("Can't use the service's descriptor: {}", std::strerror(errno)));
                return std::nullopt;
            }
            // Still the service's number: the duplicate is of its connection, not of one that
            // took the number after a close on another thread.
            if (AMDServiceConnectionGetSocket(_service) == socket) return Channel(own, 0);
            ::close(own);
            setLastError(notOpenText());
            return std::nullopt;
        }
        // No descriptor for a connection in TLS: the platform's own connection carries it.
        if (AMDServiceConnectionGetSecureIOContext(_service)) return Channel(-1, _service);
    }
    setLastError(notOpenText());
    return std::nullopt;
}

ssize_t AMService::Channel::send(const void* data, std::size_t size) const {
    if (secure != 0) return AMDServiceConnectionSend(secure, data, size);
    // MSG_NOSIGNAL: a peer that has gone must fail the send, not end the process with SIGPIPE.
    ssize_t sent;
    do {
        sent = ::send(socket, data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

ssize_t AMService::Channel::receive(void* buffer, std::size_t size) const {
    if (secure != 0) return AMDServiceConnectionReceive(secure, buffer, size);
    ssize_t got;
    do {
        got = ::recv(socket, buffer, size, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Sends all of `size` bytes: a stream may take part of them, and neither that nor a signal may
// leave half a message on the wire.
bool AMService::Channel::sendAll(const void* data, std::size_t size) const {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = send(bytes, size);
        if (sent <= 0) return false;
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool AMService::initWithNameOnDeviceSteps(const std::string& name, const std::shared_ptr<AMDevice>& device) {
    if (!device) return false;
    _service = device->_startService(name);
    if (_service == 0) return false;
    if (device->interfaceType() == 2) {
        _context = AMDServiceConnectionGetSecureIOContext(_service);
        device->powerAssertion();
    }
    return true;
}

bool AMService::sendXMLRequest(const PlistValue& request) {
    const auto channel = openChannel();
    if (!channel) return false;
    auto xml = PlistXml::toXml(request);
    if (!xml) {
        setLastError("Can't convert request to XML");
        return false;
    }
    // A longer body would go out with a prefix that lies about it.
    if (xml->size() > std::numeric_limits<std::uint32_t>::max()) {
        setLastError("Can't send message size");
        return false;
    }
    auto n = static_cast<std::uint32_t>(xml->size());
    const unsigned char prefix[4] = {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                                     static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    if (!channel->sendAll(prefix, sizeof prefix)) {
        setLastError("Can't send message size");
        return false;
    }
    if (!channel->sendAll(xml->data(), xml->size())) {
        setLastError("Can't send message text");
        return false;
    }
    clearLastError();
    return true;
}

PlistRef AMService::readXMLReply() {
    const auto channel = openChannel();
    if (!channel) return nullptr;
    unsigned char prefix[4];
    if (!receivePrefix(*channel, prefix)) {
        setLastError("Can't receive reply size");
        return nullptr;
    }
    std::uint32_t n = (std::uint32_t{prefix[0]} << 24) | (std::uint32_t{prefix[1]} << 16) |
                      (std::uint32_t{prefix[2]} << 8) | std::uint32_t{prefix[3]};
    if (n == 0) return nullptr;
    if (n > kMaxReplyLength) {
        skip(*channel, n);
        setLastError(fmt::format("Reply of {} bytes is over the limit of {} bytes", n, kMaxReplyLength));
        return nullptr;
    }
    std::unique_ptr<char[]> body(new (std::nothrow) char[n]);
    if (!body) {
        skip(*channel, n);
        setLastError(fmt::format("Can't allocate {} bytes for the reply", n));
        return nullptr;
    }
    std::uint32_t remaining = n;
    while (remaining > 0) {
        const ssize_t got = channel->receive(body.get() + (n - remaining), remaining);
        if (got == 0) {
            setLastError(fmt::format("Reply was truncated, expected {} more bytes", static_cast<int>(remaining)));
            return nullptr;
        }
        if (got < 0) {
            setLastError(fmt::format("Can't receive reply text, expected {} more bytes", static_cast<int>(remaining)));
            return nullptr;
        }
        remaining -= static_cast<std::uint32_t>(got);
    }
    PlistRef reply = PlistXml::fromXml(body.get(), n);
    body.reset();
    if (!reply) {
        setLastError("Reply is not a property list");
        return nullptr;
    }
    clearLastError();
    return reply;
}

bool AMService::receivePrefix(const Channel& channel, unsigned char (&prefix)[4]) {
    // A stream may deliver the four bytes in several segments; only its end or an error before
    // all four have come is a failure.
    std::size_t have = 0;
    while (have < sizeof prefix) {
        const ssize_t got = channel.receive(prefix + have, sizeof prefix - have);
        if (got <= 0) return false;
        have += static_cast<std::size_t>(got);
    }
    return true;
}

void AMService::skip(const Channel& channel, std::uint32_t length) {
    char sink[64 * 1024];
    while (length > 0) {
        const ssize_t got = channel.receive(sink, length < sizeof sink ? length : sizeof sink);
        if (got <= 0) return;
        length -= static_cast<std::uint32_t>(got);
    }
}

PlistRef AMService::sendRequestAndWaitForSingleReply(const PlistValue& request) {
    if (!sendXMLRequest(request)) return nullptr;
    return readXMLReply();
}

} // namespace keldo
