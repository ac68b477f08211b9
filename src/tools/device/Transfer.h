#pragma once

#include "platform/FileDescriptor.h"
#include "platform/plist/PlistValue.h"
#include "tools/device/FileTime.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class Console;
class Progress;
class ReplacementFile;

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
// Ctrl-C stops either at its next chunk; Interrupt ends the process when that takes longer than
// its grace period, with the report kept up to date here.
class Transfer {
public:
    struct Options {
        // Replace a file or a link that stands where one goes (never a directory).
        bool force = false;
        // Leave a file alone that is there with the same size and modification time already.
        bool update = false;
        // Give files and directories their source's modification time.
        bool times = true;
        bool progress = true;
        // The progress display's clock; tests give their own.
        std::function<double()> progressClock;
        // Tests: called with a file's or link's local path just before a pull puts it in place (a
        // file's bytes are all in then), or a push opens it to read.
        std::function<void(const std::string&)> atLocalStep;
    };

    Transfer(Console& console, AFCDirectoryAccess& afc, Options options);

    [[nodiscard]] int push(const std::vector<std::string>& locals, const std::string& remote);
    // REMOTE may be a pattern (RemoteGlob); its matches are the sources.
    [[nodiscard]] int pull(const std::vector<std::string>& remotes, const std::string& local);

    // Bytes per remote read, and per remote write unless the link is too slow to move them in a
    // tenth of a second: fewer round trips than the library's upload makes.
    static constexpr std::size_t kChunk = 1024 * 1024;

private:
    using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;
    struct Item {
        enum class Kind { Directory, File, Link };
        Kind kind;
        std::string remote;
        std::string local;
        std::uint64_t size = 0;
        std::string linkTarget;
        std::optional<FileTime> time;
        // Named on the command line: a local link in its place is followed, as cp follows one.
        bool named = false;
        // A directory that is there already: the one the sources are copied into.
        bool known = false;
        // Another source goes to the same name before it: refused, as cp refuses it.
        bool duplicate = false;
        // A local file as the plan saw it (device, inode): what a push reads must be that file.
        FileIdentity seen{};
    };
    enum class Outcome { Done, UpToDate, Refused, Failed, Stopped };
    using Info = PlistValue::Dictionary;

    // Adds the local path and, for a directory, everything in it to the plan, parents first.
    [[nodiscard]] bool planLocal(const std::string& local, const std::string& remote, int depth,
                   std::vector<FileIdentity>& enclosing, std::vector<Item>& items);
    // Adds the remote path and, for a directory, everything in it to the plan, parents first.
    [[nodiscard]] bool plan(const std::string& remote, const std::string& local, int depth, std::vector<Item>& items);
    // Marks each file or link whose destination an item before it has (two sources of one name
    // into one directory): the first copy is never replaced by the second. Directories merge.
    void markDuplicates(std::vector<Item>& items) const;
    // Moves the planned items, then gives the directories their times.
    [[nodiscard]] int carryOut(const std::vector<Item>& items);

    [[nodiscard]] Outcome send(const Item& item, Progress& progress, std::uint64_t before);
    [[nodiscard]] Outcome upload(const Item& item, Progress& progress, std::uint64_t before);
    // Gives the finished temporary the item's name: without -f only where no name is, as the
    // device decides it.
    [[nodiscard]] Outcome place(const Item& item, const std::string& temporary, Progress& progress);
    [[nodiscard]] Outcome sendLink(const Item& item, Progress& progress);
    // After a failed upload: removes the temporary, or says in the returned text where it stays.
    std::string discard(const std::string& temporary, const std::string& text);

    [[nodiscard]] Outcome fetch(const Item& item, Progress& progress, std::uint64_t before);
    [[nodiscard]] Outcome fetchDirectory(const Item& item, Progress& progress);
    [[nodiscard]] Outcome download(const Item& item, ReplacementFile& output, Progress& progress,
                                   std::uint64_t before);
    [[nodiscard]] Outcome fetchLink(const Item& item, Progress& progress);
    // The open directory that a pulled item goes in, and its name there: for one named on the
    // command line the directory copied into, or else its parent opened by its path; for any other
    // the directory the pull made or merged into before it. -1 when there is none (errno set).
    int localParent(const Item& item, FileDescriptor& opened, std::string& name);
    // Closes the directories that `next` (none: every one) does not go in, each given its time.
    void leaveLocalDirectories(const Item* next, Progress& progress);

    // A remote path's information as the device gives it (times in nanoseconds); none when it
    // can't be had, `missing` telling whether the path is not there, lastError the failure.
    [[nodiscard]] std::optional<Info> remoteInfo(const std::string& path, bool& missing);
    bool isRemoteDirectory(const std::string& path, const Info& info);
    [[nodiscard]] bool setDirectoryTime(const Item& item, Progress& progress);

    Outcome refuse(const Item& item, Progress& progress, const std::string& why);
    Outcome failed(const Item& item, Progress& progress, const std::string& why);
    // Ends the transfer after a signal, with `report` unless the watchdog has already spoken.
    int interrupted(Progress& progress, const std::string& report);
    int failedRemote(const std::string& path);
    bool failedLocal(const std::string& path, const std::string& why);
    // The library's failure text in words.
    std::string afcFailure();
    // The failure's text, saying so when the device does not answer any more.
    std::string withDeviceState(const std::string& text);
    // A progress bar is on the terminal's current line.
    bool barShown() const;
    // What the item is called in messages: the source.
    const std::string& nameOf(const Item& item) const { return pushing_ ? item.local : item.remote; }

    Console& console_;
    AFCDirectoryAccess& afc_;
    Options options_;
    bool pushing_ = true;
    std::string command_ = "push";
    // Something was left out or without its time: the transfer is complete in part.
    bool incomplete_ = false;
    // The device refused a hard link once: it makes none (iOS 10 and later), and is not asked again.
    bool linksRefused_ = false;
    std::unique_ptr<std::uint8_t[]> buffer_;
    // The local directory that a pull copies into, when the target is one.
    FileDescriptor localTarget_;
    // The local directories of a pull that hold the item in hand, the outermost first.
    struct LocalDirectory {
        std::string path;
        FileDescriptor fd;
        const Item* item;
    };
    std::vector<LocalDirectory> localDirectories_;
};

} // namespace keldo
