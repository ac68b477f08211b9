#include "tools/devsim/ClientConnection.h"

#include "tools/devsim/SocketStream.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace keldo {

namespace {

constexpr std::size_t kReadPiece = 64 * 1024;

} // namespace

ClientConnection::HandshakeLimit::HandshakeLimit(ClientConnection& connection) : connection_(connection) {
    if (connection.handshakeTime_) connection.deadline_ = std::chrono::steady_clock::now() + *connection.handshakeTime_;
}

bool ClientConnection::ready(short events, bool midRead) const {
    auto until = deadline_;
    if ((midRead || underway_) && stallTime_) {
        const auto stalled = std::chrono::steady_clock::now() + *stallTime_;
        if (!until || stalled < *until) until = stalled;
    }
    for (;;) {
        int timeout = -1;
        if (until) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            timeout = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
        }
        pollfd fd{fd_, events, 0};
        const int n = ::poll(&fd, 1, timeout);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

std::size_t ClientConnection::takeHeld(void* buffer, std::size_t size) {
    const std::size_t piece = std::min(size, heldSize());
    std::memcpy(buffer, held_.data() + heldAt_, piece);
    heldAt_ += piece;
    if (heldSize() == 0) {
        held_.clear();
        heldAt_ = 0;
    }
    return piece;
}

bool ClientConnection::readExactly(void* buffer, std::size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    const std::size_t held = takeHeld(bytes, size);
    bytes += held;
    size -= held;
    // Once some of it has come, the rest may not stall: each wait is bounded by the stall time.
    bool begun = held > 0;
    while (size > 0) {
        if (ended_) return false;
        const ssize_t n = ::recv(fd_, bytes, size, MSG_DONTWAIT);
        if (n > 0) {
            bytes += n;
            size -= static_cast<std::size_t>(n);
            begun = true;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) || !ready(POLLIN, begun)) {
            return false;
        }
    }
    return true;
}

std::size_t ClientConnection::readSome(void* buffer, std::size_t size) { return receive(buffer, size, false); }

std::size_t ClientConnection::readMore(void* buffer, std::size_t size) { return receive(buffer, size, true); }

std::size_t ClientConnection::receive(void* buffer, std::size_t size, bool midRead) {
    if (size == 0) return 0;
    if (heldSize() > 0) return takeHeld(buffer, size);
    if (ended_) return 0;
    for (;;) {
        if (!ready(POLLIN, midRead)) return 0;
        const ssize_t n = ::recv(fd_, buffer, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

void ClientConnection::unread(const std::string& bytes) {
    held_ = bytes + held_.substr(heldAt_);
    heldAt_ = 0;
}

bool ClientConnection::writeAll(const void* buffer, std::size_t size) {
    if (!deadline_) return SocketStream::writeAll(fd_, buffer, size);
    const auto* bytes = static_cast<const char*>(buffer);
    while (size > 0) {
        if (!ready(POLLOUT, false)) return false;
        const ssize_t n = ::send(fd_, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ClientConnection::await(bool reading) {
    while (gate_ && gate_->frozen()) {
        // Hang-ups and errors come whatever is asked for. Without reading, a client that shuts
        // its side has nothing more to say: that ends the wait too.
        short events = 0;
        if (!reading) {
            events = POLLRDHUP;
        } else if (!ended_ && heldSize() < kMostHeld) {
            events = POLLIN;
        }
        pollfd fds[2] = {{fd_, events, 0}, {gate_->thawFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) return false;
        if (fds[0].revents & POLLIN) {
            const std::size_t room = std::min(kReadPiece, kMostHeld - heldSize());
            const std::size_t at = held_.size();
            held_.resize(at + room);
            const ssize_t n = ::recv(fd_, held_.data() + at, room, 0);
            held_.resize(at + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n == 0) ended_ = true;
            if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        }
    }
    return true;
}

} // namespace keldo
