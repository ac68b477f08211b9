#pragma once

#include "platform/FileDescriptor.h"
#include "tools/device/TransferOptions.h"
#include "tools/device/TransferPlanner.h"
#include "tools/device/TransferWorker.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class FileRanges;
class TransferReport;

// Moves the files and links of a push or pull over several AFC connections at once: a worker
// and a thread for each connection, each taking the next item as soon as it is free, so that the
// round trips of many small files overlap. A worker with nothing to take helps with a large file
// that another moves (FileRanges), so that one file alone keeps the link busy too. With one
// connection the items are moved on the calling thread as they are handed in, in order. Each item
// is complete in the report once its worker is done with it; after a failure or an interruption
// nothing more is begun.
class TransferPool {
public:
    using Item = TransferPlanner::Item;
    struct Task {
        std::size_t index = 0;
        const Item* item = nullptr;
        bool absent = false;
        // A pull: the open local directory it goes in (the task's own descriptor), its name there,
        // and why there is none.
        FileDescriptor parent;
        std::string name;
        int parentError = 0;
    };

    TransferPool(const std::vector<AFCDirectoryAccess*>& connections, TransferReport& report,
                 const TransferOptions& options, bool pushing);
    // Waits for the tasks handed in and ends the threads.
    ~TransferPool();
    TransferPool(const TransferPool&) = delete;
    TransferPool& operator=(const TransferPool&) = delete;

    // False when there is no memory for the workers' buffers, or no thread could be started.
    [[nodiscard]] bool ready();
    // Moves the task's item, now or once a worker is free; waits while every worker is busy.
    void hand(Task task);
    // Waits until every task handed in is done.
    void drain();
    // The connections that were in use.
    std::size_t size() const { return workers_.size(); }

    // Calls `call` for each of `count` indices, spread over the connections, each on a thread of
    // its own (the first on the calling one); returns when all are done.
    static void spread(const std::vector<AFCDirectoryAccess*>& connections, std::size_t count,
                       const std::function<void(AFCDirectoryAccess& afc, std::size_t index)>& call);

private:
    void run(TransferWorker& worker);
    void carry(TransferWorker& worker, Task& task);
    // A file offered that still wants a helper; drops those that no longer do (under mutex_).
    std::shared_ptr<FileRanges> wantingHelp();

    TransferReport& report_;
    bool pushing_;
    std::vector<std::unique_ptr<TransferWorker>> workers_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task> tasks_;   // under mutex_
    std::vector<std::shared_ptr<FileRanges>> offered_;  // under mutex_
    std::size_t busy_ = 0;     // tasks taken and not done (under mutex_)
    bool ending_ = false;      // under mutex_
};

} // namespace keldo
