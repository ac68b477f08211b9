#pragma once

#include "platform/RunLoop.h"

#include <deque>
#include <memory>
#include <mutex>

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace keldo {

// A run loop on a GLib main context: the context that is the calling thread's thread-default one
// when the loop is made. Tasks go through one queue drained by an idle source, so they keep their
// order whichever thread posts them; timers are one-shot sources on the same context.
class GLibRunLoop : public RunLoop, public std::enable_shared_from_this<GLibRunLoop> {
public:
    static std::shared_ptr<GLibRunLoop> forCurrentThread();

    void post(std::function<void()> task) override;
    std::shared_ptr<RunLoopTimer> scheduleTimer(double seconds, std::function<void()> action) override;

    // How many tasks and timers this loop has run (for measurements of idle wake-ups).
    std::size_t dispatches() const;

    ~GLibRunLoop() override;
    GLibRunLoop(const GLibRunLoop&) = delete;
    GLibRunLoop& operator=(const GLibRunLoop&) = delete;

    // The task queue, shared with the idle source that drains it (defined with the loop's code).
    struct Queue;

private:
    class Timer;

    GLibRunLoop();

    std::shared_ptr<Queue> queue_;
};

} // namespace keldo
