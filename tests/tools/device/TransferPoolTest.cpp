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

    // A large file is moved in ranges over the connections: 257 of 4 KiB here.
    Transfer::Options sharing(unsigned connections, bool force = false) {
        Transfer::Options options = over(connections, force);
        options.largeFile = 8 * 1024;
        return options;
    }
    static std::string large() {
        std::string bytes(1024 * 1024 + 123, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
        return bytes;
    }
    // The connections that made the calls `name` since they were last counted.
    std::set<std::string> connectionsOf(const std::string& name) {
        std::set<std::string> connections;
        for (const auto& call : sim->calls()) {
            if (call.name == name) connections.insert(call.args.at(0));
        }
        sim->clearCalls();
        return connections;
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

// One large file keeps several connections busy, each with its own ranges of it; what arrives is
// the file, under its name only once whole, with its time. Whether a helper's thread wakes before
// the lead has taken every range is the scheduler's choice: a few tries show that they can.
TEST_F(TransferPoolTest, ConcurrentLargeFileGoesInRangesOverSeveralConnectionsBothWays) {
    files->addDirectory("/T");
    write("big", large());
    const timespec times[2] = {{0, UTIME_OMIT}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, local("big").c_str(), times, 0), 0);
    std::size_t writers = 0;
    std::size_t readers = 0;
    for (int attempt = 0; attempt < 10 && (writers < 2 || readers < 2); ++attempt) {
        sim->clearCalls();
        opened = 0;
        ASSERT_EQ(Transfer(console, *afc, sharing(8, true)).push({local("big")}, "/T"), kExitSuccess);
        EXPECT_EQ(opened, 3);  // the most that one file takes
        writers = std::max(writers, connectionsOf("AFCFileRefWrite").size());
        EXPECT_TRUE(files->contents("/T/big") == large());  // not printed: a MiB of bytes
        EXPECT_EQ(files->modificationTime("/T/big").value_or(0), 1000'000'000'000u);
        EXPECT_EQ(files->names("/T"), std::vector<std::string>{"big"});

        ASSERT_EQ(Transfer(console, *afc, sharing(8, true)).pull({"/T/big"}, local("back")), kExitSuccess);
        readers = std::max(readers, connectionsOf("AFCFileRefRead").size());
        EXPECT_TRUE(read("back") == large());
        struct stat info {};
        ASSERT_EQ(::stat(local("back").c_str(), &info), 0);
        EXPECT_EQ(info.st_mtim.tv_sec, 1000);
    }
    EXPECT_GT(writers, 1u);
    EXPECT_GT(readers, 1u);
    EXPECT_EQ(errors(), "");
}

// A failure on any connection ends the whole file's move: nothing under its name, on either side,
// and nothing of ours beside it.
TEST_F(TransferPoolTest, ConcurrentLargeFileThatFailsOnOneConnectionLeavesNothingHalfMade) {
    files->addDirectory("/T");
    write("big", large());
    files->inject(Fault("AFCFileRefWrite", 7).after(4));
    EXPECT_NE(Transfer(console, *afc, sharing(4)).push({local("big")}, "/T"), kExitSuccess);
    EXPECT_THAT(errors(), HasSubstr("push " + local("big") + ": "));
    EXPECT_EQ(files->names("/T"), std::vector<std::string>{});

    files->addFile("/T/big", large());
    files->inject(Fault("AFCFileRefRead", 7).after(4));
    fs::create_directory(local("out"));
    EXPECT_NE(Transfer(console, *afc, sharing(4)).pull({"/T/big"}, local("out")), kExitSuccess);
    EXPECT_THAT(errors(), HasSubstr("pull /T/big: "));
    EXPECT_TRUE(fs::is_empty(local("out")));
}

// A remote file that is shorter by the time its ranges are read than the listing said would
// leave a hole of zeros where a range found nothing: refused, not written.
TEST_F(TransferPoolTest, ConcurrentLargeFileCutShortOnTheDeviceMeanwhileIsRefused) {
    files->addFile("/big", large());
    Transfer::Options options = sharing(4);
    // The connections open after the plan looked at the file.
    options.connect = [this] {
        files->addFile("/big", large().substr(0, 9000));
        return device->directoryForName("com.apple.afc");
    };
    EXPECT_EQ(Transfer(console, *afc, options).pull({"/big"}, local("back")), kExitPartial);
    EXPECT_THAT(errors(), HasSubstr("pull /big: changed on the device as we read it; not written to " + local("back")));
    EXPECT_FALSE(fs::exists(local("back")));
}

} // namespace
} // namespace keldo
