#include "tools/device/Transfer.h"

#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/FileCommands.h"
#include "tools/device/Interrupt.h"
#include "tools/device/Progress.h"

#include <fmt/format.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace keldo {

namespace {

// The longest name a device's file system takes, in bytes.
constexpr std::size_t kNameMax = 255;

std::string textOr(const std::optional<std::string>& text, const char* fallback) { return text ? *text : fallback; }

std::string lastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A remote path as the components it names, with "." and empty ones gone and each ".." taking the
// one before it away (as at the root, nothing climbs above it). Relative paths start at the root,
// as the device takes them. Done on the text alone: the last name is then never ".." or ".", so a
// local name taken from it can't lead out of the local target.
std::vector<std::string> remoteComponents(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    return parts;
}

std::string remotePath(const std::vector<std::string>& parts) {
    std::string path;
    for (const auto& part : parts) path += "/" + part;
    return path.empty() ? "/" : path;
}

std::string normalizedRemote(const std::string& path) { return remotePath(remoteComponents(path)); }

// The name a local path named on the command line takes on the device: its last component, or
// for "." and ".." (and paths ending in them) the name of the directory they lead to. None for
// the root, which has no name.
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

// A hidden name beside `remote` for its upload in progress, saying what it is for and unique to
// this run, cut where needed to stay within a name's length (at a character's first byte: names
// on a device are UTF-8).
std::string temporaryBeside(const std::string& remote) {
    static const auto salt = static_cast<unsigned long long>(
                                 std::chrono::steady_clock::now().time_since_epoch().count()) & 0xFFFFFF;
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = remote.rfind('/');
    std::string name = remote.substr(slash + 1);
    const std::string suffix = fmt::format(".keldo-{:x}-{:x}-{:x}", ::getpid(), salt, counter.fetch_add(1));
    const std::size_t room = kNameMax - 1 - suffix.size();
    if (name.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    return remote.substr(0, slash + 1) + "." + name + suffix;
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

std::optional<std::string> linkText(const std::string& path) {
    char text[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), text, sizeof text);
    if (length < 0) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

class LocalFile {
public:
    // Opens without waiting for the other end of a pipe (one named on the command line is read
    // until its writer is done), then reads block as usual.
    explicit LocalFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
        if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    }
    ~LocalFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    explicit operator bool() const { return fd_ >= 0; }

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

Transfer::Transfer(Console& console, AFCDirectoryAccess& afc, bool showProgress)
    : console_(console), afc_(afc), showProgress_(showProgress) {}

int Transfer::failedRemote(const std::string& command, const std::string& path) {
    console_.error(fmt::format("{} {}: {}", command, path,
                               FileCommands::explain(textOr(afc_.lastError(), "failed"))));
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

bool Transfer::barShown() const { return showProgress_ && console_.progressIsTerminal(); }

int Transfer::push(const std::vector<std::string>& locals, const std::string& remoteArgument) {
    const std::string remoteDirectory = normalizedRemote(remoteArgument);
    // Everything is checked before the first byte moves.
    PlistRef info = afc_.getFileInfo(remoteDirectory);
    if (!info) return failedRemote("push", remoteDirectory);
    const PlistValue* kind = info->find("st_ifmt");
    const bool isDirectory = kind && kind->text() &&
                             (*kind->text() == "S_IFDIR" ||
                              (*kind->text() == "S_IFLNK" && afc_.directoryContents(remoteDirectory)));
    if (!isDirectory) {
        console_.error(fmt::format("push {}: not a directory on the device", remoteDirectory));
        return kExitDeviceError;
    }
    std::vector<Item> items;
    for (const auto& local : locals) {
        const auto name = localName(local);
        if (!name) {
            console_.error(fmt::format("push {}: has no name to give it on the device", local));
            return kExitUsage;
        }
        std::vector<FileIdentity> enclosing;
        if (!planLocal(local, FileCommands::join(remoteDirectory, *name), 0, enclosing, items)) return kExitDeviceError;
    }
    std::uint64_t total = 0;
    for (const auto& item : items) total += item.size;

    Progress progress(console_, "push", total, showProgress_);
    std::uint64_t done = 0;
    bool anyDone = false;
    for (const auto& item : items) {
        Interrupt::setReport("push: interrupted", barShown());
        if (Interrupt::requested()) return interrupted(progress, "push: interrupted");
        const Outcome outcome = send(item, progress, done);
        if (outcome == Outcome::Stopped) return kExitInterrupted;
        if (outcome == Outcome::Failed) return anyDone ? kExitPartial : kExitDeviceError;
        anyDone = true;
        if (item.kind == Item::Kind::File) {
            done += item.size;
            progress.fileDone();
            progress.update(done);
        }
    }
    progress.finish(true);
    return kExitSuccess;
}

int Transfer::interrupted(Progress& progress, const std::string& report) {
    progress.finish(false);
    if (Interrupt::finishing(kExitInterrupted)) console_.error(report);
    return kExitInterrupted;
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
            items.push_back({Item::Kind::Link, remote, local, 0, *text});
            return true;
        }
        info = target;
    }
    if (S_ISDIR(info.st_mode)) {
        // Links are not followed, so only a directory mounted inside itself could loop.
        const FileIdentity identity{info.st_dev, info.st_ino};
        if (std::find(enclosing.begin(), enclosing.end(), identity) != enclosing.end())
            return failedLocal(local, "the directory is inside itself (a mount?)");
        if (depth >= AFCDirectoryAccess::kMaxTreeDepth) return failedLocal(local, "the tree is too deep");
        const auto names = localNames(local);
        if (!names) return failedLocal(local, std::strerror(errno));
        items.push_back({Item::Kind::Directory, remote, local, 0, ""});
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
    items.push_back({Item::Kind::File, remote, local,
                     S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0, ""});
    return true;
}

Transfer::Outcome Transfer::send(const Item& item, Progress& progress, std::uint64_t before) {
    switch (item.kind) {
    case Item::Kind::Directory:
        if (afc_.mkdir(item.remote)) return Outcome::Done;
        break;
    case Item::Kind::Link:
        if (afc_.symlinkTo(item.remote, item.linkTarget)) return Outcome::Done;
        break;
    case Item::Kind::File:
        return upload(item, progress, before);
    }
    progress.finish(false);
    failedLocal(item.local, withDeviceState(FileCommands::explain(textOr(afc_.lastError(), "failed"))));
    return Outcome::Failed;
}

Transfer::Outcome Transfer::upload(const Item& item, Progress& progress, std::uint64_t before) {
    auto fail = [&](const std::string& text) {
        progress.finish(false);
        failedLocal(item.local, text);
        return Outcome::Failed;
    };
    // Checked again before the renaming, which would replace a file that came meanwhile.
    if (afc_.fileExistsAtPath(item.remote)) return fail("Won't overwrite existing file");
    LocalFile source(item.local);
    if (!source) return fail(fmt::format("can't open it: {}", std::strerror(errno)));

    const std::string temporary = temporaryBeside(item.remote);
    std::shared_ptr<AFCFileReference> target = afc_.openForWrite(temporary);
    if (!target) return fail(withDeviceState(FileCommands::explain(textOr(afc_.lastError(), "failed"))));
    Interrupt::setReport(fmt::format("push: interrupted; {} may be left on the device", temporary),
                         barShown());
    // Every way out but success removes the temporary (or says that it stays).
    auto abandon = [&](const std::string& text) {
        target.reset();
        return fail(discard(temporary, text));
    };

    std::uint8_t chunk[AFCDirectoryAccess::kUploadChunk];
    std::uint64_t done = 0;
    for (;;) {
        if (Interrupt::requested()) {
            target.reset();
            (void)interrupted(progress, afc_.unlink(temporary)
                                            ? fmt::format("push: interrupted; {} was not made",
                                                          item.remote)
                                            : fmt::format("push: interrupted; {} is left incomplete on the device",
                                                          temporary));
            return Outcome::Stopped;
        }
        const ssize_t got = source.read(chunk, sizeof chunk);
        if (got < 0) return abandon(fmt::format("can't read it: {}", std::strerror(errno)));
        if (got == 0) break;
        if (!target->writeNSData({chunk, static_cast<std::size_t>(got)}))
            return abandon(textOr(target->lasterror(), "AFCFileRefWrite failed"));
        done += static_cast<std::uint64_t>(got);
        progress.update(before + done);
    }
    // Some devices report a failed write only when the file is closed.
    if (!target->closeFile()) return abandon(textOr(target->lasterror(), "AFCFileRefClose failed"));
    if (afc_.fileExistsAtPath(item.remote)) return abandon("Won't overwrite existing file");
    if (!afc_.renameTo(temporary, item.remote)) return abandon(FileCommands::explain(textOr(afc_.lastError(), "failed")));
    return Outcome::Done;
}

std::string Transfer::discard(const std::string& temporary, const std::string& text) {
    if (afc_.unlink(temporary)) return text;
    const std::string why = textOr(afc_.lastError(), "failed");
    if (!afc_.deviceInfo())
        return fmt::format("{} (the device no longer answers; {} is left on it)", text, temporary);
    return fmt::format("{} ({} is left on the device: {})", text, temporary,
                       FileCommands::explain(why));
}

bool Transfer::plan(const std::string& remote, const std::string& local, int depth, std::vector<Item>& items) {
    PlistRef info = afc_.getFileInfo(remote);
    if (!info) {
        failedRemote("pull", remote);
        return false;
    }
    const PlistValue* kind = info->find("st_ifmt");
    const std::string type = kind && kind->text() ? *kind->text() : "";
    const PlistValue* sizeEntry = info->find("st_size");
    const std::int64_t size = sizeEntry ? sizeEntry->signedInteger().value_or(0) : 0;
    if (type == "S_IFLNK" && depth > 0) {
        const PlistValue* target = info->find("LinkTarget");
        items.push_back({Item::Kind::Link, remote, local, 0, target && target->text() ? *target->text() : ""});
        return true;
    }
    // A link given on the command line is followed, to a directory as to a file.
    const bool directory = type == "S_IFDIR" || (type == "S_IFLNK" && afc_.directoryContents(remote));
    if (!directory) {
        items.push_back({Item::Kind::File, remote, local, size > 0 ? static_cast<std::uint64_t>(size) : 0, ""});
        return true;
    }
    if (depth >= AFCDirectoryAccess::kMaxTreeDepth) {
        console_.error(fmt::format("pull {}: the tree is too deep", remote));
        return false;
    }
    auto names = afc_.directoryContents(remote);
    if (!names) {
        failedRemote("pull", remote);
        return false;
    }
    items.push_back({Item::Kind::Directory, remote, local, 0, ""});
    std::sort(names->begin(), names->end());
    for (const auto& name : *names) {
        // A name is joined to a local path: one that could climb out of it is refused.
        if (!FileCommands::isSafeName(name)) {
            console_.error(fmt::format("pull {}: the device gave an unsafe name \"{}\"", remote,
                                       name));
            return false;
        }
        if (!plan(FileCommands::join(remote, name), FileCommands::join(local, name), depth + 1, items)) return false;
    }
    return true;
}

std::optional<std::string> Transfer::fetch(const Item& item, bool inTree) {
    struct stat st {};
    switch (item.kind) {
    case Item::Kind::Directory:
        // An existing directory is merged into; a link in its place is not followed.
        if (::mkdir(item.local.c_str(), 0777) != 0 &&
            !(errno == EEXIST && ::lstat(item.local.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            return fmt::format("can't make the directory {}: {}", item.local,
                               errno == EEXIST ? "it exists and is not a directory" : std::strerror(errno));
        }
        return std::nullopt;
    case Item::Kind::Link:
        if (::symlink(item.linkTarget.c_str(), item.local.c_str()) != 0)
            return fmt::format("can't make the link {}: {}", item.local, std::strerror(errno));
        return std::nullopt;
    case Item::Kind::File:
        // Inside a tree, a link at the local path (made by this pull or there before) is not
        // written through.
        if (inTree && ::lstat(item.local.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return fmt::format("{} is a symbolic link; not written through", item.local);
        if (!afc_.copyRemoteFileToLocalFile(item.remote, item.local))
            return withDeviceState(FileCommands::explain(textOr(afc_.lastError(), "failed")));
        return std::nullopt;
    }
    return "unknown kind";
}

int Transfer::pull(const std::string& remoteArgument, const std::string& local) {
    const auto parts = remoteComponents(remoteArgument);
    const std::string remote = remotePath(parts);
    // Into an existing directory under the remote name; the root has none, so its contents go
    // into the directory itself.
    struct stat st {};
    const bool intoDirectory = ::stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const std::string target = intoDirectory && !parts.empty() ? FileCommands::join(local, parts.back()) : local;

    std::vector<Item> items;
    if (!plan(remote, target, 0, items)) return kExitDeviceError;
    const bool tree = items.front().kind == Item::Kind::Directory;
    std::uint64_t total = 0;
    for (const auto& item : items) total += item.size;

    Progress progress(console_, "pull", total, showProgress_);
    std::uint64_t done = 0;
    bool anyDone = false;
    for (const auto& item : items) {
        // The library replaces a local file only once its download is complete: ended before
        // that, the process leaves it as it was.
        Interrupt::setReport(item.kind == Item::Kind::File
                                 ? fmt::format("pull: interrupted; {} is left as it was", item.local)
                                 : std::string("pull: interrupted"),
                             barShown());
        if (Interrupt::requested()) return interrupted(progress, "pull: interrupted");
        if (const auto failure = fetch(item, tree)) {
            progress.finish(false);
            console_.error(fmt::format("pull {}: {}", item.remote, *failure));
            return tree && anyDone ? kExitPartial : kExitDeviceError;
        }
        anyDone = true;
        if (item.kind == Item::Kind::File) {
            done += item.size;
            progress.fileDone();
            progress.update(done);
        }
    }
    progress.finish(true);
    return kExitSuccess;
}

} // namespace keldo
