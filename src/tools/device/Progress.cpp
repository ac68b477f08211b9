#include "tools/device/Progress.h"

#include "tools/device/Console.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace keldo {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double rateOf(std::uint64_t done, double seconds) { return seconds > 0 ? static_cast<double>(done) / seconds : 0; }

std::string rateText(std::uint64_t done, double seconds) {
    return Progress::bytes(static_cast<std::uint64_t>(rateOf(done, seconds))) + "/s";
}

std::string timeLeft(std::uint64_t done, std::uint64_t total, double seconds) {
    const double rate = rateOf(done, seconds);
    if (done >= total) return Progress::duration(0);
    if (rate <= 0) return Progress::duration(-1);
    return Progress::duration(static_cast<double>(total - done) / rate);
}

std::string filesText(std::uint64_t files, std::uint64_t totalFiles) {
    return fmt::format("{}/{} {}", files, totalFiles, totalFiles == 1 ? "file" : "files");
}

} // namespace

Progress::Progress(Console& console, std::string label, std::uint64_t totalBytes, std::uint64_t totalFiles,
                   bool enabled, Clock clock)
    : console_(console), label_(std::move(label)), total_(totalBytes), totalFiles_(totalFiles), enabled_(enabled),
      terminal_(enabled && console.progressIsTerminal()), clock_(clock ? std::move(clock) : Clock(steadySeconds)),
      start_(clock_()) {
    // Plain lines come every kLineInterval from the start; the bar shows at once.
    lastDraw_ = terminal_ ? -1e9 : start_;
    if (terminal_) update(0);
}

void Progress::update(std::uint64_t done) {
    done_ = done;
    if (!enabled_ || finished_) return;
    const double now = clock_();
    if (now - lastDraw_ < (terminal_ ? kBarInterval : kLineInterval)) return;
    lastDraw_ = now;
    draw(false);
}

void Progress::leaveOut(Left why, std::uint64_t files, std::uint64_t bytes) {
    total_ -= std::min(total_, bytes);
    totalFiles_ -= std::min(totalFiles_, files);
    if (why == Left::UpToDate) ++upToDate_;
    if (why == Left::Refused) ++refused_;
}

void Progress::note(std::string_view message) {
    const bool onBar = terminal_ && drawn_ && !finished_;
    // The bar's line is cleared for the message, and the bar drawn again after it.
    if (onBar) console_.progressBar("", false);
    console_.error(message);
    if (onBar) draw(false);
}

void Progress::finish(bool succeeded) {
    if (!enabled_ || finished_) return;
    finished_ = true;
    if (!succeeded) {
        if (terminal_ && drawn_) draw(true);
        return;
    }
    const std::string text = summary(label_, files_, done_, clock_() - start_, upToDate_, refused_);
    if (terminal_) {
        console_.progressBar(text, true);
    } else {
        console_.progressLine(text);
    }
}

void Progress::draw(bool last) {
    const double seconds = clock_() - start_;
    drawn_ = true;
    if (terminal_) {
        const int columns = console_.progressColumns();
        console_.progressBar(bar(label_, done_, total_, files_, totalFiles_, seconds, columns), last);
    } else {
        console_.progressLine(line(label_, done_, total_, files_, totalFiles_, seconds));
    }
}

std::string Progress::bar(const std::string& label, std::uint64_t done, std::uint64_t total, std::uint64_t files,
                          std::uint64_t totalFiles, double seconds, int columns) {
    const std::string numbers = fmt::format(" {} / {}  {}  {}  {} left", bytes(done), bytes(total),
                                            filesText(files, totalFiles), rateText(done, seconds),
                                            timeLeft(done, total, seconds));
    // The bar takes what the label and the numbers leave of the line, within reason.
    const int room = columns - 1 - static_cast<int>(label.size()) - 3 - static_cast<int>(numbers.size());
    if (room < 5) return (label + numbers).substr(0, static_cast<std::size_t>(std::max(columns - 1, 0)));
    const int width = std::min(room, 40);
    const double fraction = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const int filled = static_cast<int>(fraction * width);
    return fmt::format("{} [{}{}]{}", label, std::string(static_cast<std::size_t>(filled), '#'),
                       std::string(static_cast<std::size_t>(width - filled), '.'), numbers);
}

std::string Progress::line(const std::string& label, std::uint64_t done, std::uint64_t total, std::uint64_t files,
                           std::uint64_t totalFiles, double seconds) {
    const int percent = total == 0 ? 100 : static_cast<int>(std::min<std::uint64_t>(100, done * 100 / total));
    return fmt::format("{}: {} of {} ({}%), {}, {}, {} left", label, bytes(done), bytes(total), percent,
                       filesText(files, totalFiles), rateText(done, seconds), timeLeft(done, total, seconds));
}

std::string Progress::summary(const std::string& label, std::uint64_t files, std::uint64_t moved, double seconds,
                              std::uint64_t upToDate, std::uint64_t refused) {
    std::string text = fmt::format("{}: {} {}, {} in {:.1f} s ({})", label, files, files == 1 ? "file" : "files",
                                   bytes(moved), seconds, rateText(moved, seconds));
    if (upToDate > 0) text += fmt::format(", {} up to date", upToDate);
    if (refused > 0) text += fmt::format(", {} refused", refused);
    return text;
}

std::string Progress::bytes(std::uint64_t count) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (count < 1024) return fmt::format("{} B", count);
    double value = static_cast<double>(count) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

std::string Progress::duration(double seconds) {
    if (seconds < 0 || !std::isfinite(seconds) || seconds > 359999) return "--:--";
    const auto whole = static_cast<long>(std::ceil(seconds));
    if (whole >= 3600) return fmt::format("{}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60);
    return fmt::format("{}:{:02}", whole / 60, whole % 60);
}

} // namespace keldo
