#include "platform/simulated/VirtualRunLoop.h"

namespace keldo {

class VirtualRunLoop::Timer : public RunLoopTimer {
public:
    explicit Timer(std::function<void()> action) : action_(std::move(action)) {}

    void invalidate() override {
        std::function<void()> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped = std::move(action_);
            action_ = nullptr;
        }
        // `dropped` goes out of scope without the lock held: what it captured may be destroyed here.
    }

    bool isValid() const override {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(action_);
    }

    // Takes the action out, so that firing twice is impossible.
    std::function<void()> take() {
        std::lock_guard lock(mutex_);
        auto action = std::move(action_);
        action_ = nullptr;
        return action;
    }

private:
    mutable std::mutex mutex_;
    std::function<void()> action_;
};

std::shared_ptr<VirtualRunLoop> VirtualRunLoop::installNew() {
    auto loop = std::make_shared<VirtualRunLoop>();
    RunLoop::setMain(loop);
    RunLoop::setCurrent(loop);
    return loop;
}

VirtualRunLoop::~VirtualRunLoop() {
    std::multimap<double, std::shared_ptr<Timer>> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(timers_);
    }
    for (auto& [when, timer] : pending) timer->invalidate();
}

void VirtualRunLoop::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
}

std::shared_ptr<RunLoopTimer> VirtualRunLoop::scheduleTimer(double seconds, std::function<void()> action) {
    auto timer = std::make_shared<Timer>(std::move(action));
    std::lock_guard lock(mutex_);
    timers_.emplace(now_ + (seconds > 0 ? seconds : 0), timer);
    return timer;
}

int VirtualRunLoop::runPending() {
    int ran = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return ran;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        ++ran;
    }
}

void VirtualRunLoop::advance(double seconds) {
    double until;
    {
        std::lock_guard lock(mutex_);
        until = now_ + seconds;
    }
    runPending();
    for (;;) {
        std::shared_ptr<Timer> due;
        {
            std::lock_guard lock(mutex_);
            auto it = timers_.begin();
            if (it == timers_.end() || it->first > until) break;
            now_ = it->first;
            due = it->second;
            timers_.erase(it);
        }
        if (auto action = due->take()) action();
        runPending();
    }
    std::lock_guard lock(mutex_);
    now_ = until;
}

double VirtualRunLoop::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::size_t VirtualRunLoop::pendingTasks() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

std::size_t VirtualRunLoop::pendingTimers() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [when, timer] : timers_) {
        if (timer->isValid()) ++n;
    }
    return n;
}

} // namespace keldo
