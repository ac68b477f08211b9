// Feeds arbitrary bytes to a simulated lockdownd as one client's stream of framed requests (4-byte
// big-endian length, XML property list), each answered as the simulator answers it. Every input
// must end in replies or a refused frame, with no crash, leak or hang.
#include "platform/plist/PlistXml.h"
#include "tools/devsim/LockdownSession.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace keldo;
    LockdownSession session(SimulatedDeviceInfo::iPhone("fuzz-1", "Fuzz", "9.0"),
                            [](const std::string& name) -> std::optional<std::uint16_t> {
                                if (name == "com.apple.afc") return 49152;
                                return std::nullopt;
                            });
    std::size_t at = 0;
    while (!session.finished() && size - at >= 4) {
        const auto length = LockdownSession::messageLength(data + at);
        if (!length || *length > size - at - 4) break;
        const auto* body = reinterpret_cast<const char*>(data + at + 4);
        const std::string reply = LockdownSession::frame(session.reply(PlistXml::fromXml(body, *length)));
        if (reply.size() < 4) __builtin_trap();
        at += 4 + *length;
    }
    return 0;
}
