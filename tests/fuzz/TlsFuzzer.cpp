// The simulated device's side of TLS against arbitrary bytes from a host. The first byte chooses
// what the rest is: even, the host's side of a handshake (records of any kind, cut anywhere);
// odd, what a host sends once a real handshake is done and its session has stopped, where the
// device looks for close_notify and hands the rest to the plain-text reader. Every input must end
// in a refusal or a clean return, with no crash, leak or hang.
#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/HostIdentity.h"
#include "tools/devsim/TlsStream.h"
#include "tools/devsim/TlsTestClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace {

struct Keys {
    std::string error;
    std::shared_ptr<const keldo::DeviceKey> device = keldo::DeviceKey::generate(error);
    std::shared_ptr<const keldo::HostIdentity> host = keldo::HostIdentity::generate(error);
    keldo::PlistValue record = host ? keldo::PlistValue(host->pairRecord(*device, "H", "B", "W").value()) : keldo::PlistValue();
};

void drainPlainText(keldo::ClientConnection& connection) {
    char buffer[4096];
    while (connection.readSome(buffer, sizeof(buffer)) > 0) {}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Keys keys;
    if (!keys.device || !keys.host || size == 0) return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    // A host that stops answering mid-way would hang the device's reads: none may take long.
    timeval limit{5, 0};
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    const bool afterSession = data[0] & 1;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::thread host([&] {
        if (afterSession) {
            keldo::testing::TlsTestClient client(fds[1], keys.record);
            if (!client.handshake()) std::abort();
        }
        (void)!::send(fds[1], bytes.data(), bytes.size(), MSG_NOSIGNAL);
        ::shutdown(fds[1], SHUT_WR);
        char ignored[4096];
        while (::recv(fds[1], ignored, sizeof(ignored), 0) > 0) {}
    });
    {
        keldo::ClientConnection connection(fds[0]);
        std::string error;
        auto tls = keldo::TlsStream::accept(connection, *keys.device, keys.host->certificates(), error);
        if (afterSession && !tls) std::abort();  // a real host's handshake never fails
        if (tls && tls->returnToPlainText()) drainPlainText(connection);
    }
    ::shutdown(fds[0], SHUT_RDWR);
    host.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
