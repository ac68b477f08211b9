#pragma once

#include "platform/simulated/SimulatedBackend.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace keldo {

class DeviceStream;

// The device services the simulator can start, by name, and whether each runs in TLS (lockdownd
// answers EnableServiceSSL as the entry says, and the client's handshake comes before any byte of
// the service). A handler is given the stream of a client that has reached the started service,
// in TLS or not, and the device it runs on; it serves until the client or the device goes, and
// the simulator closes the connection once it returns.
class ServiceRegistry {
public:
    using Handler = std::function<void(DeviceStream& stream, const SimulatedDeviceInfo& device)>;
    struct Service {
        Handler handler;
        bool tls = false;
    };

    // Adds a service, or replaces the one of that name.
    void add(const std::string& name, Handler handler, bool tls = false) { services_[name] = {std::move(handler), tls}; }
    // Adds those of `others` whose names this one does not hold.
    void addMissing(const ServiceRegistry& others) { services_.insert(others.services_.begin(), others.services_.end()); }
    std::optional<Service> find(const std::string& name) const {
        auto it = services_.find(name);
        if (it == services_.end()) return std::nullopt;
        return it->second;
    }

private:
    std::map<std::string, Service> services_;
};

} // namespace keldo
