#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldo {

// The process's named temporary files that must not outlive it, for its signal handlers to
// remove. Only files that can't be made unnamed are named (see ReplacementFile), so this is the
// rare case: a handful of entries at most.
//
// Contract for a program: every handler of a signal that ends it (SIGINT, SIGTERM, SIGXFSZ, ...)
// calls removeAll() before the process ends (with _exit, or by raising the signal again under
// its default action). removeAll is async-signal-safe and noexcept, and may run on any thread,
// also one that a signal caught inside track or untrack. track and untrack may be called from
// any thread. A file is tracked from just before it is made (under a name unique to this process,
// made with O_EXCL) until just after it is renamed or removed: a signal never falls between the
// making and the tracking, and removing a tracked name never touches another's file.
class TemporaryFiles {
public:
    using Ticket = std::int64_t;
    static constexpr Ticket kNone = -1;
    static constexpr int kCapacity = 64;
    static constexpr std::size_t kLongestPath = 4095;

    // Registers a file by its path; kNone when the path is empty or longer than kLongestPath, or
    // kCapacity files are tracked already.
    [[nodiscard]] static Ticket track(const std::string& path) noexcept;
    // The same for a path relative to an open directory, which the caller keeps open until it
    // untracks the file.
    [[nodiscard]] static Ticket track(int directory, const std::string& path) noexcept;
    // Forgets the file of `ticket` without removing it; kNone, or a ticket whose file has been
    // removed by removeAll meanwhile, is ignored.
    static void untrack(Ticket ticket) noexcept;
    // Removes every tracked file and forgets it; errno stays as it was.
    static void removeAll() noexcept;
};

} // namespace keldo
