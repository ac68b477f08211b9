// Feeds arbitrary bytes to a simulated device's AFC service as one client's stream, over a socket
// as the simulator serves it, and reads every reply. Every input must end in whole replies and a
// closed connection, with no crash, leak or hang, and with every file the client opened let go.
#include "tools/devsim/AfcSession.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace keldo;
    auto files = std::make_shared<SimulatedFileSystem>();
    files->setCapacity(64 * 1024);  // a grown file costs no time
    files->addFile("/f", "contents");
    files->addDirectory("/d");
    files->addSymbolicLink("/l", "f");
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    std::thread server([&] {
        AfcSession(files).serve(fds[1]);
        ::close(fds[1]);
    });
    // Written whole before reading: inputs are small against the socket's buffer.
    ::send(fds[0], data, size, MSG_NOSIGNAL);
    ::shutdown(fds[0], SHUT_WR);
    std::string replies;
    char buffer[64 * 1024];
    for (ssize_t n; (n = ::recv(fds[0], buffer, sizeof(buffer), 0)) > 0;) replies.append(buffer, static_cast<std::size_t>(n));
    server.join();
    ::close(fds[0]);
    for (std::size_t at = 0; at < replies.size();) {
        if (replies.size() - at < AfcPacket::kHeaderSize) __builtin_trap();
        auto reply = AfcPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(replies.data() + at));
        if (!reply || reply->entireLength > replies.size() - at) __builtin_trap();
        at += reply->entireLength;
    }
    if (files->openFiles() != 0) __builtin_trap();
    return 0;
}
