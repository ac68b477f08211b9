#pragma once

#include "tools/device/Progress.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace keldo {

class Console;

// What a push or pull tells the user: one progress bar for the whole job, the refusals and notes
// above it, a failure's one line, and the exit code at the end. Everything said about an item
// names it by its source. The job goes on past a refusal or a note; they make it complete in part
// (kExitPartial).
class TransferReport {
public:
    TransferReport(Console& console, bool pushing, bool progress, Progress::Clock clock);

    // The bar for the whole job, shown at once on a terminal.
    void start(std::uint64_t totalBytes, std::uint64_t totalFiles);
    // Bytes of the job done so far, also within a file as its bytes move.
    void update(std::uint64_t done);
    // A file is all there, `done` the job's bytes with it.
    void fileDone(std::uint64_t done);
    // A file left as it is, already the same (--update); or not reached, in a directory refused.
    void upToDate(std::uint64_t files, std::uint64_t bytes);
    void unreached(std::uint64_t bytes);
    // `name` is not moved (`files` and `bytes` leave the totals): "COMMAND NAME: WHY" above the bar.
    void refused(const std::string& name, std::uint64_t files, std::uint64_t bytes, const std::string& why);
    // Something done in part, e.g. a time that could not be set: said above the bar.
    void incomplete(const std::string& message);
    // The job stops on this failure: the bar stays as it was, the message below it.
    void failed(const std::string& name, const std::string& why);
    // Ends the job after a signal, with `report` unless the watchdog has already spoken.
    [[nodiscard]] int interrupted(const std::string& report);
    // The end after the last item: the summary, and the exit code.
    [[nodiscard]] int finish();

    const std::string& command() const { return command_; }
    // A progress bar is on the terminal's current line.
    bool barShown() const;

    // What the refusals say of what is in the way.
    static std::string exists(const std::string& path);
    static std::string directory(const std::string& path);
    static std::string notDirectory(const std::string& path);

private:
    Console& console_;
    std::string command_;
    bool progressShown_;
    Progress::Clock clock_;
    std::unique_ptr<Progress> progress_;
    // Something was left out or without its time: the job is complete in part.
    bool incomplete_ = false;
};

} // namespace keldo
