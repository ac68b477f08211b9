#include "tools/devsim/SocketDirectory.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace keldo {

bool SocketDirectory::prepare(const std::string& path, uid_t owner, std::string& error) {
    struct stat status {};
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = fmt::format("can't make {}: {}", path, std::strerror(errno));
        return false;
    }
    // Not followed: a link could lead anywhere, whoever owns it.
    if (::lstat(path.c_str(), &status) != 0) {
        error = fmt::format("{}: {}", path, std::strerror(errno));
        return false;
    }
    const char* why = nullptr;
    if (!S_ISDIR(status.st_mode)) {
        why = "is not a directory";
    } else if (status.st_uid != owner) {
        error = fmt::format("{} belongs to another user (uid {}); remove it, or give --socket PATH", path, status.st_uid);
        return false;
    } else if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        why = "can be written by other users";
    }
    if (why) {
        error = fmt::format("{} {}; remove it, or give --socket PATH", path, why);
        return false;
    }
    return true;
}

} // namespace keldo
