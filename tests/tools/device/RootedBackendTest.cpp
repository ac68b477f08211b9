#include "tools/device/RootedBackend.h"

#include "afc/AFCDirectoryAccess.h"
#include "support/DeviceFixture.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

// An app's Documents through house_arrest, with the Documents folder made the root.
class RootedBackendTest : public testing::DeviceFixture {
protected:
    RootedBackendTest() {
        am_device phone = addPhone();
        sim->apps(phone).install({"org.example.player", "Player", "2.1", true});
        container = sim->apps(phone).container("org.example.player");
        container->addFile("/Library/Preferences/player.plist", "kept");
        device = makeHandle(phone);
        documents = device->documentsForApp("org.example.player");
        Backend::install(std::make_shared<RootedBackend>(sim, "/Documents"));
    }

    std::shared_ptr<SimulatedFileSystem> container;
    std::shared_ptr<AMDevice> device;
    std::shared_ptr<AFCDirectoryAccess> documents;
};

TEST_F(RootedBackendTest, EveryPathGoesUnderTheRootAndNoneAboveIt) {
    ASSERT_TRUE(documents);
    ASSERT_TRUE(documents->mkdir("/Films"));
    ASSERT_TRUE(documents->renameTo("Films", "/Movies/../Films2"));
    ASSERT_TRUE(documents->setmodtimeTo("/Films2", PlistDate{0}));
    EXPECT_EQ(container->kind("/Documents/Films2"), SimulatedFileSystem::Kind::Directory);
    EXPECT_EQ(container->modificationTime("/Documents/Films2"), 978'307'200'000'000'000ull);
    EXPECT_EQ(documents->directoryContents("/../.."), AFCDirectoryAccess::Names{"Films2"});
    EXPECT_FALSE(documents->unlink("/../Library/Preferences/player.plist"));
    EXPECT_TRUE(container->kind("/Library/Preferences/player.plist"));
    EXPECT_TRUE(documents->openForWrite("/Films2/film.mp4"));
    EXPECT_TRUE(container->kind("/Documents/Films2/film.mp4"));
}

TEST_F(RootedBackendTest, AHardLinksTargetIsAPathAndASymbolicLinksIsText) {
    ASSERT_TRUE(documents);
    container->addFile("/Documents/a.txt", "a");
    ASSERT_TRUE(documents->linkTo("/hard.txt", "/a.txt"));
    ASSERT_TRUE(documents->symlinkTo("/soft.txt", "/a.txt"));
    EXPECT_EQ(container->contents("/Documents/hard.txt"), "a");
    EXPECT_EQ(container->linkTarget("/Documents/soft.txt"), "/a.txt");
}

} // namespace
} // namespace keldo
