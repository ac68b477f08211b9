#include "platform/BackgroundQueue.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>

namespace keldo {
namespace {

using namespace std::chrono_literals;

// A wake-up whose platform call never returns, until the test lets it go.
struct StuckTask {
    std::shared_ptr<std::promise<void>> release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    std::function<void()> task() const {
        return [released = released] { released.wait(); };
    }
};

TEST(BackgroundQueue, AStuckTaskHoldsBackNoLaterTaskAndRunsAtTheLowestPriority) {
    BackgroundQueue queue;
    StuckTask stuck;
    queue.async(stuck.task());
    std::promise<int> niceness;
    queue.async([&] { niceness.set_value(getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)))); });

    auto later = niceness.get_future();
    ASSERT_EQ(later.wait_for(30s), std::future_status::ready) << "the second task waited for the stuck one";
    EXPECT_EQ(later.get(), 19);
    stuck.release->set_value();
    queue.waitUntilIdle();
    EXPECT_EQ(queue.submitted(), 2u);
}

TEST(BackgroundQueue, EndingTheQueueDoesNotWaitForAStuckTask) {
    StuckTask stuck;
    auto queue = std::make_unique<BackgroundQueue>();
    std::promise<void> started;
    queue->async([&started, task = stuck.task()] {
        started.set_value();
        task();
    });
    started.get_future().wait();

    auto ended = std::async(std::launch::async, [&] { queue.reset(); });
    EXPECT_EQ(ended.wait_for(30s), std::future_status::ready) << "the queue's end waited for a stuck task";
    stuck.release->set_value();
    ended.wait();
}

TEST(BackgroundQueueDeathTest, TheProcessExitsWhileASharedTaskIsStuck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(20);  // a hang becomes a death by SIGALRM, which fails the expectation below
            std::promise<void> started;
            BackgroundQueue::shared().async([&started] {
                started.set_value();
                for (;;) pause();
            });
            started.get_future().wait();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace keldo
