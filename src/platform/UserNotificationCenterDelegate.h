#pragma once

#include "platform/UserNotification.h"

namespace keldo {

class UserNotificationCenter;

// Asked before a notification is shown, and told when the user answers one.
class UserNotificationCenterDelegate {
public:
    virtual ~UserNotificationCenterDelegate() = default;

    virtual bool userNotificationCenterShouldPresentNotification(UserNotificationCenter& center,
                                                                 const UserNotification& notification) = 0;
    virtual void userNotificationCenterDidActivateNotification(UserNotificationCenter& center,
                                                               const UserNotification& notification) = 0;
};

} // namespace keldo
