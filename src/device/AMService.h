#pragma once

#include "platform/mobiledevice/MobileDevice.h"
#include "platform/plist/PlistValue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace keldo {

class AMDevice;
// The device monitor's listener; declared only, since the monitor sits above this layer.
class DeviceListener;

// One started device service, exchanging property-list messages: each is a 4-byte big-endian
// length followed by the list's XML form. The object owns the service it started: close, or the
// object's end, closes the service's connection. The descriptor is asked of the platform for
// every message, so a closed object, or one whose device has gone, fails with "Service is not
// open" and never writes into a newer connection that was given the same descriptor number. Each
// message then runs on a duplicate of its own: a detach on another thread that closes the
// service's descriptor mid-message (the platform shuts the connection down) fails the message at
// once, and a connection that takes the number meanwhile never gets the message's rest.
//
// A service whose connection runs in TLS (the device says so when it starts it) has no descriptor
// to give: its bytes on the socket are ciphertext. Its messages, framed the same way, go through
// the platform's own connection (AMDServiceConnectionSend and Receive), which the platform's
// secure I/O context tells apart from a closed one. The plain path asks for the descriptor, takes
// the duplicate and asks again (the service still holding that number proves the duplicate is of
// its connection), then uses the socket's own sends and receives.
class AMService {
public:
    // Starts the named service on a device that the caller has connected and in a session.
    // None when the start fails (the device has logged why).
    [[nodiscard]] static std::shared_ptr<AMService> initWithNameOnDevice(const std::string& name,
                                                           const std::shared_ptr<AMDevice>& device);
    // The same, always making a plain AMService.
    [[nodiscard]] static std::shared_ptr<AMService> serviceWithNameOnDevice(const std::string& name,
                                                              const std::shared_ptr<AMDevice>& device);
    // Closes the service, when it is still open.
    virtual ~AMService();
    AMService(const AMService&) = delete;
    AMService& operator=(const AMService&) = delete;

    // Closes the service's connection once; every later operation fails with the not-open text.
    virtual void close();

    // Sends one message, the length and the body, each to its end across partial sends and
    // interruptions; clears lastError on success.
    [[nodiscard]] bool sendXMLRequest(const PlistValue& request);
    // Receives one message and blocks until it is whole or the stream ends. None on failure with
    // lastError set; none with lastError untouched for a zero-length message.
    [[nodiscard]] PlistRef readXMLReply();
    [[nodiscard]] PlistRef sendRequestAndWaitForSingleReply(const PlistValue& request);

    std::optional<std::string> lastError() const { return _lasterror; }
    void setLastError(std::string text) { _lasterror = std::move(text); }
    void clearLastError() { _lasterror.reset(); }

    std::weak_ptr<DeviceListener> delegate() const { return _delegate; }
    void setDelegate(std::weak_ptr<DeviceListener> delegate) { _delegate = std::move(delegate); }

    // The service handle; 0 once closed.
    service_handle service() const { return _service; }
    void* context() const { return _context; }

    // A peer may announce any 32-bit length; bodies above this are refused (and skipped) rather
    // than allocated. Property lists of services are far smaller.
    static constexpr std::uint32_t kMaxReplyLength = 64u * 1024 * 1024;

protected:
    AMService() = default;
    // The construction steps after the base one, for this class and those derived from it:
    // starts the service, and on interface type 2 takes its secure context and a power assertion.
    [[nodiscard]] bool initWithNameOnDeviceSteps(const std::string& name, const std::shared_ptr<AMDevice>& device);
    // What an operation on a closed object leaves in lastError.
    virtual const char* notOpenText() const { return "Service is not open"; }
    // Drops the handle without closing it: for a derived class whose own connection took the
    // service's over and has closed it.
    void forgetService();

private:
    // Where one message travels: the plain connection's socket, or the platform's own connection
    // of a service in TLS. A send or receive gives what send and recv give; a signal that
    // interrupts the socket's wait is no failure.
    struct Channel {
        Channel(int socket, service_handle secure) : socket(socket), secure(secure) {}
        Channel(Channel&& other) noexcept : socket(other.socket), secure(other.secure) { other.socket = -1; }
        Channel(const Channel&) = delete;
        Channel& operator=(const Channel&) = delete;
        Channel& operator=(Channel&&) = delete;
        ~Channel();

        int socket = -1;  // the message's own duplicate, closed with the channel
        service_handle secure = 0;
        [[nodiscard]] ssize_t send(const void* data, std::size_t size) const;
        [[nodiscard]] ssize_t receive(void* buffer, std::size_t size) const;
        [[nodiscard]] bool sendAll(const void* data, std::size_t size) const;
    };
    // The open service's channel; none, with the not-open text set, when there is none.
    [[nodiscard]] std::optional<Channel> openChannel();
    void closeService();
    [[nodiscard]] bool receivePrefix(const Channel& channel, unsigned char (&prefix)[4]);
    // Reads and drops `length` bytes so that the next message starts where it should.
    void skip(const Channel& channel, std::uint32_t length);

    service_handle _service = 0;
    void* _context = nullptr;
    std::int32_t _service_socket = 0;  // nothing sets or reads it
    std::optional<std::string> _lasterror;
    std::weak_ptr<DeviceListener> _delegate;
};

} // namespace keldo
