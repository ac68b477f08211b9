#include "platform/BackgroundQueue.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace keldo {

namespace {

// Workers are made as tasks need them; one that has had nothing to do for this long ends, so an
// idle agent keeps no background thread and no timer.
constexpr auto kIdleWorkerLifetime = std::chrono::seconds(10);
// Enough that a few stuck wake-ups leave room for others, without a thread per task under a burst.
constexpr std::size_t kMaxWorkers = 16;

} // namespace

struct BackgroundQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> tasks;
    std::size_t submitted = 0;
    std::size_t running = 0;
    std::size_t workers = 0;
    std::size_t waitingWorkers = 0;
    bool stopping = false;
};

namespace {

void work(std::shared_ptr<BackgroundQueue::State> state) {
    // Lowest priority for this thread only (Linux applies nice values per thread).
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    std::unique_lock lock(state->mutex);
    for (;;) {
        ++state->waitingWorkers;
        const bool woken = state->wake.wait_for(lock, kIdleWorkerLifetime,
                                                [&] { return state->stopping || !state->tasks.empty(); });
        --state->waitingWorkers;
        if (!woken || state->stopping) break;
        auto task = std::move(state->tasks.front());
        state->tasks.pop_front();
        ++state->running;
        lock.unlock();
        task();
        task = nullptr;  // what the task captured goes before the queue counts it as done
        lock.lock();
        --state->running;
        if (state->tasks.empty() && state->running == 0) state->idle.notify_all();
    }
    --state->workers;
}

} // namespace

BackgroundQueue& BackgroundQueue::shared() {
    // Never destroyed: a task may still be running on it while the process exits.
    static auto* queue = new BackgroundQueue;
    return *queue;
}

BackgroundQueue::BackgroundQueue() : state_(std::make_shared<State>()) {}

BackgroundQueue::~BackgroundQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->tasks.clear();
    }
    state_->wake.notify_all();
    state_->idle.notify_all();
}

void BackgroundQueue::async(std::function<void()> task) {
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
    ++state_->submitted;
    if (state_->waitingWorkers >= state_->tasks.size() || state_->workers >= kMaxWorkers) {
        state_->wake.notify_one();
        return;
    }
    // Detached: the queue's end and the process's exit never wait for a task stuck in a platform call.
    ++state_->workers;
    std::thread(work, state_).detach();
}

void BackgroundQueue::waitUntilIdle() {
    std::unique_lock lock(state_->mutex);
    state_->idle.wait(lock, [&] { return state_->stopping || (state_->tasks.empty() && state_->running == 0); });
}

std::size_t BackgroundQueue::submitted() const {
    std::lock_guard lock(state_->mutex);
    return state_->submitted;
}

} // namespace keldo
