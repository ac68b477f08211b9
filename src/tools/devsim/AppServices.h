#pragma once

#include "platform/simulated/SimulatedApps.h"
#include "platform/simulated/SimulatedMessageService.h"
#include "tools/devsim/ServiceRegistry.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace keldo {

class DeviceStream;

// The apps of the simulated devices, by udid, and the two services that reach them, for the
// registry: installation_proxy (SimulatedInstallationProxy) and house_arrest
// (SimulatedHouseArrest), which turns its connection into AFC over the app's container once it
// has handed it over. A device's apps are kept for the simulator's life, as its media are: they
// outlive detaching, and its USB and network connections reach the same ones.
class AppServices {
public:
    // Each app's container holds at most `capacity` bytes in its files together.
    explicit AppServices(std::uint64_t capacity = 1ull << 30);

    // Adds both services to the registry; they serve the apps of the device they run on.
    static void addTo(ServiceRegistry& registry, const std::shared_ptr<AppServices>& apps);

    // The apps of the device with this udid, none installed when first asked for.
    std::shared_ptr<SimulatedApps> appsOf(const std::string& udid);

    // Serves one client of a played service: its messages until it goes, breaks the framing or is
    // handed over to AFC, and then AFC over what was handed over. A frozen device answers each
    // message once it is thawed.
    static void serve(SimulatedMessageService& service, DeviceStream& stream);

private:
    std::mutex mutex_;
    const std::uint64_t capacity_;
    std::map<std::string, std::shared_ptr<SimulatedApps>> apps_;
};

} // namespace keldo
