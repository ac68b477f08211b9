#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace keldo {

// Messages for one client that other threads hand over without waiting: they are sent by the
// client's own thread, which polls readyFd() (readable while something waits). It holds at most
// `limit` bytes: a client that reads too slowly to keep it below that is to be dropped, never
// waited for.
class OutgoingQueue {
public:
    explicit OutgoingQueue(std::size_t limit);
    ~OutgoingQueue();
    OutgoingQueue(const OutgoingQueue&) = delete;
    OutgoingQueue& operator=(const OutgoingQueue&) = delete;

    // False when no descriptor could be made for it (the process has none left).
    bool valid() const { return fd_ >= 0; }
    // Adds a message; false, adding nothing, when it would go past the limit.
    [[nodiscard]] bool push(std::string message);
    // Everything that waits, oldest first; the queue is empty after.
    std::deque<std::string> takeAll();
    int readyFd() const { return fd_; }

private:
    const std::size_t limit_;
    std::mutex mutex_;
    std::deque<std::string> messages_;
    std::size_t bytes_ = 0;
    int fd_;
};

} // namespace keldo
