#include "tools/device/FileRanges.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace keldo {
namespace {

TEST(FileRangesTest, RangesCoverTheFileOnceAndHelpIsTakenOnlyWhileSomeAreLeft) {
    FileRanges ranges(7, {"/T/.big.keldo-1", 3, nullptr, "big"}, 10, 3);
    EXPECT_TRUE(ranges.pushing());
    EXPECT_TRUE(ranges.join());   // the lead and one helper
    EXPECT_TRUE(ranges.join());   // and a second: three at most
    EXPECT_FALSE(ranges.wantsHelp());
    EXPECT_FALSE(ranges.join());
    ranges.leave();
    EXPECT_TRUE(ranges.wantsHelp());

    std::uint64_t covered = 0;
    while (const auto range = ranges.take(4)) {
        EXPECT_EQ(range->offset, covered);
        covered += range->size;
    }
    EXPECT_EQ(covered, 10u);  // 4, 4, then the 2 that are left
    EXPECT_FALSE(ranges.wantsHelp());
    EXPECT_FALSE(ranges.join());
    ranges.leave();
    EXPECT_EQ(ranges.finish(), FileRanges::End::Moved);
}

TEST(FileRangesTest, TheFirstEndIsKeptAndStopsTheHandingOut) {
    FileRanges ranges(0, {"/big", -1, nullptr, "big"}, 100, 2);
    ranges.refuse("changed as we read it");
    ranges.fail("a failure that came after");
    ranges.stop();
    EXPECT_FALSE(ranges.take(10));
    EXPECT_FALSE(ranges.join());
    EXPECT_EQ(ranges.finish(), FileRanges::End::Refused);
    EXPECT_EQ(ranges.why(), "changed as we read it");
}

// The lead decides what becomes of the file only once every helper has left (its copy is closed
// by then), and no helper joins after that.
TEST(FileRangesTest, ConcurrentFinishWaitsForEveryHelperThatJoined) {
    FileRanges ranges(0, {"/big", -1, nullptr, "big"}, 1000, 4);
    std::atomic<bool> helperDone{false};
    ASSERT_TRUE(ranges.join());
    std::thread helper([&] {
        while (ranges.take(10)) std::this_thread::yield();
        helperDone = true;
        ranges.leave();
    });
    EXPECT_EQ(ranges.finish(), FileRanges::End::Moved);
    EXPECT_TRUE(helperDone);
    EXPECT_FALSE(ranges.join());
    helper.join();
}

} // namespace
} // namespace keldo
