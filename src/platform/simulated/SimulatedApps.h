#pragma once

#include "platform/simulated/SimulatedFileSystem.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

// The apps installed on one simulated device, each with its container: a file system of its own
// that holds the app's Documents, Library and tmp. The in-process backend and keldo-devsim serve
// them through installation_proxy (SimulatedInstallationProxy) and house_arrest
// (SimulatedHouseArrest). Safe to use from any thread; a container handed out stays usable after
// its app is removed, by whoever still holds it, and reaches nothing the device has.
class SimulatedApps {
public:
    struct App {
        std::string bundleIdentifier;
        std::string name;
        std::string version;
        // UIFileSharingEnabled: only such an app's folders are handed out by house_arrest.
        bool sharesDocuments = true;
    };

    // Each container may hold this much in its files together (see SimulatedFileSystem).
    explicit SimulatedApps(std::uint64_t capacity = 1ull << 30);

    // Installs an app. One that is there already is updated and keeps its files, as an update
    // on a device keeps them; a new one starts with empty Documents, Library and tmp.
    void install(App app);
    // Removes the app with its files; false when none has the identifier.
    bool remove(const std::string& bundleIdentifier);

    // The apps in the order of their identifiers.
    std::vector<App> list() const;
    std::optional<App> find(const std::string& bundleIdentifier) const;
    // The app's container, or null when no app has the identifier.
    std::shared_ptr<SimulatedFileSystem> container(const std::string& bundleIdentifier) const;

private:
    struct Installed {
        App app;
        std::shared_ptr<SimulatedFileSystem> container;
    };

    mutable std::mutex mutex_;
    std::uint64_t capacity_;
    std::vector<Installed> apps_;  // sorted by identifier
};

} // namespace keldo
