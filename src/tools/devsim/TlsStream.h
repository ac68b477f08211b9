#pragma once

#include "tools/devsim/DeviceStream.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct ssl_st;
struct bio_st;

namespace keldo {

class ClientConnection;
class DeviceKey;

// The device's side of TLS over a client's connection: the device is the server. OpenSSL reads
// and writes memory buffers, and this class moves the bytes between them and the connection, so
// that it knows exactly where TLS ends. A host that stops a lockdownd session sends close_notify
// and goes straight back to plain text, never waiting for an answer: the device consumes exactly
// that alert, answers nothing, and hands whatever came behind it to the plain-text reader.
class TlsStream : public DeviceStream {
public:
    // Runs the handshake on `transport` with the device's key. The client must present one of the
    // certificates whose DER forms are `clientCertificates` (those of the host's pairing). None,
    // with `error`, when the handshake fails or the certificate is none of them; the connection
    // is then of no further use.
    [[nodiscard]] static std::unique_ptr<TlsStream> accept(ClientConnection& transport, const DeviceKey& key,
                                                           const std::vector<std::string>& clientCertificates,
                                                           std::string& error);
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    [[nodiscard]] bool readExactly(void* buffer, std::size_t size) override;
    [[nodiscard]] std::size_t readSome(void* buffer, std::size_t size) override;
    [[nodiscard]] bool writeAll(const void* buffer, std::size_t size) override;
    [[nodiscard]] bool awaitThaw() override;
    void markUnderway(bool underway) override;

    // Ends TLS the way a host leaving a session does: takes the client's close_notify without
    // answering it, and gives the bytes behind it back to the connection. A client that goes back
    // to plain text without one is taken as it is. False when the client sends anything else in
    // TLS, or the connection ends.
    [[nodiscard]] bool returnToPlainText();
    // Whether the client has ended TLS with close_notify.
    bool closedByClient() const { return closedByClient_; }

    // The protocol version that the handshake settled on ("TLSv1", "TLSv1.3", ...).
    std::string version() const;

private:
    TlsStream(ClientConnection& transport, ssl_st* ssl, bio_st* in, bio_st* out);
    // Feeds one read of the connection into OpenSSL; false when the connection has ended.
    bool pull();
    // Sends what OpenSSL has written.
    bool flush();
    // Runs one OpenSSL step until it is done, pulling and flushing as it asks; the step's result,
    // or 0 when it failed.
    template <typename Step>
    int drive(Step step);
    // Gives what OpenSSL has not yet read back to the connection.
    void handBack();

    ClientConnection& transport_;
    ssl_st* ssl_;
    bio_st* in_;   // the client's bytes, for OpenSSL to read (owned by ssl_)
    bio_st* out_;  // OpenSSL's bytes, for the client (owned by ssl_)
    bool closedByClient_ = false;
    // readExactly has some of what it was asked for, and waits for the rest.
    bool partial_ = false;
};

} // namespace keldo
