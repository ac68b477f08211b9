// Feeds arbitrary bytes to AMService::readXMLReply as what a service peer sent, then ends the
// stream. Every input must end in a result or none, with no crash, leak or hang.
#include "device/AMDevice.h"
#include "device/AMService.h"
#include "platform/simulated/SimulatedBackend.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

struct Connection {
    std::shared_ptr<keldo::SimulatedBackend> sim = keldo::SimulatedBackend::installNew();
    std::shared_ptr<keldo::AMDevice> device;
    std::shared_ptr<keldo::AMService> service;

    Connection() {
        keldo::am_device phone = sim->addDevice(keldo::SimulatedDeviceInfo::iPhone("udid", "phone", "7.0"));
        keldo::AMDeviceRetain(phone);
        std::optional<std::string> error;
        device = keldo::AMDevice::initWithDeviceOrBust(phone, error);
        if (!device->deviceConnect() || !device->startSession()) std::abort();
        service = keldo::AMService::serviceWithNameOnDevice("com.apple.fuzz", device);
    }
    int serviceSocket() const { return static_cast<int>(static_cast<std::uint32_t>(service->service())); }
};

Connection& connection() {
    static Connection c;
    return c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Connection& c = connection();
    c.sim->clearCalls();  // each read asks for the descriptor: the log would grow without end
    // A fresh stream per input, put in place of the service's socket so that the simulator still
    // owns (and closes) that descriptor.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
    ::dup2(ends[0], c.serviceSocket());
    ::close(ends[0]);
    int peer = ends[1];
    // Inputs are far below the socket buffer, so writing it all first doesn't block.
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::send(peer, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(peer, SHUT_WR);
    // Several messages may be in one input; the stream's end stops the loop.
    for (int i = 0; i < 8; ++i) {
        c.service->setLastError("before");
        auto reply = c.service->readXMLReply();
        if (!reply && c.service->lastError() == "Can't receive reply size") break;
    }
    ::close(peer);
    return 0;
}
