// The GLib main loop as the agent uses it: the main queue's order, timers, and termination by signal.
#include "platform/host/Application.h"
#include "platform/ApplicationDelegate.h"
#include "platform/host/GLibRunLoop.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"

#include <gmock/gmock.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace keldo {
namespace {

using ::testing::ElementsAre;

class RecordingDelegate : public ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override { heard.push_back("launched"); if (onLaunch) onLaunch(); }
    void applicationWillTerminate() override { heard.push_back("will terminate"); }
    std::vector<std::string> heard;
    std::function<void()> onLaunch;
};

TEST(GLibApplication, TasksRunInOrderOnTheMainThreadAndNeverInline) {
    Application app;
    auto delegate = std::make_shared<RecordingDelegate>();
    app.setDelegate(delegate);
    std::vector<std::string> order;
    const auto mainThread = std::this_thread::get_id();
    RunLoop::main()->post([&] { order.push_back("first"); });
    EXPECT_TRUE(order.empty());  // queued before the loop runs: not run on the spot
    std::thread([&] { RunLoop::main()->post([&] { order.push_back(std::this_thread::get_id() == mainThread ? "second on main" : "second elsewhere"); }); }).join();
    delegate->onLaunch = [&] {
        RunLoop::main()->post([&] {
            order.push_back("queued by a task");
            app.terminate();
        });
    };
    EXPECT_EQ(app.run(), 0);
    EXPECT_THAT(order, ElementsAre("first", "second on main", "queued by a task"));
    EXPECT_THAT(delegate->heard, ElementsAre("launched", "will terminate"));
}

TEST(GLibApplication, SigtermTellsDelegateAndObserversBeforeTheLoopEnds) {
    Application app;
    auto delegate = std::make_shared<RecordingDelegate>();
    app.setDelegate(delegate);
    int observed = 0;
    int token = 0;
    NotificationCenter::defaultCenter().addObserver(&token, kApplicationWillTerminateNotification, nullptr,
                                                    [&](const Notification&) { ++observed; });
    delegate->onLaunch = [] { std::raise(SIGTERM); };
    EXPECT_EQ(app.run(), 0);
    NotificationCenter::defaultCenter().removeObserver(&token);
    EXPECT_THAT(delegate->heard, ElementsAre("launched", "will terminate"));
    EXPECT_EQ(observed, 1);
}

TEST(GLibApplication, LogLinesOnStandardErrorAreEscapedForATerminal) {
    Application app;
    ::testing::internal::CaptureStderr();
    logLine("device \x1b[7m\xE2\x80\xAEgpj.exe\\");
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(written, ::testing::HasSubstr("device \\x1b[7m\\u202egpj.exe\\x5c\n"));
}

TEST(GLibApplication, InvalidatedTimerNeverFiresAndADueOneFiresOnce) {
    Application app;
    auto delegate = std::make_shared<RecordingDelegate>();
    app.setDelegate(delegate);
    int cancelledFired = 0, dueFired = 0;
    std::shared_ptr<RunLoopTimer> cancelled, due;
    delegate->onLaunch = [&] {
        cancelled = RunLoop::current()->scheduleTimer(0.0, [&] { ++cancelledFired; });
        due = RunLoop::current()->scheduleTimer(0.0, [&] {
            ++dueFired;
            RunLoop::main()->post([&] { app.terminate(); });
        });
        cancelled->invalidate();
    };
    EXPECT_EQ(app.run(), 0);
    EXPECT_EQ(cancelledFired, 0);
    EXPECT_EQ(dueFired, 1);
    EXPECT_FALSE(cancelled->isValid());
    EXPECT_FALSE(due->isValid());
    due->invalidate();  // after firing: harmless
}

} // namespace
} // namespace keldo
