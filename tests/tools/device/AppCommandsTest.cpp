#include "tools/device/AppCommands.h"

#include "tools/device/ExitCode.h"
#include "tools/device/ToolFixture.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::HasSubstr;

class AppCommandsTest : public testing::ToolFixture {
protected:
    AppCommandsTest() {
        sim->apps(phone).install({"org.example.reader", "", "", true});
        sim->apps(phone).install({"org.example.player", "Player", "2.1", true});
        sim->apps(phone).install({"com.example.private", "Private", "1.0", false});
    }
};

TEST_F(AppCommandsTest, ListsTheAppsThatShareTheirDocumentsOrAllWithWhichDo) {
    for (int i = 0; i < 11; ++i) sim->apps(phone).install({"org.example.more" + std::to_string(10 + i), "More", "1", true});
    ASSERT_EQ(AppCommands(console, false).apps(*device, false), kExitSuccess);
    const std::string text = output();
    EXPECT_THAT(text, ::testing::StartsWith("BUNDLE ID           NAME    VERSION\n"
                                           "org.example.more10  More    1\n"));
    EXPECT_THAT(text, HasSubstr("org.example.player  Player  2.1\norg.example.reader  -       -\n"));
    EXPECT_THAT(text, ::testing::Not(HasSubstr("private")));

    ASSERT_EQ(AppCommands(console, true).apps(*device, true), kExitSuccess);
    EXPECT_THAT(output(), HasSubstr("[{\"bundleIdentifier\":\"com.example.private\",\"name\":\"Private\","
                                    "\"version\":\"1.0\",\"sharesDocuments\":false},"));
}

TEST_F(AppCommandsTest, AServiceThatCantBeStartedIsNamed) {
    sim->forceStatus("AMDeviceStartService", 1);
    EXPECT_EQ(AppCommands(console, false).apps(*device, false), kExitDeviceError);
    EXPECT_EQ(errors(), "keldo-device: apps: can't list the apps of udid-1: "
                        "com.apple.mobile.installation_proxy could not be started\n");
    EXPECT_EQ(output(), "");
}

} // namespace
} // namespace keldo
