#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace keldo {

// What waits to be sent to one client, oldest first, up to `limit` bytes: a client that reads too
// slowly to keep it below that is to be dropped, never waited for. Not thread-safe: its owner
// guards it with its own lock.
class OutgoingQueue {
public:
    explicit OutgoingQueue(std::size_t limit) : limit_(limit) {}

    // Adds a message; false, adding nothing, when it would go past the limit.
    [[nodiscard]] bool push(std::string message);
    // Up to `most` bytes from the front, taken out (they no longer count).
    std::string take(std::size_t most);
    // Puts back in front what could not be sent of what take() gave. It counts again, past the
    // limit if need be: it was in before.
    void giveBack(std::string bytes);
    bool empty() const { return bytes_ == 0; }

private:
    const std::size_t limit_;
    std::deque<std::string> messages_;
    std::size_t bytes_ = 0;
};

} // namespace keldo
