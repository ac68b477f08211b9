#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace keldo {

// Ends the process when a request to stop is not honoured in time. The main thread looks at the
// request between steps, but it can be stuck in a device call that does not return (a device that
// stops answering holds a read open without end); the watchdog, on a thread of its own, then says
// what the command leaves behind and ends the process.
//
// trigger() is async-signal-safe: the first starts the grace period, the next ends it at once.
// When the period is over the watchdog writes the report (unless the command said it is ending
// and reports for itself) and calls `end` with the exit code, on its own thread.
class Watchdog {
public:
    // `messages` is the descriptor the report goes to (standard error), `report` what it says
    // until setReport says otherwise. `end` does not return for the process's watchdog (it
    // exits); a test's may.
    Watchdog(int messages, std::string report, std::chrono::milliseconds grace,
             std::function<void(int exitCode)> end);
    // Stops the thread without ending anything.
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // False when the thread could not be started: the caller ends the process another way.
    bool running() const { return thread_.joinable(); }

    void trigger() noexcept;
    // What to say if the process is ended now, as the bytes to write.
    void setReport(std::string report);
    // Takes a quick local step that makes the report untrue (such as putting a file in place) and
    // then `after` as the report, with the watchdog held meanwhile: the process is never ended
    // between the two with the old report. Once the watchdog has spoken the step is not taken
    // (false, errno EINTR); otherwise the step's result.
    [[nodiscard]] bool stepThenReport(const std::function<bool()>& step, std::string after);
    // The command has its result and ends on its own with `exitCode`, reporting any interruption
    // itself: from now on the watchdog writes nothing, and exits with that code if it still has
    // to. False when the watchdog has already written its report.
    [[nodiscard]] bool finishing(int exitCode);

    static constexpr int kInterruptedExit = 130;

private:
    void run();
    void endProcess();

    int messages_;
    std::chrono::milliseconds grace_;
    std::function<void(int)> end_;
    int wake_[2] = {-1, -1};  // the signal handler's (and the destructor's) way to the thread
    std::mutex mutex_;
    std::string report_;
    bool spoken_ = false;      // the report line is out (under mutex_)
    bool finishing_ = false;   // the command reports for itself (under mutex_)
    int exitCode_ = kInterruptedExit;
    std::thread thread_;
};

} // namespace keldo
