#include "tools/device/TransferWorker.h"

#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "platform/PathNames.h"
#include "platform/ReplacementFile.h"
#include "platform/TemporaryFiles.h"
#include "tools/device/FileCommands.h"
#include "tools/device/FileRanges.h"
#include "tools/device/Interrupt.h"
#include "tools/device/StatusText.h"
#include "tools/device/Transfer.h"
#include "tools/device/TransferReport.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>
#include <optional>
#include <utility>

namespace keldo {

namespace {

using Kind = TransferPlanner::Item::Kind;
using Outcome = TransferWorker::Outcome;

// The device's status for a name that is taken.
constexpr std::uint32_t kAfcExists = 16;
// How long the bytes of one remote write of an upload should take to cross the link at most.
// Ctrl-C waits for the write in flight, and then the file is closed and removed: all of that
// fits in the grace period only when a write is short, whatever the link's speed.
constexpr std::chrono::milliseconds kWriteTime{Interrupt::kGraceMilliseconds / 5};
constexpr std::size_t kSmallestChunk = 16 * 1024;

// The bytes for the next remote write after one of `chunk` bytes that took `took` besides the
// round trip that any call takes: as many as the link moves in kWriteTime, up to `largest`.
std::size_t nextChunk(std::size_t chunk, std::chrono::steady_clock::duration took, std::size_t largest) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
    if (nanoseconds <= 0) return largest;
    const double fitting = static_cast<double>(chunk) *
                           static_cast<double>(std::chrono::nanoseconds(kWriteTime).count()) /
                           static_cast<double>(nanoseconds);
    return static_cast<std::size_t>(std::clamp(fitting, static_cast<double>(kSmallestChunk),
                                               static_cast<double>(largest)));
}

std::string textOr(const std::optional<std::string>& text, const char* fallback) { return text ? *text : fallback; }

std::optional<std::string> linkTextAt(int directory, const std::string& name) {
    char text[PATH_MAX];
    const ssize_t length = ::readlinkat(directory, name.c_str(), text, sizeof text);
    if (length < 0) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

// Whether the library's last failure is the device's `status`.
bool lastFailureIs(AFCDirectoryAccess& afc, std::uint32_t status) {
    const auto failure = StatusText::parse(afc.lastError().value_or(""));
    return failure && failure->status == status;
}

class LocalFile {
public:
    // Opens without waiting for the other end of a pipe (one named on the command line is read
    // until its writer is done), then reads block as usual.
    // A link at the path itself is followed only when `followLink`.
    LocalFile(const std::string& path, bool followLink)
        : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW))) {
        if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    }
    ~LocalFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Size and modification time of what is open, for a regular file; none for anything else (a
    // pipe has neither to compare).
    using State = std::array<std::int64_t, 3>;
    // The device and inode of what is open.
    std::pair<std::uint64_t, std::uint64_t> identity() const {
        struct stat info {};
        if (::fstat(fd_, &info) != 0) return {};
        return {info.st_dev, info.st_ino};
    }
    std::optional<State> state() const {
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        return State{info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
    }

    // Up to `size` bytes, fewer only at the end of the file; -1 on a failure (errno tells it).
    ssize_t read(std::uint8_t* buffer, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::read(fd_, buffer + got, size - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return -1;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        return static_cast<ssize_t>(got);
    }

private:
    int fd_;
};

// Up to `size` bytes from `offset`, fewer only at the end of the file; -1 on a failure (errno).
ssize_t readAt(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, buffer + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

TransferWorker::TransferWorker(AFCDirectoryAccess& afc, TransferReport& report, const TransferOptions& options)
    : afc_(afc), report_(report), options_(options) {}

void TransferWorker::shareWith(Offer offer, std::size_t connections) {
    offer_ = std::move(offer);
    connections_ = connections;
}

unsigned TransferWorker::partsFor(std::uint64_t size) const {
    if (!offer_) return 1;
    return static_cast<unsigned>(std::min<std::uint64_t>(options_.connectionsFor(size), connections_));
}

bool TransferWorker::ready() {
    buffer_.reset(new (std::nothrow) std::uint8_t[Transfer::kChunk]);
    return static_cast<bool>(buffer_);
}

std::string TransferWorker::afcFailure() { return FileCommands::explain(textOr(afc_.lastError(), "failed")); }

std::string TransferWorker::withDeviceState(const std::string& text) {
    // A status alone doesn't say that the device went away (detached, locked up): ask it.
    if (afc_.deviceInfo()) return text;
    return text + " (the device no longer answers)";
}

const std::string& TransferWorker::nameOf(const Item& item) const {
    return report_.command() == "push" ? item.local : item.remote;
}

Outcome TransferWorker::refuse(const Item& item, const std::string& why) {
    const bool file = item.kind == Kind::File;
    report_.refused(index_, nameOf(item), file ? 1 : 0, file ? item.size : 0, why);
    return Outcome::Refused;
}

Outcome TransferWorker::failed(const Item& item, const std::string& why) {
    report_.failed(index_, nameOf(item), why);
    return Outcome::Failed;
}

bool TransferWorker::setDirectoryTime(std::size_t index, const Item& item) {
    index_ = index;
    if (!item.time) return true;
    if (afc_.setmodtimeTo(item.remote, item.time->toDate())) return true;
    report_.incomplete(index_, fmt::format("push {}: can't set the modification time of {}: {}", item.local, item.remote,
                                   afcFailure()));
    return false;
}

Outcome TransferWorker::send(const Job& job) {
    index_ = job.index;
    if (job.item.kind == Kind::File) return upload(job);
    if (job.item.kind == Kind::Link) return sendLink(job);
    return sendDirectory(job);
}

Outcome TransferWorker::sendDirectory(const Job& job) {
    const Item& item = job.item;
    if (item.known) return Outcome::Done;
    bool missing = job.absent;
    if (!job.absent) {
        if (const auto existing = TransferPlanner::remoteInfo(afc_, item.remote, missing)) {
            // An existing directory is merged into; a link in its place is not followed.
            if (TransferPlanner::typeOf(*existing) == "S_IFDIR") return Outcome::Done;
            return refuse(item, TransferReport::notDirectory(item.remote));
        }
    }
    if (missing && afc_.mkdir(item.remote)) return Outcome::Made;
    return failed(item, fmt::format("can't make the directory {}: {}", item.remote, withDeviceState(afcFailure())));
}

Outcome TransferWorker::sendLink(const Job& job) {
    const Item& item = job.item;
    bool missing = job.absent;
    const auto existing = job.absent ? std::nullopt : TransferPlanner::remoteInfo(afc_, item.remote, missing);
    if (!existing && !missing) return failed(item, withDeviceState(afcFailure()));
    if (!existing) {
        if (afc_.symlinkTo(item.remote, item.linkTarget)) return Outcome::Done;
        // The device makes a link only where no name is: what came since the look is refused.
        if (lastFailureIs(afc_, kAfcExists)) return refuse(item, TransferReport::exists(item.remote));
        return failed(item, withDeviceState(afcFailure()));
    }
    const std::string type = TransferPlanner::typeOf(*existing);
    if (type == "S_IFDIR") return refuse(item, TransferReport::directory(item.remote));
    const PlistValue* text = TransferPlanner::entryOf(*existing, "LinkTarget");
    if (options_.update && type == "S_IFLNK" && text && text->text() && *text->text() == item.linkTarget)
        return Outcome::UpToDate;
    if (!options_.force) return refuse(item, TransferReport::exists(item.remote));
    // Made beside it and renamed over it, so that the name is never without a link.
    const std::string temporary = PathNames::temporaryBeside(item.remote);
    if (!afc_.symlinkTo(temporary, item.linkTarget)) return failed(item, withDeviceState(afcFailure()));
    if (afc_.renameTo(temporary, item.remote)) return Outcome::Done;
    return failed(item, discard(temporary, afcFailure()));
}

Outcome TransferWorker::upload(const Job& job) {
    const Item& item = job.item;
    bool missing = job.absent;
    const auto existing = job.absent ? std::nullopt : TransferPlanner::remoteInfo(afc_, item.remote, missing);
    if (!existing && !missing) return failed(item, withDeviceState(afcFailure()));
    if (existing) {
        const std::string type = TransferPlanner::typeOf(*existing);
        if (type == "S_IFDIR") return refuse(item, TransferReport::directory(item.remote));
        const auto time = FileTime::fromDevice(TransferPlanner::entryOf(*existing, "st_mtime"));
        if (options_.update && type == "S_IFREG" && TransferPlanner::sizeOf(*existing) == item.size && item.time &&
            time && item.time->matches(*time))
            return Outcome::UpToDate;
        if (!options_.force) return refuse(item, TransferReport::exists(item.remote));
    }
    // The path is looked up again here, a while after the plan looked at it: whatever stands there
    // now (a link planted inside the tree, another file moved in, anywhere along the path) is
    // refused unless it is the very file the plan saw, so nothing else is ever read and sent.
    if (options_.atLocalStep) options_.atLocalStep(item.local);
    LocalFile source(item.local, item.named);
    if (!source && errno == ELOOP && !item.named)
        return refuse(item, "it became a symbolic link since it was looked at; not sent");
    if (!source) return failed(item, fmt::format("can't open it: {}", StatusText::ofErrno(errno)));
    if (source.identity() != item.seen)
        return refuse(item, "another file stands at its path since it was looked at; not sent");
    // Compared again once read, as tar and rsync do: a file written meanwhile would arrive torn.
    const auto opened = source.state();

    const std::string temporary = PathNames::temporaryBeside(item.remote);
    // The open is one round trip: what a write takes beyond it is the bytes crossing the link.
    const auto opening = Clock::now();
    std::shared_ptr<AFCFileReference> target = afc_.openForWrite(temporary);
    const auto roundTrip = Clock::now() - opening;
    if (!target) return failed(item, withDeviceState(afcFailure()));
    report_.inFlight(index_, fmt::format("{} may be left on the device", temporary));
    // Every way out but success removes the temporary (or says that it stays).
    auto abandon = [&](const std::string& text) {
        target.reset();
        return failed(item, discard(temporary, text));
    };

    auto stop = [&] {
        target.reset();
        report_.interrupted(index_, afc_.unlink(temporary)
                                      ? fmt::format("{} was not made", item.remote)
                                      : fmt::format("{} is left incomplete on the device", temporary));
        return Outcome::Stopped;
    };

    const std::uint64_t size = opened ? static_cast<std::uint64_t>((*opened)[0]) : 0;
    if (const unsigned parts = opened ? partsFor(size) : 1; parts > 1) {
        // Its ranges over several connections; the temporary is closed by every one of them
        // before it is closed here and takes its name.
        auto ranges = std::make_shared<FileRanges>(index_, FileRanges::Ends{temporary, source.fd(), nullptr, item.local},
                                                   size, parts);
        // Offered once the first write has fitted the writes to the link: until then a write may
        // carry more than Ctrl-C's grace lets it, and one such is enough.
        offerAfterWrite_ = [&] { offer_(ranges); };
        moveRanges(*ranges, *target, roundTrip, Transfer::kChunk);
        offerAfterWrite_ = nullptr;
        switch (ranges->finish()) {
        case FileRanges::End::Moved: break;
        case FileRanges::End::Stopped: return stop();
        case FileRanges::End::Refused: target.reset(); return refuse(item, discard(temporary, ranges->why()));
        case FileRanges::End::Failed: return abandon(ranges->why());
        }
    } else {
        std::uint64_t done = 0;
        std::size_t chunk = Transfer::kChunk;
        for (;;) {
            if (Interrupt::requested()) return stop();
            const ssize_t got = source.read(buffer_.get(), chunk);
            if (got < 0) return abandon(fmt::format("can't read it: {}", StatusText::ofErrno(errno)));
            if (got == 0) break;
            const auto started = Clock::now();
            if (!target->writeNSData({buffer_.get(), static_cast<std::size_t>(got)}))
                return abandon(FileCommands::explain(textOr(target->lasterror(), "AFCFileRefWrite failed")));
            chunk = nextChunk(static_cast<std::size_t>(got), Clock::now() - started - roundTrip, Transfer::kChunk);
            done += static_cast<std::uint64_t>(got);
            report_.update(index_, done);
        }
    }
    // Some devices report a failed write only when the file is closed.
    if (!target->closeFile())
        return abandon(FileCommands::explain(textOr(target->lasterror(), "AFCFileRefClose failed")));
    if (opened && source.state() != opened) {
        target.reset();
        return refuse(item, discard(temporary, fmt::format("changed as we read it; not sent to {}", item.remote)));
    }
    // The time goes with the file: set before it takes its name, it is never seen without it.
    if (options_.times && item.time && !afc_.setmodtimeTo(temporary, item.time->toDate()))
        report_.incomplete(index_, fmt::format("push {}: can't set the modification time of {}: {}", item.local,
                                       item.remote, afcFailure()));
    return place(item, temporary);
}

Outcome TransferWorker::place(const Item& item, const std::string& temporary) {
    if (options_.force) {
        if (afc_.renameTo(temporary, item.remote)) return Outcome::Done;
        return failed(item, discard(temporary, afcFailure()));
    }
    // The device's rename replaces what is there, so the name is taken by a second (hard) link
    // instead, which the device refuses to make where a name exists: a file that came after the
    // check before the upload is refused in that same step, never replaced.
    if (!linksRefused_) {
        if (afc_.linkTo(item.remote, temporary)) {
            if (afc_.unlink(temporary)) return Outcome::Done;
            // The file is whole under its name; only the second name stays.
            report_.incomplete(index_, fmt::format("push {}: sent, but {} is left on the device beside it: {}", item.local,
                                           temporary, afcFailure()));
            return Outcome::Done;
        }
        if (lastFailureIs(afc_, kAfcExists)) return refuse(item, discard(temporary, TransferReport::exists(item.remote)));
        linksRefused_ = true;
    }
    // Devices since iOS 10 make no links: the name is looked at just before the rename, which
    // leaves only the moment between the two calls for a file to come and be replaced.
    bool missing = false;
    if (TransferPlanner::remoteInfo(afc_, item.remote, missing))
        return refuse(item, discard(temporary, TransferReport::exists(item.remote)));
    if (!missing) return failed(item, discard(temporary, withDeviceState(afcFailure())));
    if (!afc_.renameTo(temporary, item.remote)) return failed(item, discard(temporary, afcFailure()));
    return Outcome::Done;
}

std::string TransferWorker::discard(const std::string& temporary, const std::string& text) {
    if (afc_.unlink(temporary)) return text;
    const std::string why = textOr(afc_.lastError(), "failed");
    if (!afc_.deviceInfo())
        return fmt::format("{} (the device no longer answers; {} is left on it)", text, temporary);
    return fmt::format("{} ({} is left on the device: {})", text, temporary, FileCommands::explain(why));
}

Outcome TransferWorker::fetch(const Job& job) {
    index_ = job.index;
    const Item& item = job.item;
    if (item.kind == Kind::Link) return fetchLink(job);
    // Why, when the directory is the reason: missing, read-only, not writable.
    auto cantWrite = [&](int error) {
        return failed(item, fmt::format("can't write {}: {}", item.local,
                                        StatusText::whyNotWritable(item.local).value_or(StatusText::ofErrno(error))));
    };
    if (job.parent < 0) return cantWrite(job.parentError);
    // The local path named on the command line is followed, as cp follows it; inside a tree a link
    // is never written through but replaced itself, and so is a pipe.
    ReplacementFile output(job.parent, job.name, {options_.force, item.named, item.named});
    if (!output.open()) {
        if (output.error() == EISDIR) return refuse(item, TransferReport::directory(item.local));
        return cantWrite(output.error());
    }
    if (const auto& seen = output.existing()) {
        const bool same = S_ISREG(seen->st_mode) && static_cast<std::uint64_t>(seen->st_size) == item.size &&
                          item.time && item.time->matches(FileTime::of(seen->st_mtim));
        if (options_.update && same) return Outcome::UpToDate;
        // A pipe or a device too: it may be what someone else reads.
        if (!options_.force) return refuse(item, TransferReport::exists(item.local));
    }
    return download(job, output);
}

Outcome TransferWorker::download(const Job& job, ReplacementFile& output) {
    const Item& item = job.item;
    std::shared_ptr<AFCFileReference> source = afc_.openForRead(item.remote);
    if (!source) return failed(item, withDeviceState(afcFailure()));
    auto cantWrite = [&](int error) {
        return failed(item, fmt::format("can't write {}: {}", item.local, StatusText::ofErrno(error)));
    };
    auto stop = [&] {
        report_.interrupted(index_, fmt::format("{} is left as it was", item.local));
        return Outcome::Stopped;
    };
    if (const unsigned parts = output.writesAnywhere() ? partsFor(item.size) : 1; parts > 1) {
        auto ranges = std::make_shared<FileRanges>(index_, FileRanges::Ends{item.remote, -1, &output, item.local},
                                                   item.size, parts);
        offer_(ranges);
        moveRanges(*ranges, *source, {}, Transfer::kChunk);
        switch (ranges->finish()) {
        case FileRanges::End::Moved: break;
        case FileRanges::End::Stopped: return stop();
        case FileRanges::End::Refused: return refuse(item, ranges->why());
        case FileRanges::End::Failed: return failed(item, ranges->why());
        }
    } else {
        std::uint64_t done = 0;
        for (;;) {
            if (Interrupt::requested()) return stop();
            // Asked for one byte more than the listing gave, a read that brings the rest of a
            // small file also finds its end.
            const std::uint64_t asked =
                done < item.size ? std::min<std::uint64_t>(Transfer::kChunk, item.size - done + 1) : Transfer::kChunk;
            const std::uint64_t got = source->readNBytes(asked, buffer_.get());
            if (got == 0) {
                // The end of the file and a failed read both give 0; only the failure leaves a text.
                if (const auto failure = source->lasterror())
                    return failed(item, withDeviceState(FileCommands::explain(*failure)));
                break;
            }
            if (!output.write(buffer_.get(), static_cast<std::size_t>(got))) return cantWrite(output.error());
            done += got;
            report_.update(index_, done);
            // Fewer bytes than asked is the end, and no round trip is spent on learning it again;
            // only once all the bytes the listing promised are in, so that a read cut short by a
            // failure can't pass for the end of a file.
            if (got < asked && done >= item.size) break;
        }
    }
    // Closed before the file takes its place: no device call comes after that.
    (void)source->closeFile();
    source.reset();
    if (options_.times && item.time && !output.setModificationTime(item.time->toTimespec()))
        report_.incomplete(index_, fmt::format("pull {}: can't set the modification time of {}: {}", item.remote,
                                       item.local, StatusText::ofErrno(output.error())));
    if (options_.atLocalStep) options_.atLocalStep(item.local);
    // Once in place, the file is no longer "left as it was".
    if (!report_.stepThenReport(index_, [&] { return output.commit(); })) {
        // Decided now, not when the pull began: what was saved there meanwhile stays.
        if (output.error() == EEXIST) return refuse(item, TransferReport::exists(item.local));
        return cantWrite(output.error() != 0 ? output.error() : errno);
    }
    return Outcome::Done;
}

void TransferWorker::help(FileRanges& ranges) {
    index_ = ranges.index();
    // Opened where the lead made it, and never emptied (as opening for writing alone would): a
    // push's temporary holds what the others wrote, and is there until every helper has left.
    const auto opening = Clock::now();
    std::shared_ptr<AFCFileReference> remote =
        ranges.pushing() ? afc_.openForReadWrite(ranges.ends().remote) : afc_.openForRead(ranges.ends().remote);
    const auto roundTrip = Clock::now() - opening;
    // This connection can't have it: the others move its ranges.
    if (!remote) return;
    // Its first write no larger than the others' are by now, so that Ctrl-C finds it short too.
    const std::size_t hint = ranges.chunkHint();
    moveRanges(ranges, *remote, roundTrip, hint != 0 ? hint : kSmallestChunk);
    // Some devices report a failed write only when the file is closed.
    if (!remote->closeFile() && ranges.pushing())
        ranges.fail(FileCommands::explain(textOr(remote->lasterror(), "AFCFileRefClose failed")));
}

void TransferWorker::moveRanges(FileRanges& ranges, AFCFileReference& remote, Clock::duration roundTrip,
                                std::size_t chunk) {
    std::uint64_t position = 0;
    // Ranges of half the size that makes a file shared: a few for each connection.
    const std::uint64_t stripe = std::max<std::uint64_t>(options_.largeFile / 2, 1);
    while (const auto range = ranges.take(stripe)) {
        if (range->offset != position) {
            if (!remote.seek(static_cast<std::int64_t>(range->offset))) {
                // A push's failure says more once it knows whether the temporary could be removed.
                const std::string why = FileCommands::explain(textOr(remote.lasterror(), "AFCFileRefSeek failed"));
                ranges.fail(ranges.pushing() ? why : withDeviceState(why));
                return;
            }
            position = range->offset;
        }
        const std::uint64_t end = range->offset + range->size;
        const bool moved = ranges.pushing() ? sendRange(ranges, end, remote, roundTrip, chunk, position)
                                            : fetchRange(ranges, end, remote, position);
        if (!moved) return;
    }
}

bool TransferWorker::sendRange(FileRanges& ranges, std::uint64_t end, AFCFileReference& remote,
                               Clock::duration roundTrip, std::size_t& chunk, std::uint64_t& position) {
    while (position < end) {
        if (Interrupt::requested()) {
            ranges.stop();
            return false;
        }
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, end - position));
        const ssize_t got = readAt(ranges.ends().source, buffer_.get(), wanted, position);
        if (got < 0) {
            ranges.fail(fmt::format("can't read it: {}", StatusText::ofErrno(errno)));
            return false;
        }
        // The file ended early: it changed, which the lead finds when it compares it again.
        if (got == 0) return true;
        const auto started = Clock::now();
        if (!remote.writeNSData({buffer_.get(), static_cast<std::size_t>(got)})) {
            ranges.fail(FileCommands::explain(textOr(remote.lasterror(), "AFCFileRefWrite failed")));
            return false;
        }
        chunk = nextChunk(static_cast<std::size_t>(got), Clock::now() - started - roundTrip, Transfer::kChunk);
        ranges.setChunkHint(chunk);
        if (offerAfterWrite_) std::exchange(offerAfterWrite_, nullptr)();
        position += static_cast<std::uint64_t>(got);
        report_.update(index_, ranges.moved(static_cast<std::uint64_t>(got)));
        if (static_cast<std::size_t>(got) < wanted) return true;
    }
    return true;
}

bool TransferWorker::fetchRange(FileRanges& ranges, std::uint64_t end, AFCFileReference& remote,
                                std::uint64_t& position) {
    const bool last = end >= ranges.size();
    for (;;) {
        if (Interrupt::requested()) {
            ranges.stop();
            return false;
        }
        // The last range asks for a byte more than the listing gave, as a whole file is read, to
        // find the end; it reads on when the file grew since.
        std::uint64_t asked = Transfer::kChunk;
        if (position < end) asked = std::min<std::uint64_t>(Transfer::kChunk, end - position + (last ? 1 : 0));
        else if (!last) return true;
        const std::uint64_t got = remote.readNBytes(asked, buffer_.get());
        if (got == 0) {
            if (const auto failure = remote.lasterror()) {
                ranges.fail(withDeviceState(FileCommands::explain(*failure)));
                return false;
            }
            if (position >= end) return true;
            // Shorter than the listing said: the ranges after this one would leave a hole.
            ranges.refuse(fmt::format("changed on the device as we read it; not written to {}", ranges.ends().local));
            return false;
        }
        if (const int error = ranges.ends().target->writeAt(buffer_.get(), static_cast<std::size_t>(got), position)) {
            ranges.fail(fmt::format("can't write {}: {}", ranges.ends().local, StatusText::ofErrno(error)));
            return false;
        }
        position += got;
        report_.update(index_, ranges.moved(got));
        if (last && got < asked && position >= end) return true;
    }
}

Outcome TransferWorker::fetchLink(const Job& job) {
    const Item& item = job.item;
    const int parent = job.parent;
    const std::string& name = job.name;
    if (parent < 0)
        return failed(item, fmt::format("can't make the link {}: {}", item.local, StatusText::ofErrno(job.parentError)));
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) return refuse(item, TransferReport::directory(item.local));
        if (options_.update && S_ISLNK(st.st_mode) && linkTextAt(parent, name) == item.linkTarget)
            return Outcome::UpToDate;
        if (!options_.force) return refuse(item, TransferReport::exists(item.local));
    }
    if (options_.atLocalStep) options_.atLocalStep(item.local);
    if (!options_.force) {
        // Made where the name is free, else refused: a file saved meanwhile stays.
        if (::symlinkat(item.linkTarget.c_str(), parent, name.c_str()) != 0) {
            const int error = errno;
            if (error == EEXIST) return refuse(item, TransferReport::exists(item.local));
            return failed(item, fmt::format("can't make the link {}: {}", item.local,
                                            StatusText::whyNotWritable(item.local).value_or(
                                                StatusText::ofErrno(error))));
        }
    } else {
        // Made beside it and renamed over it, so that the name is never without an entry; tracked
        // from before it exists.
        const std::string temporary = PathNames::temporaryName(name);
        const TemporaryFiles::Ticket ticket = TemporaryFiles::track(parent, temporary);
        const bool made = ticket != TemporaryFiles::kNone &&
                          ::symlinkat(item.linkTarget.c_str(), parent, temporary.c_str()) == 0;
        const bool renamed = made && ::renameat(parent, temporary.c_str(), parent, name.c_str()) == 0;
        const int error = ticket == TemporaryFiles::kNone ? ENFILE : errno;
        if (made && !renamed) ::unlinkat(parent, temporary.c_str(), 0);
        TemporaryFiles::untrack(ticket);
        if (!renamed) return failed(item, fmt::format("can't replace {}: {}", item.local, StatusText::ofErrno(error)));
    }
    if (options_.times && item.time) {
        const timespec times[2] = {{0, UTIME_OMIT}, item.time->toTimespec()};
        if (::utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            report_.incomplete(index_, fmt::format("pull {}: can't set the modification time of {}: {}", item.remote,
                                           item.local, StatusText::ofErrno(errno)));
    }
    return Outcome::Done;
}

} // namespace keldo
