#pragma once

#include <cstddef>
#include <utility>

namespace keldo {

// How many client connections are served at once, and the runs of refusals past that. Not
// thread-safe: its owner guards it with its own lock.
class ConnectionBound {
public:
    explicit ConnectionBound(std::size_t limit) : limit_(limit) {}

    // Takes a place for a new connection; false when every place is taken.
    [[nodiscard]] bool admit() {
        if (open_ >= limit_) return false;
        ++open_;
        return true;
    }
    void release() { --open_; }

    // Counts a refused connection; true for the first of a run, so that a flood is told once.
    [[nodiscard]] bool refuse() { return refused_++ == 0; }
    // Ends a run of refusals once a connection is served again: how many it held (0: none).
    std::size_t endRefusals() { return std::exchange(refused_, 0); }

    std::size_t limit() const { return limit_; }

private:
    std::size_t limit_;
    std::size_t open_ = 0;
    std::size_t refused_ = 0;
};

} // namespace keldo
