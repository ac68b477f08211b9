#include "tools/device/Transfer.h"

#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/Interrupt.h"
#include "tools/device/StatusText.h"
#include "tools/device/TransferReport.h"
#include "tools/device/TransferWorker.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace keldo {

namespace {

using Kind = TransferPlanner::Item::Kind;
using Outcome = TransferWorker::Outcome;

// A local path without the slashes at its end; the root stays "/".
std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

} // namespace

Transfer::Transfer(Console& console, AFCDirectoryAccess& afc, Options options)
    : console_(console), afc_(afc), options_(std::move(options)), planner_(console, afc) {}

Transfer::~Transfer() = default;

int Transfer::push(const std::vector<std::string>& locals, const std::string& remote) {
    pushing_ = true;
    if (const int code = planner_.push(locals, remote); code != kExitSuccess) return code;
    return carryOut(planner_.items());
}

int Transfer::pull(const std::vector<std::string>& remotes, const std::string& local) {
    pushing_ = false;
    if (const int code = planner_.pull(remotes, local); code != kExitSuccess) return code;
    return carryOut(planner_.items());
}

int Transfer::carryOut(const std::vector<Item>& items) {
    std::uint64_t total = 0;
    std::uint64_t files = 0;
    for (const auto& item : items) {
        if (item.kind != Kind::File) continue;
        total += item.size;
        ++files;
    }
    report_ = std::make_unique<TransferReport>(console_, pushing_, options_.progress, options_.progressClock);
    TransferWorker worker(afc_, *report_, options_);
    if (!worker.ready()) {
        console_.error(fmt::format("{}: not enough memory for the transfer", report_->command()));
        return kExitDeviceError;
    }
    report_->start(total, files);
    std::uint64_t done = 0;
    bool anyDone = false;
    std::vector<const Item*> directories;
    std::optional<std::string> refusedTree;  // a directory refused, with everything planned in it
    // Remote directories this push made: nothing in them is asked about before it is sent.
    std::vector<std::string> madeTrees;
    for (const auto& item : items) {
        const std::string& destination = pushing_ ? item.remote : item.local;
        if (refusedTree && TransferPlanner::isUnder(destination, *refusedTree)) {
            if (item.kind == Kind::File) report_->unreached(item.size);
            continue;
        }
        // A download replaces a local file only once it is complete: ended before that, the
        // process leaves it as it was.
        const std::string report = pushing_ || item.kind != Kind::File
                                       ? fmt::format("{}: interrupted", report_->command())
                                       : fmt::format("pull: interrupted; {} is left as it was", item.local);
        Interrupt::setReport(report, report_->barShown());
        if (Interrupt::requested()) return report_->interrupted(report);
        Outcome outcome = Outcome::Done;
        if (item.duplicate) {
            const bool file = item.kind == Kind::File;
            report_->refused(pushing_ ? item.local : item.remote, file ? 1 : 0, file ? item.size : 0,
                             fmt::format("will not overwrite just-created {}", destination));
            outcome = Outcome::Refused;
        } else if (pushing_) {
            bool inMade = false;
            for (const auto& made : madeTrees) inMade = inMade || TransferPlanner::isUnder(item.remote, made);
            outcome = worker.send({item, done, item.absent || inMade, -1, {}, 0});
            if (outcome == Outcome::Made && !inMade) madeTrees.push_back(item.remote);
        } else {
            leaveLocalDirectories(&item);
            if (item.kind == Kind::Directory) {
                outcome = fetchDirectory(item);
            } else {
                TransferWorker::Job job{item, done, false, -1, {}, 0};
                FileDescriptor opened;
                job.parent = localParent(item, opened, job.name);
                job.parentError = errno;
                outcome = worker.fetch(job);
            }
        }
        switch (outcome) {
        case Outcome::Done:
        case Outcome::Made:
            anyDone = true;
            if (pushing_ && item.kind == Kind::Directory) directories.push_back(&item);
            if (item.kind != Kind::File) break;
            done += item.size;
            report_->fileDone(done);
            break;
        case Outcome::UpToDate:
            report_->upToDate(item.kind == Kind::File ? 1 : 0, item.size);
            break;
        case Outcome::Refused:
            if (item.kind == Kind::Directory) refusedTree = destination;
            break;
        case Outcome::Failed:
            return anyDone ? kExitPartial : kExitDeviceError;
        case Outcome::Stopped:
            return kExitInterrupted;
        }
    }
    // Directories last, the deepest first: what was made in them changed their times.
    if (!pushing_) leaveLocalDirectories(nullptr);
    if (options_.times) {
        for (auto it = directories.rbegin(); it != directories.rend(); ++it) (void)worker.setDirectoryTime(**it);
    }
    return report_->finish();
}

TransferWorker::Outcome Transfer::fetchDirectory(const Item& item) {
    auto failed = [&](const std::string& why) {
        report_->failed(item.remote, why);
        return Outcome::Failed;
    };
    FileDescriptor directory;
    if (item.known) {
        // The directory the user named to copy into.
        directory = FileDescriptor(::fcntl(planner_.localTarget().get(), F_DUPFD_CLOEXEC, 0));
        if (!directory) return failed(fmt::format("can't open {}: {}", item.local, StatusText::ofErrno(errno)));
    } else {
        FileDescriptor opened;
        std::string name;
        const int parent = localParent(item, opened, name);
        if (parent < 0 || (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST)) {
            const int error = errno;
            return failed(fmt::format("can't make the directory {}: {}", item.local,
                                      StatusText::whyNotWritable(item.local).value_or(StatusText::ofErrno(error))));
        }
        // An existing directory is merged into; a link in its place, made when it may, is not
        // followed.
        directory = FileDescriptor(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!directory && errno == EACCES)  // one that can't be read still takes files
            directory = FileDescriptor(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!directory && (errno == ENOTDIR || errno == ELOOP)) {
            report_->refused(item.remote, 0, 0, TransferReport::notDirectory(item.local));
            return Outcome::Refused;
        }
        if (!directory) return failed(fmt::format("can't open {}: {}", item.local, StatusText::ofErrno(errno)));
    }
    localDirectories_.push_back({withoutTrailingSlashes(item.local), std::move(directory), &item});
    return Outcome::Done;
}

int Transfer::localParent(const Item& item, FileDescriptor& opened, std::string& name) {
    const std::string path = withoutTrailingSlashes(item.local);
    const std::size_t slash = path.rfind('/');
    name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string parent = slash == std::string::npos ? "." : withoutTrailingSlashes(path.substr(0, slash + 1));
    if (item.named && planner_.localTarget()) return planner_.localTarget().get();
    if (item.named) {
        opened = FileDescriptor(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        return opened.get();
    }
    if (localDirectories_.empty() || localDirectories_.back().path != parent) {
        errno = ENOENT;
        return -1;
    }
    return localDirectories_.back().fd.get();
}

void Transfer::leaveLocalDirectories(const Item* next) {
    while (!localDirectories_.empty()) {
        LocalDirectory& last = localDirectories_.back();
        if (next && !next->named && TransferPlanner::isUnder(withoutTrailingSlashes(next->local), last.path)) return;
        // Left once all that went in it is there: what was made in it changed its time.
        const Item& item = *last.item;
        if (options_.times && item.time) {
            const timespec times[2] = {{0, UTIME_OMIT}, item.time->toTimespec()};
            if (::futimens(last.fd.get(), times) != 0)
                report_->incomplete(fmt::format("pull {}: can't set the modification time of {}: {}", item.remote,
                                                item.local, StatusText::ofErrno(errno)));
        }
        localDirectories_.pop_back();
    }
}

} // namespace keldo
