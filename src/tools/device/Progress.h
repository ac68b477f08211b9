#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace keldo {

class Console;

// One overall progress display for a transfer, on standard error: a bar that redraws in place on
// a terminal (bytes done of total, rate, time left), plain lines every few seconds otherwise,
// nothing when disabled. Redraws are rate-limited, so it may be told of every chunk.
class Progress {
public:
    using Clock = std::function<double()>;  // seconds, monotonic

    // On a terminal the bar shows at once, with the total.
    Progress(Console& console, std::string label, std::uint64_t total, bool enabled, Clock clock = {});

    // Overall bytes done so far.
    void update(std::uint64_t done);
    void fileDone() { ++files_; }
    // The last state: the bar completed with a newline on a terminal, a summary line otherwise
    // (after a failure no summary: the error says what happened).
    void finish(bool succeeded);

    // One bar line fitted to `columns`, and one plain line.
    static std::string bar(const std::string& label, std::uint64_t done, std::uint64_t total, double seconds,
                           int columns);
    static std::string line(const std::string& label, std::uint64_t done, std::uint64_t total, double seconds);
    static std::string bytes(std::uint64_t count);
    // "m:ss" or "h:mm:ss"; "--:--" when it can't be known.
    static std::string duration(double seconds);

    static constexpr double kBarInterval = 0.1;
    static constexpr double kLineInterval = 2.0;

private:
    void draw(bool last);

    Console& console_;
    std::string label_;
    std::uint64_t total_;
    bool enabled_;
    bool terminal_;
    Clock clock_;
    double start_;
    double lastDraw_ = -1e9;
    std::uint64_t done_ = 0;
    int files_ = 0;
    bool drawn_ = false;
};

} // namespace keldo
