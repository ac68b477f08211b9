#include "tools/device/FileCommands.h"

#include "tools/device/CommandLine.h"
#include "tools/device/ExitCode.h"
#include "tools/device/RemoteGlob.h"
#include "tools/device/ToolFixture.h"
#include "tools/device/ValueText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>
#include <ctime>

namespace keldo {
namespace {

using Fault = SimulatedFileSystem::Fault;

double unixSeconds(const std::optional<PlistDate>& date) {
    return date ? date->secondsSince2001 + ValueText::kUnixTo2001 : -1e18;
}

// Local times are read in the zone TZ names; this one is an hour east of UTC, without summer time.
class FileCommandsDate : public ::testing::Test {
protected:
    FileCommandsDate() {
        const char* zone = std::getenv("TZ");
        if (zone) previous_ = zone;
        ::setenv("TZ", "CET-1", 1);
        ::tzset();
    }
    ~FileCommandsDate() override {
        previous_ ? ::setenv("TZ", previous_->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

TEST_F(FileCommandsDate, ReadsTheFormsThatTouchTakes) {
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("@1.5")), 1.5);
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("@-86400")), -86400);
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("2020-01-02T03:04:05Z")), 1577934245);
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("2020-01-02T03:04:05.25Z")), 1577934245.25);
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("2020-01-02T03:04:05+01:00")), 1577934245 - 3600);
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("2020-01-02T03:04:05-0130")), 1577934245 + 5400);
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("2020-01-02 03:04")), 1577934240 - 3600);
    EXPECT_EQ(unixSeconds(FileCommands::parseDate("2020-01-02")), 1577923200 - 3600);
}

TEST_F(FileCommandsDate, RefusesWhatIsNoDate) {
    for (const char* text : {"", "yesterday", "@", "@1x", "2020-1-2", "2020-02-30", "2021-02-29", "2020-13-01",
                             "2020-01-02T24:00", "2020-01-02T03:60", "2020-01-02T03:04:05+25:00", "2020-01-02T03:04:05.",
                             "2020-01-02Z3", "2020-01-02T03:04:05Zulu"}) {
        EXPECT_FALSE(FileCommands::parseDate(text)) << text;
    }
    EXPECT_TRUE(FileCommands::parseDate("2020-02-29"));
}

class FileCommandsTest : public testing::ToolFixture {};

TEST_F(FileCommandsTest, RecursiveRemovalThatFailsMidwayIsAPartialFailure) {
    files->addFile("/T/a", "a");
    files->addFile("/T/b/c", "c");
    files->inject(Fault("AFCRemovePath", SimulatedFileSystem::kBusy).onPath("/T/b"));
    FileCommands commands(console, *afc, false);

    EXPECT_EQ(commands.rm({"/T"}, {.recursive = true}), kExitPartial);
    EXPECT_EQ(errors(), "keldo-device: rm /T/b: busy [AFCRemovePath 0x0011]\n");
    EXPECT_FALSE(files->kind("/T/b/c"));
    EXPECT_EQ(files->kind("/T/b"), SimulatedFileSystem::Kind::Directory);
    EXPECT_EQ(commands.rm({"/Missing"}, {.recursive = true}), kExitDeviceError);
}

// The root goes by many names; none of them removes it or moves it, while as a destination it is
// the directory to move into.
TEST_F(FileCommandsTest, TheRootIsNeverRemovedOrMovedByAnyOfItsNamesAndMvReplacesNothingUnasked) {
    files->addFile("/DCIM/100APPLE/IMG_1.JPG", "jpg");
    files->addFile("/Pics/photo1.jpg", "p1");
    FileCommands commands(console, *afc, false);
    const std::vector<std::string> roots{"/", "", "/.", "/DCIM/..", "//"};
    for (const auto& root : roots) {
        EXPECT_EQ(commands.rm({"/Pics/none", root}, {.recursive = true, .force = true}), kExitUsage) << root;
        EXPECT_EQ(commands.mv({root}, "/Pics"), kExitUsage) << root;
    }
    // "." and ".." at the end name a directory that the user did not write out.
    EXPECT_EQ(commands.rm({"/DCIM/100APPLE/..", "/DCIM/."}, {.recursive = true}), kExitDeviceError);
    EXPECT_EQ(files->contents("/DCIM/100APPLE/IMG_1.JPG"), "jpg");
    EXPECT_EQ(files->contents("/Pics/photo1.jpg"), "p1");

    for (const auto& root : {"/.", "/DCIM/..", "//", "/"}) {
        EXPECT_EQ(commands.mv({"/Pics/photo1.jpg"}, root), kExitSuccess) << root << errors();
        EXPECT_EQ(files->contents("/photo1.jpg"), "p1") << root;
        EXPECT_EQ(commands.mv({"/photo1.jpg"}, "/Pics"), kExitSuccess);
    }
    EXPECT_EQ(commands.mv({"/Pics/photo1.jpg"}, ""), kExitUsage);
    // Nor when the device fails to say at once that the root is a directory, even with -f.
    for (const auto& root : {"/.", "//"}) {
        files->inject(Fault("AFCFileInfoOpen", SimulatedFileSystem::kBusy).onPath("/"));
        EXPECT_EQ(commands.mv({"/Pics/photo1.jpg"}, root, true), kExitUsage) << root;
    }
    EXPECT_EQ(files->contents("/Pics/photo1.jpg"), "p1");

    // A look at the destination that fails for another reason than "not found" replaces nothing.
    files->addFile("/Pics/taken.jpg", "kept");
    files->inject(Fault("AFCFileInfoOpen", SimulatedFileSystem::kBusy).onPath("/Pics/taken.jpg").times(-1));
    EXPECT_EQ(commands.mv({"/Pics/photo1.jpg"}, "/Pics/taken.jpg"), kExitDeviceError);
    EXPECT_EQ(files->contents("/Pics/taken.jpg"), "kept");
}

TEST_F(FileCommandsTest, TreeThatCannotReadEverythingShowsTheRestAndNamesWhatFailed) {
    files->addFile("/T/a/locked/secret", "s");
    files->addFile("/T/b/gone", "g");
    files->addFile("/T/b/odd", "o");
    files->addFile("/T/c", "c");
    files->inject(Fault("AFCDirectoryOpen", SimulatedFileSystem::kPermissionDenied).onPath("/T/a/locked"));
    // Listed, then removed before its query: no failure, just a name.
    files->inject(Fault("AFCFileInfoOpen", SimulatedFileSystem::kNotFound).onPath("/T/b/gone"));
    files->inject(Fault("AFCFileInfoOpen", SimulatedFileSystem::kBusy).onPath("/T/b/odd"));
    FileCommands commands(console, *afc, false);

    EXPECT_EQ(commands.tree("/T/"), kExitPartial);
    EXPECT_EQ(output(), "/T/\n/T/a/\n/T/a/locked/\n/T/b/\n/T/b/gone\n/T/b/odd\n/T/c\n");
    EXPECT_EQ(errors(),
              "keldo-device: tree /T/a/locked: permission denied [AFCDirectoryOpen 0x000A]\n"
              "keldo-device: tree /T/b/odd: busy [AFCFileInfoOpen 0x0011]\n");
    EXPECT_EQ(commands.tree("/Missing"), kExitDeviceError);
}

// A device may list a name that is no name ("", "..", "a/../b"): joined to its directory it would
// lead the walk to another place, and rm -r would empty that place.
TEST_F(FileCommandsTest, AListedNameThatIsNoNameLeadsNoWalkElsewhere) {
    files->addFile("/T/a", "a");
    files->addFile("/Books/keep", "k");
    // "x/../../Books" is what a pattern would match: without the guard, rm -r '/T/*' empties /Books.
    for (const char* stray : {"../Books", "", "..", "x/../../Books"}) files->addStrayName("/T", stray);
    FileCommands commands(console, *afc, false);

    EXPECT_EQ(commands.rm({"/T"}, {.recursive = true}), kExitDeviceError);
    EXPECT_EQ(files->contents("/Books/keep"), "k");
    EXPECT_EQ(files->contents("/T/a"), "a");
    EXPECT_EQ(errors(), "keldo-device: rm /T: the device lists an entry named \"../Books\", which is no file name; "
                        "nothing in this directory is removed\n");

    std::rewind(err.get());
    ASSERT_EQ(::ftruncate(::fileno(err.get()), 0), 0);
    EXPECT_EQ(commands.tree("/T"), kExitPartial);
    EXPECT_EQ(output(), "/T/\n/T/a\n");
    EXPECT_NE(errors().find("tree /T: the device lists an entry named \"../Books\""), std::string::npos);
    EXPECT_EQ(RemoteGlob(*afc).expand("/T/*").paths, std::vector<std::string>{"/T/a"});
    Invocation removal;
    removal.command = "rm";
    removal.flags = {"-r"};
    removal.operands = {"/T/*"};
    EXPECT_EQ(commands.run(removal), kExitSuccess);
    EXPECT_EQ(files->contents("/Books/keep"), "k");
}

TEST_F(FileCommandsTest, TreeStopsOnceTheDeviceNoLongerAnswers) {
    files->addFile("/T/a/x");
    files->addFile("/T/b/y");
    files->inject(Fault("AFCDirectoryOpen", 20).after(1).times(-1));
    files->inject(Fault("AFCDeviceInfoOpen", 20).times(-1));
    FileCommands commands(console, *afc, true);

    EXPECT_EQ(commands.tree("/T"), kExitPartial);
    EXPECT_EQ(output(), "[\"/T/\",\"/T/a/\"]\n");
    EXPECT_EQ(errors(), "keldo-device: tree /T/a: I/O error [AFCDirectoryOpen 0x0014]\n"
                        "keldo-device: tree: the device no longer answers; the rest of the tree is not listed\n");
}

TEST_F(FileCommandsTest, ListsAFileThatIsNoDirectoryAsItself) {
    files->addFile("/f.txt", "12345");
    FileCommands commands(console, *afc, true);
    EXPECT_EQ(commands.ls({"/f.txt"}, true), kExitSuccess);
    EXPECT_EQ(output().substr(0, 44), R"([{"name":"/f.txt","type":"file","size":5,"mt)");
    EXPECT_EQ(commands.ls({"/"}, false), kExitSuccess);
    EXPECT_EQ(errors(), "");
}

} // namespace
} // namespace keldo
