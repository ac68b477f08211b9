#include "tools/devsim/ClientConnection.h"

#include "tools/devsim/SocketStream.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace keldo {

namespace {

constexpr std::size_t kReadPiece = 64 * 1024;

} // namespace

bool ClientConnection::readExactly(void* buffer, std::size_t size) {
    auto* bytes = static_cast<char*>(buffer);
    if (heldSize() > 0) {
        const std::size_t piece = std::min(size, heldSize());
        std::memcpy(bytes, held_.data() + heldAt_, piece);
        heldAt_ += piece;
        if (heldSize() == 0) {
            held_.clear();
            heldAt_ = 0;
        }
        bytes += piece;
        size -= piece;
    }
    if (size == 0) return true;
    if (ended_) return false;
    return SocketStream::readExactly(fd_, bytes, size);
}

std::size_t ClientConnection::readSome(void* buffer, std::size_t size) {
    if (size == 0) return 0;
    if (heldSize() > 0) {
        const std::size_t piece = std::min(size, heldSize());
        std::memcpy(buffer, held_.data() + heldAt_, piece);
        heldAt_ += piece;
        if (heldSize() == 0) {
            held_.clear();
            heldAt_ = 0;
        }
        return piece;
    }
    if (ended_) return 0;
    for (;;) {
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
    return SocketStream::writeAll(fd_, buffer, size);
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
