#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace keldo {

// The shared concurrent queue of background priority. Tasks run off the main thread at the lowest
// priority, several at once: a task stuck in a platform call (a wake-up without a time-out) holds
// back no other task, and neither the queue's end nor the process's exit waits for it.
class BackgroundQueue {
public:
    // The process's queue; it lives until the process ends.
    static BackgroundQueue& shared();

    BackgroundQueue();
    // Returns at once: running tasks finish on their own threads, queued ones are dropped.
    ~BackgroundQueue();
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    void async(std::function<void()> task);
    // Blocks until every task queued so far has run.
    void waitUntilIdle();
    // How many tasks were ever queued.
    std::size_t submitted() const;

    // The state the queue shares with its worker threads (defined with the queue's code).
    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace keldo
