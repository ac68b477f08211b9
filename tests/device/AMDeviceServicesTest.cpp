#include "device/AMDevice.h"

#include "support/DeviceFixture.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class AMDeviceServicesTest : public testing::DeviceFixture {
protected:
    std::shared_ptr<AMDevice> makeHandle(std::int32_t interfaceType = 1) { return makeOpenHandle(interfaceType); }
    int assertionCalls() const {
        auto names = sim->callNames();
        return static_cast<int>(std::count(names.begin(), names.end(), "AMDevicePowerAssertionCreate"));
    }
};

using AMDeviceStartService = AMDeviceServicesTest;

TEST_F(AMDeviceStartService, UsesThePlainStartExceptOverTheWirelessConnection) {
    auto usb = makeHandle(1);
    EXPECT_NE(usb->_startService("com.apple.afc"), 0u);
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceStartService"));
    EXPECT_EQ(sim->calls()[0].toString(), "AMDeviceStartService(device#1, \"com.apple.afc\")");

    auto wireless = makeHandle(2);
    service_handle service = wireless->_startService("com.apple.afc");
    EXPECT_NE(service, 0u);
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceSecureStartService"));
    EXPECT_TRUE(sim->startedServices().back().secure);
    EXPECT_EQ(sim->startedServices().back().handle, service);
}

TEST_F(AMDeviceStartService, LogsTheRefusalsMachFieldsAndGivesNoService) {
    auto handle = makeHandle();
    sim->forceStatus("AMDeviceStartService", static_cast<std::int32_t>((1u << 26) | (2u << 14) | 3u));
    EXPECT_EQ(handle->_startService("com.apple.afc"), 0u);
    EXPECT_THAT(log.lines(), ElementsAre("AMDeviceStartService failed: 0x1,0x2,0x3"));
    EXPECT_FALSE(handle->lasterror());

    log.clear();
    sim->forceStatus("AMDeviceStartService", static_cast<std::int32_t>(0xe8000013u));
    (void)handle->_startService("com.apple.afc");
    // A zero field prints as the C library's "%#x" prints it: no prefix.
    EXPECT_THAT(log.lines(), ElementsAre("AMDeviceStartService failed: 0x3a,0,0x13"));
}

using AMDevicePowerAssertion = AMDeviceServicesTest;

TEST_F(AMDevicePowerAssertion, AsksWithTheWirelessSyncArgumentsAndRenewsOnce300SecondsLater) {
    auto handle = makeHandle(2);
    handle->powerAssertion();
    EXPECT_EQ(sim->calls()[0].toString(),
              "AMDevicePowerAssertionCreate(device#1, \"AMDPowerAssertionTypeWirelessSync\", \"com.apple.iTunes\", 600)");
    EXPECT_EQ(sim->liveAssertions(), 1);

    loop->advance(299.9);
    EXPECT_EQ(assertionCalls(), 1);
    loop->advance(0.1);
    EXPECT_EQ(assertionCalls(), 2);
    // The renewal replaced the assertion: the first one is released, one chain goes on.
    EXPECT_EQ(sim->liveAssertions(), 1);
    EXPECT_EQ(loop->pendingTimers(), 1u);
    loop->advance(300);
    EXPECT_EQ(assertionCalls(), 3);
}

TEST_F(AMDevicePowerAssertion, ARefusalLogsAndEndsTheChainKeepingTheHeldAssertion) {
    auto handle = makeHandle(2);
    handle->powerAssertion();
    sim->forceStatus("AMDevicePowerAssertionCreate", 1);
    loop->advance(300);
    EXPECT_THAT(log.lines(), ElementsAre("!! AMDevicePowerAssertionCreate=NULL: iOS 5 ?"));
    EXPECT_EQ(loop->pendingTimers(), 0u);
    EXPECT_EQ(sim->liveAssertions(), 1);
    loop->advance(3000);
    EXPECT_EQ(assertionCalls(), 2);

    handle.reset();
    EXPECT_EQ(sim->liveAssertions(), 0);
}

TEST_F(AMDevicePowerAssertion, AFirstRefusalSchedulesNothing) {
    auto handle = makeHandle(2);
    sim->forceStatus("AMDevicePowerAssertionCreate", 1);
    handle->powerAssertion();
    EXPECT_EQ(loop->pendingTimers(), 0u);
    EXPECT_EQ(sim->liveAssertions(), 0);
}

TEST_F(AMDevicePowerAssertion, APendingRenewalKeepsTheHandleAlive) {
    auto handle = makeHandle(2);
    std::weak_ptr<AMDevice> watch = handle;
    handle->powerAssertion();
    handle.reset();
    ASSERT_FALSE(watch.expired());
    loop->advance(300);
    EXPECT_EQ(assertionCalls(), 2);
    EXPECT_FALSE(watch.expired());

    // Once the chain ends, nothing holds the handle: it goes, releasing its assertion.
    sim->forceStatus("AMDevicePowerAssertionCreate", 1);
    loop->advance(300);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(sim->liveAssertions(), 0);
    loop->advance(3000);
    EXPECT_EQ(assertionCalls(), 3);
}

TEST_F(AMDevicePowerAssertion, ASecondGrantReplacesTheAssertionAndTheRenewal) {
    auto handle = makeHandle(2);
    handle->powerAssertion();
    loop->advance(100);
    handle->powerAssertion();
    EXPECT_EQ(sim->liveAssertions(), 1);
    EXPECT_EQ(loop->pendingTimers(), 1u);
    // The renewal is due 300 seconds after the newer grant, and only it runs.
    loop->advance(299);
    EXPECT_EQ(assertionCalls(), 2);
    loop->advance(1);
    EXPECT_EQ(assertionCalls(), 3);
    EXPECT_EQ(loop->pendingTimers(), 1u);
}

TEST_F(AMDevicePowerAssertion, DestructionWithTheLoopGoneReleasesTheAssertion) {
    auto handle = makeHandle(2);
    handle->powerAssertion();
    handle.reset();
    EXPECT_EQ(sim->liveAssertions(), 1);
    // Dropping the loop drops its pending timers, and with them the last owner of the handle.
    loop.reset();
    RunLoop::setMain(nullptr);
    RunLoop::setCurrent(nullptr);
    EXPECT_EQ(sim->liveAssertions(), 0);
}

using AMDeviceWakeUpToken = AMDeviceServicesTest;

TEST_F(AMDeviceWakeUpToken, GivesACopyOfThePlatformsTokenOrNone) {
    auto handle = makeHandle();
    auto token = handle->wakeUpToken();
    ASSERT_TRUE(token);
    EXPECT_EQ(*token, PlistValue(PlistValue::Dictionary{{"WakeupToken", "token-of-device#1"}}));
    sim->forceStatus("AMDeviceCreateWakeupToken", 1);
    EXPECT_FALSE(handle->wakeUpToken());
    EXPECT_THAT(log.lines(), IsEmpty());
}

} // namespace
} // namespace keldo
