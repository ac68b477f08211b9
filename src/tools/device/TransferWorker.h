#pragma once

#include "tools/device/TransferOptions.h"
#include "tools/device/TransferPlanner.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace keldo {

class AFCDirectoryAccess;
class AFCFileReference;
class FileRanges;
class ReplacementFile;
class TransferReport;

// The calls that move one item of a plan on one AFC connection: one job a file (or link, or
// remote directory), told to the report. A worker is used by one thread at a time, with its own
// connection and buffer; several move the items of one job at once (TransferPool). A job's item is refused, with its reason above the bar,
// when something stands in its way; it fails, and the job with it, when the device or the local
// side can't do what it needs. Nothing stands under its real name before it is whole (see
// Transfer), and a failed or refused temporary is removed while the device answers.
class TransferWorker {
public:
    using Item = TransferPlanner::Item;
    // Made: a remote directory that was not there, so nothing is in it yet.
    enum class Outcome { Done, Made, UpToDate, Refused, Failed, Stopped };
    struct Job {
        const Item& item;
        // The item's place in the plan, by which the report knows it.
        std::size_t index = 0;
        // A push: nothing stands at the item's remote name, as far as the transfer knows, so its
        // information is not asked for.
        bool absent = false;
        // A pull: the open local directory the item goes in, and its name there; with none (-1),
        // the errno that says why.
        int parent = -1;
        std::string name;
        int parentError = 0;
    };

    TransferWorker(AFCDirectoryAccess& afc, TransferReport& report, const TransferOptions& options);

    // False when there is no memory for the buffer (said already).
    [[nodiscard]] bool ready();
    // Puts the job's item on the device.
    [[nodiscard]] Outcome send(const Job& job);
    // Puts the job's file or link on this computer.
    [[nodiscard]] Outcome fetch(const Job& job);
    // Gives a directory that a push made or merged into its source's time; false when it could not.
    [[nodiscard]] bool setDirectoryTime(std::size_t index, const Item& item);

    // Hands a large file's ranges to `offer`, for idle workers of `connections` to help with
    // (FileRanges); without it every file is moved by its worker alone.
    using Offer = std::function<void(const std::shared_ptr<FileRanges>&)>;
    void shareWith(Offer offer, std::size_t connections);
    // Moves ranges of a file that another worker leads, on this worker's connection, until none
    // is left; the file is closed here again when it returns.
    void help(FileRanges& ranges);

private:
    [[nodiscard]] Outcome sendDirectory(const Job& job);
    [[nodiscard]] Outcome upload(const Job& job);
    // Gives the finished temporary the item's name: without -f only where no name is, as the
    // device decides it.
    [[nodiscard]] Outcome place(const Item& item, const std::string& temporary);
    [[nodiscard]] Outcome sendLink(const Job& job);
    // After a failed upload: removes the temporary, or says in the returned text where it stays.
    std::string discard(const std::string& temporary, const std::string& text);

    [[nodiscard]] Outcome download(const Job& job, ReplacementFile& output);
    [[nodiscard]] Outcome fetchLink(const Job& job);

    using Clock = std::chrono::steady_clock;
    // How many workers a file of `size` bytes is moved by: 1 unless it is shared.
    unsigned partsFor(std::uint64_t size) const;
    // Moves the ranges this worker takes between `remote`, open on its connection, and the local
    // side, until none is left or the move stopped (said in `ranges`). A push's writes start at
    // `chunk` bytes and follow the link's pace.
    void moveRanges(FileRanges& ranges, AFCFileReference& remote, Clock::duration roundTrip, std::size_t chunk);
    // One range each way, from the remote file's `position`, which they move on; false when the
    // move stopped.
    [[nodiscard]] bool sendRange(FileRanges& ranges, std::uint64_t end, AFCFileReference& remote,
                                 Clock::duration roundTrip, std::size_t& chunk, std::uint64_t& position);
    [[nodiscard]] bool fetchRange(FileRanges& ranges, std::uint64_t end, AFCFileReference& remote,
                                  std::uint64_t& position);

    Outcome refuse(const Item& item, const std::string& why);
    Outcome failed(const Item& item, const std::string& why);
    // The library's failure text in words.
    std::string afcFailure();
    // The failure's text, saying so when the device does not answer any more.
    std::string withDeviceState(const std::string& text);
    // What the item is called in messages: the source.
    const std::string& nameOf(const Item& item) const;

    AFCDirectoryAccess& afc_;
    TransferReport& report_;
    const TransferOptions& options_;
    // The device refused a hard link once: it makes none (iOS 10 and later), and is not asked again.
    bool linksRefused_ = false;
    // The item in hand's place in the plan.
    std::size_t index_ = 0;
    Offer offer_;
    std::size_t connections_ = 1;
    // Offers the file in hand for help once its first remote write is done (a push).
    std::function<void()> offerAfterWrite_;
    std::unique_ptr<std::uint8_t[]> buffer_;
};

} // namespace keldo
