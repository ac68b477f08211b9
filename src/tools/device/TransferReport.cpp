#include "tools/device/TransferReport.h"

#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/Interrupt.h"

#include <fmt/format.h>

namespace keldo {

TransferReport::TransferReport(Console& console, bool pushing, bool progress, Progress::Clock clock)
    : console_(console), command_(pushing ? "push" : "pull"), progressShown_(progress), clock_(std::move(clock)) {}

void TransferReport::start(std::uint64_t totalBytes, std::uint64_t totalFiles) {
    progress_ = std::make_unique<Progress>(console_, command_, totalBytes, totalFiles, progressShown_, clock_);
}

void TransferReport::update(std::uint64_t done) { progress_->update(done); }

void TransferReport::fileDone(std::uint64_t done) {
    progress_->fileDone();
    progress_->update(done);
}

void TransferReport::upToDate(std::uint64_t files, std::uint64_t bytes) {
    progress_->leaveOut(Progress::Left::UpToDate, files, bytes);
}

void TransferReport::unreached(std::uint64_t bytes) { progress_->leaveOut(Progress::Left::Unreached, 1, bytes); }

void TransferReport::refused(const std::string& name, std::uint64_t files, std::uint64_t bytes,
                             const std::string& why) {
    incomplete_ = true;
    // Out of the totals before the bar comes back below the message.
    progress_->leaveOut(Progress::Left::Refused, files, bytes);
    progress_->note(fmt::format("{} {}: {}", command_, name, why));
}

void TransferReport::incomplete(const std::string& message) {
    incomplete_ = true;
    progress_->note(message);
}

void TransferReport::failed(const std::string& name, const std::string& why) {
    progress_->finish(false);
    console_.error(fmt::format("{} {}: {}", command_, name, why));
}

int TransferReport::interrupted(const std::string& report) {
    if (progress_) progress_->finish(false);
    if (Interrupt::finishing(kExitInterrupted)) console_.error(report);
    return kExitInterrupted;
}

int TransferReport::finish() {
    progress_->finish(true);
    return incomplete_ ? kExitPartial : kExitSuccess;
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
