// Feeds arbitrary bytes to a simulated device's app services (installation_proxy, house_arrest) as
// one client's stream, in pieces of arbitrary sizes. Every input must end in whole framed answers,
// with no crash, leak or hang; once a house_arrest request hands the connection over to AFC, no
// answer of its own follows.
#include "platform/simulated/SimulatedApps.h"
#include "platform/simulated/SimulatedHouseArrest.h"
#include "platform/simulated/SimulatedInstallationProxy.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace keldo;
    if (size < 2) return 0;
    auto apps = std::make_shared<SimulatedApps>(64 * 1024);
    apps->install({"org.example.player", "Film Player", "2.1", true});
    apps->install({"org.example.notes", "Notes", "1.0", false});
    std::unique_ptr<SimulatedMessageService> service;
    if (data[0] & 1) {
        service = std::make_unique<SimulatedHouseArrest>(apps);
    } else {
        service = std::make_unique<SimulatedInstallationProxy>(apps);
    }
    // The second byte sets how the stream is cut into the pieces a socket would deliver.
    const std::size_t piece = 1 + data[1] % 64;
    std::string input;
    std::string output;
    for (std::size_t at = 2; at < size && !service->handedOver(); at += piece) {
        input.append(reinterpret_cast<const char*>(data + at), std::min(piece, size - at));
        if (!service->receive(input, output)) break;
    }
    // Whatever came out is whole framed messages.
    for (std::size_t at = 0; at < output.size();) {
        if (output.size() - at < 4) __builtin_trap();
        const unsigned char header[4] = {static_cast<unsigned char>(output[at]), static_cast<unsigned char>(output[at + 1]),
                                         static_cast<unsigned char>(output[at + 2]), static_cast<unsigned char>(output[at + 3])};
        const auto length = SimulatedMessageService::messageLength(header);
        if (!length || *length > output.size() - at - 4) __builtin_trap();
        at += 4 + *length;
    }
    return 0;
}
