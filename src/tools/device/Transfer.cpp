#include "tools/device/Transfer.h"

#include "afc/AFCDirectoryAccess.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/FileCommands.h"
#include "tools/device/Interrupt.h"
#include "tools/device/Progress.h"

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <set>

namespace keldo {

namespace {

// The library's diagnostic lines while it lives, still passed on to the sink before it.
class LogTap {
public:
    LogTap() {
        previous_ = SystemLog::setSink([this](const std::string& line) {
            lines_.push_back(line);
            if (previous_) previous_(line);
        });
    }
    ~LogTap() { SystemLog::setSink(previous_); }
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;
    const std::vector<std::string>& lines() const { return lines_; }

private:
    SystemLog::Sink previous_;
    std::vector<std::string> lines_;
};

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

std::string textOr(const std::optional<std::string>& text, const char* fallback) { return text ? *text : fallback; }

// The bytes a tree upload of `path` moves, counted the way the upload walks: links to
// directories followed, other links made again (no bytes), a link back to an enclosing
// directory not entered.
std::uint64_t uploadSize(const std::string& path, std::vector<std::pair<dev_t, ino_t>>& enclosing) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    if (!S_ISDIR(info.st_mode)) {
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) return 0;
        return static_cast<std::uint64_t>(info.st_size);
    }
    const std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
    if (std::find(enclosing.begin(), enclosing.end(), identity) != enclosing.end()) return 0;
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), ::closedir);
    if (!directory) return 0;
    enclosing.push_back(identity);
    std::uint64_t total = 0;
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") total += uploadSize(FileCommands::join(path, name), enclosing);
    }
    enclosing.pop_back();
    return total;
}

// The innermost path that a failed tree upload names in its log ("failed on DIR/NAME: TEXT").
std::optional<std::string> failedEntry(const std::vector<std::string>& lines, const std::string& text) {
    static const std::string kPrefix = "failed on ";
    const std::string suffix = ": " + text;
    for (const auto& line : lines) {
        if (line.rfind(kPrefix, 0) != 0 || line.size() < kPrefix.size() + suffix.size()) continue;
        if (line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        return line.substr(kPrefix.size(), line.size() - kPrefix.size() - suffix.size());
    }
    return std::nullopt;
}

bool isSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

Transfer::Transfer(Console& console, AFCDirectoryAccess& afc, bool showProgress)
    : console_(console), afc_(afc), showProgress_(showProgress) {}

int Transfer::failedRemote(const std::string& command, const std::string& path) {
    console_.error(fmt::format("{} {}: {}", command, path, FileCommands::explain(textOr(afc_.lastError(), "failed"))));
    return kExitDeviceError;
}

std::string Transfer::withDeviceState(const std::string& text) {
    // A status alone doesn't say that the device went away (detached, locked up): ask it.
    if (afc_.deviceInfo()) return text;
    return text + " (the device no longer answers)";
}

int Transfer::push(const std::vector<std::string>& locals, const std::string& remoteDirectory) {
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
    std::uint64_t total = 0;
    for (const auto& local : locals) {
        struct stat st {};
        if (::stat(local.c_str(), &st) != 0) {
            console_.error(fmt::format("push {}: {}", local, std::strerror(errno)));
            return kExitDeviceError;
        }
        std::vector<std::pair<dev_t, ino_t>> enclosing;
        total += uploadSize(local, enclosing);
    }

    Progress progress(console_, "push", total, showProgress_);
    std::uint64_t completed = 0;
    std::string inFlight;
    bool interrupted = false;
    NotificationCenter& center = NotificationCenter::defaultCenter();
    auto doneOf = [](const Notification& n) -> std::uint64_t {
        const PlistValue* done = n.userInfo ? n.userInfo->find("Done") : nullptr;
        const auto value = done ? done->signedInteger() : std::nullopt;
        return value && *value > 0 ? static_cast<std::uint64_t>(*value) : 0;
    };
    center.addObserver(this, kAFCFileCopyBegin, &afc_, [&](const Notification& n) {
        const PlistValue* target = n.userInfo ? n.userInfo->find("Target") : nullptr;
        inFlight = target && target->text() ? *target->text() : "";
        Interrupt::setReport(fmt::format("push: interrupted; {} is incomplete on the device",
                                         inFlight),
                             showProgress_ && console_.progressIsTerminal());
    });
    center.addObserver(this, kAFCFileCopyProgress, &afc_, [&](const Notification& n) {
        progress.update(completed + doneOf(n));
        // The library has no way to stop an upload: closing the connection makes its next write
        // fail, and the upload ends there.
        if (Interrupt::requested() && !interrupted) {
            interrupted = true;
            afc_.close();
        }
    });
    center.addObserver(this, kAFCFileCopyDone, &afc_, [&](const Notification& n) {
        completed += doneOf(n);
        inFlight.clear();
        Interrupt::setReport("push: interrupted", showProgress_ && console_.progressIsTerminal());
        progress.fileDone();
        progress.update(completed);
    });

    int status = kExitSuccess;
    {
        LogTap log;
        for (std::size_t i = 0; i < locals.size() && status == kExitSuccess; ++i) {
            if (Interrupt::requested()) {
                interrupted = true;
                status = kExitInterrupted;
                break;
            }
            if (afc_.copyLocalFileToRemoteDir(locals[i], remoteDirectory)) continue;
            if (interrupted) {
                status = kExitInterrupted;
                break;
            }
            const std::string text = textOr(afc_.lastError(), "(null)");
            const auto entry = failedEntry(log.lines(), text);
            const std::string path = entry.value_or(locals[i]);
            struct stat st {};
            const std::string reason = ::stat(path.c_str(), &st) != 0
                                           ? fmt::format("{} (a dangling symbolic link?)", std::strerror(errno))
                                           : withDeviceState(FileCommands::explain(text));
            progress.finish(false);
            console_.error(fmt::format("push {}: {}", path, reason));
            // A tree whose top directory was made, or sources before this one, count as a part.
            status = entry || i > 0 ? kExitPartial : kExitDeviceError;
        }
    }
    center.removeObserver(this);
    if (status == kExitInterrupted) {
        progress.finish(false);
        if (!Interrupt::finishing(kExitInterrupted)) return status;
        console_.error(inFlight.empty() ? std::string("push: interrupted")
                                        : fmt::format("push: interrupted; {} is incomplete on the device", inFlight));
        return status;
    }
    if (status == kExitSuccess) progress.finish(true);
    return status;
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
        if (!isSafeName(name)) {
            console_.error(fmt::format("pull {}: the device gave an unsafe name \"{}\"", remote, name));
            return false;
        }
        if (!plan(FileCommands::join(remote, name), FileCommands::join(local, name), depth + 1, items)) return false;
    }
    return true;
}

bool Transfer::fetch(const Item& item, bool inTree) {
    const std::string& where = item.remote;
    struct stat st {};
    switch (item.kind) {
    case Item::Kind::Directory:
        // An existing directory is merged into; a link in its place is not followed.
        if (::mkdir(item.local.c_str(), 0777) != 0 &&
            !(errno == EEXIST && ::lstat(item.local.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            console_.error(fmt::format("pull {}: can't make the directory {}: {}", where, item.local,
                                       errno == EEXIST ? "it exists and is not a directory" : std::strerror(errno)));
            return false;
        }
        return true;
    case Item::Kind::Link:
        if (::symlink(item.linkTarget.c_str(), item.local.c_str()) != 0) {
            console_.error(fmt::format("pull {}: can't make the link {}: {}", where, item.local,
                                       std::strerror(errno)));
            return false;
        }
        return true;
    case Item::Kind::File:
        // Inside a tree, a link at the local path (made by this pull or there before) is not
        // written through.
        if (inTree && ::lstat(item.local.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            console_.error(fmt::format("pull {}: {} is a symbolic link; not written through", where, item.local));
            return false;
        }
        if (!afc_.copyRemoteFileToLocalFile(item.remote, item.local)) {
            console_.error(fmt::format("pull {}: {}", where,
                                       withDeviceState(FileCommands::explain(textOr(afc_.lastError(), "failed")))));
            return false;
        }
        return true;
    }
    return false;
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
                             showProgress_ && console_.progressIsTerminal());
        if (Interrupt::requested()) {
            progress.finish(false);
            if (Interrupt::finishing(kExitInterrupted)) console_.error("pull: interrupted");
            return kExitInterrupted;
        }
        if (!fetch(item, tree)) {
            progress.finish(false);
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
