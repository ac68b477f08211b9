#pragma once

#include <functional>
#include <memory>

namespace keldo {

// A one-shot timer on a run loop. The loop holds the timer's action (and what it captures) until
// it fires or is invalidated; invalidating drops the action at once.
class RunLoopTimer {
public:
    virtual ~RunLoopTimer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

// Tasks and timers of one thread's loop. The main loop's tasks form the main queue.
class RunLoop {
public:
    virtual ~RunLoop() = default;

    // Queues a task; tasks run later, one at a time, in the order queued. Safe from any thread.
    virtual void post(std::function<void()> task) = 0;
    // A one-shot timer that fires once, `seconds` from now, on this loop.
    virtual std::shared_ptr<RunLoopTimer> scheduleTimer(double seconds, std::function<void()> action) = 0;

    // The main thread's loop (the main queue). Null until a host or a test sets one.
    static std::shared_ptr<RunLoop> main();
    static void setMain(std::shared_ptr<RunLoop> loop);

    // The calling thread's loop: the one set for this thread, else the main loop.
    static std::shared_ptr<RunLoop> current();
    static void setCurrent(std::shared_ptr<RunLoop> loop);
};

} // namespace keldo
