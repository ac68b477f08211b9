#include "tools/device/Transfer.h"

#include "afc/AFCDirectoryAccess.h"
#include "tools/device/ExitCode.h"
#include "tools/device/ToolFixture.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace keldo {
namespace {

using Fault = SimulatedFileSystem::Fault;
namespace fs = std::filesystem;

class TransferTest : public testing::ToolFixture {
protected:
    std::string read(const std::string& name) {
        std::ifstream in(local(name), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void write(const std::string& name, const std::string& contents) {
        fs::create_directories(fs::path(local(name)).parent_path());
        std::ofstream(local(name), std::ios::binary) << contents;
    }
    // Every path under the scratch directory, relative to it; links are not followed.
    std::set<std::string> everything() {
        std::set<std::string> paths;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) paths.insert(fs::relative(entry.path(), dir));
        return paths;
    }
};

TEST_F(TransferTest, APullThatFailsInATreeKeepsWhatCameAndNoHalfFile) {
    files->addFile("/T/1.txt", "one");
    files->addFile("/T/2.bin", std::string(3 << 20, 'x'));
    files->addFile("/T/3.txt", "three");
    // The second megabyte of 2.bin can't be read.
    files->inject(Fault("AFCFileRefRead", 20).onPath("/T/2.bin").after(1));

    EXPECT_EQ(Transfer(console, *afc, false).pull("/T", local("out")), kExitPartial);
    EXPECT_EQ(errors(), "keldo-device: pull /T/2.bin: I/O error [AFCFileRefRead 0x0014]\n");
    EXPECT_EQ(read("out/1.txt"), "one");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(local("out"))) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"1.txt"});
}

TEST_F(TransferTest, APullIntoADirectoryTakesTheRemoteName) {
    files->addFile("/Books/Welcome.txt", "hello");
    files->addSymbolicLink("/Books/Latest.txt", "Welcome.txt");
    fs::create_directory(local("in"));

    EXPECT_EQ(Transfer(console, *afc, false).pull("/Books/Welcome.txt", local("in")), kExitSuccess);
    EXPECT_EQ(read("in/Welcome.txt"), "hello");
    // A link named on the command line is followed; one inside a tree is made again.
    EXPECT_EQ(Transfer(console, *afc, false).pull("/Books/Latest.txt", local("latest.txt")), kExitSuccess);
    EXPECT_EQ(read("latest.txt"), "hello");
    EXPECT_EQ(Transfer(console, *afc, false).pull("/Books/", local("in")), kExitSuccess);
    EXPECT_EQ(fs::read_symlink(local("in/Books/Latest.txt")), "Welcome.txt");
    EXPECT_EQ(errors(), "");
}

TEST_F(TransferTest, APullWritesOnlyUnderTheLocalTargetWhateverFormTheRemotePathTakes) {
    files->addFile("/DCIM/100APPLE/IMG_0001.JPG", "photo");
    files->addFile("/Books/Welcome.txt", "device");
    // Beside the target, a file that a pull into parent/dest must never reach.
    write("parent/Books/Welcome.txt", "mine");
    const std::set<std::string> before = everything();
    struct Case {
        std::string remote;
        std::set<std::string> made;  // under parent/dest, an existing directory
    };
    const std::set<std::string> wholeDevice{"Books", "Books/Welcome.txt", "DCIM", "DCIM/100APPLE",
                                            "DCIM/100APPLE/IMG_0001.JPG"};
    const std::vector<Case> cases{
        {"/DCIM/..", wholeDevice},  // the root has no name: its contents go into the target
        {"/", wholeDevice},
        {"", wholeDevice},
        {"..", wholeDevice},
        {"/DCIM/100APPLE/..", {"DCIM", "DCIM/100APPLE", "DCIM/100APPLE/IMG_0001.JPG"}},
        {"/DCIM/../Books/", {"Books", "Books/Welcome.txt"}},
        {"/Books/.", {"Books", "Books/Welcome.txt"}},
        {"//Books//Welcome.txt", {"Welcome.txt"}},
        {"./Books/../../Books/Welcome.txt/", {"Welcome.txt"}},
        {"DCIM/100APPLE/IMG_0001.JPG/.", {"IMG_0001.JPG"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(local("parent/dest"));
        fs::create_directory(local("parent/dest"));
        EXPECT_EQ(Transfer(console, *afc, false).pull(c.remote, local("parent/dest")), kExitSuccess) << c.remote;
        std::set<std::string> expected = before;
        expected.insert("parent/dest");
        for (const auto& path : c.made) expected.insert("parent/dest/" + path);
        EXPECT_EQ(everything(), expected) << c.remote;
        EXPECT_EQ(read("parent/Books/Welcome.txt"), "mine") << c.remote;
    }
    // A target that is not there yet is the root's copy itself.
    EXPECT_EQ(Transfer(console, *afc, false).pull("/DCIM/..", local("parent/new")), kExitSuccess);
    EXPECT_EQ(read("parent/new/Books/Welcome.txt"), "device");
    EXPECT_EQ(read("parent/Books/Welcome.txt"), "mine");
    EXPECT_EQ(errors(), "");
}

TEST_F(TransferTest, APushMakesEveryLinkInATreeAgainAndGoesOnWithTheRest) {
    files->addDirectory("/Books");
    write("album/a.txt", "abc");
    write("album/z.txt", "last");
    write("other/x.txt", "elsewhere");
    fs::create_directory_symlink("nowhere", local("album/dangling"));
    fs::create_directory_symlink("..", local("album/up"));             // around the tree
    fs::create_directory_symlink("../other", local("album/outside"));  // another directory
    fs::create_symlink("a.txt", local("album/to-a"));

    EXPECT_EQ(Transfer(console, *afc, false).push({local("album")}, "/Books"), kExitSuccess);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(files->names("/Books/album"),
              (std::vector<std::string>{"a.txt", "dangling", "outside", "to-a", "up", "z.txt"}));
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"dangling", "nowhere"}, {"up", ".."}, {"outside", "../other"}, {"to-a", "a.txt"}}) {
        EXPECT_EQ(files->kind("/Books/album/" + name), SimulatedFileSystem::Kind::SymbolicLink) << name;
        EXPECT_EQ(files->linkTarget("/Books/album/" + name), text) << name;
    }
    EXPECT_EQ(files->contents("/Books/album/z.txt"), "last");
}

TEST_F(TransferTest, APushFollowsALinkNamedOnTheCommandLineUnlessItLeadsNowhere) {
    files->addDirectory("/Books");
    files->addDirectory("/DCIM");
    write("album/a.txt", "abc");
    fs::create_directory_symlink("album", local("to-album"));
    fs::create_symlink("album/a.txt", local("to-a"));
    fs::create_symlink("nowhere", local("dangling"));

    EXPECT_EQ(Transfer(console, *afc, false).push({local("to-album"), local("to-a"), local("dangling")}, "/Books"),
              kExitSuccess);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(files->contents("/Books/to-album/a.txt"), "abc");
    EXPECT_EQ(files->contents("/Books/to-a"), "abc");
    EXPECT_EQ(files->linkTarget("/Books/dangling"), "nowhere");
    // "." and ".." give the name of the directory they are; the root has none to give.
    EXPECT_EQ(Transfer(console, *afc, false).push({local("album/.")}, "/DCIM"), kExitSuccess);
    EXPECT_EQ(files->contents("/DCIM/album/a.txt"), "abc");
    EXPECT_EQ(Transfer(console, *afc, false).push({"/"}, "/DCIM"), kExitUsage);
    EXPECT_EQ(errors(), "keldo-device: push /: has no name to give it on the device\n");
}

TEST_F(TransferTest, AnUploadThatFailsLeavesNothingUnderTheRealNameNorBesideIt) {
    files->addFile("/Books/Welcome.txt", "hello");
    write("big", std::string(5 * AFCDirectoryAccess::kUploadChunk, 'b'));
    const std::vector<std::string> before = files->names("/Books");
    struct Case {
        Fault fault;
        std::string text;
    };
    const std::vector<Case> cases{
        {Fault("AFCFileRefWrite", SimulatedFileSystem::kPermissionDenied).after(2), "AFCFileRefWrite failed: 10"},
        // A device may tell of a failed write only when the file is closed.
        {Fault("AFCFileRefClose", SimulatedFileSystem::kPermissionDenied), "AFCFileRefClose failed: 10"},
        {Fault("AFCRenamePath", SimulatedFileSystem::kPermissionDenied),
         "permission denied [AFCRenamePath 0x000A]"},
    };
    for (const auto& c : cases) {
        files->inject(c.fault);
        EXPECT_EQ(Transfer(console, *afc, false).push({local("big")}, "/Books"), kExitDeviceError) << c.text;
        EXPECT_EQ(errors(), fmt::format("keldo-device: push {}: {}\n", local("big"), c.text));
        EXPECT_EQ(files->names("/Books"), before) << c.text;
        std::rewind(err.get());
        ASSERT_EQ(::ftruncate(::fileno(err.get()), 0), 0);
    }
    // When the device stops answering, the message names what is left on it.
    files->inject(Fault("AFCFileRefWrite", SimulatedFileSystem::kUnknownError));
    files->inject(Fault("AFCRemovePath", SimulatedFileSystem::kUnknownError).times(-1));
    files->inject(Fault("AFCDeviceInfoOpen", SimulatedFileSystem::kUnknownError).times(-1));
    EXPECT_EQ(Transfer(console, *afc, false).push({local("big")}, "/Books"), kExitDeviceError);
    std::vector<std::string> left = files->names("/Books");
    ASSERT_EQ(left.size(), before.size() + 1);
    const std::string temporary = left.front() == "Welcome.txt" ? left.back() : left.front();
    EXPECT_EQ(temporary.rfind(".big.keldo-", 0), 0u) << temporary;
    EXPECT_EQ(errors(), fmt::format("keldo-device: push {}: AFCFileRefWrite failed: 1 (the device no longer answers; "
                                    "/Books/{} is left on it)\n",
                                    local("big"), temporary));
}

} // namespace
} // namespace keldo
