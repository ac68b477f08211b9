#include "platform/simulated/SimulatedBackend.h"

#include <gmock/gmock.h>

#include <unistd.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;

class SimulatedBackendTest : public ::testing::Test {
protected:
    ~SimulatedBackendTest() override { Backend::install(nullptr); }
    std::shared_ptr<SimulatedBackend> sim = SimulatedBackend::installNew();
};

TEST_F(SimulatedBackendTest, ForcedStatusLastsForTheGivenNumberOfCalls) {
    am_device d = sim->addDevice(SimulatedDeviceInfo::iPhone("u", "n", "7.0"));
    sim->forceStatus("AMDeviceConnect", 7, 2);
    EXPECT_EQ(AMDeviceConnect(d), 7);
    EXPECT_EQ(AMDeviceConnect(d), 7);
    EXPECT_EQ(AMDeviceConnect(d), 0);

    sim->forceStatus("AMDeviceIsPaired", 42, -1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(AMDeviceIsPaired(d), 42);
    sim->forceStatus("AMDeviceIsPaired", 0);
    EXPECT_EQ(AMDeviceIsPaired(d), 1);
}

TEST_F(SimulatedBackendTest, ValuesNeedASessionAndFollowDomainAndKey) {
    am_device d = sim->addDevice(SimulatedDeviceInfo::iPhone("u", "n", "7.0").value("K", 1, "dom"));
    EXPECT_FALSE(AMDeviceCopyValue(d, nullptr, "DeviceName"));
    EXPECT_NE(AMDeviceStartSession(d), 0);  // not connected
    ASSERT_EQ(AMDeviceConnect(d), 0);
    ASSERT_EQ(AMDeviceStartSession(d), 0);
    EXPECT_EQ(*AMDeviceCopyValue(d, nullptr, "DeviceName"), PlistValue("n"));
    EXPECT_EQ(*AMDeviceCopyValue(d, "dom", "K"), PlistValue(1));
    EXPECT_EQ(*AMDeviceCopyValue(d, "dom", nullptr), PlistValue(PlistValue::Dictionary{{"K", 1}}));
    EXPECT_FALSE(AMDeviceCopyValue(d, "nodomain", "K"));
    EXPECT_EQ(AMDeviceDisconnect(d), 0);
    EXPECT_FALSE(sim->isInSession(d));
}

TEST_F(SimulatedBackendTest, CountsReferencesAndFlagsReleasesOfNothing) {
    am_device d = sim->addDevice({});
    AMDeviceRetain(d);
    AMDeviceRetain(d);
    EXPECT_EQ(sim->heldReferences(d), 2);
    AMDeviceRelease(d);
    AMDeviceRelease(d);
    EXPECT_EQ(sim->badReleases(), 0);
    AMDeviceRelease(d);
    AMDeviceRelease(reinterpret_cast<am_device>(&d));
    EXPECT_EQ(sim->badReleases(), 2);
    EXPECT_EQ(sim->heldReferences(d), 0);
}

void recordEvent(am_device_notification_callback_info* info, void* context) {
    static_cast<std::vector<std::uint32_t>*>(context)->push_back(info->msg);
}

TEST_F(SimulatedBackendTest, DeliversEveryCodeToLiveSubscriptionsOnly) {
    std::vector<std::uint32_t> seen;
    _am_device_notification* subscription = nullptr;
    ASSERT_EQ(AMDeviceNotificationSubscribe(recordEvent, 0, 0, &seen, &subscription), 0);
    am_device d = sim->addDevice({});
    sim->attach(d);
    sim->deliver(d, 3);
    sim->deliver(d, 99);
    sim->detach(d);
    EXPECT_EQ(sim->heldReferences(d), 1);  // the attach handed one over
    EXPECT_EQ(AMDeviceNotificationUnsubscribe(subscription), 0);
    EXPECT_NE(AMDeviceNotificationUnsubscribe(subscription), 0);
    sim->attach(d);
    EXPECT_THAT(seen, ElementsAre(1u, 3u, 99u, 2u));
}

TEST(BackendDefault, FailsEveryOperationWithoutCrashing) {
    Backend::install(nullptr);
    EXPECT_NE(AMDeviceConnect(nullptr), 0);
    EXPECT_FALSE(AMDeviceCopyValue(nullptr, nullptr, "K"));
    EXPECT_FALSE(AMDevicePowerAssertionCreate(nullptr, "t", "n", nullptr, nullptr, 600.0));
    afc_file_ref ref = 0;
    EXPECT_NE(AFCFileRefOpen(nullptr, "/x", 1, &ref), 0);
    EXPECT_EQ(ref, 0u);
}

} // namespace
} // namespace keldo

namespace keldo {
namespace {

class SimulatedServices : public ::testing::Test {
protected:
    ~SimulatedServices() override { Backend::install(nullptr); }
    am_device inSession(std::int32_t interfaceType = 1) {
        am_device d = sim->addDevice(SimulatedDeviceInfo::iPhone("u", "n", "7.0", interfaceType));
        AMDeviceConnect(d);
        AMDeviceStartSession(d);
        return d;
    }
    std::shared_ptr<SimulatedBackend> sim = SimulatedBackend::installNew();
};

TEST_F(SimulatedServices, AStartedServiceTalksToItsPeerThroughTheHandlesLow32Bits) {
    am_device d = inSession();
    service_handle service = 0;
    std::uint32_t unknown = 0;
    ASSERT_EQ(AMDeviceStartService(d, "com.apple.afc", &service, &unknown), 0);
    int fd = static_cast<int>(static_cast<std::uint32_t>(service));
    EXPECT_NE(service >> 32, 0u);  // callers must not use the whole handle as a descriptor
    ASSERT_EQ(::write(fd, "ping", 4), 4);
    char got[4];
    ASSERT_EQ(::read(sim->peerSocket(service), got, 4), 4);
    EXPECT_EQ(std::string(got, 4), "ping");

    sim->closePeer(service);
    EXPECT_EQ(sim->peerSocket(service), -1);
    EXPECT_EQ(::read(fd, got, 4), 0);
    EXPECT_FALSE(AMDServiceConnectionGetSecureIOContext(service));
    ASSERT_EQ(sim->startedServices().size(), 1u);
    EXPECT_EQ(sim->startedServices()[0].name, "com.apple.afc");
}

TEST_F(SimulatedServices, StartsNeedASessionAndCanBeRefused) {
    am_device d = sim->addDevice(SimulatedDeviceInfo::iPhone("u", "n", "7.0"));
    service_handle service = 0;
    std::uint32_t unknown = 0;
    EXPECT_EQ(AMDeviceStartService(d, "x", &service, &unknown), SimulatedBackend::kNoSession);
    AMDeviceConnect(d);
    AMDeviceStartSession(d);
    sim->forceStatus("AMDeviceSecureStartService", 0x1234);
    EXPECT_EQ(AMDeviceSecureStartService(d, "x", nullptr, &service), 0x1234);
    EXPECT_EQ(service, 0u);
    EXPECT_TRUE(sim->startedServices().empty());
}

TEST_F(SimulatedServices, ASecureStartHasASecureContext) {
    am_device d = inSession(2);
    service_handle service = 0;
    ASSERT_EQ(AMDeviceSecureStartService(d, "com.apple.afc", nullptr, &service), 0);
    EXPECT_TRUE(AMDServiceConnectionGetSecureIOContext(service));
    EXPECT_TRUE(sim->startedServices()[0].secure);
    EXPECT_GE(sim->peerSocket(service), 0);
}

TEST_F(SimulatedServices, PowerAssertionsAreCountedWhileHeldAndCanBeRefused) {
    am_device d = inSession();
    PlistRef details;
    auto first = AMDevicePowerAssertionCreate(d, "T", "N", nullptr, &details, 600.0);
    ASSERT_TRUE(first);
    EXPECT_EQ(sim->liveAssertions(), 1);
    first.reset();
    EXPECT_EQ(sim->liveAssertions(), 0);
    sim->forceStatus("AMDevicePowerAssertionCreate", 1);
    EXPECT_FALSE(AMDevicePowerAssertionCreate(d, "T", "N", nullptr, &details, 600.0));
    EXPECT_EQ(sim->createdAssertions(), 1);
    EXPECT_EQ(sim->calls().back().toString(), "AMDevicePowerAssertionCreate(device#1, \"T\", \"N\", 600)");
}

TEST_F(SimulatedServices, WakeUpTokensAreDictionariesUnlessRefused) {
    am_device d = inSession();
    PlistRef token;
    ASSERT_EQ(AMDeviceCreateWakeupToken(d, nullptr, &token), 0);
    ASSERT_TRUE(token);
    EXPECT_TRUE(token->isDictionary());
    PlistRef refused;
    sim->forceStatus("AMDeviceCreateWakeupToken", 5);
    EXPECT_EQ(AMDeviceCreateWakeupToken(d, nullptr, &refused), 5);
    EXPECT_FALSE(refused);
}

} // namespace
} // namespace keldo
