#include "tools/device/Transfer.h"

#include "tools/device/ExitCode.h"
#include "tools/device/ToolFixture.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(errors(), "keldo-device: pull /T/2.bin: AFCFileRefRead failed: 20\n");
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

} // namespace
} // namespace keldo
