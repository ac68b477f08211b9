#pragma once

#include "platform/plist/PlistValue.h"
#include "platform/simulated/SimulatedBackend.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace keldo {

// One client's conversation with a simulated device's lockdownd (port 62078): each message is a
// 4-byte big-endian length and an XML property list. It answers QueryType, GetValue (by domain and
// key; no key gives the whole domain), ValidatePair, StartSession and StopSession (sessions without
// TLS), StartService ("InvalidService" for what the simulator does not offer) and Goodbye.
class LockdownSession {
public:
    // Starts a named service and gives its port, or none when there is no such service.
    using ServiceStarter = std::function<std::optional<std::uint16_t>(const std::string& name)>;

    LockdownSession(SimulatedDeviceInfo device, ServiceStarter startService);

    // The reply to one request. Anything that is no dictionary with a text "Request" gets an error
    // reply; nothing a client sends can stop the session but Goodbye.
    PlistValue::Dictionary reply(const PlistRef& request);
    bool finished() const { return finished_; }

    // Framing: the announced length of a message (none when it is empty or too large), and a
    // framed message.
    static std::optional<std::uint32_t> messageLength(const std::uint8_t header[4]);
    static std::string frame(const PlistValue& message);
    static constexpr std::uint32_t kMaxMessage = 1024 * 1024;

    static constexpr std::uint16_t kPort = 62078;
    // What a paired host's record holds.
    static constexpr const char* kHostId = "5E1D2C3B-KELD-0SIM-HOST-000000000001";
    static constexpr const char* kSystemBuid = "5E1D2C3B-KELD-0SIM-BUID-000000000001";

private:
    PlistValue::Dictionary getValue(const PlistValue& request);

    SimulatedDeviceInfo device_;
    ServiceStarter startService_;
    std::optional<std::string> session_;
    int sessions_ = 0;
    bool finished_ = false;
};

} // namespace keldo
