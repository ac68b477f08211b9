#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace keldo {

class ReplacementFile;

// One large file moved over several AFC connections at once. Over a link with a long round trip
// a single connection leaves it idle while each call waits for its reply; ranges of the file moved
// by several connections fill those gaps. The worker that moves the file (the lead) hands its
// bytes out in ranges, to itself and to idle workers that join it; each joined worker opens the
// same remote file on its own connection and moves the ranges it takes. The lead decides what
// becomes of the file, and only once every worker that joined has closed its copy and left.
// A failure or an interruption anywhere ends the handing out; the first failure is kept.
// Shared by the threads of a pool: every operation takes the object's lock.
class FileRanges {
public:
    struct Range {
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
    };

    // What a range is moved between. A push reads the local descriptor `source` into the remote
    // file (the temporary that the lead made); a pull reads the remote file into `target`.
    struct Ends {
        std::string remote;
        int source = -1;
        const ReplacementFile* target = nullptr;
        // The local file, as messages name it.
        std::string local;
    };
    // How the move of the file ended.
    enum class End { Moved, Failed, Refused, Stopped };

    // The file of the plan's item `index`: `size` bytes, moved by at most `parts` workers at once
    // (the lead among them).
    FileRanges(std::size_t index, Ends ends, std::uint64_t size, unsigned parts);

    // Whether another worker would help: ranges are left, there is room, and the lead still takes
    // helpers.
    [[nodiscard]] bool wantsHelp() const;
    // A worker takes part; false when the file no longer wants help. One that joined leaves.
    [[nodiscard]] bool join();
    void leave();

    // The next range, of up to `most` bytes (at least one); none once every byte is handed out,
    // or the move stopped.
    [[nodiscard]] std::optional<Range> take(std::uint64_t most);
    // Counts bytes moved; the total so far, for the progress display.
    std::uint64_t moved(std::uint64_t bytes);
    // Ends the handing out with a failure's text, or a refusal's (the first one is kept).
    void fail(std::string why);
    void refuse(std::string why);
    // Ends the handing out without one (an interruption).
    void stop();

    // The lead is done taking ranges: no one joins any more, and it waits until every worker that
    // joined has left (their copies of the file are closed then). How the move ended; why(),
    // when it failed or was refused.
    [[nodiscard]] End finish();
    const std::string& why() const { return why_; }

    std::size_t index() const { return index_; }
    bool pushing() const { return ends_.target == nullptr; }
    const Ends& ends() const { return ends_; }
    std::uint64_t size() const { return size_; }
    // The bytes the latest remote write carried, once fitted to the link: where a helper's own
    // writes begin, so that its first one takes no longer than the others'.
    std::size_t chunkHint() const;
    void setChunkHint(std::size_t bytes);

private:
    void end(End end, std::string why);

    const std::size_t index_;
    const Ends ends_;
    const std::uint64_t size_;
    const unsigned parts_;

    mutable std::mutex mutex_;
    std::condition_variable left_;
    std::uint64_t next_ = 0;      // the first byte not handed out
    std::uint64_t moved_ = 0;
    unsigned taking_part_ = 1;    // the lead and the workers that joined and did not leave
    bool closed_ = false;         // the lead takes no one more
    bool stopped_ = false;
    End end_ = End::Moved;
    std::string why_;
    std::size_t chunkHint_ = 0;
};

} // namespace keldo
