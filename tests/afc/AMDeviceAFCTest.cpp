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

// An app's folders through house_arrest, which the simulated device plays over its apps.
class AMDeviceAppFolders : public AMDeviceAFCTest {
protected:
    AMDeviceAppFolders() : phone(addPhone()) {
        sim->apps(phone).install({"org.example.player", "Player", "2.1", true});
        sim->apps(phone).install({"org.example.private", "Private", "1.0", false});
        container = sim->apps(phone).container("org.example.player");
        device = DeviceFixture::makeHandle(phone);
    }

    am_device phone;
    std::shared_ptr<SimulatedFileSystem> container;
    std::shared_ptr<AMDevice> device;
};

TEST_F(AMDeviceAppFolders, DocumentsAreTheAppsContainerOverAfcOnTheSameService) {
    container->addFile("/Documents/film.mp4", "frames");
    auto documents = device->documentsForApp("org.example.player");
    ASSERT_TRUE(documents) << device->lasterror().value_or("");
    EXPECT_THAT(sim->callNames(), ::testing::IsSupersetOf({"AMDeviceStartService", "AFCConnectionOpen"}));
    EXPECT_EQ(sim->callNames().front(), "AMDeviceConnect");
    EXPECT_EQ(sim->callNames().back(), "AMDeviceDisconnect");
    EXPECT_EQ(sim->startedServices().back().name, "com.apple.mobile.house_arrest");
    EXPECT_EQ(documents->directoryContents("/Documents"), AFCDirectoryAccess::Names{"film.mp4"});
    ASSERT_TRUE(documents->mkdir("/Documents/Music"));
    EXPECT_EQ(container->kind("/Documents/Music"), SimulatedFileSystem::Kind::Directory);
    // The media area is another file system; every call makes a new connection.
    EXPECT_FALSE(sim->fileSystem(phone).kind("/Documents/Music"));
    auto container2 = device->containerForApp("org.example.player");
    ASSERT_TRUE(container2);
    EXPECT_NE(container2, documents);
    EXPECT_TRUE(container2->fileExistsAtPath("/Library"));
}

TEST_F(AMDeviceAppFolders, ARefusalLeavesTheDevicesTextAndNoConnection) {
    for (const char* app : {"org.example.absent", "org.example.private"}) {
        EXPECT_FALSE(device->documentsForApp(app));
        EXPECT_EQ(device->lasterror(), "InstallationLookupFailed") << app;
        EXPECT_FALSE(device->containerForApp(app));
        EXPECT_EQ(device->lasterror(), "InstallationLookupFailed") << app;
    }
    EXPECT_EQ(sim->openAfcConnections(), 0);
    EXPECT_FALSE(sim->isConnected(phone));
    for (const auto& service : sim->startedServices()) EXPECT_EQ(AMDServiceConnectionGetSocket(service.handle), -1);
}

TEST_F(AMDeviceAppFolders, EveryOtherFailureKeepsItsOwnText) {
    EXPECT_FALSE(device->documentsForApp(""));
    EXPECT_EQ(device->lasterror(), "No bundle identifier given");
    EXPECT_TRUE(sim->calls().empty());

    sim->forceStatus("AMDeviceStartSession", 0x18);
    EXPECT_FALSE(device->documentsForApp("org.example.player"));
    EXPECT_EQ(device->lasterror(), "AMDeviceStartSession failed: 18");

    sim->forceStatus("AMDeviceStartService", 1);
    EXPECT_FALSE(device->documentsForApp("org.example.player"));
    EXPECT_EQ(device->lasterror(), "com.apple.mobile.house_arrest could not be started");

    sim->forceStatus("AFCConnectionOpen", 7);
    EXPECT_FALSE(device->documentsForApp("org.example.player"));
    EXPECT_EQ(device->lasterror(), "AFCConnectionOpen failed: 7");
    EXPECT_FALSE(sim->isConnected(phone));
}

TEST_F(AMDeviceAppFolders, AfcIsRefusedOnHouseArrestUntilAFolderIsHandedOver) {
    ASSERT_TRUE(device->deviceConnect());
    ASSERT_TRUE(device->startSession());
    EXPECT_FALSE(AFCDirectoryAccess::initWithNameOnDevice("com.apple.mobile.house_arrest", device));
}

} // namespace
} // namespace keldo
