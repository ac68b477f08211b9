#include "tools/device/TransferPool.h"

#include "tools/device/FileRanges.h"
#include "tools/device/Interrupt.h"
#include "tools/device/TransferReport.h"

#include <system_error>

namespace keldo {

using Kind = TransferPlanner::Item::Kind;
using Outcome = TransferWorker::Outcome;

TransferPool::TransferPool(const std::vector<AFCDirectoryAccess*>& connections, TransferReport& report,
                           const TransferOptions& options, bool pushing)
    : report_(report), pushing_(pushing) {
    for (AFCDirectoryAccess* afc : connections) workers_.push_back(std::make_unique<TransferWorker>(*afc, report, options));
}

TransferPool::~TransferPool() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    for (auto& thread : threads_) thread.join();
}

bool TransferPool::ready() {
    for (auto& worker : workers_) {
        if (!worker->ready()) return false;
    }
    if (workers_.size() < 2) return !workers_.empty();
    for (auto& worker : workers_) {
        try {
            threads_.emplace_back([this, &worker] { run(*worker); });
        } catch (const std::system_error&) {
            break;  // fewer threads move the same items
        }
    }
    auto offer = [this](const std::shared_ptr<FileRanges>& ranges) {
        {
            std::lock_guard lock(mutex_);
            offered_.push_back(ranges);
        }
        changed_.notify_all();
    };
    // Only workers with a thread take part; set before the first task is handed in.
    for (std::size_t i = 0; i < threads_.size(); ++i) workers_[i]->shareWith(offer, threads_.size());
    return !threads_.empty();
}

void TransferPool::spread(const std::vector<AFCDirectoryAccess*>& connections, std::size_t count,
                          const std::function<void(AFCDirectoryAccess& afc, std::size_t index)>& call) {
    // Every n-th index to each: the calls are alike (a round trip each), and a connection whose
    // thread is late to start still takes its share.
    const std::size_t stride = connections.size();
    auto run = [&](std::size_t first) {
        for (std::size_t index = first; index < count; index += stride) call(*connections[first], index);
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < connections.size(); ++i) {
        try {
            threads.emplace_back(run, i);
        } catch (const std::system_error&) {
            break;
        }
    }
    if (threads.size() + 1 < connections.size()) {
        // Fewer threads than connections: those started have their share, the calling thread the rest.
        for (std::size_t first = threads.size() + 1; first < connections.size(); ++first) run(first);
    }
    run(0);
    for (auto& thread : threads) thread.join();
}

void TransferPool::hand(Task task) {
    if (threads_.empty()) {
        carry(*workers_.front(), task);
        return;
    }
    std::unique_lock lock(mutex_);
    // One task waiting per thread at most: each holds a local directory open.
    changed_.wait(lock, [&] { return tasks_.size() < threads_.size(); });
    tasks_.push_back(std::move(task));
    changed_.notify_all();
}

void TransferPool::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return tasks_.empty() && busy_ == 0; });
}

std::shared_ptr<FileRanges> TransferPool::wantingHelp() {
    std::erase_if(offered_, [](const auto& ranges) { return !ranges->wantsHelp(); });
    return offered_.empty() ? nullptr : offered_.front();
}

void TransferPool::run(TransferWorker& worker) {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::shared_ptr<FileRanges> ranges;
        changed_.wait(lock, [&] { return ending_ || !tasks_.empty() || (ranges = wantingHelp()); });
        if (tasks_.empty() && ranges) {
            lock.unlock();
            if (ranges->join()) {
                worker.help(*ranges);
                ranges->leave();
            }
            ranges.reset();
            lock.lock();
            continue;
        }
        if (tasks_.empty()) return;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        ++busy_;
        changed_.notify_all();
        lock.unlock();
        carry(worker, task);
        task.parent = FileDescriptor();
        lock.lock();
        --busy_;
        changed_.notify_all();
    }
}

void TransferPool::carry(TransferWorker& worker, Task& task) {
    const Item& item = *task.item;
    // After a failure or a signal, what was not begun is not reached.
    if (Interrupt::requested()) report_.interrupted(task.index, {});
    if (!report_.stopped()) {
        const TransferWorker::Job job{item, task.index, task.absent, task.parent.get(), task.name, task.parentError};
        const Outcome outcome = pushing_ ? worker.send(job) : worker.fetch(job);
        const bool file = item.kind == Kind::File;
        if (outcome == Outcome::Done || outcome == Outcome::Made) report_.moved(task.index, file ? 1 : 0, item.size);
        if (outcome == Outcome::UpToDate) report_.upToDate(file ? 1 : 0, item.size);
    }
    report_.complete(task.index);
}

} // namespace keldo
