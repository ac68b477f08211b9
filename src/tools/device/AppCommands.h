#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class AMDevice;
class Console;

// keldo-device's apps command: the apps installed on a device, as its installation_proxy lists
// them, for choosing the app whose Documents --app opens.
class AppCommands {
public:
    struct App {
        std::string bundleIdentifier;
        std::optional<std::string> name;
        std::optional<std::string> version;
        // UIFileSharingEnabled: only such an app's Documents can be opened.
        bool sharesDocuments = false;
    };

    AppCommands(Console& console, bool json);

    // The user's apps that share their documents (with `all`, every one of the user's apps, and
    // whether it shares them), sorted by bundle identifier: identifier, name and version.
    int apps(AMDevice& device, bool all);

    // Asks the device's installation_proxy for the user's apps (Browse); none with `error` when
    // the service can't be started or refuses, or its answers break off or never end.
    static std::optional<std::vector<App>> browse(AMDevice& device, std::string& error);

    // A device that still has not said Complete after this many answers is taken as broken.
    static constexpr std::size_t kMaxAnswers = 100'000;

private:
    Console& console_;
    bool json_;
};

} // namespace keldo
