#pragma once

#include "platform/plist/PlistValue.h"

#include <optional>
#include <string>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class Console;
struct Invocation;

// The commands on a device's AFC file system, except the transfers: information, listings, path
// operations and file contents. Each returns the tool's exit code; a failure is one line on
// standard error naming the command, the path and the library's text. Commands given several
// paths carry on past a failed one and fail at the end.
class FileCommands {
public:
    FileCommands(Console& console, AFCDirectoryAccess& afc, bool json);

    // The command that the invocation names.
    int run(const Invocation& invocation);

    int devinfo();
    int ls(const std::string& path, bool details);
    // Every path under `path`, sorted, directories ending in "/". A symbolic link is shown with
    // its target and not followed. What can't be listed is named and the rest still shown: the
    // result is then kExitPartial.
    int tree(const std::string& path);
    int stat(const std::vector<std::string>& paths);
    int mkdir(const std::vector<std::string>& paths);
    // Recursive removal walks the tree itself and never follows a symbolic link: the link goes,
    // what it points at stays. A path that names the root is refused (kExitUsage, nothing
    // removed) unless `preserveRoot` is false; then the root's contents go.
    int rm(const std::vector<std::string>& paths, bool recursive, bool preserveRoot = true);
    // Neither operand may name the root.
    int mv(const std::string& from, const std::string& to);
    int ln(const std::string& target, const std::string& link, bool symbolic);
    // Makes an empty file where none is, then sets the modification time.
    int touch(const std::vector<std::string>& paths, const PlistDate& date);
    int cat(const std::vector<std::string>& paths);

    // The library's AFC status text, followed by what the device's status code means.
    static std::string explain(const std::string& text);
    // A --date argument (see the touch help); none when it can't be read.
    static std::optional<PlistDate> parseDate(const std::string& text);
    // A directory and a name with one "/" between them.
    static std::string join(const std::string& directory, const std::string& name);
    // A remote path in its lexical normal form: absolute, without empty, "." and ".." parts
    // (".." above the root stays at the root); the root is "/".
    static std::string normalise(const std::string& path);

private:
    // One entry of a tree listing: a directory's path ends in "/"; a symbolic link has a target.
    struct TreeEntry {
        std::string path;
        std::optional<std::string> target;
    };

    int failed(const std::string& command, const std::string& path);
    // Gathers the tree's entries, depth first; false when any part could not be listed.
    bool walkTree(const std::string& start, std::vector<TreeEntry>& entries);
    bool removeTree(const std::string& path, int depth, bool& removedAny);

    Console& console_;
    AFCDirectoryAccess& afc_;
    bool json_;
};

} // namespace keldo
