#include "tools/devsim/TlsStream.h"

#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/HostIdentity.h"
#include "tools/devsim/TlsTestClient.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

namespace keldo {
namespace {

struct Keys {
    std::string error;
    std::shared_ptr<const DeviceKey> device = DeviceKey::generate(error);
    std::shared_ptr<const HostIdentity> host = HostIdentity::generate(error);
    PlistValue record = host->pairRecord(*device, "HOST-1", "BUID", "02:00:00:00:00:01").value();
};
const Keys& keys() {
    static const Keys made;
    return made;
}

// The device's end of a socket pair served by a TlsStream on a thread of its own; the test plays
// the host on the other end.
class TlsStreamTest : public ::testing::Test {
protected:
    TlsStreamTest() {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        device = fds[0];
        host = fds[1];
        timeval limit{10, 0};
        ::setsockopt(host, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        ::setsockopt(device, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    ~TlsStreamTest() override {
        ::shutdown(host, SHUT_RDWR);
        if (server.joinable()) server.join();
        ::close(device);
        ::close(host);
    }
    // Runs `serve` with the device's stream once its handshake accepting one of `certificates` is
    // done (a null stream when it failed).
    template <typename Serve>
    void serveDevice(Serve serve, std::vector<std::string> certificates = keys().host->certificates()) {
        server = std::thread([this, serve, certificates] {
            ClientConnection connection(device);
            std::string error;
            auto tls = TlsStream::accept(connection, *keys().device, certificates, error);
            serve(connection, tls.get(), error);
        });
    }
    std::string rawRead(std::size_t size) {
        std::string bytes(size, '\0');
        const ssize_t n = ::recv(host, bytes.data(), size, MSG_WAITALL);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }

    int device = -1;
    int host = -1;
    std::thread server;
};

TEST_F(TlsStreamTest, BytesBehindCloseNotifyGoToThePlainReaderAndTheDeviceAnswersNothing) {
    for (const int version : {TLS1_VERSION, 0}) {
        SCOPED_TRACE(version ? "TLS 1.0" : "newest");
        std::promise<void> hostIsBack;
        std::promise<std::string> plainText;
        serveDevice([&](ClientConnection& connection, TlsStream* tls, const std::string& error) {
            char request[5];
            if (!tls || !tls->readExactly(request, 5) || !tls->writeAll("world", 5)) return plainText.set_value(error);
            hostIsBack.get_future().wait();  // close_notify and the plain text have both come
            std::string next(10, '\0');
            if (!tls->returnToPlainText() || !connection.readExactly(next.data(), next.size())) return plainText.set_value("");
            plainText.set_value(next);
            (void)connection.writeAll("plain", 5);
        });
        {
            testing::TlsTestClient client(host, keys().record, version);
            ASSERT_TRUE(client.handshake());
            EXPECT_EQ(client.version(), version ? "TLSv1" : "TLSv1.3");
            ASSERT_TRUE(client.send("hello"));
            EXPECT_EQ(client.read(5), "world");
            client.closeNotify();
        }
        ASSERT_EQ(::send(host, "0123456789", 10, MSG_NOSIGNAL), 10);
        hostIsBack.set_value();
        EXPECT_EQ(plainText.get_future().get(), "0123456789");
        // Plain text straight away: no close_notify of the device's in front of it.
        EXPECT_EQ(rawRead(5), "plain");
        server.join();
    }
}

TEST_F(TlsStreamTest, AHostBackInPlainTextWithoutCloseNotifyIsReadAsItIs) {
    std::promise<std::string> plainText;
    serveDevice([&](ClientConnection& connection, TlsStream* tls, const std::string&) {
        std::string next(6, '\0');
        if (!tls || !tls->returnToPlainText() || !connection.readExactly(next.data(), next.size())) next.clear();
        plainText.set_value(next);
    });
    testing::TlsTestClient client(host, keys().record);
    ASSERT_TRUE(client.handshake());
    const char frame[6] = {0, 0, 0, 2, '<', '>'};  // a lockdownd message starts with a zero byte
    ASSERT_EQ(::send(host, frame, sizeof(frame), MSG_NOSIGNAL), 6);
    EXPECT_EQ(plainText.get_future().get(), std::string(frame, 6));
}

TEST_F(TlsStreamTest, DataInTlsWhereCloseNotifyBelongsEndsTheConversation) {
    std::promise<bool> returned;
    serveDevice([&](ClientConnection&, TlsStream* tls, const std::string&) { returned.set_value(tls && tls->returnToPlainText()); });
    testing::TlsTestClient client(host, keys().record);
    ASSERT_TRUE(client.handshake());
    ASSERT_TRUE(client.send("more"));
    EXPECT_FALSE(returned.get_future().get());
}

// Clients differ in which certificate of the pairing they show: libimobiledevice's OpenSSL build
// the root, others (and its GnuTLS build) the host certificate.
TEST_F(TlsStreamTest, AHostMayShowTheHostCertificateOfItsPairingInsteadOfTheRoot) {
    std::promise<bool> shaken;
    serveDevice([&](ClientConnection&, TlsStream* tls, const std::string&) { shaken.set_value(tls != nullptr); });
    PlistValue asHost = keys().record;
    (*asHost.dictionary())["RootCertificate"] = *asHost.find("HostCertificate");
    (*asHost.dictionary())["RootPrivateKey"] = *asHost.find("HostPrivateKey");
    testing::TlsTestClient client(host, asHost, TLS1_2_VERSION);
    EXPECT_TRUE(client.handshake());
    EXPECT_TRUE(shaken.get_future().get());
}

TEST_F(TlsStreamTest, AHostThatShowsAnotherCertificateThanItPairedWithIsRefusedInTheHandshake) {
    std::promise<std::string> refusal;
    serveDevice([&](ClientConnection&, TlsStream* tls, const std::string& error) { refusal.set_value(tls ? "" : error); },
                {"not the root", "nor the host"});
    // Up to TLS 1.2 the device's verdict comes before the host's handshake ends.
    testing::TlsTestClient client(host, keys().record, TLS1_2_VERSION);
    EXPECT_FALSE(client.handshake());
    EXPECT_EQ(refusal.get_future().get(), "the host's certificate is not the one it paired with");
}

TEST(DeviceKey, ItsPublicKeyIsPkcs1AndOnlyItsOwnCertificatesCarryIt) {
    const auto& k = keys();
    EXPECT_EQ(k.device->publicKeyPem().rfind("-----BEGIN RSA PUBLIC KEY-----\n", 0), 0u);
    const auto certificate = testing::TlsTestClient::textOf(k.record, "DeviceCertificate").value();
    EXPECT_TRUE(k.device->isKeyOf(certificate));
    EXPECT_FALSE(k.device->isKeyOf(testing::TlsTestClient::textOf(k.record, "HostCertificate").value()));
    // One certificate exactly: none, two, or garbage give no DER.
    EXPECT_FALSE(DeviceKey::certificateDer(""));
    EXPECT_FALSE(DeviceKey::certificateDer(certificate + certificate));
    EXPECT_FALSE(DeviceKey::certificateDer(certificate.substr(0, certificate.size() / 2)));
    EXPECT_FALSE(DeviceKey::certificateDer(k.device->publicKeyPem()));
    EXPECT_TRUE(DeviceKey::certificateDer(certificate));
}

} // namespace
} // namespace keldo
