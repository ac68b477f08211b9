#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace keldo {

class AFCDirectoryAccess;
class Console;

// push and pull: whole files and trees between this computer and the device, with one overall
// progress display. Uploads are the library's tree upload, followed through its progress
// notifications; downloads walk the remote tree here and download file by file. A failure stops
// the transfer (what was copied stays) and is reported with the path that failed; a tree that
// was transferred in part exits with kExitPartial. Ctrl-C stops an upload at its next chunk (the
// file in flight stays incomplete on the device) and a download before its next file (the library
// replaces a local file only once its download is complete); Interrupt ends the process when that
// takes longer than its grace period, with the report kept up to date here.
class Transfer {
public:
    Transfer(Console& console, AFCDirectoryAccess& afc, bool showProgress);

    int push(const std::vector<std::string>& locals, const std::string& remoteDirectory);
    int pull(const std::string& remote, const std::string& local);

private:
    struct Item {
        enum class Kind { Directory, File, Link };
        Kind kind;
        std::string remote;
        std::string local;
        std::uint64_t size = 0;
        std::string linkTarget;
    };

    // Adds the remote path and, for a directory, everything in it to the plan, parents first.
    bool plan(const std::string& remote, const std::string& local, int depth, std::vector<Item>& items);
    bool fetch(const Item& item, bool inTree);
    int failedRemote(const std::string& command, const std::string& path);
    // The failure's text, saying so when the device does not answer any more.
    std::string withDeviceState(const std::string& text);

    Console& console_;
    AFCDirectoryAccess& afc_;
    bool showProgress_;
};

} // namespace keldo
