#include "platform/BackgroundQueue.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace keldo {

BackgroundQueue& BackgroundQueue::shared() {
    static BackgroundQueue queue;
    return queue;
}

BackgroundQueue::~BackgroundQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void BackgroundQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        ++submitted_;
        // The worker starts with the first task: an agent that never wakes a device has no thread.
        if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
    }
    wake_.notify_one();
}

void BackgroundQueue::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return tasks_.empty() && !running_; });
}

std::size_t BackgroundQueue::submitted() const {
    std::lock_guard lock(mutex_);
    return submitted_;
}

void BackgroundQueue::work() {
    // Lowest priority for this thread only (Linux applies nice values per thread).
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, and nothing left to run
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        running_ = true;
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
        running_ = false;
        if (tasks_.empty()) idle_.notify_all();
    }
}

} // namespace keldo
