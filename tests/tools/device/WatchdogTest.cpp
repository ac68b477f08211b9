#include "tools/device/Watchdog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <thread>

namespace keldo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A watchdog whose end is recorded instead of ending the process, writing to a pipe.
class WatchdogConcurrency : public ::testing::Test {
protected:
    WatchdogConcurrency() { EXPECT_EQ(::pipe2(messages_, O_NONBLOCK | O_CLOEXEC), 0); }
    ~WatchdogConcurrency() override {
        ::close(messages_[0]);
        ::close(messages_[1]);
    }

    std::unique_ptr<Watchdog> make(std::chrono::milliseconds grace) {
        return std::make_unique<Watchdog>(messages_[1], "interrupted\n", grace,
                                          [this](int code) { ended_.set_value(code); });
    }
    // The exit code the watchdog ended with, waiting for it at most `limit`; -1 when it didn't.
    int endedWithin(std::chrono::milliseconds limit) {
        return ended.wait_for(limit) == std::future_status::ready ? ended.get() : -1;
    }
    std::string said() {
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = ::read(messages_[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
        return text;
    }

    int messages_[2] = {-1, -1};
    std::promise<int> ended_;
    std::future<int> ended = ended_.get_future();
};

TEST_F(WatchdogConcurrency, EndsAStuckCommandAfterTheGraceWithItsLatestReport) {
    auto watchdog = make(200ms);
    watchdog->setReport("push: interrupted\n");
    const auto start = Clock::now();
    watchdog->trigger();
    // The command keeps its report up to date while the watchdog waits.
    for (int i = 0; i < 50; ++i) watchdog->setReport(std::string(i, '.'));
    watchdog->setReport("push: interrupted; /Books/.a.keldo-1 may be left on the device\n");

    EXPECT_EQ(endedWithin(5s), Watchdog::kInterruptedExit);
    EXPECT_GE(Clock::now() - start, 200ms);
    EXPECT_EQ(said(), "push: interrupted; /Books/.a.keldo-1 may be left on the device\n");
    // The command, should it come back now, says nothing more.
    EXPECT_FALSE(watchdog->finishing(Watchdog::kInterruptedExit));
}

TEST_F(WatchdogConcurrency, StaysQuietForACommandThatReportsItselfButStillEndsItWithItsCode) {
    auto watchdog = make(100ms);
    watchdog->trigger();
    EXPECT_TRUE(watchdog->finishing(0));
    // Ending takes longer than the grace (a device that does not let go): ended with the code.
    EXPECT_EQ(endedWithin(5s), 0);
    EXPECT_EQ(said(), "");
}

TEST_F(WatchdogConcurrency, AStepThatChangesWhatIsLeftIsNeverReportedAsNotTaken) {
    auto watchdog = make(50ms);
    watchdog->setReport("pull: interrupted; /x is left as it was\n");
    watchdog->trigger();
    // The grace passes during the step (a file put in place): what is said is what holds after it.
    EXPECT_TRUE(watchdog->stepThenReport([] {
        std::this_thread::sleep_for(300ms);
        return true;
    }, "pull: interrupted\n"));
    EXPECT_EQ(endedWithin(5s), Watchdog::kInterruptedExit);
    EXPECT_EQ(said(), "pull: interrupted\n");
    // Once it has spoken, no step is taken that would make it untrue.
    EXPECT_FALSE(watchdog->stepThenReport([] { return true; }, "pull: interrupted\n"));
}

TEST_F(WatchdogConcurrency, EndsAtOnceOnASecondSignalAndNeverWithoutOne) {
    auto watchdog = make(60s);
    EXPECT_EQ(endedWithin(300ms), -1);
    watchdog->trigger();
    watchdog->trigger();
    EXPECT_EQ(endedWithin(5s), Watchdog::kInterruptedExit);
    EXPECT_EQ(said(), "interrupted\n");
}

} // namespace
} // namespace keldo
