#include "platform/TemporaryFiles.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace keldo {
namespace {

namespace fs = std::filesystem;

class TemporaryFilesTest : public ::testing::Test {
protected:
    TemporaryFilesTest() {
        char scratch[] = "/tmp/keldo-temporaries-XXXXXX";
        dir = ::mkdtemp(scratch);
    }
    ~TemporaryFilesTest() override {
        TemporaryFiles::removeAll();
        fs::remove_all(dir);
    }
    std::string make(const std::string& name) const {
        std::string path = dir + "/" + name;
        std::ofstream(path) << "partial";
        return path;
    }

    std::string dir;
};

TEST_F(TemporaryFilesTest, RemoveAllRemovesWhatIsTrackedAndNothingElse) {
    std::string kept = make("kept");
    std::string partial = make("partial");
    std::string renamed = make("renamed");
    TemporaryFiles::Ticket ticket = TemporaryFiles::track(renamed);
    ASSERT_NE(TemporaryFiles::track(partial), TemporaryFiles::kNone);
    ASSERT_NE(ticket, TemporaryFiles::kNone);
    TemporaryFiles::untrack(ticket);
    TemporaryFiles::removeAll();
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_TRUE(fs::exists(renamed));
    EXPECT_FALSE(fs::exists(partial));

    // What removeAll removed is forgotten: the file made again under its name stays.
    make("partial");
    TemporaryFiles::removeAll();
    EXPECT_TRUE(fs::exists(partial));
}

TEST_F(TemporaryFilesTest, AStaleTicketLeavesTheFileTrackedAfterItAlone) {
    std::string first = make("first");
    TemporaryFiles::Ticket stale = TemporaryFiles::track(first);
    TemporaryFiles::removeAll();  // frees the slot, which the next file is likely to take
    std::string second = make("second");
    ASSERT_NE(TemporaryFiles::track(second), TemporaryFiles::kNone);
    TemporaryFiles::untrack(stale);
    TemporaryFiles::removeAll();
    EXPECT_FALSE(fs::exists(second));
}

TEST_F(TemporaryFilesTest, TheLongestPathIsRemovedAndErrnoIsKept) {
    // Directories deep enough for a file whose path takes every byte a slot holds.
    std::string path = dir;
    while (path.size() + 1 + 200 + 1 < TemporaryFiles::kLongestPath) {
        path += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    path += "/" + std::string(TemporaryFiles::kLongestPath - path.size() - 1, 'f');
    ASSERT_EQ(path.size(), TemporaryFiles::kLongestPath);
    std::ofstream(path) << "partial";
    ASSERT_TRUE(fs::exists(path));
    ASSERT_NE(TemporaryFiles::track(path), TemporaryFiles::kNone);
    // Relative to a directory, as a file in the making is tracked; this one is gone already.
    const int directory = ::open(dir.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_NE(TemporaryFiles::track(directory, "never-made"), TemporaryFiles::kNone);
    errno = EXDEV;  // what the code that a signal interrupted was about to read
    TemporaryFiles::removeAll();
    EXPECT_EQ(errno, EXDEV);
    ::close(directory);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(TemporaryFilesTest, RefusesWhatItCannotHold) {
    EXPECT_EQ(TemporaryFiles::track(""), TemporaryFiles::kNone);
    EXPECT_EQ(TemporaryFiles::track(std::string(TemporaryFiles::kLongestPath + 1, 'x')), TemporaryFiles::kNone);
    std::vector<TemporaryFiles::Ticket> tickets;
    for (int i = 0; i < TemporaryFiles::kCapacity; ++i) tickets.push_back(TemporaryFiles::track(dir + "/f"));
    EXPECT_EQ(std::count(tickets.begin(), tickets.end(), TemporaryFiles::kNone), 0);
    EXPECT_EQ(TemporaryFiles::track(dir + "/one-too-many"), TemporaryFiles::kNone);
    for (auto ticket : tickets) TemporaryFiles::untrack(ticket);
    EXPECT_NE(TemporaryFiles::track(dir + "/room-again"), TemporaryFiles::kNone);
}

TEST_F(TemporaryFilesTest, ConcurrentTrackingAndRemovalLeaveNothingBehind) {
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < 300; ++i) {
                std::string path = make(fmt::format("w{}-{}", w, i));
                TemporaryFiles::Ticket ticket = TemporaryFiles::track(path);
                if (ticket != TemporaryFiles::kNone && i % 2 == 0) continue;  // left for removeAll
                TemporaryFiles::untrack(ticket);
                ::unlink(path.c_str());
            }
        });
    }
    std::thread remover([] {
        for (int i = 0; i < 300; ++i) TemporaryFiles::removeAll();
    });
    for (auto& w : workers) w.join();
    remover.join();
    TemporaryFiles::removeAll();
    EXPECT_TRUE(fs::is_empty(dir));
}

} // namespace
} // namespace keldo
