#pragma once

#include "platform/simulated/SimulatedFileSystem.h"
#include "tools/devsim/ServiceRegistry.h"

#include <functional>
#include <memory>
#include <string>

namespace keldo {

// The services every simulated device offers, as a device runs them: AFC over its media
// ("com.apple.afc") and over its crash reports ("com.apple.crashreportcopymobile"), both plain;
// the crash report mover, which tells its client with a "ping" that the reports are ready (plain);
// and the diagnostics relay, in TLS.
class StandardServices {
public:
    // The file system of a device's AFC service, by udid and service name.
    using FileSystems = std::function<std::shared_ptr<SimulatedFileSystem>(const std::string& udid, const std::string& service)>;

    static ServiceRegistry make(FileSystems files);

    static constexpr const char* kMedia = "com.apple.afc";
    static constexpr const char* kCrashReports = "com.apple.crashreportcopymobile";
    static constexpr const char* kCrashMover = "com.apple.crashreportmover";
};

} // namespace keldo
