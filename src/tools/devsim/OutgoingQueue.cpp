#include "tools/devsim/OutgoingQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace keldo {

OutgoingQueue::OutgoingQueue(std::size_t limit) : limit_(limit), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

OutgoingQueue::~OutgoingQueue() {
    if (fd_ >= 0) ::close(fd_);
}

bool OutgoingQueue::push(std::string message) {
    std::lock_guard lock(mutex_);
    if (message.size() > limit_ - bytes_) return false;
    bytes_ += message.size();
    messages_.push_back(std::move(message));
    const std::uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof(one));  // never blocks: the counter is far from its end
    return true;
}

std::deque<std::string> OutgoingQueue::takeAll() {
    std::lock_guard lock(mutex_);
    std::uint64_t count = 0;
    (void)!::read(fd_, &count, sizeof(count));
    bytes_ = 0;
    return std::exchange(messages_, {});
}

} // namespace keldo
