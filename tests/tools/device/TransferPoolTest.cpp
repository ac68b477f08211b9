#include "tools/device/TransferPool.h"

#include "afc/AFCDirectoryAccess.h"
#include "tools/device/ExitCode.h"
#include "tools/device/ToolFixture.h"
#include "tools/device/Transfer.h"

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace keldo {
namespace {

using Fault = SimulatedFileSystem::Fault;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

// Trees moved over several connections at once: the names of the tests say "Concurrent" so that
// the ThreadSanitizer run takes them.
class TransferPoolTest : public testing::ToolFixture {
protected:
    Transfer::Options over(unsigned connections, bool force = false) {
        Transfer::Options options;
        options.force = force;
        options.progress = false;
        options.connections = connections;
        options.connect = [this] {
            ++opened;
            return device->directoryForName("com.apple.afc");
        };
        return options;
    }
    void write(const std::string& name, const std::string& contents) {
        fs::create_directories(fs::path(local(name)).parent_path());
        std::ofstream(local(name), std::ios::binary) << contents;
    }
    std::string read(const std::string& name) {
        std::ifstream in(local(name), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Names for a tree of small files in three directories, in path order.
    static std::vector<std::string> tree() {
        std::vector<std::string> names;
        for (const char* directory : {"a", "b", "b/c"}) {
            for (int i = 0; i < 12; ++i) names.push_back(fmt::format("{}/f{:02}", directory, i));
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    int opened = 0;
};

TEST_F(TransferPoolTest, ConcurrentPushMovesATreeAndSaysRefusalsInPathOrder) {
    files->addDirectory("/T");
    for (const auto& name : tree()) write("album/" + name, "contents of " + name);
    const timespec times[2] = {{0, UTIME_OMIT}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, local("album/b/c").c_str(), times, 0), 0);
    // Every third file is in the way already, and is refused without -f.
    std::string expected;
    for (std::size_t i = 0; i < tree().size(); i += 3) {
        const std::string remote = "/T/album/" + tree()[i];
        files->addFile(remote, "old");
        expected += fmt::format("keldo-device: push {}: {} exists; not replaced without -f\n",
                                local("album/" + tree()[i]), remote);
    }

    EXPECT_EQ(Transfer(console, *afc, over(3)).push({local("album")}, "/T"), kExitPartial);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(errors(), expected);
    for (std::size_t i = 0; i < tree().size(); ++i) {
        const std::string remote = "/T/album/" + tree()[i];
        EXPECT_EQ(files->contents(remote), i % 3 == 0 ? "old" : "contents of " + tree()[i]) << remote;
    }
    // A directory's time is given once everything is in it.
    EXPECT_EQ(files->modificationTime("/T/album/b/c").value_or(0), 1000'000'000'000u);
    for (const char* directory : {"/T/album/a", "/T/album/b", "/T/album/b/c"}) {
        for (const auto& name : files->names(directory)) EXPECT_THAT(name, Not(HasSubstr(".keldo-")));
    }
}

TEST_F(TransferPoolTest, ConcurrentPullMovesATreeAndGivesDirectoriesTheirTimesAfterTheirFiles) {
    for (const auto& name : tree()) files->addFile("/T/" + name, "remote " + name);
    files->setTimes("/T/b/c", 0, 2000'000'000'000u);
    files->setTimes("/T/a", 0, 3000'000'000'000u);
    write("out/T/b/f05", "mine");

    EXPECT_EQ(Transfer(console, *afc, over(4)).pull({"/T"}, local("out")), kExitPartial);
    EXPECT_EQ(opened, 3);
    EXPECT_EQ(errors(), fmt::format("keldo-device: pull /T/b/f05: {} exists; not replaced without -f\n",
                                    local("out/T/b/f05")));
    for (const auto& name : tree()) {
        if (name == "b/f05") continue;
        EXPECT_EQ(read("out/T/" + name), "remote " + name) << name;
    }
    struct stat info {};
    ASSERT_EQ(::stat(local("out/T/b/c").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 2000);
    ASSERT_EQ(::stat(local("out/T/a").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 3000);
}

// The plan of a pull asks what a directory holds over the connections at once, and each entry
// only once: as many questions as over one connection.
TEST_F(TransferPoolTest, ConcurrentPullLooksAtEachEntryOnceOverSeveralConnections) {
    for (const auto& name : tree()) files->addFile("/T/" + name, "remote " + name);
    auto asked = [this] {
        std::set<std::string> connections;
        int count = 0;
        for (const auto& call : sim->calls()) {
            if (call.name != "AFCFileInfoOpen") continue;
            ++count;
            connections.insert(call.args.at(0));
        }
        sim->clearCalls();
        return std::make_pair(count, connections.size());
    };
    ASSERT_EQ(Transfer(console, *afc, over(1)).pull({"/T"}, local("one")), kExitSuccess);
    const int once = asked().first;
    ASSERT_EQ(Transfer(console, *afc, over(4)).pull({"/T"}, local("four")), kExitSuccess);
    const auto [count, connections] = asked();
    EXPECT_EQ(count, once);
    EXPECT_GT(connections, 1u);
    for (const auto& name : tree()) EXPECT_EQ(read("four/" + name), "remote " + name) << name;
}

// A failure on one connection stops the job: what the others had begun is finished or removed,
// nothing is left half-made, and the failure is the last word.
TEST_F(TransferPoolTest, ConcurrentPushThatFailsLeavesNoTemporaryOnAnyConnection) {
    files->addDirectory("/T");
    for (const auto& name : tree()) write("album/" + name, std::string(100, 'x'));
    files->inject(Fault("AFCFileRefWrite", 7).after(5));

    EXPECT_EQ(Transfer(console, *afc, over(3, true)).push({local("album")}, "/T"), kExitPartial);
    const std::string said = errors();
    EXPECT_THAT(said, ::testing::MatchesRegex("keldo-device: push .*/album/[a-c/]+f[0-9]+: .*\n"));
    int arrived = 0;
    for (const char* directory : {"/T/album/a", "/T/album/b", "/T/album/b/c"}) {
        for (const auto& name : files->names(directory)) {
            EXPECT_THAT(name, Not(HasSubstr(".keldo-")));
            if (name.rfind('f', 0) == 0) ++arrived;
        }
    }
    EXPECT_GE(arrived, 5);
    EXPECT_LT(arrived, static_cast<int>(tree().size()));
}

} // namespace
} // namespace keldo
