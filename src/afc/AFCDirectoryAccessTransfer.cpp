// AFCDirectoryAccess: whole-file transfer between the local file system and the device.
#include "afc/AFCDirectoryAccess.h"

#include "afc/AFCFileReference.h"
#include "platform/FileDescriptor.h"
#include "platform/NotificationCenter.h"
#include "platform/ReplacementFile.h"
#include "platform/SystemLog.h"
#include "platform/Utf8.h"

#include <fmt/format.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace keldo {

namespace {

// The longest symbolic-link text that is copied; a longer one is cut.
constexpr std::size_t kLinkTextLength = 1025;

std::string errorText(int error) { return std::generic_category().message(error); }

// Opens without waiting for the other end of a pipe (a pipe without a writer reads as ended, one
// without a reader can't be opened for writing), then reads and writes block as usual.
int openWithoutWaiting(const char* path, int flags) {
    int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Reads until `size` bytes or the end of the file; -1 on a failure (errno tells it).
ssize_t readFully(int fd, std::uint8_t* buffer, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// A path's last component; a trailing "/" is not one.
std::string lastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A directory and a name with exactly one "/" between them.
std::string joined(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

// The names in a local directory in the order it lists them, without "." and ".."; none when
// it can't be read.
std::vector<std::string> localNames(const std::string& path) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), ::closedir);
    if (!directory) return names;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    return names;
}

} // namespace

bool AFCDirectoryAccess::copyLocalFileToRemoteFile(const Path& localPath, const Path& remotePath) {
    if (!given(localPath, "Local path is nil")) return false;
    if (!given(remotePath, "Remote path is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    if (fileExistsAtPath(remotePath)) {
        setLastError("Won't overwrite existing file");
        return false;
    }
    FileDescriptor source(openWithoutWaiting(localPath->c_str(), O_RDONLY));
    if (!source) {
        setLastError("Can't open input file");
        return false;
    }
    struct stat info {};
    if (::fstat(source.get(), &info) != 0) {
        setLastError(fmt::format("Can't get the size of the input file: {}", errorText(errno)));
        return false;
    }
    // A directory opens for reading but has no bytes to give.
    if (S_ISDIR(info.st_mode)) {
        setLastError("Can't open input file");
        return false;
    }
    const std::size_t chunkSize = uploadChunk_;
    std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow) std::uint8_t[chunkSize]);
    if (!chunk) {
        setLastError("Can't allocate the upload buffer");
        return false;
    }

    // One dictionary for the upload, updated between posts. An observer that keeps it gets it as
    // it stood: the next update then goes to a copy, so what was handed out never changes.
    NotificationCenter& center = NotificationCenter::defaultCenter();
    auto progress = std::make_shared<PlistValue>(PlistValue::Dictionary{
        {"Source", *localPath}, {"Target", *remotePath}, {"Size", std::int64_t{info.st_size}}});
    Notification note{"", this, nullptr};
    auto post = [&](const char* name) {
        note.name = name;  // reuses the string's room: no allocation per chunk
        note.userInfo = progress;
        center.post(note);
        note.userInfo.reset();
    };
    auto setDone = [&](std::int64_t done) {
        if (progress.use_count() > 1) progress = std::make_shared<PlistValue>(*progress);
        progress->dictionary()->insert_or_assign("Done", done);
    };
    post(kAFCFileCopyBegin);

    std::shared_ptr<AFCFileReference> target = openForWrite(remotePath);
    if (!target) return false;
    // A partial file under the target's name would look complete to anyone who lists it: a
    // failure from here on removes it, and keeps its own text.
    auto abandon = [&](std::string failure) {
        setLastError(std::move(failure));
        (void)target->closeFile();
        if (*_afc) (void)AFCRemovePath(*_afc, remotePath->c_str());
        return false;
    };
    std::int64_t done = 0;
    for (;;) {
        setDone(done);
        post(kAFCFileCopyProgress);
        ssize_t got = readFully(source.get(), chunk.get(), chunkSize);
        if (got < 0) return abandon(fmt::format("Can't read input file: {}", errorText(errno)));
        if (got == 0) break;
        if (!target->writeNSData({chunk.get(), static_cast<std::size_t>(got)}))
            return abandon(target->lasterror().value_or("AFCFileRefWrite failed"));
        done += got;
    }
    // Some devices report a write that failed only when the file is closed.
    if (!target->closeFile()) return abandon(target->lasterror().value_or("AFCFileRefClose failed"));
    post(kAFCFileCopyDone);
    return true;
}

bool AFCDirectoryAccess::copyLocalFileToRemoteDir(const Path& localPath, const Path& remoteDirectory) {
    if (!given(localPath, "Local path is nil")) return false;
    if (!given(remoteDirectory, "Remote path is nil")) return false;
    std::vector<FileIdentity> enclosing;
    return copyTree(*localPath, *remoteDirectory, enclosing);
}

bool AFCDirectoryAccess::copyTree(const std::string& localPath, const std::string& remoteDirectory,
                                  std::vector<FileIdentity>& enclosing) {
    struct stat info {};
    if (::stat(localPath.c_str(), &info) != 0) return false;  // missing, or a dangling link
    std::string remotePath = joined(remoteDirectory, lastComponent(localPath));
    if (!S_ISDIR(info.st_mode)) {
        char text[kLinkTextLength];
        ssize_t length = ::readlink(localPath.c_str(), text, sizeof text);
        if (length >= 1) {
            // Made again on the device, not followed. The device takes link texts as UTF-8 only.
            std::string target(text, static_cast<std::size_t>(length));
            return symlinkTo(remotePath, Utf8::isValid(target) ? Path(std::move(target)) : std::nullopt);
        }
        return copyLocalFileToRemoteFile(localPath, remotePath);
    }
    // A link back to a directory being copied would copy it into itself without end.
    FileIdentity identity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    if (std::find(enclosing.begin(), enclosing.end(), identity) != enclosing.end()) {
        setLastError(fmt::format("Link to an enclosing directory at {}", localPath));
        return false;
    }
    if (!mkdir(remotePath)) return false;
    enclosing.push_back(identity);
    bool copied = true;
    for (const std::string& name : localNames(localPath)) {
        if (!copyTree(joined(localPath, name), remotePath, enclosing)) {
            logLine("failed on {}/{}: {}", localPath, name, lastError().value_or("(null)"));
            copied = false;
            break;
        }
    }
    enclosing.pop_back();
    return copied;
}

bool AFCDirectoryAccess::copyRemoteFileToLocalFile(const Path& remotePath, const Path& localPath) {
    if (!given(remotePath, "Remote path is nil")) return false;
    if (!given(localPath, "Local path is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    std::shared_ptr<AFCFileReference> source = openForRead(remotePath);
    if (!source) return false;
    // One buffer for the whole download: every chunk goes from the platform into it and from it
    // to the local file.
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kDownloadBuffer]);
    if (!buffer) {
        setLastError("Can't allocate the download buffer");
        return false;
    }
    // As the platform's copy does: what is there is replaced, a link as target written through.
    ReplacementFile output(*localPath, {true, true, true});
    if (!output.open()) {
        setLastError("Can't open output file");
        return false;
    }
    for (;;) {
        std::uint64_t got = source->readNBytes(kDownloadBuffer, buffer.get());
        if (got == 0) {
            // The end of the file and a failed read both give 0; only the failure leaves a text.
            if (auto failure = source->lasterror()) {
                setLastError(*failure);
                return false;
            }
            break;
        }
        if (!output.write(buffer.get(), static_cast<std::size_t>(got))) {
            setLastError(fmt::format("Can't write output file: {}", errorText(output.error())));
            return false;
        }
    }
    buffer.reset();
    if (!output.commit()) {
        setLastError(fmt::format("Can't write output file: {}", errorText(output.error())));
        return false;
    }
    clearLastError();
    (void)source->closeFile();
    return true;
}

} // namespace keldo
