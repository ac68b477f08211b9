#include "afc/AfcFixture.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;

class AMDeviceAFCTest : public testing::DeviceFixture {
protected:
    std::shared_ptr<AMDevice> makeHandle() { return DeviceFixture::makeHandle(addPhone()); }
};

using AMDeviceDirectoryForName = AMDeviceAFCTest;

TEST_F(AMDeviceDirectoryForName, AlwaysBracketsSoAConnectedHandleEndsDisconnected) {
    auto device = makeHandle();
    ASSERT_TRUE(device->deviceConnect());
    ASSERT_TRUE(device->startSession());
    sim->clearCalls();
    auto afc = device->directoryForName("com.apple.afc");
    EXPECT_TRUE(afc);
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect", "AMDeviceStartSession", "AMDeviceStartService",
                                              "AFCConnectionOpen", "AMDeviceStopSession", "AMDeviceDisconnect"));
    // The next bracketed read has to connect again.
    sim->clearCalls();
    (void)device->productType();
    EXPECT_EQ(sim->callNames().front(), "AMDeviceConnect");
}

TEST_F(AMDeviceDirectoryForName, AFailedConnectOrSessionGivesNothing) {
    auto device = makeHandle();
    sim->forceStatus("AMDeviceConnect", 0x17);
    EXPECT_FALSE(device->directoryForName("com.apple.afc"));
    EXPECT_EQ(device->lasterror(), "AMDeviceConnect failed: 17");

    sim->clearCalls();
    sim->forceStatus("AMDeviceStartSession", 0x18);
    EXPECT_FALSE(device->directoryForName("com.apple.afc"));
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect", "AMDeviceStartSession", "AMDeviceDisconnect"));
    EXPECT_FALSE(device->lasterror());
}

using AMDeviceMediaDirectory = AMDeviceAFCTest;

TEST_F(AMDeviceMediaDirectory, IsKeptOnceMadeAndTriedAgainWhileThereIsNone) {
    auto device = makeHandle();
    sim->forceStatus("AMDeviceStartService", 1, 2);
    EXPECT_FALSE(device->mediaDirectory());
    EXPECT_FALSE(device->mediaDirectory());
    auto media = device->mediaDirectory();
    ASSERT_TRUE(media);
    EXPECT_EQ(sim->startedServices().back().name, "com.apple.afc");
    sim->clearCalls();
    EXPECT_EQ(device->mediaDirectory(), media);
    EXPECT_TRUE(sim->calls().empty());
}

} // namespace
} // namespace keldo
