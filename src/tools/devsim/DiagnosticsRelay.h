#pragma once

#include "platform/plist/PlistValue.h"
#include "platform/simulated/SimulatedBackend.h"

namespace keldo {

class DeviceStream;

// The diagnostics relay ("com.apple.mobile.diagnostics_relay"), a service that runs in TLS and
// speaks lockdownd's framing (a 4-byte big-endian length and a property list, XML or binary,
// each reply in the form of its request) as most
// services of a device do. It answers MobileGestalt with the device's values of the keys asked
// for, and Goodbye, after which it ends; any other request is "UnknownRequest".
class DiagnosticsRelay {
public:
    static constexpr const char* kName = "com.apple.mobile.diagnostics_relay";

    // Serves a client until it says Goodbye, goes, or breaks the framing.
    static void serve(DeviceStream& stream, const SimulatedDeviceInfo& device);
    // The reply to one request; `finished` is set by Goodbye.
    static PlistValue::Dictionary reply(const PlistRef& request, const SimulatedDeviceInfo& device, bool& finished);
};

} // namespace keldo
