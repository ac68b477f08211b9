// Sends arbitrary bytes to a running DeviceSimulator as a usbmuxd client would, then ends the
// stream and reads whatever comes back. Every input must end in replies and a closed connection,
// with no crash, leak or hang: the simulator parses the header, the property list and the request,
// and a Connect hands the rest of the stream to the device's lockdownd.
#include "tools/devsim/DeviceSimulator.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Server {
    std::string path = "/tmp/keldo-usbmux-fuzz-" + std::to_string(getpid());
    keldo::DeviceSimulator simulator{path};
    Server() {
        if (!simulator.start()) std::abort();
        if (simulator.attach(keldo::SimulatedDeviceInfo::iPhone("fuzz-1", "Fuzz", "9.0")) == 0) std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server server;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", server.path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) std::abort();
    // Written whole before reading: inputs are small against the socket's buffer.
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::send(fd, data, size, MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {}
    // A reset is an end too: the simulator closed with input left unread. A time-out is a hang.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) std::abort();
    ::close(fd);
    return 0;
}
