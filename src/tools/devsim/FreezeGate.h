#pragma once

#include <atomic>
#include <mutex>

namespace keldo {

// Whether a simulated device answers. A frozen device holds back every answer until it is thawed;
// a connection that waits for the thaw polls thawFd(), which is readable while the device is not
// frozen, together with its own socket.
class FreezeGate {
public:
    FreezeGate();
    ~FreezeGate();
    FreezeGate(const FreezeGate&) = delete;
    FreezeGate& operator=(const FreezeGate&) = delete;

    // False when no descriptor could be made for it (the process has none left).
    bool valid() const { return fd_ >= 0; }
    void freeze();
    void thaw();
    bool frozen() const;
    int thawFd() const { return fd_; }

private:
    std::mutex mutex_;  // one freeze or thaw at a time, so that the flag and the counter agree
    std::atomic<bool> frozen_{false};
    int fd_;
};

} // namespace keldo
