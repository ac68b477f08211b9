#include "tools/devsim/StandardServices.h"

#include "tools/devsim/AfcSession.h"
#include "tools/devsim/DeviceStream.h"
#include "tools/devsim/DiagnosticsRelay.h"

namespace keldo {

namespace {

std::string udidOf(const SimulatedDeviceInfo& device) {
    auto domain = device.domains.find("");
    if (domain == device.domains.end()) return {};
    auto udid = domain->second.find("UniqueDeviceID");
    return udid != domain->second.end() && udid->second.text() ? *udid->second.text() : std::string();
}

} // namespace

ServiceRegistry StandardServices::make(FileSystems files) {
    ServiceRegistry services;
    for (const char* name : {kMedia, kCrashReports}) {
        services.add(name, [files, name](DeviceStream& stream, const SimulatedDeviceInfo& device) {
            AfcSession(files(udidOf(device), name)).serve(stream);
        });
    }
    // The reports are where the copy service finds them from the start.
    services.add(kCrashMover, [](DeviceStream& stream, const SimulatedDeviceInfo&) {
        if (stream.awaitThaw()) (void)stream.writeAll("ping", 4);
    });
    services.add(DiagnosticsRelay::kName, DiagnosticsRelay::serve, true);
    return services;
}

} // namespace keldo
