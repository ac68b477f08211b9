#pragma once

#include "platform/TemporaryFiles.h"

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldo {

// A local file that takes its target's place only once it is whole, so the target is either as
// it was or complete, and nothing half-written is ever left beside it.
//
// It is written as an unnamed file (O_TMPFILE) in the target's directory and linked into place
// by commit: a process that ends in any way before, killed included, leaves nothing. An existing
// target is replaced atomically and keeps its permission bits (a new one gets the usual ones);
// a symbolic link as target stays, and the file it leads to is replaced; a target that is no
// regular file (a device, a pipe) holds no contents to lose and is written as it stands.
// Where the file system refuses unnamed files, a named temporary ".NAME.keldo-..." beside the
// target takes its place, tracked by TemporaryFiles so that the process's signal handlers
// remove it; only a kill that no handler sees can leave that one behind.
class ReplacementFile {
public:
    explicit ReplacementFile(std::string target);
    // Removes what was written unless it was committed.
    virtual ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Makes the file to write; false when it can't be made (a directory as target included).
    [[nodiscard]] bool open();
    // Writes all the bytes.
    [[nodiscard]] bool write(const std::uint8_t* bytes, std::size_t size);
    // The modification time the file has once in place; given after the last write, which would
    // change it. A target that is no regular file (written as it stands) keeps its own.
    [[nodiscard]] bool setModificationTime(const timespec& time);
    // Puts the file in the target's place; on failure the target stays as it was.
    [[nodiscard]] bool commit();
    // The errno of the last failure.
    int error() const { return error_; }

protected:
    // An unnamed file in `directory`, or -1 with errno set when the file system refuses one. A
    // test makes it refuse, to take the named path.
    virtual int openUnnamed(const std::string& directory, mode_t mode);

private:
    enum class Kind { None, Unnamed, Named, InPlace };

    [[nodiscard]] bool openNamed(mode_t mode);
    [[nodiscard]] bool linkUnnamedInPlace();
    // A fresh name beside the target, not yet used.
    std::string temporaryName();
    // Closes the file; false (error() set) when the close reports a failed write.
    [[nodiscard]] bool closeFile();
    [[nodiscard]] bool fail();
    void forgetTemporary();

    std::string target_;
    std::string directory_;
    std::string name_;
    bool replacing_ = false;  // an existing file is replaced
    mode_t mode_ = 0;
    Kind kind_ = Kind::None;
    int fd_ = -1;
    std::string temporary_;  // a name of ours beside the target, removed unless committed
    TemporaryFiles::Ticket ticket_ = TemporaryFiles::kNone;
    int error_ = 0;
};

} // namespace keldo
