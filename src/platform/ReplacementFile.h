#pragma once

#include "platform/FileDescriptor.h"
#include "platform/TemporaryFiles.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace keldo {

// A local file that takes its target's place only once it is whole, so the target is either as
// it was or complete, and nothing half-written is ever left beside it.
//
// The target is a name in a directory held open: nothing is looked up by path again, so a link
// planted on the way is never followed. The file is written unnamed (O_TMPFILE) in that directory
// and given the name at commit, which is where it is decided whether something is in the way: the
// name is taken without replacing anything (a link that fails when the name exists), so a file
// saved there meanwhile is kept, and commit fails with EEXIST; only `replace` puts the file over
// what is there, atomically (a link to a name of ours, then a rename over the target). A replaced
// file keeps its permission bits; a new one gets the usual ones. A process that ends in any way
// before the commit leaves nothing.
//
// Where the file system refuses unnamed files, or refuses to give one a name, a named temporary
// ".NAME.keldo-..." beside the target stands in, renamed into place without replacing (or over the
// target with `replace`). It is tracked by TemporaryFiles from before it exists, so that the
// process's signal handlers remove it; only a kill that no handler sees can leave it behind.
class ReplacementFile {
public:
    struct Options {
        // Put the file over what is at the name (a file or a link). Without it nothing there is
        // touched.
        bool replace = false;
        // A symbolic link at the name is followed and the file it leads to is the target (cp's rule
        // for a target the user names); otherwise the link itself stands at the name.
        bool followLink = true;
        // With `replace`, a pipe, a socket or a device at the name is written as it stands (it holds
        // no contents to lose); otherwise it is replaced like a file.
        bool intoSpecial = true;
    };

    // `name` in the directory open as `directory`, which the caller keeps open until open()
    // returns (the file holds a descriptor of its own).
    ReplacementFile(int directory, std::string name, Options options);
    // The path as given, its directory opened as it is named.
    ReplacementFile(const std::string& path, Options options);
    // Removes what was written unless it was committed.
    virtual ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Makes the file to write; false when it can't be made (a directory as target: EISDIR).
    [[nodiscard]] bool open();
    // What stood at the target when open() looked (after a followed link); none when nothing did.
    const std::optional<struct stat>& existing() const { return existing_; }
    // Writes all the bytes.
    [[nodiscard]] bool write(const std::uint8_t* bytes, std::size_t size);
    // Whether writeAt may be used: the file is one of ours, not a target written as it stands (a
    // pipe has no offsets).
    [[nodiscard]] bool writesAnywhere() const;
    // Writes all the bytes at `offset`, leaving error() alone: 0, or the errno of the failure.
    // Several threads may write at once, each its own range, between open() and commit().
    [[nodiscard]] int writeAt(const std::uint8_t* bytes, std::size_t size, std::uint64_t offset) const;
    // The modification time the file has once in place; given after the last write, which would
    // change it. A target written as it stands keeps its own.
    [[nodiscard]] bool setModificationTime(const timespec& time);
    // Puts the file in the target's place; on failure the target stays as it was, and error() is
    // EEXIST when something stands at the name that is not to be replaced.
    [[nodiscard]] bool commit();
    // The errno of the last failure.
    int error() const { return error_; }

protected:
    // An unnamed file in `directory`, readable and writable, or -1 with errno set when the file
    // system refuses one. A test makes it refuse, to take the named path.
    virtual int openUnnamed(int directory, mode_t mode);
    // Gives the unnamed file `fd` the name `name` in `directory`, never replacing; false with errno
    // set (EEXIST when the name is taken). A test makes it fail otherwise, as without /proc.
    [[nodiscard]] virtual bool linkUnnamed(int fd, int directory, const std::string& name);
    // The next name to try for a named temporary; a test gives one that is taken.
    virtual std::string nextTemporaryName();

private:
    enum class Kind { None, Unnamed, Named, InPlace };

    // Finds the target's directory and name, following links where asked, and what stands there.
    [[nodiscard]] bool lookAtTarget();
    [[nodiscard]] bool openInPlace();
    // Reserves a temporary name (tracked before it exists) and makes the file with O_EXCL.
    [[nodiscard]] bool openNamed();
    [[nodiscard]] bool commitUnnamed();
    // The unnamed file's bytes and time into a named temporary, where it can't be given a name.
    [[nodiscard]] bool copyToNamed();
    // The named temporary into the target's place.
    [[nodiscard]] bool placeNamed();
    [[nodiscard]] bool fail();
    void forgetTemporary();

    int givenDirectory_ = -1;
    std::string path_;  // when constructed from a path
    Options options_;
    FileDescriptor directory_;
    std::string name_;
    std::optional<struct stat> existing_;
    mode_t mode_ = 0666;
    bool keepMode_ = false;  // a replaced file's bits, which the umask must not change
    Kind kind_ = Kind::None;
    FileDescriptor file_;
    std::optional<timespec> time_;
    std::string temporary_;  // a name of ours in directory_, removed unless committed
    TemporaryFiles::Ticket ticket_ = TemporaryFiles::kNone;
    int error_ = 0;
};

} // namespace keldo
