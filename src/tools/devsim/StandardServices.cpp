#include "tools/devsim/StandardServices.h"

#include "tools/devsim/AfcSession.h"
#include "tools/devsim/DeviceStream.h"
#include "tools/devsim/DiagnosticsRelay.h"

namespace keldo {

ServiceRegistry StandardServices::make(FileSystems files) {
    ServiceRegistry services;
    for (const char* name : {kMedia, kCrashReports}) {
        services.add(name, [files, name](DeviceStream& stream, const SimulatedDeviceInfo& device) {
            AfcSession(files(device.udid().value_or(""), name)).serve(stream);
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
