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

// The agent after launch, listening to the monitor, with a settable day and random sequence.
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

    std::string day = "04";
    std::vector<int> randoms = {23, 7, 1, 2, 3};
    int draws = 0;
    std::shared_ptr<FakeUserNotificationCenter> center = std::make_shared<FakeUserNotificationCenter>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<AppDelegate> agent = std::make_shared<AppDelegate>(
        center, workspace, [this] { return day; }, [this] { return randoms.at(draws++); });
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

TEST_F(AppDelegateLaunching, ClassStateStartsWithNoDayAndTheTenTexts) {
    const auto& state = AppDelegate::classState();
    EXPECT_EQ(state.lastReminderDay, "xxx");
    ASSERT_EQ(state.reminderTexts.size(), 10u);
    EXPECT_EQ(state.reminderTexts[0], "Going outside? Be sure to put some new Videos on your device!");
    EXPECT_EQ(state.reminderTexts[5], "psst\xE2\x80\xA6 KELDO can put custom .m4r ringtones on your device, try it?");
    EXPECT_EQ(state.reminderTexts[9], "KELDO can drag & drop M4R ringtones in seconds. Try it.");
    for (std::size_t i = 0; i < 10; ++i) {
        if (i == 5) continue;
        for (unsigned char c : state.reminderTexts[i]) EXPECT_LT(c, 0x80) << "text " << i;
    }
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
    for (std::optional<std::string> v : {std::optional<std::string>("4.3.5"), std::optional<std::string>("4"),
                                         std::optional<std::string>(""), std::optional<std::string>(),
                                         std::optional<std::string>("abc.1")}) {
        attach(v);
    }
    EXPECT_EQ(shown(), 0u);
    EXPECT_EQ(AppDelegate::classState().lastReminderDay, "xxx");
}

TEST_F(AppDelegateVersion, FiveAndLaterPass) {
    for (const char* v : {"5.0", "5", "10.2"}) {
        AppDelegate::initialize();
        attach(std::string(v));
    }
    EXPECT_EQ(shown(), 3u);
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

TEST_F(AppDelegateDay, SecondDeviceOnTheSameDayGetsNothingAndDrawsNothing) {
    attach("7.1");
    attach("8.0");
    EXPECT_EQ(shown(), 1u);
    EXPECT_EQ(draws, 1);
    day = "05";
    attach("8.0");
    EXPECT_EQ(shown(), 2u);
}

TEST_F(AppDelegateDay, OnlyTheDayOfTheMonthCounts) {
    attach("7.1");
    day = "04";  // the 4th of a later month, with no reminder between
    attach("7.1");
    EXPECT_EQ(shown(), 1u);
}

TEST_F(AppDelegateDay, TextIsChosenAndShownOnlyOnceTheRunningCheckAnswers) {
    workspace->holdAnswers = true;
    attach("7.1");
    day = "05";
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

TEST_F(AppDelegateText, NegativeValueFromASubstituteSourceStillPicksAText) {
    randoms = {-3};
    agent->dispatchConnected("A");
    ASSERT_EQ(shown(), 1u);
    EXPECT_EQ(center->scheduled[0].informativeText, AppDelegate::classState().reminderTexts[3]);
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

TEST_F(AppDelegateActivation, DisconnectChangesNothing) {
    auto phone = addPhone("A", "7.1");
    sim->attach(phone);
    sim->detach(phone);
    loop->runPending();
    EXPECT_EQ(shown(), 1u);
    EXPECT_TRUE(agent->providesDeviceDisconnected());
}

} // namespace
} // namespace keldo
