#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include "platform/imobiledevice/ImobiledeviceBackendRecords.h"
#include "platform/imobiledevice/ImobiledeviceStatus.h"
#include "platform/imobiledevice/SigpipeHeld.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>

namespace keldo {

using namespace imobiledevice;
using Status = ImobiledeviceStatus;

// Services --------------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::start(am_device device, const char* name, service_handle* handle) {
    if (!name || !handle) return Status::backend(Status::kInvalidArgument);
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    Timeouts timeouts;
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return Status::backend(Status::kNoSuchDevice);
        timeouts = timeouts_;
    }
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    lockdownd_service_descriptor_t descriptor = nullptr;
    const std::int32_t started = requestService(*d, name, &descriptor);
    std::unique_ptr<lockdownd_service_descriptor, DescriptorFree> ownedDescriptor(descriptor);
    if (started != 0) return started;
    // The library's own client would run the TLS handshake without a time-out and carry on in
    // plain text when it fails. So: connect in plain text, then turn TLS on here, bounded, and
    // fail when it fails.
    const bool tls = descriptor->ssl_enabled != 0;
    descriptor->ssl_enabled = 0;
    service_client_t client = nullptr;
    const service_error_t made = service_client_new(d->idevice.get(), descriptor, &client);
    std::unique_ptr<service_client_private, ServiceFree> ownedClient(client);
    if (made != SERVICE_E_SUCCESS) return Status::fromService(made);
    const int fd = socketOf(client);
    if (fd < 0) return Status::fromIdevice(IDEVICE_E_UNKNOWN_ERROR);
    // The library leaves the socket non-blocking; whoever talks to it through the handle expects
    // a read to wait for its bytes, and a bounded wait: a device that stops answering or reading
    // makes a send or receive fail after the time-out. The library's own reads poll first. Made
    // blocking before the handshake too, which then waits for each answer rather than sleeping
    // 100 ms at a time (see BlockingSocket).
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (tls) {
        SigpipeHeld held;
        auto deadline = deadlines_.arm(fd, timeouts.serviceStart);
        const service_error_t secured = service_enable_ssl(client);
        if (deadline.expired()) return Status::backend(Status::kTimedOut);
        if (secured != SERVICE_E_SUCCESS) return Status::fromService(secured);
    }
    const timeval bound = toTimeval(timeouts.serviceSocket);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    auto service = std::make_shared<Service>();
    service->idevice = d->idevice;
    service->client = std::move(ownedClient);
    service->device = d->id;
    service->network = d->network();
    service->tls = tls;
    service->socket = fd;
    std::lock_guard lock(mutex_);
    // The counter skips 0 when it wraps; the socket in the low half tells live handles apart. A
    // TLS service's handle carries no socket, so that no one writes plain text into it.
    if (++nextService_ == 0) ++nextService_;
    const std::uint32_t low = tls ? kNoSocket : static_cast<std::uint32_t>(fd);
    const service_handle value = (static_cast<service_handle>(nextService_) << 32) | low;
    services_[value] = std::move(service);
    *handle = value;
    return 0;
}

std::int32_t ImobiledeviceBackend::startService(am_device device, const char* name, service_handle* handle,
                                                std::uint32_t*) {
    return start(device, name, handle);
}

std::int32_t ImobiledeviceBackend::secureStartService(am_device device, const char* name, service_handle* handle) {
    return start(device, name, handle);
}

std::shared_ptr<ImobiledeviceBackend::Service> ImobiledeviceBackend::liveService(service_handle handle,
                                                                              std::chrono::milliseconds* ioTimeout) const {
    std::lock_guard lock(mutex_);
    if (ioTimeout) *ioTimeout = timeouts_.serviceSocket;
    std::shared_ptr<Service> service;
    if (auto it = services_.find(handle); it != services_.end()) service = it->second;
    for (auto c = afcConnections_.begin(); !service && c != afcConnections_.end(); ++c) {
        if (c->second->serviceHandle == handle) service = c->second->service;
    }
    // An AFC connection keeps its service until it is closed, and is refused like its operations
    // once its device has gone.
    auto device = service ? devices_.find(service->device) : nullptr;
    return device && device->present ? service : nullptr;
}

std::int32_t ImobiledeviceBackend::serviceConnectionGetSocket(service_handle handle) {
    auto service = liveService(handle);
    return service && !service->tls ? service->socket : -1;
}

void* ImobiledeviceBackend::secureIOContext(service_handle handle) {
    // Opaque to its callers, who only tell it from null: the handle itself, which no other live
    // service has.
    auto service = liveService(handle);
    return service && service->tls ? reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle)) : nullptr;
}

ssize_t ImobiledeviceBackend::serviceConnectionSend(service_handle handle, const void* data, std::size_t size) {
    if (!data && size > 0) return -1;
    std::chrono::milliseconds timeout{};
    auto service = liveService(handle, &timeout);
    if (!service) return -1;
    std::lock_guard io(service->io);
    if (service->cut) return -1;
    // OpenSSL writes without MSG_NOSIGNAL; and the library polls a peer that reads nothing for
    // ever, so the socket is cut once the time-out has passed.
    SigpipeHeld held;
    auto deadline = deadlines_.arm(service->socket, timeout);
    const auto* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(size - done, kServicePiece));
        std::uint32_t sent = 0;
        deadline.renew();
        if (service_send(service->client.get(), bytes + done, piece, &sent) != SERVICE_E_SUCCESS || sent == 0) {
            if (deadline.expired()) service->cut = true;
            return -1;
        }
        done += std::min(sent, piece);
    }
    return static_cast<ssize_t>(size);
}

ssize_t ImobiledeviceBackend::serviceConnectionReceive(service_handle handle, void* buffer, std::size_t size) {
    if (!buffer || size == 0) return -1;
    std::chrono::milliseconds timeout{};
    auto service = liveService(handle, &timeout);
    if (!service) return -1;
    std::lock_guard io(service->io);
    if (service->cut) return -1;
    // In TLS the library gives all that is asked for or nothing, so the pieces asked for are of a
    // bounded size, each with its own time-out.
    const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(size, kServicePiece));
    std::uint32_t got = 0;
    SigpipeHeld held;  // a failed read may answer with an alert
    const service_error_t status = service_receive_with_timeout(service->client.get(), static_cast<char*>(buffer),
                                                                piece, &got, static_cast<unsigned>(timeout.count()));
    if (status == SERVICE_E_SUCCESS && got > 0) return static_cast<ssize_t>(std::min(got, piece));
    // A TLS stream that failed half-way has lost its place (the library drops what it read).
    if (service->tls) service->cut = true;
    // The library says "TLS error" for a stream that has ended too: the socket tells which.
    char byte;
    const ssize_t peeked = ::recv(service->socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 ? 0 : -1;
}

std::int32_t ImobiledeviceBackend::serviceConnectionInvalidate(service_handle handle) {
    std::shared_ptr<Service> service;
    {
        std::lock_guard lock(mutex_);
        // One that an AFC connection took over closes with that connection.
        auto it = services_.find(handle);
        if (it == services_.end()) return Status::backend(Status::kNoSuchObject);
        service = std::move(it->second);
        services_.erase(it);
    }
    return 0;  // the connection closes here, outside the lock
}

} // namespace keldo
