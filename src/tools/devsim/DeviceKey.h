#pragma once

#include <memory>
#include <optional>
#include <string>

// OpenSSL's types, declared only: their header stays in the TLS files' sources.
struct evp_pkey_st;
struct ssl_ctx_st;

namespace keldo {

// A simulated device's RSA-2048 key and the TLS server it makes: lockdownd and the secure services
// answer the host's handshake with a self-signed certificate of this key. The server accepts
// TLS 1.0 and later at security level 0, as hosts that skip the version check offer nothing
// newer, and asks the host for its certificate, which the caller compares with the one the
// device was paired with (the certificates of a pairing name no one, so no chain check can).
class DeviceKey {
public:
    // A new key; none when OpenSSL fails to make one (with `error`).
    [[nodiscard]] static std::shared_ptr<const DeviceKey> generate(std::string& error);
    ~DeviceKey();
    DeviceKey(const DeviceKey&) = delete;
    DeviceKey& operator=(const DeviceKey&) = delete;

    // The public key as "-----BEGIN RSA PUBLIC KEY-----" (PKCS#1) PEM, as lockdownd hands it out
    // under DevicePublicKey.
    const std::string& publicKeyPem() const { return publicKeyPem_; }
    // Whether the PEM certificate holds this key.
    bool isKeyOf(const std::string& certificatePem) const;

    // For the TLS layer and the making of pair records.
    evp_pkey_st* key() const { return key_; }
    ssl_ctx_st* serverContext() const { return context_; }

    // The DER form of the one PEM certificate `pem` holds; none when it holds none, or more than
    // a certificate, or is larger than kMaxCertificate.
    [[nodiscard]] static std::optional<std::string> certificateDer(const std::string& pem);
    static constexpr std::size_t kMaxCertificate = 64 * 1024;

private:
    DeviceKey() = default;

    evp_pkey_st* key_ = nullptr;
    ssl_ctx_st* context_ = nullptr;
    std::string publicKeyPem_;
};

} // namespace keldo
