#include "tools/devsim/HostIdentity.h"

#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/OpenSsl.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

namespace keldo {

namespace {

std::optional<std::string> privateKeyPem(EVP_PKEY* key) {
    openssl::Bio bio(BIO_new(BIO_s_mem()));
    // PKCS#8, "BEGIN PRIVATE KEY", as the host's own pairing writes it.
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return std::nullopt;
    return openssl::textOf(bio.get());
}

PlistValue::Data dataOf(const std::string& text) { return PlistValue::Data(text.begin(), text.end()); }

} // namespace

struct HostIdentity::Keys {
    openssl::Key root;
    openssl::Certificate rootCertificate;
};

HostIdentity::HostIdentity() : keys_(std::make_unique<Keys>()) {}
HostIdentity::~HostIdentity() = default;

std::shared_ptr<const HostIdentity> HostIdentity::generate(std::string& error) {
    std::shared_ptr<HostIdentity> made(new HostIdentity());
    openssl::Key host(EVP_RSA_gen(2048));
    made->keys_->root.reset(EVP_RSA_gen(2048));
    EVP_PKEY* root = made->keys_->root.get();
    if (root && host) {
        made->keys_->rootCertificate =
            openssl::makeCertificate(root, root, nullptr, 0, "critical,CA:TRUE", nullptr, false);
    }
    X509* rootCertificate = made->keys_->rootCertificate.get();
    auto hostCertificate = rootCertificate ? openssl::makeCertificate(host.get(), root, rootCertificate, 0,
                                                                      "critical,CA:FALSE",
                                                                      "critical,digitalSignature,keyEncipherment", false)
                                           : nullptr;
    const auto rootPem = rootCertificate ? openssl::pemOf(rootCertificate) : std::nullopt;
    const auto hostPem = hostCertificate ? openssl::pemOf(hostCertificate.get()) : std::nullopt;
    const auto rootKey = root ? privateKeyPem(root) : std::nullopt;
    const auto hostKey = host ? privateKeyPem(host.get()) : std::nullopt;
    const auto rootDer = rootPem ? DeviceKey::certificateDer(*rootPem) : std::nullopt;
    const auto hostDer = hostPem ? DeviceKey::certificateDer(*hostPem) : std::nullopt;
    ERR_clear_error();
    if (!rootDer || !hostDer || !rootKey || !hostKey) {
        error = "no keys or certificates for the host";
        return nullptr;
    }
    made->rootCertificatePem_ = *rootPem;
    made->hostCertificatePem_ = *hostPem;
    made->rootKeyPem_ = *rootKey;
    made->hostKeyPem_ = *hostKey;
    made->certificates_ = {*rootDer, *hostDer};
    return made;
}

std::optional<PlistValue::Dictionary> HostIdentity::pairRecord(const DeviceKey& device, const std::string& hostId,
                                                               const std::string& systemBuid,
                                                               const std::string& wifiAddress) const {
    auto certificate = openssl::makeCertificate(device.key(), keys_->root.get(), keys_->rootCertificate.get(), 0,
                                                "critical,CA:FALSE", "critical,digitalSignature,keyEncipherment", true);
    const auto devicePem = certificate ? openssl::pemOf(certificate.get()) : std::nullopt;
    ERR_clear_error();
    if (!devicePem) return std::nullopt;
    return PlistValue::Dictionary{
        {"DeviceCertificate", dataOf(*devicePem)},
        {"HostCertificate", dataOf(hostCertificatePem_)},
        {"HostPrivateKey", dataOf(hostKeyPem_)},
        {"RootCertificate", dataOf(rootCertificatePem_)},
        {"RootPrivateKey", dataOf(rootKeyPem_)},
        {"HostID", hostId},
        {"SystemBUID", systemBuid},
        {"WiFiMACAddress", wifiAddress},
    };
}

} // namespace keldo
