// A request/reply round trip through AMService over the simulator's socket pair, with a peer
// thread echoing every message back.
#include "BenchValues.h"

#include "device/AMDevice.h"
#include "device/AMService.h"
#include "platform/simulated/VirtualRunLoop.h"
#include "platform/simulated/SimulatedBackend.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <string>
#include <thread>

namespace keldo {
namespace {

bool recvAll(int fd, char* into, std::size_t n) {
    return ::recv(fd, into, n, MSG_WAITALL) == static_cast<ssize_t>(n);
}

// Echoes whole messages until the stream ends.
void echo(int fd) {
    std::string body;
    for (;;) {
        char prefix[4];
        if (!recvAll(fd, prefix, 4)) return;
        std::uint32_t n = (std::uint32_t{static_cast<unsigned char>(prefix[0])} << 24) |
                          (std::uint32_t{static_cast<unsigned char>(prefix[1])} << 16) |
                          (std::uint32_t{static_cast<unsigned char>(prefix[2])} << 8) |
                          std::uint32_t{static_cast<unsigned char>(prefix[3])};
        body.resize(n);
        if (!recvAll(fd, body.data(), n)) return;
        ::send(fd, prefix, 4, MSG_NOSIGNAL);
        ::send(fd, body.data(), n, MSG_NOSIGNAL);
    }
}

void roundTrip(benchmark::State& state, const PlistValue& request) {
    auto sim = SimulatedBackend::installNew();
    auto loop = VirtualRunLoop::installNew();
    am_device phone = sim->addDevice(SimulatedDeviceInfo::iPhone("udid", "phone", "7.0"));
    AMDeviceRetain(phone);
    std::optional<std::string> error;
    auto device = AMDevice::initWithDeviceOrBust(phone, error);
    (void)device->deviceConnect();
    (void)device->startSession();
    auto service = AMService::serviceWithNameOnDevice("com.apple.bench", device);
    std::thread peer(echo, sim->peerSocket(service->service()));
    std::size_t round = 0;
    for (auto _ : state) {
        auto reply = service->sendRequestAndWaitForSingleReply(request);
        if (!reply) state.SkipWithError("no reply");
        benchmark::DoNotOptimize(reply);
        // Each message asks the platform for its descriptor: the simulator's log of calls grows.
        if (++round % 4096 == 0) sim->clearCalls();
    }
    // Ending our side ends the peer's stream; its end is closed once the thread is done with it.
    ::shutdown(static_cast<int>(static_cast<std::uint32_t>(service->service())), SHUT_RDWR);
    peer.join();
    sim->closePeer(service->service());
    service.reset();
    device.reset();
    RunLoop::setMain(nullptr);
    RunLoop::setCurrent(nullptr);
    Backend::install(nullptr);
}

void RoundTrip_SmallRequest(benchmark::State& state) {
    roundTrip(state, PlistValue(PlistValue::Dictionary{{"Request", "GetValue"}, {"Key", "DeviceName"}}));
}
BENCHMARK(RoundTrip_SmallRequest)->Unit(benchmark::kMicrosecond);

void RoundTrip_1MiB(benchmark::State& state) { roundTrip(state, bench::listingOfAbout(1024 * 1024)); }
BENCHMARK(RoundTrip_1MiB)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace keldo
