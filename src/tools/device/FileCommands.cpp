#include "tools/device/FileCommands.h"

#include "afc/AFCDirectoryAccess.h"
#include "afc/AFCFileReference.h"
#include "tools/device/CommandLine.h"
#include "tools/device/Console.h"
#include "tools/device/ExitCode.h"
#include "tools/device/JsonWriter.h"
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

// What the device's own AFC status codes mean.
constexpr const char* kAfcStatusNames[] = {
    nullptr, "unknown error", "invalid header", "no resources", "not a directory, or a read error",
    "write error", "unknown packet type", "invalid argument", "no such file or directory", "is a directory",
    "permission denied", "service not connected", "timed out", "too much data", "end of data",
    "operation not supported", "already exists", "busy", "no space left", "would block", "I/O error",
    "interrupted", "in progress", "internal error",
};

constexpr std::uint64_t kCatBuffer = 1024 * 1024;
constexpr unsigned long kAfcNotFound = 8;

// The device's status in a text of the library's status check ("... Return code = 0x0008").
std::optional<unsigned long> statusIn(const std::string& text) {
    static const std::string kMarker = "Return code = 0x";
    const std::size_t at = text.rfind(kMarker);
    if (at == std::string::npos) return std::nullopt;
    const std::string digits = text.substr(at + kMarker.size());
    char* end = nullptr;
    const unsigned long code = std::strtoul(digits.c_str(), &end, 16);
    if (digits.empty() || *end != '\0') return std::nullopt;
    return code;
}

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
    if (command == "devinfo") return devinfo();
    if (command == "ls") return ls(operands.empty() ? "/" : operands[0], invocation.has("-l"));
    if (command == "tree") return tree(operands.empty() ? "/" : operands[0]);
    if (command == "stat") return stat(operands);
    if (command == "mkdir") return mkdir(operands);
    if (command == "rm") return rm(operands, invocation.has("-r"), !invocation.has("--no-preserve-root"));
    if (command == "mv") return mv(operands[0], operands[1]);
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

int FileCommands::ls(const std::string& path, bool details) {
    struct Row {
        std::string name;
        PlistRef info;
    };
    std::vector<Row> rows;
    int status = kExitSuccess;
    auto names = afc_.directoryContents(path);
    if (names) {
        std::sort(names->begin(), names->end());
        for (auto& name : *names) {
            PlistRef info;
            if (details) {
                info = afc_.getFileInfo(join(path, name));
                if (!info) status = failed("ls", join(path, name));
            }
            rows.push_back({std::move(name), std::move(info)});
        }
    } else {
        // A path that is no directory is listed as itself, as ls does.
        const std::string listingError = textOr(afc_.lastError(), "failed");
        PlistRef info = afc_.getFileInfo(path);
        if (!info || typeOf(info) == "S_IFDIR") {
            console_.error(fmt::format("ls {}: {}", path, explain(listingError)));
            return kExitDeviceError;
        }
        rows.push_back({path, details ? info : nullptr});
    }

    if (json_) {
        JsonWriter json;
        json.beginArray();
        for (const auto& row : rows) {
            if (!details) {
                json.text(row.name);
                continue;
            }
            json.beginObject().key("name").text(row.name);
            if (row.info) {
                json.key("type").text(describeType(typeOf(row.info)).second);
                if (auto size = integerOf(row.info, "st_size")) json.key("size").integer(*size);
                if (auto mtime = dateOf(row.info, "st_mtime")) json.key("mtime").text(ValueText::isoDate(*mtime));
                if (const PlistValue* target = entry(row.info, "LinkTarget"); target && target->text())
                    json.key("target").text(*target->text());
            }
            json.endObject();
        }
        json.endArray();
        console_.json(json);
        return status;
    }
    std::size_t sizeWidth = 1;
    for (const auto& row : rows) {
        if (auto size = integerOf(row.info, "st_size")) sizeWidth = std::max(sizeWidth, fmt::format("{}", *size).size());
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
                json.beginObject().key("path").text(e.path).key("target").text(*e.target).endObject();
            } else {
                json.text(e.path);
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
            std::string child = join(directory.path, name);
            PlistRef info = afc_.getFileInfo(child);
            if (!info) {
                // Listed by its directory but not found: removed meanwhile. Anything else is a
                // failure to name.
                const auto status = statusIn(textOr(afc_.lastError(), ""));
                if (!status || *status != kAfcNotFound) trouble(child);
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

int FileCommands::stat(const std::vector<std::string>& paths) {
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
        // One path gives one object; several an array of them.
        JsonWriter json;
        if (paths.size() > 1) json.beginArray();
        for (const auto& info : infos) ValueText::writeJson(json, *info);
        if (paths.size() > 1) json.endArray();
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

int FileCommands::mkdir(const std::vector<std::string>& paths) {
    int status = kExitSuccess;
    for (const auto& path : paths) {
        if (!afc_.mkdir(path)) status = failed("mkdir", path);
    }
    return status;
}

int FileCommands::rm(const std::vector<std::string>& paths, bool recursive, bool preserveRoot) {
    // All operands are looked at before anything goes: "", "/." or "DCIM/.." name the root as
    // surely as "/" does, and a script's "$DIR/" with DIR empty is the usual way to get there.
    if (preserveRoot) {
        for (const auto& path : paths) {
            if (normalise(path) != "/") continue;
            console_.error(fmt::format("rm: \"{}\" is the root of the file system; refusing to remove it "
                                       "(--no-preserve-root overrides)",
                                       path));
            return kExitUsage;
        }
    }
    int status = kExitSuccess;
    for (const auto& given : paths) {
        // Normalised, so that a trailing "/" or "/." can't make the device follow a symbolic link
        // that is to be removed itself.
        const std::string path = normalise(given);
        if (!recursive) {
            if (!afc_.unlink(path)) status = failed("rm", given);
            continue;
        }
        bool removedAny = false;
        if (!removeTree(path, 0, removedAny) && status != kExitPartial)
            status = removedAny ? kExitPartial : kExitDeviceError;
    }
    return status;
}

bool FileCommands::removeTree(const std::string& path, int depth, bool& removedAny) {
    PlistRef info = afc_.getFileInfo(path);
    if (!info) {
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
        for (const auto& name : *names) {
            if (!removeTree(join(path, name), depth + 1, removedAny)) return false;
        }
    }
    // Only an override gets here with the root: its contents go, the root itself can't.
    if (path == "/") return true;
    if (!afc_.unlink(path)) {
        failed("rm", path);
        return false;
    }
    removedAny = true;
    return true;
}

int FileCommands::mv(const std::string& from, const std::string& to) {
    for (const std::string* path : {&from, &to}) {
        if (normalise(*path) != "/") continue;
        console_.error(fmt::format("mv: \"{}\" is the root of the file system; it is neither moved nor replaced",
                                   *path));
        return kExitUsage;
    }
    if (!afc_.renameTo(from, to)) return failed("mv", from);
    return kExitSuccess;
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
                console_.error(fmt::format("touch {}: {}", path, textOr(file->lasterror(), "failed")));
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
                    console_.error(fmt::format("cat {}: {}", path, *failure));
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

std::string FileCommands::explain(const std::string& text) {
    const auto code = statusIn(text);
    if (!code || *code == 0 || *code >= std::size(kAfcStatusNames)) return text;
    return fmt::format("{} ({})", text, kAfcStatusNames[*code]);
}

std::string FileCommands::normalise(const std::string& path) {
    std::vector<std::string_view> parts;
    std::string_view rest = path;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    if (parts.empty()) return "/";
    std::string normalised;
    for (const auto part : parts) normalised.append("/").append(part);
    return normalised;
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

std::string FileCommands::join(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

} // namespace keldo
