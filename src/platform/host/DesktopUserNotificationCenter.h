#pragma once

#include "platform/UserNotificationCenter.h"

#include <memory>

namespace keldo {

// User notifications as freedesktop desktop notifications, sent to org.freedesktop.Notifications
// on the session bus with asynchronous calls: a notification server that hangs holds up nothing.
// Each one is sent as coming from "Keldo", with a freedesktop icon name and the name of the
// agent's installed desktop file. A click on the body is activation type 1, the action button
// type 2; an answered notification is closed. Use it on the main thread only.
class DesktopUserNotificationCenter : public UserNotificationCenter {
public:
    DesktopUserNotificationCenter();
    ~DesktopUserNotificationCenter() override;
    DesktopUserNotificationCenter(const DesktopUserNotificationCenter&) = delete;
    DesktopUserNotificationCenter& operator=(const DesktopUserNotificationCenter&) = delete;

    void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) override;
    // Returns at once. No notification server, or no session bus: one log line, nothing shown.
    void scheduleNotification(const UserNotification& notification) override;

    // Notifications sent or shown, and not yet closed by the server or failed.
    std::size_t liveNotifications() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace keldo
