#pragma once

#include "platform/UserNotificationCenter.h"

#include <map>
#include <memory>
#include <string>

namespace keldo {

// User notifications as freedesktop desktop notifications on the session bus (libnotify). A click on
// the body is activation type 1, the action button type 2. Use it on the main thread only: libnotify
// delivers actions and "closed" through the main context of the thread that first showed one.
class DesktopUserNotificationCenter : public UserNotificationCenter {
public:
    explicit DesktopUserNotificationCenter(std::string applicationName);
    ~DesktopUserNotificationCenter() override;
    DesktopUserNotificationCenter(const DesktopUserNotificationCenter&) = delete;
    DesktopUserNotificationCenter& operator=(const DesktopUserNotificationCenter&) = delete;

    void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) override;
    // No notification server, or no session bus: one log line, nothing shown.
    void scheduleNotification(const UserNotification& notification) override;

    // Notifications shown and not yet closed by the server.
    std::size_t liveNotifications() const { return live_.size(); }

private:
    struct Live;
    static void onAction(void* notification, char* action, void* data);
    static void onClosed(void* notification, void* data);
    void activated(Live& live, const std::string& action);
    void closed(Live& live);

    std::weak_ptr<UserNotificationCenterDelegate> delegate_;
    std::map<Live*, std::unique_ptr<Live>> live_;
};

} // namespace keldo
