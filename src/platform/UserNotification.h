#pragma once

#include <optional>
#include <string>

namespace keldo {

// How the user answered a notification.
enum class UserNotificationActivationType : int {
    none = 0,
    contentsClicked = 1,      // a click on the body
    actionButtonClicked = 2,  // the action button
};

// One desktop notification: what is shown, and, once the user answered, how.
struct UserNotification {
    std::optional<std::string> title;
    std::optional<std::string> informativeText;
    bool hasActionButton = false;
    std::string actionButtonTitle;
    UserNotificationActivationType activationType = UserNotificationActivationType::none;
};

} // namespace keldo
