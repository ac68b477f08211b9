#include "tools/device/TransferPlanner.h"

#include "afc/AFCDirectoryAccess.h"
#include "platform/PathNames.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/FileCommands.h"
#include "tools/device/RemoteGlob.h"

#include <fmt/format.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>

namespace keldo {

namespace {

// The device's status for a path that is not there.
constexpr std::int32_t kAfcNotFound = 8;

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

std::optional<std::string> linkText(const std::string& path) {
    char text[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), text, sizeof text);
    if (length < 0) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace

TransferPlanner::TransferPlanner(Console& console, AFCDirectoryAccess& afc) : console_(console), afc_(afc) {}

std::optional<TransferPlanner::Info> TransferPlanner::remoteInfo(AFCDirectoryAccess& afc, const std::string& path,
                                                                 bool& missing) {
    missing = false;
    if (!afc.ensureConnectionIsOpen()) return std::nullopt;
    afc_dictionary opened = nullptr;
    const std::int32_t status = AFCFileInfoOpen(afc.afc(), path.c_str(), &opened);
    if (!afc.checkStatusFrom(status, "AFCFileInfoOpen")) {
        missing = status == kAfcNotFound;
        return std::nullopt;
    }
    Info info = AFCDirectoryAccess::readAfcDictionary(opened);
    (void)AFCKeyValueClose(opened);
    return info;
}

std::string TransferPlanner::typeOf(const Info& info) {
    auto it = info.find("st_ifmt");
    return it != info.end() && it->second.text() ? *it->second.text() : "";
}

std::uint64_t TransferPlanner::sizeOf(const Info& info) {
    auto it = info.find("st_size");
    const auto size = it != info.end() ? it->second.signedInteger() : std::nullopt;
    return size && *size > 0 ? static_cast<std::uint64_t>(*size) : 0;
}

const PlistValue* TransferPlanner::entryOf(const Info& info, const char* key) {
    auto it = info.find(key);
    return it != info.end() ? &it->second : nullptr;
}

bool TransferPlanner::isUnder(const std::string& path, const std::string& directory) {
    if (directory == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == '/';
}

bool TransferPlanner::isRemoteDirectory(const std::string& path, const Info& info,
                                        std::optional<std::vector<std::string>>& names) {
    const std::string type = typeOf(info);
    if (type == "S_IFDIR") return true;
    if (type != "S_IFLNK") return false;
    names = afc_.directoryContents(path);
    return names.has_value();
}

bool TransferPlanner::failedLocal(const std::string& path, const std::string& why) {
    console_.error(fmt::format("push {}: {}", path, why));
    return false;
}

int TransferPlanner::failedRemote(const std::string& command, const std::string& path) {
    console_.error(fmt::format("{} {}: {}", command, path,
                               FileCommands::explain(afc_.lastError().value_or("failed"))));
    return kExitDeviceError;
}

int TransferPlanner::push(const std::vector<std::string>& locals, const std::string& remoteArgument) {
    const std::string remote = PathNames::normalise(remoteArgument);
    // Everything is checked before the first byte moves.
    bool missing = false;
    const auto info = remoteInfo(afc_, remote, missing);
    if (!info && !missing) return failedRemote("push", remote);
    std::optional<std::vector<std::string>> unused;
    const bool intoDirectory = info && isRemoteDirectory(remote, *info, unused);
    if (!intoDirectory && locals.size() > 1) {
        console_.error(missing ? fmt::format("push: {}: no such directory on the device", remote)
                               : fmt::format("push: {} is not a directory on the device", remote));
        return kExitDeviceError;
    }
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
        const std::size_t first = items_.size();
        if (!planLocal(local, target, 0, enclosing)) return kExitDeviceError;
        items_[first].known = intoDirectory && target == remote;
        items_[first].absent = missing && target == remote;
        if (!intoDirectory && asksForDirectory(remoteArgument) &&
            (info || items_[first].kind != Item::Kind::Directory)) {
            console_.error(info ? fmt::format("push {}: {} is not a directory on the device", local, remote)
                                : fmt::format("push {}: {}: no such directory on the device", local, remote));
            return kExitDeviceError;
        }
    }
    markDuplicates(true);
    return kExitSuccess;
}

bool TransferPlanner::planLocal(const std::string& local, const std::string& remote, int depth,
                                std::vector<FileIdentity>& enclosing) {
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
            items_.push_back({Item::Kind::Link, remote, local, 0, *text, std::nullopt, depth == 0});
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
        items_.push_back({Item::Kind::Directory, remote, local, 0, "", time, depth == 0});
        enclosing.push_back(identity);
        for (const auto& name : *names) {
            if (!planLocal(FileCommands::join(local, name), FileCommands::join(remote, name), depth + 1, enclosing))
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
    items_.push_back({Item::Kind::File, remote, local, size, "", time, depth == 0});
    items_.back().seen = {info.st_dev, info.st_ino};
    return true;
}

int TransferPlanner::pull(const std::vector<std::string>& patterns, const std::string& local) {
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
    for (const auto& argument : remoteArguments) {
        const auto parts = PathNames::components(argument);
        const std::string remote = PathNames::normalise(argument);
        // Into an existing directory under the remote name; the root has none, so its contents go
        // into the directory itself, as those of "DIR/." do.
        const bool contents = parts.empty() || namesItsContents(argument);
        const std::string target = intoDirectory && !contents ? FileCommands::join(local, parts.back()) : local;
        const std::size_t first = items_.size();
        if (!planRemote(remote, target, 0)) return kExitDeviceError;
        items_[first].known = intoDirectory && target == local;
        const bool directory = items_[first].kind == Item::Kind::Directory;
        if (asksForDirectory(argument) && !directory) {
            console_.error(fmt::format("pull {}: not a directory", argument));
            return kExitDeviceError;
        }
        if (!intoDirectory && !directory && !local.empty() && local.back() == '/') {
            console_.error(fmt::format("pull {}: {}: no such directory", remote, local));
            return kExitDeviceError;
        }
    }
    markDuplicates(false);
    return kExitSuccess;
}

bool TransferPlanner::planRemote(const std::string& remote, const std::string& local, int depth) {
    bool missing = false;
    std::optional<Info> info;
    if (const auto found = known_.find(remote); found != known_.end()) {
        info = std::move(found->second);
        known_.erase(found);
    } else {
        info = remoteInfo(afc_, remote, missing);
    }
    if (!info) {
        failedRemote("pull", remote);
        return false;
    }
    const std::string type = typeOf(*info);
    // A link named on the command line is followed: the time of what it leads to is not known.
    const auto time = type == "S_IFLNK" ? std::nullopt : FileTime::fromDevice(entryOf(*info, "st_mtime"));
    if (type == "S_IFLNK" && depth > 0) {
        const PlistValue* target = entryOf(*info, "LinkTarget");
        items_.push_back({Item::Kind::Link, remote, local, 0, target && target->text() ? *target->text() : "",
                          FileTime::fromDevice(entryOf(*info, "st_mtime"))});
        return true;
    }
    // A link's names, listed to learn that it leads to a directory, are not asked for again.
    std::optional<std::vector<std::string>> names;
    if (!isRemoteDirectory(remote, *info, names)) {
        items_.push_back({Item::Kind::File, remote, local, sizeOf(*info), "", time, depth == 0});
        return true;
    }
    if (depth >= AFCDirectoryAccess::kMaxTreeDepth) {
        console_.error(fmt::format("pull {}: the tree is too deep", remote));
        return false;
    }
    if (!names) names = afc_.directoryContents(remote);
    if (!names) {
        failedRemote("pull", remote);
        return false;
    }
    items_.push_back({Item::Kind::Directory, remote, local, 0, "", time, depth == 0});
    std::sort(names->begin(), names->end());
    if (lookUp_ && names->size() > 1) {
        std::vector<std::string> paths;
        for (const auto& name : *names) {
            if (FileCommands::isSafeName(name)) paths.push_back(FileCommands::join(remote, name));
        }
        std::vector<std::optional<Info>> infos(paths.size());
        lookUp_(paths, infos);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (infos[i]) known_.emplace(paths[i], std::move(*infos[i]));
        }
    }
    for (const auto& name : *names) {
        // A name is joined to a local path: one that could climb out of it is refused.
        if (!FileCommands::isSafeName(name)) {
            console_.error(fmt::format("pull {}: the device gave an unsafe name \"{}\"", remote, name));
            return false;
        }
        if (!planRemote(FileCommands::join(remote, name), FileCommands::join(local, name), depth + 1)) return false;
    }
    return true;
}

void TransferPlanner::markDuplicates(bool pushing) {
    std::set<std::string> destinations;
    for (auto& item : items_) {
        const bool first = destinations.insert(pushing ? item.remote : item.local).second;
        item.duplicate = !first && item.kind != Item::Kind::Directory;
    }
}

} // namespace keldo
