#pragma once

#include "platform/FileDescriptor.h"
#include "tools/device/TransferOptions.h"
#include "tools/device/TransferPlanner.h"
#include "tools/device/TransferWorker.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class Console;
class TransferPool;
class TransferReport;

// push and pull: files and trees between this computer and the device, by cp's rules, with one
// overall progress display. The last operand is a directory to copy into when it is one;
// otherwise the one source is copied to that name. A source whose last component is "."
// stands for what is in it; a trailing "/" asks for a directory.
//
// Each walks its sources first (nothing moves until all of them were looked at), then moves them
// item by item: directories made or merged into, symbolic links made again with their text (only
// one named on the command line is followed), files copied in chunks with their modification
// times. What stands in the way is refused, named, and the rest goes on (kExitPartial at the
// end), unless `force` replaces it (a file or a link, never a directory) or `update` finds it the
// same already (size and time). A failure stops the transfer; what was copied stays.
//
// Nothing stands under its real name before it is whole. An upload goes to a hidden temporary
// name beside its target and takes its name once the remote file is closed: without -f as a
// second (hard) link, which the device makes only where no name is, so that a file that came
// meanwhile is refused in the same step (a device that makes no links is asked just before the
// rename instead); with -f by a rename that replaces in one step. A local file that changed while
// it was read (size or time) is refused. A failed or refused temporary is removed while the device
// answers, and otherwise the message names what is left. Two sources of one name into one
// directory: the second is refused, as cp refuses it.
// A download is written unnamed and linked into place once complete (ReplacementFile), without
// replacing what was saved at its name meanwhile unless -f. Every local file and directory of a
// pull is reached from its open parent directory, never by its path again: names come from remote
// paths taken apart lexically, and no local link inside a tree is followed, not even one planted
// while the pull runs, so nothing is written outside the local target.
//
// The planner decides what goes where before anything moves, a worker moves each item as one job,
// and the report keeps the one progress bar and the messages above it. The files and links go
// over a pool of AFC connections at once (options.connections, opened by options.connect), a
// worker each; what is said of them still comes in the plan's order. A push makes its directories
// first, on the connection it was given, so that each is there before anything goes into it. An item costs only the
// calls it needs: nothing is asked of the device that the transfer knows already (a name the plan
// found free, what goes into a directory the push made), and the device still decides at the
// last step, so a name taken meanwhile is refused all the same.
//
// Ctrl-C stops either at its next chunk; Interrupt ends the process when that takes longer than
// its grace period, with the report kept up to date here.
class Transfer {
public:
    using Options = TransferOptions;

    Transfer(Console& console, AFCDirectoryAccess& afc, Options options);
    ~Transfer();

    [[nodiscard]] int push(const std::vector<std::string>& locals, const std::string& remote);
    // REMOTE may be a pattern (RemoteGlob); its matches are the sources.
    [[nodiscard]] int pull(const std::vector<std::string>& remotes, const std::string& local);

    // Bytes per remote read, and per remote write unless the link is too slow to move them in a
    // tenth of a second: fewer round trips than the library's upload makes.
    static constexpr std::size_t kChunk = 1024 * 1024;

private:
    using Item = TransferPlanner::Item;

    // Moves the planned items, each a worker's job, over the connections of a pool, then gives
    // the directories their times.
    [[nodiscard]] int carryOut(const std::vector<Item>& items);
    // The connection given and as many more as `items` can use, opened on this thread when first
    // wanted (no more when one could not be).
    std::vector<AFCDirectoryAccess*> connectionsFor(std::size_t items);
    // What a directory's outcome means for the job: one refused takes what is planned in it along.
    void settle(std::size_t index, TransferWorker::Outcome outcome, std::vector<std::string>& refusedTrees);
    // A pull's directory: made or merged into, and kept open for what goes in it.
    [[nodiscard]] TransferWorker::Outcome fetchDirectory(std::size_t index, const Item& item);
    // The open directory that a pulled item goes in, and its name there: for one named on the
    // command line the directory copied into, or else its parent opened by its path; for any other
    // the directory the pull made or merged into before it. -1 when there is none (errno set).
    int localParent(const Item& item, FileDescriptor& opened, std::string& name);
    // Leaves the directories that `next` (none: every one) does not go in.
    void leaveLocalDirectories(const Item* next);
    // Gives the directories left their times once what goes in them is there, and closes them.
    void settleLocalDirectories();

    Console& console_;
    AFCDirectoryAccess& afc_;
    Options options_;
    bool pushing_ = true;
    TransferPlanner planner_;
    std::unique_ptr<TransferReport> report_;
    // The further connections of the pool, closed with the transfer.
    std::vector<std::shared_ptr<AFCDirectoryAccess>> connections_;
    bool connectFailed_ = false;
    std::unique_ptr<TransferPool> pool_;
    // The local directories of a pull that hold the item in hand, the outermost first.
    struct LocalDirectory {
        std::string path;
        FileDescriptor fd;
        std::size_t index;
    };
    std::vector<LocalDirectory> localDirectories_;
    // Those left, for their times.
    std::vector<LocalDirectory> leaving_;
    static constexpr std::size_t kLeavingDirectories = 64;
};

} // namespace keldo
