#include "platform/host/DesktopUserNotificationCenter.h"

#include "platform/host/SessionBus.h"
#include "platform/SystemLog.h"

#include <gio/gio.h>

#include <map>

namespace keldo {

namespace {

constexpr const char* kServer = "org.freedesktop.Notifications";
constexpr const char* kServerPath = "/org/freedesktop/Notifications";
// How the agent shows up on the desktop: its name, a standard freedesktop icon name, and its
// desktop file as installed (share/applications/keldo-agent.desktop).
constexpr const char* kApplicationName = "Keldo";
constexpr const char* kIconName = "phone";
constexpr const char* kDesktopEntry = "keldo-agent";
constexpr const char* kDefaultAction = "default";
constexpr const char* kButtonAction = "launch";
constexpr int kDefaultTimeout = -1;

const SessionBus::Method kNotify{kServer, kServerPath, kServer, "Notify"};
const SessionBus::Method kCloseNotification{kServer, kServerPath, kServer, "CloseNotification"};

} // namespace

struct DesktopUserNotificationCenter::State {
    UserNotificationCenter* center = nullptr;
    std::weak_ptr<UserNotificationCenterDelegate> delegate;
    SessionBus bus;
    std::size_t sending = 0;
    std::map<guint32, UserNotification> shown;  // by the server's id

    void actionInvoked(guint32 id, const std::string& action) {
        auto it = shown.find(id);
        if (it == shown.end()) return;
        // Kept until the server reports it closed: an answer may come before the close takes effect.
        UserNotification answered = it->second;
        answered.activationType = action == kButtonAction ? UserNotificationActivationType::actionButtonClicked
                                                          : UserNotificationActivationType::contentsClicked;
        if (auto d = delegate.lock()) d->userNotificationCenterDidActivateNotification(*center, answered);
        // Some servers keep an answered popup and never report it closed; an answered notification is done.
        bus.call(kCloseNotification, g_variant_new("(u)", id), nullptr, kDefaultTimeout, nullptr);
    }
};

DesktopUserNotificationCenter::DesktopUserNotificationCenter() : state_(std::make_shared<State>()) {
    state_->center = this;
    std::weak_ptr<State> weak = state_;
    state_->bus.subscribe(kServer, kServer, "ActionInvoked", kServerPath, [weak](GVariant* parameters) {
        auto state = weak.lock();
        if (!state || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) return;
        guint32 id = 0;
        const gchar* action = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &action);
        state->actionInvoked(id, action);
    });
    state_->bus.subscribe(kServer, kServer, "NotificationClosed", kServerPath, [weak](GVariant* parameters) {
        auto state = weak.lock();
        if (!state || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) return;
        guint32 id = 0, reason = 0;
        g_variant_get(parameters, "(uu)", &id, &reason);
        state->shown.erase(id);
    });
}

DesktopUserNotificationCenter::~DesktopUserNotificationCenter() = default;

void DesktopUserNotificationCenter::setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) {
    state_->delegate = std::move(delegate);
}

void DesktopUserNotificationCenter::scheduleNotification(const UserNotification& notification) {
    if (auto delegate = state_->delegate.lock()) {
        if (!delegate->userNotificationCenterShouldPresentNotification(*this, notification)) return;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    // The body click's label is never shown, but must not be empty.
    g_variant_builder_add(&actions, "s", kDefaultAction);
    g_variant_builder_add(&actions, "s", "Open");
    if (notification.hasActionButton) {
        g_variant_builder_add(&actions, "s", kButtonAction);
        g_variant_builder_add(&actions, "s",
                              notification.actionButtonTitle.empty() ? "OK" : notification.actionButtonTitle.c_str());
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(kDesktopEntry));
    const std::string title = notification.title.value_or("");
    const std::string body = notification.informativeText.value_or("");
    GVariant* arguments = g_variant_new("(susssasa{sv}i)", kApplicationName, 0u, kIconName, title.c_str(),
                                        body.c_str(), &actions, &hints, -1);

    ++state_->sending;
    std::weak_ptr<State> weak = state_;
    state_->bus.call(kNotify, arguments, G_VARIANT_TYPE("(u)"), kDefaultTimeout,
                     [weak, notification](GVariant* reply, const std::string& error) {
                         auto state = weak.lock();
                         if (!state) return;
                         --state->sending;
                         if (!reply) {
                             logLine("user notification not shown: {}", error);
                             return;
                         }
                         guint32 id = 0;
                         g_variant_get(reply, "(u)", &id);
                         state->shown.insert_or_assign(id, notification);
                     });
}

std::size_t DesktopUserNotificationCenter::liveNotifications() const {
    return state_->sending + state_->shown.size();
}

} // namespace keldo
