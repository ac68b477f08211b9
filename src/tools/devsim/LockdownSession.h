#pragma once

#include "platform/plist/PlistValue.h"
#include "tools/devsim/DeviceState.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace keldo {

// The rules of one client's conversation with a simulated device's lockdownd (port 62078): the
// reply to each request, and what the connection does after it (see next()). Each message is a
// 4-byte big-endian length and a property list, XML or binary; a reply takes the request's form.
//
// - QueryType and GetValue are answered at any time; outside a session GetValue gives only the
//   device's public identity (DeviceState::kPublicValues) and withholds the rest as missing.
// - Pair asks the device's user to trust the host (PairingDialogResponsePending until answered,
//   UserDeniedPairing, PasswordProtected while locked; see DeviceState::pairingRefusal); once
//   trusted, the host must show its root or its host certificate in every TLS handshake.
//   ValidatePair checks a host's record. Unpair forgets a host that proves it is one: by the
//   certificates of its record, or by its HostID alone inside its own session.
// - StartSession, for a trusted HostID, answers EnableSessionSSL true: from the reply on, the
//   conversation runs in TLS until StopSession, whose reply is the last in TLS. A device set to
//   cleartext sessions (DeviceState::setCleartextSessions) answers false and stays in plain text.
// - SetValue (the device's name) and StartService need a session; a service that the simulator
//   does not offer is "InvalidService". Goodbye ends the conversation.
class LockdownSession {
public:
    struct StartedService {
        std::uint16_t port = 0;
        bool tls = false;
    };
    // Starts a named service for the host with these certificates (DER, either of which it may
    // show); none when there is no such service.
    using ServiceStarter = std::function<std::optional<StartedService>(const std::string& name,
                                                                       const DeviceState::Certificates& hostCertificates)>;

    // What the connection does once a reply has gone out.
    enum class Next { Continue, StartTls, EndTls, Finish };

    LockdownSession(std::shared_ptr<DeviceState> device, ServiceStarter startService);

    // The reply to one request. Anything that is no dictionary with a text "Request" gets an error
    // reply; nothing a client sends can stop the conversation but Goodbye.
    PlistValue::Dictionary reply(const PlistRef& request);
    Next next() const { return next_; }
    bool finished() const { return next_ == Next::Finish; }
    // The certificates (DER) of the host whose session is open: it must present one of them.
    const DeviceState::Certificates& hostCertificates() const { return hostCertificates_; }

    // Framing: the announced length of a message (none when it is empty or too large), and a
    // framed message, binary or XML (the form the request came in).
    static std::optional<std::uint32_t> messageLength(const std::uint8_t header[4]);
    static std::string frame(const PlistValue& message, bool binary = false);
    static constexpr std::uint32_t kMaxMessage = 1024 * 1024;

    static constexpr std::uint16_t kPort = 62078;
    // The host that the simulator pairs a device with when it attaches it as paired.
    static constexpr const char* kHostId = "5E1D2C3B-6B65-4C64-8F48-4F5354000001";
    static constexpr const char* kSystemBuid = "5E1D2C3B-6B65-4C64-8F42-554944000001";

private:
    PlistValue::Dictionary getValue(const PlistValue& request) const;
    PlistValue::Dictionary setValue(const PlistValue& request);
    PlistValue::Dictionary pair(const PlistValue& request);
    PlistValue::Dictionary validatePair(const PlistValue& request) const;
    PlistValue::Dictionary unpair(const PlistValue& request);
    PlistValue::Dictionary startSession(const PlistValue& request);
    PlistValue::Dictionary stopSession(const PlistValue& request);
    PlistValue::Dictionary startService(const PlistValue& request);

    std::shared_ptr<DeviceState> device_;
    ServiceStarter startService_;
    std::optional<std::string> session_;
    std::string sessionHostId_;
    DeviceState::Certificates hostCertificates_;
    int sessions_ = 0;
    Next next_ = Next::Continue;
};

} // namespace keldo
