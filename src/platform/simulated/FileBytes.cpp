#include "platform/simulated/FileBytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace keldo {
namespace {

// The memory-backed file that holds every file's whole blocks, one slot each. Its size is that of
// the most slots ever taken; a slot given back is a hole again (its memory the system's) and the
// next to be taken. A forked child shares it: what a child writes (tests that kill one mid-way)
// is never read by the parent, which zeroes every gap it leaves itself, but a child must not
// change simulated files while its parent goes on changing them.
class BlockFile {
public:
    static BlockFile& instance() {
        static BlockFile* file = new BlockFile;  // never destroyed: files may outlive any other static
        return *file;
    }
    bool usable() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::uint64_t take() {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            const std::uint64_t slot = free_.back();
            free_.pop_back();
            return slot;
        }
        if (::ftruncate(fd_, static_cast<off_t>((slots_ + 1) * FileBytes::kBlockSize)) != 0) throw std::bad_alloc();
        free_.reserve(static_cast<std::size_t>(slots_ + 1));  // so that giving it back never throws
        return slots_++;
    }
    void give(std::uint64_t slot) noexcept {
        punch(slot * FileBytes::kBlockSize, FileBytes::kBlockSize);
        std::lock_guard lock(mutex_);
        free_.push_back(slot);
    }
    // Makes a range read as zeros and gives its memory back (or, where a hole can't be made,
    // writes zeros over it).
    void punch(std::uint64_t at, std::uint64_t count) const noexcept {
        if (count == 0 ||
            ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at), static_cast<off_t>(count)) == 0)
            return;
        static const char zeros[64 * 1024] = {};
        while (count > 0) {
            const ssize_t n = ::pwrite(fd_, zeros, static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof(zeros))),
                                       static_cast<off_t>(at));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            at += static_cast<std::uint64_t>(n);
            count -= static_cast<std::uint64_t>(n);
        }
    }

private:
    BlockFile() : fd_(::memfd_create("keldo-simulated-files", MFD_CLOEXEC)) {}

    const int fd_;
    std::mutex mutex_;
    std::vector<std::uint64_t> free_;
    std::uint64_t slots_ = 0;
};

std::uint64_t at(std::uint64_t slot, std::size_t offset) { return slot * FileBytes::kBlockSize + offset; }

} // namespace

void FileBytes::Release::operator()(char* bytes) const { std::free(bytes); }

FileBytes::Block::Block(Block&& other) noexcept
    : bytes(std::move(other.bytes)), capacity(other.capacity), slot(std::exchange(other.slot, kNoSlot)) {}

FileBytes::Block& FileBytes::Block::operator=(Block&& other) noexcept {
    if (this != &other) {
        if (slot != kNoSlot) BlockFile::instance().give(slot);
        bytes = std::move(other.bytes);
        capacity = other.capacity;
        slot = std::exchange(other.slot, kNoSlot);
    }
    return *this;
}

FileBytes::Block::~Block() {
    if (slot != kNoSlot) BlockFile::instance().give(slot);
}

FileBytes::FileBytes(std::string_view bytes) { write(0, bytes.data(), bytes.size()); }

FileBytes::Block FileBytes::allocate(std::size_t capacity) {
    Block block;
    block.capacity = capacity;
    BlockFile& file = BlockFile::instance();
    if (capacity == kBlockSize && file.usable()) {
        block.slot = file.take();
        return block;
    }
    // Without the memory-backed file (no descriptor left when it was made), whole blocks too
    // live in memory.
    void* bytes = capacity == kBlockSize ? std::aligned_alloc(kBlockSize, kBlockSize)
                                         : std::malloc(std::max<std::size_t>(capacity, 1));
    if (!bytes) throw std::bad_alloc();
    block.bytes = Storage(static_cast<char*>(bytes));
    return block;
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
    span(offset, count, [&](const Block& block, std::size_t offset, std::size_t piece) {
        if (block.slot == kNoSlot) {
            std::memcpy(to, block.bytes.get() + offset, piece);
            to += piece;
            return;
        }
        while (piece > 0) {
            ssize_t n = ::pread(BlockFile::instance().fd(), to, piece, static_cast<off_t>(at(block.slot, offset)));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {  // can't happen within the file's size; reads as zeros rather than garbage
                std::memset(to, 0, piece);
                n = static_cast<ssize_t>(piece);
            }
            to += n;
            offset += static_cast<std::size_t>(n);
            piece -= static_cast<std::size_t>(n);
        }
    });
}

void FileBytes::zero(std::uint64_t from, std::uint64_t to) {
    if (to > from) {
        span(from, to - from, [](const Block& block, std::size_t offset, std::size_t piece) {
            if (block.slot == kNoSlot) {
                std::memset(block.bytes.get() + offset, 0, piece);
            } else {
                BlockFile::instance().punch(at(block.slot, offset), piece);
            }
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
    if (first.capacity > 0) {
        if (!blocks_.empty()) {
            // The small first block's bytes move into the new one: the only bytes that ever move.
            const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(size_, blocks_[0].capacity));
            put(first, 0, blocks_[0].bytes.get(), kept);
            blocks_[0] = std::move(first);
        } else {
            blocks_.push_back(std::move(first));
        }
    }
    for (auto& block : added) blocks_.push_back(std::move(block));
}

void FileBytes::put(const Block& block, std::size_t offset, const char* bytes, std::size_t count) {
    if (block.slot == kNoSlot) {
        std::memcpy(block.bytes.get() + offset, bytes, count);
        return;
    }
    const int fd = BlockFile::instance().fd();
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, bytes, count, static_cast<off_t>(at(block.slot, offset)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::bad_alloc();
        bytes += n;
        offset += static_cast<std::size_t>(n);
        count -= static_cast<std::size_t>(n);
    }
}

void FileBytes::write(std::uint64_t offset, const void* bytes, std::uint64_t count) {
    if (count > std::numeric_limits<std::uint64_t>::max() - offset) throw std::length_error("file too large");
    const std::uint64_t end = offset + count;
    reserve(end);
    // The memory for the whole write is taken before a byte is written, so that a write that
    // can't have it changes nothing.
    span(offset, count, [](const Block& block, std::size_t offset, std::size_t piece) {
        if (block.slot != kNoSlot &&
            ::fallocate(BlockFile::instance().fd(), 0, static_cast<off_t>(at(block.slot, offset)), static_cast<off_t>(piece)) != 0)
            throw std::bad_alloc();
    });
    zero(size_, offset);
    const auto* from = static_cast<const char*>(bytes);
    span(offset, count, [&](const Block& block, std::size_t offset, std::size_t piece) {
        put(block, offset, from, piece);
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
    std::string out(static_cast<std::size_t>(size_), '\0');
    read(0, out.data(), size_);
    return out;
}

} // namespace keldo
