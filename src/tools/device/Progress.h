#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace keldo {

class Console;

// One overall progress display for a transfer, on standard error: a bar that redraws in place on
// a terminal (bytes done of total, files done of all, rate, time left), plain lines every few
// seconds otherwise, nothing when disabled. Redraws are rate-limited, so it may be told of every
// chunk. The end is a summary line (files, bytes, time, rate), which on a terminal takes the
// bar's place.
class Progress {
public:
    using Clock = std::function<double()>;  // seconds, monotonic

    // What the transfer is to move. On a terminal the bar shows at once.
    Progress(Console& console, std::string label, std::uint64_t totalBytes, std::uint64_t totalFiles, bool enabled,
             Clock clock = {});

    // Overall bytes done so far, also within a file as its bytes move.
    void update(std::uint64_t done);
    void fileDone() { ++files_; }
    // What won't move: already there as it is (--update), refused, or not reached (in a directory
    // that was refused). Its files and bytes leave the totals; the summary counts the first two.
    enum class Left { UpToDate, Refused, Unreached };
    void leaveOut(Left why, std::uint64_t files, std::uint64_t bytes);
    // A message (through Console::error) between frames: on a terminal the bar makes way for it
    // and comes back below it.
    void note(std::string_view message);
    // The end. After success the summary line; after a failure the bar's last frame stays on a
    // terminal and no summary follows (the error says what happened).
    void finish(bool succeeded);

    // One bar line fitted to `columns`, one plain line, and the summary.
    static std::string bar(const std::string& label, std::uint64_t done, std::uint64_t total, std::uint64_t files,
                           std::uint64_t totalFiles, double seconds, int columns);
    static std::string line(const std::string& label, std::uint64_t done, std::uint64_t total, std::uint64_t files,
                            std::uint64_t totalFiles, double seconds);
    static std::string summary(const std::string& label, std::uint64_t files, std::uint64_t bytes, double seconds,
                               std::uint64_t upToDate, std::uint64_t refused);
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
    std::uint64_t totalFiles_;
    bool enabled_;
    bool terminal_;
    Clock clock_;
    double start_;
    double lastDraw_ = -1e9;
    std::uint64_t done_ = 0;
    std::uint64_t files_ = 0;
    std::uint64_t upToDate_ = 0;
    std::uint64_t refused_ = 0;
    bool drawn_ = false;
    bool finished_ = false;
};

} // namespace keldo
