#pragma once

#include "platform/FileDescriptor.h"
#include "platform/plist/PlistValue.h"
#include "tools/device/FileTime.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class Console;

// Decides what a push or pull moves where, before anything moves: the sources walked (local ones
// on this computer, remote ones by the device's listings), each item with its destination by cp's
// rules, parents first and in path order, and the second source of one destination marked to be
// refused. An operand that can't be planned ends the job with its message and exit code.
class TransferPlanner {
public:
    using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;
    struct Item {
        enum class Kind { Directory, File, Link };
        Kind kind;
        std::string remote;
        std::string local;
        std::uint64_t size = 0;
        std::string linkTarget;
        std::optional<FileTime> time;
        // Named on the command line: a local link in its place is followed, as cp follows one.
        bool named = false;
        // A directory that is there already: the one the sources are copied into.
        bool known = false;
        // Another source goes to the same name before it: refused, as cp refuses it.
        bool duplicate = false;
        // Nothing stands at the remote destination as the plan looked: it need not be asked again.
        bool absent = false;
        // A local file as the plan saw it (device, inode): what a push reads must be that file.
        FileIdentity seen{};
    };
    using Info = PlistValue::Dictionary;

    TransferPlanner(Console& console, AFCDirectoryAccess& afc);

    // kExitSuccess with the plan in items(), or the exit code after the message.
    [[nodiscard]] int push(const std::vector<std::string>& locals, const std::string& remote);
    // REMOTE may be a pattern (RemoteGlob); its matches are the sources. The local directory to
    // copy into, when LOCAL is one, is opened once and kept in localTarget().
    [[nodiscard]] int pull(const std::vector<std::string>& remotes, const std::string& local);

    // Asks the information of the paths a pull finds in a directory before it walks them, e.g.
    // over several connections at once: each slot left empty is asked again in the walk, so its
    // failure is told as the walk's own.
    using LookUp = std::function<void(const std::vector<std::string>& paths, std::vector<std::optional<Info>>& infos)>;
    void lookUpWith(LookUp lookUp) { lookUp_ = std::move(lookUp); }

    const std::vector<Item>& items() const { return items_; }
    FileDescriptor& localTarget() { return localTarget_; }

    // A remote path's information as the device gives it (times in nanoseconds); none when it
    // can't be had, `missing` telling whether the path is not there, the library's lastError the
    // failure.
    [[nodiscard]] static std::optional<Info> remoteInfo(AFCDirectoryAccess& afc, const std::string& path,
                                                        bool& missing);
    static std::string typeOf(const Info& info);
    static std::uint64_t sizeOf(const Info& info);
    static const PlistValue* entryOf(const Info& info, const char* key);
    // Whether `path` lies inside the directory `directory` (not the directory itself).
    static bool isUnder(const std::string& path, const std::string& directory);

private:
    // Adds the local path and, for a directory, everything in it to the plan, parents first.
    [[nodiscard]] bool planLocal(const std::string& local, const std::string& remote, int depth,
                                 std::vector<FileIdentity>& enclosing);
    // Adds the remote path and, for a directory, everything in it to the plan, parents first.
    [[nodiscard]] bool planRemote(const std::string& remote, const std::string& local, int depth);
    // Marks each file or link whose destination an item before it has (two sources of one name
    // into one directory): the first copy is never replaced by the second. Directories merge.
    void markDuplicates(bool pushing);
    // A link counts as the directory it leads to; its names are kept for the walk.
    bool isRemoteDirectory(const std::string& path, const Info& info,
                           std::optional<std::vector<std::string>>& names);
    bool failedLocal(const std::string& path, const std::string& why);
    int failedRemote(const std::string& command, const std::string& path);

    Console& console_;
    AFCDirectoryAccess& afc_;
    std::vector<Item> items_;
    FileDescriptor localTarget_;
    LookUp lookUp_;
    // What lookUp_ brought, taken by the walk.
    std::map<std::string, Info> known_;
};

} // namespace keldo
