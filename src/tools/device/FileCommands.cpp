#include "tools/device/FileCommands.h"

#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "platform/PathNames.h"
#include "tools/device/CommandLine.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/JsonWriter.h"
#include "tools/device/RemoteGlob.h"
#include "tools/device/StatusText.h"
#include "tools/device/ValueText.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <ctime>
#include <memory>
#include <string_view>

namespace keldo {

namespace {

constexpr std::uint64_t kCatBuffer = 1024 * 1024;

std::string textOr(const std::optional<std::string>& text, const char* fallback) { return text ? *text : fallback; }

const PlistValue* entry(const PlistRef& info, const char* key) { return info ? info->find(key) : nullptr; }

std::string typeOf(const PlistRef& info) {
    const PlistValue* kind = entry(info, "st_ifmt");
    return kind && kind->text() ? *kind->text() : "";
}

// "S_IFDIR" -> ("d", "directory"), as ls shows it and as --json names it.
std::pair<char, const char*> describeType(const std::string& ifmt) {
    if (ifmt == "S_IFDIR") return {'d', "directory"};
    if (ifmt == "S_IFREG") return {'-', "file"};
    if (ifmt == "S_IFLNK") return {'l', "link"};
    if (ifmt == "S_IFCHR") return {'c', "character device"};
    if (ifmt == "S_IFBLK") return {'b', "block device"};
    if (ifmt == "S_IFIFO") return {'p', "fifo"};
    if (ifmt == "S_IFSOCK") return {'s', "socket"};
    return {'?', "unknown"};
}

std::optional<std::int64_t> integerOf(const PlistRef& info, const char* key) {
    const PlistValue* value = entry(info, key);
    return value ? value->signedInteger() : std::nullopt;
}

std::optional<PlistDate> dateOf(const PlistRef& info, const char* key) {
    const PlistValue* value = entry(info, key);
    if (!value || !value->date()) return std::nullopt;
    return *value->date();
}

bool readNumber(const std::string& text, std::size_t& at, std::size_t digits, int& value) {
    if (at + digits > text.size()) return false;
    value = 0;
    for (std::size_t k = 0; k < digits; ++k) {
        const char c = text[at + k];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    at += digits;
    return true;
}

} // namespace

FileCommands::FileCommands(Console& console, AFCDirectoryAccess& afc, bool json)
    : console_(console), afc_(afc), json_(json) {}

int FileCommands::run(const Invocation& invocation) {
    const auto& operands = invocation.operands;
    const std::string& command = invocation.command;
    int status = kExitSuccess;
    // With --json, a pattern gives the shape of several paths, however many it matched.
    const bool grouped = std::any_of(operands.begin(), operands.end(), RemoteGlob::isPattern);
    auto worst = [&status](int result) { return status == kExitSuccess ? result : std::max(status, result); };
    if (command == "devinfo") return devinfo();
    if (command == "ls") {
        if (operands.empty()) return ls({"/"}, invocation.has("-l"));
        const auto paths = expand(command, operands, false, status);
        if (paths.empty()) return status;
        return worst(ls(paths, invocation.has("-l"), grouped));
    }
    if (command == "tree") return tree(operands.empty() ? "/" : operands[0]);
    if (command == "stat") {
        const auto paths = expand(command, operands, false, status);
        if (paths.empty()) return status;
        return worst(stat(paths, grouped));
    }
    if (command == "mkdir") return mkdir(operands, invocation.has("-p"));
    if (command == "rm") {
        const Removal how{invocation.has("-r"), invocation.has("-f"), !invocation.has("--no-preserve-root")};
        // The root is refused before any pattern is looked at (rm refuses it, removing nothing).
        for (const auto& path : operands) {
            if (how.preserveRoot && PathNames::normalise(path) == "/") return rm({path}, how);
        }
        const auto paths = expand(command, operands, how.force, status);
        if (paths.empty()) return status;
        return worst(rm(paths, how));
    }
    if (command == "mv") return mv({operands.begin(), operands.end() - 1}, operands.back(), invocation.has("-f"));
    if (command == "ln") return ln(operands[0], operands[1], invocation.has("-s"));
    if (command == "cat") return cat(operands);
    if (command == "touch") {
        std::optional<PlistDate> date;
        if (auto text = invocation.option("--date")) {
            date = parseDate(*text);
            if (!date) {
                console_.error(fmt::format("touch: can't read the date \"{}\" (see keldo-device touch --help)", *text));
                return kExitUsage;
            }
        } else {
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            date = ValueText::fromUnixSeconds(std::chrono::duration<double>(now).count());
        }
        return touch(operands, *date);
    }
    console_.error(fmt::format("{}: not a file command", command));
    return kExitUsage;
}

int FileCommands::failed(const std::string& command, const std::string& path) {
    console_.error(fmt::format("{} {}: {}", command, path, explain(textOr(afc_.lastError(), "failed"))));
    return kExitDeviceError;
}

bool FileCommands::lastWasNotFound() const {
    const auto failure = StatusText::parse(textOr(afc_.lastError(), ""));
    return failure && StatusText::isNotFound(failure->status);
}

std::vector<std::string> FileCommands::expand(const std::string& command, const std::vector<std::string>& operands,
                                              bool quiet, int& status) {
    RemoteGlob glob(afc_);
    std::vector<std::string> paths;
    for (const auto& operand : operands) {
        auto expansion = glob.expand(operand);
        if (expansion.paths.empty() && !quiet) {
            console_.error(expansion.failure
                               ? fmt::format("{} {}: no match (can't list all of it: {})", command, operand,
                                             explain(*expansion.failure))
                               : fmt::format("{} {}: no match", command, operand));
            status = kExitDeviceError;
        }
        std::move(expansion.paths.begin(), expansion.paths.end(), std::back_inserter(paths));
    }
    return paths;
}

int FileCommands::devinfo() {
    PlistRef info = afc_.deviceInfo();
    if (!info) {
        console_.error(fmt::format("devinfo: {}", explain(textOr(afc_.lastError(), "failed"))));
        return kExitDeviceError;
    }
    if (json_) {
        JsonWriter json;
        ValueText::writeJson(json, *info);
        console_.json(json);
        return kExitSuccess;
    }
    std::vector<std::string> lines;
    ValueText::appendLines(*info, lines);
    for (const auto& l : lines) console_.line(l);
    return kExitSuccess;
}

int FileCommands::ls(const std::vector<std::string>& paths, bool details, bool grouped) {
    struct Row {
        std::string name;
        PlistRef info;
    };
    struct Listing {
        std::string path;
        bool directory;
        std::vector<Row> rows;
    };
    std::vector<Listing> listings;
    int status = kExitSuccess;
    for (const auto& path : paths) {
        Listing listing{path, true, {}};
        auto names = afc_.directoryContents(path);
        if (names) {
            std::sort(names->begin(), names->end());
            for (auto& name : *names) {
                PlistRef info;
                if (details && isSafeName(name)) {
                    info = afc_.getFileInfo(join(path, name));
                    if (!info) status = failed("ls", join(path, name));
                }
                listing.rows.push_back({std::move(name), std::move(info)});
            }
        } else {
            // A path that is no directory is listed as itself, as ls does.
            const std::string listingError = textOr(afc_.lastError(), "failed");
            PlistRef info = afc_.getFileInfo(path);
            if (!info || typeOf(info) == "S_IFDIR") {
                console_.error(fmt::format("ls {}: {}", path, explain(listingError)));
                status = kExitDeviceError;
                continue;
            }
            listing.directory = false;
            listing.rows.push_back({path, details ? info : nullptr});
        }
        listings.push_back(std::move(listing));
    }
    // As ls has them: files first, then directories, each group by path.
    std::stable_sort(listings.begin(), listings.end(), [](const Listing& a, const Listing& b) {
        return a.directory != b.directory ? !a.directory : a.path < b.path;
    });
    const bool several = paths.size() > 1;
    grouped = grouped || several;

    if (json_) {
        auto rowsOf = [&](JsonWriter& json, const std::vector<Row>& rows) {
            json.beginArray();
            for (const auto& row : rows) {
                if (!details) {
                    json.element("name", row.name);
                    continue;
                }
                json.beginObject().field("name", row.name);
                if (row.info) {
                    json.key("type").text(describeType(typeOf(row.info)).second);
                    if (auto size = integerOf(row.info, "st_size")) json.key("size").integer(*size);
                    if (auto mtime = dateOf(row.info, "st_mtime")) json.key("mtime").text(ValueText::isoDate(*mtime));
                    if (const PlistValue* target = entry(row.info, "LinkTarget"); target && target->text())
                        json.field("target", *target->text());
                }
                json.endObject();
            }
            json.endArray();
        };
        JsonWriter json;
        if (!grouped) {
            if (listings.empty()) return status;
            rowsOf(json, listings.front().rows);
        } else {
            json.beginArray();
            for (const auto& listing : listings) {
                json.beginObject().field("path", listing.path).key("entries");
                rowsOf(json, listing.rows);
                json.endObject();
            }
            json.endArray();
        }
        console_.json(json);
        return status;
    }

    auto show = [&](const std::vector<Row>& rows) {
        std::size_t sizeWidth = 1;
        for (const auto& row : rows) {
            if (auto size = integerOf(row.info, "st_size"))
                sizeWidth = std::max(sizeWidth, fmt::format("{}", *size).size());
        }
        for (const auto& row : rows) {
            if (!details) {
                console_.line(row.name);
                continue;
            }
            const auto size = integerOf(row.info, "st_size");
            const auto mtime = dateOf(row.info, "st_mtime");
            std::string text = fmt::format("{} {:>{}} {:<16} {}", describeType(typeOf(row.info)).first,
                                           size ? fmt::format("{}", *size) : "?", sizeWidth,
                                           mtime ? ValueText::localMinute(*mtime) : "?", row.name);
            if (const PlistValue* target = entry(row.info, "LinkTarget"); target && target->text())
                text += " -> " + *target->text();
            console_.line(text);
        }
    };
    std::vector<Row> files;
    for (auto& listing : listings) {
        if (!listing.directory) std::move(listing.rows.begin(), listing.rows.end(), std::back_inserter(files));
    }
    show(files);
    bool first = files.empty();
    for (const auto& listing : listings) {
        if (!listing.directory) continue;
        if (several) {
            if (!first) console_.line("");
            console_.line(listing.path + ":");
        }
        first = false;
        show(listing.rows);
    }
    return status;
}

int FileCommands::tree(const std::string& path) {
    // Children are joined to the start path: a trailing "/" would double the separator in every
    // entry. The root keeps its "/".
    std::string start = path.empty() ? "/" : path;
    while (start.size() > 1 && start.back() == '/') start.pop_back();
    std::vector<TreeEntry> entries;
    const bool complete = walkTree(start, entries);
    if (entries.empty()) return kExitDeviceError;
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    if (json_) {
        JsonWriter json;
        json.beginArray();
        for (const auto& e : entries) {
            if (e.target) {
                json.beginObject().field("path", e.path).field("target", *e.target).endObject();
            } else {
                json.element("path", e.path);
            }
        }
        json.endArray();
        console_.json(json);
    } else {
        for (const auto& e : entries) {
            console_.line(e.target ? fmt::format("{} -> {}", e.path, *e.target) : e.path);
        }
    }
    return complete ? kExitSuccess : kExitPartial;
}

bool FileCommands::walkTree(const std::string& start, std::vector<TreeEntry>& entries) {
    auto leaf = [](const std::string& path, const PlistRef& info) {
        if (typeOf(info) != "S_IFLNK") return TreeEntry{path, std::nullopt};
        const PlistValue* target = entry(info, "LinkTarget");
        return TreeEntry{path, target && target->text() ? *target->text() : std::string()};
    };
    auto names = afc_.directoryContents(start);
    if (!names) {
        // The start is no directory: it is listed as itself, a symbolic link as a link.
        const std::string listingError = textOr(afc_.lastError(), "failed");
        PlistRef info = afc_.getFileInfo(start);
        if (!info || typeOf(info) == "S_IFDIR") {
            console_.error(fmt::format("tree {}: {}", start, explain(listingError)));
            return false;
        }
        entries.push_back(leaf(start, info));
        return true;
    }

    // One query per entry tells what it is; only real directories are read, so a symbolic link
    // is shown as one and never followed (no loop, no dangling target to fail on). A directory
    // that can't be read, or an entry that can't be queried, is named on standard error and
    // the listing goes on with the rest.
    struct Directory {
        std::string path;
        std::vector<std::string> names;
        int depth;
    };
    bool complete = true;
    bool answering = true;
    // Names a failure; once the device has stopped answering, the rest would only fail too.
    auto trouble = [&](const std::string& path) {
        failed("tree", path);
        complete = false;
        if (afc_.deviceInfo()) return;
        console_.error("tree: the device no longer answers; the rest of the tree is not listed");
        answering = false;
    };
    std::vector<Directory> pending;
    pending.push_back({start, std::move(*names), 0});
    while (!pending.empty() && answering) {
        Directory directory = std::move(pending.back());
        pending.pop_back();
        entries.push_back({directory.path.back() == '/' ? directory.path : directory.path + "/", std::nullopt});
        std::vector<Directory> inside;
        for (const auto& name : directory.names) {
            if (!answering) break;
            if (!isSafeName(name)) {
                console_.error(fmt::format("tree {}: the device lists an entry named \"{}\", which is no file name; "
                                           "not listed", directory.path, name));
                complete = false;
                continue;
            }
            std::string child = join(directory.path, name);
            PlistRef info = afc_.getFileInfo(child);
            if (!info) {
                // Listed by its directory but not found: removed meanwhile. Anything else is a
                // failure to name.
                if (!lastWasNotFound()) trouble(child);
                entries.push_back({std::move(child), std::nullopt});
                continue;
            }
            if (typeOf(info) != "S_IFDIR") {
                entries.push_back(leaf(child, info));
                continue;
            }
            auto inner = afc_.directoryContents(child);
            if (!inner) {
                trouble(child);
            } else if (!inner->empty() && directory.depth + 1 >= AFCDirectoryAccess::kMaxTreeDepth) {
                console_.error(fmt::format("tree {}: deeper than {} levels; not listed", child,
                                           AFCDirectoryAccess::kMaxTreeDepth));
                complete = false;
            } else {
                inside.push_back({std::move(child), std::move(*inner), directory.depth + 1});
                continue;
            }
            entries.push_back({child + "/", std::nullopt});
        }
        // Visited in the device's order.
        std::move(inside.rbegin(), inside.rend(), std::back_inserter(pending));
    }
    return complete;
}

int FileCommands::stat(const std::vector<std::string>& paths, bool grouped) {
    int status = kExitSuccess;
    std::vector<PlistRef> infos;
    for (const auto& path : paths) {
        PlistRef info = afc_.getFileInfo(path);
        if (!info) {
            status = failed("stat", path);
            continue;
        }
        infos.push_back(std::move(info));
    }
    if (json_) {
        grouped = grouped || paths.size() > 1;
        JsonWriter json;
        if (grouped) json.beginArray();
        for (const auto& info : infos) ValueText::writeJson(json, *info);
        if (grouped) json.endArray();
        if (!json.str().empty()) console_.json(json);
        return status;
    }
    for (std::size_t i = 0; i < infos.size(); ++i) {
        if (i > 0) console_.line("");
        std::vector<std::string> lines;
        ValueText::appendLines(*infos[i], lines);
        for (const auto& l : lines) console_.line(l);
    }
    return status;
}

int FileCommands::mkdir(const std::vector<std::string>& paths, bool parents) {
    int status = kExitSuccess;
    for (const auto& path : paths) {
        if (!parents) {
            if (!afc_.mkdir(path)) status = failed("mkdir", path);
            continue;
        }
        // From the top down: what is there must be a directory (or a link to one), what is not
        // is made. One made meanwhile by someone else is as good.
        const std::string whole = PathNames::normalise(path);
        std::string made;
        for (std::size_t at = 1; at <= whole.size(); ++at) {
            if (at < whole.size() && whole[at] != '/') continue;
            const std::string part = whole.substr(0, at);
            if (afc_.getFileInfo(part)) {
                if (isDirectory(afc_, part)) continue;
                console_.error(fmt::format("mkdir {}: {} is there and is no directory", path, part));
                status = kExitDeviceError;
                break;
            }
            if (!afc_.mkdir(part) && !isDirectory(afc_, part)) {
                status = failed("mkdir", part);
                break;
            }
        }
    }
    return status;
}

int FileCommands::rm(const std::vector<std::string>& paths, const Removal& how) {
    // All operands are looked at before anything goes: "", "/." or "DCIM/.." name the root as
    // surely as "/" does, and a script's "$DIR/" with DIR empty is the usual way to get there.
    if (how.preserveRoot) {
        for (const auto& path : paths) {
            if (PathNames::normalise(path) != "/") continue;
            console_.error(fmt::format("rm: \"{}\" is the root of the file system; refusing to remove it "
                                       "(--no-preserve-root overrides)",
                                       path));
            return kExitUsage;
        }
    }
    int status = kExitSuccess;
    for (const auto& given : paths) {
        // "DCIM/100APPLE/.." is DCIM: that is never what "rm -r" of it meant.
        std::string last = given;
        while (last.size() > 1 && last.back() == '/') last.pop_back();
        last = last.substr(last.find_last_of('/') + 1);
        if ((last == "." || last == "..") && PathNames::normalise(given) != "/") {
            console_.error(fmt::format("rm {}: refusing to remove \".\" or \"..\"", given));
            status = kExitDeviceError;
            continue;
        }
        // Normalised, so that a trailing "/" or "/." can't make the device follow a symbolic link
        // that is to be removed itself.
        const std::string path = PathNames::normalise(given);
        if (!how.recursive) {
            if (afc_.unlink(path)) continue;
            if (how.force && lastWasNotFound()) continue;
            removalFailed(given, path, false);
            status = kExitDeviceError;
            continue;
        }
        bool removedAny = false;
        if (!removeTree(path, 0, how.force, removedAny) && status != kExitPartial)
            status = removedAny ? kExitPartial : kExitDeviceError;
    }
    return status;
}

void FileCommands::removalFailed(const std::string& given, const std::string& path, bool recursive) {
    const std::string text = textOr(afc_.lastError(), "failed");
    const auto failure = StatusText::parse(text);
    // Devices answer a directory that still holds entries with their "unknown error" (which
    // libimobiledevice turns into its own "directory not empty"); ask the directory which it is.
    bool notEmpty = failure && StatusText::isNotEmpty(failure->status);
    if (failure && failure->status == 1) {
        const auto names = afc_.directoryContents(path);
        notEmpty = names && !names->empty();
    }
    if (!notEmpty || !failure) {
        console_.error(fmt::format("rm {}: {}", given, explain(text)));
        return;
    }
    console_.error(fmt::format("rm {}: directory not empty{} {}", given, recursive ? "" : " (use -r)",
                               StatusText::code(*failure)));
}

bool FileCommands::removeTree(const std::string& path, int depth, bool force, bool& removedAny) {
    PlistRef info = afc_.getFileInfo(path);
    if (!info) {
        // Gone already: with -f, or inside a tree (removed meanwhile), that is what was wanted.
        if ((force || depth > 0) && lastWasNotFound()) return true;
        failed("rm", path);
        return false;
    }
    if (typeOf(info) == "S_IFDIR") {
        if (depth >= AFCDirectoryAccess::kMaxTreeDepth) {
            console_.error(fmt::format("rm {}: the tree is too deep", path));
            return false;
        }
        auto names = afc_.directoryContents(path);
        if (!names) {
            failed("rm", path);
            return false;
        }
        // A listed name that is no name would make the removal reach another place on the device.
        const auto unsafe = std::find_if_not(names->begin(), names->end(), isSafeName);
        if (unsafe != names->end()) {
            console_.error(fmt::format("rm {}: the device lists an entry named \"{}\", which is no file name; "
                                       "nothing in this directory is removed", path, *unsafe));
            return false;
        }
        for (const auto& name : *names) {
            if (!removeTree(join(path, name), depth + 1, force, removedAny)) return false;
        }
    }
    // Only an override gets here with the root: its contents go, the root itself can't.
    if (path == "/") return true;
    if (!afc_.unlink(path)) {
        if ((force || depth > 0) && lastWasNotFound()) return true;
        removalFailed(path, path, true);
        return false;
    }
    removedAny = true;
    return true;
}

int FileCommands::mv(const std::vector<std::string>& sources, const std::string& destination, bool force) {
    for (const auto& path : sources) {
        if (PathNames::normalise(path) != "/") continue;
        console_.error(fmt::format("mv: \"{}\" is the root of the file system; it is not moved", path));
        return kExitUsage;
    }
    // An empty operand is a script's empty variable more often than a wish for the root.
    if (destination.empty()) {
        console_.error("mv: \"\" names no path; nothing is moved");
        return kExitUsage;
    }
    // Into a directory, the root included, as mv does; several sources need one.
    const bool into = isDirectory(afc_, destination);
    if (!into && PathNames::normalise(destination) == "/") {
        console_.error(fmt::format("mv: \"{}\" is the root of the file system; it is not replaced", destination));
        return kExitUsage;
    }
    if (!into && sources.size() > 1) {
        console_.error(fmt::format("mv: {} is no directory to move {} paths into", destination, sources.size()));
        return kExitDeviceError;
    }
    int status = kExitSuccess;
    for (const auto& source : sources) {
        const std::string normalised = PathNames::normalise(source);
        const std::string target =
            into ? join(PathNames::normalise(destination), normalised.substr(normalised.rfind('/') + 1)) : destination;
        if (PathNames::normalise(target) == normalised) {
            console_.error(fmt::format("mv {}: it is {} already", source, target));
            status = kExitDeviceError;
            continue;
        }
        // The device's rename replaces a file silently: what is there is looked at first. A
        // query that fails for another reason than a missing path refuses too.
        if (!force) {
            if (afc_.getFileInfo(target)) {
                console_.error(fmt::format("mv {}: {} exists; not replaced (-f replaces it)", source, target));
                status = kExitDeviceError;
                continue;
            }
            if (!lastWasNotFound()) {
                status = failed("mv", target);
                continue;
            }
        }
        if (!afc_.renameTo(source, target)) status = failed("mv", source);
    }
    return status;
}

int FileCommands::ln(const std::string& target, const std::string& link, bool symbolic) {
    const bool made = symbolic ? afc_.symlinkTo(link, target) : afc_.linkTo(link, target);
    return made ? kExitSuccess : failed("ln", link);
}

int FileCommands::touch(const std::vector<std::string>& paths, const PlistDate& date) {
    int status = kExitSuccess;
    for (const auto& path : paths) {
        if (!afc_.fileExistsAtPath(path)) {
            auto file = afc_.openForReadWrite(path);
            if (!file) {
                status = failed("touch", path);
                continue;
            }
            if (!file->closeFile()) {
                console_.error(fmt::format("touch {}: {}", path, explain(textOr(file->lasterror(), "failed"))));
                status = kExitDeviceError;
                continue;
            }
        }
        if (!afc_.setmodtimeTo(path, date)) status = failed("touch", path);
    }
    return status;
}

int FileCommands::cat(const std::vector<std::string>& paths) {
    int status = kExitSuccess;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kCatBuffer]);
    for (const auto& path : paths) {
        auto file = afc_.openForRead(path);
        if (!file) {
            status = failed("cat", path);
            continue;
        }
        for (;;) {
            const std::uint64_t got = file->readNBytes(kCatBuffer, buffer.get());
            if (got == 0) {
                // The end of the file and a failed read both give 0; only a failure leaves a text.
                if (auto failure = file->lasterror()) {
                    console_.error(fmt::format("cat {}: {}", path, explain(*failure)));
                    status = kExitDeviceError;
                }
                break;
            }
            console_.write({reinterpret_cast<const char*>(buffer.get()), static_cast<std::size_t>(got)});
        }
        if (console_.outputFailed()) {
            console_.error("cat: can't write to standard output");
            return kExitDeviceError;
        }
    }
    return status;
}

std::string FileCommands::explain(const std::string& text) { return StatusText::explain(text); }

bool FileCommands::isDirectory(AFCDirectoryAccess& afc, const std::string& path) {
    PlistRef info = afc.getFileInfo(path);
    const std::string type = typeOf(info);
    return type == "S_IFDIR" || (type == "S_IFLNK" && afc.directoryContents(path).has_value());
}

std::optional<PlistDate> FileCommands::parseDate(const std::string& text) {
    if (!text.empty() && text[0] == '@') {
        const std::string number = text.substr(1);
        char* end = nullptr;
        const double seconds = std::strtod(number.c_str(), &end);
        if (number.empty() || *end != '\0' || !std::isfinite(seconds)) return std::nullopt;
        return ValueText::fromUnixSeconds(seconds);
    }
    std::tm parts{};
    std::size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readNumber(text, at, 4, year) || at >= text.size() || text[at++] != '-' || !readNumber(text, at, 2, month) ||
        at >= text.size() || text[at++] != '-' || !readNumber(text, at, 2, day))
        return std::nullopt;
    double fraction = 0;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!readNumber(text, at, 2, hour) || at >= text.size() || text[at++] != ':' || !readNumber(text, at, 2, minute))
            return std::nullopt;
        if (at < text.size() && text[at] == ':') {
            ++at;
            if (!readNumber(text, at, 2, second)) return std::nullopt;
            if (at < text.size() && text[at] == '.') {
                const std::size_t begin = at;
                ++at;
                while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
                if (at == begin + 1) return std::nullopt;
                fraction = std::strtod(text.substr(begin).c_str(), nullptr);
            }
        }
    }
    bool utc = false;
    int offset = 0;
    if (at < text.size() && text[at] == 'Z') {
        utc = true;
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int hours = 0, minutes = 0;
        if (!readNumber(text, at, 2, hours)) return std::nullopt;
        if (at < text.size() && text[at] == ':') ++at;
        if (!readNumber(text, at, 2, minutes) || hours > 23 || minutes > 59) return std::nullopt;
        utc = true;
        offset = sign * (hours * 3600 + minutes * 60);
    }
    if (at != text.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    const std::time_t seconds = utc ? timegm(&parts) : std::mktime(&parts);
    // mktime and timegm roll a 31st of a short month over; such a date was not a date.
    if (seconds == static_cast<std::time_t>(-1) && !(year == 1969 && month == 12 && day == 31)) return std::nullopt;
    if (parts.tm_mday != day || parts.tm_mon != month - 1) return std::nullopt;
    return ValueText::fromUnixSeconds(static_cast<double>(seconds) - offset + fraction);
}

bool FileCommands::isSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string FileCommands::join(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

} // namespace keldo
