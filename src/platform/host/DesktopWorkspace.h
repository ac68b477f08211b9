#pragma once

#include "platform/Workspace.h"

#include <optional>

namespace keldo {

// The Linux desktop's workspace. A running application is an owned name on the session bus
// (desktop applications own their reverse-DNS identifier there); an application bundle is a
// directory whose Contents/Info.plist names the executable in Contents/MacOS/.
class DesktopWorkspace : public Workspace {
public:
    bool isApplicationRunning(const std::string& bundleIdentifier) override;
    bool fileExistsAtPath(const std::string& path) override;
    // Starts the executable detached (its own session, reaped by nobody but init), argv[0] being
    // the executable's path and the rest exactly `arguments`.
    bool launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) override;

    // The executable of the bundle at `path`, or none when Info.plist is missing, unreadable, or
    // names something outside Contents/MacOS/.
    static std::optional<std::string> bundleExecutablePath(const std::string& path);
};

} // namespace keldo
