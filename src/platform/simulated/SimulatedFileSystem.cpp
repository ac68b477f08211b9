#include "platform/simulated/SimulatedFileSystem.h"

#include "platform/Utf8.h"
#include "platform/simulated/FileBytes.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <new>

namespace keldo {

struct SimulatedFileSystem::Node {
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    // A file's bytes are the file system's until its last name and handle are gone. A directory
    // that goes takes its tree apart without recursion: renames let a client make a tree of any
    // depth out of short paths. Nodes are let go with the file system's lock held, or with the
    // file system itself, so that no other owner can appear meanwhile.
    ~Node() {
        if (usage) *usage -= bytes.size();
        std::vector<std::shared_ptr<Node>> going;
        auto release = [&going](Node& directory) {
            for (auto& entry : directory.children) {
                if (entry.second.use_count() == 1) going.push_back(std::move(entry.second));
            }
            directory.children.clear();
        };
        release(*this);
        while (!going.empty()) {
            const std::shared_ptr<Node> last = std::move(going.back());
            going.pop_back();
            release(*last);
        }
    }

    Kind kind = Kind::File;
    std::uint64_t* usage = nullptr;  // a file's: the sum its kept bytes count in
    FileBytes bytes;  // a file's contents
    std::string target;  // a link's
    std::uint64_t unkept = 0;  // bytes past `bytes` that were written but not kept (all zeros)
    std::vector<std::pair<std::string, std::shared_ptr<Node>>> children;  // in creation order
    std::vector<std::string> strayNames;  // listed after the children, naming nothing
    std::uint64_t birth = 0;
    std::uint64_t modified = 0;
    int links = 0;
    std::uint64_t lockOwner = 0;  // the handle holding the lock, 0 for none

    std::uint64_t size() const { return bytes.size() + unkept; }
    std::shared_ptr<Node> child(const std::string& name) const {
        for (const auto& [n, node] : children) {
            if (n == name) return node;
        }
        return nullptr;
    }
    void erase(const std::string& name) {
        std::erase_if(children, [&](const auto& entry) { return entry.first == name; });
    }
};

struct SimulatedFileSystem::OpenFile {
    std::shared_ptr<Node> node;
    std::string path;
    std::uint64_t mode = 0;
    std::uint64_t position = 0;
};

// Where a path leads: the directories from the root to the last component's parent, the last
// component's name and what it names (null when nothing does yet). A path that ends at a
// directory without naming it ("/", "a/..") has no parent.
struct SimulatedFileSystem::Resolved {
    std::vector<std::shared_ptr<Node>> directories;
    std::shared_ptr<Node> parent;
    std::string name;
    std::shared_ptr<Node> node;
};

namespace {

constexpr std::int32_t kNoSpace = 18;
constexpr std::uint64_t kDefaultClock = 1'400'000'000ull * 1'000'000'000ull;

std::deque<std::string> componentsOf(const std::string& path) {
    std::deque<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The path as faults and file information are keyed: one "/" before each component, "." dropped.
std::string normalized(const std::string& path) {
    std::string out;
    for (const auto& part : componentsOf(path)) {
        if (part != ".") out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

// Whether a path keeps within the device's limits: iOS's PATH_MAX counts the terminating NUL.
bool withinLimits(const std::string& path) {
    if (path.size() >= SimulatedFileSystem::kMaxPath) return false;
    return std::ranges::all_of(componentsOf(path),
                               [](const std::string& name) { return name.size() <= SimulatedFileSystem::kMaxName; });
}

const char* formatName(SimulatedFileSystem::Kind kind) {
    switch (kind) {
    case SimulatedFileSystem::Kind::Directory: return "S_IFDIR";
    case SimulatedFileSystem::Kind::SymbolicLink: return "S_IFLNK";
    case SimulatedFileSystem::Kind::File: break;
    }
    return "S_IFREG";
}

const char* describe(std::int32_t status) {
    switch (status) {
    case SimulatedFileSystem::kNotADirectory: return "Not a directory";
    case SimulatedFileSystem::kInvalidArgument: return "Invalid argument";
    case SimulatedFileSystem::kNotFound: return "No such file or directory";
    case SimulatedFileSystem::kIsADirectory: return "Is a directory";
    case SimulatedFileSystem::kPermissionDenied: return "Permission denied";
    case SimulatedFileSystem::kExists: return "File exists";
    case SimulatedFileSystem::kBusy: return "Resource busy";
    case kNoSpace: return "No space left on device";
    default: return "Unknown error";
    }
}

} // namespace

SimulatedFileSystem::SimulatedFileSystem() : root_(std::make_shared<Node>()), clock_(kDefaultClock) {
    root_->kind = Kind::Directory;
    root_->links = 1;
    root_->birth = root_->modified = now();
    deviceInfo_ = {{"Model", "iPhone4,1"},
                   {"FSTotalBytes", "15989485568"},
                   {"FSFreeBytes", "8123764736"},
                   {"FSBlockSize", "4096"}};
}

SimulatedFileSystem::~SimulatedFileSystem() = default;

std::optional<SimulatedFileSystem::Resolved> SimulatedFileSystem::resolve(const std::string& path, bool followLast,
                                                                          std::int32_t& status) const {
    std::deque<std::string> parts = componentsOf(path);
    std::vector<std::shared_ptr<Node>> directories{root_};
    int hops = 0;
    while (!parts.empty()) {
        std::string name = std::move(parts.front());
        parts.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            if (directories.size() > 1) directories.pop_back();
            continue;
        }
        const auto& current = directories.back();
        if (current->kind != Kind::Directory) {
            status = kNotFound;
            return std::nullopt;
        }
        std::shared_ptr<Node> child = current->child(name);
        bool last = parts.empty();
        if (child && child->kind == Kind::SymbolicLink && (!last || followLast)) {
            if (++hops > kMaxLinkHops) {
                status = kUnknownError;
                return std::nullopt;
            }
            auto target = componentsOf(child->target);
            parts.insert(parts.begin(), target.begin(), target.end());
            if (!child->target.empty() && child->target[0] == '/') directories.resize(1);
            continue;
        }
        if (last) {
            Resolved r{directories, current, name, child};
            return r;
        }
        if (!child) {
            status = kNotFound;
            return std::nullopt;
        }
        directories.push_back(child);
    }
    Resolved r;
    r.node = directories.back();
    directories.pop_back();
    r.directories = std::move(directories);
    return r;
}

// The device's operations reach paths through here: what a device's kernel would refuse as too
// long (ENAMETOOLONG) is refused before any lookup.
std::optional<SimulatedFileSystem::Resolved> SimulatedFileSystem::lookup(const std::string& path, bool followLast,
                                                                         std::int32_t& status) const {
    if (keepsLimits_ && !withinLimits(path)) {
        status = kInvalidArgument;
        return std::nullopt;
    }
    return resolve(path, followLast, status);
}

std::shared_ptr<SimulatedFileSystem::Node> SimulatedFileSystem::makeParents(const std::string& path,
                                                                            std::string& leaf) {
    auto parts = componentsOf(path);
    if (parts.empty()) return nullptr;
    leaf = parts.back();
    parts.pop_back();
    std::shared_ptr<Node> directory = root_;
    for (const auto& part : parts) {
        auto child = directory->child(part);
        if (!child || child->kind != Kind::Directory) {
            if (child) directory->erase(part);
            child = std::make_shared<Node>();
            child->kind = Kind::Directory;
            child->links = 1;
            child->birth = child->modified = now();
            directory->children.emplace_back(part, child);
        }
        directory = child;
    }
    return directory;
}

void SimulatedFileSystem::place(const std::string& path, std::shared_ptr<Node> node) {
    std::string leaf;
    auto parent = makeParents(path, leaf);
    if (!parent) return;
    ++node->links;
    for (auto& [name, existing] : parent->children) {
        if (name == leaf) {
            --existing->links;
            existing = std::move(node);
            return;
        }
    }
    parent->children.emplace_back(leaf, std::move(node));
}

void SimulatedFileSystem::addDirectory(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(path, false, status);
    if (r && r->node && r->node->kind == Kind::Directory) return;
    auto node = std::make_shared<Node>();
    node->kind = Kind::Directory;
    node->birth = node->modified = now();
    place(path, std::move(node));
}

void SimulatedFileSystem::addFile(const std::string& path, std::string contents) {
    std::lock_guard lock(mutex_);
    auto node = newFile();
    node->bytes = FileBytes(contents);
    used_ += node->bytes.size();
    node->birth = node->modified = now();
    place(path, std::move(node));
}

void SimulatedFileSystem::addSymbolicLink(const std::string& path, std::string target) {
    std::lock_guard lock(mutex_);
    auto node = std::make_shared<Node>();
    node->kind = Kind::SymbolicLink;
    node->target = std::move(target);
    node->birth = node->modified = now();
    place(path, std::move(node));
}

void SimulatedFileSystem::addHardLink(const std::string& path, const std::string& existing) {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(existing, false, status);
    if (r && r->node && r->node->kind != Kind::Directory) place(path, r->node);
}

void SimulatedFileSystem::addStrayName(const std::string& directory, std::string name) {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(directory, true, status);
    if (r && r->node && r->node->kind == Kind::Directory) r->node->strayNames.push_back(std::move(name));
}

void SimulatedFileSystem::setTimes(const std::string& path, std::uint64_t birth, std::uint64_t modified) {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    if (auto r = resolve(path, false, status); r && r->node) {
        r->node->birth = birth;
        r->node->modified = modified;
    }
}

void SimulatedFileSystem::setClock(std::uint64_t nanoseconds) {
    std::lock_guard lock(mutex_);
    clock_ = nanoseconds;
    systemClock_ = false;
}

void SimulatedFileSystem::followSystemClock() {
    std::lock_guard lock(mutex_);
    systemClock_ = true;
    if (root_->children.empty()) root_->birth = root_->modified = now();
}

std::uint64_t SimulatedFileSystem::now() const {
    if (!systemClock_) return clock_;
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

void SimulatedFileSystem::setDeviceInfo(KeyValues pairs) {
    std::lock_guard lock(mutex_);
    deviceInfo_ = std::move(pairs);
}

void SimulatedFileSystem::setFileInfo(const std::string& path, KeyValues pairs) {
    std::lock_guard lock(mutex_);
    fileInfo_[normalized(path)] = std::move(pairs);
}

void SimulatedFileSystem::inject(Fault fault) {
    std::lock_guard lock(mutex_);
    if (fault.path) fault.path = normalized(*fault.path);
    faults_.push_back(std::move(fault));
}

void SimulatedFileSystem::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void SimulatedFileSystem::setErrorInfo(ErrorInfo mode) {
    std::lock_guard lock(mutex_);
    errorInfo_ = mode;
}

void SimulatedFileSystem::setCapacity(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    capacity_ = bytes;
}

void SimulatedFileSystem::setIOTimeout(std::uint32_t seconds) {
    std::lock_guard lock(mutex_);
    ioTimeout_ = seconds;
}

void SimulatedFileSystem::setKeepsLimits(bool keeps) {
    std::lock_guard lock(mutex_);
    keepsLimits_ = keeps;
}

// Whether a name may be made, as the device's file system takes only UTF-8; called with the lock
// held.
bool SimulatedFileSystem::newName(const std::string& name) const {
    return !keepsLimits_ || Utf8::isValid(name);
}

void SimulatedFileSystem::setKeepsContents(bool keeps) {
    std::lock_guard lock(mutex_);
    keepsContents_ = keeps;
}

std::optional<SimulatedFileSystem::Kind> SimulatedFileSystem::kind(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(path, false, status);
    if (!r || !r->node) return std::nullopt;
    return r->node->kind;
}

std::optional<std::string> SimulatedFileSystem::contents(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(path, true, status);
    if (!r || !r->node || r->node->kind != Kind::File) return std::nullopt;
    return r->node->bytes.toString();
}

std::optional<std::string> SimulatedFileSystem::linkTarget(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(path, false, status);
    if (!r || !r->node || r->node->kind != Kind::SymbolicLink) return std::nullopt;
    return r->node->target;
}

std::optional<std::uint64_t> SimulatedFileSystem::modificationTime(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(path, false, status);
    if (!r || !r->node) return std::nullopt;
    return r->node->modified;
}

std::vector<std::string> SimulatedFileSystem::names(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    std::vector<std::string> out;
    auto r = resolve(path, true, status);
    if (r && r->node) {
        for (const auto& entry : r->node->children) out.push_back(entry.first);
    }
    return out;
}

bool SimulatedFileSystem::isLocked(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::int32_t status = 0;
    auto r = resolve(path, true, status);
    return r && r->node && r->node->lockOwner != 0;
}

std::size_t SimulatedFileSystem::openFiles() const {
    std::lock_guard lock(mutex_);
    return open_.size();
}

std::uint64_t SimulatedFileSystem::remaining(std::uint64_t handle) const {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end()) return 0;
    const OpenFile& file = *it->second;
    return file.position < file.node->size() ? file.node->size() - file.position : 0;
}

std::uint32_t SimulatedFileSystem::ioTimeout() const {
    std::lock_guard lock(mutex_);
    return ioTimeout_;
}

std::int32_t SimulatedFileSystem::fault(const std::string& operation, const std::string& path) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->operation != operation || (it->path && *it->path != normalized(path))) continue;
        if (it->passing > 0) {
            --it->passing;
            continue;
        }
        std::int32_t status = it->status;
        if (it->failing > 0 && --it->failing == 0) faults_.erase(it);
        return fail(status);
    }
    return 0;
}

std::int32_t SimulatedFileSystem::fail(std::int32_t status) {
    if (status != 0) lastFailure_ = status;
    return status;
}

std::int32_t SimulatedFileSystem::checkFault(const std::string& operation, const std::string& path) {
    std::lock_guard lock(mutex_);
    return fault(operation, path);
}

std::optional<PlistValue::Dictionary> SimulatedFileSystem::lastErrorInfo() const {
    std::lock_guard lock(mutex_);
    if (lastFailure_ == 0 || errorInfo_ == ErrorInfo::None) return std::nullopt;
    PlistValue::Dictionary info{{"Domain", "com.apple.afc"}, {"Code", std::int64_t{lastFailure_}}};
    if (errorInfo_ == ErrorInfo::WithDescription) info["NSLocalizedDescription"] = describe(lastFailure_);
    return info;
}

std::int32_t SimulatedFileSystem::deviceInfo(KeyValues& pairs) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCDeviceInfoOpen", "/")) return status;
    pairs = deviceInfo_;
    return 0;
}

std::int32_t SimulatedFileSystem::fileInfo(const std::string& path, KeyValues& pairs) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCFileInfoOpen", path)) return status;
    std::int32_t status = 0;
    auto r = lookup(path, false, status);
    if (!r) return fail(status);
    if (!r->node) return fail(kNotFound);
    if (auto it = fileInfo_.find(normalized(path)); it != fileInfo_.end()) {
        pairs = it->second;
        return 0;
    }
    const Node& node = *r->node;
    std::uint64_t size = node.size();
    std::uint64_t links = static_cast<std::uint64_t>(node.links);
    if (node.kind == Kind::Directory) {
        size = 34 * (node.children.size() + 2);
        links = 2 + static_cast<std::uint64_t>(std::count_if(
                        node.children.begin(), node.children.end(),
                        [](const auto& entry) { return entry.second->kind == Kind::Directory; }));
    }
    pairs = {{"st_size", std::to_string(size)},
             {"st_blocks", std::to_string((size + 4095) / 4096 * 8)},
             {"st_nlink", std::to_string(links)},
             {"st_ifmt", formatName(node.kind)},
             {"st_mtime", std::to_string(node.modified)},
             {"st_birthtime", std::to_string(node.birth)}};
    if (node.kind == Kind::SymbolicLink) pairs.push_back({"LinkTarget", node.target});
    return 0;
}

std::int32_t SimulatedFileSystem::readDirectory(const std::string& path, std::vector<std::string>& names) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCDirectoryOpen", path)) return status;
    std::int32_t status = 0;
    auto r = lookup(path, true, status);
    if (!r) return fail(status);
    if (!r->node) return fail(kNotFound);
    if (r->node->kind != Kind::Directory) return fail(kNotADirectory);
    names = {".", ".."};
    for (const auto& entry : r->node->children) names.push_back(entry.first);
    names.insert(names.end(), r->node->strayNames.begin(), r->node->strayNames.end());
    return 0;
}

std::int32_t SimulatedFileSystem::makeDirectory(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCDirectoryCreate", path)) return status;
    std::int32_t status = 0;
    auto r = lookup(path, false, status);
    if (!r) return fail(status);
    if (r->node || !r->parent) return fail(kExists);
    if (!newName(r->name)) return fail(kInvalidArgument);
    auto node = std::make_shared<Node>();
    node->kind = Kind::Directory;
    node->links = 1;
    node->birth = node->modified = now();
    r->parent->children.emplace_back(r->name, std::move(node));
    r->parent->modified = now();
    return 0;
}

std::int32_t SimulatedFileSystem::removePath(const std::string& path) { return remove(path, false); }

std::int32_t SimulatedFileSystem::removePathAndContents(const std::string& path) { return remove(path, true); }

std::int32_t SimulatedFileSystem::remove(const std::string& path, bool withContents) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCRemovePath", path)) return status;
    std::int32_t status = 0;
    auto r = lookup(path, false, status);
    if (!r) return fail(status);
    if (!r->parent) return fail(kPermissionDenied);
    if (!r->node) return fail(kNotFound);
    if (r->node->kind == Kind::Directory && withContents) {
        if (auto refused = removeContents(*r->node, normalized(path))) return refused;
    }
    // Devices refuse to remove a directory that still has entries.
    if (r->node->kind == Kind::Directory && !r->node->children.empty()) return fail(kUnknownError);
    --r->node->links;
    r->parent->erase(r->name);
    r->parent->modified = now();
    return 0;
}

// Empties a directory, deepest entries first, without recursion: a tree's depth is the client's
// choice. Called with the lock held.
std::int32_t SimulatedFileSystem::removeContents(Node& top, const std::string& path) {
    std::vector<std::pair<Node*, std::string>> levels{{&top, path}};
    while (!levels.empty()) {
        Node* directory = levels.back().first;
        if (directory->children.empty()) {
            levels.pop_back();
            continue;
        }
        const auto& [name, child] = directory->children.front();
        std::string at = levels.back().second + "/" + name;
        if (child->kind == Kind::Directory && !child->children.empty()) {
            levels.emplace_back(child.get(), std::move(at));
            continue;
        }
        if (auto status = fault("AFCRemovePath", at)) return status;
        --child->links;
        directory->children.erase(directory->children.begin());
        directory->modified = now();
    }
    return 0;
}

std::int32_t SimulatedFileSystem::renamePath(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCRenamePath", from)) return status;
    std::int32_t status = 0;
    auto source = lookup(from, false, status);
    if (!source) return fail(status);
    if (!source->node) return fail(kNotFound);
    if (!source->parent) return fail(kPermissionDenied);
    auto target = lookup(to, false, status);
    if (!target) return fail(status);
    if (!target->parent) return fail(kExists);
    if (target->node == source->node) return 0;
    if (!target->node && !newName(target->name)) return fail(kInvalidArgument);
    if (target->node && (target->node->kind == Kind::Directory || source->node->kind == Kind::Directory))
        return fail(kExists);
    // A directory can't move into itself.
    for (const auto& directory : target->directories) {
        if (directory == source->node) return fail(kInvalidArgument);
    }
    auto node = source->node;
    source->parent->erase(source->name);
    bool replaced = false;
    for (auto& [name, existing] : target->parent->children) {
        if (name == target->name) {
            --existing->links;
            existing = node;
            replaced = true;
        }
    }
    if (!replaced) target->parent->children.emplace_back(target->name, node);
    source->parent->modified = target->parent->modified = now();
    return 0;
}

std::int32_t SimulatedFileSystem::makeLink(std::int64_t type, const std::string& target, const std::string& link) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCLinkPath", link)) return status;
    if (type != 1 && type != 2) return fail(kInvalidArgument);
    std::int32_t status = 0;
    auto at = lookup(link, false, status);
    if (!at) return fail(status);
    if (at->node || !at->parent) return fail(kExists);
    if (!newName(at->name)) return fail(kInvalidArgument);
    std::shared_ptr<Node> node;
    if (type == 1) {
        auto existing = lookup(target, false, status);
        if (!existing) return fail(status);
        if (!existing->node) return fail(kNotFound);
        if (existing->node->kind == Kind::Directory) return fail(kPermissionDenied);
        node = existing->node;
    } else {
        if (target.empty()) return fail(kInvalidArgument);
        node = std::make_shared<Node>();
        node->kind = Kind::SymbolicLink;
        node->target = target;
        node->birth = node->modified = now();
    }
    ++node->links;
    at->parent->children.emplace_back(at->name, std::move(node));
    at->parent->modified = now();
    return 0;
}

std::int32_t SimulatedFileSystem::setModificationTime(const std::string& path, std::uint64_t nanoseconds) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCSetModTime", path)) return status;
    std::int32_t status = 0;
    auto r = lookup(path, true, status);
    if (!r) return fail(status);
    if (!r->node) return fail(kNotFound);
    r->node->modified = nanoseconds;
    return 0;
}

std::int32_t SimulatedFileSystem::openFile(const std::string& path, std::uint64_t mode, std::uint64_t& handle) {
    std::lock_guard lock(mutex_);
    if (auto status = fault("AFCFileRefOpen", path)) return status;
    if (mode < 1 || mode > 3) return fail(kInvalidArgument);
    std::int32_t status = 0;
    auto r = lookup(path, true, status);
    if (!r) return fail(status);
    auto node = r->node;
    if (!node) {
        if (mode == 1) return fail(kNotFound);
        if (!newName(r->name)) return fail(kInvalidArgument);
        node = newFile();
        node->links = 1;
        node->birth = node->modified = now();
        r->parent->children.emplace_back(r->name, node);
        r->parent->modified = now();
    }
    if (node->kind == Kind::Directory) return fail(kIsADirectory);
    if (mode == 2 && node->size() > 0) {
        used_ -= node->bytes.size();
        node->bytes.clear();
        node->unkept = 0;
        node->modified = now();
    }
    handle = nextHandle_++;
    open_[handle] = std::make_unique<OpenFile>(OpenFile{std::move(node), normalized(path), mode, 0});
    return 0;
}

std::shared_ptr<SimulatedFileSystem::Node> SimulatedFileSystem::newFile() {
    auto node = std::make_shared<Node>();
    node->usage = &used_;
    return node;
}

// Whether the file's kept bytes can become `size`: what it gives back is free again for itself.
bool SimulatedFileSystem::fits(const Node& file, std::uint64_t size) const {
    const std::uint64_t others = used_ - file.bytes.size();
    return others <= capacity_ && size <= capacity_ - others;
}

// Accounts for a change of the file's kept bytes from `before`; those it did not keep are kept now.
void SimulatedFileSystem::kept(Node& file, std::uint64_t before) {
    used_ = used_ - before + file.bytes.size();
    file.unkept = 0;
}

SimulatedFileSystem::OpenFile* SimulatedFileSystem::findOpen(std::uint64_t handle) {
    auto it = open_.find(handle);
    return it == open_.end() ? nullptr : it->second.get();
}

std::int32_t SimulatedFileSystem::fileCall(const char* operation, std::uint64_t handle, OpenFile*& file) {
    file = findOpen(handle);
    if (!file) return fail(kInvalidArgument);
    return fault(operation, file->path);
}

std::int32_t SimulatedFileSystem::closeFile(std::uint64_t handle) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefClose", handle, file)) return status;
    if (file->node->lockOwner == handle) file->node->lockOwner = 0;
    open_.erase(handle);
    return 0;
}

std::int32_t SimulatedFileSystem::seek(std::uint64_t handle, std::int64_t offset, std::int64_t whence) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefSeek", handle, file)) return status;
    std::int64_t base = 0;
    if (whence == 1) {
        base = static_cast<std::int64_t>(file->position);
    } else if (whence == 2) {
        base = static_cast<std::int64_t>(file->node->size());
    } else if (whence != 0) {
        return fail(kInvalidArgument);
    }
    std::int64_t position = 0;
    if (__builtin_add_overflow(base, offset, &position) || position < 0) return fail(kInvalidArgument);
    file->position = static_cast<std::uint64_t>(position);
    return 0;
}

std::int32_t SimulatedFileSystem::tell(std::uint64_t handle, std::uint64_t& position) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefTell", handle, file)) return status;
    position = file->position;
    return 0;
}

std::int32_t SimulatedFileSystem::read(std::uint64_t handle, void* buffer, std::uint64_t& count) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefRead", handle, file)) return status;
    if (file->mode == 2) return fail(kPermissionDenied);
    const Node& node = *file->node;
    std::uint64_t available = file->position < node.size() ? node.size() - file->position : 0;
    count = std::min(count, available);
    std::uint64_t kept = file->position < node.bytes.size() ? std::min(count, node.bytes.size() - file->position) : 0;
    if (kept > 0) node.bytes.read(file->position, buffer, kept);
    if (count > kept) std::memset(static_cast<char*>(buffer) + kept, 0, count - kept);
    file->position += count;
    return 0;
}

std::int32_t SimulatedFileSystem::write(std::uint64_t handle, const void* buffer, std::uint64_t count) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefWrite", handle, file)) return status;
    if (file->mode == 1) return fail(kPermissionDenied);
    if (!keepsContents_) {
        Node& node = *file->node;
        if (file->position + count > node.size()) node.unkept = file->position + count - node.bytes.size();
        file->position += count;
        node.modified = now();
        return 0;
    }
    Node& node = *file->node;
    std::uint64_t end = 0;
    if (__builtin_add_overflow(file->position, count, &end)) return fail(kNoSpace);
    const std::uint64_t size = std::max(end, node.size());
    if (!fits(node, size)) return fail(kNoSpace);
    const std::uint64_t before = node.bytes.size();
    try {
        // Changes that either happen whole or not at all, so that a failed write leaves the file
        // as it found it: zeros that were only counted beyond this write are kept first (a
        // write that fits in what is held then needs no memory, and can't fail).
        if (size > end) node.bytes.resize(size);
        node.bytes.write(file->position, buffer, count);
    } catch (const std::exception&) {  // no memory for it, or more than an address holds
        return fail(kNoSpace);
    }
    kept(node, before);
    file->position += count;
    file->node->modified = now();
    return 0;
}

std::int32_t SimulatedFileSystem::setFileSize(std::uint64_t handle, std::uint64_t size) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefSetFileSize", handle, file)) return status;
    if (file->mode == 1) return fail(kPermissionDenied);
    Node& node = *file->node;
    if (!keepsContents_ && size >= node.bytes.size()) {
        node.unkept = size - node.bytes.size();
        node.modified = now();
        return 0;
    }
    if (!fits(node, size)) return fail(kNoSpace);
    const std::uint64_t before = node.bytes.size();
    try {
        node.bytes.resize(size);
    } catch (const std::exception&) {  // no memory for it, or more than an address holds
        return fail(kNoSpace);
    }
    kept(node, before);
    file->node->modified = now();
    return 0;
}

std::int32_t SimulatedFileSystem::lock(std::uint64_t handle) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefLock", handle, file)) return status;
    if (file->node->lockOwner != 0 && file->node->lockOwner != handle) return fail(kBusy);
    file->node->lockOwner = handle;
    return 0;
}

std::int32_t SimulatedFileSystem::unlock(std::uint64_t handle) {
    std::lock_guard lock(mutex_);
    OpenFile* file = nullptr;
    if (auto status = fileCall("AFCFileRefUnlock", handle, file)) return status;
    if (file->node->lockOwner == handle) file->node->lockOwner = 0;
    return 0;
}

void SimulatedFileSystem::dropHandle(std::uint64_t handle) {
    std::lock_guard lock(mutex_);
    if (OpenFile* file = findOpen(handle)) {
        if (file->node->lockOwner == handle) file->node->lockOwner = 0;
        open_.erase(handle);
    }
}

} // namespace keldo
