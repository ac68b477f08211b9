#include "tools/device/FileRanges.h"

#include <algorithm>
#include <utility>

namespace keldo {

FileRanges::FileRanges(std::size_t index, Ends ends, std::uint64_t size, unsigned parts)
    : index_(index), ends_(std::move(ends)), size_(size), parts_(std::max(parts, 1u)) {}

bool FileRanges::wantsHelp() const {
    std::lock_guard lock(mutex_);
    return !closed_ && !stopped_ && next_ < size_ && taking_part_ < parts_;
}

bool FileRanges::join() {
    std::lock_guard lock(mutex_);
    if (closed_ || stopped_ || next_ >= size_ || taking_part_ >= parts_) return false;
    ++taking_part_;
    return true;
}

void FileRanges::leave() {
    {
        std::lock_guard lock(mutex_);
        --taking_part_;
    }
    left_.notify_all();
}

std::optional<FileRanges::Range> FileRanges::take(std::uint64_t most) {
    std::lock_guard lock(mutex_);
    if (stopped_ || next_ >= size_) return std::nullopt;
    const std::uint64_t size = std::min(std::max<std::uint64_t>(most, 1), size_ - next_);
    const Range range{next_, size};
    next_ += size;
    return range;
}

std::uint64_t FileRanges::moved(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    moved_ += bytes;
    return moved_;
}

void FileRanges::fail(std::string why) { end(End::Failed, std::move(why)); }

void FileRanges::refuse(std::string why) { end(End::Refused, std::move(why)); }

void FileRanges::stop() { end(End::Stopped, {}); }

void FileRanges::end(End end, std::string why) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    end_ = end;
    why_ = std::move(why);
}

FileRanges::End FileRanges::finish() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    left_.wait(lock, [&] { return taking_part_ == 1; });
    return end_;
}

std::size_t FileRanges::chunkHint() const {
    std::lock_guard lock(mutex_);
    return chunkHint_;
}

void FileRanges::setChunkHint(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    chunkHint_ = bytes;
}

} // namespace keldo
