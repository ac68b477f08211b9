#include "platform/simulated/VirtualRunLoop.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;

TEST(VirtualRunLoop, RunsTasksInOrderIncludingThoseQueuedMeanwhile) {
    VirtualRunLoop loop;
    std::vector<int> ran;
    loop.post([&] {
        ran.push_back(1);
        loop.post([&] { ran.push_back(3); });
    });
    loop.post([&] { ran.push_back(2); });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(loop.runPending(), 3);
    EXPECT_THAT(ran, ElementsAre(1, 2, 3));
}

TEST(VirtualRunLoop, TimersFireOnceAtTheirTimeInTimeOrder) {
    VirtualRunLoop loop;
    std::vector<std::string> fired;
    loop.scheduleTimer(300, [&] { fired.push_back("300 at " + std::to_string(int(loop.now()))); });
    loop.scheduleTimer(10, [&] { fired.push_back("10"); });
    loop.advance(299.5);
    EXPECT_THAT(fired, ElementsAre("10"));
    loop.advance(1);
    loop.advance(1000);
    EXPECT_THAT(fired, ElementsAre("10", "300 at 300"));
    EXPECT_EQ(loop.pendingTimers(), 0u);
}

TEST(VirtualRunLoop, InvalidatedTimerNeverFiresAndDropsWhatItHeld) {
    VirtualRunLoop loop;
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    bool fired = false;
    auto timer = loop.scheduleTimer(5, [&fired, held] { fired = true; });
    held.reset();
    EXPECT_FALSE(watch.expired());
    timer->invalidate();
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(timer->isValid());
    loop.advance(10);
    EXPECT_FALSE(fired);
}

TEST(VirtualRunLoopEnd, DropsTheActionsOfTimersStillPending) {
    auto owned = std::make_shared<int>(1);
    std::weak_ptr<int> watch = owned;
    std::shared_ptr<RunLoopTimer> kept;
    {
        auto loop = std::make_shared<VirtualRunLoop>();
        kept = loop->scheduleTimer(300, [owned] {});
        owned.reset();
        ASSERT_FALSE(watch.expired());
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(kept->isValid());
}

} // namespace
} // namespace keldo
