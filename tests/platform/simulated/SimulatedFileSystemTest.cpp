#include "platform/simulated/SimulatedFileSystem.h"

#include <gmock/gmock.h>
#include <pthread.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using Fs = SimulatedFileSystem;

TEST(SimulatedFileSystem, FollowsLinksLikeTheDevice) {
    Fs fs;
    fs.addFile("/a/f", "one");
    fs.addSymbolicLink("/link", "a");
    fs.addSymbolicLink("/a/up", "..");
    fs.addHardLink("/a/g", "/a/f");
    std::vector<std::string> names;
    EXPECT_EQ(fs.readDirectory("/link/up/link", names), 0);
    EXPECT_THAT(names, ElementsAre(".", "..", "f", "up", "g"));
    EXPECT_EQ(fs.removePath("/a/f"), 0);
    EXPECT_EQ(fs.contents("/link/g"), "one");  // the second name keeps the file
    Fs::KeyValues info;
    EXPECT_EQ(fs.fileInfo("/link", info), 0);  // the link itself
    EXPECT_EQ(info[3].value, "S_IFLNK");
    EXPECT_EQ(info.back().value, "a");
    fs.addSymbolicLink("/self", "/self");
    EXPECT_EQ(fs.readDirectory("/self", names), Fs::kUnknownError);
}

TEST(SimulatedFileSystem, OpenModesCreateAndEmptyAsTheirMeaningSays) {
    Fs fs;
    fs.addFile("/f", "abc");
    std::uint64_t handle = 0;
    EXPECT_EQ(fs.openFile("/missing", 1, handle), Fs::kNotFound);
    EXPECT_EQ(fs.openFile("/f", 3, handle), 0);
    EXPECT_EQ(fs.contents("/f"), "abc");
    EXPECT_EQ(fs.openFile("/f", 2, handle), 0);
    EXPECT_EQ(fs.contents("/f"), "");
    EXPECT_EQ(fs.openFile("/", 2, handle), Fs::kIsADirectory);
    EXPECT_EQ(fs.openFile("/f", 4, handle), Fs::kInvalidArgument);
    EXPECT_EQ(fs.openFiles(), 2u);
    EXPECT_EQ(fs.write(handle, "abcdef", 6), 0);
    EXPECT_EQ(fs.seek(handle, 2, 0), 0);
    EXPECT_EQ(fs.remaining(handle), 4u);
    EXPECT_EQ(fs.seek(handle, 9, 0), 0);
    EXPECT_EQ(fs.remaining(handle), 0u);
}

TEST(SimulatedFileSystem, RefusesWhatTheDeviceRefuses) {
    Fs fs;
    fs.addFile("/d/e/f");
    EXPECT_EQ(fs.makeDirectory("/d"), Fs::kExists);
    EXPECT_EQ(fs.makeDirectory("/x/y"), Fs::kNotFound);
    EXPECT_EQ(fs.removePath("/d"), Fs::kUnknownError);  // not empty
    EXPECT_EQ(fs.renamePath("/d", "/d/e/inside"), Fs::kInvalidArgument);
    EXPECT_EQ(fs.makeLink(1, "/d", "/hard"), Fs::kPermissionDenied);
    EXPECT_EQ(fs.makeLink(2, "/anything", "/d"), Fs::kExists);
    // A hard link onto a name that is taken is refused, whatever holds the name: an upload's
    // last step relies on it.
    fs.addFile("/taken", "kept");
    EXPECT_EQ(fs.makeLink(1, "/d/e/f", "/taken"), Fs::kExists);
    EXPECT_EQ(fs.contents("/taken"), "kept");
    EXPECT_EQ(fs.renamePath("/d/e/f", "/g"), 0);
    EXPECT_EQ(fs.kind("/g"), Fs::Kind::File);
}

TEST(SimulatedFileSystem, RemovesATreeEntryByEntryWithoutFollowingLinks) {
    Fs fs;
    fs.addFile("/t/a/f", "x");
    fs.addSymbolicLink("/t/a/outside", "/elsewhere");
    fs.addFile("/t/b");
    fs.addFile("/elsewhere/kept", "kept");
    fs.addSymbolicLink("/link", "/elsewhere");
    std::uint64_t handle = 0;
    ASSERT_EQ(fs.openFile("/t/a/f", 1, handle), 0);
    // An entry that can't go ends the removal there; what went before it stays gone.
    fs.inject(Fs::Fault("AFCRemovePath", 20).onPath("/t/b"));
    EXPECT_EQ(fs.removePathAndContents("/t"), 20);
    EXPECT_THAT(fs.names("/t"), ElementsAre("b"));
    EXPECT_EQ(fs.removePathAndContents("/t"), 0);
    EXPECT_EQ(fs.removePathAndContents("/link"), 0);
    EXPECT_THAT(fs.names("/"), ElementsAre("elsewhere"));
    EXPECT_EQ(fs.contents("/elsewhere/kept"), "kept");
    char byte = 0;
    std::uint64_t count = 1;
    EXPECT_EQ(fs.read(handle, &byte, count), 0);  // an open file outlives its name
    EXPECT_EQ(byte, 'x');
    EXPECT_EQ(fs.removePathAndContents("/t"), Fs::kNotFound);
    EXPECT_EQ(fs.removePathAndContents("/elsewhere/.."), Fs::kPermissionDenied);  // the root
}

// Renames make a tree of any depth out of short paths; the file system goes all the same, here on
// a thread whose stack holds a few thousand frames at most.
TEST(SimulatedFileSystem, ATreeOfAnyDepthGoesWithoutRecursion) {
    auto fs = std::make_unique<Fs>();
    std::string deepest;
    for (int i = 0; i < 20'000; ++i) deepest += "/d";
    fs->addFile(deepest + "/f", "bottom");
    fs->addHardLink("/f", deepest + "/f");
    pthread_attr_t small;
    ASSERT_EQ(::pthread_attr_init(&small), 0);
    ASSERT_EQ(::pthread_attr_setstacksize(&small, 256 * 1024), 0);
    pthread_t thread;
    auto destroy = [](void* files) -> void* {
        delete static_cast<Fs*>(files);
        return nullptr;
    };
    ASSERT_EQ(::pthread_create(&thread, &small, destroy, fs.release()), 0);
    ::pthread_join(thread, nullptr);
    ::pthread_attr_destroy(&small);
}

TEST(SimulatedFileSystem, KeepsToTheDevicesLimitsOfNamesAndPaths) {
    Fs fs;
    fs.addFile("/f", "kept");
    const std::string longest = "/" + std::string(Fs::kMaxName, 'n');
    const std::string tooLong = longest + "n";
    const std::string cut = "/caf\xC3";  // the first byte of a two-byte character
    std::uint64_t handle = 0;
    for (const auto& name : {tooLong, cut}) {
        EXPECT_EQ(fs.makeDirectory(name), Fs::kInvalidArgument) << name;
        EXPECT_EQ(fs.openFile(name, 2, handle), Fs::kInvalidArgument) << name;
        EXPECT_EQ(fs.renamePath("/f", name), Fs::kInvalidArgument) << name;
        EXPECT_EQ(fs.makeLink(1, "/f", name), Fs::kInvalidArgument) << name;
    }
    EXPECT_THAT(fs.names("/"), ElementsAre("f"));
    Fs::KeyValues info;
    EXPECT_EQ(fs.fileInfo(tooLong + "/f", info), Fs::kInvalidArgument);  // too long even to look up
    EXPECT_EQ(fs.makeDirectory(longest), 0);
    EXPECT_EQ(fs.openFile(longest + "/caf\xC3\xA9", 2, handle), 0);

    // PATH_MAX counts the terminating NUL; the slashes are only length.
    const auto path = [](std::size_t size) { return std::string(size - 1, '/') + "f"; };
    EXPECT_EQ(fs.fileInfo(path(Fs::kMaxPath - 1), info), 0);
    EXPECT_EQ(fs.fileInfo(path(Fs::kMaxPath), info), Fs::kInvalidArgument);

    // What a device already holds stays reachable, however it is named.
    fs.addFile("/\xFF");
    EXPECT_EQ(fs.removePath("/\xFF"), 0);
    fs.setKeepsLimits(false);
    EXPECT_EQ(fs.makeDirectory(tooLong), 0);
    EXPECT_EQ(fs.makeDirectory(cut), 0);
}

TEST(SimulatedFileSystem, AllFilesTogetherGrowNoFurtherThanTheCapacity) {
    constexpr std::int32_t kNoSpace = 18;
    Fs fs;
    fs.setCapacity(10);
    fs.addFile("/a", "123456");
    fs.addHardLink("/same-a", "/a");  // one file's bytes, whatever its names
    std::uint64_t b = 0;
    ASSERT_EQ(fs.openFile("/b", 2, b), 0);
    EXPECT_EQ(fs.write(b, "12345", 5), kNoSpace);
    EXPECT_EQ(fs.setFileSize(b, 5), kNoSpace);
    EXPECT_EQ(fs.seek(b, 1ll << 62, 0), 0);
    EXPECT_EQ(fs.write(b, "1", 1), kNoSpace);
    EXPECT_EQ(fs.contents("/b"), "");  // nothing of a refused change is left
    EXPECT_EQ(fs.seek(b, 0, 0), 0);
    EXPECT_EQ(fs.write(b, "1234", 4), 0);
    EXPECT_EQ(fs.write(b, "5", 1), kNoSpace);
    EXPECT_EQ(fs.contents("/b"), "1234");

    // Space comes back when a file's last name and handle are gone, or when it shrinks.
    std::uint64_t a = 0;
    ASSERT_EQ(fs.openFile("/a", 1, a), 0);
    EXPECT_EQ(fs.removePath("/a"), 0);
    EXPECT_EQ(fs.removePath("/same-a"), 0);
    EXPECT_EQ(fs.setFileSize(b, 5), kNoSpace);  // still open
    EXPECT_EQ(fs.closeFile(a), 0);
    EXPECT_EQ(fs.setFileSize(b, 10), 0);
    EXPECT_EQ(fs.setFileSize(b, 2), 0);
    std::uint64_t c = 0;
    ASSERT_EQ(fs.openFile("/c", 2, c), 0);
    EXPECT_EQ(fs.write(c, "12345678", 8), 0);
    ASSERT_EQ(fs.openFile("/c", 2, c), 0);  // emptied
    EXPECT_EQ(fs.seek(b, 0, 0), 0);
    EXPECT_EQ(fs.write(b, "0123456789", 10), 0);
}

TEST(SimulatedFileSystem, FaultsHitTheChosenCallsOnly) {
    Fs fs;
    fs.addFile("/a");
    fs.addFile("/b");
    fs.inject(Fs::Fault("AFCFileInfoOpen", 20).onPath("/b").after(1).times(2));
    Fs::KeyValues info;
    EXPECT_EQ(fs.fileInfo("/a", info), 0);
    EXPECT_EQ(fs.fileInfo("/b", info), 0);
    EXPECT_EQ(fs.fileInfo("//b", info), 20);
    EXPECT_EQ(fs.fileInfo("/b", info), 20);
    EXPECT_EQ(fs.fileInfo("/b", info), 0);
    EXPECT_EQ(fs.lastErrorInfo()->at("NSLocalizedDescription"), PlistValue("Unknown error"));
}

} // namespace
} // namespace keldo
