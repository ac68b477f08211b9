#include "tools/device/TransferReport.h"

#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/Interrupt.h"

#include <fmt/format.h>

#include <algorithm>

namespace keldo {

TransferReport::TransferReport(Console& console, bool pushing, bool progress, Progress::Clock clock)
    : console_(console), command_(pushing ? "push" : "pull"), progressShown_(progress), clock_(std::move(clock)) {}

void TransferReport::start(std::uint64_t totalBytes, std::uint64_t totalFiles) {
    std::lock_guard lock(mutex_);
    progress_ = std::make_unique<Progress>(console_, command_, totalBytes, totalFiles, progressShown_, clock_);
    Interrupt::setReport(interruptLine(), barShown());
}

void TransferReport::update(std::size_t index, std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    // The workers of one shared file tell their totals in whatever order their threads run.
    std::uint64_t& moving = moving_[index];
    moving = std::max(moving, bytes);
    showBytes();
}

void TransferReport::moved(std::size_t index, std::uint64_t files, std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    anyDone_ = true;
    moving_.erase(index);
    if (files == 0) return;  // a directory or a link: nothing for the bar
    doneBytes_ += bytes;
    progress_->fileDone();
    showBytes();
}

void TransferReport::showBytes() {
    std::uint64_t done = doneBytes_;
    for (const auto& [index, bytes] : moving_) done += bytes;
    progress_->update(done);
}

void TransferReport::upToDate(std::uint64_t files, std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    progress_->leaveOut(Progress::Left::UpToDate, files, bytes);
}

void TransferReport::unreached(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    progress_->leaveOut(Progress::Left::Unreached, 1, bytes);
}

void TransferReport::refused(std::size_t index, const std::string& name, std::uint64_t files, std::uint64_t bytes,
                             const std::string& why) {
    std::lock_guard lock(mutex_);
    incomplete_ = true;
    // Out of the totals at once; the message waits for its turn.
    progress_->leaveOut(Progress::Left::Refused, files, bytes);
    note(index, fmt::format("{} {}: {}", command_, name, why));
}

void TransferReport::incomplete(std::size_t index, const std::string& message) {
    std::lock_guard lock(mutex_);
    incomplete_ = true;
    note(index, message);
}

void TransferReport::note(std::size_t index, std::string message) {
    if (index < next_) {
        progress_->note(message);
        return;
    }
    held_[index].notes.push_back(std::move(message));
}

void TransferReport::failed(std::size_t index, const std::string& name, const std::string& why) {
    std::lock_guard lock(mutex_);
    failed_ = true;
    held_[index].finals.push_back(fmt::format("{} {}: {}", command_, name, why));
}

void TransferReport::interrupted(std::size_t index, const std::string& left) {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    if (!left.empty()) held_[index].left.push_back(left);
}

void TransferReport::complete(std::size_t index) {
    std::lock_guard lock(mutex_);
    moving_.erase(index);
    if (inFlight_.erase(index) > 0) Interrupt::setReport(interruptLine(), barShown());
    held_[index].complete = true;
    release();
}

void TransferReport::release() {
    for (auto it = held_.begin(); it != held_.end() && it->first == next_ && it->second.complete;
         it = held_.erase(it), ++next_) {
        for (const auto& message : it->second.notes) progress_->note(message);
        for (auto& line : it->second.finals) finals_.push_back(std::move(line));
        for (auto& text : it->second.left) left_.push_back(std::move(text));
    }
}

bool TransferReport::stopped() const {
    std::lock_guard lock(mutex_);
    return failed_ || interrupted_;
}

void TransferReport::inFlight(std::size_t index, const std::string& left) {
    std::lock_guard lock(mutex_);
    inFlight_[index] = left;
    Interrupt::setReport(interruptLine(), barShown());
}

bool TransferReport::stepThenReport(std::size_t index, const std::function<bool()>& step) {
    std::lock_guard lock(mutex_);
    inFlight_.erase(index);
    return Interrupt::stepThenReport(step, interruptLine(), barShown());
}

std::string TransferReport::interruptLine() const {
    std::string line = fmt::format("{}: interrupted", command_);
    for (const auto& [index, left] : inFlight_) line += "; " + left;
    return line;
}

int TransferReport::finish() {
    std::lock_guard lock(mutex_);
    // What was held for items never completed (not reached after a failure) goes out too.
    for (auto& [index, held] : held_) held.complete = true;
    while (!held_.empty()) {
        next_ = held_.begin()->first;
        release();
    }
    if (!failed_ && !interrupted_) {
        progress_->finish(true);
        return incomplete_ ? kExitPartial : kExitSuccess;
    }
    progress_->finish(false);
    if (interrupted_ && !Interrupt::finishing(kExitInterrupted)) return kExitInterrupted;
    for (const auto& line : finals_) console_.error(line);
    if (!interrupted_) return anyDone_ ? kExitPartial : kExitDeviceError;
    std::string line = fmt::format("{}: interrupted", command_);
    for (const auto& text : left_) line += "; " + text;
    console_.error(line);
    return kExitInterrupted;
}

bool TransferReport::barShown() const { return progressShown_ && console_.progressIsTerminal(); }

std::string TransferReport::exists(const std::string& path) {
    return fmt::format("{} exists; not replaced without -f", path);
}

std::string TransferReport::directory(const std::string& path) {
    return fmt::format("{} is a directory; not replaced", path);
}

std::string TransferReport::notDirectory(const std::string& path) {
    return fmt::format("{} exists and is not a directory; not replaced", path);
}

} // namespace keldo
