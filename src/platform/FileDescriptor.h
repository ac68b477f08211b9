#pragma once

namespace keldo {

// The one owner of an open file descriptor: closed once, by close() or at the end, never twice;
// moved, not copied.
class FileDescriptor {
public:
    FileDescriptor() = default;
    // Takes `fd` over; a negative one holds nothing.
    explicit FileDescriptor(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Closes now; false (errno set) when the close reports a failure, such as a write that a
    // file system reports only then. The descriptor is gone either way.
    [[nodiscard]] bool close() noexcept;

private:
    int release() noexcept;

    int fd_ = -1;
};

} // namespace keldo
