#pragma once

#include "platform/UserNotification.h"
#include "platform/UserNotificationCenterDelegate.h"

#include <memory>

namespace keldo {

// Shows user notifications and reports their activation to its delegate, on the main thread.
// The centre does not own its delegate.
class UserNotificationCenter {
public:
    virtual ~UserNotificationCenter() = default;

    virtual void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) = 0;
    virtual void scheduleNotification(const UserNotification& notification) = 0;
};

} // namespace keldo
