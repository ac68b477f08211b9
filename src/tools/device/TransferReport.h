#pragma once

#include "tools/device/Progress.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class Console;

// What a push or pull tells the user: one progress bar for the whole job, the refusals and notes
// above it, the failures' lines, and the exit code at the end. Everything said about an item
// names it by its source. The job goes on past a refusal or a note; they make it complete in part
// (kExitPartial).
//
// Items are told by their place in the plan (path order), and may be told from several threads
// at once, in any order: what is said about an item goes out only once every item before it is
// complete, so the messages come out in path order whatever finishes first. A failure or an
// interruption stops the job; its lines come below the bar when the job ends.
class TransferReport {
public:
    TransferReport(Console& console, bool pushing, bool progress, Progress::Clock clock);

    // The bar for the whole job, shown at once on a terminal.
    void start(std::uint64_t totalBytes, std::uint64_t totalFiles);
    // Bytes of the file `index` moved so far, for the bar.
    void update(std::size_t index, std::uint64_t bytes);
    // The item is all there: `files` (1 for a file, else 0) and its `bytes` count as done.
    void moved(std::size_t index, std::uint64_t files, std::uint64_t bytes);
    // A file left as it is, already the same (--update); or not reached, in a directory refused.
    void upToDate(std::uint64_t files, std::uint64_t bytes);
    void unreached(std::uint64_t bytes);
    // `name` is not moved (`files` and `bytes` leave the totals): "COMMAND NAME: WHY" above the bar.
    void refused(std::size_t index, const std::string& name, std::uint64_t files, std::uint64_t bytes,
                 const std::string& why);
    // Something done in part, e.g. a time that could not be set: said above the bar.
    void incomplete(std::size_t index, const std::string& message);
    // The job stops on this failure; the line comes below the bar at the end.
    void failed(std::size_t index, const std::string& name, const std::string& why);
    // The job stops after a signal. What the item leaves (e.g. "/Books/big was not made"; empty
    // for nothing) is said at the end in one line with the others', unless the watchdog has spoken.
    void interrupted(std::size_t index, const std::string& left);
    // Nothing more is said about the item: what was, goes out once every item before it is complete.
    void complete(std::size_t index);
    // A failure or an interruption was told: nothing more is begun.
    bool stopped() const;

    // What ending the process now leaves of the item (e.g. "T may be left on the device"): part of
    // the watchdog's report until the item is complete.
    void inFlight(std::size_t index, const std::string& left);
    // Takes `step`, which makes what was in flight for the item untrue, with the watchdog's report
    // without it (Interrupt::stepThenReport).
    [[nodiscard]] bool stepThenReport(std::size_t index, const std::function<bool()>& step);

    // The end: everything held said, the failures' lines after the bar, and the exit code.
    [[nodiscard]] int finish();

    const std::string& command() const { return command_; }
    // A progress bar is on the terminal's current line.
    bool barShown() const;

    // What the refusals say of what is in the way.
    static std::string exists(const std::string& path);
    static std::string directory(const std::string& path);
    static std::string notDirectory(const std::string& path);

private:
    struct Held {
        std::vector<std::string> notes;
        std::vector<std::string> finals;
        std::vector<std::string> left;
        bool complete = false;
    };
    // Says, in order, what the items complete from the first one not said yet have to say.
    void release();
    void note(std::size_t index, std::string message);
    void showBytes();
    // The watchdog's report from what is in flight.
    std::string interruptLine() const;

    Console& console_;
    std::string command_;
    bool progressShown_;
    Progress::Clock clock_;
    mutable std::mutex mutex_;
    std::unique_ptr<Progress> progress_;
    std::size_t next_ = 0;  // the first item whose messages are held
    std::map<std::size_t, Held> held_;
    std::vector<std::string> finals_;  // failures, said at the end
    std::vector<std::string> left_;    // what interrupted items leave, said at the end
    std::map<std::size_t, std::uint64_t> moving_;  // bytes of the files on their way
    std::map<std::size_t, std::string> inFlight_;
    std::uint64_t doneBytes_ = 0;
    // Something was left out or without its time: the job is complete in part.
    bool incomplete_ = false;
    bool anyDone_ = false;
    bool failed_ = false;
    bool interrupted_ = false;
};

} // namespace keldo
