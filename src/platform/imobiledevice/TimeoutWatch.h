#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace keldo {

// Bounds the library calls that talk to a device. libimobiledevice waits 30 s for each read of a
// reply and forever for a TLS handshake; a call is given a deadline here instead, and when it
// passes the call's socket is shut down, so that the call blocked on it fails at once. The
// connection is useless afterwards; its owner drops it.
//
// One thread sleeps until the earliest deadline, and without a deadline until one is armed: no
// wake-up while nothing runs. Safe from any thread.
class TimeoutWatch {
public:
    using Clock = std::chrono::steady_clock;

    // A call's deadline while it lives; destroying it disarms it.
    class Deadline {
    public:
        Deadline() = default;
        Deadline(Deadline&& other) noexcept;
        Deadline& operator=(Deadline&& other) noexcept;
        ~Deadline();

        // Moves the deadline to a full time-out from now: each round trip of a long call gets
        // its own.
        void renew();
        // True once the deadline passed and the socket was shut down.
        [[nodiscard]] bool expired() const;

    private:
        friend class TimeoutWatch;
        Deadline(TimeoutWatch* watch, std::uint64_t id, std::chrono::milliseconds timeout)
            : watch_(watch), id_(id), timeout_(timeout) {}
        void disarm();

        TimeoutWatch* watch_ = nullptr;
        std::uint64_t id_ = 0;
        std::chrono::milliseconds timeout_{0};
        mutable bool expired_ = false;
    };

    TimeoutWatch() = default;
    ~TimeoutWatch();
    TimeoutWatch(const TimeoutWatch&) = delete;
    TimeoutWatch& operator=(const TimeoutWatch&) = delete;

    // Shuts `socket`'s connection down once `timeout` has passed, unless the deadline has gone by
    // then. A negative socket arms nothing (the deadline never expires).
    [[nodiscard]] Deadline arm(int socket, std::chrono::milliseconds timeout);

private:
    struct Entry {
        int socket = -1;
        Clock::time_point due;
        bool expired = false;
    };

    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint64_t, Entry> entries_;
    std::uint64_t nextId_ = 0;
    bool stopping_ = false;
    std::thread thread_;  // started by the first deadline
};

} // namespace keldo
