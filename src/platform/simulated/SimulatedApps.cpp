#include "platform/simulated/SimulatedApps.h"

#include <algorithm>

namespace keldo {

namespace {

template <typename Apps>
auto position(Apps& apps, const std::string& bundleIdentifier) {
    return std::lower_bound(apps.begin(), apps.end(), bundleIdentifier,
                            [](const auto& installed, const std::string& id) { return installed.app.bundleIdentifier < id; });
}

} // namespace

SimulatedApps::SimulatedApps(std::uint64_t capacity) : capacity_(capacity) {}

void SimulatedApps::install(App app) {
    std::lock_guard lock(mutex_);
    auto at = position(apps_, app.bundleIdentifier);
    if (at != apps_.end() && at->app.bundleIdentifier == app.bundleIdentifier) {
        at->app = std::move(app);
        return;
    }
    auto container = std::make_shared<SimulatedFileSystem>();
    container->setCapacity(capacity_);
    for (const char* folder : {"/Documents", "/Library", "/tmp"}) container->addDirectory(folder);
    apps_.insert(at, Installed{std::move(app), std::move(container)});
}

bool SimulatedApps::remove(const std::string& bundleIdentifier) {
    std::lock_guard lock(mutex_);
    auto at = position(apps_, bundleIdentifier);
    if (at == apps_.end() || at->app.bundleIdentifier != bundleIdentifier) return false;
    apps_.erase(at);
    return true;
}

std::vector<SimulatedApps::App> SimulatedApps::list() const {
    std::lock_guard lock(mutex_);
    std::vector<App> apps;
    for (const auto& installed : apps_) apps.push_back(installed.app);
    return apps;
}

std::optional<SimulatedApps::App> SimulatedApps::find(const std::string& bundleIdentifier) const {
    std::lock_guard lock(mutex_);
    auto at = position(apps_, bundleIdentifier);
    if (at == apps_.end() || at->app.bundleIdentifier != bundleIdentifier) return std::nullopt;
    return at->app;
}

std::shared_ptr<SimulatedFileSystem> SimulatedApps::container(const std::string& bundleIdentifier) const {
    std::lock_guard lock(mutex_);
    auto at = position(apps_, bundleIdentifier);
    if (at == apps_.end() || at->app.bundleIdentifier != bundleIdentifier) return nullptr;
    return at->container;
}

} // namespace keldo
