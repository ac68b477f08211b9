#pragma once

// The host's side of TLS for the simulator's tests, as libimobiledevice's OpenSSL build plays
// it: a client at security level 0 that shows the root certificate of its pair record and accepts
// any server certificate. It stops TLS by sending close_notify and returning to plain text at
// once, without waiting for the device's answer.
#include "platform/plist/PlistValue.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <signal.h>

#include <memory>
#include <optional>
#include <string>

namespace keldo::testing {

template <typename Read>
auto readPem(const std::string& pem, Read read) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    auto value = read(bio);
    BIO_free(bio);
    return value;
}

class TlsTestClient {
public:
    // `record` is the host's pair record: its RootCertificate and RootPrivateKey are shown.
    // maxVersion 0 lets OpenSSL choose; TLS1_VERSION is what an old device's host offers.
    TlsTestClient(int fd, const PlistValue& record, int maxVersion = 0) : fd_(fd) {
        ::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes to the socket without MSG_NOSIGNAL
        context_.reset(SSL_CTX_new(TLS_client_method()));
        SSL_CTX_set_security_level(context_.get(), 0);
        SSL_CTX_set_min_proto_version(context_.get(), TLS1_VERSION);
        if (maxVersion) SSL_CTX_set_max_proto_version(context_.get(), maxVersion);
        SSL_CTX_set_verify(context_.get(), SSL_VERIFY_NONE, nullptr);
        if (auto pem = textOf(record, "RootCertificate")) {
            X509* certificate = readPem(*pem, [](BIO* b) { return PEM_read_bio_X509(b, nullptr, nullptr, nullptr); });
            if (certificate) SSL_CTX_use_certificate(context_.get(), certificate);
            X509_free(certificate);
        }
        if (auto pem = textOf(record, "RootPrivateKey")) {
            EVP_PKEY* key = readPem(*pem, [](BIO* b) { return PEM_read_bio_PrivateKey(b, nullptr, nullptr, nullptr); });
            if (key) SSL_CTX_use_PrivateKey(context_.get(), key);
            EVP_PKEY_free(key);
        }
        ssl_.reset(SSL_new(context_.get()));
        SSL_set_fd(ssl_.get(), fd_);
    }

    bool handshake() { return SSL_connect(ssl_.get()) == 1; }
    bool send(const std::string& bytes) {
        return SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    }
    // Exactly `size` bytes, or none when TLS ends or fails first.
    std::optional<std::string> read(std::size_t size) {
        std::string bytes(size, '\0');
        std::size_t got = 0;
        while (got < size) {
            const int n = SSL_read(ssl_.get(), bytes.data() + got, static_cast<int>(size - got));
            if (n <= 0) return std::nullopt;
            got += static_cast<std::size_t>(n);
        }
        return bytes;
    }
    // Sends close_notify and no more: the connection is plain text again.
    void closeNotify() { SSL_shutdown(ssl_.get()); }
    std::string version() const { return SSL_get_version(ssl_.get()); }

    static std::optional<std::string> textOf(const PlistValue& record, const char* key) {
        const PlistValue* value = record.find(key);
        if (!value || !value->data()) return std::nullopt;
        return std::string(value->data()->begin(), value->data()->end());
    }

private:
    struct FreeContext {
        void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
    };
    struct FreeSsl {
        void operator()(SSL* s) const { SSL_free(s); }
    };

    int fd_;
    std::unique_ptr<SSL_CTX, FreeContext> context_;
    std::unique_ptr<SSL, FreeSsl> ssl_;
};

} // namespace keldo::testing
