#include "platform/host/DesktopUserNotificationCenter.h"

#include "platform/SystemLog.h"

#include <libnotify/notify.h>

namespace keldo {

namespace {

constexpr const char* kDefaultAction = "default";
constexpr const char* kButtonAction = "launch";

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

} // namespace

// One shown notification, kept alive until the server closes it or the centre goes.
struct DesktopUserNotificationCenter::Live {
    DesktopUserNotificationCenter* center = nullptr;
    UserNotification notification;
    std::unique_ptr<NotifyNotification, GObjectUnref> handle;
    gulong closedHandler = 0;
};

DesktopUserNotificationCenter::DesktopUserNotificationCenter(std::string applicationName) {
    // Touches no bus: the first D-Bus call is the first show.
    if (!notify_is_initted()) notify_init(applicationName.c_str());
}

DesktopUserNotificationCenter::~DesktopUserNotificationCenter() {
    for (auto& [key, live] : live_) {
        if (live->closedHandler) g_signal_handler_disconnect(live->handle.get(), live->closedHandler);
        notify_notification_clear_actions(live->handle.get());
    }
    live_.clear();
}

void DesktopUserNotificationCenter::setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) {
    delegate_ = std::move(delegate);
}

void DesktopUserNotificationCenter::scheduleNotification(const UserNotification& notification) {
    if (auto delegate = delegate_.lock()) {
        if (!delegate->userNotificationCenterShouldPresentNotification(*this, notification)) return;
    }
    auto live = std::make_unique<Live>();
    live->center = this;
    live->notification = notification;
    const std::string title = notification.title.value_or("");
    const std::string body = notification.informativeText.value_or("");
    live->handle.reset(notify_notification_new(title.c_str(), body.empty() ? nullptr : body.c_str(), nullptr));
    if (!live->handle) {
        logLine("user notification not shown: libnotify made none");
        return;
    }
    NotifyNotification* handle = live->handle.get();
    // The label of the body-click action is never shown, but must not be empty.
    notify_notification_add_action(handle, kDefaultAction, "Open", NOTIFY_ACTION_CALLBACK(onAction), live.get(),
                                   nullptr);
    if (notification.hasActionButton) {
        const std::string label = notification.actionButtonTitle.empty() ? "OK" : notification.actionButtonTitle;
        notify_notification_add_action(handle, kButtonAction, label.c_str(), NOTIFY_ACTION_CALLBACK(onAction),
                                       live.get(), nullptr);
    }
    live->closedHandler = g_signal_connect(handle, "closed", G_CALLBACK(onClosed), live.get());

    GError* rawError = nullptr;
    const bool shown = notify_notification_show(handle, &rawError);
    std::unique_ptr<GError, GErrorFree> error(rawError);
    if (!shown) {
        logLine("user notification not shown: {}", error ? error->message : "unknown error");
        g_signal_handler_disconnect(handle, live->closedHandler);
        notify_notification_clear_actions(handle);
        return;
    }
    Live* key = live.get();
    live_.emplace(key, std::move(live));
}

void DesktopUserNotificationCenter::onAction(void* /*notification*/, char* action, void* data) {
    auto* live = static_cast<Live*>(data);
    live->center->activated(*live, action ? action : "");
}

void DesktopUserNotificationCenter::onClosed(void* /*notification*/, void* data) {
    auto* live = static_cast<Live*>(data);
    live->center->closed(*live);
}

void DesktopUserNotificationCenter::activated(Live& live, const std::string& action) {
    UserNotification answered = live.notification;
    answered.activationType = action == kButtonAction ? UserNotificationActivationType::actionButtonClicked
                                                      : UserNotificationActivationType::contentsClicked;
    if (auto delegate = delegate_.lock()) delegate->userNotificationCenterDidActivateNotification(*this, answered);
    // Some servers keep an answered popup and never report it closed; an answered notification is done.
    auto it = live_.find(&live);
    if (it != live_.end()) notify_notification_close(it->second->handle.get(), nullptr);
}

void DesktopUserNotificationCenter::closed(Live& live) {
    auto it = live_.find(&live);
    if (it == live_.end()) return;
    // Released after the signal has returned: libnotify still uses the object while emitting.
    Live* key = it->first;
    std::unique_ptr<Live> owned = std::move(it->second);
    live_.erase(it);
    g_signal_handler_disconnect(owned->handle.get(), owned->closedHandler);
    owned->closedHandler = 0;
    notify_notification_clear_actions(owned->handle.get());
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, [](gpointer p) -> gboolean {
        delete static_cast<Live*>(p);
        return G_SOURCE_REMOVE;
    }, owned.release(), nullptr);
    (void)key;
}

} // namespace keldo
