#include "tools/device/Transfer.h"

#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "platform/PathNames.h"
#include "platform/ReplacementFile.h"
#include "platform/TemporaryFiles.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/FileCommands.h"
#include "tools/device/Interrupt.h"
#include "tools/device/Progress.h"
#include "tools/device/RemoteGlob.h"
#include "tools/device/StatusText.h"

#include <fmt/format.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <set>

namespace keldo {

namespace {

// The device's status for a path that is not there.
constexpr std::int32_t kAfcNotFound = 8;
// The device's status for a name that is taken.
constexpr std::uint32_t kAfcExists = 16;
// How long the bytes of one remote write of an upload should take to cross the link at most.
// Ctrl-C waits for the write in flight, and then the file is closed and removed: all of that
// fits in the grace period only when a write is short, whatever the link's speed.
constexpr std::chrono::milliseconds kWriteTime{Interrupt::kGraceMilliseconds / 5};
constexpr std::size_t kSmallestChunk = 16 * 1024;

// The bytes for the next remote write after one of `chunk` bytes that took `took` besides the
// round trip that any call takes: as many as the link moves in kWriteTime, up to `largest`.
std::size_t nextChunk(std::size_t chunk, std::chrono::steady_clock::duration took, std::size_t largest) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
    if (nanoseconds <= 0) return largest;
    const double fitting = static_cast<double>(chunk) *
                           static_cast<double>(std::chrono::nanoseconds(kWriteTime).count()) /
                           static_cast<double>(nanoseconds);
    return static_cast<std::size_t>(std::clamp(fitting, static_cast<double>(kSmallestChunk),
                                               static_cast<double>(largest)));
}

std::string textOr(const std::optional<std::string>& text, const char* fallback) { return text ? *text : fallback; }

std::string lastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "DIR/." (and ".") stands for what is in DIR, as cp has it.
bool namesItsContents(const std::string& path) { return lastComponent(path) == "."; }

// A trailing "/" (or "/.") asks for a directory.
bool asksForDirectory(const std::string& path) {
    return (!path.empty() && path.back() == '/') || namesItsContents(path);
}

// Whether `path` lies inside the directory `directory` (not the directory itself).
bool isUnder(const std::string& path, const std::string& directory) {
    if (directory == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

// The name a local path named on the command line takes on the device: its last component, or
// for ".." (and paths ending in it) the name of the directory it leads to. None for the root,
// which has no name.
std::optional<std::string> localName(const std::string& path) {
    std::string name = lastComponent(path);
    if (name == "." || name == ".." || name == "/" || name.empty()) {
        std::unique_ptr<char, void (*)(void*)> resolved(::realpath(path.c_str(), nullptr), std::free);
        if (!resolved) return std::nullopt;
        name = lastComponent(resolved.get());
    }
    if (!FileCommands::isSafeName(name)) return std::nullopt;
    return name;
}

// The names in a local directory, sorted, without "." and ".."; none when it can't be read
// (errno tells why).
std::optional<std::vector<std::string>> localNames(const std::string& path) {
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), ::closedir);
    if (!directory) return std::nullopt;
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    if (errno != 0) return std::nullopt;
    std::sort(names.begin(), names.end());
    return names;
}

// A local path without the slashes at its end; the root stays "/".
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::optional<std::string> linkTextAt(int directory, const std::string& name) {
    char text[PATH_MAX];
    const ssize_t length = ::readlinkat(directory, name.c_str(), text, sizeof text);
    if (length < 0) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::string> linkText(const std::string& path) {
    char text[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), text, sizeof text);
    if (length < 0) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

std::string typeOf(const PlistValue::Dictionary& info) {
    auto it = info.find("st_ifmt");
    return it != info.end() && it->second.text() ? *it->second.text() : "";
}

std::uint64_t sizeOf(const PlistValue::Dictionary& info) {
    auto it = info.find("st_size");
    const auto size = it != info.end() ? it->second.signedInteger() : std::nullopt;
    return size && *size > 0 ? static_cast<std::uint64_t>(*size) : 0;
}

const PlistValue* entryOf(const PlistValue::Dictionary& info, const char* key) {
    auto it = info.find(key);
    return it != info.end() ? &it->second : nullptr;
}

// Whether the library's last failure is the device's `status`.
bool lastFailureIs(AFCDirectoryAccess& afc, std::uint32_t status) {
    const auto failure = StatusText::parse(afc.lastError().value_or(""));
    return failure && failure->status == status;
}

// What the refusals say of what is in the way.
std::string existsText(const std::string& path) { return fmt::format("{} exists; not replaced without -f", path); }
std::string directoryText(const std::string& path) { return fmt::format("{} is a directory; not replaced", path); }
std::string notDirectoryText(const std::string& path) {
    return fmt::format("{} exists and is not a directory; not replaced", path);
}

class LocalFile {
public:
    // Opens without waiting for the other end of a pipe (one named on the command line is read
    // until its writer is done), then reads block as usual.
    // A link at the path itself is followed only when `followLink`.
    LocalFile(const std::string& path, bool followLink)
        : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW))) {
        if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    }
    ~LocalFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    explicit operator bool() const { return fd_ >= 0; }

    // Size and modification time of what is open, for a regular file; none for anything else (a
    // pipe has neither to compare).
    using State = std::array<std::int64_t, 3>;
    // The device and inode of what is open.
    std::pair<std::uint64_t, std::uint64_t> identity() const {
        struct stat info {};
        if (::fstat(fd_, &info) != 0) return {};
        return {info.st_dev, info.st_ino};
    }
    std::optional<State> state() const {
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        return State{info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
    }

    // Up to `size` bytes, fewer only at the end of the file; -1 on a failure (errno tells it).
    ssize_t read(std::uint8_t* buffer, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::read(fd_, buffer + got, size - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return -1;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        return static_cast<ssize_t>(got);
    }

private:
    int fd_;
};

} // namespace

Transfer::Transfer(Console& console, AFCDirectoryAccess& afc, Options options)
    : console_(console), afc_(afc), options_(options) {}

std::string Transfer::afcFailure() { return FileCommands::explain(textOr(afc_.lastError(), "failed")); }

int Transfer::failedRemote(const std::string& path) {
    console_.error(fmt::format("{} {}: {}", command_, path, afcFailure()));
    return kExitDeviceError;
}

bool Transfer::failedLocal(const std::string& path, const std::string& why) {
    console_.error(fmt::format("push {}: {}", path, why));
    return false;
}

std::string Transfer::withDeviceState(const std::string& text) {
    // A status alone doesn't say that the device went away (detached, locked up): ask it.
    if (afc_.deviceInfo()) return text;
    return text + " (the device no longer answers)";
}

bool Transfer::barShown() const { return options_.progress && console_.progressIsTerminal(); }

Transfer::Outcome Transfer::refuse(const Item& item, Progress& progress, const std::string& why) {
    // Out of the totals before the bar comes back below the message.
    const bool file = item.kind == Item::Kind::File;
    progress.leaveOut(Progress::Left::Refused, file ? 1 : 0, file ? item.size : 0);
    progress.note(fmt::format("{} {}: {}", command_, nameOf(item), why));
    return Outcome::Refused;
}

Transfer::Outcome Transfer::failed(const Item& item, Progress& progress, const std::string& why) {
    progress.finish(false);
    console_.error(fmt::format("{} {}: {}", command_, nameOf(item), why));
    return Outcome::Failed;
}

int Transfer::interrupted(Progress& progress, const std::string& report) {
    progress.finish(false);
    if (Interrupt::finishing(kExitInterrupted)) console_.error(report);
    return kExitInterrupted;
}

std::optional<Transfer::Info> Transfer::remoteInfo(const std::string& path, bool& missing) {
    missing = false;
    if (!afc_.ensureConnectionIsOpen()) return std::nullopt;
    afc_dictionary opened = nullptr;
    const std::int32_t status = AFCFileInfoOpen(afc_.afc(), path.c_str(), &opened);
    if (!afc_.checkStatusFrom(status, "AFCFileInfoOpen")) {
        missing = status == kAfcNotFound;
        return std::nullopt;
    }
    Info info = AFCDirectoryAccess::readAfcDictionary(opened);
    (void)AFCKeyValueClose(opened);
    return info;
}

bool Transfer::isRemoteDirectory(const std::string& path, const Info& info) {
    // A link counts as the directory it leads to.
    const std::string type = typeOf(info);
    return type == "S_IFDIR" || (type == "S_IFLNK" && afc_.directoryContents(path));
}

int Transfer::push(const std::vector<std::string>& locals, const std::string& remoteArgument) {
    pushing_ = true;
    command_ = "push";
    const std::string remote = PathNames::normalise(remoteArgument);
    // Everything is checked before the first byte moves.
    bool missing = false;
    const auto info = remoteInfo(remote, missing);
    if (!info && !missing) return failedRemote(remote);
    const bool intoDirectory = info && isRemoteDirectory(remote, *info);
    if (!intoDirectory && locals.size() > 1) {
        console_.error(missing ? fmt::format("push: {}: no such directory on the device", remote)
                               : fmt::format("push: {} is not a directory on the device", remote));
        return kExitDeviceError;
    }
    std::vector<Item> items;
    for (const auto& local : locals) {
        // Into the directory under the local name ("DIR/." as what is in it), or to the name given.
        std::string target = remote;
        if (intoDirectory && !namesItsContents(local)) {
            const auto name = localName(local);
            if (!name) {
                console_.error(fmt::format("push {}: has no name to give it on the device", local));
                return kExitUsage;
            }
            target = FileCommands::join(remote, *name);
        }
        std::vector<FileIdentity> enclosing;
        const std::size_t first = items.size();
        if (!planLocal(local, target, 0, enclosing, items)) return kExitDeviceError;
        items[first].known = intoDirectory && target == remote;
        if (!intoDirectory && asksForDirectory(remoteArgument) &&
            (info || items[first].kind != Item::Kind::Directory)) {
            console_.error(info ? fmt::format("push {}: {} is not a directory on the device", local, remote)
                                : fmt::format("push {}: {}: no such directory on the device", local, remote));
            return kExitDeviceError;
        }
    }
    markDuplicates(items);
    return carryOut(items);
}

bool Transfer::planLocal(const std::string& local, const std::string& remote, int depth,
                         std::vector<FileIdentity>& enclosing, std::vector<Item>& items) {
    struct stat info {};
    if (::lstat(local.c_str(), &info) != 0) return failedLocal(local, std::strerror(errno));
    if (S_ISLNK(info.st_mode)) {
        // Inside a tree a link is made again as it is, whatever it leads to (a directory around
        // it, one elsewhere, nothing), as cp -R and rsync -a do; one named on the command line is
        // followed, as pull follows one, unless it leads nowhere.
        struct stat target {};
        if (depth > 0 || ::stat(local.c_str(), &target) != 0) {
            const auto text = linkText(local);
            if (!text) return failedLocal(local, std::strerror(errno));
            items.push_back({Item::Kind::Link, remote, local, 0, *text, std::nullopt, depth == 0});
            return true;
        }
        info = target;
    }
    const FileTime time = FileTime::of(info.st_mtim);
    if (S_ISDIR(info.st_mode)) {
        // Links are not followed, so only a directory mounted inside itself could loop.
        const FileIdentity identity{info.st_dev, info.st_ino};
        if (std::find(enclosing.begin(), enclosing.end(), identity) != enclosing.end())
            return failedLocal(local, "the directory is inside itself (a mount?)");
        if (depth >= AFCDirectoryAccess::kMaxTreeDepth) return failedLocal(local, "the tree is too deep");
        const auto names = localNames(local);
        if (!names) return failedLocal(local, std::strerror(errno));
        items.push_back({Item::Kind::Directory, remote, local, 0, "", time, depth == 0});
        enclosing.push_back(identity);
        for (const auto& name : *names) {
            if (!planLocal(FileCommands::join(local, name), FileCommands::join(remote, name), depth + 1, enclosing,
                           items))
                return false;
        }
        enclosing.pop_back();
        return true;
    }
    // A pipe or a device named on the command line is read until its end; inside a tree only
    // regular files are (a device file may never end).
    if (!S_ISREG(info.st_mode) && depth > 0)
        return failedLocal(local, "not a regular file, a directory or a symbolic link");
    const std::uint64_t size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    items.push_back({Item::Kind::File, remote, local, size, "", time, depth == 0});
    items.back().seen = {info.st_dev, info.st_ino};
    return true;
}

void Transfer::markDuplicates(std::vector<Item>& items) const {
    std::set<std::string> destinations;
    for (auto& item : items) {
        const bool first = destinations.insert(pushing_ ? item.remote : item.local).second;
        item.duplicate = !first && item.kind != Item::Kind::Directory;
    }
}

int Transfer::carryOut(const std::vector<Item>& items) {
    std::uint64_t total = 0;
    std::uint64_t files = 0;
    for (const auto& item : items) {
        if (item.kind != Item::Kind::File) continue;
        total += item.size;
        ++files;
    }
    buffer_.reset(new (std::nothrow) std::uint8_t[kChunk]);
    if (!buffer_) {
        console_.error(fmt::format("{}: not enough memory for the transfer", command_));
        return kExitDeviceError;
    }
    Progress progress(console_, command_, total, files, options_.progress, options_.progressClock);
    std::uint64_t done = 0;
    bool anyDone = false;
    std::vector<const Item*> directories;
    std::optional<std::string> refusedTree;  // a directory refused, with everything planned in it
    for (const auto& item : items) {
        const std::string& destination = pushing_ ? item.remote : item.local;
        if (refusedTree && isUnder(destination, *refusedTree)) {
            if (item.kind == Item::Kind::File) progress.leaveOut(Progress::Left::Unreached, 1, item.size);
            continue;
        }
        // A download replaces a local file only once it is complete: ended before that, the
        // process leaves it as it was.
        const std::string report = pushing_ || item.kind != Item::Kind::File
                                       ? fmt::format("{}: interrupted", command_)
                                       : fmt::format("pull: interrupted; {} is left as it was", item.local);
        Interrupt::setReport(report, barShown());
        if (Interrupt::requested()) return interrupted(progress, report);
        const Outcome outcome =
            item.duplicate ? refuse(item, progress, fmt::format("will not overwrite just-created {}", destination))
            : pushing_     ? send(item, progress, done)
                           : fetch(item, progress, done);
        switch (outcome) {
        case Outcome::Done:
            anyDone = true;
            if (pushing_ && item.kind == Item::Kind::Directory) directories.push_back(&item);
            if (item.kind != Item::Kind::File) break;
            done += item.size;
            progress.fileDone();
            progress.update(done);
            break;
        case Outcome::UpToDate:
            progress.leaveOut(Progress::Left::UpToDate, item.kind == Item::Kind::File ? 1 : 0, item.size);
            break;
        case Outcome::Refused:
            incomplete_ = true;
            if (item.kind == Item::Kind::Directory) refusedTree = destination;
            break;
        case Outcome::Failed:
            return anyDone ? kExitPartial : kExitDeviceError;
        case Outcome::Stopped:
            return kExitInterrupted;
        }
    }
    // Directories last, the deepest first: what was made in them changed their times.
    if (!pushing_) leaveLocalDirectories(nullptr, progress);
    if (options_.times) {
        for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
            if (!setDirectoryTime(**it, progress)) incomplete_ = true;
        }
    }
    progress.finish(true);
    return incomplete_ ? kExitPartial : kExitSuccess;
}

bool Transfer::setDirectoryTime(const Item& item, Progress& progress) {
    if (!item.time) return true;
    if (afc_.setmodtimeTo(item.remote, item.time->toDate())) return true;
    progress.note(fmt::format("push {}: can't set the modification time of {}: {}", item.local, item.remote,
                              afcFailure()));
    return false;
}

Transfer::Outcome Transfer::send(const Item& item, Progress& progress, std::uint64_t before) {
    if (item.kind == Item::Kind::File) return upload(item, progress, before);
    if (item.kind == Item::Kind::Link) return sendLink(item, progress);
    if (item.known) return Outcome::Done;
    bool missing = false;
    if (const auto existing = remoteInfo(item.remote, missing)) {
        // An existing directory is merged into; a link in its place is not followed.
        if (typeOf(*existing) == "S_IFDIR") return Outcome::Done;
        return refuse(item, progress, notDirectoryText(item.remote));
    }
    if (missing && afc_.mkdir(item.remote)) return Outcome::Done;
    return failed(item, progress,
                  fmt::format("can't make the directory {}: {}", item.remote, withDeviceState(afcFailure())));
}

Transfer::Outcome Transfer::sendLink(const Item& item, Progress& progress) {
    bool missing = false;
    const auto existing = remoteInfo(item.remote, missing);
    if (!existing && !missing) return failed(item, progress, withDeviceState(afcFailure()));
    if (!existing) {
        if (afc_.symlinkTo(item.remote, item.linkTarget)) return Outcome::Done;
        // The device makes a link only where no name is: what came since the look is refused.
        if (lastFailureIs(afc_, kAfcExists)) return refuse(item, progress, existsText(item.remote));
        return failed(item, progress, withDeviceState(afcFailure()));
    }
    const std::string type = typeOf(*existing);
    if (type == "S_IFDIR") return refuse(item, progress, directoryText(item.remote));
    const PlistValue* text = entryOf(*existing, "LinkTarget");
    if (options_.update && type == "S_IFLNK" && text && text->text() && *text->text() == item.linkTarget)
        return Outcome::UpToDate;
    if (!options_.force) return refuse(item, progress, existsText(item.remote));
    // Made beside it and renamed over it, so that the name is never without a link.
    const std::string temporary = PathNames::temporaryBeside(item.remote);
    if (!afc_.symlinkTo(temporary, item.linkTarget)) return failed(item, progress, withDeviceState(afcFailure()));
    if (afc_.renameTo(temporary, item.remote)) return Outcome::Done;
    return failed(item, progress, discard(temporary, afcFailure()));
}

Transfer::Outcome Transfer::upload(const Item& item, Progress& progress, std::uint64_t before) {
    bool missing = false;
    const auto existing = remoteInfo(item.remote, missing);
    if (!existing && !missing) return failed(item, progress, withDeviceState(afcFailure()));
    if (existing) {
        const std::string type = typeOf(*existing);
        if (type == "S_IFDIR") return refuse(item, progress, directoryText(item.remote));
        const auto time = FileTime::fromDevice(entryOf(*existing, "st_mtime"));
        if (options_.update && type == "S_IFREG" && sizeOf(*existing) == item.size && item.time && time &&
            item.time->matches(*time))
            return Outcome::UpToDate;
        if (!options_.force) return refuse(item, progress, existsText(item.remote));
    }
    // The path is looked up again here, a while after the plan looked at it: whatever stands there
    // now (a link planted inside the tree, another file moved in, anywhere along the path) is
    // refused unless it is the very file the plan saw, so nothing else is ever read and sent.
    if (options_.atLocalStep) options_.atLocalStep(item.local);
    LocalFile source(item.local, item.named);
    if (!source && errno == ELOOP && !item.named)
        return refuse(item, progress, "it became a symbolic link since it was looked at; not sent");
    if (!source) return failed(item, progress, fmt::format("can't open it: {}", StatusText::ofErrno(errno)));
    if (source.identity() != item.seen)
        return refuse(item, progress, "another file stands at its path since it was looked at; not sent");
    // Compared again once read, as tar and rsync do: a file written meanwhile would arrive torn.
    const auto opened = source.state();

    const std::string temporary = PathNames::temporaryBeside(item.remote);
    // The open is one round trip: what a write takes beyond it is the bytes crossing the link.
    const auto opening = std::chrono::steady_clock::now();
    std::shared_ptr<AFCFileReference> target = afc_.openForWrite(temporary);
    const auto roundTrip = std::chrono::steady_clock::now() - opening;
    if (!target) return failed(item, progress, withDeviceState(afcFailure()));
    Interrupt::setReport(fmt::format("push: interrupted; {} may be left on the device", temporary), barShown());
    // Every way out but success removes the temporary (or says that it stays).
    auto abandon = [&](const std::string& text) {
        target.reset();
        return failed(item, progress, discard(temporary, text));
    };

    std::uint64_t done = 0;
    std::size_t chunk = kChunk;
    for (;;) {
        if (Interrupt::requested()) {
            target.reset();
            (void)interrupted(progress, afc_.unlink(temporary)
                                            ? fmt::format("push: interrupted; {} was not made", item.remote)
                                            : fmt::format("push: interrupted; {} is left incomplete on the device",
                                                          temporary));
            return Outcome::Stopped;
        }
        const ssize_t got = source.read(buffer_.get(), chunk);
        if (got < 0) return abandon(fmt::format("can't read it: {}", StatusText::ofErrno(errno)));
        if (got == 0) break;
        const auto started = std::chrono::steady_clock::now();
        if (!target->writeNSData({buffer_.get(), static_cast<std::size_t>(got)}))
            return abandon(FileCommands::explain(textOr(target->lasterror(), "AFCFileRefWrite failed")));
        chunk = nextChunk(static_cast<std::size_t>(got), std::chrono::steady_clock::now() - started - roundTrip,
                          kChunk);
        done += static_cast<std::uint64_t>(got);
        progress.update(before + done);
    }
    // Some devices report a failed write only when the file is closed.
    if (!target->closeFile())
        return abandon(FileCommands::explain(textOr(target->lasterror(), "AFCFileRefClose failed")));
    if (opened && source.state() != opened) {
        target.reset();
        return refuse(item, progress,
                      discard(temporary, fmt::format("changed as we read it; not sent to {}", item.remote)));
    }
    // The time goes with the file: set before it takes its name, it is never seen without it.
    if (options_.times && item.time && !afc_.setmodtimeTo(temporary, item.time->toDate())) {
        incomplete_ = true;
        progress.note(fmt::format("push {}: can't set the modification time of {}: {}", item.local, item.remote,
                                  afcFailure()));
    }
    return place(item, temporary, progress);
}

Transfer::Outcome Transfer::place(const Item& item, const std::string& temporary, Progress& progress) {
    if (options_.force) {
        if (afc_.renameTo(temporary, item.remote)) return Outcome::Done;
        return failed(item, progress, discard(temporary, afcFailure()));
    }
    // The device's rename replaces what is there, so the name is taken by a second (hard) link
    // instead, which the device refuses to make where a name exists: a file that came after the
    // check before the upload is refused in that same step, never replaced.
    if (!linksRefused_) {
        if (afc_.linkTo(item.remote, temporary)) {
            if (afc_.unlink(temporary)) return Outcome::Done;
            // The file is whole under its name; only the second name stays.
            incomplete_ = true;
            progress.note(fmt::format("push {}: sent, but {} is left on the device beside it: {}", item.local,
                                      temporary, afcFailure()));
            return Outcome::Done;
        }
        if (lastFailureIs(afc_, kAfcExists))
            return refuse(item, progress, discard(temporary, existsText(item.remote)));
        linksRefused_ = true;
    }
    // Devices since iOS 10 make no links: the name is looked at just before the rename, which
    // leaves only the moment between the two calls for a file to come and be replaced.
    bool missing = false;
    if (remoteInfo(item.remote, missing)) return refuse(item, progress, discard(temporary, existsText(item.remote)));
    if (!missing) return failed(item, progress, discard(temporary, withDeviceState(afcFailure())));
    if (!afc_.renameTo(temporary, item.remote)) return failed(item, progress, discard(temporary, afcFailure()));
    return Outcome::Done;
}

std::string Transfer::discard(const std::string& temporary, const std::string& text) {
    if (afc_.unlink(temporary)) return text;
    const std::string why = textOr(afc_.lastError(), "failed");
    if (!afc_.deviceInfo())
        return fmt::format("{} (the device no longer answers; {} is left on it)", text, temporary);
    return fmt::format("{} ({} is left on the device: {})", text, temporary, FileCommands::explain(why));
}

int Transfer::pull(const std::vector<std::string>& patterns, const std::string& local) {
    pushing_ = false;
    command_ = "pull";
    // Patterns are matched against the device's names first; one that matches nothing stops the
    // pull before anything moves, as bash's failglob stops a command.
    std::vector<std::string> remoteArguments;
    RemoteGlob glob(afc_);
    bool unmatched = false;
    for (const auto& pattern : patterns) {
        auto expansion = glob.expand(pattern);
        if (expansion.paths.empty()) {
            console_.error(expansion.failure ? fmt::format("pull {}: no match (can't list all of it: {})", pattern,
                                                           FileCommands::explain(*expansion.failure))
                                             : fmt::format("pull {}: no match", pattern));
            unmatched = true;
        }
        std::move(expansion.paths.begin(), expansion.paths.end(), std::back_inserter(remoteArguments));
    }
    if (unmatched) return kExitDeviceError;
    // The directory to copy into is opened once, as it is named (a link to one included), and
    // everything goes in through that descriptor.
    localTarget_ = FileDescriptor(::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!localTarget_ && errno == EACCES)
        localTarget_ = FileDescriptor(::open(local.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const bool intoDirectory = static_cast<bool>(localTarget_);
    const bool exists = intoDirectory || errno != ENOENT;
    if (!intoDirectory && remoteArguments.size() > 1) {
        console_.error(exists ? fmt::format("pull: {} is not a directory", local)
                              : fmt::format("pull: {}: no such directory", local));
        return kExitDeviceError;
    }
    std::vector<Item> items;
    for (const auto& argument : remoteArguments) {
        const auto parts = PathNames::components(argument);
        const std::string remote = PathNames::normalise(argument);
        // Into an existing directory under the remote name; the root has none, so its contents go
        // into the directory itself, as those of "DIR/." do.
        const bool contents = parts.empty() || namesItsContents(argument);
        const std::string target = intoDirectory && !contents ? FileCommands::join(local, parts.back()) : local;
        const std::size_t first = items.size();
        if (!plan(remote, target, 0, items)) return kExitDeviceError;
        items[first].known = intoDirectory && target == local;
        const bool directory = items[first].kind == Item::Kind::Directory;
        if (asksForDirectory(argument) && !directory) {
            console_.error(fmt::format("pull {}: not a directory", argument));
            return kExitDeviceError;
        }
        if (!intoDirectory && !directory && !local.empty() && local.back() == '/') {
            console_.error(fmt::format("pull {}: {}: no such directory", remote, local));
            return kExitDeviceError;
        }
    }
    markDuplicates(items);
    return carryOut(items);
}

bool Transfer::plan(const std::string& remote, const std::string& local, int depth, std::vector<Item>& items) {
    bool missing = false;
    const auto info = remoteInfo(remote, missing);
    if (!info) {
        failedRemote(remote);
        return false;
    }
    const std::string type = typeOf(*info);
    // A link named on the command line is followed: the time of what it leads to is not known.
    const auto time = type == "S_IFLNK" ? std::nullopt : FileTime::fromDevice(entryOf(*info, "st_mtime"));
    if (type == "S_IFLNK" && depth > 0) {
        const PlistValue* target = entryOf(*info, "LinkTarget");
        items.push_back({Item::Kind::Link, remote, local, 0, target && target->text() ? *target->text() : "",
                         FileTime::fromDevice(entryOf(*info, "st_mtime"))});
        return true;
    }
    if (!isRemoteDirectory(remote, *info)) {
        items.push_back({Item::Kind::File, remote, local, sizeOf(*info), "", time, depth == 0});
        return true;
    }
    if (depth >= AFCDirectoryAccess::kMaxTreeDepth) {
        console_.error(fmt::format("pull {}: the tree is too deep", remote));
        return false;
    }
    auto names = afc_.directoryContents(remote);
    if (!names) {
        failedRemote(remote);
        return false;
    }
    items.push_back({Item::Kind::Directory, remote, local, 0, "", time, depth == 0});
    std::sort(names->begin(), names->end());
    for (const auto& name : *names) {
        // A name is joined to a local path: one that could climb out of it is refused.
        if (!FileCommands::isSafeName(name)) {
            console_.error(fmt::format("pull {}: the device gave an unsafe name \"{}\"", remote, name));
            return false;
        }
        if (!plan(FileCommands::join(remote, name), FileCommands::join(local, name), depth + 1, items)) return false;
    }
    return true;
}

Transfer::Outcome Transfer::fetch(const Item& item, Progress& progress, std::uint64_t before) {
    leaveLocalDirectories(&item, progress);
    if (item.kind == Item::Kind::Link) return fetchLink(item, progress);
    if (item.kind == Item::Kind::Directory) return fetchDirectory(item, progress);
    // Why, when the directory is the reason: missing, read-only, not writable.
    auto cantWrite = [&](int error) {
        return failed(item, progress, fmt::format("can't write {}: {}", item.local,
                                                  StatusText::whyNotWritable(item.local).value_or(
                                                      StatusText::ofErrno(error))));
    };
    FileDescriptor opened;
    std::string name;
    const int parent = localParent(item, opened, name);
    if (parent < 0) return cantWrite(errno);
    // The local path named on the command line is followed, as cp follows it; inside a tree a link
    // is never written through but replaced itself, and so is a pipe.
    ReplacementFile output(parent, name, {options_.force, item.named, item.named});
    if (!output.open()) {
        if (output.error() == EISDIR) return refuse(item, progress, directoryText(item.local));
        return cantWrite(output.error());
    }
    if (const auto& seen = output.existing()) {
        const bool same = S_ISREG(seen->st_mode) && static_cast<std::uint64_t>(seen->st_size) == item.size &&
                          item.time && item.time->matches(FileTime::of(seen->st_mtim));
        if (options_.update && same) return Outcome::UpToDate;
        // A pipe or a device too: it may be what someone else reads.
        if (!options_.force) return refuse(item, progress, existsText(item.local));
    }
    return download(item, output, progress, before);
}

Transfer::Outcome Transfer::fetchDirectory(const Item& item, Progress& progress) {
    FileDescriptor directory;
    if (item.known) {
        // The directory the user named to copy into.
        directory = FileDescriptor(::fcntl(localTarget_.get(), F_DUPFD_CLOEXEC, 0));
        if (!directory) return failed(item, progress, fmt::format("can't open {}: {}", item.local,
                                                                  StatusText::ofErrno(errno)));
    } else {
        FileDescriptor opened;
        std::string name;
        const int parent = localParent(item, opened, name);
        if (parent < 0 || (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST)) {
            const int error = errno;
            return failed(item, progress, fmt::format("can't make the directory {}: {}", item.local,
                                                      StatusText::whyNotWritable(item.local).value_or(
                                                          StatusText::ofErrno(error))));
        }
        // An existing directory is merged into; a link in its place, made when it may, is not
        // followed.
        directory = FileDescriptor(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!directory && errno == EACCES)  // one that can't be read still takes files
            directory = FileDescriptor(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!directory && (errno == ENOTDIR || errno == ELOOP))
            return refuse(item, progress, notDirectoryText(item.local));
        if (!directory) return failed(item, progress, fmt::format("can't open {}: {}", item.local,
                                                                  StatusText::ofErrno(errno)));
    }
    localDirectories_.push_back({withoutTrailingSlashes(item.local), std::move(directory), &item});
    return Outcome::Done;
}

int Transfer::localParent(const Item& item, FileDescriptor& opened, std::string& name) {
    const std::string path = withoutTrailingSlashes(item.local);
    const std::size_t slash = path.rfind('/');
    name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string parent = slash == std::string::npos ? "." : withoutTrailingSlashes(path.substr(0, slash + 1));
    if (item.named && localTarget_) return localTarget_.get();
    if (item.named) {
        opened = FileDescriptor(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        return opened.get();
    }
    if (localDirectories_.empty() || localDirectories_.back().path != parent) {
        errno = ENOENT;
        return -1;
    }
    return localDirectories_.back().fd.get();
}

void Transfer::leaveLocalDirectories(const Item* next, Progress& progress) {
    while (!localDirectories_.empty()) {
        LocalDirectory& last = localDirectories_.back();
        if (next && !next->named && isUnder(withoutTrailingSlashes(next->local), last.path)) return;
        // Left once all that went in it is there: what was made in it changed its time.
        const Item& item = *last.item;
        if (options_.times && item.time) {
            const timespec times[2] = {{0, UTIME_OMIT}, item.time->toTimespec()};
            if (::futimens(last.fd.get(), times) != 0) {
                incomplete_ = true;
                progress.note(fmt::format("pull {}: can't set the modification time of {}: {}", item.remote,
                                          item.local, StatusText::ofErrno(errno)));
            }
        }
        localDirectories_.pop_back();
    }
}

Transfer::Outcome Transfer::download(const Item& item, ReplacementFile& output, Progress& progress,
                                     std::uint64_t before) {
    std::shared_ptr<AFCFileReference> source = afc_.openForRead(item.remote);
    if (!source) return failed(item, progress, withDeviceState(afcFailure()));
    auto cantWrite = [&](int error) {
        return failed(item, progress, fmt::format("can't write {}: {}", item.local, StatusText::ofErrno(error)));
    };
    std::uint64_t done = 0;
    for (;;) {
        if (Interrupt::requested()) {
            (void)interrupted(progress, fmt::format("pull: interrupted; {} is left as it was", item.local));
            return Outcome::Stopped;
        }
        const std::uint64_t got = source->readNBytes(kChunk, buffer_.get());
        if (got == 0) {
            // The end of the file and a failed read both give 0; only the failure leaves a text.
            if (const auto failure = source->lasterror())
                return failed(item, progress, withDeviceState(FileCommands::explain(*failure)));
            break;
        }
        if (!output.write(buffer_.get(), static_cast<std::size_t>(got))) return cantWrite(output.error());
        done += got;
        progress.update(before + done);
    }
    // Closed before the file takes its place: no device call comes after that.
    (void)source->closeFile();
    source.reset();
    if (options_.times && item.time && !output.setModificationTime(item.time->toTimespec())) {
        incomplete_ = true;
        progress.note(fmt::format("pull {}: can't set the modification time of {}: {}", item.remote, item.local,
                                  StatusText::ofErrno(output.error())));
    }
    if (options_.atLocalStep) options_.atLocalStep(item.local);
    // Once in place, the file is no longer "left as it was".
    if (!Interrupt::stepThenReport([&] { return output.commit(); }, fmt::format("{}: interrupted", command_),
                                   barShown())) {
        // Decided now, not when the pull began: what was saved there meanwhile stays.
        if (output.error() == EEXIST) return refuse(item, progress, existsText(item.local));
        return cantWrite(output.error() != 0 ? output.error() : errno);
    }
    return Outcome::Done;
}

Transfer::Outcome Transfer::fetchLink(const Item& item, Progress& progress) {
    FileDescriptor opened;
    std::string name;
    const int parent = localParent(item, opened, name);
    if (parent < 0)
        return failed(item, progress, fmt::format("can't make the link {}: {}", item.local, StatusText::ofErrno(errno)));
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) return refuse(item, progress, directoryText(item.local));
        if (options_.update && S_ISLNK(st.st_mode) && linkTextAt(parent, name) == item.linkTarget)
            return Outcome::UpToDate;
        if (!options_.force) return refuse(item, progress, existsText(item.local));
    }
    if (options_.atLocalStep) options_.atLocalStep(item.local);
    if (!options_.force) {
        // Made where the name is free, else refused: a file saved meanwhile stays.
        if (::symlinkat(item.linkTarget.c_str(), parent, name.c_str()) != 0) {
            const int error = errno;
            if (error == EEXIST) return refuse(item, progress, existsText(item.local));
            return failed(item, progress, fmt::format("can't make the link {}: {}", item.local,
                                                      StatusText::whyNotWritable(item.local).value_or(
                                                          StatusText::ofErrno(error))));
        }
    } else {
        // Made beside it and renamed over it, so that the name is never without an entry; tracked
        // from before it exists.
        const std::string temporary = PathNames::temporaryName(name);
        const TemporaryFiles::Ticket ticket = TemporaryFiles::track(parent, temporary);
        const bool made = ticket != TemporaryFiles::kNone &&
                          ::symlinkat(item.linkTarget.c_str(), parent, temporary.c_str()) == 0;
        const bool renamed = made && ::renameat(parent, temporary.c_str(), parent, name.c_str()) == 0;
        const int error = ticket == TemporaryFiles::kNone ? ENFILE : errno;
        if (made && !renamed) ::unlinkat(parent, temporary.c_str(), 0);
        TemporaryFiles::untrack(ticket);
        if (!renamed)
            return failed(item, progress, fmt::format("can't replace {}: {}", item.local, StatusText::ofErrno(error)));
    }
    if (options_.times && item.time) {
        const timespec times[2] = {{0, UTIME_OMIT}, item.time->toTimespec()};
        if (::utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            incomplete_ = true;
            progress.note(fmt::format("pull {}: can't set the modification time of {}: {}", item.remote, item.local,
                                      StatusText::ofErrno(errno)));
        }
    }
    return Outcome::Done;
}

} // namespace keldo
