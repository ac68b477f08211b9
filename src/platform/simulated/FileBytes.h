#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace keldo {

// A simulated file's bytes, held in blocks: a file that grows never moves what it already holds,
// a write copies its bytes once, and nothing is zero-filled that is overwritten at once (only a
// gap that a write past the end or a size change leaves reads as zeros). A small file takes
// about its own size in memory; the whole blocks of a larger one live in a memory-backed file of
// the process (written and read with pwrite and pread), whose pages the kernel hands out without
// a page fault each: fresh memory that is faulted in page by page made storing a file several
// times slower than reading it back. A block a file gives back is returned to the system.
//
// Changes are whole or nothing: one that can't have its memory throws std::bad_alloc (or
// std::length_error beyond what an address holds) and leaves the bytes as they were.
class FileBytes {
public:
    FileBytes() = default;
    explicit FileBytes(std::string_view bytes);
    FileBytes(FileBytes&&) noexcept = default;
    FileBytes& operator=(FileBytes&&) noexcept = default;

    std::uint64_t size() const { return size_; }
    // Copies `count` bytes from `offset` to `out`; the range lies within size().
    void read(std::uint64_t offset, void* out, std::uint64_t count) const;
    // Writes `count` bytes at `offset`, growing the file as needed.
    void write(std::uint64_t offset, const void* bytes, std::uint64_t count);
    // Cuts the bytes at `size`, or adds zeros up to it.
    void resize(std::uint64_t size);
    void clear();
    std::string toString() const;

    // The bytes one block holds: large enough that a block costs one call, small enough that a
    // large file wastes little in its last block.
    static constexpr std::size_t kBlockSize = 2 * 1024 * 1024;

private:
    struct Release {
        void operator()(char* bytes) const;
    };
    using Storage = std::unique_ptr<char, Release>;
    static constexpr std::uint64_t kNoSlot = ~std::uint64_t{0};
    // In memory (`bytes`), or a slot of the memory-backed file.
    struct Block {
        Block() = default;
        Block(Block&& other) noexcept;
        Block& operator=(Block&& other) noexcept;
        ~Block();

        Storage bytes;
        std::size_t capacity = 0;
        std::uint64_t slot = kNoSlot;
    };

    // Makes room for the first `end` bytes; what is held stays where it is, except in a first
    // block smaller than kBlockSize, which grows (and moves) as a small file does.
    void reserve(std::uint64_t end);
    static Block allocate(std::size_t capacity);
    // Copies bytes into a block; only a block of the memory-backed file can fail (std::bad_alloc).
    static void put(const Block& block, std::size_t offset, const char* bytes, std::size_t count);
    void zero(std::uint64_t from, std::uint64_t to);
    // Runs `step(block, offset in it, count)` over the blocks that [offset, offset + count) spans.
    template <typename Step>
    void span(std::uint64_t offset, std::uint64_t count, Step step) const;

    std::vector<Block> blocks_;
    std::uint64_t size_ = 0;
};

} // namespace keldo
