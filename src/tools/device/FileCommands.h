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
    // Lists each path: a directory by its names, anything else as itself. With several paths,
    // files come first, then each directory under its path; `grouped` asks for that form even
    // for one path (--json of a pattern, so that a script sees one shape).
    int ls(const std::vector<std::string>& paths, bool details, bool grouped = false);
    // Every path under `path`, sorted, directories ending in "/". A symbolic link is shown with
    // its target and not followed. What can't be listed is named and the rest still shown: the
    // result is then kExitPartial.
    int tree(const std::string& path);
    // One path gives one JSON object, several (or `grouped`) an array of them.
    int stat(const std::vector<std::string>& paths, bool grouped = false);
    // With `parents`, missing parents are made first and an existing directory is no failure.
    int mkdir(const std::vector<std::string>& paths, bool parents = false);
    struct Removal {
        bool recursive = false;
        // A path that is not there is no failure, and is not named.
        bool force = false;
        bool preserveRoot = true;
    };
    // Recursive removal walks the tree itself and never follows a symbolic link: the link goes,
    // what it points at stays. A path that names the root is refused (kExitUsage, nothing
    // removed) unless `preserveRoot` is false; then the root's contents go. A path that ends in
    // "." or ".." is refused as GNU rm refuses it.
    int rm(const std::vector<std::string>& paths, const Removal& how);
    // Renames `sources[0]` to `destination`, or moves every source into `destination` when it is
    // a directory. An existing entry at the new name is replaced only when `force` is set;
    // otherwise that source is refused and named, and the others still move. No source may name
    // the root; as destination it is the directory to move into.
    int mv(const std::vector<std::string>& sources, const std::string& destination, bool force = false);
    int ln(const std::string& target, const std::string& link, bool symbolic);
    // Makes an empty file where none is, then sets the modification time.
    int touch(const std::vector<std::string>& paths, const PlistDate& date);
    int cat(const std::vector<std::string>& paths);

    // The library's failure text in words, the call and its code after them (StatusText).
    static std::string explain(const std::string& text);
    // A --date argument (see the touch help); none when it can't be read.
    static std::optional<PlistDate> parseDate(const std::string& text);
    // A directory and a name with one "/" between them.
    static std::string join(const std::string& directory, const std::string& name);
    // Whether a name from a directory listing can be joined to its directory's path: not empty,
    // ".", "..", and without "/" or NUL. Anything else would name another place, so a walk that
    // acts on what it lists must not follow it.
    static bool isSafeName(const std::string& name);
    // Whether a remote path is a directory, or a symbolic link to one.
    static bool isDirectory(AFCDirectoryAccess& afc, const std::string& path);

private:
    // One entry of a tree listing: a directory's path ends in "/"; a symbolic link has a target.
    struct TreeEntry {
        std::string path;
        std::optional<std::string> target;
    };

    int failed(const std::string& command, const std::string& path);
    // The operands with their patterns expanded (RemoteGlob). A pattern that matches nothing is
    // named, unless `quiet`, and sets `status` to a failure.
    std::vector<std::string> expand(const std::string& command, const std::vector<std::string>& operands, bool quiet,
                                     int& status);
    // The message of a removal that failed; a directory that still holds entries says so.
    void removalFailed(const std::string& given, const std::string& path, bool recursive);
    // Whether the library's last failure says that the path is not there.
    bool lastWasNotFound() const;
    // Gathers the tree's entries, depth first; false when any part could not be listed.
    bool walkTree(const std::string& start, std::vector<TreeEntry>& entries);
    bool removeTree(const std::string& path, int depth, bool force, bool& removedAny);

    Console& console_;
    AFCDirectoryAccess& afc_;
    bool json_;
};

} // namespace keldo
