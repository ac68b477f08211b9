#pragma once

#include "platform/Workspace.h"

#include <memory>

namespace keldo {

class SessionBus;

// The Linux desktop's workspace. A running application is an owned name on the session bus
// (desktop applications own their reverse-DNS identifier there), asked without waiting; an
// application bundle is a directory whose Contents/Info.plist (XML or binary) names the
// executable in Contents/MacOS/. Use it on the main thread.
class DesktopWorkspace : public Workspace {
public:
    DesktopWorkspace();
    ~DesktopWorkspace() override;
    DesktopWorkspace(const DesktopWorkspace&) = delete;
    DesktopWorkspace& operator=(const DesktopWorkspace&) = delete;

    // No session bus, or no answer within five seconds: one log line, and not running.
    void isApplicationRunning(const std::string& bundleIdentifier, std::function<void(bool)> answer) override;
    bool fileExistsAtPath(const std::string& path) override;
    // Starts the executable detached (its own session, reaped by nobody but init), argv[0] being
    // the executable's path and the rest exactly `arguments`. A bundle whose Info.plist is
    // unreadable or names anything but a plain file name is refused with one log line.
    bool launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) override;

private:
    std::unique_ptr<SessionBus> bus_;
};

} // namespace keldo
