#include "agent/AppDelegate.h"

#include "agent/FakeHost.h"
#include "monitor/DeviceMonitor.h"
#include "support/SimulatedPlatform.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;

class AgentEndToEnd : public testing::SimulatedPlatform {
protected:
    AgentEndToEnd() {
        DeviceMonitor::resetSingletonForTesting();
        AppDelegate::initialize();
    }
    ~AgentEndToEnd() override {
        DeviceMonitor::resetSingletonForTesting();
        AppDelegate::initialize();
    }
};

TEST_F(AgentEndToEnd, AttachInReminderOnTheMainQueueLaunchPressedOneLaunchOut) {
    auto center = std::make_shared<testing::FakeUserNotificationCenter>();
    auto workspace = std::make_shared<testing::FakeWorkspace>();
    workspace->files.insert(kCompanionApplicationPath);
    auto agent = std::make_shared<AppDelegate>(center, workspace, nullptr, [] { return 5; });

    agent->applicationDidFinishLaunching();
    EXPECT_EQ(sim->subscriptionCount(), 0u);  // no events before launching has finished
    loop->runPending();
    ASSERT_EQ(sim->subscriptionCount(), 1u);

    sim->attach(addPhone("Carla's iPhone", "7.1.2", 1));
    EXPECT_TRUE(center->scheduled.empty());
    loop->runPending();

    ASSERT_EQ(center->scheduled.size(), 1u);
    EXPECT_EQ(center->scheduled[0].title, "Carla's iPhone");
    EXPECT_EQ(center->scheduled[0].informativeText, AppDelegate::classState().reminderTexts[5]);
    EXPECT_EQ(center->scheduled[0].actionButtonTitle, "Launch");

    center->activate(UserNotificationActivationType::actionButtonClicked);
    loop->runPending();
    ASSERT_EQ(workspace->launches.size(), 1u);
    EXPECT_EQ(workspace->launches[0].path, kCompanionApplicationPath);
    EXPECT_THAT(workspace->launches[0].arguments, ElementsAre("fromAgent"));
}

} // namespace
} // namespace keldo
