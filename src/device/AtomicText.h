#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace keldo {

// A text that may be absent, written by the thread that owns its object and read from any thread.
// A reader gets its own copy of the text held at that moment, never a torn or freed one. The texts
// are small and written rarely, so a plain lock is enough and keeps ThreadSanitizer precise.
class AtomicText {
public:
    AtomicText() = default;
    AtomicText(const AtomicText&) = delete;
    AtomicText& operator=(const AtomicText&) = delete;

    std::optional<std::string> load() const {
        std::lock_guard lock(mutex_);
        return text_;
    }
    void store(std::optional<std::string> text) {
        // The old text is freed after the lock is released.
        std::lock_guard lock(mutex_);
        text_.swap(text);
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::string> text_;
};

} // namespace keldo
