#include "tools/devsim/TlsStream.h"

#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/OpenSsl.h"

#include <openssl/err.h>

#include <algorithm>
#include <climits>

namespace keldo {

namespace {

constexpr std::size_t kReadPiece = 16 * 1024;
constexpr std::size_t kWritePiece = 256 * 1024;
// Whether a byte can start a TLS record: its content types are 20 to 24. An alert (close_notify is
// one) is type 21, or 23 from TLS 1.3 on, where every record after the handshake looks like data.
// A lockdownd message starts with the high byte of its length, which is 0.
bool startsTlsRecord(unsigned char byte) { return byte >= 20 && byte <= 24; }

// Everything a memory BIO holds, taken out of it.
std::string drain(BIO* bio) {
    std::string bytes;
    char piece[4096];
    for (int n; (n = BIO_read(bio, piece, sizeof(piece))) > 0;) bytes.append(piece, static_cast<std::size_t>(n));
    return bytes;
}

// Whether the certificate is one of `accepted` (DER forms).
bool isOneOf(X509* certificate, const std::vector<std::string>& accepted) {
    unsigned char* der = nullptr;
    const int size = certificate ? i2d_X509(certificate, &der) : -1;
    const bool found = size > 0 && std::any_of(accepted.begin(), accepted.end(), [&](const std::string& one) {
        return one.size() == static_cast<std::size_t>(size) &&
               std::equal(der, der + size, reinterpret_cast<const unsigned char*>(one.data()));
    });
    OPENSSL_free(der);
    return found;
}

// A device refuses a host that shows another certificate than those it paired with during the
// handshake, as a TLS server does: the host's handshake then fails (up to TLS 1.2; from 1.3 on the
// host has finished its part before the alert comes). The certificate names no one and is signed
// by nobody the device knows, so it is compared, never verified.
int verifyPairedHost(int, X509_STORE_CTX* context) {
    if (X509_STORE_CTX_get_error_depth(context) != 0) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* accepted = ssl ? static_cast<const std::vector<std::string>*>(SSL_get_app_data(ssl)) : nullptr;
    if (accepted && isOneOf(X509_STORE_CTX_get_current_cert(context), *accepted)) return 1;
    X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

constexpr const char* kNotPairedHost = "the host's certificate is not the one it paired with";

} // namespace

TlsStream::TlsStream(ClientConnection& transport, ssl_st* ssl, bio_st* in, bio_st* out)
    : transport_(transport), ssl_(ssl), in_(in), out_(out) {}

TlsStream::~TlsStream() {
    // Never SSL_shutdown: the device does not answer the host's close_notify, and sends none.
    SSL_free(ssl_);
}

std::unique_ptr<TlsStream> TlsStream::accept(ClientConnection& transport, const DeviceKey& key,
                                             const std::vector<std::string>& clientCertificates, std::string& error) {
    openssl::Session ssl(SSL_new(key.serverContext()));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || !in || !out) {
        BIO_free(in);
        BIO_free(out);
        error = "no memory for TLS";
        return nullptr;
    }
    // An empty buffer means "wait for more", not the end of the stream.
    BIO_set_mem_eof_return(in, -1);
    BIO_set_mem_eof_return(out, -1);
    SSL_set_bio(ssl.get(), in, out);
    SSL_set_accept_state(ssl.get());
    // Only read during the handshake below, which the caller's certificate outlives.
    SSL_set_app_data(ssl.get(), const_cast<std::vector<std::string>*>(&clientCertificates));
    SSL_set_verify(ssl.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verifyPairedHost);
    std::unique_ptr<TlsStream> stream(new TlsStream(transport, ssl.release(), in, out));
    const ClientConnection::HandshakeLimit limit(transport);  // a client that never completes it is not waited for
    const bool shaken = stream->drive([&] { return SSL_do_handshake(stream->ssl_); }) == 1;
    SSL_set_app_data(stream->ssl_, nullptr);
    if (!shaken) {
        error = SSL_get_verify_result(stream->ssl_) == X509_V_ERR_APPLICATION_VERIFICATION ? kNotPairedHost
                                                                                           : "the TLS handshake failed";
        return nullptr;
    }
    if (!isOneOf(SSL_get0_peer_certificate(stream->ssl_), clientCertificates)) {
        error = kNotPairedHost;
        return nullptr;
    }
    return stream;
}

template <typename Step>
int TlsStream::drive(Step step) {
    for (;;) {
        ERR_clear_error();
        const int result = step();
        const int reason = result > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result);
        if (reason == SSL_ERROR_ZERO_RETURN) {
            // The client's close_notify: nothing is sent after it, not even an answer.
            closedByClient_ = true;
            return 0;
        }
        // Handshake messages, records, and the alert of a failure go out as they are made.
        if (!flush()) return 0;
        if (reason == SSL_ERROR_NONE) return result;
        if (reason != SSL_ERROR_WANT_READ || !pull()) {
            ERR_clear_error();
            return 0;
        }
    }
}

bool TlsStream::pull() {
    char piece[kReadPiece];
    // Part of a record has come (OpenSSL holds it, or has yet to read it), or part of what the
    // reader asked for: the rest may not stall, as in plain text.
    const bool begun = partial_ || SSL_has_pending(ssl_) == 1 || BIO_ctrl_pending(in_) > 0;
    const std::size_t n = begun ? transport_.readMore(piece, sizeof(piece)) : transport_.readSome(piece, sizeof(piece));
    return n > 0 && BIO_write(in_, piece, static_cast<int>(n)) == static_cast<int>(n);
}

bool TlsStream::flush() {
    const std::string bytes = drain(out_);
    return bytes.empty() || transport_.writeAll(bytes.data(), bytes.size());
}

std::size_t TlsStream::readSome(void* buffer, std::size_t size) {
    if (size == 0 || closedByClient_) return 0;
    const int piece = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    const int n = drive([&] { return SSL_read(ssl_, buffer, piece); });
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool TlsStream::readExactly(void* buffer, std::size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    while (size > 0) {
        const std::size_t n = readSome(bytes, size);
        if (n == 0) {
            partial_ = false;
            return false;
        }
        bytes += n;
        size -= n;
        partial_ = size > 0;
    }
    return true;
}

bool TlsStream::writeAll(const void* buffer, std::size_t size) {
    const auto* bytes = static_cast<const char*>(buffer);
    while (size > 0) {
        const int piece = static_cast<int>(std::min(size, kWritePiece));
        if (closedByClient_ || drive([&] { return SSL_write(ssl_, bytes, piece); }) != piece) return false;
        bytes += piece;
        size -= static_cast<std::size_t>(piece);
    }
    return true;
}

bool TlsStream::awaitThaw() { return transport_.awaitThaw(); }

void TlsStream::markUnderway(bool underway) { transport_.markUnderway(underway); }

bool TlsStream::returnToPlainText() {
    // Data that OpenSSL has decrypted and no one read: the client spoke TLS after the end.
    if (SSL_pending(ssl_) > 0) return false;
    if (!closedByClient_) {
        std::string next = drain(in_);
        if (next.empty()) {
            char piece[kReadPiece];
            const std::size_t n = transport_.readSome(piece, sizeof(piece));
            if (n == 0) return false;
            next.assign(piece, n);
        }
        if (!startsTlsRecord(static_cast<unsigned char>(next[0]))) {
            // Plain text at once, without close_notify: it is the next request.
            transport_.unread(next);
            return true;
        }
        (void)BIO_write(in_, next.data(), static_cast<int>(next.size()));
        char ignored;
        if (drive([&] { return SSL_read(ssl_, &ignored, 1); }) != 0 || !closedByClient_) return false;
    }
    handBack();
    return true;
}

void TlsStream::handBack() { transport_.unread(drain(in_)); }

std::string TlsStream::version() const { return SSL_get_version(ssl_); }

} // namespace keldo
