#include "tools/device/Watchdog.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace keldo {

namespace {

constexpr char kTrigger = 's';
constexpr char kQuit = 'q';

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// The next byte on the wake-up pipe, waiting at most `timeout` (forever when negative); 0 when
// none came in time or the pipe is gone.
char nextByte(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int wait = -1;
        if (timeout.count() >= 0) {
            // Rounded up: poll's milliseconds never end the wait before the deadline.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return 0;
            wait = static_cast<int>(left.count());
        }
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) continue;  // the deadline is checked above
        char byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return got == 1 ? byte : kQuit;
    }
}

} // namespace

Watchdog::Watchdog(int messages, std::string report, std::chrono::milliseconds grace, std::function<void(int)> end)
    : messages_(messages), grace_(grace), end_(std::move(end)), report_(std::move(report)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    // A signal handler must never block on a full pipe; a byte lost then changes nothing.
    ::fcntl(wake_[1], F_SETFL, ::fcntl(wake_[1], F_GETFL) | O_NONBLOCK);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // running() tells the caller.
    }
}

Watchdog::~Watchdog() {
    if (thread_.joinable()) {
        const char quit = kQuit;
        while (::write(wake_[1], &quit, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (int fd : wake_) {
        if (fd >= 0) ::close(fd);
    }
}

void Watchdog::trigger() noexcept {
    const int saved = errno;  // a signal handler leaves errno as it found it
    const char byte = kTrigger;
    ssize_t ignored = ::write(wake_[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void Watchdog::setReport(std::string report) {
    std::lock_guard<std::mutex> lock(mutex_);
    report_ = std::move(report);
}

bool Watchdog::stepThenReport(const std::function<bool()>& step, std::string after) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spoken_) {
        errno = EINTR;
        return false;
    }
    if (!step()) return false;
    report_ = std::move(after);
    return true;
}

bool Watchdog::finishing(int exitCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    finishing_ = true;
    exitCode_ = exitCode;
    return !spoken_;
}

void Watchdog::run() {
    if (nextByte(wake_[0], std::chrono::milliseconds(-1)) != kTrigger) return;
    // The grace period; a second signal cuts it short.
    const char next = nextByte(wake_[0], grace_);
    if (next == kQuit) return;
    endProcess();
}

void Watchdog::endProcess() {
    int code;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!finishing_ && !spoken_) {
            writeAll(messages_, report_);
            spoken_ = true;
        }
        code = exitCode_;
    }
    end_(code);
}

} // namespace keldo
