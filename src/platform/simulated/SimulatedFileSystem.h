#pragma once

#include "platform/plist/PlistValue.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

// A device's AFC file system held in memory: directories, files, symbolic and hard links, birth and
// modification times in nanoseconds, locks, the device-information pairs, and the error information
// of the last failure. It knows nothing of the platform's handles or calls: the simulated backend
// serves it in-process and the device simulator program serves it over the AFC wire protocol.
//
// Paths are absolute or relative to the root; "." and ".." work as on the device, and symbolic
// links are followed except in the last component of an operation that acts on the link itself
// (file information, removal, renaming). Statuses are the AFC protocol's codes, 0 being success.
// A test makes any operation fail with one line of set-up (see Fault).
class SimulatedFileSystem {
public:
    enum class Kind { Directory, File, SymbolicLink };

    // One pair of an information listing; a null key or value ends the listing for the reader.
    struct KeyValue {
        std::optional<std::string> key;
        std::optional<std::string> value;
    };
    using KeyValues = std::vector<KeyValue>;

    // Makes calls of `operation` fail with `status`, doing nothing: only those on one path when
    // onPath is given, the first `after` matching calls passing, then `times` calls failing (< 0:
    // all). Operations are named by the framework calls that reach them: "AFCDeviceInfoOpen",
    // "AFCFileInfoOpen", "AFCKeyValueRead", "AFCDirectoryOpen", "AFCDirectoryRead",
    // "AFCDirectoryCreate", "AFCRemovePath" (every path a removal reaches, a recursive one's too),
    // "AFCRenamePath" (the old path), "AFCLinkPath" (the link's path), "AFCSetModTime" (the
    // set-modification-time operation's own result),
    // "AFCFileRefOpen" and the file calls "AFCFileRefRead", "AFCFileRefWrite", ... (the opened path).
    // So "the third read fails" is inject(Fault("AFCFileRefRead", 20).after(2)).
    struct Fault {
        Fault(std::string operation, std::int32_t status) : operation(std::move(operation)), status(status) {}
        Fault& onPath(std::string p) { path = std::move(p); return *this; }
        Fault& after(int calls) { passing = calls; return *this; }
        Fault& times(int calls) { failing = calls; return *this; }

        std::string operation;
        std::int32_t status;
        std::optional<std::string> path;
        int passing = 0;
        int failing = 1;
    };

    // What the connection's last-error information holds after a failure.
    enum class ErrorInfo { WithDescription, WithoutDescription, None };

    static constexpr std::int32_t kUnknownError = 1;
    static constexpr std::int32_t kNotADirectory = 4;  // the protocol's read error, as devices answer it
    static constexpr std::int32_t kInvalidArgument = 7;
    static constexpr std::int32_t kNotFound = 8;
    static constexpr std::int32_t kIsADirectory = 9;
    static constexpr std::int32_t kPermissionDenied = 10;
    static constexpr std::int32_t kExists = 16;
    static constexpr std::int32_t kBusy = 17;
    // Symbolic links followed within one path, as the device's kernel allows.
    static constexpr int kMaxLinkHops = 32;
    // The device's limits, in bytes: a name's, and a path's with its terminating NUL (iOS's
    // PATH_MAX). An operation given a path beyond them, or asked to make a name that is not valid
    // UTF-8, answers kInvalidArgument and changes nothing: AFC has no status of its own for either,
    // and clients take the unknown error of a removal for "directory not empty". Set-up is not
    // held to them (see also setKeepsLimits).
    static constexpr std::size_t kMaxName = 255;
    static constexpr std::size_t kMaxPath = 1024;

    SimulatedFileSystem();
    ~SimulatedFileSystem();
    SimulatedFileSystem(const SimulatedFileSystem&) = delete;
    SimulatedFileSystem& operator=(const SimulatedFileSystem&) = delete;

    // Set-up: missing parent directories are made; an existing entry of the name is replaced.
    void addDirectory(const std::string& path);
    void addFile(const std::string& path, std::string contents = {});
    void addSymbolicLink(const std::string& path, std::string target);
    // A second name for an existing file (or link).
    void addHardLink(const std::string& path, const std::string& existing);
    // A name that the directory's listing gives though no entry holds it, as a confused or hostile
    // device may list one: empty, ".", "..", or holding a "/" that makes it a path elsewhere.
    void addStrayName(const std::string& directory, std::string name);
    void setTimes(const std::string& path, std::uint64_t birthNanoseconds, std::uint64_t modificationNanoseconds);
    // The time given to what is made or written from now on (nanoseconds since 1970).
    void setClock(std::uint64_t nanoseconds);
    // What is made or written from now on carries the system's time, as on a device.
    void followSystemClock();
    void setDeviceInfo(KeyValues pairs);
    // What the information query of `path` answers from now on, in place of the real entries.
    void setFileInfo(const std::string& path, KeyValues pairs);
    void inject(Fault fault);
    void clearFaults();
    void setErrorInfo(ErrorInfo mode);
    void setIOTimeout(std::uint32_t seconds);
    // Whether written bytes are kept (the default) or only counted: while they are not, a write
    // grows its file without holding the bytes, which read back as zeros. For gigabyte transfers.
    void setKeepsContents(bool keeps);
    // Whether the device's operations hold to its limits (the default) or take any name and path,
    // as a confused or hostile device may: for what a client does with a tree deeper than a
    // device's paths reach.
    void setKeepsLimits(bool keeps);
    // The most that all files together may hold (1 GiB unless set): a write or a size change
    // that would go beyond it answers "no space left", as a full device would, and changes
    // nothing. A file's bytes are free again once its last name and handle are gone. Bytes
    // that are only counted (see setKeepsContents) take no space.
    void setCapacity(std::uint64_t bytes);

    // Inspection. A path that names nothing gives none; links are not followed, except by contents.
    std::optional<Kind> kind(const std::string& path) const;
    std::optional<std::string> contents(const std::string& path) const;
    std::optional<std::string> linkTarget(const std::string& path) const;
    std::optional<std::uint64_t> modificationTime(const std::string& path) const;
    std::vector<std::string> names(const std::string& path) const;
    bool isLocked(const std::string& path) const;
    std::size_t openFiles() const;
    // Bytes from an open file's position to its end (0 for no such handle), with no fault applied:
    // what a read could bring at most.
    std::uint64_t remaining(std::uint64_t handle) const;
    std::uint32_t ioTimeout() const;

    // The device's operations. Each answers a status and, on failure, leaves the error information.
    [[nodiscard]] std::int32_t deviceInfo(KeyValues& pairs);
    [[nodiscard]] std::int32_t fileInfo(const std::string& path, KeyValues& pairs);
    // The names in creation order, "." and ".." first.
    [[nodiscard]] std::int32_t readDirectory(const std::string& path, std::vector<std::string>& names);
    [[nodiscard]] std::int32_t makeDirectory(const std::string& path);
    [[nodiscard]] std::int32_t removePath(const std::string& path);
    // Removes an entry and, when it is a directory, everything under it, deepest first. Each entry
    // goes as removePath removes it, whole or not at all; an entry that can't go ends the removal
    // there with its status, and what went before stays gone, as on a device. Links are removed,
    // never followed; open files stay usable through their handles.
    [[nodiscard]] std::int32_t removePathAndContents(const std::string& path);
    [[nodiscard]] std::int32_t renamePath(const std::string& from, const std::string& to);
    // Type 1 a hard link, 2 a symbolic one.
    [[nodiscard]] std::int32_t makeLink(std::int64_t type, const std::string& target, const std::string& link);
    [[nodiscard]] std::int32_t setModificationTime(const std::string& path, std::uint64_t nanoseconds);
    // Mode 1 reads an existing file; 2 writes, creating or emptying it; 3 reads and writes,
    // creating it when missing. The handle is never 0.
    [[nodiscard]] std::int32_t openFile(const std::string& path, std::uint64_t mode, std::uint64_t& handle);
    [[nodiscard]] std::int32_t closeFile(std::uint64_t handle);
    // Whence 0 from the start, 1 from the position, 2 from the end.
    [[nodiscard]] std::int32_t seek(std::uint64_t handle, std::int64_t offset, std::int64_t whence);
    [[nodiscard]] std::int32_t tell(std::uint64_t handle, std::uint64_t& position);
    // Reads at most `count` bytes and sets it to the number read; 0 at the end.
    [[nodiscard]] std::int32_t read(std::uint64_t handle, void* buffer, std::uint64_t& count);
    [[nodiscard]] std::int32_t write(std::uint64_t handle, const void* buffer, std::uint64_t count);
    [[nodiscard]] std::int32_t setFileSize(std::uint64_t handle, std::uint64_t size);
    [[nodiscard]] std::int32_t lock(std::uint64_t handle);
    [[nodiscard]] std::int32_t unlock(std::uint64_t handle);
    // Ends a handle whose connection went away, with no fault applied: its lock is released.
    void dropHandle(std::uint64_t handle);

    // For the glue of operations that have no call here (directory and key/value reads): the
    // injected status of a call of `operation` on `path`, or 0; a failure leaves error information.
    [[nodiscard]] std::int32_t checkFault(const std::string& operation, const std::string& path);
    // The error information of the last failure, as the selected ErrorInfo gives it.
    std::optional<PlistValue::Dictionary> lastErrorInfo() const;

private:
    struct Node;
    struct OpenFile;
    struct Resolved;

    // The time for what is made or written now; called with the lock held.
    std::uint64_t now() const;

    [[nodiscard]] std::optional<Resolved> resolve(const std::string& path, bool followLast, std::int32_t& status) const;
    [[nodiscard]] std::optional<Resolved> lookup(const std::string& path, bool followLast, std::int32_t& status) const;
    [[nodiscard]] bool newName(const std::string& name) const;
    [[nodiscard]] std::shared_ptr<Node> makeParents(const std::string& path, std::string& leaf);
    void place(const std::string& path, std::shared_ptr<Node> node);
    [[nodiscard]] std::int32_t remove(const std::string& path, bool withContents);
    [[nodiscard]] std::int32_t removeContents(Node& top, const std::string& path);
    [[nodiscard]] std::int32_t fault(const std::string& operation, const std::string& path);
    [[nodiscard]] std::int32_t fail(std::int32_t status);
    std::shared_ptr<Node> newFile();
    [[nodiscard]] bool fits(const Node& file, std::uint64_t size) const;
    void kept(Node& file, std::uint64_t before);
    OpenFile* findOpen(std::uint64_t handle);
    [[nodiscard]] std::int32_t fileCall(const char* operation, std::uint64_t handle, OpenFile*& file);

    mutable std::mutex mutex_;
    // The kept bytes of every file. Declared before the nodes, which give theirs back when they go.
    std::uint64_t used_ = 0;
    std::shared_ptr<Node> root_;
    std::map<std::uint64_t, std::unique_ptr<OpenFile>> open_;
    std::uint64_t nextHandle_ = 1;
    std::uint64_t clock_;
    bool systemClock_ = false;
    KeyValues deviceInfo_;
    std::map<std::string, KeyValues> fileInfo_;
    std::vector<Fault> faults_;
    ErrorInfo errorInfo_ = ErrorInfo::WithDescription;
    std::int32_t lastFailure_ = 0;
    std::uint32_t ioTimeout_ = 30;
    bool keepsContents_ = true;
    bool keepsLimits_ = true;
    std::uint64_t capacity_ = 1ull << 30;
};

} // namespace keldo
