#pragma once

#include "monitor/DeviceListener.h"
#include "platform/ApplicationDelegate.h"
#include "platform/UserNotificationCenterDelegate.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class UserNotificationCenter;
class Workspace;

inline constexpr const char* kCompanionBundleIdentifier = "com.keldo.Keldo";
inline constexpr const char* kCompanionApplicationPath = "/Applications/Keldo.app";

// The reminder agent: the application's delegate, the device monitor's listener and the delegate of
// the user-notification centre. At most once per day of the month an attached device earns a
// reminder to start the companion application; the reminder's button starts it.
class AppDelegate : public ApplicationDelegate,
                    public DeviceListener,
                    public UserNotificationCenterDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
public:
    // The current moment, in seconds since the epoch.
    using Clock = std::function<std::time_t()>;
    // One value of the process's pseudo-random sequence, never negative.
    using RandomSource = std::function<int()>;

    // Null sources take the system's clock and rand().
    AppDelegate(std::shared_ptr<UserNotificationCenter> center, std::shared_ptr<Workspace> workspace,
                Clock clock = nullptr, RandomSource random = nullptr);

    // Class-wide state, shared by every instance and set up once, on first use.
    struct ClassState {
        std::string lastReminderDay;
        std::vector<std::string> reminderTexts;
    };
    static ClassState& classState();
    // Sets the class-wide state to its start values ("xxx" and the ten texts).
    static void initialize();

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override {}

    bool providesDeviceConnected() const override { return true; }
    void deviceConnected(const std::shared_ptr<AMDevice>& device) override;
    bool providesDeviceDisconnected() const override { return true; }
    void deviceDisconnected(const std::shared_ptr<AMDevice>& /*device*/) override {}

    void dispatchConnected(const std::optional<std::string>& deviceName);
    void sendUserNotificationInfo(const std::optional<std::string>& title, const std::string& text);

    bool userNotificationCenterShouldPresentNotification(UserNotificationCenter& center,
                                                         const UserNotification& notification) override;
    void userNotificationCenterDidActivateNotification(UserNotificationCenter& center,
                                                       const UserNotification& notification) override;

    // Asks the workspace; the answer may come later, on the main loop, which never waits for it.
    void isCompanionRunning(std::function<void(bool)> answer);

    // The day of the month of `moment` as two digits, in local time.
    static std::string dayOfMonth(std::time_t moment);
    // The major version of a product version: its first "."-piece read as a decimal number, 0 when
    // absent or not a number.
    static std::int64_t majorVersionOf(const std::optional<std::string>& productVersion);

private:
    std::shared_ptr<UserNotificationCenter> center_;
    std::shared_ptr<Workspace> workspace_;
    Clock clock_;
    RandomSource random_;
};

} // namespace keldo
