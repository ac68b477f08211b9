#include "tools/device/RootedBackend.h"

#include "platform/PathNames.h"

#include <optional>

namespace keldo {

class RootedBackend::Rooted {
public:
    Rooted(const RootedBackend& backend, const char* path) {
        if (path) path_ = backend.under(path);
    }
    const char* get() const { return path_ ? path_->c_str() : nullptr; }

private:
    std::optional<std::string> path_;
};

RootedBackend::RootedBackend(std::shared_ptr<Backend> inner, std::string root)
    : ForwardingBackend(std::move(inner)), root_(PathNames::normalise(root)) {}

void RootedBackend::installOverCurrent(std::string root) {
    Backend::install(std::make_shared<RootedBackend>(Backend::current(), std::move(root)));
}

std::string RootedBackend::under(const std::string& path) const {
    const std::string normal = PathNames::normalise(path);
    if (root_ == "/") return normal;
    return normal == "/" ? root_ : root_ + normal;
}

std::int32_t RootedBackend::afcFileInfoOpen(afc_connection connection, const char* path, afc_dictionary* info) {
    return inner_->afcFileInfoOpen(connection, Rooted(*this, path).get(), info);
}

std::int32_t RootedBackend::afcDirectoryOpen(afc_connection connection, const char* path, afc_directory* directory) {
    return inner_->afcDirectoryOpen(connection, Rooted(*this, path).get(), directory);
}

std::int32_t RootedBackend::afcDirectoryCreate(afc_connection connection, const char* path) {
    return inner_->afcDirectoryCreate(connection, Rooted(*this, path).get());
}

std::int32_t RootedBackend::afcRemovePath(afc_connection connection, const char* path) {
    return inner_->afcRemovePath(connection, Rooted(*this, path).get());
}

std::int32_t RootedBackend::afcRenamePath(afc_connection connection, const char* oldPath, const char* newPath) {
    return inner_->afcRenamePath(connection, Rooted(*this, oldPath).get(), Rooted(*this, newPath).get());
}

std::int32_t RootedBackend::afcLinkPath(afc_connection connection, std::int64_t linkType, const char* target,
                                        const char* linkPath) {
    // A hard link's target is a path like any other; a symbolic link's is text kept as written.
    const Rooted hardTarget(*this, linkType == 1 ? target : nullptr);
    return inner_->afcLinkPath(connection, linkType, linkType == 1 ? hardTarget.get() : target,
                               Rooted(*this, linkPath).get());
}

PlatformObjectRef RootedBackend::afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                              void* context) {
    return inner_->afcOperationCreateSetModTime(under(path), nanoseconds, context);
}

std::int32_t RootedBackend::afcFileRefOpen(afc_connection connection, const char* path, std::uint64_t mode,
                                           afc_file_ref* ref) {
    return inner_->afcFileRefOpen(connection, Rooted(*this, path).get(), mode, ref);
}

} // namespace keldo
