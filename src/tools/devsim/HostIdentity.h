#pragma once

#include "platform/plist/PlistValue.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class DeviceKey;

// What a host makes when it pairs with a device: a root key and certificate, a host key and
// certificate signed by the root, and a certificate of the device's public key. The simulator makes
// one for itself, so that a device attached as paired comes with a pair record that clients can
// start TLS sessions with at once, as if this host had paired with it before.
class HostIdentity {
public:
    // New keys; none when OpenSSL fails to make them (with `error`).
    [[nodiscard]] static std::shared_ptr<const HostIdentity> generate(std::string& error);
    ~HostIdentity();
    HostIdentity(const HostIdentity&) = delete;
    HostIdentity& operator=(const HostIdentity&) = delete;

    // The host's pair record of a device, as libimobiledevice keeps it: DeviceCertificate,
    // HostCertificate, HostPrivateKey, RootCertificate, RootPrivateKey (each data holding PEM text),
    // HostID, SystemBUID and WiFiMACAddress. None when a certificate can't be made.
    std::optional<PlistValue::Dictionary> pairRecord(const DeviceKey& device, const std::string& hostId,
                                                     const std::string& systemBuid,
                                                     const std::string& wifiAddress) const;
    const std::string& rootCertificatePem() const { return rootCertificatePem_; }
    // The DER forms of its root and host certificates, in that order: what a device that trusts
    // this host keeps (DeviceState::Certificates).
    const std::vector<std::string>& certificates() const { return certificates_; }

private:
    struct Keys;
    HostIdentity();

    std::unique_ptr<Keys> keys_;
    std::string rootCertificatePem_;
    std::string hostCertificatePem_;
    std::string rootKeyPem_;
    std::string hostKeyPem_;
    std::vector<std::string> certificates_;
};

} // namespace keldo
