// Feeds arbitrary bytes to a simulated lockdownd as one client's stream of framed requests (4-byte
// big-endian length, XML or binary property list), each answered as the simulator answers it: values,
// sessions, services, and pairing, whose requests carry certificates that the device parses.
// Every input must end in replies or a refused frame, with no crash, leak or hang.
#include "platform/plist/PlistBinary.h"
#include "platform/plist/PlistFile.h"
#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/LockdownSession.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace keldo;
    static const std::shared_ptr<const DeviceKey> key = [] {
        std::string error;
        auto made = DeviceKey::generate(error);
        if (!made) std::abort();
        return made;
    }();
    auto device = std::make_shared<DeviceState>(SimulatedDeviceInfo::iPhone("fuzz-1", "Fuzz", "9.0"), key);
    // The user has said yes: pairing requests go as far as the device's checks take them. Two
    // hosts are trusted already, so that sessions start and what needs one is reached.
    device->answerPrompt(DeviceState::Prompt::Trusted);
    (void)device->trust("H-1", {});
    (void)device->trust(LockdownSession::kHostId, {});
    LockdownSession session(device, [](const std::string& name, const DeviceState::Certificates&) -> std::optional<LockdownSession::StartedService> {
        if (name == "com.apple.afc") return LockdownSession::StartedService{49152, false};
        return std::nullopt;
    });
    std::size_t at = 0;
    while (!session.finished() && size - at >= 4) {
        const auto length = LockdownSession::messageLength(data + at);
        if (!length || *length > size - at - 4) break;
        const auto* body = reinterpret_cast<const char*>(data + at + 4);
        const std::string reply = LockdownSession::frame(session.reply(PlistFile::fromBytes(body, *length)),
                                                         PlistBinary::isBinary(body, *length));
        if (reply.size() < 4) __builtin_trap();
        at += 4 + *length;
    }
    return 0;
}
