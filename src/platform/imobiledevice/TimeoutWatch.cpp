#include "platform/imobiledevice/TimeoutWatch.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace keldo {

TimeoutWatch::Deadline::Deadline(Deadline&& other) noexcept
    : watch_(other.watch_), id_(other.id_), timeout_(other.timeout_), expired_(other.expired_) {
    other.watch_ = nullptr;
}

TimeoutWatch::Deadline& TimeoutWatch::Deadline::operator=(Deadline&& other) noexcept {
    if (this != &other) {
        disarm();
        watch_ = other.watch_;
        id_ = other.id_;
        timeout_ = other.timeout_;
        expired_ = other.expired_;
        other.watch_ = nullptr;
    }
    return *this;
}

TimeoutWatch::Deadline::~Deadline() { disarm(); }

void TimeoutWatch::Deadline::disarm() {
    if (!watch_) return;
    int socket = -1;
    {
        std::lock_guard lock(watch_->mutex_);
        auto it = watch_->entries_.find(id_);
        if (it != watch_->entries_.end()) {
            expired_ = it->second.expired;
            socket = it->second.socket;
            watch_->entries_.erase(it);
        }
    }
    if (socket >= 0) ::close(socket);
    watch_ = nullptr;
}

void TimeoutWatch::Deadline::renew() {
    if (!watch_) return;
    std::lock_guard lock(watch_->mutex_);
    auto it = watch_->entries_.find(id_);
    if (it == watch_->entries_.end() || it->second.expired) return;
    it->second.due = Clock::now() + timeout_;
    // A later deadline needs no wake-up: the thread finds it when it looks at the earlier one.
}

bool TimeoutWatch::Deadline::expired() const {
    if (!watch_) return expired_;
    std::lock_guard lock(watch_->mutex_);
    auto it = watch_->entries_.find(id_);
    return it != watch_->entries_.end() && it->second.expired;
}

TimeoutWatch::~TimeoutWatch() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

TimeoutWatch::Deadline TimeoutWatch::arm(int socket, std::chrono::milliseconds timeout) {
    if (socket < 0) return Deadline();
    // A copy of the descriptor, closed when the deadline goes: shutting it down ends the same
    // connection, and its number cannot be reused by another one meanwhile, even when the call
    // closes the original before its deadline is disarmed.
    const int copy = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return Deadline();
    std::lock_guard lock(mutex_);
    const std::uint64_t id = ++nextId_;
    entries_[id] = Entry{copy, Clock::now() + timeout, false};
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    changed_.notify_all();
    return Deadline(this, id, timeout);
}

void TimeoutWatch::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        auto earliest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.expired) continue;
            if (earliest == entries_.end() || it->second.due < earliest->second.due) earliest = it;
        }
        if (earliest == entries_.end()) {
            changed_.wait(lock);
            continue;
        }
        const auto due = earliest->second.due;
        if (Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;  // look again: the entry may have gone or been renewed
        }
        ::shutdown(earliest->second.socket, SHUT_RDWR);
        earliest->second.expired = true;
    }
}

} // namespace keldo
