#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class Console;
class Progress;

// push and pull: whole files and trees between this computer and the device, with one overall
// progress display. Each walks its source first (nothing moves until all of it was looked at),
// then moves it item by item: directories made, symbolic links made again with their text (only
// one named on the command line is followed), files copied. A failure stops the transfer (what
// was copied stays) and is reported with the path that failed; a tree that was transferred in
// part exits with kExitPartial.
//
// Nothing stands under its real name before it is whole. An upload goes to a hidden temporary
// name beside its target and is renamed into place once the remote file is closed; a failed one
// is removed while the device answers, and otherwise the message names what is left. A download
// replaces a local file only once complete (the library sees to that). Local names come from
// remote paths taken apart lexically, so nothing is written outside the local target.
//
// Ctrl-C stops an upload at its next chunk and a download before its next file; Interrupt ends
// the process when that takes longer than its grace period, with the report kept up to date here.
class Transfer {
public:
    Transfer(Console& console, AFCDirectoryAccess& afc, bool showProgress);

    int push(const std::vector<std::string>& locals, const std::string& remoteDirectory);
    int pull(const std::string& remote, const std::string& local);

private:
    struct Item {
        enum class Kind { Directory, File, Link };
        Kind kind;
        std::string remote;
        std::string local;
        std::uint64_t size = 0;
        std::string linkTarget;
    };
    enum class Outcome { Done, Failed, Stopped };
    using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;

    // Adds the local path and, for a directory, everything in it to the plan, parents first.
    bool planLocal(const std::string& local, const std::string& remote, int depth,
                   std::vector<FileIdentity>& enclosing, std::vector<Item>& items);
    Outcome send(const Item& item, Progress& progress, std::uint64_t before);
    Outcome upload(const Item& item, Progress& progress, std::uint64_t before);
    // After a failed upload: removes the temporary, or says in the returned text where it stays.
    std::string discard(const std::string& temporary, const std::string& text);

    // Adds the remote path and, for a directory, everything in it to the plan, parents first.
    bool plan(const std::string& remote, const std::string& local, int depth, std::vector<Item>& items);
    // The failure's text, if any.
    std::optional<std::string> fetch(const Item& item, bool inTree);

    // Ends the transfer after a signal, with `report` unless the watchdog has already spoken.
    int interrupted(Progress& progress, const std::string& report);
    int failedRemote(const std::string& command, const std::string& path);
    bool failedLocal(const std::string& path, const std::string& why);
    // The failure's text, saying so when the device does not answer any more.
    std::string withDeviceState(const std::string& text);
    // A progress bar is on the terminal's current line.
    bool barShown() const;

    Console& console_;
    AFCDirectoryAccess& afc_;
    bool showProgress_;
};

} // namespace keldo
