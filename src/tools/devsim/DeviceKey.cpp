#include "tools/devsim/DeviceKey.h"

#include "tools/devsim/OpenSsl.h"

#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <fmt/format.h>

namespace keldo {

namespace {

std::string openSslError(const char* what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "unknown error";
    if (code) ERR_error_string_n(code, text, sizeof(text));
    return fmt::format("{}: {}", what, text);
}

// The host's certificate is made by the host and names no one: it is compared once the handshake
// is done, never verified.
int acceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }

} // namespace

std::shared_ptr<const DeviceKey> DeviceKey::generate(std::string& error) {
    openssl::Key key(EVP_RSA_gen(2048));
    if (!key) {
        error = openSslError("no RSA key");
        return nullptr;
    }
    // PKCS#1, as the host's pairing reads it: not the SubjectPublicKeyInfo of "BEGIN PUBLIC KEY".
    openssl::Bio publicPem(BIO_new(BIO_s_mem()));
    OSSL_ENCODER_CTX* encoder =
        OSSL_ENCODER_CTX_new_for_pkey(key.get(), EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    const bool encoded = encoder && publicPem && OSSL_ENCODER_to_bio(encoder, publicPem.get()) == 1;
    OSSL_ENCODER_CTX_free(encoder);
    if (!encoded) {
        error = openSslError("no public key PEM");
        return nullptr;
    }
    auto certificate = openssl::makeCertificate(key.get(), key.get(), nullptr, 1, "critical,CA:FALSE",
                                                "critical,digitalSignature,keyEncipherment", false,
                                                "Keldo simulated device");
    openssl::Context context(SSL_CTX_new(TLS_server_method()));
    if (!certificate || !context) {
        error = openSslError("no TLS server");
        return nullptr;
    }
    SSL_CTX* c = context.get();
    SSL_CTX_set_security_level(c, 0);
    const bool configured = SSL_CTX_set_min_proto_version(c, TLS1_VERSION) == 1 &&
                            SSL_CTX_set_cipher_list(c, "DEFAULT:@SECLEVEL=0") == 1 &&
                            SSL_CTX_use_certificate(c, certificate.get()) == 1 &&
                            SSL_CTX_use_PrivateKey(c, key.get()) == 1 && SSL_CTX_check_private_key(c) == 1;
    if (!configured) {
        error = openSslError("no TLS server");
        return nullptr;
    }
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptAnyCertificate);
    // Each connection is a session of its own: nothing to resume, no tickets to send.
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(c, 0);
    SSL_CTX_set_options(c, SSL_OP_NO_TICKET);

    std::shared_ptr<DeviceKey> made(new DeviceKey());
    made->publicKeyPem_ = openssl::textOf(publicPem.get());
    made->key_ = key.release();
    made->context_ = context.release();
    return made;
}

DeviceKey::~DeviceKey() {
    SSL_CTX_free(context_);
    EVP_PKEY_free(key_);
}

bool DeviceKey::isKeyOf(const std::string& certificatePem) const {
    const auto der = certificateDer(certificatePem);
    if (!der) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(der->data());
    openssl::Certificate certificate(d2i_X509(nullptr, &bytes, static_cast<long>(der->size())));
    return certificate && EVP_PKEY_eq(X509_get0_pubkey(certificate.get()), key_) == 1;
}

std::optional<std::string> DeviceKey::certificateDer(const std::string& pem) {
    if (pem.empty() || pem.size() > kMaxCertificate) return std::nullopt;
    openssl::Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return std::nullopt;
    openssl::Certificate certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    std::optional<std::string> der;
    if (certificate) {
        unsigned char* out = nullptr;
        const int size = i2d_X509(certificate.get(), &out);
        if (size > 0) der = std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(size));
        OPENSSL_free(out);
        // A second certificate behind the first makes it ambiguous which one was meant.
        openssl::Certificate second(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (second) der.reset();
    }
    // A failed read leaves its reason queued; the next one on this thread must not see it.
    ERR_clear_error();
    return der;
}

} // namespace keldo
