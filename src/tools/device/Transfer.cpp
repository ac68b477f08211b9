#include "tools/device/Transfer.h"

#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/Interrupt.h"
#include "tools/device/StatusText.h"
#include "tools/device/TransferPool.h"
#include "tools/device/TransferReport.h"
#include "tools/device/TransferWorker.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
    if (options_.connections > 1 && options_.connect) {
        // What is in a remote directory is looked at over the connections at once.
        planner_.lookUpWith([this](const std::vector<std::string>& paths,
                                   std::vector<std::optional<TransferPlanner::Info>>& infos) {
            TransferPool::spread(connectionsFor(paths.size()), paths.size(), [&](AFCDirectoryAccess& afc, std::size_t i) {
                bool missing = false;
                infos[i] = TransferPlanner::remoteInfo(afc, paths[i], missing);
            });
        });
    }
    if (const int code = planner_.pull(remotes, local); code != kExitSuccess) return code;
    return carryOut(planner_.items());
}

int Transfer::carryOut(const std::vector<Item>& items) {
    std::uint64_t total = 0;
    std::uint64_t files = 0;
    std::size_t moving = 0;  // the connections that the files and links can use at once
    for (const auto& item : items) {
        if (item.kind == Kind::Link) ++moving;
        if (item.kind != Kind::File) continue;
        moving += options_.connectionsFor(item.size);  // a large file keeps several busy
        total += item.size;
        ++files;
    }
    report_ = std::make_unique<TransferReport>(console_, pushing_, options_.progress, options_.progressClock);
    pool_ = std::make_unique<TransferPool>(connectionsFor(moving), *report_, options_, pushing_);
    if (!pool_->ready()) {
        console_.error(fmt::format("{}: not enough memory for the transfer", report_->command()));
        return kExitDeviceError;
    }
    // The directories of a push, on the first connection, on this thread.
    TransferWorker worker(afc_, *report_, options_);
    report_->start(total, files);
    std::vector<std::size_t> directories;
    // Directories refused, with everything planned in them.
    std::vector<std::string> refusedTrees;
    // Remote directories this push made: nothing in them is asked about before it is sent.
    std::vector<std::string> madeTrees;
    auto inAny = [](const std::string& path, const std::vector<std::string>& trees) {
        return std::any_of(trees.begin(), trees.end(),
                           [&](const std::string& tree) { return TransferPlanner::isUnder(path, tree); });
    };
    // Over several connections a push makes all its directories first, so that each is there
    // before anything goes into it; with one, everything goes in the plan's order.
    const bool directoriesFirst = pushing_ && pool_->size() > 1;
    for (int pass = directoriesFirst ? 0 : 1; pass < 2 && !report_->stopped(); ++pass) {
        for (std::size_t index = 0; index < items.size() && !report_->stopped(); ++index) {
            const Item& item = items[index];
            const bool directory = item.kind == Kind::Directory;
            if (directoriesFirst && (pass == 0) != directory) continue;
            const std::string& destination = pushing_ ? item.remote : item.local;
            if (inAny(destination, refusedTrees)) {
                if (item.kind == Kind::File) report_->unreached(item.size);
                report_->complete(index);
                continue;
            }
            if (Interrupt::requested()) {
                report_->interrupted(index, {});
                break;
            }
            if (item.duplicate) {
                const bool file = item.kind == Kind::File;
                report_->refused(index, pushing_ ? item.local : item.remote, file ? 1 : 0, file ? item.size : 0,
                                 fmt::format("will not overwrite just-created {}", destination));
                report_->complete(index);
                continue;
            }
            if (pushing_) {
                const bool inMade = inAny(item.remote, madeTrees);
                if (!directory) {
                    pool_->hand({index, &item, item.absent || inMade, {}, {}, 0});
                    continue;
                }
                const Outcome outcome = worker.send({item, index, item.absent || inMade, -1, {}, 0});
                if (outcome == Outcome::Made && !inMade) madeTrees.push_back(item.remote);
                if (outcome == Outcome::Done || outcome == Outcome::Made) directories.push_back(index);
                settle(index, outcome, refusedTrees);
                continue;
            }
            leaveLocalDirectories(&item);
            if (directory) {
                settle(index, fetchDirectory(index, item), refusedTrees);
                continue;
            }
            TransferPool::Task task{index, &item, false, {}, {}, 0};
            FileDescriptor opened;
            const int parent = localParent(item, opened, task.name);
            task.parentError = errno;
            // The task's own descriptor: the directory may be left before the file is in it.
            task.parent = opened ? std::move(opened)
                                 : FileDescriptor(parent < 0 ? -1 : ::fcntl(parent, F_DUPFD_CLOEXEC, 0));
            if (parent >= 0 && !task.parent) task.parentError = errno;
            report_->inFlight(index, fmt::format("{} is left as it was", item.local));
            pool_->hand(std::move(task));
        }
    }
    pool_->drain();
    if (!report_->stopped()) {
        // Directories last, the deepest first: what was made in them changed their times.
        if (!pushing_) leaveLocalDirectories(nullptr);
        settleLocalDirectories();
        if (options_.times) {
            for (auto it = directories.rbegin(); it != directories.rend(); ++it)
                (void)worker.setDirectoryTime(*it, items[*it]);
        }
    }
    pool_.reset();
    return report_->finish();
}

std::vector<AFCDirectoryAccess*> Transfer::connectionsFor(std::size_t items) {
    const std::size_t wanted = std::min<std::size_t>(std::max(options_.connections, 1u), items);
    while (connections_.size() + 1 < wanted && options_.connect && !connectFailed_) {
        auto more = options_.connect();
        if (!more) {
            connectFailed_ = true;
            break;
        }
        connections_.push_back(std::move(more));
    }
    std::vector<AFCDirectoryAccess*> connections{&afc_};
    for (std::size_t i = 0; i < connections_.size() && connections.size() < wanted; ++i)
        connections.push_back(connections_[i].get());
    return connections;
}

void Transfer::settle(std::size_t index, Outcome outcome, std::vector<std::string>& refusedTrees) {
    const Item& item = planner_.items()[index];
    if (outcome == Outcome::Done || outcome == Outcome::Made) report_->moved(index, 0, 0);
    if (outcome == Outcome::Refused) refusedTrees.push_back(pushing_ ? item.remote : item.local);
    report_->complete(index);
}

TransferWorker::Outcome Transfer::fetchDirectory(std::size_t index, const Item& item) {
    auto failed = [&](const std::string& why) {
        report_->failed(index, item.remote, why);
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
            report_->refused(index, item.remote, 0, 0, TransferReport::notDirectory(item.local));
            return Outcome::Refused;
        }
        if (!directory) return failed(fmt::format("can't open {}: {}", item.local, StatusText::ofErrno(errno)));
    }
    localDirectories_.push_back({withoutTrailingSlashes(item.local), std::move(directory), index});
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
        leaving_.push_back(std::move(last));
        localDirectories_.pop_back();
    }
    // Files on their way to a directory left may still land in it: its time waits for them, with
    // a bound on the directories kept open meanwhile.
    if (pool_->size() == 1 || leaving_.size() >= kLeavingDirectories) settleLocalDirectories();
}

void Transfer::settleLocalDirectories() {
    pool_->drain();
    for (const auto& left : leaving_) {
        // Given once all that went in it is there: what was made in it changed its time.
        const Item& item = planner_.items()[left.index];
        if (!options_.times || !item.time) continue;
        const timespec times[2] = {{0, UTIME_OMIT}, item.time->toTimespec()};
        if (::futimens(left.fd.get(), times) != 0)
            report_->incomplete(left.index, fmt::format("pull {}: can't set the modification time of {}: {}",
                                                        item.remote, item.local, StatusText::ofErrno(errno)));
    }
    leaving_.clear();
}

} // namespace keldo
