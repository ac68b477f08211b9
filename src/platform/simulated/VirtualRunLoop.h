#pragma once

#include "platform/RunLoop.h"

#include <deque>
#include <map>
#include <mutex>

namespace keldo {

// A run loop whose time moves only when told to, for tests: a 300-second timer fires on
// advance(300), not after five minutes.
class VirtualRunLoop : public RunLoop, public std::enable_shared_from_this<VirtualRunLoop> {
public:
    // Makes a loop and sets it as the main loop and this thread's loop.
    static std::shared_ptr<VirtualRunLoop> installNew();
    // Invalidates the timers still pending: their actions (and what they own) go with the loop,
    // even when the timer object itself is still held by its scheduler.
    ~VirtualRunLoop() override;

    void post(std::function<void()> task) override;
    std::shared_ptr<RunLoopTimer> scheduleTimer(double seconds, std::function<void()> action) override;

    // Runs queued tasks, also those queued meanwhile, until none is left. Returns how many ran.
    int runPending();
    // Moves time forward, running tasks and firing due timers in time order on the way.
    void advance(double seconds);

    double now() const;
    std::size_t pendingTasks() const;
    std::size_t pendingTimers() const;

private:
    class Timer;

    mutable std::mutex mutex_;
    double now_ = 0.0;
    std::deque<std::function<void()>> tasks_;
    std::multimap<double, std::shared_ptr<Timer>> timers_;
};

} // namespace keldo
