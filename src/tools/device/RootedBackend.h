#pragma once

#include "platform/mobiledevice/ForwardingBackend.h"

#include <memory>
#include <string>

namespace keldo {

// The platform under keldo-device --app: the AFC calls see one directory of the device's file
// system as its root, as ifuse --documents shows an app's Documents folder. Every path that a
// call passes goes under that directory once it is in its lexical normal form, so ".." never
// leads above it; what the device answers (names, link targets) comes back as it is, and so
// does a symbolic link's target text.
class RootedBackend : public ForwardingBackend {
public:
    RootedBackend(std::shared_ptr<Backend> inner, std::string root);

    // Puts a rooted backend in front of the installed one.
    static void installOverCurrent(std::string root);

    // Where a path of the callers' lies on the device.
    std::string under(const std::string& path) const;

    std::int32_t afcFileInfoOpen(afc_connection, const char* path, afc_dictionary* info) override;
    std::int32_t afcDirectoryOpen(afc_connection, const char* path, afc_directory* directory) override;
    std::int32_t afcDirectoryCreate(afc_connection, const char* path) override;
    std::int32_t afcRemovePath(afc_connection, const char* path) override;
    std::int32_t afcRenamePath(afc_connection, const char* oldPath, const char* newPath) override;
    std::int32_t afcLinkPath(afc_connection, std::int64_t linkType, const char* target, const char* linkPath) override;
    PlatformObjectRef afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                   void* context) override;
    std::int32_t afcFileRefOpen(afc_connection, const char* path, std::uint64_t mode, afc_file_ref* ref) override;

private:
    // A null path stays null, for the layer below to refuse.
    class Rooted;

    const std::string root_;
};

} // namespace keldo
