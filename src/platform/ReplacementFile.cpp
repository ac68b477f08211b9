#include "platform/ReplacementFile.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace keldo {

namespace {

constexpr int kNameAttempts = 100;

bool writeFully(int fd, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Gives an unnamed file the name `path`; fails with EEXIST when the name is taken.
bool linkUnnamed(int fd, const std::string& path) {
    // Through /proc no privilege is needed; AT_EMPTY_PATH is for a system without /proc.
    std::string self = fmt::format("/proc/self/fd/{}", fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != ENOENT) return false;
    return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
}

} // namespace

ReplacementFile::ReplacementFile(std::string target) : target_(std::move(target)) {}

ReplacementFile::~ReplacementFile() {
    if (fd_ >= 0) ::close(fd_);  // an unnamed file goes with its last descriptor
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    forgetTemporary();
}

bool ReplacementFile::open() {
    struct stat existing {};
    bool exists = ::stat(target_.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        error_ = EISDIR;
        return false;
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        // Opened without waiting for the other end of a pipe, then written as usual.
        fd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return fail();
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        kind_ = Kind::InPlace;
        return true;
    }
    if (exists) {
        if (char* resolved = ::realpath(target_.c_str(), nullptr)) {
            target_ = resolved;
            std::free(resolved);
        }
    }
    std::size_t slash = target_.rfind('/');
    directory_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target_.substr(0, slash);
    name_ = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    replacing_ = exists;
    mode_t mode = exists ? (existing.st_mode & 07777) : 0666;

    fd_ = openUnnamed(directory_, mode);
    if (fd_ < 0) return openNamed(mode);
    kind_ = Kind::Unnamed;
    // The mode given at the open has the umask taken off; a replaced file keeps its bits.
    if (exists) ::fchmod(fd_, mode);
    return true;
}

int ReplacementFile::openUnnamed(const std::string& directory, mode_t mode) {
    return ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}

bool ReplacementFile::openNamed(mode_t mode) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string candidate = temporaryName();
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return fail();
        fd_ = fd;
        temporary_ = std::move(candidate);
        kind_ = Kind::Named;
        // Tracked once it is ours, so that removing it never touches a file of someone else's.
        ticket_ = TemporaryFiles::track(temporary_);
        if (ticket_ == TemporaryFiles::kNone) {
            error_ = ENFILE;
            return false;  // the destructor removes it
        }
        if (replacing_) ::fchmod(fd, mode);
        return true;
    }
    error_ = EEXIST;
    return false;
}

std::string ReplacementFile::temporaryName() {
    static std::atomic<unsigned> counter{0};
    auto stamp = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    return fmt::format("{}/.{}.keldo-{:x}-{:x}-{:x}", directory_, name_, ::getpid(), counter.fetch_add(1),
                       stamp & 0xFFFFFF);
}

bool ReplacementFile::write(const std::uint8_t* bytes, std::size_t size) {
    if (fd_ < 0) {
        error_ = EBADF;
        return false;
    }
    return writeFully(fd_, bytes, size) || fail();
}

bool ReplacementFile::setModificationTime(const timespec& time) {
    if (kind_ == Kind::InPlace) return true;
    if (fd_ < 0) {
        error_ = EBADF;
        return false;
    }
    const timespec times[2] = {{0, UTIME_OMIT}, time};
    return ::futimens(fd_, times) == 0 || fail();
}

bool ReplacementFile::commit() {
    switch (kind_) {
    case Kind::None:
        error_ = EBADF;
        return false;
    case Kind::InPlace:
        return closeFile();
    case Kind::Named:
        if (!closeFile()) return false;
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) return fail();
        forgetTemporary();
        return true;
    case Kind::Unnamed:
        return linkUnnamedInPlace();
    }
    return false;
}

bool ReplacementFile::linkUnnamedInPlace() {
    // A new target gets its name in one step, which fails rather than replace a file made
    // meanwhile; that one, like an existing target, is replaced by a rename.
    if (!replacing_) {
        if (linkUnnamed(fd_, target_)) {
            if (closeFile()) return true;
            ::unlink(target_.c_str());
            return false;
        }
        if (errno != EEXIST) return fail();
    }
    for (int attempt = 0; attempt < kNameAttempts && temporary_.empty(); ++attempt) {
        std::string candidate = temporaryName();
        if (linkUnnamed(fd_, candidate)) {
            temporary_ = std::move(candidate);
        } else if (errno != EEXIST) {
            return fail();
        }
    }
    if (temporary_.empty()) {
        error_ = EEXIST;
        return false;
    }
    // Named only between the link and the rename; tracked over that moment all the same.
    ticket_ = TemporaryFiles::track(temporary_);
    if (!closeFile()) return false;
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return fail();
    forgetTemporary();
    return true;
}

bool ReplacementFile::closeFile() {
    // Some file systems report a failed write only at the close.
    int result = ::close(fd_);
    fd_ = -1;
    return result == 0 || fail();
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
