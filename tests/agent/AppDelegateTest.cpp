#include "agent/AppDelegate.h"

#include "agent/FakeHost.h"
#include "device/AMDevice.h"
#include "monitor/DeviceMonitor.h"
#include "support/SimulatedPlatform.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::FakeUserNotificationCenter;
using testing::FakeWorkspace;

// The agent after launch, listening to the monitor, with a settable clock and random sequence.
class AppDelegateTest : public testing::SimulatedPlatform {
protected:
    AppDelegateTest() {
        DeviceMonitor::resetSingletonForTesting();
        AppDelegate::initialize();
        workspace->files.insert(kCompanionApplicationPath);
        agent->applicationDidFinishLaunching();
        loop->runPending();
    }
    ~AppDelegateTest() override {
        DeviceMonitor::resetSingletonForTesting();
        AppDelegate::initialize();
    }

    // Attaches a phone and runs the main queue, as the main loop would.
    void attach(std::optional<std::string> version, std::int32_t interfaceType = 1,
                std::optional<std::string> name = "Anna's iPhone") {
        sim->attach(addPhone(std::move(name), std::move(version), interfaceType));
        loop->runPending();
    }

    std::size_t shown() const { return center->scheduled.size(); }

    // A moment of 2024 in local time, noon unless told.
    static std::time_t on(int month, int day, int hour = 12, int minute = 0) {
        std::tm local{};
        local.tm_year = 2024 - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_isdst = -1;
        return std::mktime(&local);
    }

    std::time_t now = on(1, 4);
    std::vector<int> randoms = {23, 7, 1, 2, 3};
    int draws = 0;
    std::shared_ptr<FakeUserNotificationCenter> center = std::make_shared<FakeUserNotificationCenter>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<AppDelegate> agent = std::make_shared<AppDelegate>(
        center, workspace, [this] { return now; }, [this] { return randoms.at(draws++); });
};

using AppDelegateLaunching = AppDelegateTest;

TEST_F(AppDelegateLaunching, BecomesCentreDelegateAtOnceAndListenerOnlyFromTheMainQueue) {
    DeviceMonitor::resetSingletonForTesting();
    auto fresh = std::make_shared<AppDelegate>(center, workspace);
    fresh->applicationDidFinishLaunching();
    EXPECT_EQ(center->delegate.lock(), fresh);
    EXPECT_EQ(DeviceMonitor::singleton()->listener(), nullptr);
    EXPECT_FALSE(DeviceMonitor::singleton()->isSubscribed());

    loop->runPending();
    EXPECT_EQ(DeviceMonitor::singleton()->listener(), fresh);
    EXPECT_TRUE(DeviceMonitor::singleton()->isSubscribed());
}

using AppDelegateInterface = AppDelegateTest;

TEST_F(AppDelegateInterface, WirelessDeviceShowsNothingAndKeepsTheDay) {
    attach("9.1", 2);
    EXPECT_EQ(shown(), 0u);
    EXPECT_EQ(AppDelegate::classState().lastReminderDay, "xxx");
    attach("9.1", 1);
    EXPECT_EQ(shown(), 1u);
}

using AppDelegateVersion = AppDelegateTest;

TEST_F(AppDelegateVersion, MajorVersionIsTheFirstPieceAsADecimalNumber) {
    EXPECT_EQ(AppDelegate::majorVersionOf("4.3.5"), 4);
    EXPECT_EQ(AppDelegate::majorVersionOf("4"), 4);
    EXPECT_EQ(AppDelegate::majorVersionOf("5.0"), 5);
    EXPECT_EQ(AppDelegate::majorVersionOf("5"), 5);
    EXPECT_EQ(AppDelegate::majorVersionOf("10.2"), 10);
    EXPECT_EQ(AppDelegate::majorVersionOf(""), 0);
    EXPECT_EQ(AppDelegate::majorVersionOf(std::nullopt), 0);
    EXPECT_EQ(AppDelegate::majorVersionOf("beta.1"), 0);
    EXPECT_EQ(AppDelegate::majorVersionOf(".5"), 0);
    EXPECT_EQ(AppDelegate::majorVersionOf("-7.0"), 0);
    EXPECT_GT(AppDelegate::majorVersionOf("99999999999999999999999.1"), 5);
}

TEST_F(AppDelegateVersion, BelowFiveAbsentOrNotANumberShowNothingAndKeepTheDay) {
    attach("4.3.5");
    attach(std::nullopt);
    EXPECT_EQ(shown(), 0u);
    EXPECT_EQ(AppDelegate::classState().lastReminderDay, "xxx");
}

using AppDelegateDay = AppDelegateTest;

TEST_F(AppDelegateDay, FirstPassingDeviceAfterStartIsRemindedWithItsNameAndTheButton) {
    attach("7.1", 1, "Bob's iPad");
    ASSERT_EQ(shown(), 1u);
    const UserNotification& n = center->scheduled[0];
    EXPECT_EQ(n.title, "Bob's iPad");
    EXPECT_TRUE(n.hasActionButton);
    EXPECT_EQ(n.actionButtonTitle, "Launch");
    EXPECT_EQ(AppDelegate::classState().lastReminderDay, "04");
    EXPECT_THAT(center->presented, ElementsAre(true));
}

TEST_F(AppDelegateDay, OnlyTheDayOfTheMonthInLocalTimeCounts) {
    const struct {
        std::time_t moment;
        bool reminded;
    } attaches[] = {
        {on(1, 5, 0, 1), true},    // just after midnight
        {on(1, 5, 23, 59), false},  // the same day
        {on(2, 5), false},         // the 5th of a later month, with no reminder between
        {on(2, 6, 0, 0), true},
        {on(3, 5), true},          // the 5th again, with the 6th between
        {on(1, 31), true},
        {on(2, 1), true},
        {on(3, 1), false},
    };
    std::size_t expected = 0;
    for (const auto& a : attaches) {
        now = a.moment;
        attach("7.1");
        expected += a.reminded ? 1 : 0;
        EXPECT_EQ(shown(), expected) << AppDelegate::dayOfMonth(a.moment);
    }
    EXPECT_EQ(draws, static_cast<int>(expected));  // one value drawn per reminder, none for a used-up day
    EXPECT_EQ(AppDelegate::classState().lastReminderDay, "01");
}

TEST_F(AppDelegateDay, TextIsChosenAndShownOnlyOnceTheRunningCheckAnswers) {
    workspace->holdAnswers = true;
    attach("7.1");
    now = on(1, 5);
    attach("7.1");  // a second event while the first check waits is handled at once
    ASSERT_EQ(workspace->held.size(), 2u);
    EXPECT_EQ(draws, 0);
    EXPECT_EQ(shown(), 0u);

    workspace->running.insert(kCompanionBundleIdentifier);
    workspace->answerHeld();
    EXPECT_EQ(draws, 0);
    workspace->running.clear();
    workspace->answerHeld();
    EXPECT_EQ(draws, 1);
    EXPECT_EQ(shown(), 1u);
}

TEST_F(AppDelegateDay, RunningCompanionUsesUpTheDayWithoutDrawing) {
    workspace->running.insert(kCompanionBundleIdentifier);
    attach("7.1");
    EXPECT_EQ(shown(), 0u);
    EXPECT_EQ(draws, 0);
    EXPECT_EQ(AppDelegate::classState().lastReminderDay, "04");

    workspace->running.clear();
    attach("7.1");
    EXPECT_EQ(shown(), 0u);
}

TEST_F(AppDelegateDay, DispatchIsQueuedOnTheMainQueueNotDoneInTheEvent) {
    sim->attach(addPhone("A", "7.1"));
    EXPECT_EQ(shown(), 0u);
    EXPECT_EQ(loop->pendingTasks(), 1u);
    loop->runPending();
    EXPECT_EQ(shown(), 1u);
}

TEST_F(AppDelegateDay, NamelessDeviceGivesANotificationWithoutTitle) {
    attach("7.1", 1, std::nullopt);
    ASSERT_EQ(shown(), 1u);
    EXPECT_EQ(center->scheduled[0].title, std::nullopt);
}

using AppDelegateText = AppDelegateTest;

TEST_F(AppDelegateText, RandomValueModuloTheCountPicksTheText) {
    attach("7.1");  // r = 23
    ASSERT_EQ(shown(), 1u);
    EXPECT_EQ(center->scheduled[0].informativeText, "New videos on your Mac? Take them on-the-go using KELDO!");
    EXPECT_EQ(draws, 1);
}

TEST_F(AppDelegateText, EmptyListGivesTextEightWithoutDrawing) {
    AppDelegate::classState().reminderTexts.clear();
    agent->dispatchConnected("A");
    ASSERT_EQ(shown(), 1u);
    EXPECT_EQ(center->scheduled[0].informativeText,
              "With KELDO, it takes approx. 120 seconds to transfer a Movie. Try it!");
    EXPECT_EQ(draws, 0);
}

using AppDelegateActivation = AppDelegateTest;

TEST_F(AppDelegateActivation, OnlyTheButtonLaunchesWithExactlyFromAgent) {
    attach("7.1");
    center->activate(UserNotificationActivationType::contentsClicked);
    center->activate(UserNotificationActivationType::none);
    EXPECT_THAT(workspace->launches, IsEmpty());

    center->activate(UserNotificationActivationType::actionButtonClicked);
    ASSERT_EQ(workspace->launches.size(), 1u);
    EXPECT_EQ(workspace->launches[0].path, "/Applications/Keldo.app");
    EXPECT_THAT(workspace->launches[0].arguments, ElementsAre("fromAgent"));
}

TEST_F(AppDelegateActivation, NoLaunchWhileTheCompanionRunsOrWhenItIsMissing) {
    attach("7.1");
    workspace->running.insert(kCompanionBundleIdentifier);
    center->activate(UserNotificationActivationType::actionButtonClicked);
    workspace->running.clear();
    workspace->files.clear();
    center->activate(UserNotificationActivationType::actionButtonClicked);
    EXPECT_THAT(workspace->launches, IsEmpty());
}

} // namespace
} // namespace keldo
