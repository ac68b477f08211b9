#include "tools/device/CommandLine.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::optional<Invocation> parse(std::vector<std::string> arguments, std::string* error = nullptr) {
    std::string text;
    auto invocation = CommandLine::parse(arguments, text);
    if (error) *error = text;
    return invocation;
}

TEST(CommandLine, TakesGlobalOptionsAnywhereAndACommandsOwnAfterIt) {
    auto i = parse({"--json", "ls", "-l", "-u", "abc", "/DCIM", "--wait=2.5", "-q"});
    ASSERT_TRUE(i);
    EXPECT_EQ(i->command, "ls");
    EXPECT_TRUE(i->json && i->quiet && i->has("-l"));
    EXPECT_EQ(i->udid, "abc");
    EXPECT_EQ(i->waitSeconds, 2.5);
    EXPECT_THAT(i->operands, ElementsAre("/DCIM"));

    std::string error;
    EXPECT_FALSE(parse({"-l", "ls"}, &error)) << "a command's option before the command";
    EXPECT_THAT(error, HasSubstr("unknown option -l"));
    EXPECT_FALSE(parse({"ls", "-s"}, &error)) << "another command's option";
    EXPECT_THAT(error, HasSubstr("ls: unknown option -s"));
}

TEST(CommandLine, ReadsValuedOptionsInBothFormsAndOperandsAfterADoubleDash) {
    auto i = parse({"info", "--domain=com.apple.disk_usage", "--key", "--odd"});
    ASSERT_TRUE(i);
    EXPECT_EQ(i->option("--domain"), "com.apple.disk_usage");
    EXPECT_EQ(i->option("--key"), "--odd");

    i = parse({"rm", "--", "-r", "--json", "-"});
    ASSERT_TRUE(i);
    EXPECT_FALSE(i->has("-r") || i->json);
    EXPECT_THAT(i->operands, ElementsAre("-r", "--json", "-"));
}

TEST(CommandLine, AnAppsFoldersAreForTheFileCommandsOnly) {
    auto i = parse({"--app", "org.example.player", "push", "film.mp4", "/Documents"});
    ASSERT_TRUE(i);
    EXPECT_EQ(i->app, "org.example.player");
    EXPECT_FALSE(i->container);
    i = parse({"ls", "--container=org.example.player", "--container", "org.example.player"});
    ASSERT_TRUE(i);
    EXPECT_TRUE(i->container);

    std::string error;
    EXPECT_FALSE(parse({"--app", "org.example.player", "apps"}, &error));
    EXPECT_EQ(error, "apps: --app is for the file commands only");
    EXPECT_FALSE(parse({"ls", "--app", "a", "--container", "a"}, &error));
    EXPECT_FALSE(parse({"ls", "--app="}, &error));
    EXPECT_EQ(error, "option --app needs a bundle identifier");
}

TEST(CommandLine, ChecksOperandCountsButNotForHelp) {
    std::string error;
    EXPECT_FALSE(parse({"push", "/only"}, &error));
    EXPECT_EQ(error, "push: missing operand (usage: keldo-device push [-f] [--update] [--no-times] [--connections N] LOCAL... REMOTE)");
    EXPECT_TRUE(parse({"push", "a", "b", "c", "/dir"}));

    auto help = parse({"mv", "--help"});
    ASSERT_TRUE(help);
    EXPECT_TRUE(help->help);
    EXPECT_EQ(help->command, "mv");
    help = parse({"help", "pull"});
    ASSERT_TRUE(help);
    EXPECT_EQ(help->command, "pull");
    EXPECT_FALSE(parse({"help", "nothing"}));
}

TEST(CommandLine, RefusesWaitsThatAreNoNumberOfSeconds) {
    for (const char* wait : {"", "-1", "soon", "1e9", "nan", "2s"}) EXPECT_FALSE(parse({"--wait", wait, "list"})) << wait;
    EXPECT_FALSE(parse({"-u", "", "list"}));
}

} // namespace
} // namespace keldo
