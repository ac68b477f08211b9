#include "platform/simulated/FileBytes.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>

namespace keldo {
namespace {

// Whole blocks that files gave back, for the next file to take: memory the kernel has already
// handed out is written at the speed of a copy, while fresh memory costs a page fault and the
// kernel's zero-fill first, which made storing a file several times slower than reading it.
// A file replaced by one of its size (a push over an earlier one) then costs the kernel nothing.
// What is kept is bounded; beyond it, blocks go back to the system.
class BlockPool {
public:
    static BlockPool& instance() {
        static BlockPool pool;  // never destroyed: files may outlive any other static
        return pool;
    }
    char* take() {
        std::lock_guard lock(mutex_);
        if (count_ == 0) return nullptr;
        return blocks_[--count_];
    }
    void give(char* block) {
        {
            std::lock_guard lock(mutex_);
            if (count_ < kKept) {
                blocks_[count_++] = block;
                return;
            }
        }
        std::free(block);
    }

    static constexpr std::size_t kKept = 256;  // 512 MiB of 2 MiB blocks

private:
    std::mutex mutex_;
    char* blocks_[kKept] = {};
    std::size_t count_ = 0;
};

} // namespace

void FileBytes::Release::operator()(char* bytes) const {
    if (whole) {
        BlockPool::instance().give(bytes);
    } else {
        std::free(bytes);
    }
}

FileBytes::FileBytes(std::string_view bytes) { write(0, bytes.data(), bytes.size()); }

FileBytes::Block FileBytes::allocate(std::size_t capacity) {
    const bool whole = capacity == kBlockSize;
    void* bytes = nullptr;
    if (whole) {
        bytes = BlockPool::instance().take();
        if (!bytes) {
            bytes = std::aligned_alloc(kBlockSize, kBlockSize);
            // Whole huge pages where the kernel offers them: a fresh block's first write then costs
            // one page fault instead of hundreds.
            if (bytes) (void)::madvise(bytes, kBlockSize, MADV_HUGEPAGE);
        }
    } else {
        bytes = std::malloc(std::max<std::size_t>(capacity, 1));
    }
    if (!bytes) throw std::bad_alloc();
    return Block{Storage(static_cast<char*>(bytes), Release{whole}), capacity};
}

template <typename Step>
void FileBytes::span(std::uint64_t offset, std::uint64_t count, Step step) const {
    while (count > 0) {
        const auto index = static_cast<std::size_t>(offset / kBlockSize);
        const auto at = static_cast<std::size_t>(offset % kBlockSize);
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kBlockSize - at));
        step(blocks_[index], at, piece);
        offset += piece;
        count -= piece;
    }
}

void FileBytes::read(std::uint64_t offset, void* out, std::uint64_t count) const {
    auto* to = static_cast<char*>(out);
    span(offset, count, [&](const Block& block, std::size_t at, std::size_t piece) {
        std::memcpy(to, block.bytes.get() + at, piece);
        to += piece;
    });
}

void FileBytes::zero(std::uint64_t from, std::uint64_t to) {
    if (to > from) {
        span(from, to - from, [](const Block& block, std::size_t at, std::size_t piece) {
            std::memset(block.bytes.get() + at, 0, piece);
        });
    }
}

void FileBytes::reserve(std::uint64_t end) {
    const std::uint64_t held = blocks_.empty() ? 0 : (blocks_.size() - 1) * kBlockSize + blocks_.back().capacity;
    if (end <= held) return;
    const std::uint64_t needed = end / kBlockSize + (end % kBlockSize != 0);
    if (needed > blocks_.max_size()) throw std::length_error("file too large");
    // Everything is allocated before anything changes, so that a failure leaves the bytes as they were.
    Block first;
    std::vector<Block> added;
    if (needed == 1) {
        // A small file grows as a string does, so that it takes about its own size.
        const std::size_t capacity = blocks_.empty() ? 0 : blocks_[0].capacity;
        first = allocate(std::max<std::size_t>(static_cast<std::size_t>(end), std::min(kBlockSize, 2 * capacity)));
    } else {
        if (blocks_.empty() || blocks_[0].capacity < kBlockSize) first = allocate(kBlockSize);
        added.reserve(static_cast<std::size_t>(needed) - std::max<std::size_t>(blocks_.size(), 1));
        for (std::size_t i = std::max<std::size_t>(blocks_.size(), 1); i < needed; ++i) added.push_back(allocate(kBlockSize));
    }
    blocks_.reserve(static_cast<std::size_t>(needed));
    if (first.bytes) {
        if (blocks_.empty()) {
            blocks_.push_back(std::move(first));
        } else {
            std::memcpy(first.bytes.get(), blocks_[0].bytes.get(), static_cast<std::size_t>(std::min<std::uint64_t>(size_, blocks_[0].capacity)));
            blocks_[0] = std::move(first);
        }
    }
    for (auto& block : added) blocks_.push_back(std::move(block));
}

void FileBytes::write(std::uint64_t offset, const void* bytes, std::uint64_t count) {
    if (count > std::numeric_limits<std::uint64_t>::max() - offset) throw std::length_error("file too large");
    const std::uint64_t end = offset + count;
    reserve(end);
    zero(size_, offset);
    const auto* from = static_cast<const char*>(bytes);
    span(offset, count, [&](const Block& block, std::size_t at, std::size_t piece) {
        std::memcpy(block.bytes.get() + at, from, piece);
        from += piece;
    });
    size_ = std::max(size_, end);
}

void FileBytes::resize(std::uint64_t size) {
    if (size > size_) {
        reserve(size);
        zero(size_, size);
    } else {
        blocks_.resize(static_cast<std::size_t>(size / kBlockSize + (size % kBlockSize != 0)));
    }
    size_ = size;
}

void FileBytes::clear() {
    blocks_.clear();
    size_ = 0;
}

std::string FileBytes::toString() const {
    std::string out;
    out.reserve(static_cast<std::size_t>(size_));
    span(0, size_, [&](const Block& block, std::size_t at, std::size_t piece) { out.append(block.bytes.get() + at, piece); });
    return out;
}

} // namespace keldo
