#include "agent/AppDelegate.h"

#include "device/AMDevice.h"
#include "monitor/DeviceMonitor.h"
#include "platform/RunLoop.h"
#include "platform/UserNotificationCenter.h"
#include "platform/Workspace.h"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace keldo {

namespace {

constexpr const char* kActionButtonTitle = "Launch";
constexpr const char* kLaunchArgument = "fromAgent";
constexpr std::int64_t kLowestRemindedMajorVersion = 5;
constexpr std::int64_t kWirelessInterfaceType = 2;
constexpr std::size_t kTextWhenListIsEmpty = 8;

const std::vector<std::string>& startTexts() {
    static const std::vector<std::string> texts = {
        "Going outside? Be sure to put some new Videos on your device!",
        "About to leave the house? Transfer new Music to device with KELDO!",
        "You still some free space on your device! Fill it up with KELDO",
        "New videos on your Mac? Take them on-the-go using KELDO!",
        "Have fear of long trips? No more. Put Videos on your device with KELDO!",
        "psst\u2026 KELDO can put custom .m4r ringtones on your device, try it?",
        "Bring the in-flight movies with you! Click here to start KELDO",
        "Hey! Drop a Ringtone, Music and Video all at once. KELDO will take it!",
        "With KELDO, it takes approx. 120 seconds to transfer a Movie. Try it!",
        "KELDO can drag & drop M4R ringtones in seconds. Try it.",
    };
    return texts;
}

std::time_t systemClock() { return std::time(nullptr); }

int systemRandom() { return std::rand(); }

} // namespace

AppDelegate::AppDelegate(std::shared_ptr<UserNotificationCenter> center, std::shared_ptr<Workspace> workspace,
                         Clock clock, RandomSource random)
    : center_(std::move(center)), workspace_(std::move(workspace)),
      clock_(clock ? std::move(clock) : Clock(systemClock)),
      random_(random ? std::move(random) : RandomSource(systemRandom)) {
    classState();
}

AppDelegate::ClassState& AppDelegate::classState() {
    static ClassState state{"xxx", startTexts()};
    return state;
}

void AppDelegate::initialize() { classState() = ClassState{"xxx", startTexts()}; }

void AppDelegate::applicationDidFinishLaunching() {
    // The monitor subscribes as soon as it has a listener; registering from a queued task lets launching
    // finish first, so no device event arrives before the notification centre knows its delegate.
    auto self = shared_from_this();
    RunLoop::main()->post([self] { DeviceMonitor::singleton()->setListener(self); });
    if (center_) center_->setDelegate(weak_from_this());
}

std::string AppDelegate::dayOfMonth(std::time_t moment) {
    std::tm local{};
    char text[8] = {};
    // A moment the calendar cannot hold matches no day, like the start value.
    if (!localtime_r(&moment, &local) || std::strftime(text, sizeof text, "%d", &local) == 0) return "xxx";
    return text;
}

std::int64_t AppDelegate::majorVersionOf(const std::optional<std::string>& productVersion) {
    if (!productVersion) return 0;
    const std::string& version = *productVersion;
    const std::string piece = version.substr(0, version.find('.'));
    if (piece.empty()) return 0;
    for (char c : piece)
        if (c < '0' || c > '9') return 0;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    // Digits too many for the integer still denote a number, and a large one.
    if (error == std::errc::result_out_of_range) return std::numeric_limits<std::int64_t>::max();
    if (error != std::errc() || end != piece.data() + piece.size()) return 0;
    return value;
}

void AppDelegate::deviceConnected(const std::shared_ptr<AMDevice>& device) {
    if (!device) return;
    const std::int64_t interfaceType = device->interfaceType();
    const std::optional<std::string> productVersion = device->productVersion();
    if (interfaceType == kWirelessInterfaceType) return;
    if (majorVersionOf(productVersion) < kLowestRemindedMajorVersion) return;

    const std::string day = dayOfMonth(clock_());
    ClassState& state = classState();
    if (day == state.lastReminderDay) return;
    // The day is used up from here on, also when the companion turns out to be running.
    state.lastReminderDay = day;

    auto self = shared_from_this();
    RunLoop::main()->post([self, name = device->deviceName()] { self->dispatchConnected(name); });
}

void AppDelegate::dispatchConnected(const std::optional<std::string>& deviceName) {
    // The text is chosen only once the running check has answered, so no value is drawn when the
    // companion runs.
    auto self = shared_from_this();
    isCompanionRunning([self, deviceName](bool running) {
        if (running) return;
        const std::vector<std::string>& texts = classState().reminderTexts;
        std::string text;
        if (texts.empty()) {
            text = startTexts()[kTextWhenListIsEmpty];
        } else {
            // rand() is never negative; a negative value from a substitute source must not index before the list.
            const int r = self->random_();
            const auto index = static_cast<std::size_t>(r < 0 ? -(static_cast<long long>(r)) : r) % texts.size();
            text = texts[index];
        }
        self->sendUserNotificationInfo(deviceName, text);
    });
}

void AppDelegate::sendUserNotificationInfo(const std::optional<std::string>& title, const std::string& text) {
    UserNotification notification;
    notification.title = title;
    notification.informativeText = text;
    notification.hasActionButton = true;
    notification.actionButtonTitle = kActionButtonTitle;
    if (center_) center_->scheduleNotification(notification);
}

bool AppDelegate::userNotificationCenterShouldPresentNotification(UserNotificationCenter& /*center*/,
                                                                  const UserNotification& /*notification*/) {
    return true;
}

void AppDelegate::userNotificationCenterDidActivateNotification(UserNotificationCenter& /*center*/,
                                                                const UserNotification& notification) {
    if (notification.activationType != UserNotificationActivationType::actionButtonClicked) return;
    auto self = shared_from_this();
    isCompanionRunning([self](bool running) {
        if (running) return;
        Workspace* workspace = self->workspace_.get();
        if (!workspace || !workspace->fileExistsAtPath(kCompanionApplicationPath)) return;
        // A failed launch is not looked at: the user can press again.
        workspace->launchApplicationAtPath(kCompanionApplicationPath, {kLaunchArgument});
    });
}

void AppDelegate::isCompanionRunning(std::function<void(bool)> answer) {
    if (!workspace_) {
        answer(false);
        return;
    }
    workspace_->isApplicationRunning(kCompanionBundleIdentifier, std::move(answer));
}

} // namespace keldo
