#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace keldo {

// The shared queue of background priority: tasks run off the main thread, at the lowest priority.
class BackgroundQueue {
public:
    static BackgroundQueue& shared();

    BackgroundQueue() = default;
    ~BackgroundQueue();
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    void async(std::function<void()> task);
    // Blocks until every task queued so far has run.
    void waitUntilIdle();
    // How many tasks were ever queued.
    std::size_t submitted() const;

private:
    void work();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    std::size_t submitted_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace keldo
