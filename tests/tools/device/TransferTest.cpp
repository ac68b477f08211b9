#include "tools/device/Transfer.h"

#include "afc/AFCDirectoryAccess.h"
#include "tools/device/ExitCode.h"
#include "tools/device/Progress.h"
#include "tools/device/ToolFixture.h"

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace keldo {
namespace {

using Fault = SimulatedFileSystem::Fault;
using Kind = SimulatedFileSystem::Kind;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

constexpr std::int64_t kBillion = 1'000'000'000;

class TransferTest : public testing::ToolFixture {
protected:
    static Transfer::Options with(bool force, bool update, bool times = true) {
        Transfer::Options options;
        options.force = force;
        options.update = update;
        options.times = times;
        options.progress = false;
        return options;
    }
    int push(const std::vector<std::string>& locals, const std::string& remote,
             Transfer::Options options = with(false, false)) {
        return Transfer(console, *afc, options).push(locals, remote);
    }
    int pull(const std::vector<std::string>& remotes, const std::string& to,
             Transfer::Options options = with(false, false)) {
        return Transfer(console, *afc, options).pull(remotes, to);
    }
    // What was written on standard error since the last time.
    std::string messages() {
        std::string text = errors();
        std::rewind(err.get());
        EXPECT_EQ(::ftruncate(::fileno(err.get()), 0), 0);
        return text;
    }
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
    // Local modification times, links not followed, in nanoseconds since 1970.
    std::int64_t localTime(const std::string& name) {
        struct stat info {};
        EXPECT_EQ(::lstat(local(name).c_str(), &info), 0) << name;
        return info.st_mtim.tv_sec * kBillion + info.st_mtim.tv_nsec;
    }
    void setLocalTime(const std::string& name, std::int64_t nanoseconds) {
        const std::int64_t seconds = nanoseconds / kBillion - (nanoseconds % kBillion < 0 ? 1 : 0);
        const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds - seconds * kBillion}};
        ASSERT_EQ(::utimensat(AT_FDCWD, local(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << name;
    }
    std::int64_t remoteTime(const std::string& path) {
        return static_cast<std::int64_t>(files->modificationTime(path).value_or(0));
    }
    void setRemoteTime(const std::string& path, std::int64_t nanoseconds) {
        files->setTimes(path, 0, static_cast<std::uint64_t>(nanoseconds));
    }
    // Nothing that a transfer makes on its way is left on either side.
    void expectNoTemporaries(const std::string& remote) {
        for (const auto& path : everything()) EXPECT_THAT(path, ::testing::Not(HasSubstr(".keldo-")));
        for (const auto& name : files->names(remote)) EXPECT_THAT(name, ::testing::Not(HasSubstr(".keldo-")));
    }
};

TEST_F(TransferTest, APullThatFailsInATreeKeepsWhatCameAndNoHalfFile) {
    files->addFile("/T/1.txt", "one");
    files->addFile("/T/2.bin", std::string(3 << 20, 'x'));
    files->addFile("/T/3.txt", "three");
    // The second megabyte of 2.bin can't be read.
    files->inject(Fault("AFCFileRefRead", 20).onPath("/T/2.bin").after(1));

    EXPECT_EQ(pull({"/T"}, local("out")), kExitPartial);
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

    EXPECT_EQ(pull({"/Books/Welcome.txt"}, local("in")), kExitSuccess);
    EXPECT_EQ(read("in/Welcome.txt"), "hello");
    // A link named on the command line is followed; one inside a tree is made again.
    EXPECT_EQ(pull({"/Books/Latest.txt"}, local("latest.txt")), kExitSuccess);
    EXPECT_EQ(read("latest.txt"), "hello");
    EXPECT_EQ(pull({"/Books/"}, local("in")), kExitSuccess);
    EXPECT_EQ(fs::read_symlink(local("in/Books/Latest.txt")), "Welcome.txt");
    // A local link named as the target is written through, as cp writes through one.
    write("real.txt", "mine");
    fs::create_symlink("real.txt", local("to-real"));
    EXPECT_EQ(pull({"/Books/Welcome.txt"}, local("to-real"), with(true, false)), kExitSuccess);
    EXPECT_EQ(read("real.txt"), "hello");
    EXPECT_TRUE(fs::is_symlink(local("to-real")));
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
        {"/Books/.", {"Welcome.txt"}},  // what is in it, as cp has it
        {"//Books//Welcome.txt", {"Welcome.txt"}},
        {"./Books/../../Books/Welcome.txt", {"Welcome.txt"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(local("parent/dest"));
        fs::create_directory(local("parent/dest"));
        EXPECT_EQ(pull({c.remote}, local("parent/dest")), kExitSuccess) << c.remote;
        std::set<std::string> expected = before;
        expected.insert("parent/dest");
        for (const auto& path : c.made) expected.insert("parent/dest/" + path);
        EXPECT_EQ(everything(), expected) << c.remote;
        EXPECT_EQ(read("parent/Books/Welcome.txt"), "mine") << c.remote;
    }
    // A target that is not there yet is the root's copy itself.
    EXPECT_EQ(pull({"/DCIM/.."}, local("parent/new")), kExitSuccess);
    EXPECT_EQ(read("parent/new/Books/Welcome.txt"), "device");
    EXPECT_EQ(read("parent/Books/Welcome.txt"), "mine");
    EXPECT_EQ(errors(), "");

    // A name that the device lists with ".." in it is refused, not followed out of the target.
    files->addStrayName("/DCIM", "../../Books");
    EXPECT_EQ(pull({"/DCIM"}, local("parent/dest"), with(true, false)), kExitDeviceError);
    EXPECT_EQ(read("parent/Books/Welcome.txt"), "mine");
    EXPECT_THAT(errors(), HasSubstr("the device gave an unsafe name"));
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

    EXPECT_EQ(push({local("album")}, "/Books"), kExitSuccess);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(files->names("/Books/album"),
              (std::vector<std::string>{"a.txt", "dangling", "outside", "to-a", "up", "z.txt"}));
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"dangling", "nowhere"}, {"up", ".."}, {"outside", "../other"}, {"to-a", "a.txt"}}) {
        EXPECT_EQ(files->kind("/Books/album/" + name), Kind::SymbolicLink) << name;
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

    EXPECT_EQ(push({local("to-album"), local("to-a"), local("dangling")}, "/Books"), kExitSuccess);
    EXPECT_EQ(errors(), "");
    EXPECT_EQ(files->contents("/Books/to-album/a.txt"), "abc");
    EXPECT_EQ(files->contents("/Books/to-a"), "abc");
    EXPECT_EQ(files->linkTarget("/Books/dangling"), "nowhere");
    // ".." gives the name of the directory it is; the root has none to give.
    fs::create_directory(local("album/sub"));
    EXPECT_EQ(push({local("album/sub/..")}, "/DCIM/"), kExitSuccess);
    EXPECT_EQ(files->contents("/DCIM/album/a.txt"), "abc");
    EXPECT_EQ(push({"/"}, "/DCIM"), kExitUsage);
    EXPECT_EQ(errors(), "keldo-device: push /: has no name to give it on the device\n");
}

TEST_F(TransferTest, AnUploadThatFailsLeavesNothingUnderTheRealNameNorBesideIt) {
    files->addFile("/Books/Welcome.txt", "hello");
    write("big", std::string(5 * Transfer::kChunk, 'b'));
    const std::vector<std::string> before = files->names("/Books");
    struct Case {
        std::vector<Fault> faults;
        std::string text;
    };
    const std::vector<Case> cases{
        {{Fault("AFCFileRefWrite", SimulatedFileSystem::kPermissionDenied).after(2)},
         "permission denied [AFCFileRefWrite 0x000A]"},
        // A device may tell of a failed write only when the file is closed.
        {{Fault("AFCFileRefClose", SimulatedFileSystem::kPermissionDenied)},
         "permission denied [AFCFileRefClose 0x000A]"},
        // The last step, on a device that makes no links.
        {{Fault("AFCLinkPath", SimulatedFileSystem::kPermissionDenied),
          Fault("AFCRenamePath", SimulatedFileSystem::kPermissionDenied)},
         "permission denied [AFCRenamePath 0x000A]"},
    };
    for (const auto& c : cases) {
        for (const auto& fault : c.faults) files->inject(fault);
        EXPECT_EQ(push({local("big")}, "/Books"), kExitDeviceError) << c.text;
        EXPECT_EQ(messages(), fmt::format("keldo-device: push {}: {}\n", local("big"), c.text));
        EXPECT_EQ(files->names("/Books"), before) << c.text;
    }
    // When the device stops answering, the message names what is left on it.
    files->inject(Fault("AFCFileRefWrite", SimulatedFileSystem::kUnknownError));
    files->inject(Fault("AFCRemovePath", SimulatedFileSystem::kUnknownError).times(-1));
    files->inject(Fault("AFCDeviceInfoOpen", SimulatedFileSystem::kUnknownError).times(-1));
    EXPECT_EQ(push({local("big")}, "/Books"), kExitDeviceError);
    std::vector<std::string> left = files->names("/Books");
    ASSERT_EQ(left.size(), before.size() + 1);
    const std::string temporary = left.front() == "Welcome.txt" ? left.back() : left.front();
    EXPECT_EQ(temporary.rfind(".big.keldo-", 0), 0u) << temporary;
    EXPECT_EQ(errors(), fmt::format("keldo-device: push {}: unknown error [AFCFileRefWrite 0x0001] (the device no "
                                    "longer answers; /Books/{} is left on it)\n",
                                    local("big"), temporary));
}

// What stands in the way, on the device and here.

TEST_F(TransferTest, APushMergesIntoDirectoriesAndRefusesWhatIsInTheWayOneByOne) {
    write("album/a.txt", "new a");
    write("album/b.txt", "new b");
    write("album/sub/c.txt", "new c");
    write("album/blocked/d.txt", "new d");
    write("album/blockedtoo/e.txt", "new e");  // beside the refused directory, not in it
    fs::create_symlink("a.txt", local("album/link"));
    files->addFile("/Books/album/a.txt", "old a");
    files->addDirectory("/Books/album/sub");
    files->addFile("/Books/album/blocked", "a file where a directory goes");
    files->addFile("/Books/album/link", "a file where a link goes");
    files->addDirectory("/Books/album/b.txt/inside");

    EXPECT_EQ(push({local("album")}, "/Books"), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: push {0}/a.txt: /Books/album/a.txt exists; not replaced "
                                      "without -f\n"
                                      "keldo-device: push {0}/b.txt: /Books/album/b.txt is a directory; not replaced\n"
                                      "keldo-device: push {0}/blocked: /Books/album/blocked exists and is not a "
                                      "directory; not replaced\n"
                                      "keldo-device: push {0}/link: /Books/album/link exists; not replaced "
                                      "without -f\n",
                                      local("album")));
    EXPECT_EQ(files->contents("/Books/album/a.txt"), "old a");
    EXPECT_EQ(files->contents("/Books/album/sub/c.txt"), "new c");
    EXPECT_EQ(files->contents("/Books/album/blocked"), "a file where a directory goes");
    EXPECT_EQ(files->contents("/Books/album/blockedtoo/e.txt"), "new e");

    // -f replaces files and links in one step each (never a directory, nor a file with one).
    sim->clearCalls();
    EXPECT_EQ(push({local("album")}, "/Books", with(true, false)), kExitPartial);
    EXPECT_THAT(messages(), HasSubstr("b.txt is a directory; not replaced"));
    EXPECT_EQ(files->contents("/Books/album/a.txt"), "new a");
    EXPECT_EQ(files->linkTarget("/Books/album/link"), "a.txt");
    EXPECT_EQ(files->kind("/Books/album/blocked"), Kind::File);
    EXPECT_EQ(count("AFCRemovePath"), 0);
    expectNoTemporaries("/Books/album");
}

// A tree of small files costs round trips: what the plan or the push itself knows is not asked.
TEST_F(TransferTest, NothingIsAskedThatTheTransferKnowsAlready) {
    files->addDirectory("/Books");
    write("album/a.txt", "a");
    write("album/sub/b.txt", "b");
    fs::create_symlink("a.txt", local("album/link"));
    // Into a directory the push makes: only the target and the new directory are looked at.
    EXPECT_EQ(push({local("album")}, "/Books"), kExitSuccess);
    EXPECT_EQ(count("AFCFileInfoOpen"), 2);
    EXPECT_EQ(files->contents("/Books/album/sub/b.txt"), "b");
    EXPECT_EQ(files->linkTarget("/Books/album/link"), "a.txt");
    // A name the plan found free is not asked again before the upload.
    sim->clearCalls();
    EXPECT_EQ(push({local("album/a.txt")}, "/Books/new.txt"), kExitSuccess);
    EXPECT_EQ(count("AFCFileInfoOpen"), 1);
    // A link named on the command line is listed once to learn that it leads to a directory.
    files->addSymbolicLink("/Books/shortcut", "album");
    sim->clearCalls();
    EXPECT_EQ(pull({"/Books/shortcut"}, local("copy")), kExitSuccess);
    EXPECT_EQ(read("copy/a.txt"), "a");
    EXPECT_EQ(count("AFCDirectoryOpen"), 2);
    // A small file's one read brings all of it and its end.
    EXPECT_EQ(count("AFCFileRefRead"), 2);
    expectNoTemporaries("/Books/album");
}

TEST_F(TransferTest, APullMergesIntoDirectoriesAndRefusesWhatIsInTheWayOneByOne) {
    files->addFile("/Books/a.txt", "new a");
    files->addFile("/Books/b.txt", "new b");
    files->addFile("/Books/sub/c.txt", "new c");
    files->addFile("/Books/blocked/d.txt", "new d");
    files->addSymbolicLink("/Books/link", "a.txt");
    files->addFile("/Books/to-outside", "new");
    write("copy/a.txt", "old a");
    fs::create_directories(local("copy/sub"));
    fs::create_directories(local("copy/b.txt"));
    write("copy/blocked", "a file where a directory goes");
    write("copy/link", "a file where a link goes");
    write("outside", "never written through");
    fs::create_symlink("../outside", local("copy/to-outside"));

    EXPECT_EQ(pull({"/Books/."}, local("copy")), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: pull /Books/a.txt: {0}/a.txt exists; not replaced "
                                      "without -f\n"
                                      "keldo-device: pull /Books/b.txt: {0}/b.txt is a directory; not replaced\n"
                                      "keldo-device: pull /Books/blocked: {0}/blocked exists and is not a "
                                      "directory; not replaced\n"
                                      "keldo-device: pull /Books/link: {0}/link exists; not replaced "
                                      "without -f\n"
                                      "keldo-device: pull /Books/to-outside: {0}/to-outside exists; not replaced "
                                      "without -f\n",
                                      local("copy")));
    EXPECT_EQ(read("copy/a.txt"), "old a");
    EXPECT_EQ(read("copy/sub/c.txt"), "new c");

    // -f replaces files and links in one step each; a link in the way is replaced itself.
    EXPECT_EQ(pull({"/Books/."}, local("copy"), with(true, false)), kExitPartial);
    EXPECT_THAT(messages(), HasSubstr("b.txt is a directory; not replaced"));
    EXPECT_EQ(read("copy/a.txt"), "new a");
    EXPECT_EQ(fs::read_symlink(local("copy/link")), "a.txt");
    EXPECT_EQ(read("copy/to-outside"), "new");
    EXPECT_FALSE(fs::is_symlink(local("copy/to-outside")));
    EXPECT_EQ(read("outside"), "never written through");
    EXPECT_EQ(read("copy/blocked"), "a file where a directory goes");
    expectNoTemporaries("/Books");
}

TEST_F(TransferTest, WhatComesAtTheDestinationDuringAPullIsNeitherReplacedNorFollowed) {
    files->addFile("/T/a.txt", "new a");
    files->addFile("/T/sub/b.txt", "new b");
    files->addFile("/T/sub/c.txt", "new c");
    files->addFile("/T/sub2/d.txt", "new d");
    files->addSymbolicLink("/T/link", "a.txt");
    fs::create_directory(local("outside"));
    Transfer::Options options = with(false, false);
    options.atLocalStep = [&](const std::string& path) {
        // A file saved where a file or a link is about to go, a link where a directory will go,
        // and the directory a file goes in swapped for a link to another place.
        if (path == local("out/T/a.txt")) {
            write("out/T/a.txt", "saved meanwhile");
            fs::create_directory_symlink(local("outside"), local("out/T/sub2"));
        }
        if (path == local("out/T/link")) write("out/T/link", "saved meanwhile");
        if (path == local("out/T/sub/b.txt")) {
            fs::rename(local("out/T/sub"), local("out/T/moved"));
            fs::create_directory_symlink(local("outside"), local("out/T/sub"));
        }
    };
    fs::create_directory(local("out"));
    EXPECT_EQ(pull({"/T"}, local("out"), options), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: pull /T/a.txt: {0}/a.txt exists; not replaced without -f\n"
                                      "keldo-device: pull /T/link: {0}/link exists; not replaced without -f\n"
                                      "keldo-device: pull /T/sub2: {0}/sub2 exists and is not a directory; not "
                                      "replaced\n",
                                      local("out/T")));
    EXPECT_EQ(read("out/T/a.txt"), "saved meanwhile");
    EXPECT_EQ(read("out/T/link"), "saved meanwhile");
    EXPECT_TRUE(fs::is_empty(local("outside")));
    EXPECT_EQ(read("out/T/moved/b.txt"), "new b");
    EXPECT_EQ(read("out/T/moved/c.txt"), "new c");

    // Nor is a pipe written to without -f, wherever it stands; a directory refused leaves out what
    // goes in it, not what goes in a sibling whose name begins with its name.
    fs::remove_all(local("out"));
    files->addFile("/T/a/x.txt", "in a");
    files->addFile("/T/ab/y.txt", "in ab");
    fs::create_directory(local("out"));
    ASSERT_EQ(::mkfifo(local("out/a.txt").c_str(), 0600), 0);
    write("out/a", "a file where a directory goes");
    EXPECT_EQ(pull({"/T/a.txt", "/T/a", "/T/ab"}, local("out")), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: pull /T/a.txt: {0}/a.txt exists; not replaced without -f\n"
                                      "keldo-device: pull /T/a: {0}/a exists and is not a directory; not "
                                      "replaced\n",
                                      local("out")));
    EXPECT_TRUE(fs::is_fifo(local("out/a.txt")));
    EXPECT_EQ(read("out/ab/y.txt"), "in ab");
    // With -f, a pipe inside a pulled tree is replaced by the file: only one named is written into.
    fs::remove(local("out/a"));
    fs::create_directory(local("out/a"));
    ASSERT_EQ(::mkfifo(local("out/a/x.txt").c_str(), 0600), 0);
    EXPECT_EQ(pull({"/T/a"}, local("out"), with(true, false)), kExitSuccess) << messages();
    EXPECT_EQ(read("out/a/x.txt"), "in a");
    expectNoTemporaries("/T");
}

TEST_F(TransferTest, UpdateFinishesAnInterruptedJobAndLeavesWhatIsTheSameAlone) {
    write("album/a.txt", "one");
    write("album/b.txt", "two");
    fs::create_symlink("a.txt", local("album/link"));
    files->addDirectory("/Books");
    // The job stopped at b.txt.
    files->inject(Fault("AFCFileRefOpen", SimulatedFileSystem::kUnknownError).after(1));
    ASSERT_EQ(push({local("album")}, "/Books"), kExitPartial);
    messages();
    sim->clearCalls();

    EXPECT_EQ(push({local("album")}, "/Books", with(false, true)), kExitSuccess);
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(files->contents("/Books/album/b.txt"), "two");
    EXPECT_EQ(count("AFCFileRefOpen"), 1);
    // What differs in size or time is refused still, or with -f replaced.
    const std::int64_t before = localTime("album/a.txt");
    write("album/a.txt", "ONE");
    setLocalTime("album/a.txt", before + 1000 * 1000);
    const std::int64_t timeOfB = localTime("album/b.txt");
    write("album/b.txt", "longer");
    setLocalTime("album/b.txt", timeOfB);
    EXPECT_EQ(push({local("album")}, "/Books", with(false, true)), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: push {0}/a.txt: /Books/album/a.txt exists; not replaced "
                                      "without -f\n"
                                      "keldo-device: push {0}/b.txt: /Books/album/b.txt exists; not replaced "
                                      "without -f\n",
                                      local("album")));
    EXPECT_EQ(push({local("album")}, "/Books", with(true, true)), kExitSuccess);
    EXPECT_EQ(files->contents("/Books/album/a.txt"), "ONE");

    // The same the other way.
    EXPECT_EQ(pull({"/Books/album"}, dir, with(false, false)), kExitPartial);  // onto the sources
    messages();
    fs::remove(local("album/b.txt"));
    sim->clearCalls();
    EXPECT_EQ(pull({"/Books/album"}, dir, with(false, true)), kExitSuccess);
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(read("album/b.txt"), "longer");
    EXPECT_EQ(count("AFCFileRefOpen"), 1);
    // Another size is another file, even at the same time.
    const std::int64_t same = localTime("album/b.txt");
    write("album/b.txt", "cut");
    setLocalTime("album/b.txt", same);
    EXPECT_EQ(pull({"/Books/album"}, dir, with(false, true)), kExitPartial);
    EXPECT_THAT(messages(), HasSubstr("b.txt exists; not replaced without -f"));
}

// Without -f the device itself decides at the last step whether the name is free: a file that
// came after the check before the upload is never replaced.
TEST_F(TransferTest, WithoutForceAFileThatCameDuringTheUploadIsNeverReplaced) {
    write("new.txt", "mine");
    files->addFile("/Books/new.txt", "theirs");
    // The device answers the checks as if it were not there yet.
    files->inject(Fault("AFCFileInfoOpen", SimulatedFileSystem::kNotFound).onPath("/Books/new.txt").times(-1));
    EXPECT_EQ(push({local("new.txt")}, "/Books"), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: push {}: /Books/new.txt exists; not replaced without -f\n",
                                      local("new.txt")));
    EXPECT_EQ(files->contents("/Books/new.txt"), "theirs");
    expectNoTemporaries("/Books");
    // A symbolic link is made only where no name is, too.
    fs::create_symlink("nowhere", local("new-link"));
    files->addFile("/Books/new-link", "theirs");
    files->inject(Fault("AFCFileInfoOpen", SimulatedFileSystem::kNotFound).onPath("/Books/new-link").times(-1));
    EXPECT_EQ(push({local("new-link")}, "/Books"), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: push {}: /Books/new-link exists; not replaced without -f\n",
                                      local("new-link")));
    EXPECT_EQ(files->contents("/Books/new-link"), "theirs");

    // A device that makes no hard links is asked just before the rename instead.
    files->clearFaults();
    files->inject(Fault("AFCFileInfoOpen", SimulatedFileSystem::kNotFound).onPath("/Books/new.txt"));
    files->inject(Fault("AFCLinkPath", 15).times(-1));
    EXPECT_EQ(push({local("new.txt")}, "/Books"), kExitPartial);
    EXPECT_EQ(files->contents("/Books/new.txt"), "theirs");
    EXPECT_EQ(push({local("new.txt")}, "/Books/other.txt"), kExitSuccess);
    EXPECT_EQ(files->contents("/Books/other.txt"), "mine");
    // A look that fails is no answer: nothing is renamed on it.
    files->inject(
        Fault("AFCFileInfoOpen", SimulatedFileSystem::kPermissionDenied).onPath("/Books/fourth.txt").after(1));
    EXPECT_EQ(push({local("new.txt")}, "/Books/fourth.txt"), kExitDeviceError);
    EXPECT_FALSE(files->kind("/Books/fourth.txt"));
    expectNoTemporaries("/Books");

    files->clearFaults();
    messages();
    EXPECT_EQ(push({local("new.txt")}, "/Books", with(true, false)), kExitSuccess);
    EXPECT_EQ(files->contents("/Books/new.txt"), "mine");
    EXPECT_EQ(push({local("new.txt")}, "/Books/third.txt"), kExitSuccess);
    EXPECT_EQ(files->contents("/Books/third.txt"), "mine");
    expectNoTemporaries("/Books");
}

// As tar and rsync tell it: a file written while it is read would arrive torn.
TEST_F(TransferTest, WhatChangesAtASourceDuringAPushDoesNotArrive) {
    write("big", std::string(3 * Transfer::kChunk, 'b'));
    write("small", "s");
    files->addDirectory("/Books");
    Transfer::Options options = with(false, false);
    options.progress = true;
    int ticks = 0;
    // The progress display's clock is asked once at the start, then after each chunk.
    options.progressClock = [&] {
        if (++ticks == 2) {
            EXPECT_EQ(::truncate(local("big").c_str(), Transfer::kChunk), 0);
        }
        return 0.0;
    };
    EXPECT_EQ(push({local("big"), local("small")}, "/Books", options), kExitPartial);
    EXPECT_THAT(messages(), HasSubstr(fmt::format("keldo-device: push {}: changed as we read it; not sent to "
                                                  "/Books/big\n",
                                                  local("big"))));
    EXPECT_FALSE(files->kind("/Books/big"));
    EXPECT_EQ(files->contents("/Books/small"), "s");
    expectNoTemporaries("/Books");

    // Nor does another file that comes to a source's path after the plan looked at it: a link
    // planted in a file's place, or in the place of a directory on its path.
    write("album/a.txt", "a");
    write("album/sub/b.txt", "b");
    write("album/c.txt", "c");
    write("secret.txt", "SECRET");
    write("secret/b.txt", "SECRET");
    options = with(false, false);
    options.atLocalStep = [&](const std::string& path) {
        if (path == local("album/a.txt")) {
            fs::remove(path);
            fs::create_symlink(local("secret.txt"), path);
        }
        if (path == local("album/sub/b.txt")) {
            fs::rename(local("album/sub"), local("album/moved"));
            fs::create_directory_symlink(local("secret"), local("album/sub"));
        }
    };
    EXPECT_EQ(push({local("album")}, "/Books", options), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: push {0}/a.txt: it became a symbolic link since it was looked "
                                      "at; not sent\n"
                                      "keldo-device: push {0}/sub/b.txt: another file stands at its path since it "
                                      "was looked at; not sent\n",
                                      local("album")));
    EXPECT_FALSE(files->kind("/Books/album/a.txt"));
    EXPECT_FALSE(files->kind("/Books/album/sub/b.txt"));
    EXPECT_EQ(files->contents("/Books/album/c.txt"), "c");
    expectNoTemporaries("/Books/album");
}

// Two sources of one name into one directory: the second never replaces the first copy.
TEST_F(TransferTest, ASecondSourceOfTheSameNameIsRefusedAsCpRefusesIt) {
    write("A/x.txt", "from A");
    write("B/x.txt", "from B");
    files->addDirectory("/dup");
    EXPECT_EQ(push({local("A/x.txt"), local("B/x.txt")}, "/dup", with(true, false)), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: push {}: will not overwrite just-created /dup/x.txt\n",
                                      local("B/x.txt")));
    EXPECT_EQ(files->contents("/dup/x.txt"), "from A");

    // Trees of one name merge; their files of one name don't.
    write("A/d/y.txt", "y from A");
    write("B/d/y.txt", "y from B");
    write("B/d/z.txt", "z from B");
    EXPECT_EQ(push({local("A/d"), local("B/d")}, "/dup"), kExitPartial);
    messages();
    EXPECT_EQ(files->contents("/dup/d/y.txt"), "y from A");
    EXPECT_EQ(files->contents("/dup/d/z.txt"), "z from B");

    files->addFile("/A/x.txt", "from A");
    files->addFile("/B/x.txt", "from B");
    fs::create_directories(local("pulled"));
    EXPECT_EQ(pull({"/[AB]/x.txt"}, local("pulled"), with(true, false)), kExitPartial);
    EXPECT_EQ(messages(), fmt::format("keldo-device: pull /B/x.txt: will not overwrite just-created {}/x.txt\n",
                                      local("pulled")));
    EXPECT_EQ(read("pulled/x.txt"), "from A");
}

// Where things go: cp's rules.

TEST_F(TransferTest, OneSourceGoesToTheNameGivenAndSeveralIntoADirectoryAsCpHasIt) {
    write("a.txt", "alpha");
    write("b.txt", "beta");
    write("album/c.txt", "gamma");
    files->addFile("/Books/Welcome.txt", "hello");

    EXPECT_EQ(push({local("a.txt")}, "/Books/renamed.txt"), kExitSuccess);
    EXPECT_EQ(files->contents("/Books/renamed.txt"), "alpha");
    EXPECT_EQ(push({local("b.txt")}, "/Books/Welcome.txt", with(true, false)), kExitSuccess);
    EXPECT_EQ(files->contents("/Books/Welcome.txt"), "beta");
    EXPECT_EQ(push({local("album")}, "/Copy/"), kExitSuccess);  // one directory makes it
    EXPECT_EQ(files->contents("/Copy/c.txt"), "gamma");
    EXPECT_EQ(push({local("album/.")}, "/Books"), kExitSuccess);  // what is in it
    EXPECT_EQ(files->contents("/Books/c.txt"), "gamma");
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(push({local("a.txt"), local("b.txt")}, "/Books/Welcome.txt"), kExitDeviceError);
    EXPECT_EQ(push({local("a.txt"), local("b.txt")}, "/Nothing"), kExitDeviceError);
    EXPECT_EQ(push({local("a.txt")}, "/Nothing/"), kExitDeviceError);
    EXPECT_EQ(push({local("a.txt")}, "/Books/Welcome.txt/"), kExitDeviceError);
    EXPECT_EQ(messages(), fmt::format("keldo-device: push: /Books/Welcome.txt is not a directory on the device\n"
                                      "keldo-device: push: /Nothing: no such directory on the device\n"
                                      "keldo-device: push {0}: /Nothing: no such directory on the device\n"
                                      "keldo-device: push {0}: /Books/Welcome.txt is not a directory on the device\n",
                                      local("a.txt")));

    EXPECT_EQ(pull({"/Books/Welcome.txt"}, local("w.txt")), kExitSuccess);
    EXPECT_EQ(read("w.txt"), "beta");
    EXPECT_EQ(pull({"/Books/renamed.txt", "/Copy"}, local("album")), kExitSuccess);
    EXPECT_EQ(read("album/renamed.txt"), "alpha");
    EXPECT_EQ(read("album/Copy/c.txt"), "gamma");
    EXPECT_EQ(pull({"/Copy/."}, local("new/")), kExitSuccess);
    EXPECT_EQ(read("new/c.txt"), "gamma");
    EXPECT_EQ(messages(), "");
    EXPECT_EQ(pull({"/Books/Welcome.txt", "/Copy"}, local("w.txt")), kExitDeviceError);
    EXPECT_EQ(pull({"/Books/Welcome.txt/"}, dir), kExitDeviceError);
    EXPECT_EQ(pull({"/Books/Welcome.txt"}, local("none/")), kExitDeviceError);
    EXPECT_EQ(messages(), fmt::format("keldo-device: pull: {0}/w.txt is not a directory\n"
                                      "keldo-device: pull /Books/Welcome.txt/: not a directory\n"
                                      "keldo-device: pull /Books/Welcome.txt: {0}/none/: no such directory\n",
                                      dir));
}

// Times.

TEST_F(TransferTest, ModificationTimesGoBothWaysWithNanosecondsAndBefore1970) {
    const std::vector<std::int64_t> times{
        1'700'000'000 * kBillion + 123'456'789,  // 2023
        -315'619'200 * kBillion + 999'999'999,   // 1960, the last nanosecond of a second
        -1,                                      // just before 1970
        0,
    };
    write("album/f0", "x");
    write("album/f1", "x");
    write("album/f2", "x");
    write("album/f3", "x");
    for (std::size_t i = 0; i < times.size(); ++i) setLocalTime(fmt::format("album/f{}", i), times[i]);
    setLocalTime("album", times[0]);
    files->addDirectory("/Books");
    ASSERT_EQ(push({local("album")}, "/Books"), kExitSuccess);
    // Through the library's date in double precision: within a microsecond of it.
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_NEAR(remoteTime(fmt::format("/Books/album/f{}", i)), times[i], 1000) << i;
    EXPECT_NEAR(remoteTime("/Books/album"), times[0], 1000);

    // Back from the device, to the nanosecond: files, links and directories.
    files->addSymbolicLink("/Books/album/link", "f0");
    for (std::size_t i = 0; i < times.size(); ++i) setRemoteTime(fmt::format("/Books/album/f{}", i), times[i]);
    setRemoteTime("/Books/album/link", times[1]);
    setRemoteTime("/Books/album", times[2]);
    ASSERT_EQ(pull({"/Books/album"}, local("back")), kExitSuccess);
    for (std::size_t i = 0; i < times.size(); ++i) EXPECT_EQ(localTime(fmt::format("back/f{}", i)), times[i]) << i;
    EXPECT_EQ(localTime("back/link"), times[1]);
    EXPECT_EQ(localTime("back"), times[2]);

    // --no-times leaves them to the moment.
    files->setClock(5 * kBillion);
    ASSERT_EQ(push({local("album/f1")}, "/Books/now", with(false, false, false)), kExitSuccess);
    EXPECT_EQ(remoteTime("/Books/now"), 5 * kBillion);
    ASSERT_EQ(pull({"/Books/album/f1"}, local("now"), with(false, false, false)), kExitSuccess);
    EXPECT_GT(localTime("now"), 1'700'000'000 * kBillion);
    EXPECT_EQ(messages(), "");
}

TEST_F(TransferTest, APullShowsBytesAsTheyArriveAndEndsWithASummary) {
    files->addFile("/Books/a-small", "s");
    files->addFile("/Books/big", std::string(3 << 20, 'b'));
    write("copy/a-small", "s");
    setRemoteTime("/Books/a-small", 0);
    setLocalTime("copy/a-small", 0);
    Transfer::Options options = with(false, true);
    options.progress = true;
    double now = 0;
    options.progressClock = [&now] { return now += Progress::kLineInterval; };
    EXPECT_EQ(pull({"/Books/."}, local("copy"), options), kExitSuccess);
    EXPECT_THAT(messages(), ::testing::MatchesRegex("pull: 1.0 MiB of 3.0 MiB \\(33%\\), 0/1 file, .*\n"
                                                    "pull: 2.0 MiB of 3.0 MiB \\(66%\\), 0/1 file, .*\n"
                                                    "pull: 3.0 MiB of 3.0 MiB \\(100%\\), 0/1 file, .*\n"
                                                    "pull: 3.0 MiB of 3.0 MiB \\(100%\\), 1/1 file, .*\n"
                                                    "pull: 1 file, 3.0 MiB in .* s \\(.*/s\\), 1 up to date\n"));
}

} // namespace
} // namespace keldo
