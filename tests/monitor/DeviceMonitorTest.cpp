#include "monitor/DeviceMonitor.h"

#include "device/AMDevice.h"
#include "platform/BackgroundQueue.h"
#include "platform/NotificationCenter.h"
#include "support/SimulatedPlatform.h"

#include <gmock/gmock.h>

#include <functional>
#include <set>
#include <thread>
#include <utility>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A listener that records what it hears, and what the monitor's list held at that moment.
class RecordingListener : public DeviceListener {
public:
    explicit RecordingListener(bool connected = true, bool disconnected = true)
        : connected_(connected), disconnected_(disconnected) {}

    bool providesDeviceConnected() const override { return connected_; }
    void deviceConnected(const std::shared_ptr<AMDevice>& device) override {
        heard.push_back("connected " + device->description());
        if (onConnected) onConnected(device);
    }
    bool providesDeviceDisconnected() const override { return disconnected_; }
    void deviceDisconnected(const std::shared_ptr<AMDevice>& device) override {
        heard.push_back("disconnected " + device->description());
        if (onDisconnected) onDisconnected(device);
    }

    std::vector<std::string> heard;
    std::function<void(const std::shared_ptr<AMDevice>&)> onConnected;
    std::function<void(const std::shared_ptr<AMDevice>&)> onDisconnected;

private:
    bool connected_;
    bool disconnected_;
};

class DeviceMonitorTest : public testing::SimulatedPlatform {
protected:
    DeviceMonitorTest() { DeviceMonitor::resetSingletonForTesting(); }
    ~DeviceMonitorTest() override { DeviceMonitor::resetSingletonForTesting(); }

    std::shared_ptr<DeviceMonitor> monitor = DeviceMonitor::singleton();
    std::shared_ptr<RecordingListener> listener = std::make_shared<RecordingListener>();
};

using DeviceMonitorSubscription = DeviceMonitorTest;

TEST_F(DeviceMonitorSubscription, NullListenerMakesNoSubscriptionButALaterListenerDoes) {
    EXPECT_TRUE(monitor->setListener(nullptr));
    EXPECT_THAT(sim->callNames(), IsEmpty());
    EXPECT_TRUE(monitor->setListener(listener));
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceNotificationSubscribe"));
    EXPECT_TRUE(monitor->isSubscribed());
    EXPECT_EQ(sim->subscriptionCount(), 1u);
}

TEST_F(DeviceMonitorSubscription, ANewListenerWhileSubscribedOnlyReplacesTheListener) {
    monitor->setListener(listener);
    auto second = std::make_shared<RecordingListener>();
    monitor->setListener(second);
    EXPECT_EQ(sim->subscriptionCount(), 1u);
    EXPECT_EQ(monitor->listener(), second);

    sim->attach(addPhone("A"));
    EXPECT_THAT(listener->heard, IsEmpty());
    EXPECT_THAT(second->heard, ElementsAre("connected AMDevice('A')"));
}

TEST_F(DeviceMonitorSubscription, RefusedSubscriptionIsLoggedKeepsTheListenerAndIsRetried) {
    sim->forceStatus("AMDeviceNotificationSubscribe", static_cast<std::int32_t>(0xe8000001u));
    EXPECT_TRUE(monitor->setListener(listener));
    EXPECT_FALSE(monitor->isSubscribed());
    EXPECT_EQ(monitor->listener(), listener);
    EXPECT_THAT(log.lines(), ElementsAre("AMDeviceNotificationSubscribe failed: -402653183"));

    EXPECT_TRUE(monitor->setListener(listener));
    EXPECT_TRUE(monitor->isSubscribed());
    EXPECT_EQ(sim->subscriptionCount(), 1u);
}

TEST_F(DeviceMonitorSubscription, ClearingTheListenerKeepsTheSubscriptionAndTheList) {
    monitor->setListener(listener);
    monitor->setListener(nullptr);
    am_device phone = addPhone();
    sim->attach(phone);
    EXPECT_EQ(monitor->devices().size(), 1u);
    sim->detach(phone);
    EXPECT_THAT(monitor->devices(), IsEmpty());
    EXPECT_THAT(listener->heard, IsEmpty());
    EXPECT_EQ(sim->heldReferences(phone), 0);
}

TEST_F(DeviceMonitorSubscription, SingletonIsMadeOnceAlsoUnderConcurrentFirstCalls) {
    DeviceMonitor::resetSingletonForTesting();
    std::vector<std::thread> threads;
    std::vector<DeviceMonitor*> seen(8);
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = DeviceMonitor::singleton().get(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<DeviceMonitor*>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(seen[0], DeviceMonitor::singleton().get());
}

using DeviceMonitorEvents = DeviceMonitorTest;

TEST_F(DeviceMonitorEvents, AttachAppendsTheHandleBeforeTellingTheListener) {
    monitor->setListener(listener);
    sim->attach(addPhone("A"));
    std::size_t sizeDuringCall = 0;
    listener->onConnected = [&](const std::shared_ptr<AMDevice>& device) {
        sizeDuringCall = monitor->devices().size();
        EXPECT_EQ(monitor->devices().back(), device);
    };
    sim->attach(addPhone("B"));

    EXPECT_EQ(sizeDuringCall, 2u);
    ASSERT_EQ(monitor->devices().size(), 2u);
    EXPECT_EQ(monitor->devices()[0]->deviceName(), "A");
    EXPECT_EQ(monitor->devices()[1]->deviceName(), "B");
    EXPECT_THAT(listener->heard, ElementsAre("connected AMDevice('A')", "connected AMDevice('B')"));
}

TEST_F(DeviceMonitorEvents, DetachForgetsTheDeviceThenTellsTheListenerThenDrops) {
    monitor->setListener(listener);
    am_device a = addPhone("A");
    am_device b = addPhone("B");
    sim->attach(a);
    sim->attach(b);
    bool stillListed = false;
    listener->onDisconnected = [&](const std::shared_ptr<AMDevice>& device) {
        stillListed = monitor->devices().back() == device;
        EXPECT_FALSE(device->isDevice(b));       // already forgotten
        EXPECT_EQ(sim->heldReferences(b), 0);  // and its reference given back
        EXPECT_EQ(device->udid(), "udid-2");     // yet it still knows who it was
    };
    sim->detach(b);

    EXPECT_TRUE(stillListed);
    ASSERT_EQ(monitor->devices().size(), 1u);
    EXPECT_TRUE(monitor->devices()[0]->isDevice(a));
    EXPECT_THAT(listener->heard, ElementsAre("connected AMDevice('A')", "connected AMDevice('B')",
                                             "disconnected AMDevice('B')"));
}

TEST_F(DeviceMonitorEvents, DetachOfAnUnknownDeviceDoesNothingAndSaysNothing) {
    monitor->setListener(listener);
    sim->attach(addPhone("A"));
    sim->detach(addPhone("never attached"));
    EXPECT_EQ(monitor->devices().size(), 1u);
    EXPECT_THAT(listener->heard, ElementsAre("connected AMDevice('A')"));
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(DeviceMonitorEvents, RefusedConnectLogsOnceChangesNothingAndLeaksNothing) {
    monitor->setListener(listener);
    am_device phone = addPhone();
    sim->forceStatus("AMDeviceConnect", static_cast<std::int32_t>(0xe800002du));
    sim->attach(phone);

    EXPECT_THAT(monitor->devices(), IsEmpty());
    EXPECT_THAT(listener->heard, IsEmpty());
    EXPECT_THAT(log.lines(), ElementsAre("Failed to create AMDevice: AMDeviceConnect failed: e800002d"));
    EXPECT_EQ(sim->heldReferences(phone), 0);
    EXPECT_EQ(sim->badReleases(), 0);

    log.clear();
    sim->detach(phone);
    EXPECT_THAT(listener->heard, IsEmpty());
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(DeviceMonitorEvents, NoActionCodeIsSilentAndUnknownCodesAreLogged) {
    monitor->setListener(listener);
    am_device phone = addPhone();
    sim->deliver(phone, 3);
    EXPECT_THAT(log.lines(), IsEmpty());
    sim->deliver(phone, 7);
    sim->deliver(phone, 0x80000000u);
    EXPECT_THAT(log.lines(), ElementsAre("Ignoring unknown message: 7", "Ignoring unknown message: -2147483648"));
    EXPECT_THAT(monitor->devices(), IsEmpty());
    EXPECT_THAT(listener->heard, IsEmpty());
}

TEST_F(DeviceMonitorEvents, ListenerOperationsAreCalledOnlyWhenProvided) {
    auto onlyConnected = std::make_shared<RecordingListener>(true, false);
    monitor->setListener(onlyConnected);
    am_device phone = addPhone("A");
    sim->attach(phone);
    sim->detach(phone);
    EXPECT_THAT(onlyConnected->heard, ElementsAre("connected AMDevice('A')"));

    auto onlyDisconnected = std::make_shared<RecordingListener>(false, true);
    monitor->setListener(onlyDisconnected);
    am_device other = addPhone("B");
    sim->attach(other);
    sim->detach(other);
    EXPECT_THAT(onlyDisconnected->heard, ElementsAre("disconnected AMDevice('B')"));

    monitor->setListener(std::make_shared<DeviceListener>());
    sim->attach(addPhone("C"));
    EXPECT_EQ(monitor->devices().size(), 1u);
}

TEST_F(DeviceMonitorEvents, AListenerThatEndsTheMonitorDuringAnEventIsSafe) {
    monitor->setListener(listener);
    am_device a = addPhone("A");
    sim->attach(a);
    sim->attach(addPhone("B"));
    bool slept = false;
    listener->onDisconnected = [&](const std::shared_ptr<AMDevice>&) {
        if (std::exchange(slept, true)) return;
        monitor->sleepMode();
    };
    sim->detach(a);
    EXPECT_THAT(monitor->devices(), IsEmpty());
    EXPECT_EQ(sim->heldReferences(a), 0);
}

using DeviceMonitorSleep = DeviceMonitorTest;

TEST_F(DeviceMonitorSleep, UnsubscribesTellsTheListenerOfEachAndEmptiesTheList) {
    monitor->setListener(listener);
    am_device a = addPhone("A");
    sim->attach(a);
    sim->attach(addPhone("B"));
    std::vector<std::size_t> sizes;
    listener->onDisconnected = [&](const std::shared_ptr<AMDevice>&) { sizes.push_back(monitor->devices().size()); };
    sim->clearCalls();
    monitor->sleepMode();

    // Unsubscribed first; the handles give their references back as the list lets them go.
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceNotificationUnsubscribe", "AMDeviceRelease", "AMDeviceRelease"));
    EXPECT_THAT(sizes, ElementsAre(2u, 2u));
    EXPECT_THAT(monitor->devices(), IsEmpty());
    EXPECT_FALSE(monitor->isSubscribed());
    EXPECT_EQ(monitor->listener(), listener);
    EXPECT_EQ(sim->heldReferences(a), 0);
}

TEST_F(DeviceMonitorSleep, NoEventsUntilTheListenerIsSetAgain) {
    monitor->setListener(listener);
    monitor->sleepMode();
    sim->clearCalls();
    monitor->sleepMode();
    EXPECT_THAT(sim->callNames(), IsEmpty());

    sim->attach(addPhone("lost"));
    EXPECT_THAT(monitor->devices(), IsEmpty());
    monitor->setListener(listener);
    sim->attach(addPhone("B"));
    EXPECT_EQ(monitor->devices().size(), 1u);
}

TEST_F(DeviceMonitorSleep, WillTerminateReachesEveryHandleAndChangesNothingElse) {
    monitor->setListener(listener);
    am_device a = addPhone("A");
    am_device b = addPhone("B");
    sim->attach(a);
    sim->attach(b);
    ASSERT_TRUE(monitor->devices()[0]->deviceConnect());
    ASSERT_TRUE(monitor->devices()[1]->deviceConnect());
    ASSERT_TRUE(monitor->devices()[1]->startSession());
    sim->clearCalls();
    NotificationCenter::defaultCenter().post(kApplicationWillTerminateNotification);

    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceDisconnect", "AMDeviceStopSession", "AMDeviceDisconnect"));
    EXPECT_EQ(monitor->devices().size(), 2u);
    EXPECT_TRUE(monitor->isSubscribed());
}

TEST_F(DeviceMonitorSleep, WakeupRunsOnTheBackgroundQueueAndNullQueuesNothing) {
    auto before = BackgroundQueue::shared().submitted();
    monitor->wakeupUsingToken(nullptr);
    EXPECT_EQ(BackgroundQueue::shared().submitted(), before);

    monitor->wakeupUsingToken(PlistValue::make(PlistValue::Dictionary{{"Token", "t"}}));
    BackgroundQueue::shared().waitUntilIdle();
    EXPECT_EQ(BackgroundQueue::shared().submitted(), before + 1);
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceWakeupUsingToken"));
}

TEST_F(DeviceMonitorSleep, DroppingTheMonitorEndsItsSubscription) {
    monitor->setListener(listener);
    monitor.reset();
    DeviceMonitor::resetSingletonForTesting();
    EXPECT_EQ(sim->subscriptionCount(), 0u);
    sim->attach(addPhone());  // no callback into a dead monitor
}

} // namespace
} // namespace keldo
