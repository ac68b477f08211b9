#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace keldo {

class AFCDirectoryAccess;

// How a push or pull goes (Transfer).
struct TransferOptions {
    // Replace a file or a link that stands where one goes (never a directory).
    bool force = false;
    // Leave a file alone that is there with the same size and modification time already.
    bool update = false;
    // Give files and directories their source's modification time.
    bool times = true;
    bool progress = true;
    // AFC connections that move files at once; 1 moves them one after another on the one given.
    unsigned connections = 1;
    // A file of at least twice this many bytes is moved over several of those connections at
    // once, in ranges (FileRanges): one connection for each `largeFile` bytes, at most
    // `largeFileConnections`. Over a link with a long round trip, one connection leaves the link
    // idle while each call waits for its reply.
    std::uint64_t largeFile = 8 * 1024 * 1024;
    unsigned largeFileConnections = 4;
    // How many connections a file of `size` bytes keeps busy at once: 1 unless it is large.
    unsigned connectionsFor(std::uint64_t size) const {
        const std::uint64_t shares = largeFile != 0 ? size / largeFile : 0;
        return shares < 2 ? 1u : static_cast<unsigned>(std::min<std::uint64_t>(shares, std::max(largeFileConnections, 1u)));
    }
    // Opens one more connection to the same file system; none when it can't (fewer are used).
    std::function<std::shared_ptr<AFCDirectoryAccess>()> connect;
    // The progress display's clock; tests give their own.
    std::function<double()> progressClock;
    // Tests: called with a file's or link's local path just before a pull puts it in place (a
    // file's bytes are all in then), or a push opens it to read.
    std::function<void(const std::string&)> atLocalStep;
};

} // namespace keldo
