#include "platform/FileDescriptor.h"

#include <unistd.h>

namespace keldo {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

bool FileDescriptor::close() noexcept {
    // Linux frees the number whatever close returns: trying again could close another's.
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

int FileDescriptor::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

} // namespace keldo
