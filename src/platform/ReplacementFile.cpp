#include "platform/ReplacementFile.h"

#include "platform/PathNames.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <optional>
#include <utility>

namespace keldo {

namespace {

constexpr int kNameAttempts = 100;
// As many links in a row as the kernel follows in a path.
constexpr int kMostLinks = 40;

// All the bytes, at the file's offset, or at `offset` when one is given (which leaves the file's
// own alone, so that threads can write their ranges at once).
bool writeFully(int fd, const std::uint8_t* bytes, std::size_t size, std::optional<std::uint64_t> offset = {}) {
    while (size > 0) {
        const ssize_t n = offset ? ::pwrite(fd, bytes, size, static_cast<off_t>(*offset)) : ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
        if (offset) *offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// All of `from` into `to`, in the kernel where it can, else through a buffer.
bool copyAll(int from, int to) {
    loff_t offset = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(from, &offset, to, nullptr, std::size_t{1} << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
        break;
    }
    std::uint8_t buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::pread(from, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!writeFully(to, buffer, static_cast<std::size_t>(n))) return false;
        offset += n;
    }
}

// The directory part and the name of a path, trailing slashes aside.
std::pair<std::string, std::string> splitPath(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

} // namespace

ReplacementFile::ReplacementFile(int directory, std::string name, Options options)
    : givenDirectory_(directory), options_(options), name_(std::move(name)) {}

ReplacementFile::ReplacementFile(const std::string& path, Options options) : path_(path), options_(options) {}

ReplacementFile::~ReplacementFile() {
    file_ = FileDescriptor();  // an unnamed file goes with its last descriptor
    if (!temporary_.empty()) ::unlinkat(directory_.get(), temporary_.c_str(), 0);
    forgetTemporary();
}

bool ReplacementFile::open() {
    if (kind_ != Kind::None) {
        error_ = EBUSY;
        return false;
    }
    if (!path_.empty()) {
        auto [directory, name] = splitPath(path_);
        directory_ = FileDescriptor(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        name_ = std::move(name);
    } else {
        directory_ = FileDescriptor(::fcntl(givenDirectory_, F_DUPFD_CLOEXEC, 0));
    }
    if (!directory_) return fail();
    if (!lookAtTarget()) return false;
    if (existing_ && S_ISDIR(existing_->st_mode)) {
        error_ = EISDIR;
        return false;
    }
    const bool special = existing_ && !S_ISREG(existing_->st_mode) && !S_ISLNK(existing_->st_mode);
    if (special && options_.replace && options_.intoSpecial) {
        if (!openInPlace()) return false;
        if (kind_ == Kind::InPlace) return true;
    }
    keepMode_ = existing_ && S_ISREG(existing_->st_mode);
    mode_ = keepMode_ ? existing_->st_mode & 07777 : 0666;
    file_ = FileDescriptor(openUnnamed(directory_.get(), mode_));
    if (!file_) return openNamed();
    kind_ = Kind::Unnamed;
    // The mode given at the open has the umask taken off; a replaced file keeps its bits.
    if (keepMode_ && ::fchmod(file_.get(), mode_) != 0) return fail();
    return true;
}

bool ReplacementFile::lookAtTarget() {
    for (int hop = 0; hop <= kMostLinks; ++hop) {
        struct stat seen {};
        if (::fstatat(directory_.get(), name_.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return fail();
            existing_.reset();
            return true;
        }
        existing_ = seen;
        if (!S_ISLNK(seen.st_mode) || !options_.followLink) return true;
        char text[PATH_MAX];
        const ssize_t length = ::readlinkat(directory_.get(), name_.c_str(), text, sizeof text);
        if (length < 0) return fail();
        if (static_cast<std::size_t>(length) >= sizeof text) {
            error_ = ENAMETOOLONG;
            return false;
        }
        const std::string target(text, static_cast<std::size_t>(length));
        const std::size_t slash = target.rfind('/');
        const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
        if (name.empty() || name == "." || name == "..") {
            error_ = EISDIR;  // a link that names a directory as one
            return false;
        }
        if (slash != std::string::npos) {
            const std::string directory = slash == 0 ? "/" : target.substr(0, slash);
            const int base = target[0] == '/' ? AT_FDCWD : directory_.get();
            FileDescriptor next(::openat(base, directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!next) return fail();
            directory_ = std::move(next);
        }
        name_ = name;
    }
    error_ = ELOOP;
    return false;
}

bool ReplacementFile::openInPlace() {
    // Opened without waiting for the other end of a pipe, then written as usual.
    FileDescriptor fd(::openat(directory_.get(), name_.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return fail();
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) return fail();
    // A regular file that took its place meanwhile is replaced as one, not written over.
    if (S_ISREG(opened.st_mode)) {
        existing_ = opened;
        return true;
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    file_ = std::move(fd);
    kind_ = Kind::InPlace;
    return true;
}

int ReplacementFile::openUnnamed(int directory, mode_t mode) {
    return ::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

bool ReplacementFile::linkUnnamed(int fd, int directory, const std::string& name) {
    // Through /proc no privilege is needed; AT_EMPTY_PATH is for a system without /proc.
    const std::string self = fmt::format("/proc/self/fd/{}", fd);
    if (::linkat(AT_FDCWD, self.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != ENOENT) return false;
    return ::linkat(fd, "", directory, name.c_str(), AT_EMPTY_PATH) == 0;
}

std::string ReplacementFile::nextTemporaryName() { return PathNames::temporaryName(name_); }

bool ReplacementFile::openNamed() {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string candidate = nextTemporaryName();
        // Tracked before it exists, so that no signal falls between the making and the tracking;
        // the name is this process's own, and O_EXCL makes sure that what is removed is ours.
        ticket_ = TemporaryFiles::track(directory_.get(), candidate);
        if (ticket_ == TemporaryFiles::kNone) {
            error_ = ENFILE;
            return false;
        }
        FileDescriptor fd(::openat(directory_.get(), candidate.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_));
        if (!fd) {
            const int error = errno;
            forgetTemporary();
            if (error == EEXIST) continue;
            error_ = error;
            return false;
        }
        file_ = std::move(fd);
        temporary_ = std::move(candidate);
        kind_ = Kind::Named;
        if (keepMode_ && ::fchmod(file_.get(), mode_) != 0) return fail();
        return true;
    }
    error_ = EEXIST;
    return false;
}

bool ReplacementFile::write(const std::uint8_t* bytes, std::size_t size) {
    if (!file_) {
        error_ = EBADF;
        return false;
    }
    return writeFully(file_.get(), bytes, size) || fail();
}

bool ReplacementFile::writesAnywhere() const { return file_ && (kind_ == Kind::Unnamed || kind_ == Kind::Named); }

int ReplacementFile::writeAt(const std::uint8_t* bytes, std::size_t size, std::uint64_t offset) const {
    if (!writesAnywhere()) return EBADF;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - size) return EFBIG;
    return writeFully(file_.get(), bytes, size, offset) ? 0 : errno;
}

bool ReplacementFile::setModificationTime(const timespec& time) {
    if (kind_ == Kind::InPlace) return true;
    if (!file_) {
        error_ = EBADF;
        return false;
    }
    time_ = time;
    const timespec times[2] = {{0, UTIME_OMIT}, time};
    return ::futimens(file_.get(), times) == 0 || fail();
}

bool ReplacementFile::commit() {
    switch (kind_) {
    case Kind::None:
        error_ = EBADF;
        return false;
    case Kind::InPlace:
        // Some file systems report a failed write only at the close.
        return file_.close() || fail();
    case Kind::Named:
        if (!file_.close()) return fail();
        return placeNamed();
    case Kind::Unnamed:
        return commitUnnamed();
    }
    return false;
}

bool ReplacementFile::commitUnnamed() {
    if (!options_.replace) {
        // One step that fails rather than replace what came meanwhile.
        if (linkUnnamed(file_.get(), directory_.get(), name_)) {
            if (file_.close()) return true;
            const int error = errno;
            ::unlinkat(directory_.get(), name_.c_str(), 0);  // the name was free: it is ours
            error_ = error;
            return false;
        }
        if (errno == EEXIST) return fail();
        return copyToNamed() && placeNamed();
    }
    // Named beside the target first, then renamed over it in one step.
    for (int attempt = 0; attempt < kNameAttempts && temporary_.empty(); ++attempt) {
        std::string candidate = nextTemporaryName();
        ticket_ = TemporaryFiles::track(directory_.get(), candidate);
        if (ticket_ == TemporaryFiles::kNone) {
            error_ = ENFILE;
            return false;
        }
        if (linkUnnamed(file_.get(), directory_.get(), candidate)) {
            temporary_ = std::move(candidate);
            break;
        }
        const int error = errno;
        forgetTemporary();
        if (error != EEXIST) return copyToNamed() && placeNamed();
    }
    if (temporary_.empty()) {
        error_ = EEXIST;
        return false;
    }
    if (!file_.close()) return fail();
    return placeNamed();
}

bool ReplacementFile::copyToNamed() {
    FileDescriptor unnamed = std::move(file_);
    if (!openNamed()) return false;
    if (!copyAll(unnamed.get(), file_.get())) return fail();
    if (time_) {
        const timespec times[2] = {{0, UTIME_OMIT}, *time_};
        if (::futimens(file_.get(), times) != 0) return fail();
    }
    return file_.close() || fail();
}

bool ReplacementFile::placeNamed() {
    if (options_.replace) {
        if (::renameat(directory_.get(), temporary_.c_str(), directory_.get(), name_.c_str()) != 0) return fail();
        forgetTemporary();
        return true;
    }
    if (::renameat2(directory_.get(), temporary_.c_str(), directory_.get(), name_.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return fail();
        // A file system without that flag: a second name, which fails when the name is taken.
        if (::linkat(directory_.get(), temporary_.c_str(), directory_.get(), name_.c_str(), 0) != 0) return fail();
        ::unlinkat(directory_.get(), temporary_.c_str(), 0);
    }
    forgetTemporary();
    return true;
}

bool ReplacementFile::fail() {
    error_ = errno;
    return false;
}

void ReplacementFile::forgetTemporary() {
    TemporaryFiles::untrack(ticket_);
    ticket_ = TemporaryFiles::kNone;
    temporary_.clear();
}

} // namespace keldo
