#pragma once

#include "platform/simulated/SimulatedBackend.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace keldo {

// The device services the simulator can start, by name. A handler is given the raw connection of
// a client that has reached the started service (a blocking socket, closed by the simulator once
// the handler returns) and the device it runs on; it serves until the client or the device goes.
class ServiceRegistry {
public:
    using Handler = std::function<void(int fd, const SimulatedDeviceInfo& device)>;

    void add(const std::string& name, Handler handler) { handlers_[name] = std::move(handler); }
    std::optional<Handler> find(const std::string& name) const {
        auto it = handlers_.find(name);
        if (it == handlers_.end()) return std::nullopt;
        return it->second;
    }

private:
    std::map<std::string, Handler> handlers_;
};

} // namespace keldo
