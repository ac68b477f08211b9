#include "tools/devsim/FreezeGate.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace keldo {

namespace {

// The counter is the signal: above zero while thawed. Waiters never read it, so one thaw wakes
// them all; a freeze takes it back to zero.
void raise(int fd) {
    const std::uint64_t one = 1;
    (void)!::write(fd, &one, sizeof(one));
}

void lower(int fd) {
    std::uint64_t count = 0;
    (void)!::read(fd, &count, sizeof(count));  // non-blocking: nothing to take when already zero
}

} // namespace

FreezeGate::FreezeGate() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ >= 0) raise(fd_);
}

FreezeGate::~FreezeGate() {
    if (fd_ >= 0) ::close(fd_);
}

void FreezeGate::freeze() {
    std::lock_guard lock(mutex_);
    frozen_ = true;
    lower(fd_);
}

void FreezeGate::thaw() {
    std::lock_guard lock(mutex_);
    frozen_ = false;
    raise(fd_);
}

bool FreezeGate::frozen() const { return frozen_; }

} // namespace keldo
