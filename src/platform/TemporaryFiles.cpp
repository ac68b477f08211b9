#include "platform/TemporaryFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace keldo {

namespace {

// Each slot's word holds its state in the low two bits and a generation above them, which every
// track advances: a ticket names one generation of one slot, so a stale ticket never frees a
// slot that was taken again. Only the holder of the "changing" state touches the path, and the
// word's release and acquire order the path's bytes around it: there are no locks, so a signal
// handler can never wait for the code it interrupted.
constexpr std::uint64_t kFree = 0;
constexpr std::uint64_t kChanging = 1;
constexpr std::uint64_t kTracked = 2;
constexpr std::uint64_t kStateBits = 2;
constexpr std::uint64_t kStateMask = (1u << kStateBits) - 1;
constexpr int kIndexBits = 8;

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "a signal handler may only use lock-free atomics");
static_assert(TemporaryFiles::kCapacity <= (1 << kIndexBits));

struct Slot {
    std::atomic<std::uint64_t> word{kFree};
    int directory;
    char path[TemporaryFiles::kLongestPath + 1];
};

// Zero-initialised before any code runs: usable from the first signal on.
Slot slots[TemporaryFiles::kCapacity];

std::uint64_t generationOf(std::uint64_t word) { return word >> kStateBits; }
std::uint64_t wordOf(std::uint64_t generation, std::uint64_t state) { return (generation << kStateBits) | state; }

} // namespace

TemporaryFiles::Ticket TemporaryFiles::track(const std::string& path) noexcept { return track(AT_FDCWD, path); }

TemporaryFiles::Ticket TemporaryFiles::track(int directory, const std::string& path) noexcept {
    if (path.empty() || path.size() > kLongestPath) return kNone;
    for (int index = 0; index < kCapacity; ++index) {
        Slot& slot = slots[index];
        std::uint64_t word = slot.word.load(std::memory_order_relaxed);
        if ((word & kStateMask) != kFree) continue;
        std::uint64_t generation = (generationOf(word) + 1) & (~std::uint64_t{0} >> (kStateBits + kIndexBits + 1));
        if (!slot.word.compare_exchange_strong(word, wordOf(generation, kChanging), std::memory_order_acquire))
            continue;
        slot.directory = directory;
        std::memcpy(slot.path, path.data(), path.size());
        slot.path[path.size()] = '\0';
        slot.word.store(wordOf(generation, kTracked), std::memory_order_release);
        return static_cast<Ticket>((generation << kIndexBits) | static_cast<std::uint64_t>(index));
    }
    return kNone;
}

void TemporaryFiles::untrack(Ticket ticket) noexcept {
    if (ticket < 0) return;
    auto bits = static_cast<std::uint64_t>(ticket);
    auto index = bits & ((1u << kIndexBits) - 1);
    if (index >= kCapacity) return;
    std::uint64_t generation = bits >> kIndexBits;
    std::uint64_t expected = wordOf(generation, kTracked);
    // Fails when removeAll holds the slot (it frees it itself) or has freed it already.
    slots[index].word.compare_exchange_strong(expected, wordOf(generation, kFree), std::memory_order_acq_rel);
}

void TemporaryFiles::removeAll() noexcept {
    int savedErrno = errno;  // the code a handler interrupted may be about to read it
    for (Slot& slot : slots) {
        std::uint64_t word = slot.word.load(std::memory_order_relaxed);
        if ((word & kStateMask) != kTracked) continue;
        if (!slot.word.compare_exchange_strong(word, wordOf(generationOf(word), kChanging), std::memory_order_acquire))
            continue;
        ::unlinkat(slot.directory, slot.path, 0);
        slot.word.store(wordOf(generationOf(word), kFree), std::memory_order_release);
    }
    errno = savedErrno;
}

} // namespace keldo
