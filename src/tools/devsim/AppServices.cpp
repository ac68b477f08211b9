#include "tools/devsim/AppServices.h"

#include "platform/simulated/SimulatedHouseArrest.h"
#include "platform/simulated/SimulatedInstallationProxy.h"
#include "tools/devsim/AfcSession.h"
#include "tools/devsim/DeviceStream.h"

namespace keldo {

AppServices::AppServices(std::uint64_t capacity) : capacity_(capacity) {}

void AppServices::addTo(ServiceRegistry& registry, const std::shared_ptr<AppServices>& apps) {
    registry.add(SimulatedInstallationProxy::kServiceName, [apps](DeviceStream& stream, const SimulatedDeviceInfo& device) {
        SimulatedInstallationProxy service(apps->appsOf(device.udid().value_or("")));
        serve(service, stream);
    });
    registry.add(SimulatedHouseArrest::kServiceName, [apps](DeviceStream& stream, const SimulatedDeviceInfo& device) {
        SimulatedHouseArrest service(apps->appsOf(device.udid().value_or("")));
        serve(service, stream);
    });
}

std::shared_ptr<SimulatedApps> AppServices::appsOf(const std::string& udid) {
    std::lock_guard lock(mutex_);
    auto& apps = apps_[udid];
    if (!apps) apps = std::make_shared<SimulatedApps>(capacity_);
    return apps;
}

void AppServices::serve(SimulatedMessageService& service, DeviceStream& stream) {
    // One whole message at a time, so that nothing of what may follow a hand-over is read here.
    while (!service.handedOver()) {
        unsigned char header[4];
        if (!stream.readExactly(header, sizeof header)) return;
        const auto length = SimulatedMessageService::messageLength(header);
        if (!length) return;
        std::string input(reinterpret_cast<const char*>(header), sizeof header);
        input.resize(sizeof header + *length);
        if (DeviceStream::MessageUnderway underway(stream); !stream.readExactly(input.data() + sizeof header, *length)) return;
        if (!stream.awaitThaw()) return;
        std::string output;
        if (!service.receive(input, output) || !stream.writeAll(output.data(), output.size())) return;
    }
    AfcSession(service.handedOver()).serve(stream);
}

} // namespace keldo
